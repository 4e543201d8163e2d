// Records of the tree layer kept in the module private block: one per FPL
// tree and one per FPL flow function. Data only; the catalogue, the rule
// primitive and teardown work on them (zel_ip_hw_internal).
#ifndef ZEL_IP_TREE_TYPES_H
#define ZEL_IP_TREE_TYPES_H

#include <cstdint>

#include "hwe.h"
#include "zel_fw.h"

namespace zel::ip {

inline constexpr uint32_t kNumTrees = 38;
inline constexpr uint32_t kNumFlowFuncs = 23;
inline constexpr uint32_t kFplNameLen = 100;

// One FPL tree, prepared at start-up and torn down at shutdown.
//   key: the tree's reusable key buffer; every user of the tree clears
//        and extends it, then hands the record to the rule primitive,
//        all under the module lock.
//   subnet_db: for longest-prefix-match trees (lpm = 1), a database one
//        bit wider than the key holding every learnt prefix and, under the
//        empty key, the default action.
struct TreeRecord {
    uint32_t id;               // engine tree id
    uint32_t width;            // key width in bits; 0 for rule-set trees
    uint32_t init_table_size;  // from hwe_ptn_fn_stats at start-up
    zel_ptn_t key;
    hwe_action_t default_action;
    uint8_t lpm;
    hwe_subnet_db_t *subnet_db;
    uint8_t listable;          // has a row decoder in the table dump
    uint32_t tree_flags;
    uint32_t dump_groups;      // table-dump group mask
};

// Reusable key buffers of an OtreeSet tree (34, 35): one pattern per
// vector field, each made with its field's width the first time a rule of
// the tree is programmed and freed with the trees at shutdown. Every user
// clears and extends them under the module lock, as with `key` above.
inline constexpr uint32_t kVectorKeyPatterns = 5;
inline constexpr uint32_t kOtreeSetTrees = 2;  // trees 34 and 35
struct VectorKeyBuffer {
    zel_ptn_t ptns[kVectorKeyPatterns];
    uint8_t made;  // every pattern exists (a pattern exists while its bits are set)
};

// One FPL flow function, resolved at start-up.
struct FlowFuncRecord {
    uint32_t id;
    char name[kFplNameLen];
};

}  // namespace zel::ip

#endif  // ZEL_IP_TREE_TYPES_H
