// Random route churn of one domain through the public API, with a naive
// longest-prefix table kept beside it: the oracle the destination tree is
// compared with. Prefixes are cut from a few anchor addresses at random
// lengths 0 to 32, so they nest and overlap; a step adds or replaces a
// route (next hop, null route, local termination or invalid destination),
// deletes a present one, or deletes an absent one (which the engine
// refuses, changing nothing).
#ifndef ROUTE_WORKLOAD_H
#define ROUTE_WORKLOAD_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "route_test_util.h"

namespace routetest {

// The words the destination tree must hold for each kind of route,
// written from the documented layout (not from the module's codec).
inline hwe_action_t via_next_hop_words(uint32_t nh) { return {HWE_ACTION_VALUE, 1u | (nh >> 24) << 16, nh & 0xffffff}; }
inline constexpr hwe_action_t kNullRouteWords{HWE_ACTION_VALUE, 0x10, 0};
inline constexpr hwe_action_t kInvalidWords{HWE_ACTION_VALUE, 0x8000, 0};
inline constexpr hwe_action_t kLocalDipWords{HWE_ACTION_VALUE, 0x400, 0};

class RouteWorkload {
public:
    RouteWorkload(zel_module_t *m, zel_ip_vrd_handle_t vrd, uint32_t seed) : m_(m), vrd_(vrd), rng_(seed) {
        for (uint32_t &a : anchors_) a = 0x0a000000 | (rng_() & 0x3ffff) << 8 | (rng_() & 0xff);
        anchors_[0] = 0;            // the low edge of the address space
        anchors_[1] = 0xffffffff;   // and the high one
    }

    // One random operation; its status is checked against what the oracle
    // expects (mismatches are counted, the first one described).
    void step() {
        const uint32_t anchor = anchors_[rng_() % kAnchors];
        const uint32_t len = rng_() % 33;
        const uint32_t dest = anchor & LpmOracle::mask(len);
        const uint32_t dice = rng_() % 100;
        if (dice < 55) {
            add(dest, len);
        } else if (dice < 85 && !oracle_.routes().empty()) {
            // Delete a present route (chosen among the stored ones).
            auto it = oracle_.routes().begin();
            std::advance(it, rng_() % oracle_.routes().size());
            remove(it->first.second, it->first.first, true);
        } else {
            remove(dest, len, oracle_.has(dest, len));
        }
    }

    // Addresses worth looking up: both ends of (a sample of) the stored
    // prefixes and their neighbours, the anchors, and random addresses
    // near them.
    std::vector<uint32_t> samples(uint32_t max_prefixes) {
        std::vector<uint32_t> out;
        uint32_t n = 0, stride = static_cast<uint32_t>(oracle_.routes().size() / (max_prefixes ? max_prefixes : 1)) + 1;
        for (const auto &[k, a] : oracle_.routes()) {
            if (n++ % stride) continue;
            const uint32_t lo = k.second, hi = k.second | ~LpmOracle::mask(k.first);
            out.insert(out.end(), {lo, hi, lo - 1, hi + 1});
        }
        for (uint32_t a : anchors_) out.insert(out.end(), {a, a ^ 1u, a ^ (1u << (rng_() % 32))});
        return out;
    }

    // Addresses whose engine lookup differs from the oracle.
    uint32_t mismatches(hwe_engine_t *eng, uint32_t vrd_id, const std::vector<uint32_t> &addrs,
                        std::string *first) const {
        uint32_t bad = 0;
        for (uint32_t a : addrs) {
            hwe_action_t got = route_at(eng, vrd_id, a), want = oracle_.lookup(a);
            if (same(got, want)) continue;
            if (!bad++ && first) {
                char b[160];
                std::snprintf(b, sizeof b, "VRD %u address 0x%08x: engine %s, oracle %s", vrd_id, a, str(got).c_str(),
                              str(want).c_str());
                *first = b;
            }
        }
        return bad;
    }

    const LpmOracle &oracle() const { return oracle_; }
    uint32_t failures() const { return failures_; }
    const std::string &first_failure() const { return first_failure_; }
    uint32_t ops() const { return ops_; }

private:
    static constexpr uint32_t kAnchors = 8;

    void add(uint32_t dest, uint32_t len) {
        const uint32_t kind = rng_() % 10;
        uint32_t st;
        hwe_action_t words;
        if (kind == 0) {
            zel_ip_invalid_dip_params_t p{dest, len};
            st = zel_ip_invalid_dip_add(m_, vrd_, &p);
            words = kInvalidWords;
        } else {
            zel_ip_route_params_t r{};
            r.vrd = vrd_;
            r.dest = dest | (rng_() & ~LpmOracle::mask(len));  // host bits are not looked at
            r.prefix_len = len;
            if (kind == 1) {
                words = kNullRouteWords;
            } else if (kind == 2) {
                r.local_termination = 1;
                words = kLocalDipWords;
            } else {
                r.next_hop = 0x01000000 + rng_() % 0x60000000;  // 1.0.0.0 up to 96.255.255.255
                words = via_next_hop_words(r.next_hop);
            }
            st = zel_ip_route_add(m_, &r);
        }
        expect(st, 0, "add", dest, len);
        if (st == 0) oracle_.add(dest, len, words);
    }

    void remove(uint32_t dest, uint32_t len, bool present) {
        uint32_t st;
        if (rng_() % 4 == 0) {
            zel_ip_invalid_dip_params_t p{dest, len};
            st = zel_ip_invalid_dip_rem(m_, vrd_, &p);
        } else {
            zel_ip_route_params_t r{};
            r.vrd = vrd_;
            r.dest = dest;
            r.prefix_len = len;
            st = zel_ip_route_delete(m_, &r);
        }
        // The engine refuses to remove an entry that is not there.
        expect(st, present ? 0u : 0x10041u, present ? "delete" : "delete absent", dest, len);
        if (st == 0) oracle_.remove(dest, len);
    }

    void expect(uint32_t got, uint32_t want, const char *what, uint32_t dest, uint32_t len) {
        ++ops_;
        if (got == want) return;
        if (!failures_++) {
            char b[160];
            std::snprintf(b, sizeof b, "op %u %s 0x%08x/%u: status 0x%x, expected 0x%x", ops_, what, dest, len, got,
                          want);
            first_failure_ = b;
        }
    }

    zel_module_t *m_;
    zel_ip_vrd_handle_t vrd_;
    std::mt19937 rng_;
    uint32_t anchors_[kAnchors];
    LpmOracle oracle_;
    uint32_t failures_ = 0;
    uint32_t ops_ = 0;
    std::string first_failure_;
};

}  // namespace routetest

#endif  // ROUTE_WORKLOAD_H
