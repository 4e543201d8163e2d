// Helpers of the OtreeSet tests (34 basic filters, 35 association flow
// filters): classification of packets through the engine model, the
// staged rules of a tree as text, a first-match oracle over prefix rules,
// and quiet calls.
#ifndef OTREESET_TEST_UTIL_H
#define OTREESET_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tree/zel_ip_tree.h"
#include "zel_engine_probe.h"
#include "zel_ip/zel_ip.h"
#include "zel_sim.h"
#include "zel_test_fixture.h"

namespace otest {

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

inline uint32_t quietly(const std::function<uint32_t()> &fn, std::string *text = nullptr) {
    zel::test::StdoutCapture cap;
    const uint32_t st = fn();
    if (text) *text = cap.text();
    return st;
}

// What a packet meets in an OtreeSet tree: the first matching rule by
// index (ZEL_SIM_NO_RULE: none) and its value (else the tree's default).
struct Verdict {
    uint32_t rule_idx = ZEL_SIM_NO_RULE;
    hwe_action_t action{};
};

// Classifies the packet fields `values` (set field first, then one value
// per pattern of the tree's layout) against the last compiled rules.
inline Verdict classify(hwe_engine_t *eng, uint32_t tree, const std::vector<uint32_t> &values) {
    Verdict v;
    EXPECT_EQ(zel_sim_engine_classify(eng, zel::test::tree_id(eng, tree), static_cast<uint32_t>(values.size()),
                                      values.data(), &v.action, &v.rule_idx),
              0u);
    return v;
}

// The staged rules of an OtreeSet tree, one line each: "idx {key} action".
inline std::vector<std::string> staged(hwe_engine_t *eng, uint32_t tree) {
    std::vector<std::string> out;
    auto cb = [](void *ctx, uint32_t idx, const zel_vptn_t *key, const hwe_action_t *a) -> uint32_t {
        char k[256], v[96];
        zel_vptn_print(key, k, sizeof k);
        zel_ptn_action_print(a, v, sizeof v);
        static_cast<std::vector<std::string> *>(ctx)->push_back(std::to_string(idx) + " " + k + " " + v);
        return 0;
    };
    EXPECT_EQ(hwe_ptn_otreeset_list_vrules(eng, zel::test::tree_id(eng, tree), cb, &out), 0u);
    return out;
}

// ---- First-match oracle over prefix rules -------------------------------------

// One field of a rule: the leading `bits` bits of `value` (a field of
// `width` bits), 0 bits matching anything.
struct PrefixField {
    uint32_t value;
    uint32_t bits;
    uint32_t width;
    bool covers(uint32_t v) const {
        if (bits == 0) return true;
        const uint32_t shift = width - bits;
        const uint64_t mask = (uint64_t{1} << width) - 1;
        return ((uint64_t{v} & mask) >> shift) == ((uint64_t{value} & mask) >> shift);
    }
};

struct OracleRule {
    uint32_t idx;
    std::vector<PrefixField> fields;  // in the tree's field order, set field first
    uint32_t tag;                     // what the test expects the rule to answer
};

// The first rule by ascending index all of whose fields cover the packet;
// nullptr when none does.
inline const OracleRule *first_match(const std::vector<OracleRule> &rules, const std::vector<uint32_t> &pkt) {
    const OracleRule *best = nullptr;
    for (const OracleRule &r : rules) {
        bool all = r.fields.size() == pkt.size();
        for (size_t i = 0; all && i < pkt.size(); ++i) all = r.fields[i].covers(pkt[i]);
        if (all && (!best || r.idx < best->idx)) best = &r;
    }
    return best;
}

// A random prefix length, biased towards wildcards, whole values and
// short prefixes.
inline uint32_t random_plen(std::mt19937 &rng) {
    switch (rng() % 4) {
        case 0: return 0;
        case 1: return 32;
        default: return 1 + rng() % 24;
    }
}

// A random address near the rules' addresses (so packets hit them), or
// anywhere.
inline uint32_t random_addr(std::mt19937 &rng, const std::vector<uint32_t> &near) {
    if (near.empty() || rng() % 4 == 0) return static_cast<uint32_t>(rng());
    return near[rng() % near.size()] ^ (static_cast<uint32_t>(rng()) >> (8 + rng() % 24));
}

}  // namespace otest

#endif  // OTREESET_TEST_UTIL_H
