// The POSIX serial port: termios for the line settings, poll() for bounded reads and writes,
// an eventfd to wake a blocked read. The only unit that includes <termios.h>.
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "serial/Port.h"

namespace kvx::serial {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Gap after the first byte that ends a read, and the time-out constants (per byte, fixed).
constexpr int kIntervalMs = 10;
constexpr int kReadFixedMs = 50;
constexpr int kWriteFixedMs = 50;
constexpr int kWritePerByteMs = 10;
// Most bytes taken from the line at once: a streaming modem is read in large batches, a few
// system calls and wake-ups per batch rather than per engine chunk.
constexpr size_t kReadAhead = 64 * 1024;
// What the terminal's line discipline holds for a reader (N_TTY_BUF_SIZE, of which it keeps a
// byte free). A read that brought half of it or more may have found the line full, with more
// waiting in the driver behind it.
constexpr size_t kLineBuffer = 4096;
// How long a drain waits for the driver to pass on what it holds behind a full line.
constexpr int kDrainWaitMs = 1;

// The Windows communications error flags the diagnostics report (CE_*), so a log of
// "Read error %d!" lines reads the same on both systems.
constexpr int kErrOverrun = 0x0002;
constexpr int kErrParity = 0x0004;
constexpr int kErrFrame = 0x0008;
constexpr int kErrBreak = 0x0010;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    // Round up so a poll never returns a hair before the deadline and loops once more.
    return static_cast<int>(left) + 1;
}

class PosixPort final : public Port {
  public:
    PosixPort(int fd, int wakeFd, std::string path)
        : fd_(fd), wakeFd_(wakeFd), path_(std::move(path)) {
        serial_icounter_struct counts{};
        haveCounts_ = ::ioctl(fd_, TIOCGICOUNT, &counts) == 0;
        if (haveCounts_) lastCounts_ = counts;
    }

    ~PosixPort() override {
        ::close(fd_);
        ::close(wakeFd_);
    }

    size_t read(std::span<uint8_t> buffer) override {
        // Bytes read ahead by an earlier read come first, without a system call.
        size_t got = take(buffer, 0);
        if (got == buffer.size()) return got;

        const auto start = Clock::now();
        const auto deadline =
            start + milliseconds(static_cast<int64_t>(buffer.size()) + kReadFixedMs);

        if (got == 0 && dead_.load()) return waitOut(deadline);
        if (int flags = lineErrors(); flags != 0) {
            std::printf("Read error %d!\n", flags);
            std::fflush(stdout);
            return got;
        }

        while (got < buffer.size() && !dead_.load()) {
            int timeout = remainingMs(deadline);
            if (got == 0) {
                // Nothing yet: wait on the line for the first bytes.
                if (timeout == 0) break;
                pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
                int rc = ::poll(fds, 2, timeout);
                if (rc < 0) {
                    if (errno == EINTR) continue;
                    report(errno);
                    break;
                }
                if (rc == 0) break;  // total time-out
                if ((fds[1].revents & POLLIN) != 0) {
                    consumeWake();
                    break;
                }
                if ((fds[0].revents & POLLIN) != 0) {
                    fill();
                    got = take(buffer, got);
                    continue;
                }
                if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) markDead(EIO);
                break;
            }
            // Bytes in hand: rather than wake for every write of the far end, let the line
            // collect for up to the interval and take all of it at once. A window that brought
            // nothing is the interval's gap, which ends the read as before.
            timeout = std::min(timeout, batchMs_);
            if (timeout == 0) break;
            pollfd wake{wakeFd_, POLLIN, 0};
            int rc = ::poll(&wake, 1, timeout);
            if (rc < 0 && errno == EINTR) continue;
            if (rc > 0) {
                consumeWake();
                break;
            }
            const size_t came = drain();
            // A window that brought several line buffers may have held the writer (or the USB
            // device) back before it was drained: the next one is shorter, so the line never
            // backs up for long; a quiet one grows back towards the interval.
            if (came >= kLineBuffer * 4) {
                batchMs_ = std::max(1, batchMs_ / 2);
            } else if (came < kLineBuffer * 2) {
                batchMs_ = std::min(kIntervalMs, batchMs_ + 1);
            }
            if (came == 0) break;
            got = take(buffer, got);
        }
        if (got == 0 && dead_.load()) return waitOut(deadline);
        return got;
    }

    size_t buffered() const override { return aheadEnd_ - aheadBegin_; }

    bool write(std::span<const uint8_t> bytes) override {
        // A device that hung up stays gone: said once when it went, not at every write.
        if (dead_.load()) return false;
        // Drop whatever an earlier, timed-out write left unsent; unread input stays for the
        // reader. Only when something is queued: on a pseudo-terminal the purge would also
        // discard bytes already handed to the other side but not yet taken in by it.
        if (int queued = 0; ::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued > 0)
            ::tcflush(fd_, TCOFLUSH);
        const auto deadline =
            Clock::now() +
            milliseconds(static_cast<int64_t>(bytes.size()) * kWritePerByteMs + kWriteFixedMs);
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) {
                if (errno == EIO) markDead(errno);
                return writeFailed(errno);
            }
            int timeout = remainingMs(deadline);
            if (timeout == 0) return writeFailed(ETIMEDOUT);
            pollfd fds{fd_, POLLOUT, 0};
            int rc = ::poll(&fds, 1, timeout);
            if (rc < 0 && errno != EINTR) return writeFailed(errno);
            if (rc > 0 && (fds.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
                (fds.revents & POLLOUT) == 0) {
                markDead(EIO);
                return writeFailed(EIO);
            }
        }
        return drain(deadline);
    }

    void wake() override {
        uint64_t one = 1;
        // The counter only grows; a failed write means it is already huge, which wakes too.
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }

    bool dead() const override { return dead_.load(); }
    const std::string& path() const override { return path_; }

  private:
    // Waits, within the write's time-out, until the driver has sent everything. A write
    // returns only then (as a synchronous Windows write does), so the purge at the start of
    // the next write discards only what a timed-out write left behind, never a good frame
    // still on its way.
    bool drain(Clock::time_point deadline) {
        constexpr auto kDrainPoll = milliseconds(1);
        for (;;) {
            int queued = 0;
            if (::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) return true;
            if (Clock::now() >= deadline) return writeFailed(ETIMEDOUT);
            std::this_thread::sleep_for(kDrainPoll);
        }
    }

    // Moves read-ahead bytes into buffer[from...]; returns the new count in the buffer.
    size_t take(std::span<uint8_t> buffer, size_t from) {
        const size_t n = std::min(buffer.size() - from, aheadEnd_ - aheadBegin_);
        if (n > 0) std::memcpy(buffer.data() + from, ahead_.data() + aheadBegin_, n);
        aheadBegin_ += n;
        if (aheadBegin_ == aheadEnd_) aheadBegin_ = aheadEnd_ = 0;
        return from + n;
    }

    // Takes what the line holds, and what the driver holds behind it: while a read finds the
    // line (nearly) full, the driver passes on more within moments, so the next read follows
    // at once (after waiting at most kDrainWaitMs for it) instead of after another window. One
    // wake-up thus empties a backed-up line; returns the count taken.
    size_t drain() {
        size_t took = 0;
        for (;;) {
            const size_t n = fill(true);
            took += n;
            if (n < kLineBuffer / 2 || aheadEnd_ == ahead_.size() || dead_.load()) return took;
            pollfd fds{fd_, POLLIN, 0};
            if (::poll(&fds, 1, kDrainWaitMs) <= 0 || (fds.revents & POLLIN) == 0) return took;
        }
    }

    // Takes whatever the line holds now into the read-ahead buffer, without waiting; returns
    // the count taken. With `once`, one read only: it takes all the line holds, and a second
    // one would mostly find the line empty. A hang-up marks the port dead.
    size_t fill(bool once = false) {
        if (ahead_.empty()) ahead_.resize(kReadAhead);
        if (aheadBegin_ > 0) {
            std::memmove(ahead_.data(), ahead_.data() + aheadBegin_, aheadEnd_ - aheadBegin_);
            aheadEnd_ -= aheadBegin_;
            aheadBegin_ = 0;
        }
        size_t took = 0;
        while (aheadEnd_ < ahead_.size()) {
            const ssize_t n = ::read(fd_, ahead_.data() + aheadEnd_, ahead_.size() - aheadEnd_);
            if (n > 0) {
                aheadEnd_ += static_cast<size_t>(n);
                took += static_cast<size_t>(n);
                if (once) break;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            // With VMIN 1 an empty line says EAGAIN; 0 is a hang-up.
            markDead(n == 0 ? EIO : errno);
            break;
        }
        return took;
    }

    // A read on a dead device waits for its deadline or a wake-up so callers never spin.
    size_t waitOut(Clock::time_point deadline) {
        for (;;) {
            int timeout = remainingMs(deadline);
            if (timeout == 0) return 0;
            pollfd fds{wakeFd_, POLLIN, 0};
            int rc = ::poll(&fds, 1, timeout);
            if (rc < 0 && errno == EINTR) continue;
            if (rc > 0) consumeWake();
            return 0;
        }
    }

    void consumeWake() {
        uint64_t value = 0;
        [[maybe_unused]] ssize_t n = ::read(wakeFd_, &value, sizeof value);
    }

    // Line errors since the last read, as CE_* flags; 0 where the driver keeps no counts
    // (pseudo-terminals, some USB adapters).
    int lineErrors() {
        if (!haveCounts_) return 0;
        serial_icounter_struct now{};
        if (::ioctl(fd_, TIOCGICOUNT, &now) != 0) return 0;
        int flags = 0;
        if (now.overrun != lastCounts_.overrun || now.buf_overrun != lastCounts_.buf_overrun)
            flags |= kErrOverrun;
        if (now.parity != lastCounts_.parity) flags |= kErrParity;
        if (now.frame != lastCounts_.frame) flags |= kErrFrame;
        if (now.brk != lastCounts_.brk) flags |= kErrBreak;
        lastCounts_ = now;
        return flags;
    }

    void report(int err) {
        std::printf("Read error %d!\n", err);
        std::fflush(stdout);
    }

    void markDead(int err) {
        if (!dead_.exchange(true)) report(err);
    }

    bool writeFailed(int err) {
        std::printf("Could not write data (%d)!\n", err);
        std::fflush(stdout);
        return false;
    }

    const int fd_;
    const int wakeFd_;
    const std::string path_;
    std::atomic<bool> dead_{false};
    // Touched by read() only (the one reading thread).
    std::vector<uint8_t> ahead_;  // read-ahead: bytes taken from the line beyond a request
    size_t aheadBegin_ = 0, aheadEnd_ = 0;
    int batchMs_ = kIntervalMs;
    bool haveCounts_ = false;
    serial_icounter_struct lastCounts_{};
};

OpenError classify(int err) {
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return OpenError::NotFound;
        case EACCES:
        case EPERM:
            return OpenError::PermissionDenied;
        case EBUSY:
        case EWOULDBLOCK:
            return OpenError::Busy;
        case ENOTTY:
            return OpenError::NotATerminal;
        default:
            return OpenError::Other;
    }
}

void configure(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // Reads never block (O_NONBLOCK); VMIN 1 makes an empty line answer EAGAIN, so a read
    // that returns 0 always means the device hung up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    // As on Windows, a port whose settings cannot be applied still counts as opened.
    ::tcsetattr(fd, TCSANOW, &tio);
}

// The name of the group that owns the device node; "" when it cannot be told.
std::string deviceGroup(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return {};
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return {};
    return found->gr_name;
}

// Fills in what the user needs to fix a refused open.
void explain(OpenStatus& st) {
    if (st.error == OpenError::PermissionDenied) {
        st.group = deviceGroup(st.path);
    } else if (st.error == OpenError::Busy) {
        const int self = static_cast<int>(::getpid());
        for (auto& h : portHolders(st.path))
            if (h.pid != self) st.holders.push_back(std::move(h));
        st.modemManager = modemManagerRunning();
    }
}

bool heldByModemManager(const std::vector<PortHolder>& holders) {
    return std::any_of(holders.begin(), holders.end(),
                       [](const PortHolder& h) { return h.name == kModemManager; });
}

const char* const kModemManagerFix =
    "ModemManager opens the diagnostics ports of Qualcomm modems: install the udev rule "
    "60-kvxlogplus.rules of KvxLog Plus (then unplug and replug the modem) so that it leaves "
    "the port alone, or stop it for now with: sudo systemctl stop ModemManager";

}  // namespace

std::string describe(const OpenStatus& status) {
    const std::string& p = status.path;
    switch (status.error) {
        case OpenError::None:
            return "Opened " + p;
        case OpenError::NotFound:
            if (p.empty()) return "Couldn't locate the device";
            return "No serial port " + p + " (is the modem plugged in?)";
        case OpenError::PermissionDenied: {
            // A node only root may use has no group to join: the udev rule gives it to dialout.
            if (status.group.empty() || status.group == "root")
                return "Permission denied opening " + p +
                       ": install the udev rule 60-kvxlogplus.rules of KvxLog Plus (then unplug "
                       "and replug the modem), which gives the port to the group dialout, and "
                       "join that group: sudo usermod -aG dialout $USER (then log out and in "
                       "again)";
            return "Permission denied opening " + p + ": the port belongs to the group " +
                   status.group + "; join it with: sudo usermod -aG " + status.group +
                   " $USER (then log out and in again)";
        }
        case OpenError::Busy: {
            std::string text = p + " is in use by another program";
            for (size_t i = 0; i < status.holders.size(); ++i)
                text += (i == 0 ? ": " : ", ") + status.holders[i].name + " (pid " +
                        std::to_string(status.holders[i].pid) + ")";
            if (heldByModemManager(status.holders)) return text + ". " + kModemManagerFix;
            if (status.holders.empty() && status.modemManager)
                return text + ". ModemManager is running and may be the one. " + kModemManagerFix;
            if (status.holders.empty())
                return text + " (close it, for example a terminal program, and try again)";
            return text + " (close it and try again)";
        }
        case OpenError::NotATerminal:
            return p + " is not a serial port";
        case OpenError::Other:
            break;
    }
    return "Could not open " + p + ": " + std::strerror(status.sysErrno);
}

std::unique_ptr<Port> openport(std::string_view name, OpenStatus* status,
                               size_t /*queueBytes: Linux drivers size their own*/) {
    OpenStatus local;
    OpenStatus& st = status != nullptr ? *status : local;
    st = OpenStatus{};
    st.path = portPath(name);
    auto fail = [&](int err, int fd) -> std::unique_ptr<Port> {
        if (fd >= 0) ::close(fd);
        st.error = classify(err);
        st.sysErrno = err;
        explain(st);
        return nullptr;
    };
    if (st.path.empty()) return fail(ENOENT, -1);

    int fd = ::open(st.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(errno, -1);
    if (::isatty(fd) == 0) return fail(ENOTTY, fd);
    // TIOCEXCL keeps other openers out (root excepted); the advisory lock also keeps out a
    // second copy of this program running as root.
    if (::ioctl(fd, TIOCEXCL) != 0) return fail(errno, fd);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno, fd);
    // Root gets past TIOCEXCL: a port ModemManager has open would still open, and its probes
    // would land in the capture. Refuse it as the busy port it is.
    if (modemManagerRunning() && heldByModemManager(portHolders(st.path))) return fail(EBUSY, fd);
    configure(fd);
    int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) return fail(errno, fd);
    return std::make_unique<PosixPort>(fd, wakeFd, st.path);
}

size_t readport(Port& port, uint8_t* buffer) {
    return port.read(std::span<uint8_t>(buffer, kEngineReadSize));
}

void writeport(Port& port, const uint8_t* bytes, size_t count) {
    port.write(std::span<const uint8_t>(bytes, count));
}

}  // namespace kvx::serial
