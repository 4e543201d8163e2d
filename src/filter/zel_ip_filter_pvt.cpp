// The life of a filter rule and its set's pending lists (see
// zel_ip_filter_pvt.h).
#include "filter/zel_ip_filter_pvt.h"

#include <cinttypes>

#include "core/zel_ip_registry.h"
#include "filter/zel_ip_filter_keys.h"
#include "flow/zel_ip_cpu_path.h"
#include "tree/zel_ip_layout_filter.h"
#include "zel_ip/zel_ip_core.h"

namespace zel::ip {

namespace {

namespace lf = layout::filter;

constexpr uint32_t kFlowIdMax = 0xffffff;  // FLOW-ID and data words: 24 bits
constexpr uint32_t kRuleSeBytes = 32;      // statistics record cleared at add

bool polices(const zel_ip_filter_action_t &a) { return a.police == 1; }
bool to_cpu(const zel_ip_filter_action_t &a) { return a.type == ZEL_IP_FILTER_CPU; }

// FLOW-ID << 4 | rule key: the policing flow when the action polices
// without counting, else the rule's NS ID.
uint32_t flow_key_of(const zel_ip_filter_action_t &a, uint32_t ns_id, uint32_t police_id, uint32_t rule_key) {
    const uint32_t flow_id = (a.count == 0 && polices(a)) ? police_id : ns_id;
    return flow_id << 4 | rule_key;
}

// The CPU-path parts an action holds under its key.
uint8_t cpu_parts(const zel_ip_filter_action_t &a) {
    return static_cast<uint8_t>((polices(a) ? kLeftPolicing : 0) | (to_cpu(a) ? kLeftParam | kLeftQueue : 0));
}

// The filter rule of kind `k` behind a handle, checked through the
// registry, with its set still live; else the refusal.
uint32_t rule_of(Call &c, const FilterKind &k, zel_ip_flow_handle_t h, zel_ip_flow **out) {
    zel_ip_flow *f = zel_ipv4_flow_valid_handle(h) ? h : nullptr;
    if (!f) return ZREJECT(c.m, kBadParam, "%s\n", k.bad_handle);
    if (f->head.kind != k.flow_kind) return ZREJECT(c.m, kBadParam, "%s\n", k.bad_kind);
    // A rule outlives a deleted set; the set's memory may be gone or
    // reused, so it is followed only through the registry.
    const zel_ip_rule_set *s = rule_set_of(f->body.filter.rule_set);
    if (!s || s->serial != f->body.filter.set_serial)
        return ZREJECT(c.m, kBadRuleSet, "Invalid IP Filter Rule Set Handle\n");
    *out = f;
    return 0;
}

uint32_t index_check(Call &c, const zel_ip_flow &f, uint32_t rule_idx) {
    // The engine finds a rule by set and index: another index would edit
    // another rule of the set while this one's record changes.
    if (rule_idx != f.body.filter.rule_idx)
        return ZREJECT(c.m, kBadParam, "Rule index %u is not the rule's index %u\n", rule_idx,
                       f.body.filter.rule_idx);
    return 0;
}

uint32_t pending_check(Call &c, const PendingList &l, const zel_ip_flow &f, const char *verb) {
    if (l.count >= kMaxPending)
        return ZREJECT(c.m, kPendingFull,
                       "Cannot %s any more rules until previously deleted or modified rules are committed\n",
                       verb);
    if (f.body.filter.pending) return ZREJECT(c.m, kPendingFull, "Cannot %s a rule with pending commit\n", verb);
    return 0;
}

void pending_append(PendingList &l, zel_ip_flow &f, const zel_ip_filter_action_t &prev, bool deleted) {
    const uint32_t i = l.count++;
    l.rules[i] = &f;
    l.police[i] = polices(prev) ? 1 : 0;
    l.cpu_path[i] = to_cpu(prev) ? 1 : 0;
    l.old_key[i] = f.body.filter.flow_key;
    l.left[i] = static_cast<uint8_t>(cpu_parts(prev) | (deleted ? kLeftNsId | kLeftRecord : kLeftKeySwitch));
    f.body.filter.pending = 1;
}

// Gives a filter rule's NS ID back; false (logged) when the namespace
// refuses.
bool ns_id_free(Call &c, uint32_t ns_id, uint32_t *status) {
    if (uint32_t st = hwe_rsrc_free(c.priv->filter_stats_rsrc, ns_id, 1, nullptr)) {
        ZLOG_ERROR(c.m, "Failed to free the NS resource 0x%x for the filter rule, RTE Error: %s\n", ns_id,
                   hwe_status_get(st));
        *status = fatal(ZEL_E_NSID_FREE);
        return false;
    }
    ZLOG_INFO(c.m, "Freed filter rule NS ID 0x%x\n", ns_id);
    return true;
}

// Releases entry i; true when nothing is left of it.
bool release_entry(Call &c, PendingList &l, uint32_t i, uint32_t *status) {
    zel_ip_flow *f = l.rules[i];
    FilterRule &r = f->body.filter;
    uint8_t &left = l.left[i];
    if (left & kLeftKeySwitch) {
        r.flow_key = r.pending_key;
        left = static_cast<uint8_t>(left & ~kLeftKeySwitch);
    }
    if (uint32_t st = cpu_path_remove(c, l.old_key[i], &left)) *status = st;
    if (!(left & kLeftPolicing)) l.police[i] = 0;
    if (!(left & (kLeftParam | kLeftQueue))) l.cpu_path[i] = 0;
    // The NS ID goes after its old key's entries: a rule added meanwhile
    // may draw it and program the same key.
    if ((left & kLeftNsId) && !(left & (kLeftPolicing | kLeftParam | kLeftQueue)) &&
        ns_id_free(c, f->head.hdr.ns_id, status))
        left = static_cast<uint8_t>(left & ~kLeftNsId);
    if (left == kLeftRecord) {
        // Its handle has been invalid since the delete; obj_free clears the
        // header with the registry held.
        obj_free(f);
        left = 0;
        return true;
    }
    if (left != 0) return false;
    r.pending = 0;  // a modified rule: live again
    return true;
}

}  // namespace

zel_ip_rule_set *rule_set_of(const void *h) {
    return zel_ipv4_valid_rule_set_handle(h) ? static_cast<zel_ip_rule_set *>(const_cast<void *>(h)) : nullptr;
}

uint32_t rule_set_id_of(const void *h) {
    uint32_t id = 0;
    obj_check(h, ObjKind::kRuleSet, [&id](const void *p) {
        const auto *s = static_cast<const zel_ip_rule_set *>(p);
        if (s->magic != kRuleSetMagic) return false;
        id = s->id;
        return true;
    });
    return id;
}

uint32_t action_type_check(Call &c, const FilterKind &k, const zel_ip_filter_action_t &a) {
    if (a.type > ZEL_IP_FILTER_CPU) return ZREJECT(c.m, kBadParam, "%s\n", k.bad_action);
    // A context flow is a data word of trees 17 and 18.
    if (to_cpu(a) && a.context_flow_id > kFlowIdMax)
        return ZREJECT(c.m, kBadParam, "Context flow ID 0x%x does not fit 24 bits\n", a.context_flow_id);
    return 0;
}

uint32_t action_cpu_check(Call &c, const zel_ip_filter_action_t &a) {
    if (to_cpu(a) && a.mtm_queue && a.dscp_cpu_queue == 1)
        return ZREJECT(c.m, kBadParam,
                       "MTM Queue Handle cannot be specified if DSCP Based QoS selection is enabled for CPU "
                       "path\n");
    return 0;
}

uint32_t action_police_id(Call &c, const zel_ip_filter_action_t &a, uint32_t *police_id) {
    *police_id = 0;
    if (!polices(a)) return 0;
    if (uint32_t st = zel_qos_policing_flow_id_get(c.m->sys_ctx, a.policer, police_id))
        return ZFAIL_ERROR(c.m, error(st), "Failed to retrieve policing flow ID\n");
    // The flow key has room for a 24-bit FLOW-ID.
    if (*police_id > kFlowIdMax)
        return ZREJECT(c.m, kBadParam, "Policing flow ID 0x%x does not fit 24 bits\n", *police_id);
    return 0;
}

hwe_action_t filter_value(const zel_ip_filter_action_t &a, uint32_t flow_key) {
    lf::Value v{};
    v.flow_id = lf::flow_id_of_key(flow_key);
    v.rule_key = lf::rule_key_of_key(flow_key);
    v.action = a.type == ZEL_IP_FILTER_CPU     ? lf::Action::kSendToCpu
               : a.type == ZEL_IP_FILTER_ALLOW ? lf::Action::kAllow
                                               : lf::Action::kDeny;
    v.counter = a.count == 1;
    v.policing = polices(a);
    v.via_nca = to_cpu(a) && a.cpu_kind == ZEL_IP_CPU_PATH_NCA;
    v.dscp_remap = a.dscp_remap == 1;
    v.assigned_dscp = v.dscp_remap ? static_cast<uint8_t>(a.new_dscp & 0x3f) : 0;
    return lf::encode(v);
}

uint32_t filter_rule_add(Call &c, const FilterKind &k, zel_ip_rule_set &set, uint32_t rule_idx,
                         const zel_ip_filter_action_t &a, void (*fill)(zel_ip_flow &, const void *),
                         const void *desc, zel_ip_flow_handle_t *out) {
    uint32_t police_id = 0;
    if (uint32_t st = action_police_id(c, a, &police_id)) return st;
    // 9. The record.
    auto *f = static_cast<zel_ip_flow *>(obj_alloc(sizeof(zel_ip_flow), ObjKind::kFlow));
    if (!f) return ZFAIL_FATAL(c.m, kNoMemory, "%s\n", k.no_memory);
    f->head.hdr.owner = c.m;
    f->head.hdr.magic = ZEL_FLOW_HDR_MAGIC;
    *out = f;
    // 10-11. The statistics id and its cleared record.
    uint32_t ns = 0;
    uint32_t st = hwe_rsrc_allocate(c.priv->filter_stats_rsrc, 1, &ns, nullptr);
    if (st) {
        st = ZFAIL_ERROR(c.m, error(ZEL_E_NSID_ALLOC), "Failed to allocate filter namespace ID, RTE Error: %s\n",
                         hwe_status_get(st));
        *out = nullptr;
        obj_free(f);
        return st;
    }
    ZLOG_INFO(c.m, "Allocated filter Rule NS ID 0x%x\n", ns);
    uint8_t held = 0;
    static constexpr uint8_t kZeros[kRuleSeBytes] = {};
    const uint32_t key = flow_key_of(a, ns, police_id, 0);
    FilterRule &r = f->body.filter;
    r.rule_set = &set;
    r.set_serial = set.serial;
    r.rule_idx = rule_idx;
    r.action = a;
    fill(*f, desc);
    if (uint32_t se = hwe_se_state_set(c.m->engine, ns, 0, kZeros, kRuleSeBytes)) {
        st = ZFAIL_FATAL(c.m, fatal(ZEL_E_SE_WRITE), "Failed to clear namespace entry, RTE Error: %s\n",
                         hwe_status_get(se));
    } else if ((st = cpu_path_add(c, key, a, police_id, &held)) == 0) {
        st = k.hw(c, set, rule_idx, key, *f, a, 0);
        if (st) ZLOG_FATAL(c.m, "Failed to add the rule in hardware\n");
    }
    if (st) {
        // A failed add gives back what it took; what cannot be withdrawn
        // keeps the NS ID taken, so no later rule inherits its entries.
        *out = nullptr;
        // Another rule's use of a shared key stays untouched.
        const bool withdrawn = cpu_path_remove(c, key, &held) == 0;
        if (!withdrawn) cpu_path_abandon(c, key, held);
        uint32_t ignored = 0;
        if (!withdrawn || !ns_id_free(c, ns, &ignored))
            ZLOG_FATAL(c.m, "Filter rule NS ID 0x%x kept: its entries could not be withdrawn\n", ns);
        obj_free(f);
        return st;
    }
    // 15.
    f->head.hdr.ns_id = ns;
    f->head.kind = k.flow_kind;
    r.flow_key = key;
    r.pending_key = key;
    f->head.type = kFlowType;
    return 0;
}

uint32_t filter_rule_delete(Call &c, const FilterKind &k, uint32_t rule_idx, zel_ip_flow_handle_t h) {
    zel_ip_flow *f = nullptr;
    if (uint32_t st = rule_of(c, k, h, &f)) return st;
    FilterRule &r = f->body.filter;
    PendingList &l = r.rule_set->*k.list;
    if (uint32_t st = pending_check(c, l, *f, "delete")) return st;
    if (uint32_t st = index_check(c, *f, rule_idx)) return st;
    if (uint32_t st = k.hw(c, *r.rule_set, rule_idx, r.flow_key, *f, r.action, 1)) {
        ZLOG_FATAL(c.m, "Failed to delete the rule in hardware\n");
        return st;
    }
    pending_append(l, *f, r.action, true);
    obj_write_checked(&f->head.type, 0);
    return 0;
}

uint32_t filter_rule_modify(Call &c, const FilterKind &k, uint32_t rule_idx, zel_ip_flow_handle_t h,
                            const zel_ip_filter_action_t *a) {
    if (!a) return ZREJECT(c.m, kBadParam, "Invalid NULL input parameter\n");
    if (!zel_ipv4_flow_valid_handle(h)) return ZREJECT(c.m, kBadParam, "%s\n", k.bad_handle);
    if (uint32_t st = action_type_check(c, k, *a)) return st;
    if (uint32_t st = action_cpu_check(c, *a)) return st;
    uint32_t police_id = 0;
    if (uint32_t st = action_police_id(c, *a, &police_id)) return st;
    zel_ip_flow *f = nullptr;
    if (uint32_t st = rule_of(c, k, h, &f)) return st;
    FilterRule &r = f->body.filter;
    PendingList &l = r.rule_set->*k.list;
    if (uint32_t st = pending_check(c, l, *f, "modify")) return st;
    if (uint32_t st = index_check(c, *f, rule_idx)) return st;
    // 1. The other rule key.
    const uint32_t rule_key = lf::rule_key_of_key(r.flow_key) == 0 ? kRuleKeyAlt : 0;
    const uint32_t key = flow_key_of(*a, f->head.hdr.ns_id, police_id, rule_key);
    // 2-3.
    uint8_t held = 0;
    uint32_t st = cpu_path_add(c, key, *a, police_id, &held);
    if (st == 0) st = k.hw(c, *r.rule_set, rule_idx, key, *f, *a, 2);
    if (st) {
        // The rule stays as it was: its uses of the new key go again.
        if (cpu_path_remove(c, key, &held)) {
            ZLOG_FATAL(c.m, "CPU path entries of flow key 0x%x could not be withdrawn\n", key);
            cpu_path_abandon(c, key, held);
        }
        return st;
    }
    // 4.
    pending_append(l, *f, r.action, false);
    r.action = *a;
    r.pending_key = key;
    return 0;
}

uint32_t pending_release(Call &c, PendingList &l) {
    uint32_t status = 0, kept = 0;
    for (uint32_t i = 0; i < l.count; ++i) {
        if (release_entry(c, l, i, &status)) continue;
        // Something is left: the entry moves up to the next free place.
        if (kept != i) {
            l.rules[kept] = l.rules[i];
            l.police[kept] = l.police[i];
            l.cpu_path[kept] = l.cpu_path[i];
            l.old_key[kept] = l.old_key[i];
            l.left[kept] = l.left[i];
        }
        ++kept;
    }
    for (uint32_t i = kept; i < l.count; ++i) {
        l.rules[i] = nullptr;
        l.police[i] = l.cpu_path[i] = l.left[i] = 0;
        l.old_key[i] = 0;
    }
    l.count = kept;
    return status;
}

uint32_t pending_release_set(Call &c, PendingList zel_ip_rule_set::*list, uint32_t set_id) {
    zel_ip_rule_set *s = c.priv->rule_set_table[set_id];
    return s ? pending_release(c, s->*list) : 0;
}

}  // namespace zel::ip
