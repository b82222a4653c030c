#include "CaptureRun.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <map>
#include <thread>

#include "app/HeadlessWindow.h"
#include "app/MainDialog.h"
#include "app/Settings.h"
#include "capture/Window.h"
#include "dm/KvxLog.h"
#include "filters/FilterActions.h"
#include "info/InfoDecoder.h"

namespace kvx::cli {
namespace {

namespace ctl = capture::ctl;

// Timers of --duration and of the progress display on the headless window (not the dialog's).
constexpr int kDurationTimer = 9001;
constexpr int kProgressTimer = 9002;

// SIGINT and SIGTERM are taken by a thread of their own (sigwait) and handed to the loop as
// Stop; the mask is set before any other thread exists so that every thread inherits it.
class SignalStop {
  public:
    explicit SignalStop(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, &old_);
        thread_ = std::thread([this] {
            const timespec poll{0, 100 * 1000 * 1000};
            while (!done_.load()) {
                if (sigtimedwait(&set_, nullptr, &poll) > 0) onSignal_();
            }
        });
    }
    ~SignalStop() {
        done_.store(true);
        thread_.join();
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SignalStop(const SignalStop&) = delete;
    SignalStop& operator=(const SignalStop&) = delete;

  private:
    sigset_t set_{};
    sigset_t old_{};
    std::function<void()> onSignal_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Edit 1050 holds what follows "\\.\COM": a number or a path.
std::string portEdit(std::string name) {
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    if (name.rfind("COM", 0) == 0) name.erase(0, 3);
    return name;
}

}  // namespace

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
    window.setPrintStatus(o.printStatus);
    dm::KvxLog engine;
    const std::string commandLine = "-DOG " + std::to_string(o.watchdogSeconds);
    app::MainDialog dialog(window, engine, commandLine);

    auto say = [&](const std::string& text) {
        if (o.messages) {
            std::fprintf(o.messages, "%s\n", text.c_str());
            std::fflush(o.messages);
        }
    };

    // The window as a user would have left it: settings first, then the options over them.
    dialog.OnInitDialog(o.port == "auto" && !o.rawFile);
    if (o.useSettings) {
        const std::string path = app::settingsPath();
        if (auto file = path.empty() ? std::nullopt : app::SettingsFile::open(path)) {
            const app::LoadedSettings loaded = app::readSettings(*file);
            if (loaded.filter) window.setText(ctl::kFilterPath, *loaded.filter);
            if (loaded.logPath) window.setText(ctl::kLogPath, *loaded.logPath);
            if (loaded.keepAll.value_or(0) != 0) engine.setkeepall(true);
            filters::FilterReporter reporter;
            reporter.messageBox = [&](const std::string& text) { window.messageBox(text); };
            app::loadCatalogue(loaded, dialog.filters(), reporter);
        }
    }
    if (o.keepAll) engine.setkeepall(true);
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
    } else if (o.port == "auto") {
        if (dialog.portRows()[1].present) {
            dialog.selectDevice(app::kDeviceDetected);
        } else {
            dialog.expectDetectedDevice();
        }
    } else {
        dialog.selectDevice(app::kDeviceCustom);
        window.setText(ctl::kCustomPort, portEdit(o.port));
    }

    // Output: each log file's name as the worker opens it, and the Info Box fields.
    const std::string base = window.getText(ctl::kLogPath);
    std::atomic<bool> started{false};
    window.setTextObserver([&](int id, const std::string& text) {
        if (id == ctl::kLogPath && started.load() && text != base && o.names) {
            std::fprintf(o.names, "%s\n", text.c_str());
            std::fflush(o.names);
        }
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
    dialog.setStateObserver([&](app::UiState state) {
        // Said once per wait (a watchdog restart after an unplug waits again).
        if (state == app::UiState::Waiting && !announcedWait) {
            announcedWait = true;
            say("Waiting for the modem's DM port to appear (Ctrl-C stops)...");
        }
        if (state == app::UiState::Logging) announcedWait = false;
        if (state == app::UiState::Idle && started.load()) {
            window.post([&] {
                if (dialog.state() == app::UiState::Idle && !dialog.waitingForDevice()) {
                    window.close();
                }
            });
        }
    });
    window.setTimerHandler([&](int id) {
        if (id == kDurationTimer) {
            window.stopTimer(kDurationTimer);
            dialog.OnStop();
        } else if (id == kProgressTimer) {
            o.onProgress(engine.getstats(), false);
        } else {
            dialog.OnTimer(id);
        }
    });
    window.setNotifyHandler([&](const dm::InfoNotification& n) { dialog.OnEngineNotify(n); });

    bool stoppedByUser = false;
    bool noModem = false;
    SignalStop signals([&] {
        dialog.cancelDeviceWait();
        window.post([&] {
            stoppedByUser = true;
            dialog.OnStop();
        });
    });
    window.post([&] {
        started.store(true);
        dialog.OnStart();
        if (dialog.state() == app::UiState::Idle && !dialog.waitingForDevice()) {
            noModem = dialog.workerExitCode() == -1;
            window.close();
            return;
        }
        if (o.durationSeconds > 0) window.startTimer(kDurationTimer, o.durationSeconds * 1000);
        if (o.onProgress) window.startTimer(kProgressTimer, o.progressMs);
    });
    window.run();
    if (o.onProgress) o.onProgress(engine.getstats(), true);
    if (const std::string notKept = engine.notkeptsummary(); !notKept.empty()) say(notKept);

    if (dialog.state() != app::UiState::Idle || dialog.waitingForDevice()) dialog.OnStop();
    if (noModem) return kExitNoModem;
    const int code = dialog.workerExitCode();
    if (code < 0) return stoppedByUser ? 0 : kExitNoModem;
    return code;
}

}  // namespace kvx::cli
