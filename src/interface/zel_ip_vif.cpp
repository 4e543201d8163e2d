// Virtual interfaces: create and delete.
//
// Create validates everything before it allocates, then takes the record,
// the interface id, a compressed address slot and the two entries (see
// zel_ip_vif_pvt.h), recording each part as the interface comes to hold
// it. A create that fails after the allocation withdraws those parts again
// and frees the record: left in place, the address's local entry would go
// on delivering traffic for an interface that does not exist, carrying a
// compressed index whose slot another address may take.
//
// Delete withdraws the address entry, then the interface's tree-23 entry
// (so that no stale entry remains under an INTF-ID the framework may hand
// to a later interface), the compressed slot and the interface id, keeping
// its progress in the record: a delete that failed partway is completed by
// repeating it.
#include "core/zel_ip_registry.h"
#include "interface/zel_ip_interface_pvt.h"
#include "interface/zel_ip_vif_pvt.h"
#include "tree/zel_ip_assoc_mask.h"
#include "tree/zel_ip_hw_internal.h"
#include "tree/zel_ip_layout_intf.h"
#include "tree/zel_ip_layout_route.h"

using namespace zel::ip;

namespace {

constexpr const char *kAddRuleMsg = "Could not add LPM rule in hardware\n";
constexpr const char *kRemoveRuleMsg = "Could not remove LPM rule from hardware\n";

uint32_t intf_id_of(const zel_ip_vif &v) { return v.head.hdr.intf_id; }
uint32_t vrd_id_of(const zel_ip_vif &v) { return v.head.hdr.vrd_id; }

// The address's tree-2 entry: local flags and the compressed index.
uint32_t local_entry(Call &c, const zel_ip_vif &v, uint8_t cdip, uint32_t op, const char *rule_msg) {
    hwe_action_t a = local_addr_entry(v.params.assoc_mask, v.params.reassemble, intf_id_of(v), cdip);
    return owned_entry(c.m, *c.priv, kTreeDestAddr, &v, vrd_id_of(v), v.params.addr, layout::kAddrBits,
                       op, a, rule_msg, ZEL_SITE);
}

// The interface's tree-23 entry: its VRD ID, W2 = INTF-ID.
uint32_t ingress_entry(Call &c, const zel_ip_vif &v, uint32_t op, const char *rule_msg) {
    layout::intf_ingress::Value in{};
    in.vrd_id = static_cast<uint8_t>(vrd_id_of(v));
    const hwe_action_t a = layout::value_entry(layout::intf_ingress::encode(in).w1, intf_id_of(v));
    return intf_key_entry(c.m, *c.priv, kTreeIntfIngressFlags, intf_id_of(v), op, a, rule_msg);
}

// Create steps 1 to 5: nothing is taken before all of them pass.
uint32_t check_create(Call &c, const zel_ip_vif_params_t *params, zel_ip_vif_handle_t *out,
                      uint32_t *vrd_id) {
    zel_module_t *m = c.m;
    // 1.
    if (out) *out = nullptr;
    if (!out || !params) return ZREJECT(m, kBadParam, "NULL pointer parameter specified\n");
    const zel_ip_vif_params_t &p = *params;
    // 2.
    if (!zel_ipv4_vrd_valid_handle(p.vrd, vrd_id))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_INTERFACE),
                       "Invalid VIrtual Routing Domain handle \n");
    // 3.
    if (p.addr == 0 || !host_addr_ok(p.addr))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS), "Invalid interface address specified\n");
    // 4.
    uint32_t index = 0;
    if (zel_ip_address_compress(m, p.addr, *vrd_id, kCompressFind, &index))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS),
                       "IP address 0x%08x in VRD %d already in use\n", p.addr,
                       static_cast<int>(*vrd_id));
    // 5. 0 stands for the default mask and is not checked.
    if (p.assoc_mask != 0) {
        if (uint32_t st = zel_ipv4_valid_ingress_association_mask(m, p.assoc_mask))
            return ZREJECT(m, error(st), "Unexpected Ingress association rule mask\n");
    }
    // The address's entry must not fall on another address's.
    return addr_keys_free(c, *vrd_id, p.addr, layout::kAddrBits, {false, false, true});
}

// Create steps 7 to 10 on the allocated record.
uint32_t build_vif(Call &c, zel_ip_vif &v) {
    zel_module_t *m = c.m;
    // 7. The interface id: INTF-ID and stats NS ID.
    if (uint32_t st = zel_sys_interface_id_alloc(m->sys_ctx, &v.stats_ns_id))
        return ZFAIL_FATAL(m, fatal(st), "Failed to allocate stats NS ID for VIP intf\n");
    v.absent &= ~kVpIntfId;
    v.head.hdr.intf_id = v.stats_ns_id;
    Ledger &l = ledger_of(*c.priv);
    const uint64_t intf_key = ledger_intf_key(v.stats_ns_id);
    if (l.owner(intf_key))
        return ZFAIL_FATAL(m, error(ZEL_IP_E_INVALID_IP_INTERFACE), "Interface id 0x%x handed out twice\n",
                           v.stats_ns_id);
    if (!l.reserve(intf_key)) return ZFAIL_FATAL(m, kNoMemory, "Memory allocation failed\n");
    l.claim(intf_key, &v);
    ZLOG_INFO(m, "Allocated interface NS ID 0x%x\n", v.stats_ns_id);
    // 8. The address's compressed slot.
    uint32_t cdip = 0;
    if (!zel_ip_address_compress(m, v.params.addr, vrd_id_of(v), kCompressStore, &cdip))
        return ZFAIL_FATAL(m, fatal(ZEL_E_NO_SLOT),
                           "Failed to store IP address 0x%08x in VRD %d in compressed list\n",
                           v.params.addr, static_cast<int>(vrd_id_of(v)));
    v.absent &= ~kVpCompressed;
    // 9.
    if (uint32_t st = intf_clear_se(m, v.stats_ns_id, kIntfStatsBytes)) return st;
    // 10.
    uint32_t st = local_entry(c, v, static_cast<uint8_t>(cdip), kRuleLearn, kAddRuleMsg);
    if (entry_withdrawn(st)) v.absent &= ~kVpLocal;  // the engine holds it
    if (st) return st;
    st = ingress_entry(c, v, kRuleLearn, kAddRuleMsg);
    if (entry_withdrawn(st)) v.absent &= ~kVpIngressFlags;
    return st;
}

// Withdraws what the interface holds, in delete's order, recording the
// progress; stops at the first failure.
uint32_t teardown(Call &c, zel_ip_vif &v) {
    zel_module_t *m = c.m;
    uint32_t *done = &v.absent;
    // 3. The address, then (before the id goes back) the interface entry.
    uint32_t st = withdraw_step(done, kVpLocal, [&] {
        return local_entry(c, v, 0, kRuleUnlearn, kRemoveRuleMsg);
    }, entry_withdrawn);
    if (st) return st;
    st = withdraw_step(done, kVpIngressFlags, [&] {
        return ingress_entry(c, v, kRuleUnlearn, kRemoveRuleMsg);
    }, entry_withdrawn);
    if (st) return st;
    // 4.
    st = withdraw_step(done, kVpCompressed, [&] {
        if (zel_ip_address_compress(m, v.params.addr, vrd_id_of(v), kCompressRemove, nullptr)) return 0u;
        return ZFAIL_FATAL(m, fatal(ZEL_E_NO_SLOT),
                           "IP address 0x%08x in VRD %d could not be removed from compressed list\n",
                           v.params.addr, static_cast<int>(vrd_id_of(v)));
    }, [](uint32_t s) { return s == 0; });
    if (st) return st;
    // 5. The framework keeps what it cannot take back; nothing to undo.
    if (!(*done & kVpIntfId)) {
        zel_sys_interface_id_free(m->sys_ctx, v.stats_ns_id);
        ZLOG_INFO(m, "Freed interface NS ID 0x%x\n", v.stats_ns_id);
        *done |= kVpIntfId;
        ledger_of(*c.priv).release(ledger_intf_key(v.stats_ns_id), &v);
    }
    return 0;
}

void free_record(zel_ip_vif *v) {
    intf_unuse_domains(v, v->params.vrd, nullptr);
    obj_free(v);
}

uint32_t create(Call &c, const zel_ip_vif_params_t *params, zel_ip_vif_handle_t *out) {
    // 1-5.
    uint32_t vrd_id = 0;
    if (uint32_t st = check_create(c, params, out, &vrd_id)) return st;
    // 6. The record, live from here on.
    auto *v = static_cast<zel_ip_vif *>(obj_alloc(sizeof(zel_ip_vif), ObjKind::kVif));
    if (!v) return ZFAIL_FATAL(c.m, kNoMemory, "Memory allocation failed\n");
    v->head.hdr.owner = c.m;
    v->head.hdr.magic = ZEL_INTF_HDR_MAGIC;
    v->head.hdr.vrd_id = vrd_id;
    *out = v;
    v->head.type = kVifType;
    v->params = *params;
    if (!intf_use_domains(v, v->params.vrd, nullptr, "virtual interface")) {
        v->params.vrd = nullptr;
        free_record(v);
        *out = nullptr;
        return ZFAIL_FATAL(c.m, kNoMemory, "Memory allocation failed\n");
    }
    if (v->params.assoc_mask == 0) v->params.assoc_mask = kDefaultAssocMask;
    v->absent = kVpAll;
    // 7-10; a failure withdraws what was taken and frees the record.
    const uint32_t st = build_vif(c, *v);
    if (st == 0) return 0;
    if (teardown(c, *v) != 0) {
        ZLOG_FATAL(c.m, "Failed to withdraw VIP intf 0x%08x set up partly\n", params->addr);
        ledger_of(*c.priv).orphan(v);
    }
    free_record(v);
    *out = nullptr;
    return st;
}

uint32_t remove_vif(Call &c, zel_ip_vif_handle_t h) {
    zel_module_t *m = c.m;
    // 1.
    if (!zel_ipv4_vif_valid_handle(h)) return ZREJECT(m, kBadParam, "Invalid Interface Handle type\n");
    // 2. The handle must still name the domain the address was learnt in.
    uint32_t vrd_id = 0;
    if (!zel_ipv4_vrd_valid_handle(h->params.vrd, &vrd_id) || vrd_id != vrd_id_of(*h))
        return ZREJECT(m, kBadHandle, "Invalid VIrtual Routing Domain handle \n");
    // 3-6.
    if (uint32_t st = teardown(c, *h)) return st;
    free_record(h);
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ip_virtual_interface_create(zel_module_t *module, const zel_ip_vif_params_t *params,
                                         zel_ip_vif_handle_t *out) {
    return with_module(module, __func__, [&](Call &c) { return create(c, params, out); });
}

uint32_t zel_ip_virtual_interface_delete(zel_module_t *module, zel_ip_vif_handle_t vif) {
    return with_module(module, __func__, [&](Call &c) { return remove_vif(c, vif); });
}

}  // extern "C"
