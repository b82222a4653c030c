// Reads a .kvx log back for tests: deciphers its blocks with the log key and splits the
// stream into records (length, code, time, body).
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dm/Blowfish.h"
#include "dm/KvxLog.h"

namespace kvx::testing {

struct LogRecord {
    uint16_t code = 0;
    std::vector<uint8_t> body;
    std::string text() const { return std::string(body.begin(), body.end()); }
    bool isNote() const { return code == dm::kCodeNote; }
};

struct LogContents {
    bool readable = false;  // a whole number of blocks
    std::vector<LogRecord> records;
    size_t trailing = 0;  // bytes after the last whole record (padding)
};

inline LogContents readLog(const std::filesystem::path& file) {
    LogContents out;
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    if (bytes.size() % 8 != 0) return out;
    out.readable = true;
    dm::logCipher().decryptBlocks(bytes.data(), bytes.size() / 8);
    size_t at = 0;
    while (bytes.size() - at >= 12) {
        const size_t length = bytes[at] | (bytes[at + 1] << 8);
        if (length < 12 || length > bytes.size() - at) break;
        LogRecord r;
        r.code = static_cast<uint16_t>(bytes[at + 2] | (bytes[at + 3] << 8));
        r.body.assign(bytes.begin() + static_cast<long>(at) + 12,
                      bytes.begin() + static_cast<long>(at + length));
        out.records.push_back(std::move(r));
        at += length;
    }
    out.trailing = bytes.size() - at;
    return out;
}

// Sequence numbers of the streamed log records (code 0x1234, body = LE32), in file order.
inline std::vector<uint32_t> sequences(const LogContents& log, uint16_t code) {
    std::vector<uint32_t> out;
    for (const auto& r : log.records) {
        if (r.code == code && r.body.size() >= 4) {
            out.push_back(r.body[0] | (r.body[1] << 8) | (r.body[2] << 16) |
                          (static_cast<uint32_t>(r.body[3]) << 24));
        }
    }
    return out;
}

// The .kvx files of a folder, sorted by name.
inline std::vector<std::filesystem::path> logFiles(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        if (e.path().extension() == ".kvx") out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace kvx::testing
