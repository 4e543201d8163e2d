// hwe_nvm_calloc / hwe_nvm_free: the platform allocator for module objects.
//
// Blocks are pooled by size class. A freed block goes back to its pool
// filled with a poison byte and, under AddressSanitizer, poisoned, so a
// module that reads a record after freeing it fails its tests; a block is
// unpoisoned and zeroed when it is handed out again. Accounting (bytes and
// blocks in use) and an optional limit are process-wide.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "hwe.h"
#include "sim_fault.h"
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
#else
#define ZSIM_POISON(p, n) ((void)(p), (void)(n))
#define ZSIM_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

constexpr uint32_t kBlockMagic = 0x6e766d21;  // "nvm!"
constexpr unsigned char kPoison = 0xdb;

// Header in front of every block; the payload follows, 16-byte aligned.
struct alignas(16) BlockHeader {
    uint32_t magic;
    uint32_t cls;      // size class index
    uint64_t size;     // bytes asked for
};

// Size classes: powers of two from 16 bytes; larger blocks are not pooled.
constexpr int kClasses = 16;  // up to 512 KiB
constexpr uint64_t class_bytes(int c) { return 16ull << c; }

struct Pools {
    std::mutex mu;
    std::vector<BlockHeader *> free_list[kClasses];
    std::atomic<uint64_t> in_use{0};
    std::atomic<uint64_t> blocks{0};
    std::atomic<uint64_t> limit{0};
    ~Pools() {
        for (auto &l : free_list)
            for (auto *h : l) {
                ZSIM_UNPOISON(h, sizeof(BlockHeader));  // before reading its size class
                ZSIM_UNPOISON(h, sizeof(BlockHeader) + class_bytes(static_cast<int>(h->cls)));
                std::free(h);
            }
    }
};
Pools &pools() {
    static Pools p;
    return p;
}

int size_class(uint64_t n) {
    for (int c = 0; c < kClasses; ++c)
        if (n <= class_bytes(c)) return c;
    return kClasses;  // unpooled
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
    if (c < kClasses) {
        std::lock_guard<std::mutex> g(p.mu);
        if (!p.free_list[c].empty()) {
            h = p.free_list[c].back();
            p.free_list[c].pop_back();
        }
    }
    uint64_t cap = c < kClasses ? class_bytes(c) : n;
    if (h) {
        ZSIM_UNPOISON(h, sizeof(BlockHeader) + cap);
    } else {
        h = static_cast<BlockHeader *>(std::malloc(sizeof(BlockHeader) + cap));
        if (!h) return nullptr;
    }
    h->magic = kBlockMagic;
    h->cls = static_cast<uint32_t>(c);
    h->size = n;
    void *payload = h + 1;
    std::memset(payload, 0, cap);
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
    if (c >= kClasses) {
        std::free(h);
        return;
    }
    std::memset(ptr, kPoison, class_bytes(c));
    ZSIM_POISON(h, sizeof(BlockHeader) + class_bytes(c));
    std::lock_guard<std::mutex> g(p.mu);
    p.free_list[c].push_back(h);
} ZSIM_CATCH_VOID

uint64_t zel_sim_mem_in_use(void) try { return pools().in_use.load(); } ZSIM_CATCH(0)
uint64_t zel_sim_mem_blocks(void) try { return pools().blocks.load(); } ZSIM_CATCH(0)
void zel_sim_mem_set_limit(uint64_t bytes) try { pools().limit.store(bytes); } ZSIM_CATCH_VOID

}  // extern "C"
