// Tree compaction: which trees a request compacts (width against the
// initial table, flags against the mask), the resume position and the
// wrap-around, the status table, the window in which the module lock is
// let go (a second request, a route on the tree under compaction, a
// route on another thread, a shutdown and a start-up), lookups and memory
// of the engine around a compaction, the log lines (golden text), the
// framework's periodic compaction and the idle lock call.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/zel_ip_priv.h"
#include "tree/zel_ip_hw_catalogue.h"
#include "zel_engine_probe.h"
#include "zel_ip/zel_ip.h"
#include "zel_test_fixture.h"

using namespace zel::ip;
using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

constexpr uint32_t kChanged = 0x300a3, kFrameworkStop = 0x300a2, kEngineStop = 0x300a4, kFailed = 0x30043;

class Compact : public ZelTest {
protected:
    Compact() { initial_log_level_ = ZEL_LOG_ERROR; }
    ZelIpPriv &priv() { return *static_cast<ZelIpPriv *>(m_->priv); }
    hwe_engine_t *eng() { return zel_sim_engine(sim_); }

    // The framework's turn in the window, as a test sets it.
    std::function<uint32_t(zel_compact_ctx_t *)> hook_;
    void SetUp() override {
        ZelTest::SetUp();
        zel_sim_set_compact_hook(
            sim_,
            [](void *self, zel_compact_ctx_t *c) -> uint32_t {
                auto *t = static_cast<Compact *>(self);
                return t->hook_ ? t->hook_(c) : 0;
            },
            this);
    }

    // One request with the platform's system context; output kept.
    std::string out_;
    uint32_t compact(uint32_t mask, uint32_t use_callback = 1) {
        StdoutCapture cap;
        const uint32_t st = zel_ip_compact_func(zel_sim_sys_ctx(sim_), mask, m_, use_callback);
        out_ = cap.text();
        return st;
    }

    uint32_t index_of(uint32_t id) {
        for (uint32_t i = 0; i < kNumTrees; ++i)
            if (zel::test::tree_id(eng(), i) == id) return i;
        return 99;
    }
    uint32_t id_of(uint32_t index) { return zel::test::tree_id(eng(), index); }

    // Tree indexes the engine compacted to the end (status 0) since
    // compaction `from`, in order; stopped ones in *stopped.
    std::vector<uint32_t> compacted(uint64_t from, std::vector<uint32_t> *stopped = nullptr) {
        std::vector<uint32_t> out;
        for (uint64_t i = from; i < zel_sim_engine_compaction_count(eng()); ++i) {
            zel_sim_compaction_t c{};
            EXPECT_EQ(zel_sim_engine_compaction_get(eng(), i, &c), 0);
            if (c.status == 0) out.push_back(index_of(c.tree_id));
            else if (stopped) stopped->push_back(index_of(c.tree_id));
        }
        return out;
    }
    uint64_t mark() { return zel_sim_engine_compaction_count(eng()); }

    uint32_t route_add(uint32_t dest, uint32_t len, uint32_t nh) {
        zel_ip_route_params_t r{};
        r.dest = dest;
        r.prefix_len = len;
        r.next_hop = nh;
        return zel_ip_route_add(m_, &r);
    }
};

// The trees of the default image with a key wider than the initial table
// (24) and flag 0x400: every one but tree 9 has the flag.
const std::vector<uint32_t> kWide0x400 = {0, 2, 4, 8, 16, 17, 18, 19, 21, 22, 29};

// Every catalogued tree eligible by size (InitTableSize 0), except tree 2
// whose initial table is as wide as its key (38) and tree 0 one bit
// narrower than its key (37, eligible).
class CompactAll : public Compact {
protected:
    CompactAll() {
        img_ = zel_sim_image_default();
        for (const TreeSpec &t : kTreeCatalogue)
            if (t.width) zel_sim_image_set_init_table_size(img_, t.name, 0);
        zel_sim_image_set_init_table_size(img_, kTreeCatalogue[kTreeDestAddr].name, 38);
        zel_sim_image_set_init_table_size(img_, kTreeCatalogue[kTreeSrcAddr].name, 37);
        image_ = img_;
    }
    ~CompactAll() override { zel_sim_image_free(img_); }
    zel_sim_image_t *img_;

    // Indexes 0..37 in order starting at `from`, without `skip`.
    static std::vector<uint32_t> cycle(uint32_t from, std::vector<uint32_t> skip) {
        std::vector<uint32_t> out;
        for (uint32_t i = 0; i < kNumTrees; ++i) {
            const uint32_t t = (from + i) % kNumTrees;
            if (std::find(skip.begin(), skip.end(), t) == skip.end()) out.push_back(t);
        }
        return out;
    }
};

const std::vector<uint32_t> kNever = {2, 9, 33, 34, 35, 36};  // by size, flags or rule sets under 0x400

TEST_F(Compact, DefaultImageCompactsTheWideTreesOfTheMask) {
    const uint64_t from = mark();
    EXPECT_EQ(compact(0x400), 0u) << out_;
    EXPECT_EQ(compacted(from), kWide0x400);
    EXPECT_EQ(priv().compacting_tree, 0u);
    EXPECT_EQ(priv().compaction_status, 0u);
    // Without the callback: the same trees, no callback made.
    const uint64_t from2 = mark();
    EXPECT_EQ(compact(0x400, 0), 0u) << out_;
    EXPECT_EQ(compacted(from2), kWide0x400);
    for (uint64_t i = from2; i < mark(); ++i) {
        zel_sim_compaction_t c{};
        ASSERT_EQ(zel_sim_engine_compaction_get(eng(), i, &c), 0);
        EXPECT_EQ(c.callbacks, 0u);
    }
}

// Eligibility: width above InitTableSize (rule-set trees have width 0,
// tree 2's initial table is as wide as its key) and a flag in the mask.
TEST_F(CompactAll, EligibilityByWidthInitialTableAndFlags) {
    struct Case {
        uint32_t mask;
        std::vector<uint32_t> want;
    } cases[] = {
        {0x400, cycle(0, kNever)},                    // all catalogued trees but 9 (and 2: size)
        {0x100, {9}},                                 // the one tree with 0x100
        {0x10, {3}},                                  // 0x415: trees 2 (size) and 3
        {0x800, {}},                                  // no tree has it: nothing, status 0
        {0x0, {}},
    };
    for (const Case &c : cases) {
        const uint64_t from = mark();
        EXPECT_EQ(compact(c.mask), 0u) << std::hex << c.mask << out_;
        EXPECT_EQ(compacted(from), c.want) << std::hex << c.mask;
        EXPECT_EQ(priv().compaction_status, 0u);
        EXPECT_EQ(priv().compacting_tree, 0u);
    }
}

// A failure at tree 20 leaves the resume position there; the next request
// starts at 20 and wraps around through 19.
TEST_F(CompactAll, FailureResumesAtTheTreeAndWrapsAround) {
    const uint32_t t20 = id_of(20);
    hook_ = [&](zel_compact_ctx_t *c) -> uint32_t {
        if (c->tree_id != t20) return 0;
        c->status = 1;  // the framework stops it
        return 1;
    };
    uint64_t from = mark();
    std::vector<uint32_t> stopped;
    EXPECT_EQ(compact(0x400), kFrameworkStop) << out_;
    std::vector<uint32_t> before20;
    for (uint32_t t : cycle(0, kNever))
        if (t < 20) before20.push_back(t);
    EXPECT_EQ(compacted(from, &stopped), before20);
    EXPECT_EQ(stopped, std::vector<uint32_t>{20});
    EXPECT_EQ(priv().compaction_status, 20u);
    EXPECT_EQ(priv().compacting_tree, 0u);

    hook_ = nullptr;
    from = mark();
    EXPECT_EQ(compact(0x400), 0u) << out_;
    EXPECT_EQ(compacted(from), cycle(20, kNever));
    EXPECT_EQ(priv().compaction_status, 0u);
}

// The context record's status decides the request's status; the first
// stopped tree is where the next pass starts.
TEST_F(Compact, StatusTable) {
    struct Case {
        uint32_t status, answer, want;
    } cases[] = {
        {1, 1, kFrameworkStop}, {3, 9, kEngineStop}, {4, 1, kFailed}, {0, 7, kFailed}, {6, 1, kFailed},
    };
    for (const Case &c : cases) {
        hook_ = [&](zel_compact_ctx_t *ctx) -> uint32_t {
            if (ctx->tree_id != id_of(4)) return 0;
            ctx->status = c.status;
            return c.answer;
        };
        priv().compaction_status = 0;
        EXPECT_EQ(compact(0x400), c.want) << c.status;
        EXPECT_EQ(priv().compaction_status, 4u) << c.status;
        EXPECT_EQ(priv().compacting_tree, 0u);
        EXPECT_NE(out_.find("Failed to compact IPv4 tree zel_ip.ip_tunnel_if_lookup"), std::string::npos) << out_;
    }
    // A failing engine call: status 0 in the record, 0x30043.
    hook_ = nullptr;
    priv().compaction_status = 0;
    fail_call("hwe_ptn_compact_fn_cb", 2);
    EXPECT_EQ(compact(0x400), kFailed);
    EXPECT_EQ(priv().compaction_status, 2u);
}

// A request while one runs (its tree still under compaction) warns,
// returns 0 and compacts nothing; the running one goes on.
TEST_F(Compact, RequestWhileOneRunsIsRefusedWithAWarning) {
    ASSERT_EQ(zel_ip_log_level_set(m_, ZEL_LOG_WARNING), 0u);
    uint32_t nested = 99;
    uint64_t during = 0;
    std::string nested_out;
    hook_ = [&](zel_compact_ctx_t *c) -> uint32_t {
        if (c->tree_id != id_of(4) || nested != 99) return 0;
        const uint64_t before = mark();
        nested = zel_ip_compact_func(zel_sim_sys_ctx(sim_), 0x400, m_, 1);  // the lock is let go: same thread
        during = mark() - before;
        return 0;
    };
    const uint64_t from = mark();
    EXPECT_EQ(compact(0x400), 0u) << out_;
    EXPECT_EQ(nested, 0u);
    EXPECT_EQ(during, 0u);
    EXPECT_NE(mask_sites(out_).find("[zel_ip_log: Warning] FILE:LINE Compaction already in progress\n"),
              std::string::npos)
        << mask_sites(out_);
    EXPECT_EQ(compacted(from), kWide0x400);
}

// A route added to the tree under compaction in the window (here inside
// the framework's turn, and from another thread) stops the compaction
// with 0x300a3, resumable at that tree; one added while another tree is
// compacted does not.
TEST_F(Compact, RouteAddedToTheTreeUnderCompactionStopsIt) {
    for (bool other_thread : {false, true}) {
        uint32_t added = 99;
        hook_ = [&](zel_compact_ctx_t *c) -> uint32_t {
            if (c->tree_id != id_of(kTreeDestAddr) || added != 99) return 0;
            auto add = [&] { added = route_add(0x0a000000u + (other_thread << 16), 16, 0xc0000201); };
            if (other_thread) {
                std::thread t(add);  // would wait for ever if the lock were held
                t.join();
            } else {
                add();
            }
            return 0;
        };
        std::vector<uint32_t> stopped;
        const uint64_t from = mark();
        EXPECT_EQ(compact(0x400), kChanged) << out_;
        EXPECT_EQ(added, 0u);
        EXPECT_EQ(compacted(from, &stopped), std::vector<uint32_t>{0});
        EXPECT_EQ(stopped, std::vector<uint32_t>{kTreeDestAddr});
        EXPECT_EQ(priv().compaction_status, kTreeDestAddr);
        EXPECT_EQ(priv().compacting_tree, 0u);
        EXPECT_NE(out_.find("compact status: Tree changed"), std::string::npos) << out_;
        // The route is there; the next request starts at tree 2.
        EXPECT_EQ(zel::test::lookup(eng(), kTreeDestAddr, {63, 0x0a000001u + (other_thread << 16)}).w1 & 1, 1u);
        hook_ = nullptr;
        const uint64_t again = mark();
        EXPECT_EQ(compact(0x400), 0u);
        EXPECT_EQ(compacted(again).front(), kTreeDestAddr);
    }
    // Tree 0 under compaction, a route into tree 2: goes on.
    uint32_t added = 99;
    hook_ = [&](zel_compact_ctx_t *c) -> uint32_t {
        if (c->tree_id == id_of(kTreeSrcAddr) && added == 99) added = route_add(0x0b000000, 8, 0xc0000201);
        return 0;
    };
    EXPECT_EQ(compact(0x2), 0u) << out_;
    EXPECT_EQ(added, 0u);
}

// A shutdown in the window frees the block: the request touches it no
// more (AddressSanitizer would see it) and returns 0x30043. A start-up
// after it attaches a new block, which the request does not take for its
// own either.
TEST_F(Compact, ShutdownInTheWindowEndsTheRequestWithoutTouchingTheBlock) {
    for (bool restart : {false, true}) {
        bool done = false;
        hook_ = [&](zel_compact_ctx_t *c) -> uint32_t {
            if (done || c->tree_id != id_of(4)) return 0;
            done = true;
            EXPECT_EQ(zel_ip_shutdown(m_), 0u);
            if (restart) {
                EXPECT_EQ(zel_ip_init(m_), 0u);
            }
            return 0;
        };
        EXPECT_EQ(compact(0x400), kFailed) << out_;
        EXPECT_NE(out_.find("compact status: Module invalid"), std::string::npos) << out_;
        if (!restart) {
            EXPECT_EQ(m_->priv, nullptr);
            start();
            continue;
        }
        EXPECT_EQ(priv().compacting_tree, 0u);
        EXPECT_EQ(priv().compaction_status, 0u);
        hook_ = nullptr;
        EXPECT_EQ(compact(0x400), 0u);  // the new instance compacts as usual
    }
}

// Lookups answer the same before, during (in the window) and after a
// compaction, and a churned tree's memory shrinks to what its entries need.
TEST_F(Compact, LookupsStayTheSameAndMemoryShrinks) {
    StdoutCapture quiet;
    for (uint32_t i = 0; i < 3000; ++i) ASSERT_EQ(route_add(0x14000000u + (i << 8), 24, 0xc0000201), 0u);
    for (uint32_t i = 0; i < 2900; ++i) {
        zel_ip_route_params_t r{};
        r.dest = 0x14000000u + (i << 8);
        r.prefix_len = 24;
        ASSERT_EQ(zel_ip_route_delete(m_, &r), 0u);
    }
    std::vector<uint32_t> addrs;
    for (uint32_t i = 2850; i < 3010; ++i) addrs.push_back(0x14000005u + (i << 8));
    auto lookups = [&] {
        std::vector<std::string> v;
        for (uint32_t a : addrs) v.push_back(zel::test::str(zel::test::lookup(eng(), kTreeDestAddr, {63, a})));
        return v;
    };
    const std::vector<std::string> before = lookups();
    const uint64_t bytes = zel_sim_engine_tree_bytes(eng(), id_of(kTreeDestAddr));
    int windows = 0;
    hook_ = [&](zel_compact_ctx_t *c) -> uint32_t {
        if (c->tree_id == id_of(kTreeDestAddr)) {
            ++windows;
            EXPECT_EQ(lookups(), before);
        }
        return 0;
    };
    const uint64_t from = mark();
    EXPECT_EQ(zel_ip_compact_func(zel_sim_sys_ctx(sim_), 0x10, m_, 1), 0u);
    EXPECT_GE(windows, 2);
    EXPECT_EQ(lookups(), before);
    zel_sim_compaction_t c{};
    ASSERT_EQ(zel_sim_engine_compaction_get(eng(), from, &c), 0);
    EXPECT_EQ(c.tree_id, id_of(kTreeDestAddr));
    EXPECT_EQ(c.bytes_before, bytes);
    EXPECT_LT(c.bytes_after, bytes);
    EXPECT_EQ(c.bytes_after, zel_sim_engine_tree_bytes(eng(), id_of(kTreeDestAddr)));
}

// The log lines of a pass and of a stopped compaction (golden text).
TEST_F(Compact, LogLines) {
    ASSERT_EQ(zel_ip_log_level_set(m_, ZEL_LOG_INFO), 0u);
    std::string text;
    EXPECT_EQ(compact(0x2), 0u);
    text += out_;
    hook_ = [&](zel_compact_ctx_t *c) -> uint32_t {
        if (c->tree_id != id_of(22)) return 0;
        c->status = 3;
        return 3;
    };
    EXPECT_EQ(compact(0x2), kEngineStop);
    text += out_;
    hook_ = nullptr;
    priv().compacting_tree = id_of(4);  // as if one were running
    EXPECT_EQ(compact(0x2), 0u);
    text += out_;
    priv().compacting_tree = 0;
    zel::test::expect_golden("compact_log.txt", mask_sites(text));
}

// The framework compacts every n operations once switched on; the
// service table carries the request.
TEST_F(Compact, FrameworkRunsThePeriodicCompaction) {
    const zel_service_table_t *t = zel_sim_service_table(sim_, m_);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->compact_func, &zel_ip_compact_func);
    uint32_t st = 99;
    EXPECT_EQ(zel_sim_compact_poll(sim_, &st), 0);  // off
    zel_sim_compact_auto(sim_, 3, 1);
    int ran = 0;
    const uint64_t from = mark();
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(zel_ip_log_enable(m_, 0), 0u);
        if (zel_sim_compact_poll(sim_, &st)) {
            ++ran;
            EXPECT_EQ(st, 0u);
            EXPECT_EQ(i % 3, 2) << "after every third operation";
        }
    }
    EXPECT_EQ(ran, 3);
    EXPECT_EQ(compacted(from).size(), 3 * kWide0x400.size());  // the registered mask: every wide tree
    zel_sim_compact_auto(sim_, 0, 0);
    ASSERT_EQ(zel_ip_log_enable(m_, 0), 0u);
    EXPECT_EQ(zel_sim_compact_poll(sim_, &st), 0);
}

TEST_F(Compact, PerfDataDumpOnlyTakesTheLock) {
    ASSERT_EQ(zel_ip_log_level_set(m_, ZEL_LOG_FUNC), 0u);
    StdoutCapture cap;
    EXPECT_EQ(zel_ipv4_perf_data_dump(m_), 0u);
    const std::string text = cap.text();
    EXPECT_NE(text.find("Entering zel_ipv4_perf_data_dump"), std::string::npos) << text;
    EXPECT_NE(text.find("Exiting zel_ipv4_perf_data_dump"), std::string::npos) << text;
    EXPECT_EQ(zel_ipv4_perf_data_dump(nullptr), 0x30001u);
}

}  // namespace
