#include "ota/OtaLayouts.h"

#include <optional>

#include "dm/ByteReader.h"

namespace kvx::ota {
namespace {

using dm::ByteReader;

// GSMTAP LTE RRC subtypes.
enum : uint8_t {
    kLteDlCcch = 0,
    kLteDlDcch = 1,
    kLteUlCcch = 2,
    kLteUlDcch = 3,
    kLteBcchBch = 4,
    kLteBcchDlSch = 5,
    kLtePcch = 6,
    kLteMcch = 7,
    kLteDlCcchNb = 14,
    kLteDlDcchNb = 15,
    kLteUlCcchNb = 16,
    kLteUlDcchNb = 17,
    kLteBcchBchNb = 18,
    kLteBcchDlSchNb = 20,
    kLtePcchNb = 21,
};
// GSMTAP UMTS RRC subtypes (the System Information types follow from kUmtsMib on).
enum : uint8_t {
    kUmtsDlDcch = 0,
    kUmtsUlDcch = 1,
    kUmtsDlCcch = 2,
    kUmtsUlCcch = 3,
    kUmtsPcch = 4,
    kUmtsBcchFach = 7,
    kUmtsBcchBch = 8,
    kUmtsMcch = 9,
    kUmtsMsch = 10,
    kUmtsSiContainer = 14,
    kUmtsMib = 16,
};
// GSMTAP GSM channel types.
enum : uint8_t {
    kChanBcch = 0x01,
    kChanCcch = 0x02,
    kChanRach = 0x03,
    kChanSdcch8 = 0x08,
    kChanAcch = 0x80
};

constexpr uint8_t kNone = 0xFF;

struct PduMap {
    uint8_t pdu;
    uint8_t subtype;
};

// The modem numbers the LTE RRC logical channels differently in different packet versions.
constexpr PduMap kLteMapA[] = {{1, kLteBcchBch}, {2, kLteBcchDlSch}, {3, kLteMcch},
                               {4, kLtePcch},    {5, kLteDlCcch},    {6, kLteDlDcch},
                               {7, kLteUlCcch},  {8, kLteUlDcch}};
constexpr PduMap kLteMapB[] = {{8, kLteBcchBch}, {9, kLteBcchDlSch}, {10, kLteMcch},
                               {11, kLtePcch},   {12, kLteDlCcch},   {13, kLteDlDcch},
                               {14, kLteUlCcch}, {15, kLteUlDcch}};
constexpr PduMap kLteMapC[] = {{1, kLteBcchBch}, {2, kLteBcchDlSch}, {4, kLteMcch},
                               {5, kLtePcch},    {6, kLteDlCcch},    {7, kLteDlDcch},
                               {8, kLteUlCcch},  {9, kLteUlDcch}};
constexpr PduMap kLteMapD[] = {{1, kLteBcchBch},      {3, kLteBcchDlSch}, {6, kLteMcch},
                               {7, kLtePcch},         {8, kLteDlCcch},    {9, kLteDlDcch},
                               {10, kLteUlCcch},      {11, kLteUlDcch},   {45, kLteBcchBchNb},
                               {46, kLteBcchDlSchNb}, {47, kLtePcchNb},   {48, kLteDlCcchNb},
                               {49, kLteDlDcchNb},    {50, kLteUlCcchNb}, {52, kLteUlDcchNb}};
constexpr PduMap kLteMapE[] = {{1, kLteBcchBch},      {2, kLteBcchDlSch}, {4, kLteMcch},
                               {5, kLtePcch},         {6, kLteDlCcch},    {7, kLteDlDcch},
                               {8, kLteUlCcch},       {9, kLteUlDcch},    {54, kLteBcchBchNb},
                               {55, kLteBcchDlSchNb}, {56, kLtePcchNb},   {57, kLteDlCcchNb},
                               {58, kLteDlDcchNb},    {59, kLteUlCcchNb}, {61, kLteUlDcchNb}};

// The header layout and the channel numbering of one LTE RRC packet version.
struct LteRrcVersion {
    enum Header { V2, V5, V8, V25, V30 } header;
    std::span<const PduMap> map;
};

std::optional<LteRrcVersion> lteRrcVersion(uint8_t v) {
    switch (v) {
        case 2:
        case 3:
        case 4:
            return LteRrcVersion{LteRrcVersion::V2, kLteMapA};
        case 6:
        case 7:
            return LteRrcVersion{LteRrcVersion::V5, kLteMapA};
        case 8:
        case 13:
        case 22:
            return LteRrcVersion{LteRrcVersion::V8, kLteMapA};
        case 9:
        case 12:
            return LteRrcVersion{LteRrcVersion::V8, kLteMapB};
        case 14:
        case 15:
        case 16:
            return LteRrcVersion{LteRrcVersion::V8, kLteMapC};
        case 19:
            return LteRrcVersion{LteRrcVersion::V8, kLteMapD};
        case 20:
        case 24:
            return LteRrcVersion{LteRrcVersion::V8, kLteMapE};
        case 25:
            return LteRrcVersion{LteRrcVersion::V25, kLteMapE};
        case 26:
        case 27:
            return LteRrcVersion{LteRrcVersion::V25, kLteMapD};
        case 30:
            return LteRrcVersion{LteRrcVersion::V30, kLteMapD};
        default:
            return std::nullopt;
    }
}

Decoded skipped(SkipReason reason) {
    Decoded d;
    d.outcome = Outcome::Skipped;
    d.reason = reason;
    return d;
}

Decoded found(const OtaMessage& m) {
    Decoded d;
    d.outcome = Outcome::Message;
    d.message = m;
    return d;
}

// Channel numbers of GSMTAP are 14 bits; a larger one is left out rather than cut.
uint16_t channel(uint32_t number, bool uplink) {
    const uint16_t n = number < kGsmtapUplink ? static_cast<uint16_t>(number) : 0;
    return uplink ? static_cast<uint16_t>(n | kGsmtapUplink) : n;
}

// The `length` bytes of message after the header, which the body must hold.
std::optional<std::span<const uint8_t>> messageOf(ByteReader& r, size_t length) {
    if (length == 0) return std::nullopt;
    return r.bytes(length);
}

// Version, release numbers, radio bearer, cell, channel number, frame, PDU type, [SIB mask],
// message length, then the message.
Decoded lteRrc(std::span<const uint8_t> body) {
    ByteReader r(body);
    const auto version = r.u8();
    if (!version) return skipped(SkipReason::Truncated);
    const auto layout = lteRrcVersion(*version);
    if (!layout) return skipped(SkipReason::UnknownVersion);
    const size_t releaseBytes = layout->header >= LteRrcVersion::V25 ? 4 : 2;
    if (!r.skip(releaseBytes + 1 /* bearer */ + 2 /* cell */))
        return skipped(SkipReason::Truncated);
    std::optional<uint32_t> earfcn;
    if (layout->header <= LteRrcVersion::V5) {
        if (auto e = r.u16()) earfcn = *e;
    } else {
        earfcn = r.u32();
    }
    const auto frame = r.u16();
    const auto pdu = r.u8();
    if (!earfcn || !frame || !pdu) return skipped(SkipReason::Truncated);
    if (layout->header != LteRrcVersion::V2 && !r.skip(4)) return skipped(SkipReason::Truncated);
    const auto length = r.u16();
    if (!length) return skipped(SkipReason::Truncated);
    if (layout->header == LteRrcVersion::V30 && !r.skip(3)) return skipped(SkipReason::Truncated);
    const auto message = messageOf(r, *length);
    if (!message) return skipped(SkipReason::Truncated);

    uint8_t subtype = kNone;
    for (const auto& m : layout->map)
        if (m.pdu == *pdu) subtype = m.subtype;
    if (subtype == kNone) return skipped(SkipReason::UnknownChannel);
    OtaMessage m;
    m.kind = MessageKind::LteRrc;
    m.type = kGsmtapLteRrc;
    m.subtype = subtype;
    const bool uplink = subtype == kLteUlCcch || subtype == kLteUlDcch || subtype == kLteUlCcchNb ||
                        subtype == kLteUlDcchNb;
    m.arfcn = channel(*earfcn, uplink);
    m.frame = *frame >> 4;  // the low 4 bits are the subframe
    m.payload = *message;
    return found(m);
}

// Version 1: version, RRC release, two version numbers, then the NAS message to the end.
Decoded lteNas(uint16_t code, std::span<const uint8_t> body) {
    ByteReader r(body);
    const auto version = r.u8();
    if (!version) return skipped(SkipReason::Truncated);
    if (*version != 1) return skipped(SkipReason::UnknownVersion);
    if (!r.skip(3) || r.atEnd()) return skipped(SkipReason::Truncated);
    OtaMessage m;
    m.kind = MessageKind::LteNas;
    m.type = kGsmtapLteNas;
    const bool secured = code == kLteNasEsmSecIn || code == kLteNasEsmSecOut ||
                         code == kLteNasEmmSecIn || code == kLteNasEmmSecOut;
    m.subtype = secured ? 1 : 0;  // with a security header : plain
    const bool outgoing = code == kLteNasEsmSecOut || code == kLteNasEsmPlainOut ||
                          code == kLteNasEmmSecOut || code == kLteNasEmmPlainOut;
    m.arfcn = channel(0, outgoing);
    m.payload = r.rest();
    return found(m);
}

// UMTS System Information block classes, as the modem numbers them, to GSMTAP subtypes.
uint8_t umtsSib(uint8_t sibClass, bool newNumbering) {
    // GSMTAP subtypes counted from the Master Information Block.
    enum : uint8_t {
        Mib = 0,
        Sib5bis = 6,
        Sib6 = 7,
        Sib11bis = 13,
        Sib12 = 14,
        Sib13 = 15,
        Sib14 = 20,
        Sib15 = 21,
        Sib15_1 = 23,
        Sib15_2 = 25,
        Sib15_3 = 28,
        Sib15_4 = 30,
        Sib15_5 = 31,
        Sib16 = 35,
        Sib17 = 36,
        Sib18 = 37,
        Sib19 = 38,
        Sb1 = 42,
        Sb2 = 43,
    };
    uint8_t rel = kNone;
    if (sibClass <= 5)
        rel = static_cast<uint8_t>(Mib + sibClass);  // MIB, SIB1-5
    else if (sibClass <= 11)
        rel = static_cast<uint8_t>(Sib6 + sibClass - 6);  // SIB6-11
    else if (sibClass == 12)
        rel = Sib12;
    else if (sibClass <= 17)
        rel = static_cast<uint8_t>(Sib13 + sibClass - 13);  // SIB13, 13.1-13.4
    else {
        switch (sibClass) {
            case 18:
                rel = Sib14;
                break;
            case 19:
                rel = Sib15;
                break;
            case 20:
                rel = Sib15_1;
                break;
            case 21:
                rel = Sib15_2;
                break;
            case 22:
                rel = Sib15_3;
                break;
            case 23:
                rel = Sib16;
                break;
            case 24:
                rel = Sib17;
                break;
            case 25:
                rel = Sib15_4;
                break;
            case 26:
                rel = Sib18;
                break;
            case 27:
                rel = Sb1;
                break;
            case 28:
                rel = Sb2;
                break;
            case 29:
                rel = Sib15_5;
                break;
            case 30:
                rel = Sib5bis;
                break;
            case 31:
                rel = newNumbering ? Sib19 : Sib11bis;
                break;
            case 66:
                rel = Sib11bis;
                break;
            case 67:
                rel = Sib19;
                break;
            default:
                break;
        }
    }
    return rel == kNone ? kNone : static_cast<uint8_t>(kUmtsMib + rel);
}

// Channel type, radio bearer, message length; newer modems (channel types from 0x80) add the
// channel number and scrambling code; the "extended" channel types add a SIB class byte.
Decoded wcdmaRrc(std::span<const uint8_t> body) {
    ByteReader r(body);
    const auto type = r.u8();
    const auto bearer = r.u8();
    const auto length = r.u16();
    if (!type || !bearer || !length) return skipped(SkipReason::Truncated);
    static constexpr uint8_t kChannels[] = {kUmtsUlCcch, kUmtsUlDcch,  kUmtsDlCcch,
                                            kUmtsDlDcch, kUmtsBcchBch, kUmtsBcchFach,
                                            kUmtsPcch,   kUmtsMcch,    kUmtsMsch};
    uint32_t uarfcn = 0;
    bool hasSibClass = false, newNumbering = false;
    uint8_t subtype = kNone;
    const uint8_t t = *type;
    if (t <= 8) {
        subtype = kChannels[t];
    } else if (t == 10) {
        subtype = kUmtsSiContainer;
    } else if (t == 9 || t == 0xFE || t == 0xFF) {
        hasSibClass = true;
    } else if (t >= 0x80 && t <= 0x89) {
        newNumbering = true;
        const auto u = r.u16();
        if (!u || !r.skip(2) /* scrambling code */) return skipped(SkipReason::Truncated);
        uarfcn = *u;
        if (t == 0x89)
            hasSibClass = true;
        else
            subtype = kChannels[t - 0x80];
    } else if (t == 0xF0) {
        newNumbering = true;
        const auto u = r.u16();
        if (!u || !r.skip(2)) return skipped(SkipReason::Truncated);
        uarfcn = *u;
        hasSibClass = true;
    } else {
        return skipped(SkipReason::UnknownChannel);
    }
    std::optional<std::span<const uint8_t>> message;
    if (hasSibClass) {
        // The message length counts the SIB class byte too.
        const auto sibClass = r.u8();
        if (!sibClass || *length < 2) return skipped(SkipReason::Truncated);
        message = messageOf(r, *length - 1u);
        if (!message) return skipped(SkipReason::Truncated);
        subtype = umtsSib(*sibClass, newNumbering);
    } else {
        message = messageOf(r, *length);
        if (!message) return skipped(SkipReason::Truncated);
    }
    if (subtype == kNone) return skipped(SkipReason::UnknownChannel);
    OtaMessage m;
    m.kind = MessageKind::WcdmaRrc;
    m.type = kGsmtapUmtsRrc;
    m.subtype = subtype;
    m.arfcn = channel(uarfcn, subtype == kUmtsUlCcch || subtype == kUmtsUlDcch);
    m.payload = *message;
    return found(m);
}

// Direction (1 from the phone), 32-bit message length, the layer-3 message.
Decoded umtsNas(std::span<const uint8_t> body) {
    ByteReader r(body);
    const auto direction = r.u8();
    const auto length = r.u32();
    if (!direction || !length) return skipped(SkipReason::Truncated);
    const auto message = messageOf(r, *length);
    if (!message) return skipped(SkipReason::Truncated);
    OtaMessage m;
    m.kind = MessageKind::UmtsNas;
    m.type = kGsmtapAbis;
    m.arfcn = channel(0, *direction == 1);
    m.payload = *message;
    return found(m);
}

// Channel type (bit 7 set for downlink), message type, message length, the layer-3 message.
// On BCCH and CCCH it comes with its L2 pseudo length; on SDCCH and SACCH Wireshark wants the
// LAPDm frame (and on SACCH the L1 header) the modem does not log: built here.
Decoded gsmRr(std::span<const uint8_t> body) {
    ByteReader r(body);
    const auto channelDir = r.u8();
    const auto type = r.u8();
    const auto length = r.u8();
    if (!channelDir || !type || !length) return skipped(SkipReason::Truncated);
    const auto message = messageOf(r, *length);
    if (!message) return skipped(SkipReason::Truncated);
    OtaMessage m;
    m.kind = MessageKind::GsmRr;
    m.type = kGsmtapUm;
    m.arfcn = channel(0, (*channelDir & 0x80) == 0);
    m.payload = *message;
    auto lapdm = [&](size_t at) {
        m.prefix[at] = 0x01;      // SAPI 0, command, one address byte
        m.prefix[at + 1] = 0x03;  // UI frame
        m.prefix[at + 2] = static_cast<uint8_t>((*length << 2) | 0x01);  // length, no more data
        m.prefixLength = static_cast<uint8_t>(at + 3);
    };
    switch (*channelDir & 0x7F) {
        case 0:
            if (*length > 63) return skipped(SkipReason::TooLong);
            m.subtype = kChanSdcch8;
            lapdm(0);
            break;
        case 1:
            m.subtype = kChanBcch;
            break;
        case 2:
            m.subtype = kChanRach;
            break;
        case 3:
            m.subtype = kChanCcch;
            break;
        case 4:
            if (*length > 63) return skipped(SkipReason::TooLong);
            m.subtype = kChanAcch | kChanSdcch8;
            m.prefix[0] = 0;  // SACCH L1 header: power level and timing advance unknown
            m.prefix[1] = 0;
            lapdm(2);
            break;
        default:
            return skipped(SkipReason::UnknownChannel);
    }
    return found(m);
}

// Direction (0 from the phone), message type, 16-bit message length, the GMM or SM message;
// the modem logs a fixed-size buffer, of which the first `length` bytes are the message.
Decoded gprsGmmSm(std::span<const uint8_t> body) {
    ByteReader r(body);
    const auto direction = r.u8();
    const auto type = r.u8();
    const auto length = r.u16();
    if (!direction || !type || !length) return skipped(SkipReason::Truncated);
    const auto message = messageOf(r, *length);
    if (!message) return skipped(SkipReason::Truncated);
    OtaMessage m;
    m.kind = MessageKind::GprsGmmSm;
    m.type = kGsmtapAbis;
    m.arfcn = channel(0, *direction == 0);
    m.payload = *message;
    return found(m);
}


// ---- NR RRC (0xB821) ----------------------------------------------------------------------
//
// A 32-bit packet version, then: RRC release (2 bytes), radio bearer, PCI (2), [NR cell global
// id (8), from version 17], NR-ARFCN (4), SFN/subframe (4 bytes up to version 9, 3 after),
// PDU type, SIB mask (4), message length (2), [one unknown byte, from version 19], [two more
// unknown bytes and the segment number, from version 23], then the message.
// Header layouts and PDU types per version: SCAT diagnrlogparser.py parse_nr_rrc (versions 9,
// 12, 14, 17, 19, 20, 23, 24, 25, 26, 28) and MobileInsight log_packet.h NrRrcOtaPacketFmt
// with NrRrcOtaPduType_v7/_v8/_v9 (versions 7, 8, 9: the header of version 9). Only the PDU
// types that those sources name are mapped; Wireshark 4.0's NR RRC dissector names.

// RRCReconfigurationComplete, which the modem logs bare (EN-DC: the NR message that travels
// inside LTE RRC): Wireshark 4.0 registers no dissector for it alone, so it is handed to the
// UL-DCCH dissector behind the PER bits that select it there: the UL-DCCH-MessageType choice
// c1 (1 bit, 0) and, of c1's 16 alternatives, rrcReconfigurationComplete (4 bits, 1).
// A marker, told apart by its address.
constexpr char kReconfComplete[] = "RRCReconfigurationComplete";
constexpr uint8_t kReconfCompleteBits = 0x08;  // 0 0001, top five bits
constexpr uint8_t kReconfCompleteBitCount = 5;

struct NrPdu {
    uint8_t pdu;
    const char* dissector;  // or kReconfComplete: see above
};

constexpr const char* kBch = "nr-rrc.bcch.bch";
constexpr const char* kDlSch = "nr-rrc.bcch.dl.sch";
constexpr const char* kDlCcch = "nr-rrc.dl.ccch";
constexpr const char* kDlDcch = "nr-rrc.dl.dcch";
constexpr const char* kPcch = "nr-rrc.pcch";
constexpr const char* kMcch = "nr-rrc.mcch";
constexpr const char* kUlCcch = "nr-rrc.ul.ccch";
constexpr const char* kUlCcch1 = "nr-rrc.ul.ccch1";
constexpr const char* kUlDcch = "nr-rrc.ul.dcch";
constexpr const char* kReconf = "nr-rrc.rrc_reconf";
constexpr const char* kBearerConfig = "nr-rrc.radiobearerconfig";
constexpr const char* kMrdcCap = "nr-rrc.ue_mrdc_cap";
constexpr const char* kNrCap = "nr-rrc.ue_nr_cap";

// MobileInsight, versions 7 and 8: the types it names (radio bearer config 0x18 / 0x1a).
constexpr NrPdu kNrMapV7[] = {
    {1, kBch}, {8, kUlDcch}, {9, kReconf}, {10, kReconfComplete}, {24, kBearerConfig}};
constexpr NrPdu kNrMapV8[] = {
    {1, kBch}, {8, kUlDcch}, {9, kReconf}, {10, kReconfComplete}, {26, kBearerConfig}};
// SCAT, versions 9 and 12 (MobileInsight's version 9 agrees where it names a type).
constexpr NrPdu kNrMapV9[] = {{1, kBch},     {2, kDlSch},           {3, kDlCcch},
                              {4, kDlDcch},  {5, kPcch},            {6, kUlCcch},
                              {7, kUlCcch1}, {8, kUlDcch},          {9, kReconf},
                              {10, kReconfComplete}, {25, kBearerConfig}, {28, kMrdcCap},
                              {29, kNrCap}};
// SCAT, version 14.
constexpr NrPdu kNrMapV14[] = {{1, kBch},     {2, kDlSch},           {3, kDlCcch},
                               {4, kDlDcch},  {5, kPcch},            {6, kUlCcch},
                               {7, kUlCcch1}, {8, kUlDcch},          {9, kReconf},
                               {10, kReconfComplete}, {28, kBearerConfig}, {31, kMrdcCap},
                               {32, kNrCap},  {33, kNrCap}};
// SCAT, versions 17, 19 and 25.
constexpr NrPdu kNrMapV17[] = {{1, kBch},    {2, kDlSch},   {3, kDlCcch}, {4, kDlDcch},
                               {5, kPcch},   {6, kUlCcch},  {7, kUlCcch1}, {8, kUlDcch},
                               {9, kReconf}, {10, kReconfComplete}, {29, kBearerConfig}};
// SCAT, versions 20, 23 and 24: MCCH comes in at 5.
constexpr NrPdu kNrMapV20[] = {{1, kBch},     {2, kDlSch},  {3, kDlCcch},  {4, kDlDcch},
                               {5, kMcch},    {6, kPcch},   {7, kUlCcch},  {8, kUlCcch1},
                               {9, kUlDcch},  {10, kReconf}, {11, kReconfComplete},
                               {36, kBearerConfig}};
// SCAT, version 26.
constexpr NrPdu kNrMapV26[] = {{1, kBch},    {2, kDlSch},  {3, kDlCcch},   {4, kDlDcch},
                               {5, kMcch},   {6, kPcch},   {7, kUlCcch},   {8, kUlCcch1},
                               {9, kUlDcch}, {11, kReconf}, {12, kReconfComplete},
                               {36, kBearerConfig}};
// SCAT, version 28: 10 is UL-DCCH too.
constexpr NrPdu kNrMapV28[] = {{1, kBch},     {2, kDlSch},   {3, kDlCcch},   {4, kDlDcch},
                               {5, kMcch},    {6, kPcch},    {7, kUlCcch},   {8, kUlCcch1},
                               {9, kUlDcch},  {10, kUlDcch}, {11, kReconf},
                               {12, kReconfComplete}, {36, kBearerConfig}};

struct NrRrcVersion {
    enum Header { V9, V12, V17, V19, V23 } header;
    std::span<const NrPdu> map;
};

std::optional<NrRrcVersion> nrRrcVersion(uint32_t v) {
    switch (v) {
        case 7:
            return NrRrcVersion{NrRrcVersion::V9, kNrMapV7};
        case 8:
            return NrRrcVersion{NrRrcVersion::V9, kNrMapV8};
        case 9:
            return NrRrcVersion{NrRrcVersion::V9, kNrMapV9};
        case 12:
            return NrRrcVersion{NrRrcVersion::V12, kNrMapV9};
        case 14:
            return NrRrcVersion{NrRrcVersion::V12, kNrMapV14};
        case 17:
            return NrRrcVersion{NrRrcVersion::V17, kNrMapV17};
        case 19:
        case 25:
            return NrRrcVersion{NrRrcVersion::V19, kNrMapV17};
        case 20:
            return NrRrcVersion{NrRrcVersion::V19, kNrMapV20};
        case 23:
        case 24:
            return NrRrcVersion{NrRrcVersion::V23, kNrMapV20};
        case 26:
            return NrRrcVersion{NrRrcVersion::V23, kNrMapV26};
        case 28:
            return NrRrcVersion{NrRrcVersion::V23, kNrMapV28};
        default:
            return std::nullopt;
    }
}

Decoded nrRrc(std::span<const uint8_t> body) {
    ByteReader r(body);
    const auto version = r.u32();
    if (!version) return skipped(SkipReason::Truncated);
    const auto layout = nrRrcVersion(*version);
    if (!layout) return skipped(SkipReason::UnknownVersion);
    const auto h = layout->header;
    if (!r.skip(2 /* release */ + 1 /* bearer */ + 2 /* PCI */)) return skipped(SkipReason::Truncated);
    if (h >= NrRrcVersion::V17 && !r.skip(8 /* cell global id */))
        return skipped(SkipReason::Truncated);
    const auto arfcn = r.u32();
    if (!arfcn || !r.skip(h == NrRrcVersion::V9 ? 4 : 3 /* SFN, subframe */))
        return skipped(SkipReason::Truncated);
    const auto pdu = r.u8();
    if (!pdu || !r.skip(4 /* SIB mask */)) return skipped(SkipReason::Truncated);
    const auto length = r.u16();
    if (!length) return skipped(SkipReason::Truncated);
    uint8_t segment = 0;
    if (h >= NrRrcVersion::V19 && !r.skip(1)) return skipped(SkipReason::Truncated);
    if (h == NrRrcVersion::V23) {
        const auto seg = r.bytes(3);
        if (!seg) return skipped(SkipReason::Truncated);
        segment = (*seg)[2];
    }
    const auto message = messageOf(r, *length);
    if (!message) return skipped(SkipReason::Truncated);
    if (segment > 7) return skipped(SkipReason::UnknownChannel);

    const char* dissector = nullptr;
    for (const auto& m : layout->map)
        if (m.pdu == *pdu) dissector = m.dissector;
    if (!dissector) return skipped(SkipReason::UnknownChannel);
    OtaMessage m;
    m.kind = MessageKind::NrRrc;
    if (dissector == kReconfComplete) {
        m.dissector = kUlDcch;
        m.leadBits = kReconfCompleteBits;
        m.leadBitCount = kReconfCompleteBitCount;
    } else {
        m.dissector = dissector;
    }
    m.segment = segment;
    m.payload = *message;
    return found(m);
}

// ---- 5G NAS ---------------------------------------------------------------------------------
//
// A 32-bit packet version (1), the 3-byte standard version, then the NAS message to the end
// (SCAT diagnrlogparser.py parse_nr_nas). Wireshark's 5GS NAS dissector reads the security
// header itself, so plain and protected messages go to the same dissector.
Decoded nas5gs(std::span<const uint8_t> body) {
    ByteReader r(body);
    const auto version = r.u32();
    if (!version) return skipped(SkipReason::Truncated);
    if (*version != 1) return skipped(SkipReason::UnknownVersion);
    if (!r.skip(3) || r.atEnd()) return skipped(SkipReason::Truncated);
    OtaMessage m;
    m.kind = MessageKind::Nas5gs;
    m.dissector = "nas-5gs";
    m.payload = r.rest();
    return found(m);
}

}  // namespace

const char* kindName(MessageKind kind) {
    switch (kind) {
        case MessageKind::LteRrc:
            return "LTE RRC";
        case MessageKind::LteNas:
            return "LTE NAS";
        case MessageKind::WcdmaRrc:
            return "WCDMA RRC";
        case MessageKind::UmtsNas:
            return "UMTS NAS";
        case MessageKind::GsmRr:
            return "GSM RR";
        case MessageKind::GprsGmmSm:
            return "GPRS GMM/SM";
        case MessageKind::NrRrc:
            return "NR RRC";
        case MessageKind::Nas5gs:
            return "5G NAS";
    }
    return "?";
}

const char* skipReasonName(SkipReason reason) {
    switch (reason) {
        case SkipReason::UnknownVersion:
            return "unknown version";
        case SkipReason::UnknownChannel:
            return "unknown channel";
        case SkipReason::Truncated:
            return "truncated";
        case SkipReason::TooLong:
            return "too long";
        case SkipReason::MissingSegment:
            return "missing segment";
    }
    return "?";
}

bool isOtaCode(uint16_t code) {
    switch (code) {
        case kLteRrcOta:
        case kLteNasEsmSecIn:
        case kLteNasEsmSecOut:
        case kLteNasEsmPlainIn:
        case kLteNasEsmPlainOut:
        case kLteNasEmmSecIn:
        case kLteNasEmmSecOut:
        case kLteNasEmmPlainIn:
        case kLteNasEmmPlainOut:
        case kNrRrcOta:
        case kNrNasSmPlainIn:
        case kNrNasSmPlainOut:
        case kNrNasSmSecIn:
        case kNrNasSmSecOut:
        case kNrNasMmPlainIn:
        case kNrNasMmPlainOut:
        case kNrNasMmContainer:
        case kWcdmaSignalling:
        case kUmtsNasOta:
        case kGsmRrSignalling:
        case kGprsGmmSmOta:
            return true;
        default:
            return false;
    }
}

Decoded decodeRecord(uint16_t code, std::span<const uint8_t> body) {
    switch (code) {
        case kLteRrcOta:
            return lteRrc(body);
        case kLteNasEsmSecIn:
        case kLteNasEsmSecOut:
        case kLteNasEsmPlainIn:
        case kLteNasEsmPlainOut:
        case kLteNasEmmSecIn:
        case kLteNasEmmSecOut:
        case kLteNasEmmPlainIn:
        case kLteNasEmmPlainOut:
            return lteNas(code, body);
        case kNrRrcOta:
            return nrRrc(body);
        case kNrNasSmPlainIn:
        case kNrNasSmPlainOut:
        case kNrNasSmSecIn:
        case kNrNasSmSecOut:
        case kNrNasMmPlainIn:
        case kNrNasMmPlainOut:
        case kNrNasMmContainer:
            return nas5gs(body);
        case kWcdmaSignalling:
            return wcdmaRrc(body);
        case kUmtsNasOta:
            return umtsNas(body);
        case kGsmRrSignalling:
            return gsmRr(body);
        case kGprsGmmSmOta:
            return gprsGmmSm(body);
        default:
            return Decoded{};
    }
}

}  // namespace kvx::ota
