// The platform allocator (hwe_nvm_calloc / hwe_nvm_free): blocks of every
// size class and of the unpooled sizes are zeroed, aligned, apart from one
// another, reused zeroed after a free, and accounted to the byte; the
// limit refuses what would pass it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "hwe.h"
#include "zel_sim.h"

namespace {

struct Block {
    uint8_t *p;
    uint32_t size;
    uint8_t fill;
};

bool all(const uint8_t *p, uint32_t n, uint8_t v) {
    for (uint32_t i = 0; i < n; ++i)
        if (p[i] != v) return false;
    return true;
}

// Sizes around every class edge (16-byte steps, then doubling) and beyond
// the largest class.
std::vector<uint32_t> sizes() {
    std::vector<uint32_t> v;
    for (uint32_t n = 1; n <= 1024; n += 7) v.push_back(n);
    for (uint32_t edge = 16; edge <= 1024 * 1024; edge *= 2)
        for (uint32_t d : {edge - 1, edge, edge + 1}) v.push_back(d);
    return v;
}

// Many live blocks of mixed sizes, each filled with its own byte: no fill
// leaks into another block, every block comes zeroed and 16-byte aligned,
// and the accounting adds up. Then half are freed and as many taken again
// (the pools hand the freed blocks back): zeroed again, still apart.
TEST(NvmAllocator, BlocksAreZeroedAlignedApartAndAccounted) {
    const uint64_t mem0 = zel_sim_mem_in_use(), blocks0 = zel_sim_mem_blocks();
    std::mt19937 rng(7);
    const std::vector<uint32_t> sz = sizes();
    std::vector<Block> live;
    uint64_t bytes = 0;
    auto take = [&](uint32_t size) {
        auto *p = static_cast<uint8_t *>(hwe_nvm_calloc(1, size));
        ASSERT_NE(nullptr, p) << size;
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % 16) << size;
        EXPECT_TRUE(all(p, size, 0)) << "block of " << size << " not zeroed";
        const auto fill = static_cast<uint8_t>(1 + live.size() % 255);
        std::memset(p, fill, size);
        live.push_back({p, size, fill});
        bytes += size;
    };
    for (int round = 0; round < 3; ++round)
        for (uint32_t s : sz) take(s);
    for (int i = 0; i < 3000; ++i) take(1 + rng() % 600);  // enough to fill several slabs of a class
    EXPECT_EQ(zel_sim_mem_in_use() - mem0, bytes);
    EXPECT_EQ(zel_sim_mem_blocks() - blocks0, live.size());
    for (const Block &b : live) ASSERT_TRUE(all(b.p, b.size, b.fill)) << "block of " << b.size << " overwritten";

    std::shuffle(live.begin(), live.end(), rng);
    const size_t half = live.size() / 2;
    std::vector<uint32_t> freed;
    for (size_t i = half; i < live.size(); ++i) {
        freed.push_back(live[i].size);
        bytes -= live[i].size;
        hwe_nvm_free(live[i].p);
    }
    live.resize(half);
    EXPECT_EQ(zel_sim_mem_in_use() - mem0, bytes);
    for (uint32_t s : freed) take(s);
    for (const Block &b : live) ASSERT_TRUE(all(b.p, b.size, b.fill)) << "block of " << b.size << " overwritten";
    EXPECT_EQ(zel_sim_mem_blocks() - blocks0, live.size());

    for (const Block &b : live) hwe_nvm_free(b.p);
    EXPECT_EQ(zel_sim_mem_in_use(), mem0);
    EXPECT_EQ(zel_sim_mem_blocks(), blocks0);
}

TEST(NvmAllocator, TheLimitRefusesWhatWouldPassIt) {
    const uint64_t mem0 = zel_sim_mem_in_use();
    zel_sim_mem_set_limit(mem0 + 1000);
    void *a = hwe_nvm_calloc(10, 100);  // exactly at the limit
    EXPECT_NE(nullptr, a);
    EXPECT_EQ(nullptr, hwe_nvm_calloc(1, 1));
    hwe_nvm_free(a);
    EXPECT_EQ(nullptr, hwe_nvm_calloc(1, 1001));
    void *b = hwe_nvm_calloc(1, 1000);
    EXPECT_NE(nullptr, b);
    hwe_nvm_free(b);
    zel_sim_mem_set_limit(0);
    EXPECT_EQ(zel_sim_mem_in_use(), mem0);
}

}  // namespace
