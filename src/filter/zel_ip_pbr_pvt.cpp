// Policy-based routing: descriptor and action checks, the two engine
// helpers (tree-33 rule, tree-3 action), rule ids, the release of pending
// ids after a commit, and the interface words a policy set is applied
// with.
#include <cinttypes>
#include <cstdio>

#include "filter/zel_ip_pbr_pvt.h"
#include "interface/zel_ip_tunnel_pvt.h"
#include "tree/zel_ip_assoc_mask.h"
#include "tree/zel_ip_layout_filter.h"
#include "tree/zel_ip_layout_intf.h"
#include "tree/zel_ip_layout_route.h"

using namespace zel::ip;
namespace lay = zel::ip::layout;

namespace zel::ip {

zel_ip_policy_set *policy_set_of(const void *h) {
    const bool ok = obj_check(h, ObjKind::kPolicySet, [](const void *q) {
        return static_cast<const zel_ip_policy_set *>(q)->magic == kPolicySetMagic;
    });
    return ok ? static_cast<zel_ip_policy_set *>(const_cast<void *>(h)) : nullptr;
}

zel_ip_flow *pbr_rule_of(const void *h) { return flow_of(h, kFlowPbrRule); }

zel_ip_tunnel *pbr_action_tunnel(const zel_ip_pbr_action_t &a) {
    return tunnel_of(static_cast<zel_ip_tunnel_handle_t>(a.egress_intf));
}

uint32_t pbr_rule_id_take(Call &c, uint32_t *ns_id, bool *taken) {
    *taken = false;
    if (uint32_t st = hwe_rsrc_allocate(c.priv->pbr_stats_rsrc, 1, ns_id, nullptr))
        return ZFAIL_ERROR(c.m, kPbrNsAlloc, "Failed to allocate PBR Rule Namespace ID, RTE Error: %s\n",
                           hwe_status_get(st));
    *taken = true;
    ZLOG_INFO(c.m, "Allocated PBR Rule Namespace ID 0x%x\n", *ns_id);
    static const uint8_t zeros[kPbrSeBytes] = {};
    trace_se(c.m, Trace::kSeWrite, ZEL_SITE, *ns_id, 0, zeros, kPbrSeBytes);
    if (uint32_t st = hwe_se_state_set(c.m->engine, *ns_id, 0, zeros, kPbrSeBytes))
        return ZFAIL_FATAL(c.m, kPbrSeClear, "Failed to clear PBR rule namespace entry, RTE Error: %s\n",
                           hwe_status_get(st));
    return 0;
}

uint32_t pbr_rule_id_free(Call &c, uint32_t ns_id) {
    if (uint32_t st = hwe_rsrc_free(c.priv->pbr_stats_rsrc, ns_id, 1, nullptr))
        return ZFAIL_ERROR(c.m, kPbrNsFree, "Failed to free the PBR rule NS ID 0x%x, RTE Error: %s\n", ns_id,
                           hwe_status_get(st));
    ZLOG_INFO(c.m, "Freed PBR rule NS ID 0x%x\n", ns_id);
    return 0;
}

uint32_t pbr_release_pending(Call &c, zel_ip_policy_set &set) {
    uint32_t result = 0;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < set.pending_count; ++i) {
        PbrPending e = set.pending[i];
        uint32_t st = 0;
        if (!e.action_gone) {
            st = zel_ip_pbr_hw_action(c.m, e.ns_id, nullptr, 0, kRuleUnlearn);
            if (st == 0) e.action_gone = true;
            else ZLOG_ERROR(c.m, "Failed to remove PBR action from hw");
        }
        if (st == 0) st = pbr_rule_id_free(c, e.ns_id);
        if (st == 0) {
            if (e.tunnel) obj_unuse(e.tunnel, &set.pending[i]);
            continue;
        }
        // Kept for the next commit, at the step it failed; its tunnel use
        // moves with it to its new slot.
        result = st;
        if (kept != i && e.tunnel) {
            obj_unuse(e.tunnel, &set.pending[i]);
            if (!obj_use(e.tunnel, &set.pending[kept], "pending policy rule")) e.tunnel = nullptr;
        }
        set.pending[kept++] = e;
    }
    for (uint32_t i = kept; i < set.pending_count; ++i) set.pending[i] = {};
    set.pending_count = kept;
    return result;
}

uint32_t pbr_set_key(ZelIpPriv &p, uint32_t set_id, const zel_ptn_t **key) {
    TreeRecord &t = p.trees[kTreePbr];
    const uint32_t width = lay::range_layout(kTreePbr)->set_key.width;
    if (!t.key.bits) {
        if (uint32_t st = zel_ptn_new(width, &t.key)) {
            t.key = {nullptr, 0, 0};
            return st;
        }
    }
    if (uint32_t st = zel_ptn_clear(&t.key)) return st;
    if (uint32_t st = zel_ptn_extend(&t.key, set_id, width)) return st;
    *key = &t.key;
    return 0;
}

namespace {

char g_vrd_user_names[kMaxVrds][40];

}  // namespace

const void *pbr_vrd_user(ZelIpPriv &p, uint32_t vrd_id) { return &p.pbr_vrd_set[vrd_id]; }

const char *pbr_vrd_user_name(uint32_t vrd_id) {
    // Written once per id, always with the same text.
    char *n = g_vrd_user_names[vrd_id % kMaxVrds];
    if (n[0] == '\0') std::snprintf(n, sizeof g_vrd_user_names[0], "local traffic of VRD ID %u", vrd_id);
    return n;
}

uint32_t pbr_intf_apply(Call &c, const IntfWords &w, uint32_t set_id) {
    constexpr const char *kMsg = "Could not modify LPM rule in hardware";
    // The egress filter rule set keeps its place in W1 of tree 25; a rule
    // set record's second word is its id.
    const uint32_t egress = w.egress_rule_set ? static_cast<const uint32_t *>(w.egress_rule_set)[1] : 0;
    hwe_action_t rs = lay::intf_rule_set::encode({egress, set_id});
    if (uint32_t st = intf_key_entry(c.m, *c.priv, kTreeIntfFilterRuleSet, w.intf_id, kRuleLearn, rs, kMsg))
        return st;
    const uint32_t flags = set_id ? (*w.ingress_flags | lay::intf_ingress::kPbr)
                                  : (*w.ingress_flags & ~lay::intf_ingress::kPbr);
    hwe_action_t in = lay::value_entry(flags, w.stats_ns_id);
    if (uint32_t st = intf_key_entry(c.m, *c.priv, kTreeIntfIngressFlags, w.intf_id, kRuleLearn, in, kMsg)) {
        // Tree 25 goes back to the set the record names: left naming the
        // new one, it would apply a set that nothing records as used.
        hwe_action_t old = lay::intf_rule_set::encode({egress, *w.policy_set_id});
        if (intf_key_entry(c.m, *c.priv, kTreeIntfFilterRuleSet, w.intf_id, kRuleLearn, old, kMsg) != 0)
            ZLOG_ERROR(c.m, "Interface 0x%x kept policy set %u in its rule set entry: it could not be restored\n",
                       w.intf_id, set_id);
        return st;
    }
    *w.ingress_flags = flags;
    *w.policy_set_id = set_id;
    return 0;
}

}  // namespace zel::ip

namespace {

// The eight ranges of a descriptor, each full unless its mask bit is set.
void pbr_ranges(const zel_ip_pbr_rule_t &d, zel_rptn_t *r) {
    const lay::RangeLayout &rl = *lay::range_layout(kTreePbr);
    for (uint32_t i = 0; i < lay::pbr::kRangeCount; ++i) r[i] = lay::range_full(rl.ranges[i].width);
    const uint32_t mk = d.mask;
    if (mk & ZEL_IP_PBR_MASK_PCP) r[lay::pbr::kPcp] = {lay::pbr::kPcpBits, d.pcp_low, d.pcp_high};
    if (mk & ZEL_IP_PBR_MASK_DSCP) r[lay::pbr::kDscp] = lay::range_dscp(d.dscp_low, d.dscp_high);
    if (mk & ZEL_IP_PBR_MASK_FRAG) r[lay::pbr::kFrag] = lay::pbr::frag_range(d.frag_type);
    if (mk & ZEL_IP_PBR_MASK_PROTO) r[lay::pbr::kProto] = {8, d.proto_low, d.proto_high};
    if (mk & ZEL_IP_PBR_MASK_SIP) r[lay::pbr::kSrcAddr] = lay::range_prefix(d.src_addr, d.src_prefix_len);
    if (mk & ZEL_IP_PBR_MASK_DIP) r[lay::pbr::kDestAddr] = lay::range_prefix(d.dest_addr, d.dest_prefix_len);
    if (mk & ZEL_IP_PBR_MASK_SPORT) r[lay::pbr::kSport] = {16, d.sport_low, d.sport_high};
    if (mk & ZEL_IP_PBR_MASK_DPORT) r[lay::pbr::kDport] = {16, d.dport_low, d.dport_high};
}

void trace_rule(zel_module_t *m, Trace tc, uint32_t rule_idx, const zel_ptn_t &key, const zel_rptn_t *r,
                const hwe_action_t &a) {
    if (!trace_wanted(m, tc)) return;
    char k[64], rs[512], v[96], line[800];
    zel_ptn_print(&key, k, sizeof k);
    zel_rptn_print(lay::pbr::kRangeCount, r, rs, sizeof rs);
    zel_ptn_action_print(&a, v, sizeof v);
    std::snprintf(line, sizeof line, "%s: (%u) %s %s %s\n", "zel_ip.ip_pbr_lookup", rule_idx, k, rs, v);
    log_trace(m, tc, ZEL_SITE, line);
}

}  // namespace

extern "C" {

uint32_t zel_ipv4_valid_pbr_action(zel_module_t *module, const zel_ip_pbr_action_t *a) {
    zel_module_t *m = module;
    if (!a) return ZREJECT(m, kBadParam, "Invalid NULL pointer parameter");
    if (a->dip_based_routing == 1) return 0;
    const uint32_t nh = a->next_hop;
    if (nh != 0 && (nh == 0xffffffffu || (nh >> 28) == 0xe || (nh >> 24) == 127))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS), "Invalid addr specified as the next hop 0x%08x\n", nh);
    const bool tunnel = pbr_action_tunnel(*a) != nullptr;
    if (a->reassembly == 1 && a->local_termination != 1)
        return ZREJECT(m, kBadParam,
                       "Re-assembly cannot be enabled if PBR action is not set for local termination.");
    if (nh == 0 && !tunnel)
        return ZREJECT(m, kBadParam, "Next hop unspecified and egress interface is not a valid tunnel interface");
    if (nh != 0 && tunnel)
        return ZREJECT(m, kBadParam, "Next hop must not be specified when egress interface is a valid tunnel interface");
    if (nh != 0 && !zel_ipv4_interface_valid_handle(a->egress_intf))
        return ZREJECT(m, kBadParam, "Invalid output interface specified with valid next hop address");
    if (a->assoc_mask != 0) {
        if (uint32_t st = zel_ipv4_valid_ingress_association_mask(m, a->assoc_mask))
            return ZREJECT(m, error(st), "Unexpected Ingress association rule mask");
    }
    return 0;
}

uint32_t zel_ipv4_valid_pbr_info(zel_module_t *module, const zel_ip_pbr_rule_t *d) {
    zel_module_t *m = module;
    if (!d) return ZREJECT(m, kBadParam, "Invalid NULL pointer parameter");
    if (!policy_set_of(d->policy_set))
        return ZREJECT(m, kBadPolicySet, "Invalid PBR Policy Set handle 0x%08" PRIxPTR "\n",
                       reinterpret_cast<uintptr_t>(d->policy_set));
    // Each pair under the mask bit that programs it, and within its
    // field (a DSCP above 63 or a PCP above 7 would wrap into another
    // range, a protocol or port above its width match nothing).
    struct Pair {
        uint32_t bit, low, high, max;
    };
    const Pair pairs[] = {
        {ZEL_IP_PBR_MASK_PROTO, d->proto_low, d->proto_high, 0xff},
        {ZEL_IP_PBR_MASK_SPORT, d->sport_low, d->sport_high, 0xffff},
        {ZEL_IP_PBR_MASK_DPORT, d->dport_low, d->dport_high, 0xffff},
        {ZEL_IP_PBR_MASK_DSCP, d->dscp_low, d->dscp_high, 63},
        {ZEL_IP_PBR_MASK_PCP, d->pcp_low, d->pcp_high, 7},
    };
    for (const Pair &p : pairs) {
        if (!(d->mask & p.bit)) continue;
        if (p.low > p.high) return ZREJECT(m, kBadParam, "Invalid range parameter. End > Begin");
        if (p.high > p.max) return ZREJECT(m, kBadParam, "Invalid range parameter. %u above %u\n", p.high, p.max);
    }
    if ((d->mask & ZEL_IP_PBR_MASK_FRAG) && d->frag_type > 4)
        return ZREJECT(m, kBadParam, "Invalid fragment type %d specified\n", d->frag_type);
    if ((d->mask & ZEL_IP_PBR_MASK_DIP) && d->dest_prefix_len > 32)
        return ZREJECT(m, kBadParam, "Invalid range parameter. Destination prefix length %u above 32\n",
                       d->dest_prefix_len);
    if ((d->mask & ZEL_IP_PBR_MASK_SIP) && d->src_prefix_len > 32)
        return ZREJECT(m, kBadParam, "Invalid range parameter. Source prefix length %u above 32\n",
                       d->src_prefix_len);
    return zel_ipv4_valid_pbr_action(m, &d->action);
}

uint32_t zel_ip_pbr_hw_rule(zel_module_t *module, uint32_t rule_idx, const zel_ip_pbr_rule_t *d, uint32_t ns_id,
                            uint32_t op) {
    zel_module_t *m = module;
    const zel_ip_policy_set *set = d ? policy_set_of(d->policy_set) : nullptr;
    if (!set) return ZREJECT(m, kBadPolicySet, "Invalid IP PBR Policy Set Handle");
    ZelIpPriv &p = *module_priv(m);
    const zel_ptn_t *key = nullptr;
    if (uint32_t st = pbr_set_key(p, set->id, &key))
        return ZFAIL_FATAL(m, fatal(st), "Could not build the input pattern");
    const uint32_t tree = p.trees[kTreePbr].id;
    zel_rptn_t r[lay::pbr::kRangeCount];
    pbr_ranges(*d, r);
    const hwe_action_t a = lay::pbr::encode(ns_id);
    trace_rule(m, op == kPbrOpInsert ? Trace::kRptnLearn : Trace::kRptnUnlearn, rule_idx, *key, r, a);
    if (op == kPbrOpInsert) {
        if (uint32_t st = hwe_ptn_ovtreeset_insert(m->engine, tree, key, lay::pbr::kRangeCount, r, rule_idx, &a))
            return ZFAIL_FATAL(m, kPbrInsertFail, "Failed to program PBR rule in hardware, RTE Error: %s\n",
                               hwe_status_get(st));
        return 0;
    }
    if (uint32_t st = hwe_ptn_ovtreeset_delete(m->engine, tree, key, rule_idx))
        return ZFAIL_FATAL(m, kPbrDeleteFail, "Failed to program PBR rule in hardware, RTE Error: %s\n",
                           hwe_status_get(st));
    return 0;
}

uint32_t zel_ip_pbr_hw_action(zel_module_t *module, uint32_t ns_id, const zel_ip_pbr_action_t *action,
                              uint32_t tunnel, uint32_t op) {
    zel_module_t *m = module;
    ZelIpPriv &p = *module_priv(m);
    TreeRecord &t = p.trees[kTreePbrAction];
    hwe_action_t a = t.default_action;
    if (op == kRuleLearn) {
        if (!action) return ZREJECT(m, kBadParam, "Invalid NULL pointer parameter");
        if (action->dip_based_routing == 1) {
            a = lay::pbr_action::dip_based(p.flow_funcs[kFnDipBasedRouteLookup].id);
        } else {
            const uint8_t tm = action->assoc_mask ? assoc_tree_mask(action->assoc_mask, 0) : lay::kTmDip;
            const uint32_t f =
                lay::pbr_action::flags(action->local_termination == 1, tm, action->reassembly == 1);
            const zel_ip_tunnel *tun = tunnel ? pbr_action_tunnel(*action) : nullptr;
            a = lay::pbr_action::encode(f, tunnel != 0, tun ? tunnel_intf_id(*tun) : 0, action->next_hop);
        }
    }
    return ZRULE_KEY(m, t, op, a, "Could not modify LPM rule in hardware",
                     lay::key_spec(kTreePbrAction, {ns_id}, lay::key_layout(kTreePbrAction).width));
}

}  // extern "C"
