// The main dialog's logic without any toolkit: capture control (Start, Start New, Stop, Exit),
// the worker and its exit watch, the status line, watchdog and rotation checks, periodic status
// requests, the error log and the engine's notifications. The desktop window and the command
// line both drive it through capture::Window and forward its timers and notifications here.
//
// Threads: every On* operation, LogError and the setters run on the thread that created the
// dialog (the window's thread). The worker and the request batches run on threads of their
// own and reach the dialog only through CaptureFlags, the engine and the Window.
//
// Decisions where the behaviour is ours to choose:
// - Device wait: Start with the detected-device row while that device is absent does not
//   block. It enters the waiting state (button 1 off, Stop and Exit on) and polls
//   deviceispresent every 250 ms on timer kDeviceWaitTimer; Stop, Exit or a cancel ends the
//   wait, so the window (or Ctrl-C on the command line) stays in control.
// - Start between files (a worker runs but no file is being filled) is ignored: a new file is
//   beginning anyway; it never connects again nor creates a second worker.
// - Stop is cooperative: it sets stopRequested, closes the port (which wakes the worker's
//   read) and waits up to about a second. The worker closes its file itself, so the note
//   "Log manually stopped from UI" is its last record. A worker that cannot be woken in that
//   time is recorded with exit code 5 and left to finish on its own: Stop then leaves the log
//   and the receive path to it (only the thread-safe info target is cleared; the worker writes
//   the note when it returns), and the next Start waits up to 2 s for it and otherwise fails
//   with "Could not communicate with the modem".
// - Stop, Start New and a full file hand their note to the engine as its closing note before
//   they raise the flags: closelog writes it, so it is always the file's last record.
// - A Start in the second in which the previous worker's last file began waits for the next
//   second, so that file is not truncated by a new one of the same name.
// - Exit while logging (or waiting for the device) stops logging first, so the file is
//   closed properly, then saves the settings and closes the window.
// - A watchdog restart ends the status tick: the fresh file is not checked for capacity
//   against the counters of the file before it.
// - Retention (ring, total, free-space floor): the files of one capture are those its workers
//   opened since the user's Start, across rotations and watchdog restarts. The ring and the
//   budget act when "Use Multiple Log Files" is ticked; the floor always. A worker that finds
//   free space below the floor stops reading and the exit watch is fired: the oldest files go
//   as the ring or the budget allow (a rotation first when the next file lets the ring remove
//   one large enough); with nothing to remove, the file ends with a closing note that says so,
//   error-log entry 14 and a message naming the file system, and the worker ends normally.
// - "-DOG" takes digits only: "-DOG -5" turns the watchdog off like "-DOG" alone.
// - A fatal error-log entry from another thread (filter sending on the worker) closes the
//   program at the next exit-watch or status tick, on the window's thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <optional>
#include <vector>

#include "app/ErrorLog.h"
#include "capture/LoggingWorker.h"
#include "capture/Retention.h"
#include "capture/Window.h"
#include "dm/KvxLog.h"
#include "dm/Notify.h"
#include "filters/FilterFile.h"
#include "filters/FilterSet.h"
#include "info/InfoDecoder.h"

namespace kvx::app {

// Timer of the device wait (250 ms); the three capture timers are capture::timer.
inline constexpr int kDeviceWaitTimer = 1628;
inline constexpr int kDeviceWaitMs = 250;

// Device types of the port selection.
inline constexpr int kDeviceCustom = 0;
inline constexpr int kDeviceDetected = 1;

// Filter controls switched by the filter source.
inline constexpr int kSaveFiltersButton = 1004;
inline constexpr int kLoadFiltersButton = 1041;
inline constexpr std::array<int, 4> kTreeControls = {1036, 1024, 1023, 1039};

inline constexpr int kDefaultWatchdogSeconds = 10;
inline constexpr int kDefaultLimit = 20;  // megabytes

// Texts of the capture window.
inline constexpr const char* kCustomPortLabel = "Custom Port...";
inline constexpr const char* kDetectedPrefix = "Detected: ";
inline constexpr const char* kStartText = "Start";
inline constexpr const char* kStartNewText = "Start New";
inline constexpr const char* kReadyText = "Ready";
inline constexpr const char* kStartingText = "Starting Log...";
inline constexpr const char* kStoppingText =
    "Please wait while logging is stopped and the port is flushed....";
inline constexpr const char* kNoModemText = "Could not communicate with the modem";
inline constexpr const char* kNotLocatedText = "Couldn't locate the device";
inline constexpr const char* kUnhandledExitText = "Unhandled Thread Exit Code";
inline constexpr const char* kStoppedNote = "Log manually stopped from UI";
inline constexpr const char* kRestartedNote = "Log manually restarted from UI";
// The closing note of a file ended because free space ran low; the file system and its free
// space follow it.
inline constexpr const char* kLowSpaceNote = "Log stopped: free space low";

// The watchdog period of a command line: 10 when "-DOG" is absent, else the number after it
// (blanks, then digits; none gives 0, which turns the watchdog off).
int parseWatchdogSeconds(std::string_view commandLine);

// True when the command line asks for the full window ("-KVX" anywhere, case-sensitive).
bool fullWindowOption(std::string_view commandLine);

// The version edit's text: "KvxLog Plus - Version %d.%d.%d.%d".
std::string versionText(const std::array<int, 4>& version);

// The leading whole number of a text, as the limit edit is read (anything else reads as 0).
int parseLeadingInt(std::string_view text);

// " Bytes: %d, Packets: %d, Errors: %d (crc), %d (size)".
std::string statusLine(const dm::Stats& stats);
// "Log capacity reached: Filesize = %d Bytes".
std::string capacityNote(uint32_t bytes);

// What the window shows; one function maps it onto the controls.
enum class UiState {
    Idle,
    Waiting,   // a fresh Start waits for the device to appear
    Starting,  // a fresh Start connects (button 1 off until the worker runs)
    Logging,
    Stopping,  // while Stop runs
};

// One row of the port combo.
struct PortRow {
    int deviceType = kDeviceCustom;
    std::string label;
    bool present = false;
};

// Where the filter comes from at Start, taken from the window by value so that the worker
// never reads the window.
struct FilterChoice {
    bool fromFile = true;  // radio 1037 "Send Filters from Input File"
    bool fromGui = false;  // radio 1038 "Send Filters from GUI"
    std::string filePath;  // edit 1005
};

class MainDialog {
  public:
    // Sends the filter (destination 1 = the modem) from the choice taken at Start; runs on the
    // worker thread; false ends the worker with exit code 1 after its own message. The default
    // is filters::applyFilter over this dialog's FilterSet.
    using FilterSender = std::function<bool(const FilterChoice&, int destination)>;

    struct Options {
        std::array<int, 4> version{};                          // default: the build's version
        std::function<void(std::chrono::milliseconds)> sleep;  // RestartLogging's pause
        std::function<std::time_t()> clock;                    // capacity check and error log
        std::chrono::milliseconds stopWait{1000};              // Stop's wait for the worker
        bool useBuildVersion = true;
    };

    MainDialog(capture::Window& window, dm::KvxLog& engine, std::string_view commandLine,
               Options options);
    MainDialog(capture::Window& window, dm::KvxLog& engine, std::string_view commandLine);
    // Stops logging (as Exit does, without closing the window) and joins every thread.
    ~MainDialog();
    MainDialog(const MainDialog&) = delete;
    MainDialog& operator=(const MainDialog&) = delete;

    // The capture part of the window's initialisation: Stop off, status "Ready", rotation
    // defaults (1017 ticked, "MB", "20"), filter source "Input File", the port combo, flags.
    // Without `detectPorts` the combo holds only the custom row (no port is opened).
    void OnInitDialog(bool detectPorts = true);

    // ---- buttons and timers ----------------------------------------------------------------
    void OnStart();
    void OnStop();
    void OnExit();
    // Dispatches a window timer to its handler by id.
    void OnTimer(int id);
    void OnStatusTimer();
    void OnRequestTimer();
    void OnExitWatch();
    void OnDeviceWait();
    // A notification the window received for this dialog (on the window's thread).
    void OnEngineNotify(const dm::InfoNotification& note);
    // Check box 1017 clicked: the rotation controls follow its tick.
    void OnMultipleFilesClicked();
    // Radio 1037 or 1038 clicked: the input-file controls (edit 1005, button 1003) or the
    // trees and Save/Load Filters are enabled, the others disabled.
    void OnFilterSourceClicked();
    // Selection change of the port combo: edit 1050 is enabled exactly for the custom row.
    void OnPortSelectionChanged();
    // Ends a device wait as Stop does, from any thread (Ctrl-C); takes effect at the next
    // device-wait tick.
    void cancelDeviceWait() { cancelWait_.store(true); }

    void RestartLogging();
    void ReadRotationSettings();
    bool CheckLogCapacity(int limitUnit, int limit, std::time_t fileStart, uint32_t bytes);
    // The error log; fatal entries and an unwritable log close the program through OnExit.
    void LogError(int code, int first, int second, int third);
    // The filter of the current choice (radio 1037 with edit 1005, or radio 1038 with the
    // trees) sent to the modem; destination 0 without an open file records error 1.
    bool applyFilter(int destination);
    // The four filter tables and their trees.
    filters::FilterSet& filters() { return filters_; }

    // ---- port selection ----------------------------------------------------------------------
    // Fills the two rows (detectport for the detected device) and selects the custom row.
    void fillPortCombo();
    // Selects the first present row of `deviceType` (else the custom row), as the settings do.
    void selectDevice(int deviceType);
    // Marks the detected row present even though no port answered yet, and selects it: Start
    // then waits for the device (the command line's "--port auto").
    void expectDetectedDevice();
    // The device type of the current combo selection.
    int readDevice();
    const std::array<PortRow, 2>& portRows() const { return rows_; }

    // ---- hooks of the front end --------------------------------------------------------------
    void setFilterSender(FilterSender sender) { filterSender_ = std::move(sender); }
    // Items sent with the trees' checked items (filter source "GUI") although the catalogue
    // does not name them: the command line's items. Set before Start.
    void setExtraItems(filters::FilterLists items) { extraItems_ = std::move(items); }
    // Decoded Info Box fields (0-16), on the window's thread.
    void setInfoSink(std::function<void(const dm::InfoNotification&)> sink) {
        infoSink_ = std::move(sink);
    }
    // Called after every change of the window state.
    void setStateObserver(std::function<void(UiState)> observer) {
        stateObserver_ = std::move(observer);
    }
    // Shows the memory-dump tool (a failed Start after a subsystem-0 reply).
    void setMemoryDumpHook(std::function<void()> hook) { memoryDumpHook_ = std::move(hook); }
    // Saves the settings at Exit.
    void setSettingsSaver(std::function<void()> saver) { settingsSaver_ = std::move(saver); }
    // Retention of the next fresh Start's files (a watchdog restart keeps the capture's).
    void setRetention(const capture::RetentionPolicy& policy) { retentionPolicy_ = policy; }
    const capture::RetentionPolicy& retentionPolicy() const { return retentionPolicy_; }
    // Told of each file retention removed (or failed to remove), on the window's thread.
    void setRemovalObserver(std::function<void(const capture::Removal&)> observer) {
        removalObserver_ = std::move(observer);
    }
    // Whether the latest capture ended because free space ran low, and the message said.
    bool lowSpaceEnded() const { return lowSpaceEnded_; }
    const std::string& lowSpaceMessage() const { return lowSpaceMessage_; }
    // Told of every error-log entry once it is written (any thread that writes one).
    void setErrorObserver(std::function<void(int code, int first, int second, int third)> observer) {
        errorObserver_ = std::move(observer);
    }

    // ---- state -----------------------------------------------------------------------------
    UiState state() const { return state_; }
    bool waitingForDevice() const { return waiting_; }
    bool exited() const { return exited_; }
    int device() const { return device_; }
    int watchdogSeconds() const { return watchdogSeconds_; }
    bool multipleFiles() const { return multipleFiles_; }
    int limitUnit() const { return limitUnit_; }
    int limit() const { return limit_; }
    const std::string& baseLogPath() const { return baseLogPath_; }
    capture::CaptureFlags& flags() { return flags_; }
    // The latest worker's exit code: 259 while it runs, -1 before any worker.
    int workerExitCode() const;
    // The file the current worker writes (empty when none).
    std::string currentLogFile() const;
    // Where error-log entries go (default "kvxlogplus.errorlog" in the current directory).
    void setErrorLogPath(std::string path) { errorLog_.setPath(std::move(path)); }
    const std::string& errorLogPath() const { return errorLog_.path(); }
    // Whether the latest Start failed to reach the modem, and whether that Start was a
    // restart (watchdog, port lost) that has not yet reached the modem again.
    bool lastStartFailed() const { return lastStartFailed_; }
    bool restartPending() const { return restartPending_; }
    // Ends the wish to restart (the front end gave up, or the user stopped).
    void clearRestartPending() { restartPending_ = false; }
    // errno of the last error-log entry that could not be written, 0 when it was.
    int errorLogErrno() const { return errorLog_.lastErrno(); }
    const std::array<int, 4>& version() const { return version_; }

  private:
    struct Worker;

    void applyUiState(UiState state);
    void continueStart();
    void startNew();
    void idleReset();
    bool reapAbandoned(std::chrono::milliseconds wait);
    void joinRequestThread();
    void requestExit();
    bool sendFilter(const FilterChoice& choice, int destination);
    bool onMainThread() const { return std::this_thread::get_id() == mainThread_; }
    std::time_t now() const;
    bool applyRetention(uint32_t packets);
    void endForLowSpace(const capture::Retention::Space& space);
    void reportRemovals(const std::vector<capture::Removal>& removed,
                        const std::optional<capture::Retention::Space>& space);

    capture::Window& window_;
    dm::KvxLog& engine_;
    Options options_;
    std::thread::id mainThread_;
    ErrorLog errorLog_;
    std::mutex errorLogMutex_;  // filter sending may write an entry from the worker
    std::atomic<bool> exitWanted_{false};
    filters::FilterSet filters_;
    info::Decoder decoder_;  // installed in the engine for the dialog's lifetime

    capture::CaptureFlags flags_;
    std::array<int, 4> version_{};
    std::array<PortRow, 2> rows_{};
    int device_ = kDeviceCustom;
    int watchdogSeconds_ = kDefaultWatchdogSeconds;
    bool multipleFiles_ = true;
    int limitUnit_ = 1;
    int limit_ = kDefaultLimit;
    std::string baseLogPath_;
    bool baseLogPathTaken_ = false;
    bool rawFile_ = false;
    FilterChoice filterChoice_;

    UiState state_ = UiState::Idle;
    bool waiting_ = false;
    std::atomic<bool> cancelWait_{false};
    bool exiting_ = false;
    bool exited_ = false;
    std::atomic<bool> exitPending_{false};

    bool lastStartFailed_ = false;
    bool restartPending_ = false;

    // Watchdog, for the life of the dialog.
    uint32_t lastPackets_ = 0;
    int unchangedTicks_ = 0;

    capture::RetentionPolicy retentionPolicy_;
    capture::Retention retention_;  // outlives every worker, which reports its files to it
    bool lowSpaceEnded_ = false;
    std::string lowSpaceMessage_;

    std::unique_ptr<Worker> worker_;
    std::unique_ptr<Worker> abandoned_;  // a worker Stop could not wake
    int lastExitCode_ = -1;              // of a worker already joined

    std::thread requestThread_;
    std::atomic<bool> requestRunning_{false};

    FilterSender filterSender_;
    filters::FilterLists extraItems_;
    std::function<void(const dm::InfoNotification&)> infoSink_;
    std::function<void(UiState)> stateObserver_;
    std::function<void()> memoryDumpHook_;
    std::function<void()> settingsSaver_;
    std::function<void(int, int, int, int)> errorObserver_;
    std::function<void(const capture::Removal&)> removalObserver_;
};

}  // namespace kvx::app
