/*
 * IPoE interfaces and their addresses.
 *
 * An IPoE interface is an IPv4 interface laid over a Layer-2 interface of
 * a sibling module. Its key in every per-interface tree is the Layer-2
 * interface's id (INTF-ID). It has one primary address and up to nine
 * secondary ones; every address takes one slot of the module's 256-slot
 * compressed address table, and an address may be used once per routing
 * domain.
 *
 * Every call takes the module handle first, runs under the module's write
 * lock and returns a status word (zel_ip_status.h): validation failures
 * with severity 3 (0x30008 bad parameter, 0x30001 bad handle, or a module
 * code such as 0x1030014), platform failures with severity 1.
 */
#ifndef ZEL_IP_INTERFACE_H
#define ZEL_IP_INTERFACE_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_types.h"
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Ingress filter kinds of an interface. */
#define ZEL_IP_INTF_FILTER_NONE 0u
#define ZEL_IP_INTF_FILTER_BASIC 1u
#define ZEL_IP_INTF_FILTER_EXTENDED 2u

/* Interface parameters, copied whole into the interface at create. */
typedef struct zel_ip_intf_params {
    /* The sibling module's Layer-2 interface: non-NULL with the interface
     * header magic in its third word; its first word is the INTF-ID. */
    const zel_obj_header_t *l2_intf;
    zel_ip_vrd_handle_t vrd;   /* NULL: the default domain 63              */
    uint32_t addr;             /* primary address, host order              */
    uint32_t prefix_len;       /* 1 to 31                                  */
    /* Which fields key ingress-association lookups for traffic to the
     * interface's own addresses; 0 = 0x10 (protocol only). */
    uint16_t assoc_mask;
    uint8_t admin_down;        /* 1: the interface starts disabled         */
    uint8_t reassemble;        /* 1: reassemble local traffic first        */
    uint32_t mtu;              /* 0 = 1500; otherwise 64 to 9000           */
    uint8_t nat_inside;        /* 1: inside of NAPT                        */
    uint8_t nat_outside;       /* 1: outside (when nat_inside is not 1)    */
    uint32_t filter_type;      /* ZEL_IP_INTF_FILTER_*                     */
    uint8_t qos_l3;            /* 1: egress QoS at level L3 (else L2)      */
    uint8_t pbr;               /* 1: policy-based routing on ingress       */
} zel_ip_intf_params_t;

/* Ingress association request for one /32 address of an interface. */
typedef struct zel_ip_addr_assoc_req {
    uint8_t enable;      /* 1 enable with `mask`, 0 disable              */
    uint16_t mask;       /* ingress association rule mask                */
} zel_ip_addr_assoc_req_t;

/* Create an interface. *out is set to NULL first and to the new interface
 * on success. Returns 0; 0x30008 (NULL pointer, filter type 3 or above, or
 * an association mask the mask check refuses); 0x1030014 (address refused:
 * multicast above /3, loopback above /7, 0, prefix outside 1 to 31, a
 * network or broadcast address below /31; the address already in use in
 * the domain; or an address whose entries - subnet route, network and
 * broadcast addresses, the address itself - fall on those of another
 * address in the domain, or on the domain's own source entries, such as a
 * subnet whose broadcast address is 255.255.255.255); 0x1030016 (MTU);
 * 0x1030006 (Layer-2 handle, or its id wider than the 16-bit INTF-ID, or
 * the Layer-2 interface already carries an IP interface; VRD handle);
 * 0x10012 (memory); 0x1000b (compressed table full); a platform failure
 * with severity 1. A failure after the record was allocated withdraws what
 * the create took (entries, compressed-table slot, ids) and frees the
 * record; only what the platform refuses to withdraw stays, with the ids
 * and the slot that key it (logged). */
ZEL_IP_EXPORT uint32_t zel_ip_interface_create(zel_module_t *module, const zel_ip_intf_params_t *params,
                                 zel_ip_intf_handle_t *out);

/* Delete an interface that has no secondary address: its entries that are
 * still its own (an address entry a route add replaced or a route delete
 * removed is left alone), its slot and ids. Returns 0; 0x30008 (not an
 * interface, or secondaries left); 0x30001 (its VRD is gone); 0x1000b; a
 * platform failure with severity 1. A delete that fails partway keeps the
 * interface; repeating it goes on from the failed step, and until then the
 * interface accepts no other change (each call refuses it with the status
 * it gives a handle it cannot use) but the removal of QoS maps. */
ZEL_IP_EXPORT uint32_t zel_ip_interface_delete(zel_module_t *module, zel_ip_intf_handle_t intf);

/* Add a secondary address addr = {address, prefix length}. Returns 0;
 * 0x30008 (NULL addr, not an interface, nine secondaries already);
 * 0x1030014 (address refused as at create, in use in the domain, or its
 * entries falling on another address's, one of the interface's own
 * included); 0x30001 (VRD); 0x1000b (compressed table full); a platform
 * failure. A failed add withdraws what it learnt; should that fail too,
 * the address stays a secondary and removing it completes the withdrawal. */
ZEL_IP_EXPORT uint32_t zel_ip_interface_addr_add(zel_module_t *module, zel_ip_intf_handle_t intf,
                                   const uint32_t addr[2]);

/* Remove a secondary address, or the primary when a secondary exists (the
 * last secondary then becomes the primary). Returns 0; 0x30008 (NULL
 * addr, not an interface, not an address of it, the only address);
 * 0x1030014; 0x30001; 0x1000b; a platform failure. A removal that fails
 * partway keeps the address; repeating it goes on from the failed step. */
ZEL_IP_EXPORT uint32_t zel_ip_interface_addr_rem(zel_module_t *module, zel_ip_intf_handle_t intf,
                                                 const uint32_t addr[2]);

/* Switch the attached-subnet route of one subnet of the interface: status
 * 0 withdraws it (a route that is no longer the interface's own, replaced
 * or removed by a route call, counts as withdrawn), any other value learns
 * it (the interface's own again). A prefix length of 0 in addr
 * means the primary subnet and then every secondary subnet. Returns 0;
 * 0x30008; 0x1030006 (not an interface); 0x30001; a platform failure. */
ZEL_IP_EXPORT uint32_t zel_ip_interface_subnet_status_set(zel_module_t *module, zel_ip_intf_handle_t intf,
                                                          const uint32_t addr[2], uint32_t status);

/* Set or clear the ingress association rule of one /32 address that is
 * one of the interface's own addresses (self) or a host of one of its
 * subnets. Returns 0; 0x30008; 0x30001; a platform failure. */
ZEL_IP_EXPORT uint32_t zel_ip_addr_ingress_association_set(zel_module_t *module, zel_ip_intf_handle_t intf,
                                                           const uint32_t addr[2],
                                                           const zel_ip_addr_assoc_req_t *req);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_INTERFACE_H */
