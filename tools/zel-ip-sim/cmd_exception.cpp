// Commands about exception handlers: register one for a {domain, type}
// pair, remove it.
#include <string>

#include "cli.h"

namespace zcli {
namespace {

// exception add <domain> <type> nca <queue-id> [queue <q>]
// exception add <domain> <type> ph <bind-handle> <callback-id> [queue <q>]
// exception add <domain> <type> mpp <function>
Result exc_add(Session &s, const Parsed &p) {
    zel_ip_exception_handler_t h{};
    h.domain = p.u32("domain");
    h.type = p.u32("type");
    if (p.has("nca")) {
        h.action = ZEL_IP_EXC_SEND_TO_CPU_NCA;
        h.target.nca_queue = p.u32("nca");
    } else if (p.has("ph")) {
        h.action = ZEL_IP_EXC_SEND_TO_CPU_PH;
        h.target.ph_handle = p.u32("ph", 0);
        h.cb_fn_id = static_cast<uint8_t>(p.u32("ph", 1));
    } else {
        h.action = ZEL_IP_EXC_SEND_TO_MPP_FUNC;
        h.target.mpp_function = p.word("mpp").c_str();
        if (p.has("queue")) {
            s.usage_error("'queue' applies to nca and ph only");
            return Result::kUsage;
        }
    }
    h.queue = p.object("queue");
    return s.check(zel_ip_exception_handler_register(s.module(), &h));
}

Result exc_delete(Session &s, const Parsed &p) {
    zel_ip_exception_handler_t h{};
    h.domain = p.u32("domain");
    h.type = p.u32("type");
    return s.check(zel_ip_exception_handler_unregister(s.module(), &h));
}

Value domain_value() { return number("domain", "exception domain", 0, 3); }
Value type_value() { return number("type", "exception type", 0, 9); }

ZEL_CLI_COMMANDS(
    {"exception add",
     {{domain_value(), type_value()},
      {opt({"nca"}, {number("queue-id", "NCA queue id", 0, UINT32_MAX)}, "send to the CPU through an NCA queue")
           .required()
           .in_group("action"),
       opt({"ph"}, {number("handle", "bind handle", 0, UINT32_MAX), number("callback", "callback id", 0, 0xff)},
           "send to the CPU through a packet-handling bind handle")
           .required()
           .in_group("action"),
       opt({"mpp"}, {word("function", "function name")}, "hand to a named engine function").required().in_group("action"),
       opt({"queue"}, {object("q", "queue", {ObjType::kQueue})}, "nca, ph: pass this traffic-manager queue")}},
     "handle exceptions of a domain and type (zel_ip_exception_handler_register)", exc_add},
    {"exception delete", {{domain_value(), type_value()}, {}},
     "stop handling exceptions of a domain and type (zel_ip_exception_handler_unregister)", exc_delete});

}  // namespace
}  // namespace zcli
