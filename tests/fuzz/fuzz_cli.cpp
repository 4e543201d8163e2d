// libFuzzer target: the simulator CLI's script interpreter. Each input is
// one script run with --keep-going on a fresh platform and module; faults
// the script injects are cleared before the session shuts down. Crashes,
// sanitizer reports and leaks are findings.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>

#include "cli.h"
#include "zel_sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 8192) return 0;  // long scripts add time, not paths
    zcli::Options opt;
    opt.keep_going = true;
    opt.progress = false;
    opt.log_level = 0;
    {
        zcli::Session session(opt);
        if (session.start()) {
            std::istringstream in(std::string(reinterpret_cast<const char *>(data), size));
            session.run_stream(in, "fuzz");
        }
        zel_sim_fault_clear();
    }
    std::fflush(stdout);
    return 0;
}
