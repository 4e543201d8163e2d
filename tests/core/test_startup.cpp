// Start-up and shutdown: the start-up report, the log level it runs at,
// what it registers and reserves on the platform, and the life cycle
// (shutdown twice, start-up again, start-up on a running module).
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstring>
#include <string>

#include "zel_test_fixture.h"

using zel::test::expect_golden;
using zel::test::lines_of;
using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

// The id pools start-up creates.
const char *const kCreatedPools[] = {"zel_ipv4_vrd_ids", "zel_ipv4_filter_rule_set_ids",
                                     "zel_ipv4_pbr_policy_set_ids", "zel_ipv4_egress_flow_ids"};

class Startup : public ZelTest {
protected:
    Startup() { start_module_ = false; }
    hwe_engine_t *eng() { return zel_sim_engine(sim_); }

    std::string start_captured(uint32_t expect_status = 0) {
        StdoutCapture out;
        uint32_t st = zel_ip_init(m_);
        std::string text = out.text();
        EXPECT_EQ(st, expect_status) << text;
        return text;
    }

    // Id the pool hands out next (taken and given back).
    uint32_t next_id(const char *pool) {
        hwe_rsrc_t *ns = nullptr;
        EXPECT_EQ(hwe_rsrc_find(eng(), 0, pool, &ns), 0u) << pool;
        uint32_t id = 0;
        EXPECT_EQ(hwe_rsrc_allocate(ns, 1, &id, nullptr), 0u) << pool;
        EXPECT_EQ(hwe_rsrc_free(ns, id, 1, nullptr), 0u) << pool;
        return id;
    }
};

// The whole report at info level, every line in order: log level lines,
// the seven NVM usage lines and their total, each tree's report and the
// fixed configuration.
TEST_F(Startup, ReportAtInfoLevelIsTheGoldenText) {
    m_->log_level = ZEL_LOG_INFO;
    std::string text = start_captured();
    expect_golden("startup_report.txt", mask_sites(text));
    // The figures a reader checks first, independently of the golden file.
    EXPECT_NE(text.find("ZEL IP NVM Usage (zel-ipoe-interface): 356 Bytes per instance, 256 max "
                        "instances, 91136 Bytes total max\n"),
              std::string::npos);
    EXPECT_NE(text.find("ZEL IP NVM Usage (zel-ip-flow): 124 Bytes per instance, 143449 max "
                        "instances, 17787676 Bytes total max\n"),
              std::string::npos);
    EXPECT_NE(text.find("ZEL IP NVM Total Max Usage: 17997708 Bytes\n"), std::string::npos);
}

// The preset level is mapped like a system level; anything else runs at
// ERROR after the mapping failure is reported.
TEST_F(Startup, PresetLogLevelIsNormalised) {
    struct Case {
        uint32_t preset;
        uint32_t runs_at;
        bool mapping_fails;
    };
    const Case cases[] = {{0, 0, false},     {1, 1, false},      {3, 3, false},
                          {7, 7, false},     {15, 15, false},    {0x13, 3, true},
                          {5, 3, true},      {0x10f, 3, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE("preset " + std::to_string(c.preset));
        stop();
        m_->log_level = c.preset;
        clear_trace();
        std::string text = mask_sites(start_captured());
        EXPECT_EQ(m_->log_level, c.runs_at);
        const std::string failure =
            "[zel_ip_log: ERROR] FILE:LINE Unsupported log-level in IPv4!\n"
            "[zel_ip_log: ERROR] FILE:LINE Operation not allowed in current state\n"
            "[zel_ip_log: ERROR] FILE:LINE Failed to map system log-level to IPv4 log-level\n"
            "[zel_ip_log: ERROR] FILE:LINE Operation not allowed in current state\n";
        if (c.mapping_fails) {
            EXPECT_NE(text.find(failure), std::string::npos) << text;
        } else {
            EXPECT_EQ(text.find("log-level in IPv4"), std::string::npos) << text;
        }
        // Whatever is printed, the level line is always traced.
        char want[64];
        std::snprintf(want, sizeof want, "Initializing at log-level 0x%04x\n", c.runs_at);
        bool traced = false;
        for (const auto &r : trace()) traced = traced || (r.event == 0 && r.text == want);
        EXPECT_TRUE(traced) << want;
    }
}

// Service functions and compaction are registered with the framework.
TEST_F(Startup, RegistersServiceFunctionsAndCompaction) {
    start_captured();
    const zel_service_table_t *t = zel_sim_service_table(sim_, m_);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->shutdown, &zel_ip_shutdown);
    EXPECT_EQ(t->sys_log, &zel_ipv4_sys_log);
    EXPECT_EQ(t->error_name, &zel_ipv4_error_name);
    const char *receive_fns[] = {"zel_ip.zel_ip_uli_receive", "zel_ip.zel_ip_lli_receive_direct",
                                 "zel_ip.zel_ip_uli_receive_direct"};
    for (int i = 0; i < 3; ++i) {
        uint32_t id = 0;
        ASSERT_EQ(zel_sim_engine_symbol_id(eng(), receive_fns[i], &id), 0);
        EXPECT_EQ(t->flow_fn_id[i], id) << receive_fns[i];
    }
    // The binding services sibling modules reach IPv4 through.
    EXPECT_EQ(t->custom_bind, &zel_ip_custom_bind);
    EXPECT_EQ(t->custom_unbind, &zel_ip_custom_unbind);
    EXPECT_EQ(t->get_imc, &zel_ip_get_imc);
    EXPECT_EQ(t->get_entry_func, &zel_ip_get_entry_func);

    zel_compact_reg_t reg{};
    ASSERT_EQ(zel_sim_compact_registration(sim_, &reg), 1);
    EXPECT_EQ(reg.one, 1u);
    EXPECT_EQ(reg.module, m_);
    // OR of the catalogue's flags: 0x406, 0x404, 0x415, 0x405 and 0x100.
    EXPECT_EQ(reg.flag_mask, 0x517u);
}

// VRD 63 is reserved and 0 to 62 are free; the other pools start at 1;
// the global statistics ids and one egress association id are taken and
// the default TTL is in that flow's parameters.
TEST_F(Startup, ReservesTheDefaultDomainAndStartsPoolsAtOne) {
    zel_sim_sys_ctx(sim_)->log_level = ZEL_LOG_SE;  // the statistics clear is printed
    std::string text = start_captured();
    EXPECT_TRUE(zel_sim_engine_ns_is_allocated(eng(), "zel_ipv4_vrd_ids", 63));
    EXPECT_EQ(zel_sim_engine_ns_in_use(eng(), "zel_ipv4_vrd_ids"), 1u);
    for (uint32_t id = 0; id < 63; ++id)
        EXPECT_FALSE(zel_sim_engine_ns_is_allocated(eng(), "zel_ipv4_vrd_ids", id)) << id;
    EXPECT_EQ(next_id("zel_ipv4_vrd_ids"), 0u);
    EXPECT_EQ(next_id("zel_ipv4_filter_rule_set_ids"), 1u);
    EXPECT_EQ(next_id("zel_ipv4_pbr_policy_set_ids"), 1u);
    EXPECT_EQ(next_id("zel_ipv4_egress_flow_ids"), 1u);

    EXPECT_TRUE(zel_sim_engine_ns_is_allocated(eng(), "ip_if_stats", 0x66dea));
    EXPECT_TRUE(zel_sim_engine_ns_is_allocated(eng(), "ip_if_stats", 0x66deb));
    EXPECT_EQ(zel_sim_engine_ns_in_use(eng(), "ip_egress_assoc"), 1u);
    EXPECT_TRUE(zel_sim_engine_ns_is_allocated(eng(), "ip_egress_assoc", 0x00500000));
    uint8_t sed[16];
    ASSERT_EQ(zel_sim_engine_sed_read(eng(), 0x00500000, 0, sed, sizeof sed), 0u);
    uint8_t want[16] = {100};
    EXPECT_EQ(std::memcmp(sed, want, sizeof sed), 0);

    std::string zeros = "00";
    for (int i = 1; i < 256; ++i) zeros += " 00";
    EXPECT_NE(mask_sites(text).find("[zel_ip_log: se_write] FILE:LINE NS ID 0x00066dea idx 0: " +
                                    zeros + "\n"),
              std::string::npos);
}

// Shutdown returns everything start-up took; a second one finds no module;
// start-up then works again on the same engine.
TEST_F(Startup, ShutdownReleasesEverythingAndStartupWorksAgain) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        start_captured();
        m_->log_level = ZEL_LOG_INFO;
        StdoutCapture out;
        ASSERT_EQ(zel_ip_shutdown(m_), 0u);
        EXPECT_EQ(mask_sites(out.text()),
                  "[zel_ip_log: info] FILE:LINE Freed NS ID 0x66dea used for global stats\n"
                  "[zel_ip_log: info] FILE:LINE Freed Default Routing Domain ID 0x3f\n");
        EXPECT_EQ(m_->priv, nullptr);
        for (const char *pool : kCreatedPools) EXPECT_FALSE(zel_sim_engine_ns_exists(eng(), pool)) << pool;
        EXPECT_EQ(zel_sim_engine_ns_in_use(eng(), "ip_if_stats"), 0u);
        EXPECT_EQ(zel_sim_engine_ns_in_use(eng(), "ip_egress_assoc"), 0u);
        EXPECT_EQ(mem_delta(), 0);

        zel_sim_counters_reset();
        EXPECT_EQ(zel_ip_shutdown(m_), 0x30001u);
        EXPECT_EQ(zel_sim_call_count("hwe_rsrc_destroy"), 0u);
    }
}

// A start-up on a module that is already up fails at its first pool and
// leaves the running instance as it was.
TEST_F(Startup, StartupOnARunningModuleLeavesItRunning) {
    start_captured();
    void *priv = m_->priv;
    const int64_t mem = mem_delta();
    m_->log_level = ZEL_LOG_ERROR;
    std::string text = mask_sites(start_captured(0x1001a));
    EXPECT_NE(text.find("[zel_ip_log: FATAL] FILE:LINE Failed to create VRD ID resources resource "
                        "handle, RTE Error: Name already in use\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(m_->priv, priv);
    EXPECT_EQ(zel_ipv4_valid_handle(m_), 1);
    EXPECT_EQ(mem_delta(), mem);
    EXPECT_TRUE(zel_sim_engine_ns_is_allocated(eng(), "zel_ipv4_vrd_ids", 63));
    StdoutCapture quiet;
    EXPECT_EQ(zel_ip_shutdown(m_), 0u);
}

}  // namespace
