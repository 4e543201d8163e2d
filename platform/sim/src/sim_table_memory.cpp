#include "sim_table_memory.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace zsim {
namespace {

// Process-wide: tables of every engine draw on it, from any thread.
struct Pool {
    std::mutex mu;
    std::vector<std::pair<size_t, void *>> free;  // (bytes, mapping)
    size_t bytes = 0;
};
Pool &pool() {
    static Pool *p = new Pool;  // never destroyed: tables may be freed by other statics' destructors
    return *p;
}

void *pool_take(size_t bytes) {
    Pool &p = pool();
    std::lock_guard<std::mutex> g(p.mu);
    for (size_t i = 0; i < p.free.size(); ++i)
        if (p.free[i].first == bytes) {
            void *m = p.free[i].second;
            p.free[i] = p.free.back();
            p.free.pop_back();
            p.bytes -= bytes;
            return m;
        }
    return nullptr;
}

bool pool_give(void *m, size_t bytes) {
    Pool &p = pool();
    std::lock_guard<std::mutex> g(p.mu);
    if (p.bytes + bytes > kPoolMaxBytes) return false;
    try {
        p.free.emplace_back(bytes, m);
    } catch (...) {
        return false;
    }
    p.bytes += bytes;
    return true;
}

}  // namespace

void *table_alloc(size_t bytes, bool *fresh) {
    *fresh = false;
    if (!table_mapped(bytes)) return std::calloc(1, bytes);
    if (void *m = pool_take(bytes)) return m;
    void *m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    *fresh = true;
    return m;
}

void table_ready(void *p, size_t off, size_t len, bool fresh) {
    auto *b = static_cast<unsigned char *>(p) + off;
    if (!fresh) {
        std::memset(b, 0, len);
        return;
    }
    // A new mapping is zero already. The kernel brings the pages in
    // without a trap per page (MADV_POPULATE_WRITE, Linux 5.14; older
    // kernels refuse it and the touch below faults them in); the touch
    // then makes each page known to this thread's mappings, which a
    // virtual machine may do only on a first access.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif
    (void)madvise(b, len, MADV_POPULATE_WRITE);
    for (size_t i = 0; i < len; i += kPage) static_cast<volatile unsigned char *>(b)[i] = 0;
}

void table_free(void *p, size_t bytes) {
    if (!p) return;
    if (!table_mapped(bytes)) {
        std::free(p);
        return;
    }
    if (!pool_give(p, bytes)) munmap(p, bytes);
}

size_t table_pool_bytes() {
    Pool &p = pool();
    std::lock_guard<std::mutex> g(p.mu);
    return p.bytes;
}

}  // namespace zsim
