// Every platform failure of the route calls, through the fault sweep: the
// documented status and message, the destination tree as the failing step
// left it (the engine entry changes only once the engine call succeeded),
// and a module that repairs itself by doing the call again.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "route_test_util.h"
#include "tree/zel_ip_tree.h"
#include "zel_test_fixture.h"

using namespace routetest;
using zel::ip::kTreeDestAddr;
using zel::test::fault_sweep;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

hwe_action_t value(uint32_t w1, uint32_t w2) { return {HWE_ACTION_VALUE, w1, w2}; }

zel_ip_route_params_t route(uint32_t dest, uint32_t len, uint32_t nh) {
    zel_ip_route_params_t r{};
    r.dest = dest;
    r.prefix_len = len;
    r.next_hop = nh;
    return r;
}

// One operation on the destination tree of domain 63 and what it does to
// the address `probe`.
struct TreeOp {
    const char *name;
    const char *rule_msg;
    bool removes;  // the operation removes an entry
    std::vector<zel_ip_route_params_t> before;  // routes learnt by the setup
    std::function<uint32_t(zel_module_t *)> op;
    std::function<uint32_t(zel_module_t *)> undo;  // brings `probe` back to `was`
    uint32_t probe;
    hwe_action_t was, becomes;
    // Objects the routes need (made before `before`), the destination
    // entries they hold themselves, and an expected entry that depends on
    // them (read after `prepare`; overrides `becomes`).
    std::function<void(SweepEnv &)> prepare = nullptr;
    size_t own_entries = 0;
    std::function<hwe_action_t()> becomes_now = nullptr;
};

void sweep(const TreeOp &t) {
    SweepOp op;
    op.name = t.name;
    op.setup = [&t](SweepEnv &env) {
        zel::test::sweep_start(env);
        if (t.prepare) t.prepare(env);
        for (const zel_ip_route_params_t &r : t.before) ASSERT_EQ(zel_ip_route_add(env.m, &r), 0u);
    };
    op.op = [&t](SweepEnv &env) { return t.op(env.m); };
    op.check = [&t](SweepEnv &env, const SweepRun &run) {
        expect_failure(run, t.rule_msg);
        hwe_engine_t *eng = zel_sim_engine(env.sim);
        const hwe_action_t becomes = t.becomes_now ? t.becomes_now() : t.becomes;
        // 1. The engine entry changed iff the engine call was made and
        //    succeeded: a failure after it (subnet database, unlock) leaves it.
        const bool changed = run.hits == 0 || run.call == "zel_sys_rw_lock_post" ||
                             run.call == "hwe_subnet_del_subnet" || run.call == "hwe_subnet_add_subnet";
        hwe_action_t got = route_at(eng, 63, t.probe);
        EXPECT_TRUE(same(got, changed ? becomes : t.was)) << run.call << " " << str(got);
        // 2. Doing the call again completes it, and undoing it restores the
        //    tree: the subnet database agrees with the engine again. A
        //    removal whose engine step was done cannot be done again (the
        //    engine refuses to remove what is not there): the entry is
        //    learnt again first, which also puts the database right.
        if (t.removes && changed) {
            if (run.hits > 0) {
                EXPECT_EQ(t.op(env.m), 0x10041u) << run.call;
            }
            ASSERT_EQ(t.undo(env.m), 0u);
        }
        ASSERT_EQ(t.op(env.m), 0u);
        EXPECT_TRUE(same(route_at(eng, 63, t.probe), becomes));
        ASSERT_EQ(t.undo(env.m), 0u);
        EXPECT_TRUE(same(route_at(eng, 63, t.probe), t.was));
        for (const zel_ip_route_params_t &r : t.before) EXPECT_EQ(zel_ip_route_delete(env.m, &r), 0u);
        EXPECT_EQ(zel_sim_engine_entry_count(eng, tree_id(eng, kTreeDestAddr)), t.own_entries);
        EXPECT_TRUE(same(route_at(eng, 63, t.probe), kNoRoute));
    };
    fault_sweep(op);
}

const zel_ip_route_params_t kCover = route(0x0a000000, 8, 0x0b000001);
const hwe_action_t kCoverValue = value(0x0b0001, 0x000001);

TEST(RouteFaults, AddAPrefix) {
    static const zel_ip_route_params_t r = route(0x0a010000, 16, 0x0b000002);
    sweep({"zel_ip_route_add /16", "Failed to add the LPM rule in hardware", false, {kCover},
           [](zel_module_t *m) { return zel_ip_route_add(m, &r); },
           [](zel_module_t *m) { return zel_ip_route_delete(m, &r); }, 0x0a010203, kCoverValue,
           value(0x0b0001, 0x000002)});
}

TEST(RouteFaults, AddAHostRoute) {
    static const zel_ip_route_params_t r = route(0x0a010203, 32, 0x0b000002);
    sweep({"zel_ip_route_add /32", "Failed to add the LPM rule in hardware", false, {kCover},
           [](zel_module_t *m) { return zel_ip_route_add(m, &r); },
           [](zel_module_t *m) { return zel_ip_route_delete(m, &r); }, 0x0a010203, kCoverValue,
           value(0x0b0001, 0x000002)});
}

// The other forms of an added route: each composes a different entry, and
// the tunnel form looks its interface up first.
TEST(RouteFaults, AddANullRoute) {
    static const zel_ip_route_params_t r = route(0x0a010000, 16, 0);
    sweep({"zel_ip_route_add null", "Failed to add the LPM rule in hardware", false, {kCover},
           [](zel_module_t *m) { return zel_ip_route_add(m, &r); },
           [](zel_module_t *m) { return zel_ip_route_delete(m, &r); }, 0x0a010203, kCoverValue,
           value(0x10, 0)});
}

TEST(RouteFaults, AddALocalTerminationWithMaskAndReassembly) {
    static const zel_ip_route_params_t r = [] {
        zel_ip_route_params_t x = route(0x0a010000, 16, 0);
        x.local_termination = x.reassembly = 1;
        x.ingress_assoc_mask = 0x35;
        return x;
    }();
    sweep({"zel_ip_route_add local termination", "Failed to add the LPM rule in hardware", false, {kCover},
           [](zel_module_t *m) { return zel_ip_route_add(m, &r); },
           [](zel_module_t *m) { return zel_ip_route_delete(m, &r); }, 0x0a010203, kCoverValue,
           value(0x3520, 0)});
}

TEST(RouteFaults, AddARouteIntoATunnel) {
    static zel_ip_tunnel_handle_t tunnel = nullptr;  // remade on every run's fresh platform
    static zel_ip_route_params_t r = route(0x0a010000, 16, 0);
    TreeOp t{"zel_ip_route_add tunnel", "Failed to add the LPM rule in hardware", false, {kCover},
             [](zel_module_t *m) { return zel_ip_route_add(m, &r); },
             [](zel_module_t *m) { return zel_ip_route_delete(m, &r); }, 0x0a010203, kCoverValue,
             kNoRoute};
    t.prepare = [](SweepEnv &env) {
        zel_ip_tunnel_params_t p{};
        p.tunnel_id = 5;
        p.proto = 47;  // unnumbered, without ends: one destination entry (its 127-address)
        zel::test::StdoutCapture quiet;
        ASSERT_EQ(zel_ip_tunnel_interface_create(env.m, &p, &tunnel), 0u) << quiet.text();
        r.egress_intf = tunnel;
    };
    t.own_entries = 1;
    t.becomes_now = [] {
        return value(0x7f0041, reinterpret_cast<const zel_obj_header_t *>(tunnel)->intf_id);
    };
    sweep(t);
}

TEST(RouteFaults, DeleteAPrefixUnderACoveringRoute) {
    static const zel_ip_route_params_t r = route(0x0a010200, 24, 0x0b000002);
    sweep({"zel_ip_route_delete /24", "Failed to remove the LPM rule from hardware", true, {kCover, r},
           [](zel_module_t *m) { return zel_ip_route_delete(m, &r); },
           [](zel_module_t *m) { return zel_ip_route_add(m, &r); }, 0x0a010203, value(0x0b0001, 0x000002),
           kCoverValue});
}

TEST(RouteFaults, InvalidDestinationAddAndRemove) {
    static const zel_ip_invalid_dip_params_t p{0x0a010000, 16};
    sweep({"zel_ip_invalid_dip_add", "Failed to add the LPM rule in hardware", false, {kCover},
           [](zel_module_t *m) { return zel_ip_invalid_dip_add(m, nullptr, &p); },
           [](zel_module_t *m) { return zel_ip_invalid_dip_rem(m, nullptr, &p); }, 0x0a010203, kCoverValue,
           value(0x8000, 0)});
    static const zel_ip_route_params_t as_route = route(0x0a010000, 16, 0x0b000002);
    sweep({"zel_ip_invalid_dip_rem", "Failed to remove the LPM rule from hardware", true, {kCover, as_route},
           [](zel_module_t *m) { return zel_ip_invalid_dip_rem(m, nullptr, &p); },
           [](zel_module_t *m) { return zel_ip_route_add(m, &as_route); }, 0x0a010203,
           value(0x0b0001, 0x000002), kCoverValue});
}

// Handle get changes nothing; only the lock can fail it.
TEST(RouteFaults, HandleGet) {
    SweepOp op;
    op.name = "zel_ip_vrd_handle_get";
    op.op = [](SweepEnv &env) {
        zel_ip_vrd_handle_t h = nullptr;
        return zel_ip_vrd_handle_get(env.m, 63, &h);
    };
    op.check = [](SweepEnv &, const SweepRun &run) { expect_failure(run, ""); };
    fault_sweep(op);
}

}  // namespace
