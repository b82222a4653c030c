// Reads a .kvx log back: deciphers the blocks and walks the records by their length fields.
// The program itself only writes logs; this reader serves `kvxlog dump` and the tests.
// A damaged file is read as far as it goes, and the reader says where and why it stopped.
// LogFollower reads a log that a capture is still writing, as its blocks reach the disk.
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
    size_t wholeBytes = 0;           // bytes of whole blocks walked
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
// Reads the file at `path` and walks it; OpenFailed when it cannot be read. With `threads`
// above 1, that many threads decipher slices of a large file at once (same result).
LogContents readLogFile(const std::string& path, int threads = 1);

// A log file read in place (mapped), for large logs: index() walks the record headers
// deciphering only the blocks that hold them, and read() deciphers any stretch on demand,
// so a listing that needs only the headers never deciphers the bodies.
//
// Threads: one thread at a time.
class MappedLog {
  public:
    MappedLog() = default;
    ~MappedLog();
    MappedLog(const MappedLog&) = delete;
    MappedLog& operator=(const MappedLog&) = delete;

    // False, with the reason in error(), when the file cannot be read.
    bool open(const std::string& path);
    int error() const { return error_; }
    size_t fileSize() const { return size_; }
    // The records and status as readLog gives them, with `plain` left empty.
    LogContents index();
    // `count` deciphered bytes from stream offset `offset` (within the whole blocks).
    std::span<const uint8_t> read(size_t offset, size_t count);

  private:
    const uint8_t* data_ = nullptr;  // the file's bytes
    size_t size_ = 0;
    const void* map_ = nullptr;
    std::vector<uint8_t> copy_;      // the file's bytes when it cannot be mapped
    std::vector<uint8_t> buffer_;
    int error_ = 0;
};

// Reads a log as it grows. Bytes are fed in file order as they appear; only whole 8-byte
// blocks are deciphered (a partial block is kept until the rest arrives), and a record is
// handed out only once all of its bytes are there, so one that spans blocks waits for the last.
// A tail that may be the final padding waits too: it is padding only if the file ends there.
//
// Threads: one thread at a time.
class LogFollower {
  public:
    // Takes the next bytes of the file (any count).
    void feed(std::span<const uint8_t> bytes);
    // The next complete record and its bytes (header included, valid until the next feed);
    // false when no further record is whole yet, or when reading has stopped (status()).
    bool next(LogRecord& record, std::span<const uint8_t>& bytes);
    // Ok, or ShortRecord when a length field below 12 stands where no padding can be.
    LogReadStatus status() const { return status_; }
    size_t stopOffset() const { return stopOffset_; }
    size_t fileBytes() const { return fed_; }            // bytes fed so far
    size_t streamOffset() const { return base_ + pos_; }  // where the next record begins
    // Deciphered bytes behind the last complete record (a record still being written, or
    // the final padding once the file is closed).
    size_t pendingBytes() const { return plain_.size() - pos_; }

  private:
    std::vector<uint8_t> plain_;  // deciphered, from stream offset base_
    size_t base_ = 0;
    size_t pos_ = 0;              // next record, within plain_
    uint8_t partial_[8] = {};     // enciphered bytes of a block not yet whole
    size_t partialCount_ = 0;
    size_t fed_ = 0;
    LogReadStatus status_ = LogReadStatus::Ok;
    size_t stopOffset_ = 0;
};

// The header of the record whose bytes begin at `p` (12 of them), at stream offset `offset`.
LogRecord recordHeaderAt(const uint8_t* p, size_t offset);
// True when the `left` (< 8) bytes at `tail`, the end of the last block, are the final padding:
// k data bytes end the block, then 7-k zeros and the byte 8-k.
bool isFinalPadding(const uint8_t* tail, size_t left);

// "modem log", "packet", "note", "event", "message" or "converted".
const char* recordKind(uint16_t code);
// One line describing why reading stopped.
std::string describe(const LogContents& log);

}  // namespace kvx::dm
