// Every platform call of the attribute and capture operations failed in
// turn (fault sweep), once and persisting: the documented status and
// lines; the interface's words unchanged when an entry failed (the next
// operation starts from them); the repeated call completes and leaves the
// documented entries; no leaked memory; and once everything is taken down
// the engine holds what it held before the interface existed.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "attr_fixture.h"
#include "intf_faults.h"
#include "zel_fault_sweep.h"

using namespace intf_test;
using zel::test::fault_sweep;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

constexpr const char *kAdd = "Could not add LPM rule in hardware";
constexpr const char *kProgram = "Could not program LPM rule in hardware";
constexpr const char *kCapProgram = "Failed to program LPM rule in hardware";
constexpr uint32_t kIntf = 0x44;
constexpr uint32_t kFlow = 0x5150;

// What one run works on.
struct Objs {
    zel_ip_intf_handle_t intf = nullptr;
    void *policer = nullptr;
    void *queue = nullptr;
    zel_ip_capture_handle_t cap = nullptr;
    zel_ip_rule_set_handle_t rs = nullptr;
};

// The failures of programming single-pattern entries outside the prefix
// trees: `learn` and `unlearn` list the messages either may report.
std::vector<Expected> rule_table(std::vector<std::vector<std::string>> learn,
                                 std::vector<std::vector<std::string>> unlearn = {}) {
    return {
        {"zel_ptn_clear", 0, {kBuild}},
        {"zel_ptn_extend", 0, {kBuild}},
        {"hwe_ptn_learn", 0x10040, learn},
        {"hwe_ptn_unlearn", 0x10041, unlearn},
    };
}

Hit at(SweepEnv &env, uint32_t tree, std::vector<uint32_t> v, std::vector<uint32_t> w) {
    return lookup(env.sim, env.m, tree, std::move(v), std::move(w));
}
Hit by(SweepEnv &env, uint32_t tree) { return at(env, tree, {kIntf}, {16}); }

struct Sweep {
    const char *name;
    std::function<void(SweepEnv &, Objs &)> prepare;  // the state the operation starts from
    std::function<uint32_t(SweepEnv &, Objs &)> op;
    std::function<std::vector<Expected>(const SweepRun &)> table;
    std::function<void(SweepEnv &, Objs &)> done;  // the state once the operation completed
    // Repeats the operation after a failure (default: it completes).
    std::function<void(SweepEnv &, Objs &, const SweepRun &)> repeat = nullptr;
    // The words stay as they were when the operation fails (a capture stop
    // stores the cleared capture bit before its later steps).
    bool words_kept = true;
};

// An IPoE interface with two secondaries, a policer and a queue, then
// `prepare`; the operation swept; its repetition after a failure; `done`;
// then everything taken down.
void sweep(const Sweep &s) {
    Snapshot baseline;
    Objs o;
    Words before{};
    SweepOp op;
    op.name = s.name;
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        baseline = snapshot(env.sim, env.m);
        zel::test::StdoutCapture quiet;
        o = {};
        zel_ip_intf_params_t p{};
        p.l2_intf = zel_sim_l2_interface_new(env.sim, kIntf);
        p.addr = ip(10, 1, 0, 1);
        p.prefix_len = 24;
        ASSERT_EQ(zel_ip_interface_create(env.m, &p, &o.intf), 0u);
        for (uint32_t a : {ip(10, 2, 0, 1), ip(10, 3, 0, 1)}) {
            const uint32_t ap[2] = {a, 24};
            ASSERT_EQ(zel_ip_interface_addr_add(env.m, o.intf, ap), 0u);
        }
        o.policer = zel_sim_qos_policer_new(env.sim, kFlow);
        o.queue = zel_sim_qos_queue_new(env.sim, 0x31);
        if (s.prepare) s.prepare(env, o);
        before = words_of(o.intf);
    };
    op.op = [&](SweepEnv &env) { return s.op(env, o); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        if (run.hits == 0) {
            EXPECT_EQ(run.status, 0u) << run.output;
        } else if (expect_reported(env, run, s.table(run))) {
            // The entry failed: the words are those of before, and the
            // repeated call completes.
            if (s.words_kept) {
                EXPECT_EQ(words_of(o.intf), before);
            }
            if (s.repeat) {
                s.repeat(env, o, run);
            } else {
                EXPECT_EQ(quietly([&] { return s.op(env, o); }), 0u);
            }
        } else if (run.call == "zel_sys_rw_lock_wait") {
            EXPECT_EQ(quietly([&] { return s.op(env, o); }), 0u);
        }
        s.done(env, o);
        // Taken down, the engine is as before the interface.
        quietly([&] {
            if (zel_ip_packet_capture_stop(env.m, o.cap) == 0) o.cap = nullptr;
            for (uint32_t a : {ip(10, 2, 0, 1), ip(10, 3, 0, 1)}) {
                const uint32_t ap[2] = {a, 24};
                EXPECT_EQ(zel_ip_interface_addr_rem(env.m, o.intf, ap), 0u);
            }
            EXPECT_EQ(zel_ip_interface_delete(env.m, o.intf), 0u);
            return 0u;
        });
        EXPECT_EQ(snapshot(env.sim, env.m), baseline);
    };
    fault_sweep(op);
}

uint32_t police(SweepEnv &env, Objs &o, uint8_t on) {
    const zel_ip_policing_req_t req{on, on ? o.policer : nullptr};
    return zel_ip_interface_ingress_policing_set(env.m, o.intf, &req);
}

// ---- Interface attributes ------------------------------------------------------

TEST(AttrFaults, StatusSet) {
    sweep({"zel_ip_interface_status_set", nullptr,
           [](SweepEnv &env, Objs &o) { return zel_ip_interface_status_set(env.m, o.intf, 0); },
           [](const SweepRun &) { return rule_table({{kAdd}}); },
           [](SweepEnv &env, Objs &o) {
               EXPECT_NE(by(env, 23).a.w1 & 1u << 22, 0u);
               EXPECT_NE(by(env, 24).a.w1 & 1u << 6, 0u);
               EXPECT_EQ(words_of(o.intf).ingress, by(env, 23).a.w1);
               EXPECT_EQ(words_of(o.intf).egress, by(env, 24).a.w1);
           }});
}

TEST(AttrFaults, FilterType) {
    sweep({"zel_ip_interface_filter_type_set", nullptr,
           [](SweepEnv &env, Objs &o) { return zel_ip_interface_filter_type_set(env.m, o.intf, 1, 2); },
           [](const SweepRun &) { return rule_table({{kAdd}}); },
           [](SweepEnv &env, Objs &o) {
               EXPECT_EQ(by(env, 24).a.w1 & 0x18, 0x10u);
               EXPECT_EQ(words_of(o.intf).egress, by(env, 24).a.w1);
           }});
}

TEST(AttrFaults, FilterSetAndClear) {
    constexpr const char *kModify = "Could not modify LPM rule in hardware";
    auto make_set = [](SweepEnv &env, Objs &o) {
        ASSERT_EQ(zel_ip_filter_rule_set_create(env.m, &o.rs), 0u);
    };
    sweep({"zel_ip_interface_filter_set", make_set,
           [](SweepEnv &env, Objs &o) { return zel_ip_interface_filter_set(env.m, o.intf, 0, o.rs); },
           [=](const SweepRun &) { return rule_table({{kModify}}); },
           [](SweepEnv &env, Objs &o) {
               EXPECT_EQ(by(env, 23).a.w1 >> 8 & 0xff, zel::ip::rule_set_id(o.rs));
               EXPECT_EQ(words_of(o.intf).ingress_rs, static_cast<void *>(o.rs));
               // In use while attached.
               EXPECT_EQ(quietly([&] { return zel_ip_filter_rule_set_delete(env.m, o.rs); }), 0x3000fu);
           }});
    sweep({"zel_ip_interface_filter_clear",
           [=](SweepEnv &env, Objs &o) {
               make_set(env, o);
               ASSERT_EQ(zel_ip_interface_filter_set(env.m, o.intf, 1, o.rs), 0u);
           },
           [](SweepEnv &env, Objs &o) { return zel_ip_interface_filter_clear(env.m, o.intf, 1, o.rs); },
           [=](const SweepRun &) { return rule_table({{kModify}}); },
           [](SweepEnv &env, Objs &o) {
               EXPECT_EQ(by(env, 25).a.w1, 0u);
               EXPECT_EQ(words_of(o.intf).egress_rs, nullptr);
               EXPECT_EQ(quietly([&] { return zel_ip_filter_rule_set_delete(env.m, o.rs); }), 0u);
           }});
}

TEST(AttrFaults, ProfileOnAndOff) {
    sweep({"zel_ip_interface_priority_map_profile_config 5", nullptr,
           [](SweepEnv &env, Objs &o) { return zel_ip_interface_priority_map_profile_config(env.m, o.intf, 0, 5); },
           [](const SweepRun &) { return rule_table({{kAdd}, {kProgram}}); },
           [](SweepEnv &env, Objs &o) {
               EXPECT_TRUE(is_value(by(env, 26).a, 5, 0));
               EXPECT_EQ(words_of(o.intf).profile, 5u);
               EXPECT_NE(words_of(o.intf).ingress & 1u << 6, 0u);
           }});
    sweep({"zel_ip_interface_priority_map_profile_config 0",
           [](SweepEnv &env, Objs &o) {
               ASSERT_EQ(zel_ip_interface_priority_map_profile_config(env.m, o.intf, 0, 5), 0u);
           },
           [](SweepEnv &env, Objs &o) { return zel_ip_interface_priority_map_profile_config(env.m, o.intf, 0, 0); },
           [](const SweepRun &) { return rule_table({{kAdd}}, {{kProgram}}); },
           [](SweepEnv &env, Objs &o) {
               EXPECT_EQ(by(env, 26).depth, 0u);
               EXPECT_EQ(words_of(o.intf).profile, 0u);
               EXPECT_EQ(words_of(o.intf).ingress & 1u << 6, 0u);
           }});
}

TEST(AttrFaults, PolicingOnAndOff) {
    auto on_table = [](const SweepRun &) {
        std::vector<Expected> t = rule_table({{kAdd}, {kProgram}});
        t.push_back({"zel_qos_policing_flow_id_get", 0x30000 | kFault, {{"Failed to retrieve policing flow ID"}},
                     "ERROR"});
        return t;
    };
    sweep({"zel_ip_interface_ingress_policing_set on",
           [](SweepEnv &env, Objs &o) {
               ASSERT_EQ(zel_ip_interface_priority_map_profile_config(env.m, o.intf, 0, 3), 0u);
           },
           [](SweepEnv &env, Objs &o) { return police(env, o, 1); }, on_table,
           [](SweepEnv &env, Objs &o) {
               EXPECT_TRUE(is_value(by(env, 26).a, 3, kFlow));
               EXPECT_EQ(words_of(o.intf).police_on, 1u);
               EXPECT_NE(by(env, 23).a.w1 & 1u << 5, 0u);
           }});
    sweep({"zel_ip_interface_ingress_policing_set off",
           [](SweepEnv &env, Objs &o) { ASSERT_EQ(police(env, o, 1), 0u); },
           [](SweepEnv &env, Objs &o) { return police(env, o, 0); },
           [](const SweepRun &) { return rule_table({{kAdd}}, {{kProgram}}); },
           [](SweepEnv &env, Objs &o) {
               EXPECT_EQ(by(env, 26).depth, 0u);
               EXPECT_EQ(words_of(o.intf).police_on, 0u);
               EXPECT_EQ(by(env, 23).a.w1 & 1u << 5, 0u);
           }});
}

TEST(AttrFaults, Mtu) {
    sweep({"zel_ip_interface_mtu_set", nullptr,
           [](SweepEnv &env, Objs &o) { return zel_ip_interface_mtu_set(env.m, o.intf, 4000); },
           [](const SweepRun &) { return rule_table({{kAdd}}); },
           [](SweepEnv &env, Objs &o) {
               EXPECT_EQ(by(env, 24).a.w1 >> 8, 4000u);
               for (uint32_t a : {ip(10, 1, 0, 1), ip(10, 2, 0, 1), ip(10, 3, 0, 1)})
                   EXPECT_EQ(at(env, 22, {kIntf, a}, {16, 32}).a.w1, (a & 0xff) | 4000u << 8);
               EXPECT_EQ(words_of(o.intf).mtu, 4000u);
           }});
}

// The source filters live in a prefix tree: the subnet database steps
// fail too.
std::vector<Expected> src_table(const SweepRun &) {
    return {
        {"zel_ptn_clear", 0, {kBuild}},
        {"zel_ptn_extend", 0, {kBuild}},
        {"hwe_ptn_learn", 0x10040, {{kProgram}}},
        {"hwe_ptn_unlearn", 0x10041, {{kProgram}}},
        {"hwe_subnet_find_higher_subnet", 0x1003e, {{kProgram}}},
        {"hwe_subnet_del_subnet", 0x1003d, {{kProgram}}},
        {"hwe_subnet_add_subnet", 0x1003c, {{kProgram}}},
    };
}

TEST(AttrFaults, SourceFilters) {
    static const uint32_t kNet[2] = {ip(172, 16, 0, 0), 12};
    sweep({"zel_ip_sip_addr_filter_add", nullptr,
           [](SweepEnv &env, Objs &) { return zel_ip_sip_addr_filter_add(env.m, nullptr, kNet, 1); }, src_table,
           [](SweepEnv &env, Objs &) {
               const Hit h = at(env, 0, {63, ip(172, 20, 1, 1)}, {6, 32});
               EXPECT_EQ(h.depth, 18u);
               EXPECT_EQ(h.a.w1, 1u);
               quietly([&] { return zel_ip_sip_addr_filter_rem(env.m, nullptr, kNet); });
           }});
    sweep({"zel_ip_sip_addr_filter_rem",
           [](SweepEnv &env, Objs &) { ASSERT_EQ(zel_ip_sip_addr_filter_add(env.m, nullptr, kNet, 2), 0u); },
           [](SweepEnv &env, Objs &) { return zel_ip_sip_addr_filter_rem(env.m, nullptr, kNet); }, src_table,
           [](SweepEnv &env, Objs &) { EXPECT_EQ(at(env, 0, {63, ip(172, 20, 1, 1)}, {6, 32}).depth, 0u); },
           // As for a route delete: once the engine dropped the entry (a
           // database step failed after it) the removal is refused again;
           // adding the filter again puts the database right.
           [](SweepEnv &env, Objs &, const SweepRun &run) {
               const bool engine_done = run.call == "hwe_subnet_del_subnet" || run.call == "hwe_subnet_add_subnet";
               if (engine_done) {
                   EXPECT_EQ(at(env, 0, {63, ip(172, 20, 1, 1)}, {6, 32}).depth, 0u);
                   EXPECT_EQ(quietly([&] { return zel_ip_sip_addr_filter_rem(env.m, nullptr, kNet); }), 0x10041u);
                   EXPECT_EQ(quietly([&] { return zel_ip_sip_addr_filter_add(env.m, nullptr, kNet, 2); }), 0u);
               }
               EXPECT_EQ(quietly([&] { return zel_ip_sip_addr_filter_rem(env.m, nullptr, kNet); }), 0u);
           }});
}

// ---- Packet capture ------------------------------------------------------------

zel_ip_capture_params_t capture_params(Objs &o) {
    zel_ip_capture_params_t p{};
    p.intf = o.intf;
    p.direction = 1;
    p.mtm_queue = o.queue;
    p.ph_bind_handle = 0x01020304;
    p.cb_fn_id = 9;
    p.context_id = 77;
    return p;
}

void capture_running(SweepEnv &env, Objs &) {
    EXPECT_NE(by(env, 24).a.w1 & 1u << 7, 0u);
    EXPECT_TRUE(is_value(at(env, 31, {kIntf, 0, 1}, {16, 1, 1}).a, 0x020304, 0x01 | 9u << 8));
    EXPECT_TRUE(is_value(at(env, 31, {kIntf, 1, 1}, {16, 1, 1}).a, 0x31, 77));
}

TEST(AttrFaults, CaptureStart) {
    sweep({"zel_ip_packet_capture_start", nullptr,
           [](SweepEnv &env, Objs &o) {
               const zel_ip_capture_params_t p = capture_params(o);
               return zel_ip_packet_capture_start(env.m, &p, &o.cap);
           },
           [](const SweepRun &run) {
               std::vector<Expected> t = {
                   {"zel_ptn_clear", 0, {kBuild}},
                   {"zel_ptn_extend", 0, {kBuild}},
                   {"hwe_nvm_calloc", 0x10012, {{"Memory allocation failed"}}},
                   {"zel_qos_queue_id_get", kFault, {{"Failed to get MTM queue ID"}}, "ERROR"},
               };
               // The two point entries are refused with severity 3, the
               // interface entry after them with severity 1.
               if (run.call_count <= 2) {
                   t.push_back({"hwe_ptn_learn", 0x30040, {{kRte + ", Failed to learn the input pattern", kCapProgram}},
                                "ERROR"});
               } else {
                   t.push_back({"hwe_ptn_learn", 0x10040, {{kAdd}}});
               }
               return t;
           },
           [](SweepEnv &env, Objs &o) {
               ASSERT_NE(o.cap, nullptr);
               capture_running(env, o);
               EXPECT_NE(words_of(o.intf).egress & 1u << 7, 0u);
           }});
}

TEST(AttrFaults, CaptureStop) {
    sweep({"zel_ip_packet_capture_stop",
           [](SweepEnv &env, Objs &o) {
               const zel_ip_capture_params_t p = capture_params(o);
               ASSERT_EQ(zel_ip_packet_capture_start(env.m, &p, &o.cap), 0u);
           },
           [](SweepEnv &env, Objs &o) { return zel_ip_packet_capture_stop(env.m, o.cap); },
           [](const SweepRun &) {
               return std::vector<Expected>{
                   {"zel_ptn_clear", 0, {kBuild}},
                   {"zel_ptn_extend", 0, {kBuild}},
                   {"hwe_ptn_learn", 0x10040, {{kAdd}}},
                   {"hwe_ptn_unlearn", 0x30041, {{kRte + ", Failed to unlearn the input pattern", kCapProgram}},
                    "ERROR"},
               };
           },
           [](SweepEnv &env, Objs &o) {
               EXPECT_EQ(by(env, 24).a.w1 & 1u << 7, 0u);
               EXPECT_EQ(words_of(o.intf).egress & 1u << 7, 0u);
               EXPECT_EQ(at(env, 31, {kIntf, 0, 1}, {16, 1, 1}).depth, 0u);
               EXPECT_EQ(at(env, 31, {kIntf, 1, 1}, {16, 1, 1}).depth, 0u);
               uint8_t s = 0;
               EXPECT_EQ(quietly([&] { return zel_ip_packet_capture_status_get(env.m, o.cap, &s); }), 0x30001u);
           },
           nullptr, false});
}

TEST(AttrFaults, CaptureDelivery) {
    auto start = [](SweepEnv &env, Objs &o) {
        const zel_ip_capture_params_t p = capture_params(o);
        ASSERT_EQ(zel_ip_packet_capture_start(env.m, &p, &o.cap), 0u);
    };
    sweep({"zel_ip_packet_capture_enable", start,
           [](SweepEnv &env, Objs &o) { return zel_ip_packet_capture_enable(env.m, o.cap); },
           [](const SweepRun &) {
               return std::vector<Expected>{{"zel_qos_queue_pkt_capture_enable", 0x30000 | kFault,
                                             {{"Failed to enable delivery for the QoS Queue"}}, "ERROR"}};
           },
           [](SweepEnv &env, Objs &o) {
               EXPECT_EQ(zel_sim_qos_queue_capture(o.queue), 1u);
               capture_running(env, o);
           }});
    sweep({"zel_ip_packet_capture_status_get", start,
           [](SweepEnv &env, Objs &o) {
               uint8_t s = 7;
               const uint32_t st = zel_ip_packet_capture_status_get(env.m, o.cap, &s);
               if (st == 0) {
                   EXPECT_EQ(s, 0u);
               }
               return st;
           },
           [](const SweepRun &) {
               return std::vector<Expected>{{"zel_qos_queue_pkt_capture_status_get", 0x30000 | kFault,
                                             {{"Failed to get the status of the QoS Queue"}}, "ERROR"}};
           },
           [](SweepEnv &env, Objs &o) { capture_running(env, o); }});
}

}  // namespace
