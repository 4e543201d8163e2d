// Helpers of the filter suite: a fixture with rule sets, rule and action
// builders, and classification of packets through the engine model.
#ifndef FILTER_TEST_UTIL_H
#define FILTER_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/zel_ip_status_internal.h"
#include "flow/zel_ip_flow_pvt.h"
#include "tree/zel_ip_layout_filter.h"
#include "zel_engine_probe.h"
#include "zel_ip/zel_ip.h"
#include "zel_sim.h"
#include "zel_sim_engine.h"
#include "zel_test_fixture.h"

namespace filtertest {

using zel::test::StdoutCapture;
using zel::test::tree_id;

inline constexpr uint32_t kExtTree = 36;
inline constexpr uint32_t kNsBase = 0x00d19bb9;  // first id of "ip_filter_stats"

// A packet as tree 36 sees it.
struct Packet {
    uint32_t tos = 0;
    uint32_t frag = 0;
    uint32_t proto = 6;
    uint32_t sip = 0x0a000001;
    uint32_t dip = 0x0a000002;
    uint32_t sport = 1000;
    uint32_t dport = 80;
};

// What the engine answers for a packet: the rule index (ZEL_SIM_NO_RULE
// when none) and the value.
struct Verdict {
    uint32_t rule_idx;
    hwe_action_t value;
};

inline Verdict classify(hwe_engine_t *eng, uint32_t set_id, const Packet &p) {
    const uint32_t v[8] = {set_id, p.tos, p.frag, p.proto, p.sip, p.dip, p.sport, p.dport};
    Verdict out{};
    EXPECT_EQ(zel_sim_engine_classify(eng, tree_id(eng, kExtTree), 8, v, &out.value, &out.rule_idx), 0u);
    return out;
}

// The programmed (staged) rule `idx` of set `set_id`: its ranges and value.
struct Listed {
    bool found = false;
    std::vector<zel_rptn_t> ranges;
    hwe_action_t value{};
};
inline Listed listed(hwe_engine_t *eng, uint32_t set_id, uint32_t idx) {
    struct Ctx {
        uint32_t set_id, idx;
        Listed out;
    } ctx{set_id, idx, {}};
    auto cb = [](void *p, uint32_t rule_idx, const zel_ptn_t *key, uint32_t n, const zel_rptn_t *r,
                 const hwe_action_t *a) -> uint32_t {
        auto &c = *static_cast<Ctx *>(p);
        uint32_t v = 0;
        zel_ptn_parse(key, 1, &key->len, &v);
        if (v != c.set_id || rule_idx != c.idx) return 0;
        c.out.found = true;
        c.out.ranges.assign(r, r + n);
        c.out.value = *a;
        return 0;
    };
    EXPECT_EQ(hwe_ptn_ovtreeset_list_rules(eng, tree_id(eng, kExtTree), cb, &ctx), 0u);
    return ctx.out;
}

inline zel_ip_filter_rule_t any_rule() { return zel_ip_filter_rule_t{}; }

inline zel_ip_filter_action_t act(uint32_t type) {
    zel_ip_filter_action_t a{};
    a.type = type;
    return a;
}

inline uint32_t set_id_of(zel_ip_rule_set_handle_t s) {
    // The id is the set's second word (its first is the magic).
    return reinterpret_cast<const uint32_t *>(s)[1];
}

class FilterTest : public zel::test::ZelTest {
protected:
    FilterTest() { initial_log_level_ = ZEL_LOG_ERROR; }
    hwe_engine_t *eng() { return zel_sim_engine(sim_); }
    zel_ip_rule_set_handle_t new_set() {
        zel_ip_rule_set_handle_t s = nullptr;
        EXPECT_EQ(zel_ip_filter_rule_set_create(m_, &s), 0u);
        return s;
    }
    zel_ip_flow_handle_t add(zel_ip_rule_set_handle_t s, uint32_t idx, const zel_ip_filter_rule_t &r,
                             const zel_ip_filter_action_t &a) {
        zel_ip_flow_handle_t h = nullptr;
        EXPECT_EQ(zel_ip_filter_rule_add(m_, s, idx, &r, &a, &h), 0u);
        return h;
    }
    Verdict at(zel_ip_rule_set_handle_t s, const Packet &p = {}) { return classify(eng(), set_id_of(s), p); }
    uint32_t ns_in_use() { return zel_sim_engine_ns_in_use(eng(), "ip_filter_stats"); }
};

}  // namespace filtertest

#endif  // FILTER_TEST_UTIL_H
