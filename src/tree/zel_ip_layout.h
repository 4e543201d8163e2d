// Entry layouts of the 38 FPL trees: the one place that knows how a key is
// made of fields and which value bits carry which flag, id or address.
//
// Configuration code builds keys and action records with these codecs;
// the dump decoders read listed entries back with the same codecs. No
// other file restates a width or a bit position.
//
// Keys of single-pattern trees (0 to 32 and 37)
// ---------------------------------------------
// A key is a count L of specified leading bits of the tree's key; the
// fields follow one another, first field most significant:
//
//     tree 2:  | VRD-ID (6) | DEST-ADDR (32)                       |
//              |<------------ L = 6 + prefix length -------------->|
//
// A field marked `prefix` may be cut by L (an address prefix); any other
// field is either whole or wholly absent. L = 0 is the catch-all entry.
// A layout accepts L = 0 and every L from `min_len` up to the key width
// that ends on a field boundary or inside a prefix field; the dump shows
// any other length as an unexpected pattern.
//
// Tree 8 (ingress associations) is different: its key starts with the
// 7-bit tree MASK and carries only the fields whose mask bits are set,
// in key order VRD-ID, INTF-ID, PROTO, DIP, DPORT, SIP, SPORT (see
// assoc_key_build / assoc_key_decode).
//
// Values
// ------
// An action record {kind, W1, W2}: W1 and W2 carry 24 bits each. Value
// entries are learnt with kind 4 (or kind 0 where the owning feature says
// so) and come back from a listing as kind 0; function entries are kind 1
// with W1 the FPL flow function id. The per-tree value codecs are in
// zel_ip_layout_route.h, _intf.h, _flow.h, _cpu.h and _filter.h.
//
// Keys of the rule-set trees (33 to 36) are vectors of patterns
// (OtreeSet, trees 34 and 35) or a set-key pattern plus a vector of
// ranges (OVtreeSet, trees 33 and 36): see VectorLayout and RangeLayout.
#ifndef ZEL_IP_LAYOUT_H
#define ZEL_IP_LAYOUT_H

#include <cstdint>
#include <initializer_list>

#include "core/zel_ip_log.h"
#include "hwe.h"
#include "tree/zel_ip_tree.h"
#include "zel_fw.h"

namespace zel::ip::layout {

inline constexpr uint32_t kTrees = kNumTrees;

// ---------------------------------------------------------------------------
// Key layouts
// ---------------------------------------------------------------------------

// Widths of the identifiers that key several trees.
inline constexpr uint32_t kVrdIdBits = 6;
inline constexpr uint32_t kIntfIdBits = 16;
inline constexpr uint32_t kFlowIdBits = 24;
inline constexpr uint32_t kRuleKeyBits = 4;
inline constexpr uint32_t kAddrBits = 32;
inline constexpr uint32_t kPortBits = 16;
inline constexpr uint32_t kProtoBits = 8;

// One key field: its dump column name and width; `prefix` fields may be cut
// short by the key length (their leading bits are matched).
struct FieldDef {
    const char *name;
    uint8_t width;
    bool prefix;
};

inline constexpr uint32_t kMaxKeyFields = 4;

// Key of one single-pattern tree. Rule-set trees and tree 8 have no
// fields here (nfields 0; see their own layouts).
struct KeyLayout {
    uint8_t nfields;
    uint8_t min_len;  // shortest accepted non-empty key
    uint8_t width;    // sum of the field widths: the tree's key width
    FieldDef fields[kMaxKeyFields];
};

// The key layout of tree `tree` (0 to 37; anything else: an empty layout).
const KeyLayout &key_layout(uint32_t tree);

// True when a key of `len` bits is one the tree's layout accepts.
bool key_len_ok(const KeyLayout &lay, uint32_t len);

// ---- Building keys ---------------------------------------------------------
//
// A KeySpec is the list of fields the tree layer's key builder extends the
// tree's key buffer with (zel_ip_tree.h), made from field values by the
// layout, so no caller restates a width or the field order:
//
//     hwe_action_t a = dest::null_route();
//     uint32_t st = ZRULE_KEY(c.m, c.priv->trees[kTreeDestAddr], kRuleLearn, a,
//                             "Failed to add the LPM rule in hardware\n",
//                             vrd_prefix_key(vrd_id, dest, plen));

inline constexpr uint32_t kAssocFieldCount = 7;
inline constexpr uint32_t kMaxSpecFields = kAssocFieldCount + 1;  // tree 8: MASK + 7

struct KeySpec {
    KeyField f[kMaxSpecFields];
    uint32_t n;
    bool ok;  // false: the values do not fit the layout; building fails
};

// The leading `bits` bits of a 32-bit address, right-aligned.
constexpr uint32_t addr_lead(uint32_t addr, uint32_t bits) {
    return bits == 0 ? 0 : bits >= 32 ? addr : addr >> (32 - bits);
}

// VRD-ID then, when `plen` is not 0, the leading `plen` bits of `addr`:
// the keys of trees 0 and 2 (L = 6 + plen).
constexpr KeySpec vrd_prefix_key(uint32_t vrd_id, uint32_t addr, uint32_t plen) {
    KeySpec k{};
    k.ok = vrd_id < (1u << kVrdIdBits) && plen <= kAddrBits;
    k.f[k.n++] = {vrd_id, kVrdIdBits};
    if (plen != 0) k.f[k.n++] = {addr_lead(addr, plen), plen};
    return k;
}

// Any single-pattern tree: vals[i] is field i's whole value (an address
// field: the 32-bit address, whose leading bits are taken when `len` cuts
// it); `nvals` must be the layout's field count and `len` an accepted
// length, else the KeySpec is not ok.
KeySpec key_spec(const KeyLayout &lay, const uint32_t *vals, uint32_t nvals, uint32_t len);
//     key_spec(kTreeNapt, {addr, port}, 48)
KeySpec key_spec(uint32_t tree, std::initializer_list<uint32_t> vals, uint32_t len);

// Clears the tree's key buffer and builds the KeySpec in it. Returns the
// builder's summed result, or ZEL_E_INVALID_PARAM for a spec that is not
// ok (the buffer is then left as it was).
uint32_t key_build(TreeRecord &t, const KeySpec &k);
// The same with the first failing builder call's own status.
uint32_t key_build_own_status(TreeRecord &t, const KeySpec &k);

// rule_program (zel_ip_tree.h) for a KeySpec: build, then learn or unlearn;
// a spec that is not ok fails as a build does (FATAL `build_msg`,
// ZEL_E_INVALID_PARAM with severity 1). Caller holds the module lock.
uint32_t key_program(zel_module_t *m, TreeRecord &t, const KeySpec &k, uint32_t op,
                     hwe_action_t &action, const char *rule_msg, Site s,
                     const char *build_msg = kBuildFailMsg);

// ---- Reading keys back -----------------------------------------------------

// Outcome of reading a key back.
enum class KeyStatus : uint8_t {
    kOk,
    kUnexpectedLength,  // a length the tree does not accept
    kParseError,        // the pattern could not be split into its fields
    kBadFieldWidth,     // tree 8: a whole field cut short (bad_field says which)
};

// One field of a decoded key.
//   bits: specified bits of the field: 0 wildcard, `width` exact, in
//         between a prefix;
//   value: the field's value with its unspecified bits 0, aligned to the
//         field's full width (a /24 prefix of 10.1.2.0 is 0x0a010200);
//   selected: tree 8 only: the field's MASK bit is set (every field of
//         another tree is selected).
struct FieldValue {
    uint32_t value;
    uint8_t bits;
    bool selected;
};

inline constexpr uint32_t kMaxDecodedFields = kAssocFieldCount;

struct DecodedKey {
    KeyStatus status;
    uint8_t nfields;        // fields of the layout (tree 8: 7, in key order)
    uint8_t bad_field;      // with kBadFieldWidth: index of the field
    uint8_t mask;           // tree 8: the leading 7-bit MASK (0 for a catch-all)
    uint32_t len;           // the key's length L
    FieldValue f[kMaxDecodedFields];

    bool catch_all() const { return len == 0; }
};

// Reads a listed key of tree `tree` (0 to 32, 37) back into its fields
// with zel_ptn_parse. Fields before a failing one are filled. Trees 33 to
// 36 have no single key: kParseError.
DecodedKey key_decode(uint32_t tree, const zel_ptn_t *key);

// ---------------------------------------------------------------------------
// Tree 8: ingress association keys
// ---------------------------------------------------------------------------

inline constexpr uint32_t kAssocMaskBits = 7;

// Fields of a tree-8 key in key order, and the MASK bit of each.
enum AssocField : uint8_t {
    kAfVrd,    // VRD-ID, 6 bits, mask bit 0
    kAfIntf,   // INTF-ID, 16 bits, mask bit 1
    kAfProto,  // PROTO, 8 bits, mask bit 4
    kAfDip,    // DIP, prefix of up to 32 bits, mask bit 2
    kAfDport,  // DPORT, 16 bits, mask bit 5
    kAfSip,    // SIP, prefix of up to 32 bits, mask bit 3
    kAfSport,  // SPORT, 16 bits, mask bit 6
    kAfCount,
};
static_assert(kAfCount == kAssocFieldCount);

// Tree mask bits (bit n of the 7-bit MASK; the same bits sit in W1 bits
// 8 to 14 of a destination entry).
inline constexpr uint8_t kTmVrd = 0x01, kTmIntf = 0x02, kTmDip = 0x04, kTmSip = 0x08,
                         kTmProto = 0x10, kTmDport = 0x20, kTmSport = 0x40;

struct AssocFieldDef {
    FieldDef field;
    uint8_t mask_bit;  // the field's bit in the tree mask
};
extern const AssocFieldDef kAssocFields[kAfCount];

// What an association key carries: for each field its value (an address
// field: the 32-bit address) and its specified bits (0 = wildcard; a
// prefix field may carry fewer than its width).
struct AssocKey {
    uint32_t value[kAfCount];
    uint8_t bits[kAfCount];
};

// A tree-8 key: the MASK, then, in key order, the selected fields. The key
// ends at the first selected field that is a wildcard or a cut prefix
// (the lookup then matches anything after it), so a selected field after
// that point must be a wildcard too; that, a whole field with neither 0
// nor all of its bits specified, or a mask wider than 7 bits make the
// spec not ok.
KeySpec assoc_key_spec(uint8_t tree_mask, const AssocKey &k);

// ---------------------------------------------------------------------------
// Values: bit fields of the two data words
// ---------------------------------------------------------------------------

inline constexpr uint32_t kWordMask = 0xffffff;  // W1 and W2 carry 24 bits

// `width` bits at bit `shift` of W1 (word 1) or W2 (word 2).
struct VField {
    uint8_t word;
    uint8_t shift;
    uint8_t width;

    constexpr uint32_t field_mask() const { return ((1u << width) - 1u) << shift; }
    constexpr uint32_t get(const hwe_action_t &a) const {
        return ((word == 1 ? a.w1 : a.w2) & field_mask()) >> shift;
    }
    constexpr void put(hwe_action_t &a, uint32_t v) const {
        uint32_t &w = word == 1 ? a.w1 : a.w2;
        w = (w & ~field_mask()) | ((v << shift) & field_mask());
    }
};

// A 32-bit address (or handle) split across both words: its low
// `lo.width` bits in `lo`, the bits above in `hi`.
struct VSplit {
    VField lo;
    VField hi;

    constexpr uint32_t get(const hwe_action_t &a) const {
        return lo.get(a) | hi.get(a) << lo.width;
    }
    constexpr void put(hwe_action_t &a, uint32_t v) const {
        lo.put(a, v);
        hi.put(a, v >> lo.width);
    }
};

// A value entry with both data words.
constexpr hwe_action_t value_entry(uint32_t w1, uint32_t w2, uint32_t kind = HWE_ACTION_VALUE) {
    return {kind, w1 & kWordMask, w2 & kWordMask};
}
// A function entry calling the FPL flow function `fn_id`.
constexpr hwe_action_t function_entry(uint32_t fn_id) { return {HWE_ACTION_FUNC, fn_id, 0}; }

// How a decoder reads an action's kind.
enum class EntryKind : uint8_t {
    kValue,       // kind 4 as learnt, or kind 0 as listed
    kFunction,    // kind 1
    kUnexpected,  // a kind the tree does not use ("unexpected return")
};

// The kind of entry `a` of tree `tree`, given which kinds the tree uses.
EntryKind entry_kind(uint32_t tree, const hwe_action_t &a);

// True when tree `tree` has function entries besides its value entries.
bool tree_uses_functions(uint32_t tree);

// ---------------------------------------------------------------------------
// Rule-set keys
// ---------------------------------------------------------------------------

inline constexpr uint32_t kMaxVectorFields = 5;

// OtreeSet key: one pattern per field (trees 34 and 35). Each pattern is
// created with its field's full width and extended only when used: a
// whole field is exact or a wildcard (length 0), a `prefix` field may
// carry any length up to its width.
struct VectorLayout {
    uint8_t nfields;
    FieldDef fields[kMaxVectorFields];
};

inline constexpr uint32_t kMaxRanges = 8;

// OVtreeSet key: an 8-bit set-key pattern (rule set or policy set id),
// then one low..high range per field (trees 33 and 36). An unmatched field
// carries its full range.
struct RangeLayout {
    FieldDef set_key;
    uint8_t nranges;
    FieldDef ranges[kMaxRanges];
};

// Layouts of trees 34/35 and 33/36 (nullptr for any other tree).
const VectorLayout *vector_layout(uint32_t tree);
const RangeLayout *range_layout(uint32_t tree);

// Creates the patterns of an OtreeSet key (one per field, each with its
// field's width) in ptns[0 .. nfields-1]. On failure the patterns created
// so far are freed again. Returns 0 or the pattern builder's status.
uint32_t vector_key_new(const VectorLayout &lay, zel_ptn_t *ptns);
// Frees them. Returns the sum of the pattern builder's results.
uint32_t vector_key_free(const VectorLayout &lay, zel_ptn_t *ptns);

// Fills an OtreeSet key: pattern i gets the leading bits[i] bits of
// vals[i] (an address: the 32-bit address). A whole field takes 0 or all
// of its bits; anything else is ZEL_E_INVALID_PARAM with the patterns
// untouched. Returns the sum of the pattern builder's results otherwise.
uint32_t vector_key_fill(const VectorLayout &lay, zel_ptn_t *ptns, const uint32_t *vals,
                         const uint8_t *bits);

static_assert(kMaxVectorFields == kVectorKeyPatterns);

// The fields of one OtreeSet rule key, in the layout's order: pattern i
// gets the leading bits[i] bits of vals[i] (0 bits: a wildcard).
struct VectorKey {
    uint32_t vals[kMaxVectorFields];
    uint8_t bits[kMaxVectorFields];
};

enum class RuleKeyStatus : uint8_t {
    kOk,
    kWrongCount,  // not the layout's number of patterns / ranges
    kBadSetKey,   // the set-key pattern (first pattern) has a wrong length
    kBadField,    // pattern / range `bad_field` has a wrong length / width
    kParseError,  // a pattern could not be read
};

struct DecodedVector {
    RuleKeyStatus status;
    uint8_t count;      // patterns the rule has
    uint8_t bad_field;
    FieldValue f[kMaxVectorFields];  // as key_decode (selected always true)
};

// Reads the key of a listed OtreeSet rule of tree 34 or 35. Field 0 is
// the set key (rule set id / association flow); a wrong length of it is
// kBadSetKey.
DecodedVector vector_key_decode(uint32_t tree, const zel_vptn_t &key);

struct Range {
    uint32_t lo;
    uint32_t hi;
};

struct DecodedRanges {
    RuleKeyStatus status;
    uint8_t count;       // ranges the rule has
    uint8_t bad_field;
    FieldValue set_key;  // 0 bits: any set
    Range r[kMaxRanges];
};

// Reads the key of a listed OVtreeSet rule of tree 33 or 36.
DecodedRanges range_key_decode(uint32_t tree, const zel_ptn_t &set_key, uint32_t nranges,
                               const zel_rptn_t *ranges);

// Range helpers. Full range of a field of `width` bits (1 to 32).
constexpr zel_rptn_t range_full(uint32_t width) {
    return {width, 0, width >= 32 ? 0xffffffffu : (1u << width) - 1u};
}
// An address prefix as a range: host bits cleared .. host bits set.
constexpr zel_rptn_t range_prefix(uint32_t addr, uint32_t plen) {
    uint32_t mask = plen == 0 ? 0 : plen >= 32 ? 0xffffffffu : ~((1u << (32 - plen)) - 1u);
    return {32, addr & mask, addr | ~mask};
}
// A DSCP range d1..d2 over the type-of-service byte: 4*d1 .. 4*d2 + 3.
constexpr zel_rptn_t range_dscp(uint32_t d1, uint32_t d2) {
    return {8, (d1 & 0x3f) << 2, ((d2 & 0x3f) << 2) | 3u};
}

}  // namespace zel::ip::layout

// ZRULE_KEY(m, tree_record, op, action, "rule failure message", key_spec)
#define ZRULE_KEY(m, tree, op, action, rule_msg, spec) \
    ::zel::ip::layout::key_program((m), (tree), (spec), (op), (action), (rule_msg), ZEL_SITE)

#endif  // ZEL_IP_LAYOUT_H
