// Commands about QoS: queues and DiffServ policies of the platform's QoS
// service, interface QoS policies, DSCP to PCP maps and the CPU DSCP map.
#include <string>
#include <vector>

#include "cli.h"

namespace zcli {
namespace {

// "a:b:c" split at ':'.
std::vector<std::string> split(const std::string &w) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= w.size(); ++i) {
        if (i == w.size() || w[i] == ':') {
            parts.push_back(w.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

// A number of a "<n>:..." word, at most `max`; reports a usage error.
std::optional<uint32_t> number(Session &s, const std::string &w, const char *what, uint32_t max) {
    auto v = parse_u32(w);
    if (!v || *v > max) {
        s.usage_error(std::string(what) + ": '" + w + "' is not a number up to " + std::to_string(max));
        return std::nullopt;
    }
    return v;
}

// A named queue of a "...:<queue>" word.
std::optional<void *> queue_named(Session &s, const std::string &name) {
    const NamedObject *o = s.find(name);
    if (!o || o->type != ObjType::kQueue) {
        s.usage_error("queue: no queue named '" + name + "'");
        return std::nullopt;
    }
    return o->handle;
}

// qos queue <name> <hw-id>
Result queue_new(Session &s, Args &a) {
    auto name = a.word("name");
    auto id = a.u32("hardware queue id");
    if (!name || !id || !a.done()) return Result::kUsage;
    if (!s.define(*name, ObjType::kQueue, zel_sim_qos_queue_new(s.sim(), *id))) {
        s.usage_error("'" + *name + "' is already defined");
        return Result::kUsage;
    }
    return Result::kOk;
}

// qos ds-policy <name>
Result ds_policy_new(Session &s, Args &a) {
    auto name = a.word("name");
    if (!name || !a.done()) return Result::kUsage;
    if (!s.define(*name, ObjType::kPolicy, zel_sim_qos_ds_policy_new(s.sim()))) {
        s.usage_error("'" + *name + "' is already defined");
        return Result::kUsage;
    }
    return Result::kOk;
}

// qos ds-class <policy> <class-type> <class-id> <hw-id>
Result ds_class(Session &, Args &a) {
    auto policy = a.object(ObjType::kPolicy, "DiffServ policy");
    auto type = a.u32("class type", 0xff);
    auto id = a.u32("class id");
    auto hw = a.u32("hardware queue id");
    if (!policy || !type || !id || !hw || !a.done()) return Result::kUsage;
    zel_sim_qos_ds_policy_map(*policy, *type, *id, *hw);
    return Result::kOk;
}

// qos policy add|del <intf> queues <tos>:<queue> ...
// qos policy add|del <intf> ds <policy> <tos>:<class-type>:<class-id> ...
Result qos_policy(Session &s, Args &a) {
    const bool add = a.accept("add");
    if (!add && !a.accept("del")) {
        s.usage_error("'add' or 'del' expected");
        return Result::kUsage;
    }
    auto intf = a.object(ObjType::kInterface, "interface");
    if (!intf) return Result::kUsage;
    zel_ip_qos_policy_t p{};
    p.intf = static_cast<zel_ip_intf_handle_t>(*intf);
    const bool ds = a.accept("ds");
    if (!ds && !a.accept("queues")) {
        s.usage_error("profile: 'queues' or 'ds' expected");
        return Result::kUsage;
    }
    p.profile_type = ds ? ZEL_IP_QOS_PROFILE_DS_POLICY : ZEL_IP_QOS_PROFILE_QUEUES;
    if (ds) {
        auto policy = a.object(ObjType::kPolicy, "DiffServ policy");
        if (!policy) return Result::kUsage;
        p.profile.ds.policy = *policy;
    }
    int count = 0;
    while (!a.empty()) {
        if (count == ZEL_IP_QOS_MAX_CLASSES) {
            s.usage_error("at most 64 classes per policy");
            return Result::kUsage;
        }
        auto w = a.word("class");
        const std::vector<std::string> f = split(*w);
        if (f.size() != (ds ? 3u : 2u)) {
            s.usage_error("class: '" + *w + (ds ? "' is not <tos>:<class-type>:<class-id>" : "' is not <tos>:<queue>"));
            return Result::kUsage;
        }
        auto tos = number(s, f[0], "TOS", 0xff);
        if (!tos) return Result::kUsage;
        if (ds) {
            auto type = number(s, f[1], "class type", 0xff);
            auto id = type ? number(s, f[2], "class id", UINT32_MAX) : std::nullopt;
            if (!id) return Result::kUsage;
            p.profile.ds.classes[count] = {static_cast<uint8_t>(*tos), *id, static_cast<uint8_t>(*type)};
        } else {
            auto q = queue_named(s, f[1]);
            if (!q) return Result::kUsage;
            p.profile.queues.classes[count] = {static_cast<uint8_t>(*tos), *q};
        }
        ++count;
    }
    (ds ? p.profile.ds.class_count : p.profile.queues.class_count) = static_cast<int8_t>(count);
    return s.check(add ? zel_ip_qos_policy_add(s.module(), &p) : zel_ip_qos_policy_delete(s.module(), &p));
}

// dscp-pcp add <intf> <dscp> <pcp> / dscp-pcp del <intf> <dscp>
Result dscp_pcp(Session &s, Args &a, bool add) {
    auto intf = a.object(ObjType::kInterface, "interface");
    auto dscp = a.u32("DSCP", 0xff);
    auto pcp = add ? a.u32("PCP", 0xff) : std::optional<uint32_t>(0);
    if (!intf || !dscp || !pcp || !a.done()) return Result::kUsage;
    auto h = static_cast<zel_ip_intf_handle_t>(*intf);
    const auto d = static_cast<uint8_t>(*dscp);
    return s.check(add ? zel_ip_dscp_pcp_map_add(s.module(), h, d, static_cast<uint8_t>(*pcp))
                       : zel_ip_dscp_pcp_map_delete(s.module(), h, d));
}

// cpu-dscp add <dscp>:<queue> ... / cpu-dscp del <dscp> ...
Result cpu_dscp(Session &s, Args &a, bool add) {
    std::vector<uint8_t> dscp;
    std::vector<void *> queues;
    while (!a.empty()) {
        auto w = a.word(add ? "entry" : "DSCP");
        const std::vector<std::string> f = split(*w);
        if (f.size() != (add ? 2u : 1u)) {
            s.usage_error(add ? "entry: '" + *w + "' is not <dscp>:<queue>" : "DSCP: '" + *w + "' is not a number");
            return Result::kUsage;
        }
        auto d = number(s, f[0], "DSCP", 0xff);
        if (!d) return Result::kUsage;
        dscp.push_back(static_cast<uint8_t>(*d));
        if (add) {
            auto q = queue_named(s, f[1]);
            if (!q) return Result::kUsage;
            queues.push_back(*q);
        }
    }
    // An empty list reaches the library, which refuses a count of 0.
    const auto n = static_cast<uint32_t>(dscp.size());
    static const uint8_t kNone[1] = {};
    static void *const kNoQueue[1] = {};
    const uint8_t *d = n ? dscp.data() : kNone;
    return s.check(add ? zel_ip_cpu_dscp_qos_map_add(s.module(), n, d, n ? queues.data() : kNoQueue)
                       : zel_ip_cpu_dscp_qos_map_delete(s.module(), n, d));
}

ZEL_CLI_COMMANDS(
    {"qos queue", "<name> <hw-id>", "a queue of the platform's QoS service with hardware queue id <hw-id>",
     queue_new},
    {"qos ds-policy", "<name>", "a DiffServ policy of the platform's QoS service", ds_policy_new},
    {"qos ds-class", "<policy> <class-type> <class-id> <hw-id>",
     "map a class of a DiffServ policy to hardware queue <hw-id>", ds_class},
    {"qos policy",
     "add|del <intf> queues <tos>:<queue>... | add|del <intf> ds <policy> <tos>:<class-type>:<class-id>...",
     "map type-of-service values of an interface to queues, or remove the mappings "
     "(zel_ip_qos_policy_add, zel_ip_qos_policy_delete)",
     qos_policy},
    {"dscp-pcp add", "<intf> <dscp> <pcp>", "VLAN priority of a DSCP on an interface (zel_ip_dscp_pcp_map_add)",
     [](Session &s, Args &a) { return dscp_pcp(s, a, true); }},
    {"dscp-pcp del", "<intf> <dscp>", "remove a DSCP's VLAN priority (zel_ip_dscp_pcp_map_delete)",
     [](Session &s, Args &a) { return dscp_pcp(s, a, false); }},
    {"cpu-dscp add", "<dscp>:<queue>...", "queues of packets sent to the CPU, by DSCP (zel_ip_cpu_dscp_qos_map_add)",
     [](Session &s, Args &a) { return cpu_dscp(s, a, true); }},
    {"cpu-dscp del", "<dscp>...", "remove DSCP values from the CPU map (zel_ip_cpu_dscp_qos_map_delete)",
     [](Session &s, Args &a) { return cpu_dscp(s, a, false); }});

}  // namespace
}  // namespace zcli
