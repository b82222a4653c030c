// Finding the modem's DM port by friendly name, the presence check before Start, and the
// start-up detection with a live message range query.
#include <string>

#include "dm/KvxLog.h"
#include "serial/Discovery.h"

namespace kvx::dm {

bool KvxLog::findport(const std::string& text, std::string& name) const {
    // An empty text would match every port; the table's empty slot belongs to the port
    // typed by the user and is never searched.
    if (text.empty()) return false;
    for (const auto& port : serial::presentPorts(sysfsRoot_)) {
        if (port.name.find(text) == std::string::npos) continue;
        // A port without a device node cannot be opened by name: try the next one.
        if (!serial::portReachable(port)) continue;
        name = port.path;
        return true;
    }
    return false;
}

bool KvxLog::deviceispresent(int deviceType) const {
    std::string scratch;
    for (const auto& slot : devicetable())
        if (slot.deviceType == deviceType && findport(slot.text, scratch)) return true;
    return false;
}

bool KvxLog::detectport(int deviceType, std::string& out) {
    std::string name;
    bool found = false;
    for (const auto& slot : devicetable()) {
        if (slot.deviceType == deviceType && findport(slot.text, name)) {
            found = true;
            break;
        }
    }
    if (!found) return false;

    auto opened = portOpener_ ? portOpener_(name, &lastOpen_) : serial::openport(name, &lastOpen_);
    bool result = false;
    if (opened) {
        {
            std::lock_guard lock(portMutex_);
            port_ = std::shared_ptr<serial::Port>(std::move(opened));
        }
        const uint8_t messageQuery[] = {0x7D, 0x01};
        result = runQuery(messageQuery, sizeof messageQuery, 0);
        if (result) out = name;
    }
    std::shared_ptr<serial::Port> port;
    {
        std::lock_guard lock(portMutex_);
        port.swap(port_);
    }
    return result;
}

}  // namespace kvx::dm
