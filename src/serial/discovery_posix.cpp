// Port discovery over sysfs: /sys/class/tty/<tty>/device leads to the USB interface (for
// cdc-acm directly, for usb-serial through the port device) and above it the USB device,
// whose strings make the friendly name.
#include <unistd.h>

#include "serial/Discovery.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

namespace kvx::serial {

namespace fs = std::filesystem;

namespace {

// sysfs attributes are one short line; a cap keeps a damaged tree from costing much.
constexpr size_t kAttributeMax = 1024;
// Levels between the tty's device and the USB interface (usb-serial: the port device).
constexpr int kInterfaceSearchDepth = 3;

std::optional<std::string> readAttribute(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(kAttributeMax, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0)
        text.pop_back();
    size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start])) != 0)
        ++start;
    return text.substr(start);
}

std::string attribute(const fs::path& file) {
    return readAttribute(file).value_or(std::string());
}

int hexAttribute(const fs::path& file) {
    auto text = readAttribute(file);
    if (!text || text->empty()) return -1;
    char* end = nullptr;
    long v = std::strtol(text->c_str(), &end, 16);
    if (end == text->c_str()) return -1;
    return static_cast<int>(v);
}

bool isInterface(const fs::path& dir) {
    std::error_code ec;
    return fs::exists(dir / "bInterfaceClass", ec);
}

bool isUsbDevice(const fs::path& dir) {
    std::error_code ec;
    return fs::exists(dir / "idVendor", ec) || fs::exists(dir / "manufacturer", ec) ||
           fs::exists(dir / "product", ec);
}

std::string joinWords(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return a + " " + b;
}

// The friendly name without its " (<tty>)" tail, or nullopt for a port to leave out. The USB
// ids of the device go to `vendorId`/`productId` when there is one.
std::optional<std::string> describePort(const fs::path& classEntry, const std::string& tty,
                                        uint16_t& vendorId, uint16_t& productId,
                                        std::string& serial) {
    std::error_code ec;
    const fs::path deviceLink = classEntry / "device";
    if (!fs::exists(deviceLink, ec)) return std::nullopt;  // virtual terminal
    fs::path device = fs::canonical(deviceLink, ec);
    if (ec) return std::nullopt;

    if (tty.rfind("ttyS", 0) == 0) {
        // The 8250 driver registers placeholder ports whose UART type is 0 (unknown).
        auto type = readAttribute(classEntry / "type");
        if (!type || type->empty() || *type == "0") return std::nullopt;
    }

    fs::path iface;
    fs::path dir = device;
    for (int i = 0; i < kInterfaceSearchDepth && !dir.empty(); ++i) {
        if (isInterface(dir)) {
            iface = dir;
            break;
        }
        if (dir == dir.parent_path()) break;
        dir = dir.parent_path();
    }
    if (iface.empty()) return std::string("Serial Port");

    const fs::path usbDevice = iface.parent_path();
    std::string manufacturer, product;
    if (isUsbDevice(usbDevice)) {
        manufacturer = attribute(usbDevice / "manufacturer");
        product = attribute(usbDevice / "product");
        serial = attribute(usbDevice / "serial");
        const int vid = hexAttribute(usbDevice / "idVendor");
        const int pid = hexAttribute(usbDevice / "idProduct");
        if (vid >= 0 && pid >= 0) {
            vendorId = static_cast<uint16_t>(vid);
            productId = static_cast<uint16_t>(pid);
        }
    }
    std::string interfaceName = attribute(iface / "interface");
    if (!interfaceName.empty()) return interfaceName;

    // ff/ff/30: the chipset's standard diagnostics interface, which carries no string of
    // its own on most modems; name it as the Windows driver does so "DM Port" finds it.
    if (hexAttribute(iface / "bInterfaceClass") == 0xff &&
        hexAttribute(iface / "bInterfaceSubClass") == 0xff &&
        hexAttribute(iface / "bInterfaceProtocol") == 0x30)
        return joinWords(manufacturer, "DM Port");

    std::string name = joinWords(manufacturer, product);
    if (name.empty()) name = "USB Serial Port";
    return name;
}

}  // namespace

std::string defaultSysfsRoot() {
    const char* env = std::getenv("KVXLOG_SYSFS_ROOT");
    return (env != nullptr && *env != '\0') ? std::string(env) : std::string("/sys");
}

std::string defaultDevRoot() {
    const char* env = std::getenv("KVXLOG_DEV_ROOT");
    std::string root = (env != nullptr && *env != '\0') ? std::string(env) : std::string("/dev");
    std::error_code ec;
    fs::path abs = fs::absolute(root, ec);
    if (!ec) root = abs.lexically_normal().string();
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

std::vector<PresentPort> listPorts(const std::string& sysfsRoot, const std::string& devRoot) {
    std::vector<PresentPort> ports;
    std::error_code ec;
    fs::directory_iterator it(fs::path(sysfsRoot) / "class" / "tty", ec);
    if (ec) return ports;
    std::string dev = devRoot;
    while (dev.size() > 1 && dev.back() == '/') dev.pop_back();
    for (const auto& entry : it) {
        std::string tty = entry.path().filename().string();
        PresentPort port;
        auto name = describePort(entry.path(), tty, port.vendorId, port.productId, port.serial);
        if (!name) continue;
        port.tty = tty;
        port.path = dev + "/" + tty;
        port.name = *name + " (" + tty + ")";
        port.byId = linksTo(dev + "/serial/by-id", port.path);
        port.byPath = linksTo(dev + "/serial/by-path", port.path);
        ports.push_back(std::move(port));
    }
    std::sort(ports.begin(), ports.end(),
              [](const PresentPort& x, const PresentPort& y) { return naturalLess(x.tty, y.tty); });
    return ports;
}

std::vector<PresentPort> systemPorts(const std::string& sysfsRoot, const std::string& devRoot) {
    return listPorts(sysfsRoot.empty() ? defaultSysfsRoot() : sysfsRoot,
                     devRoot.empty() ? defaultDevRoot() : devRoot);
}

std::vector<std::string> linksTo(const std::string& folder, const std::string& devicePath) {
    std::vector<std::string> links;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return links;
    const fs::path want = fs::path(devicePath).lexically_normal();
    for (const auto& entry : it) {
        if (!entry.is_symlink(ec)) continue;
        const fs::path target = fs::read_symlink(entry.path(), ec);
        if (ec) continue;
        // udev writes "../../ttyUSB2"; only the link itself is read, never the node behind it
        // (in a test tree the node is itself a link to a pseudo-terminal).
        const fs::path resolved =
            (target.is_absolute() ? target : fs::path(folder) / target).lexically_normal();
        if (resolved == want) links.push_back(entry.path().string());
    }
    std::sort(links.begin(), links.end());
    return links;
}

bool portReachable(const PresentPort& port) {
    return ::access(port.path.c_str(), F_OK) == 0;
}

}  // namespace kvx::serial
