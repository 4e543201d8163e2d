// The walk's door to the engine model: lookups by tree index, rule-set
// classification, and hits decoded as the table dump decodes them.
#ifndef ZEL_SIM_WALK_TREES_H
#define ZEL_SIM_WALK_TREES_H

#include <cstdint>
#include <string>
#include <vector>

#include "hwe.h"
#include "tree/zel_ip_tree.h"

namespace zsim::walk::detail {

// What a single-pattern lookup found: the action and the length of the
// pattern that wrote it (0: the tree's catch-all, i.e. its default).
struct Hit {
    hwe_action_t a{};
    uint32_t depth = 0;
    bool function() const { return a.kind == HWE_ACTION_FUNC; }
};

// A key given field by field: values (an address field: the whole 32-bit
// address) and widths, first field most significant.
struct Key {
    static constexpr uint32_t kMax = 12;  // tree 8: MASK, 7 fields, padding
    uint32_t n = 0;
    uint32_t v[kMax], w[kMax];  // the first n are set (a key is built per lookup)
    Key() = default;
    Key(const Key &o) : n(o.n) {
        for (uint32_t i = 0; i < n; ++i) v[i] = o.v[i], w[i] = o.w[i];
    }
    Key &operator=(const Key &o) {
        n = o.n;
        for (uint32_t i = 0; i < n; ++i) v[i] = o.v[i], w[i] = o.w[i];
        return *this;
    }
    Key &add(uint32_t value, uint32_t width) {
        if (n < kMax) {
            v[n] = value;
            w[n++] = width;
        }
        return *this;
    }
};

class Trees {
public:
    explicit Trees(hwe_engine_t *eng) : eng_(eng) {}

    hwe_engine_t *engine() const { return eng_; }

    // The catalogue name of tree `index`.
    static const char *name(uint32_t index);

    // A single-pattern tree looked up with its layout's fields (`vals` one
    // per field) or with an explicit key (tree 8: MASK and selected fields).
    uint32_t lookup(uint32_t index, std::initializer_list<uint32_t> vals, Hit *h, Key *used = nullptr);
    uint32_t lookup(uint32_t index, const Key &k, Hit *h);

    // A rule-set tree: the first compiled rule matching `values` (the set
    // field first), or the default with *rule = ZEL_SIM_NO_RULE.
    uint32_t classify(uint32_t index, const uint32_t *values, uint32_t n, hwe_action_t *a, uint32_t *rule);
    uint32_t classify(uint32_t index, std::initializer_list<uint32_t> values, hwe_action_t *a, uint32_t *rule) {
        return classify(index, values.begin(), static_cast<uint32_t>(values.size()), a, rule);
    }

    // The hit as the table dump prints its row: the key columns of the
    // pattern that wrote it, then the value columns.
    std::string row(uint32_t index, const Key &k, const Hit &h);

    // The name of a function entry's function, or its id in hex.
    std::string function_name(uint32_t id) const;

    // "<FIELD> <value>, ..." of a key, for the stage line.
    static std::string key_text(uint32_t index, const Key &k);

    // The engine's id of tree `index`.
    uint32_t id_of(uint32_t index, uint32_t *id);

private:
    // Looks up key `k` of `len` bits in tree `index` of `width` bits.
    uint32_t query(uint32_t index, uint32_t width, const Key &k, uint32_t len, Hit *h);

    hwe_engine_t *eng_;
};

// "a.b.c.d"
std::string addr_text(uint32_t a);

}  // namespace zsim::walk::detail

#endif  // ZEL_SIM_WALK_TREES_H
