// Log lines and trace records of the module.
//
// A message of level L is printed on standard output as
//     "[<name>_log: <LEVEL>]" " <file>:<line> " <message>
// when the system context's mask or the module's log_level has verbosity
// (bits 0-3) of at least L (FATAL 1, ERROR 3, Warning 7, info 15); lines
// of a trace class (entry/exit, patterns, state engine, subnet databases)
// when the class bit is set in either mask. Independently of printing,
// every message goes to the trace channel with its event number. When no
// valid module is at hand the anonymous form "[zel_unknown_log: ERROR]"
// is always printed and force-traced.
//
// A message without arguments is written as it stands, with a newline
// added when it has none; a message with arguments is formatted as given.
// The macros below capture the source file's base name and line.
#ifndef ZEL_IP_LOG_H
#define ZEL_IP_LOG_H

#include <cstdint>

#include "hwe.h"
#include "zel_fw.h"

namespace zel::ip {

enum class Level : uint8_t { kFatal, kError, kWarning, kInfo };

// Trace classes with their tags and event numbers.
enum class Trace : uint8_t {
    kPtnLearn,     // "ptn_learn", event 15, mask bit 0x40
    kPtnUnlearn,   // "ptn_unlearn", 16
    kSubnetAdd,    // "subnet_add", 17, mask bit 0x100
    kSubnetDelete, // "subnet_delete", 18
    kSubnetGet,    // "subnet_get", 19
    kVptnLearn,    // "vptn_learn", 20, 0x40
    kVptnUnlearn,  // "vptn_unlearn", 21
    kVptnBuild,    // "vptn_build", 23
    kRptnLearn,    // "rptn_learn", 24
    kRptnUnlearn,  // "rptn_unlearn", 25
    kSeWrite,      // "se_write", 27, mask bit 0x80
    kSeRead,       // "se_read", 28
};

// A log mask (the module's log_level, the system context's) is written by
// the log-level operations under the module lock and read by every call's
// print tests, some before the lock (the entry line): one word, accessed
// atomically, relaxed (a call sees the old or the new mask).
inline uint32_t log_mask(const uint32_t &word) { return __atomic_load_n(&word, __ATOMIC_RELAXED); }
inline void set_log_mask(uint32_t &word, uint32_t mask) { __atomic_store_n(&word, mask, __ATOMIC_RELAXED); }

// A module handle that can be followed (the framework's magic).
inline bool module_handle_ok(const zel_module_t *m) { return m && m->magic == ZEL_MODULE_MAGIC; }

struct Site {
    const char *file;
    int line;
};

// Print test for a verbosity threshold (1, 3, 7 or 15).
bool log_admits(const zel_module_t *m, uint32_t threshold);
// True when trace class `t` prints or is recorded (worth composing).
bool trace_wanted(zel_module_t *m, Trace t);

void log_line(zel_module_t *m, Level lv, Site s, bool has_args, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
// The framework's text for `status`, as its own line under the same test.
void log_status_text(zel_module_t *m, Level lv, Site s, uint32_t status);
void log_anon(Site s, bool has_args, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// "[%08lu:%08lu] Entering %s\n" / "Exiting %s\n" (level word "function").
void log_function(zel_module_t *m, bool exiting, const char *fn, Site s);
// A trace-class line whose text the caller composed (no format of its own).
void log_trace(zel_module_t *m, Trace t, Site s, const char *text);

// Failure shapes; each logs and returns `status` unchanged.
uint32_t reject(zel_module_t *m, uint32_t status, Site s, bool has_args, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
uint32_t fail(zel_module_t *m, Level lv, uint32_t status, Site s, bool has_args,
              const char *fmt, ...) __attribute__((format(printf, 6, 7)));
uint32_t reject_anon(uint32_t status, Site s, bool has_args, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
// As fail() with a module handle that can be followed; otherwise (an
// exported call handed a bad module) the message in the anonymous form.
uint32_t fail_any(zel_module_t *m, Level lv, uint32_t status, Site s, bool has_args,
                  const char *fmt, ...) __attribute__((format(printf, 6, 7)));

// Trace-class helpers for tree programming and state memory.
void trace_pattern(zel_module_t *m, Trace t, Site s, uint32_t tree_id, const zel_ptn_t *key,
                   int extent, const hwe_action_t *action);
// A rule of a rule-set tree: "<tree>: [(<rule_idx>) ]<vector key>[ <action>]\n"
// (rule_idx < 0: none, for a build).
void trace_vector(zel_module_t *m, Trace t, Site s, uint32_t tree_id, int rule_idx, const zel_vptn_t *key,
                  const hwe_action_t *action);
void trace_se(zel_module_t *m, Trace t, Site s, uint32_t ns_id, uint32_t index, const void *buf,
              uint32_t len);

// Replaces the system context in print tests on this thread while alive
// (an operation called with a context of its own).
class SysCtxOverride {
public:
    explicit SysCtxOverride(zel_sys_ctx_t *ctx);
    ~SysCtxOverride();
    SysCtxOverride(const SysCtxOverride &) = delete;
    SysCtxOverride &operator=(const SysCtxOverride &) = delete;

private:
    zel_sys_ctx_t *saved_;
    bool saved_set_;
};

}  // namespace zel::ip

#define ZEL_SITE (::zel::ip::Site{__FILE_NAME__, __LINE__})
#define ZEL_HAS_ARGS(...) (false __VA_OPT__(|| true))

// Log a message at a level: ZLOG_ERROR(m, "Bad value %d\n", v);
#define ZLOG(m, lv, fmt, ...) \
    ::zel::ip::log_line((m), (lv), ZEL_SITE, ZEL_HAS_ARGS(__VA_ARGS__), fmt __VA_OPT__(, ) __VA_ARGS__)
#define ZLOG_FATAL(m, fmt, ...) ZLOG(m, ::zel::ip::Level::kFatal, fmt __VA_OPT__(, ) __VA_ARGS__)
#define ZLOG_ERROR(m, fmt, ...) ZLOG(m, ::zel::ip::Level::kError, fmt __VA_OPT__(, ) __VA_ARGS__)
#define ZLOG_WARN(m, fmt, ...) ZLOG(m, ::zel::ip::Level::kWarning, fmt __VA_OPT__(, ) __VA_ARGS__)
#define ZLOG_INFO(m, fmt, ...) ZLOG(m, ::zel::ip::Level::kInfo, fmt __VA_OPT__(, ) __VA_ARGS__)
#define ZLOG_STATUS(m, lv, status) ::zel::ip::log_status_text((m), (lv), ZEL_SITE, (status))

// Validation failure: ERROR message, `status` returned (it carries its
// severity already).
#define ZREJECT(m, status, fmt, ...) \
    ::zel::ip::reject((m), (status), ZEL_SITE, ZEL_HAS_ARGS(__VA_ARGS__), fmt __VA_OPT__(, ) __VA_ARGS__)
// Failure with a status: message at `lv`, then the framework's text of
// `status`, which is returned.
#define ZFAIL(m, lv, status, fmt, ...)                                                 \
    ::zel::ip::fail((m), (lv), (status), ZEL_SITE, ZEL_HAS_ARGS(__VA_ARGS__), \
                    fmt __VA_OPT__(, ) __VA_ARGS__)
#define ZFAIL_FATAL(m, status, fmt, ...) ZFAIL(m, ::zel::ip::Level::kFatal, status, fmt __VA_OPT__(, ) __VA_ARGS__)
#define ZFAIL_ERROR(m, status, fmt, ...) ZFAIL(m, ::zel::ip::Level::kError, status, fmt __VA_OPT__(, ) __VA_ARGS__)
// ZFAIL_ERROR, or its anonymous form when `m` cannot be followed.
#define ZFAIL_ERROR_ANY(m, status, fmt, ...)                                                   \
    ::zel::ip::fail_any((m), ::zel::ip::Level::kError, (status), ZEL_SITE, ZEL_HAS_ARGS(__VA_ARGS__), \
                        fmt __VA_OPT__(, ) __VA_ARGS__)
// Argument check reported in the anonymous form.
#define ZREJECT_ANON(status, fmt, ...) \
    ::zel::ip::reject_anon((status), ZEL_SITE, ZEL_HAS_ARGS(__VA_ARGS__), fmt __VA_OPT__(, ) __VA_ARGS__)

#endif  // ZEL_IP_LOG_H
