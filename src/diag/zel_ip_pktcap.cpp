// Packet capture: a capture point is an interface and a direction.
//
//   tree 31  INTF-ID, selector 0, DIRECTION   PH bind handle, callback
//   tree 31  INTF-ID, selector 1, DIRECTION   MTM queue id (0: none), context id
//   tree 23  INTF-ID                          ingress flags with bit 23 (ingress)
//   tree 24  INTF-ID                          egress flags with bit 7 (egress)
//
// A point has one capture at a time: the engine holds one pair of tree-31
// entries per point, so a second start would take the first one's entries
// over and the first one's stop would then remove them. The interface
// records its running captures (AttrBook::capture) and is in use by them
// (its delete is refused while one runs, so a stop never meets a freed
// interface).
//
// The capture record keeps which of its parts the engine holds
// (`absent`), so a failed start withdraws exactly what it programmed, and
// a stop that failed partway completes when repeated.
#include <utility>

#include "core/zel_ip_call.h"
#include "interface/zel_ip_attr_pvt.h"
#include "tree/zel_ip_hw_internal.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_cpu.h"
#include "tree/zel_ip_layout_intf.h"
#include "zel_ip/zel_ip_capture.h"

using namespace zel::ip;
namespace cap = zel::ip::layout::capture;

namespace {

constexpr uint32_t kCaptureMagic = 0xc7b39942;
constexpr const char *kBuildMsg = "Could not build the input pattern\n";
constexpr const char *kProgramMsg = "Failed to program LPM rule in hardware\n";
constexpr const char *kIntfRuleMsg = "Could not add LPM rule in hardware\n";
constexpr const char *kNoQueueWarning = "No MTM based rate limiting mechanism has been configured for the capture point\n";

// Parts of a capture the engine holds, as bits of `absent` (set: not held).
enum CapturePart : uint32_t {
    kCpDelivery = 1u << 0,  // tree 31, selector 0
    kCpMtm = 1u << 1,       // tree 31, selector 1
    kCpBit = 1u << 2,       // the capture bit of the interface's entry
};
constexpr uint32_t kCpAll = kCpDelivery | kCpMtm | kCpBit;

}  // namespace

// A running capture: the capture handle points here. Fields in the
// documented order; the record comes zeroed from obj_alloc (kind
// kCapture) and is cleared and freed by obj_free once stopped.
struct zel_ip_capture {
    uint32_t magic;  // kCaptureMagic while the capture runs
    uint8_t ipoe;    // 1: the interface is an IPoE interface, 0: a tunnel
    zel_ip_capture_params_t params;
    // Module-side bookkeeping after the documented fields.
    uint32_t intf_id;
    uint32_t mtm_q_id;  // the queue's id, 0 without a queue
    uint32_t absent;    // CapturePart bits of parts not held
};

namespace {

// The running capture behind a handle, or NULL (checked through the
// registry before a field is read).
zel_ip_capture *capture_of(zel_ip_capture_handle_t h) {
    const bool live = obj_check(h, ObjKind::kCapture, [](const void *p) {
        return static_cast<const zel_ip_capture *>(p)->magic == kCaptureMagic;
    });
    return live ? h : nullptr;
}

uint32_t reject_capture(Call &c) { return ZREJECT(c.m, kBadHandle, "Invalid packet capture handle"); }

// The flags word of the capture's direction with the capture bit set or
// cleared, as the next words of the interface.
AttrWords with_capture_bit(const IntfAttr &a, uint32_t dir, bool on) {
    AttrWords w = attr_words(a);
    if (dir == cap::kIngress) {
        w.ingress_flags = on ? w.ingress_flags | layout::intf_ingress::kCapture
                             : w.ingress_flags & ~layout::intf_ingress::kCapture;
    } else {
        w.egress_flags = on ? w.egress_flags | layout::intf_egress::kCapture
                            : w.egress_flags & ~layout::intf_egress::kCapture;
    }
    return w;
}

// Learns or unlearns one tree-31 entry of the capture's point. A failed
// build is reported with severity 1, a failed rule call with severity 3.
uint32_t point_entry(Call &c, const zel_ip_capture &k, uint32_t sel, uint32_t op) {
    TreeRecord &t = c.priv->trees[kTreeCaptureCpuPathParam];
    const uint32_t dir = k.params.direction;
    const layout::KeySpec spec =
        layout::key_spec(kTreeCaptureCpuPathParam, {k.intf_id, sel, dir}, layout::key_layout(kTreeCaptureCpuPathParam).width);
    if (uint32_t st = layout::key_build(t, spec)) return ZFAIL_FATAL(c.m, fatal(st), "%s", kBuildMsg);
    hwe_action_t a = op == kRuleUnlearn ? t.default_action
                     : sel == cap::kSelDelivery
                         ? cap::encode(cap::Delivery{k.params.ph_bind_handle, k.params.cb_fn_id})
                         : cap::encode(cap::Mtm{k.mtm_q_id, k.params.context_id});
    if (uint32_t st = zel_ipv4_lpm_rule(c.m, &t, op, &a)) return ZFAIL_ERROR(c.m, error(st), "%s", kProgramMsg);
    return 0;
}

// Withdraws what the capture holds, in stop's order (the capture bit, the
// selector-0 entry, the selector-1 entry), recording each part as it
// goes; stops at the first failure.
uint32_t withdraw(Call &c, zel_ip_capture &k) {
    if (!(k.absent & kCpBit)) {
        IntfAttr a = intf_attr_of(k.params.intf);
        if (!a.rec) return reject_capture(c);  // cannot happen: the interface is in use
        const AttrWords next = with_capture_bit(a, k.params.direction, false);
        const uint32_t which = k.params.direction == cap::kIngress ? kAttrIngress : kAttrEgress;
        if (uint32_t st = attr_learn(c.m, *c.priv, a, next, which, kIntfRuleMsg)) return st;
        attr_store(a, next);
        k.absent |= kCpBit;
    }
    for (const auto &[sel, bit] : {std::pair{cap::kSelDelivery, kCpDelivery}, std::pair{cap::kSelMtm, kCpMtm}}) {
        if (k.absent & bit) continue;
        if (uint32_t st = point_entry(c, k, sel, kRuleUnlearn)) return st;
        k.absent |= bit;
    }
    return 0;
}

// Frees a capture that holds nothing any more, and lets its interface go.
void release(IntfAttr &a, zel_ip_capture *k) {
    if (a.rec) {
        if (a.book->capture[k->params.direction] == k) a.book->capture[k->params.direction] = nullptr;
        obj_unuse(a.rec, k);
    }
    obj_free(k);
}

uint32_t start(Call &c, const zel_ip_capture_params_t *params, zel_ip_capture_handle_t *out) {
    // 1.
    if (!params || !out) return ZREJECT(c.m, kBadParam, "Invalid NULL pointer parameter");
    *out = nullptr;
    const zel_ip_capture_params_t &p = *params;
    // 2.
    IntfAttr a = intf_attr_of(p.intf);
    if (!a.rec) return ZREJECT(c.m, error(ZEL_IP_E_INVALID_IP_INTERFACE), "Invalid Interface Handle type");
    if (attr_deleting(*c.priv, a)) return reject_deleting(c.m, error(ZEL_IP_E_INVALID_IP_INTERFACE));
    // 3.
    if (p.direction > cap::kEgress) return ZREJECT(c.m, kBadParam, "Invalid direction specified");
    // One capture per point.
    if (const zel_ip_capture *other = a.book->capture[p.direction])
        return ZREJECT(c.m, error(ZEL_E_INVALID_STATE),
                       "Capture point of interface 0x%x direction %d in use by packet capture 0x%08" PRIxPTR "\n",
                       a.intf_id, static_cast<int>(p.direction), reinterpret_cast<uintptr_t>(other));
    // 4.
    uint32_t q = 0;
    if (!p.mtm_queue) {
        ZLOG_WARN(c.m, "No MTM based rate limiting mechanism being configured for the capture point\n");
    } else if (uint32_t st = zel_qos_queue_id_get(c.m->sys_ctx, p.mtm_queue, &q)) {
        return ZFAIL_ERROR(c.m, st, "Failed to get MTM queue ID\n");
    }
    // 5. The record, and the interface in use by it.
    auto *k = static_cast<zel_ip_capture *>(obj_alloc(sizeof(zel_ip_capture), ObjKind::kCapture));
    if (!k) return ZFAIL_FATAL(c.m, kNoMemory, "Memory allocation failed\n");
    if (!obj_use(a.rec, k, "packet capture")) {
        obj_free(k);
        return ZFAIL_FATAL(c.m, kNoMemory, "Memory allocation failed\n");
    }
    k->ipoe = a.ipoe ? 1 : 0;
    k->params = p;
    k->intf_id = a.intf_id;
    k->mtm_q_id = q;
    k->absent = kCpAll;
    // 6-7. The point's entries, then the capture bit.
    uint32_t st = point_entry(c, *k, cap::kSelDelivery, kRuleLearn);
    if (st == 0) {
        k->absent &= ~kCpDelivery;
        st = point_entry(c, *k, cap::kSelMtm, kRuleLearn);
    }
    if (st == 0) {
        k->absent &= ~kCpMtm;
        const AttrWords next = with_capture_bit(a, p.direction, true);
        st = attr_learn(c.m, *c.priv, a, next, p.direction == cap::kIngress ? kAttrIngress : kAttrEgress,
                        kIntfRuleMsg);
        if (st == 0) attr_store(a, next);
    }
    if (st != 0) {
        // A failed start releases what it took. Entries that cannot be
        // withdrawn stay without the capture bit, which is what makes the
        // engine copy packets; the next start on the point replaces them.
        if (withdraw(c, *k) != 0)
            ZLOG_FATAL(c.m, "Failed to withdraw the capture point entries of interface 0x%x; they stay\n",
                       a.intf_id);
        release(a, k);
        return st;
    }
    // 8.
    k->absent = 0;
    k->magic = kCaptureMagic;
    a.book->capture[p.direction] = k;
    *out = k;
    return 0;
}

uint32_t stop(Call &c, zel_ip_capture_handle_t h) {
    zel_ip_capture *k = capture_of(h);
    if (!k) return reject_capture(c);
    if (uint32_t st = withdraw(c, *k)) return st;
    IntfAttr a = intf_attr_of(k->params.intf);
    release(a, k);
    return 0;
}

uint32_t enable(Call &c, zel_ip_capture_handle_t h) {
    zel_ip_capture *k = capture_of(h);
    if (!k) return reject_capture(c);
    if (!k->params.mtm_queue) {
        ZLOG_WARN(c.m, "%s", kNoQueueWarning);
        return 0;
    }
    if (uint32_t st = zel_qos_queue_pkt_capture_enable(c.m->sys_ctx, k->params.mtm_queue))
        return ZFAIL_ERROR(c.m, error(st), "Failed to enable delivery for the QoS Queue\n");
    return 0;
}

uint32_t status_get(Call &c, zel_ip_capture_handle_t h, uint8_t *status) {
    if (!status) return ZREJECT(c.m, kBadParam, "Invalid NULL pointer parameter");
    zel_ip_capture *k = capture_of(h);
    if (!k) return reject_capture(c);
    if (!k->params.mtm_queue) {
        ZLOG_WARN(c.m, "%s", kNoQueueWarning);
        *status = 1;
        return 0;
    }
    if (uint32_t st = zel_qos_queue_pkt_capture_status_get(k->params.mtm_queue, status))
        return ZFAIL_ERROR(c.m, error(st), "Failed to get the status of the QoS Queue\n");
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ip_packet_capture_start(zel_module_t *module, const zel_ip_capture_params_t *params,
                                     zel_ip_capture_handle_t *out) {
    return with_module(module, __func__, [&](Call &c) { return start(c, params, out); });
}

uint32_t zel_ip_packet_capture_stop(zel_module_t *module, zel_ip_capture_handle_t capture) {
    return with_module(module, __func__, [&](Call &c) { return stop(c, capture); });
}

uint32_t zel_ip_packet_capture_enable(zel_module_t *module, zel_ip_capture_handle_t capture) {
    return with_module(module, __func__, [&](Call &c) { return enable(c, capture); });
}

uint32_t zel_ip_packet_capture_status_get(zel_module_t *module, zel_ip_capture_handle_t capture, uint8_t *status) {
    return with_module(module, __func__, [&](Call &c) { return status_get(c, capture, status); });
}

}  // extern "C"
