#include "modemsim/Wire.h"

#include "dm/Crc16.h"

namespace kvx::modemsim {

namespace {
inline uint8_t* putEscaped(uint8_t* w, uint8_t b) {
    if (b == 0x7E || b == 0x7D) {
        *w++ = 0x7D;
        *w++ = static_cast<uint8_t>(b ^ 0x20);
    } else {
        *w++ = b;
    }
    return w;
}
}  // namespace

size_t appendFrame(std::vector<uint8_t>& out, std::span<const uint8_t> payload) {
    const size_t before = out.size();
    // Room for the worst case (every byte escaped), given back once the frame is written:
    // one pass through raw memory, as the stream is made at the terminal's full speed.
    out.resize(before + 2 * payload.size() + 5);
    uint8_t* const start = out.data() + before;
    uint8_t* w = start;
    for (uint8_t b : payload) w = putEscaped(w, b);
    const uint16_t crc =
        static_cast<uint16_t>(~dm::crc16Update(0xFFFF, payload.data(), payload.size()));
    w = putEscaped(w, static_cast<uint8_t>(crc & 0xFF));
    w = putEscaped(w, static_cast<uint8_t>(crc >> 8));
    *w++ = 0x7E;
    const size_t n = static_cast<size_t>(w - start);
    out.resize(before + n);
    return n;
}

bool crcGood(std::span<const uint8_t> frame) {
    if (frame.size() < 3) return false;  // a payload of at least one byte and two CRC bytes
    return static_cast<uint16_t>(~dm::crc16Update(0xFFFF, frame.data(), frame.size())) ==
           dm::kCrcGoodResult;
}

RequestDeframer::RequestDeframer(size_t maxFrame) : maxFrame_(maxFrame) {
    acc_.reserve(maxFrame_ < 4096 ? maxFrame_ : 4096);
}

void RequestDeframer::reset() {
    acc_.clear();
    escape_ = false;
    overflow_ = false;
}

DeframedRequest RequestDeframer::finish() const {
    DeframedRequest r;
    r.frame = std::span<const uint8_t>(acc_.data(), acc_.size());
    r.overflow = overflow_;
    r.crcOk = !overflow_ && crcGood(r.frame);
    return r;
}

}  // namespace kvx::modemsim
