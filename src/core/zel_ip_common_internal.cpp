// Handle checks, the exported tables and the shared parts of the call
// skeleton.
#include <cinttypes>

#include "core/zel_ip_call.h"
#include "core/zel_ip_registry.h"
#include "zel_ip/zel_ip_core.h"

using namespace zel::ip;

extern "C" {

const zel_ip_obj_size_t ip_obj_size[ZEL_IP_OBJ_SIZE_ROWS] = {
    {"zel-ip-module", 8176, 0, 1},
    {"zel-ip-vrd", 8, 0, 64},
    {"zel-ip-filter-rule-set", 912, 0, 32},
    {"zel-ipoe-interface", 328, 28, 256},
    {"zel-ip-tunnel-interface", 112, 28, 576},
    {"zel-ip-virtual-interface", 20, 28, 8},
    {"zel-ip-flow", 112, 12, 143449},
};

const uint32_t ip_bit_mask[33] = {
    0x00000000, 0x80000000, 0xc0000000, 0xe0000000, 0xf0000000, 0xf8000000, 0xfc000000,
    0xfe000000, 0xff000000, 0xff800000, 0xffc00000, 0xffe00000, 0xfff00000, 0xfff80000,
    0xfffc0000, 0xfffe0000, 0xffff0000, 0xffff8000, 0xffffc000, 0xffffe000, 0xfffff000,
    0xfffff800, 0xfffffc00, 0xfffffe00, 0xffffff00, 0xffffff80, 0xffffffc0, 0xffffffe0,
    0xfffffff0, 0xfffffff8, 0xfffffffc, 0xfffffffe, 0xffffffff,
};

uint8_t perf_data_log[8];

int zel_ipv4_valid_handle(zel_module_t *module) {
    // Callers test the module handle first; a NULL one is still refused
    // here rather than followed, since the check is exported. The block is
    // attached and detached under the module lock; this check may run
    // without it.
    if (!module) return 0;
    const void *priv = __atomic_load_n(&module->priv, __ATOMIC_ACQUIRE);
    return obj_check(priv, ObjKind::kPriv, [](const void *p) {
        return static_cast<const ZelIpPriv *>(p)->magic == kPrivMagic;
    });
}

// Every check below reads the record inside obj_check (see
// zel_ip_registry.h): never after another thread may have freed it.
static bool first_word_is(const void *h, ObjKind kind, uint32_t magic) {
    return obj_check(h, kind, [magic](const void *p) { return *static_cast<const uint32_t *>(p) == magic; });
}

int zel_ipv4_valid_rule_set_handle(const void *h) { return first_word_is(h, ObjKind::kRuleSet, kRuleSetMagic); }

int zel_ipv4_valid_policy_set_handle(const void *h) {
    return first_word_is(h, ObjKind::kPolicySet, kPolicySetMagic);
}

static int valid_intf(const void *h, ObjKind kind, uint32_t type) {
    return obj_check(h, kind, [type](const void *p) {
        const auto *head = static_cast<const IntfHead *>(p);
        return head->hdr.magic == ZEL_INTF_HDR_MAGIC && head->type == type;
    });
}

int zel_ipv4_interface_valid_handle(const void *h) { return valid_intf(h, ObjKind::kIpoe, kIpoeType); }
int zel_ipv4_vif_valid_handle(const void *h) { return valid_intf(h, ObjKind::kVif, kVifType); }
int zel_ipv4_tunnel_interface_valid_handle(const void *h) {
    return valid_intf(h, ObjKind::kTunnel, kTunnelType);
}

int zel_ipv4_flow_valid_handle(const void *h) {
    return obj_check(h, ObjKind::kFlow, [](const void *p) {
        const auto *head = static_cast<const FlowHead *>(p);
        return head->hdr.magic == ZEL_FLOW_HDR_MAGIC && head->type == kFlowType;
    });
}

int zel_ipv4_vrd_valid_handle(const void *h, uint32_t *vrd_id) {
    if (!h) {
        if (vrd_id) *vrd_id = kDefaultVrdId;
        return 1;
    }
    uint32_t id = 0;
    const bool ok = obj_check(h, ObjKind::kVrd, [&id](const void *p) {
        const auto *vrd = static_cast<const zel_ip_vrd *>(p);
        if (vrd->magic != kVrdMagic) return false;
        id = vrd->vrd_id;
        return true;
    });
    if (!ok) return 0;
    if (vrd_id) *vrd_id = id;
    return 1;
}

}  // extern "C"

namespace zel::ip {

ZelIpPriv *module_priv(zel_module_t *m) {
    return zel_ipv4_valid_handle(m) ? static_cast<ZelIpPriv *>(__atomic_load_n(&m->priv, __ATOMIC_ACQUIRE))
                                    : nullptr;
}

uint32_t reject_module_handle(zel_module_t *m, Site s) {
    log_anon(s, true, "Invalid module handle 0x%08" PRIxPTR "\n", reinterpret_cast<uintptr_t>(m));
    return kBadHandle;
}

uint32_t reject_priv_block(zel_module_t *m, Site s) {
    log_anon(s, true, "Invalid IPv4 module handle 0x%08" PRIxPTR "\n",
             reinterpret_cast<uintptr_t>(m));
    return kBadHandle;
}

uint32_t refuse_in_use(zel_module_t *m, const void *obj, const char *name, Site s) {
    const char *what = "object";
    const void *user = obj_user(obj, &what);
    if (!user) return 0;
    return reject(m, error(ZEL_E_INVALID_STATE), s, true, "%s 0x%08" PRIxPTR " in use by %s 0x%08" PRIxPTR "\n",
                  name, reinterpret_cast<uintptr_t>(obj), what, reinterpret_cast<uintptr_t>(user));
}

uint32_t lock_module(zel_module_t *m, Site s) {
    if (!m->rw_lock) return 0;
    uint32_t st = zel_sys_rw_lock_wait(m->rw_lock, 1);
    if (st == 0) return 0;
    return fail(m, Level::kError, error(st), s, false, "Failed to acquire IP module rw write lock");
}

uint32_t unlock_module(zel_module_t *m, Site s) {
    if (!m->rw_lock) return 0;
    uint32_t st = zel_sys_rw_lock_post(m->rw_lock);
    if (st == 0) return 0;
    return fail(m, Level::kFatal, fatal(st), s, false, "Failed to release IP module rw lock");
}

}  // namespace zel::ip
