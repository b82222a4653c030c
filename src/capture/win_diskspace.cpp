#include <windows.h>

#include <cerrno>

#include "capture/DiskSpace.h"

namespace kvx::capture {

namespace {
// The folder to ask about: a file's own folder, since the call takes a directory.
std::string folderOf(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return path;
    const size_t cut = path.find_last_of("\\/");
    if (cut == std::string::npos) return ".";
    return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}
}  // namespace

std::optional<DiskSpace> diskSpace(const std::string& path) {
    ULARGE_INTEGER available{}, total{};
    if (!GetDiskFreeSpaceExA(folderOf(path).c_str(), &available, &total, nullptr)) {
        errno = EIO;
        return std::nullopt;
    }
    return DiskSpace{available.QuadPart, total.QuadPart};
}

std::string fileSystemName(const std::string& path) {
    char volume[MAX_PATH + 1] = {};
    const std::string folder = folderOf(path);
    if (!GetVolumePathNameA(folder.c_str(), volume, sizeof volume)) return folder;
    char type[MAX_PATH + 1] = {};
    if (!GetVolumeInformationA(volume, nullptr, 0, nullptr, nullptr, nullptr, type, sizeof type))
        return volume;
    return std::string(volume) + " (" + type + ")";
}

}  // namespace kvx::capture
