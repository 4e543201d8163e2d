// Basic filters: staging (packets see the basic rules of the last basic
// commit), the basic and extended pending lists of one set kept apart,
// the refusals and limits, and a first-match oracle over random prefix
// rules against the engine model after commit.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "filter_test_util.h"
#include "otreeset_test_util.h"

using filtertest::FilterTest;
using zel::test::StdoutCapture;
namespace lay = zel::ip::layout;

namespace {

constexpr uint32_t kTree = zel::ip::kTreeInBasicFilter;
const std::string kErr = "[zel_ip_log: ERROR] FILE:LINE ";

zel_ip_basic_filter_rule_t basic(uint32_t mask, uint32_t proto = 0, uint32_t sip = 0, uint32_t slen = 0,
                                 uint32_t dip = 0, uint32_t dlen = 0) {
    return {mask, proto, dip, dlen, sip, slen};
}

class BasicFilter : public FilterTest {
protected:
    uint32_t add_basic(zel_ip_rule_set_handle_t s, uint32_t idx, const zel_ip_basic_filter_rule_t &r,
                       const zel_ip_filter_action_t &a, zel_ip_flow_handle_t *out, std::string *text = nullptr) {
        return otest::quietly([&] { return zel_ip_basic_filter_rule_add(m_, s, idx, &r, &a, out); }, text);
    }
    zel_ip_flow_handle_t basic_rule(zel_ip_rule_set_handle_t s, uint32_t idx, const zel_ip_basic_filter_rule_t &r,
                                    const zel_ip_filter_action_t &a) {
        zel_ip_flow_handle_t h = nullptr;
        std::string text;
        EXPECT_EQ(add_basic(s, idx, r, a, &h, &text), 0u) << text;
        return h;
    }
    uint32_t del(uint32_t idx, zel_ip_flow_handle_t h, std::string *text = nullptr) {
        return otest::quietly([&] { return zel_ip_basic_filter_rule_delete(m_, idx, h); }, text);
    }
    uint32_t commit(zel_ip_rule_set_handle_t s) {
        return otest::quietly([&] { return zel_ip_basic_filter_set_commit(m_, s); });
    }
    otest::Verdict hit(zel_ip_rule_set_handle_t s, uint32_t proto, uint32_t sip, uint32_t dip) {
        return otest::classify(eng(), kTree, {filtertest::set_id_of(s), proto, sip, dip});
    }
    static const zel_ip_rule_set &rec(zel_ip_rule_set_handle_t s) { return *s; }
};

TEST_F(BasicFilter, PacketsSeeTheBasicRulesOfTheLastBasicCommit) {
    zel_ip_rule_set_handle_t s = new_set();
    const uint32_t src = otest::ip(10, 1, 1, 1), dst = otest::ip(192, 0, 2, 9);
    zel_ip_flow_handle_t b = basic_rule(s, 5, basic(ZEL_IP_BASIC_FILTER_PROTO, 6), filtertest::act(ZEL_IP_FILTER_ALLOW));
    otest::Verdict v = hit(s, 6, src, dst);
    EXPECT_EQ(v.rule_idx, ZEL_SIM_NO_RULE);
    EXPECT_EQ(v.action.kind, HWE_ACTION_FUNC);  // the tree's default: unknown rule set
    ASSERT_EQ(commit(s), 0u);
    v = hit(s, 6, src, dst);
    ASSERT_EQ(v.rule_idx, 5u);
    EXPECT_EQ(lay::filter::decode(v.action).action, lay::filter::Action::kAllow);
    EXPECT_EQ(lay::filter::decode(v.action).flow_id, b->head.hdr.ns_id);

    // Modified: the compiled rule keeps the old action and key until the commit.
    const zel_ip_filter_action_t deny = filtertest::act(ZEL_IP_FILTER_DENY);
    ASSERT_EQ(otest::quietly([&] { return zel_ip_basic_filter_rule_action_modify(m_, 5, b, &deny); }), 0u);
    EXPECT_EQ(lay::filter::decode(hit(s, 6, src, dst).action).action, lay::filter::Action::kAllow);
    ASSERT_EQ(commit(s), 0u);
    v = hit(s, 6, src, dst);
    EXPECT_EQ(lay::filter::decode(v.action).action, lay::filter::Action::kDeny);
    EXPECT_EQ(lay::filter::decode(v.action).rule_key, 4u);

    // Deleted: matched until the commit.
    ASSERT_EQ(del(5, b), 0u);
    EXPECT_EQ(hit(s, 6, src, dst).rule_idx, 5u);
    ASSERT_EQ(commit(s), 0u);
    EXPECT_EQ(hit(s, 6, src, dst).rule_idx, ZEL_SIM_NO_RULE);
    EXPECT_TRUE(otest::staged(eng(), kTree).empty());
}

// A basic commit releases the basic list only, an extended commit the
// extended list only; the same index in both kinds does not collide.
TEST_F(BasicFilter, TheBasicAndExtendedPendingListsOfASetAreIndependent) {
    zel_ip_rule_set_handle_t s = new_set();
    const zel_ip_filter_action_t allow = filtertest::act(ZEL_IP_FILTER_ALLOW);
    zel_ip_flow_handle_t b = basic_rule(s, 7, basic(0), allow);
    zel_ip_flow_handle_t e = add(s, 7, filtertest::any_rule(), allow);
    ASSERT_NE(e, nullptr);
    const uint32_t ids = ns_in_use();
    ASSERT_EQ(del(7, b), 0u);
    ASSERT_EQ(otest::quietly([&] { return zel_ip_filter_rule_delete(m_, 7, e); }), 0u);
    EXPECT_EQ(rec(s).basic.count, 1u);
    EXPECT_EQ(rec(s).ext.count, 1u);
    ASSERT_EQ(commit(s), 0u);
    EXPECT_EQ(rec(s).basic.count, 0u);
    EXPECT_EQ(rec(s).ext.count, 1u);
    EXPECT_EQ(ns_in_use(), ids - 1);  // the basic rule's statistics id only
    ASSERT_EQ(otest::quietly([&] { return zel_ip_filter_set_commit(m_, ZEL_IP_COMMIT_SET, s); }), 0u);
    EXPECT_EQ(rec(s).ext.count, 0u);
    EXPECT_EQ(ns_in_use(), ids - 2);
    // The reverse: an extended commit (and a rebuild of every set) leaves
    // the basic list.
    zel_ip_flow_handle_t b2 = basic_rule(s, 8, basic(0), allow);
    ASSERT_EQ(del(8, b2), 0u);
    ASSERT_EQ(otest::quietly([&] { return zel_ip_filter_set_commit(m_, ZEL_IP_COMMIT_SET, s); }), 0u);
    ASSERT_EQ(otest::quietly([&] { return zel_ip_filter_set_commit(m_, ZEL_IP_COMMIT_ALL, nullptr); }), 0u);
    EXPECT_EQ(rec(s).basic.count, 1u);
    ASSERT_EQ(commit(s), 0u);
    EXPECT_EQ(rec(s).basic.count, 0u);
}

TEST_F(BasicFilter, RefusalsInTheirOrder) {
    zel_ip_rule_set_handle_t s = new_set();
    const zel_ip_filter_action_t allow = filtertest::act(ZEL_IP_FILTER_ALLOW);
    struct Case {
        const char *name;
        zel_ip_basic_filter_rule_t r;
        uint32_t type;
        uint32_t status;
        std::string msg;
    };
    const Case cases[] = {
        {"dscp bit", basic(0x08), 1, 0x1030011, "Invalid filter param for basic filter"},
        {"frag bit", basic(0x10), 1, 0x1030011, "Invalid filter param for basic filter"},
        {"L4 bit", basic(0x21, 6), 1, 0x1030011, "Invalid filter param for basic filter"},
        {"action 4", basic(0x08), 4, 0x30008, "Invalid Filter action "},
        {"source /0", basic(ZEL_IP_BASIC_FILTER_SIP, 0, 0, 0), 1, 0x1030012,
         "Invalid Source IP address prefix width"},
        {"destination /33", basic(ZEL_IP_BASIC_FILTER_DIP | 0x08, 0, 0, 0, 0, 33), 1, 0x1030012,
         "Invalid Destination IP address prefix width"},
    };
    for (const Case &c : cases) {
        zel_ip_filter_action_t a = allow;
        a.type = c.type;
        zel_ip_flow_handle_t out = reinterpret_cast<zel_ip_flow_handle_t>(&out);
        std::string text;
        EXPECT_EQ(add_basic(s, 1, c.r, a, &out, &text), c.status) << c.name;
        EXPECT_EQ(zel::test::mask_sites(text).find(kErr + c.msg), 0u) << c.name << ": " << text;
        EXPECT_EQ(out, nullptr) << c.name;
    }
    std::string text;
    EXPECT_EQ(otest::quietly([&] { return zel_ip_basic_filter_rule_add(m_, s, 1, nullptr, &allow, nullptr); }, &text),
              0x30008u);
    EXPECT_EQ(zel::test::mask_sites(text).find(kErr + "Invalid input parameter"), 0u) << text;
    EXPECT_TRUE(otest::staged(eng(), kTree).empty());

    // Deletes: another kind, a second delete, another index.
    zel_ip_flow_handle_t e = add(s, 1, filtertest::any_rule(), allow);
    EXPECT_EQ(del(1, e, &text), 0x30008u);
    EXPECT_EQ(zel::test::mask_sites(text).find(kErr + "Invalid basic flow filter handle type"), 0u) << text;
    zel_ip_flow_handle_t b = basic_rule(s, 2, basic(0), allow);
    EXPECT_EQ(del(3, b, &text), 0x30008u);
    EXPECT_EQ(otest::staged(eng(), kTree).size(), 1u);
    ASSERT_EQ(del(2, b), 0u);
    EXPECT_EQ(del(2, b, &text), 0x30008u);
    EXPECT_EQ(zel::test::mask_sites(text).find(kErr + "Invalid flow handle"), 0u) << text;
}

TEST_F(BasicFilter, AMaskZeroRuleMatchesEveryPacketOfItsSetOnly) {
    zel_ip_rule_set_handle_t s = new_set(), other = new_set();
    basic_rule(s, 1, basic(0), filtertest::act(ZEL_IP_FILTER_DENY));
    ASSERT_EQ(commit(s), 0u);
    std::mt19937 rng(34);
    for (int i = 0; i < 200; ++i) {
        const uint32_t proto = rng() & 0xff, sip = rng(), dip = rng();
        EXPECT_EQ(hit(s, proto, sip, dip).rule_idx, 1u);
        EXPECT_EQ(hit(other, proto, sip, dip).rule_idx, ZEL_SIM_NO_RULE);
    }
}

TEST_F(BasicFilter, SixtyFourPendingPerListAndTheSixtyFifthOfEitherRefused) {
    zel_ip_rule_set_handle_t s = new_set();
    const zel_ip_filter_action_t allow = filtertest::act(ZEL_IP_FILTER_ALLOW);
    std::vector<zel_ip_flow_handle_t> b, e;
    for (uint32_t i = 0; i < 65; ++i) {
        b.push_back(basic_rule(s, i, basic(0), allow));
        e.push_back(add(s, i, filtertest::any_rule(), allow));
    }
    for (uint32_t i = 0; i < 64; ++i) {
        ASSERT_EQ(del(i, b[i]), 0u) << i;
        ASSERT_EQ(otest::quietly([&] { return zel_ip_filter_rule_delete(m_, i, e[i]); }), 0u) << i;
    }
    std::string text;
    EXPECT_EQ(del(64, b[64], &text), 0x3000fu);
    EXPECT_NE(text.find("Cannot delete any more rules until previously deleted or modified rules are committed"),
              std::string::npos)
        << text;
    EXPECT_EQ(otest::quietly([&] { return zel_ip_filter_rule_delete(m_, 64, e[64]); }), 0x3000fu);
    ASSERT_EQ(commit(s), 0u);
    EXPECT_EQ(del(64, b[64]), 0u);
    EXPECT_EQ(otest::quietly([&] { return zel_ip_filter_rule_delete(m_, 64, e[64]); }), 0x3000fu);
}

// Random basic rules in two sets (random indexes, prefixes of random
// lengths, optional protocol), some deleted and some modified, then
// committed; random packets near the rules' addresses: the engine answers
// what a first-match scan of the live rules answers, with their actions.
TEST_F(BasicFilter, OracleFirstMatchOverRandomPrefixRules) {
    std::mt19937 rng(0x34);
    zel_ip_rule_set_handle_t sets[2] = {new_set(), new_set()};
    std::vector<otest::OracleRule> rules;
    std::vector<std::pair<zel_ip_flow_handle_t, size_t>> live;  // handle, oracle slot
    std::vector<uint32_t> addrs;
    for (int n = 0; n < 100; ++n) {
        const int which = static_cast<int>(rng() % 2);
        zel_ip_basic_filter_rule_t r{};
        if (rng() % 2) {
            r.mask |= ZEL_IP_BASIC_FILTER_PROTO;
            r.proto = rng() % 3 ? 6 : 17;
        }
        r.sip = static_cast<uint32_t>(rng());
        r.dip = static_cast<uint32_t>(rng());
        r.sip_prefix_len = otest::random_plen(rng);
        r.dip_prefix_len = otest::random_plen(rng);
        if (r.sip_prefix_len) r.mask |= ZEL_IP_BASIC_FILTER_SIP;
        if (r.dip_prefix_len) r.mask |= ZEL_IP_BASIC_FILTER_DIP;
        const uint32_t idx = rng() % 300;
        const uint32_t type = 1 + rng() % 2;
        zel_ip_flow_handle_t h = nullptr;
        const uint32_t st = add_basic(sets[which], idx, r, filtertest::act(type), &h);
        if (st == 0x1030010u) continue;  // the index is taken in that set
        ASSERT_EQ(st, 0u);
        rules.push_back({idx,
                         {{filtertest::set_id_of(sets[which]), 8, 8},
                          {r.proto, (r.mask & ZEL_IP_BASIC_FILTER_PROTO) ? 8u : 0u, 8},
                          {r.sip, r.sip_prefix_len, 32},
                          {r.dip, r.dip_prefix_len, 32}},
                         type});
        live.push_back({h, rules.size() - 1});
        addrs.push_back(r.sip);
        addrs.push_back(r.dip);
    }
    // A quarter deleted, a quarter given the other action.
    std::vector<bool> gone(rules.size());
    for (const auto &entry : live) {
        // Plain copies: a lambda below uses them (clang 14 does not let a
        // lambda capture a structured binding).
        const auto h = entry.first;
        const auto slot = entry.second;
        const uint32_t roll = rng() % 4;
        if (roll == 0) {
            ASSERT_EQ(del(rules[slot].idx, h), 0u);
            gone[slot] = true;
        } else if (roll == 1) {
            rules[slot].tag = rules[slot].tag == ZEL_IP_FILTER_ALLOW ? ZEL_IP_FILTER_DENY : ZEL_IP_FILTER_ALLOW;
            const zel_ip_filter_action_t a = filtertest::act(rules[slot].tag);
            ASSERT_EQ(otest::quietly(
                          [&] { return zel_ip_basic_filter_rule_action_modify(m_, rules[slot].idx, h, &a); }),
                      0u);
        }
    }
    std::vector<otest::OracleRule> kept;
    for (size_t i = 0; i < rules.size(); ++i)
        if (!gone[i]) kept.push_back(rules[i]);
    for (auto *s : sets) ASSERT_EQ(commit(s), 0u);
    for (int p = 0; p < 5000; ++p) {
        const std::vector<uint32_t> pkt = {filtertest::set_id_of(sets[rng() % 2]), rng() % 4 ? 6u : 17u,
                                           otest::random_addr(rng, addrs), otest::random_addr(rng, addrs)};
        const otest::OracleRule *want = otest::first_match(kept, pkt);
        const otest::Verdict got = otest::classify(eng(), kTree, pkt);
        if (!want) {
            ASSERT_EQ(got.rule_idx, ZEL_SIM_NO_RULE) << "packet " << p;
            continue;
        }
        ASSERT_EQ(got.rule_idx, want->idx) << "packet " << p;
        ASSERT_EQ(static_cast<uint32_t>(lay::filter::decode(got.action).action), want->tag) << "packet " << p;
    }
}

}  // namespace
