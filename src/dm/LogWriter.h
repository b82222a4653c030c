// The enciphered log file: records are appended to one stream that is cut into 8-byte
// Blowfish blocks (electronic codebook); only the very last block is padded. Full blocks are
// collected and enciphered in batches of 64 KiB, then written to the file; flush() hands them
// to the operating system.
//
// A failed write (disk full, file size limit, I/O error) is noticed at once: the writer keeps
// the error number, writes nothing more into that file, and cuts the file back to the last
// block that reached the disk whole, so the file holds whole blocks only.
//
// Threads: one thread appends, flushes, opens and closes. With setThreads(n > 1) the batches
// are enciphered and written by n - 1 helper threads while the appending thread goes on (a
// ring of batches, at most 2 MiB); the file gets the same bytes in the same write
// calls. ok(), error() and durable() may then change under the appending thread as the helpers
// write, and may be read from any thread; closelog() waits for the helpers.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
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
    bool ok() const { return ok_.load(); }
    // errno of the failed open or of the first failed write, 0 when none.
    int error() const { return error_.load(); }

    // Threads that encipher and write: 1 (the default) does it on the appending thread in
    // flush(); n > 1 leaves it to n - 1 helper threads, started at the first full batch and
    // ended by closelog(). Changing the count first waits for the batches in flight.
    void setThreads(int n);
    int threads() const { return threads_; }

    // Appends one record's bytes to the block stream (through the pending block).
    void append(const uint8_t* bytes, size_t count);
    // Enciphers and writes the full blocks collected so far (the pending block stays). With
    // helper threads: hands them over, and returns once a buffer is free for the next ones.
    void flush();
    // Writes the pending bytes as one last block (padded when short), then closes the file.
    void closelog();
    // Forgets the pending block without writing it.
    void resetPending() { pendingCount_ = 0; }

    // Stream bytes appended to the current file, and those that reached the file whole (a
    // multiple of 8 until the file is closed). Equal after a successful closelog. Read ok()
    // before durable(): once ok() is false, durable() no longer changes.
    uint64_t appended() const { return appended_; }
    uint64_t durable() const { return durable_.load(); }

    // Enciphers `count` bytes as ceil(count / 8) blocks and writes them to `file`; a short
    // last block holds the bytes, zeros, and in byte 7 the number of missing bytes.
    static bool writeblocks(FILE* file, const uint8_t* bytes, size_t count);

    size_t pendingCount() const { return pendingCount_; }

private:
    static constexpr size_t kSlots = 32;

    void queueBlock(const uint8_t* block);
    // Writes `count` enciphered bytes; on failure records the error and cuts the file back.
    // Called by one thread at a time (batches are written in turn).
    bool writeOut(const uint8_t* bytes, size_t count, size_t plainCount);
    void fail(int error);
    void startHelpers();
    // Waits until every batch handed over is written, then ends the helper threads.
    void stopHelpers();
    void helperLoop();

    int fd_ = -1;
    std::atomic<bool> ok_{true};
    std::atomic<int> error_{0};
    uint64_t appended_ = 0;
    std::atomic<uint64_t> durable_{0};
    uint64_t fileBytes_ = 0;  // bytes written to the file so far (by the writing thread)
    std::array<uint8_t, 8> pending_{};
    size_t pendingCount_ = 0;
    // Batch buffers of full plaintext blocks; the appending thread fills slot cur_.
    std::array<std::vector<uint8_t>, kSlots> slots_;
    size_t cur_ = 0;
    size_t outCount_ = 0;

    // Hand-over to the helpers: batch number s sits in queue_[s % kSlots]; batches are taken
    // in order (taken_), enciphered side by side and written in order (written_).
    int threads_ = 1;
    struct Batch {
        size_t slot = 0;
        size_t count = 0;
    };
    std::mutex mutex_;
    std::condition_variable work_;  // a batch was handed over, or the helpers are to end
    std::condition_variable done_;  // a batch was written
    std::array<Batch, kSlots> queue_{};
    std::array<bool, kSlots> busy_{};  // slots handed over and not yet written
    uint64_t submitted_ = 0, taken_ = 0, written_ = 0;
    bool ending_ = false;
    std::vector<std::thread> helpers_;
};

}  // namespace kvx::dm
