// Threads of mixed operations on shared and own objects at once: routes in
// a domain they share (nested prefixes across threads, so one thread's
// removal falls back to another's cover), routes and invalid destinations
// in domains of their own that they delete and create again, virtual
// interfaces, exception handlers, and handle checks of their own and the
// other threads' objects while those are deleted. Afterwards every tree
// holds what a serial replay of the successful operations, thread after
// thread, produces on a fresh module: the operations commute across
// threads (disjoint keys, or covering relations that depend only on the
// set of prefixes), so any other outcome is a lost or torn update. Runs
// under ThreadSanitizer (label "concurrency").
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "route_test_util.h"
#include "tree/zel_ip_hw_catalogue.h"
#include "zel_test_fixture.h"

using zel::test::ZelTest;

namespace {

constexpr uint32_t kThreads = 4, kSteps = 300, kSharedVrd = 30;

// One successful operation, enough to do it again elsewhere.
struct Op {
    enum Kind { kVrdCreate, kVrdDelete, kRouteAdd, kRouteDel, kDipAdd, kDipRem, kVifCreate, kVifDelete,
                kExcRegister, kExcUnregister } kind;
    bool shared = false;  // in the shared domain (else the thread's own)
    uint32_t a = 0, b = 0, c = 0;
};

// The handles one thread works with, on one module.
struct Own {
    zel_ip_vrd_handle_t vrd = nullptr;
    zel_ip_vif_handle_t vif = nullptr;
    bool vif_in_own = false;  // the interface lives in the own domain
};

uint32_t own_vrd_id(uint32_t t) { return 10 + t; }

// Does `op` for thread `t` with `own` on module `m` (shared domain
// `shared`); returns the status.
uint32_t apply(zel_module_t *m, zel_ip_vrd_handle_t shared, uint32_t t, Own &own, const Op &op) {
    zel_ip_vrd_handle_t vrd = op.shared ? shared : own.vrd;
    switch (op.kind) {
        case Op::kVrdCreate: {
            const uint32_t id = own_vrd_id(t);
            return zel_ip_vrd_create(m, &id, &own.vrd);
        }
        case Op::kVrdDelete: {
            uint32_t st = zel_ip_vrd_delete(m, own.vrd);
            if (st == 0) own.vrd = nullptr;
            return st;
        }
        case Op::kRouteAdd:
        case Op::kRouteDel: {
            zel_ip_route_params_t r{};
            r.vrd = vrd;
            r.dest = op.a;
            r.prefix_len = op.b;
            r.next_hop = op.c;
            return op.kind == Op::kRouteAdd ? zel_ip_route_add(m, &r) : zel_ip_route_delete(m, &r);
        }
        case Op::kDipAdd:
        case Op::kDipRem: {
            zel_ip_invalid_dip_params_t p{op.a, op.b};
            return op.kind == Op::kDipAdd ? zel_ip_invalid_dip_add(m, vrd, &p) : zel_ip_invalid_dip_rem(m, vrd, &p);
        }
        case Op::kVifCreate: {
            zel_ip_vif_params_t p{};
            p.vrd = vrd;
            p.addr = op.a;
            own.vif_in_own = !op.shared;
            return zel_ip_virtual_interface_create(m, &p, &own.vif);
        }
        case Op::kVifDelete: {
            uint32_t st = zel_ip_virtual_interface_delete(m, own.vif);
            if (st == 0) own.vif = nullptr;
            return st;
        }
        case Op::kExcRegister:
        case Op::kExcUnregister: {
            zel_ip_exception_handler_t h{};
            h.domain = op.a;
            h.type = op.b;
            h.action = ZEL_IP_EXC_SEND_TO_CPU_NCA;
            h.target.nca_queue = op.c;
            return op.kind == Op::kExcRegister ? zel_ip_exception_handler_register(m, &h)
                                               : zel_ip_exception_handler_unregister(m, &h);
        }
    }
    return 1;
}

// The next operation of thread `t`: prefixes in the shared domain nest
// across threads (thread 0 holds the /8 over everyone's /16), the own
// domain's prefixes nest within the thread.
Op next_op(std::mt19937 &rng, uint32_t t, const Own &own) {
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    const uint32_t nh = pick(3) == 0 ? 0 : 0x0b000001 + pick(4);
    Op op{};
    switch (pick(12)) {
        case 0:
            // Deleting the domain under its own interface is tried too:
            // the module must refuse it (see run below).
            op.kind = !own.vrd ? Op::kVrdCreate : Op::kVrdDelete;
            break;
        case 1:
        case 2:
        case 3: {
            static const std::array<std::pair<uint32_t, uint32_t>, 4> kShared = {
                {{0x14000000, 8}, {0x14000000, 16}, {0x14000100, 24}, {0x14000180, 25}}};
            auto [dest, len] = kShared[t == 0 ? pick(4) : 1 + pick(3)];
            if (t != 0) dest |= t << 16;  // 20.t.0.0/16 and below, under thread 0's 20.0.0.0/8
            op = {pick(3) ? Op::kRouteAdd : Op::kRouteDel, true, dest, len, nh};
            break;
        }
        case 4:
        case 5:
        case 6: {
            static const std::array<std::pair<uint32_t, uint32_t>, 5> kOwn = {
                {{0, 0}, {0x0a000000, 8}, {0x0a010000, 16}, {0x0a010100, 24}, {0x0a010181, 32}}};
            auto [dest, len] = kOwn[pick(5)];
            op = {pick(3) ? Op::kRouteAdd : Op::kRouteDel, false, dest, len, nh};
            break;
        }
        case 7:
            op = {pick(2) ? Op::kDipAdd : Op::kDipRem, false, 0x0a020000u + (pick(2) << 8), 24, 0};
            break;
        case 8:
            op.kind = own.vif ? Op::kVifDelete : Op::kVifCreate;
            op.shared = pick(2) == 0;
            op.a = 0x0ac80001 + (t << 8);  // 10.200.t.1: distinct per thread in the shared domain
            break;
        default:
            // Pair {domain 3, type t}: each thread its own pair.
            op = {pick(2) ? Op::kExcRegister : Op::kExcUnregister, false, 3, t, 0x100 + pick(16)};
            return op;
    }
    // Without its domain a thread would work in the default one, which the
    // others use too: it makes its domain again instead.
    if (!own.vrd && !op.shared && op.kind != Op::kVrdCreate && op.kind != Op::kVifDelete) return {Op::kVrdCreate};
    return op;
}

// Every entry of every single-pattern tree, printed key and action.
std::vector<std::string> tree_contents(hwe_engine_t *eng) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < zel::ip::kNumTrees; ++i) {
        if (zel::ip::kTreeCatalogue[i].width == 0) continue;
        struct Ctx {
            std::vector<std::string> *out;
            uint32_t tree;
        } ctx{&out, i};
        auto cb = [](void *c, const zel_ptn_t *key, const hwe_action_t *value) -> uint32_t {
            auto *x = static_cast<Ctx *>(c);
            char k[128] = "", a[128] = "";
            zel_ptn_print(key, k, sizeof k);
            zel_ptn_action_print(value, a, sizeof a);
            x->out->push_back("tree " + std::to_string(x->tree) + ": " + k + " -> " + a);
            return 0;
        };
        EXPECT_EQ(zel_sim_engine_list_entries(eng, zel::test::tree_id(eng, i), cb, &ctx), 0u) << i;
    }
    return out;
}

class ReplayConcurrency : public ZelTest {};

TEST_F(ReplayConcurrency, FinalTreesEqualASerialReplayOfTheSuccessfulOperations) {
    zel_ip_vrd_handle_t shared = nullptr;
    const uint32_t shared_id = kSharedVrd;
    ASSERT_EQ(zel_ip_vrd_create(m_, &shared_id, &shared), 0u);
    std::array<std::atomic<void *>, kThreads> published{};  // each thread's domain, for the others' checks
    std::array<std::vector<Op>, kThreads> done;
    std::array<uint64_t, kThreads> checks{};

    auto work = [&](uint32_t t) {
        std::mt19937 rng(1000 + t);
        Own own;
        auto run = [&](const Op &op) {
            const bool in_use = op.kind == Op::kVrdDelete && own.vif && own.vif_in_own;
            const uint32_t st = apply(m_, shared, t, own, op);
            // A domain with a live interface stays: its delete is refused
            // as in use, and the interface can still be deleted later.
            if (in_use) {
                EXPECT_EQ(st, 0x3000fu) << "thread " << t;
            }
            if (st == 0) done[t].push_back(op);
        };
        run({Op::kVrdCreate});
        for (uint32_t s = 0; s < kSteps; ++s) {
            published[t].store(own.vrd);
            run(next_op(rng, t, own));
            published[t].store(own.vrd);
            // Checks of the shared, own and the other threads' objects.
            uint32_t id = 0;
            EXPECT_EQ(zel_ipv4_vrd_valid_handle(shared, &id), 1);
            EXPECT_EQ(id, kSharedVrd);
            if (own.vrd) {
                EXPECT_EQ(zel_ipv4_vrd_valid_handle(own.vrd, &id), 1);
                EXPECT_EQ(id, own_vrd_id(t));
            }
            if (own.vif) {
                EXPECT_EQ(zel_ipv4_vif_valid_handle(own.vif), 1);
            }
            for (uint32_t o = 0; o < kThreads; ++o) {
                void *h = published[o].load();
                id = 99;
                if (h && zel_ipv4_vrd_valid_handle(h, &id)) {
                    // A live domain's own id: o's, or (the block freed and
                    // taken again) another thread's, never a torn record's.
                    EXPECT_TRUE(id >= own_vrd_id(0) && id < own_vrd_id(kThreads)) << id;
                }
                EXPECT_EQ(zel_ipv4_vif_valid_handle(h), 0);
                ++checks[t];
            }
        }
        // Interface ids are handed out in whatever order the threads met:
        // no interface is left when comparing.
        if (own.vif) {
            const uint32_t st = apply(m_, shared, t, own, {Op::kVifDelete});
            EXPECT_EQ(st, 0u) << "thread " << t << ": its interface cannot be deleted";
            if (st == 0) done[t].push_back({Op::kVifDelete});
        }
    };
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
    for (std::thread &th : threads) th.join();

    // The serial replay on a fresh platform and module.
    zel_sim_t *sim2 = zel_sim_create(nullptr);
    ASSERT_NE(sim2, nullptr);
    zel_module_t *m2 = zel_sim_module_new(sim2, "zel_ip", 0, 1);
    ASSERT_EQ(zel_ip_init(m2), 0u);
    zel_ip_vrd_handle_t shared2 = nullptr;
    ASSERT_EQ(zel_ip_vrd_create(m2, &shared_id, &shared2), 0u);
    size_t ops = 0;
    for (uint32_t t = 0; t < kThreads; ++t) {
        Own own;
        for (const Op &op : done[t]) {
            EXPECT_EQ(apply(m2, shared2, t, own, op), 0u)
                << "thread " << t << " op " << op.kind << (op.shared ? " shared " : " own ") << std::hex << op.a
                << "/" << std::dec << op.b;
            ++ops;
        }
    }
    EXPECT_GT(ops, kThreads * kSteps / 2) << "most operations succeed";
    const std::vector<std::string> got = tree_contents(zel_sim_engine(sim_));
    const std::vector<std::string> want = tree_contents(zel_sim_engine(sim2));
    EXPECT_FALSE(want.empty());
    EXPECT_EQ(got, want);
    // Lookups agree too (ranges an unlearn re-pointed are not listed).
    hwe_engine_t *e1 = zel_sim_engine(sim_), *e2 = zel_sim_engine(sim2);
    for (uint32_t vrd : {kSharedVrd, 10u, 11u, 12u, 13u})
        for (uint32_t a : {0x14000000u, 0x14000105u, 0x14010105u, 0x14020185u, 0x14030000u, 0x0a010181u,
                           0x0a010105u, 0x0a0101ffu, 0x0a020005u, 0x0a020105u, 0x0b000000u})
            EXPECT_TRUE(routetest::same(routetest::route_at(e1, vrd, a), routetest::route_at(e2, vrd, a)))
                << "vrd " << vrd << " address " << std::hex << a;
    zel_ip_shutdown(m2);
    zel_sim_module_free(m2);
    zel_sim_destroy(sim2);
}

}  // namespace
