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
// a part's load is <= 3/4 after every insert (7/8 while a large part's
// next slots are still being made ready) and it shrinks by half when it
// drops below 1/8 (hysteresis, so churn at a boundary does not thrash).
// A part resizes incrementally (see Slots): no put or erase moves more
// than 256 old slots (a few microseconds), so none stalls at any table
// size.
#ifndef ZSIM_ENGINE_TABLE_H
#define ZSIM_ENGINE_TABLE_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <functional>
#include <initializer_list>
#include <memory>

#include "sim_table_memory.h"

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
    // The key placing (bits, len) in a part grouped by its leading `group`
    // bits (0: the key itself); in one word, as every key here fits one.
    static Packed group_key(u128 bits, unsigned len, unsigned group) {
        const uint64_t b = static_cast<uint64_t>(bits);
        return group ? pack(b >> (len - group), group) : pack(b, len);
    }
    static Packed group_key(Packed k, unsigned group) {
        return group ? pack((k & ((1ULL << 57) - 1)) >> (len(k) - group), group) : k;
    }
    static bool empty(const Slot &s) { return s.key == 0; }
    static bool eq(const Slot &s, Packed k) { return s.key == k; }
    static void set(Slot &s, Packed k) { s.key = k; }
    static Packed key(const Slot &s) { return s.key; }
    // Multiplicative: the table takes the top bits (see slot_home), which
    // every bit of the key reaches.
    static uint64_t hash(Packed k) { return k * 0x9e3779b97f4a7c15ULL; }
    static unsigned len(Packed k) { return static_cast<unsigned>(k >> 57) - 1; }
    static u128 bits(Packed k) { return k & ((1ULL << 57) - 1); }
    // Key k (of length l) is the first l bits of (bits, len), in one word.
    static bool leads(Packed k, u128 bits, unsigned len, unsigned l) {
        return (k & ((1ULL << 57) - 1)) == static_cast<uint64_t>(bits) >> (len - l);
    }
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
    static Packed group_key(u128 bits, unsigned len, unsigned group) {
        return group ? pack(bits >> (len - group), group) : pack(bits, len);
    }
    static Packed group_key(Packed k, unsigned group) { return group ? pack(bits(k) >> (len(k) - group), group) : k; }
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
    static bool leads(Packed k, u128 bits, unsigned len, unsigned l) { return Key128::bits(k) == bits >> (len - l); }
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
    const unsigned char *old[kMaxParts] = {};  // a resize's old slots, still read
    size_t old_mask[kMaxParts] = {};
    unsigned lo[kMaxParts] = {};  // shortest length of each part, descending
    unsigned parts = 0;
    unsigned slot_bytes = 0;
    bool wide = false;            // Key128 slots
};

// The home slot of (bits, len) in a part placing keys by their leading
// `group` bits (0: by the whole key), of cap = mask + 1 slots (a power of
// two): the top log2(cap) bits of the hash, the ones a multiplicative
// hash mixes best. Neighbouring keys (adjacent groups of a routing table)
// then land evenly apart, so runs stay short; and a key's home at twice
// the slots is 2h or 2h + 1 where it was h, so a resize reads the old
// slots in order and writes the new ones nearly in order.
template <class K>
size_t group_home(typename K::Packed group_key, size_t mask) {
    return static_cast<size_t>(K::hash(group_key) >> __builtin_clzll(mask | 1)) & mask;
}
template <class K>
size_t slot_home(u128 bits, unsigned len, unsigned group, size_t mask) {
    return group_home<K>(K::group_key(bits, len, group), mask);
}

// Warm the line at p and the next one, where a probe run often goes on.
// The address of the next line is made as an integer: it may lie past the
// slots, which a prefetch (it never faults) may touch but pointer
// arithmetic may not name. Inlined always, so the prefetches stay where
// the caller wants them.
[[gnu::always_inline]] inline void prefetch_run_lines(const void *p) {
    __builtin_prefetch(p);
    __builtin_prefetch(reinterpret_cast<const void *>(reinterpret_cast<uintptr_t>(p) + 64));
}

// The home slot's address of (bits, len) in the slots of its part (`old`:
// the old slots of a part being resized, which a put or a query reads
// too), or nullptr when the part has none; `bits` holds only len bits.
// Callers prefetch it themselves: GCC takes a function whose only effect
// is a prefetch for one without side effects and drops calls to it.
inline const void *home_address(const SlotMap &m, u128 bits, unsigned len, bool old) {
    unsigned p = 0;
    while (p < m.parts && len < m.lo[p]) ++p;
    if (p == m.parts) return nullptr;
    const unsigned char *slots = old ? m.old[p] : m.slots[p];
    const size_t mask = old ? m.old_mask[p] : m.mask[p];
    if (!slots) return nullptr;
    const size_t i = m.wide ? slot_home<Key128>(bits, len, m.lo[p], mask) : slot_home<Key64>(bits, len, m.lo[p], mask);
    return slots + i * m.slot_bytes;
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
    virtual bool resizing() const = 0;
    // A large part starts growing at load grow32/32 (1/2 unless set; kept
    // within 8 .. 20 so the next slots are ready by load 23/32). Set
    // before the first key.
    virtual void set_growth(unsigned grow32) = 0;
    // Old slots of at least this many bytes move kBigStep a change (8 MiB
    // unless set; a test hurries small parts with it).
    virtual void set_big_move(size_t bytes) = 0;
    // Resizes that a put had to finish in one call, the next being due
    // (0 at the pace the table keeps; a test watches it).
    virtual size_t stalls() const = 0;
};

// Open-addressing slots with linear probing. `group_` = 0: a key is
// placed by its own hash; otherwise by the hash of its leading group_ bits
// (every key held has at least that many), so keys sharing them share a
// probe run.
//
// Resizing never stops the world. A resize allocates the new slots and
// keeps the old ones; from then on every put and erase first moves the
// next kStep old slots (kBigStep in a large part, see Pace) into the new
// ones, so no call moves more than kBigStep, at any size. Meanwhile every
// key is in exactly one of the two (a put or erase of a key still in the
// old slots acts there), and a query reads both.
//
// The move starts after an empty old slot e and goes round to it. The
// old slots already moved, (e, e + moved_] cyclically, are never read
// again; what is left is the stretch from the next one to e, which ends
// in an empty slot. Every probe run there is intact except that the run
// at the front lost its head: a key whose home has been moved past is
// searched from the first slot not moved. So, in old-slot offsets
// od(x) = x - e - 1 (mod cap): a probe starts at max(od(home), moved_)
// and ends at the latest at e; the backward shift of an erase compares
// those clamped homes.
//
// Before the move, the new slots of a mapped table are made ready
// (next_: pages in and zero, see sim_table_memory.h), the table working
// as before meanwhile. That cost (several microseconds a page on a
// virtual machine) is what makes a resize expensive: the process's table
// worker takes it off the caller when a core is free, and the owner does
// a share itself only when the two fall behind a straight line from the
// start (none ready) to budget_ changes later (all ready); a chunk every
// change above load 3/4.
//
// Pace: a mapped part starts growing at load 1/2 (to twice the slots;
// set_growth moves that to at most 5/8); budget_ runs to load 23/32 (at
// least cap/32 changes). The old slots are then moved kStep = 8 a change,
// in cap/8 changes: by load 27/32 of the old cap, 27/64 of the new, so
// the move is over well before the next growth is due. Old slots of
// kBigMoveBytes (8 MiB) or more move kBigStep = 256 a change, in cap/256
// changes: while a move lasts every query reads runs in both tables, and
// at that size they are cache misses, so the move is hurried (a few
// microseconds a step; the whole move runs at memory bandwidth, about
// 7 ms for a million old slots). A smaller part's runs stay in cache, and
// its move is spread thin. A heap part grows at 3/4, at once into heap
// slots. A part shrinks to half below load 1/8, when no resize is under
// way: its next slots are ready within cap/32 changes and moved in cap/8
// more, by when the new slots hold at most 9/16 of their cap. Should load
// 3/4 be reached with the next slots not ready (a failed early start),
// the owner makes ready a chunk every change, and
// at 7/8 all at once (counted as a stall: never, at this pace).
template <class K>
class Slots {
public:
    using Slot = typename K::Slot;
    using Packed = typename K::Packed;
    static constexpr size_t kStep = 8;
    // A part whose old slots take this much moves kBigStep a change (see
    // Pace).
    static constexpr size_t kBigMoveBytes = size_t{8} << 20;  // the default of big_move_
    static constexpr size_t kBigStep = 256;
    // Old slots up to this many are moved at once (a bounded, small copy).
    static constexpr size_t kMoveAtOnce = 256;

    Slots() = default;
    Slots(const Slots &) = delete;
    Slots &operator=(const Slots &) = delete;
    ~Slots() { clear(); }

    size_t home(u128 bits, unsigned len) const { return slot_home<K>(bits, len, group_, mask_); }
    // The home of a key held (new slots).
    size_t home_of(Packed k) const { return group_home<K>(K::group_key(k, group_), mask_); }

    // The slot of (bits, len), in the new or the old slots, or nullptr.
    Slot *find(u128 bits, unsigned len) {
        return const_cast<Slot *>(static_cast<const Slots *>(this)->find(bits, len));
    }
    const Slot *find(u128 bits, unsigned len) const {
        const Packed k = K::pack(bits, len);
        if (cap_)
            for (size_t i = home(bits, len); !K::empty(slots_[i]); i = (i + 1) & mask_)
                if (K::eq(slots_[i], k)) return &slots_[i];
        return old_ ? old_find(k, bits, len) : nullptr;
    }

    // f(slot) for every slot of the probe run of (bits, len)'s home, in
    // the new slots and in the old ones.
    template <class F>
    void each_in_run(u128 bits, unsigned len, F &&f) const {
        if (cap_)
            for (size_t i = home(bits, len); !K::empty(slots_[i]); i = (i + 1) & mask_) f(slots_[i]);
        if (old_)
            for (size_t i = old_start(bits, len); !K::empty(old_[i]); i = (i + 1) & old_mask_) f(old_[i]);
    }
    // Warm the line of the run in the new slots (and in the old ones).
    void prefetch_run(u128 bits, unsigned len) const {
        if (cap_) prefetch_run_lines(&slots_[home(bits, len)]);
        if (old_) prefetch_run_lines(&old_[old_start(bits, len)]);
    }

    bool reserve_one() {
        if (!cap_) return start_resize(16);
        // A mapped part grows early (see Pace); a failure is tried again
        // at the next put.
        if (!next_ && !old_ && (size_ + 1) * 32 > cap_ * grow32_ && table_mapped(cap_ * 2 * sizeof(Slot)))
            start_resize(cap_ * 2);
        if ((size_ + 1) * 4 <= cap_ * 3) return true;
        if (next_ && (size_ + 1) * 8 <= cap_ * 7) return true;  // brought in at the fast pace now
        if (next_ || old_) {  // never, at the pace above
            ++stalls_;
            ready_next();
            finish();
            if ((size_ + 1) * 4 <= cap_ * 3) return true;
        }
        return start_resize(cap_ * 2);
    }
    // 1 inserted, 0 replaced, -1 memory short.
    int put(u128 bits, unsigned len, uint64_t val, uint64_t *old) {
        if (!reserve_one()) return -1;
        step();
        Packed k = K::pack(bits, len);
        for (size_t i = home(bits, len);; i = (i + 1) & mask_) {
            Slot &s = slots_[i];
            if (K::empty(s)) {
                if (Slot *o = old_ ? old_find(k, bits, len) : nullptr) {
                    if (old) *old = o->val;
                    o->val = val;
                    return 0;
                }
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
        step();
        const Packed k = K::pack(bits, len);
        bool gone = false;
        if (cap_) {
            for (size_t i = home(bits, len); !K::empty(slots_[i]); i = (i + 1) & mask_)
                if (K::eq(slots_[i], k)) {
                    erase_new(i);
                    gone = true;
                    break;
                }
        }
        if (!gone && old_) {
            const Slot *o = old_find(k, bits, len);
            if (o) {
                erase_old(static_cast<size_t>(o - old_));
                gone = true;
            }
        }
        if (!gone) return false;
        --size_;
        if (!old_ && !next_ && cap_ > 64 && size_ * 8 < cap_) start_resize(cap_ / 2);  // failure: keep the larger table
        return true;
    }
    void clear() {
        if (prep_) prep_->cancel();  // no worker touches next_ once it is given back
        prep_.reset();
        table_free(slots_, cap_ * sizeof(Slot));
        table_free(old_, old_cap_ * sizeof(Slot));
        table_free(next_, next_cap_ * sizeof(Slot));
        slots_ = old_ = next_ = nullptr;
        cap_ = size_ = mask_ = old_cap_ = old_mask_ = moved_ = next_cap_ = 0;
    }
    // Rebuild at the smallest capacity that keeps the load below 3/4: an
    // explicit compaction, so it moves every key in one call.
    bool compact() {
        ready_next();
        finish();
        size_t cap = 16;
        while (size_ * 4 > cap * 3) cap *= 2;
        if (!size_) {
            clear();
            return true;
        }
        if (cap == cap_) return true;
        if (!start_resize(cap)) return false;
        ready_next();
        finish();
        return true;
    }
    // f(slot) for every key held.
    template <class F>
    void each(F &&f) const {
        for (size_t i = 0; i < cap_; ++i)
            if (!K::empty(slots_[i])) f(slots_[i]);
        for (size_t o = moved_; old_ && o < old_cap_; ++o) {
            const Slot &s = old_[(old_end_ + 1 + o) & old_mask_];
            if (!K::empty(s)) f(s);
        }
    }
    // Bytes held: the slots, the old ones being moved and what is ready
    // of the next ones.
    size_t held_bytes() const { return (cap_ + old_cap_) * sizeof(Slot) + (prep_ ? prep_->bytes_ready() : 0); }
    bool resizing() const { return old_ != nullptr || next_ != nullptr; }
    const Slot *old_slots() const { return old_; }
    size_t old_mask() const { return old_mask_; }
    size_t stalls() const { return stalls_; }

    unsigned group_ = 0;    // set once, before the first key
    unsigned grow32_ = 16;  // a mapped part starts growing at load grow32_/32 (see Pace)
    size_t big_move_ = kBigMoveBytes;  // old slots of this many bytes move kBigStep a change
    Slot *slots_ = nullptr;
    size_t cap_ = 0, size_ = 0, mask_ = 0;

private:
    size_t old_home(u128 bits, unsigned len) const { return slot_home<K>(bits, len, group_, old_mask_); }
    size_t old_home_of(Packed k) const { return group_home<K>(K::group_key(k, group_), old_mask_); }
    // Offset of old slot x from the first slot moved (see above).
    size_t od(size_t x) const { return (x - old_end_ - 1) & old_mask_; }
    size_t old_start(u128 bits, unsigned len) const {
        const size_t h = old_home(bits, len);
        return od(h) < moved_ ? (old_end_ + 1 + moved_) & old_mask_ : h;
    }
    const Slot *old_find(Packed k, u128 bits, unsigned len) const {
        for (size_t i = old_start(bits, len); !K::empty(old_[i]); i = (i + 1) & old_mask_)
            if (K::eq(old_[i], k)) return &old_[i];
        return nullptr;
    }
    Slot *old_find(Packed k, u128 bits, unsigned len) {
        return const_cast<Slot *>(static_cast<const Slots *>(this)->old_find(k, bits, len));
    }
    // Backward shift: pull later members of the probe run into the hole
    // unless their home lies cyclically in (hole, j].
    void erase_new(size_t i) {
        for (size_t j = (i + 1) & mask_; !K::empty(slots_[j]); j = (j + 1) & mask_) {
            const size_t h = home_of(K::key(slots_[j]));
            bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
            if (stays) continue;
            slots_[i] = slots_[j];
            i = j;
        }
        std::memset(&slots_[i], 0, sizeof(Slot));
    }
    // The same in the old slots, in offsets, with homes clamped to the
    // first slot not moved (the stretch left never wraps).
    void erase_old(size_t i) {
        for (size_t j = (i + 1) & old_mask_; !K::empty(old_[j]); j = (j + 1) & old_mask_) {
            const size_t h = std::max(od(old_home_of(K::key(old_[j]))), moved_);
            if (od(i) < h && h <= od(j)) continue;
            old_[i] = old_[j];
            i = j;
        }
        std::memset(&old_[i], 0, sizeof(Slot));
    }
    // Insert a key known to be absent from the new slots.
    void place(const Slot &s) {
        size_t j = home_of(K::key(s));
        while (!K::empty(slots_[j])) j = (j + 1) & mask_;
        slots_[j] = s;
    }
    // Move the next `n` old slots; the old table goes when all have moved.
    void move(size_t n) {
        for (; n && moved_ < old_cap_; --n, ++moved_) {
            const Slot &s = old_[(old_end_ + 1 + moved_) & old_mask_];
            if (!K::empty(s)) place(s);
        }
        if (moved_ == old_cap_) {
            table_free(old_, old_cap_ * sizeof(Slot));
            old_ = nullptr;
            old_cap_ = old_mask_ = moved_ = 0;
        }
    }
    // Every put and erase does a bounded share of the resize under way:
    // make a batch of the next slots ready, or move the next old slots.
    void step() {
        if (next_)
            bring_in();
        else if (old_)
            move(old_cap_ * sizeof(Slot) >= big_move_ ? kBigStep : kStep);
    }
    void finish() {
        if (old_) move(old_cap_);
    }
    // A resize of a mapped table first makes its next slots ready (see
    // Pace) before a key is moved; a heap table is used at once.
    bool start_resize(size_t cap) {
        bool fresh = false;
        auto *next = static_cast<Slot *>(table_alloc(cap * sizeof(Slot), &fresh));
        if (!next) return false;
        finish();
        next_ = next;
        next_cap_ = cap;
        since_ = 0;
        const size_t due = cap_ * 23 / 32;  // see Pace
        budget_ = cap > cap_ ? std::max<size_t>(cap_ / 32, due > size_ ? due - size_ : 0) : std::max<size_t>(cap_ / 32, 1);
        const size_t bytes = cap * sizeof(Slot);
        if (table_mapped(bytes) && size_) prep_ = TablePrep::start(next, bytes, fresh);
        if (!prep_) {  // small, empty, or no memory for the preparation: all now
            if (table_mapped(bytes)) table_ready(next, 0, bytes, fresh);
            use_next();
        }
        return true;
    }
    // The next slots are taken as soon as the preparation has them all
    // ready. The owner's share keeps the chunks ready on or above the
    // straight line from none at the start to all after budget_ changes,
    // the worker's chunks counting (see Pace); above load 3/4, a chunk
    // every change.
    void bring_in() {
        ++since_;
        if (!prep_->ready()) {
            const size_t all = prep_->chunks();
            const size_t owed = since_ >= budget_ ? all : all * since_ / budget_;
            if (prep_->done() >= owed && size_ * 4 < cap_ * 3) return;
            if (!prep_->help()) return;
        }
        use_next();
    }
    // All of the next slots at once (compaction, or a pace cut short).
    void ready_next() {
        if (!next_) return;
        prep_->finish();
        use_next();
    }
    // The next slots become the slots; the move of the old ones starts.
    void use_next() {
        Slot *fresh = next_;
        const size_t cap = next_cap_;
        prep_.reset();
        next_ = nullptr;
        next_cap_ = 0;
        old_ = slots_;
        old_cap_ = cap_;
        old_mask_ = mask_;
        moved_ = 0;
        slots_ = fresh;
        cap_ = cap;
        mask_ = cap - 1;
        if (!old_) return;
        if (!size_) {  // nothing to move: no need to look at the old slots
            table_free(old_, old_cap_ * sizeof(Slot));
            old_ = nullptr;
            old_cap_ = old_mask_ = 0;
            return;
        }
        // The move starts after an empty slot (the load is at most 7/8:
        // one is a short run away).
        old_end_ = 0;
        while (!K::empty(old_[old_end_])) ++old_end_;
        if (old_cap_ <= kMoveAtOnce) finish();
    }

    Slot *old_ = nullptr;
    size_t old_cap_ = 0, old_mask_ = 0;
    size_t old_end_ = 0;  // the empty old slot e the move goes round to
    size_t moved_ = 0;    // old slots moved so far
    size_t stalls_ = 0;   // resizes finished in one call by reserve_one
    Slot *next_ = nullptr;        // the slots a resize will move into, being made ready
    size_t next_cap_ = 0;
    std::shared_ptr<TablePrep> prep_;  // next_'s preparation (while next_ is set, mapped)
    size_t since_ = 0;            // changes since the resize started
    size_t budget_ = 1;           // changes by which next_ is to be all ready (see Pace)
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
        Slot *s = part(len).find(bits, len);
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
        unsigned top[kMaxParts];
        bool wanted[kMaxParts] = {};
        for (unsigned p = 0; p < grouped; ++p) {
            top[p] = p ? std::min(lo_[p - 1] - 1, maxlen) : maxlen;
            if (lo_[p] > top[p] || !parts_[p].size_ || !populated(lo_[p], top[p])) continue;
            wanted[p] = true;
            parts_[p].prefetch_run(bits, len);
        }
        // 2. The runs, longest part first: a cover found in a part beats
        //    every cover of the parts below it.
        for (unsigned p = 0; p < grouped; ++p) {
            if (!wanted[p]) continue;
            const Slots<K> &t = parts_[p];
            unsigned best = 0;
            t.each_in_run(bits, len, [&](const Slot &s) {
                Packed k = K::key(s);
                unsigned l = K::len(k);
                if (l > top[p] || l <= best || (s.val & skip) || !K::leads(k, bits, len, l)) return;
                best = l;  // every length of a grouped part is above 0
                *val = s.val;
            });
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
                const Slot *s = loose.find(bits >> (len - l), l);
                if (s && !(s->val & skip)) {
                    *found_len = l;
                    *val = s->val;
                    return true;
                }
            }
        }
        return false;
    }

    void prefetch(u128 bits, unsigned len) const override {
        const Slots<K> &t = part(len);
        if (t.cap_) prefetch_run_lines(&t.slots_[t.home(bits, len)]);
    }

    const SlotMap &slot_map() const override { return map_; }

    void for_each(const std::function<void(u128, unsigned, uint64_t)> &f) const override {
        for (unsigned p = nparts_; p-- > 0;) {
            parts_[p].each([&](const Slot &s) {
                Packed k = K::key(s);
                f(K::bits(k), K::len(k), s.val);
            });
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
    // Both tables of a part being resized.
    size_t bytes() const override {
        size_t n = 0;
        for (unsigned p = 0; p < nparts_; ++p) n += parts_[p].held_bytes();
        return n;
    }
    size_t stalls() const override {
        size_t n = 0;
        for (unsigned p = 0; p < nparts_; ++p) n += parts_[p].stalls();
        return n;
    }
    void set_growth(unsigned grow32) override {
        for (unsigned p = 0; p < nparts_; ++p) parts_[p].grow32_ = std::clamp(grow32, 8u, 20u);
    }
    void set_big_move(size_t bytes) override {
        for (unsigned p = 0; p < nparts_; ++p) parts_[p].big_move_ = bytes;
    }
    // Some part is being resized (its old slots still held).
    bool resizing() const override {
        for (unsigned p = 0; p < nparts_; ++p)
            if (parts_[p].resizing()) return true;
        return false;
    }

private:
    // Part p's slots may have moved (a rehash): the map follows.
    void remap(unsigned p) {
        map_.slots[p] = reinterpret_cast<const unsigned char *>(parts_[p].slots_);
        map_.mask[p] = parts_[p].mask_;
        map_.old[p] = reinterpret_cast<const unsigned char *>(parts_[p].old_slots());
        map_.old_mask[p] = parts_[p].old_mask();
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
