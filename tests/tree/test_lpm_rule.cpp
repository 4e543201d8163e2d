// The learn/unlearn primitive: prefix fallback through the subnet
// database, full-length keys, exact-match trees, compaction cancellation,
// the pattern and subnet traces, the rule programmer's failures, and the
// compressed address table.
#include <gtest/gtest.h>

#include <string>

#include "core/zel_ip_priv.h"
#include "tree/zel_ip_hw_internal.h"
#include "tree/zel_ip_tree.h"
#include "zel_test_fixture.h"

using namespace zel::ip;
using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

constexpr uint32_t kVrd = 63;
constexpr hwe_action_t kNoRoute{HWE_ACTION_VALUE, 4, 0};

bool same(const hwe_action_t &a, const hwe_action_t &b) {
    return a.kind == b.kind && a.w1 == b.w1 && a.w2 == b.w2;
}

class LpmRule : public ZelTest {
protected:
    ZelIpPriv &priv() { return *static_cast<ZelIpPriv *>(m_->priv); }
    TreeRecord &dest() { return priv().trees[kTreeDestAddr]; }
    hwe_engine_t *eng() { return zel_sim_engine(sim_); }

    // Learn or unlearn addr/len in VRD 63 of tree 2; `a` may be rewritten.
    uint32_t route(uint32_t op, uint32_t addr, uint32_t len, hwe_action_t &a) {
        if (key_build(dest(), {{kVrd, 6}, prefix_field(addr, len)}) != 0) return 0xdead;
        uint32_t st = zel_ipv4_lpm_rule(m_, &dest(), op, &a);
        EXPECT_EQ(dest().key.len, 6 + len) << "key length not restored";
        return st;
    }

    hwe_action_t lookup(uint32_t addr) {
        const uint32_t values[] = {kVrd, addr}, widths[] = {6, 32};
        hwe_action_t a{};
        uint32_t depth = 0;
        EXPECT_EQ(zel_sim_engine_lookup_fields(eng(), dest().id, 2, values, widths, &a, &depth), 0u);
        return a;
    }

    // The database entry of addr/len (HWE_E_NOT_FOUND when none).
    uint32_t db_entry(uint32_t addr, uint32_t len, hwe_action_t *a) {
        EXPECT_EQ(key_build(dest(), {{kVrd, 6}, prefix_field(addr, len)}), 0u);
        OneBitLonger longer(dest().key);
        return zel_sim_subnet_get(dest().subnet_db, &dest().key, a);
    }
};

// Removing a /24 re-points its range to the covering /16 and hands the
// /16's action back; removing the /16 falls back to the default (No-Route)
// held by the empty key. The database keeps exactly the learnt prefixes.
TEST_F(LpmRule, RemovalFallsBackToTheCoveringPrefixThenToTheDefault) {
    hwe_action_t a16{HWE_ACTION_VALUE, 1, 0x000216};
    hwe_action_t a24{HWE_ACTION_VALUE, 1, 0x000224};
    ASSERT_EQ(route(kRuleLearn, 0x0a010000, 16, a16), 0u);
    ASSERT_EQ(route(kRuleLearn, 0x0a010200, 24, a24), 0u);
    EXPECT_TRUE(same(lookup(0x0a010203), a24));
    EXPECT_EQ(zel_sim_subnet_count(dest().subnet_db), 3u);

    hwe_action_t rec{HWE_ACTION_VALUE, 1, 0x000224};
    ASSERT_EQ(route(kRuleUnlearn, 0x0a010200, 24, rec), 0u);
    EXPECT_TRUE(same(rec, a16));  // the caller's record now holds the /16's action
    EXPECT_TRUE(same(lookup(0x0a010203), a16));
    hwe_action_t got{};
    EXPECT_EQ(db_entry(0x0a010200, 24, &got), HWE_E_NOT_FOUND);

    rec = a16;
    ASSERT_EQ(route(kRuleUnlearn, 0x0a010000, 16, rec), 0u);
    EXPECT_TRUE(same(rec, kNoRoute));
    EXPECT_TRUE(same(lookup(0x0a010203), kNoRoute));
    EXPECT_TRUE(same(lookup(0x0a01ff00), kNoRoute));
    EXPECT_EQ(zel_sim_subnet_count(dest().subnet_db), 1u);  // the empty key only
}

// A full-length key: its database entry is deleted before each add, and
// after removal it stays in the database with the tree's default action,
// while the engine falls back to the covering prefix.
TEST_F(LpmRule, FullLengthKeyStaysInTheDatabaseWithTheDefault) {
    hwe_action_t a8{HWE_ACTION_VALUE, 1, 0x000008};
    hwe_action_t host1{HWE_ACTION_VALUE, 1, 0x000032};
    hwe_action_t host2{HWE_ACTION_VALUE, 1, 0x000033};
    ASSERT_EQ(route(kRuleLearn, 0x0a000000, 8, a8), 0u);
    zel_sim_counters_reset();
    ASSERT_EQ(route(kRuleLearn, 0x0a010203, 32, host1), 0u);
    EXPECT_EQ(zel_sim_call_count("hwe_subnet_del_subnet"), 1u);
    EXPECT_EQ(zel_sim_call_count("hwe_subnet_add_subnet"), 1u);
    ASSERT_EQ(route(kRuleLearn, 0x0a010203, 32, host2), 0u);  // replace
    hwe_action_t got{};
    ASSERT_EQ(db_entry(0x0a010203, 32, &got), 0u);
    EXPECT_TRUE(same(got, host2));
    EXPECT_TRUE(same(lookup(0x0a010203), host2));

    hwe_action_t rec = host2;
    zel_sim_counters_reset();
    ASSERT_EQ(route(kRuleUnlearn, 0x0a010203, 32, rec), 0u);
    EXPECT_EQ(zel_sim_call_count("hwe_subnet_find_higher_subnet"), 0u);  // full key: no search
    EXPECT_TRUE(same(rec, host2));  // not rewritten
    EXPECT_TRUE(same(lookup(0x0a010203), a8));
    ASSERT_EQ(db_entry(0x0a010203, 32, &got), 0u);
    EXPECT_TRUE(same(got, kNoRoute));
    EXPECT_EQ(zel_sim_subnet_count(dest().subnet_db), 3u);  // empty key, /8, the host
}

// Exact-match trees never touch a subnet database.
TEST_F(LpmRule, ExactTreeNeverTouchesADatabase) {
    TreeRecord &t = priv().trees[kTreeHostRouterMode];
    hwe_action_t a{HWE_ACTION_VALUE, 0x77, 0};
    zel_sim_counters_reset();
    ASSERT_EQ(ZRULE(m_, t, kRuleLearn, a, "learn", {5, 6}), 0u);
    ASSERT_EQ(ZRULE(m_, t, kRuleUnlearn, a, "unlearn", {5, 6}), 0u);
    for (const char *call : {"hwe_subnet_add_subnet", "hwe_subnet_del_subnet", "hwe_subnet_find_higher_subnet"})
        EXPECT_EQ(zel_sim_call_count(call), 0u) << call;
    EXPECT_EQ(zel_sim_call_count("hwe_ptn_learn"), 1u);
    EXPECT_EQ(zel_sim_call_count("hwe_ptn_unlearn"), 1u);
    EXPECT_EQ(zel_sim_engine_entry_count(eng(), t.id), 0u);
}

// A change to the tree under compaction cancels it; other trees do not.
TEST_F(LpmRule, ChangeToTheTreeUnderCompactionClearsCompactingTree) {
    struct Case {
        uint32_t tree;
        uint32_t op;
        bool clears;
    };
    const Case cases[] = {{kTreeException, kRuleLearn, false},
                          {kTreeDestAddr, kRuleLearn, true},
                          {kTreeDestAddr, kRuleUnlearn, true},
                          {kTreeException, kRuleUnlearn, false}};
    hwe_action_t a{HWE_ACTION_VALUE, 1, 2};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.tree) + (c.op ? " learn" : " unlearn"));
        priv().compacting_tree = dest().id;
        hwe_action_t rec = a;
        uint32_t st = c.tree == kTreeDestAddr
                          ? ZRULE(m_, dest(), c.op, rec, "rule", {kVrd, 6}, prefix_field(0xc0a80000, 16))
                          : ZRULE(m_, priv().trees[c.tree], c.op, rec, "rule", {1, 2}, {3, 4});
        ASSERT_EQ(st, 0u);
        EXPECT_EQ(priv().compacting_tree, c.clears ? 0u : dest().id);
    }
    priv().compacting_tree = 0;
}

// The trace of a learn and of a prefix removal on an LPM tree: every
// engine and database step, the database keys one bit longer.
TEST_F(LpmRule, PatternAndSubnetTraces) {
    hwe_action_t a16{HWE_ACTION_VALUE, 1, 0x16};
    hwe_action_t a24{HWE_ACTION_VALUE, 1, 0x24};
    ASSERT_EQ(route(kRuleLearn, 0x0a010000, 16, a16), 0u);
    m_->log_level = ZEL_LOG_PTN | ZEL_LOG_SUBNET;
    StdoutCapture out;
    ASSERT_EQ(route(kRuleLearn, 0x0a010200, 24, a24), 0u);
    hwe_action_t rec = a24;
    ASSERT_EQ(route(kRuleUnlearn, 0x0a010200, 24, rec), 0u);
    // VRD 63 then 10.1.2/24: 0x3f0a0102/30; one bit longer: /31.
    EXPECT_EQ(mask_sites(out.text()),
              "[zel_ip_log: ptn_learn] FILE:LINE zel_ip.ip_dest_addr_lookup: 0x3f0a0102/30 kind 4 0x000001 0x000024\n"
              "[zel_ip_log: subnet_add] FILE:LINE zel_ip.ip_dest_addr_lookup: 0x3f0a0102/31 kind 4 0x000001 0x000024\n"
              "[zel_ip_log: subnet_get] FILE:LINE zel_ip.ip_dest_addr_lookup: 0x3f0a0102/31 <xsize = 23> kind 4 0x000001 0x000016\n"
              "[zel_ip_log: ptn_unlearn] FILE:LINE zel_ip.ip_dest_addr_lookup: 0x3f0a0102/30 <xsize = 22> kind 4 0x000001 0x000016\n"
              "[zel_ip_log: subnet_delete] FILE:LINE zel_ip.ip_dest_addr_lookup: 0x3f0a0102/31\n");
}

// The rule programmer: a failed key build leaves the tree untouched; a
// failed rule call is reported with the caller's message; both FATAL with
// severity 1.
TEST_F(LpmRule, RuleProgrammerReportsBuildAndRuleFailures) {
    m_->log_level = ZEL_LOG_ERROR;
    TreeRecord &t = priv().trees[kTreeHostRouterMode];  // 6-bit key
    hwe_action_t a{HWE_ACTION_VALUE, 1, 0};
    zel_sim_counters_reset();
    StdoutCapture out;
    // Two 4-bit fields do not fit: the second extend fails with 8.
    EXPECT_EQ(ZRULE(m_, t, kRuleLearn, a, "Could not program LPM rule in hardware\n", {1, 4}, {2, 4}), 0x10008u);
    EXPECT_EQ(zel_sim_call_count("hwe_ptn_learn"), 0u);
    // Unlearning what was never learnt: the engine refuses, 65.
    EXPECT_EQ(ZRULE(m_, t, kRuleUnlearn, a, "Could not remove LPM rule from the hardware", {9, 6}), 0x10041u);
    EXPECT_EQ(mask_sites(out.text()),
              "[zel_ip_log: FATAL] FILE:LINE Could not build the input pattern\n"
              "[zel_ip_log: FATAL] FILE:LINE Invalid parameter\n"
              "[zel_ip_log: ERROR] FILE:LINE RTE Error: " + std::string(hwe_status_get(HWE_E_NOT_LEARNT)) +
                  ", Failed to unlearn the input pattern\n"
                  "[zel_ip_log: ERROR] FILE:LINE Pattern unlearn failed\n"
                  "[zel_ip_log: FATAL] FILE:LINE Could not remove LPM rule from the hardware\n"
                  "[zel_ip_log: FATAL] FILE:LINE Pattern unlearn failed\n");
}

// ---------------------------------------------------------------------------
// Compressed address table
// ---------------------------------------------------------------------------

class AddressCompress : public ZelTest {
protected:
    enum : uint32_t { kStore = 0, kRemove = 1, kFind = 2 };
    struct Step {
        uint32_t op;
        uint32_t addr;
        uint32_t vrd;
        uint32_t result;
        uint32_t index;  // checked when the result is 1 and op is not remove
    };
    void run(std::initializer_list<Step> steps) {
        int n = 0;
        for (const Step &s : steps) {
            SCOPED_TRACE("step " + std::to_string(n++));
            uint32_t index = 0xffff;
            EXPECT_EQ(zel_ip_address_compress(m_, s.addr, s.vrd, s.op, &index), s.result);
            if (s.result == 1 && s.op != kRemove) {
                EXPECT_EQ(index, s.index);
            } else {
                EXPECT_EQ(index, 0xffffu);  // not written
            }
        }
    }
};

TEST_F(AddressCompress, SlotsAreTakenInOrderAndReused) {
    const uint32_t a = 0x0a000001, b = 0x0a000002, c = 0x0a000003;
    run({
        {kStore, a, 5, 1, 0},
        {kStore, b, 5, 1, 1},
        {kFind, b, 5, 1, 1},
        {kFind, a, 6, 0, 0},     // both words must match
        {kRemove, a, 5, 1, 0},
        {kRemove, a, 5, 0, 0},   // already gone
        {kFind, a, 5, 0, 0},
        {kStore, c, 7, 1, 0},    // the freed slot is reused
        {kStore, c, 7, 1, 2},    // duplicates are not looked for
        {kFind, c, 7, 1, 0},     // the first of them
        {kStore, 0, 5, 0, 0},    // address 0 marks a free slot: never stored...
        {kFind, 0, 0, 0, 0},     // ...nor found
    });
}

TEST_F(AddressCompress, FullTableRefusesAStore) {
    uint32_t index = 0;
    for (uint32_t i = 0; i < 256; ++i) {
        ASSERT_EQ(zel_ip_address_compress(m_, 0x0b000000 + i + 1, 1, 0, &index), 1u);
        ASSERT_EQ(index, i);
    }
    run({{kStore, 0x0c000001, 1, 0, 0}, {kFind, 0x0b000100, 1, 1, 255}, {kRemove, 0x0b000080, 1, 1, 0},
         {kStore, 0x0c000001, 1, 1, 127}});
    stop();
    EXPECT_EQ(zel_ip_address_compress(m_, 0x0b000001, 1, 2, &index), 0u);  // no module
}

}  // namespace
