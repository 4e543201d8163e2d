// Routes and invalid destinations through the public API, checked by
// engine lookups of the destination tree: every check in its order with
// its message, every route type's words, replacement and fallback, and the
// platform failures of each call through the fault sweep.
#include <gtest/gtest.h>

#include <cinttypes>
#include <string>

#include "core/zel_ip_status_internal.h"
#include "route_test_util.h"
#include "tree/zel_ip_tree.h"
#include "zel_fault_sweep.h"
#include "zel_test_fixture.h"

using namespace routetest;
using zel::ip::kTreeDestAddr;
using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

const std::string kErr = "[zel_ip_log: ERROR] FILE:LINE ";
const std::string kFatal = "[zel_ip_log: FATAL] FILE:LINE ";

hwe_action_t value(uint32_t w1, uint32_t w2) { return {HWE_ACTION_VALUE, w1, w2}; }

zel_ip_route_params_t route(uint32_t dest, uint32_t len, uint32_t nh = 0, zel_ip_vrd_handle_t vrd = nullptr) {
    zel_ip_route_params_t r{};
    r.vrd = vrd;
    r.dest = dest;
    r.prefix_len = len;
    r.next_hop = nh;
    return r;
}

class Route : public ZelTest {
protected:
    Route() { initial_log_level_ = ZEL_LOG_ERROR; }
    void SetUp() override {
        ZelTest::SetUp();
        uint32_t id = 4;
        ASSERT_EQ(zel_ip_vrd_create(m_, &id, &vrd4_), 0u);
    }
    void TearDown() override {
        if (vrd4_) {
            EXPECT_EQ(zel_ip_vrd_delete(m_, vrd4_), 0u);
        }
        if (tunnel_) {
            StdoutCapture quiet;
            EXPECT_EQ(zel_ip_tunnel_interface_delete(m_, tunnel_), 0u) << quiet.text();
        }
        if (ipoe_) {
            StdoutCapture quiet;
            EXPECT_EQ(zel_ip_interface_delete(m_, ipoe_), 0u) << quiet.text();
        }
        ZelTest::TearDown();
    }

    hwe_engine_t *eng() { return zel_sim_engine(sim_); }
    uint32_t entries() { return zel_sim_engine_entry_count(eng(), tree_id(eng(), kTreeDestAddr)); }
    std::string status_text(uint32_t st) { return zel_sys_status_get(m_->sys_ctx, st); }

    // A real IPoE interface, made on first use (its own entries in the
    // destination tree would change the entry counts of the other tests).
    zel_ip_intf_handle_t ipoe() {
        if (!ipoe_) {
            zel_ip_intf_params_t p{};
            p.l2_intf = zel_sim_l2_interface_new(sim_, 0x31);
            p.addr = 0xc6336401;  // 198.51.100.1/24, away from the routes used here
            p.prefix_len = 24;
            StdoutCapture quiet;
            EXPECT_EQ(zel_ip_interface_create(m_, &p, &ipoe_), 0u) << quiet.text();
        }
        return ipoe_;
    }

    // A real tunnel interface, made on first use: unnumbered and without
    // ends, so that its only destination entry is its 127-address.
    zel_ip_tunnel_handle_t tunnel() {
        if (!tunnel_) {
            zel_ip_tunnel_params_t p{};
            p.tunnel_id = 5;
            p.proto = 47;
            StdoutCapture quiet;
            EXPECT_EQ(zel_ip_tunnel_interface_create(m_, &p, &tunnel_), 0u) << quiet.text();
        }
        return tunnel_;
    }
    // Its INTF-ID: the first word of the interface's object header.
    uint32_t tunnel_intf() { return reinterpret_cast<const zel_obj_header_t *>(tunnel())->intf_id; }

    zel_ip_tunnel_handle_t tunnel_ = nullptr;
    zel_ip_intf_handle_t ipoe_ = nullptr;
    zel_ip_vrd_handle_t vrd4_ = nullptr;
};

// Each refusal in its order, with its message; none changes the tree.
TEST_F(Route, AddRefusesInOrder) {
    auto local = [](uint16_t mask) {
        zel_ip_route_params_t r = route(0x0a000000, 8);
        r.local_termination = 1;
        r.ingress_assoc_mask = mask;
        return r;
    };
    zel_ip_route_params_t reasm = route(0x0a000000, 33);  // also a bad prefix: reassembly wins
    reasm.reassembly = 1;
    zel_ip_route_params_t bad_vrd = route(0x0a000000, 33);
    uint32_t not_a_vrd = 0xc7b39516;  // the magic, but not a record the module made
    bad_vrd.vrd = reinterpret_cast<zel_ip_vrd_handle_t>(&not_a_vrd);
    bad_vrd.reassembly = 1;
    zel_ip_route_params_t nh_tunnel = route(0x0a000000, 8, 0x0a000001);
    nh_tunnel.egress_intf = tunnel();
    zel_ip_route_params_t nh_garbage = route(0x0a000000, 8, 0x0a000001);
    nh_garbage.egress_intf = &not_a_vrd;
    zel_ip_route_params_t no_nh_ipoe = route(0x0a000000, 8);
    no_nh_ipoe.egress_intf = ipoe();
    zel_ip_route_params_t no_nh_garbage = route(0x0a000000, 8);
    no_nh_garbage.egress_intf = &not_a_vrd;

    char bad_vrd_msg[128];
    std::snprintf(bad_vrd_msg, sizeof bad_vrd_msg, "Invalid IPv4 routing domain handle 0x%08" PRIxPTR "\n",
                  reinterpret_cast<uintptr_t>(&not_a_vrd));
    const std::string unexpected_mask = kErr + "Unexpected ingress association rule mask\n";
    struct Case {
        const char *what;
        const zel_ip_route_params_t *params;
        zel_ip_route_params_t r;
        uint32_t status;
        std::string text;
    };
    const Case cases[] = {
        {"NULL parameters", nullptr, {}, 0x30008, kErr + "Invalid NULL pointer parameter\n"},
        {"invalid domain first", &bad_vrd, bad_vrd, 0x30001, kErr + bad_vrd_msg},
        {"reassembly before prefix", nullptr, reasm, 0x30008,
         kErr + "Re-assembly cannot be enabled if ingress flow association for local termination is not "
                "enabled\n"},
        {"prefix 33", nullptr, route(0x0a000000, 33), 0x1030012, kErr + "Invalid dest IP address prefix length\n"},
        {"next hop 127.0.0.1", nullptr, route(0x0a000000, 8, 0x7f000001), 0x1030014,
         kErr + "Invalid address specified as next hop\n"},
        {"next hop 224.0.0.5", nullptr, route(0x0a000000, 8, 0xe0000005), 0x1030014,
         kErr + "Invalid address specified as next hop\n"},
        {"next hop 255.255.255.255", nullptr, route(0x0a000000, 8, 0xffffffff), 0x1030014,
         kErr + "Invalid address specified as next hop\n"},
        {"next hop with a tunnel", nullptr, nh_tunnel, 0x30008,
         kErr + "Next hop must not be specified when egress interface is a valid tunnel interface\n"},
        {"next hop with no interface", nullptr, nh_garbage, 0x30008,
         kErr + "Invalid output interface specified with valid next hop address\n"},
        {"IPoE without next hop", nullptr, no_nh_ipoe, 0x30008,
         kErr + "Next hop unspecified and egress interface is not a valid tunnel interface\n"},
        {"no interface without next hop", nullptr, no_nh_garbage, 0x30008,
         kErr + "Next hop unspecified and egress interface is not a valid tunnel interface\n"},
        {"mask 0x81", nullptr, local(0x81), 0x30008,
         kErr + "Mask bit cannot be set for both VRD Handle and VRD ID. Invalid ingress association rule mask "
                "81\n" + unexpected_mask},
        {"mask 0x100", nullptr, local(0x100), 0x30008,
         kErr + "Invalid ingress association rule mask 100\n" + unexpected_mask},
        {"mask 0x36", nullptr, local(0x36), 0x30008,
         kErr + "Unsupported ingress association rule mask 36\n" + unexpected_mask},
        {"mask 0x24", nullptr, local(0x24), 0x30008,
         kErr + "Unsupported ingress association rule mask 24\n" + unexpected_mask},
    };
    const uint32_t before = entries();
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.what);
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_route_add(m_, i == 0 ? nullptr : &c.r), c.status);
        EXPECT_EQ(mask_sites(cap.text()), c.text);
        EXPECT_EQ(entries(), before);
    }
}

// What each kind of route writes, read back where the engine looks it up.
TEST_F(Route, EveryRouteTypeWritesItsWords) {
    auto with = [](zel_ip_route_params_t r, auto &&edit) {
        edit(r);
        return r;
    };
    struct Case {
        const char *what;
        zel_ip_route_params_t r;
        hwe_action_t expected;
    };
    const Case cases[] = {
        {"via next hop 192.0.2.1", route(0x0a010000, 16, 0xc0000201), value(0xc00001, 0x000201)},
        {"next hop 0.0.0.0 is none: null route", route(0x0a020000, 16, 0), value(0x10, 0)},
        {"via tunnel", with(route(0x0a030000, 16), [&](auto &r) { r.egress_intf = tunnel(); }),
         value(0x7f0041, tunnel_intf())},
        {"next hop with its IPoE interface (not written)",
         with(route(0x0a040000, 16, 0x0a040001), [&](auto &r) { r.egress_intf = ipoe(); }),
         value(0x0a0001, 0x040001)},
        {"local termination, mask 0: DIP only",
         with(route(0x0a050000, 16), [](auto &r) { r.local_termination = 1; }), value(0x400, 0)},
        {"local termination with reassembly",
         with(route(0x0a060000, 16), [](auto &r) { r.local_termination = r.reassembly = 1; }), value(0x420, 0)},
        {"local termination, mask 0x35",
         with(route(0x0a070000, 16), [](auto &r) { r.local_termination = 1, r.ingress_assoc_mask = 0x35; }),
         value(0x3500, 0)},
        {"local termination, VRD ID folds into bit 0",
         with(route(0x0a080000, 16), [](auto &r) { r.local_termination = 1, r.ingress_assoc_mask = 0xfc; }),
         value(0x7d00, 0)},
        {"local termination keeps a next hop without forwarding",
         with(route(0x0a090000, 16, 0xc0000201), [](auto &r) { r.local_termination = 1; }),
         value(0xc00400, 0x000201)},
        {"local termination through a tunnel",
         with(route(0x0a0a0000, 16), [&](auto &r) { r.local_termination = 1, r.egress_intf = tunnel(); }),
         value(0x7f0440, tunnel_intf())},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(zel_ip_route_add(m_, &c.r), 0u);
        for (uint32_t host : {0u, 1u, 0xffffu}) {
            hwe_action_t got = route_at(eng(), 63, c.r.dest | host);
            EXPECT_TRUE(same(got, c.expected)) << str(got) << " expected " << str(c.expected);
        }
        EXPECT_TRUE(same(route_at(eng(), 63, c.r.dest + 0x10000), kNoRoute));
    }
    // The tunnel is in use while routes go through it: they go first.
    for (const Case &c : cases) {
        if (c.r.egress_intf == tunnel_) {
            EXPECT_EQ(zel_ip_route_delete(m_, &c.r), 0u);
        }
    }
}

TEST_F(Route, DefaultRouteCoversTheWholeDomainOnly) {
    zel_ip_route_params_t r = route(0x01020304, 0, 0x0a000001, vrd4_);  // the address is not looked at
    ASSERT_EQ(zel_ip_route_add(m_, &r), 0u);
    for (uint32_t a : {0u, 0x7f000001u, 0xc0a80101u, 0xffffffffu})
        EXPECT_TRUE(same(route_at(eng(), 4, a), value(0x0a0001, 0x000001))) << std::hex << a;
    EXPECT_TRUE(same(route_at(eng(), 63, 0xc0a80101), kNoRoute));
    EXPECT_TRUE(same(route_at(eng(), 5, 0xc0a80101), kNoRoute));
    ASSERT_EQ(zel_ip_route_delete(m_, &r), 0u);
    EXPECT_TRUE(same(route_at(eng(), 4, 0xc0a80101), kNoRoute));
}

// Adding a prefix again replaces its entry; removing one lets its
// addresses fall back to the closest shorter route, then to No-Route.
TEST_F(Route, ReplaceAndFallBack) {
    zel_ip_route_params_t r16 = route(0x0a010000, 16, 0x0b000001, vrd4_);
    zel_ip_route_params_t r24 = route(0x0a010200, 24, 0x0b000002, vrd4_);
    ASSERT_EQ(zel_ip_route_add(m_, &r16), 0u);
    ASSERT_EQ(zel_ip_route_add(m_, &r24), 0u);
    r24.next_hop = 0x0b000003;
    ASSERT_EQ(zel_ip_route_add(m_, &r24), 0u);
    EXPECT_TRUE(same(route_at(eng(), 4, 0x0a010205), value(0x0b0001, 0x000003)));
    EXPECT_TRUE(same(route_at(eng(), 4, 0x0a010305), value(0x0b0001, 0x000001)));

    // Delete reads only the domain, destination and prefix length.
    zel_ip_route_params_t del = r24;
    del.next_hop = 0x7f000001;
    del.reassembly = 1;
    del.egress_intf = &del;
    ASSERT_EQ(zel_ip_route_delete(m_, &del), 0u);
    EXPECT_TRUE(same(route_at(eng(), 4, 0x0a010205), value(0x0b0001, 0x000001)));
    ASSERT_EQ(zel_ip_route_delete(m_, &r16), 0u);
    EXPECT_TRUE(same(route_at(eng(), 4, 0x0a010205), kNoRoute));
}

// A host route is a full-length key: it comes and goes like any other.
TEST_F(Route, HostRoutesAreFullLengthKeys) {
    zel_ip_route_params_t r8 = route(0x0a000000, 8, 0x0b000001);
    zel_ip_route_params_t r32 = route(0x0a000005, 32, 0x0b000002);
    ASSERT_EQ(zel_ip_route_add(m_, &r8), 0u);
    ASSERT_EQ(zel_ip_route_add(m_, &r32), 0u);
    EXPECT_TRUE(same(route_at(eng(), 63, 0x0a000005), value(0x0b0001, 0x000002)));
    EXPECT_TRUE(same(route_at(eng(), 63, 0x0a000006), value(0x0b0001, 0x000001)));
    ASSERT_EQ(zel_ip_route_delete(m_, &r32), 0u);
    EXPECT_TRUE(same(route_at(eng(), 63, 0x0a000005), value(0x0b0001, 0x000001)));
    // And again, after the database has seen the key once.
    ASSERT_EQ(zel_ip_route_add(m_, &r32), 0u);
    ASSERT_EQ(zel_ip_route_delete(m_, &r8), 0u);
    EXPECT_TRUE(same(route_at(eng(), 63, 0x0a000005), value(0x0b0001, 0x000002)));
    EXPECT_TRUE(same(route_at(eng(), 63, 0x0a000006), kNoRoute));
    ASSERT_EQ(zel_ip_route_delete(m_, &r32), 0u);
    EXPECT_EQ(entries(), 0u);
}

TEST_F(Route, DeleteRefusals) {
    zel_ip_route_params_t stale = route(0x0a000000, 8);
    uint32_t id = 6;
    zel_ip_vrd_handle_t h = nullptr;
    ASSERT_EQ(zel_ip_vrd_create(m_, &id, &h), 0u);
    ASSERT_EQ(zel_ip_vrd_delete(m_, h), 0u);
    stale.vrd = h;
    char stale_msg[128];
    std::snprintf(stale_msg, sizeof stale_msg, "Invalid IPv4 routing domain handle 0x%08" PRIxPTR "\n",
                  reinterpret_cast<uintptr_t>(h));
    zel_ip_route_params_t wide = route(0x0a000000, 33);
    zel_ip_route_params_t absent = route(0x0a000000, 8);
    struct Case {
        const char *what;
        const zel_ip_route_params_t *r;
        uint32_t status;
        std::string text;
    };
    const Case cases[] = {
        {"NULL", nullptr, 0x30008, kErr + "Invalid NULL pointer parameter\n"},
        {"stale domain", &stale, 0x30001, kErr + stale_msg},
        {"prefix 33", &wide, 0x1030012, kErr + "Invalid IP address prefix\n"},
        // The engine refuses to remove what is not there; that is returned.
        {"no such route", &absent, 0x10041,
         kErr + "RTE Error: " + hwe_status_get(HWE_E_NOT_LEARNT) + ", Failed to unlearn the input pattern\n" +
             kErr + status_text(0x41) + "\n" + kFatal + "Failed to remove the LPM rule from hardware\n" + kFatal +
             status_text(0x10041) + "\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_route_delete(m_, c.r), c.status);
        EXPECT_EQ(mask_sites(cap.text()), c.text);
    }
}

TEST_F(Route, InvalidDestinations) {
    zel_ip_invalid_dip_params_t p{0xc0a80000, 16};
    ASSERT_EQ(zel_ip_invalid_dip_add(m_, vrd4_, &p), 0u);
    EXPECT_TRUE(same(route_at(eng(), 4, 0xc0a80101), value(0x8000, 0)));
    EXPECT_TRUE(same(route_at(eng(), 63, 0xc0a80101), kNoRoute));
    // It replaces a route of the same prefix, and a route delete removes it.
    zel_ip_route_params_t r = route(0xc0a80000, 16, 0x0a000001, vrd4_);
    ASSERT_EQ(zel_ip_route_add(m_, &r), 0u);
    ASSERT_EQ(zel_ip_invalid_dip_add(m_, vrd4_, &p), 0u);
    EXPECT_TRUE(same(route_at(eng(), 4, 0xc0a80101), value(0x8000, 0)));
    ASSERT_EQ(zel_ip_route_delete(m_, &r), 0u);
    EXPECT_TRUE(same(route_at(eng(), 4, 0xc0a80101), kNoRoute));
    // Remove lets the prefix fall back, as a route delete does.
    zel_ip_route_params_t r8 = route(0xc0000000, 8, 0x0a000002, vrd4_);
    ASSERT_EQ(zel_ip_route_add(m_, &r8), 0u);
    ASSERT_EQ(zel_ip_invalid_dip_add(m_, vrd4_, &p), 0u);
    ASSERT_EQ(zel_ip_invalid_dip_rem(m_, vrd4_, &p), 0u);
    EXPECT_TRUE(same(route_at(eng(), 4, 0xc0a80101), value(0x0a0001, 0x000002)));
    ASSERT_EQ(zel_ip_route_delete(m_, &r8), 0u);

    // Checks: parameters before the domain, then the prefix length.
    uint32_t junk = 0;
    zel_ip_vrd_handle_t bad = reinterpret_cast<zel_ip_vrd_handle_t>(&junk);
    char bad_msg[128];
    std::snprintf(bad_msg, sizeof bad_msg, "Invalid IPv4 routing domain handle 0x%08" PRIxPTR "\n",
                  reinterpret_cast<uintptr_t>(bad));
    zel_ip_invalid_dip_params_t wide{0, 33};
    for (bool add : {true, false}) {
        SCOPED_TRACE(add ? "add" : "rem");
        auto call = add ? zel_ip_invalid_dip_add : zel_ip_invalid_dip_rem;
        StdoutCapture cap;
        EXPECT_EQ(call(m_, bad, nullptr), 0x30008u);
        EXPECT_EQ(call(m_, bad, &p), 0x30001u);
        EXPECT_EQ(call(m_, nullptr, &wide), 0x1030012u);
        EXPECT_EQ(mask_sites(cap.text()), kErr + "Invalid NULL pointer parameter\n" + kErr + bad_msg + kErr +
                                              "Invalid dest IP address prefix length\n");
    }
    EXPECT_EQ(entries(), 0u);
}

TEST_F(Route, EveryCallAfterShutdownIsRefused) {
    ASSERT_EQ(zel_ip_vrd_delete(m_, vrd4_), 0u);
    vrd4_ = nullptr;
    stop();
    zel_ip_route_params_t r = route(0x0a000000, 8, 0x0a000001);
    zel_ip_invalid_dip_params_t p{0x0a000000, 8};
    uint32_t id = 1;
    zel_ip_vrd_handle_t h = nullptr;
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_route_add(m_, &r), 0x30001u);
    EXPECT_EQ(zel_ip_route_delete(m_, &r), 0x30001u);
    EXPECT_EQ(zel_ip_invalid_dip_add(m_, nullptr, &p), 0x30001u);
    EXPECT_EQ(zel_ip_invalid_dip_rem(m_, nullptr, &p), 0x30001u);
    EXPECT_EQ(zel_ip_vrd_create(m_, &id, &h), 0x30001u);
    EXPECT_EQ(zel_ip_vrd_delete(m_, h), 0x30001u);
    EXPECT_EQ(zel_ip_vrd_mode(m_, nullptr, 1), 0x30001u);
    EXPECT_EQ(zel_ip_vrd_handle_get(m_, 1, &h), 0x30001u);
    EXPECT_EQ(zel_ip_route_add(nullptr, &r), 0x30001u);
    EXPECT_EQ(zel::test::lines_of(cap.text()).size(), 9u);
}

}  // namespace
