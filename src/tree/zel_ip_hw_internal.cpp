// Rule programming: the one learn/unlearn primitive of single-key trees,
// the key builder and rule programmer feature code uses, and the
// compressed address table.
//
// An LPM tree is an expanded prefix table in the engine: learning P/L
// writes P's range, and removing P means re-pointing P's range to the
// closest covering prefix. The engine does not know the covering prefix;
// the tree's subnet database does. Invariant kept by zel_ipv4_lpm_rule:
//
//     database = { empty key -> default action }            (from start-up)
//              + { every prefix learnt into the tree -> its action }
//              + { every full-length key once learnt and since removed
//                  -> default action }
//
// The database is one bit wider than the tree. Every key handed to it is
// the entry key made one bit longer (a 0 bit in front, since patterns hold
// their bits right-aligned), so the empty key is the 1-bit prefix 0 and
// covering relations are kept:
//
//     tree key    VRD(6) | address prefix (p bits)          len 6+p
//     db key    0 | VRD(6) | address prefix (p bits)        len 7+p
//
// find-higher on the database answers the covering prefix's length plus
// one (the leading bit), hence the extent - 1 handed to the engine.
#include "tree/zel_ip_hw_internal.h"

#include <cstring>

#include "core/zel_ip_call.h"
#include "core/zel_ip_priv.h"
#include "tree/zel_ip_tree.h"

using namespace zel::ip;

namespace zel::ip {

void tree_changed(zel_module_t *m, const TreeRecord &t) {
    ZelIpPriv *priv = m ? static_cast<ZelIpPriv *>(m->priv) : nullptr;
    if (priv && priv->compacting_tree == t.id) priv->compacting_tree = 0;
}

}  // namespace zel::ip

namespace {

// Database delete of the key made one bit longer (subnet_delete trace).
uint32_t subnet_delete(zel_module_t *m, TreeRecord &t) {
    OneBitLonger longer(t.key);
    trace_pattern(m, Trace::kSubnetDelete, ZEL_SITE, t.id, &t.key, -1, nullptr);
    uint32_t st = hwe_subnet_del_subnet(t.subnet_db, &t.key);
    if (st == 0) return 0;
    return ZFAIL_ERROR(m, ZEL_E_SUBNET_DELETE, "RTE Error: %s, Failed to delete from subnet database\n",
                       hwe_status_get(st));
}

// Database add of the key made one bit longer (subnet_add trace).
uint32_t subnet_add(zel_module_t *m, TreeRecord &t, const hwe_action_t &action, bool is_default) {
    OneBitLonger longer(t.key);
    trace_pattern(m, Trace::kSubnetAdd, ZEL_SITE, t.id, &t.key, -1, &action);
    uint32_t st = hwe_subnet_add_subnet(t.subnet_db, &t.key, &action);
    if (st == 0) return 0;
    if (is_default)
        return ZFAIL_ERROR(m, ZEL_E_SUBNET_ADD,
                           "RTE Error: %s, Failed to add default input pattern to subnet\n",
                           hwe_status_get(st));
    return ZFAIL_ERROR(m, ZEL_E_SUBNET_ADD, "RTE Error: %s, Failed to add input pattern to subnet\n",
                       hwe_status_get(st));
}

// Add or replace.
uint32_t learn(zel_module_t *m, TreeRecord &t, const hwe_action_t &action) {
    // 1-2. The engine entry.
    trace_pattern(m, Trace::kPtnLearn, ZEL_SITE, t.id, &t.key, -1, &action);
    uint32_t st = hwe_ptn_learn(m->engine, t.id, &t.key, &action);
    if (st != 0)
        return ZFAIL_ERROR(m, ZEL_E_PTN_LEARN, "RTE Error: %s, Failed to learn the input pattern\n",
                           hwe_status_get(st));
    // 3. The tree changed under a running compaction.
    tree_changed(m, t);
    // 4. Exact-match trees have no database.
    if (!t.lpm) return 0;
    // 5. A full-length key drops its previous database entry first (the
    //    database accepts deleting a key that is not there).
    if (t.key.len == t.width) {
        if (uint32_t d = subnet_delete(m, t)) return d;
    }
    // 6. The prefix with its action, for a later removal of a longer one.
    return subnet_add(m, t, action, false);
}

// Remove; for an LPM prefix the range falls back to the covering prefix.
uint32_t unlearn(zel_module_t *m, TreeRecord &t, hwe_action_t &action) {
    const uint32_t len = t.key.len;
    // 1. Extent and replacement action.
    uint32_t extent = t.width;
    if (t.lpm && len < t.width) {
        uint32_t db_extent = 0;
        hwe_action_t covering{};
        uint32_t st;
        {
            OneBitLonger longer(t.key);
            st = hwe_subnet_find_higher_subnet(t.subnet_db, &t.key, &db_extent, &covering);
            if (st == 0)
                trace_pattern(m, Trace::kSubnetGet, ZEL_SITE, t.id, &t.key,
                              static_cast<int>(db_extent), &covering);
        }
        if (st != 0)
            return ZFAIL_ERROR(m, ZEL_E_SUBNET_FIND, "RTE Error: %s, Failed to find higher subnet\n",
                               hwe_status_get(st));
        // The caller's record is rewritten only once the covering prefix
        // is known, so a failed search leaves it as it was.
        action = covering;
        extent = db_extent - 1;  // the database counts the leading bit
    }
    // 2-3. The engine entry: removed, or its range re-pointed.
    trace_pattern(m, Trace::kPtnUnlearn, ZEL_SITE, t.id, &t.key, static_cast<int>(extent), &action);
    const uint32_t flag = t.tree_flags == 0 ? 1 : 0;
    uint32_t st = hwe_ptn_unlearn(m->engine, t.id, &t.key, extent, &action, flag);
    if (st != 0)
        return ZFAIL_ERROR(m, ZEL_E_PTN_UNLEARN, "RTE Error: %s, Failed to unlearn the input pattern\n",
                           hwe_status_get(st));
    // 4.
    tree_changed(m, t);
    // 5.
    if (!t.lpm) return 0;
    // 6. The prefix leaves the database.
    if (uint32_t d = subnet_delete(m, t)) return d;
    // 7. A full-length key stays, with the default action.
    if (len == t.width) return subnet_add(m, t, t.default_action, true);
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ipv4_lpm_rule(zel_module_t *module, zel_ip_tree_record_t *rec, uint32_t op,
                           hwe_action_t *action) {
    // Callers pass a valid record of a single-key tree with a key built to
    // its layout, and an action record; the primitive does not re-check
    // what the layouts guarantee.
    if (op != kRuleUnlearn) return learn(module, *rec, *action);
    return unlearn(module, *rec, *action);
}

uint32_t zel_ip_address_compress(zel_module_t *module, uint32_t addr, uint32_t vrd_id,
                                 uint32_t op, uint32_t *index) {
    ZelIpPriv *priv = module_priv(module);
    // Address 0 marks a free slot: storing it would hand out an index the
    // next store takes again, and finding it would answer a free slot. No
    // interface address is 0, so it is refused in every operation.
    if (!priv || addr == 0) return 0;
    AddrSlot *slots = priv->addr_table;
    switch (op) {
        case 0:  // store: first free slot; duplicates are not looked for
            if (!index) return 0;
            for (uint32_t i = 0; i < kAddrSlots; ++i) {
                if (slots[i].addr == 0) {
                    slots[i] = {addr, vrd_id};
                    *index = i;
                    return 1;
                }
            }
            return 0;
        case 1:  // remove: first exact match
            for (uint32_t i = 0; i < kAddrSlots; ++i) {
                if (slots[i].addr == addr && slots[i].vrd_id == vrd_id) {
                    slots[i] = {0, 0};
                    return 1;
                }
            }
            return 0;
        default:  // find: first exact match
            if (!index) return 0;
            for (uint32_t i = 0; i < kAddrSlots; ++i) {
                if (slots[i].addr == addr && slots[i].vrd_id == vrd_id) {
                    *index = i;
                    return 1;
                }
            }
            return 0;
    }
}

}  // extern "C"

namespace zel::ip {

uint32_t key_build(TreeRecord &t, const KeyField *fields, size_t count) {
    uint32_t sum = zel_ptn_clear(&t.key);
    for (size_t i = 0; i < count; ++i) sum += zel_ptn_extend(&t.key, fields[i].value, fields[i].bits);
    return sum;
}

uint32_t key_build_own_status(TreeRecord &t, const KeyField *fields, size_t count) {
    if (uint32_t st = zel_ptn_clear(&t.key)) return st;
    for (size_t i = 0; i < count; ++i)
        if (uint32_t st = zel_ptn_extend(&t.key, fields[i].value, fields[i].bits)) return st;
    return 0;
}

uint32_t key_build(TreeRecord &t, std::initializer_list<KeyField> fields) {
    return key_build(t, fields.begin(), fields.size());
}

namespace {

// A caller's fixed message at FATAL with the status text; written as a
// message without arguments is (a newline added when it has none).
uint32_t fail_fixed(zel_module_t *m, uint32_t status, Site s, const char *msg) {
    size_t n = std::strlen(msg);
    bool has_newline = n > 0 && msg[n - 1] == '\n';
    return fail(m, Level::kFatal, status, s, true, has_newline ? "%s" : "%s\n", msg);
}

}  // namespace

uint32_t rule_program(zel_module_t *m, TreeRecord &t, std::initializer_list<KeyField> fields,
                      uint32_t op, hwe_action_t &action, const char *rule_msg, Site s,
                      const char *build_msg) {
    return rule_program(m, t, fields.begin(), fields.size(), op, action, rule_msg, s, build_msg);
}

uint32_t rule_program(zel_module_t *m, TreeRecord &t, const KeyField *fields, size_t count,
                      uint32_t op, hwe_action_t &action, const char *rule_msg, Site s,
                      const char *build_msg) {
    if (uint32_t st = key_build(t, fields, count)) return fail_fixed(m, fatal(st), s, build_msg);
    if (uint32_t st = zel_ipv4_lpm_rule(m, &t, op, &action)) return fail_fixed(m, fatal(st), s, rule_msg);
    return 0;
}

}  // namespace zel::ip
