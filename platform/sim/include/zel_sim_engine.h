/*
 * Engine model of the software platform: program images and
 * introspection of a running engine (for tests, tools and embedders).
 *
 * None of these calls is a platform entry point: the fault table neither
 * counts nor fails them, so a test can look at the engine while a fault is
 * armed. Statuses are the engine's (HWE_*, hwe.h).
 */
#ifndef ZEL_SIM_ENGINE_H
#define ZEL_SIM_ENGINE_H

#include "hwe.h"
#include "zel_fw.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------
 * Program images: trees, function symbols and namespaces loaded with the
 * engine. The default image is the one the IPv4 module expects; tests
 * build variants from it.
 *
 * Default image:
 *  - the 38 trees "zel_ip.<name>" of the module's catalogue with their key
 *    widths and kinds; every tree starts out answering its catalogue
 *    default action (a tree emptied with hwe_ptn_unlearn_any answers the
 *    action given there); InitTableSize 24 for single-pattern trees, so
 *    the wider ones are eligible for compaction; rule-set trees carry their
 *    key layout (field widths);
 *  - function symbols: the 23 flow functions, the five default-action
 *    functions, "zel_ip.test_exception_handler", "zel_ip.test_imc_function"
 *    and "zel_ip.test_imc_function_2";
 *  - namespaces (name: base, count, record bytes [+ SED / MTM bytes]):
 *    "ip_ingress_assoc" 0x00d00000, 71164, 64; "ip_egress_assoc"
 *    0x00500000, 70365, 64 + 16 SED; "ip_pbr_stats" 0x00f0242c, 512, 16;
 *    "ip_filter_stats" 0x00d19bb9, 256, 32; "ip_if_stats" 0x00066dea, 2,
 *    256; "ip_qos_stats" 0x00700940, 2304, 144 + 32 MTM; "ip_defrag_ctx"
 *    0x00200000, 0x7e4, 64 (every id taken from the start);
 *    "zel_sys_intf_ids" 0x100, 0xf00, 256 (the framework's interface ids).
 * Symbol ids are process-wide and deterministic: the default catalogue's
 * trees are 0x100 + index, its functions 0x200 onwards in the order above;
 * other names get a 16-bit id derived from the name.
 * --------------------------------------------------------------------- */

typedef struct zel_sim_image zel_sim_image_t;

#define ZEL_SIM_TREE_SINGLE 0u   /* single-pattern tree (expanded prefix table) */
#define ZEL_SIM_TREE_OTREESET 1u /* ordered rule sets, vector-pattern keys      */
#define ZEL_SIM_TREE_OVTREESET 2u/* ordered rule sets, range-vector keys        */

zel_sim_image_t *zel_sim_image_default(void);
zel_sim_image_t *zel_sim_image_copy(const zel_sim_image_t *image);
void zel_sim_image_free(zel_sim_image_t *image);

/* Remove a tree, function or namespace by name; 0 when it was there. */
int zel_sim_image_remove(zel_sim_image_t *image, const char *name);

/* Add a tree / a function symbol / a namespace; 0 on success, -1 when the
 * name is taken or the figures do not fit (a single-pattern tree is 1 to
 * 117 bits wide; namespaces with memory must not share ids). A new tree
 * answers kind 0 until its default is set. */
int zel_sim_image_add_tree(zel_sim_image_t *image, const char *name, uint32_t width,
                           uint32_t kind);
int zel_sim_image_add_function(zel_sim_image_t *image, const char *name);
int zel_sim_image_add_namespace(zel_sim_image_t *image, const char *name, uint32_t base,
                                uint32_t count, uint32_t record_size);

/* A namespace with state-engine records, SED parameters and MTM shared
 * parameters of the given sizes per id (0: none). */
#define ZEL_SIM_NS_PREALLOCATED 1u /* every id is taken when the engine starts */
int zel_sim_image_add_namespace_ex(zel_sim_image_t *image, const char *name, uint32_t base,
                                   uint32_t count, uint32_t record_size, uint32_t sed_size,
                                   uint32_t mtm_size, uint32_t flags);

/* The action a tree answers before anything is learnt: a value action
 * (`function` NULL; kind 0 or 4) or a call of `function` (kind 1). */
int zel_sim_image_set_tree_default(zel_sim_image_t *image, const char *tree,
                                   const hwe_action_t *action, const char *function);

/* InitTableSize reported by hwe_ptn_fn_stats for a tree. */
int zel_sim_image_set_init_table_size(zel_sim_image_t *image, const char *tree, uint32_t size);

/* Key layout of a rule-set tree, checked by its inserts: OtreeSet = the
 * width of every vector pattern; OVtreeSet = the set key width, then the
 * width of every range. No layout: any shape is accepted. */
int zel_sim_image_set_fields(zel_sim_image_t *image, const char *tree, uint32_t nfields,
                             const uint32_t *widths);

/* Create an engine loaded with `image` (copied); NULL on failure. */
hwe_engine_t *zel_sim_engine_create(const zel_sim_image_t *image);
void zel_sim_engine_destroy(hwe_engine_t *eng);

/* Id of a tree or function symbol of the engine's image; 0 / -1. */
int zel_sim_engine_symbol_id(hwe_engine_t *eng, const char *name, uint32_t *id);

/* Name of a tree or function symbol of the engine's image by its id (a
 * function entry's W1); NULL when the image has no such symbol. The text
 * lives as long as the process. */
const char *zel_sim_engine_symbol_name(hwe_engine_t *eng, uint32_t id);

/* ---------------------------------------------------------------------
 * Trees
 * --------------------------------------------------------------------- */

/* What the leaf of a full key holds: the action (as learnt, kind 0, 1 or
 * 4) and its depth (length of the pattern that wrote it; 0: the tree's
 * catch-all). The key's len must equal the tree width (HWE_E_KEY). */
uint32_t zel_sim_engine_lookup(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *key,
                               hwe_action_t *action, uint32_t *depth);

/* The same with the key given as field values (first field most
 * significant) and their widths, which must add up to the tree width. */
uint32_t zel_sim_engine_lookup_fields(hwe_engine_t *eng, uint32_t tree_id, uint32_t nfields,
                                      const uint32_t *values, const uint32_t *widths,
                                      hwe_action_t *action, uint32_t *depth);

/* Visit the learnt entries and the catch-all, as hwe_ptn_list_ptns does:
 * the catch-all first (len 0), then entries in key order. */
uint32_t zel_sim_engine_list_entries(hwe_engine_t *eng, uint32_t tree_id, hwe_ptn_list_cb_t cb,
                                     void *ctx);

/* Learnt entries of a single-pattern tree (a learnt /0 counts), or staged
 * rules of a rule-set tree; 0 for an unknown tree. */
uint32_t zel_sim_engine_entry_count(hwe_engine_t *eng, uint32_t tree_id);

/* Re-pointed ranges kept because an unlearn gave a covering action other
 * than the one the tree holds (0 when callers pass the engine's own). */
uint32_t zel_sim_engine_placeholder_count(hwe_engine_t *eng, uint32_t tree_id);

/* Engine memory held by a tree's entries, in bytes. */
uint64_t zel_sim_engine_tree_bytes(hwe_engine_t *eng, uint32_t tree_id);

/* Compactions the engine ran (hwe_ptn_compact_fn and _cb on a
 * single-pattern tree), oldest first: which tree, what the call returned,
 * the tree's memory when the call began and when it returned (a
 * compaction rebuilds the tree's storage at the smallest size its live
 * entries need), and the progress callbacks it made. The engine keeps the
 * last ZEL_SIM_COMPACTIONS_KEPT; the count covers every one since the
 * engine was created, and index n names the n-th (0-based). */
typedef struct zel_sim_compaction {
    uint32_t tree_id;
    uint32_t status;
    uint64_t bytes_before;
    uint64_t bytes_after;
    uint32_t callbacks;
} zel_sim_compaction_t;
#define ZEL_SIM_COMPACTIONS_KEPT 4096u
uint64_t zel_sim_engine_compaction_count(hwe_engine_t *eng);
/* 0, or -1 when compaction `index` was not run or is no longer kept. */
int zel_sim_engine_compaction_get(hwe_engine_t *eng, uint64_t index, zel_sim_compaction_t *out);

/* ---------------------------------------------------------------------
 * Rule-set trees
 * --------------------------------------------------------------------- */

#define ZEL_SIM_NO_RULE 0xffffffffu

/* Classify a packet against the last compiled rules: values[0] is the set
 * field, then one value per vector pattern (OtreeSet) or per range
 * (OVtreeSet). *rule_idx is the first matching rule by ascending index, or
 * ZEL_SIM_NO_RULE with the tree's default action. */
uint32_t zel_sim_engine_classify(hwe_engine_t *eng, uint32_t tree_id, uint32_t nfields,
                                 const uint32_t *values, hwe_action_t *action,
                                 uint32_t *rule_idx);

/* An OVtreeSet build answers HWE_E_REBUILD when its set has more than
 * `max_edits` staged edits since its last compile (0: never). */
uint32_t zel_sim_engine_set_rebuild_threshold(hwe_engine_t *eng, uint32_t tree_id,
                                              uint32_t max_edits);

/* ---------------------------------------------------------------------
 * Subnet databases
 * --------------------------------------------------------------------- */

/* The action stored under exactly `key`; HWE_E_NOT_FOUND when none. */
uint32_t zel_sim_subnet_get(hwe_subnet_db_t *db, const zel_ptn_t *key, hwe_action_t *action);
uint32_t zel_sim_subnet_count(hwe_subnet_db_t *db);  /* stored prefixes */
uint64_t zel_sim_subnet_bytes(hwe_subnet_db_t *db);  /* memory held, bytes */

/* ---------------------------------------------------------------------
 * Namespaces and the memory of NS ids. The id must be taken in a namespace
 * of the image that gives it that kind of memory (HWE_E_ID_RANGE) and the
 * range must lie inside it (HWE_E_BOUNDS); contents are big-endian by
 * convention, zero from the id's allocation on.
 * --------------------------------------------------------------------- */

int zel_sim_engine_ns_exists(hwe_engine_t *eng, const char *name);
uint32_t zel_sim_engine_ns_in_use(hwe_engine_t *eng, const char *name);
int zel_sim_engine_ns_is_allocated(hwe_engine_t *eng, const char *name, uint32_t id);

uint32_t zel_sim_engine_se_read(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset, void *buf,
                                uint32_t len);
uint32_t zel_sim_engine_se_write(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset,
                                 const void *buf, uint32_t len);
/* Adds `n` to the big-endian counter of `len` bytes (4 or 8) at `offset`
 * of an id's state record, wrapping as the counter's width does: a read
 * and a write in one access (the fast path's counter update). */
uint32_t zel_sim_engine_se_add(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset, uint32_t len,
                               uint64_t n);
/* Several such updates under one lock, in order, each as
 * zel_sim_engine_se_add makes it (a packet's counters). Returns how many
 * were refused (each of those changed nothing); all of them for a bad
 * engine or a null array. */
typedef struct zel_sim_se_add {
    uint32_t ns_id;
    uint32_t offset;
    uint32_t len;
    uint64_t n;
} zel_sim_se_add_t;
uint32_t zel_sim_engine_se_add_many(hwe_engine_t *eng, const zel_sim_se_add_t *adds, uint32_t count);
uint32_t zel_sim_engine_sed_read(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset, void *buf,
                                 uint32_t len);
uint32_t zel_sim_engine_sed_write(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset,
                                  const void *buf, uint32_t len);
uint32_t zel_sim_engine_mtm_read(hwe_engine_t *eng, uint32_t index, void *buf, uint32_t len);
uint32_t zel_sim_engine_mtm_write(hwe_engine_t *eng, uint32_t index, const void *buf,
                                  uint32_t len);

/* ---------------------------------------------------------------------
 * Statistics counters, planted by name as the engine's programs write
 * them (big-endian). Records (`record`, bytes, where):
 *   "global"        256  state memory of the global statistics id
 *   "interface"     256  state memory of an interface's statistics id
 *   "interface-b"    88  state memory of an interface's second id (an IPoE
 *                        interface's or tunnel's DSCP group id)
 *   "interface-tm"   32  MTM shared parameters of that id
 *   "ingress-flow"   32, "egress-flow" 32, "filter-rule" 32, "pbr-rule" 16:
 *                        state memory of the flow's or rule's NS ID
 * A counter is one of the record's names (zel_sim_counter_name) or
 * generic: "w<N>" the u32 at byte 4N, "q<N>" the u64 at byte 4N.
 * Returns 0, HWE_E_NOT_FOUND (no such record or counter), HWE_E_PARAM
 * (value too wide for a u32), HWE_E_BOUNDS (outside the record), or the
 * memory's refusal (HWE_E_ID_RANGE: the id has no such memory). Not a
 * platform entry point.
 * --------------------------------------------------------------------- */

uint32_t zel_sim_counter_set(hwe_engine_t *eng, const char *record, uint32_t ns_id,
                             const char *counter, uint64_t value);
/* Name of named counter `index` of `record`, or of record kind `index`;
 * NULL past the last. */
const char *zel_sim_counter_name(const char *record, uint32_t index);
const char *zel_sim_counter_record_name(uint32_t index);

/* ---------------------------------------------------------------------
 * Misc
 * --------------------------------------------------------------------- */

/* The handle hwe_vp_handle_get_cpu_ip_pdu_send gives. */
#define ZEL_SIM_CPU_IP_PDU_VP 0x00c0u

/* hwe_gettime is a clock that advances one microsecond per call; this
 * sets it back to zero (process-wide), for reproducible traces. */
void zel_sim_time_reset(void);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_SIM_ENGINE_H */
