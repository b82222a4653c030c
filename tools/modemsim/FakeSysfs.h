// A fake Linux sysfs tree (and the matching /dev folder) for discovery tests and demos:
// serial ports appear and disappear as USB interfaces of the layout the kernel uses.
//
// Layout written under root (the folder standing for /sys):
//   devices/usbN/N-1/                       manufacturer, product (the USB device)
//   devices/usbN/N-1/N-1:1.I/               interface (optional), bInterfaceClass,
//                                           bInterfaceSubClass, bInterfaceProtocol
//   devices/usbN/N-1/N-1:1.I/<tty>/tty/<tty>/  (usb-serial, ttyUSB*) or
//   devices/usbN/N-1/N-1:1.I/tty/<tty>/        (cdc-acm, ttyACM*)
//   class/tty/<tty> -> the tty folder above, whose "device" links to the port (usb-serial)
//                      or to the interface (cdc-acm)
// and, when a dev folder is given, <dev>/<tty> as a symbolic link to the real device node
// (for example a pseudo-terminal), so the port name found opens the simulated modem, with
// the links udev adds beside it (to "../../<tty>"):
//   <dev>/serial/by-id/usb-<manufacturer>_<product>[_<serial>]-if00[-port0]
//   <dev>/serial/by-path/pci-0000:00:14.0-usb-0:<socket>:1.0[-port0]
// ("-port0" for usb-serial ports; blanks in the strings become "_"). Two ports of the same
// maker, model and serial number share one by-id name, which leads to the one added last, as
// with udev.
#pragma once

#include <string>

namespace kvx::modemsim {

struct FakeUsbPort {
    std::string tty;            // e.g. "ttyUSB2" or "ttyACM0"
    std::string manufacturer;   // e.g. "Orvanta Wireless"
    std::string product;        // e.g. "KVX-210 LTE Modem"
    std::string interfaceName;  // empty: the interface has no string of its own
    int interfaceClass = 0xff;
    int interfaceSubClass = 0xff;
    int interfaceProtocol = 0x30;  // ff/ff/30: the chipset's diagnostics interface
    std::string target;         // what <dev>/<tty> links to; empty: no link
    int vendorId = 0x1f2e;      // USB ids of the device
    int productId = 0x0210;
    std::string serial;         // the device's serial number; empty: none
    std::string socket;         // USB socket in the by-path name, e.g. "3" or "1.4"; empty:
                                // one of its own per port
};

// The chipset's download mode (QDLoader) as a USB device: 05c6:9008.
inline constexpr int kDownloadVendorId = 0x05c6;
inline constexpr int kDownloadProductId = 0x9008;

class FakeSysfs {
public:
    // `root` stands for /sys, `dev` for /dev; both are created when missing.
    FakeSysfs(std::string root, std::string dev);

    // Adds a present port (its USB device and interface too). Re-adding a removed port
    // brings it back. False when the files could not be written.
    bool add(const FakeUsbPort& port);
    // A legacy placeholder port without a UART (ttyS*): present in class/tty, never listed.
    bool addLegacy(const std::string& tty);
    // Removes the port as an unplug does: its class entry, its folder and its dev link.
    void remove(const std::string& tty);

    const std::string& root() const { return root_; }
    const std::string& dev() const { return dev_; }

private:
    std::string root_;
    std::string dev_;
};

}  // namespace kvx::modemsim
