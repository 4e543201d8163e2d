// Oracle: random policy rules over all eight ranges, random packets near
// their edges; after each commit the engine's verdict must be the first
// rule, by index, whose ranges hold the packet, computed here from the
// descriptors alone.
#include <algorithm>
#include <array>
#include <map>
#include <random>

#include "pbr_test_util.h"

using namespace pbrtest;

namespace {

struct Range {
    uint32_t lo, hi;
    bool holds(uint32_t v) const { return lo <= v && v <= hi; }
};

// The eight ranges of a descriptor, in tree order, as the descriptor
// defines them (not as the module builds them).
std::array<Range, 8> ranges_of(const zel_ip_pbr_rule_t &r) {
    auto prefix = [](uint32_t a, uint32_t len) {
        const uint64_t size = 1ull << (32 - len);
        const uint32_t lo = static_cast<uint32_t>(a & ~(size - 1));
        return Range{lo, static_cast<uint32_t>(lo + size - 1)};
    };
    static const Range kFrag[] = {{0, 0}, {0, 2}, {2, 3}, {2, 2}, {3, 3}};
    std::array<Range, 8> g = {Range{0, 7}, {0, 255}, {0, 3}, {0, 255}, {0, ~0u}, {0, ~0u}, {0, 65535}, {0, 65535}};
    if (r.mask & ZEL_IP_PBR_MASK_PCP) g[0] = {r.pcp_low, r.pcp_high};
    if (r.mask & ZEL_IP_PBR_MASK_DSCP) g[1] = {r.dscp_low * 4, r.dscp_high * 4 + 3};
    if (r.mask & ZEL_IP_PBR_MASK_FRAG) g[2] = kFrag[r.frag_type];
    if (r.mask & ZEL_IP_PBR_MASK_PROTO) g[3] = {r.proto_low, r.proto_high};
    if (r.mask & ZEL_IP_PBR_MASK_SIP) g[4] = prefix(r.src_addr, r.src_prefix_len);
    if (r.mask & ZEL_IP_PBR_MASK_DIP) g[5] = prefix(r.dest_addr, r.dest_prefix_len);
    if (r.mask & ZEL_IP_PBR_MASK_SPORT) g[6] = {r.sport_low, r.sport_high};
    if (r.mask & ZEL_IP_PBR_MASK_DPORT) g[7] = {r.dport_low, r.dport_high};
    return g;
}

class PbrOracle : public PbrTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    std::mt19937 rng{GetParam()};

    uint32_t pick(uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); }
    std::pair<uint32_t, uint32_t> pair(uint32_t max) {
        uint32_t a = pick(0, max), b = pick(0, max);
        return {std::min(a, b), std::max(a, b)};
    }

    zel_ip_pbr_rule_t random_rule(zel_ip_policy_set_handle_t s) {
        zel_ip_pbr_rule_t r = rule_of(s);
        r.mask = pick(0, 0xff);
        std::tie(r.pcp_low, r.pcp_high) = pair(7);
        std::tie(r.dscp_low, r.dscp_high) = pair(63);
        r.frag_type = pick(0, 4);
        std::tie(r.proto_low, r.proto_high) = pair(255);
        // Addresses from a small pool so that prefixes overlap.
        r.src_addr = 0xc0a80000 | pick(0, 0x3ff);
        r.src_prefix_len = pick(0, 32);
        r.dest_addr = 0x0a000000 | pick(0, 0x3ff) << 6;
        r.dest_prefix_len = pick(0, 32);
        std::tie(r.sport_low, r.sport_high) = pair(2000);
        std::tie(r.dport_low, r.dport_high) = pair(2000);
        return r;
    }

    // A value of field f: near an edge of some rule's range, or anywhere.
    uint32_t value(const std::map<uint32_t, zel_ip_pbr_rule_t> &rules, uint32_t f, const Range &full) {
        if (rules.empty() || pick(0, 3) == 0) return pick(full.lo, full.hi);
        auto it = rules.begin();
        std::advance(it, pick(0, static_cast<uint32_t>(rules.size()) - 1));
        const Range g = ranges_of(it->second)[f];
        switch (pick(0, 3)) {
            case 0: return g.lo;
            case 1: return g.hi;
            case 2: return g.lo > full.lo ? g.lo - 1 : g.lo;
            default: return g.hi < full.hi ? g.hi + 1 : g.hi;
        }
    }

    // Compares the engine with a first-match scan over `rules` (by index).
    void check(uint32_t sid, const std::map<uint32_t, zel_ip_pbr_rule_t> &rules,
               const std::map<uint32_t, uint32_t> &ids, int packets) {
        const std::array<Range, 8> full = ranges_of(zel_ip_pbr_rule_t{});
        for (int n = 0; n < packets; ++n) {
            uint32_t v[8];
            for (uint32_t f = 0; f < 8; ++f) v[f] = value(rules, f, full[f]);
            const Pkt p{v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]};
            uint32_t want = ZEL_SIM_NO_RULE;
            for (const auto &[idx, r] : rules) {
                const auto g = ranges_of(r);
                bool all = true;
                for (uint32_t f = 0; f < 8 && all; ++f) all = g[f].holds(v[f]);
                if (all) {
                    want = idx;
                    break;
                }
            }
            const Verdict got = classify(sim_, sid, p);
            ASSERT_EQ(got.rule_idx, want) << "seed " << GetParam() << " packet " << n;
            if (want != ZEL_SIM_NO_RULE) {
                ASSERT_EQ(got.rule_id, ids.at(want));
            }
        }
    }
};

TEST_P(PbrOracle, EngineAfterCommitIsTheFirstMatchingRule) {
    zel_ip_policy_set_handle_t s = new_set(), other = new_set();
    std::map<uint32_t, zel_ip_pbr_rule_t> rules;  // committed view, by index
    std::map<uint32_t, zel_ip_flow_handle_t> handles;
    std::map<uint32_t, uint32_t> ids;
    // A rule of another set that matches everything must never answer.
    make(0, rule_of(other));
    ASSERT_EQ(commit(ZEL_IP_PBR_COMMIT_ALL, nullptr), 0u);
    for (int round = 0; round < 4; ++round) {
        // Churn: delete up to 8 rules (a set holds 16 pending), add 12.
        for (int d = 0; d < 8 && !handles.empty(); ++d) {
            auto it = handles.begin();
            std::advance(it, pick(0, static_cast<uint32_t>(handles.size()) - 1));
            ASSERT_EQ(del(it->first, it->second), 0u);
            rules.erase(it->first);
            ids.erase(it->first);
            handles.erase(it);
        }
        for (int a = 0; a < 12; ++a) {
            uint32_t idx = pick(1, 200);
            while (handles.count(idx)) idx = pick(1, 200);
            const zel_ip_pbr_rule_t r = random_rule(s);
            zel_ip_flow_handle_t h = make(idx, r);
            ASSERT_NE(h, nullptr);
            handles[idx] = h;
            rules[idx] = r;
            ids[idx] = ns_id(h);
        }
        ASSERT_EQ(commit(round % 2 ? ZEL_IP_PBR_COMMIT_ALL : ZEL_IP_PBR_COMMIT_SET, s), 0u);
        check(set_id(s), rules, ids, 400);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, PbrOracle, ::testing::Values(1u, 7u, 42u, 1234u, 99991u));

}  // namespace
