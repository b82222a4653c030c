#include "info/InfoDecoder.h"

#include <cstdio>
#include <optional>
#include <string>

#include "dm/ByteReader.h"

namespace kvx::info {

namespace {

constexpr uint8_t kCmdVersion = 0x00;
constexpr uint8_t kCmdLog = 0x10;
constexpr uint8_t kCmdTimestamp = 0x1D;
constexpr uint8_t kCmdSubsystem = 0x4B;

constexpr size_t kResponseStart = 12;  // behind the packet record header
constexpr size_t kVersionDirSize = 8;  // the version reply's firmware field
constexpr size_t kLogCodeOffset = 6;   // packet header (4) + record length (2)
constexpr size_t kLogBodyStart = 16;   // packet header (4) + record header (12)

constexpr uint16_t kLogGsmRadio = 0x5072;
constexpr uint16_t kLogDlSignalling = 0x5138;
constexpr uint16_t kLogRlTimeout = 0x5139;

constexpr uint8_t kSubsysDiag = 0;
constexpr uint8_t kSubsysGsm = 8;
constexpr uint8_t kGsmStatus = 1;

constexpr std::array<std::string_view, 19> kLabels = {
    "Firmware",
    "Build Date",
    "IMEI",
    "IMSI",
    "Location Area ID",
    "Cell ID",
    "Call State",
    "Phone Oper. Mode",
    "System Mode",
    "Band *",
    "Absolute RF Ch Num *",
    "Received Power *",
    "Transmit Level *",
    "Timing Advance *",
    "Discontinuous TX *",
    "DL Signalling Count *",
    "RL Timeout Count *",
    "",
    "",
};

char hexDigit(unsigned nibble) {
    return static_cast<char>(nibble < 10 ? '0' + nibble : 'A' + (nibble - 10));
}

// Low nibble first, as the BCD digits of a mobile identity are stored.
void appendNibbles(std::string& out, std::span<const uint8_t> bytes) {
    for (uint8_t b : bytes) {
        out.push_back(hexDigit(b & 0x0F));
        out.push_back(hexDigit(b >> 4));
    }
}

// The first character of the nibble's decimal text: 10-15 show as '1'.
char firstDecimalChar(unsigned nibble) {
    return std::to_string(nibble)[0];
}

// Characters of `bytes` up to the first NUL (or the end), at most `max`.
std::string cString(std::span<const uint8_t> bytes, size_t max) {
    std::string s;
    for (size_t i = 0; i < bytes.size() && i < max && bytes[i] != 0; ++i)
        s.push_back(static_cast<char>(bytes[i]));
    return s;
}

// `n` bytes at `off`, or nothing when they do not all lie inside `b`.
std::optional<std::span<const uint8_t>> bytesAt(std::span<const uint8_t> b, size_t off, size_t n) {
    dm::ByteReader r(b);
    if (!r.seek(off)) return std::nullopt;
    return r.bytes(n);
}

std::optional<uint8_t> u8At(std::span<const uint8_t> b, size_t off) {
    if (off >= b.size()) return std::nullopt;
    return b[off];
}

class Fields {
  public:
    void add(int32_t field, std::string text) {
        if (text.size() > dm::kNotificationTextMax) text.resize(dm::kNotificationTextMax);
        out_.push_back({field, std::move(text)});
    }
    std::vector<dm::InfoNotification> take() { return std::move(out_); }

  private:
    std::vector<dm::InfoNotification> out_;
};

// The bytes of `b` from `off` to its end; empty when `off` lies at or past the end.
std::span<const uint8_t> from(std::span<const uint8_t> b, size_t off) {
    return off < b.size() ? b.subspan(off) : std::span<const uint8_t>{};
}

void decodeVersion(std::span<const uint8_t> rsp, Fields& f) {
    if (rsp.empty()) return;  // no reply behind the record header at all
    // Both fields are sent for every reply, however short: a text cut by the reply's end (even
    // to nothing) replaces the previous modem's instead of leaving it on screen.
    // The firmware name is the reply's 8-byte version directory at byte 39: up to its NUL,
    // the end of the reply or the field's end. Real replies carry the station class mark and
    // other binary numbers right behind it, with no NUL in between.
    f.add(kFirmware, cString(from(rsp, 39), kVersionDirSize));
    // Compile date (at most 11 characters at 1) and time (at most 8 at 12).
    f.add(kBuildDate, cString(from(rsp, 1), 11) + " " + cString(from(rsp, 12), 8));
}

void decodeLog(std::span<const uint8_t> buffer, Fields& f) {
    auto code = dm::le16At(buffer, kLogCodeOffset);
    if (!code || buffer.size() < kLogBodyStart) return;
    auto body = buffer.subspan(kLogBodyStart);
    switch (*code) {
        case kLogGsmRadio: {
            if (auto ch = bytesAt(body, 0, 2)) {
                unsigned arfcn = (*ch)[0] + 256u * ((*ch)[1] & 0x0Fu);
                f.add(kRfChannel, std::to_string(arfcn));
            }
            if (auto b1 = u8At(body, 1)) {
                std::string_view band;
                switch (*b1 >> 4) {
                    case 0:
                        band = "None";
                        break;
                    case 8:
                        band = "GSM 900";
                        break;
                    case 9:
                        band = "PCS";
                        break;
                    case 10:
                        band = "DCS";
                        break;
                    case 11:
                        band = "GSM 850";
                        break;
                    default:
                        band = "Unknown";
                        break;
                }
                f.add(kBand, std::string(band));
            }
            if (auto r = dm::le16At(body, 2)) {
                // The modem reports 1/16 dBm below 0 as an unsigned 16-bit value.
                double dbm = -63.5 - (64520.0 - *r) * 0.0625;
                char text[64];
                std::snprintf(text, sizeof text, "%04f", dbm);
                f.add(kReceivedPower, text);
            }
            if (auto tl = bytesAt(body, 4, 1)) {
                std::string s;
                appendNibbles(s, *tl);
                f.add(kTransmitLevel, std::move(s));
            }
            if (auto ta = bytesAt(body, 5, 1)) {
                std::string s;
                appendNibbles(s, *ta);
                f.add(kTimingAdvance, std::move(s));
            }
            if (auto dtx = u8At(body, 6)) f.add(kDtx, *dtx != 0 ? "On" : "Off");
            break;
        }
        case kLogDlSignalling:
            if (auto n = dm::le32At(body, 0))
                f.add(kDlSignallingCount, std::to_string(static_cast<int32_t>(*n)));
            break;
        case kLogRlTimeout:
            if (auto n = u8At(body, 0)) f.add(kRlTimeoutCount, std::to_string(*n));
            break;
        default:
            break;
    }
}

// A mobile identity: the decimal first digit from the high nibble of `first`, then the
// nibble digits of `rest`.
std::string identity(uint8_t first, std::span<const uint8_t> rest) {
    std::string s(1, firstDecimalChar(first >> 4));
    appendNibbles(s, rest);
    return s;
}

void decodeGsmStatus(std::span<const uint8_t> rsp, Fields& f) {
    auto imeiFirst = u8At(rsp, 5);
    auto imeiRest = bytesAt(rsp, 6, 7);
    if (imeiFirst && imeiRest) {
        // The high nibble of the last byte is the filler and is not shown.
        std::string imei = identity(*imeiFirst, *imeiRest);
        imei.resize(14);
        f.add(kImei, std::move(imei));
    }
    if (auto cell = dm::le16At(rsp, 27)) f.add(kCellId, std::to_string(*cell));
    if (auto lai = bytesAt(rsp, 22, 5)) {
        std::string d;
        appendNibbles(d, *lai);
        // MCC d0 d1 d2; MNC d4 d5 d3 (a filler F shows last); LAC high byte first.
        std::string text = {d[0], d[1], d[2], ' ', d[4], d[5], d[3], ' ', d[7], d[6], d[9], d[8]};
        f.add(kLocationAreaId, std::move(text));
    }
    auto imsiFirst = u8At(rsp, 14);
    auto imsiRest = bytesAt(rsp, 15, 7);
    if (imsiFirst && imsiRest) f.add(kImsi, identity(*imsiFirst, *imsiRest));
    if (auto v = u8At(rsp, 29)) f.add(kCallState, std::string(stateName(kCallStateNames, *v)));
    if (auto v = u8At(rsp, 30)) f.add(kOperMode, std::string(stateName(kOperModeNames, *v)));
    if (auto v = u8At(rsp, 31)) f.add(kSystemMode, std::string(stateName(kSystemModeNames, *v)));
}

void decodeSubsystem(std::span<const uint8_t> rsp, Fields& f) {
    auto subsystem = u8At(rsp, 1);
    if (!subsystem) return;
    if (*subsystem == kSubsysDiag) {
        f.add(kSubsystemZero, {});
        return;
    }
    auto command = u8At(rsp, 2);  // low byte of the 16-bit subsystem command
    if (*subsystem == kSubsysGsm && command && *command == kGsmStatus) decodeGsmStatus(rsp, f);
}

std::span<const uint8_t> response(std::span<const uint8_t> buffer) {
    if (buffer.size() < kResponseStart) return {};
    return buffer.subspan(kResponseStart);
}

}  // namespace

std::string_view stateName(std::span<const std::string_view> table, unsigned value) {
    if (table.empty()) return {};
    return value < table.size() ? table[value] : table.back();
}

std::string_view fieldLabel(int32_t field) {
    if (field < 0 || static_cast<size_t>(field) >= kLabels.size()) return {};
    return kLabels[static_cast<size_t>(field)];
}

std::vector<dm::InfoNotification> decodeFields(uint8_t commandCode,
                                               std::span<const uint8_t> buffer) {
    Fields f;
    switch (commandCode) {
        case kCmdVersion:
            decodeVersion(response(buffer), f);
            break;
        case kCmdLog:
            decodeLog(buffer, f);
            break;
        case kCmdSubsystem:
            decodeSubsystem(response(buffer), f);
            break;
        default:
            break;
    }
    return f.take();
}

void Decoder::decodeInfo(dm::KvxLog& engine, uint8_t commandCode, std::span<const uint8_t> buffer,
                         dm::NotifyTarget* window, uint32_t messageId) {
    if (commandCode == kCmdTimestamp) {
        engine.cleartimequery();
        return;
    }
    if (window == nullptr) return;
    if (commandCode == kCmdLog && !window->wantsLogFields()) return;
    for (const auto& note : decodeFields(commandCode, buffer)) window->notify(messageId, note);
}

}  // namespace kvx::info
