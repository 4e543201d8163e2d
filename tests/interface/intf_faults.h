// Shared by the interface fault sweeps: what the module reports when one
// platform call fails (status and the log lines of a level, each followed
// by the framework's text of the status), and the failure shapes of tree
// programming.
#ifndef INTF_FAULTS_H
#define INTF_FAULTS_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "zel_fault_sweep.h"
#include "zel_sim.h"
#include "zel_test_fixture.h"

namespace intf_test {

inline constexpr uint32_t kFault = HWE_E_FAULT;  // what a failing platform call returns

// The messages of `level` in `output`, without their prefix and site.
inline std::vector<std::string> lines_at(const std::string &output, const char *level) {
    std::vector<std::string> out;
    const std::string prefix = std::string("[zel_ip_log: ") + level + "] FILE:LINE ";
    for (const std::string &l : zel::test::lines_of(zel::test::mask_sites(output)))
        if (l.rfind(prefix, 0) == 0) out.push_back(l.substr(prefix.size()));
    return out;
}

// What the module reports when one platform call fails: its status and
// its lines of `level` (each message followed by the framework's text of
// the status). Tree calls fail in different entries, so several sequences
// of messages may fit.
struct Expected {
    const char *call;
    uint32_t status;  // 0: a failed key build, whose status sums the builder's results
    std::vector<std::vector<std::string>> messages;  // one of these, each line + status text
    const char *level = "FATAL";
};

inline const std::string kRte = std::string("RTE Error: ") + hwe_status_get(kFault);
inline const std::vector<std::string> kBuild{"Could not build the input pattern"};

// Failures of tree programming, as `rule` reports them, or inside the
// guard entries of a subnet with the caller's message after them.
inline std::vector<std::vector<std::string>> rule_failures(const char *rule, const char *sip, const char *dip) {
    return {{rule}, {"Could not program LPM rule in hardware", sip}, {"Could not program LPM rule in hardware", dip}};
}
inline std::vector<std::vector<std::string>> build_failures(const char *sip, const char *dip) {
    return {kBuild, {kBuild[0], sip}, {kBuild[0], dip}};
}

// The failures of learning entries (`rule`: the caller's rule message;
// `sip`, `dip`: its guard messages).
inline std::vector<Expected> learn_failures(const char *rule, const char *sip, const char *dip) {
    return {
        {"zel_ptn_clear", 0, build_failures(sip, dip)},
        {"zel_ptn_extend", 0, build_failures(sip, dip)},
        {"hwe_ptn_learn", 0x10040, rule_failures(rule, sip, dip)},
        {"hwe_subnet_del_subnet", 0x1003d, rule_failures(rule, sip, dip)},
        {"hwe_subnet_add_subnet", 0x1003c, rule_failures(rule, sip, dip)},
    };
}

// The failures of unlearning entries.
inline std::vector<Expected> unlearn_failures(const char *rule, const char *sip, const char *dip) {
    return {
        {"zel_ptn_clear", 0, build_failures(sip, dip)},
        {"zel_ptn_extend", 0, build_failures(sip, dip)},
        {"hwe_ptn_unlearn", 0x10041, rule_failures(rule, sip, dip)},
        {"hwe_subnet_find_higher_subnet", 0x1003e, rule_failures(rule, sip, dip)},
        {"hwe_subnet_del_subnet", 0x1003d, rule_failures(rule, sip, dip)},
        {"hwe_subnet_add_subnet", 0x1003c, rule_failures(rule, sip, dip)},
    };
}

// Checks the status and the lines of a run that met a fault, the
// release-lock failure included. Returns false when the fault hit the
// lock (the operation itself then did not run, or ran to its end).
inline bool expect_reported(zel::test::SweepEnv &env, const zel::test::SweepRun &run,
                            const std::vector<Expected> &table) {
    using zel::test::status_text;
    SCOPED_TRACE("failing call " + run.call + "\n" + run.output);
    if (run.call == "zel_sys_rw_lock_wait") {
        EXPECT_EQ(run.status, 0x30000 | kFault);
        EXPECT_EQ(lines_at(run.output, "ERROR"),
                  (std::vector<std::string>{"Failed to acquire IP module rw write lock",
                                            status_text(env, 0x30000 | kFault)}));
        return false;
    }
    const std::vector<std::string> fatal = lines_at(run.output, "FATAL");
    if (run.persist || run.call == "zel_sys_rw_lock_post") {
        // The release fails last and its status replaces the result.
        EXPECT_EQ(run.status, 0x10000 | kFault);
        EXPECT_GE(fatal.size(), 2u);
        if (fatal.size() >= 2) {
            EXPECT_EQ(fatal[fatal.size() - 2], "Failed to release IP module rw lock");
        }
        return run.call != "zel_sys_rw_lock_post";
    }
    const Expected *e = nullptr;
    for (const Expected &x : table)
        if (run.call == x.call) e = &x;
    if (!e) {
        ADD_FAILURE() << "unexpected failing call";
        return true;
    }
    if (e->status) {
        EXPECT_EQ(run.status, e->status);
    } else {
        EXPECT_EQ(run.status >> 16, 1u);
        EXPECT_NE(run.status & 0xffff, 0u);
    }
    const std::vector<std::string> got = lines_at(run.output, e->level);
    bool matched = false;
    for (const auto &seq : e->messages) {
        std::vector<std::string> want;
        for (const std::string &msg : seq) {
            want.push_back(msg);
            want.push_back(status_text(env, run.status));
        }
        matched = matched || got == want;
    }
    EXPECT_TRUE(matched) << e->level << " lines do not match";
    return true;
}

// Runs `f` with standard output captured and dropped.
inline uint32_t quietly(const std::function<uint32_t()> &f) {
    zel::test::StdoutCapture quiet;
    return f();
}

}  // namespace intf_test

#endif  // INTF_FAULTS_H
