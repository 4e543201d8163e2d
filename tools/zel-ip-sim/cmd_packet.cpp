// packet: walk one packet through the programmed trees and print what the
// fast path would do with it; send: walk every packet of a file and print
// a summary of the verdicts. The walk itself is the platform's
// (platform/sim/walk); this file turns arguments into packets and names
// interface ids for the output.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "cli.h"
#include "cmd_route_view.h"
#include "core/zel_ip_limits.h"
#include "zel_sim_walk.h"

namespace zcli {
namespace {

namespace zw = zsim::walk;

zw::Context context(Session &s) {
    zw::Context c;
    c.eng = zel_sim_engine(s.sim());
    c.global_stats_ns_id = zel::ip::kGlobalStatsNsId;
    c.intf_name = [&s](uint32_t id) { return intf_name(s, id); };
    return c;
}

// The packet the options describe; false (with a usage error) when the
// arrival cannot be used.
bool packet_of(Session &s, const Parsed &p, zw::Packet *k) {
    if (p.has("cpu")) {
        uint32_t vrd_id = 0;
        if (!zel_ipv4_vrd_valid_handle(p.object("cpu"), &vrd_id)) {
            s.usage_error("routing domain: the domain was deleted");
            return false;
        }
        k->arrival = zw::Arrival::kCpu;
        k->vrd_id = vrd_id;
    } else {
        k->intf_id = static_cast<const zel_obj_header_t *>(p.object("in"))->intf_id;
    }
    k->dst = p.u32("dst");
    k->src = p.u32_or("src", 0);
    k->proto = p.u32_or("proto", 0);
    k->sport = p.u32_or("sport", 0);
    k->dport = p.u32_or("dport", 0);
    k->dscp = p.u32_or("dscp", 0);
    k->pcp = p.u32_or("pcp", 0);
    k->ttl = p.u32_or("ttl", 64);
    k->frag = p.u32_or("frag", 0);
    k->df = p.has("df");
    k->length = p.u32_or("len", 100);
    k->l2_intf = p.u32_or("l2", 0);
    return true;
}

Result packet(Session &s, const Parsed &p) {
    zw::Packet k;
    if (!packet_of(s, p, &k)) return Result::kUsage;
    zw::Walk w;
    if (uint32_t st = zw::walk_packet(context(s), k, &w)) return s.check(st);
    std::fputs(zw::render(w, p.has("brief")).c_str(), stdout);
    return Result::kOk;
}

// send <file>: each non-blank line not starting with '#' holds the
// arguments of one `packet` command.
Result send(Session &s, const Parsed &p) {
    // A relative path is taken from the script's directory.
    std::string path = p.word("file");
    const std::string &script = s.script();
    const size_t slash = script.rfind('/');
    if (!path.empty() && path[0] != '/' && slash != std::string::npos && script != "<stdin>")
        path = script.substr(0, slash + 1) + path;
    // A regular file only: a device or a pipe could feed lines forever.
    struct stat st {};
    std::ifstream in;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) in.open(path);
    if (!in.is_open()) {
        s.usage_error("cannot read " + quote(path) + " (a regular file is needed)");
        return Result::kUsage;
    }
    const Command *cmd = commands().count("packet") ? &commands().at("packet") : nullptr;
    std::map<std::string, uint32_t> by_verdict;  // "<verdict>: <counter or detail>"
    std::string line;
    uint32_t n = 0, lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        const size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos || line[b] == '#') continue;
        std::vector<std::string> words;
        std::istringstream ws(line);
        for (std::string w; ws >> w;) words.push_back(w);
        Parsed args;
        // A bad line is reported by the parser; the next line says where.
        if (!cmd || !parse_args(s, cmd->spec, words, args)) {
            s.usage_error("in " + quote(path) + " line " + std::to_string(lineno));
            return Result::kUsage;
        }
        zw::Packet k;
        if (!packet_of(s, args, &k)) return Result::kUsage;
        zw::Walk w;
        if (uint32_t st = zw::walk_packet(context(s), k, &w)) return s.check(st);
        std::string key = zw::verdict_name(w.verdict);
        if (!w.counter.empty()) key += " (" + w.counter + ")";
        ++by_verdict[key];
        ++n;
    }
    std::printf("%u packets\n", n);
    for (const auto &[verdict, count] : by_verdict) std::printf("%8u  %s\n", count, verdict.c_str());
    return Result::kOk;
}

Value port(const char *name, const char *label) { return number(name, label, 0, 65535); }

ZEL_CLI_COMMANDS(
    {"packet",
     {{addr("dst", "destination")},
      {opt({"in"}, {object("intf", "interface", {ObjType::kInterface, ObjType::kTunnel, ObjType::kVif})},
           "it arrives on this interface")
           .required()
           .in_group("arrival"),
       opt({"cpu"}, {object("domain", "routing domain", {ObjType::kVrd}, true)},
           "the CPU sends it in this domain (locally originated)")
           .required()
           .in_group("arrival"),
       opt({"src"}, {addr("a", "source").zero()}, "its source address (cpu: 0 takes the interface's)"),
       opt({"proto"}, {number("n", "protocol", 0, 255)}, "its IP protocol"),
       opt({"sport"}, {port("n", "source port")}, "its source port (ICMP: type)"),
       opt({"dport"}, {port("n", "destination port")}, "its destination port (ICMP: code)"),
       opt({"dscp"}, {number("n", "DSCP", 0, 63)}, "its DSCP"),
       opt({"pcp"}, {number("n", "VLAN priority", 0, 7)}, "its VLAN priority"),
       opt({"ttl"}, {number("n", "TTL", 0, 255)}, "its TTL (default 64)"),
       opt({"frag"}, {number("n", "fragment class", 0, 3)}, "the engine's fragment class; 0: not a fragment"),
       flag({"df"}, "don't fragment"),
       opt({"len"}, {number("n", "length", 20, 65535)}, "its length in bytes (default 100)"),
       opt({"l2"}, {number("id", "Layer-2 interface id", 0, 0xffffff)},
           "the Layer-2 interface it came in on (default: the interface id)"),
       flag({"brief", "--brief"}, "print only the verdict")}},
     "walk a packet through the programmed trees: every stage, the entry it hit and the verdict; counts it in "
     "the statistics",
     packet},
    {"send", {{word("file", "packet file")}, {}},
     "walk every packet of a file (one packet's arguments a line) and print how many got each verdict", send});

}  // namespace
}  // namespace zcli
