// Counters of the engine's statistics records, by name.
//
// The packet engine's programs count into state-engine records (and, for
// an interface's traffic-manager counters, into the MTM shared parameters
// of its DSCP group id). The model runs no packets, so tests and the tool
// plant counters here, in the engine's byte order (big-endian), exactly as
// the programs would leave them. Each record kind has a size and a list of
// named counters (a u32 or a u64 at a byte offset); any word can also be
// named generically: "w<N>" is the u32 at byte 4N, "q<N>" the u64 at byte
// 4N (words N and N+1, most significant first).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim_fault.h"
#include "zel_sim_engine.h"

namespace zsim {

namespace {

struct Counter {
    const char *name;
    uint32_t offset;  // bytes
    uint32_t width;   // 4 or 8
};

struct RecordKind {
    const char *name;
    uint32_t size;  // bytes the engine's programs use
    bool mtm;       // MTM shared parameters instead of state memory
    const Counter *counters;
    uint32_t count;
};

#define W(name, word) {name, (word) * 4u, 4u}
#define Q(name, word) {name, (word) * 4u, 8u}

constexpr Counter kGlobal[] = {
    W("rx_pkts", 0), W("tx_pkts", 1), W("rx_version_err", 2), W("rx_bad_hdr", 3),
    W("rx_defrag_pkts", 4), W("defrag_hash_alloc_err", 5), W("dest_unreachable", 6),
    W("no_ingress_assoc", 7), W("filter_deny", 8), W("reasm_timeouts_ignored", 9),
    W("exception_drops", 10), W("ttl_expired", 11), W("ingress_filter_police_drops", 12),
    W("defrag_hash_delete_err", 13), W("filter_accept", 14), W("filter_to_cpu", 15),
    W("frags_dropped", 16), W("ingress_assoc_police_drops", 17), W("invalid_input_intf", 18),
    W("cpu_tx_pkts", 19), W("police_drops", 20), W("reasm_timeouts", 21),
    W("term_frags_dropped", 22), W("unknown_assoc_mask", 23), W("encap_flow_unavailable", 24),
    W("captured_to_cpu", 25), W("assoc_drops", 26), W("flow_filter_drops", 27),
    W("l4_csum_drops", 28), W("ingress_assoc_cpu", 29), W("frags_enqueued", 30),
    W("frags_ignored", 31), W("uli_noflow_hdr", 32), W("uli_noflow_nohdr", 33),
    W("bad_hdr_len", 34), W("illegal_tcp_frags", 35), W("frag_id_mismatch", 36),
    W("unknown_acl_rule_set", 37), W("local_ptb", 40), W("invalid_sip", 41),
    W("assoc_delivered", 42), W("rx_options", 43), W("rx_bind_fail", 44), W("tx_bind_fail", 45),
    W("frag_fail_df", 46), W("reasm_requests", 47), W("frag_subject", 48),
    W("frags_created", 49), W("uli_flow_hdr", 50), W("uli_flow_nohdr", 51),
    W("unknown_tunnel_drops", 52), W("invalid_dip", 53), W("routing_disabled_drops", 54),
    W("terminated_locally", 55), W("null_route_drops", 56), W("egress_filter_drops", 57),
    W("egress_filter_to_cpu", 58), W("egress_filter_police_drops", 60), W("pab_reasm_err", 63),
};

// An interface's 256-byte record; most of its words are named only
// generically ("w2" is byte 8).
constexpr Counter kInterface[] = {W("rx_pkts", 0), W("tx_pkts", 1), Q("eth_pad_octets", 38)};

// The 88 bytes of an interface's second record the statistics read.
constexpr Counter kInterfaceB[] = {
    Q("in_octets", 0),        W("in_receives", 2),     W("in_mcast_pkts", 3),
    Q("in_mcast_octets", 4),  W("in_bcast_pkts", 6),   W("out_mcast_pkts", 7),
    Q("out_mcast_octets", 8), W("out_bcast_pkts", 10), W("out_ucast_pkts", 11),
    Q("out_octets", 12),      W("mcast_discards", 14), W("bcast_discards", 15),
    W("ucast_discards", 16),  W("tm_transmits", 17),   Q("tm_octets", 18),
    Q("out_eth_octets", 20),
};

// The 32-byte traffic-manager block of an interface's DSCP group id: for
// an IPoE interface it stands in for bytes 56 to 87 of the record above.
constexpr Counter kInterfaceTm[] = {
    W("mcast_discards", 0), W("bcast_discards", 1), W("ucast_discards", 2),
    W("tm_transmits", 3),   Q("tm_octets", 4),      Q("out_eth_octets", 6),
};

constexpr Counter kIngressFlow[] = {W("rx_pkts", 0), W("tx_pkts", 1)};
constexpr Counter kEgressFlow[] = {W("tx_pkts", 0), W("rx_no_hdr", 1), W("rx_hdr", 2)};
constexpr Counter kFilterRule[] = {W("pkts", 0), Q("bytes", 2)};
constexpr Counter kPbrRule[] = {W("pkts", 0)};

#undef W
#undef Q

#define KIND(name, size, mtm, table) {name, size, mtm, table, sizeof table / sizeof table[0]}
constexpr RecordKind kKinds[] = {
    KIND("global", 256, false, kGlobal),
    KIND("interface", 256, false, kInterface),
    KIND("interface-b", 88, false, kInterfaceB),
    KIND("interface-tm", 32, true, kInterfaceTm),
    KIND("ingress-flow", 32, false, kIngressFlow),
    KIND("egress-flow", 32, false, kEgressFlow),
    KIND("filter-rule", 32, false, kFilterRule),
    KIND("pbr-rule", 16, false, kPbrRule),
};
#undef KIND

const RecordKind *kind_of(const char *name) {
    if (!name) return nullptr;
    for (const RecordKind &k : kKinds)
        if (std::strcmp(k.name, name) == 0) return &k;
    return nullptr;
}

// "w<N>" / "q<N>" with N a decimal word index.
bool generic(const char *name, Counter *out) {
    if ((name[0] != 'w' && name[0] != 'q') || name[1] < '0' || name[1] > '9') return false;
    char *end = nullptr;
    const unsigned long word = std::strtoul(name + 1, &end, 10);
    if (*end != '\0' || word > 0xffff) return false;
    *out = {name, static_cast<uint32_t>(word) * 4u, name[0] == 'w' ? 4u : 8u};
    return true;
}

bool counter_of(const RecordKind &k, const char *name, Counter *out) {
    if (!name) return false;
    for (uint32_t i = 0; i < k.count; ++i)
        if (std::strcmp(k.counters[i].name, name) == 0) {
            *out = k.counters[i];
            return true;
        }
    return generic(name, out);
}

}  // namespace

}  // namespace zsim

extern "C" {

uint32_t zel_sim_counter_set(hwe_engine_t *eng, const char *record, uint32_t ns_id,
                             const char *counter, uint64_t value) try {
    const zsim::RecordKind *k = zsim::kind_of(record);
    zsim::Counter c{};
    if (!k || !zsim::counter_of(*k, counter, &c)) return HWE_E_NOT_FOUND;
    if (c.width == 4 && value > 0xffffffffULL) return HWE_E_PARAM;
    if (c.offset + c.width > k->size) return HWE_E_BOUNDS;
    uint8_t be[8];
    for (uint32_t i = 0; i < c.width; ++i) be[i] = static_cast<uint8_t>(value >> (8 * (c.width - 1 - i)));
    if (!k->mtm) return zel_sim_engine_se_write(eng, ns_id, c.offset, be, c.width);
    // MTM shared parameters are written whole.
    uint8_t block[32];
    if (k->size > sizeof block) return HWE_E_BOUNDS;
    if (uint32_t st = zel_sim_engine_mtm_read(eng, ns_id, block, k->size)) return st;
    std::memcpy(block + c.offset, be, c.width);
    return zel_sim_engine_mtm_write(eng, ns_id, block, k->size);
} ZSIM_CATCH(::zsim::boundary_status(__func__))

const char *zel_sim_counter_name(const char *record, uint32_t index) try {
    const zsim::RecordKind *k = zsim::kind_of(record);
    return k && index < k->count ? k->counters[index].name : nullptr;
} ZSIM_CATCH(nullptr)

const char *zel_sim_counter_record_name(uint32_t index) {
    constexpr uint32_t n = sizeof zsim::kKinds / sizeof zsim::kKinds[0];
    return index < n ? zsim::kKinds[index].name : nullptr;
}

}  // extern "C"
