#include "zel_fault_sweep.h"

#include <gtest/gtest.h>

#include <vector>

#include "zel_test_fixture.h"

namespace zel::test {

void sweep_start(SweepEnv &env) {
    StdoutCapture quiet;
    ASSERT_EQ(zel_ip_init(env.m), 0u) << quiet.text();
}

std::string status_text(const SweepEnv &env, uint32_t status) {
    const char *t = zel_sys_status_get(env.m->sys_ctx, status);
    return t ? t : "";
}

namespace {

// One run with the fault at the nth fallible call; returns what happened.
// `first_call`: for a persisting fault, the call the single fault at the
// same position fired in (the calls before it are the same in both runs).
SweepRun run_once(const SweepOp &op, uint32_t nth, bool persist, const std::string &first_call) {
    SweepRun run;
    run.nth = nth;
    run.persist = persist;
    const uint64_t mem_before = zel_sim_mem_in_use();
    const uint64_t blocks_before = zel_sim_mem_blocks();

    SweepEnv env;
    env.sim = zel_sim_create(nullptr);
    EXPECT_NE(env.sim, nullptr);
    if (!env.sim) return run;
    env.m = zel_sim_module_new(env.sim, "zel_ip", op.log_level, 1);

    // 2. Setup, no fault armed.
    if (op.setup) {
        op.setup(env);
    } else {
        sweep_start(env);
    }
    if (!::testing::Test::HasFatalFailure()) {
        // 3. The operation with the fault armed.
        zel_sim_counters_reset();
        zel_sim_fault_set(nullptr, nth, persist ? ZEL_SIM_FAULT_PERSIST : ZEL_SIM_FAULT_ONCE,
                          op.fault_status);
        {
            StdoutCapture out;
            run.status = op.op(env);
            run.output = out.text();
        }
        run.hits = zel_sim_fault_hits();
        run.call = persist ? (run.hits ? first_call : "") : zel_sim_fault_last_call();
        zel_sim_fault_clear();
        run.call_count = run.call.empty() || persist ? 0 : zel_sim_call_count(run.call.c_str());
        // Whatever failed, the operation left the module lock free (a
        // failed release is reported after the platform let go).
        if (op.takes_lock && env.m->rw_lock) {
            EXPECT_EQ(zel_sys_rw_lock_wait(env.m->rw_lock, 1), 0u) << "module lock left held";
            EXPECT_EQ(zel_sys_rw_lock_post(env.m->rw_lock), 0u);
        }

        // 4. The operation's own check.
        if (op.check) op.check(env, run);

        // 5. Still shuts down cleanly.
        if (zel_ipv4_valid_handle(env.m)) {
            StdoutCapture quiet;
            EXPECT_EQ(zel_ip_shutdown(env.m), 0u) << quiet.text();
            EXPECT_EQ(zel_ipv4_valid_handle(env.m), 0);
        }
    }
    zel_sim_fault_clear();
    zel_sim_module_free(env.m);
    zel_sim_destroy(env.sim);
    EXPECT_EQ(zel_sim_mem_in_use(), mem_before) << "platform memory left in use";
    EXPECT_EQ(zel_sim_mem_blocks(), blocks_before) << "platform blocks left in use";
    return run;
}

}  // namespace

SweepResult fault_sweep(const SweepOp &op) {
    SweepResult result;
    std::vector<std::string> calls{""};  // by position, from the single-fault runs
    for (bool persist : {false, true}) {
        uint32_t &faulted = persist ? result.faulted_runs_persist : result.faulted_runs_once;
        bool completed = false;
        for (uint32_t nth = 1; nth <= op.max_runs; ++nth) {
            SCOPED_TRACE(op.name + (persist ? " [persisting fault" : " [single fault") +
                         " at fallible call " + std::to_string(nth) + "]");
            SweepRun run = run_once(op, nth, persist, nth < calls.size() ? calls[nth] : "");
            if (::testing::Test::HasFatalFailure()) return result;
            if (!persist) calls.push_back(run.call);
            if (run.hits == 0) {
                completed = true;
                break;
            }
            ++faulted;
        }
        EXPECT_TRUE(completed) << op.name << ": still meeting faults after " << op.max_runs
                               << " runs";
    }
    // A sweep whose fault never fired proved nothing.
    EXPECT_GT(result.faulted_runs_once, 0u) << op.name;
    EXPECT_GT(result.faulted_runs_persist, 0u) << op.name;
    return result;
}

}  // namespace zel::test
