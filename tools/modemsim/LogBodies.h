// Bodies of the log items a real chipset streams, in the layouts open decoders of the field
// read: LTE RRC OTA (0xB0C0, packet version 13) carrying validly encoded RRC messages, LTE
// NAS EMM plain OTA (0xB0EC in, 0xB0ED out), WCDMA RRC signalling (0x412F), GSM RR
// signalling (0x512F), the GSM L1 serving cell (0x5072) and the GSM L2 counters (0x5138,
// 0x5139). Pure functions; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "modemsim/ModemProfile.h"

namespace kvx::modemsim {

inline constexpr uint16_t kLteRrcOtaCode = 0xB0C0;
inline constexpr uint16_t kLteNasEmmInCode = 0xB0EC;
inline constexpr uint16_t kLteNasEmmOutCode = 0xB0ED;
inline constexpr uint16_t kWcdmaRrcCode = 0x412F;
inline constexpr uint16_t kGsmRrCode = 0x512F;
inline constexpr uint16_t kGsmServingCellCode = 0x5072;
inline constexpr uint16_t kGsmDlSignallingCode = 0x5138;
inline constexpr uint16_t kGsmRlTimeoutCode = 0x5139;

// The 0xB0C0 header of packet version 13: version, RRC release major/minor, radio bearer,
// physical cell id (LE16), EARFCN (LE32), SFN/subframe (LE16: SFN << 4 | subframe), PDU
// number (the logical channel), SIB mask (LE32), message length (LE16), then the message.
inline constexpr uint8_t kLteRrcPacketVersion = 13;
inline constexpr size_t kLteRrcHeaderSize = 19;

// The logical channels of the PDU number under that packet version.
enum class LteRrcChannel : uint8_t {
    BcchBch = 1,
    BcchDlSch = 2,
    Pcch = 4,
    DlCcch = 5,
    DlDcch = 6,
    UlCcch = 7,
    UlDcch = 8,
};

// One encoded LTE RRC message (unaligned PER, padded to whole bytes) and its channel.
struct LteRrcMessage {
    LteRrcChannel channel;
    std::vector<uint8_t> bytes;
    const char* name;  // the message as a decoder names it
};

// The messages the simulator sends, built from the profile's cell: MIB, SIB1, paging,
// RRCConnectionRequest, RRCConnectionRelease, SecurityModeCommand, UECapabilityEnquiry.
// `salt` varies identities and frame numbers from one call to the next.
std::vector<LteRrcMessage> lteRrcMessages(const ModemProfile& profile, uint64_t salt);

// Log bodies (after the 12-byte record header), `salt` choosing among the variants.
std::vector<uint8_t> lteRrcOtaBody(const ModemProfile& profile, uint64_t salt);
std::vector<uint8_t> lteNasBody(bool outgoing, uint64_t salt);
std::vector<uint8_t> wcdmaRrcBody(const ModemProfile& profile, uint64_t salt);
std::vector<uint8_t> gsmRrBody(const ModemProfile& profile, uint64_t salt);
std::vector<uint8_t> gsmServingCellBody(const GsmServingCell& cell);
std::vector<uint8_t> gsmDlSignallingBody(uint32_t count);
std::vector<uint8_t> gsmRlTimeoutBody(uint8_t count);

// True when `code` has a body of its own above (other codes get filler of a typical size).
bool hasRealLayout(uint16_t code);

// A log packet (command 0x10, flag 0, LE16 length, then the record: LE16 length, LE16 code,
// 8-byte time stamp, body), appended to `out` from its current end.
void appendLogPacket(std::vector<uint8_t>& out, uint16_t code, uint64_t stamp,
                     std::span<const uint8_t> body);

}  // namespace kvx::modemsim
