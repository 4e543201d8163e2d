// Egress associations and egress flows: the parameter checks, the entries
// of trees 10, 11, 12 and 29, and the key index of egress flows (see
// zel_ip_egress_pvt.h).
#include "flow/zel_ip_egress_pvt.h"

#include <cinttypes>

#include "core/zel_ip_registry.h"
#include "flow/zel_ip_flow_pvt.h"
#include "interface/zel_ip_interface_pvt.h"
#include "tree/zel_ip_layout_flow.h"
#include "zel_ip/zel_ip_core.h"

namespace zel::ip {

namespace lay = layout;

namespace {

constexpr uint8_t kProtoUdp = 17;
constexpr uint32_t kMaskBits = 0x7f;
constexpr const char *kAddMsg = "Failed to program LPM rule in hardware\n";
constexpr const char *kRemoveMsg = "Failed to remove LPM rule from hardware\n";

lay::KeySpec ns_key(uint32_t tree, uint32_t ns_id) { return lay::key_spec(tree, {ns_id}, lay::kFlowIdBits); }

// The values of the three entries.
hwe_action_t dip_value(const zel_ip_egress_assoc_params_t &a, uint32_t vrd_id) {
    lay::egress_dip::Value v{};
    v.dip = a.dip;
    v.vrd_id = static_cast<uint8_t>(vrd_id);
    v.proto = (a.mask & ZEL_IP_EAM_DPORT) ? kProtoUdp : (a.mask & ZEL_IP_EAM_PROTO) ? a.proto : 0;
    return lay::egress_dip::encode(v);
}
hwe_action_t sip_mtu_value(const zel_ip_egress_assoc_params_t &a) {
    return lay::egress_sip_mtu::encode({(a.mask & ZEL_IP_EAM_SIP) ? a.sip : 0u, a.mtu});
}
hwe_action_t info_value(const zel_ip_egress_assoc_params_t &a) {
    lay::egress_info::Value v{};
    v.flow_sip = (a.mask & ZEL_IP_EAM_SIP) != 0;
    if (a.mask & ZEL_IP_EAM_DPORT) {
        v.udp_dport = a.dport;
        v.udp_sport = a.sport;
        v.encap_udp = true;
        v.update_l4_csum = a.no_l4_csum_update == 0;
    }
    return lay::egress_info::encode(v);
}

// Runs the step of part `bit` unless `absent` says it is done already for
// `op`; records the part as held / withdrawn when the engine holds it /
// no longer does.
template <typename Step>
uint32_t part_step(uint32_t *absent, uint32_t bit, uint32_t op, Step &&step) {
    if (absent && ((*absent & bit) != 0) == (op == kRuleUnlearn)) return 0;
    const uint32_t st = step();
    if (absent && entry_withdrawn(st)) {
        if (op == kRuleLearn)
            *absent &= ~bit;
        else
            *absent |= bit;
    }
    return st;
}

}  // namespace

uint16_t egress_assoc_mask_of(const zel_ip_egress_assoc_params_t &a) {
    if (a.mask != 0) return a.mask;
    uint16_t m = ZEL_IP_EAM_VRD_HANDLE;
    if (a.dip) m |= ZEL_IP_EAM_DIP;
    if (a.sip) m |= ZEL_IP_EAM_SIP;
    if (a.proto || a.dport || a.sport) m |= ZEL_IP_EAM_PROTO;
    if (a.dport) m |= ZEL_IP_EAM_DPORT;
    if (a.sport) m |= ZEL_IP_EAM_SPORT;
    return m;
}

uint32_t egress_assoc_entries(zel_module_t *m, ZelIpPriv &p, const zel_ip_egress_assoc_params_t &a,
                              uint32_t vrd_id, uint32_t ns_id, uint32_t op, uint32_t *absent) {
    const char *msg = op == kRuleLearn ? kAddMsg : kRemoveMsg;
    struct Entry {
        uint32_t tree;
        uint32_t part;
        hwe_action_t value;
    };
    Entry entries[] = {
        {kTreeEgressAssocDip, kEpDip, dip_value(a, vrd_id)},
        {kTreeEgressAssocSipMtu, kEpSipMtu, sip_mtu_value(a)},
        {kTreeEgressAssocInfo, kEpInfo, info_value(a)},
    };
    for (Entry &e : entries) {
        if (uint32_t st = part_step(absent, e.part, op, [&] {
                return ZRULE_KEY(m, p.trees[e.tree], op, e.value, msg, ns_key(e.tree, ns_id));
            }))
            return st;
    }
    return 0;
}

lay::KeySpec egress_flow_key(uint32_t intf_id, uint32_t next_hop) {
    return lay::key_spec(kTreeEgressFlow, {intf_id, next_hop}, next_hop ? 48 : 16);
}

uint32_t egress_flow_entry(zel_module_t *m, ZelIpPriv &p, uint32_t intf_id, uint32_t next_hop,
                           uint32_t id, uint8_t imc_idx, uint8_t flow_idx, uint32_t op) {
    const lay::assoc::FnIdx fi = lay::assoc::bound_fn_idx(imc_idx, flow_idx);
    hwe_action_t v = lay::egress_flow::encode({fi.imc_idx, fi.flow_idx, id});
    return lay::key_program(m, p.trees[kTreeEgressFlow], egress_flow_key(intf_id, next_hop), op, v,
                            "Failed to update LPM rule in hardware\n", ZEL_SITE,
                            "Failed to build the pattern\n");
}

// ---- Key index of egress flows ------------------------------------------------

namespace {

// Open addressing with linear probing; deletion shifts the run back, so
// no tombstones. More than twice the namespace: never full, short runs.
constexpr uint32_t kIndexSlots = 1u << 12;
static_assert(kIndexSlots >= 2 * kEgressFlowIdCount);

struct IndexTable {
    zel_ip_flow *slot[kIndexSlots];
};

uint32_t home(uint32_t intf_id, uint32_t next_hop) {
    uint64_t h = (uint64_t{intf_id} << 32 | next_hop) * 0x9e3779b97f4a7c15ull;
    return static_cast<uint32_t>(h >> 52) & (kIndexSlots - 1);
}
uint32_t home(const zel_ip_flow *f) {
    return home(f->body.egress_flow.intf_id, f->body.egress_flow.params.next_hop);
}

IndexTable *table(ZelIpPriv &p) { return static_cast<IndexTable *>(p.egress_flow_index); }

}  // namespace

zel_ip_flow *egress_flow_find(ZelIpPriv &p, uint32_t intf_id, uint32_t next_hop) {
    IndexTable *t = table(p);
    if (!t) return nullptr;
    for (uint32_t i = home(intf_id, next_hop); t->slot[i]; i = (i + 1) & (kIndexSlots - 1)) {
        const EgressFlow &ef = t->slot[i]->body.egress_flow;
        if (ef.intf_id == intf_id && ef.params.next_hop == next_hop) return t->slot[i];
    }
    return nullptr;
}

bool egress_flow_index_reserve(ZelIpPriv &p) {
    if (!p.egress_flow_index) p.egress_flow_index = obj_alloc(sizeof(IndexTable), ObjKind::kTable);
    return p.egress_flow_index != nullptr;
}

void egress_flow_index_add(ZelIpPriv &p, zel_ip_flow *f) {
    IndexTable *t = table(p);
    if (!t) return;
    uint32_t i = home(f);
    while (t->slot[i]) i = (i + 1) & (kIndexSlots - 1);
    t->slot[i] = f;
}

void egress_flow_index_remove(ZelIpPriv &p, zel_ip_flow *f) {
    IndexTable *t = table(p);
    if (!t) return;
    constexpr uint32_t mask = kIndexSlots - 1;
    uint32_t i = home(f);
    while (t->slot[i] && t->slot[i] != f) i = (i + 1) & mask;
    if (!t->slot[i]) return;
    // Move back every later member of the run whose home is not between
    // the hole and itself.
    for (uint32_t j = (i + 1) & mask; t->slot[j]; j = (j + 1) & mask) {
        const uint32_t hj = home(t->slot[j]);
        const bool stays = i <= j ? (hj > i && hj <= j) : (hj > i || hj <= j);
        if (stays) continue;
        t->slot[i] = t->slot[j];
        i = j;
    }
    t->slot[i] = nullptr;
}

}  // namespace zel::ip

using namespace zel::ip;

extern "C" {

uint32_t zel_ipv4_valid_egress_association_mask(zel_module_t *module, uint16_t mask) {
    constexpr uint32_t kRefused = ZEL_E_INVALID_PARAM;
    if (mask > kMaskBits) return ZREJECT(module, kRefused, "Invalid bit mask set\n");
    const bool by_handle = mask & ZEL_IP_EAM_VRD_HANDLE, by_id = mask & ZEL_IP_EAM_VRD_ID;
    if (by_handle && by_id) return ZREJECT(module, kRefused, "Both VRD handle and VRD ID cannot be specified\n");
    if (!by_handle && !by_id) return ZREJECT(module, kRefused, "VRD unspecified\n");
    if (!(mask & ZEL_IP_EAM_DIP)) return ZREJECT(module, kRefused, "Dest IP Address must be specified\n");
    if (!(mask & ZEL_IP_EAM_DPORT) != !(mask & ZEL_IP_EAM_SPORT))
        return ZREJECT(module, kRefused,
                       "Both source and destination port should be specified or neither of the two\n");
    return 0;
}

uint32_t zel_ipv4_valid_egress_association_info(zel_module_t *module,
                                                const zel_ip_egress_assoc_params_t *params,
                                                uint16_t *mask_out) {
    if (!params) return ZREJECT(module, kBadParam, "Invalid input parameter\n");
    const zel_ip_egress_assoc_params_t &a = *params;
    // 1.
    const uint16_t mask = egress_assoc_mask_of(a);
    if (zel_ipv4_valid_egress_association_mask(module, mask))
        return ZREJECT(module, kBadParam, "Unexpected Ingress association rule mask\n");
    // 2.
    if ((mask & ZEL_IP_EAM_VRD_HANDLE) && !zel_ipv4_vrd_valid_handle(a.vrd, nullptr))
        return ZREJECT(module, kBadHandle, "Invalid IPv4 routing domain handle 0x%08" PRIxPTR "\n",
                       reinterpret_cast<uintptr_t>(a.vrd));
    if ((mask & ZEL_IP_EAM_VRD_ID) && a.vrd_id > kDefaultVrdId)
        return ZREJECT(module, kBadHandle, "VRD ID %d out of range\n", static_cast<int>(a.vrd_id));
    // 3.
    if (a.dip == 0) return ZREJECT(module, kBadParam, "Invalid Destination IP Address 0x%08x", a.dip);
    // 4.
    if ((mask & ZEL_IP_EAM_SIP) && (a.sip == 0 || !host_addr_ok(a.sip)))
        return ZREJECT(module, kBadParam, "Invalid Source IP Address 0x%08x", a.sip);
    // 5.
    if ((mask & ZEL_IP_EAM_DPORT) && a.proto != kProtoUdp && a.proto != 0)
        return ZREJECT(module, kBadParam,
                       "For UDP header insertion, protocol must be set to 0x11 (UDP) or left "
                       "unspecified as 0\n");
    // 6.
    if (a.mtu != 0 && (a.mtu < kMinEgressMtu || a.mtu > kMaxEgressMtu))
        return ZREJECT(module, error(ZEL_IP_E_INVALID_MTU), "Invalid MTU Configuration\n");
    if (mask_out) *mask_out = mask;
    return 0;
}

uint32_t ip_egress_association_hw_update(zel_module_t *module, const zel_ip_egress_assoc_params_t *params,
                                         uint16_t mask, uint32_t ns_id, uint32_t op) {
    ZelIpPriv *p = module_priv(module);
    if (!p || !params) return kBadParam;
    zel_ip_egress_assoc_params_t a = *params;
    a.mask = mask;
    uint32_t vrd_id = kDefaultVrdId;
    if ((mask & ZEL_IP_EAM_VRD_HANDLE) && !zel_ipv4_vrd_valid_handle(a.vrd, &vrd_id)) return kBadParam;
    if (mask & ZEL_IP_EAM_VRD_ID) vrd_id = a.vrd_id;
    return egress_assoc_entries(module, *p, a, vrd_id, ns_id, op, nullptr);
}

uint32_t ip_egress_flow_hw_update(zel_module_t *module, const zel_ip_egress_flow_params_t *params,
                                  uint32_t id, uint8_t imc_idx, uint8_t flow_idx, uint32_t op) {
    ZelIpPriv *p = module_priv(module);
    if (!p || !params) return kBadParam;
    if (!zel_ipv4_interface_valid_handle(params->intf) && !zel_ipv4_tunnel_interface_valid_handle(params->intf))
        return kBadParam;
    const uint32_t intf_id = static_cast<const IntfHead *>(params->intf)->hdr.intf_id;
    return egress_flow_entry(module, *p, intf_id, params->next_hop, id, imc_idx, flow_idx, op);
}

}  // extern "C"
