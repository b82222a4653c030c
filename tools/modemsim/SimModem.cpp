#include "modemsim/SimModem.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <system_error>
#include <thread>

namespace kvx::modemsim {

namespace {

using Clock = std::chrono::steady_clock;

// Output queued ahead of the terminal: large enough for big writes, small enough that a
// logging stop ends the stream promptly.
constexpr size_t kHighWater = 16 * 1024;
constexpr size_t kReadChunk = 4096;
// Distinct requests remembered for the answer-after fault; a flood of garbage forgets.
constexpr size_t kMaxRemembered = 4096;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

int64_t ns(Millis m) { return std::chrono::duration_cast<std::chrono::nanoseconds>(m).count(); }

uint32_t shareToThreshold(double share) {
    if (!(share > 0.0)) return 0;
    if (share >= 1.0) return UINT32_MAX;
    return static_cast<uint32_t>(std::ldexp(share, 32));
}

// Points `link` at `target`, replacing whatever the name held, in one rename.
bool relink(const std::string& link, const std::string& target) {
    const std::string tmp = link + ".new" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0) return false;
    if (::rename(tmp.c_str(), link.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void removeLink(const std::string& link) {
    struct stat st{};
    if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(link.c_str());
}

}  // namespace

SimModem::SimModem(Config config)
    : config_(std::move(config)),
      model_(config_.profile),
      dload_(config_.download.regions),
      faultRng_(config_.faultSeed | 1),
      silent_(config_.silent),
      answerAfter_(config_.answerAfter),
      corruptThreshold_(shareToThreshold(config_.corruptShare)),
      rate_(config_.packetsPerSecond),
      comeBackAfterNs_(ns(config_.comeBackAfter)) {
    model_.setReplay(config_.replay.get());
    // The wake-up pipe lives as long as the object, so setters never race with stop().
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead_ = fds[0];
        wakeWrite_ = fds[1];
    } else {
        pipeErrno_ = errno;
    }
}

SimModem::~SimModem() {
    stop();
    if (wakeRead_ >= 0) ::close(wakeRead_);
    if (wakeWrite_ >= 0) ::close(wakeWrite_);
}

StartStatus SimModem::start() {
    StartStatus st;
    if (running_.load()) {
        st.error = StartError::AlreadyRunning;
        return st;
    }
    if (wakeRead_ < 0) {
        st = {StartError::Thread, pipeErrno_};
        return st;
    }
    stopRequested_ = false;
    if (!plugIn(st)) return st;
    const int64_t t0 = nowNs();
    if (config_.silentAfter.count() > 0) silentAtNs_ = t0 + ns(config_.silentAfter);
    dropAtNs_ = config_.dropAfter.count() > 0 ? t0 + ns(config_.dropAfter) : 0;
    comeBackAtNs_ = 0;
    {
        std::lock_guard lk(ctlMutex_);
        wantPresent_ = true;
        ctlIssued_ = ctlHandled_ = 0;
    }
    running_ = true;
    try {
        thread_ = std::thread([this] { serve(); });
    } catch (const std::system_error& e) {
        running_ = false;
        unplug(false);
        st = {StartError::Thread, e.code().value()};
    }
    return st;
}

void SimModem::stop() {
    if (!running_.load()) return;
    stopRequested_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
    if (present_.load()) unplug(false);
    uint8_t sink[64];
    while (::read(wakeRead_, sink, sizeof sink) > 0) {
    }
    {
        std::lock_guard lk(ctlMutex_);
        ctlHandled_ = ctlIssued_;
    }
    ctlDone_.notify_all();
    running_ = false;
}

std::string SimModem::path() const {
    std::lock_guard lk(pathMutex_);
    return path_;
}

void SimModem::wake() const {
    if (wakeWrite_ < 0) return;
    const uint8_t b = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeWrite_, &b, 1);  // a full pipe is already awake
}

void SimModem::setSilent(bool silent) {
    silent_ = silent;
    if (!silent) silentAtNs_ = 0;
    wake();
}

void SimModem::goSilentAfter(Millis delay) {
    silentAtNs_ = delay.count() > 0 ? nowNs() + ns(delay) : 0;
    wake();
}

void SimModem::setAnswerAfter(uint32_t tries) { answerAfter_ = tries; }

void SimModem::setCorruptShare(double share) { corruptThreshold_ = shareToThreshold(share); }

void SimModem::setPacketsPerSecond(uint32_t rate) {
    rate_ = rate;
    wake();
}

void SimModem::setComeBackAfter(Millis delay) { comeBackAfterNs_ = ns(delay); }

bool SimModem::setPresence(bool present) {
    std::unique_lock lk(ctlMutex_);
    if (!running_.load()) return false;
    wantPresent_ = present;
    const uint64_t ticket = ++ctlIssued_;
    wake();
    ctlDone_.wait_for(lk, std::chrono::seconds(5), [&] { return ctlHandled_ >= ticket; });
    return present_.load() == present;
}

bool SimModem::dropOff() { return setPresence(false); }
bool SimModem::comeBack() { return setPresence(true); }

SimCounters SimModem::counters() const {
    SimCounters c;
    c.packetsSent = packetsSent_.load();
    c.logPacketsSent = logSent_.load();
    c.eventPacketsSent = eventSent_.load();
    c.messagePacketsSent = messageSent_.load();
    c.repliesSent = repliesSent_.load();
    c.bytesSent = bytesSent_.load();
    c.lastSequence = lastSequence_.load();
    c.requestsReceived = requestsReceived_.load();
    c.badRequests = badRequests_.load();
    c.drops = drops_.load();
    return c;
}

std::vector<ReceivedRequest> SimModem::requests() const {
    std::lock_guard lk(logMutex_);
    return log_;
}

size_t SimModem::requestCount() const {
    std::lock_guard lk(logMutex_);
    return log_.size();
}

void SimModem::clearRequests() {
    std::lock_guard lk(logMutex_);
    log_.clear();
}

bool SimModem::waitForRequests(size_t count, Millis timeout) const {
    std::unique_lock lk(logMutex_);
    return logCv_.wait_for(lk, timeout, [&] { return log_.size() >= count; });
}

// ---------------------------------------------------------------------------------------
// Terminal and presence (serving thread, or the owner before/after it runs)

bool SimModem::openTerminal(StartStatus& st) {
    auto fail = [&](int err) {
        st = {StartError::Terminal, err};
        closeTerminal();
        return false;
    };
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return fail(errno);
    char name[128];
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || ::ptsname_r(master_, name, sizeof name) != 0)
        return fail(errno);
    slaveHold_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveHold_ < 0) return fail(errno);
    // Raw on the slave: no line discipline may touch 0x7E, 0x7D, CR or LF, and nothing is
    // echoed back to the modem.
    termios t{};
    if (::tcgetattr(slaveHold_, &t) != 0) return fail(errno);
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B115200);
    ::cfsetospeed(&t, B115200);
    if (::tcsetattr(slaveHold_, TCSANOW, &t) != 0) return fail(errno);
    const int flags = ::fcntl(master_, F_GETFL);
    if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) return fail(errno);
    std::lock_guard lk(pathMutex_);
    path_ = name;
    return true;
}

void SimModem::closeTerminal() {
    if (master_ >= 0) ::close(master_);
    if (slaveHold_ >= 0) ::close(slaveHold_);
    master_ = slaveHold_ = -1;
    std::lock_guard lk(pathMutex_);
    path_.clear();
}

bool SimModem::plugIn(StartStatus& st) {
    if (!openTerminal(st)) return false;
    const std::string p = path();
    if (!config_.linkPath.empty() && !relink(config_.linkPath, p)) {
        st = {StartError::Link, errno};
        closeTerminal();
        return false;
    }
    if (config_.sysfs.tree) {
        FakeUsbPort port = config_.sysfs.port;
        port.target = p;
        if (!config_.sysfs.tree->add(port)) {
            st = {StartError::Sysfs, errno};
            if (!config_.linkPath.empty()) removeLink(config_.linkPath);
            closeTerminal();
            return false;
        }
    }
    present_ = true;
    return true;
}

void SimModem::unplug(bool countDrop) {
    closeTerminal();
    if (!config_.linkPath.empty()) removeLink(config_.linkPath);
    if (config_.sysfs.tree) config_.sysfs.tree->remove(config_.sysfs.port.tty);
    present_ = false;
    // A power cycle: whatever was queued is lost, and the modem wakes up knowing nothing.
    discardAllQueued();
    queuedTotal_ = writtenTotal_ = 0;
    deframer_.reset();
    tries_.clear();
    model_.reset();
    logging_ = false;
    nextDue_ = {};
    if (countDrop) {
        ++drops_;
        const int64_t back = comeBackAfterNs_.load();
        comeBackAtNs_ = back > 0 ? nowNs() + back : 0;
    }
}

// ---------------------------------------------------------------------------------------
// Serving

bool SimModem::silentNow(Clock::time_point now) const {
    if (silent_.load()) return true;
    const int64_t at = silentAtNs_.load();
    return at != 0 &&
           std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count() >= at;
}

void SimModem::queueFrame(std::span<const uint8_t> payload, uint8_t kind, uint32_t sequence) {
    const size_t start = out_.size();
    const size_t n = appendFrame(out_, payload);
    const uint32_t threshold = corruptThreshold_.load(std::memory_order_relaxed);
    if (threshold != 0) {
        for (size_t i = start; i < out_.size(); ++i) {
            faultRng_ ^= faultRng_ << 13;
            faultRng_ ^= faultRng_ >> 7;
            faultRng_ ^= faultRng_ << 17;
            if (static_cast<uint32_t>(faultRng_) < threshold)
                out_[i] ^= static_cast<uint8_t>(1u << ((faultRng_ >> 32) % 8));
        }
    }
    queuedTotal_ += n;
    pending_.push_back({queuedTotal_, sequence, kind});
}

void SimModem::fillStream(Clock::time_point now) {
    if (!model_.streaming()) {
        nextDue_ = {};
        return;
    }
    StreamKind kind;
    uint32_t seq = 0;
    const uint32_t rate = rate_.load();
    if (rate == 0) {
        while (out_.size() - outOff_ < kHighWater && model_.nextStreamPacket(scratch_, kind, seq))
            queueFrame(scratch_, static_cast<uint8_t>(kind), seq);
        return;
    }
    const auto period = std::chrono::nanoseconds(1000000000LL / rate);
    // No burst to catch up after a stall (host not reading, silence, a new start).
    if (nextDue_ == Clock::time_point{} || now - nextDue_ > std::chrono::seconds(1)) nextDue_ = now;
    while (now >= nextDue_ && out_.size() - outOff_ < kHighWater) {
        if (!model_.nextStreamPacket(scratch_, kind, seq)) break;
        queueFrame(scratch_, static_cast<uint8_t>(kind), seq);
        nextDue_ += period;
    }
}

void SimModem::sent(size_t n) {
    outOff_ += n;
    writtenTotal_ += n;
    bytesSent_ += n;
}

void SimModem::writeOut() {
    while (master_ >= 0 && outOff_ < out_.size()) {
        const ssize_t n = ::write(master_, out_.data() + outOff_, out_.size() - outOff_);
        if (n > 0) {
            sent(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;  // EAGAIN: the terminal is full; anything else: the next poll tells
    }
    while (pendingHead_ < pending_.size() && pending_[pendingHead_].end <= writtenTotal_) {
        const Pending& p = pending_[pendingHead_++];
        switch (p.kind) {
            case static_cast<uint8_t>(StreamKind::Log):
                ++logSent_;
                if (p.sequence != 0) lastSequence_ = p.sequence;
                ++packetsSent_;
                break;
            case static_cast<uint8_t>(StreamKind::Event):
                ++eventSent_;
                ++packetsSent_;
                break;
            case static_cast<uint8_t>(StreamKind::Message):
                ++messageSent_;
                ++packetsSent_;
                break;
            default:
                ++repliesSent_;
        }
    }
    if (outOff_ == out_.size()) {
        out_.clear();
        outOff_ = 0;
    } else if (outOff_ > 256 * 1024) {
        out_.erase(out_.begin(), out_.begin() + static_cast<ptrdiff_t>(outOff_));
        outOff_ = 0;
    }
    if (pendingHead_ == pending_.size()) {
        pending_.clear();
        pendingHead_ = 0;
    } else if (pendingHead_ > 4096) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(pendingHead_));
        pendingHead_ = 0;
    }
}

void SimModem::discardAllQueued() {
    out_.clear();
    outOff_ = 0;
    pending_.clear();
    pendingHead_ = 0;
    queuedTotal_ = writtenTotal_;
    model_.rewindSequence(lastSequence_.load());
}

void SimModem::discardQueuedStream() {
    // A modem stops making packets at once; only what is already on its way (the frame
    // being written, and replies) still goes out. Frames are contiguous in out_, each
    // ending at its pending entry's end.
    if (pendingHead_ >= pending_.size()) return;
    const uint64_t base = writtenTotal_ - outOff_;  // stream offset of out_[0]
    const Pending& current = pending_[pendingHead_];
    std::vector<uint8_t> kept(out_.begin() + static_cast<ptrdiff_t>(outOff_),
                              out_.begin() + static_cast<ptrdiff_t>(current.end - base));
    std::vector<Pending> keptPending{current};
    uint32_t lastSeq = std::max(lastSequence_.load(), current.sequence);
    for (size_t i = pendingHead_ + 1; i < pending_.size(); ++i) {
        if (pending_[i].kind != 3) continue;
        const uint64_t from = pending_[i - 1].end - base;
        const uint64_t to = pending_[i].end - base;
        kept.insert(kept.end(), out_.begin() + static_cast<ptrdiff_t>(from), out_.begin() + static_cast<ptrdiff_t>(to));
        keptPending.push_back({writtenTotal_ + kept.size(), 0, 3});
    }
    out_ = std::move(kept);
    outOff_ = 0;
    pending_ = std::move(keptPending);
    pendingHead_ = 0;
    queuedTotal_ = writtenTotal_ + out_.size();
    model_.rewindSequence(lastSeq);
}

void SimModem::onFrame(std::span<const uint8_t> payload, bool crcOk) {
    ++requestsReceived_;
    if (!crcOk) ++badRequests_;
    ReceivedRequest rr;
    rr.payload.assign(payload.begin(), payload.end());
    rr.crcOk = crcOk;
    rr.when = Clock::now();
    // A hung modem still receives (the request log shows it) but does nothing.
    if (crcOk && !silentNow(rr.when)) {
        if (tries_.size() >= kMaxRemembered) tries_.clear();
        const uint32_t tries = ++tries_[rr.payload];
        // In download mode only the wake-up is slow: the modem acknowledges the Nth
        // no-operation and answers everything after at once.
        const bool slowRequest = !config_.download.on || (!payload.empty() && payload[0] == 0x06);
        const bool answer = !slowRequest || tries >= answerAfter_.load();
        replies_.clear();
        if (config_.download.on) {
            rr.effect = dload_.handle(payload, answer, replies_);
            resets_ = dload_.resets();
            queueDownloadReplies();
        } else {
            const bool wasStreaming = model_.streaming();
            rr.effect = model_.handle(payload, answer, replies_);
            if (wasStreaming && !model_.streaming()) discardQueuedStream();
            for (const auto& r : replies_) queueFrame(r, 3, 0);
            // A plain chipset has no logging switch: it logs while its masks enable something.
            logging_ = model_.profile().streamStart == StreamStart::Masks ? model_.streaming()
                                                                           : model_.loggingOn();
        }
    }
    {
        std::lock_guard lk(logMutex_);
        // A modem serving for days keeps the most recent requests only.
        if (log_.size() >= config_.requestLogLimit && config_.requestLogLimit > 0)
            log_.erase(log_.begin(), log_.begin() + static_cast<ptrdiff_t>(log_.size() / 2));
        log_.push_back(std::move(rr));
    }
    logCv_.notify_all();
}

void SimModem::queueDownloadReplies() {
    const auto& d = config_.download;
    for (const auto& r : replies_) {
        const size_t start = out_.size();
        queueFrame(r, 3, 0);
        if (r.empty() || r[0] != 0x13) continue;
        ++readReplies_;
        if (readReplies_ == d.corruptRead) {
            // One bit of a byte amid the frame, never turning a byte into or out of a flag or
            // an escape, so the frame keeps its length and fails only its CRC.
            for (size_t i = start + (out_.size() - start) / 2; i < out_.size(); ++i) {
                const uint8_t b = out_[i];
                if (b >= 0x7C && b <= 0x7F) continue;
                out_[i] = static_cast<uint8_t>(b ^ 0x01);
                break;
            }
        }
        if (!lateReply_.empty()) {
            queueFrame(lateReply_, 3, 0);
            lateReply_.clear();
        }
        if (readReplies_ == d.lateDuplicateRead) lateReply_ = r;
    }
    if (d.splitWrites > 1 && !replies_.empty()) writeSplit();
}

void SimModem::writeSplit() {
    // Whatever is queued goes out in pieces with pauses, as a slow USB link delivers it.
    const size_t total = out_.size() - outOff_;
    const size_t pieces = config_.download.splitWrites;
    const size_t piece = (total + pieces - 1) / pieces;
    while (master_ >= 0 && outOff_ < out_.size()) {
        const size_t end = std::min(out_.size(), outOff_ + std::max<size_t>(piece, 1));
        while (outOff_ < end) {
            const ssize_t n = ::write(master_, out_.data() + outOff_, end - outOff_);
            if (n > 0) {
                sent(static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return;
            pollfd p{master_, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0) return;  // the rest goes out with the serving loop
        }
        if (outOff_ < out_.size()) std::this_thread::sleep_for(config_.download.splitGap);
    }
    writeOut();  // counts what was written
}

void SimModem::serve() {
    std::vector<uint8_t> in(kReadChunk);
    while (!stopRequested_.load()) {
        // Plug requests from other threads.
        {
            std::lock_guard lk(ctlMutex_);
            if (ctlHandled_ != ctlIssued_) {
                if (!wantPresent_ && present_.load()) {
                    unplug(true);
                } else if (wantPresent_ && !present_.load()) {
                    StartStatus st;
                    comeBackAtNs_ = 0;
                    plugIn(st);
                }
                ctlHandled_ = ctlIssued_;
                ctlDone_.notify_all();
            }
        }
        const Clock::time_point now = Clock::now();
        const int64_t tNow = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
        if (dropAtNs_ != 0 && tNow >= dropAtNs_) {
            dropAtNs_ = 0;
            if (present_.load()) unplug(true);
        }
        if (comeBackAtNs_ != 0 && tNow >= comeBackAtNs_) {
            comeBackAtNs_ = 0;
            StartStatus st;
            if (!present_.load() && !plugIn(st)) comeBackAtNs_ = tNow + ns(Millis(1000));
        }
        const bool silent = silentNow(now);
        // A modem that hangs never finishes the frame it was sending.
        if (silent && !wasSilent_) discardAllQueued();
        wasSilent_ = silent;
        if (present_.load() && !silent) {
            fillStream(now);
            writeOut();
        }

        // Sleep until something happens: a request, room in the terminal, a wake-up, or
        // the next timed event.
        int64_t deadline = INT64_MAX;
        auto consider = [&](int64_t t) {
            if (t != 0) deadline = std::min(deadline, t);
        };
        consider(dropAtNs_);
        consider(comeBackAtNs_);
        if (!silent) consider(silentAtNs_.load());
        // Unpaced streaming wants to hear of every bit of room in the terminal, even with
        // nothing queued at this moment: room is when the next batch gets made.
        const bool wantRoom = outOff_ < out_.size() || (present_.load() && rate_.load() == 0 && model_.streaming());
        if (present_.load() && !silent && rate_.load() != 0 && nextDue_ != Clock::time_point{} &&
            out_.size() - outOff_ < kHighWater)
            consider(std::chrono::duration_cast<std::chrono::nanoseconds>(nextDue_.time_since_epoch()).count());
        int timeoutMs = -1;
        if (deadline != INT64_MAX)
            timeoutMs = static_cast<int>(std::clamp<int64_t>((deadline - tNow + 999999) / 1000000, 0, 60000));

        pollfd fds[2];
        nfds_t nfds = 1;
        fds[0] = {wakeRead_, POLLIN, 0};
        if (master_ >= 0) {
            fds[1] = {master_, static_cast<short>(POLLIN | (wantRoom && !silent ? POLLOUT : 0)), 0};
            nfds = 2;
        }
        const int rc = ::poll(fds, nfds, timeoutMs);
        if (rc < 0 && errno != EINTR) break;
        if (rc <= 0) continue;
        if (fds[0].revents & POLLIN) {
            uint8_t sink[64];
            while (::read(wakeRead_, sink, sizeof sink) > 0) {
            }
        }
        if (nfds == 2 && (fds[1].revents & POLLIN)) {
            for (;;) {
                const ssize_t n = ::read(master_, in.data(), in.size());
                if (n <= 0) break;
                deframer_.feed(std::span<const uint8_t>(in.data(), static_cast<size_t>(n)),
                               [&](const DeframedRequest& f) { onFrame(f.payload(), f.crcOk); });
            }
        }
        if (nfds == 2 && (fds[1].revents & POLLOUT) && !silentNow(Clock::now())) writeOut();
    }
}

}  // namespace kvx::modemsim
