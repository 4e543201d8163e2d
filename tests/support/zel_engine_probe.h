// Engine probes shared by the module's test suites: tree ids by catalogue
// index, full-key lookups built from a tree's own key layout, entry counts,
// and action comparison with readable failure text.
#ifndef ZEL_ENGINE_PROBE_H
#define ZEL_ENGINE_PROBE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "tree/zel_ip_hw_catalogue.h"
#include "tree/zel_ip_layout.h"
#include "zel_sim.h"

namespace zel::test {

// Engine id of the tree at catalogue index `tree`.
inline uint32_t tree_id(hwe_engine_t *eng, uint32_t tree) {
    uint32_t id = 0;
    EXPECT_EQ(zel_sim_engine_symbol_id(eng, zel::ip::kTreeCatalogue[tree].name, &id), 0);
    return id;
}

// Engine id of a tree or function symbol.
inline uint32_t symbol_id(hwe_engine_t *eng, const char *name) {
    uint32_t id = 0;
    EXPECT_EQ(zel_sim_engine_symbol_id(eng, name, &id), 0) << name;
    return id;
}

// What tree `tree` answers for the full key made of `values`, one per key
// field of the tree's layout; `depth` (if given) receives the length of the
// pattern that wrote it (0: the catch-all).
inline hwe_action_t lookup(hwe_engine_t *eng, uint32_t tree, std::initializer_list<uint32_t> values,
                           uint32_t *depth_out = nullptr) {
    const zel::ip::layout::KeyLayout &lay = zel::ip::layout::key_layout(tree);
    std::vector<uint32_t> widths;
    for (uint32_t i = 0; i < lay.nfields; ++i) widths.push_back(lay.fields[i].width);
    EXPECT_EQ(widths.size(), values.size()) << "tree " << tree;
    hwe_action_t a{0xff, 0, 0};
    uint32_t depth = 0;
    EXPECT_EQ(zel_sim_engine_lookup_fields(eng, tree_id(eng, tree), static_cast<uint32_t>(widths.size()),
                                           values.begin(), widths.data(), &a, &depth),
              0u);
    if (depth_out) *depth_out = depth;
    return a;
}

// Learnt entries of a tree.
inline uint32_t entries(hwe_engine_t *eng, uint32_t tree) {
    return zel_sim_engine_entry_count(eng, tree_id(eng, tree));
}

inline bool same(const hwe_action_t &a, const hwe_action_t &b) {
    return a.kind == b.kind && a.w1 == b.w1 && a.w2 == b.w2;
}

inline std::string str(const hwe_action_t &a) {
    char b[64];
    std::snprintf(b, sizeof b, "{kind %u, 0x%06x, 0x%06x}", a.kind, a.w1, a.w2);
    return b;
}

// The tree's catalogue default, as a lookup of an empty slot answers it.
inline hwe_action_t default_of(hwe_engine_t *eng, uint32_t tree) {
    const zel::ip::TreeSpec &s = zel::ip::kTreeCatalogue[tree];
    if (s.action_kind == HWE_ACTION_FUNC) return {HWE_ACTION_FUNC, symbol_id(eng, s.action_fn), 0};
    return {s.action_kind, s.w1, s.w2};
}

// What a failing platform call returns unless a test names a status.
inline constexpr uint32_t kFault = HWE_E_FAULT;

}  // namespace zel::test

#define EXPECT_ACTION(actual, expected)                                                 \
    EXPECT_TRUE(::zel::test::same((actual), (expected)))                                \
        << "got " << ::zel::test::str(actual) << ", want " << ::zel::test::str(expected)

#endif  // ZEL_ENGINE_PROBE_H
