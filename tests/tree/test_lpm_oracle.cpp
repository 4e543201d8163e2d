// Property: after any sequence of adds and removes of overlapping prefixes
// on the destination tree, every engine lookup answers what a naive
// longest-prefix table answers, and every removal hands back the action
// of the closest covering prefix.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "core/zel_ip_priv.h"
#include "tree/zel_ip_hw_internal.h"
#include "tree/zel_ip_tree.h"
#include "zel_test_fixture.h"

using namespace zel::ip;
using zel::test::ZelTest;

namespace {

constexpr uint32_t kVrd = 63;
constexpr hwe_action_t kNoRoute{HWE_ACTION_VALUE, 4, 0};

uint32_t mask(uint32_t len) { return len == 0 ? 0 : ~0u << (32 - len); }

// The oracle: prefixes by (network, length), longest match by scanning.
class NaiveLpm {
public:
    void set(uint32_t net, uint32_t len, hwe_action_t a) { table_[{net, len}] = a; }
    void erase(uint32_t net, uint32_t len) { table_.erase({net, len}); }
    bool empty() const { return table_.empty(); }
    size_t size() const { return table_.size(); }
    std::pair<uint32_t, uint32_t> nth(size_t n) const { return std::next(table_.begin(), n)->first; }
    const hwe_action_t &at(uint32_t net, uint32_t len) const { return table_.at({net, len}); }

    // Longest prefix of at most `max_len` bits covering addr.
    hwe_action_t lookup(uint32_t addr, uint32_t max_len = 32) const {
        for (int len = static_cast<int>(max_len); len >= 0; --len) {
            auto it = table_.find({addr & mask(len), static_cast<uint32_t>(len)});
            if (it != table_.end()) return it->second;
        }
        return kNoRoute;
    }

private:
    std::map<std::pair<uint32_t, uint32_t>, hwe_action_t> table_;
};

class LpmOracle : public ZelTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    TreeRecord &dest() { return static_cast<ZelIpPriv *>(m_->priv)->trees[kTreeDestAddr]; }

    uint32_t rule(uint32_t op, uint32_t net, uint32_t len, hwe_action_t &a) {
        return ZRULE(m_, dest(), op, a, "rule", {kVrd, 6}, prefix_field(net, len));
    }

    hwe_action_t engine_lookup(uint32_t addr) {
        const uint32_t values[] = {kVrd, addr}, widths[] = {6, 32};
        hwe_action_t a{};
        uint32_t depth = 0;
        EXPECT_EQ(zel_sim_engine_lookup_fields(zel_sim_engine(sim_), dest().id, 2, values, widths, &a,
                                               &depth),
                  0u);
        return a;
    }

    // Lookups at both ends of every stored prefix, just inside and outside
    // them, and at random addresses of the churned space.
    void expect_lookups_match(const NaiveLpm &oracle, std::mt19937 &rng, const char *when) {
        std::vector<uint32_t> probes;
        for (size_t i = 0; i < oracle.size(); ++i) {
            auto [net, len] = oracle.nth(i);
            uint32_t last = net | ~mask(len);
            probes.insert(probes.end(), {net, last, net - 1, last + 1, net + ((last - net) >> 1)});
        }
        for (int i = 0; i < 64; ++i) probes.push_back(0x0a000000 | (rng() & 0x0003ffff));
        for (uint32_t addr : probes) {
            hwe_action_t want = oracle.lookup(addr), got = engine_lookup(addr);
            ASSERT_TRUE(got.kind == want.kind && got.w1 == want.w1 && got.w2 == want.w2)
                << when << ": address 0x" << std::hex << addr << " engine {" << got.kind << ", 0x"
                << got.w1 << ", 0x" << got.w2 << "} oracle {" << want.kind << ", 0x" << want.w1
                << ", 0x" << want.w2 << "}";
        }
    }
};

TEST_P(LpmOracle, RandomChurnOfOverlappingPrefixes) {
    std::mt19937 rng(GetParam());
    NaiveLpm oracle;
    // Prefix lengths around the interesting depths, /0 and /32 included;
    // addresses from 10.0.0.0/14 so that prefixes nest and overlap.
    const uint32_t lengths[] = {0, 8, 12, 14, 15, 16, 17, 20, 22, 23, 24, 25, 28, 30, 31, 32};
    for (int step = 0; step < 3000; ++step) {
        if (!oracle.empty() && rng() % 3 == 0) {
            auto [net, len] = oracle.nth(rng() % oracle.size());
            hwe_action_t rec = oracle.at(net, len);
            oracle.erase(net, len);
            ASSERT_EQ(rule(kRuleUnlearn, net, len, rec), 0u) << "step " << step;
            if (len < 32) {
                // The covering prefix's action comes back to the caller.
                hwe_action_t cover = oracle.lookup(net, len - (len ? 1 : 0));
                if (len == 0) cover = kNoRoute;
                EXPECT_TRUE(rec.kind == cover.kind && rec.w1 == cover.w1 && rec.w2 == cover.w2)
                    << "step " << step << ": removal of /" << len;
            }
        } else {
            uint32_t len = lengths[rng() % std::size(lengths)];
            uint32_t net = (0x0a000000 | (rng() & 0x0003ffff)) & mask(len);
            hwe_action_t a{HWE_ACTION_VALUE, static_cast<uint32_t>(rng() & 0xffffff),
                           static_cast<uint32_t>(rng() & 0xffffff)};
            oracle.set(net, len, a);
            ASSERT_EQ(rule(kRuleLearn, net, len, a), 0u) << "step " << step;
        }
        if (step % 100 == 99) {
            expect_lookups_match(oracle, rng, "during churn");
            if (HasFatalFailure()) return;
        }
    }
    expect_lookups_match(oracle, rng, "after churn");
    // Removing everything left leaves the tree answering No-Route.
    while (!oracle.empty()) {
        auto [net, len] = oracle.nth(rng() % oracle.size());
        hwe_action_t rec = oracle.at(net, len);
        oracle.erase(net, len);
        ASSERT_EQ(rule(kRuleUnlearn, net, len, rec), 0u);
    }
    expect_lookups_match(oracle, rng, "after removing everything");
    EXPECT_EQ(zel_sim_engine_entry_count(zel_sim_engine(sim_), dest().id), 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, LpmOracle, ::testing::Values(1u, 2u, 7u, 42u, 2024u));

}  // namespace
