// Windows keeps the settings in the registry key of the program (see RegistrySettings.h for the
// user's key beside the machine's); $KVXLOGPLUS_SETTINGS may name a settings file instead.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/RegistrySettings.h"
#include "app/Settings.h"
#include "app/SettingsSetup.h"
#include "serial/WinError.h"

namespace kvx::app {

namespace {

constexpr std::string_view kMachinePrefix = "HKEY_LOCAL_MACHINE\\";

// Registry names compare without regard to case.
bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The place a key name stands for: the machine key of that path (and the user key beside it).
std::optional<RegistryPlace> placeOf(std::string_view location) {
    if (location.size() <= kMachinePrefix.size() ||
        !sameName(location.substr(0, kMachinePrefix.size()), kMachinePrefix))
        return std::nullopt;
    std::string_view path = location.substr(kMachinePrefix.size());
    while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    if (path.empty()) return std::nullopt;
    RegistryPlace place;
    place.path = std::string(path);
    return place;
}

std::string keyName(const std::string& root, const std::string& path) {
    return root + "\\" + path + "\\";
}

class Key {
  public:
    Key() = default;
    explicit Key(HKEY h) : h_(h) {}
    ~Key() {
        if (h_ != nullptr) ::RegCloseKey(h_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* out() { return &h_; }
    HKEY get() const { return h_; }

  private:
    HKEY h_ = nullptr;
};

LONG setValue(HKEY key, const std::string& name, DWORD type, const void* data, size_t size) {
    return ::RegSetValueExA(key, name.c_str(), 0, type, static_cast<const BYTE*>(data),
                            static_cast<DWORD>(size));
}

LONG setString(HKEY key, const std::string& name, const std::string& text) {
    return setValue(key, name, REG_SZ, text.c_str(), text.size() + 1);
}

LONG setNumber(HKEY key, const std::string& name, int32_t number) {
    const DWORD v = static_cast<DWORD>(number);
    return setValue(key, name, REG_DWORD, &v, sizeof v);
}

// The values setup writes, as the settings file of Linux has them.
LONG fill(HKEY key, const SetupValues& values) {
    const LoadedSettings& s = values.sample;
    if (LONG rc = setString(key, "Filter", s.filter.value_or("")); rc != ERROR_SUCCESS) return rc;
    if (LONG rc = setString(key, "LogPath", s.logPath.value_or("")); rc != ERROR_SUCCESS)
        return rc;
    if (LONG rc = setNumber(key, "Device", s.device.value_or(0)); rc != ERROR_SUCCESS) return rc;
    if (LONG rc = setNumber(key, "Port", s.port.value_or(0)); rc != ERROR_SUCCESS) return rc;
    const auto sources = catalogueSources();
    for (size_t i = 0; i < sources.size(); ++i)
        if (LONG rc = setString(key, std::string(sources[i].value), values.catalogue[i]);
            rc != ERROR_SUCCESS)
            return rc;
    return ERROR_SUCCESS;
}

// Creates the key `path` under `root` and fills it. ERROR_ALREADY_EXISTS when it was there.
LONG createFilled(const RegistryAccess& access, HKEY root, const std::string& path,
                  const SetupValues& values) {
    Key key;
    DWORD disposition = 0;
    const LONG rc = access.createKey(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, key.out(),
                                     &disposition);
    if (rc != ERROR_SUCCESS) return rc;
    if (disposition == REG_OPENED_EXISTING_KEY) return ERROR_ALREADY_EXISTS;
    const LONG filled = fill(key.get(), values);
    if (filled != ERROR_SUCCESS) {
        // Half a key would look like settings to the next start: take it away again.
        Key gone(key.get());
        *key.out() = nullptr;
        ::RegDeleteKeyA(root, path.c_str());
    }
    return filled;
}

bool keyExists(HKEY root, const std::string& path, REGSAM view) {
    Key key;
    return ::RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE | view, key.out()) ==
           ERROR_SUCCESS;
}

}  // namespace

// ---- the store ---------------------------------------------------------------------------------

std::unique_ptr<RegistrySettings> RegistrySettings::open(const RegistryPlace& place) {
    std::unique_ptr<RegistrySettings> s(new RegistrySettings);
    s->place_ = place;
    const char* path = place.path.c_str();
    if (::RegOpenKeyExA(place.machineRoot, path, 0, KEY_QUERY_VALUE, &s->machine_) !=
        ERROR_SUCCESS) {
        s->machine_ = nullptr;
        if (::RegOpenKeyExA(place.machineRoot, path, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY,
                            &s->machine_) == ERROR_SUCCESS)
            s->machineView_ = KEY_WOW64_32KEY;
        else
            s->machine_ = nullptr;
    }
    if (::RegOpenKeyExA(place.userRoot, path, 0, KEY_QUERY_VALUE, &s->user_) != ERROR_SUCCESS)
        s->user_ = nullptr;
    if (s->machine_ == nullptr && s->user_ == nullptr) return nullptr;
    return s;
}

RegistrySettings::~RegistrySettings() {
    if (machine_ != nullptr) ::RegCloseKey(machine_);
    if (user_ != nullptr) ::RegCloseKey(user_);
}

std::optional<std::string> RegistrySettings::readStringFrom(HKEY key, std::string_view name) const {
    char buffer[kSettingsStringBytes] = {};
    DWORD size = sizeof buffer;
    // RegGetValue adds the terminator a stored string may lack, and fails when it does not fit.
    if (::RegGetValueA(key, nullptr, std::string(name).c_str(),
                       RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, buffer,
                       &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::string(buffer, strnlen(buffer, sizeof buffer));
}

std::optional<int32_t> RegistrySettings::readNumberFrom(HKEY key, std::string_view name) const {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (::RegGetValueA(key, nullptr, std::string(name).c_str(), RRF_RT_REG_DWORD, nullptr, &value,
                       &size) != ERROR_SUCCESS)
        return std::nullopt;
    return static_cast<int32_t>(value);
}

std::optional<std::string> RegistrySettings::readString(std::string_view name) const {
    if (user_ != nullptr)
        if (auto v = readStringFrom(user_, name)) return v;
    if (machine_ != nullptr) return readStringFrom(machine_, name);
    return std::nullopt;
}

std::optional<int32_t> RegistrySettings::readNumber(std::string_view name) const {
    if (user_ != nullptr)
        if (auto v = readNumberFrom(user_, name)) return v;
    if (machine_ != nullptr) return readNumberFrom(machine_, name);
    return std::nullopt;
}

void RegistrySettings::writeString(std::string_view name, std::string_view value) {
    Change c{std::string(name), REG_SZ, std::string(value.substr(0, value.find('\0')))};
    c.data.push_back('\0');
    for (Change& old : changes_)
        if (sameName(old.name, c.name)) {
            old = std::move(c);
            return;
        }
    changes_.push_back(std::move(c));
}

void RegistrySettings::writeNumber(std::string_view name, int32_t value) {
    const DWORD v = static_cast<DWORD>(value);
    Change c{std::string(name), REG_DWORD,
             std::string(reinterpret_cast<const char*>(&v), sizeof v)};
    for (Change& old : changes_)
        if (sameName(old.name, c.name)) {
            old = std::move(c);
            return;
        }
    changes_.push_back(std::move(c));
}

bool RegistrySettings::writeInto(HKEY key) const {
    for (const Change& c : changes_)
        if (setValue(key, c.name, c.type, c.data.data(), c.data.size()) != ERROR_SUCCESS)
            return false;
    return true;
}

bool RegistrySettings::save() {
    const char* path = place_.path.c_str();
    // The user's key first when there is one: its values win at the next start.
    if (user_ != nullptr) {
        Key key;
        if (place_.access.openKey(place_.userRoot, path, 0, KEY_SET_VALUE, key.out()) ==
                ERROR_SUCCESS &&
            writeInto(key.get())) {
            savedTo_ = keyName(place_.userName, place_.path);
            return true;
        }
    }
    if (machine_ != nullptr) {
        Key key;
        if (place_.access.openKey(place_.machineRoot, path, 0, KEY_SET_VALUE | machineView_,
                                  key.out()) == ERROR_SUCCESS &&
            writeInto(key.get())) {
            savedTo_ = keyName(place_.machineName, place_.path);
            return true;
        }
        // No rights to the machine key: the user's own key keeps the choices.
        Key user;
        DWORD disposition = 0;
        if (place_.access.createKey(place_.userRoot, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, user.out(),
                                    &disposition) == ERROR_SUCCESS &&
            writeInto(user.get())) {
            savedTo_ = keyName(place_.userName, place_.path);
            if (user_ == nullptr)
                ::RegOpenKeyExA(place_.userRoot, path, 0, KEY_QUERY_VALUE, &user_);
            return true;
        }
    }
    return false;
}

// ---- setup ---------------------------------------------------------------------------------------

SetupOutcome createSettingsKey(const RegistryPlace& place, const SetupValues& values) {
    SetupOutcome out;
    if (keyExists(place.machineRoot, place.path, 0) ||
        keyExists(place.machineRoot, place.path, KEY_WOW64_32KEY)) {
        out.result = SetupResult::Exists;
        return out;
    }
    if (keyExists(place.userRoot, place.path, 0)) {
        out.result = SetupResult::Exists;
        out.detail = keyName(place.userName, place.path);
        return out;
    }
    LONG rc = createFilled(place.access, place.machineRoot, place.path, values);
    if (rc == ERROR_ACCESS_DENIED) {
        rc = createFilled(place.access, place.userRoot, place.path, values);
        if (rc == ERROR_SUCCESS) out.createdAt = keyName(place.userName, place.path);
    }
    if (rc == ERROR_SUCCESS) {
        out.result = SetupResult::Created;
    } else if (rc == ERROR_ALREADY_EXISTS) {
        out.result = SetupResult::Exists;  // made meanwhile by someone else: left as it is
    } else {
        out.detail = serial::systemErrorText(static_cast<unsigned long>(rc));
    }
    return out;
}

// ---- the location --------------------------------------------------------------------------------

std::string settingsPath() {
    const char* env = std::getenv("KVXLOGPLUS_SETTINGS");
    if (env != nullptr && *env != '\0') return env;
    return std::string(kSettingsKey);
}

std::unique_ptr<SettingsStore> openSettings(const std::string& location) {
    if (isRegistryKeyName(location)) {
        const auto place = placeOf(location);
        if (!place) return nullptr;
        return RegistrySettings::open(*place);
    }
    auto file = SettingsFile::open(location);
    if (!file) return nullptr;
    return std::make_unique<SettingsFile>(std::move(*file));
}

SetupOutcome createSettingsAt(const std::string& location, const std::string& dataDir) {
    if (!isRegistryKeyName(location)) return createSettings(location, dataDir);
    SetupOutcome out;
    const auto place = placeOf(location);
    if (!place) {
        out.detail = "only keys under HKEY_LOCAL_MACHINE hold the program's settings";
        return out;
    }
    if (keyExists(place->machineRoot, place->path, 0) ||
        keyExists(place->userRoot, place->path, 0)) {
        return createSettingsKey(*place, SetupValues{});  // says which one exists
    }
    const auto values = setupValues(dataDir, out);
    if (!values) return out;
    return createSettingsKey(*place, *values);
}

}  // namespace kvx::app
