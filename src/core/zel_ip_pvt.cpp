// Log levels: the three log-level operations and the system log level.
#include <cinttypes>

#include "core/zel_ip_call.h"
#include "zel_ip/zel_ip_core.h"

using namespace zel::ip;

namespace {

#define MODULE_FMT "0x%08" PRIxPTR
uintptr_t handle_value(const zel_module_t *m) { return reinterpret_cast<uintptr_t>(m); }

}  // namespace

extern "C" {

uint32_t zel_ip_log_level_set(zel_module_t *module, uint32_t mask) {
    return with_module(module, __func__, [&](Call &c) -> uint32_t {
        set_log_mask(c.m->log_level, mask);
        ZLOG_INFO(c.m, "IPv4 module " MODULE_FMT " log-level set to 0x%x\n", handle_value(c.m), mask);
        return 0;
    });
}

uint32_t zel_ip_log_enable(zel_module_t *module, uint32_t bits) {
    return with_module(module, __func__, [&](Call &c) -> uint32_t {
        set_log_mask(c.m->log_level, log_mask(c.m->log_level) | bits);
        ZLOG_INFO(c.m, "Enabled log-level 0x%x for IPv4 module " MODULE_FMT "\n", bits,
                  handle_value(c.m));
        return 0;
    });
}

uint32_t zel_ip_log_disable(zel_module_t *module, uint32_t bits) {
    return with_module(module, __func__, [&](Call &c) -> uint32_t {
        set_log_mask(c.m->log_level, log_mask(c.m->log_level) & ~bits);
        ZLOG_INFO(c.m, "Disabled log-level 0x%x for IPv4 module " MODULE_FMT "\n", bits,
                  handle_value(c.m));
        return 0;
    });
}

uint32_t zel_ipv4_map_sys_log(zel_module_t *module, uint32_t level, uint32_t *mapped) {
    switch (level) {
        case 0:
        case ZEL_LOG_FATAL:
        case ZEL_LOG_ERROR:
        case ZEL_LOG_WARNING:
        case ZEL_LOG_INFO:
            if (mapped) *mapped = level;
            return 0;
        default:
            if (!module_handle_ok(module))
                return ZREJECT_ANON(ZEL_E_INVALID_STATE, "Unsupported log-level in IPv4!");
            return ZFAIL_ERROR(module, ZEL_E_INVALID_STATE, "Unsupported log-level in IPv4!");
    }
}

uint32_t zel_ipv4_sys_log(zel_module_t *module, uint32_t level) {
    // A bad module handle takes the skeleton's first step; a module that
    // is not started is refused before the lock.
    if (!module_handle_ok(module)) return reject_module_handle(module, ZEL_SITE);
    if (!zel_ipv4_valid_handle(module)) {
        log_anon(ZEL_SITE, true, "Invalid IPv4 module handle " MODULE_FMT "\n", handle_value(module));
        log_anon(ZEL_SITE, true, "Failed to set log-level 0x%x for IPv4\n", level);
        return ZEL_E_INVALID_HANDLE;
    }
    return with_module(module, __func__, [&](Call &c) -> uint32_t {
        uint32_t mapped = 0;
        uint32_t st = zel_ipv4_map_sys_log(c.m, level, &mapped);
        if (st != 0)
            return ZFAIL_ERROR(c.m, error(st), "Failed to set log-level %d\n", static_cast<int>(level));
        set_log_mask(c.m->log_level, mapped);
        ZLOG_INFO(c.m, "IPv4 module " MODULE_FMT " log-level set to 0x%x\n", handle_value(c.m), mapped);
        return 0;
    });
}

}  // extern "C"
