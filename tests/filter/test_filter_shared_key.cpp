// Filter rules that police with one policer without counting share a flow
// key, and with it the CPU-path entries of trees 16 to 19: they stay while
// any rule uses them (engine lookups), go with the last user, move with a
// change of policer, and a rule that would deliver differently under the
// same key is refused. Fault sweeps over add, delete and commit with a
// shared key.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filter_test_util.h"
#include "flow/zel_ip_flow_pvt.h"
#include "tree/zel_ip_layout_cpu.h"
#include "zel_fault_sweep.h"

using namespace filtertest;
using zel::test::fault_sweep;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

namespace {

constexpr uint32_t kCommitSet = 0;
constexpr uint32_t kPolicer = 0x4242, kOtherPolicer = 0x4343;

// What trees 16 to 19 answer for flow key {flow_id, rule_key}.
std::vector<hwe_action_t> cpu_path(hwe_engine_t *eng, uint32_t flow_id, uint32_t rule_key = 0) {
    std::vector<hwe_action_t> v;
    for (uint32_t t = 16; t <= 19; ++t) v.push_back(zel::test::lookup(eng, t, {flow_id, rule_key}));
    return v;
}
std::vector<hwe_action_t> defaults(hwe_engine_t *eng) {
    std::vector<hwe_action_t> v;
    for (uint32_t t = 16; t <= 19; ++t) v.push_back(zel::test::default_of(eng, t));
    return v;
}
std::string str(const std::vector<hwe_action_t> &v) {
    std::string s;
    for (const hwe_action_t &a : v) s += zel::test::str(a) + " ";
    return s;
}
bool same(const std::vector<hwe_action_t> &a, const std::vector<hwe_action_t> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!zel::test::same(a[i], b[i])) return false;
    return true;
}
uint32_t cpu_entries(hwe_engine_t *eng) {
    uint32_t n = 0;
    for (uint32_t t = 16; t <= 19; ++t) n += zel::test::entries(eng, t);
    return n;
}

// The QoS objects the rules refer to, one handle each, as an application
// holds them.
struct Qos {
    void *police = nullptr, *other_police = nullptr, *queue = nullptr;
    explicit Qos(zel_sim_t *sim)
        : police(zel_sim_qos_policer_new(sim, kPolicer)),
          other_police(zel_sim_qos_policer_new(sim, kOtherPolicer)),
          queue(zel_sim_qos_queue_new(sim, 0x77)) {}
};

// Policing without counting (the flow key is the policer's), to the CPU
// through NCA queue `nca` when `cpu`.
zel_ip_filter_action_t policed(const Qos &q, uint32_t policer, bool cpu, uint32_t nca = 5) {
    zel_ip_filter_action_t a = act(cpu ? ZEL_IP_FILTER_CPU : ZEL_IP_FILTER_DENY);
    a.police = 1;
    a.policer = policer == kPolicer ? q.police : q.other_police;
    if (cpu) {
        a.cpu_kind = ZEL_IP_CPU_PATH_NCA;
        a.cpu_target = nca;
        a.mtm_queue = q.queue;
    }
    return a;
}

class SharedKey : public FilterTest {
protected:
    uint32_t del_commit(zel_ip_flow_handle_t r, uint32_t idx) {
        StdoutCapture quiet;
        if (uint32_t st = zel_ip_filter_rule_delete(m_, idx, r)) return st;
        return zel_ip_filter_set_commit(m_, kCommitSet, set_);
    }
    void SetUp() override {
        FilterTest::SetUp();
        set_ = new_set();
        qos_ = std::make_unique<Qos>(sim_);
    }
    zel_ip_rule_set_handle_t set_ = nullptr;
    std::unique_ptr<Qos> qos_;
};

// Two rules of one policer: whichever goes first, the other's entries stay
// whole; the second one takes them with it. A police-only rule shares
// tree 16 with a Send-To-CPU one and leaves trees 17 to 19 to it.
TEST_F(SharedKey, EntriesStayWhileAnyRuleUsesThem) {
    struct Row {
        const char *name;
        bool first_cpu, second_cpu;
        bool delete_first_first;
    };
    const Row rows[] = {
        {"both to the CPU, first deleted first", true, true, true},
        {"both to the CPU, second deleted first", true, true, false},
        {"police-only and to the CPU, police-only deleted first", false, true, true},
        {"police-only and to the CPU, CPU one deleted first", false, true, false},
        {"both police-only", false, false, true},
    };
    const std::vector<hwe_action_t> none = defaults(eng());
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        zel_ip_flow_handle_t r1 = add(set_, 1, any_rule(), policed(*qos_, kPolicer, row.first_cpu));
        const std::vector<hwe_action_t> one = cpu_path(eng(), kPolicer);
        zel_ip_flow_handle_t r2 = add(set_, 2, any_rule(), policed(*qos_, kPolicer, row.second_cpu));
        ASSERT_EQ(zel_ip_filter_set_commit(m_, kCommitSet, set_), 0u);
        const std::vector<hwe_action_t> both = cpu_path(eng(), kPolicer);
        EXPECT_FALSE(zel::test::same(both[0], none[0]));  // tree 16 holds the policer
        EXPECT_EQ(zel::test::entries(eng(), 16), 1u);
        // The survivor's entries, as it alone would have them.
        zel_ip_flow_handle_t first = row.delete_first_first ? r1 : r2, last = row.delete_first_first ? r2 : r1;
        const uint32_t first_idx = row.delete_first_first ? 1 : 2, last_idx = row.delete_first_first ? 2 : 1;
        ASSERT_EQ(del_commit(first, first_idx), 0u);
        const std::vector<hwe_action_t> left = cpu_path(eng(), kPolicer);
        const bool survivor_cpu = row.delete_first_first ? row.second_cpu : row.first_cpu;
        for (uint32_t t = 0; t < 4; ++t) {
            const bool kept = t == 0 || survivor_cpu;  // tree 16, or 17 to 19 of a CPU rule
            EXPECT_TRUE(zel::test::same(left[t], kept ? both[t] : none[t]))
                << "tree " << 16 + t << ": " << str(left) << "| with both: " << str(both);
        }
        if (!row.delete_first_first && row.first_cpu == row.second_cpu) {
            EXPECT_TRUE(same(left, one)) << str(left);
        }
        ASSERT_EQ(del_commit(last, last_idx), 0u);
        EXPECT_TRUE(same(cpu_path(eng(), kPolicer), none)) << str(cpu_path(eng(), kPolicer));
        EXPECT_EQ(cpu_entries(eng()), 0u);
    }
}

// A change of policer moves the rule's use to the new key: the old key's
// entries stay for the rule still on it, and go with that one.
TEST_F(SharedKey, ChangeOfPolicerMovesTheUse) {
    const std::vector<hwe_action_t> none = defaults(eng());
    zel_ip_flow_handle_t r1 = add(set_, 1, any_rule(), policed(*qos_, kPolicer, true));
    zel_ip_flow_handle_t r2 = add(set_, 2, any_rule(), policed(*qos_, kPolicer, true));
    const std::vector<hwe_action_t> shared = cpu_path(eng(), kPolicer);
    const zel_ip_filter_action_t moved = policed(*qos_, kOtherPolicer, true);
    ASSERT_EQ(zel_ip_filter_rule_action_modify(m_, 1, r1, &moved), 0u);
    ASSERT_EQ(zel_ip_filter_set_commit(m_, kCommitSet, set_), 0u);
    // r1 now keys its entries by the other policer, under RULE-KEY 4.
    EXPECT_FALSE(same(cpu_path(eng(), kOtherPolicer, 4), none));
    EXPECT_TRUE(same(cpu_path(eng(), kPolicer), shared)) << str(cpu_path(eng(), kPolicer));
    ASSERT_EQ(del_commit(r2, 2), 0u);
    EXPECT_TRUE(same(cpu_path(eng(), kPolicer), none));
    EXPECT_FALSE(same(cpu_path(eng(), kOtherPolicer, 4), none));
    ASSERT_EQ(del_commit(r1, 1), 0u);
    EXPECT_EQ(cpu_entries(eng()), 0u);
}

// One key cannot deliver two ways: a rule that needs another CPU queue
// under a key in use is refused, and the first rule's entries stay.
TEST_F(SharedKey, OtherDeliveryUnderAUsedKeyIsRefused) {
    add(set_, 1, any_rule(), policed(*qos_, kPolicer, true, 5));
    const std::vector<hwe_action_t> first = cpu_path(eng(), kPolicer);
    const uint32_t ids = ns_in_use();
    const zel_ip_filter_action_t other = policed(*qos_, kPolicer, true, 6);
    const zel_ip_filter_rule_t rule = any_rule();
    zel_ip_flow_handle_t h = nullptr;
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_filter_rule_add(m_, set_, 2, &rule, &other, &h), 0x3000fu);
    EXPECT_EQ(h, nullptr);
    EXPECT_NE(cap.text().find("CPU path of flow key 0x42420 is in use by another filter rule with other parameters"),
              std::string::npos)
        << cap.text();
    EXPECT_TRUE(same(cpu_path(eng(), kPolicer), first));
    EXPECT_EQ(ns_in_use(), ids);
    // A police-only rule of the same policer needs only tree 16: it shares.
    EXPECT_NE(add(set_, 3, any_rule(), policed(*qos_, kPolicer, false)), nullptr);
}

// ---- rules and ingress associations in tree 19 ---------------------------------

// A Send-to-CPU association keys tree 19 with its id, unshifted; the first
// association's id is the pool's base, which is the flow key of a rule
// policing without counting through policer kAssocBase >> 4.
constexpr uint32_t kAssocBase = 0x00d00000;
constexpr uint32_t kClashPolicer = kAssocBase >> 4;

// A Send-to-CPU association (BGP to one address) queued on `queue`.
zel_ip_ingress_assoc_params_t cpu_assoc(void *queue, uint32_t dport = 179) {
    zel_ip_ingress_assoc_params_t p{};
    p.mask = 0x34;  // DIP, PROTO, DPORT
    p.action = ZEL_IP_ASSOC_SEND_TO_CPU;
    p.dip = 0xc0000201;
    p.dip_prefix_len = 32;
    p.proto = 6;
    p.dport = dport;
    p.cpu_kind = ZEL_IP_CPU_PATH_NCA;
    p.cpu_target = 7;
    p.mtm_queue = queue;
    return p;
}

// What tree 19 holds under the 28-bit key `key`.
hwe_action_t queue_at(hwe_engine_t *eng, uint32_t key) { return zel::test::lookup(eng, 19, {key >> 4, key & 15}); }

class AssocAndRule : public SharedKey {
protected:
    void SetUp() override {
        SharedKey::SetUp();
        clash_policer_ = zel_sim_qos_policer_new(sim_, kClashPolicer);
        assoc_queue_ = zel_sim_qos_queue_new(sim_, 0x42);
    }
    // A rule policing through the clashing policer, to the CPU on queue 0x77.
    uint32_t add_rule(zel_ip_flow_handle_t *out) {
        zel_ip_filter_action_t a = policed(*qos_, kPolicer, true);
        a.policer = clash_policer_;
        const zel_ip_filter_rule_t r = any_rule();
        return zel_ip_filter_rule_add(m_, set_, 1, &r, &a, out);
    }
    void *clash_policer_ = nullptr, *assoc_queue_ = nullptr;
};

// The association came first: the rule is refused its key, naming the
// association, and takes nothing; once the association is gone it gets it.
TEST_F(AssocAndRule, RuleIsRefusedAKeyAnAssociationsQueueHolds) {
    zel_ip_flow_handle_t f = nullptr, r = nullptr;
    const zel_ip_ingress_assoc_params_t p = cpu_assoc(assoc_queue_);
    ASSERT_EQ(zel_ip_ingress_association_create(m_, &p, &f), 0u);
    ASSERT_EQ(f->head.hdr.ns_id, kAssocBase);
    const std::vector<hwe_action_t> before = cpu_path(eng(), kClashPolicer);
    EXPECT_TRUE(zel::test::same(before[3], zel::ip::layout::cpu_path_param::via_mtm(0x42)));
    {
        StdoutCapture cap;
        EXPECT_EQ(add_rule(&r), 0x3000fu);
        EXPECT_NE(cap.text().find("CPU path of flow key 0xd00000 is in use by ingress association ID 0xd00000"),
                  std::string::npos)
            << cap.text();
    }
    EXPECT_EQ(r, nullptr);
    EXPECT_TRUE(same(cpu_path(eng(), kClashPolicer), before)) << str(cpu_path(eng(), kClashPolicer));
    ASSERT_EQ(zel_ip_ingress_association_delete(m_, f), 0u);
    ASSERT_EQ(add_rule(&r), 0u);
    EXPECT_TRUE(zel::test::same(queue_at(eng(), kAssocBase), zel::ip::layout::cpu_path_param::via_mtm(0x77)));
    ASSERT_EQ(del_commit(r, 1), 0u);
    EXPECT_EQ(cpu_entries(eng()), 0u);
}

// The rule came first: the association passes over the id whose key the
// rule holds and takes the next; each keeps its own queue, the id passed
// over is free again, and each goes without touching the other's entry.
TEST_F(AssocAndRule, AssociationPassesOverAnIdARuleHolds) {
    zel_ip_flow_handle_t r = nullptr, f = nullptr, g = nullptr;
    ASSERT_EQ(add_rule(&r), 0u);
    const hwe_action_t rules = queue_at(eng(), kAssocBase);
    const zel_ip_ingress_assoc_params_t p = cpu_assoc(assoc_queue_);
    ASSERT_EQ(zel_ip_ingress_association_create(m_, &p, &f), 0u);
    EXPECT_EQ(f->head.hdr.ns_id, kAssocBase + 1);
    EXPECT_TRUE(zel::test::same(queue_at(eng(), kAssocBase), rules));
    EXPECT_TRUE(zel::test::same(queue_at(eng(), kAssocBase + 1), zel::ip::layout::cpu_path_param::via_mtm(0x42)));
    // An association that keeps no queue entry may take the id.
    zel_ip_ingress_assoc_params_t d = cpu_assoc(nullptr, 22);
    d.action = ZEL_IP_ASSOC_DISCARD;
    ASSERT_EQ(zel_ip_ingress_association_create(m_, &d, &g), 0u);
    EXPECT_EQ(g->head.hdr.ns_id, kAssocBase);
    ASSERT_EQ(zel_ip_ingress_association_delete(m_, f), 0u);
    EXPECT_TRUE(zel::test::same(queue_at(eng(), kAssocBase), rules));
    ASSERT_EQ(del_commit(r, 1), 0u);
    ASSERT_EQ(zel_ip_ingress_association_delete(m_, g), 0u);
    EXPECT_EQ(cpu_entries(eng()), 0u);
}

// An association create passes over at most 16 ids in a row: with 17
// rule keys among the lowest free ids it is refused (0x3000f), and every
// id it drew is given back.
TEST_F(AssocAndRule, AssociationCreateGivesUpAfterSixteenIdsPassedOver) {
    // Associations hold the first 0x110 ids except every 16th, which 17
    // rules policing through policers 0xd0000 .. 0xd0010 key in tree 19.
    constexpr uint32_t kRules = 17, kIds = kRules * 16;
    std::vector<zel_ip_flow_handle_t> held;
    for (uint32_t i = 0; i < kIds; ++i) {
        zel_ip_ingress_assoc_params_t d = cpu_assoc(nullptr, 1000 + i);
        d.action = ZEL_IP_ASSOC_DISCARD;
        zel_ip_flow_handle_t f = nullptr;
        ASSERT_EQ(zel_ip_ingress_association_create(m_, &d, &f), 0u);
        ASSERT_EQ(f->head.hdr.ns_id, kAssocBase + i);
        held.push_back(f);
    }
    for (uint32_t i = 0; i < kIds; i += 16) ASSERT_EQ(zel_ip_ingress_association_delete(m_, held[i]), 0u);
    std::vector<zel_ip_flow_handle_t> rules;
    for (uint32_t i = 0; i < kRules; ++i) {
        zel_ip_filter_action_t a = policed(*qos_, kPolicer, true);
        a.policer = zel_sim_qos_policer_new(sim_, kClashPolicer + i);
        const zel_ip_filter_rule_t r = any_rule();
        zel_ip_flow_handle_t h = nullptr;
        ASSERT_EQ(zel_ip_filter_rule_add(m_, set_, i + 1, &r, &a, &h), 0u);
        rules.push_back(h);
    }
    const zel_ip_ingress_assoc_params_t p = cpu_assoc(assoc_queue_);
    zel_ip_flow_handle_t f = nullptr;
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_ingress_association_create(m_, &p, &f), 0x3000fu);
        EXPECT_NE(cap.text().find("CPU path of ingress association ID 0xd00100 is in use by a filter rule"),
                  std::string::npos)
            << cap.text();
    }
    EXPECT_EQ(f, nullptr);
    // Every id drawn is free again: the next associations that keep no
    // queue entry take them, lowest first.
    for (uint32_t i = 0; i < kRules; ++i) {
        zel_ip_ingress_assoc_params_t d = cpu_assoc(nullptr, 5000 + i);
        d.action = ZEL_IP_ASSOC_DISCARD;
        zel_ip_flow_handle_t g = nullptr;
        ASSERT_EQ(zel_ip_ingress_association_create(m_, &d, &g), 0u);
        EXPECT_EQ(g->head.hdr.ns_id, kAssocBase + i * 16);
        held[i * 16] = g;
    }
    // With one rule fewer in the way, the Send-to-CPU create succeeds.
    ASSERT_EQ(zel_ip_ingress_association_delete(m_, held[0]), 0u);
    ASSERT_EQ(del_commit(rules[1], 2), 0u);
    ASSERT_EQ(zel_ip_ingress_association_delete(m_, held[16]), 0u);
    ASSERT_EQ(zel_ip_ingress_association_create(m_, &p, &f), 0u);
    EXPECT_EQ(f->head.hdr.ns_id, kAssocBase + 16);
}

// ---- fault sweeps --------------------------------------------------------------

hwe_engine_t *eng(SweepEnv &env) { return zel_sim_engine(env.sim); }

uint32_t quietly(const std::function<uint32_t()> &fn) {
    StdoutCapture quiet;
    return fn();
}

// A rule set with rule 1 (policer kPolicer, to the CPU) committed.
struct World {
    zel_ip_rule_set_handle_t set = nullptr;
    zel_ip_flow_handle_t r1 = nullptr, r2 = nullptr;
    std::vector<hwe_action_t> one;  // the CPU path of rule 1 alone
    std::shared_ptr<Qos> qos;
    void make(SweepEnv &env) {
        StdoutCapture quiet;
        qos = std::make_shared<Qos>(env.sim);
        EXPECT_EQ(zel_ip_filter_rule_set_create(env.m, &set), 0u);
        const zel_ip_filter_action_t a = policed(*qos, kPolicer, true);
        const zel_ip_filter_rule_t r = any_rule();
        EXPECT_EQ(zel_ip_filter_rule_add(env.m, set, 1, &r, &a, &r1), 0u);
        EXPECT_EQ(zel_ip_filter_set_commit(env.m, kCommitSet, set), 0u);
        one = cpu_path(eng(env), kPolicer);
    }
    uint32_t add_r2(SweepEnv &env) {
        const zel_ip_filter_action_t a = policed(*qos, kPolicer, true);
        const zel_ip_filter_rule_t r = any_rule();
        return zel_ip_filter_rule_add(env.m, set, 2, &r, &a, &r2);
    }
    uint32_t del_commit(SweepEnv &env, zel_ip_flow_handle_t h, uint32_t idx) {
        return quietly([&] {
            if (uint32_t st = zel_ip_filter_rule_delete(env.m, idx, h)) return st;
            return zel_ip_filter_set_commit(env.m, kCommitSet, set);
        });
    }
};

bool succeeded(const SweepRun &run) { return run.hits == 0 || run.call == "zel_sys_rw_lock_post" || !run.status; }

// A failed add of a second user leaves the first one's use: its entries
// stay, and go only with its own delete.
TEST(SharedKeyFaults, AddOfASecondUser) {
    auto w = std::make_shared<World>();
    SweepOp op;
    op.name = "zel_ip_filter_rule_add with a shared flow key";
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        *w = World{};
        w->make(env);
    };
    op.op = [&](SweepEnv &env) { return w->add_r2(env); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        EXPECT_TRUE(same(cpu_path(eng(env), kPolicer), w->one)) << run.call << "\n" << run.output;
        if (succeeded(run)) {
            ASSERT_NE(w->r2, nullptr);
            EXPECT_EQ(w->del_commit(env, w->r2, 2), 0u);
            EXPECT_TRUE(same(cpu_path(eng(env), kPolicer), w->one));
        } else {
            EXPECT_EQ(w->r2, nullptr);
        }
        EXPECT_EQ(w->del_commit(env, w->r1, 1), 0u);
        EXPECT_EQ(cpu_entries(eng(env)), 0u) << run.call << "\n" << run.output;
    };
    EXPECT_GE(fault_sweep(op).faulted_runs_once, 5u);
}

// An association create that passes over the id a rule's queue entry
// holds, every platform call failing in turn: the rule's entry is never
// touched, a failed create takes nothing (the id passed over included),
// and a create that succeeded goes with its delete.
TEST(SharedKeyFaults, AssociationCreatePassingOverAnId) {
    auto w = std::make_shared<World>();
    zel_ip_ingress_assoc_params_t p{};
    zel_ip_flow_handle_t out = nullptr;
    hwe_action_t rules{};
    uint64_t blocks = 0;
    bool freed_fault = false;  // a run failed the give-back of the id passed over
    SweepOp op;
    op.name = "zel_ip_ingress_association_create passing over an id";
    op.setup = [&](SweepEnv &env) {
        zel::test::sweep_start(env);
        *w = World{};
        w->qos = std::make_shared<Qos>(env.sim);
        EXPECT_EQ(zel_ip_filter_rule_set_create(env.m, &w->set), 0u);
        zel_ip_filter_action_t a = policed(*w->qos, kPolicer, true);
        a.policer = zel_sim_qos_policer_new(env.sim, kClashPolicer);
        const zel_ip_filter_rule_t r = any_rule();
        EXPECT_EQ(quietly([&] { return zel_ip_filter_rule_add(env.m, w->set, 1, &r, &a, &w->r1); }), 0u);
        rules = queue_at(eng(env), kAssocBase);
        p = cpu_assoc(zel_sim_qos_queue_new(env.sim, 0x42));
        // One association made and deleted first: the module's tables exist.
        zel_ip_flow_handle_t f = nullptr;
        EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_create(env.m, &p, &f); }), 0u);
        EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_delete(env.m, f); }), 0u);
        blocks = zel_sim_mem_blocks();
        out = nullptr;
    };
    op.op = [&](SweepEnv &env) { return zel_ip_ingress_association_create(env.m, &p, &out); };
    op.check = [&](SweepEnv &env, const SweepRun &run) {
        EXPECT_TRUE(zel::test::same(queue_at(eng(env), kAssocBase), rules)) << run.call << "\n" << run.output;
        if (out) {
            EXPECT_TRUE(succeeded(run)) << run.call;
            EXPECT_EQ(out->head.hdr.ns_id, kAssocBase + 1);
            if (run.call == "hwe_rsrc_free") {
                freed_fault = true;
                EXPECT_NE(run.output.find("Failed to free ingress namespace flow ID 0xd00000 passed over"),
                          std::string::npos)
                    << run.output;
            }
            EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_delete(env.m, out); }), 0u);
        } else {
            EXPECT_NE(run.status, 0u) << run.call;
            EXPECT_EQ(zel_sim_mem_blocks(), blocks) << run.call;
        }
        if (!run.persist) {
            EXPECT_TRUE(zel::test::same(queue_at(eng(env), kAssocBase + 1), zel::test::default_of(eng(env), 19)))
                << run.call << "\n" << run.output;
        }
        // The module works: the create succeeds again past the rule's key.
        zel_ip_flow_handle_t f = nullptr;
        EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_create(env.m, &p, &f); }), 0u);
        ASSERT_NE(f, nullptr);
        EXPECT_NE(f->head.hdr.ns_id, kAssocBase);
        EXPECT_EQ(quietly([&] { return zel_ip_ingress_association_delete(env.m, f); }), 0u);
        EXPECT_EQ(w->del_commit(env, w->r1, 1), 0u);
        // A persisting fault can leave the failed create's own entries
        // (its id then stays taken); nothing else is left.
        if (!run.persist) {
            EXPECT_EQ(cpu_entries(eng(env)), 0u) << run.call << "\n" << run.output;
        }
    };
    EXPECT_GE(fault_sweep(op).faulted_runs_once, 8u);
    EXPECT_TRUE(freed_fault);
}

// The commit that releases a deleted user: a shared key's entries are
// left alone; the last user's failed release keeps its use, and the
// repeated commit withdraws the entries.
TEST(SharedKeyFaults, CommitOfADeletedUser) {
    for (const bool last : {false, true}) {
        SCOPED_TRACE(last ? "last user" : "one of two users");
        auto w = std::make_shared<World>();
        SweepOp op;
        op.name = std::string("zel_ip_filter_set_commit releasing ") + (last ? "the last user" : "a shared key");
        op.setup = [&](SweepEnv &env) {
            zel::test::sweep_start(env);
            *w = World{};
            w->make(env);
            EXPECT_EQ(quietly([&] { return w->add_r2(env); }), 0u);
            if (last) {
                EXPECT_EQ(w->del_commit(env, w->r2, 2), 0u);
            }
            EXPECT_EQ(quietly([&] { return zel_ip_filter_rule_delete(env.m, 1, w->r1); }), 0u);
        };
        op.op = [&](SweepEnv &env) { return zel_ip_filter_set_commit(env.m, kCommitSet, w->set); };
        op.check = [&](SweepEnv &env, const SweepRun &run) {
            if (!succeeded(run)) {
                EXPECT_EQ(quietly([&] { return zel_ip_filter_set_commit(env.m, kCommitSet, w->set); }), 0u)
                    << run.call << "\n" << run.output;
            }
            if (last) {
                EXPECT_EQ(cpu_entries(eng(env)), 0u) << run.call << "\n" << run.output;
                return;
            }
            // Rule 2 still uses the key: its entries are whole, and go with it.
            EXPECT_TRUE(same(cpu_path(eng(env), kPolicer), w->one)) << run.call << "\n" << run.output;
            EXPECT_EQ(w->del_commit(env, w->r2, 2), 0u);
            EXPECT_EQ(cpu_entries(eng(env)), 0u);
        };
        EXPECT_GE(fault_sweep(op).faulted_runs_once, last ? 4u : 1u);
    }
}

}  // namespace
