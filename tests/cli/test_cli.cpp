// zel-ip-sim as a user runs it: the example router script end to end
// (golden text), failure lines and exit statuses, keep-going, unknown
// commands and bad arguments, help.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "zel_test_fixture.h"

using zel::test::expect_golden;
using zel::test::mask_sites;

namespace {

// Handle values in the module's messages differ from run to run.
std::string mask_pointers(const std::string &text) {
    static const std::regex ptr("0x[0-9a-f]{9,16}");
    return std::regex_replace(text, ptr, "0xPTR");
}

// The lines of a run's standard error that are not module log lines.
std::string failure_lines(const std::string &err) {
    std::string out;
    for (const std::string &l : zel::test::lines_of(err))
        if (l.rfind("[zel_", 0) != 0) out += l + "\n";
    return out;
}

struct ToolRun {
    int exit_status;
    std::string out;
    std::string err;
};

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs the tool with `args` (shell words) and `input` on its standard
// input, in a directory of its own.
class Tool {
public:
    Tool() {
        char tmpl[] = "/tmp/zel-ip-sim-test.XXXXXX";
        const char *d = mkdtemp(tmpl);
        EXPECT_NE(d, nullptr);
        dir_ = d ? d : "/tmp";
    }
    ~Tool() {
        for (const char *f : {"in", "out", "err"}) std::remove((dir_ + "/" + f).c_str());
        for (const std::string &f : files_) std::remove(f.c_str());
        rmdir(dir_.c_str());
    }
    Tool(const Tool &) = delete;
    Tool &operator=(const Tool &) = delete;

    // A script file in the tool's directory; returns its path.
    std::string file(const std::string &name, const std::string &text) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        files_.push_back(path);
        return path;
    }

    ToolRun run(const std::string &args, const std::string &input = "") {
        std::ofstream(dir_ + "/in", std::ios::binary) << input;
        const std::string cmd = "cd " + dir_ + " && " + ZEL_SIM_TOOL + " " + args + " <in >out 2>err";
        const int st = std::system(cmd.c_str());
        return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(dir_ + "/out"), slurp(dir_ + "/err")};
    }

private:
    std::string dir_;
    std::vector<std::string> files_;
};

// The main job: the example router, whole output compared.
TEST(Cli, ExampleRouterScript) {
    Tool tool;
    ToolRun r = tool.run(std::string("-q ") + ZEL_EXAMPLES_DIR + "/router.zcfg");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_golden("cli_router.txt", mask_sites(r.out));
}

// A failed call: one line on standard error naming the script line, the
// command, the module's own message, the status word and its name;
// nothing on standard output; the run stops there with status 1.
TEST(Cli, FailedCallsStopTheRun) {
    struct Case {
        std::string script;
        std::string err;
    };
    const Case cases[] = {
        {"vrd create blue 5\nvrd create red 5\necho not reached\n",
         "<stdin>:2: vrd create red 5: Failed to allocate vrd namespace ID, RTE Error: NS id already allocated "
         "(0x0003001d NS ID allocation failed)\n"},
        {"# a module code is named by the module\nroute add 10.0.0.0/8 via 224.0.0.1\n",
         "<stdin>:2: route add 10.0.0.0/8 via 224.0.0.1: Invalid address specified as next hop "
         "(0x01030014 ZEL_IP_E_INVALID_IP_ADDRESS)\n"},
        {"dump tables 0x800\n", "<stdin>:1: dump tables 0x800: Invalid table group 2048 (0x00030008 Invalid parameter)\n"},
        {"vrd delete default\n", "<stdin>:1: vrd delete default: Invalid VRD Handle (0x00030008 Invalid parameter)\n"},
        // Of the module's messages the last that is not the status's own text.
        {"fault hwe_ptn_learn 1\nroute add 10.0.0.0/8 via 192.0.2.1\n",
         "<stdin>:2: route add 10.0.0.0/8 via 192.0.2.1: Failed to add the LPM rule in hardware "
         "(0x00010040 Pattern learn failed)\n"},
        // A status without a message of the module: the status alone.
        {"fault zel_ptn_free 1\nlookup 10.0.0.1\n", "<stdin>:2: lookup 10.0.0.1: 0x000001fa Injected fault\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.script);
        Tool tool;
        ToolRun r = tool.run("-q", c.script);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

// Standard output holds only what was asked for: with every log class on,
// the module's lines go to standard error beside the failure line.
TEST(Cli, LogLinesGoToStandardError) {
    Tool tool;
    ToolRun r = tool.run("-q -k -l 0xff",
                         "vrd create blue 5\n"
                         "echo asked for\n"
                         "vrd create red 5\n"
                         "lookup 10.0.0.1 vrd blue\n");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "asked for\n10.0.0.1 (VRD-ID 5) -> *, *.*.*.*, No-Route, NA, NA, NA, NA\n");
    const std::string err = mask_sites(r.err);
    EXPECT_NE(err.find("[zel_ip_log: function] FILE:LINE"), std::string::npos) << err;
    EXPECT_NE(err.find("[zel_ip_log: ERROR] FILE:LINE Failed to allocate vrd namespace ID, RTE Error: NS id already "
                       "allocated\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("<stdin>:3: vrd create red 5: Failed to allocate vrd namespace ID"), std::string::npos) << err;
}

// A lookup whose pattern the platform does not free reports it, and the
// pattern is freed by a later call (nothing is left for LeakSanitizer).
TEST(Cli, LookupReportsAFailedPatternFree) {
    Tool tool;
    ToolRun r = tool.run("-q -k",
                         "route add 10.0.0.0/8 via 192.0.2.1\n"
                         "fault zel_ptn_free 1\n"
                         "lookup 10.1.2.3\n"
                         "lookup 10.1.2.3\n");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "<stdin>:3: lookup 10.1.2.3: 0x000001fa Injected fault\n");
    EXPECT_EQ(r.out, "10.1.2.3 (VRD-ID 63) -> 63, 10.0.0.0/8, Via-Next-Hop, 192.0.2.1, NA, NA, NA\n");
}

// Usage errors report what is wrong with the line and count as failures.
TEST(Cli, UnknownCommandsAndBadArguments) {
    struct Case {
        std::string script;
        std::string err;
    };
    const Case cases[] = {
        {"frobnicate 1 2\n", "<stdin>:1: frobnicate 1 2: unknown command (try 'help')\n"},
        {"route add 10.0.0.0/33\n", "<stdin>:1: route add 10.0.0.0/33: destination: '10.0.0.0/33' is not an address/length\n"},
        {"route add 10.0.0.0/8 via 10.0.0.300\n",
         "<stdin>:1: route add 10.0.0.0/8 via 10.0.0.300: next hop: '10.0.0.300' is not an IPv4 address\n"},
        {"route add 10.0.0.0/8 vrd nosuch\n", "<stdin>:1: route add 10.0.0.0/8 vrd nosuch: routing domain: no object named 'nosuch'\n"},
        {"l2 create eth0 7\nroute add 10.0.0.0/8 vrd eth0\n",
         "<stdin>:2: route add 10.0.0.0/8 vrd eth0: routing domain: 'eth0' is a layer-2 interface, not a routing domain\n"},
        {"route add 10.0.0.0/8 via 10.0.0.1 extra\n", "<stdin>:1: route add 10.0.0.0/8 via 10.0.0.1 extra: unexpected 'extra'\n"},
        {"route delete 10.0.0.0/8 via 10.0.0.1\n", "<stdin>:1: route delete 10.0.0.0/8 via 10.0.0.1: unexpected 'via'\n"},
        {"vrd create blue\n", "<stdin>:1: vrd create blue: missing VRD ID\n"},
        {"vrd create blue 5\nvrd create blue 6\n", "<stdin>:2: vrd create blue 6: 'blue' is already defined\n"},
        {"vrd mode default sideways\n", "<stdin>:1: vrd mode default sideways: 'host' or 'router' expected, not 'sideways'\n"},
        {"lookup 10.0.0.1 vrd\n", "<stdin>:1: lookup 10.0.0.1 vrd: missing routing domain after 'vrd'\n"},
        {"dump tables routes\n",
         "<stdin>:1: dump tables routes: table group: 'routes' is not a number or one of interface, route, ingress, "
         "egress-flow, egress-assoc, tunnel, vrd-mode, bind, qos, exception, filter, all\n"},
        {"dump trees now\n", "<stdin>:1: dump trees now: unexpected 'now'\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.script);
        Tool tool;
        ToolRun r = tool.run("-q", c.script);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, c.err);
    }
}

// What a new user mistypes, each refused with what is wrong and how to
// write it: the whole standard error of one keep-going run (golden text).
TEST(Cli, RefusalsOfMistypedLines) {
    const std::string script =
        "# names and did-you-mean\n"
        "route dlete 10.0.0.0/8\n"
        "rout add 10.0.0.0/8 blackhole\n"
        "route show\n"
        "frobnicate\n"
        "route add 10.0.0.0/8 vai 192.0.2.1\n"
        "# null routes are written out\n"
        "route add 10.0.0.0/8\n"
        "route add 10.0.0.0/8 via 0.0.0.0\n"
        "route add 10.0.0.0/8 drop via 192.0.2.1\n"
        "# prefixes and addresses\n"
        "route add 10.0.0.1/8 via 192.0.2.1\n"
        "invalid-dip add 10.0.0.1/8\n"
        "l2 create eth0 7\n"
        "interface create if0 l2 eth0 addr 10.0.0.1\n"
        "interface create if0 l2 eth0 addr 10.0.0.1/24 addr 10.0.0.2/24\n"
        "interface create if0 addr 10.0.0.1/24\n"
        "interface create if0 l2 eth0 addr 10.0.0.1/24 nat sideways\n"
        "route add 10.0.0.0/8 via 192.0.2.1 via 192.0.2.2\n"
        "# numbers against the real limits\n"
        "vrd create x 64\n"
        "vrd create x five\n"
        "tunnel create t id 576\n"
        "interface create if0 l2 eth0 addr 10.0.0.1/24 mtu 63\n"
        "l2 create eth1 70000\n"
        "exception add 4 0 nca 1\n"
        "exception add 0 3 nca 1 mpp f\n"
        "interface create if0 l2 eth0 addr 10.0.0.1/24\n"
        "dscp-pcp add if0 64 0\n"
        "fault hwe_ptn_lern 1\n"
        "fault hwe_ptn_learn 0\n"
        "# raw bytes and long lines are not echoed as they are\n"
        "route add \x01\x7f\xff/8\n"
        "echo-" + std::string(200, 'x') + "\n"
        "help nosuch\n";
    Tool tool;
    ToolRun r = tool.run("-q -k", script);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    expect_golden("cli_refusals.txt", r.err);
}

// Every removal answers to del, delete, rem and remove, and vrf means vrd,
// in command names and options alike.
TEST(Cli, RemovalAndDomainAliases) {
    const std::string script =
        "vrf create blue 5\n"
        "l2 create eth0 7\n"
        "interface create if0 l2 eth0 addr 10.0.0.1/24 vrf blue\n"
        "interface addr add if0 10.9.0.1/24\n"
        "interface addr rem if0 10.9.0.1/24\n"
        "route add 10.1.0.0/16 via 10.0.0.9 vrf blue\n"
        "route del 10.1.0.0/16 vrf blue\n"
        "invalid-dip add 10.2.0.0/16 vrd blue\n"
        "invalid-dip remove 10.2.0.0/16 vrd blue\n"
        "napt add in 10.0.0.5 out 192.0.2.2\n"
        "napt rem in 10.0.0.5 out 192.0.2.2\n"
        "exception add 0 3 nca 5\n"
        "exception delete 0 3\n"
        "dscp-pcp add if0 46 5\n"
        "dscp-pcp del if0 46\n"
        "qos queue q 40\n"
        "cpu-dscp add 48:q\n"
        "cpu-dscp remove 48\n"
        "qos policy add if0 queues 0xb8:q\n"
        "qos policy rem if0 queues 0xb8:q\n"
        "tunnel create t id 3 vrf blue\n"
        "tunnel del t\n"
        "vif create v addr 10.255.0.1 vrf blue\n"
        "vif remove v\n"
        "interface del if0\n"
        "show route vrf blue\n"
        "vrf del blue\n";
    Tool tool;
    ToolRun r = tool.run("-q", script);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "routing domain blue (VRD-ID 5)\n  no routes\n");
}

// help lists every command, a group's commands, or one command with its
// options and limits; an unknown one fails (golden text).
TEST(Cli, HelpTexts) {
    Tool tool;
    ToolRun r = tool.run("-q", "help route\nhelp vrf\nhelp route add\nhelp interface create\nhelp tunnel create\n"
                               "help exception add\nhelp napt del\n");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_golden("cli_help.txt", r.out);
    ToolRun bad = tool.run("-q", "help route ad\n");
    EXPECT_EQ(bad.exit_status, 1);
    EXPECT_EQ(bad.err, "<stdin>:1: help route ad: no command 'route ad' (did you mean route add?)\n");
}

// show route names what the script named and says what it cannot name.
TEST(Cli, ShowRoute) {
    Tool tool;
    ToolRun r = tool.run("-q",
                         "show route\n"
                         "vrd create blue 5\n"
                         "l2 create e 7\n"
                         "interface create lan l2 e addr 10.0.0.1/30 vrd blue\n"
                         "tunnel create gre id 2 addr 10.9.0.1/31 vrd blue\n"
                         "route add 10.1.0.0/16 dev gre vrd blue\n"
                         "route add 10.2.0.0/16 local mask 0x34 vrd blue\n"
                         "vrd mode blue host\n"
                         "show route vrd blue\n"
                         "vrd get dflt 63\n"
                         "route add 0.0.0.0/0 via 192.0.2.1\n"
                         "show route\n");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_golden("cli_show_route.txt", r.out);
}

// -k runs every line; each failure still reports and the status is 1.
TEST(Cli, KeepGoing) {
    const std::string script =
        "frobnicate\n"
        "vrd create blue 70\n"
        "vrd create blue 5\n"
        "route add 10.1.0.0/16 via 192.0.2.1 vrd blue\n"
        "lookup 10.1.2.3 vrd blue\n";
    Tool tool;
    ToolRun stop = tool.run("-q", script);
    EXPECT_EQ(stop.exit_status, 1);
    EXPECT_EQ(stop.err, "<stdin>:1: frobnicate: unknown command (try 'help')\n");
    EXPECT_EQ(stop.out, "");
    ToolRun go = tool.run("-q -k", script);
    EXPECT_EQ(go.exit_status, 1);
    EXPECT_EQ(go.err,
              "<stdin>:1: frobnicate: unknown command (try 'help')\n"
              "<stdin>:2: vrd create blue 70: VRD ID 70 is out of range (0 to 62)\n");
    EXPECT_NE(go.out.find("10.1.2.3 (VRD-ID 5) -> 5, 10.1.0.0/16, Via-Next-Hop, 192.0.2.1, NA, NA, NA\n"),
              std::string::npos)
        << go.out;
}

// Several scripts run in one module, in order; a failing one ends the run
// unless -k. A script that cannot be opened is a failure of its own.
TEST(Cli, SeveralScripts) {
    Tool tool;
    const std::string a = tool.file("a.zcfg", "vrd create blue 5\n");
    const std::string b = tool.file("b.zcfg", "route add 10.1.0.0/16 via 192.0.2.1 vrd blue\nvrd create blue 6\n");
    const std::string c = tool.file("c.zcfg", "lookup 10.1.2.3 vrd blue\n");
    ToolRun r = tool.run("-q " + a + " " + b + " " + c);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, b + ":2: vrd create blue 6: 'blue' is already defined\n");
    EXPECT_EQ(r.out, "");
    // A script that cannot be read stops the tool before anything runs.
    ToolRun k = tool.run("-q -k " + a + " missing.zcfg " + b + " " + c);
    EXPECT_EQ(k.exit_status, 2);
    EXPECT_EQ(k.err, "zel-ip-sim: missing.zcfg: No such file or directory\n");
    EXPECT_EQ(k.out, "");
    ToolRun dir = tool.run("-q " + a + " .");
    EXPECT_EQ(dir.exit_status, 2);
    EXPECT_EQ(dir.err, "zel-ip-sim: .: Is a directory\n");
    ToolRun k2 = tool.run("-q -k " + a + " " + b + " " + c);
    EXPECT_EQ(k2.exit_status, 1);
    EXPECT_EQ(k2.err, b + ":2: vrd create blue 6: 'blue' is already defined\n");
    EXPECT_EQ(k2.out, "10.1.2.3 (VRD-ID 5) -> 5, 10.1.0.0/16, Via-Next-Hop, 192.0.2.1, NA, NA, NA\n");
}

TEST(Cli, Help) {
    Tool tool;
    ToolRun usage = tool.run("--help");
    EXPECT_EQ(usage.exit_status, 0);
    EXPECT_EQ(usage.out.rfind("usage: zel-ip-sim [options] [script ...]\n", 0), 0u) << usage.out;
    ToolRun bad_option = tool.run("--frobnicate");
    EXPECT_EQ(bad_option.exit_status, 2);
    EXPECT_EQ(bad_option.err.rfind("zel-ip-sim: unknown option --frobnicate\n", 0), 0u) << bad_option.err;
    // Every command explains itself, with help <command> and <command> --help alike.
    ToolRun list = tool.run("--help-commands");
    EXPECT_EQ(list.exit_status, 0);
    for (const char *cmd : {"vrd create", "vrd delete", "vrd mode", "vrd get", "route add", "route delete",
                            "invalid-dip add", "invalid-dip delete", "lookup", "dump tables", "dump trees",
                            "dump defrag", "tunnel create", "tunnel delete", "tunnel ends", "tunnel natt",
                            "tunnel mtu", "vif create", "vif delete"}) {
        SCOPED_TRACE(cmd);
        EXPECT_NE(list.out.find(std::string(cmd) + " "), std::string::npos);
        ToolRun help = tool.run("-q", std::string("help ") + cmd + "\n" + cmd + " --help\n");
        EXPECT_EQ(help.exit_status, 0);
        const std::vector<std::string> lines = zel::test::lines_of(help.out);
        ASSERT_EQ(lines.size() % 2, 0u) << help.out;
        ASSERT_GE(lines.size(), 4u) << help.out;
        EXPECT_EQ(lines[0].rfind(std::string(cmd) + " ", 0), 0u) << lines[0];
        // The same explanation twice.
        const size_t half = lines.size() / 2;
        for (size_t i = 0; i < half; ++i) EXPECT_EQ(lines[i], lines[half + i]);
    }
}

// The lookup shows the entry a destination hits, the catch-all included.
TEST(Cli, Lookup) {
    Tool tool;
    ToolRun r = tool.run("-q",
                     "vrd create blue 5\n"
                     "route add 10.0.0.0/8 via 192.0.2.1 vrd blue\n"
                     "route add 10.1.0.0/16 blackhole vrd blue\n"
                     "lookup 10.1.2.3 vrd blue\n"
                     "lookup 10.2.0.1 vrd blue\n"
                     "lookup 10.2.0.1\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out,
              "10.1.2.3 (VRD-ID 5) -> 5, 10.1.0.0/16, Null-Route, NA, NA, NA, NA\n"
              "10.2.0.1 (VRD-ID 5) -> 5, 10.0.0.0/8, Via-Next-Hop, 192.0.2.1, NA, NA, NA\n"
              "10.2.0.1 (VRD-ID 63) -> *, *.*.*.*, No-Route, NA, NA, NA, NA\n");
    EXPECT_EQ(r.err, "");
}

// A tunnel's life through the tool: created, its ends, NAT-T and MTU
// changed (a change to what it has only warns), a virtual interface
// beside it, the tunnel tables, and nothing left once both are deleted.
TEST(Cli, TunnelAndVirtualInterfaceCommands) {
    Tool tool;
    ToolRun r = tool.run("-q -l 7",
                         "vrd create blue 5\n"
                         "tunnel create gre0 id 3 local 192.0.2.2 remote 203.0.113.7 vrd blue natt\n"
                         "tunnel ends gre0 0 203.0.113.8\n"
                         "tunnel ends gre0 192.0.2.2 0\n"
                         "tunnel natt gre0 off\n"
                         "tunnel mtu gre0 1400 1476\n"
                         "vif create lo1 addr 10.255.255.1 vrd blue\n"
                         "lookup 10.255.255.1 vrd blue\n"
                         "dump tables tunnel\n"
                         "vif delete lo1\n"
                         "tunnel delete gre0\n"
                         "dump tables tunnel\n");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(mask_sites(r.err),
              "[zel_ip_log: Warning] FILE:LINE Old and New IP addreses are same! Returning with no change done!\n");
    const std::string empty_tables =
        "zel_ip.ip_tunnel_if_lookup, VRD-ID, PROTO, REMOTE-IP-ADDR, LOCAL-IP-ADDR, INTF-ID\n"
        "zel_ip.ip_tunnel_if_lookup, *, *, *, *, NA\n";
    EXPECT_EQ(r.out,
              "10.255.255.1 (VRD-ID 5) -> 5, 10.255.255.1/32, Locally-Addressed, NA, NA, OFF, |PROTO|\n"
              "\n" + empty_tables +
              "zel_ip.ip_tunnel_if_lookup, 63, 47, 203.0.113.8, 192.0.2.2, 0x000100\n"
              "\n"
              "zel_ip.ip_tunnel_pmtu_lookup, INTF-ID, PTB_EXCEP_ENABLED, OUTER-PATH-MTU\n"
              "zel_ip.ip_tunnel_pmtu_lookup, *, NO, 0\n"
              "zel_ip.ip_tunnel_pmtu_lookup, 256, YES, 1476\n"
              "\n"
              "zel_ip.ip_tunnel_if_id_lookup, TUNNEL-ID, INTF-ID\n"
              "zel_ip.ip_tunnel_if_id_lookup, *, NA\n"
              "zel_ip.ip_tunnel_if_id_lookup, 3, 0x000100\n"
              "\n" + empty_tables +
              "\n"
              "zel_ip.ip_tunnel_pmtu_lookup, INTF-ID, PTB_EXCEP_ENABLED, OUTER-PATH-MTU\n"
              "zel_ip.ip_tunnel_pmtu_lookup, *, NO, 0\n"
              "\n"
              "zel_ip.ip_tunnel_if_id_lookup, TUNNEL-ID, INTF-ID\n"
              "zel_ip.ip_tunnel_if_id_lookup, *, NA\n");

    // What each command refuses before the library sees it.
    ToolRun bad = tool.run("-q -k",
                           "tunnel create t\n"
                           "tunnel create t id 1 proto 300\n"
                           "tunnel ends t 0\n"
                           "vif create v\n"
                           "vif create v addr 10.0.0.1\n"
                           "tunnel natt v on\n"
                           "tunnel create t id 576\n");
    EXPECT_EQ(bad.exit_status, 1);
    EXPECT_EQ(bad.err,
              "<stdin>:1: tunnel create t: missing id <tunnel id>\n"
              "<stdin>:2: tunnel create t id 1 proto 300: protocol 300 is out of range (0 to 255)\n"
              "<stdin>:3: tunnel ends t 0: tunnel: no object named 't'\n"
              "<stdin>:4: vif create v: missing addr <address>\n"
              "<stdin>:6: tunnel natt v on: tunnel: 'v' is a virtual interface, not a tunnel\n"
              "<stdin>:7: tunnel create t id 576: tunnel id 576 is out of range (0 to 575)\n");
}

// Ingress associations by name: the mask follows from the fields given;
// `lookup` with a 5-tuple names the association a locally terminated
// packet hits; an interface an association is keyed by cannot be deleted
// under it; refusals report the library's status.
TEST(Cli, IngressAssociationCommands) {
    Tool tool;
    // The module's error lines are shown with -l 3 (on standard error).
    ToolRun r = tool.run("-q -k -l 3",
                         "l2 create eth0 0x10\n"
                         "interface create up l2 eth0 addr 192.0.2.2/30 mask 0x12\n"
                         "assoc create bgp cpu nca 3 intf up proto 6\n"
                         "assoc create any-ospf discard intf-any proto 89\n"
                         "assoc create any-intf discard intf-any proto 0\n"
                         "assoc create bad discard proto 0 dip 10.0.0.0/8\n"
                         "assoc create comp cpu ph 0x12345678 cb 2 vrd-id 63 proto 17 dip 192.0.2.2 dport 50000 "
                         "sip 198.51.100.1 sport 9\n"
                         "interface delete up\n"
                         "lookup 192.0.2.2 proto 6 dport 179 intf up\n"
                         "lookup 192.0.2.2 proto 6 dport 179\n"
                         "assoc delete bgp\n"
                         "assoc delete bgp\n"
                         "lookup 192.0.2.2 proto 6 dport 179 intf up\n"
                         "interface delete up\n");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(mask_pointers(failure_lines(r.err)),
              "<stdin>:4: assoc create any-ospf discard intf-any proto 89: Unexpected ingress association mask "
              "(0x00030008 Invalid parameter)\n"
              "<stdin>:6: assoc create bad discard proto 0 dip 10.0.0.0/8: Unexpected ingress association mask "
              "(0x00030008 Invalid parameter)\n"
              "<stdin>:7: assoc create comp cpu ph 0x12345678 cb 2 vrd-id 63 proto 17 dip 192.0.2.2 dport 50000 "
              "sip 198.51.100.1 sport 9: Failed to add ingress association rule in hardware (0x00010008 Invalid "
              "parameter)\n"
              "<stdin>:8: interface delete up: IP interface 0xPTR in use by ingress association 0xPTR (0x0003000f "
              "Operation not allowed in current state)\n"
              "<stdin>:12: assoc delete bgp: association: no object named 'bgp'\n");
    const std::string up =
        "192.0.2.2 (VRD-ID 63) -> 63, 192.0.2.2/32, Locally-Addressed, NA, NA, OFF, |INTF|PROTO|\n";
    EXPECT_NE(mask_sites(r.err).find("[zel_ip_log: ERROR] FILE:LINE Protocol cannot be specified with a "
                                     "wild-carded input field before it\n"),
              std::string::npos);
    EXPECT_NE(mask_sites(r.err).find("[zel_ip_log: ERROR] FILE:LINE IP interface 0x"), std::string::npos);
    const std::string lookups = r.out.substr(r.out.find(up));
    // With the interface: bgp. From elsewhere: the any-interface
    // association, which is what remains once bgp is deleted.
    const std::string any = "  association lookup: tree 8: association any-intf (FLOW-ID 0xd00001, Discard)\n";
    EXPECT_EQ(lookups, up + "  association lookup: tree 8: association bgp (FLOW-ID 0xd00000, Send-to-CPU)\n" +
                           up + any + up + any);
}

// Egress flows and associations by name, the default TTL, receive
// metadata pasted as hex and a PDU send with its header: what the tool
// prints (expected bytes written by hand) and what it refuses.
TEST(Cli, EgressAndCpuTrafficCommands) {
    Tool tool;
    ToolRun r = tool.run("-q",
                         "l2 create eth0 7\n"
                         "interface create if0 l2 eth0 addr 10.0.0.1/24\n"
                         "egress flow create nh1 dev if0 via 10.0.0.2\n"
                         "egress assoc create vx dip 203.0.113.9 sip 10.0.0.1 dport 4789 sport 49152 mtu 1450\n"
                         "ttl 64\n"
                         "recv decode 0x11223344 55:66:77:88 05 0a0b0c 09 0d0e0f e1 f2 0201\n"
                         "pdu send 1 flow nh1 p 0x40 q 1 u 1\n"
                         "pdu send 0 value 0xdeadbeef r 3 s 0x80\n"
                         "dump tables egress-flow egress-assoc\n"
                         "egress assoc delete vx\n"
                         "egress flow delete nh1\n"
                         "interface delete if0\n");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_golden("cli_egress.txt", mask_sites(r.out));

    ToolRun bad = tool.run("-q -k",
                           "l2 create eth0 7\n"
                           "interface create if0 l2 eth0 addr 10.0.0.1/24\n"
                           "egress flow create f1 dev if0\n"
                           "egress flow create f2 dev if0\n"
                           "egress assoc delete f1\n"
                           "interface delete if0\n"
                           "egress assoc create a dip 1.2.3.4 vrd-id 5\n"
                           "egress assoc create a dip 1.2.3.4 mtu 9001\n"
                           "ttl 0\n"
                           "ttl 256\n"
                           "recv decode 11 22 zz\n"
                           "recv decode 1122\n"
                           "pdu send 3\n");
    EXPECT_EQ(bad.exit_status, 1);
    EXPECT_EQ(mask_sites(mask_pointers(bad.err)),
              "<stdin>:4: egress flow create f2 dev if0: Egress flow 0xPTR has the same interface and next hop "
              "(0x00030008 Invalid parameter)\n"
              "<stdin>:5: egress assoc delete f1: Invalid flow handle parameter (0x00030008 Invalid parameter)\n"
              "<stdin>:6: interface delete if0: IP interface 0xPTR in use by egress flow 0xPTR (0x0003000f Operation "
              "not allowed in current state)\n"
              "<stdin>:7: egress assoc create a dip 1.2.3.4 vrd-id 5: vrd-id needs a mask with bit 0x02 (VRD ID); "
              "without a mask the domain goes by handle\n"
              "<stdin>:8: egress assoc create a dip 1.2.3.4 mtu 9001: Unexpected egress association mask "
              "(0x01030016 ZEL_IP_E_INVALID_MTU)\n"
              "[zel_unknown_log: ERROR] FILE:LINE TTL value must be non-zero\n"
              "<stdin>:9: ttl 0: TTL value must be non-zero (0x00030008 Invalid parameter)\n"
              "<stdin>:10: ttl 256: TTL 256 is out of range (0 to 255)\n"
              "<stdin>:11: recv decode 11 22 zz: metadata: 'zz' is not hex bytes\n"
              "<stdin>:12: recv decode 1122: metadata: 20 bytes needed, 2 given\n"
              "<stdin>:13: pdu send 3: Invalid Send Profile type (0x00030008 Invalid parameter)\n");
}

// Policy routing by name: sets, rules, action changes, commits, where a
// set applies, and what packets get before and after a commit (golden
// text); then the refusals, with handle values masked.
TEST(Cli, PolicyRoutingCommands) {
    Tool tool;
    const std::string setup =
        "l2 create eth0 0x10\n"
        "interface create lan l2 eth0 addr 10.1.0.1/16\n"
        "tunnel create br id 1 addr 10.99.0.1/30 local 192.0.2.2 remote 203.0.113.7\n"
        "pbr set create office\n"
        "pbr rule create r1 set office index 10 src 10.1.50.0/24 tunnel br\n"
        "pbr rule create r2 set office index 20 proto 6 6 dport 80 80 via 10.1.0.9 lan\n";
    ToolRun r = tool.run("-q",
                         setup +
                             "pbr apply dev lan set office\n"
                             "pbr query dev lan src 10.1.50.7\n"
                             "pbr commit office\n"
                             "pbr query dev lan src 10.1.50.7\n"
                             "pbr query dev lan src 10.1.60.7 proto 6 dport 80\n"
                             "pbr query dev lan src 10.1.60.7 proto 6 dport 81\n"
                             "pbr rule action r2 dip-routing\n"
                             "pbr query dev lan src 10.1.60.7 proto 6 dport 80\n"
                             "pbr rule create r3 set office index 30 via 10.1.0.9 lan local mask 0x34 defrag\n"
                             "pbr rule delete r1 index 10\n"
                             "pbr commit all\n"
                             "pbr query dev lan src 10.1.50.7 proto 17\n"
                             "pbr apply vrd-id 63 set office\n"
                             "pbr query vrd-id 63 dscp 46\n"
                             "pbr query vrd-id 5\n"
                             "pbr query local\n"
                             "pbr apply local set office\n"
                             "pbr query vrd-id 5 frag 3\n"
                             "pbr apply local set none\n"
                             "pbr apply vrd-id 63 set none\n"
                             "pbr apply dev lan set none\n"
                             "pbr query dev lan\n"
                             "pbr rule delete r2 index 20\n"
                             "pbr rule delete r3 index 30\n"
                             "pbr commit office\n"
                             "pbr set delete office\n"
                             "tunnel delete br\n");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_golden("cli_pbr.txt", r.out);

    ToolRun bad = tool.run("-q -k",
                           setup +
                               "pbr apply dev lan set office\n"
                               "pbr set delete office\n"
                               "pbr rule delete r1 index 3\n"
                               "tunnel delete br\n"
                               "pbr apply vrd-id 64 set office\n"
                               "pbr rule create r4 set office index 40 dst 10.2.0.0/33 via 10.1.0.9 lan\n"
                               "pbr rule create r4 set office index 40 via 127.0.0.1 lan\n"
                               "pbr rule create r4 set office index 40 tunnel br defrag\n"
                               "pbr rule create r4 set office index 10 tunnel br\n"
                               "pbr apply set office\n");
    EXPECT_EQ(failure_lines(mask_pointers(bad.err)),
              "<stdin>:8: pbr set delete office: PBR policy set 0xPTR in use by interface 0xPTR "
              "(0x0003000f Operation not allowed in current state)\n"
              "<stdin>:9: pbr rule delete r1 index 3: Invalid rule index 3: the PBR rule is at index 10 "
              "(0x00030008 Invalid parameter)\n"
              "<stdin>:10: tunnel delete br: Tunnel interface 0xPTR in use by policy rule 0xPTR "
              "(0x0003000f Operation not allowed in current state)\n"
              "<stdin>:11: pbr apply vrd-id 64 set office: VRD ID 64 out of range (0x00030008 Invalid parameter)\n"
              "<stdin>:12: pbr rule create r4 set office index 40 dst 10.2.0.0/33 via 10.1.0.9 lan: destination "
              "prefix: '10.2.0.0/33' is not an address/length\n"
              "<stdin>:13: pbr rule create r4 set office index 40 via 127.0.0.1 lan: Invalid addr specified as the "
              "next hop 0x7f000001 (0x01030014 ZEL_IP_E_INVALID_IP_ADDRESS)\n"
              "<stdin>:14: pbr rule create r4 set office index 40 tunnel br defrag: Re-assembly cannot be enabled if "
              "PBR action is not set for local termination. (0x00030008 Invalid parameter)\n"
              "<stdin>:15: pbr rule create r4 set office index 10 tunnel br: Failed to add the PBR rule in hardware "
              "(0x00010054 Rule set rule program failed)\n"
              "<stdin>:16: pbr apply set office: say where: dev <interface>, vrd <name>, vrd-id <n> or local\n");
}

// ACL commands: what they refuse themselves (ranges, unknown rules) and
// what the module refuses, one failure line each; a set with a pending
// delete cannot go until its commit.
TEST(Cli, AclRefusals) {
    Tool tool;
    ToolRun r = tool.run("-q -k",
                         "acl create edge\n"
                         "acl rule add edge 1 proto 6-17 dport 22 deny\n"
                         "acl rule add edge 1 dscp 70 deny\n"
                         "acl rule add edge 1 allow\n"
                         "acl rule add edge 1 deny\n"
                         "acl rule delete edge 2\n"
                         "acl rule delete edge 1\n"
                         "acl delete edge\n"
                         "acl commit blue\n"
                         "acl commit edge\n"
                         "acl delete edge\n");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(mask_pointers(failure_lines(r.err)),
              "<stdin>:2: acl rule add edge 1 proto 6-17 dport 22 deny: Protocol value cannot be more than one "
              "when L4 info needs to be specified (0x00030008 Invalid parameter)\n"
              "<stdin>:3: acl rule add edge 1 dscp 70 deny: dscp: '70' is not a range n or n-m within 0-63\n"
              "<stdin>:5: acl rule add edge 1 deny: Failed to add the rule in hardware (0x01030010 "
              "ZEL_IP_E_INVALID_FILTER_INDEX)\n"
              "<stdin>:6: acl rule delete edge 2: no rule 2 in rule set 'edge'\n"
              "<stdin>:8: acl delete edge: Filter rule set 0x1 has 1 rules pending a commit (0x0003000f "
              "Operation not allowed in current state)\n"
              "<stdin>:9: acl commit blue: rule set: 'blue' is not a rule set (or all)\n");
}

// Tree compaction: what a request compacted with each tree's memory before
// and after (golden text), the periodic compaction interleaved with a
// script, and a failed request's line.
TEST(Cli, CompactCommands) {
    Tool tool;
    std::string script;
    for (int i = 0; i < 200; ++i) script += "route add 20.0." + std::to_string(i) + ".0/24 via 192.0.2.1\n";
    for (int i = 0; i < 190; ++i) script += "route delete 20.0." + std::to_string(i) + ".0/24\n";
    script += "compact flags 0x10\n"
              "compact callback\n"
              "compact flags 0x800\n"
              "compact auto 4 callback\n";
    for (int i = 0; i < 9; ++i) script += "route add 30.0." + std::to_string(i) + ".0/24 via 192.0.2.1\n";
    script += "compact auto 0\n"
              "route add 40.0.0.0/8 via 192.0.2.1\n";
    ToolRun r = tool.run("-q", script);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_golden("cli_compact.txt", r.out);

    ToolRun bad = tool.run("-q -k", "fault hwe_ptn_compact_fn 2\ncompact\ncompact flags 0x10\ncompact flags\n");
    EXPECT_EQ(bad.exit_status, 1) << bad.err;
    EXPECT_NE(bad.err.find("<stdin>:2: compact: "), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("Failed to compact IPv4 tree zel_ip.ip_dest_addr_lookup"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("(0x00030043 Tree compaction failed)"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("<stdin>:4: compact flags:"), std::string::npos) << bad.err;
}

// Association flow filter rules by association name: staging seen by
// `classify assoc` (before and after the commit and a delete), and the
// refusals as failure lines.
TEST(Cli, AssociationFlowFilterCommands) {
    Tool tool;
    ToolRun r = tool.run("-q -k",
                         "l2 create eth0 7\n"
                         "interface create if0 l2 eth0 addr 10.0.0.1/24\n"
                         "assoc create a discard proto 6 filter\n"
                         "assoc filter add from-net a 5 pass l2 eth0 proto 6 sip 10.0.0.0/8\n"
                         "classify assoc a l2 eth0 proto 6 sip 10.1.1.1\n"
                         "assoc filter commit a\n"
                         "classify assoc a l2 eth0 proto 6 sip 10.1.1.1\n"
                         "classify assoc a proto 6 sip 10.1.1.1\n"
                         "assoc filter add all a 9 drop\n"
                         "assoc filter add again a 9 pass\n"
                         "assoc delete a\n"
                         "assoc filter delete from-net index 9\n"
                         "assoc filter delete from-net\n"
                         "assoc filter commit a\n"
                         "classify assoc a l2 eth0 proto 6 sip 10.1.1.1\n"
                         "assoc filter delete all\n"
                         "assoc filter commit if0\n"
                         "assoc delete a\n");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out,
              "tree 35: association a: no rule (the default: drop)\n"
              "tree 35: association a: rule 5 (pass)\n"
              "tree 35: association a: no rule (the default: drop)\n"
              "tree 35: association a: rule 9 (drop)\n");
    EXPECT_EQ(mask_sites(mask_pointers(failure_lines(r.err))),
              "<stdin>:10: assoc filter add again a 9 pass: Failed to insert rule in the OtreeSet, RTE Error: Rule "
              "index already used or absent (0x01030010 ZEL_IP_E_INVALID_FILTER_INDEX)\n"
              "<stdin>:11: assoc delete a: Ingress association 0xPTR in use by association flow filter rule 0xPTR "
              "(0x0003000f Operation not allowed in current state)\n"
              "<stdin>:12: assoc filter delete from-net index 9: Rule index 9 is not the rule's index 5 "
              "(0x00030008 Invalid parameter)\n"
              "<stdin>:17: assoc filter commit if0: association: 'if0' is a interface, not a ingress association\n");
}

// Binding by name: the functions each bind chooses, the bind trees (8, 14,
// 28, 29) as the table dump decodes them, what a packet reaches through a
// bound association before and after unbind, and the refusals (a bound
// association, or an egress association a module is bound into, is not
// deleted until the unbind; the matrix's messages).
TEST(Cli, BindCommands) {
    Tool tool;
    ToolRun r = tool.run("-q -k",
                         "l2 create eth0 7\n"
                         "interface create if0 l2 eth0 addr 10.0.0.1/24\n"
                         "interface assoc if0 10.0.0.1/32 enable mask 0x34\n"
                         "egress flow create nh1 dev if0 via 10.0.0.2\n"
                         "egress assoc create vx dip 203.0.113.9 sip 10.0.0.1\n"
                         "assoc create bfd-ctl bind dip 10.0.0.1 proto 17 dport 3784\n"
                         "bind assoc bfd-ctl to bfd dir 1 flow 0x10 custom\n"
                         "lookup 10.0.0.1 proto 17 dport 3784\n"
                         "bind egress-flow nh1 to ethernet dir 2 flow 0x20 custom\n"
                         "bind egress-flow nh1 to ipsec dir 2 flow 0x21 custom\n"
                         "bind egress-assoc vx to ipv6 dir 1\n"
                         "bind ipv4 to ethernet dir 2\n"
                         "bind from ethernet dir 2\n"
                         "bind from bfd into vx dir 2 mode 2\n"
                         "dump tables bind\n"
                         "assoc delete bfd-ctl\n"
                         "bind assoc bfd-ctl to bfd dir 2 flow 0x10 custom\n"
                         "bind ipv4 to ethernet dir 2 custom\n"
                         "unbind assoc bfd-ctl to bfd dir 1 flow 0x10 custom\n"
                         "lookup 10.0.0.1 proto 17 dport 3784\n"
                         "unbind egress-flow nh1 to ethernet dir 2 flow 0x20 custom\n"
                         "assoc delete bfd-ctl\n"
                         "egress flow delete nh1\n"
                         "egress assoc delete vx\n"
                         "unbind from bfd into vx dir 2 mode 2\n"
                         "egress assoc delete vx\n");
    EXPECT_EQ(r.exit_status, 1);
    expect_golden("cli_bind.txt", mask_sites(r.out) + "---- errors\n" + mask_sites(mask_pointers(r.err)));
}

// Statistics by name with counters planted by the script: what the print
// calls print (handles masked), and what `counter set` refuses.
TEST(Cli, StatsAndCounterCommands) {
    Tool tool;
    ToolRun r = tool.run("-q",
                         "l2 create eth0 7\n"
                         "interface create if0 l2 eth0 addr 10.0.0.1/24 qos-l3\n"
                         "tunnel create gre1 id 3\n"
                         "vif create v1 addr 192.0.2.9\n"
                         "assoc create a1 discard proto 17\n"
                         "egress assoc create e1 dip 203.0.113.9\n"
                         "counter set global rx_pkts 0x10\n"
                         "counter set global w20 7\n"
                         "counter set interface if0 rx_pkts 100\n"
                         "counter set interface if0 w42 5\n"
                         "counter set interface if0 in_octets 0x100000002 record b\n"
                         "counter set interface if0 tm_transmits 90 record tm\n"
                         "counter set interface if0 mcast_discards 1 record tm\n"
                         "counter set interface gre1 tx_pkts 8\n"
                         "counter set interface v1 w42 3\n"
                         "counter set flow a1 rx_pkts 4\n"
                         "counter set flow e1 rx_hdr 6\n"
                         "stats global\n"
                         "stats interface if0\n"
                         "stats interface gre1\n"
                         "stats router-if if0\n"
                         "stats router-if v1\n"
                         "stats assoc a1\n"
                         "stats egress-assoc e1\n"
                         "acl create web\n"
                         "acl rule add web 10 proto 6 deny count\n"
                         "counter set flow web.10 pkts 12\n"
                         "counter set flow web.10 bytes 0x200000000\n"
                         "stats rule web.10\n"
                         "pbr set create ps\n"
                         "pbr rule create r1 set ps index 10 dip-routing\n"
                         "counter set flow r1 pkts 3\n"
                         "stats pbr r1\n");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_golden("cli_stats.txt", mask_pointers(r.out));

    ToolRun bad = tool.run("-q -k",
                           "l2 create eth0 7\n"
                           "interface create if0 l2 eth0 addr 10.0.0.1/24\n"
                           "vif create v1 addr 192.0.2.9\n"
                           "assoc create a1 discard proto 17\n"
                           "counter set global no_such 1\n"
                           "counter set global rx_pkts 4294967296\n"
                           "counter set global w64 1\n"
                           "counter set global rx_pkts -1\n"
                           "counter set interface v1 in_octets 1 record b\n"
                           "counter set interface if0 rx_pkts 1 record c\n"
                           "stats interface v1\n"
                           "stats egress-assoc a1\n"
                           "stats assoc nothing\n"
                           "acl create web\n"
                           "acl rule add web 10 proto 6 deny count\n"
                           "stats pbr web.10\n"
                           "acl rule delete web 10\n"
                           "stats rule a1\n");
    EXPECT_EQ(bad.exit_status, 1);
    EXPECT_EQ(mask_pointers(bad.err),
              "<stdin>:5: counter set global no_such 1: global record has no counter 'no_such'\n"
              "<stdin>:6: counter set global rx_pkts 4294967296: counter 'rx_pkts' is 32 bits wide\n"
              "<stdin>:7: counter set global w64 1: counter 'w64' lies outside the global record\n"
              "<stdin>:8: counter set global rx_pkts -1: counter value: '-1' is not a number of at most 64 bits\n"
              "<stdin>:9: counter set interface v1 in_octets 1 record b: a virtual interface has only its own "
              "record (record a)\n"
              "<stdin>:10: counter set interface if0 rx_pkts 1 record c: 'a', 'b' or 'tm' expected, not 'c'\n"
              "<stdin>:11: stats interface v1: Invalid IPv4 interface handle (0x01030006 "
              "ZEL_IP_E_INVALID_IP_INTERFACE)\n"
              "<stdin>:12: stats egress-assoc a1: Failed to get IP egress flow statistics (0x00030008 "
              "Invalid parameter)\n"
              "<stdin>:13: stats assoc nothing: association: no object named 'nothing'\n"
              "<stdin>:16: stats pbr web.10: Invalid PBR rule handle (0x00030008 Invalid parameter)\n"
              "<stdin>:18: stats rule a1: Invalid input filter rule handle type (0x00030008 Invalid parameter)\n");
}

}  // namespace
