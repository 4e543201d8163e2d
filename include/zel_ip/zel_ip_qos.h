/*
 * QoS maps: how the type-of-service byte picks traffic-manager (MTM)
 * queues and VLAN priorities.
 *
 *  - QoS policy of an IPoE interface: per class, a type-of-service value
 *    and the MTM queue its packets take. The queue comes from a DiffServ
 *    policy of the QoS service (profile type 1) or from a queue handle per
 *    class (profile type 2).
 *  - DSCP to PCP map of an IPoE interface: per DSCP (0 to 63), the VLAN
 *    priority (PCP, 0 to 7) written on egress. The interface keeps the map
 *    in its PCP table as well.
 *  - CPU DSCP map, module-wide: per DSCP, the MTM queue of packets sent to
 *    the CPU by associations and filters that ask for DSCP-based queue
 *    selection.
 *
 * Queue and policy handles are the framework's QoS objects; the module
 * asks the QoS service for their hardware ids. Apart from the PCP table
 * the maps live only in the engine's trees.
 *
 * Every call takes the module handle first, runs under the module's write
 * lock and returns a status word (zel_ip_status.h): 0 on success, 0x30001
 * for a bad module handle, the framework's status with severity 3 when the
 * lock cannot be taken; the other failures are listed per call. The calls
 * that program several entries stop at the first failing one and leave
 * the entries before it in place.
 */
#ifndef ZEL_IP_QOS_H
#define ZEL_IP_QOS_H

#include <stdint.h>

#include "zel_fw.h"
#include "zel_ip/zel_ip_types.h"
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZEL_IP_QOS_PROFILE_DS_POLICY 1u /* classes of a DiffServ policy       */
#define ZEL_IP_QOS_PROFILE_QUEUES 2u    /* classes with their own queue handle */

#define ZEL_IP_QOS_MAX_CLASSES 64       /* per call                            */
#define ZEL_IP_QOS_MAX_DSCP 63u
#define ZEL_IP_QOS_MAX_PCP 7u
#define ZEL_IP_CPU_DSCP_MAX_ENTRIES 64u /* per call                            */

/* A class of a DiffServ policy (profile type 1). */
typedef struct zel_ip_qos_ds_class {
    uint8_t tos;        /* type-of-service value             */
    uint32_t class_id;  /* the class in the DiffServ policy   */
    uint8_t class_type;
} zel_ip_qos_ds_class_t;

/* A class with its own queue (profile type 2). */
typedef struct zel_ip_qos_queue_class {
    uint8_t tos;        /* type-of-service value             */
    void *queue;        /* the QoS service's queue           */
} zel_ip_qos_queue_class_t;

/* A QoS policy; fields in this order. Only the first class_count classes
 * of the profile that profile_type names are read. */
typedef struct zel_ip_qos_policy {
    zel_ip_intf_handle_t intf; /* an IPoE interface                     */
    uint32_t profile_type;     /* ZEL_IP_QOS_PROFILE_*                   */
    union {
        struct {
            void *policy;        /* the DiffServ policy                */
            int8_t class_count;  /* 0 to 64; 0 or less: nothing to do  */
            zel_ip_qos_ds_class_t classes[ZEL_IP_QOS_MAX_CLASSES];
        } ds;
        struct {
            int8_t class_count;  /* 0 to 64; 0 or less: nothing to do  */
            zel_ip_qos_queue_class_t classes[ZEL_IP_QOS_MAX_CLASSES];
        } queues;
    } profile;
} zel_ip_qos_policy_t;

/* Map each class's type-of-service value on the interface to its queue
 * (an existing mapping of the value is replaced). Every queue is resolved
 * before anything is written. Checks, in order: policy NULL 0x30008; not
 * an IPoE interface 0x1030006; profile type 0x103000a; more than 64
 * classes 0x103000b. Then: a queue the QoS service cannot resolve, its
 * status with severity 3; a queue resolving to id 0, 0x30008; nothing is
 * written in these cases. A programming failure is returned with severity
 * 1. */
ZEL_IP_EXPORT uint32_t zel_ip_qos_policy_add(zel_module_t *module, const zel_ip_qos_policy_t *policy);

/* Remove the mapping of each class's type-of-service value. The same
 * checks and queue lookups as add, then the removals in class order; a
 * value without a mapping is the engine's refusal (0x10041). */
ZEL_IP_EXPORT uint32_t zel_ip_qos_policy_delete(zel_module_t *module, const zel_ip_qos_policy_t *policy);

/* Map DSCP `dscp` on the interface to VLAN priority `pcp` (replacing an
 * earlier one) and record it in the interface's PCP table. Returns 0x30001
 * (not an IPoE interface), 0x30008 (dscp above 63 or pcp above 7) or a
 * programming failure with severity 1. */
ZEL_IP_EXPORT uint32_t zel_ip_dscp_pcp_map_add(zel_module_t *module, zel_ip_intf_handle_t intf, uint8_t dscp,
                                               uint8_t pcp);

/* Remove the mapping of `dscp` and clear its PCP table entry. Returns
 * 0x30001, 0x30008 (dscp above 63) or a programming failure with severity
 * 1 (0x10041 when the DSCP has no mapping). */
ZEL_IP_EXPORT uint32_t zel_ip_dscp_pcp_map_delete(zel_module_t *module, zel_ip_intf_handle_t intf,
                                                  uint8_t dscp);

/* Map dscp[i] to queues[i] for i below count (1 to 64), in order. The DSCP
 * values are not range-checked: each is the whole 8-bit key, and what a
 * value above 63 means is the engine's business. Returns 0x30008 (count
 * out of range or an array NULL), the QoS service's status with severity
 * 3 for a queue it cannot resolve, or a programming failure with severity
 * 1. */
ZEL_IP_EXPORT uint32_t zel_ip_cpu_dscp_qos_map_add(zel_module_t *module, uint32_t count, const uint8_t dscp[],
                                                   void *const queues[]);

/* Remove the mapping of dscp[i] for i below count (1 to 64), in order.
 * Returns 0x30008 (count out of range or dscp NULL) or a programming
 * failure with severity 1 (0x10041 for a value without a mapping). */
ZEL_IP_EXPORT uint32_t zel_ip_cpu_dscp_qos_map_delete(zel_module_t *module, uint32_t count,
                                                      const uint8_t dscp[]);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_QOS_H */
