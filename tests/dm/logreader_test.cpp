// Reading a log back: the record walk, the final padding, and where and why a damaged file
// stops being read (a truncated file and a corrupt one are told apart).
#include <gtest/gtest.h>

#include <set>

#include "LogTestSupport.h"
#include "dm/Blowfish.h"

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

}  // namespace
}  // namespace kvx::dm
