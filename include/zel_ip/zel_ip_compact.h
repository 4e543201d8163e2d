/*
 * Tree compaction: the framework's request to compact the module's lookup
 * trees, and the progress callback the packet engine calls while a long
 * compaction runs.
 *
 * Learning and unlearning leaves a tree's engine memory larger than its
 * live entries need. Start-up registers zel_ip_compact_func with the
 * framework (service-function table and compaction registration, whose
 * flag mask is the OR of every tree's flags). A request walks the 38
 * trees in a cycle from where the last failed request stopped and asks
 * the engine to compact each eligible tree: one whose key is wider than
 * its initial table (rule-set trees never are) and whose flags share a bit
 * with the request's mask. With the callback, the engine calls
 * zel_ip_compact_cb between chunks, which lets go of the module lock
 * around the framework's turn, so configuration calls of other threads
 * (or of the framework's turn itself) run meanwhile; a change to the tree
 * under compaction in that window stops the compaction (0x300a3) and the
 * next request starts again at that tree.
 */
#ifndef ZEL_IP_COMPACT_H
#define ZEL_IP_COMPACT_H

#include <stdint.h>

#include "zel_ip/zel_ip_status.h"
#include "zel_ip/zel_ip_types.h"
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Compact the eligible trees whose flags share a bit with flag_mask, in
 * index order from the resume position, wrapping around. `ctx` is the
 * system context the request's messages are tested against; use_callback
 * non-zero has the engine call zel_ip_compact_cb between chunks.
 * Each tree logs (info) "\nCompacting <tree> ... " and "Done!\n" or
 * "Failed!\n". Returns:
 *   0        every eligible tree compacted (the next pass starts at tree
 *            0), or a compaction already running: a Warning "Compaction
 *            already in progress", nothing compacted;
 *   0x300a2  the framework stopped the compaction (context status 1);
 *   0x300a3  the tree under compaction changed while the lock was let go
 *            (status 2);
 *   0x300a4  the engine stopped it (status 3);
 *   0x30043  any other failure, or the module was shut down while the
 *            lock was let go (status 5: the request then touches nothing
 *            of the shut-down instance);
 *   0x30001, or a lock failure as every operation reports it.
 * After 0x300a2, 0x300a3, 0x300a4 and 0x30043 the next request starts at
 * the tree that failed. */
ZEL_IP_EXPORT uint32_t zel_ip_compact_func(zel_sys_ctx_t *ctx, uint32_t flag_mask, zel_module_t *module,
                                           uint32_t use_callback);

/* The engine's progress callback of a request (the context record the
 * request filled): releases the module lock, gives the framework its turn
 * (zel_sif_compact_callback), takes the lock back. Returns 0 to go on;
 * 1 with status 5 when the module was shut down meanwhile; 2 with status
 * 2 when the tree under compaction changed (and the framework said go
 * on); otherwise the framework's answer, or a failure to release (the
 * status with severity 1) or to take back (severity 3) the lock. Called
 * by the engine on the requesting thread only. */
ZEL_IP_EXPORT uint32_t zel_ip_compact_cb(zel_compact_ctx_t *compact_ctx);

/* Takes and releases the module lock with entry and exit lines; returns 0
 * (or what the call skeleton reports). It has no other effect. */
ZEL_IP_EXPORT uint32_t zel_ipv4_perf_data_dump(zel_module_t *module);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_COMPACT_H */
