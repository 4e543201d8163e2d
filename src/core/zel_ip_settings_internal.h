// Module-wide settings shared by start-up, the settings calls and the
// egress associations.
#ifndef ZEL_IP_SETTINGS_INTERNAL_H
#define ZEL_IP_SETTINGS_INTERNAL_H

#include <cstdint>

#include "core/zel_ip_priv.h"
#include "zel_fw.h"

namespace zel::ip {

// The service-function table handed to the framework. With a private
// block the flow function id slots carry the ids start-up resolved; with
// NULL (a later update) they stay zero. Slots of services this build does
// not have stay NULL.
zel_service_table_t service_table(const ZelIpPriv *p);

// Write the 16-byte parameter record of egress association flow `ns_id`:
// the TTL in byte 0, zeros after it. Returns the platform's status as it
// stands (0 on success); the caller reports it.
uint32_t write_egress_params(zel_module_t *m, uint32_t ns_id, uint8_t ttl);

}  // namespace zel::ip

#endif  // ZEL_IP_SETTINGS_INTERNAL_H
