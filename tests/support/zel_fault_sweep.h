// Fault sweep: proves that every platform call an operation makes has a
// failure path that reports, leaves a documented state and leaks nothing.
//
// For an operation, the sweep runs it on a fresh platform with a fault at
// its 1st fallible platform call, then at its 2nd, and so on until a run
// completes without meeting the fault (zel_sim_fault_hits() == 0); once
// with the fault firing a single time and once with it persisting (every
// fallible call from the N-th on fails). Each run:
//
//   1. a fresh platform and module object (log level `log_level`);
//   2. `setup` with no fault armed (default: start-up, which must succeed);
//   3. counters reset, fault armed, `op` run with standard output captured;
//   4. fault cleared, `check` called with what happened (the documented
//      status and message, engine state, retry);
//   5. the module must then shut down cleanly (if it is up), and once the
//      platform is destroyed no platform memory may remain in use.
//
// Later operations register with the same harness: give a name, a setup
// that brings the module to the state the operation needs, the operation
// and its check.
#ifndef ZEL_FAULT_SWEEP_H
#define ZEL_FAULT_SWEEP_H

#include <cstdint>
#include <functional>
#include <string>

#include "zel_ip/zel_ip.h"
#include "zel_sim.h"

namespace zel::test {

// One platform and module object for one run.
struct SweepEnv {
    zel_sim_t *sim = nullptr;
    zel_module_t *m = nullptr;
};

// What one faulted run did.
struct SweepRun {
    uint32_t nth = 0;        // the fault's position among the fallible calls of the run
    bool persist = false;    // the fault kept firing after its first hit
    uint64_t hits = 0;       // 0: the operation completed without meeting the fault
    std::string call;        // platform call the fault first fired in ("" if none)
    uint64_t call_count = 0; // single fault: calls of `call` the operation made
                             // (the failing one included); persisting: 0
    uint32_t status = 0;     // what the operation returned
    std::string output;      // its standard output
};

struct SweepOp {
    std::string name;
    uint32_t log_level = ZEL_LOG_INFO;  // module log level before start-up
    // Brings the module to the operation's starting state (no fault armed).
    std::function<void(SweepEnv &)> setup;
    // The operation under test.
    std::function<uint32_t(SweepEnv &)> op;
    // Verifies one run (fault already cleared); use gtest assertions.
    std::function<void(SweepEnv &, const SweepRun &)> check;
    // The operation takes the module lock once (a public operation): after
    // every run, faulted or not, the lock must be free again (a failed
    // release is reported, but the platform has let go).
    bool takes_lock = true;
    uint32_t fault_status = 0;  // status the failing call returns (0: HWE_E_FAULT)
    uint32_t max_runs = 2000;   // guard against an operation that never completes
};

struct SweepResult {
    uint32_t faulted_runs_once = 0;     // runs in which the single fault fired
    uint32_t faulted_runs_persist = 0;  // runs in which the persisting fault fired
};

// Runs the sweep in both modes; failures are reported through gtest with
// the operation's name, the mode and the fault position.
SweepResult fault_sweep(const SweepOp &op);

// Default setup: start-up must succeed.
void sweep_start(SweepEnv &env);

// The framework's text of a status, as printed after a failure.
std::string status_text(const SweepEnv &env, uint32_t status);

}  // namespace zel::test

#endif  // ZEL_FAULT_SWEEP_H
