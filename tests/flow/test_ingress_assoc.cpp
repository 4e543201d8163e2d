// Ingress associations: what create refuses (in the documented order, with
// its messages), and what a locally terminated packet hits afterwards: for
// each association shape, packets built from a 5-tuple are looked up in
// tree 8 through the engine model and hit exactly the association they
// should, and nothing after delete. The CPU path entries of a Send-to-CPU
// association, and the rule that an object an association refers to
// cannot be deleted under it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "assoc_test_util.h"
#include "core/zel_ip_objects.h"
#include "core/zel_ip_registry.h"
#include "tree/zel_ip_layout_cpu.h"
#include "tree/zel_ip_hw_internal.h"
#include "tree/zel_ip_layout_flow.h"
#include "zel_test_fixture.h"

using namespace assoctest;
using namespace flowtest;
namespace lay = zel::ip::layout;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

constexpr uint32_t kDip = ip(192, 0, 2, 1), kSip = ip(198, 51, 100, 7);

class IngressAssoc : public ZelTest {
protected:
    IngressAssoc() { initial_log_level_ = ZEL_LOG_ERROR; }
    hwe_engine_t *eng() { return zel_sim_engine(sim_); }

    uint32_t create(const zel_ip_ingress_assoc_params_t &p, zel_ip_flow_handle_t *out, std::string *text = nullptr) {
        StdoutCapture cap;
        const uint32_t st = zel_ip_ingress_association_create(m_, &p, out);
        if (text) *text = cap.text();
        return st;
    }
    zel_ip_flow_handle_t make(const zel_ip_ingress_assoc_params_t &p) {
        zel_ip_flow_handle_t f = nullptr;
        std::string text;
        EXPECT_EQ(create(p, &f, &text), 0u) << text;
        return f;
    }
    uint32_t remove(zel_ip_flow_handle_t f, std::string *text = nullptr) {
        StdoutCapture cap;
        const uint32_t st = zel_ip_ingress_association_delete(m_, f);
        if (text) *text = cap.text();
        return st;
    }
    zel_ip_intf_handle_t make_intf(uint32_t l2_id) { return flowtest::make_test_intf(m_, sim_, l2_id); }
};

// Lines of `text` contain `msgs` in this order.
void expect_in_order(const std::string &text, const std::vector<std::string> &msgs) {
    size_t at = 0;
    for (const std::string &msg : msgs) {
        const size_t found = text.find(msg, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << msg << "\n" << text;
        at = found + msg.size();
    }
}

// A full UDP 5-tuple association of the default domain.
zel_ip_ingress_assoc_params_t five_tuple(uint16_t dport, uint32_t action = ZEL_IP_ASSOC_DISCARD) {
    zel_ip_ingress_assoc_params_t p = assoc(0x7d, action);
    p.dip = kDip;
    p.dip_prefix_len = 32;
    p.sip = kSip;
    p.sip_prefix_len = 32;
    p.proto = 17;
    p.dport = dport;
    p.sport = 5000;
    return p;
}

// ---- Refusals -------------------------------------------------------------------

TEST_F(IngressAssoc, RefusedInOrderWithTheirMessages) {
    const char *kUnexpected = "Unexpected ingress association mask";
    int garbage = 0;
    struct Case {
        const char *name;
        std::function<void(zel_ip_ingress_assoc_params_t &)> edit;
        uint32_t status;
        std::vector<std::string> msgs;
    };
    const std::vector<Case> cases = {
        {"mask above bit 7", [](auto &p) { p.mask = 0x100; }, 0x30008,
         {"Invalid ingress association rule mask 100", "Unexpected Ingress association rule mask", kUnexpected}},
        {"no action", [](auto &p) { p.action = 0; }, 0x30008,
         {"Invalid ingress association action type", kUnexpected}},
        {"action 4", [](auto &p) { p.action = 4; }, 0x30008, {"Invalid ingress association action type"}},
        {"MTM queue with DSCP-based CPU queue",
         [&](auto &p) {
             p.action = ZEL_IP_ASSOC_SEND_TO_CPU;
             p.mtm_queue = &garbage;
             p.dscp_cpu_queue = 1;
         },
         0x30008, {"MTM Queue Handle cannot be specified if DSCP Based QoS selection is enabled for CPU path", kUnexpected}},
        {"bad VRD handle",
         [&](auto &p) {
             p.mask = 0x15;
             p.vrd = reinterpret_cast<zel_ip_vrd_handle_t>(&garbage);
         },
         0x30001, {"Invalid IPv4 routing domain handle 0x", kUnexpected}},
        {"VRD ID 64", [](auto &p) { p.mask = 0x94; p.vrd_id = 64; }, 0x30001, {"VRD ID 64 out of range", kUnexpected}},
        {"not an interface", [&](auto &p) { p.mask = 0x12; p.intf = &garbage; }, 0x1030006,
         {"Invalid Interface Handle type", kUnexpected}},
        // Wildcard order: INTF, PROTO, DIP, DPORT, SIP, SPORT.
        {"protocol after any interface", [](auto &p) { p.mask = 0x12; p.proto = 6; }, 0x30008,
         {"Protocol cannot be specified with a wild-carded input field before it", kUnexpected}},
        {"mask 0x1C: DIP after any protocol",
         [](auto &p) { p.mask = 0x1c; p.dip = kDip; p.dip_prefix_len = 24; }, 0x30008,
         {"Dest IP addr cannot be specified with wild-carded field before it", kUnexpected}},
        {"DPORT after a DIP prefix",
         [](auto &p) { p.mask = 0x34; p.proto = 6; p.dip = kDip; p.dip_prefix_len = 24; p.dport = 80; }, 0x30008,
         {"Dest Port cannot be specified with wild-carded field before it", kUnexpected}},
        {"SIP after any DPORT",
         [](auto &p) {
             p = five_tuple(0);
             p.mask = 0x7c;
         },
         0x30008, {"Src IP addr cannot be specified with wild-carded field before it", kUnexpected}},
        {"SPORT after a SIP prefix",
         [](auto &p) {
             p = five_tuple(80);
             p.sip_prefix_len = 16;
         },
         0x30008, {"Src Port cannot be specified with wild-carded field before it", kUnexpected}},
        {"DIP prefix 33", [](auto &p) { p.mask = 0x04; p.dip = kDip; p.dip_prefix_len = 33; }, 0x30008,
         {"Invalid ingress association address prefix length", kUnexpected}},
    };
    const State before = state(eng());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zel_ip_ingress_assoc_params_t p = assoc(0x10);
        c.edit(p);
        zel_ip_flow_handle_t out = reinterpret_cast<zel_ip_flow_handle_t>(&garbage);
        std::string text;
        EXPECT_EQ(create(p, &out, &text), c.status) << text;
        EXPECT_EQ(out, nullptr);
        expect_in_order(text, c.msgs);
        EXPECT_EQ(state(eng()), before);
    }
    // NULL pointers are refused before the lock is taken.
    zel_ip_flow_handle_t out = nullptr;
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_ingress_association_create(m_, nullptr, &out), 0x30008u);
    const zel_ip_ingress_assoc_params_t any = assoc(0x10);
    EXPECT_EQ(zel_ip_ingress_association_create(m_, &any, nullptr), 0x30008u);
    expect_in_order(cap.text(), {"Invalid input parameter", "Invalid input parameter"});
}

// A mask with DPORT and a protocol that carries no port: the port is not
// looked at; the key has no DPORT and the packet matches on any port.
TEST_F(IngressAssoc, PortOfIcmpIsNotKeyed) {
    zel_ip_ingress_assoc_params_t p = assoc(0x34, ZEL_IP_ASSOC_SEND_TO_CPU);
    p.dip = kDip;
    p.dip_prefix_len = 32;
    p.proto = 1;
    p.dport = 8080;
    zel_ip_flow_handle_t f = make(p);
    ASSERT_NE(f, nullptr);
    for (uint32_t port : {0u, 8080u, 9u}) {
        Pkt k;
        k.proto = 1, k.dip = kDip, k.dport = port;
        const Hit h = packet_hit(eng(), 0x34, k);
        EXPECT_EQ(h.depth, 7u + 8 + 32) << port;  // MASK, PROTO, DIP: no port
        EXPECT_EQ(h.a.w2, ns_of(f));
    }
    EXPECT_EQ(remove(f), 0u);
}

// Mask 0x7D, UDP: DPORT 41000 to 61000 is the compressed shape, which only
// a bound flow may take (a Send-to-CPU or Discard association is refused
// at its lookup step and leaves nothing); 40999 and 61001 use tree 8.
TEST_F(IngressAssoc, CompressedShapeBounds) {
    const State before = state(eng());
    struct Case {
        uint16_t dport;
        bool compressed;
    };
    for (const Case c : {Case{40999, false}, Case{41000, true}, Case{61000, true}, Case{61001, false}}) {
        SCOPED_TRACE(c.dport);
        for (uint32_t action : {ZEL_IP_ASSOC_DISCARD, ZEL_IP_ASSOC_SEND_TO_CPU}) {
            const zel_ip_ingress_assoc_params_t p = five_tuple(c.dport, action);
            EXPECT_EQ(zel::ip::assoc_compressed_shape(p), c.compressed);
            zel_ip_flow_handle_t f = nullptr;
            std::string text;
            const uint32_t st = create(p, &f, &text);
            if (c.compressed) {
                EXPECT_EQ(st, 0x10008u) << text;
                EXPECT_EQ(f, nullptr);
                expect_in_order(text, {"This flow must have all fields fully specified, action set to bind and "
                                       "flow filter disabled",
                                       "Failed to add ingress association rule in hardware"});
            } else {
                ASSERT_EQ(st, 0u) << text;
                Pkt k{63, 0, 17, kDip, c.dport, kSip, 5000};
                const Hit h = packet_hit(eng(), 0x7d, k);
                EXPECT_EQ(h.tree, zel::ip::kTreeIngressAssocFlow);
                EXPECT_EQ(h.a.w2, ns_of(f));
                EXPECT_EQ(remove(f), 0u);
            }
            EXPECT_EQ(state(eng()), before);
        }
    }
    // A bound flow of the shape gets tree 9, keyed by DPORT and the
    // compressed destination, with the source in its state record.
    zel_ip_ingress_assoc_params_t b = five_tuple(50000, ZEL_IP_ASSOC_BIND);
    b.dip = ip(10, 1, 0, 1);  // the interface's address, in the compressed table
    make_intf(0x1101);
    uint32_t cdip = 0;
    ASSERT_EQ(zel_ip_address_compress(m_, b.dip, 63, 2, &cdip), 1u);
    zel_ip_flow_handle_t bound = make(b);  // no lookup entry until bound
    ASSERT_NE(bound, nullptr);
    EXPECT_EQ(state(eng()).entries, before.entries);
    const uint32_t ns = ns_of(bound);
    {
        StdoutCapture quiet;
        EXPECT_EQ(ip_ingress_assoc_lookup_update(m_, &b, ZEL_IP_ASSOC_BIND, ns, 3, 4, 1), 0u) << quiet.text();
    }
    Pkt k{63, 0, 17, b.dip, 50000, kSip, 5000};
    const Hit h = packet_hit(eng(), 0x7d, k, static_cast<uint8_t>(cdip));
    EXPECT_EQ(h.tree, zel::ip::kTreeCompIngressAssocFlow);
    const lay::assoc::Value v = lay::assoc::decode(h.a);
    EXPECT_EQ(v.action, lay::assoc::Action::kBind);
    EXPECT_EQ(v.imc_idx, 3);
    EXPECT_EQ(v.flow_idx, 4);
    EXPECT_EQ(v.flow_id, ns);
    uint8_t src[6] = {};
    ASSERT_EQ(zel_sim_engine_se_read(eng(), ns, 16, src, 6), 0u);
    EXPECT_EQ(src[0], 198);
    EXPECT_EQ(src[3], 7);
    EXPECT_EQ(src[4] << 8 | src[5], 5000);
    {
        StdoutCapture quiet;
        EXPECT_EQ(ip_comp_ingress_assoc_lookup_update(m_, &b, ZEL_IP_ASSOC_BIND, ns, 3, 4, 0), 0u);
    }
    EXPECT_EQ(packet_hit(eng(), 0x7d, k, static_cast<uint8_t>(cdip)).depth, 0u);
    EXPECT_EQ(remove(bound), 0u);
    EXPECT_EQ(state(eng()), before);
}

// ---- What packets hit -----------------------------------------------------------

TEST_F(IngressAssoc, PacketsHitTheirAssociationAndNothingAfterDelete) {
    uint32_t vrd_id = 5;
    zel_ip_vrd_handle_t vrd = nullptr;
    {
        StdoutCapture quiet;
        ASSERT_EQ(zel_ip_vrd_create(m_, &vrd_id, &vrd), 0u);
    }
    zel_ip_intf_handle_t intf = make_intf(0x1101);
    struct Shape {
        const char *name;
        zel_ip_ingress_assoc_params_t p;
        std::vector<Pkt> hit, miss;
    };
    auto with = [](zel_ip_ingress_assoc_params_t p, auto edit) {
        edit(p);
        return p;
    };
    const std::vector<Shape> shapes = {
        {"protocol (OSPF) to the CPU", with(assoc(0x10, ZEL_IP_ASSOC_SEND_TO_CPU), [](auto &p) { p.proto = 89; }),
         {{63, 0, 89, kDip, 0, kSip, 0}, {63, 0, 89, 1, 2, 3, 4}},
         {{63, 0, 6, kDip, 179, kSip, 1}}},
        {"BGP: DIP, TCP, DPORT 179",
         with(assoc(0x34, ZEL_IP_ASSOC_SEND_TO_CPU), [](auto &p) { p.dip = kDip, p.dip_prefix_len = 32, p.proto = 6, p.dport = 179; }),
         {{63, 0, 6, kDip, 179, kSip, 40000}, {63, 0, 6, kDip, 179, 1, 1}},
         {{63, 0, 6, kDip, 180, kSip, 40000}, {63, 0, 17, kDip, 179, kSip, 1}, {63, 0, 6, kDip + 1, 179, kSip, 1}}},
        {"a DIP prefix, any protocol", with(assoc(0x04), [](auto &p) { p.dip = ip(203, 0, 113, 0), p.dip_prefix_len = 24; }),
         {{63, 0, 0, ip(203, 0, 113, 9), 0, 0, 0}},
         {{63, 0, 0, ip(203, 0, 114, 9), 0, 0, 0}}},
        {"VRD handle, DIP, UDP, DPORT",
         with(assoc(0x35), [&](auto &p) { p.vrd = vrd, p.dip = kDip, p.dip_prefix_len = 32, p.proto = 17, p.dport = 53; }),
         {{5, 0, 17, kDip, 53, kSip, 1}},
         {{63, 0, 17, kDip, 53, kSip, 1}, {4, 0, 17, kDip, 53, kSip, 1}}},
        {"VRD ID and DIP", with(assoc(0x84), [](auto &p) { p.vrd_id = 7, p.dip = kDip, p.dip_prefix_len = 32; }),
         {{7, 0, 6, kDip, 1, 2, 3}},
         {{6, 0, 6, kDip, 1, 2, 3}}},
        {"interface and protocol", with(assoc(0x12), [&](auto &p) { p.intf = intf, p.proto = 50; }),
         {{63, 0x1101, 50, kDip, 0, 0, 0}},
         {{63, 0x1102, 50, kDip, 0, 0, 0}, {63, 0x1101, 51, kDip, 0, 0, 0}}},
        {"any interface", with(assoc(0x02), [](auto &) {}),
         {{63, 0x1101, 50, kDip, 0, 0, 0}, {63, 0x1777, 6, 0, 0, 0, 0}}, {}},
        {"UDP 5-tuple, DPORT 61001", five_tuple(61001),
         {{63, 0, 17, kDip, 61001, kSip, 5000}},
         {{63, 0, 17, kDip, 61001, kSip, 5001}, {63, 0, 17, kDip, 61001, kSip + 1, 5000}}},
        {"5-tuple with a SIP prefix", with(five_tuple(4000), [](auto &p) { p.sip_prefix_len = 24, p.sport = 0; }),
         {{63, 0, 17, kDip, 4000, kSip + 100, 7}},
         {{63, 0, 17, kDip, 4000, ip(198, 51, 101, 7), 7}}},
    };
    for (const Shape &s : shapes) {
        SCOPED_TRACE(s.name);
        const State before = state(eng());
        zel_ip_flow_handle_t f = make(s.p);
        ASSERT_NE(f, nullptr);
        const uint32_t action_bit = s.p.action == ZEL_IP_ASSOC_SEND_TO_CPU ? lay::assoc::kSendToCpu : lay::assoc::kDiscard;
        for (const Pkt &k : s.hit) {
            const Hit h = packet_hit(eng(), s.p.mask, k);
            EXPECT_GT(h.depth, 0u);
            EXPECT_EQ(h.a.w2, ns_of(f));
            EXPECT_EQ(h.a.w1, action_bit);
        }
        for (const Pkt &k : s.miss) EXPECT_EQ(packet_hit(eng(), s.p.mask, k).depth, 0u);
        EXPECT_EQ(remove(f), 0u);
        for (const Pkt &k : s.hit) EXPECT_EQ(packet_hit(eng(), s.p.mask, k).depth, 0u);
        EXPECT_EQ(state(eng()), before);
    }
}

// A host association inside a prefix association: its packets hit it, the
// rest of the prefix the prefix's; once it is gone its packets fall back
// to the prefix's association, and a second association with the same
// fields is refused (it would take the first one's entry over).
TEST_F(IngressAssoc, LongestMatchAndOneEntryPerKey) {
    zel_ip_ingress_assoc_params_t net = assoc(0x04);
    net.dip = ip(203, 0, 113, 0);
    net.dip_prefix_len = 24;
    zel_ip_ingress_assoc_params_t host = assoc(0x04, ZEL_IP_ASSOC_SEND_TO_CPU);
    host.dip = ip(203, 0, 113, 9);
    host.dip_prefix_len = 32;
    zel_ip_flow_handle_t a = make(net), b = make(host);
    const Pkt to_host{63, 0, 0, host.dip, 0, 0, 0}, to_other{63, 0, 0, ip(203, 0, 113, 10), 0, 0, 0};
    EXPECT_EQ(packet_hit(eng(), 0x04, to_host).a.w2, ns_of(b));
    EXPECT_EQ(packet_hit(eng(), 0x04, to_other).a.w2, ns_of(a));
    zel_ip_flow_handle_t twin = nullptr;
    std::string text;
    EXPECT_EQ(create(host, &twin, &text), 0x30008u);
    EXPECT_NE(text.find("has the same fields"), std::string::npos) << text;
    EXPECT_EQ(remove(b), 0u);
    EXPECT_EQ(packet_hit(eng(), 0x04, to_host).a.w2, ns_of(a));
    EXPECT_EQ(remove(a), 0u);
    EXPECT_EQ(packet_hit(eng(), 0x04, to_host).depth, 0u);
}

// ---- CPU path, policing ---------------------------------------------------------

TEST_F(IngressAssoc, SendToCpuProgramsItsCpuPath) {
    void *queue = zel_sim_qos_queue_new(sim_, 0x42);
    void *policer = zel_sim_qos_policer_new(sim_, 0x777);
    struct Case {
        const char *name;
        uint32_t kind, target, ctx;
        void *mtm;
        uint8_t dscp;
        hwe_action_t t27, t19;
        uint32_t ctx_written;  // 0: the association id
    };
    const uint32_t dscp_fn = symbol_id(eng(), "zel_ip.use_cpu_dscp_map");
    const std::vector<Case> cases = {
        {"NCA, no queue", ZEL_IP_CPU_PATH_NCA, 12, 0, nullptr, 0, lay::flow_cpu_path::nca(12),
         lay::cpu_path_param::no_queue(), 0},
        {"NCA, MTM queue, context", ZEL_IP_CPU_PATH_NCA, 3, 0xabc, queue, 0, lay::flow_cpu_path::nca(3),
         lay::cpu_path_param::via_mtm(0x42), 0xabc},
        {"PH, DSCP map", 1, 0xfe123456, 0, nullptr, 1, lay::flow_cpu_path::ph(0xfe123456, 9),
         lay::cpu_path_param::use_dscp_map(dscp_fn), 0},
    };
    const State before = state(eng());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zel_ip_ingress_assoc_params_t p = assoc(0x10, ZEL_IP_ASSOC_SEND_TO_CPU);
        p.proto = 89;
        p.cpu_kind = c.kind;
        p.cpu_target = c.target;
        p.cpu_cb_fn_id = 9;
        p.context_flow_id = c.ctx;
        p.mtm_queue = c.mtm;
        p.dscp_cpu_queue = c.dscp;
        p.policing = 1;
        p.policer = policer;
        zel_ip_flow_handle_t f = make(p);
        ASSERT_NE(f, nullptr);
        const uint32_t ns = ns_of(f);
        hwe_action_t want27 = c.t27;
        EXPECT_ACTION(lookup(eng(), 27, {ns}), want27);
        EXPECT_ACTION(lookup(eng(), 19, {ns >> 4, ns & 0xf}), c.t19);
        EXPECT_ACTION(lookup(eng(), 7, {ns}), (hwe_action_t{HWE_ACTION_NONE, 0x777, 0}));
        uint8_t ctx[4] = {};
        ASSERT_EQ(zel_sim_engine_se_read(eng(), ns, 8, ctx, 4), 0u);
        EXPECT_EQ(uint32_t(ctx[0]) << 24 | ctx[1] << 16 | ctx[2] << 8 | ctx[3], c.ctx_written ? c.ctx_written : ns);
        const Hit h = packet_hit(eng(), 0x10, Pkt{63, 0, 89, kDip, 0, 0, 0});
        EXPECT_EQ(h.a.w1, lay::assoc::kSendToCpu | lay::assoc::kPolicing);
        EXPECT_EQ(remove(f), 0u);
        EXPECT_EQ(state(eng()), before);
    }
}

// ---- Handles and users ----------------------------------------------------------

TEST_F(IngressAssoc, DeleteRefusesWhatIsNotALiveIngressAssociation) {
    int garbage[32] = {};
    zel_ip_flow_handle_t f = make(assoc(0x10));
    // A flow record of another kind (an egress association's).
    auto *other = static_cast<zel_ip_flow *>(zel::ip::obj_alloc(sizeof(zel_ip_flow), zel::ip::ObjKind::kFlow));
    other->head.hdr.magic = ZEL_FLOW_HDR_MAGIC;
    other->head.type = zel::ip::kFlowType;
    other->head.kind = zel::ip::kFlowEgressAssoc;
    struct Case {
        zel_ip_flow_handle_t h;
        const char *msg;
    };
    for (const Case &c : {Case{nullptr, "Invalid Flow handle"},
                          Case{reinterpret_cast<zel_ip_flow_handle_t>(garbage), "Invalid Flow handle"},
                          Case{other, "Invalid flow handle parameter"}}) {
        std::string text;
        EXPECT_EQ(remove(c.h, &text), 0x30008u);
        EXPECT_NE(text.find(c.msg), std::string::npos) << text;
    }
    EXPECT_EQ(remove(f), 0u);
    std::string text;
    EXPECT_EQ(remove(f, &text), 0x30008u);  // freed
    EXPECT_NE(text.find("Invalid Flow handle"), std::string::npos) << text;
    zel::ip::obj_free(other);
}

// The interface and domain an association is keyed by cannot be deleted
// under it: the next one to draw their id would inherit the association.
TEST_F(IngressAssoc, ItsInterfaceAndDomainAreInUse) {
    uint32_t vrd_id = 9;
    zel_ip_vrd_handle_t vrd = nullptr;
    {
        StdoutCapture quiet;
        ASSERT_EQ(zel_ip_vrd_create(m_, &vrd_id, &vrd), 0u);
    }
    zel_ip_intf_handle_t intf = make_intf(0x1101);
    zel_ip_ingress_assoc_params_t by_intf = assoc(0x02);
    by_intf.intf = intf;
    zel_ip_ingress_assoc_params_t by_vrd = assoc(0x11);
    by_vrd.vrd = vrd;
    by_vrd.proto = 6;
    zel_ip_flow_handle_t a = make(by_intf), b = make(by_vrd);
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_interface_delete(m_, intf), 0x3000fu);
        EXPECT_EQ(zel_ip_vrd_delete(m_, vrd), 0x3000fu);
        const std::string text = cap.text();
        expect_in_order(text, {"IP interface 0x", " in use by ingress association 0x", "VRD 0x",
                               " in use by ingress association 0x"});
    }
    EXPECT_EQ(remove(a), 0u);
    EXPECT_EQ(remove(b), 0u);
    StdoutCapture quiet;
    EXPECT_EQ(zel_ip_interface_delete(m_, intf), 0u);
    EXPECT_EQ(zel_ip_vrd_delete(m_, vrd), 0u);
}

// Every association id can be taken and given back; the next one is
// refused with the namespace's exhaustion and leaves nothing behind.
TEST_F(IngressAssoc, AllIdsThenExhausted) {
    std::vector<zel_ip_flow_handle_t> flows;
    zel_ip_ingress_assoc_params_t p = assoc(0x84);
    p.dip_prefix_len = 32;
    const uint32_t n = 71164;
    for (uint32_t i = 0; i < n; ++i) {
        p.vrd_id = i % 64;
        p.dip = ip(10, 0, 0, 0) + i / 64;
        zel_ip_flow_handle_t f = nullptr;
        ASSERT_EQ(zel_ip_ingress_association_create(m_, &p, &f), 0u) << i;
        flows.push_back(f);
    }
    const State full = state(eng());
    p.dip = ip(11, 0, 0, 0);
    zel_ip_flow_handle_t f = nullptr;
    std::string text;
    EXPECT_EQ(create(p, &f, &text), 0x3001du);
    EXPECT_NE(text.find("Failed to allocate ingress namespace flow ID"), std::string::npos) << text;
    EXPECT_EQ(state(eng()), full);
    for (zel_ip_flow_handle_t g : flows) ASSERT_EQ(zel_ip_ingress_association_delete(m_, g), 0u);
    EXPECT_EQ(state(eng()).ids, 0u);
    EXPECT_EQ(entries(eng(), 8), 0u);
}

}  // namespace
