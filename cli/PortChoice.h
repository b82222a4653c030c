// The port a command uses: what its --port option names, else the settings' port choice as the
// window restores it at start-up ("Device", "Port" and "PortPath").
#pragma once

#include <string>
#include <string_view>

#include "app/Settings.h"

namespace kvx::cli {

// The --port value for the maker's modem, found by name.
inline constexpr std::string_view kAutoPort = "auto";

// Edit 1050's text for a port name as the user types it: what follows "\\.\COM", a number or
// a path ("\\.\COM7", "COM7" and "7" all give "7"; "/dev/ttyACM0" stays as it is).
std::string portEdit(std::string name);

// The settings' choice as a --port value: "auto" for "Device" 1 (the detected modem);
// otherwise the stored port, "PortPath" when it is not empty, else "Port". "auto" as well when
// no port is stored at all.
std::string settingsPort(const app::LoadedSettings& settings);
// The same from the user's settings (app::settingsPath()); "auto" when there are none.
std::string settingsPort();

}  // namespace kvx::cli
