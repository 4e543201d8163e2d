// Bringing fresh pages in ahead of their first use.
//
// The first write to a fresh page costs a fault, and on a virtual machine
// a costly one (tens of microseconds). A block the model fills piece by
// piece over many calls (an allocator slab, the records of a namespace)
// has its pages brought in by one call into the kernel when it is taken,
// so the calls that fill it do not each stop for a fault.
#ifndef ZSIM_PAGES_H
#define ZSIM_PAGES_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace zsim {

inline constexpr size_t kPageBytes = 4096;

// Brings in the whole pages inside [p, p + len). Linux 5.14 and later; an
// older kernel refuses the request and the pages fault in as they are
// first written, which is correct, only slower.
inline void pages_in(void *p, size_t len) {
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    const uintptr_t lo = (a + kPageBytes - 1) & ~(kPageBytes - 1);
    const uintptr_t hi = (a + len) & ~(kPageBytes - 1);
    if (hi > lo) (void)madvise(reinterpret_cast<void *>(lo), hi - lo, MADV_POPULATE_WRITE);
}

}  // namespace zsim

#endif  // ZSIM_PAGES_H
