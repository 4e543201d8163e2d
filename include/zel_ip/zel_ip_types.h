/*
 * Handle types of the IPv4 module's public API.
 *
 * Every handle is a pointer to a record the module owns; the module checks
 * a handle before it reads the record, so a stale or garbage handle is
 * refused, never followed. The module handle (zel_module_t) is the
 * framework's object, declared in zel_fw.h.
 */
#ifndef ZEL_IP_TYPES_H
#define ZEL_IP_TYPES_H

#include <stdint.h>

#include "zel_fw.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zel_ip_vrd *zel_ip_vrd_handle_t;            /* routing domain; NULL = 63 */
typedef struct zel_ip_interface *zel_ip_intf_handle_t;     /* IPoE interface            */
typedef struct zel_ip_tunnel *zel_ip_tunnel_handle_t;      /* IP tunnel interface       */
typedef struct zel_ip_vif *zel_ip_vif_handle_t;            /* virtual interface         */
typedef struct zel_ip_flow *zel_ip_flow_handle_t;          /* flow (association, rule)  */
typedef struct zel_ip_rule_set *zel_ip_rule_set_handle_t;  /* filter rule set           */
typedef struct zel_ip_policy_set *zel_ip_policy_set_handle_t; /* PBR policy set         */

#ifdef __cplusplus
}
#endif

#endif /* ZEL_IP_TYPES_H */
