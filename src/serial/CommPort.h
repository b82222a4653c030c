// The memory-dump tool's port object: one open DM-settings serial port with the plain
// open/read/write/close operations. Used by one thread (the dump worker); wake() and close()
// from another thread end a read in progress.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "serial/Port.h"

namespace kvx::serial {

class CommPort {
  public:
    // Driver queue sizes of this port (bytes), where the system lets a program set them.
    static constexpr size_t kQueueSize = 4096;
    // Chunk read while draining the port on close (bytes).
    static constexpr size_t kDrainChunk = 512;

    CommPort() = default;
    ~CommPort();
    CommPort(const CommPort&) = delete;
    CommPort& operator=(const CommPort&) = delete;

    // Opens and configures `name` (see openport); a port still open is closed first.
    // False when it could not be opened; status() then says why.
    bool open(std::string_view name);
    // Takes over an already open transport (tests, simulated modems).
    void attach(std::unique_ptr<Port> port);
    bool isOpen() const;

    // Reads up to `count` bytes (time-outs as Port::read); 0 when none came or not open.
    size_t read(uint8_t* buffer, size_t count);
    // Discards unsent output and writes all bytes; false on failure (reported on stdout).
    bool write(const uint8_t* bytes, size_t count);
    // Any thread: makes a read in progress return.
    void wake();
    // Drains the port (512-byte reads until one comes back empty), then closes it.
    void close();

    const OpenStatus& status() const { return status_; }

  private:
    std::shared_ptr<Port> snapshot() const;

    mutable std::mutex mutex_;  // guards the pointer only, never held during I/O
    std::shared_ptr<Port> port_;
    OpenStatus status_;
};

}  // namespace kvx::serial
