// Windows has no systemd: there is no notification socket to speak to and no journal stream,
// so a capture there is never a notified service and its lines carry no severity marks.
#include "ServiceNotify.h"

namespace kvx::cli {

ServiceNotify ServiceNotify::fromEnvironment() {
    return ServiceNotify();
}

ServiceNotify::~ServiceNotify() = default;

ServiceNotify::ServiceNotify(ServiceNotify&& other) noexcept
    : fd_(other.fd_), address_(std::move(other.address_)), watchdog_(other.watchdog_) {
    other.fd_ = -1;
}

bool ServiceNotify::send(std::string_view) const {
    return false;
}

bool journalStream() {
    return false;
}

}  // namespace kvx::cli
