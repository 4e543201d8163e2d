// Value layouts of the tunnel trees (4, 5, 6) and the per-interface trees
// (22 to 26). Key layouts: zel_ip_layout.h.
#ifndef ZEL_IP_LAYOUT_INTF_H
#define ZEL_IP_LAYOUT_INTF_H

#include "tree/zel_ip_layout.h"

namespace zel::ip::layout {

// ---- tree 4, ip_tunnel_if_lookup; tree 6, ip_tunnel_if_id_lookup ----------
namespace tunnel_if {

// Value: W1 = INTF-ID of the tunnel (learnt with kind 0). A function entry
// (the default) means no tunnel.
constexpr hwe_action_t encode(uint32_t intf_id) { return value_entry(intf_id, 0, HWE_ACTION_NONE); }
constexpr uint32_t intf_id(const hwe_action_t &a) { return a.w1; }

// Tree 6 is keyed by the tunnel id plus 512 (12 bits).
inline constexpr uint32_t kTunnelKeyBase = 512;
constexpr uint32_t key_of_tunnel(uint32_t tunnel_id) { return tunnel_id + kTunnelKeyBase; }
constexpr uint32_t tunnel_of_key(uint32_t key) { return key - kTunnelKeyBase; }

}  // namespace tunnel_if

// ---- tree 5, ip_tunnel_pmtu_lookup ----------------------------------------
namespace tunnel_pmtu {

// W1 bit 15 raises a packet-too-big exception; W1 without it is the outer
// path MTU.
inline constexpr uint32_t kPtbException = 1u << 15;

struct Value {
    bool ptb_exception;
    uint32_t outer_mtu;
};

constexpr hwe_action_t encode(const Value &v) {
    return value_entry((v.outer_mtu & ~kPtbException) | (v.ptb_exception ? kPtbException : 0u), 0,
                       HWE_ACTION_NONE);
}
constexpr Value decode(const hwe_action_t &a) {
    return {(a.w1 & kPtbException) != 0, a.w1 & ~kPtbException};
}

}  // namespace tunnel_pmtu

// ---- tree 22, ip_interface_sip_mtu_lookup ---------------------------------
namespace intf_sip_mtu {

// Source address: bits 0 to 7 in W1 bits 0 to 7, bits 8 to 31 in W2;
// MTU in W1 bits 8 to 23. A function entry (the default) has no data.
inline constexpr VSplit kSip{{1, 0, 8}, {2, 0, 24}};
inline constexpr VField kMtu{1, 8, 16};

struct Value {
    uint32_t sip;
    uint32_t mtu;
};

constexpr hwe_action_t encode(const Value &v) {
    hwe_action_t a = value_entry(0, 0);
    kSip.put(a, v.sip);
    kMtu.put(a, v.mtu);
    return a;
}
constexpr Value decode(const hwe_action_t &a) { return {kSip.get(a), kMtu.get(a)}; }

}  // namespace intf_sip_mtu

// ---- tree 23, ip_interface_ingress_flowid_ruleset_flags_lookup ------------
namespace intf_ingress {

inline constexpr uint32_t kNatInside = 1u << 0;
inline constexpr uint32_t kNatOutside = 1u << 1;   // bit 0 is tested first
inline constexpr uint32_t kPbr = 1u << 2;
inline constexpr uint32_t kBasicFilter = 1u << 3;
inline constexpr uint32_t kExtFilter = 1u << 4;    // bit 3 is tested first
inline constexpr uint32_t kPolicing = 1u << 5;
inline constexpr uint32_t kDscpMap = 1u << 6;
inline constexpr VField kRuleSet{1, 8, 8};         // 0 = none
inline constexpr VField kVrdId{1, 16, 6};
inline constexpr uint32_t kAdminDisabled = 1u << 22;
inline constexpr uint32_t kCapture = 1u << 23;

enum class Nat : uint8_t { kNone, kInside, kOutside };
enum class Filter : uint8_t { kDisabled, kBasic, kExtended };

struct Value {
    Nat nat;
    bool pbr;
    Filter filter;
    bool policing;
    bool dscp_map;
    uint8_t rule_set;
    uint8_t vrd_id;
    bool admin_disabled;
    bool capture;
};

constexpr Nat nat_of(uint32_t w1) {
    return (w1 & kNatInside) ? Nat::kInside : (w1 & kNatOutside) ? Nat::kOutside : Nat::kNone;
}
constexpr Filter filter_of(uint32_t w1) {
    return (w1 & kBasicFilter) ? Filter::kBasic : (w1 & kExtFilter) ? Filter::kExtended : Filter::kDisabled;
}

constexpr hwe_action_t encode(const Value &v) {
    hwe_action_t a = value_entry(0, 0);
    a.w1 = (v.nat == Nat::kInside ? kNatInside : v.nat == Nat::kOutside ? kNatOutside : 0u) |
           (v.pbr ? kPbr : 0u) |
           (v.filter == Filter::kBasic ? kBasicFilter : v.filter == Filter::kExtended ? kExtFilter : 0u) |
           (v.policing ? kPolicing : 0u) | (v.dscp_map ? kDscpMap : 0u) |
           (v.admin_disabled ? kAdminDisabled : 0u) | (v.capture ? kCapture : 0u);
    kRuleSet.put(a, v.rule_set);
    kVrdId.put(a, v.vrd_id);
    return a;
}
constexpr Value decode(const hwe_action_t &a) {
    return {nat_of(a.w1),
            (a.w1 & kPbr) != 0,
            filter_of(a.w1),
            (a.w1 & kPolicing) != 0,
            (a.w1 & kDscpMap) != 0,
            static_cast<uint8_t>(kRuleSet.get(a)),
            static_cast<uint8_t>(kVrdId.get(a)),
            (a.w1 & kAdminDisabled) != 0,
            (a.w1 & kCapture) != 0};
}

}  // namespace intf_ingress

// ---- tree 24, ip_interface_egress_flowid_mtu_flags_lookup -----------------
namespace intf_egress {

inline constexpr uint32_t kNatInside = intf_ingress::kNatInside;
inline constexpr uint32_t kNatOutside = intf_ingress::kNatOutside;
inline constexpr uint32_t kBasicFilter = 1u << 3;
inline constexpr uint32_t kExtFilter = 1u << 4;    // bit 3 is tested first
inline constexpr uint32_t kQosL3 = 1u << 5;        // clear: L2
inline constexpr uint32_t kAdminDisabled = 1u << 6;
inline constexpr uint32_t kCapture = 1u << 7;
inline constexpr VField kMtu{1, 8, 16};

struct Value {
    intf_ingress::Nat nat;
    intf_ingress::Filter filter;
    bool qos_l3;
    bool admin_disabled;
    bool capture;
    uint32_t mtu;
};

constexpr hwe_action_t encode(const Value &v) {
    using intf_ingress::Filter;
    using intf_ingress::Nat;
    hwe_action_t a = value_entry(0, 0);
    a.w1 = (v.nat == Nat::kInside ? kNatInside : v.nat == Nat::kOutside ? kNatOutside : 0u) |
           (v.filter == Filter::kBasic ? kBasicFilter : v.filter == Filter::kExtended ? kExtFilter : 0u) |
           (v.qos_l3 ? kQosL3 : 0u) | (v.admin_disabled ? kAdminDisabled : 0u) |
           (v.capture ? kCapture : 0u);
    kMtu.put(a, v.mtu);
    return a;
}
constexpr Value decode(const hwe_action_t &a) {
    return {intf_ingress::nat_of(a.w1), intf_ingress::filter_of(a.w1), (a.w1 & kQosL3) != 0,
            (a.w1 & kAdminDisabled) != 0, (a.w1 & kCapture) != 0, kMtu.get(a)};
}

}  // namespace intf_egress

// ---- tree 25, ip_interface_filter_rule_set_lookup -------------------------
namespace intf_rule_set {

// W1 = egress filter rule set id, W2 = PBR policy set id (0 = none each).
struct Value {
    uint32_t egress_rule_set;
    uint32_t pbr_policy_set;
};

constexpr hwe_action_t encode(const Value &v, uint32_t kind = HWE_ACTION_NONE) {
    return value_entry(v.egress_rule_set, v.pbr_policy_set, kind);
}
constexpr Value decode(const hwe_action_t &a) { return {a.w1, a.w2}; }

}  // namespace intf_rule_set

// ---- tree 26, ip_if_ingress_dscp_police_lookup ----------------------------
namespace intf_dscp_police {

// W1 = DSCP map profile id (0 = none), W2 = policing flow id.
struct Value {
    uint32_t dscp_profile;
    uint32_t policing_flow;
};

constexpr hwe_action_t encode(const Value &v) { return value_entry(v.dscp_profile, v.policing_flow); }
constexpr Value decode(const hwe_action_t &a) { return {a.w1, a.w2}; }

}  // namespace intf_dscp_police

}  // namespace zel::ip::layout

#endif  // ZEL_IP_LAYOUT_INTF_H
