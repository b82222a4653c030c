// The over-the-air signalling messages inside the modem's log records, and where Wireshark
// wants them: behind a GSMTAP header, or (NR RRC and 5G NAS, which Wireshark 4.0's GSMTAP
// cannot carry) handed to a named Wireshark dissector. One layout per log code (and per
// packet version where the modem's layout changed), each a pure function over the record
// body. A layout either finds the message, or says why it gives none; a packet version it
// does not know is reported as such, never guessed at.
//
// The layouts follow the public parsers of SCAT (fgsect/scat, src/scat/parsers/qualcomm:
// diagltelogparser.py, diagnrlogparser.py, diagwcdmalogparser.py, diagumtslogparser.py,
// diaggsmlogparser.py) and MobileInsight (mobile-insight/mobileinsight-core,
// dm_collector_c/log_packet.h); the NR RRC tables in OtaLayouts.cpp name theirs per version.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kvx::ota {

// Log codes with a layout here.
inline constexpr uint16_t kLteRrcOta = 0xB0C0;
inline constexpr uint16_t kLteNasEsmSecIn = 0xB0E0;
inline constexpr uint16_t kLteNasEsmSecOut = 0xB0E1;
inline constexpr uint16_t kLteNasEsmPlainIn = 0xB0E2;
inline constexpr uint16_t kLteNasEsmPlainOut = 0xB0E3;
inline constexpr uint16_t kLteNasEmmSecIn = 0xB0EA;
inline constexpr uint16_t kLteNasEmmSecOut = 0xB0EB;
inline constexpr uint16_t kLteNasEmmPlainIn = 0xB0EC;
inline constexpr uint16_t kLteNasEmmPlainOut = 0xB0ED;
inline constexpr uint16_t kNrRrcOta = 0xB821;
inline constexpr uint16_t kNrNasSmPlainIn = 0xB800;
inline constexpr uint16_t kNrNasSmPlainOut = 0xB801;
inline constexpr uint16_t kNrNasSmSecIn = 0xB808;
inline constexpr uint16_t kNrNasSmSecOut = 0xB809;
inline constexpr uint16_t kNrNasMmPlainIn = 0xB80A;
inline constexpr uint16_t kNrNasMmPlainOut = 0xB80B;
inline constexpr uint16_t kNrNasMmContainer = 0xB814;
inline constexpr uint16_t kWcdmaSignalling = 0x412F;
inline constexpr uint16_t kUmtsNasOta = 0x713A;
inline constexpr uint16_t kGsmRrSignalling = 0x512F;
inline constexpr uint16_t kGprsGmmSmOta = 0x5230;

// GSMTAP version 2 payload types, as Wireshark's GSMTAP dissector numbers them.
inline constexpr uint8_t kGsmtapUm = 0x01;    // GSM air interface: RR on BCCH, CCCH, SDCCH, SACCH
inline constexpr uint8_t kGsmtapAbis = 0x02;  // a layer-3 message Wireshark reads as GSM A DTAP
inline constexpr uint8_t kGsmtapUmtsRrc = 0x0C;
inline constexpr uint8_t kGsmtapLteRrc = 0x0D;
inline constexpr uint8_t kGsmtapQcDiag = 0x11;  // a Qualcomm DIAG packet, shown as data
inline constexpr uint8_t kGsmtapLteNas = 0x12;
// The uplink flag of the 16-bit channel number field.
inline constexpr uint16_t kGsmtapUplink = 0x4000;

enum class MessageKind : uint8_t {
    LteRrc,
    LteNas,
    WcdmaRrc,
    UmtsNas,
    GsmRr,
    GprsGmmSm,
    NrRrc,
    Nas5gs
};
inline constexpr size_t kMessageKinds = 8;
// "LTE RRC", "LTE NAS", "WCDMA RRC", "UMTS NAS", "GSM RR", "GPRS GMM/SM", "NR RRC", "5G NAS".
const char* kindName(MessageKind kind);

enum class SkipReason : uint8_t {
    UnknownVersion,  // a packet version without a known layout
    UnknownChannel,  // a channel or PDU type the layout does not map to a GSMTAP subtype
    Truncated,       // the body ends before the header or the message it announces
    TooLong,         // the message does not fit the carrier (IPv4 datagram, LAPDm length)
    MissingSegment,  // the last part of a segmented NR RRC message without its first part
};
inline constexpr size_t kSkipReasons = 5;
// "unknown version", "unknown channel", "truncated", "too long", "missing segment".
const char* skipReasonName(SkipReason reason);

// One message and the GSMTAP fields that go in front of it, or the Wireshark dissector that
// reads it.
struct OtaMessage {
    MessageKind kind = MessageKind::LteRrc;
    // The Wireshark dissector for the message ("nr-rrc.dl.dcch", "nas-5gs"); null for a
    // GSMTAP message. A static string.
    const char* dissector = nullptr;
    uint8_t type = 0;     // GSMTAP payload type
    uint8_t subtype = 0;  // GSMTAP subtype (the logical channel, or the GSM channel type)
    uint16_t arfcn =
        0;  // channel number when it fits 14 bits, 0 otherwise; kGsmtapUplink set for uplink
    uint32_t frame = 0;  // LTE: the system frame number
    // Layer 1/2 header bytes that Wireshark expects in front of a GSM dedicated-channel
    // message and that the modem does not log (SACCH L1 header, LAPDm UI frame header).
    std::array<uint8_t, 5> prefix{};
    uint8_t prefixLength = 0;
    // Bits that go in front of the message, the message shifted behind them (the top
    // `leadBitCount` bits of `leadBits`): an NR RRC message the modem logs bare, which only
    // Wireshark's dissector of its enclosing channel message reads (its PER choice bits).
    uint8_t leadBits = 0;
    uint8_t leadBitCount = 0;
    // NR RRC: 0 for a whole message; 1-6 a part of a segmented one, 7 its last part, which
    // completes it (the parts are joined in order by the caller).
    uint8_t segment = 0;
    std::span<const uint8_t> payload;  // the message itself: a part of the body
};

enum class Outcome : uint8_t { Message, NotOta, Skipped };

struct Decoded {
    Outcome outcome = Outcome::NotOta;
    SkipReason reason = SkipReason::UnknownVersion;  // when Skipped
    OtaMessage message;                              // when Message
};

// Whether `code` is one of the log codes above (NR RRC included).
bool isOtaCode(uint16_t code);
// The message of a modem log record with code `code` and body `body` (the bytes after the
// 12-byte record header). NotOta for every other code.
Decoded decodeRecord(uint16_t code, std::span<const uint8_t> body);

}  // namespace kvx::ota
