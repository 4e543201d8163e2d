// Platform creation and the framework's objects (module objects, sibling
// modules, Layer-2 interfaces, QoS objects) with their introspection.
#include "sim_platform.h"

#include <algorithm>
#include <new>

#include "sim_fault.h"

struct zel_sim {
    zsim::Platform p;
};

namespace zsim {

namespace {
// Live platforms, for mapping a system context back to its platform.
std::mutex g_live_mu;
std::vector<zel_sim *> g_live;

// Every framework instance's trace channel id: one per module object.
uint32_t g_next_trace = 1;

std::mutex g_pdu_mu;
std::vector<zel_sim_pdu_t> g_pdus;

template <typename T>
bool owns(const std::vector<std::unique_ptr<T>> &v, const void *obj) {
    for (auto &o : v)
        if (o.get() == obj) return true;
    return false;
}
}  // namespace

bool qos_known(const zel_sys_ctx_t *ctx, const void *obj) {
    std::lock_guard<std::mutex> g(g_live_mu);
    for (auto *s : g_live) {
        if (ctx && &s->p.ctx != ctx) continue;
        std::lock_guard<std::mutex> pg(s->p.mu);
        if (owns(s->p.queues, obj) || owns(s->p.policers, obj) || owns(s->p.policies, obj))
            return true;
    }
    return false;
}

bool record_pdu(const zel_sim_pdu_t &pdu) {
    std::lock_guard<std::mutex> g(g_pdu_mu);
    try {
        g_pdus.push_back(pdu);
    } catch (...) {
        return false;
    }
    return true;
}

Platform *platform_of(const zel_sys_ctx_t *ctx) {
    if (!ctx) return nullptr;
    std::lock_guard<std::mutex> g(g_live_mu);
    for (auto *s : g_live)
        if (&s->p.ctx == ctx) return &s->p;
    return nullptr;
}

}  // namespace zsim

using zsim::Platform;

extern "C" {

zel_sim_t *zel_sim_create(const zel_sim_image_t *image) try {
    zel_sim_image_t *dflt = nullptr;
    if (!image) image = dflt = zel_sim_image_default();
    hwe_engine_t *eng = image ? zel_sim_engine_create(image) : nullptr;
    zel_sim_image_free(dflt);
    if (!eng) return nullptr;
    auto *s = new (std::nothrow) zel_sim;
    if (!s) {
        zel_sim_engine_destroy(eng);
        return nullptr;
    }
    s->p.engine = eng;
    s->p.ctx.fw = &s->p;
    std::lock_guard<std::mutex> g(zsim::g_live_mu);
    zsim::g_live.push_back(s);
    return s;
} ZSIM_CATCH(nullptr)

void zel_sim_destroy(zel_sim_t *sim) try {
    if (!sim) return;
    {
        std::lock_guard<std::mutex> g(zsim::g_live_mu);
        zsim::g_live.erase(std::remove(zsim::g_live.begin(), zsim::g_live.end(), sim),
                           zsim::g_live.end());
    }
    zel_sim_engine_destroy(sim->p.engine);
    delete sim;
} ZSIM_CATCH_VOID

hwe_engine_t *zel_sim_engine(zel_sim_t *sim) try { return sim->p.engine; } ZSIM_CATCH(nullptr)
zel_sys_ctx_t *zel_sim_sys_ctx(zel_sim_t *sim) try { return &sim->p.ctx; } ZSIM_CATCH(nullptr)

zel_sim_t *zel_sim_of_ctx(const zel_sys_ctx_t *ctx) try {
    Platform *p = zsim::platform_of(ctx);
    return p ? reinterpret_cast<zel_sim_t *>(p) : nullptr;
} ZSIM_CATCH(nullptr)

zel_module_t *zel_sim_module_new(zel_sim_t *sim, const char *name, uint32_t log_level,
                                 int with_lock) try {
    auto obj = std::make_unique<zsim::ModuleObject>();
    obj->name = name ? name : "zel_ip";
    zel_module_t &m = obj->m;
    m.magic = ZEL_MODULE_MAGIC;
    m.log_level = log_level;
    m.name = obj->name.c_str();
    m.rw_lock = with_lock ? &obj->lock : nullptr;
    m.sys_ctx = &sim->p.ctx;
    m.engine = sim->p.engine;
    m.priv = nullptr;
    std::lock_guard<std::mutex> g(sim->p.mu);
    m.trace_handle = zsim::g_next_trace++;
    sim->p.modules.push_back(std::move(obj));
    return &sim->p.modules.back()->m;
} ZSIM_CATCH(nullptr)

void zel_sim_module_free(zel_module_t *module) try {
    if (!module) return;
    zsim::Platform *p = zsim::platform_of(module->sys_ctx);
    if (!p) return;
    std::lock_guard<std::mutex> g(p->mu);
    p->services.erase(module);
    auto &v = p->modules;
    v.erase(std::remove_if(v.begin(), v.end(), [&](auto &o) { return &o->m == module; }), v.end());
} ZSIM_CATCH_VOID

zel_module_t *zel_sim_sibling_module_new(zel_sim_t *sim, uint32_t module_id,
                                         uint16_t entry_fn_dir2, uint16_t entry_fn_other) try {
    auto m = std::make_unique<zel_module_t>();
    m->magic = ZEL_MODULE_MAGIC;
    m->name = zsim::sibling_name(module_id);
    m->sys_ctx = &sim->p.ctx;
    m->engine = sim->p.engine;
    m->module_id = module_id;
    m->entry_fn_dir2 = entry_fn_dir2;
    m->entry_fn_other = entry_fn_other;
    std::lock_guard<std::mutex> g(sim->p.mu);
    sim->p.siblings.push_back(std::move(m));
    return sim->p.siblings.back().get();
} ZSIM_CATCH(nullptr)

zel_obj_header_t *zel_sim_l2_interface_new(zel_sim_t *sim, uint32_t intf_id) try {
    // Interface ids are one namespace of the framework: the ids it hands
    // to the interfaces it makes (tunnels, virtual interfaces) are not
    // Layer-2 ids, and no two Layer-2 interfaces share one.
    if (zsim::engine_ns_contains(sim->p.engine, zsim::kSysIntfNamespace, intf_id)) return nullptr;
    auto h = std::make_unique<zel_obj_header_t>();
    h->intf_id = intf_id;
    h->magic = ZEL_INTF_HDR_MAGIC;
    std::lock_guard<std::mutex> g(sim->p.mu);
    for (const auto &l2 : sim->p.l2_interfaces)
        if (l2->intf_id == intf_id) return nullptr;
    sim->p.l2_interfaces.push_back(std::move(h));
    return sim->p.l2_interfaces.back().get();
} ZSIM_CATCH(nullptr)

void *zel_sim_qos_queue_new(zel_sim_t *sim, uint32_t queue_id) try {
    auto q = std::make_unique<zsim::QosQueue>();
    q->queue_id = queue_id;
    std::lock_guard<std::mutex> g(sim->p.mu);
    sim->p.queues.push_back(std::move(q));
    return sim->p.queues.back().get();
} ZSIM_CATCH(nullptr)

void *zel_sim_qos_policer_new(zel_sim_t *sim, uint32_t flow_id) try {
    auto q = std::make_unique<zsim::QosPolicer>();
    q->flow_id = flow_id;
    std::lock_guard<std::mutex> g(sim->p.mu);
    sim->p.policers.push_back(std::move(q));
    return sim->p.policers.back().get();
} ZSIM_CATCH(nullptr)

void *zel_sim_qos_ds_policy_new(zel_sim_t *sim) try {
    std::lock_guard<std::mutex> g(sim->p.mu);
    sim->p.policies.push_back(std::make_unique<zsim::QosPolicy>());
    return sim->p.policies.back().get();
} ZSIM_CATCH(nullptr)

void zel_sim_qos_ds_policy_map(void *policy, uint32_t class_type, uint32_t class_id,
                               uint32_t queue_id) try {
    static_cast<zsim::QosPolicy *>(policy)->classes[{class_type, class_id}] = queue_id;
} ZSIM_CATCH_VOID

uint8_t zel_sim_qos_queue_capture(void *queue) try {
    return static_cast<zsim::QosQueue *>(queue)->capture;
} ZSIM_CATCH(0)

void zel_sim_qos_queue_capture_set(void *queue, uint8_t on) try {
    static_cast<zsim::QosQueue *>(queue)->capture = on;
} ZSIM_CATCH_VOID

uint32_t zel_sim_qos_queue_capture_calls(void *queue, uint32_t *reads) try {
    const auto *q = static_cast<zsim::QosQueue *>(queue);
    if (reads) *reads = q->capture_reads;
    return q->capture_enables;
} ZSIM_CATCH(0)

void zel_sim_eioa_map(zel_sim_t *sim, uint32_t logical_port, uint32_t eioa_port) try {
    std::lock_guard<std::mutex> g(sim->p.mu);
    sim->p.eioa[logical_port] = eioa_port;
} ZSIM_CATCH_VOID

void zel_sim_set_compact_hook(zel_sim_t *sim, zel_sim_compact_hook_t hook, void *user) try {
    std::lock_guard<std::mutex> g(sim->p.mu);
    sim->p.compact_hook = hook;
    sim->p.compact_user = user;
} ZSIM_CATCH_VOID

void zel_sim_compact_auto(zel_sim_t *sim, uint32_t every_n_ops, int use_callback) try {
    std::lock_guard<std::mutex> g(sim->p.mu);
    sim->p.compact_every = every_n_ops;
    sim->p.compact_with_callback = use_callback != 0;
    sim->p.compact_base = 0;
    sim->p.compact_polls = 0;
    if (!sim->p.compact_registered) return;
    const zel_module_t *m = sim->p.compact_reg.module;
    for (const auto &mo : sim->p.modules)
        if (&mo->m == m && m->rw_lock) sim->p.compact_base = mo->lock.write_releases.load();
} ZSIM_CATCH_VOID

int zel_sim_compact_poll(zel_sim_t *sim, uint32_t *status) try {
    zel_module_t *m = nullptr;
    uint32_t (*compact)(zel_sys_ctx_t *, uint32_t, zel_module_t *, uint32_t) = nullptr;
    uint32_t mask = 0;
    bool with_callback = false;
    zsim::ModuleObject *obj = nullptr;
    {
        // 1. Due? The registered module must still be one of ours.
        std::lock_guard<std::mutex> g(sim->p.mu);
        zsim::Platform &p = sim->p;
        if (!p.compact_every || !p.compact_registered) return 0;
        for (const auto &mo : p.modules)
            if (&mo->m == p.compact_reg.module) obj = mo.get();
        if (!obj) return 0;
        auto it = p.services.find(&obj->m);
        if (it == p.services.end() || !it->second.compact_func) return 0;
        const uint64_t done = obj->m.rw_lock ? obj->lock.write_releases.load() : ++p.compact_polls;
        if (done - p.compact_base < p.compact_every) return 0;
        m = &obj->m;
        compact = it->second.compact_func;
        mask = p.compact_reg.flag_mask;
        with_callback = p.compact_with_callback;
    }
    // 2. The module's compaction, as the framework calls it (no lock of
    //    ours held: it calls back into the framework).
    const uint32_t st = compact(&sim->p.ctx, mask, m, with_callback ? 1 : 0);
    if (status) *status = st;
    // 3. The next one counts from here (the compaction's own lock
    //    releases are not operations of the application).
    std::lock_guard<std::mutex> g(sim->p.mu);
    if (m->rw_lock) {
        sim->p.compact_base = obj->lock.write_releases.load();
    } else {
        sim->p.compact_base = 0;
        sim->p.compact_polls = 0;
    }
    return 1;
} ZSIM_CATCH(0)

const zel_service_table_t *zel_sim_service_table(zel_sim_t *sim, const zel_module_t *module) try {
    std::lock_guard<std::mutex> g(sim->p.mu);
    auto it = sim->p.services.find(module);
    return it == sim->p.services.end() ? nullptr : &it->second;
} ZSIM_CATCH(nullptr)

int zel_sim_compact_registration(zel_sim_t *sim, zel_compact_reg_t *out) try {
    std::lock_guard<std::mutex> g(sim->p.mu);
    if (!sim->p.compact_registered) return 0;
    if (out) *out = sim->p.compact_reg;
    return 1;
} ZSIM_CATCH(0)

uint32_t zel_sim_demux_count(zel_sim_t *sim) try {
    std::lock_guard<std::mutex> g(sim->p.mu);
    return static_cast<uint32_t>(sim->p.demux.size());
} ZSIM_CATCH(::zsim::boundary_status(__func__))

int zel_sim_demux_find(zel_sim_t *sim, uint16_t port, zel_demux_rec_t *out) try {
    std::lock_guard<std::mutex> g(sim->p.mu);
    auto it = sim->p.demux.find(port);
    if (it == sim->p.demux.end()) return 0;
    if (out) *out = it->second;
    return 1;
} ZSIM_CATCH(0)

uint32_t zel_sim_port_map_count(zel_sim_t *sim) try {
    std::lock_guard<std::mutex> g(sim->p.mu);
    return static_cast<uint32_t>(sim->p.port_map.size());
} ZSIM_CATCH(::zsim::boundary_status(__func__))

int zel_sim_port_map_find(zel_sim_t *sim, uint32_t intf_id, uint32_t *port) try {
    std::lock_guard<std::mutex> g(sim->p.mu);
    auto it = sim->p.port_map.find(intf_id);
    if (it == sim->p.port_map.end()) return 0;
    if (port) *port = it->second;
    return 1;
} ZSIM_CATCH(0)

uint32_t zel_sim_interface_ids_in_use(zel_sim_t *sim) try {
    return zsim::engine_ns_in_use(sim->p.engine, zsim::kSysIntfNamespace);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sim_pdu_count(void) try {
    std::lock_guard<std::mutex> g(zsim::g_pdu_mu);
    return static_cast<uint32_t>(zsim::g_pdus.size());
} ZSIM_CATCH(::zsim::boundary_status(__func__))

int zel_sim_pdu_get(uint32_t index, zel_sim_pdu_t *out) try {
    std::lock_guard<std::mutex> g(zsim::g_pdu_mu);
    if (index >= zsim::g_pdus.size()) return 0;
    *out = zsim::g_pdus[index];
    return 1;
} ZSIM_CATCH(0)

void zel_sim_pdu_clear(void) try {
    std::lock_guard<std::mutex> g(zsim::g_pdu_mu);
    zsim::g_pdus.clear();
} ZSIM_CATCH_VOID

}  // extern "C"
