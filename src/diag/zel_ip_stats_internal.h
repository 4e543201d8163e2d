// What the statistics calls share: the traced record read, big-endian
// field access and the router-interface counters.
//
// All of it runs in the caller's locked section (a get call's work).
#ifndef ZEL_IP_STATS_INTERNAL_H
#define ZEL_IP_STATS_INTERNAL_H

#include <cstdint>

#include "core/zel_ip_limits.h"
#include "core/zel_ip_log.h"
#include "zel_ip/zel_ip_stats.h"

namespace zel::ip {

enum class IntfKind : uint8_t { kIpoe, kTunnel, kVif };

// Reads `len` bytes at offset 0 of the state-engine record of `ns_id` into
// `buf`, then traces them ("NS ID 0x%08x idx 0: <bytes>", state-engine
// class). A refused read logs `fail_msg` (one %s: the engine's text) at
// the level of `fail_status`'s severity, then the status text, and
// returns `fail_status`.
uint32_t stats_read(zel_module_t *m, uint32_t ns_id, void *buf, uint32_t len, uint32_t fail_status,
                    const char *fail_msg, Site s);

// The big-endian u32 / u64 at byte `offset` of a record, in host order
// (through the engine's byte-order calls).
uint32_t be32_at(const uint8_t *rec, uint32_t offset);
uint64_t be64_at(const uint8_t *rec, uint32_t offset);

// The ipIfStats counters of an interface of kind `kind` from its 256-byte
// record `a` and the 88-byte record `b` of its second id (for IPoE with
// the traffic-manager block in bytes 56 to 87; all zero for a virtual
// interface, which has none). `qos_level` is an IPoE interface's QoS
// level byte: not 0, the traffic manager's transmit counters stand in;
// 1, its discards are the interface's out-discards, otherwise Layer-2
// discards.
void router_if_counters(IntfKind kind, uint8_t qos_level, const uint8_t *a, const uint8_t *b,
                        zel_ip_router_if_stats_t &r);

}  // namespace zel::ip

#endif  // ZEL_IP_STATS_INTERNAL_H
