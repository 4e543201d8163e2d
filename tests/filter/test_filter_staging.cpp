// Staged commit seen from packets: every edit is invisible until the set
// is compiled, a compile that the engine refuses turns into a rebuild of
// every set, and the pending lists hold what the compiled set still
// needs until then.
#include <gtest/gtest.h>

#include "filter_test_util.h"

using namespace filtertest;
namespace lf = zel::ip::layout::filter;

namespace {

constexpr uint32_t kCommitSet = ZEL_IP_COMMIT_SET;

lf::Action action_of(const Verdict &v) { return lf::decode(v.value).action; }

TEST_F(FilterTest, EachEditIsSeenOnlyAfterItsCommit) {
    zel_ip_rule_set_handle_t s = new_set();
    const Packet p{};
    zel_ip_flow_handle_t r5 = add(s, 5, any_rule(), act(ZEL_IP_FILTER_ALLOW));
    ASSERT_EQ(zel_ip_filter_set_commit(m_, kCommitSet, s), 0u);
    ASSERT_EQ(at(s, p).rule_idx, 5u);

    // Add a rule in front: old answer until the commit.
    zel_ip_flow_handle_t r2 = add(s, 2, any_rule(), act(ZEL_IP_FILTER_DENY));
    EXPECT_EQ(at(s, p).rule_idx, 5u);
    ASSERT_EQ(zel_ip_filter_set_commit(m_, kCommitSet, s), 0u);
    EXPECT_EQ(at(s, p).rule_idx, 2u);
    EXPECT_EQ(action_of(at(s, p)), lf::Action::kDeny);

    // Modify it: still Deny until the commit, then Send-To-CPU.
    const zel_ip_filter_action_t cpu = act(ZEL_IP_FILTER_CPU);
    ASSERT_EQ(zel_ip_filter_rule_action_modify(m_, 2, r2, &cpu), 0u);
    EXPECT_EQ(action_of(at(s, p)), lf::Action::kDeny);
    ASSERT_EQ(zel_ip_filter_set_commit(m_, kCommitSet, s), 0u);
    EXPECT_EQ(action_of(at(s, p)), lf::Action::kSendToCpu);

    // Delete it: rule 2 answers until the commit, then rule 5 again.
    ASSERT_EQ(zel_ip_filter_rule_delete(m_, 2, r2), 0u);
    EXPECT_EQ(at(s, p).rule_idx, 2u);
    ASSERT_EQ(zel_ip_filter_set_commit(m_, kCommitSet, s), 0u);
    EXPECT_EQ(at(s, p).rule_idx, 5u);
    (void)r5;
}

TEST_F(FilterTest, PendingRulesKeepTheirResourcesUntilTheCommit) {
    zel_ip_rule_set_handle_t s = new_set();
    zel_ip_filter_action_t cpu = act(ZEL_IP_FILTER_CPU);
    cpu.cpu_kind = ZEL_IP_CPU_PATH_NCA;
    cpu.cpu_target = 9;
    cpu.police = 1;
    cpu.count = 1;
    cpu.policer = zel_sim_qos_policer_new(sim_, 0x4242);
    zel_ip_flow_handle_t r = add(s, 1, any_rule(), cpu);
    const uint32_t before = ns_in_use();
    auto cpu_entries = [&] {
        uint32_t n = 0;
        for (uint32_t t = 16; t <= 19; ++t) n += zel::test::entries(eng(), t);
        return n;
    };
    EXPECT_EQ(cpu_entries(), 4u);
    // Modify: the new key's entries join the old ones until the commit.
    ASSERT_EQ(zel_ip_filter_rule_action_modify(m_, 1, r, &cpu), 0u);
    EXPECT_EQ(cpu_entries(), 8u);
    ASSERT_EQ(zel_ip_filter_set_commit(m_, kCommitSet, s), 0u);
    EXPECT_EQ(cpu_entries(), 4u);
    // Delete: everything stays until the commit.
    ASSERT_EQ(zel_ip_filter_rule_delete(m_, 1, r), 0u);
    EXPECT_EQ(cpu_entries(), 4u);
    EXPECT_EQ(ns_in_use(), before);
    ASSERT_EQ(zel_ip_filter_set_commit(m_, kCommitSet, s), 0u);
    EXPECT_EQ(cpu_entries(), 0u);
    EXPECT_EQ(ns_in_use(), before - 1);
}

TEST_F(FilterTest, RefusedBuildRebuildsEverySetAndReleasesEveryList) {
    zel_ip_rule_set_handle_t a = new_set(), b = new_set();
    const Packet p{};
    zel_ip_flow_handle_t ra = add(a, 1, any_rule(), act(ZEL_IP_FILTER_ALLOW));
    zel_ip_flow_handle_t rb = add(b, 1, any_rule(), act(ZEL_IP_FILTER_ALLOW));
    ASSERT_EQ(zel_ip_filter_set_commit(m_, ZEL_IP_COMMIT_ALL, nullptr), 0u);
    const uint32_t ns_before = ns_in_use();
    // Set a gets more edits than the engine compiles one set for.
    ASSERT_EQ(zel_sim_engine_set_rebuild_threshold(eng(), tree_id(eng(), kExtTree), 2), 0u);
    const zel_ip_filter_action_t deny = act(ZEL_IP_FILTER_DENY);
    ASSERT_EQ(zel_ip_filter_rule_delete(m_, 1, rb), 0u);
    ASSERT_EQ(zel_ip_filter_rule_action_modify(m_, 1, ra, &deny), 0u);
    add(a, 2, any_rule(), deny);
    add(a, 3, any_rule(), deny);
    EXPECT_EQ(at(b, p).rule_idx, 1u);
    ASSERT_EQ(zel_ip_filter_set_commit(m_, kCommitSet, a), 0u);
    // Both sets compiled, b's deleted rule released too.
    EXPECT_EQ(action_of(at(a, p)), lf::Action::kDeny);
    EXPECT_EQ(at(b, p).rule_idx, ZEL_SIM_NO_RULE);
    EXPECT_EQ(ns_in_use(), ns_before + 2 - 1);
    // b's list is empty: its set can go.
    EXPECT_EQ(zel_ip_filter_rule_set_delete(m_, b), 0u);
    // a's modified rule is live again.
    EXPECT_EQ(zel_ip_filter_rule_action_modify(m_, 1, ra, &deny), 0u);
}

TEST_F(FilterTest, PendingLimitAndDoubleEdits) {
    zel_ip_rule_set_handle_t s = new_set();
    zel_ip_flow_handle_t r[66];
    for (uint32_t i = 0; i < 66; ++i) r[i] = add(s, i, any_rule(), act(ZEL_IP_FILTER_ALLOW));
    const zel_ip_filter_action_t deny = act(ZEL_IP_FILTER_DENY);
    for (uint32_t i = 0; i < 64; ++i)
        ASSERT_EQ(i % 2 ? zel_ip_filter_rule_delete(m_, i, r[i]) : zel_ip_filter_rule_action_modify(m_, i, r[i], &deny),
                  0u);
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_filter_rule_delete(m_, 64, r[64]), 0x3000fu);
        EXPECT_EQ(zel_ip_filter_rule_action_modify(m_, 65, r[65], &deny), 0x3000fu);
        const std::string t = cap.text();
        EXPECT_NE(t.find("Cannot delete any more rules until previously deleted or modified rules are committed"),
                  std::string::npos);
        EXPECT_NE(t.find("Cannot modify any more rules until previously deleted or modified rules are committed"),
                  std::string::npos);
    }
    ASSERT_EQ(zel_ip_filter_set_commit(m_, kCommitSet, s), 0u);
    EXPECT_EQ(zel_ip_filter_rule_delete(m_, 64, r[64]), 0u);

    // Double delete: the handle died with the first.
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_filter_rule_delete(m_, 64, r[64]), 0x30008u);
        EXPECT_NE(cap.text().find("Invalid input filter handle"), std::string::npos);
    }
    // Double modify before a commit, and delete of a pending-modified rule.
    ASSERT_EQ(zel_ip_filter_rule_action_modify(m_, 65, r[65], &deny), 0u);
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_filter_rule_action_modify(m_, 65, r[65], &deny), 0x3000fu);
        EXPECT_EQ(zel_ip_filter_rule_delete(m_, 65, r[65]), 0x3000fu);
        const std::string t = cap.text();
        EXPECT_NE(t.find("Cannot modify a rule with pending commit"), std::string::npos);
        EXPECT_NE(t.find("Cannot delete a rule with pending commit"), std::string::npos);
    }
}

TEST_F(FilterTest, RuleKeyAlternatesOverModifyCommitRounds) {
    zel_ip_rule_set_handle_t s = new_set();
    zel_ip_flow_handle_t r = add(s, 1, any_rule(), act(ZEL_IP_FILTER_ALLOW));
    const uint32_t id = set_id_of(s);
    const zel_ip_filter_action_t deny = act(ZEL_IP_FILTER_DENY);
    const uint32_t flow_id = lf::decode(listed(eng(), id, 1).value).flow_id;
    EXPECT_EQ(flow_id, kNsBase);
    for (uint32_t want : {4u, 0u, 4u}) {
        ASSERT_EQ(zel_ip_filter_rule_action_modify(m_, 1, r, &deny), 0u);
        // The engine's edited rule carries the new key at once...
        EXPECT_EQ(lf::decode(listed(eng(), id, 1).value).rule_key, want);
        ASSERT_EQ(zel_ip_filter_set_commit(m_, kCommitSet, s), 0u);
        // ...the record from the commit on: the next modify flips it back.
        EXPECT_EQ(r->body.filter.flow_key, (flow_id << 4) | want);
    }
}

TEST_F(FilterTest, RangesOfARule) {
    zel_ip_rule_set_handle_t s = new_set();
    const uint32_t id = set_id_of(s);
    struct Case {
        const char *name;
        zel_ip_filter_rule_t rule;
        uint32_t range;  // index of the range checked
        uint32_t lo, hi;
    };
    const uint32_t l4 = ZEL_IP_FILTER_PROTO | ZEL_IP_FILTER_PROTO_INFO;
    const Case cases[] = {
        {"TCP sports", {l4 | ZEL_IP_FILTER_SPORT, 6, 6, 0, 0, 0, 0, 0, 0, 0, 1024, 65535, 0, 0}, 5, 1024, 65535},
        {"TCP dports untouched", {l4 | ZEL_IP_FILTER_SPORT, 6, 6, 0, 0, 0, 0, 0, 0, 0, 1024, 65535, 0, 0}, 6, 0, 65535},
        {"IGMP has no code", {l4 | ZEL_IP_FILTER_DPORT, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 4}, 6, 0, 65535},
        {"IGMP type", {l4 | ZEL_IP_FILTER_SPORT, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x12, 0, 0}, 5, 0x11, 0x12},
        {"GRE no ports", {l4 | ZEL_IP_FILTER_SPORT, 47, 47, 0, 0, 0, 0, 0, 0, 0, 5, 6, 0, 0}, 5, 0, 65535},
        {"L4 without PROTO_INFO", {ZEL_IP_FILTER_SPORT, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 6, 0, 0}, 5, 0, 65535},
        {"DSCP 10..12", {ZEL_IP_FILTER_DSCP, 0, 0, 0, 0, 0, 0, 0, 10, 12, 0, 0, 0, 0}, 0, 40, 51},
        {"dst /16", {ZEL_IP_FILTER_DIP, 0, 0, 0x0a010203, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 4, 0x0a010000, 0x0a01ffff},
        {"src /32", {ZEL_IP_FILTER_SIP, 0, 0, 0, 0, 0xc0000201, 32, 0, 0, 0, 0, 0, 0, 0}, 3, 0xc0000201, 0xc0000201},
        {"no dst mask: any", {0, 0, 0, 0x0a010203, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 4, 0, 0xffffffff},
        {"frag 0", {ZEL_IP_FILTER_FRAG, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1, 0, 0},
        {"frag 1", {ZEL_IP_FILTER_FRAG, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}, 1, 0, 2},
        {"frag 2", {ZEL_IP_FILTER_FRAG, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0}, 1, 2, 3},
        {"frag 3", {ZEL_IP_FILTER_FRAG, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0}, 1, 2, 2},
        {"frag 4", {ZEL_IP_FILTER_FRAG, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0}, 1, 3, 3},
        {"proto range", {ZEL_IP_FILTER_PROTO, 6, 17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 2, 6, 17},
    };
    uint32_t idx = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        add(s, ++idx, c.rule, act(ZEL_IP_FILTER_ALLOW));
        const Listed l = listed(eng(), id, idx);
        ASSERT_TRUE(l.found);
        ASSERT_EQ(l.ranges.size(), 7u);
        EXPECT_EQ(l.ranges[c.range].lo, c.lo);
        EXPECT_EQ(l.ranges[c.range].hi, c.hi);
    }
    // An unknown fragment type matches every class, with the warning.
    zel_ip_filter_rule_t bad{};
    bad.mask = ZEL_IP_FILTER_FRAG;
    bad.frag_type = 5;
    ASSERT_EQ(zel_ip_log_level_set(m_, ZEL_LOG_WARNING), 0u);
    StdoutCapture cap;
    add(s, ++idx, bad, act(ZEL_IP_FILTER_ALLOW));
    EXPECT_NE(cap.text().find("Invalid IP Fragment type field. Treating as don't care field"), std::string::npos);
    EXPECT_EQ(listed(eng(), id, idx).ranges[1].hi, 3u);
}

TEST_F(FilterTest, AddAndCommitRefusals) {
    zel_ip_rule_set_handle_t s = new_set();
    const zel_ip_filter_rule_t any = any_rule();
    struct Case {
        const char *name;
        zel_ip_filter_rule_t rule;
        zel_ip_filter_action_t action;
        uint32_t status;
        const char *message;
    };
    zel_ip_filter_rule_t dst0 = any, src33 = any, l4range = any, l4noproto = any;
    dst0.mask = ZEL_IP_FILTER_DIP;
    src33.mask = ZEL_IP_FILTER_SIP;
    src33.sip_prefix_len = 33;
    l4range.mask = ZEL_IP_FILTER_PROTO | ZEL_IP_FILTER_PROTO_INFO;
    l4range.proto_lo = 6;
    l4range.proto_hi = 17;
    l4noproto.mask = ZEL_IP_FILTER_PROTO_INFO;
    zel_ip_filter_action_t both_queues = act(ZEL_IP_FILTER_CPU), big_context = act(ZEL_IP_FILTER_CPU);
    both_queues.mtm_queue = zel_sim_qos_queue_new(sim_, 7);
    both_queues.dscp_cpu_queue = 1;
    big_context.context_flow_id = 0x1000000;
    const Case cases[] = {
        {"dst /0", dst0, act(1), 0x1030012, "Invalid Destination IP address prefix width"},
        {"src /33", src33, act(1), 0x1030012, "Invalid Source IP address prefix width"},
        {"L4 over a protocol range", l4range, act(1), 0x30008,
         "Protocol value cannot be more than one when L4 info needs to be specified"},
        {"action 4", any, act(4), 0x30008, "Invalid Filter action"},
        {"L4 without PROTO", l4noproto, act(1), 0x103000d, "PROTO_MASK should be set when PROTO_INFO_MASK is set"},
        {"MTM and DSCP queue", any, both_queues, 0x30008, "MTM Queue Handle cannot be specified"},
        {"context above 24 bits", any, big_context, 0x30008, "Context flow ID 0x1000000 does not fit 24 bits"},
    };
    const uint32_t ns = ns_in_use();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zel_ip_flow_handle_t h = reinterpret_cast<zel_ip_flow_handle_t>(&s);
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_filter_rule_add(m_, s, 1, &c.rule, &c.action, &h), c.status);
        EXPECT_NE(cap.text().find(c.message), std::string::npos);
        EXPECT_EQ(h, nullptr);
    }
    EXPECT_EQ(ns_in_use(), ns);
    EXPECT_EQ(zel_sim_engine_entry_count(eng(), tree_id(eng(), kExtTree)), 0u);
    // A taken rule index, a wrong index on delete, an unknown commit mode.
    zel_ip_flow_handle_t r = add(s, 1, any, act(1));
    StdoutCapture cap;
    zel_ip_flow_handle_t h2 = nullptr;
    const zel_ip_filter_action_t allow = act(1);
    EXPECT_EQ(zel_ip_filter_rule_add(m_, s, 1, &any, &allow, &h2), 0x1030010u);
    EXPECT_EQ(ns_in_use(), ns + 1);
    EXPECT_EQ(zel_ip_filter_rule_delete(m_, 2, r), 0x30008u);
    EXPECT_EQ(zel_ip_filter_set_commit(m_, 2, s), 0x30008u);
    const std::string t = cap.text();
    EXPECT_NE(t.find("Failed to insert filter entry"), std::string::npos);
    EXPECT_NE(t.find("Rule index 2 is not the rule's index 1"), std::string::npos);
    EXPECT_NE(t.find("Invalid commit mode 2"), std::string::npos);
}

}  // namespace
