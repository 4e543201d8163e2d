// Helpers for the engine model's tests: an engine on the default image,
// key patterns that free themselves, and action shorthands.
#ifndef ENGINE_TEST_UTIL_H
#define ENGINE_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "zel_sim.h"

namespace enginetest {

// A key pattern built like the module builds one (fields most significant
// first), or set from a right-aligned value of up to 64 bits.
class Key {
public:
    explicit Key(uint32_t width) { EXPECT_EQ(0u, zel_ptn_new(width, &p_)); }
    Key(uint32_t width, uint64_t bits, uint32_t len) : Key(width) { set(bits, len); }
    ~Key() { zel_ptn_free(&p_); }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;

    Key &clear() {
        EXPECT_EQ(0u, zel_ptn_clear(&p_));
        return *this;
    }
    Key &add(uint32_t value, uint32_t bits) {
        EXPECT_EQ(0u, zel_ptn_extend(&p_, value, bits));
        return *this;
    }
    Key &set(uint64_t bits, uint32_t len) {
        clear();
        if (len > 32) {
            add(static_cast<uint32_t>(bits >> 32), len - 32);
            add(static_cast<uint32_t>(bits), 32);
        } else if (len) {
            add(static_cast<uint32_t>(bits), len);
        }
        return *this;
    }
    // Append n copies of `bit` (keys wider than 64 bits).
    Key &fill(uint32_t bit, uint32_t n) {
        for (; n; n -= n > 32 ? 32 : n) add(bit ? 0xffffffffu : 0, n > 32 ? 32 : n);
        return *this;
    }
    // One bit longer, as the module makes a key for a subnet database.
    Key &raise() {
        ++p_.len;
        return *this;
    }
    zel_ptn_t *get() { return &p_; }
    uint32_t len() const { return p_.len; }

private:
    zel_ptn_t p_{};
};

inline hwe_action_t value(uint32_t w1, uint32_t w2 = 0) { return {HWE_ACTION_VALUE, w1, w2}; }
inline hwe_action_t func(uint32_t id) { return {HWE_ACTION_FUNC, id, 0}; }

inline bool same(const hwe_action_t &a, const hwe_action_t &b) {
    return a.kind == b.kind && a.w1 == b.w1 && a.w2 == b.w2;
}
inline std::string str(const hwe_action_t &a) {
    return "{" + std::to_string(a.kind) + "," + std::to_string(a.w1) + "," + std::to_string(a.w2) + "}";
}

// A fresh engine on the default image per test.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        zel_sim_image_t *img = zel_sim_image_default();
        ASSERT_NE(nullptr, img);
        eng_ = zel_sim_engine_create(img);
        zel_sim_image_free(img);
        ASSERT_NE(nullptr, eng_);
    }
    void TearDown() override {
        zel_sim_fault_clear();
        zel_sim_engine_destroy(eng_);
    }
    uint32_t id(const std::string &name) {
        uint32_t v = 0;
        EXPECT_EQ(0, zel_sim_engine_symbol_id(eng_, name.c_str(), &v)) << name;
        return v;
    }
    // The leaf of a full key given as one right-aligned value.
    hwe_action_t leaf(uint32_t tree, uint32_t width, uint64_t bits, uint32_t *depth = nullptr) {
        Key k(width, bits, width);
        hwe_action_t a{};
        uint32_t d = 0;
        EXPECT_EQ(0u, zel_sim_engine_lookup(eng_, tree, k.get(), &a, &d));
        if (depth) *depth = d;
        return a;
    }

    hwe_engine_t *eng_ = nullptr;
};

}  // namespace enginetest

#endif  // ENGINE_TEST_UTIL_H
