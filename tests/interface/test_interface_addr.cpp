// Interface addresses: secondaries and their entries, the tenth address,
// removal with promotion and slot compaction, delete refused while a
// secondary remains, subnet status (one subnet or all), and the ingress
// association rule of one /32 address.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "interface/zel_ip_interface_pvt.h"
#include "intf_fixture.h"

using namespace intf_test;
using zel::ip::AddrPrefix;
using zel::test::StdoutCapture;

namespace zel::ip {
bool operator==(const AddrPrefix &a, const AddrPrefix &b) {
    return a.addr == b.addr && a.prefix_len == b.prefix_len;
}
}  // namespace zel::ip

namespace {

constexpr uint32_t kIntf = 0x77;
constexpr uint32_t kPrimary = ip(10, 0, 0, 1);      // /24
constexpr uint32_t kS1 = ip(172, 16, 5, 1);         // /16
constexpr uint32_t kS2 = ip(192, 168, 1, 1);        // /24

class InterfaceAddr : public IntfTest {
protected:
    zel_ip_intf_handle_t make_primary() { return make(params(kIntf, kPrimary, 24)); }

    std::vector<AddrPrefix> secondaries(zel_ip_intf_handle_t h) {
        std::vector<AddrPrefix> out;
        for (uint32_t i = 0; i < h->secondary_count; ++i) out.push_back(h->secondary[i]);
        for (uint32_t i = h->secondary_count; i < zel::ip::kMaxSecondaries; ++i) {
            EXPECT_EQ(h->secondary[i].addr, 0u) << "slot " << i << " past the count";
            EXPECT_EQ(h->secondary[i].prefix_len, 0u) << "slot " << i << " past the count";
        }
        return out;
    }

    // The compressed index a local entry of `addr` carries.
    uint32_t cdip_of(uint32_t addr) { return (dest(kDefaultVrd, addr).a.w1 >> 16) & 0xff; }
};

// ---- Add ------------------------------------------------------------------------

TEST_F(InterfaceAddr, SecondaryGetsTheEntriesOfAPrimary) {
    zel_ip_intf_handle_t h = make_primary();
    ASSERT_EQ(add(h, kS1, 16), 0u);
    EXPECT_EQ(secondaries(h), (std::vector<AddrPrefix>{{kS1, 16}}));
    EXPECT_EQ(addr_slots(m_).at(1), std::make_pair(kS1, kDefaultVrd));
    const uint32_t host = ip(172, 16, 200, 3);
    const Hit sip = sip_mtu(kIntf, host);
    EXPECT_EQ(sip.depth, 16u + 16u);
    EXPECT_TRUE(is_value(sip.a, 0x01 | 1500u << 8, 0xac1005));
    const Hit subnet = dest(kDefaultVrd, host);
    EXPECT_EQ(subnet.depth, 6u + 16u);
    EXPECT_TRUE(is_value(subnet.a, 3, kIntf));
    const Hit local = dest(kDefaultVrd, kS1);
    EXPECT_EQ(local.depth, 38u);
    EXPECT_TRUE(is_value(local.a, 0x80 | 1u << 12 | 1u << 16, kIntf));
    for (uint32_t a : {ip(172, 16, 0, 0), ip(172, 16, 255, 255)}) {
        EXPECT_TRUE(is_value(dest(kDefaultVrd, a).a, 8, 0));
        EXPECT_EQ(src(kDefaultVrd, a).a.kind, HWE_ACTION_FUNC);
        EXPECT_EQ(src(kDefaultVrd, a).depth, 38u);
    }
}

TEST_F(InterfaceAddr, PointToPointSecondaryHasNoGuardEntries) {
    zel_ip_intf_handle_t h = make_primary();
    const Snapshot before = snap();
    const uint32_t src_entries = entries(kSrc), dest_entries = entries(kDest);
    ASSERT_EQ(add(h, ip(10, 1, 1, 0), 31), 0u);
    EXPECT_EQ(entries(kSrc), src_entries);
    EXPECT_EQ(entries(kDest), dest_entries + 2);
    ASSERT_EQ(rem(h, ip(10, 1, 1, 0), 31), 0u);
    EXPECT_EQ(snap(), before);
}

struct AddRefusal {
    const char *name;
    std::function<uint32_t(std::string *)> call;
    uint32_t status;
    const char *line;
};

TEST_F(InterfaceAddr, AddRefusalsChangeNothing) {
    zel_ip_intf_handle_t h = make_primary();
    make(params(kIntf + 1, kS2, 24));  // another interface of the same domain
    const Snapshot before = snap();
    const auto slots = addr_slots(m_);
    const uint32_t bogus[4] = {};
    const AddRefusal cases[] = {
        {"network address", [&](std::string *t) { return add(h, ip(172, 16, 0, 0), 16, t); }, 0x1030014,
         "Invalid interface address specified"},
        {"prefix 32", [&](std::string *t) { return add(h, kS1, 32, t); }, 0x1030014, "Invalid interface address specified"},
        {"the address check comes before the handle", [&](std::string *t) { return add(nullptr, 0, 8, t); }, 0x1030014,
         "Invalid interface address specified"},
        {"not an interface", [&](std::string *t) { return add((zel_ip_intf_handle_t)(bogus), kS1, 16, t); }, 0x30008,
         "Invalid Interface Handle type"},
        {"the interface's own address", [&](std::string *t) { return add(h, kPrimary, 16, t); }, 0x1030014,
         "IP address 0x0a000001 in VRD 63 already in use"},
        {"another interface's address", [&](std::string *t) { return add(h, kS2, 16, t); }, 0x1030014,
         "IP address 0xc0a80101 in VRD 63 already in use"},
    };
    for (const AddRefusal &c : cases) {
        SCOPED_TRACE(c.name);
        std::string text;
        EXPECT_EQ(c.call(&text), c.status);
        EXPECT_EQ(line_with(text, c.line), std::string("[zel_ip_log: ERROR] FILE:LINE ") + c.line) << text;
        EXPECT_EQ(snap(), before);
        EXPECT_EQ(addr_slots(m_), slots);
        EXPECT_TRUE(secondaries(h).empty());
    }
}

TEST_F(InterfaceAddr, NullAddressPairsAreRefusedWithAMessage) {
    zel_ip_intf_handle_t h = make_primary();
    const zel_ip_addr_assoc_req_t req{1, 0x10};
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_interface_addr_add(m_, h, nullptr), 0x30008u);
    EXPECT_EQ(zel_ip_interface_addr_rem(m_, h, nullptr), 0x30008u);
    EXPECT_EQ(zel_ip_interface_subnet_status_set(m_, h, nullptr, 1), 0x30008u);
    EXPECT_EQ(zel_ip_addr_ingress_association_set(m_, h, nullptr, &req), 0x30008u);
    const uint32_t ap[2] = {kPrimary, 32};
    EXPECT_EQ(zel_ip_addr_ingress_association_set(m_, h, ap, nullptr), 0x30008u);
    EXPECT_EQ(zel::test::mask_sites(cap.text()),
              "[zel_ip_log: ERROR] FILE:LINE NULL address pointer specified\n"
              "[zel_ip_log: ERROR] FILE:LINE NULL address pointer specified\n"
              "[zel_ip_log: ERROR] FILE:LINE NULL prefix address pointer specified\n"
              "[zel_ip_log: ERROR] FILE:LINE NULL input parameter\n"
              "[zel_ip_log: ERROR] FILE:LINE NULL input parameter\n");
}

TEST_F(InterfaceAddr, TheTenthAddressIsRefused) {
    zel_ip_intf_handle_t h = make_primary();
    for (uint32_t i = 1; i <= 9; ++i) ASSERT_EQ(add(h, ip(10, i, 0, 1), 16), 0u) << i;
    const Snapshot before = snap();
    std::string text;
    EXPECT_EQ(add(h, ip(10, 10, 0, 1), 16, &text), 0x30008u);
    EXPECT_EQ(line_with(text, "No space"), "[zel_ip_log: ERROR] FILE:LINE No space left for any more addr!");
    EXPECT_EQ(snap(), before);
    EXPECT_EQ(addr_slots(m_).size(), 10u);
    EXPECT_EQ(secondaries(h).size(), 9u);
}

// ---- Remove -----------------------------------------------------------------------

TEST_F(InterfaceAddr, RemoveRefusals) {
    zel_ip_intf_handle_t h = make_primary();
    const Snapshot before = snap();
    std::string text;
    EXPECT_EQ(rem(h, kPrimary, 24, &text), 0x30008u);
    EXPECT_EQ(line_with(text, "only"), "[zel_ip_log: ERROR] FILE:LINE Cannot remove the one and only IP address");
    ASSERT_EQ(add(h, kS1, 16), 0u);
    const Snapshot with_secondary = snap();
    // Address and prefix length must both match.
    EXPECT_EQ(rem(h, kS1, 24, &text), 0x30008u);
    EXPECT_EQ(line_with(text, "Cannot find"),
              "[zel_ip_log: ERROR] FILE:LINE Cannot find the specified addr to remove!");
    EXPECT_EQ(rem(h, kPrimary, 16, &text), 0x30008u);
    EXPECT_EQ(rem(h, ip(172, 16, 0, 0), 16, &text), 0x1030014u);
    EXPECT_EQ(snap(), with_secondary);
    ASSERT_EQ(rem(h, kS1, 16), 0u);
    EXPECT_EQ(snap(), before);
}

TEST_F(InterfaceAddr, RemovingThePrimaryPromotesTheLastSecondary) {
    zel_ip_intf_handle_t h = make_primary();
    const Snapshot alone = snap();
    ASSERT_EQ(add(h, kS1, 16), 0u);
    ASSERT_EQ(add(h, kS2, 24), 0u);
    const uint32_t s2_cdip = cdip_of(kS2);
    ASSERT_EQ(rem(h, kPrimary, 24), 0u);
    EXPECT_EQ(h->params.addr, kS2);
    EXPECT_EQ(h->params.prefix_len, 24u);
    EXPECT_EQ(secondaries(h), (std::vector<AddrPrefix>{{kS1, 16}}));
    // The old primary's entries are gone; the promoted address keeps its own.
    EXPECT_EQ(dest(kDefaultVrd, kPrimary).depth, 0u);
    EXPECT_EQ(sip_mtu(kIntf, kPrimary).depth, 0u);
    EXPECT_EQ(cdip_of(kS2), s2_cdip);
    EXPECT_EQ(addr_slots(m_).count(0), 0u);
    // The interface is whole: removing the last secondary and then deleting
    // leaves nothing, and the freed slot 0 goes to the next address.
    ASSERT_EQ(rem(h, kS1, 16), 0u);
    ASSERT_EQ(add(h, kPrimary, 24), 0u);
    EXPECT_EQ(cdip_of(kPrimary), 0u);
    ASSERT_EQ(rem(h, kS2, 24), 0u);  // the primary again
    EXPECT_EQ(h->params.addr, kPrimary);
    EXPECT_EQ(snap(), alone);
    EXPECT_EQ(del(h), 0u);
}

TEST_F(InterfaceAddr, RemovingAMiddleSecondaryMovesTheLast) {
    zel_ip_intf_handle_t h = make_primary();
    ASSERT_EQ(add(h, kS1, 16), 0u);
    ASSERT_EQ(add(h, kS2, 24), 0u);
    ASSERT_EQ(add(h, ip(10, 9, 9, 9), 30), 0u);
    ASSERT_EQ(rem(h, kS2, 24), 0u);
    EXPECT_EQ(secondaries(h), (std::vector<AddrPrefix>{{kS1, 16}, {ip(10, 9, 9, 9), 30}}));
    EXPECT_EQ(dest(kDefaultVrd, kS2).depth, 0u);
    // The next add takes the first free slot, behind the moved one.
    ASSERT_EQ(add(h, kS2, 24), 0u);
    EXPECT_EQ(secondaries(h), (std::vector<AddrPrefix>{{kS1, 16}, {ip(10, 9, 9, 9), 30}, {kS2, 24}}));
    // Removing the last one moves nothing.
    ASSERT_EQ(rem(h, kS2, 24), 0u);
    EXPECT_EQ(secondaries(h), (std::vector<AddrPrefix>{{kS1, 16}, {ip(10, 9, 9, 9), 30}}));
}

TEST_F(InterfaceAddr, DeleteIsRefusedWhileASecondaryRemains) {
    zel_ip_intf_handle_t h = make_primary();
    ASSERT_EQ(add(h, kS1, 16), 0u);
    const Snapshot before = snap();
    std::string text;
    EXPECT_EQ(del(h, &text), 0x30008u);
    EXPECT_EQ(line_with(text, "secondary"),
              "[zel_ip_log: ERROR] FILE:LINE Cannot remove interface with non-zero secondary addresses "
              "still existing");
    EXPECT_EQ(snap(), before);
    EXPECT_TRUE(zel_ipv4_interface_valid_handle(h));
    EXPECT_EQ(zel_sim_interface_ids_in_use(sim_), 1u);
}

// ---- Subnet status -------------------------------------------------------------------

TEST_F(InterfaceAddr, SubnetStatusOfOneSubnetOrOfAll) {
    zel_ip_intf_handle_t h = make_primary();
    ASSERT_EQ(add(h, kS1, 16), 0u);
    ASSERT_EQ(add(h, kS2, 24), 0u);
    struct Subnet {
        uint32_t addr, plen, host;
    };
    const Subnet subnets[] = {{kPrimary, 24, ip(10, 0, 0, 50)}, {kS1, 16, ip(172, 16, 9, 9)}, {kS2, 24, ip(192, 168, 1, 77)}};
    auto routed = [&](const Subnet &s) {
        const Hit hit = dest(kDefaultVrd, s.host);
        return hit.depth == 6 + s.plen && is_value(hit.a, 3, kIntf);
    };
    auto set = [&](uint32_t addr, uint32_t plen, uint32_t status) {
        const uint32_t ap[2] = {addr, plen};
        StdoutCapture quiet;
        return zel_ip_interface_subnet_status_set(m_, h, ap, status);
    };
    // One subnet, named by an address of the interface and its prefix.
    ASSERT_EQ(set(kS1, 16, 0), 0u);
    EXPECT_TRUE(routed(subnets[0]));
    EXPECT_FALSE(routed(subnets[1]));
    EXPECT_TRUE(routed(subnets[2]));
    ASSERT_EQ(set(kS1, 16, 1), 0u);
    EXPECT_TRUE(routed(subnets[1]));
    // Prefix length 0: the primary's and every secondary's.
    ASSERT_EQ(set(0, 0, 0), 0u);
    for (const Subnet &s : subnets) EXPECT_FALSE(routed(s)) << s.addr;
    // The local entries are untouched.
    EXPECT_EQ(dest(kDefaultVrd, kS2).depth, 38u);
    ASSERT_EQ(set(0, 0, 1), 0u);
    for (const Subnet &s : subnets) EXPECT_TRUE(routed(s)) << s.addr;
}

TEST_F(InterfaceAddr, SubnetStatusRefusalsAndEngineRefusal) {
    zel_ip_intf_handle_t h = make_primary();
    const uint32_t bogus[4] = {};
    std::string text;
    auto set = [&](zel_ip_intf_handle_t i, uint32_t addr, uint32_t plen, uint32_t status) {
        const uint32_t ap[2] = {addr, plen};
        StdoutCapture cap;
        uint32_t st = zel_ip_interface_subnet_status_set(m_, i, ap, status);
        text = cap.text();
        return st;
    };
    EXPECT_EQ(set(h, ip(10, 0, 0, 0), 24, 0), 0x30008u);  // the subnet, not an address of the interface
    EXPECT_EQ(line_with(text, "Cannot"), "[zel_ip_log: ERROR] FILE:LINE Cannot find the specified network address!");
    EXPECT_EQ(set((zel_ip_intf_handle_t)(bogus), 0, 0, 0), 0x1030006u);
    EXPECT_EQ(line_with(text, "Invalid"), "[zel_ip_log: ERROR] FILE:LINE Invalid Interface Handle type");
    // Withdrawing a subnet route twice: the second finds it withdrawn
    // already, and asks the engine for nothing.
    EXPECT_EQ(set(h, kPrimary, 24, 0), 0u);
    const Snapshot withdrawn = snap();
    EXPECT_EQ(set(h, kPrimary, 24, 0), 0u);
    EXPECT_EQ(line_with(text, "Could not"), "");
    EXPECT_EQ(snap(), withdrawn);
    // Learnt again, it is the interface's again: its delete withdraws it.
    EXPECT_EQ(set(h, kPrimary, 24, 1), 0u);
    EXPECT_NE(snap(), withdrawn);
}

// ---- Ingress association of one address ------------------------------------------------

class InterfaceAssoc : public InterfaceAddr {
protected:
    uint32_t assoc(zel_ip_intf_handle_t h, uint32_t addr, uint32_t plen, uint8_t enable, uint16_t mask,
                   std::string *text = nullptr) {
        const uint32_t ap[2] = {addr, plen};
        const zel_ip_addr_assoc_req_t req{enable, mask};
        StdoutCapture cap;
        uint32_t st = zel_ip_addr_ingress_association_set(m_, h, ap, &req);
        if (text) *text = cap.text();
        return st;
    }
};

TEST_F(InterfaceAssoc, Refusals) {
    zel_ip_intf_handle_t h = make_primary();
    ASSERT_EQ(add(h, kS1, 16), 0u);
    const Snapshot before = snap();
    const uint32_t bogus[4] = {};
    struct Case {
        const char *name;
        zel_ip_intf_handle_t intf;
        uint32_t addr, plen;
        uint8_t enable;
        uint16_t mask;
        const char *line;
    };
    const Case cases[] = {
        {"not an interface", (zel_ip_intf_handle_t)(bogus), kPrimary, 32, 1, 0x10, "Invalid IP Interface Handle"},
        {"prefix 24", h, kPrimary, 24, 1, 0x10, "Invalid prefix length. Must be 32"},
        {"outside every subnet, with free secondary slots", h, ip(192, 168, 1, 1), 32, 1, 0x10,
         "Address specified not found"},
        {"disabling a self address", h, kS1, 32, 0, 0, "Ingress association cannot be disabled for self IP address"},
        {"a mask the check refuses", h, ip(10, 0, 0, 9), 32, 1, 0x100, "Unexpected ingress association rule"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string text;
        EXPECT_EQ(assoc(c.intf, c.addr, c.plen, c.enable, c.mask, &text), 0x30008u);
        EXPECT_EQ(line_with(text, c.line), std::string("[zel_ip_log: ERROR] FILE:LINE ") + c.line) << text;
    }
    EXPECT_EQ(snap(), before);
}

TEST_F(InterfaceAssoc, SelfAndHostEntries) {
    zel_ip_intf_params_t p = params(kIntf, kPrimary, 24);
    p.reassemble = 1;
    zel_ip_intf_handle_t h = make(p);
    ASSERT_EQ(add(h, kS1, 16), 0u);
    struct Case {
        const char *name;
        uint32_t addr;
        uint8_t enable;
        uint16_t mask;
        uint32_t w1;  // of the /32 entry
    };
    const uint32_t defrag = 1u << 5, local = 0x80;
    const Case cases[] = {
        {"self, enabled with a mask", kPrimary, 1, 0x12, local | defrag | 0u << 16 | 1u << 9 | 1u << 12},
        {"self, enable 2: no mask bits", kPrimary, 2, 0x12, local | defrag | 0u << 16},
        {"secondary self keeps its compressed index", kS1, 1, 0x01, local | defrag | 1u << 16 | 1u << 8},
        {"host of the primary subnet", ip(10, 0, 0, 9), 1, 0x14, 2 | 1u << 10 | 1u << 12},
        {"host of a secondary subnet", ip(172, 16, 77, 1), 1, 0x80, 2 | 1u << 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(assoc(h, c.addr, 32, c.enable, c.mask), 0u);
        const Hit hit = dest(kDefaultVrd, c.addr);
        EXPECT_EQ(hit.depth, 38u);
        EXPECT_TRUE(is_value(hit.a, c.w1, kIntf)) << std::hex << hit.a.w1;
    }
    // Disabling a host takes its entry away: the subnet route answers.
    ASSERT_EQ(assoc(h, ip(10, 0, 0, 9), 32, 0, 0), 0u);
    EXPECT_EQ(dest(kDefaultVrd, ip(10, 0, 0, 9)).depth, 6u + 24u);
    ASSERT_EQ(assoc(h, ip(172, 16, 77, 1), 32, 3, 0), 0u);  // any value but 1 disables a host
    EXPECT_EQ(dest(kDefaultVrd, ip(172, 16, 77, 1)).depth, 6u + 16u);
}

TEST_F(InterfaceAssoc, AnOwnAddressInsideTheFirstSubnetIsStillSelf) {
    zel_ip_intf_handle_t h = make(params(kIntf, ip(10, 0, 0, 1), 16));
    ASSERT_EQ(add(h, ip(10, 0, 5, 1), 24), 0u);  // inside the primary's /16
    const uint32_t cdip = cdip_of(ip(10, 0, 5, 1));
    std::string text;
    EXPECT_EQ(assoc(h, ip(10, 0, 5, 1), 32, 0, 0, &text), 0x30008u);
    EXPECT_EQ(line_with(text, "self"),
              "[zel_ip_log: ERROR] FILE:LINE Ingress association cannot be disabled for self IP address");
    ASSERT_EQ(assoc(h, ip(10, 0, 5, 1), 32, 1, 0x10), 0u);
    EXPECT_TRUE(is_value(dest(kDefaultVrd, ip(10, 0, 5, 1)).a, 0x80 | cdip << 16 | 1u << 12, kIntf));
}

TEST_F(InterfaceAssoc, DisablingAHostWithoutAnEntryReachesTheEngine) {
    zel_ip_intf_handle_t h = make_primary();
    const Snapshot before = snap();
    std::string text;
    EXPECT_EQ(assoc(h, ip(10, 0, 0, 9), 32, 0, 0, &text), 0x10041u);
    EXPECT_EQ(line_with(text, "Could not"), "[zel_ip_log: FATAL] FILE:LINE Could not program LPM rule in hardware");
    EXPECT_EQ(snap(), before);
}

}  // namespace
