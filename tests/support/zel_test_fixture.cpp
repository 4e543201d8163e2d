#include "zel_test_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

namespace zel::test {

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
}

StdoutCapture::~StdoutCapture() { text(); }

std::string StdoutCapture::text() {
    if (active_) {
        std::fflush(stdout);
        text_ = ::testing::internal::GetCapturedStdout();
        active_ = false;
    }
    return text_;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

std::string mask_sites(const std::string &text) {
    static const std::regex site(R"((_log: [^\]]+\]) [A-Za-z0-9_.]+:[0-9]+ )");
    return std::regex_replace(text, site, "$1 FILE:LINE ");
}

std::string golden(const std::string &name) {
    std::ifstream in(std::string(ZEL_GOLDEN_DIR) + "/" + name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void expect_golden(const std::string &name, const std::string &actual) {
    const char *update = std::getenv("ZEL_UPDATE_GOLDEN");
    if (update && std::string(update) == "1") {
        std::ofstream out(std::string(ZEL_GOLDEN_DIR) + "/" + name, std::ios::binary);
        out << actual;
        return;
    }
    EXPECT_EQ(golden(name), actual) << "golden file " << name
                                    << " differs (ZEL_UPDATE_GOLDEN=1 rewrites it)";
}

void ZelTest::SetUp() {
    zel_sim_fault_clear();
    zel_sim_trace_record(1);
    sim_ = zel_sim_create(image_);
    ASSERT_NE(sim_, nullptr);
    zel_sim_sys_ctx(sim_)->log_level = sys_log_level_;
    m_ = zel_sim_module_new(sim_, "zel_ip", initial_log_level_, with_lock_);
    ASSERT_NE(m_, nullptr);
    mem_base_ = zel_sim_mem_in_use();
    if (start_module_) start();
}

void ZelTest::TearDown() {
    zel_sim_fault_clear();
    stop();
    zel_sim_module_free(m_);
    zel_sim_destroy(sim_);
    zel_sim_trace_record(0);
}

void ZelTest::start() {
    StdoutCapture quiet;
    ASSERT_EQ(zel_ip_init(m_), 0u) << quiet.text();
}

void ZelTest::stop() {
    if (m_ && zel_ipv4_valid_handle(m_)) {
        StdoutCapture quiet;
        EXPECT_EQ(zel_ip_shutdown(m_), 0u) << quiet.text();
    }
}

std::vector<TraceRec> ZelTest::trace() {
    std::vector<TraceRec> out;
    uint32_t n = zel_sim_trace_count();
    for (uint32_t i = 0; i < n; ++i) {
        zel_sim_trace_rec_t r;
        if (!zel_sim_trace_get(i, &r)) break;
        out.push_back({r.event, r.line, r.file ? r.file : "", r.has_format != 0,
                       r.text ? r.text : "", r.forced != 0});
    }
    return out;
}

void ZelTest::clear_trace() { zel_sim_trace_record(1); }

void ZelTest::fail_call(const char *call, uint32_t nth, uint32_t status, bool persist) {
    zel_sim_fault_set(call, nth, persist ? ZEL_SIM_FAULT_PERSIST : ZEL_SIM_FAULT_ONCE, status);
}

void ZelTest::clear_faults() { zel_sim_fault_clear(); }

int64_t ZelTest::mem_delta() const {
    return static_cast<int64_t>(zel_sim_mem_in_use()) - static_cast<int64_t>(mem_base_);
}

}  // namespace zel::test
