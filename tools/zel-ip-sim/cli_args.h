// The declarative argument parser of zel-ip-sim: every command describes
// its arguments once, as a Spec, and the parser, the usage line, `help`,
// the range checks and the refusals of repeated or conflicting options all
// come from that description.
//
// How to add a command
// --------------------
// 1. In a cmd_<area>.cpp (a new file is picked up by the build), write the
//    handler. It receives the arguments parsed and checked:
//
//        Result vrd_create(Session &s, const Parsed &p) {
//            const uint32_t id = p.u32("id");
//            zel_ip_vrd_handle_t h = nullptr;
//            Result r = s.check(zel_ip_vrd_create(s.module(), &id, &h));
//            if (r == Result::kOk) s.define(p.word("name"), ObjType::kVrd, h);
//            return r;
//        }
//
// 2. Register it with its Spec: positional values first (in order), then
//    options (a keyword and its values, in any order, each at most once):
//
//        ZEL_CLI_COMMANDS(
//            {"vrd create",
//             {{new_name("name"), number("id", "VRD ID", 0, 62)}, {}},
//             "create a routing domain (zel_ip_vrd_create)", vrd_create});
//
//    Value builders: word, new_name, number (min..max; `zero_ok` also
//    takes 0 below min), addr, prefix (a route's a.b.c.d[/len], host bits
//    clear), if_addr (an interface's a.b.c.d/len, length required),
//    object (a named object of some types; `allow_default` takes
//    "default"), keyword (one of fixed words), rest (every remaining word).
//    Options: opt({"vrd", "vrf"}, {object(...)}, "help") with aliases after
//    the first key, flag("natt", "help"); `.required()` makes an option
//    mandatory, `.in_group("kind")` makes options of one group exclude each
//    other, `.then({opt({"port"}, ...)})` lets options follow it that
//    belong to it ("in <addr> port <n>", found as "in.port").
// 3. A removal is registered as "<noun> delete": `del`, `rem` and `remove`
//    reach it too. A name word `vrf` always means `vrd`.
// 4. Add the command to docs/cli.md and, where it prints, to a golden test.
#ifndef ZEL_IP_SIM_CLI_ARGS_H
#define ZEL_IP_SIM_CLI_ARGS_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zcli {

// Kinds of named objects a script can create.
enum class ObjType {
    kVrd, kInterface, kTunnel, kVif, kL2, kQueue, kPolicer, kPolicy, kAssoc, kFlow,
    kRuleSet, kPolicySet, kPbrRule,
    kOther
};
const char *obj_type_name(ObjType t);

class Session;

enum class Kind { kWord, kNewName, kNumber, kAddr, kPrefix, kIfAddr, kObject, kKeyword, kRest };

// One value of a command: a positional argument or a value of an option.
struct Value {
    std::string name;    // key in Parsed (positional values), shown as <name> in usage
    std::string label;   // names the value in messages ("VRD ID")
    Kind kind = Kind::kWord;
    uint32_t min = 0, max = UINT32_MAX;  // kNumber
    bool zero_ok = false;                // kNumber: 0 below min; kAddr: the word "0"
    std::vector<ObjType> types;          // kObject
    bool allow_default = false;          // kObject: "default"/"none" is the null handle
    std::vector<std::string> choices;    // kKeyword

    Value zero() const {
        Value v = *this;
        v.zero_ok = true;
        return v;
    }
};

Value word(std::string name, std::string label);
Value new_name(std::string name);
Value number(std::string name, std::string label, uint32_t min, uint32_t max);
Value addr(std::string name, std::string label);
Value prefix(std::string name, std::string label);
Value if_addr(std::string name, std::string label);
Value object(std::string name, std::string label, std::vector<ObjType> types, bool allow_default = false);
Value keyword(std::string name, std::vector<std::string> choices);
Value rest(std::string name, std::string label);

// A keyword with its values (none: a flag).
struct Option {
    std::vector<std::string> keys;  // the first names it; the others are aliases
    std::vector<Value> values;
    std::string help;
    bool mandatory = false;
    std::string group;  // options of one non-empty group exclude each other
    // Options that may follow this one's values and belong to it ("in
    // <addr> port <n>"): found in Parsed as "<key>.<their key>".
    std::vector<Option> follow;

    Option required() const {
        Option o = *this;
        o.mandatory = true;
        return o;
    }
    Option then(std::vector<Option> f) const {
        Option o = *this;
        o.follow = std::move(f);
        return o;
    }
    Option in_group(std::string g) const {
        Option o = *this;
        o.group = std::move(g);
        return o;
    }
};

Option opt(std::vector<std::string> keys, std::vector<Value> values, std::string help);
Option flag(std::vector<std::string> keys, std::string help);

struct Spec {
    std::vector<Value> positional;
    std::vector<Option> options;
};

// One parsed value.
struct Got {
    std::string text;            // the word as written
    uint32_t n = 0;              // number, address, prefix address
    uint32_t len = 0;            // prefix length
    void *handle = nullptr;      // object
    ObjType type = ObjType::kOther;
};

// The arguments of one command line, parsed and checked against its Spec.
// Positional values are found by their name, option values by the
// option's first key (and the value's index).
class Parsed {
public:
    bool has(const std::string &key) const { return got_.count(key) != 0; }
    const Got &get(const std::string &key, size_t i = 0) const;
    uint32_t u32(const std::string &key, size_t i = 0) const { return get(key, i).n; }
    // The number, or `dflt` when the option was not given.
    uint32_t u32_or(const std::string &key, uint32_t dflt) const { return has(key) ? u32(key) : dflt; }
    const std::string &word(const std::string &key, size_t i = 0) const { return get(key, i).text; }
    std::pair<uint32_t, uint32_t> prefix(const std::string &key, size_t i = 0) const {
        return {get(key, i).n, get(key, i).len};
    }
    // The handle of an object (nullptr for "default" or an option not given).
    void *object(const std::string &key, size_t i = 0) const { return has(key) ? get(key, i).handle : nullptr; }
    // The words of a `rest` value (none when nothing was left).
    std::vector<std::string> words(const std::string &key) const;

private:
    friend class Parser;
    std::map<std::string, std::vector<Got>> got_;
};

// Parses `words` against `spec`; on an error reports it through the
// session (one usage line) and returns false.
bool parse_args(Session &s, const Spec &spec, const std::vector<std::string> &words, Parsed &out);

// The usage line of a spec ("<name> <id> [vrd <name>] ...").
std::string usage_of(const Spec &spec);
// Help lines of its options and constrained values ("  vrd <name>  ...").
std::vector<std::string> option_help(const Spec &spec);

// Edit distance of two words (for "did you mean").
size_t edit_distance(const std::string &a, const std::string &b);

}  // namespace zcli

#endif  // ZEL_IP_SIM_CLI_ARGS_H
