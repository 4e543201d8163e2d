// Routing domains through the public API, checked in the engine: the
// invalid-source entries of a domain, its id in the namespace, host and
// router mode, the refusals with their exact messages, and every platform
// failure of create, delete and mode through the fault sweep.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/zel_ip_status_internal.h"
#include "route_test_util.h"
#include "tree/zel_ip_tree.h"
#include "zel_fault_sweep.h"
#include "zel_test_fixture.h"

using namespace routetest;
using zel::ip::kFnInvalidSrcIpAddr;
using zel::ip::kFnVrfRoutingDisabled;
using zel::ip::kTreeSrcAddr;
using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

constexpr const char *kPool = "zel_ipv4_vrd_ids";
const std::string kErr = "[zel_ip_log: ERROR] FILE:LINE ";
const std::string kFatal = "[zel_ip_log: FATAL] FILE:LINE ";

uint32_t fn_id(hwe_engine_t *eng, uint32_t fn) {
    uint32_t id = 0;
    EXPECT_EQ(zel_sim_engine_symbol_id(eng, zel::ip::kFlowFuncNames[fn], &id), 0);
    return id;
}

class Vrf : public ZelTest {
protected:
    Vrf() { initial_log_level_ = ZEL_LOG_ERROR; }

    hwe_engine_t *eng() { return zel_sim_engine(sim_); }
    std::string status_text(uint32_t st) { return zel_sys_status_get(m_->sys_ctx, st); }

    zel_ip_vrd_handle_t create(uint32_t id) {
        zel_ip_vrd_handle_t h = nullptr;
        EXPECT_EQ(zel_ip_vrd_create(m_, &id, &h), 0u) << "VRD " << id;
        return h;
    }
    // The source addresses a domain refuses (Block-All) and a neighbour of
    // each that it accepts.
    void expect_invalid_sources(uint32_t vrd, bool present) {
        const hwe_action_t block{HWE_ACTION_FUNC, fn_id(eng(), kFnInvalidSrcIpAddr), 0};
        for (uint32_t src : {0x7f000001u, 0x7fffffffu, 0xe0000005u, 0xefffffffu, 0xffffffffu}) {
            hwe_action_t a = lookup(eng(), kTreeSrcAddr, vrd, src);
            EXPECT_EQ(same(a, block), present) << "VRD " << vrd << std::hex << " source " << src << " " << str(a);
        }
        for (uint32_t src : {0x7effffffu, 0x80000000u, 0xdfffffffu, 0xf0000000u, 0xfffffffeu})
            EXPECT_NE(lookup(eng(), kTreeSrcAddr, vrd, src).kind, HWE_ACTION_FUNC) << std::hex << src;
    }
};

TEST_F(Vrf, CreateTakesTheIdAndBlocksInvalidSourcesOfThatDomainOnly) {
    zel_ip_vrd_handle_t h = create(5);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(zel_sim_engine_ns_is_allocated(eng(), kPool, 5));
    uint32_t id = 0;
    EXPECT_EQ(zel_ipv4_vrd_valid_handle(h, &id), 1);
    EXPECT_EQ(id, 5u);
    zel_ip_vrd_handle_t got = nullptr;
    EXPECT_EQ(zel_ip_vrd_handle_get(m_, 5, &got), 0u);
    EXPECT_EQ(got, h);
    expect_invalid_sources(5, true);
    expect_invalid_sources(4, false);
    expect_invalid_sources(63, false);
    EXPECT_EQ(zel_ip_vrd_delete(m_, h), 0u);
}

// A create that is refused leaves nothing behind: no record, no entry, the
// caller's handle as it was.
TEST_F(Vrf, CreateRefusals) {
    zel_ip_vrd_handle_t live = create(7);
    const uint32_t entries = zel_sim_engine_entry_count(eng(), tree_id(eng(), kTreeSrcAddr));
    const int64_t mem = mem_delta();
    const std::string taken = kErr + "Failed to allocate vrd namespace ID, RTE Error: " +
                              hwe_status_get(HWE_E_ID_TAKEN) + "\n" + kErr + status_text(0x3001d) + "\n";
    const std::string range = kErr + "Failed to allocate vrd namespace ID, RTE Error: " +
                              hwe_status_get(HWE_E_ID_RANGE) + "\n" + kErr + status_text(0x3001d) + "\n";
    struct Case {
        const char *what;
        bool null_id, null_out;
        uint32_t id;
        uint32_t status;
        std::string text;
    };
    const Case cases[] = {
        {"default domain 63", false, false, 63, 0x3001d, taken},
        {"a live id", false, false, 7, 0x3001d, taken},
        {"id 64", false, false, 64, 0x3001d, range},
        {"NULL id", true, false, 1, 0x30008, kErr + "Invalid NULL pointer parameter\n"},
        {"NULL out", false, true, 1, 0x30008, kErr + "Invalid NULL pointer parameter\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        zel_ip_vrd_handle_t out = reinterpret_cast<zel_ip_vrd_handle_t>(uintptr_t{0x1234});
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_vrd_create(m_, c.null_id ? nullptr : &c.id, c.null_out ? nullptr : &out), c.status);
        EXPECT_EQ(mask_sites(cap.text()), c.text);
        EXPECT_EQ(out, reinterpret_cast<zel_ip_vrd_handle_t>(uintptr_t{0x1234}));
        EXPECT_EQ(zel_sim_engine_entry_count(eng(), tree_id(eng(), kTreeSrcAddr)), entries);
        EXPECT_EQ(mem_delta(), mem);
    }
    EXPECT_TRUE(zel_sim_engine_ns_is_allocated(eng(), kPool, 63));
    EXPECT_FALSE(zel_sim_engine_ns_is_allocated(eng(), kPool, 1));
    EXPECT_EQ(zel_ip_vrd_delete(m_, live), 0u);
}

TEST_F(Vrf, DeleteReleasesEverythingAndTheIdCanBeCreatedAgain) {
    const int64_t mem = mem_delta();
    zel_ip_vrd_handle_t h = create(12);
    EXPECT_EQ(zel_ip_vrd_delete(m_, h), 0u);
    EXPECT_EQ(zel_ipv4_vrd_valid_handle(h, nullptr), 0);
    EXPECT_FALSE(zel_sim_engine_ns_is_allocated(eng(), kPool, 12));
    expect_invalid_sources(12, false);
    EXPECT_EQ(mem_delta(), mem);

    // The stale handle is refused, not followed.
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_vrd_delete(m_, h), 0x30008u);
        EXPECT_EQ(zel_ip_vrd_mode(m_, h, 1), 0x30008u);
        EXPECT_EQ(mask_sites(cap.text()),
                  kErr + "Invalid VRD Handle\n" + kErr + "Invalid VRD Handle type\n");
    }
    zel_ip_vrd_handle_t again = create(12);
    ASSERT_NE(again, nullptr);
    expect_invalid_sources(12, true);
    EXPECT_EQ(zel_ip_vrd_delete(m_, again), 0u);
}

TEST_F(Vrf, TheDefaultDomainCannotBeDeleted) {
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_vrd_delete(m_, nullptr), 0x30008u);
    EXPECT_EQ(mask_sites(cap.text()), kErr + "Invalid VRD Handle\n");
    EXPECT_TRUE(zel_sim_engine_ns_is_allocated(eng(), kPool, 63));
    zel_ip_vrd_handle_t h = reinterpret_cast<zel_ip_vrd_handle_t>(uintptr_t{1});
    EXPECT_EQ(zel_ip_vrd_handle_get(m_, 63, &h), 0u);
    EXPECT_EQ(h, nullptr);
}

// Host mode is the tree-1 entry of the domain; a NULL handle is domain 63.
TEST_F(Vrf, HostAndRouterModeOfTheDefaultDomain) {
    const hwe_action_t host{HWE_ACTION_FUNC, fn_id(eng(), kFnVrfRoutingDisabled), 0};
    EXPECT_EQ(zel_ip_vrd_mode(m_, nullptr, ZEL_IP_VRD_MODE_HOST), 0u);
    EXPECT_TRUE(same(mode_of(eng(), 63), host));
    EXPECT_NE(mode_of(eng(), 62).kind, HWE_ACTION_FUNC);
    EXPECT_EQ(zel_ip_vrd_mode(m_, nullptr, 2), 0u);  // any mode but 1 routes
    EXPECT_NE(mode_of(eng(), 63).kind, HWE_ACTION_FUNC);

    // Router mode on a domain already routing: the engine refuses to
    // remove an entry that is not there, and that refusal is returned.
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_vrd_mode(m_, nullptr, ZEL_IP_VRD_MODE_ROUTER), 0x10041u);
    EXPECT_EQ(mask_sites(cap.text()),
              kErr + "RTE Error: " + hwe_status_get(HWE_E_NOT_LEARNT) +
                  ", Failed to unlearn the input pattern\n" + kErr + status_text(0x41) + "\n" + kFatal +
                  "Could not remove the LPM rule from hardware\n" + kFatal + status_text(0x10041) + "\n");
}

TEST_F(Vrf, ADomainDeletedInHostModeComesBackInHostMode) {
    zel_ip_vrd_handle_t h = create(9);
    EXPECT_EQ(zel_ip_vrd_mode(m_, h, ZEL_IP_VRD_MODE_HOST), 0u);
    EXPECT_EQ(zel_ip_vrd_delete(m_, h), 0u);
    EXPECT_EQ(mode_of(eng(), 9).kind, HWE_ACTION_FUNC);
    h = create(9);
    EXPECT_EQ(mode_of(eng(), 9).kind, HWE_ACTION_FUNC);
    EXPECT_EQ(zel_ip_vrd_mode(m_, h, ZEL_IP_VRD_MODE_ROUTER), 0u);
    EXPECT_NE(mode_of(eng(), 9).kind, HWE_ACTION_FUNC);
    EXPECT_EQ(zel_ip_vrd_delete(m_, h), 0u);
}

TEST_F(Vrf, HandleGet) {
    zel_ip_vrd_handle_t live = create(3);
    struct Case {
        uint32_t id;
        bool null_out;
        uint32_t status;
        zel_ip_vrd_handle_t out;
        std::string text;
    };
    const zel_ip_vrd_handle_t untouched = reinterpret_cast<zel_ip_vrd_handle_t>(uintptr_t{0x77});
    const Case cases[] = {
        {3, false, 0, live, ""},
        {63, false, 0, nullptr, ""},
        {10, false, 0x30013, nullptr, kErr + "VRD handle for VRD ID 10 does not exist\n"},
        {64, false, 0x30008, untouched, kErr + "VRD ID 64 out of range\n"},
        {3, true, 0x30008, untouched, kErr + "Invalid NULL pointer parameter\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id);
        zel_ip_vrd_handle_t out = untouched;
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_vrd_handle_get(m_, c.id, c.null_out ? nullptr : &out), c.status);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(mask_sites(cap.text()), c.text);
    }
    EXPECT_EQ(zel_ip_vrd_delete(m_, live), 0u);
}

// A failed create whose give-back fails too: the id is kept, said so, and
// released by the next domain call, so that it can be created again.
TEST_F(Vrf, AnIdAFailedCreateCouldNotGiveBackIsReleasedLater) {
    for (bool learnt : {false, true}) {
        SCOPED_TRACE(learnt ? "after an entry was learnt" : "no record");
        if (learnt) {
            // The last entry fails in its database step, and so does every
            // withdrawal: two entries stay, and the id with them.
            fail_call("hwe_subnet_del_subnet", 1, 0, true);
        } else {
            zel_sim_mem_set_limit(zel_sim_mem_in_use());  // the record
            fail_call("hwe_rsrc_free", 1);
        }
        uint32_t id = 5;
        zel_ip_vrd_handle_t h = nullptr;
        std::string text;
        {
            StdoutCapture cap;
            EXPECT_NE(zel_ip_vrd_create(m_, &id, &h), 0u);
            text = mask_sites(cap.text());
        }
        zel_sim_mem_set_limit(0);
        clear_faults();
        EXPECT_EQ(h, nullptr);
        EXPECT_NE(text.find(kFatal + "VRD ID 0x5 could not be given back; a later domain create or delete "
                                     "releases it\n"),
                  std::string::npos)
            << text;
        EXPECT_TRUE(zel_sim_engine_ns_is_allocated(eng(), kPool, 5));
        // Another domain's create settles it: entries withdrawn, id free.
        zel_ip_vrd_handle_t other = create(6);
        EXPECT_FALSE(zel_sim_engine_ns_is_allocated(eng(), kPool, 5));
        expect_invalid_sources(5, false);
        EXPECT_EQ(zel_ip_vrd_delete(m_, other), 0u);
        h = create(5);
        expect_invalid_sources(5, true);
        EXPECT_EQ(zel_ip_vrd_delete(m_, h), 0u);
        expect_invalid_sources(5, false);
    }
}

// ---- platform failures -----------------------------------------------------

using zel::test::fault_sweep;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

zel_ip_vrd_handle_t handle_of(SweepEnv &env, uint32_t id) {
    zel_ip_vrd_handle_t h = nullptr;
    zel_ip_vrd_handle_get(env.m, id, &h);
    return h;
}

bool allocated(SweepEnv &env, uint32_t id) {
    return zel_sim_engine_ns_is_allocated(zel_sim_engine(env.sim), kPool, id) != 0;
}

TEST(VrfFaults, CreateEitherCompletesOrGivesTheIdBack) {
    SweepOp op;
    op.name = "zel_ip_vrd_create";
    op.op = [](SweepEnv &env) {
        uint32_t id = 5;
        zel_ip_vrd_handle_t h = nullptr;
        return zel_ip_vrd_create(env.m, &id, &h);
    };
    op.check = [](SweepEnv &env, const SweepRun &run) {
        expect_failure(run, "Could not program LPM rule in hardware");
        hwe_engine_t *eng = zel_sim_engine(env.sim);
        // A failed create leaves no domain (unless only the unlock failed);
        // its id goes back, unless the persisting fault failed that too.
        const bool done = run.status == 0 || run.call == "zel_sys_rw_lock_post";
        zel_ip_vrd_handle_t h = handle_of(env, 5);
        EXPECT_EQ(h != nullptr, done);
        if (done || !run.persist) {
            EXPECT_EQ(allocated(env, 5), done);
        }
        // The module is usable: the domain can be created (again), also when
        // the persisting fault kept the id (the create releases it first),
        // and goes.
        if (!h) {
            uint32_t id = 5;
            ASSERT_EQ(zel_ip_vrd_create(env.m, &id, &h), 0u);
        }
        EXPECT_EQ(lookup(eng, kTreeSrcAddr, 5, 0x7f000001).kind, HWE_ACTION_FUNC);
        EXPECT_EQ(zel_ip_vrd_delete(env.m, h), 0u);
        EXPECT_EQ(zel_sim_engine_entry_count(eng, tree_id(eng, kTreeSrcAddr)), 0u);
    };
    fault_sweep(op);
}

TEST(VrfFaults, DeleteEitherKeepsTheDomainOrEndsIt) {
    SweepOp op;
    op.name = "zel_ip_vrd_delete";
    auto vrd = std::make_shared<zel_ip_vrd_handle_t>();
    op.setup = [vrd](SweepEnv &env) {
        zel::test::sweep_start(env);
        uint32_t id = 5;
        ASSERT_EQ(zel_ip_vrd_create(env.m, &id, vrd.get()), 0u);
    };
    op.op = [vrd](SweepEnv &env) { return zel_ip_vrd_delete(env.m, *vrd); };
    op.check = [](SweepEnv &env, const SweepRun &run) {
        expect_failure(run, "Could not program LPM rule in hardware");
        // A delete that fails keeps the domain, its id and its handle
        // (whatever entries it withdrew stay withdrawn), and repeating it
        // completes it. Only a failed unlock comes after the work.
        const bool kept = run.hits > 0 && run.call != "zel_sys_rw_lock_post";
        EXPECT_EQ(allocated(env, 5), kept);
        zel_ip_vrd_handle_t h = handle_of(env, 5);
        EXPECT_EQ(h != nullptr, kept);
        if (kept) {
            uint32_t id = 0;
            EXPECT_TRUE(zel_ipv4_vrd_valid_handle(h, &id));
            EXPECT_EQ(zel_ip_vrd_delete(env.m, h), 0u);
            EXPECT_FALSE(allocated(env, 5));
        }
        // Created again, the domain is whole, and deleted it leaves no entry.
        uint32_t id = 5;
        ASSERT_EQ(zel_ip_vrd_create(env.m, &id, &h), 0u);
        EXPECT_EQ(zel_ip_vrd_delete(env.m, h), 0u);
        EXPECT_EQ(zel_sim_engine_entry_count(zel_sim_engine(env.sim), tree_id(zel_sim_engine(env.sim), kTreeSrcAddr)),
                  0u);
    };
    fault_sweep(op);
}

TEST(VrfFaults, ModeEitherSwitchesOrLeavesTheMode) {
    for (uint32_t mode : {ZEL_IP_VRD_MODE_HOST, ZEL_IP_VRD_MODE_ROUTER}) {
        SweepOp op;
        op.name = mode == ZEL_IP_VRD_MODE_HOST ? "zel_ip_vrd_mode host" : "zel_ip_vrd_mode router";
        op.setup = [mode](SweepEnv &env) {
            zel::test::sweep_start(env);
            if (mode == ZEL_IP_VRD_MODE_ROUTER) {
                ASSERT_EQ(zel_ip_vrd_mode(env.m, nullptr, 1), 0u);
            }
        };
        op.op = [mode](SweepEnv &env) { return zel_ip_vrd_mode(env.m, nullptr, mode); };
        op.check = [mode](SweepEnv &env, const SweepRun &run) {
            expect_failure(run, mode == ZEL_IP_VRD_MODE_HOST ? "Could not add the LPM rule in hardware"
                                                             : "Could not remove the LPM rule from hardware");
            const bool switched = run.status == 0 || run.call == "zel_sys_rw_lock_post";
            const bool host = (mode == ZEL_IP_VRD_MODE_HOST) == switched;
            EXPECT_EQ(mode_of(zel_sim_engine(env.sim), 63).kind == HWE_ACTION_FUNC, host);
        };
        fault_sweep(op);
    }
}

}  // namespace
