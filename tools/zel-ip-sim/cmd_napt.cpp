// Commands about NAPT rules.
#include "cli.h"

namespace zcli {
namespace {

// napt add|delete [in <addr> [port <n>]] [out <addr> [port <n>]]
// The rule's flags say which of the four fields were given; a side or a
// port left out is left out of the rule (the library decides what that
// means).
Result napt(Session &s, const Parsed &p, bool add) {
    zel_ip_napt_rule_t r{};
    if (p.has("in")) r.in_addr = p.u32("in"), r.flags |= ZEL_IP_NAPT_IN_ADDR;
    if (p.has("out")) r.out_addr = p.u32("out"), r.flags |= ZEL_IP_NAPT_OUT_ADDR;
    if (p.has("in.port")) r.in_port = static_cast<uint16_t>(p.u32("in.port")), r.flags |= ZEL_IP_NAPT_IN_PORT;
    if (p.has("out.port")) r.out_port = static_cast<uint16_t>(p.u32("out.port")), r.flags |= ZEL_IP_NAPT_OUT_PORT;
    return s.check(add ? zel_ip_napt_rule_add(s.module(), &r) : zel_ip_napt_rule_delete(s.module(), &r));
}

Option side(const char *key, const char *label) {
    return opt({key}, {addr("addr", std::string(label) + " address")}, std::string("the ") + label + " address")
        .then({opt({"port"}, {number("n", std::string(label) + " port", 0, 0xffff)}, "and its port")});
}
const Spec kRule{{}, {side("in", "input"), side("out", "output")}};

ZEL_CLI_COMMANDS(
    {"napt add", kRule, "translate the input address (and port) to the output one and back (zel_ip_napt_rule_add)",
     [](Session &s, const Parsed &p) { return napt(s, p, true); }},
    {"napt delete", kRule, "remove both directions of a NAPT rule (zel_ip_napt_rule_delete)",
     [](Session &s, const Parsed &p) { return napt(s, p, false); }});

}  // namespace
}  // namespace zcli
