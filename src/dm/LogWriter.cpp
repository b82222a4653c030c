#include "dm/LogWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "dm/ShortCopy.h"
#include "os/Files.h"
#include "os/Thread.h"

namespace kvx::dm {
namespace {
// Full blocks collected before one batch is enciphered and handed to the file. The batches
// are the same with or without helper threads, so the file sees the same write calls.
constexpr size_t kBatchBytes = 64 * 1024;
}  // namespace

LogWriter::LogWriter() { slots_[cur_].resize(kBatchBytes); }

LogWriter::~LogWriter() { closelog(); }

void LogWriter::setThreads(int n) {
    n = std::clamp(n, 1, static_cast<int>(kSlots));
    if (n == threads_) return;
    stopHelpers();
    threads_ = n;
}

void LogWriter::startHelpers() {
    ending_ = false;
    for (int i = 1; i < threads_; ++i) {
        helpers_.emplace_back([this] { helperLoop(); });
        // Named for top and perf.
        os::setThreadName(helpers_.back(), "kvx-cipher");
    }
}

void LogWriter::stopHelpers() {
    if (helpers_.empty()) return;
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    work_.notify_all();
    // A helper ends only when no batch is left to take; each writes what it took first.
    for (auto& t : helpers_) t.join();
    helpers_.clear();
    ending_ = false;
}

void LogWriter::helperLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [&] { return ending_ || taken_ < submitted_; });
        if (taken_ == submitted_) return;
        const uint64_t seq = taken_++;
        const Batch batch = queue_[seq % kSlots];
        lock.unlock();
        uint8_t* data = slots_[batch.slot].data();
        if (ok_.load()) logCipher().encryptBlocks(data, batch.count / 8);
        lock.lock();
        // Batches reach the file in the order they were appended.
        done_.wait(lock, [&] { return written_ == seq; });
        lock.unlock();
        writeOut(data, batch.count, batch.count);
        lock.lock();
        busy_[batch.slot] = false;
        ++written_;
        done_.notify_all();
    }
}

bool LogWriter::openlog(const std::string& path, bool exclusive) {
    if (isOpen()) closelog();
    stopHelpers();
    pendingCount_ = 0;
    outCount_ = 0;
    appended_ = fileBytes_ = 0;
    durable_ = 0;
    submitted_ = taken_ = written_ = 0;
    ok_ = true;
    error_ = 0;
    const int flags = O_WRONLY | O_CREAT | os::kOpenFlags | (exclusive ? O_EXCL : O_TRUNC);
    fd_ = ::open(path.c_str(), flags, 0666);
    if (fd_ < 0) {
        error_ = errno;
        return false;
    }
    return true;
}

void LogWriter::fail(int error) {
    if (!ok_.load()) return;
    // The reason first: whoever sees ok() false finds it.
    error_ = error != 0 ? error : EIO;
    ok_ = false;
    // The file keeps only the blocks that reached it whole, so every reader finds whole
    // blocks; a record cut by the failure is reported by the reader as the end of the log.
    if (fd_ >= 0 && !os::truncateFile(fd_, fileBytes_)) {
        // Nothing more can be done for this file; the first error is the one reported.
    }
}

bool LogWriter::writeOut(const uint8_t* bytes, size_t count, size_t plainCount) {
    if (!ok_.load() || fd_ < 0) return false;
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        const int error = n < 0 ? errno : EIO;
        // The whole blocks of a batch written in part stay; the cut one goes.
        if (plainCount == count) {
            const size_t whole = done / 8 * 8;
            fileBytes_ += whole;
            durable_ += whole;
        }
        fail(error);
        return false;
    }
    fileBytes_ += count;
    durable_ += plainCount;
    return true;
}

void LogWriter::queueBlock(const uint8_t* block) {
    std::memcpy(slots_[cur_].data() + outCount_, block, 8);
    outCount_ += 8;
    if (outCount_ == kBatchBytes) flush();
}

void LogWriter::append(const uint8_t* bytes, size_t count) {
    if (count == 0) return;
    appended_ += count;
    if (pendingCount_ + count > 8) {
        const size_t fill = 8 - pendingCount_;
        copyUpTo8(pending_.data() + pendingCount_, bytes, fill);
        queueBlock(pending_.data());
        pendingCount_ = 0;
        bytes += fill;
        count -= fill;
    }
    while (count >= 8) {
        queueBlock(bytes);
        bytes += 8;
        count -= 8;
    }
    copyUpTo8(pending_.data() + pendingCount_, bytes, count);
    pendingCount_ += count;
}

void LogWriter::flush() {
    if (outCount_ == 0) return;
    if (threads_ > 1 && ok_.load() && fd_ >= 0) {
        if (helpers_.empty()) startHelpers();
        std::unique_lock lock(mutex_);
        queue_[submitted_ % kSlots] = {cur_, outCount_};
        busy_[cur_] = true;
        ++submitted_;
        work_.notify_one();
        // The next batch needs a free buffer: at most kSlots - 1 are in flight.
        done_.wait(lock, [&] { return submitted_ - written_ < kSlots; });
        for (size_t i = 0; i < kSlots; ++i) {
            if (!busy_[i]) {
                cur_ = i;
                break;
            }
        }
        // Buffers are made as the ring first needs them (the lowest free one is taken): a
        // short log, or helpers that keep up, take few.
        if (slots_[cur_].empty()) slots_[cur_].resize(kBatchBytes);
        outCount_ = 0;
        return;
    }
    if (ok_.load() && fd_ >= 0) {
        uint8_t* data = slots_[cur_].data();
        logCipher().encryptBlocks(data, outCount_ / 8);
        writeOut(data, outCount_, outCount_);
    }
    outCount_ = 0;
}

bool LogWriter::writeblocks(FILE* file, const uint8_t* bytes, size_t count) {
    bool ok = true;
    while (count > 0) {
        uint8_t block[8] = {};
        const size_t take = count < 8 ? count : 8;
        std::memcpy(block, bytes, take);
        // A short block says in its last byte how many bytes it lacks.
        if (take < 8) block[7] = static_cast<uint8_t>(8 - take);
        logCipher().encryptBlocks(block, 1);
        if (file && std::fwrite(block, 1, 8, file) != 8) ok = false;
        bytes += take;
        count -= take;
    }
    return ok;
}

void LogWriter::closelog() {
    if (fd_ >= 0) {
        flush();
        stopHelpers();
        if (pendingCount_ > 0 && ok_.load()) {
            uint8_t block[8] = {};
            std::memcpy(block, pending_.data(), pendingCount_);
            // A short block says in its last byte how many bytes it lacks; a full one is as is.
            if (pendingCount_ < 8) block[7] = static_cast<uint8_t>(8 - pendingCount_);
            logCipher().encryptBlocks(block, 1);
            writeOut(block, 8, pendingCount_);
        }
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) {
            const int error = errno;
            if (ok_.load()) {
                error_ = error;
                ok_ = false;
            }
        }
    }
    pendingCount_ = 0;
    outCount_ = 0;
}

}  // namespace kvx::dm
