// Extended ACL filters through the public API: from empty rule sets to
// committed ones, and one action change committed in a full set.
//
// For each N the module is brought up on the software platform, 32 rule
// sets are created and N rules spread over them (rule i in set i % 32 at
// index 10 * (i / 32)): ranges on protocol, destination and source
// prefixes, destination ports and DSCP, actions Allow, Deny, Send-To-CPU
// with counting. Timed: every zel_ip_filter_rule_add and the 32 commits
// (zel_ip_filter_set_commit mode 0). Then, in set 0 (full), one
// zel_ip_filter_rule_action_modify and its commit, repeated RUNS times.
// The default image has 256 statistics ids ("ip_filter_stats"); for a
// larger N the bench image gives the namespace N + 64 ids at the same
// base (bench_acl.h: image_with_filter_ids).
//
// Checked, outside the timed parts: every call returned 0; packets made
// to hit a sample of rules are classified by the engine to those rules
// (or to a rule of lower index that also matches, per a first-match scan).
//
// Printed:
//   ACL n=N sets=32 build_s= rules_per_s= modify_commit_us_median= modify_commit_us_min=
//   CHECKS passed | CHECKS FAILED: <what>
//
//   acl_bench [-n N[,N...]] [-r RUNS] [-s SEED]   (default -n 64,1000,10000 -r 21)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench_acl.h"
#include "bench_util.h"
#include "zel_ip/zel_ip.h"
#include "zel_sim.h"
#include "zel_sim_engine.h"

namespace {

using namespace zel::bench;

constexpr uint32_t kSets = 32;

struct Rule {
    zel_ip_filter_rule_t r;
    zel_ip_filter_action_t a;
};

Rule make_rule(std::mt19937 &g, uint32_t i) {
    Rule x{};
    zel_ip_filter_rule_t &r = x.r;
    r.mask = ZEL_IP_FILTER_DIP | ZEL_IP_FILTER_PROTO;
    r.dip = 0x0a000000u | (i << 8);
    r.dip_prefix_len = 24;
    r.proto_lo = r.proto_hi = (i % 3 == 0) ? 17 : 6;
    if (g() % 2) {
        r.mask |= ZEL_IP_FILTER_PROTO_INFO | ZEL_IP_FILTER_DPORT;
        r.dport_lo = 1000 + g() % 1000;
        r.dport_hi = r.dport_lo + g() % 200;
    }
    if (g() % 3 == 0) {
        r.mask |= ZEL_IP_FILTER_SIP;
        r.sip = 0xc0a80000u | (g() & 0xffff);
        r.sip_prefix_len = 16 + g() % 17;
    }
    if (g() % 4 == 0) {
        r.mask |= ZEL_IP_FILTER_DSCP;
        r.dscp_lo = g() % 32;
        r.dscp_hi = r.dscp_lo + g() % 32;
    }
    x.a.type = 1 + g() % 3;
    x.a.count = 1;
    x.a.cpu_kind = ZEL_IP_CPU_PATH_NCA;
    x.a.cpu_target = 1;
    return x;
}

struct Outcome {
    double build_s = 0;
    std::vector<double> modify_us;
    std::string failed;
};

Outcome run_n(uint32_t n, uint32_t runs, uint32_t seed) {
    Outcome out;
    zel_sim_image_t *img = image_with_filter_ids(n + 64);
    zel_sim_t *sim = zel_sim_create(img);
    zel_sim_image_free(img);
    zel_module_t *m = sim ? zel_sim_module_new(sim, "zel_ip", 0, 1) : nullptr;
    if (!m) {
        out.failed = "platform";
        return out;
    }
    {
        Quiet q;
        if (zel_ip_init(m) != 0) out.failed = "start-up";
    }
    std::mt19937 g(seed);
    std::vector<Rule> rules;
    for (uint32_t i = 0; i < n; ++i) rules.push_back(make_rule(g, i));
    zel_ip_rule_set_handle_t sets[kSets] = {};
    std::vector<zel_ip_flow_handle_t> handles(n);
    for (auto &s : sets)
        if (out.failed.empty() && zel_ip_filter_rule_set_create(m, &s) != 0) out.failed = "set create";
    if (out.failed.empty()) {
        bool ok = true;
        const auto t0 = Clock::now();
        for (uint32_t i = 0; i < n; ++i)
            ok &= zel_ip_filter_rule_add(m, sets[i % kSets], 10 * (i / kSets), &rules[i].r, &rules[i].a,
                                         &handles[i]) == 0;
        for (auto *s : sets) ok &= zel_ip_filter_set_commit(m, ZEL_IP_COMMIT_SET, s) == 0;
        out.build_s = secs(t0, Clock::now());
        if (!ok) out.failed = "rule add or commit";
    }
    // A sample of rules: a packet made to hit each one meets it or a
    // lower-index rule of its set that also matches.
    hwe_engine_t *eng = zel_sim_engine(sim);
    uint32_t tree = 0;
    zel_sim_engine_symbol_id(eng, "zel_ip.ip_ext_filter", &tree);
    for (uint32_t i = 0; out.failed.empty() && i < n; i += std::max<uint32_t>(1, n / 200)) {
        const zel_ip_filter_rule_t &r = rules[i].r;
        const uint32_t dip = r.dip | 7, sip = r.sip, dport = r.dport_lo, dscp = r.dscp_lo, proto = r.proto_lo;
        const uint32_t set_id = reinterpret_cast<const uint32_t *>(sets[i % kSets])[1];
        const uint32_t v[8] = {set_id, dscp << 2, 0, proto, sip, dip, 0, dport};
        hwe_action_t a{};
        uint32_t idx = 0;
        zel_sim_engine_classify(eng, tree, 8, v, &a, &idx);
        uint32_t want = 10 * (i / kSets);
        for (uint32_t j = i % kSets; j < i; j += kSets)
            if (acl_rule_matches(rules[j].r, {proto, sip, dip, 0, dport, dscp, 0})) {
                want = 10 * (j / kSets);
                break;
            }
        if (idx != want) out.failed = "classification of rule " + std::to_string(i);
    }
    // One action change committed in a full set (set 0).
    for (uint32_t k = 0; out.failed.empty() && k < runs && n > 0; ++k) {
        zel_ip_filter_action_t a = rules[0].a;
        a.type = 1 + k % 3;
        const auto t0 = Clock::now();
        const bool ok = zel_ip_filter_rule_action_modify(m, 0, handles[0], &a) == 0 &&
                        zel_ip_filter_set_commit(m, ZEL_IP_COMMIT_SET, sets[0]) == 0;
        out.modify_us.push_back(secs(t0, Clock::now()) * 1e6);
        if (!ok) out.failed = "modify and commit";
    }
    {
        Quiet q;
        zel_ip_shutdown(m);
    }
    zel_sim_module_free(m);
    zel_sim_destroy(sim);
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<uint32_t> ns = {64, 1000, 10000};
    uint32_t runs = 21, seed = 1;
    for (int c; (c = getopt(argc, argv, "n:r:s:")) != -1;) {
        switch (c) {
        case 'n': {
            ns.clear();
            std::stringstream ss(optarg);
            for (std::string w; std::getline(ss, w, ',');) ns.push_back(static_cast<uint32_t>(std::stoul(w)));
            break;
        }
        case 'r': runs = static_cast<uint32_t>(std::atoi(optarg)); break;
        case 's': seed = static_cast<uint32_t>(std::atoi(optarg)); break;
        default: std::fprintf(stderr, "usage: acl_bench [-n N[,N...]] [-r RUNS] [-s SEED]\n"); return 2;
        }
    }
    std::string failed;
    for (uint32_t n : ns) {
        Outcome o = run_n(n, runs, seed);
        if (!o.failed.empty()) {
            failed += " n=" + std::to_string(n) + ": " + o.failed;
            continue;
        }
        std::sort(o.modify_us.begin(), o.modify_us.end());
        const double med = o.modify_us.empty() ? 0 : o.modify_us[o.modify_us.size() / 2];
        const double min = o.modify_us.empty() ? 0 : o.modify_us.front();
        std::printf("ACL n=%u sets=%u build_s=%.6f rules_per_s=%.0f modify_commit_us_median=%.1f "
                    "modify_commit_us_min=%.1f\n",
                    n, kSets, o.build_s, o.build_s > 0 ? n / o.build_s : 0.0, med, min);
    }
    if (failed.empty()) {
        std::printf("CHECKS passed\n");
        return 0;
    }
    std::printf("CHECKS FAILED:%s\n", failed.c_str());
    return 1;
}
