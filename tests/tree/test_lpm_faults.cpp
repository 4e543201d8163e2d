// Every platform call of zel_ipv4_lpm_rule failed in turn (fault sweep),
// for an add and a removal of a prefix and of a full-length key on the
// destination tree: the documented code and message, the key length
// restored, the engine and database in the documented state (what the
// primitive did before the failing step stays), the caller's record, and a
// module that keeps working.
#include <gtest/gtest.h>

#include <string>

#include "core/zel_ip_priv.h"
#include "tree/zel_ip_hw_internal.h"
#include "tree/zel_ip_tree.h"
#include "zel_fault_sweep.h"
#include "zel_test_fixture.h"

using namespace zel::ip;
using zel::test::fault_sweep;
using zel::test::status_text;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

constexpr uint32_t kVrd = 63;
constexpr hwe_action_t kNoRoute{HWE_ACTION_VALUE, 4, 0};
const hwe_action_t kA8{HWE_ACTION_VALUE, 1, 0x08};
const hwe_action_t kA16{HWE_ACTION_VALUE, 1, 0x16};
const hwe_action_t kHost{HWE_ACTION_VALUE, 1, 0x32};
const hwe_action_t kNew{HWE_ACTION_VALUE, 1, 0x99};
constexpr hwe_action_t kNone{0xff, 0, 0};  // no database entry

bool same(const hwe_action_t &a, const hwe_action_t &b) {
    return a.kind == b.kind && a.w1 == b.w1 && a.w2 == b.w2;
}

TreeRecord &dest(SweepEnv &env) { return static_cast<ZelIpPriv *>(env.m->priv)->trees[kTreeDestAddr]; }

hwe_action_t lookup(SweepEnv &env, uint32_t addr) {
    const uint32_t values[] = {kVrd, addr}, widths[] = {6, 32};
    hwe_action_t a{};
    uint32_t depth = 0;
    EXPECT_EQ(zel_sim_engine_lookup_fields(zel_sim_engine(env.sim), dest(env).id, 2, values, widths, &a,
                                           &depth),
              0u);
    return a;
}

// The database's entry for net/len, or kNone.
hwe_action_t db_entry(SweepEnv &env, uint32_t net, uint32_t len) {
    TreeRecord &t = dest(env);
    EXPECT_EQ(key_build(t, {{kVrd, 6}, prefix_field(net, len)}), 0u);
    OneBitLonger longer(t.key);
    hwe_action_t a = kNone;
    zel_sim_subnet_get(t.subnet_db, &t.key, &a);
    return a;
}

// One rule call under test, with the states before and after it.
struct Case {
    const char *name;
    uint32_t op;
    uint32_t net, len;        // the entry
    hwe_action_t action;      // what the caller passes
    hwe_action_t returned;    // the caller's record after success
    uint32_t probe;           // an address inside the entry
    hwe_action_t before, after;        // engine at `probe`
    hwe_action_t db_before, db_after;  // database entry of net/len ({0xff}: none)
};

const Case kCases[] = {
    {"learn /24", kRuleLearn, 0x0a010200, 24, kNew, kNew, 0x0a010204, kA16, kNew, kNone, kNew},
    {"learn /32", kRuleLearn, 0x0a010209, 32, kNew, kNew, 0x0a010209, kA16, kNew, kNone, kNew},
    {"remove /16", kRuleUnlearn, 0x0a010000, 16, kA16, kA8, 0x0a01ff00, kA16, kA8, kA16, kNone},
    {"remove /32", kRuleUnlearn, 0x0a010203, 32, kHost, kHost, 0x0a010203, kHost, kA16, kHost, kNoRoute},
};

// Code and message of the step whose call failed.
struct StepFailure {
    const char *call;
    uint32_t code;
    const char *message;
    bool engine_changed;  // the engine step came before
};
const StepFailure kSteps[] = {
    {"hwe_ptn_learn", 0x40, "Failed to learn the input pattern\n", false},
    {"hwe_ptn_unlearn", 0x41, "Failed to unlearn the input pattern\n", false},
    {"hwe_subnet_find_higher_subnet", 0x3e, "Failed to find higher subnet\n", false},
    {"hwe_subnet_del_subnet", 0x3d, "Failed to delete from subnet database\n", true},
    {"hwe_subnet_add_subnet", 0x3c, "to subnet\n", true},
};

TEST(LpmRuleFaults, EveryPlatformCallOfAddAndRemove) {
    for (const Case &c : kCases) {
        hwe_action_t record{};
        SweepOp op;
        op.name = std::string("zel_ipv4_lpm_rule ") + c.name;
        op.takes_lock = false;  // callers hold the lock; the primitive does not take it
        op.setup = [&](SweepEnv &env) {
            zel::test::sweep_start(env);
            hwe_action_t a8 = kA8, a16 = kA16, host = kHost;
            TreeRecord &t = dest(env);
            ASSERT_EQ(ZRULE(env.m, t, kRuleLearn, a8, "setup", {kVrd, 6}, prefix_field(0x0a000000, 8)), 0u);
            ASSERT_EQ(ZRULE(env.m, t, kRuleLearn, a16, "setup", {kVrd, 6}, prefix_field(0x0a010000, 16)), 0u);
            ASSERT_EQ(ZRULE(env.m, t, kRuleLearn, host, "setup", {kVrd, 6}, prefix_field(0x0a010203, 32)), 0u);
            ASSERT_EQ(key_build(t, {{kVrd, 6}, prefix_field(c.net, c.len)}), 0u);
            record = c.action;
        };
        op.op = [&](SweepEnv &env) { return zel_ipv4_lpm_rule(env.m, &dest(env), c.op, &record); };
        op.check = [&](SweepEnv &env, const SweepRun &run) {
            SCOPED_TRACE("failing call " + run.call + "\n" + run.output);
            EXPECT_EQ(dest(env).key.len, 6 + c.len) << "key length not restored";
            const hwe_action_t engine = lookup(env, c.probe);
            const hwe_action_t db = db_entry(env, c.net, c.len);
            if (run.hits == 0) {
                EXPECT_EQ(run.status, 0u);
                EXPECT_TRUE(same(record, c.returned));
                EXPECT_TRUE(same(engine, c.after));
                EXPECT_TRUE(same(db, c.db_after));
                return;
            }
            // Codes come back without a severity; the caller adds its own.
            EXPECT_EQ(run.status >> 16, 0u);
            EXPECT_TRUE(same(engine, c.before) || same(engine, c.after));
            if (run.persist) return;
            const StepFailure *f = nullptr;
            for (const StepFailure &s : kSteps)
                if (run.call == s.call) f = &s;
            ASSERT_NE(f, nullptr) << "unexpected failing call";
            EXPECT_EQ(run.status, f->code);
            EXPECT_NE(run.output.find(std::string("RTE Error: ") + hwe_status_get(HWE_E_FAULT) + ", "),
                      std::string::npos);
            EXPECT_NE(run.output.find(f->message), std::string::npos);
            EXPECT_NE(run.output.find(status_text(env, f->code) + "\n"), std::string::npos);
            // The engine step stays when a database step fails after it;
            // the database is not updated - except that removing a full key
            // deletes it before adding it back with the default, so a
            // failed add leaves it out (harmless: the database is searched
            // only for keys shorter than the tree's).
            EXPECT_TRUE(same(engine, f->engine_changed ? c.after : c.before));
            const bool readd_failed = c.op == kRuleUnlearn && c.len == 32 && run.call == "hwe_subnet_add_subnet";
            EXPECT_TRUE(same(db, readd_failed ? kNone : c.db_before));
            if (run.call == "hwe_subnet_find_higher_subnet") {
                EXPECT_TRUE(same(record, c.action));  // rewritten only on success
            }
        };
        op.log_level = ZEL_LOG_ERROR;
        fault_sweep(op);
    }
}

}  // namespace
