#include "ota/RawExport.h"

#include <algorithm>

#include "dm/Crc16.h"
#include "dm/Frame.h"
#include "dm/KvxLog.h"
#include "ota/PcapExport.h"

namespace kvx::ota {
namespace {

constexpr uint8_t kCmdLog = 0x10;
constexpr uint8_t kCmdEvents = 0x60;
constexpr uint8_t kCmd1F = 0x1F;

// Appends `n` bytes escaped: the runs between flag and escape bytes are copied whole.
void appendEscaped(std::vector<uint8_t>& out, const uint8_t* from, size_t n) {
    const uint8_t* const end = from + n;
    while (from < end) {
        const uint8_t* run = from;
        while (run < end && *run != dm::kFlag && *run != dm::kEscape) ++run;
        out.insert(out.end(), from, run);
        if (run == end) break;
        out.push_back(dm::kEscape);
        out.push_back(static_cast<uint8_t>(*run ^ 0x20));
        from = run + 1;
    }
}

}  // namespace

void appendDmFrame(std::vector<uint8_t>& out, std::span<const uint8_t> packet) {
    const uint16_t crc =
        static_cast<uint16_t>(~dm::crc16Update(0xFFFF, packet.data(), packet.size()));
    const uint8_t crcBytes[2] = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)};
    appendEscaped(out, packet.data(), packet.size());
    appendEscaped(out, crcBytes, 2);
    out.push_back(dm::kFlag);
}

std::optional<uint32_t> subscriptionAt(const dm::LogContents& log, size_t index) {
    for (size_t i = std::min(index, log.records.size()); i-- > 0;) {
        const auto& r = log.records[i];
        if (r.code != dm::kCodeNote) continue;
        if (auto id = subscriptionNote(log.body(r))) return id;
    }
    return std::nullopt;
}

void RawExporter::addPacket(std::span<const uint8_t> head, std::span<const uint8_t> rest,
                            std::vector<uint8_t>& out) {
    if (head.empty() && rest.empty()) {
        ++stats_.empty;
        return;
    }
    packet_.clear();
    if (wrap_ && subscription_) {
        const uint32_t id = *subscription_;
        packet_.push_back(dm::kCmdMultiSim);
        packet_.push_back(1);  // version, then two reserved bytes
        packet_.push_back(0);
        packet_.push_back(0);
        for (int i = 0; i < 4; ++i) packet_.push_back(static_cast<uint8_t>(id >> (8 * i)));
        ++stats_.wrapped;
    }
    packet_.insert(packet_.end(), head.begin(), head.end());
    packet_.insert(packet_.end(), rest.begin(), rest.end());
    const size_t before = out.size();
    appendDmFrame(out, packet_);
    stats_.bytes += out.size() - before;
    ++stats_.frames;
}

void RawExporter::addLogPacket(const dm::LogContents& log, const dm::LogRecord& r,
                               std::vector<uint8_t>& out) {
    const uint8_t head[4] = {kCmdLog, 0, static_cast<uint8_t>(r.length),
                             static_cast<uint8_t>(r.length >> 8)};
    addPacket(head, log.bytes(r), out);
}

void RawExporter::addLog(const dm::LogContents& log, std::vector<uint8_t>& out) {
    beginLog();
    for (const auto& r : log.records) addRecord(log, r, out);
}

void RawExporter::addRecord(const dm::LogContents& log, const dm::LogRecord& r,
                            std::vector<uint8_t>& out) {
    const auto body = log.body(r);
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
                addLogPacket(log, r, out);
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
            addLogPacket(log, r, out);
            break;
    }
}

}  // namespace kvx::ota
