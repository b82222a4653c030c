// The pcap bytes the exporter writes, read back field by field as Wireshark would: the file
// header, IPv4/UDP/GSMTAP of each packet, packet times from DM stamps, sub-slots from
// "Subscription N" notes, and the raw DIAG packets of --all.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dm/Blowfish.h"
#include "dm/KvxLog.h"
#include "dm/LogReader.h"
#include "ota/PcapExport.h"

namespace kvx::ota {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t rd32le(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t rd16be(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

struct Packet {
    uint32_t sec = 0, usec = 0;
    uint8_t type = 0, subtype = 0, subSlot = 0;
    uint16_t arfcn = 0;
    uint32_t frame = 0;
    Bytes payload;  // after the GSMTAP header
};

// Parses what appendGsmtapPacket wrote, checking the headers' own consistency on the way.
std::vector<Packet> parse(const Bytes& b, size_t from) {
    std::vector<Packet> out;
    size_t pos = from;
    while (pos < b.size()) {
        EXPECT_GE(b.size() - pos, kPcapRecordHeader);
        if (b.size() - pos < kPcapRecordHeader) break;
        Packet p;
        p.sec = rd32le(&b[pos]);
        p.usec = rd32le(&b[pos + 4]);
        const uint32_t incl = rd32le(&b[pos + 8]);
        EXPECT_EQ(incl, rd32le(&b[pos + 12]));
        EXPECT_LT(p.usec, 1000000u);
        pos += kPcapRecordHeader;
        EXPECT_LE(incl, b.size() - pos);
        if (incl > b.size() - pos) break;
        const uint8_t* ip = &b[pos];
        EXPECT_EQ(ip[0], 0x45);
        EXPECT_EQ(rd16be(ip + 2), incl);
        EXPECT_EQ(ip[9], 17);
        uint32_t sum = 0;  // a header with its checksum sums to 0xFFFF
        for (size_t i = 0; i < kIpv4Header; i += 2) sum += rd16be(ip + i);
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        EXPECT_EQ(sum, 0xFFFFu);
        const uint8_t* udp = ip + kIpv4Header;
        EXPECT_EQ(rd16be(udp + 2), kGsmtapPort);
        EXPECT_EQ(rd16be(udp + 4), incl - kIpv4Header);
        const uint8_t* g = udp + kUdpHeader;
        EXPECT_EQ(g[0], 2);
        EXPECT_EQ(g[1], 4);
        p.type = g[2];
        p.arfcn = rd16be(g + 4);
        p.frame = static_cast<uint32_t>(rd16be(g + 8)) << 16 | rd16be(g + 10);
        p.subtype = g[12];
        p.subSlot = g[14];
        p.payload.assign(g + kGsmtapHeader, ip + incl);
        out.push_back(p);
        pos += incl;
    }
    return out;
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

const Bytes kRrcBody = {8,    0x0e, 0x30, 0x01, 0x85, 0x00, 0x14, 0x05, 0,    0,    0x21,
                        0x34, 6,    0,    0,    0,    0,    3,    0,    0xaa, 0xbb, 0xcc};
const Bytes kNasBody = {1, 9, 5, 0, 0x07, 0x41};
const Bytes kRrcV99 = {99, 0, 0, 0};

TEST(PcapExport, FileHeader) {
    Bytes b;
    appendFileHeader(b);
    const Bytes expected = {0xd4, 0xc3, 0xb2, 0xa1, 2,    0,    4, 0, 0,   0, 0, 0,
                            0,    0,    0,    0,    0xff, 0xff, 0, 0, 228, 0, 0, 0};
    EXPECT_EQ(b, expected);
}

TEST(PcapExport, PacketFieldsAndSizeLimit) {
    Bytes b;
    GsmtapFields f{0x0D, 5, 0x4123, 0x01020304, 7};
    const Bytes prefix = {1, 2};
    const Bytes payload = {3, 4, 5};
    ASSERT_TRUE(appendGsmtapPacket(b, int64_t{kUnix} * 1000000 + 625, 9, f, prefix, payload));
    const auto ps = parse(b, 0);
    ASSERT_EQ(ps.size(), 1u);
    EXPECT_EQ(ps[0].sec, kUnix);
    EXPECT_EQ(ps[0].usec, 625u);
    EXPECT_EQ(ps[0].type, 0x0D);
    EXPECT_EQ(ps[0].subtype, 5);
    EXPECT_EQ(ps[0].arfcn, 0x4123);
    EXPECT_EQ(ps[0].frame, 0x01020304u);
    EXPECT_EQ(ps[0].subSlot, 7);
    EXPECT_EQ(ps[0].payload, (Bytes{1, 2, 3, 4, 5}));

    // The largest datagram fits IPv4's 16-bit length; one byte more is refused whole.
    Bytes big(kMaxGsmtapPayload, 0x55);
    Bytes out;
    EXPECT_TRUE(appendGsmtapPacket(out, 0, 0, f, {}, big));
    EXPECT_EQ(out.size(), kPcapRecordHeader + 0xFFFF);
    big.push_back(0);
    out.clear();
    EXPECT_FALSE(appendGsmtapPacket(out, 0, 0, f, {}, big));
    EXPECT_FALSE(appendGsmtapPacket(out, 0, 0, f, prefix, Bytes(kMaxGsmtapPayload - 1, 0)));
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
        {dm::kCodeNote, 0, text("Subscription 300")},
        {0xB0EC, kStamp, kNasBody},
    });
    PcapExporter ex(false);
    Bytes out;
    ex.addLog(log, out);
    const auto ps = parse(out, 0);
    ASSERT_EQ(ps.size(), 3u);
    EXPECT_EQ(ps[0].sec, kUnix);
    EXPECT_EQ(ps[0].usec, 0u);
    EXPECT_EQ(ps[0].type, kGsmtapLteRrc);
    EXPECT_EQ(ps[0].subtype, 1);  // DL-DCCH
    EXPECT_EQ(ps[0].arfcn, 1300);
    EXPECT_EQ(ps[0].frame, 0x342u);
    EXPECT_EQ(ps[0].subSlot, 0);
    EXPECT_EQ(ps[0].payload, (Bytes{0xaa, 0xbb, 0xcc}));
    EXPECT_EQ(ps[1].usec, 625u);
    EXPECT_EQ(ps[1].type, kGsmtapLteNas);
    EXPECT_EQ(ps[1].arfcn, kGsmtapUplink);
    EXPECT_EQ(ps[1].subSlot, 2);
    EXPECT_EQ(ps[1].payload, (Bytes{0x07, 0x41}));
    EXPECT_EQ(ps[2].subSlot, 255);  // an id beyond the 8-bit field

    const ExportStats& s = ex.stats();
    EXPECT_EQ(s.written[static_cast<size_t>(MessageKind::LteRrc)], 1u);
    EXPECT_EQ(s.written[static_cast<size_t>(MessageKind::LteNas)], 2u);
    EXPECT_EQ(s.skipped[static_cast<size_t>(SkipReason::UnknownVersion)], 1u);
    EXPECT_EQ(s.otaRecords, 4u);
    EXPECT_EQ(s.otherRecords, 4u);
    EXPECT_EQ(s.rawDiag, 0u);
    EXPECT_EQ(s.packets(), 3u);

    // One step and 49151 of its 49152 units after the epoch: 2.49997 ms, cut to 2499 us.
    Bytes early;
    ex.addLog(makeLog({{0xB0ED, 0x1BFFF, kNasBody}}), early);
    const auto e = parse(early, 0);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].sec, 315964800u);
    EXPECT_EQ(e[0].usec, 2499u);

    // The next log starts without a subscription, as the logger notes it anew in each file.
    Bytes more;
    ex.addLog(makeLog({{0xB0C0, kStamp, kRrcBody}}), more);
    const auto next = parse(more, 0);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].subSlot, 0);
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
    const auto ps = parse(out, 0);
    ASSERT_EQ(ps.size(), 5u);
    for (const auto& p : ps) EXPECT_GE(p.sec, kUnix);  // never 1970 or 1980
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
    EXPECT_EQ(ps[2].sec, kUnix);
    EXPECT_EQ(ps[3].sec, kUnix + 1);
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
