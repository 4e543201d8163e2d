// Commands about interface attributes, source-address filters and packet
// capture:
//   interface set <intf> up|down|mtu <n>|filter-type in|out none|basic|extended
//                        |acl in|out <set>|acl-clear in|out <set>
//                        |dscp-profile <n>|police on <policer>|police off
//   sip-filter add <a/p> allow|block-fwd|block-all [vrd <name>]
//   sip-filter delete <a/p> [vrd <name>]
//   capture start <name> <intf> in|out [queue <q>] [ph <handle>] [cb <n>] [context <n>]
//   capture stop|enable|status <name>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"

namespace zcli {
namespace {

// "in" / "out" as a direction; a usage error otherwise.
std::optional<uint32_t> direction_of(Session &s, const std::string &w) {
    if (w == "in") return ZEL_IP_DIR_INGRESS;
    if (w == "out") return ZEL_IP_DIR_EGRESS;
    s.usage_error("direction: " + quote(w) + " is not in or out");
    return std::nullopt;
}

std::optional<uint32_t> number_word(Session &s, const std::string &w, const char *what, uint32_t max) {
    auto v = parse_u32(w);
    if (!v || *v > max) {
        s.usage_error(std::string(what) + ": " + quote(w) + " is not a number from 0 to " + std::to_string(max));
        return std::nullopt;
    }
    return v;
}

// The words after the attribute name, exactly `n` of them.
bool arity(Session &s, const std::string &what, const std::vector<std::string> &args, size_t n) {
    if (args.size() == n) return true;
    s.usage_error(what + " takes " + std::to_string(n) + (n == 1 ? " value" : " values"));
    return false;
}

// interface set <intf> <attribute> <values...>
Result intf_set(Session &s, const Parsed &p) {
    void *h = p.object("intf");
    const std::string &what = p.word("attr");
    const std::vector<std::string> args = p.words("values");
    zel_module_t *m = s.module();
    if (what == "up" || what == "down") {
        if (!arity(s, what, args, 0)) return Result::kUsage;
        return s.check(zel_ip_interface_status_set(m, h, what == "up" ? ZEL_IP_INTF_UP : 0));
    }
    if (what == "mtu") {
        if (!arity(s, what, args, 1)) return Result::kUsage;
        auto n = number_word(s, args[0], "MTU", UINT32_MAX);
        if (!n) return Result::kUsage;
        return s.check(zel_ip_interface_mtu_set(m, static_cast<zel_ip_intf_handle_t>(h), *n));
    }
    if (what == "filter-type") {
        if (!arity(s, what, args, 2)) return Result::kUsage;
        auto dir = direction_of(s, args[0]);
        if (!dir) return Result::kUsage;
        const std::string &k = args[1];
        if (k != "none" && k != "basic" && k != "extended") {
            s.usage_error("filter type: " + quote(k) + " is not none, basic or extended");
            return Result::kUsage;
        }
        const uint32_t type = k == "basic" ? ZEL_IP_INTF_FILTER_BASIC
                              : k == "extended" ? ZEL_IP_INTF_FILTER_EXTENDED
                                                : ZEL_IP_INTF_FILTER_NONE;
        return s.check(zel_ip_interface_filter_type_set(m, h, *dir, type));
    }
    if (what == "acl" || what == "acl-clear") {
        if (!arity(s, what, args, 2)) return Result::kUsage;
        auto dir = direction_of(s, args[0]);
        if (!dir) return Result::kUsage;
        const NamedObject *o = s.find(args[1]);
        if (!o || o->type != ObjType::kRuleSet) {
            s.usage_error("rule set: no rule set named " + quote(args[1]));
            return Result::kUsage;
        }
        auto rs = static_cast<zel_ip_rule_set_handle_t>(o->handle);
        return s.check(what == "acl" ? zel_ip_interface_filter_set(m, h, *dir, rs)
                                     : zel_ip_interface_filter_clear(m, h, *dir, rs));
    }
    if (what == "dscp-profile") {
        if (!arity(s, what, args, 1)) return Result::kUsage;
        auto n = number_word(s, args[0], "profile", UINT32_MAX);
        if (!n) return Result::kUsage;
        return s.check(zel_ip_interface_priority_map_profile_config(m, h, ZEL_IP_DIR_INGRESS, *n));
    }
    if (what == "police") {
        zel_ip_policing_req_t req{};
        if (args.size() == 1 && args[0] == "off") return s.check(zel_ip_interface_ingress_policing_set(m, h, &req));
        const NamedObject *o = args.size() == 2 && args[0] == "on" ? s.find(args[1]) : nullptr;
        if (!o || o->type != ObjType::kPolicer) {
            s.usage_error(args.size() == 2 && args[0] == "on" ? "policer: no policer named " + quote(args[1])
                                                              : "police takes on <policer> or off");
            return Result::kUsage;
        }
        req.enable = 1;
        req.policer = o->handle;
        return s.check(zel_ip_interface_ingress_policing_set(m, h, &req));
    }
    s.usage_error("attribute: " + quote(what) +
                  " is not up, down, mtu, filter-type, acl, acl-clear, dscp-profile or police");
    return Result::kUsage;
}

Result sip_filter(Session &s, const Parsed &p, bool add) {
    const auto [a, len] = p.prefix("addr");
    const uint32_t ap[2] = {a, len};
    auto vrd = static_cast<zel_ip_vrd_handle_t>(p.object("vrd"));
    if (!add) return s.check(zel_ip_sip_addr_filter_rem(s.module(), vrd, ap));
    const std::string &t = p.word("type");
    const uint32_t type = t == "allow" ? ZEL_IP_SIP_ALLOW : t == "block-fwd" ? ZEL_IP_SIP_BLOCK_FWD : ZEL_IP_SIP_BLOCK_ALL;
    return s.check(zel_ip_sip_addr_filter_add(s.module(), vrd, ap, type));
}

Result capture_start(Session &s, const Parsed &p) {
    zel_ip_capture_params_t c{};
    c.intf = p.object("intf");
    c.direction = p.word("dir") == "in" ? ZEL_IP_DIR_INGRESS : ZEL_IP_DIR_EGRESS;
    c.mtm_queue = p.object("queue");
    c.ph_bind_handle = p.u32_or("ph", 0);
    c.cb_fn_id = static_cast<uint8_t>(p.u32_or("cb", 0));
    c.context_id = p.u32_or("context", 0);
    zel_ip_capture_handle_t h = nullptr;
    Result r = s.check(zel_ip_packet_capture_start(s.module(), &c, &h));
    if (r == Result::kOk) s.define(p.word("name"), ObjType::kCapture, h);
    return r;
}

zel_ip_capture_handle_t capture_of(const Parsed &p) { return static_cast<zel_ip_capture_handle_t>(p.object("cap")); }

Result capture_stop(Session &s, const Parsed &p) {
    Result r = s.check(zel_ip_packet_capture_stop(s.module(), capture_of(p)));
    if (r == Result::kOk) s.forget(p.word("cap"));
    return r;
}

Result capture_status(Session &s, const Parsed &p) {
    uint8_t st = 0;
    Result r = s.check(zel_ip_packet_capture_status_get(s.module(), capture_of(p), &st));
    if (r == Result::kOk)
        std::printf("capture %s: %s\n", p.word("cap").c_str(), st == 1 ? "delivering" : "not delivering");
    return r;
}

Value any_intf() { return object("intf", "interface", {ObjType::kInterface, ObjType::kTunnel}); }
Value capture_value() { return object("cap", "packet capture", {ObjType::kCapture}); }
Option vrd_opt() {
    return opt({"vrd", "vrf"}, {object("name", "routing domain", {ObjType::kVrd}, true)},
               "the routing domain (default or left out: 63)");
}

ZEL_CLI_COMMANDS(
    {"interface set",
     {{any_intf(), keyword("attr", {"up", "down", "mtu", "filter-type", "acl", "acl-clear", "dscp-profile", "police"}),
       rest("values", "value")},
      {}},
     "change an attribute: up, down, mtu <n>, filter-type in|out none|basic|extended, acl in|out <set>, "
     "acl-clear in|out <set>, dscp-profile <0-31>, police on <policer>|off (zel_ip_interface_status_set, "
     "_mtu_set, _filter_type_set, _filter_set, _filter_clear, _priority_map_profile_config, "
     "_ingress_policing_set)",
     intf_set},
    {"sip-filter add",
     {{prefix("addr", "source prefix"), keyword("type", {"allow", "block-fwd", "block-all"})}, {vrd_opt()}},
     "treat sources in a prefix of a domain: allow, block forwarding, or block all (zel_ip_sip_addr_filter_add)",
     [](Session &s, const Parsed &p) { return sip_filter(s, p, true); }},
    {"sip-filter delete", {{prefix("addr", "source prefix")}, {vrd_opt()}},
     "remove a source filter (zel_ip_sip_addr_filter_rem)",
     [](Session &s, const Parsed &p) { return sip_filter(s, p, false); }},
    {"capture start",
     {{new_name("name"), any_intf(), keyword("dir", {"in", "out"})},
      {opt({"queue"}, {object("q", "queue", {ObjType::kQueue})}, "the MTM queue limiting the copies"),
       opt({"ph"}, {number("handle", "PH bind handle", 0, UINT32_MAX)}, "where the copies go (default 0)"),
       opt({"cb"}, {number("n", "callback function id", 0, 0xff)}, "the callback function (default 0)"),
       opt({"context"}, {number("id", "context id", 0, UINT32_MAX)}, "carried with every copy (default 0)")}},
     "copy what an interface receives (in) or sends (out) to the CPU (zel_ip_packet_capture_start)",
     capture_start},
    {"capture stop", {{capture_value()}, {}}, "stop a capture (zel_ip_packet_capture_stop)", capture_stop},
    {"capture enable", {{capture_value()}, {}},
     "switch on delivery through the capture's queue (zel_ip_packet_capture_enable)",
     [](Session &s, const Parsed &p) { return s.check(zel_ip_packet_capture_enable(s.module(), capture_of(p))); }},
    {"capture status", {{capture_value()}, {}},
     "print whether the capture delivers (zel_ip_packet_capture_status_get)", capture_status});

}  // namespace
}  // namespace zcli
