// Reads a .kvx log back: deciphers the blocks and walks the records by their length fields.
// The program itself only writes logs; this reader serves `kvxlog dump` and the tests.
// A damaged file is read as far as it goes, and the reader says where and why it stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kvx::dm {

enum class LogReadStatus {
    Ok,
    OpenFailed,       // the file could not be read
    NotBlocks,        // the size is not a multiple of 8
    ShortRecord,      // a length field below 12
    RecordPastEnd,    // a record runs past the end of the stream
    BadPadding,       // trailing bytes that are neither a record nor valid padding
};

struct LogRecord {
    size_t offset = 0;    // in the deciphered stream
    uint16_t length = 0;  // header included
    uint16_t code = 0;
    uint64_t time = 0;    // the 8 time stamp bytes, little-endian
};

struct LogContents {
    std::vector<uint8_t> plain;      // the deciphered stream, padding included
    std::vector<LogRecord> records;
    size_t streamLength = 0;         // bytes of records (before the final padding)
    size_t padding = 0;              // bytes of final padding
    LogReadStatus status = LogReadStatus::Ok;
    size_t stopOffset = 0;           // where reading stopped when status is not Ok
    int sysErrno = 0;                // why the file could not be read (OpenFailed)

    std::span<const uint8_t> bytes(const LogRecord& r) const {
        return {plain.data() + r.offset, r.length};
    }
    std::span<const uint8_t> body(const LogRecord& r) const {
        return {plain.data() + r.offset + 12, r.length - 12u};
    }
};

// Deciphers and walks `file` (the bytes of a .kvx file).
LogContents readLog(std::span<const uint8_t> file);
// Reads the file at `path` and walks it; OpenFailed when it cannot be read.
LogContents readLogFile(const std::string& path);

// "modem log", "packet", "note", "event", "message" or "converted".
const char* recordKind(uint16_t code);
// One line describing why reading stopped.
std::string describe(const LogContents& log);

}  // namespace kvx::dm
