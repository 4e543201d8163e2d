// Egress associations and egress flows: the entries they program and the
// key index of egress flows.
//
// An egress association (NS ID from "ip_egress_assoc") holds three value
// entries keyed by its NS ID (24 bits):
//
//   tree 10  ip_egress_assoc_dip_lookup       DIP, VRD-ID, protocol
//   tree 11  ip_egress_assoc_sip_mtu_lookup   SIP (0 without mask 0x08), MTU
//   tree 12  ip_egress_assoc_info_lookup      UDP ports, IPv4-UDP, Flow-SIP,
//                                             L4 checksum update
//
// and the 16-byte parameter record of its NS ID (TTL in byte 0); bytes 0
// to 31 of its state record are cleared at create.
//
// An egress flow (NS ID from "zel_ipv4_egress_flow_ids") holds one entry
// of the prefix tree 29 ip_egress_flow_lookup:
//
//   key   INTF-ID (16) [NEXT-HOP (32) when the next hop is not 0]
//   value W1 = its NS ID (or the bound FLOW-ID), W2 = IMC / flow function
//         indexes (both 0 while unbound)
//
// A flow records what it holds in `absent` (EgressPart bits) as it takes
// each part; a create that fails withdraws exactly those, and a delete
// withdraws what is held in its order and keeps its progress, so a delete
// that failed partway is completed by repeating it (the engine refuses to
// unlearn an entry that is gone). The NS ID goes back last: while any
// entry keyed by it is left, the id stays taken so nothing inherits it.
//
// Two egress flows on the same interface and next hop would share one
// tree-29 entry: the key index refuses the second.
//
// Every operation here runs under the module write lock.
#ifndef ZEL_IP_EGRESS_PVT_H
#define ZEL_IP_EGRESS_PVT_H

#include <cstdint>

#include "core/zel_ip_call.h"
#include "flow/zel_ip_egress_types.h"
#include "tree/zel_ip_layout.h"

struct zel_ip_flow;

namespace zel::ip {

inline constexpr uint32_t kEgressSeBytes = 32;  // of the state record, cleared at create
inline constexpr uint32_t kMinEgressMtu = 64, kMaxEgressMtu = 9000;

// The mask create uses: the given one, or derived from the fields when 0.
uint16_t egress_assoc_mask_of(const zel_ip_egress_assoc_params_t &a);

// The three entries of an association, learnt (op kRuleLearn) in the
// order 10, 11, 12 or unlearnt in the same order. With `absent` given,
// parts already held (learn) or already withdrawn (unlearn) are skipped
// and each part's bit is updated as the engine comes to hold or drop it;
// the first failure stops the call. Failures: "Could not build the input
// pattern\n", "Failed to program LPM rule in hardware\n" (learn) / "Failed
// to remove LPM rule from hardware\n" (unlearn), severity 1.
uint32_t egress_assoc_entries(zel_module_t *m, ZelIpPriv &p, const zel_ip_egress_assoc_params_t &a,
                              uint32_t vrd_id, uint32_t ns_id, uint32_t op, uint32_t *absent);

// The tree-29 key of an egress flow.
layout::KeySpec egress_flow_key(uint32_t intf_id, uint32_t next_hop);

// Learns or unlearns the tree-29 entry with W1 = `id` and the function
// indexes (a missing IMC function moves the flow function index to bits 0
// to 7). Failures: "Failed to build the pattern\n", "Failed to update LPM
// rule in hardware\n", severity 1.
uint32_t egress_flow_entry(zel_module_t *m, ZelIpPriv &p, uint32_t intf_id, uint32_t next_hop,
                           uint32_t id, uint8_t imc_idx, uint8_t flow_idx, uint32_t op);

// ---- Key index of egress flows ----------------------------------------
// The egress flow on {interface, next hop}, or NULL.
zel_ip_flow *egress_flow_find(ZelIpPriv &p, uint32_t intf_id, uint32_t next_hop);
// Allocates the module's table at first use; false when memory is short.
bool egress_flow_index_reserve(ZelIpPriv &p);
// Records / forgets `f` under its interface and next hop (add needs a
// reserved table).
void egress_flow_index_add(ZelIpPriv &p, zel_ip_flow *f);
void egress_flow_index_remove(ZelIpPriv &p, zel_ip_flow *f);

}  // namespace zel::ip

extern "C" {

// The internal calls of egress flows, exported with C linkage. They take
// no lock; the caller holds the module write lock. Handles in `params`
// are resolved on each call (0x30008 when one is no longer valid).

// Trees 10 to 12 of association `ns_id`: learn (op 1) or unlearn (op 0)
// with `mask` (the given or derived one); the MTU and the checksum flag
// come from `params`.
uint32_t ip_egress_association_hw_update(zel_module_t *module, const zel_ip_egress_assoc_params_t *params,
                                         uint16_t mask, uint32_t ns_id, uint32_t op);

// Tree 29 of the flow on params' interface and next hop: W1 = `id` (its
// NS ID, or the bound FLOW-ID), W2 the function indexes.
uint32_t ip_egress_flow_hw_update(zel_module_t *module, const zel_ip_egress_flow_params_t *params,
                                  uint32_t id, uint8_t imc_idx, uint8_t flow_idx, uint32_t op);

}  // extern "C"

#endif  // ZEL_IP_EGRESS_PVT_H
