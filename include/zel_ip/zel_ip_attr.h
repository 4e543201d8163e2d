/*
 * Interface attributes: the switches of a live IPoE or tunnel interface,
 * changed one at a time, and the per-domain source-address filters.
 *
 * Each interface call rewrites one or two per-interface entries and keeps
 * their value words in the interface, so the next call starts from the
 * current words (a status change keeps the filter kind, a filter change
 * keeps the administrative state, and so on). The interface changes only
 * once every entry of the call has been written: a call that fails after
 * its first entry leaves the interface as it was, and repeating it after
 * the cause is gone brings the entries and the interface to the new state.
 *
 * "intf" accepts an IPoE interface (zel_ip_intf_handle_t) or a tunnel
 * interface (zel_ip_tunnel_handle_t) unless a call says otherwise. Every
 * call takes the module handle first, runs under the module's write lock
 * and returns a status word (zel_ip_status.h): 0 on success, 0x30001 for a
 * bad module handle, the framework's status with severity 3 when the lock
 * cannot be taken; a failure to program an entry with severity 1. An
 * interface whose delete has begun takes no change (refused with the
 * status the call gives a handle it cannot use).
 */
#ifndef ZEL_IP_ATTR_H
#define ZEL_IP_ATTR_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_types.h"
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZEL_IP_INTF_UP 1u          /* any other status: administratively down */
#define ZEL_IP_DIR_INGRESS 0u
#define ZEL_IP_DIR_EGRESS 1u
#define ZEL_IP_DSCP_PROFILE_MAX 31u /* 0: no DSCP map                       */

/* Source-address filter types (any value above 1 blocks everything). */
#define ZEL_IP_SIP_ALLOW 0u         /* the source is accepted                 */
#define ZEL_IP_SIP_BLOCK_FWD 1u     /* not forwarded; local delivery allowed  */
#define ZEL_IP_SIP_BLOCK_ALL 2u     /* dropped                                */

/* An ingress policing request; the interface keeps the last one. */
typedef struct zel_ip_policing_req {
    uint8_t enable;   /* 1: police ingress traffic with `policer`; else off */
    void *policer;    /* the QoS service's policer (read with enable 1)     */
} zel_ip_policing_req_t;

/* Administrative state: status 1 enables, any other value disables.
 * Returns 0; 0x1030006 (not an IPoE or tunnel interface). */
ZEL_IP_EXPORT uint32_t zel_ip_interface_status_set(zel_module_t *module, void *intf, uint32_t status);

/* Kind of filter of one direction (0 ingress, 1 egress): type 0 none, 1
 * basic, 2 extended. Returns 0; 0x30008 (not an interface, type above 2);
 * 0x1030018 (direction above 1). */
ZEL_IP_EXPORT uint32_t zel_ip_interface_filter_type_set(zel_module_t *module, void *intf, uint32_t direction,
                                                        uint32_t type);

/* Attach a filter rule set to one direction (replacing the one attached).
 * While attached the rule set is in use by the interface: its delete is
 * refused with 0x3000f until the filter is cleared or the interface is
 * deleted. Returns 0; 0x30008 (not an interface, not a rule set);
 * 0x1030018 (direction above 1); 0x10012 (memory). */
ZEL_IP_EXPORT uint32_t zel_ip_interface_filter_set(zel_module_t *module, void *intf, uint32_t direction,
                                                   zel_ip_rule_set_handle_t rule_set);

/* Detach the rule set of one direction. `rule_set` must be a valid rule
 * set; it is not compared with the attached one. Returns as filter set. */
ZEL_IP_EXPORT uint32_t zel_ip_interface_filter_clear(zel_module_t *module, void *intf, uint32_t direction,
                                                     zel_ip_rule_set_handle_t rule_set);

/* Ingress DSCP priority-map profile (direction 0 only): 1 to 31, 0 = off.
 * Returns 0; 0x30008 (not an interface, direction not 0, profile above
 * 31). */
ZEL_IP_EXPORT uint32_t zel_ip_interface_priority_map_profile_config(zel_module_t *module, void *intf,
                                                                    uint32_t direction, uint32_t profile_id);

/* Ingress policing: on (enable 1) with the policer's policing flow, or
 * off. Returns 0; 0x30008 (req NULL, not an interface); the QoS service's
 * status with severity 3 when it cannot resolve the policer (nothing
 * changed). */
ZEL_IP_EXPORT uint32_t zel_ip_interface_ingress_policing_set(zel_module_t *module, void *intf,
                                                             const zel_ip_policing_req_t *req);

/* MTU of an IPoE interface, 64 to 9000 (0 is refused): its egress entry
 * and the source entry of every address. Returns 0; 0x30008 (not an IPoE
 * interface); 0x1030016 (MTU). */
ZEL_IP_EXPORT uint32_t zel_ip_interface_mtu_set(zel_module_t *module, zel_ip_intf_handle_t intf, uint32_t mtu);

/* Source-address filter of a domain (NULL: 63): packets whose source lies
 * in addr = {address, prefix length 0 to 32} are treated by `type`
 * (ZEL_IP_SIP_*); prefix length 0 covers the whole domain. An entry with
 * the same key is replaced, whoever wrote it. Returns 0; 0x30008 (addr
 * NULL, VRD handle, prefix length above 32). */
ZEL_IP_EXPORT uint32_t zel_ip_sip_addr_filter_add(zel_module_t *module, zel_ip_vrd_handle_t vrd,
                                                  const uint32_t addr[2], uint32_t type);

/* Remove the filter entry of addr (whoever wrote it); its sources fall
 * back to the closest shorter entry. Returns as add, and the engine's
 * refusal (0x10041) when there is no such entry. As for a route delete, a
 * removal that failed after the engine had dropped the entry is refused
 * when repeated; adding the filter again and removing it puts it right. */
ZEL_IP_EXPORT uint32_t zel_ip_sip_addr_filter_rem(zel_module_t *module, zel_ip_vrd_handle_t vrd,
                                                  const uint32_t addr[2]);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_ATTR_H */
