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

}  // namespace kvx::cli
