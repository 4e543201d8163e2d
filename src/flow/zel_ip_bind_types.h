// What a custom bind leaves in the flow it bound (ingress associations and
// egress flows). Data only; the binding code (zel_ip_sif_internal,
// zel_ip_bind) keeps it.
#ifndef ZEL_IP_BIND_TYPES_H
#define ZEL_IP_BIND_TYPES_H

#include <cstdint>

namespace zel::ip {

// A flow is bound while `to` is set: the destination module it was bound
// to, which is also the user its use is registered with (a bound flow is
// not deleted under the bind). `map` is set while an association holds
// its tree-14 entry (an F2F bind), so an unbind that failed partway only
// withdraws what is left.
struct BindState {
    const void *to;     // destination module handle; NULL = not bound
    uint32_t dst_ns;    // the destination flow's NS ID (F2F, F2ID)
    uint8_t imc_idx;    // function-table indexes the entry carries
    uint8_t entry_idx;
    uint8_t map;        // tree 14 held
};

}  // namespace zel::ip

#endif  // ZEL_IP_BIND_TYPES_H
