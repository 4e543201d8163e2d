// The packet walk against what was configured: forwarding decisions
// against a naive longest-prefix table of the routes added, the counters
// it leaves in state memory (read back byte by byte, big-endian), and the
// rule that a walk changes no tree.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "core/zel_ip_limits.h"
#include "interface/zel_ip_interface_pvt.h"
#include "zel_sim_engine.h"
#include "zel_sim_walk.h"
#include "walk_test_util.h"
#include "zel_test_fixture.h"
#include "zel_tree_snapshot.h"

namespace {

namespace zw = zsim::walk;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

constexpr uint32_t kIntfs = 4;
constexpr uint32_t kL2Base = 0x2100;  // outside the framework's own interface ids

class Walk : public ZelTest {
protected:
    // Interface k (0 .. kIntfs-1): 10.<k+1>.0.1/16 in the default domain,
    // with an egress flow for any next hop.
    void SetUp() override {
        ZelTest::SetUp();
        for (uint32_t k = 0; k < kIntfs; ++k) {
            walktest::make_intf(m_, sim_, kL2Base, k, &intf_[k], &id_[k]);
            if (HasFatalFailure()) return;
        }
    }

    zw::Walk walk(const zw::Packet &p, bool count = true) {
        zw::Context c;
        c.eng = zel_sim_engine(sim_);
        c.global_stats_ns_id = zel::ip::kGlobalStatsNsId;
        c.count = count;
        zw::Walk w;
        EXPECT_EQ(zw::walk_packet(c, p, &w), 0u);
        return w;
    }

    zw::Packet from(uint32_t k, uint32_t dst) {
        zw::Packet p;
        p.intf_id = id_[k];
        p.src = 10u << 24 | (k + 1) << 16 | 0x77;
        p.dst = dst;
        return p;
    }

    // Word `word` of an NS ID's state record, read as big-endian bytes.
    uint32_t counter(uint32_t ns_id, uint32_t word) {
        uint8_t b[4] = {};
        EXPECT_EQ(zel_sim_engine_se_read(zel_sim_engine(sim_), ns_id, word * 4, b, 4), 0u);
        return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
    }

    zel_ip_intf_handle_t intf_[kIntfs] = {};
    uint32_t id_[kIntfs] = {};
};

// The oracle: routes as added, looked up by the longest prefix.
struct Route {
    uint32_t prefix, len, next_hop;  // next_hop 0: a null route
};
const Route *longest(const std::map<std::pair<uint32_t, uint32_t>, Route> &table, uint32_t dst) {
    const Route *best = nullptr;
    for (const auto &[key, r] : table) {
        const uint32_t mask = r.len ? ~0u << (32 - r.len) : 0;
        if ((dst & mask) == r.prefix && (!best || r.len > best->len)) best = &r;
    }
    return best;
}

class WalkRoutes : public Walk, public ::testing::WithParamInterface<uint32_t> {};

// Routes outside 10/8 (where the interfaces' own entries live), via next
// hops on the interfaces' subnets or null, added, replaced and deleted at
// random; every walk's decision is the oracle's: forwarded out of the
// interface whose subnet holds the next hop, to that next hop; dropped by a
// null route; dropped as unreachable where nothing covers.
TEST_P(WalkRoutes, ForwardingDecisionsMatchANaiveLongestPrefixTable) {
    std::mt19937 rng(GetParam());
    std::map<std::pair<uint32_t, uint32_t>, Route> table;
    auto random_prefix = [&](uint32_t *prefix, uint32_t *len) {
        *len = 1 + rng() % 32;
        uint32_t a = rng();
        if ((a >> 24) == 10) a ^= 0x80000000u;  // keep out of 10/8
        *prefix = a & (~0u << (32 - *len));
        if ((*prefix >> 24) == 10 || (*len < 8 && (10u << 24 & (~0u << (32 - *len))) == *prefix)) *len = 0;
    };
    for (uint32_t step = 0; step < 600; ++step) {
        uint32_t prefix = 0, len = 0;
        random_prefix(&prefix, &len);
        if (len == 0) continue;  // would cover 10/8
        zel_ip_route_params_t r{};
        r.dest = prefix;
        r.prefix_len = len;
        if (rng() % 5 == 0 && !table.empty()) {
            auto it = table.begin();
            std::advance(it, rng() % table.size());
            r.dest = it->second.prefix;
            r.prefix_len = it->second.len;
            ASSERT_EQ(zel_ip_route_delete(m_, &r), 0u);
            table.erase(it);
            continue;
        }
        const bool null = rng() % 8 == 0;
        const uint32_t k = rng() % kIntfs;
        r.next_hop = null ? 0 : (10u << 24 | (k + 1) << 16 | (2 + rng() % 60000));
        StdoutCapture quiet;
        ASSERT_EQ(zel_ip_route_add(m_, &r), 0u) << quiet.text();
        table[{prefix, len}] = {prefix, len, r.next_hop};
    }
    ASSERT_FALSE(table.empty());
    uint32_t forwarded = 0, nulls = 0, unreachable = 0;
    for (uint32_t n = 0; n < 3000; ++n) {
        // Half the packets inside a route, half anywhere outside 10/8.
        uint32_t dst = rng();
        if (n % 2 == 0) {
            auto it = table.begin();
            std::advance(it, rng() % table.size());
            const uint32_t host = it->second.len == 32 ? 0 : rng() & ~(~0u << (32 - it->second.len));
            dst = it->second.prefix | host;
        }
        if ((dst >> 24) == 10) continue;
        const zw::Walk w = walk(from(n % kIntfs, dst), false);
        const Route *r = longest(table, dst);
        SCOPED_TRACE(zw::render(w, false));
        if (!r) {
            EXPECT_EQ(w.verdict, zw::Verdict::kDropped);
            EXPECT_EQ(w.counter, "Dest unreachable");
            ++unreachable;
        } else if (r->next_hop == 0) {
            EXPECT_EQ(w.verdict, zw::Verdict::kDropped);
            EXPECT_EQ(w.counter, "Pkts dropped due to NULL routes");
            ++nulls;
        } else {
            ASSERT_EQ(w.verdict, zw::Verdict::kForwarded);
            EXPECT_EQ(w.next_hop, r->next_hop);
            EXPECT_EQ(w.egress_intf, id_[((r->next_hop >> 16) & 0xff) - 1]);
            EXPECT_EQ(w.out.ttl, 63u);
            ++forwarded;
        }
    }
    EXPECT_GT(forwarded, 100u);
    EXPECT_GT(nulls, 10u);
    EXPECT_GT(unreachable, 10u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, WalkRoutes, ::testing::Values(1u, 7u, 20261210u));

// The walk counts what it decided, in the engine's byte order: the global
// record's received, transmitted and drop words, the arriving interface's
// received and the egress interface's transmitted packets; and it changes
// no tree entry.
TEST_F(Walk, CountsInStateMemoryAndChangesNoTree) {
    zel_ip_route_params_t r{};
    r.dest = 0x14000000;  // 20.0.0.0/8 via 10.2.0.9
    r.prefix_len = 8;
    r.next_hop = 0x0a020009;
    ASSERT_EQ(zel_ip_route_add(m_, &r), 0u);
    r.dest = 0x15000000;  // 21.0.0.0/8 null
    r.next_hop = 0;
    ASSERT_EQ(zel_ip_route_add(m_, &r), 0u);
    const zel::test::TreeSnapshot before = zel::test::tree_snapshot(sim_, m_);

    const uint32_t g = zel::ip::kGlobalStatsNsId;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(walk(from(0, 0x14010203)).verdict, zw::Verdict::kForwarded);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(walk(from(0, 0x15010203)).verdict, zw::Verdict::kDropped);
    EXPECT_EQ(walk(from(0, 0x16010203)).counter, "Dest unreachable");
    const zw::Walk ttl = walk([&] {
        zw::Packet p = from(0, 0x14010203);
        p.ttl = 1;
        return p;
    }());
    EXPECT_EQ(ttl.counter, "TTL expired");

    EXPECT_EQ(counter(g, 0), 7u);   // Total Rx Pkts
    EXPECT_EQ(counter(g, 1), 3u);   // Total tx pkts
    EXPECT_EQ(counter(g, 56), 2u);  // NULL routes
    EXPECT_EQ(counter(g, 6), 1u);   // Dest unreachable
    EXPECT_EQ(counter(g, 11), 1u);  // TTL expired
    EXPECT_EQ(counter(intf_[0]->stats_ns_id, 0), 7u);  // the arriving interface's received packets
    EXPECT_EQ(counter(intf_[1]->stats_ns_id, 1), 3u);  // the egress interface's transmitted packets
    EXPECT_EQ(zel::test::tree_snapshot(sim_, m_), before);

    // Without counting, nothing moves.
    walk(from(0, 0x15010203), false);
    EXPECT_EQ(counter(g, 56), 2u);
}

// What stops a walk early, each with the counter it names.
TEST_F(Walk, DropsBeforeRouting) {
    struct Case {
        const char *name;
        zw::Packet p;
        zw::Verdict verdict;
        const char *counter;
    };
    zw::Packet unknown = from(0, 0x14010203);
    unknown.intf_id = 0x7777;
    zw::Packet own = from(0, 0x0a010001);  // the interface's own address: no association
    own.proto = 6;
    own.dport = 22;
    zw::Packet cpu;
    cpu.arrival = zw::Arrival::kCpu;
    cpu.vrd_id = 63;
    cpu.dst = 0x0a030005;  // on interface 2's subnet: its source comes from tree 22
    const Case cases[] = {
        {"unknown interface", unknown, zw::Verdict::kDropped, "Invalid input interface"},
        {"own address, no association", own, zw::Verdict::kDropped, "No ingress Association"},
        {"locally originated to a neighbour", cpu, zw::Verdict::kForwarded, ""},
    };
    for (const Case &c : cases) {
        const zw::Walk w = walk(c.p);
        SCOPED_TRACE(std::string(c.name) + "\n" + zw::render(w, false));
        EXPECT_EQ(w.verdict, c.verdict);
        EXPECT_EQ(w.counter, c.counter);
    }
    const zw::Walk w = walk(cpu);
    EXPECT_EQ(w.out.src, 0x0a030001u);  // the interface's address on the subnet
    EXPECT_EQ(w.out.ttl, 64u);          // locally originated: no hop taken
    EXPECT_EQ(w.egress_intf, id_[2]);
}

// What the statistics print says after a batch of walks is the batch's
// verdict summary: every drop counter the walks named with its count,
// the received and transmitted totals.
TEST_F(Walk, GlobalStatisticsPrintMatchesTheVerdictSummary) {
    zel_ip_route_params_t r{};
    r.dest = 0x14000000;  // 20.0.0.0/8 via 10.2.0.9
    r.prefix_len = 8;
    r.next_hop = 0x0a020009;
    ASSERT_EQ(zel_ip_route_add(m_, &r), 0u);
    r.dest = 0x15000000;  // 21.0.0.0/8 null
    r.next_hop = 0;
    ASSERT_EQ(zel_ip_route_add(m_, &r), 0u);
    std::mt19937 rng(9);
    std::map<std::string, uint32_t> summary;
    uint32_t forwarded = 0;
    for (uint32_t n = 0; n < 500; ++n) {
        zw::Packet p = from(n % kIntfs, (20u + rng() % 3) << 24 | (rng() & 0xffffff));
        p.ttl = rng() % 10 == 0 ? 1 : 64;
        const zw::Walk w = walk(p);
        if (w.verdict == zw::Verdict::kForwarded) ++forwarded;
        if (!w.counter.empty()) ++summary[w.counter];
    }
    ASSERT_GE(summary.size(), 3u);  // null routes, no route, TTL expiry
    StdoutCapture out;
    ASSERT_EQ(zel_ip_global_stats_print(m_), 0u);
    const std::string text = out.text();
    EXPECT_NE(text.find("Total Rx Pkts: 500\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Total tx pkts: " + std::to_string(forwarded) + "\n"), std::string::npos) << text;
    for (const auto &[label, count] : summary)
        EXPECT_NE(text.find(label + ": " + std::to_string(count) + "\n"), std::string::npos) << label << "\n" << text;
}

}  // namespace
