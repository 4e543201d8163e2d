// Commands about association flow filters: rules added to an ingress
// association by its name, deleted, committed, and what a packet of an
// association meets in tree 35 (`classify assoc`).
#include <cstdio>
#include <map>
#include <string>

#include "cli.h"
#include "tree/zel_ip_hw_catalogue.h"
#include "tree/zel_ip_layout_filter.h"

namespace zcli {

namespace {

// The index each rule was added with, by handle: the delete names it again.
std::map<const void *, uint32_t> &rule_indexes() {
    static std::map<const void *, uint32_t> idx;
    return idx;
}

uint32_t flow_id_of(const void *flow) { return static_cast<const zel_flow_header_t *>(flow)->ns_id; }

// assoc filter add <rule> <assoc> <idx> pass|drop [l2 <l2>] [proto <n>] [sip <a/p>] [dip <a/p>]
Result filter_add(Session &s, const Parsed &p) {
    zel_ip_assoc_flow_filter_rule_t r{};
    if (p.has("l2")) {
        r.mask |= ZEL_IP_AFF_L2_INTF;
        r.l2_intf = static_cast<const zel_obj_header_t *>(p.object("l2"));
    }
    if (p.has("proto")) {
        r.mask |= ZEL_IP_AFF_PROTO;
        r.proto = p.u32("proto");
    }
    if (p.has("sip")) {
        r.mask |= ZEL_IP_AFF_SIP;
        std::tie(r.sip, r.sip_prefix_len) = p.prefix("sip");
    }
    if (p.has("dip")) {
        r.mask |= ZEL_IP_AFF_DIP;
        std::tie(r.dip, r.dip_prefix_len) = p.prefix("dip");
    }
    const uint32_t action = p.word("action") == "drop" ? ZEL_IP_AFF_DROP : ZEL_IP_AFF_PASS;
    const uint32_t idx = p.u32("idx");
    zel_ip_flow_handle_t h = nullptr;
    Result res = s.check(zel_ip_assoc_flow_filter_rule_add(
        s.module(), static_cast<zel_ip_flow_handle_t>(p.object("assoc")), idx, &r, action, &h));
    if (res == Result::kOk) {
        s.define(p.word("name"), ObjType::kFlow, h);
        rule_indexes()[h] = idx;
    }
    return res;
}

Result filter_delete(Session &s, const Parsed &p) {
    void *h = p.object("rule");
    auto it = rule_indexes().find(h);
    const uint32_t idx = p.has("index") ? p.u32("index") : it == rule_indexes().end() ? 0 : it->second;
    Result res = s.check(zel_ip_assoc_flow_filter_rule_delete(s.module(), idx, static_cast<zel_ip_flow_handle_t>(h)));
    if (res == Result::kOk) {
        s.forget(p.word("rule"));
        rule_indexes().erase(h);
    }
    return res;
}

Result filter_commit(Session &s, const Parsed &p) {
    return s.check(zel_ip_assoc_flow_filter_commit(s.module(), static_cast<zel_ip_flow_handle_t>(p.object("assoc"))));
}

// classify assoc <assoc> [l2 <l2>] [proto <n>] [sip <a>] [dip <a>]
Result classify_assoc(Session &s, const Parsed &p) {
    namespace lay = zel::ip::layout;
    hwe_engine_t *eng = zel_sim_engine(s.sim());
    const uint32_t tree = zel::ip::kTreeAssocFlowFilter;
    uint32_t tree_id = 0;
    if (zel_sim_engine_symbol_id(eng, zel::ip::kTreeCatalogue[tree].name, &tree_id) != 0) {
        s.usage_error("the engine has no association flow filter tree");
        return Result::kUsage;
    }
    const void *assoc = p.object("assoc");
    const uint32_t l2 = p.has("l2") ? static_cast<const zel_obj_header_t *>(p.object("l2"))->intf_id : 0;
    const uint32_t values[] = {flow_id_of(assoc), l2, p.u32_or("proto", 0), p.u32_or("sip", 0), p.u32_or("dip", 0)};
    hwe_action_t a{};
    uint32_t idx = 0;
    if (uint32_t st = zel_sim_engine_classify(eng, tree_id, 5, values, &a, &idx)) return s.check(st);
    const char *verdict = lay::assoc_filter::drops(a) ? "drop" : "pass";
    if (idx == ZEL_SIM_NO_RULE)
        std::printf("tree %u: association %s: no rule (the default: %s)\n", tree, p.word("assoc").c_str(), verdict);
    else
        std::printf("tree %u: association %s: rule %u (%s)\n", tree, p.word("assoc").c_str(), idx, verdict);
    return Result::kOk;
}

}  // namespace

ZEL_CLI_COMMANDS(
    {"assoc filter add",
     {{new_name("name"), object("assoc", "association", {ObjType::kAssoc}), number("idx", "rule index", 0, UINT32_MAX),
       keyword("action", {"pass", "drop"})},
      {opt({"l2"}, {object("l2", "layer-2 interface", {ObjType::kL2})}, "match the Layer-2 interface (0x01)"),
       opt({"proto"}, {number("n", "protocol", 0, 255)}, "match the IP protocol (0x40)"),
       opt({"sip"}, {prefix("a/p", "source")}, "match the source prefix (0x08)"),
       opt({"dip"}, {prefix("a/p", "destination")}, "match the destination prefix (0x04)")}},
     "add a pass or drop rule to an association's flow filter (zel_ip_assoc_flow_filter_rule_add)", filter_add},
    {"assoc filter delete",
     {{object("rule", "association filter rule", {ObjType::kFlow})},
      {opt({"index"}, {number("n", "rule index", 0, UINT32_MAX)}, "the rule index to give (default: the rule's)")}},
     "delete an association flow filter rule (zel_ip_assoc_flow_filter_rule_delete)", filter_delete},
    {"assoc filter commit", {{object("assoc", "association", {ObjType::kAssoc})}, {}},
     "make an association's packets see its flow filter rules (zel_ip_assoc_flow_filter_commit)", filter_commit},
    {"classify assoc",
     {{object("assoc", "association", {ObjType::kAssoc})},
      {opt({"l2"}, {object("l2", "layer-2 interface", {ObjType::kL2})}, "the Layer-2 interface it came in on"),
       opt({"proto"}, {number("n", "protocol", 0, 255)}, "its IP protocol"),
       opt({"sip"}, {addr("a", "source")}, "its source address"),
       opt({"dip"}, {addr("a", "destination")}, "its destination address")}},
     "show the association flow filter rule (tree 35) a packet of an association meets, as last committed",
     classify_assoc});

}  // namespace zcli
