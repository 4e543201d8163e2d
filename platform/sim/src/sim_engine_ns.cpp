// Namespace resources, NS ids and the memory named by them: state-engine
// records, SED parameters and MTM shared parameters.
//
// A namespace is a range of ids [base, base + count) with one "taken" bit
// per id. Namespaces of the image may give each id memory (a record of a
// fixed size per kind); namespaces created at run time are plain id pools
// (the module keeps VRD, rule-set and egress flow ids in them), so their
// ids - which overlap other pools - name no memory. Image namespaces with
// memory never overlap, so an id alone finds its record.
//
// Strictness (all-or-nothing): allocating a taken or out-of-range id,
// freeing a free, foreign or out-of-range id, or touching memory of an id
// that is not taken, is refused and changes nothing. Memory of an id reads
// as zeros from its allocation on (it is dropped when the id is freed);
// by convention its contents are big-endian, the engine's byte order.
// A destroyed namespace keeps its shell (dead magic) until the engine
// goes, so a stale handle is refused rather than followed.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "sim_engine.h"
#include "sim_engine_internal.h"
#include "sim_fault.h"
#include "sim_pages.h"

namespace zsim {

namespace {

constexpr uint32_t kCreateType = 5, kFindType = 0;

enum class Mem { kState, kSed, kMtm };

bool ns_ok(const hwe_rsrc_t *ns) { return ns && ns->magic == kNsMagic && engine_ok(ns->eng); }

uint32_t mem_size(const hwe_rsrc_t &ns, Mem m) {
    return m == Mem::kState ? ns.def.record_size : m == Mem::kSed ? ns.def.sed_size : ns.def.mtm_size;
}
IdMemory &mem_of(hwe_rsrc_t &ns, Mem m) { return m == Mem::kState ? ns.se : m == Mem::kSed ? ns.sed : ns.mtm; }

void set_taken(hwe_rsrc_t &ns, uint32_t id, bool taken) {
    uint32_t i = id - ns.def.base;
    if (taken) {
        ns.used[i >> 6] |= 1ULL << (i & 63);
    } else {
        ns.used[i >> 6] &= ~(1ULL << (i & 63));
        ns.full_below = std::min(ns.full_below, i >> 6);
    }
    ns.in_use += taken ? 1 : static_cast<uint32_t>(-1);
    ns.se.forget(i);
    ns.sed.forget(i);
    ns.mtm.forget(i);
}

// The lowest run of `count` free ids, or false. The search starts at the
// first word with a free id (full_below), so taking ids one by one costs
// the same with the namespace empty or nearly full.
bool lowest_free(hwe_rsrc_t &ns, uint32_t count, uint32_t *first) {
    uint32_t w = ns.full_below;
    while (w < ns.used.size() && ns.used[w] == ~0ULL) ++w;
    ns.full_below = w;
    if (count == 1) {
        if (w == ns.used.size()) return false;
        const uint32_t i = w * 64 + static_cast<uint32_t>(__builtin_ctzll(~ns.used[w]));
        if (i >= ns.def.count) return false;
        *first = ns.def.base + i;
        return true;
    }
    uint32_t run = 0;
    for (; w < ns.used.size(); ++w) {
        if (ns.used[w] == ~0ULL) {
            run = 0;
            continue;
        }
        for (uint32_t b = 0; b < 64; ++b) {
            uint32_t i = w * 64 + b;
            if (i >= ns.def.count) return false;
            if (ns.used[w] >> b & 1) {
                run = 0;
            } else if (++run == count) {
                *first = ns.def.base + i + 1 - count;
                return true;
            }
        }
    }
    return false;
}

uint32_t allocate(hwe_rsrc_t &ns, uint32_t count, uint32_t *id) {
    uint32_t first;
    if (!lowest_free(ns, count, &first)) return HWE_E_EXHAUSTED;
    for (uint32_t i = 0; i < count; ++i) set_taken(ns, first + i, true);
    *id = first;
    return HWE_OK;
}

uint32_t release(hwe_rsrc_t &ns, uint32_t id, uint32_t count) {
    uint64_t end = static_cast<uint64_t>(id) + count;
    if (!count || !ns.contains(id) || end - ns.def.base > ns.def.count) return HWE_E_ID_RANGE;
    for (uint32_t i = 0; i < count; ++i)
        if (!ns.taken(id + i)) return HWE_E_ID_RANGE;
    for (uint32_t i = 0; i < count; ++i) set_taken(ns, id + i, false);
    return HWE_OK;
}

// The namespace that gives taken id `id` memory of kind `m` (engine
// locked), or null.
hwe_rsrc_t *mem_owner(hwe_engine_t *eng, Mem m, uint32_t id) {
    // Namespaces with memory do not overlap: one of the last accesses',
    // else the one whose range holds the id.
    auto holds = [&](const hwe_rsrc_t *ns) {
        return ns && ns->contains(id) && ns->magic == kNsMagic && mem_size(*ns, m);
    };
    hwe_rsrc_t *owner = nullptr;
    for (hwe_rsrc_t *ns : eng->recent_mem_ns)
        if (holds(ns)) {
            owner = ns;
            break;
        }
    if (!owner) {
        for (auto &ns : eng->namespaces)
            if (holds(ns.get())) {
                owner = ns.get();
                break;
            }
        if (owner) eng->recent_mem_ns[eng->recent_mem_next++ % hwe_engine::kRecentMemNs] = owner;
    }
    return owner && owner->taken(id) ? owner : nullptr;
}

// Read or write `len` bytes at `offset` of the memory of kind `m` of an id.
uint32_t mem_access(hwe_engine_t *eng, Mem m, uint32_t id, uint32_t offset, void *buf,
                    uint32_t len, bool write) {
    if (!engine_ok(eng) || (len && !buf)) return HWE_E_PARAM;
    std::lock_guard<std::mutex> g(eng->mu);
    hwe_rsrc_t *owner = mem_owner(eng, m, id);
    if (!owner) return HWE_E_ID_RANGE;
    uint32_t size = mem_size(*owner, m);
    if (static_cast<uint64_t>(offset) + len > size) return HWE_E_BOUNDS;
    IdMemory &mem = mem_of(*owner, m);
    const uint32_t i = id - owner->def.base;
    if (!write) {
        mem.load(i, offset, buf, len);
    } else if (!mem.store(i, size, owner->def.count, offset, buf, len)) {
        return HWE_E_NO_MEMORY;
    }
    return HWE_OK;
}

uint32_t guarded(hwe_engine_t *eng, Mem m, uint32_t id, uint32_t offset, const void *buf,
                 uint32_t len, bool write) {
    try {
        return mem_access(eng, m, id, offset, const_cast<void *>(buf), len, write);
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
}

// Adds `n` to the big-endian counter of `len` bytes (4 or 8) at `offset`
// of an id's state record (engine locked).
uint32_t se_add(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset, uint32_t len, uint64_t n) {
    if (len != 4 && len != 8) return HWE_E_PARAM;
    hwe_rsrc_t *owner = mem_owner(eng, Mem::kState, ns_id);
    if (!owner) return HWE_E_ID_RANGE;
    const uint32_t size = mem_size(*owner, Mem::kState);
    if (static_cast<uint64_t>(offset) + len > size) return HWE_E_BOUNDS;
    try {
        return owner->se.add(ns_id - owner->def.base, size, owner->def.count, offset, len, n) ? HWE_OK
                                                                                            : HWE_E_NO_MEMORY;
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
}

constexpr size_t kChunkBytes = 64 * 1024;

bool all_zero(const uint8_t *b, uint32_t len) {
    uint64_t acc = 0;
    uint32_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        std::memcpy(&w, b + i, 8);
        acc |= w;
    }
    for (; i < len; ++i) acc |= b[i];
    return acc == 0;
}

}  // namespace

bool IdMemory::store(uint32_t i, uint32_t size, uint32_t count, uint32_t offset, const void *buf,
                     uint32_t len) {
    const auto *bytes = static_cast<const uint8_t *>(buf);
    if (!slot_ || !slot_[i]) {
        // Zeros over zeros: nothing to keep.
        if (all_zero(bytes, len)) return true;
        if (!slot_) {
            rec_bytes_ = std::max<uint32_t>(size, sizeof free_);
            per_chunk_ = static_cast<uint32_t>(std::max<size_t>(1, kChunkBytes / rec_bytes_));
            chunks_.reserve((count + per_chunk_ - 1) / per_chunk_);
            // calloc hands a large table out as fresh zero pages.
            slot_ = static_cast<uint32_t *>(std::calloc(count, sizeof(uint32_t)));
            if (!slot_) return false;
        }
        uint32_t r;
        if (free_) {
            r = free_ - 1;
            std::memcpy(&free_, record(r), sizeof free_);
        } else {
            if (next_ == chunks_.size() * per_chunk_) {
                const size_t chunk = static_cast<size_t>(per_chunk_) * rec_bytes_;
                auto *c = static_cast<uint8_t *>(std::malloc(chunk));
                if (!c) return false;
                pages_in(c, chunk);
                chunks_.push_back(c);  // within the capacity reserved above
            }
            r = next_++;
        }
        std::memset(record(r), 0, size);
        slot_[i] = r + 1;
    }
    std::memcpy(record(slot_[i] - 1) + offset, bytes, len);
    return true;
}

void IdMemory::load(uint32_t i, uint32_t offset, void *buf, uint32_t len) const {
    if (slot_ && slot_[i])
        std::memcpy(buf, record(slot_[i] - 1) + offset, len);
    else
        std::memset(buf, 0, len);
}

// Big-endian, so the host's order never matters; the sum wraps at the
// counter's width.
bool IdMemory::add(uint32_t i, uint32_t size, uint32_t count, uint32_t offset, uint32_t len, uint64_t n) {
    auto sum = [&](uint8_t *p) {
        if (std::endian::native == std::endian::little && len == 4) {
            uint32_t v;
            std::memcpy(&v, p, 4);
            v = __builtin_bswap32(__builtin_bswap32(v) + static_cast<uint32_t>(n));
            std::memcpy(p, &v, 4);
        } else if (std::endian::native == std::endian::little && len == 8) {
            uint64_t v;
            std::memcpy(&v, p, 8);
            v = __builtin_bswap64(__builtin_bswap64(v) + n);
            std::memcpy(p, &v, 8);
        } else {
            uint64_t v = 0;
            for (uint32_t k = 0; k < len; ++k) v = v << 8 | p[k];
            v += n;
            for (uint32_t k = len; k-- > 0; v >>= 8) p[k] = static_cast<uint8_t>(v);
        }
    };
    if (slot_ && slot_[i]) {  // the counter's record: updated in place
        sum(record(slot_[i] - 1) + offset);
        return true;
    }
    uint8_t b[8] = {};
    sum(b);
    return store(i, size, count, offset, b, len);
}

void IdMemory::forget(uint32_t i) {
    if (!slot_ || !slot_[i]) return;
    const uint32_t r = slot_[i] - 1;
    slot_[i] = 0;
    std::memcpy(record(r), &free_, sizeof free_);
    free_ = r + 1;
}

void IdMemory::clear() {
    for (uint8_t *c : chunks_) std::free(c);
    chunks_.clear();
    chunks_.shrink_to_fit();
    std::free(slot_);
    slot_ = nullptr;
    next_ = free_ = 0;
}

hwe_rsrc *find_ns(hwe_engine_t *e, const std::string &name) {
    for (auto &ns : e->namespaces)
        if (ns->magic == kNsMagic && ns->def.name == name) return ns.get();
    return nullptr;
}

uint32_t engine_ns_alloc(hwe_engine_t *eng, const char *ns_name, uint32_t *id) {
    if (!engine_ok(eng) || !ns_name || !id) return HWE_E_PARAM;
    std::lock_guard<std::mutex> g(eng->mu);
    hwe_rsrc_t *ns = find_ns(eng, ns_name);
    return ns ? allocate(*ns, 1, id) : HWE_E_NOT_FOUND;
}

uint32_t engine_ns_free(hwe_engine_t *eng, const char *ns_name, uint32_t id) {
    if (!engine_ok(eng) || !ns_name) return HWE_E_PARAM;
    std::lock_guard<std::mutex> g(eng->mu);
    hwe_rsrc_t *ns = find_ns(eng, ns_name);
    return ns ? release(*ns, id, 1) : HWE_E_NOT_FOUND;
}

bool engine_ns_contains(hwe_engine_t *eng, const char *ns_name, uint32_t id) {
    if (!engine_ok(eng) || !ns_name) return false;
    std::lock_guard<std::mutex> g(eng->mu);
    hwe_rsrc_t *ns = find_ns(eng, ns_name);
    return ns && ns->contains(id);
}

uint32_t engine_ns_in_use(hwe_engine_t *eng, const char *ns_name) {
    if (!engine_ok(eng) || !ns_name) return 0;
    std::lock_guard<std::mutex> g(eng->mu);
    hwe_rsrc_t *ns = find_ns(eng, ns_name);
    return ns ? ns->in_use : 0;
}

}  // namespace zsim

using zsim::Mem;

extern "C" {

uint32_t hwe_rsrc_create(hwe_engine_t *eng, uint32_t type, const char *name, uint32_t count,
                         uint32_t base, hwe_rsrc_t **ns) try {
    ZSIM_FAULT_POINT();
    if (!zsim::engine_ok(eng) || !name || !ns || type != zsim::kCreateType || !count ||
        static_cast<uint64_t>(base) + count > 0x100000000ULL)
        return HWE_E_PARAM;
    std::lock_guard<std::mutex> g(eng->mu);
    if (zsim::find_ns(eng, name)) return HWE_E_EXISTS;
    try {
        auto r = std::make_unique<hwe_rsrc>();
        r->eng = eng;
        r->def.name = name;
        r->def.base = base;
        r->def.count = count;
        r->used.assign((count + 63) / 64, 0);
        eng->namespaces.push_back(std::move(r));
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
    *ns = eng->namespaces.back().get();
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_rsrc_find(hwe_engine_t *eng, uint32_t type, const char *name, hwe_rsrc_t **ns) try {
    ZSIM_FAULT_POINT();
    if (!zsim::engine_ok(eng) || !name || !ns || type != zsim::kFindType) return HWE_E_PARAM;
    std::lock_guard<std::mutex> g(eng->mu);
    hwe_rsrc_t *r = zsim::find_ns(eng, name);
    if (!r) return HWE_E_NOT_FOUND;
    *ns = r;
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_rsrc_destroy(hwe_engine_t *eng, hwe_rsrc_t *ns) try {
    ZSIM_FAULT_POINT();
    if (!zsim::engine_ok(eng)) return HWE_E_PARAM;
    std::lock_guard<std::mutex> g(eng->mu);
    if (!zsim::ns_ok(ns) || ns->eng != eng) return HWE_E_PARAM;
    ns->magic = zsim::kNsDead;
    ns->used.clear();
    ns->used.shrink_to_fit();
    ns->in_use = 0;
    ns->se.clear();
    ns->sed.clear();
    ns->mtm.clear();
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_rsrc_allocate(hwe_rsrc_t *ns, uint32_t count, uint32_t *id, void *cookie) try {
    ZSIM_FAULT_POINT();
    (void)cookie;
    if (!zsim::ns_ok(ns) || !id || !count) return HWE_E_PARAM;
    std::lock_guard<std::mutex> g(ns->eng->mu);
    return zsim::allocate(*ns, count, id);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_rsrc_allocate_fixed(hwe_rsrc_t *ns, uint32_t count, uint32_t id) try {
    ZSIM_FAULT_POINT();
    if (!zsim::ns_ok(ns) || !count) return HWE_E_PARAM;
    std::lock_guard<std::mutex> g(ns->eng->mu);
    uint64_t end = static_cast<uint64_t>(id) + count;
    if (!ns->contains(id) || end - ns->def.base > ns->def.count) return HWE_E_ID_RANGE;
    for (uint32_t i = 0; i < count; ++i)
        if (ns->taken(id + i)) return HWE_E_ID_TAKEN;
    for (uint32_t i = 0; i < count; ++i) zsim::set_taken(*ns, id + i, true);
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_rsrc_free(hwe_rsrc_t *ns, uint32_t id, uint32_t count, void *cookie) try {
    ZSIM_FAULT_POINT();
    (void)cookie;
    if (!zsim::ns_ok(ns)) return HWE_E_PARAM;
    std::lock_guard<std::mutex> g(ns->eng->mu);
    return zsim::release(*ns, id, count);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_se_state_set(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset, const void *buf,
                          uint32_t len) try {
    ZSIM_FAULT_POINT();
    return zsim::guarded(eng, Mem::kState, ns_id, offset, buf, len, true);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_se_state_get(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset, void *buf,
                          uint32_t len) try {
    ZSIM_FAULT_POINT();
    return zsim::guarded(eng, Mem::kState, ns_id, offset, buf, len, false);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_sed_param_set(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset, const void *buf,
                           uint32_t len) try {
    ZSIM_FAULT_POINT();
    return zsim::guarded(eng, Mem::kSed, ns_id, offset, buf, len, true);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_mtm_shared_param_mod(hwe_engine_t *eng, uint32_t index, const void *buf,
                                  uint32_t len) try {
    ZSIM_FAULT_POINT();
    return zsim::guarded(eng, Mem::kMtm, index, 0, buf, len, true);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_mtm_shared_param_get(hwe_engine_t *eng, uint32_t index, void *buf, uint32_t len) try {
    ZSIM_FAULT_POINT();
    return zsim::guarded(eng, Mem::kMtm, index, 0, buf, len, false);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

// ---- introspection ----------------------------------------------------------

uint32_t zel_sim_engine_se_read(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset, void *buf,
                                uint32_t len) try {
    return zsim::guarded(eng, Mem::kState, ns_id, offset, buf, len, false);
} ZSIM_CATCH(::zsim::boundary_status(__func__))
uint32_t zel_sim_engine_se_write(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset,
                                 const void *buf, uint32_t len) try {
    return zsim::guarded(eng, Mem::kState, ns_id, offset, buf, len, true);
} ZSIM_CATCH(::zsim::boundary_status(__func__))
uint32_t zel_sim_engine_se_add(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset, uint32_t len,
                               uint64_t n) try {
    if (!zsim::engine_ok(eng)) return HWE_E_PARAM;
    std::lock_guard<std::mutex> g(eng->mu);
    return zsim::se_add(eng, ns_id, offset, len, n);
} ZSIM_CATCH(::zsim::boundary_status(__func__))
uint32_t zel_sim_engine_se_add_many(hwe_engine_t *eng, const zel_sim_se_add_t *adds, uint32_t count) try {
    if (!zsim::engine_ok(eng) || (count && !adds)) return count;
    std::lock_guard<std::mutex> g(eng->mu);
    uint32_t refused = 0;
    for (uint32_t i = 0; i < count; ++i)
        refused += zsim::se_add(eng, adds[i].ns_id, adds[i].offset, adds[i].len, adds[i].n) != HWE_OK;
    return refused;
} ZSIM_CATCH(count)
uint32_t zel_sim_engine_sed_read(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset, void *buf,
                                 uint32_t len) try {
    return zsim::guarded(eng, Mem::kSed, ns_id, offset, buf, len, false);
} ZSIM_CATCH(::zsim::boundary_status(__func__))
uint32_t zel_sim_engine_sed_write(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset,
                                  const void *buf, uint32_t len) try {
    return zsim::guarded(eng, Mem::kSed, ns_id, offset, buf, len, true);
} ZSIM_CATCH(::zsim::boundary_status(__func__))
uint32_t zel_sim_engine_mtm_read(hwe_engine_t *eng, uint32_t index, void *buf, uint32_t len) try {
    return zsim::guarded(eng, Mem::kMtm, index, 0, buf, len, false);
} ZSIM_CATCH(::zsim::boundary_status(__func__))
uint32_t zel_sim_engine_mtm_write(hwe_engine_t *eng, uint32_t index, const void *buf,
                                  uint32_t len) try {
    return zsim::guarded(eng, Mem::kMtm, index, 0, buf, len, true);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

int zel_sim_engine_ns_exists(hwe_engine_t *eng, const char *name) try {
    if (!zsim::engine_ok(eng) || !name) return 0;
    std::lock_guard<std::mutex> g(eng->mu);
    return zsim::find_ns(eng, name) != nullptr;
} ZSIM_CATCH(0)

uint32_t zel_sim_engine_ns_in_use(hwe_engine_t *eng, const char *name) try {
    return zsim::engine_ns_in_use(eng, name);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

int zel_sim_engine_ns_is_allocated(hwe_engine_t *eng, const char *name, uint32_t id) try {
    if (!zsim::engine_ok(eng) || !name) return 0;
    std::lock_guard<std::mutex> g(eng->mu);
    const hwe_rsrc_t *ns = zsim::find_ns(eng, name);
    return ns && ns->contains(id) && ns->taken(id);
} ZSIM_CATCH(0)

}  // extern "C"
