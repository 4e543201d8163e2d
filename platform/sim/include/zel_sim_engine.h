/*
 * Engine model of the software platform: program images and
 * introspection of a running engine (for tests, tools and embedders).
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

/* Add a tree / a function symbol / a namespace. */
int zel_sim_image_add_tree(zel_sim_image_t *image, const char *name, uint32_t width,
                           uint32_t kind);
int zel_sim_image_add_function(zel_sim_image_t *image, const char *name);
int zel_sim_image_add_namespace(zel_sim_image_t *image, const char *name, uint32_t base,
                                uint32_t count, uint32_t record_size);

/* Create an engine loaded with `image` (copied); NULL on failure. */
hwe_engine_t *zel_sim_engine_create(const zel_sim_image_t *image);
void zel_sim_engine_destroy(hwe_engine_t *eng);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_SIM_ENGINE_H */
