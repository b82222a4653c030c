#include "app/MainDialog.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <utility>

#include "capture/LogName.h"
#include "filters/FilterActions.h"
#include "serial/Port.h"
#include "version.h"

namespace kvx::app {

namespace ctl = capture::ctl;
namespace timer = capture::timer;

namespace {
constexpr int kStatusPeriodMs = 2000;
constexpr int kExitWatchPeriodMs = 1000;
constexpr std::array<int, 6> kRequestKinds = {2, 4, 9, 5, 6, 8};
constexpr size_t kBasePathMax = 1023;
constexpr int kInfoFieldLast = 16;
constexpr int kMemoryDebugField = 18;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}
}  // namespace

bool fullWindowOption(std::string_view commandLine) {
    return commandLine.find("-KVX") != std::string_view::npos;
}

std::string versionText(const std::array<int, 4>& version) {
    char text[96];
    std::snprintf(text, sizeof text, "KvxLog Plus - Version %d.%d.%d.%d", version[0], version[1],
                  version[2], version[3]);
    return text;
}

int parseWatchdogSeconds(std::string_view commandLine) {
    const std::string line = std::string(commandLine) + " ";
    const size_t at = line.find("-DOG");
    if (at == std::string::npos) return kDefaultWatchdogSeconds;
    size_t i = at + 4;
    while (i < line.size() && isBlank(line[i])) ++i;
    long long value = 0;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
        value = std::min<long long>(value * 10 + (line[i] - '0'), INT_MAX);
        ++i;
    }
    return static_cast<int>(value);
}

int parseLeadingInt(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (isBlank(text[i]) || text[i] == '\n' || text[i] == '\r')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = std::min<long long>(value * 10 + (text[i] - '0'), INT_MAX);
        ++i;
    }
    return static_cast<int>(negative ? -value : value);
}

std::string statusLine(const dm::Stats& stats) {
    char text[128];
    std::snprintf(text, sizeof text, " Bytes: %d, Packets: %d, Errors: %d (crc), %d (size)",
                  static_cast<int>(stats.bytes), static_cast<int>(stats.packets),
                  static_cast<int>(stats.crcErrors), static_cast<int>(stats.sizeErrors));
    return text;
}

std::string capacityNote(uint32_t bytes) {
    char text[80];
    std::snprintf(text, sizeof text, "Log capacity reached: Filesize = %d Bytes",
                  static_cast<int>(bytes));
    return text;
}

// One worker: its logic object, its thread and its exit code (259 while it runs).
struct MainDialog::Worker {
    std::unique_ptr<capture::LoggingWorker> logic;
    std::shared_ptr<std::atomic<int>> exitCode =
        std::make_shared<std::atomic<int>>(capture::kExitStillRunning);
    std::thread thread;

    bool ended() const { return exitCode->load() != capture::kExitStillRunning; }
    ~Worker() {
        if (thread.joinable()) thread.join();
    }
};

MainDialog::MainDialog(capture::Window& window, dm::KvxLog& engine, std::string_view commandLine)
    : MainDialog(window, engine, commandLine, Options{}) {}

MainDialog::MainDialog(capture::Window& window, dm::KvxLog& engine, std::string_view commandLine,
                       Options options)
    : window_(window),
      engine_(engine),
      options_(std::move(options)),
      mainThread_(std::this_thread::get_id()),
      errorLog_([this](const std::string& text) { window_.messageBox(text); },
                [this] { exitWanted_.store(true); }, [this] { return now(); }) {
    if (options_.useBuildVersion) {
        std::copy(std::begin(kVersion), std::end(kVersion), version_.begin());
    } else {
        version_ = options_.version;
    }
    watchdogSeconds_ = parseWatchdogSeconds(commandLine);
    engine_.setdecoder(&decoder_);
    rows_[0] = {kDeviceCustom, kCustomPortLabel, false};
    rows_[1] = {kDeviceDetected, kDetectedPrefix, false};
}

MainDialog::~MainDialog() {
    if (state_ != UiState::Idle || waiting_ || (worker_ && !worker_->ended())) {
        OnStop();
    }
    joinRequestThread();
    worker_.reset();
    abandoned_.reset();
    engine_.setdecoder(nullptr);
}

std::time_t MainDialog::now() const {
    return options_.clock ? options_.clock() : std::time(nullptr);
}

// ---- window state ----------------------------------------------------------------------------

void MainDialog::applyUiState(UiState state) {
    state_ = state;
    const bool idle = state == UiState::Idle;
    const bool logging = state == UiState::Logging;
    const bool waiting = state == UiState::Waiting;
    const bool starting = state == UiState::Starting;
    const bool ticked = window_.isChecked(ctl::kMultipleFiles);

    window_.enable(ctl::kStart, idle || (logging && !waiting_));
    window_.enable(ctl::kExit, idle || waiting);
    window_.enable(ctl::kBrowseFilter, idle);
    window_.enable(ctl::kBrowseLog, idle);
    window_.enable(ctl::kStop, logging || waiting || starting);
    window_.enable(ctl::kMultipleFiles, idle);
    window_.enable(ctl::kLimit, idle && ticked);
    window_.enable(ctl::kUnitMb, idle && ticked);
    window_.enable(ctl::kUnitMinutes, idle && ticked);
    switch (state) {
        case UiState::Idle:
            window_.enable(ctl::kShowInfo, false);
            window_.setText(ctl::kStart, kStartText);
            window_.setStatus(kReadyText);
            break;
        case UiState::Waiting:
            window_.enable(ctl::kShowInfo, false);
            window_.setStatus(kStartingText);
            break;
        case UiState::Logging:
            window_.enable(ctl::kShowInfo, true);
            window_.setText(ctl::kStart, kStartNewText);
            break;
        case UiState::Starting:
            break;
        case UiState::Stopping:
            window_.setStatus(kStoppingText);
            break;
    }
    if (stateObserver_) stateObserver_(state);
}

void MainDialog::OnInitDialog(bool detectPorts) {
    window_.setChecked(ctl::kMultipleFiles, true);
    window_.setChecked(ctl::kUnitMb, true);
    window_.setChecked(ctl::kUnitMinutes, false);
    window_.setText(ctl::kLimit, std::to_string(kDefaultLimit));
    window_.setChecked(ctl::kSourceFile, true);
    window_.setChecked(ctl::kSourceGui, false);
    if (detectPorts) {
        fillPortCombo();
    } else {
        window_.setText(ctl::kPortCombo, rows_[0].label);
        window_.enable(ctl::kCustomPort, true);
    }
    flags_.stopRequested.store(false);
    flags_.nextFile.store(true);
    flags_.loggingActive.store(false);
    flags_.memoryDebugSeen.store(false);
    applyUiState(UiState::Idle);
}

void MainDialog::OnMultipleFilesClicked() {
    if (state_ != UiState::Idle) return;  // the rotation controls stay off while logging
    const bool ticked = window_.isChecked(ctl::kMultipleFiles);
    window_.enable(ctl::kLimit, ticked);
    window_.enable(ctl::kUnitMb, ticked);
    window_.enable(ctl::kUnitMinutes, ticked);
}

void MainDialog::OnFilterSourceClicked() {
    const bool gui = window_.isChecked(ctl::kSourceGui);
    window_.enable(ctl::kFilterPath, !gui);
    window_.enable(ctl::kBrowseFilter, !gui && state_ == UiState::Idle);
    for (int tree : kTreeControls) window_.enable(tree, gui);
    window_.enable(kSaveFiltersButton, gui);
    window_.enable(kLoadFiltersButton, gui);
}

// ---- port selection ----------------------------------------------------------------------------

void MainDialog::fillPortCombo() {
    rows_[0] = {kDeviceCustom, kCustomPortLabel, false};
    std::string name;
    const bool present = engine_.detectport(kDeviceDetected, name);
    rows_[1] = {kDeviceDetected, std::string(kDetectedPrefix) + (present ? name : ""), present};
    window_.setText(ctl::kPortCombo, rows_[0].label);
    window_.enable(ctl::kCustomPort, true);
}

void MainDialog::selectDevice(int deviceType) {
    const PortRow* chosen = &rows_[0];
    for (const auto& row : rows_) {
        if (row.deviceType == deviceType && row.present) {
            chosen = &row;
            break;
        }
    }
    window_.setText(ctl::kPortCombo, chosen->label);
    window_.enable(ctl::kCustomPort, deviceType == kDeviceCustom || chosen == &rows_[0]);
}

void MainDialog::expectDetectedDevice() {
    rows_[1].present = true;
    selectDevice(kDeviceDetected);
}

int MainDialog::readDevice() {
    const std::string selected = window_.getText(ctl::kPortCombo);
    for (const auto& row : rows_) {
        if (row.label == selected && row.present) return row.deviceType;
    }
    return kDeviceCustom;
}

void MainDialog::OnPortSelectionChanged() {
    device_ = readDevice();
    window_.enable(ctl::kCustomPort, device_ == kDeviceCustom);
}

// ---- Start -------------------------------------------------------------------------------------

void MainDialog::OnStart() {
    if (exiting_ || state_ == UiState::Stopping || waiting_) return;
    if (state_ == UiState::Logging && !flags_.loggingActive.load()) {
        return;  // between two files: the next file is beginning anyway
    }
    window_.setStatus(kStartingText);
    device_ = readDevice();
    if (device_ != kDeviceCustom && !engine_.deviceispresent(device_)) {
        waiting_ = true;
        cancelWait_.store(false);
        window_.startTimer(kDeviceWaitTimer, kDeviceWaitMs);
        applyUiState(state_ == UiState::Logging ? UiState::Logging : UiState::Waiting);
        return;
    }
    continueStart();
}

void MainDialog::OnDeviceWait() {
    if (!waiting_) {
        window_.stopTimer(kDeviceWaitTimer);
        return;
    }
    if (cancelWait_.load()) {
        OnStop();
        return;
    }
    if (!engine_.deviceispresent(device_)) return;
    window_.stopTimer(kDeviceWaitTimer);
    waiting_ = false;
    continueStart();
}

void MainDialog::startNew() {
    // A closing note is written by closelog only, so it is the file's last record; it goes in
    // before the flags, so the worker cannot close the file without it.
    engine_.setclosingnote(kRestartedNote);
    flags_.stopRequested.store(true);
    flags_.nextFile.store(true);
    LogError(err::kManual, 0, 0, 0);
    if (state_ == UiState::Logging) applyUiState(UiState::Logging);
}

void MainDialog::continueStart() {
    if (state_ == UiState::Logging) {
        if (flags_.loggingActive.load())
            startNew();
        else
            applyUiState(UiState::Logging);
        return;
    }
    if (!reapAbandoned(std::chrono::milliseconds(2000))) {
        window_.messageBox(kNoModemText);
        applyUiState(UiState::Idle);
        return;
    }

    applyUiState(UiState::Starting);
    ReadRotationSettings();
    if (!restartPending_) {
        // A new capture: its own files only. The ring and the budget need rotation.
        capture::RetentionPolicy policy = retentionPolicy_;
        if (!multipleFiles_) {
            policy.ring = 0;
            policy.maxTotal = 0;
        }
        retention_.reset(policy);
        lowSpaceEnded_ = false;
        lowSpaceMessage_.clear();
    }
    flags_.spaceLow.store(false);
    std::string base = window_.getText(ctl::kLogPath);
    // After a run that ended by itself the edit still shows that run's last file: unless the
    // user changed it, the run's base path is meant, or every Start would nest a name in one.
    if (baseLogPathTaken_ && !base.empty() && base == currentLogFile()) base = baseLogPath_;
    if (base.size() > kBasePathMax) base.resize(kBasePathMax);
    baseLogPath_ = base;
    baseLogPathTaken_ = true;
    flags_.stopRequested.store(false);
    flags_.nextFile.store(true);

    rawFile_ = window_.isChecked(ctl::kRawFileBox);
    filterChoice_.fromFile = window_.isChecked(ctl::kSourceFile);
    filterChoice_.fromGui = window_.isChecked(ctl::kSourceGui);
    filterChoice_.filePath = window_.getText(ctl::kFilterPath);

    bool connected = true;
    if (!rawFile_) {
        if (device_ != kDeviceCustom) {
            connected = engine_.connect(device_, nullptr);
        } else {
            const std::string path = "\\\\.\\COM" + window_.getText(ctl::kCustomPort);
            connected = engine_.connect(kDeviceCustom, path.c_str());
        }
    }
    lastStartFailed_ = !connected;
    if (connected) restartPending_ = false;
    if (!connected && engine_.connectsaborted()) {
        // The program is ending (Ctrl-C) and cut the connect short: no word on the modem.
        OnStop();
        return;
    }
    if (!connected) {
        const serial::OpenStatus& open = engine_.lastopenstatus();
        if (device_ != kDeviceCustom && open.error == serial::OpenError::NotFound &&
            open.path.empty()) {
            window_.messageBox(kNotLocatedText);  // the port went away after the presence check
        }
        // A port the user may not open or another program holds: say what to do about it.
        if (open.error == serial::OpenError::PermissionDenied ||
            open.error == serial::OpenError::Busy)
            window_.messageBox(std::string(kNoModemText) + "\n" + serial::describe(open));
        else
            window_.messageBox(kNoModemText);
        OnStop();
        if (flags_.memoryDebugSeen.load() && memoryDumpHook_) memoryDumpHook_();
        return;
    }

    // Names have whole seconds: a Start in the second the previous worker's last file began
    // would truncate that file. Waiting for the next second costs at most one second.
    const std::string previous = worker_ && worker_->logic ? worker_->logic->currentFile() : "";
    while (!previous.empty() &&
           capture::makeLogName(baseLogPath_, std::time(nullptr)) == previous) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    capture::WorkerSettings settings;
    settings.rawFile = rawFile_;
    settings.rawPath = window_.getText(ctl::kRawFilePath);
    settings.baseLogPath = baseLogPath_;
    settings.version = version_;
    settings.retention = &retention_;
    const FilterChoice choice = filterChoice_;
    auto worker = std::make_unique<Worker>();
    worker->logic = std::make_unique<capture::LoggingWorker>(
        engine_, window_, flags_, std::move(settings), [this, choice] {
            return filterSender_ ? filterSender_(choice, dm::kModeSend)
                                 : sendFilter(choice, dm::kModeSend);
        });
    worker->thread = std::thread(
        [logic = worker->logic.get(), code = worker->exitCode, &window = window_] {
            code->store(logic->run());
            // The exit watch runs now rather than at its next tick, up to a second later.
            window.fireTimerSoon(timer::kExitWatch);
        });
    worker_ = std::move(worker);

    window_.startTimer(timer::kExitWatch, kExitWatchPeriodMs);
    window_.startTimer(timer::kStatus, kStatusPeriodMs);
    applyUiState(UiState::Logging);
}

bool MainDialog::reapAbandoned(std::chrono::milliseconds wait) {
    if (!abandoned_) return true;
    const auto until = std::chrono::steady_clock::now() + wait;
    while (!abandoned_->ended() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!abandoned_->ended()) return false;
    abandoned_.reset();
    return true;
}

// ---- Stop --------------------------------------------------------------------------------------

void MainDialog::OnStop() {
    if (state_ == UiState::Stopping) return;
    if (waiting_) {
        waiting_ = false;
        window_.stopTimer(kDeviceWaitTimer);
    }
    cancelWait_.store(false);
    applyUiState(UiState::Stopping);
    const bool workerAlive = worker_ && !worker_->ended();

    // A status batch still writing would share the port with the stop requests below, and a
    // write's purge could cut one of them: the batch (six short writes) is waited out first.
    window_.stopTimer(timer::kRequests);
    joinRequestThread();
    engine_.startlogging(false, dm::kSourcePort, nullptr);
    if (flags_.loggingActive.load()) engine_.setclosingnote(kStoppedNote);
    flags_.stopRequested.store(true);
    flags_.nextFile.store(false);
    window_.stopTimer(timer::kStatus);
    window_.stopTimer(timer::kRequests);

    // Closing the port wakes a read in progress and makes the filter requests of a worker that
    // is still sending them fail at once; the worker then leaves its receive loop and closes
    // its file with the closing note above as the last record.
    engine_.close();
    bool ended = true;
    if (workerAlive) {
        const auto until = std::chrono::steady_clock::now() + options_.stopWait;
        while (!worker_->ended() && std::chrono::steady_clock::now() < until) {
            // Held up while it opened a file, the worker clears a rotation's flags when its
            // receive loop begins; the Stop is asserted again until it has seen it.
            flags_.nextFile.store(false);
            flags_.stopRequested.store(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ended = worker_->ended();
    }
    joinRequestThread();
    if (!ended) {
        // It is inside a call that could not be woken. It keeps the engine until it returns
        // and closes its own file then; nothing here touches the engine meanwhile.
        abandoned_ = std::move(worker_);
        lastExitCode_ = capture::kExitForced;  // what the exit watch and callers see
        engine_.setinfotarget(nullptr, 0, false);
        flags_.loggingActive.store(false);
    } else {
        if (worker_ && worker_->thread.joinable()) worker_->thread.join();
        engine_.close();
        engine_.closelog();
        // The last file is closed: the ring holds its newest files now.
        reportRemovals(retention_.trim(true, false), std::nullopt);
    }

    if (baseLogPathTaken_) window_.setText(ctl::kLogPath, baseLogPath_);
    applyUiState(UiState::Idle);
}

void MainDialog::joinRequestThread() {
    if (requestThread_.joinable()) requestThread_.join();
}

// ---- timers ------------------------------------------------------------------------------------

void MainDialog::OnTimer(int id) {
    switch (id) {
        case timer::kStatus:
            OnStatusTimer();
            break;
        case timer::kRequests:
            OnRequestTimer();
            break;
        case timer::kExitWatch:
            OnExitWatch();
            break;
        case kDeviceWaitTimer:
            OnDeviceWait();
            break;
        default:
            break;
    }
}

int MainDialog::workerExitCode() const {
    if (worker_) return worker_->exitCode->load();
    return lastExitCode_;
}

std::string MainDialog::currentLogFile() const {
    return worker_ && worker_->logic ? worker_->logic->currentFile() : std::string();
}

void MainDialog::idleReset() {
    window_.stopTimer(timer::kStatus);
    window_.stopTimer(timer::kRequests);
    engine_.startlogging(false, dm::kSourcePort, nullptr);
    engine_.close();
    // Edit 1006 keeps the name of the file just written until Stop puts the base path back;
    // a later Start takes the base path, not that name (see continueStart).
    applyUiState(UiState::Idle);
    window_.stopTimer(timer::kExitWatch);
}

void MainDialog::OnExitWatch() {
    if (exitPending_.exchange(false)) {
        OnExit();
        return;
    }
    if (!worker_) {
        window_.stopTimer(timer::kExitWatch);
        return;
    }
    const int code = worker_->exitCode->load();
    if (code == capture::kExitStillRunning) {
        // A worker waiting for room is answered now rather than at the next status tick.
        if (flags_.spaceLow.load()) applyRetention(engine_.getstats().packets);
        return;
    }
    if (worker_->thread.joinable()) worker_->thread.join();
    joinRequestThread();
    lastExitCode_ = code;
    if (waiting_ && state_ == UiState::Waiting) {
        // A fresh Start (a watchdog restart) waits for the device: Stop has already dealt
        // with the worker that ended; the next one counts.
        window_.stopTimer(timer::kExitWatch);
        return;
    }
    if (code == capture::kExitLogWriteFailed) {
        // The worker has shown the file and the reason; the error log keeps it.
        LogError(err::kLogWrite, worker_->logic->writeError(),
                 static_cast<int>(engine_.getstats().packets), 0);
        if (exiting_) return;
    }
    if ((code >= capture::kExitNormal && code <= capture::kExitRawNotOpened) ||
        code == capture::kExitLogWriteFailed) {
        // A Start New that waits for the device has no worker left to hand over to.
        if (waiting_) {
            waiting_ = false;
            window_.stopTimer(kDeviceWaitTimer);
        }
        reportRemovals(retention_.trim(true, false), std::nullopt);
        idleReset();
    } else if (code == capture::kExitForced) {
        window_.stopTimer(timer::kExitWatch);
    } else {
        window_.messageBox(kUnhandledExitText);
        window_.stopTimer(timer::kExitWatch);
    }
}

void MainDialog::OnStatusTimer() {
    if (exitPending_.exchange(false)) {
        OnExit();
        return;
    }
    const dm::Stats stats = engine_.getstats();
    window_.setStatus(statusLine(stats));

    // A port that hung up delivers nothing more: the restart the watchdog would make some
    // seconds later is made now (with the watchdog off as well), once, and waits for the
    // device as Start does.
    if (engine_.portlost() && state_ == UiState::Logging) {
        const uint32_t before = lastPackets_;
        const int silentSeconds = unchangedTicks_ * 2;
        lastPackets_ = 0;
        unchangedTicks_ = 0;
        if (watchdogSeconds_ > 0) {
            LogError(err::kWatchdog, silentSeconds, static_cast<int>(before),
                     static_cast<int>(stats.packets));
        } else {
            LogError(err::kPortLost, EIO, 0, 0);
        }
        if (exiting_) return;
        RestartLogging();
        return;
    }

    if (watchdogSeconds_ > 0) {
        if (stats.packets == lastPackets_) {
            ++unchangedTicks_;
        } else {
            lastPackets_ = stats.packets;
            unchangedTicks_ = 0;
        }
        const int silentSeconds = unchangedTicks_ * 2;
        if (silentSeconds >= watchdogSeconds_) {
            const uint32_t before = lastPackets_;
            lastPackets_ = 0;
            unchangedTicks_ = 0;
            LogError(err::kWatchdog, silentSeconds, static_cast<int>(before),
                     static_cast<int>(stats.packets));
            if (exiting_) return;
            RestartLogging();
            return;
        }
    }

    if (applyRetention(stats.packets)) return;

    // Checked only while a file is being filled and no rotation is already under way.
    if (multipleFiles_ && worker_ && flags_.loggingActive.load() && !flags_.stopRequested.load()) {
        if (CheckLogCapacity(limitUnit_, limit_, worker_->logic->fileStartTime(), stats.bytes)) {
            if (exiting_) return;
            engine_.setclosingnote(capacityNote(stats.bytes));
            flags_.stopRequested.store(true);
            flags_.nextFile.store(true);
        }
    }
}

bool MainDialog::CheckLogCapacity(int limitUnit, int limit, std::time_t fileStart, uint32_t bytes) {
    if (limitUnit == 0) {
        const long long elapsed = static_cast<long long>(now() - fileStart);
        const long long limitSeconds = static_cast<long long>(limit) * 60;
        if (elapsed > limitSeconds) {
            LogError(err::kTime, static_cast<int>(std::min<long long>(elapsed, INT_MAX)),
                     static_cast<int>(std::min<long long>(limitSeconds, INT_MAX)), 0);
            return true;
        }
        return false;
    }
    const long long limitBytes = static_cast<long long>(limit) * 1000000;
    if (static_cast<long long>(bytes) > limitBytes) {
        LogError(err::kSize, static_cast<int>(bytes),
                 static_cast<int>(std::min<long long>(limitBytes, INT_MAX)), 0);
        return true;
    }
    return false;
}

bool MainDialog::applyRetention(uint32_t packets) {
    if (!worker_ || !flags_.loggingActive.load()) return false;
    auto space = retention_.space();
    auto isLow = [](const std::optional<capture::Retention::Space>& s) {
        return s && s->freeBytes < s->floor;
    };
    bool low = isLow(space);  // the worker's flag only asks for a look now
    reportRemovals(retention_.trim(packets > 0, low), space);
    if (exiting_) return true;
    if (low) {
        space = retention_.space();
        low = isLow(space);
    }
    if (!low) {
        flags_.spaceLow.store(false);
        return false;
    }
    // A file is ending already: its successor is looked at anew.
    if (flags_.stopRequested.load()) return true;
    if (retention_.rotationFrees(space->floor - space->freeBytes)) {
        // One more file lets the ring remove the oldest, which is large enough to help.
        engine_.setclosingnote(capacityNote(engine_.getstats().bytes));
        flags_.stopRequested.store(true);
        flags_.nextFile.store(true);
        flags_.spaceLow.store(false);
        return true;
    }
    endForLowSpace(*space);
    return true;
}

namespace {
int kiloBytes(uint64_t bytes) {
    return static_cast<int>(std::min<uint64_t>(bytes / 1000, INT_MAX));
}
}  // namespace

void MainDialog::endForLowSpace(const capture::Retention::Space& space) {
    const std::string current = currentLogFile();
    const std::string fs = capture::fileSystemName(current.empty() ? "." : current);
    lowSpaceMessage_ = "Free space on " + fs + " is " + capture::formatBytes(space.freeBytes) +
                       ", below the " + capture::formatBytes(space.floor) +
                       " to keep free, and no file of this capture may be removed: logging "
                       "stopped, the log ends with its closing note.";
    engine_.setclosingnote(std::string(kLowSpaceNote) + " on " + fs + ": " +
                           capture::formatBytes(space.freeBytes) + " free");
    lowSpaceEnded_ = true;
    flags_.stopRequested.store(true);
    flags_.nextFile.store(false);
    flags_.spaceLow.store(false);
    LogError(err::kLowSpace, kiloBytes(space.freeBytes), kiloBytes(space.floor), 0);
    if (exiting_) return;
    window_.messageBox(lowSpaceMessage_);
}

void MainDialog::reportRemovals(const std::vector<capture::Removal>& removed,
                                const std::optional<capture::Retention::Space>& space) {
    for (const auto& r : removed) {
        if (r.error == 0) {
            switch (r.cause) {
                case capture::RemovalCause::Ring:
                    LogError(err::kRemovedRing, kiloBytes(r.bytes), static_cast<int>(r.kept),
                             static_cast<int>(r.limit));
                    break;
                case capture::RemovalCause::Total:
                    LogError(err::kRemovedTotal, kiloBytes(r.bytes), kiloBytes(r.kept),
                             kiloBytes(r.limit));
                    break;
                case capture::RemovalCause::LowSpace:
                    LogError(err::kRemovedLowSpace, kiloBytes(r.bytes),
                             space ? kiloBytes(space->freeBytes) : 0,
                             space ? kiloBytes(space->floor) : 0);
                    break;
            }
        }
        if (removalObserver_) removalObserver_(r);
    }
}

void MainDialog::OnRequestTimer() {
    if (state_ != UiState::Logging) {
        // Armed late by a worker that Stop had already given up on.
        window_.stopTimer(timer::kRequests);
        return;
    }
    if (rawFile_ || requestRunning_.load()) return;
    joinRequestThread();
    requestRunning_.store(true);
    requestThread_ = std::thread([this] {
        for (int kind : kRequestKinds) engine_.statusquery(kind);
        requestRunning_.store(false);
    });
}

void MainDialog::RestartLogging() {
    OnStop();
    if (options_.sleep) {
        options_.sleep(std::chrono::milliseconds(1000));
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    if (exiting_) return;
    restartPending_ = true;
    OnStart();
    // A modem still booting after its reset does not answer yet: the window has shown why
    // and is idle; the error log keeps the failed restart as well.
    if (lastStartFailed_ && !engine_.connectsaborted()) LogError(err::kRestartFailed, 1, 0, 0);
}

void MainDialog::ReadRotationSettings() {
    multipleFiles_ = window_.isChecked(ctl::kMultipleFiles);
    limitUnit_ = window_.isChecked(ctl::kUnitMb) ? 1 : 0;
    limit_ = parseLeadingInt(window_.getText(ctl::kLimit));
    if (limit_ < 1) {
        limit_ = 1;
        window_.setText(ctl::kLimit, "1");
    }
}

// ---- notifications, filter, error log, exit ----------------------------------------------------

void MainDialog::OnEngineNotify(const dm::InfoNotification& note) {
    if (note.field == kMemoryDebugField) {
        flags_.memoryDebugSeen.store(true);
    } else if (note.field >= 0 && note.field <= kInfoFieldLast && infoSink_) {
        infoSink_(note);
    }
}

bool MainDialog::applyFilter(int destination) {
    FilterChoice choice;
    choice.fromFile = window_.isChecked(ctl::kSourceFile);
    choice.fromGui = window_.isChecked(ctl::kSourceGui);
    choice.filePath = window_.getText(ctl::kFilterPath);
    return filterSender_ ? filterSender_(choice, destination) : sendFilter(choice, destination);
}

bool MainDialog::sendFilter(const FilterChoice& choice, int destination) {
    filters::FilterReporter reporter;
    reporter.messageBox = [this](const std::string& text) { window_.messageBox(text); };
    reporter.status = [this](const std::string& text) { window_.setStatus(text); };
    reporter.logError = [this](int code, int64_t first, int64_t second, int64_t third) {
        auto clamp = [](int64_t v) {
            return static_cast<int>(std::clamp<int64_t>(v, INT_MIN, INT_MAX));
        };
        LogError(code, clamp(first), clamp(second), clamp(third));
    };
    filters::FilterContext ctx{engine_, filters_};
    ctx.source = choice.fromGui    ? filters::FilterSource::Gui
                 : choice.fromFile ? filters::FilterSource::InputFile
                                   : filters::FilterSource::None;
    ctx.inputPath = choice.filePath;
    ctx.reporter = std::move(reporter);
    ctx.extra = &extraItems_;
    return filters::applyFilter(destination, ctx);
}

void MainDialog::LogError(int code, int first, int second, int third) {
    {
        std::lock_guard lock(errorLogMutex_);
        errorLog_.LogError(code, first, second, third);
    }
    if (errorObserver_) errorObserver_(code, first, second, third);
    // Closing happens outside the lock: Stop may wait for a worker that writes an entry.
    if (exitWanted_.exchange(false)) requestExit();
}

void MainDialog::requestExit() {
    if (onMainThread()) {
        OnExit();
    } else {
        exitPending_.store(true);
    }
}

void MainDialog::OnExit() {
    if (exiting_) return;
    exiting_ = true;
    if (state_ != UiState::Idle || waiting_ || (worker_ && !worker_->ended())) OnStop();
    window_.stopTimer(timer::kExitWatch);
    if (settingsSaver_) settingsSaver_();
    exited_ = true;
    window_.close();
}

}  // namespace kvx::app
