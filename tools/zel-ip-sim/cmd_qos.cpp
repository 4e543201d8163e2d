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
std::optional<uint32_t> number_of(Session &s, const std::string &w, const char *what, uint32_t max) {
    auto v = parse_u32(w);
    if (!v) {
        s.usage_error(std::string(what) + ": " + quote(w) + " is not a number (0 to " + std::to_string(max) + ")");
        return std::nullopt;
    }
    if (*v > max) {
        s.usage_error(std::string(what) + " " + w + " is out of range (0 to " + std::to_string(max) + ")");
        return std::nullopt;
    }
    return v;
}

// A named queue of a "...:<queue>" word.
std::optional<void *> queue_named(Session &s, const std::string &name) {
    const NamedObject *o = s.find(name);
    if (!o || o->type != ObjType::kQueue) {
        s.usage_error("queue: no queue named " + quote(name));
        return std::nullopt;
    }
    return o->handle;
}

Result queue_new(Session &s, const Parsed &p) {
    s.define(p.word("name"), ObjType::kQueue, zel_sim_qos_queue_new(s.sim(), p.u32("id")));
    return Result::kOk;
}

Result ds_policy_new(Session &s, const Parsed &p) {
    s.define(p.word("name"), ObjType::kPolicy, zel_sim_qos_ds_policy_new(s.sim()));
    return Result::kOk;
}

Result ds_class(Session &, const Parsed &p) {
    zel_sim_qos_ds_policy_map(p.object("policy"), p.u32("type"), p.u32("class"), p.u32("hw"));
    return Result::kOk;
}

// qos policy add|delete <intf> queues <tos>:<queue> ...
// qos policy add|delete <intf> ds <policy> <tos>:<class-type>:<class-id> ...
Result qos_policy(Session &s, const Parsed &p, bool add) {
    zel_ip_qos_policy_t q{};
    q.intf = static_cast<zel_ip_intf_handle_t>(p.object("intf"));
    const bool ds = p.word("profile") == "ds";
    q.profile_type = ds ? ZEL_IP_QOS_PROFILE_DS_POLICY : ZEL_IP_QOS_PROFILE_QUEUES;
    std::vector<std::string> classes = p.words("classes");
    if (ds) {
        const NamedObject *o = classes.empty() ? nullptr : s.find(classes[0]);
        if (!o || o->type != ObjType::kPolicy) {
            s.usage_error(classes.empty() ? "missing DiffServ policy"
                                          : "DiffServ policy: no DiffServ policy named " + quote(classes[0]));
            return Result::kUsage;
        }
        q.profile.ds.policy = o->handle;
        classes.erase(classes.begin());
    }
    if (classes.size() > ZEL_IP_QOS_MAX_CLASSES) {
        s.usage_error("at most 64 classes per policy");
        return Result::kUsage;
    }
    int count = 0;
    for (const std::string &w : classes) {
        const std::vector<std::string> f = split(w);
        if (f.size() != (ds ? 3u : 2u)) {
            s.usage_error("class: " + quote(w) + (ds ? " is not <tos>:<class-type>:<class-id>" : " is not <tos>:<queue>"));
            return Result::kUsage;
        }
        auto tos = number_of(s, f[0], "TOS", 0xff);
        if (!tos) return Result::kUsage;
        if (ds) {
            auto type = number_of(s, f[1], "class type", 0xff);
            auto id = type ? number_of(s, f[2], "class id", UINT32_MAX) : std::nullopt;
            if (!id) return Result::kUsage;
            q.profile.ds.classes[count] = {static_cast<uint8_t>(*tos), *id, static_cast<uint8_t>(*type)};
        } else {
            auto queue = queue_named(s, f[1]);
            if (!queue) return Result::kUsage;
            q.profile.queues.classes[count] = {static_cast<uint8_t>(*tos), *queue};
        }
        ++count;
    }
    (ds ? q.profile.ds.class_count : q.profile.queues.class_count) = static_cast<int8_t>(count);
    return s.check(add ? zel_ip_qos_policy_add(s.module(), &q) : zel_ip_qos_policy_delete(s.module(), &q));
}

Result dscp_pcp(Session &s, const Parsed &p, bool add) {
    auto h = static_cast<zel_ip_intf_handle_t>(p.object("intf"));
    const auto d = static_cast<uint8_t>(p.u32("dscp"));
    return s.check(add ? zel_ip_dscp_pcp_map_add(s.module(), h, d, static_cast<uint8_t>(p.u32("pcp")))
                       : zel_ip_dscp_pcp_map_delete(s.module(), h, d));
}

// cpu-dscp add <dscp>:<queue> ... / cpu-dscp delete <dscp> ...
Result cpu_dscp(Session &s, const Parsed &p, bool add) {
    std::vector<uint8_t> dscp;
    std::vector<void *> queues;
    for (const std::string &w : p.words("entries")) {
        const std::vector<std::string> f = split(w);
        if (f.size() != (add ? 2u : 1u)) {
            s.usage_error(add ? "entry: " + quote(w) + " is not <dscp>:<queue>" : "DSCP: " + quote(w) + " is not a number");
            return Result::kUsage;
        }
        auto d = number_of(s, f[0], "DSCP", 0xff);
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

Value intf_value() { return object("intf", "interface", {ObjType::kInterface}); }
const Spec kPolicy{{intf_value(), keyword("profile", {"queues", "ds"}), rest("classes", "class")}, {}};

ZEL_CLI_COMMANDS(
    {"qos queue", {{new_name("name"), number("id", "hardware queue id", 0, UINT32_MAX)}, {}},
     "a queue of the platform's QoS service with hardware queue id <id>", queue_new},
    {"qos ds-policy", {{new_name("name")}, {}}, "a DiffServ policy of the platform's QoS service", ds_policy_new},
    {"qos ds-class",
     {{object("policy", "DiffServ policy", {ObjType::kPolicy}), number("type", "class type", 0, 0xff),
       number("class", "class id", 0, UINT32_MAX), number("hw", "hardware queue id", 0, UINT32_MAX)},
      {}},
     "map a class of a DiffServ policy to hardware queue <hw>", ds_class},
    {"qos policy add", kPolicy,
     "map type-of-service values of an interface to queues: queues <tos>:<queue>... or ds <policy> "
     "<tos>:<class-type>:<class-id>... (zel_ip_qos_policy_add)",
     [](Session &s, const Parsed &p) { return qos_policy(s, p, true); }},
    {"qos policy delete", kPolicy, "remove such mappings (zel_ip_qos_policy_delete)",
     [](Session &s, const Parsed &p) { return qos_policy(s, p, false); }},
    {"dscp-pcp add", {{intf_value(), number("dscp", "DSCP", 0, 63), number("pcp", "PCP", 0, 7)}, {}},
     "VLAN priority of a DSCP on an interface (zel_ip_dscp_pcp_map_add)",
     [](Session &s, const Parsed &p) { return dscp_pcp(s, p, true); }},
    {"dscp-pcp delete", {{intf_value(), number("dscp", "DSCP", 0, 63)}, {}},
     "remove a DSCP's VLAN priority (zel_ip_dscp_pcp_map_delete)",
     [](Session &s, const Parsed &p) { return dscp_pcp(s, p, false); }},
    {"cpu-dscp add", {{rest("entries", "<dscp>:<queue>")}, {}},
     "queues of packets sent to the CPU, by DSCP (zel_ip_cpu_dscp_qos_map_add)",
     [](Session &s, const Parsed &p) { return cpu_dscp(s, p, true); }},
    {"cpu-dscp delete", {{rest("entries", "DSCP")}, {}},
     "remove DSCP values from the CPU map (zel_ip_cpu_dscp_qos_map_delete)",
     [](Session &s, const Parsed &p) { return cpu_dscp(s, p, false); }});

}  // namespace
}  // namespace zcli
