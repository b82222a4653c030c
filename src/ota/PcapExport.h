// Turns the records of .kvx logs into a pcapng capture that Wireshark 4.0 reads with no
// preference set. The file has two interfaces:
//   0  link type raw IPv4 (228): each GSMTAP message in a UDP datagram to port 4729 behind a
//      GSMTAP version 2 header (LTE, WCDMA, UMTS, GSM and GPRS signalling; with `everything`
//      every other record too, as a Qualcomm DIAG packet, GSMTAP type 0x11);
//   1  link type Wireshark upper PDU (252): NR RRC and 5G NAS, which Wireshark 4.0's GSMTAP
//      cannot carry, each behind exported-PDU tags naming its dissector ("nr-rrc.dl.dcch",
//      "nas-5gs") and the same IPv4 addresses as the GSMTAP packets.
// Packets of both interfaces follow the records' order, which is time order.
//
// Packet times are the records' DM time stamps; a record without one (the program's own notes
// and wrapped replies) takes the time of the record before it. After a "Subscription N" note
// (a multi-SIM device) the following packets carry N in the GSMTAP sub-slot field and go to
// 127.0.0.N (as SCAT writes them); other packets go from and to 127.0.0.1.
//
// The exporter builds bytes in memory; the caller writes them out. Not thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "dm/LogReader.h"
#include "ota/OtaLayouts.h"

namespace kvx::ota {

inline constexpr uint16_t kGsmtapPort = 4729;
inline constexpr uint32_t kLinkTypeIpv4 = 228;      // LINKTYPE_IPV4: raw IPv4, no link header
inline constexpr uint32_t kLinkTypeUpperPdu = 252;  // LINKTYPE_WIRESHARK_UPPER_PDU
inline constexpr uint32_t kGsmtapInterface = 0;
inline constexpr uint32_t kUpperPduInterface = 1;
inline constexpr size_t kFileHeader = 28 + 2 * 20;  // section header, two interfaces
inline constexpr size_t kPacketBlockHeader = 28;    // enhanced packet block before its data
inline constexpr size_t kPacketBlockTrailer = 4;
inline constexpr size_t kIpv4Header = 20;
inline constexpr size_t kUdpHeader = 8;
inline constexpr size_t kGsmtapHeader = 16;
// The most GSMTAP payload one IPv4 datagram carries.
inline constexpr size_t kMaxGsmtapPayload = 0xFFFF - kIpv4Header - kUdpHeader - kGsmtapHeader;
// The most message bytes one upper-PDU packet carries: more than seven joined NR RRC parts of
// the largest record.
inline constexpr size_t kMaxUpperPduPayload = size_t{1} << 24;

// Exported-PDU tags (Wireshark's exported_pdu_tlvs.h): 16-bit big-endian tag and length.
inline constexpr uint16_t kExpPduEnd = 0;
inline constexpr uint16_t kExpPduDissectorName = 12;
inline constexpr uint16_t kExpPduIpv4Src = 20;
inline constexpr uint16_t kExpPduIpv4Dst = 21;

// The pcapng section header and the two interface descriptions above (kFileHeader bytes).
void appendFileHeader(std::vector<uint8_t>& out);

// The last byte of 127.0.0.x for a subscription: N for 1-255, 1 otherwise (none, 0, larger).
uint8_t simAddress(std::optional<uint32_t> subscription);

// The GSMTAP header fields of one packet.
struct GsmtapFields {
    uint8_t type = 0;
    uint8_t subtype = 0;
    uint16_t arfcn = 0;
    uint32_t frame = 0;
    uint8_t subSlot = 0;
};

// Appends one packet of interface 0: IPv4 (127.0.0.1 to 127.0.0.`dst`, header checksum set),
// UDP (no checksum), the GSMTAP header, then `prefix` and `payload`. False, and nothing
// appended, when prefix and payload exceed kMaxGsmtapPayload.
bool appendGsmtapPacket(std::vector<uint8_t>& out, int64_t unixMicros, uint16_t ipId,
                        const GsmtapFields& fields, uint8_t dst, std::span<const uint8_t> prefix,
                        std::span<const uint8_t> payload);

// Appends one packet of interface 1: the tags naming `dissector` and the addresses 127.0.0.1
// and 127.0.0.`dst`, then the message: the top `leadBitCount` (0-7) bits of `leadBits`
// followed by `payload` shifted behind them (zero bits fill the last byte). False, and
// nothing appended, when the message exceeds kMaxUpperPduPayload.
bool appendUpperPduPacket(std::vector<uint8_t>& out, int64_t unixMicros, std::string_view dissector,
                          uint8_t dst, uint8_t leadBits, uint8_t leadBitCount,
                          std::span<const uint8_t> payload);

struct ExportStats {
    std::array<uint64_t, kMessageKinds> written{};  // messages per kind
    uint64_t rawDiag = 0;                           // records written as DIAG packets
    std::array<uint64_t, kSkipReasons> skipped{};   // over-the-air records without a message
    uint64_t segments = 0;      // NR RRC parts held, still waiting for their last part
    uint64_t otaRecords = 0;    // records of the over-the-air codes
    uint64_t otherRecords = 0;  // all other records (written only with `everything`)
    uint64_t packets() const;
};

class PcapExporter {
  public:
    explicit PcapExporter(bool everything) : everything_(everything) {}

    // Appends the packets of one log's records, in order. Subscription notes count from the
    // start of each log, as the logger writes them anew into every file.
    void addLog(const dm::LogContents& log, std::vector<uint8_t>& out);
    // The same a record at a time, for a caller that reads the log as it goes: beginLog, then
    // addRecord for each record (`bytes` are its bytes, header included), then endLog. Records
    // ahead of the first stamped one are held until it comes, to take its time.
    void beginLog();
    void addRecord(const dm::LogRecord& r, std::span<const uint8_t> bytes,
                   std::vector<uint8_t>& out);
    void endLog(std::vector<uint8_t>& out);
    const ExportStats& stats() const { return stats_; }

  private:
    // True when the message went out (or was held as a segment).
    bool addMessage(const OtaMessage& m, int64_t micros, std::vector<uint8_t>& out);
    void addTimed(const dm::LogRecord& r, std::span<const uint8_t> bytes, int64_t micros,
                  std::vector<uint8_t>& out);
    void addDiag(const dm::LogRecord& r, std::span<const uint8_t> bytes, int64_t micros,
                 std::vector<uint8_t>& out);
    void flushHeld(std::vector<uint8_t>& out);

    bool everything_;
    ExportStats stats_;
    std::optional<uint32_t> subscription_;
    int64_t lastMicros_ = 0;
    uint16_t ipId_ = 0;
    // The parts 1-6 of a segmented NR RRC message seen so far, in order.
    std::vector<uint8_t> segments_;
    uint8_t lastSegment_ = 0;
    // Records without a stamp ahead of the first stamped record of a log, and their bytes.
    std::vector<dm::LogRecord> held_;
    std::vector<uint8_t> heldBytes_;
};

// The id of a "Subscription N" note text, nullopt for any other text.
std::optional<uint32_t> subscriptionNote(std::span<const uint8_t> text);

}  // namespace kvx::ota
