// Tree compaction: one request as the framework makes it, and the
// framework's periodic compaction switched on for the rest of a script.
// Both print what the engine compacted, read from its compaction log.
#include <cinttypes>
#include <cstdio>

#include "cli.h"

namespace zcli {

namespace {

struct Totals {
    uint32_t trees = 0;
    uint64_t before = 0, after = 0;
};

// The engine's compactions from `from` on: summed, and one line each
// when `lines`.
Totals compactions_since(Session &s, uint64_t from, bool lines) {
    hwe_engine_t *eng = zel_sim_engine(s.sim());
    Totals t;
    const uint64_t to = zel_sim_engine_compaction_count(eng);
    for (uint64_t i = from; i < to; ++i) {
        zel_sim_compaction_t c{};
        if (zel_sim_engine_compaction_get(eng, i, &c) != 0) continue;
        if (lines) {
            if (c.status == 0)
                std::printf("  %s: %" PRIu64 " -> %" PRIu64 " bytes\n", zel_sif_fps_map(c.tree_id), c.bytes_before,
                            c.bytes_after);
            else
                std::printf("  %s: stopped (%s)\n", zel_sif_fps_map(c.tree_id), hwe_status_get(c.status));
        }
        if (c.status != 0) continue;
        ++t.trees;
        t.before += c.bytes_before;
        t.after += c.bytes_after;
    }
    return t;
}

// compact [flags <mask>] [callback]
Result compact(Session &s, const Parsed &p) {
    zel_compact_reg_t reg{};
    const uint32_t registered = zel_sim_compact_registration(s.sim(), &reg) ? reg.flag_mask : 0;
    const uint32_t mask = p.u32_or("flags", registered);
    hwe_engine_t *eng = zel_sim_engine(s.sim());
    const uint64_t from = zel_sim_engine_compaction_count(eng);
    const uint32_t st =
        zel_ip_compact_func(zel_sim_sys_ctx(s.sim()), mask, s.module(), p.has("callback") ? 1 : 0);
    std::printf("compaction, flags 0x%x%s:\n", mask, p.has("callback") ? ", with callback" : "");
    const Totals t = compactions_since(s, from, true);
    std::printf("compacted %u tree%s: %" PRIu64 " -> %" PRIu64 " bytes\n", t.trees, t.trees == 1 ? "" : "s",
                t.before, t.after);
    return s.check(st);
}

// compact auto <every-n-ops> [callback]
Result compact_auto(Session &s, const Parsed &p) {
    const uint32_t every = p.u32("ops");
    zel_sim_compact_auto(s.sim(), every, p.has("callback") ? 1 : 0);
    s.auto_compact(every != 0);
    return Result::kOk;
}

ZEL_CLI_COMMANDS(
    {"compact",
     {{},
      {opt({"flags"}, {number("mask", "flag mask", 0, UINT32_MAX)},
           "compact the trees whose flags share a bit with the mask (default: the registered mask)"),
       flag({"callback"}, "let the engine call back between chunks (the module lock is let go meanwhile)")}},
     "compact the lookup trees as the framework asks (zel_ip_compact_func); prints each tree's memory "
     "before and after",
     compact},
    {"compact auto",
     {{number("ops", "operations", 0, UINT32_MAX)},
      {flag({"callback"}, "with the progress callback")}},
     "have the framework compact the trees after every <ops> module operations for the rest of the run "
     "(0: off); prints a line per compaction",
     compact_auto});

}  // namespace

void poll_compaction(Session &s) {
    const uint64_t from = zel_sim_engine_compaction_count(zel_sim_engine(s.sim()));
    uint32_t st = 0;
    if (!zel_sim_compact_poll(s.sim(), &st)) return;
    const Totals t = compactions_since(s, from, false);
    std::printf("compact auto: %u tree%s, %" PRIu64 " -> %" PRIu64 " bytes", t.trees, t.trees == 1 ? "" : "s",
                t.before, t.after);
    if (st != 0) std::printf(", stopped: 0x%08x %s", st, s.status_name(st).c_str());
    std::printf("\n");
}

}  // namespace zcli
