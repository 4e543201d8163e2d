// The ingress association mask: which packet fields key the lookup of
// locally terminated traffic. Interfaces, addresses, local-termination
// routes, ingress associations and policy routes all take one, so its
// rules and the tree mask derived from it live here, below them all.
//
//   ingress association mask (u16)          tree mask (7 bits)
//   bit 0 VRD handle  ─┐                    bit 0 VRD
//   bit 7 VRD ID      ─┴──────────────────▶
//   bit 1 IP interface ───────────────────▶ bit 1 INTF
//   bit 2 DIP, 3 SIP, 4 PROTO ────────────▶ bits 2, 3, 4
//   bit 5 DPORT, 6 SPORT ── port protocol ▶ bits 5, 6
//   bits 8 to 15: must be 0
//
// The tree mask leads every tree-8 key and sits in W1 bits 8 to 14 of the
// destination entry that sends a packet to the association lookup.
#ifndef ZEL_IP_ASSOC_MASK_H
#define ZEL_IP_ASSOC_MASK_H

#include <cstdint>

#include "zel_fw.h"

namespace zel::ip {

inline constexpr uint16_t kIamVrdHandle = 0x01;
inline constexpr uint16_t kIamIntf = 0x02;
inline constexpr uint16_t kIamDip = 0x04;
inline constexpr uint16_t kIamSip = 0x08;
inline constexpr uint16_t kIamProto = 0x10;
inline constexpr uint16_t kIamDport = 0x20;
inline constexpr uint16_t kIamSport = 0x40;
inline constexpr uint16_t kIamVrdId = 0x80;

// Protocols whose packets carry ports: 0 (any), TCP, UDP, SCTP, UDP-Lite.
constexpr bool port_protocol(uint32_t proto) {
    return proto == 0 || proto == 6 || proto == 17 || proto == 132 || proto == 136;
}

// The tree mask of an ingress association mask for protocol `proto`: VRD
// handle and VRD ID fold into bit 0; DPORT and SPORT count only for a
// port-carrying protocol (0, any, does). Bits 8 to 15 are not looked at.
constexpr uint8_t assoc_tree_mask(uint16_t mask, uint32_t proto) {
    uint8_t tm = static_cast<uint8_t>(mask & (kIamIntf | kIamDip | kIamSip | kIamProto));
    if (mask & (kIamVrdHandle | kIamVrdId)) tm |= 0x01;
    if (port_protocol(proto)) tm |= static_cast<uint8_t>(mask & (kIamDport | kIamSport));
    return tm;
}

}  // namespace zel::ip

extern "C" {

// Checks an ingress association mask; the first broken rule logs its
// message at ERROR and the call returns 8 (0 when every rule holds):
//   1. no bit from 8 to 15;            2. at least one bit from 0 to 7;
//   3. not VRD handle and VRD ID;      4. not VRD handle and IP interface;
//   5. not VRD ID and IP interface;
//   6. with DPORT or SPORT, the mask without its VRD bits is exactly 0x34
//      (DIP, PROTO, DPORT) or 0x7C (DIP, SIP, PROTO, DPORT, SPORT).
// Callers return 8 with severity 3 (0x30008) after their own message.
// Takes no lock.
uint32_t zel_ipv4_valid_ingress_association_mask(zel_module_t *module, uint16_t mask);

}  // extern "C"

#endif  // ZEL_IP_ASSOC_MASK_H
