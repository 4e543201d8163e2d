/*
 * Egress associations and egress flows: traffic a sibling module (or the
 * CPU) hands to the IPv4 module for transmission.
 *
 * An egress association says how to build the outer IPv4 header of the
 * packets sent on it: destination and source address, protocol, an
 * optional UDP header with its ports, MTU, TTL and checksum handling. An
 * egress flow is a next hop: an IPoE interface with an optional next-hop
 * address, or a tunnel interface. Each is a flow with an id of its own and
 * a flow handle; both are fixed once created (delete and create again to
 * change one).
 *
 * Every call takes the module handle first, runs under the module's write
 * lock and returns a status word (zel_ip_status.h): 0 on success, 0x30001
 * for a bad or not started module, the framework's status with severity 3
 * when the lock cannot be taken; the other failures are listed per call.
 * Addresses and ports are host byte order.
 */
#ifndef ZEL_IP_EGRESS_H
#define ZEL_IP_EGRESS_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_export.h"
#include "zel_ip/zel_ip_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Egress association mask (u16): which fields of the parameters count.
 * Exactly one of the two VRD bits; DIP always; DPORT and SPORT together
 * or neither; no bit above 0x40. */
#define ZEL_IP_EAM_VRD_HANDLE 0x01u
#define ZEL_IP_EAM_VRD_ID 0x02u
#define ZEL_IP_EAM_DIP 0x04u
#define ZEL_IP_EAM_SIP 0x08u   /* from the flow; without it the interface's */
#define ZEL_IP_EAM_PROTO 0x10u
#define ZEL_IP_EAM_DPORT 0x20u /* UDP destination port: a UDP header is inserted */
#define ZEL_IP_EAM_SPORT 0x40u

/* Egress association parameters, copied into the flow at create. */
typedef struct zel_ip_egress_assoc_params {
    uint16_t mask;            /* ZEL_IP_EAM_*; 0 = derive it from the fields:
                               * VRD handle always, DIP and SIP when not 0,
                               * PROTO when the protocol or a port is not 0,
                               * DPORT / SPORT when not 0                  */
    zel_ip_vrd_handle_t vrd;  /* mask 0x01; NULL = the default domain     */
    uint32_t vrd_id;          /* mask 0x02; 0 to 63                       */
    uint32_t dip;             /* destination address; not 0               */
    uint32_t sip;             /* source address (mask 0x08)               */
    uint8_t proto;            /* IP protocol; 0 = unspecified; with DPORT
                               * 17 or 0 (17 is written either way)       */
    uint16_t dport;           /* UDP destination port (mask 0x20)         */
    uint16_t sport;           /* UDP source port (mask 0x40)              */
    uint32_t mtu;             /* 0 = not given; else 64 to 9000           */
    uint8_t no_l4_csum_update;/* 0: the engine updates the L4 checksum of
                               * an inserted UDP header                   */
    uint8_t ttl;              /* 0 = the module's default TTL at the time
                               * of create (zel_ip_default_ttl_config); a
                               * later change of the default does not
                               * change an existing association          */
} zel_ip_egress_assoc_params_t;

/* Egress flow parameters, copied into the flow at create. */
typedef struct zel_ip_egress_flow_params {
    void *intf;         /* an IPoE or tunnel interface handle            */
    uint32_t next_hop;  /* IPoE only; 0 = none (any next hop)            */
} zel_ip_egress_flow_params_t;

/* Create an egress association. *out is set to NULL first and to the new
 * flow on success; the association's three lookup entries are in the
 * engine from then on.
 * Returns 0;
 *   0x30008: NULL pointer; a mask the mask rules refuse; DIP 0; a selected
 *            SIP of 0, 255.255.255.255, multicast or loopback; DPORT with
 *            a protocol other than 0 and 17;
 *   0x30001: a bad VRD handle (mask 0x01) or a VRD ID above 63 (0x02);
 *   0x1030016 (ZEL_IP_E_INVALID_MTU): an MTU outside 64 to 9000 (not 0);
 *   0x10012 (memory); 0x3001d (no egress association id left: all 70,365
 *   are in use); 0x1002c (state memory); 0x1007f (parameter memory); a
 *   failed entry with severity 1.
 * A create that fails after taking the association id withdraws the
 * entries it learnt, returns the id and frees the record; only a
 * withdrawal that fails as well leaves the id taken (the log says so). */
ZEL_IP_EXPORT uint32_t zel_ip_egress_association_create(zel_module_t *module,
                                                        const zel_ip_egress_assoc_params_t *params,
                                                        zel_ip_flow_handle_t *out);

/* Delete an egress association: its three lookup entries, then its id and
 * the record. Returns 0; 0x30008 ("Invalid Flow handle": not a live flow;
 * "Invalid flow handle parameter": a flow of another kind, an egress flow
 * among them); 0x3000f while something still uses it (the log names it);
 * a failed entry with severity 1 or 0x1001e (the id could not be
 * returned): the association then stays valid and repeating the delete
 * goes on from the failed step. */
ZEL_IP_EXPORT uint32_t zel_ip_egress_association_delete(zel_module_t *module,
                                                        zel_ip_flow_handle_t flow);

/* Create an egress flow on an interface (and next hop). *out is set to
 * NULL first and to the new flow on success. One flow per interface and
 * next hop.
 * Returns 0;
 *   0x30008: NULL pointer; a next hop with a tunnel interface; an
 *            interface that is neither IPoE nor tunnel; a next hop of
 *            255.255.255.255, multicast or loopback; an egress flow with
 *            the same interface and next hop exists;
 *   0x10012 (memory); 0x3001d (no egress flow id left: all 1,600 are in
 *   use); a failed entry with severity 1.
 * A create that fails after taking the flow id withdraws what it learnt,
 * returns the id and frees the record, as egress association create does.
 * The interface cannot be deleted while the flow exists. */
ZEL_IP_EXPORT uint32_t zel_ip_egress_flow_create(zel_module_t *module,
                                                 const zel_ip_egress_flow_params_t *params,
                                                 zel_ip_flow_handle_t *out);

/* Delete an egress flow: its lookup entry, then its id and the record.
 * Returns as zel_ip_egress_association_delete does ("Invalid flow handle
 * parameter" for an egress association handle). */
ZEL_IP_EXPORT uint32_t zel_ip_egress_flow_delete(zel_module_t *module, zel_ip_flow_handle_t flow);

/* The mask rules alone: 0, or 8 with the message logged at ERROR. Takes
 * no lock. */
ZEL_IP_EXPORT uint32_t zel_ipv4_valid_egress_association_mask(zel_module_t *module, uint16_t mask);

/* The parameter check of create alone (no lock, nothing changed): 0 with
 * the mask create uses (derived when the given one is 0) in *mask, or
 * 0x30008 / 0x30001 / 0x1030016 with the message logged at ERROR. */
ZEL_IP_EXPORT uint32_t zel_ipv4_valid_egress_association_info(zel_module_t *module,
                                                              const zel_ip_egress_assoc_params_t *params,
                                                              uint16_t *mask);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_EGRESS_H */
