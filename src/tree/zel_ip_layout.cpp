// Key layouts of every tree and the generic key builders and readers
// (see zel_ip_layout.h for the conventions).
#include "tree/zel_ip_layout.h"

#include <algorithm>
#include <cstring>

#include "core/zel_ip_status_internal.h"

namespace zel::ip::layout {
namespace {

constexpr FieldDef kVrd{"VRD-ID", kVrdIdBits, false};
constexpr FieldDef kIntf{"INTF-ID", kIntfIdBits, false};
constexpr FieldDef kFlow24{"FLOW-ID", kFlowIdBits, false};
constexpr FieldDef kIpFlow24{"IP-FLOW-ID", kFlowIdBits, false};
constexpr FieldDef kRuleKey{"RULE-KEY", kRuleKeyBits, false};

// Key layouts by tree index: {nfields, min_len, width, fields}. Widths add
// up to the key width of the tree catalogue; rule-set trees (33 to 36) and
// tree 8 are described elsewhere.
constexpr KeyLayout kLayouts[kTrees] = {
    /* 0 ip_src_addr_lookup */ {2, 6, 38, {kVrd, {"SRC-ADDR", 32, true}}},
    /* 1 Check_host_router_mode */ {1, 6, 6, {kVrd}},
    /* 2 ip_dest_addr_lookup */ {2, 6, 38, {kVrd, {"DEST-ADDR", 32, true}}},
    /* 3 ip_pbr_action_lookup */ {1, 12, 12, {{"PBR-RULE-ID", 12, false}}},
    /* 4 ip_tunnel_if_lookup */
    {4, 78, 78, {kVrd, {"PROTO", 8, false}, {"REMOTE-IP-ADDR", 32, false}, {"LOCAL-IP-ADDR", 32, false}}},
    /* 5 ip_tunnel_pmtu_lookup */ {1, 16, 16, {kIntf}},
    /* 6 ip_tunnel_if_id_lookup: tunnel id + 512 */ {1, 12, 12, {{"TUNNEL-ID", 12, false}}},
    /* 7 ip_flow_policing_lookup */ {1, 24, 24, {kIpFlow24}},
    /* 8 ip_ingress_assoc_flow_lookup: see kAssocFields */ {0, 7, 117, {}},
    /* 9 ip_comp_ingress_assoc_flow_lookup */
    {2, 24, 24, {{"DPORT", 16, false}, {"C-DIP", 8, false}}},
    /* 10 ip_egress_assoc_dip_lookup */ {1, 24, 24, {kIpFlow24}},
    /* 11 ip_egress_assoc_sip_mtu_lookup */ {1, 24, 24, {kIpFlow24}},
    /* 12 ip_egress_assoc_info_lookup */ {1, 24, 24, {kIpFlow24}},
    /* 13 ip_exception_lookup: domain in key bits 4-5, type in 0-3 */
    {2, 6, 6, {{"EXCEPTION-DOMAIN", 2, false}, {"EXCEPTION-TYPE", 4, false}}},
    /* 14 ip_bind_dest_flow_lookup */ {1, 24, 24, {kIpFlow24}},
    /* 15 ip_exception_path_param_lookup */
    {2, 6, 6, {{"EXCEPTION-DOMAIN", 2, false}, {"EXCEPTION-TYPE", 4, false}}},
    /* 16 ip_filter_cpu_path_policing_flow_lookup */ {2, 28, 28, {kFlow24, kRuleKey}},
    /* 17 ip_filter_cpu_path_param_lookup */ {2, 28, 28, {kFlow24, kRuleKey}},
    /* 18 ip_filter_cpu_path_ctx_lookup */ {2, 28, 28, {kFlow24, kRuleKey}},
    /* 19 ip_cpu_path_param_lookup */ {2, 28, 28, {kFlow24, kRuleKey}},
    /* 20 ip_cpu_dscp_qos_lookup */ {1, 8, 8, {{"DSCP", 8, false}}},
    /* 21 ip_napt_lookup: 48 or 32 (any port) */
    {2, 32, 48, {{"IP-ADDR", 32, false}, {"L4-PORT", 16, false}}},
    /* 22 ip_interface_sip_mtu_lookup: 16 + subnet prefix */
    {2, 16, 48, {kIntf, {"SUBNET", 32, true}}},
    /* 23 ip_interface_ingress_flowid_ruleset_flags_lookup */ {1, 16, 16, {kIntf}},
    /* 24 ip_interface_egress_flowid_mtu_flags_lookup */ {1, 16, 16, {kIntf}},
    /* 25 ip_interface_filter_rule_set_lookup */ {1, 16, 16, {kIntf}},
    /* 26 ip_if_ingress_dscp_police_lookup */ {1, 16, 16, {kIntf}},
    /* 27 ip_flow_cpu_path_param_lookup */ {1, 24, 24, {kFlow24}},
    /* 28 ip_custom_bind_imc_entry_fn_lookup */ {1, 8, 8, {{"FPL-FLOW-FN-IDX", 8, false}}},
    /* 29 ip_egress_flow_lookup: 48 or 16 (any next hop) */
    {2, 16, 48, {{"IP-INTF", 16, false}, {"NEXT-HOP", 32, false}}},
    /* 30 ip_dscp_qos_lookup: 24 or 16 (any TOS) */ {2, 16, 24, {kIntf, {"TOS", 8, false}}},
    /* 31 ip_capture_cpu_path_param_lookup */
    {3, 18, 18, {kIntf, {"SELECTOR", 1, false}, {"DIRECTION", 1, false}}},
    /* 32 ip_if_dscp_pcp_lookup: 24 or 16 (any DSCP) */ {2, 16, 24, {kIntf, {"DSCP", 8, false}}},
    /* 33 ip_pbr_lookup */ {},
    /* 34 ip_in_basic_filter */ {},
    /* 35 ip_ingress_association_flow_filter */ {},
    /* 36 ip_ext_filter */ {},
    /* 37 ip_lo_pbr_policy_set_lookup */ {1, 6, 6, {kVrd}},
};

constexpr KeyLayout kEmpty{};

// Trees with function entries besides value entries (default actions that
// call a function, Block-All sources, host mode, exceptions sent to a
// function, custom bind functions, the rule-set trees' defaults).
constexpr bool kUsesFunctions[kTrees] = {
    true,  true,  false, true,  true,  false, true,  false, true,  true,   // 0-9
    false, false, false, true,  false, false, false, false, false, true,   // 10-19
    false, false, true,  true,  true,  true,  false, false, true,  false,  // 20-29
    false, false, false, true,  true,  true,  true,  false,                // 30-37
};

constexpr VectorLayout kBasicFilter{
    4, {{"FILTER-RULE-SET", 8, false}, {"PROTO", 8, false}, {"SRC-ADDR", 32, true},
        {"DEST-ADDR", 32, true}}};
constexpr VectorLayout kAssocFilter{
    5, {{"ASSOC-FLOW", 24, false}, {"L2-INTF", 24, false}, {"PROTO", 8, false},
        {"SIP", 32, true}, {"DIP", 32, true}}};

constexpr RangeLayout kPbr{{"PBR-POLICY-SET", 8, false},
                           8,
                           {{"PCP", 3, false},
                            {"DSCP", 8, false},
                            {"FRAG-TYPE", 2, false},
                            {"PROTO", 8, false},
                            {"SRC-ADDR", 32, false},
                            {"DEST-ADDR", 32, false},
                            {"SPORT", 16, false},
                            {"DPORT", 16, false}}};
constexpr RangeLayout kExtFilter{{"FILTER-RULE-SET", 8, false},
                                 7,
                                 {{"DSCP", 8, false},
                                  {"FRAG-TYPE", 2, false},
                                  {"PROTO", 8, false},
                                  {"SRC-ADDR", 32, false},
                                  {"DEST-ADDR", 32, false},
                                  {"SPORT-TYPE", 16, false},
                                  {"DPORT-CODE", 16, false}}};

// The leading `take` bits of a field of `width` bits, right-aligned.
constexpr uint32_t lead(uint32_t v, uint32_t width, uint32_t take) {
    if (take == 0) return 0;
    uint32_t f = take >= width ? v : v >> (width - take);
    return take >= 32 ? f : f & ((1u << take) - 1u);
}

// A field value read with `take` of its `width` bits, aligned back to the
// full width (unspecified bits 0).
constexpr uint32_t align(uint32_t v, uint32_t width, uint32_t take) {
    return take == 0 ? 0 : take >= width ? v : v << (width - take);
}

// Splits `len` bits into fields of at most 32 bits after a first field of
// `first` bits; returns the number of widths written.
uint32_t chunk_widths(uint32_t first, uint32_t len, uint32_t *widths) {
    uint32_t n = 0;
    widths[n++] = first;
    for (uint32_t rem = len - first; rem > 0;) {
        uint32_t w = std::min<uint32_t>(rem, 32);
        widths[n++] = w;
        rem -= w;
    }
    return n;
}

DecodedKey assoc_key_decode(const zel_ptn_t *key) {
    DecodedKey out{};
    out.nfields = kAfCount;
    out.len = key->len;
    if (key->len == 0) return out;
    if (key->len < kAssocMaskBits) {
        out.status = KeyStatus::kParseError;
        return out;
    }
    // 1. The MASK: the first 7 bits (the rest read in chunks for now).
    uint32_t widths[kAfCount + 1], values[kAfCount + 1];
    uint32_t n = chunk_widths(kAssocMaskBits, key->len, widths);
    if (zel_ptn_parse(key, n, widths, values) != 0) {
        out.status = KeyStatus::kParseError;
        return out;
    }
    out.mask = static_cast<uint8_t>(values[0]);
    // 2. Walk the selected fields in key order: whole fields must fit,
    //    prefix fields may be cut; after the key ends they are wildcards.
    //    A whole field cut short stops the walk; the fields in front of
    //    it are still read.
    uint32_t rem = key->len - kAssocMaskBits;
    uint8_t take[kAfCount] = {};
    for (uint32_t i = 0; i < kAfCount; ++i) {
        const AssocFieldDef &d = kAssocFields[i];
        out.f[i].selected = (out.mask & d.mask_bit) != 0;
        if (out.status == KeyStatus::kBadFieldWidth || !out.f[i].selected || rem == 0) continue;
        if (rem >= d.field.width) {
            take[i] = d.field.width;
        } else if (d.field.prefix) {
            take[i] = static_cast<uint8_t>(rem);
        } else {
            out.status = KeyStatus::kBadFieldWidth;
            out.bad_field = static_cast<uint8_t>(i);
            continue;
        }
        rem -= take[i];
    }
    if (rem != 0 && out.status != KeyStatus::kBadFieldWidth) {
        out.status = KeyStatus::kUnexpectedLength;
        return out;
    }
    // 3. Read the fields with their exact widths (the bits of a field cut
    //    short, fewer than 16, as one more that is not kept).
    n = 0;
    widths[n++] = kAssocMaskBits;
    for (uint32_t i = 0; i < kAfCount; ++i)
        if (take[i]) widths[n++] = take[i];
    if (rem != 0) widths[n++] = rem;
    if (zel_ptn_parse(key, n, widths, values) != 0) {
        out.status = KeyStatus::kParseError;
        return out;
    }
    for (uint32_t i = 0, v = 1; i < kAfCount; ++i) {
        if (!take[i]) continue;
        out.f[i].bits = take[i];
        out.f[i].value = align(values[v++], kAssocFields[i].field.width, take[i]);
    }
    return out;
}

// A whole field takes none or all of its bits; a prefix field up to all.
constexpr bool field_bits_ok(const FieldDef &f, uint32_t bits) {
    return bits <= f.width && (f.prefix || bits == 0 || bits == f.width);
}

// Reads one pattern of `len` bits as one field of `width` bits.
bool read_pattern(const zel_ptn_t &p, uint32_t width, FieldValue *out) {
    out->selected = true;
    out->bits = static_cast<uint8_t>(p.len);
    out->value = 0;
    if (p.len == 0) return true;
    uint32_t w = p.len, v = 0;
    if (zel_ptn_parse(&p, 1, &w, &v) != 0) return false;
    out->value = align(v, width, p.len);
    return true;
}

}  // namespace

const AssocFieldDef kAssocFields[kAfCount] = {
    {{"VRD-ID", 6, false}, kTmVrd},   {{"INTF-ID", 16, false}, kTmIntf},
    {{"PROTO", 8, false}, kTmProto},  {{"DIP", 32, true}, kTmDip},
    {{"DPORT", 16, false}, kTmDport}, {{"SIP", 32, true}, kTmSip},
    {{"SPORT", 16, false}, kTmSport},
};

const KeyLayout &key_layout(uint32_t tree) { return tree < kTrees ? kLayouts[tree] : kEmpty; }

bool key_len_ok(const KeyLayout &lay, uint32_t len) {
    if (len == 0) return true;
    if (lay.nfields == 0 || len < lay.min_len || len > lay.width) return false;
    uint32_t pos = 0;
    for (uint32_t i = 0; i < lay.nfields; ++i) {
        if (len == pos) return true;
        if (len < pos + lay.fields[i].width) return lay.fields[i].prefix;
        pos += lay.fields[i].width;
    }
    return len == pos;
}

KeySpec key_spec(const KeyLayout &lay, const uint32_t *vals, uint32_t nvals, uint32_t len) {
    KeySpec k{};
    k.ok = nvals == lay.nfields && key_len_ok(lay, len);
    if (!k.ok) return k;
    for (uint32_t i = 0, pos = 0; i < lay.nfields && pos < len; ++i) {
        uint32_t w = lay.fields[i].width;
        uint32_t take = std::min(w, len - pos);
        k.f[k.n++] = {lead(vals[i], w, take), take};
        pos += take;
    }
    return k;
}

KeySpec key_spec(uint32_t tree, std::initializer_list<uint32_t> vals, uint32_t len) {
    return key_spec(key_layout(tree), vals.begin(), static_cast<uint32_t>(vals.size()), len);
}

uint32_t key_build(TreeRecord &t, const KeySpec &k) {
    if (!k.ok) return ZEL_E_INVALID_PARAM;
    return ::zel::ip::key_build(t, k.f, k.n);
}

uint32_t key_build_own_status(TreeRecord &t, const KeySpec &k) {
    if (!k.ok) return ZEL_E_INVALID_PARAM;
    return ::zel::ip::key_build_own_status(t, k.f, k.n);
}

uint32_t key_program(zel_module_t *m, TreeRecord &t, const KeySpec &k, uint32_t op,
                     hwe_action_t &action, const char *rule_msg, Site s, const char *build_msg) {
    if (!k.ok) {
        size_t n = std::strlen(build_msg);
        bool has_newline = n > 0 && build_msg[n - 1] == '\n';
        return fail(m, Level::kFatal, fatal(ZEL_E_INVALID_PARAM), s, true,
                    has_newline ? "%s" : "%s\n", build_msg);
    }
    return rule_program(m, t, k.f, k.n, op, action, rule_msg, s, build_msg);
}

DecodedKey key_decode(uint32_t tree, const zel_ptn_t *key) {
    if (tree == kTreeIngressAssocFlow) return assoc_key_decode(key);
    DecodedKey out{};
    const KeyLayout &lay = key_layout(tree);
    out.nfields = lay.nfields;
    out.len = key->len;
    for (uint32_t i = 0; i < lay.nfields; ++i) out.f[i].selected = true;
    if (lay.nfields == 0) {
        out.status = KeyStatus::kParseError;
        return out;
    }
    if (key->len == 0) return out;
    if (!key_len_ok(lay, key->len)) {
        out.status = KeyStatus::kUnexpectedLength;
        return out;
    }
    uint32_t widths[kMaxKeyFields], values[kMaxKeyFields], n = 0;
    uint8_t take[kMaxKeyFields] = {};
    for (uint32_t i = 0, pos = 0; i < lay.nfields && pos < key->len; ++i) {
        take[i] = static_cast<uint8_t>(std::min<uint32_t>(lay.fields[i].width, key->len - pos));
        widths[n++] = take[i];
        pos += take[i];
    }
    if (zel_ptn_parse(key, n, widths, values) != 0) {
        out.status = KeyStatus::kParseError;
        return out;
    }
    for (uint32_t i = 0; i < n; ++i) {
        out.f[i].bits = take[i];
        out.f[i].value = align(values[i], lay.fields[i].width, take[i]);
    }
    return out;
}

KeySpec assoc_key_spec(uint8_t tree_mask, const AssocKey &k) {
    KeySpec out{};
    if (tree_mask >> kAssocMaskBits) return out;
    // 1. The key ends at the first wildcard or cut prefix; nothing
    //    selected may follow that point.
    bool ended = false;
    for (uint32_t i = 0; i < kAfCount; ++i) {
        const AssocFieldDef &d = kAssocFields[i];
        if (!(tree_mask & d.mask_bit)) continue;
        uint32_t b = k.bits[i];
        if (!field_bits_ok(d.field, b) || (ended && b != 0)) return out;
        if (b < d.field.width) ended = true;
    }
    // 2. MASK, then the specified selected fields.
    out.f[out.n++] = {tree_mask, kAssocMaskBits};
    for (uint32_t i = 0; i < kAfCount; ++i) {
        const AssocFieldDef &d = kAssocFields[i];
        if (!(tree_mask & d.mask_bit) || k.bits[i] == 0) continue;
        out.f[out.n++] = {lead(k.value[i], d.field.width, k.bits[i]), k.bits[i]};
    }
    out.ok = true;
    return out;
}

bool tree_uses_functions(uint32_t tree) { return tree < kTrees && kUsesFunctions[tree]; }

EntryKind entry_kind(uint32_t tree, const hwe_action_t &a) {
    switch (a.kind) {
    case HWE_ACTION_NONE:
    case HWE_ACTION_VALUE:
        return EntryKind::kValue;
    case HWE_ACTION_FUNC:
        return tree_uses_functions(tree) ? EntryKind::kFunction : EntryKind::kUnexpected;
    default:
        return EntryKind::kUnexpected;
    }
}

const VectorLayout *vector_layout(uint32_t tree) {
    return tree == 34 ? &kBasicFilter : tree == 35 ? &kAssocFilter : nullptr;
}

const RangeLayout *range_layout(uint32_t tree) {
    return tree == 33 ? &kPbr : tree == 36 ? &kExtFilter : nullptr;
}

uint32_t vector_key_new(const VectorLayout &lay, zel_ptn_t *ptns) {
    for (uint32_t i = 0; i < lay.nfields; ++i) {
        if (uint32_t st = zel_ptn_new(lay.fields[i].width, &ptns[i])) {
            while (i-- > 0) zel_ptn_free(&ptns[i]);
            return st;
        }
    }
    return 0;
}

uint32_t vector_key_free(const VectorLayout &lay, zel_ptn_t *ptns) {
    uint32_t st = 0;
    for (uint32_t i = 0; i < lay.nfields; ++i) st += zel_ptn_free(&ptns[i]);
    return st;
}

uint32_t vector_key_fill(const VectorLayout &lay, zel_ptn_t *ptns, const uint32_t *vals,
                         const uint8_t *bits) {
    for (uint32_t i = 0; i < lay.nfields; ++i)
        if (!field_bits_ok(lay.fields[i], bits[i])) return ZEL_E_INVALID_PARAM;
    uint32_t st = 0;
    for (uint32_t i = 0; i < lay.nfields; ++i) {
        st += zel_ptn_clear(&ptns[i]);
        if (bits[i]) st += zel_ptn_extend(&ptns[i], lead(vals[i], lay.fields[i].width, bits[i]), bits[i]);
    }
    return st;
}

DecodedVector vector_key_decode(uint32_t tree, const zel_vptn_t &key) {
    DecodedVector out{};
    out.count = static_cast<uint8_t>(std::min<uint32_t>(key.count, 255));
    const VectorLayout *lay = vector_layout(tree);
    if (!lay) {
        out.status = RuleKeyStatus::kParseError;
        return out;
    }
    if (key.count != lay->nfields || !key.ptns) {
        out.status = RuleKeyStatus::kWrongCount;
        return out;
    }
    // Every readable field is filled; the status names the first bad one.
    for (uint32_t i = 0; i < lay->nfields; ++i) {
        const zel_ptn_t &p = key.ptns[i];
        if (!field_bits_ok(lay->fields[i], p.len)) {
            if (out.status == RuleKeyStatus::kOk) {
                out.status = i == 0 ? RuleKeyStatus::kBadSetKey : RuleKeyStatus::kBadField;
                out.bad_field = static_cast<uint8_t>(i);
            }
            continue;
        }
        if (!read_pattern(p, lay->fields[i].width, &out.f[i])) {
            out.status = RuleKeyStatus::kParseError;
            out.bad_field = static_cast<uint8_t>(i);
            return out;
        }
    }
    return out;
}

DecodedRanges range_key_decode(uint32_t tree, const zel_ptn_t &set_key, uint32_t nranges,
                               const zel_rptn_t *ranges) {
    DecodedRanges out{};
    out.count = static_cast<uint8_t>(std::min<uint32_t>(nranges, 255));
    const RangeLayout *lay = range_layout(tree);
    if (!lay) {
        out.status = RuleKeyStatus::kParseError;
        return out;
    }
    if (nranges != lay->nranges || !ranges) {
        out.status = RuleKeyStatus::kWrongCount;
        return out;
    }
    if (!field_bits_ok(lay->set_key, set_key.len)) {
        out.status = RuleKeyStatus::kBadSetKey;
    } else if (!read_pattern(set_key, lay->set_key.width, &out.set_key)) {
        out.status = RuleKeyStatus::kParseError;
        return out;
    }
    // Every range is copied; the status names the first one of a wrong width.
    for (uint32_t i = 0; i < lay->nranges; ++i) {
        out.r[i] = {ranges[i].lo, ranges[i].hi};
        if (ranges[i].width != lay->ranges[i].width && out.status == RuleKeyStatus::kOk) {
            out.status = RuleKeyStatus::kBadField;
            out.bad_field = static_cast<uint8_t>(i);
        }
    }
    return out;
}

}  // namespace zel::ip::layout
