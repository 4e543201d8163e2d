// Call counters of the fault table: every thread counts into a block of
// its own, so the totals must add up every thread's calls, those of
// threads that have ended included, and a reset must start them from zero
// whatever thread counted.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "zel_sim.h"

namespace {

// `times` calls of a fallible and of an observational entry point.
void calls(int times) {
    zel_ptn_t p{};
    ASSERT_EQ(0u, zel_ptn_new(32, &p));
    for (int i = 0; i < times; ++i) {
        zel_ptn_clear(&p);
        hwe_status_get(0);
    }
    zel_ptn_free(&p);
}

TEST(FaultCounterConcurrency, EveryThreadsCallsAddUpAndAResetClearsThemAll) {
    zel_sim_fault_clear();
    calls(1);  // this thread has a counter block before the reset
    zel_sim_counters_reset();
    EXPECT_EQ(0u, zel_sim_call_count("zel_ptn_clear"));
    EXPECT_EQ(0u, zel_sim_call_count("hwe_status_get"));

    // 1. This thread, three threads at once (ended when counted), then one
    //    more thread, which takes over the block of an ended one.
    calls(5);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back(calls, 100);
    for (auto &t : threads) t.join();
    std::thread(calls, 7).join();
    EXPECT_EQ(312u, zel_sim_call_count("zel_ptn_clear"));
    EXPECT_EQ(312u, zel_sim_call_count("hwe_status_get"));
    // Every fallible call: the clears plus each thread's new and free.
    EXPECT_EQ(312u + 2 * 5, zel_sim_call_count(nullptr));

    // 2. A reset clears what every thread counted; counting goes on.
    zel_sim_counters_reset();
    EXPECT_EQ(0u, zel_sim_call_count("zel_ptn_clear"));
    std::thread(calls, 2).join();
    calls(1);
    EXPECT_EQ(3u, zel_sim_call_count("zel_ptn_clear"));
}

// An n-th call fault counts the calls of every thread.
TEST(FaultCounterConcurrency, ANthCallFaultCountsEveryThreadsCalls) {
    zel_sim_fault_clear();
    zel_ptn_t p{};
    ASSERT_EQ(0u, zel_ptn_new(32, &p));
    zel_sim_fault_set("zel_ptn_clear", 4, ZEL_SIM_FAULT_ONCE, HWE_E_FAULT);
    std::thread([&] {
        zel_ptn_t q{};
        ASSERT_EQ(0u, zel_ptn_new(32, &q));
        for (int i = 0; i < 3; ++i) EXPECT_EQ(0u, zel_ptn_clear(&q));
        zel_ptn_free(&q);
    }).join();
    EXPECT_EQ(HWE_E_FAULT, zel_ptn_clear(&p));
    EXPECT_EQ(0u, zel_ptn_clear(&p));
    EXPECT_EQ(1u, zel_sim_fault_hits());
    zel_sim_fault_clear();
    zel_ptn_free(&p);
}

}  // namespace
