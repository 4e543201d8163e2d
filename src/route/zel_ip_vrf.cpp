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
//
// Delete withdraws the entries, then gives the id back, then frees the
// record: it fails at any step with the domain whole but for what it
// withdrew, and repeating it completes it. A failed create gives back
// what it took; what the platform refuses is kept per id in the private
// block and released by the next create or delete.
#include <cinttypes>

#include "core/zel_ip_call.h"
#include "core/zel_ip_registry.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_route.h"
#include "tree/zel_ip_ledger.h"
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

// What a failed create left behind for an id (ZelIpPriv::vrd_leftovers):
// bit i the source entry kInvalidSources[i], kLeftId the id itself.
constexpr uint8_t kLeftId = 1u << 3;

// Learns (op kRuleLearn) or unlearns the domain's invalid-source entries in
// order, stopping at the first failure. They are the domain's own in the
// ledger (tree/zel_ip_ledger.h): an unlearn skips one that is gone, and no
// interface address may fall on them. `learnt` (may be NULL) collects the
// bits of the entries a learn got into the engine.
uint32_t invalid_sources(Call &c, const zel_ip_vrd *rec, uint32_t vrd_id, uint32_t op,
                         uint8_t *learnt = nullptr) {
    for (uint32_t i = 0; i < 3; ++i) {
        const SrcPrefix &p = kInvalidSources[i];
        hwe_action_t a = lay::src_addr::block_all(c.priv->flow_funcs[kFnInvalidSrcIpAddr].id);
        const uint32_t st =
            owned_entry(c.m, *c.priv, kTreeSrcAddr, rec, vrd_id, p.addr, p.len, op, a, kProgramSrcFail, ZEL_SITE);
        if (learnt && op == kRuleLearn && engine_step_done(st)) *learnt |= static_cast<uint8_t>(1u << i);
        if (st) return st;
    }
    return 0;
}

// Withdraws what failed creates left (source entries first, then the id),
// for every id that has leftovers; what is refused again stays for the
// next call. Logged at info level when an id goes back.
void settle_leftovers(Call &c) {
    ZelIpPriv &p = *c.priv;
    TreeRecord &t = p.trees[kTreeSrcAddr];
    for (uint32_t id = 0; id < kMaxVrds; ++id) {
        uint8_t &left = p.vrd_leftovers[id];
        if (left == 0) continue;
        for (uint32_t i = 0; i < 3; ++i) {
            if (!(left & (1u << i))) continue;
            hwe_action_t a = t.default_action;
            const SrcPrefix &sp = kInvalidSources[i];
            if (engine_step_done(ZRULE_KEY(c.m, t, kRuleUnlearn, a, kProgramSrcFail,
                                           lay::vrd_prefix_key(id, sp.addr, sp.len))))
                left &= static_cast<uint8_t>(~(1u << i));
        }
        if (left != kLeftId) continue;
        if (hwe_rsrc_free(p.vrd_ids_rsrc, id, 1, nullptr) == 0) {
            left = 0;
            ZLOG_INFO(c.m, "Freed VRD ID 0x%x kept by a failed create\n", id);
        }
    }
}

uint32_t vrd_create(Call &c, const uint32_t *vrd_id, zel_ip_vrd_handle_t *out) {
    // 1.
    if (!out || !vrd_id) return ZREJECT(c.m, kBadParam, "Invalid NULL pointer parameter\n");
    const uint32_t id = *vrd_id;
    // What earlier failed creates left goes first (the id asked for may be
    // among them).
    settle_leftovers(c);
    // 2. The namespace refuses an id it does not hold (64 and up) or one
    //    that is taken (63 included).
    if (uint32_t st = hwe_rsrc_allocate_fixed(c.priv->vrd_ids_rsrc, 1, id))
        return ZFAIL_ERROR(c.m, error(ZEL_E_NSID_ALLOC),
                           "Failed to allocate vrd namespace ID, RTE Error: %s\n", hwe_status_get(st));
    // 3.
    ZLOG_INFO(c.m, "Allocated VRD ID 0x%x\n", id);
    // 4-5. The record and the invalid-source entries.
    auto *rec = static_cast<zel_ip_vrd *>(obj_alloc(sizeof(zel_ip_vrd), ObjKind::kVrd));
    uint8_t learnt = 0;
    uint32_t st = rec ? invalid_sources(c, rec, id, kRuleLearn, &learnt)
                      : ZFAIL_FATAL(c.m, kNoMemory, "Memory allocation failed\n");
    if (st != 0) {
        // A failed create releases what it took: the entries it learnt,
        // then the id. What the platform refuses to release is kept (the
        // id too while an entry stays, so that no domain inherits it),
        // logged, and released by a later create or delete.
        uint8_t left = 0;
        if (rec) {
            invalid_sources(c, rec, id, kRuleUnlearn);
            Ledger &l = ledger_of(*c.priv);
            for (uint32_t i = 0; i < 3; ++i) {
                const uint64_t key = ledger_addr_key(kTreeSrcAddr, id, kInvalidSources[i].addr,
                                                     kInvalidSources[i].len);
                if (l.owns(key, rec)) left |= static_cast<uint8_t>(1u << i);
                l.release(key, rec);
            }
            obj_free(rec);
        }
        if (left != 0 || hwe_rsrc_free(c.priv->vrd_ids_rsrc, id, 1, nullptr) != 0) {
            c.priv->vrd_leftovers[id] = static_cast<uint8_t>(left | kLeftId);
            ZLOG_FATAL(c.m, "VRD ID 0x%x could not be given back; a later domain create or delete "
                            "releases it\n", id);
        }
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
    settle_leftovers(c);
    // 2. The source entries go before the id: while the domain has its id
    //    it keeps its record, so a delete that fails at any step leaves a
    //    domain whose handle is valid, and repeating the delete completes
    //    it (entries already withdrawn are skipped).
    if (uint32_t st = invalid_sources(c, vrd, id, kRuleUnlearn)) return st;
    // 3.
    if (uint32_t st = hwe_rsrc_free(c.priv->vrd_ids_rsrc, id, 1, nullptr))
        return ZFAIL_FATAL(c.m, fatal(ZEL_E_NSID_FREE), "Failed to free VRD ID, RTE Error: %s\n",
                           hwe_status_get(st));
    // 4.
    ZLOG_INFO(c.m, "Freed VRD ID 0x%x\n", id);
    // 5.
    c.priv->vrd_table[id] = nullptr;
    obj_free(vrd);
    return 0;
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
