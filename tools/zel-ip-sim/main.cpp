// zel-ip-sim: runs configuration scripts against an IPv4 module on the
// software platform. See docs/cli.md.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"

namespace {

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: zel-ip-sim [options] [script ...]\n"
                 "\n"
                 "Brings an IPv4 module up on the software platform and runs each script\n"
                 "(a file, or - for standard input; standard input when none is given).\n"
                 "One command per line, '#' starts a comment. 'zel-ip-sim --help-commands'\n"
                 "lists the commands; 'help <command>' inside a script explains one.\n"
                 "\n"
                 "options:\n"
                 "  -k, --keep-going      run every line even after a failed command\n"
                 "  -l, --log-level MASK  module log mask at start-up (default 0: none; 3: errors)\n"
                 "  -s, --sys-log MASK    system log mask (default 0)\n"
                 "  -q, --no-progress     never show progress on standard error\n"
                 "  --help-commands       list every command with its arguments\n"
                 "  -h, --help            this text\n"
                 "\n"
                 "Dumps, lookups and echo lines go to standard output; failures, with\n"
                 "the module's own message, and the module's log lines to standard error.\n"
                 "\n"
                 "exit status: 0 when every command succeeded, 1 when one failed, 2 on a\n"
                 "usage error of the tool itself or a script that cannot be read.\n");
}

// Why a script cannot be run ("" when it can): it cannot be opened for
// reading, or it is a directory.
std::string unreadable(const std::string &path) {
    if (path == "-") return "";
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return std::strerror(errno);
    struct stat st {};
    const bool dir = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    close(fd);
    return dir ? std::strerror(EISDIR) : "";
}

}  // namespace

int main(int argc, char **argv) {
    zcli::Options opt;
    std::vector<std::string> scripts;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char *name) -> std::optional<uint32_t> {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "zel-ip-sim: %s needs a value\n", name);
                return std::nullopt;
            }
            auto v = zcli::parse_u32(argv[++i]);
            if (!v) std::fprintf(stderr, "zel-ip-sim: %s: '%s' is not a number\n", name, argv[i]);
            return v;
        };
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--help-commands") {
            for (const auto &[name, c] : zcli::commands())
                std::printf("%-24s %s\n%-24s   %s\n", name.c_str(), zcli::usage_of(c.spec).c_str(), "",
                            c.help.c_str());
            return 0;
        } else if (a == "-k" || a == "--keep-going") {
            opt.keep_going = true;
        } else if (a == "-q" || a == "--no-progress") {
            opt.progress = false;
        } else if (a == "-l" || a == "--log-level") {
            auto v = value("--log-level");
            if (!v) return 2;
            opt.log_level = *v;
        } else if (a == "-s" || a == "--sys-log") {
            auto v = value("--sys-log");
            if (!v) return 2;
            opt.sys_log_level = *v;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "zel-ip-sim: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        } else {
            scripts.push_back(a);
        }
    }
    if (scripts.empty()) scripts.push_back("-");
    // Every script must be readable before anything runs.
    for (const auto &s : scripts) {
        if (std::string why = unreadable(s); !why.empty()) {
            std::fprintf(stderr, "zel-ip-sim: %s: %s\n", zcli::printable(s, zcli::kLineShown).c_str(), why.c_str());
            return 2;
        }
    }

    zcli::Session session(opt);
    if (!session.start()) return 1;
    int failures = 0;
    for (const auto &s : scripts) {
        failures += session.run_file(s);
        if (failures && !opt.keep_going) break;
    }
    return failures ? 1 : 0;
}
