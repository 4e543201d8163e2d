// Helpers of the egress association and egress flow tests: parameter
// records, the engine state they program and the trees' lookups.
#ifndef EGRESS_TEST_UTIL_H
#define EGRESS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <vector>

#include "flow/zel_ip_egress_pvt.h"
#include "flow/zel_ip_flow_pvt.h"
#include "flow_test_util.h"

namespace egresstest {

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

constexpr uint32_t kDip = ip(192, 0, 2, 1), kSip = ip(198, 51, 100, 7);

// Mask 0, DIP, SIP and both ports: the derived mask is 0x7D.
inline zel_ip_egress_assoc_params_t udp_encap(uint16_t dport = 4789, uint16_t sport = 5000) {
    zel_ip_egress_assoc_params_t p{};
    p.dip = kDip;
    p.sip = kSip;
    p.dport = dport;
    p.sport = sport;
    p.mtu = 1400;
    return p;
}

inline uint32_t ns_of(zel_ip_flow_handle_t f) { return f->head.hdr.ns_id; }

// The three entries of association id `ns`, as {W1, W2} of value entries.
struct AssocEntries {
    hwe_action_t dip, sip_mtu, info;
};
inline AssocEntries assoc_entries(hwe_engine_t *eng, uint32_t ns) {
    return {flowtest::lookup(eng, zel::ip::kTreeEgressAssocDip, {ns}),
            flowtest::lookup(eng, zel::ip::kTreeEgressAssocSipMtu, {ns}),
            flowtest::lookup(eng, zel::ip::kTreeEgressAssocInfo, {ns})};
}

// The 16 parameter bytes of an id.
inline std::vector<uint8_t> params_of(hwe_engine_t *eng, uint32_t ns) {
    std::vector<uint8_t> b(16, 0xee);
    EXPECT_EQ(zel_sim_engine_sed_read(eng, ns, 0, b.data(), 16), 0u);
    return b;
}
inline std::vector<uint8_t> ttl_params(uint8_t ttl) {
    std::vector<uint8_t> b(16, 0);
    b[0] = ttl;
    return b;
}

// What tree 29 answers for {interface, next hop}; `depth` 48, 16 or 0.
inline hwe_action_t flow_hit(hwe_engine_t *eng, uint32_t intf_id, uint32_t next_hop, uint32_t *depth = nullptr) {
    return flowtest::lookup(eng, zel::ip::kTreeEgressFlow, {intf_id, next_hop}, depth);
}

// Entries of trees 10, 11, 12 and 29 and the ids taken from both pools.
struct State {
    std::vector<uint32_t> entries;
    uint32_t assoc_ids, flow_ids;
    bool operator==(const State &o) const {
        return entries == o.entries && assoc_ids == o.assoc_ids && flow_ids == o.flow_ids;
    }
};
inline State state(hwe_engine_t *eng) {
    State s{{},
            zel_sim_engine_ns_in_use(eng, "ip_egress_assoc"),
            zel_sim_engine_ns_in_use(eng, "zel_ipv4_egress_flow_ids")};
    for (uint32_t t : {10u, 11u, 12u, 29u}) s.entries.push_back(flowtest::entries(eng, t));
    return s;
}
inline std::ostream &operator<<(std::ostream &os, const State &s) {
    os << "entries";
    for (uint32_t e : s.entries) os << ' ' << e;
    return os << ", ids " << s.assoc_ids << '/' << s.flow_ids;
}

}  // namespace egresstest

#endif  // EGRESS_TEST_UTIL_H
