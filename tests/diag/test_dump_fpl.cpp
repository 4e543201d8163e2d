// zel_ip_fpl_trees_dump: every tree raw through the framework's printers
// (golden text), and a refused listing ending the dump with its messages.
// Also the fault sweeps of both tree dumps: a dump either completes or
// stops with its status, changes nothing, and leaks nothing.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dump_test_util.h"
#include "tree/zel_ip_tree.h"
#include "zel_fault_sweep.h"
#include "zel_test_fixture.h"

using namespace dumptest;
using namespace zel::ip;
using zel::test::expect_golden;
using zel::test::mask_sites;
using zel::test::ZelTest;

namespace {

const std::string kFatal = "[zel_ip_log: FATAL] FILE:LINE ";

// A few entries of every kind of tree, through the public API where it
// exists and straight into the engine where it does not yet.
void configure(zel_module_t *m, zel_sim_t *sim) {
    Planter p(sim);
    uint32_t id = 5;
    zel_ip_vrd_handle_t vrd = nullptr;
    ASSERT_EQ(zel_ip_vrd_create(m, &id, &vrd), 0u);
    zel_ip_route_params_t r{};
    r.vrd = vrd;
    r.dest = 0x0a010000;
    r.prefix_len = 16;
    r.next_hop = 0xc0000201;
    ASSERT_EQ(zel_ip_route_add(m, &r), 0u);
    ASSERT_EQ(zel_ip_vrd_mode(m, nullptr, ZEL_IP_VRD_MODE_HOST), 0u);
    p.insert(kTreeInBasicFilter, {{3, 8, 8}, {6, 8, 8}, {0x0a000000, 8, 32}, {0, 0, 32}}, 1, val(0x0d0001, 1));
    p.insert(kTreeAssocFlowFilter, {{0xd00001, 24, 24}, {0, 0, 24}, {17, 8, 8}, {0, 0, 32}, {0xc0000200, 24, 32}}, 4,
             fn(p.symbol("zel_ip.ip_association_flow_filter_drop")));
    p.insert(kTreeExtFilter, {{4, 8}}, {any(8), any(2), one(8, 6), any(32), any(32), any(16), one(16, 80)}, 2,
             val(0x0d0002, 2));
    p.insert(kTreePbr, {{2, 8}}, {any(3), any(8), any(2), one(8, 17), any(32), any(32), any(16), one(16, 53)}, 3,
             val(0xf0242c));
}

class DumpFpl : public ZelTest {
protected:
    DumpFpl() { initial_log_level_ = ZEL_LOG_ERROR; }
    Dumped dump() {
        Dumped d = capture([&] { return zel_ip_fpl_trees_dump(m_); });
        d.text = mask_sites(d.text);
        return d;
    }
};

TEST_F(DumpFpl, EveryTreeRaw) {
    configure(m_, sim_);
    Dumped d = dump();
    EXPECT_EQ(d.status, 0u);
    expect_golden("dump_fpl_trees.txt", d.text);
}

TEST_F(DumpFpl, RefusedListingEndsTheDump) {
    struct Case {
        const char *call;
        uint32_t nth;
        std::string message;
        std::string last_tree;  // the last tree printed before the failure ("" = none)
    };
    const Case cases[] = {
        {"hwe_ptn_list_ptns", 1, "RTE Error Injected fault: Failed to dump IPv4 tree for idx 0", ""},
        {"hwe_ptn_list_ptns", 34, "RTE Error Injected fault: Failed to dump IPv4 tree for idx 37",
         kTreeCatalogue[kTreeIfDscpPcp].name},
        {"hwe_ptn_otreeset_list_vrules", 1, "RTE Error Injected fault: Failed to dump Basic filter tree",
         kTreeCatalogue[kTreeLoPbrPolicySet].name},
        {"hwe_ptn_otreeset_list_vrules", 2, "RTE Error Injected fault: Failed to dump Association flow filter tree",
         kTreeCatalogue[kTreeInBasicFilter].name},
        {"hwe_ptn_ovtreeset_list_rules", 1, "RTE Error Injected fault: Failed to dump Ext filter tree",
         kTreeCatalogue[kTreeAssocFlowFilter].name},
        {"hwe_ptn_ovtreeset_list_rules", 2, "RTE Error Injected fault: Failed to dump PBR lookup tree",
         kTreeCatalogue[kTreeExtFilter].name},
    };
    configure(m_, sim_);
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth));
        fail_call(c.call, c.nth);
        Dumped d = dump();
        clear_faults();
        EXPECT_EQ(d.status, 0x1007eu);
        const std::string tail = kFatal + c.message + "\n" + kFatal + "Failed to dump IPv4 module's trees\n" + kFatal +
                                 "Tree dump failed\n" + kFatal + "Failed to dump IP FPL trees\n";
        ASSERT_GE(d.text.size(), tail.size());
        const std::string printed = d.text.substr(0, d.text.size() - tail.size());
        EXPECT_EQ(d.text.substr(printed.size()), tail) << d.text;
        std::vector<std::string> rows = zel::test::lines_of(printed);
        EXPECT_EQ(rows.empty() ? "" : rows.back().substr(0, rows.back().find(':')), c.last_tree) << d.text;
    }
}

// ---- fault sweeps ---------------------------------------------------------------

using zel::test::fault_sweep;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

// What a dump prints on a platform configured as in the sweep, no fault.
std::string reference(uint32_t (*dump)(zel_module_t *)) {
    Platform plat(nullptr);
    configure(plat.m(), plat.sim());
    return capture([&] { return dump(plat.m()); }).text;
}

void sweep(const std::string &name, uint32_t (*dump)(zel_module_t *)) {
    const std::string ref = reference(dump);
    SweepOp op;
    op.name = name;
    op.log_level = ZEL_LOG_ERROR;
    op.setup = [](SweepEnv &env) {
        zel::test::sweep_start(env);
        configure(env.m, env.sim);
    };
    op.op = [dump](SweepEnv &env) { return dump(env.m); };
    op.check = [dump, ref](SweepEnv &env, const SweepRun &run) {
        // A lock that cannot be taken: its status, nothing printed. A
        // refused listing: the dump's messages and 0x1007E, unless the
        // release fails too (a persisting fault), whose status then
        // replaces it. A release that fails after a whole dump: its status.
        const bool listing = run.hits > 0 && run.call != "zel_sys_rw_lock_wait" &&
                             run.call != "zel_sys_rw_lock_post";
        if (run.call == "zel_sys_rw_lock_wait") {
            EXPECT_EQ(run.status, 0x30000u | HWE_E_FAULT) << run.output;
            EXPECT_EQ(run.output.find("zel_ip."), std::string::npos) << run.output;
        } else if (run.call == "zel_sys_rw_lock_post" || (listing && run.persist)) {
            EXPECT_EQ(run.status, 0x10000u | HWE_E_FAULT) << run.output;
        } else if (listing) {
            EXPECT_EQ(run.status, 0x1007eu) << run.output;
        } else {
            EXPECT_EQ(run.status, 0u);
            EXPECT_EQ(run.output, ref);
        }
        if (listing) {
            EXPECT_NE(run.output.find("Failed to dump IP FPL trees"), std::string::npos) << run.output;
        } else if (run.call == "zel_sys_rw_lock_post") {
            EXPECT_EQ(run.output.substr(0, ref.size()), ref);
        }
        // The dump changed nothing: the next one prints the reference.
        Dumped again = capture([&] { return dump(env.m); });
        EXPECT_EQ(again.status, 0u);
        EXPECT_EQ(again.text, ref);
    };
    fault_sweep(op);
}

TEST(DumpFaults, TablesDumpEitherCompletesOrStops) {
    sweep("zel_ip_tables_dump", [](zel_module_t *m) { return zel_ip_tables_dump(m, ZEL_IP_TABLES_ALL); });
}

TEST(DumpFaults, FplTreesDumpEitherCompletesOrStops) { sweep("zel_ip_fpl_trees_dump", zel_ip_fpl_trees_dump); }

}  // namespace
