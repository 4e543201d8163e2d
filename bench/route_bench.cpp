// Route programming at a million routes through the public API.
//
// The module is brought up on the software platform and the prefixes of
// the peers' generator (or of a prefix file the peers read) are added with
// zel_ip_route_add in file order, then deleted with zel_ip_route_delete in
// a seeded random order: every call takes the whole public path (handle
// check, trace hooks looked up - no recorder is attached, so no trace
// record is written -, module lock, private block check, parameter checks,
// VRD handle, key build, engine learn or unlearn, subnet database). What
// is timed is the library plus the software platform's engine model. Route i goes via next hop 10.x.y.z, varied with i. Routes
// sit in one routing domain (the default, like the single-table peers) or
// are spread over `domains` domains: line i in domain i % domains, domain
// 63 the default, the others created first.
//
// Checked, outside the timed parts: every call returned 0; after the adds,
// after half the deletes and after all of them, a sample of lookups in the
// engine's destination tree (addresses inside installed prefixes and
// uniform ones) against a naive longest-prefix table; at the end the tree
// holds no entry and its subnet database only the default.
//
// Printed, one line per run and a summary, in the shape of the peers' logs:
//   RUN impl=zel_ip domains=D n=N run=R add_s= add_rps= del_s= del_rps=
//       tree_B= subnet_B= bytes_per_route= ... add_worker_cpu_s= del_worker_cpu_s=
//       (CPU seconds of the engine model's table worker, on another core,
//       while the adds / deletes ran; the halfway check's included)
//     add_rps_by_decile=...   (rate of each tenth of the load)
//     del_rps_by_decile=...
//     TAIL add: slowest_tenth_over_first= median_us= p999_us= slowest_us= over_1ms=
//               slow_at=       (indices of the calls over 1 ms, or -)
//     TAIL del: ...           (each call timed: bench_util.h)
//   SUMMARY impl=zel_ip domains=D n=N add_routes_per_s min= median= max=
//   SLOW impl=zel_ip domains=D n=N runs=R adds_over_1ms= adds_recurring=
//       dels_over_1ms= dels_recurring= window=   (calls over 1 ms in all runs;
//       recurring: within `window` calls of one over 1 ms in another run)
//   CHECKS passed | CHECKS FAILED: <what>
//
//   route_bench [-f PREFIX_FILE | -n N] [-r RUNS] [-d DOMAINS[,DOMAINS...]]
//               [-s SEED] [-c SAMPLES]
//   defaults: the generator's 1000000 prefixes of seed 1, 3 runs, domains
//   "1,64", delete-order seed 12345, 20000 sampled lookups per check (0:
//   no lookup check, for profiling; statuses and counts are still checked).
//   Exit status 0 when every check passed.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench_util.h"
#include "core/zel_ip_priv.h"
#include "prefixgen.h"
#include "tree/zel_ip_tree.h"
#include "zel_ip/zel_ip.h"
#include "zel_sim.h"

namespace {

using zel::bench::kTenths;
using zel::bench::Load;
using zel::bench::Quiet;
constexpr uint32_t kDefaultVrd = 63;

struct Options {
    std::string file;
    uint64_t n = 1000000;
    int runs = 3;
    std::vector<uint32_t> domains{1, 64};
    uint64_t seed = 12345;
    int samples = 20000;
};

[[noreturn]] void usage(const char *prog) {
    std::fprintf(stderr,
                 "usage: %s [-f PREFIX_FILE | -n N] [-r RUNS] [-d DOMAINS[,DOMAINS...]] [-s SEED] "
                 "[-c SAMPLES]\n",
                 prog);
    std::exit(2);
}

Options parse(int argc, char **argv) {
    Options o;
    int c;
    while ((c = getopt(argc, argv, "f:n:r:d:s:c:h")) != -1) {
        switch (c) {
            case 'f': o.file = optarg; break;
            case 'n': o.n = std::strtoull(optarg, nullptr, 10); break;
            case 'r': o.runs = std::max(1, std::atoi(optarg)); break;
            case 'd': {
                o.domains.clear();
                for (char *tok = std::strtok(optarg, ","); tok; tok = std::strtok(nullptr, ",")) {
                    long d = std::strtol(tok, nullptr, 10);
                    if (d < 1 || d > 64) usage(argv[0]);
                    o.domains.push_back(static_cast<uint32_t>(d));
                }
                if (o.domains.empty()) usage(argv[0]);
                break;
            }
            case 's': o.seed = std::strtoull(optarg, nullptr, 10); break;
            case 'c': o.samples = std::max(0, std::atoi(optarg)); break;
            default: usage(argv[0]);
        }
    }
    return o;
}

// "a.b.c.d/len" lines; false on a line that is not one.
bool read_prefixes(const std::string &path, std::vector<zelbench::Prefix> *out) {
    std::FILE *f = std::fopen(path.c_str(), "r");
    if (!f) return false;
    unsigned a, b, c, d, l;
    char line[64];
    bool ok = true;
    while (std::fgets(line, sizeof line, f)) {
        if (line[0] == '\n') continue;
        if (std::sscanf(line, "%u.%u.%u.%u/%u", &a, &b, &c, &d, &l) != 5 || a > 255 || b > 255 ||
            c > 255 || d > 255 || l > 32) {
            ok = false;
            break;
        }
        out->push_back({a << 24 | b << 16 | c << 8 | d, static_cast<uint8_t>(l)});
    }
    std::fclose(f);
    return ok;
}

// The destination tree's value of a route via a next hop, written from
// the documented layout (not from the module's codec): W1 = forward (bit
// 0) with the next hop's top byte in bits 16..23, W2 = its low 24 bits.
hwe_action_t via_next_hop(uint32_t nh) {
    return {HWE_ACTION_VALUE, 1u | (nh >> 24) << 16, nh & 0xffffffu};
}
bool same(const hwe_action_t &a, const hwe_action_t &b) {
    return a.kind == b.kind && a.w1 == b.w1 && a.w2 == b.w2;
}

struct Route {
    uint32_t vrd, addr, len, nh;
};

// Naive longest-prefix table: the installed routes by (domain, prefix),
// looked up by probing every length from /32 down. A removed route stays
// as a tombstone: freeing half a million map nodes in the untimed halfway
// check would leave glibc's bins full of small chunks, and the next large
// malloc (a timed delete's) would sort them, for milliseconds.
class Naive {
public:
    void add(const Route &r) {
        uint64_t &v = live_.try_emplace(code(r.vrd, r.addr, r.len), kGone).first->second;
        size_ += v == kGone;
        v = r.nh;
    }
    void remove(const Route &r) {
        auto it = live_.find(code(r.vrd, r.addr, r.len));
        if (it == live_.end() || it->second == kGone) return;
        it->second = kGone;
        --size_;
    }
    // The next hop of the longest match, or false.
    bool lookup(uint32_t vrd, uint32_t addr, uint32_t *nh) const {
        for (int len = 32; len >= 0; --len) {
            uint32_t p = len ? addr & (0xffffffffu << (32 - len)) : 0;
            auto it = live_.find(code(vrd, p, static_cast<uint32_t>(len)));
            if (it != live_.end() && it->second != kGone) {
                *nh = it->second;
                return true;
            }
        }
        return false;
    }
    size_t size() const { return size_; }

private:
    static uint64_t code(uint32_t vrd, uint32_t addr, uint32_t len) {
        return static_cast<uint64_t>(vrd) << 40 | static_cast<uint64_t>(addr) << 8 | len;
    }
    static constexpr uint64_t kGone = uint64_t{1} << 32;  // above every next hop
    std::unordered_map<uint64_t, uint64_t> live_;
    size_t size_ = 0;
};

// CPU seconds (user and system) of the whole process, or of the calling
// thread only.
double cpu_s(int who) {
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU time the process's other threads (the engine model's table worker)
// spent while `f` ran on this one.
template <typename F>
double other_threads_cpu_s(F &&f) {
    const double p0 = cpu_s(RUSAGE_SELF), t0 = cpu_s(RUSAGE_THREAD);
    f();
    const double p1 = cpu_s(RUSAGE_SELF), t1 = cpu_s(RUSAGE_THREAD);
    return std::max(0.0, (p1 - p0) - (t1 - t0));
}

long vm_rss_kb() {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            long kb = 0;
            in >> kb;
            return kb;
        }
        in.ignore(1 << 12, '\n');
    }
    return 0;
}

struct RunResult {
    Load add, del;
    uint64_t tree_bytes = 0, subnet_bytes = 0;
    double calls_per_add = 0, calls_per_del = 0;
    double add_other_cpu_s = 0, del_other_cpu_s = 0;  // the table worker's share
    long rss_kb = 0;
    std::string failure;  // empty: every check passed
};

// One platform, one module: add everything, delete everything.
class Bench {
public:
    Bench(const std::vector<Route> &routes, const std::vector<uint32_t> &order, const Options &o)
        : routes_(routes), order_(order), opt_(o) {}

    RunResult run(uint32_t domains) {
        RunResult r;
        if (!start(domains, &r.failure)) return r;
        const zel::ip::TreeRecord &dest = priv()->trees[zel::ip::kTreeDestAddr];
        hwe_engine_t *eng = zel_sim_engine(sim_);
        const hwe_action_t no_route = dest.default_action;

        // 1. The parameter records, made before the clock starts.
        std::vector<zel_ip_route_params_t> add(routes_.size()), del(routes_.size());
        for (size_t i = 0; i < routes_.size(); ++i) {
            const Route &rt = routes_[i];
            add[i] = {vrd_handle_[rt.vrd], rt.addr, rt.len, rt.nh, nullptr, 0, 0, 0};
        }
        for (size_t i = 0; i < order_.size(); ++i) {
            const Route &rt = routes_[order_[i]];
            del[i] = {vrd_handle_[rt.vrd], rt.addr, rt.len, 0, nullptr, 0, 0, 0};
        }
        const size_t n = routes_.size();

        // 2. Add in file order, each call timed.
        zel_sim_counters_reset();
        r.add_other_cpu_s = other_threads_cpu_s(
            [&] { r.add = zel::bench::timed(n, [&](uint64_t i) { return zel_ip_route_add(m_, &add[i]); }); });
        r.calls_per_add = static_cast<double>(zel_sim_call_count(nullptr)) / static_cast<double>(n);
        r.tree_bytes = zel_sim_engine_tree_bytes(eng, dest.id);
        r.subnet_bytes = zel_sim_subnet_bytes(dest.subnet_db);
        r.rss_kb = vm_rss_kb();
        if (!r.add.ok) return fail(&r, "a route add failed");
        Naive naive;
        if (opt_.samples)
            for (const Route &rt : routes_) naive.add(rt);
        if (zel_sim_engine_entry_count(eng, dest.id) != n)
            return fail(&r, "the tree does not hold one entry per route after the adds");
        if (!check(eng, dest.id, naive, no_route, &r.failure)) return r;

        // 3. Delete in the seeded random order, each call timed; the
        //    naive table follows at the halfway check (untimed).
        zel_sim_counters_reset();
        bool halfway_ok = true;
        r.del_other_cpu_s = other_threads_cpu_s([&] {
            r.del = zel::bench::timed(
                n, [&](uint64_t i) { return zel_ip_route_delete(m_, &del[i]); },
                [&](int t) {
                    if (t != kTenths / 2 - 1 || !opt_.samples) return;
                    for (size_t i = 0; i < n * kTenths / 2 / kTenths; ++i) naive.remove(routes_[order_[i]]);
                    halfway_ok = check(eng, dest.id, naive, no_route, &r.failure);
                });
        });
        if (!halfway_ok) return r;
        r.calls_per_del = static_cast<double>(zel_sim_call_count(nullptr)) / static_cast<double>(n);
        if (!r.del.ok) return fail(&r, "a route delete failed");
        if (opt_.samples)
            for (size_t i = 0; i < n; ++i) naive.remove(routes_[order_[i]]);
        if (!check(eng, dest.id, naive, no_route, &r.failure)) return r;
        if (zel_sim_engine_entry_count(eng, dest.id) != 0 ||
            zel_sim_engine_placeholder_count(eng, dest.id) != 0)
            return fail(&r, "the tree is not empty after the deletes");
        // The database keeps the default under the empty key and, with the
        // default action, every full-length key once learnt.
        size_t hosts = 0;
        for (const Route &rt : routes_) hosts += rt.len == 32;
        if (zel_sim_subnet_count(dest.subnet_db) != 1 + hosts)
            return fail(&r, "the subnet database holds prefixes of deleted routes");
        return r;
    }

    ~Bench() { stop(); }

private:
    zel::ip::ZelIpPriv *priv() { return static_cast<zel::ip::ZelIpPriv *>(m_->priv); }

    static RunResult &fail(RunResult *r, const char *what) {
        r->failure = what;
        return *r;
    }

    // A platform and a started module with domains 0 .. domains-2 created
    // (domain 63, the default, always exists).
    bool start(uint32_t domains, std::string *failure) {
        sim_ = zel_sim_create(nullptr);
        m_ = sim_ ? zel_sim_module_new(sim_, "zel_ip", ZEL_LOG_ERROR, 1) : nullptr;
        if (!m_) {
            *failure = "no platform";
            return false;
        }
        uint32_t st;
        {
            Quiet q;
            st = zel_ip_init(m_);
        }
        if (st) {
            *failure = "start-up failed";
            return false;
        }
        vrd_handle_.assign(64, nullptr);
        for (uint32_t id = 0; id + 1 < domains; ++id) {
            Quiet q;  // domain creation logs at info level only
            if (zel_ip_vrd_create(m_, &id, &vrd_handle_[id])) {
                *failure = "domain create failed";
                return false;
            }
        }
        return true;
    }

    void stop() {
        if (m_) {
            Quiet q;
            if (m_->priv) {
                for (zel_ip_vrd_handle_t h : vrd_handle_)
                    if (h) zel_ip_vrd_delete(m_, h);
                zel_ip_shutdown(m_);
            }
            zel_sim_module_free(m_);
        }
        if (sim_) zel_sim_destroy(sim_);
        m_ = nullptr;
        sim_ = nullptr;
    }

    // Sampled lookups against the naive table: half at addresses inside a
    // route's prefix (host bits random), half uniform.
    bool check(hwe_engine_t *eng, uint32_t tree, const Naive &naive, const hwe_action_t &no_route,
               std::string *failure) {
        std::mt19937_64 rng(opt_.seed ^ naive.size());
        const uint32_t widths[2] = {6, 32};
        for (int i = 0; i < opt_.samples; ++i) {
            const Route &rt = routes_[rng() % routes_.size()];
            uint32_t host = rt.len == 32 ? 0 : static_cast<uint32_t>(rng()) & (0xffffffffu >> rt.len);
            uint32_t addr = i % 2 ? rt.addr | host : static_cast<uint32_t>(rng());
            uint32_t nh = 0;
            hwe_action_t want = naive.lookup(rt.vrd, addr, &nh) ? via_next_hop(nh) : no_route;
            hwe_action_t got{};
            uint32_t depth = 0;
            const uint32_t values[2] = {rt.vrd, addr};
            if (zel_sim_engine_lookup_fields(eng, tree, 2, values, widths, &got, &depth) != 0 ||
                !same(want, got)) {
                char buf[160];
                std::snprintf(buf, sizeof buf,
                              "lookup of %u/%08x: engine {%u,0x%x,0x%x}, naive table {%u,0x%x,0x%x}",
                              rt.vrd, addr, got.kind, got.w1, got.w2, want.kind, want.w1, want.w2);
                *failure = buf;
                return false;
            }
        }
        return true;
    }

    const std::vector<Route> &routes_;
    const std::vector<uint32_t> &order_;
    const Options &opt_;
    zel_sim_t *sim_ = nullptr;
    zel_module_t *m_ = nullptr;
    std::vector<zel_ip_vrd_handle_t> vrd_handle_;
};

void tail(const char *what, const Load &l) {
    std::string at;
    for (uint64_t i : l.slow_at) {
        if (!at.empty()) at += ',';
        at += std::to_string(i);
    }
    std::printf("  TAIL %s: slowest_tenth_over_first=%.2f median_us=%.3f p999_us=%.2f slowest_us=%.1f over_1ms=%llu "
                "slow_at=%s\n",
                what, l.slowest_tenth_over_first(), l.median_call_s * 1e6, l.p999_s * 1e6, l.slowest_call_s * 1e6,
                static_cast<unsigned long long>(l.over_1ms), at.empty() ? "-" : at.c_str());
}

void summary(const char *what, uint32_t domains, size_t n, std::vector<double> v, const char *fmt) {
    std::sort(v.begin(), v.end());
    char line[256];
    int k = std::snprintf(line, sizeof line, "SUMMARY impl=zel_ip domains=%u n=%zu %s min=", domains, n, what);
    k += std::snprintf(line + k, sizeof line - k, fmt, v.front());
    k += std::snprintf(line + k, sizeof line - k, " median=");
    k += std::snprintf(line + k, sizeof line - k, fmt, v[(v.size() - 1) / 2]);
    k += std::snprintf(line + k, sizeof line - k, " max=");
    std::snprintf(line + k, sizeof line - k, fmt, v.back());
    std::puts(line);
}

}  // namespace

int main(int argc, char **argv) {
    Options opt = parse(argc, argv);

    // 1. The prefixes: the peers' file, or the same generator's output.
    std::vector<zelbench::Prefix> prefixes;
    std::string source;
    if (!opt.file.empty()) {
        if (!read_prefixes(opt.file, &prefixes)) {
            std::fprintf(stderr, "cannot read prefix file %s\n", opt.file.c_str());
            return 2;
        }
        source = opt.file;
    } else {
        std::string error;
        prefixes = zelbench::prefixgen(opt.n, 1, &error);
        if (prefixes.empty()) {
            std::fprintf(stderr, "prefix generator: %s\n", error.c_str());
            return 2;
        }
        source = "prefixgen(" + std::to_string(opt.n) + ",1)";
    }
    const size_t n = prefixes.size();
    size_t longer24 = 0;
    for (const auto &p : prefixes) longer24 += p.len > 24;
    std::printf("CONF source=%s routes=%zu (len>24: %zu) runs=%d domains=", source.c_str(), n,
                longer24, opt.runs);
    for (size_t i = 0; i < opt.domains.size(); ++i) std::printf(i ? ",%u" : "%u", opt.domains[i]);
    std::printf(" seed=%" PRIu64 " samples=%d log_level=0x%x\n", opt.seed, opt.samples, ZEL_LOG_ERROR);
    std::fflush(stdout);

    // 2. The delete order: a seeded shuffle of the file's lines.
    std::vector<uint32_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(i);
    std::mt19937_64 rng(opt.seed);
    std::shuffle(order.begin(), order.end(), rng);

    for (uint32_t domains : opt.domains) {
        // 3. Line i in domain i % domains (the last one is the default,
        //    63); next hop 10.x.y.z varied with i.
        std::vector<Route> routes(n);
        for (size_t i = 0; i < n; ++i) {
            uint32_t d = static_cast<uint32_t>(i % domains);
            uint32_t vrd = d + 1 == domains ? kDefaultVrd : d;
            uint32_t nh = 0x0a000000u | ((static_cast<uint32_t>(i) * 2654435761u) >> 8);
            routes[i] = {vrd, prefixes[i].addr, prefixes[i].len, nh};
        }
        std::vector<double> add, del, bpr, ratio_add, ratio_del;
        std::vector<std::vector<uint64_t>> slow_add, slow_del;
        for (int run = 1; run <= opt.runs; ++run) {
            RunResult r;
            {
                Bench b(routes, order, opt);
                r = b.run(domains);
            }
            if (!r.failure.empty()) {
                std::printf("CHECKS FAILED: domains=%u run=%d: %s\n", domains, run, r.failure.c_str());
                return 1;
            }
            double bytes = static_cast<double>(r.tree_bytes + r.subnet_bytes) / static_cast<double>(n);
            std::printf(
                "RUN impl=zel_ip domains=%u n=%zu run=%d add_s=%.3f add_rps=%.0f del_s=%.3f "
                "del_rps=%.0f tree_B=%" PRIu64 " subnet_B=%" PRIu64
                " bytes_per_route=%.1f platform_calls_per_add=%.1f platform_calls_per_del=%.1f "
                "VmRSS_kB=%ld add_worker_cpu_s=%.3f del_worker_cpu_s=%.3f\n",
                domains, n, run, r.add.total_s, r.add.rate(), r.del.total_s, r.del.rate(), r.tree_bytes,
                r.subnet_bytes, bytes,
                r.calls_per_add, r.calls_per_del, r.rss_kb, r.add_other_cpu_s, r.del_other_cpu_s);
            std::printf("  add_rps_by_decile=%s\n  del_rps_by_decile=%s\n",
                        zel::bench::tenths(r.add.by_tenth).c_str(), zel::bench::tenths(r.del.by_tenth).c_str());
            tail("add", r.add);
            tail("del", r.del);
            std::fflush(stdout);
            slow_add.push_back(r.add.slow_at);
            slow_del.push_back(r.del.slow_at);
            add.push_back(r.add.rate());
            del.push_back(r.del.rate());
            bpr.push_back(bytes);
            ratio_add.push_back(r.add.last_over_first());
            ratio_del.push_back(r.del.last_over_first());
        }
        summary("add_routes_per_s", domains, n, add, "%.0f");
        summary("del_routes_per_s", domains, n, del, "%.0f");
        summary("bytes_per_route", domains, n, bpr, "%.1f");
        summary("add_last_tenth_over_first", domains, n, ratio_add, "%.2f");
        summary("del_last_tenth_over_first", domains, n, ratio_del, "%.2f");
        // Calls over 1 ms of all runs, and those that recur near the same
        // call in another run (within a thousandth of the calls).
        auto count = [](const std::vector<std::vector<uint64_t>> &v) {
            size_t c = 0;
            for (const auto &r : v) c += r.size();
            return c;
        };
        const uint64_t window = std::max<uint64_t>(n / 1000, 1);
        std::printf("SLOW impl=zel_ip domains=%u n=%zu runs=%d adds_over_1ms=%zu adds_recurring=%llu "
                    "dels_over_1ms=%zu dels_recurring=%llu window=%llu\n",
                    domains, n, opt.runs, count(slow_add),
                    static_cast<unsigned long long>(zel::bench::recurring(slow_add, window)), count(slow_del),
                    static_cast<unsigned long long>(zel::bench::recurring(slow_del, window)),
                    static_cast<unsigned long long>(window));
        std::fflush(stdout);
    }
    // A failed check ended the program above with "CHECKS FAILED".
    std::printf("CHECKS passed (every call returned 0; sampled lookups against a naive table after "
                "the adds, after half the deletes and after all of them; empty tree at the end)\n");
    return 0;
}
