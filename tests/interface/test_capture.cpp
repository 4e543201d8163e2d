// Packet capture: the capture point's entries (tree 31) and the capture
// bit of the interface's entry, checked in the engine and in what a later
// operation on the interface starts from; one capture per point; an
// interface is not deleted under a running capture; handles checked
// through the registry; delivery through the QoS service.
#include <gtest/gtest.h>

#include <string>

#include "attr_fixture.h"

using namespace intf_test;

namespace {

constexpr uint32_t kCap23 = 1u << 23, kCap24 = 1u << 7;

class Capture : public AttrTest {
protected:
    zel_ip_capture_params_t cparams(void *h, uint32_t dir, void *queue = nullptr) {
        zel_ip_capture_params_t p{};
        p.intf = h;
        p.direction = dir;
        p.mtm_queue = queue;
        p.ph_bind_handle = 0xa1b2c3d4;
        p.cb_fn_id = 0x5e;
        p.context_id = 0x123456;
        return p;
    }
    uint32_t start(const zel_ip_capture_params_t &p, zel_ip_capture_handle_t *h) {
        return run([&] { return zel_ip_packet_capture_start(m_, &p, h); });
    }
    zel_ip_capture_handle_t started(const zel_ip_capture_params_t &p) {
        zel_ip_capture_handle_t h = nullptr;
        EXPECT_EQ(start(p, &h), 0u) << text_;
        EXPECT_NE(h, nullptr);
        return h;
    }
    uint32_t stop(zel_ip_capture_handle_t h) { return run([&] { return zel_ip_packet_capture_stop(m_, h); }); }
    uint32_t enable(zel_ip_capture_handle_t h) { return run([&] { return zel_ip_packet_capture_enable(m_, h); }); }
    uint32_t state(zel_ip_capture_handle_t h, uint8_t *s) {
        return run([&] { return zel_ip_packet_capture_status_get(m_, h, s); });
    }
};

// Egress capture sets only bit 7 of tree 24 (the MTU and the other flags
// stay), programs both selector entries, and stopping undoes both; a
// status change in between keeps the bit.
TEST_F(Capture, EgressTouchesOnlyBitSeven) {
    void *queue = zel_sim_qos_queue_new(sim_, 0x99);
    for (void *h : {static_cast<void *>(ipoe_), static_cast<void *>(tun_)}) {
        ASSERT_EQ(status(h, 0), 0u);
        const Snapshot before = snap();
        const Hit eg0 = egress(h), in0 = ingress(h);
        const zel_ip_capture_handle_t c = started(cparams(h, 1, queue));
        EXPECT_TRUE(is_value(egress(h).a, eg0.a.w1 | kCap24, eg0.a.w2));
        EXPECT_EQ(ingress(h).a.w1, in0.a.w1);
        EXPECT_TRUE(is_value(capture_point(h, 0, 1).a, 0xb2c3d4, 0xa1 | 0x5e << 8));
        EXPECT_TRUE(is_value(capture_point(h, 1, 1).a, 0x99, 0x123456));
        EXPECT_EQ(capture_point(h, 0, 0).depth, 0u);
        EXPECT_EQ(words_of(h).egress, eg0.a.w1 | kCap24);
        // A later change keeps the capture bit, since it starts from the
        // record's words.
        ASSERT_EQ(status(h, 1), 0u);
        EXPECT_EQ(egress(h).a.w1, (eg0.a.w1 & ~(1u << 6)) | kCap24);
        ASSERT_EQ(status(h, 0), 0u);
        ASSERT_EQ(stop(c), 0u) << text_;
        EXPECT_EQ(snap(), before);
        EXPECT_EQ(words_of(h).egress, eg0.a.w1);
        // A stopped handle is not read again.
        EXPECT_EQ(stop(c), 0x30001u);
        EXPECT_EQ(line("capture"), "[zel_ip_log: ERROR] FILE:LINE Invalid packet capture handle");
        ASSERT_EQ(status(h, 1), 0u);
    }
}

TEST_F(Capture, IngressSetsBitTwentyThree) {
    const Hit in0 = ingress(ipoe_);
    const zel_ip_capture_handle_t c = started(cparams(ipoe_, 0));
    EXPECT_TRUE(is_value(ingress(ipoe_).a, in0.a.w1 | kCap23, in0.a.w2));
    // Without a queue the traffic-manager entry says "not through it".
    EXPECT_TRUE(is_value(capture_point(ipoe_, 1, 0).a, 0, 0x123456));
    EXPECT_NE(line("No MTM based rate limiting mechanism being configured"), "");
    ASSERT_EQ(profile(ipoe_, 3), 0u);
    EXPECT_EQ(ingress(ipoe_).a.w1, in0.a.w1 | kCap23 | 1u << 6);
    ASSERT_EQ(stop(c), 0u);
    EXPECT_EQ(ingress(ipoe_).a.w1, in0.a.w1 | 1u << 6);
}

// One capture per point: a second start would take the first one's
// entries over, and the first one's stop would then remove them.
TEST_F(Capture, OnePerPoint) {
    const zel_ip_capture_handle_t c = started(cparams(ipoe_, 0));
    const Snapshot with_one = snap();
    zel_ip_capture_params_t p = cparams(ipoe_, 0);
    p.ph_bind_handle = 7;
    zel_ip_capture_handle_t second = nullptr;
    EXPECT_EQ(start(p, &second), 0x3000fu);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(line("in use by packet capture"), "");
    EXPECT_EQ(snap(), with_one);
    // The other direction is another point.
    const zel_ip_capture_handle_t eg = started(cparams(ipoe_, 1));
    ASSERT_EQ(stop(c), 0u);
    EXPECT_NE(capture_point(ipoe_, 0, 1).depth, 0u);
    // Once stopped the point takes a new capture.
    const zel_ip_capture_handle_t again = started(p);
    EXPECT_EQ(capture_point(ipoe_, 0, 0).a.w1, 7u);
    ASSERT_EQ(stop(again), 0u);
    ASSERT_EQ(stop(eg), 0u);
}

// An interface is not deleted while a capture runs on it (its stop would
// read the freed interface); after the stop it is.
TEST_F(Capture, InterfaceInUseWhileCaptured) {
    ASSERT_EQ(del(ipoe_), 0u);
    ASSERT_EQ(tdel(tun_), 0u);
    const Snapshot empty = snap();
    ipoe_ = make(params(kL2Id, ip(10, 1, 0, 1), 24));
    tun_ = tmake(tparams(7));
    tun_id_ = intf_of(7);
    const zel_ip_capture_handle_t c1 = started(cparams(ipoe_, 1));
    const zel_ip_capture_handle_t c2 = started(cparams(tun_, 0));
    std::string text;
    EXPECT_EQ(del(ipoe_, &text), 0x3000fu);
    EXPECT_NE(line_with(text, "in use by packet capture"), "") << text;
    EXPECT_EQ(tdel(tun_, &text), 0x3000fu);
    EXPECT_NE(line_with(text, "in use by packet capture"), "") << text;
    ASSERT_EQ(stop(c1), 0u);
    ASSERT_EQ(stop(c2), 0u);
    ASSERT_EQ(del(ipoe_), 0u);
    ASSERT_EQ(tdel(tun_), 0u);
    EXPECT_EQ(snap(), empty);
}

TEST_F(Capture, Refusals) {
    const Snapshot before = snap();
    const int64_t mem = mem_delta();
    zel_ip_capture_handle_t h = reinterpret_cast<zel_ip_capture_handle_t>(&h);
    EXPECT_EQ(start(cparams(ipoe_, 2), &h), 0x30008u);
    EXPECT_EQ(line("direction"), "[zel_ip_log: ERROR] FILE:LINE Invalid direction specified");
    EXPECT_EQ(h, nullptr);
    int garbage[8] = {};
    EXPECT_EQ(start(cparams(garbage, 0), &h), 0x1030006u);
    EXPECT_EQ(line("Interface"), "[zel_ip_log: ERROR] FILE:LINE Invalid Interface Handle type");
    EXPECT_EQ(run([&] { return zel_ip_packet_capture_start(m_, nullptr, &h); }), 0x30008u);
    const zel_ip_capture_params_t p = cparams(ipoe_, 0);
    EXPECT_EQ(run([&] { return zel_ip_packet_capture_start(m_, &p, nullptr); }), 0x30008u);
    // A queue the QoS service does not know: its status.
    EXPECT_EQ(start(cparams(ipoe_, 0, garbage), &h), 1u);
    EXPECT_NE(line("Failed to get MTM queue ID"), "");
    // Garbage capture handles are refused, never read.
    auto bad = reinterpret_cast<zel_ip_capture_handle_t>(garbage);
    uint8_t s = 9;
    EXPECT_EQ(stop(bad), 0x30001u);
    EXPECT_EQ(enable(bad), 0x30001u);
    EXPECT_EQ(state(bad, &s), 0x30001u);
    EXPECT_EQ(s, 9u);
    EXPECT_EQ(state(bad, nullptr), 0x30008u);
    EXPECT_EQ(snap(), before);
    EXPECT_EQ(mem_delta(), mem);
}

// Without a queue the copies are delivered already: status 1, enable is a
// warning. With one, the QoS service switches and reports delivery.
TEST_F(Capture, DeliveryThroughTheQosService) {
    const zel_ip_capture_handle_t plain = started(cparams(ipoe_, 0));
    uint8_t s = 0;
    ASSERT_EQ(state(plain, &s), 0u);
    EXPECT_EQ(s, 1u);
    EXPECT_EQ(line("Warning"),
              "[zel_ip_log: Warning] FILE:LINE No MTM based rate limiting mechanism has been configured for the "
              "capture point");
    ASSERT_EQ(enable(plain), 0u);
    EXPECT_NE(line("has been configured"), "");

    void *queue = zel_sim_qos_queue_new(sim_, 12);
    const zel_ip_capture_handle_t limited = started(cparams(tun_, 1, queue));
    ASSERT_EQ(state(limited, &s), 0u);
    EXPECT_EQ(s, 0u);
    ASSERT_EQ(enable(limited), 0u);
    EXPECT_EQ(zel_sim_qos_queue_capture(queue), 1u);
    ASSERT_EQ(state(limited, &s), 0u);
    EXPECT_EQ(s, 1u);
    // The framework switches delivery off on its own; the status says so.
    zel_sim_qos_queue_capture_set(queue, 0);
    ASSERT_EQ(state(limited, &s), 0u);
    EXPECT_EQ(s, 0u);
    uint32_t reads = 0;
    EXPECT_EQ(zel_sim_qos_queue_capture_calls(queue, &reads), 1u);
    EXPECT_EQ(reads, 3u);
    ASSERT_EQ(stop(limited), 0u);
    ASSERT_EQ(stop(plain), 0u);
}

}  // namespace
