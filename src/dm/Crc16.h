// CRC-16/X-25 (the HDLC frame check sequence) used by every DM and download-mode frame.
// Table-driven, one step per byte; the table is a compile-time constant.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvx::dm {

// Result of crc16 over an intact payload followed by its own two CRC bytes (low byte first).
inline constexpr uint16_t kCrcGoodResult = 0x0F47;

// The CRC of `lengthInBits / 8` bytes at `data`: initial register 0xFFFF, reflected
// polynomial 0x8408, result complemented. The length counts bits in 16 bits, so one call
// covers at most 8191 bytes; callers pass whole bytes.
uint16_t crc16(const uint8_t* data, uint16_t lengthInBits);

// The raw register step over any number of bytes (no initial value, no final complement):
// crc16(d, n*8) == static_cast<uint16_t>(~crc16Update(0xFFFF, d, n)). Unbounded length;
// the receive path uses it on frames of any size.
uint16_t crc16Update(uint16_t reg, const uint8_t* data, size_t count);

}  // namespace kvx::dm
