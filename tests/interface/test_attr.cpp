// Interface attributes on IPoE and tunnel interfaces: each change is
// checked twice, in the engine entry it rewrites and in what a later
// operation on the same interface starts from (the record's words), and
// the refusals with their statuses and messages. Expected words are
// written from the documented bit positions, not from the module's codecs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "attr_fixture.h"

using namespace intf_test;

namespace {

constexpr uint32_t kDown23 = 1u << 22, kDown24 = 1u << 6;
constexpr uint32_t kBasic = 1u << 3, kExt = 1u << 4, kPolicing = 1u << 5, kDscpMap = 1u << 6;

class Attr : public AttrTest {
protected:
    std::vector<void *> both() { return {ipoe_, tun_}; }
};

// ---- Administrative state ----------------------------------------------------

TEST_F(Attr, StatusOtherThanOneDisablesBothDirections) {
    for (void *h : both()) {
        SCOPED_TRACE(h == static_cast<void *>(ipoe_) ? "IPoE" : "tunnel");
        const Hit in0 = ingress(h), eg0 = egress(h);
        struct Case {
            uint32_t status;
            bool down;
        };
        for (const Case &k : {Case{0, true}, Case{1, false}, Case{2, true}, Case{1, false}}) {
            ASSERT_EQ(status(h, k.status), 0u) << text_;
            const uint32_t in = k.down ? in0.a.w1 | kDown23 : in0.a.w1, eg = k.down ? eg0.a.w1 | kDown24 : eg0.a.w1;
            EXPECT_TRUE(is_value(ingress(h).a, in, in0.a.w2)) << k.status;
            EXPECT_TRUE(is_value(egress(h).a, eg, eg0.a.w2)) << k.status;
            EXPECT_EQ(words_of(h).ingress, in);
            EXPECT_EQ(words_of(h).egress, eg);
        }
        // A later change starts from the stored words: down, then an
        // extended ingress filter and a basic egress one, keeps bits 22 and 6.
        ASSERT_EQ(status(h, 0), 0u);
        ASSERT_EQ(ftype(h, 0, 2), 0u) << text_;
        ASSERT_EQ(ftype(h, 1, 1), 0u) << text_;
        EXPECT_EQ(ingress(h).a.w1, in0.a.w1 | kDown23 | kExt);
        EXPECT_EQ(egress(h).a.w1, eg0.a.w1 | kDown24 | kBasic);
        ASSERT_EQ(status(h, 1), 0u);
        EXPECT_EQ(ingress(h).a.w1, in0.a.w1 | kExt);
        EXPECT_EQ(egress(h).a.w1, eg0.a.w1 | kBasic);
    }
}

TEST_F(Attr, RefusedHandlesChangeNothing) {
    const Snapshot before = snap();
    int garbage = 0;
    struct Case {
        const char *name;
        uint32_t st;
        uint32_t want;
        const char *msg;
    };
    const zel_ip_policing_req_t off{0, nullptr};
    const Case cases[] = {
        {"status", run([&] { return zel_ip_interface_status_set(m_, &garbage, 0); }), 0x1030006,
         "Invalid Interface Handle type"},
        {"filter type", run([&] { return zel_ip_interface_filter_type_set(m_, &garbage, 0, 1); }), 0x30008,
         "Invalid Interface Handle type"},
        {"profile", run([&] { return zel_ip_interface_priority_map_profile_config(m_, nullptr, 0, 1); }), 0x30008,
         "Invalid Interface Handle type"},
        {"policing", run([&] { return zel_ip_interface_ingress_policing_set(m_, &garbage, &off); }), 0x30008,
         "Invalid Interface Handle type"},
        {"policing NULL", run([&] { return zel_ip_interface_ingress_policing_set(m_, ipoe_, nullptr); }), 0x30008,
         "Null Pointer Parameter"},
        {"mtu on a tunnel",
         run([&] { return zel_ip_interface_mtu_set(m_, reinterpret_cast<zel_ip_intf_handle_t>(tun_), 1400); }),
         0x30008, "Invalid Interface Handle or type"},
    };
    for (const Case &k : cases) {
        EXPECT_EQ(k.st, k.want) << k.name;
    }
    EXPECT_EQ(snap(), before);
}

// ---- Filter kind ---------------------------------------------------------------

TEST_F(Attr, FilterKindReplacesBitsThreeAndFour) {
    struct Case {
        uint32_t dir, type, bits;
    };
    const Case cases[] = {{0, 1, kBasic}, {0, 2, kExt}, {0, 0, 0}, {1, 2, kExt}, {1, 1, kBasic}, {1, 0, 0}};
    for (void *h : both()) {
        const uint32_t in0 = ingress(h).a.w1, eg0 = egress(h).a.w1;
        for (const Case &k : cases) {
            SCOPED_TRACE(testing::Message() << "dir " << k.dir << " type " << k.type);
            ASSERT_EQ(ftype(h, k.dir, k.type), 0u) << text_;
            const Hit changed = k.dir == 0 ? ingress(h) : egress(h);
            const uint32_t base = k.dir == 0 ? in0 : eg0;
            EXPECT_EQ(changed.a.w1, (base & ~(kBasic | kExt)) | k.bits);
            EXPECT_EQ(k.dir == 0 ? words_of(h).ingress : words_of(h).egress, changed.a.w1);
        }
    }
    // The IPoE interface's stored parameters follow the ingress kind.
    ASSERT_EQ(ftype(ipoe_, 0, 2), 0u);
    EXPECT_EQ(ipoe_->params.filter_type, 2u);
    ASSERT_EQ(ftype(ipoe_, 1, 1), 0u);
    EXPECT_EQ(ipoe_->params.filter_type, 2u);

    const Snapshot before = snap();
    EXPECT_EQ(ftype(ipoe_, 2, 1), 0x1030018u);
    EXPECT_EQ(line("direction"), "[zel_ip_log: ERROR] FILE:LINE Invalid filter direction specified");
    EXPECT_EQ(ftype(tun_, 0, 3), 0x30008u);
    EXPECT_EQ(line("type"), "[zel_ip_log: ERROR] FILE:LINE Invalid filter type specified");
    EXPECT_EQ(snap(), before);
}

// ---- DSCP map profile and policing -----------------------------------------------

TEST_F(Attr, ProfileRangeAndDirection) {
    const Snapshot before = snap();
    EXPECT_EQ(profile(ipoe_, 32), 0x30008u);
    EXPECT_EQ(line("Profile"), "[zel_ip_log: ERROR] FILE:LINE Profile ID 32 out of valid range!");
    EXPECT_EQ(profile(ipoe_, 3, 1), 0x30008u);
    EXPECT_EQ(line("direction"), "[zel_ip_log: ERROR] FILE:LINE Invalid or unsupported direction 1 specified!");
    EXPECT_EQ(snap(), before);
    // Profile 31 is the last one.
    for (void *h : both()) {
        const uint32_t in0 = ingress(h).a.w1;
        ASSERT_EQ(profile(h, 31), 0u) << text_;
        EXPECT_EQ(ingress(h).a.w1, in0 | kDscpMap);
        EXPECT_TRUE(is_value(dscp_police(h).a, 31, 0));
        EXPECT_EQ(dscp_police(h).depth, 16u);
        EXPECT_EQ(words_of(h).profile, 31u);
        // Profile 0 with policing off takes the entry away, and again
        // (there is nothing left to take away).
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(profile(h, 0), 0u) << text_;
            EXPECT_EQ(dscp_police(h).depth, 0u);
            EXPECT_EQ(ingress(h).a.w1, in0);
            EXPECT_EQ(words_of(h).profile, 0u);
        }
    }
}

// Both operations write the same policing flow id; with policing off the
// entry's W2 is 0.
TEST_F(Attr, ProfileAndPolicingShareTheEntry) {
    void *policer = zel_sim_qos_policer_new(sim_, 0x4321);
    for (void *h : both()) {
        const uint32_t in0 = ingress(h).a.w1;
        ASSERT_EQ(profile(h, 9), 0u);
        EXPECT_TRUE(is_value(dscp_police(h).a, 9, 0));
        ASSERT_EQ(police(h, 1, policer), 0u) << text_;
        EXPECT_EQ(ingress(h).a.w1, in0 | kDscpMap | kPolicing);
        EXPECT_TRUE(is_value(dscp_police(h).a, 9, 0x4321));
        // The profile operation keeps the flow id the policing one wrote.
        ASSERT_EQ(profile(h, 4), 0u);
        EXPECT_TRUE(is_value(dscp_police(h).a, 4, 0x4321));
        ASSERT_EQ(profile(h, 0), 0u);
        EXPECT_TRUE(is_value(dscp_police(h).a, 0, 0x4321));
        EXPECT_EQ(ingress(h).a.w1, in0 | kPolicing);
        const Words w = words_of(h);
        EXPECT_EQ(w.police_on, 1u);
        EXPECT_EQ(w.policer, policer);
        // Disabling with profile 0 clears bit 5 and takes the entry away.
        ASSERT_EQ(police(h, 0, nullptr), 0u) << text_;
        EXPECT_EQ(ingress(h).a.w1, in0);
        EXPECT_EQ(dscp_police(h).depth, 0u);
        EXPECT_EQ(words_of(h).police_on, 0u);
        // With a profile left, disabling keeps the entry with W2 = 0.
        ASSERT_EQ(police(h, 1, policer), 0u);
        ASSERT_EQ(profile(h, 2), 0u);
        ASSERT_EQ(police(h, 0, policer), 0u);
        EXPECT_TRUE(is_value(dscp_police(h).a, 2, 0));
        EXPECT_EQ(ingress(h).a.w1, in0 | kDscpMap);
    }
}

TEST_F(Attr, PolicerTheQosServiceRefusesChangesNothing) {
    const Snapshot before = snap();
    const Words w0 = words_of(ipoe_);
    int not_a_policer = 0;
    EXPECT_EQ(police(ipoe_, 1, &not_a_policer), 0x30001u);
    EXPECT_EQ(line("policing"), "[zel_ip_log: ERROR] FILE:LINE Failed to retrieve policing flow ID");
    EXPECT_EQ(snap(), before);
    EXPECT_EQ(words_of(ipoe_), w0);
}

// ---- MTU ---------------------------------------------------------------------------

TEST_F(Attr, MtuRewritesEgressAndEverySubnet) {
    const uint32_t a2 = ip(10, 2, 0, 1), a3 = ip(10, 3, 0, 1), a4 = ip(10, 4, 0, 1);
    ASSERT_EQ(add(ipoe_, a2, 16), 0u);
    ASSERT_EQ(add(ipoe_, a3, 28), 0u);
    ASSERT_EQ(status(ipoe_, 0), 0u);
    const uint32_t eg0 = egress(ipoe_).a.w1;
    ASSERT_EQ(set_mtu(ipoe_, 1400), 0u) << text_;
    EXPECT_EQ(egress(ipoe_).a.w1, (eg0 & 0xff) | 1400u << 8);
    EXPECT_NE(egress(ipoe_).a.w1 & kDown24, 0u);
    for (uint32_t a : {ip(10, 1, 0, 1), a2, a3}) {
        const Hit s = sip_mtu(kL2Id, a);
        EXPECT_TRUE(is_value(s.a, (a & 0xff) | 1400u << 8, a >> 8)) << std::hex << a;
    }
    EXPECT_EQ(words_of(ipoe_).mtu, 1400u);
    // A later address takes the new MTU; a later status change keeps it.
    ASSERT_EQ(add(ipoe_, a4, 24), 0u);
    EXPECT_EQ(sip_mtu(kL2Id, a4).a.w1 >> 8, 1400u);
    ASSERT_EQ(status(ipoe_, 1), 0u);
    EXPECT_EQ(egress(ipoe_).a.w1 >> 8, 1400u);

    const Snapshot before = snap();
    for (uint32_t bad : {0u, 63u, 9001u}) {
        EXPECT_EQ(set_mtu(ipoe_, bad), 0x1030016u);
        EXPECT_EQ(line("MTU"), "[zel_ip_log: ERROR] FILE:LINE Invalid MTU Value " + std::to_string(bad));
    }
    EXPECT_EQ(snap(), before);
    ASSERT_EQ(set_mtu(ipoe_, 64), 0u);
    ASSERT_EQ(set_mtu(ipoe_, 9000), 0u);
}

// ---- Deleting an interface with attributes -----------------------------------------

TEST_F(Attr, DeleteWithdrawsTheDscpPoliceEntry) {
    void *policer = zel_sim_qos_policer_new(sim_, 0x77);
    ASSERT_EQ(del(ipoe_), 0u);
    ASSERT_EQ(tdel(tun_), 0u);
    const Snapshot empty = snap();
    ipoe_ = make(params(kL2Id, ip(10, 1, 0, 1), 24));
    tun_ = tmake(tparams(7));
    tun_id_ = intf_of(7);
    for (void *h : both()) {
        ASSERT_EQ(profile(h, 5), 0u);
        ASSERT_EQ(police(h, 1, policer), 0u);
        ASSERT_EQ(status(h, 0), 0u);
    }
    ASSERT_EQ(set_mtu(ipoe_, 2000), 0u);
    ASSERT_EQ(del(ipoe_), 0u);
    ASSERT_EQ(tdel(tun_), 0u);
    EXPECT_EQ(snap(), empty);
}

// ---- Filter rule sets ------------------------------------------------------------

class AttrAcl : public Attr {
protected:
    // Five sets: the fifth has id 5.
    void SetUp() override {
        Attr::SetUp();
        for (auto &h : sets_) ASSERT_EQ(run([&] { return zel_ip_filter_rule_set_create(m_, &h); }), 0u) << text_;
        ASSERT_EQ(zel::ip::rule_set_id(sets_[4]), 5u);
    }
    uint32_t attach(void *h, uint32_t dir, zel_ip_rule_set_handle_t rs) {
        return run([&] { return zel_ip_interface_filter_set(m_, h, dir, rs); });
    }
    uint32_t clear(void *h, uint32_t dir, zel_ip_rule_set_handle_t rs) {
        return run([&] { return zel_ip_interface_filter_clear(m_, h, dir, rs); });
    }
    uint32_t set_delete(zel_ip_rule_set_handle_t rs) {
        return run([&] { return zel_ip_filter_rule_set_delete(m_, rs); });
    }
    zel_ip_rule_set_handle_t sets_[5] = {};
};

// Rule set 5 for ingress goes to bits 8 to 15 and keeps every other bit;
// for egress it is tree 25's W1 beside the policy set id.
TEST_F(AttrAcl, AttachAndClearPerDirection) {
    for (void *h : both()) {
        ASSERT_EQ(status(h, 0), 0u);
        ASSERT_EQ(ftype(h, 0, 2), 0u);
        const uint32_t in0 = ingress(h).a.w1;
        ASSERT_EQ(attach(h, 0, sets_[4]), 0u) << text_;
        EXPECT_EQ(ingress(h).a.w1, in0 | 5u << 8);
        EXPECT_EQ(words_of(h).ingress_rs, static_cast<void *>(sets_[4]));
        // A later change keeps the id.
        ASSERT_EQ(status(h, 1), 0u);
        EXPECT_EQ(ingress(h).a.w1, (in0 & ~kDown23) | 5u << 8);
        ASSERT_EQ(attach(h, 1, sets_[1]), 0u) << text_;
        EXPECT_EQ(rule_sets(h).a.w1, 2u);
        EXPECT_EQ(rule_sets(h).a.w2, 0u);
        EXPECT_EQ(words_of(h).egress_rs, static_cast<void *>(sets_[1]));
        // Clearing takes any valid set: it is not compared.
        ASSERT_EQ(clear(h, 0, sets_[0]), 0u) << text_;
        EXPECT_EQ(ingress(h).a.w1, in0 & ~kDown23);
        EXPECT_EQ(words_of(h).ingress_rs, nullptr);
        ASSERT_EQ(clear(h, 1, sets_[1]), 0u);
        EXPECT_EQ(rule_sets(h).a.w1, 0u);
        EXPECT_EQ(words_of(h).egress_rs, nullptr);
    }
    const Snapshot before = snap();
    int garbage = 0;
    EXPECT_EQ(attach(ipoe_, 2, sets_[0]), 0x1030018u);
    EXPECT_EQ(line("direction"), "[zel_ip_log: ERROR] FILE:LINE Invalid filter direction specified");
    EXPECT_EQ(attach(ipoe_, 0, reinterpret_cast<zel_ip_rule_set_handle_t>(&garbage)), 0x30008u);
    EXPECT_EQ(line("Rule Set"), "[zel_ip_log: ERROR] FILE:LINE Invalid IP Filter Rule Set Handle");
    EXPECT_EQ(clear(tun_, 1, nullptr), 0x30008u);
    EXPECT_EQ(attach(&garbage, 0, sets_[0]), 0x30008u);
    EXPECT_EQ(snap(), before);
}

// An attached rule set is in use: its delete is refused until the last
// interface lets it go (clear, replacement or the interface's delete).
TEST_F(AttrAcl, AttachedSetIsInUse) {
    ASSERT_EQ(attach(ipoe_, 0, sets_[0]), 0u);
    ASSERT_EQ(attach(ipoe_, 1, sets_[0]), 0u);
    ASSERT_EQ(attach(tun_, 1, sets_[1]), 0u);
    EXPECT_EQ(set_delete(sets_[0]), 0x3000fu);
    EXPECT_NE(line("in use by IP interface"), "") << text_;
    ASSERT_EQ(clear(ipoe_, 0, sets_[3]), 0u);
    EXPECT_EQ(set_delete(sets_[0]), 0x3000fu);  // still on egress
    ASSERT_EQ(attach(ipoe_, 1, sets_[2]), 0u);  // replaced
    EXPECT_EQ(set_delete(sets_[0]), 0u) << text_;
    EXPECT_EQ(set_delete(sets_[1]), 0x3000fu);
    EXPECT_NE(line("in use by tunnel interface"), "") << text_;
    ASSERT_EQ(tdel(tun_), 0u);
    EXPECT_EQ(set_delete(sets_[1]), 0u) << text_;
    EXPECT_EQ(set_delete(sets_[2]), 0x3000fu);
    ASSERT_EQ(del(ipoe_), 0u);
    EXPECT_EQ(set_delete(sets_[2]), 0u) << text_;
}

// ---- Source-address filters ---------------------------------------------------------

TEST_F(Attr, SourceFilterTypes) {
    const uint32_t net = ip(172, 16, 0, 0);
    struct Case {
        uint32_t type;
        uint32_t kind;  // HWE_ACTION_NONE for a value entry of kind 0, HWE_ACTION_FUNC
        uint32_t w1;
    };
    const uint32_t block_all_fn = fn_id(m_, kInvalidSrcFn);
    for (const Case &k : {Case{0, HWE_ACTION_NONE, 0}, Case{1, HWE_ACTION_NONE, 1}, Case{2, HWE_ACTION_FUNC, block_all_fn},
                          Case{7, HWE_ACTION_FUNC, block_all_fn}}) {
        const uint32_t ap[2] = {net, 12};
        ASSERT_EQ(run([&] { return zel_ip_sip_addr_filter_add(m_, nullptr, ap, k.type); }), 0u) << text_;
        const Hit h = src(kDefaultVrd, ip(172, 31, 9, 9));
        EXPECT_EQ(h.depth, 6u + 12u);
        EXPECT_EQ(h.a.kind, k.kind) << k.type;
        EXPECT_EQ(h.a.w1, k.w1) << k.type;
        EXPECT_EQ(src(kDefaultVrd, ip(172, 32, 0, 1)).depth, 0u);
    }
    // The removal lets the sources fall back.
    const uint32_t ap[2] = {net, 12};
    ASSERT_EQ(run([&] { return zel_ip_sip_addr_filter_rem(m_, nullptr, ap); }), 0u) << text_;
    EXPECT_EQ(src(kDefaultVrd, ip(172, 31, 9, 9)).depth, 0u);
}

TEST_F(Attr, SourceFilterPrefixBoundsAndChecks) {
    uint32_t vrd_id = 5;
    zel_ip_vrd_handle_t vrd = nullptr;
    ASSERT_EQ(run([&] { return zel_ip_vrd_create(m_, &vrd_id, &vrd); }), 0u);
    // /0 covers the whole domain and no other.
    const uint32_t all[2] = {ip(1, 2, 3, 4), 0};
    ASSERT_EQ(run([&] { return zel_ip_sip_addr_filter_add(m_, vrd, all, 1); }), 0u) << text_;
    for (uint32_t a : {ip(8, 8, 8, 8), ip(200, 1, 1, 1)}) {
        EXPECT_EQ(src(5, a).depth, 6u);
        EXPECT_EQ(src(5, a).a.w1, 1u);
        EXPECT_EQ(src(kDefaultVrd, a).depth, 0u);
    }
    const Snapshot before = snap();
    int garbage = 0;
    const uint32_t p33[2] = {ip(1, 2, 3, 4), 33};
    EXPECT_EQ(run([&] { return zel_ip_sip_addr_filter_add(m_, vrd, p33, 0); }), 0x30008u);
    EXPECT_EQ(line("Prefix"), "[zel_ip_log: ERROR] FILE:LINE Invalid Source IP Address Prefix Length");
    EXPECT_EQ(run([&] { return zel_ip_sip_addr_filter_rem(m_, vrd, p33); }), 0x30008u);
    EXPECT_EQ(run([&] { return zel_ip_sip_addr_filter_add(m_, vrd, nullptr, 0); }), 0x30008u);
    EXPECT_EQ(run([&] { return zel_ip_sip_addr_filter_rem(m_, vrd, nullptr); }), 0x30008u);
    EXPECT_EQ(run([&] {
                  return zel_ip_sip_addr_filter_add(m_, reinterpret_cast<zel_ip_vrd_handle_t>(&garbage), all, 0);
              }),
              0x30008u);
    EXPECT_EQ(line("VRD"), "[zel_ip_log: ERROR] FILE:LINE Invalid VRD Handle");
    EXPECT_EQ(snap(), before);
    ASSERT_EQ(run([&] { return zel_ip_sip_addr_filter_rem(m_, vrd, all); }), 0u) << text_;
    ASSERT_EQ(run([&] { return zel_ip_vrd_delete(m_, vrd); }), 0u) << text_;
}

// A filter written over an interface's own source entry (its network
// address, Block-All) is the application's: the interface's delete leaves
// it, and its removal still works afterwards.
TEST_F(Attr, SourceFilterOverAnInterfaceEntry) {
    const uint32_t network[2] = {ip(10, 1, 0, 0), 32};
    ASSERT_EQ(run([&] { return zel_ip_sip_addr_filter_add(m_, nullptr, network, 0); }), 0u) << text_;
    ASSERT_EQ(del(ipoe_), 0u);
    const Hit h = src(kDefaultVrd, ip(10, 1, 0, 0));
    EXPECT_EQ(h.depth, 38u);
    EXPECT_EQ(h.a.kind, HWE_ACTION_NONE);
    EXPECT_EQ(h.a.w1, 0u);
    ASSERT_EQ(run([&] { return zel_ip_sip_addr_filter_rem(m_, nullptr, network); }), 0u) << text_;
    EXPECT_EQ(src(kDefaultVrd, ip(10, 1, 0, 0)).depth, 0u);
    ipoe_ = make(params(kL2Id, ip(10, 1, 0, 1), 24));
    EXPECT_EQ(src(kDefaultVrd, ip(10, 1, 0, 0)).a.kind, HWE_ACTION_FUNC);
}

}  // namespace
