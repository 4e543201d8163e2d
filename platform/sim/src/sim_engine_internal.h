// Hooks of the engine model for the framework model. They are not
// platform entry points: the fault table neither counts nor fails them.
#ifndef ZSIM_ENGINE_INTERNAL_H
#define ZSIM_ENGINE_INTERNAL_H

#include <cstdint>

#include "hwe.h"

// The namespace the framework draws system interface ids from (16-bit
// ids 0x100..0xfff, each naming a 256-byte statistics record).
#define ZSIM_SYS_INTF_NAMESPACE "zel_sys_intf_ids"

namespace zsim {

// Name of a tree or function symbol id, process-wide (ids are the same in
// every engine); nullptr if no image ever had it.
const char *engine_symbol_name(uint32_t id);
uint32_t engine_symbol_id(const char *name);

// Take the lowest free id of namespace `ns_name` of `eng`: 0, or
// HWE_E_PARAM / HWE_E_NOT_FOUND (no such namespace) / HWE_E_EXHAUSTED.
uint32_t engine_ns_alloc(hwe_engine_t *eng, const char *ns_name, uint32_t *id);

// Return one id: 0, or HWE_E_PARAM / HWE_E_NOT_FOUND / HWE_E_ID_RANGE
// (outside the namespace or not taken).
uint32_t engine_ns_free(hwe_engine_t *eng, const char *ns_name, uint32_t id);

// True when `id` lies in the range of namespace `ns_name` of `eng`.
bool engine_ns_contains(hwe_engine_t *eng, const char *ns_name, uint32_t id);

// Ids of the namespace currently taken (0 when there is no such namespace).
uint32_t engine_ns_in_use(hwe_engine_t *eng, const char *ns_name);

}  // namespace zsim

#endif  // ZSIM_ENGINE_INTERNAL_H
