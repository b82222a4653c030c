#include "modemsim/Wire.h"

#include "dm/Crc16.h"

namespace kvx::modemsim {

namespace {
inline void putEscaped(std::vector<uint8_t>& out, uint8_t b) {
    if (b == 0x7E || b == 0x7D) {
        out.push_back(0x7D);
        out.push_back(static_cast<uint8_t>(b ^ 0x20));
    } else {
        out.push_back(b);
    }
}
}  // namespace

size_t appendFrame(std::vector<uint8_t>& out, std::span<const uint8_t> payload) {
    const size_t before = out.size();
    // Room for the usual case (few escapes) in one step.
    out.reserve(before + payload.size() + payload.size() / 32 + 8);
    for (uint8_t b : payload) putEscaped(out, b);
    const uint16_t crc =
        static_cast<uint16_t>(~dm::crc16Update(0xFFFF, payload.data(), payload.size()));
    putEscaped(out, static_cast<uint8_t>(crc & 0xFF));
    putEscaped(out, static_cast<uint8_t>(crc >> 8));
    out.push_back(0x7E);
    return out.size() - before;
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
