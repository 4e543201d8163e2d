// The walker: one packet's state while it goes through the stages. The
// ingress side and local delivery live in walk.cpp, forwarding and the
// egress side in walk_forward.cpp.
#ifndef ZEL_SIM_WALK_INTERNAL_H
#define ZEL_SIM_WALK_INTERNAL_H

#include <cstdint>
#include <string>

#include "walk_counters.h"
#include "walk_trees.h"
#include "zel_sim_walk.h"

// A stage line, built only when the walk records its stages (its key and
// entry texts cost more than the lookups).
#define WALK_STAGE(...)                    \
    do {                                   \
        if (tracing()) stage(__VA_ARGS__); \
    } while (0)

// The verdict's text is built only when the walk records its stages.
#define WALK_DROP(counter, ...) drop(counter, tracing() ? std::string(__VA_ARGS__) : std::string())
#define WALK_FINISH(verdict, detail, ...) \
    finish(verdict, tracing() ? std::string(detail) : std::string() __VA_OPT__(, ) __VA_ARGS__)

namespace zsim::walk::detail {

// printf into a string (lines of the walk stay well under 512 bytes).
std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));

// A 28-bit flow key as trees 16 to 19 take it: FLOW-ID, then RULE-KEY.
Key flow_key(uint32_t key);

class Walker {
public:
    Walker(const Context &c, Walk &w) : c_(c), w_(w), t_(c.eng), counts_(c.eng) {}

    uint32_t run(const Packet &p);

    // ---- used by both halves ----
    Trees &trees() { return t_; }
    Packet &pkt() { return w_.out; }

    // A stage line; `tree` < 0: no tree.
    void stage(const char *name, int tree, const std::string &key, const std::string &entry,
               const std::string &decision);
    // Ends the walk: the verdict, its line and the global counter (counted).
    void finish(Verdict v, const std::string &detail, int counter = -1);
    void drop(Global counter, const std::string &why) { finish(Verdict::kDropped, why, counter); }
    void not_modelled(const std::string &why) { finish(Verdict::kNotModelled, why); }
    bool done() const { return done_ || st_ != 0; }
    bool tracing() const { return c_.stages; }
    // Records a failed engine query; the walk stops.
    bool failed(uint32_t st) {
        if (st != 0 && st_ == 0) st_ = st;
        return st != 0;
    }
    void count(Global g, uint32_t n = 1) { count_ns(c_.global_stats_ns_id, g, n); }
    void count_ns(uint32_t ns_id, uint32_t word, uint32_t n = 1) {
        if (c_.count) counts_.add(ns_id, word, 4, n);
    }
    void count_bytes(uint32_t ns_id, uint32_t word, uint64_t n) {
        if (c_.count) counts_.add(ns_id, word, 8, n);
    }
    std::string intf_text(uint32_t intf_id) const;

    // A rule-set filter on a direction: 0 ingress, 1 egress. Returns true
    // when the packet goes on.
    bool filter(uint32_t dir, bool basic, uint32_t rule_set);
    // The CPU path of a flow key (trees 16 to 19) and the verdict.
    void to_cpu_by_flow_key(uint32_t flow_key, const std::string &why, Global counter);
    // A capture point (tree 31).
    void capture(uint32_t intf_id, uint32_t dir);

    // ---- forwarding (walk_forward.cpp) ----
    // Sends the packet out of `intf_id` (an IPoE interface or a tunnel)
    // towards `next_hop` (the destination itself on an attached subnet).
    void forward(uint32_t intf_id, uint32_t next_hop, bool via_tunnel);
    // The egress interface of a next hop: the attached subnet it lies in.
    bool resolve_next_hop(uint32_t vrd_id, uint32_t next_hop, uint32_t *intf_id);

    bool from_interface() const { return arrival_ == Arrival::kInterface; }
    bool block_fwd = false;  // the source check allows local delivery only

private:
    void arrive();
    void route();
    void deliver_locally(uint32_t vrd_id, uint8_t mask, bool defrag, bool addressed, uint8_t cdip);
    bool policy_route(uint32_t policy_set, uint32_t vrd_id, bool *decided);

    const Context &c_;
    Walk &w_;
    Trees t_;
    Counts counts_;
    uint32_t st_ = 0;
    bool done_ = false;
    Arrival arrival_ = Arrival::kInterface;
    uint32_t vrd_ = 0;
    uint32_t in_intf_ = 0;
    uint32_t in_flags_ = 0;  // tree-23 W1 of the arriving interface
    int tunnel_depth_ = 0;
    friend class Forwarder;

public:
    int &tunnel_depth() { return tunnel_depth_; }
    uint32_t in_flags() const { return in_flags_; }
};

}  // namespace zsim::walk::detail

#endif  // ZEL_SIM_WALK_INTERNAL_H
