// Port discovery through the device installer: the present devices of the class "Ports", their
// friendly names, device descriptions and hardware IDs, and "PortName" from each device's key.
// When the installer lists no port at all (a system without Plug and Play serial drivers),
// the COM port names of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM stand in, named "Serial Port".
#include <windows.h>
// windows.h first: setupapi.h builds on its types.
#include <setupapi.h>

#include <array>
#include <string>
#include <vector>

#include "serial/Discovery.h"

namespace kvx::serial {

namespace {

// The property buffer of a friendly name or description.
constexpr DWORD kPropertyBytes = 1024;
// "PortName" and SERIALCOMM data: a COM port name is short; anything longer is no port name.
constexpr DWORD kPortNameBytes = 64;
// Room for the class identifiers of "Ports" at the first try.
constexpr DWORD kClassRoom = 16;
// SERIALCOMM value names are driver device names such as \Device\Serial0.
constexpr DWORD kValueNameChars = 256;

// A string or multi-string device property, split at its zeros; empty when missing.
std::vector<std::string> property(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD which) {
    std::array<BYTE, kPropertyBytes + 2> buffer{};
    DWORD type = 0;
    DWORD size = 0;
    if (!::SetupDiGetDeviceRegistryPropertyA(set, &device, which, &type, buffer.data(),
                                             kPropertyBytes, &size))
        return {};
    if (type != REG_SZ && type != REG_MULTI_SZ && type != REG_EXPAND_SZ) return {};
    std::vector<std::string> parts;
    const char* text = reinterpret_cast<const char*>(buffer.data());
    const size_t end = std::min<size_t>(size, kPropertyBytes);
    for (size_t at = 0; at < end;) {
        std::string part(text + at);  // the buffer's extra zeros end every part
        at += part.size() + 1;
        if (part.empty()) break;
        parts.push_back(std::move(part));
    }
    return parts;
}

std::string firstOf(const std::vector<std::string>& parts) {
    return parts.empty() ? std::string() : parts.front();
}

// A string value of an open key, within kPortNameBytes; none when missing or not a string.
std::optional<std::string> stringValue(HKEY key, const char* name) {
    std::array<char, kPortNameBytes + 1> buffer{};
    DWORD type = 0;
    DWORD size = kPortNameBytes;
    if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                           &size) != ERROR_SUCCESS)
        return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
    return std::string(buffer.data());
}

std::vector<GUID> portClasses() {
    std::vector<GUID> classes(kClassRoom);
    DWORD needed = 0;
    if (!::SetupDiClassGuidsFromNameA("Ports", classes.data(), kClassRoom, &needed)) {
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return {};
        classes.resize(needed);
        if (!::SetupDiClassGuidsFromNameA("Ports", classes.data(), needed, &needed)) return {};
    }
    classes.resize(std::min<size_t>(needed, classes.size()));
    return classes;
}

std::vector<PortDevice> installedDevices() {
    std::vector<PortDevice> devices;
    for (const GUID& cls : portClasses()) {
        HDEVINFO set = ::SetupDiGetClassDevsA(&cls, nullptr, nullptr, DIGCF_PRESENT);
        if (set == INVALID_HANDLE_VALUE) continue;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set, index, &device); ++index) {
            PortDevice d;
            d.friendlyName = firstOf(property(set, device, SPDRP_FRIENDLYNAME));
            d.description = firstOf(property(set, device, SPDRP_DEVICEDESC));
            d.hardwareIds = property(set, device, SPDRP_HARDWAREID);
            // The device's own key: ...\Enum\<instance>\Device Parameters.
            HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                              KEY_QUERY_VALUE);
            if (key != INVALID_HANDLE_VALUE) {
                d.portName = stringValue(key, "PortName");
                ::RegCloseKey(key);
            }
            devices.push_back(std::move(d));
        }
        ::SetupDiDestroyDeviceInfoList(set);
    }
    return devices;
}

std::vector<PortDevice> serialCommDevices() {
    std::vector<PortDevice> devices;
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                        &key) != ERROR_SUCCESS)
        return devices;
    for (DWORD index = 0;; ++index) {
        std::array<char, kValueNameChars> name{};
        std::array<char, kPortNameBytes + 1> data{};
        DWORD nameChars = kValueNameChars;
        DWORD dataBytes = kPortNameBytes;
        DWORD type = 0;
        const LONG rc = ::RegEnumValueA(key, index, name.data(), &nameChars, nullptr, &type,
                                        reinterpret_cast<BYTE*>(data.data()), &dataBytes);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        PortDevice d;
        d.portName = std::string(data.data());
        d.friendlyName = "Serial Port (" + *d.portName + ")";
        devices.push_back(std::move(d));
    }
    ::RegCloseKey(key);
    return devices;
}

}  // namespace

std::vector<PresentPort> systemPorts(const std::string& /*sysfsRoot*/,
                                     const std::string& /*devRoot*/) {
    std::vector<PresentPort> ports = portsFromDevices(installedDevices());
    if (ports.empty()) ports = portsFromDevices(serialCommDevices());
    return ports;
}

bool portReachable(const PresentPort& /*port*/) {
    return true;  // the device installer lists present devices only
}

}  // namespace kvx::serial
