// The one fault table of the software platform (see sim_fault.h).
#include "sim_fault.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "zel_sim.h"

namespace zsim {

std::atomic<bool> g_fault_armed{false};
thread_local constinit CallBlock *t_calls __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

// Every registered entry point, for counting by name, and every counter
// block ever handed out. Blocks are never freed: a thread's block goes to
// `spare` when the thread ends and the next new thread counts on in it.
struct Registry {
    std::mutex mu;
    std::vector<FaultPoint *> points;
    std::vector<CallBlock *> blocks;
    std::vector<CallBlock *> spare;
    CallBlock late{};                  // calls of threads being torn down (atomic adds)
    uint64_t base[kMaxFaultPoints] = {};  // sums at the last counter reset
};
Registry &registry() {
    static Registry *r = new Registry();  // outlives every thread's teardown
    return *r;
}

// Calls of point `i` since the process started. Caller holds r.mu.
uint64_t total_calls(const Registry &r, int i) {
    uint64_t n = r.late.n[i].load(std::memory_order_relaxed);
    for (const CallBlock *b : r.blocks) n += b->n[i].load(std::memory_order_relaxed);
    return n;
}

thread_local bool t_owner_gone = false;

// Gives the thread's block back when the thread ends.
struct BlockOwner {
    CallBlock *block = nullptr;
    ~BlockOwner() {
        t_calls = nullptr;
        t_owner_gone = true;
        Registry &r = registry();
        std::lock_guard<std::mutex> g(r.mu);
        r.spare.push_back(block);
    }
};
thread_local BlockOwner t_owner;

// Every entry point the platform headers declare, by name: what `fault`
// in the tool and the fault helpers of tests may name. A test compares
// the list with the headers.
constexpr const char *kEntryPoints[] = {
    "hwe_gettime", "hwe_htonl", "hwe_htons", "hwe_mtm_shared_param_get",
    "hwe_mtm_shared_param_mod", "hwe_ntohl", "hwe_ntohll", "hwe_ntohs", "hwe_nvm_calloc",
    "hwe_nvm_free", "hwe_ptn_compact_fn", "hwe_ptn_compact_fn_cb", "hwe_ptn_fn_stats",
    "hwe_ptn_learn", "hwe_ptn_list_ptns", "hwe_ptn_otreeset_build", "hwe_ptn_otreeset_delete",
    "hwe_ptn_otreeset_insert", "hwe_ptn_otreeset_list_vrules", "hwe_ptn_otreeset_modify",
    "hwe_ptn_ovtreeset_build", "hwe_ptn_ovtreeset_delete", "hwe_ptn_ovtreeset_insert",
    "hwe_ptn_ovtreeset_list_rules", "hwe_ptn_ovtreeset_modify", "hwe_ptn_ovtreeset_rebuild",
    "hwe_ptn_symbol_get_id", "hwe_ptn_unlearn", "hwe_ptn_unlearn_any", "hwe_rsrc_allocate",
    "hwe_rsrc_allocate_fixed", "hwe_rsrc_create", "hwe_rsrc_destroy", "hwe_rsrc_find",
    "hwe_rsrc_free", "hwe_se_state_get", "hwe_se_state_set", "hwe_sed_param_set", "hwe_status_get",
    "hwe_subnet_add_subnet", "hwe_subnet_create", "hwe_subnet_del_subnet", "hwe_subnet_destroy",
    "hwe_subnet_find_higher_subnet", "hwe_vp_handle_get_cpu_ip_pdu_send", "zel_byte_string_print",
    "zel_lttng_fn_ptr_get", "zel_lttng_trace_sif_force_error",
    "zel_module_service_function_register", "zel_module_service_function_update",
    "zel_ph_cpu_pdu_send", "zel_ptn_action_print", "zel_ptn_clear", "zel_ptn_extend",
    "zel_ptn_free", "zel_ptn_new", "zel_ptn_parse", "zel_ptn_print",
    "zel_qos_policing_flow_id_get", "zel_qos_queue_id_get", "zel_qos_queue_pkt_capture_enable",
    "zel_qos_queue_pkt_capture_status_get", "zel_rptn_print", "zel_sif_compact_callback",
    "zel_sif_compact_register", "zel_sif_fps_map", "zel_sif_max_subnet_entry_sz_get",
    "zel_sys_compact_rock_status_get", "zel_sys_eioa_port_number_get",
    "zel_sys_interface_id_alloc", "zel_sys_interface_id_free", "zel_sys_log_write", "zel_sys_rw_lock_post",
    "zel_sys_rw_lock_wait", "zel_sys_status_get", "zel_vptn_print",
};

enum class Mode { kOff, kNth, kRandom };

// All fault state, in one record.
struct FaultTable {
    std::mutex mu;
    Mode mode = Mode::kOff;
    std::string call;       // empty: any fallible call
    uint64_t nth = 0;       // fire at this matching call (1-based)
    bool persist = false;   // and on every matching call after it
    uint64_t seen = 0;      // matching calls since the fault was set
    uint64_t hits = 0;      // faults fired since the fault was set
    uint32_t status = 0;
    uint64_t rng = 0;       // random mode: splitmix64 state
    uint32_t permille = 0;
    std::string last_hit;
};
FaultTable &table() {
    static FaultTable t;
    return t;
}

uint64_t splitmix64(uint64_t &s) {
    uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

bool matches(const FaultTable &t, const FaultPoint &fp) {
    if (t.call.empty()) return fp.fallible;
    return t.call == fp.name;
}

// The decision: does this call of `fp` fail, and with which status?
uint32_t fault_decide(FaultTable &t, const FaultPoint &fp) {
    if (t.mode == Mode::kOff || !matches(t, fp)) return 0;
    ++t.seen;
    bool fire = false;
    if (t.mode == Mode::kNth) {
        fire = t.seen == t.nth || (t.persist && t.seen > t.nth);
    } else {
        fire = splitmix64(t.rng) % 1000 < t.permille;
    }
    if (!fire) return 0;
    ++t.hits;
    t.last_hit = fp.name;
    return t.status;
}

}  // namespace

FaultPoint::FaultPoint(const char *n, bool f) : name(n), fallible(f) {
    Registry &r = registry();
    std::lock_guard<std::mutex> g(r.mu);
    index = static_cast<int>(r.points.size());
    if (index >= kMaxFaultPoints) std::abort();  // raise kMaxFaultPoints
    r.points.push_back(this);
}

void count_call_slow(const FaultPoint &fp) {
    Registry &r = registry();
    if (t_owner_gone) {  // thread teardown: its block is someone else's now
        r.late.n[fp.index].fetch_add(1, std::memory_order_relaxed);
        return;
    }
    {
        std::lock_guard<std::mutex> g(r.mu);
        if (!r.spare.empty()) {
            t_calls = r.spare.back();
            r.spare.pop_back();
        } else {
            t_calls = new CallBlock();
            r.blocks.push_back(t_calls);
        }
    }
    t_owner.block = t_calls;  // first use: registers the teardown
    count_call(fp);
}

uint32_t fault_check(FaultPoint &fp) {
    FaultTable &t = table();
    std::lock_guard<std::mutex> g(t.mu);
    return fault_decide(t, fp);
}

uint32_t boundary_status(const char *fn) noexcept {
    const bool engine = fn && std::strncmp(fn, "hwe_", 4) == 0;
    try {
        throw;
    } catch (const std::bad_alloc &) {
        return engine ? HWE_E_NO_MEMORY : ZEL_E_NO_MEMORY;
    } catch (...) {
        return engine ? HWE_E_PARAM : ZEL_E_INVALID_STATE;
    }
}

}  // namespace zsim

using zsim::table;

extern "C" {

int zel_sim_call_known(const char *call) {
    if (!call) return 0;
    for (const char *name : zsim::kEntryPoints)
        if (std::strcmp(name, call) == 0) return 1;
    return 0;
}

const char *zel_sim_call_name(uint32_t index) {
    return index < sizeof zsim::kEntryPoints / sizeof zsim::kEntryPoints[0] ? zsim::kEntryPoints[index] : nullptr;
}

void zel_sim_fault_set(const char *call, uint32_t nth, uint32_t mode, uint32_t status) try {
    auto &t = table();
    std::lock_guard<std::mutex> g(t.mu);
    t.mode = nth == 0 ? zsim::Mode::kOff : zsim::Mode::kNth;
    t.call = call ? call : "";
    t.nth = nth;
    t.persist = mode == ZEL_SIM_FAULT_PERSIST;
    t.seen = 0;
    t.hits = 0;
    t.status = status ? status : HWE_E_FAULT;
    t.last_hit.clear();
    zsim::g_fault_armed.store(t.mode != zsim::Mode::kOff);
} ZSIM_CATCH_VOID

void zel_sim_fault_random(const char *call, uint64_t seed, uint32_t permille, uint32_t status) try {
    auto &t = table();
    std::lock_guard<std::mutex> g(t.mu);
    t.mode = zsim::Mode::kRandom;
    t.call = call ? call : "";
    t.rng = seed;
    t.permille = permille > 1000 ? 1000 : permille;
    t.seen = 0;
    t.hits = 0;
    t.status = status ? status : HWE_E_FAULT;
    t.last_hit.clear();
    zsim::g_fault_armed.store(true);
} ZSIM_CATCH_VOID

void zel_sim_fault_clear(void) try {
    auto &t = table();
    std::lock_guard<std::mutex> g(t.mu);
    t.mode = zsim::Mode::kOff;
    zsim::g_fault_armed.store(false);
} ZSIM_CATCH_VOID

uint64_t zel_sim_fault_hits(void) try {
    auto &t = table();
    std::lock_guard<std::mutex> g(t.mu);
    return t.hits;
} ZSIM_CATCH(0)

const char *zel_sim_fault_last_call(void) try {
    auto &t = table();
    std::lock_guard<std::mutex> g(t.mu);
    static thread_local std::string copy;
    copy = t.last_hit;
    return copy.c_str();
} ZSIM_CATCH("")

uint64_t zel_sim_call_count(const char *call) try {
    auto &r = zsim::registry();
    std::lock_guard<std::mutex> g(r.mu);
    uint64_t n = 0;
    for (const auto *p : r.points) {
        if (call ? std::strcmp(call, p->name) == 0 : p->fallible)
            n += zsim::total_calls(r, p->index) - r.base[p->index];
    }
    return n;
} ZSIM_CATCH(0)

void zel_sim_counters_reset(void) try {
    auto &r = zsim::registry();
    std::lock_guard<std::mutex> g(r.mu);
    for (const auto *p : r.points) r.base[p->index] = zsim::total_calls(r, p->index);
} ZSIM_CATCH_VOID

}  // extern "C"
