// The shared prefix generator of the peer benchmarks, reimplemented from
// its documented algorithm so that our benchmarks read the same prefixes:
//  - PRNG splitmix64 seeded with SEED;
//  - per length L in 8..32 a quota floor(N * W[L] / 1e6) of a length mix
//    shaped like the public IPv4 default-free table, the remainder to /24;
//  - a prefix is a first octet FIRST[next() % 221] (1..223 without 10 and
//    127) and 24 low bits next() & 0xffffff, masked to the length; a
//    prefix drawn before is drawn again;
//  - one Fisher-Yates shuffle of the whole list, same PRNG.
#ifndef ZEL_BENCH_PREFIXGEN_H
#define ZEL_BENCH_PREFIXGEN_H

#include <cstdint>
#include <string>
#include <vector>

namespace zelbench {

struct Prefix {
    uint32_t addr;  // host bits zero
    uint8_t len;    // 8 .. 32
};

// N unique prefixes for `seed`, in the generator's order. Empty (and a
// message in *error) when a length's quota exceeds half its space.
std::vector<Prefix> prefixgen(uint64_t n, uint64_t seed, std::string *error = nullptr);

// "a.b.c.d/len"
std::string prefix_text(const Prefix &p);

}  // namespace zelbench

#endif  // ZEL_BENCH_PREFIXGEN_H
