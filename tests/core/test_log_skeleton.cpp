// The call skeleton, log lines, the print test, trace records and the
// log-level operations.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <regex>
#include <thread>

#include "zel_test_fixture.h"

using zel::test::lines_of;
using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::TraceRec;
using zel::test::ZelTest;

namespace {

std::string hexptr(const void *p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%08" PRIxPTR, reinterpret_cast<uintptr_t>(p));
    return buf;
}

std::vector<TraceRec> events(const std::vector<TraceRec> &all, uint32_t event) {
    std::vector<TraceRec> out;
    for (const auto &r : all)
        if (r.event == event) out.push_back(r);
    return out;
}

class Skeleton : public ZelTest {};

TEST_F(Skeleton, BadModuleHandleIsRefusedBeforeTheLock) {
    zel_module_t fake{};
    fake.magic = 0x12345678;
    const std::pair<const char *, uint32_t (*)(zel_module_t *)> ops[] = {
        {"log_enable", [](zel_module_t *m) { return zel_ip_log_enable(m, 1); }},
        {"log_level_set", [](zel_module_t *m) { return zel_ip_log_level_set(m, 3); }},
        {"sys_log", [](zel_module_t *m) { return zel_ipv4_sys_log(m, 7); }},
    };
    for (const auto &[name, op] : ops) {
        for (zel_module_t *bad : {static_cast<zel_module_t *>(nullptr), &fake}) {
            SCOPED_TRACE(name);
            zel_sim_counters_reset();
            clear_trace();
            StdoutCapture out;
            EXPECT_EQ(op(bad), 0x30001u);
            EXPECT_EQ(mask_sites(out.text()),
                      "[zel_unknown_log: ERROR] FILE:LINE Invalid module handle " + hexptr(bad) + "\n");
            EXPECT_EQ(zel_sim_call_count("zel_sys_rw_lock_wait"), 0u);
            auto recs = trace();
            ASSERT_EQ(recs.size(), 1u);  // no entry or exit record either
            EXPECT_TRUE(recs[0].forced);
            EXPECT_EQ(recs[0].text, "Invalid module handle " + hexptr(bad) + "\n");
        }
    }
}

TEST_F(Skeleton, EveryOperationAfterShutdownAnswersBadHandle) {
    stop();
    zel_sim_counters_reset();
    StdoutCapture out;
    EXPECT_EQ(zel_ip_log_level_set(m_, 3), 0x30001u);
    EXPECT_EQ(zel_ip_log_enable(m_, 3), 0x30001u);
    EXPECT_EQ(zel_ip_log_disable(m_, 3), 0x30001u);
    EXPECT_EQ(zel_ip_shutdown(m_), 0x30001u);
    auto lines = lines_of(mask_sites(out.text()));
    ASSERT_EQ(lines.size(), 4u);
    for (const auto &l : lines)
        EXPECT_EQ(l, "[zel_unknown_log: ERROR] FILE:LINE Invalid IPv4 module handle " + hexptr(m_));
    // The lock is taken and released around the check; the engine is not touched.
    EXPECT_EQ(zel_sim_call_count("zel_sys_rw_lock_wait"), 4u);
    EXPECT_EQ(zel_sim_call_count("zel_sys_rw_lock_post"), 4u);
    EXPECT_EQ(zel_sim_call_count("hwe_ptn_learn") + zel_sim_call_count("hwe_ptn_unlearn") +
                  zel_sim_call_count("hwe_ptn_unlearn_any") + zel_sim_call_count("hwe_rsrc_free"),
              0u);
}

TEST_F(Skeleton, LockAcquireFailureChangesNothing) {
    m_->log_level = 3;
    fail_call("zel_sys_rw_lock_wait", 1, 0x42);
    StdoutCapture out;
    EXPECT_EQ(zel_ip_log_level_set(m_, 15), 0x30042u);
    EXPECT_EQ(m_->log_level, 3u);
    auto lines = lines_of(mask_sites(out.text()));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[zel_ip_log: ERROR] FILE:LINE Failed to acquire IP module rw write lock");
    EXPECT_EQ(lines[1], std::string("[zel_ip_log: ERROR] FILE:LINE ") +
                            zel_sys_status_get(m_->sys_ctx, 0x42));
}

TEST_F(Skeleton, LockReleaseFailureReplacesTheResultAndKeepsTheChange) {
    m_->log_level = 3;
    fail_call("zel_sys_rw_lock_post", 1, 0x42);
    StdoutCapture out;
    EXPECT_EQ(zel_ip_log_enable(m_, 0x10), 0x10042u);
    EXPECT_EQ(m_->log_level, 0x13u);
    auto lines = lines_of(mask_sites(out.text()));
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "[zel_ip_log: FATAL] FILE:LINE Failed to release IP module rw lock"),
              lines.end());
    // The platform let go of the lock all the same: the next call runs,
    // and the lock is not held twice.
    EXPECT_EQ(zel_ip_log_disable(m_, 0x10), 0u);
    EXPECT_EQ(m_->log_level, 3u);
    EXPECT_EQ(zel_sys_rw_lock_post(m_->rw_lock), ZEL_E_INVALID_STATE);
}

TEST_F(Skeleton, EntryAndExitLinesAndRecords) {
    m_->log_level = 0x10;
    clear_trace();
    StdoutCapture out;
    ASSERT_EQ(zel_ip_log_disable(m_, 0x40), 0u);
    auto lines = lines_of(mask_sites(out.text()));
    ASSERT_EQ(lines.size(), 2u);
    std::regex entering(R"(\[zel_ip_log: function\] FILE:LINE \[\d{8}:\d{8}\] Entering zel_ip_log_disable)");
    std::regex exiting(R"(\[zel_ip_log: function\] FILE:LINE \[\d{8}:\d{8}\] Exiting zel_ip_log_disable)");
    EXPECT_TRUE(std::regex_match(lines[0], entering)) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], exiting)) << lines[1];
    auto recs = trace();
    ASSERT_GE(recs.size(), 2u);
    EXPECT_EQ(recs.front().event, 8u);
    EXPECT_FALSE(recs.front().has_format);
    EXPECT_EQ(recs.front().text, "zel_ip_log_disable");
    EXPECT_EQ(recs.back().event, 9u);
    EXPECT_EQ(recs.back().text, "zel_ip_log_disable");
}

// The three log-level operations: the new mask and the info line, which is
// tested against the new mask.
TEST_F(Skeleton, LogLevelOperations) {
    struct Case {
        uint32_t before;
        uint32_t (*op)(zel_module_t *, uint32_t);
        uint32_t arg;
        uint32_t after;
        const char *line;  // %s = module handle; nullptr = nothing printed
    };
    const Case cases[] = {
        {0, zel_ip_log_level_set, 0xf, 0xf, "IPv4 module %s log-level set to 0xf"},
        {0xf, zel_ip_log_level_set, 0x3, 0x3, nullptr},
        {0x3, zel_ip_log_enable, 0xc, 0xf, "Enabled log-level 0xc for IPv4 module %s"},
        {0xf, zel_ip_log_enable, 0x100, 0x10f, "Enabled log-level 0x100 for IPv4 module %s"},
        {0x10f, zel_ip_log_disable, 0x100, 0xf, "Disabled log-level 0x100 for IPv4 module %s"},
        // Disabling bits that are not set changes nothing and still succeeds.
        {0xf, zel_ip_log_disable, 0x40, 0xf, "Disabled log-level 0x40 for IPv4 module %s"},
        {0xf, zel_ip_log_disable, 0xf, 0x0, nullptr},
    };
    for (const Case &c : cases) {
        m_->log_level = c.before;
        StdoutCapture out;
        ASSERT_EQ(c.op(m_, c.arg), 0u);
        EXPECT_EQ(m_->log_level, c.after);
        std::string expect;
        if (c.line) {
            char buf[160];
            std::snprintf(buf, sizeof buf, c.line, hexptr(m_).c_str());
            expect = std::string("[zel_ip_log: info] FILE:LINE ") + buf + "\n";
        }
        EXPECT_EQ(mask_sites(out.text()), expect);
    }
}

TEST_F(Skeleton, SilentMasksStillTraceEveryMessage) {
    m_->log_level = 0;
    zel_sim_sys_ctx(sim_)->log_level = 0;
    clear_trace();
    StdoutCapture out;
    ASSERT_EQ(zel_ip_log_level_set(m_, 0), 0u);
    EXPECT_EQ(zel_ipv4_sys_log(m_, 5), 0x3000fu);
    EXPECT_EQ(zel_ip_log_enable(nullptr, 1), 0x30001u);
    // Only the anonymous form is printed.
    EXPECT_EQ(mask_sites(out.text()),
              "[zel_unknown_log: ERROR] FILE:LINE Invalid module handle 0x00000000\n");
    auto recs = trace();
    auto info = events(recs, 0);
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].text, "IPv4 module " + hexptr(m_) + " log-level set to 0x0\n");
    auto errors = events(recs, 2);
    // Mapping failure and its status text, the set failure and its text,
    // and the forced record of the anonymous line.
    ASSERT_EQ(errors.size(), 5u);
    EXPECT_EQ(errors[0].text, "Unsupported log-level in IPv4!");
    EXPECT_EQ(errors[2].text, "Failed to set log-level 5\n");
    EXPECT_TRUE(errors[4].forced);
    EXPECT_EQ(events(recs, 8).size(), 2u);
    EXPECT_EQ(events(recs, 9).size(), 2u);
}

TEST_F(Skeleton, PrintTestAdmitsWhenEitherMaskDoes) {
    struct Case {
        bool has_ctx;
        uint32_t sys;
        uint32_t mod;
        bool printed;
    };
    const Case cases[] = {
        {true, 3, 0, true},   {true, 0, 3, true},   {true, 1, 1, false},
        {true, 0x13, 0, true}, {true, 0x10, 0x2, false}, {false, 0, 3, true},
        {false, 0xf, 1, false},
    };
    for (const Case &c : cases) {
        zel_sys_ctx_t *ctx = zel_sim_sys_ctx(sim_);
        ctx->log_level = c.sys;
        m_->sys_ctx = c.has_ctx ? ctx : nullptr;
        m_->log_level = c.mod;
        StdoutCapture out;
        // Level 5 is refused at ERROR level.
        EXPECT_EQ(zel_ipv4_sys_log(m_, 5), 0x3000fu);
        std::string text = out.text();
        EXPECT_EQ(text.find("Failed to set log-level 5") != std::string::npos, c.printed)
            << c.has_ctx << " " << c.sys << " " << c.mod << "\n" << text;
        m_->sys_ctx = ctx;
    }
}

TEST_F(Skeleton, SystemLogLevel) {
    // Supported levels are stored whole, clearing the trace bits.
    for (uint32_t level : {0u, 1u, 3u, 7u, 15u}) {
        m_->log_level = 0x1d3;
        StdoutCapture out;
        EXPECT_EQ(zel_ipv4_sys_log(m_, level), 0u);
        EXPECT_EQ(m_->log_level, level);
    }
    // Any other level leaves log_level and is refused with 0x3000f.
    m_->log_level = 0x13;
    StdoutCapture out;
    EXPECT_EQ(zel_ipv4_sys_log(m_, 5), 0x3000fu);
    EXPECT_EQ(m_->log_level, 0x13u);
    std::string st15 = zel_sys_status_get(m_->sys_ctx, 15);
    auto lines = lines_of(mask_sites(out.text()));
    std::vector<std::string> body;
    for (auto &l : lines)
        if (l.find("function]") == std::string::npos) body.push_back(l);
    ASSERT_EQ(body.size(), 4u);
    EXPECT_EQ(body[0], "[zel_ip_log: ERROR] FILE:LINE Unsupported log-level in IPv4!");
    EXPECT_EQ(body[1], "[zel_ip_log: ERROR] FILE:LINE " + st15);
    EXPECT_EQ(body[2], "[zel_ip_log: ERROR] FILE:LINE Failed to set log-level 5");
    EXPECT_EQ(body[3], "[zel_ip_log: ERROR] FILE:LINE " + st15);

    uint32_t mapped = 77;
    EXPECT_EQ(zel_ipv4_map_sys_log(m_, 8, &mapped), 15u);
    EXPECT_EQ(mapped, 77u);
    EXPECT_EQ(zel_ipv4_map_sys_log(m_, 7, &mapped), 0u);
    EXPECT_EQ(mapped, 7u);
}

class NotStarted : public ZelTest {
protected:
    NotStarted() { start_module_ = false; }
};

TEST_F(NotStarted, SystemLogLevelTakesNoLock) {
    zel_sim_counters_reset();
    StdoutCapture out;
    EXPECT_EQ(zel_ipv4_sys_log(m_, 3), 1u);
    EXPECT_EQ(mask_sites(out.text()),
              "[zel_unknown_log: ERROR] FILE:LINE Invalid IPv4 module handle " + hexptr(m_) +
                  "\n[zel_unknown_log: ERROR] FILE:LINE Failed to set log-level 0x3 for IPv4\n");
    EXPECT_EQ(zel_sim_call_count("zel_sys_rw_lock_wait"), 0u);
}

TEST_F(NotStarted, OperationsBeforeStartUpAnswerBadHandle) {
    StdoutCapture out;
    EXPECT_EQ(zel_ip_log_level_set(m_, 3), 0x30001u);
    EXPECT_EQ(zel_ip_shutdown(m_), 0x30001u);
    EXPECT_EQ(lines_of(out.text()).size(), 2u);
}

TEST_F(NotStarted, ModuleWithoutLockRunsUnlocked) {
    zel_module_t *bare = zel_sim_module_new(sim_, "bare", 3, 0);
    {
        StdoutCapture quiet;
        ASSERT_EQ(zel_ip_init(bare), 0u);
    }
    zel_sim_counters_reset();
    EXPECT_EQ(zel_ip_log_enable(bare, 4), 0u);
    EXPECT_EQ(zel_sim_call_count("zel_sys_rw_lock_wait"), 0u);
    StdoutCapture quiet;
    EXPECT_EQ(zel_ip_shutdown(bare), 0u);
    zel_sim_module_free(bare);
}

// The log-level operations change the mask under the lock while every
// other call reads it before taking the lock (its entry line).
class LogMaskConcurrency : public ZelTest {};

TEST_F(LogMaskConcurrency, MaskChangesRaceEntryLinesOfOtherCalls) {
    constexpr int kRounds = 2000;
    constexpr uint32_t kSpare = 0x200;  // a bit no line tests
    std::thread other([&] {
        for (int i = 0; i < kRounds; ++i) EXPECT_EQ(zel_ip_log_disable(m_, 0x400), 0u);
    });
    for (int i = 0; i < kRounds; ++i) {
        EXPECT_EQ(zel_ip_log_enable(m_, kSpare), 0u);
        EXPECT_EQ(zel_ip_log_disable(m_, kSpare), 0u);
        EXPECT_EQ(zel_ip_log_level_set(m_, 0), 0u);
    }
    other.join();
    EXPECT_EQ(m_->log_level, 0u);
}

}  // namespace
