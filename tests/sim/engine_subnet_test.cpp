// Subnet databases: add/replace, tolerant delete, find-higher (closest
// strictly shorter covering prefix, its own length as the extent), the
// module's raised keys, the 118-bit width, refusals.
#include "engine_test_util.h"

using namespace enginetest;

namespace {

class SubnetTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0u, hwe_subnet_create(39, 0, 0, &db_)); }
    void TearDown() override {
        if (db_) {
            EXPECT_EQ(0u, hwe_subnet_destroy(db_));
        }
    }
    uint32_t add(uint64_t bits, uint32_t len, const hwe_action_t &a) {
        Key k(39, bits, len);
        return hwe_subnet_add_subnet(db_, k.get(), &a);
    }
    uint32_t higher(uint64_t bits, uint32_t len, uint32_t *extent, hwe_action_t *a) {
        Key k(39, bits, len);
        return hwe_subnet_find_higher_subnet(db_, k.get(), extent, a);
    }
    hwe_subnet_db_t *db_ = nullptr;
};

TEST_F(SubnetTest, FindHigherGivesTheClosestStrictlyShorterCover) {
    const hwe_action_t a8 = value(8), a16 = value(16), a24 = value(24);
    ASSERT_EQ(0u, add(0x0a, 8, a8));
    ASSERT_EQ(0u, add(0x0a01, 16, a16));
    ASSERT_EQ(0u, add(0x0a0102, 24, a24));
    struct Case {
        uint64_t bits;
        uint32_t len;
        uint32_t status, extent;
        hwe_action_t action;
    } cases[] = {
        {0x0a010203, 32, 0, 24, a24},            // a host under all three
        {0x0a0102, 24, 0, 16, a16},              // a stored key: strictly shorter only
        {0x0a0109, 24, 0, 16, a16},              // beside the /24
        {0x0a02, 16, 0, 8, a8},
        {0x0b010203, 32, HWE_E_NOT_FOUND, 0, {}},  // nothing covers it
        {0, 0, HWE_E_NOT_FOUND, 0, {}},            // nothing is shorter than the empty key
    };
    for (const Case &c : cases) {
        uint32_t extent = 0;
        hwe_action_t a{};
        ASSERT_EQ(c.status, higher(c.bits, c.len, &extent, &a)) << std::hex << c.bits;
        if (c.status) continue;
        EXPECT_EQ(c.extent, extent) << std::hex << c.bits;
        EXPECT_TRUE(same(c.action, a)) << std::hex << c.bits;
    }
}

TEST_F(SubnetTest, TheModulesRaisedKeysAreCoveredByTheRaisedEmptyKey) {
    // The module adds the tree default under the empty 38-bit key raised to
    // one bit (a lone 0), and raises every key it asks about the same way.
    const hwe_action_t dflt = value(4), r16 = value(1, 0x16);
    Key empty(38);
    ASSERT_EQ(0u, hwe_subnet_add_subnet(db_, empty.raise().get(), &dflt));
    Key route16(38);
    route16.add(63, 6).add(0x0a01, 16).raise();
    ASSERT_EQ(0u, hwe_subnet_add_subnet(db_, route16.get(), &r16));

    Key route24(38), other(38), top(38);
    route24.add(63, 6).add(0x0a0102, 24).raise();
    other.add(63, 6).add(0xc0a801, 24).raise();
    top.add(63, 6).add(0xffffffff, 32).raise();  // all ones: its raised form is 0 then ones
    uint32_t extent = 0;
    hwe_action_t a{};
    ASSERT_EQ(0u, hwe_subnet_find_higher_subnet(db_, route24.get(), &extent, &a));
    EXPECT_EQ(23u, extent);  // the /16 route: tree length 22, plus the leading bit
    EXPECT_TRUE(same(r16, a));
    for (Key *k : {&other, &top}) {
        ASSERT_EQ(0u, hwe_subnet_find_higher_subnet(db_, k->get(), &extent, &a));
        EXPECT_EQ(1u, extent);  // tree extent 0: the default
        EXPECT_TRUE(same(dflt, a));
    }
}

TEST_F(SubnetTest, AddReplacesAndDeleteToleratesAbsentKeys) {
    ASSERT_EQ(0u, add(0x0a01, 16, value(1)));
    ASSERT_EQ(0u, add(0x0a01, 16, value(2)));
    EXPECT_EQ(1u, zel_sim_subnet_count(db_));
    Key k(39, 0x0a01, 16), absent(39, 0x0a0203, 24);
    hwe_action_t a{};
    ASSERT_EQ(0u, zel_sim_subnet_get(db_, k.get(), &a));
    EXPECT_TRUE(same(value(2), a));
    // The module deletes a full-length key before its first add.
    EXPECT_EQ(0u, hwe_subnet_del_subnet(db_, absent.get()));
    EXPECT_EQ(1u, zel_sim_subnet_count(db_));
    EXPECT_EQ(0u, hwe_subnet_del_subnet(db_, k.get()));
    EXPECT_EQ(HWE_E_NOT_FOUND, zel_sim_subnet_get(db_, k.get(), &a));
    EXPECT_EQ(0u, zel_sim_subnet_count(db_));
}

TEST(Subnet, TheWidestDatabaseHoldsKeysAcrossTheWordBoundary) {
    hwe_subnet_db_t *db = nullptr;
    ASSERT_EQ(0u, hwe_subnet_create(118, 0, 0, &db));
    Key p70(117), full(117), sibling(117);
    p70.fill(1, 70);
    full.fill(1, 70).fill(0, 47);
    sibling.fill(1, 69).fill(0, 48);
    const hwe_action_t a = func(0x201);
    ASSERT_EQ(0u, hwe_subnet_add_subnet(db, p70.raise().get(), &a));
    uint32_t extent = 0;
    hwe_action_t got{};
    ASSERT_EQ(0u, hwe_subnet_find_higher_subnet(db, full.raise().get(), &extent, &got));
    EXPECT_EQ(71u, extent);
    EXPECT_TRUE(same(a, got));
    EXPECT_EQ(HWE_E_NOT_FOUND, hwe_subnet_find_higher_subnet(db, sibling.raise().get(), &extent, &got));
    EXPECT_EQ(0u, hwe_subnet_destroy(db));
}

TEST(Subnet, RefusalsChangeNothing) {
    hwe_subnet_db_t *db = nullptr;
    EXPECT_EQ(HWE_E_PARAM, hwe_subnet_create(0, 0, 0, &db));
    EXPECT_EQ(HWE_E_PARAM, hwe_subnet_create(119, 0, 0, &db));
    EXPECT_EQ(HWE_E_PARAM, hwe_subnet_create(25, 0, 0, nullptr));
    ASSERT_EQ(0u, hwe_subnet_create(25, 0, 0, &db));
    Key k(24, 0x0a0102, 24), longer(24, 0x0a0102, 24);
    longer.raise().raise();  // 26 bits in a 25-bit database
    const hwe_action_t a = value(1), bad{3, 0, 0};
    uint32_t extent;
    hwe_action_t out;
    EXPECT_EQ(HWE_E_KEY, hwe_subnet_add_subnet(db, longer.get(), &a));
    EXPECT_EQ(HWE_E_KEY, hwe_subnet_del_subnet(db, longer.get()));
    EXPECT_EQ(HWE_E_KEY, hwe_subnet_find_higher_subnet(db, longer.get(), &extent, &out));
    EXPECT_EQ(HWE_E_PARAM, hwe_subnet_add_subnet(db, k.get(), &bad));
    EXPECT_EQ(HWE_E_PARAM, hwe_subnet_add_subnet(db, nullptr, &a));
    EXPECT_EQ(0u, zel_sim_subnet_count(db));
    // A destroyed database is refused, not followed.
    ASSERT_EQ(0u, hwe_subnet_destroy(db));
    EXPECT_EQ(HWE_E_PARAM, hwe_subnet_add_subnet(db, k.get(), &a));
    EXPECT_EQ(HWE_E_PARAM, hwe_subnet_destroy(db));
}

}  // namespace
