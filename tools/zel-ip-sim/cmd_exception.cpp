// Commands about exception handlers: register one for a {domain, type}
// pair, remove it.
#include <string>

#include "cli.h"

namespace zcli {
namespace {

// exception add <domain> <type> nca <queue-id> [queue <q>]
// exception add <domain> <type> ph <bind-handle> <callback-id> [queue <q>]
// exception add <domain> <type> mpp <function>
Result exc_add(Session &s, Args &a) {
    auto domain = a.u32("domain");
    auto type = a.u32("type");
    if (!domain || !type) return Result::kUsage;
    zel_ip_exception_handler_t h{};
    h.domain = *domain;
    h.type = *type;
    std::string function;  // kept alive for the call
    if (a.accept("nca")) {
        auto q = a.u32("NCA queue id");
        if (!q) return Result::kUsage;
        h.action = ZEL_IP_EXC_SEND_TO_CPU_NCA;
        h.target.nca_queue = *q;
    } else if (a.accept("ph")) {
        auto handle = a.u32("bind handle");
        auto cb = a.u32("callback id", 0xff);
        if (!handle || !cb) return Result::kUsage;
        h.action = ZEL_IP_EXC_SEND_TO_CPU_PH;
        h.target.ph_handle = *handle;
        h.cb_fn_id = static_cast<uint8_t>(*cb);
    } else if (a.accept("mpp")) {
        auto fn = a.word("function name");
        if (!fn) return Result::kUsage;
        function = *fn;
        h.action = ZEL_IP_EXC_SEND_TO_MPP_FUNC;
        h.target.mpp_function = function.c_str();
    } else {
        s.usage_error("action: 'nca', 'ph' or 'mpp' expected");
        return Result::kUsage;
    }
    if (h.action != ZEL_IP_EXC_SEND_TO_MPP_FUNC && a.accept("queue")) {
        auto q = a.object(ObjType::kQueue, "queue");
        if (!q) return Result::kUsage;
        h.queue = *q;
    }
    if (!a.done()) return Result::kUsage;
    return s.check(zel_ip_exception_handler_register(s.module(), &h));
}

// exception del <domain> <type>
Result exc_del(Session &s, Args &a) {
    auto domain = a.u32("domain");
    auto type = a.u32("type");
    if (!domain || !type || !a.done()) return Result::kUsage;
    zel_ip_exception_handler_t h{};
    h.domain = *domain;
    h.type = *type;
    return s.check(zel_ip_exception_handler_unregister(s.module(), &h));
}

ZEL_CLI_COMMANDS(
    {"exception add",
     "<domain> <type> nca <queue-id> [queue <q>] | ph <handle> <callback> [queue <q>] | mpp <function>",
     "handle exceptions of a domain and type (zel_ip_exception_handler_register)", exc_add},
    {"exception del", "<domain> <type>",
     "stop handling exceptions of a domain and type (zel_ip_exception_handler_unregister)", exc_del});

}  // namespace
}  // namespace zcli
