// Every platform call of association flow filter rule add, rule delete,
// commit, and of the association delete that compiles its emptied list,
// failed in turn (fault sweep), once and persisting: the documented status
// and message, nothing staged or compiled changed by a failed call, no
// leaked memory, and a module that still works: the same call succeeds
// afterwards.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/zel_ip_status_internal.h"
#include "otreeset_test_util.h"
#include "zel_fault_sweep.h"

using namespace otest;
using zel::test::fault_sweep;
using zel::test::kFault;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

constexpr uint32_t kTree = zel::ip::kTreeAssocFlowFilter;

hwe_engine_t *eng(SweepEnv &env) { return zel_sim_engine(env.sim); }

// What the engine holds for the association `ns`: its staged rules, and
// the rule a few probe packets meet in its compiled list.
struct State {
    std::vector<std::string> staged;
    std::vector<uint32_t> compiled;
    bool operator==(const State &o) const { return staged == o.staged && compiled == o.compiled; }
};
std::ostream &operator<<(std::ostream &os, const State &s) {
    for (const auto &r : s.staged) os << r << "; ";
    for (uint32_t c : s.compiled) os << c << ' ';
    return os;
}
State state(SweepEnv &env, uint32_t ns) {
    State s{staged(eng(env), kTree), {}};
    for (uint32_t proto : {6u, 17u})
        for (uint32_t sip : {ip(10, 0, 0, 1), ip(11, 0, 0, 1)})
            s.compiled.push_back(classify(eng(env), kTree, {ns, 0, proto, sip, 0}).rule_idx);
    return s;
}

zel_ip_flow_handle_t make_assoc(SweepEnv &env, uint8_t proto) {
    zel_ip_ingress_assoc_params_t p{};
    p.mask = ZEL_IP_IAM_PROTO;
    p.proto = proto;
    p.action = ZEL_IP_ASSOC_DISCARD;
    p.flow_filter = 1;
    zel_ip_flow_handle_t f = nullptr;
    EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_create(env.m, &p, &f); }), 0u);
    return f;
}

uint32_t ns_of(zel_ip_flow_handle_t f) { return reinterpret_cast<const zel_flow_header_t *>(f)->ns_id; }

// The rules the sweeps use: TCP from 10/8 dropped (index 1), TCP passed (2).
zel_ip_assoc_flow_filter_rule_t tcp_rule(bool from_net10) {
    zel_ip_assoc_flow_filter_rule_t r{};
    r.mask = ZEL_IP_AFF_PROTO;
    r.proto = 6;
    if (from_net10) {
        r.mask |= ZEL_IP_AFF_SIP;
        r.sip = ip(10, 0, 0, 0);
        r.sip_prefix_len = 8;
    }
    return r;
}

// The documented outcome of a run whose first failing call is `call`.
void expect_reported(const SweepRun &run, const std::string &engine_msg, uint32_t engine_status) {
    using zel::ip::error;
    using zel::ip::fatal;
    if (run.call == "zel_sys_rw_lock_wait") {
        EXPECT_EQ(run.status, error(kFault)) << run.output;
        return;
    }
    if (run.persist) {  // the lock cannot be released either: that status wins
        EXPECT_EQ(run.status, fatal(kFault)) << run.output;
    } else if (run.call == "hwe_nvm_calloc") {
        EXPECT_EQ(run.status, 0x10012u) << run.output;
    } else if (run.call == "zel_ptn_new" || run.call == "zel_ptn_clear" || run.call == "zel_ptn_extend") {
        EXPECT_EQ(ZEL_IP_SEVERITY(run.status), ZEL_IP_SEV_FATAL) << run.output;
    } else {
        EXPECT_EQ(run.status, engine_status) << run.call << "\n" << run.output;
    }
    std::string msg = run.call == "hwe_nvm_calloc"                                   ? "Failed to allocate memory for filter"
                      : run.call.rfind("zel_ptn_", 0) == 0                           ? "Could not build the input pattern"
                                                                                     : engine_msg;
    EXPECT_NE(run.output.find(msg), std::string::npos) << run.call << "\n" << run.output;
}

// One sweep: `prepare` brings a started module to the operation's state
// (with `fresh`, no rule of tree 35 was programmed yet, so the key
// buffers are made by the operation itself); `op` runs it; after a failed
// run nothing changed and `again` succeeds; after a successful one `undo`
// (if given) restores the state the failed runs are compared with.
struct Sweep {
    std::string name;
    std::string engine_msg;
    uint32_t engine_status;
    std::function<void(SweepEnv &)> prepare;
    std::function<uint32_t(SweepEnv &)> op;
    std::function<bool(SweepEnv &)> done;  // the operation took effect
    uint32_t min_faulted;
    // Only a failing call of this name is checked for its status and
    // message ("": every call); the others belong to steps tested elsewhere.
    std::string only_call = "";
};

zel_ip_flow_handle_t g_assoc, g_rule1, g_rule2, g_out;

void run_sweep(const Sweep &s) {
    State before;
    uint64_t blocks = 0;
    SweepOp op;
    op.name = s.name;
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        s.prepare(env);
        before = state(env, ns_of(g_assoc));
        blocks = zel_sim_mem_blocks();
    };
    op.op = s.op;
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        if (run.hits == 0 || (run.call == "zel_sys_rw_lock_post" && !run.persist)) {
            EXPECT_EQ(run.status, run.hits ? zel::ip::fatal(kFault) : 0u) << run.output;
            EXPECT_TRUE(s.done(env)) << run.call;
            return;
        }
        if (!s.only_call.empty() && run.call != s.only_call) {
            EXPECT_NE(run.status, 0u) << run.call;
        } else if (!run.persist || run.call == "zel_sys_rw_lock_wait") {
            expect_reported(run, s.engine_msg, s.engine_status);
        }
        if (!s.done(env)) {
            // (A step after the one under test may fail with it done.)
            if (s.only_call.empty() || run.call == s.only_call) {
                EXPECT_EQ(state(env, ns_of(g_assoc)), before) << run.call;
            }
            // Pattern buffers made before the failure stay for the next call.
            if (run.call != "zel_ptn_new") {
                EXPECT_EQ(zel_sim_mem_blocks(), blocks) << run.call;
            }
            // The module works: the same call succeeds now.
            EXPECT_EQ(quietly([&] { return s.op(env); }), 0u) << run.call;
        }
        EXPECT_TRUE(s.done(env)) << run.call;
    };
    const auto r = fault_sweep(op);
    EXPECT_GE(r.faulted_runs_once, s.min_faulted) << s.name;
}

uint32_t add_rule(SweepEnv &env, uint32_t idx, bool net10, uint32_t action, zel_ip_flow_handle_t *out) {
    const zel_ip_assoc_flow_filter_rule_t r = tcp_rule(net10);
    return zel_ip_assoc_flow_filter_rule_add(env.m, g_assoc, idx, &r, action, out);
}

TEST(AssocFilterFaults, RuleAdd) {
    for (bool fresh : {true, false}) {
        run_sweep({std::string("zel_ip_assoc_flow_filter_rule_add") + (fresh ? " first rule" : ""),
                   "Failed to insert rule in the OtreeSet", 0x1004e,
                   [fresh](SweepEnv &env) {
                       g_assoc = make_assoc(env, 89);
                       g_out = nullptr;
                       if (!fresh) {
                           EXPECT_EQ(quietly([&] { return add_rule(env, 2, false, 0, &g_rule2); }), 0u);
                       }
                   },
                   [](SweepEnv &env) { return add_rule(env, 1, true, ZEL_IP_AFF_DROP, &g_out); },
                   [](SweepEnv &env) {
                       return g_out != nullptr && zel_ipv4_flow_valid_handle(g_out) &&
                              staged(eng(env), kTree).front().rfind("1 ", 0) == 0;
                   },
                   fresh ? 8u : 3u});
    }
}

TEST(AssocFilterFaults, RuleDelete) {
    run_sweep({"zel_ip_assoc_flow_filter_rule_delete", "Failed to delete the OtreeSet rule", 0x1004f,
               [](SweepEnv &env) {
                   g_assoc = make_assoc(env, 89);
                   EXPECT_EQ(quietly([&] { return add_rule(env, 1, true, ZEL_IP_AFF_DROP, &g_rule1); }), 0u);
                   EXPECT_EQ(quietly([&] { return add_rule(env, 2, false, 0, &g_rule2); }), 0u);
                   EXPECT_EQ(quietly([&] { return zel_ip_assoc_flow_filter_commit(env.m, g_assoc); }), 0u);
               },
               [](SweepEnv &env) { return zel_ip_assoc_flow_filter_rule_delete(env.m, 1, g_rule1); },
               [](SweepEnv &env) {
                   return !zel_ipv4_flow_valid_handle(g_rule1) && staged(eng(env), kTree).size() == 1;
               },
               2u});
}

TEST(AssocFilterFaults, Commit) {
    run_sweep({"zel_ip_assoc_flow_filter_commit", "Failed to build the OtreeSet", 0x10051,
               [](SweepEnv &env) {
                   g_assoc = make_assoc(env, 89);
                   EXPECT_EQ(quietly([&] { return add_rule(env, 1, true, ZEL_IP_AFF_DROP, &g_rule1); }), 0u);
                   EXPECT_EQ(quietly([&] { return zel_ip_assoc_flow_filter_commit(env.m, g_assoc); }), 0u);
                   EXPECT_EQ(quietly([&] { return add_rule(env, 2, false, 0, &g_rule2); }), 0u);
               },
               [](SweepEnv &env) { return zel_ip_assoc_flow_filter_commit(env.m, g_assoc); },
               [](SweepEnv &env) {
                   // TCP from 11/8 meets rule 2 once it is compiled.
                   return classify(eng(env), kTree, {ns_of(g_assoc), 0, 6, ip(11, 0, 0, 1), 0}).rule_idx == 2;
               },
               2u});
}

// The association delete compiles the list its deleted rules left.
TEST(AssocFilterFaults, AssociationDeleteAfterRulesWent) {
    uint32_t ns = 0;
    run_sweep({"zel_ip_ingress_association_delete with an edited filter list", "Failed to build the OtreeSet",
               0x10051,
               [&ns](SweepEnv &env) {
                   g_assoc = make_assoc(env, 89);
                   ns = ns_of(g_assoc);
                   EXPECT_EQ(quietly([&] { return add_rule(env, 1, true, ZEL_IP_AFF_DROP, &g_rule1); }), 0u);
                   EXPECT_EQ(quietly([&] { return zel_ip_assoc_flow_filter_commit(env.m, g_assoc); }), 0u);
                   EXPECT_EQ(quietly([&] { return zel_ip_assoc_flow_filter_rule_delete(env.m, 1, g_rule1); }), 0u);
               },
               [](SweepEnv &env) { return zel_ip_ingress_association_delete(env.m, g_assoc); },
               [&ns](SweepEnv &env) {
                   return !zel_ipv4_flow_valid_handle(g_assoc) &&
                          classify(eng(env), kTree, {ns, 0, 6, ip(10, 0, 0, 1), 0}).rule_idx == ZEL_SIM_NO_RULE;
               },
               2u, "hwe_ptn_otreeset_build"});
}

}  // namespace
