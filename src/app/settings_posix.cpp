// Linux keeps the settings in a file of the user's configuration folder.
#include <cstdlib>
#include <memory>
#include <string>

#include "app/Settings.h"
#include "app/SettingsSetup.h"

namespace kvx::app {

namespace {
std::string envOr(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}
}  // namespace

std::string settingsPath() {
    if (std::string p = envOr("KVXLOGPLUS_SETTINGS"); !p.empty()) return p;
    if (std::string x = envOr("XDG_CONFIG_HOME"); !x.empty() && x[0] == '/')
        return x + "/kvxlogplus/kvxlogplus.ini";
    if (std::string home = envOr("HOME"); !home.empty())
        return home + "/.config/kvxlogplus/kvxlogplus.ini";
    return {};
}

std::unique_ptr<SettingsStore> openSettings(const std::string& location) {
    auto file = SettingsFile::open(location);
    if (!file) return nullptr;
    return std::make_unique<SettingsFile>(std::move(*file));
}

SetupOutcome createSettingsAt(const std::string& location, const std::string& dataDir) {
    return createSettings(location, dataDir);
}

}  // namespace kvx::app
