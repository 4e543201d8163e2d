// What a locally terminated packet hits in the ingress association lookup
// (shared by `lookup`).
#ifndef ZEL_IP_SIM_CMD_ASSOC_H
#define ZEL_IP_SIM_CMD_ASSOC_H

#include <cstdint>
#include <string>

#include "cli.h"

namespace zcli {

// The fields of a packet the association lookup reads.
struct AssocPacket {
    uint32_t vrd_id, intf_id, proto, dip, dport, sip, sport;
};

// Looks the packet up in tree 8 (or, for the compressed shape, tree 9)
// with `dest_mask`, the tree mask its destination entry carries, and
// writes "tree N: association <name> (FLOW-ID 0x.., <action>)" or "tree
// N: no association ..." to *out; a bound association adds ", calls <IMC
// function> then <entry function>" as tree 28 names them. False when the
// engine cannot be asked.
bool assoc_packet_hit(Session &s, uint8_t dest_mask, const AssocPacket &k, std::string *out);

// The function tree 28 maps a custom-bind index to, as text.
std::string bound_fn_text(hwe_engine_t *eng, uint32_t idx);

}  // namespace zcli

#endif  // ZEL_IP_SIM_CMD_ASSOC_H
