// Value layouts of the trees that deliver packets to the CPU: exceptions
// (13, 15), filter CPU paths (16 to 19), the CPU DSCP map (20), flow CPU
// paths (27) and packet capture (31). Key layouts: zel_ip_layout.h.
//
// Two deliveries recur: through an NCA queue (a queue id) or through the
// packet-handling service (PH: a 32-bit bind handle and a callback
// function id), each tree packing them its own way.
#ifndef ZEL_IP_LAYOUT_CPU_H
#define ZEL_IP_LAYOUT_CPU_H

#include "tree/zel_ip_layout.h"

namespace zel::ip::layout {

// ---- tree 13, ip_exception_lookup -----------------------------------------
namespace exception {

// Function entry: send to an FPL function (W1 its id). Value entry with W1
// bit 1: NCA queue in W1 bits 2 to 23. Without bit 1: PH, handle bits 0 to
// 21 in W1 bits 2 to 23 and bits 22 to 31 in W2 bits 0 to 9, callback
// function id in W2 bits 10 to 23.
inline constexpr uint32_t kNca = 1u << 1;
inline constexpr VField kNcaQ{1, 2, 22};
inline constexpr VSplit kPhHandle{{1, 2, 22}, {2, 0, 10}};
inline constexpr VField kCbFnId{2, 10, 14};

enum class Kind : uint8_t { kSendToMppFunc, kSendToCpuNca, kSendToCpuPh };

struct Value {
    Kind kind;
    uint32_t fn_id;      // kSendToMppFunc
    uint32_t nca_q;      // kSendToCpuNca
    uint32_t ph_handle;  // kSendToCpuPh
    uint32_t cb_fn_id;   // kSendToCpuPh
};

constexpr hwe_action_t nca(uint32_t q) {
    hwe_action_t a = value_entry(kNca, 0);
    kNcaQ.put(a, q);
    return a;
}
constexpr hwe_action_t ph(uint32_t handle, uint32_t cb_fn_id) {
    hwe_action_t a = value_entry(0, 0);
    kPhHandle.put(a, handle);
    kCbFnId.put(a, cb_fn_id);
    return a;
}
// The entries handler registration learns: both CPU deliveries set W1
// bit 0 as well; a PH entry carries handle bits 0 to 30 (bit 31 is not
// carried) and an 8-bit callback id.
inline constexpr uint32_t kCpuDelivery = 1u << 0;
inline constexpr uint32_t kPhHandleCarried = 0x7fffffff;
constexpr hwe_action_t nca_handler(uint32_t q) {
    hwe_action_t a = nca(q);
    a.w1 |= kCpuDelivery;
    return a;
}
constexpr hwe_action_t ph_handler(uint32_t handle, uint8_t cb_fn_id) {
    hwe_action_t a = ph(handle & kPhHandleCarried, cb_fn_id);
    a.w1 |= kCpuDelivery;
    return a;
}
constexpr hwe_action_t mpp_handler(uint32_t fn_id) { return function_entry(fn_id); }

constexpr Value decode(const hwe_action_t &a) {
    Value v{};
    if (a.kind == HWE_ACTION_FUNC) {
        v.kind = Kind::kSendToMppFunc;
        v.fn_id = a.w1;
    } else if (a.w1 & kNca) {
        v.kind = Kind::kSendToCpuNca;
        v.nca_q = kNcaQ.get(a);
    } else {
        v.kind = Kind::kSendToCpuPh;
        v.ph_handle = kPhHandle.get(a);
        v.cb_fn_id = kCbFnId.get(a);
    }
    return v;
}

}  // namespace exception

// ---- tree 15, ip_exception_path_param_lookup; tree 20, ip_cpu_dscp_qos_lookup
namespace via_mtm {

// W2 = 1: through the traffic-manager queue W1. Tree 15: W2 = 0 is not
// through it and any other W2 is invalid; tree 20: any other W2 is not.
enum class Via : uint8_t { kNo, kYes, kInvalid };

constexpr hwe_action_t encode(bool via, uint32_t mtm_q_id) { return value_entry(mtm_q_id, via ? 1u : 0u); }
constexpr Via via(const hwe_action_t &a) { return a.w2 == 1 ? Via::kYes : a.w2 == 0 ? Via::kNo : Via::kInvalid; }
constexpr uint32_t mtm_q_id(const hwe_action_t &a) { return a.w1; }

}  // namespace via_mtm

// ---- tree 16, ip_filter_cpu_path_policing_flow_lookup ----------------------
// W1 = POLICE-FLOW-ID: the id_w1 codec of zel_ip_layout_flow.h.

// ---- tree 17, ip_filter_cpu_path_param_lookup -------------------------------
namespace filter_cpu_param {

// NCA: W1 = queue, W2 = context flow. PH: W1 bits 0 to 7 = callback
// function id, W1 bits 8 to 23 = handle bits 0 to 15, W2 bits 0 to 15 =
// handle bits 16 to 31. A reader tells them apart by W1: at most 255 is
// NCA. (A PH handle whose low 16 bits are 0 therefore reads back as NCA;
// the engine programs share that reading.)
inline constexpr uint32_t kMaxNcaW1 = 255;
inline constexpr VField kCbFnId{1, 0, 8};
inline constexpr VSplit kPhHandle{{1, 8, 16}, {2, 0, 16}};

struct Value {
    bool nca;
    uint32_t nca_q;         // nca
    uint32_t context_flow;  // nca: W2
    uint32_t ph_handle;     // !nca
    uint32_t cb_fn_id;      // !nca
};

// A context flow wider than a data word (a rule's 28-bit flow key) keeps
// its low 24 bits: the engine takes no more.
constexpr hwe_action_t nca(uint32_t q, uint32_t context_flow) { return value_entry(q, context_flow); }
constexpr hwe_action_t ph(uint32_t handle, uint32_t cb_fn_id) {
    hwe_action_t a = value_entry(0, 0);
    kCbFnId.put(a, cb_fn_id);
    kPhHandle.put(a, handle);
    return a;
}
constexpr Value decode(const hwe_action_t &a) {
    if (a.w1 <= kMaxNcaW1) return {true, a.w1, a.w2, 0, 0};
    return {false, 0, 0, kPhHandle.get(a), kCbFnId.get(a)};
}

}  // namespace filter_cpu_param

// ---- tree 18, ip_filter_cpu_path_ctx_lookup ---------------------------------
namespace filter_cpu_ctx {

// W1 = the context flow; W2 repeats the W2 of the rule's tree-17 entry and
// is what a reader shows as CONTEXT-FLOW-ID.
constexpr hwe_action_t encode(uint32_t context_flow, uint32_t tree17_w2) {
    return value_entry(context_flow, tree17_w2);
}
constexpr uint32_t context_flow(const hwe_action_t &a) { return a.w2; }

}  // namespace filter_cpu_ctx

// ---- tree 19, ip_cpu_path_param_lookup ---------------------------------------
namespace cpu_path_param {

// A function entry calling "zel_ip.use_cpu_dscp_map" picks the queue from
// the DSCP map (tree 20). A value entry with W2 = 1 sends through the
// traffic-manager queue W1; W1 = 0xFFFFFF with W2 = 0 means none.
inline constexpr uint32_t kNoQueue = 0xffffff;

constexpr hwe_action_t use_dscp_map(uint32_t use_cpu_dscp_map_fn_id) {
    return function_entry(use_cpu_dscp_map_fn_id);
}
constexpr hwe_action_t via_mtm(uint32_t mtm_q_id) { return value_entry(mtm_q_id, 1); }
constexpr hwe_action_t no_queue() { return value_entry(kNoQueue, 0); }
constexpr bool uses_dscp_map(const hwe_action_t &a) { return a.kind == HWE_ACTION_FUNC; }

}  // namespace cpu_path_param

// ---- tree 27, ip_flow_cpu_path_param_lookup ----------------------------------
namespace flow_cpu_path {

// W2 bits 16 to 23 equal to 1: NCA with the queue in W1. Otherwise PH:
// handle bits 0 to 23 in W1, bits 24 to 31 in W2 bits 0 to 7; callback
// function id in W2 bits 8 to 15.
inline constexpr VField kNcaTag{2, 16, 8};
inline constexpr VSplit kPhHandle{{1, 0, 24}, {2, 0, 8}};
inline constexpr VField kCbFnId{2, 8, 8};

struct Value {
    bool nca;
    uint32_t nca_q;
    uint32_t ph_handle;
    uint32_t cb_fn_id;
};

constexpr hwe_action_t nca(uint32_t q) {
    hwe_action_t a = value_entry(q, 0);
    kNcaTag.put(a, 1);
    return a;
}
constexpr hwe_action_t ph(uint32_t handle, uint32_t cb_fn_id) {
    hwe_action_t a = value_entry(0, 0);
    kPhHandle.put(a, handle);
    kCbFnId.put(a, cb_fn_id);
    return a;
}
constexpr Value decode(const hwe_action_t &a) {
    if (kNcaTag.get(a) == 1) return {true, a.w1, 0, 0};
    return {false, 0, kPhHandle.get(a), kCbFnId.get(a)};
}

}  // namespace flow_cpu_path

// ---- tree 31, ip_capture_cpu_path_param_lookup -------------------------------
namespace capture {

// Key selector 0 (delivery): PH handle bits 0 to 23 in W1, 24 to 31 in W2
// bits 0 to 7, callback function id in W2 bits 8 to 15. Selector 1
// (traffic manager): W1 = MTM queue id (0: not through it), W2 = context.
inline constexpr uint32_t kSelDelivery = 0, kSelMtm = 1;
inline constexpr uint32_t kIngress = 0, kEgress = 1;
inline constexpr VSplit kPhHandle{{1, 0, 24}, {2, 0, 8}};
inline constexpr VField kCbFnId{2, 8, 8};

struct Delivery {
    uint32_t ph_handle;
    uint32_t cb_fn_id;
};
struct Mtm {
    uint32_t mtm_q_id;  // 0: not via the traffic manager
    uint32_t context_id;
};

constexpr hwe_action_t encode(const Delivery &d) {
    hwe_action_t a = value_entry(0, 0);
    kPhHandle.put(a, d.ph_handle);
    kCbFnId.put(a, d.cb_fn_id);
    return a;
}
constexpr hwe_action_t encode(const Mtm &m) { return value_entry(m.mtm_q_id, m.context_id); }
constexpr Delivery decode_delivery(const hwe_action_t &a) { return {kPhHandle.get(a), kCbFnId.get(a)}; }
constexpr Mtm decode_mtm(const hwe_action_t &a) { return {a.w1, a.w2}; }

}  // namespace capture

}  // namespace zel::ip::layout

#endif  // ZEL_IP_LAYOUT_CPU_H
