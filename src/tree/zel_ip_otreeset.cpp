// OtreeSet rule programming (see zel_ip_otreeset.h).
#include "tree/zel_ip_otreeset.h"

#include "core/zel_ip_status_internal.h"
#include "tree/zel_ip_tree.h"

namespace zel::ip {

namespace {

// Trees 34 and 35 only; written as a choice so no index can leave the array.
VectorKeyBuffer &key_buffer(ZelIpPriv &p, uint32_t tree) {
    return p.otreeset_keys[tree == kTreeAssocFlowFilter ? 1 : 0];
}

// Builds `key` in the tree's key buffers; `fields` of them (all, or the set
// pattern alone) make the vector handed to the engine. 0, or the
// builder's status (after the FATAL line).
uint32_t build_key(zel_module_t *m, ZelIpPriv &p, uint32_t tree, const layout::VectorKey &key, bool whole,
                   zel_vptn_t *out, Site s) {
    const layout::VectorLayout &lay = *layout::vector_layout(tree);
    VectorKeyBuffer &b = key_buffer(p, tree);
    uint32_t st = 0;
    // Patterns made before a failure stay, for the next call to complete.
    for (uint32_t i = 0; !b.made && i < lay.nfields && st == 0; ++i)
        if (!b.ptns[i].bits) st = zel_ptn_new(lay.fields[i].width, &b.ptns[i]);
    if (st == 0) b.made = 1;
    if (st == 0) {
        layout::VectorKey k = key;
        if (!whole)
            for (uint32_t i = 1; i < lay.nfields && i < sizeof k.bits / sizeof k.bits[0]; ++i) k.bits[i] = 0;
        st = layout::vector_key_fill(lay, b.ptns, k.vals, k.bits);
    }
    if (st != 0) return fail(m, Level::kFatal, fatal(st), s, true, "%s", kBuildFailMsg);
    *out = {whole ? lay.nfields : 1u, b.ptns};
    return 0;
}

}  // namespace

uint32_t otreeset_rule(zel_module_t *m, ZelIpPriv &p, uint32_t tree, uint32_t rule_idx,
                       const layout::VectorKey &key, SetRuleOp op, const hwe_action_t *action, Site s) {
    const TreeRecord &t = p.trees[tree];
    zel_vptn_t v{};
    if (uint32_t st = build_key(m, p, tree, key, op == SetRuleOp::kInsert, &v, s)) return st;
    const int idx = static_cast<int>(rule_idx);
    uint32_t st;
    switch (op) {
    case SetRuleOp::kInsert:
        trace_vector(m, Trace::kVptnLearn, s, t.id, idx, &v, action);
        st = hwe_ptn_otreeset_insert(m->engine, t.id, &v, rule_idx, action);
        break;
    case SetRuleOp::kModify:
        trace_vector(m, Trace::kVptnLearn, s, t.id, idx, &v, action);
        st = hwe_ptn_otreeset_modify(m->engine, t.id, &v, rule_idx, action);
        break;
    case SetRuleOp::kDelete:
    default:
        trace_vector(m, Trace::kVptnUnlearn, s, t.id, idx, &v, nullptr);
        st = hwe_ptn_otreeset_delete(m->engine, t.id, &v, rule_idx);
        break;
    }
    if (st == 0) return 0;
    const bool del = op == SetRuleOp::kDelete;
    const uint32_t code = st == HWE_E_RULE_INDEX ? error(ZEL_IP_E_INVALID_FILTER_INDEX)
                          : del                 ? fatal(ZEL_E_OTREESET_DELETE)
                                                : fatal(ZEL_E_OTREESET_INSERT);
    return fail(m, Level::kFatal, code, s, true,
                del ? "Failed to delete the OtreeSet rule, RTE Error: %s\n"
                    : "Failed to insert rule in the OtreeSet, RTE Error: %s\n",
                hwe_status_get(st));
}

uint32_t otreeset_build(zel_module_t *m, ZelIpPriv &p, uint32_t tree, const layout::VectorKey &set_key,
                        Site s) {
    const TreeRecord &t = p.trees[tree];
    zel_vptn_t v{};
    if (uint32_t st = build_key(m, p, tree, set_key, false, &v, s)) return st;
    trace_vector(m, Trace::kVptnBuild, s, t.id, -1, &v, nullptr);
    if (uint32_t st = hwe_ptn_otreeset_build(m->engine, t.id, &v))
        return fail(m, Level::kFatal, fatal(ZEL_E_OTREESET_BUILD), s, true,
                    "Failed to build the OtreeSet, RTE Error: %s\n", hwe_status_get(st));
    return 0;
}

uint32_t otreeset_keys_free(ZelIpPriv &p) {
    for (VectorKeyBuffer &b : p.otreeset_keys) {
        for (zel_ptn_t &ptn : b.ptns) {
            if (!ptn.bits) continue;
            if (uint32_t st = zel_ptn_free(&ptn)) return st;
            ptn = {};
        }
        b.made = 0;
    }
    return 0;
}

}  // namespace zel::ip
