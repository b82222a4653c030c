// The enciphered log file: records are appended to one stream that is cut into 8-byte
// Blowfish blocks (electronic codebook); only the very last block is padded. Full blocks are
// collected and enciphered in batches, then written to the file; flush() hands them to the
// operating system.
//
// A failed write (disk full, file size limit, I/O error) is noticed at once: the writer keeps
// the error number, writes nothing more into that file, and cuts the file back to the last
// block that reached the disk whole, so the file holds whole blocks only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dm/Blowfish.h"

namespace kvx::dm {

class LogWriter {
public:
    LogWriter();
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Opens the file for binary writing: creates or truncates it, or with `exclusive` creates
    // it only when no file of that name exists (errno EEXIST otherwise). A file still open is
    // closed first. On failure error() holds the reason.
    bool openlog(const std::string& path, bool exclusive = false);
    bool isOpen() const { return fd_ >= 0; }
    // False once any write to the current file failed.
    bool ok() const { return ok_; }
    // errno of the failed open or of the first failed write, 0 when none.
    int error() const { return error_; }

    // Appends one record's bytes to the block stream (through the pending block).
    void append(const uint8_t* bytes, size_t count);
    // Enciphers and writes the full blocks collected so far (the pending block stays).
    void flush();
    // Writes the pending bytes as one last block (padded when short), then closes the file.
    void closelog();
    // Forgets the pending block without writing it.
    void resetPending() { pendingCount_ = 0; }

    // Stream bytes appended to the current file, and those that reached the file whole (a
    // multiple of 8 until the file is closed). Equal after a successful closelog.
    uint64_t appended() const { return appended_; }
    uint64_t durable() const { return durable_; }

    // Enciphers `count` bytes as ceil(count / 8) blocks and writes them to `file`; a short
    // last block holds the bytes, zeros, and in byte 7 the number of missing bytes.
    static bool writeblocks(FILE* file, const uint8_t* bytes, size_t count);

    size_t pendingCount() const { return pendingCount_; }

private:
    void queueBlock(const uint8_t* block);
    // Writes `count` enciphered bytes; on failure records the error and cuts the file back.
    bool writeOut(const uint8_t* bytes, size_t count, size_t plainCount);
    void fail(int error);

    int fd_ = -1;
    bool ok_ = true;
    int error_ = 0;
    uint64_t appended_ = 0;
    uint64_t durable_ = 0;
    uint64_t fileBytes_ = 0;  // bytes written to the file so far
    std::array<uint8_t, 8> pending_{};
    size_t pendingCount_ = 0;
    std::vector<uint8_t> out_;  // full plaintext blocks waiting for encipherment
    size_t outCount_ = 0;
};

}  // namespace kvx::dm
