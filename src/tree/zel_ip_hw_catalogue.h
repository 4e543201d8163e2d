// The FPL tree catalogue and the flow function list: one constexpr table
// each, indexed by the constants of zel_ip_tree.h. Every name is the
// engine program's symbol ("zel_ip." and the program name); the module
// finds trees and functions by these names at start-up and addresses them
// by index afterwards.
#ifndef ZEL_IP_HW_CATALOGUE_H
#define ZEL_IP_HW_CATALOGUE_H

#include <cstdint>

#include "tree/zel_ip_tree.h"
#include "tree/zel_ip_tree_types.h"

namespace zel::ip {

// One catalogued tree.
//   width        key width in bits; 0 for the rule-set trees 33 to 36
//   action_kind  default action: HWE_ACTION_NONE, HWE_ACTION_FUNC (call
//                `action_fn`, resolved to its id at start-up) or
//                HWE_ACTION_VALUE with data words w1/w2
//   lpm          longest-prefix-match tree with a subnet database
//   sizing_flag  second argument of zel_sif_max_subnet_entry_sz_get
//   expected     expected entries of the memory report; 0 = computed
//                (2^width up to width 6, else 100; 500 for rule-set trees)
//   tree_flags   property word; ORed into the compaction registration mask
//   dump_groups  table-dump groups that include the tree
struct TreeSpec {
    const char *name;
    uint32_t width;
    uint32_t action_kind;
    const char *action_fn;
    uint32_t w1;
    uint32_t w2;
    bool lpm;
    uint32_t sizing_flag;
    uint32_t expected;
    uint32_t tree_flags;
    uint32_t dump_groups;
};

namespace catalogue_detail {
constexpr TreeSpec none(const char *n, uint32_t width, bool lpm, uint32_t sizing, uint32_t expected,
                        uint32_t flags, uint32_t groups) {
    return {n, width, HWE_ACTION_NONE, nullptr, 0, 0, lpm, sizing, expected, flags, groups};
}
constexpr TreeSpec func(const char *n, uint32_t width, const char *fn, bool lpm, uint32_t sizing,
                        uint32_t expected, uint32_t flags, uint32_t groups) {
    return {n, width, HWE_ACTION_FUNC, fn, 0, 0, lpm, sizing, expected, flags, groups};
}
constexpr TreeSpec value(const char *n, uint32_t width, uint32_t w1, uint32_t w2, bool lpm,
                         uint32_t sizing, uint32_t expected, uint32_t flags, uint32_t groups) {
    return {n, width, HWE_ACTION_VALUE, nullptr, w1, w2, lpm, sizing, expected, flags, groups};
}
}  // namespace catalogue_detail

// clang-format off
inline constexpr TreeSpec kTreeCatalogue[kNumTrees] = {
    //                       name                                                width  default action                             LPM  sizing expected flags  groups
    catalogue_detail::none ("zel_ip.ip_src_addr_lookup",                          38,                                             true,  0,   832,  0x406, 0x400),
    catalogue_detail::none ("zel_ip.Check_host_router_mode",                       6,                                             false, 0,     0,  0x404, 0x40),
    catalogue_detail::value("zel_ip.ip_dest_addr_lookup",                         38,  4, 0,                                      true,  1,  3176,  0x415, 0x2),
    catalogue_detail::func ("zel_ip.ip_pbr_action_lookup",                        12,  "zel_ip.dip_based_route_lookup",           false, 0,   528,  0x415, 0x2),
    catalogue_detail::func ("zel_ip.ip_tunnel_if_lookup",                         78,  "zel_ip.unknown_tunnel_if_id",             false, 0,   576,  0x406, 0x20),
    catalogue_detail::none ("zel_ip.ip_tunnel_pmtu_lookup",                       16,                                             false, 0,   576,  0x406, 0x20),
    catalogue_detail::func ("zel_ip.ip_tunnel_if_id_lookup",                      12,  "zel_ip.unknown_tunnel_if_id",             false, 0,   576,  0x406, 0x20),
    catalogue_detail::none ("zel_ip.ip_flow_policing_lookup",                     24,                                             false, 0, 71164,  0x404, 0x4),
    catalogue_detail::func ("zel_ip.ip_ingress_assoc_flow_lookup",               117,  "zel_ip.ip_association_default_action",    true,  1, 71164,  0x405, 0x84),
    catalogue_detail::func ("zel_ip.ip_comp_ingress_assoc_flow_lookup",          24,  "zel_ip.ip_association_default_action",    false, 0, 71164,  0x100, 0x84),
    catalogue_detail::value("zel_ip.ip_egress_assoc_dip_lookup",                  24,  0, 0,                                      false, 0, 70365,  0x405, 0x10),
    catalogue_detail::value("zel_ip.ip_egress_assoc_sip_mtu_lookup",              24,  0, 0,                                      false, 0, 70365,  0x405, 0x10),
    catalogue_detail::value("zel_ip.ip_egress_assoc_info_lookup",                 24,  0, 0,                                      false, 0, 70365,  0x405, 0x10),
    catalogue_detail::func ("zel_ip.ip_exception_lookup",                          6,  "zel_ip.ip_exception_drop_pkts",           false, 0,    18,  0x404, 0x200),
    catalogue_detail::none ("zel_ip.ip_bind_dest_flow_lookup",                    24,                                             false, 0, 72764,  0x405, 0x8c),
    catalogue_detail::value("zel_ip.ip_exception_path_param_lookup",               6,  0xffffff, 0,                               false, 0,    18,  0x404, 0x200),
    catalogue_detail::none ("zel_ip.ip_filter_cpu_path_policing_flow_lookup",     28,                                             false, 0,   320,  0x404, 0x400),
    catalogue_detail::value("zel_ip.ip_filter_cpu_path_param_lookup",             28,  0, 0,                                      false, 0,   256,  0x404, 0x400),
    catalogue_detail::value("zel_ip.ip_filter_cpu_path_ctx_lookup",               28,  0, 0,                                      false, 0,   256,  0x404, 0x400),
    catalogue_detail::value("zel_ip.ip_cpu_path_param_lookup",                    28,  0xffffff, 0,                               false, 0,   256,  0x404, 0x404),
    catalogue_detail::value("zel_ip.ip_cpu_dscp_qos_lookup",                       8,  0xffffff, 0,                               false, 0,    64,  0x404, 0x100),
    catalogue_detail::value("zel_ip.ip_napt_lookup",                              48,  0, 224,                                    false, 0,     0,  0x404, 0x2),
    catalogue_detail::func ("zel_ip.ip_interface_sip_mtu_lookup",                 48,  "zel_ip.ip_interface_default_action",      false, 0,   832,  0x406, 0x1),
    catalogue_detail::func ("zel_ip.ip_interface_ingress_flowid_ruleset_flags_lookup", 16, "zel_ip.ip_interface_default_action", false, 0,   832,  0x406, 0x1),
    catalogue_detail::func ("zel_ip.ip_interface_egress_flowid_mtu_flags_lookup", 16,  "zel_ip.ip_interface_default_action",      false, 0,   832,  0x406, 0x1),
    catalogue_detail::func ("zel_ip.ip_interface_filter_rule_set_lookup",         16,  "zel_ip.ip_interface_default_action",      false, 0,   832,  0x406, 0x1),
    catalogue_detail::value("zel_ip.ip_if_ingress_dscp_police_lookup",            16,  0, 0,                                      false, 0,   832,  0x406, 0x1),
    catalogue_detail::value("zel_ip.ip_flow_cpu_path_param_lookup",               24,  0, 0,                                      false, 0,   256,  0x404, 0x4),
    catalogue_detail::none ("zel_ip.ip_custom_bind_imc_entry_fn_lookup",           8,                                             false, 0,     0,  0x404, 0x80),
    catalogue_detail::value("zel_ip.ip_egress_flow_lookup",                       48,  0, 0,                                      true,  1,  1600,  0x406, 0x88),
    catalogue_detail::none ("zel_ip.ip_dscp_qos_lookup",                          24,                                             false, 0, 16384,  0x406, 0x100),
    catalogue_detail::value("zel_ip.ip_capture_cpu_path_param_lookup",            18,  0, 0,                                      false, 0,     0,  0x404, 0x1),
    catalogue_detail::value("zel_ip.ip_if_dscp_pcp_lookup",                       24,  0, 0,                                      true,  1, 16384,  0x406, 0x100),
    catalogue_detail::func ("zel_ip.ip_pbr_lookup",                                0,  "zel_ip.dip_based_route_lookup",           false, 0,   528,  0x404, 0x2),
    catalogue_detail::func ("zel_ip.ip_in_basic_filter",                           0,  "zel_ip.ip_filter_unknown_ruleset",        false, 0,   320,  0x404, 0x400),
    catalogue_detail::func ("zel_ip.ip_ingress_association_flow_filter",           0,  "zel_ip.ip_association_flow_filter_drop",  false, 0,     0,  0x404, 0),
    catalogue_detail::func ("zel_ip.ip_ext_filter",                                0,  "zel_ip.ip_filter_unknown_ruleset",        false, 0,   320,  0x404, 0x400),
    catalogue_detail::none ("zel_ip.ip_lo_pbr_policy_set_lookup",                  6,                                             false, 0,     0,  0x404, 0x2),
};

inline constexpr const char *kFlowFuncNames[kNumFlowFuncs] = {
    "zel_ip.zel_ip_uli_receive",
    "zel_ip.zel_ip_lli_receive_direct",
    "zel_ip.zel_ip_uli_receive_direct",
    "zel_ip.ip_process_cpu_eth_pkts",
    "zel_ip.ip_process_cpu_pkts",
    "zel_ip.ip_to_ethernet_imc_direct",
    "zel_ip.ip_to_ethernet_flow_imc_direct",
    "zel_ip.ip_to_ipsec_lli_imc",
    "zel_ip.ip_egress_to_ipsec_imc_direct",
    "zel_ip.ip_to_gtpu_lli_f2m_imc",
    "zel_ip.ip_to_gtpu_lli_imc",
    "zel_ip.ip_to_gtpu_uli_imc",
    "zel_ip.ip_to_bfd_imc",
    "zel_ip.ip_translate_to_ipv6_imc",
    "zel_ip.ipv4_to_ipv6_ingress_imc_direct",
    "zel_ip.ip_to_ebcom_imc_direct",
    "zel_ip.ip_to_l2tp_imc_direct",
    "zel_ip.ip_to_twamp_imc_direct",
    "zel_ip.dip_based_route_lookup",
    "zel_ip.ip_interface_default_action",
    "zel_ip.use_cpu_dscp_map",
    "zel_ip.invalid_src_ip_addr",
    "zel_ip.VRF_routing_disabled",
};
// clang-format on

// Rule-set trees (OtreeSet / OVtreeSet) have no single key.
constexpr bool is_rule_set_tree(uint32_t index) { return index >= kTreePbr && index <= kTreeExtFilter; }

// Expected entries of the memory report: the catalogue's figure, or the
// computed default when it gives none.
constexpr uint32_t expected_entries(const TreeSpec &t) {
    if (t.expected != 0) return t.expected;
    if (t.width == 0) return 500;
    return t.width <= 6 ? (1u << t.width) : 100;
}

// OR of every tree's flags: the compaction registration mask.
constexpr uint32_t catalogue_flag_mask() {
    uint32_t mask = 0;
    for (const TreeSpec &t : kTreeCatalogue) mask |= t.tree_flags;
    return mask;
}

static_assert(kTreeCatalogue[kTreeDestAddr].width == 38 && kTreeCatalogue[kTreeDestAddr].lpm);
static_assert(kTreeCatalogue[kTreeLoPbrPolicySet].width == 6);
static_assert(catalogue_flag_mask() != 0, "compaction is always registered");

}  // namespace zel::ip

#endif  // ZEL_IP_HW_CATALOGUE_H
