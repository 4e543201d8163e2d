// Changes to a live tunnel: end addresses (the new outer match and its
// NAT-T twin learnt before the old ones go), NAT-T, MTU and path MTU;
// their refusals and their "no change" messages, read back from the
// engine; the learn and unlearn order of a change as golden text.
#include <gtest/gtest.h>

#include <string>

#include "intf_faults.h"
#include "tunnel_fixture.h"

using namespace intf_test;
using zel::test::mask_sites;

namespace {

constexpr uint32_t kNewLocal = ip(192, 0, 2, 77), kNewRemote = ip(203, 0, 113, 5);
const std::string kErr = "[zel_ip_log: ERROR] FILE:LINE ";
const std::string kWarn = "[zel_ip_log: Warning] FILE:LINE ";

class TunnelChange : public TunnelTest {
protected:
    void SetUp() override {
        TunnelTest::SetUp();
        baseline_ = snap();
    }

    // Tunnel 5 between kLocal and kRemote with NAT-T, id recorded.
    zel_ip_tunnel_handle_t natt_tunnel() {
        zel_ip_tunnel_params_t p = tparams(5);
        p.natt = 1;
        zel_ip_tunnel_handle_t h = tmake(p);
        x_ = intf_of(5);
        return h;
    }
    // The tunnel's outer matches: the pair {remote, local} with (twin) and
    // without NAT-T.
    bool pair_matched(uint32_t remote, uint32_t local, bool twin) {
        return matched(63, 47, remote, local, x_) && (!twin || matched(63, 17, remote, local, x_));
    }

    Snapshot baseline_;
    uint32_t x_ = 0;
};

// ---- End addresses ----------------------------------------------------------

TEST_F(TunnelChange, EndAddressRefusals) {
    zel_ip_tunnel_handle_t h = natt_tunnel();
    zel_ip_tunnel_params_t other = tparams(6);
    other.local_addr = kNewLocal;
    other.remote_addr = kNewRemote;
    zel_ip_tunnel_handle_t o = tmake(other);
    uint32_t junk[16] = {};
    struct Case {
        const char *name;
        zel_ip_tunnel_handle_t h;
        uint32_t local, remote, status;
        std::string text;
    };
    const Case cases[] = {
        {"not a tunnel", reinterpret_cast<zel_ip_tunnel_handle_t>(junk), kNewLocal, 0, 0x30008,
         kErr + "Invalid Interface Handle or type\n"},
        {"local broadcast", h, 0xffffffff, kNewRemote, 0x1030014, kErr + "Invalid Local IP address specified\n"},
        {"remote loopback", h, kNewLocal, ip(127, 0, 0, 9), 0x1030014,
         kErr + "Invalid Remote IP address specified\n"},
        {"local before remote", h, ip(224, 1, 1, 1), ip(127, 0, 0, 9), 0x1030014,
         kErr + "Invalid Local IP address specified\n"},
        {"both 0", h, 0, 0, 0x1030014, kErr + "No IP address specified!\n"},
        {"another tunnel's ends", h, kNewLocal, kNewRemote, 0x1030014,
         kErr + "Tunnel end addresses already in use by another tunnel interface\n"},
    };
    const Snapshot before = snap();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string text;
        EXPECT_EQ(ends(c.h, c.local, c.remote, &text), c.status);
        EXPECT_EQ(mask_sites(text), c.text);
        EXPECT_EQ(snap(), before);
    }
    ASSERT_EQ(tdel(o), 0u);
    ASSERT_EQ(tdel(h), 0u);
    EXPECT_EQ(snap(), baseline_);
}

TEST_F(TunnelChange, SameAddressesChangeNothing) {
    zel_ip_tunnel_handle_t h = natt_tunnel();
    const Snapshot before = snap();
    struct Case {
        uint32_t local, remote;
    };
    for (const Case &c : {Case{kLocal, kRemote}, Case{kLocal, 0}, Case{0, kRemote}}) {
        std::string text;
        EXPECT_EQ(ends(h, c.local, c.remote, &text), 0u);
        EXPECT_EQ(mask_sites(text), kWarn + "Old and New IP addreses are same! Returning with no change done!\n");
        EXPECT_EQ(snap(), before);
    }
    ASSERT_EQ(tdel(h), 0u);
}

// The new ends are matched before the old ones are withdrawn: when the
// first withdrawal fails, the tunnel is matched by both. The record keeps
// the old ends, and the repeated call completes the change.
TEST_F(TunnelChange, NewEndsAreMatchedBeforeTheOldGo) {
    zel_ip_tunnel_handle_t h = natt_tunnel();
    fail_call("hwe_ptn_unlearn");
    std::string text;
    EXPECT_EQ(ends(h, kNewLocal, kNewRemote, &text), 0x10041u);
    EXPECT_EQ(lines_at(text, "FATAL").front(), "Could not remove LPM rule from hardware");
    EXPECT_TRUE(pair_matched(kNewRemote, kNewLocal, true));
    EXPECT_TRUE(pair_matched(kRemote, kLocal, true));
    EXPECT_EQ(entries(kTunnelIf), 4u);
    EXPECT_EQ(ends(h, kNewLocal, kNewRemote, &text), 0u) << text;
    EXPECT_TRUE(pair_matched(kNewRemote, kNewLocal, true));
    EXPECT_EQ(entries(kTunnelIf), 2u);
    // One end at a time: the other is kept.
    ASSERT_EQ(ends(h, kLocal, 0), 0u);
    EXPECT_TRUE(pair_matched(kNewRemote, kLocal, true));
    EXPECT_EQ(entries(kTunnelIf), 2u);
    ASSERT_EQ(tdel(h), 0u);
    EXPECT_EQ(snap(), baseline_);
}

// Going back to the old ends after a change that failed partway withdraws
// the new ends' matches the failure left behind.
TEST_F(TunnelChange, RevertAfterAFailedChange) {
    zel_ip_tunnel_handle_t h = natt_tunnel();
    fail_call("hwe_ptn_unlearn", 2);  // the old twin stays
    EXPECT_EQ(ends(h, kNewLocal, kNewRemote), 0x10041u);
    EXPECT_EQ(entries(kTunnelIf), 3u);
    std::string text;
    EXPECT_EQ(ends(h, kLocal, kRemote, &text), 0u);
    EXPECT_EQ(text.find("are same"), std::string::npos) << text;
    EXPECT_TRUE(pair_matched(kRemote, kLocal, true));
    EXPECT_EQ(entries(kTunnelIf), 2u);
    ASSERT_EQ(tdel(h), 0u);
    EXPECT_EQ(snap(), baseline_);
}

// An unnumbered tunnel sources from its local end: a new local end
// rewrites its tree-22 entry; a numbered tunnel keeps its address.
TEST_F(TunnelChange, LocalEndIsTheSourceOfAnUnnumberedTunnel) {
    for (bool numbered : {false, true}) {
        SCOPED_TRACE(numbered ? "numbered" : "unnumbered");
        zel_ip_tunnel_params_t p = tparams(8);
        if (numbered) {
            p.addr = ip(10, 9, 0, 1);
            p.prefix_len = 30;
        }
        zel_ip_tunnel_handle_t h = tmake(p);
        const uint32_t x = intf_of(8);
        const uint32_t src = numbered ? p.addr : kNewLocal;
        ASSERT_EQ(ends(h, kNewLocal, 0), 0u);
        EXPECT_TRUE(is_value(sip_mtu(x, 0).a, (src & 0xff) | 1500u << 8, src >> 8));
        ASSERT_EQ(tdel(h), 0u);
        EXPECT_EQ(snap(), baseline_);
    }
}

// ---- NAT-T ---------------------------------------------------------------------

TEST_F(TunnelChange, NattSwitch) {
    zel_ip_tunnel_handle_t h = tmake(tparams(5));
    x_ = intf_of(5);
    const Snapshot plain = snap();
    std::string text;
    EXPECT_EQ(natt(h, 0, &text), 0u);
    EXPECT_EQ(mask_sites(text), kWarn + "NATT is already disabled! Returning with no change done!\n");
    EXPECT_EQ(snap(), plain);
    ASSERT_EQ(natt(h, 1), 0u);
    EXPECT_TRUE(pair_matched(kRemote, kLocal, true));
    EXPECT_EQ(entries(kTunnelIf), 2u);
    const Snapshot with_twin = snap();
    EXPECT_EQ(natt(h, 1, &text), 0u);
    EXPECT_EQ(mask_sites(text), kWarn + "NATT is already enabled! Returning with no change done!\n");
    EXPECT_EQ(snap(), with_twin);
    // Any value other than 1 switches it off: the twin goes, the match stays.
    ASSERT_EQ(natt(h, 2), 0u);
    EXPECT_EQ(snap(), plain);
    ASSERT_EQ(tdel(h), 0u);
    EXPECT_EQ(snap(), baseline_);
}

// Without both ends there is no twin to learn: the setting alone changes,
// and the twin comes with the ends.
TEST_F(TunnelChange, NattOfAHalfConfiguredTunnel) {
    zel_ip_tunnel_params_t p = tparams(5);
    p.remote_addr = 0;
    zel_ip_tunnel_handle_t h = tmake(p);
    x_ = intf_of(5);
    ASSERT_EQ(natt(h, 1), 0u);
    EXPECT_EQ(entries(kTunnelIf), 0u);
    ASSERT_EQ(natt(h, 0), 0u);
    ASSERT_EQ(natt(h, 1), 0u);
    ASSERT_EQ(ends(h, 0, kRemote), 0u);
    EXPECT_TRUE(pair_matched(kRemote, kLocal, true));
    ASSERT_EQ(tdel(h), 0u);
    EXPECT_EQ(snap(), baseline_);
}

// A UDP tunnel's twin would be its own outer match, which switching NAT-T
// off again would withdraw.
TEST_F(TunnelChange, NattRefusals) {
    zel_ip_tunnel_params_t p = tparams(5);
    p.proto = 17;
    zel_ip_tunnel_handle_t udp = tmake(p);
    zel_ip_tunnel_params_t q = tparams(6);
    q.proto = 50;
    zel_ip_tunnel_handle_t esp = tmake(q);
    const Snapshot before = snap();
    uint32_t junk[16] = {};
    struct Case {
        const char *name;
        zel_ip_tunnel_handle_t h;
        uint32_t status;
        std::string text;
    };
    const Case cases[] = {
        {"not a tunnel", reinterpret_cast<zel_ip_tunnel_handle_t>(junk), 0x30008,
         kErr + "Invalid Interface Handle or type\n"},
        {"UDP", udp, 0x30008, kErr + "Tunnel interface protocol cannot be UDP with NAT-T enabled\n"},
        {"twin taken by the UDP tunnel", esp, 0x1030014,
         kErr + "Tunnel end addresses already in use by another tunnel interface\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string text;
        EXPECT_EQ(natt(c.h, 1, &text), c.status);
        EXPECT_EQ(mask_sites(text), c.text);
        EXPECT_EQ(snap(), before);
    }
    ASSERT_EQ(tdel(udp), 0u);
    ASSERT_EQ(natt(esp, 1), 0u);
    ASSERT_EQ(tdel(esp), 0u);
    EXPECT_EQ(snap(), baseline_);
}

// ---- MTU and path MTU ---------------------------------------------------------

TEST_F(TunnelChange, MtuRefusals) {
    zel_ip_tunnel_handle_t h = tmake(tparams(5));
    const Snapshot before = snap();
    struct Case {
        uint32_t mtu, pmtu;
        std::string text;
    };
    const Case cases[] = {
        {0, 0, kErr + "Invalid MTU Value 0\n"},  // 0 is not the default here
        {63, 0, kErr + "Invalid MTU Value 63\n"},
        {9001, 1400, kErr + "Invalid MTU Value 9001\n"},
        {1400, 63, kErr + "Invalid Path MTU Value 63\n"},
        {1400, 9001, kErr + "Invalid Path MTU Value 9001\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        std::string text;
        EXPECT_EQ(mtu(h, c.mtu, c.pmtu, &text), 0x1030016u);
        EXPECT_EQ(mask_sites(text), c.text);
    }
    std::string text;
    EXPECT_EQ(mtu(reinterpret_cast<zel_ip_tunnel_handle_t>(&text), 1400, 0, &text), 0x30008u);
    EXPECT_EQ(mask_sites(text), kErr + "Invalid Interface Handle or type\n");
    EXPECT_EQ(snap(), before);
    ASSERT_EQ(tdel(h), 0u);
}

// Each change rewrites the path MTU entry (or withdraws it for a word of
// 0), the MTU of the egress flags, keeping their low byte, and the MTU of
// the source entry.
TEST_F(TunnelChange, MtuAndPathMtu) {
    zel_ip_tunnel_params_t p = tparams(5);
    p.admin_down = 1;
    p.addr = ip(10, 9, 0, 1);
    p.prefix_len = 32;
    zel_ip_tunnel_handle_t h = tmake(p);
    const uint32_t x = intf_of(5);
    struct Step {
        uint32_t mtu, pmtu;
        bool entry;
        uint32_t word;
    };
    const Step steps[] = {
        {576, 0, false, 0},        // withdrawn
        {576, 0, false, 0},        // nothing to withdraw: still fine
        {577, 0, true, 0x8000},    // bit 15 only
        {576, 1280, true, 1280},   // no bit 15
        {9000, 1400, true, 0x8578},
        {64, 9000, true, 9000},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(testing::Message() << s.mtu << "/" << s.pmtu);
        std::string text;
        ASSERT_EQ(mtu(h, s.mtu, s.pmtu, &text), 0u) << text;
        const Hit pm = by_intf(kTunnelPmtu, x);
        EXPECT_EQ(pm.depth, s.entry ? 16u : 0u);
        if (s.entry) {
            EXPECT_TRUE(pm.a.kind == HWE_ACTION_NONE && pm.a.w1 == s.word);
        }
        EXPECT_TRUE(is_value(by_intf(kEgress, x).a, s.mtu << 8 | 1u << 6, x));
        EXPECT_TRUE(is_value(sip_mtu(x, 0).a, 0x01 | s.mtu << 8, 0x0a0900));
    }
    ASSERT_EQ(tdel(h), 0u);
    EXPECT_EQ(snap(), baseline_);
}

// ---- Golden text ------------------------------------------------------------

// What a tunnel's life prints with the pattern trace on: the entries of
// create in their order, an end-address change learning the new outer
// match and its twin before withdrawing the old ones, NAT-T off, an MTU
// change, and delete's order.
TEST_F(TunnelChange, PatternTraceOfATunnelsLife) {
    zel_ip_log_level_set(m_, ZEL_LOG_INFO | 0x40);
    zel_ip_tunnel_params_t p = tparams(5);
    p.natt = 1;
    p.addr = ip(10, 9, 0, 1);
    p.prefix_len = 24;
    p.path_mtu = 1400;
    std::string all, text;
    zel_ip_tunnel_handle_t h = nullptr;
    ASSERT_EQ(tcreate(p, &h, &text), 0u);
    all += "---- create\n" + text;
    ASSERT_EQ(ends(h, kNewLocal, kNewRemote, &text), 0u);
    all += "---- ends\n" + text;
    ASSERT_EQ(natt(h, 0, &text), 0u);
    all += "---- natt off\n" + text;
    ASSERT_EQ(mtu(h, 576, 0, &text), 0u);
    all += "---- mtu 576, no path MTU\n" + text;
    ASSERT_EQ(tdel(h, &text), 0u);
    all += "---- delete\n" + text;
    zel::test::expect_golden("tunnel_life.txt", mask_sites(all));
}

}  // namespace
