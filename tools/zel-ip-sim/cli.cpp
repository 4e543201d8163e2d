// Sessions, argument parsing and the script runner of zel-ip-sim.
#include "cli.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

namespace zcli {

const char *obj_type_name(ObjType t) {
    switch (t) {
        case ObjType::kVrd: return "routing domain";
        case ObjType::kInterface: return "interface";
        case ObjType::kTunnel: return "tunnel";
        case ObjType::kVif: return "virtual interface";
        case ObjType::kL2: return "layer-2 interface";
        case ObjType::kQueue: return "queue";
        case ObjType::kPolicer: return "policer";
        case ObjType::kPolicy: return "DiffServ policy";
        case ObjType::kAssoc: return "ingress association";
        case ObjType::kOther: return "object";
    }
    return "object";
}

std::map<std::string, Command> &commands() {
    static std::map<std::string, Command> all;
    return all;
}

Registrar::Registrar(std::initializer_list<Command> cmds) {
    for (const Command &c : cmds) commands()[c.name] = c;
}

// ---- parsing ---------------------------------------------------------------

std::optional<uint32_t> parse_u32(const std::string &s) {
    if (s.empty()) return std::nullopt;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno || *end || v > UINT32_MAX || s[0] == '-') return std::nullopt;
    return static_cast<uint32_t>(v);
}

std::optional<uint32_t> parse_ipv4(const std::string &s) {
    uint32_t a = 0;
    int parts = 0;
    size_t i = 0;
    while (parts < 4) {
        if (i >= s.size() || !isdigit(static_cast<unsigned char>(s[i]))) return std::nullopt;
        uint32_t v = 0;
        size_t start = i;
        while (i < s.size() && isdigit(static_cast<unsigned char>(s[i])) && i - start < 3)
            v = v * 10 + static_cast<uint32_t>(s[i++] - '0');
        if (v > 255) return std::nullopt;
        a = (a << 8) | v;
        ++parts;
        if (parts < 4) {
            if (i >= s.size() || s[i] != '.') return std::nullopt;
            ++i;
        }
    }
    if (i != s.size()) return std::nullopt;
    return a;
}

std::string ipv4_text(uint32_t a) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff,
                  a & 0xff);
    return buf;
}

bool name_free(Session &s, const std::string &name) {
    if (!s.find(name)) return true;
    s.usage_error("'" + name + "' is already defined");
    return false;
}

const std::string &Args::peek() const {
    static const std::string none;
    return empty() ? none : words_[pos_];
}

bool Args::accept(const std::string &kw) {
    if (empty() || words_[pos_] != kw) return false;
    ++pos_;
    return true;
}

std::optional<std::string> Args::word(const char *what) {
    if (empty()) {
        s_.usage_error(std::string("missing ") + what);
        return std::nullopt;
    }
    return words_[pos_++];
}

std::optional<uint32_t> Args::u32(const char *what, uint32_t max) {
    auto w = word(what);
    if (!w) return std::nullopt;
    auto v = parse_u32(*w);
    if (!v || *v > max) {
        s_.usage_error(std::string(what) + ": '" + *w + "' is not a number from 0 to " +
                       std::to_string(max));
        return std::nullopt;
    }
    return v;
}

std::optional<uint32_t> Args::ipv4(const char *what) {
    auto w = word(what);
    if (!w) return std::nullopt;
    auto v = parse_ipv4(*w);
    if (!v) s_.usage_error(std::string(what) + ": '" + *w + "' is not an IPv4 address");
    return v;
}

std::optional<std::pair<uint32_t, uint32_t>> Args::prefix(const char *what) {
    auto w = word(what);
    if (!w) return std::nullopt;
    std::string addr = *w, len = "32";
    if (auto slash = w->find('/'); slash != std::string::npos) {
        addr = w->substr(0, slash);
        len = w->substr(slash + 1);
    }
    auto a = parse_ipv4(addr);
    auto l = parse_u32(len);
    if (!a || !l || *l > 32) {
        s_.usage_error(std::string(what) + ": '" + *w + "' is not an address/length");
        return std::nullopt;
    }
    return std::make_pair(*a, *l);
}

std::optional<void *> Args::object(ObjType type, const char *what, bool allow_none) {
    auto w = word(what);
    if (!w) return std::nullopt;
    if (allow_none && (*w == "default" || *w == "none")) return static_cast<void *>(nullptr);
    const NamedObject *o = s_.find(*w);
    if (!o) {
        s_.usage_error(std::string(what) + ": no object named '" + *w + "'");
        return std::nullopt;
    }
    if (o->type != type) {
        s_.usage_error(std::string(what) + ": '" + *w + "' is a " + obj_type_name(o->type) +
                       ", not a " + obj_type_name(type));
        return std::nullopt;
    }
    return o->handle;
}

std::optional<NamedObject> Args::any_object(std::initializer_list<ObjType> types, const char *what) {
    auto w = word(what);
    if (!w) return std::nullopt;
    const NamedObject *o = s_.find(*w);
    if (!o) {
        s_.usage_error(std::string(what) + ": no object named '" + *w + "'");
        return std::nullopt;
    }
    for (ObjType t : types)
        if (o->type == t) return *o;
    s_.usage_error(std::string(what) + ": '" + *w + "' is a " + obj_type_name(o->type));
    return std::nullopt;
}

bool Args::done() {
    if (empty()) return true;
    s_.usage_error("unexpected '" + words_[pos_] + "'");
    return false;
}

// ---- session ---------------------------------------------------------------

Session::Session(const Options &opt) : opt_(opt) {}

Session::~Session() {
    if (m_) {
        if (zel_ipv4_valid_handle(m_)) zel_ip_shutdown(m_);
        zel_sim_module_free(m_);
    }
    zel_sim_destroy(sim_);
}

bool Session::start() {
    sim_ = zel_sim_create(nullptr);
    if (!sim_) {
        std::fprintf(stderr, "zel-ip-sim: cannot create the software platform\n");
        return false;
    }
    zel_sim_sys_ctx(sim_)->log_level = opt_.sys_log_level;
    m_ = zel_sim_module_new(sim_, "zel_ip", opt_.log_level, 1);
    uint32_t st = zel_ip_init(m_);
    if (st != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "zel-ip-sim: start-up failed: 0x%08x %s\n", st,
                     status_name(st).c_str());
        return false;
    }
    return true;
}

bool Session::define(const std::string &name, ObjType type, void *handle) {
    return objects_.emplace(name, NamedObject{type, handle}).second;
}

const NamedObject *Session::find(const std::string &name) const {
    auto it = objects_.find(name);
    return it == objects_.end() ? nullptr : &it->second;
}

void Session::forget(const std::string &name) { objects_.erase(name); }

std::string Session::name_of(const void *handle) const {
    for (const auto &[name, o] : objects_)
        if (o.handle == handle) return name;
    return "";
}

void Session::usage_error(const std::string &msg) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", where_.c_str(), line_.c_str(), msg.c_str());
}

std::string Session::status_name(uint32_t status) const {
    if ((status >> 24) == 0x01) return zel_ipv4_error_name(status);
    return zel_sys_status_get(sim_ ? zel_sim_sys_ctx(sim_) : nullptr, status);
}

Result Session::check(uint32_t status) {
    if (status == 0) return Result::kOk;
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: 0x%08x %s\n", where_.c_str(), line_.c_str(), status,
                 status_name(status).c_str());
    return Result::kCallFailed;
}

Result Session::run_line(const std::string &raw, const std::string &where) {
    std::string text = raw.substr(0, raw.find('#'));
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty()) return Result::kOk;
    where_ = where;
    line_.clear();
    for (size_t i = 0; i < words.size(); ++i) line_ += (i ? " " : "") + words[i];

    // Two-word commands first ("route add"), then one-word ones ("echo").
    auto &all = commands();
    size_t used = 0;
    const Command *cmd = nullptr;
    if (words.size() >= 2) {
        auto it = all.find(words[0] + " " + words[1]);
        if (it != all.end()) cmd = &it->second, used = 2;
    }
    if (!cmd) {
        auto it = all.find(words[0]);
        if (it != all.end()) cmd = &it->second, used = 1;
    }
    if (!cmd) {
        usage_error("unknown command (try 'help')");
        return Result::kUsage;
    }
    // "<command> --help" explains the command instead of running it.
    if (words.size() == used + 1 && words[used] == "--help") {
        std::printf("%s %s\n  %s\n", cmd->name.c_str(), cmd->usage.c_str(), cmd->help.c_str());
        return Result::kOk;
    }
    Args args(*this, std::vector<std::string>(words.begin() + static_cast<long>(used), words.end()));
    return cmd->run(*this, args);
}

int Session::run_stream(std::istream &in, const std::string &name) {
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(std::move(line));

    // Progress on a terminal, once a script has run for more than a moment.
    using clock = std::chrono::steady_clock;
    const bool tty = opt_.progress && isatty(STDERR_FILENO);
    const auto started = clock::now();
    auto next_report = started + std::chrono::milliseconds(500);
    bool reported = false;

    int failures = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        Result r = run_line(lines[i], name + ":" + std::to_string(i + 1));
        if (r != Result::kOk) {
            ++failures;
            if (!opt_.keep_going) break;
        }
        if (tty && (i & 255) == 0 && clock::now() >= next_report) {
            std::fflush(stdout);
            std::fprintf(stderr, "\r%s: line %zu of %zu (%zu%%)", name.c_str(), i + 1, lines.size(),
                         (i + 1) * 100 / lines.size());
            next_report = clock::now() + std::chrono::milliseconds(200);
            reported = true;
        }
    }
    if (reported) std::fprintf(stderr, "\r\033[K");
    std::fflush(stdout);
    return failures;
}

int Session::run_file(const std::string &path) {
    if (path == "-") return run_stream(std::cin, "<stdin>");
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "zel-ip-sim: cannot open %s\n", path.c_str());
        return 1;
    }
    return run_stream(in, path);
}

}  // namespace zcli
