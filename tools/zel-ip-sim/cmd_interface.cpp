// Commands about Layer-2 interfaces of the platform and IPoE interfaces:
// create, delete, addresses, subnet status and address associations.
#include <tuple>

#include "cli.h"

namespace zcli {
namespace {

// l2 create <name> <intf-id>
Result l2_create(Session &s, const Parsed &p) {
    zel_obj_header_t *l2 = zel_sim_l2_interface_new(s.sim(), p.u32("id"));
    if (!l2) {
        s.usage_error("the platform refuses a Layer-2 interface with id " + p.word("id"));
        return Result::kUsage;
    }
    s.define(p.word("name"), ObjType::kL2, l2);
    return Result::kOk;
}

Result intf_create(Session &s, const Parsed &p) {
    zel_ip_intf_params_t ip{};
    ip.l2_intf = static_cast<const zel_obj_header_t *>(p.object("l2"));
    std::tie(ip.addr, ip.prefix_len) = p.prefix("addr");
    ip.vrd = static_cast<zel_ip_vrd_handle_t>(p.object("vrd"));
    ip.mtu = p.u32_or("mtu", 0);
    ip.assoc_mask = static_cast<uint16_t>(p.u32_or("mask", 0));
    ip.admin_down = p.has("down") ? 1 : 0;
    ip.reassemble = p.has("defrag") ? 1 : 0;
    if (p.has("nat")) (p.word("nat") == "inside" ? ip.nat_inside : ip.nat_outside) = 1;
    if (p.has("filter")) {
        const std::string &f = p.word("filter");
        ip.filter_type = f == "basic"      ? ZEL_IP_INTF_FILTER_BASIC
                         : f == "extended" ? ZEL_IP_INTF_FILTER_EXTENDED
                                           : ZEL_IP_INTF_FILTER_NONE;
    }
    ip.qos_l3 = p.has("qos-l3") ? 1 : 0;
    ip.pbr = p.has("pbr") ? 1 : 0;
    zel_ip_intf_handle_t h = nullptr;
    Result r = s.check(zel_ip_interface_create(s.module(), &ip, &h));
    if (r == Result::kOk) s.define(p.word("name"), ObjType::kInterface, h);
    return r;
}

Result intf_delete(Session &s, const Parsed &p) {
    Result r = s.check(zel_ip_interface_delete(s.module(), static_cast<zel_ip_intf_handle_t>(p.object("intf"))));
    if (r == Result::kOk) s.forget(p.word("intf"));
    return r;
}

Result intf_addr(Session &s, const Parsed &p, bool adding) {
    const auto [a, len] = p.prefix("addr");
    const uint32_t ap[2] = {a, len};
    auto intf = static_cast<zel_ip_intf_handle_t>(p.object("intf"));
    return s.check(adding ? zel_ip_interface_addr_add(s.module(), intf, ap)
                          : zel_ip_interface_addr_rem(s.module(), intf, ap));
}

// interface subnet <name> <a/p> on|off   (a prefix of 0, e.g. 0.0.0.0/0: every subnet)
Result intf_subnet(Session &s, const Parsed &p) {
    const auto [a, len] = p.prefix("subnet");
    const uint32_t ap[2] = {a, len};
    return s.check(zel_ip_interface_subnet_status_set(s.module(), static_cast<zel_ip_intf_handle_t>(p.object("intf")),
                                                      ap, p.word("state") == "on" ? 1 : 0));
}

// interface assoc <name> <a/32> enable|disable [mask M]
Result intf_assoc(Session &s, const Parsed &p) {
    zel_ip_addr_assoc_req_t req{};
    req.enable = p.word("state") == "enable" ? 1 : 0;
    req.mask = static_cast<uint16_t>(p.u32_or("mask", 0));
    const auto [a, len] = p.prefix("addr");
    const uint32_t ap[2] = {a, len};
    return s.check(zel_ip_addr_ingress_association_set(s.module(), static_cast<zel_ip_intf_handle_t>(p.object("intf")),
                                                       ap, &req));
}

Value intf_value() { return object("intf", "interface", {ObjType::kInterface}); }

const Spec kAddrOfIntf{{intf_value(), if_addr("addr", "address")}, {}};

ZEL_CLI_COMMANDS(
    {"l2 create", {{new_name("name"), number("id", "interface id", 0, 0xffff)}, {}},
     "make a Layer-2 interface of a sibling module with interface id <id>", l2_create},
    {"interface create",
     {{new_name("name")},
      {opt({"l2"}, {object("l2", "layer-2 interface", {ObjType::kL2})}, "the Layer-2 interface below").required(),
       opt({"addr"}, {if_addr("a/p", "address")}, "the primary address with its prefix length").required(),
       opt({"vrd", "vrf"}, {object("name", "routing domain", {ObjType::kVrd}, true)},
           "the routing domain (default or left out: 63)"),
       opt({"mtu"}, {number("n", "MTU", 64, 9000).zero()}, "0 or left out: 1500"),
       opt({"mask"}, {number("m", "association mask", 0, 0xffff)},
           "ingress association mask of traffic to its addresses (0: protocol only)"),
       flag({"down"}, "start administratively disabled"),
       flag({"defrag"}, "reassemble packets to its addresses first"),
       opt({"nat"}, {keyword("side", {"inside", "outside"})}, "its side of NAPT"),
       opt({"filter"}, {keyword("kind", {"none", "basic", "extended"})}, "the kind of ingress filter"),
       flag({"qos-l3"}, "egress QoS at level L3 (otherwise L2)"),
       flag({"pbr"}, "policy-based routing on ingress")}},
     "create an IPoE interface over a Layer-2 interface (zel_ip_interface_create)", intf_create},
    {"interface delete", {{intf_value()}, {}},
     "delete an interface without secondary addresses (zel_ip_interface_delete)", intf_delete},
    {"interface addr add", kAddrOfIntf, "add a secondary address (zel_ip_interface_addr_add)",
     [](Session &s, const Parsed &p) { return intf_addr(s, p, true); }},
    {"interface addr delete", kAddrOfIntf, "remove an address (zel_ip_interface_addr_rem)",
     [](Session &s, const Parsed &p) { return intf_addr(s, p, false); }},
    {"interface subnet", {{intf_value(), if_addr("subnet", "subnet"), keyword("state", {"on", "off"})}, {}},
     "switch the attached-subnet route of a subnet; /0 means every subnet (zel_ip_interface_subnet_status_set)",
     intf_subnet},
    {"interface assoc",
     {{intf_value(), prefix("addr", "address"), keyword("state", {"enable", "disable"})},
      {opt({"mask"}, {number("m", "association mask", 0, 0xffff)}, "the association mask")}},
     "set or clear the ingress association rule of one address (zel_ip_addr_ingress_association_set)",
     intf_assoc});

}  // namespace
}  // namespace zcli
