// The module's fixed limits: there is no configuration beyond the calls
// themselves. Start-up prints every one of these (the fixed configuration
// of its report); the Parts that own an object kind enforce its limit.
#ifndef ZEL_IP_LIMITS_H
#define ZEL_IP_LIMITS_H

#include <cstdint>

namespace zel::ip {

// Id pools created at start-up: {count, base}.
inline constexpr uint32_t kVrdIdCount = 64, kVrdIdBase = 0;  // ID 63 reserved (default domain)
inline constexpr uint32_t kRuleSetIdCount = 32, kRuleSetIdBase = 1;
inline constexpr uint32_t kPolicySetIdCount = 32, kPolicySetIdBase = 1;
inline constexpr uint32_t kEgressFlowIdCount = 1600, kEgressFlowIdBase = 1;

// Pools of the engine image (found at start-up): {maximum, first NS ID}.
inline constexpr uint32_t kIngressAssocFlows = 71164, kIngressAssocBase = 0x00d00000;
inline constexpr uint32_t kEgressAssocFlows = 70365, kEgressAssocBase = 0x00500000;
inline constexpr uint32_t kPbrRules = 512, kPbrRuleBase = 0x00f0242c;
inline constexpr uint32_t kAclFilterRules = 256, kAclFilterRuleBase = 0x00d19bb9;
inline constexpr uint32_t kGlobalStatsIds = 2, kGlobalStatsNsId = 0x00066dea;
inline constexpr uint32_t kMtmSharedIds = 2304, kMtmSharedBase = 0x00700940;

// Global statistics record cleared at start-up (bytes).
inline constexpr uint32_t kGlobalStatsBytes = 256;
// SED parameter record of the default egress association flow (bytes);
// byte 0 is the default TTL.
inline constexpr uint32_t kEgressAssocSedBytes = 16;

inline constexpr uint32_t kMaxNextHops = 1024;
inline constexpr uint32_t kMaxTunnels = 576;
inline constexpr uint8_t kDefaultTtl = 100;
inline constexpr uint32_t kDefaultMtu = 1500;
inline constexpr uint32_t kReassemblyTimeout = 100000;
inline constexpr uint32_t kMaxAddrsPerIntf = 10;
inline constexpr uint32_t kMinFragTransportLen = 16;  // enforced by extended ACL filters

}  // namespace zel::ip

#endif  // ZEL_IP_LIMITS_H
