// hwe_nvm_calloc / hwe_nvm_free: the platform allocator for module objects.
//
// Blocks are pooled by size class. A freed block goes back to its pool
// filled with a poison byte and, under AddressSanitizer, poisoned, so a
// module that reads a record after freeing it fails its tests; a block is
// unpoisoned and zeroed when it is handed out again. Accounting (bytes and
// blocks in use) and an optional limit are process-wide.
//
// Where new blocks come from. A module takes records by the ten thousand
// (an association is one), and the first touch of a fresh page is what a
// new record costs most: a fault, and on a virtual machine a costly one
// (tens of microseconds a page). So new small blocks are carved from
// slabs, back to back with no allocator overhead between them, and a slab
// comes with its pages brought in by one call into the kernel:
//
//   slab (64 KiB, pages in)  | hdr | payload | hdr | payload | ... | (rest) |
//                              <-- one block of class c -->
//
// A slab is never given back: its blocks go to the free lists, and the
// slabs stay until the process ends. Size classes step by 16 bytes up to
// 512 (records come in many sizes below that, and a power-of-two class
// would waste up to half of each), then double. Larger blocks, and every block under
// AddressSanitizer (which then checks each block's bounds and leaks), come
// from malloc one by one.
//
// Freed blocks are linked through their headers, so a free never grows a
// container (which would stall that one call while a large one moves).
#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "hwe.h"
#include "sim_fault.h"
#include "sim_pages.h"
#include "zel_sim.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZSIM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZSIM_ASAN 1
#endif
#endif
#ifdef ZSIM_ASAN
#include <sanitizer/asan_interface.h>
#define ZSIM_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define ZSIM_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
constexpr bool kSlabs = false;
#else
#define ZSIM_POISON(p, n) ((void)(p), (void)(n))
#define ZSIM_UNPOISON(p, n) ((void)(p), (void)(n))
constexpr bool kSlabs = true;
#endif

namespace {

constexpr uint32_t kBlockMagic = 0x6e766d21;  // "nvm!"
constexpr unsigned char kPoison = 0xdb;

// Header in front of every block; the payload follows, 16-byte aligned.
struct alignas(16) BlockHeader {
    uint32_t magic;
    uint32_t cls;            // size class index
    union {
        uint64_t size;       // in use: bytes asked for
        BlockHeader *next;   // free: the next block of its free list
    };
};
static_assert(sizeof(BlockHeader) == 16);

// Size classes: 16 to 512 bytes by 16, then 1 KiB to 512 KiB by doubling;
// larger blocks are not pooled.
constexpr int kStepClasses = 32;
constexpr int kClasses = kStepClasses + 10;
constexpr uint64_t class_bytes(int c) {
    return c < kStepClasses ? 16ull * static_cast<uint64_t>(c + 1) : 1024ull << (c - kStepClasses);
}
static_assert(class_bytes(kStepClasses - 1) == 512 && class_bytes(kClasses - 1) == 512 * 1024);

int size_class(uint64_t n) {
    if (n <= class_bytes(kStepClasses - 1)) return static_cast<int>((n + 15) / 16) - 1;
    for (int c = kStepClasses; c < kClasses; ++c)
        if (n <= class_bytes(c)) return c;
    return kClasses;  // unpooled
}

constexpr uint64_t kSlabBytes = 64 * 1024;
// Blocks of a class carved from slabs: a slab holds at least 16 of them.
constexpr bool from_slab(int c) {
    return kSlabs && c < kClasses && (sizeof(BlockHeader) + class_bytes(c)) * 16 <= kSlabBytes;
}

struct Pools {
    std::mutex mu;
    BlockHeader *free_list[kClasses] = {};  // guarded by mu
    // The unused tail of each class's current slab; guarded by mu.
    char *slab_next[kClasses] = {};
    char *slab_end[kClasses] = {};
    std::atomic<uint64_t> in_use{0};
    std::atomic<uint64_t> blocks{0};
    std::atomic<uint64_t> limit{0};
    ~Pools() {
        for (int c = 0; c < kClasses; ++c) {
            if (from_slab(c)) continue;  // they stay with their slabs
            for (BlockHeader *h = free_list[c]; h;) {
                ZSIM_UNPOISON(h, sizeof(BlockHeader));  // before reading its link
                BlockHeader *next = h->next;
                ZSIM_UNPOISON(h, sizeof(BlockHeader) + class_bytes(c));
                std::free(h);
                h = next;
            }
        }
    }
};
Pools &pools() {
    static Pools p;
    return p;
}

// A new block of slab class `c`; caller holds p.mu. nullptr when memory
// is short.
BlockHeader *carve(Pools &p, int c) {
    const uint64_t bytes = sizeof(BlockHeader) + class_bytes(c);
    if (static_cast<uint64_t>(p.slab_end[c] - p.slab_next[c]) < bytes) {
        void *s = mmap(nullptr, kSlabBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (s == MAP_FAILED) return nullptr;
        zsim::pages_in(s, kSlabBytes);
        p.slab_next[c] = static_cast<char *>(s);
        p.slab_end[c] = static_cast<char *>(s) + kSlabBytes;
    }
    auto *h = reinterpret_cast<BlockHeader *>(p.slab_next[c]);
    p.slab_next[c] += bytes;
    return h;
}

}  // namespace

extern "C" {

void *hwe_nvm_calloc(uint32_t count, uint32_t size) try {
    ZSIM_FAULT_POINT_RET(nullptr);
    uint64_t n = static_cast<uint64_t>(count) * size;
    if (n == 0) n = 1;
    Pools &p = pools();
    uint64_t lim = p.limit.load();
    if (lim && p.in_use.load() + n > lim) return nullptr;
    int c = size_class(n);
    BlockHeader *h = nullptr;
    // Under AddressSanitizer every block comes from malloc and goes back
    // to free: a block kept on a free list is reachable only through the
    // poisoned header of the one before it, which the leak checker does
    // not read, and a reused block would hide a use after free.
    if (c < kClasses && kSlabs) {
        std::lock_guard<std::mutex> g(p.mu);
        if ((h = p.free_list[c])) {
            ZSIM_UNPOISON(h, sizeof(BlockHeader));
            p.free_list[c] = h->next;
        } else if (from_slab(c)) {
            h = carve(p, c);
            if (!h) return nullptr;
        }
    }
    uint64_t cap = c < kClasses ? class_bytes(c) : n;
    void *payload = nullptr;
    if (h) {
        ZSIM_UNPOISON(h, sizeof(BlockHeader) + cap);
        payload = h + 1;
        std::memset(payload, 0, cap);
    } else {
        // calloc, not malloc and memset: a large block comes as a new
        // mapping, zero already, and its pages are then faulted in one by
        // one as the object uses them instead of all inside this call (a
        // 1 MiB table took milliseconds to clear on a virtual machine).
        h = static_cast<BlockHeader *>(std::calloc(1, sizeof(BlockHeader) + cap));
        if (!h) return nullptr;
        payload = h + 1;
    }
    h->magic = kBlockMagic;
    h->cls = static_cast<uint32_t>(c);
    h->size = n;
    p.in_use += n;
    p.blocks += 1;
    return payload;
} ZSIM_CATCH(nullptr)

void hwe_nvm_free(void *ptr) try {
    ZSIM_COUNT_POINT();
    if (!ptr) return;
    BlockHeader *h = static_cast<BlockHeader *>(ptr) - 1;
    if (h->magic != kBlockMagic) std::abort();  // not ours, or freed twice
    Pools &p = pools();
    p.in_use -= h->size;
    p.blocks -= 1;
    int c = static_cast<int>(h->cls);
    h->magic = 0;
    if (c >= kClasses || !kSlabs) {
        std::free(h);
        return;
    }
    std::memset(ptr, kPoison, class_bytes(c));
    std::lock_guard<std::mutex> g(p.mu);
    h->next = p.free_list[c];
    p.free_list[c] = h;
    ZSIM_POISON(h, sizeof(BlockHeader) + class_bytes(c));
} ZSIM_CATCH_VOID

uint64_t zel_sim_mem_in_use(void) try { return pools().in_use.load(); } ZSIM_CATCH(0)
uint64_t zel_sim_mem_blocks(void) try { return pools().blocks.load(); } ZSIM_CATCH(0)
void zel_sim_mem_set_limit(uint64_t bytes) try { pools().limit.store(bytes); } ZSIM_CATCH_VOID

}  // extern "C"
