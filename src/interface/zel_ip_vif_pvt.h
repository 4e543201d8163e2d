// The virtual interface record.
//
// Entries of one virtual interface (INTF-ID = the interface id the
// framework handed out, A its address):
//
//   tree 2   VRD, A/32     Locally-Addressed (compressed index) | INTF-ID
//   tree 23  INTF-ID       VRD ID                              | INTF-ID
//
// plus one compressed address slot and the interface id. As for a
// tunnel, `absent` records the parts the interface does not hold, so a
// failed create withdraws exactly what it took and a delete that failed
// partway completes when repeated.
#ifndef ZEL_IP_VIF_PVT_H
#define ZEL_IP_VIF_PVT_H

#include <cstdint>

#include "core/zel_ip_objects.h"
#include "zel_ip/zel_ip_vif.h"

namespace zel::ip {

// Parts of a virtual interface.
enum VifPart : uint32_t {
    kVpLocal = 1u << 0,       // tree 2, the address
    kVpIngressFlags = 1u << 1, // tree 23
    kVpCompressed = 1u << 2,  // compressed address slot
    kVpIntfId = 1u << 3,      // the interface id
};
inline constexpr uint32_t kVpAll = kVpLocal | kVpIngressFlags | kVpCompressed | kVpIntfId;

}  // namespace zel::ip

// A virtual interface: the handle points here. Fields in the documented
// order; the record comes zeroed from obj_alloc (kind kVif).
struct zel_ip_vif {
    // Object header (INTF-ID, owner, header magic, VRD ID in the fifth
    // word) and the type word kVifType.
    zel::ip::IntfHead head;
    uint32_t stats_ns_id;        // = INTF-ID; names the statistics record
    zel_ip_vif_params_t params;  // with the effective mask (0x10 for 0)
    // Module-side bookkeeping after the documented fields.
    uint32_t absent;  // VifPart bits of parts not held
};

#endif  // ZEL_IP_VIF_PVT_H
