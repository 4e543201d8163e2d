// show route: the routes of one domain as a network engineer reads them,
// read back from the destination tree of the engine (what the module
// programmed, not what the script asked for).
#include <cstdio>
#include <vector>

#include "cli.h"
#include "cmd_route_view.h"
#include "tree/zel_ip_hw_catalogue.h"
#include "tree/zel_ip_layout_route.h"

namespace zcli {

namespace lay = zel::ip::layout;

std::string domain_name(const Session &s, uint32_t vrd_id) {
    for (const auto &[name, o] : s.objects()) {
        uint32_t id = 0;
        if (o.type == ObjType::kVrd && zel_ipv4_vrd_valid_handle(o.handle, &id) && id == vrd_id) return name;
    }
    return vrd_id == kDefaultVrdId ? "default" : "";
}

std::string intf_name(const Session &s, uint32_t intf_id) {
    for (const auto &[name, o] : s.objects()) {
        const bool has_header = o.type == ObjType::kInterface || o.type == ObjType::kTunnel || o.type == ObjType::kVif;
        if (has_header && static_cast<const zel_obj_header_t *>(o.handle)->intf_id == intf_id) return name;
    }
    return "";
}

bool routes_in_domain(Session &s, uint32_t vrd_id, bool &routing) {
    hwe_engine_t *eng = zel_sim_engine(s.sim());
    uint32_t tree_id = 0;
    routing = true;
    if (zel_sim_engine_symbol_id(eng, zel::ip::kTreeCatalogue[zel::ip::kTreeHostRouterMode].name, &tree_id) != 0)
        return false;
    const uint32_t values[] = {vrd_id};
    const uint32_t widths[] = {lay::kVrdIdBits};
    hwe_action_t hit{};
    uint32_t depth = 0;
    if (zel_sim_engine_lookup_fields(eng, tree_id, 1, values, widths, &hit, &depth) != 0) return false;
    routing = lay::host_mode::routing_enabled(hit);
    return true;
}

std::string assoc_words(uint8_t mask) {
    static const struct {
        uint8_t bit;
        const char *name;
    } kNames[] = {{lay::kTmVrd, "vrd"},     {lay::kTmIntf, "intf"},   {lay::kTmDip, "dip"}, {lay::kTmSip, "sip"},
                  {lay::kTmProto, "proto"}, {lay::kTmDport, "dport"}, {lay::kTmSport, "sport"}};
    std::string out;
    for (const auto &n : kNames)
        if (mask & n.bit) out += (out.empty() ? "" : ",") + std::string(n.name);
    return out;
}

namespace {

struct Row {
    uint32_t addr, len;
    hwe_action_t action;
};
struct Collect {
    uint32_t vrd_id;
    std::vector<Row> rows;
    uint32_t unreadable = 0;
};

uint32_t collect(void *ctx, const zel_ptn_t *key, const hwe_action_t *value) {
    auto *c = static_cast<Collect *>(ctx);
    if (key->len == 0) return 0;  // the catch-all: no route
    const lay::DecodedKey k = lay::key_decode(zel::ip::kTreeDestAddr, key);
    if (k.status != lay::KeyStatus::kOk || k.nfields < 2) {
        ++c->unreadable;
        return 0;
    }
    if (k.f[0].value == c->vrd_id) c->rows.push_back({k.f[1].value, k.f[1].bits, *value});
    return 0;
}

Result show_route(Session &s, const Parsed &p) {
    uint32_t vrd_id = 0;
    if (!zel_ipv4_vrd_valid_handle(p.object("vrd"), &vrd_id)) {
        s.usage_error("routing domain: the domain was deleted");
        return Result::kUsage;
    }
    hwe_engine_t *eng = zel_sim_engine(s.sim());
    uint32_t tree_id = 0;
    if (zel_sim_engine_symbol_id(eng, zel::ip::kTreeCatalogue[zel::ip::kTreeDestAddr].name, &tree_id) != 0) {
        s.usage_error("the engine has no destination tree");
        return Result::kUsage;
    }
    Collect c{vrd_id, {}, 0};
    if (uint32_t st = zel_sim_engine_list_entries(eng, tree_id, collect, &c)) return s.check(st);

    bool routing = true;
    routes_in_domain(s, vrd_id, routing);
    const std::string name = domain_name(s, vrd_id);
    std::printf("routing domain %s%sVRD-ID %u%s\n", name.c_str(), name.empty() ? "" : " (", vrd_id,
                name.empty() ? "" : ")");
    if (!routing) std::printf("  host mode: the domain routes nothing, whatever its entries say\n");
    for (const Row &r : c.rows) {
        const lay::dest::Value v = lay::dest::decode(r.action);
        auto dev = [&](uint32_t intf_id) {
            const std::string n = intf_name(s, intf_id);
            return n.empty() ? " intf-id " + std::to_string(intf_id) : " dev " + n;
        };
        std::string what;
        switch (v.type) {
            case lay::dest::RouteType::kViaNextHop:
                what = "via " + ipv4_text(v.next_hop);
                // Inside its domain a tunnel stands for 127.x.y.z, x.y.z its INTF-ID.
                if (v.next_hop >> 24 == 127 && !intf_name(s, v.next_hop & 0xffffff).empty())
                    what += dev(v.next_hop & 0xffffff);
                break;
            case lay::dest::RouteType::kViaTunnel: what = dev(v.intf_id).substr(1); break;
            case lay::dest::RouteType::kNullRoute: what = "blackhole"; break;
            case lay::dest::RouteType::kInvalidRoute: what = "invalid"; break;
            case lay::dest::RouteType::kSubnetBroadcast: what = "broadcast"; break;
            case lay::dest::RouteType::kAttachedSubnet: what = "connected" + dev(v.intf_id); break;
            case lay::dest::RouteType::kLocallyAddressed: what = "local" + dev(v.intf_id); break;
            case lay::dest::RouteType::kLocallyTerminating:
                what = "local";
                if (v.assoc_mask) what += " classify " + assoc_words(v.assoc_mask);
                break;
            case lay::dest::RouteType::kNoRoute: what = "unreachable"; break;
        }
        if (v.defrag && (v.type == lay::dest::RouteType::kLocallyAddressed ||
                         v.type == lay::dest::RouteType::kLocallyTerminating))
            what += " defrag";
        const std::string pfx = ipv4_text(r.addr) + "/" + std::to_string(r.len);
        std::printf("  %-18s %s\n", pfx.c_str(), what.c_str());
    }
    if (c.rows.empty()) std::printf("  no routes\n");
    if (c.unreadable) std::printf("  (%u entries of the tree could not be read)\n", c.unreadable);
    return Result::kOk;
}

}  // namespace

ZEL_CLI_COMMANDS({"show route",
                  {{},
                   {opt({"vrd", "vrf"}, {object("name", "routing domain", {ObjType::kVrd}, true)},
                        "the routing domain (default or left out: the default domain 63)")}},
                  "list the routes of a domain: prefix and what it does (via, dev, blackhole, local, connected, "
                  "broadcast, invalid), with the script's names",
                  show_route});

}  // namespace zcli
