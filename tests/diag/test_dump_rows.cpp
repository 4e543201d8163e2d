// The table dump's row decoders: every form of every tree's rows and of
// the three rule-set decoders, with entries planted straight into the
// engine bit by bit as the entry layouts define them (no module codec
// builds them), compared as golden text. The edge cases the operators
// rely on are also asserted on their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "dump_test_util.h"
#include "tree/zel_ip_tree.h"
#include "zel_test_fixture.h"

using namespace dumptest;
using namespace zel::ip;
using zel::test::expect_golden;
using zel::test::ZelTest;

namespace {

constexpr uint32_t kIp10_0_0_0 = 0x0a000000;
constexpr uint32_t kIp192_0_2_1 = 0xc0000201;

class DumpRows : public ZelTest {
protected:
    void SetUp() override {
        ZelTest::SetUp();
        plant_ = std::make_unique<Planter>(sim_);
    }

    std::string dump(uint32_t group) {
        Dumped d = capture([&] { return zel_ip_tables_dump(m_, group); });
        EXPECT_EQ(d.status, 0u) << d.text;
        return d.text;
    }

    // Single-pattern trees: every value form, and the key forms (catch-all,
    // shortest and longest accepted keys) of each tree.
    void plant_single_pattern_trees() {
        Planter &p = *plant_;
        // 0: Block-All (function), Block-Fwd (W1 non-zero), Allow; a key
        //    that ends after the domain.
        p.learn(kTreeSrcAddr, {{5, 6}, lead(kIp10_0_0_0, 8)}, fn(p.symbol("zel_ip.invalid_src_ip_addr")));
        p.learn(kTreeSrcAddr, {{5, 6}, lead(0x0a010000, 16)}, val(1));
        p.learn(kTreeSrcAddr, {{5, 6}, lead(0x0a020000, 16)}, val(0));
        p.learn(kTreeSrcAddr, {{7, 6}}, val(0));
        // 1: host mode (function) and routing (value).
        p.learn(kTreeHostRouterMode, {{5, 6}}, fn(p.symbol("zel_ip.VRF_routing_disabled")));
        p.learn(kTreeHostRouterMode, {{6, 6}}, val(0));
        // 2: every route type in the order of precedence (No-Route wins
        //    over bit 0), DEFRAG on and off, no mask, one and all seven
        //    mask bits.
        p.learn(kTreeDestAddr, {{5, 6}, lead(kIp10_0_0_0, 8)}, val(0x4 | 0x1));
        p.learn(kTreeDestAddr, {{5, 6}, lead(0x0a010000, 16)}, val(0x10));
        p.learn(kTreeDestAddr, {{5, 6}, lead(0x0a020000, 16)}, val(0x8000));
        p.learn(kTreeDestAddr, {{5, 6}, lead(0x0a0300ff, 32)}, val(0x8));
        p.learn(kTreeDestAddr, {{5, 6}, lead(0x0a030001, 32)}, val(0x80 | 0x20 | 0x7f << 8 | 4 << 16, 7));
        p.learn(kTreeDestAddr, {{5, 6}, lead(0x0a030002, 32)}, val(0x80 | 0x10 << 8, 7));
        p.learn(kTreeDestAddr, {{5, 6}, lead(0x0a030000, 24)}, val(0x3, 7));
        p.learn(kTreeDestAddr, {{5, 6}, lead(0x0a040000, 16)}, val(0x1 | 0x40 | 0x7f << 16, 0x1234));
        p.learn(kTreeDestAddr, {{5, 6}, lead(0x0a050000, 16)}, val(0x1 | 192 << 16, 0x000201));
        p.learn(kTreeDestAddr, {{5, 6}, lead(0x0a060000, 16)}, val(0));
        p.learn(kTreeDestAddr, {{5, 6}, lead(0x0a070000, 16)}, val(0x20 | 0x04 << 8));
        p.learn(kTreeDestAddr, {{6, 6}}, val(0x1 | 192 << 16, 0x000201));
        // 3: DIP-based routing (function), tunnel, next hop, local
        //    termination without and with mask bits.
        p.learn(kTreePbrAction, {{0x101, 12}}, fn(p.symbol("zel_ip.dip_based_route_lookup")));
        p.learn(kTreePbrAction, {{0x102, 12}}, val(0x1 | 0x40 | 0x7f << 16, 0x1234));
        p.learn(kTreePbrAction, {{0x103, 12}}, val(0x1 | 192 << 16, 0x000201));
        p.learn(kTreePbrAction, {{0x104, 12}}, val(0));
        p.learn(kTreePbrAction, {{0x105, 12}}, val(0x20 | 0x14 << 8));
        // 4: a tunnel's four fields (the catch-all is a function entry).
        p.learn(kTreeTunnelIf, {{5, 6}, {47, 8}, {0xc6336401, 32}, {0xcb007101, 32}}, val(0x1234));
        // 5: packet-too-big on and off.
        p.learn(kTreeTunnelPmtu, {{100, 16}}, val(0x8000 | 1400));
        p.learn(kTreeTunnelPmtu, {{101, 16}}, val(1500));
        // 6: tunnel 3 is key 515.
        p.learn(kTreeTunnelIfId, {{515, 12}}, val(0x22));
        // 7.
        p.learn(kTreeFlowPolicing, {{0xd00001, 24}}, val(0x55));
        // 8: INTF and a 16-bit DIP; VRD, DIP, SIP, PROTO and both ports
        //    whole; a key ending inside DIP (DPORT selected, not given); a
        //    key of the MASK alone.
        p.learn(kTreeIngressAssocFlow, {{0x06, 7}, {5, 16}, lead(0x0a010000, 16)},
                val(1u << 21 | 1u << 23, 0xd00010));
        p.learn(kTreeIngressAssocFlow,
                {{0x7d, 7}, {5, 6}, {6, 8}, lead(0x0a000001, 32), {80, 16}, lead(0xc0000209, 32), {1024, 16}},
                val(1u << 20 | 1u << 22 | 3 | 4 << 8, 0xd00011));
        p.learn(kTreeIngressAssocFlow, {{0x35, 7}, {5, 6}, {17, 8}, lead(kIp10_0_0_0, 8)}, val(9, 0xd00012));
        p.learn(kTreeIngressAssocFlow, {{0x12, 7}}, fn(p.symbol("zel_ip.ip_association_default_action")));
        // 9: policing with both indexes; neither.
        p.learn(kTreeCompIngressAssocFlow, {{53, 16}, {2, 8}}, val(1u << 23 | 5 | 6 << 8, 0xd00013));
        p.learn(kTreeCompIngressAssocFlow, {{53, 16}, {3, 8}}, val(0, 0xd00014));
        // 10-12: egress associations (10.0.0.1 / 10.0.0.2 split across
        //        the words); UDP with everything set, and plain IPv4.
        p.learn(kTreeEgressAssocDip, {{0x500001, 24}}, val(0x01 | 5 << 8 | 17 << 16, 0x0a0000));
        p.learn(kTreeEgressAssocSipMtu, {{0x500001, 24}}, val(0x02 | 1400 << 8, 0x0a0000));
        p.learn(kTreeEgressAssocInfo, {{0x500001, 24}}, val(2152 << 8, 0x10 | 0x20 | 0x40 | 4789 << 8));
        p.learn(kTreeEgressAssocInfo, {{0x500002, 24}}, val(0, 0));
        // 13: to a function, to an NCA queue, to PH (handle 0xdeadbeef).
        p.learn(kTreeException, {{1, 2}, {2, 4}}, fn(p.symbol("zel_ip.test_exception_handler")));
        p.learn(kTreeException, {{0, 2}, {3, 4}}, val(0x2 | 17 << 2));
        p.learn(kTreeException, {{2, 2}, {4, 4}}, val((0xdeadbeef & 0x3fffff) << 2, 0xdeadbeefu >> 22 | 5 << 10));
        // 14.
        p.learn(kTreeBindDestFlow, {{0x500001, 24}}, val(0xd00020));
        // 15: through the traffic manager and not.
        p.learn(kTreeExceptionPathParam, {{1, 2}, {2, 4}}, val(0x30, 1));
        p.learn(kTreeExceptionPathParam, {{0, 2}, {3, 4}}, val(0x31, 0));
        // 16-19: the filter rule's CPU path; 17 by NCA and by PH (handle
        //        0xcafe1234), 19 by DSCP map (function) and by queue.
        p.learn(kTreeFilterCpuPathPolicing, {{0xd00001, 24}, {3, 4}}, val(0x77));
        p.learn(kTreeFilterCpuPathParam, {{0xd00001, 24}, {3, 4}}, val(9, 0x123456));
        p.learn(kTreeFilterCpuPathParam, {{0xd00002, 24}, {1, 4}}, val(0x1234 << 8 | 7, 0xcafe));
        p.learn(kTreeFilterCpuPathCtx, {{0xd00001, 24}, {3, 4}}, val(0x123456, 0x123456));
        p.learn(kTreeCpuPathParam, {{0xd00001, 24}, {3, 4}}, fn(p.symbol("zel_ip.use_cpu_dscp_map")));
        p.learn(kTreeCpuPathParam, {{0xd00002, 24}, {0, 4}}, val(0x40, 1));
        // 20.
        p.learn(kTreeCpuDscpQos, {{46, 8}}, val(0x41, 1));
        p.learn(kTreeCpuDscpQos, {{10, 8}}, val(0x42, 0));
        // 21: address and port translated (198.51.100.5:8080), address
        //     only, on a 48-bit and a 32-bit key.
        p.learn(kTreeNapt, {{0x0a000005, 32}, {80, 16}}, val(0x336405, 0xc6 | 8080 << 8));
        p.learn(kTreeNapt, {{0x0a000006, 32}}, val(0x336406, 0xc6));
        // 22: an interface's subnet and its 16-bit key.
        p.learn(kTreeIntfSipMtu, {{7, 16}}, val(0x09 | 9000 << 8, 0x0a0000));
        p.learn(kTreeIntfSipMtu, {{7, 16}, lead(kIp10_0_0_0, 24)}, val(0x01 | 1500 << 8, 0x0a0000));
        // 23: every ingress flag on; the others; none.
        p.learn(kTreeIntfIngressFlags, {{7, 16}}, val(0x1 | 0x4 | 0x8 | 0x20 | 0x40 | 3 << 8 | 5 << 16 | 1u << 23));
        p.learn(kTreeIntfIngressFlags, {{8, 16}}, val(0x2 | 0x10 | 1u << 22 | 63 << 16));
        p.learn(kTreeIntfIngressFlags, {{9, 16}}, val(0));
        // 24: basic filter, L3, capture on; extended filter, disabled.
        p.learn(kTreeIntfEgressFlags, {{7, 16}}, val(0x8 | 0x20 | 0x80 | 1500 << 8));
        p.learn(kTreeIntfEgressFlags, {{8, 16}}, val(0x10 | 0x40 | 9000 << 8));
        // 25: both ids, one, the other, none.
        p.learn(kTreeIntfFilterRuleSet, {{7, 16}}, val(3, 4));
        p.learn(kTreeIntfFilterRuleSet, {{8, 16}}, val(3, 0));
        p.learn(kTreeIntfFilterRuleSet, {{9, 16}}, val(0, 4));
        p.learn(kTreeIntfFilterRuleSet, {{10, 16}}, val(0, 0));
        // 26.
        p.learn(kTreeIfIngressDscpPolice, {{7, 16}}, val(2, 0x10));
        p.learn(kTreeIfIngressDscpPolice, {{8, 16}}, val(0, 0x11));
        // 27: NCA; PH (handle 0xfeed1234).
        p.learn(kTreeFlowCpuPathParam, {{0xd00001, 24}}, val(12, 1 << 16));
        p.learn(kTreeFlowCpuPathParam, {{0xd00002, 24}}, val(0xed1234, 0xfe | 9 << 8));
        // 28: a bound function; none.
        p.learn(kTreeCustomBindImcEntryFn, {{5, 8}}, fn(p.symbol("zel_ip.test_imc_function")));
        p.learn(kTreeCustomBindImcEntryFn, {{6, 8}}, val(0));
        // 29: an egress flow on a 16-bit key; bound with both indexes;
        //     with one.
        p.learn(kTreeEgressFlow, {{7, 16}}, val(0x000001));
        p.learn(kTreeEgressFlow, {{7, 16}, {kIp192_0_2_1, 32}}, val(0xd00030, 3 | 4 << 8));
        p.learn(kTreeEgressFlow, {{8, 16}, {0xc0000202, 32}}, val(0xd00031, 5));
        // 30: any TOS; TOS 184.
        p.learn(kTreeDscpQos, {{7, 16}}, val(0x50));
        p.learn(kTreeDscpQos, {{7, 16}, {184, 8}}, val(0x51));
        // 31: delivery (handle 0x11223344); traffic manager with and
        //     without a queue.
        p.learn(kTreeCaptureCpuPathParam, {{7, 16}, {0, 1}, {0, 1}}, val(0x223344, 0x11 | 6 << 8));
        p.learn(kTreeCaptureCpuPathParam, {{7, 16}, {1, 1}, {1, 1}}, val(0x60, 0x99));
        p.learn(kTreeCaptureCpuPathParam, {{8, 16}, {1, 1}, {0, 1}}, val(0, 0x98));
        // 32.
        p.learn(kTreeIfDscpPcp, {{7, 16}, {46, 8}}, val(5, 0x61));
        // 37: enabled with set 7 and with set 0 (256); 255 is disabled.
        p.learn(kTreeLoPbrPolicySet, {{5, 6}}, val(256 | 7));
        p.learn(kTreeLoPbrPolicySet, {{6, 6}}, val(256));
        p.learn(kTreeLoPbrPolicySet, {{7, 6}}, val(255));
    }

    // Rule sets on their key layouts.
    void plant_rule_sets() {
        Planter &p = *plant_;
        // 34: rule set 3 and any set; Allow with counter, Send-To-CPU by NCA
        //     with policing and DSCP remap, Deny (action type 0 reads as
        //     Deny), Send-To-CPU by PH, the default function.
        const uint32_t rs = kTreeInBasicFilter;
        p.insert(rs, {{3, 8, 8}, {6, 8, 8}, {kIp10_0_0_0, 8, 32}, {0, 0, 32}}, 1, val(0x0d0001, 1 | 0x4 | 3 << 20));
        p.insert(rs, {{0, 0, 8}, {0, 0, 8}, {0, 0, 32}, {0xc0000200, 24, 32}}, 2,
                 val(0x0d0002, 3 | 0x10 | 0x8 | 1 << 16 | 46 << 10));
        p.insert(rs, {{3, 8, 8}, {17, 8, 8}, {0, 0, 32}, {0, 0, 32}}, 3, val(0x0d0003, 0));
        p.insert(rs, {{3, 8, 8}, {17, 8, 8}, {0, 0, 32}, {0, 0, 32}}, 4, val(0x0d0004, 3 | 15 << 20));
        p.insert(rs, {{3, 8, 8}, {0, 0, 8}, {0, 0, 32}, {0, 0, 32}}, 5,
                 fn(p.symbol("zel_ip.ip_filter_unknown_ruleset")));
        // 36: TCP with ports; IGMP (a type, no code); the protocol range
        //     6-17 (no port columns although both carry ports); ICMP type
        //     and code; GRE.
        const uint32_t ext = kTreeExtFilter;
        auto ext_rule = [&](uint32_t idx, zel_rptn_t proto, zel_rptn_t sport, zel_rptn_t dport) {
            p.insert(ext, {{4, 8}}, {span(8, 8, 11), any(2), proto, span(32, 0x0a000000, 0x0affffff), any(32), sport, dport},
                     idx, val(0x0d0010 + idx, 1));
        };
        ext_rule(1, one(8, 6), any(16), one(16, 80));
        ext_rule(2, one(8, 2), one(16, 17), any(16));
        ext_rule(3, span(8, 6, 17), one(16, 1000), one(16, 2000));
        ext_rule(4, one(8, 1), one(16, 8), one(16, 0));
        ext_rule(5, one(8, 47), any(16), any(16));
        // 33: policy set 2 with ranges, and any set with the default.
        p.insert(kTreePbr, {{2, 8}},
                 {any(3), any(8), one(2, 0), one(8, 17), span(32, 0x0a000000, 0x0affffff), any(32), any(16), one(16, 53)},
                 1, val(0xf0242c));
        p.insert(kTreePbr, {}, {any(3), span(8, 0, 63), any(2), any(8), any(32), any(32), any(16), any(16)}, 2,
                 fn(p.symbol("zel_ip.dip_based_route_lookup")));
    }

    std::unique_ptr<Planter> plant_;
};

TEST_F(DumpRows, EveryFormOfEveryTree) {
    plant_single_pattern_trees();
    plant_rule_sets();
    expect_golden("dump_rows.txt", dump(ZEL_IP_TABLES_ALL));
}

// The rows an operator reads most, each on its own.
TEST_F(DumpRows, EdgeCases) {
    plant_single_pattern_trees();
    plant_rule_sets();
    const std::string d = dump(ZEL_IP_TABLES_ALL);
    const auto has = [&](uint32_t tree, const std::string &row) {
        std::vector<std::string> rows = rows_of(d, tree);
        EXPECT_NE(std::find(rows.begin(), rows.end(), row), rows.end()) << "tree " << tree << ": " << row;
    };
    // Tree 8 keyed by INTF and a 16-bit DIP prefix.
    has(kTreeIngressAssocFlow, "|INTF|DIP|, NA, 0x00000005, NA, 10.1.0.0/16, NA, NA, NA, Send-to-CPU, 0xd00010, ON, OFF, NA, NA");
    // Protocol range 6-17: no port columns.
    has(kTreeExtFilter, "4, 3, 8-11, 0-3, 6-17, 10.0.0.0-10.255.255.255, 0.0.0.0-255.255.255.255, *, *, 0x0d0013, 0, "
                        "Allow, NA, Disabled, Disabled, Disabled, NA");
    // Egress capture on.
    has(kTreeIntfEgressFlags, "0x000007, Basic, L3, Enabled, Enabled, 1500");
    // No-Route wins over the forward bit.
    has(kTreeDestAddr, "5, 10.0.0.0/8, No-Route, NA, NA, NA, NA");
    // 256 enables policy set 0; 255 is disabled.
    has(kTreeLoPbrPolicySet, "6, Enabled, 0");
    has(kTreeLoPbrPolicySet, "7, Disabled, NA");
}

// The engine reports a learnt /0 besides its catch-all: one row per tree,
// and the next tree prints its own catch-all again.
TEST_F(DumpRows, CatchAllReportedTwicePrintsOnce) {
    plant_->learn(kTreeFlowPolicing, {}, val(0x42));
    plant_->learn(kTreeFlowPolicing, {{0xd00001, 24}}, val(0x55));
    Dumped d = capture([&] { return zel_ip_tables_dump(m_, ZEL_IP_TABLES_INGRESS); });
    ASSERT_EQ(d.status, 0u);
    EXPECT_EQ(rows_of(d.text, kTreeFlowPolicing),
              (std::vector<std::string>{"IP-FLOW-ID, POLICE-FLOW-ID", "*, 0x000042", "0xd00001, 0x000055"}));
    EXPECT_EQ(rows_of(d.text, kTreeCompIngressAssocFlow).size(), 2u);  // header and catch-all
    // The raw dump keeps the same rule.
    Dumped raw = capture([&] { return zel_ip_fpl_trees_dump(m_); });
    ASSERT_EQ(raw.status, 0u);
    const std::string lead = std::string(kTreeCatalogue[kTreeFlowPolicing].name) + ": ";
    size_t rows = 0;
    for (const std::string &l : zel::test::lines_of(raw.text)) rows += l.compare(0, lead.size(), lead) == 0;
    EXPECT_EQ(rows, 2u) << raw.text;
}

}  // namespace
