// Commands about binding IPv4 flows to sibling modules: `bind` and
// `unbind`, walked through the framework's bind driver (the source's
// get_imc, the destination's entry function, then the custom bind), so a
// script exercises the sequence the framework runs.
//
// The sibling modules (ethernet, gtpu, ipsec, ipv6, bfd, twamp, ebcom,
// l2tp) are made on first use with named entry points "<module>.entry_upper"
// (direction 2) and "<module>.entry_lower"; `flow <id>` names the
// destination module's flow with that NS ID.
#include <cstdio>
#include <string>

#include "cli.h"

namespace zcli {
namespace {

struct SiblingName {
    const char *name;
    uint32_t id;
};
constexpr SiblingName kSiblings[] = {
    {"ethernet", ZEL_IP_MODULE_ETHERNET}, {"gtpu", ZEL_IP_MODULE_GTPU},   {"ipsec", ZEL_IP_MODULE_IPSEC},
    {"ipv6", ZEL_IP_MODULE_IPV6},         {"bfd", ZEL_IP_MODULE_BFD},     {"twamp", ZEL_IP_MODULE_TWAMP},
    {"ebcom", ZEL_IP_MODULE_EBCOM},       {"l2tp", ZEL_IP_MODULE_L2TP},
};

Value module_value(std::string name) {
    std::vector<std::string> names;
    for (const auto &s : kSiblings) names.push_back(s.name);
    return keyword(std::move(name), names);
}

zel_module_t *sibling(Session &s, const std::string &name) {
    void *&slot = s.extra("module " + name);
    if (!slot) {
        for (const auto &sib : kSiblings) {
            if (name != sib.name) continue;
            const uint16_t upper = static_cast<uint16_t>(zel_sim_function_id((name + ".entry_upper").c_str()));
            const uint16_t lower = static_cast<uint16_t>(zel_sim_function_id((name + ".entry_lower").c_str()));
            slot = zel_sim_sibling_module_new(s.sim(), sib.id, upper, lower);
        }
    }
    return static_cast<zel_module_t *>(slot);
}

void *sibling_flow(Session &s, const std::string &module, zel_module_t *owner, uint32_t ns_id) {
    void *&slot = s.extra("flow " + module + " " + std::to_string(ns_id));
    if (!slot) slot = zel_sim_sibling_flow_new(s.sim(), owner, ns_id);
    return slot;
}

uint32_t bind_type(const std::string &w) {
    if (w == "m2m") return ZEL_IP_BIND_M2M;
    if (w == "f2m") return ZEL_IP_BIND_F2M;
    if (w == "f2id") return ZEL_IP_BIND_F2ID;
    if (w == "ebcom") return ZEL_IP_BIND_EBCOM;
    return ZEL_IP_BIND_F2F;
}

std::string fn_text(uint32_t id) {
    if (id == 0) return "none";
    if (const char *n = zel_sim_function_name(id)) return n;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04x", id);
    return buf;
}

// The request of a `bind <source> ... to <module>` line; `src_flow` NULL
// for the module itself (type m2m unless given).
zel_bind_info_t outward(Session &s, const Parsed &p, void *src_flow) {
    zel_bind_info_t b{};
    const std::string mod = p.word("to");
    zel_module_t *dst = sibling(s, mod);
    b.bind_type = p.has("type") ? bind_type(p.word("type")) : !src_flow ? ZEL_IP_BIND_M2M
                                                           : p.has("flow") ? ZEL_IP_BIND_F2F
                                                                           : ZEL_IP_BIND_F2M;
    b.direction = p.u32("dir");
    b.binding_mode = p.u32_or("mode", ZEL_IP_BIND_MODE_DIRECT);
    b.src_module = s.module();
    b.src_flow = src_flow;
    b.dst_module = dst;
    if (p.has("flow")) b.dst_flow = sibling_flow(s, mod, dst, p.u32("flow"));
    b.imc_fn_name = p.has("imc") ? p.word("imc").c_str() : nullptr;
    b.custom = p.has("custom") ? 1 : 0;
    return b;
}

Result report(Session &s, const zel_bind_info_t &b, uint32_t st, const zel_sim_bind_result_t &r, bool unbind) {
    if (Result res = s.check(st); res != Result::kOk) return res;
    if (unbind) return Result::kOk;
    std::printf("bound: imc %s, entry %s%s\n", fn_text(r.imc_fn_id).c_str(), fn_text(r.entry_fn_id).c_str(),
                b.custom == 1 ? " (custom)" : "");
    return Result::kOk;
}

Result run(Session &s, const zel_bind_info_t &b, bool unbind) {
    zel_sim_bind_result_t r{};
    const uint32_t st = unbind ? zel_sim_unbind(s.sim(), &b, &r) : zel_sim_bind(s.sim(), &b, &r);
    return report(s, b, st, r, unbind);
}

Result bind_flow(Session &s, const Parsed &p, bool unbind) { return run(s, outward(s, p, p.object("name")), unbind); }
Result bind_ipv4(Session &s, const Parsed &p, bool unbind) { return run(s, outward(s, p, nullptr), unbind); }

// [un]bind from <module> [into <egress assoc>] dir <n> [type ...] [mode <n>]:
// IPv4 as the destination.
Result bind_from(Session &s, const Parsed &p, bool unbind) {
    zel_bind_info_t b{};
    b.bind_type = p.has("type") ? bind_type(p.word("type")) : p.has("into") ? ZEL_IP_BIND_F2F : ZEL_IP_BIND_M2M;
    b.direction = p.u32("dir");
    b.binding_mode = p.u32_or("mode", ZEL_IP_BIND_MODE_DIRECT);
    b.src_module = sibling(s, p.word("module"));
    b.dst_module = s.module();
    b.dst_flow = p.has("into") ? p.object("into") : nullptr;
    return run(s, b, unbind);
}

std::vector<Option> inward_options() {
    return {opt({"into"}, {object("flow", "egress association", {ObjType::kFlow})}, "the IPv4 destination flow"),
            opt({"dir"}, {number("n", "direction", 1, 2)}, "direction").required(),
            opt({"type"}, {keyword("t", {"m2m", "f2m", "f2f", "f2id", "ebcom"})},
                "bind type (default: f2f with into, m2m without)"),
            opt({"mode"}, {number("n", "binding mode", 0, UINT32_MAX)}, "binding mode (default 1, direct)")};
}

std::vector<Option> outward_options() {
    return {opt({"to"}, {module_value("module")}, "the destination module").required(),
            opt({"dir"}, {number("n", "direction", 1, 2)}, "its entry point: 1 lower layer, 2 upper layer").required(),
            opt({"flow"}, {number("id", "destination flow NS ID", 0, 0xffffff)},
                "the destination module's flow (its NS ID)"),
            opt({"type"}, {keyword("t", {"m2m", "f2m", "f2f", "f2id"})},
                "bind type (default: f2f with a flow, f2m without, m2m for ipv4)"),
            opt({"mode"}, {number("n", "binding mode", 0, UINT32_MAX)}, "binding mode (default 1, direct)"),
            opt({"imc"}, {word("fn", "IMC function name")}, "the IMC function by name (default: the bind matrix's)"),
            flag({"custom"}, "a custom bind: the flow's lookup entry calls the functions")};
}

Value src_flow(const char *label, std::vector<ObjType> types) { return object("name", label, std::move(types)); }

ZEL_CLI_COMMANDS(
    {"bind assoc", {{src_flow("ingress association", {ObjType::kAssoc})}, outward_options()},
     "bind an ingress association to a module (zel_ip_get_imc, zel_ip_custom_bind)",
     [](Session &s, const Parsed &p) { return bind_flow(s, p, false); }},
    {"bind egress-flow", {{src_flow("egress flow", {ObjType::kFlow})}, outward_options()},
     "bind an egress flow to a module (zel_ip_get_imc, zel_ip_custom_bind)",
     [](Session &s, const Parsed &p) { return bind_flow(s, p, false); }},
    {"bind egress-assoc", {{src_flow("egress association", {ObjType::kFlow})}, outward_options()},
     "bind an egress association to a module (zel_ip_get_imc)",
     [](Session &s, const Parsed &p) { return bind_flow(s, p, false); }},
    {"bind ipv4", {{}, outward_options()}, "bind the IPv4 module to a module (zel_ip_get_imc)",
     [](Session &s, const Parsed &p) { return bind_ipv4(s, p, false); }},
    {"bind from", {{module_value("module")}, inward_options()},
     "bind a module to IPv4 (zel_ip_get_entry_func; a bind into an egress association is recorded in it)",
     [](Session &s, const Parsed &p) { return bind_from(s, p, false); }},
    {"unbind from", {{module_value("module")}, inward_options()},
     "withdraw a bind of a module to IPv4 (zel_ip_release_entry_func)",
     [](Session &s, const Parsed &p) { return bind_from(s, p, true); }},
    {"unbind assoc", {{src_flow("ingress association", {ObjType::kAssoc})}, outward_options()},
     "withdraw a custom bind of an ingress association (zel_ip_custom_unbind)",
     [](Session &s, const Parsed &p) { return bind_flow(s, p, true); }},
    {"unbind egress-flow", {{src_flow("egress flow", {ObjType::kFlow})}, outward_options()},
     "withdraw a custom bind of an egress flow (zel_ip_custom_unbind)",
     [](Session &s, const Parsed &p) { return bind_flow(s, p, true); }});

}  // namespace
}  // namespace zcli
