// Pattern storage shared by the pattern builder and the engine model.
#ifndef ZSIM_PATTERN_H
#define ZSIM_PATTERN_H

#include <cstddef>

#include "zel_platform_types.h"

namespace zsim {

// What `bits` of a zel_ptn_t points to: the specified bits, right-aligned.
struct PtnStore {
    unsigned __int128 v;
};

// The specified bits of a pattern, right-aligned (0 when it has none).
unsigned __int128 ptn_value(const zel_ptn_t *p);

// Hex text of a 128-bit value, as snprintf.
int u128_hex(unsigned __int128 v, char *out, size_t size);

}  // namespace zsim

#endif  // ZSIM_PATTERN_H
