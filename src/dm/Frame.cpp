#include "dm/Frame.h"

#include <array>
#include <cstring>

#include "dm/Crc16.h"

namespace kvx::dm {

void put16(uint32_t value, uint8_t*& cursor) {
    *cursor++ = static_cast<uint8_t>(value);
    *cursor++ = static_cast<uint8_t>(value >> 8);
}

void put32(uint32_t value, uint8_t*& cursor) {
    for (int i = 0; i < 4; ++i) *cursor++ = static_cast<uint8_t>(value >> (8 * i));
}

size_t finishframe(uint8_t* buffer, size_t payloadLength) {
    if (payloadLength > kMaxPayload) return 0;
    uint16_t crc = crc16(buffer, static_cast<uint16_t>(payloadLength * 8));
    uint8_t* cursor = buffer + payloadLength;
    put16(crc, cursor);
    *cursor++ = kFlag;
    const size_t raw = payloadLength + 3;

    std::array<uint8_t, kFrameBufferSize> work;
    size_t n = 0;
    for (size_t i = 0; i + 1 < raw; ++i) {
        uint8_t b = buffer[i];
        if (b == kFlag || b == kEscape) {
            work[n++] = kEscape;
            work[n++] = static_cast<uint8_t>(b ^ 0x20);
        } else {
            work[n++] = b;
        }
    }
    work[n++] = kFlag;
    std::memcpy(buffer, work.data(), n);
    return n;
}

std::vector<uint8_t> buildFrame(std::span<const uint8_t> payload) {
    if (payload.size() > kMaxPayload) return {};
    std::array<uint8_t, kFrameBufferSize> buf;
    std::memcpy(buf.data(), payload.data(), payload.size());
    size_t n = finishframe(buf.data(), payload.size());
    return {buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n)};
}

size_t unescapereply(uint8_t* buffer, size_t count) {
    size_t out = 0;
    for (size_t i = 0; i < count; ++i) {
        if (buffer[i] == kEscape) {
            if (++i >= count) break;
            buffer[out++] = static_cast<uint8_t>(buffer[i] ^ 0x20);
        } else {
            buffer[out++] = buffer[i];
        }
    }
    return out;
}

}  // namespace kvx::dm
