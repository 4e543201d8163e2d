// Association flow filters: staging (packets see the rules of the last
// commit), what add, delete and commit refuse, the association's set as
// the rules' key (same index in two associations), a mask-0 rule, the
// association as a user of its rules, and a first-match oracle over random
// prefix rules against the engine model after commit.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/zel_ip_objects.h"
#include "otreeset_test_util.h"
#include "tree/zel_ip_layout_filter.h"

using namespace otest;
using zel::test::StdoutCapture;
using zel::test::ZelTest;
namespace lay = zel::ip::layout;

namespace {

constexpr uint32_t kTree = zel::ip::kTreeAssocFlowFilter;
const std::string kErr = "[zel_ip_log: ERROR] FILE:LINE ";

class AssocFilter : public ZelTest {
protected:
    AssocFilter() { initial_log_level_ = ZEL_LOG_ERROR; }
    hwe_engine_t *eng() { return zel_sim_engine(sim_); }

    // A Discard association keyed by protocol `proto`, with its flow filter on.
    zel_ip_flow_handle_t make_assoc(uint8_t proto) {
        zel_ip_ingress_assoc_params_t p{};
        p.mask = ZEL_IP_IAM_PROTO;
        p.proto = proto;
        p.action = ZEL_IP_ASSOC_DISCARD;
        p.flow_filter = 1;
        zel_ip_flow_handle_t f = nullptr;
        std::string text;
        EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_create(m_, &p, &f); }, &text), 0u) << text;
        return f;
    }
    uint32_t add(zel_ip_flow_handle_t assoc, uint32_t idx, const zel_ip_assoc_flow_filter_rule_t &r,
                 uint32_t action, zel_ip_flow_handle_t *out, std::string *text = nullptr) {
        return quietly([&] { return zel_ip_assoc_flow_filter_rule_add(m_, assoc, idx, &r, action, out); }, text);
    }
    zel_ip_flow_handle_t rule(zel_ip_flow_handle_t assoc, uint32_t idx, const zel_ip_assoc_flow_filter_rule_t &r,
                              uint32_t action) {
        zel_ip_flow_handle_t h = nullptr;
        std::string text;
        EXPECT_EQ(add(assoc, idx, r, action, &h, &text), 0u) << text;
        return h;
    }
    uint32_t del(uint32_t idx, zel_ip_flow_handle_t h, std::string *text = nullptr) {
        return quietly([&] { return zel_ip_assoc_flow_filter_rule_delete(m_, idx, h); }, text);
    }
    uint32_t commit(zel_ip_flow_handle_t assoc, std::string *text = nullptr) {
        return quietly([&] { return zel_ip_assoc_flow_filter_commit(m_, assoc); }, text);
    }
    // A packet of association `ns` (its NS ID) against tree 35.
    Verdict hit(uint32_t ns, uint32_t l2, uint32_t proto, uint32_t sip, uint32_t dip) {
        return classify(eng(), kTree, {ns, l2, proto, sip, dip});
    }
    hwe_action_t drop() {
        return lay::assoc_filter::drop(zel::test::symbol_id(eng(), "zel_ip.ip_association_flow_filter_drop"));
    }
};

uint32_t ns_of(zel_ip_flow_handle_t f) { return reinterpret_cast<const zel_flow_header_t *>(f)->ns_id; }

zel_ip_assoc_flow_filter_rule_t proto_rule(uint32_t proto) {
    zel_ip_assoc_flow_filter_rule_t r{};
    r.mask = ZEL_IP_AFF_PROTO;
    r.proto = proto;
    return r;
}

TEST_F(AssocFilter, PacketsSeeTheRulesOfTheLastCommit) {
    zel_ip_flow_handle_t a = make_assoc(89);
    const uint32_t ns = ns_of(a);
    const uint32_t src = ip(10, 1, 2, 3), dst = ip(192, 0, 2, 2);
    // Nothing committed: the tree's default, the drop function.
    zel_ip_flow_handle_t pass_tcp = rule(a, 5, proto_rule(6), ZEL_IP_AFF_PASS);
    Verdict v = hit(ns, 0, 6, src, dst);
    EXPECT_EQ(v.rule_idx, ZEL_SIM_NO_RULE);
    EXPECT_TRUE(zel::test::same(v.action, drop()));
    ASSERT_EQ(commit(a), 0u);
    v = hit(ns, 0, 6, src, dst);
    EXPECT_EQ(v.rule_idx, 5u);
    EXPECT_TRUE(zel::test::same(v.action, lay::assoc_filter::pass()));

    // A lower index added: still rule 5 until the commit.
    zel_ip_assoc_flow_filter_rule_t net = proto_rule(6);
    net.mask |= ZEL_IP_AFF_SIP;
    net.sip = ip(10, 0, 0, 0);
    net.sip_prefix_len = 8;
    zel_ip_flow_handle_t drop_net = rule(a, 1, net, ZEL_IP_AFF_DROP);
    EXPECT_EQ(hit(ns, 0, 6, src, dst).rule_idx, 5u);
    ASSERT_EQ(commit(a), 0u);
    v = hit(ns, 0, 6, src, dst);
    EXPECT_EQ(v.rule_idx, 1u);
    EXPECT_TRUE(zel::test::same(v.action, drop()));
    EXPECT_EQ(hit(ns, 0, 6, ip(11, 0, 0, 1), dst).rule_idx, 5u);  // outside 10/8

    // Deleted: the compiled rule stays until the commit.
    ASSERT_EQ(del(1, drop_net), 0u);
    EXPECT_EQ(hit(ns, 0, 6, src, dst).rule_idx, 1u);
    ASSERT_EQ(commit(a), 0u);
    EXPECT_EQ(hit(ns, 0, 6, src, dst).rule_idx, 5u);
    ASSERT_EQ(del(5, pass_tcp), 0u);
    ASSERT_EQ(commit(a), 0u);
    EXPECT_EQ(hit(ns, 0, 6, src, dst).rule_idx, ZEL_SIM_NO_RULE);
    EXPECT_TRUE(staged(eng(), kTree).empty());
}

TEST_F(AssocFilter, AddRefusesBeforeItTakesAnything) {
    zel_ip_flow_handle_t a = make_assoc(89);
    zel_ip_flow_handle_t gone = make_assoc(90);
    ASSERT_EQ(quietly([&] { return zel_ip_ingress_association_delete(m_, gone); }), 0u);
    zel_ip_flow_handle_t other_rule = rule(a, 99, proto_rule(1), ZEL_IP_AFF_PASS);
    zel_obj_header_t fake_l2{5, nullptr, 0x12345678, 0, 0, 0, 0};
    zel_obj_header_t *wide_l2 = zel_sim_l2_interface_new(sim_, 0x1000000);
    ASSERT_NE(wide_l2, nullptr);
    uint32_t garbage[16] = {};

    struct Case {
        const char *name;
        zel_ip_flow_handle_t assoc;
        zel_ip_assoc_flow_filter_rule_t r;
        uint32_t action;
        bool null_rule, null_out;
        uint32_t status;
        std::string msg;
    };
    auto with = [](uint32_t mask, const zel_obj_header_t *l2, uint32_t slen, uint32_t dlen) {
        zel_ip_assoc_flow_filter_rule_t r{};
        r.mask = mask;
        r.l2_intf = l2;
        r.sip_prefix_len = slen;
        r.dip_prefix_len = dlen;
        return r;
    };
    const auto bad = reinterpret_cast<zel_ip_flow_handle_t>(garbage);
    const Case cases[] = {
        {"null rule", a, {}, 0, true, false, 0x30008, "Invalid input parameter"},
        {"null out", a, {}, 0, false, true, 0x30008, "Invalid input parameter"},
        {"action 2", a, {}, 2, false, false, 0x30008, "Invalid Filter action "},
        {"null l2", a, with(ZEL_IP_AFF_L2_INTF, nullptr, 0, 0), 0, false, false, 0x1030006,
         "Invalid L2 interface handle"},
        {"l2 magic", a, with(ZEL_IP_AFF_L2_INTF, &fake_l2, 0, 0), 0, false, false, 0x1030006,
         "Invalid L2 interface handle"},
        {"l2 id over 24 bits", a, with(ZEL_IP_AFF_L2_INTF, wide_l2, 0, 0), 0, false, false, 0x1030006,
         "Invalid L2 interface handle"},
        {"source /33", a, with(ZEL_IP_AFF_SIP, nullptr, 33, 0), 0, false, false, 0x1030012,
         "Invalid Source IP address prefix width"},
        {"destination /40", a, with(ZEL_IP_AFF_DIP, nullptr, 0, 40), 0, false, false, 0x1030012,
         "Invalid Destination IP address prefix width"},
        {"null association", nullptr, {}, 0, false, false, 0x30008, "Invalid ingress association flow handle"},
        {"garbage association", bad, {}, 0, false, false, 0x30008, "Invalid ingress association flow handle"},
        {"deleted association", gone, {}, 0, false, false, 0x30008, "Invalid ingress association flow handle"},
        {"a rule as association", other_rule, {}, 0, false, false, 0x30008,
         "Invalid ingress association flow handle"},
    };
    const auto before = staged(eng(), kTree);
    const uint64_t blocks = zel_sim_mem_blocks();
    for (const Case &c : cases) {
        zel_ip_flow_handle_t out = reinterpret_cast<zel_ip_flow_handle_t>(&out);
        std::string text;
        const uint32_t st = quietly(
            [&] {
                return zel_ip_assoc_flow_filter_rule_add(m_, c.assoc, 7, c.null_rule ? nullptr : &c.r, c.action,
                                                         c.null_out ? nullptr : &out);
            },
            &text);
        EXPECT_EQ(st, c.status) << c.name;
        EXPECT_EQ(zel::test::mask_sites(text).find(kErr + c.msg), 0u) << c.name << ": " << text;
        if (!c.null_out) {
            EXPECT_EQ(out, nullptr) << c.name;
        }
    }
    EXPECT_EQ(staged(eng(), kTree), before);
    EXPECT_EQ(zel_sim_mem_blocks(), blocks);
    // The prefix lengths are checked only for the fields in the mask.
    zel_ip_flow_handle_t h = rule(a, 7, with(0, nullptr, 99, 99), ZEL_IP_AFF_PASS);
    EXPECT_NE(h, nullptr);
}

TEST_F(AssocFilter, DeleteRemovesExactlyTheNamedRule) {
    zel_ip_flow_handle_t a = make_assoc(89);
    zel_ip_flow_handle_t r1 = rule(a, 1, proto_rule(6), ZEL_IP_AFF_PASS);
    zel_ip_flow_handle_t r2 = rule(a, 2, proto_rule(17), ZEL_IP_AFF_DROP);
    const auto both = staged(eng(), kTree);
    ASSERT_EQ(both.size(), 2u);
    std::string text;
    // Another rule's index: the engine would delete rule 2 and free rule 1.
    EXPECT_EQ(del(2, r1, &text), 0x30008u) << text;
    EXPECT_EQ(zel::test::mask_sites(text).find(kErr + "Rule index 2 is not the rule's index 1"), 0u) << text;
    EXPECT_EQ(staged(eng(), kTree), both);
    // An association is not a rule.
    EXPECT_EQ(del(1, a, &text), 0x30008u);
    EXPECT_EQ(zel::test::mask_sites(text).find(kErr + "Invalid assocication flow filter handle type"), 0u) << text;
    ASSERT_EQ(del(1, r1), 0u);
    EXPECT_EQ(staged(eng(), kTree), std::vector<std::string>{both[1]});
    // A second delete of the same handle.
    EXPECT_EQ(del(1, r1, &text), 0x30008u);
    EXPECT_EQ(zel::test::mask_sites(text).find(kErr + "Invalid flow handle"), 0u) << text;
    EXPECT_EQ(del(2, r2), 0u);
    EXPECT_TRUE(staged(eng(), kTree).empty());
}

TEST_F(AssocFilter, RulesOfTwoAssociationsWithTheSameIndexDoNotCollide) {
    zel_ip_flow_handle_t a = make_assoc(89), b = make_assoc(88);
    // a: mask 0, drop: every packet of a. b: protocol 17 passes.
    zel_ip_flow_handle_t ra = rule(a, 1, zel_ip_assoc_flow_filter_rule_t{}, ZEL_IP_AFF_DROP);
    zel_ip_flow_handle_t rb = rule(b, 1, proto_rule(17), ZEL_IP_AFF_PASS);
    ASSERT_EQ(commit(a), 0u);
    ASSERT_EQ(commit(b), 0u);
    std::mt19937 rng(18);
    for (int i = 0; i < 200; ++i) {
        const uint32_t l2 = rng() & 0xffffff, proto = rng() & 0xff, sip = rng(), dip = rng();
        const Verdict va = hit(ns_of(a), l2, proto, sip, dip);
        EXPECT_EQ(va.rule_idx, 1u);
        EXPECT_TRUE(zel::test::same(va.action, drop()));
        EXPECT_EQ(hit(ns_of(b), l2, proto, sip, dip).rule_idx, proto == 17 ? 1u : ZEL_SIM_NO_RULE);
    }
    EXPECT_EQ(hit(ns_of(b), 0, 17, 0, 0).rule_idx, 1u);
    // Deleting a's rule 1 leaves b's rule 1.
    ASSERT_EQ(del(1, ra), 0u);
    ASSERT_EQ(commit(a), 0u);
    EXPECT_EQ(hit(ns_of(a), 0, 17, 0, 0).rule_idx, ZEL_SIM_NO_RULE);
    EXPECT_EQ(hit(ns_of(b), 0, 17, 0, 0).rule_idx, 1u);
    EXPECT_EQ(staged(eng(), kTree).size(), 1u);
    EXPECT_EQ(del(1, rb), 0u);
    // The same index twice in one association is refused by the engine.
    rule(a, 3, proto_rule(1), ZEL_IP_AFF_PASS);
    zel_ip_flow_handle_t out = nullptr;
    std::string text;
    EXPECT_EQ(add(a, 3, proto_rule(2), ZEL_IP_AFF_PASS, &out, &text), 0x1030010u) << text;
    EXPECT_NE(text.find("Failed to insert rule in the OtreeSet, RTE Error:"), std::string::npos) << text;
    EXPECT_EQ(out, nullptr);
}

TEST_F(AssocFilter, AnAssociationOutlivesItsRulesAndTakesNoStaleListToItsSuccessor) {
    zel_ip_flow_handle_t a = make_assoc(89);
    const uint32_t ns = ns_of(a);
    zel_ip_flow_handle_t r = rule(a, 4, zel_ip_assoc_flow_filter_rule_t{}, ZEL_IP_AFF_PASS);
    ASSERT_EQ(commit(a), 0u);
    std::string text;
    EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_delete(m_, a); }, &text), 0x3000fu);
    EXPECT_NE(text.find("in use by association flow filter rule"), std::string::npos) << text;
    // The rule deleted without a commit: the compiled list still has it.
    ASSERT_EQ(del(4, r), 0u);
    EXPECT_EQ(hit(ns, 0, 6, 0, 0).rule_idx, 4u);
    ASSERT_EQ(quietly([&] { return zel_ip_ingress_association_delete(m_, a); }), 0u);
    // The id's list was compiled empty before the id went back; the next
    // association takes the id with nothing in its list.
    EXPECT_EQ(hit(ns, 0, 6, 0, 0).rule_idx, ZEL_SIM_NO_RULE);
    // A commit needs a live association.
    EXPECT_EQ(commit(a, &text), 0x30008u);
    EXPECT_EQ(zel::test::mask_sites(text).find(kErr + "Invalid ingress association flow handle"), 0u) << text;
    EXPECT_EQ(commit(nullptr), 0x30008u);
    zel_ip_flow_handle_t b = make_assoc(89);
    EXPECT_EQ(ns_of(b), ns);
    EXPECT_EQ(hit(ns, 0, 6, 0, 0).rule_idx, ZEL_SIM_NO_RULE);
}

// Random rules in two associations (random indexes, prefixes of random
// lengths, optional interface and protocol), some deleted, then committed;
// random packets near the rules' addresses: the engine answers what a
// first-match scan of the live rules answers.
TEST_F(AssocFilter, OracleFirstMatchOverRandomPrefixRules) {
    std::mt19937 rng(0x35);
    zel_ip_flow_handle_t assocs[2] = {make_assoc(89), make_assoc(88)};
    const uint32_t l2_ids[3] = {0x21, 0x22, 0x23};
    const zel_obj_header_t *l2[3];
    for (int i = 0; i < 3; ++i) l2[i] = zel_sim_l2_interface_new(sim_, l2_ids[i]);
    const uint32_t drop_fn = drop().w1;
    for (int round = 0; round < 4; ++round) {
        std::vector<OracleRule> rules;
        std::map<zel_ip_flow_handle_t, std::pair<uint32_t, size_t>> handles;  // -> index, oracle slot
        std::vector<uint32_t> addrs;
        std::vector<zel_ip_flow_handle_t> live;
        for (int n = 0; n < 60; ++n) {
            const int which = static_cast<int>(rng() % 2);
            zel_ip_assoc_flow_filter_rule_t r{};
            const uint32_t l2i = rng() % 3;
            if (rng() % 3 == 0) {
                r.mask |= ZEL_IP_AFF_L2_INTF;
                r.l2_intf = l2[l2i];
            }
            if (rng() % 2) {
                r.mask |= ZEL_IP_AFF_PROTO;
                r.proto = rng() % 3 ? 6 : 17;
            }
            r.sip = static_cast<uint32_t>(rng());
            r.dip = static_cast<uint32_t>(rng());
            r.sip_prefix_len = random_plen(rng);
            r.dip_prefix_len = random_plen(rng);
            if (r.sip_prefix_len || rng() % 2) r.mask |= ZEL_IP_AFF_SIP;
            if (r.dip_prefix_len || rng() % 2) r.mask |= ZEL_IP_AFF_DIP;
            const uint32_t idx = rng() % 500;
            const uint32_t action = rng() % 2;
            zel_ip_flow_handle_t h = nullptr;
            const uint32_t st = add(assocs[which], idx, r, action, &h);
            if (st == 0x1030010u) continue;  // index already taken in that association
            ASSERT_EQ(st, 0u);
            OracleRule o;
            o.idx = idx;
            o.tag = action;
            o.fields = {{ns_of(assocs[which]), 24, 24},
                        {l2_ids[l2i], (r.mask & ZEL_IP_AFF_L2_INTF) ? 24u : 0u, 24},
                        {r.proto, (r.mask & ZEL_IP_AFF_PROTO) ? 8u : 0u, 8},
                        {r.sip, (r.mask & ZEL_IP_AFF_SIP) ? r.sip_prefix_len : 0u, 32},
                        {r.dip, (r.mask & ZEL_IP_AFF_DIP) ? r.dip_prefix_len : 0u, 32}};
            handles[h] = {idx, rules.size()};
            rules.push_back(o);
            live.push_back(h);
            addrs.push_back(r.sip);
            addrs.push_back(r.dip);
        }
        // A third of the rules go again; the oracle forgets them.
        std::vector<OracleRule> kept;
        std::vector<bool> gone(rules.size());
        for (zel_ip_flow_handle_t h : live) {
            if (rng() % 3) continue;
            ASSERT_EQ(del(handles[h].first, h), 0u);
            gone[handles[h].second] = true;
        }
        for (size_t i = 0; i < rules.size(); ++i)
            if (!gone[i]) kept.push_back(rules[i]);
        for (auto *a : assocs) ASSERT_EQ(commit(a), 0u);
        for (int p = 0; p < 3000; ++p) {
            const std::vector<uint32_t> pkt = {ns_of(assocs[rng() % 2]), l2_ids[rng() % 3] + (rng() % 8 == 0),
                                               rng() % 4 ? 6u : 17u, random_addr(rng, addrs), random_addr(rng, addrs)};
            const OracleRule *want = first_match(kept, pkt);
            const Verdict got = classify(eng(), kTree, pkt);
            if (!want) {
                ASSERT_EQ(got.rule_idx, ZEL_SIM_NO_RULE) << "round " << round << " packet " << p;
                continue;
            }
            ASSERT_EQ(got.rule_idx, want->idx) << "round " << round << " packet " << p;
            const bool drops = got.action.kind == HWE_ACTION_FUNC && got.action.w1 == drop_fn;
            ASSERT_EQ(drops, want->tag == ZEL_IP_AFF_DROP);
        }
        // Empty both lists for the next round.
        for (zel_ip_flow_handle_t h : live)
            if (!gone[handles[h].second]) {
                ASSERT_EQ(del(handles[h].first, h), 0u);
            }
        ASSERT_TRUE(staged(eng(), kTree).empty());
    }
}

}  // namespace
