// Association flow filters: rules of tree 35, per ingress association.
//
// A rule is a flow record of kind 5 holding its association, the caller's
// descriptor, the action and the rule index. Its tree-35 rule is keyed by
// the vector {ASSOC-FLOW, L2-INTF, PROTO, SIP, DIP}, the association's NS
// ID first, so rules of two associations never share a set, whatever
// their indexes:
//
//   set 0xd00001: (1) {0xd00001 * 6 10.0.0.0/8 *}       pass
//                 (9) {0xd00001 * * * *}                drop (catch-all)
//   set 0xd00002: (1) {0xd00002 0x10 * * *}             pass
//
// The engine stages inserts and deletes; a commit compiles one
// association's set. There is no pending list: a rule owns no NS ID and
// no CPU-path entries, so a deleted rule's record is freed at once.
//
// A rule registers itself as a user of its association, so the
// association cannot be deleted under its rules, and the association
// remembers that its set was edited since the last commit
// (IngressAssoc::filter_edited): its delete compiles the emptied set
// before its NS ID goes back.
//
// A delete names the rule twice, by handle and by index; the engine
// deletes by index within the set. The two must agree: deleting by a
// different index would remove another rule of the association and leave
// the named one in the engine with its record freed (refused, 0x30008, as
// for the other filter kinds).

#include "core/zel_ip_call.h"
#include "core/zel_ip_registry.h"
#include "filter/zel_ip_assoc_filter_pvt.h"
#include "flow/zel_ip_flow_pvt.h"
#include "tree/zel_ip_layout_filter.h"
#include "tree/zel_ip_otreeset.h"
#include "zel_ip/zel_ip_core.h"

using namespace zel::ip;

namespace {

namespace lay = layout;

constexpr const char *kUserName = "association flow filter rule";
constexpr uint32_t kMaxL2IntfId = (1u << lay::kFlowIdBits) - 1;  // L2-INTF is 24 bits

// The live ingress association of this module behind `h`, or NULL.
zel_ip_flow *assoc_of(zel_module_t *m, const void *h) {
    zel_ip_flow *f = flow_of(h, kFlowIngressAssoc);
    return f && f->head.hdr.owner == m ? f : nullptr;
}

// A live flow record (of any kind) behind `h`.
bool flow_live(const void *h) { return zel_ipv4_flow_valid_handle(h) != 0; }

// Add steps 1 to 3 and the prefix checks: the descriptor and the action.
uint32_t check_rule(zel_module_t *m, const zel_ip_assoc_flow_filter_rule_t &r, uint32_t action) {
    if (action > ZEL_IP_AFF_DROP) return ZREJECT(m, kBadParam, "Invalid Filter action \n");
    if (r.mask & ZEL_IP_AFF_L2_INTF) {
        // A sibling module's interface object; its id must fit L2-INTF, or
        // the rule would match another interface.
        if (!r.l2_intf || r.l2_intf->magic != ZEL_INTF_HDR_MAGIC || r.l2_intf->intf_id > kMaxL2IntfId)
            return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_INTERFACE), "Invalid L2 interface handle\n");
    }
    // A prefix is the address's leading bits: more than 32 cannot be taken.
    if ((r.mask & ZEL_IP_AFF_SIP) && r.sip_prefix_len > lay::kAddrBits)
        return ZREJECT(m, error(ZEL_IP_E_INVALID_ADDR_PREFIX), "Invalid Source IP address prefix width\n");
    if ((r.mask & ZEL_IP_AFF_DIP) && r.dip_prefix_len > lay::kAddrBits)
        return ZREJECT(m, error(ZEL_IP_E_INVALID_ADDR_PREFIX), "Invalid Destination IP address prefix width\n");
    return 0;
}

uint32_t add(Call &c, zel_ip_flow_handle_t assoc, uint32_t rule_idx, const zel_ip_assoc_flow_filter_rule_t *rule,
             uint32_t action, zel_ip_flow_handle_t *out) {
    zel_module_t *m = c.m;
    // 1-3.
    if (!out || !rule) return ZREJECT(m, kBadParam, "Invalid input parameter\n");
    if (uint32_t st = check_rule(m, *rule, action)) return st;
    // 4. A live ingress association of this module: its fields are read
    //    only then.
    zel_ip_flow *a = assoc_of(m, assoc);
    if (!a) return ZREJECT(m, kBadParam, "Invalid ingress association flow handle\n");
    // 5. The record, registered as a user of the association.
    auto *f = static_cast<zel_ip_flow *>(obj_alloc(sizeof(zel_ip_flow), ObjKind::kFlow));
    if (!f || !obj_use(a, f, kUserName)) {
        obj_free(f);
        return ZFAIL_FATAL(m, kNoMemory, "Failed to allocate memory for filter\n");
    }
    f->head.hdr.owner = m;
    f->head.hdr.magic = ZEL_FLOW_HDR_MAGIC;
    // 6. The tree-35 rule.
    if (uint32_t st = zel_ip_assoc_flow_filter_hw_rule(m, rule_idx, a->head.hdr.ns_id, rule, action, 0)) {
        obj_unuse(a, f);
        obj_free(f);
        return st;
    }
    a->body.ingress.filter_edited = 1;
    // 7.
    AssocFilterRule &r = f->body.assoc_filter;
    r.assoc = a;
    r.rule = *rule;
    r.action = action;
    r.rule_idx = rule_idx;
    f->head.type = kFlowType;
    f->head.kind = kFlowAssocFilterRule;
    *out = f;
    return 0;
}

uint32_t remove_rule(Call &c, uint32_t rule_idx, zel_ip_flow_handle_t h) {
    zel_module_t *m = c.m;
    // 1-2.
    if (!flow_live(h)) return ZREJECT(m, kBadParam, "Invalid flow handle\n");
    if (h->head.kind != kFlowAssocFilterRule)
        return ZREJECT(m, kBadParam, "Invalid assocication flow filter handle type\n");
    AssocFilterRule &r = h->body.assoc_filter;
    if (rule_idx != r.rule_idx)
        return ZREJECT(m, kBadParam, "Rule index %u is not the rule's index %u\n", rule_idx, r.rule_idx);
    // 3. Out of the association's set, then the record.
    if (uint32_t st = zel_ip_assoc_flow_filter_hw_rule(m, r.rule_idx, r.assoc->head.hdr.ns_id, nullptr, 0, 1))
        return ZFAIL_FATAL(m, st, "Failed to delete the rule in hardware\n");
    r.assoc->body.ingress.filter_edited = 1;
    obj_unuse(r.assoc, h);
    obj_free(h);
    return 0;
}

uint32_t commit(Call &c, zel_ip_flow_handle_t assoc) {
    zel_ip_flow *a = assoc_of(c.m, assoc);
    if (!a) return ZREJECT(c.m, kBadParam, "Invalid ingress association flow handle\n");
    if (uint32_t st = otreeset_build(c.m, *c.priv, kTreeAssocFlowFilter,
                                     lay::assoc_filter::set_key(a->head.hdr.ns_id), ZEL_SITE))
        return st;
    a->body.ingress.filter_edited = 0;
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ip_assoc_flow_filter_hw_rule(zel_module_t *module, uint32_t rule_idx, uint32_t assoc_ns_id,
                                          const zel_ip_assoc_flow_filter_rule_t *rule, uint32_t action,
                                          uint32_t op) {
    ZelIpPriv *p = module_priv(module);
    if (!p) return kBadHandle;
    if (op == 0) {
        if (!rule) return kBadParam;
        const zel_ip_assoc_flow_filter_rule_t &r = *rule;
        const bool l2 = (r.mask & ZEL_IP_AFF_L2_INTF) != 0;
        const lay::VectorKey key = lay::assoc_filter::key(
            assoc_ns_id, l2, l2 && r.l2_intf ? r.l2_intf->intf_id : 0, (r.mask & ZEL_IP_AFF_PROTO) != 0,
            r.proto & 0xff, r.sip, (r.mask & ZEL_IP_AFF_SIP) ? r.sip_prefix_len : 0, r.dip,
            (r.mask & ZEL_IP_AFF_DIP) ? r.dip_prefix_len : 0);
        // Drop calls the tree's own default function, resolved at start-up.
        const hwe_action_t value = action == ZEL_IP_AFF_DROP
                                       ? lay::assoc_filter::drop(p->trees[kTreeAssocFlowFilter].default_action.w1)
                                       : lay::assoc_filter::pass();
        return otreeset_rule(module, *p, kTreeAssocFlowFilter, rule_idx, key, SetRuleOp::kInsert, &value,
                             ZEL_SITE);
    }
    return otreeset_rule(module, *p, kTreeAssocFlowFilter, rule_idx, lay::assoc_filter::set_key(assoc_ns_id),
                         SetRuleOp::kDelete, nullptr, ZEL_SITE);
}

uint32_t zel_ip_assoc_flow_filter_rule_add(zel_module_t *module, zel_ip_flow_handle_t assoc, uint32_t rule_idx,
                                           const zel_ip_assoc_flow_filter_rule_t *rule, uint32_t action,
                                           zel_ip_flow_handle_t *out) {
    if (out) *out = nullptr;
    return with_module(module, __func__, [&](Call &c) { return add(c, assoc, rule_idx, rule, action, out); });
}

uint32_t zel_ip_assoc_flow_filter_rule_delete(zel_module_t *module, uint32_t rule_idx,
                                              zel_ip_flow_handle_t rule) {
    return with_module(module, __func__, [&](Call &c) { return remove_rule(c, rule_idx, rule); });
}

uint32_t zel_ip_assoc_flow_filter_commit(zel_module_t *module, zel_ip_flow_handle_t assoc) {
    return with_module(module, __func__, [&](Call &c) { return commit(c, assoc); });
}

}  // extern "C"
