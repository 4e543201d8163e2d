// Extended ACL filters: rule sets, extended rules in tree 36 and their
// staged commit.
//
// A rule set is {magic, id, two pending lists} (filter/zel_ip_filter_types.h)
// in the private block's rule_set_table at slot id. Its rules are the
// tree-36 rules under its id (8-bit set key) with seven ranges each: DSCP
// (the TOS byte), FRAG-TYPE, PROTO, SRC-ADDR, DEST-ADDR, SPORT-TYPE,
// DPORT-CODE; an unmatched field carries its full range.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "core/zel_ip_call.h"
#include "core/zel_ip_registry.h"
#include "filter/zel_ip_filter_pvt.h"
#include "filter/zel_ip_staged.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_filter.h"
#include "tree/zel_ip_tree.h"
#include "zel_ip/zel_ip_core.h"
#include "zel_ip/zel_ip_filter.h"

using namespace zel::ip;
namespace lay = zel::ip::layout;

namespace {

constexpr uint32_t kNumRanges = 7;
enum RangeIdx : uint32_t { kRDscp, kRFrag, kRProto, kRSip, kRDip, kRSport, kRDport };

// Protocols whose L4 ranges are matched: ICMP, TCP, UDP, SCTP and
// UDP-Lite carry both; IGMP a type only.
bool carries_both_l4(uint32_t proto) {
    return proto == 1 || proto == 6 || proto == 17 || proto == 132 || proto == 136;
}
constexpr uint32_t kIgmp = 2;

zel_rptn_t frag_range(zel_module_t *m, uint32_t frag_type) {
    if (frag_type > ZEL_IP_FRAG_4) {
        ZLOG_WARN(m, "Invalid IP Fragment type field. Treating as don't care field\n");
        return lay::range_full(2);
    }
    // Same classes as a policy route's fragment selector.
    return lay::pbr::frag_range(frag_type);
}

// The seven ranges of a rule.
void ranges_of(zel_module_t *m, const zel_ip_filter_rule_t &r, zel_rptn_t *out) {
    out[kRDscp] = lay::range_full(8);
    out[kRFrag] = lay::range_full(2);
    out[kRProto] = lay::range_full(8);
    out[kRSip] = lay::range_full(32);
    out[kRDip] = lay::range_full(32);
    out[kRSport] = lay::range_full(16);
    out[kRDport] = lay::range_full(16);
    if (r.mask & ZEL_IP_FILTER_DSCP) out[kRDscp] = lay::range_dscp(r.dscp_lo, r.dscp_hi);
    if (r.mask & ZEL_IP_FILTER_FRAG) out[kRFrag] = frag_range(m, r.frag_type);
    if (r.mask & ZEL_IP_FILTER_PROTO) out[kRProto] = {8, r.proto_lo & 0xff, r.proto_hi & 0xff};
    if (r.mask & ZEL_IP_FILTER_SIP) out[kRSip] = lay::range_prefix(r.sip, r.sip_prefix_len);
    if (r.mask & ZEL_IP_FILTER_DIP) out[kRDip] = lay::range_prefix(r.dip, r.dip_prefix_len);
    if (r.mask & ZEL_IP_FILTER_PROTO_INFO) {
        const bool both = carries_both_l4(r.proto_lo);
        if ((both || r.proto_lo == kIgmp) && (r.mask & ZEL_IP_FILTER_SPORT))
            out[kRSport] = {16, r.sport_lo & 0xffff, r.sport_hi & 0xffff};
        if (both && (r.mask & ZEL_IP_FILTER_DPORT))
            out[kRDport] = {16, r.dport_lo & 0xffff, r.dport_hi & 0xffff};
    }
}

// "<tree>: (<idx>) <set key> <ranges> <value>\n" under the pattern trace.
void trace_rule(zel_module_t *m, Trace t, uint32_t tree_id, uint32_t rule_idx, const zel_ptn_t *key,
                const zel_rptn_t *ranges, uint32_t nranges, const hwe_action_t *value) {
    if (!trace_wanted(m, t)) return;
    char head[160], k[96], r[512], a[96];
    std::snprintf(head, sizeof head, "%s: (%d) ", zel_sif_fps_map(tree_id), static_cast<int>(rule_idx));
    zel_ptn_print(key, k, sizeof k);
    std::string line = head;
    line += k;
    if (ranges) {
        zel_rptn_print(nranges, ranges, r, sizeof r);
        line += ' ';
        line += r;
    }
    if (value) {
        zel_ptn_action_print(value, a, sizeof a);
        line += ' ';
        line += a;
    }
    line += '\n';
    log_trace(m, t, ZEL_SITE, line.c_str());
}

uint32_t hw_rule(Call &c, const zel_ip_rule_set &set, uint32_t rule_idx, uint32_t flow_key,
                 const zel_ip_filter_rule_t *rule, const zel_ip_filter_action_t *action, uint32_t op) {
    const TreeRecord &t = c.priv->trees[kTreeExtFilter];
    const zel_ptn_t *key = nullptr;
    if (uint32_t ks = set_key(*c.priv, set.id, &key))
        return ZFAIL_FATAL(c.m, fatal(ks), "Could not build the input pattern\n");
    uint32_t st;
    if (op == 1) {
        trace_rule(c.m, Trace::kRptnUnlearn, t.id, rule_idx, key, nullptr, 0, nullptr);
        st = hwe_ptn_ovtreeset_delete(c.m->engine, t.id, key, rule_idx);
        if (st)
            return ZFAIL_FATAL(c.m, st == HWE_E_RULE_INDEX ? kBadFilterIndex : fatal(0x55),
                               "Failed to delete ext filter tree entry, RTE Error: %s\n", hwe_status_get(st));
        return 0;
    }
    if (!action || (op == 0 && !rule)) return ZREJECT(c.m, kBadParam, "Invalid NULL input parameter\n");
    const hwe_action_t value = filter_value(*action, flow_key);
    if (op == 0) {
        zel_rptn_t ranges[kNumRanges];
        ranges_of(c.m, *rule, ranges);
        trace_rule(c.m, Trace::kRptnLearn, t.id, rule_idx, key, ranges, kNumRanges, &value);
        st = hwe_ptn_ovtreeset_insert(c.m->engine, t.id, key, kNumRanges, ranges, rule_idx, &value);
    } else {
        trace_rule(c.m, Trace::kRptnLearn, t.id, rule_idx, key, nullptr, 0, &value);
        st = hwe_ptn_ovtreeset_modify(c.m->engine, t.id, key, rule_idx, &value);
    }
    if (st)
        return ZFAIL_FATAL(c.m, st == HWE_E_RULE_INDEX ? kBadFilterIndex : fatal(0x54),
                           "Failed to insert filter entry, RTE Error: %s\n", hwe_status_get(st));
    return 0;
}

uint32_t ext_hw(Call &c, const zel_ip_rule_set &set, uint32_t rule_idx, uint32_t flow_key, const zel_ip_flow &f,
                const zel_ip_filter_action_t &a, uint32_t op) {
    return hw_rule(c, set, rule_idx, flow_key, &f.body.filter.rule.ext, &a, op);
}

void ext_fill(zel_ip_flow &f, const void *desc) {
    f.body.filter.rule.ext = *static_cast<const zel_ip_filter_rule_t *>(desc);
}

constexpr FilterKind kExtended{kFlowExtFilterRule,
                               &zel_ip_rule_set::ext,
                               ext_hw,
                               "Invalid input filter handle",
                               "Invalid flow filter handle type",
                               "Invalid Filter action",
                               "Failed to allocate memory for filter rule"};

uint32_t ext_release(Call &c, uint32_t set_id) { return pending_release_set(c, &zel_ip_rule_set::ext, set_id); }

constexpr StagedTree kExtStaged{kTreeExtFilter,
                                ovtreeset_build,
                                ovtreeset_rebuild,
                                "Failed to build ACL table in hardware, RTE Error: %s\n",
                                fatal(0x57),
                                "Failed to rebuild ACL table in hardware, RTE Error: %s\n",
                                fatal(0x58),
                                ext_release};

// ---- rule sets ----------------------------------------------------------

uint32_t set_create(Call &c, zel_ip_rule_set_handle_t *out) {
    if (!out) return ZREJECT(c.m, kBadParam, "Invalid NULL input parameter\n");
    *out = nullptr;
    uint32_t id = 0;
    if (uint32_t st = hwe_rsrc_allocate(c.priv->filter_rule_set_ids_rsrc, 1, &id, nullptr))
        return ZFAIL_ERROR(c.m, error(ZEL_E_NSID_ALLOC), "Failed to allocate filter namespace set ID, RTE Error: %s\n",
                           hwe_status_get(st));
    ZLOG_INFO(c.m, "Allocated filter Rule Set ID 0x%x\n", id);
    auto *s = static_cast<zel_ip_rule_set *>(obj_alloc(sizeof(zel_ip_rule_set), ObjKind::kRuleSet));
    if (!s) {
        const uint32_t st = ZFAIL_FATAL(c.m, kNoMemory, "Memory allocation failed\n");
        if (hwe_rsrc_free(c.priv->filter_rule_set_ids_rsrc, id, 1, nullptr))
            ZLOG_FATAL(c.m, "Filter rule set ID 0x%x could not be given back\n", id);
        return st;
    }
    s->magic = kRuleSetMagic;
    s->id = id;
    s->serial = ++c.priv->rule_set_serial;
    c.priv->rule_set_table[id] = s;
    *out = s;
    return 0;
}

uint32_t set_delete(Call &c, zel_ip_rule_set_handle_t set) {
    zel_ip_rule_set *s = rule_set_of(set);
    if (!s) return ZREJECT(c.m, kBadRuleSet, "Invalid IP Filter Rule Set Handle\n");
    // An interface filtering with the set would go on naming its id.
    if (uint32_t st = ZREFUSE_IN_USE(c.m, s, "Filter rule set")) return st;
    // What pending rules hold for the compiled set is released only by a
    // commit of the set: without the set nothing would ever release it.
    if (s->ext.count || s->basic.count)
        return ZREJECT(c.m, kPendingFull, "Filter rule set 0x%x has %u rules pending a commit\n", s->id,
                       s->ext.count + s->basic.count);
    if (uint32_t st = hwe_rsrc_free(c.priv->filter_rule_set_ids_rsrc, s->id, 1, nullptr))
        return ZFAIL_FATAL(c.m, fatal(ZEL_E_NSID_FREE), "Failed to free filter set ID, RTE Error: %s\n",
                           hwe_status_get(st));
    ZLOG_INFO(c.m, "Freed filter rule set ID 0x%x\n", s->id);
    c.priv->rule_set_table[s->id] = nullptr;
    obj_free(s);
    return 0;
}

// ---- extended rules -------------------------------------------------------

bool prefix_len_ok(uint32_t len) { return len >= 1 && len <= 32; }

uint32_t rule_add(Call &c, zel_ip_rule_set_handle_t set, uint32_t rule_idx, const zel_ip_filter_rule_t *rule,
                  const zel_ip_filter_action_t *action, zel_ip_flow_handle_t *out) {
    // 1.
    if (!rule || !action || !out) return ZREJECT(c.m, kBadParam, "Invalid NULL input parameter\n");
    *out = nullptr;
    const zel_ip_filter_rule_t &r = *rule;
    const zel_ip_filter_action_t &a = *action;
    // 2.
    zel_ip_rule_set *s = rule_set_of(set);
    if (!s) return ZREJECT(c.m, kBadRuleSet, "Invalid IP Filter Rule Set Handle\n");
    // 3.
    if ((r.mask & ZEL_IP_FILTER_PROTO_INFO) && r.proto_lo != r.proto_hi)
        return ZREJECT(c.m, kBadParam,
                       "Protocol value cannot be more than one when L4 info needs to be specified\n");
    // 4.
    if ((r.mask & ZEL_IP_FILTER_DIP) && !prefix_len_ok(r.dip_prefix_len))
        return ZREJECT(c.m, kBadPrefix, "Invalid Destination IP address prefix width\n");
    if ((r.mask & ZEL_IP_FILTER_SIP) && !prefix_len_ok(r.sip_prefix_len))
        return ZREJECT(c.m, kBadPrefix, "Invalid Source IP address prefix width\n");
    // 5.
    if (uint32_t st = action_type_check(c, kExtended, a)) return st;
    // 6.
    if ((r.mask & ZEL_IP_FILTER_PROTO_INFO) && !(r.mask & ZEL_IP_FILTER_PROTO))
        return ZREJECT(c.m, error(ZEL_IP_E_INVALID_FILTER_PROTO_RULE),
                       "Invalid combination of filter rule mask. PROTO_MASK should be set when PROTO_INFO_MASK "
                       "is set\n");
    // 7.
    if (uint32_t st = action_cpu_check(c, a)) return st;
    // 8-15.
    return filter_rule_add(c, kExtended, *s, rule_idx, a, ext_fill, rule, out);
}

uint32_t commit(Call &c, uint32_t mode, zel_ip_rule_set_handle_t set) {
    if (mode != ZEL_IP_COMMIT_SET && mode != ZEL_IP_COMMIT_ALL)
        return ZREJECT(c.m, kBadParam, "Invalid commit mode %u\n", mode);
    uint32_t id = 0;
    if (mode == ZEL_IP_COMMIT_SET) {
        zel_ip_rule_set *s = rule_set_of(set);
        if (!s) return ZREJECT(c.m, kBadRuleSet, "Invalid IP Filter Rule Set Handle\n");
        id = s->id;
    }
    return staged_commit(c, kExtStaged, mode, id);
}

}  // namespace

extern "C" {

uint32_t zel_ip_filter_rule_set_create(zel_module_t *module, zel_ip_rule_set_handle_t *out) {
    return with_module(module, __func__, [&](Call &c) { return set_create(c, out); });
}

uint32_t zel_ip_filter_rule_set_delete(zel_module_t *module, zel_ip_rule_set_handle_t set) {
    return with_module(module, __func__, [&](Call &c) { return set_delete(c, set); });
}

uint32_t zel_ip_filter_rule_add(zel_module_t *module, zel_ip_rule_set_handle_t set, uint32_t rule_idx,
                                const zel_ip_filter_rule_t *rule, const zel_ip_filter_action_t *action,
                                zel_ip_flow_handle_t *out) {
    return with_module(module, __func__, [&](Call &c) { return rule_add(c, set, rule_idx, rule, action, out); });
}

uint32_t zel_ip_filter_rule_delete(zel_module_t *module, uint32_t rule_idx, zel_ip_flow_handle_t rule) {
    return with_module(module, __func__,
                       [&](Call &c) { return filter_rule_delete(c, kExtended, rule_idx, rule); });
}

uint32_t zel_ip_filter_rule_action_modify(zel_module_t *module, uint32_t rule_idx, zel_ip_flow_handle_t rule,
                                          const zel_ip_filter_action_t *action) {
    return with_module(module, __func__,
                       [&](Call &c) { return filter_rule_modify(c, kExtended, rule_idx, rule, action); });
}

uint32_t zel_ip_filter_set_commit(zel_module_t *module, uint32_t mode, zel_ip_rule_set_handle_t set) {
    return with_module(module, __func__, [&](Call &c) { return commit(c, mode, set); });
}

uint32_t zel_ip_filter_hw_rule(zel_module_t *module, zel_ip_rule_set_handle_t set, uint32_t rule_idx,
                               uint32_t flow_key, const zel_ip_filter_rule_t *rule,
                               const zel_ip_filter_action_t *action, uint32_t op) {
    ZelIpPriv *p = module_priv(module);
    zel_ip_rule_set *s = rule_set_of(set);
    if (!p) return kBadHandle;
    if (!s) return kBadRuleSet;
    Call c{module, p};
    return hw_rule(c, *s, rule_idx, flow_key, rule, action, op);
}

}  // extern "C"
