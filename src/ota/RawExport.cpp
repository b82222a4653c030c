#include "ota/RawExport.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "dm/Crc16.h"
#include "dm/Frame.h"
#include "dm/KvxLog.h"
#include "ota/PcapExport.h"

namespace kvx::ota {
namespace {

constexpr uint8_t kCmdLog = 0x10;
constexpr uint8_t kCmdEvents = 0x60;
constexpr uint8_t kCmd1F = 0x1F;

// Whether any of the 8 bytes of `v` is a flag (7E) or an escape (7D): a byte equal to b
// leaves a zero byte in v ^ (b * ones), which (x - ones) & ~x & highs finds.
inline bool hasFlagOrEscape(uint64_t v) {
    constexpr uint64_t kOnes = 0x0101010101010101, kHighs = 0x8080808080808080;
    const uint64_t f = v ^ (kOnes * dm::kFlag), e = v ^ (kOnes * dm::kEscape);
    return (((f - kOnes) & ~f) | ((e - kOnes) & ~e)) & kHighs;
}

// Writes `n` bytes escaped at `to` (room for 2n) and returns the end. Eight bytes at a time
// where none of them needs escaping (most of them), byte by byte in the words that do.
uint8_t* putEscaped(uint8_t* to, const uint8_t* from, size_t n) {
    const uint8_t* const end = from + n;
    auto put = [&to](uint8_t b) {
        if (b == dm::kFlag || b == dm::kEscape) {
            *to++ = dm::kEscape;
            *to++ = static_cast<uint8_t>(b ^ 0x20);
        } else {
            *to++ = b;
        }
    };
    for (uint64_t v; end - from >= 8; from += 8) {
        std::memcpy(&v, from, 8);
        if (!hasFlagOrEscape(v)) {
            std::memcpy(to, &v, 8);
            to += 8;
            continue;
        }
        for (int i = 0; i < 8; ++i) put(from[i]);
    }
    while (from < end) put(*from++);
    return to;
}

// One frame of the packet made of `parts` one after the other, without joining them first.
void appendFrame(std::vector<uint8_t>& out, std::initializer_list<std::span<const uint8_t>> parts) {
    uint16_t reg = 0xFFFF;
    for (const auto& part : parts) reg = dm::crc16Update(reg, part.data(), part.size());
    const uint16_t crc = static_cast<uint16_t>(~reg);
    const uint8_t crcBytes[2] = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)};
    // Room for the worst case (every byte escaped), cut back to what was written.
    size_t most = 2 * sizeof crcBytes + 1;
    for (const auto& part : parts) most += 2 * part.size();
    const size_t at = out.size();
    out.resize(at + most);
    uint8_t* to = out.data() + at;
    for (const auto& part : parts) to = putEscaped(to, part.data(), part.size());
    to = putEscaped(to, crcBytes, 2);
    *to++ = dm::kFlag;
    out.resize(static_cast<size_t>(to - out.data()));
}

}  // namespace

void appendDmFrame(std::vector<uint8_t>& out, std::span<const uint8_t> packet) {
    appendFrame(out, {packet});
}

void RawExporter::addPacket(std::span<const uint8_t> head, std::span<const uint8_t> rest,
                            std::vector<uint8_t>& out) {
    if (head.empty() && rest.empty()) {
        ++stats_.empty;
        return;
    }
    uint8_t wrapper[8];
    size_t wrapped = 0;
    if (wrap_ && subscription_) {
        const uint32_t id = *subscription_;
        wrapper[0] = dm::kCmdMultiSim;
        wrapper[1] = 1;  // version, then two reserved bytes
        wrapper[2] = 0;
        wrapper[3] = 0;
        for (int i = 0; i < 4; ++i) wrapper[4 + i] = static_cast<uint8_t>(id >> (8 * i));
        wrapped = sizeof wrapper;
        ++stats_.wrapped;
    }
    const size_t before = out.size();
    appendFrame(out, {{wrapper, wrapped}, head, rest});
    stats_.bytes += out.size() - before;
    ++stats_.frames;
}

void RawExporter::addLogPacket(std::span<const uint8_t> bytes, std::vector<uint8_t>& out) {
    const uint8_t head[4] = {kCmdLog, 0, static_cast<uint8_t>(bytes.size()),
                             static_cast<uint8_t>(bytes.size() >> 8)};
    addPacket(head, bytes, out);
}

void RawExporter::addLog(const dm::LogContents& log, std::vector<uint8_t>& out) {
    beginLog();
    for (const auto& r : log.records) addRecord(r, log.bytes(r), out);
}

void RawExporter::addRecord(const dm::LogRecord& r, std::span<const uint8_t> bytes,
                            std::vector<uint8_t>& out) {
    const auto body = bytes.subspan(12);
    switch (r.code) {
        case dm::kCodeNote:
            if (auto id = subscriptionNote(body)) subscription_ = id;
            ++stats_.notes;
            break;
        case dm::kCodePacket:
        case dm::kCodeMessage:
            addPacket({}, body, out);
            break;
        case dm::kCodeEvent: {
            // The record: its length - 14, the event word, the time, the payload. One event
            // with a full time (bit 15 of the word clear) gives the same record back.
            if (body.size() < 12) {
                // Not one the receive path writes: as a log packet it still converts back
                // to itself.
                addLogPacket(bytes, out);
                break;
            }
            const uint16_t events = static_cast<uint16_t>(body.size() - 2);
            const uint8_t head[3] = {kCmdEvents, static_cast<uint8_t>(events),
                                     static_cast<uint8_t>(events >> 8)};
            addPacket(head, body.subspan(2), out);
            break;
        }
        case dm::kCodeConverted1F: {
            const uint8_t head[3] = {kCmd1F, 1, 0};
            addPacket(head, body, out);
            break;
        }
        default:
            addLogPacket(bytes, out);
            break;
    }
}

}  // namespace kvx::ota
