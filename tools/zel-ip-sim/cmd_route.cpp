// Commands about routing domains and routes: vrd create/delete/mode/get,
// route add/delete, invalid-dip add/rem, and lookup (what a destination
// hits in the destination tree, decoded like a row of the table dump).
#include <cstdio>
#include <tuple>

#include "cli.h"
#include "cmd_route_view.h"
#include "cmd_assoc.h"
#include "diag/zel_ip_dump_internal.h"
#include "tree/zel_ip_hw_catalogue.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_route.h"

namespace zcli {
namespace {

namespace lay = zel::ip::layout;

// The domain option every routing command takes.
Option vrd_option() {
    return opt({"vrd", "vrf"}, {object("name", "routing domain", {ObjType::kVrd}, true)},
               "the routing domain (default or left out: the default domain 63)");
}

Result vrd_create(Session &s, const Parsed &p) {
    zel_ip_vrd_handle_t h = nullptr;
    const uint32_t vrd_id = p.u32("id");
    Result r = s.check(zel_ip_vrd_create(s.module(), &vrd_id, &h));
    if (r == Result::kOk) s.define(p.word("name"), ObjType::kVrd, h);
    return r;
}

Result vrd_delete(Session &s, const Parsed &p) {
    Result r = s.check(zel_ip_vrd_delete(s.module(), static_cast<zel_ip_vrd_handle_t>(p.object("domain"))));
    if (r == Result::kOk) s.forget(p.word("domain"));
    return r;
}

Result vrd_mode(Session &s, const Parsed &p) {
    const uint32_t mode = p.word("mode") == "host" ? ZEL_IP_VRD_MODE_HOST : ZEL_IP_VRD_MODE_ROUTER;
    return s.check(zel_ip_vrd_mode(s.module(), static_cast<zel_ip_vrd_handle_t>(p.object("domain")), mode));
}

// vrd get <name> <id>: names the domain of an id (63: the default domain).
Result vrd_get(Session &s, const Parsed &p) {
    zel_ip_vrd_handle_t h = nullptr;
    Result r = s.check(zel_ip_vrd_handle_get(s.module(), p.u32("id"), &h));
    if (r == Result::kOk) s.define(p.word("name"), ObjType::kVrd, h);
    return r;
}

// How a null route is written, for the refusals that point there.
constexpr const char *kNullRouteHint = "a null route is written 'route add <prefix> blackhole'";

Result route_add(Session &s, const Parsed &p) {
    zel_ip_route_params_t r{};
    std::tie(r.dest, r.prefix_len) = p.prefix("prefix");
    r.vrd = static_cast<zel_ip_vrd_handle_t>(p.object("vrd"));
    // A route says where its packets go; nothing at all is not a null route.
    if (!p.has("via") && !p.has("dev") && !p.has("local") && !p.has("blackhole")) {
        s.usage_error("missing via <next hop>, dev <interface>, local or blackhole (" + std::string(kNullRouteHint) + ")");
        return Result::kUsage;
    }
    if (p.has("via") && p.u32("via") == 0) {
        s.usage_error("next hop 0.0.0.0 is not an address (" + std::string(kNullRouteHint) + ")");
        return Result::kUsage;
    }
    for (const char *other : {"via", "dev", "local"}) {
        if (p.has("blackhole") && p.has(other)) {
            s.usage_error(std::string("'blackhole' and '") + other + "' exclude each other");
            return Result::kUsage;
        }
    }
    r.next_hop = p.u32_or("via", 0);
    r.egress_intf = p.object("dev");
    r.local_termination = p.has("local") ? 1 : 0;
    r.ingress_assoc_mask = static_cast<uint16_t>(p.u32_or("mask", 0));
    r.reassembly = p.has("defrag") ? 1 : 0;
    return s.check(zel_ip_route_add(s.module(), &r));
}

Result route_delete(Session &s, const Parsed &p) {
    zel_ip_route_params_t r{};
    std::tie(r.dest, r.prefix_len) = p.prefix("prefix");
    r.vrd = static_cast<zel_ip_vrd_handle_t>(p.object("vrd"));
    return s.check(zel_ip_route_delete(s.module(), &r));
}

Result invalid_dip_op(Session &s, const Parsed &p, bool add) {
    const auto [dest, len] = p.prefix("prefix");
    const zel_ip_invalid_dip_params_t ip{dest, len};
    auto h = static_cast<zel_ip_vrd_handle_t>(p.object("vrd"));
    return s.check(add ? zel_ip_invalid_dip_add(s.module(), h, &ip) : zel_ip_invalid_dip_rem(s.module(), h, &ip));
}

// lookup <addr> [vrd <name>] [proto <n>] [dport <n>] [sip <a>] [sport <n>]
//     [intf <name>]: the destination tree entry a packet to <addr> in the
// domain hits, printed as
//     <addr> (VRD-ID <id>) -> <the entry's row as the table dump prints it>
// with " (host mode: not routed)" after it in a domain in host mode.
// The engine gives the hit's action and the length of the pattern that
// wrote it; the row's key columns show that pattern (the catch-all: its
// wildcards). Given more of the packet than its destination, and when the
// entry terminates the packet locally, a second line says which ingress
// association the packet (its protocol, ports, source and ingress
// interface as given, 0 otherwise) hits with the entry's mask.
Result lookup(Session &s, const Parsed &p) {
    const uint32_t dest = p.u32("addr");
    void *vrd = p.object("vrd");
    AssocPacket k{0, 0, p.u32_or("proto", 0), dest, p.u32_or("dport", 0), p.u32_or("sip", 0), p.u32_or("sport", 0)};
    if (p.has("intf")) k.intf_id = static_cast<const zel_obj_header_t *>(p.object("intf"))->intf_id;
    const bool packet = p.has("proto") || p.has("dport") || p.has("sip") || p.has("sport") || p.has("intf");
    uint32_t vrd_id = 0;
    if (!zel_ipv4_vrd_valid_handle(vrd, &vrd_id)) {
        s.usage_error("routing domain: the domain was deleted");
        return Result::kUsage;
    }

    // 1. What the full key {VRD-ID, address} hits.
    hwe_engine_t *eng = zel_sim_engine(s.sim());
    const uint32_t tree = zel::ip::kTreeDestAddr;
    const lay::KeyLayout &kl = lay::key_layout(tree);
    uint32_t tree_id = 0;
    if (zel_sim_engine_symbol_id(eng, zel::ip::kTreeCatalogue[tree].name, &tree_id) != 0) {
        s.usage_error("the engine has no destination tree");
        return Result::kUsage;
    }
    const uint32_t values[] = {vrd_id, dest};
    const uint32_t widths[] = {kl.fields[0].width, kl.fields[1].width};
    hwe_action_t hit{};
    uint32_t depth = 0;
    if (uint32_t st = zel_sim_engine_lookup_fields(eng, tree_id, 2, values, widths, &hit, &depth))
        return s.check(st);

    // 2. The pattern that wrote it: its leading `depth` bits.
    zel_ptn_t key{};
    if (uint32_t st = zel_ptn_new(kl.width, &key)) return s.check(st);
    uint32_t st = zel_ptn_clear(&key);
    if (depth >= kl.fields[0].width) {
        const lay::KeySpec spec = lay::vrd_prefix_key(vrd_id, dest, depth - kl.fields[0].width);
        for (uint32_t i = 0; i < spec.n && st == 0; ++i) st = zel_ptn_extend(&key, spec.f[i].value, spec.f[i].bits);
    } else if (depth != 0 && st == 0) {
        st = zel_ptn_extend(&key, vrd_id >> (kl.fields[0].width - depth), depth);
    }

    // 3. Decoded as a row.
    char row[zel::ip::diag::kLineBytes] = "";
    if (st == 0) zel_ipv4_table_entry_dump(tree, &key, &hit, row, sizeof row);
    const uint32_t freed = s.free_pattern(key);
    if (st != 0) return s.check(st);
    if (freed != 0) return s.check(freed);
    // 4. A domain in host mode routes nothing, whatever the entry says.
    bool routing = true;
    routes_in_domain(s, vrd_id, routing);
    std::printf("%s (VRD-ID %u) -> %s%s\n", ipv4_text(dest).c_str(), vrd_id, row,
                routing ? "" : " (host mode: not routed)");
    // 4. A locally terminated packet: the association it hits.
    if (packet && hit.kind != HWE_ACTION_FUNC) {
        const lay::dest::Value d = lay::dest::decode(hit);
        if (d.type == lay::dest::RouteType::kLocallyAddressed ||
            d.type == lay::dest::RouteType::kLocallyTerminating) {
            k.vrd_id = vrd_id;
            std::string line;
            if (!assoc_packet_hit(s, d.assoc_mask, k, &line)) {
                s.usage_error("the engine has no association tree");
                return Result::kUsage;
            }
            std::printf("  association lookup: %s\n", line.c_str());
        }
    }
    return Result::kOk;
}

const Spec kPrefixInVrd{{prefix("prefix", "destination")}, {vrd_option()}};

ZEL_CLI_COMMANDS(
    {"vrd create", {{new_name("name"), number("id", "VRD ID", 0, 62)}, {}},
     "create routing domain <id> (zel_ip_vrd_create)", vrd_create},
    {"vrd delete", {{object("domain", "routing domain", {ObjType::kVrd}, true)}, {}},
     "delete a routing domain (zel_ip_vrd_delete)", vrd_delete},
    {"vrd mode", {{object("domain", "routing domain", {ObjType::kVrd}, true), keyword("mode", {"host", "router"})}, {}},
     "switch routing off (host) or on (router) in a domain (zel_ip_vrd_mode)", vrd_mode},
    {"vrd get", {{new_name("name"), number("id", "VRD ID", 0, 63)}, {}},
     "name the domain of an id; 63 is the default domain (zel_ip_vrd_handle_get)", vrd_get},
    {"route add",
     {{prefix("prefix", "destination")},
      {opt({"via"}, {addr("nh", "next hop")}, "forward to this next hop"),
       opt({"dev"}, {object("intf", "egress interface", {ObjType::kInterface, ObjType::kTunnel})},
           "the egress interface; a tunnel without via: forward into the tunnel"),
       flag({"blackhole", "drop"}, "a null route: packets are dropped"),
       flag({"local"}, "terminate locally, classified by the ingress associations"),
       opt({"mask"}, {number("m", "association mask", 0, 0xffff)}, "local: the ingress association mask"),
       flag({"defrag"}, "local: reassemble fragments first"), vrd_option()}},
     "add or replace a route: via a next hop, into a tunnel (dev), local termination or a null route "
     "(zel_ip_route_add)",
     route_add},
    {"route delete", kPrefixInVrd, "remove the entry of a prefix (zel_ip_route_delete)", route_delete},
    {"invalid-dip add", kPrefixInVrd, "mark a destination prefix invalid (zel_ip_invalid_dip_add)",
     [](Session &s, const Parsed &p) { return invalid_dip_op(s, p, true); }},
    {"invalid-dip delete", kPrefixInVrd, "remove the entry of a prefix (zel_ip_invalid_dip_rem)",
     [](Session &s, const Parsed &p) { return invalid_dip_op(s, p, false); }},
    {"lookup",
     {{addr("addr", "destination")},
      {vrd_option(), opt({"proto"}, {number("n", "protocol", 0, 255)}, "the packet's IP protocol"),
       opt({"dport"}, {number("n", "destination port", 0, 65535)}, "its destination port"),
       opt({"sip"}, {addr("a", "source")}, "its source address"),
       opt({"sport"}, {number("n", "source port", 0, 65535)}, "its source port"),
       opt({"intf"}, {object("intf", "interface", {ObjType::kInterface, ObjType::kTunnel})},
           "the interface it arrives on")}},
     "show the destination tree entry a packet to <addr> hits, decoded like a table dump row; given more of the "
     "packet, the ingress association a locally terminated packet hits",
     lookup});

}  // namespace
}  // namespace zcli
