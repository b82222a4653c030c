// The information decoder: picks the modem's identity and radio values out of the packets the
// engine logs (version, GSM status, log items 0x5072/0x5138/0x5139) and sends each as text.
//
// The decoder holds no state; it is called on the logging worker's thread and may be shared.
// It reads only inside the span it is given: a field whose bytes do not all lie inside the
// packet is not sent (the others of the same packet still are), except the version reply's
// texts, which end where the reply ends (Firmware empty for a reply that stops before its
// byte 39) and so are sent for every reply; Firmware is the reply's 8-byte version
// directory, so at most 8 characters. Texts are at most
// dm::kNotificationTextMax characters; packet bytes are copied as data, never formatted.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "dm/KvxLog.h"
#include "dm/Notify.h"

namespace kvx::info {

// Field indexes of the Info Box (17 is unused; 18 marks a subsystem-0 reply and has no text).
enum Field : int32_t {
    kFirmware = 0,
    kBuildDate = 1,
    kImei = 2,
    kImsi = 3,
    kLocationAreaId = 4,
    kCellId = 5,
    kCallState = 6,
    kOperMode = 7,
    kSystemMode = 8,
    kBand = 9,
    kRfChannel = 10,
    kReceivedPower = 11,
    kTransmitLevel = 12,
    kTimingAdvance = 13,
    kDtx = 14,
    kDlSignallingCount = 15,
    kRlTimeoutCount = 16,
    kSubsystemZero = 18,
};

// State names of the GSM status reply; the last entry of each is the fallback for values
// beyond the named ones.
inline constexpr std::array<std::string_view, 9> kCallStateNames = {
    "Idle",
    "Call Origination in Progress",
    "Call Active",
    "User Allert (Ringing)",
    "Waiting for MT call to connect",
    "Call Connect Delay State",
    "Call Disconnect Delay State",
    "Waiting for call to end",
    "Invalid State",
};
inline constexpr std::array<std::string_view, 12> kOperModeNames = {
    "Power Off",          "FTM",           "Offline",
    "Offline AMPS",       "Offline CDMA",  "Online",
    "Low Power Mode",     "Resetting",     "GSM/WCDMA Network Test",
    "Offline if not FTM", "Pseudo Online", "Invalid Mode",
};
inline constexpr std::array<std::string_view, 9> kSystemModeNames = {
    "No Service", "AMPS", "CDMA", "GSM", "HDR", "WCDMA", "GPS", "GSM and WCDMA", "Invalid Mode",
};

// The entry of `table` for `value`, or its last entry when `value` is beyond it.
std::string_view stateName(std::span<const std::string_view> table, unsigned value);

// The Info Box label of a field index ("Firmware", "Band *", ...); empty for indexes without
// a control (17, 18 and anything outside 0-16).
std::string_view fieldLabel(int32_t field);

// The notifications one packet yields, in the order they are sent. `buffer` is the converted
// packet as the engine's receive path leaves it: for command 0x10 the 4-byte packet header
// and the log record (log code at bytes 6-7, body from byte 16); for responses the 12-byte
// record header and the response (response byte k at byte 12 + k). A multi-SIM packet (0x98)
// arrives as the packet it wraps, with that packet's command code. Pure; any thread.
std::vector<dm::InfoNotification> decodeFields(uint8_t commandCode,
                                               std::span<const uint8_t> buffer);

class Decoder : public dm::InfoDecoder {
  public:
    // Worker thread. A timestamp reply (0x1D) clears the engine's time-query flag whether or
    // not a window is set; decoded fields go to window->notify(messageId, ...) only when
    // `window` is non-null, those of log packets only when it wantsLogFields(). Never changes
    // the buffer.
    void decodeInfo(dm::KvxLog& engine, uint8_t commandCode, std::span<const uint8_t> buffer,
                    dm::NotifyTarget* window, uint32_t messageId) override;
};

}  // namespace kvx::info
