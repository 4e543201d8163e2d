// Interface attributes: administrative state, filter kind and rule sets,
// DSCP map profile, ingress policing, MTU, and the per-domain
// source-address filters.
//
// Each interface operation is: check, take the current words, write the
// entries that carry the edited words in order, and store the words only
// once every entry succeeded (zel_ip_attr_pvt.h). A failure after the first
// entry leaves that entry with the new word and the record with the old
// ones; the repeated call writes both again from the record and completes.
#include "core/zel_ip_call.h"
#include "interface/zel_ip_attr_pvt.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_intf.h"
#include "tree/zel_ip_layout_route.h"
#include "tree/zel_ip_ledger.h"
#include "zel_ip/zel_ip_attr.h"

using namespace zel::ip;
namespace ing = zel::ip::layout::intf_ingress;
namespace egr = zel::ip::layout::intf_egress;

namespace {

constexpr const char *kAddRuleMsg = "Could not add LPM rule in hardware\n";
constexpr const char *kModifyRuleMsg = "Could not modify LPM rule in hardware\n";
constexpr const char *kProgramRuleMsg = "Could not program LPM rule in hardware\n";
constexpr const char *kBadIntf = "Invalid Interface Handle type\n";
constexpr uint32_t kMaxPrefixLen = 32;

// The interface behind `h` for a change, or NULL with the refusal in
// *status: `bad_status` with `bad_msg` when it is no interface, the same
// status when its delete has begun.
IntfAttr attr_for_change(Call &c, const void *h, uint32_t bad_status, const char *bad_msg, uint32_t *status) {
    IntfAttr a = intf_attr_of(h);
    if (!a.rec) {
        *status = ZREJECT(c.m, bad_status, "%s", bad_msg);
    } else if (attr_deleting(*c.priv, a)) {
        *status = reject_deleting(c.m, bad_status);
        a = {};
    }
    return a;
}

// Bits 3 and 4 of either flags word: the filter kind of the direction.
uint32_t with_filter_kind(uint32_t flags, uint32_t type) {
    flags &= ~(ing::kBasicFilter | ing::kExtFilter);
    if (type == ZEL_IP_INTF_FILTER_BASIC) flags |= ing::kBasicFilter;
    if (type == ZEL_IP_INTF_FILTER_EXTENDED) flags |= ing::kExtFilter;
    return flags;
}

uint32_t with_bit(uint32_t flags, uint32_t bit, bool on) { return on ? flags | bit : flags & ~bit; }

// Bits 8 to 15 of the ingress flags: the ingress rule set id.
uint32_t with_ingress_set(uint32_t flags, uint32_t id) {
    hwe_action_t a = layout::value_entry(flags, 0);
    ing::kRuleSet.put(a, id);
    return a.w1;
}

// ---- Administrative state ------------------------------------------------------

uint32_t status_set(Call &c, void *h, uint32_t status) {
    uint32_t st = 0;
    IntfAttr a = attr_for_change(c, h, error(ZEL_IP_E_INVALID_IP_INTERFACE), kBadIntf, &st);
    if (!a.rec) return st;
    const bool down = status != ZEL_IP_INTF_UP;
    AttrWords next = attr_words(a);
    next.ingress_flags = with_bit(next.ingress_flags, ing::kAdminDisabled, down);
    next.egress_flags = with_bit(next.egress_flags, egr::kAdminDisabled, down);
    if ((st = attr_learn(c.m, *c.priv, a, next, kAttrIngress | kAttrEgress, kAddRuleMsg))) return st;
    attr_store(a, next);
    return 0;
}

// ---- Filters ---------------------------------------------------------------------

uint32_t filter_type_set(Call &c, void *h, uint32_t dir, uint32_t type) {
    uint32_t st = 0;
    IntfAttr a = attr_for_change(c, h, kBadParam, kBadIntf, &st);
    if (!a.rec) return st;
    if (dir > ZEL_IP_DIR_EGRESS)
        return ZREJECT(c.m, error(ZEL_IP_E_INVALID_FILTER_DIRECTION), "Invalid filter direction specified");
    if (type > ZEL_IP_INTF_FILTER_EXTENDED) return ZREJECT(c.m, kBadParam, "Invalid filter type specified\n");
    AttrWords next = attr_words(a);
    uint32_t &flags = dir == ZEL_IP_DIR_INGRESS ? next.ingress_flags : next.egress_flags;
    flags = with_filter_kind(flags, type);
    if ((st = attr_learn(c.m, *c.priv, a, next, dir == ZEL_IP_DIR_INGRESS ? kAttrIngress : kAttrEgress,
                         kAddRuleMsg)))
        return st;
    attr_store(a, next);
    // The stored parameters of an IPoE interface name its ingress filter
    // kind as well.
    if (a.ipoe && dir == ZEL_IP_DIR_INGRESS) static_cast<zel_ip_interface *>(a.rec)->params.filter_type = type;
    return 0;
}

// Filter set (attach) and clear. Attaching registers the interface as a
// user of the new rule set before anything is written, and drops its use
// of the one it replaces once the entry holds the new id: a rule set is
// never deleted while an interface's entry names its id.
uint32_t filter_set(Call &c, void *h, uint32_t dir, zel_ip_rule_set_handle_t rs, bool attach) {
    uint32_t st = 0;
    IntfAttr a = attr_for_change(c, h, kBadParam, kBadIntf, &st);
    if (!a.rec) return st;
    if (dir > ZEL_IP_DIR_EGRESS)
        return ZREJECT(c.m, error(ZEL_IP_E_INVALID_FILTER_DIRECTION), "Invalid filter direction specified\n");
    if (!zel_ipv4_valid_rule_set_handle(rs)) return ZREJECT(c.m, kBadParam, "Invalid IP Filter Rule Set Handle\n");
    const bool ingress = dir == ZEL_IP_DIR_INGRESS;
    zel_ip_rule_set_handle_t &slot = ingress ? *a.ingress_rule_set : *a.egress_rule_set;
    const zel_ip_rule_set_handle_t old = slot;
    const zel_ip_rule_set_handle_t now = attach ? rs : nullptr;
    const bool new_use = now && now != old;
    if (new_use && !attr_use_rule_set(a, now)) return ZFAIL_FATAL(c.m, kNoMemory, "Memory allocation failed\n");
    const uint32_t id = rule_set_id(now);
    AttrWords next = attr_words(a);
    if (ingress) {
        next.ingress_flags = with_ingress_set(next.ingress_flags, id);
    } else {
        next.egress_set_id = id;
    }
    if ((st = attr_learn(c.m, *c.priv, a, next, ingress ? kAttrIngress : kAttrRuleSets, kModifyRuleMsg))) {
        if (new_use) obj_unuse(now, a.rec);
        return st;
    }
    attr_store(a, next);
    slot = now;
    if (old && old != now) obj_unuse(old, a.rec);
    return 0;
}

// ---- DSCP map profile and policing -----------------------------------------------

uint32_t priority_map(Call &c, void *h, uint32_t dir, uint32_t profile) {
    uint32_t st = 0;
    IntfAttr a = attr_for_change(c, h, kBadParam, kBadIntf, &st);
    if (!a.rec) return st;
    if (dir != ZEL_IP_DIR_INGRESS)
        return ZREJECT(c.m, kBadParam, "Invalid or unsupported direction %d specified!\n", static_cast<int>(dir));
    if (profile > ZEL_IP_DSCP_PROFILE_MAX)
        return ZREJECT(c.m, kBadParam, "Profile ID %d out of valid range!\n", static_cast<int>(profile));
    AttrWords next = attr_words(a);
    next.ingress_flags = with_bit(next.ingress_flags, ing::kDscpMap, profile != 0);
    if ((st = attr_learn(c.m, *c.priv, a, next, kAttrIngress, kAddRuleMsg))) return st;
    // While policing is on the entry carries the policing flow the policing
    // request resolved, so both operations write the same id.
    const bool policing = a.policing->enable == 1;
    if ((st = dscp_police_program(c.m, *c.priv, a, profile, policing, a.book->police_flow_id, kProgramRuleMsg)))
        return st;
    attr_store(a, next);
    *a.dscp_profile = profile;
    return 0;
}

uint32_t policing_set(Call &c, void *h, const zel_ip_policing_req_t *req) {
    if (!req) return ZREJECT(c.m, kBadParam, "Null Pointer Parameter\n");
    uint32_t st = 0;
    IntfAttr a = attr_for_change(c, h, kBadParam, kBadIntf, &st);
    if (!a.rec) return st;
    const bool on = req->enable == 1;
    uint32_t flow = 0;
    if (on) {
        if ((st = zel_qos_policing_flow_id_get(c.m->sys_ctx, req->policer, &flow)))
            return ZFAIL_ERROR(c.m, error(st), "Failed to retrieve policing flow ID\n");
    }
    AttrWords next = attr_words(a);
    next.ingress_flags = with_bit(next.ingress_flags, ing::kPolicing, on);
    if ((st = attr_learn(c.m, *c.priv, a, next, kAttrIngress, kAddRuleMsg))) return st;
    if ((st = dscp_police_program(c.m, *c.priv, a, *a.dscp_profile, on, flow, kProgramRuleMsg))) return st;
    attr_store(a, next);
    *a.policing = {req->enable, req->policer};
    a.book->police_flow_id = flow;
    return 0;
}

// ---- MTU -------------------------------------------------------------------------

uint32_t mtu_set(Call &c, zel_ip_intf_handle_t h, uint32_t mtu) {
    zel_ip_interface *r = intf_of(h);
    if (!r) return ZREJECT(c.m, kBadParam, "Invalid Interface Handle or type\n");
    if (delete_begun(*r)) return reject_deleting(c.m, kBadParam);
    if (mtu < kMinMtu || mtu > kMaxMtu)
        return ZREJECT(c.m, error(ZEL_IP_E_INVALID_MTU), "Invalid MTU Value %d\n", static_cast<int>(mtu));
    IntfAttr a = intf_attr(*r);
    AttrWords next = attr_words(a);
    hwe_action_t w = layout::value_entry(next.egress_flags & 0xff, 0);
    egr::kMtu.put(w, mtu);
    next.egress_flags = w.w1;
    if (uint32_t st = attr_learn(c.m, *c.priv, a, next, kAttrEgress, kAddRuleMsg)) return st;
    // The source entry of each subnet: the primary, then the secondaries.
    const uint32_t intf = intf_id_of(*r);
    auto sip_entry = [&](uint32_t addr, uint32_t plen) {
        return owned_key_entry(c.m, *c.priv, kTreeIntfSipMtu, r, ledger_sip_key(intf, addr, plen),
                               layout::key_spec(kTreeIntfSipMtu, {intf, addr}, layout::kIntfIdBits + plen),
                               kRuleLearn, layout::intf_sip_mtu::encode({addr, mtu}), kAddRuleMsg, ZEL_SITE);
    };
    if (uint32_t st = sip_entry(r->params.addr, r->params.prefix_len)) return st;
    for (uint32_t i = 0; i < r->secondary_count; ++i) {
        const AddrPrefix &s = r->secondary[i];
        if (s.addr == 0 && s.prefix_len == 0) continue;
        if (uint32_t st = sip_entry(s.addr, s.prefix_len)) return st;
    }
    attr_store(a, next);
    r->params.mtu = mtu;
    return 0;
}

// ---- Source-address filters ------------------------------------------------------

// The checks both calls share; the domain's id in *vrd_id.
uint32_t sip_filter_checks(Call &c, zel_ip_vrd_handle_t vrd, const uint32_t *addr, uint32_t *vrd_id) {
    if (!addr) return ZREJECT(c.m, kBadParam, "Invalid NULL pointer parameter\n");
    if (!zel_ipv4_vrd_valid_handle(vrd, vrd_id)) return ZREJECT(c.m, kBadParam, "Invalid VRD Handle\n");
    if (addr[1] > kMaxPrefixLen) return ZREJECT(c.m, kBadParam, "Invalid Source IP Address Prefix Length\n");
    return 0;
}

// The entry is the application's (tree/zel_ip_ledger.h): it replaces an
// interface's or domain's own entry of the same key, whose delete then
// leaves it alone.
uint32_t sip_filter(Call &c, zel_ip_vrd_handle_t vrd, const uint32_t *addr, uint32_t type, bool add) {
    uint32_t vrd_id = 0;
    if (uint32_t st = sip_filter_checks(c, vrd, addr, &vrd_id)) return st;
    namespace src = layout::src_addr;
    hwe_action_t a = !add                          ? c.priv->trees[kTreeSrcAddr].default_action
                     : type == ZEL_IP_SIP_ALLOW     ? src::allow()
                     : type == ZEL_IP_SIP_BLOCK_FWD ? src::block_fwd()
                                                    : src::block_all(c.priv->flow_funcs[kFnInvalidSrcIpAddr].id);
    return app_entry(c.m, *c.priv, kTreeSrcAddr, vrd_id, addr[0], addr[1], add ? kRuleLearn : kRuleUnlearn, a,
                     kProgramRuleMsg, 0, ZEL_SITE);
}

}  // namespace

extern "C" {

uint32_t zel_ip_interface_status_set(zel_module_t *module, void *intf, uint32_t status) {
    return with_module(module, __func__, [&](Call &c) { return status_set(c, intf, status); });
}

uint32_t zel_ip_interface_filter_type_set(zel_module_t *module, void *intf, uint32_t direction, uint32_t type) {
    return with_module(module, __func__, [&](Call &c) { return filter_type_set(c, intf, direction, type); });
}

uint32_t zel_ip_interface_filter_set(zel_module_t *module, void *intf, uint32_t direction,
                                     zel_ip_rule_set_handle_t rule_set) {
    return with_module(module, __func__, [&](Call &c) { return filter_set(c, intf, direction, rule_set, true); });
}

uint32_t zel_ip_interface_filter_clear(zel_module_t *module, void *intf, uint32_t direction,
                                       zel_ip_rule_set_handle_t rule_set) {
    return with_module(module, __func__, [&](Call &c) { return filter_set(c, intf, direction, rule_set, false); });
}

uint32_t zel_ip_interface_priority_map_profile_config(zel_module_t *module, void *intf, uint32_t direction,
                                                      uint32_t profile_id) {
    return with_module(module, __func__, [&](Call &c) { return priority_map(c, intf, direction, profile_id); });
}

uint32_t zel_ip_interface_ingress_policing_set(zel_module_t *module, void *intf, const zel_ip_policing_req_t *req) {
    return with_module(module, __func__, [&](Call &c) { return policing_set(c, intf, req); });
}

uint32_t zel_ip_interface_mtu_set(zel_module_t *module, zel_ip_intf_handle_t intf, uint32_t mtu) {
    return with_module(module, __func__, [&](Call &c) { return mtu_set(c, intf, mtu); });
}

uint32_t zel_ip_sip_addr_filter_add(zel_module_t *module, zel_ip_vrd_handle_t vrd, const uint32_t addr[2],
                                    uint32_t type) {
    return with_module(module, __func__, [&](Call &c) { return sip_filter(c, vrd, addr, type, true); });
}

uint32_t zel_ip_sip_addr_filter_rem(zel_module_t *module, zel_ip_vrd_handle_t vrd, const uint32_t addr[2]) {
    return with_module(module, __func__, [&](Call &c) { return sip_filter(c, vrd, addr, 0, false); });
}

}  // extern "C"
