// Pattern storage shared by the pattern builder and the engine model.
#ifndef ZSIM_PATTERN_H
#define ZSIM_PATTERN_H

#include <cstddef>
#include <cstdint>

#include "zel_platform_types.h"

namespace zsim {

// The engine objects a pattern buffer was last handed to. The module
// builds a key in a tree's buffer and programs the tree and then the
// tree's subnet database with it (a learn, then the database add of the
// same key one bit longer; on removal the database's find-higher, then
// the tree's unlearn), so an engine call can start loading the slot the
// paired call is about to read while its own load is in flight: two
// memory round trips become about one. A pair is only ever used to warm a
// cache line; a stale one costs a useless load, never a wrong answer.
struct PtnPair {
    hwe_subnet_db_t *db = nullptr;  // last database call (shells outlive destroy)
    hwe_engine_t *eng = nullptr;    // last tree call: engine ...
    uint64_t eng_epoch = 0;         // ... valid while no engine was destroyed since
    uint32_t tree_id = 0;           // ... and tree
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
