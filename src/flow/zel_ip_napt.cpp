// NAPT rules: two entries of tree 21 (ip_napt_lookup) per rule, keyed
//
//     | IP-ADDR (32) | L4-PORT (16) |     48 bits with ports, 32 without
//
//   input to output: key in_addr[:in_port]    value out_addr[, out_port]
//   output to input: key out_addr[:out_port]  value in_addr[, in_port]
//
// Both keys carry a port exactly when the output port is given (an input
// port requires it); a value carries the other side's port when that port
// is given (0 in the value: the port is not translated). Tree 21 is exact
// match over 48 bits; a 32-bit key covers every port of its address. The
// tree is the only record of the rules.
#include "core/zel_ip_call.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_flow.h"
#include "zel_ip/zel_ip_napt.h"

using namespace zel::ip;
namespace lay = zel::ip::layout;

namespace {

constexpr uint32_t kAddrOnlyLen = lay::kAddrBits;                    // 32
constexpr uint32_t kAddrPortLen = lay::kAddrBits + lay::kPortBits;   // 48
constexpr uint8_t kBothAddrs = ZEL_IP_NAPT_IN_ADDR | ZEL_IP_NAPT_OUT_ADDR;

// One direction of a rule: its key and the translation it gives.
struct NaptEntry {
    lay::KeySpec key;
    hwe_action_t value;
};

// The two entries of a rule, input to output first.
void napt_entries(const zel_ip_napt_rule_t &r, NaptEntry out[2]) {
    const bool ports = (r.flags & ZEL_IP_NAPT_OUT_PORT) != 0;
    const uint32_t len = ports ? kAddrPortLen : kAddrOnlyLen;
    const bool in_port = (r.flags & ZEL_IP_NAPT_IN_PORT) != 0;
    out[0] = {lay::key_spec(kTreeNapt, {r.in_addr, r.in_port}, len),
              lay::napt::encode(r.out_addr, ports ? r.out_port : 0u)};
    out[1] = {lay::key_spec(kTreeNapt, {r.out_addr, r.out_port}, len),
              lay::napt::encode(r.in_addr, in_port ? r.in_port : 0u)};
}

// The checks add and delete share; `addr_msg` is the caller's text for a
// missing address.
uint32_t check_rule(Call &c, const zel_ip_napt_rule_t *r, const char *addr_msg) {
    if (!r) return ZREJECT(c.m, kBadParam, "Invalid NULL pointer parameter\n");
    if ((r->flags & kBothAddrs) != kBothAddrs)
        return ZREJECT(c.m, error(ZEL_IP_E_NAPT_NO_ADDRESS), "%s", addr_msg);
    if ((r->flags & ZEL_IP_NAPT_IN_PORT) && !(r->flags & ZEL_IP_NAPT_OUT_PORT))
        return ZREJECT(c.m, error(ZEL_IP_E_NAPT_NO_OUT_L4PORT),
                       "Output L4 port is mandatory when Input L4 port is specified\n");
    return 0;
}

// Learns or unlearns both entries in order; the first failure stops.
uint32_t program(Call &c, const zel_ip_napt_rule_t &r, uint32_t op) {
    NaptEntry e[2];
    napt_entries(r, e);
    const char *msg = op == kRuleLearn ? "Failed to add LPM rule in hardware\n"
                                       : "Failed to remove LPM rule from hardware\n";
    for (NaptEntry &x : e)
        if (uint32_t st = ZRULE_KEY(c.m, c.priv->trees[kTreeNapt], op, x.value, msg, x.key)) return st;
    return 0;
}

uint32_t napt_add(Call &c, const zel_ip_napt_rule_t *r) {
    if (uint32_t st = check_rule(c, r, "Input and Output IP address is mandatory for this API.\n")) return st;
    return program(c, *r, kRuleLearn);
}

uint32_t napt_delete(Call &c, const zel_ip_napt_rule_t *r) {
    if (uint32_t st = check_rule(c, r, "Input and Output IP address is mandatory for this API\n")) return st;
    return program(c, *r, kRuleUnlearn);
}

}  // namespace

extern "C" {

uint32_t zel_ip_napt_rule_add(zel_module_t *module, const zel_ip_napt_rule_t *rule) {
    return with_module(module, __func__, [&](Call &c) { return napt_add(c, rule); });
}

uint32_t zel_ip_napt_rule_delete(zel_module_t *module, const zel_ip_napt_rule_t *rule) {
    return with_module(module, __func__, [&](Call &c) { return napt_delete(c, rule); });
}

}  // extern "C"
