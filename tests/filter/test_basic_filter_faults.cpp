// Every platform call of basic rule add, delete, action modify and the
// basic commit failed in turn (fault sweep), once and persisting: a
// reported failure (the documented status for the tree-34 calls, the
// message), nothing staged, taken or leaked by a failed add, delete or
// modify, the pending list untouched by a failed build, and a module that
// still works: the same call succeeds afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/zel_ip_status_internal.h"
#include "filter/zel_ip_filter_types.h"
#include "otreeset_test_util.h"
#include "zel_fault_sweep.h"

using zel::test::fault_sweep;
using zel::test::kFault;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

constexpr uint32_t kTree = zel::ip::kTreeInBasicFilter;

hwe_engine_t *eng(SweepEnv &env) { return zel_sim_engine(env.sim); }

zel_ip_rule_set_handle_t g_set;
zel_ip_flow_handle_t g_rule, g_out;

// Send-to-CPU through NCA with a queue and policing: every CPU-path tree.
zel_ip_filter_action_t cpu_action(SweepEnv &env) {
    zel_ip_filter_action_t a{};
    a.type = ZEL_IP_FILTER_CPU;
    a.cpu_kind = ZEL_IP_CPU_PATH_NCA;
    a.cpu_target = 9;
    a.police = 1;
    a.policer = zel_sim_qos_policer_new(env.sim, 0x77);
    a.mtm_queue = zel_sim_qos_queue_new(env.sim, 0x31);
    return a;
}

zel_ip_basic_filter_rule_t tcp_from_net10() {
    return {ZEL_IP_BASIC_FILTER_PROTO | ZEL_IP_BASIC_FILTER_SIP, 6, 0, 0, otest::ip(10, 0, 0, 0), 8};
}

struct State {
    std::vector<std::string> staged;
    uint32_t ids;
    uint64_t blocks;
    uint32_t pending;
    bool operator==(const State &o) const {
        return staged == o.staged && ids == o.ids && blocks == o.blocks && pending == o.pending;
    }
};
std::ostream &operator<<(std::ostream &os, const State &s) {
    for (const auto &r : s.staged) os << r << "; ";
    return os << "ids " << s.ids << " blocks " << s.blocks << " pending " << s.pending;
}
State state(SweepEnv &env) {
    return {otest::staged(eng(env), kTree), zel_sim_engine_ns_in_use(eng(env), "ip_filter_stats"),
            zel_sim_mem_blocks(), g_set->basic.count};
}

struct Sweep {
    std::string name;
    std::function<void(SweepEnv &)> prepare;
    std::function<uint32_t(SweepEnv &)> op;
    std::function<bool(SweepEnv &)> done;
    // A failing call after which the state must be the one before (all of
    // them for add, delete and modify; the build's for a commit).
    std::function<bool(const std::string &)> unchanged_after;
};

void run(const Sweep &s) {
    State before;
    SweepOp op;
    op.name = s.name;
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        g_set = nullptr;
        EXPECT_EQ(otest::quietly([&] { return zel_ip_filter_rule_set_create(env.m, &g_set); }), 0u);
        s.prepare(env);
        before = state(env);
    };
    op.op = s.op;
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        if (run.hits == 0 || (run.call == "zel_sys_rw_lock_post" && !run.persist)) {
            EXPECT_EQ(run.status, run.hits ? zel::ip::fatal(kFault) : 0u) << run.output;
            EXPECT_TRUE(s.done(env)) << run.call;
            return;
        }
        EXPECT_NE(run.status, 0u) << run.call;
        if (!run.persist && run.call == "hwe_ptn_otreeset_insert") {
            EXPECT_EQ(run.status, 0x1004eu) << run.output;
            EXPECT_NE(run.output.find("Failed to insert rule in the OtreeSet"), std::string::npos) << run.output;
        }
        if (!run.persist && run.call == "hwe_ptn_otreeset_delete") {
            EXPECT_EQ(run.status, 0x1004fu) << run.output;
            EXPECT_NE(run.output.find("Failed to delete the rule in hardware"), std::string::npos) << run.output;
        }
        if (!run.persist && run.call == "hwe_ptn_otreeset_build") {
            EXPECT_EQ(run.status, 0x10051u) << run.output;
            EXPECT_NE(run.output.find("Failed to build the OtreeSet"), std::string::npos) << run.output;
        }
        if (!run.persist && run.call.rfind("zel_ptn_", 0) == 0) {
            EXPECT_EQ(ZEL_IP_SEVERITY(run.status), ZEL_IP_SEV_FATAL) << run.output;
            EXPECT_NE(run.output.find("Could not build the input pattern"), std::string::npos) << run.output;
        }
        if (!run.persist && s.unchanged_after(run.call) && !s.done(env)) {
            State now = state(env);
            if (run.call == "zel_ptn_new") now.blocks = before.blocks;  // patterns are not pooled memory
            EXPECT_EQ(now, before) << run.call;
        }
        // The module works: the same call completes now.
        if (!s.done(env)) {
            EXPECT_EQ(otest::quietly([&] { return s.op(env); }), 0u) << run.call;
        }
        EXPECT_TRUE(s.done(env)) << run.call;
    };
    const auto r = fault_sweep(op);
    EXPECT_GT(r.faulted_runs_once, 3u) << s.name;
}

auto always = [](const std::string &) { return true; };

TEST(BasicFilterFaults, RuleAdd) {
    run({"zel_ip_basic_filter_rule_add",
         [](SweepEnv &) { g_out = nullptr; },
         [](SweepEnv &env) {
             const zel_ip_basic_filter_rule_t r = tcp_from_net10();
             const zel_ip_filter_action_t a = cpu_action(env);
             return zel_ip_basic_filter_rule_add(env.m, g_set, 3, &r, &a, &g_out);
         },
         [](SweepEnv &) { return g_out != nullptr && zel_ipv4_flow_valid_handle(g_out); }, always});
}

TEST(BasicFilterFaults, RuleDeleteAndModify) {
    auto prepare = [](SweepEnv &env) {
        const zel_ip_basic_filter_rule_t r = tcp_from_net10();
        const zel_ip_filter_action_t a = cpu_action(env);
        EXPECT_EQ(otest::quietly([&] { return zel_ip_basic_filter_rule_add(env.m, g_set, 3, &r, &a, &g_rule); }),
                  0u);
    };
    run({"zel_ip_basic_filter_rule_delete", prepare,
         [](SweepEnv &env) { return zel_ip_basic_filter_rule_delete(env.m, 3, g_rule); },
         [](SweepEnv &) { return g_set->basic.count == 1; }, always});
    run({"zel_ip_basic_filter_rule_action_modify", prepare,
         [](SweepEnv &env) {
             zel_ip_filter_action_t a = cpu_action(env);
             a.count = 1;
             return zel_ip_basic_filter_rule_action_modify(env.m, 3, g_rule, &a);
         },
         [](SweepEnv &) { return g_set->basic.count == 1; },
         // A failed modify withdraws the new key's CPU-path entries; the
         // pool allocator may keep blocks for its trees' own use.
         [](const std::string &call) { return call.rfind("hwe_ptn_otreeset", 0) == 0; }});
}

TEST(BasicFilterFaults, Commit) {
    run({"zel_ip_basic_filter_set_commit",
         [](SweepEnv &env) {
             const zel_ip_basic_filter_rule_t r = tcp_from_net10();
             const zel_ip_filter_action_t a = cpu_action(env);
             EXPECT_EQ(otest::quietly([&] { return zel_ip_basic_filter_rule_add(env.m, g_set, 3, &r, &a, &g_rule); }),
                       0u);
             EXPECT_EQ(otest::quietly([&] { return zel_ip_basic_filter_rule_delete(env.m, 3, g_rule); }), 0u);
         },
         [](SweepEnv &env) { return zel_ip_basic_filter_set_commit(env.m, g_set); },
         [](SweepEnv &) { return g_set->basic.count == 0; },
         // Nothing is released unless the set was built.
         [](const std::string &call) {
             return call == "hwe_ptn_otreeset_build" || call.rfind("zel_ptn_", 0) == 0 ||
                    call == "zel_sys_rw_lock_wait";
         }});
}

}  // namespace
