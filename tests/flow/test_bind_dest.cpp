// IPv4 as the destination of a bind: a sibling module's F2F or EBCOM bind
// into an egress association is recorded in it by the entry function
// query, the association's delete is refused while the bind stands, and
// the framework's unbind (or a bind that fails after the query) releases
// it. Driven through the framework model's bind driver, as the framework
// runs the sequence.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "bind_test_util.h"
#include "zel_test_fixture.h"

using namespace bindtest;
using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

constexpr uint32_t F2F = ZEL_IP_BIND_F2F;

class BindInto : public ZelTest {
protected:
    BindInto() { initial_log_level_ = ZEL_LOG_ERROR; }
    void SetUp() override {
        ZelTest::SetUp();
        w.make(m_, sim_);
    }
    // A bind of sibling `module` into `dst` (the egress association by
    // default), as the framework hands it to IPv4.
    zel_bind_info_t from(uint32_t module, uint32_t type = F2F, uint32_t mode = 1, void *dst = nullptr) {
        zel_bind_info_t b = request(w.sib[module], nullptr, m_, dst ? dst : w.eassoc, type, 2, 0);
        b.binding_mode = mode;
        return b;
    }
    uint32_t bind(const zel_bind_info_t &b, zel_sim_bind_result_t *r = nullptr) {
        StdoutCapture quiet;
        zel_sim_bind_result_t ignored{};
        return zel_sim_bind(sim_, &b, r ? r : &ignored);
    }
    uint32_t unbind(const zel_bind_info_t &b) {
        StdoutCapture quiet;
        zel_sim_bind_result_t r{};
        return zel_sim_unbind(sim_, &b, &r);
    }
    // The association's delete; *out its log.
    uint32_t delete_assoc(std::string *out = nullptr) {
        StdoutCapture cap;
        const uint32_t st = zel_ip_egress_association_delete(m_, w.eassoc);
        if (out) *out = mask_sites(cap.text());
        return st;
    }
    // The refusal naming `user` as the bind's source module.
    std::string in_use_by(const void *user) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "Egress association 0x%08" PRIxPTR " in use by bind from module 0x%08" PRIxPTR "\n",
                      reinterpret_cast<uintptr_t>(w.eassoc), reinterpret_cast<uintptr_t>(user));
        return line;
    }
    World w;
};

// Every source the query accepts into a flow: the delete is refused with
// the user named while the bind stands, and succeeds after the unbind.
TEST_F(BindInto, DeleteRefusedUntilTheUnbind) {
    struct Row {
        const char *name;
        uint32_t module, type, mode;
    };
    const Row rows[] = {
        {"GTPU F2F", ZEL_IP_MODULE_GTPU, F2F, 1},
        {"IPv6 F2F", ZEL_IP_MODULE_IPV6, F2F, 1},
        {"BFD F2F", ZEL_IP_MODULE_BFD, F2F, 2},
        {"L2TP F2F", ZEL_IP_MODULE_L2TP, F2F, 1},
        {"EBCOM", ZEL_IP_MODULE_EBCOM, ZEL_IP_BIND_EBCOM, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const zel_bind_info_t b = from(row.module, row.type, row.mode);
        ASSERT_EQ(bind(b), 0u);
        std::string out;
        EXPECT_EQ(delete_assoc(&out), 0x3000fu);
        EXPECT_NE(out.find(in_use_by(w.sib[row.module])), std::string::npos) << out;
        ASSERT_EQ(unbind(b), 0u);
        // Unbinding again finds nothing left and changes nothing.
        EXPECT_EQ(unbind(b), 0u);
    }
    EXPECT_EQ(delete_assoc(), 0u);
}

// Each bind holds its own record: two modules, and one module twice.
TEST_F(BindInto, EachBindHoldsItsOwnRecord) {
    const zel_bind_info_t gtpu = from(ZEL_IP_MODULE_GTPU), l2tp = from(ZEL_IP_MODULE_L2TP);
    ASSERT_EQ(bind(gtpu), 0u);
    ASSERT_EQ(bind(gtpu), 0u);
    ASSERT_EQ(bind(l2tp), 0u);
    std::string out;
    ASSERT_EQ(unbind(l2tp), 0u);
    EXPECT_EQ(delete_assoc(&out), 0x3000fu);
    EXPECT_NE(out.find(in_use_by(w.sib[ZEL_IP_MODULE_GTPU])), std::string::npos) << out;
    // L2TP has nothing left: its unbind does not take GTPU's record.
    ASSERT_EQ(unbind(l2tp), 0u);
    ASSERT_EQ(unbind(gtpu), 0u);
    EXPECT_EQ(delete_assoc(), 0x3000fu);  // GTPU's second bind
    ASSERT_EQ(unbind(gtpu), 0u);
    EXPECT_EQ(delete_assoc(), 0u);
}

// Requests that record nothing: refused ones, and binds whose destination
// is not an IPv4 flow (the query does not read dst_flow for them).
TEST_F(BindInto, RefusedOrFlowlessBindsRecordNothing) {
    struct Row {
        const char *name;
        zel_bind_info_t b;
        uint32_t status;
    };
    zel_bind_info_t cpu = from(ZEL_IP_MODULE_GTPU);
    cpu.src_location = ZEL_IP_BIND_LOCATION_CPU;
    const Row rows[] = {
        {"unsupported direction", request(w.sib[ZEL_IP_MODULE_GTPU], nullptr, m_, w.eassoc, F2F, 1, 0), 0x3000fu},
        {"CPU location", cpu, 0x3000fu},
        {"BFD in mode 1", from(ZEL_IP_MODULE_BFD), 0x3000fu},
        {"egress flow as destination", from(ZEL_IP_MODULE_GTPU, F2F, 1, w.eflow), 0x30008u},
        {"IPsec F2M naming the association", from(ZEL_IP_MODULE_IPSEC, ZEL_IP_BIND_F2M), 0u},
        {"Ethernet M2M", request(w.sib[ZEL_IP_MODULE_ETHERNET], nullptr, m_, nullptr, ZEL_IP_BIND_M2M, 2, 0), 0u},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(bind(row.b), row.status);
    }
    EXPECT_EQ(delete_assoc(), 0u);
    // A deleted association is refused by the query and by a release.
    zel_bind_info_t gone = from(ZEL_IP_MODULE_GTPU);
    EXPECT_EQ(bind(gone), 0x30008u);
    StdoutCapture quiet;
    EXPECT_EQ(zel_ip_release_entry_func(m_, &gone), 0x30008u);
    EXPECT_EQ(zel_ip_release_entry_func(m_, nullptr), 0x30008u);
}

// A bind that fails after the query accepted it (here the source's custom
// bind) is given back to IPv4: nothing stays recorded.
uint32_t failing_custom_bind(zel_sys_ctx_t *, const zel_bind_info_t *) { return ZEL_E_INVALID_STATE; }

TEST_F(BindInto, FailedLaterStepReleasesTheRecord) {
    zel_service_table_t gtpu{};
    gtpu.custom_bind = failing_custom_bind;
    ASSERT_EQ(zel_module_service_function_register(m_->sys_ctx, w.sib[ZEL_IP_MODULE_GTPU], &gtpu, &gtpu), 0u);
    zel_bind_info_t b = from(ZEL_IP_MODULE_GTPU);
    b.custom = 1;
    zel_sim_bind_result_t r{};
    EXPECT_EQ(bind(b, &r), static_cast<uint32_t>(ZEL_E_INVALID_STATE));
    EXPECT_STREQ(r.step, "custom_bind");
    EXPECT_EQ(delete_assoc(), 0u);
}

// The service table carries the release for the framework.
TEST_F(BindInto, ReleaseIsRegistered) {
    const zel_service_table_t *t = zel_sim_service_table(sim_, m_);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->release_entry_func, &zel_ip_release_entry_func);
}

}  // namespace
