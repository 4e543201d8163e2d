// The flow record and what the flow operations share.
//
// Every flow handle (ingress and egress associations, egress flows,
// filter rules, policy routes) points to a zel_ip_flow: the flow header
// (NS ID, owning module, header magic), the type word kFlowType and the
// kind word (FlowKind), then the body of its kind. Records come zeroed
// from obj_alloc (kind kFlow); a handle is checked through the registry
// before a word of it is read (flow_of).
//
// Entries of one ingress association (NS ID = its id in "ip_ingress_assoc"):
//
//   order  tree  key                           value                      when
//    1     27    NS ID                         NCA queue / PH handle       Send-to-CPU
//    2     19    NS ID (as a 28-bit flow key)  CPU queue                   Send-to-CPU
//    3     7     NS ID                         policing flow id (kind 0)   policing 1
//    4     8     tree mask, selected fields    action, NS ID               not Bind
//          9     DPORT, compressed DIP         (the one compressed shape)
//
// and its state-engine record: bytes 0 to 31 cleared at create, the
// context flow id at byte 8 (Send-to-CPU), the source address and port at
// byte 16 (compressed shape).
//
// What an association holds is recorded as it is taken: `absent` has a
// bit for every part it does not hold. Create clears bits as it takes
// parts; a create that fails withdraws exactly those, and delete
// withdraws what is held in its order, so a delete that failed partway is
// completed by repeating it (the engine refuses to unlearn an entry that
// is gone). The VRD-ID, INTF-ID and compressed DIP that key the lookup
// entry are resolved once, at create: a delete never depends on the
// handles still naming what they named.
//
// Every operation here runs under the module write lock.
#ifndef ZEL_IP_FLOW_PVT_H
#define ZEL_IP_FLOW_PVT_H

#include <cstdint>

#include "core/zel_ip_call.h"
#include "core/zel_ip_objects.h"
#include "filter/zel_ip_filter_types.h"
#include "filter/zel_ip_pbr_types.h"
#include "filter/zel_ip_assoc_filter_types.h"
#include "flow/zel_ip_egress_types.h"
#include "tree/zel_ip_layout.h"
#include "zel_ip/zel_ip_flow.h"

namespace zel::ip {

// Parts of an ingress association.
enum AssocPart : uint32_t {
    kApNsId = 1u << 0,      // the NS ID
    kApCpuPath = 1u << 1,   // tree 27 and the context flow id
    kApCpuQueue = 1u << 2,  // tree 19
    kApPolicing = 1u << 3,  // tree 7
    kApLookup = 1u << 4,    // tree 8 or 9, and its place in the key index
};
inline constexpr uint32_t kApAll = kApNsId | kApCpuPath | kApCpuQueue | kApPolicing | kApLookup;

// The ids that key an association's lookup entry, resolved at create.
struct AssocTarget {
    uint32_t vrd_id;   // with a VRD bit in the mask
    uint32_t intf_id;  // with the interface bit and an interface given
    uint8_t cdip;      // compressed DIP of a tree-9 entry (set when learnt)
};

// Body of an ingress association (kind kFlowIngressAssoc).
struct IngressAssoc {
    zel_ip_ingress_assoc_params_t params;  // the caller's, whole
    // Module-side bookkeeping after the documented fields.
    AssocTarget target;
    uint32_t police_flow_id;  // W1 of the tree-7 entry
    uint32_t absent;          // AssocPart bits of parts not held
    uint64_t key_hash;        // of the lookup key, while kApLookup is held
    // 1 while the association's flow filter rules (tree 35) were added or
    // deleted since its last commit: what the engine compiled may then
    // hold rules that are gone, and the delete compiles the emptied list
    // before the id goes back (the next association to draw the id must
    // not inherit them).
    uint8_t filter_edited;
    BindState bind;           // a custom bind (Bind action only)
};

}  // namespace zel::ip

struct zel_ip_flow {
    zel::ip::FlowHead head;  // NS ID, owner, header magic; type word; kind
    union {
        zel::ip::IngressAssoc ingress;
        zel::ip::EgressAssoc egress_assoc;
        zel::ip::EgressFlow egress_flow;
        zel::ip::FilterRule filter;  // filter rules (filter/zel_ip_filter_types.h)
        zel::ip::PbrRule pbr;
        zel::ip::AssocFilterRule assoc_filter;
    } body;
};

namespace zel::ip {

inline constexpr uint32_t kAssocSeBytes = 32;      // cleared at create
inline constexpr uint32_t kAssocSeContext = 8;     // context flow id (4 bytes)
inline constexpr uint32_t kAssocSeSource = 16;     // compressed: SIP (4), SPORT (2)
inline constexpr uint8_t kProtoUdp17 = 17;
inline constexpr uint8_t kCompShapeMask = 0x7d;    // tree mask of the compressed shape

// The live flow of kind `kind` behind a handle, or NULL.
zel_ip_flow *flow_of(const void *h, FlowKind kind);

// The tree mask of an association's parameters.
uint8_t assoc_tree_mask_of(const zel_ip_ingress_assoc_params_t &p);

// True for the one shape kept in the compressed tree 9: tree mask 0x7D,
// UDP, DPORT 41000 to 61000.
bool assoc_compressed_shape(const zel_ip_ingress_assoc_params_t &p);

// The tree-8 key of an association (not ok when the fields do not fit the
// wildcard order).
layout::KeySpec assoc_lookup_key(const zel_ip_ingress_assoc_params_t &p, const AssocTarget &t);

// Learns (op kRuleLearn) or unlearns the lookup entry: tree 8, or tree 9
// through assoc_comp_update for the compressed shape. W1 from `action`
// (or, for Bind, the function indexes), policing and flow filtering; W2
// the NS ID. Failures: "Failed to build input pattern\n", "Failed to add
// LPM rule in hardware\n" / "Failed to remove LPM rule from hardware\n",
// severity 1. `key`, when given, is the tree-8 key the caller built
// already (assoc_lookup_key(a, t)).
uint32_t assoc_lookup_update(zel_module_t *m, ZelIpPriv &p, const zel_ip_ingress_assoc_params_t &a,
                             AssocTarget &t, uint32_t action, uint32_t ns_id, uint8_t imc_idx,
                             uint8_t flow_idx, uint32_t op, const layout::KeySpec *key = nullptr);
uint32_t assoc_comp_update(zel_module_t *m, ZelIpPriv &p, const zel_ip_ingress_assoc_params_t &a,
                           AssocTarget &t, uint32_t action, uint32_t ns_id, uint8_t imc_idx,
                           uint8_t flow_idx, uint32_t op);

// Tree 27 and, on add, the context flow id at byte 8 of the state-engine
// record. Failures: "Could not build the input pattern\n", "Failed to
// program LPM rule in hardware\n" (severity 1), "Failed to write to SE
// memory, RTE Error: %s\n" (0x3002c).
uint32_t assoc_terminated_update(zel_module_t *m, ZelIpPriv &p, uint32_t ns_id,
                                 const zel_ip_ingress_assoc_params_t &a, uint32_t op);

// ---- Key index --------------------------------------------------------
// The lookup keys of a module's associations, so that no two associations
// hold the same entry (the second learn would take the first's entry over,
// and deleting either would withdraw the other's). Kept in a table of the
// module (allocated at first use, freed with the module's records).

// The association that holds the lookup key `k` of tree `tree`, or NULL.
// Sets *hash to the key's hash for assoc_index_add.
zel_ip_flow *assoc_index_find(ZelIpPriv &p, uint32_t tree, const layout::KeySpec &k, uint64_t *hash);
// The association that holds the lookup key `ia` would learn (for the
// compressed shape, with its DIP's compressed form as it stands), or NULL.
// Sets ia.key_hash for assoc_index_add.
zel_ip_flow *assoc_key_holder(zel_module_t *m, ZelIpPriv &p, IngressAssoc &ia);
// Allocates the module's table at first use; false when memory is short.
bool assoc_index_reserve(ZelIpPriv &p);
// Records / forgets `f` under its key_hash (add needs a reserved table).
void assoc_index_add(ZelIpPriv &p, zel_ip_flow *f);
void assoc_index_remove(ZelIpPriv &p, zel_ip_flow *f);

}  // namespace zel::ip

extern "C" {

// The internal calls of ingress associations, exported with C linkage.
// They take no lock; the caller holds the module write lock. Handles in
// `params` are resolved on each call.
uint32_t ip_ingress_assoc_lookup_update(zel_module_t *module, const zel_ip_ingress_assoc_params_t *params,
                                        uint32_t action, uint32_t ns_id, uint8_t imc_idx,
                                        uint8_t flow_idx, uint32_t op);
uint32_t ip_comp_ingress_assoc_lookup_update(zel_module_t *module,
                                             const zel_ip_ingress_assoc_params_t *params,
                                             uint32_t action, uint32_t ns_id, uint8_t imc_idx,
                                             uint8_t flow_idx, uint32_t op);
uint32_t ip_terminated_flow_tree_update(zel_module_t *module, uint32_t ns_id,
                                        const zel_ip_ingress_assoc_params_t *params, uint32_t op);

}  // extern "C"

#endif  // ZEL_IP_FLOW_PVT_H
