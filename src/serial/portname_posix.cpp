// Port names as the user and the settings give them, mapped to device paths.
#include <cctype>
#include <cstdlib>
#include <string>
#include <string_view>

#include "serial/Port.h"

namespace kvx::serial {

namespace {
std::string devFolder() {
    const char* env = std::getenv("KVXLOG_DEV_ROOT");
    std::string root = (env != nullptr && *env != '\0') ? env : "/dev";
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) return false;
    return true;
}
}  // namespace

std::string portPath(std::string_view name) {
    // Callers format "\\.\COM%s" whatever the port edit holds, so the Windows device prefix
    // and "COM" may both stand in front of a plain number or a full path.
    constexpr std::string_view kDevicePrefix = "\\\\.\\";
    if (name.substr(0, kDevicePrefix.size()) == kDevicePrefix)
        name.remove_prefix(kDevicePrefix.size());
    if (!name.empty() && name.front() == '/') return std::string(name);
    if (name.size() >= 3 && (name.substr(0, 3) == "COM" || name.substr(0, 3) == "com")) {
        name.remove_prefix(3);
        if (!name.empty() && name.front() == '/') return std::string(name);
    }
    if (!allDigits(name)) return {};
    // Leading zeros would name no different device; keep the number as typed otherwise.
    size_t firstNonZero = name.find_first_not_of('0');
    std::string_view number =
        firstNonZero == std::string_view::npos ? "0" : name.substr(firstNonZero);
    if (number.size() > 9) return {};
    return devFolder() + "/ttyUSB" + std::string(number);
}

}  // namespace kvx::serial
