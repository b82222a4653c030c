// kvxlog's subcommands register themselves: each command file defines one registrar that adds
// its subcommand to the application and sets the exit status when it runs.
#pragma once

#include <CLI/CLI.hpp>

namespace kvx::cli {

using CommandSetup = void (*)(CLI::App& app);

struct CommandRegistrar {
    explicit CommandRegistrar(CommandSetup setup);
};

// The exit status main returns once the chosen subcommand has run.
int& exitStatus();

// kvxlog without a command, and a command line that does not parse (an unknown option, a
// value out of its range, a malformed item).
inline constexpr int kExitNoCommand = 2;
inline constexpr int kExitBadArguments = 64;

inline constexpr const char* kExitStatusHelp =
    "Exit status: 0 done; 1 unreadable input, or the filter was not sent; 2 no command, no "
    "communication with the modem, or a damaged log (pcap, export, dump); 3 the log file (or "
    "the pcap or export file) could not be created; 4 the raw input could "
    "not be opened; 5 the logging worker could not be stopped; 6 a write to the log failed; "
    "7 the modem never streamed a packet; 8 the error log could not be written; 9 a log "
    "that does not end with its closing note (dump); 10 free space ran low and the capture ended "
    "its log cleanly (capture); 64 a malformed command line. Each command's "
    "--help tells which of these it uses.";

// Called by commands that print lists, between lines: when the reader of stdout has closed
// its end (`kvxlog dump f | head`), the command ends at once and quietly with status 0.
void endIfOutputClosed();

}  // namespace kvx::cli
