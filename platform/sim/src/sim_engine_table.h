// Prefix table: the storage behind single-pattern trees and subnet
// databases.
//
// A prefix is (bits, len): `len` specified leading bits of a key, held
// right-aligned in `bits` (the pattern builder's encoding). The table is
// one flat open-addressing hash table keyed by (bits, len), linear probing,
// backward-shift deletion (no tombstones, so heavy churn leaves no debris),
// 16-byte slots for keys of up to 57 bits and 24-byte slots up to 120 bits.
//
//   slot:  [ packed key: bits | (len + 1) << top ][ 64-bit value ]
//          packed key 0 = empty, so a fresh mmap'ed table is already empty
//
// Covering queries ("longest stored prefix of this key no longer than M
// bits") probe one candidate per stored length, longest first. A per-length
// population count skips lengths with no entries, and all candidate slots
// are prefetched before the first compare, so the probes overlap in the
// memory system: the cost is proportional to the key width, not to the
// table size, and is close to one memory round trip.
//
// Invariants: size_ == number of non-empty slots == sum(len_count_);
// len_mask_ has bit l set iff len_count_[l] > 0; load <= 3/4 after every
// insert; a table shrinks by half when it drops below 1/8 (hysteresis, so
// churn at a boundary does not thrash).
#ifndef ZSIM_ENGINE_TABLE_H
#define ZSIM_ENGINE_TABLE_H

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

namespace zsim {

using u128 = unsigned __int128;

// The low n bits set (n up to 128).
inline u128 low_mask(unsigned n) { return n >= 128 ? ~static_cast<u128>(0) : ((static_cast<u128>(1) << n) - 1); }

inline uint64_t fmix64(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return k;
}

// Zeroed memory for a table; large tables come from mmap with huge pages
// advised (the probes are random, so TLB reach matters at a million keys).
inline constexpr size_t kMmapThreshold = 1u << 21;
inline void *table_alloc(size_t bytes) {
    if (bytes >= kMmapThreshold) {
        void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
        madvise(p, bytes, MADV_HUGEPAGE);
#endif
        return p;
    }
    return std::calloc(1, bytes);
}
inline void table_free(void *p, size_t bytes) {
    if (!p) return;
    if (bytes >= kMmapThreshold)
        munmap(p, bytes);
    else
        std::free(p);
}

// Keys of up to 57 bits: one 64-bit word, the length in the top 7 bits.
struct Key64 {
    static constexpr unsigned kMaxLen = 57;
    using Packed = uint64_t;
    struct Slot {
        uint64_t key;
        uint64_t val;
    };
    static Packed pack(u128 bits, unsigned len) {
        return static_cast<uint64_t>(bits) | (static_cast<uint64_t>(len + 1) << 57);
    }
    static bool empty(const Slot &s) { return s.key == 0; }
    static bool eq(const Slot &s, Packed k) { return s.key == k; }
    static void set(Slot &s, Packed k) { s.key = k; }
    static Packed key(const Slot &s) { return s.key; }
    static uint64_t hash(Packed k) { return fmix64(k); }
    static unsigned len(Packed k) { return static_cast<unsigned>(k >> 57) - 1; }
    static u128 bits(Packed k) { return k & ((1ULL << 57) - 1); }
};

// Keys of up to 120 bits: two words, the length in the top 7 bits.
struct Key128 {
    static constexpr unsigned kMaxLen = 120;
    struct Packed {
        uint64_t lo, hi;
    };
    struct Slot {
        uint64_t lo, hi;
        uint64_t val;
    };
    static Packed pack(u128 bits, unsigned len) {
        return {static_cast<uint64_t>(bits),
                static_cast<uint64_t>(bits >> 64) | (static_cast<uint64_t>(len + 1) << 57)};
    }
    static bool empty(const Slot &s) { return s.hi == 0; }
    static bool eq(const Slot &s, Packed k) { return s.lo == k.lo && s.hi == k.hi; }
    static void set(Slot &s, Packed k) {
        s.lo = k.lo;
        s.hi = k.hi;
    }
    static Packed key(const Slot &s) { return {s.lo, s.hi}; }
    static uint64_t hash(Packed k) { return fmix64(k.lo ^ fmix64(k.hi)); }
    static unsigned len(Packed k) { return static_cast<unsigned>(k.hi >> 57) - 1; }
    static u128 bits(Packed k) {
        return (static_cast<u128>(k.hi & ((1ULL << 57) - 1)) << 64) | k.lo;
    }
};

// What trees and subnet databases see: a prefix -> 64-bit value map with
// the covering query. One implementation per key size behind it.
class PrefixStore {
public:
    virtual ~PrefixStore() = default;
    // The value of (bits, len), or nullptr. `bits` holds only len bits.
    virtual uint64_t *find(u128 bits, unsigned len) = 0;
    // Insert or replace: 1 inserted, 0 replaced (*old, when given, gets
    // the value it had), -1 memory short (nothing changed).
    virtual int put(u128 bits, unsigned len, uint64_t val, uint64_t *old = nullptr) = 0;
    // Remove; false when it was not there.
    virtual bool erase(u128 bits, unsigned len) = 0;
    // Longest stored prefix of (bits, len) whose length is at most maxlen
    // (maxlen <= len) and whose value has no bit of `skip` set: its length
    // and value; false when there is none.
    virtual bool longest(u128 bits, unsigned len, unsigned maxlen, unsigned *found_len,
                         uint64_t *val, uint64_t skip = 0) const = 0;
    // Warm the cache line of (bits, len) for a call that follows.
    virtual void prefetch(u128 bits, unsigned len) const = 0;
    virtual void for_each(const std::function<void(u128, unsigned, uint64_t)> &f) const = 0;
    virtual void clear() = 0;
    // Rebuild at the smallest capacity that keeps the load below 3/4.
    virtual bool compact() = 0;
    virtual size_t size() const = 0;
    virtual size_t capacity() const = 0;
    virtual size_t bytes() const = 0;  // memory held by the slots
};

template <class K>
class PrefixTable final : public PrefixStore {
public:
    using Slot = typename K::Slot;
    using Packed = typename K::Packed;

    PrefixTable() = default;
    PrefixTable(const PrefixTable &) = delete;
    PrefixTable &operator=(const PrefixTable &) = delete;
    ~PrefixTable() override { table_free(slots_, cap_ * sizeof(Slot)); }

    uint64_t *find(u128 bits, unsigned len) override {
        if (!size_ || !len_count_[len]) return nullptr;
        Packed k = K::pack(bits, len);
        for (size_t i = K::hash(k) & mask_;; i = (i + 1) & mask_) {
            Slot &s = slots_[i];
            if (K::empty(s)) return nullptr;
            if (K::eq(s, k)) return &s.val;
        }
    }

    int put(u128 bits, unsigned len, uint64_t val, uint64_t *old = nullptr) override {
        if ((size_ + 1) * 4 > cap_ * 3 && !rehash(cap_ ? cap_ * 2 : 16)) return -1;
        Packed k = K::pack(bits, len);
        for (size_t i = K::hash(k) & mask_;; i = (i + 1) & mask_) {
            Slot &s = slots_[i];
            if (K::empty(s)) {
                K::set(s, k);
                s.val = val;
                ++size_;
                if (len_count_[len]++ == 0) len_mask_[len >> 6] |= 1ULL << (len & 63);
                return 1;
            }
            if (K::eq(s, k)) {
                if (old) *old = s.val;
                s.val = val;
                return 0;
            }
        }
    }

    bool erase(u128 bits, unsigned len) override {
        if (!size_ || !len_count_[len]) return false;
        Packed k = K::pack(bits, len);
        size_t i = K::hash(k) & mask_;
        for (;; i = (i + 1) & mask_) {
            if (K::empty(slots_[i])) return false;
            if (K::eq(slots_[i], k)) break;
        }
        // Backward shift: pull later members of the probe run into the hole
        // unless their home slot lies cyclically in (hole, j].
        for (size_t j = (i + 1) & mask_; !K::empty(slots_[j]); j = (j + 1) & mask_) {
            size_t home = K::hash(K::key(slots_[j])) & mask_;
            bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
            if (stays) continue;
            slots_[i] = slots_[j];
            i = j;
        }
        std::memset(&slots_[i], 0, sizeof(Slot));
        --size_;
        if (--len_count_[len] == 0) len_mask_[len >> 6] &= ~(1ULL << (len & 63));
        if (cap_ > 64 && size_ * 8 < cap_) rehash(cap_ / 2);  // failure: keep the larger table
        return true;
    }

    bool longest(u128 bits, unsigned len, unsigned maxlen, unsigned *found_len, uint64_t *val,
                 uint64_t skip = 0) const override {
        if (!size_) return false;
        // 1. One candidate per populated length <= maxlen, longest first;
        //    start every probe's memory access before the first compare.
        Packed keys[128];
        size_t idx[128];
        unsigned lens[128];
        unsigned n = 0;
        for (int w = maxlen >> 6; w >= 0; --w) {
            uint64_t m = len_mask_[w];
            unsigned top = static_cast<unsigned>(w) * 64;
            if (maxlen < top + 63) m &= (2ULL << (maxlen - top)) - 1;
            while (m) {
                unsigned l = top + 63 - static_cast<unsigned>(__builtin_clzll(m));
                m &= ~(1ULL << (l - top));
                keys[n] = K::pack(bits >> (len - l), l);
                idx[n] = K::hash(keys[n]) & mask_;
                __builtin_prefetch(&slots_[idx[n]]);
                lens[n++] = l;
            }
        }
        // 2. The first hit is the longest covering prefix.
        for (unsigned c = 0; c < n; ++c) {
            for (size_t i = idx[c];; i = (i + 1) & mask_) {
                const Slot &s = slots_[i];
                if (K::empty(s)) break;
                if (K::eq(s, keys[c])) {
                    if (s.val & skip) break;
                    *found_len = lens[c];
                    *val = s.val;
                    return true;
                }
            }
        }
        return false;
    }

    void prefetch(u128 bits, unsigned len) const override {
        if (cap_) __builtin_prefetch(&slots_[K::hash(K::pack(bits, len)) & mask_]);
    }

    void for_each(const std::function<void(u128, unsigned, uint64_t)> &f) const override {
        for (size_t i = 0; i < cap_; ++i) {
            const Slot &s = slots_[i];
            if (K::empty(s)) continue;
            Packed k = K::key(s);
            f(K::bits(k), K::len(k), s.val);
        }
    }

    void clear() override {
        table_free(slots_, cap_ * sizeof(Slot));
        slots_ = nullptr;
        cap_ = size_ = mask_ = 0;
        std::memset(len_count_, 0, sizeof len_count_);
        len_mask_[0] = len_mask_[1] = 0;
    }

    bool compact() override {
        size_t cap = 16;
        while (size_ * 4 > cap * 3) cap *= 2;
        if (!size_) {
            clear();
            return true;
        }
        return cap == cap_ || rehash(cap);
    }

    size_t size() const override { return size_; }
    size_t capacity() const override { return cap_; }
    size_t bytes() const override { return cap_ * sizeof(Slot); }

private:
    bool rehash(size_t cap) {
        auto *fresh = static_cast<Slot *>(table_alloc(cap * sizeof(Slot)));
        if (!fresh) return false;
        size_t m = cap - 1;
        for (size_t i = 0; i < cap_; ++i) {
            const Slot &s = slots_[i];
            if (K::empty(s)) continue;
            size_t j = K::hash(K::key(s)) & m;
            while (!K::empty(fresh[j])) j = (j + 1) & m;
            fresh[j] = s;
        }
        table_free(slots_, cap_ * sizeof(Slot));
        slots_ = fresh;
        cap_ = cap;
        mask_ = m;
        return true;
    }

    Slot *slots_ = nullptr;
    size_t cap_ = 0, size_ = 0, mask_ = 0;
    uint32_t len_count_[128] = {};
    uint64_t len_mask_[2] = {};
};

// A store for prefixes of up to `width` bits (at most 120).
inline std::unique_ptr<PrefixStore> make_prefix_store(unsigned width) {
    if (width <= Key64::kMaxLen) return std::make_unique<PrefixTable<Key64>>();
    return std::make_unique<PrefixTable<Key128>>();
}

}  // namespace zsim

#endif  // ZSIM_ENGINE_TABLE_H
