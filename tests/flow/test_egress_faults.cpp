// Every platform call of egress association and egress flow create and
// delete failed in turn (fault sweep), once and persisting: the documented
// status and message, no leaked memory, and a module that keeps working.
// A failed create leaves nothing in trees 10, 11, 12 and 29 and returns
// its id (unless withdrawing failed as well); a delete that failed partway
// keeps the flow and completes when repeated.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "egress_test_util.h"
#include "zel_fault_sweep.h"
#include "zel_test_fixture.h"

using namespace egresstest;
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

// The status of a single-fault run whose failing call is `call`.
uint32_t documented(const std::string &call, bool create) {
    using zel::ip::error;
    static const std::map<std::string, uint32_t> create_st = {
        {"hwe_nvm_calloc", 0x10012},       {"hwe_rsrc_allocate", 0x3001d},
        {"hwe_se_state_set", 0x1002c},     {"hwe_sed_param_set", 0x1007f},
        {"hwe_ptn_learn", 0x10040},        {"hwe_subnet_add_subnet", 0x1003c},
        {"hwe_subnet_del_subnet", 0x1003d},
    };
    static const std::map<std::string, uint32_t> delete_st = {
        {"hwe_ptn_unlearn", 0x10041},       {"hwe_subnet_find_higher_subnet", 0x1003e},
        {"hwe_subnet_del_subnet", 0x1003d}, {"hwe_subnet_add_subnet", 0x1003c},
        {"hwe_rsrc_free", 0x1001e},
    };
    if (call == "zel_sys_rw_lock_wait") return error(kFault);
    const auto &table = create ? create_st : delete_st;
    auto it = table.find(call);
    if (it == table.end()) {
        ADD_FAILURE() << "no documented status for a failing " << call;
        return 0;
    }
    return it->second;
}

void expect_reported(const SweepRun &run, bool create, const std::vector<std::string> &msgs) {
    if (run.call == "zel_ptn_clear" || run.call == "zel_ptn_extend") {
        EXPECT_EQ(ZEL_IP_SEVERITY(run.status), ZEL_IP_SEV_FATAL) << run.output;
    } else if (!run.persist || run.call == "zel_sys_rw_lock_wait") {
        EXPECT_EQ(run.status, documented(run.call, create)) << run.call << "\n" << run.output;
    } else {
        EXPECT_EQ(run.status, zel::ip::fatal(kFault)) << run.output;  // the release failed too
    }
    if (run.call == "zel_sys_rw_lock_wait") return;
    bool found = false;
    for (const std::string &m : msgs) found = found || run.output.find(m) != std::string::npos;
    EXPECT_TRUE(found) << run.call << "\n" << run.output;
}

// One create sweep: `setup_more` makes what the create needs (and one
// create and delete of the kind first, so module tables exist);
// `create` / `remove` run the calls.
struct CreateSweep {
    std::string name;
    std::vector<std::string> msgs;
    std::function<void(SweepEnv &)> setup_more;
    std::function<uint32_t(SweepEnv &, zel_ip_flow_handle_t *)> create;
    std::function<uint32_t(SweepEnv &, zel_ip_flow_handle_t)> remove;
};

void run_create_sweep(const CreateSweep &s, uint32_t min_faulted) {
    State baseline;
    uint64_t blocks = 0;
    zel_ip_flow_handle_t out = nullptr;
    SweepOp op;
    op.name = s.name;
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        s.setup_more(env);
        zel_ip_flow_handle_t f = nullptr;
        EXPECT_EQ(quietly([&] { return s.create(env, &f); }), 0u);
        EXPECT_EQ(quietly([&] { return s.remove(env, f); }), 0u);
        baseline = state(eng(env));
        blocks = zel_sim_mem_blocks();
        out = reinterpret_cast<zel_ip_flow_handle_t>(&out);
    };
    op.op = [&](SweepEnv &env) { return s.create(env, &out); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        if (run.hits == 0 || run.call == "zel_sys_rw_lock_post") {  // created
            EXPECT_EQ(run.status, run.hits ? zel::ip::fatal(kFault) : 0u) << run.output;
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(quietly([&] { return s.remove(env, out); }), 0u);
            EXPECT_EQ(state(eng(env)), baseline);
            return;
        }
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(zel_sim_mem_blocks(), blocks);  // the record is freed
        expect_reported(run, true, s.msgs);
        const State left = state(eng(env));
        if (!run.persist) {
            EXPECT_EQ(left, baseline);  // everything taken was withdrawn and given back
        } else if (!(left == baseline)) {
            // Only a withdrawal that failed as well keeps the id, and says so.
            EXPECT_NE(run.output.find("the ID stays taken"), std::string::npos) << run.output;
        }
        // The module works: the same create succeeds and its delete
        // leaves the engine as the failed create did.
        zel_ip_flow_handle_t f = nullptr;
        EXPECT_EQ(quietly([&] { return s.create(env, &f); }), 0u);
        EXPECT_EQ(quietly([&] { return s.remove(env, f); }), 0u);
        if (!run.persist) {
            EXPECT_EQ(state(eng(env)), left);
        }
    };
    const auto r = fault_sweep(op);
    EXPECT_GE(r.faulted_runs_once, min_faulted) << s.name;
}

struct DeleteSweep {
    std::string name;
    std::vector<std::string> msgs;
    std::function<void(SweepEnv &)> setup_more;
    std::function<uint32_t(SweepEnv &, zel_ip_flow_handle_t *)> create;
    std::function<uint32_t(SweepEnv &, zel_ip_flow_handle_t)> remove;
};

void run_delete_sweep(const DeleteSweep &s, uint32_t min_faulted) {
    State baseline;
    zel_ip_flow_handle_t h = nullptr;
    SweepOp op;
    op.name = s.name;
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        s.setup_more(env);
        baseline = state(eng(env));
        EXPECT_EQ(quietly([&] { return s.create(env, &h); }), 0u);
    };
    op.op = [&](SweepEnv &env) { return s.remove(env, h); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        if (run.hits == 0) {
            EXPECT_EQ(run.status, 0u) << run.output;
        } else if (run.call == "zel_sys_rw_lock_post") {
            EXPECT_EQ(run.status, zel::ip::fatal(kFault)) << run.output;  // deleted all the same
        } else {
            expect_reported(run, false, s.msgs);
            // Still a flow; repeating the delete completes it.
            EXPECT_TRUE(zel_ipv4_flow_valid_handle(h));
            EXPECT_EQ(quietly([&] { return s.remove(env, h); }), 0u);
        }
        EXPECT_FALSE(zel_ipv4_flow_valid_handle(h));
        EXPECT_EQ(state(eng(env)), baseline);
    };
    const auto r = fault_sweep(op);
    EXPECT_GE(r.faulted_runs_once, min_faulted) << s.name;
}

const std::vector<std::string> kAssocCreateMsgs = {
    "Failed to allocate mem for flow data structure", "Failed to allocate egress association flow ID",
    "Failed to Clear state engine memory",            "Failed to write SED params",
    "Failed to add egress association rule in hardware", "Could not build the input pattern",
};
const std::vector<std::string> kAssocDeleteMsgs = {
    "Failed to remove egress association rule from hardware", "Failed to free egress association flow ID",
    "Could not build the input pattern",
};
const std::vector<std::string> kFlowCreateMsgs = {
    "Failed to allocate mem for flow data structure",
    "Failed to allocate egress flow ID",
    "Failed to program the hardware with egress flow, classification rule",
    "Failed to build the pattern",
};
const std::vector<std::string> kFlowDeleteMsgs = {
    "Failed to remove egress flow classification rule, from hardware",
    "Failed to free egress flow ID",
    "Failed to build the pattern",
};

// A UDP encapsulation in a created domain: every step of create.
std::shared_ptr<zel_ip_egress_assoc_params_t> assoc_params() {
    return std::make_shared<zel_ip_egress_assoc_params_t>(udp_encap());
}

TEST(EgressFaults, AssociationCreateAndDelete) {
    auto p = assoc_params();
    auto setup = [p](SweepEnv &env) {
        const uint32_t id = 12;
        ASSERT_EQ(quietly([&] { return zel_ip_vrd_create(env.m, &id, &p->vrd); }), 0u);
    };
    auto create = [p](SweepEnv &env, zel_ip_flow_handle_t *out) {
        return zel_ip_egress_association_create(env.m, p.get(), out);
    };
    auto remove = [](SweepEnv &env, zel_ip_flow_handle_t f) { return zel_ip_egress_association_delete(env.m, f); };
    run_create_sweep({"zel_ip_egress_association_create", kAssocCreateMsgs, setup, create, remove}, 9);
    run_delete_sweep({"zel_ip_egress_association_delete", kAssocDeleteMsgs, setup, create, remove}, 5);
}

// Egress flows: an IPoE next hop (48-bit key) over an interface-wide flow
// (16-bit key), so the removal falls back to a covering entry.
TEST(EgressFaults, FlowCreateAndDelete) {
    auto intf = std::make_shared<zel_ip_intf_handle_t>();
    auto setup = [intf](SweepEnv &env) {
        zel_ip_intf_params_t ip{};
        ip.l2_intf = zel_sim_l2_interface_new(env.sim, 0x1321);
        ip.addr = egresstest::ip(10, 9, 0, 1);
        ip.prefix_len = 24;
        ASSERT_EQ(quietly([&] { return zel_ip_interface_create(env.m, &ip, intf.get()); }), 0u);
        const zel_ip_egress_flow_params_t wide{*intf, 0};
        zel_ip_flow_handle_t f = nullptr;
        ASSERT_EQ(quietly([&] { return zel_ip_egress_flow_create(env.m, &wide, &f); }), 0u);
    };
    auto create = [intf](SweepEnv &env, zel_ip_flow_handle_t *out) {
        const zel_ip_egress_flow_params_t p{*intf, egresstest::ip(10, 9, 0, 2)};
        return zel_ip_egress_flow_create(env.m, &p, out);
    };
    auto remove = [](SweepEnv &env, zel_ip_flow_handle_t f) { return zel_ip_egress_flow_delete(env.m, f); };
    run_create_sweep({"zel_ip_egress_flow_create", kFlowCreateMsgs, setup, create, remove}, 5);
    run_delete_sweep({"zel_ip_egress_flow_delete", kFlowDeleteMsgs, setup, create, remove}, 4);
}

}  // namespace
