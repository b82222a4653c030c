#include "app/Settings.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "filters/ReplacingFile.h"
#include "os/Files.h"

namespace kvx::app {

namespace {

namespace fs = std::filesystem;
using filters::LineKind;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool isComment(std::string_view t) {
    return !t.empty() && (t[0] == ';' || t[0] == '#');
}

// Section name of a "[name]" line, nullopt for other lines.
std::optional<std::string_view> sectionOf(std::string_view line) {
    const std::string_view t = trim(line);
    if (t.size() < 2 || t.front() != '[' || t.back() != ']') return std::nullopt;
    return trim(t.substr(1, t.size() - 2));
}

constexpr CatalogueSource kSources[] = {
    {"KVXMSGCAT", CatalogueTable::Message, LineKind::Category},
    {"KVXMSGS", CatalogueTable::Message, LineKind::Message},
    {"MSGCAT", CatalogueTable::Message, LineKind::Category},
    {"MSGS", CatalogueTable::Message, LineKind::Message},
    {"EVENTCAT", CatalogueTable::Event, LineKind::Category},
    {"EVENTS", CatalogueTable::Event, LineKind::Event},
    {"OTALOGCAT", CatalogueTable::Log, LineKind::Category},
    {"OTALOGS", CatalogueTable::Log, LineKind::Ota},
    {"LOGCAT", CatalogueTable::Log, LineKind::Category},
    {"LOGS", CatalogueTable::Log, LineKind::Log},
    {"KVXLOGCAT", CatalogueTable::Log, LineKind::Category},
    {"KVXLOGS", CatalogueTable::Log, LineKind::Log},
    {"NVITEMCAT", CatalogueTable::Nv, LineKind::Category},
    {"NVITEMS", CatalogueTable::Nv, LineKind::Nv},
    {"KVXNVITEMCAT", CatalogueTable::Nv, LineKind::Category},
    {"KVXNVITEMS", CatalogueTable::Nv, LineKind::Nv},
};
static_assert(std::size(kSources) == 16);

}  // namespace

bool isRegistryKeyName(std::string_view location) {
    return location.substr(0, 5) == "HKEY_";
}

// ---- the file ----------------------------------------------------------------------------------

std::optional<SettingsFile> SettingsFile::open(const std::string& path) {
    if (path.empty()) return std::nullopt;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    SettingsFile file;
    file.path_ = path;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        file.lines_.push_back(std::move(line));
    }
    if (in.bad()) return std::nullopt;
    return file;
}

std::optional<size_t> SettingsFile::find(std::string_view name) const {
    bool inSection = false;
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (auto s = sectionOf(lines_[i])) {
            inSection = equalNoCase(*s, kSettingsSection);
            continue;
        }
        const std::string_view t = trim(lines_[i]);
        if (!inSection || isComment(t)) continue;
        const size_t eq = t.find('=');
        if (eq != std::string_view::npos && equalNoCase(trim(t.substr(0, eq)), name)) return i;
    }
    return std::nullopt;
}

std::optional<std::string> SettingsFile::readString(std::string_view name) const {
    const auto i = find(name);
    if (!i) return std::nullopt;
    const std::string_view t = trim(lines_[*i]);
    const std::string_view value = trim(t.substr(t.find('=') + 1));
    if (value.size() + 1 > kSettingsStringBytes) return std::nullopt;
    return std::string(value);
}

std::optional<int32_t> parseNumber(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        int d = -1;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        if (d < 0) return std::nullopt;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFull) return std::nullopt;
    }
    if (negative) {
        if (v > 0x80000000ull) return std::nullopt;
        return static_cast<int32_t>(-static_cast<int64_t>(v));
    }
    return static_cast<int32_t>(static_cast<uint32_t>(v));
}

std::optional<int32_t> SettingsFile::readNumber(std::string_view name) const {
    const auto text = readString(name);
    if (!text) return std::nullopt;
    return parseNumber(*text);
}

void SettingsFile::writeString(std::string_view name, std::string_view value) {
    value = value.substr(0, value.find_first_of("\r\n"));
    std::string line = std::string(name) + "=" + std::string(value);
    if (const auto i = find(name)) {
        // Keep the name as the file spells it.
        const std::string_view t = trim(lines_[*i]);
        line = std::string(trim(t.substr(0, t.find('=')))) + "=" + std::string(value);
        lines_[*i] = std::move(line);
        return;
    }
    // After the last value line of the section, or a new section at the end.
    std::optional<size_t> at;
    bool inSection = false;
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (auto s = sectionOf(lines_[i])) {
            inSection = equalNoCase(*s, kSettingsSection);
            if (inSection) at = i + 1;
            continue;
        }
        if (inSection && !trim(lines_[i]).empty()) at = i + 1;
    }
    if (!at) {
        std::string header = "[";
        header.append(kSettingsSection).append("]");
        lines_.push_back(std::move(header));
        at = lines_.size();
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(*at), std::move(line));
}

void SettingsFile::writeNumber(std::string_view name, int32_t value) {
    writeString(name, std::to_string(value));
}

bool SettingsFile::save() {
    std::error_code ec;
    if (!fs::is_regular_file(path_, ec)) return false;
    // Written beside the file and renamed over it: a full disk or a power cut halfway must not
    // cost the catalogue paths, which the program never writes and so could not restore.
    filters::ReplacingFile out(path_);
    if (!out.isOpen()) return false;
    for (const std::string& line : lines_) {
        std::fwrite(line.data(), 1, line.size(), out.stream());
        std::fputc('\n', out.stream());
    }
    return out.commit();
}

std::string SettingsFile::folder() const {
    const fs::path parent = fs::path(path_).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

// ---- loading -----------------------------------------------------------------------------------

std::span<const CatalogueSource> catalogueSources() {
    return kSources;
}

filters::FilterTable& catalogueTable(filters::FilterSet& set, CatalogueTable table) {
    switch (table) {
        case CatalogueTable::Message:
            return set.messageTable();
        case CatalogueTable::Event:
            return set.eventTable();
        case CatalogueTable::Log:
            return set.logTable();
        case CatalogueTable::Nv:
            break;
    }
    return set.nvTable();
}

LoadedSettings readSettings(const SettingsStore& file) {
    LoadedSettings s;
    s.filter = file.readString("Filter");
    s.logPath = file.readString("LogPath");
    s.device = file.readNumber("Device");
    s.port = file.readNumber("Port");
    s.portPath = file.readString("PortPath");
    s.keepAll = file.readNumber("KeepAll");
    s.ring = file.readNumber("Ring");
    s.maxTotal = file.readString("MaxTotal");
    s.minFree = file.readString("MinFree");
    for (size_t i = 0; i < std::size(kSources); ++i)
        s.catalogue[i] = file.readString(kSources[i].value);
    s.folder = file.folder();
    return s;
}

capture::RetentionPolicy retentionPolicy(const LoadedSettings& settings,
                                         std::vector<std::string>* problems) {
    capture::RetentionPolicy policy;
    auto problem = [&](std::string text) {
        if (problems) problems->push_back(std::move(text));
    };
    if (settings.ring) {
        if (*settings.ring >= 0)
            policy.ring = *settings.ring;
        else
            problem("Ring=" + std::to_string(*settings.ring));
    }
    if (settings.maxTotal && !settings.maxTotal->empty()) {
        if (auto bytes = capture::parseByteSize(*settings.maxTotal))
            policy.maxTotal = *bytes;
        else
            problem("MaxTotal=" + *settings.maxTotal);
    }
    if (settings.minFree && !settings.minFree->empty()) {
        if (auto bytes = capture::parseByteSize(*settings.minFree))
            policy.minFree = *bytes;
        else
            problem("MinFree=" + *settings.minFree);
    }
    return policy;
}

std::optional<std::string> portEditText(const LoadedSettings& settings) {
    if (settings.portPath && !settings.portPath->empty()) return settings.portPath;
    if (settings.port) return std::to_string(*settings.port);
    return std::nullopt;
}

std::string resolveCataloguePath(const std::string& folder, const std::string& value) {
    if (value.empty() || value[0] == '/' || fs::path(value).is_absolute() || folder.empty())
        return value;
    return (fs::path(folder) / value).string();
}

void loadCatalogue(const LoadedSettings& settings, filters::FilterSet& set,
                   const filters::FilterReporter& reporter) {
    for (size_t i = 0; i < std::size(kSources); ++i) {
        if (!settings.catalogue[i]) continue;
        set.loadCatalogueFile(catalogueTable(set, kSources[i].table),
                              resolveCataloguePath(settings.folder, *settings.catalogue[i]),
                              kSources[i].kind, reporter);
    }
    set.pruneAll();
}

// ---- saving ------------------------------------------------------------------------------------

bool pathExists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::exists(path, ec);
}

std::optional<std::string> logPathToSave(const std::string& text, const PathExists& exists) {
    // The system's folder separators ('\\' on Windows, where the folder is saved ending in one).
    const char sep = os::isSeparator('\\') ? '\\' : '/';
    auto withSlash = [sep](std::string p) {
        if (p.empty() || !os::isSeparator(p.back())) p.push_back(sep);
        return p;
    };
    if (exists(text)) return withSlash(text);
    std::string t = text;
    if (!t.empty() && os::isSeparator(t.back())) t.pop_back();
    size_t slash = t.size();
    while (slash > 0 && !os::isSeparator(t[slash - 1])) --slash;
    if (slash == 0) return std::nullopt;
    --slash;
    // Cutting "/name" leaves the root folder.
    const std::string folder = slash == 0 ? t.substr(0, 1) : t.substr(0, slash);
    if (!exists(folder)) return std::nullopt;
    return withSlash(folder);
}

SettingsToSave settingsToSave(const SettingsEdits& edits, const PathExists& exists) {
    SettingsToSave v;
    v.filter = edits.filter;
    v.logPath = logPathToSave(edits.logPath, exists);
    v.device = edits.device;
    v.port = filters::parseDecimal(edits.port);
    if (edits.port.find('/') != std::string::npos) v.portPath = edits.port;
    return v;
}

bool saveSettings(const std::string& location, const SettingsToSave& values) {
    auto file = openSettings(location);
    if (!file) return false;
    file->writeString("Filter", values.filter);
    if (values.logPath) file->writeString("LogPath", *values.logPath);
    file->writeNumber("Device", values.device);
    file->writeNumber("Port", values.port);
    file->writeString("PortPath", values.portPath);
    return file->save();
}

}  // namespace kvx::app
