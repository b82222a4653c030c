// One capture run of the command line: the main dialog's very logic behind a headless window,
// with the settings a user would have set in the window. Used by `kvxlog capture` and by any
// subcommand that converts a raw DM file the way the window does (raw-file box ticked).
//
// Threads: runCapture runs its event loop on the calling thread until logging ends; it blocks
// SIGINT and SIGTERM for the process and turns them into Stop.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "dm/KvxLog.h"
#include "filters/FilterFile.h"

namespace kvx::cli {

// Exit status when Start could not communicate with the modem (no worker ran).
inline constexpr int kExitNoModem = 2;

struct CaptureOptions {
    // "auto": the maker's modem found by name (waits until it is present); anything else is a
    // port name or path as edit 1050 takes it ("7", "COM7", "/dev/ttyACM0").
    std::string port = "auto";

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
    bool info = false;         // print Info Box fields as they change

    // Packets of command codes the conversion does not know are written whole too, rather
    // than only counted (also on when the settings' "KeepAll" is nonzero).
    bool keepAll = false;

    bool rawFile = false;  // "Log from a Raw DM File": convert rawPath, no port
    std::string rawPath;

    // Called on the loop's thread every progressMs while the run lasts, and once more with
    // final set when it has ended: the engine's counters, for a progress display.
    std::function<void(const dm::Stats&, bool final)> onProgress;
    int progressMs = 200;

    bool useSettings = true;       // read the settings file (filter, log path, catalogue)
    bool printStatus = true;       // status lines on the message stream
    std::FILE* names = stdout;     // each log file's name as it opens
    std::FILE* messages = stderr;  // message boxes, status lines, Info Box fields
};

// Runs a capture until Stop (SIGINT/SIGTERM), --duration, or the worker's end. Returns the
// worker's exit code (0 after Stop), or kExitNoModem.
int runCapture(const CaptureOptions& options);

// Parses "SSID/LEVEL" (each decimal or 0x-hex); false when malformed.
bool parseMessageItem(const std::string& text, std::pair<int32_t, int32_t>& item);
// A decimal (leading zeros allowed, never octal) or 0x-hexadecimal number within 32 bits
// (0xFFFFFFFF reads as -1); false when malformed.
bool parseNumber(const std::string& text, int32_t& value);

}  // namespace kvx::cli
