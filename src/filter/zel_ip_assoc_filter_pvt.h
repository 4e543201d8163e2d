// The internal rule call of association flow filters.
#ifndef ZEL_IP_ASSOC_FILTER_PVT_H
#define ZEL_IP_ASSOC_FILTER_PVT_H

#include <cstdint>

#include "zel_ip/zel_ip_assoc_filter.h"

extern "C" {

// Programs one rule of tree 35 in the set of association `assoc_ns_id`:
// op 0 inserts rule `rule_idx` built from `rule` and `action` (drop calls
// the tree's default function), op 1 deletes rule `rule_idx` of the set
// (`rule` and `action` are not read). Failures as otreeset_rule
// (tree/zel_ip_otreeset.h); 0x30001 without a started module. The caller
// holds the module write lock and has checked the rule.
uint32_t zel_ip_assoc_flow_filter_hw_rule(zel_module_t *module, uint32_t rule_idx, uint32_t assoc_ns_id,
                                          const zel_ip_assoc_flow_filter_rule_t *rule, uint32_t action,
                                          uint32_t op);

}  // extern "C"

#endif  // ZEL_IP_ASSOC_FILTER_PVT_H
