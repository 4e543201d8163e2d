// Several threads change routes of their own domains at once through the
// public API; the module lock serialises them. Afterwards every domain's
// destination entries are exactly its thread's oracle table, and no route
// appeared where no thread put one. Runs under ThreadSanitizer too (label
// "concurrency").
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "route_workload.h"
#include "zel_test_fixture.h"

using namespace routetest;
using zel::test::ZelTest;

namespace {

class RouteConcurrency : public ZelTest {};

TEST_F(RouteConcurrency, ThreadsInTheirOwnDomainsEndAsTheUnionOfTheirTables) {
    constexpr uint32_t kThreads = 4, kSteps = 1500;
    hwe_engine_t *eng = zel_sim_engine(sim_);
    std::vector<zel_ip_vrd_handle_t> vrds(kThreads);
    std::vector<std::unique_ptr<RouteWorkload>> work;
    for (uint32_t i = 0; i < kThreads; ++i) {
        uint32_t id = 10 + i;
        ASSERT_EQ(zel_ip_vrd_create(m_, &id, &vrds[i]), 0u);
        work.push_back(std::make_unique<RouteWorkload>(m_, vrds[i], 77 + i));
    }
    // Thread 0 works in the default domain (NULL handle) instead.
    ASSERT_EQ(zel_ip_vrd_delete(m_, vrds[0]), 0u);
    vrds[0] = nullptr;
    work[0] = std::make_unique<RouteWorkload>(m_, nullptr, 77);

    std::vector<std::thread> threads;
    for (uint32_t i = 0; i < kThreads; ++i)
        threads.emplace_back([w = work[i].get()] {
            for (uint32_t s = 0; s < kSteps; ++s) w->step();
        });
    for (std::thread &t : threads) t.join();

    for (uint32_t i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(i);
        const uint32_t id = i == 0 ? 63 : 10 + i;
        EXPECT_EQ(work[i]->ops(), kSteps);
        EXPECT_EQ(work[i]->failures(), 0u) << work[i]->first_failure();
        std::string first;
        EXPECT_EQ(work[i]->mismatches(eng, id, work[i]->samples(100000), &first), 0u) << first;
    }
    // Domain 10 was deleted before the threads started: nothing in it.
    for (uint32_t a : {0u, 0x0a000000u, 0x0a123456u, 0xffffffffu}) EXPECT_TRUE(same(route_at(eng, 10, a), kNoRoute));
    // The tree holds exactly the union of the tables.
    size_t total = 0;
    for (const auto &w : work) total += w->oracle().routes().size();
    EXPECT_EQ(zel_sim_engine_entry_count(eng, tree_id(eng, zel::ip::kTreeDestAddr)), total);
    for (uint32_t i = 1; i < kThreads; ++i) EXPECT_EQ(zel_ip_vrd_delete(m_, vrds[i]), 0u);
}

}  // namespace
