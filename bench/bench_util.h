// What the public-API benchmarks share: silencing start-up's report,
// timing a load in tenths and printing the per-tenth rates.
#ifndef ZEL_BENCH_UTIL_H
#define ZEL_BENCH_UTIL_H

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace zel::bench {

using Clock = std::chrono::steady_clock;
inline constexpr int kTenths = 10;

// Standard output goes to /dev/null while alive (start-up prints its
// configuration report, shutdown its lines).
class Quiet {
public:
    Quiet() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }
    ~Quiet() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
        }
    }
    Quiet(const Quiet &) = delete;
    Quiet &operator=(const Quiet &) = delete;

private:
    int saved_ = -1;
};

inline double secs(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Rates (calls per second) of each tenth of `n` calls of `call(i)`, i from
// 0 to n - 1, and the total time; false when a call did not return 0.
template <typename Call>
bool timed(uint32_t n, std::vector<double> *by_tenth, double *total_s, Call &&call) {
    by_tenth->clear();
    *total_s = 0;
    bool ok = true;
    for (int t = 0; t < kTenths; ++t) {
        const uint32_t lo = n * t / kTenths, hi = n * (t + 1) / kTenths;
        const auto t0 = Clock::now();
        for (uint32_t i = lo; i < hi; ++i) ok &= call(i) == 0;
        const double s = secs(t0, Clock::now());
        by_tenth->push_back(s > 0 ? (hi - lo) / s : 0);
        *total_s += s;
    }
    return ok;
}

inline void print_tenths(const char *name, const std::vector<double> &r) {
    std::printf("  %s=", name);
    for (size_t i = 0; i < r.size(); ++i) std::printf("%s%.0f", i ? "," : "", r[i]);
    std::printf("\n");
}

}  // namespace zel::bench

#endif  // ZEL_BENCH_UTIL_H
