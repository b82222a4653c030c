// The packets of a recorded raw DM capture (.qmdl/.mi2log framing: payload, CRC-16/X-25 low
// byte first, 0x7E, with 0x7D escapes), for the modem to stream again: log packets (0x10),
// event reports (0x60), extended and compressed messages (0x79, 0x92), each also when
// wrapped in a multi-SIM packet (0x98). Replies and damaged frames of the recording are left
// out. The packets go out in recorded order, again from the start at the end, their time
// stamps moved so that the recording appears to happen now.
// Parsing is bounded: frames longer than kMaxFrame are skipped, at most kMaxPackets kept.
// Not thread-safe: one owner (the modem's model) reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kvx::modemsim {

class ReplaySource {
public:
    static constexpr size_t kMaxFrame = 16384;
    static constexpr size_t kMaxPackets = 1000000;
    static constexpr size_t kMaxFileBytes = 256u * 1024 * 1024;

    // Cuts `bytes` (a whole capture) into the packets to stream.
    explicit ReplaySource(std::span<const uint8_t> bytes);

    // Reads a capture file; on failure `error` says why and the source is empty.
    static ReplaySource fromFile(const std::string& path, std::string& error);

    size_t size() const { return packets_.size(); }
    bool empty() const { return packets_.empty(); }
    const std::vector<uint8_t>& packet(size_t i) const { return packets_[i]; }

    // The next packet in order (wrapping around) re-timed to `now` (a DM time stamp): the
    // first packet of every pass gets `now`, the others keep their recorded distance to it.
    // Null when the source is empty.
    const std::vector<uint8_t>* next(uint64_t now);
    // How many packets next() has handed out.
    uint64_t handedOut() const { return handedOut_; }

private:
    std::vector<std::vector<uint8_t>> packets_;
    std::vector<uint8_t> current_;
    size_t cursor_ = 0;
    uint64_t origin_ = 0;  // the recording's first time stamp
    uint64_t base_ = 0;    // `now` at the start of the current pass
    uint64_t handedOut_ = 0;
};

// The command of the packet a frame carries, looking inside a multi-SIM wrapper; the offset
// of that packet in `payload` is stored in `inner`.
uint8_t innerCommand(std::span<const uint8_t> payload, size_t& inner);

// The recorded time stamp of a streamed packet (0x10, 0x79, 0x92, or the first full stamp of
// a 0x60 report); 0 when it has none.
uint64_t packetStamp(std::span<const uint8_t> payload);

// Moves every time stamp of the packet by `delta` units (wrapping at 2^64). In event reports
// each full stamp moves, and each short one (bytes 1-2 of the last full stamp) with it.
void shiftStamps(std::span<uint8_t> payload, uint64_t delta);

// Calls onEvent(id, timeOffset, timeSize) for each event of a 0x60 report (command byte
// first; the event's time stamp lies at timeOffset, 8 bytes or 2 for a short one); bounded
// by the report's bytes. False when the report is cut short.
template <class OnEvent>
bool forEachEvent(std::span<const uint8_t> report, OnEvent&& onEvent);

}  // namespace kvx::modemsim

#include "modemsim/ReplayEvents.inl"
