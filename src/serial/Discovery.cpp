// The system-independent side of port discovery: the device list a test may set, ports from
// the Windows device installer's entries, and the natural order of port names.
#include "serial/Discovery.h"

#include <cctype>
#include <mutex>

namespace kvx::serial {

namespace {

std::mutex sourceMutex;
PortDeviceSource& deviceSource() {
    static PortDeviceSource source;
    return source;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Four hexadecimal digits after `key` (such as "VID_") in `id`.
std::optional<uint16_t> hexField(std::string_view id, std::string_view key) {
    for (size_t at = 0; at + key.size() + 4 <= id.size(); ++at) {
        if (!equalNoCase(id.substr(at, key.size()), key)) continue;
        // The key starts a field: the ID's start or after '\' or '&'.
        if (at > 0 && id[at - 1] != '\\' && id[at - 1] != '&') continue;
        uint16_t v = 0;
        bool ok = true;
        for (char c : id.substr(at + key.size(), 4)) {
            if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
                ok = false;
                break;
            }
            const int d = std::isdigit(static_cast<unsigned char>(c)) != 0
                              ? c - '0'
                              : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
            v = static_cast<uint16_t>(v * 16 + d);
        }
        if (ok) return v;
    }
    return std::nullopt;
}

}  // namespace

bool usbIdsOf(std::string_view hardwareId, uint16_t& vendorId, uint16_t& productId) {
    const auto vid = hexField(hardwareId, "VID_");
    const auto pid = hexField(hardwareId, "PID_");
    if (!vid || !pid) return false;
    vendorId = *vid;
    productId = *pid;
    return true;
}

std::vector<PresentPort> portsFromDevices(const std::vector<PortDevice>& devices) {
    std::vector<PresentPort> ports;
    for (const PortDevice& d : devices) {
        if (!d.portName || d.portName->empty()) continue;
        PresentPort p;
        p.tty = *d.portName;
        p.path = *d.portName;
        p.name = d.friendlyName.empty() ? d.description : d.friendlyName;
        for (const std::string& id : d.hardwareIds)
            if (usbIdsOf(id, p.vendorId, p.productId)) break;
        ports.push_back(std::move(p));
    }
    return ports;
}

void setPortDeviceSource(PortDeviceSource source) {
    std::lock_guard lock(sourceMutex);
    deviceSource() = std::move(source);
}

std::vector<PresentPort> presentPorts(const std::string& sysfsRoot, const std::string& devRoot) {
    PortDeviceSource source;
    {
        std::lock_guard lock(sourceMutex);
        source = deviceSource();
    }
    if (source) return portsFromDevices(source());
    return systemPorts(sysfsRoot, devRoot);
}

bool naturalLess(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            size_t ie = i, je = j;
            while (ie < a.size() && a[ie] == '0') ++ie;
            while (je < b.size() && b[je] == '0') ++je;
            size_t is = ie, js = je;
            while (ie < a.size() && digit(a[ie])) ++ie;
            while (je < b.size() && digit(b[je])) ++je;
            if (ie - is != je - js) return ie - is < je - js;
            auto na = a.substr(is, ie - is), nb = b.substr(js, je - js);
            if (na != nb) return na < nb;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    return (a.size() - i) < (b.size() - j);
}

}  // namespace kvx::serial
