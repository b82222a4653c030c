// Blowfish, 16 rounds, with the published initial P-array and S-boxes (compile-time tables)
// and the published key schedule. Blocks are 8 bytes: bytes 0-3 the left half and bytes 4-7
// the right half, each most significant byte first (the byte order of the test vectors).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kvx::dm {

class Blowfish {
public:
    // Key of 1 to 72 bytes, taken cyclically by the key schedule.
    explicit Blowfish(std::span<const uint8_t> key);

    void encrypt(uint32_t& left, uint32_t& right) const;
    void decrypt(uint32_t& left, uint32_t& right) const;

    // Electronic codebook over whole blocks, in place. Several independent blocks are
    // enciphered side by side to keep the processor busy.
    void encryptBlocks(uint8_t* data, size_t blockCount) const;
    void decryptBlocks(uint8_t* data, size_t blockCount) const;

private:
    std::array<uint32_t, 18> p_;
    std::array<std::array<uint32_t, 256>, 4> s_;
};

// The fixed key of every .kvx log: 36 ASCII characters, no terminator.
inline constexpr std::array<uint8_t, 36> kLogKey = {
    '7', 'p', 'z', '!', 'K', '%', 'r', '2', '=', 'H', 'w', '*', 'q', 'X', 'e', '9', '.', '.',
    'u', 'T', '&', 'm', '4', '[', '}', 'L', 'c', '3', 'b', 'n', 'j', '-', 'v', 's', '^', 'Y'};

// The cipher state keyed with kLogKey, set up once.
const Blowfish& logCipher();

}  // namespace kvx::dm
