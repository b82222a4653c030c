// Each over-the-air layout against hand-made log bodies: the message found and its GSMTAP
// fields or dissector, and the reason given for a body that holds none.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ota/OtaLayouts.h"

namespace kvx::ota {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes le16(uint16_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
}
Bytes le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

const Bytes kMsg = {0x28, 0x04, 0x03, 0x49};

// LTE RRC bodies in the header layouts of the packet versions.
Bytes lteV8(uint8_t version, uint32_t earfcn, uint16_t sfnSub, uint8_t pdu, const Bytes& msg,
            int lengthDelta = 0) {
    return cat({{version, 0x0e, 0x30, 0x01},
                le16(0x85),
                le32(earfcn),
                le16(sfnSub),
                {pdu},
                le32(0),
                le16(static_cast<uint16_t>(msg.size() + lengthDelta)),
                msg});
}
Bytes lteV2(uint8_t version, uint16_t earfcn, uint16_t sfnSub, uint8_t pdu, const Bytes& msg) {
    return cat({{version, 0x09, 0x01, 0x00},
                le16(3),
                le16(earfcn),
                le16(sfnSub),
                {pdu},
                le16(static_cast<uint16_t>(msg.size())),
                msg});
}
Bytes lteV6(uint8_t version, uint16_t earfcn, uint16_t sfnSub, uint8_t pdu, const Bytes& msg) {
    return cat({{version, 0x09, 0x01, 0x00},
                le16(3),
                le16(earfcn),
                le16(sfnSub),
                {pdu},
                le32(0),
                le16(static_cast<uint16_t>(msg.size())),
                msg});
}
Bytes lteV25(uint8_t version, uint32_t earfcn, uint16_t sfnSub, uint8_t pdu, const Bytes& msg,
             bool pad) {
    Bytes b = cat({{version, 0x0f, 0x40, 0x0f, 0x10, 0x02},
                   le16(400),
                   le32(earfcn),
                   le16(sfnSub),
                   {pdu},
                   le32(0),
                   le16(static_cast<uint16_t>(msg.size()))});
    if (pad) b.insert(b.end(), {0, 0, 0});
    return cat({b, msg});
}
Bytes nas(uint8_t version, const Bytes& msg) {
    return cat({{version, 0x09, 0x05, 0x00}, msg});
}
Bytes wcdma(uint8_t type, const Bytes& extra, const Bytes& msg, size_t length) {
    return cat({{type, 0x02}, le16(static_cast<uint16_t>(length)), extra, msg});
}
Bytes gsm(uint8_t chanDir, uint8_t type, const Bytes& msg, int lengthDelta = 0) {
    return cat({{chanDir, type, static_cast<uint8_t>(msg.size() + lengthDelta)}, msg});
}

// NR RRC bodies in the header layouts of the packet versions: version (32 bits), release,
// bearer, PCI, [cell global id from 17], NR-ARFCN, SFN (4 bytes up to 9, then 3), PDU type,
// SIB mask, length, [a byte from 19], [two bytes and the segment from 23, but not in 25],
// the message.
Bytes nr(uint32_t version, uint8_t pdu, const Bytes& msg, uint8_t segment = 0,
         int lengthDelta = 0) {
    Bytes b = cat({le32(version), {0x0f, 0x40, 1}, le16(0x2a)});
    if (version >= 17) b = cat({b, Bytes(8, 0x11)});
    b = cat({b, le32(632628), Bytes(version <= 9 ? 4 : 3, 0x22), {pdu}, le32(0),
             le16(static_cast<uint16_t>(msg.size() + lengthDelta))});
    if (version >= 19) b.push_back(0);
    if (version >= 23 && version != 25) b = cat({b, {0, 0, segment}});
    return cat({b, msg});
}
Bytes nas5g(uint32_t version, const Bytes& msg) {
    return cat({le32(version), {0x0f, 0x04, 0x00}, msg});
}

struct Case {
    std::string name;
    uint16_t code;
    Bytes body;
    Outcome outcome;
    SkipReason reason = SkipReason::UnknownVersion;
    MessageKind kind = MessageKind::LteRrc;
    uint8_t type = 0, subtype = 0;
    uint16_t arfcn = 0;
    uint32_t frame = 0;
    Bytes prefix = {};
    Bytes payload = kMsg;
};

Case message(std::string name, uint16_t code, Bytes body, MessageKind kind, uint8_t type,
             uint8_t subtype, uint16_t arfcn = 0, uint32_t frame = 0, Bytes prefix = {},
             Bytes payload = kMsg) {
    return {std::move(name),
            code,
            std::move(body),
            Outcome::Message,
            SkipReason::UnknownVersion,
            kind,
            type,
            subtype,
            arfcn,
            frame,
            std::move(prefix),
            std::move(payload)};
}
Case skip(std::string name, uint16_t code, Bytes body, SkipReason reason) {
    Case c{std::move(name), code, std::move(body), Outcome::Skipped};
    c.reason = reason;
    return c;
}

constexpr uint16_t UL = kGsmtapUplink;
constexpr auto Rrc = MessageKind::LteRrc;

TEST(OtaLayouts, TableOfBodies) {
    const Bytes big(64, 0x2b);
    const std::vector<Case> cases = {
        // LTE RRC: the channel numbering differs between packet versions.
        message("LTE v8 DL-DCCH", 0xB0C0, lteV8(8, 1300, 0x4561, 6, kMsg), Rrc, 0x0D, 1, 1300,
                0x456),
        message("LTE v9 DL-DCCH", 0xB0C0, lteV8(9, 1300, 0x0010, 13, kMsg), Rrc, 0x0D, 1, 1300, 1),
        message("LTE v15 UL-CCCH", 0xB0C0, lteV8(15, 5230, 0x3421, 8, kMsg), Rrc, 0x0D, 2,
                5230 | UL, 0x342),
        message("LTE v15 BCCH-BCH", 0xB0C0, lteV8(15, 5230, 0, 1, kMsg), Rrc, 0x0D, 4, 5230),
        message("LTE v20 PCCH", 0xB0C0, lteV8(20, 39323, 0x27a0, 5, kMsg), Rrc, 0x0D, 6, 0, 0x27a),
        message("LTE v20 UL-DCCH-NB", 0xB0C0, lteV8(20, 2400, 0, 61, kMsg), Rrc, 0x0D, 17,
                2400 | UL),
        message("LTE v19 BCCH-DL-SCH", 0xB0C0, lteV8(19, 100, 0, 3, kMsg), Rrc, 0x0D, 5, 100),
        message("LTE v2 header", 0xB0C0, lteV2(2, 300, 0x0015, 1, kMsg), Rrc, 0x0D, 4, 300, 1),
        message("LTE v6 header", 0xB0C0, lteV6(6, 300, 0, 7, kMsg), Rrc, 0x0D, 2, 300 | UL),
        message("LTE v26 header", 0xB0C0, lteV25(26, 1850, 0, 3, kMsg, false), Rrc, 0x0D, 5, 1850),
        message("LTE v30 header", 0xB0C0, lteV25(30, 1850, 0, 9, kMsg, true), Rrc, 0x0D, 1, 1850),
        message("LTE EARFCN beyond 14 bits", 0xB0C0, lteV8(8, 66486, 0, 5, kMsg), Rrc, 0x0D, 0, 0),
        message("LTE message shorter than the body", 0xB0C0, cat({lteV8(8, 1, 0, 5, kMsg), {0, 0}}),
                Rrc, 0x0D, 0, 1),
        skip("LTE version 5", 0xB0C0, lteV6(5, 300, 0, 1, kMsg), SkipReason::UnknownVersion),
        skip("LTE version 31", 0xB0C0, lteV25(31, 1, 0, 1, kMsg, true), SkipReason::UnknownVersion),
        skip("LTE PDU type 99", 0xB0C0, lteV8(8, 1, 0, 99, kMsg), SkipReason::UnknownChannel),
        skip("LTE length past the end", 0xB0C0, lteV8(8, 1, 0, 6, kMsg, 1), SkipReason::Truncated),
        skip("LTE no message", 0xB0C0, lteV8(8, 1, 0, 6, {}), SkipReason::Truncated),
        skip("LTE header cut", 0xB0C0, {8, 0x0e, 0x30, 0x01, 0x85}, SkipReason::Truncated),
        skip("LTE empty", 0xB0C0, {}, SkipReason::Truncated),
        // LTE NAS: plain or with a security header, from or to the phone.
        message("NAS EMM plain in", 0xB0EC, nas(1, kMsg), MessageKind::LteNas, 0x12, 0),
        message("NAS EMM plain out", 0xB0ED, nas(1, kMsg), MessageKind::LteNas, 0x12, 0, UL),
        message("NAS ESM plain in", 0xB0E2, nas(1, kMsg), MessageKind::LteNas, 0x12, 0),
        message("NAS ESM plain out", 0xB0E3, nas(1, kMsg), MessageKind::LteNas, 0x12, 0, UL),
        message("NAS EMM secured in", 0xB0EA, nas(1, kMsg), MessageKind::LteNas, 0x12, 1),
        message("NAS EMM secured out", 0xB0EB, nas(1, kMsg), MessageKind::LteNas, 0x12, 1, UL),
        message("NAS ESM secured in", 0xB0E0, nas(1, kMsg), MessageKind::LteNas, 0x12, 1),
        message("NAS ESM secured out", 0xB0E1, nas(1, kMsg), MessageKind::LteNas, 0x12, 1, UL),
        skip("NAS version 2", 0xB0EC, nas(2, kMsg), SkipReason::UnknownVersion),
        skip("NAS header only", 0xB0ED, nas(1, {}), SkipReason::Truncated),
        // WCDMA RRC: old and new channel numbering, SIB classes.
        message("WCDMA DL-DCCH", 0x412F, wcdma(3, {}, kMsg, 4), MessageKind::WcdmaRrc, 0x0C, 0),
        message("WCDMA UL-CCCH", 0x412F, wcdma(0, {}, kMsg, 4), MessageKind::WcdmaRrc, 0x0C, 3, UL),
        message("WCDMA SI container", 0x412F, wcdma(10, {}, kMsg, 4), MessageKind::WcdmaRrc, 0x0C,
                14),
        message("WCDMA new UL-DCCH", 0x412F, wcdma(0x81, cat({le16(9800), le16(0x1230)}), kMsg, 4),
                MessageKind::WcdmaRrc, 0x0C, 1, 9800 | UL),
        message("WCDMA new BCCH-BCH", 0x412F, wcdma(0x84, cat({le16(10700), le16(0)}), kMsg, 4),
                MessageKind::WcdmaRrc, 0x0C, 8, 10700),
        message("WCDMA SIB3", 0x412F, wcdma(9, {3}, kMsg, 5), MessageKind::WcdmaRrc, 0x0C, 19),
        message("WCDMA MIB", 0x412F, wcdma(0xFE, {0}, kMsg, 5), MessageKind::WcdmaRrc, 0x0C, 16),
        message("WCDMA old class 31: SIB11bis", 0x412F, wcdma(0xFF, {31}, kMsg, 5),
                MessageKind::WcdmaRrc, 0x0C, 29),
        message("WCDMA new class 31: SIB19", 0x412F,
                wcdma(0xF0, cat({le16(10700), le16(0), {31}}), kMsg, 5), MessageKind::WcdmaRrc,
                0x0C, 54, 10700),
        message("WCDMA new SIB18", 0x412F, wcdma(0x89, cat({le16(10700), le16(0), {26}}), kMsg, 5),
                MessageKind::WcdmaRrc, 0x0C, 53, 10700),
        skip("WCDMA channel 0x50", 0x412F, wcdma(0x50, {}, kMsg, 4), SkipReason::UnknownChannel),
        skip("WCDMA SIB class 40", 0x412F, wcdma(9, {40}, kMsg, 5), SkipReason::UnknownChannel),
        skip("WCDMA length past the end", 0x412F, wcdma(3, {}, kMsg, 5), SkipReason::Truncated),
        skip("WCDMA new header cut", 0x412F, wcdma(0x83, {0x01}, {}, 0), SkipReason::Truncated),
        // UMTS NAS: direction 1 is from the phone.
        message("UMTS NAS up", 0x713A, cat({{1}, le32(4), kMsg}), MessageKind::UmtsNas, 0x02, 0,
                UL),
        message("UMTS NAS down", 0x713A, cat({{0}, le32(4), kMsg}), MessageKind::UmtsNas, 0x02, 0),
        skip("UMTS NAS length past the end", 0x713A, cat({{0}, le32(5), kMsg}),
             SkipReason::Truncated),
        // GSM RR: bit 7 of the channel byte is downlink; dedicated channels get L1/L2 headers.
        message("GSM BCCH", 0x512F, gsm(0x81, 0x19, kMsg), MessageKind::GsmRr, 0x01, 0x01),
        message("GSM CCCH", 0x512F, gsm(0x83, 0x21, kMsg), MessageKind::GsmRr, 0x01, 0x02),
        message("GSM RACH", 0x512F, gsm(0x02, 0x00, kMsg), MessageKind::GsmRr, 0x01, 0x03, UL),
        message("GSM DCCH up", 0x512F, gsm(0x00, 0x16, kMsg), MessageKind::GsmRr, 0x01, 0x08, UL, 0,
                {0x01, 0x03, 4 << 2 | 1}),
        message("GSM SACCH down", 0x512F, gsm(0x84, 0x1d, kMsg), MessageKind::GsmRr, 0x01, 0x88, 0,
                0, {0x00, 0x00, 0x01, 0x03, 4 << 2 | 1}),
        skip("GSM channel 5", 0x512F, gsm(0x85, 0, kMsg), SkipReason::UnknownChannel),
        skip("GSM DCCH of 64 bytes", 0x512F, gsm(0x80, 0, big), SkipReason::TooLong),
        skip("GSM length past the end", 0x512F, gsm(0x81, 0, kMsg, 1), SkipReason::Truncated),
        // GPRS GMM/SM: a fixed buffer of which `length` bytes are the message; 0 is uplink.
        message("GPRS GMM up", 0x5230, cat({{0, 8}, le16(4), kMsg, Bytes(20, 0)}),
                MessageKind::GprsGmmSm, 0x02, 0, UL),
        message("GPRS GMM down", 0x5230, cat({{1, 9}, le16(4), kMsg}), MessageKind::GprsGmmSm, 0x02,
                0),
        skip("GPRS length past the end", 0x5230, cat({{1, 9}, le16(5), kMsg}),
             SkipReason::Truncated),
        {"LTE MIB log is no message", 0xB0C1, lteV8(8, 1, 0, 1, kMsg), Outcome::NotOta},
        {"event record code", 0x1FFB, kMsg, Outcome::NotOta},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(isOtaCode(c.code), c.outcome != Outcome::NotOta);
        const Decoded d = decodeRecord(c.code, c.body);
        ASSERT_EQ(d.outcome, c.outcome);
        if (c.outcome == Outcome::Skipped) {
            EXPECT_EQ(d.reason, c.reason);
        }
        if (c.outcome != Outcome::Message) continue;
        const OtaMessage& m = d.message;
        EXPECT_EQ(m.kind, c.kind);
        EXPECT_EQ(m.type, c.type);
        EXPECT_EQ(m.subtype, c.subtype);
        EXPECT_EQ(m.arfcn, c.arfcn);
        EXPECT_EQ(m.frame, c.frame);
        EXPECT_EQ(Bytes(m.prefix.begin(), m.prefix.begin() + m.prefixLength), c.prefix);
        EXPECT_EQ(Bytes(m.payload.begin(), m.payload.end()), c.payload);
        // The message is a part of the body, not a copy.
        EXPECT_GE(m.payload.data(), c.body.data());
        EXPECT_LE(m.payload.data() + m.payload.size(), c.body.data() + c.body.size());
    }
}

// Each NR RRC packet version with the PDU types its public source names, to Wireshark 4.0's
// dissector names; RRCReconfigurationComplete goes to UL-DCCH behind its five choice bits.
TEST(OtaLayouts, NrRrcVersions) {
    constexpr const char* kUlDcch = "nr-rrc.ul.dcch";
    const struct {
        uint32_t version;
        uint8_t pdu;
        const char* dissector;  // null: skipped as an unknown channel
        bool reconfComplete = false;
    } cases[] = {
        // MobileInsight's versions 7 and 8: only the types it names.
        {7, 1, "nr-rrc.bcch.bch"}, {7, 8, kUlDcch}, {7, 9, "nr-rrc.rrc_reconf"},
        {7, 10, kUlDcch, true}, {7, 24, "nr-rrc.radiobearerconfig"}, {7, 2, nullptr},
        {8, 26, "nr-rrc.radiobearerconfig"}, {8, 24, nullptr},
        // SCAT's versions 9 and 12.
        {9, 1, "nr-rrc.bcch.bch"}, {9, 2, "nr-rrc.bcch.dl.sch"}, {9, 3, "nr-rrc.dl.ccch"},
        {9, 4, "nr-rrc.dl.dcch"}, {9, 5, "nr-rrc.pcch"}, {9, 6, "nr-rrc.ul.ccch"},
        {9, 7, "nr-rrc.ul.ccch1"}, {9, 8, kUlDcch}, {9, 9, "nr-rrc.rrc_reconf"},
        {9, 10, kUlDcch, true}, {9, 25, "nr-rrc.radiobearerconfig"},
        {9, 28, "nr-rrc.ue_mrdc_cap"}, {9, 29, "nr-rrc.ue_nr_cap"}, {9, 11, nullptr},
        {12, 4, "nr-rrc.dl.dcch"}, {12, 29, "nr-rrc.ue_nr_cap"},
        // 14: capabilities and radio bearer config move.
        {14, 28, "nr-rrc.radiobearerconfig"}, {14, 31, "nr-rrc.ue_mrdc_cap"},
        {14, 32, "nr-rrc.ue_nr_cap"}, {14, 33, "nr-rrc.ue_nr_cap"}, {14, 29, nullptr},
        // 17, 19, 25: the cell global id, and from 19 one more byte.
        {17, 6, "nr-rrc.ul.ccch"}, {17, 29, "nr-rrc.radiobearerconfig"},
        {19, 10, kUlDcch, true}, {25, 3, "nr-rrc.dl.ccch"}, {25, 28, nullptr},
        // 20, 23, 24: MCCH at 5, everything after it one higher.
        {20, 5, "nr-rrc.mcch"}, {20, 6, "nr-rrc.pcch"}, {20, 9, kUlDcch},
        {20, 10, "nr-rrc.rrc_reconf"}, {20, 11, kUlDcch, true},
        {20, 36, "nr-rrc.radiobearerconfig"}, {23, 8, "nr-rrc.ul.ccch1"},
        {24, 1, "nr-rrc.bcch.bch"},
        // 26 and 28: reconfiguration at 11 and 12; 28 also has UL-DCCH at 10.
        {26, 11, "nr-rrc.rrc_reconf"}, {26, 12, kUlDcch, true}, {26, 10, nullptr},
        {28, 10, kUlDcch}, {28, 12, kUlDcch, true}, {28, 36, "nr-rrc.radiobearerconfig"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "version " << c.version << " PDU " << int{c.pdu});
        const Bytes body = nr(c.version, c.pdu, kMsg);
        EXPECT_TRUE(isOtaCode(kNrRrcOta));
        const Decoded d = decodeRecord(kNrRrcOta, body);
        if (!c.dissector) {
            ASSERT_EQ(d.outcome, Outcome::Skipped);
            EXPECT_EQ(d.reason, SkipReason::UnknownChannel);
            continue;
        }
        ASSERT_EQ(d.outcome, Outcome::Message);
        const OtaMessage& m = d.message;
        EXPECT_EQ(m.kind, MessageKind::NrRrc);
        EXPECT_STREQ(m.dissector, c.dissector);
        EXPECT_EQ(m.leadBitCount, c.reconfComplete ? 5 : 0);
        if (c.reconfComplete) {
            EXPECT_EQ(m.leadBits >> 3, 0x01);  // c1 (0), then 0001
        }
        EXPECT_EQ(m.segment, 0);
        EXPECT_EQ(Bytes(m.payload.begin(), m.payload.end()), kMsg);
        EXPECT_EQ(m.payload.data() + m.payload.size(), body.data() + body.size());
    }
}

TEST(OtaLayouts, NrRrcAndNas5gsRefused) {
    const struct {
        const char* name;
        uint16_t code;
        Bytes body;
        SkipReason reason;
    } cases[] = {
        {"version 10", kNrRrcOta, nr(10, 1, kMsg), SkipReason::UnknownVersion},
        {"version 29", kNrRrcOta, nr(29, 1, kMsg), SkipReason::UnknownVersion},
        {"version 9 in the upper bytes", kNrRrcOta, nr(0x0109, 1, kMsg),
         SkipReason::UnknownVersion},
        {"length past the end", kNrRrcOta, nr(9, 1, kMsg, 0, 1), SkipReason::Truncated},
        {"length 0", kNrRrcOta, nr(9, 1, {}), SkipReason::Truncated},
        {"segment 8", kNrRrcOta, nr(23, 1, kMsg, 8), SkipReason::UnknownChannel},
        {"5G NAS version 2", kNrNasMmPlainIn, nas5g(2, kMsg), SkipReason::UnknownVersion},
        {"5G NAS without a message", kNrNasSmSecOut, nas5g(1, {}), SkipReason::Truncated},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded d = decodeRecord(c.code, c.body);
        ASSERT_EQ(d.outcome, Outcome::Skipped);
        EXPECT_EQ(d.reason, c.reason);
    }
    // A shorter length takes that many bytes; the rest of the body is not the message.
    const Bytes shorter = nr(9, 1, kMsg, 0, -1);
    const Decoded d = decodeRecord(kNrRrcOta, shorter);
    ASSERT_EQ(d.outcome, Outcome::Message);
    EXPECT_EQ(Bytes(d.message.payload.begin(), d.message.payload.end()),
              Bytes(kMsg.begin(), kMsg.end() - 1));
    // The segment number is handed on.
    const Bytes last = nr(28, 4, kMsg, 7);
    const Decoded seg = decodeRecord(kNrRrcOta, last);
    ASSERT_EQ(seg.outcome, Outcome::Message);
    EXPECT_EQ(seg.message.segment, 7);
}

// Every 5G NAS code, plain and protected, both directions, to the one 5GS NAS dissector.
TEST(OtaLayouts, Nas5gsCodes) {
    for (uint16_t code : {kNrNasSmPlainIn, kNrNasSmPlainOut, kNrNasSmSecIn, kNrNasSmSecOut,
                          kNrNasMmPlainIn, kNrNasMmPlainOut, kNrNasMmContainer}) {
        SCOPED_TRACE(code);
        EXPECT_TRUE(isOtaCode(code));
        const Bytes body = nas5g(1, kMsg);
        const Decoded d = decodeRecord(code, body);
        ASSERT_EQ(d.outcome, Outcome::Message);
        EXPECT_EQ(d.message.kind, MessageKind::Nas5gs);
        EXPECT_STREQ(d.message.dissector, "nas-5gs");
        EXPECT_EQ(Bytes(d.message.payload.begin(), d.message.payload.end()), kMsg);
    }
    // Neighbours that are not over-the-air messages: the MM state, RRC MIB info.
    for (uint16_t code : {0xB80C, 0xB822, 0xB802}) {
        EXPECT_FALSE(isOtaCode(code));
        EXPECT_EQ(decodeRecord(code, nas5g(1, kMsg)).outcome, Outcome::NotOta);
    }
}

// Every proper prefix of a good body is refused (never read past its end) or, where the
// layout takes the message to the end of the body, gives a shorter message.
TEST(OtaLayouts, EveryCutOfAGoodBody) {
    const struct {
        uint16_t code;
        Bytes body;
    } bodies[] = {
        {0xB0C0, lteV8(15, 5230, 0, 7, kMsg)},
        {0xB0C0, lteV25(30, 1, 0, 9, kMsg, true)},
        {0xB0C0, lteV2(3, 1, 0, 6, kMsg)},
        {0x412F, wcdma(0x89, cat({le16(1), le16(0), {3}}), kMsg, 5)},
        {0x713A, cat({{1}, le32(4), kMsg})},
        {0x512F, gsm(0x84, 0x1d, kMsg)},
        {0x5230, cat({{0, 8}, le16(4), kMsg})},
        {kNrRrcOta, nr(9, 4, kMsg)},
        {kNrRrcOta, nr(14, 4, kMsg)},
        {kNrRrcOta, nr(17, 4, kMsg)},
        {kNrRrcOta, nr(19, 4, kMsg)},
        {kNrRrcOta, nr(26, 4, kMsg, 3)},
    };
    for (const auto& b : bodies) {
        ASSERT_EQ(decodeRecord(b.code, b.body).outcome, Outcome::Message);
        for (size_t n = 0; n < b.body.size(); ++n) {
            SCOPED_TRACE(testing::Message() << std::hex << b.code << " cut at " << std::dec << n);
            const Bytes cut(b.body.begin(), b.body.begin() + static_cast<std::ptrdiff_t>(n));
            const Decoded d = decodeRecord(b.code, cut);
            ASSERT_EQ(d.outcome, Outcome::Skipped);
            EXPECT_EQ(d.reason, SkipReason::Truncated);
        }
    }
    // LTE and 5G NAS run to the end of the body: every cut after the header is a shorter
    // message.
    const struct {
        uint16_t code;
        Bytes body;
        size_t header;
    } runToEnd[] = {{0xB0EC, nas(1, kMsg), 4}, {kNrNasMmPlainOut, nas5g(1, kMsg), 7}};
    for (const auto& b : runToEnd) {
        for (size_t n = 0; n < b.body.size(); ++n) {
            const Decoded d = decodeRecord(b.code, {b.body.data(), n});
            if (n <= b.header) {
                EXPECT_EQ(d.outcome, Outcome::Skipped);
            } else {
                ASSERT_EQ(d.outcome, Outcome::Message);
                EXPECT_EQ(d.message.payload.size(), n - b.header);
            }
        }
    }
}

}  // namespace
}  // namespace kvx::ota
