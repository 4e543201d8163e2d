// Value layouts of the flow trees: ingress associations (7, 8, 9, 14),
// egress associations and flows (10, 11, 12, 29), binding (28), NAPT (21)
// and QoS maps (30, 32). Key layouts: zel_ip_layout.h.
#ifndef ZEL_IP_LAYOUT_FLOW_H
#define ZEL_IP_LAYOUT_FLOW_H

#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_intf.h"

namespace zel::ip::layout {

// ---- trees 7, 14: one id in W1 ----------------------------------------------
// Tree 7 ip_flow_policing_lookup: W1 = POLICE-FLOW-ID (learnt with kind 0).
// Tree 14 ip_bind_dest_flow_lookup: W1 = FLOW-ID of the bound destination.
namespace id_w1 {
constexpr hwe_action_t encode(uint32_t id, uint32_t kind = HWE_ACTION_VALUE) {
    return value_entry(id, 0, kind);
}
constexpr uint32_t decode(const hwe_action_t &a) { return a.w1; }
}  // namespace id_w1

// ---- tree 8, ip_ingress_assoc_flow_lookup; tree 9 (compressed) -------------
namespace assoc {

// W1 bits 0 to 7: FPL IMC function index; 8 to 15: FPL flow function
// index. A bound flow without an IMC function has its flow function index
// in bits 0 to 7 and 0 in bits 8 to 15. W2: the association's FLOW-ID.
inline constexpr VField kImcIdx{1, 0, 8};
inline constexpr VField kFlowIdx{1, 8, 8};
inline constexpr uint32_t kDiscard = 1u << 20;
inline constexpr uint32_t kSendToCpu = 1u << 21;   // tested before Discard
inline constexpr uint32_t kFiltering = 1u << 22;   // tree 8 only
inline constexpr uint32_t kPolicing = 1u << 23;
inline constexpr VField kFlowId{2, 0, 24};

enum class Action : uint8_t { kBind, kDiscard, kSendToCpu };

struct Value {
    Action action;
    bool filtering;
    bool policing;
    uint8_t imc_idx;
    uint8_t flow_idx;
    uint32_t flow_id;
};

constexpr Action action_of(uint32_t w1) {
    return (w1 & kSendToCpu) ? Action::kSendToCpu : (w1 & kDiscard) ? Action::kDiscard : Action::kBind;
}

constexpr hwe_action_t encode(const Value &v) {
    hwe_action_t a = value_entry((v.action == Action::kSendToCpu ? kSendToCpu : 0u) |
                                     (v.action == Action::kDiscard ? kDiscard : 0u) |
                                     (v.filtering ? kFiltering : 0u) | (v.policing ? kPolicing : 0u),
                                 0);
    kImcIdx.put(a, v.imc_idx);
    kFlowIdx.put(a, v.flow_idx);
    kFlowId.put(a, v.flow_id);
    return a;
}
// A function entry is the association default action (not decoded here).
constexpr Value decode(const hwe_action_t &a) {
    return {action_of(a.w1),
            (a.w1 & kFiltering) != 0,
            (a.w1 & kPolicing) != 0,
            static_cast<uint8_t>(kImcIdx.get(a)),
            static_cast<uint8_t>(kFlowIdx.get(a)),
            kFlowId.get(a)};
}

// The two function indexes of a bound flow as W1 holds them: without an
// IMC function the flow function index moves to bits 0 to 7.
struct FnIdx {
    uint8_t imc_idx;
    uint8_t flow_idx;
};
constexpr FnIdx bound_fn_idx(uint8_t imc_idx, uint8_t flow_idx) {
    return imc_idx ? FnIdx{imc_idx, flow_idx} : FnIdx{flow_idx, 0};
}

}  // namespace assoc

// ---- tree 10, ip_egress_assoc_dip_lookup ----------------------------------
namespace egress_dip {

// Destination address bits 0 to 7 in W1 bits 0 to 7, bits 8 to 31 in W2;
// VRD-ID in W1 bits 8 to 13; PROTO in W1 bits 16 to 23.
inline constexpr VSplit kDip{{1, 0, 8}, {2, 0, 24}};
inline constexpr VField kVrdId{1, 8, 6};
inline constexpr VField kProto{1, 16, 8};

struct Value {
    uint32_t dip;
    uint8_t vrd_id;
    uint8_t proto;
};

constexpr hwe_action_t encode(const Value &v) {
    hwe_action_t a = value_entry(0, 0);
    kDip.put(a, v.dip);
    kVrdId.put(a, v.vrd_id);
    kProto.put(a, v.proto);
    return a;
}
constexpr Value decode(const hwe_action_t &a) {
    return {kDip.get(a), static_cast<uint8_t>(kVrdId.get(a)), static_cast<uint8_t>(kProto.get(a))};
}

}  // namespace egress_dip

// ---- tree 11, ip_egress_assoc_sip_mtu_lookup ------------------------------
// The source address and MTU sit exactly as in tree 22: one codec for both.
namespace egress_sip_mtu = intf_sip_mtu;

// ---- tree 12, ip_egress_assoc_info_lookup ---------------------------------
namespace egress_info {

inline constexpr uint32_t kUpdateL4Csum = 1u << 4;  // W2
inline constexpr uint32_t kEncapUdp = 1u << 5;      // W2; clear: IPv4
inline constexpr uint32_t kFlowSip = 1u << 6;       // W2; clear: the interface's
inline constexpr VField kUdpSport{2, 8, 16};
inline constexpr VField kUdpDport{1, 8, 16};

struct Value {
    bool update_l4_csum;
    bool encap_udp;
    bool flow_sip;
    uint32_t udp_sport;
    uint32_t udp_dport;
};

constexpr hwe_action_t encode(const Value &v) {
    hwe_action_t a = value_entry(0, (v.update_l4_csum ? kUpdateL4Csum : 0u) |
                                        (v.encap_udp ? kEncapUdp : 0u) | (v.flow_sip ? kFlowSip : 0u));
    kUdpSport.put(a, v.udp_sport);
    kUdpDport.put(a, v.udp_dport);
    return a;
}
constexpr Value decode(const hwe_action_t &a) {
    return {(a.w2 & kUpdateL4Csum) != 0, (a.w2 & kEncapUdp) != 0, (a.w2 & kFlowSip) != 0,
            kUdpSport.get(a), kUdpDport.get(a)};
}

}  // namespace egress_info

// ---- tree 21, ip_napt_lookup ----------------------------------------------
namespace napt {

// Translated address: bits 0 to 23 in W1, bits 24 to 31 in W2 bits 0 to
// 7; W2 bits 8 to 23: translated port (0: not translated). A W2 of
// exactly 224 (the tree's default 0/224) means no translation.
inline constexpr VSplit kAddr{{1, 0, 24}, {2, 0, 8}};
inline constexpr VField kPort{2, 8, 16};
inline constexpr uint32_t kNoTranslationW2 = 224;

struct Value {
    bool translated;
    uint32_t addr;
    uint32_t port;
};

constexpr hwe_action_t encode(uint32_t addr, uint32_t port) {
    hwe_action_t a = value_entry(0, 0);
    kAddr.put(a, addr);
    kPort.put(a, port);
    return a;
}
constexpr Value decode(const hwe_action_t &a) {
    return {a.w2 != kNoTranslationW2, kAddr.get(a), kPort.get(a)};
}

}  // namespace napt

// ---- tree 28, ip_custom_bind_imc_entry_fn_lookup --------------------------
namespace custom_bind {

// A function entry binds the key's FPL-FLOW-FN-IDX to the flow function
// in W1; a value entry carries no function.
constexpr hwe_action_t encode(uint32_t flow_fn_id) { return function_entry(flow_fn_id); }
constexpr bool has_function(const hwe_action_t &a) { return a.kind == HWE_ACTION_FUNC; }
constexpr uint32_t flow_fn_id(const hwe_action_t &a) { return a.w1; }

}  // namespace custom_bind

// ---- tree 29, ip_egress_flow_lookup ---------------------------------------
namespace egress_flow {

// W2 bits 0 to 7: FPL IMC function index, 8 to 15: FPL flow function index
// (the tree-8 rule for a missing IMC function applies). Both 0: W1 = the
// 24-bit egress flow id; otherwise W1 = the FLOW-ID of the bind.
inline constexpr VField kImcIdx{2, 0, 8};
inline constexpr VField kFlowIdx{2, 8, 8};
inline constexpr VField kBindFlowId{1, 0, 16};  // the part the dump shows

struct Value {
    uint8_t imc_idx;
    uint8_t flow_idx;
    uint32_t w1;  // egress flow id (no function) or the bound FLOW-ID

    constexpr bool bound() const { return imc_idx != 0 || flow_idx != 0; }
};

constexpr hwe_action_t encode(const Value &v) {
    hwe_action_t a = value_entry(v.w1, 0);
    kImcIdx.put(a, v.imc_idx);
    kFlowIdx.put(a, v.flow_idx);
    return a;
}
constexpr Value decode(const hwe_action_t &a) {
    return {static_cast<uint8_t>(kImcIdx.get(a)), static_cast<uint8_t>(kFlowIdx.get(a)), a.w1};
}

}  // namespace egress_flow

// ---- tree 30, ip_dscp_qos_lookup; tree 32, ip_if_dscp_pcp_lookup ----------
namespace dscp_qos {
// Tree 30: W1 = MTM queue id (learnt with kind 0, W2 = 0).
constexpr hwe_action_t encode(uint32_t mtm_q_id) { return value_entry(mtm_q_id, 0, HWE_ACTION_NONE); }
constexpr uint32_t mtm_q_id(const hwe_action_t &a) { return a.w1; }
}  // namespace dscp_qos

namespace dscp_pcp {
// Tree 32: W1 = PCP, W2 = MTM parameter index.
struct Value {
    uint32_t pcp;
    uint32_t mtm_param_idx;
};
constexpr hwe_action_t encode(const Value &v) { return value_entry(v.pcp, v.mtm_param_idx); }
constexpr Value decode(const hwe_action_t &a) { return {a.w1, a.w2}; }
}  // namespace dscp_pcp

}  // namespace zel::ip::layout

#endif  // ZEL_IP_LAYOUT_FLOW_H
