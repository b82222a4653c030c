#include "filters/ReplacingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "os/Files.h"

namespace kvx::filters {

namespace {

// Room for the ".<name>." prefix and the suffix within a file name of at most 255 bytes.
constexpr size_t kNameKept = 200;

std::string folderOf(const std::string& path) { return path.substr(0, os::folderEnd(path)); }

}  // namespace

ReplacingFile::ReplacingFile(const std::string& target) {
    if (target.empty()) {
        error_ = ENOENT;
        return;
    }
    // Through a symbolic link: the file it names is replaced and the link stays.
    target_ = os::resolveLinks(target);
    struct stat st {};
    const bool existed = ::stat(target_.c_str(), &st) == 0;
    if (existed && ::access(target_.c_str(), W_OK) != 0) {
        error_ = errno;
        return;
    }
    const std::string folder = folderOf(target_);
    const std::string name = target_.substr(folder.size()).substr(0, kNameKept);
    // O_EXCL with names of our own rather than mkstemp: a new file then gets the umask's mode
    // as fopen would give it, without touching the process-wide umask.
    static std::atomic<unsigned> counter{0};
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        std::string temp = folder + "." + name + "." + std::to_string(::getpid()) + "." +
                           std::to_string(counter.fetch_add(1)) + ".tmp";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | os::kOpenFlags, existed ? 0600 : 0666);
        if (fd >= 0) {
            temp_ = std::move(temp);
        } else if (errno != EEXIST) {
            error_ = errno;
            return;
        }
    }
    if (fd < 0) {
        error_ = EEXIST;
        return;
    }
    if (existed) {
        // The replacement is the same file to its users: same permissions, same owner where
        // this process may set it.
        if (!os::copyOwnerAndMode(fd, target_)) {
            error_ = errno;
            ::close(fd);
            ::unlink(temp_.c_str());
            temp_.clear();
            return;
        }
    }
    stream_ = ::fdopen(fd, "wb");
    if (!stream_) {
        error_ = errno;
        ::close(fd);
        ::unlink(temp_.c_str());
        temp_.clear();
    }
}

ReplacingFile::~ReplacingFile() {
    discard();
}

void ReplacingFile::fail(int err) {
    if (error_ == 0) error_ = err != 0 ? err : EIO;
}

bool ReplacingFile::commit() {
    if (!stream_) return false;
    errno = 0;
    if (std::fflush(stream_) != 0 || std::ferror(stream_)) fail(errno);
    if (error_ == 0 && !os::syncFile(::fileno(stream_))) fail(errno);
    errno = 0;
    if (std::fclose(stream_) != 0) fail(errno);
    stream_ = nullptr;
    if (error_ == 0 && !os::replaceFile(temp_, target_)) fail(errno);
    if (error_ != 0) {
        discard();
        return false;
    }
    temp_.clear();
    // Best effort: the data itself is already on the disk.
    os::syncFolder(folderOf(target_));
    return true;
}

void ReplacingFile::discard() {
    if (stream_) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    }
}

}  // namespace kvx::filters
