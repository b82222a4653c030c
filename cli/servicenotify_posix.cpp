#include "ServiceNotify.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace kvx::cli {

ServiceNotify ServiceNotify::fromEnvironment() {
    ServiceNotify n;
    const char* socketName = std::getenv("NOTIFY_SOCKET");
    if (socketName == nullptr || socketName[0] == '\0') return n;
    std::string address = socketName;
    if (address[0] == '@') {
        address[0] = '\0';
    } else if (address[0] != '/') {
        return n;  // neither a path nor an abstract name
    }
    if (address.size() >= sizeof(sockaddr_un::sun_path)) return n;
    n.fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (n.fd_ < 0) return n;
    n.address_ = address;
    if (const char* usec = std::getenv("WATCHDOG_USEC")) {
        const char* pid = std::getenv("WATCHDOG_PID");
        const bool ours = pid == nullptr || std::strtol(pid, nullptr, 10) == ::getpid();
        const long long value = std::strtoll(usec, nullptr, 10);
        if (ours && value > 0) n.watchdog_ = std::chrono::microseconds(value);
    }
    return n;
}

ServiceNotify::~ServiceNotify() {
    if (fd_ >= 0) ::close(fd_);
}

ServiceNotify::ServiceNotify(ServiceNotify&& other) noexcept
    : fd_(other.fd_), address_(std::move(other.address_)), watchdog_(other.watchdog_) {
    other.fd_ = -1;
}

bool ServiceNotify::send(std::string_view message) const {
    if (fd_ < 0) return false;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::memcpy(to.sun_path, address_.data(), address_.size());
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size() +
                               (address_[0] == '\0' ? 0 : 1));
    return ::sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&to), length) ==
           static_cast<ssize_t>(message.size());
}

bool journalStream() {
    static const bool active = [] {
        const char* stream = std::getenv("JOURNAL_STREAM");
        if (stream == nullptr) return false;
        unsigned long long device = 0, inode = 0;
        if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
        struct stat st {};
        return ::fstat(STDERR_FILENO, &st) == 0 && st.st_dev == device && st.st_ino == inode;
    }();
    return active;
}

}  // namespace kvx::cli
