/*
 * Diagnostics: printed dumps of what the module programmed into the packet
 * engine.
 *
 * The dumps print on standard output (where the module's log lines go
 * too) and change nothing. Their text is their contract:
 *   - zel_ip_tables_dump decodes the trees of the selected table groups
 *     column by column: for each tree a blank line, "<tree name>, " and the
 *     tree's column header, then one row "<tree name>, <columns>" per
 *     entry (a tree's catch-all entry at most once);
 *   - zel_ip_fpl_trees_dump prints every tree raw through the framework's
 *     pattern printers;
 *   - zel_ip_defrag_se_states_dump prints the state records of the 2020
 *     reassembly contexts as comma-separated rows.
 *
 * Every call takes the module handle first and runs under the module's
 * write lock for the whole dump; it returns 0, 0x30001 for a bad module
 * handle or a module that is not started, the framework's status with
 * severity 3 when the lock cannot be taken (severity 1 when it cannot be
 * released), or the failures listed per call.
 */
#ifndef ZEL_IP_DIAG_H
#define ZEL_IP_DIAG_H

#include <stdint.h>

#include "zel_ip/zel_ip_status.h"
#include "zel_ip/zel_ip_types.h"
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Table groups of zel_ip_tables_dump (a tree belongs to one or more). */
#define ZEL_IP_TABLES_INTERFACE 0x001u    /* per-interface trees 22-26, capture 31        */
#define ZEL_IP_TABLES_ROUTE 0x002u        /* destinations 2, policy routes 3/33/37, NAPT 21 */
#define ZEL_IP_TABLES_INGRESS 0x004u      /* ingress associations 7, 8, 9, 14, 19, 27     */
#define ZEL_IP_TABLES_EGRESS_FLOW 0x008u  /* bound flows 14, egress flows 29              */
#define ZEL_IP_TABLES_EGRESS_ASSOC 0x010u /* egress associations 10, 11, 12               */
#define ZEL_IP_TABLES_TUNNEL 0x020u       /* tunnels 4, 5, 6                              */
#define ZEL_IP_TABLES_VRD_MODE 0x040u     /* host or router mode 1                        */
#define ZEL_IP_TABLES_BIND 0x080u         /* binding 8, 9, 14, 28, 29                     */
#define ZEL_IP_TABLES_QOS 0x100u          /* DSCP and QoS maps 20, 30, 32                 */
#define ZEL_IP_TABLES_EXCEPTION 0x200u    /* exceptions 13, 15                            */
#define ZEL_IP_TABLES_FILTER 0x400u       /* sources 0, filter CPU paths 16-19, 34, 36    */
#define ZEL_IP_TABLES_ALL 0x7ffu

/* Print the trees whose groups share a bit with table_group (1 to 0x7FF),
 * in index order, then the basic filter, extended filter and policy route
 * rule sets. The association flow filter tree is in no group. Returns
 * 0x30008 for a group outside 1 to 0x7FF (nothing printed) and 0x1007E
 * when the engine refuses to list a tree (the dump stops there). */
ZEL_IP_EXPORT uint32_t zel_ip_tables_dump(zel_module_t *module, uint32_t table_group);

/* Print every tree raw: the entries of every single-pattern tree, then the
 * rules of the basic filter, association flow filter, extended filter and
 * policy route trees. Returns 0x1007E when the engine refuses a listing
 * (the dump stops there). */
ZEL_IP_EXPORT uint32_t zel_ip_fpl_trees_dump(zel_module_t *module);

/* Print the state record of every reassembly context. Returns 0x1002B
 * when a record cannot be read (the dump stops there). */
ZEL_IP_EXPORT uint32_t zel_ip_defrag_se_states_dump(zel_module_t *module);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_DIAG_H */
