// Helpers of the flow suite: engine lookups of the trees the flow
// operations program, action comparison and the failure each platform
// call produces in a one-tree-at-a-time operation.
#ifndef FLOW_TEST_UTIL_H
#define FLOW_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/zel_ip_status_internal.h"
#include "tree/zel_ip_hw_catalogue.h"
#include "tree/zel_ip_layout.h"
#include "zel_engine_probe.h"
#include "zel_fault_sweep.h"
#include "zel_ip/zel_ip.h"
#include "zel_sim.h"
#include "zel_test_fixture.h"

namespace flowtest {

using zel::test::default_of;
using zel::test::entries;
using zel::test::kFault;
using zel::test::lookup;
using zel::test::same;
using zel::test::str;
using zel::test::symbol_id;
using zel::test::tree_id;

inline const std::string kErr = "[zel_ip_log: ERROR] FILE:LINE ";
inline const std::string kFatal = "[zel_ip_log: FATAL] FILE:LINE ";

// ---- fault sweeps ------------------------------------------------------------


// The status and first message of a run whose first failing platform call
// is `call`, for an operation reporting a failed learn or unlearn with
// `rule_msg` (or, when `primitive_code` is set, returning the rule
// primitive's code as it is), a failed QoS lookup with `qos_msg`.
struct Expected {
    uint32_t status;
    std::string message;
};
inline Expected expected_failure(const std::string &call, const std::string &rule_msg,
                                 const std::string &qos_msg = "", bool primitive_code = false) {
    using zel::ip::error;
    using zel::ip::fatal;
    const uint32_t f = fatal(kFault);
    auto rule = [&](uint32_t code, const char *primitive_msg) -> Expected {
        if (primitive_code) return {code, primitive_msg};
        return {fatal(code), rule_msg};
    };
    if (call.empty()) return {0, ""};  // the run met no fault
    if (call == "zel_sys_rw_lock_wait") return {error(kFault), "Failed to acquire IP module rw write lock"};
    if (call == "zel_sys_rw_lock_post") return {f, "Failed to release IP module rw lock"};
    if (call == "zel_ptn_clear" || call == "zel_ptn_extend") return {f, "Could not build the input pattern"};
    if (call == "zel_qos_queue_id_get" || call == "zel_qos_ds_policy_queueId_get")
        return {error(kFault), qos_msg};
    if (call == "hwe_ptn_learn") return rule(ZEL_E_PTN_LEARN, "Failed to learn the input pattern");
    if (call == "hwe_ptn_unlearn") return rule(ZEL_E_PTN_UNLEARN, "Failed to unlearn the input pattern");
    if (call == "hwe_subnet_del_subnet") return rule(ZEL_E_SUBNET_DELETE, "Failed to delete from subnet database");
    if (call == "hwe_subnet_add_subnet") return rule(ZEL_E_SUBNET_ADD, "Failed to add");
    if (call == "hwe_subnet_find_higher_subnet") return rule(ZEL_E_SUBNET_FIND, "Failed to find higher subnet");
    ADD_FAILURE() << "unexpected failing call " << call;
    return {0, ""};
}

// A run returns the documented status of its first failing call with its
// message; under a persisting fault the lock cannot be released either,
// and that failure (logged too) replaces the status. Returns false when
// the run met no fault (it then must have succeeded).
inline bool expect_failure(const zel::test::SweepRun &run, const Expected &e) {
    if (run.hits == 0) {
        EXPECT_EQ(run.status, 0u) << run.output;
        return false;
    }
    EXPECT_NE(run.output.find(e.message), std::string::npos) << run.call << "\n" << run.output;
    if (run.persist && run.call != "zel_sys_rw_lock_wait") {
        EXPECT_NE(run.output.find("Failed to release IP module rw lock"), std::string::npos) << run.output;
        EXPECT_EQ(run.status, zel::ip::fatal(kFault)) << run.output;
        return true;
    }
    if (run.call == "zel_ptn_clear" || run.call == "zel_ptn_extend") {
        // A failed build returns the builder's summed results.
        EXPECT_EQ(ZEL_IP_SEVERITY(run.status), ZEL_IP_SEV_FATAL) << run.output;
        EXPECT_GE(run.status & 0xffff, kFault) << run.output;
        return true;
    }
    EXPECT_EQ(run.status, e.status) << run.call << "\n" << run.output;
    return true;
}

// An IP interface 10.1.0.1/24 in the default domain on a new Layer-2
// interface of id `l2_id` (outside 0x100..0xfff, the framework's own
// interface ids, which the model refuses for Layer-2 interfaces).
inline zel_ip_intf_handle_t make_test_intf(zel_module_t *m, zel_sim_t *sim, uint32_t l2_id) {
    zel_ip_intf_params_t p{};
    p.l2_intf = zel_sim_l2_interface_new(sim, l2_id);
    p.addr = 10u << 24 | 1u << 16 | 1u;
    p.prefix_len = 24;
    zel_ip_intf_handle_t h = nullptr;
    zel::test::StdoutCapture quiet;
    EXPECT_EQ(zel_ip_interface_create(m, &p, &h), 0u) << quiet.text();
    return h;
}

}  // namespace flowtest

#endif  // FLOW_TEST_UTIL_H
