// Fault table of the software platform.
//
// Every platform entry point starts with ZSIM_FAULT_POINT (or one of its
// variants), which counts the call and asks the one fault table whether
// this call must fail. All fault state lives in one record guarded by one
// mutex, with one decision function (fault_decide) - a good place for a
// breakpoint. The model underneath stays correct and deterministic: a
// failing call returns before it changes anything, with one exception:
// zel_sys_rw_lock_post releases the lock and then reports the injected
// failure. A lock left held after a failed release could never be taken
// again (its holder's next call would deadlock on it), so the fault shows
// the caller's failure path while the model stays usable.
//
// No C++ exception crosses an entry point: every extern "C" function of
// the model is a function-try-block ending in ZSIM_CATCH (a status, NULL,
// -1/0 or nothing, as the function reports failures). Allocation failures
// inside the model (standard containers) and failed locks end there.
//
// Calls are "fallible" (they return a status the module acts on and count
// towards a fault on any call) or "observational" (status texts, printers,
// byte order, time, trace lookup, free): those are counted but only fail
// when named explicitly, and only if they can report a failure at all.
#ifndef ZSIM_FAULT_H
#define ZSIM_FAULT_H

#include <atomic>
#include <cstdint>

namespace zsim {

struct FaultPoint {
    const char *name;
    bool fallible;
    int index;                       // slot in the counter tables
    FaultPoint(const char *n, bool f);
};

// Call counters. Every entry point is counted on every call, so counting
// must cost next to nothing: each thread counts into a block of its own
// (one writer per counter, a plain load and store, no locked instruction
// on the path), and readers add up every block. A block outlives its
// thread: it is handed to the next thread that starts counting, so the
// sums never lose a call. A counter reset records the sums as a baseline.
constexpr int kMaxFaultPoints = 256;
struct CallBlock {
    std::atomic<uint64_t> n[kMaxFaultPoints];
};
extern thread_local constinit CallBlock *t_calls __attribute__((tls_model("initial-exec")));
// The calling thread's block, taken on its first call (or, once the thread
// is being torn down, counted through a shared block).
void count_call_slow(const FaultPoint &fp);

inline void count_call(const FaultPoint &fp) {
    if (CallBlock *b = t_calls) {
        std::atomic<uint64_t> &c = b->n[fp.index];
        c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    } else {
        count_call_slow(fp);
    }
}

// Returns 0 to proceed or the status to fail with (the call is counted
// already).
uint32_t fault_check(FaultPoint &fp);

// True while any fault is armed (cheap test for the fast path).
extern std::atomic<bool> g_fault_armed;

inline uint32_t fault_check_fast(FaultPoint &fp) {
    count_call(fp);
    if (!g_fault_armed.load(std::memory_order_relaxed)) return 0;
    return fault_check(fp);
}

// Inside a catch handler of entry point `fn`: the status it reports for
// the exception (out of memory, or a failed lock and anything else).
// Engine calls (hwe_*) answer with engine codes, the framework's with its.
uint32_t boundary_status(const char *fn) noexcept;

}  // namespace zsim

#define ZSIM_CATCH(failval) \
    catch (...) {           \
        return (failval);   \
    }
#define ZSIM_CATCH_VOID \
    catch (...) {       \
    }

// Fallible entry point returning a status: fail with the injected status.
#define ZSIM_FAULT_POINT()                                                 \
    static ::zsim::FaultPoint zsim_fp_(__func__, true);                    \
    if (uint32_t zsim_st_ = ::zsim::fault_check_fast(zsim_fp_)) return zsim_st_

// Fallible entry point that fails by returning `failval` (e.g. NULL).
#define ZSIM_FAULT_POINT_RET(failval)                                      \
    static ::zsim::FaultPoint zsim_fp_(__func__, true);                    \
    if (::zsim::fault_check_fast(zsim_fp_)) return (failval)

// Observational entry point that can report a failure when named.
#define ZSIM_OBSERVE_POINT()                                               \
    static ::zsim::FaultPoint zsim_fp_(__func__, false);                   \
    if (uint32_t zsim_st_ = ::zsim::fault_check_fast(zsim_fp_)) return zsim_st_

// Observational entry point that cannot fail: counted only.
#define ZSIM_COUNT_POINT()                                                 \
    static ::zsim::FaultPoint zsim_fp_(__func__, false);                   \
    ::zsim::count_call(zsim_fp_)

#endif  // ZSIM_FAULT_H
