// Value layouts: the words the codecs write are the documented engine
// words, and the decoders read them back as a dump needs them, including
// the orders and thresholds that tell entry kinds apart.
#include <gtest/gtest.h>

#include <cstdint>

#include "tree/zel_ip_layout_cpu.h"
#include "tree/zel_ip_layout_filter.h"
#include "tree/zel_ip_layout_flow.h"
#include "tree/zel_ip_layout_intf.h"
#include "tree/zel_ip_layout_route.h"

using namespace zel::ip;
using namespace zel::ip::layout;

namespace {

hwe_action_t v(uint32_t w1, uint32_t w2 = 0) { return {HWE_ACTION_NONE, w1, w2}; }

// ---- tree 2 ----------------------------------------------------------------

// The type order decides an entry with several type bits.
TEST(DestValue, RouteTypeFollowsTheDocumentedOrder) {
    using dest::RouteType;
    struct Case {
        uint32_t w1;
        RouteType type;
    };
    const Case cases[] = {
        {0x0004, RouteType::kNoRoute},            // the tree's default 4/0
        {0x0005, RouteType::kNoRoute},            // No-Route beats forward
        {0x8014, RouteType::kNoRoute},
        {0x0011, RouteType::kNullRoute},
        {0x8010, RouteType::kNullRoute},
        {0x8001, RouteType::kInvalidRoute},
        {0x8088, RouteType::kInvalidRoute},
        {0x0089, RouteType::kSubnetBroadcast},
        {0x0083, RouteType::kLocallyAddressed},
        {0x0003, RouteType::kAttachedSubnet},     // a subnet route learnt with W1 = 3
        {0x7f0041, RouteType::kViaTunnel},
        {0xc00001, RouteType::kViaNextHop},
        {0x0040, RouteType::kLocallyTerminating}, // tunnel bit without forward
        {0x0420, RouteType::kLocallyTerminating},
        {0x0000, RouteType::kLocallyTerminating},
    };
    for (const Case &c : cases) EXPECT_EQ(dest::route_type(c.w1), c.type) << std::hex << c.w1;
}

// Route values as the routes feature composes them: the engine words, and
// what a reader gets back.
TEST(DestValue, RoutesComposeToTheEngineWordsAndReadBack) {
    using dest::RouteType;
    struct Case {
        const char *what;
        hwe_action_t a;
        uint32_t w1, w2;
        RouteType type;
        uint32_t next_hop, intf_id;
        uint8_t mask;
        bool defrag;
    };
    const Case cases[] = {
        {"next hop 192.0.2.1", dest::route(0, false, 0, 0xc0000201), 0xc00001, 0x000201,
         RouteType::kViaNextHop, 0xc0000201, 0, 0, false},
        {"next hop 255.1.2.3", dest::route(0, false, 0, 0xff010203), 0xff0001, 0x010203,
         RouteType::kViaNextHop, 0xff010203, 0, 0, false},
        {"tunnel 0x1234", dest::route(0, true, 0x1234, 0), 0x7f0041, 0x1234, RouteType::kViaTunnel,
         0, 0x1234, 0, false},
        {"null route", dest::null_route(), 0x10, 0, RouteType::kNullRoute, 0, 0, 0, false},
        {"invalid destination", dest::invalid_route(), 0x8000, 0, RouteType::kInvalidRoute, 0, 0, 0,
         false},
        {"local termination, DIP", dest::route(dest::local_termination_w1(kTmDip, false), false, 0, 0),
         0x400, 0, RouteType::kLocallyTerminating, 0, 0, kTmDip, false},
        {"local termination, DIP, defrag",
         dest::route(dest::local_termination_w1(kTmDip, true), false, 0, 0), 0x420, 0,
         RouteType::kLocallyTerminating, 0, 0, kTmDip, true},
        {"local termination, every mask bit",
         dest::route(dest::local_termination_w1(0x7f, false), false, 0, 0), 0x7f00, 0,
         RouteType::kLocallyTerminating, 0, 0, 0x7f, false},
        {"local termination through a tunnel",
         dest::route(dest::local_termination_w1(kTmVrd | kTmDip, false), true, 7, 0), 0x7f0540, 7,
         RouteType::kLocallyTerminating, 0, 0, kTmVrd | kTmDip, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.a.kind, HWE_ACTION_VALUE);
        EXPECT_EQ(c.a.w1, c.w1);
        EXPECT_EQ(c.a.w2, c.w2);
        dest::Value d = dest::decode(c.a);
        EXPECT_EQ(d.type, c.type);
        EXPECT_EQ(d.next_hop, c.next_hop);
        EXPECT_EQ(d.intf_id, c.intf_id);
        EXPECT_EQ(d.assoc_mask, c.mask);
        EXPECT_EQ(d.defrag, c.defrag);
    }
    // A local address carries its compressed index and interface.
    dest::Value local = dest::decode(v(dest::kLocallyAddressed | dest::kDefrag | (0x2a << 16), 0x101));
    EXPECT_EQ(local.type, RouteType::kLocallyAddressed);
    EXPECT_EQ(local.cdip, 0x2a);
    EXPECT_EQ(local.intf_id, 0x101u);
    EXPECT_TRUE(local.defrag);
}

TEST(RouteTreeValues, SourceHostModePolicyRouteAndLocalPbr) {
    EXPECT_EQ(src_addr::decode(src_addr::allow()), src_addr::Verdict::kAllow);
    EXPECT_EQ(src_addr::decode(src_addr::block_fwd()), src_addr::Verdict::kBlockFwd);
    EXPECT_EQ(src_addr::decode(src_addr::block_all(0x215)), src_addr::Verdict::kBlockAll);
    EXPECT_EQ(src_addr::block_all(0x215).w1, 0x215u);

    EXPECT_FALSE(host_mode::routing_enabled(host_mode::routing_disabled(0x216)));
    EXPECT_TRUE(host_mode::routing_enabled(v(0)));

    pbr_action::Value p = pbr_action::decode(dest::route(0, false, 0, 0x0a000001));
    EXPECT_EQ(p.kind, pbr_action::Kind::kViaNextHop);
    EXPECT_EQ(p.next_hop, 0x0a000001u);
    p = pbr_action::decode(dest::route(0, true, 0x55, 0));
    EXPECT_EQ(p.kind, pbr_action::Kind::kViaTunnel);
    EXPECT_EQ(p.intf_id, 0x55u);
    p = pbr_action::decode(v(dest::local_termination_w1(kTmDip | kTmSip, true)));
    EXPECT_EQ(p.kind, pbr_action::Kind::kLocallyTerminating);
    EXPECT_EQ(p.assoc_mask, kTmDip | kTmSip);
    EXPECT_TRUE(p.defrag);
    EXPECT_EQ(pbr_action::decode(function_entry(0x212)).kind, pbr_action::Kind::kDipBasedRouting);

    // 256 enables PBR with policy set 0; 255 is disabled.
    EXPECT_EQ(lo_pbr::encode(0).w1, 256u);
    EXPECT_TRUE(lo_pbr::decode(v(256)).enabled);
    EXPECT_EQ(lo_pbr::decode(v(256)).policy_set, 0);
    EXPECT_FALSE(lo_pbr::decode(v(255)).enabled);
    EXPECT_EQ(lo_pbr::decode(lo_pbr::encode(32)).policy_set, 32);
}

// ---- trees 13, 15, 17, 27, 31 -------------------------------------------

TEST(CpuPathValues, ExceptionDeliveriesRoundTrip) {
    hwe_action_t nca = exception::nca(0x3fffff);
    EXPECT_EQ(nca.w1, 0xfffffeu);
    exception::Value d = exception::decode(nca);
    EXPECT_EQ(d.kind, exception::Kind::kSendToCpuNca);
    EXPECT_EQ(d.nca_q, 0x3fffffu);

    // The 32-bit handle: bits 0-21 in W1 bits 2-23, bits 22-31 in W2 bits 0-9.
    hwe_action_t ph = exception::ph(0xdeadbeef, 0x2abc);
    EXPECT_EQ(ph.w1, (0xdeadbeefu & 0x3fffff) << 2);
    EXPECT_EQ(ph.w2, (0xdeadbeefu >> 22) | (0x2abcu << 10));
    d = exception::decode(ph);
    EXPECT_EQ(d.kind, exception::Kind::kSendToCpuPh);
    EXPECT_EQ(d.ph_handle, 0xdeadbeefu);
    EXPECT_EQ(d.cb_fn_id, 0x2abcu);

    d = exception::decode(function_entry(0x20a));
    EXPECT_EQ(d.kind, exception::Kind::kSendToMppFunc);
    EXPECT_EQ(d.fn_id, 0x20au);

    // Tree 15: only W2 0 and 1 are meaningful.
    EXPECT_EQ(via_mtm::via(via_mtm::encode(true, 7)), via_mtm::Via::kYes);
    EXPECT_EQ(via_mtm::via(via_mtm::encode(false, 7)), via_mtm::Via::kNo);
    EXPECT_EQ(via_mtm::via(v(7, 2)), via_mtm::Via::kInvalid);
}

TEST(CpuPathValues, FilterCpuPathIsNcaUpToW1Of255) {
    filter_cpu_param::Value d = filter_cpu_param::decode(v(255, 0x123));
    EXPECT_TRUE(d.nca);
    EXPECT_EQ(d.nca_q, 255u);
    EXPECT_EQ(d.context_flow, 0x123u);
    d = filter_cpu_param::decode(v(256, 0));
    EXPECT_FALSE(d.nca);
    EXPECT_EQ(d.cb_fn_id, 0u);
    EXPECT_EQ(d.ph_handle, 1u);

    hwe_action_t ph = filter_cpu_param::ph(0xabcd1234, 0x56);
    EXPECT_EQ(ph.w1, 0x123456u);
    EXPECT_EQ(ph.w2, 0xabcdu);
    d = filter_cpu_param::decode(ph);
    EXPECT_FALSE(d.nca);
    EXPECT_EQ(d.ph_handle, 0xabcd1234u);
    EXPECT_EQ(d.cb_fn_id, 0x56u);
}

TEST(CpuPathValues, FlowCpuPathAndCaptureSplitTheHandle) {
    flow_cpu_path::Value d = flow_cpu_path::decode(flow_cpu_path::nca(0x77));
    EXPECT_TRUE(d.nca);
    EXPECT_EQ(d.nca_q, 0x77u);
    hwe_action_t ph = flow_cpu_path::ph(0xfe123456, 0x9a);
    EXPECT_EQ(ph.w1, 0x123456u);
    EXPECT_EQ(ph.w2, 0x9afeu);
    d = flow_cpu_path::decode(ph);
    EXPECT_FALSE(d.nca);
    EXPECT_EQ(d.ph_handle, 0xfe123456u);
    EXPECT_EQ(d.cb_fn_id, 0x9au);
    // A PH callback id of 1 in bits 8-15 is not the NCA tag (bits 16-23).
    EXPECT_FALSE(flow_cpu_path::decode(flow_cpu_path::ph(0x01000000, 1)).nca);

    capture::Delivery c = capture::decode_delivery(capture::encode(capture::Delivery{0x80abcdef, 3}));
    EXPECT_EQ(c.ph_handle, 0x80abcdefu);
    EXPECT_EQ(c.cb_fn_id, 3u);
}

// ---- flow trees ------------------------------------------------------------

TEST(FlowValues, AssociationActionsAndFunctionIndexes) {
    assoc::Value in{assoc::Action::kSendToCpu, true, true, 0, 0, 0xd00001};
    hwe_action_t a = assoc::encode(in);
    EXPECT_EQ(a.w1, (1u << 21) | (1u << 22) | (1u << 23));
    EXPECT_EQ(a.w2, 0xd00001u);
    assoc::Value out = assoc::decode(a);
    EXPECT_EQ(out.action, assoc::Action::kSendToCpu);
    EXPECT_TRUE(out.filtering && out.policing);
    // Send-to-CPU is tested before Discard.
    EXPECT_EQ(assoc::decode(v((1u << 20) | (1u << 21))).action, assoc::Action::kSendToCpu);
    EXPECT_EQ(assoc::decode(v(1u << 20)).action, assoc::Action::kDiscard);
    // A bound flow without an IMC function keeps its flow index in bits 0-7.
    assoc::FnIdx idx = assoc::bound_fn_idx(0, 9);
    a = assoc::encode({assoc::Action::kBind, false, false, idx.imc_idx, idx.flow_idx, 5});
    EXPECT_EQ(a.w1, 9u);
    idx = assoc::bound_fn_idx(4, 9);
    EXPECT_EQ(assoc::encode({assoc::Action::kBind, false, false, idx.imc_idx, idx.flow_idx, 5}).w1, 0x904u);
}

TEST(FlowValues, SplitAddressesOfEgressAndNapt) {
    egress_dip::Value d = egress_dip::decode(egress_dip::encode({0xc0a80102, 62, 17}));
    EXPECT_EQ(d.dip, 0xc0a80102u);
    EXPECT_EQ(d.vrd_id, 62);
    EXPECT_EQ(d.proto, 17);
    EXPECT_EQ(egress_dip::encode({0xc0a80102, 62, 17}).w1, 0x113e02u);
    EXPECT_EQ(egress_dip::encode({0xc0a80102, 62, 17}).w2, 0xc0a801u);

    egress_sip_mtu::Value s = egress_sip_mtu::decode(egress_sip_mtu::encode({0x0a000001, 9000}));
    EXPECT_EQ(s.sip, 0x0a000001u);
    EXPECT_EQ(s.mtu, 9000u);

    hwe_action_t n = napt::encode(0x0a0b0c0d, 8080);
    EXPECT_EQ(n.w1, 0x0b0c0du);
    EXPECT_EQ(n.w2, 0x0au | (8080u << 8));
    napt::Value nv = napt::decode(n);
    EXPECT_TRUE(nv.translated);
    EXPECT_EQ(nv.addr, 0x0a0b0c0du);
    EXPECT_EQ(nv.port, 8080u);
    EXPECT_FALSE(napt::decode(v(0, 224)).translated);  // the tree's default

    egress_flow::Value e = egress_flow::decode(egress_flow::encode({0, 0, 0x42}));
    EXPECT_FALSE(e.bound());
    e = egress_flow::decode(egress_flow::encode({3, 7, 0xabcdef}));
    EXPECT_TRUE(e.bound());
    EXPECT_EQ(e.imc_idx, 3);
    EXPECT_EQ(e.flow_idx, 7);
    EXPECT_EQ(egress_flow::kBindFlowId.get(v(0xabcdef)), 0xcdefu);
}

TEST(InterfaceValues, FlagWordsRoundTrip) {
    intf_ingress::Value in{intf_ingress::Nat::kOutside, true, intf_ingress::Filter::kExtended, true,
                           false, 12, 62, true, true};
    hwe_action_t a = intf_ingress::encode(in);
    EXPECT_EQ(a.w1, 0x2u | 0x4 | 0x10 | 0x20 | (12u << 8) | (62u << 16) | (1u << 22) | (1u << 23));
    intf_ingress::Value out = intf_ingress::decode(a);
    EXPECT_EQ(out.nat, intf_ingress::Nat::kOutside);
    EXPECT_EQ(out.filter, intf_ingress::Filter::kExtended);
    EXPECT_EQ(out.rule_set, 12);
    EXPECT_EQ(out.vrd_id, 62);
    EXPECT_TRUE(out.admin_disabled && out.capture && out.pbr && out.policing);
    // Inside is tested before outside, basic before extended.
    EXPECT_EQ(intf_ingress::decode(v(0x3)).nat, intf_ingress::Nat::kInside);
    EXPECT_EQ(intf_ingress::decode(v(0x18)).filter, intf_ingress::Filter::kBasic);

    intf_egress::Value e = intf_egress::decode(intf_egress::encode(
        {intf_ingress::Nat::kNone, intf_ingress::Filter::kBasic, true, false, true, 1500}));
    EXPECT_EQ(e.mtu, 1500u);
    EXPECT_TRUE(e.qos_l3 && e.capture);
    EXPECT_FALSE(e.admin_disabled);

    intf_sip_mtu::Value s = intf_sip_mtu::decode(intf_sip_mtu::encode({0xc0a80101, 1400}));
    EXPECT_EQ(s.sip, 0xc0a80101u);
    EXPECT_EQ(s.mtu, 1400u);

    tunnel_pmtu::Value p = tunnel_pmtu::decode(tunnel_pmtu::encode({true, 1480}));
    EXPECT_TRUE(p.ptb_exception);
    EXPECT_EQ(p.outer_mtu, 1480u);
    EXPECT_EQ(tunnel_if::tunnel_of_key(tunnel_if::key_of_tunnel(63)), 63u);
    EXPECT_EQ(tunnel_if::key_of_tunnel(0), 512u);
}

// ---- filter values and entry kinds ----------------------------------------

TEST(FilterValues, FilterWordRoundTripsAndZeroReadsAsDeny) {
    filter::Value in{0xd19bb9, 0xa, filter::Action::kSendToCpu, true, true, true, true, 46};
    hwe_action_t a = filter::encode(in);
    EXPECT_EQ(a.w1, 0xd19bb9u);
    EXPECT_EQ(a.w2, 3u | 4 | 8 | 16 | (46u << 10) | (1u << 16) | (0xau << 20));
    filter::Value out = filter::decode(a);
    EXPECT_EQ(out.action, filter::Action::kSendToCpu);
    EXPECT_EQ(out.rule_key, 0xa);
    EXPECT_EQ(out.assigned_dscp, 46);
    EXPECT_TRUE(out.counter && out.policing && out.via_nca && out.dscp_remap);
    EXPECT_EQ(filter::decode(v(1, 0)).action, filter::Action::kDeny);
    EXPECT_EQ(filter::flow_id_of_key(0xd19bb9a), 0xd19bb9u);
    EXPECT_EQ(filter::rule_key_of_key(0xd19bb9a), 0xa);
}

TEST(EntryKinds, FunctionEntriesOnlyWhereATreeHasThem) {
    struct Case {
        uint32_t tree;
        uint32_t kind;
        EntryKind expected;
    };
    const Case cases[] = {
        {0, HWE_ACTION_FUNC, EntryKind::kFunction},   // Block-All
        {2, HWE_ACTION_FUNC, EntryKind::kUnexpected}, // routes are values only
        {2, HWE_ACTION_NONE, EntryKind::kValue},      // as listed
        {2, HWE_ACTION_VALUE, EntryKind::kValue},     // as learnt
        {2, 2, EntryKind::kUnexpected},
        {8, HWE_ACTION_FUNC, EntryKind::kFunction},   // association default
        {26, HWE_ACTION_FUNC, EntryKind::kUnexpected},
        {28, HWE_ACTION_FUNC, EntryKind::kFunction},
        {37, HWE_ACTION_FUNC, EntryKind::kUnexpected},
    };
    for (const Case &c : cases)
        EXPECT_EQ(entry_kind(c.tree, {c.kind, 0, 0}), c.expected) << c.tree << " kind " << c.kind;
}

}  // namespace
