// Value layouts of the routing trees: source address check (tree 0), host
// or router mode (1), destinations (2), policy-route actions (3) and PBR
// for locally originated traffic (37). Key layouts: zel_ip_layout.h.
#ifndef ZEL_IP_LAYOUT_ROUTE_H
#define ZEL_IP_LAYOUT_ROUTE_H

#include "tree/zel_ip_layout.h"

namespace zel::ip::layout {

// ---- tree 0, ip_src_addr_lookup ------------------------------------------
namespace src_addr {

enum class Verdict : uint8_t { kAllow, kBlockFwd, kBlockAll };

// Allow and Block-Fwd are value entries learnt with kind 0; Block-All is a
// function entry calling "zel_ip.invalid_src_ip_addr".
constexpr hwe_action_t allow() { return value_entry(0, 0, HWE_ACTION_NONE); }
constexpr hwe_action_t block_fwd() { return value_entry(1, 0, HWE_ACTION_NONE); }
constexpr hwe_action_t block_all(uint32_t invalid_src_fn_id) { return function_entry(invalid_src_fn_id); }

// A function entry blocks everything; a value entry with W1 non-zero
// blocks forwarding; W1 = 0 allows (W2 is not used).
constexpr Verdict decode(const hwe_action_t &a) {
    return a.kind == HWE_ACTION_FUNC ? Verdict::kBlockAll
           : a.w1 != 0               ? Verdict::kBlockFwd
                                     : Verdict::kAllow;
}

}  // namespace src_addr

// ---- tree 1, Check_host_router_mode ---------------------------------------
namespace host_mode {

// A function entry calling "zel_ip.VRF_routing_disabled" puts the domain in
// host mode; without an entry (the tree's value default) it routes.
constexpr hwe_action_t routing_disabled(uint32_t vrf_routing_disabled_fn_id) {
    return function_entry(vrf_routing_disabled_fn_id);
}
constexpr bool routing_enabled(const hwe_action_t &a) { return a.kind != HWE_ACTION_FUNC; }

}  // namespace host_mode

// ---- tree 2, ip_dest_addr_lookup ------------------------------------------
namespace dest {

// W1 flags.
inline constexpr uint32_t kForward = 1u << 0;          // via next hop / tunnel
inline constexpr uint32_t kAttachedSubnet = 1u << 1;
inline constexpr uint32_t kNoRoute = 1u << 2;
inline constexpr uint32_t kSubnetBroadcast = 1u << 3;
inline constexpr uint32_t kNullRoute = 1u << 4;
inline constexpr uint32_t kDefrag = 1u << 5;           // reassemble before local delivery
inline constexpr uint32_t kTunnel = 1u << 6;           // next hop is a tunnel, W2 its INTF-ID
inline constexpr uint32_t kLocallyAddressed = 1u << 7;
inline constexpr uint32_t kInvalidRoute = 1u << 15;

// The tree mask of the association lookup (ING-ASSOC-MASK): bit n of the
// 7-bit tree mask is W1 bit 8 + n.
inline constexpr VField kAssocMask{1, 8, 7};
// Next hop: low 24 bits in W2, top 8 bits in W1 bits 16 to 23.
inline constexpr VSplit kNextHop{{2, 0, 24}, {1, 16, 8}};
// Tunnel routes carry 0x7F in W1 bits 16 to 22.
inline constexpr VField kTunnelTag{1, 16, 7};
inline constexpr uint32_t kTunnelTagValue = 0x7f;
// INTF-ID of a tunnel, attached subnet or local address: W2.
inline constexpr VField kIntfId{2, 0, 24};
// Compressed address index of a local address: W1 bits 16 to 23.
inline constexpr VField kCdip{1, 16, 8};

// The tree's default action (value 4/0) reads as No-Route.
enum class RouteType : uint8_t {
    kNoRoute,
    kNullRoute,
    kInvalidRoute,
    kSubnetBroadcast,
    kLocallyAddressed,
    kAttachedSubnet,
    kViaTunnel,
    kViaNextHop,
    kLocallyTerminating,
};

// First match in this order decides: No-Route, Null-Route, Invalid-Route,
// Subnet-Broadcast, Locally-Addressed, Attached-Subnet, forward (tunnel or
// next hop), else Locally-Terminating.
constexpr RouteType route_type(uint32_t w1) {
    if (w1 & kNoRoute) return RouteType::kNoRoute;
    if (w1 & kNullRoute) return RouteType::kNullRoute;
    if (w1 & kInvalidRoute) return RouteType::kInvalidRoute;
    if (w1 & kSubnetBroadcast) return RouteType::kSubnetBroadcast;
    if (w1 & kLocallyAddressed) return RouteType::kLocallyAddressed;
    if (w1 & kAttachedSubnet) return RouteType::kAttachedSubnet;
    if (w1 & kForward) return (w1 & kTunnel) ? RouteType::kViaTunnel : RouteType::kViaNextHop;
    return RouteType::kLocallyTerminating;
}

struct Value {
    RouteType type;
    bool defrag;         // meaningful for Locally-Addressed and -Terminating
    uint8_t assoc_mask;  // tree mask (every type)
    uint32_t next_hop;   // kViaNextHop
    uint32_t intf_id;    // kViaTunnel, kAttachedSubnet, kLocallyAddressed
    uint8_t cdip;        // kLocallyAddressed
};

constexpr Value decode(const hwe_action_t &a) {
    Value v{};
    v.type = route_type(a.w1);
    v.defrag = (a.w1 & kDefrag) != 0;
    v.assoc_mask = static_cast<uint8_t>(kAssocMask.get(a));
    if (v.type == RouteType::kViaNextHop) v.next_hop = kNextHop.get(a);
    if (v.type == RouteType::kViaTunnel || v.type == RouteType::kAttachedSubnet ||
        v.type == RouteType::kLocallyAddressed)
        v.intf_id = kIntfId.get(a);
    if (v.type == RouteType::kLocallyAddressed) v.cdip = static_cast<uint8_t>(kCdip.get(a));
    return v;
}

constexpr hwe_action_t null_route() { return value_entry(kNullRoute, 0); }
constexpr hwe_action_t invalid_route() { return value_entry(kInvalidRoute, 0); }

// W1 bits of a local-termination entry: the tree mask and DEFRAG.
constexpr uint32_t local_termination_w1(uint8_t tree_mask, bool defrag) {
    hwe_action_t a{};
    kAssocMask.put(a, tree_mask);
    return a.w1 | (defrag ? kDefrag : 0u);
}

// A route of the application: `w1` holds the bits of a local-termination
// route (local_termination_w1), or 0 for a plain route, which then
// forwards (bit 0). A tunnel egress adds bit 6 and the tunnel tag with W2
// = the tunnel's INTF-ID; otherwise a next hop (non-zero) goes to W1 bits
// 16 to 23 and W2. With local termination bit 0 stays clear, so the entry
// reads as Locally-Terminating whatever next hop it carries.
constexpr hwe_action_t route(uint32_t w1, bool via_tunnel, uint32_t tunnel_intf_id,
                             uint32_t next_hop) {
    hwe_action_t a = value_entry(w1 != 0 ? w1 : kForward, 0);
    if (via_tunnel) {
        a.w1 |= kTunnel;
        kTunnelTag.put(a, kTunnelTagValue);
        kIntfId.put(a, tunnel_intf_id);
    } else if (next_hop != 0) {
        kNextHop.put(a, next_hop);
    }
    return a;
}

// ---- Entries of interface addresses ----------------------------------------

// The attached-subnet route of an interface's subnet: forward (bit 0) and
// Attached-Subnet, W2 = the interface's INTF-ID.
constexpr hwe_action_t attached_subnet(uint32_t intf_id) {
    hwe_action_t a = value_entry(kForward | kAttachedSubnet, 0);
    kIntfId.put(a, intf_id);
    return a;
}

// A host of an attached subnet with an association rule of its own:
// Attached-Subnet with the tree mask, W2 = INTF-ID.
constexpr hwe_action_t attached_host(uint8_t tree_mask, uint32_t intf_id) {
    hwe_action_t a = value_entry(kAttachedSubnet, 0);
    kAssocMask.put(a, tree_mask);
    kIntfId.put(a, intf_id);
    return a;
}

// One of an interface's own addresses: Locally-Addressed with the
// address's compressed index, the tree mask of its association lookup and
// DEFRAG; W2 = INTF-ID.
constexpr hwe_action_t local_address(uint8_t cdip, uint8_t tree_mask, bool defrag,
                                     uint32_t intf_id) {
    hwe_action_t a = value_entry(kLocallyAddressed | (defrag ? kDefrag : 0u), 0);
    kCdip.put(a, cdip);
    kAssocMask.put(a, tree_mask);
    kIntfId.put(a, intf_id);
    return a;
}

// The network and the broadcast address of an interface's subnet.
constexpr hwe_action_t subnet_broadcast() { return value_entry(kSubnetBroadcast, 0); }

}  // namespace dest

// ---- tree 3, ip_pbr_action_lookup -----------------------------------------
namespace pbr_action {

// A function entry (the default) routes by destination. A value entry uses
// the tree-2 bits 0, 5, 6, 8 to 14 and 16 to 23 (and W2): bit 0 forwards
// (to a tunnel with bit 6), bit 0 clear terminates locally.
enum class Kind : uint8_t { kDipBasedRouting, kViaTunnel, kViaNextHop, kLocallyTerminating };

// Route by destination after all: a function entry calling
// "zel_ip.dip_based_route_lookup".
constexpr hwe_action_t dip_based(uint32_t dip_based_route_lookup_fn_id) {
    return function_entry(dip_based_route_lookup_fn_id);
}

// The route flags F of any other action. Local termination: the tree mask
// of the association lookup in bits 8 to 14 (DIP alone when the action
// gives no mask), DEFRAG with reassembly, and bit 0 should nothing else be
// set. Otherwise forward (bit 0), or DEFRAG alone with reassembly.
constexpr uint32_t flags(bool local_termination, uint8_t tree_mask, bool reassembly) {
    if (!local_termination) return reassembly ? dest::kDefrag : dest::kForward;
    const uint32_t f = dest::local_termination_w1(tree_mask, reassembly);
    return f != 0 ? f : dest::kForward;
}

// The value entry (kind 4) of flags F: into a tunnel (W1 = F | 0x7F0040,
// W2 = the tunnel's INTF-ID) or to a next hop (its top 8 bits in W1 bits
// 16 to 23, the low 24 in W2).
constexpr hwe_action_t encode(uint32_t f, bool via_tunnel, uint32_t tunnel_intf_id, uint32_t next_hop) {
    return dest::route(f, via_tunnel, tunnel_intf_id, next_hop);
}

struct Value {
    Kind kind;
    uint32_t next_hop;   // kViaNextHop
    uint32_t intf_id;    // kViaTunnel
    bool defrag;         // kLocallyTerminating
    uint8_t assoc_mask;  // kLocallyTerminating
};

constexpr Value decode(const hwe_action_t &a) {
    Value v{};
    if (a.kind == HWE_ACTION_FUNC) {
        v.kind = Kind::kDipBasedRouting;
    } else if (a.w1 & dest::kForward) {
        v.kind = (a.w1 & dest::kTunnel) ? Kind::kViaTunnel : Kind::kViaNextHop;
        if (v.kind == Kind::kViaTunnel)
            v.intf_id = dest::kIntfId.get(a);
        else
            v.next_hop = dest::kNextHop.get(a);
    } else {
        v.kind = Kind::kLocallyTerminating;
        v.defrag = (a.w1 & dest::kDefrag) != 0;
        v.assoc_mask = static_cast<uint8_t>(dest::kAssocMask.get(a));
    }
    return v;
}

}  // namespace pbr_action

// ---- tree 37, ip_lo_pbr_policy_set_lookup ---------------------------------
namespace lo_pbr {

// W1 bit 8 enables PBR for the domain with the policy set in W1 bits 0 to
// 7; an entry without bit 8 (any W1 below 256) is disabled. Learnt with
// kind 0.
inline constexpr uint32_t kEnabled = 1u << 8;
inline constexpr VField kPolicySet{1, 0, 8};

struct Value {
    bool enabled;
    uint8_t policy_set;
};

constexpr hwe_action_t encode(uint8_t policy_set) {
    return value_entry(kEnabled | policy_set, 0, HWE_ACTION_NONE);
}
constexpr Value decode(const hwe_action_t &a) {
    return {(a.w1 & kEnabled) != 0, static_cast<uint8_t>(kPolicySet.get(a))};
}

}  // namespace lo_pbr

}  // namespace zel::ip::layout

#endif  // ZEL_IP_LAYOUT_ROUTE_H
