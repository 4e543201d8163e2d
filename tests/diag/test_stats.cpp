// Statistics get and print calls: the texts (golden) with every counter
// 0, every counter planted, and the mixed forms (a virtual interface's
// router-interface counters without a second record, an interface with
// egress QoS counted by the traffic manager); byte order against bytes
// written here by hand; handle and pointer refusals; the caller's
// structure written whole or not at all.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>

#include "stats_test_util.h"

using namespace statstest;
using zel::test::expect_golden;
using zel::test::ZelTest;

namespace {

class Stats : public ZelTest {
protected:
    Stats() { initial_log_level_ = ZEL_LOG_ERROR; }
    void SetUp() override {
        ZelTest::SetUp();
        o_ = make_objects(m_, sim_);
    }
    hwe_engine_t *eng() { return zel_sim_engine(sim_); }
    void write(uint32_t ns_id, uint32_t offset, std::initializer_list<uint8_t> bytes) {
        std::vector<uint8_t> b(bytes);
        ASSERT_EQ(zel_sim_engine_se_write(eng(), ns_id, offset, b.data(), static_cast<uint32_t>(b.size())), 0u);
    }
    // Plants the 256-byte record of an interface (word w = base + w) and,
    // for IPoE and tunnel, its second record and traffic-manager block.
    void plant_intf(uint32_t stats, uint32_t second, uint32_t base) {
        plant_words(sim_, "interface", stats, 64, base);
        if (second == 0) return;
        plant_words(sim_, "interface-b", second, 22, base + 0x1000);
        plant_words(sim_, "interface-tm", second, 8, base + 0x2000);
    }
    Objects o_;
};

// ---- global -------------------------------------------------------------------

TEST_F(Stats, GlobalPrintForms) {
    std::string text = "== all zero: only the counters printed when 0\n";
    Printed p = printed([&] { return zel_ip_global_stats_print(m_); });
    EXPECT_EQ(p.status, 0u);
    text += p.out;
    text += "== drop counters 2, 9 and 63 non-zero, the rest 0\n";
    plant(sim_, "global", kGlobalNsId, "rx_version_err", 5);
    plant(sim_, "global", kGlobalNsId, "reasm_timeouts_ignored", 9);
    plant(sim_, "global", kGlobalNsId, "pab_reasm_err", 4000000000u);
    p = printed([&] { return zel_ip_global_stats_print(m_); });
    text += p.out;
    text += "== every word non-zero (word w = 1000 + w)\n";
    plant_words(sim_, "global", kGlobalNsId, 64, 1000);
    p = printed([&] { return zel_ip_global_stats_print(m_); });
    EXPECT_EQ(p.status, 0u);
    text += p.out;
    expect_golden("stats_global.txt", text);
}

TEST_F(Stats, GlobalByteOrderAndRawWords) {
    // Counters in host order; words 38, 39, 59, 61, 62 as the engine holds them.
    write(kGlobalNsId, 0, {0x12, 0x34, 0x56, 0x78});
    write(kGlobalNsId, 4 * 63, {0x80, 0x00, 0x00, 0x01});
    for (uint32_t w : {38u, 39u, 59u, 61u, 62u}) write(kGlobalNsId, 4 * w, {0xde, 0xad, 0xbe, static_cast<uint8_t>(w)});
    zel_ip_global_stats_t s;
    std::memset(&s, 0xa5, sizeof s);
    ASSERT_EQ(zel_ip_global_stats_get(m_, &s), 0u);
    EXPECT_EQ(s.counter[ZEL_IP_GSTAT_RX_PKTS], 0x12345678u);
    EXPECT_EQ(s.counter[ZEL_IP_GSTAT_PAB_REASM_ERR], 0x80000001u);
    EXPECT_EQ(s.counter[1], 0u);
    for (uint32_t w : {38u, 39u, 59u, 61u, 62u}) {
        const uint8_t raw[4] = {0xde, 0xad, 0xbe, static_cast<uint8_t>(w)};
        EXPECT_EQ(std::memcmp(&s.counter[w], raw, 4), 0) << "word " << w;
    }
}

// ---- interface ------------------------------------------------------------------

TEST_F(Stats, InterfacePrintForms) {
    std::string text;
    auto add = [&](const char *title, const void *h, const char *name) {
        Printed p = printed([&] { return zel_ip_interface_stats_print(m_, h); });
        EXPECT_EQ(p.status, 0u) << p.out;
        text += std::string("== ") + title + "\n" + name_handle(p.out, h, name);
    };
    add("IPoE, zero", o_.ipoe, "<ipoe>");
    plant(sim_, "interface", stats_id(o_.ipoe), "rx_pkts", 4294967295u);
    plant(sim_, "interface", stats_id(o_.ipoe), "tx_pkts", 17);
    add("IPoE, both counters", o_.ipoe, "<ipoe>");
    plant(sim_, "interface", stats_id(o_.tunnel), "rx_pkts", 3);
    add("tunnel, received only", o_.tunnel, "<tunnel>");
    expect_golden("stats_interface.txt", text);
}

TEST_F(Stats, InterfaceByteOrder) {
    write(stats_id(o_.tunnel), 0, {0x01, 0x02, 0x03, 0x04, 0xf0, 0x00, 0x00, 0x0f});
    zel_ip_interface_stats_t s{};
    ASSERT_EQ(zel_ip_interface_stats_get(m_, o_.tunnel, &s), 0u);
    EXPECT_EQ(s.rx_pkts, 0x01020304u);
    EXPECT_EQ(s.tx_pkts, 0xf000000fu);
}

// ---- router interface ---------------------------------------------------------------

TEST_F(Stats, RouterIfPrintForms) {
    std::string text;
    auto add = [&](const std::string &title, const void *h, const char *name) {
        Printed p = printed([&] { return zel_ip_router_if_stats_print(m_, h); });
        EXPECT_EQ(p.status, 0u) << p.out;
        text += "== " + title + "\n" + name_handle(p.out, h, name);
    };
    add("IPoE, all zero", o_.ipoe, "<ipoe>");
    plant_intf(stats_id(o_.ipoe), second_id(o_.ipoe), 0x100);
    add("IPoE QoS level 0: every record word planted (A w = 0x100 + w, B w = 0x1100 + w, TM w = 0x2100 + w)",
        o_.ipoe, "<ipoe>");
    plant_intf(stats_id(o_.ipoe_l3), second_id(o_.ipoe_l3), 0x100);
    add("IPoE QoS level 1: transmit and discard counters from the traffic-manager block", o_.ipoe_l3,
        "<ipoe-l3>");
    plant_intf(stats_id(o_.ipoe_q2), second_id(o_.ipoe_q2), 0x100);
    add("IPoE QoS level 2: traffic-manager transmits, Layer-2 discards", o_.ipoe_q2, "<ipoe-q2>");
    plant_intf(stats_id(o_.tunnel), second_id(o_.tunnel), 0x100);
    add("tunnel: B read whole, no traffic-manager block, no Ethernet counters", o_.tunnel, "<tunnel>");
    plant_words(sim_, "interface", stats_id(o_.vif), 64, 0x100);
    add("virtual interface: no B, out-counters 0", o_.vif, "<vif>");
    expect_golden("stats_router_if.txt", text);
}

TEST_F(Stats, RouterIfVirtualInterfaceReadsOnlyItsRecord) {
    plant_words(sim_, "interface", stats_id(o_.vif), 64, 1);
    zel_sim_counters_reset();
    zel_ip_router_if_stats_t s{};
    ASSERT_EQ(zel_ip_router_if_stats_get(m_, o_.vif, &s), 0u);
    EXPECT_EQ(zel_sim_call_count("hwe_se_state_get"), 1u);
    EXPECT_EQ(zel_sim_call_count("hwe_mtm_shared_param_get"), 0u);
    EXPECT_EQ(s.in_delivers, 1u + 168 / 4);
    for (uint32_t v : {s.out_transmits, s.out_octets, s.out_mcast_pkts, s.out_bcast_pkts, s.out_ucast_pkts,
                       s.out_discards, s.out_l2_discards, s.in_receives})
        EXPECT_EQ(v, 0u);
    EXPECT_EQ(s.hc_out_octets, 0u);
    EXPECT_EQ(s.hc_in_eth_pad_octets, 0u);
}

TEST_F(Stats, RouterIfQosLevelOneCountsFromTheTrafficManager) {
    const uint32_t b = second_id(o_.ipoe_l3);
    // The state record's bytes 56 to 87 are not what counts for IPoE.
    for (uint32_t off = 56; off < 88; off += 4) write(b, off, {0x7f, 0x7f, 0x7f, 0x7f});
    write(b, 44, {0, 0, 0, 9});  // unicast packets: not the transmit count here
    const uint8_t tm[32] = {0, 0, 0, 1,  0, 0, 0, 2,  0, 0, 0, 4,  0, 0, 0x01, 0x00,
                            0, 0, 0, 1, 0, 0, 0, 5,  0, 0, 0, 0, 0, 0, 0, 6};
    ASSERT_EQ(zel_sim_engine_mtm_write(eng(), b, tm, sizeof tm), 0u);
    zel_ip_router_if_stats_t s{};
    ASSERT_EQ(zel_ip_router_if_stats_get(m_, o_.ipoe_l3, &s), 0u);
    EXPECT_EQ(s.out_transmits, 0x100u);
    EXPECT_EQ(s.hc_out_octets, 0x100000005ull);
    EXPECT_EQ(s.out_octets, 5u);
    EXPECT_EQ(s.out_ucast_pkts, 9u);
    EXPECT_EQ(s.out_discards, 7u);
    EXPECT_EQ(s.out_mcast_discards, 1u);
    EXPECT_EQ(s.out_bcast_discards, 2u);
    EXPECT_EQ(s.out_ucast_discards, 4u);
    EXPECT_EQ(s.out_l2_discards, 0u);
    EXPECT_EQ(s.hc_out_eth_octets, 6u);
}

TEST_F(Stats, RouterIfWideCountersByteOrder) {
    const uint32_t a = stats_id(o_.ipoe), b = second_id(o_.ipoe);
    write(b, 0, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08});
    write(b, 8, {0x00, 0x00, 0x01, 0x02});
    write(a, 152, {0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa, 0x99, 0x88});
    write(a, 8, {0xff, 0xff, 0xff, 0xff});  // sums wrap as u32: 0xffffffff + 2
    write(a, 44, {0x00, 0x00, 0x00, 0x02});
    zel_ip_router_if_stats_t s{};
    ASSERT_EQ(zel_ip_router_if_stats_get(m_, o_.ipoe, &s), 0u);
    EXPECT_EQ(s.hc_in_octets, 0x0102030405060708ull);
    EXPECT_EQ(s.in_octets, 0x05060708u);
    EXPECT_EQ(s.in_receives, 0x102u);
    EXPECT_EQ(s.hc_in_eth_pad_octets, 0xffeeddccbbaa9988ull);
    EXPECT_EQ(s.in_hdr_errors, 1u);
    // The HC counters sit where the 53-word layout puts them.
    EXPECT_EQ(offsetof(zel_ip_router_if_stats_t, hc_in_octets), 36u * 4);
    EXPECT_EQ(offsetof(zel_ip_router_if_stats_t, out_l2_discards), 52u * 4);
}

// ---- associations -------------------------------------------------------------------

TEST_F(Stats, AssociationPrintForms) {
    std::string text;
    auto in = [&](const char *title) {
        Printed p = printed([&] { return zel_ip_ingress_association_stats_print(m_, o_.ingress); });
        EXPECT_EQ(p.status, 0u) << p.out;
        text += std::string("== ") + title + "\n" + name_handle(p.out, o_.ingress, "<ingress>");
    };
    auto out = [&](const char *title) {
        Printed p = printed([&] { return zel_ip_egress_association_stats_print(m_, o_.egress); });
        EXPECT_EQ(p.status, 0u) << p.out;
        text += std::string("== ") + title + "\n" + name_handle(p.out, o_.egress, "<egress>");
    };
    in("ingress, zero");
    out("egress, zero");
    plant(sim_, "ingress-flow", flow_id(o_.ingress), "rx_pkts", 11);
    plant(sim_, "ingress-flow", flow_id(o_.ingress), "tx_pkts", 22);
    plant(sim_, "egress-flow", flow_id(o_.egress), "tx_pkts", 33);
    plant(sim_, "egress-flow", flow_id(o_.egress), "rx_no_hdr", 44);
    plant(sim_, "egress-flow", flow_id(o_.egress), "rx_hdr", 55);
    in("ingress, both counters");
    out("egress, every counter");
    expect_golden("stats_assoc.txt", text);
}

TEST_F(Stats, AssociationByteOrder) {
    write(flow_id(o_.ingress), 0, {0xca, 0xfe, 0x00, 0x01, 0x00, 0x00, 0x10, 0x00});
    write(flow_id(o_.egress), 0, {0, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0});
    zel_ip_ingress_assoc_stats_t i{};
    zel_ip_egress_assoc_stats_t e{};
    ASSERT_EQ(zel_ip_ingress_association_stats_get(m_, o_.ingress, &i), 0u);
    ASSERT_EQ(zel_ip_egress_association_stats_get(m_, o_.egress, &e), 0u);
    EXPECT_EQ(i.rx_pkts, 0xcafe0001u);
    EXPECT_EQ(i.tx_pkts, 0x1000u);
    EXPECT_EQ(e.tx_pkts, 1u);
    EXPECT_EQ(e.rx_no_hdr_pkts, 0x100u);
    EXPECT_EQ(e.rx_hdr_pkts, 0x10000u);
}

// ---- filter and policy routing rules --------------------------------------------------

TEST_F(Stats, RulePrintForms) {
    std::string text;
    auto filter = [&](const char *title) {
        Printed p = printed([&] { return zel_ip_filter_rule_stats_print(m_, o_.filter); });
        EXPECT_EQ(p.status, 0u) << p.out;
        text += std::string("== ") + title + "\n" + name_handle(p.out, o_.filter, "<filter>");
    };
    auto pbr = [&](const char *title) {
        Printed p = printed([&] { return zel_ip_pbr_rule_stats_print(m_, o_.pbr); });
        EXPECT_EQ(p.status, 0u) << p.out;
        text += std::string("== ") + title + "\n" + name_handle(p.out, o_.pbr, "<pbr>");
    };
    filter("filter rule, zero");
    pbr("policy rule, zero");
    plant(sim_, "filter-rule", flow_id(o_.filter), "pkts", 4294967295u);
    plant(sim_, "filter-rule", flow_id(o_.filter), "bytes", 0x123456789abull);
    plant(sim_, "pbr-rule", flow_id(o_.pbr), "pkts", 77);
    filter("filter rule, packets and bytes (wider than 32 bits)");
    pbr("policy rule, packets");
    expect_golden("stats_rules.txt", text);
}

TEST_F(Stats, RuleByteOrder) {
    write(flow_id(o_.filter), 0, {0x00, 0x00, 0x02, 0x01, 0xff, 0xff, 0xff, 0xff,  // word 1 is not a counter
                                  0x00, 0x00, 0x00, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e});
    write(flow_id(o_.pbr), 0, {0x7f, 0x00, 0x00, 0x80});
    zel_ip_filter_rule_stats_t f{};
    zel_ip_pbr_rule_stats_t r{};
    ASSERT_EQ(zel_ip_filter_rule_stats_get(m_, o_.filter, &f), 0u);
    ASSERT_EQ(zel_ip_pbr_rule_stats_get(m_, o_.pbr, &r), 0u);
    EXPECT_EQ(f.matched_pkts, 0x201u);
    EXPECT_EQ(f.matched_bytes, 0x0a0b0c0d0eull);
    EXPECT_EQ(r.matched_pkts, 0x7f000080u);
}

TEST_F(Stats, RuleRefusals) {
    const std::string err = "[zel_ip_log: ERROR] FILE:LINE ";
    // A rule deleted and waiting for its set's commit: its handle is invalid.
    zel_ip_flow_handle_t pending = nullptr;
    Printed made = printed([&] {
        const uint32_t st = add_filter_rule(m_, o_.acl, 20, &pending);
        return st ? st : zel_ip_filter_rule_delete(m_, 20, pending);
    });
    ASSERT_EQ(made.status, 0u) << made.out;
    zel_ip_filter_rule_stats_t fs;
    zel_ip_pbr_rule_stats_t ps;
    int not_a_record = 0;
    auto garbage = reinterpret_cast<zel_ip_flow_handle_t>(&not_a_record);
    struct Case {
        const char *what;
        std::function<uint32_t()> call;
        std::string message;
    };
    const Case cases[] = {
        {"filter, pending delete", [&] { return zel_ip_filter_rule_stats_get(m_, pending, &fs); },
         "Invalid input filter rule handle"},
        {"filter print, pending delete", [&] { return zel_ip_filter_rule_stats_print(m_, pending); },
         "Invalid input filter rule handle"},
        {"filter, NULL", [&] { return zel_ip_filter_rule_stats_get(m_, nullptr, &fs); },
         "Invalid input filter rule handle"},
        {"filter, garbage", [&] { return zel_ip_filter_rule_stats_get(m_, garbage, &fs); },
         "Invalid input filter rule handle"},
        {"filter, an association", [&] { return zel_ip_filter_rule_stats_get(m_, o_.ingress, &fs); },
         "Invalid input filter rule handle type"},
        {"filter, a policy rule", [&] { return zel_ip_filter_rule_stats_get(m_, o_.pbr, &fs); },
         "Invalid input filter rule handle type"},
        {"filter, out NULL", [&] { return zel_ip_filter_rule_stats_get(m_, o_.filter, nullptr); },
         "Invalid input pointer parameter"},
        {"pbr, NULL", [&] { return zel_ip_pbr_rule_stats_get(m_, nullptr, &ps); }, "Invalid input PBR rule handle"},
        {"pbr, pending filter rule", [&] { return zel_ip_pbr_rule_stats_get(m_, pending, &ps); },
         "Invalid input PBR rule handle"},
        {"pbr, a filter rule", [&] { return zel_ip_pbr_rule_stats_get(m_, o_.filter, &ps); }, "Invalid PBR rule handle"},
        {"pbr print, an egress association", [&] { return zel_ip_pbr_rule_stats_print(m_, o_.egress); },
         "Invalid PBR rule handle"},
        {"pbr, out NULL", [&] { return zel_ip_pbr_rule_stats_get(m_, o_.pbr, nullptr); },
         "Invalid input pointer parameter"},
    };
    for (const Case &c : cases) {
        Printed p = printed(c.call);
        EXPECT_EQ(p.status, 0x30008u) << c.what;
        EXPECT_EQ(p.out, err + c.message + "\n") << c.what;  // the prints add nothing
    }
    // Once committed, the deleted rule's id is gone; the live rule still reads.
    Printed committed = printed([&] { return zel_ip_filter_set_commit(m_, ZEL_IP_COMMIT_SET, o_.acl); });
    ASSERT_EQ(committed.status, 0u) << committed.out;
    EXPECT_EQ(zel_ip_filter_rule_stats_get(m_, o_.filter, &fs), 0u);
}

// ---- refusals ----------------------------------------------------------------------

TEST_F(Stats, HandleAndPointerRefusals) {
    const std::string err = "[zel_ip_log: ERROR] FILE:LINE ";
    zel_ip_flow_handle_t gone = nullptr;
    zel_ip_ingress_assoc_params_t a{};
    a.mask = 0x10;
    a.proto = 6;
    a.action = ZEL_IP_ASSOC_DISCARD;
    Printed made = printed([&] {
        const uint32_t st = zel_ip_ingress_association_create(m_, &a, &gone);
        return st ? st : zel_ip_ingress_association_delete(m_, gone);
    });
    ASSERT_EQ(made.status, 0u) << made.out;
    zel_ip_interface_stats_t is;
    zel_ip_router_if_stats_t rs;
    zel_ip_ingress_assoc_stats_t ia;
    zel_ip_egress_assoc_stats_t ea;
    int not_a_record = 0;
    struct Case {
        const char *what;
        std::function<uint32_t()> call;
        uint32_t status;
        std::string message;
    };
    const Case cases[] = {
        {"global, out NULL", [&] { return zel_ip_global_stats_get(m_, nullptr); }, 0x30008,
         "Invalid input pointer parameter"},
        {"interface, out NULL", [&] { return zel_ip_interface_stats_get(m_, o_.ipoe, nullptr); }, 0x30008,
         "Invalid input NULL pointer parameter"},
        {"interface, virtual", [&] { return zel_ip_interface_stats_get(m_, o_.vif, &is); }, 0x1030006,
         "Invalid IPv4 interface handle"},
        {"interface, a flow", [&] { return zel_ip_interface_stats_get(m_, o_.ingress, &is); }, 0x1030006,
         "Invalid IPv4 interface handle"},
        {"interface, garbage", [&] { return zel_ip_interface_stats_get(m_, &not_a_record, &is); }, 0x1030006,
         "Invalid IPv4 interface handle"},
        {"router-if, out NULL", [&] { return zel_ip_router_if_stats_get(m_, o_.vif, nullptr); }, 0x30008,
         "Invalid input NULL pointer parameter"},
        {"router-if, NULL", [&] { return zel_ip_router_if_stats_get(m_, nullptr, &rs); }, 0x1030006,
         "Invalid IPv4 interface handle"},
        {"ingress, NULL handle", [&] { return zel_ip_ingress_association_stats_get(m_, nullptr, &ia); }, 0x30008,
         "Invalid Flow handle"},
        {"ingress, deleted", [&] { return zel_ip_ingress_association_stats_get(m_, gone, &ia); }, 0x30008,
         "Invalid Flow handle"},
        {"ingress, garbage",
         [&] { return zel_ip_ingress_association_stats_get(m_, reinterpret_cast<zel_ip_flow_handle_t>(&not_a_record), &ia); },
         0x30008, "Invalid Flow handle"},
        {"ingress, out NULL before the kind",
         [&] { return zel_ip_ingress_association_stats_get(m_, o_.egress, nullptr); }, 0x30008,
         "Invalid input pointer parameter"},
        {"ingress, an egress association", [&] { return zel_ip_ingress_association_stats_get(m_, o_.egress, &ia); },
         0x30008, "Invalid flow handle"},
        {"egress, an ingress association", [&] { return zel_ip_egress_association_stats_get(m_, o_.ingress, &ea); },
         0x30008, "Invalid flow handle"},
        {"egress, out NULL", [&] { return zel_ip_egress_association_stats_get(m_, o_.egress, nullptr); }, 0x30008,
         "Invalid input pointer parameter"},
    };
    for (const Case &c : cases) {
        Printed p = printed(c.call);
        EXPECT_EQ(p.status, c.status) << c.what;
        EXPECT_EQ(p.out, err + c.message + "\n") << c.what;
    }
    // The prints: the get's refusal, then the print's own line where it has one.
    struct PrintCase {
        const char *what;
        std::function<uint32_t()> call;
        uint32_t status;
        std::string out;
    };
    const PrintCase prints[] = {
        {"interface", [&] { return zel_ip_interface_stats_print(m_, o_.vif); }, 0x1030006,
         err + "Invalid IPv4 interface handle\n"},
        {"router-if", [&] { return zel_ip_router_if_stats_print(m_, o_.ingress); }, 0x1030006,
         err + "Invalid IPv4 interface handle\n"},
        {"ingress", [&] { return zel_ip_ingress_association_stats_print(m_, o_.egress); }, 0x30008,
         err + "Invalid flow handle\n" + err + "Failed to get IP ingress flow statistics\n"},
        {"egress", [&] { return zel_ip_egress_association_stats_print(m_, gone); }, 0x30008,
         err + "Invalid Flow handle\n" + err + "Failed to get IP egress flow statistics\n"},
    };
    for (const PrintCase &c : prints) {
        Printed p = printed(c.call);
        EXPECT_EQ(p.status, c.status) << c.what;
        EXPECT_EQ(p.out, c.out) << c.what;
    }
}

TEST_F(Stats, ForeignModuleHandlesAreRefused) {
    zel_sim_t *other_sim = zel_sim_create(nullptr);
    ASSERT_NE(other_sim, nullptr);
    zel_module_t *other = zel_sim_module_new(other_sim, "zel_ip", ZEL_LOG_ERROR, 1);
    ASSERT_NE(other, nullptr);
    Printed up = printed([&] { return zel_ip_init(other); });
    ASSERT_EQ(up.status, 0u) << up.out;
    zel_ip_interface_stats_t is;
    zel_ip_ingress_assoc_stats_t ia;
    Printed p = printed([&] { return zel_ip_interface_stats_get(other, o_.ipoe, &is); });
    EXPECT_EQ(p.status, 0x1030006u) << p.out;
    p = printed([&] { return zel_ip_ingress_association_stats_get(other, o_.ingress, &ia); });
    EXPECT_EQ(p.status, 0x30008u) << p.out;
    Printed down = printed([&] { return zel_ip_shutdown(other); });
    EXPECT_EQ(down.status, 0u) << down.out;
    zel_sim_module_free(other);
    zel_sim_destroy(other_sim);
}

// ---- the caller's structure -----------------------------------------------------------

// A record followed by guard bytes: a get writes the record whole on
// success, nothing on failure, and never the guard.
template <typename T>
struct Guarded {
    T rec;
    uint8_t guard[64];
    Guarded() { std::memset(static_cast<void *>(this), 0xa5, sizeof *this); }
    bool guard_intact() const {
        for (uint8_t b : guard)
            if (b != 0xa5) return false;
        return true;
    }
    bool rec_untouched() const {
        const auto *p = reinterpret_cast<const uint8_t *>(&rec);
        for (size_t i = 0; i < sizeof rec; ++i)
            if (p[i] != 0xa5) return false;
        return true;
    }
};

TEST_F(Stats, CallerStructureWrittenWholeOrNotAtAll) {
    Guarded<zel_ip_global_stats_t> g;
    Guarded<zel_ip_interface_stats_t> i;
    Guarded<zel_ip_router_if_stats_t> r;
    Guarded<zel_ip_ingress_assoc_stats_t> ia;
    Guarded<zel_ip_egress_assoc_stats_t> ea;
    Guarded<zel_ip_filter_rule_stats_t> fr;
    Guarded<zel_ip_pbr_rule_stats_t> pr;
    auto all = [&] {
        return std::vector<uint32_t>{zel_ip_global_stats_get(m_, &g.rec), zel_ip_interface_stats_get(m_, o_.ipoe, &i.rec),
                                     zel_ip_router_if_stats_get(m_, o_.ipoe_l3, &r.rec),
                                     zel_ip_ingress_association_stats_get(m_, o_.ingress, &ia.rec),
                                     zel_ip_egress_association_stats_get(m_, o_.egress, &ea.rec),
                                     zel_ip_filter_rule_stats_get(m_, o_.filter, &fr.rec),
                                     zel_ip_pbr_rule_stats_get(m_, o_.pbr, &pr.rec)};
    };
    // Every record read fails: nothing written.
    {
        zel::test::StdoutCapture quiet;
        fail_call("hwe_se_state_get", 1, 0, true);
        for (uint32_t st : all()) EXPECT_NE(st, 0u);
        clear_faults();
    }
    EXPECT_TRUE(g.rec_untouched() && i.rec_untouched() && r.rec_untouched() && ia.rec_untouched() &&
                ea.rec_untouched() && fr.rec_untouched() && pr.rec_untouched());
    // The router-interface get fails at its last read, after A and B were read.
    {
        zel::test::StdoutCapture quiet;
        fail_call("hwe_mtm_shared_param_get");
        EXPECT_EQ(zel_ip_router_if_stats_get(m_, o_.ipoe_l3, &r.rec), 0x1002cu);
        clear_faults();
    }
    EXPECT_TRUE(r.rec_untouched());
    // Success: all zero (nothing planted), the guard intact.
    for (uint32_t st : all()) EXPECT_EQ(st, 0u);
    EXPECT_EQ(g.rec.counter[0], 0u);
    EXPECT_EQ(i.rec.tx_pkts, 0u);
    EXPECT_EQ(r.rec.out_l2_discards, 0u);
    EXPECT_EQ(ia.rec.tx_pkts, 0u);
    EXPECT_EQ(ea.rec.rx_hdr_pkts, 0u);
    EXPECT_EQ(fr.rec.matched_bytes, 0u);
    EXPECT_EQ(pr.rec.matched_pkts, 0u);
    EXPECT_TRUE(g.guard_intact() && i.guard_intact() && r.guard_intact() && ia.guard_intact() &&
                ea.guard_intact() && fr.guard_intact() && pr.guard_intact());
}

TEST_F(Stats, ReadsAreTracedWithTheirBytes) {
    zel_module_t *m = m_;
    {
        zel::test::StdoutCapture quiet;
        ASSERT_EQ(zel_ip_log_enable(m, ZEL_LOG_SE), 0u);
    }
    write(flow_id(o_.ingress), 0, {0, 0, 0, 3});
    zel_ip_ingress_assoc_stats_t s;
    Printed p = printed([&] { return zel_ip_ingress_association_stats_get(m, o_.ingress, &s); });
    ASSERT_EQ(p.status, 0u);
    char head[64];
    std::snprintf(head, sizeof head, "NS ID 0x%08x idx 0: ", flow_id(o_.ingress));
    EXPECT_NE(p.out.find(head), std::string::npos) << p.out;
}

}  // namespace
