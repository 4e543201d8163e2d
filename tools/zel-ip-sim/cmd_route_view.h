// What show route and lookup share: the names a script gave to domains
// and interfaces, and whether a domain routes at all.
#ifndef ZEL_IP_SIM_CMD_ROUTE_VIEW_H
#define ZEL_IP_SIM_CMD_ROUTE_VIEW_H

#include <cstdint>
#include <string>

#include "cli.h"

namespace zcli {

inline constexpr uint32_t kDefaultVrdId = 63;

// The script's name of a domain ("default" for 63 when unnamed; "" when
// the script has none).
std::string domain_name(const Session &s, uint32_t vrd_id);
// The script's name of the interface, tunnel or virtual interface with
// this INTF-ID ("" when none).
std::string intf_name(const Session &s, uint32_t intf_id);
// Reads the domain's host/router mode from the engine: `routing` is false
// in host mode. False when the engine cannot be asked.
bool routes_in_domain(Session &s, uint32_t vrd_id, bool &routing);
// The bits of an association tree mask as words ("dip,proto,dport").
std::string assoc_words(uint8_t mask);

}  // namespace zcli

#endif  // ZEL_IP_SIM_CMD_ROUTE_VIEW_H
