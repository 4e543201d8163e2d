// Exception handlers: the entries of one {domain, type} pair in two exact
// match trees with the same 6-bit key
//
//     | DOMAIN (2) | TYPE (4) |
//
//   tree 13 ip_exception_lookup             where the packet goes: a CPU
//                                           delivery (PH or NCA, value
//                                           entry) or an engine function
//                                           (function entry); default drop
//   tree 15 ip_exception_path_param_lookup  whether it passes a traffic-
//                                           manager queue on the way to the
//                                           CPU; default no queue
//
// Registration writes tree 13, then tree 15; unregistration removes them in
// the same order. Invariant: bit (domain << 4 | type) of
// exception_entries[0] / [1] in the private block is set exactly while the
// pair has an entry in tree 13 / tree 15 (both trees are exact match, so a
// failed learn or unlearn changes nothing). A call that stopped between the
// two trees leaves the pair half configured; repeating it completes the
// pair: a registration replaces both entries, an unregistration skips the
// entry that is already gone (the engine would refuse to remove it again).
#include <cinttypes>

#include "core/zel_ip_call.h"
#include "tree/zel_ip_hw_internal.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_cpu.h"
#include "zel_ip/zel_ip_exception.h"

using namespace zel::ip;
namespace lay = zel::ip::layout;

namespace {

constexpr uint32_t kKeyLen = 6;            // domain and type, both whole
constexpr uint32_t kNoQueue = 0xffffff;    // tree-15 W1 when no queue is resolved
constexpr uint32_t kDomainNotRegistrable = 1;

// The pair's bit in exception_entries.
constexpr uint64_t pair_bit(uint32_t domain, uint32_t type) { return uint64_t{1} << (domain << 4 | type); }

// Which of the two trees, as the index of exception_entries.
struct ExceptionTree {
    uint32_t tree;
    uint32_t shadow;
};
constexpr ExceptionTree kDestTree{kTreeException, 0};
constexpr ExceptionTree kPathTree{kTreeExceptionPathParam, 1};

// Builds the pair's key in the tree's key buffer. A failed build: FATAL
// "Could not build the input pattern\n", the failing builder call's own
// status with severity 1 (not a sum over the two fields).
uint32_t build_key(Call &c, uint32_t tree, uint32_t domain, uint32_t type) {
    const lay::KeySpec k = lay::key_spec(tree, {domain, type}, kKeyLen);
    if (uint32_t st = lay::key_build_own_status(c.priv->trees[tree], k))
        return ZFAIL_FATAL(c.m, fatal(st), "Could not build the input pattern\n");
    return 0;
}

uint32_t register_handler(Call &c, const zel_ip_exception_handler_t *h) {
    // 1-4. The record.
    if (!h) return ZFAIL_ERROR(c.m, kBadParam, "NULL pointer parameter\n");
    if (h->domain > ZEL_IP_EXC_MAX_DOMAIN || h->domain == kDomainNotRegistrable)
        return ZREJECT(c.m, kBadParam, "Invalid Exception domain specified\n");
    if (h->type > ZEL_IP_EXC_MAX_TYPE) return ZREJECT(c.m, kBadParam, "Invalid Exception type \n");
    if (h->action < ZEL_IP_EXC_SEND_TO_CPU_PH || h->action > ZEL_IP_EXC_SEND_TO_MPP_FUNC)
        return ZREJECT(c.m, kBadParam, "Invalid action for the exception\n");
    // The target must fit the entry: a function needs a name, and an NCA
    // queue id wider than its 22-bit field would send to another queue.
    if (h->action == ZEL_IP_EXC_SEND_TO_MPP_FUNC && !h->target.mpp_function)
        return ZREJECT(c.m, kBadParam, "No MPP function name given for the exception\n");
    if (h->action == ZEL_IP_EXC_SEND_TO_CPU_NCA && h->target.nca_queue > ZEL_IP_EXC_MAX_NCA_QUEUE)
        return ZREJECT(c.m, kBadParam, "NCA queue id 0x%x does not fit the exception entry\n",
                       h->target.nca_queue);

    // 5. The traffic-manager queue of a CPU delivery.
    uint32_t mtm_q = kNoQueue;
    bool via_mtm = false;
    if (h->action != ZEL_IP_EXC_SEND_TO_MPP_FUNC && h->queue) {
        if (uint32_t st = zel_qos_queue_id_get(c.m->sys_ctx, h->queue, &mtm_q))
            return ZFAIL_ERROR(c.m, error(st), "Failed to get MTM queue ID for CPU path\n");
        via_mtm = true;
    }

    // 6. The tree-13 key.
    if (uint32_t st = build_key(c, kDestTree.tree, h->domain, h->type)) return st;

    // 7. The destination entry (the engine function's id for an MPP one).
    hwe_action_t dest{};
    switch (h->action) {
        case ZEL_IP_EXC_SEND_TO_CPU_PH:
            dest = lay::exception::ph_handler(h->target.ph_handle, h->cb_fn_id);
            break;
        case ZEL_IP_EXC_SEND_TO_CPU_NCA:
            dest = lay::exception::nca_handler(h->target.nca_queue);
            break;
        default: {
            uint32_t fn_id = 0;
            if (uint32_t st = hwe_ptn_symbol_get_id(c.m->engine, h->target.mpp_function, &fn_id))
                return ZFAIL_FATAL(c.m, fatal(ZEL_E_SYMBOL),
                                   "Failed to get handler MPP function ID, RTE Error: %s\n",
                                   hwe_status_get(st));
            dest = lay::exception::mpp_handler(fn_id);
            break;
        }
    }

    // 8. Learn it (replacing an earlier handler of the pair).
    uint64_t *shadow = c.priv->exception_entries;
    const uint64_t bit = pair_bit(h->domain, h->type);
    if (uint32_t st = zel_ipv4_lpm_rule(c.m, &c.priv->trees[kDestTree.tree], kRuleLearn, &dest))
        return ZFAIL_FATAL(c.m, fatal(st), "Failed to add the exception rule in hardware");
    shadow[kDestTree.shadow] |= bit;

    // 9. The path entry; a failure leaves the destination entry in place.
    hwe_action_t path = lay::via_mtm::encode(via_mtm, mtm_q);
    if (uint32_t st = build_key(c, kPathTree.tree, h->domain, h->type)) return st;
    if (uint32_t st = zel_ipv4_lpm_rule(c.m, &c.priv->trees[kPathTree.tree], kRuleLearn, &path))
        return ZFAIL_FATAL(c.m, fatal(st), "Failed to configure CPU path param for exception in hardware");
    shadow[kPathTree.shadow] |= bit;
    return 0;
}

uint32_t unregister_handler(Call &c, const zel_ip_exception_handler_t *h) {
    // 1-2. Only domain and type are read. Domain 1 is accepted here; a
    //      domain wider than its 2-bit key field would name another pair.
    if (!h) return ZFAIL_ERROR(c.m, kBadParam, "Invalid input parameter\n");
    if (h->type > ZEL_IP_EXC_MAX_TYPE) return ZREJECT(c.m, kBadParam, "Invalid Exception type \n");
    if (h->domain > ZEL_IP_EXC_MAX_DOMAIN)
        return ZREJECT(c.m, kBadParam, "Invalid Exception domain specified\n");

    // 3-4. Remove the tree-13 entry, then the tree-15 one. When the pair
    //      has an entry in one tree only (an earlier call stopped between
    //      the two), the other is skipped; with none at all the engine is
    //      asked anyway and its refusal returned.
    uint64_t *shadow = c.priv->exception_entries;
    const uint64_t bit = pair_bit(h->domain, h->type);
    const bool none = ((shadow[0] | shadow[1]) & bit) == 0;
    for (const ExceptionTree &t : {kDestTree, kPathTree}) {
        if (!none && !(shadow[t.shadow] & bit)) continue;
        if (uint32_t st = build_key(c, t.tree, h->domain, h->type)) return st;
        // The primitive has logged a failure; its code is returned as is.
        hwe_action_t zero{};
        if (uint32_t st = zel_ipv4_lpm_rule(c.m, &c.priv->trees[t.tree], kRuleUnlearn, &zero)) return st;
        shadow[t.shadow] &= ~bit;
    }
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ip_exception_handler_register(zel_module_t *module,
                                           const zel_ip_exception_handler_t *handler) {
    return with_module(module, __func__, [&](Call &c) { return register_handler(c, handler); });
}

uint32_t zel_ip_exception_handler_unregister(zel_module_t *module,
                                             const zel_ip_exception_handler_t *handler) {
    return with_module(module, __func__, [&](Call &c) { return unregister_handler(c, handler); });
}

}  // extern "C"
