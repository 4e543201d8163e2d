// See prefixgen.h for the algorithm.
#include "prefixgen.h"

#include <cstdio>
#include <unordered_set>

namespace zelbench {

namespace {

struct SplitMix64 {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
};

// Weights per million, /8 .. /32.
constexpr uint32_t kWeight[25] = {15,    15,    40,     110,    330,   650, 1200, 2000, 14000,
                                  10500, 15640, 30000,  50000,  56000, 125000, 100000, 590000,
                                  1000,  700,   500,    400,    500,   300,  100,  1000};

}  // namespace

std::vector<Prefix> prefixgen(uint64_t n, uint64_t seed, std::string *error) {
    uint8_t first[221];
    uint32_t nf = 0;
    for (uint32_t o = 1; o <= 223; ++o)
        if (o != 10 && o != 127) first[nf++] = static_cast<uint8_t>(o);

    uint64_t count[33] = {};
    uint64_t assigned = 0;
    for (uint32_t len = 8; len <= 32; ++len) {
        count[len] = n * kWeight[len - 8] / 1000000;
        assigned += count[len];
    }
    count[24] += n - assigned;
    for (uint32_t len = 8; len <= 32; ++len) {
        // Space of a length: the 221 first octets times 2^(len - 8).
        if (count[len] > (221ULL << (len - 8)) / 2) {
            if (error) *error = "quota of /" + std::to_string(len) + " exceeds half of its space";
            return {};
        }
    }

    SplitMix64 rng{seed};
    std::vector<Prefix> out;
    out.reserve(n);
    std::unordered_set<uint64_t> seen;
    seen.reserve(n * 2);
    for (uint32_t len = 8; len <= 32; ++len) {
        uint32_t mask = len == 32 ? 0xffffffffu : ~(0xffffffffu >> len);
        for (uint64_t i = 0; i < count[len];) {
            uint32_t addr = static_cast<uint32_t>(first[rng.next() % nf]) << 24;
            addr |= static_cast<uint32_t>(rng.next() & 0xffffff);
            addr &= mask;
            if (!seen.insert(static_cast<uint64_t>(addr) << 8 | len).second) continue;
            out.push_back({addr, static_cast<uint8_t>(len)});
            ++i;
        }
    }
    for (uint64_t i = out.size(); i > 1; --i) {
        uint64_t j = rng.next() % i;
        std::swap(out[i - 1], out[j]);
    }
    return out;
}

std::string prefix_text(const Prefix &p) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u/%u", p.addr >> 24, p.addr >> 16 & 255,
                  p.addr >> 8 & 255, p.addr & 255, p.len);
    return buf;
}

}  // namespace zelbench
