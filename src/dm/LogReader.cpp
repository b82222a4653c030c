#include "dm/LogReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "dm/Blowfish.h"
#include "dm/KvxLog.h"

namespace kvx::dm {

LogContents readLog(std::span<const uint8_t> file) {
    LogContents log;
    log.plain.assign(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(file.size() / 8 * 8));
    logCipher().decryptBlocks(log.plain.data(), log.plain.size() / 8);

    const size_t n = log.plain.size();
    size_t pos = 0;
    while (pos < n) {
        const size_t left = n - pos;
        if (left < 8 && pos / 8 == (n - 1) / 8) {
            // The tail of the last block: k data bytes end it, then 7-k zeros and 8-k.
            const uint8_t last = log.plain[n - 1];
            bool pad = last == left;
            for (size_t i = pos; pad && i + 1 < n; ++i) pad = log.plain[i] == 0;
            if (pad) {
                log.padding = left;
                break;
            }
        }
        if (left < 2) {
            log.status = LogReadStatus::BadPadding;
            log.stopOffset = pos;
            break;
        }
        const uint16_t length = static_cast<uint16_t>(log.plain[pos] | (log.plain[pos + 1] << 8));
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
        LogRecord r;
        r.offset = pos;
        r.length = length;
        r.code = static_cast<uint16_t>(log.plain[pos + 2] | (log.plain[pos + 3] << 8));
        for (int i = 7; i >= 0; --i) r.time = (r.time << 8) | log.plain[pos + 4 + static_cast<size_t>(i)];
        log.records.push_back(r);
        pos += length;
    }
    log.streamLength = log.records.empty() ? 0 : log.records.back().offset + log.records.back().length;
    // A partial block means the file was cut short: that is the cause, whatever the walk of
    // the whole blocks ran into at their end.
    if (file.size() % 8 != 0) {
        log.status = LogReadStatus::NotBlocks;
        log.stopOffset = file.size() - file.size() % 8;
    }
    return log;
}

LogContents readLogFile(const std::string& path) {
    auto failed = [](int error) {
        LogContents log;
        log.status = LogReadStatus::OpenFailed;
        log.sysErrno = error;
        return log;
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return failed(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        return failed(error);
    }
    std::vector<uint8_t> bytes;
    if (S_ISREG(st.st_mode)) bytes.reserve(static_cast<size_t>(st.st_size));
    uint8_t buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            bytes.insert(bytes.end(), buffer, buffer + n);
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
    return readLog(bytes);
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
                          log.plain.size() - log.stopOffset, log.stopOffset);
            return text;
    }
    return "unknown";
}

}  // namespace kvx::dm
