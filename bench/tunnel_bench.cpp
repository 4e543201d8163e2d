// Tunnel interfaces at their limit through the public API.
//
// The module is brought up on the software platform and all 576 tunnel
// ids are taken with zel_ip_tunnel_interface_create (GRE, NAT-T on, so
// every tunnel holds two outer matches; distinct ends, unnumbered, in the
// default domains); one more create must be refused. Then all are deleted
// with zel_ip_tunnel_interface_delete in a seeded random order. Create
// checks the new tunnel's outer matches against every tunnel's: a cost
// that grew with the count while the check scanned the tunnel table. The
// run is repeated (-r) on a fresh module each time, and every call is
// timed (bench_util.h), so a tenth of 57 calls is not one stall.
//
// Checked, outside the timed parts: every call returned 0, the 577th
// create was refused with *out NULL, and no tunnel is left.
//
// Printed (rates in calls per second):
//   TUNNEL n=576 runs=R create_rps= delete_rps=      (all runs)
//   then per load (create, delete; the calls of all runs by position) its
//   rates by tenth and its tail (bench_util.h: print_load)
//   CHECKS passed | CHECKS FAILED: <what>
//
//   tunnel_bench [-r RUNS] [-s SEED]   defaults 20 runs, seed 12345
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "zel_ip/zel_ip.h"
#include "zel_sim.h"

namespace {

using namespace zel::bench;

constexpr uint32_t kTunnels = 576;

zel_ip_tunnel_params_t tunnel(uint32_t i) {
    zel_ip_tunnel_params_t p{};
    p.tunnel_id = i;
    p.local_addr = 0xc0000201u;                 // 192.0.2.1
    p.remote_addr = 0xc6330000u | (i + 1);      // 198.51.x.y, one per tunnel
    p.proto = 47;
    p.natt = 1;
    return p;
}

}  // namespace

int main(int argc, char **argv) {
    uint64_t seed = 12345;
    int runs = 20;
    for (int c; (c = getopt(argc, argv, "r:s:h")) != -1;) {
        if (c == 's') {
            seed = std::strtoull(optarg, nullptr, 10);
        } else if (c == 'r') {
            runs = std::max(1, std::atoi(optarg));
        } else {
            std::fprintf(stderr, "usage: %s [-r RUNS] [-s SEED]\n", argv[0]);
            return 2;
        }
    }
    std::string failed;
    auto check = [&](bool ok, const char *what) {
        if (!ok && failed.empty()) failed = what;
    };
    std::vector<zel_ip_tunnel_params_t> params(kTunnels);
    for (uint32_t i = 0; i < kTunnels; ++i) params[i] = tunnel(i);
    std::mt19937_64 rng(seed);
    // Each run on a fresh module; the calls of all runs are timed as one
    // load whose i-th call is create (or delete) number i % 576 of a run.
    std::vector<zel_sim_t *> sims(runs);
    std::vector<zel_module_t *> mods(runs);
    std::vector<std::vector<zel_ip_tunnel_handle_t>> handles(runs, std::vector<zel_ip_tunnel_handle_t>(kTunnels));
    std::vector<std::vector<uint32_t>> orders(runs, std::vector<uint32_t>(kTunnels));
    for (int r = 0; r < runs; ++r) {
        sims[r] = zel_sim_create(nullptr);
        mods[r] = sims[r] ? zel_sim_module_new(sims[r], "zel_ip", ZEL_LOG_ERROR, 1) : nullptr;
        if (!mods[r]) return 1;
        Quiet q;
        if (zel_ip_init(mods[r])) return 1;
        for (uint32_t i = 0; i < kTunnels; ++i) orders[r][i] = i;
        std::shuffle(orders[r].begin(), orders[r].end(), rng);
    }
    // Position-major: call i is tunnel i / runs of run i % runs, so tenth
    // t holds the creates (deletes) from 57.6 t to 57.6 (t + 1) of every run.
    const uint64_t n = static_cast<uint64_t>(kTunnels) * static_cast<uint64_t>(runs);
    const Load create = timed(n, [&](uint64_t i) {
        const auto r = static_cast<size_t>(i % static_cast<uint64_t>(runs));
        const auto k = static_cast<uint32_t>(i / static_cast<uint64_t>(runs));
        return zel_ip_tunnel_interface_create(mods[r], &params[k], &handles[r][k]);
    });
    check(create.ok, "a tunnel create failed");
    for (int r = 0; r < runs; ++r) {
        Quiet q;
        zel_ip_tunnel_params_t extra = tunnel(0);
        extra.remote_addr = 0xcb007101u;
        zel_ip_tunnel_handle_t h = nullptr;
        check(zel_ip_tunnel_interface_create(mods[r], &extra, &h) != 0 && !h, "a 577th tunnel was accepted");
    }
    const Load del = timed(n, [&](uint64_t i) {
        const auto r = static_cast<size_t>(i % static_cast<uint64_t>(runs));
        const auto k = static_cast<uint32_t>(i / static_cast<uint64_t>(runs));
        return zel_ip_tunnel_interface_delete(mods[r], handles[r][orders[r][k]]);
    });
    check(del.ok, "a tunnel delete failed");
    for (int r = 0; r < runs; ++r) {
        // Every id is free again: tunnel 0 can be made once more.
        zel_ip_tunnel_handle_t h = nullptr;
        {
            Quiet q;
            check(zel_ip_tunnel_interface_create(mods[r], &params[0], &h) == 0 &&
                      zel_ip_tunnel_interface_delete(mods[r], h) == 0,
                  "a tunnel was left behind");
            zel_ip_shutdown(mods[r]);
        }
        zel_sim_module_free(mods[r]);
        zel_sim_destroy(sims[r]);
    }
    std::printf("TUNNEL n=%u runs=%d create_rps=%.0f delete_rps=%.0f\n", kTunnels, runs, create.rate(), del.rate());
    print_load("create", create);
    print_load("delete", del);
    if (failed.empty()) {
        std::printf("CHECKS passed\n");
        return 0;
    }
    std::printf("CHECKS FAILED: %s\n", failed.c_str());
    return 1;
}
