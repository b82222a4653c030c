// A serial (DM) port as a byte transport: bounded reads that another thread can wake, writes,
// and the open errors a user needs to hear about. The POSIX implementation is posix_port.cpp,
// the Windows one win_port.cpp; tests may implement Port themselves (scripted fake transports).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "serial/PortHolder.h"

namespace kvx::serial {

enum class OpenError {
    None,
    NotFound,          // no such device
    PermissionDenied,  // the user may not open it (not in the device's group)
    Busy,              // another program holds it open (Windows: "Access is denied.")
    NotATerminal,      // the path exists but is no serial device
    Other,
};

struct OpenStatus {
    OpenError error = OpenError::None;
    int sysErrno = 0;   // the system's error number (errno; Windows: GetLastError), 0 when none
    std::string path;   // the device path that was tried
    // Busy: the processes holding the port (those this user can see) and whether ModemManager
    // runs. PermissionDenied: the group that owns the device ("" when unknown).
    std::vector<PortHolder> holders;
    bool modemManager = false;
    std::string group;
};

// One line for the user: what failed and, where there is one, the fix (the group to join; the
// process that holds the port, and how to keep ModemManager off it).
std::string describe(const OpenStatus& status);

// Engine driver queue size and the largest engine read.
inline constexpr size_t kEngineReadSize = 2048;

class Port {
public:
    virtual ~Port() = default;

    // Reads up to buffer.size() bytes. Returns when 10 ms pass without a byte after the first
    // one, when the total time-out (1 ms per byte requested + 50 ms) expires, or when wake()
    // is called. Returns the count read; 0 on time-out, on a line error (reported on stdout
    // as "Read error %d!"), on wake-up and on a dead device. A read on a dead device waits
    // out its time-out (or a wake-up) before returning 0, so a caller's loop never spins.
    // A port may take more bytes from the line than asked for; it keeps them, in order, for
    // the next reads (see buffered()).
    virtual size_t read(std::span<uint8_t> buffer) = 0;

    // The reading thread: bytes already taken from the line that the next read returns
    // without waiting. 0 for a port that reads no further than asked.
    virtual size_t buffered() const { return 0; }

    // Discards unsent output, then writes all bytes (total time-out 10 ms per byte + 50 ms).
    // False on failure, which is also reported on stdout ("Could not write data (%d)!").
    // Safe to call from one thread while another is inside read().
    virtual bool write(std::span<const uint8_t> bytes) = 0;

    // Any thread: makes a read in progress return at once; the wake is consumed by that read
    // (or by the next one when none is in progress).
    virtual void wake() = 0;

    // True once the device has gone away (hang-up, unplugged).
    virtual bool dead() const = 0;

    virtual const std::string& path() const = 0;
};

// Device path for a port name: a leading "\\.\" is stripped. Linux: "COM<n>" or "<n>" means
// /dev/ttyUSB<n>; an absolute path is used as it is (also behind "COM"). Windows: "<n>" means
// COM<n>, and the path is "\\.\" followed by the name (at most 15 characters, no folder).
// Empty when the name names nothing (for example "COM" alone).
std::string portPath(std::string_view name);

// Opens and configures a port for DM: raw 115200 8N1, no flow control, exclusive.
// `queueBytes`: the driver's input and output queue sizes where the system lets a program
// choose them (Windows). Null on failure, with nothing left open and the reason in `status`.
std::unique_ptr<Port> openport(std::string_view name, OpenStatus* status = nullptr,
                               size_t queueBytes = kEngineReadSize);

// The engine's free operations over an open port.
size_t readport(Port& port, uint8_t* buffer /* kEngineReadSize bytes */);
void writeport(Port& port, const uint8_t* bytes, size_t count);

}  // namespace kvx::serial
