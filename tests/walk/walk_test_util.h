// What the walk tests share: a router's interfaces with their egress
// flows, and the route every test forwards by.
#ifndef WALK_TEST_UTIL_H
#define WALK_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>

#include "zel_ip/zel_ip.h"
#include "zel_sim.h"
#include "zel_test_fixture.h"

namespace walktest {

// Interface k: 10.<k+1>.0.1/16 in the default domain on Layer-2 interface
// l2_base + k (outside the framework's own ids), with an egress flow for
// any next hop. Sets *intf and *intf_id; a failure is a test failure.
inline void make_intf(zel_module_t *m, zel_sim_t *sim, uint32_t l2_base, uint32_t k, zel_ip_intf_handle_t *intf,
                      uint32_t *intf_id) {
    zel_ip_intf_params_t p{};
    p.l2_intf = zel_sim_l2_interface_new(sim, l2_base + k);
    p.addr = 10u << 24 | (k + 1) << 16 | 1u;
    p.prefix_len = 16;
    zel::test::StdoutCapture quiet;
    ASSERT_EQ(zel_ip_interface_create(m, &p, intf), 0u) << quiet.text();
    *intf_id = static_cast<const zel_obj_header_t *>(static_cast<void *>(*intf))->intf_id;
    zel_ip_egress_flow_params_t f{*intf, 0};
    zel_ip_flow_handle_t fh = nullptr;
    ASSERT_EQ(zel_ip_egress_flow_create(m, &f, &fh), 0u) << quiet.text();
}

// True when `a` lies in p/len (len 0: everywhere), as the first-match
// oracles read a prefix.
inline bool in_prefix(uint32_t a, uint32_t p, uint32_t len) { return len == 0 || ((a ^ p) >> (32 - len)) == 0; }

// 20.0.0.0/8 via 10.2.0.9 (interface 1's subnet).
inline constexpr uint32_t kRouted = 0x14000000, kRoutedNextHop = 0x0a020009;
inline void add_routed(zel_module_t *m) {
    zel_ip_route_params_t r{};
    r.dest = kRouted;
    r.prefix_len = 8;
    r.next_hop = kRoutedNextHop;
    ASSERT_EQ(zel_ip_route_add(m, &r), 0u);
}

}  // namespace walktest

#endif  // WALK_TEST_UTIL_H
