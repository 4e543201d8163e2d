// Commands about the module as a whole and CPU traffic: the default TTL,
// the service-function update, receive metadata decoded from a packet
// dump, and PDU send with the send header it produced.
#include <cctype>
#include <cstdio>
#include <string>

#include "cli.h"

namespace zcli {
namespace {

Result ttl(Session &s, const Parsed &p) {
    return s.check(zel_ip_default_ttl_config(s.module(), static_cast<uint8_t>(p.u32("ttl"))));
}

Result service_update(Session &s, const Parsed &) { return s.check(zel_ip_service_function_update(s.module())); }

// recv decode <hex bytes>: the 20 metadata bytes as a packet dump shows
// them, in one word or several ("0a0b..", "0a 0b ..", "0a:0b:.."; a
// leading 0x is skipped), printed as
//   eioa-port <n> type <n> c 0x<6> d 0x<6> a 0x<8> b 0x<8> e 0x<2> f 0x<2> g <n> d16 0x<4>
Result recv_decode(Session &s, const Parsed &p) {
    std::string hex;
    for (std::string w : p.words("bytes")) {
        if (w.size() > 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X')) w = w.substr(2);
        for (char ch : w) {
            if (ch == ':' || ch == '-' || ch == '.') continue;
            if (!std::isxdigit(static_cast<unsigned char>(ch))) {
                s.usage_error("metadata: " + quote(w) + " is not hex bytes");
                return Result::kUsage;
            }
            hex += ch;
        }
    }
    zel_ip_cpu_recv_meta_t meta{};
    if (hex.size() != 2 * sizeof meta) {
        s.usage_error("metadata: " + std::to_string(sizeof meta) + " bytes needed, " + std::to_string(hex.size() / 2) +
                      (hex.size() % 2 ? " and a half" : "") + " given");
        return Result::kUsage;
    }
    auto *b = reinterpret_cast<uint8_t *>(&meta);
    for (size_t i = 0; i < sizeof meta; ++i) b[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    zel_ip_cpu_recv_params_t r{};
    Result res = s.check(zel_ip_cpu_recv_task_param(s.module(), &meta, &r));
    if (res != Result::kOk) return res;
    std::printf("eioa-port %u type %u c 0x%06x d 0x%06x a 0x%08x b 0x%08x e 0x%02x f 0x%02x g %u d16 0x%04x\n",
                r.eioa_port, r.type_code, r.value_c, r.value_d, r.word_a, r.word_b, r.byte_e, r.byte_f, r.value_g,
                r.value_d16);
    return Result::kOk;
}

// pdu send <type> [value <n>] [flow <name>] [vrd <name>] [ph <w0> <w1>]
//          [p <n>] [q <n>] [r <n>] [s <n>] [t <n>] [u <n>] [v <n>]
// sends two placeholder PDUs and prints the send header the
// packet-handling service received, 32 bytes a line:
//   send header  0: ffffff00 00000000 ...
//   send header 32: ...
Result pdu_send(Session &s, const Parsed &p) {
    static uint8_t pdu1[64], pdu2[64];
    zel_ip_send_profile_t prof{};
    prof.type = p.u32("type");
    if (p.has("flow"))
        prof.arg.egress_flow = static_cast<zel_ip_flow_handle_t>(p.object("flow"));
    else
        prof.arg.value = p.u32_or("value", 0);
    prof.vrd = static_cast<zel_ip_vrd_handle_t>(p.object("vrd"));
    if (p.has("ph")) {
        prof.ph_word0 = p.u32("ph", 0);
        prof.ph_word1 = p.u32("ph", 1);
    }
    prof.p = static_cast<uint16_t>(p.u32_or("p", 0));
    prof.q = static_cast<uint16_t>(p.u32_or("q", 0));
    prof.r = static_cast<uint8_t>(p.u32_or("r", 0));
    prof.s = static_cast<uint8_t>(p.u32_or("s", 0));
    prof.t = static_cast<uint8_t>(p.u32_or("t", 0));
    prof.u = static_cast<uint8_t>(p.u32_or("u", 0));
    prof.v = static_cast<uint8_t>(p.u32_or("v", 0));
    const uint32_t before = zel_sim_pdu_count();
    Result r = s.check(zel_ip_pdu_send(s.module(), &prof, pdu1, pdu2));
    zel_sim_pdu_t sent{};
    if (r != Result::kOk || zel_sim_pdu_count() == before || !zel_sim_pdu_get(zel_sim_pdu_count() - 1, &sent))
        return r;
    for (uint32_t line = 0; line < ZEL_IP_SEND_HEADER_BYTES; line += 32) {
        std::printf("send header %2u:", line);
        for (uint32_t i = line; i < line + 32; ++i) std::printf("%s%02x", i % 4 ? "" : " ", sent.header[i]);
        std::printf("\n");
    }
    return Result::kOk;
}

Option byte_opt(const char *key, const char *help) { return opt({key}, {number("n", key, 0, 0xff)}, help); }

ZEL_CLI_COMMANDS(
    {"ttl", {{number("ttl", "TTL", 0, 0xff)}, {}},
     "set the default TTL of headers the fast path builds (zel_ip_default_ttl_config)", ttl},
    {"service update", {}, "hand the framework the service-function table again (zel_ip_service_function_update)",
     service_update},
    {"recv decode", {{rest("bytes", "metadata")}, {}},
     "decode the 20 bytes of CPU receive metadata given in hex (zel_ip_cpu_recv_task_param)", recv_decode},
    {"pdu send",
     {{number("type", "send type", 0, UINT32_MAX)},
      {opt({"value"}, {number("n", "value", 0, UINT32_MAX)}, "types 0 and 2: the profile's value (type 0 sends it)")
           .in_group("arg"),
       opt({"flow"}, {object("name", "egress flow", {ObjType::kFlow})}, "type 1: the egress flow").in_group("arg"),
       opt({"vrd", "vrf"}, {object("name", "routing domain", {ObjType::kVrd}, true)},
           "the routing domain (default or left out: 63)"),
       opt({"ph"}, {number("w0", "word", 0, UINT32_MAX), number("w1", "word", 0, UINT32_MAX)},
           "the two words for the packet-handling service"),
       opt({"p"}, {number("n", "p", 0, 0xffff)}, "value P (16 bits)"),
       opt({"q"}, {number("n", "q", 0, 0xffff)}, "value Q (16 bits)"), byte_opt("r", "value R"),
       byte_opt("s", "value S"), byte_opt("t", "value T"), byte_opt("u", "flag U (1: set)"),
       byte_opt("v", "flag V (1: set)")}},
     "send two placeholder PDUs from the CPU and print the send header (zel_ip_pdu_send)", pdu_send});

}  // namespace
}  // namespace zcli
