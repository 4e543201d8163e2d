// The module private block: one per module instance, allocated zeroed at
// start-up, attached to the module handle (priv) only when start-up has
// completed, freed at shutdown. Every field is changed only under the
// module write lock.
#ifndef ZEL_IP_PRIV_H
#define ZEL_IP_PRIV_H

#include <cstdint>

#include "core/zel_ip_limits.h"
#include "core/zel_ip_objects.h"
#include "hwe.h"
#include "tree/zel_ip_tree_types.h"

namespace zel::ip {

class Ledger;  // tree/zel_ip_ledger.h

inline constexpr uint32_t kAddrSlots = 256;

// One slot of the compressed address table: its index is the 8-bit
// compressed form of {address, VRD ID}. Address 0 marks a free slot.
struct AddrSlot {
    uint32_t addr;
    uint32_t vrd_id;
};

// One outer match (tree-4 entry) a tunnel holds, in the index that
// finds a tunnel by it: owner = tunnel id + 1, 0 marks a free slot.
struct OuterIndexSlot {
    uint32_t remote;
    uint32_t local;
    uint8_t proto;
    uint8_t vrd_id;
    uint16_t owner;
};
// Twice the outer matches 576 tunnels can hold (4 each): never full.
inline constexpr uint32_t kOuterIndexSlots = 8192;

struct ZelIpPriv {
    uint32_t magic;  // kPrivMagic while valid
    TreeRecord trees[kNumTrees];
    FlowFuncRecord flow_funcs[kNumFlowFuncs];
    uint32_t global_stats_ns_id;
    uint32_t default_egress_assoc_flow_id;
    // Namespaces found at start-up.
    hwe_rsrc_t *if_stats_rsrc;
    hwe_rsrc_t *qos_stats_rsrc;
    hwe_rsrc_t *ingress_assoc_rsrc;
    hwe_rsrc_t *egress_assoc_rsrc;
    hwe_rsrc_t *pbr_stats_rsrc;
    hwe_rsrc_t *filter_stats_rsrc;
    // Namespaces created at start-up.
    hwe_rsrc_t *egress_flow_ids_rsrc;
    hwe_rsrc_t *filter_rule_set_ids_rsrc;
    hwe_rsrc_t *pbr_policy_set_ids_rsrc;
    hwe_rsrc_t *vrd_ids_rsrc;
    // Shutdown progress: a shutdown repeated after a failed one goes on
    // where that one stopped and never releases anything twice.
    uint64_t trees_released;  // bit i: tree i torn down
    uint32_t shutdown_steps;  // last shutdown step completed, 0 = none
    // Which start-up made the block (process-wide count, never 0): a
    // compaction that let go of the lock tells its own instance from one
    // a shutdown and a start-up in the meantime may have put at the same
    // address.
    uint64_t instance;
    // Per-object tables.
    zel_ip_vrd *vrd_table[kMaxVrds];  // by VRD ID; slot 63 stays empty
    // Live tunnels by tunnel id: an id names one tunnel (its CPU path and
    // tree-6 entry are keyed by it), and a tunnel's outer match is checked
    // against the others'.
    zel_ip_tunnel *tunnel_table[kMaxTunnels];
    // The outer matches every tunnel holds, by {outer VRD, protocol,
    // remote, local}: linear probing, deletion shifts the run back.
    OuterIndexSlot outer_index[kOuterIndexSlots];
    // Filter rule sets by id (1 to 32; slot 0 stays empty).
    zel_ip_rule_set *rule_set_table[kRuleSetIdBase + kRuleSetIdCount];
    uint64_t rule_set_serial;  // of the last rule set created
    // Set-key pattern of the OVtreeSet calls (filter/zel_ip_staged.h):
    // made at first use, freed at shutdown.
    zel_ptn_t set_key;
    // Exception handlers: bit (domain << 4 | type) of [0] is set while the
    // pair has an entry in tree 13, of [1] while it has one in tree 15. The
    // engine refuses to remove an entry that is not there, so a removal
    // that stopped between the two trees must know which one is left.
    uint64_t exception_entries[2];
    // Lookup keys of the ingress associations (src/flow): a table record
    // of the module, allocated at the first association that needs it and
    // freed with the module's records at shutdown.
    void *assoc_index;
    // Interface and next hop of every egress flow (src/flow), allocated
    // like assoc_index: one egress flow per tree-29 key.
    void *egress_flow_index;
    // Users of the filter CPU-path entries by flow key (src/filter,
    // zel_ip_filter_keys.h), allocated like assoc_index and replaced by a
    // larger record when it fills up.
    void *filter_keys;
    // Ingress association ids whose own tree-19 entry (keyed by the id
    // itself) the engine may hold: a bitmap over "ip_ingress_assoc",
    // made at the first association that delivers to the CPU, freed with
    // the module's records (filter/zel_ip_filter_keys.h).
    uint64_t *assoc_queue_ids;
    // Who holds the address-tree entries and INTF-IDs objects program
    // (tree/zel_ip_ledger.h); made at start-up, deleted at shutdown.
    Ledger *ledger;
    // VRD ids a failed domain create could not give back, and the source
    // entries it could not withdraw (bit 0-2: kInvalidSources order, bit
    // 3: the id itself): settled by the next domain create or delete.
    uint8_t vrd_leftovers[kMaxVrds];
    uint8_t default_ttl;
    // Policy-based routing (src/filter): the policy sets by id (slot 0
    // unused), the W1 of the tree-37 catch-all for the locally originated
    // traffic of every domain (0: no entry), and per VRD ID the policy set
    // id its tree-37 entry names (0: no entry). A slot's address is the
    // user a policy set's use records.
    zel_ip_policy_set *pbr_sets[kPolicySetIdCount + 1];
    uint32_t pbr_global_w1;
    uint8_t pbr_vrd_set[kMaxVrds];
    // Key buffers of the OtreeSet trees 34 and 35 (tree/zel_ip_otreeset.h).
    VectorKeyBuffer otreeset_keys[kOtreeSetTrees];
    // Functions of custom binds by index (1 to 255; 0 = free slot, index
    // 0 never used): lookup entries carry the index, tree 28 maps each
    // used index to its function. Slots are never released.
    uint32_t bind_fn_table[256];
    // Tree compaction (tree/zel_ip_compact.cpp): the id of the tree under
    // compaction, 0 = none; cleared by every change to that tree
    // (tree_changed), which is how a compaction that let go of the lock
    // learns that the tree changed meanwhile.
    uint32_t compacting_tree;
    uint32_t compaction_status;  // tree index the next compaction pass starts at
    AddrSlot addr_table[kAddrSlots];  // last field
};

}  // namespace zel::ip

#endif  // ZEL_IP_PRIV_H
