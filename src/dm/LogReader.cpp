#include "dm/LogReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include <cstdio>

#include "dm/Blowfish.h"
#include "dm/KvxLog.h"
#include "os/Files.h"

namespace kvx::dm {

namespace {

// Walks `n` deciphered bytes of whole blocks; at(pos, count) gives `count` (at most 12)
// deciphered bytes from stream offset pos. fileSize is the size of the file read.
template <class At>
void walk(LogContents& log, size_t n, size_t fileSize, At&& at) {
    log.wholeBytes = n;
    log.records.reserve(n / 64);
    size_t pos = 0;
    while (pos < n) {
        const size_t left = n - pos;
        if (left < 8 && pos / 8 == (n - 1) / 8 && isFinalPadding(at(pos, left), left)) {
            log.padding = left;
            break;
        }
        if (left < 2) {
            log.status = LogReadStatus::BadPadding;
            log.stopOffset = pos;
            break;
        }
        const uint8_t* head = at(pos, std::min<size_t>(left, 12));
        const size_t length = static_cast<size_t>(head[0] | (head[1] << 8));
        if (length < 12) {
            log.status = left < 8 ? LogReadStatus::BadPadding : LogReadStatus::ShortRecord;
            log.stopOffset = pos;
            break;
        }
        if (length > left) {
            log.status = LogReadStatus::RecordPastEnd;
            log.stopOffset = pos;
            break;
        }
        log.records.push_back(recordHeaderAt(head, pos));
        pos += length;
    }
    log.streamLength = log.records.empty() ? 0 : log.records.back().offset + log.records.back().length;
    // A partial block means the file was cut short: that is the cause, whatever the walk of
    // the whole blocks ran into at their end.
    if (fileSize % 8 != 0) {
        log.status = LogReadStatus::NotBlocks;
        log.stopOffset = fileSize - fileSize % 8;
    }
}

void walk(LogContents& log, size_t fileSize) {
    const uint8_t* plain = log.plain.data();
    walk(log, log.plain.size(), fileSize, [plain](size_t pos, size_t) { return plain + pos; });
}

}  // namespace

LogRecord recordHeaderAt(const uint8_t* p, size_t offset) {
    LogRecord r;
    r.offset = offset;
    r.length = static_cast<uint16_t>(p[0] | (p[1] << 8));
    r.code = static_cast<uint16_t>(p[2] | (p[3] << 8));
    for (int i = 7; i >= 0; --i) r.time = (r.time << 8) | p[4 + i];
    return r;
}

bool isFinalPadding(const uint8_t* tail, size_t left) {
    if (left == 0 || left >= 8 || tail[left - 1] != left) return false;
    for (size_t i = 0; i + 1 < left; ++i)
        if (tail[i] != 0) return false;
    return true;
}

LogContents readLog(std::span<const uint8_t> file) {
    LogContents log;
    log.plain.assign(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(file.size() / 8 * 8));
    logCipher().decryptBlocks(log.plain.data(), log.plain.size() / 8);
    walk(log, file.size());
    return log;
}

LogContents readLogFile(const std::string& path, int threads) {
    auto failed = [](int error) {
        LogContents log;
        log.status = LogReadStatus::OpenFailed;
        log.sysErrno = error;
        return log;
    };
    const int fd = ::open(path.c_str(), O_RDONLY | os::kOpenFlags);
    if (fd < 0) return failed(os::openError(path));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        return failed(error);
    }
    // Read straight into the buffer that is deciphered in place: a large log is copied once.
    LogContents log;
    std::vector<uint8_t>& bytes = log.plain;
    size_t used = 0;
    bytes.resize(S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 64 * 1024);
    for (;;) {
        if (used == bytes.size()) bytes.resize(bytes.size() * 2);
        const ssize_t n = ::read(fd, bytes.data() + used, bytes.size() - used);
        if (n > 0) {
            used += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return failed(error);
        }
        break;
    }
    ::close(fd);
    bytes.resize(used / 8 * 8);
    const size_t blocks = bytes.size() / 8;
    // Below a few MB a thread costs more than it saves.
    constexpr size_t kBlocksPerThread = size_t{1} << 19;
    const size_t slices = std::min<size_t>(threads < 1 ? 1 : static_cast<size_t>(threads),
                                           std::max<size_t>(blocks / kBlocksPerThread, 1));
    if (slices <= 1) {
        logCipher().decryptBlocks(bytes.data(), blocks);
    } else {
        std::vector<std::thread> helpers;
        const size_t per = blocks / slices;
        for (size_t i = 1; i < slices; ++i) {
            const size_t from = i * per, count = i + 1 == slices ? blocks - from : per;
            try {
                helpers.emplace_back([&bytes, from, count] {
                    logCipher().decryptBlocks(bytes.data() + from * 8, count);
                });
            } catch (const std::system_error&) {
                logCipher().decryptBlocks(bytes.data() + from * 8, count);  // no thread to be had
            }
        }
        logCipher().decryptBlocks(bytes.data(), per);
        for (auto& t : helpers) t.join();
    }
    walk(log, used);
    return log;
}

MappedLog::~MappedLog() {
    os::unmap(map_, size_);
}

bool MappedLog::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | os::kOpenFlags);
    if (fd < 0) {
        error_ = os::openError(path);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        error_ = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        return false;
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        size_ = static_cast<size_t>(st.st_size);
        if (const void* map = os::mapReadOnly(fd, size_)) {
            map_ = map;
            data_ = static_cast<const uint8_t*>(map);
            ::close(fd);
            return true;
        }
    }
    // Not a mappable file (a pipe, an empty file): its bytes are read whole.
    uint8_t chunk[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            copy_.insert(copy_.end(), chunk, chunk + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error_ = errno;
            ::close(fd);
            return false;
        }
        break;
    }
    ::close(fd);
    size_ = copy_.size();
    data_ = copy_.data();
    return true;
}

LogContents MappedLog::index() {
    LogContents log;
    walk(log, size_ / 8 * 8, size_, [this](size_t pos, size_t count) { return read(pos, count).data(); });
    return log;
}

std::span<const uint8_t> MappedLog::read(size_t offset, size_t count) {
    const size_t first = offset / 8 * 8;
    const size_t end = (offset + count + 7) / 8 * 8;
    buffer_.resize(end - first);
    std::memcpy(buffer_.data(), data_ + first, end - first);
    logCipher().decryptBlocks(buffer_.data(), buffer_.size() / 8);
    return {buffer_.data() + (offset - first), count};
}

void LogFollower::feed(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;
    fed_ += bytes.size();
    // Forget what was handed out, so a long follow holds only the unfinished record.
    if (pos_ > 0 && pos_ >= plain_.size() / 2) {
        plain_.erase(plain_.begin(), plain_.begin() + static_cast<std::ptrdiff_t>(pos_));
        base_ += pos_;
        pos_ = 0;
    }
    size_t i = 0;
    if (partialCount_ > 0) {
        while (partialCount_ < 8 && i < bytes.size()) partial_[partialCount_++] = bytes[i++];
        if (partialCount_ < 8) return;
        plain_.insert(plain_.end(), partial_, partial_ + 8);
        logCipher().decryptBlocks(plain_.data() + plain_.size() - 8, 1);
        partialCount_ = 0;
    }
    const size_t whole = (bytes.size() - i) / 8 * 8;
    const size_t at = plain_.size();
    plain_.insert(plain_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i),
                  bytes.begin() + static_cast<std::ptrdiff_t>(i + whole));
    logCipher().decryptBlocks(plain_.data() + at, whole / 8);
    i += whole;
    while (i < bytes.size()) partial_[partialCount_++] = bytes[i++];
}

bool LogFollower::next(LogRecord& record, std::span<const uint8_t>& bytes) {
    if (status_ != LogReadStatus::Ok) return false;
    const size_t left = plain_.size() - pos_;
    if (left < 2) return false;
    const uint8_t* p = plain_.data() + pos_;
    const size_t length = static_cast<size_t>(p[0] | (p[1] << 8));
    if (length < 12) {
        // Padding closes the stream inside its last block; anything else is damage.
        const size_t at = base_ + pos_;
        if (left < 8 && at / 8 == (base_ + plain_.size() - 1) / 8 && isFinalPadding(p, left))
            return false;
        status_ = LogReadStatus::ShortRecord;
        stopOffset_ = base_ + pos_;
        return false;
    }
    if (length > left) return false;
    record = recordHeaderAt(p, base_ + pos_);
    bytes = {p, length};
    pos_ += length;
    return true;
}

const char* recordKind(uint16_t code) {
    switch (code) {
        case kCodePacket: return "packet";
        case kCodeNote: return "note";
        case kCodeEvent: return "event";
        case kCodeMessage: return "message";
        case kCodeConverted1F: return "converted";
        default: return "modem log";
    }
}

std::string describe(const LogContents& log) {
    char text[160];
    switch (log.status) {
        case LogReadStatus::Ok:
            return "ok";
        case LogReadStatus::OpenFailed:
            return log.sysErrno != 0 ? std::string("the file could not be read: ") +
                                           std::strerror(log.sysErrno)
                                     : std::string("the file could not be read");
        case LogReadStatus::NotBlocks:
            std::snprintf(text, sizeof text,
                          "damaged: the file size is not a multiple of 8 (last whole block ends at %zu)",
                          log.stopOffset);
            return text;
        case LogReadStatus::ShortRecord:
            std::snprintf(text, sizeof text, "damaged: record length below 12 at offset %zu",
                          log.stopOffset);
            return text;
        case LogReadStatus::RecordPastEnd:
            std::snprintf(text, sizeof text,
                          "damaged: the record at offset %zu runs past the end of the stream",
                          log.stopOffset);
            return text;
        case LogReadStatus::BadPadding:
            std::snprintf(text, sizeof text,
                          "damaged: %zu trailing bytes at offset %zu are neither a record nor padding",
                          log.wholeBytes - log.stopOffset, log.stopOffset);
            return text;
    }
    return "unknown";
}

}  // namespace kvx::dm
