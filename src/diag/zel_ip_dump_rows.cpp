// Row decoders of the single-pattern trees (0 to 32 and 37): one row spec
// per tree - its header line, the key columns of its catch-all, how its
// other keys and its values read - and the one routine that runs them
// (zel_ipv4_table_entry_dump). Keys are read with layout::key_decode and
// values with the per-tree value codecs; the forms printed here are the
// dump's contract, character for character.
#include <cstdarg>
#include <cstdio>

#include "diag/zel_ip_dump_internal.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_cpu.h"
#include "tree/zel_ip_layout_flow.h"
#include "tree/zel_ip_layout_intf.h"
#include "tree/zel_ip_layout_route.h"
#include "tree/zel_ip_tree.h"

namespace zel::ip::diag {

namespace lay = zel::ip::layout;
using lay::DecodedKey;
using lay::EntryKind;
using lay::FieldValue;

// ---- Text ------------------------------------------------------------------

Text::Text(char *buf, size_t size) : buf_(buf), size_(buf ? size : 0) {
    if (size_) buf_[0] = '\0';
}

void Text::put(const char *fmt, ...) {
    char *dst = len_ < size_ ? buf_ + len_ : nullptr;
    const size_t room = len_ < size_ ? size_ - len_ : 0;
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(dst, room, fmt, ap);
    va_end(ap);
    if (n > 0) len_ += static_cast<size_t>(n);
}

void Text::add(const char *text) { put("%s", text); }

void put_addr(Text &o, uint32_t a) {
    o.put("%u.%u.%u.%u", a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff);
}

void dump_print(const Text &t) { std::fwrite(t.c_str(), 1, t.kept(), stdout); }

namespace {

constexpr const char *kUnexpectedPattern = "!!Unexpected Pattern!!";
constexpr const char *kParseError = "!!Parse Error!!";
constexpr const char *kMaskParseError = "!!Mask Parse Error!!";
constexpr const char *kPatternParseError = "!!Pattern Parse Error!!";
constexpr const char *kUnexpectedReturn = "!!Unexpected Return!!";
constexpr const char *kUnexpectedReturnBlank = " !!Unexpected Return!!";

// ---- column helpers ----------------------------------------------------------

void addr(Text &o, uint32_t a) { put_addr(o, a); }
// "%d.%d.%d.%d/%d": an address field read with its specified bits.
void prefix(Text &o, const FieldValue &f) {
    addr(o, f.value);
    o.put("/%u", f.bits);
}
const char *on_off(bool on) { return on ? ", ON" : ", OFF"; }
const char *enabled(bool on) { return on ? ", Enabled" : ", Disabled"; }

// Column names of the tree-mask bits, in bit order (the ING-ASSOC-MASK
// column of trees 2 and 3; tree 8 prints them in key order).
struct MaskName {
    uint8_t bit;
    const char *name;
};
constexpr MaskName kMaskNames[] = {
    {lay::kTmVrd, "VRD|"},     {lay::kTmIntf, "INTF|"},   {lay::kTmDip, "DIP|"},
    {lay::kTmSip, "SIP|"},     {lay::kTmProto, "PROTO|"}, {lay::kTmDport, "DPORT|"},
    {lay::kTmSport, "SPORT|"},
};
const char *mask_name(uint8_t bit) {
    for (const MaskName &n : kMaskNames)
        if (n.bit == bit) return n.name;
    return "";
}
void mask_names(Text &o, uint8_t mask) {
    for (const MaskName &n : kMaskNames)
        if (mask & n.bit) o.add(n.name);
}

// The FPL function index columns of a bound flow (trees 8, 9): none, both,
// or the one that is set (a flow without an IMC function has its flow
// function index where the IMC index goes).
void fn_indexes(Text &o, uint32_t imc_idx, uint32_t flow_idx) {
    if (imc_idx == 0 && flow_idx == 0)
        o.add(", NA, NA");
    else if (imc_idx != 0 && flow_idx != 0)
        o.put(", %u, %u", imc_idx, flow_idx);
    else
        o.put(", NA, %u", imc_idx != 0 ? imc_idx : flow_idx);
}

// ---- key columns ---------------------------------------------------------------
// Each prints the columns of a key that is not the catch-all; false ends
// the row (a marker was printed).

bool key_dec(Text &o, const DecodedKey &k) {
    o.put("%u", k.f[0].value);
    return true;
}
bool key_hex(Text &o, const DecodedKey &k) {
    o.put("0x%06x", k.f[0].value);
    return true;
}
bool key_dec_dec(Text &o, const DecodedKey &k) {
    o.put("%u, %u", k.f[0].value, k.f[1].value);
    return true;
}
bool key_hex_dec(Text &o, const DecodedKey &k) {
    o.put("0x%06x, %u", k.f[0].value, k.f[1].value);
    return true;
}
// Trees 0, 2: domain, then the address prefix (0.0.0.0/0 for a key that
// ends after the domain).
bool key_vrd_prefix(Text &o, const DecodedKey &k) {
    o.put("%u, ", k.f[0].value);
    prefix(o, k.f[1]);
    return true;
}
bool key_tunnel_if(Text &o, const DecodedKey &k) {
    o.put("%u, %u, ", k.f[0].value, k.f[1].value);
    addr(o, k.f[2].value);
    o.add(", ");
    addr(o, k.f[3].value);
    return true;
}
bool key_tunnel_id(Text &o, const DecodedKey &k) {
    o.put("%d", static_cast<int>(lay::tunnel_if::tunnel_of_key(k.f[0].value)));
    return true;
}

// Tree 8: the MASK as field names in key order, then every field in key
// order: NA when not selected, a wildcard when selected but beyond the
// key's end, else its value. A whole field cut short ends the row with its
// width marker after the fields in front of it.
constexpr const char *kAssocWidthMarkers[lay::kAfCount] = {
    "!!Unexpected VRD ID Width!!",    "!!Unexpected Intf ID Width!!", "!!Unexpected Proto Width!!",
    nullptr /* DIP: a prefix */,      "!!Unexpected Dest Port Width!!", nullptr /* SIP */,
    "!!Unexpected Src Port Width!!",
};
bool key_assoc(Text &o, const DecodedKey &k) {
    o.add("|");
    for (const lay::AssocFieldDef &d : lay::kAssocFields)
        if (k.mask & d.mask_bit) o.add(mask_name(d.mask_bit));
    for (uint32_t i = 0; i < lay::kAfCount; ++i) {
        if (k.status == lay::KeyStatus::kBadFieldWidth && i == k.bad_field) {
            o.add(kAssocWidthMarkers[i] ? kAssocWidthMarkers[i] : kUnexpectedPattern);
            return false;
        }
        const FieldValue &f = k.f[i];
        const bool address = lay::kAssocFields[i].field.prefix;
        if (!f.selected) {
            o.add(", NA");
        } else if (f.bits == 0) {
            o.add(address ? ", *.*.*.*" : ", *");
        } else if (address) {
            o.add(", ");
            prefix(o, f);
        } else if (i == lay::kAfIntf) {
            o.put(", 0x%08x", f.value);
        } else {
            o.put(", %u", f.value);
        }
    }
    return true;
}

// Tree 21: address, then the port, or NA for a key without one.
bool key_napt(Text &o, const DecodedKey &k) {
    addr(o, k.f[0].value);
    if (k.f[1].bits == 0)
        o.add(", NA");
    else
        o.put(", %u", k.f[1].value);
    return true;
}
// Tree 22: interface, then the subnet prefix (a wildcard without one).
bool key_intf_subnet(Text &o, const DecodedKey &k) {
    o.put("0x%06x, ", k.f[0].value);
    if (k.f[1].bits == 0)
        o.add("*.*.*.*");
    else
        prefix(o, k.f[1]);
    return true;
}
// Tree 29: interface, then the next hop (a wildcard without one).
bool key_egress_flow(Text &o, const DecodedKey &k) {
    o.put("0x%06x, ", k.f[0].value);
    if (k.f[1].bits == 0)
        o.add("*");
    else
        addr(o, k.f[1].value);
    return true;
}
// Tree 31: interface and direction (the selector field picks the value
// form).
bool key_capture(Text &o, const DecodedKey &k) {
    o.put("0x%06x, ", k.f[0].value);
    o.add(k.f[2].value == lay::capture::kEgress ? "Egress, " : "Ingress, ");
    return true;
}

// ---- value columns -------------------------------------------------------------
// Called with an entry kind the tree uses (function or value entry).

using V = const hwe_action_t &;
using K = const DecodedKey &;
constexpr bool is_fn(EntryKind kind) { return kind == EntryKind::kFunction; }

void val_src_addr(Text &o, K, V a, EntryKind) {
    switch (lay::src_addr::decode(a)) {
    case lay::src_addr::Verdict::kBlockAll: o.add(", Block-All"); break;
    case lay::src_addr::Verdict::kBlockFwd: o.add(", Block-Fwd"); break;
    case lay::src_addr::Verdict::kAllow: o.add(", Allow"); break;
    }
}

void val_host_mode(Text &o, K, V a, EntryKind) { o.add(lay::host_mode::routing_enabled(a) ? ", Enabled" : ", Disabled"); }

// Trees 2, 3: the association mask columns.
void dest_mask(Text &o, uint8_t mask, bool always_bar) {
    if (mask == 0 && !always_bar) {
        o.add(", NA");
        return;
    }
    o.add(", |");
    mask_names(o, mask);
}

void val_dest(Text &o, K, V a, EntryKind) {
    using RT = lay::dest::RouteType;
    const lay::dest::Value v = lay::dest::decode(a);
    switch (v.type) {
    case RT::kNoRoute: o.add(", No-Route, NA, NA, NA"); break;
    case RT::kNullRoute: o.add(", Null-Route, NA, NA, NA"); break;
    case RT::kInvalidRoute: o.add(", Invalid-Route, NA, NA, NA"); break;
    case RT::kSubnetBroadcast: o.add(", Subnet-Broadcast, NA, NA, NA"); break;
    case RT::kLocallyAddressed:
        o.add(", Locally-Addressed, NA, NA");
        o.add(on_off(v.defrag));
        break;
    case RT::kAttachedSubnet: o.add(", Attached-Subnet, NA, NA, NA"); break;
    case RT::kViaTunnel: o.put(", Via-IP-Tunnel-Intf, NA, %u, NA", v.intf_id); break;
    case RT::kViaNextHop:
        o.add(", Via-Next-Hop, ");
        addr(o, v.next_hop);
        o.add(", NA, NA");
        break;
    case RT::kLocallyTerminating:
        o.add(", Locally-Terminating, NA, NA");
        o.add(on_off(v.defrag));
        break;
    }
    dest_mask(o, v.assoc_mask, false);
}

void val_pbr_action(Text &o, K, V a, EntryKind) {
    using PK = lay::pbr_action::Kind;
    const lay::pbr_action::Value v = lay::pbr_action::decode(a);
    switch (v.kind) {
    case PK::kDipBasedRouting: o.add(", DIP-Based-Routing, NA, NA, NA, NA"); break;
    case PK::kViaTunnel: o.put(", Via-IP-Tunnel-Intf, NA, %u, NA, NA", v.intf_id); break;
    case PK::kViaNextHop:
        o.add(", Via-Next-Hop, ");
        addr(o, v.next_hop);
        o.add(", NA, NA, NA");
        break;
    case PK::kLocallyTerminating:
        o.add(", Locally-Terminating, NA, NA");
        o.add(on_off(v.defrag));
        dest_mask(o, v.assoc_mask, true);
        break;
    }
}

// Trees 4, 6: the tunnel's interface id, NA for a function entry.
void val_tunnel_if(Text &o, K, V a, EntryKind kind) {
    if (is_fn(kind))
        o.add(", NA");
    else
        o.put(", 0x%06x", lay::tunnel_if::intf_id(a));
}

void val_tunnel_pmtu(Text &o, K, V a, EntryKind) {
    const lay::tunnel_pmtu::Value v = lay::tunnel_pmtu::decode(a);
    o.add(v.ptb_exception ? ", YES" : ", NO");
    o.put(", %u", v.outer_mtu);
}

// Trees 7, 14, 16: one id in W1.
void val_id_w1(Text &o, K, V a, EntryKind) { o.put(", 0x%06x", lay::id_w1::decode(a)); }

void val_assoc(Text &o, K, V a, EntryKind kind) {
    if (is_fn(kind)) {
        o.add(", Default-Action, NA, NA, NA, NA, NA");
        return;
    }
    const lay::assoc::Value v = lay::assoc::decode(a);
    switch (v.action) {
    case lay::assoc::Action::kSendToCpu: o.add(", Send-to-CPU"); break;
    case lay::assoc::Action::kDiscard: o.add(", Discard"); break;
    case lay::assoc::Action::kBind: o.add(", Bind"); break;
    }
    o.put(", 0x%06x", v.flow_id);
    o.add(on_off(v.policing));
    o.add(on_off(v.filtering));
    fn_indexes(o, v.imc_idx, v.flow_idx);
}

void val_comp_assoc(Text &o, K, V a, EntryKind kind) {
    if (is_fn(kind)) {
        o.add(", NA, NA, NA, NA");
        return;
    }
    const lay::assoc::Value v = lay::assoc::decode(a);
    o.put(", 0x%06x", v.flow_id);
    o.add(on_off(v.policing));
    fn_indexes(o, v.imc_idx, v.flow_idx);
}

void val_egress_dip(Text &o, K, V a, EntryKind) {
    const lay::egress_dip::Value v = lay::egress_dip::decode(a);
    o.put(", %u, ", v.vrd_id);
    addr(o, v.dip);
    o.put(", %u", v.proto);
}

void val_egress_sip_mtu(Text &o, K, V a, EntryKind) {
    const lay::egress_sip_mtu::Value v = lay::egress_sip_mtu::decode(a);
    o.add(", ");
    addr(o, v.sip);
    o.put(", %u", v.mtu);
}

void val_egress_info(Text &o, K, V a, EntryKind) {
    const lay::egress_info::Value v = lay::egress_info::decode(a);
    o.add(v.flow_sip ? ", Flow-SIP" : ", Intf-SIP");
    if (!v.encap_udp) {
        o.add(", IPv4, NA, NA, NA");
        return;
    }
    o.put(", IPv4-UDP, %u, %u", v.udp_sport, v.udp_dport);
    o.add(v.update_l4_csum ? ", Yes" : ", No");
}

void val_exception(Text &o, K, V a, EntryKind) {
    const lay::exception::Value v = lay::exception::decode(a);
    switch (v.kind) {
    case lay::exception::Kind::kSendToMppFunc: o.put(", SEND-TO-MPP-FUNC, %u, NA, NA, NA", v.fn_id); break;
    case lay::exception::Kind::kSendToCpuNca: o.put(", SEND-TO-CPU-NCA, NA, %u, NA, NA", v.nca_q); break;
    case lay::exception::Kind::kSendToCpuPh:
        o.put(", SEND-TO-CPU-PH, NA, NA, 0x%08x, %u", v.ph_handle, v.cb_fn_id);
        break;
    }
}

void val_exception_path(Text &o, K, V a, EntryKind) {
    switch (lay::via_mtm::via(a)) {
    case lay::via_mtm::Via::kYes: o.add(", YES"); break;
    case lay::via_mtm::Via::kNo: o.add(", NO"); break;
    case lay::via_mtm::Via::kInvalid: o.add(" !!Unexpected vvalue!!"); return;
    }
    o.put(", 0x%06x", lay::via_mtm::mtm_q_id(a));
}

void val_filter_cpu_param(Text &o, K, V a, EntryKind) {
    const lay::filter_cpu_param::Value v = lay::filter_cpu_param::decode(a);
    if (v.nca)
        o.put(", %u, NA, NA, 0x%06x", v.nca_q, v.context_flow);
    else
        o.put(", NA, 0x%08x, %u, NA", v.ph_handle, v.cb_fn_id);
}

void val_filter_cpu_ctx(Text &o, K, V a, EntryKind) {
    o.put(", 0x%06x", lay::filter_cpu_ctx::context_flow(a));
}

// Tree 19: the DSCP map (function entry) or a queue in W1; W2 as it is.
void val_cpu_path_param(Text &o, K, V a, EntryKind) {
    if (lay::cpu_path_param::uses_dscp_map(a))
        o.add(", Yes, NA");
    else
        o.put(", No, 0x%06x", a.w1);
    o.put(", 0x%06x", a.w2);
}

void val_cpu_dscp(Text &o, K, V a, EntryKind) {
    if (lay::via_mtm::via(a) == lay::via_mtm::Via::kYes)
        o.put(", Yes, 0x%06x", lay::via_mtm::mtm_q_id(a));
    else
        o.add(", No, NA");
}

void val_napt(Text &o, K, V a, EntryKind) {
    const lay::napt::Value v = lay::napt::decode(a);
    if (!v.translated) {
        o.add(", NA, NA");
        return;
    }
    o.add(", ");
    addr(o, v.addr);
    if (v.port == 0)
        o.add(", NA");
    else
        o.put(", %u", v.port);
}

void val_intf_sip_mtu(Text &o, K, V a, EntryKind kind) {
    if (is_fn(kind)) {
        o.add(", NA, NA");
        return;
    }
    const lay::intf_sip_mtu::Value v = lay::intf_sip_mtu::decode(a);
    o.add(", ");
    addr(o, v.sip);
    o.put(", %u", v.mtu);
}

void filter_kind(Text &o, lay::intf_ingress::Filter f) {
    switch (f) {
    case lay::intf_ingress::Filter::kBasic: o.add(", Basic"); break;
    case lay::intf_ingress::Filter::kExtended: o.add(", Extended"); break;
    case lay::intf_ingress::Filter::kDisabled: o.add(", Disabled"); break;
    }
}

void val_intf_ingress(Text &o, K, V a, EntryKind kind) {
    if (is_fn(kind)) {
        o.add(", NA, NA, NA, NA, NA, NA, NA, NA, NA");
        return;
    }
    const lay::intf_ingress::Value v = lay::intf_ingress::decode(a);
    switch (v.nat) {
    case lay::intf_ingress::Nat::kInside: o.add(", Inside"); break;
    case lay::intf_ingress::Nat::kOutside: o.add(", Outside"); break;
    case lay::intf_ingress::Nat::kNone: o.add(", No"); break;
    }
    o.add(enabled(v.pbr));
    filter_kind(o, v.filter);
    o.add(on_off(v.policing));
    o.add(enabled(v.dscp_map));
    o.add(enabled(v.capture));
    o.add(v.admin_disabled ? ", Disabled" : ", Enabled");
    if (v.rule_set == 0)
        o.add(", None");
    else
        o.put(", %u", v.rule_set);
    o.put(", %u", v.vrd_id);
}

void val_intf_egress(Text &o, K, V a, EntryKind kind) {
    if (is_fn(kind)) {
        o.add(", NA, NA, NA, NA, NA");
        return;
    }
    const lay::intf_egress::Value v = lay::intf_egress::decode(a);
    filter_kind(o, v.filter);
    o.add(v.qos_l3 ? ", L3" : ", L2");
    o.add(v.admin_disabled ? ", Disabled" : ", Enabled");
    o.add(enabled(v.capture));
    o.put(", %u", v.mtu);
}

// ", %d", or ", None" for id 0.
void id_or_none(Text &o, uint32_t id) {
    if (id == 0)
        o.add(", None");
    else
        o.put(", %u", id);
}

void val_intf_rule_set(Text &o, K, V a, EntryKind kind) {
    if (is_fn(kind)) {
        o.add(", NA, NA");
        return;
    }
    const lay::intf_rule_set::Value v = lay::intf_rule_set::decode(a);
    id_or_none(o, v.egress_rule_set);
    id_or_none(o, v.pbr_policy_set);
}

void val_intf_dscp_police(Text &o, K, V a, EntryKind) {
    const lay::intf_dscp_police::Value v = lay::intf_dscp_police::decode(a);
    id_or_none(o, v.dscp_profile);
    o.put(", 0x%06x", v.policing_flow);
}

void val_flow_cpu_path(Text &o, K, V a, EntryKind) {
    const lay::flow_cpu_path::Value v = lay::flow_cpu_path::decode(a);
    if (v.nca)
        o.put(", %u, NA, NA", v.nca_q);
    else
        o.put(", NA, 0x%08x, %u", v.ph_handle, v.cb_fn_id);
}

void val_custom_bind(Text &o, K, V a, EntryKind) {
    if (lay::custom_bind::has_function(a))
        o.put(", %u", lay::custom_bind::flow_fn_id(a));
    else
        o.add(", NA");
}

void val_egress_flow(Text &o, K, V a, EntryKind) {
    const lay::egress_flow::Value v = lay::egress_flow::decode(a);
    if (!v.bound()) {
        o.put(", 0x%06x, NA, NA, NA", v.w1);
        return;
    }
    o.put(", NA, 0x%06x", lay::egress_flow::kBindFlowId.get(a));
    if (v.imc_idx != 0 && v.flow_idx != 0)
        o.put(", %u, %u", v.imc_idx, v.flow_idx);
    else
        o.put(", NA, %u", v.imc_idx != 0 ? v.imc_idx : v.flow_idx);
}

void val_dscp_qos(Text &o, K, V a, EntryKind) { o.put(", 0x%06x", lay::dscp_qos::mtm_q_id(a)); }

// Tree 31: delivery parameters (selector 0) or traffic-manager parameters
// (selector 1); the key's direction column already ended with ", ".
void val_capture(Text &o, K k, V a, EntryKind) {
    if (k.f[1].value == lay::capture::kSelMtm) {
        const lay::capture::Mtm m = lay::capture::decode_mtm(a);
        if (m.mtm_q_id != 0)
            o.put(", , Yes, 0x%06x, 0x%08x", m.mtm_q_id, m.context_id);
        else
            o.put(", , No, NA, 0x%08x", m.context_id);
        return;
    }
    const lay::capture::Delivery d = lay::capture::decode_delivery(a);
    o.put("0x%08x, %u, , ,", d.ph_handle, d.cb_fn_id);
}

void val_dscp_pcp(Text &o, K, V a, EntryKind) {
    const lay::dscp_pcp::Value v = lay::dscp_pcp::decode(a);
    o.put(", %u, 0x%06x", v.pcp, v.mtm_param_idx);
}

void val_lo_pbr(Text &o, K, V a, EntryKind) {
    const lay::lo_pbr::Value v = lay::lo_pbr::decode(a);
    if (v.enabled)
        o.put(", Enabled, %u", v.policy_set);
    else
        o.add(", Disabled, NA");
}

// ---- the row specs -----------------------------------------------------------------

struct RowSpec {
    const char *header;
    const char *wildcard;  // key columns of the catch-all entry
    bool (*key)(Text &, const DecodedKey &);
    void (*value)(Text &, const DecodedKey &, const hwe_action_t &, EntryKind);
    const char *parse_marker;
    bool blank_return;        // " !!Unexpected Return!!" rather than without the blank
    bool catch_all_no_value;  // the catch-all row has no value columns
};

constexpr const char *kFlowRuleWildcard = "*, *";

// clang-format off
constexpr RowSpec kRows[kNumTrees] = {
    /* 0 */ {"VRD-ID, SRC-ADDR, ACTION", "*, *.*.*.*", key_vrd_prefix, val_src_addr, kParseError, false, false},
    /* 1 */ {"VRD-ID, ROUTING", "*", key_dec, val_host_mode, kParseError, true, false},
    /* 2 */ {"VRD-ID, DEST-ADDR, ROUTE-TYPE, NEXT-HOP, INTF-ID, DEFRAG, ING-ASSOC-MASK", "*, *.*.*.*",
             key_vrd_prefix, val_dest, kParseError, false, false},
    /* 3 */ {"PBR-RULE-ID, ROUTE-TYPE, NEXT-HOP, INTF-ID, DEFRAG, ING-ASSOC-MASK", "*", key_hex,
             val_pbr_action, kParseError, true, false},
    /* 4 */ {"VRD-ID, PROTO, REMOTE-IP-ADDR, LOCAL-IP-ADDR, INTF-ID", "*, *, *, *", key_tunnel_if,
             val_tunnel_if, kParseError, true, false},
    /* 5 */ {"INTF-ID, PTB_EXCEP_ENABLED, OUTER-PATH-MTU", "*", key_dec, val_tunnel_pmtu, kParseError, true, false},
    /* 6 */ {"TUNNEL-ID, INTF-ID", "*", key_tunnel_id, val_tunnel_if, kParseError, true, false},
    /* 7 */ {"IP-FLOW-ID, POLICE-FLOW-ID", "*", key_hex, val_id_w1, kParseError, true, false},
    /* 8 */ {"MASK, VRD-ID, INTF-ID, PROTO, DIP, DPORT, SIP, SPORT, ACTION, FLOW-ID, POLICING, FILTERING, "
             "FPL-IMC-FN-IDX, FPL-FLOW-FN-IDX", "*, *, *, *, *, *, *, *", key_assoc, val_assoc,
             kMaskParseError, false, false},
    /* 9 */ {"DPORT, C-DIP, FLOW-ID, POLICING, FPL-IMC-FN-IDX, FPL-FLOW-FN-IDX", "*, *", key_dec_dec,
             val_comp_assoc, kMaskParseError, false, false},
    /* 10 */ {"IP-FLOW-ID, VRD-ID, DIP, PROTO", "*", key_hex, val_egress_dip, kParseError, true, false},
    /* 11 */ {"IP-FLOW-ID, SIP, MTU", "*", key_hex, val_egress_sip_mtu, kParseError, true, false},
    /* 12 */ {"IP-FLOW-ID, SIP-USED, ENCAP, SPORT, DPORT, UPDATE-L4-CSUM", "*", key_hex, val_egress_info,
              kParseError, true, false},
    /* 13 */ {"EXCEPTION-DOMAIN, EXCEPTION-TYPE, ACTION, FPL-FLOW-FN-ID, NCA-Q-ID, PH-BIND-HANDLE, CB-FN-ID",
              "*, *", key_dec_dec, val_exception, kParseError, true, false},
    /* 14 */ {"IP-FLOW-ID, FLOW-ID", "*", key_hex, val_id_w1, kParseError, true, false},
    /* 15 */ {"EXCEPTION-DOMAIN, EXCEPTION-TYPE VIA-MTM MTM-Q-ID", "*, *", key_dec_dec, val_exception_path,
              kParseError, true, false},
    /* 16 */ {"FLOW-ID, RULE-KEY, POLICE-FLOW-ID", kFlowRuleWildcard, key_hex_dec, val_id_w1, kParseError,
              false, false},
    /* 17 */ {"FLOW-ID, RULE-KEY, NCA-Q-ID, PH-BIND-HANDLE, CB-FN-ID, CONTEXT-FLOW-ID", kFlowRuleWildcard,
              key_hex_dec, val_filter_cpu_param, kParseError, false, false},
    /* 18 */ {"FLOW-ID, RULE-KEY, CONTEXT-FLOW-ID", kFlowRuleWildcard, key_hex_dec, val_filter_cpu_ctx,
              kParseError, false, false},
    /* 19 */ {"FLOW-ID, RULE-KEY, USE-DSCP-Q-MAP, MTM-Q-ID", kFlowRuleWildcard, key_hex_dec, val_cpu_path_param,
              kParseError, false, false},
    /* 20 */ {"DSCP, VIA-MTM, MTM-Q-ID", "*", key_dec, val_cpu_dscp, kParseError, false, false},
    /* 21 */ {"IP-ADDR, L4-PORT, NAT-IP-ADDR, NAT-L4-PORT", "*.*.*.*, *", key_napt, val_napt,
              kPatternParseError, true, false},
    /* 22 */ {"INTF-ID, SUBNET, SIP, MTU", "*, *.*.*.*", key_intf_subnet, val_intf_sip_mtu, kPatternParseError,
              true, false},
    /* 23 */ {"INTF-ID, NAT, PBR, INGRESS-FILTER, POLICING, INGRESS-DSCP-MAP, INGRESS-PKT-CAPTURE, ADMIN-STATUS, "
              "INGRESS-FILTER-RULE-SET, VRD-ID", "*", key_hex, val_intf_ingress, kParseError, true, false},
    /* 24 */ {"INTF-ID, EGRESS-FILTER, QOS-LEVEL, ADMIN-STATUS, EGRESS-PKT-CAPTURE, MTU", "*", key_hex,
              val_intf_egress, kParseError, true, false},
    /* 25 */ {"INTF-ID, EGRESS-FILTER-RULE-SET, PBR-POLICY-SET", "*", key_hex, val_intf_rule_set, kParseError,
              true, false},
    /* 26 */ {"INTF-ID, DSCP-MAP-PROFILE-ID, POLICING-FLOW-ID", "*", key_hex, val_intf_dscp_police, kParseError,
              true, false},
    /* 27 */ {"FLOW-ID, NCA-Q-ID, PH-BIND-HANDLE, CB-FN-ID", "*", key_hex, val_flow_cpu_path, kParseError, false,
              false},
    /* 28 */ {"FPL-FLOW-FN-IDX, FPL-FLOW-FN-ID", "*", key_dec, val_custom_bind, kParseError, true, false},
    /* 29 */ {"IP-INTF, NEXT-HOP, IP-EGRESS-FLOW, FLOW-ID, FPL-IMC-FN-IDX, FPL-FLOW-FN-IDX", "*, *",
              key_egress_flow, val_egress_flow, kMaskParseError, false, false},
    /* 30 */ {"INTF-ID, TOS, MTM-Q-ID", "*, *", key_hex_dec, val_dscp_qos, kParseError, true, false},
    /* 31 */ {"INTF-ID, DIRECTION, PH-BIND-HANDLE, CB-FN-ID, VIA-MTM, MTM-Q-ID, CONTEXT-ID", "*, *, , , , , ",
              key_capture, val_capture, kParseError, true, true},
    /* 32 */ {"INTF-ID, DSCP, PCP, MTM-PARAM-IDX", "*, *", key_hex_dec, val_dscp_pcp, kParseError, true, false},
    /* 33-36: rule-set trees, decoded per rule (zel_ip_dump_rules.cpp) */
    {}, {}, {}, {},
    /* 37 */ {"VRD-ID, PBR-POLICY-SET", "*", key_dec, val_lo_pbr, kParseError, true, false},
};
// clang-format on

// 1. Header line without a key. 2. A key the layout refuses or cannot be
// read: its marker. 3. The catch-all's wildcard columns, or the key's.
// 4. An action kind the tree does not use: its marker. 5. The value.
void entry_dump(Text &o, uint32_t tree, const zel_ptn_t *key, const hwe_action_t *value) {
    if (tree >= kNumTrees || !kRows[tree].header) return;
    const RowSpec &s = kRows[tree];
    if (!key) {
        o.add(s.header);
        return;
    }
    const DecodedKey k = lay::key_decode(tree, key);
    if (k.status == lay::KeyStatus::kUnexpectedLength) {
        o.add(kUnexpectedPattern);
        return;
    }
    if (k.status == lay::KeyStatus::kParseError) {
        o.add(s.parse_marker);
        return;
    }
    if (k.catch_all()) {
        o.add(s.wildcard);
        if (s.catch_all_no_value) return;
    } else if (!s.key(o, k)) {
        return;
    }
    if (!value) return;
    const EntryKind kind = lay::entry_kind(tree, *value);
    if (kind == EntryKind::kUnexpected) {
        o.add(s.blank_return ? kUnexpectedReturnBlank : kUnexpectedReturn);
        return;
    }
    s.value(o, k, *value, kind);
}

}  // namespace
}  // namespace zel::ip::diag

extern "C" uint32_t zel_ipv4_table_entry_dump(uint32_t index, const zel_ptn_t *key,
                                              const hwe_action_t *value, char *out, uint32_t size) {
    zel::ip::diag::Text o(out, size);
    zel::ip::diag::entry_dump(o, index, key, value);
    return static_cast<uint32_t>(o.length());
}
