// Commands about ingress associations (create, delete), the policers they
// may use, and what a locally terminated packet hits in the association
// lookup (used by `lookup`).
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "cli.h"
#include "cmd_assoc.h"
#include "flow/zel_ip_flow_pvt.h"
#include "tree/zel_ip_assoc_mask.h"
#include "tree/zel_ip_hw_internal.h"
#include "tree/zel_ip_hw_catalogue.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_layout_flow.h"

namespace zcli {

namespace lay = zel::ip::layout;

namespace {

// Association names by flow id, to name the association a packet hits.
std::map<uint32_t, std::string> &names_by_flow() {
    static std::map<uint32_t, std::string> names;
    return names;
}

uint32_t flow_id_of(const void *flow) { return static_cast<const zel_flow_header_t *>(flow)->ns_id; }

// qos policer <name> <flow-id>
Result policer_new(Session &s, const Parsed &p) {
    if (!s.define(p.word("name"), ObjType::kPolicer, zel_sim_qos_policer_new(s.sim(), p.u32("flow-id")))) {
        s.usage_error("'" + p.word("name") + "' is already defined");
        return Result::kUsage;
    }
    return Result::kOk;
}

// assoc create <name> cpu nca <q> | cpu ph <handle> [cb <n>] | discard | bind
//     [fields] [options]: the mask is made of the fields given (a field
//     given as 0, or `intf any`, is selected and matches anything).
Result assoc_create(Session &s, const Parsed &p) {
    zel_ip_ingress_assoc_params_t a{};
    if (p.has("cpu")) {
        a.action = ZEL_IP_ASSOC_SEND_TO_CPU;
        a.cpu_kind = p.word("cpu", 0) == "nca" ? ZEL_IP_CPU_PATH_NCA : 1;
        a.cpu_target = p.u32("cpu", 1);
        a.cpu_cb_fn_id = static_cast<uint8_t>(p.u32_or("cpu.cb", 0));
    } else {
        a.action = p.has("discard") ? ZEL_IP_ASSOC_DISCARD : ZEL_IP_ASSOC_BIND;
    }
    if (p.has("vrd")) {
        a.mask |= ZEL_IP_IAM_VRD_HANDLE;
        a.vrd = static_cast<zel_ip_vrd_handle_t>(p.object("vrd"));
    }
    if (p.has("vrd-id")) {
        a.mask |= ZEL_IP_IAM_VRD_ID;
        a.vrd_id = p.u32("vrd-id");
    }
    if (p.has("intf") || p.has("intf-any")) {
        a.mask |= ZEL_IP_IAM_INTF;
        a.intf = p.object("intf");
    }
    if (p.has("proto")) {
        a.mask |= ZEL_IP_IAM_PROTO;
        a.proto = static_cast<uint8_t>(p.u32("proto"));
    }
    if (p.has("dip")) {
        a.mask |= ZEL_IP_IAM_DIP;
        std::tie(a.dip, a.dip_prefix_len) = p.prefix("dip");
    }
    if (p.has("dport")) {
        a.mask |= ZEL_IP_IAM_DPORT;
        a.dport = static_cast<uint16_t>(p.u32("dport"));
    }
    if (p.has("sip")) {
        a.mask |= ZEL_IP_IAM_SIP;
        std::tie(a.sip, a.sip_prefix_len) = p.prefix("sip");
    }
    if (p.has("sport")) {
        a.mask |= ZEL_IP_IAM_SPORT;
        a.sport = static_cast<uint16_t>(p.u32("sport"));
    }
    a.context_flow_id = p.u32_or("ctx", 0);
    a.mtm_queue = p.object("queue");
    a.dscp_cpu_queue = p.has("dscp-queue") ? 1 : 0;
    if (p.has("police")) {
        a.policing = 1;
        a.policer = p.object("police");
    }
    a.flow_filter = p.has("filter") ? 1 : 0;
    zel_ip_flow_handle_t h = nullptr;
    Result r = s.check(zel_ip_ingress_association_create(s.module(), &a, &h));
    if (r == Result::kOk) {
        s.define(p.word("name"), ObjType::kAssoc, h);
        names_by_flow()[flow_id_of(h)] = p.word("name");
    }
    return r;
}

Result assoc_delete(Session &s, const Parsed &p) {
    void *h = p.object("assoc");
    const uint32_t flow_id = flow_id_of(h);
    Result r = s.check(zel_ip_ingress_association_delete(s.module(), static_cast<zel_ip_flow_handle_t>(h)));
    if (r == Result::kOk) {
        s.forget(p.word("assoc"));
        names_by_flow().erase(flow_id);
    }
    return r;
}

const char *action_name(const hwe_action_t &a) {
    switch (lay::assoc::action_of(a.w1)) {
        case lay::assoc::Action::kSendToCpu: return "Send-to-CPU";
        case lay::assoc::Action::kDiscard: return "Discard";
        default: return "Bind";
    }
}

}  // namespace

bool assoc_packet_hit(Session &s, uint8_t dest_mask, const AssocPacket &k, std::string *out) {
    hwe_engine_t *eng = zel_sim_engine(s.sim());
    // The engine keys ports only for a protocol that carries them.
    uint8_t tm = dest_mask;
    if (!zel::ip::port_protocol(k.proto)) tm &= static_cast<uint8_t>(~(lay::kTmDport | lay::kTmSport));
    zel_ip_ingress_assoc_params_t shape{};
    shape.mask = tm;
    shape.proto = static_cast<uint8_t>(k.proto);
    shape.dport = static_cast<uint16_t>(k.dport);
    const bool comp = zel::ip::assoc_compressed_shape(shape);
    const uint32_t tree = comp ? zel::ip::kTreeCompIngressAssocFlow : zel::ip::kTreeIngressAssocFlow;
    uint32_t tree_id = 0;
    if (zel_sim_engine_symbol_id(eng, zel::ip::kTreeCatalogue[tree].name, &tree_id) != 0) return false;
    std::vector<uint32_t> v, w;
    if (comp) {
        uint32_t cdip = 0;
        if (!zel_ip_address_compress(s.module(), k.dip, k.vrd_id, 2, &cdip)) {
            *out = "tree 9: no compressed address";
            return true;
        }
        v = {k.dport, cdip};
        w = {16, 8};
    } else {
        const uint32_t vals[lay::kAfCount] = {k.vrd_id, k.intf_id, k.proto, k.dip, k.dport, k.sip, k.sport};
        v.push_back(tm);
        w.push_back(lay::kAssocMaskBits);
        uint32_t len = lay::kAssocMaskBits;
        for (uint32_t i = 0; i < lay::kAfCount; ++i) {
            if (!(tm & lay::kAssocFields[i].mask_bit)) continue;
            v.push_back(vals[i]);
            w.push_back(lay::kAssocFields[i].field.width);
            len += lay::kAssocFields[i].field.width;
        }
        const uint32_t width = lay::key_layout(tree).width;
        while (len < width) {
            const uint32_t n = std::min<uint32_t>(32, width - len);
            v.push_back(0);
            w.push_back(n);
            len += n;
        }
    }
    hwe_action_t hit{};
    uint32_t depth = 0;
    if (zel_sim_engine_lookup_fields(eng, tree_id, static_cast<uint32_t>(v.size()), v.data(), w.data(), &hit,
                                     &depth) != 0)
        return false;
    char line[160];
    if (depth == 0) {
        std::snprintf(line, sizeof line, "tree %u: no association (the default action)", tree);
    } else {
        const uint32_t flow_id = lay::assoc::decode(hit).flow_id;
        auto it = names_by_flow().find(flow_id);
        std::snprintf(line, sizeof line, "tree %u: association %s (FLOW-ID 0x%06x, %s)", tree,
                      it == names_by_flow().end() ? "?" : it->second.c_str(), flow_id, action_name(hit));
    }
    *out = line;
    // A bound association reaches its functions through tree 28.
    if (depth != 0 && lay::assoc::action_of(hit.w1) == lay::assoc::Action::kBind) {
        const lay::assoc::Value a = lay::assoc::decode(hit);
        *out += ", calls " + bound_fn_text(eng, a.imc_idx) + " then " + bound_fn_text(eng, a.flow_idx);
    }
    return true;
}

std::string bound_fn_text(hwe_engine_t *eng, uint32_t idx) {
    if (idx == 0) return "none";
    uint32_t tree_id = 0;
    hwe_action_t a{};
    uint32_t depth = 0;
    const uint32_t widths[1] = {8};
    if (zel_sim_engine_symbol_id(eng, zel::ip::kTreeCatalogue[zel::ip::kTreeCustomBindImcEntryFn].name, &tree_id) !=
            0 ||
        zel_sim_engine_lookup_fields(eng, tree_id, 1, &idx, widths, &a, &depth) != 0 ||
        !lay::custom_bind::has_function(a))
        return "index " + std::to_string(idx) + " (no function)";
    const char *name = zel_sim_function_name(lay::custom_bind::flow_fn_id(a));
    return name ? name : "function " + std::to_string(lay::custom_bind::flow_fn_id(a));
}

namespace {
Value port(const char *name, const char *label) { return number(name, label, 0, 65535); }
}  // namespace

ZEL_CLI_COMMANDS(
    {"qos policer", {{new_name("name"), number("flow-id", "policing flow id", 0, 0xffffff)}, {}},
     "a policer of the platform's QoS service with policing flow id <flow-id>", policer_new},
    {"assoc create",
     {{new_name("name")},
      {opt({"cpu"}, {keyword("via", {"nca", "ph"}), number("target", "NCA queue id or PH bind handle", 0, UINT32_MAX)},
           "deliver to the CPU through an NCA queue or a packet-handling bind handle")
           .required()
           .in_group("action")
           .then({opt({"cb"}, {number("n", "callback function id", 0, 0xff)}, "ph: the callback function")}),
       flag({"discard"}, "drop the traffic").required().in_group("action"),
       flag({"bind"}, "leave the traffic to a module binding").required().in_group("action"),
       opt({"vrd"}, {object("domain", "routing domain", {ObjType::kVrd}, true)}, "key: the routing domain (0x01)"),
       opt({"vrd-id"}, {number("id", "VRD ID", 0, UINT32_MAX)}, "key: the routing domain by id (0x80)"),
       opt({"intf"}, {object("intf", "interface", {ObjType::kInterface, ObjType::kTunnel}, false)},
           "key: the ingress interface (0x02)")
           .in_group("intf"),
       flag({"intf-any"}, "key: any ingress interface (0x02)").in_group("intf"),
       opt({"proto"}, {number("n", "protocol", 0, 255)}, "key: the IP protocol, 0 any (0x10)"),
       opt({"dip"}, {prefix("a/p", "destination")}, "key: the destination address or prefix (0x04)"),
       opt({"dport"}, {port("n", "destination port")}, "key: the destination port, 0 any (0x20)"),
       opt({"sip"}, {prefix("a/p", "source")}, "key: the source address or prefix (0x08)"),
       opt({"sport"}, {port("n", "source port")}, "key: the source port, 0 any (0x40)"),
       opt({"ctx"}, {number("flow-id", "context flow id", 0, UINT32_MAX)},
           "cpu: the context flow the packets carry (default: the association's own id)"),
       opt({"queue"}, {object("q", "queue", {ObjType::kQueue})}, "cpu: pass this traffic-manager queue"),
       flag({"dscp-queue"}, "cpu: the queue comes from the CPU DSCP map"),
       opt({"police"}, {object("policer", "policer", {ObjType::kPolicer})}, "police the flow"),
       flag({"filter"}, "apply the association flow filter")}},
     "create an ingress association keyed by the fields given (zel_ip_ingress_association_create)",
     assoc_create},
    {"assoc delete", {{object("assoc", "association", {ObjType::kAssoc})}, {}},
     "delete an ingress association (zel_ip_ingress_association_delete)", assoc_delete});

}  // namespace zcli
