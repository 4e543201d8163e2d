// Random rule sets against a naive first-match scan written here: after
// each commit the engine must pick, for every random packet, the rule of
// lowest index all of whose fields match, and its action; between an edit
// round and its commit it must still answer as the previous round did.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include "filter_test_util.h"

using namespace filtertest;
namespace lf = zel::ip::layout::filter;

namespace {

struct OracleRule {
    zel_ip_filter_rule_t r;
    uint32_t type;
    zel_ip_flow_handle_t h;
};

using SetRules = std::map<uint32_t, OracleRule>;  // by rule index

bool in(uint32_t v, uint32_t lo, uint32_t hi) { return lo <= v && v <= hi; }

bool prefix_match(uint32_t addr, uint32_t rule_addr, uint32_t plen) {
    const uint64_t mask = plen == 0 ? 0 : (~0ull << (32 - plen)) & 0xffffffffull;
    return ((addr ^ rule_addr) & mask) == 0;
}

// The fragment classes each fragment type admits.
bool frag_match(uint32_t frag_type, uint32_t cls) {
    static const uint8_t admits[5] = {0x1, 0x7, 0xc, 0x4, 0x8};
    return frag_type > 4 || ((admits[frag_type] >> cls) & 1);
}

bool matches(const zel_ip_filter_rule_t &r, const Packet &p) {
    if ((r.mask & ZEL_IP_FILTER_DSCP) && !in(p.tos >> 2, r.dscp_lo, r.dscp_hi)) return false;
    if ((r.mask & ZEL_IP_FILTER_FRAG) && !frag_match(r.frag_type, p.frag)) return false;
    if ((r.mask & ZEL_IP_FILTER_PROTO) && !in(p.proto, r.proto_lo, r.proto_hi)) return false;
    if ((r.mask & ZEL_IP_FILTER_SIP) && !prefix_match(p.sip, r.sip, r.sip_prefix_len)) return false;
    if ((r.mask & ZEL_IP_FILTER_DIP) && !prefix_match(p.dip, r.dip, r.dip_prefix_len)) return false;
    if (r.mask & ZEL_IP_FILTER_PROTO_INFO) {
        const uint32_t pr = r.proto_lo;
        const bool ports = pr == 1 || pr == 6 || pr == 17 || pr == 132 || pr == 136;
        if ((ports || pr == 2) && (r.mask & ZEL_IP_FILTER_SPORT) && !in(p.sport, r.sport_lo, r.sport_hi))
            return false;
        if (ports && (r.mask & ZEL_IP_FILTER_DPORT) && !in(p.dport, r.dport_lo, r.dport_hi)) return false;
    }
    return true;
}

std::optional<std::pair<uint32_t, uint32_t>> first_match(const SetRules &rules, const Packet &p) {
    for (const auto &[idx, o] : rules)
        if (matches(o.r, p)) return std::pair{idx, o.type};
    return std::nullopt;
}

lf::Action expected_action(uint32_t type) {
    return type == 1 ? lf::Action::kAllow : type == 3 ? lf::Action::kSendToCpu : lf::Action::kDeny;
}

class Gen {
public:
    explicit Gen(uint32_t seed) : rng_(seed) {}
    uint32_t any(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }
    uint32_t range(uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng_); }
    bool coin(uint32_t percent) { return any(100) < percent; }
    // Few distinct values so that rules and packets meet often.
    uint32_t addr() { return 0x0a000000u | any(4) << 16 | any(4) << 8 | any(4); }
    uint32_t proto() {
        static const uint32_t protos[] = {1, 2, 6, 17, 47, 132, 136};
        return protos[any(7)];
    }
    uint32_t port() { return any(4) * 1000 + any(3); }

    zel_ip_filter_rule_t rule() {
        zel_ip_filter_rule_t r{};
        if (coin(40)) {
            r.mask |= ZEL_IP_FILTER_PROTO;
            r.proto_lo = proto();
            r.proto_hi = coin(50) ? r.proto_lo : std::max(r.proto_lo, proto());
            if (r.proto_lo == r.proto_hi && coin(60)) {
                r.mask |= ZEL_IP_FILTER_PROTO_INFO;
                if (coin(70)) {
                    r.mask |= ZEL_IP_FILTER_SPORT;
                    r.sport_lo = port();
                    r.sport_hi = r.sport_lo + any(2500);
                }
                if (coin(70)) {
                    r.mask |= ZEL_IP_FILTER_DPORT;
                    r.dport_lo = port();
                    r.dport_hi = r.dport_lo + any(2500);
                }
            }
        }
        if (coin(40)) {
            r.mask |= ZEL_IP_FILTER_SIP;
            r.sip = addr();
            r.sip_prefix_len = range(8, 32);
        }
        if (coin(40)) {
            r.mask |= ZEL_IP_FILTER_DIP;
            r.dip = addr();
            r.dip_prefix_len = range(8, 32);
        }
        if (coin(30)) {
            r.mask |= ZEL_IP_FILTER_DSCP;
            r.dscp_lo = any(64);
            r.dscp_hi = std::min<uint32_t>(63, r.dscp_lo + any(20));
        }
        if (coin(30)) {
            r.mask |= ZEL_IP_FILTER_FRAG;
            r.frag_type = any(6);
        }
        return r;
    }
    Packet packet() {
        Packet p;
        p.tos = any(256);
        p.frag = any(4);
        p.proto = proto();
        p.sip = addr();
        p.dip = addr();
        p.sport = port() + any(1500);
        p.dport = port() + any(1500);
        return p;
    }

private:
    std::mt19937 rng_;
};

class FilterOracle : public FilterTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    void expect_all(const std::vector<zel_ip_rule_set_handle_t> &sets, const std::vector<SetRules> &model,
                    const std::vector<Packet> &packets, const char *when) {
        SCOPED_TRACE(when);
        for (size_t s = 0; s < sets.size(); ++s)
            for (const Packet &p : packets) {
                const Verdict v = at(sets[s], p);
                const auto want = first_match(model[s], p);
                if (!want) {
                    ASSERT_EQ(v.rule_idx, ZEL_SIM_NO_RULE) << "set " << s;
                    continue;
                }
                ASSERT_EQ(v.rule_idx, want->first) << "set " << s;
                ASSERT_EQ(lf::decode(v.value).action, expected_action(want->second));
            }
    }
};

TEST_P(FilterOracle, EngineAgreesWithFirstMatchScan) {
    Gen g(GetParam());
    std::vector<zel_ip_rule_set_handle_t> sets;
    std::vector<SetRules> model(3);
    for (int i = 0; i < 3; ++i) sets.push_back(new_set());
    // Rules with random indexes and actions (0 to 3; 0 is Deny).
    for (size_t s = 0; s < sets.size(); ++s)
        for (int n = 0; n < 60; ++n) {
            const uint32_t idx = g.any(1000);
            if (model[s].count(idx)) continue;
            OracleRule o{g.rule(), g.any(4), nullptr};
            zel_ip_filter_action_t a = act(o.type);
            a.count = g.coin(50);
            o.h = add(sets[s], idx, o.r, a);
            model[s][idx] = o;
        }
    std::vector<Packet> packets;
    for (int i = 0; i < 400; ++i) packets.push_back(g.packet());
    ASSERT_EQ(zel_ip_filter_set_commit(m_, ZEL_IP_COMMIT_ALL, nullptr), 0u);
    expect_all(sets, model, packets, "first commit");

    // An edit round: deletes, action changes and adds in every set; the
    // engine answers as before until each set is committed.
    std::vector<SetRules> next = model;
    for (size_t s = 0; s < sets.size(); ++s) {
        std::vector<uint32_t> idxs;
        for (const auto &[idx, o] : next[s]) idxs.push_back(idx);
        for (uint32_t idx : idxs) {
            OracleRule &o = next[s][idx];
            if (g.coin(20)) {
                ASSERT_EQ(zel_ip_filter_rule_delete(m_, idx, o.h), 0u);
                next[s].erase(idx);
            } else if (g.coin(20)) {
                o.type = g.any(4);
                const zel_ip_filter_action_t a = act(o.type);
                ASSERT_EQ(zel_ip_filter_rule_action_modify(m_, idx, o.h, &a), 0u);
            }
        }
        for (int n = 0; n < 15; ++n) {
            const uint32_t idx = g.any(1000);
            if (next[s].count(idx)) continue;
            OracleRule o{g.rule(), g.any(4), nullptr};
            o.h = add(sets[s], idx, o.r, act(o.type));
            next[s][idx] = o;
        }
    }
    expect_all(sets, model, packets, "edited, not committed");
    for (auto *s : sets) ASSERT_EQ(zel_ip_filter_set_commit(m_, ZEL_IP_COMMIT_SET, s), 0u);
    expect_all(sets, next, packets, "second commit");
}

INSTANTIATE_TEST_SUITE_P(Seeds, FilterOracle, ::testing::Values(1u, 7u, 42u, 1234u, 99991u));

}  // namespace
