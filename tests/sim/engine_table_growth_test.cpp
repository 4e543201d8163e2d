// The prefix table while its parts resize: a part grows and shrinks a
// bounded number of slots per change, so for stretches of changes it
// holds keys in two tables.
// Tens of thousands of nested prefixes are put, replaced and erased
// against a naive map; at checkpoints (taken more often while a resize is
// under way) every finder of the table must agree with the map: find, the
// covering query and the listing. No resize may have had to be finished
// in one call. The parts are large enough to live in mapped memory, so
// their next slots are made ready batch by batch, and the shrinks draw on
// memory the growth gave back to the pool (a stale key there would show
// up as a phantom in the checks).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "sim_engine_table.h"

namespace {

using zsim::low_mask;
using zsim::u128;

struct Case {
    const char *name;
    unsigned width;       // 38: one-word keys, the destination tree's; 100: two-word keys
    unsigned grow32 = 0;  // growth point in 32nds of the load (0: the default, 1/2)
    bool hurried = false; // every move at the large parts' pace (256 old slots a change)
};

class TableGrowth : public ::testing::TestWithParam<Case> {
protected:
    using Key = std::pair<unsigned, u128>;  // (len, bits)

    void SetUp() override {
        w_ = GetParam().width;
        store_ = zsim::make_prefix_store(w_);
        if (GetParam().grow32) store_->set_growth(GetParam().grow32);
        if (GetParam().hurried) store_->set_big_move(0);
        for (auto &b : pool_) b = random_bits(w_);
    }

    u128 random_bits(unsigned n) {
        u128 v = (static_cast<u128>(rng_()) << 64) | rng_();
        return v & low_mask(n);
    }
    // A full-width key near one of the pool's: its top bits shared with
    // many others, so short prefixes cover many keys.
    u128 near_key() { return (pool_[rng_() % pool_.size()] & ~low_mask(14)) | random_bits(14); }
    // Mostly long prefixes (the top part), some of each shorter part.
    Key random_prefix() {
        const unsigned r = static_cast<unsigned>(rng_() % 100);
        unsigned len = r < 70   ? w_ - 14 + rng_() % 15
                       : r < 85 ? w_ - 18 + rng_() % 4
                       : r < 95 ? w_ - 22 + rng_() % 4
                                : 1 + rng_() % (w_ - 22);
        return {len, near_key() >> (w_ - len)};
    }

    // Naive covering query: the longest stored prefix of the full key.
    bool naive_longest(u128 key, unsigned *len, uint64_t *val) const {
        for (unsigned l = w_; l >= 1; --l) {
            auto it = naive_.find({l, key >> (w_ - l)});
            if (it != naive_.end()) {
                *len = l;
                *val = it->second;
                return true;
            }
        }
        return false;
    }

    void check(const char *phase) {
        SCOPED_TRACE(phase);
        checks_ += 1;
        mid_resize_ += store_->resizing();
        ASSERT_EQ(store_->size(), naive_.size());
        // Every key (or a sample of a large map) is found with its value.
        size_t k = 0;
        for (const auto &[key, val] : naive_) {
            if (k++ % 7) continue;
            const uint64_t *v = store_->find(key.second, key.first);
            ASSERT_TRUE(v) << "len " << key.first;
            ASSERT_EQ(*v, val);
        }
        // Covering queries at keys near the stored ones.
        for (int i = 0; i < 300; ++i) {
            const u128 key = near_key();
            unsigned want_len = 0, got_len = 0;
            uint64_t want = 0, got = 0;
            const bool want_found = naive_longest(key, &want_len, &want);
            ASSERT_EQ(store_->longest(key, w_, w_, &got_len, &got), want_found);
            if (want_found) {
                ASSERT_EQ(got_len, want_len);
                ASSERT_EQ(got, want);
            }
        }
        // The listing holds every key once.
        std::vector<std::tuple<unsigned, u128, uint64_t>> listed;
        store_->for_each([&](u128 bits, unsigned len, uint64_t v) { listed.emplace_back(len, bits, v); });
        std::sort(listed.begin(), listed.end());
        ASSERT_EQ(listed.size(), naive_.size());
        auto it = naive_.begin();
        for (const auto &[len, bits, v] : listed) {
            ASSERT_EQ(len, it->first.first);
            ASSERT_TRUE(bits == it->first.second);
            ASSERT_EQ(v, it->second);
            ++it;
        }
    }

    unsigned w_ = 0;
    std::mt19937_64 rng_{20261210};
    std::unique_ptr<zsim::PrefixStore> store_;
    std::map<Key, uint64_t> naive_;
    std::vector<u128> pool_ = std::vector<u128>(600);
    int checks_ = 0, mid_resize_ = 0;
    // Changes between checkpoints while a resize is under way: a hurried
    // move lasts a few dozen changes.
    int often_ = GetParam().hurried ? 7 : 61;
};

TEST_P(TableGrowth, EveryFinderAgreesWithANaiveMapThroughGrowthAndShrink) {
    constexpr size_t kKeys = 16000;
    // 1. Grow: puts (one in eight replaces a value), checked often.
    for (int i = 0; naive_.size() < kKeys; ++i) {
        Key key = random_prefix();
        if (i % 8 == 0 && !naive_.empty())
            key = std::next(naive_.begin(), static_cast<long>(rng_() % std::min<size_t>(naive_.size(), 64)))->first;
        const uint64_t val = rng_() >> 8;
        uint64_t old = 0;
        const auto had = naive_.find(key);
        const int r = store_->put(key.second, key.first, val, &old);
        ASSERT_EQ(r, had == naive_.end() ? 1 : 0);
        if (had != naive_.end()) {
            ASSERT_EQ(old, had->second);
        }
        naive_[key] = val;
        if (i % 797 == 0 || (i % often_ == 0 && store_->resizing())) {
            ASSERT_NO_FATAL_FAILURE(check("growing"));
        }
    }
    ASSERT_NO_FATAL_FAILURE(check("grown"));
    EXPECT_GT(zsim::table_pool_bytes(), 0u) << "the growth gave mapped slots back";
    // 2. Shrink: erase all but a few hundred in a random order, with a
    //    put now and then, and erases of absent keys.
    std::vector<Key> keys;
    for (const auto &kv : naive_) keys.push_back(kv.first);
    std::shuffle(keys.begin(), keys.end(), rng_);
    for (size_t i = 0; i + 300 < keys.size(); ++i) {
        ASSERT_TRUE(store_->erase(keys[i].second, keys[i].first));
        naive_.erase(keys[i]);
        ASSERT_FALSE(store_->erase(keys[i].second, keys[i].first));
        if (i % 5 == 0) {
            const Key k = random_prefix();
            const int r = store_->put(k.second, k.first, 7, nullptr);
            ASSERT_EQ(r, naive_.count(k) ? 0 : 1);
            naive_[k] = 7;
        }
        if (i % 797 == 0 || (i % often_ == 0 && store_->resizing())) {
            ASSERT_NO_FATAL_FAILURE(check("shrinking"));
        }
    }
    ASSERT_NO_FATAL_FAILURE(check("shrunk"));
    // 3. The checkpoints saw resizes under way, and none was cut short.
    EXPECT_GT(mid_resize_, 3) << "of " << checks_ << " checkpoints";
    EXPECT_EQ(store_->stalls(), 0u);
    // 4. Compaction moves everything at once and keeps every key.
    ASSERT_TRUE(store_->compact());
    EXPECT_FALSE(store_->resizing());
    ASSERT_NO_FATAL_FAILURE(check("compacted"));
    // 5. Emptied key by key: the last erase leaves an empty table.
    while (!naive_.empty()) {
        const Key k = naive_.begin()->first;
        ASSERT_TRUE(store_->erase(k.second, k.first));
        naive_.erase(naive_.begin());
    }
    ASSERT_NO_FATAL_FAILURE(check("emptied"));
    EXPECT_EQ(store_->stalls(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Widths, TableGrowth,
                         ::testing::Values(Case{"OneWordKeys", 38}, Case{"TwoWordKeys", 100},
                                           Case{"GrowingAtFiveEighths", 39, 20},
                                           Case{"HurriedMoves", 38, 0, true}),
                         [](const ::testing::TestParamInfo<Case> &i) { return std::string(i.param.name); });

}  // namespace

// Mapped table memory: a new mapping and one taken back from the pool are
// both all zero once made ready, batch by batch, whatever the last table
// left in it.
TEST(TableMemory, PooledMemoryIsZeroOnceReady) {
    constexpr size_t kBytes = zsim::kMappedBytes * 2;
    ASSERT_TRUE(zsim::table_mapped(kBytes));
    bool fresh = false;
    auto *a = static_cast<unsigned char *>(zsim::table_alloc(kBytes, &fresh));
    ASSERT_NE(a, nullptr);
    for (size_t off = 0; off < kBytes; off += 8 * zsim::kPage) zsim::table_ready(a, off, 8 * zsim::kPage, fresh);
    EXPECT_EQ(std::count(a, a + kBytes, 0), static_cast<long>(kBytes));
    std::fill(a, a + kBytes, 0xA5);
    const size_t pooled = zsim::table_pool_bytes();
    zsim::table_free(a, kBytes);
    EXPECT_EQ(zsim::table_pool_bytes(), pooled + kBytes);
    auto *b = static_cast<unsigned char *>(zsim::table_alloc(kBytes, &fresh));
    ASSERT_EQ(b, a) << "the pooled mapping of the same size is taken";
    EXPECT_FALSE(fresh);
    EXPECT_EQ(zsim::table_pool_bytes(), pooled);
    for (size_t off = 0; off < kBytes; off += 8 * zsim::kPage) zsim::table_ready(b, off, 8 * zsim::kPage, fresh);
    EXPECT_EQ(std::count(b, b + kBytes, 0), static_cast<long>(kBytes));
    zsim::table_free(b, kBytes);
}

// The making ready of a table shared by its owner and the process's table
// worker: whoever claims a chunk makes it ready, and the owner sees the
// whole table zero once ready() says so, fresh or taken from the pool.
TEST(TableMemory, PreparationSharedWithTheWorkerLeavesEveryChunkZero) {
    constexpr size_t kBytes = size_t{4} << 20;
    bool fresh = false;
    auto *a = static_cast<unsigned char *>(zsim::table_alloc(kBytes, &fresh));
    ASSERT_NE(a, nullptr);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(fresh ? "a new mapping" : "a pooled one");
        auto prep = zsim::TablePrep::start(a, kBytes, fresh);
        ASSERT_TRUE(prep);
        EXPECT_EQ(prep->chunks(), kBytes / zsim::TablePrep::kChunk);
        for (int i = 0; i < 3; ++i) (void)prep->help();  // the owner's share, beside the worker's
        prep->finish();
        ASSERT_TRUE(prep->ready());
        EXPECT_EQ(prep->bytes_ready(), kBytes);
        EXPECT_EQ(std::count(a, a + kBytes, 0), static_cast<long>(kBytes));
        std::fill(a, a + kBytes, 0x5A);
        zsim::table_free(a, kBytes);
        auto *b = static_cast<unsigned char *>(zsim::table_alloc(kBytes, &fresh));
        ASSERT_EQ(b, a) << "the pooled mapping of the same size is taken";
        ASSERT_FALSE(fresh);
    }
    zsim::table_free(a, kBytes);
}

// A cancelled preparation leaves no chunk in anyone's hands: memory given
// back right after it, taken again and filled, stays as it was filled
// (a worker still making the old table ready would zero some of it).
TEST(TableMemory, CancelledPreparationNeverTouchesTheTableAgain) {
    constexpr size_t kBytes = size_t{2} << 20;
    bool fresh = false;
    auto *a = static_cast<unsigned char *>(zsim::table_alloc(kBytes, &fresh));
    ASSERT_NE(a, nullptr);
    zsim::table_ready(a, 0, kBytes, fresh);
    for (int round = 0; round < 20; ++round) {
        zsim::table_free(a, kBytes);
        ASSERT_EQ(zsim::table_alloc(kBytes, &fresh), a);
        ASSERT_FALSE(fresh);
        auto prep = zsim::TablePrep::start(a, kBytes, fresh);
        ASSERT_TRUE(prep);
        if (round % 2) (void)prep->help();
        prep->cancel();
        EXPECT_FALSE(prep->claim()) << "nothing left to claim";
        std::fill(a, a + kBytes, 0xA5);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        ASSERT_EQ(std::count(a, a + kBytes, 0xA5), static_cast<long>(kBytes)) << "round " << round;
    }
    zsim::table_free(a, kBytes);
}

// Without a worker (a preparation never offered to one, as when none
// could be started) the owner's help makes it ready one chunk a call.
TEST(TableMemory, OwnerAloneMakesItReadyAChunkACall) {
    constexpr size_t kBytes = zsim::kMappedBytes;
    bool fresh = false;
    auto *a = static_cast<unsigned char *>(zsim::table_alloc(kBytes, &fresh));
    ASSERT_NE(a, nullptr);
    zsim::TablePrep prep(a, kBytes, fresh);
    const size_t chunks = prep.chunks();
    ASSERT_EQ(chunks, kBytes / zsim::TablePrep::kChunk);
    for (size_t i = 1; i < chunks; ++i) {
        ASSERT_FALSE(prep.help());
        ASSERT_EQ(prep.done(), i);
    }
    EXPECT_TRUE(prep.help());
    EXPECT_EQ(std::count(a, a + kBytes, 0), static_cast<long>(kBytes));
    zsim::table_free(a, kBytes);
}
