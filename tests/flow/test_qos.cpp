// QoS maps on real interfaces: the tree-30 entries of a QoS policy (both
// profile types), the tree-32 entries of the DSCP to PCP map with the
// interface's PCP table, the tree-20 entries of the CPU DSCP map; their
// refusals, loops that stop at the first failing element, and fault sweeps.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "flow_test_util.h"
#include "interface/zel_ip_interface_pvt.h"
#include "tree/zel_ip_tree.h"
#include "zel_fault_sweep.h"
#include "zel_test_fixture.h"

using namespace flowtest;
using zel::ip::kTreeCpuDscpQos;
using zel::ip::kTreeDscpQos;
using zel::ip::kTreeIfDscpPcp;
using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

constexpr uint32_t kIntfA = 0x1101, kIntfB = 0x1202;  // outside the framework's own ids
constexpr hwe_action_t kNoMapping{HWE_ACTION_NONE, 0, 0};  // tree 30 default

// An interface on Layer-2 interface `intf_id`, address 10.<n>.0.1/24.
zel_ip_intf_handle_t make_intf(zel_sim_t *sim, zel_module_t *m, uint32_t intf_id) {
    zel_ip_intf_params_t p{};
    p.l2_intf = zel_sim_l2_interface_new(sim, intf_id);
    p.addr = 0x0a000001 | (intf_id & 0xff) << 16;
    p.prefix_len = 24;
    zel_ip_intf_handle_t h = nullptr;
    StdoutCapture quiet;
    EXPECT_EQ(zel_ip_interface_create(m, &p, &h), 0u) << quiet.text();
    return h;
}

// A profile-type-2 policy: class i maps TOS tos[i] to queues[i].
zel_ip_qos_policy_t queue_policy(zel_ip_intf_handle_t intf, const std::vector<uint8_t> &tos,
                                 const std::vector<void *> &queues) {
    zel_ip_qos_policy_t p{};
    p.intf = intf;
    p.profile_type = ZEL_IP_QOS_PROFILE_QUEUES;
    p.profile.queues.class_count = static_cast<int8_t>(tos.size());
    for (size_t i = 0; i < tos.size() && i < ZEL_IP_QOS_MAX_CLASSES; ++i)
        p.profile.queues.classes[i] = {tos[i], queues[i]};
    return p;
}

// What tree 32 holds for an interface's DSCP and how deep (24: a DSCP
// entry; 16: the interface's own entry).
struct PcpHit {
    hwe_action_t a;
    uint32_t depth;
};
PcpHit pcp_at(hwe_engine_t *eng, uint32_t intf_id, uint32_t dscp) {
    PcpHit h{};
    h.a = lookup(eng, kTreeIfDscpPcp, {intf_id, dscp}, &h.depth);
    return h;
}

// The interface's PCP table says what tree 32 holds, DSCP by DSCP.
void expect_pcp_table_in_step(hwe_engine_t *eng, zel_ip_intf_handle_t intf, uint32_t intf_id) {
    for (uint32_t d = 0; d <= ZEL_IP_QOS_MAX_DSCP; ++d) {
        const PcpHit h = pcp_at(eng, intf_id, d);
        EXPECT_EQ(intf->pcp[d], h.depth == 24 ? h.a.w1 : 0u) << "DSCP " << d;
        EXPECT_EQ(intf->pcp_mapped >> d & 1, h.depth == 24 ? 1u : 0u) << "DSCP " << d;
    }
}

class Qos : public ZelTest {
protected:
    Qos() { initial_log_level_ = ZEL_LOG_ERROR; }

    void SetUp() override {
        ZelTest::SetUp();
        a_ = make_intf(sim_, m_, kIntfA);
        b_ = make_intf(sim_, m_, kIntfB);
    }

    hwe_engine_t *eng() { return zel_sim_engine(sim_); }
    std::string status_text(uint32_t st) { return zel_sys_status_get(m_->sys_ctx, st); }
    hwe_action_t tos_at(uint32_t intf_id, uint32_t tos) { return lookup(eng(), kTreeDscpQos, {intf_id, tos}); }
    hwe_action_t cpu_at(uint32_t dscp) { return lookup(eng(), kTreeCpuDscpQos, {dscp}); }

    zel_ip_intf_handle_t a_ = nullptr, b_ = nullptr;
};

// ---- QoS policy ------------------------------------------------------------

// Both profile types give each class's TOS on the interface its queue
// (kind 0, W2 0); other TOS values and other interfaces are untouched;
// delete takes exactly those entries away.
TEST_F(Qos, PolicyOfEitherProfileMapsEachTosToItsQueue) {
    void *q7 = zel_sim_qos_queue_new(sim_, 7), *q900 = zel_sim_qos_queue_new(sim_, 900);
    void *ds = zel_sim_qos_ds_policy_new(sim_);
    zel_sim_qos_ds_policy_map(ds, 2, 10, 0x123456);
    zel_sim_qos_ds_policy_map(ds, 1, 10, 31);

    zel_ip_qos_policy_t by_queue = queue_policy(a_, {0x00, 0xb8}, {q7, q900});
    zel_ip_qos_policy_t by_ds{};
    by_ds.intf = a_;
    by_ds.profile_type = ZEL_IP_QOS_PROFILE_DS_POLICY;
    by_ds.profile.ds.policy = ds;
    by_ds.profile.ds.class_count = 2;
    by_ds.profile.ds.classes[0] = {0x28, 10, 2};
    by_ds.profile.ds.classes[1] = {0xff, 10, 1};

    struct Case {
        const char *what;
        const zel_ip_qos_policy_t *p;
        std::vector<std::pair<uint32_t, uint32_t>> tos_queue;
    };
    const Case cases[] = {
        {"queue handles", &by_queue, {{0x00, 7}, {0xb8, 900}}},
        {"DiffServ policy classes", &by_ds, {{0x28, 0x123456}, {0xff, 31}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        StdoutCapture cap;
        ASSERT_EQ(zel_ip_qos_policy_add(m_, c.p), 0u);
        EXPECT_EQ(entries(eng(), kTreeDscpQos), c.tos_queue.size());
        for (auto [tos, q] : c.tos_queue) {
            EXPECT_ACTION(tos_at(kIntfA, tos), (hwe_action_t{HWE_ACTION_NONE, q, 0}));
            EXPECT_ACTION(tos_at(kIntfB, tos), kNoMapping);
            EXPECT_ACTION(tos_at(kIntfA, tos ^ 1), kNoMapping);
        }
        ASSERT_EQ(zel_ip_qos_policy_delete(m_, c.p), 0u);
        EXPECT_EQ(entries(eng(), kTreeDscpQos), 0u);
        for (auto [tos, q] : c.tos_queue) EXPECT_ACTION(tos_at(kIntfA, tos), kNoMapping);
        EXPECT_EQ(cap.text(), "");
    }
}

TEST_F(Qos, PolicyOf64ClassesIsAccepted) {
    void *q = zel_sim_qos_queue_new(sim_, 3);
    std::vector<uint8_t> tos;
    for (uint32_t i = 0; i < 64; ++i) tos.push_back(static_cast<uint8_t>(i * 4));
    auto p = queue_policy(b_, tos, std::vector<void *>(64, q));
    ASSERT_EQ(zel_ip_qos_policy_add(m_, &p), 0u);
    EXPECT_EQ(entries(eng(), kTreeDscpQos), 64u);
    EXPECT_ACTION(tos_at(kIntfB, 252), (hwe_action_t{HWE_ACTION_NONE, 3, 0}));
    ASSERT_EQ(zel_ip_qos_policy_delete(m_, &p), 0u);
    EXPECT_EQ(entries(eng(), kTreeDscpQos), 0u);
}

// Refusals write nothing, even when only the last class is at fault: every
// queue is resolved before the first entry is written. Delete refuses the
// same way (with its own text for a NULL policy).
TEST_F(Qos, PolicyRefusalsWriteNothing) {
    void *q = zel_sim_qos_queue_new(sim_, 5), *zero = zel_sim_qos_queue_new(sim_, 0);
    void *ds = zel_sim_qos_ds_policy_new(sim_);
    zel_sim_qos_ds_policy_map(ds, 1, 1, 9);
    void *stranger = &q;  // not an object of the QoS service
    zel_ip_vrd_handle_t vrd = nullptr;
    uint32_t vrd_id = 4;
    ASSERT_EQ(zel_ip_vrd_create(m_, &vrd_id, &vrd), 0u);

    auto edit = [&](zel_ip_qos_policy_t p, auto &&f) {
        f(p);
        return p;
    };
    auto ds_policy = [&](uint32_t last_class_id) {
        zel_ip_qos_policy_t p{};
        p.intf = a_;
        p.profile_type = ZEL_IP_QOS_PROFILE_DS_POLICY;
        p.profile.ds.policy = ds;
        p.profile.ds.class_count = 2;
        p.profile.ds.classes[0] = {1, 1, 1};
        p.profile.ds.classes[1] = {2, last_class_id, 6};
        return p;
    };
    const auto good = queue_policy(a_, {1, 2, 3}, {q, q, q});
    struct Case {
        const char *what;
        bool null;
        zel_ip_qos_policy_t p;
        uint32_t status;
        std::string add_text, delete_text;
    };
    const std::string not_intf = kErr + "Invalid(no) L2 interface specified\n";
    const std::string bad_type = kErr + "Invalid QoS profile type\n";
    const std::string too_many = kErr + "Exceeds max number class configurations supported per call\n";
    const std::string no_queue = kErr + "Failed to get Queue Id for the class 3\n" + kErr + status_text(0x30001) + "\n";
    const std::string no_class =
        kErr + "Failed to get Queue for the class type 6 Id 77\n" + kErr + status_text(0x30008) + "\n";
    const std::string zero_q = kErr + "Queue Id is zero for the class 2\n";
    const Case cases[] = {
        {"NULL policy", true, {}, 0x30008, kErr + "Invalid NULL pointer parameter\n", kErr + "Invalid input parameter\n"},
        {"a VRD handle as interface", false,
         edit(good, [&](auto &p) { p.intf = reinterpret_cast<zel_ip_intf_handle_t>(vrd); }), 0x1030006, not_intf,
         not_intf},
        {"no interface", false, edit(good, [](auto &p) { p.intf = nullptr; }), 0x1030006, not_intf, not_intf},
        {"profile type 0", false, edit(good, [](auto &p) { p.profile_type = 0; }), 0x103000a, bad_type, bad_type},
        {"profile type 3", false, edit(good, [](auto &p) { p.profile_type = 3; }), 0x103000a, bad_type, bad_type},
        {"65 classes", false, edit(good, [](auto &p) { p.profile.queues.class_count = 65; }), 0x103000b, too_many,
         too_many},
        {"last queue unknown", false, queue_policy(a_, {1, 2, 3}, {q, q, stranger}), 0x30001, no_queue, no_queue},
        {"last class not in the DiffServ policy", false, ds_policy(77), 0x30008, no_class, no_class},
        {"last queue has id 0", false, queue_policy(a_, {1, 2, 3}, {q, q, zero}), 0x30008, zero_q, zero_q},
        // Nothing to do.
        {"0 classes", false, edit(good, [](auto &p) { p.profile.queues.class_count = 0; }), 0, "", ""},
        {"-1 classes", false, edit(good, [](auto &p) { p.profile.queues.class_count = -1; }), 0, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        {
            StdoutCapture cap;
            EXPECT_EQ(zel_ip_qos_policy_add(m_, c.null ? nullptr : &c.p), c.status);
            EXPECT_EQ(mask_sites(cap.text()), c.add_text);
        }
        EXPECT_EQ(entries(eng(), kTreeDscpQos), 0u);
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_qos_policy_delete(m_, c.null ? nullptr : &c.p), c.status);
        EXPECT_EQ(mask_sites(cap.text()), c.delete_text);
    }
    EXPECT_EQ(zel_ip_vrd_delete(m_, vrd), 0u);
}

// A failing class stops the loop; the classes before it stay programmed.
TEST_F(Qos, PolicyLoopsStopAtTheFirstFailingClass) {
    void *q = zel_sim_qos_queue_new(sim_, 44);
    auto p = queue_policy(a_, {10, 11, 12, 13}, {q, q, q, q});
    const hwe_action_t mapped{HWE_ACTION_NONE, 44, 0};
    fail_call("hwe_ptn_learn", 3);
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_qos_policy_add(m_, &p), 0x10040u);
        EXPECT_NE(mask_sites(cap.text()).find(kFatal + "Failed to add entry in QoS FPL tree \n" + kFatal +
                                              status_text(0x10040) + "\n"),
                  std::string::npos)
            << cap.text();
    }
    EXPECT_ACTION(tos_at(kIntfA, 10), mapped);
    EXPECT_ACTION(tos_at(kIntfA, 11), mapped);
    EXPECT_ACTION(tos_at(kIntfA, 12), kNoMapping);
    EXPECT_ACTION(tos_at(kIntfA, 13), kNoMapping);

    // Delete stops at the first class without an entry: 10 goes, 12 has
    // none, 11 is not tried.
    auto gap = queue_policy(a_, {10, 12, 11}, {q, q, q});
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_qos_policy_delete(m_, &gap), 0x10041u);
    EXPECT_NE(mask_sites(cap.text()).find(kFatal + "Failed to remove entry from QoS FPL tree \n"), std::string::npos)
        << cap.text();
    EXPECT_ACTION(tos_at(kIntfA, 10), kNoMapping);
    EXPECT_ACTION(tos_at(kIntfA, 11), mapped);
    EXPECT_EQ(entries(eng(), kTreeDscpQos), 1u);
}

// ---- DSCP to PCP -------------------------------------------------------------

// An entry per DSCP with the PCP and the interface's MTM NS ID; a DSCP
// without one falls back to the interface's own entry. The PCP table
// follows every change.
TEST_F(Qos, DscpPcpMapAndTheInterfacesPcpTable) {
    const uint32_t mtm = a_->mtm_ns_id;
    ASSERT_EQ(zel_ip_dscp_pcp_map_add(m_, a_, 63, 7), 0u);
    ASSERT_EQ(zel_ip_dscp_pcp_map_add(m_, a_, 0, 2), 0u);
    ASSERT_EQ(zel_ip_dscp_pcp_map_add(m_, a_, 0, 5), 0u);  // replaces
    PcpHit h = pcp_at(eng(), kIntfA, 63);
    EXPECT_EQ(h.depth, 24u);
    EXPECT_ACTION(h.a, (hwe_action_t{HWE_ACTION_VALUE, 7, mtm}));
    EXPECT_ACTION(pcp_at(eng(), kIntfA, 0).a, (hwe_action_t{HWE_ACTION_VALUE, 5, mtm}));
    h = pcp_at(eng(), kIntfA, 1);
    EXPECT_EQ(h.depth, 16u);
    EXPECT_ACTION(h.a, (hwe_action_t{HWE_ACTION_VALUE, 0, mtm}));
    EXPECT_EQ(pcp_at(eng(), kIntfB, 63).depth, 16u);
    EXPECT_EQ(a_->pcp[63], 7u);
    EXPECT_EQ(a_->pcp[0], 5u);
    expect_pcp_table_in_step(eng(), a_, kIntfA);
    expect_pcp_table_in_step(eng(), b_, kIntfB);

    ASSERT_EQ(zel_ip_dscp_pcp_map_delete(m_, a_, 63), 0u);
    EXPECT_EQ(a_->pcp[63], 0u);
    EXPECT_EQ(pcp_at(eng(), kIntfA, 63).depth, 16u);
    expect_pcp_table_in_step(eng(), a_, kIntfA);

    // A DSCP without an entry: the engine's refusal, the table as it was.
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_dscp_pcp_map_delete(m_, a_, 63), 0x10041u);
    EXPECT_NE(mask_sites(cap.text()).find(kFatal + "Could not remove LPM rule from the hardware\n"), std::string::npos);
    EXPECT_EQ(a_->pcp[0], 5u);
}

// A DSCP mapped to PCP 0 has an entry like any other: the interface's
// delete takes it away with the rest, so the next interface on the same
// Layer-2 interface does not inherit it.
TEST_F(Qos, InterfaceDeleteRemovesEveryDscpPcpEntryIncludingPcp0) {
    ASSERT_EQ(zel_ip_dscp_pcp_map_add(m_, a_, 7, 0), 0u);
    ASSERT_EQ(zel_ip_dscp_pcp_map_add(m_, a_, 8, 3), 0u);
    EXPECT_EQ(pcp_at(eng(), kIntfA, 7).depth, 24u);
    expect_pcp_table_in_step(eng(), a_, kIntfA);
    ASSERT_EQ(zel_ip_interface_delete(m_, a_), 0u);
    a_ = nullptr;
    for (uint32_t d = 0; d <= ZEL_IP_QOS_MAX_DSCP; ++d)
        EXPECT_EQ(pcp_at(eng(), kIntfA, d).depth, 0u) << "DSCP " << d;
}

TEST_F(Qos, DscpPcpRefusals) {
    ASSERT_EQ(zel_ip_dscp_pcp_map_add(m_, a_, 9, 3), 0u);
    int not_an_interface = 0;
    auto stranger = reinterpret_cast<zel_ip_intf_handle_t>(&not_an_interface);
    struct Case {
        const char *what;
        bool add;
        zel_ip_intf_handle_t intf;
        uint8_t dscp, pcp;
        uint32_t status;
        std::string text;
    };
    const Case cases[] = {
        {"add DSCP 64", true, a_, 64, 0, 0x30008, kErr + "Invalid DSCP (64) or PCP (0) value\n"},
        {"add PCP 8", true, a_, 9, 8, 0x30008, kErr + "Invalid DSCP (9) or PCP (8) value\n"},
        {"add to no interface", true, nullptr, 9, 1, 0x30001, kErr + "Invalid Interface Handle type\n"},
        {"add to a stranger", true, stranger, 9, 1, 0x30001, kErr + "Invalid Interface Handle type\n"},
        {"delete DSCP 64", false, a_, 64, 0, 0x30008, kErr + "Invalid DSCP (64) value\n"},
        {"delete from a stranger", false, stranger, 9, 0, 0x30001, kErr + "Invalid Interface Handle type\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        StdoutCapture cap;
        EXPECT_EQ(c.add ? zel_ip_dscp_pcp_map_add(m_, c.intf, c.dscp, c.pcp)
                        : zel_ip_dscp_pcp_map_delete(m_, c.intf, c.dscp),
                  c.status);
        EXPECT_EQ(mask_sites(cap.text()), c.text);
        EXPECT_ACTION(pcp_at(eng(), kIntfA, 9).a, (hwe_action_t{HWE_ACTION_VALUE, 3, a_->mtm_ns_id}));
        EXPECT_EQ(a_->pcp[9], 3u);
    }
}

// When the engine took a change but the subnet database step after it
// failed, the call fails and the table still follows the engine.
TEST_F(Qos, PcpTableFollowsTheEngineWhenOnlyTheDatabaseStepFails) {
    fail_call("hwe_subnet_add_subnet");
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_dscp_pcp_map_add(m_, a_, 12, 6), 0x1003cu);
    }
    EXPECT_EQ(a_->pcp[12], 6u);
    expect_pcp_table_in_step(eng(), a_, kIntfA);
    fail_call("hwe_subnet_del_subnet");
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_dscp_pcp_map_delete(m_, a_, 12), 0x1003du);
    }
    EXPECT_EQ(a_->pcp[12], 0u);
    expect_pcp_table_in_step(eng(), a_, kIntfA);
}

// ---- CPU DSCP map --------------------------------------------------------------

// Every 8-bit DSCP value is a key, through the traffic manager (W2 1).
TEST_F(Qos, CpuDscpMapOf64EntriesAndAny8BitValue) {
    std::vector<void *> queues;
    std::vector<uint8_t> dscp;
    for (uint32_t i = 0; i < 64; ++i) {
        queues.push_back(zel_sim_qos_queue_new(sim_, 100 + i));
        dscp.push_back(static_cast<uint8_t>(i * 4 + 3));  // up to 255
    }
    ASSERT_EQ(zel_ip_cpu_dscp_qos_map_add(m_, 64, dscp.data(), queues.data()), 0u);
    EXPECT_EQ(entries(eng(), kTreeCpuDscpQos), 64u);
    for (uint32_t i = 0; i < 64; ++i) EXPECT_ACTION(cpu_at(i * 4 + 3), (hwe_action_t{HWE_ACTION_VALUE, 100 + i, 1}));
    EXPECT_ACTION(cpu_at(0), default_of(eng(), kTreeCpuDscpQos));
    ASSERT_EQ(zel_ip_cpu_dscp_qos_map_delete(m_, 64, dscp.data()), 0u);
    EXPECT_EQ(entries(eng(), kTreeCpuDscpQos), 0u);
    EXPECT_ACTION(cpu_at(255), default_of(eng(), kTreeCpuDscpQos));
}

TEST_F(Qos, CpuDscpMapRefusals) {
    void *q = zel_sim_qos_queue_new(sim_, 1);
    const uint8_t dscp[65] = {};
    void *queues[65] = {q};
    struct Case {
        const char *what;
        uint32_t count;
        bool null_dscp, null_queues;
    };
    const Case cases[] = {
        {"count 0", 0, false, false},
        {"count 65", 65, false, false},
        {"no DSCP values", 1, true, false},
        {"no queues", 1, false, true},
    };
    const std::string text = kErr + "Invalid input parameter\n";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_cpu_dscp_qos_map_add(m_, c.count, c.null_dscp ? nullptr : dscp,
                                              c.null_queues ? nullptr : queues),
                  0x30008u);
        if (!c.null_queues) {
            EXPECT_EQ(zel_ip_cpu_dscp_qos_map_delete(m_, c.count, c.null_dscp ? nullptr : dscp), 0x30008u);
        }
        EXPECT_EQ(mask_sites(cap.text()), c.null_queues ? text : text + text);
        EXPECT_EQ(entries(eng(), kTreeCpuDscpQos), 0u);
    }
}

// The pairs before a failing one stay learnt, those after it are not tried.
TEST_F(Qos, CpuDscpMapStopsAtTheFirstFailingPair) {
    void *q1 = zel_sim_qos_queue_new(sim_, 1), *q3 = zel_sim_qos_queue_new(sim_, 3);
    void *stranger = &q1;
    const uint8_t dscp[] = {10, 20, 30};
    void *const queues[] = {q1, stranger, q3};
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_cpu_dscp_qos_map_add(m_, 3, dscp, queues), 0x30001u);
        EXPECT_EQ(mask_sites(cap.text()), kErr + "Failed to get MTM queue ID\n" + kErr + status_text(0x30001) + "\n");
    }
    EXPECT_ACTION(cpu_at(10), (hwe_action_t{HWE_ACTION_VALUE, 1, 1}));
    EXPECT_EQ(entries(eng(), kTreeCpuDscpQos), 1u);

    // Delete: 20 has no entry; 10 goes, 30 is not tried.
    void *const good[] = {q1, q3, q3};
    ASSERT_EQ(zel_ip_cpu_dscp_qos_map_add(m_, 3, dscp, good), 0u);
    const uint8_t gap_first[] = {30, 99, 10};
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_cpu_dscp_qos_map_delete(m_, 3, gap_first), 0x10041u);
    EXPECT_NE(mask_sites(cap.text()).find(kFatal + "Failed to remove LPM rule from hardware\n"), std::string::npos);
    EXPECT_ACTION(cpu_at(30), default_of(eng(), kTreeCpuDscpQos));
    EXPECT_ACTION(cpu_at(10), (hwe_action_t{HWE_ACTION_VALUE, 1, 1}));
}

// ---- fault sweeps --------------------------------------------------------------

using zel::test::fault_sweep;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

// A platform, a started module, interface kIntfA and the QoS objects the
// operations use.
struct QosEnv {
    zel_ip_intf_handle_t intf = nullptr;
    void *q1 = nullptr, *q2 = nullptr, *ds = nullptr;
};

std::function<void(SweepEnv &)> qos_setup(std::shared_ptr<QosEnv> q, std::function<void(SweepEnv &)> more = {}) {
    return [q, more](SweepEnv &env) {
        zel::test::sweep_start(env);
        q->intf = make_intf(env.sim, env.m, kIntfA);
        ASSERT_NE(q->intf, nullptr);
        q->q1 = zel_sim_qos_queue_new(env.sim, 11);
        q->q2 = zel_sim_qos_queue_new(env.sim, 22);
        q->ds = zel_sim_qos_ds_policy_new(env.sim);
        zel_sim_qos_ds_policy_map(q->ds, 1, 5, 55);
        zel_sim_qos_ds_policy_map(q->ds, 1, 6, 66);
        if (more) more(env);
    };
}

zel_ip_qos_policy_t ds_policy(const QosEnv &q) {
    zel_ip_qos_policy_t p{};
    p.intf = q.intf;
    p.profile_type = ZEL_IP_QOS_PROFILE_DS_POLICY;
    p.profile.ds.policy = q.ds;
    p.profile.ds.class_count = 2;
    p.profile.ds.classes[0] = {0x14, 5, 1};
    p.profile.ds.classes[1] = {0x18, 6, 1};
    return p;
}

// How many of the policy's classes have their entry, in class order (a
// later class never has one without the earlier ones).
uint32_t classes_mapped(SweepEnv &env) {
    hwe_engine_t *eng = zel_sim_engine(env.sim);
    const bool first = lookup(eng, kTreeDscpQos, {kIntfA, 0x14}).w1 == 55;
    const bool second = lookup(eng, kTreeDscpQos, {kIntfA, 0x18}).w1 == 66;
    EXPECT_TRUE(first || !second) << "classes programmed out of order";
    return first + second;
}

bool call_completed(const SweepRun &run) { return run.status == 0 || run.call == "zel_sys_rw_lock_post"; }

TEST(QosFaults, PolicyAdd) {
    auto q = std::make_shared<QosEnv>();
    SweepOp op;
    op.name = "zel_ip_qos_policy_add";
    op.setup = qos_setup(q);
    op.op = [q](SweepEnv &env) {
        auto p = ds_policy(*q);
        return zel_ip_qos_policy_add(env.m, &p);
    };
    op.check = [q](SweepEnv &env, const SweepRun &run) {
        expect_failure(run, expected_failure(run.call, "Failed to add entry in QoS FPL tree",
                                             "Failed to get Queue for the class type 1 Id "));
        const uint32_t mapped = classes_mapped(env);
        if (call_completed(run)) {
            EXPECT_EQ(mapped, 2u);
        }
        if (run.call == "zel_qos_ds_policy_queueId_get") {
            EXPECT_EQ(mapped, 0u) << "written before every queue was resolved";
        }
        auto p = ds_policy(*q);
        EXPECT_EQ(zel_ip_qos_policy_add(env.m, &p), 0u);
        EXPECT_EQ(classes_mapped(env), 2u);
        EXPECT_EQ(zel_ip_qos_policy_delete(env.m, &p), 0u);
        EXPECT_EQ(entries(zel_sim_engine(env.sim), kTreeDscpQos), 0u);
    };
    fault_sweep(op);
}

TEST(QosFaults, PolicyDelete) {
    auto q = std::make_shared<QosEnv>();
    SweepOp op;
    op.name = "zel_ip_qos_policy_delete";
    op.setup = qos_setup(q, [q](SweepEnv &env) {
        auto p = ds_policy(*q);
        ASSERT_EQ(zel_ip_qos_policy_add(env.m, &p), 0u);
    });
    op.op = [q](SweepEnv &env) {
        auto p = ds_policy(*q);
        return zel_ip_qos_policy_delete(env.m, &p);
    };
    op.check = [q](SweepEnv &env, const SweepRun &run) {
        expect_failure(run, expected_failure(run.call, "Failed to remove entry from QoS FPL tree",
                                             "Failed to get Queue for the class type 1 Id "));
        hwe_engine_t *eng = zel_sim_engine(env.sim);
        const bool first_gone = lookup(eng, kTreeDscpQos, {kIntfA, 0x14}).w1 != 55;
        const bool second_gone = lookup(eng, kTreeDscpQos, {kIntfA, 0x18}).w1 != 66;
        EXPECT_TRUE(first_gone || !second_gone) << "removed out of order";
        if (call_completed(run)) {
            EXPECT_TRUE(first_gone && second_gone);
        }
        // Programmed again whole and deleted, nothing is left.
        auto p = ds_policy(*q);
        EXPECT_EQ(zel_ip_qos_policy_add(env.m, &p), 0u);
        EXPECT_EQ(zel_ip_qos_policy_delete(env.m, &p), 0u);
        EXPECT_EQ(entries(eng, kTreeDscpQos), 0u);
    };
    fault_sweep(op);
}

// DSCP to PCP: whatever the failure, the PCP table agrees with tree 32.
TEST(QosFaults, DscpPcpAddAndDelete) {
    for (bool add : {true, false}) {
        auto q = std::make_shared<QosEnv>();
        SweepOp op;
        op.name = add ? "zel_ip_dscp_pcp_map_add" : "zel_ip_dscp_pcp_map_delete";
        op.setup = qos_setup(q, [q, add](SweepEnv &env) {
            if (!add) {
                ASSERT_EQ(zel_ip_dscp_pcp_map_add(env.m, q->intf, 40, 4), 0u);
            }
        });
        op.op = [q, add](SweepEnv &env) {
            return add ? zel_ip_dscp_pcp_map_add(env.m, q->intf, 40, 4) : zel_ip_dscp_pcp_map_delete(env.m, q->intf, 40);
        };
        op.check = [q, add](SweepEnv &env, const SweepRun &run) {
            hwe_engine_t *eng = zel_sim_engine(env.sim);
            expect_failure(run, expected_failure(run.call, add ? "Could not program LPM rule in hardware"
                                                               : "Could not remove LPM rule from the hardware"));
            expect_pcp_table_in_step(eng, q->intf, kIntfA);
            if (call_completed(run)) {
                EXPECT_EQ(q->intf->pcp[40], add ? 4u : 0u);
            }
            // The map can be set and cleared afterwards.
            EXPECT_EQ(zel_ip_dscp_pcp_map_add(env.m, q->intf, 40, 4), 0u);
            EXPECT_EQ(zel_ip_dscp_pcp_map_delete(env.m, q->intf, 40), 0u);
            expect_pcp_table_in_step(eng, q->intf, kIntfA);
            EXPECT_EQ(pcp_at(eng, kIntfA, 40).depth, 16u);
        };
        fault_sweep(op);
    }
}

TEST(QosFaults, CpuDscpMapAddAndDelete) {
    static const uint8_t kDscp[] = {7, 200};
    for (bool add : {true, false}) {
        auto q = std::make_shared<QosEnv>();
        SweepOp op;
        op.name = add ? "zel_ip_cpu_dscp_qos_map_add" : "zel_ip_cpu_dscp_qos_map_delete";
        op.setup = qos_setup(q, [q, add](SweepEnv &env) {
            if (!add) {
                void *const queues[] = {q->q1, q->q2};
                ASSERT_EQ(zel_ip_cpu_dscp_qos_map_add(env.m, 2, kDscp, queues), 0u);
            }
        });
        op.op = [q, add](SweepEnv &env) {
            void *const queues[] = {q->q1, q->q2};
            return add ? zel_ip_cpu_dscp_qos_map_add(env.m, 2, kDscp, queues)
                       : zel_ip_cpu_dscp_qos_map_delete(env.m, 2, kDscp);
        };
        op.check = [q, add](SweepEnv &env, const SweepRun &run) {
            hwe_engine_t *eng = zel_sim_engine(env.sim);
            expect_failure(run, expected_failure(run.call, add ? "Failed to add LPM rule in hardware"
                                                               : "Failed to remove LPM rule from hardware",
                                                 "Failed to get MTM queue ID"));
            const bool first = lookup(eng, kTreeCpuDscpQos, {7}).w2 == 1;
            const bool second = lookup(eng, kTreeCpuDscpQos, {200}).w2 == 1;
            // In order: add never has the second without the first, delete
            // never removes the second before the first.
            EXPECT_TRUE(add ? (first || !second) : (!first || second));
            if (call_completed(run)) {
                EXPECT_EQ(first && second, add);
                EXPECT_EQ(first || second, add);
            }
            void *const queues[] = {q->q1, q->q2};
            EXPECT_EQ(zel_ip_cpu_dscp_qos_map_add(env.m, 2, kDscp, queues), 0u);
            EXPECT_EQ(zel_ip_cpu_dscp_qos_map_delete(env.m, 2, kDscp), 0u);
            EXPECT_EQ(entries(eng, kTreeCpuDscpQos), 0u);
        };
        fault_sweep(op);
    }
}

}  // namespace
