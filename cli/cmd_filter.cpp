// kvxlog filter: show the items of a .sqf or .dmc filter file, build a .sqf file for the
// connected modem from the catalogue of the settings file (the same applyFilter path as Save
// Filters in the window), and export the checked items as text.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "CaptureRun.h"
#include "Command.h"
#include "PortChoice.h"
#include "app/MainDialog.h"
#include "app/Settings.h"
#include "dm/KvxLog.h"
#include "filters/FilterActions.h"

namespace kvx::cli {
namespace {

// Exit status for malformed arguments.
constexpr int kExitUsage = 64;

struct ItemArgs {
    std::string from;
    std::vector<std::string> logs, events, messages, nv;
};

void addItemOptions(CLI::App* cmd, ItemArgs& a) {
    cmd->add_option("--from", a.from, "check the items of this .sqf or .dmc filter file");
    cmd->add_option("--log", a.logs, "log code to check (0x hex or decimal)");
    cmd->add_option("--event", a.events, "event id to check");
    cmd->add_option("--message", a.messages, "SSID/LEVEL to check");
    cmd->add_option("--nv", a.nv, "NV item to check");
}

// The listed items (and those of --from) as filter lists; false after a message on failure,
// with `status` set to the exit status.
bool collectItems(const ItemArgs& a, filters::FilterLists& lists, int& status) {
    if (!a.from.empty()) {
        const filters::FilterFileRead read = filters::readFilterFile(a.from);
        if (read.result != filters::FilterFileResult::Read) {
            std::fprintf(stderr, "%s\n", filters::filterFileMessage(read.result).c_str());
            status = static_cast<int>(read.result);
            return false;
        }
        lists = read.lists;
    }
    filters::FilterLists given;  // the command line's own items, checked for their ranges
    auto numbers = [&](const std::vector<std::string>& in, std::vector<int32_t>& out,
                       const char* what) {
        for (const std::string& text : in) {
            int32_t v = 0;
            if (!parseNumber(text, v)) {
                std::fprintf(stderr, "Not a number for %s: %s\n", what, text.c_str());
                return false;
            }
            out.push_back(v);
        }
        return true;
    };
    if (!numbers(a.logs, given.logs, "--log") || !numbers(a.events, given.events, "--event") ||
        !numbers(a.nv, given.nv, "--nv")) {
        status = kExitUsage;
        return false;
    }
    for (const std::string& text : a.messages) {
        const size_t slash = text.find('/');
        int32_t ssid = 0, level = 0;
        if (slash == std::string::npos || !parseNumber(text.substr(0, slash), ssid) ||
            !parseNumber(text.substr(slash + 1), level)) {
            std::fprintf(stderr, "Not SSID/LEVEL for --message: %s\n", text.c_str());
            status = kExitUsage;
            return false;
        }
        given.messages.push_back({ssid, level});
    }
    if (std::string error; !checkItemRanges(given, error)) {
        std::fprintf(stderr, "kvxlog filter: %s\n", error.c_str());
        status = kExitUsage;
        return false;
    }
    lists.logs.insert(lists.logs.end(), given.logs.begin(), given.logs.end());
    lists.events.insert(lists.events.end(), given.events.begin(), given.events.end());
    lists.messages.insert(lists.messages.end(), given.messages.begin(), given.messages.end());
    lists.nv.insert(lists.nv.end(), given.nv.begin(), given.nv.end());
    if (lists.logs.empty() && lists.events.empty() && lists.messages.empty() && lists.nv.empty()) {
        std::fprintf(stderr, "No filter: give --from or --log/--event/--message/--nv\n");
        status = kExitUsage;
        return false;
    }
    return true;
}

// The trees as the window has them at start-up: the catalogue of the settings file.
void loadCatalogueFromSettings(filters::FilterSet& set) {
    const SettingsChoice chosen = chooseSettings(stderr);
    if (!chosen.file) return;
    filters::FilterReporter reporter;
    reporter.messageBox = [](const std::string& m) { std::fprintf(stderr, "%s\n", m.c_str()); };
    app::loadCatalogue(app::readSettings(*chosen.file), set, reporter);
}

// Checks the items in the trees; names on stderr those the catalogue does not list.
void checkItems(const filters::FilterLists& lists, filters::FilterSet& set) {
    set.resetAll();
    filters::checkLists(lists, set);
    for (int32_t id : lists.events)
        if (!set.eventTable().listsItem(id, 0))
            std::fprintf(stderr, "Not in the catalogue: event %d\n", id);
    for (const auto& [ssid, level] : lists.messages)
        if (!set.messageTable().listsItem(ssid, level))
            std::fprintf(stderr, "Not in the catalogue: message %d/%d\n", ssid, level);
    for (int32_t id : lists.logs)
        if (!set.logTable().listsItem(id, 0))
            std::fprintf(stderr, "Not in the catalogue: log 0x%04X\n", static_cast<unsigned>(id));
    for (int32_t id : lists.nv)
        if (!set.nvTable().listsItem(id, 0))
            std::fprintf(stderr, "Not in the catalogue: NV %d\n", id);
}

// Exit status of `show` when the file was read but some of its items were left out.
constexpr int kExitShowCut = 4;

int runShow(const std::string& path, bool json) {
    const filters::FilterFileRead read = filters::readFilterFile(path);
    if (read.result != filters::FilterFileResult::Read) {
        std::fprintf(stderr, "%s\n", filters::filterFileMessage(read.result).c_str());
        if (read.sysErrno != 0)
            std::fprintf(stderr, "%s: %s\n", path.c_str(), std::strerror(read.sysErrno));
        for (const std::string& warning : filters::filterFileWarnings(read))
            std::fprintf(stderr, "%s: %s\n", path.c_str(), warning.c_str());
        return static_cast<int>(read.result);
    }
    const filters::FilterLists& l = read.lists;
    if (json) {
        nlohmann::ordered_json j;  // keys in the order of the lists
        j["events"] = l.events;
        j["messages"] = nlohmann::ordered_json::array();
        for (const auto& [ssid, level] : l.messages) j["messages"].push_back({ssid, level});
        j["logs"] = l.logs;
        j["nv"] = l.nv;
        std::printf("%s\n", j.dump().c_str());
    } else {
        std::string line = "events:";
        for (int32_t v : l.events) line += " " + std::to_string(v);
        std::printf("%s\nmessages:", line.c_str());
        for (const auto& [ssid, level] : l.messages) std::printf(" %d/%d", ssid, level);
        std::printf("\nlogs:");
        for (int32_t v : l.logs) std::printf(" 0x%04X", static_cast<unsigned>(v));
        std::printf("\nnv:");
        for (int32_t v : l.nv) std::printf(" %d", v);
        std::printf("\n%zu events\n%zu messages\n%zu logs\n%zu NV items\n", l.events.size(),
                    l.messages.size(), l.logs.size(), l.nv.size());
    }
    for (const std::string& warning : filters::filterFileWarnings(read))
        std::fprintf(stderr, "%s: %s\n", path.c_str(), warning.c_str());
    return filters::filterFileCut(read) ? kExitShowCut : 0;
}

int runSave(const std::string& out, const std::string& port, const ItemArgs& a) {
    filters::FilterLists lists;
    int status = 0;
    if (!collectItems(a, lists, status)) return status;
    filters::FilterSet set;
    loadCatalogueFromSettings(set);
    checkItems(lists, set);
    filters::FilterReporter reporter;
    reporter.messageBox = [](const std::string& m) { std::fprintf(stderr, "%s\n", m.c_str()); };
    reporter.status = [](const std::string& m) {
        std::printf("%s\n", m.c_str());
        std::fflush(stdout);
    };
    dm::KvxLog engine;
    // No --port: the port the settings choose, as the window restores it.
    const std::string chosen = port.empty() ? settingsPort() : port;
    const int device = chosen == kAutoPort ? app::kDeviceDetected : app::kDeviceCustom;
    // Items no catalogue names are saved all the same (named once on stderr above).
    const filters::FilterLists unnamed = unnamedItems(lists, set);
    const bool saved =
        filters::saveFilters(out, engine, set, device,
                             device == app::kDeviceCustom ? portEdit(chosen) : "", reporter, &unnamed);
    // Why the port did not open; an unlocated device was already reported.
    if (!saved && engine.lastopenstatus().error != serial::OpenError::None &&
        !engine.lastopenstatus().path.empty())
        std::fprintf(stderr, "%s\n", serial::describe(engine.lastopenstatus()).c_str());
    return saved ? 0 : 1;
}

int runExport(const std::string& out, const ItemArgs& a) {
    filters::FilterLists lists;
    int status = 0;
    if (!collectItems(a, lists, status)) return status;
    filters::FilterSet set;
    loadCatalogueFromSettings(set);
    checkItems(lists, set);
    if (set.logTable().collectChecked().empty() && set.eventTable().collectChecked().empty() &&
        set.messageTable().collectChecked().empty() && set.nvTable().collectChecked().empty()) {
        // Only named items can be exported; an empty file would pass for a result.
        std::fprintf(stderr, "Nothing to export: no item given is in the catalogue\n");
        return 1;
    }
    if (!filters::exportFilters(out, set)) {
        std::fprintf(stderr, "Could not write %s\n", out.c_str());
        return 1;
    }
    return 0;
}

struct Args {
    std::string file;
    bool json = false;
    std::string port;
    ItemArgs items;
};

void setup(CLI::App& app) {
    auto* filter = app.add_subcommand("filter", "Filter files: show, save for the modem, export");
    filter->require_subcommand(1);
    auto a = std::make_shared<Args>();

    auto* show = filter->add_subcommand(
        "show",
        "List the items of a .sqf or .dmc filter file in file order, then a count per list. "
        "Exit 1 not read, 2 bad .sqf header, 3 not a QXDM file, 4 read but items left out "
        "(file cut, list limit)");
    show->add_option("FILE", a->file, "filter file")->required();
    show->add_flag("--json", a->json, "one JSON object {events, messages, logs, nv}");
    show->callback([a] { exitStatus() = runShow(a->file, a->json); });

    auto* save = filter->add_subcommand(
        "save",
        "Build a .sqf filter for the connected modem from items of the settings' catalogue");
    save->add_option("OUT", a->file, "filter file to write")->required();
    save->add_option("--port", a->port,
                     "auto (the maker's modem, found by name) or a port: a number (ttyUSB<n>), "
                     "COM<n> or a device path; default: the port of the settings, else auto");
    save->footer(
        "Without --port the settings file chooses the port as the desktop window does: "
        "Device=1 is the maker's modem (auto); any other Device uses PortPath when it is not "
        "empty, else Port. No settings file, or no port stored: auto.\n"
        "The filter is written beside OUT and renamed over it when complete: a failed save "
        "leaves an existing OUT as it was.");
    addItemOptions(save, a->items);
    save->callback([a] { exitStatus() = runSave(a->file, a->port, a->items); });

    auto* exp = filter->add_subcommand("export",
                                       "Write the checked items as text (NV, log, message, event)");
    exp->add_option("OUT", a->file, "text file to write")->required();
    addItemOptions(exp, a->items);
    exp->callback([a] { exitStatus() = runExport(a->file, a->items); });
}

const CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
