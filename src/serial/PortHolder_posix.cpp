#include "serial/PortHolder.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace kvx::serial {

namespace {

namespace fs = std::filesystem;

// Process folders of the proc root: the all-digit names.
template <typename Visit>
void forEachProcess(const std::string& procRoot, Visit visit) {
    std::error_code ec;
    fs::directory_iterator it(procRoot, ec);
    int seen = 0;
    for (; !ec && it != fs::directory_iterator() && seen < kMaxProcesses; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.size() > 9 ||
            !std::all_of(name.begin(), name.end(),
                         [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }))
            continue;
        ++seen;
        visit(std::atoi(name.c_str()), it->path());
    }
}

std::string commandName(const fs::path& processDir) {
    std::ifstream in(processDir / "comm");
    std::string name;
    std::getline(in, name);
    return name;
}

}  // namespace

bool sameOpenFile(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) {
        if (a.st_rdev != b.st_rdev) return false;
        // Unix98 pseudo-terminal slaves (majors 136-143) of two devpts instances (a container's,
        // a chroot's) share their numbers but are different terminals: the instance must match.
        const unsigned m = major(a.st_rdev);
        return m < 136 || m > 143 || a.st_dev == b.st_dev;
    }
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string defaultProcRoot() {
    const char* env = std::getenv("KVXLOG_PROC_ROOT");
    return (env != nullptr && *env != '\0') ? std::string(env) : std::string("/proc");
}

std::vector<PortHolder> portHolders(const std::string& devicePath, const std::string& procRoot) {
    std::vector<PortHolder> holders;
    struct stat device{};
    if (::stat(devicePath.c_str(), &device) != 0) return holders;
    forEachProcess(procRoot, [&](int pid, const fs::path& dir) {
        std::error_code ec;
        fs::directory_iterator fds(dir / "fd", ec);
        int count = 0;
        for (; !ec && fds != fs::directory_iterator() && count < kMaxDescriptors;
             fds.increment(ec), ++count) {
            struct stat target{};
            // stat follows the descriptor's link to the file it has open.
            if (::stat(fds->path().c_str(), &target) != 0 || !sameOpenFile(device, target)) continue;
            holders.push_back({pid, commandName(dir)});
            break;
        }
    });
    std::sort(holders.begin(), holders.end(),
              [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
    return holders;
}

bool modemManagerRunning(const std::string& procRoot) {
    bool running = false;
    forEachProcess(procRoot, [&](int, const fs::path& dir) {
        if (!running && commandName(dir) == kModemManager) running = true;
    });
    return running;
}

}  // namespace kvx::serial
