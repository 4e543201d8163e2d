// Several threads create, readdress and delete interfaces of their own at
// once through the public API; the module lock serialises them. Every
// step succeeds, each local entry delivers to its own interface, and at
// the end the engine, the compressed address table and the id pools are
// as before. Runs under ThreadSanitizer too (label "concurrency").
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "intf_fixture.h"

using namespace intf_test;

namespace {

class InterfaceConcurrency : public IntfTest {
protected:
    InterfaceConcurrency() { initial_log_level_ = 0; }
};

TEST_F(InterfaceConcurrency, ThreadsWithTheirOwnInterfacesLeaveNothingBehind) {
    constexpr uint32_t kThreads = 4, kIntfs = 4, kRounds = 25;
    const Snapshot baseline = snap();
    std::vector<const zel_obj_header_t *> l2s;
    for (uint32_t i = 0; i < kThreads * kIntfs; ++i) l2s.push_back(l2(0x1000 + i));
    std::atomic<uint32_t> failures{0};
    std::vector<std::string> first(kThreads);

    auto worker = [&](uint32_t t) {
        auto fail = [&](const std::string &what) {
            failures.fetch_add(1);
            if (first[t].empty()) first[t] = what + "; ";  // each thread writes its own
        };
        for (uint32_t r = 0; r < kRounds; ++r) {
            for (uint32_t k = 0; k < kIntfs; ++k) {
                const uint32_t id = 0x1000 + t * kIntfs + k;
                zel_ip_intf_params_t p{};
                p.l2_intf = l2s[t * kIntfs + k];
                p.addr = ip(10, t, k, 1);
                p.prefix_len = 24;
                const uint32_t secondary[2] = {ip(20 + t, k, 0, 1), 16}, primary[2] = {p.addr, 24},
                               host[2] = {ip(10, t, k, 9), 32};
                const zel_ip_addr_assoc_req_t on{1, 0x10}, off{0, 0};
                zel_ip_intf_handle_t h = nullptr;
                if (zel_ip_interface_create(m_, &p, &h) != 0) {
                    fail("create " + std::to_string(id));
                    continue;
                }
                const Hit local = intf_test::dest(sim_, m_, kDefaultVrd, p.addr);
                if (local.depth != 38 || local.a.w2 != id || !(local.a.w1 & 0x80)) fail("local entry " + std::to_string(id));
                if (zel_ip_interface_addr_add(m_, h, secondary) != 0) fail("add");
                if (zel_ip_addr_ingress_association_set(m_, h, host, &on) != 0) fail("assoc on");
                if (zel_ip_addr_ingress_association_set(m_, h, host, &off) != 0) fail("assoc off");
                if (zel_ip_interface_addr_rem(m_, h, primary) != 0) fail("remove primary");
                if (zel_ip_interface_delete(m_, h) != 0) fail("delete");
            }
        }
    };
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (std::thread &th : threads) th.join();

    EXPECT_EQ(failures.load(), 0u) << first[0] << first[1] << first[2] << first[3];
    EXPECT_EQ(snap(), baseline);
    EXPECT_TRUE(addr_slots(m_).empty());
    EXPECT_EQ(zel_sim_interface_ids_in_use(sim_), 0u);
    EXPECT_EQ(zel_sim_engine_ns_in_use(eng(), "ip_qos_stats"), 0u);
}

}  // namespace
