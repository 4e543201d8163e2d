// Every platform call of the interface operations failed in turn (fault
// sweep), once and persisting: the documented status and FATAL lines, what
// a failure releases and what it keeps, no leaked memory, and a module
// that keeps working: a failed create can be repeated, a failed delete or
// address removal completes when repeated, and afterwards the engine holds
// exactly what it held before the interface existed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "interface/zel_ip_interface_pvt.h"
#include "intf_faults.h"
#include "intf_fixture.h"
#include "zel_fault_sweep.h"

using namespace intf_test;
using zel::test::fault_sweep;
using zel::test::status_text;
using zel::test::StdoutCapture;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

constexpr uint32_t kIntf = 0x42;
constexpr uint32_t kAddr = ip(10, 0, 0, 1);
constexpr uint32_t kSecondary = ip(172, 16, 5, 1);

// The IPoE messages of tree programming failures.
std::vector<Expected> learn_failures() {
    return intf_test::learn_failures("Could not add LPM rule in hardware",
                                     "Failed to configure invalid SIP addresses",
                                     "Failed to configure invalid DIP addresses");
}
std::vector<Expected> unlearn_failures() {
    return intf_test::unlearn_failures("Could not remove LPM rule from hardware",
                                       "Failed to remove invalid SIP addresses",
                                       "Failed to remove invalid DIP addresses");
}

zel_ip_intf_params_t intf_params(SweepEnv &env) {
    zel_ip_intf_params_t p{};
    p.l2_intf = zel_sim_l2_interface_new(env.sim, kIntf);
    p.addr = kAddr;
    p.prefix_len = 24;
    return p;
}

zel_ip_intf_handle_t create(SweepEnv &env) {
    zel_ip_intf_params_t p = intf_params(env);
    zel_ip_intf_handle_t h = nullptr;
    StdoutCapture quiet;
    EXPECT_EQ(zel_ip_interface_create(env.m, &p, &h), 0u) << quiet.text();
    return h;
}

uint32_t ids_in_use(SweepEnv &env) { return zel_sim_interface_ids_in_use(env.sim); }
uint32_t mtm_ids_in_use(SweepEnv &env) {
    return zel_sim_engine_ns_in_use(zel_sim_engine(env.sim), "ip_qos_stats");
}

// ---- Create -----------------------------------------------------------------

TEST(InterfaceFaults, Create) {
    Snapshot baseline;
    zel_ip_intf_params_t p{};
    zel_ip_intf_handle_t out = nullptr;
    uint64_t blocks = 0;
    std::vector<Expected> table = learn_failures();
    table.push_back({"hwe_nvm_calloc", 0x10012, {{"Memory allocation failed"}}});
    table.push_back({"zel_sys_interface_id_alloc", 0x10000 | kFault,
                     {{"Failed to allocate stats NS ID for IP interface"}}});
    table.push_back({"hwe_se_state_set", 0x1002c, {{"Failed to clear state engine memory, " + kRte}}});
    table.push_back({"hwe_rsrc_allocate", 0x1001d, {{"Failed to allocate NS ID for DSCP Group Stats, " + kRte}}});
    table.push_back({"hwe_mtm_shared_param_mod", 0x1002c, {{"Failed to clear MTM Shared param memory, " + kRte}}});

    SweepOp op;
    op.name = "zel_ip_interface_create";
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        baseline = snapshot(env.sim, env.m);
        p = intf_params(env);
        out = reinterpret_cast<zel_ip_intf_handle_t>(&p);
        blocks = zel_sim_mem_blocks();
    };
    op.op = [&](SweepEnv &env) { return zel_ip_interface_create(env.m, &p, &out); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        if (run.hits == 0) {
            EXPECT_EQ(run.status, 0u);
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(quietly([&] { return zel_ip_interface_delete(env.m, out); }), 0u);
            EXPECT_EQ(snapshot(env.sim, env.m), baseline);
            return;
        }
        if (!expect_reported(env, run, table)) {
            if (run.call == "zel_sys_rw_lock_post") {  // created all the same
                ASSERT_NE(out, nullptr);
                EXPECT_EQ(quietly([&] { return zel_ip_interface_delete(env.m, out); }), 0u);
            }
            return;
        }
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(zel_sim_mem_blocks(), blocks);  // the record is freed
        if (run.persist) return;  // withdrawing failed as well: what was taken stays
        // Everything taken was withdrawn: entries, slot and ids.
        EXPECT_EQ(snapshot(env.sim, env.m), baseline);
        EXPECT_TRUE(addr_slots(env.m).empty());
        EXPECT_EQ(ids_in_use(env), 0u);
        EXPECT_EQ(mtm_ids_in_use(env), 0u);
        // The same create succeeds now, and its delete leaves the engine as
        // it was before.
        EXPECT_EQ(quietly([&] { return zel_ip_interface_create(env.m, &p, &out); }), 0u);
        EXPECT_EQ(quietly([&] { return zel_ip_interface_delete(env.m, out); }), 0u);
        EXPECT_EQ(snapshot(env.sim, env.m), baseline);
        EXPECT_EQ(ids_in_use(env), 0u);
        EXPECT_EQ(mtm_ids_in_use(env), 0u);
    };
    fault_sweep(op);
}

// ---- Delete and address removal ---------------------------------------------

TEST(InterfaceFaults, Delete) {
    Snapshot baseline;
    zel_ip_intf_handle_t h = nullptr;
    std::vector<Expected> table = unlearn_failures();
    table.push_back({"hwe_rsrc_free", 0x1001e, {{"Failed to free NS ID for DSCP Group stats, " + kRte}}});

    SweepOp op;
    op.name = "zel_ip_interface_delete";
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        baseline = snapshot(env.sim, env.m);
        h = create(env);
    };
    op.op = [&](SweepEnv &env) { return zel_ip_interface_delete(env.m, h); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        // The framework's id release is not looked at: the delete goes on
        // and the id stays with the framework.
        const bool id_kept = run.hits > 0 && run.call == "zel_sys_interface_id_free";
        if (run.hits == 0) {
            EXPECT_EQ(run.status, 0u) << run.output;
        } else if (id_kept) {
            EXPECT_EQ(run.status, run.persist ? 0x10000 | kFault : 0u) << run.output;
        } else if (expect_reported(env, run, table)) {
            // Still an interface; repeating the delete completes it.
            EXPECT_TRUE(zel_ipv4_interface_valid_handle(h));
            EXPECT_EQ(quietly([&] { return zel_ip_interface_delete(env.m, h); }), 0u);
        } else if (run.call == "zel_sys_rw_lock_wait") {
            EXPECT_EQ(quietly([&] { return zel_ip_interface_delete(env.m, h); }), 0u);
        }
        EXPECT_FALSE(zel_ipv4_interface_valid_handle(h));
        EXPECT_EQ(snapshot(env.sim, env.m), baseline);
        EXPECT_TRUE(addr_slots(env.m).empty());
        EXPECT_EQ(mtm_ids_in_use(env), 0u);
        EXPECT_EQ(ids_in_use(env), id_kept ? 1u : 0u);
    };
    fault_sweep(op);
}

struct Removal {
    const char *name;
    uint32_t addr, plen;
    uint32_t primary_after;  // the interface's primary once removed
};

TEST(InterfaceFaults, AddressRemoval) {
    const Removal cases[] = {
        {"secondary", kSecondary, 16, kAddr},
        {"primary, the secondary promoted", kAddr, 24, kSecondary},
    };
    for (const Removal &c : cases) {
        Snapshot baseline;
        zel_ip_intf_handle_t h = nullptr;
        SweepOp op;
        op.name = std::string("zel_ip_interface_addr_rem ") + c.name;
        op.setup = [&](SweepEnv &env) {
            zel::test::sweep_start(env);
            baseline = snapshot(env.sim, env.m);
            h = create(env);
            const uint32_t ap[2] = {kSecondary, 16};
            EXPECT_EQ(quietly([&] { return zel_ip_interface_addr_add(env.m, h, ap); }), 0u);
        };
        op.op = [&](SweepEnv &env) {
            const uint32_t ap[2] = {c.addr, c.plen};
            return zel_ip_interface_addr_rem(env.m, h, ap);
        };
        op.check = [&](SweepEnv &env, const SweepRun &run) {
            const uint32_t ap[2] = {c.addr, c.plen};
            if (run.hits > 0 && expect_reported(env, run, unlearn_failures())) {
                // Nothing moved: two addresses, each with its slot; the
                // removal completes when repeated.
                EXPECT_EQ(h->secondary_count, 1u);
                EXPECT_EQ(h->params.addr, kAddr);
                EXPECT_EQ(addr_slots(env.m).size(), 2u);
                EXPECT_EQ(quietly([&] { return zel_ip_interface_addr_rem(env.m, h, ap); }), 0u);
            } else if (run.call == "zel_sys_rw_lock_wait") {
                EXPECT_EQ(quietly([&] { return zel_ip_interface_addr_rem(env.m, h, ap); }), 0u);
            } else {
                EXPECT_EQ(run.status, run.hits ? 0x10000 | kFault : 0u);
            }
            EXPECT_EQ(h->secondary_count, 0u);
            EXPECT_EQ(h->params.addr, c.primary_after);
            EXPECT_EQ(addr_slots(env.m).size(), 1u);
            EXPECT_EQ(quietly([&] { return zel_ip_interface_delete(env.m, h); }), 0u);
            EXPECT_EQ(snapshot(env.sim, env.m), baseline);
        };
        fault_sweep(op);
    }
}

// ---- Address add --------------------------------------------------------------

TEST(InterfaceFaults, AddressAdd) {
    Snapshot baseline;
    zel_ip_intf_handle_t h = nullptr;
    const uint32_t ap[2] = {kSecondary, 16};
    SweepOp op;
    op.name = "zel_ip_interface_addr_add";
    Snapshot created;
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        baseline = snapshot(env.sim, env.m);
        h = create(env);
        created = snapshot(env.sim, env.m);
    };
    op.op = [&](SweepEnv &env) { return zel_ip_interface_addr_add(env.m, h, ap); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        if (run.hits > 0 && expect_reported(env, run, learn_failures())) {
            if (run.persist && h->secondary_count == 1) {
                // Withdrawing failed as well: the address stays, set up
                // partly, and removing it completes the withdrawal.
                EXPECT_EQ(addr_slots(env.m).size(), 2u);
            } else {
                // What was learnt is withdrawn, the slot given back and
                // the secondary not taken.
                EXPECT_EQ(h->secondary_count, 0u);
                EXPECT_EQ(addr_slots(env.m).size(), 1u);
                EXPECT_EQ(snapshot(env.sim, env.m), created);
                EXPECT_EQ(quietly([&] { return zel_ip_interface_addr_add(env.m, h, ap); }), 0u);
            }
        } else if (run.call == "zel_sys_rw_lock_wait") {
            EXPECT_EQ(quietly([&] { return zel_ip_interface_addr_add(env.m, h, ap); }), 0u);
        } else {
            EXPECT_EQ(run.status, run.hits ? 0x10000 | kFault : 0u);
        }
        EXPECT_EQ(h->secondary_count, 1u);
        EXPECT_EQ(quietly([&] { return zel_ip_interface_addr_rem(env.m, h, ap); }), 0u);
        EXPECT_EQ(quietly([&] { return zel_ip_interface_delete(env.m, h); }), 0u);
        EXPECT_EQ(snapshot(env.sim, env.m), baseline);
    };
    fault_sweep(op);
}

// ---- Subnet status and address associations ----------------------------------

TEST(InterfaceFaults, SubnetStatusOfEverySubnet) {
    zel_ip_intf_handle_t h = nullptr;
    const uint32_t all[2] = {0, 0};
    SweepOp op;
    op.name = "zel_ip_interface_subnet_status_set";
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        h = create(env);
        const uint32_t ap[2] = {kSecondary, 16};
        EXPECT_EQ(quietly([&] { return zel_ip_interface_addr_add(env.m, h, ap); }), 0u);
    };
    op.op = [&](SweepEnv &env) { return zel_ip_interface_subnet_status_set(env.m, h, all, 0); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        const char *rule = "Could not add LPM rule in hardware";
        const std::vector<Expected> table = {
            {"zel_ptn_clear", 0, {kBuild}},
            {"zel_ptn_extend", 0, {kBuild}},
            {"hwe_ptn_unlearn", 0x10041, {{rule}}},
            {"hwe_subnet_find_higher_subnet", 0x1003e, {{rule}}},
            {"hwe_subnet_del_subnet", 0x1003d, {{rule}}},
        };
        if (run.hits > 0) {
            expect_reported(env, run, table);
        } else {
            EXPECT_EQ(run.status, 0u);
        }
        // Whatever was switched off, switching every subnet on again works
        // once the subnets still on are taken off one by one.
        const uint32_t secondary[2] = {kSecondary, 16}, primary[2] = {kAddr, 24};
        for (const uint32_t *s : {primary, secondary}) {
            quietly([&] { return zel_ip_interface_subnet_status_set(env.m, h, s, 0); });
            EXPECT_EQ(quietly([&] { return zel_ip_interface_subnet_status_set(env.m, h, s, 1); }), 0u);
        }
        EXPECT_EQ(quietly([&] { return zel_ip_interface_addr_rem(env.m, h, secondary); }), 0u);
        EXPECT_EQ(quietly([&] { return zel_ip_interface_delete(env.m, h); }), 0u);
    };
    fault_sweep(op);
}

TEST(InterfaceFaults, HostAssociation) {
    zel_ip_intf_handle_t h = nullptr;
    const uint32_t host[2] = {ip(10, 0, 0, 7), 32};
    const zel_ip_addr_assoc_req_t req{1, 0x14};
    SweepOp op;
    op.name = "zel_ip_addr_ingress_association_set";
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        h = create(env);
    };
    op.op = [&](SweepEnv &env) { return zel_ip_addr_ingress_association_set(env.m, h, host, &req); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        const char *rule = "Could not program LPM rule in hardware";
        const std::vector<Expected> table = {
            {"zel_ptn_clear", 0, {kBuild}},
            {"zel_ptn_extend", 0, {kBuild}},
            {"hwe_ptn_learn", 0x10040, {{rule}}},
            {"hwe_subnet_del_subnet", 0x1003d, {{rule}}},
            {"hwe_subnet_add_subnet", 0x1003c, {{rule}}},
        };
        if (run.hits > 0) {
            expect_reported(env, run, table);
        } else {
            EXPECT_EQ(run.status, 0u);
        }
        EXPECT_EQ(quietly([&] { return zel_ip_addr_ingress_association_set(env.m, h, host, &req); }), 0u);
        const Hit hit = dest(env.sim, env.m, kDefaultVrd, host[0]);
        EXPECT_EQ(hit.depth, 38u);
        EXPECT_EQ(quietly([&] { return zel_ip_interface_delete(env.m, h); }), 0u);
    };
    fault_sweep(op);
}

}  // namespace
