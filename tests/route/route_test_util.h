// Helpers of the route suite: engine lookups of the destination and source
// trees and a naive longest-prefix table.
#ifndef ROUTE_TEST_UTIL_H
#define ROUTE_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "tree/zel_ip_hw_catalogue.h"
#include "zel_ip/zel_ip.h"
#include "core/zel_ip_status_internal.h"
#include "zel_engine_probe.h"
#include "zel_fault_sweep.h"
#include "zel_sim.h"

namespace routetest {

using zel::test::kFault;
using zel::test::same;
using zel::test::str;
using zel::test::tree_id;

// What tree 0 or 2 answers for address `addr` in domain `vrd`.
inline hwe_action_t lookup(hwe_engine_t *eng, uint32_t tree, uint32_t vrd, uint32_t addr) {
    const uint32_t values[] = {vrd, addr}, widths[] = {6, 32};
    hwe_action_t a{0xff, 0, 0};
    uint32_t depth = 0;
    EXPECT_EQ(zel_sim_engine_lookup_fields(eng, tree_id(eng, tree), 2, values, widths, &a, &depth), 0u);
    return a;
}
inline hwe_action_t route_at(hwe_engine_t *eng, uint32_t vrd, uint32_t addr) {
    return lookup(eng, zel::ip::kTreeDestAddr, vrd, addr);
}

// What tree 1 answers for a domain.
inline hwe_action_t mode_of(hwe_engine_t *eng, uint32_t vrd) {
    const uint32_t values[] = {vrd}, widths[] = {6};
    hwe_action_t a{0xff, 0, 0};
    uint32_t depth = 0;
    EXPECT_EQ(zel_sim_engine_lookup_fields(eng, tree_id(eng, zel::ip::kTreeHostRouterMode), 1, values,
                                           widths, &a, &depth),
              0u);
    return a;
}


// The tree-2 default every address without a route answers: No-Route.
inline constexpr hwe_action_t kNoRoute{HWE_ACTION_VALUE, 4, 0};

// A naive longest-prefix table of one domain: prefix -> action.
class LpmOracle {
public:
    void add(uint32_t addr, uint32_t len, const hwe_action_t &a) { routes_[key(addr, len)] = a; }
    bool remove(uint32_t addr, uint32_t len) { return routes_.erase(key(addr, len)) != 0; }
    bool has(uint32_t addr, uint32_t len) const { return routes_.count(key(addr, len)) != 0; }
    hwe_action_t lookup(uint32_t addr) const {
        for (int len = 32; len >= 0; --len) {
            auto it = routes_.find(key(addr, static_cast<uint32_t>(len)));
            if (it != routes_.end()) return it->second;
        }
        return kNoRoute;
    }
    const std::map<std::pair<uint32_t, uint32_t>, hwe_action_t> &routes() const { return routes_; }

    static uint32_t mask(uint32_t len) { return len == 0 ? 0 : ~0u << (32 - len); }

private:
    static std::pair<uint32_t, uint32_t> key(uint32_t addr, uint32_t len) { return {len, addr & mask(len)}; }
    std::map<std::pair<uint32_t, uint32_t>, hwe_action_t> routes_;
};

// ---- fault sweeps ------------------------------------------------------------


// The status and first message a failure of `call` produces in a domain or
// route operation whose tree failures are reported with `rule_msg`.
struct Expected {
    uint32_t status;
    std::string message;
};
inline Expected expected_failure(const std::string &call, const char *rule_msg) {
    const uint32_t f = zel::ip::fatal(kFault);
    if (call == "zel_sys_rw_lock_wait") return {zel::ip::error(kFault), "Failed to acquire IP module rw write lock"};
    if (call == "zel_sys_rw_lock_post") return {f, "Failed to release IP module rw lock"};
    if (call == "hwe_rsrc_allocate_fixed") return {0x3001d, "Failed to allocate vrd namespace ID"};
    if (call == "hwe_rsrc_free") return {0x1001e, "Failed to free VRD ID"};
    if (call == "hwe_nvm_calloc") return {0x10012, "Memory allocation failed"};
    if (call == "zel_ptn_clear" || call == "zel_ptn_extend") return {f, "Could not build the input pattern"};
    if (call == "hwe_ptn_learn") return {0x10040, rule_msg};
    if (call == "hwe_ptn_unlearn") return {0x10041, rule_msg};
    if (call == "hwe_subnet_del_subnet") return {0x1003d, rule_msg};
    if (call == "hwe_subnet_add_subnet") return {0x1003c, rule_msg};
    if (call == "hwe_subnet_find_higher_subnet") return {0x1003e, rule_msg};
    ADD_FAILURE() << "unexpected failing call " << call;
    return {0, ""};
}

// A run returns the documented status of its first failing call, with the
// message; under a persisting fault the lock cannot be released either, and
// that failure (logged too) replaces the status.
inline void expect_failure(const zel::test::SweepRun &run, const char *rule_msg) {
    if (run.hits == 0) {
        EXPECT_EQ(run.status, 0u) << run.output;
        return;
    }
    Expected e = expected_failure(run.call, rule_msg);
    EXPECT_NE(run.output.find(e.message), std::string::npos) << run.call << "\n" << run.output;
    if (run.persist && run.call != "zel_sys_rw_lock_wait") {
        e.status = zel::ip::fatal(kFault);
        EXPECT_NE(run.output.find("Failed to release IP module rw lock"), std::string::npos) << run.output;
    }
    if (run.call == "zel_ptn_clear" || run.call == "zel_ptn_extend") {
        // A failed build returns the builder's summed results: whatever
        // else failed after the faulted call adds to it.
        EXPECT_EQ(ZEL_IP_SEVERITY(run.status), ZEL_IP_SEV_FATAL) << run.output;
        EXPECT_GE(run.status & 0xffff, kFault) << run.output;
        return;
    }
    EXPECT_EQ(run.status, e.status) << run.call << "\n" << run.output;
}

}  // namespace routetest

#endif  // ROUTE_TEST_UTIL_H
