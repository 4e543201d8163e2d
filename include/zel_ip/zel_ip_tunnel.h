/*
 * IP tunnel interfaces.
 *
 * A tunnel interface carries its packets inside an outer IPv4 header
 * between a local and a remote address of an outer routing domain. Its
 * inner side lives in an inner domain, may have an address of its own
 * (or be unnumbered) and is reached by routes whose egress interface is
 * the tunnel (zel_ip_route_add). Packets arriving on the outer side are
 * matched to the tunnel by outer domain, protocol and the two end
 * addresses; with NAT traversal (NAT-T) on, UDP-encapsulated packets of
 * the same ends are matched too.
 *
 * The caller chooses the tunnel id (0 to 575, unique per module); the
 * framework hands out the tunnel's interface id (INTF-ID), which keys
 * every per-interface tree and names the tunnel's statistics record.
 * Inside the inner domain the tunnel stands for the address 127.x.y.z
 * with x.y.z = INTF-ID (the tunnel 127-address), the next hop of the
 * tunnel's subnet route.
 *
 * Every call takes the module handle first, runs under the module's write
 * lock and returns a status word (zel_ip_status.h): 0 on success, 0x30001
 * for a bad module handle, the framework's status with severity 3 when
 * the lock cannot be taken; the other failures are listed per call.
 * Addresses are host byte order.
 */
#ifndef ZEL_IP_TUNNEL_H
#define ZEL_IP_TUNNEL_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_types.h"
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZEL_IP_MAX_TUNNEL_ID 575u /* tunnel ids are 0 to 575 */

/* Tunnel parameters, copied whole into the tunnel at create. */
typedef struct zel_ip_tunnel_params {
    uint32_t tunnel_id;            /* 0 to 575, not used by another tunnel  */
    uint32_t addr;                 /* own address in the inner domain; 0 =
                                    * unnumbered                            */
    uint32_t prefix_len;           /* of addr: 1 to 32                      */
    /* Which fields key ingress-association lookups for traffic to the
     * tunnel's own address; 0 = 0x10 (protocol only). Not used (and kept
     * 0) when the tunnel is unnumbered. */
    uint16_t assoc_mask;
    uint8_t admin_down;            /* 1: the tunnel starts disabled         */
    uint8_t reassemble;            /* 1: reassemble traffic to addr first   */
    uint32_t local_addr;           /* outer source; 0 = not yet known       */
    uint32_t remote_addr;          /* outer destination; 0 = not yet known  */
    zel_ip_vrd_handle_t inner_vrd; /* NULL: the default domain 63           */
    zel_ip_vrd_handle_t outer_vrd; /* NULL: the default domain 63           */
    uint8_t proto;                 /* outer IP protocol (17 = UDP)          */
    uint32_t mtu;                  /* 0 = 1500; otherwise 64 to 9000        */
    uint32_t path_mtu;             /* 0 = none; otherwise 64 to 9000        */
    uint8_t natt;                  /* 1: also match UDP-encapsulated packets */
} zel_ip_tunnel_params_t;

/* Create a tunnel interface. *out is set to NULL first and to the new
 * tunnel on success. Its outer match exists once both end addresses are
 * known (here or later with zel_ip_tunnel_interface_lr_addr_set).
 * Returns 0;
 *   0x30008: NULL pointer, tunnel id above 575 or used by another tunnel,
 *            NAT-T with UDP as the outer protocol, an own address with a
 *            prefix of 0 or above 32, in 224.0.0.0/4 (above /3), in 127.0.0.0/8
 *            (above /7), 255.255.255.255/32, or the network or broadcast
 *            address of its own subnet (below /31), or an association
 *            mask the mask check refuses;
 *   0x1030014: an end address that is 255.255.255.255, multicast or
 *            loopback; the own address already in use in the inner
 *            domain; the end addresses already matched for another tunnel
 *            in the outer domain;
 *   0x1030016: MTU or path MTU outside 64 to 9000;
 *   0x30001: inner or outer VRD handle;
 *   0x10012 (memory), 0x1000b (compressed address table full), the
 *   framework's status with severity 3 when the CPU path cannot be set up,
 *   or a platform failure with severity 1.
 * A create that fails after the record was allocated withdraws what it
 * had set up (entries, CPU path, ids) and frees the record, so it can be
 * repeated; only a withdrawal that fails as well leaves something
 * behind. */
ZEL_IP_EXPORT uint32_t zel_ip_tunnel_interface_create(zel_module_t *module, const zel_ip_tunnel_params_t *params,
                                                      zel_ip_tunnel_handle_t *out);

/* Delete a tunnel: its CPU path, every entry that is still its own (one a
 * route add replaced or a route delete removed is left alone), its
 * compressed address slot and its ids. Returns 0; 0x30008 (not a tunnel);
 * 0x30001 (its inner or outer domain is gone); 0x3000F (routes still go
 * through the tunnel, the message gives their count, or an ingress
 * association is keyed by it; nothing changed);
 * the framework's status with severity 3 (CPU path); 0x1000b; a platform
 * failure with severity 1. A delete that fails partway keeps the tunnel;
 * repeating it goes on from the failed step, and until then the tunnel
 * accepts no other change (0x30008) and no new route. */
ZEL_IP_EXPORT uint32_t zel_ip_tunnel_interface_delete(zel_module_t *module, zel_ip_tunnel_handle_t tunnel);

/* Change the end addresses; 0 leaves that end as it is. With both ends
 * known afterwards, the outer match of the new ends (and its NAT-T twin)
 * is learnt before the old one is withdrawn, so the tunnel keeps
 * receiving. Nothing changes (status 0, a warning) when every end given
 * equals the current one. Returns 0; 0x30008 (not a tunnel); 0x1030014
 * (an end refused as at create, both ends 0, or the new ends already
 * matched for another tunnel); 0x30001 (outer domain gone); a platform
 * failure with severity 1 (the tunnel keeps its old ends; repeating the
 * call completes the change). */
ZEL_IP_EXPORT uint32_t zel_ip_tunnel_interface_lr_addr_set(zel_module_t *module, zel_ip_tunnel_handle_t tunnel,
                                                           uint32_t local_addr, uint32_t remote_addr);

/* Switch NAT-T: enable 1 on, any other value off. The UDP twin of the
 * outer match is learnt or withdrawn when both ends are known (otherwise
 * it follows when they are). Switching to the current state changes
 * nothing (status 0, a warning). Returns 0; 0x30008 (not a tunnel, or
 * enabling on a UDP tunnel); 0x1030014 (the twin is already matched for
 * another tunnel); 0x30001 (outer domain gone); a platform failure with
 * severity 1 (the setting is unchanged). */
ZEL_IP_EXPORT uint32_t zel_ip_tunnel_interface_natt(zel_module_t *module, zel_ip_tunnel_handle_t tunnel,
                                                    uint8_t enable);

/* Set the MTU (64 to 9000) and the outer path MTU (0 = none, or 64 to
 * 9000). A packet-too-big exception is raised for an MTU above 576.
 * Returns 0; 0x30008 (not a tunnel); 0x1030016; a platform failure with
 * severity 1 (the tunnel keeps its old values; repeating the call
 * completes the change). */
ZEL_IP_EXPORT uint32_t zel_ip_tunnel_interface_mtu_set(zel_module_t *module, zel_ip_tunnel_handle_t tunnel,
                                                       uint32_t mtu, uint32_t path_mtu);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_TUNNEL_H */
