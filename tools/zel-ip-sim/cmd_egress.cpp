// Commands about egress associations and egress flows: create and delete
// by name.
#include <string>

#include "cli.h"

namespace zcli {
namespace {

// egress assoc create <name> dip <a> [sip <a>] [proto <n>] [dport <n> sport <n>]
//                     [mtu <n>] [ttl <n>] [vrd <name> | vrd-id <n>] [mask <m>] [no-l4-csum]
// Without `mask` the module derives it from the fields (the domain by
// handle); `vrd-id` names the domain by id and so needs a mask with 0x02.
Result assoc_create(Session &s, const Parsed &p) {
    zel_ip_egress_assoc_params_t a{};
    a.mask = static_cast<uint16_t>(p.u32_or("mask", 0));
    if (p.has("vrd-id") && !p.has("mask")) {
        s.usage_error("vrd-id needs a mask with bit 0x02 (VRD ID); without a mask the domain goes by handle");
        return Result::kUsage;
    }
    a.vrd = static_cast<zel_ip_vrd_handle_t>(p.object("vrd"));
    a.vrd_id = p.u32_or("vrd-id", 0);
    a.dip = p.u32("dip");
    a.sip = p.u32_or("sip", 0);
    a.proto = static_cast<uint8_t>(p.u32_or("proto", 0));
    a.dport = static_cast<uint16_t>(p.u32_or("dport", 0));
    a.sport = static_cast<uint16_t>(p.u32_or("sport", 0));
    a.mtu = p.u32_or("mtu", 0);
    a.ttl = static_cast<uint8_t>(p.u32_or("ttl", 0));
    a.no_l4_csum_update = p.has("no-l4-csum") ? 1 : 0;
    zel_ip_flow_handle_t h = nullptr;
    Result r = s.check(zel_ip_egress_association_create(s.module(), &a, &h));
    if (r == Result::kOk) s.define(p.word("name"), ObjType::kFlow, h);
    return r;
}

Result assoc_delete(Session &s, const Parsed &p) {
    Result r = s.check(zel_ip_egress_association_delete(s.module(), static_cast<zel_ip_flow_handle_t>(p.object("flow"))));
    if (r == Result::kOk) s.forget(p.word("flow"));
    return r;
}

// egress flow create <name> dev <interface|tunnel> [via <next hop>]
Result flow_create(Session &s, const Parsed &p) {
    const zel_ip_egress_flow_params_t f{p.object("dev"), p.u32_or("via", 0)};
    zel_ip_flow_handle_t h = nullptr;
    Result r = s.check(zel_ip_egress_flow_create(s.module(), &f, &h));
    if (r == Result::kOk) s.define(p.word("name"), ObjType::kFlow, h);
    return r;
}

Result flow_delete(Session &s, const Parsed &p) {
    Result r = s.check(zel_ip_egress_flow_delete(s.module(), static_cast<zel_ip_flow_handle_t>(p.object("flow"))));
    if (r == Result::kOk) s.forget(p.word("flow"));
    return r;
}

// Any flow: each delete refuses the other kind's handle itself.
Value flow_value() { return object("flow", "flow", {ObjType::kFlow}); }

ZEL_CLI_COMMANDS(
    {"egress assoc create",
     {{new_name("name")},
      {opt({"dip"}, {addr("a", "destination address")}, "the outer destination address").required(),
       opt({"sip"}, {addr("a", "source address")}, "the outer source address (left out: the interface's)"),
       opt({"proto"}, {number("n", "protocol", 0, 0xff)}, "the IP protocol (0: unspecified; 17 with ports)"),
       opt({"dport"}, {number("n", "UDP destination port", 0, 0xffff)}, "insert a UDP header to this port"),
       opt({"sport"}, {number("n", "UDP source port", 0, 0xffff)}, "its source port (with dport)"),
       opt({"mtu"}, {number("n", "MTU", 0, UINT32_MAX)}, "64 to 9000 (0 or left out: none)"),
       opt({"ttl"}, {number("n", "TTL", 0, 0xff)}, "left out or 0: the default TTL at this moment"),
       opt({"vrd", "vrf"}, {object("name", "routing domain", {ObjType::kVrd}, true)},
           "the domain by handle (default or left out: 63)")
           .in_group("domain"),
       opt({"vrd-id"}, {number("id", "VRD ID", 0, UINT32_MAX)}, "the domain by id (needs mask with 0x02)")
           .in_group("domain"),
       opt({"mask"}, {number("m", "egress association mask", 0, 0xffff)},
           "the fields that count (left out: derived from those given)"),
       flag({"no-l4-csum"}, "do not update the L4 checksum of the inserted UDP header")}},
     "create an egress association (zel_ip_egress_association_create)", assoc_create},
    {"egress assoc delete", {{flow_value()}, {}}, "delete an egress association (zel_ip_egress_association_delete)",
     assoc_delete},
    {"egress flow create",
     {{new_name("name")},
      {opt({"dev"}, {object("name", "egress interface", {ObjType::kInterface, ObjType::kTunnel})},
           "the IPoE or tunnel interface")
           .required(),
       opt({"via"}, {addr("a", "next hop")}, "IPoE: the next hop (left out: any)")}},
     "create an egress flow (zel_ip_egress_flow_create)", flow_create},
    {"egress flow delete", {{flow_value()}, {}}, "delete an egress flow (zel_ip_egress_flow_delete)", flow_delete});

}  // namespace
}  // namespace zcli
