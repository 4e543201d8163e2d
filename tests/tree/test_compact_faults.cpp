// Fault sweep over the compaction request, with and without the progress
// callback: every engine and framework call inside it fails in turn (the
// engine's compaction, the callback's release and re-take of the module
// lock, the framework's turn, the skeleton's lock calls), once and from
// then on. Each run reports the documented status and message, records
// where the next request resumes (the tree that failed), and leaves the
// module lock free and the module able to compact again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/zel_ip_priv.h"
#include "core/zel_ip_status_internal.h"
#include "zel_engine_probe.h"
#include "zel_fault_sweep.h"
#include "zel_ip/zel_ip.h"
#include "zel_test_fixture.h"

using namespace zel::ip;
using zel::test::kFault;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

// Mask 0x2: the wide trees carrying flag 0x2, in index order.
constexpr uint32_t kMask = 0x2;
const std::vector<uint32_t> kOrder = {0, 4, 22, 29};

ZelIpPriv &priv(SweepEnv &env) { return *static_cast<ZelIpPriv *>(env.m->priv); }

// Indexes of the trees compacted to the end since the engine started.
std::vector<uint32_t> completed(SweepEnv &env) {
    hwe_engine_t *eng = zel_sim_engine(env.sim);
    std::vector<uint32_t> out;
    for (uint64_t i = 0; i < zel_sim_engine_compaction_count(eng); ++i) {
        zel_sim_compaction_t c{};
        EXPECT_EQ(zel_sim_engine_compaction_get(eng, i, &c), 0);
        if (c.status != 0) continue;
        for (uint32_t t : kOrder)
            if (zel::test::tree_id(eng, t) == c.tree_id) out.push_back(t);
    }
    return out;
}

bool has(const SweepRun &run, const std::string &text) { return run.output.find(text) != std::string::npos; }

void check(SweepEnv &env, const SweepRun &run) {
    const std::vector<uint32_t> done = completed(env);
    ASSERT_LE(done.size(), kOrder.size());
    ZelIpPriv &p = priv(env);
    if (run.hits == 0) {
        EXPECT_EQ(run.status, 0u) << run.output;
        EXPECT_EQ(done, kOrder);
        EXPECT_EQ(p.compacting_tree, 0u);
        EXPECT_EQ(p.compaction_status, 0u);
        return;
    }
    // The trees before the failing one were compacted, in order.
    EXPECT_EQ(done, std::vector<uint32_t>(kOrder.begin(), kOrder.begin() + static_cast<long>(done.size())));
    const bool skeleton_lock = run.nth == 1 && run.call == "zel_sys_rw_lock_wait";
    const bool pass_done = done.size() == kOrder.size();
    if (skeleton_lock) {
        // Nothing happened.
        EXPECT_EQ(run.status, error(kFault)) << run.output;
        EXPECT_TRUE(has(run, "Failed to acquire IP module rw write lock")) << run.output;
        EXPECT_TRUE(done.empty());
        EXPECT_EQ(p.compacting_tree, 0u);
        return;
    }
    if (pass_done) {
        // Only the final release failed.
        EXPECT_EQ(run.status, fatal(kFault)) << run.output;
        EXPECT_TRUE(has(run, "Failed to release IP module rw lock")) << run.output;
        EXPECT_EQ(p.compacting_tree, 0u);
        EXPECT_EQ(p.compaction_status, 0u);
        return;
    }
    const uint32_t failed = kOrder[done.size()];
    EXPECT_TRUE(has(run, "Failed to compact IPv4 tree " + std::string(zel_sif_fps_map(zel::test::tree_id(
                                                               zel_sim_engine(env.sim), failed)))))
        << run.output;
    if (run.status == error(kFault)) {
        // Persisting: the callback and then the request could not take the
        // lock back; the block was not touched, so the tree stays named
        // under compaction (a change to it clears that).
        EXPECT_TRUE(run.persist) << run.output;
        EXPECT_TRUE(has(run, "Failed to acquire IP module rw write lock")) << run.output;
        EXPECT_EQ(p.compacting_tree, zel::test::tree_id(zel_sim_engine(env.sim), failed));
        p.compacting_tree = 0;
    } else {
        // Stopped with 0x30043 (with the final release failing too under a
        // persisting fault); resumable at the tree that failed.
        EXPECT_EQ(run.status, run.persist ? fatal(kFault) : error(ZEL_E_COMPACT)) << run.output;
        EXPECT_EQ(p.compacting_tree, 0u);
        EXPECT_EQ(p.compaction_status, failed);
        if (run.call == "zel_sys_rw_lock_post") {
            EXPECT_TRUE(has(run, "Failed to release IP module rw lock")) << run.output;
        }
    }
    // The module compacts again, from the tree that failed.
    zel::test::StdoutCapture quiet;
    EXPECT_EQ(zel_ip_compact_func(zel_sim_sys_ctx(env.sim), kMask, env.m, 1), 0u) << quiet.text();
    EXPECT_EQ(p.compacting_tree, 0u);
    EXPECT_EQ(p.compaction_status, 0u);
}

TEST(CompactFaults, EveryCallOfTheRequestFails) {
    for (uint32_t use_callback : {1u, 0u}) {
        SweepOp op;
        op.name = use_callback ? "compact with callback" : "compact";
        op.log_level = ZEL_LOG_ERROR;
        op.op = [use_callback](SweepEnv &env) {
            return zel_ip_compact_func(zel_sim_sys_ctx(env.sim), kMask, env.m, use_callback);
        };
        op.check = check;
        const zel::test::SweepResult r = zel::test::fault_sweep(op);
        // With the callback: per tree the engine call, the release, the
        // framework's turn and the re-take all fail somewhere.
        if (use_callback) {
            EXPECT_GE(r.faulted_runs_once, 2 + 4 * kOrder.size());
        } else {
            EXPECT_EQ(r.faulted_runs_once, 2 + kOrder.size());
        }
    }
}

}  // namespace
