#include "app/CommandLine.h"

#include <cstdio>
#include <cstring>

namespace quillon::app {

namespace {

const char* const kUsage = R"(Usage: quillon [--help | --version]

Quillon watches this machine's TCP connections, cuts those its rules forbid and asks about
the ones no rule settles. Started without arguments it shows a splash, then stays in the
system tray; a second start while it runs does nothing.

Its rules live in /var/lib/quillon/registry.db (see quillon-reg --help), its log in
WDlog.log beside the program (read it with quillon-reg log).

Options:
  -h, --help     show this text and exit
  --version      show the version and exit
)";

// A failed write (a closed pipe, a full disk) must not pass for a printed answer.
int print(const char* text) {
    return std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace

std::optional<int> handleCommandLine(int argc, char** argv) {
    bool help = false;
    bool version = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            help = true;
        } else if (std::strcmp(arg, "--version") == 0) {
            version = true;
        } else if (std::strcmp(arg, "-session") == 0 && i + 1 < argc) {
            // A session manager restoring the desktop starts Qt programs with the session's
            // id; Qt takes it, and the program must start as usual.
            ++i;
        } else {
            std::fprintf(stderr, "quillon: unknown argument '%s' (try 'quillon --help')\n", arg);
            return 2;
        }
    }
    if (help) {
        return print(kUsage);
    }
    if (version) {
        return print("quillon " QUILLON_VERSION "\n");
    }
    return std::nullopt;
}

} // namespace quillon::app
