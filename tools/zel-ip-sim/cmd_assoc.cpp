// Commands about ingress associations (create, delete), the policers they
// may use, and what a locally terminated packet hits in the association
// lookup (used by `lookup`).
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <string>
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
Result policer_new(Session &s, Args &a) {
    auto name = a.word("name");
    auto id = a.u32("policing flow id");
    if (!name || !id || !a.done()) return Result::kUsage;
    if (!s.define(*name, ObjType::kPolicer, zel_sim_qos_policer_new(s.sim(), *id))) {
        s.usage_error("'" + *name + "' is already defined");
        return Result::kUsage;
    }
    return Result::kOk;
}

// assoc create <name> cpu nca <q> | cpu ph <handle> [cb <n>] | discard | bind
//     [vrd <name>] [vrd-id <n>] [intf <name>|any] [proto <n>] [dip <a/p>]
//     [dport <n>] [sip <a/p>] [sport <n>] [ctx <flow-id>] [queue <q>]
//     [dscp-queue] [police <policer>] [filter]
// The mask is made of the fields given (a field given as 0 is selected
// and matches anything).
Result assoc_create(Session &s, Args &a) {
    auto name = a.word("name");
    if (!name || !name_free(s, *name)) return Result::kUsage;
    zel_ip_ingress_assoc_params_t p{};
    if (a.accept("discard")) {
        p.action = ZEL_IP_ASSOC_DISCARD;
    } else if (a.accept("bind")) {
        p.action = ZEL_IP_ASSOC_BIND;
    } else if (a.accept("cpu")) {
        p.action = ZEL_IP_ASSOC_SEND_TO_CPU;
        if (a.accept("nca")) {
            auto q = a.u32("NCA queue");
            if (!q) return Result::kUsage;
            p.cpu_kind = ZEL_IP_CPU_PATH_NCA;
            p.cpu_target = *q;
        } else if (a.accept("ph")) {
            auto h = a.u32("PH bind handle");
            if (!h) return Result::kUsage;
            p.cpu_kind = 1;
            p.cpu_target = *h;
            if (a.accept("cb")) {
                auto cb = a.u32("callback function id", 255);
                if (!cb) return Result::kUsage;
                p.cpu_cb_fn_id = static_cast<uint8_t>(*cb);
            }
        } else {
            s.usage_error("'nca <queue>' or 'ph <handle>' expected after 'cpu'");
            return Result::kUsage;
        }
    } else {
        s.usage_error("'cpu', 'discard' or 'bind' expected");
        return Result::kUsage;
    }
    while (!a.empty()) {
        if (a.accept("vrd")) {
            auto v = a.object(ObjType::kVrd, "routing domain", true);
            if (!v) return Result::kUsage;
            p.vrd = static_cast<zel_ip_vrd_handle_t>(*v);
            p.mask |= ZEL_IP_IAM_VRD_HANDLE;
        } else if (a.accept("vrd-id")) {
            auto v = a.u32("VRD ID");
            if (!v) return Result::kUsage;
            p.vrd_id = *v;
            p.mask |= ZEL_IP_IAM_VRD_ID;
        } else if (a.accept("intf")) {
            if (!a.accept("any")) {
                auto o = a.any_object({ObjType::kInterface, ObjType::kTunnel}, "interface");
                if (!o) return Result::kUsage;
                p.intf = o->handle;
            }
            p.mask |= ZEL_IP_IAM_INTF;
        } else if (a.accept("proto")) {
            auto v = a.u32("protocol", 255);
            if (!v) return Result::kUsage;
            p.proto = static_cast<uint8_t>(*v);
            p.mask |= ZEL_IP_IAM_PROTO;
        } else if (a.accept("dip")) {
            auto v = a.prefix("destination");
            if (!v) return Result::kUsage;
            p.dip = v->first;
            p.dip_prefix_len = v->second;
            p.mask |= ZEL_IP_IAM_DIP;
        } else if (a.accept("dport")) {
            auto v = a.u32("destination port", 65535);
            if (!v) return Result::kUsage;
            p.dport = static_cast<uint16_t>(*v);
            p.mask |= ZEL_IP_IAM_DPORT;
        } else if (a.accept("sip")) {
            auto v = a.prefix("source");
            if (!v) return Result::kUsage;
            p.sip = v->first;
            p.sip_prefix_len = v->second;
            p.mask |= ZEL_IP_IAM_SIP;
        } else if (a.accept("sport")) {
            auto v = a.u32("source port", 65535);
            if (!v) return Result::kUsage;
            p.sport = static_cast<uint16_t>(*v);
            p.mask |= ZEL_IP_IAM_SPORT;
        } else if (a.accept("ctx")) {
            auto v = a.u32("context flow id");
            if (!v) return Result::kUsage;
            p.context_flow_id = *v;
        } else if (a.accept("queue")) {
            auto v = a.object(ObjType::kQueue, "queue");
            if (!v) return Result::kUsage;
            p.mtm_queue = *v;
        } else if (a.accept("dscp-queue")) {
            p.dscp_cpu_queue = 1;
        } else if (a.accept("police")) {
            auto v = a.object(ObjType::kPolicer, "policer");
            if (!v) return Result::kUsage;
            p.policing = 1;
            p.policer = *v;
        } else if (a.accept("filter")) {
            p.flow_filter = 1;
        } else {
            a.done();  // reports the unexpected word
            return Result::kUsage;
        }
    }
    zel_ip_flow_handle_t h = nullptr;
    Result r = s.check(zel_ip_ingress_association_create(s.module(), &p, &h));
    if (r == Result::kOk) {
        s.define(*name, ObjType::kAssoc, h);
        names_by_flow()[flow_id_of(h)] = *name;
    }
    return r;
}

// assoc delete <name>
Result assoc_delete(Session &s, Args &a) {
    const std::string name = a.peek();
    auto h = a.object(ObjType::kAssoc, "association");
    if (!h || !a.done()) return Result::kUsage;
    const uint32_t flow_id = flow_id_of(*h);
    Result r = s.check(zel_ip_ingress_association_delete(s.module(), static_cast<zel_ip_flow_handle_t>(*h)));
    if (r == Result::kOk) {
        s.forget(name);
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
    return true;
}

ZEL_CLI_COMMANDS(
    {"qos policer", "<name> <flow-id>", "a policer of the platform's QoS service with policing flow id <flow-id>",
     policer_new},
    {"assoc create",
     "<name> cpu nca <q>|cpu ph <handle> [cb <n>]|discard|bind [vrd <name>] [vrd-id <n>] [intf <name>|any] "
     "[proto <n>] [dip <a/p>] [dport <n>] [sip <a/p>] [sport <n>] [ctx <flow-id>] [queue <q>] [dscp-queue] "
     "[police <policer>] [filter]",
     "create an ingress association keyed by the fields given (zel_ip_ingress_association_create)",
     assoc_create},
    {"assoc delete", "<name>", "delete an ingress association (zel_ip_ingress_association_delete)",
     assoc_delete});

}  // namespace zcli
