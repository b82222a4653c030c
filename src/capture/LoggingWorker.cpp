#include "capture/LoggingWorker.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "capture/LogName.h"

namespace kvx::capture {

namespace {
// Stop sets stopRequested and clears nextFile; a rotation sets both.
bool stopWithoutNextFile(const CaptureFlags& flags) {
    return flags.stopRequested.load() && !flags.nextFile.load();
}

// The raw input, opened for binary reading. A folder opens on Linux but reads nothing, and
// would pass for an empty capture: it is refused with EISDIR as Windows refuses it.
FILE* openRawInput(const std::string& path) {
    FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) return nullptr;
    // The receive path takes 1 KiB per read: a larger stream buffer saves system calls.
    std::setvbuf(in, nullptr, _IOFBF, 64 * 1024);
    struct stat st {};
    if (::fstat(fileno(in), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(in);
        errno = EISDIR;
        return nullptr;
    }
    return in;
}
}  // namespace

std::string versionText(const std::array<int, 4>& v) {
    char text[64];
    std::snprintf(text, sizeof text, "KvxLog Plus - Version %d.%d.%d.%d", v[0], v[1], v[2], v[3]);
    return text;
}

LoggingWorker::LoggingWorker(dm::KvxLog& engine, Window& window, CaptureFlags& flags,
                             WorkerSettings settings, std::function<bool()> applyFilter)
    : engine_(engine),
      window_(window),
      flags_(flags),
      settings_(std::move(settings)),
      applyFilter_(std::move(applyFilter)) {}

std::string LoggingWorker::currentFile() const {
    std::lock_guard lock(nameMutex_);
    return currentFile_;
}

int LoggingWorker::run() {
    bool filterSent = false;
    while (flags_.nextFile.load()) {
        const int code = fileCycle(filterSent);
        if (code != kExitNormal) return code;
    }
    return kExitNormal;
}

int LoggingWorker::fileCycle(bool& filterSent) {
    std::string name = makeLogName(settings_.baseLogPath, std::time(nullptr));
    // Names have whole seconds: quick rotations (Start New twice) wait for the next second
    // rather than take a suffixed name.
    while (name == lastStem_ && !stopWithoutNextFile(flags_)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        name = makeLogName(settings_.baseLogPath, std::time(nullptr));
    }
    lastStem_ = name;

    engine_.clearstats();
    // The over-long-path hint is shown in the edit but never created as a file (a name of
    // asterisks that Windows refuses is a valid name here).
    bool opened = false;
    if (name.rfind(kShortenPath, 0) != 0) {
        // A log is never replaced: a name another run took (in the same second) gets the
        // next free suffix, "_2" and on.
        opened = engine_.openlog(name, true);
        for (int k = 2; !opened && engine_.logerror() == EEXIST && k <= kMaxNameSuffix; ++k) {
            const std::string other = suffixedLogName(lastStem_, k);
            opened = engine_.openlog(other, true);
            if (opened || engine_.logerror() != EEXIST) name = other;
        }
    }
    {
        std::lock_guard lock(nameMutex_);
        currentFile_ = name;
    }
    window_.setText(ctl::kLogPath, name);
    if (!opened) {
        const int error = engine_.logerror();
        window_.messageBox(error == 0 ? std::string("Could not create output file.\n")
                                      : "Could not create output file. (" + name + ": " +
                                            std::strerror(error) + ")\n");
        return kExitLogNotCreated;
    }
    if (settings_.retention) settings_.retention->fileOpened(name);
    engine_.setnote(versionText(settings_.version));

    if (!filterSent && !settings_.rawFile) {
        if (applyFilter_ && !applyFilter_()) {
            engine_.closelog();
            return kExitFilterNotSent;
        }
    }
    // The start time is in place before the window can see the file as being filled: a
    // status tick in between would otherwise find a file begun in 1970 and end it at once.
    fileStart_.store(std::time(nullptr));
    flags_.loggingActive.store(true);
    filterSent = true;
    flags_.memoryDebugSeen.store(false);
    window_.startTimer(timer::kRequests, 2000);

    FILE* input = nullptr;
    if (settings_.rawFile) {
        input = openRawInput(settings_.rawPath);
        if (!input) {
            const int error = errno;
            window_.messageBox("Could not open input Raw DM file. (" + settings_.rawPath + ": " +
                               std::strerror(error) + ")\n");
            // The new log holds no record; it is not left behind as if it were one.
            engine_.setnote("");
            engine_.closelog();
            std::remove(name.c_str());
            flags_.loggingActive.store(false);
            return kExitRawNotOpened;
        }
        engine_.setnote("RAW DM file conversion starting");
        engine_.startlogging(true, dm::kSourceRawFile, input);
    }

    receiveLoop();

    engine_.closelog();
    flags_.loggingActive.store(false);
    if (input) {
        std::fclose(input);
        // A conversion never begins another file.
        flags_.nextFile.store(false);
    }
    if (!engine_.logwriteok()) {
        // The file keeps what reached the disk; logging ends here, reported to the window.
        writeError_.store(engine_.logerror());
        flags_.nextFile.store(false);
        window_.messageBox("Could not write to the log file " + name + ". (" +
                           std::strerror(engine_.logerror()) + ")\n");
        return kExitLogWriteFailed;
    }
    return kExitNormal;
}

void LoggingWorker::receiveLoop() {
    // A rotation sets stopRequested and nextFile; Stop sets stopRequested and clears nextFile.
    // A Stop that came while this file was opened (or the filter sent) is honoured here, not
    // cleared, or the worker would go on logging after the window went idle.
    const bool stopped = stopWithoutNextFile(flags_);
    if (!stopped) flags_.stopRequested.store(false);
    flags_.nextFile.store(false);
    fileStart_.store(std::time(nullptr));
    engine_.setinfotarget(&window_, dm::kInfoMessage, true);
    while (!stopped) {
        const int n = engine_.dispatch();
        if (!engine_.logwriteok()) break;  // the disk took no more: nothing is read on
        if (settings_.retention && settings_.retention->spaceLow(engine_.getstats().bytes))
            waitForRoom();
        if (settings_.rawFile && n == 0) {
            engine_.setnote("RAW DM file conversion is complete");
            break;
        }
        if (flags_.stopRequested.load()) break;
    }
    // The pending note (conversion complete, or the note of the stop request) is written by
    // closelog, after the last packet.
    engine_.setinfotarget(nullptr, 0, false);
}

void LoggingWorker::waitForRoom() {
    // Nothing is read, so nothing written, until the window has made room or ended the file;
    // meanwhile the bytes wait in the port as they do between two files.
    flags_.spaceLow.store(true);
    window_.fireTimerSoon(timer::kStatus);
    while (flags_.spaceLow.load() && !flags_.stopRequested.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace kvx::capture
