// Status word helpers shared by every subsystem.
#ifndef ZEL_IP_STATUS_INTERNAL_H
#define ZEL_IP_STATUS_INTERNAL_H

#include <cstdint>

#include "zel_fw.h"
#include "zel_ip/zel_ip_status.h"

namespace zel::ip {

// `status` with its severity nibble replaced by `sev` (1 FATAL, 3 ERROR).
constexpr uint32_t with_severity(uint32_t status, uint32_t sev) {
    return (status & ~ZEL_SEV_MASK) | (sev << ZEL_SEV_SHIFT);
}
constexpr uint32_t fatal(uint32_t status) { return with_severity(status, ZEL_SEV_FATAL); }
constexpr uint32_t error(uint32_t status) { return with_severity(status, ZEL_SEV_ERROR); }

// Frequently returned status words.
inline constexpr uint32_t kBadHandle = error(ZEL_E_INVALID_HANDLE);   // 0x30001
inline constexpr uint32_t kBadParam = error(ZEL_E_INVALID_PARAM);     // 0x30008
inline constexpr uint32_t kNoMemory = fatal(ZEL_E_NO_MEMORY);         // 0x10012

}  // namespace zel::ip

#endif  // ZEL_IP_STATUS_INTERNAL_H
