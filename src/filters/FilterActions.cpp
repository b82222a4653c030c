#include "filters/FilterActions.h"

#include <cstdint>
#include <vector>

#include "filters/ReplacingFile.h"

namespace kvx::filters {

namespace {

std::vector<dm::MaskItem> maskItems(const std::vector<FilterEntry>& entries,
                                    const std::vector<int32_t>* extra = nullptr) {
    std::vector<dm::MaskItem> items;
    items.reserve(entries.size());
    for (const FilterEntry& e : entries) items.push_back(dm::MaskItem{e.id, e.sub});
    if (extra) {
        for (int32_t id : *extra) items.push_back(dm::MaskItem{id, 0});
    }
    return items;
}

// A request step may go ahead unless it aims at a file that is not open; that is recorded.
bool destinationOk(int destination, const FilterContext& ctx) {
    if (destination == kDestinationModem || ctx.out != nullptr) return true;
    ctx.reporter.error(kErrorInvalidDestination, destination,
                       static_cast<int64_t>(reinterpret_cast<intptr_t>(ctx.out)), 0);
    return false;
}

}  // namespace

bool applyFilter(int destination, FilterContext& ctx) {
    bool result = true;
    dm::KvxLog& engine = ctx.engine;
    if (ctx.source == FilterSource::Gui) {
        engine.startlogging(false, dm::kSourcePort, nullptr);
        if (destination == kDestinationFile && ctx.out) engine.writescriptheader(ctx.out);
        if (destinationOk(destination, ctx)) {
            for (const FilterEntry& e : ctx.filters.nvTable().collectChecked())
                engine.sendnvread(e.id, destination, ctx.out);
            if (ctx.extra) {
                for (int32_t item : ctx.extra->nv) engine.sendnvread(item, destination, ctx.out);
            }
        }
        if (destinationOk(destination, ctx)) {
            const auto items = maskItems(ctx.filters.logTable().collectChecked(),
                                         ctx.extra ? &ctx.extra->logs : nullptr);
            engine.sendlogmasks(items, destination, ctx.out);
        }
        engine.seteventreporting(true);
        if (destinationOk(destination, ctx)) {
            const auto items = maskItems(ctx.filters.eventTable().collectChecked(),
                                         ctx.extra ? &ctx.extra->events : nullptr);
            engine.sendeventmask(items, destination, ctx.out);
        }
        if (destinationOk(destination, ctx)) {
            auto items = maskItems(ctx.filters.messageTable().collectChecked());
            if (ctx.extra) {
                for (const auto& [ssid, level] : ctx.extra->messages)
                    items.push_back(dm::MaskItem{ssid, level});
            }
            engine.sendmessagemasks(items, destination, ctx.out);
        }
    } else if (ctx.source == FilterSource::InputFile) {
        engine.startlogging(false, dm::kSourcePort, nullptr);
        const int replay = engine.replayscript(ctx.inputPath);
        if (replay == 1) {
            ctx.reporter.message(filterFileMessage(FilterFileResult::NotOpened));
            result = false;
        } else if (replay == 2) {
            ctx.reporter.message(filterFileMessage(FilterFileResult::BadHeader));
            result = false;
        } else if (replay != 0) {
            result = false;
        }
    }
    if (result && destination == kDestinationModem) {
        engine.startlogging(true, dm::kSourcePort, nullptr);
    }
    return result;
}

bool saveFilters(const std::string& path, dm::KvxLog& engine, FilterSet& filters, int device,
                 const std::string& portText, const FilterReporter& reporter,
                 const FilterLists* extra) {
    reporter.setStatus("Attempting to save filter...");
    bool connected = false;
    if (device != 0) {
        connected = engine.connect(device, nullptr);
    } else {
        const std::string name = "\\\\.\\COM" + portText;
        connected = engine.connect(0, name.c_str());
    }
    bool saved = false;
    if (!connected) {
        // The engine leaves the port name empty when no port of the device was found.
        const serial::OpenStatus& open = engine.lastopenstatus();
        if (device != 0 && open.error == serial::OpenError::NotFound && open.path.empty())
            reporter.message("Couldn't locate the device");
        reporter.message("Could not communicate with the modem");
    } else {
        // Written beside the chosen file and renamed over it only when complete: a failed save
        // (no modem, full disk) never costs the user the filter file that was there.
        ReplacingFile out(path);
        if (!out.isOpen()) {
            reporter.message("Could not open output file!");
        } else {
            FilterContext ctx{engine, filters, FilterSource::Gui, {}, out.stream(), reporter};
            ctx.extra = extra;
            saved = applyFilter(kDestinationFile, ctx) && out.commit();
        }
    }
    engine.close();
    reporter.setStatus(saved ? "Filter saved successfully" : "Filter could not be saved.");
    return saved;
}

void checkLists(const FilterLists& lists, FilterSet& filters) {
    FilterTable& events = filters.eventTable();
    for (int32_t id : lists.events) events.setStateById(id, CheckState::Checked, 0);
    events.recomputeStates(kNoNode);
    FilterTable& messages = filters.messageTable();
    for (const auto& [ssid, level] : lists.messages)
        messages.setStateById(ssid, CheckState::Checked, level);
    messages.recomputeStates(kNoNode);
    FilterTable& logs = filters.logTable();
    for (int32_t code : lists.logs) logs.setStateById(code, CheckState::Checked, 0);
    logs.recomputeStates(kNoNode);
    FilterTable& nv = filters.nvTable();
    for (int32_t item : lists.nv) nv.setStateById(item, CheckState::Checked, 0);
    nv.recomputeStates(kNoNode);
}

FilterFileResult loadFilters(const std::string& path, FilterSet& filters,
                             const FilterReporter& reporter) {
    filters.resetAll();
    const FilterFileRead read = readFilterFile(path);
    if (read.result != FilterFileResult::Read) {
        reporter.message(filterFileMessage(read.result));
        return read.result;
    }
    checkLists(read.lists, filters);
    // What was read stays checked; what was not is said, in one message.
    std::string lost;
    for (const std::string& line : filterFileWarnings(read))
        lost += (lost.empty() ? "" : "\r\n") + line;
    if (!lost.empty()) reporter.message(lost);
    return read.result;
}

bool exportFilters(const std::string& path, const FilterSet& filters) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    bool ok = true;
    for (const FilterTable* t : {&filters.nvTable(), &filters.logTable(), &filters.messageTable(),
                                 &filters.eventTable()}) {
        ok = t->exportTree(f) && ok;
    }
    if (std::fclose(f) != 0) ok = false;
    return ok;
}

}  // namespace kvx::filters
