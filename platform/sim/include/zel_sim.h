/*
 * The software platform: a model of the SDK framework and of the packet
 * engine that implements zel_fw.h and hwe.h, so that the IPv4 module runs
 * without hardware.
 *
 * This header is the platform's control and introspection surface for
 * tests, tools and embedders: create a platform and a module object in a
 * few lines, inject faults into any platform call, watch memory, read the
 * trace channel and the PDUs sent. Engine introspection (lookups, listing,
 * rule-set classification, namespaces, state memory) is in
 * zel_sim_engine.h, included here.
 *
 * Process-wide state: the fault table, the memory accounting and the trace
 * recorder are one per process (the calls that use them carry no platform
 * argument). Everything else belongs to one platform.
 */
#ifndef ZEL_SIM_H
#define ZEL_SIM_H

#include "zel_fw.h"
#include "hwe.h"
#include "zel_sim_engine.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One platform: a packet engine loaded with an image and one framework
 * instance (system context, interface ids, QoS service, tunnel demux,
 * registrations). */
typedef struct zel_sim zel_sim_t;

/* Create a platform on `image` (NULL: the default image the IPv4 module
 * expects). The image is copied. NULL when memory is short. */
zel_sim_t *zel_sim_create(const zel_sim_image_t *image);

/* Destroy a platform and every object it made. Module objects made with
 * zel_sim_module_new must be freed first. */
void zel_sim_destroy(zel_sim_t *sim);

hwe_engine_t *zel_sim_engine(zel_sim_t *sim);
zel_sys_ctx_t *zel_sim_sys_ctx(zel_sim_t *sim);

/* The platform a system context or engine belongs to (NULL if none). */
zel_sim_t *zel_sim_of_ctx(const zel_sys_ctx_t *ctx);

/* ---------------------------------------------------------------------
 * Framework objects
 * --------------------------------------------------------------------- */

/* A module object as the framework creates it before calling the module's
 * start-up: magic set, `name` copied, `log_level` preset, a trace handle,
 * a read-write lock (unless with_lock is 0), the platform's system context
 * and engine, `priv` NULL. */
zel_module_t *zel_sim_module_new(zel_sim_t *sim, const char *name, uint32_t log_level,
                                 int with_lock);
void zel_sim_module_free(zel_module_t *module);

/* A sibling module object (for binding) with its module id and its two
 * entry-point function ids. Named after its id ("ethernet", "bfd", ...,
 * "module-<id>" for others). Owned by the platform. */
zel_module_t *zel_sim_sibling_module_new(zel_sim_t *sim, uint32_t module_id,
                                         uint16_t entry_fn_dir2, uint16_t entry_fn_other);

/* A flow of a sibling module: a flow header with NS ID `ns_id`, owner
 * `module` and the flow header magic. Owned by the platform. */
zel_flow_header_t *zel_sim_sibling_flow_new(zel_sim_t *sim, zel_module_t *module, uint32_t ns_id);

/* The entry-function service of the sibling module with id `module_id`
 * in the framework's module-service table (moduleMgrCpuServiceFn,
 * process-wide like the table): ZEL_SIM_ENTRY_NONE removes it (the
 * module's entry point stands), ZEL_SIM_ENTRY_ANSWER makes it answer `id`
 * (0 included), ZEL_SIM_ENTRY_FAIL makes it fail with `status`. */
#define ZEL_SIM_ENTRY_NONE 0u
#define ZEL_SIM_ENTRY_ANSWER 1u
#define ZEL_SIM_ENTRY_FAIL 2u
void zel_sim_entry_service_set(uint32_t module_id, uint32_t mode, uint16_t id, uint32_t status);
/* Calls of the entry-function service since it was set. */
uint32_t zel_sim_entry_service_calls(uint32_t module_id);

/* The bind driver: walks a bind request the way the framework does. Bind:
 * the source module's get_imc (when it registered one), the destination
 * module's get_entry_func (when it registered one; a sibling
 * destination's entry function is its entry point for the direction, or
 * what its entry-function service answers), then, for a custom bind, the
 * source module's custom_bind; when that fails after the destination's
 * get_entry_func accepted the bind, the destination's release_entry_func
 * gives it back. Unbind: the source's custom_unbind for a custom bind,
 * then the destination's release_entry_func (when it registered one).
 * The first failing step stops the walk. */
typedef struct zel_sim_bind_result {
    uint32_t status;       /* 0, or the failing step's status            */
    const char *step;      /* "get_imc", "get_entry_func", "entry_service",
                            * "custom_bind", "custom_unbind",
                            * "release_entry_func", or ""              */
    uint32_t imc_fn_id;    /* the source's IMC function (0: none)        */
    uint32_t entry_fn_id;  /* the destination's entry function (0: none) */
} zel_sim_bind_result_t;
uint32_t zel_sim_bind(zel_sim_t *sim, const zel_bind_info_t *bind, zel_sim_bind_result_t *out);
uint32_t zel_sim_unbind(zel_sim_t *sim, const zel_bind_info_t *bind, zel_sim_bind_result_t *out);

/* Engine function symbols by id and name (process-wide ids): the name of
 * an id (NULL when none), and the id a name has or gets. */
const char *zel_sim_function_name(uint32_t id);
uint32_t zel_sim_function_id(const char *name);

/* A Layer-2 interface object of a sibling module, with interface id
 * `intf_id` and the interface header magic. Owned by the platform. NULL
 * when the platform has a Layer-2 interface with that id already, or the
 * id lies in the range of interface ids the framework hands out
 * ("zel_sys_intf_ids", 0x100 to 0xfff in the default image). */
zel_obj_header_t *zel_sim_l2_interface_new(zel_sim_t *sim, uint32_t intf_id);

/* QoS objects of the framework: a queue with hardware id `queue_id`, a
 * policer with policing flow id `flow_id`, a DiffServ policy whose class
 * (class_type, class_id) maps to queue `queue_id`. Owned by the platform. */
void *zel_sim_qos_queue_new(zel_sim_t *sim, uint32_t queue_id);
void *zel_sim_qos_policer_new(zel_sim_t *sim, uint32_t flow_id);
void *zel_sim_qos_ds_policy_new(zel_sim_t *sim);
void zel_sim_qos_ds_policy_map(void *policy, uint32_t class_type, uint32_t class_id,
                               uint32_t queue_id);
/* Capture delivery state of a queue (1 enabled), as the QoS service's
 * capture enable sets it and its status call reports it. The framework may
 * switch delivery off on its own (rate limits, a full queue): set models
 * that. calls: how many enables (returned) and status reads (*reads, may
 * be NULL) the QoS service answered with success. */
uint8_t zel_sim_qos_queue_capture(void *queue);
void zel_sim_qos_queue_capture_set(void *queue, uint8_t on);
uint32_t zel_sim_qos_queue_capture_calls(void *queue, uint32_t *reads);

/* EIOA map: logical port -> EIOA port (unmapped ports fail). */
void zel_sim_eioa_map(zel_sim_t *sim, uint32_t logical_port, uint32_t eioa_port);

/* Framework's turn during compaction: called from zel_sif_compact_callback
 * with the context record; its result is returned to the module. */
typedef uint32_t (*zel_sim_compact_hook_t)(void *user, zel_compact_ctx_t *compact_ctx);
void zel_sim_set_compact_hook(zel_sim_t *sim, zel_sim_compact_hook_t hook, void *user);

/* Periodic compaction, as the framework runs it: with every_n_ops > 0,
 * once the module that registered compaction has completed every_n_ops
 * operations (releases of its lock in write mode; a module without a
 * lock counts polls) since the last periodic compaction, the next
 * zel_sim_compact_poll calls the registered compaction entry (the
 * compact_func slot of the module's service table) with the registered
 * flag mask, with the progress callback when use_callback is non-zero.
 * The embedder polls between operations (the CLI after each command),
 * never while it holds the module lock. every_n_ops 0 switches it off. */
void zel_sim_compact_auto(zel_sim_t *sim, uint32_t every_n_ops, int use_callback);
/* 1 when a compaction ran (its status in *status, when given), else 0. */
int zel_sim_compact_poll(zel_sim_t *sim, uint32_t *status);

/* Registrations the module made. */
const zel_service_table_t *zel_sim_service_table(zel_sim_t *sim, const zel_module_t *module);
int zel_sim_compact_registration(zel_sim_t *sim, zel_compact_reg_t *out);

/* Tunnel CPU path tables of the framework. */
uint32_t zel_sim_demux_count(zel_sim_t *sim);
int zel_sim_demux_find(zel_sim_t *sim, uint16_t port, zel_demux_rec_t *out);
uint32_t zel_sim_port_map_count(zel_sim_t *sim);
int zel_sim_port_map_find(zel_sim_t *sim, uint32_t intf_id, uint32_t *port);

/* Interface ids the framework has handed out and not taken back. */
uint32_t zel_sim_interface_ids_in_use(zel_sim_t *sim);

/* PDUs sent through zel_ph_cpu_pdu_send, oldest first (process-wide, as
 * the packet-handling service is one per process). */
typedef struct zel_sim_pdu {
    uint32_t word4, word5, all_ones;
    uint32_t pipeline[2];     /* the pair passed by pointer   */
    uint8_t header[64];       /* the send header              */
    void *pdu1, *pdu2;
    uint32_t a, b, c;
} zel_sim_pdu_t;
uint32_t zel_sim_pdu_count(void);
int zel_sim_pdu_get(uint32_t index, zel_sim_pdu_t *out);
void zel_sim_pdu_clear(void);

/* ---------------------------------------------------------------------
 * Fault injection (process-wide). Every platform entry point first asks
 * the fault table whether to fail. A fault names a call (or NULL: any
 * fallible call) and the n-th matching call from now on (1-based); it
 * fires once, or on every matching call from the n-th on. A failing call
 * returns `status` (hwe_nvm_calloc returns NULL) and changes nothing.
 * --------------------------------------------------------------------- */

#define ZEL_SIM_FAULT_ONCE 0u
#define ZEL_SIM_FAULT_PERSIST 1u

void zel_sim_fault_set(const char *call, uint32_t nth, uint32_t mode, uint32_t status);
/* 1 when `call` names an entry point of the platform headers (one a fault
 * can name), 0 otherwise. zel_sim_call_name lists them: the name of entry
 * point `index`, NULL past the last. */
int zel_sim_call_known(const char *call);
const char *zel_sim_call_name(uint32_t index);

/* Fail matching calls at random, `permille` of them, from a seeded
 * stream (deterministic for a seed and a call sequence). */
void zel_sim_fault_random(const char *call, uint64_t seed, uint32_t permille, uint32_t status);

/* Disarm every fault (counters are kept). */
void zel_sim_fault_clear(void);

/* Faults fired since the fault was set. */
uint64_t zel_sim_fault_hits(void);

/* Calls of an entry point (by name) since the last counter reset; NULL
 * counts every fallible call. */
uint64_t zel_sim_call_count(const char *call);
void zel_sim_counters_reset(void);

/* Name of the entry point the last fault fired in ("" if none). */
const char *zel_sim_fault_last_call(void);

/* ---------------------------------------------------------------------
 * Memory of hwe_nvm_calloc (process-wide)
 * --------------------------------------------------------------------- */

uint64_t zel_sim_mem_in_use(void);      /* bytes handed out and not freed */
uint64_t zel_sim_mem_blocks(void);      /* blocks handed out and not freed */
void zel_sim_mem_set_limit(uint64_t bytes); /* 0: no limit */

/* ---------------------------------------------------------------------
 * Trace channel (process-wide recorder). While recording, the trace
 * function of every event stores one record.
 * --------------------------------------------------------------------- */

typedef struct zel_sim_trace_rec {
    uint32_t event;
    uint32_t line;
    const char *file;   /* valid while the record is kept */
    int has_format;     /* 0 for entry/exit records       */
    const char *text;   /* the formatted message, or the function name */
    int forced;         /* 1: recorded through zel_lttng_trace_sif_force_error */
} zel_sim_trace_rec_t;

void zel_sim_trace_record(int on);  /* start (clearing) or stop recording */

/* A trace sink: every record of the events in `event_mask` (bit n: event
 * n; the module logs ERROR as event 2 and FATAL as event 4) is handed to
 * `sink` as it is made, with its formatted text, whether or not the
 * recorder runs. NULL or a mask of 0 removes it. Process-wide. */
typedef void (*zel_sim_trace_sink_t)(void *user, uint32_t event, const char *text);
void zel_sim_trace_sink_set(uint32_t event_mask, zel_sim_trace_sink_t sink, void *user);

/* The framework console (zel_sys_log_write): each line is handed to
 * `sink`; NULL restores the default, standard output. Process-wide. */
typedef void (*zel_sim_log_sink_t)(void *user, const char *text, uint32_t len);
void zel_sim_log_sink_set(zel_sim_log_sink_t sink, void *user);
uint32_t zel_sim_trace_count(void);
int zel_sim_trace_get(uint32_t index, zel_sim_trace_rec_t *out);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_SIM_H */
