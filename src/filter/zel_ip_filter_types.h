// Records of the filters: the rule set (with its pending lists) and the
// body of a filter rule's flow record.
//
// A rule set is {magic, id, basic pending list, extended pending list};
// the private block's rule_set_table holds it at slot `id` (1 to 32).
// A filter rule is a flow record (zel_ip_flow, kind kFlowExtFilterRule or
// kFlowBasicFilterRule) whose body is a FilterRule.
//
// Pending list: the rules of one kind deleted or modified in the set
// since its last commit, in that order, with what each still holds for
// the compiled set (its previous flow key's policing and CPU-path
// entries; a deleted rule's statistics id and record). A commit that
// compiled the set releases them (filter/zel_ip_filter_pvt.h).
#ifndef ZEL_IP_FILTER_TYPES_H
#define ZEL_IP_FILTER_TYPES_H

#include <cstdint>

#include "zel_ip/zel_ip_basic_filter.h"
#include "zel_ip/zel_ip_filter.h"

struct zel_ip_flow;

namespace zel::ip {

inline constexpr uint32_t kMaxRuleSets = 32;  // ids 1 to 32
inline constexpr uint32_t kMaxPending = 64;   // per list

struct PendingList {
    uint32_t count;                     // 0 to 64
    zel_ip_flow *rules[kMaxPending];    // in the order they became pending
    uint8_t police[kMaxPending];        // 1: the previous action policed
    uint8_t cpu_path[kMaxPending];      // 1: the previous action was Send-To-CPU
    // Bookkeeping after the documented fields.
    uint32_t old_key[kMaxPending];      // flow key the entries to release carry
    uint8_t left[kMaxPending];          // PendingLeft bits still to do
};

// What a pending entry still has to release. A release that fails keeps
// its bit (and the entry) for the next commit.
enum PendingLeft : uint8_t {
    kLeftKeySwitch = 1u << 0,  // modified: take the reprogrammed flow key
    kLeftPolicing = 1u << 1,   // a use of tree 16 under old_key (filter/zel_ip_filter_keys.h)
    kLeftParam = 1u << 2,      // a use of trees 17, 18 under old_key
    kLeftQueue = 1u << 3,      // a use of tree 19 under old_key
    kLeftNsId = 1u << 4,       // deleted: the statistics id
    kLeftRecord = 1u << 5,     // deleted: the record (last)
};

// Body of a filter rule after the flow head.
struct FilterRule {
    zel_ip_rule_set *rule_set;
    uint32_t flow_key;  // FLOW-ID << 4 | RULE-KEY, as the compiled set knows it
    union {
        zel_ip_filter_rule_t ext;          // kFlowExtFilterRule
        zel_ip_basic_filter_rule_t basic;  // kFlowBasicFilterRule
    } rule;
    zel_ip_filter_action_t action;
    // Bookkeeping after the documented fields.
    uint32_t rule_idx;     // its index in the set: what the engine knows it by
    uint64_t set_serial;   // the serial of its set
    uint32_t pending_key;  // while a modify is pending: the key it programmed
    uint8_t pending;       // 1 while on its set's pending list
};

}  // namespace zel::ip

// The rule set record: the rule set handle points here.
struct zel_ip_rule_set {
    uint32_t magic;  // kRuleSetMagic while live
    uint32_t id;     // 1 to 32: the set key of its rules
    zel::ip::PendingList basic;  // basic rules
    zel::ip::PendingList ext;    // extended rules
    // Bookkeeping: a serial no other set of the module had, so that a
    // rule of a deleted set never takes a set made later at the same
    // address for its own.
    uint64_t serial;
};

#endif  // ZEL_IP_FILTER_TYPES_H
