// zel-ip-sim: the simulator command-line tool.
//
// It brings an IPv4 module up on the software platform and runs
// configuration scripts: one command per line, `#` starts a comment,
// arguments are separated by blanks. Objects created by a script get a
// name (`vrd create blue 5`) that later lines use (`route add 10.1.0.0/16
// via 192.0.2.1 vrd blue`). Every command maps to one library call (or a
// dump or an engine lookup); a failed call prints
//     <file>:<line>: <command line>: 0x<status> <name>
// on standard error, and the run stops with a non-zero exit status unless
// told to keep going.
//
// Commands live in cmd_*.cpp files; each registers its commands with
// ZEL_CLI_COMMANDS. A command handler parses its arguments with the Args
// helpers (which report their own errors) and returns a Result.
#ifndef ZEL_IP_SIM_CLI_H
#define ZEL_IP_SIM_CLI_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "zel_ip/zel_ip.h"
#include "zel_sim.h"

namespace zcli {

// Kinds of named objects a script can create.
enum class ObjType { kVrd, kInterface, kTunnel, kVif, kL2, kQueue, kPolicer, kPolicy, kAssoc, kOther };
const char *obj_type_name(ObjType t);

struct NamedObject {
    ObjType type;
    void *handle;
};

class Session;

// Arguments of one command, consumed left to right.
class Args {
public:
    Args(Session &s, std::vector<std::string> words) : s_(s), words_(std::move(words)) {}

    bool empty() const { return pos_ >= words_.size(); }
    // The next word without consuming it ("" at the end).
    const std::string &peek() const;
    // Consume the next word if it equals `kw`.
    bool accept(const std::string &kw);

    // Each of these consumes one word; on a bad or missing word it reports
    // "<what>: ..." through the session and returns nothing.
    std::optional<std::string> word(const char *what);
    std::optional<uint32_t> u32(const char *what, uint32_t max = UINT32_MAX);
    std::optional<uint32_t> ipv4(const char *what);
    // "a.b.c.d/len" (len 0 to 32; "/len" may be omitted for /32).
    std::optional<std::pair<uint32_t, uint32_t>> prefix(const char *what);
    // A named object of `type`; "default" or "none" gives nullptr when
    // `allow_none` (e.g. the default routing domain).
    std::optional<void *> object(ObjType type, const char *what, bool allow_none = false);
    // A named object of any of the given types.
    std::optional<NamedObject> any_object(std::initializer_list<ObjType> types, const char *what);

    // Reports unconsumed words; true when none are left.
    bool done();

private:
    Session &s_;
    std::vector<std::string> words_;
    size_t pos_ = 0;
};

enum class Result { kOk, kCallFailed, kUsage };

struct Command {
    std::string name;    // one or two words, e.g. "route add"
    std::string usage;   // arguments, e.g. "<prefix> [via <addr>] [vrd <name>]"
    std::string help;    // one line
    std::function<Result(Session &, Args &)> run;
};

// All registered commands, by name.
std::map<std::string, Command> &commands();

struct Registrar {
    Registrar(std::initializer_list<Command> cmds);
};

#define ZEL_CLI_CAT2(a, b) a##b
#define ZEL_CLI_CAT(a, b) ZEL_CLI_CAT2(a, b)
#define ZEL_CLI_COMMANDS(...) static ::zcli::Registrar ZEL_CLI_CAT(zel_cli_reg_, __LINE__)({__VA_ARGS__})

struct Options {
    bool keep_going = false;
    bool progress = true;      // on a terminal only
    uint32_t log_level = 3;    // module log level at start-up
    uint32_t sys_log_level = 0;
};

class Session {
public:
    explicit Session(const Options &opt);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Brings the platform and the module up; false (with a message) when
    // that fails.
    bool start();

    // Runs one script (a path, or "-" for standard input). Returns the
    // number of failed commands (usage errors count).
    int run_file(const std::string &path);
    int run_stream(std::istream &in, const std::string &name);
    // Runs one command line; `where` is "file:line".
    Result run_line(const std::string &line, const std::string &where);

    zel_sim_t *sim() { return sim_; }
    zel_module_t *module() { return m_; }

    // Named objects.
    bool define(const std::string &name, ObjType type, void *handle);
    const NamedObject *find(const std::string &name) const;
    void forget(const std::string &name);
    // Name of an object by handle ("" when unnamed).
    std::string name_of(const void *handle) const;

    // Report a usage error for the current command.
    void usage_error(const std::string &msg);
    // Check a library status: 0 is kOk; otherwise print the failure line
    // and return kCallFailed.
    Result check(uint32_t status);

    // Text of a status word: the module's error name for its own codes,
    // the framework's text otherwise.
    std::string status_name(uint32_t status) const;

private:
    Options opt_;
    zel_sim_t *sim_ = nullptr;
    zel_module_t *m_ = nullptr;
    std::map<std::string, NamedObject> objects_;
    std::string where_;  // "file:line" of the command being run
    std::string line_;   // its text
};

// Parsers shared by commands.
std::optional<uint32_t> parse_u32(const std::string &s);
std::optional<uint32_t> parse_ipv4(const std::string &s);
std::string ipv4_text(uint32_t addr);

// True when `name` is not taken by a named object; otherwise reports a
// usage error ("'<name>' is already defined").
bool name_free(Session &s, const std::string &name);

}  // namespace zcli

#endif  // ZEL_IP_SIM_CLI_H
