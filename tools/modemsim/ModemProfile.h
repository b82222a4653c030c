// What the simulated modem reports about itself: mask sizes, identity, firmware texts and
// radio values. Plain data, copied into the modem at construction; defaults look like a
// GSM/WCDMA/LTE module of the maker.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kvx::modemsim {

struct MessageRange {
    uint16_t first = 0;
    uint16_t last = 0;
};

// Values of the GSM status reply (subsystem 8, command 1) and of the cell the modem camps on.
struct GsmIdentity {
    std::string imei = "490154203237518";  // 15 digits, Luhn-valid
    std::string imsi = "310410123456789";  // 14 or 15 digits
    std::string mcc = "310";
    std::string mnc = "410";  // two digits are sent with the filler nibble F
    uint16_t lac = 0x1A2B;
    uint16_t cellId = 0x3E8F;
    uint8_t callState = 0;      // 0 Idle
    uint8_t operatingMode = 5;  // 5 Online
    uint8_t systemMode = 3;     // 3 GSM
};

// The body of log item 0x5072 (GSM L1 serving cell) sent on demand; bytes as on the wire.
struct GsmServingCell {
    uint16_t arfcn = 62;             // 0..4095
    uint8_t band = 8;                // high nibble of body byte 1: 8 GSM 900, 9 PCS, 10 DCS, 11 GSM 850
    int16_t rxPowerSixteenths = -1280;  // received power in 1/16 dBm (-1280 = -80 dBm)
    uint8_t txLevelByte = 0x50;      // shown as its nibble digits, low nibble first ("05")
    uint8_t timingAdvanceByte = 0x30;
    bool dtx = false;
};

// The LTE cell of the RRC log items (its PLMN is the GSM identity's).
struct LteCell {
    uint16_t pci = 301;
    uint32_t earfcn = 1575;  // band 3
    uint8_t band = 3;
    uint16_t tac = 0x2B1A;
    uint32_t cellIdentity = 0x01A2D01;  // 28 bits: eNB 6701, cell 1
};

// How the modem decides to stream.
enum class StreamStart : uint8_t {
    // The maker's modem: only after its logging start request (4B 00 00 00 00 00 05 FF).
    LoggingSwitch,
    // A plain chipset: as soon as a log, event or message mask enables something, so the
    // first packets arrive while the host is still setting the other masks.
    Masks,
};

// The log code whose body is a 32-bit sequence number (1, 2, ...), the maker's counter item
// for checking that nothing is lost: the other log items keep their real layouts.
inline constexpr uint16_t kCounterLogCode = 0x1234;

inline std::vector<MessageRange> defaultMessageRanges() {
    return {{0, 120},     {500, 520},   {1000, 1030}, {2000, 2010}, {3000, 3020},
            {4000, 4010}, {5000, 5060}, {6000, 6050}, {7000, 7010}, {8000, 8050}};
}

inline std::array<uint32_t, 16> defaultLogLimits() {
    std::array<uint32_t, 16> l{};
    l[0x1] = 0x0A00;  // 1x / common
    l[0x4] = 0x0B00;  // WCDMA
    l[0x5] = 0x0D00;  // GSM
    l[0xB] = 0x0A00;  // LTE
    return l;
}

// The subscription a multi-SIM modem sends a log packet on, by its number `sequence` (the
// sequence number of a counter packet; for the other log items their own running count):
// mostly 1, with runs of three on 2 (6-8, 22-24, ...), so that the subscription changes often.
inline uint32_t multiSimSubscription(uint32_t sequence) {
    const uint32_t k = sequence % 16;
    return k >= 6 && k <= 8 ? 2 : 1;
}

// The named profiles of kvxlog-modemsim --profile.
enum class ProfileKind : uint8_t { Maker, Generic, MultiSim };

struct ModemProfile;
ModemProfile profileFor(ProfileKind kind);

struct ModemProfile {
    std::vector<MessageRange> messageRanges = defaultMessageRanges();
    // Log item limit (number of items) per equipment identifier 0-15; 0 = no such equipment.
    // Masks are kept for at most 4096 items per equipment (log codes have 12 item bits); a
    // larger limit is still reported as it is.
    std::array<uint32_t, 16> logLimits = defaultLogLimits();
    uint16_t eventMaskBits = 0x0C00;

    // Version reply: fixed-width fields (cut or NUL-padded): compile date 11, compile time 8,
    // release date 11, release time 8, version directory 8, then the mobile's numbers.
    std::string compileDate = "Jan 12 2024";  // 11 characters
    std::string compileTime = "10:22:33";     // 8 characters
    std::string releaseDate = "Jan 10 2024";
    std::string releaseTime = "08:00:00";
    std::string versionDir = "OWM71602";  // 8 characters, the firmware field of the reply
    std::string buildId = "OWM7160.M1.4.2-00042-KVX210_GENERIC";  // extended build id (0x7C)

    GsmIdentity gsm;
    GsmServingCell cell;
    LteCell lte;

    StreamStart streamStart = StreamStart::LoggingSwitch;

    // Time stamps count UTC from 6 Jan 1980 (as the modems of our captures do); with this on
    // they count true GPS time, which is ahead by the leap seconds.
    bool gpsLeapSeconds = false;

    // A dual-SIM phone: log packets go out wrapped in multi-SIM packets (0x98) for
    // subscription 1 or 2 (multiSimSubscription of their number), and messages go
    // out compressed (0x92: a hash of the text instead of the text). Event reports stay plain.
    bool multiSim = false;

    // Seed of the stream's sizes and filler bytes: the same seed gives the same stream.
    uint64_t seed = 0x4B56584C;
};

inline ModemProfile profileFor(ProfileKind kind) {
    ModemProfile p;
    if (kind != ProfileKind::Maker) p.streamStart = StreamStart::Masks;
    p.multiSim = kind == ProfileKind::MultiSim;
    return p;
}

}  // namespace kvx::modemsim
