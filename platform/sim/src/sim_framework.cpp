// The framework's services: module lock, status texts, service-function
// and compaction registration, interface ids, EIOA ports, the QoS service,
// the tunnel CPU path tables, tree names and the PDU send service.
//
// Each entry point asks the fault table first; a failing call changes
// nothing. The framework checks the objects it is handed (a QoS handle,
// a system context) and refuses unknown ones with ZEL_E_INVALID_HANDLE.
#include <cstdio>
#include <cstring>

#include "sim_fault.h"
#include "sim_platform.h"

using zsim::Platform;
using zsim::platform_of;

zel_module_cpu_service_t *moduleMgrCpuServiceFn[ZEL_MODULE_ID_MAX];

namespace {

// Texts of the framework's own codes.
const char *framework_text(uint32_t code) {
    switch (code) {
        case 0: return "Success";
        case ZEL_E_INVALID_HANDLE: return "Invalid handle";
        case ZEL_E_INVALID_PARAM: return "Invalid parameter";
        case ZEL_E_NO_SLOT: return "No free slot in table";
        case ZEL_E_BIND_ENTRY: return "Entry function not available";
        case ZEL_E_INVALID_STATE: return "Operation not allowed in current state";
        case ZEL_E_NO_MEMORY: return "Memory allocation failed";
        case ZEL_E_NO_VRD: return "Routing domain does not exist";
        case ZEL_E_RSRC_FIND: return "Namespace resource not found";
        case ZEL_E_RSRC_CREATE: return "Namespace resource create failed";
        case ZEL_E_RSRC_DESTROY: return "Namespace resource destroy failed";
        case ZEL_E_NSID_ALLOC: return "NS ID allocation failed";
        case ZEL_E_NSID_FREE: return "NS ID free failed";
        case ZEL_E_SE_READ: return "State engine read failed";
        case ZEL_E_SE_WRITE: return "State engine write failed";
        case ZEL_E_SUBNET_CREATE: return "Subnet database create failed";
        case ZEL_E_SUBNET_DESTROY: return "Subnet database destroy failed";
        case ZEL_E_SUBNET_ADD: return "Subnet database add failed";
        case ZEL_E_SUBNET_DELETE: return "Subnet database delete failed";
        case ZEL_E_SUBNET_FIND: return "Subnet database find higher failed";
        case ZEL_E_SYMBOL: return "FPL tree or function not found";
        case ZEL_E_PTN_LEARN: return "Pattern learn failed";
        case ZEL_E_PTN_UNLEARN: return "Pattern unlearn failed";
        case ZEL_E_PTN_UNLEARN_ALL: return "Pattern unlearn all failed";
        case ZEL_E_COMPACT: return "Tree compaction failed";
        case ZEL_E_OTREESET_INSERT: return "Rule set insert failed";
        case ZEL_E_OTREESET_DELETE: return "Rule set delete failed";
        case ZEL_E_OTREESET_BUILD: return "OtreeSet build failed";
        case 0x54: return "Rule set rule program failed";
        case 0x55: return "Rule set rule remove failed";
        case 0x57: return "Rule set build failed";
        case 0x58: return "Rule set rebuild failed";
        case ZEL_E_TREE_DUMP: return "Tree dump failed";
        case ZEL_E_PARAM_WRITE: return "Parameter write failed";
        case ZEL_E_COMPACT_STATUS_1: return "Compaction stopped by the framework";
        case ZEL_E_COMPACT_CHANGED: return "Tree changed during compaction";
        case ZEL_E_COMPACT_STATUS_3: return "Compaction stopped by the engine";
        default: return nullptr;
    }
}

// Unknown codes get a text of their own, valid until the next call.
const char *numbered_text(const char *what, uint32_t code) {
    static thread_local char buf[64];
    std::snprintf(buf, sizeof buf, "%s 0x%x", what, code);
    return buf;
}

}  // namespace

extern "C" {

uint32_t zel_sys_rw_lock_wait(zel_rw_lock_t *lock, uint32_t mode) try {
    ZSIM_FAULT_POINT();
    if (!lock) return ZEL_E_INVALID_HANDLE;
    const std::thread::id self = std::this_thread::get_id();
    if (lock->writer.load() == self) return ZEL_E_INVALID_STATE;
    if (mode == 1) {
        lock->mu.lock();
        lock->writer.store(self);
    } else {
        lock->mu.lock_shared();
        lock->readers.fetch_add(1);
    }
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sys_rw_lock_post(zel_rw_lock_t *lock) try {
    // An injected failure is reported after the release (see sim_fault.h).
    static ::zsim::FaultPoint fp(__func__, true);
    const uint32_t injected = ::zsim::fault_check_fast(fp);
    if (!lock) return injected ? injected : ZEL_E_INVALID_HANDLE;
    // Only a holder posts: a writer clears its mark before unlocking.
    if (lock->writer.load() == std::this_thread::get_id()) {
        lock->writer.store(std::thread::id{});
        lock->write_releases.fetch_add(1, std::memory_order_relaxed);
        lock->mu.unlock();
    } else {
        uint32_t n = lock->readers.load();
        do {
            if (n == 0) return injected ? injected : ZEL_E_INVALID_STATE;
        } while (!lock->readers.compare_exchange_weak(n, n - 1));
        lock->mu.unlock_shared();
    }
    return injected;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

const char *zel_sys_status_get(zel_sys_ctx_t *ctx, uint32_t status) try {
    ZSIM_COUNT_POINT();
    uint32_t code = status & ~ZEL_SEV_MASK;
    if (code >> 24) {
        // A module's own code: its registered error-name service names it.
        if (Platform *p = platform_of(ctx)) {
            std::lock_guard<std::mutex> g(p->mu);
            for (auto &kv : p->services)
                if (kv.second.error_name) return kv.second.error_name(code);
        }
        return numbered_text("Module status", code);
    }
    if (const char *t = framework_text(code)) return t;
    if (code >= 0x1f0 && code <= 0x1ff) return hwe_status_get(code);
    return numbered_text("Unknown status", code);
} ZSIM_CATCH("")

uint32_t zel_module_service_function_register(zel_sys_ctx_t *ctx, zel_module_t *module,
                                              const zel_service_table_t *table,
                                              const zel_service_table_t *table2) try {
    ZSIM_FAULT_POINT();
    Platform *p = platform_of(ctx);
    if (!p || !module || !table || !table2) return ZEL_E_INVALID_PARAM;
    std::lock_guard<std::mutex> g(p->mu);
    p->services[module] = *table;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_module_service_function_update(zel_sys_ctx_t *ctx, zel_module_t *module,
                                            const zel_service_table_t *table) try {
    ZSIM_FAULT_POINT();
    Platform *p = platform_of(ctx);
    if (!p || !module || !table) return ZEL_E_INVALID_PARAM;
    std::lock_guard<std::mutex> g(p->mu);
    p->services[module] = *table;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sys_interface_id_alloc(zel_sys_ctx_t *ctx, uint32_t *intf_id) try {
    ZSIM_FAULT_POINT();
    Platform *p = platform_of(ctx);
    if (!p || !intf_id) return ZEL_E_INVALID_PARAM;
    if (zsim::engine_ns_alloc(p->engine, zsim::kSysIntfNamespace, intf_id)) return ZEL_E_NO_SLOT;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sys_interface_id_free(zel_sys_ctx_t *ctx, uint32_t intf_id) try {
    ZSIM_FAULT_POINT();
    Platform *p = platform_of(ctx);
    if (!p) return ZEL_E_INVALID_PARAM;
    if (zsim::engine_ns_free(p->engine, zsim::kSysIntfNamespace, intf_id))
        return ZEL_E_INVALID_PARAM;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sys_eioa_port_number_get(zel_sys_ctx_t *ctx, uint32_t logical_port,
                                      uint32_t *eioa_port) try {
    ZSIM_FAULT_POINT();
    Platform *p = platform_of(ctx);
    if (!p || !eioa_port) return ZEL_E_INVALID_PARAM;
    std::lock_guard<std::mutex> g(p->mu);
    auto it = p->eioa.find(logical_port);
    if (it == p->eioa.end()) return ZEL_E_INVALID_PARAM;
    *eioa_port = it->second;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

const char *zel_sys_compact_rock_status_get(const zel_compact_ctx_t *c) try {
    ZSIM_COUNT_POINT();
    if (!c) return "No compaction";
    switch (c->status) {
        case 0: return "Running";
        case 1: return "Stopped by framework";
        case 2: return "Tree changed";
        case 3: return "Stopped by engine";
        case 5: return "Module invalid";
        default: return "Unknown";
    }
} ZSIM_CATCH("")

uint32_t zel_ph_cpu_pdu_send(uint32_t word4, uint32_t word5, uint32_t all_ones,
                             const void *pipeline_pair, const void *send_header, void *pdu2,
                             void *pdu1, uint32_t a, uint32_t b, uint32_t c) try {
    ZSIM_FAULT_POINT();
    if (!pipeline_pair || !send_header) return ZEL_E_INVALID_PARAM;
    // The pipeline handle names the engine; find the platform through it.
    zel_sim_pdu_t rec{};
    rec.word4 = word4;
    rec.word5 = word5;
    rec.all_ones = all_ones;
    std::memcpy(rec.pipeline, pipeline_pair, sizeof rec.pipeline);
    std::memcpy(rec.header, send_header, sizeof rec.header);
    rec.pdu1 = pdu1;
    rec.pdu2 = pdu2;
    rec.a = a;
    rec.b = b;
    rec.c = c;
    return zsim::record_pdu(rec) ? 0 : ZEL_E_INVALID_PARAM;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

const char *zel_sif_fps_map(uint32_t tree_id) try {
    ZSIM_COUNT_POINT();
    if (const char *n = zsim::engine_symbol_name(tree_id)) return n;
    return numbered_text("unknown-tree", tree_id);
} ZSIM_CATCH("")

uint32_t zel_sif_max_subnet_entry_sz_get(uint32_t width, uint32_t flag, uint32_t *size,
                                         uint32_t *optimized_size) try {
    ZSIM_FAULT_POINT();
    if (!size || !optimized_size || width == 0 || width >= ZEL_PTN_MAX_BITS)
        return ZEL_E_INVALID_PARAM;
    // A database entry holds the key bytes twice (value and mask) plus an
    // action and links, rounded to 4 bytes; the optimised layout of a
    // sized tree drops the mask copy.
    uint32_t key_bytes = (width + 7) / 8;
    *size = (8 + 2 * key_bytes + 3) & ~3u;
    *optimized_size = flag ? ((8 + key_bytes + 3) & ~3u) : *size;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sif_compact_register(zel_sys_ctx_t *ctx, const zel_compact_reg_t *reg) try {
    ZSIM_FAULT_POINT();
    Platform *p = platform_of(ctx);
    if (!p || !reg) return ZEL_E_INVALID_PARAM;
    std::lock_guard<std::mutex> g(p->mu);
    p->compact_registered = true;
    p->compact_reg = *reg;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sif_compact_callback(zel_compact_ctx_t *c) try {
    ZSIM_FAULT_POINT();
    if (!c) return ZEL_E_INVALID_PARAM;
    Platform *p = platform_of(c->sys_ctx ? c->sys_ctx : (c->module ? c->module->sys_ctx : nullptr));
    if (!p) return 0;
    zel_sim_compact_hook_t hook;
    void *user;
    {
        std::lock_guard<std::mutex> g(p->mu);
        hook = p->compact_hook;
        user = p->compact_user;
    }
    return hook ? hook(user, c) : 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sif_netDriver_demux_add(zel_sys_ctx_t *ctx, const zel_demux_rec_t *rec) try {
    ZSIM_FAULT_POINT();
    Platform *p = platform_of(ctx);
    if (!p || !rec) return ZEL_E_INVALID_PARAM;
    std::lock_guard<std::mutex> g(p->mu);
    if (p->demux.count(rec->port)) return ZEL_E_INVALID_STATE;
    p->demux[rec->port] = *rec;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sif_netDriver_demux_remove(zel_sys_ctx_t *ctx, const zel_demux_rec_t *rec) try {
    ZSIM_FAULT_POINT();
    Platform *p = platform_of(ctx);
    if (!p || !rec) return ZEL_E_INVALID_PARAM;
    std::lock_guard<std::mutex> g(p->mu);
    if (!p->demux.erase(rec->port)) return ZEL_E_INVALID_PARAM;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sif_interface_to_outPort_mapping_add(zel_sys_ctx_t *ctx, uint32_t intf_id,
                                                 uint32_t port) try {
    ZSIM_FAULT_POINT();
    Platform *p = platform_of(ctx);
    if (!p) return ZEL_E_INVALID_PARAM;
    std::lock_guard<std::mutex> g(p->mu);
    if (p->port_map.count(intf_id)) return ZEL_E_INVALID_STATE;
    p->port_map[intf_id] = port;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sif_interface_to_outPort_mapping_remove(zel_sys_ctx_t *ctx, uint32_t intf_id) try {
    ZSIM_FAULT_POINT();
    Platform *p = platform_of(ctx);
    if (!p) return ZEL_E_INVALID_PARAM;
    std::lock_guard<std::mutex> g(p->mu);
    if (!p->port_map.erase(intf_id)) return ZEL_E_INVALID_PARAM;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_qos_queue_id_get(zel_sys_ctx_t *ctx, void *queue, uint32_t *queue_id) try {
    ZSIM_FAULT_POINT();
    auto *q = static_cast<zsim::QosQueue *>(queue);
    if (!platform_of(ctx) || !q || !queue_id || !zsim::qos_known(ctx, q))
        return ZEL_E_INVALID_HANDLE;
    *queue_id = q->queue_id;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_qos_ds_policy_queueId_get(zel_sys_ctx_t *ctx, void *policy, uint32_t class_id,
                                       uint32_t class_type, uint32_t *queue_id) try {
    ZSIM_FAULT_POINT();
    auto *pol = static_cast<zsim::QosPolicy *>(policy);
    if (!platform_of(ctx) || !pol || !queue_id || !zsim::qos_known(ctx, pol))
        return ZEL_E_INVALID_HANDLE;
    auto it = pol->classes.find({class_type, class_id});
    if (it == pol->classes.end()) return ZEL_E_INVALID_PARAM;
    *queue_id = it->second;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_qos_policing_flow_id_get(zel_sys_ctx_t *ctx, void *policer, uint32_t *flow_id) try {
    ZSIM_FAULT_POINT();
    auto *pol = static_cast<zsim::QosPolicer *>(policer);
    if (!platform_of(ctx) || !pol || !flow_id || !zsim::qos_known(ctx, pol))
        return ZEL_E_INVALID_HANDLE;
    *flow_id = pol->flow_id;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_qos_queue_pkt_capture_enable(zel_sys_ctx_t *ctx, void *queue) try {
    ZSIM_FAULT_POINT();
    auto *q = static_cast<zsim::QosQueue *>(queue);
    if (!platform_of(ctx) || !q || !zsim::qos_known(ctx, q)) return ZEL_E_INVALID_HANDLE;
    q->capture = 1;
    ++q->capture_enables;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_qos_queue_pkt_capture_status_get(void *queue, uint8_t *status) try {
    ZSIM_FAULT_POINT();
    auto *q = static_cast<zsim::QosQueue *>(queue);
    if (!q || !status || !zsim::qos_known(nullptr, q)) return ZEL_E_INVALID_HANDLE;
    *status = q->capture;
    ++q->capture_reads;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

}  // extern "C"
