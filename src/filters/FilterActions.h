// What the filter buttons and the start of logging do, without their file dialogs: sending or
// writing the filter (applyFilter), Save Filters, Load Filters and Export, each taking the
// path the user chose. Reports go through a FilterReporter; requests through the engine.
//
// Threads: applyFilter runs on whichever thread drives the engine (the logging worker at
// Start, the window thread for a save); the others on the window thread. The engine must not
// be used by another thread meanwhile.
#pragma once

#include <cstdio>
#include <string>

#include "dm/KvxLog.h"
#include "filters/FilterFile.h"
#include "filters/FilterReporter.h"
#include "filters/FilterSet.h"

namespace kvx::filters {

// Where applyFilter's requests go (the engine's request modes).
inline constexpr int kDestinationFile = dm::kModeFile;   // the open filter file
inline constexpr int kDestinationModem = dm::kModeSend;  // the modem

// Which filter-source radio button is ticked.
enum class FilterSource { None, InputFile, Gui };

struct FilterContext {
    dm::KvxLog& engine;
    FilterSet& filters;
    FilterSource source = FilterSource::InputFile;
    std::string inputPath;     // the input filter file (Input File source)
    std::FILE* out = nullptr;  // the open filter file for destination 0; owned by the caller
    FilterReporter reporter;
    // GUI source: items sent with the checked ones although no catalogue names them (the
    // command line's items; the catalogue only gives names). Not owned; may be null.
    const FilterLists* extra = nullptr;
};

// Sends the filter (destination 1) or writes it into ctx.out (destination 0). GUI source:
// logging off, script header (file), NV reads, log masks, event reporting on (modem),
// event mask, message masks; Input File source: logging off and the file replayed. Then, when
// all went well and the destination is the modem, logging on. False only when the replay
// failed ("Could not decode the input file!" / "This tool is incompatable ...").
// A destination other than 1 without an open file records error 1 for each request step.
bool applyFilter(int destination, FilterContext& ctx);

// Save Filters with the chosen path: connects the engine (device type `device`; device 0
// uses the port "\\.\COM" + portText), writes the GUI filter, closes the port and sets the
// status text. The filter is written beside the chosen file and put in its place only when
// complete, so a failed save leaves an existing file as it was and creates none.
// True when the filter was written.
// Messages: "Couldn't locate the device" (no port of the device found), "Could not communicate
// with the modem", "Could not open output file!".
// `extra`: items written with the checked ones although no catalogue names them.
bool saveFilters(const std::string& path, dm::KvxLog& engine, FilterSet& filters, int device,
                 const std::string& portText, const FilterReporter& reporter,
                 const FilterLists* extra = nullptr);

// Load Filters with the chosen path: all trees unchecked, then the file's items checked.
// A failure shows its message (filterFileMessage) and leaves the trees unchecked. A read that
// left something out (filterFileWarnings) checks what it read and shows one message with a
// line per loss.
FilterFileResult loadFilters(const std::string& path, FilterSet& filters,
                             const FilterReporter& reporter);
// Checks the listed items (events, messages, logs, NV items; each tree then recomputed).
void checkLists(const FilterLists& lists, FilterSet& filters);

// Export: the checked items of the NV, log, message and event tables into a new text file
// (an existing one is replaced). False when the file cannot be created or written.
bool exportFilters(const std::string& path, const FilterSet& filters);

}  // namespace kvx::filters
