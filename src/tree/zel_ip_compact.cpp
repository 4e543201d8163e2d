// Tree compaction: the framework's request, walking the catalogue in a
// cycle, and the engine's progress callback, which lets go of the module
// lock around the framework's turn.
//
//   request (lock held)                      other threads / the framework
//   -------------------                      -----------------------------
//   compacting_tree = tree id
//   engine: compact, chunk by chunk
//     callback: release lock  ───────────▶  configuration calls run; a
//               framework's turn             learn/unlearn/teardown of the
//               take lock back  ◀─────────   tree clears compacting_tree
//               block still ours?  no: status 5, stop
//               compacting_tree still the tree?  no: status 2, stop
//   done: next tree / stopped: compaction_status = tree (resume there)
//
// What the request keeps across a window lives on its own stack (the
// context record, the position in the cycle, the tree's id) or in this
// thread's run record (which block it started on, whether it holds the
// lock): nothing a call in the window can change, except compacting_tree,
// which is the signal. A shutdown in the window frees the block; the
// request then touches nothing of it again (the block a later start-up
// attaches, even at the same address, is told apart by its instance
// number).
#include <cinttypes>

#include "core/zel_ip_call.h"
#include "core/zel_ip_priv.h"
#include "core/zel_ip_registry.h"
#include "tree/zel_ip_hw_internal.h"
#include "zel_ip/zel_ip_compact.h"

using namespace zel::ip;

namespace {

// The request running on this thread (a framework's turn may run another
// on the same thread: they chain).
struct Run {
    const zel_compact_ctx_t *ctx;
    const ZelIpPriv *priv;  // the block the request started on
    uint64_t instance;      // ... and the start-up that made it
    bool lock_held;         // false once the callback let go and could not take it back
    Run *outer;

    // The module's block now is the one the request started on.
    bool owns(const ZelIpPriv *p) const { return p && p == priv && p->instance == instance; }
};

thread_local Run *t_run = nullptr;

class RunScope {
public:
    explicit RunScope(Run &r) : run_(r) {
        r.outer = t_run;
        t_run = &r;
    }
    ~RunScope() { t_run = run_.outer; }
    RunScope(const RunScope &) = delete;
    RunScope &operator=(const RunScope &) = delete;

private:
    Run &run_;
};

Run *run_of(const zel_compact_ctx_t *cc) {
    for (Run *r = t_run; r; r = r->outer)
        if (r->ctx == cc) return r;
    return nullptr;
}

// Context record status values (set by the callback or the framework).
constexpr uint32_t kStoppedByFramework = 1;
constexpr uint32_t kTreeChanged = 2;
constexpr uint32_t kStoppedByEngine = 3;
constexpr uint32_t kModuleGone = 5;

// The request's status for a context record status.
uint32_t status_code(uint32_t s) {
    switch (s) {
        case kStoppedByFramework: return error(ZEL_E_COMPACT_STATUS_1);  // 0x300a2
        case kTreeChanged: return error(ZEL_E_COMPACT_CHANGED);          // 0x300a3
        case kStoppedByEngine: return error(ZEL_E_COMPACT_STATUS_3);     // 0x300a4
        default: return error(ZEL_E_COMPACT);                             // 0x30043
    }
}

uint32_t engine_callback(void *ctx) { return zel_ip_compact_cb(static_cast<zel_compact_ctx_t *>(ctx)); }

// Eligible: a key wider than the tree's initial table (rule-set trees have
// width 0) and a flag in the request's mask.
bool eligible(const TreeRecord &t, uint32_t mask) { return t.width > t.init_table_size && (t.tree_flags & mask); }

uint32_t compact(Call &c, zel_sys_ctx_t *sys_ctx, uint32_t mask, uint32_t use_callback) {
    ZelIpPriv &p = *c.priv;
    zel_module_t *m = c.m;
    // 2. One request at a time.
    if (p.compacting_tree != 0) {
        ZLOG_WARN(m, "Compaction already in progress\n");
        return 0;
    }
    // 3. The context record handed to the engine and back to the callback.
    zel_ptn_t pattern{nullptr, 0, 0};
    zel_compact_ctx_t cc{sys_ctx, m, mask, 0, &pattern, 0};
    Run run{&cc, &p, p.instance, true, nullptr};
    RunScope in_run(run);
    const uint32_t start = p.compaction_status < kNumTrees ? p.compaction_status : 0;
    for (uint32_t i = 0; i < kNumTrees; ++i) {
        const uint32_t t = (start + i) % kNumTrees;
        // 3.1
        if (!eligible(p.trees[t], mask)) continue;
        // 3.2
        const uint32_t id = p.trees[t].id;
        ZLOG_INFO(m, "\nCompacting %s ... ", zel_sif_fps_map(id));
        p.compacting_tree = id;
        // 3.3
        cc.tree_id = id;
        cc.status = 0;
        pattern = {nullptr, 0, p.trees[t].width};
        const uint32_t st = use_callback ? hwe_ptn_compact_fn_cb(m->engine, id, &pattern, engine_callback, &cc,
                                                                 use_callback)
                                         : hwe_ptn_compact_fn(m->engine, id);
        // The callback let go of the lock and could not take it back (it
        // logged why): the request takes it once more before it looks at
        // anything of the module, and is the judge of the block then.
        bool ours = cc.status != kModuleGone;
        uint32_t code = 0;
        if (!run.lock_held) {
            if (uint32_t lst = lock_module(m, ZEL_SITE)) {
                c.lock_lost = true;
                ours = false;
                code = lst;
            } else {
                run.lock_held = true;
                ours = run.owns(module_priv(m));
            }
        }
        // 3.4
        if (st == 0 && ours) {
            ZLOG_INFO(m, "Done!\n");
            continue;
        }
        // 3.5 Stopped. A block freed by a shutdown in the window (or the
        //     lock not held) is not touched again: only the message.
        if (!ours && code == 0) cc.status = kModuleGone;
        if (code == 0) code = status_code(cc.status);
        ZFAIL_ERROR(m, code, "\nRTE Error %s: Failed to compact IPv4 tree %s, compact status: %s\n",
                    hwe_status_get(st), zel_sif_fps_map(id), zel_sys_compact_rock_status_get(&cc));
        if (ours) {
            p.compaction_status = t;
            p.compacting_tree = 0;
        }
        ZLOG_INFO(m, "Failed!\n");
        return code;
    }
    // 4. A whole pass: the next starts at tree 0.
    p.compacting_tree = 0;
    p.compaction_status = 0;
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ip_compact_func(zel_sys_ctx_t *ctx, uint32_t flag_mask, zel_module_t *module,
                             uint32_t use_callback) {
    CallOptions opt;
    opt.sys_ctx = ctx;  // the request's context replaces the module's in print tests
    opt.sys_ctx_given = true;
    return with_module(
        module, __func__, [&](Call &c) -> uint32_t { return compact(c, ctx, flag_mask, use_callback); }, opt);
}

uint32_t zel_ip_compact_cb(zel_compact_ctx_t *cc) {
    if (!cc) return ZREJECT_ANON(kBadParam, "Invalid compaction context\n");
    zel_module_t *m = cc->module;
    if (!module_handle_ok(m)) return reject_module_handle(m, ZEL_SITE);
    Run *run = run_of(cc);
    // 1. Let go of the lock. A failed release is taken to have let go all
    //    the same (the framework's lock does): the request takes it again.
    const uint32_t released = unlock_module(m, ZEL_SITE);
    if (run) run->lock_held = false;
    if (released) return released;
    // 2. The framework's turn: configuration calls may run meanwhile, on
    //    other threads or inside it.
    uint32_t fw;
    {
        LockReleasedScope window;
        fw = zel_sif_compact_callback(cc);
    }
    // 3. The lock back.
    if (uint32_t st = lock_module(m, ZEL_SITE)) return st;
    if (run) run->lock_held = true;
    // 4. A shutdown (and maybe a start-up) ran meanwhile: the request's
    //    block is gone.
    ZelIpPriv *p = module_priv(m);
    if (!p || (run && !run->owns(p))) {
        cc->status = kModuleGone;
        return 1;
    }
    // 5. The tree changed meanwhile: a change cleared compacting_tree (or
    //    another request, started in the window, names its own tree).
    if (p->compacting_tree != cc->tree_id && fw == 0) {
        cc->status = kTreeChanged;
        return 2;
    }
    // 6.
    return fw;
}

uint32_t zel_ipv4_perf_data_dump(zel_module_t *module) {
    return with_module(module, __func__, [](Call &) -> uint32_t { return 0; });
}

}  // extern "C"
