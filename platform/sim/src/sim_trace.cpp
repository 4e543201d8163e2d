// The framework's trace channel and console. While a test or tool
// records, the trace function of every event stores the record (event,
// source line and file, whether it had a format, the formatted text); a
// trace sink takes the records of the events it asked for as they are
// made (the tool takes the module's error messages so). Otherwise the
// channel hands out no function and tracing costs the module one lookup.
// The console writes a module's log lines to standard output, or hands
// them to the sink a tool set (the tool sends them to standard error).
#include <array>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

#include "sim_fault.h"
#include "zel_sim.h"

namespace {

struct Rec {
    uint32_t event;
    uint32_t line;
    std::string file;
    bool has_format;
    std::string text;
    bool forced;
};

struct Recorder {
    std::mutex mu;
    std::deque<Rec> recs;
};
Recorder &rec() {
    static Recorder r;
    return r;
}
// Whether anybody records: read on every trace lookup, so it is a plain
// flag rather than behind the recorder's guarded construction.
std::atomic<bool> g_recording{false};

// The trace sink and the events it takes (0: none), and the console sink.
struct Sinks {
    std::mutex mu;
    zel_sim_trace_sink_t trace = nullptr;
    void *trace_user = nullptr;
    zel_sim_log_sink_t log = nullptr;
    void *log_user = nullptr;
};
Sinks &sinks() {
    static Sinks s;
    return s;
}
std::atomic<uint32_t> g_sink_events{0};
std::atomic<bool> g_log_sink{false};

bool wanted(uint32_t event) {
    return g_recording.load(std::memory_order_relaxed) ||
           (event < 32 && (g_sink_events.load(std::memory_order_relaxed) >> event & 1u));
}

std::string vformat(const char *fmt, va_list ap) {
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap2);
    va_end(ap2);
    std::string s(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(s.data(), s.size() + 1, fmt, ap);
    return s;
}

void store(uint32_t event, uint32_t line, const char *file, const char *fmt, va_list ap,
           bool forced) {
    Rec r{event, line, file ? file : "", fmt != nullptr, {}, forced};
    if (fmt) {
        r.text = vformat(fmt, ap);
    } else {
        // Entry and exit records carry the function name as their argument.
        const char *fn = va_arg(ap, const char *);
        r.text = fn ? fn : "";
    }
    if (event < 32 && (g_sink_events.load(std::memory_order_relaxed) >> event & 1u)) {
        Sinks &S = sinks();
        std::lock_guard<std::mutex> g(S.mu);
        if (S.trace) S.trace(S.trace_user, event, r.text.c_str());
    }
    if (!g_recording.load(std::memory_order_relaxed)) return;
    Recorder &R = rec();
    std::lock_guard<std::mutex> g(R.mu);
    R.recs.push_back(std::move(r));
}

// One trace function per event number: the event is part of the record.
template <uint32_t E>
void trace_fn(void *, uint32_t line, const char *file, const char *fmt, va_list ap) {
    store(E, line, file, fmt, ap, false);
}

template <uint32_t... E>
constexpr std::array<zel_trace_fn_t, sizeof...(E)> trace_fns(std::integer_sequence<uint32_t, E...>) {
    return {&trace_fn<E>...};
}

constexpr uint32_t kEvents = 32;
constexpr auto kTraceFns = trace_fns(std::make_integer_sequence<uint32_t, kEvents>{});

}  // namespace

extern "C" {

uint32_t zel_lttng_fn_ptr_get(uint32_t trace, uint32_t event, zel_trace_fn_t *fn) try {
    ZSIM_OBSERVE_POINT();
    (void)trace;
    if (!fn || event >= kEvents) return ZEL_E_INVALID_PARAM;
    *fn = wanted(event) ? kTraceFns[event] : nullptr;
    return 0;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

void zel_lttng_trace_sif_force_error(uint32_t zero, uint32_t line, const char *file,
                                     const char *fmt, ...) try {
    ZSIM_COUNT_POINT();
    (void)zero;
    if (!wanted(2)) return;
    va_list ap;
    va_start(ap, fmt);
    store(2, line, file, fmt, ap, true);
    va_end(ap);
} ZSIM_CATCH_VOID

uint32_t zel_byte_string_print(const void *buf, uint32_t len, char *out, uint32_t size) try {
    ZSIM_COUNT_POINT();
    const auto *b = static_cast<const unsigned char *>(buf);
    // Bytes in hex, a blank between bytes: 3 characters per byte.
    uint32_t need = len ? len * 3 - 1 : 0;
    if (out && size) {
        uint32_t n = 0;
        for (uint32_t i = 0; i < len && n + 3 <= size; ++i) {
            std::snprintf(out + n, size - n, i ? " %02x" : "%02x", b ? b[i] : 0);
            n += i ? 3 : 2;
        }
        out[n < size ? n : size - 1] = '\0';
    }
    return need;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

void zel_sys_log_write(const char *text, uint32_t len) try {
    ZSIM_COUNT_POINT();
    if (!text) return;
    if (g_log_sink.load(std::memory_order_acquire)) {
        Sinks &S = sinks();
        std::lock_guard<std::mutex> g(S.mu);
        if (S.log) {
            S.log(S.log_user, text, len);
            return;
        }
    }
    std::fwrite(text, 1, len, stdout);
} ZSIM_CATCH_VOID

void zel_sim_log_sink_set(zel_sim_log_sink_t sink, void *user) try {
    Sinks &S = sinks();
    std::lock_guard<std::mutex> g(S.mu);
    S.log = sink;
    S.log_user = user;
    g_log_sink.store(sink != nullptr, std::memory_order_release);
} ZSIM_CATCH_VOID

void zel_sim_trace_sink_set(uint32_t event_mask, zel_sim_trace_sink_t sink, void *user) try {
    Sinks &S = sinks();
    std::lock_guard<std::mutex> g(S.mu);
    S.trace = sink;
    S.trace_user = user;
    g_sink_events.store(sink ? event_mask : 0u, std::memory_order_relaxed);
} ZSIM_CATCH_VOID

void zel_sim_trace_record(int on) try {
    Recorder &R = rec();
    std::lock_guard<std::mutex> g(R.mu);
    if (on) R.recs.clear();
    g_recording.store(on != 0);
} ZSIM_CATCH_VOID

uint32_t zel_sim_trace_count(void) try {
    Recorder &R = rec();
    std::lock_guard<std::mutex> g(R.mu);
    return static_cast<uint32_t>(R.recs.size());
} ZSIM_CATCH(::zsim::boundary_status(__func__))

int zel_sim_trace_get(uint32_t index, zel_sim_trace_rec_t *out) try {
    Recorder &R = rec();
    std::lock_guard<std::mutex> g(R.mu);
    if (index >= R.recs.size() || !out) return 0;
    const Rec &r = R.recs[index];
    out->event = r.event;
    out->line = r.line;
    out->file = r.file.c_str();
    out->has_format = r.has_format;
    out->text = r.text.c_str();
    out->forced = r.forced;
    return 1;
} ZSIM_CATCH(0)

}  // extern "C"
