// The program's settings: the four user settings (plus "PortPath" and "KeepAll"), the sixteen
// catalogue file paths, and the value logic of LoadSettings and SaveSettings as plain
// functions (the window wiring lives with the main dialog). Where they are kept is a
// SettingsStore: on Windows the registry key (settings_win.cpp), on Linux the settings file
// below, which stands in for it; a settings file works on Windows too.
//
// Settings file format (INI style, read as text: CR LF counts as LF):
//   [KvxLogPlus]                 only values inside this section are seen
//   Name=value                   names compare case-insensitively; spaces around both trimmed
//   ; comment, # comment         whole-line comments; blank lines are ignored
// A name given twice: the first counts. Strings of 500 bytes or more do not fit (the 500-byte
// buffer holds the terminating zero too) and count as missing. Numbers are 32-bit, decimal or
// 0x-hexadecimal; anything else counts as missing. A relative catalogue path is taken from
// the folder of the settings file itself.
// Location (settingsPath()): $KVXLOGPLUS_SETTINGS, else on Linux
// $XDG_CONFIG_HOME/kvxlogplus/kvxlogplus.ini, else ~/.config/kvxlogplus/kvxlogplus.ini; on
// Windows the registry key kSettingsKey. The program never creates the file or the key (only
// `kvxlog setup` does); without it nothing is loaded and nothing saved.
//
// Threads: plain values; use from one thread at a time (the window thread).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/Retention.h"
#include "filters/FilterEntry.h"
#include "filters/FilterReporter.h"
#include "filters/FilterSet.h"

namespace kvx::app {

inline constexpr size_t kSettingsStringBytes = 500;  // terminating zero included
inline constexpr std::string_view kSettingsSection = "KvxLogPlus";
// The program's registry key, as settingsPath() names it on Windows.
inline constexpr std::string_view kSettingsKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvanta Wireless Inc\\KvxLogPlus\\";
// True when `location` names a registry key (it begins with "HKEY_") rather than a file.
bool isRegistryKeyName(std::string_view location);

// A whole decimal (leading zeros allowed, never octal) or 0x-hexadecimal number with an
// optional sign, within 32 bits (0xFFFFFFFF reads as -1); nullopt when malformed. Settings
// values and command-line item numbers are read by it.
std::optional<int32_t> parseNumber(std::string_view text);

// Where the user's settings are: the settings file's path, or on Windows the registry key's
// name (kSettingsKey) unless $KVXLOGPLUS_SETTINGS names a file. Empty when none can be named.
std::string settingsPath();

// Named values as LoadSettings reads and SaveSettings writes them.
class SettingsStore {
  public:
    virtual ~SettingsStore() = default;
    // A string of fewer than 500 bytes, a 32-bit number; nullopt when missing or not fitting.
    virtual std::optional<std::string> readString(std::string_view name) const = 0;
    virtual std::optional<int32_t> readNumber(std::string_view name) const = 0;
    // Changes kept until save().
    virtual void writeString(std::string_view name, std::string_view value) = 0;
    virtual void writeNumber(std::string_view name, int32_t value) = 0;
    // False when nothing could be saved.
    virtual bool save() = 0;
    // The folder relative catalogue paths start from; "" when they have none.
    virtual std::string folder() const = 0;
};

// Opens the settings at `location` (settingsPath()): a settings file, or on Windows the
// registry key. Null when missing or unreadable.
std::unique_ptr<SettingsStore> openSettings(const std::string& location);

class SettingsFile final : public SettingsStore {
  public:
    // "Opening the key": nullopt when the file does not exist or cannot be read.
    static std::optional<SettingsFile> open(const std::string& path);

    std::optional<std::string> readString(std::string_view name) const override;
    std::optional<int32_t> readNumber(std::string_view name) const override;
    // Change the value in memory (the first line of that name, or a new line at the end of the
    // section; the section is added when missing). Line breaks end a string value.
    void writeString(std::string_view name, std::string_view value) override;
    void writeNumber(std::string_view name, int32_t value) override;
    // Writes the lines into a new file beside the old one and renames it over the old one
    // (keeping its permissions), so a failed or interrupted save leaves the old file whole.
    // Never creates the file: false when it is gone or cannot be replaced.
    bool save() override;

    const std::string& path() const { return path_; }
    // The folder holding the file (relative catalogue paths start here).
    std::string folder() const override;

  private:
    std::optional<size_t> find(std::string_view name) const;  // line index of the value
    std::string path_;
    std::vector<std::string> lines_;
};

// The sixteen catalogue sources, in load order.
enum class CatalogueTable { Message, Event, Log, Nv };
struct CatalogueSource {
    std::string_view value;
    CatalogueTable table;
    filters::LineKind kind;
};
std::span<const CatalogueSource> catalogueSources();
filters::FilterTable& catalogueTable(filters::FilterSet& set, CatalogueTable table);

// What LoadSettings reads; a value absent, too long or not a number is nullopt.
struct LoadedSettings {
    std::optional<std::string> filter;    // edit 1005
    std::optional<std::string> logPath;   // edit 1006
    std::optional<int32_t> device;        // port combo row
    std::optional<int32_t> port;          // edit 1050 as "%d"
    std::optional<std::string> portPath;  // a port given as a path, shown in edit 1050
    std::optional<int32_t> keepAll;       // "KeepAll": nonzero logs packets of every command
    // Retention of the window's captures (read only, as the catalogue): "Ring" a number of
    // files (0: all), "MaxTotal" and "MinFree" sizes as the command line takes them ("20G",
    // "500M"; MinFree "0" turns the floor off, absent or empty: the default floor).
    std::optional<int32_t> ring;
    std::optional<std::string> maxTotal;
    std::optional<std::string> minFree;
    std::array<std::optional<std::string>, 16> catalogue;  // in catalogueSources() order
    std::string folder;                                    // of the settings file
};
LoadedSettings readSettings(const SettingsStore& store);

// The retention policy the three values above give; a value that is malformed or out of range
// is left at its default and named in `problems` ("Ring=-2", "MaxTotal=lots").
capture::RetentionPolicy retentionPolicy(const LoadedSettings& settings,
                                         std::vector<std::string>* problems = nullptr);

// Edit 1050's text: a non-empty PortPath, else Port as "%d"; nullopt leaves the edit alone.
std::optional<std::string> portEditText(const LoadedSettings& settings);

// A catalogue path as opened: absolute as it is, relative from the settings file's folder.
std::string resolveCataloguePath(const std::string& folder, const std::string& value);

// Loads each catalogue file named in the settings into its table, in catalogueSources() order,
// then prunes the empty categories of every table (FilterSet::pruneAll).
void loadCatalogue(const LoadedSettings& settings, filters::FilterSet& set,
                   const filters::FilterReporter& reporter);

// The edit texts and selection SaveSettings stores.
struct SettingsEdits {
    std::string filter;   // edit 1005
    std::string logPath;  // edit 1006
    int32_t device = 0;   // from the port combo
    std::string port;     // edit 1050
};
// What SaveSettings writes; logPath nullopt: "LogPath" keeps its stored value.
struct SettingsToSave {
    std::string filter;
    std::optional<std::string> logPath;
    int32_t device = 0;
    int32_t port = 0;      // the leading decimal number of edit 1050; 0 for anything else
    std::string portPath;  // edit 1050 when it holds a path (has a '/'), else empty
};
using PathExists = std::function<bool(const std::string&)>;
bool pathExists(const std::string& path);
// The log folder rule: an existing path gets a trailing '/'; otherwise the path is cut before
// its last '/' (a trailing one removed first) and that folder is kept when it exists.
std::optional<std::string> logPathToSave(const std::string& text,
                                         const PathExists& exists = pathExists);
SettingsToSave settingsToSave(const SettingsEdits& edits, const PathExists& exists = pathExists);
// SaveSettings: writes the values into the settings at `location` (openSettings) only when they
// exist. False when nothing could be saved.
bool saveSettings(const std::string& location, const SettingsToSave& values);

}  // namespace kvx::app
