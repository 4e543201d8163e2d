// Programming the OtreeSet trees: basic filters (34) and association flow
// filters (35).
//
// An OtreeSet rule is keyed by a vector of patterns, one per field of the
// tree's layout (layout::VectorLayout), the first naming the rule's set
// (rule set id, association flow). A rule is identified by its set and
// its rule index; a delete and a build give the set pattern alone:
//
//   insert / modify   {SET  f1  f2 ...}  rule index  value
//   delete            {SET}              rule index
//   build             {SET}
//
// Edits are staged by the engine; only a build makes the set's packets
// see them. The patterns are the tree's key buffers in the private block
// (VectorKeyBuffer): made with the fields' widths at the tree's first
// rule, cleared and extended for every call, freed at shutdown, so no
// call leaves a pattern behind when a free fails.
//
// Contract: the caller holds the module write lock.
#ifndef ZEL_IP_OTREESET_H
#define ZEL_IP_OTREESET_H

#include <cstdint>

#include "core/zel_ip_log.h"
#include "core/zel_ip_priv.h"
#include "tree/zel_ip_layout.h"

namespace zel::ip {

// Operations of otreeset_rule (the rule programming calls' numbering).
enum class SetRuleOp : uint32_t { kInsert = 0, kDelete = 1, kModify = 2 };

// Inserts, deletes or modifies rule `rule_idx` of tree `tree` (34 or 35).
// `key` gives every field for an insert; a delete and a modify read its
// set field only. `action` is the rule's value (insert, modify). With the
// pattern trace on, the call prints "<tree>: (<idx>) {<key>} <value>".
// Failures (logged at FATAL with the engine's text):
//   "Could not build the input pattern": the builder's status, severity 1;
//   insert, modify: "Failed to insert rule in the OtreeSet, RTE Error: %s\n",
//     0x1030010 when the engine refuses the rule index, else 0x1004e;
//   delete: "Failed to delete the OtreeSet rule, RTE Error: %s\n",
//     0x1030010 when the set has no such rule, else 0x1004f.
uint32_t otreeset_rule(zel_module_t *m, ZelIpPriv &p, uint32_t tree, uint32_t rule_idx,
                       const layout::VectorKey &key, SetRuleOp op, const hwe_action_t *action, Site s);

// Compiles the set of `set_key` (its set field): "Could not build the
// input pattern" as above, or "Failed to build the OtreeSet, RTE Error:
// %s\n", 0x10051.
uint32_t otreeset_build(zel_module_t *m, ZelIpPriv &p, uint32_t tree, const layout::VectorKey &set_key,
                        Site s);

// Frees the key buffers (shutdown). A pattern whose free fails is kept
// and freed by the next call; returns the first failing status.
uint32_t otreeset_keys_free(ZelIpPriv &p);

}  // namespace zel::ip

#endif  // ZEL_IP_OTREESET_H
