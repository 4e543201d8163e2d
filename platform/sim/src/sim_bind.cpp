// The framework's side of binding: sibling module flows, the module-service
// table with an entry-function service per module id, and the bind driver
// that walks a bind request through the modules' registered services in
// the framework's order: bind asks the source's get_imc, the destination's
// get_entry_func, then the source's custom_bind (a failure there gives the
// bind back to the destination: release_entry_func); unbind asks the
// source's custom_unbind, then the destination's release_entry_func.
//
// The module-service table (moduleMgrCpuServiceFn) is one per process, as
// the framework's is; so are the services tests set in it. The driver is
// a control of the model, not a call the module makes: it asks no fault.
#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "sim_fault.h"
#include "sim_platform.h"

namespace zsim {

struct EntryService {
    std::atomic<uint32_t> mode{ZEL_SIM_ENTRY_NONE};
    std::atomic<uint16_t> id{0};
    std::atomic<uint32_t> status{0};
    std::atomic<uint32_t> calls{0};
};
std::array<EntryService, ZEL_MODULE_ID_MAX> g_entry;

// The one service function: answers by the destination module's id.
uint32_t entry_fn_get(const zel_bind_info_t *bind, uint16_t *entry_fn_id) {
    if (!bind || !bind->dst_module || !entry_fn_id) return ZEL_E_INVALID_PARAM;
    const uint32_t mid = bind->dst_module->module_id;
    if (mid >= ZEL_MODULE_ID_MAX) return ZEL_E_INVALID_PARAM;
    EntryService &s = g_entry[mid];
    s.calls.fetch_add(1);
    if (s.mode.load() == ZEL_SIM_ENTRY_FAIL) return s.status.load();
    *entry_fn_id = s.id.load();
    return 0;
}

zel_module_cpu_service_t g_services[ZEL_MODULE_ID_MAX];

const zel_service_table_t *services_of(Platform &p, const zel_module_t *m) {
    std::lock_guard<std::mutex> g(p.mu);
    auto it = p.services.find(m);
    return it == p.services.end() ? nullptr : &it->second;
}

void fail(zel_sim_bind_result_t &r, const char *step, uint32_t st) {
    r.status = st;
    r.step = step;
}

const char *sibling_name(uint32_t module_id) {
    switch (module_id) {
        case 2: return "ethernet";
        case 9: return "gtpu";
        case 10: return "ipsec";
        case 11: return "ipv6";
        case 21: return "bfd";
        case 24: return "twamp";
        case 28: return "ebcom";
        case 29: return "l2tp";
        default: {
            static thread_local char buf[24];
            std::snprintf(buf, sizeof buf, "module-%u", module_id);
            return buf;
        }
    }
}

}  // namespace zsim

using zsim::Platform;

extern "C" {

zel_flow_header_t *zel_sim_sibling_flow_new(zel_sim_t *sim, zel_module_t *module, uint32_t ns_id) try {
    auto f = std::make_unique<zel_flow_header_t>();
    f->ns_id = ns_id;
    f->owner = module;
    f->magic = ZEL_FLOW_HDR_MAGIC;
    Platform *p = zsim::platform_of(zel_sim_sys_ctx(sim));
    if (!p) return nullptr;
    std::lock_guard<std::mutex> g(p->mu);
    p->sibling_flows.push_back(std::move(f));
    return p->sibling_flows.back().get();
} ZSIM_CATCH(nullptr)

void zel_sim_entry_service_set(uint32_t module_id, uint32_t mode, uint16_t id, uint32_t status) try {
    if (module_id >= ZEL_MODULE_ID_MAX) return;
    zsim::EntryService &s = zsim::g_entry[module_id];
    s.mode.store(mode);
    s.id.store(id);
    s.status.store(status);
    s.calls.store(0);
    zsim::g_services[module_id].entry_fn_get = zsim::entry_fn_get;
    moduleMgrCpuServiceFn[module_id] = mode == ZEL_SIM_ENTRY_NONE ? nullptr : &zsim::g_services[module_id];
} ZSIM_CATCH_VOID

uint32_t zel_sim_entry_service_calls(uint32_t module_id) try {
    return module_id < ZEL_MODULE_ID_MAX ? zsim::g_entry[module_id].calls.load() : 0;
} ZSIM_CATCH(0)

uint32_t zel_sim_bind(zel_sim_t *sim, const zel_bind_info_t *bind, zel_sim_bind_result_t *out) try {
    zel_sim_bind_result_t r{0, "", 0, 0};
    if (!sim || !bind) {
        if (out) *out = {ZEL_E_INVALID_PARAM, "", 0, 0};
        return ZEL_E_INVALID_PARAM;
    }
    Platform *pp = zsim::platform_of(zel_sim_sys_ctx(sim));
    if (!pp) return ZEL_E_INVALID_PARAM;
    Platform &p = *pp;
    const zel_service_table_t *src = zsim::services_of(p, bind->src_module);
    const zel_service_table_t *dst = zsim::services_of(p, bind->dst_module);
    // 1. The source's IMC function.
    if (src && src->get_imc) {
        if (uint32_t st = src->get_imc(bind->src_module, bind, &r.imc_fn_id)) zsim::fail(r, "get_imc", st);
    }
    // 2. The destination's entry function.
    bool entry_taken = false;  // the destination accepted (and may have recorded) the bind
    if (!r.status) {
        if (dst && dst->get_entry_func) {
            if (uint32_t st = dst->get_entry_func(bind->dst_module, bind, &r.entry_fn_id))
                zsim::fail(r, "get_entry_func", st);
            else
                entry_taken = true;
        } else if (bind->dst_module && bind->dst_module->magic == ZEL_MODULE_MAGIC) {
            const zel_module_t *d = bind->dst_module;
            uint16_t id = bind->direction == 2 ? d->entry_fn_dir2 : d->entry_fn_other;
            const zel_module_cpu_service_t *svc =
                d->module_id < ZEL_MODULE_ID_MAX ? moduleMgrCpuServiceFn[d->module_id] : nullptr;
            if (svc && svc->entry_fn_get) {
                if (uint32_t st = svc->entry_fn_get(bind, &id)) zsim::fail(r, "entry_service", st);
            }
            r.entry_fn_id = id;
        }
    }
    // 3. A custom bind is programmed by the source.
    if (!r.status && bind->custom == 1 && src && src->custom_bind) {
        if (uint32_t st = src->custom_bind(bind->src_module ? bind->src_module->sys_ctx : nullptr, bind))
            zsim::fail(r, "custom_bind", st);
    }
    // A bind that failed after the destination accepted it is given back
    // to the destination.
    if (r.status && entry_taken && dst->release_entry_func)
        (void)dst->release_entry_func(bind->dst_module, bind);
    if (out) *out = r;
    return r.status;
} ZSIM_CATCH(ZEL_E_NO_MEMORY)

uint32_t zel_sim_unbind(zel_sim_t *sim, const zel_bind_info_t *bind, zel_sim_bind_result_t *out) try {
    zel_sim_bind_result_t r{0, "", 0, 0};
    if (!sim || !bind) {
        if (out) *out = {ZEL_E_INVALID_PARAM, "", 0, 0};
        return ZEL_E_INVALID_PARAM;
    }
    Platform *p = zsim::platform_of(zel_sim_sys_ctx(sim));
    if (!p) return ZEL_E_INVALID_PARAM;
    const zel_service_table_t *src = zsim::services_of(*p, bind->src_module);
    const zel_service_table_t *dst = zsim::services_of(*p, bind->dst_module);
    // 1. A custom bind is withdrawn by the source.
    if (bind->custom == 1 && src && src->custom_unbind) {
        if (uint32_t st = src->custom_unbind(bind->src_module ? bind->src_module->sys_ctx : nullptr, bind))
            zsim::fail(r, "custom_unbind", st);
    }
    // 2. Then the destination lets go of what it recorded (once the source
    //    no longer sends into it).
    if (!r.status && dst && dst->release_entry_func) {
        if (uint32_t st = dst->release_entry_func(bind->dst_module, bind)) zsim::fail(r, "release_entry_func", st);
    }
    if (out) *out = r;
    return r.status;
} ZSIM_CATCH(ZEL_E_NO_MEMORY)

const char *zel_sim_function_name(uint32_t id) try { return zsim::engine_symbol_name(id); } ZSIM_CATCH(nullptr)

uint32_t zel_sim_function_id(const char *name) try {
    return name ? zsim::engine_symbol_id(name) : 0;
} ZSIM_CATCH(0)

}  // extern "C"
