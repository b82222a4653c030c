// A pseudo-terminal pair for serial tests: the test plays the modem on the master side, the
// code under test opens the slave path as its serial port.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kvx::test {

class PtyPair {
  public:
    PtyPair() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        const char* name = ::ptsname(master_);
        if (name != nullptr) path_ = name;
        termios tio{};
        if (::tcgetattr(master_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(master_, TCSANOW, &tio);
        }
    }
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0 && !path_.empty(); }
    const std::string& slavePath() const { return path_; }
    int master() const { return master_; }

    bool send(const std::vector<uint8_t>& bytes) {
        return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // Whatever arrives from the port within `ms` milliseconds of silence.
    std::vector<uint8_t> receive(int ms = 200) {
        std::vector<uint8_t> got;
        for (;;) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, ms) <= 0 || (p.revents & POLLIN) == 0) break;
            uint8_t buf[512];
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
    // Unplugs the far end: the slave side sees a hang-up.
    void closeMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

  private:
    int master_ = -1;
    std::string path_;
};

inline int64_t msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t)
        .count();
}

}  // namespace kvx::test
