#include "dm/Crc16.h"

#include <array>

namespace kvx::dm {
namespace {

constexpr uint16_t kPoly = 0x8408;

// tables[0] is the standard byte table; tables[k] advances a byte that is followed by k more
// bytes, so eight bytes can be folded in one step (same result as eight single steps).
constexpr std::array<std::array<uint16_t, 256>, 8> makeTables() {
    std::array<std::array<uint16_t, 256>, 8> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t r = static_cast<uint16_t>(i);
        for (int b = 0; b < 8; ++b) r = static_cast<uint16_t>((r & 1) ? (r >> 1) ^ kPoly : r >> 1);
        t[0][i] = r;
    }
    for (unsigned i = 0; i < 256; ++i) {
        for (size_t k = 1; k < 8; ++k) {
            uint16_t prev = t[k - 1][i];
            t[k][i] = static_cast<uint16_t>(t[0][prev & 0xFF] ^ (prev >> 8));
        }
    }
    return t;
}

constexpr auto kTables = makeTables();
constexpr const std::array<uint16_t, 256>& kTable = kTables[0];
static_assert(kTable[1] == 0x1189 && kTable[255] == 0x0F78);

}  // namespace

uint16_t crc16(const uint8_t* data, uint16_t lengthInBits) {
    uint16_t reg = 0xFFFF;
    for (uint16_t i = 0; i < lengthInBits / 8; ++i) {
        reg = static_cast<uint16_t>(kTable[(reg ^ data[i]) & 0xFF] ^ (reg >> 8));
    }
    return static_cast<uint16_t>(~reg);
}

uint16_t crc16Update(uint16_t reg, const uint8_t* data, size_t count) {
    while (count >= 8) {
        uint32_t lo = static_cast<uint32_t>(data[0] ^ (reg & 0xFF));
        uint32_t hi = static_cast<uint32_t>(data[1] ^ (reg >> 8));
        reg = static_cast<uint16_t>(kTables[7][lo] ^ kTables[6][hi] ^ kTables[5][data[2]] ^
                                    kTables[4][data[3]] ^ kTables[3][data[4]] ^
                                    kTables[2][data[5]] ^ kTables[1][data[6]] ^
                                    kTables[0][data[7]]);
        data += 8;
        count -= 8;
    }
    while (count--) reg = static_cast<uint16_t>(kTable[(reg ^ *data++) & 0xFF] ^ (reg >> 8));
    return reg;
}

}  // namespace kvx::dm
