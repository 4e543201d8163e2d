// The counters a walk updates: words of the global statistics record (64
// big-endian u32 counters) and of the interface, flow and rule records, as
// the engine programs keep them.
#ifndef ZEL_SIM_WALK_COUNTERS_H
#define ZEL_SIM_WALK_COUNTERS_H

#include <cstdint>

#include "hwe.h"
#include "zel_sim_engine.h"

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

// The counter updates of one walk, made together (one engine call, under
// one lock) when the walk ends or when more are due than it holds: no
// update depends on a counter's value, so the counters end as the same
// updates one by one would leave them.
class Counts {
public:
    explicit Counts(hwe_engine_t *eng) : eng_(eng) {}
    // Adds `n` to the big-endian counter of `len` bytes (4: a u32, 8: a u64)
    // at word `word` of NS ID `ns_id`'s state record.
    void add(uint32_t ns_id, uint32_t word, uint32_t len, uint64_t n) {
        if (n_ == kMax) flush();
        a_[n_++] = {ns_id, word * 4, len, n};
    }
    // Makes the updates held; what the engine refused adds up in `refused`.
    void flush();
    uint32_t refused = 0;

private:
    static constexpr uint32_t kMax = 16;  // a walk makes at most about a dozen
    hwe_engine_t *eng_;
    zel_sim_se_add_t a_[kMax];
    uint32_t n_ = 0;
};

}  // namespace zsim::walk::detail

#endif  // ZEL_SIM_WALK_COUNTERS_H
