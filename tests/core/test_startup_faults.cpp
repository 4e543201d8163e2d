// Every platform call of start-up and shutdown, failed in turn (fault
// sweep): the documented message and status, what stays behind, and that
// the module can be started or shut down again once the fault is gone.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "zel_fault_sweep.h"
#include "zel_test_fixture.h"

using zel::test::fault_sweep;
using zel::test::StdoutCapture;
using zel::test::status_text;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

constexpr uint32_t kFault = HWE_E_FAULT;  // what a failing call returns

const char *const kCreatedPools[] = {"zel_ipv4_vrd_ids", "zel_ipv4_filter_rule_set_ids",
                                     "zel_ipv4_pbr_policy_set_ids", "zel_ipv4_egress_flow_ids"};

// A failure of a platform call: the n-th call of `call` (0: any) gives
// `status` and prints `message` (a prefix of its line).
struct Failure {
    const char *call;
    uint64_t nth;
    uint32_t status;
    const char *message;
};

// A message ending in ", " carries the engine's text of the failing status.
std::string expected_line(const char *msg) {
    std::string m = msg;
    if (m.size() >= 2 && m.compare(m.size() - 2, 2, ", ") == 0)
        m += std::string("RTE Error: ") + hwe_status_get(kFault) + "\n";
    return m;
}

const Failure *find_failure(const Failure *table, size_t n, const SweepRun &run) {
    for (size_t i = 0; i < n; ++i)
        if (run.call == table[i].call && (table[i].nth == 0 || table[i].nth == run.call_count))
            return &table[i];
    return nullptr;
}

bool up(const SweepEnv &env) { return zel_ipv4_valid_handle(env.m) == 1; }

// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------

// Calls whose failure stops start-up with a fixed message (the catalogue's
// are checked separately: their message names the index).
const Failure kStartupFailures[] = {
    {"zel_sys_rw_lock_wait", 0, 0x301fa, "Failed to acquire IP module rw write lock\n"},
    {"hwe_nvm_calloc", 0, 0x10012, "Failed to allocate memory\n"},
    {"zel_module_service_function_register", 0, 0x101fa, "Failed to register the service functions\n"},
    {"zel_sif_compact_register", 0, kFault, "Failed to register IP compaction function\n"},
    {"hwe_rsrc_create", 1, 0x1001a, "Failed to create VRD ID resources resource handle, "},
    {"hwe_rsrc_create", 2, 0x1001a, "Failed to create Filter Rule Set ID Resource Handle, "},
    {"hwe_rsrc_create", 3, 0x1001a, "Failed to create Filter Rule Set ID Resource Handle, "},
    {"hwe_rsrc_create", 4, 0x1001a, "Failed to Create Egress Filter Rule Set ID Resource Handle, "},
    {"hwe_rsrc_allocate_fixed", 1, 0x1001d, "Failed to Reserve Default Routing Domain ID, "},
    {"hwe_rsrc_allocate_fixed", 2, 0x1001d, "Failed to Allocate NS IDs for Global Stats, "},
    {"hwe_rsrc_find", 1, 0x10019, "Failed to find Namespace Resource for Ingress Association State, "},
    {"hwe_rsrc_find", 2, 0x10019, "Failed to find Namespace Resource for Egress Association State, "},
    {"hwe_rsrc_find", 3, 0x10019, "Failed to find Namespace Resource for PBR Rule Stats, "},
    {"hwe_rsrc_find", 4, 0x10019, "Failed to find Namespace Resource for Filter Rule State, "},
    {"hwe_rsrc_find", 5, 0x10019, "Failed to find Namespace Resource for Interface Stats, "},
    {"hwe_rsrc_find", 6, 0x10019, "Failed to find Namespace Resource for MTM Shared  Param Idx, "},
    {"hwe_rsrc_allocate", 1, 0x1001d, "Failed to Allocate NS ID for Default Encap Flow Id, "},
    {"hwe_se_state_set", 1, 0x1002c, "Failed to clear stats, "},
    {"hwe_sed_param_set", 1, 0x1007f, "Failed to write SED params, "},
};

// Catalogue calls: the tree or flow function named by index.
struct CatalogueFailure {
    const char *call;
    uint32_t status;
    const char *message;  // the catalogue's own line
};
const CatalogueFailure kCatalogueFailures[] = {
    {"hwe_ptn_symbol_get_id", 0x3f, "Failed to return ID for "},
    {"zel_ptn_new", 0x12, "Failed to allocate memory for input patternn\n"},
    {"hwe_subnet_create", 0x3a, "Failed to create subnet database\n"},
    {"hwe_subnet_add_subnet", 0x3c, "Failed to add default input pattern to subnet\n"},
};

// A failed start-up leaves the module without a block and the engine as it
// was; the block is gone from platform memory.
void expect_nothing_left(SweepEnv &env) {
    EXPECT_EQ(env.m->priv, nullptr);
    StdoutCapture quiet;
    EXPECT_EQ(zel_ip_log_level_set(env.m, 3), 0x30001u);
    EXPECT_EQ(zel_ip_log_enable(env.m, 3), 0x30001u);
    EXPECT_EQ(zel_ip_log_disable(env.m, 3), 0x30001u);
    EXPECT_EQ(zel_ip_shutdown(env.m), 0x30001u);
    hwe_engine_t *eng = zel_sim_engine(env.sim);
    for (const char *pool : kCreatedPools) EXPECT_FALSE(zel_sim_engine_ns_exists(eng, pool)) << pool;
    EXPECT_EQ(zel_sim_engine_ns_in_use(eng, "ip_if_stats"), 0u);
    EXPECT_EQ(zel_sim_engine_ns_in_use(eng, "ip_egress_assoc"), 0u);
}

TEST(StartupFaults, EveryPlatformCallOfStartup) {
    uint64_t mem_base = 0;
    int refused_releases = 0;  // persisting faults that hit the unwinding too
    std::set<int> flow_fn_indexes, tree_indexes;
    SweepOp op;
    op.name = "zel_ip_init";
    op.setup = [&](SweepEnv &) { mem_base = zel_sim_mem_in_use(); };
    op.op = [](SweepEnv &env) { return zel_ip_init(env.m); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        SCOPED_TRACE("failing call " + run.call + " #" + std::to_string(run.call_count) + "\n" +
                     run.output);
        if (run.hits == 0) {
            EXPECT_EQ(run.status, 0u);
            return;
        }
        const std::string &out = run.output;
        if (run.call == "zel_sys_rw_lock_post") {
            // Start-up completed; only the release failed.
            EXPECT_EQ(run.status, 0x101fau);
            EXPECT_NE(out.find("Failed to release IP module rw lock\n"), std::string::npos);
            EXPECT_TRUE(up(env));
            return;
        }
        if (!run.persist && (run.call == "hwe_ptn_fn_stats" || run.call == "zel_sif_max_subnet_entry_sz_get")) {
            // Only the memory report suffers: a warning, and start-up goes on.
            EXPECT_EQ(run.status, 0u);
            EXPECT_NE(out.find(run.call == "hwe_ptn_fn_stats" ? "Failed to get tree mem info\n"
                                                               : "Failed to get subnet entry size for "),
                      std::string::npos);
            EXPECT_TRUE(up(env));
            return;
        }
        ASSERT_NE(run.status, 0u);
        EXPECT_FALSE(up(env));
        if (!run.persist) {
            // The documented message, then the text of the returned status.
            if (const Failure *f = find_failure(kStartupFailures, std::size(kStartupFailures), run)) {
                EXPECT_EQ(run.status, f->status);
                EXPECT_NE(out.find(expected_line(f->message) + "[zel_ip_log"), std::string::npos);
                EXPECT_NE(out.find(status_text(env, run.status) + "\n"), std::string::npos);
            } else {
                bool known = false;
                for (const CatalogueFailure &c : kCatalogueFailures) {
                    if (run.call != c.call) continue;
                    known = true;
                    EXPECT_EQ(run.status, c.status);
                    EXPECT_NE(out.find(c.message), std::string::npos);
                }
                ASSERT_TRUE(known) << "unexpected failing call";
                std::smatch mm;
                static const std::regex idx(R"(Failed to get FPL (Flow Func|tree) [Ii]nfo for idx (\d+)\n)");
                ASSERT_TRUE(std::regex_search(out, mm, idx));
                (mm[1] == "tree" ? tree_indexes : flow_fn_indexes).insert(std::stoi(mm[2]));
            }
        }
        // Nothing of the attempt remains on the engine or in memory...
        if (!run.persist) {
            expect_nothing_left(env);
            EXPECT_EQ(zel_sim_mem_in_use(), mem_base);
        }
        // ...and a retry succeeds (after a persisting fault too: what the
        // engine refused to release then is released first).
        if (run.persist && out.find("Resources of the failed start-up are still held by the engine\n") !=
                               std::string::npos)
            ++refused_releases;
        StdoutCapture quiet;
        EXPECT_EQ(zel_ip_init(env.m), 0u) << quiet.text();
    };
    auto result = fault_sweep(op);
    EXPECT_GT(result.faulted_runs_once, 150u);
    EXPECT_GT(refused_releases, 0);
    // Every flow function and every tree was a failure point.
    EXPECT_EQ(flow_fn_indexes.size(), 23u);
    EXPECT_EQ(tree_indexes.size(), 38u);
}

// ---------------------------------------------------------------------------
// Shutdown
// ---------------------------------------------------------------------------

const Failure kShutdownFailures[] = {
    {"zel_sys_rw_lock_wait", 0, 0x301fa, "Failed to acquire IP module rw write lock\n"},
    {"hwe_subnet_destroy", 0, 0x1003b, "Failed to destroy subnet database for zel_ip."},
    {"zel_ptn_clear", 0, 0x101fa, "Could not build the default input pattern\n"},
    {"hwe_ptn_unlearn_any", 0, 0x10042, "Failed to unlearn all patterns from tree zel_ip."},
    {"zel_ptn_free", 0, 0x101fa, "Failed to clear FPL tree info for idx "},
    {"hwe_rsrc_free", 1, 0x1001d, "Failed to free NS ID for global stats, "},
    {"hwe_rsrc_free", 2, 0x1001d, "Failed to free NS ID for default Encap Flow Id, "},
    {"hwe_rsrc_free", 3, 0x1001d, "Failed to free-up the default routing domain ID, "},
    {"hwe_rsrc_destroy", 1, 0x1001b, "Failed to destroy NS RSRC for VRD IDs IDs, "},
    {"hwe_rsrc_destroy", 2, 0x1001b, "Failed to destroy NS RSRC for rule set IDs, "},
    {"hwe_rsrc_destroy", 3, 0x1001b, "Failed to destroy NS RSRC for egress rule set IDs, "},
    {"hwe_rsrc_destroy", 4, 0x1001b, "Failed to destroy NS RSRC for PBR policy set IDs, "},
};

TEST(StartupFaults, EveryPlatformCallOfShutdown) {
    SweepOp op;
    op.name = "zel_ip_shutdown";
    op.op = [](SweepEnv &env) { return zel_ip_shutdown(env.m); };
    op.check = [](SweepEnv &env, const SweepRun &run) {
        SCOPED_TRACE("failing call " + run.call + " #" + std::to_string(run.call_count) + "\n" +
                     run.output);
        hwe_engine_t *eng = zel_sim_engine(env.sim);
        if (run.hits > 0 && run.call == "zel_sys_rw_lock_post") {
            EXPECT_EQ(run.status, 0x101fau);  // the work was done
            EXPECT_FALSE(up(env));
        } else if (run.hits > 0) {
            ASSERT_NE(run.status, 0u);
            // The block stays attached and valid.
            EXPECT_TRUE(up(env));
            if (!run.persist) {
                const Failure *f = find_failure(kShutdownFailures, std::size(kShutdownFailures), run);
                ASSERT_NE(f, nullptr) << "unexpected failing call";
                EXPECT_EQ(run.status, f->status);
                EXPECT_NE(run.output.find(expected_line(f->message)), std::string::npos);
                EXPECT_NE(run.output.find(status_text(env, run.status) + "\n"), std::string::npos);
            }
            // A second shutdown completes what the first left, touching
            // nothing twice (the engine refuses a second release).
            StdoutCapture quiet;
            EXPECT_EQ(zel_ip_shutdown(env.m), 0u) << quiet.text();
            EXPECT_FALSE(up(env));
        } else {
            EXPECT_EQ(run.status, 0u);
        }
        for (const char *pool : kCreatedPools) EXPECT_FALSE(zel_sim_engine_ns_exists(eng, pool)) << pool;
        EXPECT_EQ(zel_sim_engine_ns_in_use(eng, "ip_if_stats"), 0u);
        EXPECT_EQ(zel_sim_engine_ns_in_use(eng, "ip_egress_assoc"), 0u);
        // Start-up works again on the same engine.
        StdoutCapture quiet;
        EXPECT_EQ(zel_ip_init(env.m), 0u) << quiet.text();
    };
    auto result = fault_sweep(op);
    EXPECT_GT(result.faulted_runs_once, 100u);
}

}  // namespace
