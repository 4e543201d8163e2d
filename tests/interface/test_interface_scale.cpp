// 256 interfaces: every slot of the compressed address table taken, the
// 257th address refused at the table (create and add alike) with nothing
// left behind, a freed slot taken again, and everything released.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "intf_fixture.h"

using namespace intf_test;

namespace {

class InterfaceScale : public IntfTest {
protected:
    InterfaceScale() { initial_log_level_ = ZEL_LOG_ERROR; }
};

constexpr uint32_t kCount = 256;

uint32_t addr_of(uint32_t i) { return ip(11, i, 0, 1); }

TEST_F(InterfaceScale, TheCompressedTableExhaustedAndRecovered) {
    const Snapshot baseline = snap();
    const int64_t mem = mem_delta();
    std::vector<zel_ip_intf_handle_t> intfs;
    for (uint32_t i = 0; i < kCount; ++i) intfs.push_back(make(params(0x1001 + i, addr_of(i), 24)));
    ASSERT_EQ(addr_slots(m_).size(), kCount);
    EXPECT_EQ(entries(kIngress), kCount);
    EXPECT_EQ(zel_sim_interface_ids_in_use(sim_), kCount);
    EXPECT_EQ((dest(kDefaultVrd, addr_of(255)).a.w1 >> 16) & 0xff, 255u);
    const Snapshot full = snap();
    const int64_t mem_full = mem_delta();

    // The 257th address, as a new interface or as a secondary.
    zel_ip_intf_handle_t h = nullptr;
    std::string text;
    EXPECT_EQ(create(params(0x2000, ip(12, 0, 0, 1), 24), &h, &text), 0x1000bu);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(line_with(text, "compressed"),
              "[zel_ip_log: FATAL] FILE:LINE Failed to store IP address 0x0c000001 in VRD 63 in compressed list");
    EXPECT_EQ(mem_delta(), mem_full);
    EXPECT_EQ(add(intfs[7], ip(12, 0, 0, 1), 24, &text), 0x1000bu);
    EXPECT_EQ(line_with(text, "compressed"),
              "[zel_ip_log: FATAL] FILE:LINE Failed to store IP address 0x0c000001 in VRD 63 in compressed list");
    EXPECT_EQ(snap(), full);
    EXPECT_EQ(addr_slots(m_).size(), kCount);
    EXPECT_EQ(zel_sim_interface_ids_in_use(sim_), kCount);

    // A delete frees a slot, which the next address takes.
    ASSERT_EQ(del(intfs[100]), 0u);
    intfs[100] = make(params(0x2000, ip(12, 0, 0, 1), 24));
    EXPECT_EQ((dest(kDefaultVrd, ip(12, 0, 0, 1)).a.w1 >> 16) & 0xff, 100u);

    for (zel_ip_intf_handle_t i : intfs) ASSERT_EQ(del(i), 0u);
    EXPECT_EQ(snap(), baseline);
    EXPECT_TRUE(addr_slots(m_).empty());
    EXPECT_EQ(zel_sim_interface_ids_in_use(sim_), 0u);
    EXPECT_EQ(zel_sim_engine_ns_in_use(eng(), "ip_qos_stats"), 0u);
    EXPECT_EQ(mem_delta(), mem);
}

}  // namespace
