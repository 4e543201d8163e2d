// Helpers of the policy-routing tests: a fixture with an IPoE interface and
// a tunnel to route to, quiet wrappers of the calls, and what the engine
// does with a packet (tree 33 as last built, then tree 3).
#ifndef PBR_TEST_UTIL_H
#define PBR_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "tree/zel_ip_layout_filter.h"
#include "tree/zel_ip_layout_route.h"
#include "tree/zel_ip_tree.h"
#include "zel_engine_probe.h"
#include "zel_ip/zel_ip.h"
#include "zel_sim.h"
#include "zel_test_fixture.h"

namespace pbrtest {

using zel::test::lookup;
using zel::test::tree_id;

inline constexpr uint32_t kNextHop = 0x0a010002;  // 10.1.0.2, on the interface's subnet

// A packet as tree 33 sees it.
struct Pkt {
    uint32_t pcp = 0, tos = 0, frag = 0, proto = 6, sip = 0xc0a80001, dip = 0x08080808, sport = 1000,
             dport = 80;
};

// What the engine does with a packet of a policy set.
struct Verdict {
    uint32_t rule_idx;   // ZEL_SIM_NO_RULE: no rule matched
    uint32_t rule_id;    // tree-33 W1 (the rule's NS ID)
    hwe_action_t action; // its tree-3 entry
};

inline Verdict classify(zel_sim_t *sim, uint32_t set_id, const Pkt &p) {
    hwe_engine_t *eng = zel_sim_engine(sim);
    const uint32_t v[] = {set_id, p.pcp, p.tos, p.frag, p.proto, p.sip, p.dip, p.sport, p.dport};
    Verdict out{};
    hwe_action_t a{};
    EXPECT_EQ(zel_sim_engine_classify(eng, tree_id(eng, zel::ip::kTreePbr), 9, v, &a, &out.rule_idx), 0u);
    if (out.rule_idx == ZEL_SIM_NO_RULE) return out;
    out.rule_id = zel::ip::layout::pbr::rule_id(a);
    out.action = lookup(eng, zel::ip::kTreePbrAction, {out.rule_id & 0xfff});
    return out;
}

class PbrTest : public zel::test::ZelTest {
protected:
    PbrTest() { initial_log_level_ = ZEL_LOG_INFO; }

    void SetUp() override {
        ZelTest::SetUp();
        zel::test::StdoutCapture quiet;
        zel_ip_intf_params_t p{};
        p.l2_intf = zel_sim_l2_interface_new(sim_, 0x2001);
        p.addr = 0x0a010001;
        p.prefix_len = 24;
        ASSERT_EQ(zel_ip_interface_create(m_, &p, &intf_), 0u);
        zel_ip_tunnel_params_t t{};
        t.tunnel_id = 7;
        t.local_addr = 0xc0000201;
        t.remote_addr = 0xc0000202;
        t.proto = 47;
        ASSERT_EQ(zel_ip_tunnel_interface_create(m_, &t, &tunnel_), 0u);
    }

    // Runs `f` with standard output captured into *text (if given).
    uint32_t quiet(const std::function<uint32_t()> &f, std::string *text = nullptr) {
        zel::test::StdoutCapture cap;
        const uint32_t st = f();
        const std::string t = cap.text();
        if (text) *text = zel::test::mask_sites(t);
        return st;
    }

    zel_ip_policy_set_handle_t new_set() {
        zel_ip_policy_set_handle_t s = nullptr;
        std::string t;
        EXPECT_EQ(quiet([&] { return zel_ip_pbr_policy_set_create(m_, &s); }, &t), 0u) << t;
        return s;
    }
    uint32_t set_id(zel_ip_policy_set_handle_t s) const { return reinterpret_cast<const uint32_t *>(s)[1]; }

    // A rule of `s` matching everything, to the next hop.
    zel_ip_pbr_rule_t rule_of(zel_ip_policy_set_handle_t s) const {
        zel_ip_pbr_rule_t r{};
        r.policy_set = s;
        r.action = via_next_hop(kNextHop);
        return r;
    }
    zel_ip_pbr_action_t via_next_hop(uint32_t nh) const {
        zel_ip_pbr_action_t a{};
        a.next_hop = nh;
        a.egress_intf = intf_;
        return a;
    }
    zel_ip_pbr_action_t via_tunnel() const {
        zel_ip_pbr_action_t a{};
        a.egress_intf = tunnel_;
        return a;
    }

    uint32_t create(uint32_t idx, const zel_ip_pbr_rule_t &r, zel_ip_flow_handle_t *h, std::string *text = nullptr) {
        return quiet([&] { return zel_ip_pbr_entry_create(m_, idx, &r, h); }, text);
    }
    zel_ip_flow_handle_t make(uint32_t idx, const zel_ip_pbr_rule_t &r) {
        zel_ip_flow_handle_t h = nullptr;
        std::string t;
        EXPECT_EQ(create(idx, r, &h, &t), 0u) << t;
        return h;
    }
    uint32_t del(uint32_t idx, zel_ip_flow_handle_t h, std::string *text = nullptr) {
        return quiet([&] { return zel_ip_pbr_entry_delete(m_, idx, h); }, text);
    }
    uint32_t commit(uint32_t mode, zel_ip_policy_set_handle_t s, std::string *text = nullptr) {
        return quiet([&] { return zel_ip_pbr_commit(m_, mode, s); }, text);
    }
    uint32_t modify(zel_ip_flow_handle_t h, const zel_ip_pbr_action_t &a, std::string *text = nullptr) {
        return quiet([&] { return zel_ip_pbr_rule_action_modify(m_, h, &a); }, text);
    }
    uint32_t ns_id(zel_ip_flow_handle_t h) const { return reinterpret_cast<const zel_flow_header_t *>(h)->ns_id; }

    hwe_action_t tree3(uint32_t id) { return lookup(zel_sim_engine(sim_), zel::ip::kTreePbrAction, {id & 0xfff}); }
    hwe_action_t tree37(uint32_t vrd_id) { return lookup(zel_sim_engine(sim_), zel::ip::kTreeLoPbrPolicySet, {vrd_id}); }
    hwe_action_t intf_tree(uint32_t tree, uint32_t intf_id) {
        return lookup(zel_sim_engine(sim_), tree, {intf_id});
    }
    uint32_t intf_id(const void *h) const { return static_cast<const zel_obj_header_t *>(h)->intf_id; }

    zel_ip_intf_handle_t intf_ = nullptr;
    zel_ip_tunnel_handle_t tunnel_ = nullptr;
};

}  // namespace pbrtest

#endif  // PBR_TEST_UTIL_H
