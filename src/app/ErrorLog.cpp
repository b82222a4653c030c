#include "app/ErrorLog.h"

#include <cerrno>
#include <cstdio>

#include "os/Time.h"

namespace kvx::app {

namespace {
// "occured" is spelled as the program has always written it; tools grep for it.
constexpr const char* kLineFormat = "Time: %s -- Error %d occured, parameters: %s, %d, %d, %d.\n";
constexpr const char* kUnknown = "Unknown Error";

constexpr std::array<ErrorRow, kErrorRows> kTable{{
    {err::kNoError, "No Error", false},
    {err::kInvalidDestination, "Invalid Destination. <dest, file>", true},
    {err::kWatchdog, "Restarting Logging, cause = Watchdog. <watchdog, logtimer>", false},
    {err::kTimestamp, "Restarting Logging, cause = Timestamp. <new, old>", false},
    {err::kSize, "Restarting Logging, cause = Size. <filesize, limit(bytes)>", false},
    {err::kTime, "Restarting Logging, cause = Time. <filetime, limit(sec)>", false},
    {err::kManual, "Restarting Logging, cause = Manual.", false},
    // Code 7 stays unknown (and fatal), as it always was; the rows below came later.
    {err::kLogWrite, "Logging Stopped, cause = Log file write failed. <errno, records on disk>",
     false},
    {err::kPortLost, "Restarting Logging, cause = Port lost. <errno>", false},
    {err::kRestartFailed, "Restart failed, cause = No answer from the modem. <try, next(sec)>",
     false},
    {err::kRemovedRing, "Log file removed, cause = Ring. <size(kB), files kept, ring>", false},
    {err::kRemovedTotal, "Log file removed, cause = Total size. <size(kB), total(kB), limit(kB)>",
     false},
    {err::kRemovedLowSpace,
     "Log file removed, cause = Low disk space. <size(kB), free(kB), min free(kB)>", false},
    {err::kLowSpace, "Logging Stopped, cause = Low disk space. <free(kB), min free(kB)>", false},
}};

const ErrorRow* findRow(int code) {
    for (const auto& row : kTable) {
        if (row.code == code) return &row;
    }
    return nullptr;
}
}  // namespace

const std::array<ErrorRow, kErrorRows>& errorTable() {
    return kTable;
}

const char* errorMessage(int code) {
    const ErrorRow* row = findRow(code);
    return row ? row->message : kUnknown;
}

bool errorIsFatal(int code) {
    const ErrorRow* row = findRow(code);
    return row == nullptr || row->fatal;
}

std::string errorLine(std::time_t when, int code, int first, int second, int third) {
    std::tm local{};
    char stamp[32] = "";
    if (os::localTime(when, local)) {
        std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &local);
    }
    const char* message = errorMessage(code);
    int length = std::snprintf(nullptr, 0, kLineFormat, stamp, code, message, first, second, third);
    if (length <= 0) return {};
    std::string line(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(line.data(), line.size(), kLineFormat, stamp, code, message, first, second,
                  third);
    line.resize(static_cast<size_t>(length));
    return line;
}

ErrorLog::ErrorLog(MessageBox messageBox, ExitProgram exitProgram, Clock clock)
    : messageBox_(std::move(messageBox)),
      exitProgram_(std::move(exitProgram)),
      clock_(std::move(clock)) {}

bool ErrorLog::LogError(int code, int first, int second, int third) {
    const std::time_t now = clock_ ? clock_() : std::time(nullptr);
    const std::string line = errorLine(now, code, first, second, third);

    // Relative on purpose (unless a path was set): the entry goes to whatever the current
    // directory is right now.
    FILE* file = std::fopen(path_.c_str(), "a");
    int error = file == nullptr ? errno : 0;
    if (file != nullptr) {
        // A full disk fails the write or the close: the entry did not reach the file.
        const bool written = std::fputs(line.c_str(), file) >= 0 && std::fflush(file) == 0;
        if (!written) error = errno != 0 ? errno : EIO;
        // Closed before the program is told to end, so the entry is complete on disk first.
        if (std::fclose(file) != 0 && error == 0) error = errno != 0 ? errno : EIO;
    }
    if (error != 0) {
        lastErrno_ = error;
        if (messageBox_) {
            messageBox_(line + kErrorLogUnwritable + kApplicationWillClose);
        }
        if (exitProgram_) exitProgram_();
        return false;
    }
    lastErrno_ = 0;
    if (errorIsFatal(code) && exitProgram_) exitProgram_();
    return true;
}

}  // namespace kvx::app
