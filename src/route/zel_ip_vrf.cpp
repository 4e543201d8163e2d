// Routing domains: create, delete, host or router mode, handle by id.
//
// A domain is three things kept in step:
//   - its id, taken in the "zel_ipv4_vrd_ids" namespace (id 63 is the
//     default domain, taken at start-up and never given a record);
//   - its record {magic, id}, the VRD handle, in the private block's VRD
//     table at slot `id`;
//   - its three invalid-source entries in tree 0 (source 127.0.0.0/8,
//     224.0.0.0/4 and 255.255.255.255/32 call "zel_ip.invalid_src_ip_addr").
// Host mode is a tree-1 entry and nothing else; it outlives the domain.
#include <cinttypes>

#include "core/zel_ip_call.h"
#include "core/zel_ip_registry.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_route.h"
#include "zel_ip/zel_ip_core.h"
#include "zel_ip/zel_ip_route.h"

using namespace zel::ip;
namespace lay = zel::ip::layout;

namespace {

// Source prefixes a domain never accepts, in the order they are learnt
// and unlearnt.
struct SrcPrefix {
    uint32_t addr;
    uint32_t len;
};
constexpr SrcPrefix kInvalidSources[] = {
    {0x7f000000, 8},   // loopback
    {0xe0000000, 4},   // multicast
    {0xffffffff, 32},  // limited broadcast
};

constexpr const char *kProgramSrcFail = "Could not program LPM rule in hardware\n";

// Learns (op kRuleLearn) or unlearns the domain's invalid-source entries in
// order, stopping at the first failure.
uint32_t invalid_sources(Call &c, uint32_t vrd_id, uint32_t op) {
    TreeRecord &t = c.priv->trees[kTreeSrcAddr];
    for (const SrcPrefix &p : kInvalidSources) {
        hwe_action_t a = lay::src_addr::block_all(c.priv->flow_funcs[kFnInvalidSrcIpAddr].id);
        if (uint32_t st = ZRULE_KEY(c.m, t, op, a, kProgramSrcFail,
                                    lay::vrd_prefix_key(vrd_id, p.addr, p.len)))
            return st;
    }
    return 0;
}

uint32_t vrd_create(Call &c, const uint32_t *vrd_id, zel_ip_vrd_handle_t *out) {
    // 1.
    if (!out || !vrd_id) return ZREJECT(c.m, kBadParam, "Invalid NULL pointer parameter\n");
    const uint32_t id = *vrd_id;
    // 2. The namespace refuses an id it does not hold (64 and up) or one
    //    that is taken (63 included).
    if (uint32_t st = hwe_rsrc_allocate_fixed(c.priv->vrd_ids_rsrc, 1, id))
        return ZFAIL_ERROR(c.m, error(ZEL_E_NSID_ALLOC),
                           "Failed to allocate vrd namespace ID, RTE Error: %s\n", hwe_status_get(st));
    // 3.
    ZLOG_INFO(c.m, "Allocated VRD ID 0x%x\n", id);
    // 4-5. The record and the invalid-source entries; either failing
    //      gives the id back (entries already learnt stay, and are
    //      replaced when the id is created again).
    auto *rec = static_cast<zel_ip_vrd *>(obj_alloc(sizeof(zel_ip_vrd), ObjKind::kVrd));
    uint32_t st = rec ? invalid_sources(c, id, kRuleLearn)
                      : ZFAIL_FATAL(c.m, kNoMemory, "Memory allocation failed\n");
    if (st != 0) {
        hwe_rsrc_free(c.priv->vrd_ids_rsrc, id, 1, nullptr);
        obj_free(rec);
        return st;
    }
    // 6.
    rec->magic = kVrdMagic;
    rec->vrd_id = id;
    c.priv->vrd_table[id] = rec;
    *out = rec;
    return 0;
}

uint32_t vrd_delete(Call &c, zel_ip_vrd_handle_t vrd) {
    // 1. The default domain (NULL) cannot be deleted.
    uint32_t id = 0;
    if (!vrd || !zel_ipv4_vrd_valid_handle(vrd, &id))
        return ZREJECT(c.m, kBadParam, "Invalid VRD Handle\n");
    // An association keyed by the domain would otherwise match the next
    // domain to draw its id.
    if (uint32_t st = ZREFUSE_IN_USE(c.m, vrd, "VRD")) return st;
    // 2.
    if (uint32_t st = hwe_rsrc_free(c.priv->vrd_ids_rsrc, id, 1, nullptr))
        return ZFAIL_FATAL(c.m, fatal(ZEL_E_NSID_FREE), "Failed to free VRD ID, RTE Error: %s\n",
                           hwe_status_get(st));
    // 3.
    ZLOG_INFO(c.m, "Freed VRD ID 0x%x\n", id);
    // 4. Once its id is released the domain is gone: the record goes even
    //    when an entry cannot be removed. Kept alive, it would stay a valid
    //    handle to an id that a new domain may take (whose slot it would
    //    then lose, and whose id a second delete would release). Entries
    //    left behind are replaced when the id is created again.
    uint32_t st = invalid_sources(c, id, kRuleUnlearn);
    // 5.
    c.priv->vrd_table[id] = nullptr;
    obj_free(vrd);
    return st;
}

uint32_t vrd_mode(Call &c, zel_ip_vrd_handle_t vrd, uint32_t mode) {
    // 1. NULL is the default domain.
    uint32_t id = 0;
    if (!zel_ipv4_vrd_valid_handle(vrd, &id)) return ZREJECT(c.m, kBadParam, "Invalid VRD Handle type\n");
    // 2-4. The tree-1 entry is the only state of the mode.
    TreeRecord &t = c.priv->trees[kTreeHostRouterMode];
    const lay::KeySpec key = lay::key_spec(kTreeHostRouterMode, {id}, lay::kVrdIdBits);
    if (mode == ZEL_IP_VRD_MODE_HOST) {
        hwe_action_t a = lay::host_mode::routing_disabled(c.priv->flow_funcs[kFnVrfRoutingDisabled].id);
        return ZRULE_KEY(c.m, t, kRuleLearn, a, "Could not add the LPM rule in hardware\n", key);
    }
    hwe_action_t a = t.default_action;
    return ZRULE_KEY(c.m, t, kRuleUnlearn, a, "Could not remove the LPM rule from hardware\n", key);
}

uint32_t vrd_handle_get(Call &c, uint32_t vrd_id, zel_ip_vrd_handle_t *out) {
    // 1-2.
    if (!out) return ZREJECT(c.m, kBadParam, "Invalid NULL pointer parameter\n");
    if (vrd_id >= kMaxVrds) return ZREJECT(c.m, kBadParam, "VRD ID %d out of range\n", static_cast<int>(vrd_id));
    // 3-4. Slot 63 is always empty: the default domain's handle is NULL.
    *out = c.priv->vrd_table[vrd_id];
    if (!*out && vrd_id != kDefaultVrdId)
        return ZREJECT(c.m, error(ZEL_E_NO_VRD), "VRD handle for VRD ID %d does not exist\n",
                       static_cast<int>(vrd_id));
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ip_vrd_create(zel_module_t *module, const uint32_t *vrd_id, zel_ip_vrd_handle_t *out) {
    return with_module(module, __func__, [&](Call &c) { return vrd_create(c, vrd_id, out); });
}

uint32_t zel_ip_vrd_delete(zel_module_t *module, zel_ip_vrd_handle_t vrd) {
    return with_module(module, __func__, [&](Call &c) { return vrd_delete(c, vrd); });
}

uint32_t zel_ip_vrd_mode(zel_module_t *module, zel_ip_vrd_handle_t vrd, uint32_t mode) {
    return with_module(module, __func__, [&](Call &c) { return vrd_mode(c, vrd, mode); });
}

uint32_t zel_ip_vrd_handle_get(zel_module_t *module, uint32_t vrd_id, zel_ip_vrd_handle_t *out) {
    return with_module(module, __func__, [&](Call &c) { return vrd_handle_get(c, vrd_id, out); });
}

}  // extern "C"
