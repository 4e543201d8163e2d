// Program images and engine life cycle.
//
// An image lists what the engine's programs provide: trees (name, key
// width, kind, default action, first-level table size, rule-set layout),
// function symbols and namespaces (id range, record sizes). The default
// image is the one the IPv4 module expects; tests copy it and remove or
// add pieces. An engine is created from an image and owns a copy of
// everything in it.
//
// Symbol ids are process-wide and deterministic: the default catalogue is
// numbered in a fixed order (trees 0x100 + index, functions from 0x200),
// any other name gets an id from a hash of the name in 0x4000..0xffff
// (the next free id on a collision). Ids are never 0 and fit in 16 bits,
// as the service-function table stores flow function ids in 16 bits.
#include <cstring>
#include <new>

#include "sim_engine.h"
#include "sim_engine_internal.h"
#include "sim_fault.h"

namespace zsim {

namespace {

// ---- the default catalogue ------------------------------------------------

struct CatTree {
    const char *name;
    uint32_t width;
    uint32_t kind;
    uint32_t dkind, w1, w2;  // default action (kind 1: w1 from fn)
    const char *fn;
};

constexpr uint32_t S = ZEL_SIM_TREE_SINGLE, O = ZEL_SIM_TREE_OTREESET, V = ZEL_SIM_TREE_OVTREESET;
constexpr uint32_t N0 = HWE_ACTION_NONE, F1 = HWE_ACTION_FUNC, V4 = HWE_ACTION_VALUE;

constexpr CatTree kTrees[] = {
    {"ip_src_addr_lookup", 38, S, N0, 0, 0, nullptr},
    {"Check_host_router_mode", 6, S, N0, 0, 0, nullptr},
    {"ip_dest_addr_lookup", 38, S, V4, 4, 0, nullptr},
    {"ip_pbr_action_lookup", 12, S, F1, 0, 0, "dip_based_route_lookup"},
    {"ip_tunnel_if_lookup", 78, S, F1, 0, 0, "unknown_tunnel_if_id"},
    {"ip_tunnel_pmtu_lookup", 16, S, N0, 0, 0, nullptr},
    {"ip_tunnel_if_id_lookup", 12, S, F1, 0, 0, "unknown_tunnel_if_id"},
    {"ip_flow_policing_lookup", 24, S, N0, 0, 0, nullptr},
    {"ip_ingress_assoc_flow_lookup", 117, S, F1, 0, 0, "ip_association_default_action"},
    {"ip_comp_ingress_assoc_flow_lookup", 24, S, F1, 0, 0, "ip_association_default_action"},
    {"ip_egress_assoc_dip_lookup", 24, S, V4, 0, 0, nullptr},
    {"ip_egress_assoc_sip_mtu_lookup", 24, S, V4, 0, 0, nullptr},
    {"ip_egress_assoc_info_lookup", 24, S, V4, 0, 0, nullptr},
    {"ip_exception_lookup", 6, S, F1, 0, 0, "ip_exception_drop_pkts"},
    {"ip_bind_dest_flow_lookup", 24, S, N0, 0, 0, nullptr},
    {"ip_exception_path_param_lookup", 6, S, V4, 0xffffff, 0, nullptr},
    {"ip_filter_cpu_path_policing_flow_lookup", 28, S, N0, 0, 0, nullptr},
    {"ip_filter_cpu_path_param_lookup", 28, S, V4, 0, 0, nullptr},
    {"ip_filter_cpu_path_ctx_lookup", 28, S, V4, 0, 0, nullptr},
    {"ip_cpu_path_param_lookup", 28, S, V4, 0xffffff, 0, nullptr},
    {"ip_cpu_dscp_qos_lookup", 8, S, V4, 0xffffff, 0, nullptr},
    {"ip_napt_lookup", 48, S, V4, 0, 224, nullptr},
    {"ip_interface_sip_mtu_lookup", 48, S, F1, 0, 0, "ip_interface_default_action"},
    {"ip_interface_ingress_flowid_ruleset_flags_lookup", 16, S, F1, 0, 0, "ip_interface_default_action"},
    {"ip_interface_egress_flowid_mtu_flags_lookup", 16, S, F1, 0, 0, "ip_interface_default_action"},
    {"ip_interface_filter_rule_set_lookup", 16, S, F1, 0, 0, "ip_interface_default_action"},
    {"ip_if_ingress_dscp_police_lookup", 16, S, V4, 0, 0, nullptr},
    {"ip_flow_cpu_path_param_lookup", 24, S, V4, 0, 0, nullptr},
    {"ip_custom_bind_imc_entry_fn_lookup", 8, S, N0, 0, 0, nullptr},
    {"ip_egress_flow_lookup", 48, S, V4, 0, 0, nullptr},
    {"ip_dscp_qos_lookup", 24, S, N0, 0, 0, nullptr},
    {"ip_capture_cpu_path_param_lookup", 18, S, V4, 0, 0, nullptr},
    {"ip_if_dscp_pcp_lookup", 24, S, V4, 0, 0, nullptr},
    {"ip_pbr_lookup", 0, V, F1, 0, 0, "dip_based_route_lookup"},
    {"ip_in_basic_filter", 0, O, F1, 0, 0, "ip_filter_unknown_ruleset"},
    {"ip_ingress_association_flow_filter", 0, O, F1, 0, 0, "ip_association_flow_filter_drop"},
    {"ip_ext_filter", 0, V, F1, 0, 0, "ip_filter_unknown_ruleset"},
    {"ip_lo_pbr_policy_set_lookup", 6, S, N0, 0, 0, nullptr},
};
static_assert(sizeof kTrees / sizeof kTrees[0] == 38);

// Rule-set key layouts: OtreeSet = the width of every vector pattern;
// OVtreeSet = the set key width, then the width of every range.
const std::vector<uint32_t> kFields33 = {8, 3, 8, 2, 8, 32, 32, 16, 16};
const std::vector<uint32_t> kFields34 = {8, 8, 32, 32};
const std::vector<uint32_t> kFields35 = {24, 24, 8, 32, 32};
const std::vector<uint32_t> kFields36 = {8, 8, 2, 8, 32, 32, 16, 16};

// Flow functions 0..22, the default-action functions, then functions that
// tests and binding use (an exception handler, IMC functions named by a
// bind request).
constexpr const char *kFunctions[] = {
    "zel_ip_uli_receive", "zel_ip_lli_receive_direct", "zel_ip_uli_receive_direct",
    "ip_process_cpu_eth_pkts", "ip_process_cpu_pkts", "ip_to_ethernet_imc_direct",
    "ip_to_ethernet_flow_imc_direct", "ip_to_ipsec_lli_imc", "ip_egress_to_ipsec_imc_direct",
    "ip_to_gtpu_lli_f2m_imc", "ip_to_gtpu_lli_imc", "ip_to_gtpu_uli_imc", "ip_to_bfd_imc",
    "ip_translate_to_ipv6_imc", "ipv4_to_ipv6_ingress_imc_direct", "ip_to_ebcom_imc_direct",
    "ip_to_l2tp_imc_direct", "ip_to_twamp_imc_direct", "dip_based_route_lookup",
    "ip_interface_default_action", "use_cpu_dscp_map", "invalid_src_ip_addr",
    "VRF_routing_disabled",
    "unknown_tunnel_if_id", "ip_association_default_action", "ip_exception_drop_pkts",
    "ip_filter_unknown_ruleset", "ip_association_flow_filter_drop",
    "test_exception_handler", "test_imc_function", "test_imc_function_2",
};

// Namespaces of the image. Record sizes are what the module's programs
// keep per id: association flows 64 bytes (the module clears and reads
// the first 32), egress associations 16 bytes of SED parameters, filter
// rule counters 32, PBR rule counters 16, interface and global statistics
// 256, DSCP group statistics 144 plus 32 bytes of MTM shared parameters,
// reassembly contexts 64 (all taken from the start, so they can be read).
struct CatNs {
    const char *name;
    uint32_t base, count, record, sed, mtm;
    bool prealloc;
};
constexpr CatNs kNamespaces[] = {
    {"ip_ingress_assoc", 0x00d00000, 71164, 64, 0, 0, false},
    {"ip_egress_assoc", 0x00500000, 70365, 64, 16, 0, false},
    {"ip_pbr_stats", 0x00f0242c, 512, 16, 0, 0, false},
    {"ip_filter_stats", 0x00d19bb9, 256, 32, 0, 0, false},
    {"ip_if_stats", 0x00066dea, 2, 256, 0, 0, false},
    {"ip_qos_stats", 0x00700940, 2304, 144, 0, 32, false},
    {"ip_defrag_ctx", 0x00200000, 0x7e4, 64, 0, 0, true},
    {ZSIM_SYS_INTF_NAMESPACE, 0x100, 0xf00, 256, 0, 0, false},
};

constexpr uint32_t kDefaultInitTableSize = 24;

// ---- process-wide symbol ids ---------------------------------------------

struct Symbols {
    std::mutex mu;
    std::unordered_map<std::string, uint32_t> by_name;
    std::unordered_map<uint32_t, std::string> by_id;

    void add(const std::string &name, uint32_t id) {
        by_name.emplace(name, id);
        by_id.emplace(id, name);
    }
    Symbols() {
        uint32_t id = 0x100;
        for (const auto &t : kTrees) add(std::string("zel_ip.") + t.name, id++);
        id = 0x200;
        for (const char *f : kFunctions) add(std::string("zel_ip.") + f, id++);
    }
};
Symbols &symbols() {
    static Symbols s;
    return s;
}

uint32_t fnv1a(const std::string &s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s) h = (h ^ c) * 16777619u;
    return h;
}

void add_catalogue_tree(zel_sim_image &img, const CatTree &c, size_t index) {
    ImageTree t;
    t.name = std::string("zel_ip.") + c.name;
    t.width = c.width;
    t.kind = c.kind;
    t.deflt = {c.dkind, c.w1, c.w2};
    if (c.fn) t.default_fn = std::string("zel_ip.") + c.fn;
    t.init_table_size = c.kind == ZEL_SIM_TREE_SINGLE ? kDefaultInitTableSize : 0;
    if (index == 33) t.fields = kFields33;
    if (index == 34) t.fields = kFields34;
    if (index == 35) t.fields = kFields35;
    if (index == 36) t.fields = kFields36;
    img.trees.push_back(std::move(t));
}

bool name_taken(const zel_sim_image &img, const std::string &name) {
    for (const auto &t : img.trees)
        if (t.name == name) return true;
    for (const auto &f : img.functions)
        if (f == name) return true;
    for (const auto &n : img.namespaces)
        if (n.name == name) return true;
    return false;
}

ImageTree *image_tree(zel_sim_image *img, const char *name) {
    if (!img || !name) return nullptr;
    for (auto &t : img->trees)
        if (t.name == name) return &t;
    return nullptr;
}

// Namespaces with per-id memory must not share ids: state memory is
// addressed by id alone.
bool overlaps(const zel_sim_image &img, const ImageNs &ns) {
    if (!ns.record_size && !ns.sed_size && !ns.mtm_size) return false;
    for (const auto &o : img.namespaces) {
        if (!o.record_size && !o.sed_size && !o.mtm_size) continue;
        uint64_t a0 = ns.base, a1 = a0 + ns.count, b0 = o.base, b1 = b0 + o.count;
        if (a0 < b1 && b0 < a1) return true;
    }
    return false;
}

}  // namespace

uint32_t symbol_id(const std::string &name) {
    Symbols &s = symbols();
    std::lock_guard<std::mutex> g(s.mu);
    auto it = s.by_name.find(name);
    if (it != s.by_name.end()) return it->second;
    uint32_t id = 0x4000 + fnv1a(name) % 0xc000;
    while (s.by_id.count(id)) id = id == 0xffff ? 0x4000 : id + 1;
    s.add(name, id);
    return id;
}

const char *symbol_name(uint32_t id) {
    Symbols &s = symbols();
    std::lock_guard<std::mutex> g(s.mu);
    auto it = s.by_id.find(id);
    return it == s.by_id.end() ? nullptr : it->second.c_str();
}

const char *engine_symbol_name(uint32_t id) { return symbol_name(id); }
uint32_t engine_symbol_id(const char *name) { return symbol_id(name); }

}  // namespace zsim

using zsim::ImageNs;
using zsim::ImageTree;

extern "C" {

zel_sim_image_t *zel_sim_image_default(void) try {
    auto *img = new (std::nothrow) zel_sim_image;
    if (!img) return nullptr;
    try {
        size_t i = 0;
        for (const auto &c : zsim::kTrees) zsim::add_catalogue_tree(*img, c, i++);
        for (const char *f : zsim::kFunctions) img->functions.push_back(std::string("zel_ip.") + f);
        for (const auto &n : zsim::kNamespaces)
            img->namespaces.push_back({n.name, n.base, n.count, n.record, n.sed, n.mtm, n.prealloc});
    } catch (const std::bad_alloc &) {
        delete img;
        return nullptr;
    }
    return img;
} ZSIM_CATCH(nullptr)

zel_sim_image_t *zel_sim_image_copy(const zel_sim_image_t *image) try {
    if (!image) return nullptr;
    try {
        return new zel_sim_image(*image);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
} ZSIM_CATCH(nullptr)

void zel_sim_image_free(zel_sim_image_t *image) try { delete image; } ZSIM_CATCH_VOID

int zel_sim_image_remove(zel_sim_image_t *image, const char *name) try {
    if (!image || !name) return -1;
    auto erase = [&](auto &v, auto get) {
        for (auto it = v.begin(); it != v.end(); ++it)
            if (get(*it) == name) {
                v.erase(it);
                return true;
            }
        return false;
    };
    if (erase(image->trees, [](const ImageTree &t) { return t.name; })) return 0;
    if (erase(image->functions, [](const std::string &f) { return f; })) return 0;
    if (erase(image->namespaces, [](const ImageNs &n) { return n.name; })) return 0;
    return -1;
} ZSIM_CATCH(-1)

int zel_sim_image_add_tree(zel_sim_image_t *image, const char *name, uint32_t width,
                           uint32_t kind) try {
    if (!image || !name || zsim::name_taken(*image, name) || kind > ZEL_SIM_TREE_OVTREESET)
        return -1;
    if (kind == ZEL_SIM_TREE_SINGLE && (width == 0 || width > zsim::kMaxTreeWidth)) return -1;
    try {
        ImageTree t;
        t.name = name;
        t.kind = kind;
        t.width = kind == ZEL_SIM_TREE_SINGLE ? width : 0;
        t.init_table_size = kind == ZEL_SIM_TREE_SINGLE ? zsim::kDefaultInitTableSize : 0;
        image->trees.push_back(std::move(t));
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
} ZSIM_CATCH(-1)

int zel_sim_image_add_function(zel_sim_image_t *image, const char *name) try {
    if (!image || !name || zsim::name_taken(*image, name)) return -1;
    try {
        image->functions.emplace_back(name);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
} ZSIM_CATCH(-1)

int zel_sim_image_add_namespace(zel_sim_image_t *image, const char *name, uint32_t base,
                                uint32_t count, uint32_t record_size) try {
    return zel_sim_image_add_namespace_ex(image, name, base, count, record_size, 0, 0, 0);
} ZSIM_CATCH(-1)

int zel_sim_image_add_namespace_ex(zel_sim_image_t *image, const char *name, uint32_t base,
                                   uint32_t count, uint32_t record_size, uint32_t sed_size,
                                   uint32_t mtm_size, uint32_t flags) try {
    if (!image || !name || !count || zsim::name_taken(*image, name) ||
        static_cast<uint64_t>(base) + count > 0x100000000ULL)
        return -1;
    ImageNs ns{name, base, count, record_size, sed_size, mtm_size,
               (flags & ZEL_SIM_NS_PREALLOCATED) != 0};
    if (zsim::overlaps(*image, ns)) return -1;
    try {
        image->namespaces.push_back(std::move(ns));
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
} ZSIM_CATCH(-1)

int zel_sim_image_set_tree_default(zel_sim_image_t *image, const char *tree,
                                   const hwe_action_t *action, const char *function) try {
    ImageTree *t = zsim::image_tree(image, tree);
    if (!t || (!action && !function)) return -1;
    if (function) {
        t->deflt = {HWE_ACTION_FUNC, 0, 0};
        t->default_fn = function;
    } else {
        if (!zsim::action_valid(*action) || action->kind == HWE_ACTION_FUNC) return -1;
        t->deflt = *action;
        t->default_fn.clear();
    }
    return 0;
} ZSIM_CATCH(-1)

int zel_sim_image_set_init_table_size(zel_sim_image_t *image, const char *tree, uint32_t size) try {
    ImageTree *t = zsim::image_tree(image, tree);
    if (!t) return -1;
    t->init_table_size = size;
    return 0;
} ZSIM_CATCH(-1)

int zel_sim_image_set_fields(zel_sim_image_t *image, const char *tree, uint32_t nfields,
                             const uint32_t *widths) try {
    ImageTree *t = zsim::image_tree(image, tree);
    if (!t || t->kind == ZEL_SIM_TREE_SINGLE || (nfields && !widths)) return -1;
    for (uint32_t i = 0; i < nfields; ++i)
        if (widths[i] == 0 || widths[i] > 32) return -1;
    t->fields.assign(widths, widths + nfields);
    return 0;
} ZSIM_CATCH(-1)

hwe_engine_t *zel_sim_engine_create(const zel_sim_image_t *image) try {
    if (!image) return nullptr;
    try {
        auto eng = std::make_unique<hwe_engine>();
        for (const auto &it : image->trees) {
            auto t = std::make_unique<zsim::Tree>();
            t->name = it.name;
            t->id = zsim::symbol_id(it.name);
            t->width = it.width;
            t->kind = it.kind;
            t->init_table_size = it.init_table_size;
            t->fields = it.fields;
            t->image_default = it.deflt;
            if (!it.default_fn.empty()) t->image_default.w1 = zsim::symbol_id(it.default_fn);
            zsim::tree_init(*t);
            eng->symbols[t->name] = t->id;
            eng->by_id[t->id] = t.get();
            eng->trees.push_back(std::move(t));
        }
        for (const auto &f : image->functions) eng->symbols[f] = zsim::symbol_id(f);
        for (const auto &n : image->namespaces) {
            auto ns = std::make_unique<hwe_rsrc>();
            ns->eng = eng.get();
            ns->def = n;
            ns->from_image = true;
            ns->used.assign((n.count + 63) / 64, 0);
            if (n.preallocated) {
                for (uint32_t i = 0; i < n.count; ++i) ns->used[i >> 6] |= 1ULL << (i & 63);
                ns->in_use = n.count;
            }
            eng->namespaces.push_back(std::move(ns));
        }
        return eng.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
} ZSIM_CATCH(nullptr)

void zel_sim_engine_destroy(hwe_engine_t *eng) try {
    if (!zsim::engine_ok(eng)) return;
    eng->magic = 0;
    delete eng;
} ZSIM_CATCH_VOID

uint32_t hwe_ptn_symbol_get_id(hwe_engine_t *eng, const char *name, uint32_t *id) try {
    ZSIM_FAULT_POINT();
    if (!zsim::engine_ok(eng) || !name || !id) return HWE_E_PARAM;
    std::lock_guard<std::mutex> g(eng->mu);
    auto it = eng->symbols.find(name);
    if (it == eng->symbols.end()) return HWE_E_NOT_FOUND;
    *id = it->second;
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

int zel_sim_engine_symbol_id(hwe_engine_t *eng, const char *name, uint32_t *id) try {
    if (!zsim::engine_ok(eng) || !name || !id) return -1;
    std::lock_guard<std::mutex> g(eng->mu);
    auto it = eng->symbols.find(name);
    if (it == eng->symbols.end()) return -1;
    *id = it->second;
    return 0;
} ZSIM_CATCH(-1)

const char *zel_sim_engine_symbol_name(hwe_engine_t *eng, uint32_t id) try {
    if (!zsim::engine_ok(eng)) return nullptr;
    std::lock_guard<std::mutex> g(eng->mu);
    for (const auto &[name, sid] : eng->symbols)
        if (sid == id) return zsim::symbol_name(id);  // process-wide, never freed
    return nullptr;
} ZSIM_CATCH(nullptr)

}  // extern "C"
