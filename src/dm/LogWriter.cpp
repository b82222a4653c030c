#include "dm/LogWriter.h"

#include <cstring>

namespace kvx::dm {
namespace {
// Full blocks collected before one batch is enciphered and handed to the file.
constexpr size_t kBatchBytes = 64 * 1024;
}  // namespace

LogWriter::LogWriter() : out_(kBatchBytes) {}

LogWriter::~LogWriter() { closelog(); }

bool LogWriter::openlog(const std::string& path) {
    if (file_) closelog();
    pendingCount_ = 0;
    outCount_ = 0;
    ok_ = true;
    file_ = std::fopen(path.c_str(), "wb");
    return file_ != nullptr;
}

void LogWriter::queueBlock(const uint8_t* block) {
    std::memcpy(out_.data() + outCount_, block, 8);
    outCount_ += 8;
    if (outCount_ == out_.size()) flush();
}

void LogWriter::append(const uint8_t* bytes, size_t count) {
    if (count == 0) return;
    if (pendingCount_ + count > 8) {
        const size_t fill = 8 - pendingCount_;
        std::memcpy(pending_.data() + pendingCount_, bytes, fill);
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
    std::memcpy(pending_.data() + pendingCount_, bytes, count);
    pendingCount_ += count;
}

void LogWriter::flush() {
    if (outCount_ > 0) {
        logCipher().encryptBlocks(out_.data(), outCount_ / 8);
        if (file_ && std::fwrite(out_.data(), 1, outCount_, file_) != outCount_) ok_ = false;
        outCount_ = 0;
    }
    if (file_ && std::fflush(file_) != 0) ok_ = false;
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
    if (file_) {
        flush();
        if (pendingCount_ > 0 && !writeblocks(file_, pending_.data(), pendingCount_)) ok_ = false;
        if (std::fclose(file_) != 0) ok_ = false;
        file_ = nullptr;
    }
    pendingCount_ = 0;
    outCount_ = 0;
}

}  // namespace kvx::dm
