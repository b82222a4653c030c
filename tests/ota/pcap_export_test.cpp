// The pcapng bytes the exporter writes, read back field by field as Wireshark would: the file
// header, IPv4/UDP/GSMTAP and exported-PDU packets, packet times from DM stamps, sub-slots and
// addresses from "Subscription N" notes, and the raw DIAG packets of --all.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "PcapngRead.h"
#include "dm/Blowfish.h"
#include "dm/DmTime.h"
#include "dm/KvxLog.h"
#include "dm/LogReader.h"
#include "ota/PcapExport.h"

namespace kvx::ota {
namespace {

using Bytes = std::vector<uint8_t>;

using test::Packet;
using test::parsePcapng;

// The packets an exporter appended (no file header).
std::vector<Packet> parse(const Bytes& b) {
    return parsePcapng(b, false);
}

// A log as the reader gives it: records enciphered into blocks (last one padded) and read back.
struct Rec {
    uint16_t code;
    uint64_t time;
    Bytes body;
};
dm::LogContents makeLog(const std::vector<Rec>& recs) {
    Bytes plain;
    for (const auto& r : recs) {
        const size_t len = 12 + r.body.size();
        plain.push_back(static_cast<uint8_t>(len));
        plain.push_back(static_cast<uint8_t>(len >> 8));
        plain.push_back(static_cast<uint8_t>(r.code));
        plain.push_back(static_cast<uint8_t>(r.code >> 8));
        for (int i = 0; i < 8; ++i) plain.push_back(static_cast<uint8_t>(r.time >> (8 * i)));
        plain.insert(plain.end(), r.body.begin(), r.body.end());
    }
    if (const size_t k = plain.size() % 8) {
        plain.insert(plain.end(), 7 - k, 0);
        plain.push_back(static_cast<uint8_t>(8 - k));
    }
    dm::logCipher().encryptBlocks(plain.data(), plain.size() / 8);
    dm::LogContents log = dm::readLog(plain);
    EXPECT_EQ(log.status, dm::LogReadStatus::Ok);
    EXPECT_EQ(log.records.size(), recs.size());
    return log;
}

Bytes text(const char* s) {
    return Bytes(s, s + std::strlen(s));
}

// 2025-06-06 15:02:18 UTC (Unix 1749222138) is 1433257338 s after 1980-01-06: in 1.25 ms
// steps, 800 a second, in the upper 48 bits of the stamp.
constexpr uint64_t kStamp = uint64_t{1433257338} * 800 << 16;
constexpr uint32_t kUnix = 1749222138;
constexpr uint64_t kUnixMicros = uint64_t{kUnix} * 1000000;

const Bytes kRrcBody = {8,    0x0e, 0x30, 0x01, 0x85, 0x00, 0x14, 0x05, 0,    0,    0x21,
                        0x34, 6,    0,    0,    0,    0,    3,    0,    0xaa, 0xbb, 0xcc};
const Bytes kNasBody = {1, 9, 5, 0, 0x07, 0x41};
const Bytes kRrcV99 = {99, 0, 0, 0};
// NR RRC version 9, PDU type 4 (DL-DCCH), and 5G NAS version 1.
const Bytes kNrBody = {9, 0, 0, 0, 15, 0, 1, 0x2a, 0, 0x40, 0x9c, 0, 0, 0, 0, 0, 0,
                       4, 0, 0, 0, 0, 2, 0, 0xde, 0xad};
const Bytes kNas5gBody = {1, 0, 0, 0, 15, 4, 0, 0x7e, 0x00, 0x44, 0x1b};

TEST(PcapExport, FileHeader) {
    Bytes b;
    appendFileHeader(b);
    const Bytes expected = {
        0x0a, 0x0d, 0x0d, 0x0a, 28, 0, 0, 0, 0x4d, 0x3c, 0x2b, 0x1a, 1, 0, 0, 0,  // section
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 28, 0, 0, 0,
        1, 0, 0, 0, 20, 0, 0, 0, 228, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0,  // raw IPv4
        1, 0, 0, 0, 20, 0, 0, 0, 252, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0,  // upper PDU
    };
    EXPECT_EQ(b, expected);
    EXPECT_EQ(b.size(), kFileHeader);
}

TEST(PcapExport, SimAddresses) {
    const struct {
        std::optional<uint32_t> subscription;
        uint8_t address;
    } cases[] = {{{}, 1}, {0u, 1}, {1u, 1}, {2u, 2}, {255u, 255}, {256u, 1}, {0xFFFFFFFFu, 1}};
    for (const auto& c : cases) EXPECT_EQ(simAddress(c.subscription), c.address);
}

TEST(PcapExport, PacketFieldsAndSizeLimit) {
    Bytes b;
    GsmtapFields f{0x0D, 5, 0x4123, 0x01020304, 7};
    const Bytes prefix = {1, 2};
    const Bytes payload = {3, 4, 5};
    ASSERT_TRUE(appendGsmtapPacket(b, int64_t{kUnix} * 1000000 + 625, 9, f, 2, prefix, payload));
    const auto ps = parse(b);
    ASSERT_EQ(ps.size(), 1u);
    EXPECT_EQ(ps[0].interface, kGsmtapInterface);
    EXPECT_EQ(ps[0].micros, kUnixMicros + 625);
    EXPECT_EQ(ps[0].src, 1);
    EXPECT_EQ(ps[0].dst, 2);
    EXPECT_EQ(ps[0].type, 0x0D);
    EXPECT_EQ(ps[0].subtype, 5);
    EXPECT_EQ(ps[0].arfcn, 0x4123);
    EXPECT_EQ(ps[0].frame, 0x01020304u);
    EXPECT_EQ(ps[0].subSlot, 7);
    EXPECT_EQ(ps[0].payload, (Bytes{1, 2, 3, 4, 5}));

    // The largest datagram fits IPv4's 16-bit length; one byte more is refused whole.
    Bytes big(kMaxGsmtapPayload, 0x55);
    Bytes out;
    EXPECT_TRUE(appendGsmtapPacket(out, 0, 0, f, 1, {}, big));
    EXPECT_EQ(out.size(), kPacketBlockHeader + 0x10000 + kPacketBlockTrailer);
    big.push_back(0);
    out.clear();
    EXPECT_FALSE(appendGsmtapPacket(out, 0, 0, f, 1, {}, big));
    EXPECT_FALSE(appendGsmtapPacket(out, 0, 0, f, 1, prefix, Bytes(kMaxGsmtapPayload - 1, 0)));
    EXPECT_TRUE(out.empty());
    // A time before 1970 is written as 0, not as a huge unsigned one.
    ASSERT_TRUE(appendGsmtapPacket(out, -5, 0, f, 1, {}, payload));
    EXPECT_EQ(parse(out).at(0).micros, 0u);
}

// The message behind the tags, with PER bits put in front where asked: each byte takes the
// low bits of the byte before and the high bits of its own.
TEST(PcapExport, UpperPduPackets) {
    const struct {
        const char* name;
        uint8_t leadBits, leadBitCount;
        Bytes payload, message;
    } cases[] = {
        {"nr-rrc.dl.dcch", 0, 0, {0xde, 0xad}, {0xde, 0xad}},
        {"nas-5gs", 0xff, 0, {0x7e}, {0x7e}},  // a count of 0 takes no bits
        {"nr-rrc.ul.dcch", 0x08, 5, {0x00}, {0x08, 0x00}},
        {"nr-rrc.ul.dcch", 0x08, 5, {0xff, 0x81}, {0x0f, 0xfc, 0x08}},
        {"x", 0xa5, 1, {0x01}, {0x80, 0x80}},  // only the top bit of the lead
        {"abc", 0xff, 7, {0x80}, {0xff, 0x00}},
        {"abcd", 0, 0, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out;
        ASSERT_TRUE(appendUpperPduPacket(out, 1234, c.name, 2, c.leadBits, c.leadBitCount,
                                         c.payload));
        const auto ps = parse(out);
        ASSERT_EQ(ps.size(), 1u);
        EXPECT_EQ(ps[0].interface, kUpperPduInterface);
        EXPECT_EQ(ps[0].micros, 1234u);
        EXPECT_EQ(ps[0].dissector, c.name);
        EXPECT_EQ(ps[0].src, 1);
        EXPECT_EQ(ps[0].dst, 2);
        EXPECT_EQ(ps[0].payload, c.message);
    }
    Bytes out;
    EXPECT_FALSE(appendUpperPduPacket(out, 0, "nas-5gs", 1, 0, 0, Bytes(kMaxUpperPduPayload + 1)));
    EXPECT_TRUE(out.empty());
}

TEST(PcapExport, TimesSubscriptionsAndCounts) {
    const dm::LogContents log = makeLog({
        {dm::kCodeNote, 0, text("KvxLog Plus - Version 1.0.0.0")},
        {0xB0C0, kStamp, kRrcBody},
        {dm::kCodeNote, 0, text("Subscription 2")},
        {0xB0ED, kStamp + 24576, kNasBody},   // half a step later: 625 us
        {0xB0C1, kStamp, {1, 2, 3}},          // not an over-the-air message
        {0xB0C0, kStamp, kRrcV99},            // a packet version nobody knows
        {0xB821, kStamp + 0x10000, kNrBody},
        {0xB80A, kStamp + 0x20000, kNas5gBody},
        {dm::kCodeNote, 0, text("Subscription 300")},
        {0xB0EC, kStamp, kNasBody},
        {0xB801, kStamp, kNas5gBody},
    });
    PcapExporter ex(false);
    Bytes out;
    ex.addLog(log, out);
    const auto ps = parse(out);
    ASSERT_EQ(ps.size(), 6u);
    EXPECT_EQ(ps[0].micros, kUnixMicros);
    EXPECT_EQ(ps[0].type, kGsmtapLteRrc);
    EXPECT_EQ(ps[0].subtype, 1);  // DL-DCCH
    EXPECT_EQ(ps[0].arfcn, 1300);
    EXPECT_EQ(ps[0].frame, 0x342u);
    EXPECT_EQ(ps[0].subSlot, 0);
    EXPECT_EQ(ps[0].dst, 1);
    EXPECT_EQ(ps[0].payload, (Bytes{0xaa, 0xbb, 0xcc}));
    EXPECT_EQ(ps[1].micros, kUnixMicros + 625);
    EXPECT_EQ(ps[1].type, kGsmtapLteNas);
    EXPECT_EQ(ps[1].arfcn, kGsmtapUplink);
    EXPECT_EQ(ps[1].subSlot, 2);
    EXPECT_EQ(ps[1].dst, 2);
    EXPECT_EQ(ps[1].payload, (Bytes{0x07, 0x41}));
    // NR RRC and 5G NAS on the second interface, in record order among the others.
    EXPECT_EQ(ps[2].interface, kUpperPduInterface);
    EXPECT_EQ(ps[2].dissector, "nr-rrc.dl.dcch");
    EXPECT_EQ(ps[2].micros, kUnixMicros + 1250);
    EXPECT_EQ(ps[2].dst, 2);
    EXPECT_EQ(ps[2].payload, (Bytes{0xde, 0xad}));
    EXPECT_EQ(ps[3].dissector, "nas-5gs");
    EXPECT_EQ(ps[3].micros, kUnixMicros + 2500);
    EXPECT_EQ(ps[3].payload, (Bytes{0x7e, 0x00, 0x44, 0x1b}));
    EXPECT_EQ(ps[4].subSlot, 255);  // an id beyond the 8-bit field
    EXPECT_EQ(ps[4].dst, 1);        // and beyond the address
    EXPECT_EQ(ps[5].dissector, "nas-5gs");

    const ExportStats& s = ex.stats();
    EXPECT_EQ(s.written[static_cast<size_t>(MessageKind::LteRrc)], 1u);
    EXPECT_EQ(s.written[static_cast<size_t>(MessageKind::LteNas)], 2u);
    EXPECT_EQ(s.written[static_cast<size_t>(MessageKind::NrRrc)], 1u);
    EXPECT_EQ(s.written[static_cast<size_t>(MessageKind::Nas5gs)], 2u);
    EXPECT_EQ(s.skipped[static_cast<size_t>(SkipReason::UnknownVersion)], 1u);
    EXPECT_EQ(s.otaRecords, 7u);
    EXPECT_EQ(s.otherRecords, 4u);
    EXPECT_EQ(s.rawDiag, 0u);
    EXPECT_EQ(s.packets(), 6u);

    // One step and 49151 of its 49152 units after the epoch: 2.49997 ms, cut to 2499 us.
    Bytes early;
    ex.addLog(makeLog({{0xB0ED, 0x1BFFF, kNasBody}}), early);
    const auto e = parse(early);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].micros, 315964800002499u);

    // The next log starts without a subscription, as the logger notes it anew in each file.
    Bytes more;
    ex.addLog(makeLog({{0xB0C0, kStamp, kRrcBody}}), more);
    const auto next = parse(more);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].subSlot, 0);
    EXPECT_EQ(next[0].dst, 1);
}

// NR RRC version 23 on: parts 1-6 are held and joined with the last part (7) into one packet;
// a last part without its first, or a gap, drops what was held.
TEST(PcapExport, NrRrcSegments) {
    auto part = [](uint8_t segment, Bytes msg) {
        Bytes b = {23, 0, 0, 0, 15, 0, 1, 0x2a, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                   0, 0, 0, 4, 0, 0, 0, 0, static_cast<uint8_t>(msg.size()), 0, 0, 0, 0, segment};
        b.insert(b.end(), msg.begin(), msg.end());
        return Rec{0xB821, kStamp, b};
    };
    const dm::LogContents log = makeLog({
        part(1, {1, 2}), part(2, {3}), part(7, {4, 5}),  // one message of three parts
        part(0, {9}),                                    // whole
        part(7, {6}),                                    // a last part alone
        part(1, {7}), part(3, {8}),                      // a gap: both dropped
        part(1, {10}), part(1, {11}), part(7, {12}),     // a first part never completed
        part(1, {13}),                                   // held at the end
    });
    PcapExporter ex(true);
    Bytes out;
    ex.addLog(log, out);
    const auto ps = parse(out);
    std::vector<Bytes> nr, diag;
    for (const auto& p : ps) (p.interface == kUpperPduInterface ? nr : diag).push_back(p.payload);
    EXPECT_EQ(nr, (std::vector<Bytes>{{1, 2, 3, 4, 5}, {9}, {11, 12}}));
    const ExportStats& s = ex.stats();
    EXPECT_EQ(s.written[static_cast<size_t>(MessageKind::NrRrc)], 3u);
    // 7 alone; 1 and 3 of the gap; the first part 1 replaced by another.
    EXPECT_EQ(s.skipped[static_cast<size_t>(SkipReason::MissingSegment)], 4u);
    EXPECT_EQ(s.segments, 1u);  // the part at the end stays held
    EXPECT_EQ(diag.size(), 2u);  // the refused last part and the refused gap part, as DIAG
}

TEST(PcapExport, EverythingElseAsDiagPackets) {
    const Bytes reply = {0x1D, 1, 2, 3, 4, 5, 6, 7, 8};
    const dm::LogContents log = makeLog({
        {dm::kCodeNote, 0, text("RAW DM file conversion starting")},  // before any stamp
        {0xB0C0, kStamp, kRrcBody},
        {dm::kCodePacket, 0, reply},  // no stamp: the time of the record before
        {0xB0C1, kStamp + (uint64_t{800} << 16), {9, 8}},
        {0xB0C0, kStamp, kRrcV99},
    });
    PcapExporter ex(true);
    Bytes out;
    ex.addLog(log, out);
    const auto ps = parse(out);
    ASSERT_EQ(ps.size(), 5u);
    for (const auto& p : ps) EXPECT_GE(p.micros, kUnixMicros);  // never 1970 or 1980
    // A note as a DIAG log packet around the record: 10 00, the record length, the record.
    EXPECT_EQ(ps[0].type, kGsmtapQcDiag);
    const Bytes note = text("RAW DM file conversion starting");
    ASSERT_EQ(ps[0].payload.size(), 4 + 12 + note.size());
    EXPECT_EQ(ps[0].payload[0], 0x10);
    EXPECT_EQ(ps[0].payload[1], 0);
    EXPECT_EQ(ps[0].payload[2] | ps[0].payload[3] << 8, static_cast<int>(12 + note.size()));
    EXPECT_EQ(ps[0].payload[6] | ps[0].payload[7] << 8, dm::kCodeNote);
    EXPECT_EQ(Bytes(ps[0].payload.begin() + 16, ps[0].payload.end()), note);
    EXPECT_EQ(ps[1].type, kGsmtapLteRrc);
    // A wrapped reply is the DIAG packet as it came.
    EXPECT_EQ(ps[2].type, kGsmtapQcDiag);
    EXPECT_EQ(ps[2].payload, reply);
    EXPECT_EQ(ps[2].micros, kUnixMicros);
    EXPECT_EQ(ps[3].micros, kUnixMicros + 1000000);
    EXPECT_EQ(Bytes(ps[3].payload.end() - 2, ps[3].payload.end()), (Bytes{9, 8}));
    // A skipped over-the-air record is kept too, as DIAG.
    EXPECT_EQ(ps[4].type, kGsmtapQcDiag);
    EXPECT_EQ(ex.stats().rawDiag, 4u);
    EXPECT_EQ(ex.stats().skipped[static_cast<size_t>(SkipReason::UnknownVersion)], 1u);
}

TEST(PcapExport, SubscriptionNoteTexts) {
    const struct {
        const char* text;
        std::optional<uint32_t> id;
    } cases[] = {{"Subscription 1", 1u},  {"Subscription 4294967295", 4294967295u},
                 {"Subscription ", {}},   {"Subscription 4294967296", {}},
                 {"Subscription 2x", {}}, {"subscription 2", {}},
                 {"Subscription -1", {}}, {"Log manually stopped from UI", {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(subscriptionNote(text(c.text)), c.id);
    }
}

}  // namespace
}  // namespace kvx::ota
