// The settings in the registry (Windows only). The program's key has always been read from
// HKEY_LOCAL_MACHINE, which a user without administrative rights may read but not write: such
// a user would lose every choice at each exit. So the same path under HKEY_CURRENT_USER holds
// what a user saved and wins over the machine key, value by value; saves go to the machine key
// when it can be written, and to the user's key when not (or when the user has one already,
// whose values would otherwise hide the new ones).
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app/Settings.h"
#include "app/SettingsSetup.h"

namespace kvx::app {

// The registry calls that open and create keys for writing. Tests put their own in place to
// be refused as a user without administrative rights is (Wine grants every right).
struct RegistryAccess {
    decltype(&::RegOpenKeyExA) openKey = ::RegOpenKeyExA;
    decltype(&::RegCreateKeyExA) createKey = ::RegCreateKeyExA;
};

// The two keys of one path: the machine's and the user's.
struct RegistryPlace {
    HKEY machineRoot = HKEY_LOCAL_MACHINE;
    HKEY userRoot = HKEY_CURRENT_USER;
    std::string path = "SOFTWARE\\Orvanta Wireless Inc\\KvxLogPlus";
    // Names of the two keys for messages ("HKEY_LOCAL_MACHINE\...").
    std::string machineName = "HKEY_LOCAL_MACHINE";
    std::string userName = "HKEY_CURRENT_USER";
    RegistryAccess access;
};

class RegistrySettings final : public SettingsStore {
  public:
    // Opens both keys for reading (the machine key also in its 32-bit view, where an installer
    // of 32-bit programs puts it, when the 64-bit view has none). Null when neither exists.
    static std::unique_ptr<RegistrySettings> open(const RegistryPlace& place = {});
    ~RegistrySettings() override;
    RegistrySettings(const RegistrySettings&) = delete;
    RegistrySettings& operator=(const RegistrySettings&) = delete;

    // The user key's value when it has one, else the machine key's. Strings: REG_SZ (or
    // REG_EXPAND_SZ, not expanded) of fewer than 500 bytes; numbers: REG_DWORD.
    std::optional<std::string> readString(std::string_view name) const override;
    std::optional<int32_t> readNumber(std::string_view name) const override;
    void writeString(std::string_view name, std::string_view value) override;
    void writeNumber(std::string_view name, int32_t value) override;
    // Writes the changes: into the user key when it exists, else into the machine key, else
    // into a user key made for them. False when nothing could be written.
    bool save() override;
    std::string folder() const override { return {}; }

    // The key the last save wrote to ("HKEY_CURRENT_USER\..."); empty before a save.
    const std::string& savedTo() const { return savedTo_; }

  private:
    RegistrySettings() = default;
    std::optional<std::string> readStringFrom(HKEY key, std::string_view name) const;
    std::optional<int32_t> readNumberFrom(HKEY key, std::string_view name) const;
    bool writeInto(HKEY key) const;

    struct Change {
        std::string name;
        DWORD type = REG_SZ;
        std::string data;  // REG_SZ: the text with its terminator; REG_DWORD: four bytes
    };

    RegistryPlace place_;
    HKEY machine_ = nullptr;
    REGSAM machineView_ = 0;  // 0, or KEY_WOW64_32KEY when the key was found there
    HKEY user_ = nullptr;
    std::vector<Change> changes_;
    std::string savedTo_;
};

// `kvxlog setup` on Windows: creates the machine key with the given values, or the user key
// when the machine key may not be written (outcome.createdAt then names it). Never touches an
// existing key: Exists when either key is there. A key made but not filled is removed again.
SetupOutcome createSettingsKey(const RegistryPlace& place, const SetupValues& values);

}  // namespace kvx::app
