// Body of an association flow filter rule (flow kind 5), kept in the flow
// record's union (flow/zel_ip_flow_pvt.h). Data only.
#ifndef ZEL_IP_ASSOC_FILTER_TYPES_H
#define ZEL_IP_ASSOC_FILTER_TYPES_H

#include <cstdint>

#include "zel_ip/zel_ip_assoc_filter.h"

namespace zel::ip {

struct AssocFilterRule {
    zel_ip_flow_handle_t assoc;            // the ingress association; the rule is
                                           // registered as its user (obj_use)
    zel_ip_assoc_flow_filter_rule_t rule;  // the caller's, whole
    uint32_t action;                       // ZEL_IP_AFF_PASS / _DROP
    // Module-side bookkeeping after the documented fields.
    uint32_t rule_idx;  // the index the rule was inserted with
};

}  // namespace zel::ip

#endif  // ZEL_IP_ASSOC_FILTER_TYPES_H
