// A pattern buffer remembers where the tree and the subnet database it was
// last handed to keep their slots, and the pattern builder warms the lines
// of each key it extends. Those addresses may be stale and are never read
// through: a buffer that outlives the database or the engine it was
// handed to still builds keys and works with other ones (under
// AddressSanitizer a read of the freed tables fails the test).
#include "engine_test_util.h"

using namespace enginetest;

namespace {

constexpr uint32_t kWidth = 38;

class PairTest : public EngineTest {
protected:
    uint32_t tree() { return id("zel_ip.ip_dest_addr_lookup"); }
};

// Paired with a destroyed database, a buffer learns into the tree.
TEST_F(PairTest, ABufferOutlivesItsDatabase) {
    const hwe_action_t a7 = value(7), a9 = value(9);
    Key k(kWidth, 0x3f0a01, 22);
    hwe_subnet_db_t *db = nullptr;
    ASSERT_EQ(0u, hwe_subnet_create(kWidth + 1, 0, 0, &db));
    k.raise();
    ASSERT_EQ(0u, hwe_subnet_add_subnet(db, k.get(), &a7));
    ASSERT_EQ(0u, hwe_subnet_destroy(db));
    k.set(0x3f0a01, 22);
    ASSERT_EQ(0u, hwe_ptn_learn(eng_, tree(), k.get(), &a9));
    EXPECT_TRUE(same(a9, leaf(tree(), kWidth, 0x3f0a01ull << 16)));
}

// Paired with a tree of a destroyed engine, a buffer searches a database,
// and then pairs with a live engine's tree.
TEST_F(PairTest, ABufferOutlivesTheEngineOfItsTree) {
    const hwe_action_t a1 = value(1), a2 = value(2), a5 = value(5);
    Key k(kWidth, 0x3f0a01, 22);
    zel_sim_image_t *img = zel_sim_image_default();
    hwe_engine_t *gone = zel_sim_engine_create(img);
    zel_sim_image_free(img);
    ASSERT_NE(gone, nullptr);
    ASSERT_EQ(0u, hwe_ptn_learn(gone, tree(), k.get(), &a1));
    zel_sim_engine_destroy(gone);

    hwe_subnet_db_t *db = nullptr;
    ASSERT_EQ(0u, hwe_subnet_create(kWidth + 1, 0, 0, &db));
    Key cover(kWidth + 1, 0x3f0a, 15);
    ASSERT_EQ(0u, hwe_subnet_add_subnet(db, cover.get(), &a5));
    k.raise();
    uint32_t extent = 0;
    hwe_action_t a{};
    ASSERT_EQ(0u, hwe_subnet_find_higher_subnet(db, k.get(), &extent, &a));
    EXPECT_EQ(15u, extent);
    EXPECT_TRUE(same(a5, a)) << str(a);

    k.set(0x3f0a01, 22);
    ASSERT_EQ(0u, hwe_ptn_learn(eng_, tree(), k.get(), &a2));
    k.raise();
    ASSERT_EQ(0u, hwe_subnet_find_higher_subnet(db, k.get(), &extent, &a));
    EXPECT_EQ(0u, hwe_subnet_destroy(db));
}

}  // namespace
