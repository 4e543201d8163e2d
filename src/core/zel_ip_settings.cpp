// Module-wide settings and CPU traffic: service-function update, the
// default TTL, CPU receive metadata and PDU send.
//
// The send header handed to the packet-handling service (64 bytes, the
// service's format; B = big-endian word, L = little-endian):
//
//   0-3    L 0x00ffffff
//   10-11  L P + R
//   16-19  B 0x0000ffff
//   20-23  B R << 24 | T << 16 | 0x10 (V) | 0x4 (U) | 0x2 (type 1) or 0x1 (type 2)
//   24-27  B type 1: the egress flow's NS ID
//   28-31  B type 0: the profile's value
//   32-35  B P << 16 | Q
//   36-39  B S << 24 | VRD ID (types 0 and 2)
//   40-43  B 2
//
// every other byte zero.
#include <cstring>

#include "core/zel_ip_call.h"
#include "core/zel_ip_settings_internal.h"
#include "zel_ip/zel_ip_compact.h"
#include "zel_ip/zel_ip_bind.h"
#include "zel_ip/zel_ip_core.h"
#include "zel_ip/zel_ip_settings.h"

using namespace zel::ip;

namespace zel::ip {

zel_service_table_t service_table(const ZelIpPriv *p) {
    zel_service_table_t t;
    std::memset(&t, 0, sizeof t);
    t.shutdown = zel_ip_shutdown;
    t.custom_bind = zel_ip_custom_bind;
    t.custom_unbind = zel_ip_custom_unbind;
    t.release_entry_func = zel_ip_release_entry_func;
    t.get_imc = zel_ip_get_imc;
    t.get_entry_func = zel_ip_get_entry_func;
    if (p)
        for (uint32_t i = 0; i < 3; ++i) t.flow_fn_id[i] = static_cast<uint16_t>(p->flow_funcs[i].id);
    t.sys_log = zel_ipv4_sys_log;
    t.error_name = zel_ipv4_error_name;
    t.compact_func = zel_ip_compact_func;
    return t;
}

uint32_t write_egress_params(zel_module_t *m, uint32_t ns_id, uint8_t ttl) {
    uint8_t sed[kEgressAssocSedBytes] = {};
    sed[0] = ttl;
    return hwe_sed_param_set(m->engine, ns_id, 0, sed, sizeof sed);
}

}  // namespace zel::ip

namespace {

constexpr uint32_t kParamWrite = fatal(ZEL_E_PARAM_WRITE);  // 0x1007f
constexpr uint32_t kNoPipeline = fatal(ZEL_E_NO_SLOT);      // 0x1000b
constexpr uint32_t kValueGBias = 512;

uint32_t be24(const uint8_t *b) { return uint32_t{b[0]} << 16 | uint32_t{b[1]} << 8 | b[2]; }
uint32_t be32(const uint8_t *b) { return uint32_t{b[0]} << 24 | be24(b + 1); }
void put_be32(uint8_t *b, uint32_t v) {
    b[0] = static_cast<uint8_t>(v >> 24);
    b[1] = static_cast<uint8_t>(v >> 16);
    b[2] = static_cast<uint8_t>(v >> 8);
    b[3] = static_cast<uint8_t>(v);
}

uint32_t update_services(Call &c) {
    const zel_service_table_t table = service_table(nullptr);
    if (uint32_t st = zel_module_service_function_update(c.m->sys_ctx, c.m, &table))
        return ZFAIL_FATAL(c.m, fatal(st), "Failed to register the service functions");
    return 0;
}

uint32_t set_default_ttl(Call &c, uint8_t ttl) {
    // 1. A TTL of 0 would have every packet dropped at the next hop.
    if (ttl == 0) return ZREJECT_ANON(kBadParam, "TTL value must be non-zero");
    // 2-3. The default egress association's parameters.
    if (uint32_t st = write_egress_params(c.m, c.priv->default_egress_assoc_flow_id, ttl))
        return ZFAIL_FATAL(c.m, kParamWrite, "Failed to write SED params, RTE Error: %s\n", hwe_status_get(st));
    // 4. Kept for egress associations created with TTL 0.
    c.priv->default_ttl = ttl;
    return 0;
}

uint32_t decode_recv(Call &c, const zel_ip_cpu_recv_meta_t *meta, zel_ip_cpu_recv_params_t *out) {
    // 1.
    if (!meta || !out) return ZFAIL_ERROR(c.m, kBadParam, "Invalid NULL parameter\n");
    // 2.
    std::memset(out, 0, sizeof *out);
    // 3. A port the framework cannot map is passed on as it came.
    uint32_t port = 0;
    if (zel_sys_eioa_port_number_get(c.m->sys_ctx, meta->logical_port, &port) != 0) {
        ZLOG_WARN(c.m, "Failed to map EIOA logical port ID %d to EIOA port ID\n",
                  static_cast<int>(meta->logical_port));
        port = meta->logical_port;
    }
    out->eioa_port = port;
    // 4.
    out->type_code = meta->type_code;
    out->byte_e = meta->byte_e;
    out->byte_f = meta->byte_f;
    uint32_t g = uint32_t{meta->value_g[0]} << 8 | meta->value_g[1];
    if (g > kValueGBias) g -= kValueGBias;
    out->value_g = static_cast<uint16_t>(g);
    out->value_c = be24(meta->value_c);
    if (meta->type_code == ZEL_IP_CPU_RECV_TYPE_D16)
        out->value_d16 = static_cast<uint16_t>(be24(meta->value_d));
    else
        out->value_d = be24(meta->value_d);
    out->word_a = be32(meta->word_a);
    out->word_b = be32(meta->word_b);
    return 0;
}

// Fills `h` for a profile whose handles were checked; false for a type
// the header has no form for.
bool build_send_header(const zel_ip_send_profile_t &p, uint32_t vrd_id, uint32_t flow_ns_id,
                       uint8_t (&h)[ZEL_IP_SEND_HEADER_BYTES]) {
    if (p.type > ZEL_IP_SEND_TYPE_2) return false;
    std::memset(h, 0, sizeof h);
    h[0] = h[1] = h[2] = 0xff;
    const uint16_t pr = static_cast<uint16_t>(p.p + p.r);
    h[10] = static_cast<uint8_t>(pr);
    h[11] = static_cast<uint8_t>(pr >> 8);
    put_be32(h + 16, 0x0000ffff);
    uint32_t flags = uint32_t{p.r} << 24 | uint32_t{p.t} << 16;
    if (p.v == 1) flags |= 0x10;
    if (p.u == 1) flags |= 0x4;
    if (p.type == ZEL_IP_EGRESS_FLOW_TX) flags |= 0x2;
    if (p.type == ZEL_IP_SEND_TYPE_2) flags |= 0x1;
    put_be32(h + 20, flags);
    if (p.type == ZEL_IP_EGRESS_FLOW_TX) put_be32(h + 24, flow_ns_id);
    if (p.type == ZEL_IP_SEND_TYPE_0) put_be32(h + 28, p.arg.value);
    put_be32(h + 32, uint32_t{p.p} << 16 | p.q);
    put_be32(h + 36, uint32_t{p.s} << 24 | (p.type == ZEL_IP_EGRESS_FLOW_TX ? 0 : vrd_id));
    put_be32(h + 40, 2);
    return true;
}

uint32_t send_pdu(Call &c, const zel_ip_send_profile_t *p, void *pdu1, void *pdu2) {
    // 1.
    if (!p || !pdu1 || !pdu2) return ZFAIL_ERROR(c.m, kBadParam, "Invalid input pointer parameter\n");
    // 2.
    uint32_t vrd_id = 0;
    if (!zel_ipv4_vrd_valid_handle(p->vrd, &vrd_id))
        return ZFAIL_ERROR(c.m, kBadParam, "Invalid VIrtual Routing Domain handle \n");
    // 3. An egress flow sends in its own domain; its id goes into the
    //    header, so the handle must be a live egress flow before its
    //    header is read.
    uint32_t flow_ns_id = 0;
    if (p->type == ZEL_IP_EGRESS_FLOW_TX) {
        if (vrd_id != kDefaultVrdId)
            return ZFAIL_ERROR(c.m, kBadParam, "Cant't specify vrd when type is ZEL_IP_EGRESS_FLOW_TX\n");
        const void *flow = p->arg.egress_flow;
        if (!zel_ipv4_flow_valid_handle(flow) || static_cast<const FlowHead *>(flow)->kind != kFlowEgress)
            return ZFAIL_ERROR(c.m, kBadParam, "Invalid egress flow handle\n");
        flow_ns_id = static_cast<const FlowHead *>(flow)->hdr.ns_id;
    }
    // 4.
    uint32_t pipeline[2] = {1, 0};
    if (uint32_t st = hwe_vp_handle_get_cpu_ip_pdu_send(c.m->engine, &pipeline[1]))
        return ZFAIL_FATAL(c.m, kNoPipeline, "Failed to get IP pipeline handle, RTE Error: %s\n",
                           hwe_status_get(st));
    // 5.
    uint8_t header[ZEL_IP_SEND_HEADER_BYTES];
    if (!build_send_header(*p, vrd_id, flow_ns_id, header))
        return ZFAIL_ERROR(c.m, kBadParam, "Invalid Send Profile type\n");
    // 6. The service's own status is not the caller's business.
    if (zel_ph_cpu_pdu_send(p->ph_word0, p->ph_word1, 0xffffffff, pipeline, header, pdu2, pdu1, 1, 0, 0))
        return ZFAIL_ERROR(c.m, kBadParam, "Failed to send PDU via PH\n");
    return 0;
}

}  // namespace

extern "C" {

uint32_t zel_ip_service_function_update(zel_module_t *module) {
    return with_module(module, __func__, [&](Call &c) { return update_services(c); });
}

uint32_t zel_ip_default_ttl_config(zel_module_t *module, uint8_t ttl) {
    return with_module(module, __func__, [&](Call &c) { return set_default_ttl(c, ttl); });
}

uint32_t zel_ip_cpu_recv_task_param(zel_module_t *module, const zel_ip_cpu_recv_meta_t *meta,
                                    zel_ip_cpu_recv_params_t *params) {
    return with_module(module, __func__, [&](Call &c) { return decode_recv(c, meta, params); });
}

uint32_t zel_ip_pdu_send(zel_module_t *module, const zel_ip_send_profile_t *profile, void *pdu1,
                         void *pdu2) {
    return with_module(module, __func__, [&](Call &c) { return send_pdu(c, profile, pdu1, pdu2); });
}

}  // extern "C"
