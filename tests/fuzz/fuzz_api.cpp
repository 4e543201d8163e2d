// libFuzzer target: sequences of public calls. The input is read as a
// stream of operations, each an opcode byte and its arguments; handles are
// taken from small pools of what earlier operations created (or a stale
// or foreign pointer on purpose), and platform faults are injected and
// cleared between calls. Policy routing (sets, rules, commits, where a set
// applies) is driven like the other objects. After the sequence, with no
// fault armed, every object is deleted and the module shut down: shutdown
// must succeed and every platform byte must come back. Crashes, sanitizer reports, leaks
// and a failed final shutdown are findings.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "zel_ip/zel_ip.h"
#include "zel_sim.h"

namespace {

class Input {
public:
    Input(const uint8_t *d, size_t n) : d_(d), n_(n) {}
    bool more() const { return i_ < n_; }
    uint8_t u8() { return i_ < n_ ? d_[i_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() << 8 | u8()); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) << 16 | u16(); }
    // An address from a few interesting ones or any 32-bit value.
    uint32_t addr() {
        static const uint32_t kAddrs[] = {0, 0x0a000000, 0x0a010000, 0x0a010203, 0xc0000201,
                                          0x7f000001, 0xe0000005, 0xffffffff, 0x0a0000ff, 0x80000001};
        uint8_t k = u8();
        return k < 200 ? kAddrs[k % (sizeof kAddrs / sizeof kAddrs[0])] : u32();
    }

private:
    const uint8_t *d_;
    size_t n_, i_ = 0;
};

constexpr int kPool = 4;

struct World {
    zel_sim_t *sim = nullptr;
    zel_module_t *m = nullptr;
    zel_ip_vrd_handle_t vrd[kPool] = {};
    zel_ip_tunnel_handle_t tunnel[kPool] = {};
    zel_ip_vif_handle_t vif[kPool] = {};
    zel_ip_intf_handle_t intf[kPool] = {};
    zel_obj_header_t *l2[kPool] = {};
    zel_ip_policy_set_handle_t pset[kPool] = {};
    zel_ip_flow_handle_t prule[kPool] = {};
    uint32_t prule_idx[kPool] = {};
    void *stale = nullptr;  // a handle that was deleted
    int garbage[8] = {};    // a pointer no record lives at

    // A handle for a `kind` argument: a pooled one, NULL, stale or garbage.
    template <typename H>
    H pick(H (&pool)[kPool], uint8_t k) {
        switch (k % 8) {
            case 4: return nullptr;
            case 5: return static_cast<H>(stale);
            case 6: return reinterpret_cast<H>(garbage);
            default: return pool[k % kPool];
        }
    }
};

// Deletes one pooled handle, remembering it as stale when the delete
// went through.
template <typename H>
void forget(World &w, H &slot, uint32_t st) {
    if (st == 0) {
        w.stale = slot;
        slot = nullptr;
    }
}

// Policy routing: sets, rules (any fields, any action), action changes,
// commits, and where a set applies.
void pbr_op(World &w, Input &in, uint8_t k) {
    zel_module_t *m = w.m;
    auto action = [&] {
        zel_ip_pbr_action_t a{};
        a.dip_based_routing = in.u8() % 3;
        a.next_hop = in.addr();
        const uint8_t e = in.u8();
        a.egress_intf = (e & 1) ? static_cast<void *>(w.pick(w.tunnel, e >> 1))
                                : static_cast<void *>(w.pick(w.intf, e >> 1));
        a.reassembly = in.u8() % 3;
        a.local_termination = in.u8() % 3;
        a.assoc_mask = in.u16();
        return a;
    };
    switch (in.u8() % 8) {
        case 0: {
            zel_ip_policy_set_handle_t h = nullptr;
            // A set the full pool cannot hold lives on until shutdown.
            if (zel_ip_pbr_policy_set_create(m, (k & 8) ? nullptr : &h) == 0 && h && !w.pset[k % kPool])
                w.pset[k % kPool] = h;
            break;
        }
        case 1: forget(w, w.pset[k % kPool], zel_ip_pbr_policy_set_delete(m, w.pick(w.pset, k))); break;
        case 2: {
            zel_ip_pbr_rule_t r{};
            r.policy_set = w.pick(w.pset, k);
            r.mask = in.u8();
            r.dest_addr = in.addr();
            r.dest_prefix_len = in.u8() % 40;
            r.src_addr = in.addr();
            r.src_prefix_len = in.u8() % 40;
            r.proto_low = in.u8();
            r.proto_high = in.u16() % 300;
            r.dport_low = in.u16();
            r.dport_high = in.u16();
            r.sport_low = in.u16();
            r.sport_high = in.u16();
            r.dscp_low = in.u8() % 70;
            r.dscp_high = in.u8() % 70;
            r.frag_type = in.u8() % 6;
            r.pcp_low = in.u8() % 10;
            r.pcp_high = in.u8() % 10;
            r.action = action();
            const uint32_t idx = in.u8() % 16;
            zel_ip_flow_handle_t h = nullptr;
            if (zel_ip_pbr_entry_create(m, idx, &r, (k & 8) ? nullptr : &h) == 0 && h && !w.prule[k % kPool]) {
                w.prule[k % kPool] = h;
                w.prule_idx[k % kPool] = idx;
            }
            break;
        }
        case 3: {
            const uint32_t idx = (k & 16) ? in.u8() % 16 : w.prule_idx[k % kPool];
            forget(w, w.prule[k % kPool], zel_ip_pbr_entry_delete(m, idx, w.pick(w.prule, k)));
            break;
        }
        case 4: {
            const zel_ip_pbr_action_t a = action();
            zel_ip_pbr_rule_action_modify(m, w.pick(w.prule, k), (k & 8) ? nullptr : &a);
            break;
        }
        case 5: zel_ip_pbr_commit(m, in.u8() % 3, w.pick(w.pset, k)); break;
        case 6: {
            void *intf = (k & 8) ? nullptr
                                 : (k & 16) ? static_cast<void *>(w.pick(w.tunnel, k >> 5))
                                            : static_cast<void *>(w.pick(w.intf, k >> 5));
            zel_ip_pbr_config(m, intf, (k & 32) ? nullptr : w.pick(w.pset, k));
            break;
        }
        default: zel_ip_vrd_pbr_config(m, in.u8() % 70, (k & 8) ? nullptr : w.pick(w.pset, k)); break;
    }
}

void one_op(World &w, Input &in) {
    zel_module_t *m = w.m;
    const uint8_t op = in.u8();
    const uint8_t k = in.u8();
    switch (op % 26) {
        case 0: {
            uint32_t id = in.u8() % 70;
            zel_ip_vrd_handle_t h = nullptr;
            if (zel_ip_vrd_create(m, (k & 1) ? &id : nullptr, &h) == 0 && !w.vrd[k % kPool])
                w.vrd[k % kPool] = h;
            break;
        }
        case 1: forget(w, w.vrd[k % kPool], zel_ip_vrd_delete(m, w.pick(w.vrd, k))); break;
        case 2: zel_ip_vrd_mode(m, w.pick(w.vrd, k), in.u8() % 3); break;
        case 3:
        case 4: {
            zel_ip_route_params_t r{};
            r.vrd = w.pick(w.vrd, k);
            r.dest = in.addr();
            r.prefix_len = in.u8() % 34;
            r.next_hop = (k & 0x10) ? in.addr() : 0;
            const uint8_t e = in.u8();
            r.egress_intf = (e & 3) == 1   ? static_cast<void *>(w.pick(w.tunnel, e >> 2))
                            : (e & 3) == 2 ? static_cast<void *>(w.pick(w.intf, e >> 2))
                                           : nullptr;
            r.local_termination = (k >> 5) & 1;
            r.reassembly = (k >> 6) & 1;
            r.ingress_assoc_mask = (k & 0x80) ? in.u8() : 0;
            if (op % 24 == 3) {
                zel_ip_route_add(m, &r);
            } else {
                zel_ip_route_delete(m, &r);
            }
            break;
        }
        case 5: {
            zel_ip_invalid_dip_params_t p{in.addr(), in.u8() % 34u};
            if (k & 1) {
                zel_ip_invalid_dip_add(m, w.pick(w.vrd, k >> 1), &p);
            } else {
                zel_ip_invalid_dip_rem(m, w.pick(w.vrd, k >> 1), &p);
            }
            break;
        }
        case 6: {
            zel_ip_tunnel_params_t p{};
            p.tunnel_id = (k & 1) ? in.u16() % 600 : in.u8() % 8;
            p.addr = (k & 2) ? in.addr() : 0;
            p.prefix_len = in.u8() % 34;
            p.assoc_mask = (k & 4) ? in.u8() : 0;
            p.admin_down = (k >> 3) & 1;
            p.reassemble = (k >> 4) & 1;
            p.local_addr = (k & 0x20) ? in.addr() : 0;
            p.remote_addr = (k & 0x40) ? in.addr() : 0;
            p.inner_vrd = w.pick(w.vrd, in.u8());
            p.outer_vrd = w.pick(w.vrd, in.u8());
            p.proto = in.u8();
            p.mtu = (k & 0x80) ? in.u16() : 0;
            zel_ip_tunnel_handle_t h = nullptr;
            if (zel_ip_tunnel_interface_create(m, &p, &h) == 0 && !w.tunnel[k % kPool])
                w.tunnel[k % kPool] = h;
            break;
        }
        case 7: forget(w, w.tunnel[k % kPool], zel_ip_tunnel_interface_delete(m, w.pick(w.tunnel, k))); break;
        case 8:
            if (k & 0x80) {
                zel_ip_tunnel_interface_natt(m, w.pick(w.tunnel, k), in.u8() & 1);
            } else {
                zel_ip_tunnel_interface_lr_addr_set(m, w.pick(w.tunnel, k), in.addr(), in.addr());
            }
            break;
        case 9: zel_ip_tunnel_interface_mtu_set(m, w.pick(w.tunnel, k), in.u16(), in.u8() & 1); break;
        case 10: {
            zel_ip_vif_params_t p{};
            p.vrd = w.pick(w.vrd, in.u8());
            p.addr = in.addr();
            p.assoc_mask = (k & 4) ? in.u8() : 0;
            p.reassemble = (k >> 3) & 1;
            zel_ip_vif_handle_t h = nullptr;
            if (zel_ip_virtual_interface_create(m, &p, &h) == 0 && !w.vif[k % kPool]) w.vif[k % kPool] = h;
            break;
        }
        case 11: forget(w, w.vif[k % kPool], zel_ip_virtual_interface_delete(m, w.pick(w.vif, k))); break;
        case 12: {
            zel_ip_intf_params_t p{};
            const uint8_t l = in.u8();
            if (!w.l2[l % kPool]) w.l2[l % kPool] = zel_sim_l2_interface_new(w.sim, 7 + l % kPool);
            p.l2_intf = w.l2[l % kPool];
            p.vrd = w.pick(w.vrd, in.u8());
            p.addr = in.addr();
            p.prefix_len = in.u8() % 34;
            p.assoc_mask = (k & 4) ? in.u8() : 0;
            p.admin_down = (k >> 3) & 1;
            p.reassemble = (k >> 4) & 1;
            p.mtu = (k & 0x20) ? in.u16() : 0;
            p.nat_inside = (k >> 6) & 1;
            p.nat_outside = (k >> 7) & 1;
            zel_ip_intf_handle_t h = nullptr;
            if (zel_ip_interface_create(m, &p, &h) == 0 && !w.intf[k % kPool]) w.intf[k % kPool] = h;
            break;
        }
        case 13: forget(w, w.intf[k % kPool], zel_ip_interface_delete(m, w.pick(w.intf, k))); break;
        case 14: {
            const uint32_t a[2] = {in.addr(), in.u8() % 34u};
            switch (k % 3) {
                case 0: zel_ip_interface_addr_add(m, w.pick(w.intf, k >> 2), a); break;
                case 1: zel_ip_interface_addr_rem(m, w.pick(w.intf, k >> 2), a); break;
                default: zel_ip_interface_subnet_status_set(m, w.pick(w.intf, k >> 2), a, in.u8() & 1);
            }
            break;
        }
        case 15: {
            const uint32_t a[2] = {in.addr(), in.u8() % 34u};
            zel_ip_addr_assoc_req_t r{static_cast<uint8_t>(in.u8() & 1), in.u8()};
            zel_ip_addr_ingress_association_set(m, w.pick(w.intf, k), a, &r);
            break;
        }
        case 16: {
            zel_ip_exception_handler_t h{};
            h.domain = in.u8() % 5;
            h.type = in.u8() % 17;
            h.action = in.u8() % 5;
            h.target.nca_queue = in.u32() % 0x500000;
            h.cb_fn_id = in.u8();
            if (h.action == ZEL_IP_EXC_SEND_TO_MPP_FUNC)
                h.target.mpp_function = (k & 2) ? "zel_ip.test_exception_handler" : "no.such.function";
            if (k & 1) {
                zel_ip_exception_handler_register(m, &h);
            } else {
                zel_ip_exception_handler_unregister(m, &h);
            }
            break;
        }
        case 17:
            switch (k % 5) {
                case 0: zel_ip_log_level_set(m, in.u16()); break;
                case 1: zel_ip_log_enable(m, in.u16()); break;
                case 2: zel_ip_log_disable(m, in.u16()); break;
                case 3: zel_ipv4_sys_log(m, in.u8()); break;
                default: {
                    uint32_t mapped = 0;
                    zel_ipv4_map_sys_log(m, in.u8(), (k & 8) ? &mapped : nullptr);
                }
            }
            // Keep the run quiet whatever the mask became.
            m->log_level &= ~0xfffu;
            break;
        case 18: {
            // Handle checks on every kind of pointer at hand.
            uint32_t id = 0;
            zel_ipv4_valid_handle(m);
            zel_ipv4_vrd_valid_handle(w.pick(w.vrd, k), &id);
            zel_ipv4_tunnel_interface_valid_handle(w.pick(w.tunnel, k));
            zel_ipv4_vif_valid_handle(w.pick(w.vif, k));
            zel_ipv4_interface_valid_handle(w.pick(w.intf, k));
            zel_ipv4_flow_valid_handle(w.pick(w.vrd, k));
            break;
        }
        case 19:
        case 20: {
            // A platform fault: any fallible call or the n-th, once or
            // persisting, with the platform's status or another.
            static const char *const kCalls[] = {nullptr, "hwe_ptn_learn", "hwe_ptn_unlearn", "hwe_rsrc_alloc",
                                                 "hwe_rsrc_free", "zel_ptn_extend", "hwe_subnet_add_subnet",
                                                 "zel_sys_rw_lock_post", "hwe_nvm_calloc", "hwe_se_state_set"};
            zel_sim_fault_set(kCalls[k % 10], 1 + in.u8() % 16,
                              (k & 0x80) ? ZEL_SIM_FAULT_PERSIST : ZEL_SIM_FAULT_ONCE, (k & 0x40) ? in.u16() : 0);
            break;
        }
        case 21: zel_sim_fault_clear(); break;
        case 22:
            if (k % 16 == 0) {
                zel_ip_shutdown(m);
            } else if (k % 16 == 1) {
                zel_ip_init(m);
            } else {
                zel_ip_tables_dump(m, k);
            }
            break;
        case 24:
        case 25: pbr_op(w, in, k); break;
        default: {
            zel_ip_napt_rule_t r{};
            r.flags = in.u8();
            r.in_addr = in.addr();
            r.in_port = in.u16();
            r.out_addr = in.addr();
            r.out_port = in.u16();
            if (k & 2) {
                zel_ip_napt_rule_add(m, &r);
            } else {
                zel_ip_napt_rule_delete(m, &r);
            }
        }
    }
}

template <typename H, typename Del>
void delete_all(World &w, H (&pool)[kPool], Del del) {
    for (H &h : pool)
        if (h) {
            // A failed delete is repeated once. Whether every object can
            // always be deleted is the lifecycle property test's question;
            // here shutdown must release what is left.
            if (del(w.m, h) != 0) del(w.m, h);
            h = nullptr;
        }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;
    const uint64_t mem_before = zel_sim_mem_in_use();
    World w;
    w.sim = zel_sim_create(nullptr);
    if (!w.sim) return 0;
    w.m = zel_sim_module_new(w.sim, "zel_ip", 0, 1);
    if (zel_ip_init(w.m) == 0) {
        Input in(data, size);
        for (int n = 0; in.more() && n < 200; ++n) one_op(w, in);
        zel_sim_fault_clear();
        if (!zel_ipv4_valid_handle(w.m)) zel_ip_init(w.m);
        // Everything the sequence left can be deleted, and the module
        // shuts down, once no fault is armed.
        // Policy routing first: no set applied, the rules deleted and
        // committed (a tunnel is in use by the rules that send into it).
        for (zel_ip_intf_handle_t h : w.intf)
            if (h) zel_ip_pbr_config(w.m, h, nullptr);
        for (zel_ip_tunnel_handle_t t : w.tunnel)
            if (t) zel_ip_pbr_config(w.m, t, nullptr);
        zel_ip_pbr_config(w.m, nullptr, nullptr);
        for (uint32_t vrd = 0; vrd < 64; ++vrd) zel_ip_vrd_pbr_config(w.m, vrd, nullptr);
        for (int i = 0; i < kPool; ++i)
            if (w.prule[i]) zel_ip_pbr_entry_delete(w.m, w.prule_idx[i], w.prule[i]);
        zel_ip_pbr_commit(w.m, ZEL_IP_PBR_COMMIT_ALL, nullptr);
        delete_all(w, w.intf, zel_ip_interface_delete);
        delete_all(w, w.tunnel, zel_ip_tunnel_interface_delete);
        delete_all(w, w.vif, zel_ip_virtual_interface_delete);
        delete_all(w, w.pset, zel_ip_pbr_policy_set_delete);
        delete_all(w, w.vrd, zel_ip_vrd_delete);
        if (zel_ipv4_valid_handle(w.m) && zel_ip_shutdown(w.m) != 0) std::abort();
    }
    zel_sim_fault_clear();
    zel_sim_module_free(w.m);
    zel_sim_destroy(w.sim);
    if (zel_sim_mem_in_use() != mem_before) std::abort();  // platform memory came back
    return 0;
}
