// Dump commands: the decoded tables of some table groups, every tree raw,
// and the reassembly contexts.
#include <cstdio>

#include "cli.h"

namespace zcli {
namespace {

struct GroupName {
    const char *name;
    uint32_t group;
};
constexpr GroupName kGroups[] = {
    {"interface", ZEL_IP_TABLES_INTERFACE},     {"route", ZEL_IP_TABLES_ROUTE},
    {"ingress", ZEL_IP_TABLES_INGRESS},         {"egress-flow", ZEL_IP_TABLES_EGRESS_FLOW},
    {"egress-assoc", ZEL_IP_TABLES_EGRESS_ASSOC}, {"tunnel", ZEL_IP_TABLES_TUNNEL},
    {"vrd-mode", ZEL_IP_TABLES_VRD_MODE},       {"bind", ZEL_IP_TABLES_BIND},
    {"qos", ZEL_IP_TABLES_QOS},                 {"exception", ZEL_IP_TABLES_EXCEPTION},
    {"filter", ZEL_IP_TABLES_FILTER},           {"all", ZEL_IP_TABLES_ALL},
};

std::string group_names() {
    std::string all;
    for (const GroupName &g : kGroups) all += (all.empty() ? "" : ", ") + std::string(g.name);
    return all;
}

// dump tables [<group>|<group-name>...]: the groups are ORed; none: all.
// A number is passed on as it is (the library checks it).
Result dump_tables(Session &s, const Parsed &p) {
    const std::vector<std::string> words = p.words("groups");
    uint32_t group = words.empty() ? ZEL_IP_TABLES_ALL : 0;
    for (const std::string &w : words) {
        if (auto v = parse_u32(w)) {
            group |= *v;
            continue;
        }
        bool known = false;
        for (const GroupName &g : kGroups)
            if (w == g.name) group |= g.group, known = true;
        if (!known) {
            s.usage_error("table group: " + quote(w) + " is not a number or one of " + group_names());
            return Result::kUsage;
        }
    }
    return s.check(zel_ip_tables_dump(s.module(), group));
}

Result dump_trees(Session &s, const Parsed &) {
    return s.check(zel_ip_fpl_trees_dump(s.module()));
}

Result dump_defrag(Session &s, const Parsed &) {
    return s.check(zel_ip_defrag_se_states_dump(s.module()));
}

ZEL_CLI_COMMANDS(
    {"dump tables", {{rest("groups", "table group")}, {}},
     "print the trees of the table groups decoded (zel_ip_tables_dump); a group is a number or one of " +
         group_names() + " (all when none is given)",
     dump_tables},
    {"dump trees", {}, "print every tree raw (zel_ip_fpl_trees_dump)", dump_trees},
    {"dump defrag", {}, "print the 2020 reassembly contexts (zel_ip_defrag_se_states_dump)", dump_defrag});

}  // namespace
}  // namespace zcli
