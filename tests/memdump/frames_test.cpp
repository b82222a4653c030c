// The download-mode frames: the fixed host frames and read requests byte for byte, the
// receiver over every way the modem's bytes can be cut, and the two parsers of outside bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dm/Crc16.h"
#include "memdump/MemFrames.h"
#include "modemsim/Wire.h"

namespace kvx::memdump {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes wire(const Bytes& payload, bool leadingFlag) {
    Bytes out;
    if (leadingFlag) out.push_back(0x7E);
    modemsim::appendFrame(out, payload);
    return out;
}

// Every complete frame the receiver yields for `bytes` fed in pieces of `piece` bytes:
// the payload when good, {0xEE} for a bad frame.
std::vector<Bytes> cut(const Bytes& bytes, size_t piece) {
    FrameReceiver rx;
    std::vector<Bytes> frames;
    for (size_t i = 0; i < bytes.size(); i += piece) {
        const size_t n = std::min(piece, bytes.size() - i);
        rx.feed(std::span<const uint8_t>(bytes.data() + i, n));
        ReceivedFrame f;
        while (rx.next(f)) {
            auto p = f.payload();
            frames.push_back(p ? Bytes(p->begin(), p->end()) : Bytes{0xEE});
        }
    }
    return frames;
}

TEST(MemFrames, FixedFramesAreTheCrcOfTheirCode) {
    const struct {
        const std::array<uint8_t, 5>& frame;
        Bytes expected;
    } cases[] = {
        {kNoOperationFrame, {0x7E, 0x06, 0x4E, 0x95, 0x7E}},
        {kParameterRequestFrame, {0x7E, 0x07, 0xC7, 0x84, 0x7E}},
        {kResetFrame, {0x7E, 0x0A, 0x22, 0x5F, 0x7E}},
        {kMemDebugQueryFrame, {0x7E, 0x10, 0xF9, 0xE0, 0x7E}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Bytes(c.frame.begin(), c.frame.end()), c.expected);
        const uint8_t code = c.frame[1];
        const uint16_t crc = dm::crc16(&code, 8);
        EXPECT_EQ(c.frame[2], crc & 0xFF) << int(code);
        EXPECT_EQ(c.frame[3], crc >> 8) << int(code);
    }
}

TEST(MemFrames, ReadRequestIsBigEndianWithItsCrcAndEscapes) {
    const auto req = buildReadRequest(0x00001000, 2040);
    const Bytes payload{0x12, 0x00, 0x00, 0x10, 0x00, 0x07, 0xF8};
    const uint16_t crc = dm::crc16(payload.data(), 7 * 8);
    Bytes expected{0x7E};
    expected.insert(expected.end(), payload.begin(), payload.end());
    for (uint8_t b : {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)}) {
        if (b == 0x7E || b == 0x7D) {
            expected.push_back(0x7D);
            expected.push_back(b ^ 0x20);
        } else {
            expected.push_back(b);
        }
    }
    expected.push_back(0x7E);
    EXPECT_EQ(Bytes(req.frame().begin(), req.frame().end()), expected);

    // Some address gives a CRC byte of 0x7E: it goes out as 7D 5E and the frame still reads
    // back as the request. Address and length bytes 0x7E/0x7D are escaped too.
    bool sawEscapedCrc = false;
    for (uint32_t a = 0; a < 4096 && !sawEscapedCrc; ++a) {
        const uint8_t p[7] = {0x12, 0, 0, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a), 0, 8};
        const uint16_t c = dm::crc16(p, 7 * 8);
        if ((c & 0xFF) != 0x7E && (c >> 8) != 0x7E) continue;
        sawEscapedCrc = true;
        const auto r = buildReadRequest(a, 8);
        const Bytes f(r.frame().begin(), r.frame().end());
        const Bytes tail = (c & 0xFF) == 0x7E ? Bytes{0x7D, 0x5E} : Bytes{0x7D, 0x5E, 0x7E};
        EXPECT_NE(std::search(f.begin(), f.end(), tail.begin(), tail.end()), f.end());
        EXPECT_EQ(cut(f, f.size()), (std::vector<Bytes>{Bytes(p, p + 7)}));
    }
    EXPECT_TRUE(sawEscapedCrc);
    const auto esc = buildReadRequest(0x7E7D7E7D, 0x7E7D);
    EXPECT_EQ(cut(Bytes(esc.frame().begin(), esc.frame().end()), 3),
              (std::vector<Bytes>{{0x12, 0x7E, 0x7D, 0x7E, 0x7D, 0x7E, 0x7D}}));
}

TEST(MemFrames, ReceiverCutsFramesHoweverTheBytesArrive) {
    const Bytes ack{0x02};
    Bytes chunk = {0x13, 0x00, 0x00, 0x10, 0x00, 0x07, 0xF8};
    for (int i = 0; i < 2040; ++i) chunk.push_back(i % 2 ? 0x7E : (i % 3 ? 0x7D : 0x41));
    Bytes stream = wire(ack, true);
    const Bytes big = wire(chunk, false);
    ASSERT_GT(big.size(), 3096u);  // more than one read of the original receive path
    stream.insert(stream.end(), big.begin(), big.end());
    const Bytes again = wire(ack, true);
    stream.insert(stream.end(), again.begin(), again.end());

    const std::vector<Bytes> expected{ack, chunk, ack};
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}, size_t{3096},
                         stream.size()})
        EXPECT_EQ(cut(stream, piece), expected) << "pieces of " << piece;
}

TEST(MemFrames, ReceiverUnescapesBeforeTheCrcAndRejectsBadFrames) {
    // 7D 5D between the flags is one 0x7D before the CRC is checked.
    const Bytes payload{0x13, 0x7D, 0x01};
    const Bytes f = wire(payload, true);
    const Bytes escaped{0x7D, 0x5D};
    EXPECT_NE(std::search(f.begin(), f.end(), escaped.begin(), escaped.end()), f.end());
    EXPECT_EQ(cut(f, 1), std::vector<Bytes>{payload});

    Bytes damaged = f;
    damaged[damaged.size() - 4] ^= 0x01;
    EXPECT_EQ(cut(damaged, damaged.size()), std::vector<Bytes>{{0xEE}});
    // Too short for a CRC, and far too long for this protocol.
    EXPECT_EQ(cut({0x7E, 0x02, 0x7E}, 3), std::vector<Bytes>{{0xEE}});
    Bytes huge(kMaxFrameContent + 10, 0x41);
    huge.push_back(0x7E);
    huge.insert(huge.end(), f.begin(), f.end());
    EXPECT_EQ(cut(huge, 1000), (std::vector<Bytes>{{0xEE}, payload}));
}

Bytes table(const std::vector<Bytes>& entries, int lengthAdjust = 0) {
    Bytes body;
    for (const auto& e : entries) body.insert(body.end(), e.begin(), e.end());
    const size_t len = body.size() + static_cast<size_t>(lengthAdjust);
    Bytes p{0x11, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

Bytes entry(uint32_t base, uint32_t length, const std::string& desc, const std::string& name) {
    Bytes e{0x01, static_cast<uint8_t>(base >> 24), static_cast<uint8_t>(base >> 16),
            static_cast<uint8_t>(base >> 8), static_cast<uint8_t>(base),
            static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    e.insert(e.end(), desc.begin(), desc.end());
    e.push_back(0);
    e.insert(e.end(), name.begin(), name.end());
    e.push_back(0);
    return e;
}

TEST(MemFrames, RegionTableParsing) {
    auto two = parseRegionTable(table({entry(0x1000, 5000, "CODE", "code.bin"),
                                       entry(0x80000000, 0, "EMPTY", "e.bin")}));
    ASSERT_TRUE(two);
    ASSERT_EQ(two->size(), 2u);
    EXPECT_EQ((*two)[0].base, 0x1000u);
    EXPECT_EQ((*two)[0].length, 5000u);
    EXPECT_EQ((*two)[0].description, "CODE");
    EXPECT_EQ((*two)[1].base, 0x80000000u);
    EXPECT_EQ((*two)[1].fileName, "e.bin");

    // Long texts are cut; entries beyond twelve are ignored.
    std::vector<Bytes> many;
    for (int i = 0; i < 15; ++i) many.push_back(entry(i, 1, std::string(150, 'd'), std::string(40, 'f')));
    auto cutTable = parseRegionTable(table(many));
    ASSERT_TRUE(cutTable);
    ASSERT_EQ(cutTable->size(), kMaxRegions);
    EXPECT_EQ(cutTable->back().description.size(), kDescriptionMax);
    EXPECT_EQ(cutTable->back().fileName.size(), kFileNameMax);
    EXPECT_EQ(cutTable->back().base, 11u);

    // No region at all is a valid, empty table.
    auto none = parseRegionTable(table({}));
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());

    // A table length beyond the payload, a wrong code, a cut entry.
    EXPECT_FALSE(parseRegionTable(table({entry(0, 1, "a", "b")}, 5)));
    EXPECT_FALSE(parseRegionTable(Bytes{0x13, 0x00, 0x00}));
    EXPECT_FALSE(parseRegionTable(Bytes{0x11, 0x00}));
    auto partial = parseRegionTable(table({entry(0, 1, "a", "b"), Bytes{0x01, 0x00, 0x00}}));
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->size(), 1u);
    // A file name whose NUL is missing ends with the table.
    Bytes open = entry(7, 8, "desc", "name");
    open.pop_back();
    auto unterminated = parseRegionTable(table({open}));
    ASSERT_TRUE(unterminated);
    ASSERT_EQ(unterminated->size(), 1u);
    EXPECT_EQ((*unterminated)[0].fileName, "name");
}

TEST(MemFrames, ReadResponseParsing) {
    const Bytes two{0x13, 0x00, 0x00, 0x10, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0xCC};
    auto r = parseReadResponse(two);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->address, 0x1000u);
    EXPECT_EQ(Bytes(r->data.begin(), r->data.end()), (Bytes{0xAA, 0xBB}));
    EXPECT_FALSE(parseReadResponse(Bytes{0x13, 0x00, 0x00, 0x10, 0x00, 0x00, 0x03, 0xAA, 0xBB}));
    EXPECT_FALSE(parseReadResponse(Bytes{0x13, 0x00, 0x00}));
    EXPECT_FALSE(parseReadResponse(Bytes{0x12, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00}));
    const Bytes none{0x13, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00};
    auto empty = parseReadResponse(none);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->data.empty());
}

TEST(MemFrames, SafeFileNames) {
    const struct {
        std::string announced;
        std::string expected;
    } cases[] = {
        {"CODE_RAM.bin", "CODE_RAM.bin"},
        {"../evil.bin", "evil.bin"},
        {"/etc/passwd", "passwd"},
        {"..\\..\\win.ini", "win.ini"},
        {"C:evil", "C_evil"},
        {"a<b>c:d\"e|f?g*h", "a_b_c_d_e_f_g_h"},
        {std::string("tab\tnl\n", 7), "tab_nl_"},
        {"", "region3.bin"},
        {"..", "region3.bin"},
        {"dir/", "region3.bin"},
        {"...", "region3.bin"},
        {".hidden", ".hidden"},
    };
    for (const auto& c : cases) EXPECT_EQ(safeFileName(c.announced, 3), c.expected) << c.announced;
}

}  // namespace
}  // namespace kvx::memdump
