#include "PortChoice.h"

#include "app/MainDialog.h"

namespace kvx::cli {

std::string portEdit(std::string name) {
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    if (name.rfind("COM", 0) == 0) name.erase(0, 3);
    return name;
}

std::string settingsPort(const app::LoadedSettings& settings) {
    if (settings.device == app::kDeviceDetected) return std::string(kAutoPort);
    // Any other device selects the custom row in the window, which then uses edit 1050.
    if (auto text = app::portEditText(settings)) return *text;
    return std::string(kAutoPort);
}

std::string settingsPort() {
    const std::string path = app::settingsPath();
    auto file = path.empty() ? nullptr : app::openSettings(path);
    if (!file) return std::string(kAutoPort);
    return settingsPort(app::readSettings(*file));
}

}  // namespace kvx::cli
