/*
 * Policy-based routing: policy rules that override the destination lookup
 * for the packets they match.
 *
 * A policy rule matches on eight ranges (PCP, DSCP, fragment class,
 * protocol, source and destination address, source and destination port)
 * and carries an action: route by destination after all, forward to a next
 * hop, forward into an IP tunnel interface, or terminate locally and hand
 * the packet to the ingress association lookup. Rules are grouped in
 * policy sets; a set applies to the packets received on an interface
 * (zel_ip_pbr_config with an interface), to the locally originated packets
 * of one routing domain (zel_ip_vrd_pbr_config) or of all domains
 * (zel_ip_pbr_config without an interface).
 *
 * Staging: creating or deleting a rule edits its set in the engine at
 * once, but the engine keeps matching with the set as it was last
 * committed (zel_ip_pbr_commit) until the next commit. A deleted rule's id
 * and action entry stay reserved on its set's pending list until then (at
 * most 16 per set), since the committed set may still name them. A changed
 * action (zel_ip_pbr_rule_action_modify) is effective at once.
 *
 * Every call takes the module handle first, runs under the module's write
 * lock and returns a status word (zel_ip_status.h): 0 on success, 0x30001
 * for a bad module handle, the framework's status with severity 3 when the
 * lock cannot be taken. Engine and framework failures are returned with
 * severity 1. Addresses are host byte order. Handles are checked before
 * they are read: a stale or garbage handle is refused.
 */
#ifndef ZEL_IP_PBR_H
#define ZEL_IP_PBR_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_export.h"
#include "zel_ip/zel_ip_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Which fields of a rule match (zel_ip_pbr_rule_t.mask); a field whose bit
 * is clear matches everything. Only the low 16 bits are used. */
#define ZEL_IP_PBR_MASK_FRAG 0x01u     /* fragment type                 */
#define ZEL_IP_PBR_MASK_PROTO 0x02u    /* protocol low .. high          */
#define ZEL_IP_PBR_MASK_SIP 0x04u      /* source address / length       */
#define ZEL_IP_PBR_MASK_DIP 0x08u      /* destination address / length  */
#define ZEL_IP_PBR_MASK_SPORT 0x10u    /* source port low .. high       */
#define ZEL_IP_PBR_MASK_DPORT 0x20u    /* destination port low .. high  */
#define ZEL_IP_PBR_MASK_DSCP 0x40u     /* DSCP low .. high              */
#define ZEL_IP_PBR_MASK_PCP 0x80u      /* VLAN priority low .. high     */

/* Fragment types (ZEL_IP_PBR_MASK_FRAG). */
#define ZEL_IP_PBR_FRAG_NONE 0u        /* unfragmented packets only         */
#define ZEL_IP_PBR_FRAG_NOT_LATER 1u   /* unfragmented or first fragments   */
#define ZEL_IP_PBR_FRAG_ANY 2u         /* any fragment                      */
#define ZEL_IP_PBR_FRAG_FIRST 3u       /* first fragments only              */
#define ZEL_IP_PBR_FRAG_LATER 4u       /* non-first fragments only          */

/* What a matching packet gets; fields in this order.
 *   dip_based_routing 1: route by destination; every other field ignored.
 *   Otherwise exactly one of:
 *   - next_hop (not 0; not 255.255.255.255, 224.0.0.0/4 or 127.0.0.0/8)
 *     with egress_intf an IPoE interface;
 *   - next_hop 0 with egress_intf an IP tunnel interface (a
 *     zel_ip_tunnel_handle_t): into the tunnel;
 *   - local_termination 1: delivered to the ingress association lookup,
 *     keyed by the fields of assoc_mask (the ingress association mask of
 *     zel_ip_flow.h; 0 = destination address only), reassembled first
 *     with reassembly 1 (which needs local termination). */
typedef struct zel_ip_pbr_action {
    uint8_t dip_based_routing;
    uint32_t next_hop;
    void *egress_intf;
    uint8_t reassembly;
    uint8_t local_termination;
    uint16_t assoc_mask;
} zel_ip_pbr_action_t;

/* A policy rule; fields in this order. Ranges are inclusive: low must not
 * exceed high for a field whose mask bit is set. Prefix lengths are 0 to
 * 32. DSCP values are 0 to 63, PCP values 0 to 7. */
typedef struct zel_ip_pbr_rule {
    zel_ip_policy_set_handle_t policy_set;
    uint32_t mask;                 /* ZEL_IP_PBR_MASK_*            */
    uint32_t dest_addr, dest_prefix_len;
    uint32_t src_addr, src_prefix_len;
    uint32_t proto_low, proto_high;
    uint32_t dport_low, dport_high;
    uint32_t sport_low, sport_high;
    uint32_t dscp_low, dscp_high;
    uint32_t frag_type;            /* ZEL_IP_PBR_FRAG_*            */
    uint32_t pcp_low, pcp_high;
    zel_ip_pbr_action_t action;
} zel_ip_pbr_rule_t;

/* Commit modes. */
#define ZEL_IP_PBR_COMMIT_SET 0u   /* build the given set                    */
#define ZEL_IP_PBR_COMMIT_ALL 1u   /* rebuild every set (the handle unused)  */

/* Create a policy set (at most 32; ids 1 to 32). *set is NULL on failure.
 * Returns 0x30008 (set NULL), 0x1001d (no id left, severity 1 as taken
 * from the engine's text), 0x10012 (no memory; the id is given back). */
ZEL_IP_EXPORT uint32_t zel_ip_pbr_policy_set_create(zel_module_t *module,
                                                    zel_ip_policy_set_handle_t *set);

/* Delete a policy set. A set that is still used is refused with 0x3000f
 * and a message naming the user: by a live rule of it (delete the rules
 * first), by deleted rules whose ids wait for a commit (commit first), or
 * by an interface, a domain or the locally originated traffic it is
 * applied to (remove it there first: its id would go to the next set
 * created, which would then be applied to those users unasked). Returns
 * 0x103001b (invalid handle), 0x3000f (in use), 0x1001e (the id could not
 * be given back; nothing changed). */
ZEL_IP_EXPORT uint32_t zel_ip_pbr_policy_set_delete(zel_module_t *module,
                                                    zel_ip_policy_set_handle_t set);

/* Create a rule at position rule_idx of its set (lower positions match
 * first). The rule uses its set, and the tunnel its action goes into (a
 * tunnel in use cannot be deleted). The rule takes part in matching after the next commit of its
 * set; its action entry is live at once. *rule is NULL on failure, and a
 * failed create releases what it took. Returns 0x30008 (NULL argument, a
 * low above its high, a fragment type above 4, a prefix length above 32,
 * an invalid action), 0x103001b (invalid set), 0x1030014 (invalid next
 * hop), 0x10012, 0x1001d, 0x1002c, or the engine's refusal with severity 1
 * (0x10054 for a position already used in the set). */
ZEL_IP_EXPORT uint32_t zel_ip_pbr_entry_create(zel_module_t *module, uint32_t rule_idx,
                                               const zel_ip_pbr_rule_t *desc,
                                               zel_ip_flow_handle_t *rule);

/* Delete a rule: it stops matching after the next commit; its id waits on
 * its set's pending list until then. rule_idx must be the rule's own
 * position. Returns 0x30008 (invalid handle, not a policy rule, another
 * position), 0x3000f (16 deletions of the set wait for a commit), or the
 * engine's failure with severity 1 (the rule stays live). */
ZEL_IP_EXPORT uint32_t zel_ip_pbr_entry_delete(zel_module_t *module, uint32_t rule_idx,
                                               zel_ip_flow_handle_t rule);

/* Replace a rule's action; effective at once. Returns 0x30008, 0x1030014
 * (checks as for create) or the engine's failure with severity 1 (the rule
 * keeps its action). */
ZEL_IP_EXPORT uint32_t zel_ip_pbr_rule_action_modify(zel_module_t *module, zel_ip_flow_handle_t rule,
                                                     const zel_ip_pbr_action_t *action);

/* Commit: mode ZEL_IP_PBR_COMMIT_SET builds `set` (a build the engine
 * answers with "rebuild everything" continues as ZEL_IP_PBR_COMMIT_ALL);
 * ZEL_IP_PBR_COMMIT_ALL rebuilds every set. Then the pending lists of the
 * built sets are released. A failed build or rebuild leaves every pending
 * list for the next commit. Returns 0x30008 (another mode), 0x103001b
 * (invalid set with mode 0), 0x10057 / 0x10058 (build / rebuild failed),
 * or the status of the last release step that failed (that id stays
 * pending). */
ZEL_IP_EXPORT uint32_t zel_ip_pbr_commit(zel_module_t *module, uint32_t mode,
                                         zel_ip_policy_set_handle_t set);

/* Apply a policy set to the packets received on an interface (an IPoE
 * interface or an IP tunnel interface, given as void *), or with `intf`
 * NULL to the locally originated packets of every domain; `set` NULL
 * removes it. The set is in use while applied. Returns 0x30008 (not an
 * interface), 0x103001b (invalid set), or a programming failure with
 * severity 1 (the interface keeps its previous setting). */
ZEL_IP_EXPORT uint32_t zel_ip_pbr_config(zel_module_t *module, void *intf,
                                         zel_ip_policy_set_handle_t set);

/* Apply a policy set to the locally originated packets of domain `vrd_id`
 * (0 to 63; the domain need not exist, and the setting outlives it), or
 * remove it with `set` NULL. Returns 0x30008 (id above 63), 0x103001b, or
 * a programming failure with severity 1. */
ZEL_IP_EXPORT uint32_t zel_ip_vrd_pbr_config(zel_module_t *module, uint32_t vrd_id,
                                             zel_ip_policy_set_handle_t set);

/* Internal checks and engine helpers, exported for the module's own
 * callers; they take no lock (the caller holds the module write lock). */

/* Checks a rule descriptor (set, ranges, fragment type, prefix lengths,
 * then the action). */
ZEL_IP_EXPORT uint32_t zel_ipv4_valid_pbr_info(zel_module_t *module, const zel_ip_pbr_rule_t *desc);
/* Checks an action. */
ZEL_IP_EXPORT uint32_t zel_ipv4_valid_pbr_action(zel_module_t *module, const zel_ip_pbr_action_t *action);
/* Inserts (op 1) or deletes (any other op) the rule's policy-route entry
 * of the descriptor's set at rule_idx, naming rule id ns_id. */
ZEL_IP_EXPORT uint32_t zel_ip_pbr_hw_rule(zel_module_t *module, uint32_t rule_idx,
                                          const zel_ip_pbr_rule_t *desc, uint32_t ns_id, uint32_t op);
/* Learns (op 1) or unlearns (op 0) the action entry of rule id ns_id;
 * `tunnel` 1 when the action's egress interface is a tunnel. */
ZEL_IP_EXPORT uint32_t zel_ip_pbr_hw_action(zel_module_t *module, uint32_t ns_id,
                                            const zel_ip_pbr_action_t *action, uint32_t tunnel,
                                            uint32_t op);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_PBR_H */
