// Ingress associations at the namespace's scale through the public API.
//
// The module is brought up on the software platform and every one of the
// 71,164 association ids of "ip_ingress_assoc" is taken with
// zel_ip_ingress_association_create; one more create must be refused
// with the namespace-exhausted status (0x3001d) and leave nothing behind.
// Then all are deleted with zel_ip_ingress_association_delete in a seeded
// random order. The associations mix the shapes a router uses: every
// eighth a Send-to-CPU of routing protocol traffic (DIP, TCP, DPORT, NCA
// queue: trees 27 and 19 as well), the others Discard keyed by domain id
// and destination address (tree 8). In the same run, as the reference, as
// many routes are added with zel_ip_route_add (one domain, /32 host
// routes via a next hop) and deleted again.
//
// Checked, outside the timed parts: every call returned 0; a packet of a
// sample of associations hits its own association in tree 8 while they
// exist and nothing afterwards; at the end no association id is taken and
// trees 8, 19 and 27 are empty.
//
// Printed (rates in calls per second, one figure per tenth of the load):
//   ASSOC n=N create_rps= delete_rps= route_add_rps= route_del_rps= create_over_route_add=
//   then per load (create, delete, route_add, route_delete) its rates by
//   tenth and its tail (bench_util.h: print_load)
//   CHECKS passed | CHECKS FAILED: <what>
//
//   assoc_bench [-s SEED]     exit status 0 when every check passed
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

constexpr uint32_t kAssocs = 71164;

// Association i: a distinct key for every i.
zel_ip_ingress_assoc_params_t assoc_params(uint32_t i) {
    zel_ip_ingress_assoc_params_t p{};
    if (i % 8 == 0) {
        p.mask = 0x34;  // DIP, PROTO, DPORT
        p.action = 2;
        p.dip = 0x0a000000u | i;
        p.dip_prefix_len = 32;
        p.proto = 6;
        p.dport = 179;
        p.cpu_kind = 2;
        p.cpu_target = 1 + i % 16;
    } else {
        p.mask = 0x84;  // VRD ID, DIP
        p.action = 3;
        p.vrd_id = i % 64;
        p.dip = 0xac100000u | i;
        p.dip_prefix_len = 32;
    }
    return p;
}

// A packet of association i's shape: what tree 8 answers (W2 = flow id;
// depth 0 = nothing).
bool packet_hits(hwe_engine_t *eng, uint32_t tree8, uint32_t i, uint32_t flow_id) {
    const zel_ip_ingress_assoc_params_t p = assoc_params(i);
    std::vector<uint32_t> v, w;
    if (p.mask == 0x34) v = {0x34, 6, p.dip, 179}, w = {7, 8, 32, 16};
    else v = {0x05, p.vrd_id, p.dip}, w = {7, 6, 32};
    uint32_t len = 0;
    for (uint32_t x : w) len += x;
    while (len < 117) {
        const uint32_t n = std::min<uint32_t>(32, 117 - len);
        v.push_back(0), w.push_back(n), len += n;
    }
    hwe_action_t a{};
    uint32_t depth = 0;
    if (zel_sim_engine_lookup_fields(eng, tree8, static_cast<uint32_t>(v.size()), v.data(), w.data(), &a, &depth))
        return false;
    return depth > 0 && (flow_id == 0 || a.w2 == flow_id);
}

}  // namespace

int main(int argc, char **argv) {
    uint64_t seed = 12345;
    for (int c; (c = getopt(argc, argv, "s:h")) != -1;) {
        if (c == 's') seed = std::strtoull(optarg, nullptr, 10);
        else {
            std::fprintf(stderr, "usage: %s [-s SEED]\n", argv[0]);
            return 2;
        }
    }
    zel_sim_t *sim = zel_sim_create(nullptr);
    zel_module_t *m = sim ? zel_sim_module_new(sim, "zel_ip", ZEL_LOG_ERROR, 1) : nullptr;
    if (!m) return 1;
    {
        Quiet q;
        if (zel_ip_init(m)) return 1;
    }
    hwe_engine_t *eng = zel_sim_engine(sim);
    uint32_t tree8 = 0, tree19 = 0, tree27 = 0;
    zel_sim_engine_symbol_id(eng, "zel_ip.ip_ingress_assoc_flow_lookup", &tree8);
    zel_sim_engine_symbol_id(eng, "zel_ip.ip_cpu_path_param_lookup", &tree19);
    zel_sim_engine_symbol_id(eng, "zel_ip.ip_flow_cpu_path_param_lookup", &tree27);
    std::string failed;
    auto check = [&](bool ok, const char *what) {
        if (!ok && failed.empty()) failed = what;
    };

    // 1. Every association id, then one more.
    std::vector<zel_ip_flow_handle_t> flows(kAssocs, nullptr);
    std::vector<zel_ip_ingress_assoc_params_t> params(kAssocs);
    for (uint32_t i = 0; i < kAssocs; ++i) params[i] = assoc_params(i);
    const Load create = timed(kAssocs, [&](uint32_t i) { return zel_ip_ingress_association_create(m, &params[i], &flows[i]); });
    check(create.ok, "an association create failed");
    {
        Quiet q;
        zel_ip_ingress_assoc_params_t extra = assoc_params(kAssocs + 1);
        zel_ip_flow_handle_t f = nullptr;
        check(zel_ip_ingress_association_create(m, &extra, &f) == 0x3001d && !f,
              "the create past the namespace was not refused with 0x3001d");
    }
    check(zel_sim_engine_ns_in_use(eng, "ip_ingress_assoc") == kAssocs, "not every id in use");
    for (uint32_t i = 0; i < kAssocs; i += 997)
        check(packet_hits(eng, tree8, i, flows[i] ? *reinterpret_cast<uint32_t *>(flows[i]) : 1),
              "a packet missed its association");

    // 2. Delete in a seeded random order.
    std::vector<uint32_t> order(kAssocs);
    for (uint32_t i = 0; i < kAssocs; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937_64(seed));
    const Load del = timed(kAssocs, [&](uint32_t k) { return zel_ip_ingress_association_delete(m, flows[order[k]]); });
    check(del.ok, "an association delete failed");
    for (uint32_t i = 0; i < kAssocs; i += 997) check(!packet_hits(eng, tree8, i, 0), "a packet hit after delete");
    check(zel_sim_engine_ns_in_use(eng, "ip_ingress_assoc") == 0, "ids left in use");
    check(zel_sim_engine_entry_count(eng, tree8) + zel_sim_engine_entry_count(eng, tree19) +
                  zel_sim_engine_entry_count(eng, tree27) == 0,
          "entries left in trees 8, 19, 27");

    // 3. The reference: as many routes added and deleted in the same run.
    std::vector<zel_ip_route_params_t> routes(kAssocs);
    for (uint32_t i = 0; i < kAssocs; ++i) {
        routes[i] = {};
        routes[i].dest = (i * 2654435761u) & 0xffffff00u;  // scattered /24s
        routes[i].prefix_len = 24;
        routes[i].next_hop = 0xc0000201u;
    }
    const Load radd = timed(kAssocs, [&](uint32_t i) { return zel_ip_route_add(m, &routes[i]); });
    check(radd.ok, "a route add failed");
    const Load rdel = timed(kAssocs, [&](uint32_t k) { return zel_ip_route_delete(m, &routes[order[k]]); });
    check(rdel.ok, "a route delete failed");

    std::printf("ASSOC n=%u create_rps=%.0f delete_rps=%.0f route_add_rps=%.0f route_del_rps=%.0f "
                "create_over_route_add=%.2f\n",
                kAssocs, create.rate(), del.rate(), radd.rate(), rdel.rate(), create.rate() / radd.rate());
    print_load("create", create);
    print_load("delete", del);
    print_load("route_add", radd);
    print_load("route_delete", rdel);
    {
        Quiet q;
        zel_ip_shutdown(m);
    }
    zel_sim_module_free(m);
    zel_sim_destroy(sim);
    if (failed.empty()) {
        std::printf("CHECKS passed\n");
        return 0;
    }
    std::printf("CHECKS FAILED: %s\n", failed.c_str());
    return 1;
}
