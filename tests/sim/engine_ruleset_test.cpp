// Rule-set trees: staging (classification follows the last build), first
// match by rule index, index refusals, the rebuild threshold, key layout
// checks, listing.
#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "engine_test_util.h"

using namespace enginetest;

namespace {

// A basic filter rule key (tree 34): set, protocol, source and destination
// prefixes; an unset length is a wildcard.
struct BasicKey {
    Key set{8}, proto{8}, sip{32}, dip{32};
    zel_ptn_t ptns[4];
    zel_vptn_t v{4, ptns};
    BasicKey(uint32_t set_id, uint32_t pr, uint32_t src, uint32_t slen, uint32_t dst = 0,
             uint32_t dlen = 0) {
        set.add(set_id, 8);
        if (pr) proto.add(pr, 8);
        if (slen) sip.add(src >> (32 - slen), slen);
        if (dlen) dip.add(dst >> (32 - dlen), dlen);
        ptns[0] = *set.get();
        ptns[1] = *proto.get();
        ptns[2] = *sip.get();
        ptns[3] = *dip.get();
    }
};

// The seven ranges of an extended filter rule (tree 36), all "any" but
// the protocol and the destination port.
std::vector<zel_rptn_t> ext_ranges(uint32_t proto_lo, uint32_t proto_hi, uint32_t dport_lo,
                                   uint32_t dport_hi) {
    return {{8, 0, 255}, {2, 0, 3}, {8, proto_lo, proto_hi}, {32, 0, 0xffffffff},
            {32, 0, 0xffffffff}, {16, 0, 0xffff}, {16, dport_lo, dport_hi}};
}

class RuleSetTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        t34_ = id("zel_ip.ip_in_basic_filter");
        t36_ = id("zel_ip.ip_ext_filter");
        unknown_ruleset_ = func(id("zel_ip.ip_filter_unknown_ruleset"));
    }
    // Classify a basic-filter packet; returns the rule index (or NO_RULE).
    uint32_t basic(uint32_t set, uint32_t proto, uint32_t src, uint32_t dst, hwe_action_t *a) {
        const uint32_t fields[] = {set, proto, src, dst};
        uint32_t idx = 0;
        EXPECT_EQ(0u, zel_sim_engine_classify(eng_, t34_, 4, fields, a, &idx));
        return idx;
    }
    uint32_t ext(uint32_t set, uint32_t proto, uint32_t dport, hwe_action_t *a) {
        const uint32_t fields[] = {set, 0, 0, proto, 0x0a000001, 0x0a000002, 1000, dport};
        uint32_t idx = 0;
        EXPECT_EQ(0u, zel_sim_engine_classify(eng_, t36_, 8, fields, a, &idx));
        return idx;
    }
    uint32_t ext_insert(uint32_t set, uint32_t idx, const std::vector<zel_rptn_t> &r,
                        const hwe_action_t &a) {
        Key k(8);
        k.add(set, 8);
        return hwe_ptn_ovtreeset_insert(eng_, t36_, k.get(), static_cast<uint32_t>(r.size()), r.data(),
                                        idx, &a);
    }
    uint32_t ext_build(uint32_t set) {
        Key k(8);
        k.add(set, 8);
        return hwe_ptn_ovtreeset_build(eng_, t36_, k.get());
    }
    uint32_t t34_ = 0, t36_ = 0;
    hwe_action_t unknown_ruleset_{};
};

TEST_F(RuleSetTest, ClassificationFollowsTheLastBuildNotTheEdits) {
    const hwe_action_t allow = value(0x100, 1), deny = value(0x100, 2);
    BasicKey r1(5, 6, 0x0a000000, 8);
    BasicKey set5(5, 0, 0, 0);
    ASSERT_EQ(0u, hwe_ptn_otreeset_insert(eng_, t34_, &r1.v, 10, &allow));
    hwe_action_t a{};
    EXPECT_EQ(ZEL_SIM_NO_RULE, basic(5, 6, 0x0a010101, 0, &a));  // staged only
    EXPECT_TRUE(same(unknown_ruleset_, a));

    ASSERT_EQ(0u, hwe_ptn_otreeset_build(eng_, t34_, &set5.v));
    EXPECT_EQ(10u, basic(5, 6, 0x0a010101, 0, &a));
    EXPECT_TRUE(same(allow, a));

    ASSERT_EQ(0u, hwe_ptn_otreeset_modify(eng_, t34_, &r1.v, 10, &deny));
    EXPECT_EQ(10u, basic(5, 6, 0x0a010101, 0, &a));
    EXPECT_TRUE(same(allow, a));  // the modify is not built yet
    ASSERT_EQ(0u, hwe_ptn_otreeset_build(eng_, t34_, &set5.v));
    basic(5, 6, 0x0a010101, 0, &a);
    EXPECT_TRUE(same(deny, a));

    ASSERT_EQ(0u, hwe_ptn_otreeset_delete(eng_, t34_, &set5.v, 10));  // set key only
    EXPECT_EQ(10u, basic(5, 6, 0x0a010101, 0, &a));
    EXPECT_EQ(0u, zel_sim_engine_entry_count(eng_, t34_));
    ASSERT_EQ(0u, hwe_ptn_otreeset_build(eng_, t34_, &set5.v));
    EXPECT_EQ(ZEL_SIM_NO_RULE, basic(5, 6, 0x0a010101, 0, &a));
}

TEST_F(RuleSetTest, FirstMatchingRuleByIndexWithinTheSetDecides) {
    const hwe_action_t host = value(1), net = value(2), any = value(3), other = value(4);
    BasicKey wide(5, 0, 0, 0), narrow(5, 6, 0x0a000000, 8), exact(5, 6, 0x0a000001, 32),
        other_set(6, 0, 0, 0);
    // Inserted out of index order; the lower index wins where both match.
    ASSERT_EQ(0u, hwe_ptn_otreeset_insert(eng_, t34_, &wide.v, 30, &any));
    ASSERT_EQ(0u, hwe_ptn_otreeset_insert(eng_, t34_, &narrow.v, 20, &net));
    ASSERT_EQ(0u, hwe_ptn_otreeset_insert(eng_, t34_, &exact.v, 10, &host));
    ASSERT_EQ(0u, hwe_ptn_otreeset_insert(eng_, t34_, &other_set.v, 1, &other));
    ASSERT_EQ(0u, hwe_ptn_otreeset_build(eng_, t34_, &wide.v));
    ASSERT_EQ(0u, hwe_ptn_otreeset_build(eng_, t34_, &other_set.v));
    struct Case {
        uint32_t set, proto, src, idx;
    } cases[] = {
        {5, 6, 0x0a000001, 10},            // all three match
        {5, 6, 0x0a000002, 20},            // the /8 and the wildcard
        {5, 17, 0x0a000001, 30},           // another protocol: only the wildcard
        {6, 6, 0x0a000001, 1},             // another set's rules
        {7, 6, 0x0a000001, ZEL_SIM_NO_RULE},  // no such set
    };
    for (const Case &c : cases) {
        hwe_action_t a{};
        EXPECT_EQ(c.idx, basic(c.set, c.proto, c.src, 0, &a)) << c.set << "/" << c.proto;
    }
}

// Tree 35: five patterns, the 24-bit association flow naming the set;
// each other field exact, a prefix or a wildcard on its own; a packet of
// a set that matches none of its rules gets the tree's default, the drop
// function.
TEST_F(RuleSetTest, EveryFieldOfAnAssociationFilterRuleIsAnIndependentPrefix) {
    const uint32_t t35 = id("zel_ip.ip_ingress_association_flow_filter");
    const hwe_action_t dflt = func(id("zel_ip.ip_association_flow_filter_drop")), pass{HWE_ACTION_NONE, 0, 0};
    struct Rule {
        uint32_t idx, l2, l2_bits, proto, proto_bits, sip, sip_bits, dip, dip_bits;
    };
    const uint32_t flow = 0xd00001;
    const Rule rules[] = {
        {1, 0x10, 24, 0, 0, 0, 0, 0, 0},                 // one interface
        {2, 0, 0, 6, 8, 0x0a000000, 8, 0, 0},            // TCP from 10/8
        {3, 0, 0, 0, 0, 0, 0, 0xc0000201, 32},           // to one host
        {4, 0, 0, 0, 0, 0x80000000, 1, 0x40000000, 2},   // 128/1 to 64/2
    };
    for (const Rule &r : rules) {
        Key f(24), l2(24), pr(8), sip(32), dip(32);
        f.add(flow, 24);
        if (r.l2_bits) l2.add(r.l2, 24);
        if (r.proto_bits) pr.add(r.proto, 8);
        if (r.sip_bits) sip.add(r.sip >> (32 - r.sip_bits), r.sip_bits);
        if (r.dip_bits) dip.add(r.dip >> (32 - r.dip_bits), r.dip_bits);
        zel_ptn_t ptns[5] = {*f.get(), *l2.get(), *pr.get(), *sip.get(), *dip.get()};
        zel_vptn_t v{5, ptns};
        ASSERT_EQ(0u, hwe_ptn_otreeset_insert(eng_, t35, &v, r.idx, &pass));
    }
    Key set(24);
    set.add(flow, 24);
    zel_vptn_t sv{1, set.get()};
    ASSERT_EQ(0u, hwe_ptn_otreeset_build(eng_, t35, &sv));
    struct Case {
        uint32_t flow, l2, proto, sip, dip, idx;
    } cases[] = {
        {flow, 0x10, 17, 0x01010101, 0x01010101, 1},
        {flow, 0x11, 6, 0x0affffff, 0x01010101, 2},
        {flow, 0x11, 6, 0x0b000000, 0xc0000201, 3},
        {flow, 0x11, 17, 0x90000000, 0x7fffffff, 4},
        {flow, 0x11, 17, 0x90000000, 0x80000000, ZEL_SIM_NO_RULE},  // DIP outside 64/2
        {flow + 1, 0x10, 6, 0x0a000001, 0xc0000201, ZEL_SIM_NO_RULE},  // another association
    };
    for (const Case &c : cases) {
        const uint32_t fields[] = {c.flow, c.l2, c.proto, c.sip, c.dip};
        hwe_action_t a{};
        uint32_t idx = 0;
        ASSERT_EQ(0u, zel_sim_engine_classify(eng_, t35, 5, fields, &a, &idx));
        EXPECT_EQ(c.idx, idx) << std::hex << c.sip << " " << c.dip;
        EXPECT_TRUE(same(c.idx == ZEL_SIM_NO_RULE ? dflt : pass, a)) << str(a);
    }
}

TEST_F(RuleSetTest, RangesMatchInclusivelyInAnOVtreeSet) {
    const hwe_action_t web = value(7, 1), dflt = value(7, 2);
    ASSERT_EQ(0u, ext_insert(3, 5, ext_ranges(6, 6, 80, 443), web));
    ASSERT_EQ(0u, ext_insert(3, 9, ext_ranges(0, 255, 0, 0xffff), dflt));
    ASSERT_EQ(0u, ext_build(3));
    hwe_action_t a{};
    EXPECT_EQ(5u, ext(3, 6, 80, &a));
    EXPECT_EQ(5u, ext(3, 6, 443, &a));
    EXPECT_EQ(9u, ext(3, 6, 444, &a));
    EXPECT_EQ(9u, ext(3, 17, 100, &a));
    EXPECT_EQ(ZEL_SIM_NO_RULE, ext(4, 6, 80, &a));
    EXPECT_TRUE(same(unknown_ruleset_, a));
}

// An OVtreeSet classifies by what its last build compiled (edits of every
// kind wait for the build); where sets of different key lengths cover the
// packet's set field, their rules are tried together by index.
TEST_F(RuleSetTest, AnOVtreeSetClassifiesByItsLastBuildAndMergesCoveringSetsByIndex) {
    const hwe_action_t web = value(7, 1), any = value(7, 2), web2 = value(7, 3), udp = value(7, 4),
                       wide = value(7, 5);
    ASSERT_EQ(0u, ext_insert(3, 5, ext_ranges(6, 6, 80, 443), web));
    ASSERT_EQ(0u, ext_insert(3, 9, ext_ranges(0, 255, 0, 0xffff), any));
    ASSERT_EQ(0u, ext_build(3));
    Key set3(8);
    set3.add(3, 8);
    ASSERT_EQ(0u, hwe_ptn_ovtreeset_modify(eng_, t36_, set3.get(), 5, &web2));
    ASSERT_EQ(0u, hwe_ptn_ovtreeset_delete(eng_, t36_, set3.get(), 9));
    ASSERT_EQ(0u, ext_insert(3, 7, ext_ranges(17, 17, 0, 0xffff), udp));
    struct Case {
        uint32_t set, proto, dport, idx;
        hwe_action_t action;
    };
    auto check = [&](const char *when, std::initializer_list<Case> cases) {
        for (const Case &c : cases) {
            hwe_action_t a{};
            EXPECT_EQ(c.idx, ext(c.set, c.proto, c.dport, &a)) << when << ": set " << c.set << " proto " << c.proto;
            EXPECT_TRUE(same(c.idx == ZEL_SIM_NO_RULE ? unknown_ruleset_ : c.action, a)) << when << ": " << str(a);
        }
    };
    check("edited, not built", {{3, 6, 80, 5, web}, {3, 17, 53, 9, any}, {3, 1, 0, 9, any}});
    ASSERT_EQ(0u, ext_build(3));
    check("built", {{3, 6, 80, 5, web2}, {3, 17, 53, 7, udp}, {3, 1, 0, ZEL_SIM_NO_RULE, {}}});

    // Sets 0 to 15 under one 4-bit key, its rule between set 3's two.
    Key low(8);
    low.add(0, 4);
    const auto all = ext_ranges(0, 255, 0, 0xffff);
    ASSERT_EQ(0u, hwe_ptn_ovtreeset_insert(eng_, t36_, low.get(), static_cast<uint32_t>(all.size()), all.data(), 6,
                                           &wide));
    ASSERT_EQ(0u, hwe_ptn_ovtreeset_build(eng_, t36_, low.get()));
    check("two sets cover 3", {{3, 6, 80, 5, web2}, {3, 17, 53, 6, wide}, {4, 6, 80, 6, wide},
                               {0x13, 6, 80, ZEL_SIM_NO_RULE, {}}});
    // A rebuild compiles every set as staged: nothing changes.
    ASSERT_EQ(0u, hwe_ptn_ovtreeset_rebuild(eng_, t36_));
    check("rebuilt", {{3, 6, 80, 5, web2}, {3, 17, 53, 6, wide}, {4, 6, 80, 6, wide}});
}

// Many sets under keys of every length from 0 to 8 bits (so a packet's set
// field is covered by several at once), against a naive oracle: the
// compiled rules of every set whose key covers the field, merged by rule
// index (equal indexes in set key order: shorter key first, then lower
// bits), first match.
TEST_F(RuleSetTest, CoveringSetsOfEveryKeyLengthMergeAsTheOracleSays) {
    struct OracleRule {
        uint32_t idx, proto_lo, proto_hi, dport_lo, dport_hi;
        hwe_action_t action;
    };
    std::map<std::pair<uint32_t, uint32_t>, std::vector<OracleRule>> sets;  // (len, bits)
    std::mt19937 g(25);
    for (int n = 0; n < 40; ++n) {
        const uint32_t len = g() % 9;
        const uint32_t bits = len ? g() % (1u << len) : 0;
        std::vector<OracleRule> &rules = sets[{len, bits}];
        if (!rules.empty()) continue;
        Key k(8);
        k.add(bits, len);
        for (uint32_t r = 0; r < 1 + g() % 4; ++r) {
            const uint32_t idx = g() % 24;  // collide across sets, not within one
            if (std::any_of(rules.begin(), rules.end(), [&](const OracleRule &o) { return o.idx == idx; }))
                continue;
            uint32_t plo = g() % 20, phi = plo + g() % 8, dlo = g() % 100, dhi = dlo + g() % 60;
            OracleRule o{idx, plo, phi, dlo, dhi, value(1000 + n, idx)};
            const auto ranges = ext_ranges(plo, phi, dlo, dhi);
            ASSERT_EQ(0u, hwe_ptn_ovtreeset_insert(eng_, t36_, k.get(), static_cast<uint32_t>(ranges.size()),
                                                   ranges.data(), idx, &o.action));
            rules.push_back(o);
        }
        ASSERT_EQ(0u, hwe_ptn_ovtreeset_build(eng_, t36_, k.get()));
    }
    for (int n = 0; n < 3000; ++n) {
        const uint32_t set = g() % 256, proto = g() % 30, dport = g() % 170;
        std::vector<const OracleRule *> merged;
        for (const auto &[key, rules] : sets)  // map order: by length, then bits
            if (key.first == 0 || set >> (8 - key.first) == key.second)
                for (const OracleRule &o : rules) merged.push_back(&o);
        std::stable_sort(merged.begin(), merged.end(),
                         [](const OracleRule *a, const OracleRule *b) { return a->idx < b->idx; });
        const OracleRule *want = nullptr;
        for (const OracleRule *o : merged)
            if (o->proto_lo <= proto && proto <= o->proto_hi && o->dport_lo <= dport && dport <= o->dport_hi) {
                want = o;
                break;
            }
        hwe_action_t a{};
        const uint32_t idx = ext(set, proto, dport, &a);
        ASSERT_EQ(want ? want->idx : ZEL_SIM_NO_RULE, idx) << "set " << set << " proto " << proto << " dport " << dport;
        EXPECT_TRUE(same(want ? want->action : unknown_ruleset_, a)) << "set " << set << ": " << str(a);
    }
}

// A set's first match against a naive reading of every range, rule by
// rule in index order: rules on every field of an extended filter, each
// range whole-width (which a classification may skip), one short of it
// at either end, a single value or random; packets with values at and
// around the rules' bounds, and values above their field's width, which a
// whole-width range refuses as any other does.
TEST_F(RuleSetTest, AnOVtreeSetMatchesAsEveryRangeReadInIndexOrder) {
    static constexpr uint32_t kWidths[] = {8, 2, 8, 32, 32, 16, 16};
    struct Rule {
        uint32_t idx;
        std::vector<zel_rptn_t> r;
        hwe_action_t action;
    };
    std::mt19937 g(2511);
    auto top = [](uint32_t w) { return w == 32 ? 0xffffffffu : (1u << w) - 1; };
    std::map<uint32_t, std::vector<Rule>> sets;
    for (uint32_t set = 1; set <= 3; ++set) {
        std::vector<Rule> &rules = sets[set];
        for (uint32_t j = 0; j < 60; ++j) {
            Rule x{10 * (j + 1) + static_cast<uint32_t>(g() % 10), {}, value(set, j)};
            for (uint32_t w : kWidths) {
                const uint32_t t = top(w), a = static_cast<uint32_t>(g()) & t, b = static_cast<uint32_t>(g()) & t;
                switch (g() % 6) {
                    case 0: case 1: x.r.push_back({w, 0, t}); break;
                    case 2: x.r.push_back({w, 0, t - 1}); break;
                    case 3: x.r.push_back({w, 1, t}); break;
                    case 4: x.r.push_back({w, a, a}); break;
                    default: x.r.push_back({w, std::min(a, b), std::max(a, b)}); break;
                }
            }
            ASSERT_EQ(0u, ext_insert(set, x.idx, x.r, x.action));
            rules.push_back(x);
        }
        ASSERT_EQ(0u, ext_build(set));
        std::sort(rules.begin(), rules.end(), [](const Rule &a, const Rule &b) { return a.idx < b.idx; });
    }
    for (int n = 0; n < 20000; ++n) {
        const uint32_t set = 1 + g() % 3;
        const std::vector<Rule> &rules = sets[set];
        uint32_t v[8] = {set};
        for (uint32_t f = 0; f < 7; ++f) {
            const zel_rptn_t &near = rules[g() % rules.size()].r[f];
            const uint32_t t = top(kWidths[f]);
            switch (g() % 8) {
                case 0: v[f + 1] = near.lo; break;
                case 1: v[f + 1] = near.hi; break;
                case 2: v[f + 1] = near.lo - 1; break;
                case 3: v[f + 1] = near.hi + 1; break;
                case 4: v[f + 1] = g() % 40 == 0 ? t + 1 + static_cast<uint32_t>(g() % 3) : 0; break;  // wider, or 0
                default: v[f + 1] = static_cast<uint32_t>(g()) & t; break;
            }
        }
        const Rule *want = nullptr;
        for (const Rule &x : rules) {
            bool m = true;
            for (uint32_t f = 0; m && f < 7; ++f) m = x.r[f].lo <= v[f + 1] && v[f + 1] <= x.r[f].hi;
            if (m) {
                want = &x;
                break;
            }
        }
        hwe_action_t a{};
        uint32_t idx = 0;
        ASSERT_EQ(0u, zel_sim_engine_classify(eng_, t36_, 8, v, &a, &idx));
        ASSERT_EQ(want ? want->idx : ZEL_SIM_NO_RULE, idx)
            << "set " << set << " values " << v[1] << " " << v[2] << " " << v[3] << " " << v[4] << " " << v[5]
            << " " << v[6] << " " << v[7];
        EXPECT_TRUE(same(want ? want->action : unknown_ruleset_, a)) << str(a);
    }
}

// Without a key layout the rules of a set may have different range
// counts: a rule matches only values as many as its ranges (and the set
// field), so a packet of either shape finds the first rule of its own.
TEST(RuleSetNoLayout, RulesOfOtherRangeCountsNeverMatch) {
    zel_sim_image_t *img = zel_sim_image_default();
    ASSERT_NE(nullptr, img);
    ASSERT_EQ(0, zel_sim_image_add_tree(img, "t.free", 0, ZEL_SIM_TREE_OVTREESET));
    hwe_engine_t *eng = zel_sim_engine_create(img);
    zel_sim_image_free(img);
    ASSERT_NE(nullptr, eng);
    uint32_t tree = 0;
    ASSERT_EQ(0, zel_sim_engine_symbol_id(eng, "t.free", &tree));
    Key set(8);
    set.add(1, 8);
    const zel_rptn_t one[] = {{16, 0, 0xffff}}, two[] = {{16, 0, 0xffff}, {8, 5, 5}},
                     any2[] = {{16, 0, 0xffff}, {8, 0, 255}};
    const hwe_action_t a1 = value(1), a2 = value(2), a3 = value(3);
    ASSERT_EQ(0u, hwe_ptn_ovtreeset_insert(eng, tree, set.get(), 2, two, 10, &a2));
    ASSERT_EQ(0u, hwe_ptn_ovtreeset_insert(eng, tree, set.get(), 1, one, 20, &a1));
    ASSERT_EQ(0u, hwe_ptn_ovtreeset_insert(eng, tree, set.get(), 2, any2, 30, &a3));
    ASSERT_EQ(0u, hwe_ptn_ovtreeset_build(eng, tree, set.get()));
    struct Case {
        std::vector<uint32_t> v;
        uint32_t idx;
    };
    const Case cases[] = {
        {{1, 80}, 20},           // one range: rule 20, the first of its shape
        {{1, 80, 5}, 10},        // two ranges: rule 10
        {{1, 80, 6}, 30},        // two ranges, rule 10 refuses the second
        {{1, 0x10000}, ZEL_SIM_NO_RULE},  // wider than the range's 16 bits
        {{1, 80, 6, 7}, ZEL_SIM_NO_RULE},  // no rule has three ranges
    };
    for (const Case &c : cases) {
        hwe_action_t a{};
        uint32_t idx = 0;
        ASSERT_EQ(0u, zel_sim_engine_classify(eng, tree, static_cast<uint32_t>(c.v.size()), c.v.data(), &a, &idx));
        EXPECT_EQ(c.idx, idx) << c.v.size() << " values, " << c.v[1];
    }
    zel_sim_engine_destroy(eng);
}

TEST_F(RuleSetTest, UsedOrAbsentRuleIndexesAreRefused) {
    const hwe_action_t a = value(1);
    Key set3(8), set4(8);
    set3.add(3, 8);
    set4.add(4, 8);
    BasicKey b(5, 0, 0, 0);
    ASSERT_EQ(0u, ext_insert(3, 1, ext_ranges(0, 255, 0, 0xffff), a));
    ASSERT_EQ(0u, hwe_ptn_otreeset_insert(eng_, t34_, &b.v, 1, &a));
    EXPECT_EQ(HWE_E_RULE_INDEX, ext_insert(3, 1, ext_ranges(6, 6, 0, 0xffff), a));
    EXPECT_EQ(0u, ext_insert(4, 1, ext_ranges(6, 6, 0, 0xffff), a));  // indexes are per set
    EXPECT_EQ(HWE_E_RULE_INDEX, hwe_ptn_ovtreeset_modify(eng_, t36_, set3.get(), 2, &a));
    EXPECT_EQ(HWE_E_RULE_INDEX, hwe_ptn_ovtreeset_delete(eng_, t36_, set3.get(), 2));
    EXPECT_EQ(HWE_E_RULE_INDEX, hwe_ptn_otreeset_insert(eng_, t34_, &b.v, 1, &a));
    EXPECT_EQ(HWE_E_RULE_INDEX, hwe_ptn_otreeset_modify(eng_, t34_, &b.v, 2, &a));
    EXPECT_EQ(HWE_E_RULE_INDEX, hwe_ptn_otreeset_delete(eng_, t34_, &b.v, 2));
    EXPECT_EQ(3u, zel_sim_engine_entry_count(eng_, t36_) + zel_sim_engine_entry_count(eng_, t34_));
}

TEST_F(RuleSetTest, ABuildPastTheThresholdAsksForARebuildAndCompilesNothing) {
    ASSERT_EQ(0u, zel_sim_engine_set_rebuild_threshold(eng_, t36_, 2));
    const hwe_action_t a = value(1);
    for (uint32_t i = 1; i <= 3; ++i) ASSERT_EQ(0u, ext_insert(3, i, ext_ranges(i, i, 0, 0xffff), a));
    ASSERT_EQ(0u, ext_insert(4, 1, ext_ranges(9, 9, 0, 0xffff), a));
    hwe_action_t got{};
    EXPECT_EQ(HWE_E_REBUILD, ext_build(3));
    EXPECT_EQ(ZEL_SIM_NO_RULE, ext(3, 1, 0, &got));
    EXPECT_EQ(0u, ext_build(4));  // one edit: within the threshold
    EXPECT_EQ(1u, ext(4, 9, 0, &got));
    // The rebuild compiles every set; the counts start again.
    ASSERT_EQ(0u, ext_insert(4, 2, ext_ranges(8, 8, 0, 0xffff), a));
    ASSERT_EQ(0u, hwe_ptn_ovtreeset_rebuild(eng_, t36_));
    EXPECT_EQ(3u, ext(3, 3, 0, &got));
    EXPECT_EQ(2u, ext(4, 8, 0, &got));
    EXPECT_EQ(0u, ext_build(3));
}

TEST_F(RuleSetTest, KeysOutsideTheTreeLayoutAreRefused) {
    const hwe_action_t a = value(1);
    auto ranges = ext_ranges(0, 255, 0, 0xffff);
    auto few = ranges;
    few.pop_back();
    auto wrong_width = ranges;
    wrong_width[0].width = 6;
    auto too_high = ranges;
    too_high[1].hi = 4;  // FRAG-TYPE is 2 bits
    auto upside_down = ranges;
    upside_down[2] = {8, 17, 6};
    for (const auto *r : {&few, &wrong_width, &too_high, &upside_down})
        EXPECT_EQ(HWE_E_KEY, ext_insert(3, 1, *r, a));
    Key wide_set(16);
    wide_set.add(3, 16);
    EXPECT_EQ(HWE_E_KEY, hwe_ptn_ovtreeset_insert(eng_, t36_, wide_set.get(), 7, ranges.data(), 1, &a));

    BasicKey three(5, 6, 0, 0);
    three.v.count = 3;
    EXPECT_EQ(HWE_E_KEY, hwe_ptn_otreeset_insert(eng_, t34_, &three.v, 1, &a));
    EXPECT_EQ(HWE_E_PARAM, hwe_ptn_otreeset_insert(eng_, t36_, &three.v, 1, &a));  // wrong kind
    EXPECT_EQ(0u, zel_sim_engine_entry_count(eng_, t36_) + zel_sim_engine_entry_count(eng_, t34_));
}

struct ListedRule {
    uint32_t idx, set, kind, w1;
};

TEST_F(RuleSetTest, ListingGivesStagedRulesBySetThenIndex) {
    const hwe_action_t v = value(0x0abcde, 1), f = func(id("zel_ip.ip_filter_unknown_ruleset"));
    ASSERT_EQ(0u, ext_insert(4, 2, ext_ranges(6, 6, 0, 0xffff), v));
    ASSERT_EQ(0u, ext_insert(3, 9, ext_ranges(6, 6, 0, 0xffff), f));
    ASSERT_EQ(0u, ext_insert(3, 1, ext_ranges(17, 17, 53, 53), v));
    std::vector<ListedRule> seen;
    auto cb = [](void *ctx, uint32_t idx, const zel_ptn_t *set, uint32_t n, const zel_rptn_t *r,
                 const hwe_action_t *a) -> uint32_t {
        EXPECT_EQ(7u, n);
        EXPECT_EQ(8u, set->len);
        uint32_t set_id = 0, w = 8;
        EXPECT_EQ(0u, zel_ptn_parse(set, 1, &w, &set_id));
        if (idx == 1) {
            EXPECT_EQ(53u, r[6].lo);
        }
        static_cast<std::vector<ListedRule> *>(ctx)->push_back({idx, set_id, a->kind, a->w1});
        return 0;
    };
    ASSERT_EQ(0u, hwe_ptn_ovtreeset_list_rules(eng_, t36_, cb, &seen));
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(3u, seen[0].set);
    EXPECT_EQ(1u, seen[0].idx);
    EXPECT_EQ(HWE_ACTION_NONE, seen[0].kind);  // value entries are listed as kind 0
    EXPECT_EQ(0x0abcdeu, seen[0].w1);
    EXPECT_EQ(9u, seen[1].idx);
    EXPECT_EQ(HWE_ACTION_FUNC, seen[1].kind);
    EXPECT_EQ(4u, seen[2].set);

    BasicKey b(5, 6, 0x0a000000, 8);
    ASSERT_EQ(0u, hwe_ptn_otreeset_insert(eng_, t34_, &b.v, 4, &v));
    uint32_t lens = 0;
    auto vcb = [](void *ctx, uint32_t idx, const zel_vptn_t *key, const hwe_action_t *) -> uint32_t {
        EXPECT_EQ(4u, idx);
        EXPECT_EQ(4u, key->count);
        *static_cast<uint32_t *>(ctx) = key->ptns[0].len << 24 | key->ptns[1].len << 16 |
                                        key->ptns[2].len << 8 | key->ptns[3].len;
        return 0;
    };
    ASSERT_EQ(0u, hwe_ptn_otreeset_list_vrules(eng_, t34_, vcb, &lens));
    EXPECT_EQ(0x08080800u, lens);
}

}  // namespace
