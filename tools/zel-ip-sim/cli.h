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
// ZEL_CLI_COMMANDS, describing its arguments declaratively (cli_args.h
// says how to add one). A handler receives them parsed and checked and
// returns a Result.
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
#include "cli_args.h"

namespace zcli {

struct NamedObject {
    ObjType type;
    void *handle;
};

enum class Result { kOk, kCallFailed, kUsage };

using Handler = std::function<Result(Session &, const Parsed &)>;

struct Command {
    std::string name;  // one to three words, e.g. "route add"; removals end in "delete"
    Spec spec;         // its arguments (cli_args.h)
    std::string help;  // one line
    Handler run;
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
    uint32_t log_level = 0;    // module log mask at start-up (0: failure lines carry the messages)
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

    // The script being run ("<stdin>" for standard input): files a script
    // names are found beside it.
    const std::string &script() const { return script_; }

    zel_sim_t *sim() { return sim_; }
    zel_module_t *module() { return m_; }

    // Named objects.
    bool define(const std::string &name, ObjType type, void *handle);
    const NamedObject *find(const std::string &name) const;
    void forget(const std::string &name);
    const std::map<std::string, NamedObject> &objects() const { return objects_; }
    // Name of an object by handle ("" when unnamed).
    std::string name_of(const void *handle) const;

    // Platform objects a command area keeps for the session (the sibling
    // modules and flows of binding), by a key of its own; NULL at first.
    void *&extra(const std::string &key) { return extras_[key]; }

    // Report a usage error for the current command.
    void usage_error(const std::string &msg);
    // Check a library status: 0 is kOk; otherwise print the failure line
    //     <file>:<line>: <command>: <module's message> (0x<status> <name>)
    // and return kCallFailed. The message is the last error the module
    // logged during the command that is not the status's own text.
    Result check(uint32_t status);

    // Frees a pattern the tool built. A free the platform refuses (under
    // `fault`) is reported by its status, and the pattern is kept to be
    // freed again by the next call or when the session ends.
    uint32_t free_pattern(zel_ptn_t &ptn);

    // Text of a status word: the module's error name for its own codes,
    // the framework's text otherwise.
    std::string status_name(uint32_t status) const;

    // The framework's periodic compaction (compact auto): while on, it is
    // polled after every command.
    void auto_compact(bool on) { auto_compact_ = on; }

private:
    Options opt_;
    zel_sim_t *sim_ = nullptr;
    zel_module_t *m_ = nullptr;
    std::map<std::string, NamedObject> objects_;
    std::map<std::string, void *> extras_;
    std::vector<zel_ptn_t> unfreed_;  // patterns whose free failed
    std::vector<std::string> errors_;  // the module's ERROR and FATAL messages of the command

    static void on_error_message(void *self, uint32_t event, const char *text);
    std::string where_;  // "file:line" of the command being run
    std::string script_;  // the script run_stream runs
    std::string line_;   // its text
    bool auto_compact_ = false;
};

// Runs the periodic compaction when it is due and prints a line about it
// (cmd_compact.cpp).
void poll_compaction(Session &s);

// Parsers shared by commands.
std::optional<uint32_t> parse_u32(const std::string &s);
// A word as error lines show it: quoted, non-printable bytes escaped
// (\xNN), cut after 40 characters.
std::string quote(const std::string &w);
// A text made safe for an error line: non-printable bytes escaped, cut
// after `max` characters ("..." marks the cut).
std::string printable(const std::string &text, size_t max);
std::optional<uint32_t> parse_ipv4(const std::string &s);
std::string ipv4_text(uint32_t addr);

// Command lookup: the longest registered name that the leading words
// (one to three) spell, `del`/`rem`/`remove` read as `delete` and `vrf`
// as `vrd`; `used` is the number of words the name took.
const Command *find_command(const std::vector<std::string> &words, size_t &used);
std::string canonical_word(const std::string &w);
// The registered name nearest to the leading words ("" when none is close).
std::string suggest_command(const std::vector<std::string> &words);
// The commands whose name starts with the word `group` ("route").
std::vector<const Command *> commands_of_group(const std::string &group);
// "<name> <usage>\n  <help>\n" and a line per option.
std::string command_help(const Command &c);

// Characters of a command line that an error line shows.
constexpr size_t kLineShown = 120;

// True when `name` is not taken by a named object; otherwise reports a
// usage error ("'<name>' is already defined").
bool name_free(Session &s, const std::string &name);

}  // namespace zcli

#endif  // ZEL_IP_SIM_CLI_H
