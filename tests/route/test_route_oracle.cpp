// The destination tree against a naive longest-prefix table: random adds,
// replacements and deletes (present and absent) in several domains at
// once, nested and overlapping prefixes of every length 0 to 32; after
// every step the engine's answer for sampled addresses of every domain is
// the oracle's (No-Route where no prefix covers).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "route_workload.h"
#include "zel_test_fixture.h"

using namespace routetest;
using zel::test::ZelTest;

namespace {

class RouteOracle : public ZelTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(RouteOracle, LookupsMatchANaiveLongestPrefixTable) {
    constexpr uint32_t kSteps = 2500;
    hwe_engine_t *eng = zel_sim_engine(sim_);
    // Domains 63 (NULL handle), 1 and 2, with their own churn each.
    struct Domain {
        uint32_t id = 0;
        zel_ip_vrd_handle_t vrd = nullptr;
        std::unique_ptr<RouteWorkload> w;
    };
    std::vector<Domain> domains(3);
    uint32_t seed = GetParam();
    const uint32_t ids[] = {63, 1, 2};
    for (size_t i = 0; i < domains.size(); ++i) {
        Domain &d = domains[i];
        d.id = ids[i];
        if (d.id != 63) {
            ASSERT_EQ(zel_ip_vrd_create(m_, &d.id, &d.vrd), 0u);
        }
        d.w = std::make_unique<RouteWorkload>(m_, d.vrd, seed++);
    }
    std::mt19937 pick(GetParam());
    for (uint32_t step = 0; step < kSteps; ++step) {
        domains[pick() % domains.size()].w->step();
        // Every domain, not only the one changed: a route must not leak
        // into its neighbours.
        for (Domain &d : domains) {
            std::string first;
            const bool full = step % 250 == 249;
            uint32_t bad = d.w->mismatches(eng, d.id, d.w->samples(full ? 1000 : 12), &first);
            ASSERT_EQ(bad, 0u) << "seed " << GetParam() << " step " << step << ": " << first;
        }
    }
    for (Domain &d : domains) {
        EXPECT_EQ(d.w->failures(), 0u) << d.w->first_failure();
        EXPECT_GT(d.w->oracle().routes().size(), 0u);
        if (d.vrd) {
            EXPECT_EQ(zel_ip_vrd_delete(m_, d.vrd), 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RouteOracle, ::testing::Values(1u, 20261210u));

}  // namespace
