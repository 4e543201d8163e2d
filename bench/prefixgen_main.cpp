// zel-prefixgen N [SEED]: prints N unique "a.b.c.d/len" lines, as the peer
// benchmarks' generator does (bench/check_prefixgen.sh compares the two).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "prefixgen.h"

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s N [SEED]\n", argv[0]);
        return 2;
    }
    uint64_t n = std::strtoull(argv[1], nullptr, 10);
    uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    std::string error;
    auto prefixes = zelbench::prefixgen(n, seed, &error);
    if (prefixes.empty() && n) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
        return 1;
    }
    std::string out;
    for (const auto &p : prefixes) (out += zelbench::prefix_text(p)) += '\n';
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
