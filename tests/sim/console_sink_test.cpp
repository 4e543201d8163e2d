// The framework console and the trace sink a tool uses to keep standard
// output for what it was asked, and the list of entry points a fault may
// name, checked against the platform headers.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "zel_sim.h"

namespace {

TEST(Console, LinesGoToStandardOutputUntilASinkTakesThem) {
    const std::string line = "[zel_ip_log: ERROR] f.cpp:1 text\n";
    ::testing::internal::CaptureStdout();
    zel_sys_log_write(line.data(), static_cast<uint32_t>(line.size()));
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), line);

    std::vector<std::string> got;
    zel_sim_log_sink_set(
        [](void *user, const char *text, uint32_t len) {
            static_cast<std::vector<std::string> *>(user)->emplace_back(text, len);
        },
        &got);
    ::testing::internal::CaptureStdout();
    zel_sys_log_write(line.data(), static_cast<uint32_t>(line.size()));
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(got, std::vector<std::string>{line});

    // Removing the sink restores standard output.
    zel_sim_log_sink_set(nullptr, nullptr);
    ::testing::internal::CaptureStdout();
    zel_sys_log_write(line.data(), static_cast<uint32_t>(line.size()));
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), line);
    EXPECT_EQ(got.size(), 1u);
}

struct Seen {
    std::vector<std::pair<uint32_t, std::string>> recs;
};
void take(void *user, uint32_t event, const char *text) { static_cast<Seen *>(user)->recs.emplace_back(event, text); }

TEST(TraceSink, TakesTheEventsItAskedForWithoutTheRecorder) {
    zel_sim_trace_record(0);
    Seen seen;
    zel_sim_trace_sink_set(1u << 2, take, &seen);
    // Event 2 has a function now, the others still none.
    zel_trace_fn_t fn = nullptr;
    ASSERT_EQ(0u, zel_lttng_fn_ptr_get(0, 2, &fn));
    EXPECT_NE(fn, nullptr);
    ASSERT_EQ(0u, zel_lttng_fn_ptr_get(0, 4, &fn));
    EXPECT_EQ(fn, nullptr);

    zel_lttng_trace_sif_force_error(0, 7, "f.cpp", "VRD ID %d out of range\n", 64);
    ASSERT_EQ(seen.recs.size(), 1u);
    EXPECT_EQ(seen.recs[0].first, 2u);
    EXPECT_EQ(seen.recs[0].second, "VRD ID 64 out of range\n");
    EXPECT_EQ(zel_sim_trace_count(), 0u);  // the recorder stayed off

    zel_sim_trace_sink_set(0, nullptr, nullptr);
    zel_lttng_trace_sif_force_error(0, 7, "f.cpp", "%s", "gone");
    EXPECT_EQ(seen.recs.size(), 1u);
    ASSERT_EQ(0u, zel_lttng_fn_ptr_get(0, 2, &fn));
    EXPECT_EQ(fn, nullptr);
}

// Every function the platform headers declare can be named by a fault,
// and nothing else can.
TEST(EntryPoints, TheListIsWhatThePlatformHeadersDeclare) {
    std::set<std::string> declared;
    const std::regex decl(R"(^[A-Za-z_][A-Za-z0-9_ ]*[ *]((?:hwe|zel)_[a-z0-9_]+)\()");
    for (const char *h : {"hwe.h", "zel_fw.h"}) {
        std::ifstream in(std::string(ZEL_GOLDEN_DIR) + "/../../platform/include/" + h);
        ASSERT_TRUE(in) << h;
        for (std::string line; std::getline(in, line);) {
            std::smatch m;
            if (line.rfind("typedef", 0) != 0 && std::regex_search(line, m, decl)) declared.insert(m[1]);
        }
    }
    std::set<std::string> listed;
    for (uint32_t i = 0; const char *name = zel_sim_call_name(i); ++i) listed.insert(name);
    EXPECT_EQ(listed, declared);
    EXPECT_GT(listed.size(), 70u);
    EXPECT_EQ(zel_sim_call_known("hwe_ptn_learn"), 1);
    EXPECT_EQ(zel_sim_call_known("zel_sys_log_write"), 1);
    EXPECT_EQ(zel_sim_call_known("hwe_ptn_lern"), 0);
    EXPECT_EQ(zel_sim_call_known(nullptr), 0);
}

}  // namespace
