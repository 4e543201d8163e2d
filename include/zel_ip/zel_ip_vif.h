/*
 * Virtual interfaces.
 *
 * A virtual interface gives the router an address of its own in a routing
 * domain without any Layer-2 interface below it: traffic to the address
 * is delivered locally like traffic to an interface address, but nothing
 * is sent out of it. It has one /32 address (one slot of the module's
 * compressed address table), an interface id handed out by the framework
 * and an ingress association mask; no subnet, MTU or filter.
 *
 * Every call takes the module handle first, runs under the module's write
 * lock and returns a status word (zel_ip_status.h). Addresses are host
 * byte order.
 */
#ifndef ZEL_IP_VIF_H
#define ZEL_IP_VIF_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_types.h"
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Virtual interface parameters, copied into the interface at create. */
typedef struct zel_ip_vif_params {
    zel_ip_vrd_handle_t vrd; /* NULL: the default domain 63                   */
    uint32_t addr;           /* not 0, 255.255.255.255, multicast or loopback */
    /* Which fields key ingress-association lookups for traffic to the
     * address; 0 = 0x10 (protocol only). */
    uint16_t assoc_mask;
    uint8_t reassemble;      /* 1: reassemble traffic to the address first   */
} zel_ip_vif_params_t;

/* Create a virtual interface. *out is set to NULL first (when out is not
 * NULL) and to the new interface on success. Returns 0; 0x30008 (NULL
 * pointer, or an association mask the mask check refuses); 0x1030006 (VRD
 * handle); 0x1030014 (address refused, or already in use in the domain);
 * 0x10012 (memory); 0x1000b (compressed address table full); a platform
 * failure with severity 1. A create that fails after the record was
 * allocated withdraws what it had set up and frees the record. */
ZEL_IP_EXPORT uint32_t zel_ip_virtual_interface_create(zel_module_t *module, const zel_ip_vif_params_t *params,
                                                       zel_ip_vif_handle_t *out);

/* Delete a virtual interface: its address entry, its interface entry, its
 * compressed address slot and its interface id. Returns 0; 0x30008 (not a
 * virtual interface); 0x30001 (its domain is gone); 0x1000b; a platform
 * failure with severity 1. A delete that fails partway keeps the
 * interface; repeating it goes on from the failed step. */
ZEL_IP_EXPORT uint32_t zel_ip_virtual_interface_delete(zel_module_t *module, zel_ip_vif_handle_t vif);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_VIF_H */
