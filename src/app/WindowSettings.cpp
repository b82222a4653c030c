#include "app/WindowSettings.h"

#include <cstdio>
#include <vector>

#include "app/Settings.h"

namespace kvx::app {

namespace ctl = capture::ctl;

bool loadWindowSettings(const std::string& location, MainDialog& dialog, capture::Window& window,
                        const filters::FilterReporter& reporter) {
    if (location.empty()) return false;
    auto store = openSettings(location);
    if (!store) return false;
    const LoadedSettings loaded = readSettings(*store);
    if (loaded.filter) window.setText(ctl::kFilterPath, *loaded.filter);
    if (loaded.logPath) window.setText(ctl::kLogPath, *loaded.logPath);
    if (loaded.device) dialog.selectDevice(*loaded.device);
    if (auto port = portEditText(loaded)) window.setText(ctl::kCustomPort, *port);
    // Ring, MaxTotal and MinFree: the Multiple Log Files group keeps to them (no control).
    std::vector<std::string> problems;
    dialog.setRetention(retentionPolicy(loaded, &problems));
    for (const auto& bad : problems) std::fprintf(stderr, "kvxlogplus: %s: not a valid value, ignored\n", bad.c_str());
    loadCatalogue(loaded, dialog.filters(), reporter);
    return true;
}

bool saveWindowSettings(const std::string& location, MainDialog& dialog, capture::Window& window) {
    if (location.empty()) return false;
    SettingsEdits edits;
    edits.filter = window.getText(ctl::kFilterPath);
    edits.logPath = window.getText(ctl::kLogPath);
    edits.device = dialog.readDevice();
    edits.port = window.getText(ctl::kCustomPort);
    return saveSettings(location, settingsToSave(edits));
}

}  // namespace kvx::app
