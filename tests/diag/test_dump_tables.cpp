// zel_ip_tables_dump: which trees each group prints and in which order,
// the group and handle checks, the error markers of every decoder (golden
// text), and a refused listing ending the dump with its messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/zel_ip_dump_internal.h"
#include "dump_test_util.h"
#include "tree/zel_ip_tree.h"
#include "zel_test_fixture.h"

using namespace dumptest;
using namespace zel::ip;
using zel::test::expect_golden;
using zel::test::lines_of;
using zel::test::mask_sites;
using zel::test::ZelTest;

namespace {

const std::string kErr = "[zel_ip_log: ERROR] FILE:LINE ";
const std::string kFatal = "[zel_ip_log: FATAL] FILE:LINE ";

class DumpTables : public ZelTest {
protected:
    DumpTables() { initial_log_level_ = ZEL_LOG_ERROR; }
    void SetUp() override {
        ZelTest::SetUp();
        plant_ = std::make_unique<Planter>(sim_);
    }
    Dumped dump(uint32_t group) {
        Dumped d = capture([&] { return zel_ip_tables_dump(m_, group); });
        d.text = mask_sites(d.text);
        return d;
    }
    std::vector<std::string> names(std::initializer_list<uint32_t> trees) {
        std::vector<std::string> out;
        for (uint32_t t : trees) out.push_back(kTreeCatalogue[t].name);
        return out;
    }
    std::unique_ptr<Planter> plant_;
};

// The groups as the operators' documentation lists them: single-pattern
// trees in index order, then the basic filter, extended filter and policy
// route rule sets.
TEST_F(DumpTables, EachGroupPrintsItsTreesInOrder) {
    struct Case {
        uint32_t group;
        std::vector<std::string> trees;
    };
    const Case cases[] = {
        {0x001, names({22, 23, 24, 25, 26, 31})},
        {0x002, names({2, 3, 21, 37, 33})},
        {0x004, names({7, 8, 9, 14, 19, 27})},
        {0x008, names({14, 29})},
        {0x010, names({10, 11, 12})},
        {0x020, names({4, 5, 6})},
        {0x040, names({1})},
        {0x080, names({8, 9, 14, 28, 29})},
        {0x100, names({20, 30, 32})},
        {0x200, names({13, 15})},
        {0x400, names({0, 16, 17, 18, 19, 34, 36})},
        {0x006, names({2, 3, 7, 8, 9, 14, 19, 21, 27, 37, 33})},
        {0x402, names({0, 2, 3, 16, 17, 18, 19, 21, 37, 34, 36, 33})},
        // Every tree but the association flow filter, which is in no group.
        {0x7ff, names({0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18,
                       19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 37, 34, 36, 33})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "group 0x" << std::hex << c.group);
        Dumped d = dump(c.group);
        EXPECT_EQ(d.status, 0u);
        EXPECT_EQ(headers_of(d.text), c.trees) << d.text;
    }
}

// A fresh module: every tree's header and catch-all row.
TEST_F(DumpTables, FreshModule) {
    Dumped d = dump(ZEL_IP_TABLES_ALL);
    EXPECT_EQ(d.status, 0u);
    expect_golden("dump_tables_fresh.txt", d.text);
}

TEST_F(DumpTables, GroupOutsideTheRangeIsRefused) {
    for (uint32_t group : {0u, 0x800u, 0xfffu, 0xffffffffu}) {
        SCOPED_TRACE(group);
        Dumped d = dump(group);
        EXPECT_EQ(d.status, 0x30008u);
        EXPECT_EQ(d.text, kErr + "Invalid table group " + std::to_string(static_cast<int>(group)) + "\n");
    }
}

TEST_F(DumpTables, BadModuleHandles) {
    using Dump = uint32_t (*)(zel_module_t *);
    const Dump dumps[] = {
        [](zel_module_t *m) { return zel_ip_tables_dump(m, ZEL_IP_TABLES_ALL); },
        zel_ip_fpl_trees_dump,
        zel_ip_defrag_se_states_dump,
    };
    zel_module_t not_a_module{};
    for (Dump call : dumps) {
        Dumped null_handle = capture([&] { return call(nullptr); });
        EXPECT_EQ(null_handle.status, 0x30001u);
        EXPECT_EQ(mask_sites(null_handle.text), "[zel_unknown_log: ERROR] FILE:LINE Invalid module handle 0x00000000\n");
        Dumped foreign = capture([&] { return call(&not_a_module); });
        EXPECT_EQ(foreign.status, 0x30001u);
    }
    stop();
    for (Dump call : dumps) {
        Dumped after = capture([&] { return call(m_); });
        EXPECT_EQ(after.status, 0x30001u);
        EXPECT_EQ(after.text.find("zel_ip."), std::string::npos) << "printed a dump: " << after.text;
        EXPECT_NE(after.text.find("Invalid IPv4 module handle"), std::string::npos);
    }
}

// Keys of lengths the layouts refuse, action kinds a tree does not use
// (with and without the leading blank), tree-8 fields cut short, and a
// tree-15 value that is neither through the traffic manager nor not.
TEST_F(DumpTables, MarkersOfUndecodableEntries) {
    Planter &p = *plant_;
    const hwe_action_t f = fn(p.symbol("zel_ip.test_imc_function"));
    p.learn(kTreeDestAddr, {{5, 3}}, val(1));
    p.learn(kTreeDestAddr, {{5, 6}, lead(0x0a000000, 8)}, f);
    p.learn(kTreeTunnelIf, {{5, 6}, {47, 4}}, val(1));
    p.learn(kTreeTunnelPmtu, {{100, 16}}, f);
    p.learn(kTreeIngressAssocFlow, {{0x05, 7}, {1, 3}}, val(0));
    p.learn(kTreeIngressAssocFlow, {{0x06, 7}, {0x12, 10}}, val(0));
    p.learn(kTreeIngressAssocFlow, {{0x11, 7}, {1, 6}, {3, 4}}, val(0));
    p.learn(kTreeIngressAssocFlow, {{0x35, 7}, {1, 6}, {6, 8}, {0x0a000001, 32}, {0, 8}}, val(0));
    p.learn(kTreeIngressAssocFlow, {{0x7d, 7}, {1, 6}, {6, 8}, {1, 32}, {80, 16}, {2, 32}, {1, 15}}, val(0));
    p.learn(kTreeIngressAssocFlow, {{0x00, 7}, {1, 1}}, val(0));
    p.learn(kTreeExceptionPathParam, {{1, 2}, {2, 4}}, val(0x30, 2));
    p.learn(kTreeFilterCpuPathParam, {{0xd00001, 24}, {3, 4}}, f);
    p.learn(kTreeNapt, {{0x0a000005, 32}, {1, 8}}, val(0));
    p.learn(kTreeCaptureCpuPathParam, {{7, 16}, {0, 1}, {1, 1}}, f);
    p.learn(kTreeEgressFlow, {{7, 16}, {1, 8}}, val(0));
    Dumped d = dump(ZEL_IP_TABLES_ALL);
    EXPECT_EQ(d.status, 0u);
    expect_golden("dump_markers.txt", d.text);
    // The three shapes of the return marker, on their own.
    EXPECT_EQ(rows_of(d.text, kTreeDestAddr)[2], "5, 10.0.0.0/8!!Unexpected Return!!");
    EXPECT_EQ(rows_of(d.text, kTreeTunnelPmtu)[2], "100 !!Unexpected Return!!");
    EXPECT_EQ(rows_of(d.text, kTreeFilterCpuPathParam)[2], "0xd00001, 3!!Unexpected Return!!");
}

// The key parser failing: each tree's parse marker; catch-all rows need no
// parsing and still print.
TEST_F(DumpTables, MarkersOfKeysThatCannotBeParsed) {
    Planter &p = *plant_;
    p.learn(kTreeDestAddr, {{5, 6}, lead(0x0a000000, 8)}, val(1));
    p.learn(kTreeIngressAssocFlow, {{0x06, 7}, {5, 16}, lead(0x0a010000, 16)}, val(0));
    p.learn(kTreeCompIngressAssocFlow, {{53, 16}, {2, 8}}, val(0));
    p.learn(kTreeNapt, {{0x0a000005, 32}, {80, 16}}, val(0));
    p.learn(kTreeIntfSipMtu, {{7, 16}, lead(0x0a000000, 24)}, val(0));
    p.learn(kTreeEgressFlow, {{7, 16}}, val(1));
    p.insert(kTreeInBasicFilter, {{3, 8, 8}, {6, 8, 8}, {0, 0, 32}, {0, 0, 32}}, 1, val(1, 1));
    p.insert(kTreeInBasicFilter, {{0, 0, 8}, {6, 8, 8}, {0, 0, 32}, {0, 0, 32}}, 2, val(1, 1));
    p.insert(kTreeExtFilter, {{4, 8}}, {any(8), any(2), any(8), any(32), any(32), any(16), any(16)}, 1, val(1, 1));
    fail_call("zel_ptn_parse", 1, 0, true);
    Dumped d = dump(ZEL_IP_TABLES_ROUTE | ZEL_IP_TABLES_BIND | ZEL_IP_TABLES_INTERFACE | ZEL_IP_TABLES_FILTER);
    clear_faults();
    EXPECT_EQ(d.status, 0u);
    expect_golden("dump_parse_errors.txt", d.text);
}

// Rules whose shape the layouts refuse, on trees without a key layout in
// the engine (which then accept any shape).
TEST(DumpRuleSets, MarkersOfUndecodableRules) {
    zel_sim_image_t *img = zel_sim_image_default();
    for (uint32_t t : {kTreePbr, kTreeInBasicFilter, kTreeExtFilter})
        ASSERT_EQ(zel_sim_image_set_fields(img, kTreeCatalogue[t].name, 0, nullptr), 0);
    Platform plat(img);
    zel_sim_image_free(img);
    Planter p(plat.sim());
    // Basic filter: three patterns, a 4-bit rule set, a 4-bit protocol.
    p.insert(kTreeInBasicFilter, {{3, 8, 8}, {6, 8, 8}, {0, 0, 32}}, 1, val(1, 1));
    p.insert(kTreeInBasicFilter, {{3, 4, 8}, {6, 8, 8}, {0, 0, 32}, {0, 0, 32}}, 2, val(1, 1));
    p.insert(kTreeInBasicFilter, {{3, 8, 8}, {6, 4, 8}, {0, 0, 32}, {0, 0, 32}}, 3, val(1, 1));
    // Extended filter: six ranges, a 3-bit rule set, then one range of a
    // wrong width each (ports only matter for a single port protocol).
    const zel_rptn_t good[] = {any(8), any(2), one(8, 6), any(32), any(32), any(16), any(16)};
    p.insert(kTreeExtFilter, {{4, 8}}, {any(8), any(2), any(8), any(32), any(32), any(16)}, 1, val(1, 1));
    p.insert(kTreeExtFilter, {{4, 3}}, {good[0], good[1], good[2], good[3], good[4], good[5], good[6]}, 2, val(1, 1));
    const zel_rptn_t bad[] = {any(6), any(3), one(16, 6), any(16), any(24), any(8), any(8)};
    for (uint32_t i = 0; i < 7; ++i) {
        zel_rptn_t r[7];
        std::copy(std::begin(good), std::end(good), r);
        r[i] = bad[i];
        if (i == 6) r[2] = one(8, 17);
        p.insert(kTreeExtFilter, {{5, 8}}, {r[0], r[1], r[2], r[3], r[4], r[5], r[6]}, 10 + i, val(1, 1));
    }
    p.insert(kTreeExtFilter, {{5, 8}}, {good[0], good[1], span(8, 6, 17), good[3], good[4], any(8), any(8)}, 20,
             val(1, 1));
    // Policy routes: seven ranges, a 5-bit policy set, one range of a wrong
    // width each.
    const zel_rptn_t pgood[] = {any(3), any(8), any(2), any(8), any(32), any(32), any(16), any(16)};
    const zel_rptn_t pbad[] = {any(4), any(6), any(1), any(16), any(8), any(24), any(8), any(12)};
    p.insert(kTreePbr, {{2, 8}}, {pgood[0], pgood[1], pgood[2], pgood[3], pgood[4], pgood[5], pgood[6]}, 1, val(1));
    p.insert(kTreePbr, {{2, 5}}, {pgood[0], pgood[1], pgood[2], pgood[3], pgood[4], pgood[5], pgood[6], pgood[7]}, 2,
             val(1));
    for (uint32_t i = 0; i < 8; ++i) {
        zel_rptn_t r[8];
        std::copy(std::begin(pgood), std::end(pgood), r);
        r[i] = pbad[i];
        p.insert(kTreePbr, {{3, 8}}, {r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]}, 10 + i, val(1));
    }
    Dumped d = capture([&] { return zel_ip_tables_dump(plat.m(), ZEL_IP_TABLES_ROUTE | ZEL_IP_TABLES_FILTER); });
    EXPECT_EQ(d.status, 0u);
    std::string rules;
    for (uint32_t t : {kTreeInBasicFilter, kTreeExtFilter, kTreePbr})
        for (const std::string &r : rows_of(d.text, t)) rules += r + "\n";
    expect_golden("dump_rule_markers.txt", rules);
}

// Action kinds no listing produces (the engine reports value entries as
// kind 0 and functions as kind 1) still get their markers.
TEST(DumpRuleSets, UnexpectedActionKinds) {
    const hwe_action_t odd{2, 1, 1};
    zel_ptn_t set_key{nullptr, 8, 0};
    const zel_rptn_t ext[] = {any(8), any(2), any(8), any(32), any(32), any(16), any(16)};
    const zel_rptn_t pbr[] = {any(3), any(8), any(2), any(8), any(32), any(32), any(16), any(16)};
    zel_ptn_t fields[4] = {{nullptr, 8, 0}, {nullptr, 8, 0}, {nullptr, 32, 0}, {nullptr, 32, 0}};
    const zel_vptn_t basic{4, fields};
    diag::Line a, b, c;
    diag::ip_in_basic_filter_entry_dump(a.text, 1, &basic, &odd);
    diag::ip_ext_filter_entry_dump(b.text, 1, &set_key, 7, ext, &odd);
    diag::ip_pbr_lookup_entry_dump(c.text, 1, &set_key, 8, pbr, &odd);
    EXPECT_STREQ(a.text.c_str(), "*, 1, *, *.*.*.*, *.*.*.*, !!Unexpected Return!!");
    EXPECT_STREQ(b.text.c_str(),
                 "*, 1, 0-255, 0-3, 0-255, 0.0.0.0-255.255.255.255, 0.0.0.0-255.255.255.255, *, *, "
                 "!!Unexpected Return!!");
    EXPECT_STREQ(c.text.c_str(),
                 "*, 1, 0-7, 0-255, 0-3, 0-255, 0.0.0.0-255.255.255.255, 0.0.0.0-255.255.255.255, 0-65535, "
                 "0-65535, !!Unexpected Return Type!!");
    // The single-pattern dispatcher has nothing to say about other trees.
    char out[16] = "unchanged";
    for (uint32_t tree : {33u, 34u, 35u, 36u, 38u, 1000u}) EXPECT_EQ(zel_ipv4_table_entry_dump(tree, nullptr, nullptr, out, sizeof out), 0u);
}

// A listing the engine refuses ends the dump after the tree's header, with
// the tree's message, the walk's and the call's, and status 0x1007E.
TEST_F(DumpTables, RefusedListingEndsTheDump) {
    struct Case {
        uint32_t group;
        const char *call;
        uint32_t nth;
        std::string message;
        std::vector<std::string> headers;  // printed before the failure
    };
    const Case cases[] = {
        {ZEL_IP_TABLES_ROUTE, "hwe_ptn_list_ptns", 1, "RTE Error Injected fault: Failed to dump IPv4 tree for idx 2",
         names({2})},
        {ZEL_IP_TABLES_ROUTE, "hwe_ptn_list_ptns", 4, "RTE Error Injected fault: Failed to dump IPv4 tree for idx 37",
         names({2, 3, 21, 37})},
        {ZEL_IP_TABLES_FILTER, "hwe_ptn_otreeset_list_vrules", 1,
         "RTE Error Injected fault: Failed to dump Basic filter table", names({0, 16, 17, 18, 19, 34})},
        {ZEL_IP_TABLES_FILTER, "hwe_ptn_ovtreeset_list_rules", 1,
         "RTE Error Injected fault: Failed to dump Extended filter table", names({0, 16, 17, 18, 19, 34, 36})},
        {ZEL_IP_TABLES_ROUTE, "hwe_ptn_ovtreeset_list_rules", 1,
         "RTE Error Injected fault: Failed to dump PBR lookup tree", names({2, 3, 21, 37, 33})},
        {ZEL_IP_TABLES_ROUTE | ZEL_IP_TABLES_FILTER, "hwe_ptn_ovtreeset_list_rules", 2,
         "RTE Error Injected fault: Failed to dump PBR lookup tree",
         names({0, 2, 3, 16, 17, 18, 19, 21, 37, 34, 36, 33})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth));
        fail_call(c.call, c.nth);
        Dumped d = dump(c.group);
        clear_faults();
        EXPECT_EQ(d.status, 0x1007eu);
        EXPECT_EQ(headers_of(d.text), c.headers) << d.text;
        const std::string tail = kFatal + c.message + "\n" + kFatal + "Failed to dump IPv4 module's trees\n" + kFatal +
                                 "Tree dump failed\n" + kFatal + "Failed to dump IP FPL trees\n";
        ASSERT_GE(d.text.size(), tail.size());
        EXPECT_EQ(d.text.substr(d.text.size() - tail.size()), tail) << d.text;
        // Nothing was changed: the next dump prints everything.
        EXPECT_EQ(dump(c.group).status, 0u);
    }
}

}  // namespace
