// Ingress associations: the parameter check, the lookup entries (trees 8
// and 9), the terminated-flow entry (tree 27) and the key index (see
// zel_ip_flow_pvt.h).
#include "flow/zel_ip_flow_pvt.h"

#include <cinttypes>
#include <cstring>

#include "core/zel_ip_registry.h"
#include "tree/zel_ip_assoc_mask.h"
#include "tree/zel_ip_hw_internal.h"
#include "tree/zel_ip_layout_cpu.h"
#include "tree/zel_ip_layout_flow.h"
#include "zel_ip/zel_ip_core.h"

namespace zel::ip {

namespace lay = layout;

namespace {

constexpr const char *kLookupBuildMsg = "Failed to build input pattern\n";
constexpr const char *kAddMsg = "Failed to add LPM rule in hardware\n";
constexpr const char *kRemoveMsg = "Failed to remove LPM rule from hardware\n";

// DPORT + 24536 modulo 65536 is at most 20000: 41000 to 61000.
constexpr bool comp_dport(uint32_t dport) { return ((dport + 24536u) & 0xffffu) <= 20000u; }

// The interface's INTF-ID (an IPoE or tunnel record: both lead with the
// object header), or 0 when the handle is neither.
bool intf_id_of_handle(const void *h, uint32_t *id) {
    if (!zel_ipv4_interface_valid_handle(h) && !zel_ipv4_tunnel_interface_valid_handle(h)) return false;
    *id = static_cast<const IntfHead *>(h)->hdr.intf_id;
    return true;
}

// The W1/W2 of a lookup entry.
hwe_action_t lookup_value(const zel_ip_ingress_assoc_params_t &a, uint32_t action, uint32_t ns_id,
                          uint8_t imc_idx, uint8_t flow_idx, bool filtering_bit) {
    lay::assoc::Value v{};
    v.action = action == ZEL_IP_ASSOC_SEND_TO_CPU ? lay::assoc::Action::kSendToCpu
               : action == ZEL_IP_ASSOC_DISCARD   ? lay::assoc::Action::kDiscard
                                                  : lay::assoc::Action::kBind;
    if (v.action == lay::assoc::Action::kBind) {
        const lay::assoc::FnIdx fi = lay::assoc::bound_fn_idx(imc_idx, flow_idx);
        v.imc_idx = fi.imc_idx;
        v.flow_idx = fi.flow_idx;
    }
    v.filtering = filtering_bit && a.flow_filter == 1;
    v.policing = a.policing == 1;
    v.flow_id = ns_id;
    return lay::assoc::encode(v);
}

// Resolves the handles of `a` into the ids that key its entry; false when
// a selected handle is no longer valid.
bool resolve(const zel_ip_ingress_assoc_params_t &a, AssocTarget *t) {
    *t = AssocTarget{};
    if ((a.mask & kIamVrdHandle) && !zel_ipv4_vrd_valid_handle(a.vrd, &t->vrd_id)) return false;
    if (a.mask & kIamVrdId) t->vrd_id = a.vrd_id;
    if ((a.mask & kIamIntf) && a.intf && !intf_id_of_handle(a.intf, &t->intf_id)) return false;
    return true;
}

}  // namespace

zel_ip_flow *flow_of(const void *h, FlowKind kind) {
    if (!zel_ipv4_flow_valid_handle(h)) return nullptr;
    auto *f = static_cast<zel_ip_flow *>(const_cast<void *>(h));
    return f->head.kind == kind ? f : nullptr;
}

uint8_t assoc_tree_mask_of(const zel_ip_ingress_assoc_params_t &p) {
    return assoc_tree_mask(p.mask, p.proto);
}

bool assoc_compressed_shape(const zel_ip_ingress_assoc_params_t &p) {
    return assoc_tree_mask_of(p) == kCompShapeMask && p.proto == kProtoUdp17 && comp_dport(p.dport);
}

lay::KeySpec assoc_lookup_key(const zel_ip_ingress_assoc_params_t &p, const AssocTarget &t) {
    lay::AssocKey k{};
    auto put = [&](lay::AssocField f, uint32_t value, uint32_t bits) {
        k.value[f] = value;
        k.bits[f] = static_cast<uint8_t>(bits);
    };
    put(lay::kAfVrd, t.vrd_id, lay::kVrdIdBits);
    put(lay::kAfIntf, t.intf_id, p.intf ? lay::kIntfIdBits : 0);
    put(lay::kAfProto, p.proto, p.proto ? lay::kProtoBits : 0);
    put(lay::kAfDip, p.dip, p.dip_prefix_len);
    put(lay::kAfDport, p.dport, p.dport ? lay::kPortBits : 0);
    put(lay::kAfSip, p.sip, p.sip_prefix_len);
    put(lay::kAfSport, p.sport, p.sport ? lay::kPortBits : 0);
    return lay::assoc_key_spec(assoc_tree_mask_of(p), k);
}

// The key of the tree-9 entry.
static lay::KeySpec comp_key(const zel_ip_ingress_assoc_params_t &p, const AssocTarget &t) {
    return lay::key_spec(kTreeCompIngressAssocFlow, {p.dport, t.cdip},
                         lay::key_layout(kTreeCompIngressAssocFlow).width);
}

uint32_t assoc_lookup_update(zel_module_t *m, ZelIpPriv &p, const zel_ip_ingress_assoc_params_t &a,
                             AssocTarget &t, uint32_t action, uint32_t ns_id, uint8_t imc_idx,
                             uint8_t flow_idx, uint32_t op, const lay::KeySpec *key) {
    // 1. The compressed shape has a tree of its own.
    if (assoc_compressed_shape(a)) return assoc_comp_update(m, p, a, t, action, ns_id, imc_idx, flow_idx, op);
    // 2-3. Tree 8.
    hwe_action_t v = lookup_value(a, action, ns_id, imc_idx, flow_idx, true);
    return layout::key_program(m, p.trees[kTreeIngressAssocFlow], key ? *key : assoc_lookup_key(a, t), op, v,
                               op ? kAddMsg : kRemoveMsg, ZEL_SITE, kLookupBuildMsg);
}

uint32_t assoc_comp_update(zel_module_t *m, ZelIpPriv &p, const zel_ip_ingress_assoc_params_t &a,
                           AssocTarget &t, uint32_t action, uint32_t ns_id, uint8_t imc_idx,
                           uint8_t flow_idx, uint32_t op) {
    // 1. Only a bound, unfiltered flow of fully specified fields.
    if (action != ZEL_IP_ASSOC_BIND || a.flow_filter == 1 || a.dip_prefix_len != 32 ||
        a.sip_prefix_len != 32 || a.sport == 0)
        return ZREJECT(m, kBadParam,
                       "This flow must have all fields fully specified, action set to bind and flow "
                       "filter disabled\n");
    hwe_action_t v = lookup_value(a, action, ns_id, imc_idx, flow_idx, false);
    if (op == kRuleUnlearn)
        return layout::key_program(m, p.trees[kTreeCompIngressAssocFlow], comp_key(a, t), op, v,
                                   kRemoveMsg, ZEL_SITE);
    // 2. The destination's compressed form.
    uint32_t cdip = 0;
    if (zel_ip_address_compress(m, a.dip, t.vrd_id, 3, &cdip) != 1)
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS), "IP address 0x%08x in VRD %d not found\n",
                       a.dip, static_cast<int>(t.vrd_id));
    t.cdip = static_cast<uint8_t>(cdip);
    // 4. The source the key cannot carry goes to the flow's state record.
    uint8_t src[6];
    const uint32_t sip = hwe_htonl(a.sip);
    const uint16_t sport = hwe_htons(a.sport);
    std::memcpy(src, &sip, 4);
    std::memcpy(src + 4, &sport, 2);
    trace_se(m, Trace::kSeWrite, ZEL_SITE, ns_id, kAssocSeSource, src, sizeof src);
    if (uint32_t st = hwe_se_state_set(m->engine, ns_id, kAssocSeSource, src, sizeof src))
        return ZFAIL_FATAL(m, fatal(ZEL_E_SE_WRITE), "Failed to write to state engine memory, RTE Error: %s\n",
                           hwe_status_get(st));
    return layout::key_program(m, p.trees[kTreeCompIngressAssocFlow], comp_key(a, t), op, v, kAddMsg,
                               ZEL_SITE);
}

uint32_t assoc_terminated_update(zel_module_t *m, ZelIpPriv &p, uint32_t ns_id,
                                 const zel_ip_ingress_assoc_params_t &a, uint32_t op) {
    hwe_action_t v = a.cpu_kind == ZEL_IP_CPU_PATH_NCA ? lay::flow_cpu_path::nca(a.cpu_target)
                                                       : lay::flow_cpu_path::ph(a.cpu_target, a.cpu_cb_fn_id);
    const lay::KeySpec key = lay::key_spec(kTreeFlowCpuPathParam, {ns_id}, lay::kFlowIdBits);
    if (uint32_t st = layout::key_program(m, p.trees[kTreeFlowCpuPathParam], key, op, v,
                                          "Failed to program LPM rule in hardware\n", ZEL_SITE))
        return st;
    if (op == kRuleUnlearn) return 0;
    const uint32_t ctx = hwe_htonl(a.context_flow_id ? a.context_flow_id : ns_id);
    trace_se(m, Trace::kSeWrite, ZEL_SITE, ns_id, kAssocSeContext, &ctx, sizeof ctx);
    if (uint32_t st = hwe_se_state_set(m->engine, ns_id, kAssocSeContext, &ctx, sizeof ctx))
        return ZFAIL_ERROR(m, error(ZEL_E_SE_WRITE), "Failed to write to SE memory, RTE Error: %s\n",
                           hwe_status_get(st));
    return 0;
}

// ---- Key index --------------------------------------------------------------

namespace {

// Open addressing with linear probing; deletion shifts the run back, so
// no tombstones. Twice the namespace: never full.
constexpr uint32_t kIndexSlots = 1u << 17;
static_assert(kIndexSlots >= 2 * 65536 && kIndexSlots > kIngressAssocFlows);

struct IndexTable {
    zel_ip_flow *slot[kIndexSlots];
};

uint64_t hash_key(uint32_t tree, const lay::KeySpec &k) {
    uint64_t h = 1469598103934665603ull;
    auto mix = [&](uint32_t v) {
        h ^= v;
        h *= 1099511628211ull;
    };
    mix(tree);
    for (uint32_t i = 0; i < k.n; ++i) {
        mix(k.f[i].value);
        mix(k.f[i].bits);
    }
    // The table takes the low bits, which FNV's multiply fills from the
    // inputs' low bits only: spread the high ones down.
    h ^= h >> 31;
    h *= 0xbf58476d1ce4e5b9ull;
    return h ^ (h >> 29);
}

bool same_key(const lay::KeySpec &a, const lay::KeySpec &b) {
    if (a.n != b.n) return false;
    for (uint32_t i = 0; i < a.n; ++i)
        if (a.f[i].value != b.f[i].value || a.f[i].bits != b.f[i].bits) return false;
    return true;
}

// The lookup key an association holds, and its tree.
lay::KeySpec held_key(const IngressAssoc &ia, uint32_t *tree) {
    const bool comp = assoc_compressed_shape(ia.params);
    *tree = comp ? kTreeCompIngressAssocFlow : kTreeIngressAssocFlow;
    return comp ? comp_key(ia.params, ia.target) : assoc_lookup_key(ia.params, ia.target);
}

IndexTable *table(ZelIpPriv &p) { return static_cast<IndexTable *>(p.assoc_index); }

}  // namespace

zel_ip_flow *assoc_index_find(ZelIpPriv &p, uint32_t tree, const lay::KeySpec &k, uint64_t *hash) {
    const uint64_t h = hash_key(tree, k);
    if (hash) *hash = h;
    IndexTable *t = table(p);
    if (!t) return nullptr;
    for (uint32_t i = h & (kIndexSlots - 1); t->slot[i]; i = (i + 1) & (kIndexSlots - 1)) {
        zel_ip_flow *f = t->slot[i];
        if (f->body.ingress.key_hash != h) continue;
        uint32_t ftree = 0;
        const lay::KeySpec fk = held_key(f->body.ingress, &ftree);
        if (ftree == tree && same_key(fk, k)) return f;
    }
    return nullptr;
}

zel_ip_flow *assoc_key_holder(zel_module_t *m, ZelIpPriv &p, IngressAssoc &ia) {
    AssocTarget t = ia.target;
    uint32_t tree = kTreeIngressAssocFlow;
    if (assoc_compressed_shape(ia.params)) {
        uint32_t cdip = 0;
        if (zel_ip_address_compress(m, ia.params.dip, t.vrd_id, 3, &cdip) == 1) t.cdip = static_cast<uint8_t>(cdip);
        tree = kTreeCompIngressAssocFlow;
        return assoc_index_find(p, tree, comp_key(ia.params, t), &ia.key_hash);
    }
    return assoc_index_find(p, tree, assoc_lookup_key(ia.params, t), &ia.key_hash);
}

bool assoc_index_reserve(ZelIpPriv &p) {
    if (!p.assoc_index) p.assoc_index = obj_alloc(sizeof(IndexTable), ObjKind::kTable);
    return p.assoc_index != nullptr;
}

void assoc_index_add(ZelIpPriv &p, zel_ip_flow *f) {
    IndexTable *t = table(p);
    if (!t) return;
    uint32_t i = f->body.ingress.key_hash & (kIndexSlots - 1);
    while (t->slot[i]) i = (i + 1) & (kIndexSlots - 1);
    t->slot[i] = f;
}

void assoc_index_remove(ZelIpPriv &p, zel_ip_flow *f) {
    IndexTable *t = table(p);
    if (!t) return;
    constexpr uint32_t mask = kIndexSlots - 1;
    uint32_t i = f->body.ingress.key_hash & mask;
    while (t->slot[i] && t->slot[i] != f) i = (i + 1) & mask;
    if (!t->slot[i]) return;
    // Move back every later member of the run whose home is not between
    // the hole and itself.
    for (uint32_t j = (i + 1) & mask; t->slot[j]; j = (j + 1) & mask) {
        const uint32_t home = t->slot[j]->body.ingress.key_hash & mask;
        const bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (stays) continue;
        t->slot[i] = t->slot[j];
        i = j;
    }
    t->slot[i] = nullptr;
}

}  // namespace zel::ip

using namespace zel::ip;

extern "C" {

uint32_t zel_ipv4_valid_ingress_association_info(zel_module_t *module,
                                                 const zel_ip_ingress_assoc_params_t *params) {
    zel_module_t *m = module;
    if (!module_priv(m)) return kBadHandle;
    if (!params) return ZREJECT(m, kBadParam, "Invalid input parameter\n");
    const zel_ip_ingress_assoc_params_t &a = *params;
    // 1.
    if (zel_ipv4_valid_ingress_association_mask(m, a.mask))
        return ZREJECT(m, kBadParam, "Unexpected Ingress association rule mask\n");
    // 2-3.
    if (a.action < ZEL_IP_ASSOC_BIND || a.action > ZEL_IP_ASSOC_DISCARD)
        return ZREJECT(m, kBadParam, "Invalid ingress association action type\n");
    if (a.action == ZEL_IP_ASSOC_SEND_TO_CPU && a.mtm_queue && a.dscp_cpu_queue == 1)
        return ZREJECT(m, kBadParam,
                       "MTM Queue Handle cannot be specified if DSCP Based QoS selection is enabled "
                       "for CPU path\n");
    // 4-6.
    if ((a.mask & kIamVrdHandle) && !zel_ipv4_vrd_valid_handle(a.vrd, nullptr))
        return ZREJECT(m, kBadHandle, "Invalid IPv4 routing domain handle 0x%08" PRIxPTR "\n",
                       reinterpret_cast<uintptr_t>(a.vrd));
    if ((a.mask & kIamVrdId) && a.vrd_id >= kMaxVrds)
        return ZREJECT(m, kBadHandle, "VRD ID %d out of range\n", static_cast<int>(a.vrd_id));
    uint32_t intf_id = 0;
    if ((a.mask & kIamIntf) && a.intf && !intf_id_of_handle(a.intf, &intf_id))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_INTERFACE), "Invalid Interface Handle type\n");
    // 7. Wildcard order: INTF, PROTO, DIP, DPORT, SIP, SPORT.
    const bool ports = port_protocol(a.proto);
    bool wild = (a.mask & kIamIntf) && !a.intf;
    if (a.mask & kIamProto) {
        if (wild && a.proto != 0)
            return ZREJECT(m, kBadParam, "Protocol cannot be specified with a wild-carded input field before it\n");
        wild = wild || a.proto == 0;
    }
    if (a.mask & kIamDip) {
        if (wild && a.dip_prefix_len != 0)
            return ZREJECT(m, kBadParam, "Dest IP addr cannot be specified with wild-carded field before it\n");
        wild = wild || a.dip_prefix_len < 32;
    }
    if ((a.mask & kIamDport) && ports) {
        if (wild && a.dport != 0)
            return ZREJECT(m, kBadParam, "Dest Port cannot be specified with wild-carded field before it\n");
        wild = wild || a.dport == 0;
    }
    if (a.mask & kIamSip) {
        if (wild && a.sip_prefix_len != 0)
            return ZREJECT(m, kBadParam, "Src IP addr cannot be specified with wild-carded field before it\n");
        wild = wild || a.sip_prefix_len < 32;
    }
    if ((a.mask & kIamSport) && ports && wild && a.sport != 0)
        return ZREJECT(m, kBadParam, "Src Port cannot be specified with wild-carded field before it\n");
    // A prefix longer than an address cannot be keyed.
    if (((a.mask & kIamDip) && a.dip_prefix_len > 32) || ((a.mask & kIamSip) && a.sip_prefix_len > 32))
        return ZREJECT(m, kBadParam, "Invalid ingress association address prefix length\n");
    return 0;
}

uint32_t ip_ingress_assoc_lookup_update(zel_module_t *module, const zel_ip_ingress_assoc_params_t *params,
                                        uint32_t action, uint32_t ns_id, uint8_t imc_idx,
                                        uint8_t flow_idx, uint32_t op) {
    ZelIpPriv *p = module_priv(module);
    if (!p) return kBadHandle;
    AssocTarget t{};
    if (!params || !resolve(*params, &t)) return kBadParam;
    return assoc_lookup_update(module, *p, *params, t, action, ns_id, imc_idx, flow_idx, op);
}

uint32_t ip_comp_ingress_assoc_lookup_update(zel_module_t *module,
                                             const zel_ip_ingress_assoc_params_t *params,
                                             uint32_t action, uint32_t ns_id, uint8_t imc_idx,
                                             uint8_t flow_idx, uint32_t op) {
    ZelIpPriv *p = module_priv(module);
    if (!p) return kBadHandle;
    AssocTarget t{};
    if (!params || !resolve(*params, &t)) return kBadParam;
    if (op == kRuleUnlearn) {
        uint32_t cdip = 0;
        if (zel_ip_address_compress(module, params->dip, t.vrd_id, 3, &cdip) == 1)
            t.cdip = static_cast<uint8_t>(cdip);
    }
    return assoc_comp_update(module, *p, *params, t, action, ns_id, imc_idx, flow_idx, op);
}

uint32_t ip_terminated_flow_tree_update(zel_module_t *module, uint32_t ns_id,
                                        const zel_ip_ingress_assoc_params_t *params, uint32_t op) {
    ZelIpPriv *p = module_priv(module);
    if (!p) return kBadHandle;
    if (!params) return kBadParam;
    return assoc_terminated_update(module, *p, ns_id, *params, op);
}

}  // extern "C"
