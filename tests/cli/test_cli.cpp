// zel-ip-sim as a user runs it: the example router script end to end
// (golden text), failure lines and exit statuses, keep-going, unknown
// commands and bad arguments, help.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "zel_test_fixture.h"

using zel::test::expect_golden;
using zel::test::mask_sites;

namespace {

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
// command, the status word and its name; the module's own log line on
// standard output; the run stops there with status 1.
TEST(Cli, FailedCallsStopTheRun) {
    struct Case {
        std::string script;
        std::string err;
        std::string out;
    };
    const Case cases[] = {
        {"vrd create blue 5\nvrd create red 5\necho not reached\n",
         "<stdin>:2: vrd create red 5: 0x0003001d NS ID allocation failed\n",
         "[zel_ip_log: ERROR] FILE:LINE Failed to allocate vrd namespace ID, RTE Error: NS id already allocated\n"
         "[zel_ip_log: ERROR] FILE:LINE NS ID allocation failed\n"},
        {"# a module code is named by the module\nroute add 10.0.0.0/8 via 224.0.0.1\n",
         "<stdin>:2: route add 10.0.0.0/8 via 224.0.0.1: 0x01030014 ZEL_IP_E_INVALID_IP_ADDRESS\n",
         "[zel_ip_log: ERROR] FILE:LINE Invalid address specified as next hop\n"},
        {"dump tables 0x800\n", "<stdin>:1: dump tables 0x800: 0x00030008 Invalid parameter\n",
         "[zel_ip_log: ERROR] FILE:LINE Invalid table group 2048\n"},
        {"vrd delete default\n", "<stdin>:1: vrd delete default: 0x00030008 Invalid parameter\n",
         "[zel_ip_log: ERROR] FILE:LINE Invalid VRD Handle\n"},
        {"fault hwe_ptn_learn 1\nroute add 10.0.0.0/8 via 192.0.2.1\n",
         "<stdin>:2: route add 10.0.0.0/8 via 192.0.2.1: 0x00010040 Pattern learn failed\n",
         "[zel_ip_log: ERROR] FILE:LINE RTE Error: Injected fault, Failed to learn the input pattern\n"
         "[zel_ip_log: ERROR] FILE:LINE Pattern learn failed\n"
         "[zel_ip_log: FATAL] FILE:LINE Failed to add the LPM rule in hardware\n"
         "[zel_ip_log: FATAL] FILE:LINE Pattern learn failed\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.script);
        Tool tool;
        ToolRun r = tool.run("-q", c.script);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, c.err);
        if (!c.out.empty()) {
            EXPECT_EQ(mask_sites(r.out), c.out);
        }
        EXPECT_EQ(r.out.find("not reached"), std::string::npos);
    }
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
    EXPECT_EQ(r.err, "");
    const std::string empty_tables =
        "zel_ip.ip_tunnel_if_lookup, VRD-ID, PROTO, REMOTE-IP-ADDR, LOCAL-IP-ADDR, INTF-ID\n"
        "zel_ip.ip_tunnel_if_lookup, *, *, *, *, NA\n";
    EXPECT_EQ(mask_sites(r.out),
              "[zel_ip_log: Warning] FILE:LINE Old and New IP addreses are same! Returning with no change done!\n"
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

}  // namespace
