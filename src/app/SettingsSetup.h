// The first-run step behind `kvxlog setup`: writes a new settings file whose sixteen catalogue
// values name the installed catalogue, and never touches a settings file that exists.
// Plain functions; any thread.
#pragma once

#include <string>

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
};

// Creates the settings file at `path` from the installed data folder `dataDir` (holding
// kvxlogplus.ini, the sample settings, and the catalogue files it names). Catalogue values
// are written as absolute paths, every other value as the sample has it. Missing folders of
// `path` are created. The file is created exclusively: a file made meanwhile by someone else
// is never overwritten.
SetupOutcome createSettings(const std::string& path, const std::string& dataDir);

// One line for the user about the outcome ("Created ...", "... exists; left unchanged").
std::string describe(const SetupOutcome& outcome, const std::string& path);

// What the front ends say when the settings file is missing: where it was looked for and
// that `kvxlog setup` creates it.
std::string missingSettingsText(const std::string& path);

}  // namespace kvx::app
