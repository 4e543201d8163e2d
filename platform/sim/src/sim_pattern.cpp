// The framework's pattern builder, parser and printers.
//
// A key pattern holds its specified bits right-aligned in a 128-bit word
// behind `bits`: extend shifts the word left by the field width and ors
// the field in, so the first field ends up most significant, and `len`
// counts the specified leading bits. Raising `len` by one (as the module
// does for a subnet database, which is one bit wider than its tree) then
// reads as a 0 bit in front of the key: every covering relation between
// keys is kept and the empty key becomes the 1-bit prefix 0.
#include <cinttypes>
#include <cstdio>
#include <new>

#include "sim_fault.h"
#include "sim_pattern.h"
#include "zel_fw.h"

namespace zsim {

using u128 = unsigned __int128;

u128 ptn_value(const zel_ptn_t *p) {
    return p->bits ? static_cast<const PtnStore *>(p->bits)->v : 0;
}

int u128_hex(u128 v, char *out, size_t size) {
    uint64_t hi = static_cast<uint64_t>(v >> 64), lo = static_cast<uint64_t>(v);
    if (hi) return std::snprintf(out, size, "0x%" PRIx64 "%016" PRIx64, hi, lo);
    return std::snprintf(out, size, "0x%" PRIx64, lo);
}

}  // namespace zsim

using zsim::PtnStore;
using zsim::u128;

namespace {

// snprintf into a buffer that may be NULL or full; returns the length the
// text needs, as snprintf does.
struct Out {
    char *buf;
    size_t size;
    size_t len = 0;
    Out(char *b, uint32_t s) : buf(b), size(b ? s : 0) {}
    template <typename... A>
    void put(const char *fmt, A... a) {
        char *dst = len < size ? buf + len : nullptr;
        size_t room = len < size ? size - len : 0;
        int n = std::snprintf(dst, room, fmt, a...);
        if (n > 0) len += static_cast<size_t>(n);
    }
    // Plain text (no format), which clang's -Wformat-security wants apart.
    void put(const char *text) { put("%s", text); }
    void ptn(const zel_ptn_t *p) {
        if (!p || p->len == 0) {
            put("*");
            return;
        }
        char hex[40];
        zsim::u128_hex(zsim::ptn_value(p), hex, sizeof hex);
        put("%s/%u", hex, p->len);
    }
    uint32_t done() const { return static_cast<uint32_t>(len); }
};

}  // namespace

extern "C" {

uint32_t zel_ptn_new(uint32_t width, zel_ptn_t *ptn) try {
    ZSIM_FAULT_POINT();
    if (!ptn || width >= ZEL_PTN_MAX_BITS) return ZEL_E_INVALID_PARAM;
    auto *store = new (std::nothrow) PtnStore{};
    if (!store) return ZEL_E_NO_MEMORY;
    ptn->bits = store;
    ptn->width = width;
    ptn->len = 0;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_ptn_clear(zel_ptn_t *ptn) try {
    ZSIM_FAULT_POINT();
    if (!ptn || !ptn->bits) return ZEL_E_INVALID_PARAM;
    static_cast<PtnStore *>(ptn->bits)->v = 0;
    ptn->len = 0;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_ptn_extend(zel_ptn_t *ptn, uint32_t value, uint32_t bits) try {
    ZSIM_FAULT_POINT();
    if (!ptn || !ptn->bits || bits > 32 || ptn->len + bits > ptn->width)
        return ZEL_E_INVALID_PARAM;
    if (bits == 0) return 0;
    auto *s = static_cast<PtnStore *>(ptn->bits);
    uint32_t field = bits == 32 ? value : value & ((1u << bits) - 1);
    s->v = (s->v << bits) | field;
    ptn->len += bits;
    // The key may be complete: start loading its slots in the tree and the
    // database this buffer goes to (see PtnPair), and the line after each,
    // where the key's probe run often goes on. While a table resizes, its
    // old slots are read as well.
    const void *lines[4] = {zsim::home_address(s->pair.tree, s->v, ptn->len, false),
                            zsim::home_address(s->pair.db, s->v, ptn->len + 1, false),
                            zsim::home_address(s->pair.tree, s->v, ptn->len, true),
                            zsim::home_address(s->pair.db, s->v, ptn->len + 1, true)};
    for (const void *line : lines)
        if (line) zsim::prefetch_run_lines(line);
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_ptn_free(zel_ptn_t *ptn) try {
    ZSIM_FAULT_POINT();
    if (!ptn) return ZEL_E_INVALID_PARAM;
    delete static_cast<PtnStore *>(ptn->bits);
    ptn->bits = nullptr;
    ptn->len = 0;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_ptn_parse(const zel_ptn_t *ptn, uint32_t nfields, const uint32_t *widths,
                       uint32_t *values) try {
    ZSIM_OBSERVE_POINT();
    if (!ptn || (nfields && (!widths || !values))) return ZEL_E_INVALID_PARAM;
    uint32_t total = 0;
    for (uint32_t i = 0; i < nfields; ++i) {
        if (widths[i] > 32) return ZEL_E_INVALID_PARAM;
        total += widths[i];
    }
    if (total != ptn->len) return ZEL_E_INVALID_PARAM;
    u128 v = zsim::ptn_value(ptn);
    uint32_t shift = total;
    for (uint32_t i = 0; i < nfields; ++i) {
        shift -= widths[i];
        u128 f = v >> shift;
        values[i] = widths[i] == 0 ? 0
                                   : static_cast<uint32_t>(f) &
                                         (widths[i] == 32 ? 0xffffffffu : (1u << widths[i]) - 1);
    }
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_ptn_print(const zel_ptn_t *ptn, char *out, uint32_t size) try {
    ZSIM_COUNT_POINT();
    Out o(out, size);
    o.ptn(ptn);
    return o.done();
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_ptn_action_print(const hwe_action_t *a, char *out, uint32_t size) try {
    ZSIM_COUNT_POINT();
    Out o(out, size);
    if (!a) {
        o.put("(null)");
    } else if (a->kind == HWE_ACTION_FUNC) {
        o.put("fn 0x%x", a->w1);
    } else {
        o.put("kind %u 0x%06x 0x%06x", a->kind, a->w1, a->w2);
    }
    return o.done();
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_vptn_print(const zel_vptn_t *v, char *out, uint32_t size) try {
    ZSIM_COUNT_POINT();
    Out o(out, size);
    o.put("{");
    for (uint32_t i = 0; v && i < v->count; ++i) {
        if (i) o.put(" ");
        o.ptn(&v->ptns[i]);
    }
    o.put("}");
    return o.done();
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_rptn_print(uint32_t count, const zel_rptn_t *r, char *out, uint32_t size) try {
    ZSIM_COUNT_POINT();
    Out o(out, size);
    o.put("[");
    for (uint32_t i = 0; r && i < count; ++i) o.put(i ? " 0x%x-0x%x" : "0x%x-0x%x", r[i].lo, r[i].hi);
    o.put("]");
    return o.done();
} ZSIM_CATCH(::zsim::boundary_status(__func__))

}  // extern "C"
