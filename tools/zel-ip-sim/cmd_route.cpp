// Commands about routing domains and routes: vrd create/delete/mode/get,
// route add/delete, invalid-dip add/rem, and lookup (what a destination
// hits in the destination tree, decoded like a row of the table dump).
#include <cstdio>

#include "cli.h"
#include "cmd_assoc.h"
#include "diag/zel_ip_dump_internal.h"
#include "tree/zel_ip_hw_catalogue.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_route.h"

namespace zcli {
namespace {

namespace lay = zel::ip::layout;

// vrd create <name> <id>
Result vrd_create(Session &s, Args &a) {
    auto name = a.word("name");
    auto id = a.u32("VRD ID");
    if (!name || !id || !a.done() || !name_free(s, *name)) return Result::kUsage;
    zel_ip_vrd_handle_t h = nullptr;
    const uint32_t vrd_id = *id;
    Result r = s.check(zel_ip_vrd_create(s.module(), &vrd_id, &h));
    if (r == Result::kOk) s.define(*name, ObjType::kVrd, h);
    return r;
}

// vrd delete <name>
Result vrd_delete(Session &s, Args &a) {
    auto name = a.peek();
    auto h = a.object(ObjType::kVrd, "routing domain", true);
    if (!h || !a.done()) return Result::kUsage;
    Result r = s.check(zel_ip_vrd_delete(s.module(), static_cast<zel_ip_vrd_handle_t>(*h)));
    if (r == Result::kOk) s.forget(name);
    return r;
}

// vrd mode <name|default> host|router
Result vrd_mode(Session &s, Args &a) {
    auto h = a.object(ObjType::kVrd, "routing domain", true);
    if (!h) return Result::kUsage;
    uint32_t mode;
    if (a.accept("host")) {
        mode = ZEL_IP_VRD_MODE_HOST;
    } else if (a.accept("router")) {
        mode = ZEL_IP_VRD_MODE_ROUTER;
    } else {
        s.usage_error("'host' or 'router' expected");
        return Result::kUsage;
    }
    if (!a.done()) return Result::kUsage;
    return s.check(zel_ip_vrd_mode(s.module(), static_cast<zel_ip_vrd_handle_t>(*h), mode));
}

// vrd get <name> <id>: names the domain of an id (63: the default domain).
Result vrd_get(Session &s, Args &a) {
    auto name = a.word("name");
    auto id = a.u32("VRD ID");
    if (!name || !id || !a.done() || !name_free(s, *name)) return Result::kUsage;
    zel_ip_vrd_handle_t h = nullptr;
    Result r = s.check(zel_ip_vrd_handle_get(s.module(), *id, &h));
    if (r == Result::kOk) s.define(*name, ObjType::kVrd, h);
    return r;
}

// route add|delete <a/p> [via <nh>] [dev <intf>] [vrd <name>] [local [mask <m>] [defrag]]
Result route_op(Session &s, Args &a, bool add) {
    auto pfx = a.prefix("destination");
    if (!pfx) return Result::kUsage;
    zel_ip_route_params_t p{};
    p.dest = pfx->first;
    p.prefix_len = pfx->second;
    while (!a.empty()) {
        if (a.accept("vrd")) {
            auto v = a.object(ObjType::kVrd, "routing domain", true);
            if (!v) return Result::kUsage;
            p.vrd = static_cast<zel_ip_vrd_handle_t>(*v);
        } else if (add && a.accept("via")) {
            auto nh = a.ipv4("next hop");
            if (!nh) return Result::kUsage;
            p.next_hop = *nh;
        } else if (add && a.accept("dev")) {
            auto o = a.any_object({ObjType::kInterface, ObjType::kTunnel}, "egress interface");
            if (!o) return Result::kUsage;
            p.egress_intf = o->handle;
        } else if (add && a.accept("local")) {
            p.local_termination = 1;
        } else if (add && a.accept("mask")) {
            auto m = a.u32("association mask", 0xffff);
            if (!m) return Result::kUsage;
            p.ingress_assoc_mask = static_cast<uint16_t>(*m);
        } else if (add && a.accept("defrag")) {
            p.reassembly = 1;
        } else {
            a.done();  // reports the unexpected word
            return Result::kUsage;
        }
    }
    return s.check(add ? zel_ip_route_add(s.module(), &p) : zel_ip_route_delete(s.module(), &p));
}

// invalid-dip add|rem <a/p> [vrd <name>]
Result invalid_dip_op(Session &s, Args &a, bool add) {
    auto pfx = a.prefix("destination");
    if (!pfx) return Result::kUsage;
    void *vrd = nullptr;
    if (a.accept("vrd")) {
        auto v = a.object(ObjType::kVrd, "routing domain", true);
        if (!v) return Result::kUsage;
        vrd = *v;
    }
    if (!a.done()) return Result::kUsage;
    const zel_ip_invalid_dip_params_t p{pfx->first, pfx->second};
    auto h = static_cast<zel_ip_vrd_handle_t>(vrd);
    return s.check(add ? zel_ip_invalid_dip_add(s.module(), h, &p) : zel_ip_invalid_dip_rem(s.module(), h, &p));
}

// lookup <addr> [vrd <name>] [proto <n>] [dport <n>] [sip <a>] [sport <n>]
//     [intf <name>]: the destination tree entry a packet to <addr> in the
// domain hits, printed as
//     <addr> (VRD-ID <id>) -> <the entry's row as the table dump prints it>
// The engine gives the hit's action and the length of the pattern that
// wrote it; the row's key columns show that pattern (the catch-all: its
// wildcards). Given more of the packet than its destination, and when the
// entry terminates the packet locally, a second line says which ingress
// association the packet (its protocol, ports, source and ingress
// interface as given, 0 otherwise) hits with the entry's mask.
Result lookup(Session &s, Args &a) {
    auto dest = a.ipv4("destination");
    if (!dest) return Result::kUsage;
    void *vrd = nullptr;
    AssocPacket k{0, 0, 0, *dest, 0, 0, 0};
    bool packet = false;  // a 5-tuple was given
    while (!a.empty()) {
        packet = packet || a.peek() != "vrd";
        std::optional<uint32_t> v;
        if (a.accept("vrd")) {
            auto o = a.object(ObjType::kVrd, "routing domain", true);
            if (!o) return Result::kUsage;
            vrd = *o;
            continue;
        } else if (a.accept("intf")) {
            auto o = a.any_object({ObjType::kInterface, ObjType::kTunnel}, "interface");
            if (!o) return Result::kUsage;
            k.intf_id = static_cast<const zel_obj_header_t *>(o->handle)->intf_id;
            continue;
        } else if (a.accept("proto")) {
            if (!(v = a.u32("protocol", 255))) return Result::kUsage;
            k.proto = *v;
        } else if (a.accept("dport")) {
            if (!(v = a.u32("destination port", 65535))) return Result::kUsage;
            k.dport = *v;
        } else if (a.accept("sport")) {
            if (!(v = a.u32("source port", 65535))) return Result::kUsage;
            k.sport = *v;
        } else if (a.accept("sip")) {
            if (!(v = a.ipv4("source"))) return Result::kUsage;
            k.sip = *v;
        } else {
            a.done();  // reports the unexpected word
            return Result::kUsage;
        }
    }
    uint32_t vrd_id = 0;
    if (!zel_ipv4_vrd_valid_handle(vrd, &vrd_id)) {
        s.usage_error("routing domain: the domain was deleted");
        return Result::kUsage;
    }
    k.vrd_id = vrd_id;

    // 1. What the full key {VRD-ID, address} hits.
    hwe_engine_t *eng = zel_sim_engine(s.sim());
    const uint32_t tree = zel::ip::kTreeDestAddr;
    const lay::KeyLayout &kl = lay::key_layout(tree);
    uint32_t tree_id = 0;
    if (zel_sim_engine_symbol_id(eng, zel::ip::kTreeCatalogue[tree].name, &tree_id) != 0) {
        s.usage_error("the engine has no destination tree");
        return Result::kUsage;
    }
    const uint32_t values[] = {vrd_id, *dest};
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
        const lay::KeySpec spec = lay::vrd_prefix_key(vrd_id, *dest, depth - kl.fields[0].width);
        for (uint32_t i = 0; i < spec.n; ++i) st += zel_ptn_extend(&key, spec.f[i].value, spec.f[i].bits);
    } else if (depth != 0) {
        st += zel_ptn_extend(&key, vrd_id >> (kl.fields[0].width - depth), depth);
    }

    // 3. Decoded as a row.
    char row[zel::ip::diag::kLineBytes] = "";
    if (st == 0) zel_ipv4_table_entry_dump(tree, &key, &hit, row, sizeof row);
    zel_ptn_free(&key);
    if (st != 0) return s.check(st);
    std::printf("%s (VRD-ID %u) -> %s\n", ipv4_text(*dest).c_str(), vrd_id, row);

    // 4. A locally terminated packet: the association it hits.
    if (packet && hit.kind != HWE_ACTION_FUNC) {
        const lay::dest::Value d = lay::dest::decode(hit);
        if (d.type == lay::dest::RouteType::kLocallyAddressed ||
            d.type == lay::dest::RouteType::kLocallyTerminating) {
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

ZEL_CLI_COMMANDS(
    {"vrd create", "<name> <id>", "create routing domain <id> (0 to 62) (zel_ip_vrd_create)", vrd_create},
    {"vrd delete", "<name>", "delete a routing domain (zel_ip_vrd_delete)", vrd_delete},
    {"vrd mode", "<name|default> host|router",
     "switch routing off (host) or on (router) in a domain (zel_ip_vrd_mode)", vrd_mode},
    {"vrd get", "<name> <id>", "name the domain of an id; 63 is the default domain (zel_ip_vrd_handle_get)",
     vrd_get},
    {"route add", "<a/p> [via <nh>] [dev <intf>] [vrd <name>] [local [mask <m>] [defrag]]",
     "add or replace a route: via a next hop, into a tunnel (dev), a null route (neither), or local "
     "termination (zel_ip_route_add)",
     [](Session &s, Args &a) { return route_op(s, a, true); }},
    {"route delete", "<a/p> [vrd <name>]", "remove the entry of a prefix (zel_ip_route_delete)",
     [](Session &s, Args &a) { return route_op(s, a, false); }},
    {"invalid-dip add", "<a/p> [vrd <name>]", "mark a destination prefix invalid (zel_ip_invalid_dip_add)",
     [](Session &s, Args &a) { return invalid_dip_op(s, a, true); }},
    {"invalid-dip rem", "<a/p> [vrd <name>]", "remove the entry of a prefix (zel_ip_invalid_dip_rem)",
     [](Session &s, Args &a) { return invalid_dip_op(s, a, false); }},
    {"lookup", "<addr> [vrd <name>] [proto <n>] [dport <n>] [sip <a>] [sport <n>] [intf <name>]",
     "show the destination tree entry a packet to <addr> hits, decoded like a table dump row, and for a "
     "locally terminated packet the ingress association it hits",
     lookup});

}  // namespace
}  // namespace zcli
