/*
 * Packet engine configuration library used by the IPv4 module.
 *
 * The engine runs the FPL programs loaded with its image: trees looked up
 * by the fast path, state-engine records named by NS ids drawn from
 * namespace resources, parameter and traffic-manager memory. Unless
 * stated, a call returns 0 on success and an engine status otherwise;
 * hwe_status_get gives its text. The engine's statuses are below.
 */
#ifndef HWE_H
#define HWE_H

#include "zel_platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Engine statuses (texts from hwe_status_get). */
#define HWE_OK 0u
#define HWE_E_PARAM 0x1f0u        /* invalid argument                          */
#define HWE_E_NO_MEMORY 0x1f1u    /* engine memory exhausted                   */
#define HWE_E_NOT_FOUND 0x1f2u    /* no such symbol, namespace or entry        */
#define HWE_E_EXISTS 0x1f3u       /* name already in use                       */
#define HWE_E_ID_TAKEN 0x1f4u     /* NS id already allocated                   */
#define HWE_E_ID_RANGE 0x1f5u     /* NS id outside the namespace / not taken   */
#define HWE_E_NOT_LEARNT 0x1f6u   /* unlearn of a pattern that is not learnt   */
#define HWE_E_KEY 0x1f7u          /* key length or width does not fit the tree */
#define HWE_E_EXHAUSTED 0x1f8u    /* namespace has no free id                  */
#define HWE_E_RULE_INDEX 0x1f9u   /* rule index used (insert) or absent        */
#define HWE_E_FAULT 0x1fau        /* injected fault (software platform)        */
#define HWE_E_REBUILD 0x1fbu      /* set must be rebuilt whole                 */
#define HWE_E_ABORTED 0x1fcu      /* compaction stopped by its callback        */
#define HWE_E_BOUNDS 0x1fdu       /* offset/length outside a record            */

/* ---------------------------------------------------------------------
 * Memory, time, byte order, status texts
 * --------------------------------------------------------------------- */

/* Zeroed memory for module objects; NULL when exhausted. */
void *hwe_nvm_calloc(uint32_t count, uint32_t size);

/* Free memory from hwe_nvm_calloc (NULL is ignored). */
void hwe_nvm_free(void *p);

/* Time as two 32-bit words (seconds, microseconds), as printed in entry
 * and exit lines. Returns 0. */
typedef struct hwe_time {
    uint32_t sec;
    uint32_t usec;
} hwe_time_t;
uint32_t hwe_gettime(hwe_time_t *t);

/* Engine memory is big-endian. */
uint32_t hwe_htonl(uint32_t v);
uint16_t hwe_htons(uint16_t v);
uint32_t hwe_ntohl(uint32_t v);
uint16_t hwe_ntohs(uint16_t v);
uint64_t hwe_ntohll(uint64_t v);

/* Text of an engine status (never NULL). */
const char *hwe_status_get(uint32_t status);

/* ---------------------------------------------------------------------
 * Namespace resources and NS ids
 * --------------------------------------------------------------------- */

/* Create namespace `name` of `count` ids from `base`; the module passes
 * type 5. HWE_E_EXISTS when the name is taken. */
uint32_t hwe_rsrc_create(hwe_engine_t *eng, uint32_t type, const char *name, uint32_t count,
                         uint32_t base, hwe_rsrc_t **ns);

/* Find a namespace of the image or one created earlier; type 0.
 * HWE_E_NOT_FOUND when there is none. */
uint32_t hwe_rsrc_find(hwe_engine_t *eng, uint32_t type, const char *name, hwe_rsrc_t **ns);

/* Destroy a namespace (its ids go with it). */
uint32_t hwe_rsrc_destroy(hwe_engine_t *eng, hwe_rsrc_t *ns);

/* Take the lowest free id (the module asks for 1). HWE_E_EXHAUSTED when
 * none is free. */
uint32_t hwe_rsrc_allocate(hwe_rsrc_t *ns, uint32_t count, uint32_t *id, void *cookie);

/* Take ids id .. id+count-1; refused (nothing taken) when one is taken
 * (HWE_E_ID_TAKEN) or outside the namespace (HWE_E_ID_RANGE). */
uint32_t hwe_rsrc_allocate_fixed(hwe_rsrc_t *ns, uint32_t count, uint32_t id);

/* Return ids id .. id+count-1; refused (nothing freed) when one is not
 * taken or outside the namespace (HWE_E_ID_RANGE). */
uint32_t hwe_rsrc_free(hwe_rsrc_t *ns, uint32_t id, uint32_t count, void *cookie);

/* ---------------------------------------------------------------------
 * State-engine, parameter and traffic-manager memory
 * --------------------------------------------------------------------- */

/* Write / read `len` bytes at `offset` of the state-engine record of
 * `ns_id`. The id must be one a namespace or the framework hands out,
 * and the range must lie inside the record (HWE_E_BOUNDS). */
uint32_t hwe_se_state_set(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset, const void *buf,
                          uint32_t len);
uint32_t hwe_se_state_get(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset, void *buf,
                          uint32_t len);

/* Write state-engine parameter memory of `ns_id`. */
uint32_t hwe_sed_param_set(hwe_engine_t *eng, uint32_t ns_id, uint32_t offset, const void *buf,
                           uint32_t len);

/* Write / read the 32 bytes of traffic-manager shared parameters `index`. */
uint32_t hwe_mtm_shared_param_mod(hwe_engine_t *eng, uint32_t index, const void *buf,
                                  uint32_t len);
uint32_t hwe_mtm_shared_param_get(hwe_engine_t *eng, uint32_t index, void *buf, uint32_t len);

/* ---------------------------------------------------------------------
 * Trees of the program image
 * --------------------------------------------------------------------- */

/* Id of a tree or function symbol of the image. HWE_E_NOT_FOUND. */
uint32_t hwe_ptn_symbol_get_id(hwe_engine_t *eng, const char *name, uint32_t *id);

/* Memory use of a tree. */
typedef struct hwe_ptn_fn_stats {
    uint32_t root_mem_used;
    uint32_t prog_mem_used;
    uint32_t init_table_size;
    uint32_t entries;
} hwe_ptn_fn_stats_t;
uint32_t hwe_ptn_fn_stats(hwe_engine_t *eng, uint32_t tree_id, hwe_ptn_fn_stats_t *stats);

/*
 * Single-pattern trees behave as an expanded prefix table. A learn of P/L
 * writes `action` over P's range, replacing whatever of depth L or less
 * held it (deeper patterns stay). An unlearn of P/L with extent X < L
 * re-points P's range to `action` at depth X: the engine trusts the
 * caller's covering action. With X >= L the pattern is removed and its
 * range falls back to the pattern that covers it. Unlearning a pattern
 * that is not learnt is refused with HWE_E_NOT_LEARNT. `flag` is passed
 * through (the module passes 0). A key longer than the tree is HWE_E_KEY.
 */
uint32_t hwe_ptn_learn(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *key,
                       const hwe_action_t *action);
uint32_t hwe_ptn_unlearn(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *key,
                         uint32_t extent, const hwe_action_t *action, uint32_t flag);

/* Remove every entry; the tree answers `action` everywhere afterwards. */
uint32_t hwe_ptn_unlearn_any(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *key,
                             uint32_t extent, const hwe_action_t *action, uint32_t flag);

/* Visit every learnt entry and the catch-all of a single-pattern tree.
 * The visited key's width is the tree's; a catch-all has len 0. A
 * non-zero return of the callback stops the visit and is returned. */
typedef uint32_t (*hwe_ptn_list_cb_t)(void *ctx, const zel_ptn_t *key, const hwe_action_t *value);
uint32_t hwe_ptn_list_ptns(hwe_engine_t *eng, uint32_t tree_id, hwe_ptn_list_cb_t cb, void *ctx);

/* Compact a tree; with a callback the engine calls cb(ctx) between chunks
 * and stops with HWE_E_ABORTED when it returns non-zero. */
uint32_t hwe_ptn_compact_fn(hwe_engine_t *eng, uint32_t tree_id);
uint32_t hwe_ptn_compact_fn_cb(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *pattern,
                               uint32_t (*cb)(void *ctx), void *ctx, uint32_t use_callback);

/* ---------------------------------------------------------------------
 * Subnet databases: prefixes of 0 .. width bits with an action each.
 * --------------------------------------------------------------------- */

/* Create a database of `width` bits (the module passes tree width + 1). */
uint32_t hwe_subnet_create(uint32_t width, uint32_t a, uint32_t b, hwe_subnet_db_t **db);
uint32_t hwe_subnet_destroy(hwe_subnet_db_t *db);

/* Add or replace the prefix `key` (len bits). */
uint32_t hwe_subnet_add_subnet(hwe_subnet_db_t *db, const zel_ptn_t *key,
                               const hwe_action_t *action);

/* Delete the prefix `key`; deleting a prefix that is not there succeeds. */
uint32_t hwe_subnet_del_subnet(hwe_subnet_db_t *db, const zel_ptn_t *key);

/* Closest stored prefix strictly shorter than `key` that covers it:
 * *extent is its length (one more than the tree's unlearn extent, because
 * of the leading bit), *action its action. HWE_E_NOT_FOUND when none. */
uint32_t hwe_subnet_find_higher_subnet(hwe_subnet_db_t *db, const zel_ptn_t *key,
                                       uint32_t *extent, hwe_action_t *action);

/* ---------------------------------------------------------------------
 * Rule sets. Rules are identified by their set key and rule index; edits
 * are staged and classification uses the last compiled state only: the
 * first matching rule by ascending rule index, else the tree's default.
 * --------------------------------------------------------------------- */

/* OtreeSet: key = vector pattern whose first pattern is the set key. */
uint32_t hwe_ptn_otreeset_insert(hwe_engine_t *eng, uint32_t tree_id, const zel_vptn_t *key,
                                 uint32_t rule_idx, const hwe_action_t *action);
uint32_t hwe_ptn_otreeset_modify(hwe_engine_t *eng, uint32_t tree_id, const zel_vptn_t *key,
                                 uint32_t rule_idx, const hwe_action_t *action);
/* `key` holds at least the set key pattern. */
uint32_t hwe_ptn_otreeset_delete(hwe_engine_t *eng, uint32_t tree_id, const zel_vptn_t *key,
                                 uint32_t rule_idx);
/* Compile the set named by the first pattern of `set_key`. */
uint32_t hwe_ptn_otreeset_build(hwe_engine_t *eng, uint32_t tree_id, const zel_vptn_t *set_key);
typedef uint32_t (*hwe_otreeset_list_cb_t)(void *ctx, uint32_t rule_idx, const zel_vptn_t *key,
                                          const hwe_action_t *value);
uint32_t hwe_ptn_otreeset_list_vrules(hwe_engine_t *eng, uint32_t tree_id,
                                      hwe_otreeset_list_cb_t cb, void *ctx);

/* OVtreeSet: key = set key pattern plus a vector of range patterns. */
uint32_t hwe_ptn_ovtreeset_insert(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *set_key,
                                  uint32_t nranges, const zel_rptn_t *ranges, uint32_t rule_idx,
                                  const hwe_action_t *action);
uint32_t hwe_ptn_ovtreeset_modify(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *set_key,
                                  uint32_t rule_idx, const hwe_action_t *action);
uint32_t hwe_ptn_ovtreeset_delete(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *set_key,
                                  uint32_t rule_idx);
/* Compile one set; HWE_E_REBUILD when the set must be rebuilt whole. */
uint32_t hwe_ptn_ovtreeset_build(hwe_engine_t *eng, uint32_t tree_id, const zel_ptn_t *set_key);
/* Compile every set of the tree. */
uint32_t hwe_ptn_ovtreeset_rebuild(hwe_engine_t *eng, uint32_t tree_id);
typedef uint32_t (*hwe_ovtreeset_list_cb_t)(void *ctx, uint32_t rule_idx, const zel_ptn_t *set_key,
                                           uint32_t nranges, const zel_rptn_t *ranges,
                                           const hwe_action_t *value);
uint32_t hwe_ptn_ovtreeset_list_rules(hwe_engine_t *eng, uint32_t tree_id,
                                      hwe_ovtreeset_list_cb_t cb, void *ctx);

/* ---------------------------------------------------------------------
 * CPU send pipeline
 * --------------------------------------------------------------------- */

/* Handle of the virtual pipeline for PDUs the CPU sends. */
uint32_t hwe_vp_handle_get_cpu_ip_pdu_send(hwe_engine_t *eng, uint32_t *vp);

#ifdef __cplusplus
}
#endif

#endif /* HWE_H */
