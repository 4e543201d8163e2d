// Brings the IPv4 module up on the software platform, programs a route
// into the destination lookup tree through the rule primitive, looks
// addresses up in the engine, removes the route and shuts down.
//
// The rule primitive (zel_ipv4_lpm_rule) works on the module's tree
// records, which are C++ records of the library's internals, so this
// example is C++ and includes the library's src/ headers; an application
// would program routes through the public route calls instead.
//
//     build/default/examples/route_lookup
//
// Exit status 0 when every lookup answered what was programmed.
#include <cstdio>

#include "core/zel_ip_priv.h"
#include "tree/zel_ip_hw_internal.h"
#include "tree/zel_ip_tree.h"
#include "zel_ip/zel_ip.h"
#include "zel_sim.h"

namespace {

constexpr uint32_t kDefaultVrd = 63;

uint32_t ipv4(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

void print_addr(uint32_t addr) {
    std::printf("%u.%u.%u.%u", addr >> 24, (addr >> 16) & 0xff, (addr >> 8) & 0xff, addr & 0xff);
}

// What the destination tree answers for `addr` in the default domain.
// A forward entry holds the next hop's top 8 bits in W1 bits 16-23 and its
// low 24 bits in W2; W1 = 4 is No-Route.
bool lookup(zel_sim_t *sim, uint32_t tree_id, uint32_t addr, uint32_t *next_hop) {
    const uint32_t values[] = {kDefaultVrd, addr}, widths[] = {6, 32};
    hwe_action_t a{};
    uint32_t depth = 0;
    if (zel_sim_engine_lookup_fields(zel_sim_engine(sim), tree_id, 2, values, widths, &a, &depth) != 0)
        return false;
    print_addr(addr);
    if (a.w1 & 1) {
        *next_hop = ((a.w1 >> 16) & 0xff) << 24 | (a.w2 & 0xffffff);
        std::printf(" -> forward via ");
        print_addr(*next_hop);
        std::printf(" (/%u)\n", depth - 6);
        return true;
    }
    *next_hop = 0;
    std::printf(" -> no route\n");
    return true;
}

}  // namespace

int main() {
    using namespace zel::ip;

    // 1. A platform (engine with the default image, framework) and the
    //    module object the framework would create.
    zel_sim_t *sim = zel_sim_create(nullptr);
    if (!sim) return 1;
    zel_module_t *m = zel_sim_module_new(sim, "zel_ip", ZEL_LOG_ERROR, 1);

    // 2. Start-up.
    uint32_t st = zel_ip_init(m);
    std::printf("zel_ip_init: 0x%x\n", st);
    if (st != 0) return 1;

    // 3. 10.1.0.0/16 via 192.0.2.1 in the default domain: key = VRD (6
    //    bits) and the 16 leading address bits; value = forward with the
    //    next hop split over W1 and W2. (The module's own operations hold
    //    the module lock here; this program is the only caller.)
    TreeRecord &dest = static_cast<ZelIpPriv *>(m->priv)->trees[kTreeDestAddr];
    const uint32_t next_hop = ipv4(192, 0, 2, 1);
    hwe_action_t route{HWE_ACTION_VALUE, 1u | (next_hop >> 24) << 16, next_hop & 0xffffff};
    st = ZRULE(m, dest, kRuleLearn, route, "Failed to add the LPM rule in hardware\n", {kDefaultVrd, 6},
               prefix_field(ipv4(10, 1, 0, 0), 16));
    std::printf("learn 10.1.0.0/16 via 192.0.2.1: 0x%x\n", st);

    // 4. Look up an address inside and one outside the route.
    uint32_t nh_in = 0, nh_out = 0;
    bool ok = st == 0 && lookup(sim, dest.id, ipv4(10, 1, 2, 3), &nh_in) &&
              lookup(sim, dest.id, ipv4(10, 2, 0, 1), &nh_out) && nh_in == next_hop && nh_out == 0;

    // 5. Remove it: the range falls back to the default action (No-Route).
    st = ZRULE(m, dest, kRuleUnlearn, route, "Failed to remove the LPM rule from hardware\n",
               {kDefaultVrd, 6}, prefix_field(ipv4(10, 1, 0, 0), 16));
    std::printf("unlearn 10.1.0.0/16: 0x%x\n", st);
    ok = ok && st == 0 && lookup(sim, dest.id, ipv4(10, 1, 2, 3), &nh_in) && nh_in == 0;

    // 6. Shutdown.
    st = zel_ip_shutdown(m);
    std::printf("zel_ip_shutdown: 0x%x\n", st);
    ok = ok && st == 0;

    zel_sim_module_free(m);
    zel_sim_destroy(sim);
    std::printf("%s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
