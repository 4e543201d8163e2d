// IP tunnel interfaces: end addresses, NAT-T, MTU and path MTU of a live
// tunnel.
//
// Each change learns what is new before it withdraws what is old, and the
// record takes the new values only once the engine holds them. The engine
// state in between is recorded (the outer matches listed, the path MTU
// entry held or not, see zel_ip_tunnel_pvt.h), so repeating a change that
// failed partway completes it instead of stopping at an entry that is
// already gone.
#include "interface/zel_ip_tunnel_pvt.h"
#include "tree/zel_ip_layout_intf.h"

using namespace zel::ip;

namespace {

constexpr const char *kAddRuleMsg = "Could not add LPM rule in hardware\n";
constexpr const char *kRemoveRuleMsg = "Could not remove LPM rule from hardware\n";

// True when one of the tree-4 entries of {remote, local} (the outer match
// and, with NAT-T, its twin) belongs to another tunnel.
bool ends_taken(const ZelIpPriv &p, const zel_ip_tunnel &t, uint32_t remote, uint32_t local, bool natt) {
    const uint32_t vrd = tunnel_outer_vrd(t);
    return outer_match_taken(p, &t, vrd, t.params.proto, remote, local) ||
           (natt && outer_match_taken(p, &t, vrd, kProtoUdp, remote, local));
}

// zel_ip_tunnel_interface_lr_addr_set.
uint32_t set_ends(Call &c, zel_ip_tunnel_handle_t h, uint32_t local, uint32_t remote) {
    zel_module_t *m = c.m;
    ZelIpPriv &p = *c.priv;
    // 1.
    uint32_t refused = 0;
    zel_ip_tunnel *t = tunnel_for_change(m, h, &refused);
    if (!t) return refused;
    zel_ip_tunnel_params_t &tp = t->params;
    // 2.
    if (local != 0 && !host_addr_ok(local))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS), "Invalid Local IP address specified\n");
    if (remote != 0 && !host_addr_ok(remote))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS), "Invalid Remote IP address specified\n");
    if (local == 0 && remote == 0)
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS), "No IP address specified!\n");
    // 3. 0 leaves an end as it is.
    const uint32_t new_local = local != 0 ? local : tp.local_addr;
    const uint32_t new_remote = remote != 0 ? remote : tp.remote_addr;
    // (Outer matches of other ends left by an earlier change that failed
    // partway are a change still to be made.)
    bool leftovers = false;
    for (const OuterMatch &o : t->outer)
        leftovers = leftovers || (o.used && (o.remote != tp.remote_addr || o.local != tp.local_addr));
    if (new_local == tp.local_addr && new_remote == tp.remote_addr && !leftovers) {
        ZLOG_WARN(m, "Old and New IP addreses are same! Returning with no change done!\n");
        return 0;
    }
    // 4.
    if (!tunnel_outer_vrd_ok(*t)) return ZREJECT(m, kBadHandle, "Failed to get Outer IP VRD ID\n");
    const bool both_new = new_local != 0 && new_remote != 0;
    if (both_new && ends_taken(p, *t, new_remote, new_local, tp.natt == 1))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS),
                       "Tunnel end addresses already in use by another tunnel interface\n");
    // 5. Outer matches left over by an earlier change that failed partway
    //    go first: they belong to neither the old nor the new ends.
    if (uint32_t st = outer_withdraw(
            m, p, *t,
            {OuterKeep::kTwoPairs, {tp.remote_addr, new_remote}, {tp.local_addr, new_local}},
            kRemoveRuleMsg))
        return st;
    // 6. The new ends are matched before the old ones are withdrawn, so the
    //    tunnel keeps receiving throughout.
    if (both_new) {
        if (uint32_t st = outer_learn(m, p, *t, tp.proto, new_remote, new_local, kAddRuleMsg)) return st;
        if (tp.natt == 1) {
            if (uint32_t st = outer_learn(m, p, *t, kProtoUdp, new_remote, new_local, kAddRuleMsg))
                return st;
        }
    }
    const OuterKeepSpec keep_new = both_new ? OuterKeepSpec{OuterKeep::kPair, {new_remote, 0}, {new_local, 0}}
                                            : OuterKeepSpec{OuterKeep::kNone, {}, {}};
    if (uint32_t st = outer_withdraw(m, p, *t, keep_new, kRemoveRuleMsg)) return st;
    // 7. An unnumbered tunnel sources its packets from its local end.
    if (tp.addr == 0 && new_local != tp.local_addr) {
        if (uint32_t st = tunnel_sip_mtu(m, p, *t, new_local, tp.mtu, kRuleLearn, kAddRuleMsg)) return st;
    }
    // 8.
    tp.local_addr = new_local;
    tp.remote_addr = new_remote;
    return 0;
}

// zel_ip_tunnel_interface_natt.
uint32_t set_natt(Call &c, zel_ip_tunnel_handle_t h, uint8_t enable) {
    zel_module_t *m = c.m;
    ZelIpPriv &p = *c.priv;
    // 1.
    uint32_t refused = 0;
    zel_ip_tunnel *t = tunnel_for_change(m, h, &refused);
    if (!t) return refused;
    zel_ip_tunnel_params_t &tp = t->params;
    // 2.
    const bool on = enable == 1;
    if (on && tp.natt == 1) {
        ZLOG_WARN(m, "NATT is already enabled! Returning with no change done!\n");
        return 0;
    }
    if (!on && tp.natt != 1) {
        ZLOG_WARN(m, "NATT is already disabled! Returning with no change done!\n");
        return 0;
    }
    // The twin of a UDP tunnel's outer match would be that match itself:
    // disabling NAT-T would then withdraw the tunnel's only match.
    if (on && tp.proto == kProtoUdp)
        return ZREJECT(m, kBadParam, "Tunnel interface protocol cannot be UDP with NAT-T enabled\n");
    // 3.
    if (!tunnel_outer_vrd_ok(*t)) return ZREJECT(m, kBadHandle, "Failed to get Outer IP VRD ID\n");
    // 4. The twin exists only while both ends are known; until then only
    //    the setting changes (an end-address change learns the twin).
    if (tunnel_has_ends(*t)) {
        if (on) {
            if (outer_match_taken(p, t, tunnel_outer_vrd(*t), kProtoUdp, tp.remote_addr, tp.local_addr))
                return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS),
                               "Tunnel end addresses already in use by another tunnel interface\n");
            if (uint32_t st = outer_learn(m, p, *t, kProtoUdp, tp.remote_addr, tp.local_addr, kAddRuleMsg))
                return st;
        } else if (uint32_t st = outer_withdraw(m, p, *t, {OuterKeep::kMainOnly, {}, {}}, kAddRuleMsg)) {
            return st;
        }
    }
    // 5.
    tp.natt = on ? 1 : 0;
    return 0;
}

// zel_ip_tunnel_interface_mtu_set.
uint32_t set_mtu(Call &c, zel_ip_tunnel_handle_t h, uint32_t mtu, uint32_t path_mtu) {
    zel_module_t *m = c.m;
    ZelIpPriv &p = *c.priv;
    // 1.
    uint32_t refused = 0;
    zel_ip_tunnel *t = tunnel_for_change(m, h, &refused);
    if (!t) return refused;
    zel_ip_tunnel_params_t &tp = t->params;
    const uint32_t intf = tunnel_intf_id(*t);
    // 2.
    if (mtu < kMinMtu || mtu > kMaxMtu)
        return ZREJECT(m, error(ZEL_IP_E_INVALID_MTU), "Invalid MTU Value %d\n", static_cast<int>(mtu));
    if (path_mtu != 0 && (path_mtu < kMinMtu || path_mtu > kMaxMtu))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_MTU), "Invalid Path MTU Value %d\n",
                       static_cast<int>(path_mtu));
    // 3. Tree 5: the new word, or no entry for a word of 0 (withdrawn only
    //    when the tunnel has one: the engine refuses to unlearn nothing).
    const uint32_t word = path_mtu_word(mtu, path_mtu);
    if (word != 0) {
        const uint32_t st = intf_key_entry(m, p, kTreeTunnelPmtu, intf, kRuleLearn,
                                           path_mtu_action(word), kAddRuleMsg);
        if (engine_step_done(st)) t->absent &= ~kTpPathMtu;
        if (st) return st;
    } else if (!(t->absent & kTpPathMtu)) {
        const uint32_t st = intf_key_entry(m, p, kTreeTunnelPmtu, intf, kRuleUnlearn,
                                           path_mtu_action(tp.path_mtu),
                                           kRemoveRuleMsg);
        if (engine_step_done(st)) t->absent |= kTpPathMtu;
        if (st) return st;
    }
    // 4. Tree 24: the flags of the low byte kept, the new MTU.
    hwe_action_t egress = layout::value_entry(t->egress_flags & 0xff, intf);
    layout::intf_egress::kMtu.put(egress, mtu);
    if (uint32_t st = intf_key_entry(m, p, kTreeIntfEgressFlags, intf, kRuleLearn, egress, kAddRuleMsg))
        return st;
    // 5. Tree 22: the source address with the new MTU.
    if (uint32_t st = tunnel_sip_mtu(m, p, *t, tunnel_source(*t), mtu, kRuleLearn, kAddRuleMsg)) return st;
    // 6.
    t->egress_flags = egress.w1;
    tp.mtu = mtu;
    tp.path_mtu = word;
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ip_tunnel_interface_lr_addr_set(zel_module_t *module, zel_ip_tunnel_handle_t tunnel,
                                             uint32_t local_addr, uint32_t remote_addr) {
    return with_module(module, __func__,
                       [&](Call &c) { return set_ends(c, tunnel, local_addr, remote_addr); });
}

uint32_t zel_ip_tunnel_interface_natt(zel_module_t *module, zel_ip_tunnel_handle_t tunnel,
                                      uint8_t enable) {
    return with_module(module, __func__, [&](Call &c) { return set_natt(c, tunnel, enable); });
}

uint32_t zel_ip_tunnel_interface_mtu_set(zel_module_t *module, zel_ip_tunnel_handle_t tunnel,
                                         uint32_t mtu, uint32_t path_mtu) {
    return with_module(module, __func__,
                       [&](Call &c) { return set_mtu(c, tunnel, mtu, path_mtu); });
}

}  // extern "C"
