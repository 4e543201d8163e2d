// Module-wide settings and CPU traffic: the default TTL and its parameter
// record, the service-function update, receive metadata decoded from
// hand-written bytes, send headers checked byte for byte against
// hand-written bytes, the refusals, and fault sweeps of all four calls.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/zel_ip_priv.h"
#include "zel_fault_sweep.h"
#include "zel_test_fixture.h"

using zel::test::mask_sites;
using zel::test::StdoutCapture;
using zel::test::ZelTest;

namespace {

const std::string kErr = "[zel_ip_log: ERROR] FILE:LINE ";
const std::string kFatal = "[zel_ip_log: FATAL] FILE:LINE ";
const std::string kWarn = "[zel_ip_log: Warning] FILE:LINE ";
const std::string kAnon = "[zel_unknown_log: ERROR] FILE:LINE ";

uint32_t default_egress_id(zel_module_t *m) {
    return static_cast<const zel::ip::ZelIpPriv *>(m->priv)->default_egress_assoc_flow_id;
}
uint8_t module_default_ttl(zel_module_t *m) {
    return static_cast<const zel::ip::ZelIpPriv *>(m->priv)->default_ttl;
}

std::vector<uint8_t> sed_bytes(zel_sim_t *sim, uint32_t ns_id) {
    std::vector<uint8_t> b(16, 0xee);
    EXPECT_EQ(zel_sim_engine_sed_read(zel_sim_engine(sim), ns_id, 0, b.data(), 16), 0u);
    return b;
}

std::vector<uint8_t> ttl_record(uint8_t ttl) {
    std::vector<uint8_t> b(16, 0);
    b[0] = ttl;
    return b;
}

std::string hex(const uint8_t *b, size_t n) {
    std::string s;
    char t[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(t, sizeof t, "%02x", b[i]);
        s += t;
        if (i % 4 == 3 && i + 1 < n) s += ' ';
    }
    return s;
}

class Settings : public ZelTest {
protected:
    Settings() { initial_log_level_ = ZEL_LOG_WARNING; }
    void SetUp() override {
        ZelTest::SetUp();
        zel_sim_pdu_clear();
    }
    std::string status_text(uint32_t st) { return zel_sys_status_get(m_->sys_ctx, st); }
};

// ---- default TTL -------------------------------------------------------------

TEST_F(Settings, DefaultTtlWritesTheDefaultEgressParameters) {
    const uint32_t id = default_egress_id(m_);
    EXPECT_EQ(sed_bytes(sim_, id), ttl_record(100));
    EXPECT_EQ(module_default_ttl(m_), 100);

    for (uint8_t ttl : {uint8_t{255}, uint8_t{1}, uint8_t{64}}) {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_default_ttl_config(m_, ttl), 0u);
        EXPECT_EQ(cap.text(), "");
        EXPECT_EQ(sed_bytes(sim_, id), ttl_record(ttl));
        EXPECT_EQ(module_default_ttl(m_), ttl);
    }

    // 0 is refused in the anonymous form; nothing changes.
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_default_ttl_config(m_, 0), 0x30008u);
        EXPECT_EQ(mask_sites(cap.text()), kAnon + "TTL value must be non-zero\n");
    }
    EXPECT_EQ(sed_bytes(sim_, id), ttl_record(64));
    EXPECT_EQ(module_default_ttl(m_), 64);

    // An engine refusal: 0x1007f, the old default stays.
    fail_call("hwe_sed_param_set");
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_default_ttl_config(m_, 9), 0x1007fu);
        EXPECT_EQ(mask_sites(cap.text()), kFatal + "Failed to write SED params, RTE Error: " +
                                              hwe_status_get(HWE_E_FAULT) + "\n" + kFatal +
                                              status_text(0x1007f) + "\n");
    }
    EXPECT_EQ(sed_bytes(sim_, id), ttl_record(64));
    EXPECT_EQ(module_default_ttl(m_), 64);
}

// ---- service functions ---------------------------------------------------------

TEST_F(Settings, ServiceFunctionUpdateKeepsTheFunctionsAndClearsTheFlowIds) {
    const zel_service_table_t *reg = zel_sim_service_table(sim_, m_);
    ASSERT_NE(reg, nullptr);
    const zel_service_table_t at_start = *reg;
    EXPECT_NE(at_start.flow_fn_id[0] | at_start.flow_fn_id[1] | at_start.flow_fn_id[2], 0);

    ASSERT_EQ(zel_ip_service_function_update(m_), 0u);
    zel_service_table_t want = at_start;
    want.flow_fn_id[0] = want.flow_fn_id[1] = want.flow_fn_id[2] = 0;
    const zel_service_table_t *now = zel_sim_service_table(sim_, m_);
    ASSERT_NE(now, nullptr);
    EXPECT_EQ(std::memcmp(now, &want, sizeof want), 0);
    EXPECT_EQ(now->shutdown, &zel_ip_shutdown);
    EXPECT_EQ(now->error_name, &zel_ipv4_error_name);

    fail_call("zel_module_service_function_update", 1, ZEL_E_INVALID_STATE);
    StdoutCapture cap;
    EXPECT_EQ(zel_ip_service_function_update(m_), 0x1000fu);
    EXPECT_EQ(mask_sites(cap.text()), kFatal + "Failed to register the service functions\n" + kFatal +
                                          status_text(0x1000f) + "\n");
}

// ---- receive metadata ----------------------------------------------------------

zel_ip_cpu_recv_meta_t meta_of(std::initializer_list<uint8_t> bytes) {
    static_assert(sizeof(zel_ip_cpu_recv_meta_t) == 20);
    zel_ip_cpu_recv_meta_t m;
    EXPECT_EQ(bytes.size(), sizeof m);
    std::memcpy(&m, bytes.begin(), sizeof m);
    return m;
}

TEST_F(Settings, ReceiveMetadataDecodesHandWrittenBytes) {
    static_assert(sizeof(zel_ip_cpu_recv_params_t) == 32);
    zel_sim_eioa_map(sim_, 5, 0x2a);
    struct Case {
        const char *what;
        zel_ip_cpu_recv_meta_t meta;
        zel_ip_cpu_recv_params_t want;
        std::string output;
    };
    const Case cases[] = {
        {"G 513 gives 1, mapped port",
         meta_of({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x05, 0x0a, 0x0b, 0x0c, 0x03, 0x0d,
                  0x0e, 0x0f, 0xe1, 0xf2, 0x02, 0x01}),
         {0x2a, 3, 0x0a0b0c, 0x0d0e0f, 0x11223344, 0x55667788, 0xe1, 0xf2, 1, 0, {0, 0}},
         ""},
        {"G 512 stays 512",
         meta_of({0, 0, 0, 1, 0, 0, 0, 2, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x00}),
         {0x2a, 0, 0, 0, 1, 2, 0, 0, 512, 0, {0, 0}},
         ""},
        {"G 0xffff gives 0xfdff",
         meta_of({0, 0, 0, 0, 0, 0, 0, 0, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}),
         {0x2a, 0, 0, 0, 0, 0, 0, 0, 0xfdff, 0, {0, 0}},
         ""},
        {"type 9: D as a 16-bit number",
         meta_of({0xff, 0xff, 0xff, 0xff, 0x80, 0, 0, 1, 0x05, 0xff, 0xff, 0xff, 0x09, 0xab, 0xcd,
                  0xef, 0x7f, 0x80, 0x01, 0xff}),
         {0x2a, 9, 0xffffff, 0, 0xffffffff, 0x80000001, 0x7f, 0x80, 0x01ff, 0xcdef, {0, 0}},
         ""},
        {"unmappable port 200 passes itself",
         meta_of({0, 0, 0, 0, 0, 0, 0, 0, 200, 0, 0, 0, 0x08, 0x12, 0x34, 0x56, 0, 0, 0, 0}),
         {200, 8, 0, 0x123456, 0, 0, 0, 0, 0, 0, {0, 0}},
         kWarn + "Failed to map EIOA logical port ID 200 to EIOA port ID\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        zel_ip_cpu_recv_params_t got;
        std::memset(&got, 0xaa, sizeof got);  // cleared by the call, padding included
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_cpu_recv_task_param(m_, &c.meta, &got), 0u);
        EXPECT_EQ(mask_sites(cap.text()), c.output);
        EXPECT_EQ(hex(reinterpret_cast<const uint8_t *>(&got), sizeof got),
                  hex(reinterpret_cast<const uint8_t *>(&c.want), sizeof c.want));
    }
}

TEST_F(Settings, ReceiveMetadataRefusesNullPointers) {
    zel_ip_cpu_recv_meta_t meta{};
    zel_ip_cpu_recv_params_t out{};
    const std::string text = kErr + "Invalid NULL parameter\n" + kErr + status_text(0x30008) + "\n";
    StdoutCapture cap1;
    EXPECT_EQ(zel_ip_cpu_recv_task_param(m_, nullptr, &out), 0x30008u);
    EXPECT_EQ(mask_sites(cap1.text()), text);
    StdoutCapture cap2;
    EXPECT_EQ(zel_ip_cpu_recv_task_param(m_, &meta, nullptr), 0x30008u);
    EXPECT_EQ(mask_sites(cap2.text()), text);
}

// ---- PDU send ------------------------------------------------------------------

zel_ip_send_profile_t profile(uint32_t type, zel_ip_vrd_handle_t vrd) {
    zel_ip_send_profile_t p{};
    p.type = type;
    p.vrd = vrd;
    p.ph_word0 = 0x70000007;
    p.ph_word1 = 0x90000009;
    p.p = 0x1234;
    p.q = 0x5678;
    p.r = 0x11;
    p.s = 0x22;
    p.t = 0x33;
    p.u = 1;
    p.v = 1;
    return p;
}

TEST_F(Settings, SendHeadersByteForByte) {
    zel_ip_vrd_handle_t vrd5 = nullptr;
    const uint32_t five = 5;
    ASSERT_EQ(zel_ip_vrd_create(m_, &five, &vrd5), 0u);
    int pdu_a = 0, pdu_b = 0;

    zel_ip_send_profile_t t0 = profile(ZEL_IP_SEND_TYPE_0, vrd5);
    t0.arg.value = 0xdeadbeef;
    zel_ip_send_profile_t t2 = profile(ZEL_IP_SEND_TYPE_2, nullptr);
    t2.arg.value = 0xdeadbeef;  // not sent for type 2
    t2.p = 0xffff;              // P + R wraps at 16 bits
    t2.r = 2;
    t2.u = 0;
    t2.v = 2;  // flags count only when 1
    struct Case {
        const char *what;
        zel_ip_send_profile_t prof;
        std::string header;
    };
    const Case cases[] = {
        {"type 0 in domain 5, both flags", t0,
         "ffffff00 00000000 00004512 00000000 0000ffff 11330014 00000000 deadbeef "
         "12345678 22000005 00000002 00000000 00000000 00000000 00000000 00000000"},
        {"type 2 in the default domain, no flag", t2,
         "ffffff00 00000000 00000100 00000000 0000ffff 02330001 00000000 00000000 "
         "ffff5678 2200003f 00000002 00000000 00000000 00000000 00000000 00000000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        zel_sim_pdu_clear();
        StdoutCapture cap;
        ASSERT_EQ(zel_ip_pdu_send(m_, &c.prof, &pdu_a, &pdu_b), 0u);
        EXPECT_EQ(cap.text(), "");
        ASSERT_EQ(zel_sim_pdu_count(), 1u);
        zel_sim_pdu_t sent;
        ASSERT_EQ(zel_sim_pdu_get(0, &sent), 1);
        EXPECT_EQ(hex(sent.header, sizeof sent.header), c.header);
        EXPECT_EQ(sent.word4, 0x70000007u);
        EXPECT_EQ(sent.word5, 0x90000009u);
        EXPECT_EQ(sent.all_ones, 0xffffffffu);
        EXPECT_EQ(sent.pipeline[0], 1u);
        EXPECT_EQ(sent.pipeline[1], ZEL_SIM_CPU_IP_PDU_VP);
        EXPECT_EQ(sent.pdu1, &pdu_a);
        EXPECT_EQ(sent.pdu2, &pdu_b);
        EXPECT_EQ(sent.a, 1u);
        EXPECT_EQ(sent.b, 0u);
        EXPECT_EQ(sent.c, 0u);
    }
}

TEST_F(Settings, SendRefusals) {
    zel_ip_vrd_handle_t vrd5 = nullptr;
    const uint32_t five = 5;
    ASSERT_EQ(zel_ip_vrd_create(m_, &five, &vrd5), 0u);
    int pdu = 0, stranger = 0;
    const std::string bad = kErr + status_text(0x30008) + "\n";

    auto with = [](zel_ip_send_profile_t p, auto &&edit) {
        edit(p);
        return p;
    };
    struct Case {
        const char *what;
        const zel_ip_send_profile_t *prof;
        void *pdu1, *pdu2;
        uint32_t pipeline_calls;  // the pipeline handle was fetched
        std::string text;
    };
    const zel_ip_send_profile_t flow_in_vrd5 = profile(ZEL_IP_EGRESS_FLOW_TX, vrd5);
    const zel_ip_send_profile_t flow_garbage =
        with(profile(ZEL_IP_EGRESS_FLOW_TX, nullptr),
             [&](auto &p) { p.arg.egress_flow = reinterpret_cast<zel_ip_flow_handle_t>(&stranger); });
    const zel_ip_send_profile_t flow_null = profile(ZEL_IP_EGRESS_FLOW_TX, nullptr);
    const zel_ip_send_profile_t bad_vrd =
        profile(ZEL_IP_SEND_TYPE_0, reinterpret_cast<zel_ip_vrd_handle_t>(&stranger));
    const zel_ip_send_profile_t type3 = profile(3, nullptr);
    const zel_ip_send_profile_t ok = profile(ZEL_IP_SEND_TYPE_0, nullptr);
    const Case cases[] = {
        {"NULL profile", nullptr, &pdu, &pdu, 0, kErr + "Invalid input pointer parameter\n" + bad},
        {"NULL first PDU", &ok, nullptr, &pdu, 0, kErr + "Invalid input pointer parameter\n" + bad},
        {"NULL second PDU", &ok, &pdu, nullptr, 0, kErr + "Invalid input pointer parameter\n" + bad},
        {"garbage VRD handle", &bad_vrd, &pdu, &pdu, 0, kErr + "Invalid VIrtual Routing Domain handle \n" + bad},
        {"type 1 in domain 5", &flow_in_vrd5, &pdu, &pdu, 0,
         kErr + "Cant't specify vrd when type is ZEL_IP_EGRESS_FLOW_TX\n" + bad},
        {"type 1, NULL flow", &flow_null, &pdu, &pdu, 0, kErr + "Invalid egress flow handle\n" + bad},
        {"type 1, garbage flow", &flow_garbage, &pdu, &pdu, 0, kErr + "Invalid egress flow handle\n" + bad},
        {"type 3, after the pipeline handle", &type3, &pdu, &pdu, 1, kErr + "Invalid Send Profile type\n" + bad},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        zel_sim_counters_reset();
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_pdu_send(m_, c.prof, c.pdu1, c.pdu2), 0x30008u);
        EXPECT_EQ(mask_sites(cap.text()), c.text);
        EXPECT_EQ(zel_sim_call_count("hwe_vp_handle_get_cpu_ip_pdu_send"), c.pipeline_calls);
        EXPECT_EQ(zel_sim_pdu_count(), 0u);
    }

    // No pipeline: 0x1000b. A refused send: 0x30008, whatever the service said.
    fail_call("hwe_vp_handle_get_cpu_ip_pdu_send");
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_pdu_send(m_, &ok, &pdu, &pdu), 0x1000bu);
        EXPECT_EQ(mask_sites(cap.text()), kFatal + "Failed to get IP pipeline handle, RTE Error: " +
                                              hwe_status_get(HWE_E_FAULT) + "\n" + kFatal +
                                              status_text(0x1000b) + "\n");
    }
    fail_call("zel_ph_cpu_pdu_send", 1, ZEL_E_NO_MEMORY);
    {
        StdoutCapture cap;
        EXPECT_EQ(zel_ip_pdu_send(m_, &ok, &pdu, &pdu), 0x30008u);
        EXPECT_EQ(mask_sites(cap.text()), kErr + "Failed to send PDU via PH\n" + bad);
    }
    EXPECT_EQ(zel_sim_pdu_count(), 0u);
}

// ---- fault sweeps ----------------------------------------------------------------

using zel::test::fault_sweep;
using zel::test::SweepEnv;
using zel::test::SweepOp;
using zel::test::SweepRun;

// The lock calls fail as every operation's do; under a persisting fault
// the release fails too and its status replaces the result.
bool lock_failure(const SweepRun &run) {
    if (run.call == "zel_sys_rw_lock_wait") {
        EXPECT_EQ(run.status, 0x301fau) << run.output;
        EXPECT_NE(run.output.find("Failed to acquire IP module rw write lock"), std::string::npos);
        return true;
    }
    if (run.call == "zel_sys_rw_lock_post" || (run.persist && run.hits)) {
        EXPECT_EQ(run.status, 0x101fau) << run.output;
        EXPECT_NE(run.output.find("Failed to release IP module rw lock"), std::string::npos);
        return true;
    }
    return false;
}

TEST(SettingsFaults, DefaultTtl) {
    SweepOp op;
    op.name = "zel_ip_default_ttl_config";
    op.op = [](SweepEnv &env) { return zel_ip_default_ttl_config(env.m, 17); };
    op.check = [](SweepEnv &env, const SweepRun &run) {
        const bool written = run.status == 0 || run.call == "zel_sys_rw_lock_post";
        if (!lock_failure(run) && run.hits) {
            EXPECT_EQ(run.call, "hwe_sed_param_set");
            EXPECT_EQ(run.status, 0x1007fu);
            EXPECT_NE(run.output.find("Failed to write SED params"), std::string::npos);
        }
        EXPECT_EQ(sed_bytes(env.sim, default_egress_id(env.m)), ttl_record(written ? 17 : 100));
        EXPECT_EQ(module_default_ttl(env.m), written ? 17 : 100);
        EXPECT_EQ(zel_ip_default_ttl_config(env.m, 18), 0u);
        EXPECT_EQ(sed_bytes(env.sim, default_egress_id(env.m)), ttl_record(18));
    };
    fault_sweep(op);
}

TEST(SettingsFaults, ServiceFunctionUpdate) {
    SweepOp op;
    op.name = "zel_ip_service_function_update";
    op.op = [](SweepEnv &env) { return zel_ip_service_function_update(env.m); };
    op.check = [](SweepEnv &env, const SweepRun &run) {
        if (!lock_failure(run) && run.hits) {
            EXPECT_EQ(run.call, "zel_module_service_function_update");
            EXPECT_EQ(run.status, 0x10000u | HWE_E_FAULT);
        }
        EXPECT_EQ(zel_ip_service_function_update(env.m), 0u);
        EXPECT_EQ(zel_sim_service_table(env.sim, env.m)->flow_fn_id[0], 0);
    };
    fault_sweep(op);
}

TEST(SettingsFaults, ReceiveMetadata) {
    SweepOp op;
    op.name = "zel_ip_cpu_recv_task_param";
    op.log_level = ZEL_LOG_WARNING;
    op.setup = [](SweepEnv &env) {
        zel::test::sweep_start(env);
        zel_sim_eioa_map(env.sim, 7, 70);
    };
    op.op = [](SweepEnv &env) {
        zel_ip_cpu_recv_meta_t meta{};
        meta.logical_port = 7;
        zel_ip_cpu_recv_params_t out{};
        uint32_t st = zel_ip_cpu_recv_task_param(env.m, &meta, &out);
        // A port the framework could not map passes itself.
        if (st == 0) {
            EXPECT_EQ(out.eioa_port, zel_sim_fault_hits() ? 7u : 70u);
        }
        return st;
    };
    op.check = [](SweepEnv &, const SweepRun &run) {
        if (!lock_failure(run) && run.hits) {
            EXPECT_EQ(run.call, "zel_sys_eioa_port_number_get");
            EXPECT_EQ(run.status, 0u);
            EXPECT_NE(run.output.find("Failed to map EIOA logical port ID 7 to EIOA port ID"), std::string::npos);
        }
    };
    fault_sweep(op);
}

TEST(SettingsFaults, PduSend) {
    SweepOp op;
    op.name = "zel_ip_pdu_send";
    op.setup = [](SweepEnv &env) {
        zel::test::sweep_start(env);
        zel_sim_pdu_clear();
    };
    op.op = [](SweepEnv &env) {
        static int pdu;
        const zel_ip_send_profile_t p = profile(ZEL_IP_SEND_TYPE_2, nullptr);
        return zel_ip_pdu_send(env.m, &p, &pdu, &pdu);
    };
    op.check = [](SweepEnv &, const SweepRun &run) {
        const bool sent = run.status == 0 || run.call == "zel_sys_rw_lock_post";
        if (!lock_failure(run) && run.hits) {
            if (run.call == "hwe_vp_handle_get_cpu_ip_pdu_send") {
                EXPECT_EQ(run.status, 0x1000bu);
            } else {
                EXPECT_EQ(run.call, "zel_ph_cpu_pdu_send");
                EXPECT_EQ(run.status, 0x30008u);
                EXPECT_NE(run.output.find("Failed to send PDU via PH"), std::string::npos);
            }
        }
        EXPECT_EQ(zel_sim_pdu_count(), sent ? 1u : 0u);
        zel_sim_pdu_clear();
    };
    fault_sweep(op);
}

}  // namespace
