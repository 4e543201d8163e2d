// Test fixture: a fresh software platform and module object per test,
// started with zel_ip_init unless the test asks otherwise, with captured
// standard output, the trace channel, fault injection by call name and
// memory accounting.
#ifndef ZEL_TEST_FIXTURE_H
#define ZEL_TEST_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zel_ip/zel_ip.h"
#include "zel_sim.h"

namespace zel::test {

struct TraceRec {
    uint32_t event;
    uint32_t line;
    std::string file;
    bool has_format;
    std::string text;
    bool forced;
};

// Standard output captured between construction and text().
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string text();  // stops capturing; later calls return the same text

private:
    bool active_ = true;
    std::string text_;
};

// Lines of a text, without their newlines.
std::vector<std::string> lines_of(const std::string &text);

// Replace every " <file>:<line> " site of log lines by " FILE:LINE " so
// golden texts survive edits that move lines.
std::string mask_sites(const std::string &text);

// Read a golden file under tests/golden.
std::string golden(const std::string &name);

// Compare `actual` with golden file `name`; with ZEL_UPDATE_GOLDEN=1 in the
// environment, rewrite the file instead.
void expect_golden(const std::string &name, const std::string &actual);

class ZelTest : public ::testing::Test {
protected:
    // Options read by SetUp; set them in the derived fixture's constructor.
    bool start_module_ = true;       // call zel_ip_init
    uint32_t initial_log_level_ = 0; // module log_level before start-up
    uint32_t sys_log_level_ = 0;     // system context's mask
    bool with_lock_ = true;
    const zel_sim_image_t *image_ = nullptr;  // the engine's image (NULL: the default); copied

    void SetUp() override;
    void TearDown() override;

    // Start the module (asserts success) / shut it down if it is up.
    void start();
    void stop();

    // Trace channel: recording is on for the whole test.
    std::vector<TraceRec> trace();
    void clear_trace();

    // Fault injection: the n-th call (1-based, from now on) of `call`
    // (nullptr = any fallible call) fails with `status` (0: the platform's
    // default fault status), once or from then on.
    void fail_call(const char *call, uint32_t nth = 1, uint32_t status = 0, bool persist = false);
    void clear_faults();

    // Bytes of platform memory in use now, minus what was in use after the
    // platform was created (before start-up).
    int64_t mem_delta() const;

    zel_sim_t *sim_ = nullptr;
    zel_module_t *m_ = nullptr;
    uint64_t mem_base_ = 0;
};

}  // namespace zel::test

#endif  // ZEL_TEST_FIXTURE_H
