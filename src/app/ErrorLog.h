// The error log: one line per logging restart or kept error, appended to "kvxlogplus.errorlog"
// in the process's current directory; fatal codes (and a log that cannot be opened) close
// the program. Written on the main thread; the file is opened and closed for every entry.
#pragma once

#include <array>
#include <cstddef>
#include <ctime>
#include <functional>
#include <string>

namespace kvx::app {

inline constexpr const char* kErrorLogName = "kvxlogplus.errorlog";

// Error codes of the table.
namespace err {
inline constexpr int kNoError = 0;
inline constexpr int kInvalidDestination = 1;  // fatal
inline constexpr int kWatchdog = 2;
inline constexpr int kTimestamp = 3;
inline constexpr int kSize = 4;
inline constexpr int kTime = 5;
inline constexpr int kManual = 6;
inline constexpr int kLogWrite = 8;       // a write to the log failed; logging stopped
inline constexpr int kPortLost = 9;       // the port hung up; logging restarts
inline constexpr int kRestartFailed = 10; // a restart found no modem answering; tried again
// Retention: a file of this capture removed (sizes in kB of 1000 bytes), and the end of logging
// on a disk that ran low with nothing left to remove.
inline constexpr int kRemovedRing = 11;
inline constexpr int kRemovedTotal = 12;
inline constexpr int kRemovedLowSpace = 13;
inline constexpr int kLowSpace = 14;
}  // namespace err

inline constexpr size_t kErrorRows = 14;

struct ErrorRow {
    int code;
    const char* message;
    bool fatal;  // the program closes once the entry is written
};

const std::array<ErrorRow, kErrorRows>& errorTable();

// The row's message, or "Unknown Error" for a code outside the table.
const char* errorMessage(int code);
// Codes outside the table are fatal.
bool errorIsFatal(int code);

// One entry as written (ends with a line break); `when` is formatted as local time.
std::string errorLine(std::time_t when, int code, int first, int second, int third);

// Shown, after the entry's line, when the error log cannot be opened; then the program closes.
inline constexpr const char* kErrorLogUnwritable =
    "Error logging file could not be opened.  Please record the error information.";
inline constexpr const char* kApplicationWillClose = "This application will close.";

class ErrorLog {
  public:
    using MessageBox = std::function<void(const std::string&)>;
    using ExitProgram = std::function<void()>;
    using Clock = std::function<std::time_t()>;

    // `messageBox` shows the unwritable-log message; `exitProgram` closes the program (the
    // main dialog's OnExit). `clock` gives the time of an entry (default: std::time).
    ErrorLog(MessageBox messageBox, ExitProgram exitProgram, Clock clock = {});

    // Writes one entry. Returns false when the file could not be opened (the message was
    // shown and the program is closing). Fatal codes close the program after the entry.
    bool LogError(int code, int first, int second, int third);

    // errno of the last failed open or write, 0 when the last entry was written.
    int lastErrno() const { return lastErrno_; }

    // The file entries go to; default kErrorLogName, relative to the current directory at
    // the moment of each entry.
    void setPath(std::string path) { path_ = path.empty() ? kErrorLogName : std::move(path); }
    const std::string& path() const { return path_; }

  private:
    MessageBox messageBox_;
    ExitProgram exitProgram_;
    Clock clock_;
    int lastErrno_ = 0;
    std::string path_ = kErrorLogName;
};

}  // namespace kvx::app
