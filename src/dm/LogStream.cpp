#include "dm/LogStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "dm/Blowfish.h"
#include "dm/KvxLog.h"
#include "os/Files.h"

namespace kvx::dm {

namespace {

// Pieces read ahead of the caller: enough to ride over a slow record or a slow disk.
constexpr size_t kAhead = 3;
// The share of a piece that one thread deciphers at a time.
constexpr size_t kChunk = size_t{64} << 10;

uint16_t lengthAt(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

LogStream::LogStream(size_t pieceBytes) : pieceBytes_(std::max<size_t>(pieceBytes / 8 * 8, 8)) {}

LogStream::~LogStream() {
    if (threaded_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        reader_.join();
    }
    if (fd_ >= 0) ::close(fd_);
}

bool LogStream::open(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | os::kOpenFlags);
    if (fd_ < 0) {
        error_ = os::openError(path);
        return false;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode)) {
        error_ = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    threaded_ = true;  // before the thread starts, which reads it
    try {
        reader_ = std::thread([this] { readAhead(); });
    } catch (const std::system_error&) {
        // No thread to be had: the caller's thread reads each piece when it needs it.
        threaded_ = false;
    }
    return true;
}

bool LogStream::fill(Piece& piece) {
    piece.data.resize(pieceBytes_ + 8);
    std::memcpy(piece.data.data(), carry_, carryCount_);
    size_t got = carryCount_;
    bool eof = false;
    piece.error = 0;
    piece.size = 0;
    piece.tail = 0;
    piece.chunks = 0;
    piece.claimed.store(0, std::memory_order_relaxed);
    piece.finished.store(0, std::memory_order_relaxed);
    while (got < pieceBytes_) {
        const ssize_t n = ::read(fd_, piece.data.data() + got, pieceBytes_ - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            piece.error = errno != 0 ? errno : EIO;
            piece.last = true;
            return false;
        }
        eof = true;
        break;
    }
    const size_t whole = got / 8 * 8;
    carryCount_ = got - whole;
    std::memcpy(carry_, piece.data.data() + whole, carryCount_);
    piece.size = whole;
    piece.chunks = (whole + kChunk - 1) / kChunk;
    piece.last = eof;
    piece.tail = eof ? carryCount_ : 0;
    return !eof;
}

void LogStream::decipher(Piece& piece) {
    for (;;) {
        const size_t i = piece.claimed.fetch_add(1, std::memory_order_relaxed);
        if (i >= piece.chunks) return;
        const size_t from = i * kChunk;
        const size_t count = std::min(kChunk, piece.size - from);
        logCipher().decryptBlocks(piece.data.data() + from, count / 8);
        if (piece.finished.fetch_add(1, std::memory_order_acq_rel) + 1 == piece.chunks &&
            threaded_) {
            // The other thread may be waiting for this piece: tell it under the lock, so the
            // news cannot slip between its test and its wait.
            std::lock_guard<std::mutex> lock(mutex_);
            changed_.notify_all();
        }
    }
}

void LogStream::readAhead() {
    for (;;) {
        PiecePtr piece;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || ready_.size() < kAhead; });
            if (stopping_) return;
            if (!spare_.empty()) {
                piece = std::move(spare_.back());
                spare_.pop_back();
            }
        }
        if (!piece) piece = std::make_unique<Piece>();
        const bool more = fill(*piece);
        Piece& handed = *piece;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ready_.push_back(std::move(piece));
        }
        changed_.notify_all();
        decipher(handed);
        if (!more) return;
    }
}

bool LogStream::take() {
    PiecePtr piece;
    if (threaded_) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return !ready_.empty(); });
            piece = std::move(ready_.front());
            ready_.pop_front();
        }
        changed_.notify_all();  // room for the reading thread to go on
        decipher(*piece);
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&piece] {
            return piece->finished.load(std::memory_order_acquire) == piece->chunks;
        });
    } else {
        if (!spare_.empty()) {
            piece = std::move(spare_.back());
            spare_.pop_back();
        } else {
            piece = std::make_unique<Piece>();
        }
        fill(*piece);
        decipher(*piece);
    }
    if (piece->error != 0) {
        result_.status = LogReadStatus::OpenFailed;
        result_.sysErrno = piece->error;
        done_ = true;
        return false;
    }
    // Forget what was handed out: only the record that spans the pieces moves.
    plain_.erase(plain_.begin(), plain_.begin() + static_cast<std::ptrdiff_t>(pos_));
    base_ += pos_;
    pos_ = 0;
    plain_.insert(plain_.end(), piece->data.begin(),
                  piece->data.begin() + static_cast<std::ptrdiff_t>(piece->size));
    if (piece->last) {
        atEnd_ = true;
        tail_ = piece->tail;
    }
    if (threaded_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            spare_.push_back(std::move(piece));
        }
        changed_.notify_all();
    } else {
        spare_.push_back(std::move(piece));
    }
    return true;
}

void LogStream::finish(LogReadStatus status, size_t offset) {
    result_.status = status;
    result_.stopOffset = offset;
    // Where the file is cut inside a block, that is the cause, whatever the walk met before:
    // the rest is read (not handed out) to learn the size, as a whole read of the file does.
    while (!atEnd_) {
        pos_ = plain_.size();
        if (!take()) return;
    }
    result_.wholeBytes = base_ + plain_.size();
    if (tail_ != 0) {
        result_.status = LogReadStatus::NotBlocks;
        result_.stopOffset = result_.wholeBytes;
    }
    done_ = true;
}

bool LogStream::next(LogRecord& record, std::span<const uint8_t>& bytes) {
    while (!done_) {
        const size_t left = plain_.size() - pos_;
        const uint8_t* p = plain_.data() + pos_;
        const size_t at = base_ + pos_;
        size_t length = 0;
        if (!atEnd_) {
            // With eight bytes or more ahead this cannot be the final padding.
            if (left >= 8) {
                length = lengthAt(p);
                if (length < 12) {
                    finish(LogReadStatus::ShortRecord, at);
                    break;
                }
                if (length <= left) {
                    record = recordHeaderAt(p, at);
                    bytes = {p, length};
                    pos_ += length;
                    result_.streamLength = at + length;
                    return true;
                }
            }
            if (!take()) break;
            continue;
        }
        // Every byte is here: the end of the stream decides as a whole read of the file does.
        const size_t n = base_ + plain_.size();
        if (left == 0) {
            finish(LogReadStatus::Ok, 0);
            break;
        }
        if (left < 8 && at / 8 == (n - 1) / 8 && isFinalPadding(p, left)) {
            result_.padding = left;
            finish(LogReadStatus::Ok, 0);
            break;
        }
        if (left < 2) {
            finish(LogReadStatus::BadPadding, at);
            break;
        }
        length = lengthAt(p);
        if (length < 12) {
            finish(left < 8 ? LogReadStatus::BadPadding : LogReadStatus::ShortRecord, at);
            break;
        }
        if (length > left) {
            finish(LogReadStatus::RecordPastEnd, at);
            break;
        }
        record = recordHeaderAt(p, at);
        bytes = {p, length};
        pos_ += length;
        result_.streamLength = at + length;
        return true;
    }
    return false;
}

}  // namespace kvx::dm
