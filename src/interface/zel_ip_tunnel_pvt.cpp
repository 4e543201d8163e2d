// Helpers shared by the tunnel operations: the record's derived values,
// the handle and domain checks, the tree-22 entry, the outer matches
// (tree 4) and the CPU path.
#include "interface/zel_ip_tunnel_pvt.h"

#include "tree/zel_ip_layout_intf.h"

namespace zel::ip {

uint32_t path_mtu_word(uint32_t mtu, uint32_t path_mtu) {
    return layout::tunnel_pmtu::encode({mtu > kPtbThreshold, path_mtu}).w1;
}

hwe_action_t path_mtu_action(uint32_t word) {
    using layout::tunnel_pmtu::kPtbException;
    return layout::tunnel_pmtu::encode({(word & kPtbException) != 0, word & ~kPtbException});
}

zel_ip_tunnel *tunnel_of(zel_ip_tunnel_handle_t h) {
    return zel_ipv4_tunnel_interface_valid_handle(h) ? h : nullptr;
}

zel_ip_tunnel *tunnel_for_change(zel_module_t *m, zel_ip_tunnel_handle_t h, uint32_t *status) {
    zel_ip_tunnel *t = tunnel_of(h);
    if (!t) {
        *status = ZREJECT(m, kBadParam, "Invalid Interface Handle or type\n");
    } else if (ledger_of(*module_priv(m)).closing(ledger_intf_key(tunnel_intf_id(*t)))) {
        *status = reject_deleting(m, kBadParam);
        t = nullptr;
    }
    return t;
}

namespace {

// A VRD handle kept in a record still names the domain `vrd_id` (a freed
// and reused record would name another).
bool vrd_still(zel_ip_vrd_handle_t h, uint32_t vrd_id) {
    uint32_t id = 0;
    return zel_ipv4_vrd_valid_handle(h, &id) && id == vrd_id;
}

}  // namespace

bool tunnel_inner_vrd_ok(const zel_ip_tunnel &t) { return vrd_still(t.params.inner_vrd, t.inner_vrd_id); }
bool tunnel_outer_vrd_ok(const zel_ip_tunnel &t) {
    return vrd_still(t.params.outer_vrd, tunnel_outer_vrd(t));
}

uint32_t tunnel_sip_mtu(zel_module_t *m, ZelIpPriv &p, const zel_ip_tunnel &t, uint32_t sip,
                        uint32_t mtu, uint32_t op, const char *rule_msg) {
    return intf_key_entry(m, p, kTreeIntfSipMtu, tunnel_intf_id(t), op,
                          layout::intf_sip_mtu::encode({sip, mtu}), rule_msg);
}

namespace {

static_assert(kOuterIndexSlots >= 2 * kMaxTunnels * kMaxOuterMatches);
static_assert((kOuterIndexSlots & (kOuterIndexSlots - 1)) == 0);
constexpr uint32_t kIndexMask = kOuterIndexSlots - 1;

uint32_t index_home(uint32_t vrd, uint8_t proto, uint32_t remote, uint32_t local) {
    uint64_t h = (static_cast<uint64_t>(remote) << 32 | local) ^ (static_cast<uint64_t>(vrd) << 8 | proto) * 0x9e3779b97f4a7c15ull;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return static_cast<uint32_t>(h) & kIndexMask;
}

bool same_match(const OuterIndexSlot &s, uint32_t vrd, uint8_t proto, uint32_t remote, uint32_t local) {
    return s.vrd_id == vrd && s.proto == proto && s.remote == remote && s.local == local;
}

uint32_t index_home(const OuterIndexSlot &s) { return index_home(s.vrd_id, s.proto, s.remote, s.local); }

void index_add(ZelIpPriv &p, const zel_ip_tunnel &t, const OuterMatch &o) {
    const uint32_t vrd = tunnel_outer_vrd(t);
    uint32_t i = index_home(vrd, o.proto, o.remote, o.local);
    while (p.outer_index[i].owner) i = (i + 1) & kIndexMask;
    p.outer_index[i] = {o.remote, o.local, o.proto, static_cast<uint8_t>(vrd),
                        static_cast<uint16_t>(tunnel_id_of(t) + 1)};
}

void index_remove(ZelIpPriv &p, const zel_ip_tunnel &t, const OuterMatch &o) {
    const uint32_t vrd = tunnel_outer_vrd(t);
    const auto owner = static_cast<uint16_t>(tunnel_id_of(t) + 1);
    uint32_t i = index_home(vrd, o.proto, o.remote, o.local);
    for (;; i = (i + 1) & kIndexMask) {
        const OuterIndexSlot &s = p.outer_index[i];
        if (!s.owner) return;
        if (s.owner == owner && same_match(s, vrd, o.proto, o.remote, o.local)) break;
    }
    // Move back every later member of the run whose home is not between
    // the hole and itself.
    for (uint32_t j = (i + 1) & kIndexMask; p.outer_index[j].owner; j = (j + 1) & kIndexMask) {
        const uint32_t home = index_home(p.outer_index[j]);
        const bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (stays) continue;
        p.outer_index[i] = p.outer_index[j];
        i = j;
    }
    p.outer_index[i] = {};
}

}  // namespace

// A tunnel counts once it is in the tunnel table (created); the index
// also lists the matches of one being created or failing.
bool outer_match_taken(const ZelIpPriv &p, const zel_ip_tunnel *self, uint32_t outer_vrd,
                       uint8_t proto, uint32_t remote, uint32_t local) {
    for (uint32_t i = index_home(outer_vrd, proto, remote, local); p.outer_index[i].owner;
         i = (i + 1) & kIndexMask) {
        const OuterIndexSlot &s = p.outer_index[i];
        if (!same_match(s, outer_vrd, proto, remote, local)) continue;
        const zel_ip_tunnel *t = p.tunnel_table[s.owner - 1];
        if (t && t != self && tunnel_id_of(*t) == s.owner - 1u) return true;
    }
    return false;
}

void outer_forget_all(ZelIpPriv &p, zel_ip_tunnel &t) {
    for (OuterMatch &o : t.outer) {
        if (o.used) index_remove(p, t, o);
        o = OuterMatch{};
    }
}

namespace {

uint32_t outer_program(zel_module_t *m, ZelIpPriv &p, const zel_ip_tunnel &t, const OuterMatch &o,
                       uint32_t op, const char *rule_msg) {
    hwe_action_t a = layout::tunnel_if::encode(tunnel_intf_id(t));
    return layout::key_program(
        m, p.trees[kTreeTunnelIf],
        layout::key_spec(kTreeTunnelIf, {tunnel_outer_vrd(t), o.proto, o.remote, o.local},
                         layout::key_layout(kTreeTunnelIf).width),
        op, a, rule_msg, ZEL_SITE);
}

bool same_pair(const OuterMatch &o, uint32_t remote, uint32_t local) {
    return o.remote == remote && o.local == local;
}

bool kept(const OuterMatch &o, uint8_t main_proto, const OuterKeepSpec &k) {
    switch (k.what) {
        case OuterKeep::kNone: return false;
        case OuterKeep::kPair: return same_pair(o, k.remote[0], k.local[0]);
        case OuterKeep::kTwoPairs:
            return same_pair(o, k.remote[0], k.local[0]) || same_pair(o, k.remote[1], k.local[1]);
        case OuterKeep::kMainOnly: return o.proto == main_proto;
    }
    return false;
}

}  // namespace

uint32_t outer_learn(zel_module_t *m, ZelIpPriv &p, zel_ip_tunnel &t, uint8_t proto, uint32_t remote,
                     uint32_t local, const char *rule_msg) {
    const OuterMatch o{remote, local, proto, true};
    const uint32_t st = outer_program(m, p, t, o, kRuleLearn, rule_msg);
    if (!engine_step_done(st)) return st;
    // Listed once: a repeated learn of a listed entry replaces it in the
    // engine only. The callers withdraw what they no longer need before
    // they learn more, so a free slot is always there.
    OuterMatch *free_slot = nullptr;
    for (OuterMatch &x : t.outer) {
        if (x.used && x.proto == proto && same_pair(x, remote, local)) return st;
        if (!x.used && !free_slot) free_slot = &x;
    }
    if (free_slot) {
        *free_slot = o;
        index_add(p, t, o);
    }
    return st;
}

uint32_t outer_withdraw(zel_module_t *m, ZelIpPriv &p, zel_ip_tunnel &t, const OuterKeepSpec &keep,
                        const char *rule_msg) {
    for (OuterMatch &o : t.outer) {
        if (!o.used || kept(o, t.params.proto, keep)) continue;
        const uint32_t st = outer_program(m, p, t, o, kRuleUnlearn, rule_msg);
        if (engine_step_done(st)) {
            index_remove(p, t, o);
            o = OuterMatch{};
        }
        if (st) return st;
    }
    return 0;
}

uint32_t tunnel_cpu_path(zel_module_t *m, ZelIpPriv &p, uint32_t intf_id, uint32_t port, bool add,
                         uint32_t *done) {
    const zel_demux_rec_t rec{p.flow_funcs[kFnProcessCpuPkts].id, static_cast<uint16_t>(port), 4, 1};
    auto is_ok = [](uint32_t st) { return st == 0; };
    zel_sys_ctx_t *ctx = m->sys_ctx;
    // 1. The demux entry of the network driver.
    uint32_t st = withdraw_step(done, kTpDemux, [&] {
        if (add) {
            if (uint32_t s = zel_sif_netDriver_demux_add(ctx, &rec))
                return ZFAIL_ERROR(m, error(s), "Failed to add demux tree entry\n");
        } else if (uint32_t s = zel_sif_netDriver_demux_remove(ctx, &rec)) {
            return ZFAIL_ERROR(m, error(s), "Failed to remove demux tree entry\n");
        }
        return 0u;
    }, is_ok);
    if (st) return st;
    // 2. The interface's port mapping.
    return withdraw_step(done, kTpPortMap, [&] {
        if (add) {
            if (uint32_t s = zel_sif_interface_to_outPort_mapping_add(ctx, intf_id, port))
                return ZFAIL_ERROR(m, error(s), "Failed to add ZEL->CPU port mapping\n");
        } else if (uint32_t s = zel_sif_interface_to_outPort_mapping_remove(ctx, intf_id)) {
            return ZFAIL_ERROR(m, error(s), "Failed to remove ZEL->CPU port mapping\n");
        }
        return 0u;
    }, is_ok);
}

}  // namespace zel::ip

using namespace zel::ip;

extern "C" {

uint32_t zel_ip_config_tunnel_cpu_path(zel_module_t *module, uint32_t intf_id, uint32_t port,
                                       uint32_t add) {
    ZelIpPriv *p = module_priv(module);
    if (!p) return kBadHandle;
    return tunnel_cpu_path(module, *p, intf_id, port, add != 0, nullptr);
}

}  // extern "C"
