// kvxlog setup: the first-run step. Creates the settings (the settings file; on Windows the
// registry key) that point the catalogue values at the installed catalogue; existing settings
// are left as they are.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "Command.h"
#include "app/ProgramFile.h"
#include "app/Settings.h"
#include "app/SettingsSetup.h"

namespace kvx::cli {
namespace {

namespace fs = std::filesystem;

bool holdsSample(const fs::path& dir) {
    std::error_code ec;
    return fs::is_regular_file(dir / "kvxlogplus.ini", ec);
}

// The installed data folder: share/kvxlogplus beside the program's bin folder (so an install
// under any prefix, or unpacked anywhere, finds its own catalogue), or the program's own folder
// (the Windows archive keeps everything together), else the folder of the configured install
// prefix, else the system's.
std::string installedDataDir() {
    for (const fs::path& program : app::programFiles()) {
        const fs::path beside = program.parent_path().parent_path() / "share" / "kvxlogplus";
        if (holdsSample(beside)) return beside.string();
        if (holdsSample(program.parent_path())) return program.parent_path().string();
    }
#ifdef KVX_INSTALL_DATADIR
    if (holdsSample(KVX_INSTALL_DATADIR)) return KVX_INSTALL_DATADIR;
#endif
    if (holdsSample("/usr/share/kvxlogplus")) return "/usr/share/kvxlogplus";
    return {};
}

struct SetupArgs {
    std::string settings;
    std::string data;
};

int runSetup(const SetupArgs& a) {
    const std::string path = a.settings.empty() ? app::settingsPath() : a.settings;
    const std::string data = a.data.empty() ? installedDataDir() : a.data;
    if (data.empty()) {
        std::fprintf(stderr,
                     "kvxlog setup: no installed catalogue found beside the program; give the "
                     "folder holding kvxlogplus.ini and catalogue/ with --data\n");
        return 1;
    }
    const app::SetupOutcome outcome = app::createSettingsAt(path, data);
    const std::string text = app::describe(outcome, path);
    switch (outcome.result) {
        case app::SetupResult::Created:
        case app::SetupResult::Exists:
            std::printf("%s\n", text.c_str());
            return 0;
        case app::SetupResult::NoCatalogue:
        case app::SetupResult::CannotWrite:
            break;
    }
    std::fprintf(stderr, "kvxlog setup: %s\n", text.c_str());
    return 1;
}

void setup(CLI::App& app) {
    auto* cmd = app.add_subcommand(
        "setup",
        "Create the settings file (on Windows the registry key), pointing it at the installed "
        "catalogue");
    auto args = std::make_shared<SetupArgs>();
    cmd->add_option("--settings", args->settings,
                    "Settings file to create (default: $KVXLOGPLUS_SETTINGS, else on Linux "
                    "$XDG_CONFIG_HOME/kvxlogplus/kvxlogplus.ini, on Windows the registry key "
                    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvanta Wireless Inc\\KvxLogPlus\\, or "
                    "the same key under HKEY_CURRENT_USER without administrative rights)");
    cmd->add_option("--data", args->data,
                    "Folder holding kvxlogplus.ini and catalogue/ (default: the installed one)");
    cmd->footer("Existing settings (file or key) are never overwritten (exit status 0).");
    cmd->callback([args] { exitStatus() = runSetup(*args); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
