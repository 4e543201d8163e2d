// Status words: the module's error codes and their names.
#include "core/zel_ip_status_internal.h"

namespace zel::ip {
namespace {

// One table for the codes and their names, indexed by code - 0x1000001.
constexpr const char *kErrorNames[] = {
    "ZEL_IP_E_NAPT_FLOW_UNAVAILABLE",
    "ZEL_IP_E_INGRESS_STATE_MEMORY_UNAVAILABLE",
    "ZEL_IP_E_INGRESS_STATE_ID_UNAVAILABLE",
    "ZEL_IP_E_EGRESS_STATE_MEMORY_UNAVAILABLE",
    "ZEL_IP_E_INVALID_IP_ASSOCIATION",
    "ZEL_IP_E_INVALID_IP_INTERFACE",
    "ZEL_IP_E_INVALID_INTERFACE_STATE",
    "ZEL_IP_E_INVALID_IP_VERSION",
    "ZEL_IP_E_INVALID_SRC_IP_ADDRESS",
    "ZEL_IP_E_INVALID_QOS_PROFILE_TYPE",
    "ZEL_IP_E_MAX_CLASS_CONFIG_EXCEEDED",
    "ZEL_IP_E_INVALID_DSCP_PROFILE",
    "ZEL_IP_E_INVALID_FILTER_PROTO_RULE",
    "ZEL_IP_E_NAPT_NO_ADDRESS",
    "ZEL_IP_E_NAPT_NO_OUT_L4PORT",
    "ZEL_IP_E_INVALID_FILTER_INDEX",
    "ZEL_IP_E_INVALID_FILTER_PARAM",
    "ZEL_IP_E_INVALID_ADDR_PREFIX",
    "ZEL_IP_E_FIB_UPDATE_FAILURE",
    "ZEL_IP_E_INVALID_IP_ADDRESS",
    "ZEL_IP_E_INVALID_EXCEPTION_TYPE",
    "ZEL_IP_E_INVALID_MTU",
    "ZEL_IP_E_INCONSISTENT_RATES",
    "ZEL_IP_E_INVALID_FILTER_DIRECTION",
    "ZEL_IP_E_INVALID_FILTER_RULESET",
    "ZEL_IP_E_INTERNAL_MEMORY_UNAVAILABLE",
};
static_assert(sizeof(kErrorNames) / sizeof(kErrorNames[0]) ==
              ZEL_IP_E_INTERNAL_MEMORY_UNAVAILABLE - ZEL_IP_E_NAPT_FLOW_UNAVAILABLE + 1);

}  // namespace
}  // namespace zel::ip

extern "C" const char *zel_ipv4_error_name(uint32_t code) {
    uint32_t c = code & ~ZEL_SEV_MASK;
    if (c < ZEL_IP_E_NAPT_FLOW_UNAVAILABLE || c > ZEL_IP_E_INTERNAL_MEMORY_UNAVAILABLE)
        return "ZEL_E_IPV4_UNKNOWN";
    return zel::ip::kErrorNames[c - ZEL_IP_E_NAPT_FLOW_UNAVAILABLE];
}
