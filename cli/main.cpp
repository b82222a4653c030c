// kvxlog: the headless front end. Each subcommand lives in a file of its own (cmd_*.cpp).
#include <cstdio>
#include <vector>

#include "Command.h"
#include "version.h"

namespace kvx::cli {
namespace {
std::vector<CommandSetup>& registry() {
    static std::vector<CommandSetup> setups;
    return setups;
}
}  // namespace

CommandRegistrar::CommandRegistrar(CommandSetup setup) { registry().push_back(setup); }

int& exitStatus() {
    static int status = 0;
    return status;
}
}  // namespace kvx::cli

int main(int argc, char** argv) {
    CLI::App app{"KvxLog Plus: DM logger for Qualcomm-based modems", "kvxlog"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("kvxlog ") + kvx::kVersionText);
    for (auto setup : kvx::cli::registry()) setup(app);
    CLI11_PARSE(app, argc, argv);
    return kvx::cli::exitStatus();
}
