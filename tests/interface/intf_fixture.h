// Shared by the interface tests: engine lookups in the interface trees
// (keys given as field values, expectations written from the documented
// layouts, not from the module's codecs), snapshots of every
// single-pattern tree, and a fixture that creates interfaces.
#ifndef INTF_FIXTURE_H
#define INTF_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/zel_ip_priv.h"
#include "zel_ip/zel_ip.h"
#include "zel_sim.h"
#include "zel_test_fixture.h"
#include "zel_tree_snapshot.h"

namespace intf_test {

// Tree indexes as the catalogue numbers them.
constexpr uint32_t kSrc = 0, kDest = 2, kSipMtu = 22, kIngress = 23, kEgress = 24, kRuleSet = 25,
                   kDscpPcp = 32;
constexpr uint32_t kDefaultVrd = 63;

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return a << 24 | b << 16 | c << 8 | d;
}

inline zel::ip::ZelIpPriv &priv(zel_module_t *m) { return *static_cast<zel::ip::ZelIpPriv *>(m->priv); }
inline uint32_t tree_id(zel_module_t *m, uint32_t index) { return priv(m).trees[index].id; }
inline uint32_t fn_id(zel_module_t *m, uint32_t index) { return priv(m).flow_funcs[index].id; }

// What a full key of a tree holds, and the length of the pattern that
// wrote it (0: the tree's catch-all).
struct Hit {
    hwe_action_t a;
    uint32_t depth;
};

Hit lookup(zel_sim_t *sim, zel_module_t *m, uint32_t tree, std::vector<uint32_t> values,
           std::vector<uint32_t> widths);

inline Hit dest(zel_sim_t *s, zel_module_t *m, uint32_t vrd, uint32_t addr) {
    return lookup(s, m, kDest, {vrd, addr}, {6, 32});
}
inline Hit src(zel_sim_t *s, zel_module_t *m, uint32_t vrd, uint32_t addr) {
    return lookup(s, m, kSrc, {vrd, addr}, {6, 32});
}
inline Hit by_intf(zel_sim_t *s, zel_module_t *m, uint32_t tree, uint32_t intf) {
    return lookup(s, m, tree, {intf}, {16});
}
inline Hit sip_mtu(zel_sim_t *s, zel_module_t *m, uint32_t intf, uint32_t addr) {
    return lookup(s, m, kSipMtu, {intf, addr}, {16, 32});
}
inline Hit dscp_pcp(zel_sim_t *s, zel_module_t *m, uint32_t intf, uint32_t dscp) {
    return lookup(s, m, kDscpPcp, {intf, dscp}, {16, 8});
}

// Every learnt entry of every single-pattern tree: "tree/len/key bits" ->
// "kind w1 w2". Two snapshots are equal when the engine holds the same
// entries with the same values.
using Snapshot = zel::test::TreeSnapshot;
Snapshot snapshot(zel_sim_t *sim, zel_module_t *m);

// Learnt entries of one tree.
uint32_t entry_count(zel_sim_t *sim, zel_module_t *m, uint32_t tree);

// Pairs {address, VRD ID} held by the compressed address table, by slot.
std::map<uint32_t, std::pair<uint32_t, uint32_t>> addr_slots(zel_module_t *m);

// A value entry as learnt (kind 4) or a function entry.
inline bool is_value(const hwe_action_t &a, uint32_t w1, uint32_t w2) {
    return a.kind == HWE_ACTION_VALUE && a.w1 == w1 && a.w2 == w2;
}

class IntfTest : public zel::test::ZelTest {
protected:
    IntfTest() { initial_log_level_ = ZEL_LOG_INFO; }

    // The Layer-2 interface of a sibling module with id `intf_id` (made on
    // first use: the platform has one per id).
    const zel_obj_header_t *l2(uint32_t intf_id) {
        const zel_obj_header_t *&h = l2s_[intf_id];
        if (!h) h = zel_sim_l2_interface_new(sim_, intf_id);
        return h;
    }
    std::map<uint32_t, const zel_obj_header_t *> l2s_;

    // Parameters of an interface on Layer-2 interface `intf_id` with the
    // primary address addr/plen in the default domain, everything else 0.
    zel_ip_intf_params_t params(uint32_t intf_id, uint32_t addr, uint32_t plen) {
        zel_ip_intf_params_t p{};
        p.l2_intf = l2(intf_id);
        p.addr = addr;
        p.prefix_len = plen;
        return p;
    }

    // Create (output captured into `out_text`, if given); asserts nothing.
    uint32_t create(const zel_ip_intf_params_t &p, zel_ip_intf_handle_t *h, std::string *out_text = nullptr);
    // Create and assert success.
    zel_ip_intf_handle_t make(const zel_ip_intf_params_t &p);
    uint32_t del(zel_ip_intf_handle_t h, std::string *out_text = nullptr);
    uint32_t add(zel_ip_intf_handle_t h, uint32_t addr, uint32_t plen, std::string *out_text = nullptr);
    uint32_t rem(zel_ip_intf_handle_t h, uint32_t addr, uint32_t plen, std::string *out_text = nullptr);

    Hit dest(uint32_t vrd, uint32_t addr) { return intf_test::dest(sim_, m_, vrd, addr); }
    Hit src(uint32_t vrd, uint32_t addr) { return intf_test::src(sim_, m_, vrd, addr); }
    Hit by_intf(uint32_t tree, uint32_t intf) { return intf_test::by_intf(sim_, m_, tree, intf); }
    Hit sip_mtu(uint32_t intf, uint32_t addr) { return intf_test::sip_mtu(sim_, m_, intf, addr); }
    Hit dscp_pcp(uint32_t intf, uint32_t dscp) { return intf_test::dscp_pcp(sim_, m_, intf, dscp); }
    Snapshot snap() { return snapshot(sim_, m_); }
    uint32_t entries(uint32_t tree) { return entry_count(sim_, m_, tree); }
    hwe_engine_t *eng() { return zel_sim_engine(sim_); }
};

// The one log line of `text` that contains `needle`, with its site
// masked ("" when there is none or more than one).
std::string line_with(const std::string &text, const std::string &needle);

}  // namespace intf_test

#endif  // INTF_FIXTURE_H
