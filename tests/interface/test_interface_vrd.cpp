// Interfaces in routing domains: an address is used once per domain, the
// domain keys every address entry, and an interface whose domain is gone
// refuses to change (its entries are keyed by the domain it was made in).
#include <gtest/gtest.h>

#include <string>

#include "intf_fixture.h"

using namespace intf_test;
using zel::test::StdoutCapture;

namespace {

constexpr uint32_t kAddr = ip(10, 0, 0, 1);

class InterfaceVrd : public IntfTest {
protected:
    zel_ip_vrd_handle_t vrd_create(uint32_t id) {
        zel_ip_vrd_handle_t v = nullptr;
        StdoutCapture quiet;
        EXPECT_EQ(zel_ip_vrd_create(m_, &id, &v), 0u) << quiet.text();
        return v;
    }
    uint32_t vrd_delete(zel_ip_vrd_handle_t v) {
        StdoutCapture quiet;
        return zel_ip_vrd_delete(m_, v);
    }
};

TEST_F(InterfaceVrd, TheSameAddressInAnotherDomain) {
    zel_ip_intf_handle_t a = make(params(1, kAddr, 24));
    zel_ip_vrd_handle_t blue = vrd_create(5);
    zel_ip_intf_params_t p = params(2, kAddr, 24);
    p.vrd = blue;
    zel_ip_intf_handle_t b = make(p);
    EXPECT_EQ(addr_slots(m_), (std::map<uint32_t, std::pair<uint32_t, uint32_t>>{{0, {kAddr, kDefaultVrd}},
                                                                               {1, {kAddr, 5}}}));
    // Each domain delivers the address to its own interface.
    EXPECT_TRUE(is_value(dest(kDefaultVrd, kAddr).a, 0x80 | 0u << 16 | 1u << 12, 1));
    EXPECT_TRUE(is_value(dest(5, kAddr).a, 0x80 | 1u << 16 | 1u << 12, 2));
    EXPECT_TRUE(is_value(dest(5, ip(10, 0, 0, 99)).a, 3, 2));
    EXPECT_EQ(src(5, ip(10, 0, 0, 255)).a.kind, HWE_ACTION_FUNC);
    EXPECT_EQ((by_intf(kIngress, 2).a.w1 >> 16) & 0x3f, 5u);
    // A secondary of the default domain's address is refused in it only.
    zel_ip_intf_handle_t c = make(params(3, ip(10, 1, 0, 1), 24));
    std::string text;
    EXPECT_EQ(add(c, kAddr, 16, &text), 0x1030014u);
    EXPECT_EQ(line_with(text, "in use"), "[zel_ip_log: ERROR] FILE:LINE IP address 0x0a000001 in VRD 63 already in use");
    // Deleting one leaves the other's slot and entries.
    EXPECT_EQ(del(b), 0u);
    EXPECT_EQ(addr_slots(m_).count(0), 1u);
    EXPECT_EQ(addr_slots(m_).count(1), 0u);
    EXPECT_TRUE(is_value(dest(kDefaultVrd, kAddr).a, 0x80 | 1u << 12, 1));
    EXPECT_EQ(dest(5, kAddr).depth, 0u);
    EXPECT_EQ(del(a), 0u);
    EXPECT_EQ(del(c), 0u);
    EXPECT_EQ(vrd_delete(blue), 0u);
}

// A domain is in use while an interface lives in it: deleted under it, its
// id could go to a new domain and the interface could never be deleted
// (its entries are keyed by the domain). The delete is refused until the
// interface is gone.
TEST_F(InterfaceVrd, ADomainIsKeptWhileAnInterfaceLivesInIt) {
    zel_ip_vrd_handle_t blue = vrd_create(5);
    zel_ip_intf_params_t p = params(9, kAddr, 24);
    p.vrd = blue;
    zel_ip_intf_handle_t h = make(p);
    const Snapshot before = snap();
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_vrd_delete(m_, blue), 0x3000fu);
        const std::string text = zel::test::mask_sites(cap.text());
        EXPECT_NE(text.find("[zel_ip_log: ERROR] FILE:LINE VRD 0x"), std::string::npos) << text;
        EXPECT_NE(text.find(" in use by IP interface 0x"), std::string::npos) << text;
    }
    EXPECT_EQ(snap(), before);
    EXPECT_EQ(del(h), 0u);
    EXPECT_EQ(dest(5, kAddr).depth, 0u);
    EXPECT_TRUE(addr_slots(m_).empty());
    EXPECT_EQ(vrd_delete(blue), 0u);
}

}  // namespace
