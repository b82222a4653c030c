#include "ota/PcapExport.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

#include "dm/DmTime.h"
#include "dm/KvxLog.h"

namespace kvx::ota {
namespace {

void le16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void be32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

uint16_t ipChecksum(const uint8_t* header, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += static_cast<uint32_t>(header[i] << 8 | header[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// The DIAG log packet command: a log record travels from the modem behind these four bytes.
constexpr uint8_t kCmdLog = 0x10;

// pcapng blocks: type, total length, body, total length again; bodies padded to 4 bytes.
constexpr uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr uint32_t kInterfaceBlock = 1;
constexpr uint32_t kEnhancedPacketBlock = 6;

size_t padded4(size_t n) {
    return (n + 3) & ~size_t{3};
}

// Opens an enhanced packet block of `dataLength` bytes of packet data, zero-filled, and
// returns where the data goes. Times are microseconds (the default resolution).
uint8_t* openPacketBlock(std::vector<uint8_t>& out, uint32_t interface, int64_t unixMicros,
                         size_t dataLength) {
    const size_t total = kPacketBlockHeader + padded4(dataLength) + kPacketBlockTrailer;
    const size_t at = out.size();
    out.resize(at + total);
    uint8_t* b = out.data() + at;
    const uint64_t micros = static_cast<uint64_t>(std::max<int64_t>(unixMicros, 0));
    le32(b, kEnhancedPacketBlock);
    le32(b + 4, static_cast<uint32_t>(total));
    le32(b + 8, interface);
    le32(b + 12, static_cast<uint32_t>(micros >> 32));
    le32(b + 16, static_cast<uint32_t>(micros));
    le32(b + 20, static_cast<uint32_t>(dataLength));
    le32(b + 24, static_cast<uint32_t>(dataLength));
    le32(b + total - 4, static_cast<uint32_t>(total));
    return b + kPacketBlockHeader;
}

void putLoopback(uint8_t* p, uint8_t last) {
    p[0] = 127;
    p[1] = 0;
    p[2] = 0;
    p[3] = last;
}

}  // namespace

void appendFileHeader(std::vector<uint8_t>& out) {
    const size_t at = out.size();
    out.resize(at + kFileHeader);
    uint8_t* h = out.data() + at;
    le32(h, kSectionHeaderBlock);
    le32(h + 4, 28);
    le32(h + 8, 0x1A2B3C4D);  // byte-order magic, written in our byte order
    le16(h + 12, 1);          // version 1.0
    le16(h + 14, 0);
    le32(h + 16, 0xFFFFFFFF);  // section length not given
    le32(h + 20, 0xFFFFFFFF);
    le32(h + 24, 28);
    const uint32_t linkTypes[] = {kLinkTypeIpv4, kLinkTypeUpperPdu};
    for (size_t i = 0; i < 2; ++i) {
        uint8_t* b = h + 28 + 20 * i;
        le32(b, kInterfaceBlock);
        le32(b + 4, 20);
        le16(b + 8, static_cast<uint16_t>(linkTypes[i]));
        // Reserved 0, snapshot length 0: no limit.
        le32(b + 16, 20);
    }
}

uint8_t simAddress(std::optional<uint32_t> subscription) {
    if (!subscription || *subscription == 0 || *subscription > 255) return 1;
    return static_cast<uint8_t>(*subscription);
}

bool appendGsmtapPacket(std::vector<uint8_t>& out, int64_t unixMicros, uint16_t ipId,
                        const GsmtapFields& fields, uint8_t dst, std::span<const uint8_t> prefix,
                        std::span<const uint8_t> payload) {
    if (prefix.size() > kMaxGsmtapPayload || payload.size() > kMaxGsmtapPayload - prefix.size())
        return false;
    const size_t udpLength = kUdpHeader + kGsmtapHeader + prefix.size() + payload.size();
    const size_t ipLength = kIpv4Header + udpLength;

    uint8_t* ip = openPacketBlock(out, kGsmtapInterface, unixMicros, ipLength);
    ip[0] = 0x45;  // version 4, five-word header
    be16(ip + 2, static_cast<uint16_t>(ipLength));
    be16(ip + 4, ipId);
    ip[6] = 0x40;  // don't fragment
    ip[8] = 64;    // time to live
    ip[9] = 17;    // UDP
    putLoopback(ip + 12, 1);
    putLoopback(ip + 16, dst);
    be16(ip + 10, ipChecksum(ip, kIpv4Header));

    uint8_t* udp = ip + kIpv4Header;
    be16(udp, kGsmtapPort);
    be16(udp + 2, kGsmtapPort);
    be16(udp + 4, static_cast<uint16_t>(udpLength));  // checksum 0: none, allowed over IPv4

    uint8_t* g = udp + kUdpHeader;
    g[0] = 2;                  // GSMTAP version
    g[1] = kGsmtapHeader / 4;  // header length in 32-bit words
    g[2] = fields.type;
    be16(g + 4, fields.arfcn);
    be32(g + 8, fields.frame);
    g[12] = fields.subtype;
    g[14] = fields.subSlot;
    uint8_t* p = g + kGsmtapHeader;
    if (!prefix.empty()) std::memcpy(p, prefix.data(), prefix.size());
    if (!payload.empty()) std::memcpy(p + prefix.size(), payload.data(), payload.size());
    return true;
}

bool appendUpperPduPacket(std::vector<uint8_t>& out, int64_t unixMicros, std::string_view dissector,
                          uint8_t dst, uint8_t leadBits, uint8_t leadBitCount,
                          std::span<const uint8_t> payload) {
    const size_t bits = std::min<uint8_t>(leadBitCount, 7);
    const size_t messageLength = bits == 0 ? payload.size() : payload.size() + 1;
    if (messageLength > kMaxUpperPduPayload || dissector.size() > 0xFF00) return false;
    // The name padded with zero bytes to a multiple of 4, as Wireshark pads its own.
    const size_t nameLength = padded4(dissector.size() + 1);
    const size_t tags = 4 + nameLength + 2 * (4 + 4) + 4;
    uint8_t* d = openPacketBlock(out, kUpperPduInterface, unixMicros, tags + messageLength);
    be16(d, kExpPduDissectorName);
    be16(d + 2, static_cast<uint16_t>(nameLength));
    std::memcpy(d + 4, dissector.data(), dissector.size());
    d += 4 + nameLength;
    be16(d, kExpPduIpv4Src);
    be16(d + 2, 4);
    putLoopback(d + 4, 1);
    be16(d + 8, kExpPduIpv4Dst);
    be16(d + 10, 4);
    putLoopback(d + 12, dst);
    be16(d + 16, kExpPduEnd);  // and length 0
    d += 20;
    if (bits == 0) {
        if (!payload.empty()) std::memcpy(d, payload.data(), payload.size());
        return true;
    }
    // Each byte takes the low bits of the one before and the high bits of its own.
    const uint8_t keep = static_cast<uint8_t>(0xFF << (8 - bits));
    uint8_t carry = leadBits & keep;
    for (size_t i = 0; i < payload.size(); ++i) {
        d[i] = static_cast<uint8_t>(carry | payload[i] >> bits);
        carry = static_cast<uint8_t>(payload[i] << (8 - bits));
    }
    d[payload.size()] = carry;
    return true;
}

uint64_t ExportStats::packets() const {
    uint64_t n = rawDiag;
    for (uint64_t w : written) n += w;
    return n;
}

std::optional<uint32_t> subscriptionNote(std::span<const uint8_t> text) {
    static constexpr std::string_view kPrefix = "Subscription ";
    const std::string_view s(reinterpret_cast<const char*>(text.data()), text.size());
    if (s.size() <= kPrefix.size() || s.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
    const std::string_view digits = s.substr(kPrefix.size());
    uint32_t id = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return id;
}

void PcapExporter::addLog(const dm::LogContents& log, std::vector<uint8_t>& out) {
    beginLog();
    for (const auto& r : log.records) addRecord(r, log.bytes(r), out);
    endLog(out);
}

void PcapExporter::beginLog() {
    subscription_.reset();
    held_.clear();
    heldBytes_.clear();
}

void PcapExporter::addRecord(const dm::LogRecord& r, std::span<const uint8_t> bytes,
                             std::vector<uint8_t>& out) {
    if (lastMicros_ == 0) {
        // Notes ahead of the first stamped record take its time, not 1970's.
        if (r.time == 0) {
            held_.push_back(r);
            held_.back().offset = heldBytes_.size();
            heldBytes_.insert(heldBytes_.end(), bytes.begin(), bytes.end());
            return;
        }
        lastMicros_ = dm::dmTimeToUnixMicros(r.time);
        flushHeld(out);
    }
    // A record without a stamp keeps the packets in time order behind the one before it.
    const int64_t micros = r.time != 0 ? dm::dmTimeToUnixMicros(r.time) : lastMicros_;
    lastMicros_ = micros;
    addTimed(r, bytes, micros, out);
}

void PcapExporter::endLog(std::vector<uint8_t>& out) {
    flushHeld(out);  // a log without any stamp
}

void PcapExporter::flushHeld(std::vector<uint8_t>& out) {
    for (const auto& r : held_)
        addTimed(r, {heldBytes_.data() + r.offset, r.length}, lastMicros_, out);
    held_.clear();
    heldBytes_.clear();
}

void PcapExporter::addTimed(const dm::LogRecord& r, std::span<const uint8_t> bytes, int64_t micros,
                            std::vector<uint8_t>& out) {
    const auto body = bytes.subspan(12);
    if (r.code == dm::kCodeNote) {
        if (auto id = subscriptionNote(body)) subscription_ = id;
    }
    const bool modemLog = r.code != dm::kCodePacket && r.code != dm::kCodeNote &&
                          r.code != dm::kCodeEvent && r.code != dm::kCodeMessage &&
                          r.code != dm::kCodeConverted1F;
    if (modemLog && isOtaCode(r.code)) {
        ++stats_.otaRecords;
        const Decoded d = decodeRecord(r.code, body);
        if (d.outcome == Outcome::Message) {
            if (addMessage(d.message, micros, out)) return;
        } else {
            ++stats_.skipped[static_cast<size_t>(d.reason)];
        }
    } else {
        ++stats_.otherRecords;
    }
    if (everything_) addDiag(r, bytes, micros, out);
}

bool PcapExporter::addMessage(const OtaMessage& m, int64_t micros, std::vector<uint8_t>& out) {
    const uint8_t dst = simAddress(subscription_);
    std::span<const uint8_t> payload = m.payload;
    std::vector<uint8_t> joined;
    if (m.segment != 0) {
        // Parts 1-6 in order, then the last part (7) completes the message.
        const bool follows = m.segment == 1 || (m.segment <= 7 && lastSegment_ != 0 &&
                                                (m.segment == 7 || m.segment == lastSegment_ + 1));
        if (!follows || (m.segment == 1 && lastSegment_ != 0)) {
            // The parts held so far belong to a message whose other parts never came.
            stats_.segments -= lastSegment_;
            stats_.skipped[static_cast<size_t>(SkipReason::MissingSegment)] += lastSegment_;
            segments_.clear();
            lastSegment_ = 0;
            if (!follows) {
                ++stats_.skipped[static_cast<size_t>(SkipReason::MissingSegment)];
                return false;
            }
        }
        if (m.segment < 7) {
            segments_.insert(segments_.end(), payload.begin(), payload.end());
            lastSegment_ = m.segment;
            ++stats_.segments;
            return true;
        }
        joined = std::move(segments_);
        joined.insert(joined.end(), payload.begin(), payload.end());
        segments_.clear();
        stats_.segments -= lastSegment_;
        lastSegment_ = 0;
        payload = joined;
    }
    bool ok;
    if (m.dissector) {
        ok = appendUpperPduPacket(out, micros, m.dissector, dst, m.leadBits, m.leadBitCount,
                                  payload);
    } else {
        GsmtapFields f;
        f.type = m.type;
        f.subtype = m.subtype;
        f.arfcn = m.arfcn;
        f.frame = m.frame;
        f.subSlot = static_cast<uint8_t>(std::min<uint32_t>(subscription_.value_or(0), 255));
        ok = appendGsmtapPacket(out, micros, ipId_, f, dst, {m.prefix.data(), m.prefixLength},
                                payload);
        if (ok) ++ipId_;
    }
    if (!ok) {
        ++stats_.skipped[static_cast<size_t>(SkipReason::TooLong)];
        return false;
    }
    ++stats_.written[static_cast<size_t>(m.kind)];
    return true;
}

void PcapExporter::addDiag(const dm::LogRecord& r, std::span<const uint8_t> bytes, int64_t micros,
                           std::vector<uint8_t>& out) {
    GsmtapFields f;
    f.type = kGsmtapQcDiag;
    f.subSlot = static_cast<uint8_t>(std::min<uint32_t>(subscription_.value_or(0), 255));
    const uint8_t dst = simAddress(subscription_);
    bool ok;
    if (r.code == dm::kCodePacket || r.code == dm::kCodeMessage) {
        // These records hold the DIAG packet as it came, command byte first.
        ok = appendGsmtapPacket(out, micros, ipId_, f, dst, {}, bytes.subspan(12));
    } else {
        // Everything else as a log packet around the record, as the modem sends its own.
        const uint8_t head[4] = {kCmdLog, 0, static_cast<uint8_t>(r.length),
                                 static_cast<uint8_t>(r.length >> 8)};
        ok = appendGsmtapPacket(out, micros, ipId_, f, dst, head, bytes);
    }
    if (ok) {
        ++ipId_;
        ++stats_.rawDiag;
    } else {
        ++stats_.skipped[static_cast<size_t>(SkipReason::TooLong)];
    }
}

}  // namespace kvx::ota
