#include "walk_counters.h"

#include "zel_sim_engine.h"

namespace zsim::walk::detail {

const char *global_label(Global g) {
    switch (g) {
        case kRxPkts: return "Total Rx Pkts";
        case kTxPkts: return "Total tx pkts";
        case kDestUnreachable: return "Dest unreachable";
        case kNoIngressAssoc: return "No ingress Association";
        case kFilterDeny: return "Filter deny cnt";
        case kTtlExpired: return "TTL expired";
        case kFilterAccept: return "Filter accept cnt (dbg)";
        case kFilterToCpu: return "Filter to CPU cnt";
        case kInvalidInputIntf: return "Invalid input interface";
        case kFromCpu: return "Pkts from CPU to be sent out of IP interface";
        case kEncapFlowUnavailable: return "IP encap flow unavailable";
        case kCaptured: return "Packets captured to CPU (dbg)";
        case kAssocDrops: return "IP Association Drops";
        case kFlowFilterDrops: return "IP Flow Filter Drops";
        case kAssocCpu: return "Ingress Assoc CPU Cnt";
        case kFragsEnqueued: return "Total Fragments Enqueued for Reassembly";
        case kUnknownRuleSet: return "Unknown ACL rule set";
        case kLocalPtb: return "Local PTB notifications";
        case kInvalidSip: return "Packets with invalid SIP address";
        case kDeliveredViaAssoc: return "Packets delivered via ingress association";
        case kRxFailedBind: return "Packets received but failed to bind";
        case kTxFailedBind: return "Packets sent but failed to bind";
        case kFragFailedDf: return "Packets Frag Failed for DF bit set";
        case kSubjectToFrag: return "Packets subject to fragmentation";
        case kFragsCreated: return "Number of fragments created due to fragmentation";
        case kUnknownTunnel: return "Pkts dropped due to unknown tunnel interface ID";
        case kInvalidDip: return "Pkts with invalid or prohibited DIP address";
        case kRoutingDisabled: return "Pkts dropped due to routing disabled in VRF";
        case kTerminatedLocally: return "Pkts terminated locally (mostly being locally destined)";
        case kNullRoutes: return "Pkts dropped due to NULL routes";
        case kEgressFilterDrops: return "Pkts dropped by egress filter";
        case kEgressFilterCpu: return "Pkts sent to CPU by egress filter";
    }
    return "?";
}

namespace {

// Big-endian, as the engine writes its counters; byte by byte, so the
// host's order never matters.
uint64_t load_be(const uint8_t *b, unsigned n) {
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v = v << 8 | b[i];
    return v;
}
void store_be(uint8_t *b, unsigned n, uint64_t v) {
    for (unsigned i = n; i-- > 0; v >>= 8) b[i] = static_cast<uint8_t>(v);
}

bool add(hwe_engine_t *eng, uint32_t ns_id, uint32_t word, unsigned bytes, uint64_t n) {
    uint8_t b[8];
    if (zel_sim_engine_se_read(eng, ns_id, word * 4, b, bytes) != 0) return false;
    store_be(b, bytes, load_be(b, bytes) + n);
    return zel_sim_engine_se_write(eng, ns_id, word * 4, b, bytes) == 0;
}

}  // namespace

bool add_u32(hwe_engine_t *eng, uint32_t ns_id, uint32_t word, uint32_t n) { return add(eng, ns_id, word, 4, n); }
bool add_u64(hwe_engine_t *eng, uint32_t ns_id, uint32_t word, uint64_t n) { return add(eng, ns_id, word, 8, n); }

}  // namespace zsim::walk::detail
