// Helpers of the binding tests: the flows a bind starts from, sibling
// modules, bind requests, and what a packet reaches through tree 28.
#ifndef BIND_TEST_UTIL_H
#define BIND_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

#include "assoc_test_util.h"
#include "egress_test_util.h"
#include "flow/zel_ip_bind_pvt.h"
#include "tree/zel_ip_layout_flow.h"
#include "zel_ip/zel_ip_bind.h"

namespace bindtest {

using assoctest::ip;

// Entry points the sibling modules are made with: direction 2, other.
constexpr uint16_t kUpperEntry = 0x3101, kLowerEntry = 0x3202;

// The DIP of the Bind association and of the Send-to-CPU one.
constexpr uint32_t kBindDip = ip(10, 1, 0, 1), kCpuDip = ip(10, 1, 0, 9);

// A Bind association of mask DIP on `dip`/32.
inline zel_ip_ingress_assoc_params_t bind_assoc(uint32_t dip = kBindDip) {
    zel_ip_ingress_assoc_params_t p = assoctest::assoc(ZEL_IP_IAM_DIP, ZEL_IP_ASSOC_BIND);
    p.dip = dip;
    p.dip_prefix_len = 32;
    return p;
}

// The flows and modules a bind works with; made by `make`.
struct World {
    zel_ip_intf_handle_t intf = nullptr;
    zel_ip_flow_handle_t bind = nullptr;     // Bind association (kind 0)
    zel_ip_flow_handle_t cpu = nullptr;      // Send-to-CPU association
    zel_ip_flow_handle_t eassoc = nullptr;   // egress association (kind 1)
    zel_ip_flow_handle_t eflow = nullptr;    // egress flow (kind 2), any next hop
    std::map<uint32_t, zel_module_t *> sib;  // sibling modules by id
    zel_flow_header_t *sflow = nullptr;      // a flow of a sibling module, NS ID 0x4242

    void make(zel_module_t *m, zel_sim_t *sim) {
        intf = flowtest::make_test_intf(m, sim, 0x1210);
        zel::test::StdoutCapture quiet;
        zel_ip_ingress_assoc_params_t b = bind_assoc();
        EXPECT_EQ(zel_ip_ingress_association_create(m, &b, &bind), 0u);
        zel_ip_ingress_assoc_params_t c = bind_assoc(kCpuDip);
        c.action = ZEL_IP_ASSOC_SEND_TO_CPU;
        c.cpu_kind = ZEL_IP_CPU_PATH_NCA;
        c.cpu_target = 7;
        EXPECT_EQ(zel_ip_ingress_association_create(m, &c, &cpu), 0u);
        zel_ip_egress_assoc_params_t ea = egresstest::udp_encap();
        EXPECT_EQ(zel_ip_egress_association_create(m, &ea, &eassoc), 0u);
        const zel_ip_egress_flow_params_t ef{intf, 0};
        EXPECT_EQ(zel_ip_egress_flow_create(m, &ef, &eflow), 0u);
        for (uint32_t id : {2u, 9u, 10u, 11u, 21u, 24u, 28u, 29u, 40u})
            sib[id] = zel_sim_sibling_module_new(sim, id, kUpperEntry, kLowerEntry);
        sflow = zel_sim_sibling_flow_new(sim, sib[21], 0x4242);
    }
};

// A bind request; `src`/`dst` the modules, the rest as given.
inline zel_bind_info_t request(zel_module_t *src, void *src_flow, zel_module_t *dst, void *dst_flow,
                               uint32_t type, uint32_t dir, uint8_t custom) {
    zel_bind_info_t b{};
    b.bind_type = type;
    b.direction = dir;
    b.binding_mode = ZEL_IP_BIND_MODE_DIRECT;
    b.src_module = src;
    b.src_flow = src_flow;
    b.dst_module = dst;
    b.dst_flow = dst_flow;
    b.custom = custom;
    return b;
}

// The function id tree 28 maps index `idx` to (0 when it holds no
// function).
inline uint32_t fn_at(hwe_engine_t *eng, uint32_t idx) {
    const hwe_action_t a = flowtest::lookup(eng, zel::ip::kTreeCustomBindImcEntryFn, {idx});
    return zel::ip::layout::custom_bind::has_function(a) ? zel::ip::layout::custom_bind::flow_fn_id(a) : 0;
}

inline uint32_t fn_id(const char *fn) { return zel_sim_function_id(fn); }

}  // namespace bindtest

#endif  // BIND_TEST_UTIL_H
