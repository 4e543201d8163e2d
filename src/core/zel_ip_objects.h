// Magic words and the leading words of every record behind a handle.
//
// A handle check first asks the registry whether the pointer is a live
// record of the expected kind, then reads the words below. The interface
// records (IPoE, tunnel, virtual) start with the framework's object header
// followed by the type word; flow records with the flow header, the type
// word and the kind word.
#ifndef ZEL_IP_OBJECTS_H
#define ZEL_IP_OBJECTS_H

#include <cstdint>

#include "zel_fw.h"
#include "zel_ip/zel_ip_types.h"

namespace zel::ip {

inline constexpr uint32_t kPrivMagic = 0xc7b3930d;
inline constexpr uint32_t kVrdMagic = 0xc7b39516;
inline constexpr uint32_t kRuleSetMagic = 0xc7b39f10;
inline constexpr uint32_t kPolicySetMagic = 0xc7b39b50;
inline constexpr uint32_t kIpoeType = 0xc7b39142;
inline constexpr uint32_t kVifType = 0xc7b39143;
inline constexpr uint32_t kTunnelType = 0xc7b39144;
inline constexpr uint32_t kFlowType = 0xc7b39f70;

inline constexpr uint32_t kDefaultVrdId = 63;
inline constexpr uint32_t kMaxVrds = 64;

// Leading words of an interface record.
struct IntfHead {
    zel_obj_header_t hdr;
    uint32_t type;
};

// Flow kinds (second word of a flow body).
enum FlowKind : uint32_t {
    kFlowIngressAssoc = 0,
    kFlowEgressAssoc = 1,
    kFlowEgress = 2,
    kFlowExtFilterRule = 3,
    kFlowBasicFilterRule = 4,
    kFlowAssocFilterRule = 5,
    kFlowPbrRule = 6,
};

// Leading words of a flow record.
struct FlowHead {
    zel_flow_header_t hdr;
    uint32_t type;
    uint32_t kind;
};

}  // namespace zel::ip

// A routing domain's record: the VRD handle points here.
struct zel_ip_vrd {
    uint32_t magic;   // kVrdMagic while live
    uint32_t vrd_id;  // 0 to 62
};

#endif  // ZEL_IP_OBJECTS_H
