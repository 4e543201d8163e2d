// The engine's small services: time, byte order, status texts, tree
// memory statistics and the CPU send pipeline handle.
//
// Time is a deterministic clock: every hwe_gettime call advances it by one
// microsecond from zero (or from the last zel_sim_time_reset), so traces
// that print it are reproducible. Tree statistics are deterministic too:
// root memory is the tree record plus its current table, program memory a
// fixed figure per tree (what its lookup program takes), and InitTableSize
// the key bits its first-level table resolves, from the image.
#include <arpa/inet.h>

#include <atomic>

#include "sim_engine.h"
#include "sim_fault.h"

namespace {

std::atomic<uint64_t> g_clock_us{0};

constexpr uint32_t kTreeRecordBytes = 64;

uint32_t prog_mem(const zsim::Tree &t) {
    if (t.kind != ZEL_SIM_TREE_SINGLE) return 1024 + 64 * static_cast<uint32_t>(t.fields.size());
    return 256 + 16 * t.width;
}

}  // namespace

extern "C" {

uint32_t hwe_gettime(hwe_time_t *t) try {
    ZSIM_COUNT_POINT();
    uint64_t us = g_clock_us.fetch_add(1);
    if (t) {
        t->sec = static_cast<uint32_t>(us / 1000000);
        t->usec = static_cast<uint32_t>(us % 1000000);
    }
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

void zel_sim_time_reset(void) { g_clock_us.store(0); }

uint32_t hwe_htonl(uint32_t v) {
    ZSIM_COUNT_POINT();
    return htonl(v);
}
uint16_t hwe_htons(uint16_t v) {
    ZSIM_COUNT_POINT();
    return htons(v);
}
uint32_t hwe_ntohl(uint32_t v) {
    ZSIM_COUNT_POINT();
    return ntohl(v);
}
uint16_t hwe_ntohs(uint16_t v) {
    ZSIM_COUNT_POINT();
    return ntohs(v);
}
uint64_t hwe_ntohll(uint64_t v) {
    ZSIM_COUNT_POINT();
    return (static_cast<uint64_t>(ntohl(static_cast<uint32_t>(v))) << 32) |
           ntohl(static_cast<uint32_t>(v >> 32));
}

const char *hwe_status_get(uint32_t status) try {
    ZSIM_COUNT_POINT();
    switch (status) {
        case HWE_OK: return "Success";
        case HWE_E_PARAM: return "Invalid argument";
        case HWE_E_NO_MEMORY: return "Engine memory exhausted";
        case HWE_E_NOT_FOUND: return "No such symbol, namespace or entry";
        case HWE_E_EXISTS: return "Name already in use";
        case HWE_E_ID_TAKEN: return "NS id already allocated";
        case HWE_E_ID_RANGE: return "NS id outside the namespace or not allocated";
        case HWE_E_NOT_LEARNT: return "Pattern is not learnt";
        case HWE_E_KEY: return "Key does not fit the tree";
        case HWE_E_EXHAUSTED: return "Namespace has no free id";
        case HWE_E_RULE_INDEX: return "Rule index already used or absent";
        case HWE_E_FAULT: return "Injected fault";
        case HWE_E_REBUILD: return "Rule set must be rebuilt whole";
        case HWE_E_ABORTED: return "Compaction stopped by its callback";
        case HWE_E_BOUNDS: return "Offset or length outside the record";
        default: return "Unknown engine status";
    }
} ZSIM_CATCH("")

uint32_t hwe_ptn_fn_stats(hwe_engine_t *eng, uint32_t tree_id, hwe_ptn_fn_stats_t *stats) try {
    ZSIM_FAULT_POINT();
    if (!zsim::engine_ok(eng) || !stats) return HWE_E_PARAM;
    std::lock_guard<std::mutex> g(eng->mu);
    const zsim::Tree *t = zsim::find_tree(eng, tree_id);
    if (!t) return HWE_E_NOT_FOUND;
    stats->root_mem_used = kTreeRecordBytes + static_cast<uint32_t>(zsim::tree_bytes(*t));
    stats->prog_mem_used = prog_mem(*t);
    stats->init_table_size = t->init_table_size;
    stats->entries = t->kind == ZEL_SIM_TREE_SINGLE ? t->learnt : zsim::ruleset_count(*t);
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_vp_handle_get_cpu_ip_pdu_send(hwe_engine_t *eng, uint32_t *vp) try {
    ZSIM_FAULT_POINT();
    if (!zsim::engine_ok(eng) || !vp) return HWE_E_PARAM;
    *vp = ZEL_SIM_CPU_IP_PDU_VP;
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

}  // extern "C"
