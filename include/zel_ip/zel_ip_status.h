/*
 * Status words of the IPv4 module.
 *
 * Every operation returns a 32-bit status word: 0 on success. A failure
 * carries its severity in bits 16-19 (1 FATAL, 3 ERROR) and its code in
 * the other bits. Codes with bits 24-31 clear are the framework's (see
 * zel_fw.h, texts from the framework); codes 0x01000001 to 0x0100001a are
 * the module's own, named by zel_ipv4_error_name.
 */
#ifndef ZEL_IP_STATUS_H
#define ZEL_IP_STATUS_H

#include <stdint.h>
#include "zel_ip/zel_ip_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZEL_IP_OK 0u

#define ZEL_IP_E_NAPT_FLOW_UNAVAILABLE 0x1000001u
#define ZEL_IP_E_INGRESS_STATE_MEMORY_UNAVAILABLE 0x1000002u
#define ZEL_IP_E_INGRESS_STATE_ID_UNAVAILABLE 0x1000003u
#define ZEL_IP_E_EGRESS_STATE_MEMORY_UNAVAILABLE 0x1000004u
#define ZEL_IP_E_INVALID_IP_ASSOCIATION 0x1000005u
#define ZEL_IP_E_INVALID_IP_INTERFACE 0x1000006u
#define ZEL_IP_E_INVALID_INTERFACE_STATE 0x1000007u
#define ZEL_IP_E_INVALID_IP_VERSION 0x1000008u
#define ZEL_IP_E_INVALID_SRC_IP_ADDRESS 0x1000009u
#define ZEL_IP_E_INVALID_QOS_PROFILE_TYPE 0x100000au
#define ZEL_IP_E_MAX_CLASS_CONFIG_EXCEEDED 0x100000bu
#define ZEL_IP_E_INVALID_DSCP_PROFILE 0x100000cu
#define ZEL_IP_E_INVALID_FILTER_PROTO_RULE 0x100000du
#define ZEL_IP_E_NAPT_NO_ADDRESS 0x100000eu
#define ZEL_IP_E_NAPT_NO_OUT_L4PORT 0x100000fu
#define ZEL_IP_E_INVALID_FILTER_INDEX 0x1000010u
#define ZEL_IP_E_INVALID_FILTER_PARAM 0x1000011u
#define ZEL_IP_E_INVALID_ADDR_PREFIX 0x1000012u
#define ZEL_IP_E_FIB_UPDATE_FAILURE 0x1000013u
#define ZEL_IP_E_INVALID_IP_ADDRESS 0x1000014u
#define ZEL_IP_E_INVALID_EXCEPTION_TYPE 0x1000015u
#define ZEL_IP_E_INVALID_MTU 0x1000016u
#define ZEL_IP_E_INCONSISTENT_RATES 0x1000017u
#define ZEL_IP_E_INVALID_FILTER_DIRECTION 0x1000018u
#define ZEL_IP_E_INVALID_FILTER_RULESET 0x1000019u
#define ZEL_IP_E_INTERNAL_MEMORY_UNAVAILABLE 0x100001au

/* Severity nibble of a status word. */
#define ZEL_IP_SEVERITY(status) (((status) >> 16) & 0xfu)
#define ZEL_IP_SEV_FATAL 1u
#define ZEL_IP_SEV_ERROR 3u

/* Name of a module code ("ZEL_IP_E_..."); the severity nibble is ignored.
 * Any other code gives "ZEL_E_IPV4_UNKNOWN". Takes no lock. */
ZEL_IP_EXPORT const char *zel_ipv4_error_name(uint32_t code);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_STATUS_H */
