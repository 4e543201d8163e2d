// The IPoE interface record and the helpers its operations share: the
// address check, the entries every interface address gets, and the
// invalid-source and subnet-broadcast entries of a subnet.
//
// Entries of one interface (INTF-ID = the Layer-2 interface's id; A/P an
// address of the interface and its prefix length):
//
//   tree 23  INTF-ID                     ingress flags | stats NS ID
//   tree 24  INTF-ID                     egress flags  | stats NS ID
//   tree 32  INTF-ID (no DSCP)           PCP 0         | MTM NS ID
//   tree 25  INTF-ID                     no egress rule set, no policy set
//   per address:
//   tree 22  INTF-ID, A/P                source address A, MTU
//   tree 2   VRD, A/P                    attached subnet -> INTF-ID
//   tree 2   VRD, A/32                   local address (compressed index)
//   unless P = 31:
//   tree 0   VRD, network and broadcast of A/P    Block-All source
//   tree 2   VRD, broadcast and network of A/P    subnet broadcast
//
// Every operation here runs under the module write lock (the callers are
// public operations); the record is changed only under it.
#ifndef ZEL_IP_INTERFACE_PVT_H
#define ZEL_IP_INTERFACE_PVT_H

#include <cstdint>

#include "core/zel_ip_call.h"
#include "core/zel_ip_limits.h"
#include "core/zel_ip_objects.h"
#include "tree/zel_ip_ledger.h"
#include "zel_ip/zel_ip_core.h"
#include "zel_ip/zel_ip_interface.h"

namespace zel::ip {

inline constexpr uint32_t kMaxSecondaries = kMaxAddrsPerIntf - 1;  // nine
inline constexpr uint32_t kPcpEntries = 64;                        // one per DSCP
inline constexpr uint32_t kIntfStatsBytes = 256;   // state-engine statistics record
inline constexpr uint32_t kMtmStatsBytes = 144;    // DSCP group statistics record
inline constexpr uint32_t kMtmSharedBytes = 32;    // traffic-manager shared parameters
inline constexpr uint16_t kDefaultAssocMask = 0x10;  // protocol only
inline constexpr uint32_t kMinMtu = 64, kMaxMtu = 9000;

// Operations of the compressed address table (zel_ip_address_compress).
inline constexpr uint32_t kCompressStore = 0, kCompressRemove = 1, kCompressFind = 2;

// A secondary address slot; free when both words are 0.
struct AddrPrefix {
    uint32_t addr;
    uint32_t prefix_len;
};

// Last ingress policing request of the interface.
struct PolicingReq {
    uint8_t enable;
    void *policer;
};

// Steps of withdrawing an interface or one of its addresses, as bits of
// Withdrawal::done. The engine refuses to unlearn an entry that is gone,
// so a removal that failed partway and is repeated must skip what it has
// already withdrawn, or it could never complete.
enum WithdrawStep : uint32_t {
    kWdIngressFlags = 1u << 0,   // tree 23
    kWdEgressFlags = 1u << 1,    // tree 24
    kWdDscpPcp = 1u << 2,        // tree 32
    kWdRuleSet = 1u << 3,        // tree 25
    kWdSipMtu = 1u << 4,         // tree 22       (per address from here on)
    kWdSubnetRoute = 1u << 5,    // tree 2 subnet
    kWdLocal = 1u << 6,          // tree 2 /32
    kWdSrcNetwork = 1u << 7,     // tree 0 network address
    kWdSrcBroadcast = 1u << 8,   // tree 0 broadcast address
    kWdDstBroadcast = 1u << 9,   // tree 2 broadcast address
    kWdDstNetwork = 1u << 10,    // tree 2 network address
    kWdCompressed = 1u << 11,    // compressed address slot
    kWdMtmNsId = 1u << 12,       // MTM NS ID returned
    kWdIntfId = 1u << 13,        // interface id returned (IPoE)
};

// Which removal the progress belongs to.
enum class WithdrawOp : uint32_t { kNone, kDelete, kAddrRem };

// Progress of the last removal that failed partway. It applies only when
// the same removal ({op, address, prefix}) is called again; a removal of
// something else starts from scratch, and a success clears it.
struct Withdrawal {
    WithdrawOp op;
    uint32_t addr;
    uint32_t prefix_len;
    uint32_t done;  // WithdrawStep bits
};

// The domains an interface lives in are in use while it lives: deleted
// under it, a domain's id could go to a new domain and the interface could
// never be deleted (its delete needs its domain's handle). NULL names the
// default domain, which is never deleted, and records no use. Returns
// false, having recorded nothing, when memory is short.
bool intf_use_domains(const void *intf, zel_ip_vrd_handle_t a, zel_ip_vrd_handle_t b, const char *what);
// Drops what intf_use_domains recorded (nothing when it recorded nothing).
void intf_unuse_domains(const void *intf, zel_ip_vrd_handle_t a, zel_ip_vrd_handle_t b);

// A deleted interface no longer uses the policy set applied to it (its
// tree-25 and tree-23 entries are gone with it).
inline void intf_unuse_policy_set(ZelIpPriv &p, const void *intf, uint32_t policy_set_id) {
    if (policy_set_id != 0 && policy_set_id <= kPolicySetIdCount && p.pbr_sets[policy_set_id])
        obj_unuse(p.pbr_sets[policy_set_id], intf);
}

}  // namespace zel::ip

// An IPoE interface: the interface handle points here. Fields in the
// documented order; the record comes zeroed from obj_alloc (kind kIpoe).
struct zel_ip_interface {
    // Object header (INTF-ID, owner, header magic, VRD ID in the fifth
    // word) and the type word kIpoeType; owner, magic and type are set
    // while the interface is live.
    zel::ip::IntfHead head;
    uint32_t stats_ns_id;  // interface id; names the 256-byte statistics record
    uint32_t rsvd0;
    uint32_t rsvd1;        // written as 0 at create
    uint32_t dscp_profile; // ingress priority-map profile, 0 = none
    uint32_t rsvd2;
    zel::ip::PolicingReq policing;
    uint32_t ingress_flags;  // W1 last learnt into tree 23
    uint32_t egress_flags;   // W1 last learnt into tree 24
    uint32_t policy_set_id;  // W2 of the tree-25 entry
    zel_ip_rule_set_handle_t ingress_rule_set;
    zel_ip_rule_set_handle_t egress_rule_set;
    zel_ip_vrd_handle_t vrd;  // as the caller gave it
    // The caller's parameters, with the effective association mask (0x10
    // for 0) and MTU (1500 for 0). addr/prefix_len are the primary.
    zel_ip_intf_params_t params;
    // Secondaries occupy slots 0 .. secondary_count - 1.
    uint8_t secondary_count;
    zel::ip::AddrPrefix secondary[zel::ip::kMaxSecondaries];
    uint32_t mtm_ns_id;  // DSCP group statistics; W2 of the tree-32 entry
    uint8_t pcp[zel::ip::kPcpEntries];  // PCP per DSCP in tree 32, 0 = none
    // Module-side bookkeeping after the documented fields.
    // Bit d set: tree 32 holds the interface's entry for DSCP d. The PCP
    // table alone cannot say so, since a DSCP may map to PCP 0.
    uint64_t pcp_mapped;
    zel::ip::Withdrawal withdrawal;
};

namespace zel::ip {

// The INTF-ID and VRD ID recorded in the header at create.
inline uint32_t intf_id_of(const zel_ip_interface &r) { return r.head.hdr.intf_id; }
inline uint32_t vrd_id_of(const zel_ip_interface &r) { return r.head.hdr.vrd_id; }

// An interface address A/P acceptable as a primary or secondary: refuses
// multicast (only above /3), loopback (only above /7), 0, a prefix length
// outside 1 to 31, and below /31 a host part of all zeros or all ones.
bool intf_addr_ok(uint32_t addr, uint32_t prefix_len);

// An address other than 0 that can stand for one host: not the limited
// broadcast, not multicast, not loopback (tunnel ends, virtual interface
// addresses).
bool host_addr_ok(uint32_t addr);

// The interface's live record behind a handle, or NULL.
zel_ip_interface *intf_of(zel_ip_intf_handle_t h);

// True once the interface's delete has begun (it failed partway): from
// then on only the repeated delete is accepted, since any change would
// re-learn what the delete has withdrawn.
inline bool delete_begun(const zel_ip_interface &r) { return r.withdrawal.op == WithdrawOp::kDelete; }

// The refusal of a change to an object whose delete has begun: ERROR
// "Interface is being deleted; only its delete can be repeated\n" with
// `status` (the call's own status for a handle it cannot use).
uint32_t reject_deleting(zel_module_t *m, uint32_t status);

// Resolves the interface's VRD handle (0 when refused). A handle that now
// names a domain other than the one the interface was created in (its
// record freed and reused) is refused too: the interface's entries are
// keyed by the domain it was created in.
bool intf_vrd_ok(const zel_ip_interface &r);

// The tree-2 entry of an own address of an interface of any kind:
// Locally-Addressed, compressed index `cdip`, the tree mask of the
// interface's association mask `assoc_mask` (every protocol, so the port
// fields count), DEFRAG when `reassemble` is 1; W2 = INTF-ID.
hwe_action_t local_addr_entry(uint16_t assoc_mask, uint8_t reassemble, uint32_t intf_id,
                              uint8_t cdip);

// The local-address entry of A on an IPoE interface (local_addr_entry with
// the interface's mask, reassembly and INTF-ID).
hwe_action_t intf_local_entry(const zel_ip_interface &r, uint8_t cdip);

// Learns (kRuleLearn) or unlearns (kRuleUnlearn) the entry of tree `tree`
// keyed by the INTF-ID alone (trees 5, 23 to 25, and 22 and 32 without
// their second field).
// Failures as rule_program: "Could not build the input pattern\n" or
// `rule_msg`, severity 1.
uint32_t intf_key_entry(zel_module_t *m, ZelIpPriv &p, uint32_t tree, uint32_t intf_id, uint32_t op,
                        hwe_action_t a, const char *rule_msg);

// Clears `len` bytes (at most kIntfStatsBytes) of the state-engine record
// of `ns_id`, traced first. Failure: FATAL "Failed to clear state engine
// memory, RTE Error: %s\n", 0x1002c.
uint32_t intf_clear_se(zel_module_t *m, uint32_t ns_id, uint32_t len);

// The statistics of a new interface whose interface id is `stats_ns_id`:
// clears its statistics record, takes an MTM NS ID for its DSCP group
// statistics ("Allocated interface MTM NS ID 0x%x\n") and clears the
// id's state-engine record and traffic-manager shared parameters.
// `*mtm_taken` tells whether the MTM NS ID was taken (also on failure).
// Failures: 0x1002c, 0x1001d (FATAL, with the engine's text).
uint32_t intf_stats_setup(zel_module_t *m, ZelIpPriv &p, uint32_t stats_ns_id, uint32_t *mtm_ns_id,
                          bool *mtm_taken);

// Returns an MTM NS ID and logs "Freed NS ID 0x%x used for <stats_kind>\n"
// at info level. Failure: FATAL "Failed to free NS ID for DSCP Group
// stats, RTE Error: %s\n", 0x1001e.
uint32_t intf_mtm_free(zel_module_t *m, ZelIpPriv &p, uint32_t mtm_ns_id, const char *stats_kind);

// Learns (op kRuleLearn) or unlearns (kRuleUnlearn) the three entries of
// one address: tree 22, the tree-2 subnet route and the tree-2 local
// entry (`cdip` is used when learning). On failure the status of the
// failing entry (severity 1) after "Could not build the input pattern\n"
// or `rule_msg`; the entries after it are not attempted. `done` (NULL: no
// progress kept) skips and records WithdrawStep bits of an unlearn.
uint32_t intf_addr_entries(zel_module_t *m, ZelIpPriv &p, const zel_ip_interface &r,
                           uint32_t addr, uint32_t prefix_len, uint8_t cdip, uint32_t op,
                           const char *rule_msg, uint32_t *done);

// The invalid-source and subnet-broadcast entries of A/P (not for /31):
// learn (remove 0) or unlearn, with the caller's messages for a failure of
// each pair ("Failed to configure invalid SIP addresses\n" ...). `done` as
// for intf_addr_entries; `owner` is the object whose entries they are in
// the ledger (an unlearn skips what is no longer its own).
uint32_t intf_subnet_guards(zel_module_t *m, uint32_t vrd_id, uint32_t addr, uint32_t prefix_len,
                            uint32_t remove, const char *sip_msg, const char *dip_msg,
                            uint32_t *done, const void *owner);

// Which address-tree keys an address of an interface takes (see
// addr_keys_free).
struct AddrKeys {
    bool subnet_route;  // tree 2 A/P
    bool guards;        // trees 0 and 2, network and broadcast /32
    bool local;         // tree 2 A/32
};
inline AddrKeys ipoe_addr_keys(uint32_t prefix_len) { return {true, prefix_len != 31, true}; }

// Checks that no object owns one of the keys address A/P takes in domain
// `vrd` (an address's entries never fall on another address's or the
// domain's own: that one's delete would then remove them, or fail on
// them), and makes room for them in the ledger. Failures: 0x1030014
// "IP address 0x%08x/%d in VRD %d overlaps the entries of another
// address\n", 0x10012 (no memory). Nothing is taken on failure.
uint32_t addr_keys_free(Call &c, uint32_t vrd, uint32_t addr, uint32_t prefix_len, AddrKeys k);

// True when a tree step of a removal left its entry withdrawn: it
// succeeded, or only the subnet database step after the engine's unlearn
// failed (engine_step_done, zel_ip_ledger.h).
bool entry_withdrawn(uint32_t status);

// Runs step `bit` of a removal unless `done` records it; records it when
// `completed(status)` holds. With `done` NULL the step just runs.
template <typename Step, typename Completed>
uint32_t withdraw_step(uint32_t *done, uint32_t bit, Step &&step, Completed &&completed) {
    if (done && (*done & bit)) return 0;
    const uint32_t st = step();
    if (done && completed(st)) *done |= bit;
    return st;
}

// Runs step `bit` of a learn or removal of an entry the ledger keeps
// (owned_entry): always, since the ledger, not `done`, knows whether the
// entry is still the object's (a bit recorded by an earlier removal goes
// stale once a later call learns the entry again); records the bit in
// `done` when the engine step took effect.
template <typename Step>
uint32_t ledger_step(uint32_t *done, uint32_t bit, Step &&step) {
    const uint32_t st = step();
    if (done && entry_withdrawn(st)) *done |= bit;
    return st;
}

}  // namespace zel::ip

extern "C" {

// The two invalid-source entries (tree 0, Block-All) of the subnet of
// addr_prefix = {address, prefix length}: the network address, then the
// broadcast address, each keyed VRD ID and the whole address. remove 0
// learns, any other value unlearns. Returns 0 or the failing result with
// severity 1 ("Could not build the input pattern\n" / "Could not program
// LPM rule in hardware\n"); the second entry is not attempted after a
// failed first. Caller holds the module lock.
uint32_t zel_ip_invalid_sip(zel_module_t *module, uint32_t vrd_id, const uint32_t addr_prefix[2],
                            uint32_t remove);

// The two subnet-broadcast entries (tree 2, W1 = Subnet-Broadcast) of the
// subnet: the broadcast address, then the network address. As above.
uint32_t zel_ip_subnet_bcast(zel_module_t *module, uint32_t vrd_id, const uint32_t addr_prefix[2],
                             uint32_t remove);

}  // extern "C"

#endif  // ZEL_IP_INTERFACE_PVT_H
