// The attribute words of an interface, and the one place that rewrites
// the per-interface entries built from them.
//
// IPoE and tunnel records keep the same words after the type word (stats
// NS ID, DSCP map profile, policing request, ingress and egress flags,
// policy set id, the two rule set handles; zel_ip_tunnel_pvt.h checks the
// offsets) and the same bookkeeping (AttrBook). IntfAttr points at them in
// a record of either kind, so an operation on "an interface" is written
// once. The words are what the engine holds:
//
//   tree 23  INTF-ID   W1 = ingress flags            W2 = stats NS ID
//   tree 24  INTF-ID   W1 = egress flags             W2 = stats NS ID
//   tree 25  INTF-ID   W1 = egress rule set id       W2 = policy set id   (kind 0)
//   tree 26  INTF-ID   W1 = DSCP map profile         W2 = policing flow, 0 when off
//            (only while the profile is not 0 or policing is on)
//
// A change is: take the current words (attr_words), edit them, write the
// entries that carry the edited words (attr_learn), and only when every
// entry of the operation succeeded store the words (attr_store). Every
// writer of these words (the attribute operations, capture, policy-based
// routing) goes through these three, so none undoes another's bits: each
// starts from what the record holds now.
//
// Callers hold the module write lock.
#ifndef ZEL_IP_ATTR_PVT_H
#define ZEL_IP_ATTR_PVT_H

#include <cstdint>

#include "interface/zel_ip_tunnel_pvt.h"

namespace zel::ip {

// The attribute words of one live IPoE or tunnel interface.
struct IntfAttr {
    void *rec = nullptr;  // the interface record (NULL: none)
    bool ipoe = false;    // IPoE (else tunnel)
    uint32_t intf_id = 0;
    const uint32_t *stats_ns_id = nullptr;
    uint32_t *dscp_profile = nullptr;
    PolicingReq *policing = nullptr;
    uint32_t *ingress_flags = nullptr;
    uint32_t *egress_flags = nullptr;
    uint32_t *policy_set_id = nullptr;
    zel_ip_rule_set_handle_t *ingress_rule_set = nullptr;
    zel_ip_rule_set_handle_t *egress_rule_set = nullptr;
    AttrBook *book = nullptr;
};

// The attribute words of `h` when it is a live IPoE or tunnel interface
// (checked through the registry), else an IntfAttr with rec NULL.
IntfAttr intf_attr_of(const void *h);
IntfAttr intf_attr(zel_ip_interface &r);
IntfAttr intf_attr(zel_ip_tunnel &t);

// True once the interface's delete has begun: it takes no change.
bool attr_deleting(ZelIpPriv &p, const IntfAttr &a);

// The id of a live rule set (1 to 32), 0 for NULL.
uint32_t rule_set_id(zel_ip_rule_set_handle_t h);

// The words of trees 23 to 25.
struct AttrWords {
    uint32_t ingress_flags;  // tree 23 W1
    uint32_t egress_flags;   // tree 24 W1
    uint32_t egress_set_id;  // tree 25 W1: id of the egress rule set, 0 = none
    uint32_t policy_set_id;  // tree 25 W2
};

// The words the interface holds now.
AttrWords attr_words(const IntfAttr &a);

// Entries of attr_learn.
enum AttrEntry : uint32_t {
    kAttrIngress = 1u << 0,   // tree 23
    kAttrEgress = 1u << 1,    // tree 24
    kAttrRuleSets = 1u << 2,  // tree 25
};

// Learns the entries `which` with the words of `next`, in the order 23,
// 24, 25, stopping at the first failure (severity 1 after "Could not build
// the input pattern\n" or `rule_msg`); the entries before it keep the new
// words. Stores nothing.
uint32_t attr_learn(zel_module_t *m, ZelIpPriv &p, const IntfAttr &a, const AttrWords &next, uint32_t which,
                    const char *rule_msg);

// Stores the words of `next` (the flags and the policy set id; rule set
// handles are the caller's to store).
void attr_store(IntfAttr &a, const AttrWords &next);

// True when the interface has a tree-26 entry: its profile is not 0 or
// policing is on (the record words follow the entry, since tree 26 is
// always the last entry an operation writes).
bool dscp_police_held(const IntfAttr &a);

// Writes tree 26 for a profile and policing state: learns W1 = profile,
// W2 = policing flow (0 when off) when either is on, else unlearns the
// entry the interface has (nothing to do when it has none). Failure:
// severity 1 after "Could not build the input pattern\n" or `rule_msg`.
uint32_t dscp_police_program(zel_module_t *m, ZelIpPriv &p, const IntfAttr &a, uint32_t profile,
                             bool policing, uint32_t police_flow, const char *rule_msg);

// The part of an interface delete that belongs to its attributes, run
// with the entries: withdraws the tree-26 entry unless `*done` has
// kWdDscpPolice (set once withdrawn). Failure as dscp_police_program.
uint32_t attr_withdraw(zel_module_t *m, ZelIpPriv &p, const IntfAttr &a, uint32_t *done, const char *rule_msg);

// Registers the interface as a user of the rule set `rs` ("IP interface"),
// false when memory is short (nothing recorded).
bool attr_use_rule_set(const IntfAttr &a, zel_ip_rule_set_handle_t rs);
// Drops the uses of the attached rule sets: called when the record goes.
void attr_unuse_all(const IntfAttr &a);

}  // namespace zel::ip

#endif  // ZEL_IP_ATTR_PVT_H
