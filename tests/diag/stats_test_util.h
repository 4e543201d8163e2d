// Helpers of the statistics tests: the objects whose counters are read,
// their NS IDs, and counters planted into the engine's records.
#ifndef STATS_TEST_UTIL_H
#define STATS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "flow/zel_ip_flow_pvt.h"
#include "interface/zel_ip_interface_pvt.h"
#include "interface/zel_ip_tunnel_pvt.h"
#include "interface/zel_ip_vif_pvt.h"
#include "zel_ip/zel_ip.h"
#include "zel_sim.h"
#include "zel_test_fixture.h"

namespace statstest {

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }
constexpr uint32_t kGlobalNsId = 0x66dea;

// The objects of one module whose statistics the tests read.
struct Objects {
    zel_ip_intf_handle_t ipoe = nullptr;     // QoS level byte 0
    zel_ip_intf_handle_t ipoe_l3 = nullptr;  // QoS level byte 1
    zel_ip_intf_handle_t ipoe_q2 = nullptr;  // QoS level byte 2
    zel_ip_tunnel_handle_t tunnel = nullptr;
    zel_ip_vif_handle_t vif = nullptr;
    zel_ip_flow_handle_t ingress = nullptr;
    zel_ip_flow_handle_t egress = nullptr;
    zel_ip_rule_set_handle_t acl = nullptr;
    zel_ip_flow_handle_t filter = nullptr;  // extended filter rule, index 10
    zel_ip_policy_set_handle_t policy = nullptr;
    zel_ip_flow_handle_t pbr = nullptr;  // policy rule, index 10
};

// An extended filter rule counting TCP packets, at `idx` of `set`.
inline uint32_t add_filter_rule(zel_module_t *m, zel_ip_rule_set_handle_t set, uint32_t idx,
                                zel_ip_flow_handle_t *out) {
    zel_ip_filter_rule_t r{};
    r.mask = ZEL_IP_FILTER_PROTO;
    r.proto_lo = r.proto_hi = 6;
    zel_ip_filter_action_t a{};
    a.type = ZEL_IP_FILTER_DENY;
    a.count = 1;
    return zel_ip_filter_rule_add(m, set, idx, &r, &a, out);
}

inline zel_ip_intf_handle_t make_ipoe(zel_module_t *m, zel_sim_t *sim, uint32_t l2_id, uint32_t addr,
                                      uint8_t qos) {
    zel_ip_intf_params_t p{};
    p.l2_intf = zel_sim_l2_interface_new(sim, l2_id);
    p.addr = addr;
    p.prefix_len = 24;
    p.qos_l3 = qos;
    zel_ip_intf_handle_t h = nullptr;
    EXPECT_EQ(zel_ip_interface_create(m, &p, &h), 0u);
    return h;
}

// Every object kind; standard output is not captured here.
inline Objects make_objects(zel_module_t *m, zel_sim_t *sim) {
    zel::test::StdoutCapture quiet;
    Objects o;
    o.ipoe = make_ipoe(m, sim, 0x1001, ip(10, 1, 0, 1), 0);
    o.ipoe_l3 = make_ipoe(m, sim, 0x1002, ip(10, 2, 0, 1), 1);
    o.ipoe_q2 = make_ipoe(m, sim, 0x1003, ip(10, 3, 0, 1), 2);
    zel_ip_tunnel_params_t t{};
    t.tunnel_id = 7;
    EXPECT_EQ(zel_ip_tunnel_interface_create(m, &t, &o.tunnel), 0u);
    zel_ip_vif_params_t v{};
    v.addr = ip(192, 0, 2, 99);
    EXPECT_EQ(zel_ip_virtual_interface_create(m, &v, &o.vif), 0u);
    zel_ip_ingress_assoc_params_t a{};
    a.mask = 0x10;
    a.proto = 17;
    a.action = ZEL_IP_ASSOC_DISCARD;
    EXPECT_EQ(zel_ip_ingress_association_create(m, &a, &o.ingress), 0u);
    zel_ip_egress_assoc_params_t e{};
    e.dip = ip(192, 0, 2, 1);
    e.sip = ip(198, 51, 100, 7);
    e.dport = 4789;
    e.sport = 5000;
    e.mtu = 1400;
    EXPECT_EQ(zel_ip_egress_association_create(m, &e, &o.egress), 0u);
    EXPECT_EQ(zel_ip_filter_rule_set_create(m, &o.acl), 0u);
    EXPECT_EQ(add_filter_rule(m, o.acl, 10, &o.filter), 0u);
    EXPECT_EQ(zel_ip_pbr_policy_set_create(m, &o.policy), 0u);
    zel_ip_pbr_rule_t pr{};
    pr.policy_set = o.policy;
    pr.action.dip_based_routing = 1;
    EXPECT_EQ(zel_ip_pbr_entry_create(m, 10, &pr, &o.pbr), 0u);
    return o;
}

// The ids the engine's records are named by.
inline uint32_t stats_id(zel_ip_intf_handle_t h) { return h->stats_ns_id; }
inline uint32_t stats_id(zel_ip_tunnel_handle_t h) { return h->stats_ns_id; }
inline uint32_t stats_id(zel_ip_vif_handle_t h) { return h->stats_ns_id; }
inline uint32_t second_id(zel_ip_intf_handle_t h) { return h->mtm_ns_id; }
inline uint32_t second_id(zel_ip_tunnel_handle_t h) { return h->mtm_ns_id; }
inline uint32_t flow_id(zel_ip_flow_handle_t f) { return f->head.hdr.ns_id; }

// Plants a counter by name (zel_sim_counter_set) and asserts it took.
inline void plant(zel_sim_t *sim, const char *record, uint32_t ns_id, const std::string &counter, uint64_t v) {
    EXPECT_EQ(zel_sim_counter_set(zel_sim_engine(sim), record, ns_id, counter.c_str(), v), 0u)
        << record << " " << counter;
}

// Every word 0 .. n-1 of a record planted with base + word (0 stays 0).
inline void plant_words(zel_sim_t *sim, const char *record, uint32_t ns_id, uint32_t n, uint32_t base) {
    for (uint32_t w = 0; w < n; ++w) plant(sim, record, ns_id, "w" + std::to_string(w), base + w);
}

// A handle as the prints show it.
inline std::string handle_text(const void *h) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%08" PRIxPTR, reinterpret_cast<uintptr_t>(h));
    return b;
}

// `text` with every occurrence of `h`'s printed value replaced by `name`.
inline std::string name_handle(std::string text, const void *h, const std::string &name) {
    const std::string v = handle_text(h);
    for (size_t at = text.find(v); at != std::string::npos; at = text.find(v, at + name.size()))
        text.replace(at, v.size(), name);
    return text;
}

// Standard output of one call, and its status.
struct Printed {
    uint32_t status;
    std::string out;
};
template <typename Fn>
Printed printed(Fn &&fn) {
    zel::test::StdoutCapture cap;
    const uint32_t st = fn();
    return {st, zel::test::mask_sites(cap.text())};
}

}  // namespace statstest

#endif  // STATS_TEST_UTIL_H
