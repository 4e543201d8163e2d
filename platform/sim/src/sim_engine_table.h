// Prefix table: the storage behind single-pattern trees and subnet
// databases.
//
// A prefix is (bits, len): `len` specified leading bits of a key, held
// right-aligned in `bits` (the pattern builder's encoding). Entries live in
// flat open-addressing hash tables (linear probing, backward-shift deletion,
// so heavy churn leaves no debris), 16-byte slots for keys of up to 57 bits
// and 24-byte slots up to 120 bits; no entry has a heap block of its own.
//
//   slot:  [ packed key: bits | (len + 1) << top ][ 64-bit value ]
//          packed key 0 = empty, so fresh (mmap'ed, zero) memory is empty
//
// The keys are split by length into parts, each a set of slots of its own.
// The top part holds the long keys (len >= G, G 14 bits short of the full
// width), placed by the hash of their leading G bits, so every long prefix
// covering a key sits in the one probe run at the home of the key's group.
// Below it, parts of 4 lengths each ([G-4, G), [G-8, G-4)) are grouped the
// same way by their own shortest length (a group there holds at most 15
// keys); the shortest keys (below G-8) are placed each by its own hash.
//
//     key 63.10.1.2.0/24 -> run at home(63.10.1.0/18):  /18 .. /32 covers
//                        -> run at home(63.8.0.0/14):   /14 .. /17 covers
//                        -> run at home(63.0.0.0/10):   /10 .. /13 covers
//                        -> own slots: 63.10.0.0/9, 63.0.0.0/8, ...
//
// A covering query ("longest stored prefix of this key no longer than M
// bits") therefore reads one run per grouped part that has keys of a
// length it wants (their loads started together), longest part first, and
// only when none of them covers probes one slot per populated length of
// the ungrouped part, whose few keys stay in cache. For a full routing
// table that is three runs and a few probes of a tiny part (/8 and /9):
// proportional to the key width, not to the table size, and in about one
// memory round trip.
//
// Invariants: each part holds only keys of its lengths, and its size == its
// non-empty slots; len_count_[l] ==
// stored keys of length l and len_mask_ has bit l set iff it is non-zero;
// a part's load is <= 3/4 after every insert and it shrinks by half when it
// drops below 1/8 (hysteresis, so churn at a boundary does not thrash).
#ifndef ZSIM_ENGINE_TABLE_H
#define ZSIM_ENGINE_TABLE_H

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <functional>
#include <initializer_list>
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

inline constexpr unsigned kMaxParts = 4;

// Where a prefix table keeps the slot of a key: enough to compute the
// slot's address later, without the table's lock, and warm its line
// before the call that will read it. Only ever used as a prefetch address:
// a table rehashed or freed since gives a stale address, which costs a
// useless load and nothing else (a prefetch never faults).
struct SlotMap {
    const unsigned char *slots[kMaxParts] = {};
    size_t mask[kMaxParts] = {};
    unsigned lo[kMaxParts] = {};  // shortest length of each part, descending
    unsigned parts = 0;
    unsigned slot_bytes = 0;
    bool wide = false;            // Key128 slots
};

// The home slot of (bits, len) in a part placing keys by their leading
// `group` bits (0: by the whole key).
template <class K>
size_t slot_home(u128 bits, unsigned len, unsigned group, size_t mask) {
    typename K::Packed p = group ? K::pack(bits >> (len - group), group) : K::pack(bits, len);
    return K::hash(p) & mask;
}

// The home slot's address of (bits, len), or nullptr when its part has no
// slots; `bits` holds only len bits. Callers prefetch it themselves: GCC
// takes a function whose only effect is a prefetch for one without side
// effects and drops calls to it.
inline const void *slot_address(const SlotMap &m, u128 bits, unsigned len) {
    unsigned p = 0;
    while (p < m.parts && len < m.lo[p]) ++p;
    if (p == m.parts || !m.slots[p]) return nullptr;
    const size_t i = m.wide ? slot_home<Key128>(bits, len, m.lo[p], m.mask[p])
                            : slot_home<Key64>(bits, len, m.lo[p], m.mask[p]);
    return m.slots[p] + i * m.slot_bytes;
}

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
    // Make room for one more key of length len, so that a put of it
    // cannot fail; false when memory is short (nothing changed).
    virtual bool reserve_one(unsigned len) = 0;
    // Longest stored prefix of (bits, len) whose length is at most maxlen
    // (maxlen <= len) and whose value has no bit of `skip` set: its length
    // and value; false when there is none.
    virtual bool longest(u128 bits, unsigned len, unsigned maxlen, unsigned *found_len,
                         uint64_t *val, uint64_t skip = 0) const = 0;
    // Warm the cache line of (bits, len) for a call that follows.
    virtual void prefetch(u128 bits, unsigned len) const = 0;
    // Where the slots are now (valid until the next change of the table).
    virtual const SlotMap &slot_map() const = 0;
    virtual void for_each(const std::function<void(u128, unsigned, uint64_t)> &f) const = 0;
    virtual void clear() = 0;
    // Rebuild at the smallest capacity that keeps the load below 3/4.
    virtual bool compact() = 0;
    virtual size_t size() const = 0;
    virtual size_t capacity() const = 0;
    virtual size_t bytes() const = 0;  // memory held by the slots
};

// Open-addressing slots with linear probing. `group_` = 0: a key is
// placed by its own hash; otherwise by the hash of its leading group_ bits
// (every key held has at least that many), so keys sharing them share a
// probe run.
template <class K>
class Slots {
public:
    using Slot = typename K::Slot;
    using Packed = typename K::Packed;

    Slots() = default;
    Slots(const Slots &) = delete;
    Slots &operator=(const Slots &) = delete;
    ~Slots() { table_free(slots_, cap_ * sizeof(Slot)); }

    size_t home(u128 bits, unsigned len) const { return slot_home<K>(bits, len, group_, mask_); }
    Slot *find(Packed k, size_t i) {
        for (;; i = (i + 1) & mask_) {
            if (K::empty(slots_[i])) return nullptr;
            if (K::eq(slots_[i], k)) return &slots_[i];
        }
    }
    bool reserve_one() { return (size_ + 1) * 4 <= cap_ * 3 || rehash(cap_ ? cap_ * 2 : 16); }
    // 1 inserted, 0 replaced, -1 memory short.
    int put(u128 bits, unsigned len, uint64_t val, uint64_t *old) {
        if (!reserve_one()) return -1;
        Packed k = K::pack(bits, len);
        for (size_t i = home(bits, len);; i = (i + 1) & mask_) {
            Slot &s = slots_[i];
            if (K::empty(s)) {
                K::set(s, k);
                s.val = val;
                ++size_;
                return 1;
            }
            if (K::eq(s, k)) {
                if (old) *old = s.val;
                s.val = val;
                return 0;
            }
        }
    }
    bool erase(u128 bits, unsigned len) {
        if (!size_) return false;
        Packed k = K::pack(bits, len);
        size_t i = home(bits, len);
        for (;; i = (i + 1) & mask_) {
            if (K::empty(slots_[i])) return false;
            if (K::eq(slots_[i], k)) break;
        }
        // Backward shift: pull later members of the probe run into the hole
        // unless their home lies cyclically in (hole, j].
        for (size_t j = (i + 1) & mask_; !K::empty(slots_[j]); j = (j + 1) & mask_) {
            Packed kj = K::key(slots_[j]);
            size_t h = home(K::bits(kj), K::len(kj));
            bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
            if (stays) continue;
            slots_[i] = slots_[j];
            i = j;
        }
        std::memset(&slots_[i], 0, sizeof(Slot));
        --size_;
        if (cap_ > 64 && size_ * 8 < cap_) rehash(cap_ / 2);  // failure: keep the larger table
        return true;
    }
    void clear() {
        table_free(slots_, cap_ * sizeof(Slot));
        slots_ = nullptr;
        cap_ = size_ = mask_ = 0;
    }
    bool compact() {
        size_t cap = 16;
        while (size_ * 4 > cap * 3) cap *= 2;
        if (!size_) {
            clear();
            return true;
        }
        return cap == cap_ || rehash(cap);
    }
    bool rehash(size_t cap) {
        auto *fresh = static_cast<Slot *>(table_alloc(cap * sizeof(Slot)));
        if (!fresh) return false;
        Slot *old = slots_;
        size_t old_cap = cap_;
        slots_ = fresh;
        cap_ = cap;
        mask_ = cap - 1;
        // Old slots in order land in two ascending runs of the new table
        // (the index is the hash's low bits), so this streams.
        for (size_t i = 0; i < old_cap; ++i) {
            const Slot &s = old[i];
            if (K::empty(s)) continue;
            Packed k = K::key(s);
            size_t j = home(K::bits(k), K::len(k));
            while (!K::empty(slots_[j])) j = (j + 1) & mask_;
            slots_[j] = s;
        }
        table_free(old, old_cap * sizeof(Slot));
        return true;
    }

    unsigned group_ = 0;  // set once, before the first key
    Slot *slots_ = nullptr;
    size_t cap_ = 0, size_ = 0, mask_ = 0;
};

// The prefix table: parts by length, longest first (see the top of the
// file). A covering query reads one probe run per grouped part - all of the
// key's covers of that part's lengths are there - and probes the few
// candidates of the ungrouped part, which hold the shortest keys.
template <class K>
class PrefixTable final : public PrefixStore {
public:
    using Slot = typename K::Slot;
    using Packed = typename K::Packed;

    // `lo`: the shortest length of each grouped part, descending (none: a
    // single part placing every key by its own hash).
    explicit PrefixTable(std::initializer_list<unsigned> lo) {
        nparts_ = 0;
        for (unsigned l : lo) parts_[nparts_++].group_ = l;
        lo_[nparts_] = 0;
        for (unsigned i = 0; i < nparts_; ++i) lo_[i] = parts_[i].group_;
        ++nparts_;  // the ungrouped part, group 0
        for (unsigned len = 0; len < 128; ++len) {
            unsigned p = 0;
            while (len < lo_[p]) ++p;
            part_of_[len] = static_cast<uint8_t>(p);
        }
        map_.parts = nparts_;
        map_.slot_bytes = sizeof(Slot);
        map_.wide = sizeof(Slot) != sizeof(Key64::Slot);
        for (unsigned p = 0; p < nparts_; ++p) {
            map_.lo[p] = lo_[p];
            remap(p);
        }
    }
    PrefixTable(const PrefixTable &) = delete;
    PrefixTable &operator=(const PrefixTable &) = delete;

    uint64_t *find(u128 bits, unsigned len) override {
        if (!len_count_[len]) return nullptr;
        Slots<K> &t = part(len);
        Slot *s = t.find(K::pack(bits, len), t.home(bits, len));
        return s ? &s->val : nullptr;
    }

    int put(u128 bits, unsigned len, uint64_t val, uint64_t *old = nullptr) override {
        int r = part(len).put(bits, len, val, old);
        remap(part_of_[len]);
        if (r == 1 && len_count_[len]++ == 0) len_mask_[len >> 6] |= 1ULL << (len & 63);
        return r;
    }

    bool reserve_one(unsigned len) override {
        bool ok = part(len).reserve_one();
        remap(part_of_[len]);
        return ok;
    }

    bool erase(u128 bits, unsigned len) override {
        if (!len_count_[len] || !part(len).erase(bits, len)) return false;
        remap(part_of_[len]);
        if (--len_count_[len] == 0) len_mask_[len >> 6] &= ~(1ULL << (len & 63));
        return true;
    }

    bool longest(u128 bits, unsigned len, unsigned maxlen, unsigned *found_len, uint64_t *val,
                 uint64_t skip = 0) const override {
        // 1. Grouped parts with a populated length in [lo, min(hi, maxlen)]
        //    (hi: one below the next longer part's lo): start loading the
        //    run at the home of the key's group in each.
        const unsigned grouped = nparts_ - 1;
        size_t run[kMaxParts];
        unsigned top[kMaxParts];
        bool wanted[kMaxParts] = {};
        for (unsigned p = 0; p < grouped; ++p) {
            top[p] = p ? std::min(lo_[p - 1] - 1, maxlen) : maxlen;
            if (lo_[p] > top[p] || !parts_[p].size_ || !populated(lo_[p], top[p])) continue;
            wanted[p] = true;
            run[p] = parts_[p].home(bits, len);
            __builtin_prefetch(&parts_[p].slots_[run[p]]);
        }
        // 2. The runs, longest part first: a cover found in a part beats
        //    every cover of the parts below it.
        for (unsigned p = 0; p < grouped; ++p) {
            if (!wanted[p]) continue;
            const Slots<K> &t = parts_[p];
            unsigned best = 0;
            for (size_t i = run[p]; !K::empty(t.slots_[i]); i = (i + 1) & t.mask_) {
                const Slot &s = t.slots_[i];
                Packed k = K::key(s);
                unsigned l = K::len(k);
                if (l > top[p] || l <= best || (s.val & skip) || K::bits(k) != bits >> (len - l))
                    continue;
                best = l;  // every length of a grouped part is above 0
                *val = s.val;
            }
            if (best) {
                *found_len = best;
                return true;
            }
        }
        // 3. Else the ungrouped part, longest populated length first: its
        //    keys are the shortest, few, and their slots stay in cache.
        const Slots<K> &loose = parts_[grouped];
        if (!loose.size_) return false;
        const unsigned ltop = grouped ? std::min(lo_[grouped - 1] - 1, maxlen) : maxlen;
        for (int w = static_cast<int>(ltop >> 6); w >= 0; --w) {
            uint64_t m = len_mask_[w];
            const unsigned base = static_cast<unsigned>(w) * 64;
            if (ltop < base + 63) m &= (2ULL << (ltop - base)) - 1;
            while (m) {
                const unsigned l = base + 63 - static_cast<unsigned>(__builtin_clzll(m));
                m &= ~(1ULL << (l - base));
                const u128 b = bits >> (len - l);
                const Packed key = K::pack(b, l);
                for (size_t i = loose.home(b, l);; i = (i + 1) & loose.mask_) {
                    const Slot &s = loose.slots_[i];
                    if (K::empty(s)) break;
                    if (K::eq(s, key)) {
                        if (s.val & skip) break;
                        *found_len = l;
                        *val = s.val;
                        return true;
                    }
                }
            }
        }
        return false;
    }

    void prefetch(u128 bits, unsigned len) const override {
        const Slots<K> &t = part(len);
        if (t.cap_) __builtin_prefetch(&t.slots_[t.home(bits, len)]);
    }

    const SlotMap &slot_map() const override { return map_; }

    void for_each(const std::function<void(u128, unsigned, uint64_t)> &f) const override {
        for (unsigned p = nparts_; p-- > 0;) {
            const Slots<K> &t = parts_[p];
            for (size_t i = 0; i < t.cap_; ++i) {
                const Slot &s = t.slots_[i];
                if (K::empty(s)) continue;
                Packed k = K::key(s);
                f(K::bits(k), K::len(k), s.val);
            }
        }
    }

    void clear() override {
        for (unsigned p = 0; p < nparts_; ++p) {
            parts_[p].clear();
            remap(p);
        }
        std::memset(len_count_, 0, sizeof len_count_);
        len_mask_[0] = len_mask_[1] = 0;
    }

    bool compact() override {
        bool ok = true;
        for (unsigned p = 0; p < nparts_; ++p) {
            ok = parts_[p].compact() && ok;
            remap(p);
        }
        return ok;
    }
    size_t size() const override {
        size_t n = 0;
        for (unsigned p = 0; p < nparts_; ++p) n += parts_[p].size_;
        return n;
    }
    size_t capacity() const override {
        size_t n = 0;
        for (unsigned p = 0; p < nparts_; ++p) n += parts_[p].cap_;
        return n;
    }
    size_t bytes() const override { return capacity() * sizeof(Slot); }

private:
    // Part p's slots may have moved (a rehash): the map follows.
    void remap(unsigned p) {
        map_.slots[p] = reinterpret_cast<const unsigned char *>(parts_[p].slots_);
        map_.mask[p] = parts_[p].mask_;
    }
    Slots<K> &part(unsigned len) { return parts_[part_of_[len]]; }
    const Slots<K> &part(unsigned len) const { return parts_[part_of_[len]]; }
    // Some length in lo .. hi is populated.
    bool populated(unsigned lo, unsigned hi) const {
        for (unsigned w = lo >> 6; w <= hi >> 6; ++w) {
            uint64_t m = len_mask_[w];
            if (w == lo >> 6) m &= ~0ULL << (lo & 63);
            if (w == hi >> 6 && (hi & 63) != 63) m &= (2ULL << (hi & 63)) - 1;
            if (m) return true;
        }
        return false;
    }

    // What a query reads first, then the counts.
    uint64_t len_mask_[2] = {};
    unsigned nparts_ = 1;
    unsigned lo_[kMaxParts] = {};
    Slots<K> parts_[kMaxParts];
    uint8_t part_of_[128] = {};
    uint32_t len_count_[128] = {};
    SlotMap map_;
};

// A store for prefixes of up to `width` bits (at most 120). From a width
// of 30 the keys are grouped: for the 38-bit destination tree, prefixes
// from /18 on are homed by their /18, which holds a handful of routes of a
// full table, /14 to /17 by their /14 and /10 to /13 by their /10; the few
// shorter ones each by itself. Narrower stores place every key by itself.
template <class K>
std::unique_ptr<PrefixStore> make_prefix_table(unsigned width) {
    if (width < 30) return std::make_unique<PrefixTable<K>>(std::initializer_list<unsigned>{});
    const unsigned g = width - 14;
    return std::make_unique<PrefixTable<K>>(std::initializer_list<unsigned>{g, g - 4, g - 8});
}
inline std::unique_ptr<PrefixStore> make_prefix_store(unsigned width) {
    return width <= Key64::kMaxLen ? make_prefix_table<Key64>(width) : make_prefix_table<Key128>(width);
}

}  // namespace zsim

#endif  // ZSIM_ENGINE_TABLE_H
