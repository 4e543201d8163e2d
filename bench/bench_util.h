// What the public-API benchmarks share: silencing start-up's report,
// timing a load call by call, and printing what the timing found.
//
// Timing: the time-stamp counter is read once after every call (about
// 10 ns on x86-64; the steady clock elsewhere), so a load yields the
// duration of each call. The rates of the load and of its tenths are
// computed from those durations, so they include one counter read per
// call. Counter ticks are turned into seconds with the rate measured
// against the steady clock over the same load.
#ifndef ZEL_BENCH_UTIL_H
#define ZEL_BENCH_UTIL_H

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

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

inline uint64_t ticks() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return static_cast<uint64_t>(Clock::now().time_since_epoch().count());
#endif
}

// What a timed load found. Rates in calls per second, times in seconds.
struct Load {
    uint64_t n = 0;
    double total_s = 0;
    std::vector<double> by_tenth;  // rate of each tenth of the calls, in order
    double slowest_call_s = 0;
    double p999_s = 0;             // 99.9th percentile of the call durations
    double median_call_s = 0;
    uint64_t over_1ms = 0;         // calls that took more than 1 ms
    std::vector<uint64_t> slow_at; // their indices, in call order
    bool ok = true;                // every call returned 0

    double rate() const { return total_s > 0 ? static_cast<double>(n) / total_s : 0; }
    double last_over_first() const { return by_tenth.empty() || by_tenth[0] <= 0 ? 0 : by_tenth.back() / by_tenth[0]; }
    double slowest_tenth_over_first() const {
        if (by_tenth.empty() || by_tenth[0] <= 0) return 0;
        return *std::min_element(by_tenth.begin(), by_tenth.end()) / by_tenth[0];
    }
};

// Slow calls that recur: of the runs' slow call indices (one list per run
// of the same calls in the same order), those within `window` calls of a
// slow call of another run. Work of the code under test that takes long
// (a table growth, say) falls at the same call in every run; a pause of
// the machine (the hypervisor taking the CPU away) falls anywhere.
inline uint64_t recurring(const std::vector<std::vector<uint64_t>> &runs, uint64_t window) {
    uint64_t n = 0;
    for (size_t r = 0; r < runs.size(); ++r)
        for (uint64_t i : runs[r]) {
            bool again = false;
            for (size_t q = 0; q < runs.size() && !again; ++q) {
                if (q == r) continue;
                for (uint64_t j : runs[q]) again |= (i > j ? i - j : j - i) <= window;
            }
            n += again;
        }
    return n;
}

// `call(i)` for i from 0 to n - 1, each call timed; `between(t)` runs
// after tenth t (0..9), untimed (a check halfway through, say).
template <typename Call, typename Between>
Load timed(uint64_t n, Call &&call, Between &&between) {
    Load r;
    r.n = n;
    std::vector<uint64_t> d(n);
    uint64_t tick_sum = 0;
    double clock_sum = 0;
    for (int t = 0; t < kTenths; ++t) {
        const uint64_t lo = n * t / kTenths, hi = n * (t + 1) / kTenths;
        const auto c0 = Clock::now();
        const uint64_t t0 = ticks();
        uint64_t prev = t0;
        for (uint64_t i = lo; i < hi; ++i) {
            r.ok &= call(i) == 0;
            const uint64_t now = ticks();
            d[i] = now - prev;
            prev = now;
        }
        tick_sum += prev - t0;
        clock_sum += secs(c0, Clock::now());
        between(t);
    }
    const double per_tick = tick_sum ? clock_sum / static_cast<double>(tick_sum) : 0;
    for (int t = 0; t < kTenths; ++t) {
        const uint64_t lo = n * t / kTenths, hi = n * (t + 1) / kTenths;
        uint64_t sum = 0;
        for (uint64_t i = lo; i < hi; ++i) sum += d[i];
        const double s = static_cast<double>(sum) * per_tick;
        r.by_tenth.push_back(s > 0 ? static_cast<double>(hi - lo) / s : 0);
        r.total_s += s;
    }
    if (n) {
        for (uint64_t i = 0; i < n; ++i)
            if (static_cast<double>(d[i]) * per_tick > 1e-3) r.slow_at.push_back(i);
        r.over_1ms = r.slow_at.size();
        auto at = [&](double q) {
            auto k = d.begin() + static_cast<long>(std::min<double>(static_cast<double>(n - 1), q * static_cast<double>(n)));
            std::nth_element(d.begin(), k, d.end());
            return static_cast<double>(*k) * per_tick;
        };
        r.median_call_s = at(0.5);
        r.p999_s = at(0.999);
        r.slowest_call_s = static_cast<double>(*std::max_element(d.begin(), d.end())) * per_tick;
    }
    return r;
}
template <typename Call>
Load timed(uint64_t n, Call &&call) {
    return timed(n, call, [](int) {});
}

inline std::string tenths(const std::vector<double> &r) {
    std::string s;
    for (size_t i = 0; i < r.size(); ++i) {
        if (i) s += ',';
        s += std::to_string(static_cast<long long>(r[i] + 0.5));
    }
    return s;
}

// One line: "  <name>_rps_by_tenth=..." and one with the tail:
// "  <name>: rps= slowest_tenth_over_first= last_tenth_over_first=
//  median_us= p999_us= slowest_us= over_1ms=".
inline void print_load(const char *name, const Load &l) {
    std::printf("  %s_rps_by_tenth=%s\n", name, tenths(l.by_tenth).c_str());
    std::printf("  %s: n=%llu rps=%.0f slowest_tenth_over_first=%.2f last_tenth_over_first=%.2f median_us=%.2f "
                "p999_us=%.1f slowest_us=%.1f over_1ms=%llu\n",
                name, static_cast<unsigned long long>(l.n), l.rate(), l.slowest_tenth_over_first(),
                l.last_over_first(), l.median_call_s * 1e6, l.p999_s * 1e6, l.slowest_call_s * 1e6,
                static_cast<unsigned long long>(l.over_1ms));
}

}  // namespace zel::bench

#endif  // ZEL_BENCH_UTIL_H
