// Commands about extended ACL filters: rule sets and their rules by name,
// the staged commit, and what the engine answers for a packet against a
// set as it stands (before and after a commit).
//
// A rule is named by its set and index ("acl rule delete web 10"); the
// tool keeps the handle under the name "<set>.<index>".
#include <cstdio>
#include <optional>
#include <string>

#include "cli.h"
#include "filter/zel_ip_filter_pvt.h"
#include "tree/zel_ip_layout_filter.h"
#include "tree/zel_ip_tree.h"
#include "zel_sim_engine.h"

namespace zcli {
namespace {

namespace lf = zel::ip::layout::filter;

std::string rule_name(const Parsed &p) { return p.word("set") + "." + std::to_string(p.u32("index")); }

// "a" or "a-b" within 0..max.
std::optional<std::pair<uint32_t, uint32_t>> range_of(Session &s, const std::string &what, const std::string &w,
                                                      uint32_t max) {
    const size_t dash = w.find('-');
    const auto lo = parse_u32(w.substr(0, dash));
    const auto hi = dash == std::string::npos ? lo : parse_u32(w.substr(dash + 1));
    if (!lo || !hi || *lo > max || *hi > max || *lo > *hi) {
        s.usage_error(what + ": '" + w + "' is not a range n or n-m within 0-" + std::to_string(max));
        return std::nullopt;
    }
    return std::pair{*lo, *hi};
}

// The action words of add and modify.
zel_ip_filter_action_t action_of(const Parsed &p) {
    zel_ip_filter_action_t a{};
    a.type = p.has("allow") ? ZEL_IP_FILTER_ALLOW : p.has("cpu") ? ZEL_IP_FILTER_CPU : ZEL_IP_FILTER_DENY;
    if (p.has("cpu")) {
        a.cpu_kind = p.word("cpu", 0) == "nca" ? ZEL_IP_CPU_PATH_NCA : 1;
        a.cpu_target = p.u32("cpu", 1);
        a.cpu_cb_fn_id = static_cast<uint8_t>(p.u32_or("cpu.cb", 0));
    }
    a.context_flow_id = p.u32_or("ctx", 0);
    a.mtm_queue = p.object("queue");
    a.dscp_cpu_queue = p.has("dscp-queue") ? 1 : 0;
    a.count = p.has("count") ? 1 : 0;
    if (p.has("police")) {
        a.police = 1;
        a.policer = p.object("police");
    }
    if (p.has("dscp-remap")) {
        a.dscp_remap = 1;
        a.new_dscp = static_cast<uint8_t>(p.u32("dscp-remap"));
    }
    return a;
}

Result set_create(Session &s, const Parsed &p) {
    zel_ip_rule_set_handle_t h = nullptr;
    Result r = s.check(zel_ip_filter_rule_set_create(s.module(), &h));
    if (r == Result::kOk) s.define(p.word("name"), ObjType::kRuleSet, h);
    return r;
}

Result set_delete(Session &s, const Parsed &p) {
    Result r = s.check(
        zel_ip_filter_rule_set_delete(s.module(), static_cast<zel_ip_rule_set_handle_t>(p.object("set"))));
    if (r == Result::kOk) s.forget(p.word("set"));
    return r;
}

// acl rule add <set> <index> [fields] allow|deny|cpu ... [options]
Result rule_add(Session &s, const Parsed &p) {
    zel_ip_filter_rule_t f{};
    struct RangeField {
        const char *key;
        uint32_t mask, max;
        uint32_t *lo, *hi;
    };
    const RangeField ranges[] = {
        {"proto", ZEL_IP_FILTER_PROTO, 255, &f.proto_lo, &f.proto_hi},
        {"dscp", ZEL_IP_FILTER_DSCP, 63, &f.dscp_lo, &f.dscp_hi},
        {"sport", ZEL_IP_FILTER_SPORT | ZEL_IP_FILTER_PROTO_INFO, 65535, &f.sport_lo, &f.sport_hi},
        {"dport", ZEL_IP_FILTER_DPORT | ZEL_IP_FILTER_PROTO_INFO, 65535, &f.dport_lo, &f.dport_hi},
    };
    for (const RangeField &r : ranges) {
        if (!p.has(r.key)) continue;
        const auto v = range_of(s, r.key, p.word(r.key), r.max);
        if (!v) return Result::kUsage;
        f.mask |= r.mask;
        std::tie(*r.lo, *r.hi) = *v;
    }
    if (p.has("dst")) {
        f.mask |= ZEL_IP_FILTER_DIP;
        std::tie(f.dip, f.dip_prefix_len) = p.prefix("dst");
    }
    if (p.has("src")) {
        f.mask |= ZEL_IP_FILTER_SIP;
        std::tie(f.sip, f.sip_prefix_len) = p.prefix("src");
    }
    if (p.has("frag")) {
        f.mask |= ZEL_IP_FILTER_FRAG;
        f.frag_type = p.u32("frag");
    }
    const zel_ip_filter_action_t a = action_of(p);
    zel_ip_flow_handle_t h = nullptr;
    Result r = s.check(zel_ip_filter_rule_add(s.module(), static_cast<zel_ip_rule_set_handle_t>(p.object("set")),
                                              p.u32("index"), &f, &a, &h));
    if (r == Result::kOk) s.define(rule_name(p), ObjType::kFlow, h);
    return r;
}

// The rule named by <set> <index>, or NULL (usage error reported).
zel_ip_flow_handle_t rule_of(Session &s, const Parsed &p) {
    const NamedObject *o = s.find(rule_name(p));
    if (!o || o->type != ObjType::kFlow) {
        s.usage_error("no rule " + std::to_string(p.u32("index")) + " in rule set '" + p.word("set") + "'");
        return nullptr;
    }
    return static_cast<zel_ip_flow_handle_t>(o->handle);
}

Result rule_delete(Session &s, const Parsed &p) {
    zel_ip_flow_handle_t h = rule_of(s, p);
    if (!h) return Result::kUsage;
    Result r = s.check(zel_ip_filter_rule_delete(s.module(), p.u32("index"), h));
    if (r == Result::kOk) s.forget(rule_name(p));
    return r;
}

Result rule_modify(Session &s, const Parsed &p) {
    zel_ip_flow_handle_t h = rule_of(s, p);
    if (!h) return Result::kUsage;
    const zel_ip_filter_action_t a = action_of(p);
    return s.check(zel_ip_filter_rule_action_modify(s.module(), p.u32("index"), h, &a));
}

// acl commit <set> | acl commit all
Result commit(Session &s, const Parsed &p) {
    if (p.word("set") == "all") return s.check(zel_ip_filter_set_commit(s.module(), ZEL_IP_COMMIT_ALL, nullptr));
    const NamedObject *o = s.find(p.word("set"));
    if (!o || o->type != ObjType::kRuleSet) {
        s.usage_error("rule set: '" + p.word("set") + "' is not a rule set (or all)");
        return Result::kUsage;
    }
    return s.check(zel_ip_filter_set_commit(s.module(), ZEL_IP_COMMIT_SET,
                                            static_cast<zel_ip_rule_set_handle_t>(o->handle)));
}

const char *action_word(lf::Action a) {
    switch (a) {
    case lf::Action::kAllow: return "allow";
    case lf::Action::kSendToCpu: return "cpu";
    default: return "deny";
    }
}

// acl classify <set> [proto n] [src a] [dst a] [dscp n] [frag c] [sport n] [dport n]
Result classify(Session &s, const Parsed &p) {
    const uint32_t id = zel::ip::rule_set_id_of(p.object("set"));
    uint32_t tree = 0;
    zel_sim_engine_symbol_id(zel_sim_engine(s.sim()), "zel_ip.ip_ext_filter", &tree);
    const uint32_t v[8] = {id,
                           p.u32_or("dscp", 0) << 2,
                           p.u32_or("frag", 0),
                           p.u32_or("proto", 0),
                           p.u32_or("src", 0),
                           p.u32_or("dst", 0),
                           p.u32_or("sport", 0),
                           p.u32_or("dport", 0)};
    hwe_action_t a{};
    uint32_t idx = 0;
    if (zel_sim_engine_classify(zel_sim_engine(s.sim()), tree, 8, v, &a, &idx) != 0) {
        s.usage_error("the engine cannot classify against '" + p.word("set") + "'");
        return Result::kUsage;
    }
    if (idx == ZEL_SIM_NO_RULE) {
        std::printf("acl %s: no rule (the default action)\n", p.word("set").c_str());
        return Result::kOk;
    }
    const lf::Value d = lf::decode(a);
    std::string extra;
    if (d.counter) extra += " count";
    if (d.policing) extra += " police";
    if (d.action == lf::Action::kSendToCpu) extra += d.via_nca ? " nca" : " ph";
    if (d.dscp_remap) extra += " dscp-remap " + std::to_string(d.assigned_dscp);
    std::printf("acl %s: rule %u %s%s (FLOW-ID 0x%06x, RULE-KEY %u)\n", p.word("set").c_str(), idx,
                action_word(d.action), extra.c_str(), d.flow_id, d.rule_key);
    return Result::kOk;
}

Value set_value() { return object("set", "rule set", {ObjType::kRuleSet}); }
Value index_value() { return number("index", "rule index", 0, UINT32_MAX); }

// The action options of add and modify.
std::vector<Option> action_options() {
    return {
        flag({"allow"}, "let matching packets pass").required().in_group("action"),
        flag({"deny"}, "drop matching packets").required().in_group("action"),
        opt({"cpu"}, {keyword("via", {"nca", "ph"}), number("target", "NCA queue id or PH bind handle", 0, UINT32_MAX)},
            "send matching packets to the CPU through an NCA queue or a PH bind handle")
            .required()
            .in_group("action")
            .then({opt({"cb"}, {number("n", "callback function id", 0, 0xff)}, "ph: the callback function")}),
        opt({"ctx"}, {number("flow-id", "context flow id", 0, UINT32_MAX)},
            "cpu: the context flow delivered packets carry (default: the rule's flow key)"),
        opt({"queue"}, {object("q", "queue", {ObjType::kQueue})}, "cpu: pass this traffic-manager queue"),
        flag({"dscp-queue"}, "cpu: the queue comes from the CPU DSCP map"),
        flag({"count"}, "count matching packets"),
        opt({"police"}, {object("policer", "policer", {ObjType::kPolicer})}, "police matching packets"),
        opt({"dscp-remap"}, {number("d", "DSCP", 0, 63)}, "rewrite the DSCP of matching packets"),
    };
}

std::vector<Option> rule_add_options() {
    std::vector<Option> o = {
        opt({"proto"}, {word("a-b", "protocol range")}, "match the protocol (range a-b)"),
        opt({"dst"}, {prefix("a/p", "destination")}, "match the destination prefix"),
        opt({"src"}, {prefix("a/p", "source")}, "match the source prefix"),
        opt({"dscp"}, {word("a-b", "DSCP range")}, "match the DSCP (range a-b, 0-63)"),
        opt({"frag"}, {number("t", "fragment type", 0, UINT32_MAX)}, "match the fragment type 0 to 4"),
        opt({"sport"}, {word("a-b", "source port range")}, "match the source port or ICMP/IGMP type (one protocol)"),
        opt({"dport"}, {word("a-b", "destination port range")}, "match the destination port or ICMP code"),
    };
    for (Option &a : action_options()) o.push_back(a);
    return o;
}

ZEL_CLI_COMMANDS(
    {"acl create", {{new_name("name")}, {}}, "create an extended ACL rule set (zel_ip_filter_rule_set_create)",
     set_create},
    {"acl delete", {{set_value()}, {}}, "delete a rule set (zel_ip_filter_rule_set_delete)", set_delete},
    {"acl rule add", {{set_value(), index_value()}, rule_add_options()},
     "add a rule at <index> of a set, effective at its commit (zel_ip_filter_rule_add)", rule_add},
    {"acl rule delete", {{set_value(), index_value()}, {}},
     "delete the rule at <index> of a set, effective at its commit (zel_ip_filter_rule_delete)", rule_delete},
    {"acl rule modify", {{set_value(), index_value()}, action_options()},
     "replace the action of a rule, effective at its commit (zel_ip_filter_rule_action_modify)", rule_modify},
    {"acl commit", {{word("set", "rule set or all")}, {}},
     "compile a rule set, or rebuild all (zel_ip_filter_set_commit)", commit},
    {"acl classify",
     {{set_value()},
      {opt({"proto"}, {number("n", "protocol", 0, 255)}, "the packet's protocol"),
       opt({"src"}, {addr("a", "source address")}, "its source address"),
       opt({"dst"}, {addr("a", "destination address")}, "its destination address"),
       opt({"dscp"}, {number("n", "DSCP", 0, 63)}, "its DSCP"),
       opt({"frag"}, {number("c", "fragment class", 0, 3)}, "its fragment class"),
       opt({"sport"}, {number("n", "source port", 0, 65535)}, "its source port or ICMP/IGMP type"),
       opt({"dport"}, {number("n", "destination port", 0, 65535)}, "its destination port or ICMP code")}},
     "the rule and action the engine applies to a packet in a set now", classify});

}  // namespace
}  // namespace zcli
