/*
 * Packet capture: copies of the packets an IPoE or tunnel interface
 * receives (ingress) or sends (egress), delivered to the CPU.
 *
 * A capture point is one interface and direction. Starting a capture sets
 * the capture bit of the interface's entry for that direction and
 * programs the point's delivery parameters: the PH bind handle and
 * callback that receive the copies, an optional traffic-manager (MTM)
 * queue that limits their rate, and a context id carried with them.
 * Stopping undoes both. A point has at most one capture at a time, and an
 * interface is not deleted while a capture runs on it (0x3000f).
 *
 * Every call takes the module handle first, runs under the module's write
 * lock and returns a status word (zel_ip_status.h): 0 on success, 0x30001
 * for a bad module handle or a capture handle that is not a running
 * capture (garbage, or stopped), the framework's status with severity 3
 * when the lock cannot be taken.
 */
#ifndef ZEL_IP_CAPTURE_H
#define ZEL_IP_CAPTURE_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_types.h"
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zel_ip_capture *zel_ip_capture_handle_t;

/* Capture parameters; fields in this order. */
typedef struct zel_ip_capture_params {
    void *intf;              /* an IPoE or tunnel interface                */
    uint32_t direction;      /* 0 ingress, 1 egress                        */
    void *mtm_queue;         /* QoS queue limiting the copies; NULL: none  */
    uint32_t ph_bind_handle; /* where the copies are delivered             */
    uint8_t cb_fn_id;        /* callback function id                       */
    uint32_t context_id;     /* carried with every copy                    */
} zel_ip_capture_params_t;

/* Start a capture; *out is set to NULL first and to the capture on
 * success. Returns 0; 0x30008 (params or out NULL, direction above 1);
 * 0x1030006 (not an interface); 0x3000f (the point has a capture); the QoS
 * service's status when it cannot resolve the queue; 0x10012 (memory); a
 * programming failure (severity 1, or 3 for a delivery entry the engine
 * refuses). A failed start withdraws what it programmed; should that fail
 * too, the point's delivery entries stay (logged) without the capture
 * bit, and the next start on the point replaces them. */
ZEL_IP_EXPORT uint32_t zel_ip_packet_capture_start(zel_module_t *module, const zel_ip_capture_params_t *params,
                                                   zel_ip_capture_handle_t *out);

/* Stop a capture: the capture bit cleared, the delivery entries removed,
 * the handle invalid. Returns 0; 0x30001; a programming failure (the
 * capture then keeps running as far as it was not undone, and repeating
 * the stop completes it). */
ZEL_IP_EXPORT uint32_t zel_ip_packet_capture_stop(zel_module_t *module, zel_ip_capture_handle_t capture);

/* Switch on delivery of a rate-limited capture through its MTM queue (a
 * capture without a queue delivers already: warning, 0). Returns 0;
 * 0x30001; the QoS service's status with severity 3. */
ZEL_IP_EXPORT uint32_t zel_ip_packet_capture_enable(zel_module_t *module, zel_ip_capture_handle_t capture);

/* Delivery state of a capture (1 delivering): the QoS service's state of
 * its MTM queue, 1 without a queue (warning). Returns 0; 0x30008 (status
 * NULL); 0x30001; the QoS service's status with severity 3. */
ZEL_IP_EXPORT uint32_t zel_ip_packet_capture_status_get(zel_module_t *module, zel_ip_capture_handle_t capture,
                                                        uint8_t *status);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_CAPTURE_H */
