/*
 * Exception handlers.
 *
 * Packets the fast path cannot forward raise an exception of some type
 * (0 to 9) within some exception domain (0 to 3). For every {domain, type}
 * pair the packet engine looks up where the packet goes and whether it
 * passes through a traffic-manager queue on its way to the CPU. A pair
 * without a handler is dropped. Registering a handler for a pair that has
 * one replaces it.
 *
 * Both calls take the module handle first, run under the module's write
 * lock and return a status word (zel_ip_status.h): 0 on success, 0x30001
 * for a bad module handle, the framework's status with severity 3 when the
 * lock cannot be taken; the other failures are listed per call.
 */
#ifndef ZEL_IP_EXCEPTION_H
#define ZEL_IP_EXCEPTION_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_types.h"
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZEL_IP_EXC_MAX_DOMAIN 3u /* domains are 2 bits; registration takes 0, 2, 3 */
#define ZEL_IP_EXC_MAX_TYPE 9u

/* Handler actions. */
#define ZEL_IP_EXC_SEND_TO_CPU_PH 1u   /* to a packet-handling bind handle + callback */
#define ZEL_IP_EXC_SEND_TO_CPU_NCA 2u  /* to an NCA queue                             */
#define ZEL_IP_EXC_SEND_TO_MPP_FUNC 3u /* to a named engine (FPL) function            */

/* NCA queue ids are 22 bits wide in the engine entry. */
#define ZEL_IP_EXC_MAX_NCA_QUEUE 0x3fffffu

/* One handler; fields in this order. */
typedef struct zel_ip_exception_handler {
    uint32_t domain; /* 0, 2 or 3 (unregistration also takes 1)        */
    uint32_t type;   /* 0 to 9                                          */
    uint32_t action; /* ZEL_IP_EXC_*                                    */
    union {
        uint32_t ph_handle;       /* SEND_TO_CPU_PH: bits 0 to 30 are used */
        uint32_t nca_queue;       /* SEND_TO_CPU_NCA: 0 to 0x3fffff        */
        const char *mpp_function; /* SEND_TO_MPP_FUNC: the function's name
                                     in the engine image, e.g.
                                     "zel_ip.test_exception_handler"        */
    } target;
    uint8_t cb_fn_id; /* SEND_TO_CPU_PH: callback function id           */
    /* SEND_TO_CPU_PH and _NCA: the framework's QoS queue the packets pass
     * through on their way to the CPU, or NULL for none. Not read for
     * SEND_TO_MPP_FUNC. */
    void *queue;
} zel_ip_exception_handler_t;

/* Install `handler` for its {domain, type} pair. Checks, in order: handler
 * NULL 0x30008; domain not 0, 2 or 3 0x30008; type above 9 0x30008; action
 * not 1, 2 or 3 0x30008; SEND_TO_MPP_FUNC without a name, or an NCA queue
 * above 0x3fffff, 0x30008. Then: the queue cannot be resolved: the QoS
 * service's status with severity 3; the engine does not know the named
 * function: 0x1003f; an engine failure: its code with severity 1. Nothing
 * changes when a check or the function lookup fails. When the pair's
 * queue entry cannot be written after its destination was, the
 * destination stays; repeating the call completes the pair. */
ZEL_IP_EXPORT uint32_t zel_ip_exception_handler_register(zel_module_t *module,
                                                         const zel_ip_exception_handler_t *handler);

/* Remove the handler of the pair {handler->domain, handler->type}; the
 * other fields are not read. Returns 0x30008 (handler NULL, domain above 3,
 * type above 9), a failed key build with severity 1, or the engine's
 * refusal as the rule primitive's code without severity (0x41 when the
 * pair has no handler). A removal that fails between the two entries is
 * completed by repeating the call. */
ZEL_IP_EXPORT uint32_t zel_ip_exception_handler_unregister(zel_module_t *module,
                                                           const zel_ip_exception_handler_t *handler);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_EXCEPTION_H */
