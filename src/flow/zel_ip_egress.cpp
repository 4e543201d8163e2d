// Egress associations and egress flows: create and delete.
//
// Create checks everything before it takes anything, then takes the
// record, the NS ID, and what the flow programs (an association: its state
// and parameter records, trees 10, 11, 12; an egress flow: tree 29),
// recording each part as it comes to hold it (zel_ip_egress_pvt.h). A
// create that fails after the allocation withdraws exactly those parts,
// returns the id and frees the record: left in place, entries keyed by an
// id nobody owns would be inherited by the next flow to draw it. Only a
// withdrawal that fails as well leaves something behind; the id is then
// kept, so nothing inherits it.
//
// Delete withdraws the entries, then returns the id; a delete that failed
// partway keeps the flow valid and is completed by repeating it.
#include <cinttypes>

#include "core/zel_ip_registry.h"
#include "core/zel_ip_settings_internal.h"
#include "flow/zel_ip_egress_pvt.h"
#include "flow/zel_ip_flow_pvt.h"
#include "interface/zel_ip_interface_pvt.h"

using namespace zel::ip;

namespace {

#define HANDLE_FMT "0x%08" PRIxPTR
uintptr_t handle_value(const void *h) { return reinterpret_cast<uintptr_t>(h); }

constexpr const char *kAssocUser = "egress association";
constexpr const char *kFlowUser = "egress flow";

// Create step 1 for both kinds: refused before the lock is taken.
template <typename Params>
bool refuse_early(zel_module_t *m, const Params *params, zel_ip_flow_handle_t *out, uint32_t *st) {
    if (out) *out = nullptr;
    if (module_handle_ok(m) && (!params || !out)) {
        *st = ZREJECT(m, kBadParam, "Invalid input parameter\n");
        return true;
    }
    return false;
}

// A new flow record, its header written; NULL when memory is short (the
// message is logged).
zel_ip_flow *new_record(zel_module_t *m) {
    auto *f = static_cast<zel_ip_flow *>(obj_alloc(sizeof(zel_ip_flow), ObjKind::kFlow));
    if (!f) {
        ZFAIL_FATAL(m, kNoMemory, "Failed to allocate mem for flow data structure\n");
        return nullptr;
    }
    f->head.hdr.owner = m;
    f->head.hdr.magic = ZEL_FLOW_HDR_MAGIC;
    return f;
}

// Clears the record's magics and frees it (its uses already dropped).
void free_record(zel_ip_flow *f) {
    f->head.type = 0;
    f->head.hdr.magic = 0;
    f->head.hdr.owner = nullptr;
    obj_free(f);
}

// Delete steps 1 and 2 for both kinds: the live flow of `kind` behind `h`,
// or the refusal in *st.
zel_ip_flow *flow_to_delete(zel_module_t *m, zel_ip_flow_handle_t h, FlowKind kind, uint32_t *st) {
    if (!obj_live(h, ObjKind::kFlow) || h->head.hdr.magic != ZEL_FLOW_HDR_MAGIC) {
        *st = ZREJECT(m, kBadParam, "Invalid Flow handle\n");
        return nullptr;
    }
    zel_ip_flow *f = flow_of(h, kind);
    if (!f) *st = ZREJECT(m, kBadParam, "Invalid flow handle parameter\n");
    return f;
}

// ---- egress associations --------------------------------------------------------

// Delete steps: the three entries, then the id. Stops at the first
// failure, the association still valid.
uint32_t assoc_teardown(Call &c, zel_ip_flow &f, const char *entries_msg) {
    EgressAssoc &ea = f.body.egress_assoc;
    const uint32_t ns = f.head.hdr.ns_id;
    if (uint32_t st = egress_assoc_entries(c.m, *c.priv, ea.params, ea.vrd_id, ns, kRuleUnlearn, &ea.absent))
        return ZFAIL_FATAL(c.m, fatal(st), "%s", entries_msg);
    if (!(ea.absent & kEpNsId)) {
        if (uint32_t st = hwe_rsrc_free(c.priv->egress_assoc_rsrc, ns, 1, nullptr))
            return ZFAIL_FATAL(c.m, fatal(ZEL_E_NSID_FREE),
                               "Failed to free egress association flow ID, RTE Error: %s\n", hwe_status_get(st));
        ea.absent |= kEpNsId;
        ZLOG_INFO(c.m, "Freed namespace ID 0x%x\n", ns);
    }
    return 0;
}

void assoc_free(zel_ip_flow *f) {
    const zel_ip_egress_assoc_params_t &a = f->body.egress_assoc.params;
    if ((a.mask & ZEL_IP_EAM_VRD_HANDLE) && a.vrd) obj_unuse(a.vrd, f);
    free_record(f);
}

// Create steps 4 to 7 on the allocated record.
uint32_t assoc_build(Call &c, zel_ip_flow &f) {
    zel_module_t *m = c.m;
    EgressAssoc &ea = f.body.egress_assoc;
    // 4. The id.
    uint32_t ns = 0;
    if (uint32_t st = hwe_rsrc_allocate(c.priv->egress_assoc_rsrc, 1, &ns, nullptr))
        return ZFAIL_ERROR(m, error(ZEL_E_NSID_ALLOC),
                           "Failed to allocate egress association flow ID, RTE Error: %s\n", hwe_status_get(st));
    f.head.hdr.ns_id = ns;
    ea.absent &= ~kEpNsId;
    ZLOG_INFO(m, "Allocated egress association ID 0x%x\n", ns);
    // 5. Its state record.
    static const uint8_t zeros[kEgressSeBytes] = {};
    trace_se(m, Trace::kSeWrite, ZEL_SITE, ns, 0, zeros, kEgressSeBytes);
    if (uint32_t st = hwe_se_state_set(m->engine, ns, 0, zeros, kEgressSeBytes))
        return ZFAIL_FATAL(m, fatal(ZEL_E_SE_WRITE), "Failed to Clear state engine memory, RTE Error: %s\n",
                           hwe_status_get(st));
    // 6. Its parameters: the TTL.
    if (uint32_t st = write_egress_params(m, ns, ea.ttl))
        return ZFAIL_FATAL(m, fatal(ZEL_E_PARAM_WRITE), "Failed to write SED params, RTE Error: %s\n",
                           hwe_status_get(st));
    // 7. Trees 10, 11 and 12.
    if (uint32_t st = egress_assoc_entries(m, *c.priv, ea.params, ea.vrd_id, ns, kRuleLearn, &ea.absent))
        return ZFAIL_FATAL(m, fatal(st), "Failed to add egress association rule in hardware\n");
    return 0;
}

uint32_t assoc_create(Call &c, const zel_ip_egress_assoc_params_t *params, zel_ip_flow_handle_t *out) {
    zel_module_t *m = c.m;
    // 1. (checked before the lock as well)
    if (!params || !out) return ZREJECT(m, kBadParam, "Invalid input parameter\n");
    // 2.
    uint16_t mask = 0;
    if (uint32_t st = zel_ipv4_valid_egress_association_info(m, params, &mask))
        return ZREJECT(m, error(st), "Unexpected egress association mask\n");
    EgressAssoc ea{};
    ea.params = *params;
    ea.params.mask = mask;
    ea.absent = kEpAssocAll;
    ea.vrd_id = kDefaultVrdId;
    if (mask & ZEL_IP_EAM_VRD_HANDLE) zel_ipv4_vrd_valid_handle(params->vrd, &ea.vrd_id);
    if (mask & ZEL_IP_EAM_VRD_ID) ea.vrd_id = params->vrd_id;
    ea.ttl = params->ttl ? params->ttl : c.priv->default_ttl;
    // 3. The record and its use of the domain.
    zel_ip_flow *f = new_record(m);
    if (!f) return kNoMemory;
    const bool uses_vrd = (mask & ZEL_IP_EAM_VRD_HANDLE) && params->vrd;
    if (uses_vrd && !obj_use(params->vrd, f, kAssocUser)) {
        free_record(f);
        return ZFAIL_FATAL(m, kNoMemory, "Failed to allocate mem for flow data structure\n");
    }
    f->body.egress_assoc = ea;
    // 4-7; a failure withdraws what was taken and frees the record.
    if (const uint32_t st = assoc_build(c, *f)) {
        if (assoc_teardown(c, *f, "Failed to withdraw egress association rule from hardware\n") != 0)
            ZLOG_FATAL(m, "Failed to withdraw egress association ID 0x%x set up partly; the ID stays taken\n",
                       f->head.hdr.ns_id);
        assoc_free(f);
        return st;
    }
    // 8.
    f->head.type = kFlowType;
    f->head.kind = kFlowEgressAssoc;
    ZLOG_INFO(m, "Created IP egress flow " HANDLE_FMT "\n", handle_value(f));
    *out = f;
    return 0;
}

uint32_t assoc_delete(Call &c, zel_ip_flow_handle_t h) {
    uint32_t st = 0;
    zel_ip_flow *f = flow_to_delete(c.m, h, kFlowEgressAssoc, &st);
    if (!f) return st;
    if ((st = ZREFUSE_IN_USE(c.m, f, "Egress association"))) return st;
    if ((st = assoc_teardown(c, *f, "Failed to remove egress association rule from hardware\n"))) return st;
    f->head.type = 0;
    ZLOG_INFO(c.m, "Deleted IP egress association " HANDLE_FMT "\n", handle_value(f));
    assoc_free(f);
    return 0;
}

// ---- egress flows -----------------------------------------------------------------

// Delete steps: the tree-29 entry, then the id.
uint32_t flow_teardown(Call &c, zel_ip_flow &f) {
    EgressFlow &ef = f.body.egress_flow;
    const uint32_t ns = f.head.hdr.ns_id;
    if (!(ef.absent & kEpLookup)) {
        const uint32_t st =
            egress_flow_entry(c.m, *c.priv, ef.intf_id, ef.params.next_hop, ns, 0, 0, kRuleUnlearn);
        if (entry_withdrawn(st)) {
            ef.absent |= kEpLookup;
            egress_flow_index_remove(*c.priv, &f);
        }
        if (st)
            return ZFAIL_FATAL(c.m, fatal(st), "Failed to remove egress flow classification rule, from hardware\n");
    }
    if (!(ef.absent & kEpNsId)) {
        if (uint32_t st = hwe_rsrc_free(c.priv->egress_flow_ids_rsrc, ns, 1, nullptr))
            return ZFAIL_FATAL(c.m, fatal(ZEL_E_NSID_FREE), "Failed to free egress flow ID, RTE Error: %s\n",
                               hwe_status_get(st));
        ef.absent |= kEpNsId;
        ZLOG_INFO(c.m, "Freed namespace ID 0x%x\n", ns);
    }
    return 0;
}

void flow_free(zel_ip_flow *f) {
    obj_unuse(f->body.egress_flow.params.intf, f);
    free_record(f);
}

// Create steps 5 and 6 on the allocated record.
uint32_t flow_build(Call &c, zel_ip_flow &f) {
    zel_module_t *m = c.m;
    EgressFlow &ef = f.body.egress_flow;
    uint32_t ns = 0;
    if (uint32_t st = hwe_rsrc_allocate(c.priv->egress_flow_ids_rsrc, 1, &ns, nullptr))
        return ZFAIL_ERROR(m, error(ZEL_E_NSID_ALLOC), "Failed to allocate egress flow ID, RTE Error: %s\n",
                           hwe_status_get(st));
    f.head.hdr.ns_id = ns;
    ef.absent &= ~kEpNsId;
    ZLOG_INFO(m, "Allocated egress flow ID 0x%x\n", ns);
    const uint32_t st = egress_flow_entry(m, *c.priv, ef.intf_id, ef.params.next_hop, ns, 0, 0, kRuleLearn);
    if (entry_withdrawn(st)) {
        ef.absent &= ~kEpLookup;
        egress_flow_index_add(*c.priv, &f);  // room reserved at create step 5
    }
    if (st) return ZFAIL_FATAL(m, fatal(st), "Failed to program the hardware with egress flow, classification rule\n");
    return 0;
}

uint32_t flow_create(Call &c, const zel_ip_egress_flow_params_t *params, zel_ip_flow_handle_t *out) {
    zel_module_t *m = c.m;
    // 1. (checked before the lock as well)
    if (!params || !out) return ZREJECT(m, kBadParam, "Invalid input parameter\n");
    const zel_ip_egress_flow_params_t &a = *params;
    // 2-4.
    const bool tunnel = zel_ipv4_tunnel_interface_valid_handle(a.intf);
    if (tunnel && a.next_hop != 0)
        return ZREJECT(m, kBadParam, "Next hop must not be specified when egress interface is a tunnel interface\n");
    if (!tunnel && !zel_ipv4_interface_valid_handle(a.intf))
        return ZREJECT(m, kBadParam, "Valid egress interface must be specified\n");
    if (a.next_hop != 0 && !host_addr_ok(a.next_hop))
        return ZREJECT(m, kBadParam, "Invalid next hop IP Address specified\n");
    // One flow per tree-29 key: a second would take the first's entry
    // over, and deleting either would withdraw the other's.
    const uint32_t intf_id = static_cast<const IntfHead *>(a.intf)->hdr.intf_id;
    if (zel_ip_flow *other = egress_flow_find(*c.priv, intf_id, a.next_hop))
        return ZREJECT(m, kBadParam, "Egress flow " HANDLE_FMT " has the same interface and next hop\n",
                       handle_value(other));
    // 5. The record, its use of the interface and room in the key index.
    zel_ip_flow *f = new_record(m);
    if (!f) return kNoMemory;
    if (!egress_flow_index_reserve(*c.priv) || !obj_use(a.intf, f, kFlowUser)) {
        free_record(f);
        return ZFAIL_FATAL(m, kNoMemory, "Failed to allocate mem for flow data structure\n");
    }
    EgressFlow &ef = f->body.egress_flow;
    ef.params = a;
    ef.intf_id = intf_id;
    ef.absent = kEpFlowAll;
    // 5-6; a failure withdraws what was taken and frees the record.
    if (const uint32_t st = flow_build(c, *f)) {
        if (flow_teardown(c, *f) != 0) {
            ZLOG_FATAL(m, "Failed to withdraw egress flow ID 0x%x set up partly; the ID stays taken\n",
                       f->head.hdr.ns_id);
            // A tree-29 entry left behind is replaced by the next flow
            // learnt on the same key.
            egress_flow_index_remove(*c.priv, f);
        }
        flow_free(f);
        return st;
    }
    // 7.
    f->head.type = kFlowType;
    f->head.kind = kFlowEgress;
    ZLOG_INFO(m, "Created IP egress flow " HANDLE_FMT "\n", handle_value(f));
    *out = f;
    return 0;
}

uint32_t flow_delete(Call &c, zel_ip_flow_handle_t h) {
    uint32_t st = 0;
    zel_ip_flow *f = flow_to_delete(c.m, h, kFlowEgress, &st);
    if (!f) return st;
    if ((st = ZREFUSE_IN_USE(c.m, f, "Egress flow"))) return st;
    if ((st = flow_teardown(c, *f))) return st;
    f->head.type = 0;
    ZLOG_INFO(c.m, "Deleted IP egress flow " HANDLE_FMT "\n", handle_value(f));
    flow_free(f);
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ip_egress_association_create(zel_module_t *module, const zel_ip_egress_assoc_params_t *params,
                                          zel_ip_flow_handle_t *out) {
    uint32_t st = 0;
    if (refuse_early(module, params, out, &st)) return st;
    return with_module(module, __func__, [&](Call &c) { return assoc_create(c, params, out); });
}

uint32_t zel_ip_egress_association_delete(zel_module_t *module, zel_ip_flow_handle_t flow) {
    return with_module(module, __func__, [&](Call &c) { return assoc_delete(c, flow); });
}

uint32_t zel_ip_egress_flow_create(zel_module_t *module, const zel_ip_egress_flow_params_t *params,
                                   zel_ip_flow_handle_t *out) {
    uint32_t st = 0;
    if (refuse_early(module, params, out, &st)) return st;
    return with_module(module, __func__, [&](Call &c) { return flow_create(c, params, out); });
}

uint32_t zel_ip_egress_flow_delete(zel_module_t *module, zel_ip_flow_handle_t flow) {
    return with_module(module, __func__, [&](Call &c) { return flow_delete(c, flow); });
}

}  // extern "C"
