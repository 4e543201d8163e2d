// Every platform call of the filter operations failed in turn (fault
// sweep), once and persisting: a failed operation reports with one of its
// documented messages and leaves the state it started from (ids, CPU-path
// entries, engine rules, platform memory); a failed delete, modify or
// commit completes when repeated, and a commit releases statistics ids and
// CPU-path entries exactly once.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "filter_test_util.h"
#include "zel_fault_sweep.h"

using namespace filtertest;
using zel::test::fault_sweep;
using zel::test::kFault;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

hwe_engine_t *eng(SweepEnv &env) { return zel_sim_engine(env.sim); }

uint32_t quietly(const std::function<uint32_t()> &fn) {
    StdoutCapture quiet;
    return fn();
}

struct State {
    uint32_t rule_ids, set_ids, ext_rules;
    std::vector<uint32_t> cpu_entries;  // trees 16 to 19
    uint64_t blocks;
    bool operator==(const State &o) const {
        return rule_ids == o.rule_ids && set_ids == o.set_ids && ext_rules == o.ext_rules &&
               cpu_entries == o.cpu_entries && blocks == o.blocks;
    }
};
std::ostream &operator<<(std::ostream &os, const State &s) {
    os << "ids " << s.rule_ids << '/' << s.set_ids << ", rules " << s.ext_rules << ", cpu";
    for (uint32_t e : s.cpu_entries) os << ' ' << e;
    return os << ", blocks " << s.blocks;
}
State state(SweepEnv &env) {
    State s{zel_sim_engine_ns_in_use(eng(env), "ip_filter_stats"),
            zel_sim_engine_ns_in_use(eng(env), "zel_ipv4_filter_rule_set_ids"),
            zel_sim_engine_entry_count(eng(env), tree_id(eng(env), kExtTree)),
            {},
            zel_sim_mem_blocks()};
    for (uint32_t t = 16; t <= 19; ++t) s.cpu_entries.push_back(zel::test::entries(eng(env), t));
    return s;
}

// Police with count, Send-To-CPU through NCA with an MTM queue: every
// CPU-path tree is used.
zel_ip_filter_action_t full_action(SweepEnv &env, uint32_t type = ZEL_IP_FILTER_CPU) {
    zel_ip_filter_action_t a = act(type);
    a.count = 1;
    a.police = 1;
    a.policer = zel_sim_qos_policer_new(env.sim, 0x321);
    a.cpu_kind = ZEL_IP_CPU_PATH_NCA;
    a.cpu_target = 5;
    a.mtm_queue = zel_sim_qos_queue_new(env.sim, 0x77);
    return a;
}

zel_ip_filter_rule_t tcp_rule() {
    zel_ip_filter_rule_t r{};
    r.mask = ZEL_IP_FILTER_PROTO | ZEL_IP_FILTER_PROTO_INFO | ZEL_IP_FILTER_DPORT | ZEL_IP_FILTER_DIP;
    r.proto_lo = r.proto_hi = 6;
    r.dport_lo = r.dport_hi = 22;
    r.dip = 0x0a000000;
    r.dip_prefix_len = 8;
    return r;
}

// A failed run names its failure with one of `msgs` (a lock failure with
// the lock's own status); a run that met no fault, or whose first failing
// call was the release of the lock (reported after the work was done), is
// a success.
bool failed(const SweepRun &run, const std::vector<std::string> &msgs) {
    if (run.hits == 0) {
        EXPECT_EQ(run.status, 0u) << run.output;
        return false;
    }
    if (run.call == "zel_sys_rw_lock_post") {
        EXPECT_EQ(run.status, zel::ip::fatal(kFault)) << run.output;
        return false;
    }
    if (run.status == 0) return false;  // a call whose failure changes nothing (a log write)
    if (run.call == "zel_sys_rw_lock_wait") {
        EXPECT_EQ(run.status, zel::ip::error(kFault));
        return true;
    }
    bool found = false;
    for (const std::string &m : msgs) found = found || run.output.find(m) != std::string::npos;
    EXPECT_TRUE(found) << run.call << "\n" << run.output;
    return true;
}

const std::vector<std::string> kAddMsgs = {
    "Failed to retrieve policing flow ID", "Failed to allocate memory for filter rule",
    "Failed to allocate filter namespace ID", "Failed to clear namespace entry",
    "Failed to program the MTM queue ID", "Failed to add the rule in hardware",
};

TEST(FilterFaults, RuleSetCreateAndDelete) {
    State base{};
    zel_ip_rule_set_handle_t out = nullptr;
    SweepOp create;
    create.name = "rule set create";
    create.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        base = state(env);
        out = reinterpret_cast<zel_ip_rule_set_handle_t>(&out);
    };
    create.op = [&](SweepEnv &env) { return zel_ip_filter_rule_set_create(env.m, &out); };
    create.check = [&](SweepEnv &env, const SweepRun &run) {
        if (!failed(run, {"Failed to allocate filter namespace set ID", "Memory allocation failed"})) {
            ASSERT_TRUE(zel_ipv4_valid_rule_set_handle(out));
            EXPECT_EQ(quietly([&] { return zel_ip_filter_rule_set_delete(env.m, out); }), 0u);
            EXPECT_EQ(state(env), base);
            return;
        }
        // The lock was not had: nothing happened, not even *out = NULL.
        EXPECT_EQ(out == nullptr, run.call != "zel_sys_rw_lock_wait");
        // Only an id the namespace refuses back stays taken, and says so.
        if (!run.persist) {
            EXPECT_EQ(state(env), base);
        } else if (!(state(env) == base)) {
            EXPECT_NE(run.output.find("could not be given back"), std::string::npos) << run.output;
        }
    };
    EXPECT_GE(fault_sweep(create).faulted_runs_once, 3u);

    zel_ip_rule_set_handle_t set = nullptr;
    SweepOp del;
    del.name = "rule set delete";
    del.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        base = state(env);
        ASSERT_EQ(quietly([&] { return zel_ip_filter_rule_set_create(env.m, &set); }), 0u);
    };
    del.op = [&](SweepEnv &env) { return zel_ip_filter_rule_set_delete(env.m, set); };
    del.check = [&](SweepEnv &env, const SweepRun &run) {
        if (failed(run, {"Failed to free filter set ID"})) {
            ASSERT_TRUE(zel_ipv4_valid_rule_set_handle(set));
            EXPECT_EQ(quietly([&] { return zel_ip_filter_rule_set_delete(env.m, set); }), 0u);
        }
        EXPECT_FALSE(zel_ipv4_valid_rule_set_handle(set));
        EXPECT_EQ(state(env), base);
    };
    EXPECT_GE(fault_sweep(del).faulted_runs_once, 2u);
}

TEST(FilterFaults, RuleAdd) {
    State base{};
    zel_ip_rule_set_handle_t set = nullptr;
    zel_ip_flow_handle_t out = nullptr;
    zel_ip_filter_action_t a{};
    const zel_ip_filter_rule_t r = tcp_rule();
    SweepOp op;
    op.name = "rule add";
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        ASSERT_EQ(quietly([&] { return zel_ip_filter_rule_set_create(env.m, &set); }), 0u);
        a = full_action(env);
        // The set-key pattern is made by the first rule-set call.
        zel_ip_flow_handle_t h = nullptr;
        ASSERT_EQ(quietly([&] { return zel_ip_filter_rule_add(env.m, set, 9, &r, &a, &h); }), 0u);
        base = state(env);
        out = reinterpret_cast<zel_ip_flow_handle_t>(&out);
    };
    op.op = [&](SweepEnv &env) { return zel_ip_filter_rule_add(env.m, set, 1, &r, &a, &out); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        if (!failed(run, kAddMsgs)) {
            ASSERT_TRUE(zel_ipv4_flow_valid_handle(out));
            return;
        }
        EXPECT_EQ(out == nullptr, run.call != "zel_sys_rw_lock_wait");
        const State left = state(env);
        if (!run.persist) {
            EXPECT_EQ(left, base) << run.call << "\n" << run.output;  // all given back
        } else if (!(left == base)) {
            EXPECT_NE(run.output.find("kept: its entries could not be withdrawn"), std::string::npos) << run.output;
        }
        // The module works: the same add succeeds.
        zel_ip_flow_handle_t h = nullptr;
        EXPECT_EQ(quietly([&] { return zel_ip_filter_rule_add(env.m, set, 1, &r, &a, &h); }), 0u);
    };
    EXPECT_GE(fault_sweep(op).faulted_runs_once, 10u);
}

// Delete and modify: a failure leaves the rule as it was (live, its
// entries, not pending); repeating the call completes it.
TEST(FilterFaults, RuleDeleteAndModify) {
    for (bool modify : {false, true}) {
        SCOPED_TRACE(modify ? "modify" : "delete");
        State base{};
        zel_ip_rule_set_handle_t set = nullptr;
        zel_ip_flow_handle_t rule = nullptr;
        zel_ip_filter_action_t a{}, b{};
        const zel_ip_filter_rule_t r = tcp_rule();
        auto call = [&](SweepEnv &env) {
            return modify ? zel_ip_filter_rule_action_modify(env.m, 4, rule, &b)
                          : zel_ip_filter_rule_delete(env.m, 4, rule);
        };
        SweepOp op;
        op.name = modify ? "rule modify" : "rule delete";
        op.setup = [&](SweepEnv &env) {
            zel::test::sweep_start(env);
            ASSERT_EQ(quietly([&] { return zel_ip_filter_rule_set_create(env.m, &set); }), 0u);
            a = full_action(env, ZEL_IP_FILTER_ALLOW);
            b = full_action(env);
            ASSERT_EQ(quietly([&] { return zel_ip_filter_rule_add(env.m, set, 4, &r, &a, &rule); }), 0u);
            base = state(env);
        };
        op.op = call;
        op.check = [&](SweepEnv &env, const SweepRun &run) {
            if (failed(run, {"Failed to delete the rule in hardware", "Failed to program the MTM queue ID",
                             "Failed to insert filter entry", "Failed to retrieve policing flow ID",
                             "Could not build the input pattern"})) {
                if (!run.persist || run.call == "zel_sys_rw_lock_wait") {
                    EXPECT_EQ(state(env), base) << run.output;
                }
                ASSERT_TRUE(zel_ipv4_flow_valid_handle(rule));
                EXPECT_EQ(rule->body.filter.action.type, ZEL_IP_FILTER_ALLOW);
                EXPECT_EQ(rule->body.filter.pending, 0u);
                EXPECT_EQ(quietly([&] { return call(env); }), 0u);
            }
            // Pending until the commit; the commit releases what it held.
            EXPECT_EQ(quietly([&] { return zel_ip_filter_set_commit(env.m, 0, set); }), 0u);
            const State s = state(env);
            EXPECT_EQ(s.rule_ids, base.rule_ids - (modify ? 0 : 1));
            EXPECT_EQ(s.cpu_entries, (modify ? std::vector<uint32_t>{1, 1, 1, 1} : std::vector<uint32_t>{0, 0, 0, 0}));
        };
        EXPECT_GE(fault_sweep(op).faulted_runs_once, 3u);
    }
}

// Commit after a delete and a modify, as a build, as a build the engine
// turns into a rebuild, and as a rebuild: a failed commit completes when
// repeated, and ids and entries are released exactly once (a second
// release would be refused by the engine and reported).
TEST(FilterFaults, Commit) {
    struct Case {
        const char *name;
        uint32_t mode;
        uint32_t threshold;
    };
    for (const Case &k : {Case{"build", 0, 0}, Case{"build refused, rebuild", 0, 1}, Case{"rebuild", 1, 0}}) {
        SCOPED_TRACE(k.name);
        State done{};
        zel_ip_rule_set_handle_t set = nullptr, other = nullptr;
        SweepOp op;
        op.name = std::string("commit, ") + k.name;
        op.setup = [&](SweepEnv &env) {
            zel::test::sweep_start(env);
            ASSERT_EQ(quietly([&] { return zel_ip_filter_rule_set_create(env.m, &set); }), 0u);
            ASSERT_EQ(quietly([&] { return zel_ip_filter_rule_set_create(env.m, &other); }), 0u);
            const zel_ip_filter_rule_t r = tcp_rule();
            const zel_ip_filter_action_t a = full_action(env), b = full_action(env, ZEL_IP_FILTER_DENY);
            zel_ip_flow_handle_t h1 = nullptr, h2 = nullptr, h3 = nullptr;
            ASSERT_EQ(quietly([&] { return zel_ip_filter_rule_add(env.m, set, 1, &r, &a, &h1); }), 0u);
            ASSERT_EQ(quietly([&] { return zel_ip_filter_rule_add(env.m, set, 2, &r, &a, &h2); }), 0u);
            ASSERT_EQ(quietly([&] { return zel_ip_filter_rule_add(env.m, other, 1, &r, &a, &h3); }), 0u);
            ASSERT_EQ(quietly([&] { return zel_ip_filter_set_commit(env.m, 1, nullptr); }), 0u);
            ASSERT_EQ(quietly([&] { return zel_ip_filter_rule_delete(env.m, 1, h1); }), 0u);
            ASSERT_EQ(quietly([&] { return zel_ip_filter_rule_action_modify(env.m, 2, h2, &b); }), 0u);
            ASSERT_EQ(quietly([&] { return zel_ip_filter_rule_delete(env.m, 1, h3); }), 0u);
            zel_sim_engine_set_rebuild_threshold(eng(env), tree_id(eng(env), kExtTree), k.threshold);
            // After a fault-free commit: h1 and h3 gone, h2 under its new
            // key only (it polices and counts, Deny: the policing entry).
            done = state(env);
            done.rule_ids -= 2;
            done.cpu_entries = {1, 0, 0, 0};
            done.blocks -= 2;
        };
        op.op = [&](SweepEnv &env) { return zel_ip_filter_set_commit(env.m, k.mode, set); };
        op.check = [&](SweepEnv &env, const SweepRun &run) {
            if (failed(run, {"Failed to build ACL table in hardware", "Failed to rebuild ACL table in hardware",
                             "Failed to remove the CPU path", "Failed to free the NS resource"})) {
                // Repeated (twice under a persisting fault: a release step
                // may fail once more on the way).
                uint32_t st = quietly([&] { return zel_ip_filter_set_commit(env.m, k.mode, set); });
                if (st) st = quietly([&] { return zel_ip_filter_set_commit(env.m, k.mode, set); });
                EXPECT_EQ(st, 0u) << run.output;
            }
            // A build of `set` alone leaves `other`'s list; so does a
            // repeated commit that builds `set` when the rebuild released
            // `other`'s list only partly.
            EXPECT_EQ(quietly([&] { return zel_ip_filter_set_commit(env.m, 0, other); }), 0u);
            EXPECT_EQ(state(env), done) << run.call << "\n" << run.output;
            EXPECT_EQ(quietly([&] { return zel_ip_filter_rule_set_delete(env.m, other); }), 0u);
        };
        EXPECT_GE(fault_sweep(op).faulted_runs_once, 4u);
    }
}

}  // namespace
