// Egress associations and egress flows: the entries each shape programs
// (expected values written from the documented bit layouts), the derived
// mask, the TTL record, what create refuses with its messages, one flow
// per tree-29 key, deletes that refuse the other kind and complete when
// repeated, the interface kept while a flow uses it, and a type-1 PDU send
// on an egress flow checked byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "egress_test_util.h"
#include "zel_test_fixture.h"

using namespace egresstest;
using namespace flowtest;
using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

constexpr hwe_action_t val(uint32_t w1, uint32_t w2) { return {HWE_ACTION_VALUE, w1, w2}; }
constexpr hwe_action_t kEmpty = val(0, 0);  // trees 10 to 12 and 29 answer value 0/0 when empty

class Egress : public ZelTest {
protected:
    Egress() { initial_log_level_ = ZEL_LOG_ERROR; }
    hwe_engine_t *eng() { return zel_sim_engine(sim_); }
    std::string status_text(uint32_t st) { return zel_sys_status_get(m_->sys_ctx, st); }

    uint32_t acreate(const zel_ip_egress_assoc_params_t *p, zel_ip_flow_handle_t *out, std::string *text = nullptr) {
        StdoutCapture cap;
        const uint32_t st = zel_ip_egress_association_create(m_, p, out);
        if (text) *text = mask_sites(cap.text());
        return st;
    }
    zel_ip_flow_handle_t amake(const zel_ip_egress_assoc_params_t &p) {
        zel_ip_flow_handle_t f = nullptr;
        std::string text;
        EXPECT_EQ(acreate(&p, &f, &text), 0u) << text;
        return f;
    }
    uint32_t adelete(zel_ip_flow_handle_t f, std::string *text = nullptr) {
        StdoutCapture cap;
        const uint32_t st = zel_ip_egress_association_delete(m_, f);
        if (text) *text = mask_sites(cap.text());
        return st;
    }
    uint32_t fcreate(const zel_ip_egress_flow_params_t *p, zel_ip_flow_handle_t *out, std::string *text = nullptr) {
        StdoutCapture cap;
        const uint32_t st = zel_ip_egress_flow_create(m_, p, out);
        if (text) *text = mask_sites(cap.text());
        return st;
    }
    zel_ip_flow_handle_t fmake(void *intf, uint32_t next_hop) {
        const zel_ip_egress_flow_params_t p{intf, next_hop};
        zel_ip_flow_handle_t f = nullptr;
        std::string text;
        EXPECT_EQ(fcreate(&p, &f, &text), 0u) << text;
        return f;
    }
    uint32_t fdelete(zel_ip_flow_handle_t f, std::string *text = nullptr) {
        StdoutCapture cap;
        const uint32_t st = zel_ip_egress_flow_delete(m_, f);
        if (text) *text = mask_sites(cap.text());
        return st;
    }
    zel_ip_intf_handle_t make_intf(uint32_t l2_id) { return flowtest::make_test_intf(m_, sim_, l2_id); }
    zel_ip_tunnel_handle_t make_tunnel(uint32_t tunnel_id) {
        zel_ip_tunnel_params_t p{};
        p.tunnel_id = tunnel_id;
        p.local_addr = ip(203, 0, 113, 1);
        p.remote_addr = ip(203, 0, 113, 2);
        p.proto = 47;
        zel_ip_tunnel_handle_t h = nullptr;
        StdoutCapture quiet;
        EXPECT_EQ(zel_ip_tunnel_interface_create(m_, &p, &h), 0u) << quiet.text();
        return h;
    }
    zel_ip_vrd_handle_t make_vrd(uint32_t id) {
        zel_ip_vrd_handle_t h = nullptr;
        EXPECT_EQ(zel_ip_vrd_create(m_, &id, &h), 0u);
        return h;
    }
    uint32_t intf_id(const void *intf) { return static_cast<const zel::ip::IntfHead *>(intf)->hdr.intf_id; }
};

// ---- egress associations --------------------------------------------------------

TEST_F(Egress, AssociationEntriesPerShape) {
    zel_ip_vrd_handle_t vrd7 = make_vrd(7);
    struct Case {
        const char *what;
        zel_ip_egress_assoc_params_t p;
        uint16_t mask;  // the one the record keeps
        hwe_action_t dip, sip_mtu, info;
        uint8_t ttl;
    };
    auto with = [](zel_ip_egress_assoc_params_t p, auto &&edit) {
        edit(p);
        return p;
    };
    const Case cases[] = {
        // 192.0.2.1: low byte 0x01, high 24 bits 0xc00002; 198.51.100.7:
        // 0x07 / 0xc63364; MTU 1400 = 0x578; DPORT 4789 = 0x12b5, SPORT
        // 5000 = 0x1388. Tree 12 W2: Flow-SIP 0x40, IPv4-UDP 0x20, L4
        // checksum 0x10.
        {"mask 0 with DIP, SIP and both ports derives 0x7D, UDP 17", udp_encap(), 0x7d,
         val(0x113f01, 0xc00002), val(0x057807, 0xc63364), val(0x12b500, 0x138870), 100},
        {"no L4 checksum update, TTL 255, protocol 17 given",
         with(udp_encap(), [](auto &p) { p.no_l4_csum_update = 1; p.ttl = 255; p.proto = 17; }), 0x7d,
         val(0x113f01, 0xc00002), val(0x057807, 0xc63364), val(0x12b500, 0x138860), 255},
        {"VRD ID 5, DIP and protocol 6, no SIP, MTU 0",
         with(zel_ip_egress_assoc_params_t{}, [](auto &p) { p.mask = 0x16; p.vrd_id = 5; p.dip = kDip; p.proto = 6; p.ttl = 1; }),
         0x16, val(0x060501, 0xc00002), kEmpty, kEmpty, 1},
        {"VRD 7 by handle; a SIP without mask 0x08 is ignored; MTU 64",
         with(udp_encap(), [&](auto &p) { p.mask = 0x05; p.vrd = vrd7; p.mtu = 64; p.dport = p.sport = 0; }),
         0x05, val(0x000701, 0xc00002), val(0x004000, 0), kEmpty, 100},
        {"SIP only, MTU 9000, protocol unselected is written as 0",
         with(udp_encap(), [](auto &p) { p.mask = 0x0d; p.mtu = 9000; p.proto = 50; p.dport = p.sport = 0; }),
         0x0d, val(0x003f01, 0xc00002), val(0x232807, 0xc63364), val(0, 0x40), 100},
        {"mask 0 with DIP and protocol 47 derives 0x15",
         with(zel_ip_egress_assoc_params_t{}, [](auto &p) { p.dip = kDip; p.proto = 47; }), 0x15,
         val(0x2f3f01, 0xc00002), kEmpty, kEmpty, 100},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        zel_ip_flow_handle_t f = amake(c.p);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->head.kind, zel::ip::kFlowEgressAssoc);
        EXPECT_EQ(f->body.egress_assoc.params.mask, c.mask);
        const uint32_t ns = ns_of(f);
        EXPECT_TRUE(zel_sim_engine_ns_is_allocated(eng(), "ip_egress_assoc", ns));
        const AssocEntries e = assoc_entries(eng(), ns);
        EXPECT_ACTION(e.dip, c.dip);
        EXPECT_ACTION(e.sip_mtu, c.sip_mtu);
        EXPECT_ACTION(e.info, c.info);
        EXPECT_EQ(params_of(eng(), ns), ttl_params(c.ttl));
        // Delete leaves nothing of it in the engine.
        EXPECT_EQ(adelete(f), 0u);
        EXPECT_FALSE(zel_ipv4_flow_valid_handle(f));
        EXPECT_FALSE(zel_sim_engine_ns_is_allocated(eng(), "ip_egress_assoc", ns));
        for (uint32_t t : {10u, 11u, 12u}) EXPECT_EQ(entries(eng(), t), 0u) << "tree " << t;
    }
}

TEST_F(Egress, TtlZeroTakesTheDefaultOfCreateTime) {
    ASSERT_EQ(zel_ip_default_ttl_config(m_, 42), 0u);
    zel_ip_flow_handle_t a = amake(udp_encap());
    ASSERT_EQ(zel_ip_default_ttl_config(m_, 50), 0u);
    zel_ip_flow_handle_t b = amake(udp_encap(4790));
    EXPECT_EQ(params_of(eng(), ns_of(a)), ttl_params(42));
    EXPECT_EQ(params_of(eng(), ns_of(b)), ttl_params(50));
}

TEST_F(Egress, AssociationRefusalsChangeNothing) {
    zel_ip_flow_handle_t kept = amake(udp_encap());
    const State before = state(eng());
    int stranger = 0;
    const std::string mask_tail = kErr + "Unexpected Ingress association rule mask\n" + kErr +
                                  "Unexpected egress association mask\n";
    const std::string tail = kErr + "Unexpected egress association mask\n";
    auto with = [](zel_ip_egress_assoc_params_t p, auto &&edit) {
        edit(p);
        return p;
    };
    struct Case {
        const char *what;
        zel_ip_egress_assoc_params_t p;
        uint32_t status;
        std::string text;
    };
    const Case cases[] = {
        {"a bit above 0x40", with(udp_encap(), [](auto &p) { p.mask = 0x85; }), 0x30008,
         kErr + "Invalid bit mask set\n" + mask_tail},
        {"both VRD bits", with(udp_encap(), [](auto &p) { p.mask = 0x07; }), 0x30008,
         kErr + "Both VRD handle and VRD ID cannot be specified\n" + mask_tail},
        {"no VRD bit", with(udp_encap(), [](auto &p) { p.mask = 0x04; }), 0x30008, kErr + "VRD unspecified\n" + mask_tail},
        {"no DIP bit", with(udp_encap(), [](auto &p) { p.mask = 0x01; }), 0x30008,
         kErr + "Dest IP Address must be specified\n" + mask_tail},
        {"DPORT without SPORT", with(udp_encap(), [](auto &p) { p.mask = 0x35; }), 0x30008,
         kErr + "Both source and destination port should be specified or neither of the two\n" + mask_tail},
        {"mask 0 with DPORT only", with(udp_encap(), [](auto &p) { p.sport = 0; }), 0x30008,
         kErr + "Both source and destination port should be specified or neither of the two\n" + mask_tail},
        {"garbage VRD handle",
         with(udp_encap(), [&](auto &p) { p.vrd = reinterpret_cast<zel_ip_vrd_handle_t>(&stranger); }), 0x30001,
         kErr + "Invalid IPv4 routing domain handle 0x" +
             [&] { char b[32]; std::snprintf(b, sizeof b, "%08lx", reinterpret_cast<unsigned long>(&stranger)); return std::string(b); }() +
             "\n" + tail},
        {"VRD ID 64", with(udp_encap(), [](auto &p) { p.mask = 0x06; p.vrd_id = 64; }), 0x30001,
         kErr + "VRD ID 64 out of range\n" + tail},
        {"DIP 0", with(udp_encap(), [](auto &p) { p.mask = 0x05; p.dip = 0; }), 0x30008,
         kErr + "Invalid Destination IP Address 0x00000000" + tail},
        {"SIP 0 with mask 0x08", with(udp_encap(), [](auto &p) { p.mask = 0x0d; p.sip = 0; }), 0x30008,
         kErr + "Invalid Source IP Address 0x00000000" + tail},
        {"SIP multicast", with(udp_encap(), [](auto &p) { p.sip = ip(224, 0, 0, 5); }), 0x30008,
         kErr + "Invalid Source IP Address 0xe0000005" + tail},
        {"SIP loopback", with(udp_encap(), [](auto &p) { p.sip = ip(127, 0, 0, 1); }), 0x30008,
         kErr + "Invalid Source IP Address 0x7f000001" + tail},
        {"SIP broadcast", with(udp_encap(), [](auto &p) { p.sip = 0xffffffff; }), 0x30008,
         kErr + "Invalid Source IP Address 0xffffffff" + tail},
        {"DPORT with TCP", with(udp_encap(), [](auto &p) { p.proto = 6; }), 0x30008,
         kErr + "For UDP header insertion, protocol must be set to 0x11 (UDP) or left unspecified as 0\n" + tail},
        {"MTU 63", with(udp_encap(), [](auto &p) { p.mtu = 63; }), 0x1030016, kErr + "Invalid MTU Configuration\n" + tail},
        {"MTU 9001", with(udp_encap(), [](auto &p) { p.mtu = 9001; }), 0x1030016,
         kErr + "Invalid MTU Configuration\n" + tail},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        zel_ip_flow_handle_t out = kept;
        std::string text;
        EXPECT_EQ(acreate(&c.p, &out, &text), c.status);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(state(eng()), before);
    }
    // NULL pointers: refused before the lock.
    zel_ip_flow_handle_t out = kept;
    const zel_ip_egress_assoc_params_t p = udp_encap();
    std::string text;
    EXPECT_EQ(acreate(nullptr, &out, &text), 0x30008u);
    EXPECT_EQ(text, kErr + "Invalid input parameter\n");
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(acreate(&p, nullptr, &text), 0x30008u);
    EXPECT_EQ(state(eng()), before);
}

TEST_F(Egress, MaskCheckAlone) {
    StdoutCapture quiet;
    for (uint16_t mask : {0x05, 0x06, 0x7d, 0x7e, 0x1d, 0x0d}) EXPECT_EQ(zel_ipv4_valid_egress_association_mask(m_, mask), 0u) << mask;
    for (uint16_t mask : {0x00, 0x80, 0x7f, 0x04, 0x03, 0x25, 0x45}) EXPECT_EQ(zel_ipv4_valid_egress_association_mask(m_, mask), 8u) << mask;
}

// A failed unlearn leaves the association valid with the entries before
// the failing one gone; the delete repeated completes it.
TEST_F(Egress, AssociationDeleteCompletesWhenRepeated) {
    zel_ip_flow_handle_t f = amake(udp_encap());
    const uint32_t ns = ns_of(f);
    fail_call("hwe_ptn_unlearn", 2);
    std::string text;
    EXPECT_EQ(adelete(f, &text), 0x10041u);
    EXPECT_NE(text.find(kFatal + "Failed to remove egress association rule from hardware\n"), std::string::npos) << text;
    EXPECT_TRUE(zel_ipv4_flow_valid_handle(f));
    EXPECT_TRUE(zel_sim_engine_ns_is_allocated(eng(), "ip_egress_assoc", ns));
    EXPECT_EQ(entries(eng(), 10), 0u);
    EXPECT_EQ(entries(eng(), 11), 1u);
    EXPECT_EQ(entries(eng(), 12), 1u);

    fail_call("hwe_rsrc_free");
    EXPECT_EQ(adelete(f, &text), 0x1001eu);
    EXPECT_NE(text.find("Failed to free egress association flow ID, RTE Error: "), std::string::npos) << text;
    EXPECT_TRUE(zel_ipv4_flow_valid_handle(f));
    EXPECT_EQ(entries(eng(), 11) + entries(eng(), 12), 0u);

    EXPECT_EQ(adelete(f, &text), 0u) << text;
    EXPECT_FALSE(zel_ipv4_flow_valid_handle(f));
    EXPECT_FALSE(zel_sim_engine_ns_is_allocated(eng(), "ip_egress_assoc", ns));
}

// ---- egress flows ------------------------------------------------------------------

TEST_F(Egress, FlowEntriesKeyedByInterfaceAndNextHop) {
    zel_ip_intf_handle_t eth = make_intf(0x1123);
    zel_ip_tunnel_handle_t tun = make_tunnel(9);
    const uint32_t nh = ip(10, 1, 0, 2);
    zel_ip_flow_handle_t to_nh = fmake(eth, nh);
    zel_ip_flow_handle_t any_nh = fmake(eth, 0);
    zel_ip_flow_handle_t on_tun = fmake(tun, 0);
    ASSERT_TRUE(to_nh && any_nh && on_tun);
    EXPECT_EQ(to_nh->head.kind, zel::ip::kFlowEgress);
    for (zel_ip_flow_handle_t f : {to_nh, any_nh, on_tun})
        EXPECT_TRUE(zel_sim_engine_ns_is_allocated(eng(), "zel_ipv4_egress_flow_ids", ns_of(f)));

    // W1 = the flow's id, W2 = 0 (unbound); 48-bit key with a next hop,
    // 16-bit (the interface alone) without.
    uint32_t depth = 0;
    EXPECT_ACTION(flow_hit(eng(), 0x1123, nh, &depth), val(ns_of(to_nh), 0));
    EXPECT_EQ(depth, 48u);
    EXPECT_ACTION(flow_hit(eng(), 0x1123, ip(10, 1, 0, 3), &depth), val(ns_of(any_nh), 0));
    EXPECT_EQ(depth, 16u);
    const uint32_t tid = intf_id(tun);
    EXPECT_ACTION(flow_hit(eng(), tid, 0, &depth), val(ns_of(on_tun), 0));
    EXPECT_EQ(depth, 16u);
    EXPECT_ACTION(flow_hit(eng(), tid, ip(1, 2, 3, 4), &depth), val(ns_of(on_tun), 0));
    EXPECT_ACTION(flow_hit(eng(), 0x124, nh, &depth), kEmpty);
    EXPECT_EQ(depth, 0u);

    // Removing the interface-wide flow keeps the next hop's.
    EXPECT_EQ(fdelete(any_nh), 0u);
    EXPECT_ACTION(flow_hit(eng(), 0x1123, ip(10, 1, 0, 3)), kEmpty);
    EXPECT_ACTION(flow_hit(eng(), 0x1123, nh), val(ns_of(to_nh), 0));
    EXPECT_EQ(fdelete(to_nh), 0u);
    EXPECT_EQ(fdelete(on_tun), 0u);
    EXPECT_EQ(entries(eng(), 29), 0u);
    EXPECT_EQ(zel_sim_engine_ns_in_use(eng(), "zel_ipv4_egress_flow_ids"), 0u);
}

TEST_F(Egress, FlowRefusals) {
    zel_ip_intf_handle_t eth = make_intf(0x1200);
    zel_ip_tunnel_handle_t tun = make_tunnel(3);
    zel_ip_vif_handle_t vif = nullptr;
    {
        zel_ip_vif_params_t vp{};
        vp.addr = ip(192, 0, 2, 77);
        StdoutCapture quiet;
        ASSERT_EQ(zel_ip_virtual_interface_create(m_, &vp, &vif), 0u);
    }
    zel_ip_flow_handle_t kept = fmake(eth, ip(10, 1, 0, 9));
    const State before = state(eng());
    int stranger = 0;
    char kept_text[32];
    std::snprintf(kept_text, sizeof kept_text, "0x%08lx", reinterpret_cast<unsigned long>(kept));
    struct Case {
        const char *what;
        zel_ip_egress_flow_params_t p;
        std::string text;
    };
    const Case cases[] = {
        {"tunnel with a next hop", {tun, ip(10, 1, 0, 9)},
         kErr + "Next hop must not be specified when egress interface is a tunnel interface\n"},
        {"no interface", {nullptr, 0}, kErr + "Valid egress interface must be specified\n"},
        {"virtual interface", {vif, 0}, kErr + "Valid egress interface must be specified\n"},
        {"garbage interface", {&stranger, 0}, kErr + "Valid egress interface must be specified\n"},
        {"broadcast next hop", {eth, 0xffffffff}, kErr + "Invalid next hop IP Address specified\n"},
        {"multicast next hop", {eth, ip(239, 1, 1, 1)}, kErr + "Invalid next hop IP Address specified\n"},
        {"loopback next hop", {eth, ip(127, 0, 0, 1)}, kErr + "Invalid next hop IP Address specified\n"},
        {"same interface and next hop", {eth, ip(10, 1, 0, 9)},
         kErr + "Egress flow " + kept_text + " has the same interface and next hop\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        zel_ip_flow_handle_t out = kept;
        std::string text;
        EXPECT_EQ(fcreate(&c.p, &out, &text), 0x30008u);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(state(eng()), before);
    }
    zel_ip_flow_handle_t out = kept;
    std::string text;
    EXPECT_EQ(fcreate(nullptr, &out, &text), 0x30008u);
    EXPECT_EQ(text, kErr + "Invalid input parameter\n");
    EXPECT_EQ(out, nullptr);
    // The kept flow's entry is its own still.
    EXPECT_ACTION(flow_hit(eng(), 0x1200, ip(10, 1, 0, 9)), val(ns_of(kept), 0));
}

TEST_F(Egress, InterfaceIsKeptWhileAFlowUsesIt) {
    zel_ip_intf_handle_t eth = make_intf(0x1300);
    zel_ip_tunnel_handle_t tun = make_tunnel(4);
    zel_ip_flow_handle_t a = fmake(eth, 0);
    zel_ip_flow_handle_t b = fmake(tun, 0);
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_interface_delete(m_, eth), 0x3000fu);
        EXPECT_EQ(zel_ip_tunnel_interface_delete(m_, tun), 0x3000fu);
        const std::string text = cap.text();
        EXPECT_NE(text.find("in use by egress flow"), std::string::npos) << text;
    }
    EXPECT_EQ(fdelete(a), 0u);
    EXPECT_EQ(fdelete(b), 0u);
    StdoutCapture quiet;
    EXPECT_EQ(zel_ip_interface_delete(m_, eth), 0u);
    EXPECT_EQ(zel_ip_tunnel_interface_delete(m_, tun), 0u);
}

TEST_F(Egress, VrdIsKeptWhileAnAssociationUsesIt) {
    zel_ip_vrd_handle_t vrd = make_vrd(9);
    zel_ip_egress_assoc_params_t p = udp_encap();
    p.vrd = vrd;
    zel_ip_flow_handle_t f = amake(p);
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_vrd_delete(m_, vrd), 0x3000fu);
        EXPECT_NE(cap.text().find("in use by egress association"), std::string::npos);
    }
    EXPECT_EQ(adelete(f), 0u);
    EXPECT_EQ(zel_ip_vrd_delete(m_, vrd), 0u);
}

TEST_F(Egress, FlowDeleteCompletesWhenRepeated) {
    zel_ip_intf_handle_t eth = make_intf(0x1400);
    zel_ip_flow_handle_t f = fmake(eth, ip(10, 1, 0, 5));
    const uint32_t ns = ns_of(f);
    fail_call("hwe_ptn_unlearn");
    std::string text;
    EXPECT_EQ(fdelete(f, &text), 0x10041u);
    EXPECT_NE(text.find(kFatal + "Failed to remove egress flow classification rule, from hardware\n"),
              std::string::npos)
        << text;
    EXPECT_TRUE(zel_ipv4_flow_valid_handle(f));
    EXPECT_ACTION(flow_hit(eng(), 0x1400, ip(10, 1, 0, 5)), val(ns, 0));
    fail_call("hwe_rsrc_free");
    EXPECT_EQ(fdelete(f, &text), 0x1001eu);
    EXPECT_EQ(entries(eng(), 29), 0u);
    EXPECT_TRUE(zel_ipv4_flow_valid_handle(f));
    EXPECT_EQ(fdelete(f, &text), 0u) << text;
    EXPECT_FALSE(zel_sim_engine_ns_is_allocated(eng(), "zel_ipv4_egress_flow_ids", ns));
    // The key is free again.
    zel_ip_flow_handle_t again = fmake(eth, ip(10, 1, 0, 5));
    EXPECT_NE(again, nullptr);
}

// Each delete takes only its own kind; a dead or foreign handle is not a flow.
TEST_F(Egress, DeletesRefuseTheOtherKind) {
    zel_ip_intf_handle_t eth = make_intf(0x1500);
    zel_ip_flow_handle_t assoc = amake(udp_encap());
    zel_ip_flow_handle_t flow = fmake(eth, 0);
    zel_ip_ingress_assoc_params_t ip4{};
    ip4.mask = 0x10;
    ip4.proto = 89;
    ip4.action = ZEL_IP_ASSOC_DISCARD;
    zel_ip_flow_handle_t ingress = nullptr;
    {
        StdoutCapture quiet;
        ASSERT_EQ(zel_ip_ingress_association_create(m_, &ip4, &ingress), 0u) << quiet.text();
    }
    const State before = state(eng());
    const std::string wrong_kind = kErr + "Invalid flow handle parameter\n";
    const std::string not_flow = kErr + "Invalid Flow handle\n";
    int stranger = 0;
    auto garbage = reinterpret_cast<zel_ip_flow_handle_t>(&stranger);
    std::string text;
    for (zel_ip_flow_handle_t h : {flow, ingress}) {
        EXPECT_EQ(adelete(h, &text), 0x30008u);
        EXPECT_EQ(text, wrong_kind);
    }
    for (zel_ip_flow_handle_t h : {assoc, ingress}) {
        EXPECT_EQ(fdelete(h, &text), 0x30008u);
        EXPECT_EQ(text, wrong_kind);
    }
    for (zel_ip_flow_handle_t h : {static_cast<zel_ip_flow_handle_t>(nullptr), garbage}) {
        EXPECT_EQ(adelete(h, &text), 0x30008u);
        EXPECT_EQ(text, not_flow);
        EXPECT_EQ(fdelete(h, &text), 0x30008u);
        EXPECT_EQ(text, not_flow);
    }
    EXPECT_EQ(state(eng()), before);
    {
        StdoutCapture quiet;
        EXPECT_EQ(zel_ip_ingress_association_delete(m_, assoc), 0x30008u);
    }
    EXPECT_EQ(adelete(assoc), 0u);
    EXPECT_EQ(fdelete(flow), 0u);
    // Deleted: no longer a flow at all.
    EXPECT_EQ(adelete(assoc, &text), 0x30008u);
    EXPECT_EQ(text, not_flow);
    EXPECT_EQ(fdelete(flow, &text), 0x30008u);
    EXPECT_EQ(text, not_flow);
}

// The exported tree updaters reprogram an egress flow's entry (as binding
// does) and restore it.
TEST_F(Egress, FlowHwUpdateRewritesTheEntry) {
    zel_ip_intf_handle_t eth = make_intf(0x1600);
    zel_ip_flow_handle_t f = fmake(eth, 0);
    const zel_ip_egress_flow_params_t p{eth, 0};
    // IMC 3, flow 9: W2 0x0903; no IMC: the flow index moves to bits 0-7.
    ASSERT_EQ(ip_egress_flow_hw_update(m_, &p, 0x4242, 3, 9, 1), 0u);
    EXPECT_ACTION(flow_hit(eng(), 0x1600, 7), val(0x4242, 0x0903));
    ASSERT_EQ(ip_egress_flow_hw_update(m_, &p, 0x4242, 0, 9, 1), 0u);
    EXPECT_ACTION(flow_hit(eng(), 0x1600, 7), val(0x4242, 0x0009));
    ASSERT_EQ(ip_egress_flow_hw_update(m_, &p, ns_of(f), 0, 0, 1), 0u);
    EXPECT_ACTION(flow_hit(eng(), 0x1600, 7), val(ns_of(f), 0));
    EXPECT_EQ(fdelete(f), 0u);
    EXPECT_EQ(entries(eng(), 29), 0u);
}

// ---- PDU send on an egress flow -----------------------------------------------------

std::string hex(const uint8_t *b, size_t n) {
    std::string s;
    char t[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(t, sizeof t, "%02x", b[i]);
        s += t;
        if (i % 4 == 3 && i + 1 < n) s += ' ';
    }
    return s;
}

TEST_F(Egress, Type1SendCarriesTheFlowIdByteForByte) {
    zel_ip_intf_handle_t eth = make_intf(0x1700);
    zel_ip_flow_handle_t first = fmake(eth, 0);
    zel_ip_flow_handle_t flow = fmake(eth, ip(10, 1, 0, 7));
    // Egress flow ids are drawn from 1 up: the second is 2.
    ASSERT_EQ(ns_of(first), 1u);
    ASSERT_EQ(ns_of(flow), 2u);
    zel_ip_send_profile_t p{};
    p.type = ZEL_IP_EGRESS_FLOW_TX;
    p.arg.egress_flow = flow;
    p.ph_word0 = 1;
    p.ph_word1 = 2;
    p.p = 0x0102;
    p.q = 0x0304;
    p.r = 0x05;
    p.s = 0x06;
    p.t = 0x07;
    p.u = 1;
    p.v = 0;
    int pdu1 = 0, pdu2 = 0;
    zel_sim_pdu_clear();
    {
        StdoutCapture cap;
        ASSERT_EQ(zel_ip_pdu_send(m_, &p, &pdu1, &pdu2), 0u) << cap.text();
    }
    ASSERT_EQ(zel_sim_pdu_count(), 1u);
    zel_sim_pdu_t sent;
    ASSERT_EQ(zel_sim_pdu_get(0, &sent), 1);
    EXPECT_EQ(hex(sent.header, sizeof sent.header),
              "ffffff00 00000000 00000701 00000000 0000ffff 05070006 00000002 00000000 "
              "01020304 06000000 00000002 00000000 00000000 00000000 00000000 00000000");
    // An egress association is not an egress flow.
    zel_ip_flow_handle_t assoc = amake(udp_encap());
    p.arg.egress_flow = assoc;
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_pdu_send(m_, &p, &pdu1, &pdu2), 0x30008u);
    EXPECT_NE(cap.text().find("Invalid egress flow handle"), std::string::npos);
}

}  // namespace
