// Staged commit of a rule-set tree (see zel_ip_staged.h).
#include "filter/zel_ip_staged.h"

#include "core/zel_ip_limits.h"
#include "tree/zel_ip_layout.h"

namespace zel::ip {

namespace {

constexpr uint32_t kSetKeyBits = 8;

uint32_t release_all(Call &c, const StagedTree &t) {
    uint32_t result = 0;
    for (uint32_t id = kRuleSetIdBase; id < kRuleSetIdBase + kRuleSetIdCount; ++id)
        if (uint32_t st = t.release(c, id)) result = st;
    return result;
}

uint32_t rebuild_all(Call &c, const StagedTree &t) {
    if (uint32_t st = t.rebuild(c, t.tree))
        return ZFAIL_FATAL(c.m, t.rebuild_status, t.rebuild_fail, hwe_status_get(st));
    return release_all(c, t);
}

}  // namespace

uint32_t staged_commit(Call &c, const StagedTree &t, uint32_t mode, uint32_t set_id) {
    if (mode != 0) return rebuild_all(c, t);
    const uint32_t st = t.build(c, t.tree, set_id);
    if (st == HWE_E_REBUILD && t.rebuild) {
        ZLOG_INFO(c.m, "Rule set 0x%x needs a rebuild of every set\n", set_id);
        return rebuild_all(c, t);
    }
    if (st) return ZFAIL_FATAL(c.m, t.build_status, t.build_fail, hwe_status_get(st));
    return t.release(c, set_id);
}

uint32_t set_key(ZelIpPriv &p, uint32_t set_id, const zel_ptn_t **out) {
    zel_ptn_t &k = p.set_key;
    if (!k.bits) {
        if (uint32_t st = zel_ptn_new(kSetKeyBits, &k)) {
            k = {nullptr, 0, 0};
            return st;
        }
    }
    if (uint32_t st = zel_ptn_clear(&k)) return st;
    if (uint32_t st = zel_ptn_extend(&k, set_id, kSetKeyBits)) return st;
    *out = &k;
    return 0;
}

uint32_t ovtreeset_build(Call &c, uint32_t tree, uint32_t set_id) {
    const zel_ptn_t *key = nullptr;
    if (uint32_t st = set_key(*c.priv, set_id, &key)) return st;
    return hwe_ptn_ovtreeset_build(c.m->engine, c.priv->trees[tree].id, key);
}

uint32_t ovtreeset_rebuild(Call &c, uint32_t tree) {
    return hwe_ptn_ovtreeset_rebuild(c.m->engine, c.priv->trees[tree].id);
}

}  // namespace zel::ip
