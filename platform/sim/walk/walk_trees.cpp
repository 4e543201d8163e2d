#include "walk_trees.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "diag/zel_ip_dump_internal.h"
#include "tree/zel_ip_hw_catalogue.h"
#include "tree/zel_ip_layout.h"
#include "zel_sim_engine.h"

namespace zsim::walk::detail {

namespace lay = zel::ip::layout;

std::string addr_text(uint32_t a) {
    char b[20];
    std::snprintf(b, sizeof b, "%u.%u.%u.%u", a >> 24, a >> 16 & 0xff, a >> 8 & 0xff, a & 0xff);
    return b;
}

const char *Trees::name(uint32_t index) { return zel::ip::kTreeCatalogue[index].name; }

uint32_t Trees::id_of(uint32_t index, uint32_t *id) {
    if (index >= zel::ip::kNumTrees) return HWE_E_PARAM;
    // Symbol ids are the same for a name in every engine of the process
    // (never 0), so one cache serves all walks; an engine whose image
    // lacks the tree refuses the lookup by id instead.
    static std::atomic<uint32_t> ids[zel::ip::kNumTrees];
    uint32_t v = ids[index].load(std::memory_order_relaxed);
    if (v == 0) {
        if (zel_sim_engine_symbol_id(eng_, name(index), &v) != 0) return HWE_E_NOT_FOUND;
        ids[index].store(v, std::memory_order_relaxed);
    }
    *id = v;
    return HWE_OK;
}

uint32_t Trees::lookup(uint32_t index, std::initializer_list<uint32_t> vals, Hit *h, Key *used) {
    const lay::KeyLayout &kl = lay::key_layout(index);
    if (vals.size() > kl.nfields || vals.size() > Key::kMax) return HWE_E_KEY;
    Key own;
    Key &k = used ? *used : own;
    k.n = 0;
    uint32_t len = 0;
    for (uint32_t v : vals) {
        const uint32_t w = kl.fields[k.n].width;
        k.v[k.n] = v;
        k.w[k.n++] = w;
        len += w;
    }
    return query(index, kl.width, k, len, h);
}

uint32_t Trees::lookup(uint32_t index, const Key &k, Hit *h) {
    uint32_t len = 0;
    for (uint32_t i = 0; i < k.n; ++i) len += k.w[i];
    return query(index, lay::key_layout(index).width, k, len, h);
}

uint32_t Trees::query(uint32_t index, uint32_t width, const Key &k, uint32_t len, Hit *h) {
    uint32_t id = 0;
    if (uint32_t st = id_of(index, &id)) return st;
    *h = Hit{};
    if (len >= width) return zel_sim_engine_lookup_fields(eng_, id, k.n, k.v, k.w, &h->a, &h->depth);
    // The engine wants the whole key: pad with wildcard bits.
    Key full = k;
    while (len < width) {
        const uint32_t n = std::min<uint32_t>(32, width - len);
        full.add(0, n);
        len += n;
    }
    return zel_sim_engine_lookup_fields(eng_, id, full.n, full.v, full.w, &h->a, &h->depth);
}

uint32_t Trees::classify(uint32_t index, const uint32_t *values, uint32_t n, hwe_action_t *a, uint32_t *rule) {
    uint32_t id = 0;
    if (uint32_t st = id_of(index, &id)) return st;
    return zel_sim_engine_classify(eng_, id, n, values, a, rule);
}

std::string Trees::row(uint32_t index, const Key &k, const Hit &h) {
    const uint32_t width = lay::key_layout(index).width;
    zel_ptn_t key{};
    if (zel_ptn_new(width, &key) != 0) return "?";
    uint32_t st = zel_ptn_clear(&key);
    // The leading `depth` bits of the key the lookup used.
    uint32_t left = h.depth;
    for (uint32_t i = 0; i < k.n && left && st == 0; ++i) {
        const uint32_t take = std::min(left, k.w[i]);
        const uint32_t v = take == k.w[i] ? k.v[i] : k.v[i] >> (k.w[i] - take);
        st = zel_ptn_extend(&key, take == 32 ? v : v & ((1u << take) - 1), take);
        left -= take;
    }
    // A listing gives value entries as kind 0; the decoders read them so.
    hwe_action_t a = h.a;
    if (a.kind == HWE_ACTION_VALUE) a.kind = HWE_ACTION_NONE;
    char out[zel::ip::diag::kLineBytes] = "";
    if (st == 0) zel_ipv4_table_entry_dump(index, &key, &a, out, sizeof out);
    zel_ptn_free(&key);
    return st == 0 ? out : "?";
}

std::string Trees::function_name(uint32_t id) const {
    const char *n = zel_sim_engine_symbol_name(eng_, id);
    if (n) return n;
    char b[16];
    std::snprintf(b, sizeof b, "0x%x", id);
    return b;
}

std::string Trees::key_text(uint32_t index, const Key &k) {
    const lay::KeyLayout &kl = lay::key_layout(index);
    std::string s;
    char b[64];
    for (uint32_t i = 0; i < k.n; ++i) {
        const char *fname = i < kl.nfields ? kl.fields[i].name : "";
        // Addresses dotted, identifiers in hex as the dumps show them,
        // other fields (ports, protocols, DSCP) in decimal.
        const std::string f = fname;
        const bool id = f != "VRD-ID" && (f.find("ID") != std::string::npos || f.find("INTF") != std::string::npos);
        if (k.w[i] == 32)
            std::snprintf(b, sizeof b, "%s%s %s", i ? ", " : "", fname, addr_text(k.v[i]).c_str());
        else
            std::snprintf(b, sizeof b, id ? "%s%s 0x%x" : "%s%s %u", i ? ", " : "", fname, k.v[i]);
        s += b;
    }
    return s;
}

}  // namespace zsim::walk::detail
