// A learn (tree) or an add (subnet database) may be written after its call
// returns, by the next call that reaches the same object. Whatever that
// next call is, it must see the write: each case below makes it the very
// first call after the learn or add.
#include <functional>

#include "engine_test_util.h"

using namespace enginetest;

namespace {

constexpr uint32_t kW = 38;

class PostedTest : public EngineTest {
protected:
    uint32_t tree() { return id("zel_ip.ip_dest_addr_lookup"); }
};

uint32_t count_listed(void *ctx, const zel_ptn_t *key, const hwe_action_t *) {
    if (key->len) ++*static_cast<uint32_t *>(ctx);
    return 0;
}

TEST_F(PostedTest, TheCallAfterALearnSeesIt) {
    const hwe_action_t a = value(0x11, 0x22), b = value(0x33), no_route = value(4);
    const uint64_t host = 0x3full << 32 | 0x0a010101;  // 10.1.1.1 in domain 63
    struct Case {
        const char *what;
        std::function<void(const zel_ptn_t *)> after;
    } cases[] = {
        {"lookup", [&](const zel_ptn_t *) { EXPECT_TRUE(same(a, leaf(tree(), kW, host))); }},
        {"entry count", [&](const zel_ptn_t *) { EXPECT_EQ(1u, zel_sim_engine_entry_count(eng_, tree())); }},
        {"listing",
         [&](const zel_ptn_t *) {
             uint32_t n = 0;
             EXPECT_EQ(0u, hwe_ptn_list_ptns(eng_, tree(), count_listed, &n));
             EXPECT_EQ(1u, n);
         }},
        {"unlearn", [&](const zel_ptn_t *k) { EXPECT_EQ(0u, hwe_ptn_unlearn(eng_, tree(), k, kW, &b, 0)); }},
        {"compaction",
         [&](const zel_ptn_t *) {
             EXPECT_EQ(0u, hwe_ptn_compact_fn(eng_, tree()));
             EXPECT_TRUE(same(a, leaf(tree(), kW, host)));
         }},
        {"another learn",
         [&](const zel_ptn_t *) {
             Key k2(kW, 0x3f0b01, 22);  // 11.1.0.0/16
             ASSERT_EQ(0u, hwe_ptn_learn(eng_, tree(), k2.get(), &b));
             EXPECT_TRUE(same(a, leaf(tree(), kW, host)));
             EXPECT_TRUE(same(b, leaf(tree(), kW, 0x3full << 32 | 0x0b010101)));
         }},
        {"replacing learn",
         [&](const zel_ptn_t *k) {
             ASSERT_EQ(0u, hwe_ptn_learn(eng_, tree(), k, &b));
             EXPECT_TRUE(same(b, leaf(tree(), kW, host)));
             EXPECT_EQ(1u, zel_sim_engine_entry_count(eng_, tree()));
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0u, hwe_ptn_unlearn_any(eng_, tree(), nullptr, 0, &no_route, 0));
        Key k(kW, 0x3f0a0101, 30);  // 10.1.1.0/24 in domain 63
        ASSERT_EQ(0u, hwe_ptn_learn(eng_, tree(), k.get(), &a));
        c.after(k.get());
    }
}

TEST(PostedDb, TheCallAfterAnAddSeesIt) {
    const hwe_action_t a = value(7), b = value(8);
    struct Case {
        const char *what;
        std::function<void(hwe_subnet_db_t *, Key &)> after;
    } cases[] = {
        {"get",
         [&](hwe_subnet_db_t *db, Key &k) {
             hwe_action_t got{};
             ASSERT_EQ(0u, zel_sim_subnet_get(db, k.get(), &got));
             EXPECT_TRUE(same(a, got));
         }},
        {"count", [&](hwe_subnet_db_t *db, Key &) { EXPECT_EQ(1u, zel_sim_subnet_count(db)); }},
        {"find higher",
         [&](hwe_subnet_db_t *db, Key &) {
             Key longer(kW + 1, 0x3full << 32 | 0x0a010101, kW + 1);  // 10.1.1.1
             uint32_t extent = 0;
             hwe_action_t got{};
             ASSERT_EQ(0u, hwe_subnet_find_higher_subnet(db, longer.get(), &extent, &got));
             EXPECT_EQ(31u, extent);
             EXPECT_TRUE(same(a, got));
         }},
        {"delete",
         [&](hwe_subnet_db_t *db, Key &k) {
             ASSERT_EQ(0u, hwe_subnet_del_subnet(db, k.get()));
             EXPECT_EQ(0u, zel_sim_subnet_count(db));
         }},
        {"replacing add",
         [&](hwe_subnet_db_t *db, Key &k) {
             ASSERT_EQ(0u, hwe_subnet_add_subnet(db, k.get(), &b));
             hwe_action_t got{};
             ASSERT_EQ(0u, zel_sim_subnet_get(db, k.get(), &got));
             EXPECT_TRUE(same(b, got));
             EXPECT_EQ(1u, zel_sim_subnet_count(db));
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        hwe_subnet_db_t *db = nullptr;
        ASSERT_EQ(0u, hwe_subnet_create(kW + 1, 0, 0, &db));
        Key k(kW + 1, 0x3f0a0101, 31);  // 10.1.1.0/24 in domain 63, one bit longer
        ASSERT_EQ(0u, hwe_subnet_add_subnet(db, k.get(), &a));
        c.after(db, k);
        EXPECT_EQ(0u, hwe_subnet_destroy(db));
    }
}

}  // namespace
