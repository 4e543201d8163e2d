// Table and tree dumps: zel_ip_tables_dump, zel_ip_fpl_trees_dump and
// zel_ip_defrag_se_states_dump, the tree walks behind them and the row
// callbacks the engine's listing calls invoke.
//
// A walk visits one tree at a time with a fresh dump context; the first
// listing the engine refuses ends it (what was printed stays printed) and
// the API call reports the failure with status 0x1007E.
#include <cinttypes>
#include <cstring>

#include "core/zel_ip_call.h"
#include "diag/zel_ip_dump_internal.h"
#include "tree/zel_ip_hw_catalogue.h"
#include "zel_ip/zel_ip_diag.h"

using namespace zel::ip;
using zel::ip::diag::Line;
using zel::ip::diag::Text;

namespace {

// Reassembly contexts: their NS IDs and the record the dump reads.
constexpr uint32_t kDefragFirstNsId = 0x200000;
constexpr uint32_t kDefragEndNsId = 0x2007E4;  // one past the last
constexpr uint32_t kDefragRecordBytes = 64;

const char *tree_name(const TreeRecord &t) { return zel_sif_fps_map(t.id); }

// The catch-all entry is the one whose wildcard bits span the whole key.
bool is_catch_all(const zel_ip_dump_ctx_t &ctx, const zel_ptn_t *key) {
    return ctx.tree->width - key->len == ctx.tree->width;
}

// The end of a walk at a refused listing: its own message (already
// formatted by the caller), then the walk's. Returns 0x7E.
uint32_t walk_failed(zel_module_t *m) {
    return ZFAIL_FATAL(m, ZEL_E_TREE_DUMP, "Failed to dump IPv4 module's trees");
}

// The OVtreeSet decoders: the extended filter is the OVtreeSet of the
// filter group, the other one holds the policy routes. A NULL set key
// gives the header line.
void ovts_decode(Text &o, const TreeRecord &t, uint32_t rule_idx, const zel_ptn_t *set_key,
                 uint32_t nranges, const zel_rptn_t *ranges, const hwe_action_t *value) {
    if (t.dump_groups & ZEL_IP_TABLES_FILTER)
        diag::ip_ext_filter_entry_dump(o, rule_idx, set_key, nranges, ranges, value);
    else
        diag::ip_pbr_lookup_entry_dump(o, rule_idx, set_key, nranges, ranges, value);
}

// "\n<name>, <header line>\n" before the rows of a tree in the table dump.
void print_header(const TreeRecord &t, uint32_t index) {
    Line line;
    Text &o = line.text;
    o.put("\n%s, ", tree_name(t));
    if (index == kTreeInBasicFilter) {
        diag::ip_in_basic_filter_entry_dump(o, 0, nullptr, nullptr);
    } else if (t.width == 0) {
        ovts_decode(o, t, 0, nullptr, 0, nullptr, nullptr);
    } else {
        char header[diag::kLineBytes];
        zel_ipv4_table_entry_dump(index, nullptr, nullptr, header, sizeof header);
        o.add(header);
    }
    o.add("\n");
    diag::dump_print(o);
}

// The three rule-set trees in the order both dumps print them after the
// single-pattern trees, with the message of a refused listing.
struct RuleSetTree {
    uint32_t index;
    const char *table_fail;  // table dump
    const char *raw_fail;    // raw dump
};
constexpr RuleSetTree kBasicFilter{kTreeInBasicFilter, "RTE Error %s: Failed to dump Basic filter table\n",
                                   "RTE Error %s: Failed to dump Basic filter tree\n"};
constexpr RuleSetTree kExtFilter{kTreeExtFilter, "RTE Error %s: Failed to dump Extended filter table\n",
                                 "RTE Error %s: Failed to dump Ext filter tree\n"};
constexpr RuleSetTree kPbrLookup{kTreePbr, "RTE Error %s: Failed to dump PBR lookup tree\n",
                                 "RTE Error %s: Failed to dump PBR lookup tree\n"};

// Lists one rule-set tree with `ots` (OtreeSet) or `ovts` (OVtreeSet) as
// its row callback; a refusal is logged with `fail_fmt`.
uint32_t list_rules(zel_module_t *m, ZelIpPriv &p, uint32_t index, hwe_otreeset_list_cb_t ots,
                    hwe_ovtreeset_list_cb_t ovts, const char *fail_fmt) {
    const TreeRecord &t = p.trees[index];
    zel_ip_dump_ctx_t ctx{index, &t, 0};
    const uint32_t st = ots ? hwe_ptn_otreeset_list_vrules(m->engine, t.id, ots, &ctx)
                            : hwe_ptn_ovtreeset_list_rules(m->engine, t.id, ovts, &ctx);
    if (st == 0) return 0;
    ZLOG_FATAL(m, fail_fmt, hwe_status_get(st));
    return walk_failed(m);
}

// One defrag row: the record's columns in header order, then its status.
void defrag_row(uint32_t ns_id, const uint8_t *r) {
    auto be16 = [r](size_t at) {
        uint16_t v;
        std::memcpy(&v, r + at, sizeof v);
        return static_cast<uint32_t>(hwe_ntohs(v));
    };
    // The engine writes the port of a context in host byte order, unlike
    // the record's other multi-byte fields.
    auto host16 = [r](size_t at) {
        uint16_t v;
        std::memcpy(&v, r + at, sizeof v);
        return static_cast<uint32_t>(v);
    };
    auto be32 = [r](size_t at) {
        uint32_t v;
        std::memcpy(&v, r + at, sizeof v);
        return hwe_ntohl(v);
    };
    Line line;
    line.text.put("0x%06x,%d,%d,%d,0x%04x,0x%06x,%d,%d,%d,%d,0x%x,", ns_id,
                  static_cast<int>(be16(0)),       // DEFRAG-LEN
                  static_cast<int>(be16(2)),       // ASSEMLED-BYTES
                  static_cast<int>(r[6]) - 1,      // NUM-HOLES, stored one higher
                  be16(46),                        // IP-ID
                  be32(56) & 0xffffff,             // INTF-ID, bytes 57-59
                  static_cast<int>(r[61]),         // IP-HDR-OFFSET
                  static_cast<int>(r[56]),         // VRD-ID
                  static_cast<int>(host16(62)),    // PORT, host order
                  static_cast<int>(r[7]),          // #ENQS
                  static_cast<unsigned>(r[42]));   // PAB-STATUS
    line.text.add(r[41] != 0 ? "In-Progress\n" : "Not-In-Use\n");
    diag::dump_print(line.text);
}

uint32_t defrag_dump(Call &c) {
    Line head;
    head.text.add(
        "\nDEFRAG-IDX,DEFRAG-LEN,ASSEMLED-BYTES,NUM-HOLES,IP-ID,INTF-ID,IP-HDR-OFFSET,VRD-ID,PORT,#ENQS,"
        "PAB-STATUS,STATUS\n");
    diag::dump_print(head.text);
    for (uint32_t ns_id = kDefragFirstNsId; ns_id < kDefragEndNsId; ++ns_id) {
        uint8_t rec[kDefragRecordBytes];
        if (uint32_t st = hwe_se_state_get(c.m->engine, ns_id, 0, rec, sizeof rec))
            return ZFAIL_FATAL(c.m, fatal(ZEL_E_SE_READ), "Failed to read defrag status, RTE Error: %s\n",
                               hwe_status_get(st));
        trace_se(c.m, Trace::kSeRead, ZEL_SITE, ns_id, 0, rec, sizeof rec);
        defrag_row(ns_id, rec);
    }
    return 0;
}

// A walk's 0x7E as the API call returns it.
uint32_t dump_result(zel_module_t *m, uint32_t st) {
    if (st == 0) return 0;
    ZLOG_FATAL(m, "Failed to dump IP FPL trees");
    return fatal(st);
}

}  // namespace

extern "C" {

// ---- walks -------------------------------------------------------------------

uint32_t zel_ipv4_dump_tables(zel_module_t *module, uint32_t group) {
    ZelIpPriv *p = module_priv(module);
    if (!p) return kBadHandle;
    // 1. The single-pattern trees of the group, in index order.
    for (uint32_t i = 0; i < kNumTrees; ++i) {
        const TreeRecord &t = p->trees[i];
        if (i == kTreePbr || i == kTreeInBasicFilter || i == kTreeExtFilter) continue;
        if (!(t.dump_groups & group)) continue;
        zel_ip_dump_ctx_t ctx{i, &t, 0};
        if (t.listable) print_header(t, i);
        if (uint32_t st = hwe_ptn_list_ptns(module->engine, t.id, zel_ip_table_entry_dump_fn, &ctx)) {
            ZLOG_FATAL(module, "RTE Error %s: Failed to dump IPv4 tree for idx %d\n", hwe_status_get(st),
                       static_cast<int>(i));
            return walk_failed(module);
        }
    }
    // 2-4. The basic filter, extended filter and policy route rule sets.
    if (p->trees[kTreeInBasicFilter].dump_groups & group) {
        print_header(p->trees[kTreeInBasicFilter], kTreeInBasicFilter);
        if (uint32_t st = list_rules(module, *p, kTreeInBasicFilter, zel_ip_ots_entry_dump_fn, nullptr,
                                     kBasicFilter.table_fail))
            return st;
    }
    for (const RuleSetTree &r : {kExtFilter, kPbrLookup}) {
        const TreeRecord &t = p->trees[r.index];
        if (!(t.dump_groups & group)) continue;
        print_header(t, r.index);
        if (uint32_t st = list_rules(module, *p, r.index, nullptr, zel_ip_ovts_entry_dump_fn, r.table_fail))
            return st;
    }
    return 0;
}

uint32_t zel_ipv4_dump_tree_info(zel_module_t *module) {
    ZelIpPriv *p = module_priv(module);
    if (!p) return kBadHandle;
    // 1. Every tree with a key.
    for (uint32_t i = 0; i < kNumTrees; ++i) {
        const TreeRecord &t = p->trees[i];
        if (t.width == 0) continue;
        zel_ip_dump_ctx_t ctx{i, &t, 0};
        if (uint32_t st = hwe_ptn_list_ptns(module->engine, t.id, zel_ip_rules_list_fn, &ctx)) {
            ZLOG_FATAL(module, "RTE Error %s: Failed to dump IPv4 tree for idx %d\n", hwe_status_get(st),
                       static_cast<int>(i));
            return walk_failed(module);
        }
    }
    // 2. The rule sets: basic filter, association flow filter (so that the
    //    raw dump shows every tree; no table group includes it), extended
    //    filter, policy routes.
    if (uint32_t st = list_rules(module, *p, kTreeInBasicFilter, zel_ip_otsrules_list_fn, nullptr,
                                 kBasicFilter.raw_fail))
        return st;
    if (uint32_t st = list_rules(module, *p, kTreeAssocFlowFilter, zel_ip_otsrules_list_fn, nullptr,
                                 "RTE Error %s: Failed to dump Association flow filter tree\n"))
        return st;
    for (const RuleSetTree &r : {kExtFilter, kPbrLookup})
        if (uint32_t st = list_rules(module, *p, r.index, nullptr, zel_ip_ovtsrules_list_fn, r.raw_fail))
            return st;
    return 0;
}

// ---- row callbacks -------------------------------------------------------------

uint32_t zel_ip_table_entry_dump_fn(void *ctx_arg, const zel_ptn_t *key, const hwe_action_t *value) {
    auto &ctx = *static_cast<zel_ip_dump_ctx_t *>(ctx_arg);
    const bool catch_all = is_catch_all(ctx, key);
    if (catch_all && ctx.catch_all_printed) return 0;
    Line line;
    Text &o = line.text;
    o.put("%s, ", tree_name(*ctx.tree));
    if (ctx.tree->listable) {
        char row[diag::kLineBytes];
        zel_ipv4_table_entry_dump(ctx.index, key, value, row, sizeof row);
        o.add(row);
    } else {
        char k[96], a[96];
        zel_ptn_print(key, k, sizeof k);
        zel_ptn_action_print(value, a, sizeof a);
        o.put("%s %s", k, a);
    }
    o.add("\n");
    diag::dump_print(o);
    if (catch_all) ctx.catch_all_printed = 1;
    return 0;
}

uint32_t zel_ip_rules_list_fn(void *ctx_arg, const zel_ptn_t *key, const hwe_action_t *value) {
    auto &ctx = *static_cast<zel_ip_dump_ctx_t *>(ctx_arg);
    const bool catch_all = is_catch_all(ctx, key);
    if (catch_all && ctx.catch_all_printed) return 0;
    char k[96], a[96];
    zel_ptn_print(key, k, sizeof k);
    zel_ptn_action_print(value, a, sizeof a);
    Line line;
    line.text.put("%s: %s %s\n", tree_name(*ctx.tree), k, a);
    diag::dump_print(line.text);
    if (catch_all) ctx.catch_all_printed = 1;
    return 0;
}

uint32_t zel_ip_ots_entry_dump_fn(void *ctx_arg, uint32_t rule_idx, const zel_vptn_t *key,
                                  const hwe_action_t *value) {
    auto &ctx = *static_cast<zel_ip_dump_ctx_t *>(ctx_arg);
    Line line;
    line.text.put("%s, ", tree_name(*ctx.tree));
    diag::ip_in_basic_filter_entry_dump(line.text, rule_idx, key, value);
    line.text.add("\n");
    diag::dump_print(line.text);
    return 0;
}

uint32_t zel_ip_otsrules_list_fn(void *ctx_arg, uint32_t rule_idx, const zel_vptn_t *key,
                                 const hwe_action_t *value) {
    auto &ctx = *static_cast<zel_ip_dump_ctx_t *>(ctx_arg);
    char v[diag::kLineBytes / 2], a[96];
    zel_vptn_print(key, v, sizeof v);
    zel_ptn_action_print(value, a, sizeof a);
    Line line;
    line.text.put("%s: (%d) %s %s\n", tree_name(*ctx.tree), static_cast<int>(rule_idx), v, a);
    diag::dump_print(line.text);
    return 0;
}

uint32_t zel_ip_ovts_entry_dump_fn(void *ctx_arg, uint32_t rule_idx, const zel_ptn_t *set_key,
                                   uint32_t nranges, const zel_rptn_t *ranges, const hwe_action_t *value) {
    auto &ctx = *static_cast<zel_ip_dump_ctx_t *>(ctx_arg);
    Line line;
    line.text.put("%s, ", tree_name(*ctx.tree));
    ovts_decode(line.text, *ctx.tree, rule_idx, set_key, nranges, ranges, value);
    line.text.add("\n");
    diag::dump_print(line.text);
    return 0;
}

uint32_t zel_ip_ovtsrules_list_fn(void *ctx_arg, uint32_t rule_idx, const zel_ptn_t *set_key,
                                  uint32_t nranges, const zel_rptn_t *ranges, const hwe_action_t *value) {
    auto &ctx = *static_cast<zel_ip_dump_ctx_t *>(ctx_arg);
    char k[96], r[diag::kLineBytes / 2], a[96];
    zel_ptn_print(set_key, k, sizeof k);
    zel_rptn_print(nranges, ranges, r, sizeof r);
    zel_ptn_action_print(value, a, sizeof a);
    Line line;
    line.text.put("%s: (%d) %s %s %s\n", tree_name(*ctx.tree), static_cast<int>(rule_idx), k, r, a);
    diag::dump_print(line.text);
    return 0;
}

// ---- API -----------------------------------------------------------------------

uint32_t zel_ip_tables_dump(zel_module_t *module, uint32_t table_group) {
    return with_module(module, __func__, [&](Call &c) -> uint32_t {
        // A group selects no tree outside 1 to 0x7FF: refused, not printed.
        if (table_group < 1 || table_group > ZEL_IP_TABLES_ALL)
            return ZREJECT(c.m, kBadParam, "Invalid table group %d\n", static_cast<int>(table_group));
        return dump_result(c.m, zel_ipv4_dump_tables(c.m, table_group));
    });
}

uint32_t zel_ip_fpl_trees_dump(zel_module_t *module) {
    return with_module(module, __func__,
                       [&](Call &c) -> uint32_t { return dump_result(c.m, zel_ipv4_dump_tree_info(c.m)); });
}

uint32_t zel_ip_defrag_se_states_dump(zel_module_t *module) {
    return with_module(module, __func__, [&](Call &c) -> uint32_t { return defrag_dump(c); });
}

}  // extern "C"
