// Commands about IP tunnel interfaces (create, delete, end addresses,
// NAT-T, MTU) and virtual interfaces (create, delete).
#include <tuple>

#include "cli.h"
#include "core/zel_ip_limits.h"

namespace zcli {
namespace {

constexpr uint8_t kDefaultTunnelProto = 47;  // GRE, when `proto` is not given

Result tunnel_create(Session &s, const Parsed &p) {
    zel_ip_tunnel_params_t t{};
    t.tunnel_id = p.u32("id");
    if (p.has("addr")) std::tie(t.addr, t.prefix_len) = p.prefix("addr");
    t.local_addr = p.u32_or("local", 0);
    t.remote_addr = p.u32_or("remote", 0);
    t.inner_vrd = static_cast<zel_ip_vrd_handle_t>(p.object("vrd"));
    t.outer_vrd = static_cast<zel_ip_vrd_handle_t>(p.object("outer-vrd"));
    t.proto = static_cast<uint8_t>(p.u32_or("proto", kDefaultTunnelProto));
    t.mtu = p.u32_or("mtu", 0);
    t.path_mtu = p.u32_or("pmtu", 0);
    t.natt = p.has("natt") ? 1 : 0;
    t.assoc_mask = static_cast<uint16_t>(p.u32_or("mask", 0));
    t.admin_down = p.has("down") ? 1 : 0;
    t.reassemble = p.has("defrag") ? 1 : 0;
    zel_ip_tunnel_handle_t h = nullptr;
    Result r = s.check(zel_ip_tunnel_interface_create(s.module(), &t, &h));
    if (r == Result::kOk) s.define(p.word("name"), ObjType::kTunnel, h);
    return r;
}

zel_ip_tunnel_handle_t tunnel_of(const Parsed &p) { return static_cast<zel_ip_tunnel_handle_t>(p.object("tunnel")); }

Result tunnel_delete(Session &s, const Parsed &p) {
    Result r = s.check(zel_ip_tunnel_interface_delete(s.module(), tunnel_of(p)));
    if (r == Result::kOk) s.forget(p.word("tunnel"));
    return r;
}

// tunnel ends <name> <local|0> <remote|0>
Result tunnel_ends(Session &s, const Parsed &p) {
    return s.check(zel_ip_tunnel_interface_lr_addr_set(s.module(), tunnel_of(p), p.u32("local"), p.u32("remote")));
}

Result tunnel_natt(Session &s, const Parsed &p) {
    return s.check(zel_ip_tunnel_interface_natt(s.module(), tunnel_of(p), p.word("state") == "on" ? 1 : 0));
}

Result tunnel_mtu(Session &s, const Parsed &p) {
    return s.check(zel_ip_tunnel_interface_mtu_set(s.module(), tunnel_of(p), p.u32("mtu"), p.u32("pmtu")));
}

Result vif_create(Session &s, const Parsed &p) {
    zel_ip_vif_params_t v{};
    v.addr = p.u32("addr");
    v.vrd = static_cast<zel_ip_vrd_handle_t>(p.object("vrd"));
    v.assoc_mask = static_cast<uint16_t>(p.u32_or("mask", 0));
    v.reassemble = p.has("defrag") ? 1 : 0;
    zel_ip_vif_handle_t h = nullptr;
    Result r = s.check(zel_ip_virtual_interface_create(s.module(), &v, &h));
    if (r == Result::kOk) s.define(p.word("name"), ObjType::kVif, h);
    return r;
}

Result vif_delete(Session &s, const Parsed &p) {
    Result r = s.check(zel_ip_virtual_interface_delete(s.module(), static_cast<zel_ip_vif_handle_t>(p.object("vif"))));
    if (r == Result::kOk) s.forget(p.word("vif"));
    return r;
}

Value tunnel_value() { return object("tunnel", "tunnel", {ObjType::kTunnel}); }
Option mask_option() {
    return opt({"mask"}, {number("m", "association mask", 0, 0xffff)},
               "ingress association mask of traffic to its address (0: protocol only)");
}
Option vrd_option(const char *key, const char *label, const char *help) {
    std::vector<std::string> keys{key};
    if (std::string(key) == "vrd") keys.push_back("vrf");
    return opt(keys, {object("name", label, {ObjType::kVrd}, true)}, help);
}

ZEL_CLI_COMMANDS(
    {"tunnel create",
     {{new_name("name")},
      {opt({"id"}, {number("n", "tunnel id", 0, zel::ip::kMaxTunnels - 1)}, "the tunnel id, one tunnel each").required(),
       opt({"addr"}, {if_addr("a/p", "address")}, "its own address in the inner domain (left out: unnumbered)"),
       opt({"local"}, {addr("a", "local address")}, "the outer local end"),
       opt({"remote"}, {addr("a", "remote address")}, "the outer remote end"),
       vrd_option("vrd", "routing domain", "the inner routing domain (default or left out: 63)"),
       vrd_option("outer-vrd", "outer routing domain", "the domain of the outer header"),
       opt({"proto"}, {number("n", "protocol", 0, 255)}, "the outer IP protocol (left out: 47, GRE)"),
       opt({"mtu"}, {number("n", "MTU", 64, 9000).zero()}, "0 or left out: 1500"),
       opt({"pmtu"}, {number("n", "path MTU", 64, 9000).zero()}, "the outer path MTU; 0 or left out: none"),
       flag({"natt"}, "also match UDP-encapsulated packets of the same ends"), mask_option(),
       flag({"down"}, "start administratively disabled"),
       flag({"defrag"}, "reassemble packets to its address first")}},
     "create an IP tunnel interface (zel_ip_tunnel_interface_create)", tunnel_create},
    {"tunnel delete", {{tunnel_value()}, {}}, "delete a tunnel interface (zel_ip_tunnel_interface_delete)",
     tunnel_delete},
    {"tunnel ends", {{tunnel_value(), addr("local", "local address").zero(), addr("remote", "remote address").zero()}, {}},
     "change the end addresses; 0 keeps that end (zel_ip_tunnel_interface_lr_addr_set)", tunnel_ends},
    {"tunnel natt", {{tunnel_value(), keyword("state", {"on", "off"})}, {}},
     "switch NAT traversal (zel_ip_tunnel_interface_natt)", tunnel_natt},
    {"tunnel mtu",
     {{tunnel_value(), number("mtu", "MTU", 64, 9000), number("pmtu", "path MTU", 64, 9000).zero()}, {}},
     "set the MTU and the path MTU (0 = none) (zel_ip_tunnel_interface_mtu_set)", tunnel_mtu},
    {"vif create",
     {{new_name("name")},
      {opt({"addr"}, {addr("a", "address")}, "the address").required(),
       vrd_option("vrd", "routing domain", "the routing domain (default or left out: 63)"), mask_option(),
       flag({"defrag"}, "reassemble packets to the address first")}},
     "create a virtual interface: an address of the router's own (zel_ip_virtual_interface_create)", vif_create},
    {"vif delete", {{object("vif", "virtual interface", {ObjType::kVif})}, {}},
     "delete a virtual interface (zel_ip_virtual_interface_delete)", vif_delete});

}  // namespace
}  // namespace zcli
