// Records of policy-based routing: the policy set record (the policy set
// handle points here) and the body of a policy rule's flow record. Data
// only, so that the flow record (src/flow) and the private block can hold
// them without depending on the PBR code.
#ifndef ZEL_IP_PBR_TYPES_H
#define ZEL_IP_PBR_TYPES_H

#include <cstdint>

#include "zel_ip/zel_ip_pbr.h"

namespace zel::ip {

inline constexpr uint32_t kMaxPbrPending = 16;  // deletions a set holds until a commit

// Body of a policy rule (flow kind kFlowPbrRule); the flow header's NS ID
// is the rule's id.
struct PbrRule {
    zel_ip_pbr_rule_t desc;  // the caller's descriptor, its action the current one
    // Module-side bookkeeping after the documented fields.
    uint32_t rule_idx;       // the rule's position in its set (tree-33 rule index)
    const void *tunnel;      // the tunnel its action goes into (in use), or NULL
};

// One id on a set's pending list.
struct PbrPending {
    uint32_t ns_id;
    bool action_gone;    // its tree-3 entry is withdrawn already
    const void *tunnel;  // the tunnel its action went into, in use until released
};

}  // namespace zel::ip

// A policy set. Fields in the documented order (magic, id, pending count,
// pending ids); the record comes zeroed from obj_alloc (kind kPolicySet).
struct zel_ip_policy_set {
    uint32_t magic;  // kPolicySetMagic while the set exists
    uint32_t id;     // 1 to 32: the set-key pattern of its rules in tree 33
    uint32_t pending_count;
    zel::ip::PbrPending pending[zel::ip::kMaxPbrPending];  // deleted since the last commit
};

#endif  // ZEL_IP_PBR_TYPES_H
