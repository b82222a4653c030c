// POSIX side of os/Files.h, os/Time.h and os/Thread.h.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "os/Files.h"
#include "os/Thread.h"
#include "os/Time.h"

namespace kvx::os {

std::filesystem::path pathOf(const std::string& name) { return name; }

std::string nameOf(const std::filesystem::path& path) { return path.string(); }

int openError(const std::string&) { return errno; }

bool isSeparator(char c) { return c == '/'; }

size_t folderEnd(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

bool syncFile(int fd) { return ::fsync(fd) == 0; }

void syncFolder(const std::string& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::string resolveLinks(const std::string& path) {
    std::string resolved = path;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        resolved = real;
        std::free(real);
    }
    return resolved;
}

bool copyOwnerAndMode(int fd, const std::string& original) {
    struct stat st {};
    if (::stat(original.c_str(), &st) != 0) return false;
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        // Not the owner's group, or not root: the file stays ours.
    }
    return ::fchmod(fd, st.st_mode & 07777) == 0;
}

bool replaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool truncateFile(int fd, uint64_t size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0; }

int folderWritable(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    if (::access(folder.c_str(), W_OK | X_OK) != 0) return errno;
    return 0;
}

const void* mapReadOnly(int fd, size_t size) {
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (map == MAP_FAILED) return nullptr;
    ::madvise(map, size, MADV_SEQUENTIAL);
    return map;
}

void unmap(const void* view, size_t size) {
    if (view != nullptr) ::munmap(const_cast<void*>(view), size);
}

bool localTime(std::time_t when, std::tm& out) { return ::localtime_r(&when, &out) != nullptr; }

bool utcTime(std::time_t when, std::tm& out) { return ::gmtime_r(&when, &out) != nullptr; }

std::time_t fromUtc(std::tm& t) { return ::timegm(&t); }

void setThreadName(std::thread& thread, const char* name) {
    pthread_setname_np(thread.native_handle(), name);
}

int usableCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    const int n = CPU_COUNT(&set);
    return n > 0 ? n : 1;
}

}  // namespace kvx::os
