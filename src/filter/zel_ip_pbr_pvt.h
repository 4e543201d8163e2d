// What the policy-based routing operations share.
//
// Entries of one policy rule (ID = its NS ID in "ip_pbr_stats"; SET = its
// policy set's id):
//
//   tree 33  SET (8 bits), eight ranges, at the rule's index   W1 = ID (kind 0)
//   tree 3   ID (12 bits)                                       the action
//
// and 16 bytes of its state-engine record (counters), cleared at create.
// Tree 33 is staged: the engine matches with a set as last built, so a
// deleted rule's ID (and with it its tree-3 entry) waits on the set's
// pending list until a commit has built the set without it.
//
// Where a set is applied:
//
//   tree 25  INTF-ID    W1 = egress filter rule set id, W2 = SET (kind 0)
//   tree 23  INTF-ID    W1 = ingress flags with bit 2 (PBR), W2 = stats NS ID
//   tree 37  VRD-ID     W1 = SET | 0x100 (kind 0): one domain's local traffic
//   tree 37  catch-all  W1 = SET | 0x100: every other domain's local traffic
//
// Uses (the registry's obj_use): a set is used by its live rules, by the
// interfaces, domains and catch-all it is applied to; a tunnel by the
// rules whose action goes into it, and by the pending ids of such rules
// until they are released. A used object's delete is refused.
//
// Every operation here runs under the module write lock.
#ifndef ZEL_IP_PBR_PVT_H
#define ZEL_IP_PBR_PVT_H

#include <cstdint>

#include "core/zel_ip_call.h"
#include "filter/zel_ip_pbr_types.h"
#include "flow/zel_ip_flow_pvt.h"
#include "zel_ip/zel_ip_pbr.h"

namespace zel::ip {

// Statuses of this subsystem.
inline constexpr uint32_t kBadPolicySet = 0x103001b;       // invalid policy set handle
inline constexpr uint32_t kPbrNsAlloc = error(ZEL_E_NSID_ALLOC);   // 0x3001d
inline constexpr uint32_t kPbrNsFree = fatal(ZEL_E_NSID_FREE);     // 0x1001e
inline constexpr uint32_t kPbrSeClear = fatal(ZEL_E_SE_WRITE);     // 0x1002c
inline constexpr uint32_t kPbrInsertFail = fatal(0x54);            // rule insert refused
inline constexpr uint32_t kPbrDeleteFail = fatal(0x55);            // rule delete refused
inline constexpr uint32_t kPbrBuildFail = fatal(0x57);             // set build failed
inline constexpr uint32_t kPbrRebuildFail = fatal(0x58);           // rebuild failed
inline constexpr uint32_t kInUse = error(ZEL_E_INVALID_STATE);     // 0x3000f
inline constexpr uint32_t kPbrSeBytes = 16;                        // counters cleared at create
inline constexpr uint32_t kPbrOpInsert = 1, kPbrOpDelete = 0;      // zel_ip_pbr_hw_rule
inline constexpr uint32_t kPbrEnabled = 0x100;                     // tree-37 W1 bit 8

// The live policy set behind a handle, or NULL.
zel_ip_policy_set *policy_set_of(const void *h);

// The live policy rule behind a handle, or NULL.
zel_ip_flow *pbr_rule_of(const void *h);

// The tunnel an action goes into (its egress interface is a live tunnel),
// or NULL.
zel_ip_tunnel *pbr_action_tunnel(const zel_ip_pbr_action_t &a);

// Takes an id from "ip_pbr_stats" and clears its 16-byte counter record.
// Failures: 0x3001d, 0x1002c (then *taken tells whether the id is held).
uint32_t pbr_rule_id_take(Call &c, uint32_t *ns_id, bool *taken);
// Gives a rule id back: "Freed PBR rule NS ID 0x%x\n" at info level;
// failure: ERROR "Failed to free the PBR rule NS ID 0x%x, RTE Error: %s\n",
// the status (0x1001e) returned.
uint32_t pbr_rule_id_free(Call &c, uint32_t ns_id);

// Releases one set's pending list after a build without its deleted
// rules: per id, unlearn its tree-3 entry (failure logged "Failed to
// remove PBR action from hw"), give the id back, drop the tunnel use. An
// id whose release failed stays on the list (at its step) for the next
// commit. Returns 0 or the status of the last failure.
uint32_t pbr_release_pending(Call &c, zel_ip_policy_set &set);

// Builds a policy set's id as the 8-bit set-key pattern of its tree-33
// rules in tree 33's key buffer, which a rule-set tree does not get at
// start-up: it is made at the first use and freed with the tree at
// shutdown. Returns 0 or the pattern builder's status; *key then points
// at the buffer. Caller holds the lock (the buffer is shared).
uint32_t pbr_set_key(ZelIpPriv &p, uint32_t set_id, const zel_ptn_t **key);

// The user recorded for a domain's tree-37 entry, and its name.
const void *pbr_vrd_user(ZelIpPriv &p, uint32_t vrd_id);
const char *pbr_vrd_user_name(uint32_t vrd_id);

// The record words of an IPoE or tunnel interface that PBR reads and
// writes (both kinds keep them at the same offsets).
struct IntfWords {
    const void *rec;  // the interface record: the user of its policy set
    uint32_t intf_id;
    uint32_t stats_ns_id;
    uint32_t *ingress_flags;
    uint32_t *policy_set_id;
    const void *egress_rule_set;
};

// Applies policy set id `set_id` (0: none) to an interface: tree 25, then
// tree 23 with PBR bit 2 set or cleared; only after both succeed does the
// record take the new flags and id. Failures: "Could not build the input
// pattern" / "Could not modify LPM rule in hardware", severity 1.
uint32_t pbr_intf_apply(Call &c, const IntfWords &w, uint32_t set_id);

}  // namespace zel::ip

#endif  // ZEL_IP_PBR_PVT_H
