// Memory for the engine model's prefix tables.
//
// A table's first touch of a new page costs a fault, and on a virtual
// machine a costly one (several microseconds a page); giving pages back
// costs a TLB shootdown that can take milliseconds. Neither may land in
// one call of a table that holds a million keys, so:
//  - a small table (under kMappedBytes) comes zeroed from the heap;
//  - a large one is a mapping whose pages its owner makes ready a bounded
//    batch per call (table_ready) before it writes a key there;
//  - a large table given back is kept, pages and all, for the next table
//    of its size (a pool of at most kPoolMaxBytes; above that it is
//    unmapped). The pool is memory the model holds, like an allocator's
//    free lists, not memory of any table.
// Huge pages are not asked for: a huge-page fault may compact memory for
// milliseconds inside one call.
#pragma once

#include <cstddef>

namespace zsim {

inline constexpr size_t kPage = 4096;
inline constexpr size_t kMappedBytes = size_t{1} << 17;
inline constexpr size_t kPoolMaxBytes = size_t{1} << 30;

inline bool table_mapped(size_t bytes) { return bytes >= kMappedBytes; }

// A table of `bytes`. Heap: zeroed, ready. Mapped: *fresh tells whether it
// is a new mapping (no page in) or one from the pool (pages in, contents
// left by its last table); either way not ready until table_ready has
// covered it. nullptr when memory is short.
void *table_alloc(size_t bytes, bool *fresh);
// Make [off, off + len) of a mapped table zero with its pages in; off and
// len are multiples of kPage (the last batch may end at the table's end).
void table_ready(void *p, size_t off, size_t len, bool fresh);
// Give a table back (nullptr: nothing).
void table_free(void *p, size_t bytes);
// Bytes held in the pool.
size_t table_pool_bytes();

}  // namespace zsim
