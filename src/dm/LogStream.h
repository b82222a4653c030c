// Reads a .kvx log from its first record to its last in pieces of a megabyte, for the exports
// that pass over every record once (`kvxlog pcap`, `kvxlog export`). A second thread reads and
// deciphers the next pieces while the caller works on the records of this one, and memory stays
// a few pieces whatever the size of the log: a log of gigabytes is never held whole.
//
// It hands out the records that readLogFile lists, in order, and ends with the same status,
// stop offset and padding.
//
// Threads: one caller thread at a time (the reading thread is its own).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "dm/LogReader.h"

namespace kvx::dm {

class LogStream {
  public:
    explicit LogStream(size_t pieceBytes = size_t{1} << 20);
    ~LogStream();
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;

    // False, with the errno in error(), when the file cannot be opened.
    bool open(const std::string& path);
    int error() const { return error_; }

    // The next record and its bytes (header included, valid until the next call). False at
    // the end of the stream, where reading stopped, or when the file could not be read on:
    // then result() tells which.
    bool next(LogRecord& record, std::span<const uint8_t>& bytes);

    // After next() returned false: status, stopOffset, streamLength, padding, wholeBytes and
    // sysErrno as readLogFile gives them (records and plain stay empty). A read error on the
    // way is OpenFailed with its errno, as readLogFile reports it.
    const LogContents& result() const { return result_; }

  private:
    // A piece is handed over as soon as it is read; its blocks are then deciphered in chunks
    // that the reading thread and a caller waiting for the piece take in turn, so the two
    // threads share the cipher work whichever of them is ahead.
    struct Piece {
        std::vector<uint8_t> data;  // whole blocks (deciphered once `finished` == `chunks`)
        size_t size = 0;
        size_t tail = 0;  // at the end of the file: bytes of a block left partial
        bool last = false;
        int error = 0;
        size_t chunks = 0;
        std::atomic<size_t> claimed{0};
        std::atomic<size_t> finished{0};
    };
    using PiecePtr = std::unique_ptr<Piece>;
    void readAhead();             // the reading thread
    bool fill(Piece& piece);      // reads one piece; false when it was the last
    void decipher(Piece& piece);  // takes chunks of the piece until none is left
    bool take();                  // moves the next piece behind the unread bytes
    void finish(LogReadStatus status, size_t offset);

    size_t pieceBytes_;
    int fd_ = -1;
    int error_ = 0;
    uint8_t carry_[8] = {};  // bytes of a block that a read left partial
    size_t carryCount_ = 0;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<PiecePtr> ready_;   // read, in file order
    std::vector<PiecePtr> spare_;  // handed back for reuse
    bool stopping_ = false;
    std::thread reader_;
    bool threaded_ = false;

    std::vector<uint8_t> plain_;  // deciphered bytes from stream offset base_
    size_t base_ = 0;
    size_t pos_ = 0;      // next record, within plain_
    bool atEnd_ = false;  // every byte of the file is in plain_
    size_t tail_ = 0;     // bytes of a partial last block
    bool done_ = false;
    LogContents result_;
};

}  // namespace kvx::dm
