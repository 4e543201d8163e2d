// Handle checks remember recent live records per thread; a free anywhere
// must make every thread look a remembered record up again.
#include <gtest/gtest.h>

#include <thread>

#include "core/zel_ip_objects.h"
#include "core/zel_ip_registry.h"
#include "zel_ip/zel_ip.h"

namespace {

using zel::ip::ObjKind;

zel_ip_vrd *new_vrd(uint32_t id) {
    auto *v = static_cast<zel_ip_vrd *>(zel::ip::obj_alloc(sizeof(zel_ip_vrd), ObjKind::kVrd));
    if (v) {
        v->magic = zel::ip::kVrdMagic;
        v->vrd_id = id;
    }
    return v;
}

// Checked (and so remembered) here, freed by another thread: invalid here.
TEST(HandleCacheConcurrency, ARecordFreedOnAnotherThreadIsInvalidHere) {
    zel_ip_vrd *v = new_vrd(4);
    ASSERT_NE(v, nullptr);
    uint32_t id = 0;
    ASSERT_EQ(zel_ipv4_vrd_valid_handle(v, &id), 1);
    ASSERT_EQ(zel_ipv4_vrd_valid_handle(v, &id), 1);
    std::thread([v] {
        v->magic = 0;
        zel::ip::obj_free(v);
    }).join();
    // The registry says so without reading the freed record.
    EXPECT_FALSE(zel::ip::obj_live(v, ObjKind::kVrd));
    id = 99;
    EXPECT_EQ(zel_ipv4_vrd_valid_handle(v, &id), 0);
    EXPECT_EQ(id, 99u);
}

// The platform pool hands a freed block out again: a stale handle to it is
// not the new record, whatever kind that has, and the new one is valid.
TEST(HandleCache, AReusedBlockIsCheckedAsWhatItHoldsNow) {
    zel_ip_vrd *v = new_vrd(5);
    ASSERT_NE(v, nullptr);
    ASSERT_TRUE(zel::ip::obj_live(v, ObjKind::kVrd));
    v->magic = 0;
    zel::ip::obj_free(v);
    void *again = zel::ip::obj_alloc(sizeof(zel_ip_vrd), ObjKind::kRuleSet);
    ASSERT_EQ(again, static_cast<void *>(v)) << "the pool reuses the block just freed";
    *static_cast<uint32_t *>(again) = zel::ip::kVrdMagic;  // a look-alike
    uint32_t id = 0;
    EXPECT_FALSE(zel::ip::obj_live(v, ObjKind::kVrd));
    EXPECT_EQ(zel_ipv4_vrd_valid_handle(v, &id), 0);
    EXPECT_TRUE(zel::ip::obj_live(again, ObjKind::kRuleSet));
    zel::ip::obj_free(again);
}

}  // namespace
