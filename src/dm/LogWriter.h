// The enciphered log file: records are appended to one stream that is cut into 8-byte
// Blowfish blocks (electronic codebook); only the very last block is padded. Full blocks are
// collected and enciphered in batches, then handed to the file; flush() pushes them to the
// operating system.
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

    // Creates or truncates the file for binary writing. A file still open is closed first.
    bool openlog(const std::string& path);
    bool isOpen() const { return file_ != nullptr; }
    // False once any write to the current file failed.
    bool ok() const { return ok_; }

    // Appends one record's bytes to the block stream (through the pending block).
    void append(const uint8_t* bytes, size_t count);
    // Enciphers and writes the full blocks collected so far (the pending block stays).
    void flush();
    // Writes the pending bytes as one last block (padded when short), then closes the file.
    void closelog();
    // Forgets the pending block without writing it.
    void resetPending() { pendingCount_ = 0; }

    // Enciphers `count` bytes as ceil(count / 8) blocks and writes them to `file`; a short
    // last block holds the bytes, zeros, and in byte 7 the number of missing bytes.
    static bool writeblocks(FILE* file, const uint8_t* bytes, size_t count);

    size_t pendingCount() const { return pendingCount_; }

private:
    void queueBlock(const uint8_t* block);

    FILE* file_ = nullptr;
    bool ok_ = true;
    std::array<uint8_t, 8> pending_{};
    size_t pendingCount_ = 0;
    std::vector<uint8_t> out_;  // full plaintext blocks waiting for encipherment
    size_t outCount_ = 0;
};

}  // namespace kvx::dm
