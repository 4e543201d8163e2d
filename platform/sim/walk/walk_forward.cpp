// The walk's egress side: the next hop's interface, the egress interface's
// entries, TTL, the egress filter, MTU, NAPT, the egress flow, and tunnel
// encapsulation.
//
//   next hop       tree 2 again: the next hop must lie in an attached subnet
//   egress         tree 24 (flags, MTU, stats NS ID), 25 (egress rule set),
//                  34 or 36, 31 (egress capture), 21 (NAPT, shown only)
//   source address tree 22, for a locally originated packet without one
//   egress flow    tree 29 (the Layer-2 flow, or a bound module through 28)
//   tunnel         tree 5 (outer path MTU), tree 4 (the outer header: the
//                  entry whose INTF-ID is the tunnel's), then the outer
//                  packet is routed in the outer domain as any other
#include <vector>

#include "tree/zel_ip_layout_cpu.h"
#include "tree/zel_ip_layout_flow.h"
#include "tree/zel_ip_layout_intf.h"
#include "tree/zel_ip_layout_route.h"
#include "walk_internal.h"
#include "zel_sim_engine.h"

namespace zsim::walk::detail {

using namespace zel::ip;
namespace lay = zel::ip::layout;

namespace {

// Bytes of the outer IPv4 header a tunnel adds (what else its
// encapsulation adds is the engine programs' and not counted).
constexpr uint32_t kOuterHeader = 20;
constexpr uint32_t kIpHeader = 20;

// The tree-4 entry of a tunnel interface: its outer header.
struct Outer {
    bool found = false;
    uint32_t vrd_id = 0, proto = 0, remote = 0, local = 0;
    hwe_action_t a{};
};

uint32_t find_outer(void *ctx, const zel_ptn_t *key, const hwe_action_t *value) {
    auto *o = static_cast<std::pair<uint32_t, Outer> *>(ctx);
    if (o->second.found || value->kind == HWE_ACTION_FUNC || value->w1 != o->first) return 0;
    const lay::KeyLayout &kl = lay::key_layout(kTreeTunnelIf);
    uint32_t widths[4], vals[4] = {};
    for (uint32_t i = 0; i < 4; ++i) widths[i] = kl.fields[i].width;
    if (zel_ptn_parse(key, 4, widths, vals) != 0) return 0;
    o->second = {true, vals[0], vals[1], vals[2], vals[3], *value};
    return 0;
}

}  // namespace

bool Walker::resolve_next_hop(uint32_t vrd_id, uint32_t next_hop, uint32_t *intf_id) {
    Hit h;
    Key k;
    if (failed(t_.lookup(kTreeDestAddr, {vrd_id, next_hop}, &h, &k))) return false;
    const lay::dest::Value d = lay::dest::decode(h.a);
    const bool attached = d.type == lay::dest::RouteType::kAttachedSubnet;
    WALK_STAGE("next hop", kTreeDestAddr, Trees::key_text(kTreeDestAddr, k), t_.row(kTreeDestAddr, k, h),
          attached ? "on an attached subnet of " + intf_text(d.intf_id) : "not on an attached subnet");
    if (!attached) {
        // The trees give no other way from a next hop to an interface
        // (a next hop in another domain, or behind another route).
        not_modelled("next hop " + addr_text(next_hop) + fmt(" is not on an attached subnet of VRD-ID %u", vrd_id));
        return false;
    }
    *intf_id = d.intf_id;
    return true;
}

void Walker::forward(uint32_t intf_id, uint32_t next_hop, bool via_tunnel) {
    Packet &p = pkt();
    Hit h;
    Key k;
    if (failed(t_.lookup(kTreeIntfEgressFlags, {intf_id}, &h, &k))) return;
    const std::string key = tracing() ? Trees::key_text(kTreeIntfEgressFlags, k) : std::string();
    if (h.depth == 0 || h.function()) {
        WALK_STAGE("egress", kTreeIntfEgressFlags, key, t_.row(kTreeIntfEgressFlags, k, h), "no such interface");
        if (via_tunnel) return WALK_DROP(kUnknownTunnel, fmt("no tunnel interface has INTF-ID 0x%x", intf_id));
        return WALK_DROP(kDestUnreachable, fmt("no interface has INTF-ID 0x%x", intf_id));
    }
    const uint32_t stats_ns = h.a.w2;
    const lay::intf_egress::Value e = lay::intf_egress::decode(h.a);
    WALK_STAGE("egress", kTreeIntfEgressFlags, key, t_.row(kTreeIntfEgressFlags, k, h),
          e.admin_disabled ? "administratively down"
                           : fmt("out of %s, MTU %u", intf_text(intf_id).c_str(), e.mtu));
    if (e.admin_disabled) return WALK_DROP(kDestUnreachable, intf_text(intf_id) + " is administratively down");

    // TTL: a forwarded packet loses one; locally originated packets and
    // the outer header of a tunnel start fresh.
    if (from_interface() && tunnel_depth() == 0) {
        if (p.ttl <= 1) {
            WALK_STAGE("TTL", -1, "", "", fmt("TTL %u expires", p.ttl));
            return WALK_DROP(kTtlExpired, fmt("TTL %u expires (the exception the engine raises for it is not modelled)", p.ttl));
        }
        --p.ttl;
    }

    // Egress filter: the interface's egress rule set.
    const auto ft = lay::intf_ingress::filter_of(h.a.w1);
    if (ft != lay::intf_ingress::Filter::kDisabled) {
        Hit r;
        Key rk;
        if (failed(t_.lookup(kTreeIntfFilterRuleSet, {intf_id}, &r, &rk))) return;
        const uint32_t set = lay::intf_rule_set::decode(r.a).egress_rule_set;
        WALK_STAGE("egress rule set", kTreeIntfFilterRuleSet, Trees::key_text(kTreeIntfFilterRuleSet, rk),
              t_.row(kTreeIntfFilterRuleSet, rk, r), fmt("rule set %u", set));
        if (!filter(1, ft == lay::intf_ingress::Filter::kBasic, set)) return;
    }
    if (e.capture) capture(intf_id, lay::capture::kEgress);
    if (done()) return;

    // NAPT: the translations the tree holds for the packet, shown; which
    // side the engine translates on is its programs' choice.
    const bool nat_in = lay::intf_ingress::nat_of(in_flags()) != lay::intf_ingress::Nat::kNone;
    if (tunnel_depth() == 0 && (e.nat != lay::intf_ingress::Nat::kNone || (from_interface() && nat_in))) {
        std::string found;
        for (auto [addr, port] : {std::pair{p.src, p.sport}, std::pair{p.dst, p.dport}}) {
            Hit n;
            Key nk;
            if (failed(t_.lookup(kTreeNapt, {addr, port}, &n, &nk))) return;
            if (n.depth == 0) continue;
            const lay::napt::Value v = lay::napt::decode(n.a);
            found += fmt("%s%s:%u -> %s:%u", found.empty() ? "" : "; ", addr_text(addr).c_str(), port,
                         addr_text(v.addr).c_str(), v.port ? v.port : port);
        }
        WALK_STAGE("NAPT", kTreeNapt, fmt("%s:%u, %s:%u", addr_text(p.src).c_str(), p.sport, addr_text(p.dst).c_str(), p.dport),
              found.empty() ? "no translation" : found,
              "which side is translated is not modelled: addresses left unchanged");
    }

    // MTU (a tunnel's own, before its outer path MTU).
    if (e.mtu && p.length > e.mtu) {
        if (p.df) return WALK_DROP(kFragFailedDf, fmt("%u bytes with DF set exceed the MTU %u", p.length, e.mtu));
        const uint32_t per = (e.mtu - kIpHeader) & ~7u;
        const uint32_t n = per ? (p.length - kIpHeader + per - 1) / per : 0;
        count(kSubjectToFrag);
        count(kFragsCreated, n);
        WALK_STAGE("fragmentation", -1, "", "", fmt("%u bytes exceed the MTU %u: %u fragments (the walk follows the packet as one)",
                                               p.length, e.mtu, n));
    }

    if (via_tunnel) {
        // The outer path MTU, then the outer header from tree 4.
        Hit m;
        Key mk;
        if (failed(t_.lookup(kTreeTunnelPmtu, {intf_id}, &m, &mk))) return;
        const lay::tunnel_pmtu::Value pm = lay::tunnel_pmtu::decode(m.a);
        WALK_STAGE("tunnel MTU", kTreeTunnelPmtu, Trees::key_text(kTreeTunnelPmtu, mk), t_.row(kTreeTunnelPmtu, mk, m),
              fmt("outer path MTU %u", pm.outer_mtu));
        if (pm.outer_mtu && p.length + kOuterHeader > pm.outer_mtu && p.df)
            return WALK_DROP(pm.ptb_exception ? kLocalPtb : kFragFailedDf,
                        fmt("%u bytes with DF set do not fit the outer path MTU %u%s", p.length + kOuterHeader,
                            pm.outer_mtu, pm.ptb_exception ? " (a packet-too-big exception is raised)" : ""));
        std::pair<uint32_t, Outer> o{intf_id, {}};
        uint32_t tid = 0;
        if (failed(t_.id_of(kTreeTunnelIf, &tid))) return;
        if (failed(zel_sim_engine_list_entries(t_.engine(), tid, find_outer, &o))) return;
        if (!o.second.found) return WALK_DROP(kUnknownTunnel, intf_text(intf_id) + " has no outer header in the tunnel tree");
        if (++tunnel_depth() > 1) return not_modelled("a tunnel inside a tunnel");
        const Outer &out = o.second;
        WALK_STAGE("encapsulation", kTreeTunnelIf,
              fmt("INTF-ID 0x%x (the entry that names it)", intf_id),
              fmt("VRD-ID %u, PROTO %u, REMOTE-IP-ADDR %s, LOCAL-IP-ADDR %s", out.vrd_id, out.proto,
                  addr_text(out.remote).c_str(), addr_text(out.local).c_str()),
              fmt("outer header %s -> %s, protocol %u, +%u bytes", addr_text(out.local).c_str(),
                  addr_text(out.remote).c_str(), out.proto, kOuterHeader));
        count_ns(stats_ns, 1);  // the tunnel's transmitted packets
        p.src = out.local;
        p.dst = out.remote;
        p.proto = out.proto;
        p.length += kOuterHeader;
        // The outer packet is routed in the outer domain.
        Hit d;
        Key dk;
        if (failed(t_.lookup(kTreeDestAddr, {out.vrd_id, out.remote}, &d, &dk))) return;
        const lay::dest::Value dv = lay::dest::decode(d.a);
        using RT = lay::dest::RouteType;
        WALK_STAGE("outer destination", kTreeDestAddr, Trees::key_text(kTreeDestAddr, dk), t_.row(kTreeDestAddr, dk, d),
              dv.type == RT::kAttachedSubnet ? "on an attached subnet"
              : dv.type == RT::kViaNextHop   ? "via next hop " + addr_text(dv.next_hop)
                                             : "not forwardable");
        if (dv.type == RT::kAttachedSubnet) return forward(dv.intf_id, out.remote, false);
        if (dv.type == RT::kViaNextHop) {
            uint32_t o_intf = 0;
            if (resolve_next_hop(out.vrd_id, dv.next_hop, &o_intf)) forward(o_intf, dv.next_hop, false);
            return;
        }
        return WALK_DROP(kDestUnreachable, "no route to the tunnel's remote end " + addr_text(out.remote));
    }

    // A locally originated packet without a source takes the interface's
    // address on the next hop's subnet.
    if (!from_interface() && p.src == 0) {
        Hit s;
        Key sk;
        if (failed(t_.lookup(kTreeIntfSipMtu, {intf_id, next_hop}, &s, &sk))) return;
        if (s.depth && !s.function()) p.src = lay::intf_sip_mtu::decode(s.a).sip;
        WALK_STAGE("source address", kTreeIntfSipMtu, Trees::key_text(kTreeIntfSipMtu, sk), t_.row(kTreeIntfSipMtu, sk, s),
              p.src ? "source " + addr_text(p.src) : "no address on the subnet");
    }

    // The egress flow that puts the Layer-2 header on.
    Hit f;
    Key fk;
    if (failed(t_.lookup(kTreeEgressFlow, {intf_id, next_hop}, &f, &fk))) return;
    if (f.depth == 0 || f.function()) {
        WALK_STAGE("egress flow", kTreeEgressFlow, Trees::key_text(kTreeEgressFlow, fk), t_.row(kTreeEgressFlow, fk, f),
              "no egress flow");
        return WALK_DROP(kEncapFlowUnavailable, "no egress flow on " + intf_text(intf_id) + " for " + addr_text(next_hop));
    }
    const lay::egress_flow::Value ef = lay::egress_flow::decode(f.a);
    WALK_STAGE("egress flow", kTreeEgressFlow, Trees::key_text(kTreeEgressFlow, fk), t_.row(kTreeEgressFlow, fk, f),
          ef.bound() ? fmt("bound: FLOW-ID 0x%06x", ef.w1) : fmt("egress flow 0x%06x", ef.w1));
    w_.egress_intf = intf_id;
    w_.next_hop = next_hop;
    count(kTxPkts);
    count_ns(stats_ns, 1);  // the interface's transmitted packets
    if (ef.bound()) {
        std::string fns;
        for (uint8_t idx : {ef.imc_idx, ef.flow_idx}) {
            if (idx == 0) continue;
            Hit b;
            Key bk;
            if (failed(t_.lookup(kTreeCustomBindImcEntryFn, {idx}, &b, &bk))) return;
            const std::string fn = lay::custom_bind::has_function(b.a) ? t_.function_name(b.a.w1) : "none";
            WALK_STAGE("bind function", kTreeCustomBindImcEntryFn, Trees::key_text(kTreeCustomBindImcEntryFn, bk),
                  t_.row(kTreeCustomBindImcEntryFn, bk, b), fn);
            fns += (fns.empty() ? "" : ", ") + fn;
        }
        return WALK_FINISH(Verdict::kToModule,
                      fmt("out of %s to %s through %s", intf_text(intf_id).c_str(), addr_text(next_hop).c_str(),
                          fns.c_str()));
    }
    WALK_FINISH(Verdict::kForwarded, fmt("out of %s to %s, TTL %u, DSCP %u, %u bytes", intf_text(intf_id).c_str(),
                                    addr_text(next_hop).c_str(), p.ttl, p.dscp, p.length));
}

}  // namespace zsim::walk::detail
