// Random learn/unlearn sequences against independent naive models:
//  - a 38-bit tree driven with correct covering actions taken from a naive
//    longest-prefix table, and the same driven through a subnet database
//    exactly as the module's rule primitive does (key length + 1);
//  - a 10-bit tree driven with arbitrary extents and actions, against a
//    fully expanded table of its 1024 leaves (re-pointed ranges included).
#include <map>
#include <random>
#include <vector>

#include "engine_test_util.h"

using namespace enginetest;

namespace {

constexpr uint32_t kW = 38;
constexpr uint32_t kSeeds[] = {1, 2, 3, 20261210};

// ---- naive longest-prefix table -------------------------------------------------

struct Prefix {
    uint64_t bits;
    uint32_t len;
    bool operator<(const Prefix &o) const { return len != o.len ? len < o.len : bits < o.bits; }
};

struct NaiveLpm {
    std::map<Prefix, hwe_action_t> learnt;
    hwe_action_t dflt;

    // Longest learnt prefix of length <= maxlen covering bits/len.
    bool cover(uint64_t bits, uint32_t len, uint32_t maxlen, uint32_t *clen, hwe_action_t *a) const {
        for (int l = static_cast<int>(maxlen); l >= 1; --l) {
            auto it = learnt.find({bits >> (len - l), static_cast<uint32_t>(l)});
            if (it != learnt.end()) {
                *clen = static_cast<uint32_t>(l);
                *a = it->second;
                return true;
            }
        }
        *clen = 0;
        *a = dflt;
        return false;
    }
};

// Prefixes that nest often: VRD 1 or 2, addresses from a narrow pool.
Prefix random_prefix(std::mt19937_64 &rng) {
    uint32_t vrd = 1 + rng() % 2;
    uint32_t plen = 8 + rng() % 25;
    uint32_t addr = 0x0a000000u | static_cast<uint32_t>(rng() & 0x0003ffff) << 6 |
                    static_cast<uint32_t>(rng() & 0x3f);
    return {static_cast<uint64_t>(vrd) << plen | addr >> (32 - plen), 6 + plen};
}

hwe_action_t random_action(std::mt19937_64 &rng) {
    return rng() % 4 ? value(rng() & 0xffffff, rng() & 0xffffff) : func(0x200 + rng() % 20);
}

class LpmProperty : public EngineTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        tree_ = id("zel_ip.ip_dest_addr_lookup");
        naive_.dflt = value(4);
    }
    void TearDown() override {
        if (db_) {
            EXPECT_EQ(0u, hwe_subnet_destroy(db_));
        }
        EngineTest::TearDown();
    }

    // Lookups of full keys at the edges of p and at random points.
    void check(const Prefix &p, std::mt19937_64 &rng) {
        uint64_t lo = p.bits << (kW - p.len), hi = lo | ((1ULL << (kW - p.len)) - 1);
        uint64_t probes[] = {lo, hi, lo + (rng() & ((1ULL << (kW - p.len)) - 1)),
                             (static_cast<uint64_t>(1 + rng() % 2) << 32) | 0x0a000000u |
                                 (rng() & 0x00ffffff)};
        for (uint64_t full : probes) {
            uint32_t want_len, depth;
            hwe_action_t want;
            naive_.cover(full, kW, kW, &want_len, &want);
            hwe_action_t got = leaf(tree_, kW, full, &depth);
            ASSERT_TRUE(same(want, got)) << std::hex << full << " " << str(got) << " want " << str(want);
            ASSERT_EQ(want_len, depth) << std::hex << full;
        }
    }

    // The module's learn: engine first, then the database (full-length
    // keys are deleted before they are added).
    void learn(const Prefix &p, const hwe_action_t &a) {
        Key k(kW, p.bits, p.len);
        ASSERT_EQ(0u, hwe_ptn_learn(eng_, tree_, k.get(), &a));
        if (db_) {
            k.raise();
            if (p.len == kW) {
                ASSERT_EQ(0u, hwe_subnet_del_subnet(db_, k.get()));
            }
            ASSERT_EQ(0u, hwe_subnet_add_subnet(db_, k.get(), &a));
        }
        naive_.learnt[p] = a;
    }

    // The module's unlearn: the cover from the database (or, without one,
    // from the naive table), then the engine, then the database.
    void unlearn(const Prefix &p) {
        uint32_t want_len;
        hwe_action_t want;
        naive_.cover(p.bits, p.len, p.len - 1, &want_len, &want);
        uint32_t extent = kW;
        hwe_action_t cover = value(0);
        Key k(kW, p.bits, p.len);
        if (p.len < kW) {
            extent = want_len;
            cover = want;
            if (db_) {
                k.raise();
                ASSERT_EQ(0u, hwe_subnet_find_higher_subnet(db_, k.get(), &extent, &cover));
                --k.get()->len;
                --extent;
                ASSERT_EQ(want_len, extent);
                ASSERT_TRUE(same(want, cover)) << str(cover) << " want " << str(want);
            }
        }
        ASSERT_EQ(0u, hwe_ptn_unlearn(eng_, tree_, k.get(), extent, &cover, 0));
        if (db_) {
            k.raise();
            ASSERT_EQ(0u, hwe_subnet_del_subnet(db_, k.get()));
            if (p.len == kW) {
                ASSERT_EQ(0u, hwe_subnet_add_subnet(db_, k.get(), &naive_.dflt));
            }
        }
        naive_.learnt.erase(p);
    }

    uint32_t tree_ = 0;
    hwe_subnet_db_t *db_ = nullptr;
    NaiveLpm naive_;
};

TEST_P(LpmProperty, RandomChurnMatchesTheNaiveTable) {
    const bool with_db = GetParam();
    for (uint32_t seed : kSeeds) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        Key empty(kW);
        ASSERT_EQ(0u, hwe_ptn_unlearn_any(eng_, tree_, empty.get(), kW, &naive_.dflt, 1));
        naive_.learnt.clear();
        if (db_) {
            ASSERT_EQ(0u, hwe_subnet_destroy(db_));
        }
        db_ = nullptr;
        if (with_db) {
            ASSERT_EQ(0u, hwe_subnet_create(kW + 1, 0, 0, &db_));
            empty.raise();  // the tree default under the 1-bit key "0"
            ASSERT_EQ(0u, hwe_subnet_add_subnet(db_, empty.get(), &naive_.dflt));
        }
        std::vector<Prefix> live;
        for (int op = 0; op < 4000; ++op) {
            Prefix p = random_prefix(rng);
            if (!live.empty() && rng() % 5 < 2) {
                size_t i = rng() % live.size();
                p = live[i];
                live[i] = live.back();
                live.pop_back();
                ASSERT_NO_FATAL_FAILURE(unlearn(p));
            } else {
                if (!naive_.learnt.count(p)) live.push_back(p);
                ASSERT_NO_FATAL_FAILURE(learn(p, random_action(rng)));
            }
            ASSERT_NO_FATAL_FAILURE(check(p, rng));
        }
        EXPECT_EQ(naive_.learnt.size(), zel_sim_engine_entry_count(eng_, tree_));
        // Correct covering actions never leave re-pointed ranges behind.
        EXPECT_EQ(0u, zel_sim_engine_placeholder_count(eng_, tree_));
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, LpmProperty, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "ThroughSubnetDatabase" : "Direct"; });

// ---- fully expanded table --------------------------------------------------------

constexpr uint32_t kSmall = 10;

struct Leaf {
    hwe_action_t action;
    uint32_t depth;
};

struct Expanded {
    std::vector<Leaf> leaves = std::vector<Leaf>(1u << kSmall);
    std::map<Prefix, hwe_action_t> learnt;  // len 0: the learnt /0
    hwe_action_t base;

    void write(const Prefix &p, const Leaf &v) {
        uint32_t lo = static_cast<uint32_t>(p.bits << (kSmall - p.len)), n = 1u << (kSmall - p.len);
        for (uint32_t i = lo; i < lo + n; ++i)
            if (leaves[i].depth <= p.len) leaves[i] = v;
    }
    Leaf learnt_cover(const Prefix &p) const {
        for (int l = static_cast<int>(p.len) - 1; l >= 0; --l) {
            auto it = learnt.find({p.bits >> (p.len - l), static_cast<uint32_t>(l)});
            if (it != learnt.end()) return {it->second, static_cast<uint32_t>(l)};
        }
        return {base, 0};
    }
};

TEST(ExpandedProperty, ArbitraryExtentsAndActionsMatchAnExpandedTable) {
    zel_sim_image_t *img = zel_sim_image_default();
    const hwe_action_t base = value(0x55);
    ASSERT_EQ(0, zel_sim_image_add_tree(img, "test.small", kSmall, ZEL_SIM_TREE_SINGLE));
    ASSERT_EQ(0, zel_sim_image_set_tree_default(img, "test.small", &base, nullptr));
    hwe_engine_t *eng = zel_sim_engine_create(img);
    zel_sim_image_free(img);
    ASSERT_NE(nullptr, eng);
    uint32_t tree = 0;
    ASSERT_EQ(0, zel_sim_engine_symbol_id(eng, "test.small", &tree));

    for (uint32_t seed : kSeeds) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        Expanded x;
        x.base = base;
        for (auto &l : x.leaves) l = {base, 0};
        Key empty(kSmall);
        ASSERT_EQ(0u, hwe_ptn_unlearn_any(eng, tree, empty.get(), kSmall, &base, 1));
        bool everything = false;
        for (int op = 0; op < 1500; ++op) {
            uint32_t len = rng() % (kSmall + 1);
            Prefix p{len ? rng() & ((1u << len) - 1) : 0, len};
            hwe_action_t a = value(rng() % 6, 0);  // few values: many equal neighbours
            Key k(kSmall, p.bits, p.len);
            uint32_t r = rng() % 10;
            if (r < 5) {
                ASSERT_EQ(0u, hwe_ptn_learn(eng, tree, k.get(), &a));
                x.write(p, {a, len});
                x.learnt[p] = a;
            } else if (r < 9) {
                if (!x.learnt.count(p)) {  // refused, and nothing changes
                    ASSERT_EQ(HWE_E_NOT_LEARNT, hwe_ptn_unlearn(eng, tree, k.get(), 0, &a, 0));
                } else {
                    uint32_t extent = rng() % (kSmall + 2);
                    ASSERT_EQ(0u, hwe_ptn_unlearn(eng, tree, k.get(), extent, &a, 0));
                    x.learnt.erase(p);
                    Leaf v = extent < len ? Leaf{a, extent} : len ? x.learnt_cover(p) : Leaf{x.base, 0};
                    x.write(p, v);
                }
            } else if (rng() % 8 == 0) {
                ASSERT_EQ(0u, hwe_ptn_unlearn_any(eng, tree, k.get(), kSmall, &a, 1));
                x.learnt.clear();
                x.base = a;
                for (auto &l : x.leaves) l = {a, 0};
                everything = true;
            }
            // The written range after every step, every leaf now and then.
            uint32_t lo = static_cast<uint32_t>(p.bits << (kSmall - p.len)), n = 1u << (kSmall - p.len);
            if (everything || op % 64 == 63) {
                lo = 0;
                n = 1u << kSmall;
                everything = false;
            }
            for (uint32_t leaf = lo; leaf < lo + n; ++leaf) {
                hwe_action_t got{};
                uint32_t depth = 0, width = kSmall;
                ASSERT_EQ(0u, zel_sim_engine_lookup_fields(eng, tree, 1, &leaf, &width, &got, &depth));
                ASSERT_TRUE(same(x.leaves[leaf].action, got))
                    << "op " << op << " leaf " << leaf << ": " << str(got) << " want "
                    << str(x.leaves[leaf].action);
                ASSERT_EQ(x.leaves[leaf].depth, depth) << "op " << op << " leaf " << leaf;
            }
        }
        EXPECT_EQ(x.learnt.size(), zel_sim_engine_entry_count(eng, tree));
    }
    zel_sim_engine_destroy(eng);
}

}  // namespace
