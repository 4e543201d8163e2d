/*
 * Basic filters: the light ACL rules of a rule set (zel_ip_filter.h),
 * matching only the protocol and the source and destination prefixes,
 * each field on its own (exact, a prefix, or anything), with the actions
 * of extended rules. An interface filters with either the basic or the
 * extended rules of its rule set (its filter type).
 *
 * Basic rules follow the staged commit of extended rules: edits reach the
 * engine at once, packets see the set's basic rules as they stood at its
 * last zel_ip_basic_filter_set_commit; a deleted or modified rule keeps
 * its statistics id, record and CPU-path entries on the set's basic
 * pending list (at most 64) until then. The basic and the extended
 * pending lists of a set are independent: a commit of one kind leaves the
 * other kind's list as it is.
 *
 * Every call takes the module handle first, runs under the module's write
 * lock and returns a status word (zel_ip_status.h): 0 on success, 0x30001
 * for a bad module handle, the framework's status with severity 3 when
 * the lock cannot be taken; the other failures are listed per call.
 * Addresses are host byte order.
 */
#ifndef ZEL_IP_BASIC_FILTER_H
#define ZEL_IP_BASIC_FILTER_H

#include <stdint.h>

#include "zel_ip/zel_ip_export.h"
#include "zel_ip/zel_ip_filter.h"
#include "zel_ip/zel_ip_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Mask bits of zel_ip_basic_filter_rule_t; a field not in the mask matches
 * anything. The extended bits DSCP (0x08), FRAG (0x10) and PROTO_INFO
 * (0x20) are refused; other bits are ignored. */
#define ZEL_IP_BASIC_FILTER_PROTO 0x01u /* the protocol           */
#define ZEL_IP_BASIC_FILTER_DIP 0x02u   /* the destination prefix */
#define ZEL_IP_BASIC_FILTER_SIP 0x04u   /* the source prefix      */

typedef struct zel_ip_basic_filter_rule {
    uint32_t mask;            /* ZEL_IP_BASIC_FILTER_*        */
    uint32_t proto;           /* low 8 bits used              */
    uint32_t dip;
    uint32_t dip_prefix_len;  /* 1 to 32 under its mask bit   */
    uint32_t sip;
    uint32_t sip_prefix_len;  /* 1 to 32 under its mask bit   */
} zel_ip_basic_filter_rule_t;

/* Add a basic rule at `rule_idx` of `set` and write its handle to *out
 * (set to NULL first). Effective for packets at the next basic commit of
 * the set. Returns, in the order checked:
 *   0x30008: rule, action or out NULL;
 *   0x1030019: not a live rule set;
 *   0x1030012: a destination or source prefix length outside 1 to 32
 *              under its mask bit;
 *   0x30008: an action type above 3;
 *   0x1030011: mask bit 0x08, 0x10 or 0x20;
 *   then as zel_ip_filter_rule_add (the CPU queue choice, the policer,
 *   memory, statistics id, state memory, CPU path), 0x1030010 (the index
 *   is taken by a basic rule of the set), 0x1004e (engine insert).
 * A failed add gives back what it took. */
ZEL_IP_EXPORT uint32_t zel_ip_basic_filter_rule_add(zel_module_t *module, zel_ip_rule_set_handle_t set,
                                                    uint32_t rule_idx, const zel_ip_basic_filter_rule_t *rule,
                                                    const zel_ip_filter_action_t *action,
                                                    zel_ip_flow_handle_t *out);

/* Delete a basic rule (rule_idx is its index): it becomes pending until
 * the next basic commit of its set, its handle invalid from now on.
 * Returns 0x30008 ("Invalid flow handle": not a live rule; "Invalid basic
 * flow filter handle type": a flow of another kind; an index that is not
 * the rule's), 0x1030019 (its set was deleted), 0x3000f (64 basic rules of
 * the set pending, or this one is), 0x1004f (engine delete; nothing
 * changed). */
ZEL_IP_EXPORT uint32_t zel_ip_basic_filter_rule_delete(zel_module_t *module, uint32_t rule_idx,
                                                       zel_ip_flow_handle_t rule);

/* Replace the action of a basic rule, as zel_ip_filter_rule_action_modify
 * does for an extended one (new flow key with the other rule key, old
 * CPU-path entries kept until the next basic commit). Returns as that
 * call, with 0x1004e for a failed engine replace. */
ZEL_IP_EXPORT uint32_t zel_ip_basic_filter_rule_action_modify(zel_module_t *module, uint32_t rule_idx,
                                                              zel_ip_flow_handle_t rule,
                                                              const zel_ip_filter_action_t *action);

/* Compile the basic rules of `set` and release its basic pending list.
 * There is no rebuild of every set. Returns 0x1030019 (not a live set),
 * 0x10051 (build failed: the list is untouched, repeat the commit), or
 * the status of the last release step that failed, as
 * zel_ip_filter_set_commit. */
ZEL_IP_EXPORT uint32_t zel_ip_basic_filter_set_commit(zel_module_t *module, zel_ip_rule_set_handle_t set);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_BASIC_FILTER_H */
