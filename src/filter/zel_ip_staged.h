// Staged commit of a rule-set tree: the one driver behind the commits of
// extended and basic filters and of policy routing.
//
// Edits of a set's rules reach the engine at once but packets see them
// only once the set is compiled; what a deleted or modified rule held
// for the compiled set waits on the set's pending list until then. A
// commit therefore:
//
//   mode 0 (one set)   build the set ──ok──────────────► release its list
//                          │ HWE_E_REBUILD (the engine
//                          ▼ wants the whole tree)
//   mode 1 (all sets)  rebuild the tree ──ok──► release the list of every
//                                                live set, ids 1 to 32
//
// A build or rebuild that fails leaves every list as it was (the commit
// can be repeated). The release is the caller's (filter rules free ids,
// CPU-path entries and records; policy routes free their action entries)
// and returns 0 or the status of its last failed step; what it could not
// release stays listed for the next commit, which builds again first.
//
// Runs under the module write lock; takes none.
#ifndef ZEL_IP_STAGED_H
#define ZEL_IP_STAGED_H

#include <cstdint>

#include "core/zel_ip_call.h"

namespace zel::ip {

struct StagedTree {
    uint32_t tree;  // catalogue index of the rule-set tree
    // Compiles the set `set_id` (an engine status; HWE_E_REBUILD asks for
    // the rebuild). The failure text is the driver's.
    uint32_t (*build)(Call &c, uint32_t tree, uint32_t set_id);
    // Rebuilds every set; NULL: the tree has no rebuild and a
    // HWE_E_REBUILD answer is a build failure like any other.
    uint32_t (*rebuild)(Call &c, uint32_t tree);
    const char *build_fail;    // "..., RTE Error: %s\n" with the engine's text
    uint32_t build_status;
    const char *rebuild_fail;
    uint32_t rebuild_status;
    // Releases the pending list of the live set `set_id`; does nothing for
    // an id without a set. 0 or the status of its last failed step.
    uint32_t (*release)(Call &c, uint32_t set_id);
};

// The commit of `set_id` (mode 0) or of every set (mode 1). The caller has
// checked the mode and, for mode 0, the set.
uint32_t staged_commit(Call &c, const StagedTree &t, uint32_t mode, uint32_t set_id);

// The 8-bit set-key pattern of an OVtreeSet rule or build (the rule set
// or policy set id), in the private block's set_key buffer: made with the
// pattern builder at first use, freed at shutdown. 0 or the builder's
// status.
uint32_t set_key(ZelIpPriv &p, uint32_t set_id, const zel_ptn_t **out);

// Builds of the OVtreeSet trees: the set key pattern is the 8-bit id.
uint32_t ovtreeset_build(Call &c, uint32_t tree, uint32_t set_id);
uint32_t ovtreeset_rebuild(Call &c, uint32_t tree);

}  // namespace zel::ip

#endif  // ZEL_IP_STAGED_H
