// What the two halves of binding share: the query half
// (zel_ip_sif_internal: the bind matrix and the entry-function query) and
// the custom-bind half (zel_ip_bind: the function table, custom bind and
// unbind).
//
// A bind request comes from the framework, so every handle in it is
// checked before a field behind it is read: the IPv4 flows through the
// live-record registry (and must belong to the module asked), the sibling
// module handles and the destination flow of another module by their
// magic words. Every call here runs under the module write lock.
#ifndef ZEL_IP_BIND_PVT_H
#define ZEL_IP_BIND_PVT_H

#include <cstdint>

#include "zel_fw.h"

struct zel_ip_flow;

namespace zel::ip {

// Codes of the matrix and query refusals (returned bare by the matrix,
// with severity 3 by the services).
inline constexpr uint32_t kBindBadParam = ZEL_E_INVALID_PARAM;    // 8
inline constexpr uint32_t kBindUnsupported = ZEL_E_INVALID_STATE; // 15

// A module handle of the framework (magic checked); NULL-safe.
bool bind_module_ok(const zel_module_t *mod);

// A live IPv4 flow of module `m` behind `h`, or NULL.
zel_ip_flow *bind_own_flow(zel_module_t *m, const void *h);

// The source flow checks of the bind matrix: a live flow of `m`; an
// ingress association must have the Bind action and the request must be
// custom. Logs the refusal at ERROR and sets *code (8); NULL then.
zel_ip_flow *bind_src_flow(zel_module_t *m, const zel_bind_info_t &b, uint32_t *code);

// The destination flow of another module: its flow header (non-NULL, the
// header magic). Its first word is its NS ID.
bool bind_dst_flow_ok(const void *h);

}  // namespace zel::ip

#endif  // ZEL_IP_BIND_PVT_H
