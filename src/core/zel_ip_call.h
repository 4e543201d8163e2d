// The call skeleton every public operation follows:
//   1. module handle check ("Invalid module handle 0x%08x\n", anonymous
//      form, 0x30001, nothing else happens);
//   2. entry line and record;
//   3. write lock (failure: ERROR + status text, the status with severity
//      3, nothing changed);
//   4. private block check ("Invalid IPv4 module handle 0x%08x\n",
//      anonymous form, 0x30001) unless the operation runs without one;
//   5. the operation's checks and work: its status is the result;
//   6. unlock (failure: FATAL + status text; that status with severity 1
//      replaces the result, whose effects stay);
//   7. exit line and record (before every return after step 1).
//
//   uint32_t zel_ip_thing(zel_module_t *m, ...) {
//       return with_module(m, __func__, [&](Call &c) -> uint32_t { ... });
//   }
#ifndef ZEL_IP_CALL_H
#define ZEL_IP_CALL_H

#include <cinttypes>

#include "core/zel_ip_log.h"
#include "core/zel_ip_priv.h"
#include "core/zel_ip_registry.h"
#include "core/zel_ip_status_internal.h"

namespace zel::ip {

// What the work of an operation is handed.
struct Call {
    zel_module_t *m;
    ZelIpPriv *priv;  // NULL only for operations that run without one
    // Set by work that let go of the module lock and could not take it
    // back (the compaction's progress callback): step 6 is skipped, as
    // there is nothing to release.
    bool lock_lost = false;
};

struct CallOptions {
    bool needs_priv = true;       // false: start-up (there is no block yet)
    zel_sys_ctx_t *sys_ctx = nullptr;  // print tests use this context instead
    bool sys_ctx_given = false;
};

// The private block of a started module, or NULL.
ZelIpPriv *module_priv(zel_module_t *m);

// Steps 1 and 4 report these, in the anonymous form.
uint32_t reject_module_handle(zel_module_t *m, Site s);
uint32_t reject_priv_block(zel_module_t *m, Site s);
// Steps 3 and 6.
uint32_t lock_module(zel_module_t *m, Site s);
uint32_t unlock_module(zel_module_t *m, Site s);

// A delete of `obj` while a record still uses it (obj_use): logs "<name>
// 0x%08x in use by <user kind> 0x%08x\n" at ERROR and returns 0x3000f;
// 0 when nothing uses it.
uint32_t refuse_in_use(zel_module_t *m, const void *obj, const char *name, Site s);
#define ZREFUSE_IN_USE(m, obj, name) ::zel::ip::refuse_in_use((m), (obj), (name), ZEL_SITE)

template <typename Work>
uint32_t with_module(zel_module_t *m, const char *fn, Work &&work, CallOptions opt = {}) {
    if (!module_handle_ok(m)) return reject_module_handle(m, ZEL_SITE);
    SysCtxOverride ctx_override(opt.sys_ctx_given ? opt.sys_ctx : m->sys_ctx);
    OwnerScope owner(m);  // records allocated by this operation belong to m
    log_function(m, false, fn, ZEL_SITE);
    uint32_t result = lock_module(m, ZEL_SITE);
    if (result == 0) {
        bool locked = true;
        {
            // Records the work allocates are published on leaving, before
            // the unlock (see zel_ip_registry.h).
            WorkScope scope(m, m->rw_lock != nullptr);
            ZelIpPriv *priv = module_priv(m);
            if (opt.needs_priv && !priv) {
                result = reject_priv_block(m, ZEL_SITE);
            } else {
                Call c{m, priv};
                result = work(c);
                locked = !c.lock_lost;
            }
        }
        if (locked)
            if (uint32_t st = unlock_module(m, ZEL_SITE)) result = st;
    }
    log_function(m, true, fn, ZEL_SITE);
    return result;
}

}  // namespace zel::ip

#endif  // ZEL_IP_CALL_H
