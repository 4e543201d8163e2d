// Commands about the tool and the module as a whole: help, echo, log
// levels, fault injection.
#include <cstdio>

#include "cli.h"

namespace zcli {
namespace {

Result help(Session &, Args &a) {
    if (a.empty()) {
        for (const auto &[name, c] : commands()) std::printf("  %-22s %s\n", name.c_str(), c.help.c_str());
        return Result::kOk;
    }
    std::string name;
    while (!a.empty()) {
        if (!name.empty()) name += ' ';
        name += *a.word("command");
    }
    auto it = commands().find(name);
    if (it == commands().end()) {
        std::printf("no command '%s'\n", name.c_str());
        return Result::kOk;
    }
    std::printf("%s %s\n  %s\n", it->second.name.c_str(), it->second.usage.c_str(),
                it->second.help.c_str());
    return Result::kOk;
}

Result echo(Session &, Args &a) {
    std::string text;
    while (!a.empty()) {
        if (!text.empty()) text += ' ';
        text += *a.word("text");
    }
    std::printf("%s\n", text.c_str());
    return Result::kOk;
}

Result log_op(Session &s, Args &a, uint32_t (*op)(zel_module_t *, uint32_t)) {
    auto mask = a.u32("mask");
    if (!mask || !a.done()) return Result::kUsage;
    return s.check(op(s.module(), *mask));
}

Result syslog(Session &s, Args &a) {
    auto level = a.u32("level");
    if (!level || !a.done()) return Result::kUsage;
    return s.check(zel_ipv4_sys_log(s.module(), *level));
}

// fault <call|any> <nth> [persist] [status <code>]
Result fault(Session &, Args &a) {
    auto call = a.word("platform call");
    auto nth = a.u32("call number");
    if (!call || !nth) return Result::kUsage;
    bool persist = a.accept("persist");
    uint32_t status = 0;
    if (a.accept("status")) {
        auto st = a.u32("status");
        if (!st) return Result::kUsage;
        status = *st;
    }
    if (!a.done()) return Result::kUsage;
    zel_sim_fault_set(*call == "any" ? nullptr : call->c_str(), *nth,
                      persist ? ZEL_SIM_FAULT_PERSIST : ZEL_SIM_FAULT_ONCE, status);
    return Result::kOk;
}

Result fault_clear(Session &, Args &a) {
    if (!a.done()) return Result::kUsage;
    zel_sim_fault_clear();
    return Result::kOk;
}

ZEL_CLI_COMMANDS(
    {"help", "[<command>]", "list the commands, or explain one", help},
    {"echo", "<text>...", "print a line", echo},
    {"log level", "<mask>", "set the module log mask (zel_ip_log_level_set)",
     [](Session &s, Args &a) { return log_op(s, a, zel_ip_log_level_set); }},
    {"log enable", "<bits>", "set bits of the module log mask (zel_ip_log_enable)",
     [](Session &s, Args &a) { return log_op(s, a, zel_ip_log_enable); }},
    {"log disable", "<bits>", "clear bits of the module log mask (zel_ip_log_disable)",
     [](Session &s, Args &a) { return log_op(s, a, zel_ip_log_disable); }},
    {"syslog", "<level>", "change the system log level (zel_ipv4_sys_log)", syslog},
    {"fault", "<call|any> <n> [persist] [status <code>]",
     "make the n-th next call of a platform function fail (once, or from then on)", fault},
    {"fault clear", "", "disarm fault injection", fault_clear});

}  // namespace
}  // namespace zcli
