// Interface addresses: secondary addresses, removal of the primary with
// promotion of a secondary, attached-subnet route switching and the
// ingress association rule of one /32 address.
//
// Invariant: the secondaries of an interface occupy slots 0 .. count - 1;
// an add takes the first free slot (always slot count) and a removal moves
// the last occupied slot into the hole. Every address, primary or
// secondary, holds one compressed-address slot {address, VRD ID} and the
// entries listed in zel_ip_interface_pvt.h.
#include "interface/zel_ip_interface_pvt.h"
#include "tree/zel_ip_assoc_mask.h"
#include "tree/zel_ip_hw_internal.h"
#include "tree/zel_ip_layout_route.h"

using namespace zel::ip;

namespace {

constexpr uint32_t kHostPrefix = 32;

// The caller's address pair is read only after this check: a NULL pointer
// is a caller error that must not crash the library.
uint32_t reject_null_addr(zel_module_t *m) {
    return ZREJECT(m, kBadParam, "NULL address pointer specified\n");
}

// True when A/P equals the secondary slot (both words).
bool same(const AddrPrefix &s, uint32_t addr, uint32_t plen) {
    return s.addr == addr && s.prefix_len == plen;
}

// True when `host` lies in the subnet of addr/plen (plen 1 to 32).
bool in_subnet(uint32_t host, uint32_t addr, uint32_t plen) {
    return plen != 0 && plen <= 32 && ((host ^ addr) & ip_bit_mask[plen]) == 0;
}

// The checks add and remove share, in their order: the address pair, the
// interface handle, its domain. On success *vrd is the interface's VRD ID.
uint32_t check_addr_call(Call &c, const zel_ip_interface *r, const uint32_t *ap, uint32_t *vrd) {
    zel_module_t *m = c.m;
    if (!ap) return reject_null_addr(m);
    if (!intf_addr_ok(ap[0], ap[1]))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS), "Invalid interface address specified\n");
    if (!r) return ZREJECT(m, kBadParam, "Invalid Interface Handle type\n");
    if (delete_begun(*r)) return reject_deleting(m, kBadParam);
    if (!intf_vrd_ok(*r)) return ZREJECT(m, kBadHandle, "Invalid VIrtual Routing Domain handle \n");
    *vrd = vrd_id_of(*r);
    return 0;
}

uint32_t add_addr(Call &c, zel_ip_interface *r, const uint32_t *ap) {
    zel_module_t *m = c.m;
    // 1-3.
    uint32_t vrd = 0;
    if (uint32_t st = check_addr_call(c, r, ap, &vrd)) return st;
    const uint32_t addr = ap[0], plen = ap[1];
    // 4. The first free slot.
    uint32_t slot = kMaxSecondaries;
    for (uint32_t i = 0; i < kMaxSecondaries; ++i) {
        if (r->secondary[i].addr == 0 && r->secondary[i].prefix_len == 0) {
            slot = i;
            break;
        }
    }
    if (slot == kMaxSecondaries) return ZREJECT(m, kBadParam, "No space left for any more addr!\n");
    // 5.
    uint32_t cdip = 0;
    if (zel_ip_address_compress(m, addr, vrd, kCompressFind, &cdip))
        return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_ADDRESS),
                       "IP address 0x%08x in VRD %d already in use\n", addr, static_cast<int>(vrd));
    // Its entries must not fall on another address's.
    if (uint32_t st = addr_keys_free(c, vrd, addr, plen, ipoe_addr_keys(plen))) return st;
    // 6.
    if (!zel_ip_address_compress(m, addr, vrd, kCompressStore, &cdip))
        return ZFAIL_FATAL(m, fatal(ZEL_E_NO_SLOT),
                           "Failed to store IP address 0x%08x in VRD %d in compressed list\n", addr,
                           static_cast<int>(vrd));
    // 7-8.
    uint32_t learnt = 0;
    uint32_t st = intf_addr_entries(m, *c.priv, *r, addr, plen, static_cast<uint8_t>(cdip), kRuleLearn,
                                    "Could not add LPM rule in hardware\n", &learnt);
    if (st == 0 && plen != 31)
        st = intf_subnet_guards(m, vrd, addr, plen, 0, "Failed to configure invalid SIP addresses\n",
                                "Failed to configure invalid DIP addresses\n", &learnt, r);
    if (st == 0) {
        // 9.
        r->secondary[slot] = {addr, plen};
        ++r->secondary_count;
        return 0;
    }
    // A failure withdraws what was learnt and gives the slot back. Should
    // the withdrawal fail too, the address stays a secondary of the
    // interface, so that removing it completes the withdrawal (the
    // entries of trees 0 and 2 go as the ledger says; tree 22 as recorded).
    Withdrawal &w = r->withdrawal;
    w = {WithdrawOp::kAddrRem, addr, plen, (learnt & kWdSipMtu) ? 0u : kWdSipMtu};
    uint32_t undo = intf_addr_entries(m, *c.priv, *r, addr, plen, 0, kRuleUnlearn,
                                      "Could not remove LPM rule from hardware\n", &w.done);
    if (undo == 0 && plen != 31)
        undo = intf_subnet_guards(m, vrd, addr, plen, 1, "Failed to remove invalid SIP addresses\n",
                                  "Failed to remove invalid DIP addresses\n", &w.done, r);
    if (undo == 0) {
        zel_ip_address_compress(m, addr, vrd, kCompressRemove, nullptr);
        w = {};
        return st;
    }
    ZLOG_FATAL(m, "IP address 0x%08x set up partly stays on the interface; removing it completes the "
                  "withdrawal\n", addr);
    r->secondary[slot] = {addr, plen};
    ++r->secondary_count;
    return st;
}

uint32_t remove_addr(Call &c, zel_ip_interface *r, const uint32_t *ap) {
    zel_module_t *m = c.m;
    // 1-2.
    uint32_t vrd = 0;
    if (uint32_t st = check_addr_call(c, r, ap, &vrd)) return st;
    const uint32_t addr = ap[0], plen = ap[1];
    // 3. The primary (only with a secondary to take its place) or a
    //    secondary slot.
    const uint32_t count = r->secondary_count;
    const bool primary = addr == r->params.addr && plen == r->params.prefix_len;
    uint32_t slot = count;
    if (primary) {
        if (count == 0) return ZREJECT(m, kBadParam, "Cannot remove the one and only IP address\n");
    } else {
        for (uint32_t i = 0; i < count; ++i) {
            if (same(r->secondary[i], addr, plen)) {
                slot = i;
                break;
            }
        }
        if (slot == count) return ZREJECT(m, kBadParam, "Cannot find the specified addr to remove!\n");
    }
    // A repeated removal of the same address goes on where the failed one
    // stopped.
    Withdrawal &w = r->withdrawal;
    if (w.op != WithdrawOp::kAddrRem || w.addr != addr || w.prefix_len != plen)
        w = {WithdrawOp::kAddrRem, addr, plen, 0};
    // 4.
    if (uint32_t st = intf_addr_entries(m, *c.priv, *r, addr, plen, 0, kRuleUnlearn,
                                        "Could not remove LPM rule from hardware\n", &w.done))
        return st;
    // 5.
    if (plen != 31) {
        if (uint32_t st = intf_subnet_guards(m, vrd, addr, plen, 1, "Failed to remove invalid SIP addresses\n",
                                             "Failed to remove invalid DIP addresses\n", &w.done, r))
            return st;
    }
    // 6.
    if (!zel_ip_address_compress(m, addr, vrd, kCompressRemove, nullptr))
        return ZFAIL_FATAL(m, fatal(ZEL_E_NO_SLOT),
                           "IP address 0x%08x in VRD %d could not be removed from compressed list\n",
                           addr, static_cast<int>(vrd));
    // 7. The last secondary fills the hole; for the primary it is
    //    promoted and keeps the entries it has.
    const uint32_t last = count - 1;
    if (primary) {
        r->params.addr = r->secondary[last].addr;
        r->params.prefix_len = r->secondary[last].prefix_len;
    } else if (slot != last) {
        r->secondary[slot] = r->secondary[last];
    }
    r->secondary[last] = {0, 0};
    r->secondary_count = static_cast<uint8_t>(last);
    w = {};
    return 0;
}

uint32_t subnet_status(Call &c, zel_ip_intf_handle_t h, const uint32_t *ap, uint32_t status) {
    zel_module_t *m = c.m;
    // 1-3.
    if (!ap) return ZREJECT(m, kBadParam, "NULL prefix address pointer specified\n");
    zel_ip_interface *r = intf_of(h);
    if (!r) return ZREJECT(m, error(ZEL_IP_E_INVALID_IP_INTERFACE), "Invalid Interface Handle type\n");
    if (delete_begun(*r)) return reject_deleting(m, error(ZEL_IP_E_INVALID_IP_INTERFACE));
    if (!intf_vrd_ok(*r)) return ZREJECT(m, kBadHandle, "Invalid Virtual Routing Domain handle \n");
    // 4. Prefix length 0: every subnet, the primary's first.
    AddrPrefix first{r->params.addr, r->params.prefix_len};
    const bool all = ap[1] == 0;
    if (!all) {
        bool found = same(first, ap[0], ap[1]);
        for (uint32_t i = 0; !found && i < r->secondary_count; ++i) found = same(r->secondary[i], ap[0], ap[1]);
        if (!found) return ZREJECT(m, kBadParam, "Cannot find the specified network address!\n");
        first = {ap[0], ap[1]};
    }
    // 5-6. Status 0 withdraws, any other learns. The route is the
    //      interface's own entry: a learn takes it back from whoever wrote
    //      the key since, a withdrawal leaves an entry that is no longer
    //      the interface's alone.
    const uint32_t vrd = vrd_id_of(*r), intf = intf_id_of(*r);
    const uint32_t op = status == 0 ? kRuleUnlearn : kRuleLearn;
    auto route = [&](const AddrPrefix &s) {
        return owned_entry(m, *c.priv, kTreeDestAddr, r, vrd, s.addr, s.prefix_len, op,
                           layout::dest::attached_subnet(intf), "Could not add LPM rule in hardware\n",
                           ZEL_SITE);
    };
    if (uint32_t st = route(first)) return st;
    if (!all) return 0;
    for (uint32_t i = 0; i < r->secondary_count; ++i) {
        if (uint32_t st = route(r->secondary[i])) return st;
    }
    return 0;
}

uint32_t ingress_association(Call &c, zel_ip_intf_handle_t h, const uint32_t *ap,
                             const zel_ip_addr_assoc_req_t *req) {
    zel_module_t *m = c.m;
    // 1-3.
    if (!req || !ap) return ZREJECT(m, kBadParam, "NULL input parameter\n");
    zel_ip_interface *r = intf_of(h);
    if (!r) return ZREJECT(m, kBadParam, "Invalid IP Interface Handle\n");
    if (delete_begun(*r)) return reject_deleting(m, kBadParam);
    const uint32_t addr = ap[0];
    if (ap[1] != kHostPrefix)
        return ZREJECT(m, kBadParam, "Invalid prefix length. Must be %d\n", static_cast<int>(kHostPrefix));
    // 4. Any of the interface's own addresses is a self address. Any other
    //    A is a host of the first subnet that holds it, the primary's
    //    first. (Classifying by the first subnet alone would take a
    //    secondary inside the primary's subnet for a host, and overwrite
    //    or even unlearn that address's local entry.)
    bool self = addr == r->params.addr;
    for (uint32_t i = 0; !self && i < r->secondary_count; ++i) self = addr == r->secondary[i].addr;
    bool found = self || in_subnet(addr, r->params.addr, r->params.prefix_len);
    for (uint32_t i = 0; !found && i < r->secondary_count; ++i)
        found = in_subnet(addr, r->secondary[i].addr, r->secondary[i].prefix_len);
    if (!found) return ZREJECT(m, kBadParam, "Address specified not found\n");
    // 5-7.
    if (self && req->enable == 0)
        return ZREJECT(m, kBadParam, "Ingress association cannot be disabled for self IP address\n");
    uint8_t tree_mask = 0;
    if (req->enable == 1) {
        if (uint32_t st = zel_ipv4_valid_ingress_association_mask(m, req->mask))
            return ZREJECT(m, error(st), "Unexpected ingress association rule\n");
        tree_mask = assoc_tree_mask(req->mask, 0);
    }
    if (!intf_vrd_ok(*r)) return ZREJECT(m, kBadHandle, "Invalid VIrtual Routing Domain handle \n");
    // 8. The /32 entry. A self address keeps its compressed index, which
    //    local delivery reads from every Locally-Addressed entry, and the
    //    entry stays the interface's own. A host entry is the
    //    application's, as a route is (tree/zel_ip_ledger.h).
    const uint32_t vrd = vrd_id_of(*r), intf = intf_id_of(*r);
    constexpr const char *kRuleMsg = "Could not program LPM rule in hardware\n";
    if (self) {
        uint32_t cdip = 0;
        if (!zel_ip_address_compress(m, addr, vrd, kCompressFind, &cdip))
            return ZFAIL_FATAL(m, fatal(ZEL_E_NO_SLOT),
                               "IP address 0x%08x in VRD %d not found in compressed list\n", addr,
                               static_cast<int>(vrd));
        return owned_entry(m, *c.priv, kTreeDestAddr, r, vrd, addr, kHostPrefix, kRuleLearn,
                           layout::dest::local_address(static_cast<uint8_t>(cdip), tree_mask,
                                                       r->params.reassemble == 1, intf),
                           kRuleMsg, ZEL_SITE);
    }
    hwe_action_t a = layout::dest::attached_host(tree_mask, intf);
    const uint32_t op = req->enable == 1 ? kRuleLearn : kRuleUnlearn;
    const uint64_t key = ledger_addr_key(kTreeDestAddr, vrd, addr, kHostPrefix);
    const uint32_t st = layout::key_program(m, c.priv->trees[kTreeDestAddr],
                                            layout::vrd_prefix_key(vrd, addr, kHostPrefix), op, a,
                                            kRuleMsg, ZEL_SITE);
    if (engine_step_done(st)) ledger_of(*c.priv).replace(key);
    return st;
}

}  // namespace

extern "C" {

uint32_t zel_ip_interface_addr_add(zel_module_t *module, zel_ip_intf_handle_t intf,
                                   const uint32_t addr[2]) {
    return with_module(module, __func__, [&](Call &c) { return add_addr(c, intf_of(intf), addr); });
}

uint32_t zel_ip_interface_addr_rem(zel_module_t *module, zel_ip_intf_handle_t intf,
                                   const uint32_t addr[2]) {
    return with_module(module, __func__, [&](Call &c) { return remove_addr(c, intf_of(intf), addr); });
}

uint32_t zel_ip_interface_subnet_status_set(zel_module_t *module, zel_ip_intf_handle_t intf,
                                            const uint32_t addr[2], uint32_t status) {
    return with_module(module, __func__,
                       [&](Call &c) { return subnet_status(c, intf, addr, status); });
}

uint32_t zel_ip_addr_ingress_association_set(zel_module_t *module, zel_ip_intf_handle_t intf,
                                             const uint32_t addr[2],
                                             const zel_ip_addr_assoc_req_t *req) {
    return with_module(module, __func__,
                       [&](Call &c) { return ingress_association(c, intf, addr, req); });
}

}  // extern "C"
