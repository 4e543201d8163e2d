/*
 * Association flow filters: per ingress association, an ordered list of
 * rules that pass or drop the packets the association matched, by the
 * Layer-2 interface they arrived on, their protocol and their source and
 * destination prefixes.
 *
 * The engine applies an association's list to its packets when the
 * association was created with flow_filter 1 (zel_ip_flow.h). Rules are
 * matched by ascending rule index; the first rule whose every given field
 * matches decides; a packet no rule matches is dropped. Adding and
 * deleting rules edit the association's list at once, but packets see
 * the list as it was at the association's last commit.
 *
 * Every call takes the module handle first, runs under the module's write
 * lock and returns a status word (zel_ip_status.h): 0 on success, 0x30001
 * for a bad module handle, the framework's status with severity 3 when
 * the lock cannot be taken; the other failures are listed per call.
 * Addresses are host byte order.
 */
#ifndef ZEL_IP_ASSOC_FILTER_H
#define ZEL_IP_ASSOC_FILTER_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_export.h"
#include "zel_ip/zel_ip_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Fields a rule matches (mask); a field not in the mask matches anything. */
#define ZEL_IP_AFF_L2_INTF 0x01u /* the Layer-2 interface the packet came in on */
#define ZEL_IP_AFF_DIP 0x04u     /* destination prefix                         */
#define ZEL_IP_AFF_SIP 0x08u     /* source prefix                              */
#define ZEL_IP_AFF_PROTO 0x40u   /* IP protocol                                */

/* Rule actions. */
#define ZEL_IP_AFF_PASS 0u
#define ZEL_IP_AFF_DROP 1u

/* An association flow filter rule. */
typedef struct zel_ip_assoc_flow_filter_rule {
    uint32_t mask;                     /* ZEL_IP_AFF_* fields matched              */
    const zel_obj_header_t *l2_intf;   /* mask 0x01: a sibling module's Layer-2
                                        * interface (its interface id, 0 to
                                        * 0xffffff, is matched)                    */
    uint32_t proto;                    /* mask 0x40: low 8 bits used               */
    uint32_t sip;                      /* mask 0x08: source address                */
    uint32_t sip_prefix_len;           /*   0 to 32; 0 matches every source        */
    uint32_t dip;                      /* mask 0x04: destination address           */
    uint32_t dip_prefix_len;           /*   0 to 32; 0 matches every destination   */
} zel_ip_assoc_flow_filter_rule_t;

/* Add rule `rule_idx` to the list of ingress association `assoc` with
 * `action` (ZEL_IP_AFF_PASS or _DROP). *out is set to NULL first and to the
 * new rule's handle on success; the rule takes effect at the next commit.
 * Returns 0;
 *   0x30008: NULL rule or out; an action above 1 ("Invalid Filter action ");
 *            `assoc` is not a live ingress association ("Invalid ingress
 *            association flow handle");
 *   0x1030006: mask 0x01 with a NULL handle, one that is not an interface
 *            object, or an interface id wider than 24 bits;
 *   0x1030012: a prefix length above 32 for a prefix in the mask;
 *   0x10012 (memory); 0x1030010 when the association already has a rule
 *   of that index; another engine failure with severity 1.
 * An association with rules cannot be deleted (0x3000f) until they are. */
ZEL_IP_EXPORT uint32_t zel_ip_assoc_flow_filter_rule_add(zel_module_t *module, zel_ip_flow_handle_t assoc,
                                                         uint32_t rule_idx,
                                                         const zel_ip_assoc_flow_filter_rule_t *rule,
                                                         uint32_t action, zel_ip_flow_handle_t *out);

/* Delete a rule: it leaves the association's list and its handle becomes
 * invalid; packets see the change at the next commit. `rule_idx` must be
 * the index the rule was added with. Returns 0; 0x30008 ("Invalid flow
 * handle": not a live flow, a rule already deleted; "Invalid assocication
 * flow filter handle type": a flow of another kind; an index that is not
 * the rule's: nothing is deleted); an engine failure with severity 1 (the
 * rule stays). */
ZEL_IP_EXPORT uint32_t zel_ip_assoc_flow_filter_rule_delete(zel_module_t *module, uint32_t rule_idx,
                                                            zel_ip_flow_handle_t rule);

/* Commit the list of association `assoc`: its packets are matched by the
 * rules it has now. Returns 0; 0x30008 when `assoc` is not a live ingress
 * association; 0x10051 when the engine cannot build the list (the packets
 * keep the list of the last commit). */
ZEL_IP_EXPORT uint32_t zel_ip_assoc_flow_filter_commit(zel_module_t *module, zel_ip_flow_handle_t assoc);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_ASSOC_FILTER_H */
