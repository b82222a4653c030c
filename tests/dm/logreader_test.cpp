// Reading a log back: the record walk, the final padding, and where and why a damaged file
// stops being read (a truncated file and a corrupt one are told apart).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>

#include "LogTestSupport.h"
#include "dm/Blowfish.h"
#include "dm/LogStream.h"

namespace kvx::dm {
namespace {

using dmtest::append;
using dmtest::Bytes;

Bytes encipher(Bytes plain) {
    logCipher().encryptBlocks(plain.data(), plain.size() / 8);
    return plain;
}

Bytes rec(size_t length, uint16_t code = kCodePacket) {
    Bytes r = dmtest::header(length, code);
    r.resize(length < 12 ? 12 : length, 0x33);
    return r;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) append(out, p);
    return out;
}

TEST(LogReader, StatusOfEachKindOfFile) {
    const Bytes abc = dmtest::noteRecord("abc");
    const struct {
        const char* what;
        Bytes plain;
        size_t cutTo;  // bytes of the enciphered file kept; SIZE_MAX keeps all
        LogReadStatus status;
        size_t records, streamLength, padding, stopOffset;
    } cases[] = {
        {"empty", {}, SIZE_MAX, LogReadStatus::Ok, 0, 0, 0, 0},
        {"abc note padded", cat({abc, {0x01}}), SIZE_MAX, LogReadStatus::Ok, 1, 15, 1, 0},
        {"two records, no padding", cat({rec(12), rec(20)}), SIZE_MAX, LogReadStatus::Ok, 2, 32, 0, 0},
        {"padding of seven", cat({rec(17), {0, 0, 0, 0, 0, 0, 7}}), SIZE_MAX, LogReadStatus::Ok, 1, 17, 7, 0},
        {"truncated inside a record", cat({rec(16), rec(40)}), 45, LogReadStatus::NotBlocks, 1, 16, 0, 40},
        {"ends at a record's end", cat({rec(16)}), 16, LogReadStatus::Ok, 1, 16, 0, 0},
        {"length below 12", cat({rec(16), {8, 0, 0xF0, 0x1F, 0, 0, 0, 0}, Bytes(8)}), SIZE_MAX,
         LogReadStatus::ShortRecord, 1, 16, 0, 16},
        {"record past the end", cat({rec(16), {200, 0, 0xF0, 0x1F, 0, 0, 0, 0}}), SIZE_MAX,
         LogReadStatus::RecordPastEnd, 1, 16, 0, 16},
        {"one stray byte for padding", cat({rec(15), {0x05}}), SIZE_MAX, LogReadStatus::BadPadding, 1, 15, 0, 15},
        {"padding with a nonzero filler", cat({rec(13), {0x01, 0x00, 0x03}}), SIZE_MAX,
         LogReadStatus::BadPadding, 1, 13, 0, 13},
    };
    std::set<std::string> reasons;
    for (const auto& c : cases) {
        Bytes file = encipher(c.plain);
        if (c.cutTo != SIZE_MAX) {
            file.resize(c.cutTo);
        }
        const LogContents log = readLog(file);
        EXPECT_EQ(log.status, c.status) << c.what << ": " << describe(log);
        EXPECT_EQ(log.records.size(), c.records) << c.what;
        EXPECT_EQ(log.streamLength, c.streamLength) << c.what;
        EXPECT_EQ(log.padding, c.padding) << c.what;
        if (c.status != LogReadStatus::Ok) {
            EXPECT_EQ(log.stopOffset, c.stopOffset) << c.what;
        }
        EXPECT_EQ(log.plain, Bytes(c.plain.begin(), c.plain.begin() + static_cast<std::ptrdiff_t>(file.size() / 8 * 8)))
            << c.what;
        reasons.insert(describe(log));
    }
    // A truncated file, a short length, a record past the end and bad padding read differently.
    EXPECT_GE(reasons.size(), 5u);
}

// Three stray bytes behind a complete log: the records are all there, the size is still wrong.
TEST(LogReader, PartialBlockBehindACompleteLog) {
    Bytes file = encipher(cat({rec(16)}));
    append(file, Bytes{1, 2, 3});
    const LogContents log = readLog(file);
    EXPECT_EQ(log.status, LogReadStatus::NotBlocks);
    EXPECT_EQ(log.records.size(), 1u);
    EXPECT_EQ(log.stopOffset, 16u);
    EXPECT_NE(describe(log).find("multiple of 8"), std::string::npos);
}

TEST(LogReader, RecordFieldsAndFileErrors) {
    Bytes r = dmtest::header(20, 0xB0C0, Bytes{1, 2, 3, 4, 5, 6, 7, 8});
    r.resize(20, 0xEE);
    const LogContents log = readLog(encipher(cat({dmtest::noteRecord("hi"), r, {0, 0, 0, 0, 0, 6}})));
    ASSERT_EQ(log.status, LogReadStatus::Ok) << describe(log);
    ASSERT_EQ(log.records.size(), 2u);
    EXPECT_EQ(log.records[1].offset, 14u);
    EXPECT_EQ(log.records[1].length, 20u);
    EXPECT_EQ(log.records[1].code, 0xB0C0u);
    EXPECT_EQ(log.records[1].time, 0x0807060504030201ull);
    EXPECT_EQ(Bytes(log.body(log.records[1]).begin(), log.body(log.records[1]).end()), Bytes(8, 0xEE));
    EXPECT_STREQ(recordKind(kCodeNote), "note");
    EXPECT_STREQ(recordKind(kCodeEvent), "event");
    EXPECT_STREQ(recordKind(kCodeMessage), "message");
    EXPECT_STREQ(recordKind(kCodeConverted1F), "converted");
    EXPECT_STREQ(recordKind(kCodePacket), "packet");
    EXPECT_STREQ(recordKind(0xB0C0), "modem log");
    EXPECT_EQ(readLogFile("/nonexistent-folder-kvx/x.kvx").status, LogReadStatus::OpenFailed);
}

// A log of records of many lengths (some within one block, some spanning several), a note
// that fills a block exactly, and the final padding.
Bytes mixedLog() {
    Bytes plain;
    uint64_t stamp = 0x010999B7854049E2ull;
    for (size_t i = 0; i < 60; ++i) {
        const size_t length = 12 + (i * 37) % 300;
        Bytes r = dmtest::header(length, static_cast<uint16_t>(0xB0C0 + i % 5));
        r.resize(length);
        for (int k = 0; k < 8; ++k) r[4 + static_cast<size_t>(k)] = static_cast<uint8_t>(stamp >> (8 * k));
        for (size_t k = 12; k < length; ++k) r[k] = static_cast<uint8_t>(i + k);
        append(plain, r);
        stamp += 65536 * 40;
    }
    append(plain, dmtest::noteRecord(std::string(20 - plain.size() % 8, 'x')));
    append(plain, rec(13));
    append(plain, dmtest::noteRecord("Log manually stopped from UI"));
    const size_t k = plain.size() % 8;
    if (k != 0) {
        plain.resize(plain.size() + 7 - k, 0);
        plain.push_back(static_cast<uint8_t>(8 - k));
    }
    return encipher(plain);
}

// Fed in pieces of every size, the follower hands out the records of the whole-file reader,
// in order, each only once the block holding its last byte has been fed.
TEST(LogFollower, HandsOutWholeRecordsOnlyAndAllOfThem) {
    const Bytes file = mixedLog();
    const LogContents whole = readLog(file);
    ASSERT_EQ(whole.status, LogReadStatus::Ok);
    ASSERT_GT(whole.padding, 0u);
    for (size_t piece : {size_t{1}, size_t{3}, size_t{7}, size_t{8}, size_t{13}, size_t{64}, size_t{1000}, file.size()}) {
        LogFollower f;
        size_t got = 0;
        for (size_t at = 0; at < file.size(); at += piece) {
            const size_t n = std::min(piece, file.size() - at);
            f.feed({file.data() + at, n});
            LogRecord r;
            std::span<const uint8_t> bytes;
            while (f.next(r, bytes)) {
                ASSERT_LT(got, whole.records.size()) << piece;
                const LogRecord& w = whole.records[got];
                EXPECT_EQ(r.offset, w.offset) << piece;
                EXPECT_EQ(r.length, w.length);
                EXPECT_EQ(r.code, w.code);
                EXPECT_EQ(r.time, w.time);
                EXPECT_TRUE(std::ranges::equal(bytes, whole.bytes(w))) << piece << " at " << w.offset;
                // Never before the block holding the record's last byte is whole.
                EXPECT_GE(at + n, (w.offset + w.length + 7) / 8 * 8) << piece << " at " << w.offset;
                ++got;
            }
            ASSERT_EQ(f.status(), LogReadStatus::Ok) << piece << " at " << at;
        }
        EXPECT_EQ(got, whole.records.size()) << piece;
        EXPECT_EQ(f.pendingBytes(), whole.padding) << piece;
        EXPECT_EQ(f.fileBytes(), file.size());
    }
}

TEST(LogFollower, DamageStopsItButAPaddingLikeTailWaits) {
    // A length below 12 where a record must begin.
    LogFollower damaged;
    damaged.feed(encipher(cat({rec(16), {8, 0, 0xF0, 0x1F, 0, 0, 0, 0}, Bytes(8)})));
    LogRecord r;
    std::span<const uint8_t> bytes;
    EXPECT_TRUE(damaged.next(r, bytes));
    EXPECT_FALSE(damaged.next(r, bytes));
    EXPECT_EQ(damaged.status(), LogReadStatus::ShortRecord);
    EXPECT_EQ(damaged.stopOffset(), 16u);

    // A last block that reads as padding, then more blocks: it was a record's beginning after
    // all... which cannot be, as a record begins with its length; so a padding-like tail only
    // waits, and what follows it decides.
    LogFollower waiting;
    const Bytes file = encipher(cat({rec(13), {0, 0, 3}}));
    waiting.feed(file);
    EXPECT_TRUE(waiting.next(r, bytes));
    EXPECT_FALSE(waiting.next(r, bytes));
    EXPECT_EQ(waiting.status(), LogReadStatus::Ok);
    EXPECT_EQ(waiting.pendingBytes(), 3u);
    waiting.feed(encipher(rec(16)));
    EXPECT_FALSE(waiting.next(r, bytes));
    EXPECT_EQ(waiting.status(), LogReadStatus::ShortRecord);
    EXPECT_EQ(waiting.stopOffset(), 13u);

    // A record whose length runs beyond what is there waits for the rest.
    LogFollower partial;
    const Bytes two = encipher(cat({rec(20), rec(100), {0, 0, 0, 4}}));
    partial.feed({two.data(), 64});
    EXPECT_TRUE(partial.next(r, bytes));
    EXPECT_FALSE(partial.next(r, bytes));
    EXPECT_EQ(partial.status(), LogReadStatus::Ok);
    partial.feed({two.data() + 64, two.size() - 64});
    EXPECT_TRUE(partial.next(r, bytes));
    EXPECT_EQ(r.length, 100u);
}

// Files of every ending: empty, padded, cut inside a record, a length below 12, a record past
// the end, stray bytes, damage early in a file that is also cut short.
std::vector<Bytes> awkwardFiles() {
    return {
        {},
        encipher(cat({dmtest::noteRecord("abc"), {0x01}})),
        mixedLog(),
        [] {
            Bytes f = mixedLog();
            f.resize(f.size() - 3);
            return f;
        }(),
        encipher(cat({rec(16), {8, 0, 0xF0, 0x1F, 0, 0, 0, 0}, Bytes(8)})),
        [] {
            Bytes f = encipher(cat({rec(16), {8, 0, 0xF0, 0x1F, 0, 0, 0, 0}, Bytes(800)}));
            f.resize(f.size() - 5);
            return f;
        }(),
        encipher(cat({rec(16), {200, 0, 0xF0, 0x1F, 0, 0, 0, 0}})),
        encipher(cat({rec(15), {0x05}})),
        encipher(cat({rec(13), {0x01, 0x00, 0x03}})),
    };
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// The mapped reader walks the same records and stops for the same reasons as the whole-file
// reader, although it deciphers only the blocks it needs.
TEST(MappedLog, IndexAndBytesEqualTheWholeFileReader) {
    const std::vector<Bytes> files = awkwardFiles();
    const std::string path = ::testing::TempDir() + "mapped-" + std::to_string(::getpid()) + ".kvx";
    for (size_t i = 0; i < files.size(); ++i) {
        writeFile(path, files[i]);
        const LogContents whole = readLog(files[i]);
        MappedLog mapped;
        ASSERT_TRUE(mapped.open(path)) << i;
        EXPECT_EQ(mapped.fileSize(), files[i].size());
        const LogContents index = mapped.index();
        EXPECT_EQ(index.status, whole.status) << i;
        EXPECT_EQ(index.stopOffset, whole.stopOffset) << i;
        EXPECT_EQ(index.padding, whole.padding) << i;
        EXPECT_EQ(index.streamLength, whole.streamLength) << i;
        EXPECT_EQ(describe(index), describe(whole)) << i;
        ASSERT_EQ(index.records.size(), whole.records.size()) << i;
        for (size_t k = 0; k < index.records.size(); ++k) {
            const LogRecord& r = index.records[k];
            EXPECT_EQ(r.offset, whole.records[k].offset);
            EXPECT_EQ(r.time, whole.records[k].time);
            EXPECT_TRUE(std::ranges::equal(mapped.read(r.offset, r.length), whole.bytes(whole.records[k])));
            // Any stretch, at any offset within the blocks.
            const size_t from = r.offset + k % 5;
            const size_t n = std::min<size_t>(7, r.offset + r.length - from);
            EXPECT_TRUE(std::ranges::equal(mapped.read(from, n),
                                           std::span(whole.plain.data() + from, n)));
        }
    }
    std::remove(path.c_str());
    MappedLog absent;
    EXPECT_FALSE(absent.open("/nonexistent-folder-kvx/x.kvx"));
    EXPECT_EQ(absent.error(), ENOENT);
    MappedLog folder;
    EXPECT_FALSE(folder.open("/"));
    EXPECT_EQ(folder.error(), EISDIR);
}

// Read as a stream in pieces of any size (a record, a block, the padding split between
// pieces), a log gives the records of the whole-file reader and ends the same way.
TEST(LogStream, RecordsAndEndingEqualTheWholeFileReader) {
    std::vector<Bytes> files = awkwardFiles();
    // A log of several megabyte pieces, with records longer than a piece of 4 KB.
    Bytes many;
    for (size_t i = 0; many.size() < (size_t{5} << 20); ++i)
        append(many, rec(i % 97 == 0 ? 65535 - i % 3 : 12 + (i * 7919) % 3000, 0xB0C0));
    append(many, dmtest::noteRecord("end"));
    if (const size_t k = many.size() % 8; k != 0) {
        many.resize(many.size() + 7 - k, 0);
        many.push_back(static_cast<uint8_t>(8 - k));
    }
    files.push_back(encipher(many));
    const std::string path = ::testing::TempDir() + "stream-" + std::to_string(::getpid()) + ".kvx";
    for (size_t i = 0; i < files.size(); ++i) {
        writeFile(path, files[i]);
        const LogContents whole = readLogFile(path);
        const bool large = files[i].size() > 100000;
        if (large) {
            ASSERT_EQ(whole.status, LogReadStatus::Ok) << describe(whole);
        }
        for (const size_t piece : {size_t{8}, size_t{24}, size_t{4096}, (size_t{1} << 20) + 40}) {
            if (large && piece < 4096) continue;  // a million pieces would only take time
            LogStream stream(piece);
            ASSERT_TRUE(stream.open(path));
            size_t k = 0;
            LogRecord r;
            std::span<const uint8_t> bytes;
            while (stream.next(r, bytes)) {
                ASSERT_LT(k, whole.records.size()) << i << " piece " << piece;
                const LogRecord& w = whole.records[k++];
                EXPECT_EQ(r.offset, w.offset);
                EXPECT_EQ(r.code, w.code);
                EXPECT_EQ(r.time, w.time);
                EXPECT_TRUE(std::ranges::equal(bytes, whole.bytes(w))) << i << " record " << k;
            }
            EXPECT_FALSE(stream.next(r, bytes));  // and stays at the end
            const LogContents& end = stream.result();
            EXPECT_EQ(k, whole.records.size()) << i << " piece " << piece;
            EXPECT_EQ(end.status, whole.status) << i << " piece " << piece;
            EXPECT_EQ(end.stopOffset, whole.stopOffset) << i << " piece " << piece;
            EXPECT_EQ(end.padding, whole.padding) << i;
            EXPECT_EQ(end.streamLength, whole.streamLength) << i;
            EXPECT_EQ(describe(end), describe(whole)) << i << " piece " << piece;
        }
    }
    std::remove(path.c_str());
    LogStream absent;
    EXPECT_FALSE(absent.open("/nonexistent-folder-kvx/x.kvx"));
    EXPECT_EQ(absent.error(), ENOENT);
    LogStream folder;
    EXPECT_FALSE(folder.open("/"));
    EXPECT_EQ(folder.error(), EISDIR);
}

}  // namespace
}  // namespace kvx::dm
