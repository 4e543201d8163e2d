/*
 * Types shared by the SDK framework (zel_*) and the packet engine
 * configuration library (hwe_*): key patterns, action records and the
 * opaque handles that cross between the two and the module.
 *
 * This header, zel_fw.h and hwe.h are the only door out of the module: a
 * hardware platform implements them, and so does the software platform in
 * platform/sim. Nothing here belongs to the IPv4 module.
 */
#ifndef ZEL_PLATFORM_TYPES_H
#define ZEL_PLATFORM_TYPES_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handles. */
typedef struct hwe_engine hwe_engine_t;        /* one packet engine            */
typedef struct hwe_rsrc hwe_rsrc_t;            /* an NS id namespace resource  */
typedef struct hwe_subnet_db hwe_subnet_db_t;  /* a prefix database            */
typedef struct zel_rw_lock zel_rw_lock_t;      /* framework read-write lock    */

/* Widest single key pattern any tree uses (the ingress association
 * database: 117-bit key plus the leading bit of its subnet database). */
#define ZEL_PTN_MAX_BITS 118u

/*
 * Key pattern: `len` specified leading bits of a key of `width` bits; the
 * other bits are wildcards. The specified bits are held right-aligned in
 * the framework-owned storage behind `bits`: extending shifts the value
 * left and ors the new field in. Raising `len` by one therefore puts a 0
 * bit in front of the key, which is what the subnet databases rely on.
 * `width` is the width given to zel_ptn_new; `len` may be raised above it
 * by one for a subnet database call and must be restored right after.
 */
typedef struct zel_ptn {
    void *bits;      /* framework storage: ZEL_PTN_MAX_BITS bits            */
    uint32_t width;  /* key width in bits                                    */
    uint32_t len;    /* number of specified leading bits (the key length)    */
} zel_ptn_t;

/* Vector pattern (OtreeSet keys): one key pattern per field, each with its
 * own specified length (exact, prefix or wildcard). */
typedef struct zel_vptn {
    uint32_t count;
    const zel_ptn_t *ptns;
} zel_vptn_t;

/* Range pattern (OVtreeSet keys): a low..high pair of a field of `width`
 * bits (1 to 32). An unmatched field carries 0 .. all ones. */
typedef struct zel_rptn {
    uint32_t width;
    uint32_t lo;
    uint32_t hi;
} zel_rptn_t;

/* Action kinds of an entry value. */
#define HWE_ACTION_NONE 0u   /* value entry without a function (listing: any value entry) */
#define HWE_ACTION_FUNC 1u   /* call the FPL flow function whose id is in w1              */
#define HWE_ACTION_VALUE 4u  /* value entry with two 24-bit data words                    */

/* Action record {action kind, W1, W2}; W1 and W2 carry 24 bits each. */
typedef struct hwe_action {
    uint32_t kind;
    uint32_t w1;
    uint32_t w2;
} hwe_action_t;

#ifdef __cplusplus
}
#endif

#endif /* ZEL_PLATFORM_TYPES_H */
