// The CPU path of filter rules, shared by flow key.
//
// A rule's flow key is FLOW-ID << 4 | RULE-KEY, and FLOW-ID is the
// policing flow id when the rule polices without counting: every such
// rule of one policer (and RULE-KEY) has the same key, and the engine
// holds one entry per key in each of trees 16 to 19. So the entries of a
// key are counted, part by part (policing: tree 16; parameters: trees 17
// and 18; queue: tree 19):
//
//   add     the first user of a part learns its entries; a later user
//           takes a use of the entries there, if they carry what it
//           needs, else it is refused (0x3000f): one key cannot deliver
//           two ways;
//   remove  a user that is not the last drops its use; the last one
//           unlearns the entries and keeps its use until they are gone,
//           so a failed remove is completed by repeating it;
//   abandon a user that goes away although its entries could not be
//           withdrawn drops its use; the entries stay (marked present)
//           until the next user of the key learns them again.
//
// Tree 19 is also where an ingress association that delivers to the CPU
// keeps its queue, keyed by its NS ID unshifted; a rule's flow key can be
// the same number (a policing flow id shifted by 4 can be an association
// id). The two never share an entry: an association does not take an id
// whose key a rule's queue entry holds (it draws another), and a rule is
// refused (0x3000f) a key whose entry an association holds, which the
// associations mark here.
//
// A rule holds its uses as PendingLeft bits (kLeftPolicing, kLeftParam,
// kLeftQueue): on its record while live, on its pending-list entry for
// the compiled set's key. The table is a module record (made at the first
// rule that needs it, grown by doubling, freed when its last key goes or
// with the module's records at shutdown). Everything here runs under the module write lock.
#ifndef ZEL_IP_FILTER_KEYS_H
#define ZEL_IP_FILTER_KEYS_H

#include <cstdint>

#include "core/zel_ip_call.h"
#include "filter/zel_ip_filter_types.h"
#include "zel_ip/zel_ip_filter.h"

namespace zel::ip {

// Takes the uses of the parts action `a` needs under `key` (policing with
// `police_id`) and sets their bits in *held. On failure (0x3000f a key in
// use with other parameters, kNoMemory, or the engine's status after
// "Failed to program the MTM queue ID") *held names the parts taken so
// far, which cpu_path_remove gives back.
uint32_t cpu_path_add(Call &c, uint32_t key, const zel_ip_filter_action_t &a, uint32_t police_id,
                      uint8_t *held);

// Gives back the uses *held names under `key`, clearing the bit of each
// one given back; 0 or the last failing status.
uint32_t cpu_path_remove(Call &c, uint32_t key, uint8_t *held);

// Drops the uses `held` names without touching the engine.
void cpu_path_abandon(Call &c, uint32_t key, uint8_t held);

// Whether a filter rule's queue entry uses or holds tree-19 key `key`.
bool rule_queue_key(const ZelIpPriv &p, uint32_t key);

// Ingress association `ns_id` is about to learn its tree-19 entry (mark)
// or has withdrawn it (unmark). Mark fails only when the bitmap cannot
// be made (kNoMemory, logged); ids outside the association pool are not
// kept.
uint32_t assoc_queue_mark(Call &c, uint32_t ns_id);
void assoc_queue_unmark(ZelIpPriv &p, uint32_t ns_id);

}  // namespace zel::ip

#endif  // ZEL_IP_FILTER_KEYS_H
