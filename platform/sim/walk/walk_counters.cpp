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

void Counts::flush() {
    if (n_) refused += zel_sim_engine_se_add_many(eng_, a_, n_);
    n_ = 0;
}

}  // namespace zsim::walk::detail
