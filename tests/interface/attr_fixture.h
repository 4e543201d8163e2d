// Shared by the attribute and capture tests: an IPoE interface and a
// tunnel to change, calls with their output captured, the words the
// record keeps (read through the module's own accessor, to check what a
// later operation starts from) and lookups of trees 23 to 26 and 31 (keys
// as field values, expectations written from the documented layouts).
#ifndef ATTR_FIXTURE_H
#define ATTR_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "interface/zel_ip_attr_pvt.h"
#include "tunnel_fixture.h"

namespace intf_test {

constexpr uint32_t kDscpPolice = 26, kCapture = 31;
constexpr uint32_t kL2Id = 0x21;  // the IPoE interface's Layer-2 interface id (its INTF-ID)

// What the record keeps for the attribute operations.
struct Words {
    uint32_t ingress, egress, policy_set, profile;
    uint8_t police_on;
    void *policer;
    void *ingress_rs, *egress_rs;
    uint32_t mtu;  // IPoE: the stored MTU; tunnel: 0
    bool operator==(const Words &) const = default;
};

inline Words words_of(const void *h) {
    const zel::ip::IntfAttr a = zel::ip::intf_attr_of(h);
    if (!a.rec) return {};
    const uint32_t mtu = a.ipoe ? static_cast<const zel_ip_interface *>(a.rec)->params.mtu : 0;
    return {*a.ingress_flags,   *a.egress_flags,     *a.policy_set_id,     *a.dscp_profile, a.policing->enable,
            a.policing->policer, *a.ingress_rule_set, *a.egress_rule_set, mtu};
}

inline std::ostream &operator<<(std::ostream &o, const Words &w) {
    return o << std::hex << "{in 0x" << w.ingress << " eg 0x" << w.egress << " pset " << w.policy_set << " prof "
             << w.profile << " police " << int(w.police_on) << " mtu " << std::dec << w.mtu << "}";
}

class AttrTest : public TunnelTest {
protected:
    void SetUp() override {
        TunnelTest::SetUp();
        zel_ip_intf_params_t p = params(kL2Id, ip(10, 1, 0, 1), 24);
        ipoe_ = make(p);
        tun_ = tmake(tparams(7));
        tun_id_ = intf_of(7);
    }

    // Calls with their output captured into text_.
    template <typename F>
    uint32_t run(F &&f) {
        return captured(&text_, f);
    }
    uint32_t status(void *h, uint32_t s) { return run([&] { return zel_ip_interface_status_set(m_, h, s); }); }
    uint32_t ftype(void *h, uint32_t dir, uint32_t t) {
        return run([&] { return zel_ip_interface_filter_type_set(m_, h, dir, t); });
    }
    uint32_t profile(void *h, uint32_t p, uint32_t dir = 0) {
        return run([&] { return zel_ip_interface_priority_map_profile_config(m_, h, dir, p); });
    }
    uint32_t police(void *h, uint8_t on, void *policer) {
        const zel_ip_policing_req_t req{on, policer};
        return run([&] { return zel_ip_interface_ingress_policing_set(m_, h, &req); });
    }
    uint32_t set_mtu(zel_ip_intf_handle_t h, uint32_t mtu) {
        return run([&] { return zel_ip_interface_mtu_set(m_, h, mtu); });
    }

    // The INTF-ID of a handle of either kind.
    uint32_t id_of(void *h) { return h == static_cast<void *>(ipoe_) ? kL2Id : tun_id_; }
    Hit ingress(void *h) { return by_intf(kIngress, id_of(h)); }
    Hit egress(void *h) { return by_intf(kEgress, id_of(h)); }
    Hit dscp_police(void *h) { return by_intf(kDscpPolice, id_of(h)); }
    Hit rule_sets(void *h) { return by_intf(kRuleSet, id_of(h)); }
    Hit capture_point(void *h, uint32_t sel, uint32_t dir) {
        return lookup(sim_, m_, kCapture, {id_of(h), sel, dir}, {16, 1, 1});
    }

    // The one line of the last call's output that contains `needle`.
    std::string line(const std::string &needle) { return line_with(text_, needle); }

    zel_ip_intf_handle_t ipoe_ = nullptr;
    zel_ip_tunnel_handle_t tun_ = nullptr;
    uint32_t tun_id_ = 0;
    std::string text_;
};

}  // namespace intf_test

#endif  // ATTR_FIXTURE_H
