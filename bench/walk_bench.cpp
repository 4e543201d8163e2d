// Packet walks per second on a router of realistic size, without and with
// extended ACLs, in one run.
//
// The module is brought up on the software platform, on an image whose
// filter statistics namespace holds an id for every rule (bench_acl.h),
// with 24 IPoE interfaces 10.<k+1>.0.1/16 (an egress flow each), 100,000
// routes via next hops on their subnets (outside 10/8), a locally
// terminated /16 whose packets are classified by destination, protocol
// and port, and 1,000 ingress associations in it (Send-to-CPU and
// Discard). A seeded mix of packets arrives on the interfaces from sources
// across their subnets: 80 % to routed destinations, 10 % to the
// associations (UDP 5000), 10 % anywhere; TCP, UDP and ICMP with common
// and random ports, a few with DSCP EF or AF11. The packets are walked
// with zsim::walk::walk_packet, counting in state memory but recording no
// stage text (Context::stages off), as a traffic generator would drive it.
//
// Two loads over the same packets, each walk timed (bench_util.h):
//   none    the router as above, no filter attached;
//   32x64   then 32 extended ACLs of 64 rules each, committed: one on the
//           ingress of every interface, so that every walk is classified
//           in a rule set, and 8 on the egress of every third interface,
//           so that a third of the forwarded walks are classified twice.
// An ACL is a seeded mix of denies of destination prefixes, of blocks of
// sources, of TCP and UDP service ports and of low source ports; permits
// (counting) of web, mail and SSH from parts of a subnet, of DNS and NTP,
// of DSCP EF; Send-To-CPU of BGP and of echo requests; an ingress ACL
// permits the locally terminated service early; the last rule of every
// ACL permits everything, counting.
//
// Checked, untimed (outside the timed loops):
//   - every walk of both loads could ask the engine;
//   - every walk of the ACL load ends as a first-match scan of the
//     arriving interface's ACL says (a deny drops, Send-To-CPU delivers to
//     the CPU), an allowed one as the same packet's walk without ACLs did,
//     and one forwarded out of an interface with an egress ACL as a scan
//     of that ACL says;
//   - the global counters the ACL load added: filter deny and filter to
//     CPU as many as the scans' ingress denies and Send-To-CPUs, filter
//     accept their ingress and egress allows, the egress filter's drops and
//     Send-To-CPUs theirs; so every walk was classified in its ingress ACL;
//   - every counting rule's packet counter holds the walks the scans give
//     that rule;
//   - a sample of walks (every n/2000-th, and the first of each kind of
//     filter decision), walked again recording stages: the ingress (egress)
//     filter stage names the rule the scan found and its action; a deny is
//     dropped and a Send-To-CPU delivered, counted in the filter's global
//     counter; a walk that passes reads, filter stages aside, as its walk
//     without ACLs (same stages, same verdict, interface and next hop);
//   - the scans find ingress allows, denies and Send-To-CPUs and egress
//     allows and denies, and without ACLs at least half the walks are
//     forwarded and some delivered to the CPU (so -n of 10,000 or more).
//
// The figures are the walk plus the engine model's lookups and rule-set
// classifications; nothing of the module runs while walking.
//
// Printed:
//   WALK acls=none n=N walks_per_s= median_ns= p999_ns= slowest_ns= forwarded= to_cpu= dropped= other=
//   WALK acls=32x64 n=N walks_per_s= median_ns= p999_ns= slowest_ns= forwarded= to_cpu= dropped= other=
//     filters: ingress_allow= ingress_deny= ingress_cpu= egress_allow= egress_deny= egress_cpu=
//     acl_over_none=      (walks/s with ACLs over walks/s without)
//   CHECKS passed | CHECKS FAILED: <what>
//
//   walk_bench [-n WALKS] [-s SEED]     exit status 0 when every check passed
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench_acl.h"
#include "bench_util.h"
#include "core/zel_ip_limits.h"
#include "zel_ip/zel_ip.h"
#include "zel_sim.h"
#include "zel_sim_walk.h"

namespace {

using namespace zel::bench;
namespace zw = zsim::walk;

constexpr uint32_t kIntfs = 24;
constexpr uint32_t kEgressEvery = 3;  // interfaces 0, 3, 6, ... filter their egress too
constexpr uint32_t kAcls = 32;
constexpr uint32_t kRulesPerAcl = 64;
static_assert(kIntfs + (kIntfs + kEgressEvery - 1) / kEgressEvery == kAcls, "every ACL is attached once");
constexpr uint32_t kRoutes = 100000;
constexpr uint32_t kAssocs = 1000;
constexpr uint32_t kLocal = 0x0ac80000;  // 10.200.0.0/16, terminated locally
constexpr uint32_t kAssocPort = 5000;
constexpr uint32_t kSample = 2000;       // walks re-walked with stages, about

uint32_t subnet(uint32_t k) { return 10u << 24 | (k + 1) << 16; }
uint32_t prefix(uint32_t a, uint32_t len) { return len ? a & (~0u << (32 - len)) : 0; }

// ---- the ACLs --------------------------------------------------------------------

struct AclRule {
    uint32_t idx = 0;  // rule index in its set
    zel_ip_filter_rule_t r{};
    zel_ip_filter_action_t a{};
    zel_ip_flow_handle_t h = nullptr;
};
using Acl = std::vector<AclRule>;  // by ascending index

struct PortRange {
    uint32_t lo, hi;
};

void l4(zel_ip_filter_rule_t &r, uint32_t proto, uint32_t mask, PortRange ports) {
    r.mask |= ZEL_IP_FILTER_PROTO | ZEL_IP_FILTER_PROTO_INFO | mask;
    r.proto_lo = r.proto_hi = proto;
    if (mask & ZEL_IP_FILTER_SPORT) {
        r.sport_lo = ports.lo;
        r.sport_hi = ports.hi;
    }
    if (mask & ZEL_IP_FILTER_DPORT) {
        r.dport_lo = ports.lo;
        r.dport_hi = ports.hi;
    }
}

// A destination outside 10/8, the unspecified, loopback and multicast ones.
uint32_t public_addr(std::mt19937 &g) {
    for (;;) {
        const uint32_t a = g(), top = a >> 24;
        if (top != 10 && top != 0 && top != 127 && top < 224) return a;
    }
}

// Rule `j` of an ACL at index 10 * (j + 1). `own`: the subnet an ingress
// ACL's sources come from; 0 for an egress ACL, whose sources are any
// interface's subnet.
AclRule make_rule(std::mt19937 &g, uint32_t j, uint32_t own) {
    static constexpr PortRange kTcpDeny[] = {{23, 23}, {135, 139}, {445, 445}, {1433, 1434}, {3389, 3389}};
    static constexpr PortRange kUdpDeny[] = {{69, 69}, {137, 138}, {161, 162}, {1900, 1900}};
    static constexpr PortRange kTcpPermit[] = {{80, 80}, {443, 443}, {22, 22}, {25, 25}, {8080, 8080}};
    AclRule x;
    x.idx = 10 * (j + 1);
    zel_ip_filter_rule_t &r = x.r;
    zel_ip_filter_action_t &a = x.a;
    a.type = ZEL_IP_FILTER_DENY;
    a.cpu_kind = ZEL_IP_CPU_PATH_NCA;
    a.cpu_target = 1 + j % 8;
    const uint32_t src_net = own ? own : subnet(g() % kIntfs);
    if (j == kRulesPerAcl - 1) {  // permit any, counting
        a.type = ZEL_IP_FILTER_ALLOW;
        a.count = 1;
        return x;
    }
    if (own && j == 4) {  // the locally terminated service
        r.mask = ZEL_IP_FILTER_DIP;
        r.dip = kLocal;
        r.dip_prefix_len = 16;
        l4(r, 17, ZEL_IP_FILTER_DPORT, {kAssocPort, kAssocPort});
        a.type = ZEL_IP_FILTER_ALLOW;
        a.count = 1;
        return x;
    }
    switch (g() % 12) {
        case 0: case 1: case 2:  // a destination prefix, /8 to /12
            r.mask = ZEL_IP_FILTER_DIP;
            r.dip_prefix_len = 8 + g() % 5;
            r.dip = prefix(public_addr(g), r.dip_prefix_len);
            break;
        case 3:  // a block of sources
            r.mask = ZEL_IP_FILTER_SIP;
            r.sip_prefix_len = 22;
            r.sip = src_net | (g() & 0xfc00);
            break;
        case 4:  // TCP services, to a /4 or anywhere
            l4(r, 6, ZEL_IP_FILTER_DPORT, kTcpDeny[g() % std::size(kTcpDeny)]);
            if (g() % 2) {
                r.mask |= ZEL_IP_FILTER_DIP;
                r.dip_prefix_len = 4;
                r.dip = prefix(public_addr(g), 4);
            }
            break;
        case 5:  // UDP services
            l4(r, 17, ZEL_IP_FILTER_DPORT, kUdpDeny[g() % std::size(kUdpDeny)]);
            break;
        case 6:  // low source ports (spoofed clients)
            l4(r, g() % 2 ? 6 : 17, ZEL_IP_FILTER_SPORT, {0, 1023});
            break;
        case 7: case 8:  // web, mail, SSH from a quarter of a subnet, counting
            l4(r, 6, ZEL_IP_FILTER_DPORT, kTcpPermit[g() % std::size(kTcpPermit)]);
            r.mask |= ZEL_IP_FILTER_SIP;
            r.sip_prefix_len = 18;
            r.sip = src_net | (g() & 0xc000);
            a.type = ZEL_IP_FILTER_ALLOW;
            a.count = 1;
            break;
        case 9:  // DNS or NTP, counting
            l4(r, 17, ZEL_IP_FILTER_DPORT, g() % 2 ? PortRange{53, 53} : PortRange{123, 123});
            a.type = ZEL_IP_FILTER_ALLOW;
            a.count = 1;
            break;
        case 10:  // expedited forwarding, counting
            r.mask = ZEL_IP_FILTER_DSCP;
            r.dscp_lo = r.dscp_hi = 46;
            a.type = ZEL_IP_FILTER_ALLOW;
            a.count = 1;
            break;
        default:  // to the CPU: BGP, or echo requests from a /20
            if (g() % 2) {
                l4(r, 6, ZEL_IP_FILTER_DPORT, {179, 179});
            } else {
                l4(r, 1, ZEL_IP_FILTER_SPORT, {8, 8});
                r.mask |= ZEL_IP_FILTER_SIP;
                r.sip_prefix_len = 20;
                r.sip = src_net | (g() & 0xf000);
            }
            a.type = ZEL_IP_FILTER_CPU;
            a.count = g() % 2;
            break;
    }
    return x;
}

// ---- the router ------------------------------------------------------------------

struct Router {
    zel_sim_t *sim = nullptr;
    zel_module_t *m = nullptr;
    zel_ip_intf_handle_t intf[kIntfs] = {};
    uint32_t intf_id[kIntfs] = {};
    std::vector<uint32_t> route_dst;  // one address inside each route
    std::vector<Acl> acls;            // kAcls once attached
    int in_acl[kIntfs] = {}, out_acl[kIntfs] = {};  // ACL of each direction, -1: none

    // The interface of an INTF-ID (-1: none of ours).
    int index_of(uint32_t id) const {
        for (uint32_t k = 0; k < kIntfs; ++k)
            if (intf_id[k] == id) return static_cast<int>(k);
        return -1;
    }
};

bool build(Router &r, uint32_t seed, std::string *why) {
    zel_sim_image_t *img = image_with_filter_ids(kAcls * kRulesPerAcl + 64);
    r.sim = img ? zel_sim_create(img) : nullptr;
    zel_sim_image_free(img);
    r.m = r.sim ? zel_sim_module_new(r.sim, "zel_ip", 0, 1) : nullptr;
    Quiet quiet;
    if (!r.m || zel_ip_init(r.m) != 0) return *why = "start-up failed", false;
    for (uint32_t k = 0; k < kIntfs; ++k) {
        zel_ip_intf_params_t p{};
        p.l2_intf = zel_sim_l2_interface_new(r.sim, 0x2100 + k);
        p.addr = subnet(k) | 1u;
        p.prefix_len = 16;
        if (zel_ip_interface_create(r.m, &p, &r.intf[k]) != 0) return *why = "interface create failed", false;
        r.intf_id[k] = static_cast<const zel_obj_header_t *>(static_cast<void *>(r.intf[k]))->intf_id;
        zel_ip_egress_flow_params_t f{r.intf[k], 0};
        zel_ip_flow_handle_t fh = nullptr;
        if (zel_ip_egress_flow_create(r.m, &f, &fh) != 0) return *why = "egress flow create failed", false;
        r.in_acl[k] = r.out_acl[k] = -1;
    }
    std::mt19937 rng(seed);
    for (uint32_t i = 0; i < kRoutes;) {
        const uint32_t len = 16 + rng() % 15;
        uint32_t a = rng() & (~0u << (32 - len));
        if ((a >> 24) == 10 || (a >> 24) == 0 || (a >> 24) >= 224 || (a >> 24) == 127) continue;
        zel_ip_route_params_t rp{};
        rp.dest = a;
        rp.prefix_len = len;
        rp.next_hop = subnet(rng() % kIntfs) | (2 + rng() % 60000);
        if (zel_ip_route_add(r.m, &rp) != 0) return *why = "route add failed", false;
        r.route_dst.push_back(a | (rng() & ~(~0u << (32 - len))));
        ++i;
    }
    zel_ip_route_params_t local{};
    local.dest = kLocal;
    local.prefix_len = 16;
    local.local_termination = 1;
    local.ingress_assoc_mask = 0x34;  // DIP, PROTO, DPORT
    if (zel_ip_route_add(r.m, &local) != 0) return *why = "local route add failed", false;
    for (uint32_t i = 0; i < kAssocs; ++i) {
        zel_ip_ingress_assoc_params_t p{};
        p.mask = 0x34;
        p.dip = kLocal | i;
        p.dip_prefix_len = 32;
        p.proto = 17;
        p.dport = kAssocPort;
        p.action = i % 2 ? 3 : 2;  // Discard, Send-to-CPU
        p.cpu_kind = 2;
        p.cpu_target = 1 + i % 16;
        zel_ip_flow_handle_t h = nullptr;
        if (zel_ip_ingress_association_create(r.m, &p, &h) != 0) return *why = "association create failed", false;
    }
    return true;
}

// The 32 ACLs created, committed and attached: ACL k on the ingress of
// interface k, the others on the egress of every third interface.
bool attach_acls(Router &r, uint32_t seed, std::string *why) {
    Quiet quiet;
    std::mt19937 g(seed + 2);
    for (uint32_t s = 0; s < kAcls; ++s) {
        const bool ingress = s < kIntfs;
        const uint32_t k = ingress ? s : (s - kIntfs) * kEgressEvery;
        zel_ip_rule_set_handle_t set = nullptr;
        if (zel_ip_filter_rule_set_create(r.m, &set) != 0) return *why = "rule set create failed", false;
        Acl acl;
        for (uint32_t j = 0; j < kRulesPerAcl; ++j) {
            AclRule x = make_rule(g, j, ingress ? subnet(k) : 0);
            if (zel_ip_filter_rule_add(r.m, set, x.idx, &x.r, &x.a, &x.h) != 0)
                return *why = "rule add failed", false;
            acl.push_back(x);
        }
        if (zel_ip_filter_set_commit(r.m, ZEL_IP_COMMIT_SET, set) != 0) return *why = "commit failed", false;
        const uint32_t dir = ingress ? 0 : 1;
        if (zel_ip_interface_filter_type_set(r.m, r.intf[k], dir, ZEL_IP_INTF_FILTER_EXTENDED) != 0 ||
            zel_ip_interface_filter_set(r.m, r.intf[k], dir, set) != 0)
            return *why = "filter attach failed", false;
        (ingress ? r.in_acl : r.out_acl)[k] = static_cast<int>(s);
        r.acls.push_back(std::move(acl));
    }
    return true;
}

// ---- the packets -------------------------------------------------------------------

zw::Packet make_packet(std::mt19937 &g, const Router &r) {
    static constexpr uint32_t kTcpPorts[] = {80, 80, 80, 443, 443, 443, 443, 22, 25, 23, 445, 135, 3389, 179, 8080};
    static constexpr uint32_t kUdpPorts[] = {53, 53, 53, 123, 161, 1900, 137};
    zw::Packet p;
    const uint32_t k = g() % kIntfs;
    p.intf_id = r.intf_id[k];
    p.src = subnet(k) | (1 + g() % 254) << 8 | (1 + g() % 254);
    const uint32_t kind = g() % 10;
    if (kind == 8) {
        p.dst = kLocal | g() % kAssocs;
        p.proto = 17;
        p.sport = 1024 + g() % 64512;
        p.dport = kAssocPort;
        return p;
    }
    p.dst = kind < 8 ? r.route_dst[g() % r.route_dst.size()] : g();
    const uint32_t u = g() % 20;
    if (u < 19) {
        p.proto = u < 14 ? 6 : 17;
        p.sport = g() % 50 == 0 ? g() % 1024 : 1024 + g() % 64512;
        const uint32_t c = g() % 4;
        p.dport = c == 0                ? 1024 + g() % 64512
                  : p.proto == 6        ? kTcpPorts[g() % std::size(kTcpPorts)]
                                        : kUdpPorts[g() % std::size(kUdpPorts)];
    } else {
        p.proto = 1;
        p.sport = g() % 2 ? 8 : 0;  // echo request or reply; code 0
    }
    const uint32_t d = g() % 20;
    p.dscp = d == 0 ? 46 : d == 1 ? 10 : 0;
    return p;
}

// ---- the loads and what the scans expect ---------------------------------------------

struct Outcome {
    zw::Verdict verdict;
    uint32_t egress_intf;
};

struct Run {
    Load load;
    std::vector<Outcome> out;
    uint32_t by_verdict[5] = {};
};

Run walk_all(const zw::Context &c, const std::vector<zw::Packet> &pkts) {
    Run r;
    r.out.resize(pkts.size());
    zw::Walk w;
    r.load = timed(pkts.size(), [&](uint64_t i) {
        const uint32_t st = zw::walk_packet(c, pkts[i], &w);
        r.out[i] = {w.verdict, w.egress_intf};
        return st;
    });
    for (const Outcome &o : r.out) ++r.by_verdict[static_cast<int>(o.verdict)];
    return r;
}

struct Scan {
    int acl = -1;            // the ACL scanned (-1: none applies)
    int rule = -1;           // position of the first rule that matches (-1: none)
    uint32_t rule_type = 0;  // its action type
    uint32_t type() const { return rule < 0 ? 0 : rule_type; }
};

Scan first_match(const Router &r, int acl, const zw::Packet &p) {
    Scan s;
    s.acl = acl;
    if (acl < 0) return s;
    const AclFields f{p.proto, p.src, p.dst, p.sport, p.dport, p.dscp, p.frag};
    const Acl &rules = r.acls[static_cast<size_t>(acl)];
    for (size_t j = 0; j < rules.size(); ++j)
        if (acl_rule_matches(rules[j].r, f)) {
            s.rule = static_cast<int>(j);
            s.rule_type = rules[j].a.type;
            break;
        }
    return s;
}

// What a walk with the ACLs should end as: the ingress scan's decision,
// else the walk without ACLs (`base`), unless it was forwarded out of an
// interface with an egress ACL, whose scan then decides.
struct Expect {
    Scan in, out;
    zw::Verdict verdict = zw::Verdict::kNotModelled;
};

zw::Verdict decided(const Scan &s, zw::Verdict pass) {
    if (s.acl < 0) return pass;
    if (s.rule < 0) return zw::Verdict::kDropped;  // the tree's default
    switch (s.type()) {
        case ZEL_IP_FILTER_ALLOW: return pass;
        case ZEL_IP_FILTER_CPU: return zw::Verdict::kToCpu;
        default: return zw::Verdict::kDropped;
    }
}

Expect expect(const Router &r, const zw::Packet &p, const Outcome &base) {
    Expect e;
    const int k = r.index_of(p.intf_id);
    e.in = first_match(r, k < 0 ? -1 : r.in_acl[k], p);
    e.verdict = decided(e.in, base.verdict);
    if (e.in.type() == ZEL_IP_FILTER_ALLOW && base.verdict == zw::Verdict::kForwarded) {
        const int out = r.index_of(base.egress_intf);
        if (out >= 0 && r.out_acl[out] >= 0) {
            e.out = first_match(r, r.out_acl[out], p);  // no rule rewrites a field the scan reads
            e.verdict = decided(e.out, base.verdict);
        }
    }
    return e;
}

std::string fail(const char *what, uint64_t i) { return std::string(what) + " (walk " + std::to_string(i) + ")"; }

// ---- the sample, walked again with stages ------------------------------------------------

const zw::Stage *stage_named(const zw::Walk &w, const char *name) {
    for (const zw::Stage &s : w.stages)
        if (s.name == name) return &s;
    return nullptr;
}

// The walk's text without its filter stages, and without the interface
// rows of the arrival and egress stages (which show the filter kind and
// rule set).
std::string unfiltered(const zw::Walk &w) {
    zw::Walk c = w;
    c.stages.clear();
    for (zw::Stage s : w.stages) {
        if (s.name == "ingress filter" || s.name == "egress rule set" || s.name == "egress filter") continue;
        if (s.name == "arrival" || s.name == "egress") s.entry.clear();
        c.stages.push_back(s);
    }
    return zw::render(c, false);
}

// The filter stage of a scan names its rule and action; a deny or a
// Send-To-CPU ends the walk, counted in the filter's global counter.
std::string check_stage(const Router &r, const zw::Walk &w, const Scan &s, bool ingress) {
    const zw::Stage *st = stage_named(w, ingress ? "ingress filter" : "egress filter");
    if (!st) return ingress ? "no ingress filter stage" : "no egress filter stage";
    if (s.rule < 0) return "a rule matched where the scan found none";
    const uint32_t t = s.type();
    const char *act = t == ZEL_IP_FILTER_ALLOW ? "Allow" : t == ZEL_IP_FILTER_CPU ? "Send-To-CPU" : "Deny";
    const std::string want = "rule " + std::to_string(r.acls[static_cast<size_t>(s.acl)][static_cast<size_t>(s.rule)].idx) +
                             ": " + act;
    if (st->decision.compare(0, want.size(), want) != 0 ||
        (st->decision.size() > want.size() && st->decision[want.size()] != ','))
        return "filter stage \"" + st->decision + "\", the scan: \"" + want + "\"";
    if (t == ZEL_IP_FILTER_ALLOW) return "";
    const char *counter = t == ZEL_IP_FILTER_CPU ? (ingress ? "Filter to CPU cnt" : "Pkts sent to CPU by egress filter")
                                                 : (ingress ? "Filter deny cnt" : "Pkts dropped by egress filter");
    if (w.counter != counter) return "counted in \"" + w.counter + "\", not \"" + counter + "\"";
    return "";
}

// ---- the checks ----------------------------------------------------------------------

// What the scans of every walk with ACLs found.
struct Tally {
    uint64_t in[4] = {}, out[4] = {};         // decisions by action type (0: no rule matched)
    std::vector<std::vector<uint32_t>> hits;  // walks per ACL, per rule position
    uint32_t first[8] = {UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX,  // first walk of each ingress (0-3)
                         UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX}; // and egress (4-7) decision
};

// Every walk with ACLs against the scans and its walk without; fills `t`.
std::string check_every_walk(const Router &r, const std::vector<zw::Packet> &pkts, const Run &none, const Run &acl,
                             Tally *t) {
    t->hits.resize(r.acls.size());
    for (size_t s = 0; s < r.acls.size(); ++s) t->hits[s].assign(r.acls[s].size(), 0);
    for (uint32_t i = 0; i < pkts.size(); ++i) {
        const Expect e = expect(r, pkts[i], none.out[i]);
        const Outcome &got = acl.out[i];
        if (got.verdict != e.verdict) return fail("verdict differs from the scans'", i);
        if (got.verdict == zw::Verdict::kForwarded && got.egress_intf != none.out[i].egress_intf)
            return fail("forwarded out of another interface than without ACLs", i);
        for (const Scan *s : {&e.in, &e.out}) {
            if (s->acl < 0) continue;
            const size_t at = (s == &e.out ? 4 : 0) + s->type();
            ++(s == &e.out ? t->out : t->in)[s->type()];
            t->first[at] = std::min(t->first[at], i);
            if (s->rule >= 0) ++t->hits[static_cast<size_t>(s->acl)][static_cast<size_t>(s->rule)];
        }
    }
    if (!t->in[ZEL_IP_FILTER_ALLOW] || !t->in[ZEL_IP_FILTER_DENY] || !t->in[ZEL_IP_FILTER_CPU] ||
        !t->out[ZEL_IP_FILTER_ALLOW] || !t->out[ZEL_IP_FILTER_DENY])
        return "the scans miss a kind of filter decision (too few walks?)";
    if (t->in[0]) return "a walk matched no rule of its ingress ACL";
    if (none.by_verdict[static_cast<int>(zw::Verdict::kForwarded)] < pkts.size() / 2 ||
        none.by_verdict[static_cast<int>(zw::Verdict::kToCpu)] == 0)
        return "without ACLs fewer than half the walks were forwarded, or none went to the CPU";
    return "";
}

// The global filter counters the ACL load added (`before` to `after`),
// and every counting rule's own, against the scans.
std::string check_counters(const Router &r, const Tally &t, const zel_ip_global_stats_t &before,
                           const zel_ip_global_stats_t &after) {
    auto delta = [&](zel_ip_global_counter k) { return static_cast<uint64_t>(after.counter[k] - before.counter[k]); };
    if (delta(ZEL_IP_GSTAT_FILTER_DENY) != t.in[ZEL_IP_FILTER_DENY] ||
        delta(ZEL_IP_GSTAT_FILTER_TO_CPU) != t.in[ZEL_IP_FILTER_CPU] ||
        delta(ZEL_IP_GSTAT_FILTER_ACCEPT) != t.in[ZEL_IP_FILTER_ALLOW] + t.out[ZEL_IP_FILTER_ALLOW] ||
        delta(ZEL_IP_GSTAT_EGRESS_FILTER_DROPS) != t.out[ZEL_IP_FILTER_DENY] ||
        delta(ZEL_IP_GSTAT_EGRESS_FILTER_TO_CPU) != t.out[ZEL_IP_FILTER_CPU])
        return "the global filter counters differ from the scans";
    for (size_t s = 0; s < r.acls.size(); ++s)
        for (size_t j = 0; j < r.acls[s].size(); ++j) {
            const AclRule &x = r.acls[s][j];
            if (!x.a.count) continue;
            zel_ip_filter_rule_stats_t st{};
            if (zel_ip_filter_rule_stats_get(r.m, x.h, &st) != 0 || st.matched_pkts != t.hits[s][j])
                return "ACL " + std::to_string(s) + " rule " + std::to_string(x.idx) + " counted " +
                       std::to_string(st.matched_pkts) + " walks, the scans give it " + std::to_string(t.hits[s][j]);
        }
    return "";
}

// Walks `sample` again with stages (`base[j]`: sample[j]'s walk without
// ACLs, where known) and checks the filter stages and what follows them.
std::string check_sample(const Router &r, const zw::Context &traced, const std::vector<zw::Packet> &pkts,
                         const Run &none, const std::vector<uint32_t> &sample, const std::vector<zw::Walk> &base) {
    zw::Walk w;
    for (size_t j = 0; j < sample.size(); ++j) {
        const uint32_t i = sample[j];
        if (zw::walk_packet(traced, pkts[i], &w) != 0) return fail("a traced walk failed", i);
        const Expect e = expect(r, pkts[i], none.out[i]);
        std::string bad = check_stage(r, w, e.in, true);
        if (bad.empty() && e.in.type() == ZEL_IP_FILTER_ALLOW && e.out.acl >= 0) bad = check_stage(r, w, e.out, false);
        const bool passes = e.in.type() == ZEL_IP_FILTER_ALLOW && (e.out.acl < 0 || e.out.type() == ZEL_IP_FILTER_ALLOW);
        if (bad.empty() && w.verdict != e.verdict) bad = "verdict differs from the scans'";
        if (bad.empty() && passes && w.egress_intf != none.out[i].egress_intf) bad = "left by another interface";
        if (bad.empty() && passes && j < base.size() && unfiltered(w) != unfiltered(base[j]))
            bad = "reads otherwise than without ACLs:\n" + zw::render(w, false) + "without:\n" + zw::render(base[j], false);
        if (!bad.empty()) return fail(bad.c_str(), i);
    }
    return "";
}

void print_run(const char *name, const Run &x) {
    auto v = [&](zw::Verdict k) { return x.by_verdict[static_cast<int>(k)]; };
    std::printf("WALK acls=%s n=%llu walks_per_s=%.0f median_ns=%.0f p999_ns=%.0f slowest_ns=%.0f forwarded=%u "
                "to_cpu=%u dropped=%u other=%u\n",
                name, static_cast<unsigned long long>(x.load.n), x.load.rate(), x.load.median_call_s * 1e9,
                x.load.p999_s * 1e9, x.load.slowest_call_s * 1e9, v(zw::Verdict::kForwarded), v(zw::Verdict::kToCpu),
                v(zw::Verdict::kDropped), v(zw::Verdict::kToModule) + v(zw::Verdict::kNotModelled));
}

}  // namespace

int main(int argc, char **argv) {
    uint32_t n = 1000000, seed = 1;
    for (int o; (o = getopt(argc, argv, "n:s:")) != -1;) {
        if (o == 'n') n = static_cast<uint32_t>(std::strtoul(optarg, nullptr, 10));
        else if (o == 's') seed = static_cast<uint32_t>(std::strtoul(optarg, nullptr, 10));
        else return 2;
    }
    Router r;
    std::string why;
    if (!build(r, seed, &why)) {
        std::printf("CHECKS FAILED: %s\n", why.c_str());
        return 1;
    }
    std::mt19937 rng(seed + 1);
    std::vector<zw::Packet> pkts;
    pkts.reserve(n);
    for (uint32_t i = 0; i < n; ++i) pkts.push_back(make_packet(rng, r));

    zw::Context c;
    c.eng = zel_sim_engine(r.sim);
    c.global_stats_ns_id = zel::ip::kGlobalStatsNsId;
    c.stages = false;
    zw::Context traced = c;
    traced.stages = true;
    traced.count = false;

    // The sample's walks without ACLs, with stages.
    const uint32_t step = std::max<uint32_t>(1, n / kSample);
    std::vector<uint32_t> sample;
    for (uint32_t i = 0; i < n; i += step) sample.push_back(i);
    std::vector<zw::Walk> base_walks(sample.size());
    bool ok = true;
    for (size_t j = 0; j < sample.size(); ++j) ok &= zw::walk_packet(traced, pkts[sample[j]], &base_walks[j]) == 0;

    const Run none = walk_all(c, pkts);
    if (!ok || !none.load.ok) why = "a walk without ACLs could not ask the engine";

    if (why.empty()) attach_acls(r, seed, &why);
    zel_ip_global_stats_t before{}, after{};
    Run acl;
    if (why.empty() && zel_ip_global_stats_get(r.m, &before) != 0) why = "global statistics unreadable";
    if (why.empty()) {
        acl = walk_all(c, pkts);
        if (!acl.load.ok) why = "a walk with ACLs could not ask the engine";
        else if (zel_ip_global_stats_get(r.m, &after) != 0) why = "global statistics unreadable";
    }
    Tally t;
    if (why.empty()) why = check_every_walk(r, pkts, none, acl, &t);
    if (why.empty()) why = check_counters(r, t, before, after);
    // The sample, and the first walk of each decision (whose walk without
    // ACLs is known by its verdict and interface only).
    for (uint32_t i : t.first)
        if (i != UINT32_MAX && i % step != 0) sample.push_back(i);
    if (why.empty()) why = check_sample(r, traced, pkts, none, sample, base_walks);

    print_run("none", none);
    if (!acl.out.empty()) {
        print_run((std::to_string(kAcls) + "x" + std::to_string(kRulesPerAcl)).c_str(), acl);
        std::printf("  filters: ingress_allow=%llu ingress_deny=%llu ingress_cpu=%llu egress_allow=%llu "
                    "egress_deny=%llu egress_cpu=%llu\n",
                    static_cast<unsigned long long>(t.in[ZEL_IP_FILTER_ALLOW]),
                    static_cast<unsigned long long>(t.in[ZEL_IP_FILTER_DENY]),
                    static_cast<unsigned long long>(t.in[ZEL_IP_FILTER_CPU]),
                    static_cast<unsigned long long>(t.out[ZEL_IP_FILTER_ALLOW]),
                    static_cast<unsigned long long>(t.out[ZEL_IP_FILTER_DENY]),
                    static_cast<unsigned long long>(t.out[ZEL_IP_FILTER_CPU]));
        std::printf("  acl_over_none=%.2f\n", none.load.rate() > 0 ? acl.load.rate() / none.load.rate() : 0.0);
    }
    if (!why.empty()) {
        std::printf("CHECKS FAILED: %s\n", why.c_str());
        return 1;
    }
    std::printf("CHECKS passed\n");
    return 0;
}
