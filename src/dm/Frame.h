// DM framing: little-endian field writers, finishing a payload into an escaped wire frame
// (CRC low byte first, 0x7E terminator, 0x7D/0x7E escaped), and the one-shot reply unescaper.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kvx::dm {

inline constexpr uint8_t kFlag = 0x7E;
inline constexpr uint8_t kEscape = 0x7D;
// Working buffer of a request, and so the largest escaped frame.
inline constexpr size_t kFrameBufferSize = 4096;
// Largest payload whose worst-case escaped frame (every byte escaped, CRC, flag) fits.
inline constexpr size_t kMaxPayload = 2045;

// Write the low 16 / all 32 bits of `value` at `cursor`, least significant byte first,
// and advance the cursor.
void put16(uint32_t value, uint8_t*& cursor);
void put32(uint32_t value, uint8_t*& cursor);

// `buffer` holds `payloadLength` payload bytes and has room for kFrameBufferSize bytes.
// Appends the CRC and 0x7E, escapes payload and CRC, and leaves the finished frame at the
// start of `buffer`. Returns the frame length (terminator included), or 0 when the payload
// is longer than kMaxPayload: such a payload is refused, never truncated.
size_t finishframe(uint8_t* buffer, size_t payloadLength);

// Convenience: the wire frame of `payload`, empty when the payload is refused.
std::vector<uint8_t> buildFrame(std::span<const uint8_t> payload);

// Undoes escaping in place, front to back: a 0x7D is dropped and the next byte stored XOR 0x20.
// Returns the new count. Neither splits at 0x7E nor checks the CRC. A trailing lone 0x7D is
// dropped.
size_t unescapereply(uint8_t* buffer, size_t count);

}  // namespace kvx::dm
