// Routes and invalid destinations: entries of the destination tree (tree
// 2) keyed by VRD-ID and destination prefix. The tree entry is the only
// state; adding a route for a prefix that has an entry replaces it, and
// removing one lets its addresses fall back to the closest shorter prefix
// (the rule primitive asks the tree's subnet database for it).
//
// This is the library's hot configuration path: no allocation (but for a
// route via a tunnel, which the ledger counts), no text formatted unless a
// line is printed or traced, at most one registry lookup per handle (none
// for the default domain) and one ledger lookup.
#include <cinttypes>

#include "core/zel_ip_call.h"
#include "core/zel_ip_objects.h"
#include "tree/zel_ip_assoc_mask.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_route.h"
#include "tree/zel_ip_ledger.h"
#include "zel_ip/zel_ip_core.h"
#include "zel_ip/zel_ip_route.h"

using namespace zel::ip;
namespace lay = zel::ip::layout;

namespace {

constexpr uint32_t kMaxPrefixLen = 32;
constexpr const char *kLearnFail = "Failed to add the LPM rule in hardware\n";
constexpr const char *kUnlearnFail = "Failed to remove the LPM rule from hardware\n";

// Next hops a route may not use: limited broadcast, multicast, loopback.
constexpr bool bad_next_hop(uint32_t nh) {
    return nh == 0xffffffff || (nh & 0xf0000000) == 0xe0000000 || (nh >> 24) == 127;
}

// The VRD ID of a route's domain handle, or the failure to return.
uint32_t resolve_vrd(Call &c, zel_ip_vrd_handle_t vrd, uint32_t *id) {
    if (zel_ipv4_vrd_valid_handle(vrd, id)) return 0;
    return ZREJECT(c.m, kBadHandle, "Invalid IPv4 routing domain handle 0x%08" PRIxPTR "\n",
                   reinterpret_cast<uintptr_t>(vrd));
}

// Learns (add) or unlearns (remove) the tree-2 entry of vrd_id/dest/len.
// The entry is the application's from then on (tree/zel_ip_ledger.h):
// whichever object owned it no longer does, and a route via a tunnel
// counts as a use of that tunnel (`via`: its INTF-ID key).
uint32_t program(Call &c, uint32_t op, uint32_t vrd_id, uint32_t dest, uint32_t len, hwe_action_t &a,
                 uint64_t via = 0) {
    return app_entry(c.m, *c.priv, kTreeDestAddr, vrd_id, dest, len, op, a,
                     op == kRuleLearn ? kLearnFail : kUnlearnFail, via, ZEL_SITE);
}

uint32_t route_add(Call &c, const zel_ip_route_params_t *p) {
    // 1-4.
    if (!p) return ZREJECT(c.m, kBadParam, "Invalid NULL pointer parameter\n");
    uint32_t vrd_id = 0;
    if (uint32_t st = resolve_vrd(c, p->vrd, &vrd_id)) return st;
    const bool local = p->local_termination != 0;
    const bool defrag = p->reassembly != 0;
    if (defrag && !local)
        return ZREJECT(c.m, kBadParam,
                       "Re-assembly cannot be enabled if ingress flow association for local "
                       "termination is not enabled\n");
    if (p->prefix_len > kMaxPrefixLen)
        return ZREJECT(c.m, error(ZEL_IP_E_INVALID_ADDR_PREFIX), "Invalid dest IP address prefix length\n");
    // 5-6. Next hop and egress interface. A tunnel is looked up once; an
    //      IPoE interface only serves as a check and is not written.
    const bool tunnel = p->egress_intf && zel_ipv4_tunnel_interface_valid_handle(p->egress_intf);
    const uint32_t intf_id = tunnel ? static_cast<const IntfHead *>(p->egress_intf)->hdr.intf_id : 0;
    if (p->next_hop != 0) {
        if (bad_next_hop(p->next_hop))
            return ZREJECT(c.m, error(ZEL_IP_E_INVALID_IP_ADDRESS), "Invalid address specified as next hop\n");
        if (tunnel)
            return ZREJECT(c.m, kBadParam,
                           "Next hop must not be specified when egress interface is a valid tunnel "
                           "interface\n");
        if (p->egress_intf && !zel_ipv4_interface_valid_handle(p->egress_intf))
            return ZREJECT(c.m, kBadParam, "Invalid output interface specified with valid next hop address\n");
    } else if (p->egress_intf && !tunnel) {
        return ZREJECT(c.m, kBadParam,
                       "Next hop unspecified and egress interface is not a valid tunnel interface\n");
    }
    // A tunnel whose delete has begun takes no new route.
    if (tunnel && ledger_of(*c.priv).closing(ledger_intf_key(intf_id)))
        return ZREJECT(c.m, kBadParam, "Interface is being deleted; only its delete can be repeated\n");
    // 7. The association mask; 0 means DIP only and is not checked.
    uint8_t tree_mask = lay::kTmDip;
    if (local && p->ingress_assoc_mask != 0) {
        if (uint32_t st = zel_ipv4_valid_ingress_association_mask(c.m, p->ingress_assoc_mask))
            return ZREJECT(c.m, error(st), "Unexpected ingress association rule mask\n");
        // A route knows no protocol: every selected port counts.
        tree_mask = assoc_tree_mask(p->ingress_assoc_mask, 0);
    }
    // 8-10. Compose and learn (the key is built by the rule programmer).
    hwe_action_t a;
    if (p->next_hop == 0 && !p->egress_intf && !local) {
        a = lay::dest::null_route();
    } else {
        const uint32_t w1 = local ? lay::dest::local_termination_w1(tree_mask, defrag) : 0;
        a = lay::dest::route(w1, tunnel, intf_id, p->next_hop);
    }
    return program(c, kRuleLearn, vrd_id, p->dest, p->prefix_len, a, tunnel ? ledger_intf_key(intf_id) : 0);
}

// Route delete and invalid destination remove: whatever entry has the key
// goes, whatever its type.
uint32_t remove_entry(Call &c, uint32_t vrd_id, uint32_t dest, uint32_t len) {
    hwe_action_t a = c.priv->trees[kTreeDestAddr].default_action;
    return program(c, kRuleUnlearn, vrd_id, dest, len, a);
}

uint32_t route_delete(Call &c, const zel_ip_route_params_t *p) {
    if (!p) return ZREJECT(c.m, kBadParam, "Invalid NULL pointer parameter\n");
    uint32_t vrd_id = 0;
    if (uint32_t st = resolve_vrd(c, p->vrd, &vrd_id)) return st;
    if (p->prefix_len > kMaxPrefixLen)
        return ZREJECT(c.m, error(ZEL_IP_E_INVALID_ADDR_PREFIX), "Invalid IP address prefix\n");
    return remove_entry(c, vrd_id, p->dest, p->prefix_len);
}

uint32_t invalid_dip(Call &c, zel_ip_vrd_handle_t vrd, const zel_ip_invalid_dip_params_t *p, bool add) {
    // The parameters are checked before the domain handle.
    if (!p) return ZREJECT(c.m, kBadParam, "Invalid NULL pointer parameter\n");
    uint32_t vrd_id = 0;
    if (uint32_t st = resolve_vrd(c, vrd, &vrd_id)) return st;
    if (p->prefix_len > kMaxPrefixLen)
        return ZREJECT(c.m, error(ZEL_IP_E_INVALID_ADDR_PREFIX), "Invalid dest IP address prefix length\n");
    if (!add) return remove_entry(c, vrd_id, p->dest, p->prefix_len);
    hwe_action_t a = lay::dest::invalid_route();
    return program(c, kRuleLearn, vrd_id, p->dest, p->prefix_len, a);
}

}  // namespace

extern "C" {

uint32_t zel_ip_route_add(zel_module_t *module, const zel_ip_route_params_t *params) {
    return with_module(module, __func__, [&](Call &c) { return route_add(c, params); });
}

uint32_t zel_ip_route_delete(zel_module_t *module, const zel_ip_route_params_t *params) {
    return with_module(module, __func__, [&](Call &c) { return route_delete(c, params); });
}

uint32_t zel_ip_invalid_dip_add(zel_module_t *module, zel_ip_vrd_handle_t vrd,
                                const zel_ip_invalid_dip_params_t *params) {
    return with_module(module, __func__, [&](Call &c) { return invalid_dip(c, vrd, params, true); });
}

uint32_t zel_ip_invalid_dip_rem(zel_module_t *module, zel_ip_vrd_handle_t vrd,
                                const zel_ip_invalid_dip_params_t *params) {
    return with_module(module, __func__, [&](Call &c) { return invalid_dip(c, vrd, params, false); });
}

}  // extern "C"
