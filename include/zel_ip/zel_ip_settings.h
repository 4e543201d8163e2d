/*
 * Module-wide settings and CPU traffic: the service-function table, the
 * system-wide default TTL, the metadata the packet engine delivers with a
 * packet sent to the CPU, and PDUs sent from the CPU into the fast path.
 *
 * Every call takes the module handle first, runs under the module's write
 * lock and returns a status word (zel_ip_status.h): 0 on success, 0x30001
 * for a bad or not started module, the framework's status with severity 3
 * when the lock cannot be taken; the other failures are listed per call.
 * A failed call leaves the module as it was.
 */
#ifndef ZEL_IP_SETTINGS_H
#define ZEL_IP_SETTINGS_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_types.h"
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Service functions and the default TTL --------------------------- */

/* Hand the framework the module's service-function table again (the
 * function slots only; the flow function id slots are left zero). A
 * refusal is returned with severity 1. */
ZEL_IP_EXPORT uint32_t zel_ip_service_function_update(zel_module_t *module);

/* The TTL the fast path writes into IPv4 headers it builds when nothing
 * else gives one: the default egress association's parameters, and every
 * egress association later created with TTL 0 (an association keeps the
 * default of its create time). 100 after start-up. TTL 0 is refused with
 * 0x30008; an engine refusal returns 0x1007f. Either way the default
 * stays as it was. */
ZEL_IP_EXPORT uint32_t zel_ip_default_ttl_config(zel_module_t *module, uint8_t ttl);

/* ---- CPU receive metadata -------------------------------------------- */

/* What the packet engine delivers in front of a packet sent to the CPU
 * (20 bytes, multi-byte fields big-endian, no padding). Only the logical
 * port and the type code mean something to this module; the other values
 * belong to the engine's CPU path and are passed on as they are. */
typedef struct zel_ip_cpu_recv_meta {
    uint8_t word_a[4];    /* bytes 0-3                                  */
    uint8_t word_b[4];    /* bytes 4-7                                  */
    uint8_t logical_port; /* byte 8: EIOA logical port id               */
    uint8_t value_c[3];   /* bytes 9-11                                 */
    uint8_t type_code;    /* byte 12                                    */
    uint8_t value_d[3];   /* bytes 13-15                                */
    uint8_t byte_e;       /* byte 16                                    */
    uint8_t byte_f;       /* byte 17                                    */
    uint8_t value_g[2];   /* bytes 18-19                                */
} zel_ip_cpu_recv_meta_t;

/* Type code whose value D is a 16-bit number (value_d16). */
#define ZEL_IP_CPU_RECV_TYPE_D16 9u

/* The metadata as host numbers (32 bytes). */
typedef struct zel_ip_cpu_recv_params {
    uint32_t eioa_port;   /* EIOA port of the logical port; the logical
                             port id itself when it maps to none        */
    uint32_t type_code;
    uint32_t value_c;
    uint32_t value_d;     /* 0 when type_code is 9                      */
    uint32_t word_a;
    uint32_t word_b;
    uint8_t byte_e;
    uint8_t byte_f;
    uint16_t value_g;     /* less 512 when above 512                    */
    uint16_t value_d16;   /* type code 9: low 16 bits of value D; else 0 */
    uint8_t rsvd[2];      /* zero                                       */
} zel_ip_cpu_recv_params_t;

/* Decode `meta` into `*params` (cleared first). Returns 0x30008 when
 * either pointer is NULL. A logical port the framework cannot map is
 * reported as a Warning and is not a failure. */
ZEL_IP_EXPORT uint32_t zel_ip_cpu_recv_task_param(zel_module_t *module,
                                                  const zel_ip_cpu_recv_meta_t *meta,
                                                  zel_ip_cpu_recv_params_t *params);

/* ---- PDU send ---------------------------------------------------------- */

/* Send profile types. */
#define ZEL_IP_SEND_TYPE_0 0u     /* in the profile's domain, value in the header */
#define ZEL_IP_EGRESS_FLOW_TX 1u  /* sent on an egress flow                 */
#define ZEL_IP_SEND_TYPE_2 2u     /* in the profile's domain                 */

/* How to send one PDU. The values P to V are the packet-handling service's
 * and end up in the send header as they are. */
typedef struct zel_ip_send_profile {
    uint32_t type;                      /* ZEL_IP_SEND_TYPE_0, _EGRESS_FLOW_TX, _2 */
    union {
        uint32_t value;                 /* types 0 and 2 (type 0: into the header) */
        zel_ip_flow_handle_t egress_flow; /* type 1: an egress flow             */
    } arg;
    zel_ip_vrd_handle_t vrd;            /* NULL = default domain 63; type 1 takes
                                           only domain 63                        */
    uint32_t ph_word0;                  /* passed to the packet-handling service */
    uint32_t ph_word1;
    uint16_t p;
    uint16_t q;
    uint8_t r;
    uint8_t s;
    uint8_t t;
    uint8_t u;                          /* flag: 1 = set                         */
    uint8_t v;                          /* flag: 1 = set                         */
} zel_ip_send_profile_t;

/* Size of the send header handed to the packet-handling service. */
#define ZEL_IP_SEND_HEADER_BYTES 64u

/* Send `pdu1` and `pdu2` (both required, passed on unchanged) through the
 * packet-handling service on the engine's CPU pipeline. Returns 0x30008
 * for a NULL pointer, a bad VRD handle, a type-1 profile naming a domain
 * other than 63 or a handle that is not a live egress flow, a type above
 * 2, or a send the service refused (its own status is not passed on);
 * 0x1000b when the engine has no CPU pipeline. */
ZEL_IP_EXPORT uint32_t zel_ip_pdu_send(zel_module_t *module, const zel_ip_send_profile_t *profile,
                                       void *pdu1, void *pdu2);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_SETTINGS_H */
