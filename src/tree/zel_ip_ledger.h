// The entry ledger: who holds an entry of the per-domain address trees
// (tree 0 source, tree 2 destination) and which object an INTF-ID keys.
//
// Several writers meet in tree 2: interfaces, tunnels and virtual
// interfaces learn their subnet routes, local addresses and subnet
// broadcasts there, domains and interfaces learn invalid sources in tree
// 0, and the application writes routes, invalid destinations and host
// associations over any key. The engine holds one action per key and
// refuses to unlearn a key it does not hold, so an object that unlearnt
// an entry somebody else had taken over would either remove that one's
// entry or, once it is gone, fail its delete forever.
//
// Invariant (kept under the module write lock):
//
//   ledger[key] = { own: X }     X (an interface, tunnel, virtual interface
//                                or domain record) learnt the entry last and
//                                it is still X's: X's delete unlearns it;
//   ledger[key] = { users: &n }  a route via a tunnel holds the entry; n is
//                                that tunnel's count of routes, so the
//                                tunnel is not deleted while routes use it;
//   no holder                    the entry is the application's (a route,
//                                an invalid destination, a host
//                                association) or there is none: no object
//                                unlearns it.
//
// Rules that keep it:
//   - an object learns a key only when no other object owns it, and one
//     object never holds two claims on one key: creates and address adds
//     whose entries would fall on an owned key are refused before anything
//     is taken (Ledger::owner);
//   - an object's learn makes it the owner (claim); its unlearn, or the
//     discovery that it no longer owns the key, ends the claim (release);
//     an entry that is no longer an object's own counts as withdrawn;
//   - an application write or removal of a key ends whatever claim it had
//     (replace): the entry is the application's from then on.
//
// Keys are packed into 64 bits: tree index, prefix length, VRD ID and the
// prefix bits (or the INTF-ID for the per-interface trees).
#ifndef ZEL_IP_LEDGER_H
#define ZEL_IP_LEDGER_H

#include <cstdint>
#include <unordered_map>

#include "core/zel_ip_log.h"
#include "hwe.h"

namespace zel::ip {

struct ZelIpPriv;

// The key of tree `tree` (0 or 2) for vrd/addr/len.
uint64_t ledger_addr_key(uint32_t tree, uint32_t vrd, uint32_t addr, uint32_t len);
// The INTF-ID an interface of any kind keys the per-interface trees with.
uint64_t ledger_intf_key(uint32_t intf_id);
// The tree-22 key of an interface's subnet addr/len (INTF-ID first).
uint64_t ledger_sip_key(uint32_t intf_id, uint32_t addr, uint32_t len);

class Ledger {
public:
    // The object whose own entry `key` is, or nullptr.
    const void *owner(uint64_t key) const noexcept;
    bool owns(uint64_t key, const void *obj) const noexcept { return obj && owner(key) == obj; }

    // Makes room for `key`, so that the claim or replace that follows a
    // learn cannot fail. False when memory is short (nothing changed).
    bool reserve(uint64_t key) noexcept;

    // `obj` has learnt `key`: the entry is its own (a route via a tunnel
    // that held it no longer counts).
    void claim(uint64_t key, const void *obj) noexcept;
    // `obj` has unlearnt `key`, or gives up a claim: the entry is nobody's
    // when it was obj's.
    void release(uint64_t key, const void *obj) noexcept;
    // The application wrote or removed `key`: the entry is nobody's own.
    // `via` (not 0) is the INTF-ID key of the tunnel a new route goes
    // through: the route counts as a use of that tunnel.
    void replace(uint64_t key, uint64_t via = 0) noexcept;

    // Routes through the interface whose INTF-ID key is `intf_key`.
    uint32_t route_users(uint64_t intf_key) const noexcept;
    // The delete of the interface keyed `intf_key` has begun: it takes no
    // new route.
    void set_closing(uint64_t intf_key) noexcept;
    bool closing(uint64_t intf_key) const noexcept;

    // `obj` goes away while entries it could not withdraw stay (a create
    // whose withdrawal failed): they stay claimed, by no live object, so no
    // other object takes them over and none unlearns them.
    void orphan(const void *obj) noexcept;

    // Keys held by an object or a route via a tunnel (for tests).
    size_t size() const noexcept;

private:
    struct Holder {
        const void *own = nullptr;
        uint64_t via = 0;      // INTF-ID key of the tunnel a route uses
        uint32_t users = 0;    // on an INTF-ID key: routes via the interface
        bool closing = false;  // on an INTF-ID key: its delete has begun
        bool empty() const { return !own && via == 0 && users == 0 && !closing; }
    };
    void set(uint64_t key, const void *own, uint64_t via) noexcept;
    std::unordered_map<uint64_t, Holder> map_;
};

Ledger &ledger_of(ZelIpPriv &p);

// True when the engine step of a learn or unlearn took effect: the call
// succeeded, or only the subnet database step after it failed (codes 60
// and 61 of zel_ipv4_lpm_rule).
bool engine_step_done(uint32_t status);

// Learns (kRuleLearn) or unlearns an entry of tree `tree` (0 or 2) keyed
// VRD ID then addr/len, as object `owner` programs it, keeping the
// ledger: a learn that reaches the engine makes the entry owner's; an
// unlearn of an entry that is no longer owner's is skipped and answers 0
// (withdrawn already), one that reaches the engine ends the claim.
// Failures as layout::key_program with `rule_msg`. Caller holds the lock.
uint32_t owned_entry(zel_module_t *m, ZelIpPriv &p, uint32_t tree, const void *owner, uint32_t vrd,
                     uint32_t addr, uint32_t len, uint32_t op, hwe_action_t a, const char *rule_msg,
                     Site s);

// An application write (kRuleLearn) or removal (kRuleUnlearn) of the entry
// of tree `tree` (0 or 2) keyed VRD ID then addr/len: once the engine step
// took effect the entry is nobody's own (Ledger::replace), whoever owned
// it; `via` (not 0) is the INTF-ID key of a tunnel a new route uses.
// Failures as layout::key_program with `rule_msg`, or FATAL "Memory
// allocation failed\n" (0x10012) when a use cannot be recorded. Caller
// holds the lock.
uint32_t app_entry(zel_module_t *m, ZelIpPriv &p, uint32_t tree, uint32_t vrd, uint32_t addr, uint32_t len,
                   uint32_t op, hwe_action_t &a, const char *rule_msg, uint64_t via, Site s);

// The same for any single-pattern tree: `key` is the ledger key, `spec`
// the engine key (a layout::KeySpec).
namespace layout { struct KeySpec; }
uint32_t owned_key_entry(zel_module_t *m, ZelIpPriv &p, uint32_t tree, const void *owner, uint64_t key,
                         const layout::KeySpec &spec, uint32_t op, hwe_action_t a, const char *rule_msg,
                         Site s);

}  // namespace zel::ip

#endif  // ZEL_IP_LEDGER_H
