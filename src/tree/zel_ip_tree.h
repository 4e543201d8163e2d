// The tree layer as feature code sees it: one named constant per FPL tree
// and flow function index, a key builder and the one-call rule programmer.
//
// Programming an entry of a single-key tree (trees 0 to 32 and 37) is:
//
//     hwe_action_t a{HWE_ACTION_VALUE, w1, w2};
//     uint32_t st = ZRULE(c.m, c.priv->trees[kTreeDestAddr], kRuleLearn, a,
//                         "Failed to add the LPM rule in hardware\n",
//                         {vrd_id, 6}, prefix_field(addr, len));
//
// which clears the tree's key buffer, extends it field by field (first
// field most significant), learns or unlearns the entry through
// zel_ipv4_lpm_rule and maps either failure to a FATAL message with the
// status severity 1. Feature code never repeats clear/extend/sum/log.
//
// Contract: the caller holds the module write lock for the whole build and
// rule call, because a tree's key buffer is shared by every user of the
// tree.
#ifndef ZEL_IP_TREE_H
#define ZEL_IP_TREE_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "core/zel_ip_log.h"
#include "tree/zel_ip_tree_types.h"

namespace zel::ip {

// ---- Tree indexes (trees[index] of the private block) --------------------
inline constexpr uint32_t kTreeSrcAddr = 0;              // ip_src_addr_lookup (LPM)
inline constexpr uint32_t kTreeHostRouterMode = 1;       // Check_host_router_mode
inline constexpr uint32_t kTreeDestAddr = 2;             // ip_dest_addr_lookup (LPM)
inline constexpr uint32_t kTreePbrAction = 3;            // ip_pbr_action_lookup
inline constexpr uint32_t kTreeTunnelIf = 4;             // ip_tunnel_if_lookup
inline constexpr uint32_t kTreeTunnelPmtu = 5;           // ip_tunnel_pmtu_lookup
inline constexpr uint32_t kTreeTunnelIfId = 6;           // ip_tunnel_if_id_lookup
inline constexpr uint32_t kTreeFlowPolicing = 7;         // ip_flow_policing_lookup
inline constexpr uint32_t kTreeIngressAssocFlow = 8;     // ip_ingress_assoc_flow_lookup (LPM)
inline constexpr uint32_t kTreeCompIngressAssocFlow = 9; // ip_comp_ingress_assoc_flow_lookup
inline constexpr uint32_t kTreeEgressAssocDip = 10;      // ip_egress_assoc_dip_lookup
inline constexpr uint32_t kTreeEgressAssocSipMtu = 11;   // ip_egress_assoc_sip_mtu_lookup
inline constexpr uint32_t kTreeEgressAssocInfo = 12;     // ip_egress_assoc_info_lookup
inline constexpr uint32_t kTreeException = 13;           // ip_exception_lookup
inline constexpr uint32_t kTreeBindDestFlow = 14;        // ip_bind_dest_flow_lookup
inline constexpr uint32_t kTreeExceptionPathParam = 15;  // ip_exception_path_param_lookup
inline constexpr uint32_t kTreeFilterCpuPathPolicing = 16; // ip_filter_cpu_path_policing_flow_lookup
inline constexpr uint32_t kTreeFilterCpuPathParam = 17;  // ip_filter_cpu_path_param_lookup
inline constexpr uint32_t kTreeFilterCpuPathCtx = 18;    // ip_filter_cpu_path_ctx_lookup
inline constexpr uint32_t kTreeCpuPathParam = 19;        // ip_cpu_path_param_lookup
inline constexpr uint32_t kTreeCpuDscpQos = 20;          // ip_cpu_dscp_qos_lookup
inline constexpr uint32_t kTreeNapt = 21;                // ip_napt_lookup
inline constexpr uint32_t kTreeIntfSipMtu = 22;          // ip_interface_sip_mtu_lookup
inline constexpr uint32_t kTreeIntfIngressFlags = 23;    // ip_interface_ingress_flowid_ruleset_flags_lookup
inline constexpr uint32_t kTreeIntfEgressFlags = 24;     // ip_interface_egress_flowid_mtu_flags_lookup
inline constexpr uint32_t kTreeIntfFilterRuleSet = 25;   // ip_interface_filter_rule_set_lookup
inline constexpr uint32_t kTreeIfIngressDscpPolice = 26; // ip_if_ingress_dscp_police_lookup
inline constexpr uint32_t kTreeFlowCpuPathParam = 27;    // ip_flow_cpu_path_param_lookup
inline constexpr uint32_t kTreeCustomBindImcEntryFn = 28; // ip_custom_bind_imc_entry_fn_lookup
inline constexpr uint32_t kTreeEgressFlow = 29;          // ip_egress_flow_lookup (LPM)
inline constexpr uint32_t kTreeDscpQos = 30;             // ip_dscp_qos_lookup
inline constexpr uint32_t kTreeCaptureCpuPathParam = 31; // ip_capture_cpu_path_param_lookup
inline constexpr uint32_t kTreeIfDscpPcp = 32;           // ip_if_dscp_pcp_lookup (LPM)
inline constexpr uint32_t kTreePbr = 33;                 // ip_pbr_lookup (rule sets)
inline constexpr uint32_t kTreeInBasicFilter = 34;       // ip_in_basic_filter (rule sets)
inline constexpr uint32_t kTreeAssocFlowFilter = 35;     // ip_ingress_association_flow_filter (rule sets)
inline constexpr uint32_t kTreeExtFilter = 36;           // ip_ext_filter (rule sets)
inline constexpr uint32_t kTreeLoPbrPolicySet = 37;      // ip_lo_pbr_policy_set_lookup

// ---- Flow function indexes (flow_funcs[index] of the private block) ------
inline constexpr uint32_t kFnUliReceive = 0;
inline constexpr uint32_t kFnLliReceiveDirect = 1;
inline constexpr uint32_t kFnUliReceiveDirect = 2;
inline constexpr uint32_t kFnProcessCpuEthPkts = 3;
inline constexpr uint32_t kFnProcessCpuPkts = 4;
inline constexpr uint32_t kFnToEthernetImcDirect = 5;
inline constexpr uint32_t kFnToEthernetFlowImcDirect = 6;
inline constexpr uint32_t kFnToIpsecLliImc = 7;
inline constexpr uint32_t kFnEgressToIpsecImcDirect = 8;
inline constexpr uint32_t kFnToGtpuLliF2mImc = 9;
inline constexpr uint32_t kFnToGtpuLliImc = 10;
inline constexpr uint32_t kFnToGtpuUliImc = 11;
inline constexpr uint32_t kFnToBfdImc = 12;
inline constexpr uint32_t kFnTranslateToIpv6Imc = 13;
inline constexpr uint32_t kFnIpv4ToIpv6IngressImcDirect = 14;
inline constexpr uint32_t kFnToEbcomImcDirect = 15;
inline constexpr uint32_t kFnToL2tpImcDirect = 16;
inline constexpr uint32_t kFnToTwampImcDirect = 17;
inline constexpr uint32_t kFnDipBasedRouteLookup = 18;
inline constexpr uint32_t kFnIntfDefaultAction = 19;
inline constexpr uint32_t kFnUseCpuDscpMap = 20;
inline constexpr uint32_t kFnInvalidSrcIpAddr = 21;
inline constexpr uint32_t kFnVrfRoutingDisabled = 22;

// ---- Key building ----------------------------------------------------------

// One key field: the low `bits` bits of `value` (bits 0 to 32; 0 appends
// nothing).
struct KeyField {
    uint32_t value;
    uint32_t bits;
};

// The leading `len` bits (0 to 32) of a host-order IPv4 address as a key
// field: an address extended by its prefix length gives a prefix key.
constexpr KeyField prefix_field(uint32_t addr, uint32_t len) {
    return len == 0 ? KeyField{0, 0} : KeyField{addr >> (32 - len), len};
}

// Clear the tree's key buffer and extend it with `fields` in order. Returns
// the sum of the pattern builder's results: 0 when the key is built, any
// other value is a failed build (the key is then unusable).
uint32_t key_build(TreeRecord &t, std::initializer_list<KeyField> fields);
uint32_t key_build(TreeRecord &t, const KeyField *fields, size_t count);
// The same build stopping at the first failing builder call, whose own
// status it returns (0 when the key is built): for callers that report
// the builder's status rather than the sum.
uint32_t key_build_own_status(TreeRecord &t, const KeyField *fields, size_t count);

// ---- Programming one entry -------------------------------------------------

// zel_ipv4_lpm_rule operations.
inline constexpr uint32_t kRuleUnlearn = 0;
inline constexpr uint32_t kRuleLearn = 1;

inline constexpr const char *kBuildFailMsg = "Could not build the input pattern\n";

// Build the key from `fields`, then learn (kRuleLearn) or unlearn
// (kRuleUnlearn) it with `action` through zel_ipv4_lpm_rule.
//   - a failed build: FATAL `build_msg` with the status text; returns the
//     builder's summed result with severity 1; the tree is not touched;
//   - a failed rule call: FATAL `rule_msg` with the status text; returns
//     the primitive's code with severity 1 (what the primitive did before
//     failing stays, see zel_ipv4_lpm_rule).
// For an unlearn of a prefix of an LPM tree `action` is rewritten with the
// covering prefix's action. Messages are written as they stand (no
// arguments); `s` is the caller's source site. Caller holds the lock.
uint32_t rule_program(zel_module_t *m, TreeRecord &t, std::initializer_list<KeyField> fields,
                      uint32_t op, hwe_action_t &action, const char *rule_msg, Site s,
                      const char *build_msg = kBuildFailMsg);
uint32_t rule_program(zel_module_t *m, TreeRecord &t, const KeyField *fields, size_t count,
                      uint32_t op, hwe_action_t &action, const char *rule_msg, Site s,
                      const char *build_msg = kBuildFailMsg);

}  // namespace zel::ip

// ZRULE(m, tree_record, op, action, "rule failure message", {value, bits}...)
#define ZRULE(m, tree, op, action, rule_msg, ...) \
    ::zel::ip::rule_program((m), (tree), {__VA_ARGS__}, (op), (action), (rule_msg), ZEL_SITE)

#endif  // ZEL_IP_TREE_H
