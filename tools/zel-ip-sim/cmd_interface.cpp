// Commands about Layer-2 interfaces of the platform and IPoE interfaces:
// create, delete, addresses, subnet status and address associations.
#include <cstdio>

#include "cli.h"

namespace zcli {
namespace {

// l2 create <name> <intf-id>
Result l2_create(Session &s, Args &a) {
    auto name = a.word("name");
    auto id = a.u32("interface id", 0xffff);
    if (!name || !id || !a.done()) return Result::kUsage;
    zel_obj_header_t *l2 = zel_sim_l2_interface_new(s.sim(), *id);
    if (!l2 || !s.define(*name, ObjType::kL2, l2)) {
        s.usage_error("'" + *name + "' is already defined");
        return Result::kUsage;
    }
    return Result::kOk;
}

// interface create <name> l2 <l2> addr <a/p> [vrd <name>] [mtu N] [mask M]
//     [down] [defrag] [nat inside|outside] [filter none|basic|extended]
//     [qos-l3] [pbr]
Result intf_create(Session &s, Args &a) {
    auto name = a.word("name");
    if (!name) return Result::kUsage;
    if (s.find(*name)) {
        s.usage_error("'" + *name + "' is already defined");
        return Result::kUsage;
    }
    zel_ip_intf_params_t p{};
    bool have_l2 = false, have_addr = false;
    while (!a.empty()) {
        if (a.accept("l2")) {
            auto l2 = a.object(ObjType::kL2, "layer-2 interface");
            if (!l2) return Result::kUsage;
            p.l2_intf = static_cast<const zel_obj_header_t *>(*l2);
            have_l2 = true;
        } else if (a.accept("addr")) {
            auto pfx = a.prefix("address");
            if (!pfx) return Result::kUsage;
            p.addr = pfx->first;
            p.prefix_len = pfx->second;
            have_addr = true;
        } else if (a.accept("vrd")) {
            auto v = a.object(ObjType::kVrd, "routing domain", true);
            if (!v) return Result::kUsage;
            p.vrd = static_cast<zel_ip_vrd_handle_t>(*v);
        } else if (a.accept("mtu")) {
            auto v = a.u32("MTU");
            if (!v) return Result::kUsage;
            p.mtu = *v;
        } else if (a.accept("mask")) {
            auto v = a.u32("association mask", 0xffff);
            if (!v) return Result::kUsage;
            p.assoc_mask = static_cast<uint16_t>(*v);
        } else if (a.accept("down")) {
            p.admin_down = 1;
        } else if (a.accept("defrag")) {
            p.reassemble = 1;
        } else if (a.accept("nat")) {
            if (a.accept("inside")) {
                p.nat_inside = 1;
            } else if (a.accept("outside")) {
                p.nat_outside = 1;
            } else {
                s.usage_error("nat: 'inside' or 'outside' expected");
                return Result::kUsage;
            }
        } else if (a.accept("filter")) {
            if (a.accept("none")) {
                p.filter_type = ZEL_IP_INTF_FILTER_NONE;
            } else if (a.accept("basic")) {
                p.filter_type = ZEL_IP_INTF_FILTER_BASIC;
            } else if (a.accept("extended")) {
                p.filter_type = ZEL_IP_INTF_FILTER_EXTENDED;
            } else {
                s.usage_error("filter: 'none', 'basic' or 'extended' expected");
                return Result::kUsage;
            }
        } else if (a.accept("qos-l3")) {
            p.qos_l3 = 1;
        } else if (a.accept("pbr")) {
            p.pbr = 1;
        } else {
            a.done();  // reports the unexpected word
            return Result::kUsage;
        }
    }
    if (!have_l2 || !have_addr) {
        s.usage_error(have_l2 ? "missing addr <a/p>" : "missing l2 <layer-2 interface>");
        return Result::kUsage;
    }
    zel_ip_intf_handle_t h = nullptr;
    Result r = s.check(zel_ip_interface_create(s.module(), &p, &h));
    if (r == Result::kOk) s.define(*name, ObjType::kInterface, h);
    return r;
}

// interface delete <name>
Result intf_delete(Session &s, Args &a) {
    auto name = a.word("interface");
    if (!name || !a.done()) return Result::kUsage;
    const NamedObject *o = s.find(*name);
    if (!o || o->type != ObjType::kInterface) {
        s.usage_error("interface: no interface named '" + *name + "'");
        return Result::kUsage;
    }
    Result r = s.check(zel_ip_interface_delete(s.module(), static_cast<zel_ip_intf_handle_t>(o->handle)));
    if (r == Result::kOk) s.forget(*name);
    return r;
}

// interface addr add|rem <name> <a/p>
Result intf_addr(Session &s, Args &a) {
    const bool adding = a.accept("add");
    if (!adding && !a.accept("rem")) {
        s.usage_error("'add' or 'rem' expected");
        return Result::kUsage;
    }
    auto h = a.object(ObjType::kInterface, "interface");
    auto pfx = a.prefix("address");
    if (!h || !pfx || !a.done()) return Result::kUsage;
    const uint32_t ap[2] = {pfx->first, pfx->second};
    auto intf = static_cast<zel_ip_intf_handle_t>(*h);
    return s.check(adding ? zel_ip_interface_addr_add(s.module(), intf, ap)
                          : zel_ip_interface_addr_rem(s.module(), intf, ap));
}

// interface subnet <name> <a/p> on|off   (a prefix of 0, e.g. 0.0.0.0/0: every subnet)
Result intf_subnet(Session &s, Args &a) {
    auto h = a.object(ObjType::kInterface, "interface");
    auto pfx = a.prefix("subnet");
    if (!h || !pfx) return Result::kUsage;
    const bool on = a.accept("on");
    if (!on && !a.accept("off")) {
        s.usage_error("'on' or 'off' expected");
        return Result::kUsage;
    }
    if (!a.done()) return Result::kUsage;
    const uint32_t ap[2] = {pfx->first, pfx->second};
    return s.check(zel_ip_interface_subnet_status_set(s.module(), static_cast<zel_ip_intf_handle_t>(*h),
                                                      ap, on ? 1 : 0));
}

// interface assoc <name> <a/32> enable|disable [mask M]
Result intf_assoc(Session &s, Args &a) {
    auto h = a.object(ObjType::kInterface, "interface");
    auto pfx = a.prefix("address");
    if (!h || !pfx) return Result::kUsage;
    zel_ip_addr_assoc_req_t req{};
    if (a.accept("enable")) {
        req.enable = 1;
    } else if (!a.accept("disable")) {
        s.usage_error("'enable' or 'disable' expected");
        return Result::kUsage;
    }
    if (a.accept("mask")) {
        auto v = a.u32("association mask", 0xffff);
        if (!v) return Result::kUsage;
        req.mask = static_cast<uint16_t>(*v);
    }
    if (!a.done()) return Result::kUsage;
    const uint32_t ap[2] = {pfx->first, pfx->second};
    return s.check(zel_ip_addr_ingress_association_set(s.module(), static_cast<zel_ip_intf_handle_t>(*h),
                                                       ap, &req));
}

ZEL_CLI_COMMANDS(
    {"l2 create", "<name> <intf-id>",
     "make a Layer-2 interface of a sibling module with interface id <intf-id> (0 to 65535)", l2_create},
    {"interface create",
     "<name> l2 <l2> addr <a/p> [vrd <name>] [mtu <n>] [mask <m>] [down] [defrag] "
     "[nat inside|outside] [filter none|basic|extended] [qos-l3] [pbr]",
     "create an IPoE interface over a Layer-2 interface (zel_ip_interface_create)", intf_create},
    {"interface delete", "<name>", "delete an interface without secondary addresses (zel_ip_interface_delete)",
     intf_delete},
    {"interface addr", "add|rem <name> <a/p>",
     "add a secondary address, or remove an address (zel_ip_interface_addr_add / _rem)", intf_addr},
    {"interface subnet", "<name> <a/p> on|off",
     "switch the attached-subnet route of a subnet; /0 means every subnet "
     "(zel_ip_interface_subnet_status_set)",
     intf_subnet},
    {"interface assoc", "<name> <a/32> enable|disable [mask <m>]",
     "set or clear the ingress association rule of one address (zel_ip_addr_ingress_association_set)",
     intf_assoc});

}  // namespace
}  // namespace zcli
