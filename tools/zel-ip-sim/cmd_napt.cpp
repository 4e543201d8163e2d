// Commands about NAPT rules.
#include "cli.h"

namespace zcli {
namespace {

// napt add|del [in <addr> [port <n>]] [out <addr> [port <n>]]
// The rule's flags say which of the four fields were given; a side or a
// port left out is left out of the rule (the library decides what that
// means).
Result napt(Session &s, Args &a, bool add) {
    zel_ip_napt_rule_t r{};
    while (!a.empty()) {
        const bool in = a.accept("in");
        if (!in && !a.accept("out")) {
            s.usage_error("'in' or 'out' expected");
            return Result::kUsage;
        }
        auto addr = a.ipv4(in ? "input address" : "output address");
        if (!addr) return Result::kUsage;
        (in ? r.in_addr : r.out_addr) = *addr;
        r.flags |= in ? ZEL_IP_NAPT_IN_ADDR : ZEL_IP_NAPT_OUT_ADDR;
        if (a.accept("port")) {
            auto port = a.u32(in ? "input port" : "output port", 0xffff);
            if (!port) return Result::kUsage;
            (in ? r.in_port : r.out_port) = static_cast<uint16_t>(*port);
            r.flags |= in ? ZEL_IP_NAPT_IN_PORT : ZEL_IP_NAPT_OUT_PORT;
        }
    }
    return s.check(add ? zel_ip_napt_rule_add(s.module(), &r) : zel_ip_napt_rule_delete(s.module(), &r));
}

ZEL_CLI_COMMANDS(
    {"napt add", "in <addr> [port <n>] out <addr> [port <n>]",
     "translate the input address (and port) to the output one and back (zel_ip_napt_rule_add)",
     [](Session &s, Args &a) { return napt(s, a, true); }},
    {"napt del", "in <addr> [port <n>] out <addr> [port <n>]",
     "remove both directions of a NAPT rule (zel_ip_napt_rule_delete)",
     [](Session &s, Args &a) { return napt(s, a, false); }});

}  // namespace
}  // namespace zcli
