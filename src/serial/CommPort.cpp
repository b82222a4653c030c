#include "serial/CommPort.h"

#include <array>
#include <span>

namespace kvx::serial {

CommPort::~CommPort() {
    std::lock_guard lock(mutex_);
    port_.reset();
}

bool CommPort::open(std::string_view name) {
    {
        std::lock_guard lock(mutex_);
        port_.reset();
    }
    std::shared_ptr<Port> port = openport(name, &status_, kQueueSize);
    std::lock_guard lock(mutex_);
    port_ = std::move(port);
    return port_ != nullptr;
}

void CommPort::attach(std::unique_ptr<Port> port) {
    std::lock_guard lock(mutex_);
    status_ = OpenStatus{};
    if (port) status_.path = port->path();
    port_ = std::move(port);
}

bool CommPort::isOpen() const {
    return snapshot() != nullptr;
}

std::shared_ptr<Port> CommPort::snapshot() const {
    std::lock_guard lock(mutex_);
    return port_;
}

size_t CommPort::read(uint8_t* buffer, size_t count) {
    auto port = snapshot();
    if (!port || count == 0) return 0;
    return port->read(std::span<uint8_t>(buffer, count));
}

bool CommPort::write(const uint8_t* bytes, size_t count) {
    auto port = snapshot();
    if (!port) return false;
    return port->write(std::span<const uint8_t>(bytes, count));
}

void CommPort::wake() {
    if (auto port = snapshot()) port->wake();
}

void CommPort::close() {
    auto port = snapshot();
    if (!port) return;
    // Leave nothing of the modem's last answer behind for whoever opens the port next.
    std::array<uint8_t, kDrainChunk> scratch{};
    while (!port->dead() && port->read(scratch) > 0) {
    }
    std::lock_guard lock(mutex_);
    if (port_ == port) port_.reset();
}

}  // namespace kvx::serial
