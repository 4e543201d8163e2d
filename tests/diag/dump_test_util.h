// Helpers of the dump suite: entries and rules planted straight into the
// engine (so that a test controls every bit of a key and a value, malformed
// ones included), and the dumps' output captured.
#ifndef DUMP_TEST_UTIL_H
#define DUMP_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "tree/zel_ip_hw_catalogue.h"
#include "zel_ip/zel_ip.h"
#include "zel_sim.h"
#include "zel_test_fixture.h"

namespace dumptest {

// One key field: `bits` low bits of `value`, first field most significant.
struct F {
    uint32_t value;
    uint32_t bits;
};

inline hwe_action_t val(uint32_t w1, uint32_t w2 = 0) { return {HWE_ACTION_VALUE, w1, w2}; }
inline hwe_action_t fn(uint32_t fn_id) { return {HWE_ACTION_FUNC, fn_id, 0}; }

// An address's leading `len` bits as a key field.
inline F lead(uint32_t addr, uint32_t len) { return {len == 0 ? 0 : addr >> (32 - len), len}; }

// A pattern of `width` bits built from fields; freed with the object.
class Ptn {
public:
    explicit Ptn(uint32_t width, std::initializer_list<F> fields = {}) {
        EXPECT_EQ(zel_ptn_new(width, &p_), 0u);
        for (const F &f : fields) EXPECT_EQ(zel_ptn_extend(&p_, f.value, f.bits), 0u) << "field of " << f.bits;
    }
    ~Ptn() { zel_ptn_free(&p_); }
    Ptn(const Ptn &) = delete;
    Ptn &operator=(const Ptn &) = delete;
    zel_ptn_t *get() { return &p_; }

private:
    zel_ptn_t p_{};
};

// A platform and a started module: either the test fixture's, or one made
// on an image of the test's (Platform below).
class Planter {
public:
    Planter(zel_sim_t *sim) : eng_(zel_sim_engine(sim)) {}

    uint32_t tree_id(uint32_t index) const {
        uint32_t id = 0;
        EXPECT_EQ(zel_sim_engine_symbol_id(eng_, zel::ip::kTreeCatalogue[index].name, &id), 0);
        return id;
    }
    uint32_t symbol(const char *name) const {
        uint32_t id = 0;
        EXPECT_EQ(zel_sim_engine_symbol_id(eng_, name, &id), 0) << name;
        return id;
    }
    const char *name(uint32_t index) const { return zel::ip::kTreeCatalogue[index].name; }

    // Learn an entry of a single-pattern tree, key built field by field.
    void learn(uint32_t index, std::initializer_list<F> fields, const hwe_action_t &a) {
        Ptn key(zel::ip::kTreeCatalogue[index].width, fields);
        ASSERT_EQ(hwe_ptn_learn(eng_, tree_id(index), key.get(), &a), 0u) << name(index);
    }

    // Insert a rule into an OtreeSet: one pattern per field {value, len, width}.
    struct VF {
        uint32_t value;
        uint32_t len;
        uint32_t width;
    };
    void insert(uint32_t index, std::initializer_list<VF> fields, uint32_t rule_idx, const hwe_action_t &a) {
        std::vector<zel_ptn_t> ptns;
        for (const VF &f : fields) {
            zel_ptn_t p{};
            EXPECT_EQ(zel_ptn_new(f.width, &p), 0u);
            if (f.len) {
                EXPECT_EQ(zel_ptn_extend(&p, f.width == f.len ? f.value : f.value >> (f.width - f.len), f.len), 0u);
            }
            ptns.push_back(p);
        }
        zel_vptn_t key{static_cast<uint32_t>(ptns.size()), ptns.data()};
        EXPECT_EQ(hwe_ptn_otreeset_insert(eng_, tree_id(index), &key, rule_idx, &a), 0u) << name(index);
        for (zel_ptn_t &p : ptns) zel_ptn_free(&p);
    }

    // Insert a rule into an OVtreeSet: the set key ({} = any set), then ranges.
    void insert(uint32_t index, std::initializer_list<F> set_key, std::initializer_list<zel_rptn_t> ranges,
                uint32_t rule_idx, const hwe_action_t &a) {
        Ptn key(8, set_key);
        std::vector<zel_rptn_t> r(ranges);
        EXPECT_EQ(hwe_ptn_ovtreeset_insert(eng_, tree_id(index), key.get(), static_cast<uint32_t>(r.size()), r.data(),
                                           rule_idx, &a),
                  0u)
            << name(index);
    }

private:
    hwe_engine_t *eng_;
};

// Full range of a field and a single value.
inline zel_rptn_t any(uint32_t width) { return {width, 0, width >= 32 ? 0xffffffffu : (1u << width) - 1}; }
inline zel_rptn_t one(uint32_t width, uint32_t v) { return {width, v, v}; }
inline zel_rptn_t span(uint32_t width, uint32_t lo, uint32_t hi) { return {width, lo, hi}; }

// The rows of one tree in a dump (header line included), in order.
inline std::vector<std::string> rows_of(const std::string &dump, uint32_t index) {
    std::vector<std::string> out;
    const std::string lead = std::string(zel::ip::kTreeCatalogue[index].name) + ", ";
    for (const std::string &l : zel::test::lines_of(dump))
        if (l.compare(0, lead.size(), lead) == 0) out.push_back(l.substr(lead.size()));
    return out;
}

// The names of the trees whose header lines a table dump printed, in order.
inline std::vector<std::string> headers_of(const std::string &dump) {
    std::vector<std::string> out;
    std::vector<std::string> lines = zel::test::lines_of(dump);
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        if (lines[i].empty()) out.push_back(lines[i + 1].substr(0, lines[i + 1].find(", ")));
    return out;
}

// A platform on a given image with a started module (for rule-set trees
// without a key layout, which accept rules of any shape).
class Platform {
public:
    explicit Platform(const zel_sim_image_t *image) {
        sim_ = zel_sim_create(image);
        EXPECT_NE(sim_, nullptr);
        m_ = zel_sim_module_new(sim_, "zel_ip", ZEL_LOG_ERROR, 1);
        zel::test::StdoutCapture quiet;
        EXPECT_EQ(zel_ip_init(m_), 0u) << quiet.text();
    }
    ~Platform() {
        {
            zel::test::StdoutCapture quiet;
            EXPECT_EQ(zel_ip_shutdown(m_), 0u) << quiet.text();
        }
        zel_sim_module_free(m_);
        zel_sim_destroy(sim_);
    }
    Platform(const Platform &) = delete;
    Platform &operator=(const Platform &) = delete;

    zel_sim_t *sim() { return sim_; }
    zel_module_t *m() { return m_; }

private:
    zel_sim_t *sim_ = nullptr;
    zel_module_t *m_ = nullptr;
};

// What a dump call printed, and its status.
struct Dumped {
    uint32_t status;
    std::string text;
};
template <typename Call>
Dumped capture(Call &&call) {
    zel::test::StdoutCapture cap;
    uint32_t st = call();
    return {st, cap.text()};
}

}  // namespace dumptest

#endif  // DUMP_TEST_UTIL_H
