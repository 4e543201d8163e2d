/*
 * Extended ACL filters: rule sets, rules and their staged commit.
 *
 * A rule set is an ordered access list of up to 32 per module, named by
 * its id (1 to 32). A rule matches IPv4 packets on ranges of DSCP,
 * fragment class, protocol, source and destination prefixes and L4 ports
 * (or ICMP/IGMP type and code), and decides: allow, deny or send to the
 * CPU, optionally counting, policing and rewriting the DSCP. Rules are
 * tried by ascending rule index; the first match decides.
 *
 * Staged commit: adding, deleting or modifying a rule edits the rule set
 * in the engine at once, but packets keep being classified by the rule
 * set as it stood at its last commit until zel_ip_filter_set_commit
 * compiles the edited one. A deleted or modified rule therefore keeps its
 * statistics id, record and CPU-path entries on its set's pending list
 * until that commit; a set holds at most 64 pending rules.
 *
 * Every call takes the module handle first, runs under the module's write
 * lock and returns a status word (zel_ip_status.h): 0 on success, 0x30001
 * for a bad module handle, the framework's status with severity 3 when the
 * lock cannot be taken; the other failures are listed per call.
 * Addresses and ports are host byte order.
 */
#ifndef ZEL_IP_FILTER_H
#define ZEL_IP_FILTER_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_export.h"
#include "zel_ip/zel_ip_status.h"
#include "zel_ip/zel_ip_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Mask bits of zel_ip_filter_rule_t: which fields the rule matches. */
#define ZEL_IP_FILTER_PROTO 0x001u      /* protocol range                        */
#define ZEL_IP_FILTER_DIP 0x002u        /* destination prefix                    */
#define ZEL_IP_FILTER_SIP 0x004u        /* source prefix                         */
#define ZEL_IP_FILTER_DSCP 0x008u       /* DSCP range                            */
#define ZEL_IP_FILTER_FRAG 0x010u       /* fragment type                         */
#define ZEL_IP_FILTER_PROTO_INFO 0x020u /* the L4 fields apply: needs PROTO and a
                                         * single protocol                       */
#define ZEL_IP_FILTER_SPORT 0x100u      /* source port / ICMP, IGMP type range   */
#define ZEL_IP_FILTER_DPORT 0x200u      /* destination port / ICMP code range    */

/* Fragment types: the 2-bit fragment class range each one matches. */
#define ZEL_IP_FRAG_0 0u /* class 0     */
#define ZEL_IP_FRAG_1 1u /* classes 0-2 */
#define ZEL_IP_FRAG_2 2u /* classes 2-3 */
#define ZEL_IP_FRAG_3 3u /* class 2     */
#define ZEL_IP_FRAG_4 4u /* class 3; any other value matches every class,
                          * with a warning */

/* An extended rule (all fields u32, used under their mask bit). L4 ranges
 * apply with PROTO_INFO to protocols 1, 6, 17, 132 and 136 (both ranges)
 * and 2 (the source range only: IGMP type); other protocols ignore them. */
typedef struct zel_ip_filter_rule {
    uint32_t mask;          /* ZEL_IP_FILTER_* */
    uint32_t proto_lo, proto_hi;
    uint32_t dip, dip_prefix_len;   /* prefix length 1 to 32 */
    uint32_t sip, sip_prefix_len;   /* prefix length 1 to 32 */
    uint32_t frag_type;             /* ZEL_IP_FRAG_* */
    uint32_t dscp_lo, dscp_hi;      /* 0 to 63 */
    uint32_t sport_lo, sport_hi;    /* or ICMP/IGMP type */
    uint32_t dport_lo, dport_hi;    /* or ICMP code */
} zel_ip_filter_rule_t;

/* Action types. */
#define ZEL_IP_FILTER_ALLOW 1u
#define ZEL_IP_FILTER_DENY 2u  /* 0 is taken as Deny as well */
#define ZEL_IP_FILTER_CPU 3u   /* send to the CPU */

/* What a matching rule does. The CPU-path fields are read with
 * ZEL_IP_FILTER_CPU only; the policer with police 1 only. */
typedef struct zel_ip_filter_action {
    uint32_t type;              /* ZEL_IP_FILTER_ALLOW, _DENY, _CPU      */
    uint8_t count;              /* 1: count matching packets             */
    uint8_t police;             /* 1: police matching packets            */
    void *policer;              /* QoS policer (police 1)                */
    uint32_t cpu_kind;          /* ZEL_IP_CPU_PATH_NCA (2), or PH        */
    uint32_t cpu_target;        /* the NCA queue id, or the PH bind handle */
    uint8_t cpu_cb_fn_id;       /* PH callback function id               */
    uint32_t context_flow_id;   /* NCA: context carried with delivered
                                 * packets; 0 = the rule's own flow key
                                 * (the engine keeps its low 24 bits)    */
    uint8_t dscp_remap;         /* 1: rewrite the DSCP                   */
    uint8_t new_dscp;           /* 0 to 63                               */
    void *mtm_queue;            /* traffic-manager queue of the CPU path;
                                 * NULL = none                           */
    uint8_t dscp_cpu_queue;     /* 1: the CPU queue comes from the CPU
                                 * DSCP map (no MTM queue then)          */
} zel_ip_filter_action_t;

/* zel_ip_filter_set_commit modes. */
#define ZEL_IP_COMMIT_SET 0u /* build the given rule set           */
#define ZEL_IP_COMMIT_ALL 1u /* rebuild every rule set (handle unused) */

/* Create an empty rule set; *out is set to NULL first and to the set on
 * success. Returns 0x30008 (out NULL), 0x3001d (all 32 ids in use),
 * 0x10012 (memory; the id is given back). */
ZEL_IP_EXPORT uint32_t zel_ip_filter_rule_set_create(zel_module_t *module, zel_ip_rule_set_handle_t *out);

/* Delete a rule set: its id goes back and its handle becomes invalid.
 * The rules of the set are not touched. Before deleting a set the caller
 * must therefore delete every rule of it and commit the set
 * (zel_ip_filter_set_commit, mode 0): rules left behind stay in the
 * engine under the set's id (a set that later draws the same id starts
 * with them), keep their statistics ids, and every later call on them is
 * refused with 0x1030019, as on any rule of a set that is gone.
 * Returns 0x1030019 (not a live rule set), 0x3000f (an interface uses the
 * set, or rules of the set are still pending a commit: nothing changed,
 * the log says which), 0x1001e (the id could not be given back: nothing
 * changed). */
ZEL_IP_EXPORT uint32_t zel_ip_filter_rule_set_delete(zel_module_t *module, zel_ip_rule_set_handle_t set);

/* Add a rule at `rule_idx` (its place in the set) and write its handle to
 * *out (set to NULL first). Effective for packets at the next commit of
 * the set. Returns, in the order checked:
 *   0x30008: rule, action or out NULL; PROTO_INFO with a protocol range;
 *   0x1030019: not a live rule set;
 *   0x1030012: a destination or source prefix length outside 1 to 32
 *              under its mask bit;
 *   0x30008: an action type above 3; a context flow id above 24 bits;
 *   0x103000d: PROTO_INFO without PROTO;
 *   0x30008: Send-To-CPU with both an MTM queue and the DSCP CPU queue;
 *   the QoS service's status with severity 3 (no policing flow id), or
 *   0x30008 (a policing flow id above 24 bits);
 *   0x10012 (memory), 0x3001d (no statistics id left), 0x1002c (state
 *   memory), a CPU-path programming failure with severity 1, 0x1030010
 *   (the rule index is taken in the set), 0x10054 (engine insert).
 * A failed add gives back what it took (statistics id, CPU-path entries,
 * record); only a withdrawal that fails too keeps it (and logs it). */
ZEL_IP_EXPORT uint32_t zel_ip_filter_rule_add(zel_module_t *module, zel_ip_rule_set_handle_t set,
                                              uint32_t rule_idx, const zel_ip_filter_rule_t *rule,
                                              const zel_ip_filter_action_t *action,
                                              zel_ip_flow_handle_t *out);

/* Delete a rule (rule_idx is its index). It leaves the engine's edited
 * set at once and becomes pending: its handle is invalid from now on, and
 * its statistics id, CPU-path entries and record are released by the next
 * commit of its set. Returns 0x30008 (not a live rule, a rule of another
 * kind), 0x1030019 (its rule set was deleted), 0x3000f (64 rules of the
 * set already pending; or the rule is pending a commit), 0x1030010 (no
 * rule of that index in the set), 0x10055 (engine delete). A failed delete
 * changes nothing. */
ZEL_IP_EXPORT uint32_t zel_ip_filter_rule_delete(zel_module_t *module, uint32_t rule_idx,
                                                 zel_ip_flow_handle_t rule);

/* Replace the action of a rule. The engine's edited set carries the new
 * action at once, under a new flow key (the rule key alternates between 0
 * and 4) so that the old CPU-path entries stay for the compiled set until
 * the next commit releases them; until then the rule cannot be deleted or
 * modified again. Returns 0x30008 (action NULL, not a live rule, a rule of
 * another kind, an action refused as by add), 0x1030019 (its rule set was
 * deleted), the QoS service's status with severity 3, 0x3000f (64 rules
 * of the set pending; or this one is), a CPU-path programming failure with
 * severity 1, 0x1030010 / 0x10054 (engine replace). A failed modify
 * leaves the rule as it was. */
ZEL_IP_EXPORT uint32_t zel_ip_filter_rule_action_modify(zel_module_t *module, uint32_t rule_idx,
                                                        zel_ip_flow_handle_t rule,
                                                        const zel_ip_filter_action_t *action);

/* Commit: mode ZEL_IP_COMMIT_SET compiles the given set; when the engine
 * asks for it (status 0x1fb) every set is rebuilt instead. Mode
 * ZEL_IP_COMMIT_ALL rebuilds every set. On success the pending lists of
 * the sets compiled are released. Returns 0x30008 (another mode),
 * 0x1030019 (mode 0 and not a live set), 0x10057 / 0x10058 (build /
 * rebuild failed: the pending lists are untouched, repeat the commit), or
 * the status of the last release step that failed (a CPU-path removal with
 * severity 1, 0x1001e for a statistics id): those rules stay on the list
 * with what is left of them, and the next commit finishes them. */
ZEL_IP_EXPORT uint32_t zel_ip_filter_set_commit(zel_module_t *module, uint32_t mode,
                                                zel_ip_rule_set_handle_t set);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_FILTER_H */
