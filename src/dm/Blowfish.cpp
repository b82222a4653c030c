#include "dm/Blowfish.h"

#include "dm/BlowfishTables.h"

namespace kvx::dm {
namespace {

inline uint32_t load32be(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void store32be(uint32_t v, uint8_t* p) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

}  // namespace

#define KVX_BF_F(x) \
    ((((s0[(x) >> 24] + s1[((x) >> 16) & 0xFF]) ^ s2[((x) >> 8) & 0xFF]) + s3[(x) & 0xFF]))

Blowfish::Blowfish(std::span<const uint8_t> key) : p_(blowfish_init::kP), s_(blowfish_init::kS) {
    const size_t n = key.empty() ? 1 : key.size();
    size_t j = 0;
    for (auto& word : p_) {
        uint32_t data = 0;
        for (int k = 0; k < 4; ++k) {
            data = (data << 8) | (key.empty() ? 0u : key[j]);
            j = (j + 1) % n;
        }
        word ^= data;
    }
    uint32_t l = 0, r = 0;
    for (size_t i = 0; i < p_.size(); i += 2) {
        encrypt(l, r);
        p_[i] = l;
        p_[i + 1] = r;
    }
    for (auto& box : s_) {
        for (size_t i = 0; i < box.size(); i += 2) {
            encrypt(l, r);
            box[i] = l;
            box[i + 1] = r;
        }
    }
}

void Blowfish::encrypt(uint32_t& left, uint32_t& right) const {
    const uint32_t* s0 = s_[0].data();
    const uint32_t* s1 = s_[1].data();
    const uint32_t* s2 = s_[2].data();
    const uint32_t* s3 = s_[3].data();
    uint32_t l = left, r = right;
    for (int i = 0; i < 16; i += 2) {
        l ^= p_[i];
        r ^= KVX_BF_F(l);
        r ^= p_[i + 1];
        l ^= KVX_BF_F(r);
    }
    l ^= p_[16];
    r ^= p_[17];
    left = r;
    right = l;
}

void Blowfish::decrypt(uint32_t& left, uint32_t& right) const {
    const uint32_t* s0 = s_[0].data();
    const uint32_t* s1 = s_[1].data();
    const uint32_t* s2 = s_[2].data();
    const uint32_t* s3 = s_[3].data();
    uint32_t l = left, r = right;
    for (int i = 17; i > 1; i -= 2) {
        l ^= p_[i];
        r ^= KVX_BF_F(l);
        r ^= p_[i - 1];
        l ^= KVX_BF_F(r);
    }
    l ^= p_[1];
    r ^= p_[0];
    left = r;
    right = l;
}

// Four independent blocks per round step: the table look-ups of one block hide the latency
// of the others.
void Blowfish::encryptBlocks(uint8_t* data, size_t blockCount) const {
    const uint32_t* s0 = s_[0].data();
    const uint32_t* s1 = s_[1].data();
    const uint32_t* s2 = s_[2].data();
    const uint32_t* s3 = s_[3].data();
    const uint32_t* p = p_.data();
    size_t b = 0;
    for (; b + 4 <= blockCount; b += 4) {
        uint8_t* d = data + b * 8;
        uint32_t l0 = load32be(d), r0 = load32be(d + 4);
        uint32_t l1 = load32be(d + 8), r1 = load32be(d + 12);
        uint32_t l2 = load32be(d + 16), r2 = load32be(d + 20);
        uint32_t l3 = load32be(d + 24), r3 = load32be(d + 28);
        for (int i = 0; i < 16; i += 2) {
            const uint32_t pa = p[i], pb = p[i + 1];
            l0 ^= pa;
            l1 ^= pa;
            l2 ^= pa;
            l3 ^= pa;
            r0 ^= KVX_BF_F(l0) ^ pb;
            r1 ^= KVX_BF_F(l1) ^ pb;
            r2 ^= KVX_BF_F(l2) ^ pb;
            r3 ^= KVX_BF_F(l3) ^ pb;
            l0 ^= KVX_BF_F(r0);
            l1 ^= KVX_BF_F(r1);
            l2 ^= KVX_BF_F(r2);
            l3 ^= KVX_BF_F(r3);
        }
        const uint32_t p16 = p[16], p17 = p[17];
        store32be(r0 ^ p17, d);
        store32be(l0 ^ p16, d + 4);
        store32be(r1 ^ p17, d + 8);
        store32be(l1 ^ p16, d + 12);
        store32be(r2 ^ p17, d + 16);
        store32be(l2 ^ p16, d + 20);
        store32be(r3 ^ p17, d + 24);
        store32be(l3 ^ p16, d + 28);
    }
    for (; b < blockCount; ++b) {
        uint8_t* d = data + b * 8;
        uint32_t l = load32be(d), r = load32be(d + 4);
        encrypt(l, r);
        store32be(l, d);
        store32be(r, d + 4);
    }
}

// Interleaved as encryptBlocks: reading a log back deciphers it whole.
void Blowfish::decryptBlocks(uint8_t* data, size_t blockCount) const {
    const uint32_t* s0 = s_[0].data();
    const uint32_t* s1 = s_[1].data();
    const uint32_t* s2 = s_[2].data();
    const uint32_t* s3 = s_[3].data();
    const uint32_t* p = p_.data();
    size_t b = 0;
    for (; b + 4 <= blockCount; b += 4) {
        uint8_t* d = data + b * 8;
        uint32_t l0 = load32be(d), r0 = load32be(d + 4);
        uint32_t l1 = load32be(d + 8), r1 = load32be(d + 12);
        uint32_t l2 = load32be(d + 16), r2 = load32be(d + 20);
        uint32_t l3 = load32be(d + 24), r3 = load32be(d + 28);
        for (int i = 17; i > 1; i -= 2) {
            const uint32_t pa = p[i], pb = p[i - 1];
            l0 ^= pa;
            l1 ^= pa;
            l2 ^= pa;
            l3 ^= pa;
            r0 ^= KVX_BF_F(l0) ^ pb;
            r1 ^= KVX_BF_F(l1) ^ pb;
            r2 ^= KVX_BF_F(l2) ^ pb;
            r3 ^= KVX_BF_F(l3) ^ pb;
            l0 ^= KVX_BF_F(r0);
            l1 ^= KVX_BF_F(r1);
            l2 ^= KVX_BF_F(r2);
            l3 ^= KVX_BF_F(r3);
        }
        const uint32_t p1 = p[1], p0 = p[0];
        store32be(r0 ^ p0, d);
        store32be(l0 ^ p1, d + 4);
        store32be(r1 ^ p0, d + 8);
        store32be(l1 ^ p1, d + 12);
        store32be(r2 ^ p0, d + 16);
        store32be(l2 ^ p1, d + 20);
        store32be(r3 ^ p0, d + 24);
        store32be(l3 ^ p1, d + 28);
    }
    for (; b < blockCount; ++b) {
        uint8_t* d = data + b * 8;
        uint32_t l = load32be(d), r = load32be(d + 4);
        decrypt(l, r);
        store32be(l, d);
        store32be(r, d + 4);
    }
}

#undef KVX_BF_F

const Blowfish& logCipher() {
    static const Blowfish cipher{std::span<const uint8_t>(kLogKey)};
    return cipher;
}

}  // namespace kvx::dm
