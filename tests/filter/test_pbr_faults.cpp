// Every platform call of every policy-routing operation failed in turn
// (fault sweep), once and persisting. After each run: a failure is
// reported with a message of the operation, a create that failed leaves
// the engine and the id pools as they were (unless withdrawing failed as
// well, which a log line says), a change that failed leaves the old state
// and completes when repeated, a failed commit leaves its pending ids for
// the next commit, and the module keeps working (the sweep also checks
// for leaked memory and a clean shutdown).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "pbr_test_util.h"
#include "zel_fault_sweep.h"

using namespace pbrtest;
using zel::test::StdoutCapture;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

uint32_t quietly(const std::function<uint32_t()> &fn) {
    StdoutCapture quiet;
    return fn();
}

// What the engine and the id pools hold for policy routing, and what a
// probe packet gets in set 1.
struct State {
    uint32_t t3, t23, t25, t33, t37, rule_ids, set_ids;
    uint32_t verdict_idx, verdict_w1;
    bool operator==(const State &o) const {
        return t3 == o.t3 && t23 == o.t23 && t25 == o.t25 && t33 == o.t33 && t37 == o.t37 &&
               rule_ids == o.rule_ids && set_ids == o.set_ids && verdict_idx == o.verdict_idx &&
               verdict_w1 == o.verdict_w1;
    }
};

std::string str(const State &s) {
    char b[200];
    std::snprintf(b, sizeof b, "t3 %u t23 %u t25 %u t33 %u t37 %u ids %u sets %u verdict %u/0x%x", s.t3, s.t23,
                  s.t25, s.t33, s.t37, s.rule_ids, s.set_ids, s.verdict_idx, s.verdict_w1);
    return b;
}

uint32_t t23_w1(SweepEnv &env, uint32_t intf_id) {
    return lookup(zel_sim_engine(env.sim), zel::ip::kTreeIntfIngressFlags, {intf_id}).w1;
}

State state(SweepEnv &env, uint32_t intf_id) {
    hwe_engine_t *e = zel_sim_engine(env.sim);
    using zel::test::entries;
    const Verdict v = classify(env.sim, 1, Pkt{});
    return {entries(e, zel::ip::kTreePbrAction),
            t23_w1(env, intf_id),
            lookup(e, zel::ip::kTreeIntfFilterRuleSet, {intf_id}).w2,
            entries(e, zel::ip::kTreePbr),
            entries(e, zel::ip::kTreeLoPbrPolicySet),
            zel_sim_engine_ns_in_use(e, "ip_pbr_stats"),
            zel_sim_engine_ns_in_use(e, "zel_ipv4_pbr_policy_set_ids"),
            v.rule_idx,
            v.action.w1};
}

// The objects one run stands on: an interface, a tunnel, policy set 1
// with rule A (index 1, committed) and policy set 2.
struct World {
    zel_ip_intf_handle_t intf = nullptr;
    zel_ip_tunnel_handle_t tunnel = nullptr;
    zel_ip_policy_set_handle_t s1 = nullptr, s2 = nullptr;
    zel_ip_flow_handle_t a = nullptr;

    zel_ip_pbr_rule_t rule(zel_ip_policy_set_handle_t s) const {
        zel_ip_pbr_rule_t r{};
        r.policy_set = s;
        r.mask = ZEL_IP_PBR_MASK_DIP | ZEL_IP_PBR_MASK_DPORT;
        r.dest_addr = 0x08080000;
        r.dest_prefix_len = 16;
        r.dport_low = 1;
        r.dport_high = 1000;
        r.action.next_hop = kNextHop;
        r.action.egress_intf = intf;
        return r;
    }
    zel_ip_pbr_action_t tunnel_action() const {
        zel_ip_pbr_action_t a{};
        a.egress_intf = tunnel;
        return a;
    }
    uint32_t intf_id() const { return reinterpret_cast<const zel_obj_header_t *>(intf)->intf_id; }

    void build(SweepEnv &env) {
        zel::test::sweep_start(env);
        StdoutCapture quiet;
        zel_ip_intf_params_t p{};
        p.l2_intf = zel_sim_l2_interface_new(env.sim, 0x2001);
        p.addr = 0x0a010001;
        p.prefix_len = 24;
        ASSERT_EQ(zel_ip_interface_create(env.m, &p, &intf), 0u);
        zel_ip_tunnel_params_t t{};
        t.tunnel_id = 7;
        t.local_addr = 0xc0000201;
        t.remote_addr = 0xc0000202;
        t.proto = 47;
        ASSERT_EQ(zel_ip_tunnel_interface_create(env.m, &t, &tunnel), 0u);
        ASSERT_EQ(zel_ip_pbr_policy_set_create(env.m, &s1), 0u);
        ASSERT_EQ(zel_ip_pbr_policy_set_create(env.m, &s2), 0u);
        const zel_ip_pbr_rule_t r = rule(s1);
        ASSERT_EQ(zel_ip_pbr_entry_create(env.m, 1, &r, &a), 0u);
        ASSERT_EQ(zel_ip_pbr_commit(env.m, 0, s1), 0u);
    }
};

// A failure was reported with one of `msgs` (the lock's own failures
// aside) and a failure status.
void expect_reported(const SweepRun &run, const std::vector<std::string> &msgs) {
    EXPECT_NE(run.status, 0u) << run.call << "\n" << run.output;
    if (run.call == "zel_sys_rw_lock_wait" || run.call == "zel_sys_rw_lock_post") return;
    bool found = false;
    for (const std::string &m : msgs) found = found || run.output.find(m) != std::string::npos;
    EXPECT_TRUE(found) << run.call << "\n" << run.output;
}

// A sweep of one operation over the world: on failure the state must be
// `before` (or, with `may_keep`, the run must say what it kept); the
// repeated call must then succeed and reach what a fault-free run reaches.
struct Case {
    std::string name;
    std::vector<std::string> msgs;
    std::function<void(SweepEnv &, World &)> more;      // further setup
    std::function<uint32_t(SweepEnv &, World &)> op;
    bool atomic = true;  // a failure leaves the state as it was
    void **out = nullptr;  // a create's out-handle: NULL after a failure
};

void sweep(const Case &c, uint32_t min_faulted) {
    World w;
    State before{}, after{};
    // The state a fault-free run reaches.
    {
        SweepEnv env;
        env.sim = zel_sim_create(nullptr);
        env.m = zel_sim_module_new(env.sim, "zel_ip", ZEL_LOG_INFO, 1);
        World w0;
        w0.build(env);
        if (c.more) c.more(env, w0);
        ASSERT_EQ(quietly([&] { return c.op(env, w0); }), 0u) << c.name;
        after = state(env, w0.intf_id());
        quietly([&] { return zel_ip_shutdown(env.m); });
        zel_sim_module_free(env.m);
        zel_sim_destroy(env.sim);
    }
    SweepOp op;
    op.name = c.name;
    op.setup = [&](SweepEnv &env) {
        w = World{};
        w.build(env);
        if (c.more) c.more(env, w);
        before = state(env, w.intf_id());
    };
    op.op = [&](SweepEnv &env) { return c.op(env, w); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        if (run.hits == 0 || run.call == "zel_sys_rw_lock_post") {
            EXPECT_EQ(state(env, w.intf_id()), after) << c.name << " " << str(state(env, w.intf_id()));
            return;
        }
        expect_reported(run, c.msgs);
        if (c.out) {
            EXPECT_EQ(*c.out, nullptr) << c.name << " " << run.call;
        }
        const State left = state(env, w.intf_id());
        if (c.atomic && !run.persist) {
            EXPECT_EQ(left, before) << c.name << " " << run.call << ": " << str(left) << " vs " << str(before);
        }
        if (c.atomic && run.persist && !(left == before)) {
            EXPECT_NE(run.output.find("kept"), std::string::npos) << c.name << "\n" << run.output;
        }
        // Repeated without the fault, the operation completes.
        const uint32_t st = quietly([&] { return c.op(env, w); });
        if (c.atomic && run.persist && !(left == before)) return;  // what stays kept stays
        EXPECT_EQ(st, 0u) << c.name << " repeated after " << run.call;
        EXPECT_EQ(state(env, w.intf_id()), after) << c.name << " repeated after " << run.call << ": "
                                                  << str(state(env, w.intf_id()));
    };
    const auto r = zel::test::fault_sweep(op);
    EXPECT_GE(r.faulted_runs_once, min_faulted) << c.name;
}

TEST(PbrFaults, PolicySetCreateAndDelete) {
    void *out = nullptr;
    Case create{"set create",
                {"Failed to allocate PBR namespace set ID", "Memory allocation failed"},
                nullptr,
                [&](SweepEnv &env, World &) {
                    auto *h = reinterpret_cast<zel_ip_policy_set_handle_t>(&out);
                    const uint32_t st = zel_ip_pbr_policy_set_create(env.m, &h);
                    out = h;
                    return st;
                }};
    create.out = &out;
    sweep(create, 2);
    sweep({"set delete", {"Failed to free PBR policy set ID"}, nullptr,
           [](SweepEnv &env, World &w) { return zel_ip_pbr_policy_set_delete(env.m, w.s2); }},
          1);
}

TEST(PbrFaults, EntryCreate) {
    void *out = nullptr;
    for (bool tunnel : {false, true}) {
        Case c{tunnel ? "entry create, tunnel" : "entry create",
               {"Failed to allocate memory for PBR policy rule", "Failed to allocate PBR Rule Namespace ID",
                "Failed to clear PBR rule namespace entry", "Failed to add the PBR rule in hardware",
                "Failed to add the PBR rule action in hardware"},
               nullptr,
               [&out, tunnel](SweepEnv &env, World &w) {
                   zel_ip_pbr_rule_t r = w.rule(w.s1);
                   if (tunnel) r.action = w.tunnel_action();
                   zel_ip_flow_handle_t h = reinterpret_cast<zel_ip_flow_handle_t>(&w);
                   const uint32_t st = zel_ip_pbr_entry_create(env.m, 0, &r, &h);
                   out = h;
                   return st;
               }};
        c.out = &out;
        sweep(c, 5);
    }
}

TEST(PbrFaults, EntryDeleteAndActionModify) {
    sweep({"entry delete", {"Failed to delete the PBR rule from hardware"}, nullptr,
           [](SweepEnv &env, World &w) { return zel_ip_pbr_entry_delete(env.m, 1, w.a); }},
          2);
    sweep({"action modify", {"Failed to add the PBR rule action in hardware"}, nullptr,
           [](SweepEnv &env, World &w) {
               const zel_ip_pbr_action_t a = w.tunnel_action();
               return zel_ip_pbr_rule_action_modify(env.m, w.a, &a);
           }},
          2);
}

TEST(PbrFaults, CommitKeepsWhatItCouldNotRelease) {
    // Rule A deleted and two more rules of set 1, one of them into the
    // tunnel, deleted after a build: three ids wait for the commit.
    auto pending = [](SweepEnv &env, World &w) {
        StdoutCapture quiet;
        zel_ip_pbr_rule_t r = w.rule(w.s1);
        zel_ip_flow_handle_t b = nullptr, t = nullptr;
        ASSERT_EQ(zel_ip_pbr_entry_create(env.m, 2, &r, &b), 0u);
        r.action = w.tunnel_action();
        ASSERT_EQ(zel_ip_pbr_entry_create(env.m, 3, &r, &t), 0u);
        ASSERT_EQ(zel_ip_pbr_commit(env.m, 0, w.s1), 0u);
        ASSERT_EQ(zel_ip_pbr_entry_delete(env.m, 1, w.a), 0u);
        ASSERT_EQ(zel_ip_pbr_entry_delete(env.m, 2, b), 0u);
        ASSERT_EQ(zel_ip_pbr_entry_delete(env.m, 3, t), 0u);
    };
    const std::vector<std::string> msgs = {"Failed to build PBR set in hardware", "Failed to rebuild all PBR sets",
                                           "Failed to remove PBR action from hw", "Failed to free the PBR rule NS ID",
                                           "Could not build the input pattern"};
    for (uint32_t mode : {0u, 1u})
        sweep({mode ? "commit all" : "commit set", msgs, pending,
               [mode](SweepEnv &env, World &w) { return zel_ip_pbr_commit(env.m, mode, w.s1); }, false},
              3);
    // The build answers "rebuild everything": the same through the rebuild.
    sweep({"commit set, rebuilt", msgs,
           [&](SweepEnv &env, World &w) {
               pending(env, w);
               hwe_engine_t *e = zel_sim_engine(env.sim);
               zel_sim_engine_set_rebuild_threshold(e, tree_id(e, zel::ip::kTreePbr), 1);
           },
           [](SweepEnv &env, World &w) { return zel_ip_pbr_commit(env.m, 0, w.s1); }, false},
          3);
}

TEST(PbrFaults, ApplyingASet) {
    const std::vector<std::string> msgs = {"Could not modify LPM rule in hardware", "Could not build the input pattern",
                                           "Memory allocation failed"};
    sweep({"interface", msgs, nullptr, [](SweepEnv &env, World &w) { return zel_ip_pbr_config(env.m, w.intf, w.s1); }},
          2);
    // Moving from one set to another, and removing it.
    auto applied = [](SweepEnv &env, World &w) {
        EXPECT_EQ(quietly([&] { return zel_ip_pbr_config(env.m, w.intf, w.s2); }), 0u);
    };
    sweep({"interface, other set", msgs, applied,
           [](SweepEnv &env, World &w) { return zel_ip_pbr_config(env.m, w.intf, w.s1); }},
          2);
    sweep({"interface, none", msgs, applied,
           [](SweepEnv &env, World &w) { return zel_ip_pbr_config(env.m, w.intf, nullptr); }},
          2);
    sweep({"global", msgs, nullptr, [](SweepEnv &env, World &w) { return zel_ip_pbr_config(env.m, nullptr, w.s1); }},
          1);
    sweep({"global, none", msgs,
           [](SweepEnv &env, World &w) {
               EXPECT_EQ(quietly([&] { return zel_ip_pbr_config(env.m, nullptr, w.s2); }), 0u);
           },
           [](SweepEnv &env, World &) { return zel_ip_pbr_config(env.m, nullptr, nullptr); }},
          1);
    sweep({"domain", msgs, nullptr, [](SweepEnv &env, World &w) { return zel_ip_vrd_pbr_config(env.m, 5, w.s1); }},
          1);
    sweep({"domain, none", msgs,
           [](SweepEnv &env, World &w) {
               EXPECT_EQ(quietly([&] { return zel_ip_vrd_pbr_config(env.m, 5, w.s2); }), 0u);
           },
           [](SweepEnv &env, World &) { return zel_ip_vrd_pbr_config(env.m, 5, nullptr); }},
          1);
}

}  // namespace
