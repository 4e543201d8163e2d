// Value layouts of the rule-set trees: policy routes (33), basic and
// extended filters (34, 36) and association flow filters (35). Their keys
// are the vector and range layouts of zel_ip_layout.h.
#ifndef ZEL_IP_LAYOUT_FILTER_H
#define ZEL_IP_LAYOUT_FILTER_H

#include "tree/zel_ip_layout.h"

namespace zel::ip::layout {

// ---- trees 34, 36: the filter value ------------------------------------------
namespace filter {

// W1 = FLOW-ID: the upper 24 bits of the rule's 28-bit flow key. W2:
// action type in bits 0-1 (1 Allow, 2 Deny, 3 Send-To-CPU; 0 reads as
// Deny), counter bit 2, policing bit 3, NCA delivery bit 4 (with
// Send-To-CPU; clear: PH), assigned DSCP bits 10-15, DSCP remap bit 16,
// RULE-KEY (the lower 4 bits of the flow key) bits 20-23. A function
// entry is the trees' default (unknown rule set).
inline constexpr VField kActionType{2, 0, 2};
inline constexpr uint32_t kCounter = 1u << 2;
inline constexpr uint32_t kPolicing = 1u << 3;
inline constexpr uint32_t kViaNca = 1u << 4;
inline constexpr VField kAssignedDscp{2, 10, 6};
inline constexpr uint32_t kDscpRemap = 1u << 16;
inline constexpr VField kRuleKey{2, 20, 4};

enum class Action : uint8_t { kAllow = 1, kDeny = 2, kSendToCpu = 3 };

struct Value {
    uint32_t flow_id;
    uint8_t rule_key;
    Action action;
    bool counter;
    bool policing;
    bool via_nca;
    bool dscp_remap;
    uint8_t assigned_dscp;
};

// The two halves of a rule's 28-bit flow key.
constexpr uint32_t flow_id_of_key(uint32_t flow_key) { return flow_key >> 4; }
constexpr uint8_t rule_key_of_key(uint32_t flow_key) { return static_cast<uint8_t>(flow_key & 0xf); }

constexpr hwe_action_t encode(const Value &v) {
    hwe_action_t a = value_entry(v.flow_id, (v.counter ? kCounter : 0u) | (v.policing ? kPolicing : 0u) |
                                                (v.via_nca ? kViaNca : 0u) |
                                                (v.dscp_remap ? kDscpRemap : 0u));
    kActionType.put(a, static_cast<uint32_t>(v.action));
    kAssignedDscp.put(a, v.assigned_dscp);
    kRuleKey.put(a, v.rule_key);
    return a;
}
constexpr Value decode(const hwe_action_t &a) {
    uint32_t t = kActionType.get(a);
    return {a.w1,
            static_cast<uint8_t>(kRuleKey.get(a)),
            t == 0 ? Action::kDeny : static_cast<Action>(t),
            (a.w2 & kCounter) != 0,
            (a.w2 & kPolicing) != 0,
            (a.w2 & kViaNca) != 0,
            (a.w2 & kDscpRemap) != 0,
            static_cast<uint8_t>(kAssignedDscp.get(a))};
}

}  // namespace filter

// ---- tree 35, ip_ingress_association_flow_filter ------------------------------
namespace assoc_filter {

// Pass: kind 0 without data. Drop: a function entry calling the tree's
// default function ("zel_ip.ip_association_flow_filter_drop").
constexpr hwe_action_t pass() { return value_entry(0, 0, HWE_ACTION_NONE); }
constexpr hwe_action_t drop(uint32_t drop_fn_id) { return function_entry(drop_fn_id); }
constexpr bool drops(const hwe_action_t &a) { return a.kind == HWE_ACTION_FUNC; }

}  // namespace assoc_filter

// ---- tree 33, ip_pbr_lookup ---------------------------------------------------
namespace pbr {

// W1 = the rule's NS ID (its PBR-RULE-ID, the key of its tree-3 entry),
// learnt with kind 0. A function entry is the default: route by
// destination.
constexpr hwe_action_t encode(uint32_t rule_ns_id) { return value_entry(rule_ns_id, 0, HWE_ACTION_NONE); }
constexpr uint32_t rule_id(const hwe_action_t &a) { return a.w1; }

// Positions of the eight ranges of a tree-33 rule.
enum RangeIdx : uint8_t { kPcp, kDscp, kFrag, kProto, kSrcAddr, kDestAddr, kSport, kDport, kRangeCount };
inline constexpr uint32_t kPcpBits = 3;
inline constexpr uint32_t kDscpBits = 8;  // the type-of-service byte
inline constexpr uint32_t kFragBits = 2;

// FRAG-TYPE ranges of a policy route's fragment selector 0 to 4.
constexpr zel_rptn_t frag_range(uint32_t frag_type) {
    switch (frag_type) {
    case 0: return {2, 0, 0};
    case 1: return {2, 0, 2};
    case 2: return {2, 2, 3};
    case 3: return {2, 2, 2};
    case 4: return {2, 3, 3};
    default: return range_full(2);
    }
}

}  // namespace pbr

}  // namespace zel::ip::layout

#endif  // ZEL_IP_LAYOUT_FILTER_H
