// The walk over the events of an event report, shared by the replay's re-timing and the
// model's mask check. Included by Replay.h only.
#pragma once

namespace kvx::modemsim {

template <class OnEvent>
bool forEachEvent(std::span<const uint8_t> report, OnEvent&& onEvent) {
    // Command, LE16 length, then events: LE16 word (bit 15 short time; bits 13-14 payload
    // kind; bits 0-11 the id), 8 or 2 time bytes, payload of 0, 1, 2 or 1 + N bytes.
    size_t pos = 3;
    while (pos < report.size()) {
        if (report.size() - pos < 2) return false;
        const unsigned word = report[pos] | report[pos + 1] << 8;
        const size_t time = (word & 0x8000) ? 2 : 8;
        const unsigned kind = (word >> 13) & 3;
        size_t payload = kind == 3 ? 1 : kind;
        if (report.size() - pos < 2 + time + payload) return false;
        if (kind == 3) payload += report[pos + 2 + time];
        if (report.size() - pos < 2 + time + payload) return false;
        onEvent(static_cast<uint16_t>(word & 0x0FFF), pos + 2, time);
        pos += 2 + time + payload;
    }
    return true;
}

}  // namespace kvx::modemsim
