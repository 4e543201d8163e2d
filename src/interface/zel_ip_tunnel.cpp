// IP tunnel interfaces: create and delete.
//
// Create validates everything before it takes anything, then takes, in
// order, the record, the interface id (stats NS ID), the MTM NS ID, the
// CPU path and the entries (see zel_ip_tunnel_pvt.h), recording each part
// in the record as the tunnel comes to hold it. A create that fails after
// the allocation withdraws exactly those parts again, in delete's order,
// and frees the record: left in place, the CPU path would keep the tunnel
// id taken in the framework's demux table (no later create could use it),
// and the entries would stay keyed by an interface id that no tunnel
// owns. Only a withdrawal that fails too leaves something behind; the
// interface id is then kept, so that no later interface inherits entries
// keyed by it.
//
// Delete withdraws what the tunnel holds in its fixed order and keeps its
// progress in the record, so a delete that failed partway is completed by
// repeating it.
#include "core/zel_ip_registry.h"
#include "interface/zel_ip_tunnel_pvt.h"
#include "tree/zel_ip_assoc_mask.h"
#include "tree/zel_ip_hw_internal.h"
#include "tree/zel_ip_layout_flow.h"
#include "tree/zel_ip_layout_intf.h"
#include "tree/zel_ip_layout_route.h"

using namespace zel::ip;

namespace {

constexpr const char *kAddRuleMsg = "Could not add LPM rule in hardware\n";
constexpr const char *kRemoveRuleMsg = "Could not remove LPM rule from hardware\n";

// The tree-6 key of a tunnel: tunnel id + 512, the whole 12-bit key.
layout::KeySpec tunnel_id_key(uint32_t port) {
    return layout::key_spec(kTreeTunnelIfId, {port}, layout::key_layout(kTreeTunnelIfId).width);
}

// What the checks of create found out.
struct Checked {
    uint32_t inner_vrd;
    uint32_t outer_vrd;
};

// Create steps 1 to 7: nothing is taken before all of them pass.
uint32_t check_create(Call &c, const zel_ip_tunnel_params_t *params, zel_ip_tunnel_handle_t *out,
                      Checked &k) {
    zel_module_t *m = c.m;
    // 1.
    if (!out || !params) {
        if (out) *out = nullptr;
        return ZREJECT(m, kBadParam, "NULL pointer parameter specified\n");
    }
    *out = nullptr;
    const zel_ip_tunnel_params_t &p = *params;
    // 2. The end addresses, when known.
    if (p.local_addr != 0 && !host_addr_ok(p.local_addr))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS), "Invalid Local IP address specified\n");
    if (p.remote_addr != 0 && !host_addr_ok(p.remote_addr))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS), "Invalid Remote IP address specified\n");
    // 3.
    if (p.mtu != 0 && (p.mtu < kMinMtu || p.mtu > kMaxMtu))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_MTU), "Invalid MTU Value %d\n", static_cast<int>(p.mtu));
    if (p.path_mtu != 0 && (p.path_mtu < kMinMtu || p.path_mtu > kMaxMtu))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_MTU), "Invalid path MTU Value %d\n",
                       static_cast<int>(p.path_mtu));
    // 4.
    if (!zel_ipv4_vrd_valid_handle(p.inner_vrd, &k.inner_vrd))
        return ZREJECT(m, kBadHandle, "Invalid Inner IP Virtual Routing Domain handle \n");
    if (!zel_ipv4_vrd_valid_handle(p.outer_vrd, &k.outer_vrd))
        return ZREJECT(m, kBadHandle, "Invalid Outer IP Virtual Routing Domain handle \n");
    // 5. The id keys the tunnel's demux entry and tree-6 entry: one tunnel
    //    each.
    if (p.tunnel_id > ZEL_IP_MAX_TUNNEL_ID)
        return ZREJECT(m, kBadParam, "Tunnel interface ID %d outside valid range\n",
                       static_cast<int>(p.tunnel_id));
    if (c.priv->tunnel_table[p.tunnel_id])
        return ZREJECT(m, kBadParam, "Tunnel interface ID %d already in use\n",
                       static_cast<int>(p.tunnel_id));
    // 6. The NAT-T twin of a UDP tunnel would be its own outer match.
    if (p.natt == 1 && p.proto == kProtoUdp)
        return ZREJECT(m, kBadParam, "Tunnel interface protocol cannot be UDP with NAT-T enabled\n");
    // 7. The tunnel's own address.
    if (p.addr != 0) {
        const uint32_t a = p.addr, plen = p.prefix_len;
        // A /0 subnet would be the whole domain: its route the domain's
        // default route, its broadcast address the limited broadcast, whose
        // entries belong to the domain and would go with the tunnel.
        if (plen > 32 || plen == 0)
            return ZREJECT(m, kBadParam, "Invalid Tunnel IP address prefix width\n");
        // Below /31 the network and broadcast addresses of the subnet get
        // entries of their own (subnet broadcasts), which the address's
        // local entry would overwrite and delete would then miss.
        const uint32_t host = a & ~ip_bit_mask[plen], all_ones = ~ip_bit_mask[plen];
        const bool guard_addr = plen < 31 && (host == 0 || host == all_ones);
        if ((plen > 3 && (a >> 28) == 0xe) || (plen > 7 && (a >> 24) == 127) ||
            (plen == 32 && a == 0xffffffff) || guard_addr)
            return ZREJECT(m, kBadParam, "Invalid Tunnel interface IP address\n");
        uint32_t index = 0;
        if (zel_ip_address_compress(m, a, k.inner_vrd, kCompressFind, &index))
            return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS),
                           "IP address 0x%08x in VRD %d already in use\n", a,
                           static_cast<int>(k.inner_vrd));
        if (p.assoc_mask != 0) {
            if (uint32_t st = zel_ipv4_valid_ingress_association_mask(m, p.assoc_mask))
                return ZREJECT(m, error(st), "Unexpected Ingress association rule mask\n");
        }
        // Its entries must not fall on another address's.
        if (uint32_t st = addr_keys_free(c, k.inner_vrd, a, plen, {plen <= 31, plen < 31, true}))
            return st;
    }
    // The outer matches of the new tunnel must not be another tunnel's.
    if (p.local_addr != 0 && p.remote_addr != 0) {
        const bool taken =
            outer_match_taken(*c.priv, nullptr, k.outer_vrd, p.proto, p.remote_addr, p.local_addr) ||
            (p.natt == 1 &&
             outer_match_taken(*c.priv, nullptr, k.outer_vrd, kProtoUdp, p.remote_addr, p.local_addr));
        if (taken)
            return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS),
                           "Tunnel end addresses already in use by another tunnel interface\n");
    }
    return 0;
}

// Runs one step that takes part `bit` and records it as held once the
// engine holds it.
template <typename Step>
uint32_t take(zel_ip_tunnel &t, uint32_t bit, Step &&step) {
    const uint32_t st = step();
    if (engine_step_done(st)) t.absent &= ~bit;
    return st;
}

// Create steps 9 to 12 on the allocated record.
uint32_t build_tunnel(Call &c, zel_ip_tunnel &t) {
    zel_module_t *m = c.m;
    ZelIpPriv &p = *c.priv;
    const zel_ip_tunnel_params_t &tp = t.params;
    // 9. The interface id: the tunnel's INTF-ID and stats NS ID.
    if (uint32_t st = zel_sys_interface_id_alloc(m->sys_ctx, &t.stats_ns_id))
        return ZFAIL_FATAL(m, fatal(st), "Failed to allocate stats NS ID for IP interface\n");
    t.absent &= ~kTpIntfId;
    ZLOG_INFO(m, "Allocated tunnel interface NS ID 0x%x\n", t.stats_ns_id);
    // 10. Statistics and the MTM NS ID, as for an IPoE interface.
    bool mtm_taken = false;
    const uint32_t st10 = intf_stats_setup(m, p, t.stats_ns_id, &t.mtm_ns_id, &mtm_taken);
    if (mtm_taken) t.absent &= ~kWdMtmNsId;
    if (st10) return st10;
    // 11. The INTF-ID (an id the framework hands out once: one a Layer-2
    //     interface carrying an IP interface has is refused) and the CPU
    //     path.
    t.head.hdr.intf_id = t.stats_ns_id;
    const uint32_t intf = tunnel_intf_id(t), inner = t.inner_vrd_id;
    Ledger &l = ledger_of(p);
    const uint64_t intf_key = ledger_intf_key(intf);
    if (l.owner(intf_key))
        return ZFAIL_FATAL(m, error(ZEL_IP_E_INVALID_IP_INTERFACE),
                           "Interface id 0x%x handed out twice\n", intf);
    if (!l.reserve(intf_key)) return ZFAIL_FATAL(m, kNoMemory, "Memory allocation failed\n");
    l.claim(intf_key, &t);
    // The tunnel 127-address must not be another object's (see
    // tree/zel_ip_ledger.h); it keys on the INTF-ID, so only a route can
    // hold it.
    if (!l.reserve(ledger_addr_key(kTreeDestAddr, inner, tunnel_loopback(intf), layout::kAddrBits)))
        return ZFAIL_FATAL(m, kNoMemory, "Memory allocation failed\n");
    uint32_t added = 0;
    const uint32_t st11 = tunnel_cpu_path(m, p, intf, tp.tunnel_id, true, &added);
    t.absent &= ~added;
    if (st11) return ZFAIL_ERROR(m, error(st11), "Failed to setup CPU path for tunnel interface\n");
    // 12. The entries, in order, each under its condition.
    auto key_entry = [&](uint32_t tree, uint32_t bit, hwe_action_t a) {
        return take(t, bit, [&] { return intf_key_entry(m, p, tree, intf, kRuleLearn, a, kAddRuleMsg); });
    };
    auto dest_entry = [&](uint32_t bit, uint32_t addr, uint32_t plen, hwe_action_t a) {
        return take(t, bit, [&] {
            return owned_entry(m, p, kTreeDestAddr, &t, inner, addr, plen, kRuleLearn, a, kAddRuleMsg,
                               ZEL_SITE);
        });
    };
    //  1. Tunnel id + 512 -> INTF-ID.
    if (uint32_t st = take(t, kTpTunnelId, [&] {
            hwe_action_t a = layout::tunnel_if::encode(intf);
            return ZRULE_KEY(m, p.trees[kTreeTunnelIfId], kRuleLearn, a, kAddRuleMsg,
                             tunnel_id_key(tp.tunnel_id));
        }))
        return st;
    //  2-4. Ingress flags, egress flags, no rule set and no policy set.
    layout::intf_ingress::Value in{};
    in.vrd_id = static_cast<uint8_t>(inner);
    in.admin_disabled = tp.admin_down == 1;
    t.ingress_flags = layout::intf_ingress::encode(in).w1;
    if (uint32_t st = key_entry(kTreeIntfIngressFlags, kWdIngressFlags,
                                layout::value_entry(t.ingress_flags, intf)))
        return st;
    layout::intf_egress::Value eg{};
    eg.admin_disabled = tp.admin_down == 1;
    eg.mtu = tp.mtu;
    t.egress_flags = layout::intf_egress::encode(eg).w1;
    if (uint32_t st = key_entry(kTreeIntfEgressFlags, kWdEgressFlags,
                                layout::value_entry(t.egress_flags, intf)))
        return st;
    if (uint32_t st = key_entry(kTreeIntfFilterRuleSet, kWdRuleSet, layout::intf_rule_set::encode({0, 0})))
        return st;
    //  5. Source address and MTU.
    if (uint32_t st = take(t, kWdSipMtu, [&] {
            return tunnel_sip_mtu(m, p, t, tunnel_source(t), tp.mtu, kRuleLearn, kAddRuleMsg);
        }))
        return st;
    //  6. Path MTU word.
    if (tp.path_mtu != 0) {
        const hwe_action_t a = path_mtu_action(tp.path_mtu);
        if (uint32_t st = key_entry(kTreeTunnelPmtu, kTpPathMtu, a)) return st;
    }
    //  7. The tunnel 127-address in the inner domain.
    if (uint32_t st = dest_entry(kTpLoopback, tunnel_loopback(intf), layout::kAddrBits,
                                 layout::dest::attached_host(0, intf)))
        return st;
    //  8-10. The tunnel's own address: compressed slot, subnet route via
    //  the 127-address, guards of the subnet, local entry.
    if (tp.addr != 0) {
        const uint32_t a = tp.addr, plen = tp.prefix_len;
        uint32_t cdip = 0;
        if (!zel_ip_address_compress(m, a, inner, kCompressStore, &cdip))
            return ZFAIL_FATAL(m, fatal(ZEL_E_NO_SLOT),
                               "Failed to store IP address 0x%08x in VRD %d in compressed address list\n",
                               a, static_cast<int>(inner));
        t.absent &= ~kWdCompressed;
        if (plen <= 31) {
            if (uint32_t st = dest_entry(kWdSubnetRoute, a, plen,
                                         layout::dest::route(0, false, 0, tunnel_loopback(intf))))
                return st;
        }
        if (plen < 31) {
            uint32_t learnt = 0;
            const uint32_t st =
                intf_subnet_guards(m, inner, a, plen, 0, "Failed to configure invalid SIP addr\n",
                                   "Failed to configure invalid DIP addr\n", &learnt, &t);
            t.absent &= ~learnt;
            if (st) return st;
        }
        if (uint32_t st = dest_entry(kWdLocal, a, layout::kAddrBits,
                                     local_addr_entry(tp.assoc_mask, tp.reassemble, intf,
                                                      static_cast<uint8_t>(cdip))))
            return st;
    }
    //  11-12. The outer match and its NAT-T twin.
    if (tunnel_has_ends(t)) {
        if (uint32_t st = outer_learn(m, p, t, tp.proto, tp.remote_addr, tp.local_addr, kAddRuleMsg))
            return st;
        if (tp.natt == 1) {
            if (uint32_t st = outer_learn(m, p, t, kProtoUdp, tp.remote_addr, tp.local_addr, kAddRuleMsg))
                return st;
        }
    }
    //  13. DSCP to PCP: none yet, the MTM NS ID.
    return key_entry(kTreeIfDscpPcp, kWdDscpPcp, layout::dscp_pcp::encode({0, t.mtm_ns_id}));
}

// Withdraws what the tunnel holds (every part whose bit is clear in
// `absent`, and the listed outer matches) in delete's order, setting the
// bits as parts go; stops at the first failure. The interface id goes
// last, only once nothing keyed by it is left.
uint32_t teardown(Call &c, zel_ip_tunnel &t) {
    zel_module_t *m = c.m;
    ZelIpPriv &p = *c.priv;
    const zel_ip_tunnel_params_t &tp = t.params;
    const uint32_t intf = tunnel_intf_id(t), inner = t.inner_vrd_id;
    uint32_t *done = &t.absent;
    auto is_ok = [](uint32_t st) { return st == 0; };
    auto step = [&](uint32_t bit, auto &&fn) { return withdraw_step(done, bit, fn, entry_withdrawn); };
    auto key_entry = [&](uint32_t tree, uint32_t bit, hwe_action_t a) {
        return step(bit, [&] { return intf_key_entry(m, p, tree, intf, kRuleUnlearn, a, kRemoveRuleMsg); });
    };
    auto dest_entry = [&](uint32_t bit, uint32_t addr, uint32_t plen, hwe_action_t a) {
        return step(bit, [&] {
            return owned_entry(m, p, kTreeDestAddr, &t, inner, addr, plen, kRuleUnlearn, a,
                               kRemoveRuleMsg, ZEL_SITE);
        });
    };
    // 3. The CPU path.
    if (uint32_t st = tunnel_cpu_path(m, p, intf, tp.tunnel_id, false, done))
        return ZFAIL_ERROR(m, error(st), "Failed to remove CPU path for tunnel interface\n");
    // 4. The entries. The actions passed are those learnt (an unlearn of a
    //    full key does not look at them).
    if (uint32_t st = step(kTpTunnelId, [&] {
            hwe_action_t a = layout::tunnel_if::encode(intf);
            return ZRULE_KEY(m, p.trees[kTreeTunnelIfId], kRuleUnlearn, a, kRemoveRuleMsg,
                             tunnel_id_key(tp.tunnel_id));
        }))
        return st;
    if (uint32_t st = key_entry(kTreeIntfIngressFlags, kWdIngressFlags,
                                layout::value_entry(t.ingress_flags, intf)))
        return st;
    if (uint32_t st = key_entry(kTreeIntfEgressFlags, kWdEgressFlags,
                                layout::value_entry(t.egress_flags, intf)))
        return st;
    if (uint32_t st = key_entry(kTreeIntfFilterRuleSet, kWdRuleSet,
                                layout::intf_rule_set::encode({0, t.policy_set_id})))
        return st;
    if (uint32_t st = step(kWdSipMtu, [&] {
            return tunnel_sip_mtu(m, p, t, tunnel_source(t), tp.mtu, kRuleUnlearn, kRemoveRuleMsg);
        }))
        return st;
    if (uint32_t st = key_entry(kTreeTunnelPmtu, kTpPathMtu,
                                path_mtu_action(tp.path_mtu)))
        return st;
    if (uint32_t st = dest_entry(kTpLoopback, tunnel_loopback(intf), layout::kAddrBits,
                                 layout::dest::attached_host(0, intf)))
        return st;
    if (tp.addr != 0) {
        const uint32_t a = tp.addr, plen = tp.prefix_len;
        if (plen <= 31) {
            if (uint32_t st = dest_entry(kWdSubnetRoute, a, plen,
                                         layout::dest::route(0, false, 0, tunnel_loopback(intf))))
                return st;
        }
        if (plen < 31) {
            if (uint32_t st = intf_subnet_guards(m, inner, a, plen, 1, "Failed to remove invalid SIP addr\n",
                                                 "Failed to remove invalid DIP addr\n", done, &t))
                return st;
        }
        uint32_t st = withdraw_step(done, kWdCompressed, [&] {
            if (zel_ip_address_compress(m, a, inner, kCompressRemove, nullptr)) return 0u;
            return ZFAIL_FATAL(m, fatal(ZEL_E_NO_SLOT),
                               "IP address 0x%08x in VRD %d could not be removed from compressed list\n",
                               a, static_cast<int>(inner));
        }, is_ok);
        if (st) return st;
        if ((st = dest_entry(kWdLocal, a, layout::kAddrBits,
                             local_addr_entry(tp.assoc_mask, tp.reassemble, intf, 0))))
            return st;
    }
    if (uint32_t st = outer_withdraw(m, p, t, {OuterKeep::kNone, {}, {}}, kRemoveRuleMsg)) return st;
    if (uint32_t st = key_entry(kTreeIfDscpPcp, kWdDscpPcp, layout::dscp_pcp::encode({0, t.mtm_ns_id})))
        return st;
    // 5. The ids.
    if (uint32_t st = withdraw_step(done, kWdMtmNsId, [&] {
            return intf_mtm_free(m, p, t.mtm_ns_id, "DSCP Group stats");
        }, is_ok))
        return st;
    if (!(*done & kTpIntfId)) {
        // The framework keeps what it cannot take back; nothing to undo.
        zel_sys_interface_id_free(m->sys_ctx, t.stats_ns_id);
        ZLOG_INFO(m, "Freed interface NS ID 0x%x\n", t.stats_ns_id);
        *done |= kTpIntfId;
        ledger_of(p).release(ledger_intf_key(intf), &t);
    }
    return 0;
}

void free_record(ZelIpPriv &p, zel_ip_tunnel *t) {
    intf_unuse_domains(t, t->params.inner_vrd, t->params.outer_vrd);
    if (p.tunnel_table[tunnel_id_of(*t)] == t) p.tunnel_table[tunnel_id_of(*t)] = nullptr;
    obj_free(t);
}

uint32_t create(Call &c, const zel_ip_tunnel_params_t *params, zel_ip_tunnel_handle_t *out) {
    // 1-7.
    Checked k{};
    if (uint32_t st = check_create(c, params, out, k)) return st;
    // 8. The record, live from here on.
    auto *t = static_cast<zel_ip_tunnel *>(obj_alloc(sizeof(zel_ip_tunnel), ObjKind::kTunnel));
    if (!t) return ZFAIL_FATAL(c.m, kNoMemory, "Memory allocation failed\n");
    t->head.hdr.owner = c.m;
    t->head.hdr.magic = ZEL_INTF_HDR_MAGIC;
    *out = t;
    t->params = *params;
    t->head.type = kTunnelType;
    if (t->params.mtu == 0) t->params.mtu = kDefaultMtu;
    // The mask keys the association lookup of traffic to the tunnel's own
    // address; an unnumbered tunnel has none, and keeps 0.
    if (t->params.addr == 0) {
        t->params.assoc_mask = 0;
    } else if (t->params.assoc_mask == 0) {
        t->params.assoc_mask = kDefaultAssocMask;
    }
    t->params.tunnel_id += kTunnelPortBase;
    t->params.path_mtu = path_mtu_word(t->params.mtu, params->path_mtu);
    t->rsvd0 = t->rsvd1 = t->rsvd2 = t->rsvd3 = 0;
    t->head.hdr.vrd_id = k.outer_vrd;  // the header names the outer domain
    t->inner_vrd_id = k.inner_vrd;
    t->absent = kTpAll;
    if (!intf_use_domains(t, t->params.inner_vrd, t->params.outer_vrd, "tunnel interface")) {
        t->params.inner_vrd = t->params.outer_vrd = nullptr;
        free_record(*c.priv, t);
        *out = nullptr;
        return ZFAIL_FATAL(c.m, kNoMemory, "Memory allocation failed\n");
    }
    // 9-12; a failure withdraws what was taken and frees the record.
    const uint32_t st = build_tunnel(c, *t);
    if (st == 0) {
        c.priv->tunnel_table[params->tunnel_id] = t;
        return 0;
    }
    if (teardown(c, *t) != 0) {
        ZLOG_FATAL(c.m, "Failed to withdraw tunnel interface ID %d set up partly\n",
                   static_cast<int>(params->tunnel_id));
        ledger_of(*c.priv).orphan(t);
    }
    free_record(*c.priv, t);
    *out = nullptr;
    return st;
}

uint32_t remove_tunnel(Call &c, zel_ip_tunnel_handle_t h) {
    zel_module_t *m = c.m;
    // 1-2.
    zel_ip_tunnel *t = tunnel_of(h);
    if (!t) return ZREJECT(m, kBadParam, "Invalid Interface Handle or type\n");
    if (!tunnel_inner_vrd_ok(*t)) return ZREJECT(m, kBadHandle, "Failed to get Inner IP VRD ID\n");
    if (!tunnel_outer_vrd_ok(*t)) return ZREJECT(m, kBadHandle, "Failed to get Outer IP VRD ID\n");
    // An association keyed by the tunnel would otherwise match the next
    // interface to draw its id.
    if (uint32_t st = ZREFUSE_IN_USE(m, t, "Tunnel interface")) return st;
    // A tunnel that routes still use stays: gone, its interface id would
    // go to the next interface, which would receive their traffic.
    Ledger &l = ledger_of(*c.priv);
    const uint64_t intf_key = ledger_intf_key(tunnel_intf_id(*t));
    if (uint32_t users = l.route_users(intf_key))
        return ZREJECT(m, error(ZEL_E_INVALID_STATE), "Tunnel interface ID %d is in use by %d route(s)\n",
                       static_cast<int>(tunnel_id_of(*t)), static_cast<int>(users));
    // 3-5. From here on the delete has begun: only its repetition is
    //      accepted.
    l.set_closing(intf_key);
    if (uint32_t st = teardown(c, *t)) return st;
    intf_unuse_policy_set(*c.priv, t, t->policy_set_id);
    free_record(*c.priv, t);
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ip_tunnel_interface_create(zel_module_t *module, const zel_ip_tunnel_params_t *params,
                                        zel_ip_tunnel_handle_t *out) {
    return with_module(module, __func__, [&](Call &c) { return create(c, params, out); });
}

uint32_t zel_ip_tunnel_interface_delete(zel_module_t *module, zel_ip_tunnel_handle_t tunnel) {
    return with_module(module, __func__, [&](Call &c) { return remove_tunnel(c, tunnel); });
}

}  // extern "C"
