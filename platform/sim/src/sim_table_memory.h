// Memory for the engine model's prefix tables.
//
// A table's first touch of a new page costs a fault, and on a virtual
// machine a costly one (several microseconds a page); giving pages back
// costs a TLB shootdown that can take milliseconds. Neither may land in
// one call of a table that holds a million keys, so:
//  - a small table (under kMappedBytes) comes zeroed from the heap;
//  - a large one is a mapping made ready (pages in, all zero) before its
//    owner writes a key there, chunk by chunk, by a background worker and
//    by the owner itself a bounded share per call (TablePrep below): the
//    worker takes the cost off the caller's thread when a core is free,
//    the owner's share keeps the growth on time when none is;
//  - a large table given back is kept, pages and all, for the next table
//    of its size (a pool of at most kPoolMaxBytes; above that it is
//    unmapped). The pool is memory the model holds, like an allocator's
//    free lists, not memory of any table.
// Huge pages are not asked for: a huge-page fault may compact memory for
// milliseconds inside one call.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

namespace zsim {

inline constexpr size_t kPage = 4096;
inline constexpr size_t kMappedBytes = size_t{1} << 17;
inline constexpr size_t kPoolMaxBytes = size_t{1} << 30;

inline bool table_mapped(size_t bytes) { return bytes >= kMappedBytes; }

// A table of `bytes`. Heap: zeroed, ready. Mapped: *fresh tells whether it
// is a new mapping (no page in) or one from the pool (pages in, contents
// left by its last table); either way not ready until table_ready (or a
// TablePrep) has covered it. nullptr when memory is short.
void *table_alloc(size_t bytes, bool *fresh);
// Make [off, off + len) of a mapped table zero with its pages in; off and
// len are multiples of kPage (the last batch may end at the table's end).
void table_ready(void *p, size_t off, size_t len, bool fresh);
// Give a table back (nullptr: nothing). A TablePrep of it must have been
// cancelled or finished first.
void table_free(void *p, size_t bytes);
// Bytes held in the pool.
size_t table_pool_bytes();

// The making ready of one mapped table, shared by its owner and the
// process's table worker (a thread started at the first preparation). The
// table is cut into chunks of kChunk bytes; a chunk is claimed by exactly
// one of them (an atomic cursor) and made ready by that one. The owner
// sees the whole table ready through done_ (acquire), which orders every
// worker write before the owner's first key.
//
// Owner's calls (one thread at a time, the table's lock held): help,
// ready, finish, cancel. The worker only claims. Without a worker (none
// could be started, ZSIM_TABLE_WORKER=0, or a forked child) the owner's
// help does it all, at the pace its table keeps.
class TablePrep {
public:
    static constexpr size_t kChunk = 8 * kPage;

    // Starts preparing [p, p + bytes) and offers it to the worker.
    static std::shared_ptr<TablePrep> start(void *p, size_t bytes, bool fresh);

    // The owner's share: make one more chunk ready, if one is left.
    // True when the whole table is ready.
    bool help();
    bool ready() const { return done_.load(std::memory_order_acquire) == chunks_; }
    // Every chunk ready before it returns (the owner claims all left and
    // waits for the worker's chunk in hand, a chunk's time at most).
    void finish();
    // No chunk is claimed any more and none is in hand when it returns:
    // the table may be given back.
    void cancel();
    size_t chunks() const { return chunks_; }
    // Chunks made ready so far.
    size_t done() const { return done_.load(std::memory_order_relaxed); }
    // Bytes made ready so far.
    size_t bytes_ready() const;

    // The worker's share: claim and make ready one chunk; false when none
    // is left.
    bool claim();

    TablePrep(unsigned char *p, size_t bytes, bool fresh)
        : p_(p), bytes_(bytes), fresh_(fresh), chunks_((bytes + kChunk - 1) / kChunk) {}

private:
    void make_ready(size_t chunk);
    // Wait until done_ reaches n (chunks the worker holds finish).
    void wait_done(size_t n) const;

    unsigned char *const p_;
    const size_t bytes_;
    const bool fresh_;
    const size_t chunks_;
    std::atomic<size_t> next_{0};  // next chunk to claim (may run past chunks_)
    std::atomic<size_t> done_{0};  // chunks made ready
};

// Whether a table worker runs in this process (tests and benchmarks
// report it).
bool table_worker_running();

}  // namespace zsim
