// What the filter kinds share: rule set handles, the pending lists and
// their release, and the life of a filter rule (add, delete, action
// modify) around a kind's own engine programming.
//
// A filter rule's flow key is FLOW-ID << 4 | RULE-KEY: FLOW-ID is its
// statistics NS ID, or the policing flow id when its action polices
// without counting; RULE-KEY is 0 or 4. The CPU path of a rule (trees 16
// to 19, flow/zel_ip_cpu_path.h) is keyed by it; rules that police with
// one policer without counting share a key, so its entries are counted by
// user (filter/zel_ip_filter_keys.h). A modify programs the
// new action under the other RULE-KEY, so the compiled set's entries
// (old key) and the edited set's (new key) coexist until the commit.
//
// A rule is live (type magic set, not pending), pending-modified (type
// magic set, on the list: cannot be deleted or modified) or
// pending-deleted (type magic 0: its handle is invalid; record, NS ID and
// CPU path kept for the compiled set). A commit that compiled its set
// releases the list (pending_release): a modified rule takes its new
// key, the old key's entries go, a deleted rule's NS ID and record go.
//
// The flow key carries a 24-bit FLOW-ID: a policing flow id above 24 bits
// is refused (it would lose its top bits in the key). A Send-To-CPU rule
// without a context flow names its 28-bit flow key as the context; the
// engine's data words hold 24 bits and keep its low 24 bits.
//
// Everything here runs under the module write lock.
#ifndef ZEL_IP_FILTER_PVT_H
#define ZEL_IP_FILTER_PVT_H

#include <cstdint>

#include "core/zel_ip_call.h"
#include "filter/zel_ip_filter_types.h"
#include "flow/zel_ip_flow_pvt.h"

namespace zel::ip {

inline constexpr uint32_t kRuleKeyAlt = 4;  // RULE-KEY of every other modify

// The live rule set behind a handle (checked through the registry), or
// NULL; its id is then 1 to 32.
zel_ip_rule_set *rule_set_of(const void *h);
// The id of a live rule set, 0 for any other handle. Takes no lock.
uint32_t rule_set_id_of(const void *h);

// Statuses of the filters.
inline constexpr uint32_t kBadRuleSet = error(ZEL_IP_E_INVALID_FILTER_RULESET);  // 0x1030019
inline constexpr uint32_t kBadFilterIndex = error(ZEL_IP_E_INVALID_FILTER_INDEX);  // 0x1030010
inline constexpr uint32_t kBadPrefix = error(ZEL_IP_E_INVALID_ADDR_PREFIX);  // 0x1030012
inline constexpr uint32_t kPendingFull = error(ZEL_E_INVALID_STATE);  // 0x3000f

// What differs between filter kinds for the shared life of a rule.
struct FilterKind {
    FlowKind flow_kind;
    PendingList zel_ip_rule_set::*list;
    // Programs the rule `f` in the kind's tree: op 0 insert, 1 delete, 2
    // replace the value; logs its own failure and returns its status.
    uint32_t (*hw)(Call &c, const zel_ip_rule_set &set, uint32_t rule_idx, uint32_t flow_key,
                   const zel_ip_flow &f, const zel_ip_filter_action_t &a, uint32_t op);
    const char *bad_handle;  // "Invalid input filter handle"
    const char *bad_kind;    // "Invalid flow filter handle type"
    const char *bad_action;  // "Invalid Filter action"
    const char *no_memory;   // "Failed to allocate memory for filter rule"
};

// ---- Actions ---------------------------------------------------------
// The checks of an action, in the order the calls make them.
uint32_t action_type_check(Call &c, const FilterKind &k, const zel_ip_filter_action_t &a);
uint32_t action_cpu_check(Call &c, const zel_ip_filter_action_t &a);
// The policing flow id of a policing action (0 when it does not police).
uint32_t action_police_id(Call &c, const zel_ip_filter_action_t &a, uint32_t *police_id);
// The tree value of a rule: kind 4, W1 = FLOW-ID, W2 = the filter value.
hwe_action_t filter_value(const zel_ip_filter_action_t &a, uint32_t flow_key);

// ---- Rule life ---------------------------------------------------------
// Steps after the kind's own descriptor checks: policing id, record,
// NS ID, state record, CPU path, engine insert, then the record filled.
// `f` receives the descriptor copy through `fill` before the insert.
uint32_t filter_rule_add(Call &c, const FilterKind &k, zel_ip_rule_set &set, uint32_t rule_idx,
                         const zel_ip_filter_action_t &a, void (*fill)(zel_ip_flow &, const void *),
                         const void *desc, zel_ip_flow_handle_t *out);
uint32_t filter_rule_delete(Call &c, const FilterKind &k, uint32_t rule_idx, zel_ip_flow_handle_t h);
uint32_t filter_rule_modify(Call &c, const FilterKind &k, uint32_t rule_idx, zel_ip_flow_handle_t h,
                            const zel_ip_filter_action_t *a);

// ---- Pending lists -----------------------------------------------------
// Releases what the entries of `l` hold for the compiled set, in order,
// and keeps only the entries with something left (a failed step). 0 or
// the status of the last failed step.
uint32_t pending_release(Call &c, PendingList &l);
// pending_release on list `k.list` of the set `set_id`, if it is live.
uint32_t pending_release_set(Call &c, PendingList zel_ip_rule_set::*list, uint32_t set_id);

}  // namespace zel::ip

extern "C" {

// Tree 36: insert (op 0), delete (1) or replace the value of (2) a rule
// of `set`. With the pattern trace on (0x40), prints the rule. Failures:
// "Failed to insert filter entry, RTE Error: %s\n" (insert, replace) or
// "Failed to delete ext filter tree entry, RTE Error: %s\n", 0x1030010
// when the engine refuses the rule index, else 0x10054 / 0x10055.
uint32_t zel_ip_filter_hw_rule(zel_module_t *module, zel_ip_rule_set_handle_t set, uint32_t rule_idx,
                               uint32_t flow_key, const zel_ip_filter_rule_t *rule,
                               const zel_ip_filter_action_t *action, uint32_t op);

}  // extern "C"

#endif  // ZEL_IP_FILTER_PVT_H
