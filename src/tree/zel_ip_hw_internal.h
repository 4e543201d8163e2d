// The tree layer's internal operations, exported by the library with C
// linkage: the FPL tree catalogue (resolving trees and flow functions at
// start-up, tearing trees down at shutdown), the one learn/unlearn
// primitive with the subnet database protocol of LPM trees, and the
// compressed address table.
//
// None of these takes the module lock: their callers (start-up, shutdown
// and the configuration operations) hold it. Codes are returned without a
// severity unless stated; callers add theirs.
#ifndef ZEL_IP_HW_INTERNAL_H
#define ZEL_IP_HW_INTERNAL_H

#include <cstdint>

#include "tree/zel_ip_tree_types.h"
#include "zel_fw.h"

namespace zel::ip {

// Raises a key's length by one for a subnet database call (the database is
// one bit wider than its tree) and restores it when the scope ends,
// whether the call succeeded or not.
class OneBitLonger {
public:
    explicit OneBitLonger(zel_ptn_t &key) : key_(key) { ++key_.len; }
    ~OneBitLonger() { --key_.len; }
    OneBitLonger(const OneBitLonger &) = delete;
    OneBitLonger &operator=(const OneBitLonger &) = delete;

private:
    zel_ptn_t &key_;
};

// Every successful change to the engine entries of tree `t` (a learn, an
// unlearn, a teardown) reports here: when `t` is the tree under
// compaction, compacting_tree is cleared, which tells the compaction
// (waiting with the module lock released) that its tree changed. The one
// place that rule lives. Caller holds the module lock.
void tree_changed(zel_module_t *m, const TreeRecord &t);

}  // namespace zel::ip

// The records behind the C-linkage signatures below.
using zel_ip_tree_record_t = zel::ip::TreeRecord;
using zel_ip_flow_func_record_t = zel::ip::FlowFuncRecord;

extern "C" {

// ---- Catalogue (zel_ip_hw_catalogue.cpp) --------------------------------

// Fill `rec` for flow function `index` (0 to 22): its "zel_ip." name and
// engine id. Returns 0, 8 (index out of range or no record; record
// untouched; in the anonymous form when `module` cannot be followed),
// 0x30001 (a bad module handle with good arguments) or 63 (symbol missing
// from the image).
uint32_t zel_ip_get_fpl_flow_func_info(zel_module_t *module, uint32_t index,
                                       zel_ip_flow_func_record_t *rec);

// Prepare `rec` for tree `index` (0 to 37): catalogue fields, engine id,
// default action (function ids resolved), key buffer and, for LPM trees,
// the subnet database holding the default action under the empty key;
// then print the tree's memory report. Returns 0, 8 (refused as for
// zel_ip_get_fpl_flow_func_info), 0x30001, 18 (key buffer),
// 58 (database create), 60 (default pattern add) or 63 (symbol missing).
// On failure the record holds what was made so far (key buffer, database)
// for the caller to release.
uint32_t zel_ipv4_get_tree_info(zel_module_t *module, uint32_t index, zel_ip_tree_record_t *rec);

// Set `listable` for `index`: 1 for trees 0 to 32 and 37, 0 for the
// rule-set trees 33 to 36. Returns 0 or 8 (the anonymous form when
// `module` cannot be followed); the module is not used otherwise.
uint32_t zel_ipv4_update_tree_info(zel_module_t *module, uint32_t index, zel_ip_tree_record_t *rec);

// Tear one tree down: destroy its subnet database, empty the engine tree
// back to the default action, clear compacting_tree if it names the tree,
// free the key buffer. Returns 0, 59, 66, the builder's status with
// severity 1, or the key free's status. A step that succeeded is not
// redone by a later call (the database handle and key buffer are cleared
// as they go).
uint32_t zel_ipv4_del_fpl_tree_info(zel_module_t *module, zel_ip_tree_record_t *rec);

// Tear down all 38 trees in index order; stops at the first failure and
// returns it. Trees already torn down by an earlier call are skipped.
uint32_t zel_ipv4_clear_tree_info(zel_module_t *module);

// ---- Rule programming (zel_ip_hw_internal.cpp) ---------------------------

// Learn (op != 0) or unlearn (op 0) the entry whose key the caller built in
// rec->key, keeping an LPM tree's subnet database in step. For an unlearn
// of a prefix shorter than the key width on an LPM tree, `action` is
// rewritten with the covering prefix's action, which the range falls back
// to. Returns 0, 60, 61, 62, 64 or 65; the key length is always restored.
uint32_t zel_ipv4_lpm_rule(zel_module_t *module, zel_ip_tree_record_t *rec, uint32_t op,
                           hwe_action_t *action);

// Compressed address table: op 0 stores {addr, vrd_id} in the first free
// slot and writes its index; op 1 clears the first slot holding exactly
// the pair; any other op finds the pair's index. Returns 1 on success, 0
// when no slot qualifies. Address 0 marks a free slot and is never stored
// or found.
uint32_t zel_ip_address_compress(zel_module_t *module, uint32_t addr, uint32_t vrd_id,
                                 uint32_t op, uint32_t *index);

}  // extern "C"

#endif  // ZEL_IP_HW_INTERNAL_H
