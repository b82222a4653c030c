// The enciphered log writer: block cutting and the padding of the last block, deciphered
// here block by block with the single-block routine, and the worked "abc" note.
#include <gtest/gtest.h>

#include <numeric>

#include "LogTestSupport.h"
#include "dm/Blowfish.h"
#include "dm/LogWriter.h"

namespace kvx::dm {
namespace {

using dmtest::Bytes;
using dmtest::TempFile;

Bytes decipher(Bytes file) {
    for (size_t i = 0; i + 8 <= file.size(); i += 8) {
        auto be = [&](size_t o) {
            return (uint32_t{file[o]} << 24) | (uint32_t{file[o + 1]} << 16) |
                   (uint32_t{file[o + 2]} << 8) | file[o + 3];
        };
        uint32_t l = be(i), r = be(i + 4);
        logCipher().decrypt(l, r);
        for (int k = 0; k < 4; ++k) {
            file[i + static_cast<size_t>(k)] = static_cast<uint8_t>(l >> (24 - 8 * k));
            file[i + 4 + static_cast<size_t>(k)] = static_cast<uint8_t>(r >> (24 - 8 * k));
        }
    }
    return file;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
    return b;
}

// Writes the pieces through one open log; returns the file deciphered.
Bytes writeThrough(const std::vector<Bytes>& pieces, size_t* fileSize = nullptr) {
    TempFile f;
    LogWriter w;
    EXPECT_TRUE(w.openlog(f.path()));
    for (const auto& p : pieces) {
        if (!p.empty()) w.append(p.data(), p.size());
    }
    w.closelog();
    const Bytes file = dmtest::readBytes(f.path());
    if (fileSize) *fileSize = file.size();
    return decipher(file);
}

// The stream followed by the padding of a short last block: zeros, then 8 - k.
Bytes padded(Bytes stream) {
    const size_t k = stream.size() % 8;
    if (k == 0) return stream;
    stream.resize(stream.size() + 7 - k, 0);
    stream.push_back(static_cast<uint8_t>(8 - k));
    return stream;
}

TEST(LogWriter, FileSizeAndPaddingByStreamLength) {
    const struct {
        size_t length, fileSize;
    } cases[] = {{0, 0}, {1, 8}, {7, 8}, {8, 8}, {15, 16}, {16, 16}, {17, 24}, {1000, 1000}, {1001, 1008}};
    for (const auto& c : cases) {
        const Bytes stream = pattern(c.length, 5);
        size_t size = 0;
        const Bytes plain = writeThrough({stream}, &size);
        EXPECT_EQ(size, c.fileSize) << c.length;
        EXPECT_EQ(plain, padded(stream)) << c.length;
    }
    // 17 bytes: the last block is the 17th byte, six zeros and 07.
    const Bytes plain = writeThrough({pattern(17, 9)});
    EXPECT_EQ(Bytes(plain.begin() + 16, plain.end()),
              (Bytes{pattern(17, 9)[16], 0, 0, 0, 0, 0, 0, 0x07}));
}

TEST(LogWriter, RecordCompletingThePendingBlockStaysPendingUntilTheNext) {
    TempFile f;
    LogWriter w;
    ASSERT_TRUE(w.openlog(f.path()));
    const Bytes a = pattern(3, 1), b = pattern(5, 40), c = pattern(2, 90);
    w.append(a.data(), a.size());
    w.append(b.data(), b.size());
    EXPECT_EQ(w.pendingCount(), 8u);
    w.flush();
    EXPECT_EQ(dmtest::readBytes(f.path()).size(), 0u);  // the full block is still held
    w.append(c.data(), c.size());
    EXPECT_EQ(w.pendingCount(), 2u);
    w.closelog();
    Bytes expect = a;
    dmtest::append(expect, b);
    dmtest::append(expect, c);
    EXPECT_EQ(decipher(dmtest::readBytes(f.path())), padded(expect));
}

// Short records land behind whatever is pending, for every pending count.
TEST(LogWriter, RecordsOfOneToSevenBytesKeepEveryByte) {
    for (size_t n = 1; n <= 7; ++n) {
        for (size_t lead = 0; lead < 8; ++lead) {
            std::vector<Bytes> pieces = {pattern(lead, 200)};
            for (size_t i = 0; i < 11; ++i) pieces.push_back(pattern(n, static_cast<uint8_t>(i * 17)));
            Bytes expect;
            for (const auto& p : pieces) dmtest::append(expect, p);
            ASSERT_EQ(writeThrough(pieces), padded(expect)) << n << " behind " << lead;
        }
    }
}

// Many records of odd sizes across the writer's batches.
TEST(LogWriter, LargeStreamOfOddRecordsRoundTrips) {
    std::vector<Bytes> pieces;
    Bytes expect;
    for (size_t i = 0; expect.size() < 300000; ++i) {
        pieces.push_back(pattern(1 + (i * 7919) % 3001, static_cast<uint8_t>(i)));
        dmtest::append(expect, pieces.back());
    }
    EXPECT_EQ(writeThrough(pieces), padded(expect));
}

// An empty record (an empty span has no data pointer) changes nothing.
TEST(LogWriter, EmptyAppendIsANoOp) {
    TempFile f;
    LogWriter w;
    ASSERT_TRUE(w.openlog(f.path()));
    const Bytes a = pattern(3, 1);
    w.append(a.data(), a.size());
    w.append(nullptr, 0);
    EXPECT_EQ(w.pendingCount(), 3u);
    w.closelog();
    EXPECT_EQ(decipher(dmtest::readBytes(f.path())), padded(a));
}

TEST(LogWriter, WriteblocksPadsOnlyTheLastBlock) {
    TempFile f;
    FILE* out = std::fopen(f.path().c_str(), "wb");
    ASSERT_NE(out, nullptr);
    const Bytes bytes = pattern(13, 3);
    EXPECT_TRUE(LogWriter::writeblocks(out, bytes.data(), bytes.size()));
    std::fclose(out);
    EXPECT_EQ(decipher(dmtest::readBytes(f.path())), padded(bytes));
}

TEST(LogWriter, AbcNoteAloneGivesTheWorkedBlocks) {
    TempFile f;
    KvxLog engine;
    ASSERT_TRUE(engine.openlog(f.path()));
    EXPECT_EQ(engine.setnote("abc"), 3);
    engine.closelog();
    EXPECT_EQ(decipher(dmtest::readBytes(f.path())),
              (Bytes{0x0F, 0x00, 0xFC, 0x1F, 0, 0, 0, 0, 0, 0, 0, 0, 0x61, 0x62, 0x63, 0x01}));
    const auto log = readLogFile(f.path());
    EXPECT_EQ(log.status, LogReadStatus::Ok);
    EXPECT_EQ(log.streamLength, 15u);
    EXPECT_EQ(log.padding, 1u);
}

TEST(LogWriter, ReopenStartsAFreshBlockStream) {
    TempFile first, second;
    LogWriter w;
    ASSERT_TRUE(w.openlog(first.path()));
    const Bytes a = pattern(5, 1), b = pattern(9, 2);
    w.append(a.data(), a.size());
    ASSERT_TRUE(w.openlog(second.path()));  // closes the first with its pending bytes
    w.append(b.data(), b.size());
    w.closelog();
    EXPECT_EQ(decipher(dmtest::readBytes(first.path())), padded(a));
    EXPECT_EQ(decipher(dmtest::readBytes(second.path())), padded(b));
}

TEST(LogWriter, OpenFailsForAnUncreatablePath) {
    LogWriter w;
    EXPECT_FALSE(w.openlog("/nonexistent-folder-kvx/x.kvx"));
    EXPECT_FALSE(w.isOpen());
}

}  // namespace
}  // namespace kvx::dm
