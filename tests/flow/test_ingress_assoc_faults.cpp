// Every platform call of ingress association create and delete failed in
// turn (fault sweep), once and persisting: the documented status and
// message, no leaked memory, and a module that keeps working. A failed
// create leaves nothing in trees 7, 8, 9, 16 to 19 and 27 and returns its
// id (unless withdrawing failed as well), so it can be repeated; a delete
// that failed partway keeps the association and completes when repeated.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "assoc_test_util.h"
#include "zel_fault_sweep.h"
#include "zel_test_fixture.h"

using namespace assoctest;
using zel::test::fault_sweep;
using zel::test::kFault;
using zel::test::StdoutCapture;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

hwe_engine_t *eng(SweepEnv &env) { return zel_sim_engine(env.sim); }

uint32_t quietly(const std::function<uint32_t()> &fn) {
    StdoutCapture quiet;
    return fn();
}

// Associations that take every step: a Send-to-CPU one with its CPU path,
// a traffic-manager queue and policing; a Discard one keyed by a prefix
// (its entry falls back to a covering one when removed).
struct Variant {
    const char *name;
    zel_ip_ingress_assoc_params_t p;
};
std::vector<Variant> variants(SweepEnv &env) {
    zel_ip_ingress_assoc_params_t cpu = assoc(0x34, ZEL_IP_ASSOC_SEND_TO_CPU);
    cpu.dip = ip(192, 0, 2, 1);
    cpu.dip_prefix_len = 32;
    cpu.proto = 6;
    cpu.dport = 179;
    cpu.cpu_kind = ZEL_IP_CPU_PATH_NCA;
    cpu.cpu_target = 7;
    cpu.mtm_queue = zel_sim_qos_queue_new(env.sim, 0x33);
    cpu.policing = 1;
    cpu.policer = zel_sim_qos_policer_new(env.sim, 0x99);
    zel_ip_ingress_assoc_params_t drop = assoc(0x04);
    drop.dip = ip(203, 0, 113, 0);
    drop.dip_prefix_len = 24;
    return {{"send-to-cpu", cpu}, {"discard", drop}};
}

// The status of a run whose first failing call is `call`.
uint32_t documented(const std::string &call, bool create) {
    using zel::ip::error;
    using zel::ip::fatal;
    static const std::map<std::string, uint32_t> create_st = {
        {"zel_qos_policing_flow_id_get", error(kFault)},
        {"hwe_nvm_calloc", 0x10012},
        {"hwe_rsrc_allocate", 0x3001d},
        {"hwe_se_state_set", 0x1002c},
        {"hwe_ptn_learn", 0x10040},
        {"hwe_subnet_add_subnet", 0x1003c},
        {"hwe_subnet_del_subnet", 0x1003d},
        {"zel_qos_queue_id_get", fatal(kFault)},
    };
    static const std::map<std::string, uint32_t> delete_st = {
        {"hwe_ptn_unlearn", 0x10041},
        {"hwe_subnet_find_higher_subnet", 0x1003e},
        {"hwe_subnet_del_subnet", 0x1003d},
        {"hwe_subnet_add_subnet", 0x1003c},
        {"hwe_rsrc_free", 0x1001e},
    };
    const auto &table = create ? create_st : delete_st;
    auto it = table.find(call);
    if (it == table.end()) {
        ADD_FAILURE() << "no documented status for a failing " << call;
        return 0;
    }
    return it->second;
}

// The run reported its failure: a build failure with severity 1, the
// others their documented status; the message is one of `msgs`.
void expect_reported(const SweepRun &run, bool create, const std::vector<std::string> &msgs) {
    if (run.call == "zel_ptn_clear" || run.call == "zel_ptn_extend") {
        EXPECT_EQ(ZEL_IP_SEVERITY(run.status), ZEL_IP_SEV_FATAL) << run.output;
    } else if (!run.persist) {
        EXPECT_EQ(run.status, documented(run.call, create)) << run.call << "\n" << run.output;
    } else {
        EXPECT_NE(run.status, 0u);
    }
    bool found = false;
    for (const std::string &m : msgs) found = found || run.output.find(m) != std::string::npos;
    EXPECT_TRUE(found) << run.call << "\n" << run.output;
}

// What a failed create may say, one of them per faulted run.
const std::vector<std::string> &create_failures() {
    static const std::vector<std::string> msgs = {
        "Failed to retrieve policing flow ID",         "Failed to allocate mem for flow data structure",
        "Failed to allocate ingress namespace flow ID", "Failed to Clear state engine memory",
        "Failed to add PH path attributes in hardware", "Failed to program the MTM queue ID",
        "Failed to add LPM rule in hardware",           "Failed to add ingress association rule in hardware",
        "Could not build the input pattern",            "Failed to build input pattern",
    };
    return msgs;
}

TEST(IngressAssocFaults, Create) {
    const std::vector<std::string> &msgs = create_failures();
    for (int v = 0; v < 2; ++v) {
        State baseline;
        uint64_t blocks = 0;
        zel_ip_ingress_assoc_params_t p{};
        zel_ip_flow_handle_t out = nullptr;
        SweepOp op;
        op.name = std::string("zel_ip_ingress_association_create ") + (v ? "discard" : "send-to-cpu");
        op.setup = [&](SweepEnv &env) {
            zel::test::sweep_start(env);
            p = variants(env)[v].p;
            // One association made and deleted first: the module's key
            // index exists from then on.
            zel_ip_flow_handle_t f = nullptr;
            EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_create(env.m, &p, &f); }), 0u);
            EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_delete(env.m, f); }), 0u);
            baseline = state(eng(env));
            blocks = zel_sim_mem_blocks();
            out = reinterpret_cast<zel_ip_flow_handle_t>(&out);
        };
        op.op = [&](SweepEnv &env) { return zel_ip_ingress_association_create(env.m, &p, &out); };
        op.check = [&](SweepEnv &env, const SweepRun &run) {
            if (run.hits == 0 || run.call == "zel_sys_rw_lock_post") {  // created
                EXPECT_EQ(run.status, run.hits ? zel::ip::fatal(kFault) : 0u) << run.output;
                ASSERT_NE(out, nullptr);
                EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_delete(env.m, out); }), 0u);
                EXPECT_EQ(state(eng(env)), baseline);
                return;
            }
            EXPECT_EQ(out, nullptr);
            EXPECT_EQ(zel_sim_mem_blocks(), blocks);  // the record is freed
            if (run.call == "zel_sys_rw_lock_wait") {
                EXPECT_EQ(run.status, zel::ip::error(kFault));
            } else {
                expect_reported(run, true, msgs);
            }
            if (!run.persist) {
                EXPECT_EQ(state(eng(env)), baseline);  // everything taken was withdrawn
            }
            // The module works: the same create succeeds (over anything a
            // failed withdrawal left) and its delete leaves the engine as
            // the withdrawal did.
            const State left = state(eng(env));
            zel_ip_flow_handle_t f = nullptr;
            EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_create(env.m, &p, &f); }), 0u);
            EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_delete(env.m, f); }), 0u);
            if (!run.persist) {
                EXPECT_EQ(state(eng(env)), left);
            }
        };
        const auto r = fault_sweep(op);
        EXPECT_GT(r.faulted_runs_once, 8u);
    }
}

TEST(IngressAssocFaults, Delete) {
    const std::vector<std::string> msgs = {
        "Failed to remove ingress association rule from hardware", "Failed to remove LPM rule from hardware",
        "Failed to remove PH path attributes from hardware",       "Failed to remove the MTM queue ID config",
        "Failed to free ingress namespace flow ID",                "Could not build the input pattern",
        "Failed to build input pattern",
    };
    for (int v = 0; v < 2; ++v) {
        State baseline;
        zel_ip_flow_handle_t h = nullptr;
        SweepOp op;
        op.name = std::string("zel_ip_ingress_association_delete ") + (v ? "discard" : "send-to-cpu");
        op.setup = [&](SweepEnv &env) {
            zel::test::sweep_start(env);
            const zel_ip_ingress_assoc_params_t p = variants(env)[v].p;
            baseline = state(eng(env));
            EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_create(env.m, &p, &h); }), 0u);
        };
        op.op = [&](SweepEnv &env) { return zel_ip_ingress_association_delete(env.m, h); };
        op.check = [&](SweepEnv &env, const SweepRun &run) {
            if (run.hits == 0) {
                EXPECT_EQ(run.status, 0u) << run.output;
            } else if (run.call == "zel_sys_rw_lock_post") {
                EXPECT_EQ(run.status, zel::ip::fatal(kFault)) << run.output;  // deleted all the same
            } else {
                if (run.call == "zel_sys_rw_lock_wait") {
                    EXPECT_EQ(run.status, zel::ip::error(kFault));
                } else {
                    expect_reported(run, false, msgs);
                }
                // Still an association; repeating the delete completes it.
                EXPECT_TRUE(zel_ipv4_flow_valid_handle(h));
                EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_delete(env.m, h); }), 0u);
            }
            EXPECT_FALSE(zel_ipv4_flow_valid_handle(h));
            EXPECT_EQ(state(eng(env)), baseline);
        };
        const auto r = fault_sweep(op);
        EXPECT_GT(r.faulted_runs_once, 4u);
    }
}

// The module's first Send-to-CPU association also makes the module's
// tables it needs (the key index, the bitmap of ids holding a tree-19
// entry): each failing in turn fails the create cleanly, and the next
// create makes what is missing.
TEST(IngressAssocFaults, FirstSendToCpuCreate) {
    std::vector<std::string> msgs = create_failures();
    msgs.push_back("Failed to allocate memory for the CPU path of flow key");
    State baseline;
    zel_ip_ingress_assoc_params_t p{};
    zel_ip_flow_handle_t out = nullptr;
    bool bitmap_failed = false;  // a run failed making the bitmap
    SweepOp op;
    op.name = "zel_ip_ingress_association_create, the module's first to the CPU";
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        p = variants(env)[0].p;
        baseline = state(eng(env));
        out = nullptr;
    };
    op.op = [&](SweepEnv &env) { return zel_ip_ingress_association_create(env.m, &p, &out); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        if (out) {
            EXPECT_TRUE(run.hits == 0 || run.call == "zel_sys_rw_lock_post") << run.call << "\n" << run.output;
            EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_delete(env.m, out); }), 0u);
        } else if (run.call == "zel_sys_rw_lock_wait") {
            EXPECT_EQ(run.status, zel::ip::error(kFault));
        } else {
            expect_reported(run, true, msgs);
            bitmap_failed = bitmap_failed || run.output.find("for the CPU path of flow key") != std::string::npos;
        }
        if (!run.persist) {
            EXPECT_EQ(state(eng(env)), baseline) << run.call << "\n" << run.output;
        }
        zel_ip_flow_handle_t f = nullptr;
        EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_create(env.m, &p, &f); }), 0u);
        EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_delete(env.m, f); }), 0u);
    };
    EXPECT_GT(fault_sweep(op).faulted_runs_once, 8u);
    EXPECT_TRUE(bitmap_failed);
}

}  // namespace
