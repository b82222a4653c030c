// kvxlog: the headless front end. Each subcommand lives in a file of its own (cmd_*.cpp).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Command.h"
#include "Platform.h"
#include "version.h"

namespace kvx::cli {
namespace {
std::vector<CommandSetup>& registry() {
    static std::vector<CommandSetup> setups;
    return setups;
}

bool readerGone() { return stdoutReaderGone(); }

// A failed flush of stdout: a reader that went away is a normal end; anything else (a full
// disk behind a redirection) is an error the caller must hear of.
int finishOutput(int status) {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
    const int error = errno;
    if (error == EPIPE || readerGone()) return status;
    std::fprintf(stderr, "kvxlog: could not write the output: %s\n",
                 std::strerror(error != 0 ? error : EIO));
    return status != 0 ? status : 1;
}
}  // namespace

CommandRegistrar::CommandRegistrar(CommandSetup setup) { registry().push_back(setup); }

int& exitStatus() {
    static int status = 0;
    return status;
}

void endIfOutputClosed() {
    if (std::ferror(stdout) && readerGone()) std::_Exit(0);
}
}  // namespace kvx::cli

int main(int argc, char** argv) {
    // Writes to a closed pipe fail with EPIPE instead of killing the process: list commands
    // end quietly, and a capture whose reader went away keeps its log and closes it properly.
    kvx::cli::prepareProcess();
    CLI::App app{"KvxLog Plus: DM logger for Qualcomm-based modems", "kvxlog"};
    app.require_subcommand(1);
    // Options are --name on every system: an argument that begins with / is a path (CLI11
    // would take /name for an option on Windows). Subcommands inherit this.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", std::string("kvxlog ") + kvx::kVersionText);
    for (auto setup : kvx::cli::registry()) setup(app);
    app.footer(kvx::cli::kExitStatusHelp);
    if (argc < 2) {
        std::fputs(app.help().c_str(), stderr);
        return kvx::cli::kExitNoCommand;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help, --help-all, --version
    } catch (const CLI::ParseError& e) {
        // One status for every malformed command line, whatever the parser's own code.
        app.exit(e);
        return kvx::cli::kExitBadArguments;
    }
    return kvx::cli::finishOutput(kvx::cli::exitStatus());
}
