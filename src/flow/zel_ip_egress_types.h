// Bodies of the two egress flow kinds in the flow record (zel_ip_flow,
// zel_ip_flow_pvt.h). Data only.
#ifndef ZEL_IP_EGRESS_TYPES_H
#define ZEL_IP_EGRESS_TYPES_H

#include <cstdint>

#include "flow/zel_ip_bind_types.h"
#include "zel_ip/zel_ip_egress.h"

namespace zel::ip {

// Parts an egress flow of either kind can hold, as bits of `absent`.
enum EgressPart : uint32_t {
    kEpNsId = 1u << 0,    // the NS ID
    kEpDip = 1u << 1,     // association: tree 10
    kEpSipMtu = 1u << 2,  // association: tree 11
    kEpInfo = 1u << 3,    // association: tree 12
    kEpLookup = 1u << 4,  // egress flow: tree 29, and its place in the key index
};
inline constexpr uint32_t kEpAssocAll = kEpNsId | kEpDip | kEpSipMtu | kEpInfo;
inline constexpr uint32_t kEpFlowAll = kEpNsId | kEpLookup;

// Body of an egress association (kind kFlowEgressAssoc).
struct EgressAssoc {
    zel_ip_egress_assoc_params_t params;  // the caller's, with the mask create used
    // Module-side bookkeeping after the documented fields.
    uint32_t vrd_id;  // of tree 10, resolved at create
    uint8_t ttl;      // written into the parameter record (0 in params: the default)
    uint32_t absent;  // EgressPart bits of parts not held
    // Binds of sibling modules into this association that the entry
    // function query accepted and no unbind has released yet; each is also
    // a use of the flow by its source module, so the flow is not deleted
    // under a bind.
    uint32_t binds_in;
};

// Body of an egress flow (kind kFlowEgress).
struct EgressFlow {
    zel_ip_egress_flow_params_t params;  // the caller's
    uint32_t intf_id;  // of the tree-29 key, resolved at create
    uint32_t absent;   // EgressPart bits of parts not held
    BindState bind;    // a custom bind of the flow
};

}  // namespace zel::ip

#endif  // ZEL_IP_EGRESS_TYPES_H
