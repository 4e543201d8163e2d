// The attribute words of an interface (see zel_ip_attr_pvt.h).
#include "interface/zel_ip_attr_pvt.h"

#include "core/zel_ip_registry.h"
#include "filter/zel_ip_filter_types.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_intf.h"

namespace zel::ip {

namespace {

// Both records keep the words under the same names.
template <typename Rec>
IntfAttr view(Rec &r, bool ipoe) {
    IntfAttr a;
    a.rec = &r;
    a.ipoe = ipoe;
    a.intf_id = r.head.hdr.intf_id;
    a.stats_ns_id = &r.stats_ns_id;
    a.dscp_profile = &r.dscp_profile;
    a.policing = &r.policing;
    a.ingress_flags = &r.ingress_flags;
    a.egress_flags = &r.egress_flags;
    a.policy_set_id = &r.policy_set_id;
    a.ingress_rule_set = &r.ingress_rule_set;
    a.egress_rule_set = &r.egress_rule_set;
    a.book = &r.attr;
    return a;
}

}  // namespace

IntfAttr intf_attr(zel_ip_interface &r) { return view(r, true); }
IntfAttr intf_attr(zel_ip_tunnel &t) { return view(t, false); }

IntfAttr intf_attr_of(const void *h) {
    void *p = const_cast<void *>(h);
    if (zel_ip_interface *r = intf_of(static_cast<zel_ip_intf_handle_t>(p))) return intf_attr(*r);
    if (zel_ip_tunnel *t = tunnel_of(static_cast<zel_ip_tunnel_handle_t>(p))) return intf_attr(*t);
    return {};
}

bool attr_deleting(ZelIpPriv &p, const IntfAttr &a) {
    if (a.ipoe) return delete_begun(*static_cast<const zel_ip_interface *>(a.rec));
    return ledger_of(p).closing(ledger_intf_key(a.intf_id));
}

uint32_t rule_set_id(zel_ip_rule_set_handle_t h) { return h ? h->id : 0; }

AttrWords attr_words(const IntfAttr &a) {
    return {*a.ingress_flags, *a.egress_flags, rule_set_id(*a.egress_rule_set), *a.policy_set_id};
}

uint32_t attr_learn(zel_module_t *m, ZelIpPriv &p, const IntfAttr &a, const AttrWords &next, uint32_t which,
                    const char *rule_msg) {
    if (which & kAttrIngress) {
        if (uint32_t st = intf_key_entry(m, p, kTreeIntfIngressFlags, a.intf_id, kRuleLearn,
                                         layout::value_entry(next.ingress_flags, *a.stats_ns_id), rule_msg))
            return st;
    }
    if (which & kAttrEgress) {
        if (uint32_t st = intf_key_entry(m, p, kTreeIntfEgressFlags, a.intf_id, kRuleLearn,
                                         layout::value_entry(next.egress_flags, *a.stats_ns_id), rule_msg))
            return st;
    }
    if (which & kAttrRuleSets) {
        if (uint32_t st = intf_key_entry(m, p, kTreeIntfFilterRuleSet, a.intf_id, kRuleLearn,
                                         layout::intf_rule_set::encode({next.egress_set_id, next.policy_set_id}),
                                         rule_msg))
            return st;
    }
    return 0;
}

void attr_store(IntfAttr &a, const AttrWords &next) {
    *a.ingress_flags = next.ingress_flags;
    *a.egress_flags = next.egress_flags;
    *a.policy_set_id = next.policy_set_id;
}

bool dscp_police_held(const IntfAttr &a) { return *a.dscp_profile != 0 || a.policing->enable == 1; }

uint32_t dscp_police_program(zel_module_t *m, ZelIpPriv &p, const IntfAttr &a, uint32_t profile,
                             bool policing, uint32_t police_flow, const char *rule_msg) {
    if (profile != 0 || policing)
        return intf_key_entry(m, p, kTreeIfIngressDscpPolice, a.intf_id, kRuleLearn,
                              layout::intf_dscp_police::encode({profile, policing ? police_flow : 0}), rule_msg);
    // The engine refuses to unlearn what it does not hold: an interface
    // without the entry has nothing to withdraw.
    if (!dscp_police_held(a)) return 0;
    return intf_key_entry(m, p, kTreeIfIngressDscpPolice, a.intf_id, kRuleUnlearn,
                          p.trees[kTreeIfIngressDscpPolice].default_action, rule_msg);
}

uint32_t attr_withdraw(zel_module_t *m, ZelIpPriv &p, const IntfAttr &a, uint32_t *done, const char *rule_msg) {
    if ((*done & kWdDscpPolice) || !dscp_police_held(a)) return 0;
    const uint32_t st = intf_key_entry(m, p, kTreeIfIngressDscpPolice, a.intf_id, kRuleUnlearn,
                                       p.trees[kTreeIfIngressDscpPolice].default_action, rule_msg);
    if (entry_withdrawn(st)) *done |= kWdDscpPolice;
    return st;
}

bool attr_use_rule_set(const IntfAttr &a, zel_ip_rule_set_handle_t rs) {
    return obj_use(rs, a.rec, a.ipoe ? "IP interface" : "tunnel interface");
}

void attr_unuse_all(const IntfAttr &a) {
    if (*a.ingress_rule_set) obj_unuse(*a.ingress_rule_set, a.rec);
    if (*a.egress_rule_set) obj_unuse(*a.egress_rule_set, a.rec);
}

}  // namespace zel::ip
