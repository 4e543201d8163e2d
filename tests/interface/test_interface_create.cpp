// zel_ip_interface_create: every refusal with its status and message and
// without a trace in the engine; the entries of a created interface read
// back from the engine against the documented layouts; flags of every
// switch; /31; one address per domain; the start-up-style output at info
// level with the state-engine trace as golden text.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "intf_fixture.h"

using namespace intf_test;
using zel::test::StdoutCapture;

namespace {

constexpr uint32_t kIntf = 0x1234;
constexpr uint32_t kAddr = ip(10, 0, 0, 1);

class InterfaceCreate : public IntfTest {};

// ---- Refusals -----------------------------------------------------------

struct Refusal {
    const char *name;
    std::function<void(zel_ip_intf_params_t &)> edit;
    uint32_t status;
    const char *line;  // the caller's message, site masked
};

const zel_obj_header_t kForeignL2{7, nullptr, 0x12345678, 0, 0, 0, 0};  // not an interface header
const zel_obj_header_t kWideL2{0x10000 | kIntf, nullptr, ZEL_INTF_HDR_MAGIC, 0, 0, 0, 0};
const uint32_t kNotAVrd[2] = {0xc7b39516, 5};  // a VRD's words, but no VRD record

const Refusal kRefusals[] = {
    {"network address", [](auto &p) { p.addr = ip(10, 0, 0, 0); }, 0x1030014,
     "Invalid interface address specified"},
    {"broadcast address", [](auto &p) { p.addr = ip(10, 0, 0, 255); }, 0x1030014,
     "Invalid interface address specified"},
    {"prefix 32", [](auto &p) { p.prefix_len = 32; }, 0x1030014, "Invalid interface address specified"},
    {"prefix 0", [](auto &p) { p.prefix_len = 0; }, 0x1030014, "Invalid interface address specified"},
    {"address 0", [](auto &p) { p.addr = 0; p.prefix_len = 8; }, 0x1030014,
     "Invalid interface address specified"},
    {"multicast above /3", [](auto &p) { p.addr = ip(224, 0, 0, 1); p.prefix_len = 4; }, 0x1030014,
     "Invalid interface address specified"},
    {"loopback above /7", [](auto &p) { p.addr = ip(127, 0, 0, 1); p.prefix_len = 8; }, 0x1030014,
     "Invalid interface address specified"},
    {"MTU 63", [](auto &p) { p.mtu = 63; }, 0x1030016, "Invalid MTU Value 63"},
    {"MTU 9001", [](auto &p) { p.mtu = 9001; }, 0x1030016, "Invalid MTU Value 9001"},
    {"filter type 3", [](auto &p) { p.filter_type = 3; }, 0x30008, "Invalid filter type specified"},
    {"mask with bit 8", [](auto &p) { p.assoc_mask = 0x100; }, 0x30008,
     "Unexpected ingress association rule mask"},
    {"mask VRD handle and VRD ID", [](auto &p) { p.assoc_mask = 0x81; }, 0x30008,
     "Unexpected ingress association rule mask"},
    {"no Layer-2 interface", [](auto &p) { p.l2_intf = nullptr; }, 0x1030006,
     "Invalid Layer-2 interface handle "},
    {"Layer-2 without the header magic", [](auto &p) { p.l2_intf = &kForeignL2; }, 0x1030006,
     "Invalid Layer-2 interface handle "},
    {"Layer-2 id wider than the 16-bit INTF-ID", [](auto &p) { p.l2_intf = &kWideL2; }, 0x1030006,
     "Invalid Layer-2 interface handle "},
    {"not a VRD", [](auto &p) { p.vrd = (zel_ip_vrd_handle_t)(kNotAVrd); }, 0x1030006,
     "Invalid VIrtual Routing Domain handle "},
    // The checks run in the documented order: the first refusal wins.
    {"address before MTU", [](auto &p) { p.addr = 0; p.mtu = 1; }, 0x1030014,
     "Invalid interface address specified"},
    {"MTU before filter", [](auto &p) { p.mtu = 1; p.filter_type = 9; }, 0x1030016, "Invalid MTU Value 1"},
    {"filter before mask", [](auto &p) { p.filter_type = 9; p.assoc_mask = 0x100; }, 0x30008,
     "Invalid filter type specified"},
    {"mask before Layer-2", [](auto &p) { p.assoc_mask = 0x100; p.l2_intf = nullptr; }, 0x30008,
     "Unexpected ingress association rule mask"},
    {"Layer-2 before VRD", [](auto &p) { p.l2_intf = nullptr; p.vrd = (zel_ip_vrd_handle_t)(kNotAVrd); },
     0x1030006, "Invalid Layer-2 interface handle "},
};

TEST_F(InterfaceCreate, RefusalsChangeNothing) {
    const Snapshot before = snap();
    const int64_t mem = mem_delta();
    for (const Refusal &r : kRefusals) {
        SCOPED_TRACE(r.name);
        zel_ip_intf_params_t p = params(kIntf, kAddr, 24);
        r.edit(p);
        zel_ip_intf_handle_t h = reinterpret_cast<zel_ip_intf_handle_t>(&p);  // overwritten with NULL
        std::string text;
        EXPECT_EQ(create(p, &h, &text), r.status);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(line_with(text, r.line), std::string("[zel_ip_log: ERROR] FILE:LINE ") + r.line) << text;
        EXPECT_TRUE(addr_slots(m_).empty());
        EXPECT_EQ(zel_sim_interface_ids_in_use(sim_), 0u);
        EXPECT_EQ(zel_sim_engine_ns_in_use(eng(), "ip_qos_stats"), 0u);
    }
    EXPECT_EQ(snap(), before);
    EXPECT_EQ(mem_delta(), mem);
}

TEST_F(InterfaceCreate, MaskRefusalAlsoReportsTheBrokenRule) {
    zel_ip_intf_params_t p = params(kIntf, kAddr, 24);
    p.assoc_mask = 0x36;  // IP interface with ports
    zel_ip_intf_handle_t h;
    std::string text;
    EXPECT_EQ(create(p, &h, &text), 0x30008u);
    EXPECT_EQ(zel::test::mask_sites(text),
              "[zel_ip_log: ERROR] FILE:LINE Unsupported ingress association rule mask 36\n"
              "[zel_ip_log: ERROR] FILE:LINE Unexpected ingress association rule mask\n");
}

TEST_F(InterfaceCreate, NullPointers) {
    zel_ip_intf_params_t p = params(kIntf, kAddr, 24);
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_interface_create(m_, &p, nullptr), 0x30008u);
    zel_ip_intf_handle_t h = reinterpret_cast<zel_ip_intf_handle_t>(&p);
    EXPECT_EQ(zel_ip_interface_create(m_, nullptr, &h), 0x30008u);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(zel::test::mask_sites(cap.text()),
              "[zel_ip_log: ERROR] FILE:LINE NULL pointer parameter specified\n"
              "[zel_ip_log: ERROR] FILE:LINE NULL pointer parameter specified\n");
}

TEST_F(InterfaceCreate, RefusedWhenTheModuleIsNotStarted) {
    stop();
    zel_ip_intf_params_t p = params(kIntf, kAddr, 24);
    zel_ip_intf_handle_t h = nullptr;
    zel_sim_counters_reset();
    EXPECT_EQ(create(p, &h), 0x30001u);
    EXPECT_EQ(zel_sim_call_count("hwe_ptn_learn"), 0u);
}

// ---- Accepted limits ------------------------------------------------------

struct Accepted {
    const char *name;
    uint32_t addr, plen, mtu;
    uint32_t effective_mtu;
};

TEST_F(InterfaceCreate, AcceptedLimits) {
    const Accepted cases[] = {
        {"multicast check only above /3", ip(224, 0, 0, 1), 3, 0, 1500},
        {"loopback check only above /7", ip(127, 0, 0, 1), 7, 0, 1500},
        {"a /31 has no host part check", ip(10, 0, 0, 0), 31, 0, 1500},
        {"MTU 64", kAddr, 24, 64, 64},
        {"MTU 9000", kAddr, 24, 9000, 9000},
        {"MTU 0 is 1500", kAddr, 24, 0, 1500},
    };
    for (const Accepted &c : cases) {
        SCOPED_TRACE(c.name);
        zel_ip_intf_params_t p = params(kIntf, c.addr, c.plen);
        p.mtu = c.mtu;
        zel_ip_intf_handle_t h = make(p);
        // The effective MTU reaches the egress flags and the source entry.
        EXPECT_EQ(by_intf(kEgress, kIntf).a.w1 >> 8, c.effective_mtu);
        EXPECT_EQ((sip_mtu(kIntf, c.addr).a.w1 >> 8) & 0xffff, c.effective_mtu);
        EXPECT_EQ(del(h), 0u);
    }
}

// ---- Entries --------------------------------------------------------------

TEST_F(InterfaceCreate, EntriesReadBackFromTheEngine) {
    zel_ip_intf_params_t p = params(kIntf, ip(192, 168, 7, 9), 20);  // subnet 192.168.0.0/20
    p.mtu = 1400;
    zel_ip_intf_handle_t h = make(p);
    const uint32_t net = ip(192, 168, 0, 0), bcast = ip(192, 168, 15, 255), host = ip(192, 168, 3, 4);

    // Trees 23 and 24: flags and the stats NS ID, an id of the framework's.
    const Hit in = by_intf(kIngress, kIntf), out = by_intf(kEgress, kIntf);
    EXPECT_TRUE(is_value(in.a, kDefaultVrd << 16, in.a.w2));
    EXPECT_TRUE(is_value(out.a, 1400u << 8, in.a.w2));
    EXPECT_TRUE(zel_sim_engine_ns_is_allocated(eng(), "zel_sys_intf_ids", in.a.w2));
    // Tree 32: the interface without DSCP, PCP 0, W2 the MTM NS ID.
    const Hit pcp = dscp_pcp(kIntf, 46);
    EXPECT_EQ(pcp.depth, 16u);
    EXPECT_TRUE(is_value(pcp.a, 0, pcp.a.w2));
    EXPECT_TRUE(zel_sim_engine_ns_is_allocated(eng(), "ip_qos_stats", pcp.a.w2));
    // Tree 25: kind 0, no rule set, no policy set.
    const Hit rs = by_intf(kRuleSet, kIntf);
    EXPECT_EQ(rs.depth, 16u);
    EXPECT_EQ(rs.a.kind, HWE_ACTION_NONE);
    EXPECT_EQ(rs.a.w1, 0u);
    EXPECT_EQ(rs.a.w2, 0u);
    // Tree 22: the subnet's source address (low byte in W1) and MTU.
    const Hit sip = sip_mtu(kIntf, host);
    EXPECT_EQ(sip.depth, 16u + 20u);
    EXPECT_TRUE(is_value(sip.a, 0x09 | 1400u << 8, 0xc0a807));
    // Tree 2: the attached subnet, the local address, the subnet broadcasts.
    const Hit subnet = dest(kDefaultVrd, host);
    EXPECT_EQ(subnet.depth, 6u + 20u);
    EXPECT_TRUE(is_value(subnet.a, 3, kIntf));
    const Hit local = dest(kDefaultVrd, p.addr);
    EXPECT_EQ(local.depth, 38u);
    const uint32_t cdip = addr_slots(m_).begin()->first;
    EXPECT_EQ(addr_slots(m_).begin()->second, std::make_pair(p.addr, kDefaultVrd));
    EXPECT_TRUE(is_value(local.a, 0x80 | 1u << 12 | cdip << 16, kIntf));
    for (uint32_t a : {net, bcast}) {
        const Hit b = dest(kDefaultVrd, a);
        EXPECT_EQ(b.depth, 38u);
        EXPECT_TRUE(is_value(b.a, 8, 0));
        // Tree 0: Block-All sources.
        const Hit s = src(kDefaultVrd, a);
        EXPECT_EQ(s.depth, 38u);
        EXPECT_EQ(s.a.kind, HWE_ACTION_FUNC);
        EXPECT_EQ(s.a.w1, fn_id(m_, 21));  // zel_ip.invalid_src_ip_addr
    }
    EXPECT_NE(src(kDefaultVrd, host).depth, 38u);
    EXPECT_EQ(del(h), 0u);
}

TEST_F(InterfaceCreate, EachAddressTakesTheFirstFreeSlot) {
    zel_ip_intf_handle_t a = make(params(1, ip(10, 0, 1, 1), 24));
    zel_ip_intf_handle_t b = make(params(2, ip(10, 0, 2, 1), 24));
    EXPECT_EQ((dest(kDefaultVrd, ip(10, 0, 2, 1)).a.w1 >> 16) & 0xff, 1u);
    EXPECT_EQ(del(a), 0u);
    zel_ip_intf_handle_t c = make(params(3, ip(10, 0, 3, 1), 24));  // reuses slot 0
    EXPECT_EQ((dest(kDefaultVrd, ip(10, 0, 3, 1)).a.w1 >> 16) & 0xff, 0u);
    EXPECT_EQ(del(b), 0u);
    EXPECT_EQ(del(c), 0u);
}

struct FlagCase {
    const char *name;
    std::function<void(zel_ip_intf_params_t &)> edit;
    uint32_t ingress;  // tree 23 W1 without the VRD ID
    uint32_t egress;   // tree 24 W1 without the MTU
    uint32_t local;    // tree 2 W1 of the address without the compressed index
};

const FlagCase kFlags[] = {
    {"nothing set; mask 0 stands for protocol only", [](auto &) {}, 0, 0, 0x80 | 1u << 12},
    {"NAT inside", [](auto &p) { p.nat_inside = 1; }, 1u << 0, 1u << 0, 0x1080},
    {"NAT outside", [](auto &p) { p.nat_outside = 1; }, 1u << 1, 1u << 1, 0x1080},
    {"NAT inside wins", [](auto &p) { p.nat_inside = 1; p.nat_outside = 1; }, 1u << 0, 1u << 0, 0x1080},
    {"NAT inside only when 1", [](auto &p) { p.nat_inside = 2; p.nat_outside = 1; }, 1u << 1, 1u << 1, 0x1080},
    {"basic filter", [](auto &p) { p.filter_type = 1; }, 1u << 3, 0, 0x1080},
    {"extended filter", [](auto &p) { p.filter_type = 2; }, 1u << 4, 0, 0x1080},
    {"PBR", [](auto &p) { p.pbr = 1; }, 1u << 2, 0, 0x1080},
    {"administratively down", [](auto &p) { p.admin_down = 1; }, 1u << 22, 1u << 6, 0x1080},
    {"QoS level L3", [](auto &p) { p.qos_l3 = 1; }, 0, 1u << 5, 0x1080},
    {"reassemble", [](auto &p) { p.reassemble = 1; }, 0, 0, 0x80 | 1u << 5 | 1u << 12},
    {"mask VRD handle", [](auto &p) { p.assoc_mask = 0x01; }, 0, 0, 0x80 | 1u << 8},
    {"mask VRD ID", [](auto &p) { p.assoc_mask = 0x80; }, 0, 0, 0x80 | 1u << 8},
    {"mask interface and protocol", [](auto &p) { p.assoc_mask = 0x12; }, 0, 0, 0x80 | 1u << 9 | 1u << 12},
    {"mask with ports",
     [](auto &p) { p.assoc_mask = 0x7c; },
     0, 0, 0x80 | 1u << 10 | 1u << 11 | 1u << 12 | 1u << 13 | 1u << 14},
    {"everything",
     [](auto &p) {
         p.nat_outside = 1, p.filter_type = 2, p.pbr = 1, p.admin_down = 1, p.qos_l3 = 1,
         p.reassemble = 1, p.assoc_mask = 0x35;
     },
     1u << 1 | 1u << 4 | 1u << 2 | 1u << 22, 1u << 1 | 1u << 6 | 1u << 5,
     0x80 | 1u << 5 | 1u << 8 | 1u << 10 | 1u << 12 | 1u << 13},
};

TEST_F(InterfaceCreate, FlagsOfEverySwitch) {
    for (const FlagCase &c : kFlags) {
        SCOPED_TRACE(c.name);
        zel_ip_intf_params_t p = params(kIntf, kAddr, 24);
        c.edit(p);
        zel_ip_intf_handle_t h = make(p);
        EXPECT_EQ(by_intf(kIngress, kIntf).a.w1, c.ingress | kDefaultVrd << 16);
        EXPECT_EQ(by_intf(kEgress, kIntf).a.w1, c.egress | 1500u << 8);
        EXPECT_EQ(dest(kDefaultVrd, kAddr).a.w1 & ~0xff0000u, c.local);
        EXPECT_EQ(del(h), 0u);
    }
}

// ---- /31 and address reuse ------------------------------------------------

TEST_F(InterfaceCreate, PointToPointHasNoGuardEntries) {
    const Snapshot before = snap();
    const uint32_t src_entries = entries(kSrc), dest_entries = entries(kDest);
    zel_ip_intf_handle_t h = make(params(kIntf, ip(10, 0, 0, 1), 31));
    EXPECT_EQ(entries(kSrc), src_entries);
    EXPECT_EQ(entries(kDest), dest_entries + 2);  // the /31 route and the address
    EXPECT_TRUE(is_value(dest(kDefaultVrd, ip(10, 0, 0, 0)).a, 3, kIntf));
    EXPECT_EQ(dest(kDefaultVrd, ip(10, 0, 0, 0)).depth, 6u + 31u);
    EXPECT_EQ(dest(kDefaultVrd, ip(10, 0, 0, 1)).depth, 38u);
    EXPECT_EQ(del(h), 0u);
    EXPECT_EQ(snap(), before);
}

TEST_F(InterfaceCreate, AnAddressOncePerDomain) {
    zel_ip_intf_handle_t first = make(params(1, kAddr, 24));
    const auto slots = addr_slots(m_);
    const Snapshot before = snap();
    zel_ip_intf_handle_t h = nullptr;
    std::string text;
    EXPECT_EQ(create(params(2, kAddr, 16), &h, &text), 0x1030014u);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(line_with(text, "already in use"),
              "[zel_ip_log: ERROR] FILE:LINE IP address 0x0a000001 in VRD 63 already in use");
    EXPECT_EQ(addr_slots(m_), slots);
    EXPECT_EQ(snap(), before);
    EXPECT_EQ(del(first), 0u);
}

// ---- Output -----------------------------------------------------------------

TEST_F(InterfaceCreate, InfoAndStateEngineLines) {
    {
        StdoutCapture quiet;
        ASSERT_EQ(zel_ip_log_enable(m_, ZEL_LOG_SE), 0u);
    }
    zel_ip_intf_params_t p = params(kIntf, kAddr, 24);
    zel_ip_intf_handle_t h = nullptr;
    std::string created, deleted;
    zel_sim_counters_reset();
    ASSERT_EQ(create(p, &h, &created), 0u);
    EXPECT_EQ(zel_sim_call_count("hwe_se_state_set"), 2u);
    EXPECT_EQ(zel_sim_call_count("hwe_mtm_shared_param_mod"), 1u);
    ASSERT_EQ(del(h, &deleted), 0u);
    zel::test::expect_golden("interface_create_delete.txt",
                             zel::test::mask_sites(created + "----\n" + deleted));
}

}  // namespace
