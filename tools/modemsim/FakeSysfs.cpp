#include "modemsim/FakeSysfs.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace kvx::modemsim {

namespace fs = std::filesystem;

namespace {

// One USB device per port, on a bus numbered after the tty so that ports never share one:
// ttyUSB<k> on bus 1+k, ttyACM<k> on bus 501+k, anything else on bus 1001+(sum of its chars).
int busOf(const std::string& tty) {
    size_t digits = tty.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(tty[digits - 1])) != 0) --digits;
    int number = 0;
    for (size_t i = digits; i < tty.size() && i < digits + 6; ++i)
        number = number * 10 + (tty[i] - '0');
    if (tty.rfind("ttyUSB", 0) == 0 && digits == 6) return 1 + number;
    if (tty.rfind("ttyACM", 0) == 0 && digits == 6) return 501 + number;
    int sum = 0;
    for (char c : tty) sum += static_cast<unsigned char>(c);
    return 1001 + sum;
}

bool writeFile(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text << '\n';
    return static_cast<bool>(out);
}

std::string hex2(int value) {
    static const char* digits = "0123456789abcdef";
    std::string s(2, '0');
    s[0] = digits[(value >> 4) & 0xF];
    s[1] = digits[value & 0xF];
    return s;
}

// A string as udev puts it into a by-id name: blanks become "_", anything outside plain
// characters is left out.
std::string udevSafe(const std::string& text) {
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isspace(u) != 0) {
            out += '_';
        } else if (std::isalnum(u) != 0 || c == '#' || c == '+' || c == '-' || c == '.' ||
                   c == ':' || c == '=' || c == '@' || c == '_') {
            out += c;
        }
    }
    return out;
}

// The stable names udev gives a port (relative to <dev>/serial).
fs::path byIdName(const FakeUsbPort& port, bool usbSerial) {
    std::string id = "usb-" + udevSafe(port.manufacturer) + "_" + udevSafe(port.product);
    if (!port.serial.empty()) id += "_" + udevSafe(port.serial);
    return fs::path("by-id") / (id + "-if00" + (usbSerial ? "-port0" : ""));
}

fs::path byPathName(const FakeUsbPort& port, bool usbSerial, int bus) {
    const std::string socket = port.socket.empty() ? std::to_string(bus) : port.socket;
    return fs::path("by-path") /
           ("pci-0000:00:14.0-usb-0:" + socket + ":1.0" + (usbSerial ? "-port0" : ""));
}

// Removes the by-id and by-path links that lead to <tty>.
void removeStableLinks(const fs::path& dev, const std::string& tty) {
    for (const char* kind : {"by-id", "by-path"}) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dev / "serial" / kind, ec)) {
            std::error_code lec;
            if (fs::read_symlink(e.path(), lec) == fs::path("..") / ".." / tty)
                fs::remove(e.path(), lec);
        }
    }
}

bool link(const fs::path& target, const fs::path& where) {
    std::error_code ec;
    fs::remove(where, ec);
    fs::create_directory_symlink(target, where, ec);
    return !ec;
}

}  // namespace

FakeSysfs::FakeSysfs(std::string root, std::string dev)
    : root_(std::move(root)), dev_(std::move(dev)) {
    std::error_code ec;
    fs::create_directories(fs::path(root_) / "class" / "tty", ec);
    fs::create_directories(fs::path(root_) / "devices", ec);
    if (!dev_.empty()) fs::create_directories(dev_, ec);
}

bool FakeSysfs::add(const FakeUsbPort& port) {
    if (port.tty.empty() || port.tty.find('/') != std::string::npos) return false;
    remove(port.tty);
    const std::string bus = std::to_string(busOf(port.tty));
    const std::string devName = bus + "-1";
    const std::string ifName = devName + ":1.0";
    const fs::path busDir = fs::path(root_) / "devices" / ("usb" + bus);
    const fs::path usbDev = busDir / devName;
    const fs::path iface = usbDev / ifName;

    std::error_code ec;
    fs::create_directories(iface, ec);
    if (ec) return false;
    bool ok = writeFile(usbDev / "idVendor", hex2(port.vendorId >> 8) + hex2(port.vendorId)) &&
              writeFile(usbDev / "idProduct", hex2(port.productId >> 8) + hex2(port.productId));
    if (!port.manufacturer.empty())
        ok = ok && writeFile(usbDev / "manufacturer", port.manufacturer);
    if (!port.serial.empty()) ok = ok && writeFile(usbDev / "serial", port.serial);
    if (!port.product.empty()) ok = ok && writeFile(usbDev / "product", port.product);
    if (!port.interfaceName.empty()) ok = ok && writeFile(iface / "interface", port.interfaceName);
    ok = ok && writeFile(iface / "bInterfaceClass", hex2(port.interfaceClass)) &&
         writeFile(iface / "bInterfaceSubClass", hex2(port.interfaceSubClass)) &&
         writeFile(iface / "bInterfaceProtocol", hex2(port.interfaceProtocol));
    if (!ok) return false;

    // usb-serial puts a port device between the interface and the tty; cdc-acm does not.
    const bool usbSerial = port.tty.rfind("ttyUSB", 0) == 0;
    fs::path ttyDir;
    fs::path classTarget = fs::path("..") / ".." / "devices" / ("usb" + bus) / devName / ifName;
    fs::path deviceTarget;
    if (usbSerial) {
        ttyDir = iface / port.tty / "tty" / port.tty;
        classTarget = classTarget / port.tty / "tty" / port.tty;
        deviceTarget = fs::path("..") / ".." / ".." / port.tty;
    } else {
        ttyDir = iface / "tty" / port.tty;
        classTarget = classTarget / "tty" / port.tty;
        deviceTarget = fs::path("..") / ".." / ".." / ifName;
    }
    fs::create_directories(ttyDir, ec);
    if (ec) return false;
    if (!link(deviceTarget, ttyDir / "device")) return false;
    if (!link(classTarget, fs::path(root_) / "class" / "tty" / port.tty)) return false;

    if (!dev_.empty() && !port.target.empty()) {
        const fs::path node = fs::path(dev_) / port.tty;
        fs::remove(node, ec);
        fs::create_symlink(port.target, node, ec);
        if (ec) return false;
        const fs::path serialDir = fs::path(dev_) / "serial";
        for (const fs::path& name :
             {byIdName(port, usbSerial), byPathName(port, usbSerial, busOf(port.tty))}) {
            fs::create_directories((serialDir / name).parent_path(), ec);
            fs::remove(serialDir / name, ec);
            fs::create_symlink(fs::path("..") / ".." / port.tty, serialDir / name, ec);
            if (ec) return false;
        }
    }
    return true;
}

bool FakeSysfs::addLegacy(const std::string& tty) {
    if (tty.empty() || tty.find('/') != std::string::npos) return false;
    const fs::path platform = fs::path(root_) / "devices" / "platform" / "serial8250";
    const fs::path ttyDir = platform / "tty" / tty;
    std::error_code ec;
    fs::create_directories(ttyDir, ec);
    if (ec) return false;
    // UART type 0: the port is registered, but no chip answers behind it.
    if (!writeFile(ttyDir / "type", "0")) return false;
    if (!link(fs::path("..") / ".." / ".." / "serial8250", ttyDir / "device")) return false;
    return link(fs::path("..") / ".." / "devices" / "platform" / "serial8250" / "tty" / tty,
                fs::path(root_) / "class" / "tty" / tty);
}

void FakeSysfs::remove(const std::string& tty) {
    if (tty.empty() || tty.find('/') != std::string::npos) return;
    std::error_code ec;
    fs::remove(fs::path(root_) / "class" / "tty" / tty, ec);
    fs::remove_all(fs::path(root_) / "devices" / ("usb" + std::to_string(busOf(tty))), ec);
    fs::remove_all(fs::path(root_) / "devices" / "platform" / "serial8250" / "tty" / tty, ec);
    if (!dev_.empty()) {
        fs::remove(fs::path(dev_) / tty, ec);
        removeStableLinks(dev_, tty);
    }
}

}  // namespace kvx::modemsim
