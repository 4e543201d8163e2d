// Rule-set trees: OtreeSet (a vector of prefix patterns per rule) and
// OVtreeSet (a set key pattern and a vector of ranges per rule).
//
// A tree holds sets, named by their set key (the first pattern of an
// OtreeSet rule, the key pattern of an OVtreeSet rule). A rule is
// identified by its set key and rule index. Edits (insert, modify, delete)
// change the staged rules only; a build compiles one set, a rebuild every
// set, and classification sees compiled rules only:
//
//   staged   { 1: r1, 3: r3' , 7: r7 }   <- edits since the last build
//   compiled { 1: r1, 3: r3 }            <- what packets are matched with
//
// Classification: the compiled rules of the sets whose key covers the
// packet's set field, by ascending rule index; the first rule all of whose
// patterns (ranges) match decides, else the tree's default action.
//
// Refusals: an index already staged (insert) or not staged (modify,
// delete) is HWE_E_RULE_INDEX. An OVtreeSet build answers HWE_E_REBUILD,
// compiling nothing, when the set has more staged edits since its last
// compile than the tree's rebuild threshold (0: never); the caller then
// rebuilds the whole tree. Keys are checked against the tree's layout
// when the image gives one (HWE_E_KEY).
// Listing reports the staged rules (what is programmed), sets in key
// order, rules by index, values as every listing does (listed_action).
#include <algorithm>
#include <new>

#include "sim_engine.h"
#include "sim_fault.h"
#include "sim_pattern.h"

namespace zsim {

namespace {

// The width a stored pattern matches against: the layout's field width,
// else the width the caller's pattern was made with.
PtnVal ptn_val(const zel_ptn_t &p, uint32_t field_width) {
    PtnVal v;
    v.len = p.len;
    v.bits = key_bits(&p);
    v.width = field_width ? field_width : std::max(p.width, p.len);
    return v;
}

bool covers(const PtnVal &p, uint32_t value) {
    if (p.len == 0) return true;
    if (p.width < p.len || p.width > 32) return false;
    uint32_t v = p.width == 32 ? value : value & ((1u << p.width) - 1);
    return (v >> (p.width - p.len)) == static_cast<uint32_t>(p.bits);
}

// Calls `f` with every set whose key covers `value`, in set key order (by
// length, then bits). With the layout's first field width every key has
// that width, so a key length holds at most one covering key: one find per
// length present rather than a look at every set.
template <class F>
void for_covering_sets(const Tree &t, uint32_t value, F &&f) {
    const uint32_t w = t.fields.empty() ? 0 : t.fields[0];
    if (w == 0 || w > 32) {
        for (const auto &[key, set] : t.sets)
            if (covers(key, value)) f(set);
        return;
    }
    const uint32_t v = w == 32 ? value : value & ((1u << w) - 1);
    for (auto it = t.sets.begin(); it != t.sets.end();) {
        PtnVal probe;
        probe.len = it->first.len;
        if (probe.len > w) break;  // refused when inserted: covers nothing
        probe.bits = probe.len ? v >> (w - probe.len) : 0;
        auto hit = t.sets.find(probe);
        if (hit != t.sets.end() && covers(hit->first, value)) f(hit->second);
        ++probe.len;
        probe.bits = 0;
        it = t.sets.lower_bound(probe);
    }
}

// Locks the engine and finds a rule-set tree of the given kind.
struct SetTree {
    std::unique_lock<std::mutex> lock;
    Tree *tree = nullptr;
    uint32_t status = HWE_E_PARAM;
    SetTree(hwe_engine_t *eng, uint32_t tree_id, uint32_t kind) {
        if (!engine_ok(eng)) return;
        lock = std::unique_lock<std::mutex>(eng->mu);
        tree = find_tree(eng, tree_id);
        status = !tree ? HWE_E_NOT_FOUND : tree->kind != kind ? HWE_E_PARAM : HWE_OK;
    }
};

uint32_t check_vptn(const Tree &t, const zel_vptn_t *key, bool whole) {
    if (!key || key->count == 0 || !key->ptns) return HWE_E_PARAM;
    if (whole && !t.fields.empty() && key->count != t.fields.size()) return HWE_E_KEY;
    for (uint32_t i = 0; i < key->count; ++i) {
        if (!key->ptns[i].bits && key->ptns[i].len) return HWE_E_PARAM;
        uint32_t max = i < t.fields.size() ? t.fields[i] : kMaxTreeWidth;
        if (key->ptns[i].len > max) return HWE_E_KEY;
        if (!whole) break;  // only the set key is needed
    }
    return HWE_OK;
}

uint32_t check_set_key(const Tree &t, const zel_ptn_t *set_key) {
    if (!set_key || (!set_key->bits && set_key->len)) return HWE_E_PARAM;
    uint32_t max = t.fields.empty() ? 32 : t.fields[0];
    return set_key->len > max ? HWE_E_KEY : HWE_OK;
}

uint32_t check_ranges(const Tree &t, uint32_t n, const zel_rptn_t *r) {
    if (n && !r) return HWE_E_PARAM;
    if (!t.fields.empty() && n + 1 != t.fields.size()) return HWE_E_KEY;
    for (uint32_t i = 0; i < n; ++i) {
        if (r[i].width == 0 || r[i].width > 32) return HWE_E_KEY;
        if (!t.fields.empty() && r[i].width != t.fields[i + 1]) return HWE_E_KEY;
        uint32_t max = r[i].width == 32 ? 0xffffffffu : (1u << r[i].width) - 1;
        if (r[i].lo > r[i].hi || r[i].hi > max) return HWE_E_KEY;
    }
    return HWE_OK;
}

PtnVal set_key_of(const Tree &t, const zel_ptn_t &p) {
    return ptn_val(p, t.fields.empty() ? 0 : t.fields[0]);
}

// The three edits, common to both kinds.
uint32_t insert_rule(Tree &t, const PtnVal &key, uint32_t idx, Rule rule) {
    RuleSet &s = t.sets[key];
    s.key = key;
    if (!s.staged.emplace(idx, std::move(rule)).second) {
        if (s.staged.empty() && s.compiled.empty()) t.sets.erase(key);
        return HWE_E_RULE_INDEX;
    }
    ++s.edits;
    return HWE_OK;
}

uint32_t modify_rule(Tree &t, const PtnVal &key, uint32_t idx, const hwe_action_t &a) {
    auto s = t.sets.find(key);
    if (s == t.sets.end()) return HWE_E_RULE_INDEX;
    auto r = s->second.staged.find(idx);
    if (r == s->second.staged.end()) return HWE_E_RULE_INDEX;
    r->second.action = a;
    ++s->second.edits;
    return HWE_OK;
}

uint32_t delete_rule(Tree &t, const PtnVal &key, uint32_t idx) {
    auto s = t.sets.find(key);
    if (s == t.sets.end() || !s->second.staged.erase(idx)) return HWE_E_RULE_INDEX;
    ++s->second.edits;
    return HWE_OK;
}

// The flat copy is built aside first, in the spare arrays the build before
// left (their capacity kept: a large set's arrays would otherwise be fresh
// pages at every build), so a failed allocation there leaves the set as
// its last build compiled it. The compiled map is then assigned in place,
// reusing its nodes.
//
// A flat rule keeps only the ranges that can refuse a value of their
// width, narrowest (as a share of its width) first: most rules of an ACL
// name one or two fields, and a rule that fails fails mostly on its
// narrowest range, so the scan reads about one range per rule.
constexpr uint32_t kMaxFlatRanges = 32;

void compile(Tree &t, std::map<PtnVal, RuleSet>::iterator s) {
    RuleSet &set = s->second;
    std::vector<RangeCheck> &first = set.first_spare;
    std::vector<FlatRule> &flat = set.flat_spare;
    std::vector<RangeCheck> &checks = set.checks_spare;
    std::vector<uint32_t> &wild_hi = set.wild_hi_spare;
    first.clear();
    flat.clear();
    checks.clear();
    wild_hi.clear();
    uint32_t nranges = set.staged.empty() ? 0 : static_cast<uint32_t>(set.staged.begin()->second.ranges.size());
    if (t.kind == ZEL_SIM_TREE_OVTREESET) {
        first.reserve(set.staged.size());
        flat.reserve(set.staged.size());
        RangeCheck mine[kMaxFlatRanges];
        for (const auto &[idx, rule] : set.staged) {
            // Range counts that differ, or more than a flat rule keeps:
            // classified from the compiled map.
            if (rule.ranges.size() != nranges || nranges > kMaxFlatRanges) nranges = 0xffffffffu;
            uint32_t n = 0;
            for (uint32_t i = 0; i < rule.ranges.size() && n < kMaxFlatRanges; ++i) {
                const zel_rptn_t &r = rule.ranges[i];
                const uint32_t top = r.width >= 32 ? 0xffffffffu : (1u << r.width) - 1;
                if (r.lo == 0 && r.hi == top) {
                    if (wild_hi.size() <= i) wild_hi.resize(i + 1, 0xffffffffu);
                    wild_hi[i] = std::min(wild_hi[i], top);
                } else {
                    mine[n++] = {i + 1, r.lo, r.hi - r.lo};
                }
            }
            const auto &ranges = rule.ranges;  // a lambda may not capture a structured binding (clang 14)
            auto share = [&ranges](const RangeCheck &c) {
                const uint32_t w = ranges[c.field - 1].width;
                return static_cast<double>(c.span) / (w >= 32 ? 0xffffffffu : (1u << w) - 1);
            };
            std::sort(mine, mine + n, [&](const RangeCheck &x, const RangeCheck &y) { return share(x) < share(y); });
            FlatRule f;
            f.idx = idx;
            f.action = rule.action;
            f.off = static_cast<uint32_t>(checks.size());
            if (n) {
                f.more = n - 1;
                checks.insert(checks.end(), mine + 1, mine + n);
            }
            first.push_back(n ? mine[0] : RangeCheck{});
            flat.push_back(f);
        }
    }
    set.compiled = set.staged;
    set.first.swap(first);
    set.flat.swap(flat);
    set.checks.swap(checks);
    set.wild_hi.swap(wild_hi);
    set.nranges = nranges;
    set.edits = 0;
    if (set.staged.empty()) t.sets.erase(s);
}

uint32_t build_set(Tree &t, const PtnVal &key, bool may_refuse) {
    auto s = t.sets.find(key);
    if (s == t.sets.end()) return HWE_OK;  // nothing staged, nothing compiled
    if (may_refuse && t.rebuild_threshold && s->second.edits > t.rebuild_threshold)
        return HWE_E_REBUILD;
    compile(t, s);
    return HWE_OK;
}

// Snapshot of the staged rules for a listing (visited unlocked).
struct ListedRule {
    uint32_t idx;
    PtnVal set_key;
    Rule rule;
};

uint32_t snapshot(hwe_engine_t *eng, uint32_t tree_id, uint32_t kind, std::vector<ListedRule> &out) {
    SetTree st(eng, tree_id, kind);
    if (st.status) return st.status;
    for (const auto &[key, set] : st.tree->sets)
        for (const auto &[idx, rule] : set.staged) {
            out.push_back({idx, key, rule});
            out.back().rule.action = listed_action(rule.action);
        }
    return HWE_OK;
}

}  // namespace

uint32_t ruleset_count(const Tree &t) {
    uint32_t n = 0;
    for (const auto &s : t.sets) n += static_cast<uint32_t>(s.second.staged.size());
    return n;
}

namespace {

// The flat copy of a set decides for `values` when they are as many as
// each of its rules' ranges and the set field, and none lies above a
// whole-width range it left out (a value wider than its field).
bool flat_fits(const RuleSet &set, uint32_t nfields, const uint32_t *values) {
    if (nfields != set.nranges + 1 || set.nranges == 0xffffffffu) return false;
    const auto n = static_cast<uint32_t>(std::min<size_t>(set.nranges, set.wild_hi.size()));
    for (uint32_t i = 0; i < n; ++i)
        if (values[i + 1] > set.wild_hi[i]) return false;
    return true;
}

}  // namespace

uint32_t ruleset_classify(const Tree &t, uint32_t nfields, const uint32_t *values,
                          hwe_action_t *action, uint32_t *rule_idx) {
    auto match = [&](const Rule &rule) {
        bool m;
        if (t.kind == ZEL_SIM_TREE_OTREESET) {
            m = rule.ptns.size() == nfields;
            for (uint32_t i = 1; m && i < nfields; ++i) m = covers(rule.ptns[i], values[i]);
        } else {
            m = rule.ranges.size() + 1 == nfields;
            for (uint32_t i = 1; m && i < nfields; ++i)
                m = rule.ranges[i - 1].lo <= values[i] && values[i] <= rule.ranges[i - 1].hi;
        }
        return m;
    };
    auto found = [&](uint32_t idx, const Rule &rule) -> uint32_t {
        *action = rule.action;
        *rule_idx = idx;
        return HWE_OK;
    };
    // The sets whose key covers the first field. Nearly always one: its
    // compiled rules are already in index order, so it is scanned in place
    // (an OVtreeSet's flat copy); several are merged by rule index (a
    // stable sort: equal indexes in set key order).
    const RuleSet *only = nullptr;
    uint32_t covering = 0;
    if (nfields)
        for_covering_sets(t, values[0], [&](const RuleSet &set) {
            only = &set;
            ++covering;
        });
    if (covering == 1 && t.kind == ZEL_SIM_TREE_OVTREESET && flat_fits(*only, nfields, values)) {
        const RangeCheck *checks = only->checks.data();
        const RangeCheck *first = only->first.data(), *last = first + only->first.size();
        for (const RangeCheck *p = first; p != last; ++p) {
            if (values[p->field] - p->lo > p->span) continue;
            const FlatRule &f = only->flat[static_cast<size_t>(p - first)];
            const RangeCheck *c = checks + f.off, *end = c + f.more;
            while (c != end && values[c->field] - c->lo <= c->span) ++c;
            if (c == end) {
                *action = f.action;
                *rule_idx = f.idx;
                return HWE_OK;
            }
        }
    } else if (covering == 1) {
        for (const auto &[idx, rule] : only->compiled)
            if (match(rule)) return found(idx, rule);
    } else if (covering > 1) {
        std::vector<std::pair<uint32_t, const Rule *>> rules;
        for_covering_sets(t, values[0], [&](const RuleSet &set) {
            for (const auto &[idx, rule] : set.compiled) rules.push_back({idx, &rule});
        });
        std::stable_sort(rules.begin(), rules.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        for (const auto &[idx, rule] : rules)
            if (match(*rule)) return found(idx, *rule);
    }
    *action = t.image_default;
    *rule_idx = ZEL_SIM_NO_RULE;
    return HWE_OK;
}

}  // namespace zsim

using zsim::SetTree;

extern "C" {

// ---- OtreeSet ----------------------------------------------------------------

uint32_t hwe_ptn_otreeset_insert(hwe_engine_t *eng, uint32_t tree_id, const zel_vptn_t *key,
                                 uint32_t rule_idx, const hwe_action_t *action) try {
    ZSIM_FAULT_POINT();
    if (!action || !zsim::action_valid(*action)) return HWE_E_PARAM;
    SetTree st(eng, tree_id, ZEL_SIM_TREE_OTREESET);
    if (st.status) return st.status;
    if (uint32_t s = zsim::check_vptn(*st.tree, key, true)) return s;
    try {
        zsim::Rule rule;
        for (uint32_t i = 0; i < key->count; ++i)
            rule.ptns.push_back(zsim::ptn_val(
                key->ptns[i], i < st.tree->fields.size() ? st.tree->fields[i] : 0));
        rule.action = *action;
        zsim::PtnVal set_key = rule.ptns[0];
        return zsim::insert_rule(*st.tree, set_key, rule_idx, std::move(rule));
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_ptn_otreeset_modify(hwe_engine_t *eng, uint32_t tree_id, const zel_vptn_t *key,
                                 uint32_t rule_idx, const hwe_action_t *action) try {
    ZSIM_FAULT_POINT();
    if (!action || !zsim::action_valid(*action)) return HWE_E_PARAM;
    SetTree st(eng, tree_id, ZEL_SIM_TREE_OTREESET);
    if (st.status) return st.status;
    if (uint32_t s = zsim::check_vptn(*st.tree, key, false)) return s;
    return zsim::modify_rule(*st.tree, zsim::set_key_of(*st.tree, key->ptns[0]), rule_idx, *action);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_ptn_otreeset_delete(hwe_engine_t *eng, uint32_t tree_id, const zel_vptn_t *key,
                                 uint32_t rule_idx) try {
    ZSIM_FAULT_POINT();
    SetTree st(eng, tree_id, ZEL_SIM_TREE_OTREESET);
    if (st.status) return st.status;
    if (uint32_t s = zsim::check_vptn(*st.tree, key, false)) return s;
    return zsim::delete_rule(*st.tree, zsim::set_key_of(*st.tree, key->ptns[0]), rule_idx);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_ptn_otreeset_build(hwe_engine_t *eng, uint32_t tree_id, const zel_vptn_t *set_key) try {
    ZSIM_FAULT_POINT();
    SetTree st(eng, tree_id, ZEL_SIM_TREE_OTREESET);
    if (st.status) return st.status;
    if (uint32_t s = zsim::check_vptn(*st.tree, set_key, false)) return s;
    try {
        // An OtreeSet has no rebuild-all, so its builds never refuse.
        return zsim::build_set(*st.tree, zsim::set_key_of(*st.tree, set_key->ptns[0]), false);
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_ptn_otreeset_list_vrules(hwe_engine_t *eng, uint32_t tree_id,
                                      hwe_otreeset_list_cb_t cb, void *ctx) try {
    ZSIM_FAULT_POINT();
    if (!cb) return HWE_E_PARAM;
    std::vector<zsim::ListedRule> rules;
    try {
        if (uint32_t s = zsim::snapshot(eng, tree_id, ZEL_SIM_TREE_OTREESET, rules)) return s;
        std::vector<zsim::PtnStore> stores;
        std::vector<zel_ptn_t> ptns;
        for (const auto &r : rules) {
            size_t n = r.rule.ptns.size();
            stores.resize(n);
            ptns.resize(n);
            for (size_t i = 0; i < n; ++i) {
                stores[i].v = r.rule.ptns[i].bits;
                ptns[i] = {&stores[i], r.rule.ptns[i].width, r.rule.ptns[i].len};
            }
            zel_vptn_t key{static_cast<uint32_t>(n), ptns.data()};
            if (uint32_t ret = cb(ctx, r.idx, &key, &r.rule.action)) return ret;
        }
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

// ---- OVtreeSet ---------------------------------------------------------------

uint32_t hwe_ptn_ovtreeset_insert(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *set_key,
                                  uint32_t nranges, const zel_rptn_t *ranges, uint32_t rule_idx,
                                  const hwe_action_t *action) try {
    ZSIM_FAULT_POINT();
    if (!action || !zsim::action_valid(*action)) return HWE_E_PARAM;
    SetTree st(eng, tree_id, ZEL_SIM_TREE_OVTREESET);
    if (st.status) return st.status;
    if (uint32_t s = zsim::check_set_key(*st.tree, set_key)) return s;
    if (uint32_t s = zsim::check_ranges(*st.tree, nranges, ranges)) return s;
    try {
        zsim::Rule rule;
        rule.ranges.assign(ranges, ranges + nranges);
        rule.action = *action;
        return zsim::insert_rule(*st.tree, zsim::set_key_of(*st.tree, *set_key), rule_idx,
                                 std::move(rule));
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_ptn_ovtreeset_modify(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *set_key,
                                  uint32_t rule_idx, const hwe_action_t *action) try {
    ZSIM_FAULT_POINT();
    if (!action || !zsim::action_valid(*action)) return HWE_E_PARAM;
    SetTree st(eng, tree_id, ZEL_SIM_TREE_OVTREESET);
    if (st.status) return st.status;
    if (uint32_t s = zsim::check_set_key(*st.tree, set_key)) return s;
    return zsim::modify_rule(*st.tree, zsim::set_key_of(*st.tree, *set_key), rule_idx, *action);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_ptn_ovtreeset_delete(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *set_key,
                                  uint32_t rule_idx) try {
    ZSIM_FAULT_POINT();
    SetTree st(eng, tree_id, ZEL_SIM_TREE_OVTREESET);
    if (st.status) return st.status;
    if (uint32_t s = zsim::check_set_key(*st.tree, set_key)) return s;
    return zsim::delete_rule(*st.tree, zsim::set_key_of(*st.tree, *set_key), rule_idx);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_ptn_ovtreeset_build(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *set_key) try {
    ZSIM_FAULT_POINT();
    SetTree st(eng, tree_id, ZEL_SIM_TREE_OVTREESET);
    if (st.status) return st.status;
    if (uint32_t s = zsim::check_set_key(*st.tree, set_key)) return s;
    try {
        return zsim::build_set(*st.tree, zsim::set_key_of(*st.tree, *set_key), true);
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_ptn_ovtreeset_rebuild(hwe_engine_t *eng, uint32_t tree_id) try {
    ZSIM_FAULT_POINT();
    SetTree st(eng, tree_id, ZEL_SIM_TREE_OVTREESET);
    if (st.status) return st.status;
    try {
        for (auto it = st.tree->sets.begin(); it != st.tree->sets.end();) zsim::compile(*st.tree, it++);
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_ptn_ovtreeset_list_rules(hwe_engine_t *eng, uint32_t tree_id,
                                      hwe_ovtreeset_list_cb_t cb, void *ctx) try {
    ZSIM_FAULT_POINT();
    if (!cb) return HWE_E_PARAM;
    std::vector<zsim::ListedRule> rules;
    try {
        if (uint32_t s = zsim::snapshot(eng, tree_id, ZEL_SIM_TREE_OVTREESET, rules)) return s;
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
    for (const auto &r : rules) {
        zsim::PtnStore store{r.set_key.bits};
        zel_ptn_t key{&store, r.set_key.width, r.set_key.len};
        if (uint32_t ret = cb(ctx, r.idx, &key, static_cast<uint32_t>(r.rule.ranges.size()),
                              r.rule.ranges.data(), &r.rule.action))
            return ret;
    }
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

// ---- introspection ----------------------------------------------------------

uint32_t zel_sim_engine_classify(hwe_engine_t *eng, uint32_t tree_id, uint32_t nfields,
                                 const uint32_t *values, hwe_action_t *action,
                                 uint32_t *rule_idx) try {
    if (!zsim::engine_ok(eng) || (nfields && !values) || !action || !rule_idx) return HWE_E_PARAM;
    std::lock_guard<std::mutex> g(eng->mu);
    const zsim::Tree *t = zsim::find_tree(eng, tree_id);
    if (!t) return HWE_E_NOT_FOUND;
    if (t->kind == ZEL_SIM_TREE_SINGLE) return HWE_E_PARAM;
    try {
        return zsim::ruleset_classify(*t, nfields, values, action, rule_idx);
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sim_engine_set_rebuild_threshold(hwe_engine_t *eng, uint32_t tree_id,
                                              uint32_t max_edits) try {
    if (!zsim::engine_ok(eng)) return HWE_E_PARAM;
    std::lock_guard<std::mutex> g(eng->mu);
    zsim::Tree *t = zsim::find_tree(eng, tree_id);
    if (!t) return HWE_E_NOT_FOUND;
    if (t->kind != ZEL_SIM_TREE_OVTREESET) return HWE_E_PARAM;
    t->rebuild_threshold = max_edits;
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

}  // extern "C"
