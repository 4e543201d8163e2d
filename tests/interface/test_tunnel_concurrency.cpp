// Several threads create, re-address, switch and delete tunnels and
// virtual interfaces of their own at once through the public API; the
// module lock serialises them. Every step succeeds, each tunnel id maps
// to its own interface, and at the end the engine, the framework's CPU
// path tables and the id pools are as before. Runs under ThreadSanitizer
// too (label "concurrency").
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tunnel_fixture.h"

using namespace intf_test;

namespace {

class TunnelConcurrency : public TunnelTest {
protected:
    TunnelConcurrency() { initial_log_level_ = 0; }
};

TEST_F(TunnelConcurrency, ThreadsWithTheirOwnTunnelsLeaveNothingBehind) {
    constexpr uint32_t kThreads = 4, kTunnels = 4, kRounds = 20;
    const Snapshot baseline = snap();
    std::atomic<uint32_t> failures{0};
    std::vector<std::string> first(kThreads);

    auto worker = [&](uint32_t t) {
        auto fail = [&](const std::string &what) {
            failures.fetch_add(1);
            if (first[t].empty()) first[t] = what + "; ";  // each thread writes its own
        };
        for (uint32_t r = 0; r < kRounds; ++r) {
            for (uint32_t k = 0; k < kTunnels; ++k) {
                const uint32_t id = t * kTunnels + k;
                zel_ip_tunnel_params_t p{};
                p.tunnel_id = id;
                p.addr = ip(10, t, k, 1);
                p.prefix_len = 24;
                p.local_addr = kLocal;
                p.remote_addr = ip(100, 64, t, k);
                p.proto = 47;
                p.natt = 1;
                zel_ip_tunnel_handle_t h = nullptr;
                if (zel_ip_tunnel_interface_create(m_, &p, &h) != 0) {
                    fail("create " + std::to_string(id));
                    continue;
                }
                const Hit mapped = lookup(sim_, m_, kTunnelId, {id + 512}, {12});
                const uint32_t x = reinterpret_cast<const zel_obj_header_t *>(h)->intf_id;
                if (mapped.depth != 12 || mapped.a.w1 != x) fail("tunnel id " + std::to_string(id));
                const zel_ip_vif_params_t v{nullptr, ip(11, t, k, 1), 0, 0};
                zel_ip_vif_handle_t vif = nullptr;
                if (zel_ip_virtual_interface_create(m_, &v, &vif) != 0) fail("vif create");
                if (zel_ip_tunnel_interface_lr_addr_set(m_, h, 0, ip(100, 65, t, k)) != 0) fail("ends");
                if (zel_ip_tunnel_interface_natt(m_, h, 0) != 0) fail("natt");
                if (zel_ip_tunnel_interface_mtu_set(m_, h, 1400, 0) != 0) fail("mtu");
                if (vif && zel_ip_virtual_interface_delete(m_, vif) != 0) fail("vif delete");
                if (zel_ip_tunnel_interface_delete(m_, h) != 0) fail("delete");
            }
        }
    };
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (std::thread &th : threads) th.join();

    EXPECT_EQ(failures.load(), 0u) << first[0] << first[1] << first[2] << first[3];
    EXPECT_EQ(snap(), baseline);
    expect_no_cpu_path();
    EXPECT_TRUE(addr_slots(m_).empty());
    EXPECT_EQ(zel_sim_interface_ids_in_use(sim_), 0u);
    EXPECT_EQ(mtm_in_use(), 0u);
}

}  // namespace
