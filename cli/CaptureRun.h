// One capture run of the command line: the main dialog's very logic behind a headless window,
// with the settings a user would have set in the window. Used by `kvxlog capture` and by any
// subcommand that converts a raw DM file the way the window does (raw-file box ticked).
//
// Threads: runCapture runs its event loop on the calling thread until logging ends; it blocks
// SIGINT and SIGTERM for the process and turns them into Stop. Several runs may go on at once
// on threads of the caller, which then blocks SIGINT and SIGTERM before it starts them: a
// signal stops every run in progress.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ServiceNotify.h"
#include "app/Settings.h"
#include "capture/Retention.h"
#include "dm/KvxLog.h"
#include "filters/FilterFile.h"
#include "filters/FilterSet.h"

namespace kvx::cli {

// Exit statuses of a capture beyond the worker's own codes (0 ended normally, 1 filter not
// sent, 3 log not created, 4 raw input not opened, 5 worker could not be stopped, 6 a write
// to the log failed).
inline constexpr int kExitNoModem = 2;         // Start could not communicate with the modem
inline constexpr int kExitNoPackets = 7;       // the modem never streamed a packet
inline constexpr int kExitErrorLog = 8;        // the error log could not be written
// Free space fell below the floor and no file of the capture could be removed: the log ended
// cleanly with its closing note before the disk filled.
inline constexpr int kExitLowSpace = 10;
inline constexpr int kExitUsage = 64;          // a bad argument

// What a run did, for the summary a user reads at its end.
struct CaptureReport {
    struct File {
        std::string name;
        dm::Stats stats;  // as the file was closed
    };
    std::vector<File> files;
    std::vector<std::string> restarts;  // the cause of each restart, in order
    int failedRestarts = 0;             // restarts that found no modem answering
    bool stoppedByUser = false;
    bool durationEnded = false;
    bool gaveUp = false;  // the modem never answered again before the run ended
    struct Removed {
        std::string name;
        uint64_t bytes = 0;
        capture::RemovalCause cause = capture::RemovalCause::Ring;
        int error = 0;  // errno when it could not be removed
    };
    std::vector<Removed> removed;  // files retention removed, in order
    std::string lowSpace;          // the message when free space ended the run
    std::string errorLogProblem;  // why the error log could not be written, with its path
};

struct CaptureOptions {
    // "auto": the maker's modem found by name (waits until it is present); anything else is a
    // port name or path as edit 1050 takes it ("7", "COM7", "/dev/ttyACM0"). Empty: the port
    // chosen in the settings ("Device", "Port", "PortPath"; see PortChoice.h), else "auto".
    std::string port;

    // Filter source: a filter file ("Send Filters from Input File"), or items checked in the
    // trees loaded from the settings' catalogue ("Send Filters from GUI") when guiFilter.
    // Neither given: the filter file named in the settings.
    std::string filterFile;
    bool guiFilter = false;
    filters::FilterLists items;

    std::string base;  // -o; empty: "LogPath" of the settings, else the current folder

    enum class Rotation { Size, Minutes, Single };
    Rotation rotation = Rotation::Size;
    int limit = 20;            // MB or minutes
    int watchdogSeconds = 10;  // 0: off
    int durationSeconds = 0;   // 0: until stopped
    capture::RetentionPolicy retention;  // ring, total budget, free-space floor
    bool info = false;         // print Info Box fields as they change

    // Packets of command codes the conversion does not know are written whole too, rather
    // than only counted (also on when the settings' "KeepAll" is nonzero).
    bool keepAll = false;

    bool rawFile = false;  // "Log from a Raw DM File": convert rawPath, no port
    std::string rawPath;
    int threads = 0;  // threads of the conversion (KvxLog::setthreads); 0: the CPUs usable

    // Called on the loop's thread every progressMs while the run lasts, and once more with
    // final set when it has ended: the engine's counters, for a progress display.
    std::function<void(const dm::Stats&, bool final)> onProgress;
    int progressMs = 200;

    // Where error-log entries go; empty: "kvxlogplus.errorlog" in the current folder.
    std::string errorLogPath;
    // After a failed restart (a modem still booting), Start is tried again with a growing
    // pause (1 s doubling up to 30 s) until it succeeds or the run is stopped or ends.
    bool keepTrying = true;
    CaptureReport* report = nullptr;  // filled when given
    // The service manager to tell of readiness, status and health (not owned); null: none.
    const ServiceNotify* notify = nullptr;

    bool useSettings = true;       // read the settings file (filter, log path, catalogue)
    bool printStatus = true;       // status lines on the message stream
    std::FILE* names = stdout;     // each log file's name as it opens
    std::FILE* messages = stderr;  // message boxes, status lines, Info Box fields
};

// Runs a capture until Stop (SIGINT/SIGTERM), --duration, or the worker's end. Returns the
// worker's exit code (0 after Stop), kExitNoModem, or kExitErrorLog.
int runCapture(const CaptureOptions& options);
// True once SIGINT or SIGTERM came while a run was in progress or between two runs (a caller
// with more runs to do starts no more).
bool stopSignalled();

inline constexpr const char* kNoFilterText = "No filter: give --filter or --log/--event/--message/--nv";
// Event ids are 12 bits in the modem's event reports.
inline constexpr int kMaxEventId = 0x0FFF;

// The settings file of the user, or else the one shipped with kvxlog (said once on
// `messages`); a settings file named but unreadable is said too, never passed over in silence.
struct SettingsChoice {
    std::unique_ptr<app::SettingsStore> file;  // none: neither could be read
    std::string path;
    bool shipped = false;
};
SettingsChoice chooseSettings(std::FILE* messages);

// False, with `error` naming the folder and the reason, when the folder the log names of
// `base` point into is missing or not writable (checked before any work is done).
bool checkOutputFolder(const std::string& base, std::string& error);

// False, with `error` naming the item and its range, when an item is out of range.
bool checkItemRanges(const filters::FilterLists& items, std::string& error);
// The items of `items` that the catalogue tables of `set` do not list.
filters::FilterLists unnamedItems(const filters::FilterLists& items, filters::FilterSet& set);

// Parses "SSID/LEVEL" (each decimal or 0x-hex); false when malformed.
bool parseMessageItem(const std::string& text, std::pair<int32_t, int32_t>& item);
// A decimal (leading zeros allowed, never octal) or 0x-hexadecimal number within 32 bits
// (0xFFFFFFFF reads as -1); false when malformed.
bool parseNumber(const std::string& text, int32_t& value);

}  // namespace kvx::cli
