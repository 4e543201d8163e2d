// Symbols, tree statistics, status texts, byte order, time, the CPU send
// pipeline, and fault injection into engine calls.
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "../../platform/sim/src/sim_engine_internal.h"
#include "engine_test_util.h"

using namespace enginetest;

namespace {

class MiscTest : public EngineTest {};

TEST_F(MiscTest, SymbolIdsAreDeterministicDistinctAndNamed) {
    zel_sim_image_t *img = zel_sim_image_default();
    ASSERT_EQ(0, zel_sim_image_remove(img, "zel_ip.ip_napt_lookup"));
    ASSERT_EQ(0, zel_sim_image_add_function(img, "zel_test.extra_fn"));
    hwe_engine_t *variant = zel_sim_engine_create(img);
    zel_sim_image_free(img);
    const char *names[] = {"zel_ip.ip_src_addr_lookup", "zel_ip.ip_lo_pbr_policy_set_lookup",
                           "zel_ip.zel_ip_uli_receive", "zel_ip.VRF_routing_disabled",
                           "zel_ip.ip_association_flow_filter_drop", "zel_ip.test_exception_handler"};
    std::set<uint32_t> ids;
    for (const char *n : names) {
        uint32_t a = 0, b = 0;
        ASSERT_EQ(0u, hwe_ptn_symbol_get_id(eng_, n, &a)) << n;
        ASSERT_EQ(0u, hwe_ptn_symbol_get_id(variant, n, &b)) << n;
        EXPECT_EQ(a, b) << n;             // same name, same id, in every engine
        EXPECT_NE(0u, a) << n;
        EXPECT_LT(a, 0x10000u) << n;      // function ids travel in 16 bits
        EXPECT_STREQ(n, zsim::engine_symbol_name(a));
        ids.insert(a);
    }
    EXPECT_EQ(sizeof names / sizeof names[0], ids.size());
    uint32_t x = 0;
    EXPECT_EQ(HWE_E_NOT_FOUND, hwe_ptn_symbol_get_id(variant, "zel_ip.ip_napt_lookup", &x));
    EXPECT_EQ(HWE_E_NOT_FOUND, hwe_ptn_symbol_get_id(eng_, "zel_test.extra_fn", &x));
    ASSERT_EQ(0u, hwe_ptn_symbol_get_id(variant, "zel_test.extra_fn", &x));
    EXPECT_STREQ("zel_test.extra_fn", zsim::engine_symbol_name(x));
    EXPECT_EQ(nullptr, zsim::engine_symbol_name(0));
    zel_sim_engine_destroy(variant);
}

TEST_F(MiscTest, TreeStatisticsAreDeterministicAndSplitTreesForCompaction) {
    zel_sim_image_t *img = zel_sim_image_default();
    hwe_engine_t *other = zel_sim_engine_create(img);
    zel_sim_image_free(img);
    struct Tree {
        const char *name;
        uint32_t width;
    } trees[] = {{"ip_dest_addr_lookup", 38}, {"ip_ingress_assoc_flow_lookup", 117},
                 {"ip_filter_cpu_path_param_lookup", 28}, {"ip_flow_policing_lookup", 24},
                 {"ip_exception_lookup", 6}, {"ip_ext_filter", 0}};
    int eligible = 0, not_eligible = 0;
    for (const Tree &t : trees) {
        const uint32_t tree = id(std::string("zel_ip.") + t.name);
        hwe_ptn_fn_stats_t a{}, b{};
        ASSERT_EQ(0u, hwe_ptn_fn_stats(eng_, tree, &a)) << t.name;
        ASSERT_EQ(0u, hwe_ptn_fn_stats(other, tree, &b)) << t.name;
        EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a)) << t.name;
        EXPECT_NE(0u, a.root_mem_used);
        EXPECT_NE(0u, a.prog_mem_used);
        (t.width > a.init_table_size ? eligible : not_eligible)++;
    }
    EXPECT_EQ(3, eligible);
    EXPECT_EQ(3, not_eligible);
    hwe_ptn_fn_stats_t s{};
    EXPECT_EQ(HWE_E_NOT_FOUND, hwe_ptn_fn_stats(eng_, 0x9999, &s));
    zel_sim_engine_destroy(other);
}

TEST(EngineStatus, EveryStatusHasItsOwnTextAndUnknownOnesAGenericOne) {
    const std::string unknown = hwe_status_get(0x1ff);
    EXPECT_FALSE(unknown.empty());
    EXPECT_EQ(unknown, hwe_status_get(0x12345));
    std::set<std::string> texts;
    for (uint32_t s = HWE_E_PARAM; s <= HWE_E_BOUNDS; ++s) {
        std::string t = hwe_status_get(s);
        EXPECT_NE(unknown, t) << std::hex << s;
        texts.insert(t);
    }
    EXPECT_EQ(HWE_E_BOUNDS - HWE_E_PARAM + 1, texts.size());
    EXPECT_NE(unknown, hwe_status_get(HWE_OK));
}

TEST(EngineByteOrder, EngineMemoryIsBigEndian) {
    uint32_t be32 = hwe_htonl(0x01020304);
    uint16_t be16 = hwe_htons(0x0506);
    uint8_t b[4];
    std::memcpy(b, &be32, 4);
    EXPECT_EQ(1, b[0]);
    EXPECT_EQ(4, b[3]);
    std::memcpy(b, &be16, 2);
    EXPECT_EQ(5, b[0]);
    EXPECT_EQ(0x01020304u, hwe_ntohl(be32));
    EXPECT_EQ(0x0506u, hwe_ntohs(be16));
    const uint8_t counter[8] = {0, 0, 0, 1, 0, 0, 0, 2};
    uint64_t raw;
    std::memcpy(&raw, counter, 8);
    EXPECT_EQ(0x0000000100000002ULL, hwe_ntohll(raw));
}

TEST(EngineTime, TheClockAdvancesOneMicrosecondPerCall) {
    zel_sim_time_reset();
    hwe_time_t t{};
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(0u, hwe_gettime(&t));
        EXPECT_EQ(0u, t.sec);
        EXPECT_EQ(i, t.usec);
    }
    zel_sim_time_reset();
    ASSERT_EQ(0u, hwe_gettime(&t));
    EXPECT_EQ(0u, t.usec);
}

TEST_F(MiscTest, CpuSendPipelineHandle) {
    uint32_t vp = 0;
    ASSERT_EQ(0u, hwe_vp_handle_get_cpu_ip_pdu_send(eng_, &vp));
    EXPECT_EQ(ZEL_SIM_CPU_IP_PDU_VP, vp);
    EXPECT_EQ(HWE_E_PARAM, hwe_vp_handle_get_cpu_ip_pdu_send(eng_, nullptr));
}

// An armed fault makes the named call fail with the injected status before
// it changes anything; the same call then succeeds once disarmed.
TEST_F(MiscTest, AFaultedCallFailsWithoutChangingState) {
    const uint32_t t2 = id("zel_ip.ip_dest_addr_lookup");
    Key k(38, 0x3f0a01, 22), raised(38, 0x3f0a01, 22);
    raised.raise();
    const hwe_action_t a = value(1, 2);
    hwe_subnet_db_t *db = nullptr;
    ASSERT_EQ(0u, hwe_subnet_create(39, 0, 0, &db));
    hwe_rsrc_t *ns = nullptr;
    ASSERT_EQ(0u, hwe_rsrc_find(eng_, 0, "ip_pbr_stats", &ns));
    uint32_t pbr_id = 0;
    const uint8_t ones[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    struct Case {
        const char *call;
        std::function<uint32_t()> run;
        std::function<uint64_t()> state;  // what the call changes
    } cases[] = {
        {"hwe_ptn_learn", [&] { return hwe_ptn_learn(eng_, t2, k.get(), &a); },
         [&] { return zel_sim_engine_entry_count(eng_, t2); }},
        {"hwe_ptn_unlearn", [&] { return hwe_ptn_unlearn(eng_, t2, k.get(), 0, &a, 0); },
         [&] { return zel_sim_engine_entry_count(eng_, t2); }},
        {"hwe_subnet_add_subnet", [&] { return hwe_subnet_add_subnet(db, raised.get(), &a); },
         [&] { return zel_sim_subnet_count(db); }},
        {"hwe_rsrc_allocate", [&] { return hwe_rsrc_allocate(ns, 1, &pbr_id, nullptr); },
         [&] { return zel_sim_engine_ns_in_use(eng_, "ip_pbr_stats"); }},
        {"hwe_se_state_set", [&] { return hwe_se_state_set(eng_, pbr_id, 0, ones, 16); },
         [&] {
             uint8_t b[16] = {};
             zel_sim_engine_se_read(eng_, pbr_id, 0, b, 16);
             return static_cast<uint64_t>(b[0]);
         }},
        {"hwe_rsrc_free", [&] { return hwe_rsrc_free(ns, pbr_id, 1, nullptr); },
         [&] { return zel_sim_engine_ns_in_use(eng_, "ip_pbr_stats"); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        const uint64_t before = c.state();
        zel_sim_fault_set(c.call, 1, ZEL_SIM_FAULT_ONCE, HWE_E_FAULT);
        EXPECT_EQ(HWE_E_FAULT, c.run());
        EXPECT_EQ(1u, zel_sim_fault_hits());
        EXPECT_EQ(before, c.state());
        zel_sim_fault_clear();
        EXPECT_EQ(0u, c.run());
        EXPECT_NE(before, c.state());
    }
    EXPECT_EQ(0u, hwe_subnet_destroy(db));
}

}  // namespace
