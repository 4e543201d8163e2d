// The walk's ingress filter stage against a naive first-match scan: a
// random extended (tree 36) or basic (tree 34) rule set attached to an interface, committed, and random
// packets; what the walk decides (forwarded past an Allow, dropped by a
// Deny, delivered to the CPU, or the tree's default when no rule matches)
// is what the first matching rule of the scan says.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "core/zel_ip_limits.h"
#include "zel_sim_engine.h"
#include "zel_sim_walk.h"
#include "walk_test_util.h"
#include "zel_test_fixture.h"

namespace {

namespace zw = zsim::walk;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

struct Rule {
    uint32_t idx;
    zel_ip_filter_rule_t r;
    uint32_t type;
};

using walktest::in_prefix;

bool matches(const zel_ip_filter_rule_t &r, const zw::Packet &p) {
    if ((r.mask & ZEL_IP_FILTER_PROTO) && (p.proto < r.proto_lo || p.proto > r.proto_hi)) return false;
    if ((r.mask & ZEL_IP_FILTER_DIP) && !in_prefix(p.dst, r.dip, r.dip_prefix_len)) return false;
    if ((r.mask & ZEL_IP_FILTER_SIP) && !in_prefix(p.src, r.sip, r.sip_prefix_len)) return false;
    if ((r.mask & ZEL_IP_FILTER_DSCP) && (p.dscp < r.dscp_lo || p.dscp > r.dscp_hi)) return false;
    if (r.mask & ZEL_IP_FILTER_PROTO_INFO) {  // protocol 6 only in this test: both port ranges
        if ((r.mask & ZEL_IP_FILTER_SPORT) && (p.sport < r.sport_lo || p.sport > r.sport_hi)) return false;
        if ((r.mask & ZEL_IP_FILTER_DPORT) && (p.dport < r.dport_lo || p.dport > r.dport_hi)) return false;
    }
    return true;
}

class WalkFilters : public ZelTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    // `basic`: a basic rule set (protocol and prefixes only, tree 34);
    // otherwise an extended one (tree 36).
    void check(bool basic);
};

TEST_P(WalkFilters, IngressFilterDecisionsMatchAFirstMatchScan) { check(false); }
TEST_P(WalkFilters, BasicIngressFilterDecisionsMatchAFirstMatchScan) { check(true); }

void WalkFilters::check(bool basic) {
    std::mt19937 rng(GetParam());
    // Two interfaces: packets arrive on `in` (filtered), leave by `out`.
    zel_ip_intf_handle_t intf[2] = {};
    uint32_t id[2] = {};
    for (uint32_t k = 0; k < 2; ++k) {
        walktest::make_intf(m_, sim_, 0x2200, k, &intf[k], &id[k]);
        if (HasFatalFailure()) return;
    }
    walktest::add_routed(m_);

    zel_ip_rule_set_handle_t set = nullptr;
    ASSERT_EQ(zel_ip_filter_rule_set_create(m_, &set), 0u);
    std::vector<Rule> rules;
    std::vector<uint32_t> idx(200);
    for (uint32_t i = 0; i < idx.size(); ++i) idx[i] = i + 1;
    std::shuffle(idx.begin(), idx.end(), rng);
    for (uint32_t n = 0; n < 40; ++n) {
        Rule x{idx[n], {}, static_cast<uint32_t>(1 + rng() % 3)};
        zel_ip_filter_rule_t &r = x.r;
        if (rng() % 2) {
            r.mask |= ZEL_IP_FILTER_PROTO;
            r.proto_lo = r.proto_hi = rng() % 3 == 0 ? 17 : 6;
            if (!basic && r.proto_lo == 6 && rng() % 2) {
                r.mask |= ZEL_IP_FILTER_PROTO_INFO | ZEL_IP_FILTER_DPORT;
                r.dport_lo = rng() % 1000;
                r.dport_hi = r.dport_lo + rng() % 2000;
            }
        }
        {  // every rule names a destination prefix, so each covers a part only
            r.mask |= ZEL_IP_FILTER_DIP;
            r.dip_prefix_len = 12 + rng() % 13;
            r.dip = 0x14000000 | (rng() & 0x00ffffff);
        }
        if (rng() % 3 == 0) {
            r.mask |= ZEL_IP_FILTER_SIP;
            r.sip_prefix_len = 16 + rng() % 9;
            r.sip = 0x0a010000 | (rng() & 0xffff);
        }
        if (!basic && rng() % 3 == 0) {
            r.mask |= ZEL_IP_FILTER_DSCP;
            r.dscp_lo = rng() % 64;
            r.dscp_hi = r.dscp_lo + rng() % (64 - r.dscp_lo);
        }
        zel_ip_filter_action_t a{};
        a.type = x.type;
        a.cpu_kind = 2;  // NCA
        a.cpu_target = 5;
        zel_ip_flow_handle_t h = nullptr;
        StdoutCapture quiet;
        if (basic) {
            // The same match in the basic descriptor (proto exact, prefixes).
            zel_ip_basic_filter_rule_t b{};
            b.mask = (r.mask & ZEL_IP_FILTER_PROTO ? ZEL_IP_BASIC_FILTER_PROTO : 0u) |
                     (r.mask & ZEL_IP_FILTER_DIP ? ZEL_IP_BASIC_FILTER_DIP : 0u) |
                     (r.mask & ZEL_IP_FILTER_SIP ? ZEL_IP_BASIC_FILTER_SIP : 0u);
            b.proto = r.proto_lo;
            b.dip = r.dip;
            b.dip_prefix_len = r.dip_prefix_len;
            b.sip = r.sip;
            b.sip_prefix_len = r.sip_prefix_len;
            ASSERT_EQ(zel_ip_basic_filter_rule_add(m_, set, x.idx, &b, &a, &h), 0u) << quiet.text();
        } else {
            ASSERT_EQ(zel_ip_filter_rule_add(m_, set, x.idx, &r, &a, &h), 0u) << quiet.text();
        }
        rules.push_back(x);
    }
    if (basic) {
        ASSERT_EQ(zel_ip_basic_filter_set_commit(m_, set), 0u);
    } else {
        ASSERT_EQ(zel_ip_filter_set_commit(m_, ZEL_IP_COMMIT_SET, set), 0u);
    }
    ASSERT_EQ(zel_ip_interface_filter_type_set(m_, intf[0], 0, basic ? 1 : 2), 0u);
    ASSERT_EQ(zel_ip_interface_filter_set(m_, intf[0], 0, set), 0u);
    std::sort(rules.begin(), rules.end(), [](const Rule &a, const Rule &b) { return a.idx < b.idx; });

    zw::Context c;
    c.eng = zel_sim_engine(sim_);
    c.global_stats_ns_id = zel::ip::kGlobalStatsNsId;
    uint32_t seen[4] = {};
    for (uint32_t n = 0; n < 2000; ++n) {
        zw::Packet p;
        p.intf_id = id[0];
        p.src = 0x0a010000 | (2 + rng() % 250) << 8 | (2 + rng() % 250);
        p.dst = 0x14000000 | (rng() & 0x00ffffff);
        if (n % 2 == 0) {  // often inside some rule's destination prefix
            const Rule &r = rules[rng() % rules.size()];
            if (r.r.mask & ZEL_IP_FILTER_DIP) {
                const uint32_t host = rng() & ~(~0u << (32 - r.r.dip_prefix_len));
                p.dst = (r.r.dip & (~0u << (32 - r.r.dip_prefix_len))) | host;
            }
        }
        p.proto = rng() % 3 == 0 ? 17 : 6;
        p.dport = rng() % 4000;
        p.sport = rng() % 65536;
        p.dscp = rng() % 64;
        zw::Walk w;
        ASSERT_EQ(zw::walk_packet(c, p, &w), 0u);
        SCOPED_TRACE(zw::render(w, false));
        const Rule *first = nullptr;
        for (const Rule &r : rules)
            if (matches(r.r, p)) {
                first = &r;
                break;
            }
        if (!first) {
            EXPECT_EQ(w.counter, "Unknown ACL rule set");
            ++seen[0];
        } else if (first->type == ZEL_IP_FILTER_ALLOW) {
            EXPECT_EQ(w.verdict, zw::Verdict::kForwarded);
            EXPECT_EQ(w.egress_intf, id[1]);
            ++seen[1];
        } else if (first->type == ZEL_IP_FILTER_DENY) {
            EXPECT_EQ(w.verdict, zw::Verdict::kDropped);
            EXPECT_EQ(w.counter, "Filter deny cnt");
            ++seen[2];
        } else {
            EXPECT_EQ(w.verdict, zw::Verdict::kToCpu);
            EXPECT_EQ(w.counter, "Filter to CPU cnt");
            ++seen[3];
        }
    }
    for (uint32_t k = 0; k < 4; ++k) EXPECT_GT(seen[k], 20u) << "outcome " << k;
}

INSTANTIATE_TEST_SUITE_P(Seeds, WalkFilters, ::testing::Values(3u, 11u, 20261210u));

}  // namespace
