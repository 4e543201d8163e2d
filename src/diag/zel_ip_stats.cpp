// Statistics get calls: read a counter record of the packet engine,
// convert it from the engine's big-endian order and hand it over.
//
// Every get reads into a buffer of its own and fills a complete result
// before it copies it into the caller's structure, so the structure is
// never written past its size and a failed read leaves it untouched.
// Handles are checked through the registry, and the ids a record is read
// by are copied out inside that check (zel_ip_registry.h): a handle that
// another thread deletes meanwhile is an invalid handle, never a read of
// a freed record. Records of another module instance are refused too:
// their ids name memory of that instance.
#include <cstring>

#include "core/zel_ip_call.h"
#include "diag/zel_ip_stats_internal.h"
#include "flow/zel_ip_flow_pvt.h"
#include "interface/zel_ip_interface_pvt.h"
#include "interface/zel_ip_tunnel_pvt.h"
#include "interface/zel_ip_vif_pvt.h"
#include "zel_ip/zel_ip_stats.h"

using namespace zel::ip;

namespace zel::ip {

uint32_t stats_read(zel_module_t *m, uint32_t ns_id, void *buf, uint32_t len, uint32_t fail_status,
                    const char *fail_msg, Site s) {
    if (uint32_t st = hwe_se_state_get(m->engine, ns_id, 0, buf, len)) {
        const Level lv = ZEL_IP_SEVERITY(fail_status) == ZEL_IP_SEV_FATAL ? Level::kFatal : Level::kError;
        return fail(m, lv, fail_status, s, true, fail_msg, hwe_status_get(st));
    }
    trace_se(m, Trace::kSeRead, s, ns_id, 0, buf, len);
    return 0;
}

uint32_t be32_at(const uint8_t *rec, uint32_t offset) {
    uint32_t v;
    std::memcpy(&v, rec + offset, sizeof v);
    return hwe_ntohl(v);
}

uint64_t be64_at(const uint8_t *rec, uint32_t offset) {
    uint64_t v;
    std::memcpy(&v, rec + offset, sizeof v);
    return hwe_ntohll(v);
}

void router_if_counters(IntfKind kind, uint8_t qos_level, const uint8_t *a, const uint8_t *b,
                        zel_ip_router_if_stats_t &r) {
    auto A = [a](uint32_t off) { return be32_at(a, off); };
    auto B = [b](uint32_t off) { return be32_at(b, off); };
    auto B64 = [b](uint32_t off) { return be64_at(b, off); };
    const bool ipoe = kind == IntfKind::kIpoe;
    const bool has_b = kind != IntfKind::kVif;
    r = {};
    // From the second record (all 0 for a virtual interface: it has none).
    r.in_receives = B(8);
    r.hc_in_octets = B64(0);
    r.in_octets = static_cast<uint32_t>(r.hc_in_octets);
    r.in_mcast_pkts = B(12);
    r.hc_in_mcast_octets = B64(16);
    r.in_mcast_octets = static_cast<uint32_t>(r.hc_in_mcast_octets);
    r.in_bcast_pkts = B(24);
    r.hc_out_mcast_octets = B64(32);
    r.out_mcast_octets = static_cast<uint32_t>(r.hc_out_mcast_octets);
    // From the interface's own record.
    r.in_hdr_errors = A(8) + A(12) + A(44);
    r.in_truncated_pkts = A(20);
    r.in_delivers = A(168);
    r.in_forw_datagrams = A(40) + A(24) + A(224);
    r.in_no_routes = A(24);
    r.in_black_holes = A(224);
    r.in_addr_errors = A(216) + A(212);
    r.in_src_addr_errors = A(164);
    r.in_acl_dropped_pkts = A(32) + A(48) + A(60);
    r.in_police_drop_pkts = A(80) + A(48) + A(68);
    r.reasm_reqds = A(188);
    r.reasm_oks = A(16);
    r.reasm_fails = A(84);
    r.out_forw_datagrams = A(36);
    r.out_requests = A(128) + A(132) + A(200) + A(204) + A(76);
    r.out_acl_dropped_pkts = A(228) + A(240) + A(232);
    r.out_no_link_addr_pkts = A(180);
    r.out_frag_oks = A(192);
    r.out_frag_fails = A(184);
    r.out_frag_creates = A(196);
    r.out_frag_reqds = A(192) + A(184);
    // in_unknown_protos, in_discards, out_no_routes, out_black_holes: not
    // counted by the engine, 0.
    if (!has_b) return;
    // Transmit side: the traffic manager counts what an interface with
    // egress QoS sends; otherwise the interface's own counters do.
    r.out_mcast_pkts = B(28);
    r.out_bcast_pkts = B(40);
    r.out_ucast_pkts = B(44);
    const bool via_tm = ipoe && qos_level != 0;
    r.out_transmits = via_tm ? B(68) : B(44) + B(28) + B(40);
    r.hc_out_octets = via_tm ? B64(72) : B64(48);
    r.out_octets = static_cast<uint32_t>(r.hc_out_octets);
    const uint32_t discards = B(56) + B(60) + B(64);
    if (ipoe && qos_level == 1) {
        r.out_discards = discards;
        r.out_mcast_discards = B(56);
        r.out_bcast_discards = B(60);
        r.out_ucast_discards = B(64);
    } else if (ipoe) {
        r.out_l2_discards = discards;
    }
    if (ipoe) {
        r.hc_in_eth_pad_octets = be64_at(a, 152);
        r.hc_out_eth_octets = B64(80);
    }
}

}  // namespace zel::ip

namespace {

// What a stats call needs of an interface, copied inside its handle check.
struct IntfIds {
    IntfKind kind;
    uint32_t stats_ns_id;   // the 256-byte record
    uint32_t second_ns_id;  // DSCP group id (IPoE, tunnel)
    uint8_t qos_level;      // IPoE: the QoS level byte
};

template <typename Rec>
bool read_intf(zel_module_t *m, const void *h, ObjKind kind, uint32_t type, IntfIds *ids) {
    struct Ctx {
        zel_module_t *m;
        uint32_t type;
        IntfIds *ids;
    } ctx{m, type, ids};
    return obj_check(h, kind, [&ctx](const void *p) {
        const auto *r = static_cast<const Rec *>(p);
        if (r->head.hdr.magic != ZEL_INTF_HDR_MAGIC || r->head.type != ctx.type ||
            r->head.hdr.owner != ctx.m)
            return false;
        ctx.ids->stats_ns_id = r->stats_ns_id;
        if constexpr (requires { r->mtm_ns_id; }) ctx.ids->second_ns_id = r->mtm_ns_id;
        if constexpr (requires { r->params.qos_l3; }) ctx.ids->qos_level = r->params.qos_l3;
        return true;
    });
}

// The interface behind `h` (IPoE, tunnel, then virtual when `vif_ok`), or
// false.
bool intf_ids(zel_module_t *m, const void *h, bool vif_ok, IntfIds *ids) {
    *ids = {};
    if (read_intf<zel_ip_interface>(m, h, ObjKind::kIpoe, kIpoeType, ids)) {
        ids->kind = IntfKind::kIpoe;
        return true;
    }
    if (read_intf<zel_ip_tunnel>(m, h, ObjKind::kTunnel, kTunnelType, ids)) {
        ids->kind = IntfKind::kTunnel;
        return true;
    }
    if (vif_ok && read_intf<zel_ip_vif>(m, h, ObjKind::kVif, kVifType, ids)) {
        ids->kind = IntfKind::kVif;
        return true;
    }
    return false;
}

// The checks of a flow handle, read inside one registry check.
struct FlowIds {
    bool header_ok;  // live flow record of this module with its header magic
    bool type_ok;    // and its type magic (cleared while a delete is pending)
    uint32_t kind;
    uint32_t ns_id;
};

FlowIds flow_ids(zel_module_t *m, const void *h) {
    FlowIds ids{};
    if (!h) return ids;
    obj_check(h, ObjKind::kFlow, [&](const void *p) {
        const auto *head = static_cast<const FlowHead *>(p);
        ids.header_ok = head->hdr.magic == ZEL_FLOW_HDR_MAGIC && head->hdr.owner == m;
        ids.type_ok = ids.header_ok && head->type == kFlowType;
        ids.kind = head->kind;
        ids.ns_id = head->hdr.ns_id;
        return true;
    });
    return ids;
}

constexpr uint32_t kBadIntf = error(ZEL_IP_E_INVALID_IP_INTERFACE);  // 0x1030006
constexpr uint32_t kIntfReadFail = error(ZEL_E_SE_READ);              // 0x3002B
constexpr uint32_t kReadFail = fatal(ZEL_E_SE_READ);                  // 0x1002B
constexpr uint32_t kMtmReadFail = fatal(ZEL_E_SE_WRITE);              // 0x1002C
constexpr uint32_t kAssocRecordBytes = 32;
constexpr uint32_t kFilterRecordBytes = 32;
constexpr uint32_t kPbrRecordBytes = 16;
constexpr uint32_t kRouterIfBBytes = 88;
constexpr uint32_t kTmBlockOffset = 56;  // where the traffic-manager block stands in B

// Words of the global record that carry no counter: returned as read.
bool global_word_raw(uint32_t w) { return w == 38 || w == 39 || w == 59 || w == 61 || w == 62; }

}  // namespace

extern "C" {

uint32_t zel_ip_global_stats_get(zel_module_t *module, zel_ip_global_stats_t *out) {
    return with_module(module, __func__, [&](Call &c) -> uint32_t {
        if (!out) return ZREJECT(c.m, kBadParam, "Invalid input pointer parameter");
        uint8_t rec[kGlobalStatsBytes];
        if (uint32_t st = stats_read(c.m, c.priv->global_stats_ns_id, rec, sizeof rec, kReadFail,
                                     "Failed to read stats, RTE Error: %s\n", ZEL_SITE))
            return st;
        zel_ip_global_stats_t s;
        for (uint32_t w = 0; w < ZEL_IP_GLOBAL_STATS_WORDS; ++w) {
            if (global_word_raw(w))
                std::memcpy(&s.counter[w], rec + 4 * w, 4);
            else
                s.counter[w] = be32_at(rec, 4 * w);
        }
        *out = s;
        return 0;
    });
}

uint32_t zel_ip_interface_stats_get(zel_module_t *module, const void *intf, zel_ip_interface_stats_t *out) {
    return with_module(module, __func__, [&](Call &c) -> uint32_t {
        if (!out) return ZREJECT(c.m, kBadParam, "Invalid input NULL pointer parameter");
        IntfIds ids;
        if (!intf_ids(c.m, intf, false, &ids)) return ZREJECT(c.m, kBadIntf, "Invalid IPv4 interface handle");
        uint8_t rec[kIntfStatsBytes];
        if (uint32_t st = stats_read(c.m, ids.stats_ns_id, rec, sizeof rec, kIntfReadFail,
                                     "Failed to read stats, RTE Error: %s\n", ZEL_SITE))
            return st;
        *out = {be32_at(rec, 0), be32_at(rec, 4)};
        return 0;
    });
}

uint32_t zel_ip_router_if_stats_get(zel_module_t *module, const void *intf, zel_ip_router_if_stats_t *out) {
    return with_module(module, __func__, [&](Call &c) -> uint32_t {
        if (!out) return ZREJECT(c.m, kBadParam, "Invalid input NULL pointer parameter");
        IntfIds ids;
        if (!intf_ids(c.m, intf, true, &ids)) return ZREJECT(c.m, kBadIntf, "Invalid IPv4 interface handle");
        // 1. A, the interface's record.
        uint8_t a[kIntfStatsBytes];
        if (uint32_t st = stats_read(c.m, ids.stats_ns_id, a, sizeof a, kIntfReadFail,
                                     "Failed to read stats, RTE Error: %s\n", ZEL_SITE))
            return st;
        // 2. B, the DSCP group record (none for a virtual interface), and
        //    for IPoE the traffic-manager block over its last 32 bytes.
        uint8_t b[kRouterIfBBytes] = {};
        if (ids.kind != IntfKind::kVif) {
            if (uint32_t st = stats_read(c.m, ids.second_ns_id, b, sizeof b, kIntfReadFail,
                                         "Failed to read stats, RTE Error: %s\n", ZEL_SITE))
                return st;
        }
        if (ids.kind == IntfKind::kIpoe) {
            uint8_t *tm = b + kTmBlockOffset;
            if (uint32_t st = hwe_mtm_shared_param_get(c.m->engine, ids.second_ns_id, tm, kMtmSharedBytes))
                return ZFAIL_FATAL(c.m, kMtmReadFail, "Failed to read MTM Shared param memory, RTE Error: %s\n",
                                   hwe_status_get(st));
            trace_se(c.m, Trace::kSeRead, ZEL_SITE, ids.second_ns_id, 0, tm, kMtmSharedBytes);
        }
        // 3. The counters.
        zel_ip_router_if_stats_t r;
        router_if_counters(ids.kind, ids.qos_level, a, b, r);
        *out = r;
        return 0;
    });
}

uint32_t zel_ip_ingress_association_stats_get(zel_module_t *module, zel_ip_flow_handle_t flow,
                                              zel_ip_ingress_assoc_stats_t *out) {
    return with_module(module, __func__, [&](Call &c) -> uint32_t {
        const FlowIds ids = flow_ids(c.m, flow);
        if (!ids.header_ok) return ZREJECT(c.m, kBadParam, "Invalid Flow handle");
        if (!out) return ZREJECT(c.m, kBadParam, "Invalid input pointer parameter");
        if (!ids.type_ok || ids.kind != kFlowIngressAssoc) return ZREJECT(c.m, kBadParam, "Invalid flow handle");
        uint8_t rec[kAssocRecordBytes];
        if (uint32_t st = stats_read(c.m, ids.ns_id, rec, sizeof rec, kReadFail,
                                     "Failed to read ingress flow stats, RTE Error: %s\n", ZEL_SITE))
            return st;
        *out = {be32_at(rec, 0), be32_at(rec, 4)};
        return 0;
    });
}

uint32_t zel_ip_egress_association_stats_get(zel_module_t *module, zel_ip_flow_handle_t flow,
                                             zel_ip_egress_assoc_stats_t *out) {
    return with_module(module, __func__, [&](Call &c) -> uint32_t {
        const FlowIds ids = flow_ids(c.m, flow);
        if (!ids.header_ok) return ZREJECT(c.m, kBadParam, "Invalid Flow handle");
        if (!out) return ZREJECT(c.m, kBadParam, "Invalid input pointer parameter");
        if (!ids.type_ok || ids.kind != kFlowEgressAssoc) return ZREJECT(c.m, kBadParam, "Invalid flow handle");
        uint8_t rec[kAssocRecordBytes];
        if (uint32_t st = stats_read(c.m, ids.ns_id, rec, sizeof rec, kReadFail,
                                     "Failed to read SE memory, RTE Error: %s\n", ZEL_SITE))
            return st;
        *out = {be32_at(rec, 0), be32_at(rec, 4), be32_at(rec, 8)};
        return 0;
    });
}

uint32_t zel_ip_filter_rule_stats_get(zel_module_t *module, zel_ip_flow_handle_t rule,
                                      zel_ip_filter_rule_stats_t *out) {
    return with_module(module, __func__, [&](Call &c) -> uint32_t {
        // A rule deleted but not yet committed has its type magic cleared:
        // an invalid handle.
        const FlowIds ids = flow_ids(c.m, rule);
        if (!ids.type_ok) return ZREJECT(c.m, kBadParam, "Invalid input filter rule handle");
        if (ids.kind != kFlowExtFilterRule && ids.kind != kFlowBasicFilterRule)
            return ZREJECT(c.m, kBadParam, "Invalid input filter rule handle type");
        if (!out) return ZREJECT(c.m, kBadParam, "Invalid input pointer parameter");
        uint8_t rec[kFilterRecordBytes];
        if (uint32_t st = stats_read(c.m, ids.ns_id, rec, sizeof rec, kReadFail,
                                     "Failed to read stats, RTE Error: %s\n", ZEL_SITE))
            return st;
        zel_ip_filter_rule_stats_t s{};
        s.matched_pkts = be32_at(rec, 0);
        s.matched_bytes = be64_at(rec, 8);
        *out = s;
        return 0;
    });
}

uint32_t zel_ip_pbr_rule_stats_get(zel_module_t *module, zel_ip_flow_handle_t rule, zel_ip_pbr_rule_stats_t *out) {
    return with_module(module, __func__, [&](Call &c) -> uint32_t {
        const FlowIds ids = flow_ids(c.m, rule);
        if (!ids.type_ok) return ZREJECT(c.m, kBadParam, "Invalid input PBR rule handle");
        if (ids.kind != kFlowPbrRule) return ZREJECT(c.m, kBadParam, "Invalid PBR rule handle");
        if (!out) return ZREJECT(c.m, kBadParam, "Invalid input pointer parameter");
        uint8_t rec[kPbrRecordBytes];
        if (uint32_t st = stats_read(c.m, ids.ns_id, rec, sizeof rec, kReadFail,
                                     "Failed to read stats, RTE Error: %s\n", ZEL_SITE))
            return st;
        *out = {be32_at(rec, 0)};
        return 0;
    });
}

}  // extern "C"
