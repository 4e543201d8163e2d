// The packet walk: what the fast path would do with one IPv4 packet, read
// from the trees as the configuration left them.
//
// The walk is part of the software platform, not of the module: it asks
// the engine model only (tree lookups, rule-set classification, listing)
// and never reads a record of the module, so it shows what was really
// programmed. It decodes what it hits with the module's own entry codecs
// and dump row decoders, so a hit reads as the table dump prints it.
//
// A walk never changes a tree. It does change counters in state memory
// (the global statistics record, the interfaces', flows' and rules'), as
// the engine programs would count the packet; Context::count turns that
// off.
//
// Every stage the walk models is one of the stages the trees exist for;
// where the trees do not say what the fast path does, the walk stops with
// the verdict "not modelled" and says why, rather than guessing. The
// stages, the tree fields each reads and our own readings are listed in
// docs/cli.md ("packet").
#ifndef ZEL_SIM_WALK_H
#define ZEL_SIM_WALK_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "hwe.h"

namespace zsim::walk {

// Where the packet comes from.
enum class Arrival : uint8_t {
    kInterface,  // received on the interface `intf_id`
    kCpu,        // sent by the CPU in domain `vrd_id` (locally originated)
};

struct Packet {
    Arrival arrival = Arrival::kInterface;
    uint32_t intf_id = 0;  // INTF-ID of the arriving interface
    uint32_t l2_intf = 0;  // Layer-2 interface id it came in on (association flow filter); 0: intf_id
    uint32_t vrd_id = 0;   // the sending domain of a locally originated packet
    uint32_t src = 0, dst = 0;
    uint32_t proto = 0;
    uint32_t sport = 0, dport = 0;  // L4 ports, or ICMP/IGMP type and code
    uint32_t dscp = 0;              // 0 to 63; the TOS byte is dscp << 2
    uint32_t pcp = 0;               // VLAN priority, 0 to 7
    uint32_t ttl = 64;
    uint32_t frag = 0;    // the engine's 2-bit fragment class (FRAG-TYPE); 0: not a fragment
    bool df = false;      // don't fragment
    uint32_t length = 100;  // bytes, IP header included
};

enum class Verdict : uint8_t {
    kForwarded,    // sent out of an interface (or into a tunnel)
    kToCpu,        // delivered to the CPU
    kToModule,     // handed to a sibling module through a binding
    kDropped,      // dropped; `counter` names the global counter
    kNotModelled,  // the trees do not say what happens next
};

const char *verdict_name(Verdict v);

// One stage: the tree it looked in (empty for a stage of the walk's own
// reasoning), the key, the entry it hit as the dumps decode it, and what
// the stage decided.
struct Stage {
    std::string name;
    std::string tree;
    std::string key;
    std::string entry;
    std::string decision;
};

struct Walk {
    std::vector<Stage> stages;
    Verdict verdict = Verdict::kNotModelled;
    std::string detail;    // the verdict's one line, after the verdict name
    std::string counter;   // the global statistics counter it was counted in ("" : none)
    // Forwarded: where to.
    uint32_t egress_intf = 0;
    uint32_t next_hop = 0;  // the address the packet is sent to on the link
    // The packet as it leaves (TTL, DSCP, addresses, ports may change).
    Packet out;
    uint32_t counter_errors = 0;  // counter updates the engine refused
};

// Names an interface id for the output ("" when unknown: the id is shown).
using IntfNamer = std::function<std::string(uint32_t intf_id)>;

struct Context {
    hwe_engine_t *eng = nullptr;
    uint32_t global_stats_ns_id = 0;  // the module's global statistics record
    bool count = true;                // update counters in state memory
    bool stages = true;               // record the stages (false: the verdict only, faster)
    IntfNamer intf_name;
};

// Walks `p`. Returns 0, or the engine's status when it could not be asked
// (an unknown tree, a refused lookup); `w` then holds the stages so far.
uint32_t walk_packet(const Context &ctx, const Packet &p, Walk *w);

// The walk as text: one line per stage ("  <name>: <tree> [<key>] -> <entry>:
// <decision>") and the verdict line; with `brief` only the verdict line.
std::string render(const Walk &w, bool brief);

}  // namespace zsim::walk

#endif  // ZEL_SIM_WALK_H
