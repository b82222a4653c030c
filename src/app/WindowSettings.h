// LoadSettings and SaveSettings of the main window, the same for every front end: the values
// between the settings (file or registry key, openSettings) and the window's controls.
// Threads: the window's thread.
#pragma once

#include <string>

#include "app/MainDialog.h"
#include "capture/Window.h"
#include "filters/FilterReporter.h"

namespace kvx::app {

// Fills edits 1005, 1006 and 1050 and the port selection from the settings at `location`, and
// loads the catalogue they name into the dialog's trees. False (nothing changed) when there
// are no settings there.
bool loadWindowSettings(const std::string& location, MainDialog& dialog, capture::Window& window,
                        const filters::FilterReporter& reporter);

// Saves edits 1005, 1006 and 1050 and the port selection; false when nothing could be saved
// (no settings there, or not writable).
bool saveWindowSettings(const std::string& location, MainDialog& dialog, capture::Window& window);

}  // namespace kvx::app
