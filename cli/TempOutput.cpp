#include "TempOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kvx::cli {
namespace {

// The temporary file of the running export, for the handler of a fatal signal: Ctrl-C or
// SIGTERM mid-run removes it instead of leaving a half capture behind.
char gTempPath[4096];
volatile sig_atomic_t gTempSet = 0;

void removeTempAndEnd(int sig) {
    if (gTempSet) ::unlink(gTempPath);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

}  // namespace

bool TempOutput::open() {
    temp_ = target_ + ".XXXXXX";
    fd_ = ::mkstemp(temp_.data());
    if (fd_ < 0) {
        error_ = errno;
        temp_.clear();
        return false;
    }
    // mkstemp makes the file private; a capture is an ordinary file of the user's.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_, 0666 & ~mask);
    if (temp_.size() < sizeof gTempPath) {
        std::memcpy(gTempPath, temp_.c_str(), temp_.size() + 1);
        gTempSet = 1;
        struct sigaction sa {};
        sa.sa_handler = removeTempAndEnd;
        sigemptyset(&sa.sa_mask);
        for (size_t i = 0; i < std::size(kSignals); ++i)
            ::sigaction(kSignals[i], &sa, &saved_[i]);
        handlers_ = true;
    }
    return true;
}

bool TempOutput::write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = n < 0 ? errno : EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool TempOutput::commit() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 || ::rename(temp_.c_str(), target_.c_str()) != 0) {
        error_ = errno;
        return false;
    }
    temp_.clear();
    restoreHandlers();
    return true;
}

void TempOutput::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
    restoreHandlers();
}

void TempOutput::restoreHandlers() {
    gTempSet = 0;
    if (!handlers_) return;
    for (size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &saved_[i], nullptr);
    handlers_ = false;
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace kvx::cli
