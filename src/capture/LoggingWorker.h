// The logging worker: runs file cycles (name, open, version note, filter on the first live
// file, receive loop, close) while nextFile is set, for live logging from the DM port or for
// the conversion of a raw DM file. It never waits on the window: everything it needs from the
// window is handed to it by value when it is created.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

#include "capture/Retention.h"
#include "capture/Window.h"
#include "dm/KvxLog.h"

namespace kvx::capture {

// Worker exit codes.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitFilterNotSent = 1;
inline constexpr int kExitLogNotCreated = 3;
inline constexpr int kExitRawNotOpened = 4;
inline constexpr int kExitForced = 5;
// A write to the log failed (disk full, file size limit, I/O error): the file holds what
// reached the disk and logging ended. Handled by the window as codes 0-4 are.
inline constexpr int kExitLogWriteFailed = 6;
inline constexpr int kExitStillRunning = 259;

// Flags shared between the main thread and the worker; each is only ever 0 or 1.
struct CaptureFlags {
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> nextFile{false};
    std::atomic<bool> loggingActive{false};
    std::atomic<bool> memoryDebugSeen{false};
    // Set by the worker when free space fell below the floor: it reads nothing more until the
    // window has made room (and clears it) or ends the file (stopRequested).
    std::atomic<bool> spaceLow{false};
};

// What the worker takes from the window at Start.
struct WorkerSettings {
    bool rawFile = false;          // "Log from a Raw DM File" ticked
    std::string rawPath;           // its path
    std::string baseLogPath;       // at most 1023 characters
    std::array<int, 4> version{};  // the program's four version numbers
    // The capture's files and free-space floor (not owned; outlives the worker). Null: none.
    Retention* retention = nullptr;
};

class LoggingWorker {
public:
    // `applyFilter` sends the filter at the first live file; false ends the worker with
    // exit code 1. It is not called for a raw file.
    LoggingWorker(dm::KvxLog& engine, Window& window, CaptureFlags& flags,
                  WorkerSettings settings, std::function<bool()> applyFilter);

    // The worker routine; returns its exit code. Runs on the worker thread.
    int run();

    // Any thread: when the current file's receive loop began (seconds since 1970).
    std::time_t fileStartTime() const { return fileStart_.load(); }
    // Any thread: the name of the file being written (empty before the first).
    std::string currentFile() const;
    // Any thread: errno of the failed log write that ended the worker, 0 when none.
    int writeError() const { return writeError_.load(); }

private:
    int fileCycle(bool& filterSent);
    void receiveLoop();
    void waitForRoom();

    dm::KvxLog& engine_;
    Window& window_;
    CaptureFlags& flags_;
    WorkerSettings settings_;
    std::function<bool()> applyFilter_;
    std::atomic<std::time_t> fileStart_{0};
    mutable std::mutex nameMutex_;
    std::string currentFile_;
    std::string lastStem_;  // the last name made by the naming rule, before any suffix
    std::atomic<int> writeError_{0};
};

// The version note text: "KvxLog Plus - Version %d.%d.%d.%d".
std::string versionText(const std::array<int, 4>& version);

}  // namespace kvx::capture
