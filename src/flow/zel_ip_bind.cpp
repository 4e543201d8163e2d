// Binding, the custom-bind half: the function table, custom bind and
// unbind, and the tree-14 map.
//
// Function table: 255 slots (indexes 1 to 255) in the private block. A
// function id is stored at the first slot, probing from index (id modulo
// 256, or 1 when that is 0) and wrapping from 255 to 1, that holds the same
// id (shared) or is empty (taken, with a tree-28 entry mapping the index to
// the function). Slots are never released: a tree-8, 9 or 29 entry of any
// bound flow may carry the index.
//
// A custom bind rewrites the source flow's lookup entry:
//
//   ingress association  tree 8 or 9: W1 = {IMC index, entry index}, Bind;
//                        F2F: tree 14 maps its NS ID to the destination's
//   egress flow          tree 29: W1 = own NS ID (F2M) or the destination
//                        flow's NS ID, W2 = {IMC index, entry index}
//
// and records the bind in the flow (BindState) with a use of the flow by
// the destination module, so the flow is not deleted while bound. A bind
// that fails after the function table was written keeps its slots, but
// never leaves the flow half bound: what its flow steps learnt is
// withdrawn again (an egress flow gets its unbound entry back). Unbind
// withdraws only what the flow holds, so it can always be repeated.
#include <cinttypes>

#include "core/zel_ip_call.h"
#include "core/zel_ip_registry.h"
#include "flow/zel_ip_bind_pvt.h"
#include "flow/zel_ip_egress_pvt.h"
#include "flow/zel_ip_flow_pvt.h"
#include "interface/zel_ip_interface_pvt.h"
#include "tree/zel_ip_layout_flow.h"
#include "zel_ip/zel_ip_bind.h"

using namespace zel::ip;

namespace {

namespace lay = layout;

constexpr const char *kBindUser = "custom bind to module";

// Stores `fn` in the function table; *idx its index (0 for no function).
uint32_t fn_store(Call &c, uint32_t fn, uint8_t *idx, const char *full_msg) {
    *idx = 0;
    if (fn == 0) return 0;
    uint32_t *table = c.priv->bind_fn_table;
    uint32_t i = fn % 256 ? fn % 256 : 1;
    for (uint32_t n = 0; n < ZEL_IP_BIND_FN_SLOTS; ++n, i = i == 255 ? 1 : i + 1) {
        if (table[i] == fn) {
            *idx = static_cast<uint8_t>(i);
            return 0;
        }
        if (table[i] != 0) continue;
        hwe_action_t v = lay::custom_bind::encode(fn);
        if (uint32_t st = lay::key_program(c.m, c.priv->trees[kTreeCustomBindImcEntryFn],
                                           lay::key_spec(kTreeCustomBindImcEntryFn, {i}, 8), kRuleLearn, v,
                                           "Failed to add LPM rule in hardware\n", ZEL_SITE,
                                           "Failed to build the pattern\n"))
            return st;
        table[i] = fn;
        *idx = static_cast<uint8_t>(i);
        return 0;
    }
    return ZREJECT(c.m, error(ZEL_E_NO_SLOT), "%s", full_msg);
}

bool valid_custom_type(Call &c, uint32_t type, uint32_t *st) {
    if (type == ZEL_IP_BIND_M2M) {
        *st = ZREJECT(c.m, error(kBindUnsupported), "Module-to-Module bind cannot be custom bind\n");
        return false;
    }
    if (type != ZEL_IP_BIND_F2M && type != ZEL_IP_BIND_F2F && type != ZEL_IP_BIND_F2ID) {
        *st = ZREJECT(c.m, kBadParam, "Invalid bind type specified\n");
        return false;
    }
    return true;
}

// Withdraws an association's lookup entry while it holds one.
uint32_t assoc_lookup_withdraw(Call &c, zel_ip_flow &f) {
    IngressAssoc &ia = f.body.ingress;
    if (ia.absent & kApLookup) return 0;
    const uint32_t st = withdraw_step(&ia.absent, kApLookup, [&] {
        return assoc_lookup_update(c.m, *c.priv, ia.params, ia.target, ZEL_IP_ASSOC_BIND, f.head.hdr.ns_id, 0, 0,
                                   kRuleUnlearn);
    }, entry_withdrawn);
    if (ia.absent & kApLookup) assoc_index_remove(*c.priv, &f);
    return st;
}

// Custom bind step 7, ingress association: the lookup entry, then the
// map of an F2F bind. A failure withdraws the lookup entry again.
uint32_t bind_assoc(Call &c, zel_ip_flow &f, const zel_bind_info_t &b, uint8_t imc, uint8_t entry) {
    zel_module_t *m = c.m;
    IngressAssoc &ia = f.body.ingress;
    const uint32_t ns = f.head.hdr.ns_id;
    const bool had = !(ia.absent & kApLookup);
    const uint32_t st = assoc_lookup_update(m, *c.priv, ia.params, ia.target, ZEL_IP_ASSOC_BIND, ns, imc, entry,
                                            kRuleLearn);
    if (entry_withdrawn(st)) {
        ia.absent &= ~kApLookup;
        if (!had) assoc_index_add(*c.priv, &f);  // room reserved before
    }
    uint32_t fail = 0;
    if (st) {
        fail = ZFAIL_FATAL(m, fatal(st),
                           "Failed to program the hardware with ingress association flow rule for custom bind\n");
    } else if (b.bind_type == ZEL_IP_BIND_F2F) {
        const uint32_t dst_ns = static_cast<const zel_flow_header_t *>(b.dst_flow)->ns_id;
        if (uint32_t mst = zel_ip_flow_bind_config(m, ns, dst_ns, 1))
            fail = ZFAIL_FATAL(m, fatal(mst),
                               "Failed to program the hardware with map from association flow to dest flow\n");
        else
            ia.bind.map = 1;
    }
    if (fail && assoc_lookup_withdraw(c, f) != 0)
        ZLOG_FATAL(m, "Failed to withdraw the custom bind rule of ingress association ID 0x%x; unbind withdraws it\n",
                   ns);
    return fail;
}

// Custom bind step 7, egress flow. A failure puts the unbound entry back.
uint32_t bind_egress_flow(Call &c, zel_ip_flow &f, const zel_bind_info_t &b, uint8_t imc, uint8_t entry) {
    EgressFlow &ef = f.body.egress_flow;
    const uint32_t ns = f.head.hdr.ns_id;
    const uint32_t w1 =
        b.bind_type == ZEL_IP_BIND_F2M ? ns : static_cast<const zel_flow_header_t *>(b.dst_flow)->ns_id;
    const uint32_t st = egress_flow_entry(c.m, *c.priv, ef.intf_id, ef.params.next_hop, w1, imc, entry, kRuleLearn);
    if (st == 0) return 0;
    const uint32_t fail = ZFAIL_FATAL(
        c.m, fatal(st), "Failed to program the hardware with egress flow classification rule for custom bind\n");
    if (egress_flow_entry(c.m, *c.priv, ef.intf_id, ef.params.next_hop, ns, 0, 0, kRuleLearn) != 0)
        ZLOG_FATAL(c.m, "Failed to restore the unbound rule of egress flow ID 0x%x; unbind restores it\n", ns);
    return fail;
}

uint32_t custom_bind(Call &c, const zel_bind_info_t &b, uint32_t entry_fn) {
    zel_module_t *m = c.m;
    // 3.
    uint32_t st = 0;
    if (!valid_custom_type(c, b.bind_type, &st)) return st;
    // The source flow is checked before anything is written, also when
    // the IMC function is named (the matrix checks it otherwise).
    uint32_t code = 0;
    zel_ip_flow *f = bind_src_flow(m, b, &code);
    if (!f) return error(code);
    const uint32_t kind = f->head.kind;
    if (kind != kFlowIngressAssoc && kind != kFlowEgress)
        return ZREJECT(m, kBadParam, "Unexpected IPv4 flow type for custom bind\n");
    BindState &bs = kind == kFlowIngressAssoc ? f->body.ingress.bind : f->body.egress_flow.bind;
    if (bs.to)
        return ZREJECT(m, error(kBindUnsupported), "IPv4 flow (src flow) is already bound; unbind it first\n");
    const bool needs_dst = kind == kFlowIngressAssoc ? b.bind_type == ZEL_IP_BIND_F2F
                                                     : b.bind_type != ZEL_IP_BIND_F2M;
    if (needs_dst && !bind_dst_flow_ok(b.dst_flow))
        return ZREJECT(m, kBadParam, "Dest Flow Handle specified is invalid\n");
    if (kind == kFlowEgress && (f->body.egress_flow.absent & kEpLookup))
        return ZREJECT(m, kBadParam, "Source Flow Handle specified is invalid\n");  // a delete is under way
    if (kind == kFlowIngressAssoc) {
        // The engine holds one entry per key: a second association's
        // learn would take the first one's over.
        if (zel_ip_flow *other = assoc_key_holder(m, *c.priv, f->body.ingress); other && other != f)
            return ZREJECT(m, kBadParam, "Ingress association 0x%08" PRIxPTR " has the same fields\n",
                           reinterpret_cast<uintptr_t>(other));
        if (!assoc_index_reserve(*c.priv)) return ZFAIL_FATAL(m, kNoMemory, "Failed to allocate memory for the bind\n");
    }
    // 4.
    uint32_t imc = 0;
    if (!b.imc_fn_name) {
        if (uint32_t mst = zel_ip_get_imc_internal(m, &b, &imc))
            return ZREJECT(m, error(mst), "zel_bind->Failed to get IPv4 IMC Function\n");
    } else if (uint32_t sst = hwe_ptn_symbol_get_id(m->engine, b.imc_fn_name, &imc)) {
        return ZFAIL_FATAL(m, fatal(ZEL_E_SYMBOL), "zel_bind->Failed to get IMC Function ID, RTE Error: %s\n",
                           hwe_status_get(sst));
    }
    // 5-6.
    uint8_t imc_idx = 0, entry_idx = 0;
    if ((st = fn_store(c, imc, &imc_idx, "Out of array index. Failed to store IMC FPL function ID\n"))) return st;
    if ((st = fn_store(c, entry_fn, &entry_idx, "Out of array index. Failed to store Entry Fn FPL function ID\n")))
        return st;
    // 7. The use first: a bind the flow cannot record is not made.
    if (!obj_use(f, b.dst_module, kBindUser)) return ZFAIL_FATAL(m, kNoMemory, "Failed to allocate memory for the bind\n");
    st = kind == kFlowIngressAssoc ? bind_assoc(c, *f, b, imc_idx, entry_idx)
                                   : bind_egress_flow(c, *f, b, imc_idx, entry_idx);
    if (st) {
        obj_unuse(f, b.dst_module);
        return st;
    }
    bs.to = b.dst_module;
    bs.dst_ns = needs_dst ? static_cast<const zel_flow_header_t *>(b.dst_flow)->ns_id : 0;
    bs.imc_idx = imc_idx;
    bs.entry_idx = entry_idx;
    return 0;
}

// Drops the bind record and the use once nothing of the bind is held.
void forget_bind(zel_ip_flow &f, BindState &bs) {
    if (bs.to) obj_unuse(&f, bs.to);
    bs = BindState{};
}

uint32_t custom_unbind(Call &c, const zel_bind_info_t &b) {
    zel_module_t *m = c.m;
    uint32_t st = 0;
    if (!valid_custom_type(c, b.bind_type, &st)) return st;
    zel_ip_flow *f = bind_own_flow(m, b.src_flow);
    if (!f) return ZREJECT(m, kBadParam, "Source Flow Handle specified is invalid\n");
    if (f->head.kind == kFlowEgress) {
        EgressFlow &ef = f->body.egress_flow;
        if (!(ef.absent & kEpLookup)) {
            const uint32_t ns = f->head.hdr.ns_id;
            if ((st = egress_flow_entry(m, *c.priv, ef.intf_id, ef.params.next_hop, ns, 0, 0, kRuleLearn)))
                return ZFAIL_FATAL(m, fatal(st),
                                   "Failed to program the hardware with unbound egress flow classification rule\n");
        }
        forget_bind(*f, ef.bind);
        return 0;
    }
    if (f->head.kind == kFlowIngressAssoc) {
        IngressAssoc &ia = f->body.ingress;
        // Only a Bind association's entry is the bind's; the entry of a
        // Send-to-CPU or Discard association is its own.
        if (ia.params.action != ZEL_IP_ASSOC_BIND) return 0;
        if (ia.bind.map) {
            if ((st = zel_ip_flow_bind_config(m, f->head.hdr.ns_id, ia.bind.dst_ns, 0)))
                return ZFAIL_FATAL(m, fatal(st), "Failed to remove map from association flow to dest flow\n");
            ia.bind.map = 0;
        }
        if ((st = assoc_lookup_withdraw(c, *f)))
            return ZFAIL_FATAL(m, fatal(st), "Failed to program the hardware with unbound ingress association flow rule\n");
        forget_bind(*f, ia.bind);
        return 0;
    }
    return ZREJECT(m, kBadParam, "Unexpected IPv4 flow type for custom unbind\n");
}

// The bind information and the IPv4 module it names (the source module):
// NULL with the refusal in *st.
zel_module_t *bind_module(const zel_bind_info_t *bind, uint32_t *st) {
    if (!bind) {
        *st = ZREJECT_ANON(kBadParam, "NULL pointer parameter for bind info\n");
        return nullptr;
    }
    if (!module_handle_ok(bind->src_module)) {
        *st = reject_module_handle(bind->src_module, ZEL_SITE);
        return nullptr;
    }
    return bind->src_module;
}

}  // namespace

extern "C" {

uint32_t zel_ip_custom_bind(zel_sys_ctx_t *ctx, const zel_bind_info_t *bind) {
    (void)ctx;  // the module's own context prints; the framework passes its own
    uint32_t st = 0;
    zel_module_t *m = bind_module(bind, &st);
    if (!m) return st;
    // 1. The destination's entry function, before the lock: the
    //    destination's service may take its own.
    const zel_bind_info_t &b = *bind;
    if (!bind_module_ok(b.dst_module)) return ZREJECT(m, kBadParam, "Invalid destination module handle\n");
    uint16_t entry = b.direction == ZEL_IP_BIND_DIR_UPPER ? b.dst_module->entry_fn_dir2 : b.dst_module->entry_fn_other;
    const uint32_t dst_id = b.dst_module->module_id;
    const zel_module_cpu_service_t *svc = dst_id < ZEL_MODULE_ID_MAX ? moduleMgrCpuServiceFn[dst_id] : nullptr;
    if (svc && svc->entry_fn_get && svc->entry_fn_get(bind, &entry) != 0)
        return ZREJECT(m, error(ZEL_E_BIND_ENTRY), "Failed to get Entry point function for destination module\n");
    if (entry == 0)
        return ZREJECT(m, error(ZEL_E_BIND_ENTRY), "Invalid Entry point function found for destination module\n");
    // 2-7.
    return with_module(m, __func__, [&](Call &c) { return custom_bind(c, b, entry); });
}

uint32_t zel_ip_custom_unbind(zel_sys_ctx_t *ctx, const zel_bind_info_t *bind) {
    (void)ctx;
    uint32_t st = 0;
    zel_module_t *m = bind_module(bind, &st);
    if (!m) return st;
    return with_module(m, __func__, [&](Call &c) { return custom_unbind(c, *bind); });
}

uint32_t zel_ip_flow_bind_config(zel_module_t *module, uint32_t src_ns_id, uint32_t dst_ns_id, uint32_t operation) {
    ZelIpPriv *p = module_priv(module);
    if (!p) return kBadHandle;
    hwe_action_t v = lay::id_w1::encode(dst_ns_id);
    const uint32_t op = operation ? kRuleLearn : kRuleUnlearn;
    return lay::key_program(module, p->trees[kTreeBindDestFlow], lay::key_spec(kTreeBindDestFlow, {src_ns_id}, 24), op,
                            v, op ? "Failed to add LPM rule in hardware\n" : "Failed to remove LPM rule from hardware\n",
                            ZEL_SITE);
}

}  // extern "C"
