// Status names, the exported tables and the handle checks.
#include <gtest/gtest.h>

#include <cstring>

#include "core/zel_ip_objects.h"
#include "core/zel_ip_registry.h"
#include "zel_ip/zel_ip.h"
#include "zel_sim.h"
#include "zel_test_fixture.h"

namespace {

TEST(ErrorName, EveryModuleCodeHasItsName) {
    struct Case {
        uint32_t code;
        const char *name;
    };
    const Case cases[] = {
        {0x1000001, "ZEL_IP_E_NAPT_FLOW_UNAVAILABLE"},
        {0x1000006, "ZEL_IP_E_INVALID_IP_INTERFACE"},
        {0x1000012, "ZEL_IP_E_INVALID_ADDR_PREFIX"},
        {0x1000014, "ZEL_IP_E_INVALID_IP_ADDRESS"},
        {0x1000016, "ZEL_IP_E_INVALID_MTU"},
        {0x100001a, "ZEL_IP_E_INTERNAL_MEMORY_UNAVAILABLE"},
        // The severity nibble is ignored.
        {0x1030016, "ZEL_IP_E_INVALID_MTU"},
        {0x1010001, "ZEL_IP_E_NAPT_FLOW_UNAVAILABLE"},
        // Anything else is unknown: zero, framework codes, the code after
        // the last name, other modules' codes.
        {0, "ZEL_E_IPV4_UNKNOWN"},
        {0x30008, "ZEL_E_IPV4_UNKNOWN"},
        {0x1000000, "ZEL_E_IPV4_UNKNOWN"},
        {0x100001b, "ZEL_E_IPV4_UNKNOWN"},
        {0x2000001, "ZEL_E_IPV4_UNKNOWN"},
    };
    for (const Case &c : cases) EXPECT_STREQ(zel_ipv4_error_name(c.code), c.name) << std::hex << c.code;
    // Every code of the range is named, and names are distinct.
    for (uint32_t c = ZEL_IP_E_NAPT_FLOW_UNAVAILABLE; c <= ZEL_IP_E_INTERNAL_MEMORY_UNAVAILABLE; ++c) {
        EXPECT_EQ(std::strncmp(zel_ipv4_error_name(c), "ZEL_IP_E_", 9), 0);
        if (c > ZEL_IP_E_NAPT_FLOW_UNAVAILABLE) {
            EXPECT_STRNE(zel_ipv4_error_name(c), zel_ipv4_error_name(c - 1));
        }
    }
}

TEST(Tables, NetmaskOfEveryPrefixLength) {
    for (uint32_t n = 0; n <= 32; ++n) {
        uint32_t expect = n == 0 ? 0 : ~0u << (32 - n);
        EXPECT_EQ(ip_bit_mask[n], expect) << n;
    }
    EXPECT_EQ(ip_bit_mask[24], 0xffffff00u);
}

TEST(Tables, ObjectSizesAddUpToTheReportedBudget) {
    uint64_t total = 0;
    for (const auto &row : ip_obj_size)
        total += static_cast<uint64_t>(row.bytes + row.header_bytes) * row.max_instances;
    EXPECT_EQ(total, 17997708u);
    EXPECT_STREQ(ip_obj_size[3].name, "zel-ipoe-interface");
    EXPECT_EQ(ip_obj_size[3].bytes + ip_obj_size[3].header_bytes, 356u);
    EXPECT_EQ(ip_obj_size[6].bytes + ip_obj_size[6].header_bytes, 124u);
    for (uint8_t b : perf_data_log) EXPECT_EQ(b, 0);
}

// Handle checks never follow a pointer they did not hand out.
class HandleChecks : public ::testing::Test {
protected:
    void TearDown() override {
        for (void *p : live_) zel::ip::obj_free(p);
    }
    template <typename T>
    T *make(zel::ip::ObjKind kind) {
        void *p = zel::ip::obj_alloc(sizeof(T), kind);
        live_.push_back(p);
        return static_cast<T *>(p);
    }
    std::vector<void *> live_;
};

TEST_F(HandleChecks, VrdHandle) {
    uint32_t id = 7;
    EXPECT_EQ(zel_ipv4_vrd_valid_handle(nullptr, &id), 1);
    EXPECT_EQ(id, 63u);

    auto *vrd = make<zel_ip_vrd>(zel::ip::ObjKind::kVrd);
    vrd->magic = zel::ip::kVrdMagic;
    vrd->vrd_id = 12;
    EXPECT_EQ(zel_ipv4_vrd_valid_handle(vrd, &id), 1);
    EXPECT_EQ(id, 12u);

    // A record with a wrong magic, a record of another kind and a pointer
    // the module never allocated leave the out value untouched.
    id = 99;
    vrd->magic = 0;
    EXPECT_EQ(zel_ipv4_vrd_valid_handle(vrd, &id), 0);
    auto *other = make<zel_ip_vrd>(zel::ip::ObjKind::kRuleSet);
    other->magic = zel::ip::kVrdMagic;
    EXPECT_EQ(zel_ipv4_vrd_valid_handle(other, &id), 0);
    uint32_t garbage[2] = {zel::ip::kVrdMagic, 5};
    EXPECT_EQ(zel_ipv4_vrd_valid_handle(garbage, &id), 0);
    EXPECT_EQ(zel_ipv4_vrd_valid_handle(reinterpret_cast<void *>(0x10), &id), 0);
    EXPECT_EQ(id, 99u);
}

TEST_F(HandleChecks, FreedRecordIsInvalid) {
    void *p = zel::ip::obj_alloc(sizeof(zel_ip_vrd), zel::ip::ObjKind::kVrd);
    auto *vrd = static_cast<zel_ip_vrd *>(p);
    vrd->magic = zel::ip::kVrdMagic;
    uint32_t id = 0;
    ASSERT_EQ(zel_ipv4_vrd_valid_handle(vrd, &id), 1);
    vrd->magic = 0;
    zel::ip::obj_free(p);
    // The memory goes back to the platform pool; the check must not read it.
    EXPECT_EQ(zel_ipv4_vrd_valid_handle(p, &id), 0);
}

TEST_F(HandleChecks, InterfaceAndFlowKinds) {
    using zel::ip::IntfHead;
    using zel::ip::ObjKind;
    struct Kind {
        ObjKind kind;
        uint32_t type;
        int (*check)(const void *);
    };
    const Kind kinds[] = {
        {ObjKind::kIpoe, zel::ip::kIpoeType, zel_ipv4_interface_valid_handle},
        {ObjKind::kVif, zel::ip::kVifType, zel_ipv4_vif_valid_handle},
        {ObjKind::kTunnel, zel::ip::kTunnelType, zel_ipv4_tunnel_interface_valid_handle},
    };
    for (const Kind &k : kinds) {
        auto *rec = make<IntfHead>(k.kind);
        rec->hdr.magic = ZEL_INTF_HDR_MAGIC;
        rec->type = k.type;
        EXPECT_EQ(k.check(rec), 1);
        for (const Kind &other : kinds) {
            if (other.check != k.check) {
                EXPECT_EQ(other.check(rec), 0);
            }
        }
        rec->hdr.magic = ZEL_FLOW_HDR_MAGIC;  // header magic of another family
        EXPECT_EQ(k.check(rec), 0);
        EXPECT_EQ(k.check(nullptr), 0);
    }
    auto *flow = make<zel::ip::FlowHead>(ObjKind::kFlow);
    flow->hdr.magic = ZEL_FLOW_HDR_MAGIC;
    flow->type = zel::ip::kFlowType;
    EXPECT_EQ(zel_ipv4_flow_valid_handle(flow), 1);
    flow->type = zel::ip::kIpoeType;
    EXPECT_EQ(zel_ipv4_flow_valid_handle(flow), 0);
    EXPECT_EQ(zel_ipv4_flow_valid_handle(nullptr), 0);

    auto *rs = make<uint32_t>(ObjKind::kRuleSet);
    *rs = zel::ip::kRuleSetMagic;
    EXPECT_EQ(zel_ipv4_valid_rule_set_handle(rs), 1);
    EXPECT_EQ(zel_ipv4_valid_policy_set_handle(rs), 0);
    auto *ps = make<uint32_t>(ObjKind::kPolicySet);
    *ps = zel::ip::kPolicySetMagic;
    EXPECT_EQ(zel_ipv4_valid_policy_set_handle(ps), 1);
    EXPECT_EQ(zel_ipv4_valid_rule_set_handle(nullptr), 0);
}

}  // namespace

namespace {

class Ownership : public zel::test::ZelTest {};

// Records an instance allocated and the application never deleted do not
// outlive the instance: their handles become invalid and their memory
// returns to the platform.
TEST_F(Ownership, ShutdownFreesTheInstancesRecords) {
    void *rec;
    {
        zel::ip::OwnerScope scope(m_);
        rec = zel::ip::obj_alloc(sizeof(zel_ip_vrd), zel::ip::ObjKind::kVrd);
    }
    ASSERT_NE(rec, nullptr);
    static_cast<zel_ip_vrd *>(rec)->magic = zel::ip::kVrdMagic;
    // A record of another owner is left alone.
    void *foreign = zel::ip::obj_alloc(sizeof(zel_ip_vrd), zel::ip::ObjKind::kVrd);
    static_cast<zel_ip_vrd *>(foreign)->magic = zel::ip::kVrdMagic;
    uint32_t id;
    ASSERT_EQ(zel_ipv4_vrd_valid_handle(rec, &id), 1);
    stop();
    EXPECT_EQ(zel_ipv4_vrd_valid_handle(rec, &id), 0);
    EXPECT_EQ(zel_ipv4_vrd_valid_handle(foreign, &id), 1);
    zel::ip::obj_free(foreign);
    EXPECT_EQ(mem_delta(), 0);
}

}  // namespace
