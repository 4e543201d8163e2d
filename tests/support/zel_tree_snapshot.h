// Every learnt entry of every single-pattern tree of a started module:
// "tree/len/key bits" -> "kind w1 w2". Two snapshots are equal when the
// engine holds the same entries with the same values.
#ifndef ZEL_TREE_SNAPSHOT_H
#define ZEL_TREE_SNAPSHOT_H

#include <map>
#include <string>

#include "zel_ip/zel_ip.h"
#include "zel_sim.h"

namespace zel::test {

using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot tree_snapshot(zel_sim_t *sim, zel_module_t *m);

}  // namespace zel::test

#endif  // ZEL_TREE_SNAPSHOT_H
