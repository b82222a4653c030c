#include "app/SettingsSetup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "app/Settings.h"
#include "os/Files.h"

namespace kvx::app {

namespace {

namespace fs = std::filesystem;

constexpr const char* kSampleName = "kvxlogplus.ini";

std::string valueLine(std::string_view name, const std::optional<std::string>& value) {
    return std::string(name) + "=" + value.value_or(std::string()) + "\n";
}

std::string valueLine(std::string_view name, const std::optional<int32_t>& value) {
    return std::string(name) + "=" + std::to_string(value.value_or(0)) + "\n";
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::optional<SetupValues> setupValues(const std::string& dataDir, SetupOutcome& out) {
    std::error_code ec;
    const fs::path dataFolder = fs::absolute(dataDir, ec).lexically_normal();
    const std::string samplePath = (dataFolder / kSampleName).string();
    const auto sample = SettingsFile::open(samplePath);
    if (!sample) {
        out.result = SetupResult::NoCatalogue;
        out.detail = samplePath;
        return std::nullopt;
    }
    SetupValues values;
    values.sample = readSettings(*sample);
    const LoadedSettings& loaded = values.sample;
    const auto sources = catalogueSources();
    for (size_t i = 0; i < sources.size(); ++i) {
        const auto& value = loaded.catalogue[i];
        const std::string file =
            value ? fs::path(resolveCataloguePath(loaded.folder, *value)).lexically_normal().string()
                  : std::string();
        // A value the program would ignore (too long) is as good as a missing file.
        if (file.empty() || file.size() >= kSettingsStringBytes ||
            file.find_first_of("\r\n") != std::string::npos || !fs::is_regular_file(file, ec)) {
            out.result = SetupResult::NoCatalogue;
            out.detail = file.empty() ? samplePath + ": " + std::string(sources[i].value) : file;
            return std::nullopt;
        }
        values.catalogue[i] = file;
    }
    return values;
}

SetupOutcome createSettings(const std::string& path, const std::string& dataDir) {
    SetupOutcome out;
    std::error_code ec;
    if (path.empty()) {
        out.detail = "no settings path (set HOME, XDG_CONFIG_HOME or use --settings)";
        return out;
    }
    if (fs::exists(fs::symlink_status(path, ec))) {
        out.result = SetupResult::Exists;
        return out;
    }

    const auto values = setupValues(dataDir, out);
    if (!values) return out;
    const LoadedSettings& loaded = values->sample;

    std::string text =
        "; KvxLog Plus settings, written by kvxlog setup. The catalogue values name the\n"
        "; installed catalogue files; the window stores the other values when it exits.\n"
        "[KvxLogPlus]\n";
    text += valueLine("Filter", loaded.filter);
    text += valueLine("LogPath", loaded.logPath);
    text += valueLine("Device", loaded.device);
    text += valueLine("Port", loaded.port);
    text += "\n";
    const auto sources = catalogueSources();
    for (size_t i = 0; i < sources.size(); ++i)
        text += std::string(sources[i].value) + "=" + values->catalogue[i] + "\n";

    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty()) fs::create_directories(parent, ec);
    if (ec) {
        out.detail = parent.string() + ": " + ec.message();
        return out;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | os::kOpenFlags, 0644);
    if (fd < 0) {
        if (errno == EEXIST) {
            out.result = SetupResult::Exists;
            return out;
        }
        out.detail = std::strerror(errno);
        return out;
    }
    const bool written = writeAll(fd, text);
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        out.detail = std::strerror(errno);
        ::unlink(path.c_str());
        return out;
    }
    out.result = SetupResult::Created;
    return out;
}

std::string describe(const SetupOutcome& outcome, const std::string& path) {
    const std::string what = isRegistryKeyName(path) ? "registry key " : "settings file ";
    switch (outcome.result) {
        case SetupResult::Created:
            if (!outcome.createdAt.empty())
                return "Created the registry key " + outcome.createdAt + " for this user (" +
                       path + " needs administrative rights; run kvxlog setup as administrator "
                       "to make it for every user)";
            return "Created the " + what + path;
        case SetupResult::Exists:
            return "The " + what + (outcome.detail.empty() ? path : outcome.detail) +
                   " exists; left unchanged";
        case SetupResult::NoCatalogue:
            return "No installed catalogue: " + outcome.detail +
                   " is missing (give the folder holding kvxlogplus.ini and catalogue/ with "
                   "--data)";
        case SetupResult::CannotWrite:
            break;
    }
    return "Could not create the " + what + path + ": " + outcome.detail;
}

std::string missingSettingsText(const std::string& path) {
    if (path.empty()) return "No settings file: run kvxlog setup --settings PATH to create one";
    if (isRegistryKeyName(path)) return "No registry key " + path + ": kvxlog setup creates it";
    return "No settings file " + path + ": kvxlog setup creates it";
}

}  // namespace kvx::app
