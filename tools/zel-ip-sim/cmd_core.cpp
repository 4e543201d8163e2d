// Commands about the tool and the module as a whole: help, echo, log
// levels, fault injection.
#include <cstdio>

#include "cli.h"

namespace zcli {
namespace {

// help [<command>|<group>]
Result help(Session &s, const Parsed &p) {
    const std::vector<std::string> words = p.words("command");
    if (words.empty()) {
        for (const auto &[name, c] : commands()) std::printf("  %-22s %s\n", name.c_str(), c.help.c_str());
        return Result::kOk;
    }
    size_t used = 0;
    if (const Command *c = find_command(words, used); c && used == words.size()) {
        std::fputs(command_help(*c).c_str(), stdout);
        return Result::kOk;
    }
    // A group: "help route" lists the route commands.
    if (words.size() == 1) {
        if (auto group = commands_of_group(canonical_word(words[0])); !group.empty()) {
            for (const Command *c : group) std::printf("  %-22s %s\n", c->name.c_str(), c->help.c_str());
            return Result::kOk;
        }
    }
    std::string name;
    for (const std::string &w : words) name += (name.empty() ? "" : " ") + w;
    const std::string near = suggest_command(words);
    s.usage_error("no command " + quote(name) + (near.empty() ? "" : " (did you mean " + near + "?)"));
    return Result::kUsage;
}

Result echo(Session &, const Parsed &p) {
    std::string text;
    for (const std::string &w : p.words("text")) text += (text.empty() ? "" : " ") + w;
    std::printf("%s\n", text.c_str());
    return Result::kOk;
}

Result log_op(Session &s, const Parsed &p, uint32_t (*op)(zel_module_t *, uint32_t)) {
    return s.check(op(s.module(), p.u32("mask")));
}

Result syslog(Session &s, const Parsed &p) { return s.check(zel_ipv4_sys_log(s.module(), p.u32("level"))); }

// fault <call|any> <nth> [persist] [status <code>]
Result fault(Session &s, const Parsed &p) {
    const std::string &call = p.word("call");
    if (call != "any" && !zel_sim_call_known(call.c_str())) {
        std::string near;
        size_t best = 3;  // at most two edits away
        for (uint32_t i = 0; const char *name = zel_sim_call_name(i); ++i)
            if (size_t d = edit_distance(call, name); d < best) best = d, near = name;
        s.usage_error("platform call: no platform function named " + quote(call) +
                      (near.empty() ? "" : " (did you mean " + near + "?)"));
        return Result::kUsage;
    }
    zel_sim_fault_set(call == "any" ? nullptr : call.c_str(), p.u32("n"),
                      p.has("persist") ? ZEL_SIM_FAULT_PERSIST : ZEL_SIM_FAULT_ONCE, p.u32_or("status", 0));
    return Result::kOk;
}

Result fault_clear(Session &, const Parsed &) {
    zel_sim_fault_clear();
    return Result::kOk;
}

const Spec kMask{{number("mask", "log mask", 0, UINT32_MAX)}, {}};

ZEL_CLI_COMMANDS(
    {"help", {{rest("command", "command")}, {}}, "list the commands, those of a group (help route), or explain one",
     help},
    {"echo", {{rest("text", "text")}, {}}, "print a line", echo},
    {"log level", kMask, "set the module log mask (zel_ip_log_level_set)",
     [](Session &s, const Parsed &p) { return log_op(s, p, zel_ip_log_level_set); }},
    {"log enable", kMask, "set bits of the module log mask (zel_ip_log_enable)",
     [](Session &s, const Parsed &p) { return log_op(s, p, zel_ip_log_enable); }},
    {"log disable", kMask, "clear bits of the module log mask (zel_ip_log_disable)",
     [](Session &s, const Parsed &p) { return log_op(s, p, zel_ip_log_disable); }},
    {"syslog", {{number("level", "level", 0, UINT32_MAX)}, {}},
     "change the system log level (zel_ipv4_sys_log)", syslog},
    {"fault",
     {{word("call", "platform call"), number("n", "call number", 1, UINT32_MAX)},
      {flag({"persist"}, "fail that call and every matching call after it"),
       opt({"status"}, {number("code", "status", 0, UINT32_MAX)}, "the status to fail with (0: the call's own)")}},
     "make the n-th next call of a platform function (or of any) fail, once or from then on", fault},
    {"fault clear", {}, "disarm fault injection", fault_clear});

}  // namespace
}  // namespace zcli
