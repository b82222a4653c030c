#include "TempOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "os/Files.h"

namespace kvx::cli {

bool TempOutput::open() {
    fd_ = createTempBeside(target_, temp_);
    if (fd_ < 0) {
        error_ = errno;
        temp_.clear();
        return false;
    }
    cleanup_.emplace(temp_, fd_);
    return true;
}

bool TempOutput::write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const auto n = ::write(fd_, bytes.data() + done, static_cast<unsigned>(bytes.size() - done));
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
    cleanup_.reset();
    if (::close(fd) != 0 || !os::replaceFile(temp_, target_)) {
        error_ = errno;
        return false;
    }
    temp_.clear();
    return true;
}

void TempOutput::discard() {
    cleanup_.reset();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return std::filesystem::equivalent(os::pathOf(a), os::pathOf(b), ec);
}

}  // namespace kvx::cli
