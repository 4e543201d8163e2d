// Statistics print calls: run the get, then print the whole result in
// one write on standard output. A failed get prints no statistics at all
// (its own failure was logged by the get); some prints log a line of
// their own as well. The prints take no lock besides their get's.
#include <cinttypes>

#include "core/zel_ip_log.h"
#include "diag/zel_ip_dump_internal.h"
#include "zel_ip/zel_ip_stats.h"

using zel::ip::diag::Text;

namespace {

// Room for the longest print (the global statistics, every counter
// non-zero, is about 3 KB).
constexpr size_t kPrintBytes = 8192;

struct Out {
    char buf[kPrintBytes];
    Text text{buf, sizeof buf};
};

// The print's own line after a failed get: at ERROR, or in the anonymous
// form when the module handle cannot be followed.
void log_get_failed(zel_module_t *m, const char *msg) {
    if (zel::ip::module_handle_ok(m))
        ZLOG_ERROR(m, "%s\n", msg);
    else
        ::zel::ip::log_anon(ZEL_SITE, true, "%s\n", msg);
}

uintptr_t handle_value(const void *h) { return reinterpret_cast<uintptr_t>(h); }

// One line of the global print: the counter's word, its label and whether
// it is printed when 0 (the drop counters are not).
struct GlobalLine {
    uint8_t word;
    bool always;
    const char *label;
};

// In print order.
constexpr GlobalLine kGlobalLines[] = {
    {0, true, "Total Rx Pkts"},
    {2, false, "Rx version errors"},
    {3, false, "Rx Bad IP Header"},
    {4, true, "Rx defrag packets"},
    {21, false, "IP Re-assembly timeouts"},
    {5, false, "Defrag hash allocate err"},
    {6, false, "Dest unreachable"},
    {7, false, "No ingress Association"},
    {8, false, "Filter deny cnt"},
    {14, true, "Filter accept cnt (dbg)"},
    {15, true, "Filter to CPU cnt"},
    {1, true, "Total tx pkts"},
    {10, false, "Packets dropped due to exception"},
    {11, false, "TTL expired"},
    {12, true, "Ingress Filter Policing drops"},
    {17, true, "Ingress association policing drops"},
    {18, false, "Invalid input interface"},
    {19, true, "Pkts from CPU to be sent out of IP interface"},
    {20, false, "Policing drops Packets cnt"},
    {22, false, "Fast Path Terminating Fragments dropped"},
    {23, false, "Unknown association mask"},
    {24, false, "IP encap flow unavailable"},
    {25, true, "Packets captured to CPU (dbg)"},
    {26, false, "IP Association Drops"},
    {27, false, "IP Flow Filter Drops"},
    {28, false, "L4 Checksum error Drops"},
    {29, true, "Ingress Assoc CPU Cnt"},
    {30, true, "Total Fragments Enqueued for Reassembly"},
    {31, false, "Total Fragments Ignored"},
    {16, false, "Total Fragments Dropped"},
    {13, false, "Defrag Hash Delete Err"},
    {9, false, "Reassembly Timeouts ignored"},
    {32, true, "ULI Pkts no flow with hdr (dbg)"},
    {33, true, "ULI Pkts no flow no hdr (dbg)"},
    {34, false, "Pkts with invalid IP header length"},
    {35, false, "Illegal TCP Fragments"},
    {36, false, "Frags IP Identification mismatch"},
    {37, false, "Unknown ACL rule set"},
    {40, false, "Local PTB notifications"},
    {41, false, "Packets with invalid SIP address"},
    {42, true, "Packets delivered via ingress association"},
    {43, true, "Packets received with IPv4 options"},
    {44, false, "Packets received but failed to bind"},
    {45, false, "Packets sent but failed to bind"},
    {46, false, "Packets Frag Failed for DF bit set"},
    {47, true, "Fragments requesting re-assembly"},
    {48, true, "Packets subject to fragmentation"},
    {49, true, "Number of fragments created due to fragmentation"},
    {50, true, "ULI Pkts with flow and with hdr (dbg)"},
    {51, true, "ULI Pkts with flow and no hdr (dbg)"},
    {52, false, "Pkts dropped due to unknown tunnel interface ID"},
    {53, false, "Pkts with invalid or prohibited DIP address"},
    {54, false, "Pkts dropped due to routing disabled in VRF"},
    {55, true, "Pkts terminated locally (mostly being locally destined)"},
    {56, false, "Pkts dropped due to NULL routes"},
    {57, false, "Pkts dropped by egress filter"},
    {58, true, "Pkts sent to CPU by egress filter"},
    {60, false, "Egress Filter based policing drops"},
    {63, false, "Tasks received with PAB Error in IP Re-assembly"},
};

// One line of the router-interface print: the text before the value and
// the counter (u32 or u64).
struct RouterIfLine {
    const char *label;  // up to and including ": "
    uint32_t zel_ip_router_if_stats_t::*u32;
    uint64_t zel_ip_router_if_stats_t::*u64;
};
using R = zel_ip_router_if_stats_t;
#define L32(text, field) {text, &R::field, nullptr}
#define L64(text, field) {text, nullptr, &R::field}
// In structure order; the separators are the printed text's own.
constexpr RouterIfLine kRouterIfLines[] = {
    L32("ipIfStatsOutMcastOctets : ", out_mcast_octets),
    L32("ipIfStatsInUnknownProtos : ", in_unknown_protos),
    L32("ipIfStatsInBcastPkts : ", in_bcast_pkts),
    L32("ipIfStatsInDelivers : ", in_delivers),
    L32("ipIfStatsInForwDatagrams : ", in_forw_datagrams),
    L32("ipIfStatsInOctets : ", in_octets),
    L32("ipIfStatsOutFragFails : ", out_frag_fails),
    L32("ipIfStatsReasmOKs : ", reasm_oks),
    L32("ipIfStatsInMcastPkts : ", in_mcast_pkts),
    L32("ipIfStatsInSrcAddrErrors: ", in_src_addr_errors),
    L32("ipIfStatsInAddrErrors : ", in_addr_errors),
    L32("ipIfStatsInAclDroppedPkts: ", in_acl_dropped_pkts),
    L32("ipIfStatsInPoliceDropPkts: ", in_police_drop_pkts),
    L32("ipIfStatsReasmReqds : ", reasm_reqds),
    L32("ipIfStatsOutFragOKs : ", out_frag_oks),
    L32("ipIfStatsReasmFails : ", reasm_fails),
    L32("ipIfStatsOutOctets : ", out_octets),
    L32("ipIfStatsOutForwDatagrams : ", out_forw_datagrams),
    L32("ipIfStatsOutAclDroppedPkts: ", out_acl_dropped_pkts),
    L32("ipIfStatsOutNoLinkAddrPkts: ", out_no_link_addr_pkts),
    L32("ipIfStatsOutFragCreates : ", out_frag_creates),
    L32("ipIfStatsInTruncatedPkts : ", in_truncated_pkts),
    L32("ipIfStatsOutNoRoutes: ", out_no_routes),
    L32("ipIfStatsOutBlackHoles: ", out_black_holes),
    L32("ipIfStatsOutDiscards : ", out_discards),
    L32("ipIfStatsInMcastOctets : ", in_mcast_octets),
    L32("ipIfStatsInHdrErrors : ", in_hdr_errors),
    L32("ipIfStatsOutMcastPkts : ", out_mcast_pkts),
    L32("ipIfStatsInReceives : ", in_receives),
    L32("ipIfStatsOutRequests : ", out_requests),
    L32("ipIfStatsInNoRoutes : ", in_no_routes),
    L32("ipIfStatsInBlackHoles: ", in_black_holes),
    L32("ipIfStatsInDiscards : ", in_discards),
    L32("ipIfStatsOutBcastPkts : ", out_bcast_pkts),
    L32("ipIfStatsOutFragReqds : ", out_frag_reqds),
    L32("ipIfStatsOutTransmits : ", out_transmits),
    L64("ipIfStatsHCInOctets: ", hc_in_octets),
    L64("ipIfStatsHCOutOctets: ", hc_out_octets),
    L64("ipIfStatsHCInMcastOctets: ", hc_in_mcast_octets),
    L64("ipIfStatsHCOutMcastOctets: ", hc_out_mcast_octets),
    L64("ipIfStatsHCInEthPadOctets: ", hc_in_eth_pad_octets),
    L64("ipIfStatsHCOutEthOctets: ", hc_out_eth_octets),
    L32("ipIfStatsOutMcastDiscards: ", out_mcast_discards),
    L32("ipIfStatsOutBcastDiscards: ", out_bcast_discards),
    L32("ipIfStatsOutUcastPkts: ", out_ucast_pkts),
    L32("ipIfStatsOutUcastDiscards: ", out_ucast_discards),
    L32("ipIfStatsOutL2Discards: ", out_l2_discards),
};
#undef L32
#undef L64
static_assert(sizeof kRouterIfLines / sizeof kRouterIfLines[0] == 47, "one line per counter");

}  // namespace

extern "C" {

uint32_t zel_ip_global_stats_print(zel_module_t *module) {
    zel_ip_global_stats_t s;
    if (uint32_t st = zel_ip_global_stats_get(module, &s)) {
        log_get_failed(module, "Failed to get IP statistics");
        return st;
    }
    Out o;
    o.text.add("\nIP Global Statistics (Drop counters with zero count not shown):\n\n");
    for (const GlobalLine &l : kGlobalLines) {
        const uint32_t v = s.counter[l.word];
        if (l.always || v != 0) o.text.put("%s: %u\n", l.label, v);
    }
    zel::ip::diag::dump_print(o.text);
    return 0;
}

uint32_t zel_ip_interface_stats_print(zel_module_t *module, const void *intf) {
    zel_ip_interface_stats_t s;
    if (uint32_t st = zel_ip_interface_stats_get(module, intf, &s)) return st;
    Out o;
    o.text.put("\n IP Interface 0x%08" PRIxPTR " Statistics\n", handle_value(intf));
    o.text.put("Total Rx Pkts       : %u\n", s.rx_pkts);
    o.text.put("Total Tx Pkts       : %u\n", s.tx_pkts);
    zel::ip::diag::dump_print(o.text);
    return 0;
}

uint32_t zel_ip_router_if_stats_print(zel_module_t *module, const void *intf) {
    zel_ip_router_if_stats_t s;
    if (uint32_t st = zel_ip_router_if_stats_get(module, intf, &s)) return st;
    Out o;
    o.text.put("\n IP Router Interface 0x%08" PRIxPTR " Statistics\n", handle_value(intf));
    for (const RouterIfLine &l : kRouterIfLines) {
        if (l.u32)
            o.text.put("%s%u\n", l.label, s.*l.u32);
        else
            o.text.put("%s%llu\n", l.label, static_cast<unsigned long long>(s.*l.u64));
    }
    zel::ip::diag::dump_print(o.text);
    return 0;
}

uint32_t zel_ip_ingress_association_stats_print(zel_module_t *module, zel_ip_flow_handle_t flow) {
    zel_ip_ingress_assoc_stats_t s;
    if (uint32_t st = zel_ip_ingress_association_stats_get(module, flow, &s)) {
        log_get_failed(module, "Failed to get IP ingress flow statistics");
        return st;
    }
    Out o;
    o.text.put("\n IP Ingress Flow 0x%08" PRIxPTR " Statistics\n", handle_value(flow));
    o.text.put("Total Rx Pkts       : %u\n", s.rx_pkts);
    o.text.put("Total Tx Pkts       : %u\n", s.tx_pkts);
    zel::ip::diag::dump_print(o.text);
    return 0;
}

uint32_t zel_ip_egress_association_stats_print(zel_module_t *module, zel_ip_flow_handle_t flow) {
    zel_ip_egress_assoc_stats_t s;
    if (uint32_t st = zel_ip_egress_association_stats_get(module, flow, &s)) {
        log_get_failed(module, "Failed to get IP egress flow statistics");
        return st;
    }
    Out o;
    o.text.put("\n IP Egress Flow 0x%08" PRIxPTR " Statistics\n", handle_value(flow));
    o.text.put("Total Tx Pkts                   : %u\n", s.tx_pkts);
    o.text.put("Total Rx Pkts with No IP Header : %u\n", s.rx_no_hdr_pkts);
    o.text.put("Total Rx Pkts with IP header    : %u\n", s.rx_hdr_pkts);
    zel::ip::diag::dump_print(o.text);
    return 0;
}

uint32_t zel_ip_filter_rule_stats_print(zel_module_t *module, zel_ip_flow_handle_t rule) {
    zel_ip_filter_rule_stats_t s;
    if (uint32_t st = zel_ip_filter_rule_stats_get(module, rule, &s)) return st;
    Out o;
    o.text.put("\n IP Filter Rule 0x%08" PRIxPTR " Statistics\n", handle_value(rule));
    o.text.put("Total Pkts Matched: %u\n", s.matched_pkts);
    o.text.put("Total Bytes Matched: %llu\n", static_cast<unsigned long long>(s.matched_bytes));
    zel::ip::diag::dump_print(o.text);
    return 0;
}

uint32_t zel_ip_pbr_rule_stats_print(zel_module_t *module, zel_ip_flow_handle_t rule) {
    zel_ip_pbr_rule_stats_t s;
    if (uint32_t st = zel_ip_pbr_rule_stats_get(module, rule, &s)) return st;
    Out o;
    o.text.put("\n IP PBR Rule 0x%08" PRIxPTR " Statistics\n", handle_value(rule));
    o.text.put("Total Pkts Matched: %u\n", s.matched_pkts);
    zel::ip::diag::dump_print(o.text);
    return 0;
}

}  // extern "C"
