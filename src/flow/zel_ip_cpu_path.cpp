// The CPU path of a flow key: trees 16 to 19 (see zel_ip_cpu_path.h).
#include "flow/zel_ip_cpu_path.h"

#include <utility>

#include "core/zel_ip_call.h"
#include "tree/zel_ip_layout_cpu.h"
#include "tree/zel_ip_layout_flow.h"
#include "zel_ip/zel_ip_flow.h"

using namespace zel::ip;

namespace {

constexpr const char *kBuildMsg = "Could not build the input pattern";
constexpr const char *kAddMsg = "Could not add the LPM rule in the hardware";
constexpr const char *kRemoveMsg = "Could not remove the LPM rule from hardware";

// The whole 28-bit key of trees 16 to 19: FLOW-ID then RULE-KEY.
layout::KeySpec flow_key_spec(uint32_t tree, uint32_t flow_key) {
    const uint32_t width = layout::key_layout(tree).width;
    return layout::key_spec(tree, {flow_key >> layout::kRuleKeyBits, flow_key & 0xf}, width);
}

// Learns (op != 0) or unlearns the entry of `flow_key` in `tree`.
uint32_t program(zel_module_t *m, ZelIpPriv &p, uint32_t tree, uint32_t flow_key, uint32_t op,
                 hwe_action_t a) {
    const uint32_t rule_op = op ? kRuleLearn : kRuleUnlearn;
    return layout::key_program(m, p.trees[tree], flow_key_spec(tree, flow_key), rule_op, a,
                               op ? kAddMsg : kRemoveMsg, ZEL_SITE, kBuildMsg);
}

}  // namespace

namespace zel::ip {

uint32_t cpu_flow_param(zel_module_t *module, uint32_t flow_key, const zel_ip_cpu_delivery_t *delivery,
                        uint32_t op, uint8_t *held) {
    ZelIpPriv *p = module_priv(module);
    if (!p) return kBadHandle;
    if (op == 0) {
        const hwe_action_t none = layout::value_entry(0, 0);
        uint32_t result = 0;
        for (auto [tree, bit] : {std::pair{kTreeFilterCpuPathParam, kHeldParam}, std::pair{kTreeFilterCpuPathCtx, kHeldCtx}}) {
            if (!(*held & bit)) continue;
            if (uint32_t st = program(module, *p, tree, flow_key, 0, none))
                result = st;
            else
                *held = static_cast<uint8_t>(*held & ~bit);
        }
        return result;
    }
    if (!delivery) return kBadParam;
    const zel_ip_cpu_delivery_t &d = *delivery;
    const uint32_t context = d.context_flow_id ? d.context_flow_id : flow_key;
    const hwe_action_t param = d.kind == ZEL_IP_CPU_PATH_NCA
                                   ? layout::filter_cpu_param::nca(d.target, context)
                                   : layout::filter_cpu_param::ph(d.target, d.cb_fn_id);
    if (uint32_t st = program(module, *p, kTreeFilterCpuPathParam, flow_key, op, param)) return st;
    *held |= kHeldParam;
    if (uint32_t st = program(module, *p, kTreeFilterCpuPathCtx, flow_key, op,
                              layout::filter_cpu_ctx::encode(context, param.w2)))
        return st;
    *held |= kHeldCtx;
    return 0;
}

}  // namespace zel::ip

extern "C" {

uint32_t zel_ip_cpu_flow_policing_config(zel_module_t *module, uint32_t flow_key,
                                         uint32_t police_flow_id, uint32_t op) {
    ZelIpPriv *p = module_priv(module);
    if (!p) return kBadHandle;
    return program(module, *p, kTreeFilterCpuPathPolicing, flow_key, op,
                   layout::id_w1::encode(police_flow_id));
}

uint32_t zel_ip_cpu_flow_param_config(zel_module_t *module, uint32_t flow_key,
                                      const zel_ip_cpu_delivery_t *delivery, uint32_t op) {
    ZelIpPriv *p = module_priv(module);
    if (!p) return kBadHandle;
    if (op == 0) {
        // The actions of a full-key unlearn are not looked at.
        const hwe_action_t none = layout::value_entry(0, 0);
        if (uint32_t st = program(module, *p, kTreeFilterCpuPathParam, flow_key, 0, none)) return st;
        return program(module, *p, kTreeFilterCpuPathCtx, flow_key, 0, none);
    }
    uint8_t held = 0;
    return cpu_flow_param(module, flow_key, delivery, op, &held);
}

uint32_t zel_ip_cpu_flow_mtm_config(zel_module_t *module, uint32_t flow_key, void *mtm_queue,
                                    uint8_t dscp_based, uint32_t op) {
    ZelIpPriv *p = module_priv(module);
    if (!p) return kBadHandle;
    if (op == 0)
        return program(module, *p, kTreeCpuPathParam, flow_key, 0, layout::cpu_path_param::no_queue());
    hwe_action_t a = layout::cpu_path_param::no_queue();
    if (mtm_queue) {
        uint32_t q = 0;
        if (uint32_t st = zel_qos_queue_id_get(module->sys_ctx, mtm_queue, &q))
            return ZFAIL_FATAL(module, fatal(st), "Failed to get MTM queue ID");
        a = layout::cpu_path_param::via_mtm(q);
    } else if (dscp_based == 1) {
        a = layout::cpu_path_param::use_dscp_map(p->flow_funcs[kFnUseCpuDscpMap].id);
    }
    return program(module, *p, kTreeCpuPathParam, flow_key, op, a);
}

}  // extern "C"
