// CRC-16/X-25 check values and residue, the worked wire frames, escaping and its bounds, and
// the one-shot reply unescaper.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "LogTestSupport.h"
#include "dm/Crc16.h"
#include "dm/Frame.h"
#include "dm/ShortCopy.h"

namespace kvx::dm {
namespace {

using dmtest::Bytes;

uint16_t crcOfText(const std::string& s) {
    return crc16(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint16_t>(s.size() * 8));
}

TEST(Crc16, CheckValues) {
    const struct {
        std::string text;
        uint16_t crc;
    } cases[] = {{"123456789", 0x906E}, {"abc", 0x9E25}, {"", 0x0000}};
    for (const auto& c : cases) {
        EXPECT_EQ(crcOfText(c.text), c.crc) << c.text;
        const auto* p = reinterpret_cast<const uint8_t*>(c.text.data());
        EXPECT_EQ(static_cast<uint16_t>(~crc16Update(0xFFFF, p, c.text.size())), c.crc) << c.text;
    }
}

TEST(Crc16, ResidueOfIntactPayloadAndEveryFlippedBitBreaksIt) {
    std::mt19937 rng(11);
    for (size_t n : {1u, 2u, 9u, 64u, 300u}) {
        Bytes p(n);
        for (auto& b : p) b = static_cast<uint8_t>(rng());
        const uint16_t crc = crc16(p.data(), static_cast<uint16_t>(n * 8));
        p.push_back(static_cast<uint8_t>(crc));
        p.push_back(static_cast<uint8_t>(crc >> 8));
        ASSERT_EQ(crc16(p.data(), static_cast<uint16_t>(p.size() * 8)), kCrcGoodResult) << n;
        for (size_t bit = 0; bit < p.size() * 8; ++bit) {
            p[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            EXPECT_NE(crc16(p.data(), static_cast<uint16_t>(p.size() * 8)), kCrcGoodResult)
                << "length " << n << " bit " << bit;
            p[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        }
    }
}

// The eight-byte folding of crc16Update must agree with the plain byte loop at every length
// and every alignment of the tail, also when continued from a register.
TEST(Crc16, UpdateAgreesWithCrc16AtEveryLength) {
    std::mt19937 rng(5);
    Bytes data(300);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    for (size_t n = 0; n <= data.size(); ++n) {
        const uint16_t whole = crc16(data.data(), static_cast<uint16_t>(n * 8));
        ASSERT_EQ(static_cast<uint16_t>(~crc16Update(0xFFFF, data.data(), n)), whole) << n;
        const size_t cut = n / 3;
        const uint16_t reg = crc16Update(0xFFFF, data.data(), cut);
        ASSERT_EQ(static_cast<uint16_t>(~crc16Update(reg, data.data() + cut, n - cut)), whole) << n;
    }
}

TEST(Frame, WorkedFrames) {
    const struct {
        Bytes payload, wire;
    } cases[] = {
        {{0x1D}, {0x1D, 0x1C, 0x3B, 0x7E}},
        {{0x60, 0x01}, {0x60, 0x01, 0x9B, 0x7B, 0x7E}},
        {{0x7D, 0x01}, {0x7D, 0x5D, 0x01, 0x72, 0x5E, 0x7E}},
        {{0x81, 0x00, 0x00, 0x00}, {0x81, 0x00, 0x00, 0x00, 0x0B, 0xCD, 0x7E}},
        {{0x06}, {0x06, 0x4E, 0x95, 0x7E}},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> buf(kFrameBufferSize);
        std::copy(c.payload.begin(), c.payload.end(), buf.begin());
        const size_t n = finishframe(buf.data(), c.payload.size());
        EXPECT_EQ(Bytes(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n)), c.wire);
        EXPECT_EQ(buildFrame(c.payload), c.wire);
    }
}

TEST(Frame, EscapesFlagAndEscapeBytesOnlyAndCountsThem) {
    const struct {
        Bytes payload;
        size_t escapes;
    } cases[] = {
        {{0x7E}, 1},
        {{0x7D, 0x7E, 0x7D}, 3},
        {{0x5D, 0x5E, 0x20, 0x7C, 0x7F}, 0},
        {Bytes(2045, 0x7E), 2045},
        {Bytes(2045, 0x41), 0},
    };
    for (const auto& c : cases) {
        const Bytes w = buildFrame(c.payload);
        const Bytes plain = dmtest::plainFrame(c.payload);
        size_t crcEscapes = (plain[plain.size() - 3] == 0x7E || plain[plain.size() - 3] == 0x7D) +
                            (plain[plain.size() - 2] == 0x7E || plain[plain.size() - 2] == 0x7D);
        ASSERT_EQ(w.size(), c.payload.size() + 3 + c.escapes + crcEscapes);
        EXPECT_EQ(w, dmtest::wire(c.payload));
        EXPECT_EQ(w.back(), 0x7E);
        for (size_t i = 0; i + 1 < w.size(); ++i) ASSERT_NE(w[i], 0x7E) << i;
    }
    // The worst case of the largest payload fills the working buffer and no more.
    EXPECT_LE(buildFrame(Bytes(kMaxPayload, 0x7D)).size(), kFrameBufferSize);
}

TEST(Frame, PayloadAboveLimitIsRefused) {
    std::vector<uint8_t> buf(kFrameBufferSize, 0x7E);
    EXPECT_EQ(finishframe(buf.data(), 2046), 0u);
    EXPECT_EQ(buf, std::vector<uint8_t>(kFrameBufferSize, 0x7E));  // left untouched
    EXPECT_TRUE(buildFrame(Bytes(2046, 0)).empty());
    EXPECT_FALSE(buildFrame(Bytes(2045, 0)).empty());
}

TEST(Frame, PutWritesLittleEndianAndAdvances) {
    uint8_t buf[8] = {};
    uint8_t* cur = buf;
    put16(0xABCD1234, cur);
    put32(0x89ABCDEF, cur);
    EXPECT_EQ(cur, buf + 6);
    EXPECT_EQ(Bytes(buf, buf + 6), (Bytes{0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89}));
}

TEST(Frame, UnescapeReply) {
    const struct {
        Bytes in, out;
    } cases[] = {
        {{0x7D, 0x5D, 0x01, 0x72, 0x7D, 0x5E, 0x7E}, {0x7D, 0x01, 0x72, 0x7E, 0x7E}},
        {{}, {}},
        {{0x01, 0x7E, 0x02}, {0x01, 0x7E, 0x02}},  // no split at a flag
        {{0x01, 0x7D}, {0x01}},                    // a lone escape at the end is dropped
        {{0x7D, 0x7D}, {0x5D}},
    };
    for (const auto& c : cases) {
        Bytes b = c.in;
        const size_t n = unescapereply(b.data(), b.size());
        EXPECT_EQ(Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)), c.out);
    }
    // Every wire frame unescapes to its plain frame.
    for (const Bytes& p : {Bytes{0x7D, 0x01}, Bytes{0x7E, 0x7D, 0x00, 0x7E}, Bytes{0x1D}}) {
        Bytes w = dmtest::wire(p);
        w.resize(unescapereply(w.data(), w.size()));
        EXPECT_EQ(w, dmtest::plainFrame(p));
    }
}

// The copy that moves runs between escapes: each length of every size class, at each offset
// within a word, writes exactly its bytes and none beside them.
TEST(ShortCopy, EveryLengthWritesExactlyItsBytes) {
    std::vector<uint8_t> src(200);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 7 + 1);
    for (size_t n = 0; n <= 130; ++n) {
        for (size_t at = 0; at < 8; ++at) {
            std::vector<uint8_t> dst(n + 32, 0xEE);
            if (n <= 8) {
                std::vector<uint8_t> small(n + 32, 0xEE);
                copyUpTo8(small.data() + 16 + at % 4, src.data() + at, n);
                copyShort(dst.data() + 16 + at % 4, src.data() + at, n);
                ASSERT_EQ(small, dst) << "length " << n;
            } else {
                copyShort(dst.data() + 16 + at % 4, src.data() + at, n);
            }
            for (size_t i = 0; i < dst.size(); ++i) {
                const size_t first = 16 + at % 4;
                const bool inside = i >= first && i < first + n;
                ASSERT_EQ(dst[i], inside ? src[at + i - first] : 0xEE)
                    << "length " << n << ", offset " << at << ", byte " << i;
            }
        }
    }
}

}  // namespace
}  // namespace kvx::dm
