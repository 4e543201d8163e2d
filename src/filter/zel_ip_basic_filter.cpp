// Basic filters: the basic rules of a rule set in the OtreeSet tree 34.
//
// A basic rule is a filter rule of kind 4 (filter/zel_ip_filter_types.h)
// in the rule sets of the extended filters. Its life (policing id,
// record, statistics id, CPU path, flow key with its alternating rule
// key, pending list and release) is the extended rules' own
// (filter/zel_ip_filter_pvt.h) on the set's basic pending list; what is
// basic is the tree-34 rule and the commit:
//
//   key    {FILTER-RULE-SET  PROTO  SRC-ADDR  DEST-ADDR}, each pattern
//          exact, a prefix or a wildcard (length 0)
//   value  the filter value of trees 34 and 36 (FLOW-ID, action, RULE-KEY)
//
// A delete and a build give the rule set's pattern alone; a commit builds
// that one set (an OtreeSet has no rebuild of every set) and releases the
// basic list only, so an extended list waiting in the same set stays.
#include "core/zel_ip_call.h"
#include "filter/zel_ip_basic_filter_pvt.h"
#include "filter/zel_ip_filter_pvt.h"
#include "filter/zel_ip_staged.h"
#include "tree/zel_ip_layout_filter.h"
#include "tree/zel_ip_otreeset.h"

using namespace zel::ip;
namespace lay = zel::ip::layout;

namespace {

// Mask bits of the extended descriptor a basic rule cannot carry.
constexpr uint32_t kExtendedOnly = ZEL_IP_FILTER_DSCP | ZEL_IP_FILTER_FRAG | ZEL_IP_FILTER_PROTO_INFO;

lay::VectorKey rule_key(uint32_t set_id, const zel_ip_basic_filter_rule_t &r) {
    const bool dip = (r.mask & ZEL_IP_BASIC_FILTER_DIP) != 0, sip = (r.mask & ZEL_IP_BASIC_FILTER_SIP) != 0;
    return lay::basic::key(set_id, (r.mask & ZEL_IP_BASIC_FILTER_PROTO) != 0, r.proto & 0xff, r.sip,
                           sip ? r.sip_prefix_len : 0, r.dip, dip ? r.dip_prefix_len : 0);
}

uint32_t hw_rule(Call &c, const zel_ip_rule_set &set, uint32_t rule_idx, uint32_t flow_key,
                 const zel_ip_basic_filter_rule_t *rule, const zel_ip_filter_action_t *action, uint32_t op) {
    if (op == 1)
        return otreeset_rule(c.m, *c.priv, kTreeInBasicFilter, rule_idx, lay::basic::set_key(set.id),
                             SetRuleOp::kDelete, nullptr, ZEL_SITE);
    if (!action || (op == 0 && !rule)) return ZREJECT(c.m, kBadParam, "Invalid NULL input parameter\n");
    const hwe_action_t value = filter_value(*action, flow_key);
    if (op == 0)
        return otreeset_rule(c.m, *c.priv, kTreeInBasicFilter, rule_idx, rule_key(set.id, *rule),
                             SetRuleOp::kInsert, &value, ZEL_SITE);
    return otreeset_rule(c.m, *c.priv, kTreeInBasicFilter, rule_idx, lay::basic::set_key(set.id),
                         SetRuleOp::kModify, &value, ZEL_SITE);
}

uint32_t basic_hw(Call &c, const zel_ip_rule_set &set, uint32_t rule_idx, uint32_t flow_key, const zel_ip_flow &f,
                  const zel_ip_filter_action_t &a, uint32_t op) {
    return hw_rule(c, set, rule_idx, flow_key, &f.body.filter.rule.basic, &a, op);
}

void basic_fill(zel_ip_flow &f, const void *desc) {
    f.body.filter.rule.basic = *static_cast<const zel_ip_basic_filter_rule_t *>(desc);
}

// The three calls name a bad handle, kind and action each in their own
// words; the rest of the kind is one.
constexpr FilterKind kBasicAdd{kFlowBasicFilterRule,
                               &zel_ip_rule_set::basic,
                               basic_hw,
                               "Invalid flow handle",
                               "Invalid basic flow filter handle type",
                               "Invalid Filter action ",
                               "Failed to allocate memory for filter"};
constexpr FilterKind kBasicDelete = kBasicAdd;
constexpr FilterKind kBasicModify{kFlowBasicFilterRule,
                                  &zel_ip_rule_set::basic,
                                  basic_hw,
                                  "Invalid input filter handle",
                                  "Invalid flow filter handle type",
                                  "Invalid Filter action",
                                  "Failed to allocate memory for filter"};

uint32_t basic_build(Call &c, uint32_t tree, uint32_t set_id) {
    return otreeset_build(c.m, *c.priv, tree, lay::basic::set_key(set_id), ZEL_SITE);
}

uint32_t basic_release(Call &c, uint32_t set_id) {
    return pending_release_set(c, &zel_ip_rule_set::basic, set_id);
}

constexpr StagedTree kBasicStaged{kTreeInBasicFilter,
                                  basic_build,
                                  nullptr,  // no rebuild of every set
                                  "Failed to build the OtreeSet, RTE Error: %s\n",
                                  fatal(ZEL_E_OTREESET_BUILD),
                                  nullptr,
                                  0,
                                  basic_release,
                                  true};

bool prefix_len_ok(uint32_t len) { return len >= 1 && len <= 32; }

uint32_t rule_add(Call &c, zel_ip_rule_set_handle_t set, uint32_t rule_idx, const zel_ip_basic_filter_rule_t *rule,
                  const zel_ip_filter_action_t *action, zel_ip_flow_handle_t *out) {
    // 1.
    if (!rule || !action || !out) return ZREJECT(c.m, kBadParam, "Invalid input parameter\n");
    *out = nullptr;
    const zel_ip_basic_filter_rule_t &r = *rule;
    const zel_ip_filter_action_t &a = *action;
    // 2.
    zel_ip_rule_set *s = rule_set_of(set);
    if (!s) return ZREJECT(c.m, kBadRuleSet, "Invalid IP Filter Rule Set Handle\n");
    // 3. (no protocol range in a basic rule)
    // 4.
    if ((r.mask & ZEL_IP_BASIC_FILTER_DIP) && !prefix_len_ok(r.dip_prefix_len))
        return ZREJECT(c.m, kBadPrefix, "Invalid Destination IP address prefix width\n");
    if ((r.mask & ZEL_IP_BASIC_FILTER_SIP) && !prefix_len_ok(r.sip_prefix_len))
        return ZREJECT(c.m, kBadPrefix, "Invalid Source IP address prefix width\n");
    // 5.
    if (uint32_t st = action_type_check(c, kBasicAdd, a)) return st;
    // 6. What only an extended rule can match.
    if (r.mask & kExtendedOnly)
        return ZREJECT(c.m, error(ZEL_IP_E_INVALID_FILTER_PARAM), "Invalid filter param for basic filter\n");
    // 7.
    if (uint32_t st = action_cpu_check(c, a)) return st;
    // 8-15.
    return filter_rule_add(c, kBasicAdd, *s, rule_idx, a, basic_fill, rule, out);
}

uint32_t commit(Call &c, zel_ip_rule_set_handle_t set) {
    zel_ip_rule_set *s = rule_set_of(set);
    if (!s) return ZREJECT(c.m, kBadRuleSet, "Invalid IP Filter Rule Set Handle\n");
    return staged_commit(c, kBasicStaged, ZEL_IP_COMMIT_SET, s->id);
}

}  // namespace

extern "C" {

uint32_t zel_ip_basic_filter_rule_add(zel_module_t *module, zel_ip_rule_set_handle_t set, uint32_t rule_idx,
                                      const zel_ip_basic_filter_rule_t *rule, const zel_ip_filter_action_t *action,
                                      zel_ip_flow_handle_t *out) {
    return with_module(module, __func__, [&](Call &c) { return rule_add(c, set, rule_idx, rule, action, out); });
}

uint32_t zel_ip_basic_filter_rule_delete(zel_module_t *module, uint32_t rule_idx, zel_ip_flow_handle_t rule) {
    return with_module(module, __func__,
                       [&](Call &c) { return filter_rule_delete(c, kBasicDelete, rule_idx, rule); });
}

uint32_t zel_ip_basic_filter_rule_action_modify(zel_module_t *module, uint32_t rule_idx, zel_ip_flow_handle_t rule,
                                                const zel_ip_filter_action_t *action) {
    return with_module(module, __func__,
                       [&](Call &c) { return filter_rule_modify(c, kBasicModify, rule_idx, rule, action); });
}

uint32_t zel_ip_basic_filter_set_commit(zel_module_t *module, zel_ip_rule_set_handle_t set) {
    return with_module(module, __func__, [&](Call &c) { return commit(c, set); });
}

uint32_t zel_ip_basic_filter_hw_rule(zel_module_t *module, zel_ip_rule_set_handle_t set, uint32_t rule_idx,
                                     uint32_t flow_key, const zel_ip_basic_filter_rule_t *rule,
                                     const zel_ip_filter_action_t *action, uint32_t op) {
    ZelIpPriv *p = module_priv(module);
    zel_ip_rule_set *s = rule_set_of(set);
    if (!p) return kBadHandle;
    if (!s) return kBadRuleSet;
    Call c{module, p};
    return hw_rule(c, *s, rule_idx, flow_key, rule, action, op);
}

}  // extern "C"
