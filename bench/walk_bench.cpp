// Packet walks per second on a router of realistic size.
//
// The module is brought up on the software platform with four IPoE
// interfaces (an egress flow each), 100,000 routes via next hops on their
// subnets (outside 10/8), a locally terminated /16 whose packets are
// classified by destination, protocol and port, and 1,000 ingress
// associations in it (Send-to-CPU and Discard). Then a seeded mix of
// packets is walked with zsim::walk::walk_packet, counting in state
// memory but recording no stage text (Context::stages off), as a traffic
// generator would drive it: 80 % to routed destinations, 10 % to the
// associations, 10 % anywhere.
//
// The figure is the walk plus the engine model's lookups it makes (every
// walk is 5 to 9 lookups); nothing of the module runs while walking.
//
// Printed:
//   WALK n=N walks_per_s= p50_ns= p99_ns= p999_ns= max_ns= forwarded= to_cpu= dropped= other=
//   CHECKS passed | CHECKS FAILED: <what>
//
//   walk_bench [-n WALKS] [-s SEED]     exit status 0 when every check passed
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/zel_ip_limits.h"
#include "zel_ip/zel_ip.h"
#include "zel_sim.h"
#include "zel_sim_walk.h"

namespace {

using namespace zel::bench;
namespace zw = zsim::walk;

constexpr uint32_t kIntfs = 4;
constexpr uint32_t kRoutes = 100000;
constexpr uint32_t kAssocs = 1000;
constexpr uint32_t kLocal = 0x0ac80000;  // 10.200.0.0/16, terminated locally

struct Router {
    zel_sim_t *sim = nullptr;
    zel_module_t *m = nullptr;
    uint32_t intf_id[kIntfs] = {};
    std::vector<uint32_t> route_dst;  // one address inside each route
};

bool build(Router &r, uint32_t seed, std::string *why) {
    Quiet quiet;
    r.sim = zel_sim_create(nullptr);
    r.m = zel_sim_module_new(r.sim, "zel_ip", 0, 1);
    if (!r.m || zel_ip_init(r.m) != 0) return *why = "start-up failed", false;
    for (uint32_t k = 0; k < kIntfs; ++k) {
        zel_ip_intf_params_t p{};
        p.l2_intf = zel_sim_l2_interface_new(r.sim, 0x2100 + k);
        p.addr = 10u << 24 | (k + 1) << 16 | 1u;
        p.prefix_len = 16;
        zel_ip_intf_handle_t h = nullptr;
        if (zel_ip_interface_create(r.m, &p, &h) != 0) return *why = "interface create failed", false;
        r.intf_id[k] = static_cast<const zel_obj_header_t *>(static_cast<void *>(h))->intf_id;
        zel_ip_egress_flow_params_t f{h, 0};
        zel_ip_flow_handle_t fh = nullptr;
        if (zel_ip_egress_flow_create(r.m, &f, &fh) != 0) return *why = "egress flow create failed", false;
    }
    std::mt19937 rng(seed);
    for (uint32_t i = 0; i < kRoutes;) {
        const uint32_t len = 16 + rng() % 15;
        uint32_t a = rng() & (~0u << (32 - len));
        if ((a >> 24) == 10 || (a >> 24) == 0 || (a >> 24) >= 224 || (a >> 24) == 127) continue;
        zel_ip_route_params_t rp{};
        rp.dest = a;
        rp.prefix_len = len;
        rp.next_hop = 10u << 24 | (1 + rng() % kIntfs) << 16 | (2 + rng() % 60000);
        if (zel_ip_route_add(r.m, &rp) != 0) return *why = "route add failed", false;
        r.route_dst.push_back(a | (rng() & ~(~0u << (32 - len))));
        ++i;
    }
    zel_ip_route_params_t local{};
    local.dest = kLocal;
    local.prefix_len = 16;
    local.local_termination = 1;
    local.ingress_assoc_mask = 0x34;  // DIP, PROTO, DPORT
    if (zel_ip_route_add(r.m, &local) != 0) return *why = "local route add failed", false;
    for (uint32_t i = 0; i < kAssocs; ++i) {
        zel_ip_ingress_assoc_params_t p{};
        p.mask = 0x34;
        p.dip = kLocal | i;
        p.dip_prefix_len = 32;
        p.proto = 17;
        p.dport = 5000;
        p.action = i % 2 ? 3 : 2;  // Discard, Send-to-CPU
        p.cpu_kind = 2;
        p.cpu_target = 1 + i % 16;
        zel_ip_flow_handle_t h = nullptr;
        if (zel_ip_ingress_association_create(r.m, &p, &h) != 0) return *why = "association create failed", false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    uint32_t n = 1000000, seed = 1;
    for (int o; (o = getopt(argc, argv, "n:s:")) != -1;) {
        if (o == 'n') n = static_cast<uint32_t>(std::strtoul(optarg, nullptr, 10));
        else if (o == 's') seed = static_cast<uint32_t>(std::strtoul(optarg, nullptr, 10));
        else return 2;
    }
    Router r;
    std::string why;
    if (!build(r, seed, &why)) {
        std::printf("CHECKS FAILED: %s\n", why.c_str());
        return 1;
    }
    std::mt19937 rng(seed + 1);
    std::vector<zw::Packet> pkts(n);
    for (uint32_t i = 0; i < n; ++i) {
        zw::Packet &p = pkts[i];
        const uint32_t k = rng() % kIntfs;
        p.intf_id = r.intf_id[k];
        p.src = 10u << 24 | (k + 1) << 16 | 0x99;
        const uint32_t kind = rng() % 10;
        if (kind < 8) {
            p.dst = r.route_dst[rng() % r.route_dst.size()];
        } else if (kind == 8) {
            p.dst = kLocal | rng() % kAssocs;
            p.proto = 17;
            p.dport = 5000;
        } else {
            p.dst = rng();
        }
        p.proto = p.proto ? p.proto : 6;
    }
    zw::Context c;
    c.eng = zel_sim_engine(r.sim);
    c.global_stats_ns_id = zel::ip::kGlobalStatsNsId;
    c.stages = false;
    std::vector<uint32_t> ns(n);
    uint32_t fwd = 0, cpu = 0, dropped = 0, other = 0;
    zw::Walk w;
    const auto t0 = Clock::now();
    for (uint32_t i = 0; i < n; ++i) {
        const auto a = Clock::now();
        if (zw::walk_packet(c, pkts[i], &w) != 0) {
            std::printf("CHECKS FAILED: walk %u could not ask the engine\n", i);
            return 1;
        }
        ns[i] = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - a).count());
        switch (w.verdict) {
            case zw::Verdict::kForwarded: ++fwd; break;
            case zw::Verdict::kToCpu: ++cpu; break;
            case zw::Verdict::kDropped: ++dropped; break;
            default: ++other; break;
        }
    }
    const double total = secs(t0, Clock::now());
    std::sort(ns.begin(), ns.end());
    auto pct = [&](double q) { return ns[std::min<size_t>(ns.size() - 1, static_cast<size_t>(q * ns.size()))]; };
    std::printf("WALK n=%u walks_per_s=%.0f p50_ns=%u p99_ns=%u p999_ns=%u max_ns=%u forwarded=%u to_cpu=%u "
                "dropped=%u other=%u\n",
                n, n / total, pct(0.5), pct(0.99), pct(0.999), ns.back(), fwd, cpu, dropped, other);
    // About 80 % of the packets go to routes and must be forwarded.
    if (fwd < n / 2 || cpu == 0) {
        std::printf("CHECKS FAILED: forwarded %u of %u, %u to the CPU\n", fwd, n, cpu);
        return 1;
    }
    std::printf("CHECKS passed\n");
    return 0;
}
