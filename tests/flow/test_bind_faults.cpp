// Every platform call of custom bind and unbind failed in turn (fault
// sweep), once and persisting: the documented status and message, no
// leaked memory, a flow that is either bound or not bound at all (never
// half bound: no lookup entry or tree-14 map without the bind), and a
// module that keeps working: unbind and delete complete afterwards.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bind_test_util.h"
#include "zel_fault_sweep.h"
#include "zel_test_fixture.h"

using namespace bindtest;
using zel::test::fault_sweep;
using zel::test::kFault;
using zel::test::StdoutCapture;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

hwe_engine_t *eng(SweepEnv &env) { return zel_sim_engine(env.sim); }

// Trees a bind rewrites (tree 28 only grows and is left out).
std::vector<uint32_t> flow_trees(hwe_engine_t *e, const std::vector<hwe_action_t> &probe_hits) {
    std::vector<uint32_t> v;
    for (uint32_t t : {8u, 9u, 14u, 29u}) v.push_back(flowtest::entries(e, t));
    for (const hwe_action_t &a : probe_hits) v.push_back(a.w1), v.push_back(a.w2);
    return v;
}

uint32_t quietly(const std::function<uint32_t()> &fn) {
    StdoutCapture quiet;
    return fn();
}

const std::vector<std::string> kBindMsgs = {
    "Failed to build the pattern",
    "Failed to add LPM rule in hardware",
    "Failed to program the hardware with ingress association flow rule for custom bind",
    "Failed to program the hardware with map from association flow to dest flow",
    "Failed to program the hardware with egress flow classification rule for custom bind",
    "Failed to allocate memory for the bind",
    "Failed to acquire IP module rw write lock",
};
const std::vector<std::string> kUnbindMsgs = {
    "Failed to remove map from association flow to dest flow",
    "Failed to program the hardware with unbound ingress association flow rule",
    "Failed to program the hardware with unbound egress flow classification rule",
    "Failed to acquire IP module rw write lock",
};

bool any_of(const std::string &out, const std::vector<std::string> &msgs) {
    for (const std::string &m : msgs)
        if (out.find(m) != std::string::npos) return true;
    return false;
}

// One kind of bind: the request on a fresh world, and a probe of what the
// flow's lookup answers.
struct Kind {
    std::string name;
    std::function<zel_bind_info_t(SweepEnv &, World &)> request;
    std::function<std::vector<hwe_action_t>(SweepEnv &, World &)> probe;
    std::function<uint32_t(SweepEnv &, World &)> remove;
};

void sweep_bind(const Kind &k, uint32_t min_faulted) {
    auto w = std::make_shared<World>();
    std::vector<uint32_t> unbound;
    SweepOp op;
    op.name = "zel_ip_custom_bind " + k.name;
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        *w = World{};
        w->make(env.m, env.sim);
        unbound = flow_trees(eng(env), k.probe(env, *w));
    };
    op.op = [&](SweepEnv &env) {
        const zel_bind_info_t b = k.request(env, *w);
        return zel_ip_custom_bind(env.m->sys_ctx, &b);
    };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        const zel_bind_info_t b = k.request(env, *w);
        if (run.hits == 0 || run.call == "zel_sys_rw_lock_post") {
            EXPECT_EQ(run.status, run.hits ? zel::ip::fatal(kFault) : 0u) << run.output;
            EXPECT_NE(flow_trees(eng(env), k.probe(env, *w)), unbound);  // bound
        } else {
            EXPECT_NE(run.status, 0u) << run.output;
            EXPECT_TRUE(any_of(run.output, kBindMsgs)) << run.call << "\n" << run.output;
            if (!run.persist) {
                // Not half bound: the lookup is the unbound one, no map.
                EXPECT_EQ(flow_trees(eng(env), k.probe(env, *w)), unbound) << run.call << "\n" << run.output;
            }
        }
        // Unbind always completes, and leaves the flow unbound and deletable.
        EXPECT_EQ(quietly([&] { return zel_ip_custom_unbind(env.m->sys_ctx, &b); }), 0u);
        EXPECT_EQ(flow_trees(eng(env), k.probe(env, *w)), unbound);
        EXPECT_EQ(quietly([&] { return k.remove(env, *w); }), 0u);
    };
    const auto r = fault_sweep(op);
    EXPECT_GE(r.faulted_runs_once, min_faulted) << k.name;
}

void sweep_unbind(const Kind &k, uint32_t min_faulted) {
    auto w = std::make_shared<World>();
    std::vector<uint32_t> unbound;
    SweepOp op;
    op.name = "zel_ip_custom_unbind " + k.name;
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        *w = World{};
        w->make(env.m, env.sim);
        unbound = flow_trees(eng(env), k.probe(env, *w));
        const zel_bind_info_t b = k.request(env, *w);
        EXPECT_EQ(quietly([&] { return zel_ip_custom_bind(env.m->sys_ctx, &b); }), 0u);
    };
    op.op = [&](SweepEnv &env) {
        const zel_bind_info_t b = k.request(env, *w);
        return zel_ip_custom_unbind(env.m->sys_ctx, &b);
    };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        if (run.hits == 0) {
            EXPECT_EQ(run.status, 0u) << run.output;
        } else if (run.call != "zel_sys_rw_lock_post") {
            EXPECT_NE(run.status, 0u) << run.output;
            EXPECT_TRUE(any_of(run.output, kUnbindMsgs)) << run.call << "\n" << run.output;
            // Still bound: the delete is refused until the unbind completes.
            EXPECT_EQ(quietly([&] { return k.remove(env, *w); }), 0x3000fu);
            const zel_bind_info_t b = k.request(env, *w);
            EXPECT_EQ(quietly([&] { return zel_ip_custom_unbind(env.m->sys_ctx, &b); }), 0u);
        }
        EXPECT_EQ(flow_trees(eng(env), k.probe(env, *w)), unbound);
        EXPECT_EQ(quietly([&] { return k.remove(env, *w); }), 0u);
    };
    const auto r = fault_sweep(op);
    EXPECT_GE(r.faulted_runs_once, min_faulted) << k.name;
}

// An association to BFD (F2F): tree-28 slots, tree 8, tree 14.
const Kind kAssocToBfd = {
    "association to BFD",
    [](SweepEnv &env, World &w) { return request(env.m, w.bind, w.sib[21], w.sflow, ZEL_IP_BIND_F2F, 1, 1); },
    [](SweepEnv &env, World &) {
        assoctest::Pkt pkt;
        pkt.dip = kBindDip;
        return std::vector<hwe_action_t>{assoctest::packet_hit(eng(env), ZEL_IP_IAM_DIP, pkt).a};
    },
    [](SweepEnv &env, World &w) { return zel_ip_ingress_association_delete(env.m, w.bind); },
};

// An egress flow to Ethernet (F2F): tree-28 slots, tree 29 (a prefix tree).
const Kind kFlowToEthernet = {
    "egress flow to Ethernet",
    [](SweepEnv &env, World &w) { return request(env.m, w.eflow, w.sib[2], w.sflow, ZEL_IP_BIND_F2F, 2, 1); },
    [](SweepEnv &env, World &w) {
        const uint32_t intf = static_cast<const zel::ip::IntfHead *>(static_cast<const void *>(w.intf))->hdr.intf_id;
        return std::vector<hwe_action_t>{egresstest::flow_hit(eng(env), intf, ip(10, 1, 0, 20))};
    },
    [](SweepEnv &env, World &w) { return zel_ip_egress_flow_delete(env.m, w.eflow); },
};

TEST(BindFaults, CustomBind) {
    sweep_bind(kAssocToBfd, 5);
    sweep_bind(kFlowToEthernet, 4);
}

// IPv4 as the destination: a GTPU F2F bind into the egress association.
// The query records it (or, failed, does not); the release lets it go
// (or, failed, keeps it so that it can be repeated).
zel_bind_info_t gtpu_into(SweepEnv &env, World &w) {
    return request(w.sib[ZEL_IP_MODULE_GTPU], nullptr, env.m, w.eassoc, ZEL_IP_BIND_F2F, 2, 0);
}
uint32_t delete_eassoc(SweepEnv &env, World &w) {
    return quietly([&] { return zel_ip_egress_association_delete(env.m, w.eassoc); });
}

TEST(BindFaults, EntryFunctionQueryRecordsOnlyAnAcceptedBind) {
    auto w = std::make_shared<World>();
    SweepOp op;
    op.name = "zel_ip_get_entry_func into an egress association";
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        *w = World{};
        w->make(env.m, env.sim);
    };
    op.op = [&](SweepEnv &env) {
        const zel_bind_info_t b = gtpu_into(env, *w);
        uint32_t entry = 0;
        return zel_ip_get_entry_func(env.m, &b, &entry);
    };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        const zel_bind_info_t b = gtpu_into(env, *w);
        if (run.hits == 0 || run.call == "zel_sys_rw_lock_post") {
            // Accepted (a failed unlock keeps the work's effects): recorded.
            EXPECT_EQ(run.status, run.hits ? zel::ip::fatal(kFault) : 0u) << run.output;
            EXPECT_EQ(delete_eassoc(env, *w), 0x3000fu);
            EXPECT_EQ(quietly([&] { return zel_ip_release_entry_func(env.m, &b); }), 0u);
        } else {
            EXPECT_NE(run.status, 0u) << run.output;
            EXPECT_TRUE(any_of(run.output, {"Failed to acquire IP module rw write lock"})) << run.output;
        }
        EXPECT_EQ(delete_eassoc(env, *w), 0u);
    };
    const auto r = fault_sweep(op);
    EXPECT_GE(r.faulted_runs_once, 1u);
}

TEST(BindFaults, ReleaseEntryFunctionKeepsTheRecordWhenItFails) {
    auto w = std::make_shared<World>();
    SweepOp op;
    op.name = "zel_ip_release_entry_func";
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        *w = World{};
        w->make(env.m, env.sim);
        const zel_bind_info_t b = gtpu_into(env, *w);
        uint32_t entry = 0;
        EXPECT_EQ(quietly([&] { return zel_ip_get_entry_func(env.m, &b, &entry); }), 0u);
    };
    op.op = [&](SweepEnv &env) {
        const zel_bind_info_t b = gtpu_into(env, *w);
        return zel_ip_release_entry_func(env.m, &b);
    };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        if (run.hits == 0 || run.call == "zel_sys_rw_lock_post") {
            EXPECT_EQ(run.status, run.hits ? zel::ip::fatal(kFault) : 0u) << run.output;
        } else {
            EXPECT_NE(run.status, 0u) << run.output;
            // Still recorded: the delete is refused until a repeated release.
            EXPECT_EQ(delete_eassoc(env, *w), 0x3000fu);
            const zel_bind_info_t b = gtpu_into(env, *w);
            EXPECT_EQ(quietly([&] { return zel_ip_release_entry_func(env.m, &b); }), 0u);
        }
        EXPECT_EQ(delete_eassoc(env, *w), 0u);
    };
    const auto r = fault_sweep(op);
    EXPECT_GE(r.faulted_runs_once, 1u);
}

TEST(BindFaults, CustomUnbind) {
    sweep_unbind(kAssocToBfd, 3);
    sweep_unbind(kFlowToEthernet, 2);
}

}  // namespace
