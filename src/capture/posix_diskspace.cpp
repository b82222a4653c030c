#include <limits.h>
#include <stdlib.h>
#include <sys/statvfs.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "capture/DiskSpace.h"

namespace kvx::capture {

namespace {
// Mount points in /proc/self/mounts escape blanks and backslashes as octal (\040).
std::string unescapeMount(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
                out.push_back(static_cast<char>(std::stoi(digits, nullptr, 8)));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

// The longest mount point that contains `real`, with its type.
std::string mountOf(const std::string& real) {
    std::ifstream mounts("/proc/self/mounts");
    std::string line, best, bestType;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string device, point, type;
        if (!(fields >> device >> point >> type)) continue;
        point = unescapeMount(point);
        const bool contains =
            point == "/" || real == point ||
            (real.size() > point.size() && real.compare(0, point.size(), point) == 0 &&
             real[point.size()] == '/');
        if (contains && point.size() >= best.size()) {
            best = point;
            bestType = type;
        }
    }
    if (best.empty()) return real;
    return best + " (" + bestType + ")";
}
}  // namespace

std::optional<DiskSpace> diskSpace(const std::string& path) {
    struct statvfs fs {};
    if (::statvfs(path.c_str(), &fs) != 0) return std::nullopt;
    DiskSpace space;
    const uint64_t unit = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
    space.freeBytes = static_cast<uint64_t>(fs.f_bavail) * unit;
    space.totalBytes = static_cast<uint64_t>(fs.f_blocks) * unit;
    return space;
}

std::string fileSystemName(const std::string& path) {
    char real[PATH_MAX];
    return mountOf(::realpath(path.c_str(), real) != nullptr ? std::string(real) : path);
}

}  // namespace kvx::capture
