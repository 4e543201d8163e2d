// The tunnel interface record and what the tunnel operations share.
//
// Entries of one tunnel (INTF-ID = the interface id the framework handed
// out; A/P the tunnel's own address, S its source address: A, or the
// local end when the tunnel is unnumbered):
//
//   order tree  key                              value                       when
//    1    6     tunnel id + 512                  INTF-ID (kind 0)            always
//    2    23    INTF-ID                          inner VRD, down | INTF-ID   always
//    3    24    INTF-ID                          MTU, down | INTF-ID         always
//    4    25    INTF-ID                          no rule set, no policy set  always
//    5    22    INTF-ID (no subnet)              S, MTU                      always
//    6    5     INTF-ID                          path MTU word (kind 0)      word not 0
//    7    2     inner VRD, 127-address           Attached-Subnet -> INTF-ID  always
//    8    2     inner VRD, A/P                   via the 127-address         A, P <= 31
//    9    0, 2  inner VRD, network and broadcast Block-All / Subnet-Broadcast A, P <= 30
//   10    2     inner VRD, A/32                  Locally-Addressed           A
//   11    4     outer VRD, proto, remote, local  INTF-ID (kind 0)            both ends
//   12    4     outer VRD, 17, remote, local     INTF-ID (kind 0)            both ends, NAT-T
//   13    32    INTF-ID (no DSCP)                PCP 0 | MTM NS ID           always
//
// Besides its entries a tunnel holds a compressed address slot (when it
// has an address), the CPU path (a demux entry keyed by tunnel id + 512
// and a port mapping keyed by the INTF-ID), its interface id and an MTM
// NS ID.
//
// What the tunnel holds is recorded as it is taken: `absent` has a bit
// for every part the tunnel does not hold (yet, or any more), and
// `outer` lists the tree-4 entries the engine holds for it. Create clears
// bits as it takes parts; delete withdraws what is held, in its documented
// order, and sets them again. Since the engine refuses to unlearn an entry
// that is gone, this is what lets a delete that failed partway complete
// when repeated, a failed create withdraw exactly what it took, and an
// end-address, NAT-T or MTU change that failed partway complete when
// repeated, instead of stopping forever at an entry already withdrawn.
//
// Every operation here runs under the module write lock.
#ifndef ZEL_IP_TUNNEL_PVT_H
#define ZEL_IP_TUNNEL_PVT_H

#include <cstddef>
#include <cstdint>

#include "interface/zel_ip_interface_pvt.h"
#include "zel_ip/zel_ip_tunnel.h"

namespace zel::ip {

inline constexpr uint32_t kTunnelPortBase = 512;  // tunnel id + 512: tree-6 key, demux port
inline constexpr uint32_t kTunnelLoopbackNet = 0x7f000000;  // 127.0.0.0/8
inline constexpr uint8_t kProtoUdp = 17;
inline constexpr uint32_t kPtbThreshold = 576;  // MTUs above raise packet-too-big
inline constexpr uint32_t kMaxOuterMatches = 4;

// Parts of a tunnel besides its outer matches: the shared WithdrawStep
// bits (trees 23, 24, 32, 25, 22, subnet route, local entry, the four
// guard entries, compressed slot, MTM NS ID) and these.
enum TunnelPart : uint32_t {
    kTpTunnelId = 1u << 16,  // tree 6
    kTpPathMtu = 1u << 17,   // tree 5
    kTpLoopback = 1u << 18,  // tree 2, the tunnel 127-address
    kTpDemux = 1u << 19,     // the framework's demux entry
    kTpPortMap = 1u << 20,   // the framework's port mapping
    kTpIntfId = 1u << 21,    // the interface id
};
inline constexpr uint32_t kTpAll =
    kWdIngressFlags | kWdEgressFlags | kWdDscpPcp | kWdRuleSet | kWdSipMtu | kWdSubnetRoute |
    kWdLocal | kWdSrcNetwork | kWdSrcBroadcast | kWdDstBroadcast | kWdDstNetwork | kWdCompressed |
    kWdMtmNsId | kTpTunnelId | kTpPathMtu | kTpLoopback | kTpDemux | kTpPortMap | kTpIntfId;

// One tree-4 entry the engine holds for a tunnel (outer VRD: the
// tunnel's). A NAT-T twin has protocol 17.
struct OuterMatch {
    uint32_t remote;
    uint32_t local;
    uint8_t proto;
    bool used;
};

}  // namespace zel::ip

// A tunnel interface: the tunnel handle points here. Fields in the
// documented order; the record comes zeroed from obj_alloc (kind kTunnel).
// The words from stats_ns_id to egress_rule_set sit where the IPoE
// record keeps them (checked below), so attribute operations treat both
// kinds alike.
struct zel_ip_tunnel {
    // Object header (INTF-ID, owner, header magic, outer VRD ID in the
    // fifth word) and the type word kTunnelType.
    zel::ip::IntfHead head;
    uint32_t stats_ns_id;  // = INTF-ID; names the 256-byte statistics record
    uint32_t rsvd0;
    uint32_t rsvd1;
    uint32_t dscp_profile;
    uint32_t rsvd2;
    zel::ip::PolicingReq policing;
    uint32_t ingress_flags;  // W1 of the tree-23 entry
    uint32_t egress_flags;   // W1 of the tree-24 entry
    uint32_t policy_set_id;  // W2 of the tree-25 entry
    zel_ip_rule_set_handle_t ingress_rule_set;
    zel_ip_rule_set_handle_t egress_rule_set;
    uint32_t rsvd3;
    // The caller's parameters, with tunnel_id holding tunnel id + 512, the
    // effective mask (0x10 for 0 with an address, 0 when unnumbered) and
    // MTU (1500 for 0), and path_mtu holding the path MTU word.
    zel_ip_tunnel_params_t params;
    uint32_t mtm_ns_id;  // DSCP group statistics; W2 of the tree-32 entry
    // Module-side bookkeeping after the documented fields.
    uint32_t inner_vrd_id;  // the inner domain's id at create
    uint32_t absent;        // TunnelPart / WithdrawStep bits of parts not held
    zel::ip::OuterMatch outer[zel::ip::kMaxOuterMatches];
    zel::ip::AttrBook attr;
};

#define ZEL_IP_SAME_OFFSET(f) \
    static_assert(offsetof(zel_ip_tunnel, f) == offsetof(zel_ip_interface, f), #f)
ZEL_IP_SAME_OFFSET(stats_ns_id);
ZEL_IP_SAME_OFFSET(dscp_profile);
ZEL_IP_SAME_OFFSET(policing);
ZEL_IP_SAME_OFFSET(ingress_flags);
ZEL_IP_SAME_OFFSET(egress_flags);
ZEL_IP_SAME_OFFSET(policy_set_id);
ZEL_IP_SAME_OFFSET(ingress_rule_set);
ZEL_IP_SAME_OFFSET(egress_rule_set);
#undef ZEL_IP_SAME_OFFSET

namespace zel::ip {

inline uint32_t tunnel_intf_id(const zel_ip_tunnel &t) { return t.head.hdr.intf_id; }
inline uint32_t tunnel_outer_vrd(const zel_ip_tunnel &t) { return t.head.hdr.vrd_id; }
inline uint32_t tunnel_id_of(const zel_ip_tunnel &t) { return t.params.tunnel_id - kTunnelPortBase; }
inline bool tunnel_has_ends(const zel_ip_tunnel &t) {
    return t.params.local_addr != 0 && t.params.remote_addr != 0;
}
// The tunnel 127-address: stands for the tunnel inside the inner domain.
inline uint32_t tunnel_loopback(uint32_t intf_id) { return kTunnelLoopbackNet | intf_id; }
// The source address of the tunnel's tree-22 entry.
inline uint32_t tunnel_source(const zel_ip_tunnel &t) {
    return t.params.addr != 0 ? t.params.addr : t.params.local_addr;
}
// The path MTU word: the path MTU, with bit 15 (packet-too-big exception)
// when the MTU is above 576.
uint32_t path_mtu_word(uint32_t mtu, uint32_t path_mtu);
// The tree-5 entry of a path MTU word (kind 0).
hwe_action_t path_mtu_action(uint32_t word);

// The live tunnel behind a handle, or NULL.
zel_ip_tunnel *tunnel_of(zel_ip_tunnel_handle_t h);

// The live tunnel behind a handle for a change: NULL (with the refusal in
// *status) when the handle is not a tunnel ("Invalid Interface Handle or
// type\n", 0x30008) or its delete has begun (reject_deleting, 0x30008).
zel_ip_tunnel *tunnel_for_change(zel_module_t *m, zel_ip_tunnel_handle_t h, uint32_t *status);

// The tunnel's inner / outer VRD handle still names the domain the tunnel
// was created in.
bool tunnel_inner_vrd_ok(const zel_ip_tunnel &t);
bool tunnel_outer_vrd_ok(const zel_ip_tunnel &t);

// Learns or unlearns the tunnel's tree-22 entry (source `sip`, MTU `mtu`).
uint32_t tunnel_sip_mtu(zel_module_t *m, ZelIpPriv &p, const zel_ip_tunnel &t, uint32_t sip,
                        uint32_t mtu, uint32_t op, const char *rule_msg);

// True when another live tunnel of the module holds a tree-4 entry
// {outer VRD, proto, remote, local}: the engine would answer for only one.
bool outer_match_taken(const ZelIpPriv &p, const zel_ip_tunnel *self, uint32_t outer_vrd,
                       uint8_t proto, uint32_t remote, uint32_t local);

// The record goes: its listed outer matches leave the index (a tunnel
// whose withdrawal failed leaves them in the engine, not in the index).
void outer_forget_all(ZelIpPriv &p, zel_ip_tunnel &t);

// Learns the tree-4 entry {proto, remote, local} of the tunnel (W1 =
// INTF-ID) and lists it once the engine holds it. Failure: severity 1
// after `rule_msg`.
uint32_t outer_learn(zel_module_t *m, ZelIpPriv &p, zel_ip_tunnel &t, uint8_t proto, uint32_t remote,
                     uint32_t local, const char *rule_msg);

// Which listed tree-4 entries outer_withdraw keeps.
enum class OuterKeep { kNone, kPair, kTwoPairs, kMainOnly };
struct OuterKeepSpec {
    OuterKeep what;
    uint32_t remote[2], local[2];  // kPair: [0]; kTwoPairs: both
};

// Unlearns, in list order, every listed tree-4 entry that `keep` does not
// keep (kMainOnly keeps the entries that are not NAT-T twins), dropping
// each from the list once the engine no longer holds it. Stops at the
// first failure (severity 1, after `rule_msg`).
uint32_t outer_withdraw(zel_module_t *m, ZelIpPriv &p, zel_ip_tunnel &t, const OuterKeepSpec &keep,
                        const char *rule_msg);

// The tunnel CPU path (see zel_ip_config_tunnel_cpu_path), one step at a
// time: `done` (NULL: no progress kept) skips and records kTpDemux /
// kTpPortMap steps completed in this direction.
uint32_t tunnel_cpu_path(zel_module_t *m, ZelIpPriv &p, uint32_t intf_id, uint32_t port, bool add,
                         uint32_t *done);

}  // namespace zel::ip

extern "C" {

// Sets up (add 1) or removes (add 0) the CPU path of a tunnel: with add,
// zel_sif_netDriver_demux_add of {id of "zel_ip.ip_process_cpu_pkts",
// port = tunnel id + 512, 4, 1} ("Failed to add demux tree entry\n"),
// then zel_sif_interface_to_outPort_mapping_add(INTF-ID, port) ("Failed
// to add ZEL->CPU port mapping\n"); without, the demux entry removed
// ("Failed to remove demux tree entry\n"), then the mapping ("Failed to
// remove ZEL->CPU port mapping\n"). Returns 0 or the framework's status
// with severity 3 (ERROR message and the status text); the second step is
// not attempted after a failed first. Caller holds the module lock.
uint32_t zel_ip_config_tunnel_cpu_path(zel_module_t *module, uint32_t intf_id, uint32_t port,
                                       uint32_t add);

}  // extern "C"

#endif  // ZEL_IP_TUNNEL_PVT_H
