/*
 * SDK framework services used by the IPv4 module.
 *
 * The framework hosts the module: it creates the module object, owns its
 * lock, trace channel and system context, hands out interface ids, builds
 * and prints key patterns, maps QoS objects to hardware ids and runs the
 * tunnel CPU path. Unless stated, a call returns 0 on success and a
 * framework status otherwise (codes below; texts from zel_sys_status_get).
 */
#ifndef ZEL_FW_H
#define ZEL_FW_H

#include "zel_platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------
 * Framework status codes. A status word carries a severity in bits 16-19
 * (1 FATAL, 3 ERROR) and the code in the low bits; codes with bits 24-31
 * clear are the framework's, codes 0x01xxxxxx belong to the IPv4 module.
 * --------------------------------------------------------------------- */
#define ZEL_E_INVALID_HANDLE 0x01u
#define ZEL_E_INVALID_PARAM 0x08u
#define ZEL_E_NO_SLOT 0x0bu
#define ZEL_E_BIND_ENTRY 0x0du
#define ZEL_E_INVALID_STATE 0x0fu
#define ZEL_E_NO_MEMORY 0x12u
#define ZEL_E_NO_VRD 0x13u
#define ZEL_E_RSRC_FIND 0x19u
#define ZEL_E_RSRC_CREATE 0x1au
#define ZEL_E_RSRC_DESTROY 0x1bu
#define ZEL_E_NSID_ALLOC 0x1du
#define ZEL_E_NSID_FREE 0x1eu
#define ZEL_E_SE_READ 0x2bu
#define ZEL_E_SE_WRITE 0x2cu
#define ZEL_E_SUBNET_CREATE 0x3au
#define ZEL_E_SUBNET_DESTROY 0x3bu
#define ZEL_E_SUBNET_ADD 0x3cu
#define ZEL_E_SUBNET_DELETE 0x3du
#define ZEL_E_SUBNET_FIND 0x3eu
#define ZEL_E_SYMBOL 0x3fu
#define ZEL_E_PTN_LEARN 0x40u
#define ZEL_E_PTN_UNLEARN 0x41u
#define ZEL_E_PTN_UNLEARN_ALL 0x42u
#define ZEL_E_COMPACT 0x43u
#define ZEL_E_OTREESET_INSERT 0x4eu
#define ZEL_E_OTREESET_DELETE 0x4fu
#define ZEL_E_OTREESET_BUILD 0x51u
#define ZEL_E_TREE_DUMP 0x7eu
#define ZEL_E_PARAM_WRITE 0x7fu
#define ZEL_E_COMPACT_STATUS_1 0xa2u
#define ZEL_E_COMPACT_CHANGED 0xa3u
#define ZEL_E_COMPACT_STATUS_3 0xa4u

/* Severity nibble of a status word. */
#define ZEL_SEV_SHIFT 16u
#define ZEL_SEV_MASK 0x000f0000u
#define ZEL_SEV_FATAL 1u
#define ZEL_SEV_ERROR 3u

/* Magic words of framework objects. */
#define ZEL_MODULE_MAGIC 0x53248791u     /* module object                     */
#define ZEL_INTF_HDR_MAGIC 0x43217856u   /* every interface object header     */
#define ZEL_FLOW_HDR_MAGIC 0x43215678u   /* every flow header                 */

/* Log mask layout (module log_level and the system context's mask). */
#define ZEL_LOG_LEVEL_MASK 0x0fu
#define ZEL_LOG_FATAL 1u
#define ZEL_LOG_ERROR 3u
#define ZEL_LOG_WARNING 7u
#define ZEL_LOG_INFO 15u
#define ZEL_LOG_FUNC 0x10u     /* function entry/exit lines          */
#define ZEL_LOG_PTN 0x40u      /* learn/unlearn/rule-set pattern trace */
#define ZEL_LOG_SE 0x80u       /* state-engine record writes/reads   */
#define ZEL_LOG_SUBNET 0x100u  /* subnet database operations         */

/* System context: one per framework instance. The module reads only the
 * system-wide log mask; the rest belongs to the framework. */
typedef struct zel_sys_ctx {
    uint32_t log_level;
    void *fw;  /* framework private */
} zel_sys_ctx_t;

/* The framework's module object (the module handle). The first eight
 * fields are what the module reads; the rest is the framework's. */
typedef struct zel_module {
    uint32_t magic;          /* ZEL_MODULE_MAGIC                              */
    uint32_t log_level;      /* the module's log mask                        */
    const char *name;        /* printed in every log prefix                  */
    uint32_t trace_handle;   /* passed to zel_lttng_fn_ptr_get               */
    zel_rw_lock_t *rw_lock;  /* module lock; NULL: run without locking       */
    zel_sys_ctx_t *sys_ctx;  /* may be NULL                                  */
    hwe_engine_t *engine;    /* first argument of every engine call          */
    void *priv;              /* module private block; NULL before start-up   */
    /* Framework-owned: identity of the module for binding. */
    uint32_t module_id;
    uint16_t entry_fn_dir2;   /* entry-point FPL function id, direction 2     */
    uint16_t entry_fn_other;  /* entry-point FPL function id, other directions */
} zel_module_t;

/* Object header that leads every interface object of every module
 * (seven words). A Layer-2 interface of a sibling module is one of these:
 * its first word is its interface id, its third the header magic. */
typedef struct zel_obj_header {
    uint32_t intf_id;  /* INTF-ID                                  */
    void *owner;       /* owning module handle                     */
    uint32_t magic;    /* ZEL_INTF_HDR_MAGIC                       */
    uint32_t fw0;      /* framework word                           */
    uint32_t vrd_id;   /* the interface's (outer) VRD ID           */
    uint32_t fw1;      /* framework words, zero at creation        */
    uint32_t fw2;
} zel_obj_header_t;

/* Flow header (three words) that leads every flow record. */
typedef struct zel_flow_header {
    uint32_t ns_id;   /* the flow's NS ID                         */
    void *owner;      /* owning module handle                     */
    uint32_t magic;   /* ZEL_FLOW_HDR_MAGIC                       */
} zel_flow_header_t;

/* ---------------------------------------------------------------------
 * Lock
 * --------------------------------------------------------------------- */

/* Acquire `lock`; the module always passes mode 1 (write). Blocks until
 * granted. Returns 0, or a framework status (nothing acquired). */
uint32_t zel_sys_rw_lock_wait(zel_rw_lock_t *lock, uint32_t mode);

/* Release `lock`. Returns 0, or a framework status. */
uint32_t zel_sys_rw_lock_post(zel_rw_lock_t *lock);

/* ---------------------------------------------------------------------
 * Status texts and tracing
 * --------------------------------------------------------------------- */

/* Printable text of a status word (severity bits ignored). Module codes
 * (bits 24-31 set) are named through the error-name service the module
 * registered. Never NULL; the text stays valid until the next call on the
 * same thread. */
const char *zel_sys_status_get(zel_sys_ctx_t *ctx, uint32_t status);

/* The framework's console: where a module's log lines go. `text` is one
 * whole line with its newline, `len` its bytes; one call per line, so
 * lines of concurrent callers never interleave. Cannot fail. */
void zel_sys_log_write(const char *text, uint32_t len);

/* Trace function of an event: called with the module handle, the source
 * line and file, a format (NULL for entry/exit records, whose single
 * argument is the function name) and its arguments. */
typedef void (*zel_trace_fn_t)(void *module, uint32_t line, const char *file,
                               const char *fmt, va_list ap);

/* Trace function for event number `event` of channel `trace`. *fn may be
 * set to NULL when nobody records the channel; the module then skips the
 * record. Returns 0, or a framework status (*fn untouched). */
uint32_t zel_lttng_fn_ptr_get(uint32_t trace, uint32_t event, zel_trace_fn_t *fn);

/* Trace a message when no valid module is at hand (first argument 0). */
void zel_lttng_trace_sif_force_error(uint32_t zero, uint32_t line, const char *file,
                                     const char *fmt, ...);

/* Hex dump of `len` bytes into `out` (at most `size` bytes incl. NUL).
 * Returns the length the full text needs, as snprintf does. */
uint32_t zel_byte_string_print(const void *buf, uint32_t len, char *out, uint32_t size);

/* ---------------------------------------------------------------------
 * Service functions of the module, registration and binding services
 * --------------------------------------------------------------------- */

struct zel_bind_info;

/* The module's service-function table, slots in framework order. */
typedef struct zel_service_table {
    uint32_t (*shutdown)(zel_module_t *module);
    void *rsvd0[4];
    uint32_t (*custom_bind)(zel_sys_ctx_t *ctx, const struct zel_bind_info *bind);
    uint32_t (*custom_unbind)(zel_sys_ctx_t *ctx, const struct zel_bind_info *bind);
    /* The destination of a bind lets go of what its get_entry_func
     * recorded: called on unbind, and when a bind fails after the
     * destination's get_entry_func accepted it. */
    uint32_t (*release_entry_func)(zel_module_t *module, const struct zel_bind_info *bind);
    void *rsvd1[2];
    uint32_t (*get_imc)(zel_module_t *module, const struct zel_bind_info *bind, uint32_t *imc_fn_id);
    uint32_t (*get_entry_func)(zel_module_t *module, const struct zel_bind_info *bind,
                               uint32_t *entry_fn_id);
    uint16_t rsvd2;
    uint16_t flow_fn_id[3];  /* ids of flow functions 0, 1 and 2 */
    void *rsvd3[2];
    uint32_t (*sys_log)(zel_module_t *module, uint32_t level);
    const char *(*error_name)(uint32_t code);
    uint32_t (*compact_func)(zel_sys_ctx_t *ctx, uint32_t flag_mask, zel_module_t *module,
                             uint32_t use_callback);
} zel_service_table_t;

/* Register the module's service table (the framework copies it). The
 * module passes the same table twice. Returns 0 or a framework status. */
uint32_t zel_module_service_function_register(zel_sys_ctx_t *ctx, zel_module_t *module,
                                              const zel_service_table_t *table,
                                              const zel_service_table_t *table2);

/* Replace the registered table. Returns 0 or a framework status. */
uint32_t zel_module_service_function_update(zel_sys_ctx_t *ctx, zel_module_t *module,
                                            const zel_service_table_t *table);

/* Bind information, as the framework hands it to the binding services. */
typedef struct zel_bind_info {
    uint32_t bind_type;   /* 1 M2M, 2 F2M, 3 F2F, 5 F2ID, 6 EBCOM into IPv4 */
    uint32_t direction;   /* 1 or 2                                        */
    uint32_t binding_mode;/* 1 = direct                                    */
    zel_module_t *src_module;
    void *src_flow;
    uint32_t src_location;/* 1 = CPU                                       */
    zel_module_t *dst_module;
    void *dst_flow;       /* first word: the flow's NS ID                  */
    uint32_t dst_location;
    const char *imc_fn_name; /* NULL = the function of the bind matrix      */
    uint8_t custom;
} zel_bind_info_t;

/* Services a sibling module offers the framework; entry_fn_get may replace
 * the 16-bit entry-function id for a bind. Returns 0 or a status. */
typedef struct zel_module_cpu_service {
    uint32_t (*entry_fn_get)(const zel_bind_info_t *bind, uint16_t *entry_fn_id);
} zel_module_cpu_service_t;

#define ZEL_MODULE_ID_MAX 64u

/* The framework's table of module services by module id (NULL = none). */
extern zel_module_cpu_service_t *moduleMgrCpuServiceFn[ZEL_MODULE_ID_MAX];

/* ---------------------------------------------------------------------
 * System resources
 * --------------------------------------------------------------------- */

/* Allocate a system-wide interface id; it also names a 256-byte
 * state-engine statistics record. Returns 0 or a framework status. */
uint32_t zel_sys_interface_id_alloc(zel_sys_ctx_t *ctx, uint32_t *intf_id);

/* Return an interface id. Returns 0 or a framework status. */
uint32_t zel_sys_interface_id_free(zel_sys_ctx_t *ctx, uint32_t intf_id);

/* EIOA port number of a logical port id. Returns 0 or a status. */
uint32_t zel_sys_eioa_port_number_get(zel_sys_ctx_t *ctx, uint32_t logical_port,
                                      uint32_t *eioa_port);

/* Compaction context record: the module fills it for one compaction and
 * hands it to the engine, which passes it back to the progress callback;
 * the callback sets `status` (1 to 5) when it stops the compaction. */
typedef struct zel_compact_ctx {
    zel_sys_ctx_t *sys_ctx;
    zel_module_t *module;
    uint32_t flag_mask;
    uint32_t tree_id;
    const zel_ptn_t *pattern;  /* {NULL, 0, tree width}                  */
    uint32_t status;
} zel_compact_ctx_t;

/* Printable status of a compaction context record (never NULL). */
const char *zel_sys_compact_rock_status_get(const zel_compact_ctx_t *compact_ctx);

/* Send a PDU from the CPU through the packet-handling service. */
uint32_t zel_ph_cpu_pdu_send(uint32_t word4, uint32_t word5, uint32_t all_ones,
                             const void *pipeline_pair, const void *send_header,
                             void *pdu2, void *pdu1, uint32_t a, uint32_t b, uint32_t c);

/* ---------------------------------------------------------------------
 * Pattern builder and printers
 * --------------------------------------------------------------------- */

/* Create a pattern of `width` bits (at most ZEL_PTN_MAX_BITS - 1) with no
 * specified bits. Returns 0, or ZEL_E_NO_MEMORY / ZEL_E_INVALID_PARAM. */
uint32_t zel_ptn_new(uint32_t width, zel_ptn_t *ptn);

/* Forget every specified bit (len = 0). Returns 0 or ZEL_E_INVALID_PARAM. */
uint32_t zel_ptn_clear(zel_ptn_t *ptn);

/* Append the low `bits` bits of `value` (1 to 32; 0 appends nothing) as
 * the next field. Returns 0, or ZEL_E_INVALID_PARAM when the pattern
 * would grow past its width (pattern unchanged). */
uint32_t zel_ptn_extend(zel_ptn_t *ptn, uint32_t value, uint32_t bits);

/* Release the pattern's storage. Returns 0 or ZEL_E_INVALID_PARAM. */
uint32_t zel_ptn_free(zel_ptn_t *ptn);

/* Split the specified bits of `ptn` into `nfields` fields of the given
 * widths (each 0 to 32), first field most significant. The widths must
 * add up to the pattern's length. Returns 0 or ZEL_E_INVALID_PARAM. */
uint32_t zel_ptn_parse(const zel_ptn_t *ptn, uint32_t nfields, const uint32_t *widths,
                       uint32_t *values);

/* Printers: write readable text into `out` (at most `size` bytes incl.
 * NUL) and return the length the full text needs, as snprintf does. */
uint32_t zel_ptn_print(const zel_ptn_t *ptn, char *out, uint32_t size);
uint32_t zel_ptn_action_print(const hwe_action_t *action, char *out, uint32_t size);
uint32_t zel_vptn_print(const zel_vptn_t *vptn, char *out, uint32_t size);
uint32_t zel_rptn_print(uint32_t count, const zel_rptn_t *ranges, char *out, uint32_t size);

/* ---------------------------------------------------------------------
 * Tree services
 * --------------------------------------------------------------------- */

/* Printable name of an engine tree id (never NULL). */
const char *zel_sif_fps_map(uint32_t tree_id);

/* Bytes per subnet database entry of a tree of `width` bits; `flag`
 * selects the sizing rule. Returns 0 or ZEL_E_INVALID_PARAM. */
uint32_t zel_sif_max_subnet_entry_sz_get(uint32_t width, uint32_t flag, uint32_t *size,
                                         uint32_t *optimized_size);

/* Compaction registration record {1, module handle, flag mask}. */
typedef struct zel_compact_reg {
    uint32_t one;
    zel_module_t *module;
    uint32_t flag_mask;
} zel_compact_reg_t;

/* Register the module's compaction entry. Returns 0 or a status. */
uint32_t zel_sif_compact_register(zel_sys_ctx_t *ctx, const zel_compact_reg_t *reg);

/* The framework's turn during a long compaction (the module has released
 * its lock). Returns 0 to continue, or a non-zero code to stop. */
uint32_t zel_sif_compact_callback(zel_compact_ctx_t *compact_ctx);

/* Tunnel CPU path: demux record {flow function id, port, 4, 1}. */
typedef struct zel_demux_rec {
    uint32_t fn_id;
    uint16_t port;
    uint8_t kind;
    uint8_t enable;
} zel_demux_rec_t;

uint32_t zel_sif_netDriver_demux_add(zel_sys_ctx_t *ctx, const zel_demux_rec_t *rec);
uint32_t zel_sif_netDriver_demux_remove(zel_sys_ctx_t *ctx, const zel_demux_rec_t *rec);
uint32_t zel_sif_interface_to_outPort_mapping_add(zel_sys_ctx_t *ctx, uint32_t intf_id,
                                                 uint32_t port);
uint32_t zel_sif_interface_to_outPort_mapping_remove(zel_sys_ctx_t *ctx, uint32_t intf_id);

/* ---------------------------------------------------------------------
 * QoS service: handles of queues, DiffServ policies and policers are the
 * framework's; these map them to hardware ids.
 * --------------------------------------------------------------------- */

uint32_t zel_qos_queue_id_get(zel_sys_ctx_t *ctx, void *queue, uint32_t *queue_id);
uint32_t zel_qos_ds_policy_queueId_get(zel_sys_ctx_t *ctx, void *policy, uint32_t class_id,
                                       uint32_t class_type, uint32_t *queue_id);
uint32_t zel_qos_policing_flow_id_get(zel_sys_ctx_t *ctx, void *policer, uint32_t *flow_id);
uint32_t zel_qos_queue_pkt_capture_enable(zel_sys_ctx_t *ctx, void *queue);
uint32_t zel_qos_queue_pkt_capture_status_get(void *queue, uint8_t *status);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_FW_H */
