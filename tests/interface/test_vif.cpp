// Virtual interfaces: every refusal of create in its order, the two
// entries read back from the engine (a /32 local entry only, the
// interface's tree-23 entry), the association mask, delete withdrawing
// both entries, and every platform failure of create and delete (fault
// sweep).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "intf_faults.h"
#include "tunnel_fixture.h"

using namespace intf_test;
using zel::test::fault_sweep;
using zel::test::mask_sites;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

constexpr uint32_t kAddr = ip(10, 1, 1, 1);
const std::string kErr = "[zel_ip_log: ERROR] FILE:LINE ";

class Vif : public TunnelTest {
protected:
    void SetUp() override {
        TunnelTest::SetUp();
        uint32_t id = 4;
        ASSERT_EQ(captured(nullptr, [&] { return zel_ip_vrd_create(m_, &id, &vrd4_); }), 0u);
        baseline_ = snap();
    }
    uint32_t vcreate(const zel_ip_vif_params_t &p, zel_ip_vif_handle_t *h, std::string *text = nullptr) {
        return captured(text, [&] { return zel_ip_virtual_interface_create(m_, &p, h); });
    }
    zel_ip_vif_handle_t vmake(const zel_ip_vif_params_t &p) {
        zel_ip_vif_handle_t h = nullptr;
        std::string text;
        EXPECT_EQ(vcreate(p, &h, &text), 0u) << text;
        return h;
    }
    uint32_t vdel(zel_ip_vif_handle_t h, std::string *text = nullptr) {
        return captured(text, [&] { return zel_ip_virtual_interface_delete(m_, h); });
    }

    zel_ip_vrd_handle_t vrd4_ = nullptr;
    Snapshot baseline_;
};

TEST_F(Vif, CreateRefusalsInOrder) {
    zel_ip_intf_handle_t ipoe = make(params(0x42, kAddr, 24));
    const Snapshot before = snap();
    const uint32_t not_a_vrd[2] = {0xc7b39516, 5};
    const zel_ip_vrd_handle_t bad_vrd = (zel_ip_vrd_handle_t)(not_a_vrd);
    struct Case {
        const char *name;
        zel_ip_vif_params_t p;
        uint32_t status;
        std::string text;
    };
    const Case cases[] = {
        {"address 0", {nullptr, 0, 0, 0}, 0x1030014, kErr + "Invalid interface address specified\n"},
        {"255.255.255.255", {nullptr, 0xffffffff, 0, 0}, 0x1030014, kErr + "Invalid interface address specified\n"},
        {"multicast", {nullptr, ip(224, 0, 0, 1), 0, 0}, 0x1030014, kErr + "Invalid interface address specified\n"},
        {"loopback", {nullptr, ip(127, 0, 0, 1), 0, 0}, 0x1030014, kErr + "Invalid interface address specified\n"},
        // An IPoE interface's address in the same domain.
        {"in use", {nullptr, kAddr, 0, 0}, 0x1030014, kErr + "IP address 0x0a010101 in VRD 63 already in use\n"},
        {"mask 0x36", {vrd4_, kAddr, 0x36, 0}, 0x30008,
         kErr + "Unsupported ingress association rule mask 36\n" + kErr +
             "Unexpected Ingress association rule mask\n"},
        {"VRD before address", {bad_vrd, 0, 0, 0}, 0x1030006, kErr + "Invalid VIrtual Routing Domain handle \n"},
        {"address before mask", {nullptr, 0, 0x100, 0}, 0x1030014, kErr + "Invalid interface address specified\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t junk = 0;
        zel_ip_vif_handle_t h = reinterpret_cast<zel_ip_vif_handle_t>(&junk);  // overwritten with NULL
        std::string text;
        EXPECT_EQ(vcreate(c.p, &h, &text), c.status);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(mask_sites(text), c.text);
        EXPECT_EQ(snap(), before);
        EXPECT_EQ(zel_sim_interface_ids_in_use(sim_), 1u);  // the IPoE interface's
        EXPECT_EQ(addr_slots(m_).size(), 1u);
    }
    std::string text;
    zel_ip_vif_params_t p{nullptr, kAddr, 0, 0};
    EXPECT_EQ(captured(&text, [&] {
                  return zel_ip_virtual_interface_create(m_, nullptr, nullptr) |
                         zel_ip_virtual_interface_create(m_, &p, nullptr);
              }),
              0x30008u);
    EXPECT_EQ(mask_sites(text), kErr + "NULL pointer parameter specified\n" + kErr +
                                    "NULL pointer parameter specified\n");
    ASSERT_EQ(del(ipoe), 0u);
}

// An address of its own and nothing else: a /32 local entry (no subnet
// route, no invalid-source or subnet-broadcast entries) and the
// interface's tree-23 entry. The same address in another domain is
// another address.
TEST_F(Vif, EntriesOfAVirtualInterface) {
    struct Case {
        const char *name;
        uint16_t mask;
        uint8_t reassemble;
        uint32_t w1;  // without the compressed index
    };
    const Case cases[] = {
        {"mask 0 is PROTO: bit 12", 0, 0, 0x1080},
        {"mask 0x35, reassembled", 0x35, 1, 0x35a0},
        {"VRD ID folds into bit 8", 0x84, 0, 0x580},
    };
    zel_ip_intf_handle_t ipoe = make(params(0x42, kAddr, 24));  // same address, domain 63
    const Snapshot with_ipoe = snap();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zel_ip_vif_handle_t h = vmake({vrd4_, kAddr, c.mask, c.reassemble});
        const uint32_t x = reinterpret_cast<const zel_obj_header_t *>(h)->intf_id;
        const auto slots = addr_slots(m_);
        ASSERT_EQ(slots.size(), 2u);
        const uint32_t cdip = slots.rbegin()->first;
        EXPECT_EQ(slots.rbegin()->second, std::make_pair(kAddr, 4u));
        const Hit local = dest(4, kAddr);
        EXPECT_EQ(local.depth, 38u);
        EXPECT_TRUE(is_value(local.a, c.w1 | cdip << 16, x));
        EXPECT_TRUE(is_value(by_intf(kIngress, x).a, 4u << 16, x));
        EXPECT_EQ(dest(4, kAddr + 1).depth, 0u);
        EXPECT_EQ(snap().size(), with_ipoe.size() + 2);
        // Delete withdraws both entries: no stale tree-23 entry is left
        // under an id the framework hands out again.
        ASSERT_EQ(vdel(h), 0u);
        EXPECT_EQ(snap(), with_ipoe);
        EXPECT_EQ(zel_sim_interface_ids_in_use(sim_), 1u);
        EXPECT_EQ(addr_slots(m_).size(), 1u);
    }
    ASSERT_EQ(del(ipoe), 0u);
    EXPECT_EQ(snap(), baseline_);
}

TEST_F(Vif, DeleteRefusals) {
    uint32_t junk[8] = {};
    std::string text;
    EXPECT_EQ(vdel(nullptr, &text), 0x30008u);
    EXPECT_EQ(mask_sites(text), kErr + "Invalid Interface Handle type\n");
    EXPECT_EQ(vdel(reinterpret_cast<zel_ip_vif_handle_t>(junk), &text), 0x30008u);
    EXPECT_EQ(mask_sites(text), kErr + "Invalid Interface Handle type\n");
    // Its domain is in use while it lives, and goes once it is gone.
    zel_ip_vif_handle_t h = vmake({vrd4_, kAddr, 0, 0});
    EXPECT_EQ(captured(&text, [&] { return zel_ip_vrd_delete(m_, vrd4_); }), 0x3000fu);
    EXPECT_NE(text.find(" in use by virtual interface 0x"), std::string::npos) << text;
    EXPECT_EQ(vdel(h, &text), 0u) << text;
    EXPECT_FALSE(zel_ipv4_vif_valid_handle(h));
    EXPECT_EQ(captured(nullptr, [&] { return zel_ip_vrd_delete(m_, vrd4_); }), 0u);
    vrd4_ = nullptr;
}

TEST_F(Vif, OutputOfCreateAndDelete) {
    zel_ip_vif_handle_t h = nullptr;
    std::string create_text, delete_text;
    ASSERT_EQ(vcreate({nullptr, kAddr, 0, 0}, &h, &create_text), 0u);
    ASSERT_EQ(vdel(h, &delete_text), 0u);
    EXPECT_EQ(mask_sites(create_text), "[zel_ip_log: info] FILE:LINE Allocated interface NS ID 0x100\n");
    EXPECT_EQ(mask_sites(delete_text), "[zel_ip_log: info] FILE:LINE Freed interface NS ID 0x100\n");
}

// ---- Platform failures ----------------------------------------------------------

zel_ip_vif_handle_t vif_create(SweepEnv &env, const zel_ip_vif_params_t &p) {
    zel_ip_vif_handle_t h = nullptr;
    EXPECT_EQ(quietly([&] { return zel_ip_virtual_interface_create(env.m, &p, &h); }), 0u);
    return h;
}

TEST(VifFaults, Create) {
    Snapshot baseline;
    const zel_ip_vif_params_t p{nullptr, kAddr, 0, 1};
    zel_ip_vif_handle_t out = nullptr;
    uint64_t blocks = 0;
    const char *rule = "Could not add LPM rule in hardware";
    const std::vector<Expected> table = {
        {"hwe_nvm_calloc", 0x10012, {{"Memory allocation failed"}}},
        {"zel_sys_interface_id_alloc", 0x10000 | kFault, {{"Failed to allocate stats NS ID for VIP intf"}}},
        {"hwe_se_state_set", 0x1002c, {{"Failed to clear state engine memory, " + kRte}}},
        {"zel_ptn_clear", 0, {kBuild}},
        {"zel_ptn_extend", 0, {kBuild}},
        {"hwe_ptn_learn", 0x10040, {{rule}}},
        {"hwe_subnet_del_subnet", 0x1003d, {{rule}}},
        {"hwe_subnet_add_subnet", 0x1003c, {{rule}}},
    };
    SweepOp op;
    op.name = "zel_ip_virtual_interface_create";
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        baseline = snapshot(env.sim, env.m);
        blocks = zel_sim_mem_blocks();
    };
    op.op = [&](SweepEnv &env) { return zel_ip_virtual_interface_create(env.m, &p, &out); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        if (run.hits == 0 || !expect_reported(env, run, table)) {
            if (run.call != "zel_sys_rw_lock_wait") {  // created
                ASSERT_NE(out, nullptr);
                EXPECT_EQ(quietly([&] { return zel_ip_virtual_interface_delete(env.m, out); }), 0u);
            }
        } else {
            EXPECT_EQ(out, nullptr);
            EXPECT_EQ(zel_sim_mem_blocks(), blocks);
            if (run.persist) return;  // withdrawing failed as well
            // What it took was withdrawn; the same create succeeds now.
            EXPECT_EQ(snapshot(env.sim, env.m), baseline);
            EXPECT_TRUE(addr_slots(env.m).empty());
            EXPECT_EQ(zel_sim_interface_ids_in_use(env.sim), 0u);
            EXPECT_EQ(quietly([&] { return zel_ip_virtual_interface_create(env.m, &p, &out); }), 0u);
            EXPECT_EQ(quietly([&] { return zel_ip_virtual_interface_delete(env.m, out); }), 0u);
        }
        EXPECT_EQ(snapshot(env.sim, env.m), baseline);
    };
    fault_sweep(op);
}

TEST(VifFaults, Delete) {
    Snapshot baseline;
    zel_ip_vif_handle_t h = nullptr;
    const char *rule = "Could not remove LPM rule from hardware";
    const std::vector<Expected> table = {
        {"zel_ptn_clear", 0, {kBuild}},
        {"zel_ptn_extend", 0, {kBuild}},
        {"hwe_ptn_unlearn", 0x10041, {{rule}}},
        {"hwe_subnet_find_higher_subnet", 0x1003e, {{rule}}},
        {"hwe_subnet_del_subnet", 0x1003d, {{rule}}},
        {"hwe_subnet_add_subnet", 0x1003c, {{rule}}},
    };
    SweepOp op;
    op.name = "zel_ip_virtual_interface_delete";
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        baseline = snapshot(env.sim, env.m);
        h = vif_create(env, {nullptr, kAddr, 0x14, 0});
    };
    op.op = [&](SweepEnv &env) { return zel_ip_virtual_interface_delete(env.m, h); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        const bool id_kept = run.hits > 0 && run.call == "zel_sys_interface_id_free";
        if (run.hits == 0) {
            EXPECT_EQ(run.status, 0u) << run.output;
        } else if (id_kept) {
            EXPECT_EQ(run.status, run.persist ? 0x10000 | kFault : 0u) << run.output;
        } else if (expect_reported(env, run, table) || run.call == "zel_sys_rw_lock_wait") {
            // Still live; repeating the delete completes it.
            EXPECT_TRUE(zel_ipv4_vif_valid_handle(h));
            EXPECT_EQ(quietly([&] { return zel_ip_virtual_interface_delete(env.m, h); }), 0u);
        }
        EXPECT_FALSE(zel_ipv4_vif_valid_handle(h));
        EXPECT_EQ(snapshot(env.sim, env.m), baseline);
        EXPECT_TRUE(addr_slots(env.m).empty());
        EXPECT_EQ(zel_sim_interface_ids_in_use(env.sim), id_kept ? 1u : 0u);
    };
    fault_sweep(op);
}

}  // namespace
