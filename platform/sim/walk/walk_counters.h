// The counters a walk updates: words of the global statistics record (64
// big-endian u32 counters) and of the interface, flow and rule records, as
// the engine programs keep them.
#ifndef ZEL_SIM_WALK_COUNTERS_H
#define ZEL_SIM_WALK_COUNTERS_H

#include <cstdint>

#include "hwe.h"

namespace zsim::walk::detail {

// Words of the global statistics record the walk counts in.
enum Global : uint32_t {
    kRxPkts = 0,
    kTxPkts = 1,
    kDestUnreachable = 6,
    kNoIngressAssoc = 7,
    kFilterDeny = 8,
    kTtlExpired = 11,
    kFilterAccept = 14,
    kFilterToCpu = 15,
    kInvalidInputIntf = 18,
    kFromCpu = 19,
    kEncapFlowUnavailable = 24,
    kCaptured = 25,
    kAssocDrops = 26,
    kFlowFilterDrops = 27,
    kAssocCpu = 29,
    kFragsEnqueued = 30,
    kUnknownRuleSet = 37,
    kLocalPtb = 40,
    kInvalidSip = 41,
    kDeliveredViaAssoc = 42,
    kRxFailedBind = 44,
    kTxFailedBind = 45,
    kFragFailedDf = 46,
    kSubjectToFrag = 48,
    kFragsCreated = 49,
    kUnknownTunnel = 52,
    kInvalidDip = 53,
    kRoutingDisabled = 54,
    kTerminatedLocally = 55,
    kNullRoutes = 56,
    kEgressFilterDrops = 57,
    kEgressFilterCpu = 58,
};

// The statistics print's label of a global word, without its ": %u".
const char *global_label(Global g);

// Adds `n` to the big-endian u32 at word `word` of NS ID `ns_id`'s state
// record; false when the engine refuses the read or the write.
bool add_u32(hwe_engine_t *eng, uint32_t ns_id, uint32_t word, uint32_t n);
// The same for the big-endian u64 at words `word` and `word + 1`.
bool add_u64(hwe_engine_t *eng, uint32_t ns_id, uint32_t word, uint64_t n);

}  // namespace zsim::walk::detail

#endif  // ZEL_SIM_WALK_COUNTERS_H
