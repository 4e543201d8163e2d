// The declarative argument parser of zel-ip-sim (see cli_args.h).
#include "cli_args.h"

#include <algorithm>
#include <set>

#include "cli.h"

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
        case ObjType::kFlow: return "flow";
        case ObjType::kRuleSet: return "rule set";
        case ObjType::kPolicySet: return "policy set";
        case ObjType::kPbrRule: return "policy rule";
        case ObjType::kOther: return "object";
    }
    return "object";
}

// ---- builders ----------------------------------------------------------------

namespace {
Value make(std::string name, std::string label, Kind k) {
    Value v;
    v.name = std::move(name);
    v.label = std::move(label);
    v.kind = k;
    return v;
}
}  // namespace

Value word(std::string name, std::string label) { return make(std::move(name), std::move(label), Kind::kWord); }
Value new_name(std::string name) { return make(std::move(name), "name", Kind::kNewName); }
Value number(std::string name, std::string label, uint32_t min, uint32_t max) {
    Value v = make(std::move(name), std::move(label), Kind::kNumber);
    v.min = min;
    v.max = max;
    return v;
}
Value addr(std::string name, std::string label) { return make(std::move(name), std::move(label), Kind::kAddr); }
Value prefix(std::string name, std::string label) {
    return make(std::move(name), std::move(label), Kind::kPrefix);
}
Value if_addr(std::string name, std::string label) {
    return make(std::move(name), std::move(label), Kind::kIfAddr);
}
Value object(std::string name, std::string label, std::vector<ObjType> types, bool allow_default) {
    Value v = make(std::move(name), std::move(label), Kind::kObject);
    v.types = std::move(types);
    v.allow_default = allow_default;
    return v;
}
Value keyword(std::string name, std::vector<std::string> choices) {
    Value v = make(name, name, Kind::kKeyword);
    v.choices = std::move(choices);
    return v;
}
Value rest(std::string name, std::string label) { return make(std::move(name), std::move(label), Kind::kRest); }

Option opt(std::vector<std::string> keys, std::vector<Value> values, std::string help) {
    Option o;
    o.keys = std::move(keys);
    o.values = std::move(values);
    o.help = std::move(help);
    return o;
}
Option flag(std::vector<std::string> keys, std::string help) { return opt(std::move(keys), {}, std::move(help)); }

// ---- parsed values -------------------------------------------------------------

const Got &Parsed::get(const std::string &key, size_t i) const {
    static const Got none;
    auto it = got_.find(key);
    if (it == got_.end() || i >= it->second.size()) return none;
    return it->second[i];
}

std::vector<std::string> Parsed::words(const std::string &key) const {
    std::vector<std::string> out;
    auto it = got_.find(key);
    if (it != got_.end())
        for (const Got &g : it->second) out.push_back(g.text);
    return out;
}

// Optimal string alignment: insertions, deletions, substitutions and
// swaps of neighbours ("vai" is one edit from "via").
size_t edit_distance(const std::string &a, const std::string &b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// ---- usage and help --------------------------------------------------------------

namespace {

std::string value_usage(const Value &v) {
    if (v.kind == Kind::kKeyword) {
        std::string s;
        for (const std::string &c : v.choices) s += (s.empty() ? "" : "|") + c;
        return s;
    }
    if (v.kind == Kind::kRest) return "<" + v.name + ">...";
    if (v.kind == Kind::kObject && v.allow_default) return "<" + v.name + "|default>";
    if (v.zero_ok && v.kind == Kind::kAddr) return "<" + v.name + "|0>";
    return "<" + v.name + ">";
}

std::string option_usage(const Option &o) {
    std::string s = o.keys[0];
    for (const Value &v : o.values) s += " " + value_usage(v);
    for (const Option &f : o.follow) s += " [" + option_usage(f) + "]";
    return s;
}

// "0 to 62", "0 or 64 to 9000".
std::string range_text(const Value &v) {
    std::string r = std::to_string(v.min) + " to " + std::to_string(v.max);
    return v.zero_ok && v.min > 0 ? "0 or " + r : r;
}

}  // namespace

std::string usage_of(const Spec &spec) {
    std::string s;
    auto add = [&](const std::string &part) { s += (s.empty() ? "" : " ") + part; };
    for (const Value &v : spec.positional) add(v.kind == Kind::kRest ? "[" + value_usage(v) + "]" : value_usage(v));
    // Options of a group are shown together: "via <nh> | blackhole".
    std::set<std::string> shown;
    for (const Option &o : spec.options) {
        if (!o.group.empty()) {
            if (!shown.insert(o.group).second) continue;
            std::string alt;
            bool mandatory = false;
            for (const Option &g : spec.options)
                if (g.group == o.group) alt += (alt.empty() ? "" : " | ") + option_usage(g), mandatory |= g.mandatory;
            add(mandatory ? alt : "[" + alt + "]");
            continue;
        }
        add(o.mandatory ? option_usage(o) : "[" + option_usage(o) + "]");
    }
    return s;
}

std::vector<std::string> option_help(const Spec &spec) {
    std::vector<std::string> lines;
    auto line = [&](const std::string &head, const std::string &text) {
        std::string l = "  " + head;
        l += std::string(head.size() < 22 ? 22 - head.size() : 1, ' ');
        lines.push_back(l + text);
    };
    // A number without a limit of its own (any 32-bit value) gets no range.
    auto limited = [](const Value &v) { return v.kind == Kind::kNumber && (v.min != 0 || v.max != UINT32_MAX); };
    for (const Value &v : spec.positional)
        if (limited(v)) line(value_usage(v), v.label + ", " + range_text(v));
    for (const Option &o : spec.options) {
        std::string text = o.help;
        for (const Value &v : o.values)
            if (limited(v)) text += (text.empty() ? "" : "; ") + v.label + " " + range_text(v);
        if (o.keys.size() > 1) {
            std::string aka;
            for (size_t i = 1; i < o.keys.size(); ++i) aka += (i > 1 ? ", " : "") + o.keys[i];
            text += " (also: " + aka + ")";
        }
        line(option_usage(o), text);
    }
    return lines;
}

// ---- parsing -----------------------------------------------------------------------

class Parser {
public:
    Parser(Session &s, const Spec &spec, const std::vector<std::string> &words, Parsed &out)
        : s_(s), spec_(spec), words_(words), out_(out) {}

    bool run() {
        for (const Value &v : spec_.positional) {
            if (v.kind == Kind::kRest) {
                while (pos_ < words_.size())
                    if (!value(v, v.name)) return false;
                return true;
            }
            if (pos_ >= words_.size()) return fail("missing " + v.label);
            if (!value(v, v.name)) return false;
        }
        std::map<std::string, std::string> group_used;  // group -> option key
        while (pos_ < words_.size()) {
            const std::string &w = words_[pos_];
            const Option *o = find_option(w);
            if (!o) return fail("unexpected " + quote(w) + nearest_option(w));
            const std::string &key = o->keys[0];
            if (out_.has(key))
                return fail(quote(w) + " given twice");
            if (!o->group.empty()) {
                auto [it, fresh] = group_used.emplace(o->group, key);
                if (!fresh) return fail(quote(it->second) + " and " + quote(key) + " exclude each other");
            }
            ++pos_;
            if (o->values.empty()) {
                out_.got_[key].push_back(Got{key});
                continue;
            }
            if (!values(*o, key, w)) return false;
            for (const Option &f : o->follow) {
                if (pos_ >= words_.size() || words_[pos_] != f.keys[0]) continue;
                const std::string fw = words_[pos_++];
                if (!values(f, key + "." + f.keys[0], fw)) return false;
            }
        }
        std::set<std::string> groups_needed;
        for (const Option &o : spec_.options) {
            if (!o.mandatory || out_.has(o.keys[0])) continue;
            if (!o.group.empty()) {
                if (group_used.count(o.group) || !groups_needed.insert(o.group).second) continue;
                std::string alt;
                for (const Option &g : spec_.options)
                    if (g.group == o.group) alt += (alt.empty() ? "" : " or ") + g.keys[0];
                return fail("missing " + alt);
            }
            std::string what = o.keys[0];
            for (const Value &v : o.values) what += " <" + v.label + ">";
            return fail("missing " + what);
        }
        return true;
    }

private:
    bool fail(const std::string &msg) {
        s_.usage_error(msg);
        return false;
    }

    bool values(const Option &o, const std::string &key, const std::string &w) {
        for (const Value &v : o.values) {
            if (pos_ >= words_.size()) return fail("missing " + v.label + " after " + quote(w));
            if (!value(v, key)) return false;
        }
        return true;
    }

    const Option *find_option(const std::string &w) const {
        for (const Option &o : spec_.options)
            for (const std::string &k : o.keys)
                if (k == w) return &o;
        return nullptr;
    }

    std::string nearest_option(const std::string &w) const {
        // One edit away from a short keyword, two from a longer one.
        std::string best;
        size_t best_d = SIZE_MAX;
        for (const Option &o : spec_.options)
            for (const std::string &k : o.keys)
                if (size_t d = edit_distance(w, k); d <= (k.size() <= 4 ? 1u : 2u) && d < best_d) best_d = d, best = k;
        return best.empty() ? "" : " (did you mean " + best + "?)";
    }

    // Parses words_[pos_] as `v`, appending it under `key`.
    bool value(const Value &v, const std::string &key) {
        const std::string &w = words_[pos_++];
        Got g;
        g.text = w;
        switch (v.kind) {
            case Kind::kWord:
            case Kind::kRest:
                break;
            case Kind::kNewName:
                if (!name_free(s_, w)) return false;
                break;
            case Kind::kNumber: {
                auto n = parse_u32(w);
                const bool in_range = n && ((*n >= v.min && *n <= v.max) || (v.zero_ok && *n == 0));
                if (!n) return fail(v.label + ": " + quote(w) + " is not a number (" + range_text(v) + ")");
                if (!in_range) return fail(v.label + " " + w + " is out of range (" + range_text(v) + ")");
                g.n = *n;
                break;
            }
            case Kind::kAddr: {
                if (v.zero_ok && w == "0") break;
                auto a = parse_ipv4(w);
                if (!a) return fail(v.label + ": " + quote(w) + " is not an IPv4 address");
                g.n = *a;
                break;
            }
            case Kind::kPrefix:
            case Kind::kIfAddr:
                if (!parse_prefix(v, w, g)) return false;
                break;
            case Kind::kObject:
                if (!parse_object(v, w, g)) return false;
                break;
            case Kind::kKeyword:
                if (std::find(v.choices.begin(), v.choices.end(), w) == v.choices.end()) {
                    std::string alt;
                    for (size_t i = 0; i < v.choices.size(); ++i)
                        alt += (i ? (i + 1 == v.choices.size() ? " or " : ", ") : "") + quote(v.choices[i]);
                    return fail(alt + " expected, not " + quote(w));
                }
                break;
        }
        out_.got_[key].push_back(std::move(g));
        return true;
    }

    bool parse_prefix(const Value &v, const std::string &w, Got &g) {
        const size_t slash = w.find('/');
        if (slash == std::string::npos && v.kind == Kind::kIfAddr) {
            if (parse_ipv4(w)) return fail(v.label + ": missing prefix length in " + quote(w) + " (" + w + "/24, for instance)");
            return fail(v.label + ": " + quote(w) + " is not an address/length");
        }
        auto a = parse_ipv4(w.substr(0, slash));
        auto l = slash == std::string::npos ? std::optional<uint32_t>(32) : parse_u32(w.substr(slash + 1));
        if (!a || !l || *l > 32) return fail(v.label + ": " + quote(w) + " is not an address/length");
        if (v.kind == Kind::kPrefix) {
            const uint32_t mask = *l ? ~0u << (32 - *l) : 0;
            if (*a & ~mask)
                return fail(v.label + ": " + w + " has host bits set (the prefix is " + ipv4_text(*a & mask) + "/" +
                            std::to_string(*l) + ")");
        }
        g.n = *a;
        g.len = *l;
        return true;
    }

    bool parse_object(const Value &v, const std::string &w, Got &g) {
        if (v.allow_default && (w == "default" || w == "none")) return true;
        const NamedObject *o = s_.find(w);
        if (!o) return fail(v.label + ": no object named " + quote(w));
        if (std::find(v.types.begin(), v.types.end(), o->type) == v.types.end()) {
            std::string msg = v.label + ": " + quote(w) + " is a " + obj_type_name(o->type);
            if (v.types.size() == 1) msg += std::string(", not a ") + obj_type_name(v.types[0]);
            return fail(msg);
        }
        g.handle = o->handle;
        g.type = o->type;
        return true;
    }

    Session &s_;
    const Spec &spec_;
    const std::vector<std::string> &words_;
    Parsed &out_;
    size_t pos_ = 0;
};

bool parse_args(Session &s, const Spec &spec, const std::vector<std::string> &words, Parsed &out) {
    return Parser(s, spec, words, out).run();
}

}  // namespace zcli
