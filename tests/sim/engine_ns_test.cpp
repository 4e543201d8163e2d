// Namespaces and the memory of NS ids: strict allocation and freeing,
// bounded and zeroed records, SED and MTM parameters, the image's
// namespaces and the hooks the framework model draws interface ids with.
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "../../platform/sim/src/sim_engine_internal.h"
#include "engine_test_util.h"

using namespace enginetest;

namespace {

class NsTest : public EngineTest {
protected:
    hwe_rsrc_t *created(const char *name, uint32_t count, uint32_t base) {
        hwe_rsrc_t *ns = nullptr;
        EXPECT_EQ(0u, hwe_rsrc_create(eng_, 5, name, count, base, &ns));
        return ns;
    }
    hwe_rsrc_t *found(const char *name) {
        hwe_rsrc_t *ns = nullptr;
        EXPECT_EQ(0u, hwe_rsrc_find(eng_, 0, name, &ns)) << name;
        return ns;
    }
};

TEST_F(NsTest, CreateFindAndDestroy) {
    hwe_rsrc_t *ns = created("zel_ipv4_vrd_ids", 64, 0), *again = nullptr;
    ASSERT_NE(nullptr, ns);
    EXPECT_EQ(ns, found("zel_ipv4_vrd_ids"));
    EXPECT_EQ(HWE_E_EXISTS, hwe_rsrc_create(eng_, 5, "zel_ipv4_vrd_ids", 8, 0, &again));
    EXPECT_EQ(HWE_E_EXISTS, hwe_rsrc_create(eng_, 5, "ip_pbr_stats", 8, 0, &again));
    EXPECT_EQ(HWE_E_PARAM, hwe_rsrc_create(eng_, 0, "other", 8, 0, &again));
    EXPECT_EQ(HWE_E_PARAM, hwe_rsrc_create(eng_, 5, "other", 0, 0, &again));
    EXPECT_EQ(HWE_E_PARAM, hwe_rsrc_find(eng_, 5, "zel_ipv4_vrd_ids", &again));
    EXPECT_EQ(HWE_E_NOT_FOUND, hwe_rsrc_find(eng_, 0, "no_such_namespace", &again));

    ASSERT_EQ(0u, hwe_rsrc_destroy(eng_, ns));
    EXPECT_EQ(HWE_E_NOT_FOUND, hwe_rsrc_find(eng_, 0, "zel_ipv4_vrd_ids", &again));
    uint32_t id;
    EXPECT_EQ(HWE_E_PARAM, hwe_rsrc_allocate(ns, 1, &id, nullptr));  // a stale handle
    EXPECT_EQ(HWE_E_PARAM, hwe_rsrc_destroy(eng_, ns));
    EXPECT_NE(nullptr, created("zel_ipv4_vrd_ids", 64, 0));  // the name is free again
}

TEST_F(NsTest, AllocateTakesTheLowestFreeIdUntilExhausted) {
    hwe_rsrc_t *ns = created("ids", 3, 1);
    uint32_t a = 0, b = 0, c = 0, d = 0;
    ASSERT_EQ(0u, hwe_rsrc_allocate(ns, 1, &a, nullptr));
    ASSERT_EQ(0u, hwe_rsrc_allocate(ns, 1, &b, nullptr));
    EXPECT_EQ(1u, a);
    EXPECT_EQ(2u, b);
    ASSERT_EQ(0u, hwe_rsrc_free(ns, a, 1, nullptr));
    ASSERT_EQ(0u, hwe_rsrc_allocate(ns, 1, &c, nullptr));
    EXPECT_EQ(1u, c);
    ASSERT_EQ(0u, hwe_rsrc_allocate(ns, 1, &d, nullptr));
    EXPECT_EQ(3u, d);
    EXPECT_EQ(HWE_E_EXHAUSTED, hwe_rsrc_allocate(ns, 1, &d, nullptr));
}

TEST_F(NsTest, FixedAllocationAndFreeAreAllOrNothing) {
    hwe_rsrc_t *ns = found("ip_if_stats");  // 0x66dea and 0x66deb
    hwe_rsrc_t *vrd = created("vrds", 64, 0);
    ASSERT_EQ(0u, hwe_rsrc_allocate_fixed(vrd, 1, 63));
    struct Case {
        const char *what;
        uint32_t status;
        uint32_t (*call)(hwe_rsrc_t *);
    } cases[] = {
        {"past the end", HWE_E_ID_RANGE, [](hwe_rsrc_t *n) { return hwe_rsrc_allocate_fixed(n, 2, 0x66deb); }},
        {"below the base", HWE_E_ID_RANGE, [](hwe_rsrc_t *n) { return hwe_rsrc_allocate_fixed(n, 1, 0x66de9); }},
        {"free of a free id", HWE_E_ID_RANGE, [](hwe_rsrc_t *n) { return hwe_rsrc_free(n, 0x66dea, 1, nullptr); }},
        {"free of a foreign id", HWE_E_ID_RANGE, [](hwe_rsrc_t *n) { return hwe_rsrc_free(n, 63, 1, nullptr); }},
        {"no ids", HWE_E_PARAM, [](hwe_rsrc_t *n) { return hwe_rsrc_allocate_fixed(n, 0, 0x66dea); }},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.status, c.call(ns)) << c.what;
        EXPECT_EQ(0u, zel_sim_engine_ns_in_use(eng_, "ip_if_stats")) << c.what;
    }
    // One of the two taken: taking both is refused, and so is freeing both.
    ASSERT_EQ(0u, hwe_rsrc_allocate_fixed(ns, 1, 0x66deb));
    EXPECT_EQ(HWE_E_ID_TAKEN, hwe_rsrc_allocate_fixed(ns, 2, 0x66dea));
    EXPECT_FALSE(zel_sim_engine_ns_is_allocated(eng_, "ip_if_stats", 0x66dea));
    EXPECT_EQ(HWE_E_ID_RANGE, hwe_rsrc_free(ns, 0x66dea, 2, nullptr));
    EXPECT_TRUE(zel_sim_engine_ns_is_allocated(eng_, "ip_if_stats", 0x66deb));
    ASSERT_EQ(0u, hwe_rsrc_allocate_fixed(ns, 1, 0x66dea));
    EXPECT_EQ(0u, hwe_rsrc_free(ns, 0x66dea, 2, nullptr));
    EXPECT_EQ(0u, zel_sim_engine_ns_in_use(eng_, "ip_if_stats"));
    EXPECT_EQ(1u, zel_sim_engine_ns_in_use(eng_, "vrds"));
}

TEST_F(NsTest, RecordsAreBoundedAndComeBackZeroed) {
    hwe_rsrc_t *ns = found("ip_filter_stats");  // 32-byte records
    uint32_t id = 0;
    ASSERT_EQ(0u, hwe_rsrc_allocate(ns, 1, &id, nullptr));
    const uint8_t counters[8] = {0, 0, 0, 1, 0, 0, 0, 2};
    uint8_t back[32];
    ASSERT_EQ(0u, hwe_se_state_set(eng_, id, 24, counters, 8));
    ASSERT_EQ(0u, hwe_se_state_get(eng_, id, 0, back, 32));
    EXPECT_EQ(0, std::memcmp(back + 24, counters, 8));
    EXPECT_EQ(0u, back[0]);
    EXPECT_EQ(HWE_E_BOUNDS, hwe_se_state_set(eng_, id, 25, counters, 8));
    EXPECT_EQ(HWE_E_BOUNDS, hwe_se_state_get(eng_, id, 0xfffffff0u, back, 32));
    // Freed, the id names nothing; allocated again, it reads zeros.
    ASSERT_EQ(0u, hwe_rsrc_free(ns, id, 1, nullptr));
    EXPECT_EQ(HWE_E_ID_RANGE, hwe_se_state_get(eng_, id, 0, back, 8));
    uint32_t again = 0;
    ASSERT_EQ(0u, hwe_rsrc_allocate(ns, 1, &again, nullptr));
    ASSERT_EQ(id, again);
    ASSERT_EQ(0u, hwe_se_state_get(eng_, id, 0, back, 32));
    EXPECT_EQ(std::vector<uint8_t>(32, 0), std::vector<uint8_t>(back, back + 32));
    // Ids of namespaces created at run time name no memory.
    hwe_rsrc_t *flows = created("egress_flow_ids", 1600, 1);
    uint32_t flow = 0;
    ASSERT_EQ(0u, hwe_rsrc_allocate(flows, 1, &flow, nullptr));
    EXPECT_EQ(HWE_E_ID_RANGE, hwe_se_state_set(eng_, flow, 0, counters, 8));
}

TEST_F(NsTest, EachNamespaceOfTheImageGivesTheMemoryItsUsersNeed) {
    struct Case {
        const char *ns;
        uint32_t record, sed, mtm;
    } cases[] = {
        {"ip_ingress_assoc", 64, 0, 0}, {"ip_egress_assoc", 64, 16, 0}, {"ip_pbr_stats", 16, 0, 0},
        {"ip_filter_stats", 32, 0, 0},  {"ip_if_stats", 256, 0, 0},    {"ip_qos_stats", 144, 0, 32},
        {ZSIM_SYS_INTF_NAMESPACE, 256, 0, 0},
    };
    uint8_t buf[512] = {1};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ns);
        uint32_t id = 0;
        ASSERT_EQ(0u, hwe_rsrc_allocate(found(c.ns), 1, &id, nullptr));
        EXPECT_EQ(0u, hwe_se_state_set(eng_, id, 0, buf, c.record));
        EXPECT_EQ(HWE_E_BOUNDS, hwe_se_state_set(eng_, id, 0, buf, c.record + 1));
        EXPECT_EQ(c.sed ? 0u : HWE_E_ID_RANGE, hwe_sed_param_set(eng_, id, 0, buf, c.sed ? c.sed : 1));
        if (c.sed) {
            EXPECT_EQ(HWE_E_BOUNDS, hwe_sed_param_set(eng_, id, 1, buf, c.sed));
        }
        EXPECT_EQ(c.mtm ? 0u : HWE_E_ID_RANGE, hwe_mtm_shared_param_mod(eng_, id, buf, c.mtm ? c.mtm : 1));
        if (c.mtm) {
            uint8_t back[32] = {};
            EXPECT_EQ(0u, hwe_mtm_shared_param_get(eng_, id, back, 32));
            EXPECT_EQ(1u, back[0]);
            EXPECT_EQ(HWE_E_BOUNDS, hwe_mtm_shared_param_mod(eng_, id, buf, c.mtm + 1));
        }
    }
}

TEST_F(NsTest, ReassemblyContextsAreReadableFromTheStart) {
    uint8_t rec[64];
    EXPECT_EQ(0u, hwe_se_state_get(eng_, 0x200000, 0, rec, 64));
    EXPECT_EQ(0u, hwe_se_state_get(eng_, 0x2007e3, 0, rec, 64));
    EXPECT_EQ(HWE_E_ID_RANGE, hwe_se_state_get(eng_, 0x2007e4, 0, rec, 64));
    EXPECT_EQ(HWE_E_BOUNDS, hwe_se_state_get(eng_, 0x200000, 0, rec, 65));
    // A planted state reads back as written.
    rec[41] = 1;
    ASSERT_EQ(0u, zel_sim_engine_se_write(eng_, 0x200010, 0, rec, 64));
    uint8_t back[64];
    ASSERT_EQ(0u, hwe_se_state_get(eng_, 0x200010, 0, back, 64));
    EXPECT_EQ(1u, back[41]);
}

// Ids taken, written (zeros too, over zeros and over data), read and
// freed in a seeded random churn read back exactly what an oracle of
// plain byte arrays holds: records of different ids never share bytes, a
// freed id's record comes back zeroed to whoever takes the id next, and
// the two kinds of memory of an id stay apart. Thousands of ids, so the
// records span several of the model's chunks and reuse freed ones.
TEST_F(NsTest, RecordsMatchAnOracleThroughRandomChurn) {
    constexpr uint32_t kBase = 0x00500000, kCount = 70365, kSe = 64, kSed = 16;
    hwe_rsrc_t *ns = found("ip_egress_assoc");
    struct Rec {
        std::vector<uint8_t> se = std::vector<uint8_t>(kSe, 0), sed = std::vector<uint8_t>(kSed, 0);
    };
    std::map<uint32_t, Rec> oracle;
    std::mt19937 rng(20261210);
    auto pick = [&] {
        auto it = oracle.begin();
        std::advance(it, rng() % oracle.size());
        return it->first;
    };
    auto check = [&](uint32_t id) {
        std::vector<uint8_t> se(kSe), sed(kSed);
        ASSERT_EQ(0u, hwe_se_state_get(eng_, id, 0, se.data(), kSe));
        ASSERT_EQ(0u, zel_sim_engine_sed_read(eng_, id, 0, sed.data(), kSed));
        ASSERT_EQ(oracle[id].se, se) << "id 0x" << std::hex << id;
        ASSERT_EQ(oracle[id].sed, sed) << "id 0x" << std::hex << id;
    };
    for (int step = 0; step < 30000; ++step) {
        const uint32_t op = rng() % 10;
        if (oracle.size() < 3000 && (op < 3 || oracle.empty())) {
            uint32_t id = 0;
            if (rng() % 8) {
                ASSERT_EQ(0u, hwe_rsrc_allocate(ns, 1, &id, nullptr));
            } else {  // a sparse one, far from the rest
                id = kBase + 60000 + rng() % (kCount - 60000);
                if (oracle.count(id)) continue;
                ASSERT_EQ(0u, hwe_rsrc_allocate_fixed(ns, 1, id));
            }
            ASSERT_EQ(0u, oracle.count(id));
            oracle[id];
            check(id);
        } else if (op < 5) {
            const uint32_t id = pick();
            ASSERT_EQ(0u, hwe_rsrc_free(ns, id, 1, nullptr));
            oracle.erase(id);
            uint8_t b[4];
            EXPECT_EQ(HWE_E_ID_RANGE, hwe_se_state_get(eng_, id, 0, b, 4));
        } else if (op < 9) {
            const uint32_t id = pick();
            const bool sed = rng() % 4 == 0;
            std::vector<uint8_t> &mem = sed ? oracle[id].sed : oracle[id].se;
            const uint32_t off = rng() % mem.size(), len = 1 + rng() % (mem.size() - off);
            std::vector<uint8_t> buf(len, 0);
            if (rng() % 3)  // else zeros
                for (uint8_t &b : buf) b = static_cast<uint8_t>(rng());
            ASSERT_EQ(0u, sed ? hwe_sed_param_set(eng_, id, off, buf.data(), len)
                              : hwe_se_state_set(eng_, id, off, buf.data(), len));
            std::copy(buf.begin(), buf.end(), mem.begin() + off);
        } else {
            check(pick());
        }
    }
    for (const auto &[id, rec] : oracle) check(id);
}

TEST_F(NsTest, FrameworkHooksDrawInterfaceIdsStrictly) {
    uint32_t a = 0, b = 0;
    ASSERT_EQ(0u, zsim::engine_ns_alloc(eng_, ZSIM_SYS_INTF_NAMESPACE, &a));
    ASSERT_EQ(0u, zsim::engine_ns_alloc(eng_, ZSIM_SYS_INTF_NAMESPACE, &b));
    EXPECT_EQ(0x100u, a);
    EXPECT_EQ(0x101u, b);
    EXPECT_EQ(2u, zsim::engine_ns_in_use(eng_, ZSIM_SYS_INTF_NAMESPACE));
    EXPECT_EQ(0u, zsim::engine_ns_free(eng_, ZSIM_SYS_INTF_NAMESPACE, a));
    EXPECT_EQ(HWE_E_ID_RANGE, zsim::engine_ns_free(eng_, ZSIM_SYS_INTF_NAMESPACE, a));
    EXPECT_EQ(HWE_E_ID_RANGE, zsim::engine_ns_free(eng_, ZSIM_SYS_INTF_NAMESPACE, 0x1000));
    EXPECT_EQ(HWE_E_NOT_FOUND, zsim::engine_ns_alloc(eng_, "no_such_namespace", &a));
    EXPECT_EQ(1u, zsim::engine_ns_in_use(eng_, ZSIM_SYS_INTF_NAMESPACE));
}

TEST(NsImage, VariantsLackOrAddNamespaces) {
    zel_sim_image_t *img = zel_sim_image_default();
    ASSERT_EQ(0, zel_sim_image_remove(img, "ip_qos_stats"));
    EXPECT_EQ(-1, zel_sim_image_remove(img, "ip_qos_stats"));
    // Namespaces with memory may not share ids (memory is found by id).
    EXPECT_EQ(-1, zel_sim_image_add_namespace(img, "clash", 0x66deb, 4, 32));
    EXPECT_EQ(0, zel_sim_image_add_namespace(img, "ids_only", 0x66deb, 4, 0));
    EXPECT_EQ(0, zel_sim_image_add_namespace_ex(img, "pre", 0x900000, 4, 8, 0, 0,
                                                ZEL_SIM_NS_PREALLOCATED));
    hwe_engine_t *eng = zel_sim_engine_create(img);
    zel_sim_image_free(img);
    hwe_rsrc_t *ns = nullptr;
    EXPECT_EQ(HWE_E_NOT_FOUND, hwe_rsrc_find(eng, 0, "ip_qos_stats", &ns));
    EXPECT_EQ(0u, hwe_rsrc_find(eng, 0, "ids_only", &ns));
    EXPECT_EQ(4u, zel_sim_engine_ns_in_use(eng, "pre"));
    uint8_t b[8];
    EXPECT_EQ(0u, hwe_se_state_get(eng, 0x900003, 0, b, 8));
    zel_sim_engine_destroy(eng);
}

}  // namespace

namespace {

// Counters planted by name land big-endian at their byte offsets, as the
// engine's programs write them; the MTM block keeps its other bytes.
// A counter add is a read and a write of the counter's big-endian bytes in
// one access: carries cross bytes, a 4-byte counter wraps without touching
// its neighbour, and a refused add changes nothing.
TEST_F(NsTest, CounterAddsCarryAndWrapInTheirOwnBytes) {
    hwe_rsrc_t *ns = found("ip_filter_stats");  // 32-byte records
    uint32_t id = 0;
    ASSERT_EQ(0u, hwe_rsrc_allocate(ns, 1, &id, nullptr));
    const uint8_t start[16] = {0, 0, 0, 0, 0xff, 0xff, 0xff, 0xfe, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff};
    ASSERT_EQ(0u, zel_sim_engine_se_write(eng_, id, 0, start, 16));
    struct Case {
        uint32_t offset, len;
        uint64_t n;
        std::vector<uint8_t> want;  // bytes 0 to 15 after the add
    };
    const Case cases[] = {
        {0, 4, 1, {0, 0, 0, 1, 0xff, 0xff, 0xff, 0xfe, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff}},
        {4, 4, 3, {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff}},  // wraps, word 0 kept
        {8, 8, 1, {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0}},                 // carries into byte 10
        {2, 4, 0x10000, {0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0}},           // unaligned offset
    };
    for (const Case &c : cases) {
        ASSERT_EQ(0u, zel_sim_engine_se_add(eng_, id, c.offset, c.len, c.n)) << c.offset;
        std::vector<uint8_t> back(16);
        ASSERT_EQ(0u, zel_sim_engine_se_read(eng_, id, 0, back.data(), 16));
        EXPECT_EQ(c.want, back) << "add at " << c.offset;
    }
    std::vector<uint8_t> before(32), after(32);
    ASSERT_EQ(0u, zel_sim_engine_se_read(eng_, id, 0, before.data(), 32));
    EXPECT_EQ(HWE_E_BOUNDS, zel_sim_engine_se_add(eng_, id, 28, 8, 1));
    EXPECT_EQ(HWE_E_PARAM, zel_sim_engine_se_add(eng_, id, 0, 2, 1));
    EXPECT_EQ(HWE_E_PARAM, zel_sim_engine_se_add(nullptr, id, 0, 4, 1));
    ASSERT_EQ(0u, zel_sim_engine_se_read(eng_, id, 0, after.data(), 32));
    EXPECT_EQ(before, after);
    // A free id has no counters; adding 0 to a fresh record keeps it zero.
    ASSERT_EQ(0u, hwe_rsrc_free(ns, id, 1, nullptr));
    EXPECT_EQ(HWE_E_ID_RANGE, zel_sim_engine_se_add(eng_, id, 0, 4, 1));
    ASSERT_EQ(0u, hwe_rsrc_allocate(ns, 1, &id, nullptr));
    ASSERT_EQ(0u, zel_sim_engine_se_add(eng_, id, 0, 8, 0));
    ASSERT_EQ(0u, zel_sim_engine_se_read(eng_, id, 0, after.data(), 32));
    EXPECT_EQ(std::vector<uint8_t>(32, 0), after);
}

// Counter adds made together (one call, a packet's counters) leave each
// record as the same adds one by one do, in order, on fresh records and
// on written ones; the refused ones (a free id, past the record, a width
// other than 4 or 8) change nothing and are counted.
TEST_F(NsTest, CounterAddsMadeTogetherEqualTheAddsOneByOne) {
    hwe_rsrc_t *ns = found("ip_filter_stats");  // 32-byte records
    uint32_t ids[4] = {}, gone = 0;
    for (uint32_t &id : ids) ASSERT_EQ(0u, hwe_rsrc_allocate(ns, 1, &id, nullptr));
    ASSERT_EQ(0u, hwe_rsrc_allocate(ns, 1, &gone, nullptr));
    ASSERT_EQ(0u, hwe_rsrc_free(ns, gone, 1, nullptr));
    const uint8_t start[8] = {0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff};
    for (uint32_t k : {1u, 3u}) ASSERT_EQ(0u, zel_sim_engine_se_write(eng_, ids[k], 8, start, 8));
    // On ids 0 and 1 together, on ids 2 and 3 one by one (id 0 fresh like
    // 2, 1 written like 3).
    std::vector<zel_sim_se_add_t> adds = {
        {0, 0, 4, 1},  {0, 0, 4, 2},          {1, 8, 8, 1},  {1, 12, 4, 1}, {0, 4, 4, 0xffffffffu},
        {0, 4, 4, 1},  {1, 28, 8, 1},         {0, 0, 2, 1},  {1, 16, 8, 0}, {0, 24, 8, 0x100000001ull},
        {9, 0, 4, 1},  {1, 8, 4, 0x80000000}, {0, 32, 4, 1},
    };
    std::mt19937 g(7);
    for (int n = 0; n < 40; ++n) {
        const uint32_t len = g() % 2 ? 4u : 8u;
        const auto k = static_cast<uint32_t>(g() % 2), word = static_cast<uint32_t>(g() % (len == 4 ? 8 : 7));
        adds.push_back({k, 4 * word, len, g() % 3 ? g() : ~0ull});
    }
    uint32_t refused = 0;
    std::vector<zel_sim_se_add_t> together = adds;
    for (size_t i = 0; i < adds.size(); ++i) {
        const uint32_t k = adds[i].ns_id;
        together[i].ns_id = k == 9 ? gone : ids[k];
        refused += zel_sim_engine_se_add(eng_, k == 9 ? gone : ids[k + 2], adds[i].offset, adds[i].len, adds[i].n) != 0;
    }
    EXPECT_EQ(4u, refused);
    EXPECT_EQ(refused, zel_sim_engine_se_add_many(eng_, together.data(), static_cast<uint32_t>(together.size())));
    for (uint32_t k : {0u, 1u}) {
        std::vector<uint8_t> a(32), b(32);
        ASSERT_EQ(0u, zel_sim_engine_se_read(eng_, ids[k], 0, a.data(), 32));
        ASSERT_EQ(0u, zel_sim_engine_se_read(eng_, ids[k + 2], 0, b.data(), 32));
        EXPECT_EQ(b, a) << "record " << k;
    }
    EXPECT_EQ(2u, zel_sim_engine_se_add_many(nullptr, together.data(), 2));
    EXPECT_EQ(3u, zel_sim_engine_se_add_many(eng_, nullptr, 3));
    EXPECT_EQ(0u, zel_sim_engine_se_add_many(eng_, nullptr, 0));
}

TEST_F(NsTest, CountersPlantedByNameAreBigEndianAtTheirOffsets) {
    uint32_t intf = 0, dscp = 0;
    ASSERT_EQ(0u, zsim::engine_ns_alloc(eng_, ZSIM_SYS_INTF_NAMESPACE, &intf));
    hwe_rsrc_t *qos = nullptr;
    ASSERT_EQ(0u, hwe_rsrc_find(eng_, 0, "ip_qos_stats", &qos));
    ASSERT_EQ(0u, hwe_rsrc_allocate(qos, 1, &dscp, nullptr));
    hwe_rsrc_t *filter = nullptr;
    uint32_t rule = 0;
    ASSERT_EQ(0u, hwe_rsrc_find(eng_, 0, "ip_filter_stats", &filter));
    ASSERT_EQ(0u, hwe_rsrc_allocate(filter, 1, &rule, nullptr));
    hwe_rsrc_t *global = nullptr;
    ASSERT_EQ(0u, hwe_rsrc_find(eng_, 0, "ip_if_stats", &global));
    ASSERT_EQ(0u, hwe_rsrc_allocate_fixed(global, 2, 0x66dea));
    struct Case {
        const char *record;
        uint32_t id;
        const char *counter;
        uint64_t value;
        uint32_t offset;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"global", 0x66dea, "rx_pkts", 0x01020304, 0, {0x01, 0x02, 0x03, 0x04}},
        {"global", 0x66dea, "pab_reasm_err", 0xa0b0c0d0, 252, {0xa0, 0xb0, 0xc0, 0xd0}},
        {"global", 0x66dea, "w38", 7, 152, {0, 0, 0, 7}},
        {"interface", intf, "tx_pkts", 0x11223344, 4, {0x11, 0x22, 0x33, 0x44}},
        {"interface", intf, "eth_pad_octets", 0x0102030405060708ull, 152, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"interface-b", dscp, "tm_octets", 0x1122334455667788ull, 72,
         {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}},
        {"interface-b", dscp, "q0", 0xff00000000000001ull, 0, {0xff, 0, 0, 0, 0, 0, 0, 1}},
        {"filter-rule", rule, "bytes", 0x100000002ull, 8, {0, 0, 0, 1, 0, 0, 0, 2}},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(0u, zel_sim_counter_set(eng_, c.record, c.id, c.counter, c.value)) << c.counter;
        std::vector<uint8_t> back(c.bytes.size());
        ASSERT_EQ(0u, zel_sim_engine_se_read(eng_, c.id, c.offset, back.data(), static_cast<uint32_t>(back.size())));
        EXPECT_EQ(back, c.bytes) << c.record << " " << c.counter;
    }
    // The traffic-manager block: written whole, other counters kept.
    ASSERT_EQ(0u, zel_sim_counter_set(eng_, "interface-tm", dscp, "bcast_discards", 0x0a0b0c0d));
    ASSERT_EQ(0u, zel_sim_counter_set(eng_, "interface-tm", dscp, "out_eth_octets", 0x0102));
    uint8_t tm[32];
    ASSERT_EQ(0u, zel_sim_engine_mtm_read(eng_, dscp, tm, 32));
    const uint8_t want[32] = {0, 0, 0, 0, 0x0a, 0x0b, 0x0c, 0x0d, 0, 0, 0, 0, 0, 0, 0, 0,
                              0, 0, 0, 0, 0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 1, 2};
    EXPECT_EQ(0, std::memcmp(tm, want, 32));
    // Refusals.
    EXPECT_EQ(HWE_E_NOT_FOUND, zel_sim_counter_set(eng_, "no-record", intf, "rx_pkts", 1));
    EXPECT_EQ(HWE_E_NOT_FOUND, zel_sim_counter_set(eng_, "interface", intf, "no_counter", 1));
    EXPECT_EQ(HWE_E_NOT_FOUND, zel_sim_counter_set(eng_, "interface", intf, "w", 1));
    EXPECT_EQ(HWE_E_PARAM, zel_sim_counter_set(eng_, "interface", intf, "rx_pkts", 0x100000000ull));
    EXPECT_EQ(HWE_E_BOUNDS, zel_sim_counter_set(eng_, "pbr-rule", intf, "w4", 1));
    EXPECT_EQ(HWE_E_BOUNDS, zel_sim_counter_set(eng_, "interface", intf, "q63", 1));
    EXPECT_EQ(HWE_E_ID_RANGE, zel_sim_counter_set(eng_, "ingress-flow", 0x00d00000, "rx_pkts", 1));
    EXPECT_STREQ("rx_pkts", zel_sim_counter_name("global", 0));
    EXPECT_EQ(nullptr, zel_sim_counter_name("pbr-rule", 1));
    EXPECT_STREQ("global", zel_sim_counter_record_name(0));
}

}  // namespace
