// Helpers shared by the interface operations: the address check, the
// entries of one interface address, and the invalid-source and
// subnet-broadcast entries of a subnet.
#include "interface/zel_ip_interface_pvt.h"

#include "tree/zel_ip_assoc_mask.h"
#include "tree/zel_ip_layout_intf.h"
#include "tree/zel_ip_layout_route.h"
#include "tree/zel_ip_ledger.h"

namespace zel::ip {

using layout::key_program;
using layout::vrd_prefix_key;

bool intf_addr_ok(uint32_t addr, uint32_t prefix_len) {
    if (prefix_len > 3 && (addr >> 28) == 0xe) return false;   // 224.0.0.0/4
    if (prefix_len > 7 && (addr >> 24) == 127) return false;   // 127.0.0.0/8
    if (addr == 0) return false;
    if (prefix_len < 1 || prefix_len > 31) return false;
    if (prefix_len == 31) return true;  // a point-to-point pair has no host part to check
    const uint32_t host = addr & ~ip_bit_mask[prefix_len];
    return host != 0 && host != ~ip_bit_mask[prefix_len];
}

bool host_addr_ok(uint32_t addr) {
    return addr != 0xffffffff && (addr >> 28) != 0xe && (addr >> 24) != 127;
}

zel_ip_interface *intf_of(zel_ip_intf_handle_t h) {
    return zel_ipv4_interface_valid_handle(h) ? h : nullptr;
}

uint32_t reject_deleting(zel_module_t *m, uint32_t status) {
    return ZREJECT(m, status, "Interface is being deleted; only its delete can be repeated\n");
}

bool intf_vrd_ok(const zel_ip_interface &r) {
    uint32_t id = 0;
    return zel_ipv4_vrd_valid_handle(r.vrd, &id) && id == vrd_id_of(r);
}

hwe_action_t local_addr_entry(uint16_t assoc_mask, uint8_t reassemble, uint32_t intf_id,
                              uint8_t cdip) {
    // An interface's addresses take traffic of every protocol, so the port
    // fields of the mask count (protocol 0 = any).
    const uint8_t tree_mask = assoc_tree_mask(assoc_mask, 0);
    return layout::dest::local_address(cdip, tree_mask, reassemble == 1, intf_id);
}

hwe_action_t intf_local_entry(const zel_ip_interface &r, uint8_t cdip) {
    return local_addr_entry(r.params.assoc_mask, r.params.reassemble, intf_id_of(r), cdip);
}

uint32_t intf_key_entry(zel_module_t *m, ZelIpPriv &p, uint32_t tree, uint32_t intf_id, uint32_t op,
                        hwe_action_t a, const char *rule_msg) {
    // The fields after the INTF-ID lie beyond the key's length: wildcards.
    const layout::KeyLayout &lay = layout::key_layout(tree);
    const uint32_t vals[layout::kMaxKeyFields] = {intf_id};
    const layout::KeySpec k = layout::key_spec(lay, vals, lay.nfields, layout::kIntfIdBits);
    return key_program(m, p.trees[tree], k, op, a, rule_msg, ZEL_SITE);
}

uint32_t intf_clear_se(zel_module_t *m, uint32_t ns_id, uint32_t len) {
    static const uint8_t zeros[kIntfStatsBytes] = {};
    trace_se(m, Trace::kSeWrite, ZEL_SITE, ns_id, 0, zeros, len);
    if (uint32_t st = hwe_se_state_set(m->engine, ns_id, 0, zeros, len))
        return ZFAIL_FATAL(m, fatal(ZEL_E_SE_WRITE),
                           "Failed to clear state engine memory, RTE Error: %s\n", hwe_status_get(st));
    return 0;
}

uint32_t intf_stats_setup(zel_module_t *m, ZelIpPriv &p, uint32_t stats_ns_id, uint32_t *mtm_ns_id,
                          bool *mtm_taken) {
    *mtm_taken = false;
    // 1. The interface's statistics record.
    if (uint32_t st = intf_clear_se(m, stats_ns_id, kIntfStatsBytes)) return st;
    // 2. The MTM NS ID of the DSCP group statistics.
    if (uint32_t st = hwe_rsrc_allocate(p.qos_stats_rsrc, 1, mtm_ns_id, nullptr))
        return ZFAIL_FATAL(m, fatal(ZEL_E_NSID_ALLOC),
                           "Failed to allocate NS ID for DSCP Group Stats, RTE Error: %s\n",
                           hwe_status_get(st));
    *mtm_taken = true;
    ZLOG_INFO(m, "Allocated interface MTM NS ID 0x%x\n", *mtm_ns_id);
    // 3. Its state-engine record and traffic-manager shared parameters.
    if (uint32_t st = intf_clear_se(m, *mtm_ns_id, kMtmStatsBytes)) return st;
    static const uint8_t zeros[kMtmSharedBytes] = {};
    if (uint32_t st = hwe_mtm_shared_param_mod(m->engine, *mtm_ns_id, zeros, kMtmSharedBytes))
        return ZFAIL_FATAL(m, fatal(ZEL_E_SE_WRITE),
                           "Failed to clear MTM Shared param memory, RTE Error: %s\n",
                           hwe_status_get(st));
    return 0;
}

uint32_t intf_mtm_free(zel_module_t *m, ZelIpPriv &p, uint32_t mtm_ns_id, const char *stats_kind) {
    if (uint32_t st = hwe_rsrc_free(p.qos_stats_rsrc, mtm_ns_id, 1, nullptr))
        return ZFAIL_FATAL(m, fatal(ZEL_E_NSID_FREE),
                           "Failed to free NS ID for DSCP Group stats, RTE Error: %s\n",
                           hwe_status_get(st));
    ZLOG_INFO(m, "Freed NS ID 0x%x used for %s\n", mtm_ns_id, stats_kind);
    return 0;
}

bool entry_withdrawn(uint32_t status) { return engine_step_done(status); }

uint32_t addr_keys_free(Call &c, uint32_t vrd, uint32_t addr, uint32_t prefix_len, AddrKeys k) {
    const uint32_t mask = ip_bit_mask[prefix_len > 32 ? 32 : prefix_len];
    const uint32_t network = addr & mask, broadcast = addr | ~mask;
    uint64_t keys[6];
    uint32_t n = 0;
    if (k.subnet_route) keys[n++] = ledger_addr_key(kTreeDestAddr, vrd, addr, prefix_len);
    if (k.local) keys[n++] = ledger_addr_key(kTreeDestAddr, vrd, addr, layout::kAddrBits);
    if (k.guards) {
        for (uint32_t tree : {kTreeSrcAddr, kTreeDestAddr}) {
            keys[n++] = ledger_addr_key(tree, vrd, network, layout::kAddrBits);
            keys[n++] = ledger_addr_key(tree, vrd, broadcast, layout::kAddrBits);
        }
    }
    Ledger &l = ledger_of(*c.priv);
    for (uint32_t i = 0; i < n; ++i) {
        if (l.owner(keys[i]))
            return ZREJECT(c.m, error(ZEL_IP_E_INVALID_IP_ADDRESS),
                           "IP address 0x%08x/%d in VRD %d overlaps the entries of another address\n",
                           addr, static_cast<int>(prefix_len), static_cast<int>(vrd));
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (!l.reserve(keys[i])) return ZFAIL_FATAL(c.m, kNoMemory, "Memory allocation failed\n");
    }
    return 0;
}

uint32_t intf_addr_entries(zel_module_t *m, ZelIpPriv &p, const zel_ip_interface &r,
                           uint32_t addr, uint32_t prefix_len, uint8_t cdip, uint32_t op,
                           const char *rule_msg, uint32_t *done) {
    const uint32_t intf = intf_id_of(r), vrd = vrd_id_of(r);
    // 1. Tree 22: the subnet's source address and MTU.
    uint32_t st = ledger_step(done, kWdSipMtu, [&] {
        return owned_key_entry(m, p, kTreeIntfSipMtu, &r, ledger_sip_key(intf, addr, prefix_len),
                               layout::key_spec(kTreeIntfSipMtu, {intf, addr},
                                                layout::kIntfIdBits + prefix_len),
                               op, layout::intf_sip_mtu::encode({addr, r.params.mtu}), rule_msg,
                               ZEL_SITE);
    });
    if (st) return st;
    // 2. Tree 2: the attached-subnet route.
    st = ledger_step(done, kWdSubnetRoute, [&] {
        return owned_entry(m, p, kTreeDestAddr, &r, vrd, addr, prefix_len, op,
                           layout::dest::attached_subnet(intf), rule_msg, ZEL_SITE);
    });
    if (st) return st;
    // 3. Tree 2: the address itself, delivered locally.
    return ledger_step(done, kWdLocal, [&] {
        return owned_entry(m, p, kTreeDestAddr, &r, vrd, addr, layout::kAddrBits, op,
                           intf_local_entry(r, cdip), rule_msg, ZEL_SITE);
    });
}

bool intf_use_domains(const void *intf, zel_ip_vrd_handle_t a, zel_ip_vrd_handle_t b, const char *what) {
    if (a && !obj_use(a, intf, what)) return false;
    if (b && b != a && !obj_use(b, intf, what)) {
        if (a) obj_unuse(a, intf);
        return false;
    }
    return true;
}

void intf_unuse_domains(const void *intf, zel_ip_vrd_handle_t a, zel_ip_vrd_handle_t b) {
    if (a) obj_unuse(a, intf);
    if (b && b != a) obj_unuse(b, intf);
}

namespace {

enum class Guard { kInvalidSource, kSubnetBroadcast };

// The two guard entries of a subnet, each keyed VRD ID and a whole
// address: Block-All sources in tree 0 (network, then broadcast) or
// subnet broadcasts in tree 2 (broadcast, then network). The second is
// not attempted after a failed first.
uint32_t guard_pair(zel_module_t *m, Guard g, uint32_t vrd_id, const uint32_t *addr_prefix,
                    uint32_t remove, uint32_t *done, const void *owner) {
    ZelIpPriv *p = module_priv(m);
    if (!p) return kBadHandle;
    if (!addr_prefix || addr_prefix[1] > 32) return kBadParam;
    const uint32_t mask = ip_bit_mask[addr_prefix[1]];
    const uint32_t network = addr_prefix[0] & mask, broadcast = addr_prefix[0] | ~mask;
    struct Entry {
        uint32_t addr;
        uint32_t step;
    };
    const bool src = g == Guard::kInvalidSource;
    const Entry entries[2] = {
        src ? Entry{network, kWdSrcNetwork} : Entry{broadcast, kWdDstBroadcast},
        src ? Entry{broadcast, kWdSrcBroadcast} : Entry{network, kWdDstNetwork},
    };
    const uint32_t tree = src ? kTreeSrcAddr : kTreeDestAddr;
    const hwe_action_t action = src ? layout::src_addr::block_all(p->flow_funcs[kFnInvalidSrcIpAddr].id)
                                    : layout::dest::subnet_broadcast();
    const uint32_t op = remove == 0 ? kRuleLearn : kRuleUnlearn;
    for (const Entry &e : entries) {
        auto program = [&] {
            hwe_action_t a = action;
            if (owner)
                return owned_entry(m, *p, tree, owner, vrd_id, e.addr, layout::kAddrBits, op, a,
                                   "Could not program LPM rule in hardware\n", ZEL_SITE);
            return key_program(m, p->trees[tree], vrd_prefix_key(vrd_id, e.addr, layout::kAddrBits),
                               op, a, "Could not program LPM rule in hardware\n", ZEL_SITE);
        };
        uint32_t st = owner ? ledger_step(done, e.step, program)
                            : withdraw_step(done, e.step, program, entry_withdrawn);
        if (st) return st;
    }
    return 0;
}

}  // namespace

uint32_t intf_subnet_guards(zel_module_t *m, uint32_t vrd_id, uint32_t addr, uint32_t prefix_len,
                            uint32_t remove, const char *sip_msg, const char *dip_msg,
                            uint32_t *done, const void *owner) {
    const uint32_t ap[2] = {addr, prefix_len};
    if (uint32_t st = guard_pair(m, Guard::kInvalidSource, vrd_id, ap, remove, done, owner))
        return ZFAIL_FATAL(m, fatal(st), "%s", sip_msg);
    if (uint32_t st = guard_pair(m, Guard::kSubnetBroadcast, vrd_id, ap, remove, done, owner))
        return ZFAIL_FATAL(m, fatal(st), "%s", dip_msg);
    return 0;
}

}  // namespace zel::ip

using namespace zel::ip;

extern "C" {

uint32_t zel_ip_invalid_sip(zel_module_t *module, uint32_t vrd_id, const uint32_t addr_prefix[2],
                            uint32_t remove) {
    return guard_pair(module, Guard::kInvalidSource, vrd_id, addr_prefix, remove, nullptr, nullptr);
}

uint32_t zel_ip_subnet_bcast(zel_module_t *module, uint32_t vrd_id, const uint32_t addr_prefix[2],
                             uint32_t remove) {
    return guard_pair(module, Guard::kSubnetBroadcast, vrd_id, addr_prefix, remove, nullptr, nullptr);
}

}  // extern "C"
