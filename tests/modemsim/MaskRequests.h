// Log mask requests as the engine builds them, for the simulated modem's tests.
#pragma once

#include <cstdint>
#include <vector>

namespace kvx::modemsim::test {

inline void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// 0x73 op 3 for one equipment: the bits of `codes` that belong to it, `limit` items wide.
inline std::vector<uint8_t> logMaskSet(uint32_t equipment, uint32_t limit,
                                       const std::vector<uint16_t>& codes) {
    std::vector<uint8_t> r{0x73, 0, 0, 0};
    put32(r, 3);
    put32(r, equipment);
    put32(r, limit);
    std::vector<uint8_t> mask((limit + 7) / 8);
    for (uint16_t c : codes)
        if ((c >> 12) == equipment && (c & 0xFFF) / 8u < mask.size())
            mask[(c & 0xFFF) / 8] |= static_cast<uint8_t>(1 << (c % 8));
    r.insert(r.end(), mask.begin(), mask.end());
    return r;
}

}  // namespace kvx::modemsim::test
