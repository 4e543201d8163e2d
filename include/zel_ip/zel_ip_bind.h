/*
 * Binding IPv4 flows to sibling modules (Ethernet, GTPU, IPsec, IPv6, BFD,
 * TWAMP, EBCOM, L2TP).
 *
 * Inside the packet engine a flow function of one module hands a packet
 * to an entry function of another by an inter-module call (IMC). A bind
 * request (zel_bind_info_t, zel_fw.h) names the source and destination
 * modules, optionally their flows, a bind type and a direction. The
 * framework asks each module in turn through the services the module
 * registered at start-up:
 *
 *   zel_ip_get_imc         IPv4 is the source: which IPv4 IMC function
 *                          hands packets to the destination;
 *   zel_ip_get_entry_func  IPv4 is the destination: is the request
 *                          acceptable, and which IPv4 entry function
 *                          receives the packets (a bind into an IPv4
 *                          flow is recorded in it until
 *                          zel_ip_release_entry_func lets it go);
 *   zel_ip_custom_bind,    program (or withdraw) a custom bind of an IPv4
 *   zel_ip_custom_unbind   flow: its lookup entry calls the IMC function
 *                          and the destination's entry function directly.
 *
 * The functions of custom binds are kept in a table of 255 slots (indexes
 * 1 to 255) that lookup entries refer to by index; each used slot has an
 * entry in "zel_ip.ip_custom_bind_imc_entry_fn_lookup" (tree 28). Slots
 * are shared by every bind of the same function and never released.
 *
 * Status words: 0 on success; a refusal of the request carries severity 3
 * (0x30008 a parameter or flow that does not fit, 0x3000f a combination
 * the module does not support or a flow already bound, 0x3000d no entry
 * function for the destination, 0x30001 a bad module handle); a platform
 * failure carries severity 1. Each refusal logs its message at ERROR.
 */
#ifndef ZEL_IP_BIND_H
#define ZEL_IP_BIND_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The bind information record, as the framework passes it (fields in
 * order: bind type, direction, binding mode, source module, source flow,
 * source location, destination module, destination flow, destination
 * location, IMC function name, custom). */
typedef zel_bind_info_t zel_ip_bind_info_t;

/* Bind types. */
#define ZEL_IP_BIND_M2M 1u   /* module to module                          */
#define ZEL_IP_BIND_F2M 2u   /* flow to module                            */
#define ZEL_IP_BIND_F2F 3u   /* flow to flow                              */
#define ZEL_IP_BIND_F2ID 5u  /* flow to id                                */
#define ZEL_IP_BIND_EBCOM 6u /* an EBCOM bind into IPv4 (needs a dest flow) */

/* Directions: the destination's entry point for packets from its lower
 * layer (1) or from its upper layer (2). */
#define ZEL_IP_BIND_DIR_LOWER 1u
#define ZEL_IP_BIND_DIR_UPPER 2u

#define ZEL_IP_BIND_MODE_DIRECT 1u /* binding mode                         */
#define ZEL_IP_BIND_LOCATION_CPU 1u /* a location the module refuses      */

/* Module ids of the sibling modules. */
#define ZEL_IP_MODULE_ETHERNET 2u
#define ZEL_IP_MODULE_GTPU 9u
#define ZEL_IP_MODULE_IPSEC 10u
#define ZEL_IP_MODULE_IPV6 11u
#define ZEL_IP_MODULE_BFD 21u
#define ZEL_IP_MODULE_TWAMP 24u
#define ZEL_IP_MODULE_EBCOM 28u
#define ZEL_IP_MODULE_L2TP 29u

/* Slots of the custom-bind function table (indexes 1 to 255). */
#define ZEL_IP_BIND_FN_SLOTS 255u

/* The bind matrix with IPv4 as the source: sets *imc_fn_id to the FPL id
 * of the IPv4 IMC function for the destination. Takes no lock (the caller
 * holds the module lock). Returns 0, 8 or 15 WITHOUT severity bits (the
 * refusal's message is logged at ERROR); *imc_fn_id is set to 0 once the
 * request has passed the checks that precede the matrix. */
ZEL_IP_EXPORT uint32_t zel_ip_get_imc_internal(zel_module_t *module, const zel_ip_bind_info_t *bind,
                                               uint32_t *imc_fn_id);

/* zel_ip_get_imc_internal under the module lock. Returns 0, 0x30008 or
 * 0x3000f (its refusals with severity 3), 0x30001 (bad module handle). */
ZEL_IP_EXPORT uint32_t zel_ip_get_imc(zel_module_t *module, const zel_ip_bind_info_t *bind,
                                      uint32_t *imc_fn_id);

/* IPv4 as the destination: whether the request is acceptable (an F2F or
 * EBCOM bind needs an IPv4 egress association as destination flow) and
 * which IPv4 entry function receives the packets (*entry_fn_id, 0 when
 * the source's own function calls IPv4). Under the module lock. Returns
 * 0, 0x30008 (NULL bind information or *entry_fn_id, a destination flow
 * that is not a live egress association of this module), 0x3000f (a CPU
 * location or an unsupported combination). */
ZEL_IP_EXPORT uint32_t zel_ip_get_entry_func(zel_module_t *module, const zel_ip_bind_info_t *bind,
                                             uint32_t *entry_fn_id);

/* An F2F or EBCOM bind that zel_ip_get_entry_func accepted is recorded in
 * its destination egress association: the association is in use by the
 * bind's source module and its delete is refused (0x3000f, "... in use by
 * bind from module ...") until the bind is released here. The framework
 * calls this (service table) when it unbinds, and when a bind fails after
 * the entry function query accepted it. Under the module lock. Releases
 * one record of bind->src_module in bind->dst_flow; a bind with nothing
 * recorded (another bind type, a module that has no record left in the
 * flow) changes nothing and succeeds, so a release can be repeated.
 * Returns 0, 0x30008 (NULL bind information, a destination flow that is
 * not an egress association of this module), 0x30001 (bad module). */
ZEL_IP_EXPORT uint32_t zel_ip_release_entry_func(zel_module_t *module, const zel_ip_bind_info_t *bind);

/* Custom bind of the IPv4 source flow of `bind` (bind->src_module is the
 * IPv4 module). In order: the destination's entry function (its entry
 * point for the direction, replaced by its entry-function service when it
 * has one; 0x3000d when the service fails or the id is 0, without taking
 * the lock); then under the lock the bind type (F2M, F2F or F2ID), the
 * source flow (a live flow of this module: a Bind ingress association or
 * an egress flow, not bound yet), the IMC function (the bind matrix, or
 * the named symbol: 0x1003f when the engine has none), the two functions
 * stored in the function table (0x3000b when it is full), the flow's
 * lookup entry rewritten and, for an F2F bind of an association, the
 * association mapped to the destination flow in tree 14.
 * Failures after the function table was written keep its slots; a failed
 * lookup or map step leaves the flow unbound (what it learnt is withdrawn).
 * A bound flow cannot be deleted (0x3000f) until it is unbound. */
ZEL_IP_EXPORT uint32_t zel_ip_custom_bind(zel_sys_ctx_t *ctx, const zel_ip_bind_info_t *bind);

/* Withdraw a custom bind: an egress flow gets its unbound entry back; an
 * association loses its tree-14 map and its lookup entry. Function-table
 * slots stay. Unbinding a flow that is not bound changes nothing and
 * succeeds; an unbind that failed partway completes when repeated. */
ZEL_IP_EXPORT uint32_t zel_ip_custom_unbind(zel_sys_ctx_t *ctx, const zel_ip_bind_info_t *bind);

/* Learn (operation 1) or unlearn (0) the tree-14 map from the association
 * `src_ns_id` to the destination flow `dst_ns_id`. No lock (the caller
 * holds it). Failures: "Could not build the input pattern", "Failed to
 * add LPM rule in hardware" / "Failed to remove LPM rule from hardware",
 * severity 1. */
ZEL_IP_EXPORT uint32_t zel_ip_flow_bind_config(zel_module_t *module, uint32_t src_ns_id, uint32_t dst_ns_id,
                                               uint32_t operation);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_BIND_H */
