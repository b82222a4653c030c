// The receive path end to end: bytes through KvxLog::receive (or dispatch over a raw file)
// into an enciphered log that is read back, record by record.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "LogTestSupport.h"

namespace kvx::dm {
namespace {

using dmtest::append;
using dmtest::Bytes;
using dmtest::convert;
using dmtest::Converted;
using dmtest::header;
using dmtest::noteRecord;
using dmtest::packetRecord;
using dmtest::wire;

std::vector<Bytes> recordsOf(const Converted& c) {
    std::vector<Bytes> out;
    for (size_t i = 0; i < c.log.records.size(); ++i) out.push_back(c.record(i));
    return out;
}

std::string sizeNote(unsigned expected, unsigned received) {
    return "KvxLog DM Error - size (expected " + std::to_string(expected) + ", received " +
           std::to_string(received) + ")";
}

void le16(Bytes& b, unsigned v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

Bytes eventRecord(uint16_t word, const Bytes& time, const Bytes& payload) {
    const size_t length = 24 + payload.size();
    Bytes r = header(length, kCodeEvent, time);
    le16(r, static_cast<unsigned>(length - 14));
    le16(r, word & 0x7FFFu);
    append(r, time);
    append(r, payload);
    return r;
}

// The payload of one wire frame with `filler` bytes, its last byte chosen so that neither CRC
// byte needs an escape (so the wire length is the plain length plus escapes of the payload).
Bytes cleanPayload(uint8_t command, size_t length, uint8_t filler) {
    Bytes p(length, filler);
    p[0] = command;
    for (unsigned last = 0; last < 256; ++last) {
        p.back() = static_cast<uint8_t>(last == 0x7D || last == 0x7E ? 0x41 : last);
        const Bytes f = dmtest::plainFrame(p);
        const uint8_t lo = f[f.size() - 3], hi = f[f.size() - 2];
        if (lo != 0x7D && lo != 0x7E && hi != 0x7D && hi != 0x7E) break;
    }
    return p;
}

TEST(Receive, WorkedEventExample) {
    const Bytes frame = wire(Bytes{0x60, 0x04, 0x00, 0x23, 0x81, 0xAA, 0xBB});
    ASSERT_EQ(dmtest::plainFrame(Bytes{0x60, 0x04, 0x00, 0x23, 0x81, 0xAA, 0xBB}).size(), 10u);
    const auto c = convert(frame);
    ASSERT_EQ(c.log.records.size(), 1u);
    EXPECT_EQ(c.record(0), (Bytes{0x18, 0x00, 0xFB, 0x1F, 0x00, 0xAA, 0xBB, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0x0A, 0x00, 0x23, 0x01, 0x00, 0xAA, 0xBB, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(c.stats.packets, 1u);
    EXPECT_EQ(c.log.status, LogReadStatus::Ok);
}

// A short time replaces bytes 1-2 of the last full time seen, which persists across packets
// (zero in a new engine).
TEST(Receive, ShortTimeCompletesTheRunningEventTime) {
    KvxLog engine;
    Bytes stream = wire(Bytes{0x60, 0x00, 0x00, 0x05, 0x80, 0x12, 0x34});
    append(stream, wire(Bytes{0x60, 0x00, 0x00, 0x06, 0x00, 1, 2, 3, 4, 5, 6, 7, 8}));
    append(stream, wire(Bytes{0x60, 0x00, 0x00, 0x07, 0x80, 0xC1, 0xC2}));
    const auto c = convert({stream}, &engine);
    ASSERT_EQ(c.log.records.size(), 3u);
    EXPECT_EQ(c.record(0), eventRecord(0x8005, {0, 0x12, 0x34, 0, 0, 0, 0, 0}, {}));
    EXPECT_EQ(c.record(1), eventRecord(0x0006, {1, 2, 3, 4, 5, 6, 7, 8}, {}));
    EXPECT_EQ(c.record(2), eventRecord(0x8007, {1, 0xC1, 0xC2, 4, 5, 6, 7, 8}, {}));
}

TEST(Receive, TwoConsecutiveFlagsGiveACrcErrorHoldingTheSingleFlag) {
    Bytes stream = wire(Bytes{0x1D, 0x01});
    stream.push_back(0x7E);
    const auto c = convert(stream);
    ASSERT_EQ(c.log.records.size(), 3u);
    EXPECT_EQ(c.record(0), packetRecord(Bytes{0x1D, 0x01}));
    EXPECT_EQ(c.text(1), "KvxLog DM Error - CRC");
    EXPECT_EQ(c.record(2), noteRecord(Bytes{0x7E}));
    EXPECT_EQ(c.stats.crcErrors, 1u);
    EXPECT_EQ(c.stats.packets, 3u);
    EXPECT_EQ(c.stats.sizeErrors, 0u);
}

TEST(Receive, CrcFailureNoteHoldsTheUnescapedFrame) {
    Bytes frame = wire(Bytes{0x10, 0x7E, 0x7D, 0x22});
    frame[frame.size() - 2] ^= 0x01;  // the CRC high byte
    Bytes plain = dmtest::plainFrame(Bytes{0x10, 0x7E, 0x7D, 0x22});
    plain[plain.size() - 2] ^= 0x01;
    ASSERT_NE(plain[plain.size() - 2], 0x7E);
    ASSERT_NE(plain[plain.size() - 2], 0x7D);
    const auto c = convert(frame);
    ASSERT_EQ(c.log.records.size(), 2u);
    EXPECT_EQ(c.text(0), "KvxLog DM Error - CRC");
    EXPECT_EQ(c.record(1), noteRecord(plain));
}

// The record length field must equal the bytes the modem sent (all 16 bits, codes 0x1Fxx
// included); a record below the 12-byte header is an error too. Only the note is written.
TEST(Receive, LogRecordSizeCheck) {
    const struct {
        const char* what;
        Bytes record;
        std::string note;  // empty: the record itself is written
    } cases[] = {
        {"exact", dmtest::modemRecord(40, 0xB0C0), ""},
        {"exact 0x1Fxx", dmtest::modemRecord(40, 0x1F10), ""},
        {"one more", dmtest::modemRecord(40, 0xB0C0, 1, 41), sizeNote(41, 40)},
        {"low byte equal", dmtest::modemRecord(40, 0xB0C0, 1, 0x128), sizeNote(296, 40)},
        {"0x1Fxx checked too", dmtest::modemRecord(40, 0x1F10, 1, 50), sizeNote(50, 40)},
        {"below header", dmtest::modemRecord(8, 0xB0C0), sizeNote(8, 8)},
        {"one byte", Bytes{0x01}, sizeNote(0, 1)},
        {"nothing", Bytes{}, sizeNote(0, 0)},
    };
    for (const auto& c : cases) {
        const auto r = convert(wire(dmtest::logPacket(c.record)));
        ASSERT_EQ(r.log.records.size(), 1u) << c.what;
        EXPECT_EQ(r.stats.packets, 1u) << c.what;
        if (c.note.empty()) {
            EXPECT_EQ(r.record(0), c.record) << c.what;
            EXPECT_EQ(r.stats.sizeErrors, 0u) << c.what;
        } else {
            EXPECT_EQ(r.record(0), noteRecord(c.note)) << c.what;
            EXPECT_EQ(r.stats.sizeErrors, 1u) << c.what;
        }
    }
    // A log packet of three bytes has no record at all.
    const auto r = convert(wire(Bytes{0x10, 0x00, 0x00}));
    ASSERT_EQ(r.log.records.size(), 1u);
    EXPECT_EQ(r.record(0), noteRecord(sizeNote(0, 0)));
}

TEST(Receive, Converted1FRecord) {
    // 87 payload bytes + CRC + flag = 90: the 96-byte record.
    Bytes p(87);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 3 + 1);
    p[0] = 0x1F;
    p[1] = 0x01;
    p[2] = 0x00;
    Bytes expect = header(96, kCodeConverted1F, Bytes(p.end() - 8, p.end()));
    append(expect, Bytes(p.begin() + 3, p.end()));
    ASSERT_EQ(expect.size(), 96u);
    auto c = convert(wire(p));
    ASSERT_EQ(c.log.records.size(), 1u);
    EXPECT_EQ(c.record(0), expect);
    EXPECT_EQ(c.stats.sizeErrors, 0u);

    p.push_back(0x55);  // 91 bytes: a size error naming 96 and 97
    c = convert(wire(p));
    ASSERT_EQ(c.log.records.size(), 1u);
    EXPECT_EQ(c.text(0), sizeNote(96, 97));
    EXPECT_EQ(c.stats.sizeErrors, 1u);

    // Too short for its stamp: fails the same check.
    c = convert(wire(Bytes{0x1F, 0x01, 0x00}));
    ASSERT_EQ(c.log.records.size(), 1u);
    EXPECT_EQ(c.text(0), sizeNote(96, 12));
}

TEST(Receive, EveryKindOfPacket) {
    const Bytes stamp = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    Bytes message = {0x79, 0x00, 0x03, 0x00};
    append(message, stamp);
    append(message, Bytes{'h', 'i', 0});
    Bytes events = {0x60, 0x00, 0x00};
    le16(events, 0x0123);  // full time, no payload
    append(events, stamp);
    le16(events, 0xA456);  // short time, one byte
    append(events, Bytes{0xE1, 0xE2, 0x99});
    le16(events, 0x4789);  // full time, two bytes
    append(events, Bytes{9, 8, 7, 6, 5, 4, 3, 2, 0x7E, 0x7D});
    le16(events, 0xEABC);  // short time, length byte and three bytes
    append(events, Bytes{0xF1, 0xF2, 3, 0xA, 0xB, 0xC});
    Bytes truncated = {0x60, 0x00, 0x00};
    le16(truncated, 0x0001);
    append(truncated, stamp);
    le16(truncated, 0x6001);  // kind 3, full time, no room for the length byte
    append(truncated, stamp);

    const struct {
        const char* what;
        Bytes packet;
        std::vector<Bytes> records;
        uint32_t sizeErrors;
    } cases[] = {
        {"message", message, {[&] {
             Bytes r = header(12 + message.size(), kCodeMessage, stamp);
             append(r, message);
             return r;
         }()},
         0},
        {"short message: zeros for the missing stamp bytes",
         {0x79, 0x00, 0x03, 0x00, 0xAA, 0xBB},
         {[] {
             Bytes r = header(18, kCodeMessage, Bytes{0xAA, 0xBB});
             append(r, Bytes{0x79, 0x00, 0x03, 0x00, 0xAA, 0xBB});
             return r;
         }()},
         0},
        {"bare message", {0x79}, {packetRecord(Bytes{0x79}, kCodeMessage)}, 0},
        {"event report of four events",
         events,
         {eventRecord(0x0123, stamp, {}), eventRecord(0xA456, {0x11, 0xE1, 0xE2, 0x44, 0x55, 0x66, 0x77, 0x88}, {0x99}),
          eventRecord(0x4789, {9, 8, 7, 6, 5, 4, 3, 2}, {0x7E, 0x7D}),
          eventRecord(0xEABC, {9, 0xF1, 0xF2, 6, 5, 4, 3, 2}, {3, 0xA, 0xB, 0xC})},
         0},
        {"event report whose last event runs past the end",
         truncated,
         {eventRecord(0x0001, stamp, {}), noteRecord(sizeNote(24, 23))},
         1},
        {"event report of 4 bytes", {0x60, 0x01, 0x02, 0x03}, {noteRecord(sizeNote(5, 4))}, 1},
        {"event report below 7 bytes", {0x60, 0x01, 0x02}, {packetRecord(Bytes{0x60, 0x01, 0x02})}, 0},
        {"event on/off reply", {0x60, 0x01}, {packetRecord(Bytes{0x60, 0x01})}, 0},
        {"0x1F with zero field", {0x1F, 0x00, 0x00, 0x05}, {packetRecord(Bytes{0x1F, 0x00, 0x00, 0x05})}, 0},
        {"0x1F without room for the field", {0x1F, 0x01}, {packetRecord(Bytes{0x1F, 0x01})}, 0},
    };
    for (const auto& c : cases) {
        const auto r = convert(wire(c.packet));
        EXPECT_EQ(recordsOf(r), c.records) << c.what;
        EXPECT_EQ(r.stats.sizeErrors, c.sizeErrors) << c.what;
        EXPECT_EQ(r.stats.crcErrors, 0u) << c.what;
    }

    // Replies and compressed messages wrapped whole; every other command counted as not
    // kept, or wrapped whole too when everything is to be kept. (An 8-byte 0x98 is too
    // short to wrap a packet.)
    const std::set<uint8_t> wrapped = {0x00, 0x15, 0x1C, 0x1D, 0x26, 0x4B, 0x73,
                                       0x78, 0x7C, 0x7D, 0x81, 0x82, 0x92};
    const std::set<uint8_t> converted = {0x10, 0x1F, 0x60, 0x79};
    for (unsigned code = 0; code < 256; ++code) {
        const Bytes packet = {static_cast<uint8_t>(code), 0x01, 0x7E, 0x03, 0x04, 0x05, 0x06, 0x07};
        if (converted.count(static_cast<uint8_t>(code))) continue;
        KvxLog engine;
        const auto r = convert({wire(packet)}, &engine);
        KvxLog keeper;
        keeper.setkeepall(true);
        const auto all = convert({wire(packet)}, &keeper);
        EXPECT_EQ(recordsOf(all), std::vector<Bytes>{packetRecord(packet)}) << code;
        EXPECT_TRUE(keeper.notkept().empty()) << code;
        if (wrapped.count(static_cast<uint8_t>(code))) {
            EXPECT_EQ(recordsOf(r), std::vector<Bytes>{packetRecord(packet)}) << code;
            EXPECT_EQ(r.stats.packets, 1u) << code;
            EXPECT_TRUE(engine.notkept().empty()) << code;
        } else {
            EXPECT_TRUE(r.log.records.empty()) << code;
            EXPECT_EQ(r.stats.packets, 0u) << code;
            EXPECT_EQ(engine.notkept(), (std::vector<NotKept>{{static_cast<uint8_t>(code), 1}})) << code;
        }
        EXPECT_EQ(r.file.size() % 8, 0u);
    }
}

TEST(Receive, NotesPendingAndClosing) {
    KvxLog engine;
    dmtest::TempFile out;
    ASSERT_TRUE(engine.openlog(out.path()));
    engine.setnote("first");
    engine.setnote("second");
    EXPECT_EQ(engine.dispatch(), 0);  // no input source: only the note is written
    engine.setclosingnote("closing");
    EXPECT_EQ(engine.dispatch(), 0);  // a closing note waits for closelog
    engine.receive(wire(Bytes{0x1D, 0x02}));
    EXPECT_EQ(engine.setnote(std::string(3000, 'n')), static_cast<int>(kNoteMax));
    engine.dispatch();
    engine.setclosingnote("stopped");
    engine.receive(wire(Bytes{0x1D, 0x03}));
    engine.closelog();
    const auto log = readLogFile(out.path());
    ASSERT_EQ(log.records.size(), 5u);
    auto text = [&](size_t i) {
        auto b = log.body(log.records[i]);
        return std::string(b.begin(), b.end());
    };
    EXPECT_EQ(text(0), "second");
    EXPECT_EQ(log.records[1].code, kCodePacket);
    EXPECT_EQ(text(2), std::string(kNoteMax, 'n'));  // replaced "closing"
    EXPECT_EQ(log.records[3].code, kCodePacket);
    EXPECT_EQ(text(4), "stopped");

    // An empty note is no note.
    dmtest::TempFile out2;
    ASSERT_TRUE(engine.openlog(out2.path()));
    engine.setnote("x");
    EXPECT_EQ(engine.setnote(""), 0);
    engine.closelog();
    EXPECT_TRUE(readLogFile(out2.path()).records.empty());
}

// A stream of several packet kinds with escapes in payloads and CRCs, a damaged frame and a
// dropped command.
Bytes realisticStream() {
    Bytes s;
    Bytes version(40, 0x20);
    version[0] = 0x00;
    version[5] = 0x7E;
    version[6] = 0x7D;
    version[7] = 0x5E;
    append(s, wire(version));
    for (unsigned x = 0; x < 256; ++x) {  // a reply whose CRC needs an escape
        const Bytes p = {0x26, static_cast<uint8_t>(x), 0x7D};
        const Bytes f = dmtest::plainFrame(p);
        if (f[3] == 0x7D || f[3] == 0x7E || f[4] == 0x7D || f[4] == 0x7E) {
            append(s, wire(p));
            break;
        }
    }
    Bytes rec = dmtest::modemRecord(60, 0xB0C0, 7);
    rec[20] = 0x7E;
    rec[21] = 0x7D;
    rec[40] = 0x7D;
    append(s, wire(dmtest::logPacket(rec)));
    append(s, wire(Bytes{0x60, 0x00, 0x00, 0x23, 0x01, 1, 2, 3, 4, 5, 6, 7, 0x7E, 0x45, 0xE0, 0x7D, 0x7E,
                         0x03, 0x61, 0x7D, 0x63}));
    append(s, wire(Bytes{0x79, 0x00, 0x03, 0x00, 0x7D, 0x7E, 3, 4, 5, 6, 7, 8, 'o', 'k', 0}));
    Bytes damaged = wire(dmtest::logPacket(dmtest::modemRecord(20, 0x5072)));
    damaged[8] ^= 0x40;
    append(s, damaged);
    append(s, wire(Bytes{0x14, 0x7D, 0x00}));
    Bytes conv(87, 0x7D);
    conv[0] = 0x1F;
    conv[1] = 0x02;
    conv[2] = 0x00;
    append(s, wire(conv));
    append(s, wire(Bytes{0x1D, 0x7E, 0x7E, 0x7D}));
    return s;
}

TEST(Receive, FrameSplitAtEveryPositionConvertsIdentically) {
    const Bytes s = realisticStream();
    const auto whole = convert(s);
    ASSERT_EQ(whole.log.status, LogReadStatus::Ok);
    ASSERT_EQ(whole.stats.crcErrors, 1u);
    ASSERT_EQ(whole.stats.sizeErrors, 0u);
    ASSERT_EQ(whole.log.records.size(), 10u);
    size_t afterEscape = 0;
    for (size_t cut = 0; cut <= s.size(); ++cut) {
        afterEscape += cut > 0 && s[cut - 1] == 0x7D;
        const auto split = convert(std::vector<Bytes>{Bytes(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(cut)),
                                                      Bytes(s.begin() + static_cast<std::ptrdiff_t>(cut), s.end())});
        ASSERT_EQ(split.file, whole.file) << "split at " << cut;
        ASSERT_EQ(split.stats.packets, whole.stats.packets) << cut;
    }
    EXPECT_GE(afterEscape, 10u);
    // And one byte at a time.
    std::vector<Bytes> bytes;
    for (uint8_t b : s) bytes.push_back({b});
    EXPECT_EQ(convert(bytes).file, whole.file);
}

TEST(Receive, FramesAbove2048BytesAreKeptWhole) {
    const Bytes rec = dmtest::modemRecord(3000, 0xB193, 5);
    Bytes reply(5000, 0x7E);
    reply[0] = 0x00;
    Bytes s = wire(dmtest::logPacket(rec));
    append(s, wire(reply));
    const auto c = convert(s);
    EXPECT_EQ(recordsOf(c), (std::vector<Bytes>{rec, packetRecord(reply)}));
}

TEST(Receive, LargestFrameKeptAndLongerOneDiscardedAndNoted) {
    // kMaxFrame bytes with CRC and flag: the largest wrapped record, 65535 bytes.
    const Bytes largest = cleanPayload(0x00, kMaxFrame - 3, 0x41);
    auto c = convert(wire(largest));
    ASSERT_EQ(c.log.records.size(), 1u);
    EXPECT_EQ(c.log.records[0].length, 0xFFFFu);
    EXPECT_EQ(c.record(0), packetRecord(largest));

    // One byte more is discarded up to the next flag; the next frame arrives intact, whatever
    // the chunking.
    const Bytes longer = cleanPayload(0x00, kMaxFrame - 2, 0x41);
    const Bytes next = {0x1D, 0x10, 0x20};
    Bytes s = wire(longer);
    ASSERT_EQ(s.size(), kMaxFrame + 1);
    append(s, wire(next));
    const std::string note =
        "KvxLog DM Error - frame too long (" + std::to_string(kMaxFrame + 1) + " bytes discarded)";
    for (size_t chunk : {s.size(), size_t{1024}, size_t{4093}, size_t{1}}) {
        std::vector<Bytes> chunks;
        for (size_t at = 0; at < s.size(); at += chunk)
            chunks.emplace_back(s.begin() + static_cast<std::ptrdiff_t>(at),
                                s.begin() + static_cast<std::ptrdiff_t>(std::min(s.size(), at + chunk)));
        c = convert(chunks);
        EXPECT_EQ(recordsOf(c), (std::vector<Bytes>{noteRecord(note), packetRecord(next)})) << chunk;
        EXPECT_EQ(c.stats.sizeErrors, 1u);
        EXPECT_EQ(c.stats.crcErrors, 0u);
        EXPECT_EQ(c.stats.packets, 2u);
    }

    // A much longer run of bytes with escapes inside is one error too.
    Bytes huge(200000, 0x33);
    for (size_t i = 0; i < huge.size(); i += 97) huge[i] = 0x7D;
    huge.push_back(0x7E);
    append(huge, wire(next));
    c = convert(huge);
    ASSERT_EQ(c.log.records.size(), 2u);
    EXPECT_EQ(c.text(0).rfind("KvxLog DM Error - frame too long (", 0), 0u);
    EXPECT_EQ(c.record(1), packetRecord(next));
    EXPECT_EQ(c.stats.sizeErrors, 1u);
}

TEST(Receive, CrcFailureOfTheLargestFrameIsCutToARecord) {
    Bytes frame = dmtest::plainFrame(cleanPayload(0x10, kMaxFrame - 3, 0x41));
    frame[5] ^= 0x02;
    const auto c = convert(frame);
    ASSERT_EQ(c.log.records.size(), 2u);
    EXPECT_EQ(c.text(0), "KvxLog DM Error - CRC");
    EXPECT_EQ(c.log.records[1].length, 0xFFFFu);
    EXPECT_EQ(c.record(1), noteRecord(Bytes(frame.begin(), frame.begin() + 0xFFFF - 12)));
    EXPECT_EQ(c.stats.crcErrors, 1u);
}

// Valid short packets of every command: every read stays inside the packet (checked by the
// sanitizer build) and the log stays readable.
// Every command code with 1 to 24 bytes of random packet, each packet followed by a damaged
// frame. The two CRC notes of the damaged frame close each packet's records, so each packet's
// records are checked on their own: the wrapped replies and 0x79 give exactly one record of
// the packet; codes outside the table give none; the log, event and 0x1F conversions give only
// records of their kinds, never a stray one.
TEST(Receive, ShortPacketsOfEveryCommand) {
    const std::set<unsigned> wrapped = {0x00, 0x15, 0x1C, 0x1D, 0x26, 0x4B, 0x73,
                                        0x78, 0x7C, 0x7D, 0x81, 0x82, 0x92};
    // 0x98 wraps a packet of any kind (from byte 8 on): its records are those of that packet.
    const std::set<unsigned> converted = {0x10, 0x1F, 0x60, 0x98};
    std::mt19937 rng(17);
    KvxLog engine;
    dmtest::TempFile out;
    ASSERT_TRUE(engine.openlog(out.path()));
    std::vector<Bytes> sent;
    for (unsigned code = 0; code < 256; ++code) {
        for (size_t n = 1; n <= 24; ++n) {
            Bytes p(n);
            for (auto& b : p) b = static_cast<uint8_t>(rng());
            p[0] = static_cast<uint8_t>(code);
            sent.push_back(p);
            engine.receive(wire(p));
            const Bytes odd = {static_cast<uint8_t>(code == 0x7E ? 0x7F : code), 0x7D};  // damaged
            engine.receive(odd);
            engine.receive(Bytes{0x7E});
        }
    }
    engine.closelog();
    const auto log = readLogFile(out.path());
    ASSERT_EQ(log.status, LogReadStatus::Ok) << describe(log);
    EXPECT_EQ(log.streamLength + log.padding, log.plain.size());
    EXPECT_EQ(engine.getstats().crcErrors, 256u * 24u);

    size_t at = 0;
    const std::string crcNote = "KvxLog DM Error - CRC";
    auto isCrcNote = [&](size_t i) {
        if (i >= log.records.size() || log.records[i].code != kCodeNote) return false;
        const auto body = log.body(log.records[i]);
        return std::string(body.begin(), body.end()) == crcNote;
    };
    for (const Bytes& p : sent) {
        const unsigned code = p[0];
        SCOPED_TRACE(::testing::Message() << "command 0x" << std::hex << code << std::dec
                                          << ", " << p.size() << " bytes");
        std::vector<size_t> mine;
        while (at < log.records.size() && !isCrcNote(at)) mine.push_back(at++);
        ASSERT_TRUE(isCrcNote(at)) << "the damaged frame's note follows";
        at += 2;  // the note and the frame as received
        if (wrapped.count(code) || code == 0x79) {
            ASSERT_EQ(mine.size(), 1u);
            const auto& r = log.records[mine[0]];
            EXPECT_EQ(r.code, code == 0x79 ? kCodeMessage : kCodePacket);
            EXPECT_EQ(r.length, 12u + p.size());
            const auto body = log.body(r);
            EXPECT_TRUE(std::equal(body.begin(), body.end(), p.begin(), p.end()));
        } else if (!converted.count(code)) {
            EXPECT_TRUE(mine.empty()) << "no record for a code outside the table";
        } else {
            for (size_t i : mine) {
                const auto& r = log.records[i];
                EXPECT_GE(r.length, 12u);
                const bool ok = code == 0x98 || r.code == kCodeNote || r.code == kCodeEvent ||
                                (code == 0x1F && (r.code == kCodeConverted1F || r.code == kCodePacket)) ||
                                (code == 0x10 && p.size() >= 8 &&
                                 r.code == static_cast<uint16_t>(p[6] | (p[7] << 8))) ||
                                (code == 0x60 && r.code == kCodePacket && p.size() < 4);
                EXPECT_TRUE(ok) << "record code 0x" << std::hex << r.code;
            }
        }
    }
    EXPECT_EQ(at, log.records.size());
}

// The counters of a raw-file run, chunk sizes, and a tail without flag left unprocessed.
TEST(Receive, DispatchOverARawFileCounts) {
    Bytes raw = wire(dmtest::logPacket(dmtest::modemRecord(1500, 0xB0E2)));
    append(raw, wire(Bytes{0x00, 0x01}));
    Bytes bad = wire(Bytes{0x4B, 0x08, 0x01, 0x00});
    bad[1] ^= 0x01;
    append(raw, bad);
    append(raw, wire(dmtest::logPacket(dmtest::modemRecord(30, 0xB0E2, 1, 31))));
    append(raw, wire(Bytes{0x60, 0x00, 0x00, 0x01, 0x80, 0x01, 0x02, 0x02, 0x80, 0x03, 0x04}));
    append(raw, Bytes{0x1D, 0x01, 0x02});  // no flag: never converted
    dmtest::TempFile in;
    dmtest::writeBytes(in.path(), raw);
    std::vector<int> chunks;
    const auto c = dmtest::convertRawFile(in.path(), &chunks);
    EXPECT_EQ(c.stats.bytes, raw.size());
    EXPECT_EQ(c.stats.crcErrors, 1u);
    EXPECT_EQ(c.stats.sizeErrors, 1u);
    // 2 conversion notes, 2 records, 2 CRC notes, 1 size note, 1 event batch.
    EXPECT_EQ(c.stats.packets, 8u);
    ASSERT_EQ(c.log.records.size(), 9u);
    EXPECT_EQ(c.text(0), "RAW DM file conversion starting");
    EXPECT_EQ(c.log.records[7].code, kCodeEvent);
    EXPECT_EQ(c.text(8), "RAW DM file conversion is complete");
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0], 1024);
    EXPECT_EQ(static_cast<size_t>(chunks[0] + chunks[1]), raw.size());
}

}  // namespace
}  // namespace kvx::dm
