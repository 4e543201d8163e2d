// 576 tunnels, every tunnel id taken: created (a quarter of them with an
// address, half with NAT-T), re-addressed, and deleted, with the
// framework's CPU path tables and the engine checked at full size and
// left empty.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tunnel_fixture.h"

using namespace intf_test;

namespace {

class TunnelScale : public TunnelTest {
protected:
    TunnelScale() { initial_log_level_ = ZEL_LOG_ERROR; }
};

constexpr uint32_t kCount = 576;

uint32_t remote_of(uint32_t i, uint32_t round) { return ip(100, 64 + round, i >> 8, i & 0xff); }

TEST_F(TunnelScale, EveryTunnelIdCreatedReaddressedAndDeleted) {
    const Snapshot baseline = snap();
    const int64_t mem = mem_delta();
    std::vector<zel_ip_tunnel_handle_t> tunnels;
    for (uint32_t i = 0; i < kCount; ++i) {
        zel_ip_tunnel_params_t p = tparams(i);
        p.remote_addr = remote_of(i, 0);
        p.natt = i % 2;
        if (i % 4 == 0) {
            p.addr = ip(10, i >> 6, (i & 0x3f) << 2, 1);
            p.prefix_len = 30;
        }
        tunnels.push_back(tmake(p));
    }
    EXPECT_EQ(entries(kTunnelId), kCount);
    EXPECT_EQ(entries(kTunnelIf), kCount + kCount / 2);
    EXPECT_EQ(zel_sim_demux_count(sim_), kCount);
    EXPECT_EQ(zel_sim_port_map_count(sim_), kCount);
    EXPECT_EQ(zel_sim_interface_ids_in_use(sim_), kCount);
    EXPECT_EQ(addr_slots(m_).size(), kCount / 4);
    // Every id maps to its own interface, which the outer header matches.
    for (uint32_t i : {0u, 1u, 287u, 575u}) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(matched(63, 47, remote_of(i, 0), kLocal, intf_of(i)));
        uint32_t port = 0;
        EXPECT_TRUE(zel_sim_port_map_find(sim_, intf_of(i), &port));
        EXPECT_EQ(port, i + 512);
    }
    // No 577th.
    zel_ip_tunnel_handle_t h = nullptr;
    zel_ip_tunnel_params_t extra = tparams(576);
    extra.remote_addr = ip(100, 70, 0, 1);
    EXPECT_EQ(tcreate(extra, &h), 0x30008u);
    extra.tunnel_id = 17;
    EXPECT_EQ(tcreate(extra, &h), 0x30008u);

    // Every tunnel to a new remote end: the old matches go, the new come.
    for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(ends(tunnels[i], 0, remote_of(i, 1)), 0u) << i;
    EXPECT_EQ(entries(kTunnelIf), kCount + kCount / 2);
    for (uint32_t i : {0u, 1u, 287u, 575u}) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(matched(63, 47, remote_of(i, 1), kLocal, intf_of(i)));
        EXPECT_EQ(outer(63, 47, remote_of(i, 0), kLocal).depth, 0u);
        EXPECT_EQ(outer(63, 17, remote_of(i, 1), kLocal).depth, i % 2 ? 78u : 0u);
    }

    for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(tdel(tunnels[i]), 0u) << i;
    EXPECT_EQ(snap(), baseline);
    expect_no_cpu_path();
    EXPECT_EQ(zel_sim_interface_ids_in_use(sim_), 0u);
    EXPECT_EQ(mtm_in_use(), 0u);
    EXPECT_TRUE(addr_slots(m_).empty());
    EXPECT_EQ(mem_delta(), mem);
}

}  // namespace
