// Single-pattern trees: expanded-table behaviour, refusals, listing,
// unlearn-any, the catalogue of the default image, compaction.
#include <functional>
#include <vector>

#include "engine_test_util.h"

using namespace enginetest;

namespace {

constexpr uint32_t kW = 38;  // tree 2: VRD-ID (6) + destination prefix

// Tree-2 key of vrd + addr/plen, and the full key of vrd + addr.
uint64_t route(uint32_t vrd, uint32_t addr, uint32_t plen) {
    return static_cast<uint64_t>(vrd) << plen | (plen ? addr >> (32 - plen) : 0);
}
uint64_t host(uint32_t vrd, uint32_t addr) { return static_cast<uint64_t>(vrd) << 32 | addr; }
constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return a << 24 | b << 16 | c << 8 | d;
}

class TreeTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        t2_ = id("zel_ip.ip_dest_addr_lookup");
    }
    uint32_t learn(uint32_t addr, uint32_t plen, const hwe_action_t &a) {
        Key k(kW, route(63, addr, plen), 6 + plen);
        return hwe_ptn_learn(eng_, t2_, k.get(), &a);
    }
    uint32_t unlearn(uint32_t addr, uint32_t plen, uint32_t extent, const hwe_action_t &a) {
        Key k(kW, route(63, addr, plen), 6 + plen);
        return hwe_ptn_unlearn(eng_, t2_, k.get(), extent, &a, 0);
    }
    // Expect the leaf of 63/addr to hold `a` written at `depth`.
    void expect(uint32_t addr, const hwe_action_t &a, uint32_t depth) {
        uint32_t d = 0;
        hwe_action_t got = leaf(t2_, kW, host(63, addr), &d);
        EXPECT_TRUE(same(a, got)) << std::hex << addr << ": " << str(got) << " want " << str(a);
        EXPECT_EQ(depth, d) << std::hex << addr;
    }
    uint32_t t2_ = 0;
    const hwe_action_t kDefault = value(4);  // the tree's catalogue default: No-Route
    const hwe_action_t A = value(1, 0x010101), B = value(1, 0x020202), C = value(1, 0x030303);
};

TEST_F(TreeTest, NestedPrefixesAreRepointedToTheCoverAndFollowItsRelearn) {
    ASSERT_EQ(0u, learn(ip(10, 1, 0, 0), 16, A));
    ASSERT_EQ(0u, learn(ip(10, 1, 2, 0), 24, B));
    ASSERT_EQ(0u, learn(ip(10, 1, 2, 16), 28, C));
    expect(ip(10, 1, 2, 20), C, 34);
    expect(ip(10, 1, 2, 100), B, 30);
    expect(ip(10, 1, 9, 9), A, 22);
    expect(ip(10, 2, 0, 1), kDefault, 0);

    // The module removes the /24 with the /16's action and extent.
    ASSERT_EQ(0u, unlearn(ip(10, 1, 2, 0), 24, 22, A));
    expect(ip(10, 1, 2, 100), A, 22);
    expect(ip(10, 1, 2, 20), C, 34);
    EXPECT_EQ(HWE_E_NOT_LEARNT, unlearn(ip(10, 1, 2, 0), 24, 22, A));

    // Relearning the /16 also rewrites the range the /24 held.
    const hwe_action_t A2 = value(1, 0x0a0a0a);
    ASSERT_EQ(0u, learn(ip(10, 1, 0, 0), 16, A2));
    expect(ip(10, 1, 2, 100), A2, 22);
    expect(ip(10, 1, 2, 20), C, 34);
    EXPECT_EQ(2u, zel_sim_engine_entry_count(eng_, t2_));
    EXPECT_EQ(0u, zel_sim_engine_placeholder_count(eng_, t2_));
}

TEST_F(TreeTest, RepointToAForeignActionHoldsUntilAWriteAtThatDepthCoversIt) {
    const hwe_action_t Z = value(1, 0x0f0f0f), D = value(1, 0x0d0d0d), A2 = value(1, 0x0a0a0a);
    ASSERT_EQ(0u, learn(ip(10, 1, 0, 0), 16, A));
    ASSERT_EQ(0u, learn(ip(10, 1, 2, 0), 24, B));
    ASSERT_EQ(0u, learn(ip(10, 1, 2, 16), 28, C));
    // The engine trusts the caller: the /24's range now holds Z at depth
    // 24 (what a /18 would write), though nothing of that depth is learnt.
    ASSERT_EQ(0u, unlearn(ip(10, 1, 2, 0), 24, 24, Z));
    expect(ip(10, 1, 2, 100), Z, 24);
    EXPECT_EQ(2u, zel_sim_engine_entry_count(eng_, t2_));
    // A /17 over it writes depth 23 and leaves depth-24 leaves alone...
    ASSERT_EQ(0u, learn(ip(10, 1, 0, 0), 17, D));
    expect(ip(10, 1, 2, 100), Z, 24);
    expect(ip(10, 1, 5, 5), D, 23);
    // ...while a /18 (depth 24) takes the range over.
    ASSERT_EQ(0u, learn(ip(10, 1, 0, 0), 18, A2));
    expect(ip(10, 1, 2, 100), A2, 24);
    expect(ip(10, 1, 64, 5), D, 23);
    expect(ip(10, 1, 2, 20), C, 34);
    EXPECT_EQ(0u, zel_sim_engine_placeholder_count(eng_, t2_));
}

TEST_F(TreeTest, RemovalFallsBackToTheLongestLearntCover) {
    const hwe_action_t E = value(1, 0x0e0e0e), Z = value(1, 0x0f0f0f);
    ASSERT_EQ(0u, learn(ip(10, 1, 0, 0), 16, A));
    ASSERT_EQ(0u, learn(ip(10, 1, 0, 0), 20, E));
    ASSERT_EQ(0u, unlearn(ip(10, 1, 0, 0), 20, 22, Z));  // the /20 range re-pointed to Z
    ASSERT_EQ(0u, learn(ip(10, 1, 2, 0), 24, B));
    // Extent >= length: the /24 goes and its range takes the /16's action,
    // not the re-pointed /20 range's; the rest of that range keeps Z.
    ASSERT_EQ(0u, unlearn(ip(10, 1, 2, 0), 24, kW, value(0)));
    expect(ip(10, 1, 2, 100), A, 22);
    expect(ip(10, 1, 3, 1), Z, 22);
    ASSERT_EQ(0u, unlearn(ip(10, 1, 0, 0), 16, kW, value(0)));
    expect(ip(10, 1, 2, 100), kDefault, 0);
    EXPECT_EQ(0u, zel_sim_engine_entry_count(eng_, t2_));
}

TEST_F(TreeTest, RefusedCallsChangeNothing) {
    ASSERT_EQ(0u, learn(ip(10, 1, 0, 0), 16, A));
    const uint32_t t33 = id("zel_ip.ip_pbr_lookup");
    Key k(kW, route(63, ip(10, 1, 0, 0), 16), 22);
    Key too_long(kW, host(63, ip(10, 1, 2, 3)), kW);
    too_long.raise();
    const hwe_action_t kind2{2, 0, 0}, wide{HWE_ACTION_VALUE, 0x1000000, 0};
    struct Case {
        const char *what;
        std::function<uint32_t()> call;
        uint32_t status;
    } cases[] = {
        {"unlearn of a pattern never learnt",
         [&] { return unlearn(ip(10, 1, 2, 0), 24, 22, A); }, HWE_E_NOT_LEARNT},
        {"learn of a key longer than the tree",
         [&] { return hwe_ptn_learn(eng_, t2_, too_long.get(), &B); }, HWE_E_KEY},
        {"unlearn of a key longer than the tree",
         [&] { return hwe_ptn_unlearn(eng_, t2_, too_long.get(), 0, &A, 0); }, HWE_E_KEY},
        {"unknown action kind", [&] { return hwe_ptn_learn(eng_, t2_, k.get(), &kind2); }, HWE_E_PARAM},
        {"data word over 24 bits", [&] { return hwe_ptn_learn(eng_, t2_, k.get(), &wide); }, HWE_E_PARAM},
        {"unknown tree", [&] { return hwe_ptn_learn(eng_, 0x9999, k.get(), &B); }, HWE_E_NOT_FOUND},
        {"rule-set tree", [&] { return hwe_ptn_learn(eng_, t33, k.get(), &B); }, HWE_E_PARAM},
        {"no key", [&] { return hwe_ptn_learn(eng_, t2_, nullptr, &B); }, HWE_E_PARAM},
        {"no engine", [&] { return hwe_ptn_learn(nullptr, t2_, k.get(), &B); }, HWE_E_PARAM},
        {"unlearn-any of a rule-set tree",
         [&] { return hwe_ptn_unlearn_any(eng_, t33, nullptr, 0, &B, 1); }, HWE_E_PARAM},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.status, c.call()) << c.what;
        EXPECT_EQ(1u, zel_sim_engine_entry_count(eng_, t2_)) << c.what;
        expect(ip(10, 1, 2, 3), A, 22);
    }
}

TEST_F(TreeTest, UnlearnAnyEmptiesTheTreeBehindTheGivenAction) {
    ASSERT_EQ(0u, learn(ip(10, 1, 0, 0), 16, A));
    ASSERT_EQ(0u, learn(ip(10, 1, 2, 0), 24, B));
    ASSERT_EQ(0u, unlearn(ip(10, 1, 2, 0), 24, 22, C));  // and a re-pointed range
    Key empty(kW);
    const hwe_action_t none = value(9, 9);
    ASSERT_EQ(0u, hwe_ptn_unlearn_any(eng_, t2_, empty.get(), kW, &none, 1));
    for (uint32_t a : {ip(10, 1, 2, 1), ip(10, 1, 7, 7), ip(200, 0, 0, 1)}) expect(a, none, 0);
    EXPECT_EQ(0u, zel_sim_engine_entry_count(eng_, t2_));
    EXPECT_EQ(0u, zel_sim_engine_placeholder_count(eng_, t2_));
    EXPECT_EQ(HWE_E_NOT_LEARNT, unlearn(ip(10, 1, 0, 0), 16, kW, none));
}

// ---- listing ------------------------------------------------------------------

struct Seen {
    uint32_t width, len;
    uint64_t bits;
    hwe_action_t action;
};
uint32_t collect(void *ctx, const zel_ptn_t *key, const hwe_action_t *value) {
    uint32_t v[2] = {};
    const uint32_t w[2] = {key->len > 32 ? key->len - 32 : 0, key->len > 32 ? 32 : key->len};
    EXPECT_EQ(0u, zel_ptn_parse(key, 2, w, v));
    static_cast<std::vector<Seen> *>(ctx)->push_back(
        {key->width, key->len, static_cast<uint64_t>(v[0]) << 32 | v[1], *value});
    return 0;
}

TEST_F(TreeTest, ListingGivesTheCatchAllThenLearntEntriesInKeyOrder) {
    const uint32_t t13 = id("zel_ip.ip_exception_lookup");
    const uint32_t drop = id("zel_ip.ip_exception_drop_pkts");
    const uint32_t handler = id("zel_ip.test_exception_handler");
    Key k5(6, 5, 6), k2(6, 2, 6), k0(6);
    const hwe_action_t nca = value(0x17), fn = func(handler);
    ASSERT_EQ(0u, hwe_ptn_learn(eng_, t13, k5.get(), &nca));
    ASSERT_EQ(0u, hwe_ptn_learn(eng_, t13, k2.get(), &fn));

    std::vector<Seen> seen;
    ASSERT_EQ(0u, hwe_ptn_list_ptns(eng_, t13, collect, &seen));
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(0u, seen[0].len);
    EXPECT_TRUE(same(func(drop), seen[0].action)) << str(seen[0].action);
    EXPECT_EQ(2u, seen[1].bits);
    EXPECT_TRUE(same(fn, seen[1].action));
    EXPECT_EQ(5u, seen[2].bits);
    // A value entry comes back as kind 0 with its data words.
    EXPECT_TRUE(same(hwe_action_t{HWE_ACTION_NONE, 0x17, 0}, seen[2].action)) << str(seen[2].action);
    for (const Seen &s : seen) EXPECT_EQ(6u, s.width);

    // A learnt /0 is the catch-all and an entry: it is reported twice.
    ASSERT_EQ(0u, hwe_ptn_learn(eng_, t13, k0.get(), &nca));
    seen.clear();
    ASSERT_EQ(0u, hwe_ptn_list_ptns(eng_, t13, collect, &seen));
    ASSERT_EQ(4u, seen.size());
    EXPECT_EQ(0u, seen[1].len);
    EXPECT_TRUE(same(seen[0].action, seen[1].action));
    EXPECT_EQ(0x17u, seen[0].action.w1);

    // A visitor's non-zero answer stops the visit and is returned.
    int calls = 0;
    auto stop = [](void *ctx, const zel_ptn_t *, const hwe_action_t *) -> uint32_t {
        return ++*static_cast<int *>(ctx) == 2 ? 7u : 0u;
    };
    EXPECT_EQ(7u, hwe_ptn_list_ptns(eng_, t13, stop, &calls));
    EXPECT_EQ(2, calls);
}

// ---- the catalogue of the default image ---------------------------------------

struct CatalogueTree {
    const char *name;
    uint32_t width;  // 0: a rule-set tree
    uint32_t kind;   // default action
    uint32_t w1;
    uint32_t w2;
    const char *fn;  // default function
};

const CatalogueTree kCatalogue[] = {
    {"ip_src_addr_lookup", 38, 0, 0, 0, nullptr},
    {"Check_host_router_mode", 6, 0, 0, 0, nullptr},
    {"ip_dest_addr_lookup", 38, 4, 4, 0, nullptr},
    {"ip_pbr_action_lookup", 12, 1, 0, 0, "dip_based_route_lookup"},
    {"ip_tunnel_if_lookup", 78, 1, 0, 0, "unknown_tunnel_if_id"},
    {"ip_tunnel_pmtu_lookup", 16, 0, 0, 0, nullptr},
    {"ip_tunnel_if_id_lookup", 12, 1, 0, 0, "unknown_tunnel_if_id"},
    {"ip_flow_policing_lookup", 24, 0, 0, 0, nullptr},
    {"ip_ingress_assoc_flow_lookup", 117, 1, 0, 0, "ip_association_default_action"},
    {"ip_comp_ingress_assoc_flow_lookup", 24, 1, 0, 0, "ip_association_default_action"},
    {"ip_egress_assoc_dip_lookup", 24, 4, 0, 0, nullptr},
    {"ip_egress_assoc_sip_mtu_lookup", 24, 4, 0, 0, nullptr},
    {"ip_egress_assoc_info_lookup", 24, 4, 0, 0, nullptr},
    {"ip_exception_lookup", 6, 1, 0, 0, "ip_exception_drop_pkts"},
    {"ip_bind_dest_flow_lookup", 24, 0, 0, 0, nullptr},
    {"ip_exception_path_param_lookup", 6, 4, 0xffffff, 0, nullptr},
    {"ip_filter_cpu_path_policing_flow_lookup", 28, 0, 0, 0, nullptr},
    {"ip_filter_cpu_path_param_lookup", 28, 4, 0, 0, nullptr},
    {"ip_filter_cpu_path_ctx_lookup", 28, 4, 0, 0, nullptr},
    {"ip_cpu_path_param_lookup", 28, 4, 0xffffff, 0, nullptr},
    {"ip_cpu_dscp_qos_lookup", 8, 4, 0xffffff, 0, nullptr},
    {"ip_napt_lookup", 48, 4, 0, 224, nullptr},
    {"ip_interface_sip_mtu_lookup", 48, 1, 0, 0, "ip_interface_default_action"},
    {"ip_interface_ingress_flowid_ruleset_flags_lookup", 16, 1, 0, 0, "ip_interface_default_action"},
    {"ip_interface_egress_flowid_mtu_flags_lookup", 16, 1, 0, 0, "ip_interface_default_action"},
    {"ip_interface_filter_rule_set_lookup", 16, 1, 0, 0, "ip_interface_default_action"},
    {"ip_if_ingress_dscp_police_lookup", 16, 4, 0, 0, nullptr},
    {"ip_flow_cpu_path_param_lookup", 24, 4, 0, 0, nullptr},
    {"ip_custom_bind_imc_entry_fn_lookup", 8, 0, 0, 0, nullptr},
    {"ip_egress_flow_lookup", 48, 4, 0, 0, nullptr},
    {"ip_dscp_qos_lookup", 24, 0, 0, 0, nullptr},
    {"ip_capture_cpu_path_param_lookup", 18, 4, 0, 0, nullptr},
    {"ip_if_dscp_pcp_lookup", 24, 4, 0, 0, nullptr},
    {"ip_pbr_lookup", 0, 1, 0, 0, "dip_based_route_lookup"},
    {"ip_in_basic_filter", 0, 1, 0, 0, "ip_filter_unknown_ruleset"},
    {"ip_ingress_association_flow_filter", 0, 1, 0, 0, "ip_association_flow_filter_drop"},
    {"ip_ext_filter", 0, 1, 0, 0, "ip_filter_unknown_ruleset"},
    {"ip_lo_pbr_policy_set_lookup", 6, 0, 0, 0, nullptr},
};

TEST_F(TreeTest, EveryCatalogueTreeTakesFullKeysAndPrefixesAtItsWidth) {
    static_assert(sizeof kCatalogue / sizeof kCatalogue[0] == 38);
    for (const CatalogueTree &c : kCatalogue) {
        SCOPED_TRACE(c.name);
        const uint32_t tree = id(std::string("zel_ip.") + c.name);
        hwe_action_t dflt{c.kind, c.fn ? id(std::string("zel_ip.") + c.fn) : c.w1, c.w2};
        hwe_action_t got{};
        uint32_t depth = 99, rule = 0;
        if (c.width == 0) {  // rule-set trees: classified, not looked up
            Key k(8);
            EXPECT_EQ(HWE_E_PARAM, zel_sim_engine_lookup(eng_, tree, k.get(), &got, &depth));
            uint32_t field = 0;
            ASSERT_EQ(0u, zel_sim_engine_classify(eng_, tree, 1, &field, &got, &rule));
            EXPECT_TRUE(same(dflt, got)) << str(got);
            continue;
        }
        // Before anything is learnt every leaf holds the tree's default.
        Key full(c.width), inside(c.width), prefix(c.width), exact(c.width);
        full.fill(1, c.width);
        const uint32_t half = c.width / 2;
        inside.fill(1, half).fill(0, c.width - half);
        prefix.fill(1, half);
        exact.fill(1, c.width);
        ASSERT_EQ(0u, zel_sim_engine_lookup(eng_, tree, full.get(), &got, &depth));
        EXPECT_TRUE(same(dflt, got)) << str(got);
        EXPECT_EQ(0u, depth);
        // An exact key at full width and a prefix of half of it.
        const hwe_action_t xa = value(0x111111, 0x222222), pa = func(0x333);
        ASSERT_EQ(0u, hwe_ptn_learn(eng_, tree, exact.get(), &xa));
        ASSERT_EQ(0u, hwe_ptn_learn(eng_, tree, prefix.get(), &pa));
        ASSERT_EQ(0u, zel_sim_engine_lookup(eng_, tree, full.get(), &got, &depth));
        EXPECT_TRUE(same(xa, got));
        EXPECT_EQ(c.width, depth);
        ASSERT_EQ(0u, zel_sim_engine_lookup(eng_, tree, inside.get(), &got, &depth));
        EXPECT_TRUE(same(pa, got));
        EXPECT_EQ(half, depth);
        // One bit more than the tree is refused.
        exact.raise();
        EXPECT_EQ(HWE_E_KEY, hwe_ptn_learn(eng_, tree, exact.get(), &xa));
    }
}

// ---- compaction -----------------------------------------------------------------

struct Window {
    int calls = 0;
    int stop_at = 0;                      // non-zero answer on this call
    std::function<void()> inside;         // run on the first call
};

TEST_F(TreeTest, CompactionCallsBackBetweenChunksAndKeepsChangesMadeThere) {
    for (uint32_t i = 0; i < 3000; ++i) ASSERT_EQ(0u, learn(ip(20, 0, 0, 0) + (i << 8), 24, A));
    Window w;
    w.inside = [&] { ASSERT_EQ(0u, learn(ip(30, 0, 0, 0), 8, B)); };
    auto cb = [](void *ctx) -> uint32_t {
        auto *win = static_cast<Window *>(ctx);
        if (++win->calls == 1) win->inside();
        return win->calls == win->stop_at ? 5u : 0u;
    };
    ASSERT_EQ(0u, hwe_ptn_compact_fn_cb(eng_, t2_, nullptr, cb, &w, 1));
    EXPECT_GE(w.calls, 2);
    expect(ip(30, 1, 1, 1), B, 14);
    expect(ip(20, 0, 7, 1), A, 30);

    // A non-zero answer stops the compaction.
    Window stop;
    stop.stop_at = 2;
    stop.inside = [] {};
    EXPECT_EQ(HWE_E_ABORTED, hwe_ptn_compact_fn_cb(eng_, t2_, nullptr, cb, &stop, 1));
    EXPECT_EQ(2, stop.calls);
}

TEST_F(TreeTest, CompactionShrinksAChurnedTreeAndKeepsEveryLeaf) {
    for (uint32_t i = 0; i < 4000; ++i) ASSERT_EQ(0u, learn(ip(20, 0, 0, 0) + (i << 8), 24, A));
    for (uint32_t i = 0; i < 3900; ++i) ASSERT_EQ(0u, unlearn(ip(20, 0, 0, 0) + (i << 8), 24, kW, A));
    const uint64_t before = zel_sim_engine_tree_bytes(eng_, t2_);
    ASSERT_EQ(0u, hwe_ptn_compact_fn(eng_, t2_));
    EXPECT_LT(zel_sim_engine_tree_bytes(eng_, t2_), before);
    EXPECT_EQ(100u, zel_sim_engine_entry_count(eng_, t2_));
    for (uint32_t i = 3890; i < 4000; ++i)
        expect(ip(20, 0, 0, 5) + (i << 8), i < 3900 ? kDefault : A, i < 3900 ? 0 : 30);
    EXPECT_EQ(HWE_E_PARAM, hwe_ptn_compact_fn(eng_, id("zel_ip.ip_ext_filter")));
}

}  // namespace
