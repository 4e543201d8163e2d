// The internal rule call of basic filters.
#ifndef ZEL_IP_BASIC_FILTER_PVT_H
#define ZEL_IP_BASIC_FILTER_PVT_H

#include <cstdint>

#include "zel_ip/zel_ip_basic_filter.h"

extern "C" {

// Tree 34: insert (op 0), delete (1) or replace the value of (2) basic rule
// `rule_idx` of `set`; a delete and a replace give the set's pattern
// alone. The value is the filter value of `action` under `flow_key`.
// With the pattern trace on (0x40), prints the rule. Failures as
// otreeset_rule (tree/zel_ip_otreeset.h): "Could not build the input
// pattern", "Failed to insert rule in the OtreeSet, RTE Error: %s\n"
// (0x1030010 / 0x1004e), "Failed to delete the OtreeSet rule, RTE Error:
// %s\n" (0x1030010 / 0x1004f); 0x30001 / 0x1030019 for a module or set
// that is not live. The caller holds the module write lock.
uint32_t zel_ip_basic_filter_hw_rule(zel_module_t *module, zel_ip_rule_set_handle_t set, uint32_t rule_idx,
                                     uint32_t flow_key, const zel_ip_basic_filter_rule_t *rule,
                                     const zel_ip_filter_action_t *action, uint32_t op);

}  // extern "C"

#endif  // ZEL_IP_BASIC_FILTER_PVT_H
