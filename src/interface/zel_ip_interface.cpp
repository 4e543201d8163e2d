// IPoE interfaces: create and delete.
//
// Create validates everything before it allocates (one IP interface per
// Layer-2 interface; an address whose entries would fall on another
// address's is refused, see tree/zel_ip_ledger.h), then takes, in order,
// the record, a compressed-address slot, the interface id (stats NS ID)
// and an MTM NS ID, clears their state memory and learns the interface's
// entries (see zel_ip_interface_pvt.h). A create that fails after the
// allocation withdraws what it took, in delete's order, and frees the
// record; only what cannot be withdrawn stays, with the ids keying it.
//
// Delete withdraws the same in a fixed order and keeps its progress in the
// record, so a delete that failed partway is completed by repeating it;
// once begun, the interface accepts no other change.
#include <cstring>

#include "core/zel_ip_registry.h"
#include "interface/zel_ip_interface_pvt.h"
#include "tree/zel_ip_assoc_mask.h"
#include "tree/zel_ip_hw_internal.h"
#include "tree/zel_ip_layout_flow.h"
#include "tree/zel_ip_layout_intf.h"

using namespace zel::ip;

namespace {

constexpr const char *kAddRuleMsg = "Could not add LPM rule in hardware\n";
constexpr const char *kRemoveRuleMsg = "Could not remove LPM rule from hardware\n";

// Tree-23 W1: NAT side, ingress filter kind, PBR, administrative state,
// VRD ID.
uint32_t ingress_flags(const zel_ip_intf_params_t &p, uint32_t vrd_id) {
    using namespace layout::intf_ingress;
    Value v{};
    v.nat = p.nat_inside == 1 ? Nat::kInside : p.nat_outside == 1 ? Nat::kOutside : Nat::kNone;
    v.filter = p.filter_type == ZEL_IP_INTF_FILTER_BASIC      ? Filter::kBasic
               : p.filter_type == ZEL_IP_INTF_FILTER_EXTENDED ? Filter::kExtended
                                                              : Filter::kDisabled;
    v.pbr = p.pbr == 1;
    v.admin_disabled = p.admin_down == 1;
    v.vrd_id = static_cast<uint8_t>(vrd_id);
    return encode(v).w1;
}

// Tree-24 W1: MTU, NAT side, administrative state, QoS level.
uint32_t egress_flags(const zel_ip_intf_params_t &p) {
    using namespace layout::intf_egress;
    using layout::intf_ingress::Nat;
    Value v{};
    v.nat = p.nat_inside == 1 ? Nat::kInside : p.nat_outside == 1 ? Nat::kOutside : Nat::kNone;
    v.admin_disabled = p.admin_down == 1;
    v.qos_l3 = p.qos_l3 == 1;
    v.mtu = p.mtu;
    return encode(v).w1;
}

// The action of each per-interface entry as create learns it.
hwe_action_t ingress_action(const zel_ip_interface &r) {
    return layout::value_entry(r.ingress_flags, r.stats_ns_id);
}
hwe_action_t egress_action(const zel_ip_interface &r) {
    return layout::value_entry(r.egress_flags, r.stats_ns_id);
}
hwe_action_t dscp_pcp_action(const zel_ip_interface &r) {
    return layout::dscp_pcp::encode({0, r.mtm_ns_id});
}
hwe_action_t rule_set_action() { return layout::intf_rule_set::encode({0, 0}); }

// Create steps 1 to 8: nothing is taken before all of them pass.
uint32_t check_create(Call &c, const zel_ip_intf_params_t *params, zel_ip_intf_handle_t *out,
                      uint32_t *vrd_id) {
    zel_module_t *m = c.m;
    // 1.
    if (!out) return ZREJECT(m, kBadParam, "NULL pointer parameter specified\n");
    *out = nullptr;
    if (!params) return ZREJECT(m, kBadParam, "NULL pointer parameter specified\n");
    const zel_ip_intf_params_t &p = *params;
    // 2.
    if (!intf_addr_ok(p.addr, p.prefix_len))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS), "Invalid interface address specified\n");
    // 3.
    if (p.mtu != 0 && (p.mtu < kMinMtu || p.mtu > kMaxMtu))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_MTU), "Invalid MTU Value %d\n", static_cast<int>(p.mtu));
    // 4.
    if (p.filter_type > ZEL_IP_INTF_FILTER_EXTENDED)
        return ZREJECT(m, kBadParam, "Invalid filter type specified\n");
    // 5. 0 stands for the default mask and is not checked.
    if (p.assoc_mask != 0) {
        if (uint32_t st = zel_ipv4_valid_ingress_association_mask(m, p.assoc_mask))
            return ZREJECT(m, error(st), "Unexpected ingress association rule mask\n");
    }
    // 6. Its id keys the per-interface trees in 16 bits: a wider id would
    //    alias another interface's entries, so it is refused as well.
    if (!p.l2_intf || p.l2_intf->magic != ZEL_INTF_HDR_MAGIC ||
        p.l2_intf->intf_id >> layout::kIntfIdBits != 0)
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_INTERFACE), "Invalid Layer-2 interface handle \n");
    // 7.
    if (!zel_ipv4_vrd_valid_handle(p.vrd, vrd_id))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_INTERFACE),
                       "Invalid VIrtual Routing Domain handle \n");
    // 8.
    uint32_t index = 0;
    if (zel_ip_address_compress(m, p.addr, *vrd_id, kCompressFind, &index))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS),
                       "IP address 0x%08x in VRD %d already in use\n", p.addr,
                       static_cast<int>(*vrd_id));
    // One IP interface per Layer-2 interface: a second one would key the
    // same per-interface entries, and either delete would remove the
    // other's.
    Ledger &l = ledger_of(*c.priv);
    const uint64_t intf_key = ledger_intf_key(p.l2_intf->intf_id);
    if (l.owner(intf_key))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_INTERFACE),
                       "Layer-2 interface 0x%x already carries an IP interface\n", p.l2_intf->intf_id);
    // The address's entries must not fall on another address's.
    if (uint32_t st = addr_keys_free(c, *vrd_id, p.addr, p.prefix_len, ipoe_addr_keys(p.prefix_len)))
        return st;
    if (!l.reserve(intf_key)) return ZFAIL_FATAL(m, kNoMemory, "Memory allocation failed\n");
    return 0;
}

// Every withdrawal step: what a fresh interface holds none of.
constexpr uint32_t kAllSteps = kWdIngressFlags | kWdEgressFlags | kWdDscpPcp | kWdRuleSet | kWdSipMtu |
                               kWdSubnetRoute | kWdLocal | kWdSrcNetwork | kWdSrcBroadcast |
                               kWdDstBroadcast | kWdDstNetwork | kWdCompressed | kWdMtmNsId |
                               kWdIntfId;

// Create steps 10 to 17 on the allocated record. `held` collects the
// WithdrawStep bits of what the interface has come to hold (also on
// failure); the interface id is held once stats_ns_id is set.
uint32_t build_interface(Call &c, zel_ip_interface &r, uint32_t &held) {
    zel_module_t *m = c.m;
    ZelIpPriv &p = *c.priv;
    const uint32_t addr = r.params.addr, plen = r.params.prefix_len;
    const uint32_t vrd = vrd_id_of(r), intf = intf_id_of(r);
    // 10. The address's compressed slot.
    uint32_t cdip = 0;
    if (!zel_ip_address_compress(m, addr, vrd, kCompressStore, &cdip))
        return ZFAIL_FATAL(m, fatal(ZEL_E_NO_SLOT),
                           "Failed to store IP address 0x%08x in VRD %d in compressed list\n", addr,
                           static_cast<int>(vrd));
    held |= kWdCompressed;
    // 11. The interface id, which names the statistics record.
    if (uint32_t st = zel_sys_interface_id_alloc(m->sys_ctx, &r.stats_ns_id))
        return ZFAIL_FATAL(m, fatal(st), "Failed to allocate stats NS ID for IP interface\n");
    held |= kWdIntfId;
    ZLOG_INFO(m, "Allocated interface NS ID 0x%x\n", r.stats_ns_id);
    // 12-15. Its statistics record, the MTM NS ID and their state memory.
    bool mtm_taken = false;
    const uint32_t st15 = intf_stats_setup(m, p, r.stats_ns_id, &r.mtm_ns_id, &mtm_taken);
    if (mtm_taken) held |= kWdMtmNsId;
    if (st15) return st15;
    // 16. The seven entries, the flags recorded as they are learnt.
    auto keyed = [&](uint32_t tree, uint32_t bit, hwe_action_t a) {
        const uint32_t st = intf_key_entry(m, p, tree, intf, kRuleLearn, a, kAddRuleMsg);
        if (engine_step_done(st)) held |= bit;
        return st;
    };
    r.ingress_flags = ingress_flags(r.params, vrd);
    if (uint32_t st = keyed(kTreeIntfIngressFlags, kWdIngressFlags, ingress_action(r))) return st;
    r.egress_flags = egress_flags(r.params);
    if (uint32_t st = keyed(kTreeIntfEgressFlags, kWdEgressFlags, egress_action(r))) return st;
    if (uint32_t st = keyed(kTreeIfDscpPcp, kWdDscpPcp, dscp_pcp_action(r))) return st;
    std::memset(r.pcp, 0, sizeof r.pcp);
    r.pcp_mapped = 0;
    if (uint32_t st = keyed(kTreeIntfFilterRuleSet, kWdRuleSet, rule_set_action())) return st;
    // The address entries and the guards are withdrawn by what the ledger
    // says the interface owns; tree 22 is the one to record here.
    held |= kWdSubnetRoute | kWdLocal | kWdSrcNetwork | kWdSrcBroadcast | kWdDstBroadcast |
            kWdDstNetwork;
    uint32_t learnt = 0;
    const uint32_t st16 = intf_addr_entries(m, p, r, addr, plen, static_cast<uint8_t>(cdip), kRuleLearn,
                                            kAddRuleMsg, &learnt);
    held |= learnt & kWdSipMtu;
    if (st16) return st16;
    // 17. A /31 has neither a network nor a broadcast address.
    if (plen == 31) return 0;
    return intf_subnet_guards(m, vrd, addr, plen, 0, "Failed to configure invalid SIP addresses\n",
                              "Failed to configure invalid DIP addresses\n", nullptr, &r);
}

// Withdraws what the interface holds, in delete's order: every step whose
// bit is clear in withdrawal.done (entries of trees 0 and 2 only while the
// ledger says they are still its own), then the interface id and the
// INTF-ID claim. Records progress; stops at the first failure.
uint32_t withdraw(Call &c, zel_ip_interface &r) {
    zel_module_t *m = c.m;
    const uint32_t addr = r.params.addr, plen = r.params.prefix_len;
    const uint32_t vrd = vrd_id_of(r), intf = intf_id_of(r);
    uint32_t *done = &r.withdrawal.done;
    auto is_ok = [](uint32_t st) { return st == 0; };
    // The DSCP to PCP maps put on the interface, keyed by its INTF-ID: left
    // behind, they would apply to the next interface on the Layer-2
    // interface. The PCP table keeps the progress.
    TreeRecord &pcp_tree = c.priv->trees[kTreeIfDscpPcp];
    for (uint32_t d = 0; d < kPcpEntries; ++d) {
        if (!(r.pcp_mapped >> d & 1)) continue;
        hwe_action_t a = pcp_tree.default_action;
        const uint32_t st = ZRULE_KEY(m, pcp_tree, kRuleUnlearn, a, kRemoveRuleMsg,
                                      layout::key_spec(kTreeIfDscpPcp, {intf, d},
                                                       layout::key_layout(kTreeIfDscpPcp).width));
        if (engine_step_done(st)) {
            r.pcp[d] = 0;
            r.pcp_mapped &= ~(uint64_t{1} << d);
        }
        if (st) return st;
    }
    // 4. The entries, in create's order.
    struct KeyEntry {
        uint32_t tree;
        uint32_t step;
        hwe_action_t action;
    };
    const KeyEntry keyed[] = {
        {kTreeIntfIngressFlags, kWdIngressFlags, ingress_action(r)},
        {kTreeIntfEgressFlags, kWdEgressFlags, egress_action(r)},
        {kTreeIfDscpPcp, kWdDscpPcp, dscp_pcp_action(r)},
        {kTreeIntfFilterRuleSet, kWdRuleSet, rule_set_action()},
    };
    for (const KeyEntry &e : keyed) {
        uint32_t st = withdraw_step(done, e.step, [&] {
            return intf_key_entry(m, *c.priv, e.tree, intf, kRuleUnlearn, e.action, kRemoveRuleMsg);
        }, entry_withdrawn);
        if (st) return st;
    }
    if (uint32_t st = intf_addr_entries(m, *c.priv, r, addr, plen, 0, kRuleUnlearn, kRemoveRuleMsg, done))
        return st;
    // 5.
    if (plen != 31) {
        if (uint32_t st = intf_subnet_guards(m, vrd, addr, plen, 1, "Failed to remove invalid SIP addresses\n",
                                             "Failed to remove invalid DIP addresses\n", done, &r))
            return st;
    }
    // 6.
    uint32_t st = withdraw_step(done, kWdCompressed, [&] {
        if (zel_ip_address_compress(m, addr, vrd, kCompressRemove, nullptr)) return 0u;
        return ZFAIL_FATAL(m, fatal(ZEL_E_NO_SLOT),
                           "IP address 0x%08x in VRD %d could not be removed from compressed list\n",
                           addr, static_cast<int>(vrd));
    }, is_ok);
    if (st) return st;
    // 7.
    st = withdraw_step(done, kWdMtmNsId, [&] {
        return intf_mtm_free(m, *c.priv, r.mtm_ns_id, "IP IF Egress stats");
    }, is_ok);
    if (st) return st;
    // 8. The framework keeps what it cannot take back; nothing to undo here.
    if (!(*done & kWdIntfId)) {
        zel_sys_interface_id_free(m->sys_ctx, r.stats_ns_id);
        ZLOG_INFO(m, "Freed interface NS ID 0x%x\n", r.stats_ns_id);
        *done |= kWdIntfId;
    }
    ledger_of(*c.priv).release(ledger_intf_key(intf), &r);
    return 0;
}

void free_record(zel_ip_interface *r) {
    intf_unuse_domains(r, r->vrd, nullptr);
    r->head.type = 0;
    r->head.hdr.owner = nullptr;
    r->head.hdr.magic = 0;
    obj_free(r);
}

uint32_t create(Call &c, const zel_ip_intf_params_t *params, zel_ip_intf_handle_t *out) {
    // 1-8.
    uint32_t vrd_id = 0;
    if (uint32_t st = check_create(c, params, out, &vrd_id)) return st;
    // 9. The record, live from here on.
    auto *r = static_cast<zel_ip_interface *>(obj_alloc(sizeof(zel_ip_interface), ObjKind::kIpoe));
    if (!r) return ZFAIL_FATAL(c.m, kNoMemory, "Memory allocation failed\n");
    r->head.hdr.intf_id = params->l2_intf->intf_id;
    r->head.hdr.owner = c.m;
    r->head.hdr.magic = ZEL_INTF_HDR_MAGIC;
    r->head.hdr.vrd_id = vrd_id;
    *out = r;
    r->params = *params;
    r->head.type = kIpoeType;
    r->vrd = params->vrd;
    if (!intf_use_domains(r, r->vrd, nullptr, "IP interface")) {
        r->vrd = nullptr;
        free_record(r);
        *out = nullptr;
        return ZFAIL_FATAL(c.m, kNoMemory, "Memory allocation failed\n");
    }
    if (r->params.assoc_mask == 0) r->params.assoc_mask = kDefaultAssocMask;
    if (r->params.mtu == 0) r->params.mtu = kDefaultMtu;
    r->rsvd0 = 0;
    r->rsvd1 = 0;
    Ledger &l = ledger_of(*c.priv);
    l.claim(ledger_intf_key(intf_id_of(*r)), r);
    // 10-17. A failure withdraws what was taken and frees the record: left
    // in place, the entries would go on delivering traffic to an interface
    // that does not exist, its local entry carrying a compressed index the
    // next address is handed. Only a withdrawal that fails too leaves
    // something behind, with the ids that key it.
    uint32_t held = 0;
    const uint32_t st = build_interface(c, *r, held);
    if (st == 0) return 0;
    r->withdrawal = {WithdrawOp::kDelete, r->params.addr, r->params.prefix_len, kAllSteps & ~held};
    if (withdraw(c, *r) != 0) {
        ZLOG_FATAL(c.m, "Failed to withdraw IP interface 0x%x set up partly; its ids stay taken\n",
                   intf_id_of(*r));
        l.orphan(r);
    }
    free_record(r);
    *out = nullptr;
    return st;
}

uint32_t remove_interface(Call &c, zel_ip_intf_handle_t h) {
    zel_module_t *m = c.m;
    // 1-3.
    zel_ip_interface *r = intf_of(h);
    if (!r) return ZREJECT(m, kBadParam, "Invalid Interface Handle type\n");
    if (r->secondary_count != 0)
        return ZREJECT(m, kBadParam,
                       "Cannot remove interface with non-zero secondary addresses still existing\n");
    if (!intf_vrd_ok(*r)) return ZREJECT(m, kBadHandle, "Invalid Virtual Routing Domain handle\n");
    // An association keyed by the interface would otherwise match the next
    // interface to draw its id.
    if (uint32_t st = ZREFUSE_IN_USE(m, r, "IP interface")) return st;
    // From here on the delete has begun: only its repetition is accepted.
    Withdrawal &w = r->withdrawal;
    if (w.op != WithdrawOp::kDelete) w = {WithdrawOp::kDelete, r->params.addr, r->params.prefix_len, 0};
    // 4-8.
    if (uint32_t st = withdraw(c, *r)) return st;
    // 9.
    intf_unuse_policy_set(*c.priv, r, r->policy_set_id);
    free_record(r);
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ip_interface_create(zel_module_t *module, const zel_ip_intf_params_t *params,
                                 zel_ip_intf_handle_t *out) {
    return with_module(module, __func__, [&](Call &c) { return create(c, params, out); });
}

uint32_t zel_ip_interface_delete(zel_module_t *module, zel_ip_intf_handle_t intf) {
    return with_module(module, __func__, [&](Call &c) { return remove_interface(c, intf); });
}

}  // extern "C"
