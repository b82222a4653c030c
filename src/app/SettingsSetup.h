// The first-run step behind `kvxlog setup`: writes new settings (a settings file, or on Windows
// the registry key) whose sixteen catalogue values name the installed catalogue, and never
// touches settings that exist. Plain functions; any thread.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "app/Settings.h"

namespace kvx::app {

enum class SetupResult {
    Created,      // the file was written
    Exists,       // a settings file is already there; left as it is
    NoCatalogue,  // the data folder lacks the sample settings or a catalogue file
    CannotWrite,  // the file (or its folder) could not be created; nothing is left behind
};

struct SetupOutcome {
    SetupResult result = SetupResult::CannotWrite;
    std::string detail;  // the missing catalogue file, or the operating system's reason
    // Created elsewhere than asked: the user's own registry key, when the machine key needs
    // administrative rights. Empty otherwise.
    std::string createdAt;
};

// What setup writes: the installed sample's values, and the sixteen catalogue values as
// absolute paths of files that exist (in catalogueSources() order).
struct SetupValues {
    LoadedSettings sample;
    std::array<std::string, 16> catalogue;
};
// The values from the data folder `dataDir`; nullopt, with `out` saying what is missing
// (NoCatalogue), when it lacks the sample settings or a catalogue file.
std::optional<SetupValues> setupValues(const std::string& dataDir, SetupOutcome& out);

// Creates the settings where `location` (settingsPath()) says: createSettings for a file; on
// Windows, for the registry key's name, the key (or, without the rights to the machine key,
// the user's key of the same path).
SetupOutcome createSettingsAt(const std::string& location, const std::string& dataDir);

// Creates the settings file at `path` from the installed data folder `dataDir` (holding
// kvxlogplus.ini, the sample settings, and the catalogue files it names). Catalogue values
// are written as absolute paths, every other value as the sample has it. Missing folders of
// `path` are created. The file is created exclusively: a file made meanwhile by someone else
// is never overwritten.
SetupOutcome createSettings(const std::string& path, const std::string& dataDir);

// One line for the user about the outcome ("Created ...", "... exists; left unchanged").
std::string describe(const SetupOutcome& outcome, const std::string& path);

// What the front ends say when the settings file (or registry key) is missing: where it was
// looked for and that `kvxlog setup` creates it.
std::string missingSettingsText(const std::string& path);

}  // namespace kvx::app
