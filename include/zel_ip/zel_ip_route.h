/*
 * Routing domains and routes.
 *
 * A routing domain (VRD) is one routing-table instance: its id (0 to 63)
 * keys every per-domain tree. Domain 63 is the default domain: it exists
 * from start-up to shutdown, has no record and is named by a NULL VRD
 * handle. Routes are entries of the destination lookup tree keyed by VRD
 * ID and destination prefix; the module keeps no other copy of them, and
 * adding a route for a prefix that already has an entry replaces it.
 *
 * Every call takes the module handle first, runs under the module's write
 * lock and returns a status word (zel_ip_status.h): 0 on success, 0x30001
 * for a bad module handle, the framework's status with severity 3 when the
 * lock cannot be taken; the other failures are listed per call.
 * Addresses are host byte order.
 */
#ifndef ZEL_IP_ROUTE_H
#define ZEL_IP_ROUTE_H

#include <stdint.h>

#include "zel_ip/zel_ip_status.h"
#include "zel_ip/zel_ip_types.h"
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZEL_IP_DEFAULT_VRD_ID 63u

/* ---- Routing domains ---------------------------------------------------- */

/* zel_ip_vrd_mode modes. */
#define ZEL_IP_VRD_MODE_ROUTER 0u /* routing enabled (any mode other than 1)   */
#define ZEL_IP_VRD_MODE_HOST 1u   /* routing disabled: forwarded packets drop  */

/* Create domain *vrd_id (0 to 62) and write its handle to *out. The domain
 * drops packets from loopback, multicast and limited-broadcast sources;
 * those three source entries are its own: no interface address whose
 * entries fall on them is accepted in the domain. Returns 0x30008 (vrd_id
 * or out NULL), 0x3001D (the id is taken, is 63, or is outside 0 to 63),
 * 0x10012 (no memory), or a tree programming failure with severity 1. On
 * failure *out is left as it was and the create gives back what it took
 * (the entries it learnt, the id). What the platform refuses to give back
 * is logged and kept, the id with it while an entry stays, and released
 * by the next zel_ip_vrd_create or zel_ip_vrd_delete (until then a create
 * of that id answers 0x3001D). */
ZEL_IP_EXPORT uint32_t zel_ip_vrd_create(zel_module_t *module, const uint32_t *vrd_id, zel_ip_vrd_handle_t *out);

/* Delete a created domain: its source entries, then its id, then its
 * record; its handle is invalid afterwards. Routes and the host-mode
 * setting of the domain are not touched (a domain created again with the
 * same id is in the mode it was left in). Returns 0x30008 (NULL or invalid
 * handle: the default domain cannot be deleted), 0x3000F (an IP, tunnel or
 * virtual interface lives in the domain, or an ingress or egress
 * association is keyed by it; nothing changed, the log names the user), a tree
 * programming failure with severity 1, or 0x1001E (the id could not be
 * released). After a failure the domain stays, with its id and a valid
 * handle (the source entries already withdrawn stay withdrawn), and
 * repeating the delete completes it. */
ZEL_IP_EXPORT uint32_t zel_ip_vrd_delete(zel_module_t *module, zel_ip_vrd_handle_t vrd);

/* Host mode (mode 1) or router mode (any other value) for a domain; NULL
 * names the default domain. Returns 0x30008 (invalid handle) or the
 * engine's refusal with severity 1 (for instance router mode on a domain
 * already in router mode). */
ZEL_IP_EXPORT uint32_t zel_ip_vrd_mode(zel_module_t *module, zel_ip_vrd_handle_t vrd, uint32_t mode);

/* The handle of domain vrd_id: NULL for the default domain 63. Returns
 * 0x30008 (out NULL, vrd_id above 63) or 0x30013 (no such domain; *out is
 * set to NULL). */
ZEL_IP_EXPORT uint32_t zel_ip_vrd_handle_get(zel_module_t *module, uint32_t vrd_id, zel_ip_vrd_handle_t *out);

/* ---- Routes -------------------------------------------------------------- */

typedef struct zel_ip_route_params {
    zel_ip_vrd_handle_t vrd;     /* routing domain; NULL = default domain 63     */
    uint32_t dest;               /* destination address                          */
    uint32_t prefix_len;         /* 0 (the domain's default route) to 32         */
    uint32_t next_hop;           /* next-hop address; 0 = none                   */
    void *egress_intf;           /* IPoE or IP tunnel interface; NULL = none     */
    uint8_t reassembly;          /* non-zero: reassemble fragments before local
                                    delivery (needs local_termination)           */
    uint8_t local_termination;   /* non-zero: terminate locally, classify by the
                                    ingress associations                         */
    uint16_t ingress_assoc_mask; /* fields keying that classification (the
                                    ingress association mask); 0 = DIP only      */
} zel_ip_route_params_t;

/* Add or replace the route to dest/prefix_len:
 *   - next hop given: forward to it (a valid IPoE egress interface may be
 *     named, a tunnel may not);
 *   - no next hop, a tunnel egress interface: forward into the tunnel;
 *   - neither, local_termination 0: a null route (packets dropped);
 *   - local_termination: terminate locally (with the next hop or tunnel,
 *     if given, kept in the entry but not used for forwarding).
 * Checks, in order: params NULL 0x30008; invalid VRD handle 0x30001;
 * reassembly without local termination 0x30008; prefix_len above 32
 * 0x1030012; a next hop that is 255.255.255.255, multicast or loopback
 * 0x1030014; a next hop with a tunnel, or with an invalid interface,
 * 0x30008; no next hop with an interface that is not a tunnel 0x30008; a
 * tunnel whose delete has begun 0x30008; a mask breaking the ingress
 * association mask rules 0x30008. Programming failures are returned with
 * severity 1. A route through a tunnel is a use of the tunnel: the tunnel
 * is not deleted while routes go through it. */
ZEL_IP_EXPORT uint32_t zel_ip_route_add(zel_module_t *module, const zel_ip_route_params_t *params);

/* Remove whatever entry the destination tree holds for vrd, dest and
 * prefix_len (the other fields are not read); its addresses fall back to
 * the closest shorter route. An entry of an interface (its subnet route,
 * an address, a subnet broadcast) that a route add replaced or a route
 * delete removed is no longer the interface's: its delete leaves the key
 * alone. Returns 0x30008 (params NULL), 0x30001
 * (invalid VRD handle), 0x1030012 (prefix_len above 32) or the engine's
 * refusal with severity 1 (for instance no such entry). */
ZEL_IP_EXPORT uint32_t zel_ip_route_delete(zel_module_t *module, const zel_ip_route_params_t *params);

/* ---- Invalid destinations ---------------------------------------------- */

typedef struct zel_ip_invalid_dip_params {
    uint32_t dest;       /* destination address */
    uint32_t prefix_len; /* 0 to 32             */
} zel_ip_invalid_dip_params_t;

/* Mark dest/prefix_len in a domain as an invalid destination (its packets
 * are treated as Invalid-Route); replaces the entry for that prefix.
 * Returns 0x30008 (params NULL), 0x30001 (invalid VRD handle), 0x1030012
 * (prefix_len above 32) or a programming failure with severity 1. */
ZEL_IP_EXPORT uint32_t zel_ip_invalid_dip_add(zel_module_t *module, zel_ip_vrd_handle_t vrd,
                                              const zel_ip_invalid_dip_params_t *params);

/* Remove the entry for dest/prefix_len (whatever it is), as route delete
 * does. Same failures as zel_ip_invalid_dip_add. */
ZEL_IP_EXPORT uint32_t zel_ip_invalid_dip_rem(zel_module_t *module, zel_ip_vrd_handle_t vrd,
                                              const zel_ip_invalid_dip_params_t *params);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_ROUTE_H */
