// Turns the records of .kvx logs into a pcap capture that Wireshark reads: link type raw
// IPv4, each message in a UDP datagram from and to port 4729 behind a GSMTAP version 2
// header. The over-the-air messages get the GSMTAP type of their protocol; with `everything`
// every other record goes in too, as a Qualcomm DIAG packet (GSMTAP type 0x11), so one file
// of one link type holds the whole log in order.
//
// Packet times are the records' DM time stamps; a record without one (the program's own notes
// and wrapped replies) takes the time of the record before it. After a "Subscription N" note
// (a multi-SIM device) the following packets carry N in the GSMTAP sub-slot field.
//
// The exporter builds bytes in memory; the caller writes them out. Not thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "dm/LogReader.h"
#include "ota/OtaLayouts.h"

namespace kvx::ota {

inline constexpr uint16_t kGsmtapPort = 4729;
inline constexpr uint32_t kLinkTypeIpv4 = 228;  // LINKTYPE_IPV4: raw IPv4, no link header
inline constexpr size_t kPcapFileHeader = 24;
inline constexpr size_t kPcapRecordHeader = 16;
inline constexpr size_t kIpv4Header = 20;
inline constexpr size_t kUdpHeader = 8;
inline constexpr size_t kGsmtapHeader = 16;
// The most GSMTAP payload one IPv4 datagram carries.
inline constexpr size_t kMaxGsmtapPayload = 0xFFFF - kIpv4Header - kUdpHeader - kGsmtapHeader;

// The 24-byte pcap file header (microsecond times, link type raw IPv4).
void appendFileHeader(std::vector<uint8_t>& out);

// The GSMTAP header fields of one packet.
struct GsmtapFields {
    uint8_t type = 0;
    uint8_t subtype = 0;
    uint16_t arfcn = 0;
    uint32_t frame = 0;
    uint8_t subSlot = 0;
};

// Appends one pcap record: IPv4 (127.0.0.1 to itself, header checksum set), UDP (no
// checksum), the GSMTAP header, then `prefix` and `payload`. False, and nothing appended,
// when prefix and payload exceed kMaxGsmtapPayload.
bool appendGsmtapPacket(std::vector<uint8_t>& out, int64_t unixMicros, uint16_t ipId,
                        const GsmtapFields& fields, std::span<const uint8_t> prefix,
                        std::span<const uint8_t> payload);

struct ExportStats {
    std::array<uint64_t, kMessageKinds> written{};  // GSMTAP messages per kind
    uint64_t rawDiag = 0;                           // records written as DIAG packets
    std::array<uint64_t, kSkipReasons> skipped{};   // over-the-air records without a message
    uint64_t otaRecords = 0;    // records of the over-the-air codes (NR RRC included)
    uint64_t otherRecords = 0;  // all other records (written only with `everything`)
    uint64_t packets() const;
};

class PcapExporter {
  public:
    explicit PcapExporter(bool everything) : everything_(everything) {}

    // Appends the packets of one log's records, in order. Subscription notes count from the
    // start of each log, as the logger writes them anew into every file.
    void addLog(const dm::LogContents& log, std::vector<uint8_t>& out);
    const ExportStats& stats() const { return stats_; }

  private:
    void addDiag(const dm::LogContents& log, const dm::LogRecord& r, int64_t micros,
                 std::vector<uint8_t>& out);

    bool everything_;
    ExportStats stats_;
    std::optional<uint32_t> subscription_;
    int64_t lastMicros_ = 0;
    uint16_t ipId_ = 0;
};

// The id of a "Subscription N" note text, nullopt for any other text.
std::optional<uint32_t> subscriptionNote(std::span<const uint8_t> text);

}  // namespace kvx::ota
