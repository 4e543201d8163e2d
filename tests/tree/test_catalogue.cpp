// The FPL tree catalogue: index bounds, what each tree record holds after
// start-up (resolved ids, subnet databases), the memory report's expected
// entries, an image missing a symbol, and teardown.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <map>
#include <regex>
#include <string>

#include "core/zel_ip_priv.h"
#include "tree/zel_ip_hw_internal.h"
#include "tree/zel_ip_tree.h"
#include "zel_test_fixture.h"

using namespace zel::ip;
using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

class Catalogue : public ZelTest {
protected:
    ZelIpPriv &priv() { return *static_cast<ZelIpPriv *>(m_->priv); }
    hwe_engine_t *eng() { return zel_sim_engine(sim_); }
    uint32_t symbol(const char *name) {
        uint32_t id = 0;
        EXPECT_EQ(zel_sim_engine_symbol_id(eng(), name, &id), 0) << name;
        return id;
    }
};

TEST_F(Catalogue, IndexesPastTheCatalogueAreRefused) {
    m_->log_level = ZEL_LOG_ERROR;
    FlowFuncRecord fn{};
    fn.id = 0x1234;
    TreeRecord tree{};
    StdoutCapture out;
    EXPECT_EQ(zel_ip_get_fpl_flow_func_info(m_, 23, &fn), 8u);
    EXPECT_EQ(zel_ipv4_get_tree_info(m_, 38, &tree), 8u);
    EXPECT_EQ(zel_ipv4_update_tree_info(m_, 38, &tree), 8u);
    EXPECT_EQ(mask_sites(out.text()),
              "[zel_ip_log: ERROR] FILE:LINE Invalid FPL flow function\n"
              "[zel_ip_log: ERROR] FILE:LINE Invalid parameter\n"
              "[zel_ip_log: ERROR] FILE:LINE Invalid FPL Tree function 38\n"
              "[zel_ip_log: ERROR] FILE:LINE Invalid parameter\n"
              "[zel_ip_log: ERROR] FILE:LINE Invalid FPL Tree function 38\n"
              "[zel_ip_log: ERROR] FILE:LINE Invalid parameter\n");
    EXPECT_EQ(fn.id, 0x1234u);  // untouched
    // The refused tree record is reset, not left half-filled.
    EXPECT_EQ(tree.width, 0u);
    EXPECT_EQ(tree.tree_flags, 0x404u);

    // The last valid index of each table.
    ASSERT_EQ(zel_ip_get_fpl_flow_func_info(m_, 22, &fn), 0u);
    EXPECT_STREQ(fn.name, "zel_ip.VRF_routing_disabled");
    EXPECT_EQ(fn.id, symbol("zel_ip.VRF_routing_disabled"));
}

// The lookups are exported and may be handed a module that cannot be
// followed: a refused index is reported in the anonymous form, a good
// index with a bad module is the skeleton's bad-handle refusal.
TEST_F(Catalogue, ABadModuleIsNeverFollowed) {
    zel_module_t fake{};
    fake.magic = 0x12345678;
    for (zel_module_t *bad : {static_cast<zel_module_t *>(nullptr), &fake}) {
        SCOPED_TRACE(bad ? "foreign object" : "NULL");
        FlowFuncRecord fn{};
        TreeRecord tree{};
        StdoutCapture out;
        EXPECT_EQ(zel_ip_get_fpl_flow_func_info(bad, 23, &fn), 8u);
        EXPECT_EQ(zel_ipv4_get_tree_info(bad, 38, &tree), 8u);
        EXPECT_EQ(zel_ipv4_update_tree_info(bad, 40, &tree), 8u);
        EXPECT_EQ(zel_ip_get_fpl_flow_func_info(bad, 0, nullptr), 8u);
        EXPECT_EQ(zel_ip_get_fpl_flow_func_info(bad, 0, &fn), 0x30001u);
        EXPECT_EQ(zel_ipv4_get_tree_info(bad, 0, &tree), 0x30001u);
        EXPECT_EQ(zel_ipv4_update_tree_info(bad, 0, &tree), 0u);  // reads only the catalogue
        char handle[32];
        std::snprintf(handle, sizeof handle, "0x%08" PRIxPTR, reinterpret_cast<uintptr_t>(bad));
        EXPECT_EQ(mask_sites(out.text()),
                  "[zel_unknown_log: ERROR] FILE:LINE Invalid FPL flow function\n"
                  "[zel_unknown_log: ERROR] FILE:LINE Invalid FPL Tree function 38\n"
                  "[zel_unknown_log: ERROR] FILE:LINE Invalid FPL Tree function 40\n"
                  "[zel_unknown_log: ERROR] FILE:LINE Invalid FPL flow function\n"
                  "[zel_unknown_log: ERROR] FILE:LINE Invalid module handle " + std::string(handle) + "\n"
                  "[zel_unknown_log: ERROR] FILE:LINE Invalid module handle " + std::string(handle) + "\n");
        EXPECT_EQ(tree.key.bits, nullptr);  // nothing was made for a module that is not there
    }
}

// Records after start-up: function default actions call the resolved
// function; only the rule-set trees are not listable; LPM trees have a
// database one bit wider than the key holding the default action under
// the empty key and nothing else.
TEST_F(Catalogue, TreeRecordsAfterStartup) {
    struct FnDefault {
        uint32_t tree;
        const char *function;
    };
    const FnDefault fn_defaults[] = {
        {kTreePbrAction, "zel_ip.dip_based_route_lookup"},
        {kTreeTunnelIf, "zel_ip.unknown_tunnel_if_id"},
        {kTreeIngressAssocFlow, "zel_ip.ip_association_default_action"},
        {kTreeException, "zel_ip.ip_exception_drop_pkts"},
        {kTreeIntfSipMtu, "zel_ip.ip_interface_default_action"},
        {kTreeInBasicFilter, "zel_ip.ip_filter_unknown_ruleset"},
        {kTreeAssocFlowFilter, "zel_ip.ip_association_flow_filter_drop"},
    };
    for (const FnDefault &f : fn_defaults) {
        const hwe_action_t &a = priv().trees[f.tree].default_action;
        EXPECT_EQ(a.kind, HWE_ACTION_FUNC) << f.tree;
        EXPECT_EQ(a.w1, symbol(f.function)) << f.tree;
    }
    for (uint32_t i = 0; i < kNumTrees; ++i) {
        const TreeRecord &t = priv().trees[i];
        const bool rule_set = i >= 33 && i <= 36;
        EXPECT_EQ(t.listable, rule_set ? 0 : 1) << i;
        EXPECT_EQ(t.width == 0, rule_set) << i;
        EXPECT_EQ(t.key.bits == nullptr, rule_set) << i;
        EXPECT_NE(t.tree_flags, 0u) << i;
    }

    struct Lpm {
        uint32_t tree;
        uint32_t db_width;
    };
    const Lpm lpm_trees[] = {{kTreeSrcAddr, 39}, {kTreeDestAddr, 39}, {kTreeIngressAssocFlow, 118},
                             {kTreeEgressFlow, 49}, {kTreeIfDscpPcp, 25}};
    uint32_t lpm_count = 0;
    for (uint32_t i = 0; i < kNumTrees; ++i) lpm_count += priv().trees[i].lpm;
    EXPECT_EQ(lpm_count, 5u);
    for (const Lpm &l : lpm_trees) {
        SCOPED_TRACE("tree " + std::to_string(l.tree));
        TreeRecord &t = priv().trees[l.tree];
        ASSERT_EQ(t.lpm, 1);
        ASSERT_NE(t.subnet_db, nullptr);
        EXPECT_EQ(zel_sim_subnet_count(t.subnet_db), 1u);
        ASSERT_EQ(key_build(t, {}), 0u);
        t.key.len = 1;  // the empty key, one bit longer
        hwe_action_t a{};
        EXPECT_EQ(zel_sim_subnet_get(t.subnet_db, &t.key, &a), 0u);
        EXPECT_EQ(a.kind, t.default_action.kind);
        EXPECT_EQ(a.w1, t.default_action.w1);
        EXPECT_EQ(a.w2, t.default_action.w2);
        // Keys up to the database's width are its own, one bit more is not.
        t.key.len = l.db_width;
        EXPECT_EQ(zel_sim_subnet_get(t.subnet_db, &t.key, &a), HWE_E_NOT_FOUND);
        t.key.len = l.db_width + 1;
        EXPECT_EQ(zel_sim_subnet_get(t.subnet_db, &t.key, &a), HWE_E_KEY);
        t.key.len = 0;
    }
}

// Expected entries of the memory report: the catalogue's figure, or 2^width
// up to width 6, 100 for wider trees and 500 for the rule-set tree without
// a figure.
TEST_F(Catalogue, ReportedExpectedEntries) {
    stop();
    m_->log_level = ZEL_LOG_INFO;
    StdoutCapture out;
    ASSERT_EQ(zel_ip_init(m_), 0u);
    std::map<std::string, int> expected;
    static const std::regex line(R"((zel_ip\.\w+): (?:Width \d+, InitTableSize \d+, )?Expected Entries (\d+)\n)");
    const std::string text = out.text();
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
        expected[(*it)[1]] = std::stoi((*it)[2]);
    EXPECT_EQ(expected.size(), 38u);
    const std::pair<const char *, int> cases[] = {
        {"zel_ip.Check_host_router_mode", 64},           // width 6, computed
        {"zel_ip.ip_lo_pbr_policy_set_lookup", 64},      // width 6, computed
        {"zel_ip.ip_napt_lookup", 100},                  // width 48, computed
        {"zel_ip.ip_custom_bind_imc_entry_fn_lookup", 100},
        {"zel_ip.ip_capture_cpu_path_param_lookup", 100},
        {"zel_ip.ip_ingress_association_flow_filter", 500},  // rule-set tree
        {"zel_ip.ip_exception_lookup", 18},              // width 6, but a figure is given
        {"zel_ip.ip_dest_addr_lookup", 3176},
        {"zel_ip.ip_pbr_lookup", 528},
    };
    for (const auto &c : cases) EXPECT_EQ(expected[c.first], c.second) << c.first;
}

// A symbol missing from the engine image stops start-up with 63 and names
// what is missing; nothing of the attempt remains.
TEST(CatalogueImage, MissingSymbolFailsStartupNamingIt) {
    struct Case {
        const char *missing;
        const char *catalogue_line;
        const char *startup_line;
    };
    const Case cases[] = {
        {"zel_ip.ip_napt_lookup", "Failed to return ID for the FPL tree function zel_ip.ip_napt_lookup\n",
         "Failed to get FPL tree info for idx 21\n"},
        {"zel_ip.use_cpu_dscp_map", "Failed to return ID for FPL flow function zel_ip.use_cpu_dscp_map\n",
         "Failed to get FPL Flow Func Info for idx 20\n"},
        {"zel_ip.unknown_tunnel_if_id",
         "Failed to return ID for the FPL flow function zel_ip.unknown_tunnel_if_id\n",
         "Failed to get FPL tree info for idx 4\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.missing);
        zel_sim_image_t *image = zel_sim_image_default();
        ASSERT_EQ(zel_sim_image_remove(image, c.missing), 0);
        zel_sim_t *sim = zel_sim_create(image);
        zel_sim_image_free(image);
        ASSERT_NE(sim, nullptr);
        zel_module_t *m = zel_sim_module_new(sim, "zel_ip", ZEL_LOG_ERROR, 1);
        const uint64_t mem = zel_sim_mem_in_use();
        StdoutCapture out;
        EXPECT_EQ(zel_ip_init(m), 0x3fu);
        const std::string text = mask_sites(out.text());
        const std::string not_found = hwe_status_get(HWE_E_NOT_FOUND);
        EXPECT_NE(text.find("[zel_ip_log: ERROR] FILE:LINE RTE Error: " + not_found + ", " + c.catalogue_line),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find(std::string("[zel_ip_log: FATAL] FILE:LINE ") + c.startup_line), std::string::npos)
            << text;
        EXPECT_EQ(m->priv, nullptr);
        EXPECT_EQ(zel_sim_mem_in_use(), mem);
        EXPECT_FALSE(zel_sim_engine_ns_exists(zel_sim_engine(sim), "zel_ipv4_vrd_ids"));
        zel_sim_module_free(m);
        zel_sim_destroy(sim);
    }
}

// Teardown empties the tree back to its default action and, when the tree
// is under compaction, tells the compaction it changed.
TEST_F(Catalogue, TeardownEmptiesTheTreeAndClearsCompactingTree) {
    TreeRecord &dest = priv().trees[kTreeDestAddr];
    hwe_action_t route{HWE_ACTION_VALUE, 1, 0x000201};
    ASSERT_EQ(ZRULE(m_, dest, kRuleLearn, route, "learn", {63, 6}, prefix_field(0x0a000000, 8)), 0u);

    priv().compacting_tree = priv().trees[kTreeNapt].id;  // another tree
    ASSERT_EQ(zel_ipv4_del_fpl_tree_info(m_, &priv().trees[kTreeCustomBindImcEntryFn]), 0u);
    EXPECT_EQ(priv().compacting_tree, priv().trees[kTreeNapt].id);

    priv().compacting_tree = dest.id;
    ASSERT_EQ(zel_ipv4_del_fpl_tree_info(m_, &dest), 0u);
    EXPECT_EQ(priv().compacting_tree, 0u);
    EXPECT_EQ(dest.lpm, 0);
    EXPECT_EQ(dest.subnet_db, nullptr);
    EXPECT_EQ(dest.key.bits, nullptr);
    EXPECT_EQ(zel_sim_engine_entry_count(eng(), dest.id), 0u);
    const uint32_t values[] = {63, 0x0a010203}, widths[] = {6, 32};
    hwe_action_t a{};
    uint32_t depth = 99;
    ASSERT_EQ(zel_sim_engine_lookup_fields(eng(), dest.id, 2, values, widths, &a, &depth), 0u);
    EXPECT_EQ(a.kind, HWE_ACTION_VALUE);
    EXPECT_EQ(a.w1, 4u);  // No-Route
    EXPECT_EQ(depth, 0u);
    // Shutdown does not tear the same trees down again.
    stop();
    EXPECT_EQ(mem_delta(), 0);
}

}  // namespace
