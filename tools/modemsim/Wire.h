// The modem's side of DM framing: frames of any length for its output (log packets beyond
// 2048 bytes included), and a bounded deframer for the bytes a host sends it.
// Pure functions and one small state machine; no threads, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kvx::modemsim {

// Appends the wire frame of `payload` to `out`: payload and CRC-16 (low byte first) with
// 0x7D/0x7E escaped, then 0x7E. Any payload length (the host-side builder stops at 2045).
// Returns the number of bytes appended.
size_t appendFrame(std::vector<uint8_t>& out, std::span<const uint8_t> payload);

// One frame cut from the host's bytes. The spans point into the deframer and are valid only
// during the callback.
struct DeframedRequest {
    std::span<const uint8_t> frame;  // unescaped bytes before the 0x7E, CRC bytes included
    bool crcOk = false;              // CRC over the frame gives the good result
    bool overflow = false;           // longer than the deframer keeps: cut, never CRC-ok
    // The frame without its two CRC bytes (all of it when shorter than 2).
    std::span<const uint8_t> payload() const {
        return frame.size() >= 2 ? frame.first(frame.size() - 2) : frame;
    }
};

// Cuts the host's byte stream into frames: 0x7D escapes the next byte (XOR 0x20), 0x7E ends
// a frame; an empty frame (a leading or doubled 0x7E, as some hosts send to flush) is skipped.
// Escape state and a partial frame persist across feed() calls. Memory is bounded by
// maxFrame bytes.
class RequestDeframer {
public:
    static constexpr size_t kDefaultMaxFrame = 8192;

    explicit RequestDeframer(size_t maxFrame = kDefaultMaxFrame);

    // Calls onFrame(const DeframedRequest&) for every frame completed by `bytes`.
    template <class OnFrame>
    void feed(std::span<const uint8_t> bytes, OnFrame&& onFrame) {
        for (uint8_t b : bytes) {
            if (b == 0x7E) {
                if (!acc_.empty() || overflow_) onFrame(finish());
                acc_.clear();
                overflow_ = false;
                escape_ = false;
                continue;
            }
            if (b == 0x7D && !escape_) {
                escape_ = true;
                continue;
            }
            uint8_t v = escape_ ? static_cast<uint8_t>(b ^ 0x20) : b;
            escape_ = false;
            if (acc_.size() < maxFrame_)
                acc_.push_back(v);
            else
                overflow_ = true;
        }
    }

    // Forgets a partial frame and a pending escape (a new connection).
    void reset();

private:
    DeframedRequest finish() const;

    std::vector<uint8_t> acc_;
    size_t maxFrame_;
    bool escape_ = false;
    bool overflow_ = false;
};

// True when the CRC over `frame` (payload followed by its CRC bytes) is the good result.
bool crcGood(std::span<const uint8_t> frame);

}  // namespace kvx::modemsim
