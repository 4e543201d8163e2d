// Custom bind and unbind: a packet looked up in tree 8, 9 or 29 reaches
// the IMC function and the destination's entry function through tree 28,
// and after unbind it does not; the function table's probing, sharing and
// limit; the destination's entry-function service; the refusals; and a
// bound flow that cannot be deleted under its bind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bind_test_util.h"
#include "core/zel_ip_call.h"
#include "tree/zel_ip_hw_internal.h"
#include "zel_test_fixture.h"

using namespace bindtest;
using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::ZelTest;
namespace lay = zel::ip::layout;

namespace {

constexpr uint32_t F2M = ZEL_IP_BIND_F2M, F2F = ZEL_IP_BIND_F2F;

class CustomBind : public ZelTest {
protected:
    CustomBind() { initial_log_level_ = ZEL_LOG_ERROR; }
    void SetUp() override {
        ZelTest::SetUp();
        w.make(m_, sim_);
    }
    void TearDown() override {
        for (uint32_t id : {2u, 21u}) zel_sim_entry_service_set(id, ZEL_SIM_ENTRY_NONE, 0, 0);
        ZelTest::TearDown();
    }
    hwe_engine_t *eng() { return zel_sim_engine(sim_); }
    uint32_t bind(const zel_bind_info_t &b, std::string *out = nullptr) {
        StdoutCapture cap;
        const uint32_t st = zel_ip_custom_bind(m_->sys_ctx, &b);
        if (out) *out = mask_sites(cap.text());
        return st;
    }
    uint32_t unbind(const zel_bind_info_t &b, std::string *out = nullptr) {
        StdoutCapture cap;
        const uint32_t st = zel_ip_custom_unbind(m_->sys_ctx, &b);
        if (out) *out = mask_sites(cap.text());
        return st;
    }
    zel_bind_info_t to_bfd(void *src) { return request(m_, src, w.sib[21], w.sflow, F2F, 1, 1); }
    zel_bind_info_t to_ethernet() { return request(m_, w.eflow, w.sib[2], w.sflow, F2F, 2, 1); }
    assoctest::Hit hit(uint32_t dip) {
        assoctest::Pkt pkt;
        pkt.dip = dip;
        return assoctest::packet_hit(eng(), ZEL_IP_IAM_DIP, pkt);
    }
    World w;
};

// Association to BFD (F2F): tree 8 carries both indexes, tree 28 maps
// them to the IMC function and BFD's lower-layer entry point, tree 14 maps
// the association to BFD's flow. Unbind takes the entry and the map away;
// the function table keeps its slots.
TEST_F(CustomBind, AssociationReachesImcAndEntryThroughTree28) {
    const assoctest::Hit before = hit(kBindDip);
    EXPECT_EQ(before.depth, 0u);  // a Bind association has no entry until bound
    std::string out;
    ASSERT_EQ(bind(to_bfd(w.bind), &out), 0u) << out;
    const assoctest::Hit h = hit(kBindDip);
    ASSERT_EQ(h.depth, 7u + 32u);
    const lay::assoc::Value v = lay::assoc::decode(h.a);
    EXPECT_EQ(v.action, lay::assoc::Action::kBind);
    EXPECT_EQ(v.flow_id, assoctest::ns_of(w.bind));
    EXPECT_EQ(fn_at(eng(), v.imc_idx), fn_id("zel_ip.ip_to_bfd_imc"));
    EXPECT_EQ(fn_at(eng(), v.flow_idx), kLowerEntry);
    EXPECT_EQ(flowtest::lookup(eng(), zel::ip::kTreeBindDestFlow, {assoctest::ns_of(w.bind)}).w1, 0x4242u);
    // Bound: not deleted under the bind.
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_ingress_association_delete(m_, w.bind), 0x3000fu);
        EXPECT_NE(cap.text().find("in use by custom bind to module"), std::string::npos);
    }
    ASSERT_EQ(unbind(to_bfd(w.bind), &out), 0u) << out;
    EXPECT_EQ(hit(kBindDip).depth, 0u);
    EXPECT_EQ(flowtest::entries(eng(), zel::ip::kTreeBindDestFlow), 0u);
    EXPECT_EQ(fn_at(eng(), v.imc_idx), fn_id("zel_ip.ip_to_bfd_imc"));  // slots stay
    EXPECT_EQ(unbind(to_bfd(w.bind), &out), 0u) << out;                 // nothing left: still fine
    StdoutCapture quiet;
    EXPECT_EQ(zel_ip_ingress_association_delete(m_, w.bind), 0u);
}

// The compressed shape lives in tree 9; its bind goes there.
TEST_F(CustomBind, CompressedAssociationBindsInTree9) {
    zel_ip_ingress_assoc_params_t p = bind_assoc(ip(10, 1, 0, 1));
    p.mask = 0x7d;
    p.sip = ip(192, 0, 2, 5);
    p.sip_prefix_len = 32;
    p.proto = 17;
    p.dport = 50000;
    p.sport = 1234;
    zel_ip_flow_handle_t f = nullptr;
    {
        StdoutCapture quiet;
        ASSERT_EQ(zel_ip_ingress_association_create(m_, &p, &f), 0u) << quiet.text();
    }
    uint32_t cdip = 0;
    ASSERT_EQ(zel_ip_address_compress(m_, p.dip, 63, 3, &cdip), 1u);
    std::string out;
    zel_bind_info_t b = request(m_, f, w.sib[9], w.sflow, F2M, 1, 1);
    ASSERT_EQ(bind(b, &out), 0u) << out;
    uint32_t depth = 0;
    const hwe_action_t a = flowtest::lookup(eng(), zel::ip::kTreeCompIngressAssocFlow, {50000, cdip}, &depth);
    ASSERT_EQ(depth, 24u);
    const lay::assoc::Value v = lay::assoc::decode(a);
    EXPECT_EQ(fn_at(eng(), v.imc_idx), fn_id("zel_ip.ip_to_gtpu_lli_f2m_imc"));
    EXPECT_EQ(fn_at(eng(), v.flow_idx), kLowerEntry);
    EXPECT_EQ(flowtest::entries(eng(), zel::ip::kTreeBindDestFlow), 0u);  // F2M: no map
    ASSERT_EQ(unbind(b, &out), 0u) << out;
    flowtest::lookup(eng(), zel::ip::kTreeCompIngressAssocFlow, {50000, cdip}, &depth);
    EXPECT_EQ(depth, 0u);
}

// Egress flow to Ethernet (F2F): tree 29 answers the destination flow's
// id and the two indexes; unbind restores the unbound entry.
TEST_F(CustomBind, EgressFlowReachesImcAndEntryThroughTree28) {
    const uint32_t intf = static_cast<const zel::ip::IntfHead *>(static_cast<const void *>(w.intf))->hdr.intf_id;
    std::string out;
    ASSERT_EQ(bind(to_ethernet(), &out), 0u) << out;
    const lay::egress_flow::Value v = lay::egress_flow::decode(egresstest::flow_hit(eng(), intf, ip(10, 1, 0, 20)));
    EXPECT_TRUE(v.bound());
    EXPECT_EQ(v.w1, 0x4242u);
    EXPECT_EQ(fn_at(eng(), v.imc_idx), fn_id("zel_ip.ip_to_ethernet_flow_imc_direct"));
    EXPECT_EQ(fn_at(eng(), v.flow_idx), kUpperEntry);
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_egress_flow_delete(m_, w.eflow), 0x3000fu);
    }
    ASSERT_EQ(unbind(to_ethernet(), &out), 0u) << out;
    const lay::egress_flow::Value u = lay::egress_flow::decode(egresstest::flow_hit(eng(), intf, ip(10, 1, 0, 20)));
    EXPECT_FALSE(u.bound());
    EXPECT_EQ(u.w1, egresstest::ns_of(w.eflow));
    // F2M writes the flow's own id with the indexes.
    zel_bind_info_t f2m = request(m_, w.eflow, w.sib[11], nullptr, F2M, 2, 1);
    f2m.imc_fn_name = "zel_ip.test_imc_function";
    ASSERT_EQ(bind(f2m, &out), 0u) << out;
    const lay::egress_flow::Value b2 = lay::egress_flow::decode(egresstest::flow_hit(eng(), intf, 0));
    EXPECT_EQ(b2.w1, egresstest::ns_of(w.eflow));
    EXPECT_EQ(fn_at(eng(), b2.imc_idx), fn_id("zel_ip.test_imc_function"));
}

// Two binds of one IMC function share its slot and tree-28 entry; an id
// with low byte 0 probes from index 1, and the next function whose home
// is index 1 moves on past the taken slots.
TEST_F(CustomBind, SlotsSharedAndProbed) {
    std::string out;
    ASSERT_EQ(bind(to_bfd(w.bind), &out), 0u) << out;
    const uint32_t n28 = flowtest::entries(eng(), zel::ip::kTreeCustomBindImcEntryFn);
    EXPECT_EQ(n28, 2u);
    zel_ip_flow_handle_t second = nullptr;
    {
        StdoutCapture quiet;
        zel_ip_ingress_assoc_params_t p = bind_assoc(ip(10, 1, 0, 2));
        ASSERT_EQ(zel_ip_ingress_association_create(m_, &p, &second), 0u);
    }
    ASSERT_EQ(bind(to_bfd(second), &out), 0u) << out;
    EXPECT_EQ(flowtest::entries(eng(), zel::ip::kTreeCustomBindImcEntryFn), n28);
    EXPECT_EQ(lay::assoc::decode(hit(kBindDip).a).imc_idx, lay::assoc::decode(hit(ip(10, 1, 0, 2)).a).imc_idx);

    zel_module_t *low0 = zel_sim_sibling_module_new(sim_, 21, 0x0401, 0x0401);
    zel_bind_info_t b = request(m_, w.eflow, low0, nullptr, F2M, 2, 1);
    b.imc_fn_name = "zel_ip.zel_ip_uli_receive";
    ASSERT_EQ(fn_id(b.imc_fn_name) & 0xff, 0u);
    ASSERT_EQ(bind(b, &out), 0u) << out;
    const uint32_t intf = static_cast<const zel::ip::IntfHead *>(static_cast<const void *>(w.intf))->hdr.intf_id;
    const lay::egress_flow::Value e = lay::egress_flow::decode(egresstest::flow_hit(eng(), intf, 0));
    EXPECT_EQ(e.imc_idx, 1u);
    EXPECT_EQ(e.flow_idx, 3u);  // 1 is the IMC function's, 2 BFD's entry point (0x3202)
    EXPECT_EQ(fn_at(eng(), 1), fn_id(b.imc_fn_name));
    EXPECT_EQ(fn_at(eng(), 2), uint32_t{kLowerEntry});
    EXPECT_EQ(fn_at(eng(), 3), 0x0401u);
}

// A full table refuses a new function; a bind whose IMC function has a
// slot but whose entry function finds none keeps the IMC slot.
TEST_F(CustomBind, TableFull) {
    uint32_t *table = zel::ip::module_priv(m_)->bind_fn_table;
    for (uint32_t i = 1; i <= 255; ++i) table[i] = 0x7000 + i;  // every slot taken by other functions
    std::string out;
    EXPECT_EQ(bind(to_bfd(w.bind), &out), 0x3000bu);
    EXPECT_NE(out.find(flowtest::kErr + "Out of array index. Failed to store IMC FPL function ID\n"), std::string::npos)
        << out;
    const uint32_t bfd_imc = fn_id("zel_ip.ip_to_bfd_imc");
    table[bfd_imc % 256] = 0;  // room for the IMC function only
    EXPECT_EQ(bind(to_bfd(w.bind), &out), 0x3000bu);
    EXPECT_NE(out.find("Out of array index. Failed to store Entry Fn FPL function ID"), std::string::npos) << out;
    EXPECT_EQ(table[bfd_imc % 256], bfd_imc);
    EXPECT_EQ(fn_at(eng(), bfd_imc % 256), bfd_imc);
    EXPECT_EQ(hit(kBindDip).depth, 0u);  // the flow stays unbound
    StdoutCapture quiet;
    EXPECT_EQ(zel_ip_ingress_association_delete(m_, w.bind), 0u);
}

// The destination's entry-function service replaces the entry point, and
// its failure or an answer of 0 refuses the bind before anything changes.
TEST_F(CustomBind, EntryFunctionService) {
    std::string out;
    zel_sim_entry_service_set(21, ZEL_SIM_ENTRY_FAIL, 0, ZEL_E_INVALID_STATE);
    EXPECT_EQ(bind(to_bfd(w.bind), &out), 0x3000du);
    EXPECT_NE(out.find(flowtest::kErr + "Failed to get Entry point function for destination module\n"),
              std::string::npos) << out;
    zel_sim_entry_service_set(21, ZEL_SIM_ENTRY_ANSWER, 0, 0);
    EXPECT_EQ(bind(to_bfd(w.bind), &out), 0x3000du);
    EXPECT_NE(out.find("Invalid Entry point function found for destination module"), std::string::npos) << out;
    EXPECT_EQ(flowtest::entries(eng(), zel::ip::kTreeCustomBindImcEntryFn), 0u);
    zel_sim_entry_service_set(21, ZEL_SIM_ENTRY_ANSWER, 0x5151, 0);
    ASSERT_EQ(bind(to_bfd(w.bind), &out), 0u) << out;
    EXPECT_EQ(zel_sim_entry_service_calls(21), 1u);
    EXPECT_EQ(fn_at(eng(), lay::assoc::decode(hit(kBindDip).a).flow_idx), 0x5151u);
    // No service and an entry point of 0.
    zel_module_t *none = zel_sim_sibling_module_new(sim_, 24, 0, 0);
    EXPECT_EQ(bind(request(m_, w.bind, none, w.sflow, F2F, 1, 1), &out), 0x3000du);
}

TEST_F(CustomBind, Refusals) {
    zel_ip_flow_handle_t twin = nullptr;
    {
        StdoutCapture quiet;
        zel_ip_ingress_assoc_params_t p = bind_assoc();  // the same key as w.bind
        ASSERT_EQ(zel_ip_ingress_association_create(m_, &p, &twin), 0u);
    }
    ASSERT_EQ(bind(to_bfd(w.bind)), 0u);
    // A deleted flow (made last, so no later record takes its place).
    zel_ip_flow_handle_t gone = nullptr;
    {
        StdoutCapture quiet;
        zel_ip_ingress_assoc_params_t p = bind_assoc(ip(10, 1, 0, 3));
        ASSERT_EQ(zel_ip_ingress_association_create(m_, &p, &gone), 0u);
        ASSERT_EQ(zel_ip_ingress_association_delete(m_, gone), 0u);
    }
    struct Row {
        zel_bind_info_t b;
        uint32_t st;
        const char *msg;
    };
    zel_bind_info_t m2m = request(m_, nullptr, w.sib[2], nullptr, ZEL_IP_BIND_M2M, 2, 1);
    zel_bind_info_t bad_type = to_bfd(w.bind);
    bad_type.bind_type = 4;
    zel_bind_info_t named = request(m_, w.cpu, w.sib[21], w.sflow, F2F, 1, 1);
    named.imc_fn_name = "zel_ip.test_imc_function";
    zel_bind_info_t unknown = request(m_, w.eflow, w.sib[11], nullptr, F2M, 2, 1);
    unknown.imc_fn_name = "zel_ip.no_such_function";
    zel_bind_info_t eassoc = request(m_, w.eassoc, w.sib[11], w.sflow, F2F, 1, 1);
    zel_bind_info_t no_dst = to_ethernet();
    no_dst.dst_flow = nullptr;
    const Row rows[] = {
        {m2m, 0x3000f, "Module-to-Module bind cannot be custom bind"},
        {bad_type, 0x30008, "Invalid bind type specified"},
        {to_bfd(gone), 0x30008, "Source Flow Handle specified is invalid"},
        {named, 0x30008, "IPv4 Ingress association flow (src flow) is not configured for binding"},
        {unknown, 0x1003f, "zel_bind->Failed to get IMC Function ID, RTE Error: "},
        {eassoc, 0x30008, "Unexpected IPv4 flow type for custom bind"},
        {no_dst, 0x30008, "Dest Flow Handle specified is invalid"},
        {to_bfd(w.bind), 0x3000f, "IPv4 flow (src flow) is already bound; unbind it first"},
        {to_bfd(twin), 0x30008, "has the same fields"},
        {request(m_, w.eflow, w.sib[21], w.sflow, F2F, 2, 1), 0x3000f, "zel_bind->Failed to get IPv4 IMC Function"},
    };
    const uint32_t n28 = flowtest::entries(eng(), zel::ip::kTreeCustomBindImcEntryFn);
    for (const Row &r : rows) {
        std::string out;
        EXPECT_EQ(bind(r.b, &out), r.st) << r.msg;
        EXPECT_NE(out.find(r.msg), std::string::npos) << out;
    }
    EXPECT_EQ(flowtest::entries(eng(), zel::ip::kTreeCustomBindImcEntryFn), n28);
    std::string out;
    EXPECT_EQ(unbind(to_bfd(gone), &out), 0x30008u);
    EXPECT_NE(out.find("Source Flow Handle specified is invalid"), std::string::npos);
    EXPECT_EQ(unbind(m2m, &out), 0x3000fu);
    EXPECT_EQ(unbind(eassoc, &out), 0x30008u);
    EXPECT_NE(out.find("Unexpected IPv4 flow type for custom unbind"), std::string::npos);
    // A Send-to-CPU association's entry is its own: unbind leaves it.
    EXPECT_EQ(unbind(named, &out), 0u);
    EXPECT_EQ(lay::assoc::decode(hit(kCpuDip).a).action, lay::assoc::Action::kSendToCpu);
    EXPECT_EQ(zel_ip_custom_bind(m_->sys_ctx, nullptr), 0x30008u);
}

// The framework's walk: get_imc of IPv4, the destination's entry point,
// custom bind; the module answers each step as the direct calls do.
TEST_F(CustomBind, BindDriverWalksTheFrameworkSequence) {
    zel_sim_bind_result_t r{};
    StdoutCapture cap;
    const zel_bind_info_t b = to_bfd(w.bind);
    ASSERT_EQ(zel_sim_bind(sim_, &b, &r), 0u);
    EXPECT_EQ(r.imc_fn_id, fn_id("zel_ip.ip_to_bfd_imc"));
    EXPECT_EQ(r.entry_fn_id, kLowerEntry);
    EXPECT_EQ(fn_at(eng(), lay::assoc::decode(hit(kBindDip).a).imc_idx), r.imc_fn_id);
    EXPECT_EQ(zel_sim_unbind(sim_, &b, &r), 0u);
    EXPECT_EQ(hit(kBindDip).depth, 0u);
    const zel_bind_info_t bad = request(m_, w.cpu, w.sib[21], w.sflow, F2F, 1, 1);
    EXPECT_EQ(zel_sim_bind(sim_, &bad, &r), 0x30008u);
    EXPECT_STREQ(r.step, "get_imc");
    // IPv4 as the destination: its get_entry_func answers.
    zel_bind_info_t in = request(w.sib[2], nullptr, m_, nullptr, ZEL_IP_BIND_M2M, 2, 0);
    ASSERT_EQ(zel_sim_bind(sim_, &in, &r), 0u);
    EXPECT_EQ(r.entry_fn_id, fn_id("zel_ip.ip_process_cpu_eth_pkts"));
}

}  // namespace
