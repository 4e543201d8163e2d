// The bind matrix (IPv4 as the source) and the entry-function query (IPv4
// as the destination): every accepted row names its function, every
// refusal logs its message and returns its code, and changes nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bind_test_util.h"
#include "zel_test_fixture.h"

using namespace bindtest;
using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

enum Src { kNone, kBindAssoc, kCpuAssoc, kEAssoc, kEFlow, kStale };

class BindQuery : public ZelTest {
protected:
    BindQuery() { initial_log_level_ = ZEL_LOG_ERROR; }
    void SetUp() override {
        ZelTest::SetUp();
        w.make(m_, sim_);
        StdoutCapture quiet;
        zel_ip_ingress_assoc_params_t p = bind_assoc(ip(10, 1, 0, 77));
        ASSERT_EQ(zel_ip_ingress_association_create(m_, &p, &stale), 0u);
        ASSERT_EQ(zel_ip_ingress_association_delete(m_, stale), 0u);
    }
    void *flow(Src s) {
        switch (s) {
            case kBindAssoc: return w.bind;
            case kCpuAssoc: return w.cpu;
            case kEAssoc: return w.eassoc;
            case kEFlow: return w.eflow;
            case kStale: return stale;
            default: return nullptr;
        }
    }
    hwe_engine_t *eng() { return zel_sim_engine(sim_); }
    World w;
    zel_ip_flow_handle_t stale = nullptr;
};

constexpr uint32_t M2M = ZEL_IP_BIND_M2M, F2M = ZEL_IP_BIND_F2M, F2F = ZEL_IP_BIND_F2F,
                   F2ID = ZEL_IP_BIND_F2ID, EB = ZEL_IP_BIND_EBCOM;

struct MatrixRow {
    uint32_t dst;
    Src src;
    uint32_t type, dir;
    uint8_t custom;
    const char *fn;   // accepted: the IMC function
    const char *msg;  // refused: the message (code 8 or 15)
    uint32_t code;
};

const std::vector<MatrixRow> kMatrix = {
    // accepted
    {2, kNone, M2M, 2, 0, "zel_ip.ip_to_ethernet_imc_direct", nullptr, 0},
    {2, kEFlow, F2F, 2, 1, "zel_ip.ip_to_ethernet_flow_imc_direct", nullptr, 0},
    {9, kBindAssoc, F2F, 2, 1, "zel_ip.ip_to_gtpu_uli_imc", nullptr, 0},
    {9, kBindAssoc, F2F, 1, 1, "zel_ip.ip_to_gtpu_lli_imc", nullptr, 0},
    {9, kBindAssoc, F2M, 1, 1, "zel_ip.ip_to_gtpu_lli_f2m_imc", nullptr, 0},
    {10, kBindAssoc, F2F, 1, 1, "zel_ip.ip_to_ipsec_lli_imc", nullptr, 0},
    {10, kEFlow, F2F, 2, 1, "zel_ip.ip_egress_to_ipsec_imc_direct", nullptr, 0},
    {11, kBindAssoc, F2M, 1, 1, "zel_ip.ipv4_to_ipv6_ingress_imc_direct", nullptr, 0},
    {11, kEAssoc, F2F, 1, 0, "zel_ip.ipv4_to_ipv6_ingress_imc_direct", nullptr, 0},
    {11, kEFlow, F2F, 2, 0, "zel_ip.ip_translate_to_ipv6_imc", nullptr, 0},
    {21, kBindAssoc, F2F, 1, 1, "zel_ip.ip_to_bfd_imc", nullptr, 0},
    {24, kBindAssoc, F2F, 1, 1, "zel_ip.ip_to_twamp_imc_direct", nullptr, 0},
    {28, kBindAssoc, F2ID, 2, 1, "zel_ip.ip_to_ebcom_imc_direct", nullptr, 0},
    {29, kBindAssoc, F2F, 1, 1, "zel_ip.ip_to_l2tp_imc_direct", nullptr, 0},
    // bind types by destination
    {2, kEFlow, F2M, 2, 1, nullptr, "Ethernet module should bind F2F or M2M only", 15},
    {9, kBindAssoc, F2ID, 1, 1, nullptr, "GTPU module should bind F2F or F2M only", 15},
    {11, kNone, M2M, 1, 0, nullptr, "IPv6 module should bind F2F or F2M only", 15},
    {28, kBindAssoc, F2F, 2, 1, nullptr, "EBCOM module should bind F2ID only", 15},
    {21, kBindAssoc, F2M, 1, 1, nullptr, "Specified dest module should bind F2F only", 15},
    {40, kEFlow, F2M, 1, 1, nullptr, "Specified dest module should bind F2F only", 15},
    // the source flow
    {2, kNone, F2F, 2, 1, nullptr, "Source Flow Handle specified is invalid", 8},
    {21, kStale, F2F, 1, 1, nullptr, "Source Flow Handle specified is invalid", 8},
    {21, kCpuAssoc, F2F, 1, 1, nullptr, "IPv4 Ingress association flow (src flow) is not configured for binding", 8},
    {21, kBindAssoc, F2F, 1, 0, nullptr, "IPv4 Ingress association flow binding must be custom binding", 8},
    // the destinations' tables
    {2, kNone, M2M, 1, 0, nullptr, "Unsupported Bind direction for IPv4->Ethernet bind", 15},
    {2, kBindAssoc, F2F, 2, 1, nullptr, "Only IP egress flow can be bound to Ethernet and must be custom bind", 8},
    {2, kEFlow, F2F, 2, 0, nullptr, "Only IP egress flow can be bound to Ethernet and must be custom bind", 8},
    {2, kNone, M2M, 2, 1, nullptr, "Custom Bind not supported for M2M binding of IPv4 module with Ethernet module", 15},
    {9, kEFlow, F2F, 1, 1, nullptr, "Unsupported IPv4 flow type for IPv4->GTPU bind", 15},
    {10, kEFlow, F2F, 1, 1, nullptr, "Unsupported IPv4 flow type for IPv4->IPsec bind", 15},
    {10, kBindAssoc, F2F, 2, 1, nullptr, "Unsupported IPv4 flow type for IPv4->IPsec bind", 15},
    {10, kEFlow, F2F, 2, 0, nullptr, "IP egress flow binding with IPsec must be custom bind", 15},
    {11, kEFlow, F2M, 2, 0, nullptr, "Unsupported bind parameters for IPv4->IPv6 bind", 15},
    {21, kEFlow, F2F, 1, 1, nullptr, "Unsupported bind parameters for IPv4->BFD bind", 15},
    {21, kBindAssoc, F2F, 2, 1, nullptr, "Unsupported bind parameters for IPv4->BFD bind", 15},
    {24, kBindAssoc, F2F, 2, 1, nullptr, "Unsupported bind parameters for IPv4->TWAMP bind", 15},
    {28, kBindAssoc, F2ID, 1, 1, nullptr, "Unsupported bind parameters for IPv4->EBCOM bind", 15},
    {29, kEAssoc, F2F, 1, 1, nullptr, "Unsupported bind parameters for IPv4->L2TP bind", 15},
    {40, kEFlow, F2F, 1, 1, nullptr, "Unsupported dest module for binding with IPv4", 15},
};

TEST_F(BindQuery, MatrixEveryRow) {
    for (const MatrixRow &r : kMatrix) {
        SCOPED_TRACE(std::string(r.fn ? r.fn : r.msg) + " dst " + std::to_string(r.dst));
        const zel_bind_info_t b = request(m_, flow(r.src), w.sib.at(r.dst), w.sflow, r.type, r.dir, r.custom);
        uint32_t imc = 0xdead;
        StdoutCapture cap;
        const uint32_t st = zel_ip_get_imc(m_, &b, &imc);
        const std::string out = mask_sites(cap.text());
        if (r.fn) {
            EXPECT_EQ(st, 0u) << out;
            EXPECT_EQ(imc, fn_id(r.fn));
            EXPECT_EQ(out, "");
        } else {
            EXPECT_EQ(st, zel::ip::error(r.code)) << out;
            EXPECT_NE(out.find(flowtest::kErr + r.msg + "\n"), std::string::npos) << out;
            // Bare code from the matrix itself, same message.
            StdoutCapture quiet;
            EXPECT_EQ(zel_ip_get_imc_internal(m_, &b, &imc), r.code);
        }
    }
}

TEST_F(BindQuery, RequestRefusalsBeforeTheMatrix) {
    struct Row {
        const char *msg;
        uint32_t code;
        void (*edit)(zel_bind_info_t &);
    };
    const Row rows[] = {
        {"Module location CPU not supported", 15, [](zel_bind_info_t &b) { b.src_location = 1; }},
        {"Module location CPU not supported", 15, [](zel_bind_info_t &b) { b.dst_location = 1; }},
        {"IPv4 module supports direct binding only", 15, [](zel_bind_info_t &b) { b.binding_mode = 2; }},
        {"Invalid destination module handle", 8, [](zel_bind_info_t &b) { b.dst_module = nullptr; }},
    };
    for (const Row &r : rows) {
        zel_bind_info_t b = request(m_, w.bind, w.sib[21], w.sflow, F2F, 1, 1);
        r.edit(b);
        uint32_t imc = 0;
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_get_imc(m_, &b, &imc), zel::ip::error(r.code));
        EXPECT_NE(mask_sites(cap.text()).find(r.msg), std::string::npos) << r.msg;
    }
    uint32_t imc = 0;
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_get_imc(m_, nullptr, &imc), zel::ip::kBadParam);
    EXPECT_NE(cap.text().find("NULL pointer parameter for bind info"), std::string::npos);
}

struct EntryRow {
    uint32_t src;
    uint32_t type, mode, dir;
    Src dst;              // the destination flow (an IPv4 flow)
    bool cpu_eth;         // accepted: the CPU Ethernet entry function, else 0
    const char *msg;      // refused
    uint32_t code;
};

const std::vector<EntryRow> kEntry = {
    {2, M2M, 1, 2, kNone, true, nullptr, 0},
    {2, M2M, 1, 1, kNone, false, nullptr, 0},
    {2, F2M, 3, 2, kNone, false, nullptr, 0},
    {9, F2F, 1, 2, kEAssoc, false, nullptr, 0},
    {10, F2M, 1, 1, kNone, false, nullptr, 0},
    {11, F2F, 1, 2, kEAssoc, false, nullptr, 0},
    {11, F2M, 2, 2, kNone, false, nullptr, 0},
    {21, F2F, 2, 2, kEAssoc, false, nullptr, 0},
    {24, F2M, 1, 2, kNone, false, nullptr, 0},
    {28, EB, 1, 2, kEAssoc, false, nullptr, 0},
    {29, F2F, 1, 2, kEAssoc, false, nullptr, 0},
    {21, F2F, 2, 2, kNone, false, "Dest Flow Handle specified is invalid", 8},
    {21, F2F, 2, 2, kStale, false, "Dest Flow Handle specified is invalid", 8},
    {21, F2F, 2, 2, kBindAssoc, false, "Dest Flow must be egress association flow type", 8},
    {28, EB, 1, 2, kEFlow, false, "Dest Flow must be egress association flow type", 8},
    {2, M2M, 2, 2, kNone, false, "Unsupported Bind parameters for Ethernet->IPv4 bind", 15},
    {2, F2F, 1, 2, kEAssoc, false, "Unsupported Bind parameters for Ethernet->IPv4 bind", 15},
    {9, F2F, 1, 1, kEAssoc, false, "Unsupported Bind parameters for GTPU->IPv4 bind", 15},
    {10, F2F, 1, 2, kEAssoc, false, "Unsupported Bind parameters for IPSec->IPv4 bind", 15},
    {11, F2M, 1, 2, kNone, false, "Unsupported Bind parameters for IPv6->IPv4 bind", 15},
    {21, F2F, 1, 2, kEAssoc, false, "Unsupported Bind parameters for BFD->IPv4 bind", 15},
    {24, F2M, 2, 2, kNone, false, "Unsupported Bind parameters for TWAMP ->IPv4 bind", 15},
    {28, F2ID, 1, 2, kNone, false, "Unsupported Bind parameters for EBCOM ->IPv4 bind", 15},
    {29, F2F, 1, 1, kEAssoc, false, "Unsupported Bind parameters for L2TP ->IPv4 bind", 15},
    {40, F2M, 1, 2, kNone, false, "Unsupported source module for binding to IPv4", 15},
};

TEST_F(BindQuery, EntryFunctionEveryRow) {
    for (const EntryRow &r : kEntry) {
        SCOPED_TRACE(std::string(r.msg ? r.msg : "accepted") + " src " + std::to_string(r.src));
        zel_bind_info_t b = request(w.sib.at(r.src), nullptr, m_, flow(r.dst), r.type, r.dir, 0);
        b.binding_mode = r.mode;
        uint32_t entry = 0xdead;
        StdoutCapture cap;
        const uint32_t st = zel_ip_get_entry_func(m_, &b, &entry);
        const std::string out = mask_sites(cap.text());
        if (!r.msg) {
            EXPECT_EQ(st, 0u) << out;
            EXPECT_EQ(entry, r.cpu_eth ? fn_id("zel_ip.ip_process_cpu_eth_pkts") : 0u);
        } else {
            EXPECT_EQ(st, zel::ip::error(r.code)) << out;
            EXPECT_NE(out.find(flowtest::kErr + r.msg + "\n"), std::string::npos) << out;
        }
    }
    zel_bind_info_t b = request(w.sib[21], nullptr, m_, w.eassoc, F2F, 2, 0);
    b.src_location = 1;
    uint32_t entry = 0;
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_get_entry_func(m_, &b, &entry), zel::ip::error(15));
    EXPECT_EQ(zel_ip_get_entry_func(m_, nullptr, &entry), zel::ip::kBadParam);
    const std::string out = cap.text();
    EXPECT_NE(out.find("Module location CPU not supported"), std::string::npos);
    EXPECT_NE(out.find("NULL pointer parameter for bind info"), std::string::npos);
}

// The framework reaches the binding services through the table the module
// registered at start-up.
TEST_F(BindQuery, ServicesRegisteredAtStartUp) {
    const zel_service_table_t *t = zel_sim_service_table(sim_, m_);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->get_imc, &zel_ip_get_imc);
    EXPECT_EQ(t->get_entry_func, &zel_ip_get_entry_func);
    EXPECT_EQ(t->custom_bind, &zel_ip_custom_bind);
    EXPECT_EQ(t->custom_unbind, &zel_ip_custom_unbind);
}

}  // namespace
