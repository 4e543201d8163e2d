// Policy-based routing: policy sets, policy rules, their commit, and where
// a set is applied (interfaces, one domain's or every domain's locally
// originated traffic). Entries and uses: zel_ip_pbr_pvt.h.
//
// A rule create takes, in order: its record, the uses of its set (and
// tunnel), its id with a cleared counter record, its tree-33 rule, its
// tree-3 action. A create that fails gives back what it took, last first;
// should the engine refuse to withdraw an entry, the id naming it is kept
// (so no later rule inherits it) and a log line says so.
//
// A rule delete removes its tree-33 rule and parks its id on the set's
// pending list; the commit that builds the set without the rule releases
// it (tree-3 entry, id, tunnel use). A policy set cannot be deleted while
// anything uses it or ids of its rules wait for a commit.
#include <cinttypes>

#include "core/zel_ip_call.h"
#include "filter/zel_ip_pbr_pvt.h"
#include "interface/zel_ip_interface_pvt.h"
#include "interface/zel_ip_tunnel_pvt.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_route.h"
#include "tree/zel_ip_ledger.h"

using namespace zel::ip;
namespace lay = zel::ip::layout;

namespace {

#define HANDLE_FMT "0x%08" PRIxPTR
uintptr_t handle_value(const void *h) { return reinterpret_cast<uintptr_t>(h); }

constexpr const char *kRuleUser = "policy rule";
constexpr const char *kPendingUser = "pending policy rule";
constexpr const char *kIntfUser = "interface";
constexpr const char *kGlobalUser = "local traffic of every VRD";
constexpr const char *kModifyMsg = "Could not modify LPM rule in hardware";

// ---- policy sets ---------------------------------------------------------------

uint32_t set_create(Call &c, zel_ip_policy_set_handle_t *out) {
    zel_module_t *m = c.m;
    if (!out) return ZREJECT(m, kBadParam, "Invalid NULL input parameter");
    *out = nullptr;
    uint32_t id = 0;
    if (uint32_t st = hwe_rsrc_allocate(c.priv->pbr_policy_set_ids_rsrc, 1, &id, nullptr))
        return ZFAIL_ERROR(m, kPbrNsAlloc, "Failed to allocate PBR namespace set ID, RTE Error: %s\n",
                           hwe_status_get(st));
    ZLOG_INFO(m, "Allocated PBR Policy Set ID 0x%x\n", id);
    auto *s = static_cast<zel_ip_policy_set *>(obj_alloc(sizeof(zel_ip_policy_set), ObjKind::kPolicySet));
    if (!s || id == 0 || id > kPolicySetIdCount) {
        obj_free(s);
        const uint32_t st = ZFAIL_FATAL(m, kNoMemory, "Memory allocation failed");
        if (hwe_rsrc_free(c.priv->pbr_policy_set_ids_rsrc, id, 1, nullptr) != 0)
            ZLOG_ERROR(m, "PBR policy set ID 0x%x kept: it could not be given back\n", id);
        return st;
    }
    s->magic = kPolicySetMagic;
    s->id = id;
    c.priv->pbr_sets[id] = s;
    *out = s;
    return 0;
}

uint32_t set_delete(Call &c, zel_ip_policy_set_handle_t h) {
    zel_module_t *m = c.m;
    zel_ip_policy_set *s = policy_set_of(h);
    if (!s) return ZREJECT(m, kBadPolicySet, "Invalid IP PBR Policy Set Handle");
    if (uint32_t st = ZREFUSE_IN_USE(m, s, "PBR policy set")) return st;
    // Ids of deleted rules are released by the commit that builds the set:
    // gone with the set, they would never be.
    if (s->pending_count)
        return ZREJECT(m, kInUse, "PBR policy set " HANDLE_FMT " holds %u deleted rules waiting for a commit\n",
                       handle_value(s), s->pending_count);
    if (uint32_t st = hwe_rsrc_free(c.priv->pbr_policy_set_ids_rsrc, s->id, 1, nullptr))
        return ZFAIL_FATAL(m, kPbrNsFree, "Failed to free PBR policy set ID, RTE Error: %s\n", hwe_status_get(st));
    ZLOG_INFO(m, "Freed PBR policy set ID 0x%x\n", s->id);
    if (c.priv->pbr_sets[s->id] == s) c.priv->pbr_sets[s->id] = nullptr;
    obj_free(s);
    return 0;
}

// ---- rules -----------------------------------------------------------------------

// What a rule create has taken so far.
struct Taken {
    bool id = false;
    bool rule = false;
    bool action = false;
};

// Gives back what a failed create took, last first (see the top).
void create_unwind(Call &c, zel_ip_flow *f, uint32_t idx, const zel_ip_pbr_rule_t &d, uint32_t ns,
                   const Taken &t, zel_ip_tunnel *tun) {
    bool keep = false;
    if (t.action && zel_ip_pbr_hw_action(c.m, ns, nullptr, 0, kRuleUnlearn) != 0) keep = true;
    if (t.rule && zel_ip_pbr_hw_rule(c.m, idx, &d, ns, kPbrOpDelete) != 0) keep = true;
    if (t.id) {
        if (keep) ZLOG_ERROR(c.m, "PBR rule NS ID 0x%x kept: its entries could not be withdrawn\n", ns);
        else if (pbr_rule_id_free(c, ns) != 0) ZLOG_ERROR(c.m, "PBR rule NS ID 0x%x kept\n", ns);
    }
    obj_unuse(d.policy_set, f);
    if (tun) obj_unuse(tun, f);
    obj_free(f);
}

uint32_t entry_create(Call &c, uint32_t idx, const zel_ip_pbr_rule_t *d, zel_ip_flow_handle_t *out) {
    zel_module_t *m = c.m;
    if (out) *out = nullptr;
    if (!d || !out) return ZREJECT(m, kBadParam, "Invalid NULL pointer parameter");
    if (uint32_t st = zel_ipv4_valid_pbr_info(m, d)) return st;
    zel_ip_policy_set *set = policy_set_of(d->policy_set);
    zel_ip_tunnel *tun = d->action.dip_based_routing == 1 ? nullptr : pbr_action_tunnel(d->action);
    // 1. The record and its uses.
    auto *f = static_cast<zel_ip_flow *>(obj_alloc(sizeof(zel_ip_flow), ObjKind::kFlow));
    const bool used = f && obj_use(set, f, kRuleUser);
    if (!used || (tun && !obj_use(tun, f, kRuleUser))) {
        if (used) obj_unuse(set, f);
        obj_free(f);
        return ZFAIL_FATAL(m, kNoMemory, "Failed to allocate memory for PBR policy rule");
    }
    f->head.hdr.owner = m;
    f->head.hdr.magic = ZEL_FLOW_HDR_MAGIC;
    *out = f;
    // 2. Its id and counters, 3. its tree-33 rule, 4. its tree-3 action.
    Taken t;
    uint32_t ns = 0;
    uint32_t st = pbr_rule_id_take(c, &ns, &t.id);
    if (st == 0) {
        st = zel_ip_pbr_hw_rule(m, idx, d, ns, kPbrOpInsert);
        if (st) st = ZFAIL_FATAL(m, fatal(st), "Failed to add the PBR rule in hardware");
        else t.rule = true;
    }
    if (st == 0) {
        st = zel_ip_pbr_hw_action(m, ns, &d->action, tun ? 1 : 0, kRuleLearn);
        if (st) st = ZFAIL_FATAL(m, fatal(st), "Failed to add the PBR rule action in hardware");
        else t.action = true;
    }
    if (st) {
        *out = nullptr;
        create_unwind(c, f, idx, *d, ns, t, tun);
        return st;
    }
    // 5. The record.
    f->head.hdr.ns_id = ns;
    f->head.type = kFlowType;
    f->head.kind = kFlowPbrRule;
    f->body.pbr = {*d, idx, tun};
    return 0;
}

uint32_t entry_delete(Call &c, uint32_t idx, zel_ip_flow_handle_t h) {
    zel_module_t *m = c.m;
    if (!zel_ipv4_flow_valid_handle(h)) return ZREJECT(m, kBadParam, "Invalid flow handle");
    zel_ip_flow *f = pbr_rule_of(h);
    if (!f) return ZREJECT(m, kBadParam, "Invalid PBR rule handle");
    PbrRule &r = f->body.pbr;
    // The index names the engine's rule: another one would remove another
    // rule's entry and leave this one's.
    if (idx != r.rule_idx)
        return ZREJECT(m, kBadParam, "Invalid rule index %u: the PBR rule is at index %u\n", idx, r.rule_idx);
    zel_ip_policy_set *set = policy_set_of(r.desc.policy_set);  // in use by the rule: live
    if (!set) return ZREJECT(m, kBadPolicySet, "Invalid IP PBR Policy Set Handle");
    const uint32_t ns = f->head.hdr.ns_id;
    if (set->pending_count >= kMaxPbrPending)
        return ZREJECT(m, kInUse, "Cannot delete any more rules until previously deleted rules are committed");
    for (uint32_t i = 0; i < set->pending_count; ++i)
        if (set->pending[i].ns_id == ns) return ZREJECT(m, kInUse, "Cannot delete a rule with pending commit");
    PbrPending &slot = set->pending[set->pending_count];
    // The tunnel stays in use while the pending id's action goes into it.
    if (r.tunnel && !obj_use(r.tunnel, &slot, kPendingUser))
        return ZFAIL_FATAL(m, kNoMemory, "Memory allocation failed");
    if (uint32_t st = zel_ip_pbr_hw_rule(m, idx, &r.desc, ns, kPbrOpDelete)) {
        if (r.tunnel) obj_unuse(r.tunnel, &slot);
        return ZFAIL_FATAL(m, fatal(st), "Failed to delete the PBR rule from hardware");
    }
    slot = {ns, false, r.tunnel};
    ++set->pending_count;
    obj_unuse(set, f);
    if (r.tunnel) obj_unuse(r.tunnel, f);
    obj_free(f);
    return 0;
}

uint32_t action_modify(Call &c, zel_ip_flow_handle_t h, const zel_ip_pbr_action_t *a) {
    zel_module_t *m = c.m;
    if (!a) return ZREJECT(m, kBadParam, "Invalid NULL pointer parameter");
    if (uint32_t st = zel_ipv4_valid_pbr_action(m, a)) return st;
    zel_ip_flow *f = pbr_rule_of(h);
    if (!f) return ZREJECT(m, kBadParam, "Invalid PBR rule handle");
    PbrRule &r = f->body.pbr;
    zel_ip_tunnel *tun = a->dip_based_routing == 1 ? nullptr : pbr_action_tunnel(*a);
    const bool new_use = tun && tun != r.tunnel;
    if (new_use && !obj_use(tun, f, kRuleUser)) return ZFAIL_FATAL(m, kNoMemory, "Memory allocation failed");
    if (uint32_t st = zel_ip_pbr_hw_action(m, f->head.hdr.ns_id, a, tun ? 1 : 0, kRuleLearn)) {
        if (new_use) obj_unuse(tun, f);
        return ZFAIL_FATAL(m, fatal(st), "Failed to add the PBR rule action in hardware");
    }
    if (r.tunnel && r.tunnel != tun) obj_unuse(r.tunnel, f);
    r.tunnel = tun;
    r.desc.action = *a;
    return 0;
}

// ---- commit ------------------------------------------------------------------------

uint32_t rebuild_all(Call &c) {
    zel_module_t *m = c.m;
    if (uint32_t st = hwe_ptn_ovtreeset_rebuild(m->engine, c.priv->trees[kTreePbr].id))
        return ZFAIL_FATAL(m, kPbrRebuildFail, "Failed to rebuild all PBR sets in hardware, RTE Error: %s\n",
                           hwe_status_get(st));
    uint32_t result = 0;
    for (uint32_t id = 1; id <= kPolicySetIdCount; ++id)
        if (zel_ip_policy_set *s = c.priv->pbr_sets[id])
            if (uint32_t st = pbr_release_pending(c, *s)) result = st;
    return result;
}

uint32_t commit(Call &c, uint32_t mode, zel_ip_policy_set_handle_t h) {
    zel_module_t *m = c.m;
    if (mode != ZEL_IP_PBR_COMMIT_SET && mode != ZEL_IP_PBR_COMMIT_ALL)
        return ZREJECT(m, kBadParam, "Invalid PBR commit mode %u\n", mode);
    if (mode == ZEL_IP_PBR_COMMIT_ALL) return rebuild_all(c);
    zel_ip_policy_set *s = policy_set_of(h);
    if (!s) return ZREJECT(m, kBadPolicySet, "Invalid IP PBR Policy Set Handle");
    uint32_t st = 0;
    const zel_ptn_t *key = nullptr;
    if ((st = pbr_set_key(*c.priv, s->id, &key)))
        return ZFAIL_FATAL(m, fatal(st), "Could not build the input pattern");
    st = hwe_ptn_ovtreeset_build(m->engine, c.priv->trees[kTreePbr].id, key);
    if (st == 0) return pbr_release_pending(c, *s);
    if (st == HWE_E_REBUILD) return rebuild_all(c);
    return ZFAIL_FATAL(m, kPbrBuildFail, "Failed to build PBR set in hardware, RTE Error: %s\n", hwe_status_get(st));
}

// ---- where a set is applied -----------------------------------------------------------

uint32_t lookup_set(zel_module_t *m, zel_ip_policy_set_handle_t h, zel_ip_policy_set **out) {
    *out = nullptr;
    if (!h) return 0;
    *out = policy_set_of(h);
    if (!*out) return ZREJECT(m, kBadPolicySet, "Invalid PBR Policy Set Handle " HANDLE_FMT "\n", handle_value(h));
    return 0;
}

// Moves the use of `user` from the set named `old_id` to `s` (NULL:
// none) once the engine holds the new setting; `step` programs it.
template <typename Step>
uint32_t switch_use(Call &c, const void *user, const char *what, uint32_t old_id, zel_ip_policy_set *s,
                    Step &&step) {
    zel_ip_policy_set *old = old_id && old_id <= kPolicySetIdCount ? c.priv->pbr_sets[old_id] : nullptr;
    const bool new_use = s && s != old;
    if (new_use && !obj_use(s, user, what)) return ZFAIL_FATAL(c.m, kNoMemory, "Memory allocation failed");
    if (uint32_t st = step()) {
        if (new_use) obj_unuse(s, user);
        return st;
    }
    if (old && old != s) obj_unuse(old, user);
    return 0;
}

uint32_t intf_config(Call &c, void *intf, zel_ip_policy_set_handle_t h) {
    zel_module_t *m = c.m;
    IntfWords w{};
    if (zel_ip_interface *r = intf_of(static_cast<zel_ip_intf_handle_t>(intf))) {
        w = {r, intf_id_of(*r), r->stats_ns_id, &r->ingress_flags, &r->policy_set_id, r->egress_rule_set};
    } else if (zel_ip_tunnel *t = tunnel_of(static_cast<zel_ip_tunnel_handle_t>(intf))) {
        w = {t, tunnel_intf_id(*t), t->stats_ns_id, &t->ingress_flags, &t->policy_set_id, t->egress_rule_set};
    } else {
        return ZREJECT(m, kBadParam, "Invalid input interface handle");
    }
    if (ledger_of(*c.priv).closing(ledger_intf_key(w.intf_id))) return reject_deleting(m, kBadParam);
    zel_ip_policy_set *s = nullptr;
    if (uint32_t st = lookup_set(m, h, &s)) return st;
    return switch_use(c, w.rec, kIntfUser, *w.policy_set_id, s,
                      [&] { return pbr_intf_apply(c, w, s ? s->id : 0); });
}

uint32_t global_config(Call &c, zel_ip_policy_set_handle_t h) {
    zel_module_t *m = c.m;
    zel_ip_policy_set *s = nullptr;
    if (uint32_t st = lookup_set(m, h, &s)) return st;
    uint32_t &w1 = c.priv->pbr_global_w1;
    TreeRecord &t = c.priv->trees[kTreeLoPbrPolicySet];
    return switch_use(c, &w1, kGlobalUser, w1 & 0xff, s, [&]() -> uint32_t {
        if (s) {
            hwe_action_t a = lay::lo_pbr::encode(static_cast<uint8_t>(s->id));
            if (uint32_t st = ZRULE(m, t, kRuleLearn, a, kModifyMsg)) return st;
            w1 = s->id | kPbrEnabled;
        } else if (w1 != 0) {  // no entry, nothing to withdraw
            hwe_action_t a = t.default_action;
            if (uint32_t st = ZRULE(m, t, kRuleUnlearn, a, kModifyMsg)) return st;
            w1 = 0;
        }
        return 0;
    });
}

uint32_t vrd_config(Call &c, uint32_t vrd_id, zel_ip_policy_set_handle_t h) {
    zel_module_t *m = c.m;
    if (vrd_id >= kMaxVrds) return ZREJECT(m, kBadParam, "VRD ID %d out of range\n", vrd_id);
    zel_ip_policy_set *s = nullptr;
    if (uint32_t st = lookup_set(m, h, &s)) return st;
    uint8_t &cur = c.priv->pbr_vrd_set[vrd_id];
    TreeRecord &t = c.priv->trees[kTreeLoPbrPolicySet];
    const lay::KeySpec key = lay::key_spec(kTreeLoPbrPolicySet, {vrd_id}, lay::kVrdIdBits);
    return switch_use(c, pbr_vrd_user(*c.priv, vrd_id), pbr_vrd_user_name(vrd_id), cur, s, [&]() -> uint32_t {
        if (s) {
            hwe_action_t a = lay::lo_pbr::encode(static_cast<uint8_t>(s->id));
            if (uint32_t st = ZRULE_KEY(m, t, kRuleLearn, a, kModifyMsg, key)) return st;
            cur = static_cast<uint8_t>(s->id);
        } else if (cur != 0) {
            hwe_action_t a = t.default_action;
            if (uint32_t st = ZRULE_KEY(m, t, kRuleUnlearn, a, kModifyMsg, key)) return st;
            cur = 0;
        }
        return 0;
    });
}

}  // namespace

extern "C" {

uint32_t zel_ip_pbr_policy_set_create(zel_module_t *module, zel_ip_policy_set_handle_t *set) {
    if (set && module_handle_ok(module)) *set = nullptr;
    return with_module(module, __func__, [&](Call &c) { return set_create(c, set); });
}

uint32_t zel_ip_pbr_policy_set_delete(zel_module_t *module, zel_ip_policy_set_handle_t set) {
    return with_module(module, __func__, [&](Call &c) { return set_delete(c, set); });
}

uint32_t zel_ip_pbr_entry_create(zel_module_t *module, uint32_t rule_idx, const zel_ip_pbr_rule_t *desc,
                                 zel_ip_flow_handle_t *rule) {
    if (rule && module_handle_ok(module)) *rule = nullptr;
    return with_module(module, __func__, [&](Call &c) { return entry_create(c, rule_idx, desc, rule); });
}

uint32_t zel_ip_pbr_entry_delete(zel_module_t *module, uint32_t rule_idx, zel_ip_flow_handle_t rule) {
    return with_module(module, __func__, [&](Call &c) { return entry_delete(c, rule_idx, rule); });
}

uint32_t zel_ip_pbr_rule_action_modify(zel_module_t *module, zel_ip_flow_handle_t rule,
                                       const zel_ip_pbr_action_t *action) {
    return with_module(module, __func__, [&](Call &c) { return action_modify(c, rule, action); });
}

uint32_t zel_ip_pbr_commit(zel_module_t *module, uint32_t mode, zel_ip_policy_set_handle_t set) {
    return with_module(module, __func__, [&](Call &c) { return commit(c, mode, set); });
}

uint32_t zel_ip_pbr_config(zel_module_t *module, void *intf, zel_ip_policy_set_handle_t set) {
    return with_module(module, __func__, [&](Call &c) {
        return intf ? intf_config(c, intf, set) : global_config(c, set);
    });
}

uint32_t zel_ip_vrd_pbr_config(zel_module_t *module, uint32_t vrd_id, zel_ip_policy_set_handle_t set) {
    return with_module(module, __func__, [&](Call &c) { return vrd_config(c, vrd_id, set); });
}

}  // extern "C"
