// The log-level operations and the system log callbacks under the fault
// sweep: their only fallible platform calls are the lock's, so a run
// either changes nothing (acquisition failed) or keeps the change and
// reports the failed release; either way the next call works.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "zel_fault_sweep.h"
#include "zel_test_fixture.h"

using zel::test::fault_sweep;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

constexpr uint32_t kFault = HWE_E_FAULT;
constexpr uint32_t kAcquireFailed = 0x30000 | kFault;  // severity 3
constexpr uint32_t kReleaseFailed = 0x10000 | kFault;  // severity 1

struct LogOp {
    const char *name;
    std::function<uint32_t(zel_module_t *)> op;
    uint32_t status;      // when no fault is met
    uint32_t mask_after;  // the module's mask after it (from 0xf)
};

void sweep(const LogOp &l) {
    SweepOp op;
    op.name = l.name;
    op.log_level = ZEL_LOG_INFO;
    op.op = [&l](SweepEnv &env) { return l.op(env.m); };
    op.check = [&l](SweepEnv &env, const SweepRun &run) {
        if (run.hits == 0) {
            EXPECT_EQ(run.status, l.status) << run.output;
            EXPECT_EQ(env.m->log_level, l.mask_after);
        } else if (run.call == "zel_sys_rw_lock_wait") {
            EXPECT_EQ(run.status, kAcquireFailed) << run.output;
            EXPECT_NE(run.output.find("Failed to acquire IP module rw write lock"), std::string::npos)
                << run.output;
            EXPECT_EQ(env.m->log_level, uint32_t{ZEL_LOG_INFO}) << "nothing changed";
        } else {
            EXPECT_EQ(run.call, "zel_sys_rw_lock_post");
            EXPECT_EQ(run.status, kReleaseFailed) << run.output;
            EXPECT_NE(run.output.find("Failed to release IP module rw lock"), std::string::npos)
                << run.output;
            EXPECT_EQ(env.m->log_level, l.mask_after) << "the change stays";
        }
        // The module is usable: the call done again gives its answer.
        zel::test::StdoutCapture quiet;
        env.m->log_level = ZEL_LOG_INFO;
        EXPECT_EQ(l.op(env.m), l.status);
        EXPECT_EQ(env.m->log_level, l.mask_after);
    };
    EXPECT_EQ(fault_sweep(op).faulted_runs_once, 2u) << l.name;
}

// zel_ipv4_sys_log maps the level with zel_ipv4_map_sys_log under the
// lock, so its two forms sweep the mapping too.
TEST(LogFaults, EveryLogLevelOperation) {
    const LogOp ops[] = {
        {"zel_ip_log_level_set", [](zel_module_t *m) { return zel_ip_log_level_set(m, 0x13); }, 0, 0x13},
        {"zel_ip_log_enable", [](zel_module_t *m) { return zel_ip_log_enable(m, 0x10); }, 0, 0x1f},
        {"zel_ip_log_disable", [](zel_module_t *m) { return zel_ip_log_disable(m, 0x3); }, 0, 0xc},
        {"zel_ipv4_sys_log 7", [](zel_module_t *m) { return zel_ipv4_sys_log(m, 7); }, 0, 7},
        {"zel_ipv4_sys_log 5 (refused)", [](zel_module_t *m) { return zel_ipv4_sys_log(m, 5); }, 0x3000f, 0xf},
    };
    for (const LogOp &l : ops) {
        SCOPED_TRACE(l.name);
        sweep(l);
    }
}

// The mapping alone takes no lock and makes no fallible platform call: a
// fault on every such call changes none of its answers.
class MapSysLogFaults : public zel::test::ZelTest {};

TEST_F(MapSysLogFaults, NoPlatformFailureChangesTheMapping) {
    fail_call(nullptr, 1, 0, true);
    for (uint32_t level : {0u, 1u, 3u, 5u, 7u, 15u, 16u}) {
        SCOPED_TRACE(level);
        uint32_t mapped = 99;
        zel::test::StdoutCapture out;
        const uint32_t st = zel_ipv4_map_sys_log(m_, level, &mapped);
        const bool known = level == 0 || level == 1 || level == 3 || level == 7 || level == 15;
        EXPECT_EQ(st, known ? 0u : uint32_t{ZEL_E_INVALID_STATE});
        EXPECT_EQ(mapped, known ? level : 99u);
        EXPECT_EQ(zel_sim_fault_hits(), 0u) << out.text();
    }
    clear_faults();
}

}  // namespace
