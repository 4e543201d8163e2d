// Log lines and trace records (see zel_ip_log.h for the formats).
#include "core/zel_ip_log.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace zel::ip {
namespace {

thread_local zel_sys_ctx_t *t_ctx_override = nullptr;
thread_local bool t_ctx_override_set = false;

const zel_sys_ctx_t *print_ctx(const zel_module_t *m) {
    return t_ctx_override_set ? t_ctx_override : m->sys_ctx;
}

struct LevelInfo {
    const char *word;
    uint32_t threshold;
    uint32_t event;
};
constexpr LevelInfo kLevels[] = {
    {"FATAL", ZEL_LOG_FATAL, 4},
    {"ERROR", ZEL_LOG_ERROR, 2},
    {"Warning", ZEL_LOG_WARNING, 6},
    {"info", ZEL_LOG_INFO, 0},
};
const LevelInfo &info(Level lv) { return kLevels[static_cast<int>(lv)]; }

struct TraceInfo {
    const char *tag;
    uint32_t mask_bit;
    uint32_t event;
};
constexpr TraceInfo kTraces[] = {
    {"ptn_learn", ZEL_LOG_PTN, 15},    {"ptn_unlearn", ZEL_LOG_PTN, 16},
    {"subnet_add", ZEL_LOG_SUBNET, 17}, {"subnet_delete", ZEL_LOG_SUBNET, 18},
    {"subnet_get", ZEL_LOG_SUBNET, 19}, {"vptn_learn", ZEL_LOG_PTN, 20},
    {"vptn_unlearn", ZEL_LOG_PTN, 21},  {"vptn_build", ZEL_LOG_PTN, 23},
    {"rptn_learn", ZEL_LOG_PTN, 24},    {"rptn_unlearn", ZEL_LOG_PTN, 25},
    {"se_write", ZEL_LOG_SE, 27},       {"se_read", ZEL_LOG_SE, 28},
};
const TraceInfo &info(Trace t) { return kTraces[static_cast<int>(t)]; }

constexpr uint32_t kEventEntry = 8;
constexpr uint32_t kEventExit = 9;

bool class_on(const zel_module_t *m, uint32_t bit) {
    const zel_sys_ctx_t *ctx = print_ctx(m);
    return (log_mask(m->log_level) & bit) || (ctx && (log_mask(ctx->log_level) & bit));
}

// Text of a message: formatted with its arguments, or as it stands.
std::string message_text(bool has_args, const char *fmt, va_list ap) {
    if (!has_args) return fmt;
    char small[512];
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, ap2);
    va_end(ap2);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string s(static_cast<size_t>(n), '\0');
    std::vsnprintf(s.data(), s.size() + 1, fmt, ap);
    return s;
}

// One console write per line, so lines of concurrent callers do not
// interleave; the framework decides where its console goes.
void emit(const char *name, const char *word, Site s, const std::string &msg, bool add_newline) {
    std::string line;
    line.reserve(msg.size() + 64);
    line += '[';
    line += name;
    line += "_log: ";
    line += word;
    line += "] ";
    line += s.file;
    line += ':';
    line += std::to_string(s.line);
    line += ' ';
    line += msg;
    if (add_newline && (msg.empty() || msg.back() != '\n')) line += '\n';
    zel_sys_log_write(line.data(), static_cast<uint32_t>(line.size()));
}

// The trace function of `event`, or NULL when nobody records it. Asked
// once per record, on every call: nothing else is done for a record that
// nobody takes (no argument list is set up).
zel_trace_fn_t trace_fn(zel_module_t *m, uint32_t event) {
    zel_trace_fn_t fn = nullptr;
    return zel_lttng_fn_ptr_get(m->trace_handle, event, &fn) == 0 ? fn : nullptr;
}

// Hand a record to the trace function `fn`.
void call_trace(zel_trace_fn_t fn, zel_module_t *m, Site s, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fn(m, static_cast<uint32_t>(s.line), s.file, fmt, ap);
    va_end(ap);
}

void trace_message(zel_module_t *m, uint32_t event, Site s, bool has_args, const char *fmt,
                   va_list ap) {
    zel_trace_fn_t fn = trace_fn(m, event);
    if (!fn) return;
    if (has_args) {
        va_list ap2;
        va_copy(ap2, ap);
        fn(m, static_cast<uint32_t>(s.line), s.file, fmt, ap2);
        va_end(ap2);
    } else {
        call_trace(fn, m, s, "%s", fmt);
    }
}

void vlog(zel_module_t *m, Level lv, Site s, bool has_args, const char *fmt, va_list ap) {
    const LevelInfo &li = info(lv);
    if (log_admits(m, li.threshold)) {
        va_list ap2;
        va_copy(ap2, ap);
        emit(m->name, li.word, s, message_text(has_args, fmt, ap2), !has_args);
        va_end(ap2);
    }
    trace_message(m, li.event, s, has_args, fmt, ap);
}

void vlog_anon(Site s, bool has_args, const char *fmt, va_list ap) {
    va_list ap2;
    va_copy(ap2, ap);
    emit("zel_unknown", "ERROR", s, message_text(has_args, fmt, ap2), !has_args);
    va_end(ap2);
    if (has_args) {
        std::string text = message_text(true, fmt, ap);
        zel_lttng_trace_sif_force_error(0, static_cast<uint32_t>(s.line), s.file, "%s",
                                        text.c_str());
    } else {
        zel_lttng_trace_sif_force_error(0, static_cast<uint32_t>(s.line), s.file, "%s", fmt);
    }
}

}  // namespace

SysCtxOverride::SysCtxOverride(zel_sys_ctx_t *ctx)
    : saved_(t_ctx_override), saved_set_(t_ctx_override_set) {
    t_ctx_override = ctx;
    t_ctx_override_set = true;
}

SysCtxOverride::~SysCtxOverride() {
    t_ctx_override = saved_;
    t_ctx_override_set = saved_set_;
}

bool log_admits(const zel_module_t *m, uint32_t threshold) {
    const zel_sys_ctx_t *ctx = print_ctx(m);
    return (ctx && (log_mask(ctx->log_level) & ZEL_LOG_LEVEL_MASK) >= threshold) ||
           (log_mask(m->log_level) & ZEL_LOG_LEVEL_MASK) >= threshold;
}

bool trace_wanted(zel_module_t *m, Trace t) {
    return class_on(m, info(t).mask_bit) || trace_fn(m, info(t).event);
}

void log_line(zel_module_t *m, Level lv, Site s, bool has_args, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog(m, lv, s, has_args, fmt, ap);
    va_end(ap);
}

void log_status_text(zel_module_t *m, Level lv, Site s, uint32_t status) {
    const char *text = zel_sys_status_get(m->sys_ctx, status);
    log_line(m, lv, s, true, "%s\n", text ? text : "");
}

void log_anon(Site s, bool has_args, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog_anon(s, has_args, fmt, ap);
    va_end(ap);
}

void log_function(zel_module_t *m, bool exiting, const char *fn, Site s) {
    if (class_on(m, ZEL_LOG_FUNC)) {
        hwe_time_t t{};
        hwe_gettime(&t);
        char msg[160];
        std::snprintf(msg, sizeof msg, "[%08lu:%08lu] %s %s\n", static_cast<unsigned long>(t.sec),
                      static_cast<unsigned long>(t.usec), exiting ? "Exiting" : "Entering", fn);
        emit(m->name, "function", s, msg, false);
    }
    if (zel_trace_fn_t f = trace_fn(m, exiting ? kEventExit : kEventEntry))
        call_trace(f, m, s, nullptr, fn);
}

void log_trace(zel_module_t *m, Trace t, Site s, const char *text) {
    const TraceInfo &ti = info(t);
    if (class_on(m, ti.mask_bit)) emit(m->name, ti.tag, s, text, false);
    if (zel_trace_fn_t f = trace_fn(m, ti.event)) call_trace(f, m, s, "%s", text);
}

uint32_t reject(zel_module_t *m, uint32_t status, Site s, bool has_args, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog(m, Level::kError, s, has_args, fmt, ap);
    va_end(ap);
    return status;
}

uint32_t fail(zel_module_t *m, Level lv, uint32_t status, Site s, bool has_args, const char *fmt,
              ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog(m, lv, s, has_args, fmt, ap);
    va_end(ap);
    log_status_text(m, lv, s, status);
    return status;
}

uint32_t fail_any(zel_module_t *m, Level lv, uint32_t status, Site s, bool has_args,
                  const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    if (module_handle_ok(m)) {
        vlog(m, lv, s, has_args, fmt, ap);
        log_status_text(m, lv, s, status);
    } else {
        vlog_anon(s, has_args, fmt, ap);
    }
    va_end(ap);
    return status;
}

uint32_t reject_anon(uint32_t status, Site s, bool has_args, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog_anon(s, has_args, fmt, ap);
    va_end(ap);
    return status;
}

void trace_pattern(zel_module_t *m, Trace t, Site s, uint32_t tree_id, const zel_ptn_t *key,
                   int extent, const hwe_action_t *action) {
    if (!trace_wanted(m, t)) return;
    // "<tree>: <key>[ <xsize = n>][ <action>]\n"
    char k[96], a[96], x[32] = "";
    zel_ptn_print(key, k, sizeof k);
    if (extent >= 0) std::snprintf(x, sizeof x, " <xsize = %d>", extent);
    std::string line = zel_sif_fps_map(tree_id);
    line += ": ";
    line += k;
    line += x;
    if (action) {
        zel_ptn_action_print(action, a, sizeof a);
        line += ' ';
        line += a;
    }
    line += '\n';
    log_trace(m, t, s, line.c_str());
}

void trace_vector(zel_module_t *m, Trace t, Site s, uint32_t tree_id, int rule_idx, const zel_vptn_t *key,
                  const hwe_action_t *action) {
    if (!trace_wanted(m, t)) return;
    char k[256], a[96], idx[24] = "";
    zel_vptn_print(key, k, sizeof k);
    if (rule_idx >= 0) std::snprintf(idx, sizeof idx, "(%d) ", rule_idx);
    std::string line = zel_sif_fps_map(tree_id);
    line += ": ";
    line += idx;
    line += k;
    if (action) {
        zel_ptn_action_print(action, a, sizeof a);
        line += ' ';
        line += a;
    }
    line += '\n';
    log_trace(m, t, s, line.c_str());
}

void trace_se(zel_module_t *m, Trace t, Site s, uint32_t ns_id, uint32_t index, const void *buf,
              uint32_t len) {
    if (!trace_wanted(m, t)) return;
    char head[48];
    std::snprintf(head, sizeof head, "NS ID 0x%08x idx %d: ", ns_id, static_cast<int>(index));
    std::string line = head;
    uint32_t need = zel_byte_string_print(buf, len, nullptr, 0);
    std::string bytes(need, '\0');
    zel_byte_string_print(buf, len, bytes.data(), need + 1);
    line += bytes;
    line += '\n';
    log_trace(m, t, s, line.c_str());
}

}  // namespace zel::ip
