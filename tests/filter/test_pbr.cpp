// Policy-based routing: staging proven by classification, immediate
// action changes, entries of every tree, checks, uses and their refusals.
#include "pbr_test_util.h"

#include "core/zel_ip_status_internal.h"

using namespace pbrtest;
using zel::ip::error;
using zel::ip::fatal;
namespace lay = zel::ip::layout;

namespace {

constexpr uint32_t kBadSet = 0x103001b;
constexpr uint32_t kInUse = 0x3000f;

bool ns_allocated(zel_sim_t *sim, uint32_t id) {
    return zel_sim_engine_ns_is_allocated(zel_sim_engine(sim), "ip_pbr_stats", id) != 0;
}

// ---- staging ----------------------------------------------------------------------

TEST_F(PbrTest, EditsMatchOnlyAfterTheCommitThatBuildsThem) {
    zel_ip_policy_set_handle_t s = new_set();
    const uint32_t sid = set_id(s);
    zel_ip_pbr_rule_t r = rule_of(s);
    r.mask = ZEL_IP_PBR_MASK_DIP | ZEL_IP_PBR_MASK_PROTO;
    r.dest_addr = 0x08080000;
    r.dest_prefix_len = 16;
    r.proto_low = r.proto_high = 6;
    Pkt p;  // TCP to 8.8.8.8

    zel_ip_flow_handle_t wide = make(10, r);
    const uint32_t wide_id = ns_id(wide);
    // The action entry is live at once, the rule only after a build.
    EXPECT_ACTION(tree3(wide_id), lay::pbr_action::encode(1, false, 0, kNextHop));
    EXPECT_EQ(classify(sim_, sid, p).rule_idx, ZEL_SIM_NO_RULE);
    ASSERT_EQ(commit(ZEL_IP_PBR_COMMIT_SET, s), 0u);
    Verdict v = classify(sim_, sid, p);
    EXPECT_EQ(v.rule_idx, 10u);
    EXPECT_EQ(v.rule_id, wide_id);

    // Before the edit's commit: a new earlier rule and the deletion of the
    // old one are both invisible, and the old rule's action still answers.
    r.mask = ZEL_IP_PBR_MASK_DIP;
    r.dest_prefix_len = 24;
    r.dest_addr = 0x08080800;
    r.action = via_tunnel();
    zel_ip_flow_handle_t narrow = make(5, r);
    ASSERT_EQ(del(10, wide), 0u);
    v = classify(sim_, sid, p);
    EXPECT_EQ(v.rule_idx, 10u);
    EXPECT_ACTION(v.action, lay::pbr_action::encode(1, false, 0, kNextHop));
    EXPECT_TRUE(ns_allocated(sim_, wide_id));

    // After it: the new rule decides, the old id and action are released.
    std::string out;
    ASSERT_EQ(commit(ZEL_IP_PBR_COMMIT_SET, s, &out), 0u);
    EXPECT_NE(out.find("Freed PBR rule NS ID"), std::string::npos) << out;
    v = classify(sim_, sid, p);
    EXPECT_EQ(v.rule_idx, 5u);
    EXPECT_EQ(v.rule_id, ns_id(narrow));
    EXPECT_ACTION(v.action, lay::pbr_action::encode(1, true, intf_id(tunnel_), 0));
    EXPECT_FALSE(ns_allocated(sim_, wide_id));
    EXPECT_ACTION(tree3(wide_id), zel::test::default_of(zel_sim_engine(sim_), zel::ip::kTreePbrAction));
}

TEST_F(PbrTest, ABuildAnsweredWithRebuildCommitsEverySet) {
    zel_ip_policy_set_handle_t a = new_set(), b = new_set();
    zel_ip_flow_handle_t ra = make(1, rule_of(a)), rb = make(1, rule_of(b));
    ASSERT_EQ(commit(ZEL_IP_PBR_COMMIT_ALL, nullptr), 0u);
    const uint32_t ida = ns_id(ra), idb = ns_id(rb);
    ASSERT_EQ(del(1, ra), 0u);
    ASSERT_EQ(del(1, rb), 0u);
    // A set with more than one edit since its build must be rebuilt whole.
    hwe_engine_t *eng = zel_sim_engine(sim_);
    ASSERT_EQ(zel_sim_engine_set_rebuild_threshold(eng, tree_id(eng, zel::ip::kTreePbr), 1), 0u);
    zel_ip_pbr_rule_t r = rule_of(a);
    r.mask = ZEL_IP_PBR_MASK_PROTO;
    r.proto_low = r.proto_high = 17;
    make(2, r);  // set a: two edits
    ASSERT_EQ(commit(ZEL_IP_PBR_COMMIT_SET, a), 0u);
    // Both sets were compiled and both pending lists released.
    EXPECT_EQ(classify(sim_, set_id(b), Pkt{}).rule_idx, ZEL_SIM_NO_RULE);
    EXPECT_EQ(classify(sim_, set_id(a), Pkt{}).rule_idx, ZEL_SIM_NO_RULE);
    Pkt udp;
    udp.proto = 17;
    EXPECT_EQ(classify(sim_, set_id(a), udp).rule_idx, 2u);
    EXPECT_FALSE(ns_allocated(sim_, ida));
    EXPECT_FALSE(ns_allocated(sim_, idb));
}

TEST_F(PbrTest, AFailedCommitKeepsThePendingListsForTheNextOne) {
    zel_ip_policy_set_handle_t s = new_set();
    zel_ip_flow_handle_t h = make(1, rule_of(s));
    ASSERT_EQ(commit(0, s), 0u);
    const uint32_t id = ns_id(h);
    ASSERT_EQ(del(1, h), 0u);
    std::string out;
    fail_call("hwe_ptn_ovtreeset_build");
    EXPECT_EQ(commit(0, s, &out), fatal(0x57));
    EXPECT_NE(out.find("Failed to build PBR set in hardware, RTE Error: "), std::string::npos) << out;
    fail_call("hwe_ptn_ovtreeset_rebuild");
    EXPECT_EQ(commit(1, s, &out), fatal(0x58));
    EXPECT_NE(out.find("Failed to rebuild all PBR sets in hardware"), std::string::npos) << out;
    EXPECT_TRUE(ns_allocated(sim_, id));
    EXPECT_EQ(classify(sim_, set_id(s), Pkt{}).rule_idx, 1u);  // still the old build
    // A release step that fails keeps its id pending too, at its step.
    fail_call("hwe_rsrc_free");
    EXPECT_NE(commit(0, s, &out), 0u);
    EXPECT_NE(out.find("Failed to free the PBR rule NS ID"), std::string::npos) << out;
    EXPECT_TRUE(ns_allocated(sim_, id));
    EXPECT_EQ(classify(sim_, set_id(s), Pkt{}).rule_idx, ZEL_SIM_NO_RULE);
    EXPECT_EQ(quiet([&] { return zel_ip_pbr_policy_set_delete(m_, s); }), kInUse);
    ASSERT_EQ(commit(0, s, &out), 0u) << out;
    EXPECT_FALSE(ns_allocated(sim_, id));
    EXPECT_EQ(quiet([&] { return zel_ip_pbr_policy_set_delete(m_, s); }), 0u);
}

TEST_F(PbrTest, ActionModifyIsEffectiveWithoutACommit) {
    zel_ip_policy_set_handle_t s = new_set();
    zel_ip_flow_handle_t h = make(3, rule_of(s));
    ASSERT_EQ(commit(0, s), 0u);
    ASSERT_EQ(modify(h, via_tunnel()), 0u);
    Verdict v = classify(sim_, set_id(s), Pkt{});
    EXPECT_EQ(v.rule_idx, 3u);
    EXPECT_ACTION(v.action, lay::pbr_action::encode(1, true, intf_id(tunnel_), 0));
    zel_ip_pbr_action_t dip{};
    dip.dip_based_routing = 1;
    ASSERT_EQ(modify(h, dip), 0u);
    hwe_engine_t *eng = zel_sim_engine(sim_);
    EXPECT_ACTION(classify(sim_, set_id(s), Pkt{}).action,
                  (hwe_action_t{HWE_ACTION_FUNC, zel::test::symbol_id(eng, "zel_ip.dip_based_route_lookup"), 0}));
    // A refused modify leaves the rule's action.
    zel_ip_pbr_action_t bad = via_next_hop(0x7f000001);
    EXPECT_EQ(modify(h, bad), error(ZEL_IP_E_INVALID_IP_ADDRESS));
    EXPECT_EQ(classify(sim_, set_id(s), Pkt{}).action.kind, HWE_ACTION_FUNC);
}

// ---- entries --------------------------------------------------------------------

TEST_F(PbrTest, DestinationPrefixIsTheRangeOfItsNetwork) {
    zel_ip_policy_set_handle_t s = new_set();
    zel_ip_pbr_rule_t r = rule_of(s);
    r.mask = ZEL_IP_PBR_MASK_DIP;
    r.dest_addr = 0x0a010203;  // 10.1.2.3/16: 10.1.0.0 .. 10.1.255.255
    r.dest_prefix_len = 16;
    make(1, r);
    ASSERT_EQ(commit(0, s), 0u);
    const struct {
        uint32_t dip;
        bool match;
    } cases[] = {{0x0a010000, true}, {0x0a01ffff, true}, {0x0a00ffff, false}, {0x0a020000, false}};
    for (const auto &c : cases) {
        Pkt p;
        p.dip = c.dip;
        EXPECT_EQ(classify(sim_, set_id(s), p).rule_idx == 1u, c.match) << std::hex << c.dip;
    }
}

TEST_F(PbrTest, ActionEntriesCarryTheRouteFlags) {
    zel_ip_policy_set_handle_t s = new_set();
    struct Case {
        const char *name;
        zel_ip_pbr_action_t a;
        hwe_action_t want;
    };
    zel_ip_pbr_action_t local = via_next_hop(kNextHop);
    local.local_termination = 1;
    zel_ip_pbr_action_t local_mask = local;
    local_mask.assoc_mask = 0x34;  // DIP, PROTO, DPORT
    local_mask.reassembly = 1;
    zel_ip_pbr_action_t local_vrd = local;
    local_vrd.assoc_mask = 0x84;  // VRD ID folds into bit 0 of the tree mask
    const uint32_t tid = intf_id(tunnel_);
    const Case cases[] = {
        {"next hop", via_next_hop(0xc0a80101), {HWE_ACTION_VALUE, 0x1 | 0xc00000, 0xa80101}},
        {"tunnel", via_tunnel(), {HWE_ACTION_VALUE, 0x7f0041, tid}},
        {"local, no mask", local, {HWE_ACTION_VALUE, 0x400 | 0x0a0000, 0x010002}},
        {"local, mask, defrag", local_mask, {HWE_ACTION_VALUE, 0x3420 | 0x0a0000, 0x010002}},
        {"local, VRD ID", local_vrd, {HWE_ACTION_VALUE, 0x500 | 0x0a0000, 0x010002}},
    };
    uint32_t idx = 1;
    for (const Case &c : cases) {
        zel_ip_pbr_rule_t r = rule_of(s);
        r.action = c.a;
        zel_ip_flow_handle_t h = make(idx++, r);
        EXPECT_ACTION(tree3(ns_id(h)), c.want) << c.name;
    }
}

TEST_F(PbrTest, ChecksRefuseWithTheirStatusAndMessage) {
    zel_ip_policy_set_handle_t s = new_set();
    struct Case {
        const char *name;
        std::function<void(zel_ip_pbr_rule_t &)> edit;
        uint32_t status;
        const char *message;
    };
    const Case cases[] = {
        {"no set", [](auto &r) { r.policy_set = nullptr; }, kBadSet, "Invalid PBR Policy Set handle 0x00000000"},
        {"proto", [](auto &r) { r.mask = 0x02; r.proto_low = 7; r.proto_high = 6; }, 0x30008,
         "Invalid range parameter. End > Begin"},
        {"dport under 0x20", [](auto &r) { r.mask = 0x20; r.dport_low = 9; r.dport_high = 8; }, 0x30008,
         "Invalid range parameter. End > Begin"},
        {"sport under 0x10", [](auto &r) { r.mask = 0x10; r.sport_low = 9; r.sport_high = 8; }, 0x30008,
         "Invalid range parameter. End > Begin"},
        {"dscp above 63", [](auto &r) { r.mask = 0x40; r.dscp_low = 1; r.dscp_high = 64; }, 0x30008,
         "Invalid range parameter. 64 above 63"},
        {"pcp", [](auto &r) { r.mask = 0x80; r.pcp_low = 5; r.pcp_high = 4; }, 0x30008,
         "Invalid range parameter. End > Begin"},
        {"fragment type", [](auto &r) { r.mask = 0x01; r.frag_type = 5; }, 0x30008, "Invalid fragment type 5 specified"},
        {"prefix 33", [](auto &r) { r.mask = 0x08; r.dest_prefix_len = 33; }, 0x30008,
         "Invalid range parameter. Destination prefix length 33 above 32"},
        {"next hop 127.0.0.1", [](auto &r) { r.action.next_hop = 0x7f000001; }, 0x1030014,
         "Invalid addr specified as the next hop 0x7f000001"},
        {"next hop multicast", [](auto &r) { r.action.next_hop = 0xe0000005; }, 0x1030014,
         "Invalid addr specified as the next hop 0xe0000005"},
        {"reassembly", [](auto &r) { r.action.reassembly = 1; }, 0x30008,
         "Re-assembly cannot be enabled if PBR action is not set for local termination."},
        {"no next hop", [](auto &r) { r.action.next_hop = 0; r.action.egress_intf = nullptr; }, 0x30008,
         "Next hop unspecified and egress interface is not a valid tunnel interface"},
        {"next hop and tunnel", [this](auto &r) { r.action.egress_intf = tunnel_; }, 0x30008,
         "Next hop must not be specified when egress interface is a valid tunnel interface"},
        {"next hop, no interface", [](auto &r) { r.action.egress_intf = nullptr; }, 0x30008,
         "Invalid output interface specified with valid next hop address"},
        {"assoc mask", [](auto &r) { r.action.local_termination = 1; r.action.assoc_mask = 0x81; }, 0x30008,
         "Unexpected Ingress association rule mask"},
    };
    for (const Case &c : cases) {
        zel_ip_pbr_rule_t r = rule_of(s);
        c.edit(r);
        zel_ip_flow_handle_t h = reinterpret_cast<zel_ip_flow_handle_t>(1);
        std::string out;
        EXPECT_EQ(create(1, r, &h, &out), c.status) << c.name << "\n" << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.name << "\n" << out;
        EXPECT_EQ(h, nullptr) << c.name;
    }
    // Only the pair of a set bit is checked: a reversed source pair under
    // the destination bit is not programmed and not refused.
    zel_ip_pbr_rule_t r = rule_of(s);
    r.mask = 0x20;
    r.sport_low = 9;
    r.sport_high = 8;
    zel_ip_flow_handle_t h = nullptr;
    EXPECT_EQ(create(1, r, &h, nullptr), 0u);
    EXPECT_EQ(zel::test::entries(zel_sim_engine(sim_), zel::ip::kTreePbr), 1u);
    // A position already used is the engine's refusal; nothing is kept.
    const uint32_t in_use = zel_sim_engine_ns_in_use(zel_sim_engine(sim_), "ip_pbr_stats");
    std::string out;
    EXPECT_EQ(create(1, rule_of(s), &h, &out), fatal(0x54)) << out;
    EXPECT_EQ(zel_sim_engine_ns_in_use(zel_sim_engine(sim_), "ip_pbr_stats"), in_use);
}

TEST_F(PbrTest, DeletesArePendingUpToSixteenPerSet) {
    zel_ip_policy_set_handle_t s = new_set();
    zel_ip_flow_handle_t h[17];
    for (uint32_t i = 0; i < 17; ++i) h[i] = make(i, rule_of(s));
    for (uint32_t i = 0; i < 16; ++i) ASSERT_EQ(del(i, h[i]), 0u);
    std::string out;
    EXPECT_EQ(del(16, h[16], &out), kInUse);
    EXPECT_NE(out.find("Cannot delete any more rules until previously deleted rules are committed"),
              std::string::npos);
    EXPECT_EQ(del(16, h[15], &out), 0x30008u);  // deleted already: no longer a rule
    EXPECT_NE(out.find("Invalid flow handle"), std::string::npos) << out;
    EXPECT_EQ(del(3, h[16], &out), 0x30008u);  // not its index
    EXPECT_NE(out.find("Invalid rule index 3: the PBR rule is at index 16"), std::string::npos) << out;
    ASSERT_EQ(commit(0, s), 0u);
    EXPECT_EQ(del(16, h[16]), 0u);
}

TEST_F(PbrTest, CommitModesOtherThanZeroAndOneAreRefused) {
    zel_ip_policy_set_handle_t s = new_set();
    std::string out;
    EXPECT_EQ(commit(2, s, &out), 0x30008u);
    EXPECT_NE(out.find("Invalid PBR commit mode 2"), std::string::npos) << out;
    EXPECT_EQ(commit(0, nullptr, &out), kBadSet);
    EXPECT_EQ(commit(1, nullptr, &out), 0u);
}

// ---- where a set applies ------------------------------------------------------------

TEST_F(PbrTest, InterfaceEntriesCarryTheSetAndThePbrFlag) {
    zel_ip_policy_set_handle_t s = new_set();
    for (void *h : {static_cast<void *>(intf_), static_cast<void *>(tunnel_)}) {
        const uint32_t id = intf_id(h);
        const uint32_t before = intf_tree(zel::ip::kTreeIntfIngressFlags, id).w1;
        ASSERT_EQ(quiet([&] { return zel_ip_pbr_config(m_, h, s); }), 0u);
        EXPECT_EQ(intf_tree(zel::ip::kTreeIntfFilterRuleSet, id).w2, set_id(s));
        EXPECT_EQ(intf_tree(zel::ip::kTreeIntfIngressFlags, id).w1, before | 0x4);
        ASSERT_EQ(quiet([&] { return zel_ip_pbr_config(m_, h, nullptr); }), 0u);
        EXPECT_EQ(intf_tree(zel::ip::kTreeIntfFilterRuleSet, id).w2, 0u);
        EXPECT_EQ(intf_tree(zel::ip::kTreeIntfIngressFlags, id).w1, before & ~0x4u);
    }
    std::string out;
    EXPECT_EQ(quiet([&] { return zel_ip_pbr_config(m_, s, s); }, &out), 0x30008u);
    EXPECT_NE(out.find("Invalid input interface handle"), std::string::npos) << out;
    EXPECT_EQ(quiet([&] { return zel_ip_pbr_config(m_, intf_, reinterpret_cast<zel_ip_policy_set_handle_t>(intf_)); },
                    &out),
              kBadSet);
}

TEST_F(PbrTest, LocallyOriginatedTrafficOfADomainOrOfAll) {
    zel_ip_policy_set_handle_t s[5];
    for (auto &h : s) h = new_set();
    ASSERT_EQ(set_id(s[4]), 5u);
    ASSERT_EQ(quiet([&] { return zel_ip_pbr_config(m_, nullptr, s[4]); }), 0u);
    EXPECT_EQ(tree37(12).w1, 0x105u);  // the catch-all
    ASSERT_EQ(quiet([&] { return zel_ip_vrd_pbr_config(m_, 63, s[1]); }), 0u);
    EXPECT_EQ(tree37(63).w1, 0x102u);
    EXPECT_EQ(tree37(12).w1, 0x105u);
    std::string out;
    EXPECT_EQ(quiet([&] { return zel_ip_vrd_pbr_config(m_, 64, s[1]); }, &out), 0x30008u);
    EXPECT_NE(out.find("VRD ID 64 out of range"), std::string::npos) << out;
    ASSERT_EQ(quiet([&] { return zel_ip_vrd_pbr_config(m_, 63, nullptr); }), 0u);
    EXPECT_EQ(tree37(63).w1, 0x105u);
    ASSERT_EQ(quiet([&] { return zel_ip_vrd_pbr_config(m_, 63, nullptr); }), 0u);  // nothing left to withdraw
    ASSERT_EQ(quiet([&] { return zel_ip_pbr_config(m_, nullptr, nullptr); }), 0u);
    EXPECT_EQ(zel::test::entries(zel_sim_engine(sim_), zel::ip::kTreeLoPbrPolicySet), 0u);
}

// ---- uses ---------------------------------------------------------------------------

TEST_F(PbrTest, ASetInUseIsNotDeletedUnderItsUsers) {
    zel_ip_policy_set_handle_t s = new_set();
    auto set_delete = [&](std::string *out) { return quiet([&] { return zel_ip_pbr_policy_set_delete(m_, s); }, out); };
    struct User {
        const char *what;
        std::function<uint32_t()> apply, remove;
    };
    zel_ip_flow_handle_t rule = nullptr;
    const User users[] = {
        {"interface", [&] { return zel_ip_pbr_config(m_, intf_, s); }, [&] { return zel_ip_pbr_config(m_, intf_, nullptr); }},
        {"local traffic of VRD ID 3", [&] { return zel_ip_vrd_pbr_config(m_, 3, s); },
         [&] { return zel_ip_vrd_pbr_config(m_, 3, nullptr); }},
        {"local traffic of every VRD", [&] { return zel_ip_pbr_config(m_, nullptr, s); },
         [&] { return zel_ip_pbr_config(m_, nullptr, nullptr); }},
        {"policy rule",
         [&] {
             const zel_ip_pbr_rule_t r = rule_of(s);
             return zel_ip_pbr_entry_create(m_, 1, &r, &rule);
         },
         [&] { return zel_ip_pbr_entry_delete(m_, 1, rule); }},
    };
    for (const User &u : users) {
        ASSERT_EQ(quiet(u.apply), 0u) << u.what;
        std::string out;
        EXPECT_EQ(set_delete(&out), kInUse) << u.what;
        EXPECT_NE(out.find(std::string("in use by ") + u.what), std::string::npos) << out;
        ASSERT_EQ(quiet(u.remove), 0u) << u.what;
    }
    std::string out;
    EXPECT_EQ(set_delete(&out), kInUse);  // the deleted rule's id waits for a commit
    EXPECT_NE(out.find("holds 1 deleted rules waiting for a commit"), std::string::npos) << out;
    ASSERT_EQ(commit(0, s), 0u);
    EXPECT_EQ(set_delete(&out), 0u) << out;
}

TEST_F(PbrTest, AnInterfaceDeleteDropsItsUseOfTheSet) {
    zel_ip_policy_set_handle_t s = new_set();
    ASSERT_EQ(quiet([&] { return zel_ip_pbr_config(m_, intf_, s); }), 0u);
    ASSERT_EQ(quiet([&] { return zel_ip_interface_delete(m_, intf_); }), 0u);
    EXPECT_EQ(quiet([&] { return zel_ip_pbr_policy_set_delete(m_, s); }), 0u);
}

TEST_F(PbrTest, ATunnelIsInUseWhileAnActionGoesIntoIt) {
    zel_ip_policy_set_handle_t s = new_set();
    zel_ip_pbr_rule_t r = rule_of(s);
    r.action = via_tunnel();
    zel_ip_flow_handle_t h = make(1, r);
    auto tunnel_delete = [&](std::string *out) {
        return quiet([&] { return zel_ip_tunnel_interface_delete(m_, tunnel_); }, out);
    };
    std::string out;
    EXPECT_EQ(tunnel_delete(&out), kInUse);
    EXPECT_NE(out.find("in use by policy rule"), std::string::npos) << out;
    ASSERT_EQ(commit(0, s), 0u);
    ASSERT_EQ(del(1, h), 0u);
    // The built set still sends into it until the next commit.
    EXPECT_EQ(tunnel_delete(&out), kInUse);
    EXPECT_NE(out.find("in use by pending policy rule"), std::string::npos) << out;
    ASSERT_EQ(commit(0, s), 0u);
    EXPECT_EQ(tunnel_delete(&out), 0u) << out;
}

}  // namespace
