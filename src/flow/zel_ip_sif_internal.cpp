// Binding, the query half: the bind matrix (IPv4 as the source of a bind)
// and the entry-function query (IPv4 as the destination). A refusal
// changes nothing. The matrix only reads; an accepted query whose bind
// ends in an IPv4 flow (F2F, EBCOM) records the bind in that egress
// association (a use by the source module, counted in binds_in) until the
// framework releases it (zel_ip_release_entry_func), so the association
// is not deleted while a sibling module's packets are bound into it.
//
// The matrix runs its checks in a fixed order: the request itself (NULL,
// CPU locations, binding mode), the bind types each destination takes,
// the source flow (unless the bind is module to module with Ethernet),
// then the destination's table of accepted directions and flow kinds,
// which names the IMC function by its flow function index.
#include "flow/zel_ip_bind_pvt.h"

#include "core/zel_ip_call.h"
#include "core/zel_ip_registry.h"
#include "flow/zel_ip_flow_pvt.h"
#include "tree/zel_ip_tree.h"
#include "zel_ip/zel_ip_bind.h"
#include "zel_ip/zel_ip_core.h"

namespace zel::ip {

bool bind_module_ok(const zel_module_t *mod) { return mod && mod->magic == ZEL_MODULE_MAGIC; }

zel_ip_flow *bind_own_flow(zel_module_t *m, const void *h) {
    if (!zel_ipv4_flow_valid_handle(h)) return nullptr;
    auto *f = static_cast<zel_ip_flow *>(const_cast<void *>(h));
    return f->head.hdr.owner == m ? f : nullptr;
}

bool bind_dst_flow_ok(const void *h) {
    return h && static_cast<const zel_flow_header_t *>(h)->magic == ZEL_FLOW_HDR_MAGIC;
}

zel_ip_flow *bind_src_flow(zel_module_t *m, const zel_bind_info_t &b, uint32_t *code) {
    *code = kBindBadParam;
    zel_ip_flow *f = bind_own_flow(m, b.src_flow);
    if (!f) {
        ZLOG_ERROR(m, "Source Flow Handle specified is invalid\n");
        return nullptr;
    }
    if (f->head.kind == kFlowIngressAssoc) {
        if (f->body.ingress.params.action != ZEL_IP_ASSOC_BIND) {
            ZLOG_ERROR(m, "IPv4 Ingress association flow (src flow) is not configured for binding\n");
            return nullptr;
        }
        if (b.custom != 1) {
            ZLOG_ERROR(m, "IPv4 Ingress association flow binding must be custom binding\n");
            return nullptr;
        }
    }
    *code = 0;
    return f;
}

namespace {

// The refusal of one check: its message at ERROR, its bare code.
uint32_t refuse(zel_module_t *m, uint32_t code, const char *msg) {
    ZLOG_ERROR(m, "%s", msg);
    return code;
}

bool type_in(uint32_t t, uint32_t a, uint32_t b) { return t == a || t == b; }

// Step 4: the bind types a destination takes; NULL when the type fits.
const char *type_refusal(uint32_t dst, uint32_t type) {
    switch (dst) {
        case ZEL_IP_MODULE_ETHERNET:
            return type_in(type, ZEL_IP_BIND_M2M, ZEL_IP_BIND_F2F) ? nullptr
                                                                   : "Ethernet module should bind F2F or M2M only\n";
        case ZEL_IP_MODULE_GTPU:
            return type_in(type, ZEL_IP_BIND_F2M, ZEL_IP_BIND_F2F) ? nullptr
                                                                   : "GTPU module should bind F2F or F2M only\n";
        case ZEL_IP_MODULE_IPV6:
            return type_in(type, ZEL_IP_BIND_F2M, ZEL_IP_BIND_F2F) ? nullptr
                                                                   : "IPv6 module should bind F2F or F2M only\n";
        case ZEL_IP_MODULE_EBCOM:
            return type == ZEL_IP_BIND_F2ID ? nullptr : "EBCOM module should bind F2ID only\n";
        default:
            return type == ZEL_IP_BIND_F2F ? nullptr : "Specified dest module should bind F2F only\n";
    }
}

// One outcome of the destination table: the flow function index of the
// IMC function, or a refusal.
struct Pick {
    uint32_t fn;        // flow function index when msg is NULL
    const char *msg;
    uint32_t code;
};
constexpr Pick use(uint32_t fn) { return {fn, nullptr, 0}; }
constexpr Pick no(const char *msg, uint32_t code = kBindUnsupported) { return {0, msg, code}; }

// Step 6: the destination's table. `kind` is the source flow's kind, or
// -1 for a module to module bind (no source flow).
Pick pick_imc(const zel_bind_info_t &b, uint32_t dst, int kind) {
    const uint32_t dir = b.direction, type = b.bind_type;
    const bool ingress = kind == kFlowIngressAssoc, egress_flow = kind == kFlowEgress;
    switch (dst) {
        case ZEL_IP_MODULE_ETHERNET:
            if (dir != ZEL_IP_BIND_DIR_UPPER) return no("Unsupported Bind direction for IPv4->Ethernet bind\n");
            if (type == ZEL_IP_BIND_F2F) {
                if (!egress_flow || b.custom != 1)
                    return no("Only IP egress flow can be bound to Ethernet and must be custom bind\n", kBindBadParam);
                return use(kFnToEthernetFlowImcDirect);
            }
            if (b.custom == 1)
                return no("Custom Bind not supported for M2M binding of IPv4 module with Ethernet module\n");
            return use(kFnToEthernetImcDirect);
        case ZEL_IP_MODULE_GTPU:
            if (!ingress) return no("Unsupported IPv4 flow type for IPv4->GTPU bind\n");
            if (dir != ZEL_IP_BIND_DIR_LOWER) return use(kFnToGtpuUliImc);
            return use(type == ZEL_IP_BIND_F2F ? kFnToGtpuLliImc : kFnToGtpuLliF2mImc);
        case ZEL_IP_MODULE_IPSEC:
            if (dir == ZEL_IP_BIND_DIR_LOWER && ingress) return use(kFnToIpsecLliImc);
            if (dir == ZEL_IP_BIND_DIR_UPPER && egress_flow) {
                if (b.custom != 1) return no("IP egress flow binding with IPsec must be custom bind\n");
                return use(kFnEgressToIpsecImcDirect);
            }
            return no("Unsupported IPv4 flow type for IPv4->IPsec bind\n");
        case ZEL_IP_MODULE_IPV6:
            if (dir == ZEL_IP_BIND_DIR_LOWER) return use(kFnIpv4ToIpv6IngressImcDirect);
            if (dir == ZEL_IP_BIND_DIR_UPPER && type == ZEL_IP_BIND_F2F) return use(kFnTranslateToIpv6Imc);
            return no("Unsupported bind parameters for IPv4->IPv6 bind\n");
        case ZEL_IP_MODULE_BFD:
            if (ingress && dir == ZEL_IP_BIND_DIR_LOWER) return use(kFnToBfdImc);
            return no("Unsupported bind parameters for IPv4->BFD bind\n");
        case ZEL_IP_MODULE_TWAMP:
            if (ingress && dir == ZEL_IP_BIND_DIR_LOWER) return use(kFnToTwampImcDirect);
            return no("Unsupported bind parameters for IPv4->TWAMP bind\n");
        case ZEL_IP_MODULE_EBCOM:
            if (ingress && dir == ZEL_IP_BIND_DIR_UPPER) return use(kFnToEbcomImcDirect);
            return no("Unsupported bind parameters for IPv4->EBCOM bind\n");
        case ZEL_IP_MODULE_L2TP:
            if (ingress && dir == ZEL_IP_BIND_DIR_LOWER) return use(kFnToL2tpImcDirect);
            return no("Unsupported bind parameters for IPv4->L2TP bind\n");
        default:
            return no("Unsupported dest module for binding with IPv4\n");
    }
}

uint32_t imc_matrix(zel_module_t *m, const zel_bind_info_t *bind, uint32_t *imc_fn_id) {
    ZelIpPriv *p = module_priv(m);
    if (!p) return ZEL_E_INVALID_HANDLE;
    // 1.
    if (!bind || !imc_fn_id) return refuse(m, kBindBadParam, "NULL pointer parameter for bind info\n");
    const zel_bind_info_t &b = *bind;
    // 2-3.
    if (b.src_location == ZEL_IP_BIND_LOCATION_CPU || b.dst_location == ZEL_IP_BIND_LOCATION_CPU)
        return refuse(m, kBindUnsupported, "Module location CPU not supported\n");
    if (b.binding_mode != ZEL_IP_BIND_MODE_DIRECT)
        return refuse(m, kBindUnsupported, "IPv4 module supports direct binding only\n");
    // 4. The destination is a module handle of the framework.
    if (!bind_module_ok(b.dst_module)) return refuse(m, kBindBadParam, "Invalid destination module handle\n");
    const uint32_t dst = b.dst_module->module_id;
    if (const char *msg = type_refusal(dst, b.bind_type)) return refuse(m, kBindUnsupported, msg);
    // 5.
    int kind = -1;
    if (!(dst == ZEL_IP_MODULE_ETHERNET && b.bind_type == ZEL_IP_BIND_M2M)) {
        uint32_t code = 0;
        const zel_ip_flow *f = bind_src_flow(m, b, &code);
        if (!f) return code;
        kind = static_cast<int>(f->head.kind);
    }
    // 6.
    *imc_fn_id = 0;
    const Pick pick = pick_imc(b, dst, kind);
    if (pick.msg) return refuse(m, pick.code, pick.msg);
    *imc_fn_id = p->flow_funcs[pick.fn].id;
    return 0;
}

// The entry-function query's table: whether the request from `src` fits,
// and whether IPv4's entry function for CPU Ethernet packets receives it.
const char *entry_refusal(const zel_bind_info_t &b, uint32_t src, bool *cpu_eth_entry) {
    const uint32_t dir = b.direction, mode = b.binding_mode, type = b.bind_type;
    const bool upper = dir == ZEL_IP_BIND_DIR_UPPER;
    *cpu_eth_entry = false;
    switch (src) {
        case ZEL_IP_MODULE_ETHERNET:
            if (mode == 2 || type == ZEL_IP_BIND_F2F) return "Unsupported Bind parameters for Ethernet->IPv4 bind\n";
            *cpu_eth_entry = mode == ZEL_IP_BIND_MODE_DIRECT && upper;
            return nullptr;
        case ZEL_IP_MODULE_GTPU:
            return upper && type == ZEL_IP_BIND_F2F ? nullptr : "Unsupported Bind parameters for GTPU->IPv4 bind\n";
        case ZEL_IP_MODULE_IPSEC:
            return mode == 1 && type == ZEL_IP_BIND_F2M ? nullptr
                                                        : "Unsupported Bind parameters for IPSec->IPv4 bind\n";
        case ZEL_IP_MODULE_IPV6:
            return upper && ((type == ZEL_IP_BIND_F2F && mode == 1) || (type == ZEL_IP_BIND_F2M && mode == 2))
                       ? nullptr
                       : "Unsupported Bind parameters for IPv6->IPv4 bind\n";
        case ZEL_IP_MODULE_BFD:
            return upper && mode == 2 && type == ZEL_IP_BIND_F2F ? nullptr
                                                                 : "Unsupported Bind parameters for BFD->IPv4 bind\n";
        case ZEL_IP_MODULE_TWAMP:
            return upper && mode == 1 && type == ZEL_IP_BIND_F2M
                       ? nullptr
                       : "Unsupported Bind parameters for TWAMP ->IPv4 bind\n";
        case ZEL_IP_MODULE_EBCOM:
            return upper && mode == 1 && type == ZEL_IP_BIND_EBCOM
                       ? nullptr
                       : "Unsupported Bind parameters for EBCOM ->IPv4 bind\n";
        case ZEL_IP_MODULE_L2TP:
            return upper && mode == 1 && type == ZEL_IP_BIND_F2F ? nullptr
                                                                 : "Unsupported Bind parameters for L2TP ->IPv4 bind\n";
        default:
            return "Unsupported source module for binding to IPv4\n";
    }
}

// The user kind a bind into an IPv4 flow is recorded with.
constexpr const char *kBindInUser = "bind from module";

// The bind types whose destination is an IPv4 flow (an egress
// association), read and recorded.
bool into_flow(const zel_bind_info_t &b) {
    return b.bind_type == ZEL_IP_BIND_F2F || b.bind_type == ZEL_IP_BIND_EBCOM;
}

uint32_t entry_query(Call &c, const zel_bind_info_t *bind, uint32_t *entry_fn_id) {
    zel_module_t *m = c.m;
    // 1.
    if (!bind || !entry_fn_id) return ZREJECT(m, kBadParam, "NULL pointer parameter for bind info\n");
    const zel_bind_info_t &b = *bind;
    if (b.src_location == ZEL_IP_BIND_LOCATION_CPU || b.dst_location == ZEL_IP_BIND_LOCATION_CPU)
        return ZREJECT(m, error(kBindUnsupported), "Module location CPU not supported\n");
    // 2. A flow-to-flow bind ends in an egress association of this module
    //    (whose delete has not begun: its entries are whole).
    zel_ip_flow *dst = nullptr;
    if (into_flow(b)) {
        dst = bind_own_flow(m, b.dst_flow);
        if (!dst || (dst->head.kind == kFlowEgressAssoc && dst->body.egress_assoc.absent != 0))
            return ZREJECT(m, kBadParam, "Dest Flow Handle specified is invalid\n");
        if (dst->head.kind != kFlowEgressAssoc)
            return ZREJECT(m, kBadParam, "Dest Flow must be egress association flow type\n");
    }
    // 3.
    *entry_fn_id = 0;
    if (!bind_module_ok(b.src_module)) return ZREJECT(m, kBadParam, "Invalid source module handle\n");
    bool cpu_eth = false;
    if (const char *msg = entry_refusal(b, b.src_module->module_id, &cpu_eth))
        return ZREJECT(m, error(kBindUnsupported), "%s", msg);
    // 4. The accepted bind is recorded in its destination flow, which is
    //    not deleted under it until the bind is released.
    if (dst) {
        if (!obj_use(dst, b.src_module, kBindInUser))
            return ZFAIL_FATAL(m, kNoMemory, "Failed to allocate memory for the bind\n");
        ++dst->body.egress_assoc.binds_in;
    }
    if (cpu_eth) *entry_fn_id = c.priv->flow_funcs[kFnProcessCpuEthPkts].id;
    return 0;
}

// Lets go of one record the entry function query made for `bind`.
uint32_t entry_release(Call &c, const zel_bind_info_t *bind) {
    zel_module_t *m = c.m;
    if (!bind) return ZREJECT(m, kBadParam, "NULL pointer parameter for bind info\n");
    const zel_bind_info_t &b = *bind;
    if (!into_flow(b)) return 0;  // nothing recorded for other types
    zel_ip_flow *dst = bind_own_flow(m, b.dst_flow);
    if (!dst) return ZREJECT(m, kBadParam, "Dest Flow Handle specified is invalid\n");
    if (dst->head.kind != kFlowEgressAssoc)
        return ZREJECT(m, kBadParam, "Dest Flow must be egress association flow type\n");
    EgressAssoc &ea = dst->body.egress_assoc;
    // Only a record of this source module goes; none left: released already.
    if (ea.binds_in > 0 && obj_unuse(dst, b.src_module)) --ea.binds_in;
    return 0;
}

}  // namespace

}  // namespace zel::ip

using namespace zel::ip;

extern "C" {

uint32_t zel_ip_get_imc_internal(zel_module_t *module, const zel_bind_info_t *bind, uint32_t *imc_fn_id) {
    return imc_matrix(module, bind, imc_fn_id);
}

uint32_t zel_ip_get_imc(zel_module_t *module, const zel_bind_info_t *bind, uint32_t *imc_fn_id) {
    return with_module(module, __func__, [&](Call &c) -> uint32_t {
        const uint32_t code = imc_matrix(c.m, bind, imc_fn_id);
        return code ? error(code) : 0;
    });
}

uint32_t zel_ip_get_entry_func(zel_module_t *module, const zel_bind_info_t *bind, uint32_t *entry_fn_id) {
    return with_module(module, __func__, [&](Call &c) { return entry_query(c, bind, entry_fn_id); });
}

uint32_t zel_ip_release_entry_func(zel_module_t *module, const zel_bind_info_t *bind) {
    return with_module(module, __func__, [&](Call &c) { return entry_release(c, bind); });
}

}  // extern "C"
