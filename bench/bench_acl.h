// What the benchmarks with extended ACL filters share: a platform image
// whose filter statistics namespace holds enough ids for their rules, and
// a first-match reading of one rule for checking what the engine decided.
#ifndef ZEL_BENCH_ACL_H
#define ZEL_BENCH_ACL_H

#include <cstdint>

#include "zel_ip/zel_ip.h"
#include "zel_sim_engine.h"

namespace zel::bench {

// Every extended or basic rule takes one id of "ip_filter_stats"; the
// default image has 256 of them, from this base.
inline constexpr uint32_t kFilterStatsBase = 0x00d19bb9;
inline constexpr uint32_t kDefaultFilterStatsIds = 256;

// The default image, its filter statistics namespace grown to `ids` ids
// at the same base (32-byte records) when the default holds fewer; the
// module takes the namespace as the image gives it. NULL when memory is
// short. The caller frees it (zel_sim_create copies it).
inline zel_sim_image_t *image_with_filter_ids(uint32_t ids) {
    zel_sim_image_t *img = zel_sim_image_default();
    if (img && ids > kDefaultFilterStatsIds) {
        zel_sim_image_remove(img, "ip_filter_stats");
        if (zel_sim_image_add_namespace(img, "ip_filter_stats", kFilterStatsBase, ids, 32) != 0) {
            zel_sim_image_free(img);
            return nullptr;
        }
    }
    return img;
}

// The fields of a packet an extended rule reads. Ports are the L4 ports,
// or ICMP/IGMP type (sport) and code (dport); dscp 0 to 63; frag the
// 2-bit fragment class.
struct AclFields {
    uint32_t proto = 0, src = 0, dst = 0, sport = 0, dport = 0, dscp = 0, frag = 0;
};

// True when an extended rule meets a packet of fields `f`, as the rule's
// header describes it: prefixes, protocol and DSCP ranges, the fragment
// type's classes, and L4 ranges only under PROTO_INFO (both ranges for
// ICMP, TCP, UDP, SCTP and UDP-Lite, the source range only for IGMP).
// Which rule decides is the caller's: the first that matches.
inline bool acl_rule_matches(const zel_ip_filter_rule_t &r, const AclFields &f) {
    auto in_prefix = [](uint32_t a, uint32_t p, uint32_t len) { return len == 0 || ((a ^ p) >> (32 - len)) == 0; };
    if ((r.mask & ZEL_IP_FILTER_PROTO) && (f.proto < r.proto_lo || f.proto > r.proto_hi)) return false;
    if ((r.mask & ZEL_IP_FILTER_DIP) && !in_prefix(f.dst, r.dip, r.dip_prefix_len)) return false;
    if ((r.mask & ZEL_IP_FILTER_SIP) && !in_prefix(f.src, r.sip, r.sip_prefix_len)) return false;
    if ((r.mask & ZEL_IP_FILTER_DSCP) && (f.dscp < r.dscp_lo || f.dscp > r.dscp_hi)) return false;
    if (r.mask & ZEL_IP_FILTER_FRAG) {
        static constexpr uint32_t kLo[] = {0, 0, 2, 2, 3}, kHi[] = {0, 2, 3, 2, 3};
        if (r.frag_type <= ZEL_IP_FRAG_4 && (f.frag < kLo[r.frag_type] || f.frag > kHi[r.frag_type])) return false;
    }
    if (r.mask & ZEL_IP_FILTER_PROTO_INFO) {
        const uint32_t p = r.proto_lo;
        const bool both = p == 1 || p == 6 || p == 17 || p == 132 || p == 136;
        if ((both || p == 2) && (r.mask & ZEL_IP_FILTER_SPORT) && (f.sport < r.sport_lo || f.sport > r.sport_hi))
            return false;
        if (both && (r.mask & ZEL_IP_FILTER_DPORT) && (f.dport < r.dport_lo || f.dport > r.dport_hi)) return false;
    }
    return true;
}

}  // namespace zel::bench

#endif  // ZEL_BENCH_ACL_H
