// Module start-up and shutdown.
//
// Start-up brings one instance up on an engine whose programs are loaded:
// log level, memory report, private block, the tree catalogue, service
// and compaction registration, the id pools, the default routing domain,
// global statistics, the default TTL and the fixed configuration. The
// block is attached to the module handle only when every step succeeded,
// so until then every operation answers 0x30001.
//
// A failed start-up leaves nothing behind: what its earlier steps made
// (key buffers, subnet databases, reserved ids, created id pools) is
// released before it returns, so a retried start-up on the same engine
// succeeds. When the platform refuses one of those releases, the thing is
// kept in a per-engine release journal and released at the beginning of
// the next start-up on that engine.
//
// Shutdown undoes start-up in a fixed order and records its progress in
// the private block: when a step fails the block stays attached, and a
// repeated shutdown resumes at the failed step without touching what was
// already released.
#include <cinttypes>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "core/zel_ip_call.h"
#include "core/zel_ip_limits.h"
#include "core/zel_ip_registry.h"
#include "core/zel_ip_settings_internal.h"
#include "tree/zel_ip_hw_catalogue.h"
#include "tree/zel_ip_hw_internal.h"
#include "tree/zel_ip_ledger.h"
#include "zel_ip/zel_ip_core.h"

using namespace zel::ip;

namespace {

#define MODULE_FMT "0x%08" PRIxPTR
uintptr_t handle_value(const zel_module_t *m) { return reinterpret_cast<uintptr_t>(m); }

// Status words of start-up and shutdown failures.
constexpr uint32_t kRsrcFind = fatal(ZEL_E_RSRC_FIND);        // 0x10019
constexpr uint32_t kRsrcCreate = fatal(ZEL_E_RSRC_CREATE);    // 0x1001a
constexpr uint32_t kRsrcDestroy = fatal(ZEL_E_RSRC_DESTROY);  // 0x1001b
constexpr uint32_t kNsIdAlloc = fatal(ZEL_E_NSID_ALLOC);      // 0x1001d
constexpr uint32_t kSeWrite = fatal(ZEL_E_SE_WRITE);          // 0x1002c
constexpr uint32_t kParamWrite = fatal(ZEL_E_PARAM_WRITE);    // 0x1007f

// ---------------------------------------------------------------------------
// Release journal: what a failed start-up could not release, per engine.
// ---------------------------------------------------------------------------

struct IdRange {
    hwe_rsrc_t *pool;
    uint32_t id;
    uint32_t count;
};

struct Leftovers {
    std::vector<zel_ptn_t> keys;
    std::vector<hwe_subnet_db_t *> dbs;
    std::vector<IdRange> ids;
    std::vector<hwe_rsrc_t *> pools;
    bool empty() const { return keys.empty() && dbs.empty() && ids.empty() && pools.empty(); }
};

std::mutex g_journal_mu;
std::map<const hwe_engine_t *, Leftovers> g_journal;  // GUARDED_BY(g_journal_mu)

// Keep `add` for the next start-up on `eng`. Best effort: when even the
// journal cannot grow, the thing stays with the platform.
template <typename Add>
void journal_keep(const hwe_engine_t *eng, Add &&add) {
    try {
        std::lock_guard<std::mutex> g(g_journal_mu);
        add(g_journal[eng]);
    } catch (...) {
    }
}

// Release what earlier failed start-ups on this engine left; what is
// refused again stays in the journal. Ids go back before their pools.
void journal_drain(zel_module_t *m) {
    Leftovers left;
    {
        std::lock_guard<std::mutex> g(g_journal_mu);
        auto it = g_journal.find(m->engine);
        if (it == g_journal.end()) return;
        left = std::move(it->second);
        g_journal.erase(it);
    }
    Leftovers again;
    try {
        for (zel_ptn_t &k : left.keys)
            if (zel_ptn_free(&k) != 0) again.keys.push_back(k);
        for (hwe_subnet_db_t *db : left.dbs)
            if (hwe_subnet_destroy(db) != 0) again.dbs.push_back(db);
        for (const IdRange &r : left.ids)
            if (hwe_rsrc_free(r.pool, r.id, r.count, nullptr) != 0) again.ids.push_back(r);
        for (hwe_rsrc_t *pool : left.pools)
            if (hwe_rsrc_destroy(m->engine, pool) != 0) again.pools.push_back(pool);
    } catch (...) {
    }
    if (!again.empty()) {
        ZLOG_WARN(m, "Resources of an earlier failed start-up are still held by the engine\n");
        journal_keep(m->engine, [&](Leftovers &l) { l = std::move(again); });
    }
}

// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------

// What this start-up made beyond what the block's fields show.
struct StartupProgress {
    uint32_t trees_touched = 0;    // trees[0 .. n) may hold a key buffer / database
    bool global_stats_ids = false; // the two global statistics ids are reserved
    bool default_egress_id = false;
};

// Namespace lines and failures share one shape.
uint32_t create_pool(zel_module_t *m, const char *name, uint32_t count, uint32_t base,
                     hwe_rsrc_t **pool, uint32_t *rte) {
    uint32_t st = hwe_rsrc_create(m->engine, 5, name, count, base, pool);
    if (st != 0) *pool = nullptr;
    *rte = st;
    return st;
}

uint32_t find_pool(zel_module_t *m, const char *name, hwe_rsrc_t **pool) {
    uint32_t st = hwe_rsrc_find(m->engine, 0, name, pool);
    if (st != 0) *pool = nullptr;
    return st;
}

void print_memory_report(zel_module_t *m) {
    uint64_t total = 0;
    for (const zel_ip_obj_size_t &row : ip_obj_size) {
        const uint32_t per_instance = row.bytes + row.header_bytes;
        const uint64_t max = static_cast<uint64_t>(per_instance) * row.max_instances;
        total += max;
        ZLOG_INFO(m,
                  "ZEL IP NVM Usage (%s): %d Bytes per instance, %d max instances, %d Bytes total "
                  "max\n",
                  row.name, static_cast<int>(per_instance), static_cast<int>(row.max_instances),
                  static_cast<int>(max));
    }
    ZLOG_INFO(m, "ZEL IP NVM Total Max Usage: %d Bytes\n", static_cast<int>(total));
}

// Steps 5 to 24 on a fresh block; returns 0 or the failing step's status
// (its message printed). `made` records what needs releasing.
uint32_t startup_steps(zel_module_t *m, ZelIpPriv &p, StartupProgress &made) {
    // 5. Flow functions.
    for (uint32_t i = 0; i < kNumFlowFuncs; ++i) {
        if (uint32_t st = zel_ip_get_fpl_flow_func_info(m, i, &p.flow_funcs[i]))
            return ZFAIL_FATAL(m, st, "Failed to get FPL Flow Func Info for idx %d\n", static_cast<int>(i));
    }
    // 6. Trees, collecting the compaction mask.
    uint32_t flag_mask = 0;
    for (uint32_t i = 0; i < kNumTrees; ++i) {
        made.trees_touched = i + 1;
        if (uint32_t st = zel_ipv4_get_tree_info(m, i, &p.trees[i]))
            return ZFAIL_FATAL(m, st, "Failed to get FPL tree info for idx %d\n", static_cast<int>(i));
        flag_mask |= p.trees[i].tree_flags;
    }
    // 7. Service functions.
    const zel_service_table_t table = service_table(&p);
    if (uint32_t st = zel_module_service_function_register(m->sys_ctx, m, &table, &table))
        return ZFAIL_FATAL(m, fatal(st), "Failed to register the service functions\n");
    // 8. Compaction.
    if (flag_mask != 0) {
        const zel_compact_reg_t reg{1, m, flag_mask};
        if (uint32_t st = zel_sif_compact_register(m->sys_ctx, &reg))
            return ZFAIL_FATAL(m, st, "Failed to register IP compaction function\n");
    }
    uint32_t rte = 0;
    // 9. Routing domain ids.
    if (create_pool(m, "zel_ipv4_vrd_ids", kVrdIdCount, kVrdIdBase, &p.vrd_ids_rsrc, &rte))
        return ZFAIL_FATAL(m, kRsrcCreate,
                           "Failed to create VRD ID resources resource handle, RTE Error: %s\n",
                           hwe_status_get(rte));
    ZLOG_INFO(m, "Maximum Number of Routing Domains = %d, Base ID = 0\n", static_cast<int>(kVrdIdCount));
    // 10. The default routing domain.
    if (uint32_t st = hwe_rsrc_allocate_fixed(p.vrd_ids_rsrc, 1, kDefaultVrdId))
        return ZFAIL_FATAL(m, kNsIdAlloc, "Failed to Reserve Default Routing Domain ID, RTE Error: %s\n",
                           hwe_status_get(st));
    ZLOG_INFO(m, "Reserved Default Routing Domain = %d\n", static_cast<int>(kDefaultVrdId));
    // 11. ACL rule set ids.
    if (create_pool(m, "zel_ipv4_filter_rule_set_ids", kRuleSetIdCount, kRuleSetIdBase,
                    &p.filter_rule_set_ids_rsrc, &rte))
        return ZFAIL_FATAL(m, kRsrcCreate,
                           "Failed to create Filter Rule Set ID Resource Handle, RTE Error: %s\n",
                           hwe_status_get(rte));
    ZLOG_INFO(m, "Maximum Number of ACL Rule Sets = %d, Base ID = 1\n", static_cast<int>(kRuleSetIdCount));
    // 12. PBR policy set ids.
    if (create_pool(m, "zel_ipv4_pbr_policy_set_ids", kPolicySetIdCount, kPolicySetIdBase,
                    &p.pbr_policy_set_ids_rsrc, &rte))
        return ZFAIL_FATAL(m, kRsrcCreate,
                           "Failed to create Filter Rule Set ID Resource Handle, RTE Error: %s\n",
                           hwe_status_get(rte));
    ZLOG_INFO(m, "Maximum Number of PBR Policy Sets = %d, Base ID = 1\n",
              static_cast<int>(kPolicySetIdCount));
    // 13. Egress flow ids.
    if (create_pool(m, "zel_ipv4_egress_flow_ids", kEgressFlowIdCount, kEgressFlowIdBase,
                    &p.egress_flow_ids_rsrc, &rte))
        return ZFAIL_FATAL(m, kRsrcCreate,
                           "Failed to Create Egress Filter Rule Set ID Resource Handle, RTE Error: %s\n",
                           hwe_status_get(rte));
    ZLOG_INFO(m, "Maximum Number of IPoE Next Hops = %d\n", static_cast<int>(kMaxNextHops));
    ZLOG_INFO(m, "Maximum Number of IP Tunnel Intf = %d\n", static_cast<int>(kMaxTunnels));
    ZLOG_INFO(m, "Maximum Number of Egress Flows = %d, Base ID = 1\n", static_cast<int>(kEgressFlowIdCount));
    // 14. Ingress association flows.
    if (uint32_t st = find_pool(m, "ip_ingress_assoc", &p.ingress_assoc_rsrc))
        return ZFAIL_FATAL(m, kRsrcFind,
                           "Failed to find Namespace Resource for Ingress Association State, RTE "
                           "Error: %s\n",
                           hwe_status_get(st));
    ZLOG_INFO(m, "Maximum Number of Ingress Assoc Flows = %d, Base ID = 0x%08x\n",
              static_cast<int>(kIngressAssocFlows), kIngressAssocBase);
    // 15. Egress association flows.
    if (uint32_t st = find_pool(m, "ip_egress_assoc", &p.egress_assoc_rsrc))
        return ZFAIL_FATAL(m, kRsrcFind,
                           "Failed to find Namespace Resource for Egress Association State, RTE "
                           "Error: %s\n",
                           hwe_status_get(st));
    ZLOG_INFO(m, "Maximum Number of Egress Assoc Flows = %d, Base ID = 0x%08x\n",
              static_cast<int>(kEgressAssocFlows), kEgressAssocBase);
    // 16. The default global egress association flow.
    if (uint32_t st = hwe_rsrc_allocate(p.egress_assoc_rsrc, 1, &p.default_egress_assoc_flow_id, nullptr))
        return ZFAIL_FATAL(m, kNsIdAlloc,
                           "Failed to Allocate NS ID for Default Encap Flow Id, RTE Error: %s\n",
                           hwe_status_get(st));
    made.default_egress_id = true;
    ZLOG_INFO(m, "Default Global Egress Assoc Flow ID = 0x%x\n", p.default_egress_assoc_flow_id);
    // 17. PBR rule statistics.
    if (uint32_t st = find_pool(m, "ip_pbr_stats", &p.pbr_stats_rsrc))
        return ZFAIL_FATAL(m, kRsrcFind, "Failed to find Namespace Resource for PBR Rule Stats, RTE Error: %s\n",
                           hwe_status_get(st));
    ZLOG_INFO(m, "Maximum Number of PBR Rules = %d, Base ID = 0x%08x\n", static_cast<int>(kPbrRules),
              kPbrRuleBase);
    // 18. ACL filter rule statistics.
    if (uint32_t st = find_pool(m, "ip_filter_stats", &p.filter_stats_rsrc))
        return ZFAIL_FATAL(m, kRsrcFind,
                           "Failed to find Namespace Resource for Filter Rule State, RTE Error: %s\n",
                           hwe_status_get(st));
    ZLOG_INFO(m, "Maximum Number of ACL Filter Rules = %d, Base ID = 0x%08x\n",
              static_cast<int>(kAclFilterRules), kAclFilterRuleBase);
    // 19. Interface statistics.
    if (uint32_t st = find_pool(m, "ip_if_stats", &p.if_stats_rsrc))
        return ZFAIL_FATAL(m, kRsrcFind, "Failed to find Namespace Resource for Interface Stats, RTE Error: %s\n",
                           hwe_status_get(st));
    ZLOG_INFO(m, "Number of Global Stats NS ID = %d, Base ID = 0x%08x\n", static_cast<int>(kGlobalStatsIds),
              kGlobalStatsNsId);
    // 20. The two global statistics ids.
    p.global_stats_ns_id = kGlobalStatsNsId;
    if (uint32_t st = hwe_rsrc_allocate_fixed(p.if_stats_rsrc, kGlobalStatsIds, p.global_stats_ns_id))
        return ZFAIL_FATAL(m, kNsIdAlloc, "Failed to Allocate NS IDs for Global Stats, RTE Error: %s\n",
                           hwe_status_get(st));
    made.global_stats_ids = true;
    // 21. MTM shared parameter indexes.
    if (uint32_t st = find_pool(m, "ip_qos_stats", &p.qos_stats_rsrc))
        return ZFAIL_FATAL(m, kRsrcFind,
                           "Failed to find Namespace Resource for MTM Shared  Param Idx, RTE Error: %s\n",
                           hwe_status_get(st));
    ZLOG_INFO(m, "Maximum Number of MTM Shared NS ID = %d, Base ID = 0x%08x\n",
              static_cast<int>(kMtmSharedIds), kMtmSharedBase);
    // 22. Global statistics cleared.
    const uint8_t zeros[kGlobalStatsBytes] = {};
    trace_se(m, Trace::kSeWrite, ZEL_SITE, p.global_stats_ns_id, 0, zeros, sizeof zeros);
    if (uint32_t st = hwe_se_state_set(m->engine, p.global_stats_ns_id, 0, zeros, sizeof zeros))
        return ZFAIL_FATAL(m, kSeWrite, "Failed to clear stats, RTE Error: %s\n", hwe_status_get(st));
    // 23. The default TTL in the default egress association flow.
    if (uint32_t st = write_egress_params(m, p.default_egress_assoc_flow_id, kDefaultTtl))
        return ZFAIL_FATAL(m, kParamWrite, "Failed to write SED params, RTE Error: %s\n", hwe_status_get(st));
    // 24. The rest of the fixed configuration.
    p.default_ttl = kDefaultTtl;
    ZLOG_INFO(m, "Default System Wide TTL at Init Time = %d\n", static_cast<int>(kDefaultTtl));
    ZLOG_INFO(m, "Default MTU for IP Interface = %d\n", static_cast<int>(kDefaultMtu));
    ZLOG_INFO(m, "IP Re-assembly Timeout Duration = 0x%08x\n", kReassemblyTimeout);
    ZLOG_INFO(m, "Maximum Number of IP Addresses per Interface = %d\n", static_cast<int>(kMaxAddrsPerIntf));
    ZLOG_INFO(m,
              "Minimum IP Transport Packet Length in any IP Fragment enforced by Extended ACL Filter "
              "= %d\n",
              static_cast<int>(kMinFragTransportLen));
    ZLOG_INFO(m, "Network Directed Broadcasts at Ingress: %s\n", "Disallowed");
    ZLOG_INFO(m, "Ingress Association Custom Binding: %s\n", "Delayed");
    return 0;
}

// Release what a failed start-up made, newest first where it matters (ids
// before their pools). Nothing was learnt into the trees, so a tree needs
// only its database and key buffer released. What the platform refuses
// goes to the release journal.
void release_failed_startup(zel_module_t *m, ZelIpPriv &p, const StartupProgress &made) {
    Leftovers left;
    try {
        for (uint32_t i = 0; i < made.trees_touched; ++i) {
            TreeRecord &t = p.trees[i];
            if (t.subnet_db && hwe_subnet_destroy(t.subnet_db) != 0) left.dbs.push_back(t.subnet_db);
            if (t.key.bits && zel_ptn_free(&t.key) != 0) left.keys.push_back(t.key);
        }
        if (made.global_stats_ids &&
            hwe_rsrc_free(p.if_stats_rsrc, p.global_stats_ns_id, kGlobalStatsIds, nullptr) != 0)
            left.ids.push_back({p.if_stats_rsrc, p.global_stats_ns_id, kGlobalStatsIds});
        if (made.default_egress_id &&
            hwe_rsrc_free(p.egress_assoc_rsrc, p.default_egress_assoc_flow_id, 1, nullptr) != 0)
            left.ids.push_back({p.egress_assoc_rsrc, p.default_egress_assoc_flow_id, 1});
        // Created pools take their ids (the default routing domain's too).
        for (hwe_rsrc_t *pool : {p.egress_flow_ids_rsrc, p.pbr_policy_set_ids_rsrc,
                                 p.filter_rule_set_ids_rsrc, p.vrd_ids_rsrc}) {
            if (pool && hwe_rsrc_destroy(m->engine, pool) != 0) left.pools.push_back(pool);
        }
    } catch (...) {
    }
    if (!left.empty()) {
        ZLOG_WARN(m, "Resources of the failed start-up are still held by the engine\n");
        journal_keep(m->engine, [&](Leftovers &l) {
            l.keys.insert(l.keys.end(), left.keys.begin(), left.keys.end());
            l.dbs.insert(l.dbs.end(), left.dbs.begin(), left.dbs.end());
            l.ids.insert(l.ids.end(), left.ids.begin(), left.ids.end());
            l.pools.insert(l.pools.end(), left.pools.begin(), left.pools.end());
        });
    }
}

uint32_t startup(zel_module_t *m) {
    // 2. Log level.
    uint32_t mapped = 0;
    if (uint32_t st = zel_ipv4_map_sys_log(m, log_mask(m->log_level), &mapped)) {
        ZFAIL_ERROR(m, st, "Failed to map system log-level to IPv4 log-level");
        set_log_mask(m->log_level, ZEL_LOG_ERROR);
    } else {
        set_log_mask(m->log_level, mapped);
    }
    ZLOG_INFO(m, "Initializing at log-level 0x%04x\n", log_mask(m->log_level));
    ZLOG_INFO(m, "Profile - ZEL_KORVANT_PROFILE_1");
    // 3. Memory budget.
    print_memory_report(m);
    journal_drain(m);
    // 4. The private block (a 64-bit host needs more than the target's
    //    8176 bytes reported above).
    auto *p = static_cast<ZelIpPriv *>(obj_alloc(sizeof(ZelIpPriv), ObjKind::kPriv));
    if (!p) return ZFAIL_FATAL(m, kNoMemory, "Failed to allocate memory");
    p->ledger = new (std::nothrow) Ledger;
    if (!p->ledger) {
        obj_free(p);
        return ZFAIL_FATAL(m, kNoMemory, "Failed to allocate memory");
    }
    // 5-24.
    StartupProgress made;
    if (uint32_t st = startup_steps(m, *p, made)) {
        release_failed_startup(m, *p, made);
        delete p->ledger;
        obj_free(p);
        return st;
    }
    // 25. Valid, and attached.
    p->magic = kPrivMagic;
    __atomic_store_n(&m->priv, static_cast<void *>(p), __ATOMIC_RELEASE);
    return 0;
}

// ---------------------------------------------------------------------------
// Shutdown
// ---------------------------------------------------------------------------

// Runs shutdown step `n` unless an earlier shutdown completed it.
template <typename Step>
uint32_t shutdown_step(ZelIpPriv &p, uint32_t n, Step &&step) {
    if (p.shutdown_steps >= n) return 0;
    uint32_t st = step();
    if (st == 0) p.shutdown_steps = n;
    return st;
}

uint32_t destroy_pool(zel_module_t *m, hwe_rsrc_t *pool, const char *msg) {
    uint32_t st = hwe_rsrc_destroy(m->engine, pool);
    if (st == 0) return 0;
    return ZFAIL_FATAL(m, kRsrcDestroy, msg, hwe_status_get(st));
}

uint32_t shutdown(zel_module_t *m, ZelIpPriv &p) {
    uint32_t st;
    // 2. Trees emptied, databases destroyed, key buffers freed.
    st = shutdown_step(p, 2, [&] {
        uint32_t s = zel_ipv4_clear_tree_info(m);
        if (s == 0) return 0u;
        return ZFAIL_FATAL(m, fatal(s), "IPv4 module " MODULE_FMT " failed to free up Tree resources\n",
                           handle_value(m));
    });
    if (st) return st;
    // 3. Global statistics ids.
    st = shutdown_step(p, 3, [&] {
        uint32_t s = hwe_rsrc_free(p.if_stats_rsrc, p.global_stats_ns_id, kGlobalStatsIds, nullptr);
        if (s != 0)
            return ZFAIL_FATAL(m, kNsIdAlloc, "Failed to free NS ID for global stats, RTE Error: %s\n",
                               hwe_status_get(s));
        ZLOG_INFO(m, "Freed NS ID 0x%x used for global stats\n", p.global_stats_ns_id);
        return 0u;
    });
    if (st) return st;
    // 4. The default egress association flow id.
    st = shutdown_step(p, 4, [&] {
        uint32_t s = hwe_rsrc_free(p.egress_assoc_rsrc, p.default_egress_assoc_flow_id, 1, nullptr);
        if (s == 0) return 0u;
        return ZFAIL_FATAL(m, kNsIdAlloc, "Failed to free NS ID for default Encap Flow Id, RTE Error: %s\n",
                           hwe_status_get(s));
    });
    if (st) return st;
    // 5. The default routing domain id.
    st = shutdown_step(p, 5, [&] {
        uint32_t s = hwe_rsrc_free(p.vrd_ids_rsrc, kDefaultVrdId, 1, nullptr);
        if (s != 0)
            return ZFAIL_FATAL(m, kNsIdAlloc,
                               "Failed to free-up the default routing domain ID, RTE Error: %s\n",
                               hwe_status_get(s));
        ZLOG_INFO(m, "Freed Default Routing Domain ID 0x%x\n", kDefaultVrdId);
        return 0u;
    });
    if (st) return st;
    // 6-8. The created id pools.
    st = shutdown_step(p, 6, [&] {
        return destroy_pool(m, p.vrd_ids_rsrc, "Failed to destroy NS RSRC for VRD IDs IDs, RTE Error: %s\n");
    });
    if (st) return st;
    st = shutdown_step(p, 7, [&] {
        return destroy_pool(m, p.filter_rule_set_ids_rsrc,
                            "Failed to destroy NS RSRC for rule set IDs, RTE Error: %s\n");
    });
    if (st) return st;
    st = shutdown_step(p, 8, [&] {
        return destroy_pool(m, p.egress_flow_ids_rsrc,
                            "Failed to destroy NS RSRC for egress rule set IDs, RTE Error: %s\n");
    });
    if (st) return st;
    // The PBR policy set pool goes too, so that start-up on the same engine
    // can create it again.
    st = shutdown_step(p, 9, [&] {
        return destroy_pool(m, p.pbr_policy_set_ids_rsrc,
                            "Failed to destroy NS RSRC for PBR policy set IDs, RTE Error: %s\n");
    });
    if (st) return st;
    // 9. The block: invalid, freed, detached. The records of the objects
    // the application configured and did not delete go with it: their
    // entries left the engine with the trees and their ids with the pools,
    // and their handles must not pass a handle check any more.
    __atomic_store_n(&m->priv, nullptr, __ATOMIC_RELEASE);
    delete p.ledger;
    p.ledger = nullptr;
    if (p.set_key.bits && zel_ptn_free(&p.set_key) != 0)
        ZLOG_WARN(m, "Failed to free the rule set key pattern\n");
    obj_free_owned(m, &p);
    obj_free(&p);
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ip_init(zel_module_t *module) {
    CallOptions opt;
    opt.needs_priv = false;  // there is no block yet
    return with_module(module, __func__, [&](Call &c) -> uint32_t { return startup(c.m); }, opt);
}

uint32_t zel_ip_shutdown(zel_module_t *module) {
    return with_module(module, __func__, [&](Call &c) -> uint32_t { return shutdown(c.m, *c.priv); });
}

}  // extern "C"
