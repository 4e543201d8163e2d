// The FPL tree catalogue at run time: resolving flow functions and trees
// at start-up (with each tree's memory report) and tearing trees down at
// shutdown. The tables themselves are in zel_ip_hw_catalogue.h.
#include <cinttypes>
#include <cstring>

#include "core/zel_ip_call.h"
#include "core/zel_ip_priv.h"
#include "tree/zel_ip_hw_catalogue.h"
#include "tree/zel_ip_otreeset.h"
#include "tree/zel_ip_hw_internal.h"

using namespace zel::ip;

namespace {

// Subnet database of an LPM tree: one bit wider than the key, holding the
// default action under the empty key from the start (the key as created
// has no specified bits; made one bit longer it is the 1-bit prefix 0).
uint32_t create_subnet_db(zel_module_t *m, TreeRecord &t) {
    uint32_t st = hwe_subnet_create(t.width + 1, 0, 0, &t.subnet_db);
    if (st != 0) {
        t.subnet_db = nullptr;
        return ZFAIL_ERROR(m, ZEL_E_SUBNET_CREATE, "RTE Error: %s, Failed to create subnet database\n",
                           hwe_status_get(st));
    }
    OneBitLonger longer(t.key);
    trace_pattern(m, Trace::kSubnetAdd, ZEL_SITE, t.id, &t.key, -1, &t.default_action);
    st = hwe_subnet_add_subnet(t.subnet_db, &t.key, &t.default_action);
    if (st != 0)
        return ZFAIL_ERROR(m, ZEL_E_SUBNET_ADD,
                           "RTE Error: %s, Failed to add default input pattern to subnet\n",
                           hwe_status_get(st));
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ip_get_fpl_flow_func_info(zel_module_t *module, uint32_t index,
                                       zel_ip_flow_func_record_t *rec) {
    // 1.
    if (index >= kNumFlowFuncs || !rec)
        return ZFAIL_ERROR_ANY(module, ZEL_E_INVALID_PARAM, "Invalid FPL flow function");
    if (!module_handle_ok(module)) return reject_module_handle(module, ZEL_SITE);
    // 2. The name, NUL-padded.
    std::strncpy(rec->name, kFlowFuncNames[index], kFplNameLen - 1);
    rec->name[kFplNameLen - 1] = '\0';
    // 3.
    uint32_t st = hwe_ptn_symbol_get_id(module->engine, rec->name, &rec->id);
    if (st != 0)
        return ZFAIL_ERROR(module, ZEL_E_SYMBOL,
                           "RTE Error: %s, Failed to return ID for FPL flow function %s\n",
                           hwe_status_get(st), rec->name);
    return 0;
}

uint32_t zel_ipv4_update_tree_info(zel_module_t *module, uint32_t index, zel_ip_tree_record_t *rec) {
    if (index >= kNumTrees || !rec)
        return ZFAIL_ERROR_ANY(module, ZEL_E_INVALID_PARAM, "Invalid FPL Tree function %d\n",
                               static_cast<int>(index));
    rec->listable = is_rule_set_tree(index) ? 0 : 1;
    return 0;
}

uint32_t zel_ipv4_get_tree_info(zel_module_t *module, uint32_t index, zel_ip_tree_record_t *rec) {
    if (!rec)
        return ZFAIL_ERROR_ANY(module, ZEL_E_INVALID_PARAM, "Invalid FPL Tree function %d\n",
                               static_cast<int>(index));
    TreeRecord &t = *rec;
    // 1. Reset.
    t.width = 0;
    t.init_table_size = 0;
    t.lpm = 0;
    t.default_action.kind = 0;
    t.default_action.w1 = 0;
    t.dump_groups = 0;
    t.tree_flags = 0x404;
    // 2.
    if (index >= kNumTrees)
        return ZFAIL_ERROR_ANY(module, ZEL_E_INVALID_PARAM, "Invalid FPL Tree function %d\n",
                               static_cast<int>(index));
    if (!module_handle_ok(module)) return reject_module_handle(module, ZEL_SITE);
    // 3. The catalogue row.
    const TreeSpec &spec = kTreeCatalogue[index];
    t.width = spec.width;
    t.default_action = {spec.action_kind, spec.w1, spec.w2};
    t.lpm = spec.lpm ? 1 : 0;
    t.tree_flags = spec.tree_flags;
    t.dump_groups = spec.dump_groups;
    const uint32_t expected = expected_entries(spec);
    // 4.
    if (uint32_t st = zel_ipv4_update_tree_info(module, index, rec)) return st;
    // 5. The tree's engine id.
    uint32_t st = hwe_ptn_symbol_get_id(module->engine, spec.name, &t.id);
    if (st != 0)
        return ZFAIL_ERROR(module, ZEL_E_SYMBOL,
                           "RTE Error: %s, Failed to return ID for the FPL tree function %s\n",
                           hwe_status_get(st), spec.name);
    // 6. A function default action calls the function by its id.
    if (spec.action_kind == HWE_ACTION_FUNC) {
        st = hwe_ptn_symbol_get_id(module->engine, spec.action_fn, &t.default_action.w1);
        if (st != 0)
            return ZFAIL_ERROR(module, ZEL_E_SYMBOL,
                               "RTE Error: %s, Failed to return ID for the FPL flow function %s\n",
                               hwe_status_get(st), spec.action_fn);
    }
    uint32_t subnet_size = 0, optimized_size = 0;
    if (t.width == 0) {
        // 7. Rule-set trees: no key buffer, no database.
        t.key = {nullptr, 0, 0};
        t.subnet_db = nullptr;
    } else {
        // 8. The tree's reusable key buffer.
        st = zel_ptn_new(t.width, &t.key);
        if (st != 0) {
            t.key = {nullptr, 0, 0};
            return ZFAIL_ERROR(module, ZEL_E_NO_MEMORY, "Failed to allocate memory for input patternn");
        }
        // 9. (expected entries computed above)
        // 10. LPM trees: the subnet database and its entry size.
        t.subnet_db = nullptr;
        if (t.lpm) {
            if (uint32_t d = create_subnet_db(module, t)) return d;
            uint32_t size = 0, optimized = 0;
            st = zel_sif_max_subnet_entry_sz_get(t.width, spec.sizing_flag, &size, &optimized);
            if (st != 0) {
                // Only the report needs the sizes: the tree stays usable
                // and reports them as 0.
                ZLOG_WARN(module, "Failed to get subnet entry size for %s\n", spec.name);
                size = optimized = 0;
            }
            subnet_size = size * expected;
            optimized_size = optimized * expected;
        }
    }
    // 11. Tree memory: a failure is only a warning.
    hwe_ptn_fn_stats_t stats{};
    st = hwe_ptn_fn_stats(module->engine, t.id, &stats);
    if (st != 0) {
        ZLOG_WARN(module, "RTE Error: %s, Failed to get tree mem info\n", hwe_status_get(st));
        return 0;
    }
    // 12. The tree's memory report.
    if (t.width != 0) {
        t.init_table_size = stats.init_table_size;
        ZLOG_INFO(module,
                  "%s: Width %d, InitTableSize %d, Expected Entries %d\n\t RootMemUsed %d, "
                  "ProgMemUsed %d, Subnet Size %d, Optimized Subnet Size %d\n",
                  spec.name, static_cast<int>(t.width), static_cast<int>(stats.init_table_size),
                  static_cast<int>(expected), static_cast<int>(stats.root_mem_used),
                  static_cast<int>(stats.prog_mem_used), static_cast<int>(subnet_size),
                  static_cast<int>(optimized_size));
    } else {
        ZLOG_INFO(module, "%s: Expected Entries %d\n\t RootMemUsed %d, ProgMemUsed %d\n", spec.name,
                  static_cast<int>(expected), static_cast<int>(stats.root_mem_used),
                  static_cast<int>(stats.prog_mem_used));
    }
    // 13.
    return 0;
}

uint32_t zel_ipv4_del_fpl_tree_info(zel_module_t *module, zel_ip_tree_record_t *rec) {
    TreeRecord &t = *rec;
    // 1. The subnet database (cleared once destroyed, never destroyed twice).
    if (t.lpm) {
        uint32_t st = hwe_subnet_destroy(t.subnet_db);
        if (st != 0)
            return ZFAIL_ERROR(module, ZEL_E_SUBNET_DESTROY,
                               "RTE Error: %s, Failed to destroy subnet database for %s\n",
                               hwe_status_get(st), zel_sif_fps_map(t.id));
        t.lpm = 0;
        t.subnet_db = nullptr;
    }
    // 2. Every entry removed: the tree answers its default action again.
    if (t.width != 0 && t.key.bits) {
        uint32_t st = zel_ptn_clear(&t.key);
        if (st != 0)
            return ZFAIL_FATAL(module, fatal(st), "Could not build the default input pattern");
        trace_pattern(module, Trace::kPtnUnlearn, ZEL_SITE, t.id, &t.key, static_cast<int>(t.width),
                      &t.default_action);
        st = hwe_ptn_unlearn_any(module->engine, t.id, &t.key, t.width, &t.default_action, 1);
        if (st != 0)
            return ZFAIL_ERROR(module, ZEL_E_PTN_UNLEARN_ALL,
                               "RTE Error: %s, Failed to unlearn all patterns from tree %s\n",
                               hwe_status_get(st), zel_sif_fps_map(t.id));
        tree_changed(module, t);
    }
    // 3. The key buffer.
    return zel_ptn_free(&t.key);
}

uint32_t zel_ipv4_clear_tree_info(zel_module_t *module) {
    ZelIpPriv *priv = module_priv(module);
    if (!priv) return kBadHandle;
    for (uint32_t i = 0; i < kNumTrees; ++i) {
        const uint64_t bit = uint64_t{1} << i;
        if (priv->trees_released & bit) continue;
        if (uint32_t st = zel_ipv4_del_fpl_tree_info(module, &priv->trees[i])) {
            ZFAIL_ERROR(module, st, "Failed to clear FPL tree info for idx %d\n", static_cast<int>(i));
            return ZFAIL_ERROR(module, st, "Failed to clear IPv4 module's tree IDs");
        }
        priv->trees_released |= bit;
    }
    // The OtreeSet key buffers (made at the trees' first rules).
    if (uint32_t st = otreeset_keys_free(*priv))
        return ZFAIL_ERROR(module, st, "Failed to clear IPv4 module's tree IDs");
    return 0;
}

}  // extern "C"
