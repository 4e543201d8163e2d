// QoS maps: three trees, the interface's PCP table beside the second.
//
//   tree 30 ip_dscp_qos_lookup       | INTF-ID (16) | TOS (8) |    W1 = MTM queue
//                                                                  (kind 0)
//   tree 32 ip_if_dscp_pcp_lookup    | INTF-ID (16) | DSCP (8) |   W1 = PCP,
//           (LPM; the interface's own INTF-ID-only entry covers    W2 = MTM NS ID
//           every DSCP without a mapping)
//   tree 20 ip_cpu_dscp_qos_lookup   | DSCP (8) |                  W1 = MTM queue,
//                                                                  W2 = 1 (via MTM)
//
// Invariant: an interface's pcp[d] is the PCP of its tree-32 entry for
// DSCP d, 0 when it has none, and bit d of pcp_mapped says whether that
// entry exists (PCP 0 is a mapping too). Whenever the engine step of a learn or
// unlearn took effect (the call succeeded, or only the subnet database
// step after it failed) the table follows it, so it never disagrees with
// what the engine forwards with.
//
// Loops over classes or DSCP values stop at the first failing element and
// leave the elements before it programmed; nothing is undone.
#include <cstdint>

#include "core/zel_ip_call.h"
#include "interface/zel_ip_interface_pvt.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_cpu.h"
#include "tree/zel_ip_layout_flow.h"
#include "zel_ip/zel_ip_qos.h"

using namespace zel::ip;
namespace lay = zel::ip::layout;

namespace {

constexpr uint32_t kIntfTosLen = lay::kIntfIdBits + 8;  // trees 30 and 32: 24
constexpr uint32_t kDscpLen = 8;                        // tree 20

// ---- QoS policy ------------------------------------------------------------

// What add and delete say for their own failures.
struct PolicyMsgs {
    const char *null_msg;
    const char *rule_msg;
    uint32_t op;
};
constexpr PolicyMsgs kPolicyAdd{"Invalid NULL pointer parameter\n", "Failed to add entry in QoS FPL tree \n",
                                kRuleLearn};
constexpr PolicyMsgs kPolicyDelete{"Invalid input parameter\n", "Failed to remove entry from QoS FPL tree \n",
                                   kRuleUnlearn};

// The class count of the profile the policy names (profile type checked).
int8_t class_count(const zel_ip_qos_policy_t &p) {
    return p.profile_type == ZEL_IP_QOS_PROFILE_DS_POLICY ? p.profile.ds.class_count
                                                          : p.profile.queues.class_count;
}
uint8_t class_tos(const zel_ip_qos_policy_t &p, uint32_t i) {
    return p.profile_type == ZEL_IP_QOS_PROFILE_DS_POLICY ? p.profile.ds.classes[i].tos
                                                          : p.profile.queues.classes[i].tos;
}

// Resolves the queue of class i with the QoS service. A failure: ERROR
// with the status text, the QoS status with severity 3.
uint32_t resolve_queue(Call &c, const zel_ip_qos_policy_t &p, uint32_t i, uint32_t *q) {
    zel_sys_ctx_t *ctx = c.m->sys_ctx;
    if (p.profile_type == ZEL_IP_QOS_PROFILE_QUEUES) {
        const zel_ip_qos_queue_class_t &k = p.profile.queues.classes[i];
        if (uint32_t st = zel_qos_queue_id_get(ctx, k.queue, q))
            return ZFAIL_ERROR(c.m, error(st), "Failed to get Queue Id for the class %d\n", k.tos);
        return 0;
    }
    const zel_ip_qos_ds_class_t &k = p.profile.ds.classes[i];
    if (uint32_t st = zel_qos_ds_policy_queueId_get(ctx, p.profile.ds.policy, k.class_id, k.class_type, q))
        return ZFAIL_ERROR(c.m, error(st), "Failed to get Queue for the class type %d Id %d\n", k.class_type,
                           static_cast<int>(k.class_id));
    return 0;
}

uint32_t qos_policy(Call &c, const zel_ip_qos_policy_t *p, const PolicyMsgs &msgs) {
    // 1-4. The record.
    if (!p) return ZREJECT(c.m, kBadParam, "%s", msgs.null_msg);
    if (!zel_ipv4_interface_valid_handle(p->intf))
        return ZREJECT(c.m, error(ZEL_IP_E_INVALID_IP_INTERFACE), "Invalid(no) L2 interface specified\n");
    // Maps go on an interface whose delete has begun no more; taking them
    // off stays possible.
    if (msgs.op == kRuleLearn && delete_begun(*p->intf))
        return reject_deleting(c.m, error(ZEL_IP_E_INVALID_IP_INTERFACE));
    if (p->profile_type != ZEL_IP_QOS_PROFILE_DS_POLICY && p->profile_type != ZEL_IP_QOS_PROFILE_QUEUES)
        return ZREJECT(c.m, error(ZEL_IP_E_INVALID_QOS_PROFILE_TYPE), "Invalid QoS profile type\n");
    const int8_t count = class_count(*p);
    if (count > ZEL_IP_QOS_MAX_CLASSES)
        return ZREJECT(c.m, error(ZEL_IP_E_MAX_CLASS_CONFIG_EXCEEDED),
                       "Exceeds max number class configurations supported per call\n");
    if (count <= 0) return 0;
    const auto n = static_cast<uint32_t>(count);

    // 5-6. Every queue resolved, and none of them 0, before anything is
    //      written.
    uint32_t queue[ZEL_IP_QOS_MAX_CLASSES] = {};
    for (uint32_t i = 0; i < n; ++i)
        if (uint32_t st = resolve_queue(c, *p, i, &queue[i])) return st;
    for (uint32_t i = 0; i < n; ++i)
        if (queue[i] == 0)
            return ZREJECT(c.m, kBadParam, "Queue Id is zero for the class %d\n", static_cast<int>(i));

    // 7. One entry per class, in order.
    const uint32_t intf_id = intf_id_of(*intf_of(p->intf));
    TreeRecord &t = c.priv->trees[kTreeDscpQos];
    for (uint32_t i = 0; i < n; ++i) {
        hwe_action_t a = msgs.op == kRuleLearn ? lay::dscp_qos::encode(queue[i]) : t.default_action;
        if (uint32_t st = ZRULE_KEY(c.m, t, msgs.op, a, msgs.rule_msg,
                                    lay::key_spec(kTreeDscpQos, {intf_id, class_tos(*p, i)}, kIntfTosLen)))
            return st;
    }
    return 0;
}

// ---- DSCP to PCP -------------------------------------------------------------

uint32_t dscp_pcp(Call &c, zel_ip_intf_handle_t h, uint8_t dscp, uint8_t pcp, uint32_t op) {
    // 1-2. Checks.
    zel_ip_interface *r = intf_of(h);
    if (!r) return ZREJECT(c.m, kBadHandle, "Invalid Interface Handle type\n");
    if (op == kRuleLearn && delete_begun(*r)) return reject_deleting(c.m, kBadHandle);
    if (op == kRuleLearn && (dscp > ZEL_IP_QOS_MAX_DSCP || pcp > ZEL_IP_QOS_MAX_PCP))
        return ZREJECT(c.m, kBadParam, "Invalid DSCP (%d) or PCP (%d) value\n", dscp, pcp);
    if (op == kRuleUnlearn && dscp > ZEL_IP_QOS_MAX_DSCP)
        return ZREJECT(c.m, kBadParam, "Invalid DSCP (%d) value\n", dscp);

    // 3. The entry, then the table entry when the engine took the change.
    TreeRecord &t = c.priv->trees[kTreeIfDscpPcp];
    hwe_action_t a = op == kRuleLearn ? lay::dscp_pcp::encode({pcp, r->mtm_ns_id}) : t.default_action;
    const uint32_t st = ZRULE_KEY(
        c.m, t, op, a,
        op == kRuleLearn ? "Could not program LPM rule in hardware\n" : "Could not remove LPM rule from the hardware\n",
        lay::key_spec(kTreeIfDscpPcp, {intf_id_of(*r), dscp}, kIntfTosLen));
    // entry_withdrawn: the engine step took effect (learn or unlearn alike).
    if (entry_withdrawn(st)) {
        r->pcp[dscp] = op == kRuleLearn ? pcp : 0;
        const uint64_t bit = uint64_t{1} << dscp;
        r->pcp_mapped = op == kRuleLearn ? r->pcp_mapped | bit : r->pcp_mapped & ~bit;
    }
    return st;
}

// ---- CPU DSCP map ------------------------------------------------------------

bool cpu_count_ok(uint32_t count) { return count >= 1 && count <= ZEL_IP_CPU_DSCP_MAX_ENTRIES; }

uint32_t cpu_dscp_add(Call &c, uint32_t count, const uint8_t *dscp, void *const *queues) {
    if (!cpu_count_ok(count) || !dscp || !queues) return ZREJECT(c.m, kBadParam, "Invalid input parameter\n");
    TreeRecord &t = c.priv->trees[kTreeCpuDscpQos];
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t q = 0;
        if (uint32_t st = zel_qos_queue_id_get(c.m->sys_ctx, queues[i], &q))
            return ZFAIL_ERROR(c.m, error(st), "Failed to get MTM queue ID\n");
        hwe_action_t a = lay::via_mtm::encode(true, q);
        if (uint32_t st = ZRULE_KEY(c.m, t, kRuleLearn, a, "Failed to add LPM rule in hardware\n",
                                    lay::key_spec(kTreeCpuDscpQos, {dscp[i]}, kDscpLen)))
            return st;
    }
    return 0;
}

uint32_t cpu_dscp_delete(Call &c, uint32_t count, const uint8_t *dscp) {
    if (!cpu_count_ok(count) || !dscp) return ZREJECT(c.m, kBadParam, "Invalid input parameter\n");
    TreeRecord &t = c.priv->trees[kTreeCpuDscpQos];
    for (uint32_t i = 0; i < count; ++i) {
        hwe_action_t a = t.default_action;
        if (uint32_t st = ZRULE_KEY(c.m, t, kRuleUnlearn, a, "Failed to remove LPM rule from hardware\n",
                                    lay::key_spec(kTreeCpuDscpQos, {dscp[i]}, kDscpLen)))
            return st;
    }
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ip_qos_policy_add(zel_module_t *module, const zel_ip_qos_policy_t *policy) {
    return with_module(module, __func__, [&](Call &c) { return qos_policy(c, policy, kPolicyAdd); });
}

uint32_t zel_ip_qos_policy_delete(zel_module_t *module, const zel_ip_qos_policy_t *policy) {
    return with_module(module, __func__, [&](Call &c) { return qos_policy(c, policy, kPolicyDelete); });
}

uint32_t zel_ip_dscp_pcp_map_add(zel_module_t *module, zel_ip_intf_handle_t intf, uint8_t dscp, uint8_t pcp) {
    return with_module(module, __func__, [&](Call &c) { return dscp_pcp(c, intf, dscp, pcp, kRuleLearn); });
}

uint32_t zel_ip_dscp_pcp_map_delete(zel_module_t *module, zel_ip_intf_handle_t intf, uint8_t dscp) {
    return with_module(module, __func__, [&](Call &c) { return dscp_pcp(c, intf, dscp, 0, kRuleUnlearn); });
}

uint32_t zel_ip_cpu_dscp_qos_map_add(zel_module_t *module, uint32_t count, const uint8_t dscp[],
                                     void *const queues[]) {
    return with_module(module, __func__, [&](Call &c) { return cpu_dscp_add(c, count, dscp, queues); });
}

uint32_t zel_ip_cpu_dscp_qos_map_delete(zel_module_t *module, uint32_t count, const uint8_t dscp[]) {
    return with_module(module, __func__, [&](Call &c) { return cpu_dscp_delete(c, count, dscp); });
}

}  // extern "C"
