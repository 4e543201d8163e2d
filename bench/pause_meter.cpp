// How often this machine takes the CPU away from a program that asks for
// nothing: a loop that only reads the clock, for S seconds, counts the
// gaps between two readings longer than 100 us and 1 ms. On a virtual
// machine the hypervisor may stop a virtual CPU for milliseconds without
// the guest seeing a context switch or steal time; a benchmark's slowest
// single calls are read beside this figure of the same run.
//
//   pause_meter [SECONDS]      default 10
//   PAUSES seconds=S over_100us=N over_1ms=M longest_us=X
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_util.h"

int main(int argc, char **argv) {
    const double secs = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (!(secs > 0)) {
        std::fprintf(stderr, "usage: %s [SECONDS]\n", argv[0]);
        return 2;
    }
    using Clock = std::chrono::steady_clock;
    // Ticks are read in the loop (as the benchmarks time calls) and turned
    // into seconds with the clock's measure of the whole loop.
    const auto c0 = Clock::now();
    const auto until = c0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(secs));
    const uint64_t t0 = zel::bench::ticks();
    uint64_t prev = t0, longest = 0;
    std::vector<uint64_t> gaps;  // over a provisional 50 us, decided at the end
    uint64_t reads = 0;
    // A tick is at most ~1 ns on every clock this runs on: 50,000 ticks
    // keeps every gap over 50 us, whatever the tick.
    constexpr uint64_t kKeep = 50000;
    for (;;) {
        const uint64_t now = zel::bench::ticks();
        const uint64_t g = now - prev;
        prev = now;
        if (g > longest) longest = g;
        if (g > kKeep) gaps.push_back(g);
        if ((++reads & 1023) == 0 && Clock::now() >= until) break;
    }
    const double per_tick = std::chrono::duration<double>(Clock::now() - c0).count() / static_cast<double>(prev - t0);
    uint64_t over100us = 0, over1ms = 0;
    for (uint64_t g : gaps) {
        over100us += static_cast<double>(g) * per_tick > 100e-6;
        over1ms += static_cast<double>(g) * per_tick > 1e-3;
    }
    std::printf("PAUSES seconds=%.1f over_100us=%llu over_1ms=%llu longest_us=%.0f\n", secs,
                static_cast<unsigned long long>(over100us), static_cast<unsigned long long>(over1ms),
                static_cast<double>(longest) * per_tick * 1e6);
    return 0;
}
