// zel_ip_defrag_se_states_dump: one row per reassembly context from its
// state record (planted here byte by byte, big-endian but for the port), and a record that
// cannot be read ending the dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "dump_test_util.h"
#include "zel_test_fixture.h"

using namespace dumptest;
using zel::test::lines_of;
using zel::test::mask_sites;
using zel::test::ZelTest;

namespace {

constexpr uint32_t kFirst = 0x200000;
constexpr uint32_t kContexts = 2020;
const std::string kHeader =
    "DEFRAG-IDX,DEFRAG-LEN,ASSEMLED-BYTES,NUM-HOLES,IP-ID,INTF-ID,IP-HDR-OFFSET,VRD-ID,PORT,#ENQS,PAB-STATUS,STATUS";

class DumpDefrag : public ZelTest {
protected:
    DumpDefrag() { initial_log_level_ = ZEL_LOG_ERROR; }

    // A context's record: the dump's columns at their byte offsets.
    struct Record {
        uint16_t len, assembled;
        uint8_t holes, enqs, status, pab;
        uint16_t ip_id;
        uint8_t vrd;
        uint32_t intf;  // 24 bits
        uint8_t hdr_offset;
        uint16_t port;
    };
    void plant(uint32_t ns_id, const Record &r) {
        uint8_t b[64] = {};
        b[0] = r.len >> 8, b[1] = r.len & 0xff;
        b[2] = r.assembled >> 8, b[3] = r.assembled & 0xff;
        b[6] = r.holes;
        b[7] = r.enqs;
        b[41] = r.status;
        b[42] = r.pab;
        b[46] = r.ip_id >> 8, b[47] = r.ip_id & 0xff;
        b[56] = r.vrd;
        b[57] = (r.intf >> 16) & 0xff, b[58] = (r.intf >> 8) & 0xff, b[59] = r.intf & 0xff;
        b[61] = r.hdr_offset;
        std::memcpy(b + 62, &r.port, sizeof r.port);  // host order, as the engine writes it
        ASSERT_EQ(zel_sim_engine_se_write(zel_sim_engine(sim_), ns_id, 0, b, sizeof b), 0u);
    }
};

TEST_F(DumpDefrag, OneRowPerContext) {
    plant(kFirst + 1, {1500, 1480, 2, 3, 1, 0x1f, 0xbeef, 5, 0x000107, 14, 4789});
    plant(kFirst + 2019, {9000, 0, 0, 0, 0, 0, 0x0001, 63, 0xffffff, 0, 0});
    Dumped d = capture([&] { return zel_ip_defrag_se_states_dump(m_); });
    EXPECT_EQ(d.status, 0u);
    const std::vector<std::string> lines = lines_of(d.text);
    ASSERT_EQ(lines.size(), 2 + kContexts);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], kHeader);
    // Untouched record: zero fields, holes stored one higher.
    EXPECT_EQ(lines[2], "0x200000,0,0,-1,0x0000,0x000000,0,0,0,0,0x0,Not-In-Use");
    EXPECT_EQ(lines[3], "0x200001,1500,1480,1,0xbeef,0x000107,14,5,4789,3,0x1f,In-Progress");
    EXPECT_EQ(lines[2 + 2019], "0x2007e3,9000,0,-1,0x0001,0xffffff,0,63,0,0,0x0,Not-In-Use");
}

TEST_F(DumpDefrag, UnreadableRecordEndsTheDump) {
    fail_call("hwe_se_state_get", 3);
    Dumped d = capture([&] { return zel_ip_defrag_se_states_dump(m_); });
    clear_faults();
    EXPECT_EQ(d.status, 0x1002bu);
    EXPECT_EQ(mask_sites(d.text), "\n" + kHeader + "\n" +
                                      "0x200000,0,0,-1,0x0000,0x000000,0,0,0,0,0x0,Not-In-Use\n"
                                      "0x200001,0,0,-1,0x0000,0x000000,0,0,0,0,0x0,Not-In-Use\n"
                                      "[zel_ip_log: FATAL] FILE:LINE Failed to read defrag status, RTE Error: Injected fault\n"
                                      "[zel_ip_log: FATAL] FILE:LINE State engine read failed\n");
}

// A fault anywhere in the walk: the lock, the first, a middle and the last
// record, the release; once and persisting. Rows before the failing read
// are printed, none after it; a failed release (the persisting fault meets
// it too) replaces the status; the next dump is whole again.
TEST_F(DumpDefrag, AFaultAtAnyStepOfTheWalk) {
    constexpr uint32_t kRead = 0x1002b, kAcquire = 0x30000 | HWE_E_FAULT, kRelease = 0x10000 | HWE_E_FAULT;
    const std::string read_fail =
        "[zel_ip_log: FATAL] FILE:LINE Failed to read defrag status, RTE Error: Injected fault";
    for (bool persist : {false, true}) {
        for (uint32_t nth : {1u, 2u, 3u, 1011u, kContexts + 1, kContexts + 2}) {
            SCOPED_TRACE(std::string(persist ? "persisting" : "once") + " fault at fallible call " +
                         std::to_string(nth));
            fail_call(nullptr, nth, 0, persist);
            Dumped d = capture([&] { return zel_ip_defrag_se_states_dump(m_); });
            clear_faults();
            const std::vector<std::string> lines = lines_of(mask_sites(d.text));
            auto has = [&](const std::string &l) { return std::find(lines.begin(), lines.end(), l) != lines.end(); };
            size_t rows = 0;
            for (const std::string &l : lines) rows += l.rfind("0x2", 0) == 0;
            const bool released = has("[zel_ip_log: FATAL] FILE:LINE Failed to release IP module rw lock");
            if (nth == 1) {
                EXPECT_EQ(d.status, kAcquire);
                EXPECT_TRUE(has("[zel_ip_log: ERROR] FILE:LINE Failed to acquire IP module rw write lock"));
                EXPECT_FALSE(has(kHeader));
                EXPECT_EQ(rows, 0u);
            } else if (nth <= kContexts + 1) {
                EXPECT_EQ(rows, nth - 2) << "rows before the failing read";
                EXPECT_TRUE(has(read_fail));
                EXPECT_EQ(released, persist);
                EXPECT_EQ(d.status, persist ? kRelease : kRead);
            } else {
                EXPECT_EQ(rows, kContexts);
                EXPECT_TRUE(released);
                EXPECT_EQ(d.status, kRelease);
            }
            Dumped again = capture([&] { return zel_ip_defrag_se_states_dump(m_); });
            EXPECT_EQ(again.status, 0u);
            EXPECT_EQ(lines_of(again.text).size(), 2 + kContexts);
        }
    }
}

// Every read is traced as a state-engine read when the class is on.
TEST_F(DumpDefrag, ReadsAreTraced) {
    zel_ip_log_enable(m_, ZEL_LOG_SE);
    Dumped d = capture([&] { return zel_ip_defrag_se_states_dump(m_); });
    EXPECT_EQ(d.status, 0u);
    size_t reads = 0;
    for (const std::string &l : lines_of(mask_sites(d.text))) reads += l.rfind("[zel_ip_log: se_read] FILE:LINE NS ID 0x002", 0) == 0;
    EXPECT_EQ(reads, kContexts);
}

}  // namespace
