// Shared by the tunnel and virtual interface tests: parameters, calls with
// their output captured, and engine lookups of the tunnel trees (keys as
// field values, expectations written from the documented layouts).
#ifndef TUNNEL_FIXTURE_H
#define TUNNEL_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "intf_fixture.h"
#include "zel_test_fixture.h"

namespace intf_test {

constexpr uint32_t kTunnelIf = 4, kTunnelPmtu = 5, kTunnelId = 6;
constexpr uint32_t kProcessCpuPkts = 4;   // flow function index of "zel_ip.ip_process_cpu_pkts"
constexpr uint32_t kInvalidSrcFn = 21;    // "zel_ip.invalid_src_ip_addr"

// The outer end addresses most tests use.
constexpr uint32_t kLocal = ip(192, 0, 2, 1);
constexpr uint32_t kRemote = ip(198, 51, 100, 9);

// Captures standard output around `f`; returns its status.
inline uint32_t captured(std::string *text, const std::function<uint32_t()> &f) {
    zel::test::StdoutCapture cap;
    const uint32_t st = f();
    if (text) *text = cap.text();
    return st;
}

class TunnelTest : public IntfTest {
protected:
    // A tunnel with id `id` between kLocal and kRemote in the default
    // domains, GRE, unnumbered, everything else 0.
    static zel_ip_tunnel_params_t tparams(uint32_t id) {
        zel_ip_tunnel_params_t p{};
        p.tunnel_id = id;
        p.local_addr = kLocal;
        p.remote_addr = kRemote;
        p.proto = 47;
        return p;
    }

    uint32_t tcreate(const zel_ip_tunnel_params_t &p, zel_ip_tunnel_handle_t *h, std::string *text = nullptr) {
        return captured(text, [&] { return zel_ip_tunnel_interface_create(m_, &p, h); });
    }
    zel_ip_tunnel_handle_t tmake(const zel_ip_tunnel_params_t &p) {
        zel_ip_tunnel_handle_t h = nullptr;
        std::string text;
        EXPECT_EQ(tcreate(p, &h, &text), 0u) << text;
        EXPECT_NE(h, nullptr);
        return h;
    }
    uint32_t tdel(zel_ip_tunnel_handle_t h, std::string *text = nullptr) {
        return captured(text, [&] { return zel_ip_tunnel_interface_delete(m_, h); });
    }
    uint32_t ends(zel_ip_tunnel_handle_t h, uint32_t local, uint32_t remote, std::string *text = nullptr) {
        return captured(text, [&] { return zel_ip_tunnel_interface_lr_addr_set(m_, h, local, remote); });
    }
    uint32_t natt(zel_ip_tunnel_handle_t h, uint8_t on, std::string *text = nullptr) {
        return captured(text, [&] { return zel_ip_tunnel_interface_natt(m_, h, on); });
    }
    uint32_t mtu(zel_ip_tunnel_handle_t h, uint32_t mtu, uint32_t pmtu, std::string *text = nullptr) {
        return captured(text, [&] { return zel_ip_tunnel_interface_mtu_set(m_, h, mtu, pmtu); });
    }

    // What tree 6 holds for tunnel id `id` (key id + 512).
    Hit tunnel_id_entry(uint32_t id) { return lookup(sim_, m_, kTunnelId, {id + 512}, {12}); }
    // The INTF-ID the engine maps tunnel id `id` to.
    uint32_t intf_of(uint32_t id) { return tunnel_id_entry(id).a.w1; }
    // What tree 4 holds for an outer header.
    Hit outer(uint32_t vrd, uint32_t proto, uint32_t remote, uint32_t local) {
        return lookup(sim_, m_, kTunnelIf, {vrd, proto, remote, local}, {6, 8, 32, 32});
    }
    // True when tree 4 matches the outer header to the tunnel `intf`.
    bool matched(uint32_t vrd, uint32_t proto, uint32_t remote, uint32_t local, uint32_t intf) {
        const Hit h = outer(vrd, proto, remote, local);
        return h.depth == 78 && h.a.kind == HWE_ACTION_NONE && h.a.w1 == intf;
    }

    // The framework's tunnel CPU path tables hold nothing.
    void expect_no_cpu_path() {
        EXPECT_EQ(zel_sim_demux_count(sim_), 0u);
        EXPECT_EQ(zel_sim_port_map_count(sim_), 0u);
    }
    uint32_t mtm_in_use() { return zel_sim_engine_ns_in_use(eng(), "ip_qos_stats"); }
};

}  // namespace intf_test

#endif  // TUNNEL_FIXTURE_H
