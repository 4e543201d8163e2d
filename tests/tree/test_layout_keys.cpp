// Key layouts: what the codecs build is what the engine is keyed by, and
// what a dump reads back from a listed key is what was built, including
// the outcomes a dump turns into its markers.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tree/zel_ip_hw_catalogue.h"
#include "tree/zel_ip_layout.h"
#include "zel_sim.h"

using namespace zel::ip;
using namespace zel::ip::layout;

namespace {

// A key pattern of `width` bits that frees itself.
class Ptn {
public:
    explicit Ptn(uint32_t width) { EXPECT_EQ(zel_ptn_new(width, &p_), 0u); }
    ~Ptn() { zel_ptn_free(&p_); }
    Ptn(const Ptn &) = delete;
    Ptn &operator=(const Ptn &) = delete;

    // Builds a spec the way the tree layer's key builder does.
    uint32_t build(const KeySpec &k) {
        uint32_t st = zel_ptn_clear(&p_);
        for (uint32_t i = 0; i < k.n; ++i) st += zel_ptn_extend(&p_, k.f[i].value, k.f[i].bits);
        return st;
    }
    // Raw fields, for keys no codec would build.
    Ptn &raw(std::initializer_list<KeyField> fields) {
        EXPECT_EQ(zel_ptn_clear(&p_), 0u);
        for (const KeyField &f : fields) EXPECT_EQ(zel_ptn_extend(&p_, f.value, f.bits), 0u);
        return *this;
    }
    // The specified bits split into fields of the given widths.
    std::vector<uint32_t> split(std::vector<uint32_t> widths) const {
        std::vector<uint32_t> v(widths.size());
        EXPECT_EQ(zel_ptn_parse(&p_, static_cast<uint32_t>(widths.size()), widths.data(), v.data()), 0u);
        return v;
    }
    zel_ptn_t *get() { return &p_; }

private:
    zel_ptn_t p_{};
};

// The layouts and the catalogue are written independently: their widths
// must agree for every tree.
TEST(KeyLayout, WidthsAgreeWithTheCatalogue) {
    for (uint32_t t = 0; t < kNumTrees; ++t) {
        SCOPED_TRACE(kTreeCatalogue[t].name);
        const KeyLayout &lay = key_layout(t);
        if (is_rule_set_tree(t)) {
            EXPECT_EQ(kTreeCatalogue[t].width, 0u);
            EXPECT_EQ(lay.nfields, 0u);
            EXPECT_TRUE(vector_layout(t) || range_layout(t));
            continue;
        }
        EXPECT_EQ(lay.width, kTreeCatalogue[t].width);
        if (t == kTreeIngressAssocFlow) continue;
        uint32_t sum = 0;
        for (uint32_t i = 0; i < lay.nfields; ++i) sum += lay.fields[i].width;
        EXPECT_EQ(sum, kTreeCatalogue[t].width);
    }
    // Tree 8: MASK plus the widest legal selection (every field but INTF).
    uint32_t widest = kAssocMaskBits;
    for (uint32_t i = 0; i < kAfCount; ++i)
        if (i != kAfIntf) widest += kAssocFields[i].field.width;
    EXPECT_EQ(widest, kTreeCatalogue[kTreeIngressAssocFlow].width);
}

// Field order and bit positions, checked against the raw key bits.
TEST(KeyLayout, FieldsLandInKeyOrderMostSignificantFirst) {
    struct Case {
        const char *what;
        KeySpec spec;
        std::vector<uint32_t> split;     // widths to read the raw key with
        std::vector<uint32_t> expected;  // raw field values
    };
    const Case cases[] = {
        {"route 10.1.0.0/16 in VRD 5", vrd_prefix_key(5, 0x0a010000, 16), {22}, {(5u << 16) | 0x0a01}},
        {"default route of VRD 63", vrd_prefix_key(63, 0x01020304, 0), {6}, {63}},
        {"host route", vrd_prefix_key(1, 0xc0000201, 32), {6, 32}, {1, 0xc0000201}},
        {"exception domain 2 type 5", key_spec(kTreeException, {2, 5}, 6), {6}, {0x25}},
        {"NAPT address and port", key_spec(kTreeNapt, {0x0a000001, 8080}, 48), {32, 16}, {0x0a000001, 8080}},
        {"NAPT address only", key_spec(kTreeNapt, {0x0a000001, 8080}, 32), {32}, {0x0a000001}},
        {"egress flow, any next hop", key_spec(kTreeEgressFlow, {0x1234, 0x0a000001}, 16), {16}, {0x1234}},
        {"capture egress traffic manager", key_spec(kTreeCaptureCpuPathParam, {0x100, 1, 1}, 18), {18},
         {(0x100u << 2) | 3}},
        {"filter flow key", key_spec(kTreeFilterCpuPathParam, {0xabcdef, 9}, 28), {28}, {0xabcdef9}},
        {"interface subnet /20", key_spec(kTreeIntfSipMtu, {0x101, 0xc0a81234}, 36), {16, 20},
         {0x101, 0xc0a81}},
        {"tunnel pair", key_spec(kTreeTunnelIf, {3, 47, 0x01020304, 0x05060708}, 78), {6, 8, 32, 32},
         {3, 47, 0x01020304, 0x05060708}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(c.spec.ok);
        Ptn p(117);
        ASSERT_EQ(p.build(c.spec), 0u);
        EXPECT_EQ(p.split(c.split), c.expected);
    }
}

// What is built reads back as the same fields (values aligned to the full
// field width, prefixes with their bit counts).
TEST(KeyLayout, DecodeReadsBackWhatWasBuilt) {
    struct Case {
        uint32_t tree;
        KeySpec spec;
        std::vector<FieldValue> fields;
    };
    const Case cases[] = {
        {kTreeDestAddr, vrd_prefix_key(7, 0x0a01ffff, 16), {{7, 6, true}, {0x0a010000, 16, true}}},
        {kTreeDestAddr, vrd_prefix_key(7, 0x0a01ffff, 0), {{7, 6, true}, {0, 0, true}}},
        {kTreeSrcAddr, vrd_prefix_key(0, 0xffffffff, 32), {{0, 6, true}, {0xffffffff, 32, true}}},
        {kTreeSrcAddr, vrd_prefix_key(2, 0xe0000000, 4), {{2, 6, true}, {0xe0000000, 4, true}}},
        {kTreeNapt, key_spec(kTreeNapt, {0x0a000001, 53}, 32), {{0x0a000001, 32, true}, {0, 0, true}}},
        {kTreeDscpQos, key_spec(kTreeDscpQos, {0x42, 0xb8}, 24), {{0x42, 16, true}, {0xb8, 8, true}}},
        {kTreeIfDscpPcp, key_spec(kTreeIfDscpPcp, {0x42, 0xb8}, 16), {{0x42, 16, true}, {0, 0, true}}},
        {kTreeExceptionPathParam, key_spec(kTreeExceptionPathParam, {3, 15}, 6),
         {{3, 2, true}, {15, 4, true}}},
        {kTreeLoPbrPolicySet, key_spec(kTreeLoPbrPolicySet, {62}, 6), {{62, 6, true}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(kTreeCatalogue[c.tree].name);
        Ptn p(kTreeCatalogue[c.tree].width);
        ASSERT_EQ(p.build(c.spec), 0u);
        DecodedKey d = key_decode(c.tree, p.get());
        ASSERT_EQ(d.status, KeyStatus::kOk);
        ASSERT_EQ(d.nfields, c.fields.size());
        for (size_t i = 0; i < c.fields.size(); ++i) {
            EXPECT_EQ(d.f[i].value, c.fields[i].value) << "field " << i;
            EXPECT_EQ(d.f[i].bits, c.fields[i].bits) << "field " << i;
            EXPECT_TRUE(d.f[i].selected);
        }
    }
    // The catch-all reads as every field a wildcard.
    Ptn p(38);
    ASSERT_EQ(p.build(key_spec(kTreeDestAddr, {0, 0}, 0)), 0u);
    DecodedKey d = key_decode(kTreeDestAddr, p.get());
    EXPECT_EQ(d.status, KeyStatus::kOk);
    EXPECT_TRUE(d.catch_all());
    EXPECT_EQ(d.f[0].bits + d.f[1].bits, 0);
}

// Lengths a tree does not accept: the builder refuses them and a listed
// key of such a length reads as unexpected.
TEST(KeyLayout, LengthsATreeDoesNotAcceptAreRefusedBothWays) {
    struct Case {
        uint32_t tree;
        uint32_t len;
    };
    const Case refused[] = {
        {kTreeDestAddr, 5},        // VRD-ID cut
        {kTreeNapt, 40},           // port cut
        {kTreeNapt, 16},           // address is whole, not a prefix
        {kTreeEgressFlow, 20},     // next hop is whole or absent
        {kTreeTunnelIf, 6},        // only the full key
        {kTreeCaptureCpuPathParam, 17},
        {kTreeIntfIngressFlags, 8},
        {kTreeDestAddr, 39},       // longer than the key
    };
    for (const Case &c : refused) {
        SCOPED_TRACE(::testing::Message() << kTreeCatalogue[c.tree].name << " L=" << c.len);
        const KeyLayout &lay = key_layout(c.tree);
        std::vector<uint32_t> vals(lay.nfields, 0);
        EXPECT_FALSE(key_spec(lay, vals.data(), lay.nfields, c.len).ok);
        if (c.len > lay.width) continue;
        Ptn p(lay.width);
        p.raw({});
        for (uint32_t left = c.len; left;) {
            uint32_t w = left > 32 ? 32 : left;
            EXPECT_EQ(zel_ptn_extend(p.get(), 0, w), 0u);
            left -= w;
        }
        EXPECT_EQ(key_decode(c.tree, p.get()).status, KeyStatus::kUnexpectedLength);
    }
    // A value list that does not match the layout is not a key either.
    EXPECT_FALSE(key_spec(kTreeNapt, {1}, 32).ok);
    EXPECT_FALSE(vrd_prefix_key(64, 0, 0).ok);
    EXPECT_FALSE(vrd_prefix_key(1, 0, 33).ok);
    // Rule-set trees have no single key to read.
    Ptn p(8);
    EXPECT_EQ(key_decode(kTreeExtFilter, p.get()).status, KeyStatus::kParseError);
}

// ---- tree 8 --------------------------------------------------------------

AssocKey assoc(std::initializer_list<std::pair<AssocField, std::pair<uint32_t, uint8_t>>> fields) {
    AssocKey k{};
    for (const auto &[f, vb] : fields) {
        k.value[f] = vb.first;
        k.bits[f] = vb.second;
    }
    return k;
}

// Fields appear only when selected, in key order, after the MASK; a cut
// DIP ends the key and every later selected field reads as a wildcard.
TEST(AssocKeyLayout, SelectedFieldsFollowTheMaskAndACutPrefixEndsTheKey) {
    const uint8_t tm = kTmVrd | kTmProto | kTmDip | kTmDport | kTmSip | kTmSport;  // 0x7D
    AssocKey k = assoc({{kAfVrd, {3, 6}}, {kAfProto, {17, 8}}, {kAfDip, {0x0a01f000, 20}}});
    KeySpec spec = assoc_key_spec(tm, k);
    ASSERT_TRUE(spec.ok);
    Ptn p(117);
    ASSERT_EQ(p.build(spec), 0u);
    EXPECT_EQ(p.get()->len, 7u + 6 + 8 + 20);
    EXPECT_EQ(p.split({7, 6, 8, 20}), (std::vector<uint32_t>{tm, 3, 17, 0x0a01f}));

    DecodedKey d = key_decode(kTreeIngressAssocFlow, p.get());
    ASSERT_EQ(d.status, KeyStatus::kOk);
    EXPECT_EQ(d.mask, tm);
    EXPECT_FALSE(d.f[kAfIntf].selected);
    EXPECT_EQ(d.f[kAfVrd].value, 3u);
    EXPECT_EQ(d.f[kAfProto].value, 17u);
    EXPECT_EQ(d.f[kAfDip].value, 0x0a01f000u);
    EXPECT_EQ(d.f[kAfDip].bits, 20);
    for (AssocField f : {kAfDport, kAfSip, kAfSport}) {
        EXPECT_TRUE(d.f[f].selected) << int(f);
        EXPECT_EQ(d.f[f].bits, 0) << int(f);
    }

    // A field specified after the cut cannot be expressed by the key.
    AssocKey bad = k;
    bad.value[kAfDport] = 53;
    bad.bits[kAfDport] = 16;
    EXPECT_FALSE(assoc_key_spec(tm, bad).ok);
    // Nor a whole field given in part, nor a mask wider than 7 bits.
    EXPECT_FALSE(assoc_key_spec(kTmProto, assoc({{kAfProto, {6, 4}}})).ok);
    EXPECT_FALSE(assoc_key_spec(0x80, AssocKey{}).ok);
}

// An interface-keyed association: no VRD-ID, the interface in full.
TEST(AssocKeyLayout, InterfaceAndDipRoundTrip) {
    AssocKey k = assoc({{kAfIntf, {0x1234, 16}}, {kAfDip, {0xc0a80000, 16}}});
    Ptn p(117);
    ASSERT_EQ(p.build(assoc_key_spec(kTmIntf | kTmDip, k)), 0u);
    DecodedKey d = key_decode(kTreeIngressAssocFlow, p.get());
    ASSERT_EQ(d.status, KeyStatus::kOk);
    EXPECT_FALSE(d.f[kAfVrd].selected);
    EXPECT_EQ(d.f[kAfIntf].value, 0x1234u);
    EXPECT_EQ(d.f[kAfIntf].bits, 16);
    EXPECT_FALSE(d.f[kAfProto].selected);
    EXPECT_EQ(d.f[kAfDip].value, 0xc0a80000u);
    EXPECT_EQ(d.f[kAfDip].bits, 16);
    for (AssocField f : {kAfDport, kAfSip, kAfSport}) EXPECT_FALSE(d.f[f].selected) << int(f);
}

// The widest key: every field exact, 117 bits.
TEST(AssocKeyLayout, FullKeyRoundTrips) {
    AssocKey k = assoc({{kAfVrd, {63, 6}},
                        {kAfProto, {6, 8}},
                        {kAfDip, {0xdeadbeef, 32}},
                        {kAfDport, {0xfffe, 16}},
                        {kAfSip, {0x01020304, 32}},
                        {kAfSport, {1, 16}}});
    Ptn p(117);
    ASSERT_EQ(p.build(assoc_key_spec(0x7d, k)), 0u);
    EXPECT_EQ(p.get()->len, 117u);
    DecodedKey d = key_decode(kTreeIngressAssocFlow, p.get());
    ASSERT_EQ(d.status, KeyStatus::kOk);
    for (uint32_t f = 0; f < kAfCount; ++f) {
        if (f == kAfIntf) continue;
        EXPECT_EQ(d.f[f].value, k.value[f]) << f;
        EXPECT_EQ(d.f[f].bits, kAssocFields[f].field.width) << f;
    }
}

// Keys no codec builds but a dump may meet: a whole field cut short (which
// field), a remainder beyond the selected fields, a key shorter than the
// MASK.
TEST(AssocKeyLayout, MalformedKeysReadAsTheirOutcome) {
    struct Case {
        const char *what;
        std::vector<KeyField> fields;
        KeyStatus status;
        uint8_t bad_field;
    };
    std::vector<Case> cases;
    for (uint32_t r = 1; r <= 5; ++r)
        cases.push_back({"VRD-ID cut", {{kTmVrd | kTmDip, 7}, {0, r}}, KeyStatus::kBadFieldWidth, kAfVrd});
    cases.push_back({"INTF-ID cut", {{kTmIntf | kTmDip, 7}, {0x12, 10}}, KeyStatus::kBadFieldWidth, kAfIntf});
    cases.push_back({"PROTO cut", {{kTmVrd | kTmProto, 7}, {1, 6}, {3, 4}}, KeyStatus::kBadFieldWidth, kAfProto});
    cases.push_back({"DPORT cut", {{0x35, 7}, {1, 6}, {6, 8}, {0x0a000001, 32}, {80, 8}},
                     KeyStatus::kBadFieldWidth, kAfDport});
    cases.push_back({"SPORT cut", {{0x7d, 7}, {1, 6}, {6, 8}, {1, 32}, {80, 16}, {2, 32}, {1, 15}},
                     KeyStatus::kBadFieldWidth, kAfSport});
    cases.push_back({"bits beyond the fields", {{kTmVrd, 7}, {1, 6}, {0, 3}}, KeyStatus::kUnexpectedLength, 0});
    cases.push_back({"no field selected", {{0, 7}, {0, 1}}, KeyStatus::kUnexpectedLength, 0});
    cases.push_back({"shorter than the MASK", {{1, 5}}, KeyStatus::kParseError, 0});
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.what << " L=" << [&] {
            uint32_t n = 0;
            for (auto &f : c.fields) n += f.bits;
            return n;
        }());
        Ptn p(117);
        EXPECT_EQ(zel_ptn_clear(p.get()), 0u);
        for (const KeyField &f : c.fields) ASSERT_EQ(zel_ptn_extend(p.get(), f.value, f.bits), 0u);
        DecodedKey d = key_decode(kTreeIngressAssocFlow, p.get());
        EXPECT_EQ(d.status, c.status);
        if (c.status == KeyStatus::kBadFieldWidth) {
            EXPECT_EQ(d.bad_field, c.bad_field);
        }
    }
}

// The engine reads a tree-8 key the codec built the way the association
// lookup means it: a DIP/20 with nothing after it matches every DPORT, SIP
// and SPORT of that domain and protocol, and nothing outside the prefix.
TEST(AssocKeyLayout, EngineMatchesEverythingAfterACutPrefix) {
    zel_sim_image_t *img = zel_sim_image_default();
    hwe_engine_t *eng = zel_sim_engine_create(img);
    zel_sim_image_free(img);
    ASSERT_NE(eng, nullptr);
    uint32_t tree = 0;
    ASSERT_EQ(zel_sim_engine_symbol_id(eng, kTreeCatalogue[kTreeIngressAssocFlow].name, &tree), 0);

    const uint8_t tm = 0x7d;
    Ptn p(117);
    ASSERT_EQ(p.build(assoc_key_spec(tm, assoc({{kAfVrd, {9, 6}}, {kAfProto, {17, 8}},
                                                {kAfDip, {0x0a010000, 20}}}))),
              0u);
    const hwe_action_t flow = value_entry(1u << 21, 0x123456);
    ASSERT_EQ(hwe_ptn_learn(eng, tree, p.get(), &flow), 0u);

    const uint32_t widths[] = {7, 6, 8, 32, 16, 32, 16};
    struct Probe {
        uint32_t dip, dport, sip, sport;
        bool hit;
    };
    const Probe probes[] = {
        {0x0a010001, 1, 0x01010101, 2, true},      {0x0a010fff, 65535, 0xffffffff, 0, true},
        {0x0a01f000, 53, 0, 53, false},            {0x0a001000, 53, 0, 53, false},
    };
    for (const Probe &pr : probes) {
        const uint32_t values[] = {tm, 9, 17, pr.dip, pr.dport, pr.sip, pr.sport};
        hwe_action_t got{};
        uint32_t depth = 0;
        ASSERT_EQ(zel_sim_engine_lookup_fields(eng, tree, 7, values, widths, &got, &depth), 0u);
        EXPECT_EQ(got.w2 == 0x123456 && got.w1 == flow.w1, pr.hit) << std::hex << pr.dip;
    }
    zel_sim_engine_destroy(eng);
}

// ---- rule-set keys -------------------------------------------------------

TEST(RuleSetKeyLayout, BasicFilterVectorRoundTripsAndBadShapesAreNamed) {
    const VectorLayout &lay = *vector_layout(kTreeInBasicFilter);
    zel_ptn_t ptns[kMaxVectorFields]{};
    ASSERT_EQ(vector_key_new(lay, ptns), 0u);
    const uint32_t vals[] = {5, 6, 0x0a0a0000, 0xc0a80101};
    const uint8_t bits[] = {8, 0, 16, 32};
    ASSERT_EQ(vector_key_fill(lay, ptns, vals, bits), 0u);
    zel_vptn_t v{lay.nfields, ptns};
    DecodedVector d = vector_key_decode(kTreeInBasicFilter, v);
    ASSERT_EQ(d.status, RuleKeyStatus::kOk);
    EXPECT_EQ(d.f[0].value, 5u);
    EXPECT_EQ(d.f[1].bits, 0);  // any protocol
    EXPECT_EQ(d.f[2].value, 0x0a0a0000u);
    EXPECT_EQ(d.f[2].bits, 16);
    EXPECT_EQ(d.f[3].value, 0xc0a80101u);

    // A protocol given in part cannot be built.
    const uint8_t half_proto[] = {8, 4, 0, 0};
    EXPECT_EQ(vector_key_fill(lay, ptns, vals, half_proto), ZEL_E_INVALID_PARAM);

    // Listed rules of the wrong shape: pattern count, set key, a field.
    EXPECT_EQ(vector_key_decode(kTreeInBasicFilter, zel_vptn_t{3, ptns}).status, RuleKeyStatus::kWrongCount);
    ASSERT_EQ(zel_ptn_clear(&ptns[1]), 0u);
    ASSERT_EQ(zel_ptn_extend(&ptns[1], 3, 4), 0u);
    d = vector_key_decode(kTreeInBasicFilter, v);
    EXPECT_EQ(d.status, RuleKeyStatus::kBadField);
    EXPECT_EQ(d.bad_field, 1);
    EXPECT_EQ(d.f[3].value, 0xc0a80101u) << "fields after the bad one are still read";
    ASSERT_EQ(zel_ptn_clear(&ptns[0]), 0u);
    ASSERT_EQ(zel_ptn_extend(&ptns[0], 1, 4), 0u);
    EXPECT_EQ(vector_key_decode(kTreeInBasicFilter, v).status, RuleKeyStatus::kBadSetKey);
    EXPECT_EQ(vector_key_free(lay, ptns), 0u);
}

// Ranges of the extended filter: prefixes and DSCP as stored, the full
// range of an unmatched field, and a listed rule of the wrong shape.
TEST(RuleSetKeyLayout, ExtendedFilterRanges) {
    const RangeLayout &lay = *range_layout(kTreeExtFilter);
    ASSERT_EQ(lay.nranges, 7);
    struct R {
        zel_rptn_t got;
        uint32_t width, lo, hi;
    };
    const R ranges[] = {
        {range_prefix(0x0a01ff00, 16), 32, 0x0a010000, 0x0a01ffff},
        {range_prefix(0x0a01ff01, 32), 32, 0x0a01ff01, 0x0a01ff01},
        {range_prefix(0x0a01ff01, 0), 32, 0, 0xffffffff},
        {range_dscp(10, 12), 8, 40, 51},
        {range_dscp(0, 63), 8, 0, 255},
        {range_full(16), 16, 0, 0xffff},
        {range_full(2), 2, 0, 3},
    };
    for (const R &r : ranges) {
        EXPECT_EQ(r.got.width, r.width);
        EXPECT_EQ(r.got.lo, r.lo);
        EXPECT_EQ(r.got.hi, r.hi);
    }

    Ptn set(8);
    set.raw({{4, 8}});
    zel_rptn_t rule[7] = {range_dscp(10, 12), range_full(2), {8, 6, 6},
                          range_prefix(0x0a000000, 8), range_full(32), {16, 80, 80}, range_full(16)};
    DecodedRanges d = range_key_decode(kTreeExtFilter, *set.get(), 7, rule);
    ASSERT_EQ(d.status, RuleKeyStatus::kOk);
    EXPECT_EQ(d.set_key.value, 4u);
    EXPECT_EQ(d.r[3].lo, 0x0a000000u);
    EXPECT_EQ(d.r[3].hi, 0x0affffffu);

    EXPECT_EQ(range_key_decode(kTreeExtFilter, *set.get(), 6, rule).status, RuleKeyStatus::kWrongCount);
    rule[2].width = 16;  // PROTO stored with another width
    d = range_key_decode(kTreeExtFilter, *set.get(), 7, rule);
    EXPECT_EQ(d.status, RuleKeyStatus::kBadField);
    EXPECT_EQ(d.bad_field, 2);
    EXPECT_EQ(d.r[5].lo, 80u) << "later ranges are still copied";
    set.raw({{4, 6}});
    EXPECT_EQ(range_key_decode(kTreeExtFilter, *set.get(), 7, rule).status, RuleKeyStatus::kBadSetKey);
    // A policy route has eight ranges, not seven.
    EXPECT_EQ(range_key_decode(kTreePbr, *set.get(), 7, rule).status, RuleKeyStatus::kWrongCount);
}

}  // namespace
