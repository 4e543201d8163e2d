// Every platform call of the tunnel operations failed in turn (fault
// sweep), once and persisting: the documented status and lines, no leaked
// memory, and a module that keeps working. A failed create withdraws what
// it took (the engine, the framework's CPU path tables and the ids are as
// before it) and can be repeated; a delete or a change that failed partway
// completes when repeated, and afterwards the engine holds exactly what it
// held before the tunnel existed.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "intf_faults.h"
#include "intf_fixture.h"
#include "zel_fault_sweep.h"

using namespace intf_test;
using zel::test::fault_sweep;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

constexpr uint32_t kTunnelId = 33;
constexpr uint32_t kLocal = ip(192, 0, 2, 1), kRemote = ip(198, 51, 100, 9);
constexpr uint32_t kNewLocal = ip(192, 0, 2, 77), kNewRemote = ip(203, 0, 113, 5);
constexpr const char *kAddRule = "Could not add LPM rule in hardware";
constexpr const char *kRemoveRule = "Could not remove LPM rule from hardware";

// A tunnel with every entry: an address, both ends, NAT-T, a path MTU.
zel_ip_tunnel_params_t full_tunnel() {
    zel_ip_tunnel_params_t p{};
    p.tunnel_id = kTunnelId;
    p.addr = ip(10, 9, 0, 1);
    p.prefix_len = 24;
    p.local_addr = kLocal;
    p.remote_addr = kRemote;
    p.proto = 47;
    p.path_mtu = 1400;
    p.natt = 1;
    return p;
}

zel_ip_tunnel_handle_t create(SweepEnv &env, const zel_ip_tunnel_params_t &p) {
    zel_ip_tunnel_handle_t h = nullptr;
    zel::test::StdoutCapture quiet;
    EXPECT_EQ(zel_ip_tunnel_interface_create(env.m, &p, &h), 0u) << quiet.text();
    return h;
}

uint32_t ids_in_use(SweepEnv &env) { return zel_sim_interface_ids_in_use(env.sim); }
uint32_t mtm_in_use(SweepEnv &env) { return zel_sim_engine_ns_in_use(zel_sim_engine(env.sim), "ip_qos_stats"); }
uint32_t cpu_paths(SweepEnv &env) { return zel_sim_demux_count(env.sim) + zel_sim_port_map_count(env.sim); }

// What tree 4 matches an outer header of the default domain to (0: none).
uint32_t outer_intf(SweepEnv &env, uint32_t proto, uint32_t remote, uint32_t local) {
    const Hit h = lookup(env.sim, env.m, 4, {63, proto, remote, local}, {6, 8, 32, 32});
    return h.depth == 78 ? h.a.w1 : 0;
}

// The failures of tree-programming calls outside the guard entries, as
// `learn` and `unlearn` report them.
std::vector<Expected> rule_table(const char *learn, const char *unlearn) {
    return {
        {"zel_ptn_clear", 0, {kBuild}},
        {"zel_ptn_extend", 0, {kBuild}},
        {"hwe_ptn_learn", 0x10040, {{learn}}},
        {"hwe_ptn_unlearn", 0x10041, {{unlearn}}},
    };
}

// The tunnel's INTF-ID, as tree 6 maps its id.
uint32_t intf_of(SweepEnv &env) { return lookup(env.sim, env.m, 6, {kTunnelId + 512}, {12}).a.w1; }

// ---- Create -----------------------------------------------------------------

TEST(TunnelFaults, Create) {
    Snapshot baseline;
    const zel_ip_tunnel_params_t p = full_tunnel();
    zel_ip_tunnel_handle_t out = nullptr;
    uint64_t blocks = 0;
    std::vector<Expected> table = learn_failures(kAddRule, "Failed to configure invalid SIP addr",
                                                 "Failed to configure invalid DIP addr");
    table.push_back({"hwe_nvm_calloc", 0x10012, {{"Memory allocation failed"}}});
    table.push_back({"zel_sys_interface_id_alloc", 0x10000 | kFault,
                     {{"Failed to allocate stats NS ID for IP interface"}}});
    table.push_back({"hwe_se_state_set", 0x1002c, {{"Failed to clear state engine memory, " + kRte}}});
    table.push_back({"hwe_rsrc_allocate", 0x1001d, {{"Failed to allocate NS ID for DSCP Group Stats, " + kRte}}});
    table.push_back({"hwe_mtm_shared_param_mod", 0x1002c, {{"Failed to clear MTM Shared param memory, " + kRte}}});
    table.push_back({"zel_sif_netDriver_demux_add", 0x30000 | kFault,
                     {{"Failed to add demux tree entry", "Failed to setup CPU path for tunnel interface"}},
                     "ERROR"});
    table.push_back({"zel_sif_interface_to_outPort_mapping_add", 0x30000 | kFault,
                     {{"Failed to add ZEL->CPU port mapping", "Failed to setup CPU path for tunnel interface"}},
                     "ERROR"});

    SweepOp op;
    op.name = "zel_ip_tunnel_interface_create";
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        baseline = snapshot(env.sim, env.m);
        out = reinterpret_cast<zel_ip_tunnel_handle_t>(&out);
        blocks = zel_sim_mem_blocks();
    };
    op.op = [&](SweepEnv &env) { return zel_ip_tunnel_interface_create(env.m, &p, &out); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        if (run.hits == 0) {
            EXPECT_EQ(run.status, 0u);
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(quietly([&] { return zel_ip_tunnel_interface_delete(env.m, out); }), 0u);
            EXPECT_EQ(snapshot(env.sim, env.m), baseline);
            return;
        }
        if (!expect_reported(env, run, table)) {
            if (run.call == "zel_sys_rw_lock_post") {  // created all the same
                ASSERT_NE(out, nullptr);
                EXPECT_EQ(quietly([&] { return zel_ip_tunnel_interface_delete(env.m, out); }), 0u);
            }
            return;
        }
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(zel_sim_mem_blocks(), blocks);  // the record is freed
        if (run.persist) return;  // withdrawing failed as well: what was taken stays
        // Everything taken was withdrawn: the engine, the framework's
        // tables and the ids are as before.
        EXPECT_EQ(snapshot(env.sim, env.m), baseline);
        EXPECT_TRUE(addr_slots(env.m).empty());
        EXPECT_EQ(ids_in_use(env), 0u);
        EXPECT_EQ(mtm_in_use(env), 0u);
        EXPECT_EQ(cpu_paths(env), 0u);
        // So the same create succeeds now.
        EXPECT_EQ(quietly([&] { return zel_ip_tunnel_interface_create(env.m, &p, &out); }), 0u);
        EXPECT_EQ(quietly([&] { return zel_ip_tunnel_interface_delete(env.m, out); }), 0u);
        EXPECT_EQ(snapshot(env.sim, env.m), baseline);
    };
    fault_sweep(op);
}

// ---- Delete -------------------------------------------------------------------

TEST(TunnelFaults, Delete) {
    Snapshot baseline;
    zel_ip_tunnel_handle_t h = nullptr;
    std::vector<Expected> table = unlearn_failures(kRemoveRule, "Failed to remove invalid SIP addr",
                                                   "Failed to remove invalid DIP addr");
    table.push_back({"hwe_rsrc_free", 0x1001e, {{"Failed to free NS ID for DSCP Group stats, " + kRte}}});
    table.push_back({"zel_sif_netDriver_demux_remove", 0x30000 | kFault,
                     {{"Failed to remove demux tree entry", "Failed to remove CPU path for tunnel interface"}},
                     "ERROR"});
    table.push_back({"zel_sif_interface_to_outPort_mapping_remove", 0x30000 | kFault,
                     {{"Failed to remove ZEL->CPU port mapping", "Failed to remove CPU path for tunnel interface"}},
                     "ERROR"});

    SweepOp op;
    op.name = "zel_ip_tunnel_interface_delete";
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        baseline = snapshot(env.sim, env.m);
        h = create(env, full_tunnel());
    };
    op.op = [&](SweepEnv &env) { return zel_ip_tunnel_interface_delete(env.m, h); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        // The framework's id release is not looked at: the delete goes on
        // and the id stays with the framework.
        const bool id_kept = run.hits > 0 && run.call == "zel_sys_interface_id_free";
        if (run.hits == 0) {
            EXPECT_EQ(run.status, 0u) << run.output;
        } else if (id_kept) {
            EXPECT_EQ(run.status, run.persist ? 0x10000 | kFault : 0u) << run.output;
        } else if (expect_reported(env, run, table)) {
            // Still a tunnel; repeating the delete completes it.
            EXPECT_TRUE(zel_ipv4_tunnel_interface_valid_handle(h));
            EXPECT_EQ(quietly([&] { return zel_ip_tunnel_interface_delete(env.m, h); }), 0u);
        } else if (run.call == "zel_sys_rw_lock_wait") {
            EXPECT_EQ(quietly([&] { return zel_ip_tunnel_interface_delete(env.m, h); }), 0u);
        }
        EXPECT_FALSE(zel_ipv4_tunnel_interface_valid_handle(h));
        EXPECT_EQ(snapshot(env.sim, env.m), baseline);
        EXPECT_TRUE(addr_slots(env.m).empty());
        EXPECT_EQ(mtm_in_use(env), 0u);
        EXPECT_EQ(cpu_paths(env), 0u);
        EXPECT_EQ(ids_in_use(env), id_kept ? 1u : 0u);
    };
    fault_sweep(op);
}

// ---- Changes ------------------------------------------------------------------

// A change that fails at any platform call reports it and, repeated,
// completes; `done` checks the changed tunnel, and the tunnel's delete
// then leaves the engine as it was before the tunnel.
struct Change {
    const char *name;
    zel_ip_tunnel_params_t params;
    std::function<uint32_t(SweepEnv &, zel_ip_tunnel_handle_t)> op;
    std::vector<Expected> table;
    std::function<void(SweepEnv &, uint32_t intf)> done;
};

void sweep_change(const Change &c) {
    Snapshot baseline;
    zel_ip_tunnel_handle_t h = nullptr;
    SweepOp op;
    op.name = c.name;
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        baseline = snapshot(env.sim, env.m);
        h = create(env, c.params);
    };
    op.op = [&](SweepEnv &env) { return c.op(env, h); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        if (run.hits == 0) {
            EXPECT_EQ(run.status, 0u) << run.output;
        } else if (expect_reported(env, run, c.table) || run.call == "zel_sys_rw_lock_wait") {
            EXPECT_EQ(quietly([&] { return c.op(env, h); }), 0u);
        }
        c.done(env, intf_of(env));
        EXPECT_EQ(quietly([&] { return zel_ip_tunnel_interface_delete(env.m, h); }), 0u);
        EXPECT_EQ(snapshot(env.sim, env.m), baseline);
        EXPECT_EQ(cpu_paths(env), 0u);
    };
    fault_sweep(op);
}

TEST(TunnelFaults, EndAddresses) {
    // Unnumbered, so the new local end is also its new source address.
    zel_ip_tunnel_params_t p = full_tunnel();
    p.addr = 0;
    sweep_change({"zel_ip_tunnel_interface_lr_addr_set", p,
                  [](SweepEnv &env, zel_ip_tunnel_handle_t h) {
                      return zel_ip_tunnel_interface_lr_addr_set(env.m, h, kNewLocal, kNewRemote);
                  },
                  rule_table(kAddRule, kRemoveRule),
                  [](SweepEnv &env, uint32_t x) {
                      EXPECT_EQ(outer_intf(env, 47, kNewRemote, kNewLocal), x);
                      EXPECT_EQ(outer_intf(env, 17, kNewRemote, kNewLocal), x);
                      EXPECT_EQ(outer_intf(env, 47, kRemote, kLocal), 0u);
                      EXPECT_EQ(outer_intf(env, 17, kRemote, kLocal), 0u);
                      const Hit s = lookup(env.sim, env.m, 22, {x, 0}, {16, 32});
                      EXPECT_TRUE(is_value(s.a, (kNewLocal & 0xff) | 1500u << 8, kNewLocal >> 8));
                  }});
}

TEST(TunnelFaults, Natt) {
    zel_ip_tunnel_params_t off = full_tunnel();
    off.natt = 0;
    // Both directions report a failure of the twin with the same message.
    sweep_change({"zel_ip_tunnel_interface_natt on", off,
                  [](SweepEnv &env, zel_ip_tunnel_handle_t h) { return zel_ip_tunnel_interface_natt(env.m, h, 1); },
                  rule_table(kAddRule, kAddRule),
                  [](SweepEnv &env, uint32_t x) { EXPECT_EQ(outer_intf(env, 17, kRemote, kLocal), x); }});
    sweep_change({"zel_ip_tunnel_interface_natt off", full_tunnel(),
                  [](SweepEnv &env, zel_ip_tunnel_handle_t h) { return zel_ip_tunnel_interface_natt(env.m, h, 0); },
                  rule_table(kAddRule, kAddRule),
                  [](SweepEnv &env, uint32_t x) {
                      EXPECT_EQ(outer_intf(env, 17, kRemote, kLocal), 0u);
                      EXPECT_EQ(outer_intf(env, 47, kRemote, kLocal), x);
                  }});
}

TEST(TunnelFaults, Mtu) {
    struct Case {
        uint32_t mtu, pmtu;
        uint32_t word;  // 0: no tree-5 entry
    };
    for (const Case &k : {Case{576, 0, 0}, Case{9000, 1300, 0x8514}}) {
        sweep_change({k.word ? "zel_ip_tunnel_interface_mtu_set 9000/1300" : "zel_ip_tunnel_interface_mtu_set 576/0",
                      full_tunnel(),
                      [k](SweepEnv &env, zel_ip_tunnel_handle_t h) {
                          return zel_ip_tunnel_interface_mtu_set(env.m, h, k.mtu, k.pmtu);
                      },
                      rule_table(kAddRule, kRemoveRule),
                      [k](SweepEnv &env, uint32_t x) {
                          const Hit pm = lookup(env.sim, env.m, 5, {x}, {16});
                          EXPECT_EQ(pm.depth, k.word ? 16u : 0u);
                          if (k.word) {
                              EXPECT_EQ(pm.a.w1, k.word);
                          }
                          EXPECT_EQ(lookup(env.sim, env.m, 24, {x}, {16}).a.w1, k.mtu << 8);
                          EXPECT_EQ(lookup(env.sim, env.m, 22, {x, 0}, {16, 32}).a.w1, 0x01 | k.mtu << 8);
                      }});
    }
}

}  // namespace
