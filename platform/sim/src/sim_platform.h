// The framework half of the software platform: one Platform per
// zel_sim_create, holding the framework instance (system context, objects
// it owns, registrations, tunnel CPU path tables, PDU log) next to the
// engine it drives.
#ifndef ZSIM_PLATFORM_H
#define ZSIM_PLATFORM_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "zel_sim.h"

// The framework's module lock. It is not recursive: a writer that asks
// for it again, or a post on a lock nobody holds, is refused with
// ZEL_E_INVALID_STATE rather than left to the mutex (deadlock or undefined
// behaviour).
struct zel_rw_lock {
    std::shared_mutex mu;
    std::atomic<std::thread::id> writer{};  // holder in write mode, or none
    std::atomic<uint32_t> readers{0};       // holders in read mode
    std::atomic<uint64_t> write_releases{0};  // operations completed (periodic compaction)
};

namespace zsim {

// Magic words of the framework's own objects (QoS objects are handles the
// framework gives the application; it checks them when they come back).
constexpr uint32_t kQueueMagic = 0x51554555;    // "QUEU"
constexpr uint32_t kPolicerMagic = 0x504f4c49;  // "POLI"
constexpr uint32_t kPolicyMagic = 0x44535050;   // "DSPP"

struct QosQueue {
    uint32_t magic = kQueueMagic;
    uint32_t queue_id = 0;
    uint8_t capture = 0;          // capture delivery: 1 on
    uint32_t capture_enables = 0;  // zel_qos_queue_pkt_capture_enable calls that succeeded
    uint32_t capture_reads = 0;    // zel_qos_queue_pkt_capture_status_get calls that succeeded
};
struct QosPolicer {
    uint32_t magic = kPolicerMagic;
    uint32_t flow_id = 0;
};
struct QosPolicy {
    uint32_t magic = kPolicyMagic;
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> classes;  // (type, id) -> queue
};

// A module object as the framework allocates it, with what it owns.
struct ModuleObject {
    zel_module_t m{};
    std::string name;
    zel_rw_lock lock;
};

struct Platform {
    std::mutex mu;  // guards the containers below (modules may run in threads)
    hwe_engine_t *engine = nullptr;
    zel_sys_ctx_t ctx{};
    std::vector<std::unique_ptr<ModuleObject>> modules;
    std::vector<std::unique_ptr<zel_module_t>> siblings;
    std::vector<std::unique_ptr<zel_flow_header_t>> sibling_flows;
    std::vector<std::unique_ptr<zel_obj_header_t>> l2_interfaces;
    std::vector<std::unique_ptr<QosQueue>> queues;
    std::vector<std::unique_ptr<QosPolicer>> policers;
    std::vector<std::unique_ptr<QosPolicy>> policies;
    std::map<uint32_t, uint32_t> eioa;                          // logical -> EIOA port
    std::map<const zel_module_t *, zel_service_table_t> services;
    bool compact_registered = false;
    zel_compact_reg_t compact_reg{};
    zel_sim_compact_hook_t compact_hook = nullptr;
    void *compact_user = nullptr;
    // Periodic compaction (zel_sim_compact_auto): every `compact_every`
    // operations of the registered module, counted from `compact_base`.
    uint32_t compact_every = 0;
    bool compact_with_callback = false;
    uint64_t compact_base = 0;
    uint64_t compact_polls = 0;
    std::map<uint16_t, zel_demux_rec_t> demux;                  // by port
    std::map<uint32_t, uint32_t> port_map;                      // INTF-ID -> port
};

// The platform a framework context belongs to (nullptr if none).
Platform *platform_of(const zel_sys_ctx_t *ctx);

// True when `obj` is a QoS object of the platform of `ctx` (of any live
// platform when ctx is NULL).
bool qos_known(const zel_sys_ctx_t *ctx, const void *obj);

// Name of a sibling module by module id (static storage).
const char *sibling_name(uint32_t module_id);

// Append a sent PDU to the process-wide log; false when memory is short.
bool record_pdu(const zel_sim_pdu_t &pdu);

// Hooks of the engine model used by the framework model; they are not
// platform entry points, so the fault table does not see them.
inline constexpr const char *kSysIntfNamespace = "zel_sys_intf_ids";
const char *engine_symbol_name(uint32_t id);
uint32_t engine_symbol_id(const char *name);
uint32_t engine_ns_alloc(hwe_engine_t *eng, const char *ns_name, uint32_t *id);
uint32_t engine_ns_free(hwe_engine_t *eng, const char *ns_name, uint32_t id);
uint32_t engine_ns_in_use(hwe_engine_t *eng, const char *ns_name);
bool engine_ns_contains(hwe_engine_t *eng, const char *ns_name, uint32_t id);

}  // namespace zsim

#endif  // ZSIM_PLATFORM_H
