// Commands about policy-based routing: policy sets and rules by name,
// action changes, commits, where a set applies, and what a packet gets
// (read back from the engine: the interface or domain entry, the policy
// set as last committed, the rule's action entry).
#include <cstdio>
#include <string>

#include "cli.h"
#include "cmd_route_view.h"
#include "tree/zel_ip_hw_catalogue.h"
#include "tree/zel_ip_layout_filter.h"
#include "tree/zel_ip_layout_intf.h"
#include "tree/zel_ip_layout_route.h"

namespace zcli {

namespace lay = zel::ip::layout;

namespace {

// ---- sets -------------------------------------------------------------------

Result set_create(Session &s, const Parsed &p) {
    zel_ip_policy_set_handle_t h = nullptr;
    Result r = s.check(zel_ip_pbr_policy_set_create(s.module(), &h));
    if (r == Result::kOk) s.define(p.word("name"), ObjType::kPolicySet, h);
    return r;
}

Result set_delete(Session &s, const Parsed &p) {
    Result r = s.check(zel_ip_pbr_policy_set_delete(s.module(), static_cast<zel_ip_policy_set_handle_t>(p.object("set"))));
    if (r == Result::kOk) s.forget(p.word("set"));
    return r;
}

// ---- rules ------------------------------------------------------------------

// The action options of `pbr rule create` and `pbr rule action`.
zel_ip_pbr_action_t action_of(const Parsed &p) {
    zel_ip_pbr_action_t a{};
    a.dip_based_routing = p.has("dip-routing") ? 1 : 0;
    if (p.has("via")) {
        a.next_hop = p.u32("via");
        a.egress_intf = p.object("via", 1);
    }
    if (p.has("tunnel")) a.egress_intf = p.object("tunnel");
    a.local_termination = p.has("local") ? 1 : 0;
    a.assoc_mask = static_cast<uint16_t>(p.u32_or("mask", 0));
    a.reassembly = p.has("defrag") ? 1 : 0;
    return a;
}

std::vector<Option> action_options() {
    return {opt({"via"}, {addr("a", "next hop"), object("dev", "egress interface", {ObjType::kInterface})},
                "to next hop <a> out of IPoE interface <dev>")
                .in_group("action"),
            opt({"tunnel"}, {object("name", "tunnel", {ObjType::kTunnel})}, "into an IP tunnel interface")
                .in_group("action"),
            flag({"dip-routing"}, "route by destination after all").in_group("action"),
            flag({"local"}, "terminate locally (with via or tunnel)"),
            opt({"mask"}, {number("m", "ingress association mask", 0, 0xffff)},
                "with local: the fields of the association lookup (left out: destination only)"),
            flag({"defrag"}, "with local: reassemble first")};
}

Option range_opt(const char *key, const char *label, uint32_t max, const char *help) {
    return opt({key}, {number("lo", std::string(label) + " low", 0, max), number("hi", std::string(label) + " high", 0, max)},
               help);
}

Result rule_create(Session &s, const Parsed &p) {
    zel_ip_pbr_rule_t r{};
    r.policy_set = static_cast<zel_ip_policy_set_handle_t>(p.object("set"));
    auto range = [&](const char *key, uint32_t bit, uint32_t &lo, uint32_t &hi) {
        if (!p.has(key)) return;
        r.mask |= bit;
        lo = p.u32(key, 0);
        hi = p.u32(key, 1);
    };
    range("pcp", ZEL_IP_PBR_MASK_PCP, r.pcp_low, r.pcp_high);
    range("dscp", ZEL_IP_PBR_MASK_DSCP, r.dscp_low, r.dscp_high);
    range("proto", ZEL_IP_PBR_MASK_PROTO, r.proto_low, r.proto_high);
    range("sport", ZEL_IP_PBR_MASK_SPORT, r.sport_low, r.sport_high);
    range("dport", ZEL_IP_PBR_MASK_DPORT, r.dport_low, r.dport_high);
    if (p.has("frag")) r.mask |= ZEL_IP_PBR_MASK_FRAG, r.frag_type = p.u32("frag");
    if (p.has("src")) r.mask |= ZEL_IP_PBR_MASK_SIP, std::tie(r.src_addr, r.src_prefix_len) = p.prefix("src");
    if (p.has("dst")) r.mask |= ZEL_IP_PBR_MASK_DIP, std::tie(r.dest_addr, r.dest_prefix_len) = p.prefix("dst");
    r.action = action_of(p);
    zel_ip_flow_handle_t h = nullptr;
    Result res = s.check(zel_ip_pbr_entry_create(s.module(), p.u32("index"), &r, &h));
    if (res == Result::kOk) s.define(p.word("name"), ObjType::kPbrRule, h);
    return res;
}

Result rule_delete(Session &s, const Parsed &p) {
    Result r = s.check(zel_ip_pbr_entry_delete(s.module(), p.u32("index"), static_cast<zel_ip_flow_handle_t>(p.object("rule"))));
    if (r == Result::kOk) s.forget(p.word("rule"));
    return r;
}

Result rule_action(Session &s, const Parsed &p) {
    const zel_ip_pbr_action_t a = action_of(p);
    return s.check(zel_ip_pbr_rule_action_modify(s.module(), static_cast<zel_ip_flow_handle_t>(p.object("rule")), &a));
}

// ---- commit and where a set applies ----------------------------------------------

Result commit(Session &s, const Parsed &p) {
    return s.check(zel_ip_pbr_commit(s.module(), ZEL_IP_PBR_COMMIT_SET,
                                     static_cast<zel_ip_policy_set_handle_t>(p.object("set"))));
}

Result commit_all(Session &s, const Parsed &) {
    return s.check(zel_ip_pbr_commit(s.module(), ZEL_IP_PBR_COMMIT_ALL, nullptr));
}

// The VRD ID of `vrd <name>` / `vrd-id <n>`, or false (usage reported).
bool target_vrd(Session &s, const Parsed &p, uint32_t &vrd_id) {
    if (p.has("vrd-id")) {
        vrd_id = p.u32("vrd-id");
        return true;
    }
    vrd_id = kDefaultVrdId;
    if (p.object("vrd") && !zel_ipv4_vrd_valid_handle(p.object("vrd"), &vrd_id)) {
        s.usage_error("routing domain: the domain was deleted");
        return false;
    }
    return true;
}

std::vector<Option> target_options(const char *what) {
    return {opt({"dev"}, {object("name", "interface", {ObjType::kInterface, ObjType::kTunnel})},
                std::string("the packets received on an IPoE or tunnel interface") + what)
                .in_group("target"),
            opt({"vrd", "vrf"}, {object("name", "routing domain", {ObjType::kVrd}, true)},
                std::string("the locally originated packets of a domain") + what)
                .in_group("target"),
            opt({"vrd-id"}, {number("id", "VRD ID", 0, UINT32_MAX)}, "the same by VRD ID").in_group("target"),
            flag({"local"}, std::string("the locally originated packets of every other domain") + what)
                .in_group("target")};
}

bool has_target(Session &s, const Parsed &p) {
    if (p.has("dev") || p.has("vrd") || p.has("vrd-id") || p.has("local")) return true;
    s.usage_error("say where: dev <interface>, vrd <name>, vrd-id <n> or local");
    return false;
}

Result apply(Session &s, const Parsed &p) {
    if (!has_target(s, p)) return Result::kUsage;
    auto *set = static_cast<zel_ip_policy_set_handle_t>(p.object("set"));
    if (p.has("dev")) return s.check(zel_ip_pbr_config(s.module(), p.object("dev"), set));
    if (p.has("local")) return s.check(zel_ip_pbr_config(s.module(), nullptr, set));
    uint32_t vrd_id = 0;
    if (!target_vrd(s, p, vrd_id)) return Result::kUsage;
    return s.check(zel_ip_vrd_pbr_config(s.module(), vrd_id, set));
}

// ---- query -------------------------------------------------------------------------

bool engine_tree(Session &s, uint32_t tree, uint32_t &id) {
    if (zel_sim_engine_symbol_id(zel_sim_engine(s.sim()), zel::ip::kTreeCatalogue[tree].name, &id) == 0) return true;
    s.usage_error(std::string("the engine has no tree ") + zel::ip::kTreeCatalogue[tree].name);
    return false;
}

bool lookup1(Session &s, uint32_t tree, uint32_t value, uint32_t width, hwe_action_t &a) {
    uint32_t id = 0;
    if (!engine_tree(s, tree, id)) return false;
    uint32_t depth = 0;
    return zel_sim_engine_lookup_fields(zel_sim_engine(s.sim()), id, 1, &value, &width, &a, &depth) == 0;
}

uint32_t catch_all_w1(void *ctx, const zel_ptn_t *key, const hwe_action_t *value) {
    if (key->len == 0) *static_cast<hwe_action_t *>(ctx) = *value;
    return 0;
}

// The policy set id the packet's origin applies (0: none), and a word
// naming the origin.
bool origin_set(Session &s, const Parsed &p, uint32_t &set_id, std::string &where) {
    hwe_action_t a{};
    if (p.has("dev")) {
        const auto *hdr = static_cast<const zel_obj_header_t *>(p.object("dev"));
        where = "dev " + p.word("dev");
        if (!lookup1(s, zel::ip::kTreeIntfIngressFlags, hdr->intf_id, lay::kIntfIdBits, a)) return false;
        const bool on = lay::intf_ingress::decode(a).pbr;
        if (!lookup1(s, zel::ip::kTreeIntfFilterRuleSet, hdr->intf_id, lay::kIntfIdBits, a)) return false;
        set_id = on ? lay::intf_rule_set::decode(a).pbr_policy_set : 0;
        return true;
    }
    if (p.has("local")) {
        where = "local";
        uint32_t id = 0;
        if (!engine_tree(s, zel::ip::kTreeLoPbrPolicySet, id)) return false;
        a = {};
        zel_sim_engine_list_entries(zel_sim_engine(s.sim()), id, catch_all_w1, &a);
    } else {
        uint32_t vrd_id = 0;
        if (!target_vrd(s, p, vrd_id)) return false;
        where = "vrd-id " + std::to_string(vrd_id);
        if (!lookup1(s, zel::ip::kTreeLoPbrPolicySet, vrd_id, lay::kVrdIdBits, a)) return false;
    }
    const lay::lo_pbr::Value v = lay::lo_pbr::decode(a);
    set_id = v.enabled ? v.policy_set : 0;
    return true;
}

std::string action_text(Session &s, const hwe_action_t &a) {
    const lay::pbr_action::Value v = lay::pbr_action::decode(a);
    switch (v.kind) {
        case lay::pbr_action::Kind::kDipBasedRouting: return "dip-routing";
        case lay::pbr_action::Kind::kViaNextHop: return "via " + ipv4_text(v.next_hop);
        case lay::pbr_action::Kind::kViaTunnel: {
            const std::string n = intf_name(s, v.intf_id);
            return "tunnel " + (n.empty() ? "intf-id " + std::to_string(v.intf_id) : n);
        }
        case lay::pbr_action::Kind::kLocallyTerminating: {
            std::string t = "local";
            if (v.assoc_mask) t += " classify " + assoc_words(v.assoc_mask);
            if (v.defrag) t += " defrag";
            return t;
        }
    }
    return "?";
}

Result query(Session &s, const Parsed &p) {
    if (!has_target(s, p)) return Result::kUsage;
    uint32_t set_id = 0;
    std::string where;
    if (!origin_set(s, p, set_id, where)) return Result::kUsage;
    if (set_id == 0) {
        std::printf("%s: no policy set: route by destination\n", where.c_str());
        return Result::kOk;
    }
    uint32_t tree = 0;
    if (!engine_tree(s, zel::ip::kTreePbr, tree)) return Result::kUsage;
    const uint32_t v[] = {set_id,
                          p.u32_or("pcp", 0),
                          p.u32_or("dscp", 0) << 2,
                          p.u32_or("frag", 0),
                          p.u32_or("proto", 0),
                          p.u32_or("src", 0),
                          p.u32_or("dst", 0),
                          p.u32_or("sport", 0),
                          p.u32_or("dport", 0)};
    hwe_action_t hit{};
    uint32_t idx = 0;
    if (uint32_t st = zel_sim_engine_classify(zel_sim_engine(s.sim()), tree, 9, v, &hit, &idx)) return s.check(st);
    if (idx == ZEL_SIM_NO_RULE) {
        std::printf("%s: policy set %u, no rule matches: route by destination\n", where.c_str(), set_id);
        return Result::kOk;
    }
    const uint32_t rule_id = lay::pbr::rule_id(hit);
    std::string name;
    for (const auto &[n, o] : s.objects())
        if (o.type == ObjType::kPbrRule && static_cast<const zel_flow_header_t *>(o.handle)->ns_id == rule_id) name = n;
    hwe_action_t act{};
    if (!lookup1(s, zel::ip::kTreePbrAction, rule_id & 0xfff, lay::key_layout(zel::ip::kTreePbrAction).width, act))
        return Result::kUsage;
    std::printf("%s: policy set %u, rule %u%s%s: %s\n", where.c_str(), set_id, idx, name.empty() ? "" : " ",
                name.c_str(), action_text(s, act).c_str());
    return Result::kOk;
}

Value set_value(const char *name = "set") { return object(name, "policy set", {ObjType::kPolicySet}); }
Value rule_value() { return object("rule", "policy rule", {ObjType::kPbrRule}); }

Spec rule_create_spec() {
    Spec sp{{new_name("name")},
            {opt({"set"}, {set_value("s")}, "the policy set").required(),
             opt({"index"}, {number("n", "rule index", 0, UINT32_MAX)}, "the position in the set (lower first)").required(),
             range_opt("pcp", "PCP", 7, "VLAN priority range"),
             range_opt("dscp", "DSCP", 63, "DSCP range"),
             opt({"frag"}, {number("t", "fragment type", 0, 4)},
                 "0 unfragmented, 1 not a later fragment, 2 any fragment, 3 first, 4 later fragments"),
             range_opt("proto", "protocol", 0xff, "IP protocol range"),
             opt({"src"}, {if_addr("a", "source prefix")}, "source address/length"),
             opt({"dst"}, {if_addr("a", "destination prefix")}, "destination address/length"),
             range_opt("sport", "source port", 0xffff, "source port range"),
             range_opt("dport", "destination port", 0xffff, "destination port range")}};
    for (Option &o : action_options()) sp.options.push_back(o);
    return sp;
}

Spec action_spec() {
    Spec sp{{rule_value()}, {}};
    for (Option &o : action_options()) sp.options.push_back(o);
    return sp;
}

Spec query_spec() {
    Spec sp{{}, target_options("")};
    const std::vector<Option> fields = {
        opt({"pcp"}, {number("n", "PCP", 0, 7)}, "VLAN priority (left out: 0)"),
        opt({"dscp"}, {number("n", "DSCP", 0, 63)}, "DSCP (left out: 0)"),
        opt({"frag"}, {number("c", "fragment class", 0, 3)}, "fragment class 0 to 3 (left out: 0)"),
        opt({"proto"}, {number("n", "protocol", 0, 0xff)}, "IP protocol (left out: 0)"),
        opt({"src"}, {addr("a", "source address")}, "source address (left out: 0.0.0.0)"),
        opt({"dst"}, {addr("a", "destination address")}, "destination address (left out: 0.0.0.0)"),
        opt({"sport"}, {number("n", "source port", 0, 0xffff)}, "source port (left out: 0)"),
        opt({"dport"}, {number("n", "destination port", 0, 0xffff)}, "destination port (left out: 0)")};
    sp.options.insert(sp.options.end(), fields.begin(), fields.end());
    return sp;
}

Spec apply_spec() {
    Spec sp{{}, target_options(" (one of dev, vrd, vrd-id, local)")};
    sp.options.push_back(opt({"set"}, {object("s", "policy set", {ObjType::kPolicySet}, true)},
                             "the policy set, or none to remove it")
                             .required());
    return sp;
}

ZEL_CLI_COMMANDS(
    {"pbr set create", {{new_name("name")}, {}}, "create a policy set (zel_ip_pbr_policy_set_create)", set_create},
    {"pbr set delete", {{set_value()}, {}}, "delete a policy set (zel_ip_pbr_policy_set_delete)", set_delete},
    {"pbr rule create", rule_create_spec(),
     "create a policy rule; it matches after the next commit of its set (zel_ip_pbr_entry_create)", rule_create},
    {"pbr rule delete",
     {{rule_value()},
      {opt({"index"}, {number("n", "rule index", 0, UINT32_MAX)}, "the rule's position").required()}},
     "delete a policy rule; it stops matching after the next commit (zel_ip_pbr_entry_delete)", rule_delete},
    {"pbr rule action", action_spec(), "change a rule's action, at once (zel_ip_pbr_rule_action_modify)",
     rule_action},
    {"pbr commit", {{set_value()}, {}}, "build a policy set (zel_ip_pbr_commit mode 0)", commit},
    {"pbr commit all", {{}, {}}, "rebuild every policy set (zel_ip_pbr_commit mode 1)", commit_all},
    {"pbr apply", apply_spec(),
     "apply a policy set to an interface, a domain's or every domain's local traffic (zel_ip_pbr_config, "
     "zel_ip_vrd_pbr_config)",
     apply},
    {"pbr query", query_spec(),
     "which policy rule and action a packet gets (as last committed) on an interface, in a domain, or locally",
     query});

}  // namespace
}  // namespace zcli
