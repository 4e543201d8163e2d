// Engine model of the software platform: the objects behind hwe_engine_t,
// hwe_rsrc_t and hwe_subnet_db_t, shared by the engine's source files
// (image, trees, subnet databases, rule sets, namespaces, misc).
//
// Locking: every engine entry point takes the engine's mutex for its own
// duration; calls into the caller's code (listing visitors, compaction
// progress callbacks) run with it released, so a callback may call the
// engine again. A subnet database has its own mutex (its calls carry no
// engine). Symbol ids are process-wide (see symbol_id).
#ifndef ZSIM_ENGINE_H
#define ZSIM_ENGINE_H

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "hwe.h"
#include "sim_engine_table.h"
#include "sim_pattern.h"
#include "zel_sim_engine.h"

namespace zsim {

constexpr uint32_t kEngineMagic = 0x454e4731;  // "ENG1"
constexpr uint32_t kNsMagic = 0x4e535231;      // "NSR1"
constexpr uint32_t kNsDead = 0x4e534444;       // destroyed namespace shell
constexpr uint32_t kDbMagic = 0x53444231;      // "SDB1"
constexpr uint32_t kDbDead = 0x53444444;       // destroyed database shell

constexpr uint32_t kWordMask = 0xffffff;       // W1 / W2 carry 24 bits
constexpr unsigned kMaxTreeWidth = 117;        // widest single-pattern key
constexpr unsigned kMaxSubnetWidth = 118;      // tree width + the leading bit

// ---- program image -------------------------------------------------------

struct ImageTree {
    std::string name;
    uint32_t width = 0;                 // 0 for rule-set trees
    uint32_t kind = ZEL_SIM_TREE_SINGLE;
    hwe_action_t deflt{};               // kind 1: w1 resolved from default_fn
    std::string default_fn;             // function symbol of a kind-1 default
    uint32_t init_table_size = 0;
    std::vector<uint32_t> fields;       // rule-set key layout (may be empty)
};

struct ImageNs {
    std::string name;
    uint32_t base = 0, count = 0;
    uint32_t record_size = 0;           // state-engine record bytes per id
    uint32_t sed_size = 0;              // SED parameter bytes per id
    uint32_t mtm_size = 0;              // MTM shared parameter bytes per id
    bool preallocated = false;          // every id taken at engine start
};

// Process-wide symbol ids: the same name always has the same id.
uint32_t symbol_id(const std::string &name);
const char *symbol_name(uint32_t id);

// ---- actions ---------------------------------------------------------------

inline bool action_valid(const hwe_action_t &a) {
    return (a.kind == HWE_ACTION_NONE || a.kind == HWE_ACTION_FUNC || a.kind == HWE_ACTION_VALUE) &&
           a.w1 <= kWordMask && a.w2 <= kWordMask;
}
inline bool action_eq(const hwe_action_t &a, const hwe_action_t &b) {
    return a.kind == b.kind && a.w1 == b.w1 && a.w2 == b.w2;
}
// 56-bit encoding: w1 | w2 << 24 | kind << 48 (kind 0..7).
inline uint64_t pack_action(const hwe_action_t &a) {
    return a.w1 | static_cast<uint64_t>(a.w2) << 24 | static_cast<uint64_t>(a.kind) << 48;
}
inline hwe_action_t unpack_action(uint64_t v) {
    return {static_cast<uint32_t>(v >> 48) & 7u, static_cast<uint32_t>(v) & kWordMask,
            static_cast<uint32_t>(v >> 24) & kWordMask};
}
// How a listing reports an action: function entries keep kind 1, every
// value entry comes back as kind 0 with its data words.
inline hwe_action_t listed_action(const hwe_action_t &a) {
    return {a.kind == HWE_ACTION_FUNC ? HWE_ACTION_FUNC : HWE_ACTION_NONE, a.w1, a.w2};
}

// The specified bits of a pattern, masked to its length.
u128 key_bits(const zel_ptn_t *key);

// ---- rule sets ---------------------------------------------------------------

struct PtnVal {
    uint32_t len = 0, width = 0;
    u128 bits = 0;
    bool operator<(const PtnVal &o) const {
        return len != o.len ? len < o.len : bits < o.bits;
    }
    bool operator==(const PtnVal &o) const { return len == o.len && bits == o.bits; }
};

struct Rule {
    std::vector<PtnVal> ptns;           // OtreeSet: every pattern, set key first
    std::vector<zel_rptn_t> ranges;     // OVtreeSet: the range vector
    hwe_action_t action{};
};

// One range a flat rule checks: value `field` (1: the first range) minus
// `lo` at most `span`.
struct RangeCheck {
    uint32_t field = 0;
    uint32_t lo = 0, span = 0xffffffffu;
};

// A compiled range-vector rule, flat for classification. Of its ranges
// only those that can refuse a value of their width are checked (a range
// [0, 2^width - 1] is left out; a value above its width, which it would
// refuse, is caught for the whole set by `wild_hi` before a scan), the
// narrowest first: that one in its set's `first` at the rule's position
// (value 0 and span all ones when it checks none), the `more` others from
// `off` in its set's `checks`.
struct FlatRule {
    uint32_t more = 0;
    uint32_t off = 0;
    uint32_t idx = 0;
    hwe_action_t action{};
};

struct RuleSet {
    PtnVal key;
    std::map<uint32_t, Rule> staged;            // by rule index: what edits made
    std::map<uint32_t, Rule> compiled;          // what the last build compiled
    // `compiled` of an OVtreeSet once more, by ascending index, in arrays a
    // classification scans without following a pointer per rule.
    // The first checks of the rules apart, so a scan reads 12 bytes a rule
    // until one passes.
    std::vector<RangeCheck> first;
    std::vector<FlatRule> flat;
    std::vector<RangeCheck> checks;
    // Per range position, the lowest top of a whole-width range the flat
    // copy left out (all ones: none); a value above it takes the scan of
    // `compiled` instead, which checks every range. So do values of a count
    // other than `nranges` + 1, and every value when the rules' range
    // counts differ (`nranges` all ones; no layout made them equal).
    std::vector<uint32_t> wild_hi;
    uint32_t nranges = 0;
    std::vector<RangeCheck> first_spare;  // the build before's arrays, reused by the next
    std::vector<FlatRule> flat_spare;
    std::vector<RangeCheck> checks_spare;
    std::vector<uint32_t> wild_hi_spare;
    uint32_t edits = 0;                         // staged edits since that build
};

// ---- trees -------------------------------------------------------------------

// A write taken by a call and not yet made: a learn (tree) or an add
// (database) of a key whose slot is probably still on its way from memory.
// It is made by the next call that reaches the object (find_tree,
// DbAccess), under the same lock and before anything else, so no caller
// can tell; room for it is made when it is taken, so making it cannot fail.
struct Posted {
    bool on = false;
    unsigned len = 0;
    u128 bits = 0;
    hwe_action_t action{};
};

struct Tree {
    // What every learn and unlearn reads, together at the front.
    uint32_t id = 0, width = 0, kind = ZEL_SIM_TREE_SINGLE;
    uint32_t learnt = 0;                        // learnt entries in `store`
    std::unique_ptr<PrefixStore> store;         // single-pattern trees (sim_engine_tree.cpp)
    Posted posted;                              // a learn not yet written
    bool len0_learnt = false;
    hwe_action_t len0{};                        // the learnt /0 entry
    hwe_action_t base{};                        // catch-all without a learnt /0
    std::set<std::pair<u128, uint32_t>> placeholders;  // (left-aligned bits, len)

    std::string name;
    uint32_t init_table_size = 0;
    std::vector<uint32_t> fields;
    hwe_action_t image_default{};

    // Rule-set trees.
    std::map<PtnVal, RuleSet> sets;
    uint32_t rebuild_threshold = 0;             // 0: a build never asks for a rebuild
};

// Memory of one kind (state-engine records, SED or MTM parameters) of the
// ids of a namespace. An id reads as zeros until something other than
// zeros is written to it; only then does it get a record, and it gives the
// record back when it is freed (or taken anew). Records are packed in
// chunks in the order ids first need one, so a namespace whose ids are
// mostly cleared and never written (Discard associations) holds few
// records, and the pages it touches are the ones it fills:
//
//   slot (an entry per id, 0: zeros)   chunks of records (64 KiB each)
//   [0][3][0][1][0][2] ...  ------->  | rec 0 | rec 1 | rec 2 | ... |
//
// A free record is linked through its first 4 bytes. Nothing here moves
// or grows a large container after the first write: the slot table comes
// whole (zero pages, touched as ids are written), the chunk list is sized
// for the whole namespace then.
class IdMemory {
public:
    IdMemory() = default;
    ~IdMemory() { clear(); }
    IdMemory(const IdMemory &) = delete;
    IdMemory &operator=(const IdMemory &) = delete;

    // Writes `len` bytes at `offset` of id index `i` (0 .. count - 1; the
    // caller checked offset + len <= size). false when memory is short
    // (nothing written).
    bool store(uint32_t i, uint32_t size, uint32_t count, uint32_t offset, const void *buf, uint32_t len);
    // Reads `len` bytes at `offset` of id index `i`.
    void load(uint32_t i, uint32_t offset, void *buf, uint32_t len) const;
    // Adds `n` to the big-endian counter of `len` bytes (at most 8) at
    // `offset` of id index `i`, as a load, a sum and a store would; false
    // when memory is short (nothing written).
    bool add(uint32_t i, uint32_t size, uint32_t count, uint32_t offset, uint32_t len, uint64_t n);
    // Id index `i` was taken or freed: it reads as zeros again.
    void forget(uint32_t i);
    // Gives every record back (a destroyed namespace).
    void clear();

private:
    uint8_t *record(uint32_t r) const {
        return chunks_[r / per_chunk_] + static_cast<size_t>(r % per_chunk_) * rec_bytes_;
    }
    uint32_t *slot_ = nullptr;          // per id: 1 + its record, 0: none
    uint32_t rec_bytes_ = 0;            // bytes of a record (its link fits)
    std::vector<uint8_t *> chunks_;     // capacity for every id from the first write
    uint32_t per_chunk_ = 0;            // records of a chunk
    uint32_t next_ = 0;                 // records handed out of the chunks
    uint32_t free_ = 0;                 // 1 + first free record, 0: none
};

}  // namespace zsim

// ---- engine objects -------------------------------------------------------

struct zel_sim_image {
    std::vector<zsim::ImageTree> trees;
    std::vector<std::string> functions;
    std::vector<zsim::ImageNs> namespaces;
};

struct hwe_rsrc {
    uint32_t magic = zsim::kNsMagic;
    hwe_engine_t *eng = nullptr;
    zsim::ImageNs def;                          // name, range, record sizes
    bool from_image = false;
    std::vector<uint64_t> used;                 // one bit per id
    uint32_t full_below = 0;                    // every word of `used` below it is full
    uint32_t in_use = 0;
    // Memory of allocated ids (state-engine records, SED and MTM
    // parameters); an id reads as zeros from its allocation on.
    zsim::IdMemory se, sed, mtm;

    bool contains(uint32_t id) const { return id - def.base < def.count; }
    bool taken(uint32_t id) const {
        uint32_t i = id - def.base;
        return used[i >> 6] >> (i & 63) & 1;
    }
};

struct hwe_engine {
    uint32_t magic = zsim::kEngineMagic;
    std::mutex mu;
    // The tree of the last lookup by id (programming comes in bursts on
    // one tree); beside the mutex, so a call touches one line for both.
    uint32_t last_id = 0;
    zsim::Tree *last_tree = nullptr;
    std::vector<std::unique_ptr<zsim::Tree>> trees;
    std::unordered_map<uint32_t, zsim::Tree *> by_id;
    // Trees found by id before, by the id's low bits (a reader going from
    // tree to tree - a packet walk - finds each without hashing; trees live
    // as long as the engine).
    static constexpr unsigned kTreeCache = 128;
    zsim::Tree *tree_cache[kTreeCache] = {};
    std::map<std::string, uint32_t> symbols;    // trees and functions of the image
    std::vector<std::unique_ptr<hwe_rsrc>> namespaces;  // live and destroyed shells
    // The namespaces of the last memory accesses, a few, so that accesses
    // alternating between namespaces (a packet's global, interface and
    // flow counters) find theirs without a search (a shell lives as long
    // as the engine).
    static constexpr unsigned kRecentMemNs = 4;
    hwe_rsrc *recent_mem_ns[kRecentMemNs] = {};
    unsigned recent_mem_next = 0;           // the slot the next found namespace takes
    // Compactions run, the last ZEL_SIM_COMPACTIONS_KEPT of them, and how
    // many there were in all.
    std::deque<zel_sim_compaction_t> compactions;
    uint64_t compactions_total = 0;
};

struct hwe_subnet_db {
    uint32_t magic = zsim::kDbMagic;
    uint32_t width = 0;
    std::mutex mu;
    std::unique_ptr<zsim::PrefixStore> store;   // value: packed action
    zsim::Posted posted;                        // an add not yet written
};

namespace zsim {

inline bool engine_ok(const hwe_engine_t *e) { return e && e->magic == kEngineMagic; }
// Makes a tree's posted learn (sim_engine_tree.cpp).
void tree_settle(Tree &t);
// Every way to a tree goes through here (caller holds the engine mutex):
// a tree is handed out with no posted learn.
inline Tree *find_tree(hwe_engine_t *e, uint32_t id) {
    Tree *t;
    if (id == e->last_id && e->last_tree) {
        t = e->last_tree;
    } else {
        zsim::Tree *&cached = e->tree_cache[id & (hwe_engine::kTreeCache - 1)];
        if (cached && cached->id == id) {
            t = cached;
        } else {
            auto it = e->by_id.find(id);
            if (it == e->by_id.end()) return nullptr;
            cached = t = it->second;
        }
        e->last_id = id;
        e->last_tree = t;
    }
    if (t->posted.on) tree_settle(*t);
    return t;
}
// Live namespace by name (nullptr if none).
hwe_rsrc *find_ns(hwe_engine_t *e, const std::string &name);

// ---- paired calls (PtnPair, sim_pattern.h) -----------------------------------

// Record where the tree or the database a pattern buffer was handed to
// keeps its slots (caller holds that object's lock).
inline void pair_with(const zel_ptn_t *key, SlotMap PtnPair::*which, const PrefixStore &store) {
    if (key->bits) static_cast<PtnStore *>(key->bits)->pair.*which = store.slot_map();
}

// Tree helpers shared between files (caller holds the engine mutex).
void tree_init(Tree &t);
uint32_t tree_lookup(const Tree &t, u128 bits, hwe_action_t *action, uint32_t *depth);
uint32_t tree_compact(Tree &t);
size_t tree_bytes(const Tree &t);
// Append a compaction to the engine's log (caller holds the engine mutex).
void log_compaction(hwe_engine_t &eng, const zel_sim_compaction_t &c);
uint32_t ruleset_count(const Tree &t);
uint32_t ruleset_classify(const Tree &t, uint32_t nfields, const uint32_t *values,
                          hwe_action_t *action, uint32_t *rule_idx);

}  // namespace zsim

#endif  // ZSIM_ENGINE_H
