// The CPU path of a flow key: the per-rule parameters the packet-engine
// programs look up when a filter rule sends its matches to the CPU or
// polices them, and the traffic-manager queue an ingress association's
// CPU deliveries take.
//
// A flow key is 28 bits: a rule's FLOW-ID (24 bits) shifted left by 4
// plus its 4-bit RULE-KEY. An ingress association passes its NS ID
// unshifted in its place. Trees 16 to 19 are keyed by it:
//
//   call       tree  value written on add
//   policing   16    W1 = policing flow id
//   param      17    NCA: W1 = queue, W2 = context flow (the key when 0)
//                    PH:  W1 = callback | handle bits 0-15 << 8,
//                         W2 = handle bits 16-31
//              18    W1 = context flow (the key when 0), W2 = tree 17's W2
//   mtm        19    MTM queue: W1 = its id, W2 = 1
//                    none, DSCP-based: calls "zel_ip.use_cpu_dscp_map"
//                    none: W1 = 0xFFFFFF, W2 = 0
//
// Each call returns 0 or the first failing status (severity 1, after its
// message) and rolls nothing back: when tree 18 fails after tree 17 was
// learnt, tree 17 keeps its entry, and a remove whose tree-17 unlearn
// fails does not touch tree 18. Callers hold the module write lock; these
// calls take no lock of their own.
#ifndef ZEL_IP_CPU_PATH_H
#define ZEL_IP_CPU_PATH_H

#include <cstdint>

#include "zel_fw.h"

// How matches are delivered to the CPU: the fields of a filter action (or
// of an association's parameters) the parameter call reads.
typedef struct zel_ip_cpu_delivery {
    uint32_t kind;             // ZEL_IP_CPU_PATH_NCA (2): an NCA queue; other: PH
    uint32_t target;           // the NCA queue id, or the PH bind handle
    uint8_t cb_fn_id;          // PH callback function id
    uint32_t context_flow_id;  // 0: the flow key itself
} zel_ip_cpu_delivery_t;

namespace zel::ip {

// Bits of `held` below: which of trees 17 and 18 hold the key's entry.
inline constexpr uint8_t kHeldParam = 1u << 0;  // tree 17
inline constexpr uint8_t kHeldCtx = 1u << 1;    // tree 18

// zel_ip_cpu_flow_param_config that keeps account: an add sets the bit of
// every tree it learnt in *held; a remove unlearns only the trees *held
// names (a tree-18 unlearn after a failed tree-17 one too) and clears the
// bit of each one withdrawn. Returns the last failing status.
uint32_t cpu_flow_param(zel_module_t *module, uint32_t flow_key, const zel_ip_cpu_delivery_t *delivery,
                        uint32_t op, uint8_t *held);

}  // namespace zel::ip

extern "C" {

// Tree 16: learn (op != 0) or unlearn (op 0) the policing flow of `flow_key`.
uint32_t zel_ip_cpu_flow_policing_config(zel_module_t *module, uint32_t flow_key,
                                         uint32_t police_flow_id, uint32_t op);

// Trees 17 and 18: learn or unlearn the delivery parameters of `flow_key`;
// on remove `delivery` is not read (may be NULL).
uint32_t zel_ip_cpu_flow_param_config(zel_module_t *module, uint32_t flow_key,
                                      const zel_ip_cpu_delivery_t *delivery, uint32_t op);

// Tree 19: learn or unlearn the CPU queue of `flow_key`. With a queue
// handle its id comes from the QoS service ("Failed to get MTM queue ID",
// that status with severity 1, nothing learnt).
uint32_t zel_ip_cpu_flow_mtm_config(zel_module_t *module, uint32_t flow_key, void *mtm_queue,
                                    uint8_t dscp_based, uint32_t op);

}  // extern "C"

#endif  // ZEL_IP_CPU_PATH_H
