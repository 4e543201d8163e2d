// Single-pattern trees: the semantics of an expanded prefix table, kept
// compactly.
//
// The model. Every leaf (full-width key) of an expanded table holds
// (action, depth). learn P/L writes (A, L) to every leaf of P's range whose
// depth is <= L; unlearn P/L with extent X < L writes (A, X) to the same
// leaves (the engine trusts the caller's covering action); unlearn with
// X >= L gives those leaves what covers P (the longest learnt pattern that
// covers it, else the catch-all); unlearn-any resets every leaf.
//
// The representation. Leaves are never materialised. The tree stores
// entries (P/L -> action, depth): learnt patterns (depth = L) and rare
// "placeholders" (an unlearn that re-pointed P's range to something other
// than what P inherits). A leaf holds the value of the longest entry that
// covers it, else the catch-all (the learnt /0, else the tree's base
// default) at depth 0:
//
//     /16 A (learnt, depth 16) ..........................................
//         /24 B (learnt, depth 24) ........       /24 Z (placeholder,
//              /28 C (learnt, depth 28) ..           depth 16)
//     leaves:  A A A B B B C C B B B A A A A A Z Z Z Z A A A A A
//
// Invariants:
//  - a placeholder never equals the value it inherits (the entry that
//    covers it, or the catch-all): such a placeholder is dropped, which
//    changes no leaf (a write conditions on depth, and both carry the
//    same depth, so every later write treats them alike);
//  - every placeholder is listed in `placeholders` and vice versa;
//  - `learnt` counts learnt entries including a learnt /0.
// A write over P/L therefore touches P's own entry plus the placeholders
// inside P whose depth is <= L (each gets the written value and is dropped
// when it now equals what it inherits). With no placeholders - the normal
// case when a caller passes the covering action the engine itself holds -
// every operation is a few hash probes (sim_engine_table.h).
#include <algorithm>
#include <new>
#include <vector>

#include "sim_engine.h"
#include "sim_fault.h"
#include "sim_pattern.h"

namespace zsim {

namespace {

constexpr unsigned kDepthShift = 51;
constexpr uint64_t kPlaceholder = 1ULL << 58;
constexpr uint64_t kValueMask = kPlaceholder - 1;  // action and depth

uint64_t entry(const hwe_action_t &a, unsigned depth) {
    return pack_action(a) | static_cast<uint64_t>(depth) << kDepthShift;
}
unsigned entry_depth(uint64_t v) { return static_cast<unsigned>(v >> kDepthShift) & 127; }

const hwe_action_t &catch_all(const Tree &t) { return t.len0_learnt ? t.len0 : t.base; }

u128 left_aligned(u128 bits, unsigned len) { return len ? bits << (128 - len) : 0; }

// What P/L inherits: the value of the longest entry strictly shorter than
// L that covers P, else the catch-all.
uint64_t inherited(const Tree &t, u128 bits, unsigned len) {
    unsigned fl;
    uint64_t v;
    if (len && t.store->longest(bits, len, len - 1, &fl, &v)) return v & kValueMask;
    return entry(catch_all(t), 0);
}

// What a removed P/L falls back to: the longest learnt pattern covering it
// (re-pointed ranges are not rules), else the catch-all.
uint64_t learnt_cover(const Tree &t, u128 bits, unsigned len) {
    unsigned fl;
    uint64_t v;
    if (len && t.store->longest(bits, len, len - 1, &fl, &v, kPlaceholder)) return v;
    return entry(catch_all(t), 0);
}

// Give `val` to the placeholders strictly inside P/L whose depth is <= L,
// shortest first, dropping those that now equal what they inherit.
void overwrite_placeholders(Tree &t, u128 bits, unsigned len, uint64_t val) {
    if (t.placeholders.empty()) return;
    u128 lo = left_aligned(bits, len), hi = lo | low_mask(128 - len);
    std::vector<std::pair<unsigned, u128>> inside;  // (len, bits)
    for (auto it = t.placeholders.lower_bound({lo, 0}); it != t.placeholders.end() && it->first <= hi;
         ++it)
        if (it->second > len) inside.push_back({it->second, it->first >> (128 - it->second)});
    std::sort(inside.begin(), inside.end());
    for (const auto &[qlen, qbits] : inside) {
        uint64_t *v = t.store->find(qbits, qlen);
        if (!v || entry_depth(*v) > len) continue;
        if (inherited(t, qbits, qlen) == val) {
            t.store->erase(qbits, qlen);
            t.placeholders.erase({left_aligned(qbits, qlen), qlen});
        } else {
            *v = val | kPlaceholder;
        }
    }
}

uint32_t learn(Tree &t, u128 bits, unsigned len, const hwe_action_t &a) {
    uint64_t val = entry(a, len);
    if (len == 0) {
        if (!t.len0_learnt) ++t.learnt;
        t.len0_learnt = true;
        t.len0 = a;
    } else {
        uint64_t old = 0;
        int r = t.store->put(bits, len, val, &old);
        if (r < 0) return HWE_E_NO_MEMORY;
        if (r == 1 || (old & kPlaceholder)) ++t.learnt;
        if (r == 0 && (old & kPlaceholder)) t.placeholders.erase({left_aligned(bits, len), len});
    }
    overwrite_placeholders(t, bits, len, val);
    return HWE_OK;
}

uint32_t unlearn(Tree &t, u128 bits, unsigned len, uint32_t extent, const hwe_action_t &a) {
    if (len == 0) {  // the learnt /0: its leaves fall back to the base default
        if (!t.len0_learnt) return HWE_E_NOT_LEARNT;
        t.len0_learnt = false;
        --t.learnt;
        overwrite_placeholders(t, 0, 0, entry(t.base, 0));
        return HWE_OK;
    }
    // 1. Warm P's slot while the covering probes run; P must be learnt.
    t.store->prefetch(bits, len);
    uint64_t inh = inherited(t, bits, len);
    uint64_t *v = t.store->find(bits, len);
    if (!v || (*v & kPlaceholder)) return HWE_E_NOT_LEARNT;
    --t.learnt;
    // 2. P's range takes the given action at depth X, or what covers P.
    //    P's entry stays as a placeholder only if that differs from what
    //    P inherits (the two differ only when a re-pointed range lies
    //    between P and its learnt cover).
    uint64_t val = extent < len            ? entry(a, extent)
                   : t.placeholders.empty() ? inh
                                            : learnt_cover(t, bits, len);
    if (val == inh) {
        t.store->erase(bits, len);
    } else {
        t.placeholders.insert({left_aligned(bits, len), len});
        *v = val | kPlaceholder;
    }
    // 3. So do the shallow placeholders inside it.
    overwrite_placeholders(t, bits, len, val);
    return HWE_OK;
}

// A learn posted instead of made (see Posted in sim_engine.h): with no
// placeholder to rewrite, a learn is one put, which waits for the key's
// slot to come from memory. Posted, it is made by the next call reaching
// the tree - usually the next learn, by when the line (warmed by the
// pattern builder) is in cache - and this call returns without waiting.
// Room for the key is made now, so a learn that returns 0 cannot fail
// later. The learn of /0 and learns with placeholders around are made at
// once.
uint32_t post_learn(Tree &t, u128 bits, unsigned len, const hwe_action_t &a) {
    if (len == 0 || !t.placeholders.empty()) return learn(t, bits, len, a);
    if (!t.store->reserve_one(len)) return HWE_E_NO_MEMORY;
    t.posted = {true, len, bits, a};
    t.store->prefetch(bits, len);
    return HWE_OK;
}

// A snapshot of a tree's listing, taken under the engine lock and visited
// without it (the visitor may call the engine).
struct Listed {
    u128 bits;
    unsigned len;
    hwe_action_t action;
};

uint32_t snapshot(hwe_engine_t *eng, uint32_t tree_id, std::vector<Listed> &out,
                  uint32_t *width) {
    std::lock_guard<std::mutex> g(eng->mu);
    Tree *t = find_tree(eng, tree_id);
    if (!t) return HWE_E_NOT_FOUND;
    if (t->kind != ZEL_SIM_TREE_SINGLE) return HWE_E_PARAM;
    *width = t->width;
    out.reserve(t->learnt + 1);
    out.push_back({0, 0, listed_action(catch_all(*t))});
    if (t->len0_learnt) out.push_back({0, 0, listed_action(t->len0)});
    size_t first = out.size();
    t->store->for_each([&](u128 bits, unsigned len, uint64_t v) {
        if (!(v & kPlaceholder)) out.push_back({bits, len, listed_action(unpack_action(v))});
    });
    // Entries in key order (a prefix before what it covers).
    std::sort(out.begin() + static_cast<long>(first), out.end(), [](const Listed &a, const Listed &b) {
        u128 la = left_aligned(a.bits, a.len), lb = left_aligned(b.bits, b.len);
        return la != lb ? la < lb : a.len < b.len;
    });
    return HWE_OK;
}

uint32_t visit(hwe_engine_t *eng, uint32_t tree_id, hwe_ptn_list_cb_t cb, void *ctx) {
    if (!engine_ok(eng) || !cb) return HWE_E_PARAM;
    std::vector<Listed> entries;
    uint32_t width = 0;
    try {
        if (uint32_t st = snapshot(eng, tree_id, entries, &width)) return st;
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
    for (const Listed &e : entries) {
        PtnStore store{e.bits};
        zel_ptn_t key{&store, width, e.len};
        if (uint32_t r = cb(ctx, &key, &e.action)) return r;
    }
    return HWE_OK;
}

// Locks the engine and finds a single-pattern tree, or says why not.
struct SingleTree {
    std::unique_lock<std::mutex> lock;
    Tree *tree = nullptr;
    uint32_t status = HWE_E_PARAM;
    SingleTree(hwe_engine_t *eng, uint32_t tree_id) {
        if (!engine_ok(eng)) return;
        lock = std::unique_lock<std::mutex>(eng->mu);
        tree = find_tree(eng, tree_id);
        status = !tree ? HWE_E_NOT_FOUND : tree->kind != ZEL_SIM_TREE_SINGLE ? HWE_E_PARAM : HWE_OK;
    }
};

}  // namespace

u128 key_bits(const zel_ptn_t *key) { return ptn_value(key) & low_mask(key->len); }

void tree_settle(Tree &t) {
    const Posted p = t.posted;
    t.posted.on = false;
    learn(t, p.bits, p.len, p.action);  // room was made: cannot fail
}

void tree_init(Tree &t) {
    t.base = t.image_default;
    if (t.kind == ZEL_SIM_TREE_SINGLE) t.store = make_prefix_store(t.width);
}

uint32_t tree_lookup(const Tree &t, u128 bits, hwe_action_t *action, uint32_t *depth) {
    unsigned fl;
    uint64_t v;
    if (t.store->longest(bits, t.width, t.width, &fl, &v)) {
        *action = unpack_action(v);
        *depth = entry_depth(v);
    } else {
        *action = catch_all(t);
        *depth = 0;
    }
    return HWE_OK;
}

uint32_t tree_compact(Tree &t) {
    if (t.kind != ZEL_SIM_TREE_SINGLE) return HWE_E_PARAM;
    return t.store->compact() ? HWE_OK : HWE_E_NO_MEMORY;
}

void log_compaction(hwe_engine_t &eng, const zel_sim_compaction_t &c) {
    if (eng.compactions.size() == ZEL_SIM_COMPACTIONS_KEPT) eng.compactions.pop_front();
    eng.compactions.push_back(c);
    ++eng.compactions_total;
}

size_t tree_bytes(const Tree &t) {
    // Slots, plus the ordered index of the (rare) placeholders.
    constexpr size_t kIndexNode = 64;
    return t.store ? t.store->bytes() + t.placeholders.size() * kIndexNode : 0;
}

}  // namespace zsim

using zsim::SingleTree;

extern "C" {

uint32_t hwe_ptn_learn(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *key,
                       const hwe_action_t *action) try {
    ZSIM_FAULT_POINT();
    if (!key || !action || !zsim::action_valid(*action)) return HWE_E_PARAM;
    SingleTree st(eng, tree_id);
    if (st.status) return st.status;
    if (key->len > st.tree->width) return HWE_E_KEY;
    try {
        uint32_t r = zsim::post_learn(*st.tree, zsim::key_bits(key), key->len, *action);
        zsim::pair_with(key, &zsim::PtnPair::tree, *st.tree->store);
        return r;
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_ptn_unlearn(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *key,
                         uint32_t extent, const hwe_action_t *action, uint32_t flag) try {
    ZSIM_FAULT_POINT();
    (void)flag;  // passed through by the module; no meaning in this engine
    if (!key || !action || !zsim::action_valid(*action)) return HWE_E_PARAM;
    SingleTree st(eng, tree_id);
    if (st.status) return st.status;
    if (key->len > st.tree->width) return HWE_E_KEY;
    try {
        uint32_t r = zsim::unlearn(*st.tree, zsim::key_bits(key), key->len, extent, *action);
        zsim::pair_with(key, &zsim::PtnPair::tree, *st.tree->store);
        return r;
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_ptn_unlearn_any(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *key,
                             uint32_t extent, const hwe_action_t *action, uint32_t flag) try {
    ZSIM_FAULT_POINT();
    (void)extent;
    (void)flag;
    if (!action || !zsim::action_valid(*action)) return HWE_E_PARAM;
    SingleTree st(eng, tree_id);
    if (st.status) return st.status;
    if (key && key->len > st.tree->width) return HWE_E_KEY;
    zsim::Tree &t = *st.tree;
    t.store->clear();
    t.placeholders.clear();
    t.learnt = 0;
    t.len0_learnt = false;
    t.base = *action;
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_ptn_list_ptns(hwe_engine_t *eng, uint32_t tree_id, hwe_ptn_list_cb_t cb, void *ctx) try {
    ZSIM_FAULT_POINT();
    return zsim::visit(eng, tree_id, cb, ctx);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_ptn_compact_fn(hwe_engine_t *eng, uint32_t tree_id) try {
    ZSIM_FAULT_POINT();
    SingleTree st(eng, tree_id);
    if (st.status) return st.status;
    const uint64_t before = zsim::tree_bytes(*st.tree);
    const uint32_t r = zsim::tree_compact(*st.tree);
    zsim::log_compaction(*eng, {tree_id, r, before, zsim::tree_bytes(*st.tree), 0});
    return r;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_ptn_compact_fn_cb(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *pattern,
                               uint32_t (*cb)(void *ctx), void *ctx, uint32_t use_callback) try {
    ZSIM_FAULT_POINT();
    (void)pattern;
    // 1. The tree is walked in chunks of this many entries; the caller's
    //    callback runs between chunks with the engine unlocked, so it may
    //    change the tree (the final pass compacts what is there then, and
    //    lookups meanwhile answer from the table as it stands).
    constexpr size_t kChunk = 1024;
    size_t entries;
    uint64_t before;
    {
        SingleTree st(eng, tree_id);
        if (st.status) return st.status;
        entries = st.tree->store->size();
        before = zsim::tree_bytes(*st.tree);
    }
    uint32_t calls = 0;
    if (cb && use_callback) {
        const size_t n = entries == 0 ? 1 : std::max<size_t>(2, (entries + kChunk - 1) / kChunk);
        for (size_t i = 0; i < n; ++i) {
            ++calls;
            if (cb(ctx)) {
                SingleTree st(eng, tree_id);
                if (st.status) return HWE_E_ABORTED;
                zsim::log_compaction(*eng, {tree_id, HWE_E_ABORTED, before, zsim::tree_bytes(*st.tree), calls});
                return HWE_E_ABORTED;
            }
        }
    }
    // 2. The last chunk: rebuild the table at its tightest size.
    SingleTree st(eng, tree_id);
    if (st.status) return st.status;
    const uint32_t r = zsim::tree_compact(*st.tree);
    zsim::log_compaction(*eng, {tree_id, r, before, zsim::tree_bytes(*st.tree), calls});
    return r;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

// ---- introspection ----------------------------------------------------------

uint32_t zel_sim_engine_lookup(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *key,
                               hwe_action_t *action, uint32_t *depth) try {
    if (!key || !action || !depth) return HWE_E_PARAM;
    SingleTree st(eng, tree_id);
    if (st.status) return st.status;
    if (key->len != st.tree->width) return HWE_E_KEY;
    return zsim::tree_lookup(*st.tree, zsim::key_bits(key), action, depth);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sim_engine_lookup_fields(hwe_engine_t *eng, uint32_t tree_id, uint32_t nfields,
                                      const uint32_t *values, const uint32_t *widths,
                                      hwe_action_t *action, uint32_t *depth) try {
    if ((nfields && (!values || !widths)) || !action || !depth) return HWE_E_PARAM;
    SingleTree st(eng, tree_id);
    if (st.status) return st.status;
    // The key in one word while it fits (most trees are at most 64 bits).
    zsim::u128 bits = 0;
    uint64_t narrow = 0;
    uint32_t total = 0;
    for (uint32_t i = 0; i < nfields; ++i) {
        const uint32_t w = widths[i];
        if (w > 32) return HWE_E_KEY;
        const uint32_t v = w == 32 ? values[i] : values[i] & ((1u << w) - 1);
        if (total + w <= 64)
            narrow = narrow << w | v;
        else
            bits = (total <= 64 ? static_cast<zsim::u128>(narrow) : bits) << w | v;
        total += w;
    }
    if (total <= 64) bits = narrow;
    if (total != st.tree->width) return HWE_E_KEY;
    return zsim::tree_lookup(*st.tree, bits, action, depth);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sim_engine_list_entries(hwe_engine_t *eng, uint32_t tree_id, hwe_ptn_list_cb_t cb,
                                     void *ctx) try {
    return zsim::visit(eng, tree_id, cb, ctx);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sim_engine_placeholder_count(hwe_engine_t *eng, uint32_t tree_id) try {
    SingleTree st(eng, tree_id);
    return st.status ? 0 : static_cast<uint32_t>(st.tree->placeholders.size());
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sim_engine_entry_count(hwe_engine_t *eng, uint32_t tree_id) try {
    if (!zsim::engine_ok(eng)) return 0;
    std::lock_guard<std::mutex> g(eng->mu);
    const zsim::Tree *t = zsim::find_tree(eng, tree_id);
    if (!t) return 0;
    return t->kind == ZEL_SIM_TREE_SINGLE ? t->learnt : zsim::ruleset_count(*t);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint64_t zel_sim_engine_tree_bytes(hwe_engine_t *eng, uint32_t tree_id) try {
    if (!zsim::engine_ok(eng)) return 0;
    std::lock_guard<std::mutex> g(eng->mu);
    const zsim::Tree *t = zsim::find_tree(eng, tree_id);
    return t ? zsim::tree_bytes(*t) : 0;
} ZSIM_CATCH(0)

uint64_t zel_sim_engine_compaction_count(hwe_engine_t *eng) try {
    if (!zsim::engine_ok(eng)) return 0;
    std::lock_guard<std::mutex> g(eng->mu);
    return eng->compactions_total;
} ZSIM_CATCH(0)

int zel_sim_engine_compaction_get(hwe_engine_t *eng, uint64_t index, zel_sim_compaction_t *out) try {
    if (!zsim::engine_ok(eng) || !out) return -1;
    std::lock_guard<std::mutex> g(eng->mu);
    const uint64_t first = eng->compactions_total - eng->compactions.size();
    if (index < first || index >= eng->compactions_total) return -1;
    *out = eng->compactions[static_cast<size_t>(index - first)];
    return 0;
} ZSIM_CATCH(-1)

}  // extern "C"
