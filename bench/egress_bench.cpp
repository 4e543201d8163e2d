// Egress associations and egress flows at their namespaces' scale through
// the public API.
//
// The module is brought up on the software platform. Every free id of
// "ip_egress_assoc" is taken with zel_ip_egress_association_create: the
// namespace holds 70,365 ids and start-up keeps one for the default egress
// association, so 70,364 associations; one more create must be refused
// with the namespace-exhausted status (0x3001d) and leave nothing behind.
// Every fourth association is a UDP encapsulation (mask derived from the
// fields: DIP, SIP, both ports, MTU), the others a plain IPv4 header in
// domain i % 64 with a protocol. Then all 1,600 egress flows (ids of
// "zel_ipv4_egress_flow_ids") on 16 IPoE interfaces: per interface one
// interface-wide flow (16-bit key) and 99 next hops (48-bit keys); one
// more is refused the same way. Both are deleted in a seeded random order.
// In the same run, as the reference, as many routes as associations are
// added with zel_ip_route_add (scattered /24s via one next hop) and
// deleted again.
//
// Checked, outside the timed parts: every call returned 0; a sample of
// associations has its tree-10 entry (its DIP) and a sample of flows its
// tree-29 entry (its id) while they exist; at the end only the default
// association's id is taken, no egress flow id is, and trees 10, 11, 12
// and 29 are empty.
//
// Printed (rates in calls per second, one figure per tenth of the load):
//   EGRESS assoc_n=N assoc_create_rps= assoc_delete_rps= flow_n=N flow_create_rps= flow_delete_rps=
//          route_add_rps= route_del_rps= assoc_create_over_route_add=
//   then per load its rates by tenth and its tail (bench_util.h: print_load)
//   CHECKS passed | CHECKS FAILED: <what>
//
//   egress_bench [-s SEED]     exit status 0 when every check passed
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

constexpr uint32_t kAssocIds = 70365;
constexpr uint32_t kAssocs = kAssocIds - 1;  // one id is the default association's
constexpr uint32_t kFlows = 1600;
constexpr uint32_t kIntfs = 16;
constexpr uint32_t kPerIntf = kFlows / kIntfs;

zel_ip_egress_assoc_params_t assoc_params(uint32_t i) {
    zel_ip_egress_assoc_params_t p{};
    p.dip = 0x0a000000u | (i + 1);
    if (i % 4 == 0) {  // UDP encapsulation, mask derived: 0x7D
        p.sip = 0xc6336401u;
        p.dport = 4789;
        p.sport = static_cast<uint16_t>(49152 + i % 16384);
        p.mtu = 1450;
    } else {
        p.mask = 0x16;  // VRD ID, DIP, PROTO
        p.vrd_id = i % 64;
        p.proto = 47;
        p.ttl = 64;
    }
    return p;
}

// Flow i: interface i % 16; the first on each interface has no next hop.
uint32_t next_hop_of(uint32_t i) {
    const uint32_t k = i / kIntfs;
    return k == 0 ? 0 : 0x0a640000u | (i % kIntfs) << 8 | k;
}

uint32_t lookup_w1(hwe_engine_t *eng, uint32_t tree, std::vector<uint32_t> v, std::vector<uint32_t> w,
                   bool *found) {
    hwe_action_t a{};
    uint32_t depth = 0;
    *found = zel_sim_engine_lookup_fields(eng, tree, static_cast<uint32_t>(v.size()), v.data(), w.data(), &a,
                                          &depth) == 0 &&
             depth > 0;
    return a.w1;
}

}  // namespace

int main(int argc, char **argv) {
    uint64_t seed = 12345;
    for (int c; (c = getopt(argc, argv, "s:h")) != -1;) {
        if (c == 's') {
            seed = std::strtoull(optarg, nullptr, 10);
        } else {
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
    uint32_t tree10 = 0, tree11 = 0, tree12 = 0, tree29 = 0;
    zel_sim_engine_symbol_id(eng, "zel_ip.ip_egress_assoc_dip_lookup", &tree10);
    zel_sim_engine_symbol_id(eng, "zel_ip.ip_egress_assoc_sip_mtu_lookup", &tree11);
    zel_sim_engine_symbol_id(eng, "zel_ip.ip_egress_assoc_info_lookup", &tree12);
    zel_sim_engine_symbol_id(eng, "zel_ip.ip_egress_flow_lookup", &tree29);
    std::string failed;
    auto check = [&](bool ok, const char *what) {
        if (!ok && failed.empty()) failed = what;
    };
    std::mt19937_64 rng(seed);

    // 1. Every free egress association id, then one more.
    std::vector<zel_ip_flow_handle_t> assocs(kAssocs, nullptr);
    std::vector<zel_ip_egress_assoc_params_t> aparams(kAssocs);
    for (uint32_t i = 0; i < kAssocs; ++i) aparams[i] = assoc_params(i);
    const Load acreate =
        timed(kAssocs, [&](uint32_t i) { return zel_ip_egress_association_create(m, &aparams[i], &assocs[i]); });
    check(acreate.ok, "an egress association create failed");
    {
        Quiet q;
        const zel_ip_egress_assoc_params_t extra = assoc_params(1);
        zel_ip_flow_handle_t f = nullptr;
        check(zel_ip_egress_association_create(m, &extra, &f) == 0x3001d && !f,
              "the association create past the namespace was not refused with 0x3001d");
    }
    check(zel_sim_engine_ns_in_use(eng, "ip_egress_assoc") == kAssocIds, "not every association id in use");
    for (uint32_t i = 0; i < kAssocs; i += 997) {
        bool found = false;
        const uint32_t ns = assocs[i] ? *reinterpret_cast<uint32_t *>(assocs[i]) : 0;
        const uint32_t w1 = lookup_w1(eng, tree10, {ns}, {24}, &found);
        check(found && (w1 & 0xff) == (aparams[i].dip & 0xff), "an association's tree-10 entry is missing");
    }
    std::vector<uint32_t> order(kAssocs);
    for (uint32_t i = 0; i < kAssocs; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    const Load adelete =
        timed(kAssocs, [&](uint32_t k) { return zel_ip_egress_association_delete(m, assocs[order[k]]); });
    check(adelete.ok, "an egress association delete failed");
    check(zel_sim_engine_ns_in_use(eng, "ip_egress_assoc") == 1, "association ids left in use");
    check(zel_sim_engine_entry_count(eng, tree10) + zel_sim_engine_entry_count(eng, tree11) +
                  zel_sim_engine_entry_count(eng, tree12) == 0,
          "entries left in trees 10, 11, 12");

    // 2. Every egress flow id, then one more.
    std::vector<zel_ip_intf_handle_t> intfs(kIntfs, nullptr);
    for (uint32_t k = 0; k < kIntfs; ++k) {
        zel_ip_intf_params_t ip{};
        ip.l2_intf = zel_sim_l2_interface_new(sim, 0x1000 + k);
        ip.addr = 0x0a640001u | k << 8;
        ip.prefix_len = 24;
        check(zel_ip_interface_create(m, &ip, &intfs[k]) == 0, "an interface create failed");
    }
    std::vector<zel_ip_egress_flow_params_t> fparams(kFlows);
    for (uint32_t i = 0; i < kFlows; ++i) fparams[i] = {intfs[i % kIntfs], next_hop_of(i)};
    std::vector<zel_ip_flow_handle_t> flows(kFlows, nullptr);
    const Load fcreate = timed(kFlows, [&](uint32_t i) { return zel_ip_egress_flow_create(m, &fparams[i], &flows[i]); });
    check(fcreate.ok, "an egress flow create failed");
    {
        Quiet q;
        const zel_ip_egress_flow_params_t extra{intfs[0], 0x0a6400feu};
        zel_ip_flow_handle_t f = nullptr;
        check(zel_ip_egress_flow_create(m, &extra, &f) == 0x3001d && !f,
              "the flow create past the namespace was not refused with 0x3001d");
    }
    check(zel_sim_engine_ns_in_use(eng, "zel_ipv4_egress_flow_ids") == kFlows, "not every flow id in use");
    for (uint32_t i = 0; i < kFlows; i += 37) {
        bool found = false;
        const uint32_t ns = flows[i] ? *reinterpret_cast<uint32_t *>(flows[i]) : 0;
        // The INTF-ID is the first word of an interface's record.
        const uint32_t intf_id = *reinterpret_cast<const uint32_t *>(intfs[i % kIntfs]);
        const uint32_t w1 = lookup_w1(eng, tree29, {intf_id, next_hop_of(i)}, {16, 32}, &found);
        check(found && w1 == ns, "a flow's tree-29 entry is missing");
    }
    std::vector<uint32_t> forder(kFlows);
    for (uint32_t i = 0; i < kFlows; ++i) forder[i] = i;
    std::shuffle(forder.begin(), forder.end(), rng);
    const Load fdelete = timed(kFlows, [&](uint32_t k) { return zel_ip_egress_flow_delete(m, flows[forder[k]]); });
    check(fdelete.ok, "an egress flow delete failed");
    check(zel_sim_engine_ns_in_use(eng, "zel_ipv4_egress_flow_ids") == 0, "flow ids left in use");
    check(zel_sim_engine_entry_count(eng, tree29) == 0, "entries left in tree 29");

    // 3. The reference: as many routes as associations, added and deleted.
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

    std::printf("EGRESS assoc_n=%u assoc_create_rps=%.0f assoc_delete_rps=%.0f flow_n=%u flow_create_rps=%.0f "
                "flow_delete_rps=%.0f route_add_rps=%.0f route_del_rps=%.0f assoc_create_over_route_add=%.2f\n",
                kAssocs, acreate.rate(), adelete.rate(), kFlows, fcreate.rate(), fdelete.rate(), radd.rate(),
                rdel.rate(), acreate.rate() / radd.rate());
    print_load("assoc_create", acreate);
    print_load("assoc_delete", adelete);
    print_load("flow_create", fcreate);
    print_load("flow_delete", fdelete);
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
