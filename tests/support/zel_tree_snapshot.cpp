#include "zel_tree_snapshot.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "core/zel_ip_priv.h"

namespace zel::test {

namespace {

struct ListCtx {
    uint32_t tree;
    TreeSnapshot *out;
};

uint32_t collect(void *ctx, const zel_ptn_t *key, const hwe_action_t *value) {
    auto *c = static_cast<ListCtx *>(ctx);
    if (key->len == 0) return 0;  // the catch-all is the tree's default
    // The key's bits in chunks of at most 32, first chunk the shortest.
    uint32_t widths[8], values[8], n = 0;
    uint32_t first = key->len % 32;
    if (first) widths[n++] = first;
    for (uint32_t rem = key->len - first; rem > 0; rem -= 32) widths[n++] = 32;
    EXPECT_EQ(zel_ptn_parse(key, n, widths, values), 0u);
    std::string k = std::to_string(c->tree) + "/" + std::to_string(key->len) + "/";
    char buf[32];
    for (uint32_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%x.", values[i]);
        k += buf;
    }
    std::snprintf(buf, sizeof buf, "%u %06x %06x", value->kind, value->w1, value->w2);
    (*c->out)[k] = buf;
    return 0;
}

}  // namespace

TreeSnapshot tree_snapshot(zel_sim_t *sim, zel_module_t *m) {
    TreeSnapshot s;
    const auto &p = *static_cast<const zel::ip::ZelIpPriv *>(m->priv);
    for (uint32_t t = 0; t < zel::ip::kNumTrees; ++t) {
        if (t >= 33 && t <= 36) continue;  // rule-set trees
        ListCtx c{t, &s};
        EXPECT_EQ(zel_sim_engine_list_entries(zel_sim_engine(sim), p.trees[t].id, collect, &c), 0u);
    }
    return s;
}

}  // namespace zel::test
