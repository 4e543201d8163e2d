/*
 * Statistics: the packet engine's counters, read back and printed.
 *
 * The engine counts packets in state-engine records, big-endian: one
 * global record for the module, one per interface, one per association
 * flow (and per filter and policy-routing rule). A get call reads the
 * record into a buffer of its own, converts the counters to host order and
 * only then copies them into the caller's structure: the structure is
 * never written past its size, and a failed read leaves it untouched. The
 * engine updates the counters while they are read, so a record is a
 * snapshot of independent counters, not of one instant.
 *
 * A print call runs its get and prints the result on standard output in
 * one write; when the get fails it prints no statistics at all (the get's
 * own failure is logged) and returns the get's status.
 *
 * Every get takes the module handle first, runs under the module's write
 * lock and returns a status word (zel_ip_status.h): 0 on success, 0x30001
 * for a bad module handle or a module that is not started, the framework's
 * status with severity 3 when the lock cannot be taken (severity 1 when it
 * cannot be released); the other failures are listed per call. Print calls
 * take no lock of their own beyond their get's.
 */
#ifndef ZEL_IP_STATS_H
#define ZEL_IP_STATS_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_export.h"
#include "zel_ip/zel_ip_status.h"
#include "zel_ip/zel_ip_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- global ------------------------------------------------------------ */

/* The 64 words of the module's global record. Words 38, 39, 59, 61 and 62
 * carry no counter of this module and are returned as the engine holds
 * them (big-endian); every other word in host order. The print call
 * prints the always-printed counters even when 0 and the drop counters
 * only when they are not 0. */
#define ZEL_IP_GLOBAL_STATS_WORDS 64u
typedef struct zel_ip_global_stats {
    uint32_t counter[ZEL_IP_GLOBAL_STATS_WORDS];
} zel_ip_global_stats_t;

/* Word indexes of zel_ip_global_stats_t (D: a drop counter, printed only
 * when not 0). */
enum zel_ip_global_counter {
    ZEL_IP_GSTAT_RX_PKTS = 0,
    ZEL_IP_GSTAT_TX_PKTS = 1,
    ZEL_IP_GSTAT_RX_VERSION_ERR = 2,          /* D */
    ZEL_IP_GSTAT_RX_BAD_HDR = 3,              /* D */
    ZEL_IP_GSTAT_RX_DEFRAG_PKTS = 4,
    ZEL_IP_GSTAT_DEFRAG_HASH_ALLOC_ERR = 5,   /* D */
    ZEL_IP_GSTAT_DEST_UNREACHABLE = 6,        /* D */
    ZEL_IP_GSTAT_NO_INGRESS_ASSOC = 7,        /* D */
    ZEL_IP_GSTAT_FILTER_DENY = 8,             /* D */
    ZEL_IP_GSTAT_REASM_TIMEOUTS_IGNORED = 9,  /* D */
    ZEL_IP_GSTAT_EXCEPTION_DROPS = 10,        /* D */
    ZEL_IP_GSTAT_TTL_EXPIRED = 11,            /* D */
    ZEL_IP_GSTAT_INGRESS_FILTER_POLICE_DROPS = 12,
    ZEL_IP_GSTAT_DEFRAG_HASH_DELETE_ERR = 13, /* D */
    ZEL_IP_GSTAT_FILTER_ACCEPT = 14,
    ZEL_IP_GSTAT_FILTER_TO_CPU = 15,
    ZEL_IP_GSTAT_FRAGS_DROPPED = 16,          /* D */
    ZEL_IP_GSTAT_INGRESS_ASSOC_POLICE_DROPS = 17,
    ZEL_IP_GSTAT_INVALID_INPUT_INTF = 18,     /* D */
    ZEL_IP_GSTAT_CPU_TX_PKTS = 19,
    ZEL_IP_GSTAT_POLICE_DROPS = 20,           /* D */
    ZEL_IP_GSTAT_REASM_TIMEOUTS = 21,         /* D */
    ZEL_IP_GSTAT_TERM_FRAGS_DROPPED = 22,     /* D */
    ZEL_IP_GSTAT_UNKNOWN_ASSOC_MASK = 23,     /* D */
    ZEL_IP_GSTAT_ENCAP_FLOW_UNAVAILABLE = 24, /* D */
    ZEL_IP_GSTAT_CAPTURED_TO_CPU = 25,
    ZEL_IP_GSTAT_ASSOC_DROPS = 26,            /* D */
    ZEL_IP_GSTAT_FLOW_FILTER_DROPS = 27,      /* D */
    ZEL_IP_GSTAT_L4_CSUM_DROPS = 28,          /* D */
    ZEL_IP_GSTAT_INGRESS_ASSOC_CPU = 29,
    ZEL_IP_GSTAT_FRAGS_ENQUEUED = 30,
    ZEL_IP_GSTAT_FRAGS_IGNORED = 31,          /* D */
    ZEL_IP_GSTAT_ULI_NOFLOW_HDR = 32,
    ZEL_IP_GSTAT_ULI_NOFLOW_NOHDR = 33,
    ZEL_IP_GSTAT_BAD_HDR_LEN = 34,            /* D */
    ZEL_IP_GSTAT_ILLEGAL_TCP_FRAGS = 35,      /* D */
    ZEL_IP_GSTAT_FRAG_ID_MISMATCH = 36,       /* D */
    ZEL_IP_GSTAT_UNKNOWN_ACL_RULE_SET = 37,   /* D */
    ZEL_IP_GSTAT_LOCAL_PTB = 40,              /* D */
    ZEL_IP_GSTAT_INVALID_SIP = 41,            /* D */
    ZEL_IP_GSTAT_ASSOC_DELIVERED = 42,
    ZEL_IP_GSTAT_RX_OPTIONS = 43,
    ZEL_IP_GSTAT_RX_BIND_FAIL = 44,           /* D */
    ZEL_IP_GSTAT_TX_BIND_FAIL = 45,           /* D */
    ZEL_IP_GSTAT_FRAG_FAIL_DF = 46,           /* D */
    ZEL_IP_GSTAT_REASM_REQUESTS = 47,
    ZEL_IP_GSTAT_FRAG_SUBJECT = 48,
    ZEL_IP_GSTAT_FRAGS_CREATED = 49,
    ZEL_IP_GSTAT_ULI_FLOW_HDR = 50,
    ZEL_IP_GSTAT_ULI_FLOW_NOHDR = 51,
    ZEL_IP_GSTAT_UNKNOWN_TUNNEL_DROPS = 52,   /* D */
    ZEL_IP_GSTAT_INVALID_DIP = 53,            /* D */
    ZEL_IP_GSTAT_ROUTING_DISABLED_DROPS = 54, /* D */
    ZEL_IP_GSTAT_TERMINATED_LOCALLY = 55,
    ZEL_IP_GSTAT_NULL_ROUTE_DROPS = 56,       /* D */
    ZEL_IP_GSTAT_EGRESS_FILTER_DROPS = 57,    /* D */
    ZEL_IP_GSTAT_EGRESS_FILTER_TO_CPU = 58,
    ZEL_IP_GSTAT_EGRESS_FILTER_POLICE_DROPS = 60, /* D */
    ZEL_IP_GSTAT_PAB_REASM_ERR = 63           /* D */
};

/* Failures: out NULL ("Invalid input pointer parameter", 0x30008); the
 * record cannot be read ("Failed to read stats, RTE Error: %s", 0x1002B). */
ZEL_IP_EXPORT uint32_t zel_ip_global_stats_get(zel_module_t *module, zel_ip_global_stats_t *out);

/* "\nIP Global Statistics (Drop counters with zero count not shown):\n\n"
 * then one "<label>: %u" line per counter. A failed get is logged as
 * "Failed to get IP statistics". */
ZEL_IP_EXPORT uint32_t zel_ip_global_stats_print(zel_module_t *module);

/* ---- interface ----------------------------------------------------------- */

/* Words 0 and 1 of an IPoE or tunnel interface's 256-byte record. */
typedef struct zel_ip_interface_stats {
    uint32_t rx_pkts;
    uint32_t tx_pkts;
} zel_ip_interface_stats_t;

/* `intf`: an IPoE or tunnel interface handle of this module. Failures: out
 * NULL ("Invalid input NULL pointer parameter", 0x30008); any other handle
 * ("Invalid IPv4 interface handle", 0x1030006); the record cannot be read
 * ("Failed to read stats, RTE Error: %s", 0x3002B). */
ZEL_IP_EXPORT uint32_t zel_ip_interface_stats_get(zel_module_t *module, const void *intf,
                                                  zel_ip_interface_stats_t *out);
ZEL_IP_EXPORT uint32_t zel_ip_interface_stats_print(zel_module_t *module, const void *intf);

/* ---- router interface ---------------------------------------------------- */

/* The ipIfStats counters of an interface (RFC 4293 names), 53 words in this
 * order; the HC counters are 64-bit (two words, low word first on the
 * little-endian host). Sources: the interface's 256-byte record (A) and the
 * 88-byte record of its second NS ID (B: an IPoE interface's DSCP group
 * statistics, whose bytes 56 to 87 are the traffic-manager block of the
 * same id; a tunnel's own). A virtual interface has no B: its
 * out-counters are 0. */
typedef struct zel_ip_router_if_stats {
    uint32_t out_mcast_octets;
    uint32_t in_unknown_protos;
    uint32_t in_bcast_pkts;
    uint32_t in_delivers;
    uint32_t in_forw_datagrams;
    uint32_t in_octets;
    uint32_t out_frag_fails;
    uint32_t reasm_oks;
    uint32_t in_mcast_pkts;
    uint32_t in_src_addr_errors;
    uint32_t in_addr_errors;
    uint32_t in_acl_dropped_pkts;
    uint32_t in_police_drop_pkts;
    uint32_t reasm_reqds;
    uint32_t out_frag_oks;
    uint32_t reasm_fails;
    uint32_t out_octets;
    uint32_t out_forw_datagrams;
    uint32_t out_acl_dropped_pkts;
    uint32_t out_no_link_addr_pkts;
    uint32_t out_frag_creates;
    uint32_t in_truncated_pkts;
    uint32_t out_no_routes;
    uint32_t out_black_holes;
    uint32_t out_discards;
    uint32_t in_mcast_octets;
    uint32_t in_hdr_errors;
    uint32_t out_mcast_pkts;
    uint32_t in_receives;
    uint32_t out_requests;
    uint32_t in_no_routes;
    uint32_t in_black_holes;
    uint32_t in_discards;
    uint32_t out_bcast_pkts;
    uint32_t out_frag_reqds;
    uint32_t out_transmits;
    uint64_t hc_in_octets;
    uint64_t hc_out_octets;
    uint64_t hc_in_mcast_octets;
    uint64_t hc_out_mcast_octets;
    uint64_t hc_in_eth_pad_octets;
    uint64_t hc_out_eth_octets;
    uint32_t out_mcast_discards;
    uint32_t out_bcast_discards;
    uint32_t out_ucast_pkts;
    uint32_t out_ucast_discards;
    uint32_t out_l2_discards;
} zel_ip_router_if_stats_t;

/* `intf`: an IPoE, tunnel or virtual interface handle of this module.
 * Failures: out NULL ("Invalid input NULL pointer parameter", 0x30008); any
 * other handle ("Invalid IPv4 interface handle", 0x1030006); a record
 * cannot be read ("Failed to read stats, RTE Error: %s", 0x3002B); the
 * traffic-manager block cannot be read ("Failed to read MTM Shared param
 * memory, RTE Error: %s", 0x1002C). */
ZEL_IP_EXPORT uint32_t zel_ip_router_if_stats_get(zel_module_t *module, const void *intf,
                                                  zel_ip_router_if_stats_t *out);
ZEL_IP_EXPORT uint32_t zel_ip_router_if_stats_print(zel_module_t *module, const void *intf);

/* ---- associations --------------------------------------------------------- */

typedef struct zel_ip_ingress_assoc_stats {
    uint32_t rx_pkts;
    uint32_t tx_pkts;
} zel_ip_ingress_assoc_stats_t;

typedef struct zel_ip_egress_assoc_stats {
    uint32_t tx_pkts;
    uint32_t rx_no_hdr_pkts; /* received without an IP header */
    uint32_t rx_hdr_pkts;    /* received with an IP header    */
} zel_ip_egress_assoc_stats_t;

/* `flow`: an ingress association (egress association) of this module.
 * Failures, all 0x30008 unless stated: a handle that is no live flow
 * ("Invalid Flow handle"); out NULL ("Invalid input pointer parameter"); a
 * flow of another kind ("Invalid flow handle"); the record cannot be read
 * ("Failed to read ingress flow stats, RTE Error: %s" / "Failed to read SE
 * memory, RTE Error: %s", 0x1002B). A failed get is logged by the print as
 * "Failed to get IP ingress flow statistics" ("... egress ..."). */
ZEL_IP_EXPORT uint32_t zel_ip_ingress_association_stats_get(zel_module_t *module, zel_ip_flow_handle_t flow,
                                                            zel_ip_ingress_assoc_stats_t *out);
ZEL_IP_EXPORT uint32_t zel_ip_ingress_association_stats_print(zel_module_t *module, zel_ip_flow_handle_t flow);
ZEL_IP_EXPORT uint32_t zel_ip_egress_association_stats_get(zel_module_t *module, zel_ip_flow_handle_t flow,
                                                           zel_ip_egress_assoc_stats_t *out);
ZEL_IP_EXPORT uint32_t zel_ip_egress_association_stats_print(zel_module_t *module, zel_ip_flow_handle_t flow);

/* ---- filter and policy-routing rules ------------------------------------- */

typedef struct zel_ip_filter_rule_stats {
    uint32_t matched_pkts;
    uint64_t matched_bytes;
} zel_ip_filter_rule_stats_t;

typedef struct zel_ip_pbr_rule_stats {
    uint32_t matched_pkts;
} zel_ip_pbr_rule_stats_t;

/* `rule`: an extended or basic filter rule of this module. Failures, all
 * 0x30008 unless stated: a handle that is no live rule, a rule whose
 * delete waits for its commit among them ("Invalid input filter rule
 * handle"); a flow of another kind ("Invalid input filter rule handle
 * type"); out NULL ("Invalid input pointer parameter"); the record cannot
 * be read ("Failed to read stats, RTE Error: %s", 0x1002B). */
ZEL_IP_EXPORT uint32_t zel_ip_filter_rule_stats_get(zel_module_t *module, zel_ip_flow_handle_t rule,
                                                    zel_ip_filter_rule_stats_t *out);
ZEL_IP_EXPORT uint32_t zel_ip_filter_rule_stats_print(zel_module_t *module, zel_ip_flow_handle_t rule);

/* `rule`: a policy-routing rule of this module. Failures as for a filter
 * rule, with "Invalid input PBR rule handle" and "Invalid PBR rule
 * handle". */
ZEL_IP_EXPORT uint32_t zel_ip_pbr_rule_stats_get(zel_module_t *module, zel_ip_flow_handle_t rule,
                                                 zel_ip_pbr_rule_stats_t *out);
ZEL_IP_EXPORT uint32_t zel_ip_pbr_rule_stats_print(zel_module_t *module, zel_ip_flow_handle_t rule);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_STATS_H */
