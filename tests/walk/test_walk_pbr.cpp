// The walk's policy-routing stage against a naive first-match scan: a
// random policy set applied to an interface and committed, random
// packets; a packet whose first matching rule sends it to a next hop
// leaves by that next hop's interface, one that matches a destination-based
// rule or no rule follows the route.
#include <gtest/gtest.h>

#include <algorithm>
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

using walktest::in_prefix;

bool matches(const zel_ip_pbr_rule_t &r, const zw::Packet &p) {
    if ((r.mask & ZEL_IP_PBR_MASK_PROTO) && (p.proto < r.proto_low || p.proto > r.proto_high)) return false;
    if ((r.mask & ZEL_IP_PBR_MASK_DIP) && !in_prefix(p.dst, r.dest_addr, r.dest_prefix_len)) return false;
    if ((r.mask & ZEL_IP_PBR_MASK_SIP) && !in_prefix(p.src, r.src_addr, r.src_prefix_len)) return false;
    if ((r.mask & ZEL_IP_PBR_MASK_DSCP) && (p.dscp < r.dscp_low || p.dscp > r.dscp_high)) return false;
    if ((r.mask & ZEL_IP_PBR_MASK_DPORT) && (p.dport < r.dport_low || p.dport > r.dport_high)) return false;
    return true;
}

class WalkPbr : public ZelTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(WalkPbr, PolicyRoutingDecisionsMatchAFirstMatchScan) {
    std::mt19937 rng(GetParam());
    // Packets arrive on interface 0; the route leaves by 1, policy rules
    // send to a next hop on 2.
    zel_ip_intf_handle_t intf[3] = {};
    uint32_t id[3] = {};
    for (uint32_t k = 0; k < 3; ++k) {
        walktest::make_intf(m_, sim_, 0x2300, k, &intf[k], &id[k]);
        if (HasFatalFailure()) return;
    }
    walktest::add_routed(m_);

    zel_ip_policy_set_handle_t set = nullptr;
    ASSERT_EQ(zel_ip_pbr_policy_set_create(m_, &set), 0u);
    struct Rule {
        uint32_t idx;
        zel_ip_pbr_rule_t r;
    };
    std::vector<Rule> rules;
    std::vector<uint32_t> idx(100);
    for (uint32_t i = 0; i < idx.size(); ++i) idx[i] = i + 1;
    std::shuffle(idx.begin(), idx.end(), rng);
    for (uint32_t n = 0; n < 30; ++n) {
        Rule x{idx[n], {}};
        zel_ip_pbr_rule_t &r = x.r;
        r.policy_set = set;
        r.mask = ZEL_IP_PBR_MASK_DIP;  // each rule covers a part of 20/8 only
        r.dest_prefix_len = 12 + rng() % 13;
        r.dest_addr = (0x14000000 | (rng() & 0x00ffffff)) & (~0u << (32 - r.dest_prefix_len));
        if (rng() % 3 == 0) {
            r.mask |= ZEL_IP_PBR_MASK_PROTO;
            r.proto_low = r.proto_high = rng() % 2 ? 6 : 17;
        }
        if (rng() % 3 == 0) {
            r.mask |= ZEL_IP_PBR_MASK_DSCP;
            r.dscp_low = rng() % 64;
            r.dscp_high = r.dscp_low + rng() % (64 - r.dscp_low);
        }
        if (rng() % 4 == 0) {
            r.mask |= ZEL_IP_PBR_MASK_DPORT;
            r.dport_low = rng() % 1000;
            r.dport_high = r.dport_low + rng() % 2000;
        }
        if (rng() % 3 == 0) {
            r.action.dip_based_routing = 1;
        } else {
            r.action.next_hop = 0x0a030000 | (2 + rng() % 60000);
            r.action.egress_intf = intf[2];
        }
        zel_ip_flow_handle_t h = nullptr;
        StdoutCapture quiet;
        ASSERT_EQ(zel_ip_pbr_entry_create(m_, x.idx, &r, &h), 0u) << quiet.text();
        rules.push_back(x);
    }
    ASSERT_EQ(zel_ip_pbr_commit(m_, 0, set), 0u);
    ASSERT_EQ(zel_ip_pbr_config(m_, intf[0], set), 0u);
    std::sort(rules.begin(), rules.end(), [](const Rule &a, const Rule &b) { return a.idx < b.idx; });

    zw::Context c;
    c.eng = zel_sim_engine(sim_);
    c.global_stats_ns_id = zel::ip::kGlobalStatsNsId;
    uint32_t policy = 0, routed = 0;
    for (uint32_t n = 0; n < 2000; ++n) {
        zw::Packet p;
        p.intf_id = id[0];
        p.src = 0x0a010000 | (2 + rng() % 250) << 8 | (2 + rng() % 250);
        p.dst = 0x14000000 | (rng() & 0x00ffffff);
        if (n % 2 == 0) {
            const Rule &r = rules[rng() % rules.size()];
            p.dst = r.r.dest_addr | (rng() & ~(~0u << (32 - r.r.dest_prefix_len)));
        }
        p.proto = rng() % 2 ? 6 : 17;
        p.dport = rng() % 4000;
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
        ASSERT_EQ(w.verdict, zw::Verdict::kForwarded);
        if (first && !first->r.action.dip_based_routing) {
            EXPECT_EQ(w.egress_intf, id[2]);
            EXPECT_EQ(w.next_hop, first->r.action.next_hop);
            ++policy;
        } else {
            EXPECT_EQ(w.egress_intf, id[1]);
            EXPECT_EQ(w.next_hop, walktest::kRoutedNextHop);
            ++routed;
        }
    }
    EXPECT_GT(policy, 50u);
    EXPECT_GT(routed, 50u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, WalkPbr, ::testing::Values(5u, 13u, 20261210u));

}  // namespace
