// The ingress association mask: its six rules with their exact messages,
// and the tree mask every destination entry and association key carries.
#include <gtest/gtest.h>

#include <string>

#include "tree/zel_ip_assoc_mask.h"
#include "zel_test_fixture.h"

using namespace zel::ip;
using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

class AssocMask : public ZelTest {
protected:
    AssocMask() { initial_log_level_ = ZEL_LOG_ERROR; }
};

TEST_F(AssocMask, EachRuleRefusesWithItsMessage) {
    struct Case {
        uint16_t mask;
        uint32_t result;
        const char *message;  // "" = accepted, nothing printed
    };
    const std::string err = "[zel_ip_log: ERROR] FILE:LINE ";
    const Case cases[] = {
        {0x100, 8, "Invalid ingress association rule mask 100\n"},
        {0x8004, 8, "Invalid ingress association rule mask 8004\n"},
        {0x0000, 8, "Invalid ingress association rule mask 0\n"},
        {0x0081, 8,
         "Mask bit cannot be set for both VRD Handle and VRD ID. Invalid ingress association rule "
         "mask 81\n"},
        {0x0083, 8,
         "Mask bit cannot be set for both VRD Handle and VRD ID. Invalid ingress association rule "
         "mask 83\n"},
        {0x0007, 8,
         "Mask bit cannot be set for both VRD Handle and IP Intf. Invalid ingress association rule "
         "mask 7\n"},
        {0x0086, 8,
         "Mask bit cannot be set for both VRD ID and IP Intf. Invalid ingress association rule "
         "mask 86\n"},
        {0x0036, 8, "Unsupported ingress association rule mask 36\n"},
        {0x0024, 8, "Unsupported ingress association rule mask 24\n"},
        {0x00c0, 8, "Unsupported ingress association rule mask c0\n"},
        {0x0035, 0, ""},  // VRD handle, DIP, PROTO, DPORT
        {0x00b4, 0, ""},  // VRD ID, DIP, PROTO, DPORT
        {0x007d, 0, ""},  // every field but INTF
        {0x001e, 0, ""},  // INTF, DIP, SIP, PROTO
        {0x0001, 0, ""},
        {0x0080, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "mask 0x" << std::hex << c.mask);
        StdoutCapture out;
        EXPECT_EQ(zel_ipv4_valid_ingress_association_mask(m_, c.mask), c.result);
        std::string text = mask_sites(out.text());
        EXPECT_EQ(text, *c.message ? err + c.message : "");
    }
}

// Anybody may call the exported check; without a module it reports in the
// anonymous form instead of following the handle.
TEST_F(AssocMask, WithoutAModuleTheMessageIsAnonymous) {
    StdoutCapture out;
    EXPECT_EQ(zel_ipv4_valid_ingress_association_mask(nullptr, 0x81), 8u);
    EXPECT_EQ(mask_sites(out.text()),
              "[zel_unknown_log: ERROR] FILE:LINE Mask bit cannot be set for both VRD Handle and "
              "VRD ID. Invalid ingress association rule mask 81\n");
}

TEST(AssocTreeMask, VrdBitsFoldAndPortsNeedAPortProtocol) {
    struct Case {
        uint16_t mask;
        uint32_t proto;
        uint8_t tree_mask;
    };
    const Case cases[] = {
        {0x35, 6, 0x35},   {0x35, 17, 0x35}, {0x35, 132, 0x35}, {0x35, 136, 0x35},
        {0x35, 0, 0x35},   // any protocol may carry ports
        {0x35, 1, 0x15},   // ICMP: no ports in the key
        {0xb4, 6, 0x35},   // VRD ID folds into bit 0
        {0xfc, 17, 0x7d},  {0xfc, 47, 0x1d},
        {0x06, 1, 0x06},   {0x80, 0, 0x01},
        {0x1ff, 6, 0x7f},  // bit 8 never reaches the tree mask
    };
    for (const Case &c : cases)
        EXPECT_EQ(assoc_tree_mask(c.mask, c.proto), c.tree_mask)
            << std::hex << "mask " << c.mask << std::dec << " proto " << c.proto;
}

}  // namespace
