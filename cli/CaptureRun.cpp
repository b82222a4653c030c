#include "CaptureRun.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "Platform.h"
#include "PortChoice.h"
#include "ServiceNotify.h"
#include "app/CaptureHealth.h"
#include "app/ErrorLog.h"
#include "app/HeadlessWindow.h"
#include "app/MainDialog.h"
#include "app/Settings.h"
#include "capture/Window.h"
#include "dm/KvxLog.h"
#include "filters/FilterActions.h"
#include "info/InfoDecoder.h"
#include "os/Files.h"

namespace kvx::cli {
namespace {

namespace ctl = capture::ctl;

// Timers of --duration, of the progress display and of a restart tried again, on the
// headless window (not the dialog's).
constexpr int kDurationTimer = 9001;
constexpr int kProgressTimer = 9002;
constexpr int kRetryTimer = 9003;
constexpr int kNoStreamTimer = 9004;  // once per Start: did the modem stream at all?
constexpr int kReadyTimer = 9005;    // until the first file is being filled: READY=1
constexpr int kServiceTimer = 9006;  // STATUS= and WATCHDOG=1 for the service manager
constexpr int kReadyPollMs = 100;
constexpr int kServicePeriodMs = 2000;
// How long a restart (a modem rebooting, unplugged) keeps the service's watchdog fed.
constexpr int kRestartAllowanceSeconds = 300;
constexpr int kRetryFirstMs = 1000;
constexpr int kRetryMaxMs = 30000;

// The cause of a restart as the summary tells it.
std::string restartCause(int code, int first) {
    switch (code) {
        case app::err::kWatchdog:
            return "watchdog (" + std::to_string(first) + " s without a packet)";
        case app::err::kPortLost:
            return "the port hung up";
        case app::err::kSize:
            return "size limit";
        case app::err::kTime:
            return "time limit";
        case app::err::kManual:
            return "Start New";
        default:
            return "error " + std::to_string(code);
    }
}

std::string shippedSettingsPath() {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (const fs::path self = os::pathOf(executablePath()); !self.empty()) {
        const fs::path installed = self.parent_path().parent_path() / "share" / "kvxlogplus" /
                                   "kvxlogplus.ini";
        if (fs::exists(installed, ec)) return os::nameOf(installed);
    }
#ifdef KVX_SHIPPED_DATA_DIR
    const fs::path built = fs::path(KVX_SHIPPED_DATA_DIR) / "kvxlogplus.ini";
    if (fs::exists(built, ec)) return built.string();
#endif
    return {};
}

}  // namespace

bool stopSignalled() { return InterruptListener::interrupted(); }

SettingsChoice chooseSettings(std::FILE* messages) {
    SettingsChoice c;
    c.path = app::settingsPath();
    if (!c.path.empty()) {
        c.file = app::openSettings(c.path);
        if (c.file) return c;
    }
    const int error = errno;
    const std::string shipped = shippedSettingsPath();
    if (messages) {
        std::string text = "kvxlog: no settings file";
        if (app::isRegistryKeyName(c.path))
            text = "kvxlog: no registry key " + c.path;
        else if (!c.path.empty())
            text += " " + c.path + " (" + std::strerror(error) + ")";
        text += ": kvxlog setup creates it; ";
        text += shipped.empty() ? "no catalogue of item names"
                                : "meanwhile the catalogue shipped with kvxlog is used: " + shipped;
        writeLines(messages, Severity::Warning, text);
    }
    if (!shipped.empty()) {
        c.file = app::openSettings(shipped);
        c.path = shipped;
        c.shipped = true;
    }
    return c;
}

filters::FilterLists unnamedItems(const filters::FilterLists& items, filters::FilterSet& set) {
    filters::FilterLists out;
    for (int32_t id : items.logs)
        if (!set.logTable().listsItem(id, 0)) out.logs.push_back(id);
    for (int32_t id : items.events)
        if (!set.eventTable().listsItem(id, 0)) out.events.push_back(id);
    for (const auto& m : items.messages)
        if (!set.messageTable().listsItem(m.first, m.second)) out.messages.push_back(m);
    for (int32_t id : items.nv)
        if (!set.nvTable().listsItem(id, 0)) out.nv.push_back(id);
    return out;
}

bool checkOutputFolder(const std::string& base, std::string& error) {
    namespace fs = std::filesystem;
    std::string folder = base;
    if (!folder.empty() && !os::isSeparator(folder.back())) folder = fs::path(base).parent_path().string();
    if (folder.empty()) folder = ".";
    const int reason = os::folderWritable(folder);
    if (reason == 0) return true;
    error = "cannot write logs into " + folder + ": " + std::strerror(reason);
    return false;
}

bool checkItemRanges(const filters::FilterLists& items, std::string& error) {
    char text[160];
    for (int32_t id : items.logs) {
        if (id < 0 || id > 0xFFFF) {
            std::snprintf(text, sizeof text, "--log 0x%X: a log code is 0x0000 to 0xFFFF", static_cast<unsigned>(id));
            error = text;
            return false;
        }
    }
    for (int32_t id : items.events) {
        if (id < 0 || id > kMaxEventId) {
            std::snprintf(text, sizeof text, "--event %d: an event id is 0 to %d", id, kMaxEventId);
            error = text;
            return false;
        }
    }
    for (const auto& [ssid, level] : items.messages) {
        if (ssid < 0 || ssid > 0xFFFF || level < 0 || level > 31) {
            std::snprintf(text, sizeof text,
                          "--message %d/%d: an SSID is 0 to 65535 and a level 0 to 31", ssid,
                          level);
            error = text;
            return false;
        }
    }
    for (int32_t id : items.nv) {
        if (id < 0 || id > 0xFFFF) {
            std::snprintf(text, sizeof text, "--nv %d: an NV item is 0 to 65535", id);
            error = text;
            return false;
        }
    }
    return true;
}

bool parseNumber(const std::string& text, int32_t& value) {
    const auto v = app::parseNumber(text);
    if (v) value = *v;
    return v.has_value();
}

bool parseMessageItem(const std::string& text, std::pair<int32_t, int32_t>& item) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    return parseNumber(text.substr(0, slash), item.first) &&
           parseNumber(text.substr(slash + 1), item.second);
}

int runCapture(const CaptureOptions& o) {
    app::HeadlessWindow window(o.messages);
    // The journal keeps no progress lines; its lines carry their severity.
    window.setPrintStatus(o.printStatus && !journalStream());
    if (journalStream()) window.setMessagePrefix("<3>");
    // Only --info shows the decoded fields; a conversion without it skips their queueing.
    window.setNotificationsWanted(o.info || !o.rawFile);
    window.setLogFieldsWanted(o.info);
    dm::KvxLog engine;
    const std::string commandLine = "-DOG " + std::to_string(o.watchdogSeconds);
    app::MainDialog dialog(window, engine, commandLine);
    if (!o.errorLogPath.empty()) dialog.setErrorLogPath(o.errorLogPath);
    dialog.setRetention(o.retention);
    CaptureReport scratch;
    CaptureReport& report = o.report ? *o.report : scratch;
    std::mutex reportMutex;  // the worker adds files, the loop restarts

    auto say = [&](const std::string& text, Severity severity = Severity::Info) {
        writeLines(o.messages, severity, text);
    };

    // No --port: the port the settings choose, as the window restores it.
    const std::string port = !o.port.empty()               ? o.port
                             : o.useSettings && !o.rawFile ? settingsPort()
                                                           : std::string(kAutoPort);

    // The window as a user would have left it: settings first, then the options over them.
    dialog.OnInitDialog(port == kAutoPort && !o.rawFile);
    std::string catalogueFrom = "no catalogue";
    if (o.useSettings) {
        const SettingsChoice chosen = chooseSettings(o.messages);
        if (chosen.file) {
            const app::LoadedSettings loaded = app::readSettings(*chosen.file);
            if (loaded.filter && !chosen.shipped) window.setText(ctl::kFilterPath, *loaded.filter);
            if (loaded.logPath && !chosen.shipped) window.setText(ctl::kLogPath, *loaded.logPath);
            if (loaded.keepAll.value_or(0) != 0 && !chosen.shipped) engine.setkeepall(true);
            filters::FilterReporter reporter;
            reporter.messageBox = [&](const std::string& text) { window.messageBox(text); };
            app::loadCatalogue(loaded, dialog.filters(), reporter);
            catalogueFrom = "the catalogue of " + chosen.path;
        }
    }
    if (o.guiFilter) {
        // The catalogue only gives names: an item it does not list is sent all the same,
        // and the user is told so once per item.
        const filters::FilterLists unnamed = unnamedItems(o.items, dialog.filters());
        auto warn = [&](const std::string& item) {
            say("kvxlog: " + item + " is not in " + catalogueFrom + "; sent without a name",
                Severity::Warning);
        };
        char text[48];
        for (int32_t id : unnamed.logs) {
            std::snprintf(text, sizeof text, "log 0x%04X", static_cast<unsigned>(id));
            warn(text);
        }
        for (int32_t id : unnamed.events) warn("event " + std::to_string(id));
        for (const auto& [ssid, level] : unnamed.messages)
            warn("message " + std::to_string(ssid) + "/" + std::to_string(level));
        for (int32_t id : unnamed.nv) warn("NV item " + std::to_string(id));
        dialog.setExtraItems(unnamed);
    } else if (!o.rawFile && o.filterFile.empty() && window.getText(ctl::kFilterPath).empty()) {
        say(kNoFilterText, Severity::Error);
        return kExitUsage;
    }
    if (o.keepAll) engine.setkeepall(true);
    if (o.threads > 0) engine.setthreads(o.threads);
    if (!o.base.empty()) window.setText(ctl::kLogPath, o.base);
    window.setChecked(ctl::kMultipleFiles, o.rotation != CaptureOptions::Rotation::Single);
    window.setChecked(ctl::kUnitMb, o.rotation != CaptureOptions::Rotation::Minutes);
    window.setChecked(ctl::kUnitMinutes, o.rotation == CaptureOptions::Rotation::Minutes);
    window.setText(ctl::kLimit, std::to_string(o.limit));
    if (o.guiFilter) {
        window.setChecked(ctl::kSourceFile, false);
        window.setChecked(ctl::kSourceGui, true);
        filters::checkLists(o.items, dialog.filters());
    } else if (!o.filterFile.empty()) {
        window.setText(ctl::kFilterPath, o.filterFile);
    }
    window.setChecked(ctl::kRawFileBox, o.rawFile);
    window.setText(ctl::kRawFilePath, o.rawPath);
    if (o.rawFile) {
        dialog.selectDevice(app::kDeviceCustom);
    } else if (port == kAutoPort) {
        if (dialog.portRows()[1].present) {
            dialog.selectDevice(app::kDeviceDetected);
        } else {
            dialog.expectDetectedDevice();
        }
    } else {
        dialog.selectDevice(app::kDeviceCustom);
        window.setText(ctl::kCustomPort, portEdit(port));
    }

    // Output: each log file's name as the worker opens it, and the Info Box fields.
    const std::string base = window.getText(ctl::kLogPath);
    std::atomic<bool> started{false};
    window.setTextObserver([&](int id, const std::string& text) {
        if (id != ctl::kLogPath || !started.load() || text == base) return;
        {
            // The worker shows each file's name once it has tried to open it; the file before
            // it is closed by then.
            std::lock_guard lock(reportMutex);
            if (!report.files.empty()) report.files.back().stats = engine.lastfilestats();
            report.files.push_back({text, {}});
        }
        writeLines(o.names, Severity::Info, text);
    });
    dialog.setErrorObserver([&](int code, int first, int, int) {
        if (code == app::err::kRestartFailed) {
            std::lock_guard lock(reportMutex);
            ++report.failedRestarts;
            return;
        }
        if (code == app::err::kWatchdog || code == app::err::kPortLost ||
            code == app::err::kSize || code == app::err::kTime || code == app::err::kManual) {
            std::lock_guard lock(reportMutex);
            report.restarts.push_back(restartCause(code, first));
        }
    });
    dialog.setRemovalObserver([&](const capture::Removal& r) {
        std::string why = "free space low";
        if (r.cause == capture::RemovalCause::Ring)
            why = "ring of " + std::to_string(o.retention.ring) + " files";
        else if (r.cause == capture::RemovalCause::Total)
            why = "total above " + capture::formatBytes(o.retention.maxTotal);
        if (r.error == 0)
            say("kvxlog: removed " + r.name + " (" + capture::formatBytes(r.bytes) + "; " + why +
                ")");
        else
            say("kvxlog: could not remove " + r.name + " (" + why + "): " + std::strerror(r.error),
                Severity::Error);
        std::lock_guard lock(reportMutex);
        report.removed.push_back({r.name, r.bytes, r.cause, r.error});
    });
    std::map<int32_t, std::string> shown;
    dialog.setInfoSink([&](const dm::InfoNotification& note) {
        if (!o.info) return;
        auto it = shown.find(note.field);
        if (it != shown.end() && it->second == note.text) return;
        shown[note.field] = note.text;
        say(std::string(info::fieldLabel(note.field)) + ": " + note.text);
    });

    // The run ends when the window is idle again after a Start; a watchdog restart passes
    // through idle inside one timer handler, so the check waits for the loop.
    bool announcedWait = false;
    int retryMs = kRetryFirstMs;
    const int noStreamMs =
        1000 * (o.watchdogSeconds > 0 ? o.watchdogSeconds : app::kDefaultWatchdogSeconds);
    int retries = 0;
    bool durationEnded = false;
    bool gaveUp = false;
    dialog.setStateObserver([&](app::UiState state) {
        // Said once per wait (a watchdog restart after an unplug waits again).
        if (state == app::UiState::Waiting && !announcedWait) {
            announcedWait = true;
            say("Waiting for the modem's DM port to appear (Ctrl-C stops)...");
        }
        if (state == app::UiState::Starting && !o.rawFile)
            say("Connecting to the modem and sending the filter...");
        if (state == app::UiState::Logging && !o.rawFile && !window.timerRunning(kNoStreamTimer))
            window.startTimer(kNoStreamTimer, noStreamMs);
        if (state == app::UiState::Logging) announcedWait = false;
        if (state == app::UiState::Idle && started.load()) {
            window.post([&] {
                if (dialog.state() != app::UiState::Idle || dialog.waitingForDevice()) return;
                if (window.timerRunning(kRetryTimer)) return;
                // A restart that found the modem still booting is tried again, with a
                // growing pause, until it answers or the run ends.
                if (o.keepTrying && dialog.restartPending() && dialog.lastStartFailed() &&
                    !engine.connectsaborted()) {
                    say("The modem does not answer yet; trying again in " +
                            std::to_string(retryMs / 1000) + " s (Ctrl-C stops)...",
                        Severity::Warning);
                    window.startTimer(kRetryTimer, retryMs);
                    return;
                }
                window.close();
            });
        }
    });
    // Under a service manager: STATUS= on every tick, WATCHDOG=1 only while the capture is
    // healthy, so that a capture hung where its own watchdog cannot act is restarted.
    const bool service = o.notify != nullptr && o.notify->enabled();
    app::CaptureHealth health(o.watchdogSeconds, kRestartAllowanceSeconds);
    auto serviceStatus = [&] {
        const dm::Stats stats = engine.getstats();
        const std::string file = dialog.currentLogFile();
        std::string text = "STATUS=";
        if (dialog.waitingForDevice() || window.timerRunning(kRetryTimer)) {
            text += "waiting for the modem";
        } else if (file.empty()) {
            text += "starting";
        } else {
            text += file + ": " + std::to_string(stats.packets) + " packets, " +
                    std::to_string(stats.bytes) + " bytes";
        }
        return text;
    };
    auto serviceTick = [&] {
        app::CaptureHealth::Sample sample;
        sample.file = dialog.flags().loggingActive.load() ? dialog.currentLogFile() : "";
        sample.packets = engine.getstats().packets;
        sample.restarting = dialog.waitingForDevice() || window.timerRunning(kRetryTimer) ||
                            dialog.state() == app::UiState::Starting;
        sample.workerStuck = dialog.workerExitCode() == capture::kExitForced;
        std::string message = serviceStatus();
        if (health.tick(sample, std::chrono::steady_clock::now())) message += "\nWATCHDOG=1";
        o.notify->send(message);
    };
    window.setTimerHandler([&](int id) {
        if (id == kDurationTimer) {
            window.stopTimer(kDurationTimer);
            window.stopTimer(kRetryTimer);
            durationEnded = true;
            if (dialog.restartPending()) gaveUp = true;
            dialog.clearRestartPending();
            if (dialog.state() == app::UiState::Idle && !dialog.waitingForDevice()) {
                window.close();
            } else {
                dialog.OnStop();
            }
        } else if (id == kNoStreamTimer) {
            window.stopTimer(kNoStreamTimer);
            const dm::Stats now = engine.getstats();
            if (now.streamed == 0 && dialog.state() == app::UiState::Logging) {
                // A modem that took (or ignored) the filter and sends nothing: the status
                // replies keep the watchdog quiet, so it is said here.
                say("No packet from the modem within the watchdog period (" +
                    std::to_string(noStreamMs / 1000) + " s) after the filter: " +
                    std::to_string(now.replies) + " of " + std::to_string(now.requests) +
                    " filter requests were answered.",
                    Severity::Warning);
            }
        } else if (id == kRetryTimer) {
            window.stopTimer(kRetryTimer);
            ++retries;
            dialog.OnStart();
            if (dialog.lastStartFailed() && !engine.connectsaborted()) {
                retryMs = std::min(retryMs * 2, kRetryMaxMs);
                dialog.LogError(app::err::kRestartFailed, retries + 1, retryMs / 1000, 0);
            }
        } else if (id == kProgressTimer) {
            o.onProgress(engine.getstats(), false);
        } else if (id == kReadyTimer) {
            // Ready once the worker has sent the filter and fills its first file.
            if (!dialog.flags().loggingActive.load()) return;
            window.stopTimer(kReadyTimer);
            o.notify->send("READY=1\n" + serviceStatus());
        } else if (id == kServiceTimer) {
            serviceTick();
        } else {
            dialog.OnTimer(id);
        }
    });
    window.setNotifyHandler([&](const dm::InfoNotification& n) { dialog.OnEngineNotify(n); });

    bool stoppedByUser = false;
    bool noModem = false;
    InterruptListener signals([&] {
        dialog.cancelDeviceWait();
        // A connect waiting on a silent modem (a start, a restart) would hold the window's
        // thread, and this Stop, for some 20 s.
        engine.abortconnects();
        window.post([&] {
            stoppedByUser = true;
            if (dialog.restartPending()) gaveUp = true;
            dialog.clearRestartPending();
            window.stopTimer(kRetryTimer);
            if (dialog.state() == app::UiState::Idle && !dialog.waitingForDevice()) {
                window.close();
            } else {
                dialog.OnStop();
            }
        });
    });
    window.post([&] {
        started.store(true);
        dialog.OnStart();
        if (dialog.state() == app::UiState::Idle && !dialog.waitingForDevice()) {
            noModem = dialog.workerExitCode() == -1;
            // Ctrl-C cut the connect short: the modem had not answered by then.
            if (noModem && engine.connectsaborted()) say("Stopped before the modem answered.");
            window.close();
            return;
        }
        if (o.durationSeconds > 0) window.startTimer(kDurationTimer, o.durationSeconds * 1000);
        if (service) {
            window.startTimer(kReadyTimer, kReadyPollMs);
            // At least twice per watchdog period the manager asked for.
            const auto half = std::chrono::duration_cast<std::chrono::milliseconds>(
                o.notify->watchdog() / 2);
            int period = kServicePeriodMs;
            if (half.count() > 0 && half.count() < period) period = static_cast<int>(half.count());
            window.startTimer(kServiceTimer, std::max(period, 100));
        }
        if (o.onProgress) window.startTimer(kProgressTimer, o.progressMs);
    });
    window.run();
    if (o.onProgress) o.onProgress(engine.getstats(), true);
    if (const std::string notKept = engine.notkeptsummary(); !notKept.empty()) say(notKept);

    if (dialog.state() != app::UiState::Idle || dialog.waitingForDevice()) dialog.OnStop();
    {
        std::lock_guard lock(reportMutex);
        if (!report.files.empty()) report.files.back().stats = engine.lastfilestats();
        report.stoppedByUser = stoppedByUser;
        report.durationEnded = durationEnded;
        report.gaveUp = gaveUp || (dialog.restartPending() && dialog.lastStartFailed());
    }
    if (dialog.errorLogErrno() != 0) {
        // The window closed as it must; the user of the command learns where and why.
        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::path where = fs::absolute(dialog.errorLogPath(), ec);
        report.errorLogProblem = (ec ? dialog.errorLogPath() : where.string()) + ": " +
                                 std::strerror(dialog.errorLogErrno());
        return kExitErrorLog;
    }
    if (noModem) return kExitNoModem;
    const int code = dialog.workerExitCode();
    if (code < 0) return stoppedByUser ? 0 : kExitNoModem;
    if (code == 0 && report.gaveUp) return kExitNoModem;
    if (code == 0 && dialog.lowSpaceEnded()) {
        report.lowSpace = dialog.lowSpaceMessage();
        return kExitLowSpace;
    }
    return code;
}

}  // namespace kvx::cli
