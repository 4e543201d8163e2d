// Statistics: the print calls by object name, and counters planted into
// the engine's records (the software platform runs no packets, so a script
// sets what the engine's programs would have counted).
#include <cerrno>
#include <cstdlib>
#include <string>

#include "cli.h"
#include "core/zel_ip_limits.h"
#include "flow/zel_ip_flow_pvt.h"
#include "interface/zel_ip_interface_pvt.h"
#include "interface/zel_ip_tunnel_pvt.h"
#include "interface/zel_ip_vif_pvt.h"

namespace zcli {
namespace {

constexpr uint32_t kGlobalStatsNsId = 0x66dea;  // fixed at start-up

Result stats_global(Session &s, const Parsed &) { return s.check(zel_ip_global_stats_print(s.module())); }
Result stats_interface(Session &s, const Parsed &p) {
    return s.check(zel_ip_interface_stats_print(s.module(), p.object("intf")));
}
Result stats_router_if(Session &s, const Parsed &p) {
    return s.check(zel_ip_router_if_stats_print(s.module(), p.object("intf")));
}
Result stats_assoc(Session &s, const Parsed &p) {
    return s.check(
        zel_ip_ingress_association_stats_print(s.module(), static_cast<zel_ip_flow_handle_t>(p.object("flow"))));
}
Result stats_egress_assoc(Session &s, const Parsed &p) {
    return s.check(
        zel_ip_egress_association_stats_print(s.module(), static_cast<zel_ip_flow_handle_t>(p.object("flow"))));
}
Result stats_rule(Session &s, const Parsed &p) {
    return s.check(zel_ip_filter_rule_stats_print(s.module(), static_cast<zel_ip_flow_handle_t>(p.object("flow"))));
}
Result stats_pbr(Session &s, const Parsed &p) {
    return s.check(zel_ip_pbr_rule_stats_print(s.module(), static_cast<zel_ip_flow_handle_t>(p.object("flow"))));
}

// A counter value: decimal or 0x-hex, up to 64 bits.
bool parse_value(Session &s, const std::string &w, uint64_t &v) {
    errno = 0;
    char *end = nullptr;
    v = std::strtoull(w.c_str(), &end, 0);
    if (w.empty() || w[0] == '-' || *end != '\0' || errno == ERANGE) {
        s.usage_error("counter value: " + quote(w) + " is not a number of at most 64 bits");
        return false;
    }
    return true;
}

// Plants one counter; a refusal is reported with the platform's reason.
Result plant(Session &s, const char *record, uint32_t ns_id, const Parsed &p) {
    uint64_t v = 0;
    if (!parse_value(s, p.word("value"), v)) return Result::kUsage;
    const std::string &counter = p.word("counter");
    const uint32_t st = zel_sim_counter_set(zel_sim_engine(s.sim()), record, ns_id, counter.c_str(), v);
    switch (st) {
        case HWE_OK: return Result::kOk;
        case HWE_E_NOT_FOUND: s.usage_error(std::string(record) + " record has no counter " + quote(counter)); break;
        case HWE_E_PARAM: s.usage_error("counter " + quote(counter) + " is 32 bits wide"); break;
        case HWE_E_BOUNDS: s.usage_error("counter " + quote(counter) + " lies outside the " + record + " record"); break;
        default: s.usage_error(std::string("the engine refused the write: ") + hwe_status_get(st)); break;
    }
    return Result::kUsage;
}

Result counter_global(Session &s, const Parsed &p) { return plant(s, "global", kGlobalStatsNsId, p); }

// counter set interface <intf> <counter> <value> [record a|b|tm]
Result counter_interface(Session &s, const Parsed &p) {
    const std::string part = p.has("record") ? p.word("record") : "a";
    const NamedObject *o = s.find(p.word("intf"));
    uint32_t stats = 0, second = 0;
    bool has_second = true;
    switch (o->type) {
        case ObjType::kInterface: {
            auto *r = static_cast<zel_ip_interface *>(o->handle);
            stats = r->stats_ns_id, second = r->mtm_ns_id;
            break;
        }
        case ObjType::kTunnel: {
            auto *r = static_cast<zel_ip_tunnel *>(o->handle);
            stats = r->stats_ns_id, second = r->mtm_ns_id;
            break;
        }
        default:
            stats = static_cast<zel_ip_vif *>(o->handle)->stats_ns_id;
            has_second = false;
            break;
    }
    if (part == "a") return plant(s, "interface", stats, p);
    if (!has_second) {
        s.usage_error("a virtual interface has only its own record (record a)");
        return Result::kUsage;
    }
    if (part == "tm" && o->type != ObjType::kInterface) {
        s.usage_error("only an IP interface counts through the traffic-manager block (record tm)");
        return Result::kUsage;
    }
    return plant(s, part == "b" ? "interface-b" : "interface-tm", second, p);
}

// counter set flow <flow> <counter> <value>: the record of the flow's kind
// (associations, filter and policy routing rules are all flows).
Result counter_flow(Session &s, const Parsed &p) {
    const auto *f = static_cast<const zel_ip_flow *>(p.object("flow"));
    const char *record = nullptr;
    switch (f->head.kind) {
        case zel::ip::kFlowIngressAssoc: record = "ingress-flow"; break;
        case zel::ip::kFlowEgressAssoc: record = "egress-flow"; break;
        case zel::ip::kFlowExtFilterRule:
        case zel::ip::kFlowBasicFilterRule: record = "filter-rule"; break;
        case zel::ip::kFlowPbrRule: record = "pbr-rule"; break;
        default:
            s.usage_error("only associations, filter rules and policy routing rules keep counters");
            return Result::kUsage;
    }
    return plant(s, record, f->head.hdr.ns_id, p);
}

Value intf_value() {
    return object("intf", "interface", {ObjType::kInterface, ObjType::kTunnel, ObjType::kVif});
}
// Any flow: each call refuses a flow of another kind itself.
// Filter rules are named "<set>.<index>" (flows), policy rules by name.
Value flow_value(const char *label = "association") {
    return object("flow", label, {ObjType::kAssoc, ObjType::kFlow, ObjType::kPbrRule});
}
Value counter_value() { return word("counter", "counter"); }
Value value_value() { return word("value", "counter value"); }

ZEL_CLI_COMMANDS(
    {"stats global", {{}, {}}, "print the global statistics (zel_ip_global_stats_print)", stats_global},
    {"stats interface", {{intf_value()}, {}},
     "print an IP or tunnel interface's statistics (zel_ip_interface_stats_print)", stats_interface},
    {"stats router-if", {{intf_value()}, {}},
     "print an interface's ipIfStats counters (zel_ip_router_if_stats_print)", stats_router_if},
    {"stats assoc", {{flow_value()}, {}},
     "print an ingress association's statistics (zel_ip_ingress_association_stats_print)", stats_assoc},
    {"stats egress-assoc", {{flow_value()}, {}},
     "print an egress association's statistics (zel_ip_egress_association_stats_print)", stats_egress_assoc},
    {"stats rule", {{flow_value("filter rule")}, {}},
     "print a filter rule's statistics (zel_ip_filter_rule_stats_print)", stats_rule},
    {"stats pbr", {{flow_value("policy routing rule")}, {}},
     "print a policy routing rule's statistics (zel_ip_pbr_rule_stats_print)", stats_pbr},
    {"counter set global", {{counter_value(), value_value()}, {}},
     "plant a counter of the global record (a name such as rx_pkts, or w<N> / q<N>)", counter_global},
    {"counter set interface",
     {{intf_value(), counter_value(), value_value()},
      {opt({"record"}, {keyword("part", {"a", "b", "tm"})},
           "a: the interface's own record (default); b: its DSCP group record; tm: its traffic-manager block")}},
     "plant a counter of an interface's records", counter_interface},
    {"counter set flow", {{flow_value("flow"), counter_value(), value_value()}, {}},
     "plant a counter of an association's, filter rule's or policy routing rule's record", counter_flow});

}  // namespace
}  // namespace zcli
