// Helpers of the ingress association tests: parameter records, what a
// locally terminated packet hits in tree 8 or 9, and the engine state an
// association programs.
#ifndef ASSOC_TEST_UTIL_H
#define ASSOC_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "flow/zel_ip_flow_pvt.h"
#include "flow_test_util.h"
#include "tree/zel_ip_assoc_mask.h"

namespace assoctest {

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

// An association of `mask` with `action` (Discard unless said).
inline zel_ip_ingress_assoc_params_t assoc(uint16_t mask, uint32_t action = ZEL_IP_ASSOC_DISCARD) {
    zel_ip_ingress_assoc_params_t p{};
    p.mask = mask;
    p.action = action;
    return p;
}

// A locally terminated packet: the fields the association lookup reads.
struct Pkt {
    uint32_t vrd = 63, intf = 0, proto = 0, dip = 0, dport = 0, sip = 0, sport = 0;
};

// What the packet engine finds for `pkt` when its destination entry
// carries `mask` (the association mask of the address or route): tree 9
// for the compressed shape, else tree 8 keyed by the tree mask and the
// selected fields whole. `depth` 0 is the catch-all.
struct Hit {
    hwe_action_t a;
    uint32_t depth;
    uint32_t tree;
};
inline Hit packet_hit(hwe_engine_t *eng, uint16_t mask, const Pkt &pkt, uint8_t cdip = 0) {
    namespace lay = zel::ip::layout;
    Hit h{{0xff, 0, 0}, 0, zel::ip::kTreeIngressAssocFlow};
    zel_ip_ingress_assoc_params_t shape{};
    shape.mask = mask;
    shape.proto = static_cast<uint8_t>(pkt.proto);
    shape.dport = static_cast<uint16_t>(pkt.dport);
    const uint8_t tm = zel::ip::assoc_tree_mask(mask, pkt.proto);
    if (zel::ip::assoc_compressed_shape(shape)) {
        h.tree = zel::ip::kTreeCompIngressAssocFlow;
        h.a = flowtest::lookup(eng, h.tree, {pkt.dport, cdip}, &h.depth);
        return h;
    }
    const uint32_t vals[lay::kAfCount] = {pkt.vrd, pkt.intf, pkt.proto, pkt.dip, pkt.dport, pkt.sip, pkt.sport};
    std::vector<uint32_t> v{tm}, w{lay::kAssocMaskBits};
    uint32_t len = lay::kAssocMaskBits;
    for (uint32_t i = 0; i < lay::kAfCount; ++i) {
        if (!(tm & lay::kAssocFields[i].mask_bit)) continue;
        v.push_back(vals[i]);
        w.push_back(lay::kAssocFields[i].field.width);
        len += lay::kAssocFields[i].field.width;
    }
    for (const uint32_t width = 117; len < width;) {  // the rest of the key: zeros
        const uint32_t n = std::min<uint32_t>(32, width - len);
        v.push_back(0);
        w.push_back(n);
        len += n;
    }
    EXPECT_EQ(zel_sim_engine_lookup_fields(eng, flowtest::tree_id(eng, h.tree), static_cast<uint32_t>(v.size()),
                                           v.data(), w.data(), &h.a, &h.depth),
              0u);
    return h;
}

// The association id of a live association.
inline uint32_t ns_of(zel_ip_flow_handle_t f) { return f->head.hdr.ns_id; }

// The trees an association programs, and the ids it holds.
inline const std::vector<uint32_t> kAssocTrees = {7, 8, 9, 16, 17, 18, 19, 27};
struct State {
    std::vector<uint32_t> entries;
    uint32_t ids;
    bool operator==(const State &o) const { return entries == o.entries && ids == o.ids; }
};
inline State state(hwe_engine_t *eng) {
    State s{{}, zel_sim_engine_ns_in_use(eng, "ip_ingress_assoc")};
    for (uint32_t t : kAssocTrees) s.entries.push_back(flowtest::entries(eng, t));
    return s;
}
inline std::ostream &operator<<(std::ostream &os, const State &s) {
    os << "entries";
    for (uint32_t e : s.entries) os << ' ' << e;
    return os << ", ids " << s.ids;
}

}  // namespace assoctest

#endif  // ASSOC_TEST_UTIL_H
