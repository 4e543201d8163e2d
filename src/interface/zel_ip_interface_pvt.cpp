// Helpers shared by the interface operations: the address check, the
// entries of one interface address, and the invalid-source and
// subnet-broadcast entries of a subnet.
#include "interface/zel_ip_interface_pvt.h"

#include "tree/zel_ip_assoc_mask.h"
#include "tree/zel_ip_layout_intf.h"
#include "tree/zel_ip_layout_route.h"

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

zel_ip_interface *intf_of(zel_ip_intf_handle_t h) {
    return zel_ipv4_interface_valid_handle(h) ? h : nullptr;
}

bool intf_vrd_ok(const zel_ip_interface &r) {
    uint32_t id = 0;
    return zel_ipv4_vrd_valid_handle(r.vrd, &id) && id == vrd_id_of(r);
}

hwe_action_t intf_local_entry(const zel_ip_interface &r, uint8_t cdip) {
    // The interface's addresses take traffic of every protocol, so the
    // port fields of the mask count (protocol 0 = any).
    const uint8_t tree_mask = assoc_tree_mask(r.params.assoc_mask, 0);
    return layout::dest::local_address(cdip, tree_mask, r.params.reassemble == 1, intf_id_of(r));
}

bool entry_withdrawn(uint32_t status) {
    const uint32_t code = status & ~ZEL_SEV_MASK;
    return status == 0 || code == ZEL_E_SUBNET_ADD || code == ZEL_E_SUBNET_DELETE;
}

uint32_t intf_addr_entries(zel_module_t *m, ZelIpPriv &p, const zel_ip_interface &r,
                           uint32_t addr, uint32_t prefix_len, uint8_t cdip, uint32_t op,
                           const char *rule_msg, uint32_t *done) {
    const uint32_t intf = intf_id_of(r), vrd = vrd_id_of(r);
    // 1. Tree 22: the subnet's source address and MTU.
    uint32_t st = withdraw_step(done, kWdSipMtu, [&] {
        hwe_action_t a = layout::intf_sip_mtu::encode({addr, r.params.mtu});
        return key_program(m, p.trees[kTreeIntfSipMtu],
                           layout::key_spec(kTreeIntfSipMtu, {intf, addr},
                                            layout::kIntfIdBits + prefix_len),
                           op, a, rule_msg, ZEL_SITE);
    }, entry_withdrawn);
    if (st) return st;
    // 2. Tree 2: the attached-subnet route.
    st = withdraw_step(done, kWdSubnetRoute, [&] {
        hwe_action_t a = layout::dest::attached_subnet(intf);
        return key_program(m, p.trees[kTreeDestAddr], vrd_prefix_key(vrd, addr, prefix_len), op, a,
                           rule_msg, ZEL_SITE);
    }, entry_withdrawn);
    if (st) return st;
    // 3. Tree 2: the address itself, delivered locally.
    return withdraw_step(done, kWdLocal, [&] {
        hwe_action_t a = intf_local_entry(r, cdip);
        return key_program(m, p.trees[kTreeDestAddr], vrd_prefix_key(vrd, addr, layout::kAddrBits),
                           op, a, rule_msg, ZEL_SITE);
    }, entry_withdrawn);
}

namespace {

enum class Guard { kInvalidSource, kSubnetBroadcast };

// The two guard entries of a subnet, each keyed VRD ID and a whole
// address: Block-All sources in tree 0 (network, then broadcast) or
// subnet broadcasts in tree 2 (broadcast, then network). The second is
// not attempted after a failed first.
uint32_t guard_pair(zel_module_t *m, Guard g, uint32_t vrd_id, const uint32_t *addr_prefix,
                    uint32_t remove, uint32_t *done) {
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
    TreeRecord &tree = p->trees[src ? kTreeSrcAddr : kTreeDestAddr];
    const hwe_action_t action = src ? layout::src_addr::block_all(p->flow_funcs[kFnInvalidSrcIpAddr].id)
                                    : layout::dest::subnet_broadcast();
    const uint32_t op = remove == 0 ? kRuleLearn : kRuleUnlearn;
    for (const Entry &e : entries) {
        uint32_t st = withdraw_step(done, e.step, [&] {
            hwe_action_t a = action;
            return key_program(m, tree, vrd_prefix_key(vrd_id, e.addr, layout::kAddrBits), op, a,
                               "Could not program LPM rule in hardware\n", ZEL_SITE);
        }, entry_withdrawn);
        if (st) return st;
    }
    return 0;
}

}  // namespace

uint32_t intf_subnet_guards(zel_module_t *m, uint32_t vrd_id, uint32_t addr, uint32_t prefix_len,
                            uint32_t remove, const char *sip_msg, const char *dip_msg,
                            uint32_t *done) {
    const uint32_t ap[2] = {addr, prefix_len};
    if (uint32_t st = guard_pair(m, Guard::kInvalidSource, vrd_id, ap, remove, done))
        return ZFAIL_FATAL(m, fatal(st), "%s", sip_msg);
    if (uint32_t st = guard_pair(m, Guard::kSubnetBroadcast, vrd_id, ap, remove, done))
        return ZFAIL_FATAL(m, fatal(st), "%s", dip_msg);
    return 0;
}

}  // namespace zel::ip

using namespace zel::ip;

extern "C" {

uint32_t zel_ip_invalid_sip(zel_module_t *module, uint32_t vrd_id, const uint32_t addr_prefix[2],
                            uint32_t remove) {
    return guard_pair(module, Guard::kInvalidSource, vrd_id, addr_prefix, remove, nullptr);
}

uint32_t zel_ip_subnet_bcast(zel_module_t *module, uint32_t vrd_id, const uint32_t addr_prefix[2],
                             uint32_t remove) {
    return guard_pair(module, Guard::kSubnetBroadcast, vrd_id, addr_prefix, remove, nullptr);
}

}  // extern "C"
