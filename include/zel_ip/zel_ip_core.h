/*
 * Module core: log levels, handle checks and the exported tables.
 *
 * Every public operation takes the framework's module handle first, runs
 * under the module's write lock and returns a status word (zel_ip_status.h).
 * Messages go to standard output as
 *     "[<module>_log: <LEVEL>] <file>:<line> <message>"
 * when the module's or the system's log mask admits them, and always to the
 * framework's trace channel.
 */
#ifndef ZEL_IP_CORE_H
#define ZEL_IP_CORE_H

#include <stdint.h>

#include "zel_ip/zel_ip_status.h"
#include "zel_ip/zel_ip_types.h"
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Life cycle -------------------------------------------------------
 * The framework creates the module object and calls zel_ip_init once;
 * until it succeeds, and after zel_ip_shutdown, every other operation
 * returns 0x30001. */

/* Bring the module instance up on the module object's engine. Returns 0 or
 * the status of the first failing step (nothing of the instance remains). */
ZEL_IP_EXPORT uint32_t zel_ip_init(zel_module_t *module);

/* Tear the instance down: trees emptied, reserved ids returned, namespaces
 * destroyed, private block freed. Returns 0 or the failing step's status
 * (the instance then stays up with the steps before it done). */
ZEL_IP_EXPORT uint32_t zel_ip_shutdown(zel_module_t *module);

/* ---- Log levels ------------------------------------------------------
 * Log mask bits: 0-3 verbosity (0 silent, 1 FATAL, 3 ERROR, 7 Warning,
 * 15 info), 0x10 entry/exit lines, 0x40 pattern trace, 0x80 state-engine
 * trace, 0x100 subnet database trace (ZEL_LOG_* in zel_fw.h). */

/* log_level = mask. Returns 0, 0x30001 (bad handle) or a lock failure. */
ZEL_IP_EXPORT uint32_t zel_ip_log_level_set(zel_module_t *module, uint32_t mask);
/* log_level |= bits. */
ZEL_IP_EXPORT uint32_t zel_ip_log_enable(zel_module_t *module, uint32_t bits);
/* log_level &= ~bits. */
ZEL_IP_EXPORT uint32_t zel_ip_log_disable(zel_module_t *module, uint32_t bits);

/* The framework's callback for a system log level change: levels 0, 1,
 * 3, 7 and 15 are stored in log_level (the whole word, so trace bits are
 * cleared); any other level returns 0x3000f and leaves log_level. A bad
 * module handle returns 0x30001 ("Invalid module handle"); on a module
 * that is not started it returns 1 without taking the lock. */
ZEL_IP_EXPORT uint32_t zel_ipv4_sys_log(zel_module_t *module, uint32_t level);

/* Map a system level to a module level: 0, 1, 3, 7 and 15 map to
 * themselves (returns 0); any other value returns 15 (*mapped untouched).
 * Takes no lock. */
ZEL_IP_EXPORT uint32_t zel_ipv4_map_sys_log(zel_module_t *module, uint32_t level, uint32_t *mapped);

/* ---- Handle checks (1 = valid, 0 = invalid); take no lock ------------
 * Safe to call while another thread deletes the object: the answer is
 * then 0 or 1, and the record is never read once it may be freed. */

ZEL_IP_EXPORT int zel_ipv4_valid_handle(zel_module_t *module);         /* started module */
ZEL_IP_EXPORT int zel_ipv4_valid_rule_set_handle(const void *handle);
ZEL_IP_EXPORT int zel_ipv4_valid_policy_set_handle(const void *handle);
ZEL_IP_EXPORT int zel_ipv4_interface_valid_handle(const void *handle); /* IPoE interface */
ZEL_IP_EXPORT int zel_ipv4_vif_valid_handle(const void *handle);       /* virtual interface */
ZEL_IP_EXPORT int zel_ipv4_tunnel_interface_valid_handle(const void *handle);
ZEL_IP_EXPORT int zel_ipv4_flow_valid_handle(const void *handle);
/* NULL is valid and names VRD 63; a live VRD record gives its id; any
 * other handle is invalid and *vrd_id is left untouched. */
ZEL_IP_EXPORT int zel_ipv4_vrd_valid_handle(const void *handle, uint32_t *vrd_id);

/* ---- Exported tables ------------------------------------------------- */

/* Object sizes of the original target, as reported at start-up. */
typedef struct zel_ip_obj_size {
    const char *name;          /* object type name, e.g. "zel-ipoe-interface" */
    uint32_t bytes;            /* bytes per instance                          */
    uint32_t header_bytes;     /* object (28) or flow (12) header             */
    uint32_t max_instances;
} zel_ip_obj_size_t;
#define ZEL_IP_OBJ_SIZE_ROWS 7
ZEL_IP_EXPORT extern const zel_ip_obj_size_t ip_obj_size[ZEL_IP_OBJ_SIZE_ROWS];

/* Netmask of each prefix length 0 to 32 (entry 24 is 0xffffff00). */
ZEL_IP_EXPORT extern const uint32_t ip_bit_mask[33];

/* Eight zero bytes; no operation reads or writes them. */
ZEL_IP_EXPORT extern uint8_t perf_data_log[8];

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_CORE_H */
