// Sessions, argument parsing and the script runner of zel-ip-sim.
#include "cli.h"

#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

namespace zcli {

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
    s.usage_error(quote(name) + " is already defined");
    return false;
}

std::string printable(const std::string &text, size_t max) {
    std::string out;
    size_t shown = 0;
    for (unsigned char c : text) {
        if (shown == max) return out + "...";
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        }
        ++shown;
    }
    return out;
}

std::string quote(const std::string &w) { return "'" + printable(w, 40) + "'"; }

// ---- session ---------------------------------------------------------------

Session::Session(const Options &opt) : opt_(opt) {}

// Trace events of the module's ERROR and FATAL log messages.
constexpr uint32_t kErrorEvents = 1u << 2 | 1u << 4;

void Session::on_error_message(void *self, uint32_t, const char *text) {
    std::string msg = text ? text : "";
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
    if (!msg.empty()) static_cast<Session *>(self)->errors_.push_back(std::move(msg));
}

Session::~Session() {
    zel_sim_trace_sink_set(0, nullptr, nullptr);
    // Faults a script left armed would fail the shutdown and the frees.
    zel_sim_fault_clear();
    for (zel_ptn_t &p : unfreed_) zel_ptn_free(&p);
    if (m_) {
        if (zel_ipv4_valid_handle(m_)) zel_ip_shutdown(m_);
        zel_sim_module_free(m_);
    }
    zel_sim_destroy(sim_);
    zel_sim_log_sink_set(nullptr, nullptr);
}

bool Session::start() {
    sim_ = zel_sim_create(nullptr);
    if (!sim_) {
        std::fprintf(stderr, "zel-ip-sim: cannot create the software platform\n");
        return false;
    }
    zel_sim_sys_ctx(sim_)->log_level = opt_.sys_log_level;
    // Standard output carries what a script asks for; the module's log
    // lines go to standard error, and its error messages (whatever the log
    // mask) to the failure lines.
    zel_sim_log_sink_set(
        [](void *, const char *text, uint32_t len) {
            std::fflush(stdout);
            std::fwrite(text, 1, len, stderr);
        },
        nullptr);
    zel_sim_trace_sink_set(kErrorEvents, &Session::on_error_message, this);
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

uint32_t Session::free_pattern(zel_ptn_t &ptn) {
    // Patterns an earlier free left behind go first.
    for (auto it = unfreed_.begin(); it != unfreed_.end();)
        it = zel_ptn_free(&*it) == 0 ? unfreed_.erase(it) : it + 1;
    const uint32_t st = zel_ptn_free(&ptn);
    if (st != 0) unfreed_.push_back(ptn);
    return st;
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
    std::fprintf(stderr, "%s: %s: %s\n", where_.c_str(), printable(line_, kLineShown).c_str(), msg.c_str());
}

std::string Session::status_name(uint32_t status) const {
    if ((status >> 24) == 0x01) return zel_ipv4_error_name(status);
    return zel_sys_status_get(sim_ ? zel_sim_sys_ctx(sim_) : nullptr, status);
}

Result Session::check(uint32_t status) {
    if (status == 0) return Result::kOk;
    const std::string name = status_name(status);
    std::string reason;
    for (auto it = errors_.rbegin(); it != errors_.rend() && reason.empty(); ++it)
        if (*it != name) reason = *it;
    char code[24];
    std::snprintf(code, sizeof code, "0x%08x", status);
    std::fflush(stdout);
    if (reason.empty())
        std::fprintf(stderr, "%s: %s: %s %s\n", where_.c_str(), printable(line_, kLineShown).c_str(), code,
                     name.c_str());
    else
        std::fprintf(stderr, "%s: %s: %s (%s %s)\n", where_.c_str(), printable(line_, kLineShown).c_str(),
                     printable(reason, 400).c_str(), code, name.c_str());
    return Result::kCallFailed;
}

// ---- command names -----------------------------------------------------------

std::string canonical_word(const std::string &w) {
    if (w == "del" || w == "rem" || w == "remove") return "delete";
    if (w == "vrf") return "vrd";
    return w;
}

const Command *find_command(const std::vector<std::string> &words, size_t &used) {
    auto &all = commands();
    // The longest name first: "interface addr add" before "interface".
    for (size_t n = std::min<size_t>(3, words.size()); n > 0; --n) {
        std::string name;
        for (size_t i = 0; i < n; ++i) name += (i ? " " : "") + canonical_word(words[i]);
        auto it = all.find(name);
        if (it != all.end()) {
            used = n;
            return &it->second;
        }
    }
    return nullptr;
}

std::string suggest_command(const std::vector<std::string> &words) {
    // The command whose name is fewest edits away from as many leading
    // words as it has, within a third of its length.
    std::string best;
    size_t best_d = SIZE_MAX;
    for (const auto &[name, c] : commands()) {
        const size_t n = static_cast<size_t>(std::count(name.begin(), name.end(), ' ')) + 1;
        if (n > words.size()) continue;
        std::string typed;
        for (size_t i = 0; i < n; ++i) typed += (i ? " " : "") + canonical_word(words[i]);
        const size_t d = edit_distance(typed, name);
        if (d <= name.size() / 3 && d < best_d) best_d = d, best = name;
    }
    return best;
}

std::string command_help(const Command &c) {
    std::string text = c.name + " " + usage_of(c.spec) + "\n  " + c.help + "\n";
    for (const std::string &l : option_help(c.spec)) text += l + "\n";
    return text;
}

std::vector<const Command *> commands_of_group(const std::string &group) {
    std::vector<const Command *> out;
    for (const auto &[name, c] : commands())
        if (name.rfind(group + " ", 0) == 0) out.push_back(&c);
    return out;
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

    errors_.clear();
    size_t used = 0;
    const Command *cmd = find_command(words, used);
    if (!cmd) {
        if (std::string near = suggest_command(words); !near.empty()) {
            usage_error("unknown command (did you mean " + near + "?)");
        } else if (auto group = commands_of_group(canonical_word(words[0])); !group.empty()) {
            std::string names;
            for (const Command *c : group) names += (names.empty() ? "" : ", ") + c->name;
            usage_error("unknown command; " + canonical_word(words[0]) + " commands: " + names);
        } else {
            usage_error("unknown command (try 'help')");
        }
        return Result::kUsage;
    }
    // "<command> --help" explains the command instead of running it.
    if (words.size() == used + 1 && words[used] == "--help") {
        std::fputs(command_help(*cmd).c_str(), stdout);
        return Result::kOk;
    }
    Parsed parsed;
    if (!parse_args(*this, cmd->spec, std::vector<std::string>(words.begin() + static_cast<long>(used), words.end()),
                    parsed))
        return Result::kUsage;
    const Result r = cmd->run(*this, parsed);
    if (auto_compact_) poll_compaction(*this);
    return r;
}

int Session::run_stream(std::istream &in, const std::string &name) {
    script_ = name;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(std::move(line));

    // Progress on a terminal, once a script has run for more than a moment.
    using clock = std::chrono::steady_clock;
    const bool tty = opt_.progress && isatty(STDERR_FILENO);
    const auto started = clock::now();
    auto next_report = started + std::chrono::milliseconds(500);
    bool reported = false;

    const std::string shown = printable(name, kLineShown);  // the script's name on error lines
    int failures = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        Result r = run_line(lines[i], shown + ":" + std::to_string(i + 1));
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
