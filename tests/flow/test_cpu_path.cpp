// The CPU path of a filter rule's flow key (trees 16 to 19): the values
// written for each delivery and queue choice, the flow key standing in
// for a missing context flow, and removals that stop at the first tree
// they cannot withdraw.
#include <gtest/gtest.h>

#include <string>

#include "flow/zel_ip_cpu_path.h"
#include "flow_test_util.h"
#include "tree/zel_ip_layout_cpu.h"
#include "tree/zel_ip_layout_flow.h"
#include "zel_test_fixture.h"

using namespace flowtest;
namespace lay = zel::ip::layout;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

// A rule's flow key: NS ID 0xd19bb9 shifted left by 4, rule key 5.
constexpr uint32_t kKey = 0xd19bb9u << 4 | 5;

class CpuPath : public ZelTest {
protected:
    CpuPath() { initial_log_level_ = ZEL_LOG_ERROR; }
    hwe_engine_t *eng() { return zel_sim_engine(sim_); }
    // What tree `tree` holds for the key, and how deep (28: its own entry).
    hwe_action_t at(uint32_t tree, uint32_t key, uint32_t *depth = nullptr) {
        return lookup(eng(), tree, {key >> 4, key & 0xf}, depth);
    }
};

TEST_F(CpuPath, ParametersOfEachDelivery) {
    struct Case {
        const char *name;
        zel_ip_cpu_delivery_t d;
        hwe_action_t t17, t18;
    };
    const Case cases[] = {
        // Without a context flow the flow key itself is the context in
        // tree 17's W2 and tree 18's W1 (its low 24 bits: a data word's).
        {"NCA, no context", {ZEL_IP_CPU_PATH_NCA, 12, 0, 0}, {HWE_ACTION_VALUE, 12, kKey & 0xffffff},
         {HWE_ACTION_VALUE, kKey & 0xffffff, kKey & 0xffffff}},
        {"NCA, context", {ZEL_IP_CPU_PATH_NCA, 12, 0, 0x4321}, {HWE_ACTION_VALUE, 12, 0x4321},
         {HWE_ACTION_VALUE, 0x4321, 0x4321}},
        {"PH", {1, 0xabcd1234, 0x56, 0}, lay::filter_cpu_param::ph(0xabcd1234, 0x56),
         {HWE_ACTION_VALUE, kKey & 0xffffff, 0xabcd}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(zel_ip_cpu_flow_param_config(m_, kKey, &c.d, 1), 0u);
        EXPECT_ACTION(at(17, kKey), c.t17);
        EXPECT_ACTION(at(18, kKey), c.t18);
        EXPECT_EQ(lay::filter_cpu_param::decode(at(17, kKey)).nca, c.d.kind == ZEL_IP_CPU_PATH_NCA);
        ASSERT_EQ(zel_ip_cpu_flow_param_config(m_, kKey, nullptr, 0), 0u);
        EXPECT_EQ(entries(eng(), 17) + entries(eng(), 18), 0u);
    }
}

TEST_F(CpuPath, QueueAndPolicing) {
    void *queue = zel_sim_qos_queue_new(sim_, 0x42);
    const hwe_action_t dscp_map{HWE_ACTION_FUNC, symbol_id(eng(), "zel_ip.use_cpu_dscp_map"), 0};
    struct Case {
        const char *name;
        void *queue;
        uint8_t dscp;
        hwe_action_t t19;
    };
    for (const Case &c : {Case{"none", nullptr, 0, {HWE_ACTION_VALUE, 0xffffff, 0}},
                          Case{"DSCP map", nullptr, 1, dscp_map},
                          Case{"MTM queue, DSCP flag ignored", queue, 1, {HWE_ACTION_VALUE, 0x42, 1}}}) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(zel_ip_cpu_flow_mtm_config(m_, kKey, c.queue, c.dscp, 1), 0u);
        EXPECT_ACTION(at(19, kKey), c.t19);
        ASSERT_EQ(zel_ip_cpu_flow_mtm_config(m_, kKey, nullptr, 0, 0), 0u);
        EXPECT_EQ(entries(eng(), 19), 0u);
    }
    ASSERT_EQ(zel_ip_cpu_flow_policing_config(m_, kKey, 0x777, 1), 0u);
    EXPECT_ACTION(at(16, kKey), (hwe_action_t{HWE_ACTION_VALUE, 0x777, 0}));
    ASSERT_EQ(zel_ip_cpu_flow_policing_config(m_, kKey, 0, 0), 0u);
    EXPECT_EQ(entries(eng(), 16), 0u);
}

TEST_F(CpuPath, FailuresRollNothingBackAndStopEarly) {
    // The queue id cannot be had: nothing is learnt.
    void *queue = zel_sim_qos_queue_new(sim_, 0x42);
    fail_call("zel_qos_queue_id_get");
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_cpu_flow_mtm_config(m_, kKey, queue, 0, 1), zel::ip::fatal(kFault));
        EXPECT_NE(cap.text().find("Failed to get MTM queue ID"), std::string::npos);
    }
    EXPECT_EQ(entries(eng(), 19), 0u);
    clear_faults();
    // Tree 18 fails after tree 17: tree 17 keeps its entry.
    const zel_ip_cpu_delivery_t d{ZEL_IP_CPU_PATH_NCA, 3, 0, 0};
    fail_call("hwe_ptn_learn", 2);
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_cpu_flow_param_config(m_, kKey, &d, 1), 0x10040u);
        EXPECT_NE(cap.text().find("Could not add the LPM rule in the hardware"), std::string::npos);
    }
    clear_faults();
    EXPECT_EQ(entries(eng(), 17), 1u);
    EXPECT_EQ(entries(eng(), 18), 0u);
    // Removing parameters of a key without a tree-17 entry fails there and
    // does not touch tree 18.
    ASSERT_EQ(zel_ip_cpu_flow_param_config(m_, kKey, &d, 1), 0u);
    const uint32_t other = kKey + 1;
    ASSERT_EQ(zel_sim_engine_entry_count(eng(), tree_id(eng(), 18)), 1u);
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_cpu_flow_param_config(m_, other, nullptr, 0), 0x10041u);
    EXPECT_NE(cap.text().find("Could not remove the LPM rule from hardware"), std::string::npos);
    EXPECT_EQ(entries(eng(), 18), 1u);
}

}  // namespace
