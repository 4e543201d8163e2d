/*
 * NAPT rules: static network address and port translation.
 *
 * A rule translates an input address (and port) to an output address (and
 * port) for packets crossing from a NAT inside interface to a NAT outside
 * interface, and back the other way. It is two entries of the engine's
 * translation tree, one per direction; the module keeps no other copy.
 * Adding a rule whose keys have entries replaces them.
 *
 * Both calls take the module handle first, run under the module's write
 * lock and return a status word (zel_ip_status.h): 0 on success, 0x30001
 * for a bad module handle, the framework's status with severity 3 when the
 * lock cannot be taken. Addresses and ports are host byte order.
 */
#ifndef ZEL_IP_NAPT_H
#define ZEL_IP_NAPT_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Which fields of a rule are given. Both addresses are mandatory; an input
 * port needs an output port. With the output port given both keys carry a
 * port (the input side's is in_port as it stands, given or not). */
#define ZEL_IP_NAPT_IN_ADDR 0x1u
#define ZEL_IP_NAPT_IN_PORT 0x2u
#define ZEL_IP_NAPT_OUT_ADDR 0x4u
#define ZEL_IP_NAPT_OUT_PORT 0x8u

/* A rule; fields in this order. */
typedef struct zel_ip_napt_rule {
    uint8_t flags;     /* ZEL_IP_NAPT_*                 */
    uint32_t in_addr;  /* input (inside) address       */
    uint16_t in_port;  /* input L4 port                */
    uint32_t out_addr; /* output (outside) address     */
    uint16_t out_port; /* output L4 port               */
} zel_ip_napt_rule_t;

/* Learn both directions of a rule: input to output first, then output to
 * input. Returns 0x30008 (rule NULL), 0x103000e (an address flag missing),
 * 0x103000f (input port without output port), or a programming failure
 * with severity 1; a failure of the second entry leaves the first one
 * learnt. */
ZEL_IP_EXPORT uint32_t zel_ip_napt_rule_add(zel_module_t *module, const zel_ip_napt_rule_t *rule);

/* Remove both directions of a rule, input to output first; the same checks
 * as add. The first failure stops the call (a removed first entry stays
 * removed; adding the rule again and deleting it clears both). */
ZEL_IP_EXPORT uint32_t zel_ip_napt_rule_delete(zel_module_t *module, const zel_ip_napt_rule_t *rule);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_NAPT_H */
