// Every interface object can always be deleted, whatever route calls,
// other interfaces and failed deletes did to the keys it programmed; an
// object whose delete has begun takes no other change; a tunnel in use by
// routes stays.
#include <gtest/gtest.h>

#include <string>

#include "tunnel_fixture.h"

namespace intf_test {
namespace {

constexpr uint32_t kVrd = 7;

class Lifecycle : public TunnelTest {
protected:
    Lifecycle() { initial_log_level_ = ZEL_LOG_ERROR; }

    void SetUp() override {
        TunnelTest::SetUp();
        uint32_t id = kVrd;
        ASSERT_EQ(captured(nullptr, [&] { return zel_ip_vrd_create(m_, &id, &vrd_); }), 0u);
        baseline_ = snap();
    }

    zel_ip_intf_params_t in_vrd(uint32_t intf_id, uint32_t addr, uint32_t plen) {
        zel_ip_intf_params_t p = params(intf_id, addr, plen);
        p.vrd = vrd_;
        return p;
    }
    static zel_ip_route_params_t route(uint32_t dest, uint32_t len, zel_ip_vrd_handle_t vrd,
                                       uint32_t nh = ip(192, 0, 2, 99), void *via = nullptr) {
        zel_ip_route_params_t r{};
        r.vrd = vrd;
        r.dest = dest;
        r.prefix_len = len;
        r.next_hop = via ? 0 : nh;
        r.egress_intf = via;
        return r;
    }
    uint32_t radd(const zel_ip_route_params_t &r, std::string *text = nullptr) {
        return captured(text, [&] { return zel_ip_route_add(m_, &r); });
    }
    uint32_t rdel(const zel_ip_route_params_t &r) {
        return captured(nullptr, [&] { return zel_ip_route_delete(m_, &r); });
    }
    // Everything the objects took is back: entries, slots, ids.
    void expect_baseline() {
        EXPECT_EQ(snap(), baseline_);
        EXPECT_TRUE(addr_slots(m_).empty());
        EXPECT_EQ(zel_sim_interface_ids_in_use(sim_), 0u);
        EXPECT_EQ(mtm_in_use(), 0u);
        expect_no_cpu_path();
    }

    zel_ip_vrd_handle_t vrd_ = nullptr;
    Snapshot baseline_;
};

// A route call on a key an object owns takes the entry over: the object's
// delete leaves the route's entry alone, and finds a removed one withdrawn.
TEST_F(Lifecycle, RouteCallsOnAnObjectsKeysNeverStrandIt) {
    struct Case {
        const char *what;
        uint32_t dest, len;  // the object's key the route calls hit
        bool route_stays;    // the route is not deleted before the object
    };
    const Case cases[] = {
        {"IPoE local address, route added and deleted", ip(10, 0, 1, 1), 32, false},
        {"IPoE subnet route, route added and deleted", ip(10, 0, 1, 0), 24, false},
        {"IPoE subnet broadcast, route added and deleted", ip(10, 0, 1, 255), 32, false},
        {"IPoE local address replaced by a route", ip(10, 0, 1, 1), 32, true},
        {"tunnel /30, route added and deleted", ip(10, 9, 0, 0), 30, false},
        {"tunnel 127-address, route added and deleted", 0, 32, false},
        {"virtual interface /32, route added and deleted", ip(10, 7, 7, 7), 32, false},
        {"virtual interface /32 replaced by a route", ip(10, 7, 7, 7), 32, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        zel_ip_intf_handle_t ipoe = make(in_vrd(7, ip(10, 0, 1, 1), 24));
        zel_ip_tunnel_params_t tp = tparams(3);
        tp.addr = ip(10, 9, 0, 1);
        tp.prefix_len = 30;
        tp.inner_vrd = vrd_;
        zel_ip_tunnel_handle_t t = tmake(tp);
        zel_ip_vif_params_t vp{};
        vp.vrd = vrd_;
        vp.addr = ip(10, 7, 7, 7);
        zel_ip_vif_handle_t v = nullptr;
        ASSERT_EQ(captured(nullptr, [&] { return zel_ip_virtual_interface_create(m_, &vp, &v); }), 0u);
        const uint32_t dest = c.dest ? c.dest : 0x7f000000 | reinterpret_cast<zel_obj_header_t *>(t)->intf_id;
        const zel_ip_route_params_t r = route(dest, c.len, vrd_);
        ASSERT_EQ(radd(r), 0u);
        if (!c.route_stays) {
            ASSERT_EQ(rdel(r), 0u);
        }
        std::string text;
        EXPECT_EQ(del(ipoe, &text), 0u) << text;
        EXPECT_EQ(tdel(t, &text), 0u) << text;
        EXPECT_EQ(captured(&text, [&] { return zel_ip_virtual_interface_delete(m_, v); }), 0u) << text;
        if (c.route_stays) {
            // The route's entry outlived the object whose key it took.
            EXPECT_TRUE(is_value(intf_test::dest(sim_, m_, kVrd, dest).a, 1 | 192u << 16, 0x000263));
            ASSERT_EQ(rdel(r), 0u);
        }
        expect_baseline();
    }
}

// Addresses whose entries would fall on another address's (or the
// domain's own) are refused, so no two objects ever share an entry that
// either's delete would remove.
TEST_F(Lifecycle, AddressesNeverShareEntries) {
    zel_ip_intf_handle_t first = make(in_vrd(1, ip(10, 0, 0, 0), 31));
    zel_ip_intf_handle_t other = make(in_vrd(2, ip(10, 1, 0, 1), 24));
    const Snapshot before = snap();
    struct Case {
        const char *what;
        uint32_t intf_id, addr, plen;
    };
    const Case cases[] = {
        {"the other end of a /31 on another interface", 3, ip(10, 0, 0, 1), 31},
        {"another address of a /24 subnet", 3, ip(10, 1, 0, 2), 24},
        {"an address that is the broadcast of a subnet", 3, ip(10, 1, 0, 255), 23},
        {"a subnet whose broadcast is the limited broadcast", 3, ip(128, 0, 0, 1), 1},
        {"the same, with a /24", 3, ip(255, 255, 255, 1), 24},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        zel_ip_intf_handle_t h = nullptr;
        std::string text;
        EXPECT_EQ(create(in_vrd(c.intf_id, c.addr, c.plen), &h, &text), 0x1030014u);
        EXPECT_NE(line_with(text, "overlaps the entries of another address"), "") << text;
        EXPECT_EQ(h, nullptr);
        // Nor as a secondary address, of the same interface or another.
        EXPECT_EQ(add(other, c.addr, c.plen, &text), 0x1030014u) << text;
        EXPECT_EQ(snap(), before);
    }
    // A tunnel's subnet may not fall on an interface's either.
    zel_ip_tunnel_params_t tp = tparams(4);
    tp.addr = ip(10, 1, 0, 9);
    tp.prefix_len = 24;
    tp.inner_vrd = vrd_;
    zel_ip_tunnel_handle_t t = nullptr;
    EXPECT_EQ(tcreate(tp, &t), 0x1030014u);
    // The domain's limited-broadcast source entry stays, and everything
    // still goes.
    EXPECT_EQ(src(kVrd, 0xffffffff).a.kind, HWE_ACTION_FUNC);
    EXPECT_EQ(del(first), 0u);
    EXPECT_EQ(del(other), 0u);
    expect_baseline();
    EXPECT_EQ(captured(nullptr, [&] { return zel_ip_vrd_delete(m_, vrd_); }), 0u);
    vrd_ = nullptr;
}

// One IP interface per Layer-2 interface.
TEST_F(Lifecycle, TwoInterfacesOnOneLayer2InterfaceAreRefused) {
    zel_ip_intf_handle_t first = make(in_vrd(9, ip(10, 0, 1, 1), 24));
    const Snapshot one = snap();
    zel_ip_intf_handle_t second = nullptr;
    std::string text;
    zel_ip_intf_params_t p = params(9, ip(10, 5, 0, 1), 24);  // another address, another domain
    EXPECT_EQ(create(p, &second, &text), 0x1030006u);
    EXPECT_EQ(line_with(text, "already carries"),
              "[zel_ip_log: ERROR] FILE:LINE Layer-2 interface 0x9 already carries an IP interface");
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(snap(), one);
    EXPECT_EQ(del(first), 0u);
    // Once the first is gone the Layer-2 interface takes one again.
    second = make(p);
    EXPECT_EQ(del(second), 0u);
    expect_baseline();
}

TEST_F(Lifecycle, TheFrameworkModelRefusesLayer2IdsItCouldHandOut) {
    EXPECT_NE(zel_sim_l2_interface_new(sim_, 0x20), nullptr);
    EXPECT_EQ(zel_sim_l2_interface_new(sim_, 0x20), nullptr);   // taken
    EXPECT_EQ(zel_sim_l2_interface_new(sim_, 0x100), nullptr);  // the framework's own ids
    EXPECT_EQ(zel_sim_l2_interface_new(sim_, 0xfff), nullptr);
    EXPECT_NE(zel_sim_l2_interface_new(sim_, 0x1000), nullptr);
}

// A tunnel that routes go through is not deleted; the count follows the
// routes as they are added, replaced and deleted.
TEST_F(Lifecycle, ATunnelInUseByRoutesStays) {
    zel_ip_tunnel_handle_t t = tmake(tparams(2));
    const zel_ip_route_params_t a = route(ip(10, 20, 0, 0), 16, nullptr, 0, t);
    const zel_ip_route_params_t b = route(ip(10, 21, 0, 0), 16, vrd_, 0, t);
    ASSERT_EQ(radd(a), 0u);
    ASSERT_EQ(radd(a), 0u);  // the same route again is still one use
    ASSERT_EQ(radd(b), 0u);
    const Snapshot used = snap();
    std::string text;
    EXPECT_EQ(tdel(t, &text), 0x3000fu);
    EXPECT_EQ(line_with(text, "in use"), "[zel_ip_log: ERROR] FILE:LINE Tunnel interface ID 2 is in use by 2 route(s)");
    EXPECT_EQ(snap(), used);
    EXPECT_TRUE(zel_ipv4_tunnel_interface_valid_handle(t));
    // Replaced by a route via a next hop, a route no longer uses it.
    ASSERT_EQ(radd(route(ip(10, 21, 0, 0), 16, vrd_)), 0u);
    EXPECT_EQ(tdel(t, &text), 0x3000fu);
    EXPECT_EQ(line_with(text, "in use"), "[zel_ip_log: ERROR] FILE:LINE Tunnel interface ID 2 is in use by 1 route(s)");
    ASSERT_EQ(rdel(a), 0u);
    EXPECT_EQ(tdel(t, &text), 0u) << text;
    ASSERT_EQ(rdel(b), 0u);
    expect_baseline();
    // The next tunnel, which may get the same interface id, starts unused.
    t = tmake(tparams(2));
    EXPECT_EQ(tdel(t), 0u);
}

// After a delete failed partway only the repeated delete is accepted: a
// change would learn again what the delete withdrew, and the repeated
// delete would then leave it behind.
TEST_F(Lifecycle, AHalfDeletedObjectTakesOnlyTheRepeatedDelete) {
    zel_ip_tunnel_params_t tp = tparams(6);
    tp.addr = ip(10, 9, 0, 1);
    tp.prefix_len = 30;
    tp.path_mtu = 1400;
    zel_ip_tunnel_handle_t t = tmake(tp);
    zel_ip_intf_handle_t h = make(params(5, ip(10, 3, 0, 1), 24));
    std::string text;
    for (uint32_t nth : {1u, 6u}) {
        SCOPED_TRACE(nth);
        fail_call("hwe_ptn_unlearn", nth);
        EXPECT_NE(tdel(t), 0u);
        fail_call("hwe_ptn_unlearn", nth);
        EXPECT_NE(del(h), 0u);
        clear_faults();
        const Snapshot half = snap();
        EXPECT_EQ(mtu(t, 1400, 0, &text), 0x30008u);
        EXPECT_EQ(line_with(text, "being deleted"),
                  "[zel_ip_log: ERROR] FILE:LINE Interface is being deleted; only its delete can be repeated");
        EXPECT_EQ(natt(t, 1), 0x30008u);
        EXPECT_EQ(ends(t, ip(192, 0, 2, 7), 0), 0x30008u);
        EXPECT_EQ(radd(route(ip(10, 30, 0, 0), 16, nullptr, 0, t)), 0x30008u);
        const uint32_t all[2] = {0, 0};
        EXPECT_EQ(captured(nullptr, [&] { return zel_ip_interface_subnet_status_set(m_, h, all, 1); }),
                  0x1030006u);
        const uint32_t self[2] = {ip(10, 3, 0, 1), 32};
        const zel_ip_addr_assoc_req_t req{1, 0x10};
        EXPECT_EQ(captured(nullptr, [&] { return zel_ip_addr_ingress_association_set(m_, h, self, &req); }),
                  0x30008u);
        EXPECT_EQ(add(h, ip(10, 4, 0, 1), 24), 0x30008u);
        EXPECT_EQ(captured(nullptr, [&] { return zel_ip_dscp_pcp_map_add(m_, h, 5, 3); }), 0x30001u);
        EXPECT_EQ(snap(), half);
        if (nth == 1) continue;  // nothing was withdrawn; the next round fails later
        EXPECT_EQ(tdel(t, &text), 0u) << text;
        EXPECT_EQ(del(h, &text), 0u) << text;
    }
    expect_baseline();
}

}  // namespace
}  // namespace intf_test
