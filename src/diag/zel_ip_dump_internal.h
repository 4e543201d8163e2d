// Table and tree dumps: the internal entry points, the row callbacks the
// engine's listing calls invoke, the row decoders and the dumps' one output
// helper.
//
// A dump composes each line in a bounded buffer (Text) and writes it to
// standard output in one write (dump_print), so a row never interleaves
// with another writer's line. The decoders read entries back with the
// tree codecs (tree/zel_ip_layout*.h); no width or bit position is
// restated here.
//
// Row shape. A decoder prints the key columns, then the value columns,
// each value column led by ", ". An entry it cannot decode gets a marker
// ("!!...!!") in place of the columns it cannot print, and the row ends
// there:
//   "!!Unexpected Pattern!!"   a key length the tree does not accept
//   "!!Parse Error!!"          the key cannot be split into its fields
//                              (trees 8, 9, 29: "!!Mask Parse Error!!";
//                              21, 22: "!!Pattern Parse Error!!")
//   "!!Unexpected Return!!"    an action kind the tree does not use (with a
//                              leading blank except on trees 0, 2, 8, 9,
//                              16 to 20, 27, 29, 34, 36)
//
// Locking: none of these takes the module lock; the dump API calls hold it
// for the whole dump, and the engine runs the row callbacks on the
// caller's thread inside its listing calls.
#ifndef ZEL_IP_DUMP_INTERNAL_H
#define ZEL_IP_DUMP_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "hwe.h"
#include "tree/zel_ip_tree_types.h"
#include "zel_fw.h"

namespace zel::ip::diag {

// Bytes of one composed line; the widest row (an ingress association with
// every field) takes about 250.
inline constexpr size_t kLineBytes = 1024;

// Appends text to a caller's buffer, never past its end and always
// NUL-terminated (when it has room for one); length() is what the whole
// text needs, as snprintf counts it.
class Text {
public:
    Text(char *buf, size_t size);
    void put(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void add(const char *text);  // plain text, no format
    size_t length() const { return len_; }
    // Bytes of the text actually in the buffer (a truncated text keeps
    // what fitted before its NUL).
    size_t kept() const { return len_ < size_ ? len_ : (size_ ? size_ - 1 : 0); }
    const char *c_str() const { return buf_; }

private:
    char *buf_;
    size_t size_;
    size_t len_ = 0;
};

// A line buffer with its Text (which points into it: not copyable).
struct Line {
    Line() = default;
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;
    char buf[kLineBytes];
    Text text{buf, sizeof buf};
};

// "%d.%d.%d.%d": a host-order address, most significant byte first.
void put_addr(Text &o, uint32_t a);

// The dumps' one output: `t` on standard output in one write (a truncated
// text is written as far as it was kept).
void dump_print(const Text &t);

// Rule-set decoders: the columns of one rule, or the tree's header line
// when the key (`key`, `set_key`) is NULL.
void ip_in_basic_filter_entry_dump(Text &o, uint32_t rule_idx, const zel_vptn_t *key,
                                   const hwe_action_t *value);
void ip_ext_filter_entry_dump(Text &o, uint32_t rule_idx, const zel_ptn_t *set_key,
                              uint32_t nranges, const zel_rptn_t *ranges,
                              const hwe_action_t *value);
void ip_pbr_lookup_entry_dump(Text &o, uint32_t rule_idx, const zel_ptn_t *set_key,
                              uint32_t nranges, const zel_rptn_t *ranges,
                              const hwe_action_t *value);

}  // namespace zel::ip::diag

extern "C" {

// What the row callbacks are handed: the tree being listed and whether its
// catch-all entry was printed already (cleared before each tree; the
// engine may report the catch-all more than once).
typedef struct zel_ip_dump_ctx {
    uint32_t index;                     // tree index
    const zel::ip::TreeRecord *tree;    // its catalogue record
    uint8_t catch_all_printed;
} zel_ip_dump_ctx_t;

// The table dump of zel_ip_tables_dump for a group already checked (1 to
// 0x7FF): trees 0 to 37 in index order but 33, 34 and 36, then 34, 36 and
// 33. Returns 0, or ZEL_E_TREE_DUMP (0x7E, no severity) after the first
// listing the engine refused (its message and "Failed to dump IPv4
// module's trees" logged at FATAL); what was printed before stays.
uint32_t zel_ipv4_dump_tables(zel_module_t *module, uint32_t group);

// The raw dump of zel_ip_fpl_trees_dump. Returns 0 or ZEL_E_TREE_DUMP as
// zel_ipv4_dump_tables does.
uint32_t zel_ipv4_dump_tree_info(zel_module_t *module);

// The decoded row of one entry of tree `index` (0 to 32 and 37; any other
// index gives no text), or the tree's header line when `key` is NULL.
// Writes at most `size` bytes (NUL included) to `out` and returns the
// length the whole text needs, as snprintf does. Reads the key with the
// framework's pattern parser; prints nothing itself.
uint32_t zel_ipv4_table_entry_dump(uint32_t index, const zel_ptn_t *key, const hwe_action_t *value,
                                   char *out, uint32_t size);

// Row callbacks; `ctx` is a zel_ip_dump_ctx_t. Each prints one line and
// returns 0 (the listing goes on).
//   table dump, single-pattern trees: "<name>, <decoded row>"
uint32_t zel_ip_table_entry_dump_fn(void *ctx, const zel_ptn_t *key, const hwe_action_t *value);
//   raw dump, single-pattern trees:   "<name>: <key> <value>"
uint32_t zel_ip_rules_list_fn(void *ctx, const zel_ptn_t *key, const hwe_action_t *value);
//   table dump, OtreeSet rules:       "<name>, <decoded rule>"
uint32_t zel_ip_ots_entry_dump_fn(void *ctx, uint32_t rule_idx, const zel_vptn_t *key,
                                  const hwe_action_t *value);
//   raw dump, OtreeSet rules:         "<name>: (<rule index>) <vector> <value>"
uint32_t zel_ip_otsrules_list_fn(void *ctx, uint32_t rule_idx, const zel_vptn_t *key,
                                 const hwe_action_t *value);
//   table dump, OVtreeSet rules:      "<name>, <decoded rule>"
uint32_t zel_ip_ovts_entry_dump_fn(void *ctx, uint32_t rule_idx, const zel_ptn_t *set_key,
                                   uint32_t nranges, const zel_rptn_t *ranges,
                                   const hwe_action_t *value);
//   raw dump, OVtreeSet rules:        "<name>: (<rule index>) <set key> <ranges> <value>"
uint32_t zel_ip_ovtsrules_list_fn(void *ctx, uint32_t rule_idx, const zel_ptn_t *set_key,
                                  uint32_t nranges, const zel_rptn_t *ranges,
                                  const hwe_action_t *value);

}  // extern "C"

#endif  // ZEL_IP_DUMP_INTERNAL_H
