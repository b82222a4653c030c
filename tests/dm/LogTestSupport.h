// Helpers of the receive-path and log tests: frames built independently of the engine's own
// builder (any length, escapes as on the wire), expected records, and a conversion of a byte
// stream through KvxLog::receive into a temporary log that is read back.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "dm/Crc16.h"
#include "dm/KvxLog.h"
#include "dm/LogReader.h"
#include "dm/LogStream.h"

namespace kvx::dmtest {

using namespace kvx::dm;
using Bytes = std::vector<uint8_t>;

// A file name in the temporary folder, removed when the object goes.
class TempFile {
public:
    explicit TempFile(const std::string& tag = "log") {
        static std::atomic<int> serial{0};
        path_ = (std::filesystem::temp_directory_path() /
                 ("kvxdm-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + "-" +
                  tag))
                    .string();
    }
    ~TempFile() {
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), {});
}

inline void writeBytes(const std::string& path, std::span<const uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline uint16_t crcOf(std::span<const uint8_t> payload) {
    return static_cast<uint16_t>(~crc16Update(0xFFFF, payload.data(), payload.size()));
}

// The unescaped frame: payload, CRC low byte first, 0x7E.
inline Bytes plainFrame(std::span<const uint8_t> payload) {
    Bytes f(payload.begin(), payload.end());
    const uint16_t crc = crcOf(payload);
    f.push_back(static_cast<uint8_t>(crc));
    f.push_back(static_cast<uint8_t>(crc >> 8));
    f.push_back(0x7E);
    return f;
}

// The frame as sent on the wire (payload and CRC escaped), of any length.
inline Bytes wire(std::span<const uint8_t> payload) {
    const Bytes plain = plainFrame(payload);
    Bytes out;
    for (size_t i = 0; i + 1 < plain.size(); ++i) {
        const uint8_t b = plain[i];
        if (b == 0x7E || b == 0x7D) {
            out.push_back(0x7D);
            out.push_back(static_cast<uint8_t>(b ^ 0x20));
        } else {
            out.push_back(b);
        }
    }
    out.push_back(0x7E);
    return out;
}

inline void append(Bytes& to, std::span<const uint8_t> more) {
    to.insert(to.end(), more.begin(), more.end());
}

inline Bytes header(size_t length, uint16_t code, std::span<const uint8_t> time = {}) {
    Bytes h = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
               static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8)};
    for (size_t i = 0; i < 8; ++i) h.push_back(i < time.size() ? time[i] : 0);
    return h;
}

inline Bytes noteRecord(std::span<const uint8_t> text) {
    Bytes r = header(12 + text.size(), kCodeNote);
    append(r, text);
    return r;
}
inline Bytes noteRecord(const std::string& text) {
    return noteRecord(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

inline Bytes packetRecord(std::span<const uint8_t> packet, uint16_t code = kCodePacket) {
    Bytes r = header(12 + packet.size(), code);
    append(r, packet);
    return r;
}

// A log packet (command 0x10) carrying `record` as the modem built it.
inline Bytes logPacket(std::span<const uint8_t> record) {
    Bytes p = {0x10, 0x00, static_cast<uint8_t>(record.size()),
               static_cast<uint8_t>(record.size() >> 8)};
    append(p, record);
    return p;
}

// A modem log record of `length` bytes (length field as given unless `field` overrides it).
inline Bytes modemRecord(size_t length, uint16_t code, uint8_t seed = 1, long field = -1) {
    const size_t f = field < 0 ? length : static_cast<size_t>(field);
    Bytes r = header(f, code);
    for (size_t i = 4; i < 12 && i < length; ++i) r[i] = static_cast<uint8_t>(seed + i);
    r.resize(length < 12 ? length : 12);
    for (size_t i = r.size(); i < length; ++i) r.push_back(static_cast<uint8_t>(seed * 31 + i * 7));
    return r;
}

// What one conversion left: the records read back, the raw file and the counters.
struct Converted {
    LogContents log;
    Bytes file;
    Stats stats;

    Bytes stream() const {
        return Bytes(log.plain.begin(), log.plain.begin() + static_cast<std::ptrdiff_t>(log.streamLength));
    }
    Bytes record(size_t i) const {
        auto b = log.bytes(log.records.at(i));
        return Bytes(b.begin(), b.end());
    }
    std::string text(size_t i) const {
        auto b = log.body(log.records.at(i));
        return std::string(b.begin(), b.end());
    }
};

// Feeds `chunks` to a fresh engine (or `engine`) between openlog and closelog.
inline Converted convert(const std::vector<Bytes>& chunks, KvxLog* engine = nullptr) {
    KvxLog local;
    KvxLog& e = engine ? *engine : local;
    TempFile out;
    Converted c;
    if (!e.openlog(out.path())) return c;
    for (const auto& chunk : chunks) e.receive(chunk);
    e.closelog();
    c.stats = e.getstats();
    c.file = readBytes(out.path());
    c.log = readLog(c.file);
    return c;
}
inline Converted convert(const Bytes& stream) { return convert(std::vector<Bytes>{stream}); }

// Converts the raw DM file at `rawPath` the way the conversion run drives the engine: the
// start note, the file as input source, dispatch to the end, the completion note.
// The log file `file` (its bytes on disk) read back as a stream in pieces of `piece` bytes, as
// the export commands read it: each record and its bytes go to f(record, bytes). False when
// the stream did not end well.
template <class F>
bool streamLogBytes(const Bytes& file, size_t piece, F&& f) {
    TempFile path("stream");
    writeBytes(path.path(), file);
    LogStream stream(piece);
    if (!stream.open(path.path())) return false;
    LogRecord r;
    std::span<const uint8_t> bytes;
    while (stream.next(r, bytes)) f(r, bytes);
    return stream.result().status == LogReadStatus::Ok;
}

inline Converted convertRawFile(const std::string& rawPath, std::vector<int>* chunkSizes = nullptr) {
    Converted c;
    FILE* in = std::fopen(rawPath.c_str(), "rb");
    if (!in) return c;
    KvxLog e;
    TempFile out;
    e.clearstats();
    if (e.openlog(out.path())) {
        e.setnote("RAW DM file conversion starting");
        e.startlogging(true, kSourceRawFile, in);
        for (int n; (n = e.dispatch()) > 0;) {
            if (chunkSizes) chunkSizes->push_back(n);
        }
        e.setnote("RAW DM file conversion is complete");
        e.dispatch();
        e.closelog();
        c.stats = e.getstats();
        c.file = readBytes(out.path());
        c.log = readLog(c.file);
    }
    std::fclose(in);
    return c;
}

}  // namespace kvx::dmtest
