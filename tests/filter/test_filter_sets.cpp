// Rule sets: ids, the table of 32, delete refusals, and rules that
// outlive their set.
#include <gtest/gtest.h>

#include <set>

#include "core/zel_ip_registry.h"
#include "filter_test_util.h"

using namespace filtertest;

namespace {

TEST_F(FilterTest, ThirtyTwoSetsWithDistinctIdsThenRefusal) {
    std::set<uint32_t> ids;
    zel_ip_rule_set_handle_t sets[32];
    for (auto &s : sets) {
        s = new_set();
        ASSERT_TRUE(zel_ipv4_valid_rule_set_handle(s));
        ids.insert(set_id_of(s));
    }
    EXPECT_EQ(ids.size(), 32u);
    EXPECT_EQ(*ids.begin(), 1u);
    EXPECT_EQ(*ids.rbegin(), 32u);
    zel_ip_rule_set_handle_t extra = reinterpret_cast<zel_ip_rule_set_handle_t>(0x1);
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_filter_rule_set_create(m_, &extra), 0x3001du);
        EXPECT_NE(cap.text().find("Failed to allocate filter namespace set ID"), std::string::npos);
    }
    EXPECT_EQ(extra, nullptr);
    // A freed id is drawn again.
    const uint32_t id = set_id_of(sets[7]);
    ASSERT_EQ(zel_ip_filter_rule_set_delete(m_, sets[7]), 0u);
    EXPECT_FALSE(zel_ipv4_valid_rule_set_handle(sets[7]));
    EXPECT_EQ(set_id_of(sets[7] = new_set()), id);
}

TEST_F(FilterTest, DeleteRefusals) {
    zel_ip_rule_set_handle_t s = new_set();
    struct Case {
        const char *name;
        zel_ip_rule_set_handle_t h;
    };
    for (const Case &c : {Case{"null", nullptr}, Case{"garbage", reinterpret_cast<zel_ip_rule_set_handle_t>(&s)}}) {
        SCOPED_TRACE(c.name);
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_filter_rule_set_delete(m_, c.h), 0x1030019u);
        EXPECT_NE(cap.text().find("Invalid IP Filter Rule Set Handle"), std::string::npos);
    }
    // A user (an interface filtering with the set) keeps it.
    int user = 0;
    ASSERT_TRUE(zel::ip::obj_use(s, &user, "IP interface"));
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_filter_rule_set_delete(m_, s), 0x3000fu);
        EXPECT_NE(cap.text().find("in use by IP interface"), std::string::npos);
    }
    EXPECT_TRUE(zel_ipv4_valid_rule_set_handle(s));
    zel::ip::obj_unuse(s, &user);
    // Pending rules keep it until a commit releases them.
    zel_ip_flow_handle_t r = add(s, 1, any_rule(), act(ZEL_IP_FILTER_ALLOW));
    ASSERT_EQ(zel_ip_filter_rule_delete(m_, 1, r), 0u);
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_filter_rule_set_delete(m_, s), 0x3000fu);
        EXPECT_NE(cap.text().find("1 rules pending a commit"), std::string::npos);
    }
    ASSERT_EQ(zel_ip_filter_set_commit(m_, 0, s), 0u);
    EXPECT_EQ(zel_ip_filter_rule_set_delete(m_, s), 0u);
    EXPECT_EQ(zel_ip_filter_rule_set_delete(m_, s), 0x1030019u);
}

TEST_F(FilterTest, RuleOfADeletedSetIsRefusedNotFollowed) {
    zel_ip_rule_set_handle_t s = new_set();
    zel_ip_flow_handle_t r = add(s, 3, any_rule(), act(ZEL_IP_FILTER_DENY));
    ASSERT_EQ(zel_ip_filter_rule_set_delete(m_, s), 0u);
    // The set's memory is gone; a new set may even sit at its address.
    zel_ip_rule_set_handle_t s2 = new_set();
    (void)s2;
    const zel_ip_filter_action_t a = act(ZEL_IP_FILTER_ALLOW);
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_filter_rule_delete(m_, 3, r), 0x1030019u);
    EXPECT_EQ(zel_ip_filter_rule_action_modify(m_, 3, r, &a), 0x1030019u);
    const std::string text = cap.text();
    EXPECT_NE(text.find("Invalid IP Filter Rule Set Handle"), std::string::npos) << text;
}

TEST_F(FilterTest, StagedAddDeleteModify) {
    zel_ip_rule_set_handle_t s = new_set();
    const Packet p{};
    EXPECT_EQ(at(s, p).rule_idx, ZEL_SIM_NO_RULE);
    ASSERT_NE(add(s, 10, any_rule(), act(ZEL_IP_FILTER_ALLOW)), nullptr);
    EXPECT_EQ(at(s, p).rule_idx, ZEL_SIM_NO_RULE);  // not yet committed
    ASSERT_EQ(zel_ip_filter_set_commit(m_, 0, s), 0u);
    EXPECT_EQ(at(s, p).rule_idx, 10u);
    EXPECT_EQ(zel::ip::layout::filter::decode(at(s, p).value).action, zel::ip::layout::filter::Action::kAllow);
}

}  // namespace
