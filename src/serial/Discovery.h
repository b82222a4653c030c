// Present serial ports as the system lists them (Linux sysfs), with the friendly name a
// Windows driver would give each: what the DM port search matches its texts against.
// Pure functions over a sysfs root folder; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::serial {

struct PresentPort {
    std::string tty;   // kernel name, e.g. "ttyUSB2"
    std::string path;  // device path, <dev folder>/<tty>: the port name handed to openport
    std::string name;  // friendly name, e.g. "Orvanta Wireless DM Port (ttyUSB2)"
    // USB vendor and product id of the device behind the port; 0 when it is no USB device.
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    // The USB device's serial number ("" when it has none). Several modems of one batch may
    // carry the same one.
    std::string serial;
    // Stable names udev gives the port: the links under <dev folder>/serial/by-id (made of
    // the maker, model and serial number) and <dev folder>/serial/by-path (made of the USB
    // socket) that lead to it, in name order. Empty where udev made none.
    std::vector<std::string> byId;
    std::vector<std::string> byPath;
};

// The folder standing for /sys: $KVXLOG_SYSFS_ROOT, else "/sys".
std::string defaultSysfsRoot();
// The folder holding the device nodes: $KVXLOG_DEV_ROOT, else "/dev" (made absolute).
std::string defaultDevRoot();

// Ports backed by hardware under `sysfsRoot`/class/tty, in device index order (tty names in
// natural order: ttyUSB2 before ttyUSB10). Virtual terminals (no device link) and legacy
// ttyS* placeholders without a UART are left out. Empty when the folder cannot be read.
std::vector<PresentPort> listPorts(const std::string& sysfsRoot, const std::string& devRoot);

// The links in `folder` (e.g. /dev/serial/by-id) whose target, read as written (relative to
// the folder) and not followed further, is `devicePath`; their paths, in name order.
std::vector<std::string> linksTo(const std::string& folder, const std::string& devicePath);

// Natural order of names: runs of digits compare by value ("ttyUSB2" < "ttyUSB10").
bool naturalLess(std::string_view a, std::string_view b);

}  // namespace kvx::serial
