// Commands about IP tunnel interfaces (create, delete, end addresses,
// NAT-T, MTU) and virtual interfaces (create, delete).
#include "cli.h"

namespace zcli {
namespace {

constexpr uint8_t kDefaultTunnelProto = 47;  // GRE, when `proto` is not given

// An end address, or 0 for "unchanged".
std::optional<uint32_t> end_addr(Args &a, const char *what) {
    if (a.accept("0")) return 0u;
    return a.ipv4(what);
}

// tunnel create <name> id <n> [addr <a/p>] [local <a>] [remote <a>]
//     [vrd <name>] [outer-vrd <name>] [proto N] [mtu N] [pmtu N] [natt]
//     [mask M] [down] [defrag]
Result tunnel_create(Session &s, Args &a) {
    auto name = a.word("name");
    if (!name || !name_free(s, *name)) return Result::kUsage;
    zel_ip_tunnel_params_t p{};
    p.proto = kDefaultTunnelProto;
    bool have_id = false;
    while (!a.empty()) {
        if (a.accept("id")) {
            auto v = a.u32("tunnel id");
            if (!v) return Result::kUsage;
            p.tunnel_id = *v;
            have_id = true;
        } else if (a.accept("addr")) {
            auto pfx = a.prefix("address");
            if (!pfx) return Result::kUsage;
            p.addr = pfx->first;
            p.prefix_len = pfx->second;
        } else if (a.accept("local")) {
            auto v = a.ipv4("local address");
            if (!v) return Result::kUsage;
            p.local_addr = *v;
        } else if (a.accept("remote")) {
            auto v = a.ipv4("remote address");
            if (!v) return Result::kUsage;
            p.remote_addr = *v;
        } else if (a.accept("vrd")) {
            auto v = a.object(ObjType::kVrd, "routing domain", true);
            if (!v) return Result::kUsage;
            p.inner_vrd = static_cast<zel_ip_vrd_handle_t>(*v);
        } else if (a.accept("outer-vrd")) {
            auto v = a.object(ObjType::kVrd, "outer routing domain", true);
            if (!v) return Result::kUsage;
            p.outer_vrd = static_cast<zel_ip_vrd_handle_t>(*v);
        } else if (a.accept("proto")) {
            auto v = a.u32("protocol", 255);
            if (!v) return Result::kUsage;
            p.proto = static_cast<uint8_t>(*v);
        } else if (a.accept("mtu")) {
            auto v = a.u32("MTU");
            if (!v) return Result::kUsage;
            p.mtu = *v;
        } else if (a.accept("pmtu")) {
            auto v = a.u32("path MTU");
            if (!v) return Result::kUsage;
            p.path_mtu = *v;
        } else if (a.accept("natt")) {
            p.natt = 1;
        } else if (a.accept("mask")) {
            auto v = a.u32("association mask", 0xffff);
            if (!v) return Result::kUsage;
            p.assoc_mask = static_cast<uint16_t>(*v);
        } else if (a.accept("down")) {
            p.admin_down = 1;
        } else if (a.accept("defrag")) {
            p.reassemble = 1;
        } else {
            a.done();  // reports the unexpected word
            return Result::kUsage;
        }
    }
    if (!have_id) {
        s.usage_error("missing id <tunnel id>");
        return Result::kUsage;
    }
    zel_ip_tunnel_handle_t h = nullptr;
    Result r = s.check(zel_ip_tunnel_interface_create(s.module(), &p, &h));
    if (r == Result::kOk) s.define(*name, ObjType::kTunnel, h);
    return r;
}

// tunnel delete <name>
Result tunnel_delete(Session &s, Args &a) {
    const std::string name = a.peek();
    auto h = a.object(ObjType::kTunnel, "tunnel");
    if (!h || !a.done()) return Result::kUsage;
    Result r = s.check(zel_ip_tunnel_interface_delete(s.module(), static_cast<zel_ip_tunnel_handle_t>(*h)));
    if (r == Result::kOk) s.forget(name);
    return r;
}

// tunnel ends <name> <local|0> <remote|0>
Result tunnel_ends(Session &s, Args &a) {
    auto h = a.object(ObjType::kTunnel, "tunnel");
    if (!h) return Result::kUsage;
    auto local = end_addr(a, "local address");
    if (!local) return Result::kUsage;
    auto remote = end_addr(a, "remote address");
    if (!remote || !a.done()) return Result::kUsage;
    return s.check(zel_ip_tunnel_interface_lr_addr_set(s.module(), static_cast<zel_ip_tunnel_handle_t>(*h),
                                                       *local, *remote));
}

// tunnel natt <name> on|off
Result tunnel_natt(Session &s, Args &a) {
    auto h = a.object(ObjType::kTunnel, "tunnel");
    if (!h) return Result::kUsage;
    const bool on = a.accept("on");
    if (!on && !a.accept("off")) {
        s.usage_error("'on' or 'off' expected");
        return Result::kUsage;
    }
    if (!a.done()) return Result::kUsage;
    return s.check(zel_ip_tunnel_interface_natt(s.module(), static_cast<zel_ip_tunnel_handle_t>(*h), on ? 1 : 0));
}

// tunnel mtu <name> <mtu> <pmtu>
Result tunnel_mtu(Session &s, Args &a) {
    auto h = a.object(ObjType::kTunnel, "tunnel");
    auto mtu = a.u32("MTU");
    auto pmtu = a.u32("path MTU");
    if (!h || !mtu || !pmtu || !a.done()) return Result::kUsage;
    return s.check(zel_ip_tunnel_interface_mtu_set(s.module(), static_cast<zel_ip_tunnel_handle_t>(*h), *mtu,
                                                   *pmtu));
}

// vif create <name> addr <a> [vrd <name>] [mask M] [defrag]
Result vif_create(Session &s, Args &a) {
    auto name = a.word("name");
    if (!name || !name_free(s, *name)) return Result::kUsage;
    zel_ip_vif_params_t p{};
    bool have_addr = false;
    while (!a.empty()) {
        if (a.accept("addr")) {
            auto v = a.ipv4("address");
            if (!v) return Result::kUsage;
            p.addr = *v;
            have_addr = true;
        } else if (a.accept("vrd")) {
            auto v = a.object(ObjType::kVrd, "routing domain", true);
            if (!v) return Result::kUsage;
            p.vrd = static_cast<zel_ip_vrd_handle_t>(*v);
        } else if (a.accept("mask")) {
            auto v = a.u32("association mask", 0xffff);
            if (!v) return Result::kUsage;
            p.assoc_mask = static_cast<uint16_t>(*v);
        } else if (a.accept("defrag")) {
            p.reassemble = 1;
        } else {
            a.done();  // reports the unexpected word
            return Result::kUsage;
        }
    }
    if (!have_addr) {
        s.usage_error("missing addr <address>");
        return Result::kUsage;
    }
    zel_ip_vif_handle_t h = nullptr;
    Result r = s.check(zel_ip_virtual_interface_create(s.module(), &p, &h));
    if (r == Result::kOk) s.define(*name, ObjType::kVif, h);
    return r;
}

// vif delete <name>
Result vif_delete(Session &s, Args &a) {
    const std::string name = a.peek();
    auto h = a.object(ObjType::kVif, "virtual interface");
    if (!h || !a.done()) return Result::kUsage;
    Result r = s.check(zel_ip_virtual_interface_delete(s.module(), static_cast<zel_ip_vif_handle_t>(*h)));
    if (r == Result::kOk) s.forget(name);
    return r;
}

ZEL_CLI_COMMANDS(
    {"tunnel create",
     "<name> id <n> [addr <a/p>] [local <a>] [remote <a>] [vrd <name>] [outer-vrd <name>] [proto <n>] "
     "[mtu <n>] [pmtu <n>] [natt] [mask <m>] [down] [defrag]",
     "create an IP tunnel interface with tunnel id 0 to 575; proto defaults to 47 (GRE) "
     "(zel_ip_tunnel_interface_create)",
     tunnel_create},
    {"tunnel delete", "<name>", "delete a tunnel interface (zel_ip_tunnel_interface_delete)", tunnel_delete},
    {"tunnel ends", "<name> <local|0> <remote|0>",
     "change the end addresses; 0 keeps that end (zel_ip_tunnel_interface_lr_addr_set)", tunnel_ends},
    {"tunnel natt", "<name> on|off", "switch NAT traversal (zel_ip_tunnel_interface_natt)", tunnel_natt},
    {"tunnel mtu", "<name> <mtu> <pmtu>",
     "set the MTU (64 to 9000) and the path MTU (0 = none) (zel_ip_tunnel_interface_mtu_set)", tunnel_mtu},
    {"vif create", "<name> addr <a> [vrd <name>] [mask <m>] [defrag]",
     "create a virtual interface: an address of the router's own (zel_ip_virtual_interface_create)",
     vif_create},
    {"vif delete", "<name>", "delete a virtual interface (zel_ip_virtual_interface_delete)", vif_delete});

}  // namespace
}  // namespace zcli
