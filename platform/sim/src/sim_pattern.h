// Pattern storage shared by the pattern builder and the engine model.
#ifndef ZSIM_PATTERN_H
#define ZSIM_PATTERN_H

#include <cstddef>
#include <cstdint>

#include "sim_engine_table.h"
#include "zel_platform_types.h"

namespace zsim {

// Where the tree and the subnet database a pattern buffer was last handed
// to keep their slots. The module builds a key in a tree's buffer and then
// programs the tree and the tree's subnet database with it (a learn, then
// the database add of the same key one bit longer; on removal the
// database's find-higher, the tree's unlearn, the database delete). So the
// pattern builder, once it has extended the key, starts loading both
// slots of the key while the module goes on towards the engine: at a
// million routes each call then meets its line in cache instead of
// waiting a memory round trip. Only ever prefetch addresses (SlotMap).
struct PtnPair {
    SlotMap tree;  // taken by the last learn or unlearn with this buffer
    SlotMap db;    // taken by the last subnet database call with it
};

// What `bits` of a zel_ptn_t points to: the specified bits, right-aligned,
// and the pair hint.
struct PtnStore {
    unsigned __int128 v;
    PtnPair pair{};
};

// The specified bits of a pattern, right-aligned (0 when it has none).
unsigned __int128 ptn_value(const zel_ptn_t *p);

// Hex text of a 128-bit value, as snprintf.
int u128_hex(unsigned __int128 v, char *out, size_t size);

}  // namespace zsim

#endif  // ZSIM_PATTERN_H
