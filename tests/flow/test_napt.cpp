// NAPT rules: the two tree-21 entries of a rule for every flag combination
// the checks let through, the refusals, replacement and removal, and fault
// sweeps of add and delete.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "flow_test_util.h"
#include "tree/zel_ip_tree.h"
#include "zel_fault_sweep.h"
#include "zel_test_fixture.h"

using namespace flowtest;
using zel::ip::kTreeNapt;
using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

constexpr uint32_t kIn = 0x0a000001;   // 10.0.0.1
constexpr uint32_t kOut = 0xc6336407;  // 198.51.100.7
constexpr uint16_t kInPort = 8080, kOutPort = 40000;

zel_ip_napt_rule_t rule(uint8_t flags, uint32_t in = kIn, uint16_t in_port = kInPort, uint32_t out = kOut,
                        uint16_t out_port = kOutPort) {
    zel_ip_napt_rule_t r{};
    r.flags = flags;
    r.in_addr = in;
    r.in_port = in_port;
    r.out_addr = out;
    r.out_port = out_port;
    return r;
}

// The value translating to `addr` (and `port`, 0: not translated).
constexpr hwe_action_t to(uint32_t addr, uint32_t port) {
    return {HWE_ACTION_VALUE, addr & 0xffffff, (addr >> 24) | (port << 8)};
}

class Napt : public ZelTest {
protected:
    Napt() { initial_log_level_ = ZEL_LOG_ERROR; }
    hwe_engine_t *eng() { return zel_sim_engine(sim_); }
    std::string status_text(uint32_t st) { return zel_sys_status_get(m_->sys_ctx, st); }
    hwe_action_t at(uint32_t addr, uint32_t port) { return lookup(eng(), kTreeNapt, {addr, port}); }
    hwe_action_t none() { return default_of(eng(), kTreeNapt); }
};

// Each accepted flag combination: what each side's address and ports
// translate to, read back from the engine at several ports.
TEST_F(Napt, EntriesOfEachFlagCombination) {
    struct Probe {
        uint32_t addr, port;
        bool hit;             // answered by the rule (else the tree default)
        hwe_action_t value;   // when hit
    };
    struct Case {
        uint8_t flags;
        const char *what;
        std::vector<Probe> probes;
    };
    const Case cases[] = {
        // Addresses only: two 32-bit keys, every port; W2 is the top byte.
        {0x5, "addresses only",
         {{kIn, 0, true, to(kOut, 0)}, {kIn, 65535, true, to(kOut, 0)},
          {kOut, kOutPort, true, to(kIn, 0)}, {kOut + 1, 0, false, {}}}},
        // Both ports: 48-bit keys, each value carries the other side's port.
        {0xF, "addresses and both ports",
         {{kIn, kInPort, true, to(kOut, kOutPort)}, {kIn, kInPort + 1, false, {}},
          {kOut, kOutPort, true, to(kIn, kInPort)}, {kOut, kInPort, false, {}}}},
        // Output port only: both keys carry a port, the input side's the
        // in_port field as it stands; going back, the port is kept.
        {0xD, "output port without input port",
         {{kIn, kInPort, true, to(kOut, kOutPort)}, {kIn, 0, false, {}},
          {kOut, kOutPort, true, to(kIn, 0)}, {kOut, kOutPort - 1, false, {}}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto r = rule(c.flags);
        StdoutCapture cap;
        ASSERT_EQ(zel_ip_napt_rule_add(m_, &r), 0u);
        EXPECT_EQ(entries(eng(), kTreeNapt), 2u);
        for (const Probe &p : c.probes) {
            SCOPED_TRACE(std::to_string(p.addr) + ":" + std::to_string(p.port));
            EXPECT_ACTION(at(p.addr, p.port), p.hit ? p.value : none());
        }
        ASSERT_EQ(zel_ip_napt_rule_delete(m_, &r), 0u);
        EXPECT_EQ(entries(eng(), kTreeNapt), 0u);
        for (const Probe &p : c.probes) EXPECT_ACTION(at(p.addr, p.port), none());
        EXPECT_EQ(cap.text(), "");
    }
}

TEST_F(Napt, RefusalsOfAddAndDelete) {
    const std::string no_out_port =
        kErr + "Output L4 port is mandatory when Input L4 port is specified\n";
    struct Case {
        const char *what;
        bool null;
        uint8_t flags;
        uint32_t status;
        std::string add_text, delete_text;
    };
    const Case cases[] = {
        {"NULL rule", true, 0xf, 0x30008, kErr + "Invalid NULL pointer parameter\n",
         kErr + "Invalid NULL pointer parameter\n"},
        {"no output address (0x1)", false, 0x1, 0x103000e,
         kErr + "Input and Output IP address is mandatory for this API.\n",
         kErr + "Input and Output IP address is mandatory for this API\n"},
        {"no input address (0xC)", false, 0xc, 0x103000e,
         kErr + "Input and Output IP address is mandatory for this API.\n",
         kErr + "Input and Output IP address is mandatory for this API\n"},
        {"input port without output port (0x7)", false, 0x7, 0x103000f, no_out_port, no_out_port},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto r = rule(c.flags);
        {
            StdoutCapture cap;
            EXPECT_EQ(zel_ip_napt_rule_add(m_, c.null ? nullptr : &r), c.status);
            EXPECT_EQ(mask_sites(cap.text()), c.add_text);
        }
        EXPECT_EQ(entries(eng(), kTreeNapt), 0u);
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_napt_rule_delete(m_, c.null ? nullptr : &r), c.status);
        EXPECT_EQ(mask_sites(cap.text()), c.delete_text);
    }
}

// Rules with a common side: a second rule replaces the entry it shares, a
// delete removes exactly the rule's two keys, and deleting a rule that is
// not there is the engine's refusal of the first key.
TEST_F(Napt, ReplacementAndDeletion) {
    auto a = rule(0xF);
    auto b = rule(0xF, kIn, kInPort, kOut + 1, kOutPort);  // same inside key, other outside
    auto other = rule(0x5, kIn + 5, 0, kOut + 5, 0);
    ASSERT_EQ(zel_ip_napt_rule_add(m_, &a), 0u);
    ASSERT_EQ(zel_ip_napt_rule_add(m_, &other), 0u);
    ASSERT_EQ(zel_ip_napt_rule_add(m_, &b), 0u);
    EXPECT_ACTION(at(kIn, kInPort), to(kOut + 1, kOutPort));
    EXPECT_ACTION(at(kOut, kOutPort), to(kIn, kInPort));  // a's way back stays
    EXPECT_EQ(entries(eng(), kTreeNapt), 5u);

    ASSERT_EQ(zel_ip_napt_rule_delete(m_, &b), 0u);
    EXPECT_ACTION(at(kIn, kInPort), none());
    EXPECT_ACTION(at(kOut + 1, kOutPort), none());
    EXPECT_ACTION(at(kOut, kOutPort), to(kIn, kInPort));
    EXPECT_ACTION(at(kIn + 5, 1), to(kOut + 5, 0));

    StdoutCapture cap;
    EXPECT_EQ(zel_ip_napt_rule_delete(m_, &b), 0x10041u);
    EXPECT_EQ(mask_sites(cap.text()),
              kErr + "RTE Error: " + hwe_status_get(HWE_E_NOT_LEARNT) + ", Failed to unlearn the input pattern\n" +
                  kErr + status_text(0x41) + "\n" + kFatal + "Failed to remove LPM rule from hardware\n" + kFatal +
                  status_text(0x10041) + "\n");
    EXPECT_EQ(entries(eng(), kTreeNapt), 3u);
}

// ---- fault sweeps --------------------------------------------------------------

using zel::test::fault_sweep;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

hwe_action_t sweep_at(SweepEnv &env, uint32_t addr, uint32_t port) {
    return lookup(zel_sim_engine(env.sim), kTreeNapt, {addr, port});
}

// Add: the first entry stays when the second fails; the call repeated
// completes the rule.
TEST(NaptFaults, Add) {
    SweepOp op;
    op.name = "zel_ip_napt_rule_add";
    op.op = [](SweepEnv &env) {
        auto r = rule(0xF);
        return zel_ip_napt_rule_add(env.m, &r);
    };
    op.check = [](SweepEnv &env, const SweepRun &run) {
        hwe_engine_t *eng = zel_sim_engine(env.sim);
        expect_failure(run, expected_failure(run.call, "Failed to add LPM rule in hardware"));
        const uint32_t learnt = entries(eng, kTreeNapt);
        if (run.status == 0 || run.call == "zel_sys_rw_lock_post") {
            EXPECT_EQ(learnt, 2u);
        }
        if (learnt == 1) {
            EXPECT_ACTION(sweep_at(env, kIn, kInPort), to(kOut, kOutPort));  // the first one
        }
        auto r = rule(0xF);
        EXPECT_EQ(zel_ip_napt_rule_add(env.m, &r), 0u);
        EXPECT_ACTION(sweep_at(env, kIn, kInPort), to(kOut, kOutPort));
        EXPECT_ACTION(sweep_at(env, kOut, kOutPort), to(kIn, kInPort));
        EXPECT_EQ(zel_ip_napt_rule_delete(env.m, &r), 0u);
        EXPECT_EQ(entries(eng, kTreeNapt), 0u);
    };
    fault_sweep(op);
}

// Delete: the first failure stops; what was removed stays removed.
TEST(NaptFaults, Delete) {
    SweepOp op;
    op.name = "zel_ip_napt_rule_delete";
    op.setup = [](SweepEnv &env) {
        zel::test::sweep_start(env);
        auto r = rule(0x5);
        ASSERT_EQ(zel_ip_napt_rule_add(env.m, &r), 0u);
    };
    op.op = [](SweepEnv &env) {
        auto r = rule(0x5);
        return zel_ip_napt_rule_delete(env.m, &r);
    };
    op.check = [](SweepEnv &env, const SweepRun &run) {
        hwe_engine_t *eng = zel_sim_engine(env.sim);
        expect_failure(run, expected_failure(run.call, "Failed to remove LPM rule from hardware"));
        const hwe_action_t fwd = sweep_at(env, kIn, 1), back = sweep_at(env, kOut, 1);
        const bool fwd_gone = same(fwd, default_of(eng, kTreeNapt));
        const bool back_gone = same(back, default_of(eng, kTreeNapt));
        if (run.status == 0 || run.call == "zel_sys_rw_lock_post") {
            EXPECT_TRUE(fwd_gone && back_gone);
        }
        if (!fwd_gone) {
            EXPECT_FALSE(back_gone) << "removed out of order";
            EXPECT_ACTION(fwd, to(kOut, 0));
            EXPECT_ACTION(back, to(kIn, 0));
        }
        // Added again and deleted, the rule leaves nothing.
        auto r = rule(0x5);
        EXPECT_EQ(zel_ip_napt_rule_add(env.m, &r), 0u);
        EXPECT_EQ(zel_ip_napt_rule_delete(env.m, &r), 0u);
        EXPECT_EQ(entries(eng, kTreeNapt), 0u);
    };
    fault_sweep(op);
}

}  // namespace
