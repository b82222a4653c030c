// The host's end of a simulated modem for tests: plain open/read/write on the terminal,
// frames built with the engine's builder and cut with an independent small deframer.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "dm/Crc16.h"
#include "dm/Frame.h"

namespace kvx::modemsim::test {

struct HostFrame {
    std::vector<uint8_t> payload;  // without CRC
    bool crcOk = false;
};

class HostLink {
public:
    explicit HostLink(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fd_ >= 0) {
            termios t{};
            ::tcgetattr(fd_, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~HostLink() {
        if (fd_ >= 0) ::close(fd_);
    }
    HostLink(const HostLink&) = delete;
    HostLink& operator=(const HostLink&) = delete;

    bool ok() const { return fd_ >= 0; }
    bool hungUp() const { return hungUp_; }

    bool send(std::vector<uint8_t> payload) {
        auto frame = dm::buildFrame(payload);
        return sendRaw(frame);
    }
    bool sendRaw(std::span<const uint8_t> bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 100);
            } else {
                return false;
            }
        }
        return true;
    }

    // Reads for `ms` milliseconds (or until `stopAfter` frames arrived); returns raw bytes.
    std::vector<uint8_t> readFor(int ms, size_t stopAfterFrames = SIZE_MAX) {
        std::vector<uint8_t> got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        uint8_t buf[65536];
        size_t flags = 0;
        while (std::chrono::steady_clock::now() < end && flags < stopAfterFrames) {
            pollfd p{fd_, POLLIN, 0};
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            end - std::chrono::steady_clock::now())
                                            .count());
            if (::poll(&p, 1, left < 1 ? 1 : left) <= 0) continue;
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                got.insert(got.end(), buf, buf + n);
                for (ssize_t i = 0; i < n; ++i) flags += buf[i] == 0x7E;
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                hungUp_ = true;
                break;
            }
        }
        return got;
    }

    // Frames of the bytes read in `ms` milliseconds (a partial tail is kept for the next call).
    std::vector<HostFrame> frames(int ms, size_t stopAfterFrames = SIZE_MAX) {
        auto bytes = readFor(ms, stopAfterFrames);
        return cut(bytes);
    }

    std::vector<HostFrame> cut(std::span<const uint8_t> bytes) {
        std::vector<HostFrame> out;
        for (uint8_t b : bytes) {
            if (b == 0x7E) {
                HostFrame f;
                f.crcOk = cur_.size() >= 3 && static_cast<uint16_t>(~dm::crc16Update(0xFFFF, cur_.data(), cur_.size())) ==
                                                  dm::kCrcGoodResult;
                if (cur_.size() >= 2) cur_.resize(cur_.size() - 2);
                f.payload = std::move(cur_);
                out.push_back(std::move(f));
                cur_.clear();
                esc_ = false;
            } else if (b == 0x7D && !esc_) {
                esc_ = true;
            } else {
                cur_.push_back(esc_ ? static_cast<uint8_t>(b ^ 0x20) : b);
                esc_ = false;
            }
        }
        return out;
    }

    // Sends `payload` and returns the first reply frame beginning with `command`, if any
    // arrives within `ms`.
    std::vector<uint8_t> ask(std::vector<uint8_t> payload, uint8_t command, int ms = 2000) {
        if (!send(std::move(payload))) return {};
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            for (auto& f : frames(50))
                if (f.crcOk && !f.payload.empty() && f.payload[0] == command) return f.payload;
        }
        return {};
    }

private:
    int fd_ = -1;
    bool hungUp_ = false;
    std::vector<uint8_t> cur_;
    bool esc_ = false;
};

}  // namespace kvx::modemsim::test
