// Exception handlers: the entries of trees 13 and 15 a registration
// writes, the refusals, unregistration, the half-configured pair a
// failure between the two trees leaves, and fault sweeps of both calls.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "flow_test_util.h"
#include "tree/zel_ip_tree.h"
#include "zel_fault_sweep.h"
#include "zel_test_fixture.h"

using namespace flowtest;
using zel::ip::kTreeException;
using zel::ip::kTreeExceptionPathParam;
using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

constexpr const char *kTestFn = "zel_ip.test_exception_handler";
constexpr const char *kDropFn = "zel_ip.ip_exception_drop_pkts";
constexpr hwe_action_t kNoQueue{HWE_ACTION_VALUE, 0xffffff, 0};

zel_ip_exception_handler_t nca(uint32_t domain, uint32_t type, uint32_t q, void *queue = nullptr) {
    zel_ip_exception_handler_t h{};
    h.domain = domain;
    h.type = type;
    h.action = ZEL_IP_EXC_SEND_TO_CPU_NCA;
    h.target.nca_queue = q;
    h.queue = queue;
    return h;
}
zel_ip_exception_handler_t ph(uint32_t domain, uint32_t type, uint32_t handle, uint8_t cb,
                              void *queue = nullptr) {
    zel_ip_exception_handler_t h{};
    h.domain = domain;
    h.type = type;
    h.action = ZEL_IP_EXC_SEND_TO_CPU_PH;
    h.target.ph_handle = handle;
    h.cb_fn_id = cb;
    h.queue = queue;
    return h;
}
zel_ip_exception_handler_t mpp(uint32_t domain, uint32_t type, const char *fn, void *queue = nullptr) {
    zel_ip_exception_handler_t h{};
    h.domain = domain;
    h.type = type;
    h.action = ZEL_IP_EXC_SEND_TO_MPP_FUNC;
    h.target.mpp_function = fn;
    h.queue = queue;
    return h;
}

class Exception : public ZelTest {
protected:
    Exception() { initial_log_level_ = ZEL_LOG_ERROR; }

    hwe_engine_t *eng() { return zel_sim_engine(sim_); }
    std::string status_text(uint32_t st) { return zel_sys_status_get(m_->sys_ctx, st); }

    hwe_action_t dest(uint32_t domain, uint32_t type) { return lookup(eng(), kTreeException, {domain, type}); }
    hwe_action_t path(uint32_t domain, uint32_t type) {
        return lookup(eng(), kTreeExceptionPathParam, {domain, type});
    }
    hwe_action_t drop() { return {HWE_ACTION_FUNC, symbol_id(eng(), kDropFn), 0}; }

    // Every pair other than {domain, type} answers the trees' defaults.
    void expect_only_pair(uint32_t domain, uint32_t type) {
        for (uint32_t d = 0; d < 4; ++d)
            for (uint32_t t = 0; t < 16; ++t) {
                if (d == domain && t == type) continue;
                SCOPED_TRACE("pair " + std::to_string(d) + "/" + std::to_string(t));
                EXPECT_ACTION(dest(d, t), drop());
                EXPECT_ACTION(path(d, t), kNoQueue);
            }
    }
};

// The two entries of each action, against the engine's trees.
TEST_F(Exception, RegistrationWritesBothTreesPerAction) {
    void *q77 = zel_sim_qos_queue_new(sim_, 77);
    const uint32_t fn = symbol_id(eng(), kTestFn);
    struct Case {
        const char *what;
        zel_ip_exception_handler_t h;
        hwe_action_t dest, path;
    };
    const Case cases[] = {
        // Queue 5: bits 0 and 1 set, the queue from bit 2 on.
        {"NCA queue 5, no queue handle", nca(0, 3, 5), {HWE_ACTION_VALUE, 0x17, 0}, kNoQueue},
        {"NCA, largest queue id, via queue 77", nca(2, 9, 0x3fffff, q77),
         {HWE_ACTION_VALUE, 0xffffff, 0}, {HWE_ACTION_VALUE, 77, 1}},
        // Handle bits 0-21 from W1 bit 2, bits 22-30 in W2, callback id
        // from W2 bit 10; handle bit 31 is dropped.
        {"PH 0x80400001 callback 3", ph(3, 0, 0x80400001, 3), {HWE_ACTION_VALUE, 0x000005, 0x000c01}, kNoQueue},
        {"PH all handle bits, callback 255, via queue 77", ph(3, 7, 0xffffffff, 255, q77),
         {HWE_ACTION_VALUE, 0xfffffd, 0x03fdff}, {HWE_ACTION_VALUE, 77, 1}},
        // A function entry; the queue handle is not looked at.
        {"MPP function with a queue handle", mpp(2, 0, kTestFn, q77), {HWE_ACTION_FUNC, fn, 0}, kNoQueue},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_exception_handler_register(m_, &c.h), 0u);
        EXPECT_EQ(cap.text(), "");
        EXPECT_ACTION(dest(c.h.domain, c.h.type), c.dest);
        EXPECT_ACTION(path(c.h.domain, c.h.type), c.path);
        expect_only_pair(c.h.domain, c.h.type);
        EXPECT_EQ(zel_ip_exception_handler_unregister(m_, &c.h), 0u);
        EXPECT_ACTION(dest(c.h.domain, c.h.type), drop());
        EXPECT_ACTION(path(c.h.domain, c.h.type), kNoQueue);
        EXPECT_EQ(entries(eng(), kTreeException), 0u);
        EXPECT_EQ(entries(eng(), kTreeExceptionPathParam), 0u);
    }
}

// A second registration of a pair replaces both entries, the queue too.
TEST_F(Exception, RegistrationReplacesTheHandlerOfThePair) {
    void *q = zel_sim_qos_queue_new(sim_, 12);
    auto first = nca(0, 1, 40, q);
    auto second = mpp(0, 1, kTestFn);
    ASSERT_EQ(zel_ip_exception_handler_register(m_, &first), 0u);
    ASSERT_EQ(zel_ip_exception_handler_register(m_, &second), 0u);
    EXPECT_ACTION(dest(0, 1), (hwe_action_t{HWE_ACTION_FUNC, symbol_id(eng(), kTestFn), 0}));
    EXPECT_ACTION(path(0, 1), kNoQueue);
    EXPECT_EQ(entries(eng(), kTreeException), 1u);
    EXPECT_EQ(entries(eng(), kTreeExceptionPathParam), 1u);
}

// Refused registrations change neither tree: the pair keeps the handler it
// had. Each prints its message (and the status text where it says so).
TEST_F(Exception, RefusedRegistrationsChangeNothing) {
    void *q = zel_sim_qos_queue_new(sim_, 9);
    auto kept = nca(2, 4, 33, q);
    ASSERT_EQ(zel_ip_exception_handler_register(m_, &kept), 0u);
    const hwe_action_t kept_dest = dest(2, 4), kept_path = path(2, 4);
    void *stranger = &kept;  // not a queue of the QoS service

    auto with = [](zel_ip_exception_handler_t h, auto &&edit) {
        edit(h);
        return h;
    };
    struct Case {
        const char *what;
        bool null;
        zel_ip_exception_handler_t h;
        uint32_t status;
        std::string text;
    };
    const Case cases[] = {
        {"NULL record", true, {}, 0x30008, kErr + "NULL pointer parameter\n" + kErr + status_text(0x30008) + "\n"},
        {"domain 1", false, nca(1, 4, 1), 0x30008, kErr + "Invalid Exception domain specified\n"},
        {"domain 4 (outside the key field)", false, nca(4, 4, 1), 0x30008,
         kErr + "Invalid Exception domain specified\n"},
        {"type 10", false, nca(2, 10, 1), 0x30008, kErr + "Invalid Exception type \n"},
        {"action 0", false, with(nca(2, 4, 1), [](auto &h) { h.action = 0; }), 0x30008,
         kErr + "Invalid action for the exception\n"},
        {"action 4", false, with(nca(2, 4, 1), [](auto &h) { h.action = 4; }), 0x30008,
         kErr + "Invalid action for the exception\n"},
        {"MPP without a name", false, mpp(2, 4, nullptr), 0x30008,
         kErr + "No MPP function name given for the exception\n"},
        {"NCA queue wider than 22 bits", false, nca(2, 4, 0x400000), 0x30008,
         kErr + "NCA queue id 0x400000 does not fit the exception entry\n"},
        {"unknown queue handle", false, nca(2, 4, 1, stranger), 0x30001,
         kErr + "Failed to get MTM queue ID for CPU path\n" + kErr + status_text(0x30001) + "\n"},
        {"unknown MPP function", false, mpp(2, 4, "zel_ip.no_such_function"), 0x1003f,
         kFatal + "Failed to get handler MPP function ID, RTE Error: " + hwe_status_get(HWE_E_NOT_FOUND) +
             "\n" + kFatal + status_text(0x1003f) + "\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_exception_handler_register(m_, c.null ? nullptr : &c.h), c.status);
        EXPECT_EQ(mask_sites(cap.text()), c.text);
        EXPECT_ACTION(dest(2, 4), kept_dest);
        EXPECT_ACTION(path(2, 4), kept_path);
        expect_only_pair(2, 4);
    }
}

TEST_F(Exception, EveryRegistrableDomainAndType) {
    for (uint32_t d : {0u, 2u, 3u})
        for (uint32_t t = 0; t <= 9; ++t) {
            auto h = nca(d, t, d * 16 + t);
            ASSERT_EQ(zel_ip_exception_handler_register(m_, &h), 0u) << d << "/" << t;
        }
    EXPECT_EQ(entries(eng(), kTreeException), 30u);
    for (uint32_t d : {0u, 2u, 3u})
        for (uint32_t t = 0; t <= 9; ++t)
            EXPECT_ACTION(dest(d, t), (hwe_action_t{HWE_ACTION_VALUE, (d * 16 + t) << 2 | 3, 0}));
    for (uint32_t t = 0; t < 16; ++t) EXPECT_ACTION(dest(1, t), drop());
}

// Unregistration reads domain and type only, accepts domain 1 and passes
// the engine's refusal of a pair without a handler on as it stands.
TEST_F(Exception, UnregistrationChecksAndRefusals) {
    const std::string not_learnt = kErr + "RTE Error: " + hwe_status_get(HWE_E_NOT_LEARNT) +
                                   ", Failed to unlearn the input pattern\n" + kErr + status_text(0x41) + "\n";
    zel_ip_exception_handler_t garbage_action = nca(1, 2, 0);
    garbage_action.action = 99;
    struct Case {
        const char *what;
        bool null;
        zel_ip_exception_handler_t h;
        uint32_t status;
        std::string text;
    };
    const Case cases[] = {
        {"NULL record", true, {}, 0x30008, kErr + "Invalid input parameter\n" + kErr + status_text(0x30008) + "\n"},
        {"type 10", false, nca(0, 10, 0), 0x30008, kErr + "Invalid Exception type \n"},
        {"domain 4", false, nca(4, 0, 0), 0x30008, kErr + "Invalid Exception domain specified\n"},
        {"domain 1 passes the checks", false, garbage_action, 0x41, not_learnt},
        {"a pair never registered", false, nca(3, 9, 0), 0x41, not_learnt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_exception_handler_unregister(m_, c.null ? nullptr : &c.h), c.status);
        EXPECT_EQ(mask_sites(cap.text()), c.text);
    }
    // Registered, removed, and a second removal is refused.
    auto h = ph(3, 9, 0x1234, 1);
    ASSERT_EQ(zel_ip_exception_handler_register(m_, &h), 0u);
    auto key_only = nca(3, 9, 0);
    key_only.action = 0;
    EXPECT_EQ(zel_ip_exception_handler_unregister(m_, &key_only), 0u);
    EXPECT_ACTION(dest(3, 9), drop());
    StdoutCapture quiet;
    EXPECT_EQ(zel_ip_exception_handler_unregister(m_, &key_only), 0x41u);
}

// A failure between the two trees leaves the pair half configured; the
// same call repeated completes it.
TEST_F(Exception, HalfConfiguredPairIsCompletedByARepeatedCall) {
    void *q = zel_sim_qos_queue_new(sim_, 300);
    auto h = nca(0, 6, 21, q);
    const hwe_action_t want_dest{HWE_ACTION_VALUE, 21 << 2 | 3, 0}, want_path{HWE_ACTION_VALUE, 300, 1};

    // Registration: the tree-15 learn fails.
    fail_call("hwe_ptn_learn", 2);
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_exception_handler_register(m_, &h), 0x10040u);
        EXPECT_NE(mask_sites(cap.text()).find(kFatal + "Failed to configure CPU path param for exception in hardware\n" +
                                              kFatal + status_text(0x10040) + "\n"),
                  std::string::npos)
            << cap.text();
    }
    EXPECT_ACTION(dest(0, 6), want_dest);
    EXPECT_ACTION(path(0, 6), kNoQueue);
    EXPECT_EQ(zel_ip_exception_handler_register(m_, &h), 0u);
    EXPECT_ACTION(path(0, 6), want_path);

    // Unregistration: the tree-15 unlearn fails; the repeated call removes
    // what is left instead of stopping at the tree-13 entry already gone.
    fail_call("hwe_ptn_unlearn", 2);
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_exception_handler_unregister(m_, &h), 0x41u);
    }
    EXPECT_ACTION(dest(0, 6), drop());
    EXPECT_ACTION(path(0, 6), want_path);
    EXPECT_EQ(zel_ip_exception_handler_unregister(m_, &h), 0u);
    EXPECT_ACTION(path(0, 6), kNoQueue);
    {
        StdoutCapture quiet;
        EXPECT_EQ(zel_ip_exception_handler_unregister(m_, &h), 0x41u);
    }

    // A first registration whose tree-15 learn failed leaves a tree-13
    // entry only: unregistration removes it and succeeds.
    fail_call("hwe_ptn_learn", 2);
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_exception_handler_register(m_, &h), 0x10040u);
    }
    EXPECT_EQ(zel_ip_exception_handler_unregister(m_, &h), 0u);
    EXPECT_ACTION(dest(0, 6), drop());
    EXPECT_EQ(entries(eng(), kTreeException), 0u);
    EXPECT_EQ(entries(eng(), kTreeExceptionPathParam), 0u);
}

// The key has two fields: a builder failing at both is reported with its
// own status, not the sum of the two failures.
TEST_F(Exception, AFailedKeyBuildReturnsTheBuildersOwnStatus) {
    const auto h = ph(3, 2, 0x42, 1);
    for (bool registering : {true, false}) {
        SCOPED_TRACE(registering ? "register" : "unregister");
        if (!registering) {
            ASSERT_EQ(zel_ip_exception_handler_register(m_, &h), 0u);
        }
        fail_call("zel_ptn_extend", 1, ZEL_E_INVALID_PARAM, true);
        StdoutCapture out;
        const uint32_t st = registering ? zel_ip_exception_handler_register(m_, &h)
                                        : zel_ip_exception_handler_unregister(m_, &h);
        clear_faults();
        EXPECT_EQ(st, 0x10008u);
        EXPECT_EQ(mask_sites(out.text()),
                  "[zel_ip_log: FATAL] FILE:LINE Could not build the input pattern\n"
                  "[zel_ip_log: FATAL] FILE:LINE " + status_text(0x10008) + "\n");
    }
    EXPECT_EQ(zel_ip_exception_handler_unregister(m_, &h), 0u);
}

// ---- fault sweeps --------------------------------------------------------------

using zel::test::fault_sweep;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

hwe_action_t sweep_lookup(SweepEnv &env, uint32_t tree) {
    return lookup(zel_sim_engine(env.sim), tree, {3, 2});
}

// Where a registration of pair 3/2 stands after a run: nothing changed
// before the tree-13 learn, the tree-13 entry alone after it; the call
// repeated completes it and the pair can be removed.
void check_register(SweepEnv &env, const SweepRun &run, const zel_ip_exception_handler_t &h,
                    const hwe_action_t &want_dest, const hwe_action_t &want_path) {
    hwe_engine_t *eng = zel_sim_engine(env.sim);
    Expected e = run.call == "hwe_ptn_symbol_get_id"
                     ? Expected{0x1003f, "Failed to get handler MPP function ID, RTE Error: " +
                                             std::string(hwe_status_get(kFault))}
                     : expected_failure(run.call, "", "Failed to get MTM queue ID for CPU path");
    if (run.call == "hwe_ptn_learn") {
        e.message = zel_sim_call_count("hwe_ptn_learn") == 1
                        ? "Failed to add the exception rule in hardware"
                        : "Failed to configure CPU path param for exception in hardware";
    }
    expect_failure(run, e);
    const bool dest_done = run.status == 0 || run.call == "zel_sys_rw_lock_post" ||
                           !same(sweep_lookup(env, kTreeException), default_of(eng, kTreeException));
    if (dest_done) {
        EXPECT_ACTION(sweep_lookup(env, kTreeException), want_dest);
    }
    if (run.status == 0 || run.call == "zel_sys_rw_lock_post") {
        EXPECT_ACTION(sweep_lookup(env, kTreeExceptionPathParam), want_path);
    } else {
        EXPECT_ACTION(sweep_lookup(env, kTreeExceptionPathParam), kNoQueue);
    }
    EXPECT_EQ(zel_ip_exception_handler_register(env.m, &h), 0u);
    EXPECT_ACTION(sweep_lookup(env, kTreeException), want_dest);
    EXPECT_ACTION(sweep_lookup(env, kTreeExceptionPathParam), want_path);
    EXPECT_EQ(zel_ip_exception_handler_unregister(env.m, &h), 0u);
    EXPECT_EQ(entries(eng, kTreeException) + entries(eng, kTreeExceptionPathParam), 0u);
}

TEST(ExceptionFaults, RegisterNcaWithQueue) {
    SweepOp op;
    op.name = "zel_ip_exception_handler_register NCA";
    auto queue = std::make_shared<void *>();
    op.setup = [queue](SweepEnv &env) {
        zel::test::sweep_start(env);
        *queue = zel_sim_qos_queue_new(env.sim, 64);
    };
    op.op = [queue](SweepEnv &env) {
        auto h = nca(3, 2, 7, *queue);
        return zel_ip_exception_handler_register(env.m, &h);
    };
    op.check = [queue](SweepEnv &env, const SweepRun &run) {
        check_register(env, run, nca(3, 2, 7, *queue), {HWE_ACTION_VALUE, 7 << 2 | 3, 0}, {HWE_ACTION_VALUE, 64, 1});
    };
    fault_sweep(op);
}

TEST(ExceptionFaults, RegisterMppFunction) {
    SweepOp op;
    op.name = "zel_ip_exception_handler_register MPP";
    op.op = [](SweepEnv &env) {
        auto h = mpp(3, 2, kTestFn);
        return zel_ip_exception_handler_register(env.m, &h);
    };
    op.check = [](SweepEnv &env, const SweepRun &run) {
        const hwe_action_t fn{HWE_ACTION_FUNC, symbol_id(zel_sim_engine(env.sim), kTestFn), 0};
        check_register(env, run, mpp(3, 2, kTestFn), fn, kNoQueue);
    };
    fault_sweep(op);
}

TEST(ExceptionFaults, RegisterPhWithQueue) {
    SweepOp op;
    op.name = "zel_ip_exception_handler_register PH";
    auto queue = std::make_shared<void *>();
    op.setup = [queue](SweepEnv &env) {
        zel::test::sweep_start(env);
        *queue = zel_sim_qos_queue_new(env.sim, 64);
    };
    op.op = [queue](SweepEnv &env) {
        auto h = ph(3, 2, 0x80400001, 3, *queue);
        return zel_ip_exception_handler_register(env.m, &h);
    };
    op.check = [queue](SweepEnv &env, const SweepRun &run) {
        check_register(env, run, ph(3, 2, 0x80400001, 3, *queue), {HWE_ACTION_VALUE, 0x000005, 0x000c01},
                       {HWE_ACTION_VALUE, 64, 1});
    };
    fault_sweep(op);
}

// Unregistration returns the primitive's code as it stands; a removal that
// stopped after tree 13 is completed by the call repeated.
TEST(ExceptionFaults, Unregister) {
    SweepOp op;
    op.name = "zel_ip_exception_handler_unregister";
    op.setup = [](SweepEnv &env) {
        zel::test::sweep_start(env);
        auto h = ph(3, 2, 0x42, 1);
        ASSERT_EQ(zel_ip_exception_handler_register(env.m, &h), 0u);
    };
    op.op = [](SweepEnv &env) {
        auto h = ph(3, 2, 0, 0);
        return zel_ip_exception_handler_unregister(env.m, &h);
    };
    op.check = [](SweepEnv &env, const SweepRun &run) {
        hwe_engine_t *eng = zel_sim_engine(env.sim);
        expect_failure(run, expected_failure(run.call, "", "", true));
        const bool done = run.status == 0 || run.call == "zel_sys_rw_lock_post";
        const bool dest_gone = same(sweep_lookup(env, kTreeException), default_of(eng, kTreeException));
        if (done) {
            EXPECT_TRUE(dest_gone);
        }
        if (!dest_gone) {
            // Nothing was removed: the pair is whole.
            EXPECT_EQ(entries(eng, kTreeExceptionPathParam), 1u);
        }
        auto h = ph(3, 2, 0, 0);
        if (!done) {
            EXPECT_EQ(zel_ip_exception_handler_unregister(env.m, &h), 0u);
        }
        EXPECT_EQ(entries(eng, kTreeException) + entries(eng, kTreeExceptionPathParam), 0u);
        StdoutCapture quiet;
        EXPECT_EQ(zel_ip_exception_handler_unregister(env.m, &h), 0x41u);
    };
    fault_sweep(op);
}

}  // namespace
