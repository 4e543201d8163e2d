// Engine model at a million routes: the prefixes of the peers' generator
// (N, seed 1) learnt into the 38-bit destination tree with its 39-bit
// subnet database, then unlearnt in random order, each step driven exactly
// as the module's rule primitive drives the engine:
//
//   add:     build key (VRD, prefix); learn; raise key length by one;
//            full-length key: subnet delete; subnet add; restore length
//   delete:  shorter key: raise, find-higher (extent - 1, cover action),
//            restore; unlearn; raise, subnet delete, full-length key: add
//            it back with the tree default; restore
//
// Reported: routes/s for add and delete, the rate per tenth of the load,
// and bytes per route (tree + database, the engine's own accounting, at
// full load). A sample of lookups is checked against a naive table after
// the adds and halfway through the deletes (outside the timed parts), and
// the tree must be empty at the end.
//
//   cmake --preset release && cmake --build build/release --target bench_engine
//   ./build/release/bench/bench_engine
//
//   ZEL_BENCH_N        number of prefixes (default 1000000)
//   ZEL_BENCH_DOMAINS  routing domains to spread them over (default 1: all
//                      in domain 63, like the single-table peers)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "prefixgen.h"
#include "zel_sim.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kWidth = 38;
constexpr int kTenths = 10;

uint64_t env_or(const char *name, uint64_t dflt) {
    const char *v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : dflt;
}

struct Route {
    uint32_t vrd, addr, plen;
    hwe_action_t action;
};

// The tree-2 value of a route via a next hop: W1 = forward flag and the
// next hop's top byte in bits 16..23, W2 = its low 24 bits.
hwe_action_t via(uint32_t nh) { return {HWE_ACTION_VALUE, 1u | (nh >> 24) << 16, nh & 0xffffff}; }

class Driver {
public:
    Driver() {
        zel_sim_image_t *img = zel_sim_image_default();
        eng_ = zel_sim_engine_create(img);
        zel_sim_image_free(img);
        zel_sim_engine_symbol_id(eng_, "zel_ip.ip_dest_addr_lookup", &tree_);
        hwe_subnet_create(kWidth + 1, 0, 0, &db_);
        zel_ptn_new(kWidth, &key_);
        zel_ptn_clear(&key_);
        ++key_.len;  // the tree default under the empty key, one bit longer
        hwe_subnet_add_subnet(db_, &key_, &dflt_);
        --key_.len;
    }
    ~Driver() {
        zel_ptn_free(&key_);
        hwe_subnet_destroy(db_);
        zel_sim_engine_destroy(eng_);
    }

    void build(const Route &r) {
        zel_ptn_clear(&key_);
        zel_ptn_extend(&key_, r.vrd, 6);
        zel_ptn_extend(&key_, r.plen ? r.addr >> (32 - r.plen) : 0, r.plen);
    }

    bool add(const Route &r) {
        build(r);
        uint32_t st = hwe_ptn_learn(eng_, tree_, &key_, &r.action);
        ++key_.len;
        if (!st && key_.len == kWidth + 1) st = hwe_subnet_del_subnet(db_, &key_);
        if (!st) st = hwe_subnet_add_subnet(db_, &key_, &r.action);
        --key_.len;
        return st == 0;
    }

    bool remove(const Route &r) {
        build(r);
        uint32_t extent = kWidth, st = 0;
        hwe_action_t cover{};
        if (key_.len < kWidth) {
            ++key_.len;
            st = hwe_subnet_find_higher_subnet(db_, &key_, &extent, &cover);
            --key_.len;
            --extent;
        }
        if (!st) st = hwe_ptn_unlearn(eng_, tree_, &key_, extent, &cover, 0);
        ++key_.len;
        if (!st) st = hwe_subnet_del_subnet(db_, &key_);
        if (!st && key_.len == kWidth + 1) st = hwe_subnet_add_subnet(db_, &key_, &dflt_);
        --key_.len;
        return st == 0;
    }

    hwe_action_t lookup(uint32_t vrd, uint32_t addr) {
        const uint32_t values[2] = {vrd, addr}, widths[2] = {6, 32};
        hwe_action_t a{};
        uint32_t depth = 0;
        zel_sim_engine_lookup_fields(eng_, tree_, 2, values, widths, &a, &depth);
        return a;
    }

    uint64_t bytes() { return zel_sim_engine_tree_bytes(eng_, tree_) + zel_sim_subnet_bytes(db_); }
    uint32_t entries() { return zel_sim_engine_entry_count(eng_, tree_); }
    uint32_t placeholders() { return zel_sim_engine_placeholder_count(eng_, tree_); }
    const hwe_action_t &dflt() const { return dflt_; }

private:
    hwe_engine_t *eng_ = nullptr;
    uint32_t tree_ = 0;
    hwe_subnet_db_t *db_ = nullptr;
    zel_ptn_t key_{};
    const hwe_action_t dflt_{HWE_ACTION_VALUE, 4, 0};  // the tree's default: No-Route
};

// Naive longest-prefix table over the installed routes.
class Naive {
public:
    void add(const Route &r) { live_[code(r.vrd, r.addr, r.plen)] = r.action; }
    void remove(const Route &r) { live_.erase(code(r.vrd, r.addr, r.plen)); }
    hwe_action_t lookup(uint32_t vrd, uint32_t addr, const hwe_action_t &dflt) const {
        for (int len = 32; len >= 0; --len) {
            uint32_t a = len ? addr & (0xffffffffu << (32 - len)) : 0;
            auto it = live_.find(code(vrd, a, static_cast<uint32_t>(len)));
            if (it != live_.end()) return it->second;
        }
        return dflt;
    }

private:
    static uint64_t code(uint32_t vrd, uint32_t addr, uint32_t len) {
        return static_cast<uint64_t>(vrd) << 40 | static_cast<uint64_t>(addr) << 8 | len;
    }
    std::unordered_map<uint64_t, hwe_action_t> live_;
};

// Sample lookups: inside installed prefixes and at random addresses.
bool check(Driver &d, const Naive &n, const std::vector<Route> &routes, std::mt19937_64 &rng) {
    for (int i = 0; i < 20000; ++i) {
        const Route &r = routes[rng() % routes.size()];
        uint32_t host = r.plen == 32 ? 0 : static_cast<uint32_t>(rng()) & (0xffffffffu >> r.plen);
        uint32_t addr = i % 2 ? r.addr | host : static_cast<uint32_t>(rng());
        hwe_action_t want = n.lookup(r.vrd, addr, d.dflt()), got = d.lookup(r.vrd, addr);
        if (want.kind != got.kind || want.w1 != got.w1 || want.w2 != got.w2) {
            std::fprintf(stderr, "lookup mismatch at %u/%08x\n", r.vrd, addr);
            return false;
        }
    }
    return true;
}

void BM_EngineRoutes(benchmark::State &state) {
    const uint64_t n = env_or("ZEL_BENCH_N", 1000000);
    const uint64_t domains = std::max<uint64_t>(1, std::min<uint64_t>(64, env_or("ZEL_BENCH_DOMAINS", 1)));
    std::string error;
    const auto prefixes = zelbench::prefixgen(n, 1, &error);
    if (prefixes.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::vector<Route> routes(prefixes.size());
    for (size_t i = 0; i < prefixes.size(); ++i) {
        uint32_t vrd = domains == 1 ? 63 : static_cast<uint32_t>(i % domains);
        routes[i] = {vrd, prefixes[i].addr, prefixes[i].len,
                     via(0x0a000000u + static_cast<uint32_t>(i % 1000003))};
    }
    // The delete order, laid out in advance so that reading the input
    // costs the same in both phases.
    std::vector<Route> doomed = routes;
    std::mt19937_64 rng(12345);
    std::shuffle(doomed.begin(), doomed.end(), rng);

    for (auto _ : state) {
        Driver d;
        Naive naive;
        double add_s[kTenths] = {}, del_s[kTenths] = {}, count[kTenths] = {};
        const size_t tenth = (routes.size() + kTenths - 1) / kTenths;
        bool ok = true;

        // 1. Add in file order.
        for (int t = 0; t < kTenths; ++t) {
            size_t lo = t * tenth, hi = std::min(routes.size(), lo + tenth);
            count[t] = static_cast<double>(hi - lo);
            auto t0 = Clock::now();
            for (size_t i = lo; i < hi; ++i) ok &= d.add(routes[i]);
            add_s[t] = std::chrono::duration<double>(Clock::now() - t0).count();
        }
        const double bytes_per_route = static_cast<double>(d.bytes()) / static_cast<double>(routes.size());
        for (const Route &r : routes) naive.add(r);
        ok &= d.entries() == routes.size() && check(d, naive, routes, rng);

        // 2. Delete in a seeded random order, checking halfway.
        for (int t = 0; t < kTenths; ++t) {
            size_t lo = t * tenth, hi = std::min(routes.size(), lo + tenth);
            auto t0 = Clock::now();
            for (size_t i = lo; i < hi; ++i) ok &= d.remove(doomed[i]);
            del_s[t] = std::chrono::duration<double>(Clock::now() - t0).count();
            if (t == kTenths / 2 - 1) {
                for (size_t i = 0; i < hi; ++i) naive.remove(doomed[i]);
                ok &= check(d, naive, routes, rng);
            }
        }
        ok &= d.entries() == 0 && d.placeholders() == 0;
        if (!ok) {
            state.SkipWithError("an engine call failed or a lookup disagreed with the naive table");
            return;
        }

        double add_total = 0, del_total = 0;
        for (int t = 0; t < kTenths; ++t) {
            add_total += add_s[t];
            del_total += del_s[t];
        }
        state.SetIterationTime(add_total + del_total);
        state.counters["add_routes_per_s"] = static_cast<double>(routes.size()) / add_total;
        state.counters["del_routes_per_s"] = static_cast<double>(routes.size()) / del_total;
        state.counters["bytes_per_route"] = bytes_per_route;
        // Rate of the last tenth relative to the first (1.0: no slowdown).
        state.counters["add_last_over_first"] =
            (count[kTenths - 1] / add_s[kTenths - 1]) / (count[0] / add_s[0]);
        state.counters["del_last_over_first"] =
            (count[kTenths - 1] / del_s[kTenths - 1]) / (count[0] / del_s[0]);
        std::printf("\nroutes %zu, domains %llu\n%-6s %14s %14s\n", routes.size(),
                    static_cast<unsigned long long>(domains), "tenth", "add routes/s",
                    "del routes/s");
        for (int t = 0; t < kTenths; ++t)
            std::printf("%-6d %14.0f %14.0f\n", t + 1, count[t] / add_s[t], count[t] / del_s[t]);
        std::printf("bytes per route at full load (tree + subnet database): %.1f\n\n", bytes_per_route);
    }
}

BENCHMARK(BM_EngineRoutes)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
