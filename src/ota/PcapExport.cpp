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

}  // namespace

void appendFileHeader(std::vector<uint8_t>& out) {
    const size_t at = out.size();
    out.resize(at + kPcapFileHeader);
    uint8_t* h = out.data() + at;
    le32(h, 0xA1B2C3D4);  // microsecond time stamps, written in our byte order
    le16(h + 4, 2);
    le16(h + 6, 4);
    // Time zone and accuracy stay 0 (UTC).
    le32(h + 16, 0xFFFF);  // snapshot length: whole datagrams
    le32(h + 20, kLinkTypeIpv4);
}

bool appendGsmtapPacket(std::vector<uint8_t>& out, int64_t unixMicros, uint16_t ipId,
                        const GsmtapFields& fields, std::span<const uint8_t> prefix,
                        std::span<const uint8_t> payload) {
    if (prefix.size() > kMaxGsmtapPayload || payload.size() > kMaxGsmtapPayload - prefix.size())
        return false;
    const size_t udpLength = kUdpHeader + kGsmtapHeader + prefix.size() + payload.size();
    const size_t ipLength = kIpv4Header + udpLength;
    // pcap's seconds field holds 32 bits; the clamp only matters for nonsense stamps.
    const int64_t micros =
        std::clamp<int64_t>(unixMicros, 0, int64_t{0xFFFFFFFF} * 1000000 + 999999);

    const size_t at = out.size();
    out.resize(at + kPcapRecordHeader + ipLength);  // zero-filled: the fields left 0 stay so
    uint8_t* rec = out.data() + at;
    le32(rec, static_cast<uint32_t>(micros / 1000000));
    le32(rec + 4, static_cast<uint32_t>(micros % 1000000));
    le32(rec + 8, static_cast<uint32_t>(ipLength));
    le32(rec + 12, static_cast<uint32_t>(ipLength));

    uint8_t* ip = rec + kPcapRecordHeader;
    ip[0] = 0x45;  // version 4, five-word header
    be16(ip + 2, static_cast<uint16_t>(ipLength));
    be16(ip + 4, ipId);
    ip[6] = 0x40;  // don't fragment
    ip[8] = 64;    // time to live
    ip[9] = 17;    // UDP
    static constexpr uint8_t kLoopback[4] = {127, 0, 0, 1};
    std::copy(kLoopback, kLoopback + 4, ip + 12);
    std::copy(kLoopback, kLoopback + 4, ip + 16);
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
    subscription_.reset();
    if (lastMicros_ == 0) {
        // Notes ahead of the first stamped record take its time, not 1970's.
        for (const auto& r : log.records) {
            if (r.time == 0) continue;
            lastMicros_ = dm::dmTimeToUnixMicros(r.time);
            break;
        }
    }
    for (const auto& r : log.records) {
        const auto body = log.body(r);
        // A record without a stamp keeps the packets in time order behind the one before it.
        const int64_t micros = r.time != 0 ? dm::dmTimeToUnixMicros(r.time) : lastMicros_;
        lastMicros_ = micros;
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
                const OtaMessage& m = d.message;
                GsmtapFields f;
                f.type = m.type;
                f.subtype = m.subtype;
                f.arfcn = m.arfcn;
                f.frame = m.frame;
                f.subSlot =
                    static_cast<uint8_t>(std::min<uint32_t>(subscription_.value_or(0), 255));
                if (appendGsmtapPacket(out, micros, ipId_, f, {m.prefix.data(), m.prefixLength},
                                       m.payload)) {
                    ++ipId_;
                    ++stats_.written[static_cast<size_t>(m.kind)];
                    continue;
                }
                ++stats_.skipped[static_cast<size_t>(SkipReason::TooLong)];
            } else {
                ++stats_.skipped[static_cast<size_t>(d.reason)];
            }
        } else {
            ++stats_.otherRecords;
        }
        if (everything_) addDiag(log, r, micros, out);
    }
}

void PcapExporter::addDiag(const dm::LogContents& log, const dm::LogRecord& r, int64_t micros,
                           std::vector<uint8_t>& out) {
    GsmtapFields f;
    f.type = kGsmtapQcDiag;
    f.subSlot = static_cast<uint8_t>(std::min<uint32_t>(subscription_.value_or(0), 255));
    bool ok;
    if (r.code == dm::kCodePacket || r.code == dm::kCodeMessage) {
        // These records hold the DIAG packet as it came, command byte first.
        ok = appendGsmtapPacket(out, micros, ipId_, f, {}, log.body(r));
    } else {
        // Everything else as a log packet around the record, as the modem sends its own.
        const uint8_t head[4] = {kCmdLog, 0, static_cast<uint8_t>(r.length),
                                 static_cast<uint8_t>(r.length >> 8)};
        ok = appendGsmtapPacket(out, micros, ipId_, f, head, log.bytes(r));
    }
    if (ok) {
        ++ipId_;
        ++stats_.rawDiag;
    } else {
        ++stats_.skipped[static_cast<size_t>(SkipReason::TooLong)];
    }
}

}  // namespace kvx::ota
