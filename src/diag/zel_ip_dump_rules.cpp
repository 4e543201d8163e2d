// Row decoders of the rule-set trees: basic filter (34, OtreeSet),
// extended filter (36) and policy routes (33, OVtreeSet). Columns are
// separated by ", " and every key column ends with ", ". Keys are read
// with layout::vector_key_decode / range_key_decode, values with the
// filter codecs; a rule the layout refuses gets the marker of the first
// column it cannot print, and the row ends there.
#include <iterator>

#include "diag/zel_ip_dump_internal.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_filter.h"
#include "tree/zel_ip_tree.h"

namespace zel::ip::diag {
namespace {

namespace lay = zel::ip::layout;
using lay::RuleKeyStatus;

constexpr const char *kParseError = "!!Parse Error!!";
constexpr const char *kUnexpectedReturn = "!!Unexpected Return!!";

void addr(Text &o, uint32_t a) { put_addr(o, a); }

void wrong_count(Text &o, uint32_t count) { o.put("!!Unexpected Number of Patterns %u!!", count); }

// The set key and rule index columns: "*, %d, " for a rule of any set.
void set_columns(Text &o, const lay::FieldValue &set, uint32_t rule_idx) {
    if (set.bits == 0)
        o.put("*, %u, ", rule_idx);
    else
        o.put("%u, %u, ", set.value, rule_idx);
}

// The filter value of trees 34 and 36.
void filter_value(Text &o, uint32_t tree, const hwe_action_t &a) {
    switch (lay::entry_kind(tree, a)) {
    case lay::EntryKind::kUnexpected: o.add(kUnexpectedReturn); return;
    case lay::EntryKind::kFunction: o.add("NA, NA, NA, NA, NA, NA, NA, NA"); return;
    case lay::EntryKind::kValue: break;
    }
    const lay::filter::Value v = lay::filter::decode(a);
    o.put("0x%06x, %u, ", v.flow_id, v.rule_key);
    switch (v.action) {
    case lay::filter::Action::kAllow: o.add("Allow, NA, "); break;
    case lay::filter::Action::kDeny: o.add("Deny, NA, "); break;
    case lay::filter::Action::kSendToCpu:
        o.add("Send-To-CPU, ");
        o.add(v.via_nca ? "Via-NCA, " : "Via-PH, ");
        break;
    }
    o.add(v.counter ? "Enabled, " : "Disabled, ");
    o.add(v.policing ? "Enabled, " : "Disabled, ");
    if (v.dscp_remap)
        o.put("Enabled, %u", v.assigned_dscp);
    else
        o.add("Disabled, NA");
}

// One range column: "%d-%d, ", an address range, or, when it is the first
// range the layout refuses, its marker (false: the row ends).
enum class RangeForm : uint8_t { kNumber, kAddress };
struct RangeColumn {
    RangeForm form;
    const char *marker;
};
bool range_column(Text &o, const lay::DecodedRanges &d, uint32_t i, const RangeColumn &c) {
    if (d.status == RuleKeyStatus::kBadField && d.bad_field == i) {
        o.add(c.marker);
        return false;
    }
    if (c.form == RangeForm::kAddress) {
        addr(o, d.r[i].lo);
        o.add("-");
        addr(o, d.r[i].hi);
        o.add(", ");
    } else {
        o.put("%u-%u, ", d.r[i].lo, d.r[i].hi);
    }
    return true;
}

// 1. Wrong number of ranges, 2. a set key of a wrong length or unreadable:
// their markers; else the set and rule index columns. False: row ended.
bool range_key_start(Text &o, const lay::DecodedRanges &d, uint32_t rule_idx, const char *set_marker) {
    switch (d.status) {
    case RuleKeyStatus::kWrongCount: wrong_count(o, d.count); return false;
    case RuleKeyStatus::kBadSetKey: o.add(set_marker); return false;
    case RuleKeyStatus::kParseError: o.add(kParseError); return false;
    case RuleKeyStatus::kOk:
    case RuleKeyStatus::kBadField: break;
    }
    set_columns(o, d.set_key, rule_idx);
    return true;
}

// Protocols whose rules carry port (or ICMP/IGMP type and code) ranges.
constexpr uint32_t kPortProtocols[] = {1, 2, 6, 17, 132, 136};
constexpr uint32_t kIgmp = 2;  // a type range, no code range

bool single_port_protocol(const lay::Range &proto) {
    if (proto.lo != proto.hi) return false;
    for (uint32_t p : kPortProtocols)
        if (proto.lo == p) return true;
    return false;
}

}  // namespace

void ip_in_basic_filter_entry_dump(Text &o, uint32_t rule_idx, const zel_vptn_t *key,
                                   const hwe_action_t *value) {
    if (!key) {
        o.add("FILTER-RULE-SET, RULE-IDX, PROTO, SRC-ADDR, DEST-ADDR, FLOW-ID, RULE-KEY, ACTION-TYPE, "
              "CPU-PATH, COUNTER, POLICING, DSCP-REMAP, ASSIGNED-DSCP");
        return;
    }
    // Patterns: rule set, PROTO, SRC-ADDR, DEST-ADDR.
    const lay::DecodedVector d = lay::vector_key_decode(kTreeInBasicFilter, *key);
    switch (d.status) {
    case RuleKeyStatus::kWrongCount: wrong_count(o, d.count); return;
    case RuleKeyStatus::kBadSetKey: o.add("!!Unexpected Rule Set ID Pattern!!"); return;
    case RuleKeyStatus::kParseError:
        if (d.bad_field == 0) {
            o.add(kParseError);
            return;
        }
        break;
    case RuleKeyStatus::kOk:
    case RuleKeyStatus::kBadField: break;
    }
    set_columns(o, d.f[0], rule_idx);
    for (uint32_t i = 1; i < lay::vector_layout(kTreeInBasicFilter)->nfields; ++i) {
        if (d.status != RuleKeyStatus::kOk && d.bad_field == i) {
            // Only PROTO can have a wrong length (the addresses are
            // prefixes of any length).
            o.add(d.status == RuleKeyStatus::kParseError ? kParseError : "!!Unexpected Proto Pattern!!");
            return;
        }
        const lay::FieldValue &f = d.f[i];
        if (i == 1) {
            if (f.bits == 0)
                o.add("*, ");
            else
                o.put("%u, ", f.value);
        } else if (f.bits == 0) {
            o.add("*.*.*.*, ");
        } else {
            addr(o, f.value);
            o.put("/%u, ", f.bits);
        }
    }
    if (value) filter_value(o, kTreeInBasicFilter, *value);
}

void ip_ext_filter_entry_dump(Text &o, uint32_t rule_idx, const zel_ptn_t *set_key, uint32_t nranges,
                              const zel_rptn_t *ranges, const hwe_action_t *value) {
    if (!set_key) {
        o.add("FILTER-RULE-SET, RULE-IDX, DSCP, FRAG-TYPE, PROTO, SRC-ADDR, DEST-ADDR, SPORT-TYPE, "
              "DPORT-CODE, FLOW-ID, RULE-KEY, ACTION-TYPE, CPU-PATH, COUNTER, POLICING, DSCP-REMAP, "
              "ASSIGNED-DSCP");
        return;
    }
    // Ranges: DSCP, FRAG-TYPE, PROTO, SRC-ADDR, DEST-ADDR, SPORT-TYPE, DPORT-CODE.
    static constexpr RangeColumn kColumns[] = {
        {RangeForm::kNumber, "!!Unexpected DSCP Pattern!!"},
        {RangeForm::kNumber, "!!Unexpected Frag-Type Pattern!!"},
        {RangeForm::kNumber, "!!Unexpected Proto Pattern!!"},
        {RangeForm::kAddress, "!!Unexpected SIP Pattern!!"},
        {RangeForm::kAddress, "!!Unexpected DIP Pattern!!"},
        {RangeForm::kNumber, "!!Unexpected Sport/Type Pattern!!"},
        {RangeForm::kNumber, "!!Unexpected Dport/Code Pattern!!"},
    };
    constexpr uint32_t kProto = 2, kSport = 5, kDport = 6;
    const lay::DecodedRanges d = lay::range_key_decode(kTreeExtFilter, *set_key, nranges, ranges);
    if (!range_key_start(o, d, rule_idx, "!!Unexpected Rule Set ID Pattern!!")) return;
    for (uint32_t i = 0; i < kSport; ++i)
        if (!range_column(o, d, i, kColumns[i])) return;
    // The port columns only for one port-carrying protocol; IGMP has a
    // type range and no code.
    if (single_port_protocol(d.r[kProto])) {
        if (!range_column(o, d, kSport, kColumns[kSport])) return;
        if (d.r[kProto].lo == kIgmp)
            o.add("*, ");
        else if (!range_column(o, d, kDport, kColumns[kDport]))
            return;
    } else {
        o.add("*, *, ");
    }
    if (value) filter_value(o, kTreeExtFilter, *value);
}

void ip_pbr_lookup_entry_dump(Text &o, uint32_t rule_idx, const zel_ptn_t *set_key, uint32_t nranges,
                              const zel_rptn_t *ranges, const hwe_action_t *value) {
    if (!set_key) {
        o.add("PBR-POLICY-SET, RULE-IDX, PCP, DSCP, FRAG-TYPE, PROTO, SRC-ADDR, DEST-ADDR, SPORT, DPORT, "
              "FLOW-ID");
        return;
    }
    // Ranges: PCP, DSCP, FRAG-TYPE, PROTO, SRC-ADDR, DEST-ADDR, SPORT, DPORT.
    static constexpr RangeColumn kColumns[] = {
        {RangeForm::kNumber, "!!Unexpected PCP Pattern!!"},
        {RangeForm::kNumber, "!!Unexpected DSCP Pattern!!"},
        {RangeForm::kNumber, "!!Unexpected Frag-Type Pattern!!"},
        {RangeForm::kNumber, "!!Unexpected Proto Pattern!!"},
        {RangeForm::kAddress, "!!Unexpected SIP Pattern!!"},
        {RangeForm::kAddress, "!!Unexpected DIP Pattern!!"},
        {RangeForm::kNumber, "!!Unexpected Sport Pattern!!"},
        {RangeForm::kNumber, "!!Unexpected Dport Code Pattern!!"},
    };
    const lay::DecodedRanges d = lay::range_key_decode(kTreePbr, *set_key, nranges, ranges);
    if (!range_key_start(o, d, rule_idx, "!!Unexpected Policy Set ID Pattern!!")) return;
    for (uint32_t i = 0; i < std::size(kColumns); ++i)
        if (!range_column(o, d, i, kColumns[i])) return;
    if (!value) return;
    switch (lay::entry_kind(kTreePbr, *value)) {
    case lay::EntryKind::kFunction: o.add("NA"); break;
    case lay::EntryKind::kValue: o.put("0x%06x", lay::pbr::rule_id(*value)); break;
    case lay::EntryKind::kUnexpected: o.add("!!Unexpected Return Type!!"); break;
    }
}

}  // namespace zel::ip::diag
