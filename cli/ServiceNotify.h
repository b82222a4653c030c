// A capture run as a systemd service: readiness, status and watchdog messages for the service
// manager, and severity marks on the lines it sends to the journal.
//
// The notification protocol is spoken directly (one datagram of "NAME=value" lines to the unix
// socket $NOTIFY_SOCKET names; '@' begins an abstract name), as the service manager documents
// it: no libsystemd at build or run time, nothing to stub for other platforms, and tests listen
// on a socket of their own.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

namespace kvx::cli {

class ServiceNotify {
  public:
    // From $NOTIFY_SOCKET and $WATCHDOG_USEC (with $WATCHDOG_PID, when set, naming this
    // process); off without a socket.
    static ServiceNotify fromEnvironment();
    ServiceNotify() = default;
    ~ServiceNotify();
    ServiceNotify(ServiceNotify&& other) noexcept;
    ServiceNotify& operator=(ServiceNotify&&) = delete;
    ServiceNotify(const ServiceNotify&) = delete;
    ServiceNotify& operator=(const ServiceNotify&) = delete;

    bool enabled() const { return fd_ >= 0; }
    // The watchdog period the manager expects; zero when it expects none.
    std::chrono::microseconds watchdog() const { return watchdog_; }
    // Sends one message ("READY=1", "STATUS=...", "WATCHDOG=1"); false when off or it failed.
    bool send(std::string_view message) const;

  private:
    int fd_ = -1;
    std::string address_;  // sockaddr_un path bytes ('\0' first for an abstract name)
    std::chrono::microseconds watchdog_{0};
};

// Severity of a line for the journal.
enum class Severity { Error = 3, Warning = 4, Info = 6 };

// True when stderr is the journal's stream ($JOURNAL_STREAM names its device and inode): each
// line then begins with "<3>", "<4>" or "<6>", and progress lines are left out.
bool journalStream();
// Writes `text` (one or more lines) to `out`, each line marked with `severity` when stderr is
// the journal's stream; a line break is added when missing.
void writeLines(std::FILE* out, Severity severity, std::string_view text);

}  // namespace kvx::cli
