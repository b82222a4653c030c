// kvxlog setup: the first-run step. Creates the settings file that points the catalogue values
// at the installed catalogue; an existing settings file is left as it is.
#include <sys/auxv.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "Command.h"
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
// under any prefix, or unpacked anywhere, finds its own catalogue), else the folder of the
// configured install prefix, else the system's.
std::string installedDataDir() {
    std::vector<fs::path> programs;
    std::error_code ec;
    if (fs::path self = fs::read_symlink("/proc/self/exe", ec); !ec) programs.push_back(self);
    // Without /proc (a fresh chroot): the path the program was started by.
    if (const auto* started = reinterpret_cast<const char*>(::getauxval(AT_EXECFN));
        started != nullptr && *started != '\0') {
        const fs::path program = fs::weakly_canonical(fs::absolute(started, ec), ec);
        if (!ec && program.is_absolute()) programs.push_back(program);
    }
    for (const fs::path& program : programs) {
        const fs::path beside = program.parent_path().parent_path() / "share" / "kvxlogplus";
        if (holdsSample(beside)) return beside.string();
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
    const app::SetupOutcome outcome = app::createSettings(path, data);
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
        "setup", "Create the settings file, pointing it at the installed catalogue");
    auto args = std::make_shared<SetupArgs>();
    cmd->add_option("--settings", args->settings,
                    "Settings file to create (default: $KVXLOGPLUS_SETTINGS, else "
                    "$XDG_CONFIG_HOME/kvxlogplus/kvxlogplus.ini)");
    cmd->add_option("--data", args->data,
                    "Folder holding kvxlogplus.ini and catalogue/ (default: the installed one)");
    cmd->footer("An existing settings file is never overwritten (exit status 0).");
    cmd->callback([args] { exitStatus() = runSetup(*args); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
