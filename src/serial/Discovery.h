// Present serial ports with the friendly name each device has: what the DM port search matches
// its texts against. Linux reads sysfs (discovery_posix.cpp) and names each port as a Windows
// driver would; Windows asks the device installer for the present devices of the class
// "Ports" (discovery_win.cpp). A test may put its own device list in place of the system's.
// Plain functions; any thread (the device source is set before threads start).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::serial {

struct PresentPort {
    std::string tty;   // kernel name, e.g. "ttyUSB2"; Windows: the port name, e.g. "COM7"
    std::string path;  // the port name handed to openport: <dev folder>/<tty>; Windows "COM7"
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

// The ports present on this system, in device index order. `sysfsRoot` and `devRoot` stand
// for /sys and /dev on Linux (empty: defaultSysfsRoot(), defaultDevRoot()); Windows does not
// use them. With a device source set (setPortDeviceSource), its list instead.
std::vector<PresentPort> presentPorts(const std::string& sysfsRoot = {},
                                      const std::string& devRoot = {});
// True when the port can be opened by its path (Linux: the device node exists; Windows lists
// present devices only).
bool portReachable(const PresentPort& port);

// A device of the class "Ports" as the Windows device installer describes it.
struct PortDevice {
    std::string friendlyName;  // SPDRP_FRIENDLYNAME; "" when it has none
    std::string description;   // SPDRP_DEVICEDESC
    std::vector<std::string> hardwareIds;  // SPDRP_HARDWAREID, e.g. "USB\VID_05C6&PID_9008"
    std::optional<std::string> portName;   // "PortName" of its device key; none: no key
};
// The ports of such a list, in list order: named by the friendly name, or the description when
// that is empty; a device without a port name (its key missing) is left out; USB ids from the
// first hardware ID that holds them.
std::vector<PresentPort> portsFromDevices(const std::vector<PortDevice>& devices);
// The "VID_xxxx&PID_xxxx" of a hardware ID (hexadecimal, any case); false when it has none.
bool usbIdsOf(std::string_view hardwareId, uint16_t& vendorId, uint16_t& productId);

// Replaces the system's device list for presentPorts (tests); an empty function restores it.
using PortDeviceSource = std::function<std::vector<PortDevice>()>;
void setPortDeviceSource(PortDeviceSource source);

// The system's own list, whatever source is set (discovery_posix.cpp, discovery_win.cpp).
std::vector<PresentPort> systemPorts(const std::string& sysfsRoot, const std::string& devRoot);

// Linux only. The folder standing for /sys: $KVXLOG_SYSFS_ROOT, else "/sys".
std::string defaultSysfsRoot();
// Linux only. The folder holding the device nodes: $KVXLOG_DEV_ROOT, else "/dev" (absolute).
std::string defaultDevRoot();
// Linux only. Ports backed by hardware under `sysfsRoot`/class/tty, in device index order (tty
// names in natural order: ttyUSB2 before ttyUSB10). Virtual terminals (no device link) and
// legacy ttyS* placeholders without a UART are left out. Empty when the folder cannot be read.
std::vector<PresentPort> listPorts(const std::string& sysfsRoot, const std::string& devRoot);

// Linux only. The links in `folder` (e.g. /dev/serial/by-id) whose target, read as written (relative to
// the folder) and not followed further, is `devicePath`; their paths, in name order.
std::vector<std::string> linksTo(const std::string& folder, const std::string& devicePath);

// Natural order of names: runs of digits compare by value ("ttyUSB2" < "ttyUSB10").
bool naturalLess(std::string_view a, std::string_view b);

}  // namespace kvx::serial
