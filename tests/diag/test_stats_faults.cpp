// Every platform call of every statistics get and print failed in turn
// (fault sweep), once and persisting: the documented status and message,
// no statistics printed at all after a failed read, the caller's
// structure untouched, and a module that keeps working.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/zel_ip_status_internal.h"
#include "stats_test_util.h"
#include "zel_engine_probe.h"
#include "zel_fault_sweep.h"

using namespace statstest;
using zel::test::fault_sweep;
using zel::test::kFault;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

// One call under the sweep.
struct StatsCall {
    std::string name;
    // The call: a get into `out` (of `size` bytes), or a print (out NULL).
    std::function<uint32_t(zel_module_t *, const Objects &, void *out)> run;
    size_t size;         // 0 for a print
    uint32_t read_fail;  // status of a refused record read
    std::string read_msg;
    std::string print_fail;  // a print's own line after a failed get ("" = none)
    std::string heading;     // what a print prints first on success
    uint32_t min_runs;       // faulted runs the single-fault sweep must make
};

void check_run(const StatsCall &c, const SweepRun &run, const std::vector<uint8_t> &out) {
    const bool print = c.size == 0;
    const bool untouched = std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xa5; });
    if (run.hits == 0) {
        EXPECT_EQ(run.status, 0u) << run.output;
        if (print) {
            EXPECT_NE(run.output.find(c.heading), std::string::npos) << run.output;
        } else {
            EXPECT_FALSE(untouched);
        }
        return;
    }
    // Nothing partial: a failed call prints no statistics, and a failed
    // read writes nothing.
    if (print) {
        EXPECT_EQ(run.output.find(c.heading), std::string::npos) << run.call << "\n" << run.output;
        if (!c.print_fail.empty()) {
            EXPECT_NE(run.output.find(c.print_fail), std::string::npos) << run.output;
        }
    } else if (run.call == "zel_sys_rw_lock_post") {
        // The read succeeded and was handed over; only the release failed.
        EXPECT_FALSE(untouched);
    } else {
        EXPECT_TRUE(untouched) << run.call;
    }
    if (run.call == "zel_sys_rw_lock_wait") {
        EXPECT_EQ(run.status, zel::ip::error(kFault)) << run.output;
        EXPECT_NE(run.output.find("Failed to acquire IP module rw write lock"), std::string::npos) << run.output;
        return;
    }
    if (run.persist || run.call == "zel_sys_rw_lock_post") {
        // The release failed too (or only): its status replaces the result.
        EXPECT_EQ(run.status, zel::ip::fatal(kFault)) << run.output;
        EXPECT_NE(run.output.find("Failed to release IP module rw lock"), std::string::npos) << run.output;
    }
    std::string msg;
    uint32_t st = 0;
    if (run.call == "hwe_se_state_get") {
        st = c.read_fail;
        msg = c.read_msg;
    } else if (run.call == "hwe_mtm_shared_param_get") {
        st = 0x1002c;
        msg = "Failed to read MTM Shared param memory, RTE Error: ";
    } else if (run.call != "zel_sys_rw_lock_post") {
        ADD_FAILURE() << c.name << ": unexpected failing call " << run.call;
        return;
    }
    if (!msg.empty()) {
        EXPECT_NE(run.output.find(msg), std::string::npos) << run.call << "\n" << run.output;
    }
    if (!run.persist && st) {
        EXPECT_EQ(run.status, st) << run.call << "\n" << run.output;
    }
}

void sweep(const StatsCall &c) {
    Objects objs;
    std::vector<uint8_t> out;
    SweepOp op;
    op.name = c.name;
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        objs = make_objects(env.m, env.sim);
        // Counters to read: every object's records non-zero.
        plant(env.sim, "global", kGlobalNsId, "rx_pkts", 1);
        for (uint32_t id : {stats_id(objs.ipoe), stats_id(objs.ipoe_l3), stats_id(objs.tunnel), stats_id(objs.vif)})
            plant(env.sim, "interface", id, "w42", 7);
        plant(env.sim, "ingress-flow", flow_id(objs.ingress), "rx_pkts", 2);
        plant(env.sim, "egress-flow", flow_id(objs.egress), "tx_pkts", 3);
        plant(env.sim, "filter-rule", flow_id(objs.filter), "bytes", 4);
        plant(env.sim, "pbr-rule", flow_id(objs.pbr), "pkts", 5);
        out.assign(c.size, 0xa5);
    };
    op.op = [&](SweepEnv &env) { return c.run(env.m, objs, c.size ? out.data() : nullptr); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        check_run(c, run, out);
        // The module still answers.
        out.assign(c.size, 0xa5);
        zel::test::StdoutCapture quiet;
        EXPECT_EQ(c.run(env.m, objs, c.size ? out.data() : nullptr), 0u) << c.name;
    };
    const zel::test::SweepResult r = fault_sweep(op);
    EXPECT_GE(r.faulted_runs_once, c.min_runs) << c.name;
    EXPECT_GE(r.faulted_runs_persist, 1u) << c.name;
}

constexpr uint32_t kReadFatal = 0x1002b, kReadError = 0x3002b;
const std::string kStatsMsg = "Failed to read stats, RTE Error: ";

template <typename T>
T *as(void *p) {
    return static_cast<T *>(p);
}

const std::vector<StatsCall> &calls() {
    static const std::vector<StatsCall> v = {
        {"global get",
         [](zel_module_t *m, const Objects &, void *o) { return zel_ip_global_stats_get(m, as<zel_ip_global_stats_t>(o)); },
         sizeof(zel_ip_global_stats_t), kReadFatal, kStatsMsg, "", "", 3},
        {"global print", [](zel_module_t *m, const Objects &, void *) { return zel_ip_global_stats_print(m); }, 0,
         kReadFatal, kStatsMsg, "Failed to get IP statistics", "IP Global Statistics", 3},
        {"interface get",
         [](zel_module_t *m, const Objects &ob, void *o) {
             return zel_ip_interface_stats_get(m, ob.tunnel, as<zel_ip_interface_stats_t>(o));
         },
         sizeof(zel_ip_interface_stats_t), kReadError, kStatsMsg, "", "", 3},
        {"interface print",
         [](zel_module_t *m, const Objects &ob, void *) { return zel_ip_interface_stats_print(m, ob.ipoe); }, 0,
         kReadError, kStatsMsg, "", "Statistics", 3},
        {"router-if get, IPoE QoS 1",
         [](zel_module_t *m, const Objects &ob, void *o) {
             return zel_ip_router_if_stats_get(m, ob.ipoe_l3, as<zel_ip_router_if_stats_t>(o));
         },
         sizeof(zel_ip_router_if_stats_t), kReadError, kStatsMsg, "", "", 5},
        {"router-if print, IPoE",
         [](zel_module_t *m, const Objects &ob, void *) { return zel_ip_router_if_stats_print(m, ob.ipoe); }, 0,
         kReadError, kStatsMsg, "", "Statistics", 5},
        {"router-if get, tunnel",
         [](zel_module_t *m, const Objects &ob, void *o) {
             return zel_ip_router_if_stats_get(m, ob.tunnel, as<zel_ip_router_if_stats_t>(o));
         },
         sizeof(zel_ip_router_if_stats_t), kReadError, kStatsMsg, "", "", 4},
        {"router-if print, virtual",
         [](zel_module_t *m, const Objects &ob, void *) { return zel_ip_router_if_stats_print(m, ob.vif); }, 0,
         kReadError, kStatsMsg, "", "Statistics", 3},
        {"ingress get",
         [](zel_module_t *m, const Objects &ob, void *o) {
             return zel_ip_ingress_association_stats_get(m, ob.ingress, as<zel_ip_ingress_assoc_stats_t>(o));
         },
         sizeof(zel_ip_ingress_assoc_stats_t), kReadFatal, "Failed to read ingress flow stats, RTE Error: ", "", "",
         3},
        {"ingress print",
         [](zel_module_t *m, const Objects &ob, void *) { return zel_ip_ingress_association_stats_print(m, ob.ingress); },
         0, kReadFatal, "Failed to read ingress flow stats, RTE Error: ", "Failed to get IP ingress flow statistics",
         "Statistics", 3},
        {"egress get",
         [](zel_module_t *m, const Objects &ob, void *o) {
             return zel_ip_egress_association_stats_get(m, ob.egress, as<zel_ip_egress_assoc_stats_t>(o));
         },
         sizeof(zel_ip_egress_assoc_stats_t), kReadFatal, "Failed to read SE memory, RTE Error: ", "", "", 3},
        {"egress print",
         [](zel_module_t *m, const Objects &ob, void *) { return zel_ip_egress_association_stats_print(m, ob.egress); },
         0, kReadFatal, "Failed to read SE memory, RTE Error: ", "Failed to get IP egress flow statistics",
         "Statistics", 3},
        {"filter rule get",
         [](zel_module_t *m, const Objects &ob, void *o) {
             return zel_ip_filter_rule_stats_get(m, ob.filter, as<zel_ip_filter_rule_stats_t>(o));
         },
         sizeof(zel_ip_filter_rule_stats_t), kReadFatal, kStatsMsg, "", "", 3},
        {"filter rule print",
         [](zel_module_t *m, const Objects &ob, void *) { return zel_ip_filter_rule_stats_print(m, ob.filter); }, 0,
         kReadFatal, kStatsMsg, "", "Statistics", 3},
        {"policy rule get",
         [](zel_module_t *m, const Objects &ob, void *o) {
             return zel_ip_pbr_rule_stats_get(m, ob.pbr, as<zel_ip_pbr_rule_stats_t>(o));
         },
         sizeof(zel_ip_pbr_rule_stats_t), kReadFatal, kStatsMsg, "", "", 3},
        {"policy rule print",
         [](zel_module_t *m, const Objects &ob, void *) { return zel_ip_pbr_rule_stats_print(m, ob.pbr); }, 0,
         kReadFatal, kStatsMsg, "", "Statistics", 3},
    };
    return v;
}

TEST(StatsFaults, EveryGetAndPrint) {
    for (const StatsCall &c : calls()) {
        SCOPED_TRACE(c.name);
        sweep(c);
    }
}

}  // namespace
