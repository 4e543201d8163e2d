// Ingress associations: create and delete.
//
// Create checks everything before it takes anything, then takes, in
// order, the record, the association id (NS ID), the CPU path (tree 27,
// context flow id, tree 19), the policing entry (tree 7) and the lookup
// entry (tree 8 or 9), recording each part as the association comes to
// hold it (see zel_ip_flow_pvt.h). A create that fails after the
// allocation withdraws exactly those parts again, in delete's order,
// returns the id and frees the record: left in place, entries keyed by an
// id that no association owns would be inherited by the next association
// to draw it. Only a withdrawal that fails as well leaves something
// behind; the id is then kept, so nothing inherits it.
//
// Delete withdraws what the association holds in its fixed order and
// keeps its progress in the record, so a delete that failed partway is
// completed by repeating it.
#include <cinttypes>

#include "core/zel_ip_registry.h"
#include "filter/zel_ip_filter_keys.h"
#include "flow/zel_ip_cpu_path.h"
#include "flow/zel_ip_flow_pvt.h"
#include "interface/zel_ip_interface_pvt.h"
#include "tree/zel_ip_layout_filter.h"
#include "tree/zel_ip_layout_flow.h"
#include "tree/zel_ip_otreeset.h"

using namespace zel::ip;

namespace {

namespace lay = layout;

constexpr const char *kUserName = "ingress association";

lay::KeySpec policing_key(uint32_t ns_id) {
    return lay::key_spec(kTreeFlowPolicing, {ns_id}, lay::kFlowIdBits);
}

// Runs one step that takes part `bit` of `ia` and records it as held once
// the engine holds it.
template <typename Step>
uint32_t take(IngressAssoc &ia, uint32_t bit, Step &&step) {
    const uint32_t st = step();
    if (entry_withdrawn(st)) ia.absent &= ~bit;
    return st;
}

// Runs one withdrawal step of part `bit` unless it is not held.
template <typename Step>
uint32_t give_back(IngressAssoc &ia, uint32_t bit, Step &&step) {
    return withdraw_step(&ia.absent, bit, step, entry_withdrawn);
}

// Delete steps 3 to 6: withdraws every part `ia` holds; stops at the
// first failure.
uint32_t teardown(Call &c, zel_ip_flow &f) {
    zel_module_t *m = c.m;
    ZelIpPriv &p = *c.priv;
    IngressAssoc &ia = f.body.ingress;
    const zel_ip_ingress_assoc_params_t &a = ia.params;
    const uint32_t ns = f.head.hdr.ns_id;
    // 3. The lookup entry.
    const bool had_lookup = !(ia.absent & kApLookup);
    uint32_t st = give_back(ia, kApLookup, [&] {
        return assoc_lookup_update(m, p, a, ia.target, a.action, ns, 0, 0, kRuleUnlearn);
    });
    if (had_lookup && (ia.absent & kApLookup)) assoc_index_remove(p, &f);
    if (st) return ZFAIL_FATAL(m, fatal(st), "Failed to remove ingress association rule from hardware\n");
    // 4. Policing.
    st = give_back(ia, kApPolicing, [&] {
        hwe_action_t v = lay::id_w1::encode(ia.police_flow_id, HWE_ACTION_NONE);
        return ZRULE_KEY(m, p.trees[kTreeFlowPolicing], kRuleUnlearn, v,
                         "Failed to remove LPM rule from hardware\n", policing_key(ns));
    });
    if (st) return st;
    // 5. The CPU path.
    st = give_back(ia, kApCpuPath, [&] { return assoc_terminated_update(m, p, ns, a, kRuleUnlearn); });
    if (st) return ZFAIL_FATAL(m, fatal(st), "Failed to remove PH path attributes from hardware\n");
    st = give_back(ia, kApCpuQueue, [&] { return zel_ip_cpu_flow_mtm_config(m, ns, nullptr, 0, 0); });
    if (ia.absent & kApCpuQueue) assoc_queue_unmark(p, ns);
    if (st) return ZFAIL_FATAL(m, fatal(st), "Failed to remove the MTM queue ID config\n");
    // The flow filter list keyed by the id: compiled empty when rules were
    // deleted since its last commit (the association has no rule left).
    if (ia.filter_edited && !(ia.absent & kApNsId)) {
        if (uint32_t bst = otreeset_build(m, p, kTreeAssocFlowFilter, lay::assoc_filter::set_key(ns), ZEL_SITE))
            return bst;
        ia.filter_edited = 0;
    }
    // 6. The id, once nothing keyed by it is left.
    if (!(ia.absent & kApNsId)) {
        if (uint32_t fst = hwe_rsrc_free(p.ingress_assoc_rsrc, ns, 1, nullptr))
            return ZFAIL_FATAL(m, fatal(ZEL_E_NSID_FREE),
                               "Failed to free ingress namespace flow ID, RTE Error: %s\n",
                               hwe_status_get(fst));
        ia.absent |= kApNsId;
        ZLOG_INFO(m, "Freed namespace ID 0x%x\n", ns);
    }
    return 0;
}

// Create step 6: draws the association's id. A Send-to-CPU association
// keys its tree-19 entry with the id itself, and a filter rule's flow key
// can be the same number (see filter/zel_ip_filter_keys.h): an id whose
// key a rule's queue entry holds is passed over, kept until another id is
// drawn, then given back (one that cannot be given back stays taken, and
// a log line says so). Keys of rules end in 0x0 or 0x4, so at most a few
// ids in a row are passed over.
uint32_t draw_id(Call &c, const zel_ip_ingress_assoc_params_t &a, uint32_t *ns) {
    constexpr uint32_t kMaxPassed = 16;
    zel_module_t *m = c.m;
    ZelIpPriv &p = *c.priv;
    uint32_t passed[kMaxPassed + 1];
    uint32_t npassed = 0, st = 0, id = 0;
    for (;;) {
        if (uint32_t ast = hwe_rsrc_allocate(p.ingress_assoc_rsrc, 1, &id, nullptr)) {
            st = ZFAIL_ERROR(m, error(ZEL_E_NSID_ALLOC), "Failed to allocate ingress namespace flow ID, RTE Error: %s\n",
                             hwe_status_get(ast));
            break;
        }
        if (a.action != ZEL_IP_ASSOC_SEND_TO_CPU || !rule_queue_key(p, id)) break;
        if (npassed == kMaxPassed) {  // not seen with the rules' key pattern; never loops for ever
            passed[npassed++] = id;
            st = ZREJECT(m, error(ZEL_E_INVALID_STATE),
                         "CPU path of ingress association ID 0x%x is in use by a filter rule\n", id);
            break;
        }
        ZLOG_INFO(m, "Passed over ingress association ID 0x%x: a filter rule's CPU queue entry has its key\n", id);
        passed[npassed++] = id;
    }
    for (uint32_t i = 0; i < npassed; ++i)
        if (uint32_t fst = hwe_rsrc_free(p.ingress_assoc_rsrc, passed[i], 1, nullptr))
            ZLOG_FATAL(m, "Failed to free ingress namespace flow ID 0x%x passed over, RTE Error: %s; the ID stays taken\n",
                       passed[i], hwe_status_get(fst));
    if (st == 0) *ns = id;
    return st;
}

// Drops the record's uses and frees it (the registry clears its magics).
void free_record(zel_ip_flow *f) {
    const zel_ip_ingress_assoc_params_t &a = f->body.ingress.params;
    if ((a.mask & ZEL_IP_IAM_INTF) && a.intf) obj_unuse(a.intf, f);
    if ((a.mask & ZEL_IP_IAM_VRD_HANDLE) && a.vrd) obj_unuse(a.vrd, f);
    obj_free(f);
}

// Create steps 6 to 10 on the allocated record; `key` is its tree-8 key
// when create built it already.
uint32_t build(Call &c, zel_ip_flow &f, const lay::KeySpec *key) {
    zel_module_t *m = c.m;
    ZelIpPriv &p = *c.priv;
    IngressAssoc &ia = f.body.ingress;
    const zel_ip_ingress_assoc_params_t &a = ia.params;
    // 6. The association id.
    uint32_t ns = 0;
    if (uint32_t st = draw_id(c, a, &ns)) return st;
    f.head.hdr.ns_id = ns;
    ia.absent &= ~kApNsId;
    ZLOG_INFO(m, "Allocated ingress association ID 0x%x\n", ns);
    // 7. Its state record.
    static const uint8_t zeros[kAssocSeBytes] = {};
    trace_se(m, Trace::kSeWrite, ZEL_SITE, ns, 0, zeros, kAssocSeBytes);
    if (uint32_t st = hwe_se_state_set(m->engine, ns, 0, zeros, kAssocSeBytes))
        return ZFAIL_FATAL(m, fatal(ZEL_E_SE_WRITE), "Failed to Clear state engine memory, RTE Error: %s\n",
                           hwe_status_get(st));
    // 8. The CPU path. Tree 27 is held once learnt, even when the context
    //    flow id write after it fails.
    if (a.action == ZEL_IP_ASSOC_SEND_TO_CPU) {
        if (uint32_t mst = assoc_queue_mark(c, ns)) return mst;
        const uint32_t st = assoc_terminated_update(m, p, ns, a, kRuleLearn);
        if (st == 0 || (st & ~ZEL_SEV_MASK) == ZEL_E_SE_WRITE) ia.absent &= ~kApCpuPath;
        if (st) return ZFAIL_FATAL(m, fatal(st), "Failed to add PH path attributes in hardware\n");
        const uint32_t qst = take(ia, kApCpuQueue, [&] {
            return zel_ip_cpu_flow_mtm_config(m, ns, a.mtm_queue, a.dscp_cpu_queue, 1);
        });
        if (ia.absent & kApCpuQueue) assoc_queue_unmark(p, ns);
        if (qst) return ZFAIL_FATAL(m, fatal(qst), "Failed to program the MTM queue ID\n");
    }
    // 9. Policing.
    if (a.policing == 1) {
        if (uint32_t st = take(ia, kApPolicing, [&] {
                hwe_action_t v = lay::id_w1::encode(ia.police_flow_id, HWE_ACTION_NONE);
                return ZRULE_KEY(m, p.trees[kTreeFlowPolicing], kRuleLearn, v,
                                 "Failed to add LPM rule in hardware\n", policing_key(ns));
            }))
            return st;
    }
    // 10. The lookup entry; a Bind association gets it when it is bound.
    if (a.action != ZEL_IP_ASSOC_BIND) {
        const uint32_t st = take(ia, kApLookup, [&] {
            return assoc_lookup_update(m, p, a, ia.target, a.action, ns, 0, 0, kRuleLearn, key);
        });
        if (!(ia.absent & kApLookup)) assoc_index_add(p, &f);  // room reserved at step 5
        if (st) return ZFAIL_FATAL(m, fatal(st), "Failed to add ingress association rule in hardware\n");
    }
    return 0;
}

uint32_t create(Call &c, const zel_ip_ingress_assoc_params_t *params, zel_ip_flow_handle_t *out) {
    zel_module_t *m = c.m;
    ZelIpPriv &p = *c.priv;
    // 1. (checked before the lock as well)
    if (!params || !out) return ZREJECT(m, kBadParam, "Invalid input parameter\n");
    const zel_ip_ingress_assoc_params_t &a = *params;
    // 3.
    if (uint32_t st = zel_ipv4_valid_ingress_association_info(m, params))
        return ZREJECT(m, error(st), "Unexpected ingress association mask\n");
    IngressAssoc ia{};
    ia.params = a;
    ia.absent = kApAll;
    ia.target.vrd_id = kDefaultVrdId;
    if (a.mask & ZEL_IP_IAM_VRD_HANDLE) zel_ipv4_vrd_valid_handle(a.vrd, &ia.target.vrd_id);
    if (a.mask & ZEL_IP_IAM_VRD_ID) ia.target.vrd_id = a.vrd_id;
    if ((a.mask & ZEL_IP_IAM_INTF) && a.intf) ia.target.intf_id = static_cast<const IntfHead *>(a.intf)->hdr.intf_id;
    // Two associations with the same lookup key would share one entry:
    // the second learn would take it over, and deleting either would
    // withdraw the other's.
    lay::KeySpec key{};
    const bool tree8 = a.action != ZEL_IP_ASSOC_BIND && !assoc_compressed_shape(a);
    if (tree8) {
        key = assoc_lookup_key(a, ia.target);
        if (zel_ip_flow *other = assoc_index_find(p, kTreeIngressAssocFlow, key, &ia.key_hash))
            return ZREJECT(m, kBadParam, "Ingress association 0x%08" PRIxPTR " has the same fields\n",
                           reinterpret_cast<uintptr_t>(other));
    }
    // 4.
    if (a.policing == 1) {
        if (uint32_t st = zel_qos_policing_flow_id_get(m->sys_ctx, a.policer, &ia.police_flow_id))
            return ZFAIL_ERROR(m, error(st), "Failed to retrieve policing flow ID\n");
    }
    // 5. The record, its uses of the interface and domain, and room in
    //    the key index.
    auto *f = static_cast<zel_ip_flow *>(obj_alloc(sizeof(zel_ip_flow), ObjKind::kFlow));
    bool room = f && assoc_index_reserve(p);
    if (room && (a.mask & ZEL_IP_IAM_INTF) && a.intf) room = obj_use(a.intf, f, kUserName);
    if (room && (a.mask & ZEL_IP_IAM_VRD_HANDLE) && a.vrd && !obj_use(a.vrd, f, kUserName)) {
        if ((a.mask & ZEL_IP_IAM_INTF) && a.intf) obj_unuse(a.intf, f);
        room = false;
    }
    if (!room) {
        obj_free(f);
        return ZFAIL_FATAL(m, kNoMemory, "Failed to allocate mem for flow data structure\n");
    }
    f->head.hdr.owner = m;
    f->head.hdr.magic = ZEL_FLOW_HDR_MAGIC;
    f->body.ingress = ia;
    // 6-10; a failure withdraws what was taken and frees the record.
    if (const uint32_t st = build(c, *f, tree8 ? &key : nullptr)) {
        if (teardown(c, *f) != 0) {
            ZLOG_FATAL(m, "Failed to withdraw ingress association ID 0x%x set up partly; the ID stays taken\n",
                       f->head.hdr.ns_id);
            // The record goes; a lookup entry left behind is replaced by
            // the next association learnt with the same key.
            if (!(f->body.ingress.absent & kApLookup)) assoc_index_remove(p, f);
        }
        free_record(f);
        return st;
    }
    // 11.
    f->head.type = kFlowType;
    f->head.kind = kFlowIngressAssoc;
    *out = f;
    return 0;
}

uint32_t remove_assoc(Call &c, zel_ip_flow_handle_t h) {
    zel_module_t *m = c.m;
    // 1-2.
    if (!obj_live(h, ObjKind::kFlow) || h->head.hdr.magic != ZEL_FLOW_HDR_MAGIC)
        return ZREJECT(m, kBadParam, "Invalid Flow handle\n");
    if (!flow_of(h, kFlowIngressAssoc)) return ZREJECT(m, kBadParam, "Invalid flow handle parameter\n");
    if (uint32_t st = ZREFUSE_IN_USE(m, h, "Ingress association")) return st;
    // 3-6.
    if (uint32_t st = teardown(c, *h)) return st;
    // 7. (obj_free clears the type word and the header)
    ZLOG_INFO(m, "Deleted IP ingress association, 0x%08" PRIxPTR "\n", reinterpret_cast<uintptr_t>(h));
    free_record(h);
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ip_ingress_association_create(zel_module_t *module,
                                           const zel_ip_ingress_assoc_params_t *params,
                                           zel_ip_flow_handle_t *out) {
    if (out) *out = nullptr;
    // 1. Refused before the lock is taken.
    if (module_handle_ok(module) && (!params || !out)) return ZREJECT(module, kBadParam, "Invalid input parameter\n");
    return with_module(module, __func__, [&](Call &c) { return create(c, params, out); });
}

uint32_t zel_ip_ingress_association_delete(zel_module_t *module, zel_ip_flow_handle_t flow) {
    return with_module(module, __func__, [&](Call &c) { return remove_assoc(c, flow); });
}

}  // extern "C"
