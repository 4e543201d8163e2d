// Random lives of every kind of object: domains, IPoE interfaces and their
// addresses, tunnels, virtual interfaces, routes and invalid destinations
// (aimed at the objects' own keys), exception handlers, NAPT rules, QoS
// maps, policy sets and their rules (applied to interfaces, domains and
// locally originated traffic, committed now and then) are created,
// changed and deleted in random order, with a platform
// fault injected into some calls and deletes repeated, stale handles
// included. Afterwards, with faults off, everything that may exist is
// deleted, and the module must be exactly as it was after start-up: every
// tree, the compressed address table, the interface ids, every namespace,
// the framework's tunnel tables and the platform memory. After another
// such life, a full tree compaction changes no listing and no lookup and
// makes no tree larger.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/zel_ip_priv.h"
#include "interface/zel_ip_interface_pvt.h"
#include "interface/zel_ip_tunnel_pvt.h"
#include "interface/zel_ip_vif_pvt.h"
#include "tree/zel_ip_ledger.h"
#include "zel_ip/zel_ip.h"
#include "zel_sim.h"
#include "zel_test_fixture.h"
#include "zel_tree_snapshot.h"

namespace {

using zel::test::StdoutCapture;

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

// ---- The state that must come back --------------------------------------------

struct State {
    std::map<std::string, std::string> entries;  // "tree/len/key" -> action
    std::vector<uint32_t> slots;                 // compressed table, address per slot
    std::map<std::string, uint32_t> ns_in_use;
    uint32_t intf_ids = 0, demux = 0, port_maps = 0;
    uint64_t mem = 0, blocks = 0;
    size_t ledger = 0;
    bool operator==(const State &) const = default;
};

State capture(zel_sim_t *sim, zel_module_t *m) {
    State s;
    hwe_engine_t *eng = zel_sim_engine(sim);
    auto &p = *static_cast<zel::ip::ZelIpPriv *>(m->priv);
    s.entries = zel::test::tree_snapshot(sim, m);  // rule-set trees: no object here uses them
    for (const zel::ip::AddrSlot &a : p.addr_table) s.slots.push_back(a.addr);
    for (const char *ns : {"zel_ipv4_vrd_ids", "ip_qos_stats", "zel_sys_intf_ids", "ip_ingress_assoc",
                           "ip_egress_assoc", "ip_if_stats", "zel_ipv4_filter_rule_set_ids",
                           "zel_ipv4_pbr_policy_set_ids", "zel_ipv4_egress_flow_ids", "ip_pbr_stats"})
        s.ns_in_use[ns] = zel_sim_engine_ns_in_use(eng, ns);
    s.intf_ids = zel_sim_interface_ids_in_use(sim);
    s.demux = zel_sim_demux_count(sim);
    s.port_maps = zel_sim_port_map_count(sim);
    s.mem = zel_sim_mem_in_use();
    s.blocks = zel_sim_mem_blocks();
    s.ledger = p.ledger->size();
    return s;
}

std::string diff(const State &a, const State &b) {
    std::string out;
    for (const auto &[k, v] : a.entries)
        if (!b.entries.count(k) || b.entries.at(k) != v) out += "  gone/changed " + k + " " + v + "\n";
    for (const auto &[k, v] : b.entries)
        if (!a.entries.count(k)) out += "  left " + k + " " + v + "\n";
    for (const auto &[n, c] : a.ns_in_use)
        if (b.ns_in_use.at(n) != c) out += "  namespace " + n + "\n";
    if (a.slots != b.slots) out += "  compressed table\n";
    if (a.intf_ids != b.intf_ids) out += "  interface ids\n";
    if (a.demux != b.demux || a.port_maps != b.port_maps) out += "  tunnel tables\n";
    if (a.mem != b.mem || a.blocks != b.blocks) out += "  memory\n";
    if (a.ledger != b.ledger) out += "  ledger\n";
    return out;
}

// ---- The random life --------------------------------------------------------------

class LifecycleProperty : public zel::test::ZelTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    LifecycleProperty() { initial_log_level_ = 0; }

    std::mt19937 rng_;
    uint32_t pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }
    bool chance(uint32_t percent) { return pick(100) < percent; }

    // Objects that may exist (a failed delete keeps them; a stale handle
    // stays listed until a delete call finds it gone).
    std::map<uint32_t, zel_ip_vrd_handle_t> vrds_;  // by id
    std::vector<zel_ip_intf_handle_t> ipoes_;
    std::vector<zel_ip_tunnel_handle_t> tunnels_;
    std::vector<zel_ip_vif_handle_t> vifs_;
    std::vector<zel_ip_vrd_handle_t> stale_vrds_;
    std::set<std::pair<uint32_t, std::pair<uint32_t, uint32_t>>> routes_;  // {vrd id, {dest, len}}
    std::vector<const zel_obj_header_t *> l2s_;
    void *queue_ = nullptr;
    std::vector<zel_ip_policy_set_handle_t> pbr_sets_;
    std::vector<std::pair<zel_ip_flow_handle_t, uint32_t>> pbr_rules_;  // {rule, index}

    zel_ip_vrd_handle_t vrd_of(uint32_t id) { return id == 63 ? nullptr : vrds_.at(id); }
    uint32_t any_vrd() {
        const uint32_t n = pick(static_cast<uint32_t>(vrds_.size()) + 1);
        if (n == vrds_.size()) return 63;
        auto it = vrds_.begin();
        std::advance(it, n);
        return it->first;
    }
    // Addresses from a small space, so that objects and routes meet.
    uint32_t any_addr() { return ip(10, pick(3), pick(2), 1 + pick(6)); }
    uint32_t any_plen() {
        static const uint32_t lens[] = {24, 30, 31, 16};
        return lens[pick(4)];
    }

    // One call, maybe with a fault at one of the platform calls objects
    // make (the module lock is another matter).
    template <typename F>
    uint32_t call(F &&f) {
        static const char *const kCalls[] = {
            "hwe_ptn_learn", "hwe_ptn_unlearn", "hwe_subnet_add_subnet", "hwe_subnet_del_subnet",
            "hwe_subnet_find_higher_subnet", "zel_ptn_clear", "zel_ptn_extend", "hwe_nvm_calloc",
            "hwe_rsrc_allocate", "hwe_rsrc_allocate_fixed", "hwe_rsrc_free", "zel_sys_interface_id_alloc",
            "hwe_se_state_set", "hwe_mtm_shared_param_mod", "zel_sif_netDriver_demux_add",
            "zel_sif_netDriver_demux_remove", "zel_sif_interface_to_outPort_mapping_add",
            "zel_sif_interface_to_outPort_mapping_remove", "zel_qos_queue_id_get"};
        if (chance(30))
            zel_sim_fault_set(kCalls[pick(sizeof kCalls / sizeof kCalls[0])], 1 + pick(4), ZEL_SIM_FAULT_ONCE, 0);
        StdoutCapture quiet;
        const uint32_t st = f();
        zel_sim_fault_clear();
        return st;
    }

    void step();
    void pbr_step();
    void delete_everything();
};

// Policy routing: sets, rules (routing by destination, into a tunnel, or
// terminated locally), action changes, commits, and where a set applies.
void LifecycleProperty::pbr_step() {
    auto any_set = [&]() -> zel_ip_policy_set_handle_t {
        return pbr_sets_.empty() ? nullptr : pbr_sets_[pick(static_cast<uint32_t>(pbr_sets_.size()))];
    };
    auto any_action = [&] {
        zel_ip_pbr_action_t a{};
        switch (pick(3)) {
            case 0: a.dip_based_routing = 1; break;
            case 1:
                if (!tunnels_.empty()) {
                    a.egress_intf = tunnels_[pick(static_cast<uint32_t>(tunnels_.size()))];
                    break;
                }
                [[fallthrough]];
            default: a.local_termination = 1;
        }
        return a;
    };
    switch (pick(7)) {
        case 0: {  // set create / delete
            if (!pbr_sets_.empty() && chance(40)) {
                const uint32_t i = pick(static_cast<uint32_t>(pbr_sets_.size()));
                call([&] { return zel_ip_pbr_policy_set_delete(m_, pbr_sets_[i]); });
                if (!zel_ipv4_valid_policy_set_handle(pbr_sets_[i]) && chance(70))
                    pbr_sets_.erase(pbr_sets_.begin() + i);
                return;
            }
            zel_ip_policy_set_handle_t h = nullptr;
            call([&] { return zel_ip_pbr_policy_set_create(m_, &h); });
            if (h) pbr_sets_.push_back(h);
            return;
        }
        case 1: {  // rule create
            zel_ip_pbr_rule_t r{};
            r.policy_set = any_set();
            r.mask = ZEL_IP_PBR_MASK_DIP | (chance(50) ? ZEL_IP_PBR_MASK_PROTO : 0);
            r.dest_addr = any_addr() & 0xffffff00u;
            r.dest_prefix_len = 24;
            r.proto_low = r.proto_high = chance(50) ? 6 : 17;
            r.action = any_action();
            const uint32_t idx = pick(8);
            zel_ip_flow_handle_t h = nullptr;
            call([&] { return zel_ip_pbr_entry_create(m_, idx, &r, &h); });
            if (!h) return;
            // A deleted rule's record may be reused for the new one.
            std::erase_if(pbr_rules_, [h](const auto &r) { return r.first == h; });
            pbr_rules_.push_back({h, idx});
            return;
        }
        case 2: {  // rule delete (stale handles included)
            if (pbr_rules_.empty()) return;
            const uint32_t i = pick(static_cast<uint32_t>(pbr_rules_.size()));
            call([&] { return zel_ip_pbr_entry_delete(m_, pbr_rules_[i].second, pbr_rules_[i].first); });
            if (!zel_ipv4_flow_valid_handle(pbr_rules_[i].first) && chance(70))
                pbr_rules_.erase(pbr_rules_.begin() + i);
            return;
        }
        case 3: {  // action change
            if (pbr_rules_.empty()) return;
            zel_ip_flow_handle_t h = pbr_rules_[pick(static_cast<uint32_t>(pbr_rules_.size()))].first;
            const zel_ip_pbr_action_t a = any_action();
            call([&] { return zel_ip_pbr_rule_action_modify(m_, h, &a); });
            return;
        }
        case 4:  // commit
            call([&] { return zel_ip_pbr_commit(m_, ZEL_IP_PBR_COMMIT_ALL, nullptr); });
            return;
        case 5: {  // applied to an interface, or to all locally originated traffic
            void *intf = nullptr;
            if (!ipoes_.empty() && chance(50)) intf = ipoes_[pick(static_cast<uint32_t>(ipoes_.size()))];
            else if (!tunnels_.empty() && chance(50)) intf = tunnels_[pick(static_cast<uint32_t>(tunnels_.size()))];
            zel_ip_policy_set_handle_t set = chance(30) ? nullptr : any_set();
            call([&] { return zel_ip_pbr_config(m_, intf, set); });
            return;
        }
        default: {  // applied to a domain's locally originated traffic
            zel_ip_policy_set_handle_t set = chance(30) ? nullptr : any_set();
            const uint32_t vrd = any_vrd();
            call([&] { return zel_ip_vrd_pbr_config(m_, vrd, set); });
            return;
        }
    }
}

void LifecycleProperty::step() {
    if (chance(15)) {
        pbr_step();
        return;
    }
    switch (pick(16)) {
        case 0: {  // domain create
            uint32_t id = 1 + pick(4);
            zel_ip_vrd_handle_t h = nullptr;
            if (vrds_.count(id)) return;
            call([&] { return zel_ip_vrd_create(m_, &id, &h); });
            if (h) vrds_[id] = h;
            return;
        }
        case 1: {  // domain delete: only of an empty domain (objects keep
                   // their domain's handle, so it outlives them)
            if (vrds_.empty()) return;
            auto it = vrds_.begin();
            std::advance(it, pick(static_cast<uint32_t>(vrds_.size())));
            for (auto *i : ipoes_)
                if (zel_ipv4_interface_valid_handle(i) && i->vrd == it->second) return;
            for (auto *t : tunnels_)
                if (zel_ipv4_tunnel_interface_valid_handle(t) &&
                    (t->params.inner_vrd == it->second || t->params.outer_vrd == it->second))
                    return;
            for (auto *v : vifs_)
                if (zel_ipv4_vif_valid_handle(v) && v->params.vrd == it->second) return;
            call([&] { return zel_ip_vrd_delete(m_, it->second); });
            if (!zel_ipv4_vrd_valid_handle(it->second, nullptr)) {
                stale_vrds_.push_back(it->second);
                vrds_.erase(it);
            }
            return;
        }
        case 2: {  // IPoE create
            zel_ip_intf_params_t p{};
            p.l2_intf = l2s_[pick(static_cast<uint32_t>(l2s_.size()))];
            p.vrd = vrd_of(any_vrd());
            p.addr = any_addr();
            p.prefix_len = any_plen();
            zel_ip_intf_handle_t h = nullptr;
            call([&] { return zel_ip_interface_create(m_, &p, &h); });
            if (h) ipoes_.push_back(h);
            return;
        }
        case 3: {  // IPoE delete (stale handles included), secondaries first
            if (ipoes_.empty()) return;
            const uint32_t i = pick(static_cast<uint32_t>(ipoes_.size()));
            zel_ip_intf_handle_t h = ipoes_[i];
            if (zel_ipv4_interface_valid_handle(h) && h->secondary_count && chance(50)) {
                const uint32_t ap[2] = {h->secondary[0].addr, h->secondary[0].prefix_len};
                call([&] { return zel_ip_interface_addr_rem(m_, h, ap); });
                return;
            }
            call([&] { return zel_ip_interface_delete(m_, h); });
            if (!zel_ipv4_interface_valid_handle(h) && chance(70)) ipoes_.erase(ipoes_.begin() + i);
            return;
        }
        case 4: {  // IPoE address add, subnet status, association
            if (ipoes_.empty()) return;
            zel_ip_intf_handle_t h = ipoes_[pick(static_cast<uint32_t>(ipoes_.size()))];
            if (!zel_ipv4_interface_valid_handle(h)) return;
            const uint32_t ap[2] = {any_addr(), any_plen()};
            switch (pick(3)) {
                case 0: call([&] { return zel_ip_interface_addr_add(m_, h, ap); }); break;
                case 1: {
                    const uint32_t all[2] = {0, 0};
                    call([&] { return zel_ip_interface_subnet_status_set(m_, h, all, pick(2)); });
                    break;
                }
                default: {
                    const uint32_t self[2] = {h->params.addr, 32};
                    const zel_ip_addr_assoc_req_t req{1, 0x14};
                    call([&] { return zel_ip_addr_ingress_association_set(m_, h, self, &req); });
                }
            }
            return;
        }
        case 5: {  // tunnel create
            zel_ip_tunnel_params_t p{};
            p.tunnel_id = pick(4);
            if (chance(60)) {
                p.addr = any_addr();
                p.prefix_len = chance(50) ? 30 : 32;
            }
            p.local_addr = ip(192, 0, 2, 1 + pick(3));
            p.remote_addr = ip(198, 51, 100, 1 + pick(3));
            p.inner_vrd = vrd_of(any_vrd());
            p.outer_vrd = vrd_of(any_vrd());
            p.proto = 47;
            p.natt = static_cast<uint8_t>(pick(2));
            p.path_mtu = chance(50) ? 1400 : 0;
            zel_ip_tunnel_handle_t h = nullptr;
            call([&] { return zel_ip_tunnel_interface_create(m_, &p, &h); });
            if (h) tunnels_.push_back(h);
            return;
        }
        case 6: {  // tunnel delete
            if (tunnels_.empty()) return;
            const uint32_t i = pick(static_cast<uint32_t>(tunnels_.size()));
            call([&] { return zel_ip_tunnel_interface_delete(m_, tunnels_[i]); });
            if (!zel_ipv4_tunnel_interface_valid_handle(tunnels_[i]) && chance(70))
                tunnels_.erase(tunnels_.begin() + i);
            return;
        }
        case 7: {  // tunnel changes
            if (tunnels_.empty()) return;
            zel_ip_tunnel_handle_t t = tunnels_[pick(static_cast<uint32_t>(tunnels_.size()))];
            if (!zel_ipv4_tunnel_interface_valid_handle(t)) return;
            switch (pick(3)) {
                case 0: call([&] { return zel_ip_tunnel_interface_mtu_set(m_, t, 1280 + pick(3) * 100, pick(2) ? 1300 : 0); }); break;
                case 1: call([&] { return zel_ip_tunnel_interface_natt(m_, t, static_cast<uint8_t>(pick(2))); }); break;
                default: call([&] { return zel_ip_tunnel_interface_lr_addr_set(m_, t, ip(192, 0, 2, 1 + pick(3)), ip(198, 51, 100, 1 + pick(3))); });
            }
            return;
        }
        case 8: {  // virtual interface create / delete
            if (!vifs_.empty() && chance(50)) {
                const uint32_t i = pick(static_cast<uint32_t>(vifs_.size()));
                call([&] { return zel_ip_virtual_interface_delete(m_, vifs_[i]); });
                if (!zel_ipv4_vif_valid_handle(vifs_[i]) && chance(70)) vifs_.erase(vifs_.begin() + i);
                return;
            }
            zel_ip_vif_params_t p{};
            p.vrd = vrd_of(any_vrd());
            p.addr = any_addr();
            zel_ip_vif_handle_t h = nullptr;
            call([&] { return zel_ip_virtual_interface_create(m_, &p, &h); });
            if (h) vifs_.push_back(h);
            return;
        }
        case 9:
        case 10: {  // routes and invalid destinations, aimed at the objects' keys
            const uint32_t vrd = any_vrd();
            const uint32_t len = chance(50) ? 32 : any_plen();
            const uint32_t dest = any_addr() & (len == 0 ? 0 : ~0u << (32 - len));
            routes_.insert({vrd, {dest, len}});
            zel_ip_route_params_t r{};
            r.vrd = vrd_of(vrd);
            r.dest = dest;
            r.prefix_len = len;
            if (!tunnels_.empty() && chance(40)) {
                r.egress_intf = tunnels_[pick(static_cast<uint32_t>(tunnels_.size()))];
            } else {
                r.next_hop = ip(192, 0, 2, 99);
            }
            if (chance(20)) {
                const zel_ip_invalid_dip_params_t d{dest, len};
                call([&] { return zel_ip_invalid_dip_add(m_, r.vrd, &d); });
            } else {
                call([&] { return zel_ip_route_add(m_, &r); });
            }
            return;
        }
        case 11: {  // route delete
            if (routes_.empty()) return;
            auto it = routes_.begin();
            std::advance(it, pick(static_cast<uint32_t>(routes_.size())));
            if (it->first != 63 && !vrds_.count(it->first)) return;
            zel_ip_route_params_t r{};
            r.vrd = vrd_of(it->first);
            r.dest = it->second.first;
            r.prefix_len = it->second.second;
            call([&] { return zel_ip_route_delete(m_, &r); });
            return;
        }
        case 12: {  // exception handlers
            zel_ip_exception_handler_t e{};
            e.domain = pick(2) ? 0 : 2;
            e.type = pick(4);
            e.action = ZEL_IP_EXC_SEND_TO_CPU_NCA;
            e.target.nca_queue = 7;
            if (chance(60)) {
                call([&] { return zel_ip_exception_handler_register(m_, &e); });
            } else {
                call([&] { return zel_ip_exception_handler_unregister(m_, &e); });
            }
            return;
        }
        case 13: {  // NAPT rules
            zel_ip_napt_rule_t r{};
            r.flags = ZEL_IP_NAPT_IN_ADDR | ZEL_IP_NAPT_OUT_ADDR;
            r.in_addr = ip(10, 50, 0, 1 + pick(3));
            r.out_addr = ip(203, 0, 113, 1 + pick(3));
            if (chance(60)) {
                call([&] { return zel_ip_napt_rule_add(m_, &r); });
            } else {
                call([&] { return zel_ip_napt_rule_delete(m_, &r); });
            }
            return;
        }
        case 14: {  // DSCP to PCP of an interface
            if (ipoes_.empty()) return;
            zel_ip_intf_handle_t h = ipoes_[pick(static_cast<uint32_t>(ipoes_.size()))];
            if (!zel_ipv4_interface_valid_handle(h)) return;
            const uint8_t dscp = static_cast<uint8_t>(pick(3));
            if (chance(60)) {
                call([&] { return zel_ip_dscp_pcp_map_add(m_, h, dscp, static_cast<uint8_t>(1 + pick(7))); });
            } else {
                call([&] { return zel_ip_dscp_pcp_map_delete(m_, h, dscp); });
            }
            return;
        }
        default: {  // CPU DSCP map
            const uint8_t dscp[1] = {static_cast<uint8_t>(pick(3))};
            void *const queues[1] = {queue_};
            if (chance(60)) {
                call([&] { return zel_ip_cpu_dscp_qos_map_add(m_, 1, dscp, queues); });
            } else {
                call([&] { return zel_ip_cpu_dscp_qos_map_delete(m_, 1, dscp); });
            }
            return;
        }
    }
}

void LifecycleProperty::delete_everything() {
    // Routes outlive their domain: the domains they were left in come back
    // for their removal.
    for (const auto &[vrd, key] : routes_) {
        if (vrd == 63 || vrds_.count(vrd)) continue;
        uint32_t id = vrd;
        zel_ip_vrd_handle_t h = nullptr;
        ASSERT_EQ(zel_ip_vrd_create(m_, &id, &h), 0u);
        vrds_[vrd] = h;
    }
    // The application's entries first: routes, invalid destinations, maps
    // and handlers (what is not there answers a refusal, which is fine).
    for (const auto &[vrd, key] : routes_) {
        zel_ip_route_params_t r{};
        r.vrd = vrd_of(vrd);
        r.dest = key.first;
        r.prefix_len = key.second;
        zel_ip_route_delete(m_, &r);
    }
    for (zel_ip_intf_handle_t h : ipoes_) {
        if (!zel_ipv4_interface_valid_handle(h)) continue;
        for (uint8_t d = 0; d < 3; ++d) zel_ip_dscp_pcp_map_delete(m_, h, d);
    }
    for (uint8_t d = 0; d < 3; ++d) zel_ip_cpu_dscp_qos_map_delete(m_, 1, &d);
    for (uint32_t domain : {0u, 2u})
        for (uint32_t type = 0; type < 4; ++type) {
            zel_ip_exception_handler_t e{};
            e.domain = domain;
            e.type = type;
            zel_ip_exception_handler_unregister(m_, &e);
        }
    for (uint32_t i = 1; i <= 3; ++i)
        for (uint32_t o = 1; o <= 3; ++o) {
            zel_ip_napt_rule_t r{};
            r.flags = ZEL_IP_NAPT_IN_ADDR | ZEL_IP_NAPT_OUT_ADDR;
            r.in_addr = ip(10, 50, 0, i);
            r.out_addr = ip(203, 0, 113, o);
            // Rules may have overwritten each other's entries: adding a rule
            // again and deleting it clears both of its keys.
            EXPECT_EQ(zel_ip_napt_rule_add(m_, &r), 0u);
            EXPECT_EQ(zel_ip_napt_rule_delete(m_, &r), 0u);
        }
    // Policy routing: no set applied anywhere (an interface whose delete
    // has begun refuses the change: its delete, below, lets its set go),
    // every rule deleted and the deletes committed; the sets go after the
    // interfaces.
    for (zel_ip_intf_handle_t h : ipoes_) {
        if (zel_ipv4_interface_valid_handle(h)) {
            const uint32_t st = zel_ip_pbr_config(m_, h, nullptr);
            EXPECT_TRUE(st == 0 || st == 0x30008u) << st;
        }
    }
    for (zel_ip_tunnel_handle_t t : tunnels_) {
        if (zel_ipv4_tunnel_interface_valid_handle(t)) {
            const uint32_t st = zel_ip_pbr_config(m_, t, nullptr);
            EXPECT_TRUE(st == 0 || st == 0x30008u) << st;
        }
    }
    EXPECT_EQ(zel_ip_pbr_config(m_, nullptr, nullptr), 0u);
    for (uint32_t vrd = 0; vrd < 64; ++vrd) EXPECT_EQ(zel_ip_vrd_pbr_config(m_, vrd, nullptr), 0u);
    for (const auto &[h, idx] : pbr_rules_) {
        if (!zel_ipv4_flow_valid_handle(h)) continue;
        uint32_t st = zel_ip_pbr_entry_delete(m_, idx, h);
        if (st == 0x3000fu) {  // the set's pending deletes are full: commit them first
            EXPECT_EQ(zel_ip_pbr_commit(m_, ZEL_IP_PBR_COMMIT_ALL, nullptr), 0u);
            st = zel_ip_pbr_entry_delete(m_, idx, h);
        }
        EXPECT_EQ(st, 0u);
    }
    EXPECT_EQ(zel_ip_pbr_commit(m_, ZEL_IP_PBR_COMMIT_ALL, nullptr), 0u);
    // Then the objects; every delete must succeed (a stale handle is
    // refused as invalid).
    for (zel_ip_intf_handle_t h : ipoes_) {
        while (zel_ipv4_interface_valid_handle(h) && h->secondary_count) {
            const uint32_t ap[2] = {h->secondary[0].addr, h->secondary[0].prefix_len};
            ASSERT_EQ(zel_ip_interface_addr_rem(m_, h, ap), 0u);
        }
        if (zel_ipv4_interface_valid_handle(h)) {
            EXPECT_EQ(zel_ip_interface_delete(m_, h), 0u);
        }
        EXPECT_EQ(zel_ip_interface_delete(m_, h), 0x30008u);  // deleted: a stale handle
    }
    for (zel_ip_tunnel_handle_t t : tunnels_) {
        if (zel_ipv4_tunnel_interface_valid_handle(t)) {
            EXPECT_EQ(zel_ip_tunnel_interface_delete(m_, t), 0u);
        }
    }
    for (zel_ip_vif_handle_t v : vifs_) {
        if (zel_ipv4_vif_valid_handle(v)) {
            EXPECT_EQ(zel_ip_virtual_interface_delete(m_, v), 0u);
        }
    }
    for (zel_ip_policy_set_handle_t s : pbr_sets_) {
        if (zel_ipv4_valid_policy_set_handle(s)) {
            EXPECT_EQ(zel_ip_pbr_policy_set_delete(m_, s), 0u);
        }
    }
    for (const auto &[id, h] : vrds_) EXPECT_EQ(zel_ip_vrd_delete(m_, h), 0u) << id;
    for (zel_ip_vrd_handle_t h : stale_vrds_) EXPECT_EQ(zel_ip_vrd_delete(m_, h), 0x30008u);
    // A domain call settles what failed domain creates could not give back.
    uint32_t id = 9;
    zel_ip_vrd_handle_t h = nullptr;
    EXPECT_EQ(zel_ip_vrd_create(m_, &id, &h), 0u);
    EXPECT_EQ(zel_ip_vrd_delete(m_, h), 0u);
}

TEST_P(LifecycleProperty, DeletingEverythingRestoresTheStartUpState) {
    rng_.seed(GetParam());
    for (uint32_t id = 0x20; id < 0x28; ++id) l2s_.push_back(zel_sim_l2_interface_new(sim_, id));
    queue_ = zel_sim_qos_queue_new(sim_, 12);
    const State start = capture(sim_, m_);
    for (int i = 0; i < 600; ++i) step();
    delete_everything();
    const State end = capture(sim_, m_);
    EXPECT_TRUE(end == start) << "differs from start-up:\n" << diff(start, end);
}

// ---- Compaction after the random life -----------------------------------------

// What the engine answers at both ends of every listed entry's range, in
// every single-pattern tree: "tree/len/key/end" -> "kind w1 w2 depth".
std::map<std::string, std::string> range_lookups(zel_sim_t *sim, zel_module_t *m) {
    struct Ctx {
        hwe_engine_t *eng;
        uint32_t tree, id, width;
        std::map<std::string, std::string> *out;
    };
    std::map<std::string, std::string> out;
    const auto &p = *static_cast<const zel::ip::ZelIpPriv *>(m->priv);
    for (uint32_t t = 0; t < zel::ip::kNumTrees; ++t) {
        if (p.trees[t].width == 0) continue;  // rule-set trees
        Ctx c{zel_sim_engine(sim), t, p.trees[t].id, p.trees[t].width, &out};
        auto visit = [](void *ctx, const zel_ptn_t *key, const hwe_action_t *) -> uint32_t {
            auto *x = static_cast<Ctx *>(ctx);
            // The key in chunks of at most 32 bits, then the rest of the
            // width as zeros (the range's first key) or ones (its last).
            std::vector<uint32_t> widths, values;
            for (uint32_t rem = key->len; rem > 0;) {
                const uint32_t n = rem % 32 ? rem % 32 : 32;
                widths.push_back(n);
                rem -= n;
            }
            values.resize(widths.size());
            EXPECT_EQ(zel_ptn_parse(key, static_cast<uint32_t>(widths.size()), widths.data(), values.data()), 0u);
            std::string k = std::to_string(x->tree) + "/" + std::to_string(key->len) + "/";
            for (uint32_t v : values) k += std::to_string(v) + ".";
            for (uint32_t end : {0u, 1u}) {
                std::vector<uint32_t> w = widths, v = values;
                for (uint32_t rem = x->width - key->len; rem > 0;) {
                    const uint32_t n = rem > 32 ? 32 : rem;
                    w.push_back(n);
                    v.push_back(end ? static_cast<uint32_t>((uint64_t{1} << n) - 1) : 0);
                    rem -= n;
                }
                hwe_action_t a{};
                uint32_t depth = 0;
                EXPECT_EQ(zel_sim_engine_lookup_fields(x->eng, x->id, static_cast<uint32_t>(w.size()), v.data(),
                                                       w.data(), &a, &depth),
                          0u);
                char buf[64];
                std::snprintf(buf, sizeof buf, "%u %06x %06x %u", a.kind, a.w1, a.w2, depth);
                (*x->out)[k + (end ? "hi" : "lo")] = buf;
            }
            return 0;
        };
        EXPECT_EQ(zel_sim_engine_list_entries(zel_sim_engine(sim), c.id, visit, &c), 0u);
    }
    return out;
}

// After the random life, a full compaction (with the progress callback)
// leaves every tree's listing and lookups as they were, and no tree's
// engine memory larger.
TEST_P(LifecycleProperty, FullCompactionKeepsListingsAndLookups) {
    rng_.seed(GetParam() + 100);
    for (uint32_t id = 0x20; id < 0x28; ++id) l2s_.push_back(zel_sim_l2_interface_new(sim_, id));
    queue_ = zel_sim_qos_queue_new(sim_, 12);
    for (int i = 0; i < 600; ++i) step();
    hwe_engine_t *eng = zel_sim_engine(sim_);
    const auto &p = *static_cast<const zel::ip::ZelIpPriv *>(m_->priv);
    const zel::test::TreeSnapshot listing = zel::test::tree_snapshot(sim_, m_);
    const std::map<std::string, std::string> looked = range_lookups(sim_, m_);
    std::vector<uint64_t> bytes;
    for (const zel::ip::TreeRecord &t : p.trees) bytes.push_back(zel_sim_engine_tree_bytes(eng, t.id));
    const uint64_t from = zel_sim_engine_compaction_count(eng);
    {
        StdoutCapture quiet;
        ASSERT_EQ(zel_ip_compact_func(zel_sim_sys_ctx(sim_), ~0u, m_, 1), 0u) << quiet.text();
    }
    EXPECT_GT(zel_sim_engine_compaction_count(eng), from);
    EXPECT_EQ(zel::test::tree_snapshot(sim_, m_), listing);
    EXPECT_EQ(range_lookups(sim_, m_), looked);
    for (uint32_t t = 0; t < zel::ip::kNumTrees; ++t)
        EXPECT_LE(zel_sim_engine_tree_bytes(eng, p.trees[t].id), bytes[t]) << "tree " << t;
    delete_everything();
}

INSTANTIATE_TEST_SUITE_P(Seeds, LifecycleProperty, ::testing::Range(1u, 9u));

}  // namespace
