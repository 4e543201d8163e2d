// The walk's ingress side: arrival, source check, ingress filter, policy
// routing, the destination lookup and local delivery.
//
// Stage order (each reads only what the trees say):
//   arrival        tree 23 (interface flags, VRD-ID, stats NS ID), 31, 26
//   source check   tree 0
//   ingress filter tree 34 or 36 with the set in tree 23 W1 bits 8-15;
//                  Send-To-CPU through trees 16 to 20
//   policy routing tree 25 W2 (interface) or 37 (locally originated), 33, 3
//   domain mode    tree 1
//   destination    tree 2, then forwarding (walk_forward.cpp) or
//   local delivery tree 9 or 8, 35, 7, then 27 and 19 (CPU), 14 and 28
//                  (bound flows)
#include <cstdarg>
#include <cstdio>

#include "flow/zel_ip_flow_pvt.h"
#include "tree/zel_ip_assoc_mask.h"
#include "tree/zel_ip_layout_cpu.h"
#include "tree/zel_ip_layout_filter.h"
#include "tree/zel_ip_layout_flow.h"
#include "tree/zel_ip_layout_intf.h"
#include "tree/zel_ip_layout_route.h"
#include "walk_internal.h"
#include "zel_sim_engine.h"

namespace zsim::walk {

const char *verdict_name(Verdict v) {
    switch (v) {
        case Verdict::kForwarded: return "forwarded";
        case Verdict::kToCpu: return "to the CPU";
        case Verdict::kToModule: return "to a sibling module";
        case Verdict::kDropped: return "dropped";
        case Verdict::kNotModelled: return "not modelled";
    }
    return "?";
}

namespace detail {

using namespace zel::ip;
namespace lay = zel::ip::layout;

std::string fmt(const char *f, ...) {
    char b[512];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(b, sizeof b, f, ap);
    va_end(ap);
    return b;
}

Key flow_key(uint32_t key) { return Key().add(key >> 4, 24).add(key & 0xf, 4); }

// ---- the walker's plumbing ----------------------------------------------------

void Walker::stage(const char *name, int tree, const std::string &key, const std::string &entry,
                   const std::string &decision) {
    w_.stages.push_back({name, tree >= 0 ? Trees::name(static_cast<uint32_t>(tree)) : "", key, entry, decision});
}

void Walker::finish(Verdict v, const std::string &detail, int counter) {
    if (done_) return;
    done_ = true;
    w_.verdict = v;
    w_.detail = detail;
    if (counter >= 0) {
        w_.counter = global_label(static_cast<Global>(counter));
        count(static_cast<Global>(counter));
    }
}

std::string Walker::intf_text(uint32_t intf_id) const {
    const std::string n = c_.intf_name ? c_.intf_name(intf_id) : "";
    return n.empty() ? fmt("INTF-ID 0x%x", intf_id) : fmt("%s (INTF-ID 0x%x)", n.c_str(), intf_id);
}

// ---- the walk -----------------------------------------------------------------

uint32_t Walker::run(const Packet &p) {
    // A fresh walk, keeping the buffers of the caller's last one (a
    // traffic generator walks packet after packet into the same Walk).
    w_.stages.clear();
    w_.verdict = Verdict::kNotModelled;
    w_.detail.clear();
    w_.counter.clear();
    w_.egress_intf = w_.next_hop = 0;
    w_.out = p;
    w_.counter_errors = 0;
    arrival_ = p.arrival;
    arrive();
    if (!done()) route();
    if (st_ == 0 && !done_) not_modelled("the walk ended without a decision");
    counts_.flush();
    w_.counter_errors = counts_.refused;
    return st_;
}

void Walker::arrive() {
    Packet &p = pkt();
    Hit h;
    Key k;
    if (arrival_ == Arrival::kCpu) {
        vrd_ = p.vrd_id;
        count(kFromCpu);
        WALK_STAGE("arrival", -1, "", "", fmt("sent by the CPU in VRD-ID %u", vrd_));
        return;
    }
    // The interface: its flags, domain and statistics record.
    in_intf_ = p.intf_id;
    if (failed(t_.lookup(kTreeIntfIngressFlags, {p.intf_id}, &h, &k))) return;
    const std::string key = tracing() ? Trees::key_text(kTreeIntfIngressFlags, k) : std::string();
    if (h.function() || h.depth == 0) {
        WALK_STAGE("arrival", kTreeIntfIngressFlags, key, t_.row(kTreeIntfIngressFlags, k, h), "no such interface");
        count(kRxPkts);
        return WALK_DROP(kInvalidInputIntf, fmt("no interface has INTF-ID 0x%x", p.intf_id));
    }
    const lay::intf_ingress::Value in = lay::intf_ingress::decode(h.a);
    in_flags_ = h.a.w1;
    vrd_ = in.vrd_id;
    count(kRxPkts);
    count_ns(h.a.w2, 0);  // the interface's received packets
    WALK_STAGE("arrival", kTreeIntfIngressFlags, key, t_.row(kTreeIntfIngressFlags, k, h),
          in.admin_disabled ? "administratively down" : fmt("%s in VRD-ID %u", intf_text(p.intf_id).c_str(), vrd_));
    if (in.admin_disabled) return WALK_DROP(kInvalidInputIntf, intf_text(p.intf_id) + " is administratively down");
    if (in.capture) capture(p.intf_id, lay::capture::kIngress);
    if (done()) return;
    if (in.policing || in.dscp_map) {
        if (failed(t_.lookup(kTreeIfIngressDscpPolice, {p.intf_id}, &h, &k))) return;
        const lay::intf_dscp_police::Value q = lay::intf_dscp_police::decode(h.a);
        std::string d;
        if (in.dscp_map) d += fmt("DSCP map profile %u (the priority it gives is not modelled)", q.dscp_profile);
        if (in.policing)
            d += fmt("%spolicing flow 0x%x (rates are not modelled: the packet passes)", d.empty() ? "" : "; ",
                     q.policing_flow);
        WALK_STAGE("ingress QoS", kTreeIfIngressDscpPolice, Trees::key_text(kTreeIfIngressDscpPolice, k),
              t_.row(kTreeIfIngressDscpPolice, k, h), d);
    }

    // Source check.
    if (failed(t_.lookup(kTreeSrcAddr, {vrd_, p.src}, &h, &k))) return;
    const lay::src_addr::Verdict sv = lay::src_addr::decode(h.a);
    const char *sd = sv == lay::src_addr::Verdict::kBlockAll   ? "the source is blocked"
                     : sv == lay::src_addr::Verdict::kBlockFwd ? "the source may be delivered locally, not forwarded"
                                                               : "the source is allowed";
    WALK_STAGE("source check", kTreeSrcAddr, Trees::key_text(kTreeSrcAddr, k), t_.row(kTreeSrcAddr, k, h), sd);
    if (sv == lay::src_addr::Verdict::kBlockAll) return WALK_DROP(kInvalidSip, "source " + addr_text(p.src) + " is blocked");
    block_fwd = sv == lay::src_addr::Verdict::kBlockFwd;

    // Ingress filter.
    const auto ft = lay::intf_ingress::filter_of(in_flags_);
    if (ft != lay::intf_ingress::Filter::kDisabled)
        filter(0, ft == lay::intf_ingress::Filter::kBasic, in.rule_set);
}

bool Walker::filter(uint32_t dir, bool basic, uint32_t rule_set) {
    Packet &p = pkt();
    // A filter kind without a rule set (id 0: none) filters nothing.
    if (rule_set == 0) {
        WALK_STAGE(dir == 0 ? "ingress filter" : "egress filter", -1, "", "",
                   fmt("%s filter on, but no rule set attached: not filtered", basic ? "basic" : "extended"));
        return true;
    }
    const uint32_t tos = p.dscp << 2;
    const uint32_t tree = basic ? kTreeInBasicFilter : kTreeExtFilter;
    const uint32_t ext[] = {rule_set, tos, p.frag, p.proto, p.src, p.dst, p.sport, p.dport};
    const uint32_t bas[] = {rule_set, p.proto, p.src, p.dst};
    hwe_action_t a{};
    uint32_t rule = 0;
    if (failed(basic ? t_.classify(tree, bas, 4, &a, &rule) : t_.classify(tree, ext, 8, &a, &rule))) return false;
    const char *name = dir == 0 ? "ingress filter" : "egress filter";
    const std::string key =
        !tracing() ? std::string()
        : basic ? fmt("FILTER-RULE-SET %u, PROTO %u, SRC-ADDR %s, DEST-ADDR %s", rule_set, p.proto,
                    addr_text(p.src).c_str(), addr_text(p.dst).c_str())
              : fmt("FILTER-RULE-SET %u, DSCP %u, FRAG-TYPE %u, PROTO %u, SRC-ADDR %s, DEST-ADDR %s, SPORT-TYPE %u, "
                    "DPORT-CODE %u",
                    rule_set, tos, p.frag, p.proto, addr_text(p.src).c_str(), addr_text(p.dst).c_str(), p.sport,
                    p.dport);
    if (rule == ZEL_SIM_NO_RULE || a.kind == HWE_ACTION_FUNC) {
        WALK_STAGE(name, static_cast<int>(tree), key, "no rule matches: " + t_.function_name(a.w1),
              "the tree's default action");
        WALK_DROP(kUnknownRuleSet, fmt("no rule of rule set %u matches (%s)", rule_set, t_.function_name(a.w1).c_str()));
        return false;
    }
    const lay::filter::Value f = lay::filter::decode(a);
    const uint32_t key28 = f.flow_id << 4 | f.rule_key;
    const char *act = f.action == lay::filter::Action::kAllow   ? "Allow"
                      : f.action == lay::filter::Action::kDeny  ? "Deny"
                                                                : "Send-To-CPU";
    if (f.counter) {
        // Packets in word 0, bytes in words 2 and 3 of the rule's record.
        count_ns(f.flow_id, 0);
        count_bytes(f.flow_id, 2, p.length);
    }
    if (f.dscp_remap) p.dscp = f.assigned_dscp;
    if (tracing()) {
        std::string entry = fmt("rule %u: %s, FLOW-ID 0x%06x, RULE-KEY %u%s%s", rule, act, f.flow_id, f.rule_key,
                                f.counter ? ", COUNTER" : "", f.policing ? ", POLICING" : "");
        if (f.dscp_remap) entry += fmt(", DSCP-REMAP %u", f.assigned_dscp);
        std::string d = fmt("rule %u: %s", rule, act);
        if (f.counter) d += ", counted";
        if (f.dscp_remap) d += fmt(", DSCP rewritten to %u", f.assigned_dscp);
        stage(name, static_cast<int>(tree), key, entry, d);
    }
    if (f.policing) {
        Hit h;
        const Key k = flow_key(key28);
        if (failed(t_.lookup(kTreeFilterCpuPathPolicing, k, &h))) return false;
        WALK_STAGE("filter policing", kTreeFilterCpuPathPolicing, Trees::key_text(kTreeFilterCpuPathPolicing, k),
              t_.row(kTreeFilterCpuPathPolicing, k, h), "rates are not modelled: the packet passes");
    }
    switch (f.action) {
        case lay::filter::Action::kAllow:
            count(kFilterAccept);
            return true;
        case lay::filter::Action::kDeny:
            WALK_DROP(dir == 0 ? kFilterDeny : kEgressFilterDrops, fmt("denied by rule %u of rule set %u", rule, rule_set));
            return false;
        case lay::filter::Action::kSendToCpu:
            to_cpu_by_flow_key(key28, tracing() ? fmt("rule %u of rule set %u", rule, rule_set) : std::string(),
                               dir == 0 ? kFilterToCpu : kEgressFilterCpu);
            return false;
    }
    return false;
}

void Walker::to_cpu_by_flow_key(uint32_t key28, const std::string &why, Global counter) {
    Hit h;
    const Key k = flow_key(key28);
    if (failed(t_.lookup(kTreeFilterCpuPathParam, k, &h))) return;
    std::string where;
    if (!tracing()) {
    } else if (h.depth == 0) {
        where = "no delivery parameters";
    } else {
        const lay::filter_cpu_param::Value d = lay::filter_cpu_param::decode(h.a);
        where = d.nca ? fmt("NCA queue %u, context flow 0x%06x", d.nca_q, d.context_flow)
                      : fmt("PH bind handle 0x%08x, callback %u", d.ph_handle, d.cb_fn_id);
    }
    WALK_STAGE("CPU path", kTreeFilterCpuPathParam, Trees::key_text(kTreeFilterCpuPathParam, k),
          t_.row(kTreeFilterCpuPathParam, k, h), where);
    if (failed(t_.lookup(kTreeCpuPathParam, k, &h))) return;
    std::string q;
    if (lay::cpu_path_param::uses_dscp_map(h.a)) {
        Hit d;
        Key dk;
        if (failed(t_.lookup(kTreeCpuDscpQos, {pkt().dscp}, &d, &dk))) return;
        if (tracing())
            q = lay::via_mtm::via(d.a) == lay::via_mtm::Via::kYes
                ? fmt("queue by DSCP %u: traffic-manager queue %u", pkt().dscp, lay::via_mtm::mtm_q_id(d.a))
                : fmt("queue by DSCP %u: no traffic-manager queue", pkt().dscp);
    } else if (tracing()) {
        q = h.a.w2 == 1 ? fmt("traffic-manager queue %u", h.a.w1) : "no traffic-manager queue";
    }
    WALK_STAGE("CPU queue", kTreeCpuPathParam, Trees::key_text(kTreeCpuPathParam, k), t_.row(kTreeCpuPathParam, k, h), q);
    WALK_FINISH(Verdict::kToCpu, why + ": " + where + ", " + q, counter);
}

void Walker::capture(uint32_t intf_id, uint32_t dir) {
    Hit h;
    Key k;
    if (failed(t_.lookup(kTreeCaptureCpuPathParam, {intf_id, lay::capture::kSelDelivery, dir}, &h, &k))) return;
    const lay::capture::Delivery d = lay::capture::decode_delivery(h.a);
    WALK_STAGE("capture", kTreeCaptureCpuPathParam, Trees::key_text(kTreeCaptureCpuPathParam, k),
          t_.row(kTreeCaptureCpuPathParam, k, h),
          h.depth ? fmt("a copy goes to PH bind handle 0x%08x, callback %u", d.ph_handle, d.cb_fn_id)
                  : "capture flag set but no delivery parameters: no copy");
    if (h.depth) count(kCaptured);
}

// ---- routing --------------------------------------------------------------------

void Walker::route() {
    Packet &p = pkt();
    Hit h;
    Key k;
    // Policy routing first: on the arriving interface, or for the domain
    // of a locally originated packet.
    uint32_t policy_set = 0;
    if (arrival_ == Arrival::kInterface && (in_flags_ & lay::intf_ingress::kPbr)) {
        if (failed(t_.lookup(kTreeIntfFilterRuleSet, {in_intf_}, &h, &k))) return;
        policy_set = lay::intf_rule_set::decode(h.a).pbr_policy_set;
        WALK_STAGE("policy set", kTreeIntfFilterRuleSet, Trees::key_text(kTreeIntfFilterRuleSet, k),
              t_.row(kTreeIntfFilterRuleSet, k, h),
              policy_set ? fmt("policy set %u", policy_set) : "PBR on but no policy set: routed by destination");
    } else if (arrival_ == Arrival::kCpu) {
        if (failed(t_.lookup(kTreeLoPbrPolicySet, {vrd_}, &h, &k))) return;
        const lay::lo_pbr::Value lo = lay::lo_pbr::decode(h.a);
        if (h.depth != 0 || lo.enabled) {
            WALK_STAGE("policy set", kTreeLoPbrPolicySet, Trees::key_text(kTreeLoPbrPolicySet, k),
                  t_.row(kTreeLoPbrPolicySet, k, h),
                  lo.enabled ? fmt("policy set %u", lo.policy_set) : "PBR disabled in the domain");
            if (lo.enabled) policy_set = lo.policy_set;
        }
    }
    if (policy_set) {
        bool decided = false;
        if (!policy_route(policy_set, vrd_, &decided) || decided) return;
    }

    // The domain's mode, then the destination.
    if (failed(t_.lookup(kTreeHostRouterMode, {vrd_}, &h, &k))) return;
    const bool routing = lay::host_mode::routing_enabled(h.a);
    if (!routing)
        WALK_STAGE("domain mode", kTreeHostRouterMode, Trees::key_text(kTreeHostRouterMode, k),
              t_.row(kTreeHostRouterMode, k, h), "routing disabled: local delivery only");
    if (failed(t_.lookup(kTreeDestAddr, {vrd_, p.dst}, &h, &k))) return;
    const lay::dest::Value d = lay::dest::decode(h.a);
    using RT = lay::dest::RouteType;
    const bool forwards = d.type == RT::kAttachedSubnet || d.type == RT::kViaNextHop || d.type == RT::kViaTunnel;
    std::string what;
    if (tracing()) switch (d.type) {
        case RT::kNoRoute: what = "no route"; break;
        case RT::kNullRoute: what = "a null route"; break;
        case RT::kInvalidRoute: what = "an invalid destination"; break;
        case RT::kSubnetBroadcast: what = "a subnet broadcast"; break;
        case RT::kLocallyAddressed: what = "an address of this router"; break;
        case RT::kLocallyTerminating: what = "terminated locally"; break;
        case RT::kAttachedSubnet: what = "on an attached subnet of " + intf_text(d.intf_id); break;
        case RT::kViaNextHop: what = "via next hop " + addr_text(d.next_hop); break;
        case RT::kViaTunnel: what = "into tunnel " + intf_text(d.intf_id); break;
    }
    WALK_STAGE("destination", kTreeDestAddr, Trees::key_text(kTreeDestAddr, k), t_.row(kTreeDestAddr, k, h), what);
    const std::string dst = tracing() ? addr_text(p.dst) : std::string();
    switch (d.type) {
        case RT::kNoRoute: return WALK_DROP(kDestUnreachable, "no route to " + dst);
        case RT::kNullRoute: return WALK_DROP(kNullRoutes, "null route to " + dst);
        case RT::kInvalidRoute: return WALK_DROP(kInvalidDip, dst + " is an invalid destination");
        case RT::kSubnetBroadcast:
            return not_modelled("what the fast path does with a subnet broadcast is not in the trees");
        case RT::kLocallyAddressed:
        case RT::kLocallyTerminating:
            return deliver_locally(vrd_, d.assoc_mask, d.defrag, d.type == RT::kLocallyAddressed, d.cdip);
        default: break;
    }
    if (forwards && !routing) return WALK_DROP(kRoutingDisabled, fmt("routing is disabled in VRD-ID %u", vrd_));
    if (forwards && block_fwd) return WALK_DROP(kInvalidSip, "source " + addr_text(p.src) + " may not be forwarded");
    if (d.type == RT::kAttachedSubnet) return forward(d.intf_id, p.dst, false);
    if (d.type == RT::kViaTunnel) return forward(d.intf_id, p.dst, true);
    uint32_t out = 0;
    if (!resolve_next_hop(vrd_, d.next_hop, &out)) return;
    forward(out, d.next_hop, false);
}

bool Walker::policy_route(uint32_t policy_set, uint32_t vrd_id, bool *decided) {
    Packet &p = pkt();
    hwe_action_t a{};
    uint32_t rule = 0;
    const uint32_t tos = p.dscp << 2;
    if (failed(t_.classify(kTreePbr, {policy_set, p.pcp, tos, p.frag, p.proto, p.src, p.dst, p.sport, p.dport}, &a,
                           &rule)))
        return false;
    const std::string key = !tracing() ? std::string() : fmt(
        "PBR-POLICY-SET %u, PCP %u, DSCP %u, FRAG-TYPE %u, PROTO %u, SRC-ADDR %s, DEST-ADDR %s, SPORT %u, DPORT %u",
        policy_set, p.pcp, tos, p.frag, p.proto, addr_text(p.src).c_str(), addr_text(p.dst).c_str(), p.sport,
        p.dport);
    if (rule == ZEL_SIM_NO_RULE || a.kind == HWE_ACTION_FUNC) {
        WALK_STAGE("policy routing", kTreePbr, key, "no rule matches: " + t_.function_name(a.w1),
              "routed by destination");
        return true;
    }
    const uint32_t rule_id = lay::pbr::rule_id(a);
    count_ns(rule_id, 0);  // the PBR rule's matched packets
    WALK_STAGE("policy routing", kTreePbr, key, fmt("rule %u: PBR-RULE-ID 0x%x", rule, rule_id), "counted");
    Hit h;
    Key k;
    if (failed(t_.lookup(kTreePbrAction, {rule_id}, &h, &k))) return false;
    const lay::pbr_action::Value v = lay::pbr_action::decode(h.a);
    using K = lay::pbr_action::Kind;
    const char *what = v.kind == K::kDipBasedRouting ? "routed by destination"
                       : v.kind == K::kViaTunnel     ? "into a tunnel"
                       : v.kind == K::kViaNextHop    ? "to a next hop"
                                                     : "terminated locally";
    WALK_STAGE("policy action", kTreePbrAction, Trees::key_text(kTreePbrAction, k), t_.row(kTreePbrAction, k, h), what);
    if (v.kind == K::kDipBasedRouting) return true;
    *decided = true;
    if (v.kind == K::kLocallyTerminating) {
        deliver_locally(vrd_id, v.assoc_mask, v.defrag, false, 0);
        return true;
    }
    if (block_fwd) {
        WALK_DROP(kInvalidSip, "source " + addr_text(p.src) + " may not be forwarded");
        return true;
    }
    if (v.kind == K::kViaTunnel) {
        forward(v.intf_id, p.dst, true);
        return true;
    }
    uint32_t out = 0;
    if (resolve_next_hop(vrd_id, v.next_hop, &out)) forward(out, v.next_hop, false);
    return true;
}

// ---- local delivery ---------------------------------------------------------------

void Walker::deliver_locally(uint32_t vrd_id, uint8_t mask, bool defrag, bool addressed, uint8_t cdip) {
    Packet &p = pkt();
    count(kTerminatedLocally);
    if (p.frag != 0 && defrag) {
        count(kFragsEnqueued);
        return not_modelled("the fragment is reassembled before delivery; reassembly is not modelled");
    }
    // The association: the compressed tree for its one shape, else tree 8
    // keyed by the fields the destination entry's mask selects (ports only
    // for a protocol that carries them).
    Hit h;
    Key k;
    uint32_t tree = kTreeIngressAssocFlow;
    bool hit = false;
    zel_ip_ingress_assoc_params_t shape{};
    shape.mask = mask;
    shape.proto = static_cast<uint8_t>(p.proto);
    shape.dport = static_cast<uint16_t>(p.dport);
    if (addressed && mask == kCompShapeMask && assoc_compressed_shape(shape)) {
        Key ck;
        Hit ch;
        if (failed(t_.lookup(kTreeCompIngressAssocFlow, {p.dport, cdip}, &ch, &ck))) return;
        if (ch.depth != 0 && !ch.function()) {
            tree = kTreeCompIngressAssocFlow;
            h = ch;
            k = ck;
            hit = true;
        }
    }
    if (!hit) {
        uint8_t tm = mask;
        if (!port_protocol(p.proto)) tm &= static_cast<uint8_t>(~(lay::kTmDport | lay::kTmSport));
        const uint32_t vals[lay::kAfCount] = {vrd_id, in_intf_, p.proto, p.dst, p.dport, p.src, p.sport};
        k.add(tm, lay::kAssocMaskBits);
        for (uint32_t i = 0; i < lay::kAfCount; ++i)
            if (tm & lay::kAssocFields[i].mask_bit) k.add(vals[i], lay::kAssocFields[i].field.width);
        if (failed(t_.lookup(kTreeIngressAssocFlow, k, &h))) return;
    }
    std::string key;
    if (!tracing()) {
    } else if (tree == kTreeIngressAssocFlow) {
        key = fmt("MASK 0x%02x", k.v[0]);
        size_t j = 1;
        for (uint32_t i = 0; i < lay::kAfCount; ++i)
            if (k.v[0] & lay::kAssocFields[i].mask_bit) {
                const bool a32 = lay::kAssocFields[i].field.width == 32;
                key += fmt(", %s %s", lay::kAssocFields[i].field.name,
                           a32 ? addr_text(k.v[j]).c_str() : std::to_string(k.v[j]).c_str());
                ++j;
            }
    } else {
        key = Trees::key_text(tree, k);
    }
    if (h.depth == 0 || h.function()) {
        WALK_STAGE("association", static_cast<int>(tree), key, t_.row(tree, k, h), "no association matches");
        return WALK_DROP(kNoIngressAssoc, "no ingress association for the locally terminated packet");
    }
    const lay::assoc::Value a = lay::assoc::decode(h.a);
    count_ns(a.flow_id, 0);  // the flow's received packets
    const char *act = a.action == lay::assoc::Action::kSendToCpu ? "Send-to-CPU"
                      : a.action == lay::assoc::Action::kDiscard ? "Discard"
                                                                 : "Bind";
    WALK_STAGE("association", static_cast<int>(tree), key, t_.row(tree, k, h), fmt("FLOW-ID 0x%06x, %s", a.flow_id, act));

    if (tree == kTreeIngressAssocFlow && a.filtering) {
        hwe_action_t fa{};
        uint32_t rule = 0;
        const uint32_t l2 = p.l2_intf ? p.l2_intf : in_intf_;
        if (failed(t_.classify(kTreeAssocFlowFilter, {a.flow_id, l2, p.proto, p.src, p.dst}, &fa, &rule))) return;
        const bool drops = lay::assoc_filter::drops(fa);
        WALK_STAGE("association flow filter", kTreeAssocFlowFilter,
              fmt("ASSOC-FLOW 0x%06x, L2-INTF 0x%x, PROTO %u, SIP %s, DIP %s", a.flow_id, l2, p.proto,
                  addr_text(p.src).c_str(), addr_text(p.dst).c_str()),
              rule == ZEL_SIM_NO_RULE ? "no rule matches: " + t_.function_name(fa.w1)
                                      : fmt("rule %u: %s", rule, drops ? "drop" : "pass"),
              drops ? "dropped" : "passes");
        if (drops) return WALK_DROP(kFlowFilterDrops, fmt("the flow filter of FLOW-ID 0x%06x drops it", a.flow_id));
    }
    if (a.policing) {
        Hit ph;
        Key pk;
        if (failed(t_.lookup(kTreeFlowPolicing, {a.flow_id}, &ph, &pk))) return;
        WALK_STAGE("association policing", kTreeFlowPolicing, Trees::key_text(kTreeFlowPolicing, pk),
              t_.row(kTreeFlowPolicing, pk, ph), "rates are not modelled: the packet passes");
    }
    switch (a.action) {
        case lay::assoc::Action::kDiscard:
            return WALK_DROP(kAssocDrops, fmt("the association of FLOW-ID 0x%06x discards it", a.flow_id));
        case lay::assoc::Action::kSendToCpu: {
            Hit ch;
            Key ck;
            if (failed(t_.lookup(kTreeFlowCpuPathParam, {a.flow_id}, &ch, &ck))) return;
            const lay::flow_cpu_path::Value cp = lay::flow_cpu_path::decode(ch.a);
            const std::string where = !tracing()   ? std::string()
                                      : ch.depth == 0 ? "no delivery parameters"
                                      : cp.nca      ? fmt("NCA queue %u", cp.nca_q)
                                                    : fmt("PH bind handle 0x%08x, callback %u", cp.ph_handle, cp.cb_fn_id);
            WALK_STAGE("CPU path", kTreeFlowCpuPathParam, Trees::key_text(kTreeFlowCpuPathParam, ck),
                  t_.row(kTreeFlowCpuPathParam, ck, ch), where);
            // The CPU queue entry is keyed by the flow's id in a flow key's place.
            const Key qk = flow_key(a.flow_id);
            if (failed(t_.lookup(kTreeCpuPathParam, qk, &ch))) return;
            const std::string q = !tracing() ? std::string()
                                  : lay::cpu_path_param::uses_dscp_map(ch.a) ? "queue chosen by the CPU DSCP map"
                                  : ch.a.w2 == 1 ? fmt("traffic-manager queue %u", ch.a.w1)
                                                 : "no traffic-manager queue";
            WALK_STAGE("CPU queue", kTreeCpuPathParam, Trees::key_text(kTreeCpuPathParam, qk),
                  t_.row(kTreeCpuPathParam, qk, ch), q);
            return WALK_FINISH(Verdict::kToCpu, fmt("association FLOW-ID 0x%06x: %s, %s", a.flow_id, where.c_str(), q.c_str()),
                          kAssocCpu);
        }
        case lay::assoc::Action::kBind: break;
    }
    // A bound flow: the IMC and flow functions through tree 28.
    if (a.imc_idx == 0 && a.flow_idx == 0)
        return WALK_DROP(kRxFailedBind, fmt("FLOW-ID 0x%06x is not bound to a module", a.flow_id));
    Hit bh;
    Key bk;
    if (failed(t_.lookup(kTreeBindDestFlow, {a.flow_id}, &bh, &bk))) return;
    WALK_STAGE("bound flow", kTreeBindDestFlow, Trees::key_text(kTreeBindDestFlow, bk), t_.row(kTreeBindDestFlow, bk, bh),
          bh.depth ? fmt("destination flow 0x%06x", bh.a.w1) : "no destination flow");
    std::string fns;
    for (uint8_t idx : {a.imc_idx, a.flow_idx}) {
        if (idx == 0) continue;
        Hit fh;
        Key fk;
        if (failed(t_.lookup(kTreeCustomBindImcEntryFn, {idx}, &fh, &fk))) return;
        const std::string fn = lay::custom_bind::has_function(fh.a) ? t_.function_name(fh.a.w1) : "none";
        WALK_STAGE("bind function", kTreeCustomBindImcEntryFn, Trees::key_text(kTreeCustomBindImcEntryFn, fk),
              t_.row(kTreeCustomBindImcEntryFn, fk, fh), fn);
        fns += (fns.empty() ? "" : ", ") + fn;
    }
    WALK_FINISH(Verdict::kToModule, fmt("FLOW-ID 0x%06x through %s", a.flow_id, fns.c_str()), kDeliveredViaAssoc);
}

}  // namespace detail

uint32_t walk_packet(const Context &ctx, const Packet &p, Walk *w) {
    detail::Walker walker(ctx, *w);
    return walker.run(p);
}

std::string render(const Walk &w, bool brief) {
    std::string s;
    if (!brief)
        for (const Stage &st : w.stages) {
            s += "  " + st.name + ": ";
            if (!st.tree.empty()) s += st.tree + " [" + st.key + "] -> " + st.entry + ": ";
            s += st.decision + "\n";
        }
    s += std::string(verdict_name(w.verdict)) + ": " + w.detail;
    if (!w.counter.empty()) s += " (counted in \"" + w.counter + "\")";
    s += "\n";
    return s;
}

}  // namespace zsim::walk
