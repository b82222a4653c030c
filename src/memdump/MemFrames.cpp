#include "memdump/MemFrames.h"

#include "dm/ByteReader.h"
#include "dm/Crc16.h"

namespace kvx::memdump {

namespace {

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;

uint8_t* putEscaped(uint8_t* w, uint8_t b) {
    if (b == kFlag || b == kEscape) {
        *w++ = kEscape;
        *w++ = static_cast<uint8_t>(b ^ 0x20);
    } else {
        *w++ = b;
    }
    return w;
}

// Big-endian reads over the one bounds-checked reader (which reads little-endian).
std::optional<uint16_t> be16(dm::ByteReader& r) {
    auto hi = r.u8();
    auto lo = r.u8();
    if (!hi || !lo) return std::nullopt;
    return static_cast<uint16_t>((*hi << 8) | *lo);
}

std::optional<uint32_t> be32(dm::ByteReader& r) {
    auto hi = be16(r);
    auto lo = be16(r);
    if (!hi || !lo) return std::nullopt;
    return (static_cast<uint32_t>(*hi) << 16) | *lo;
}

// A NUL-terminated text, cut to `max` characters; the NUL is consumed. A missing NUL ends the
// text at the end of the bytes.
std::string cstr(dm::ByteReader& r, size_t max) {
    std::string s;
    while (auto c = r.u8()) {
        if (*c == 0) break;
        if (s.size() < max) s.push_back(static_cast<char>(*c));
    }
    return s;
}

}  // namespace

ReadRequest buildReadRequest(uint32_t address, uint16_t length) {
    const std::array<uint8_t, 7> payload{kReadRequest,
                                         static_cast<uint8_t>(address >> 24),
                                         static_cast<uint8_t>(address >> 16),
                                         static_cast<uint8_t>(address >> 8),
                                         static_cast<uint8_t>(address),
                                         static_cast<uint8_t>(length >> 8),
                                         static_cast<uint8_t>(length)};
    const uint16_t crc = dm::crc16(payload.data(), static_cast<uint16_t>(payload.size() * 8));
    ReadRequest req;
    uint8_t* w = req.bytes.data();
    *w++ = kFlag;
    for (uint8_t b : payload) w = putEscaped(w, b);
    w = putEscaped(w, static_cast<uint8_t>(crc & 0xFF));
    w = putEscaped(w, static_cast<uint8_t>(crc >> 8));
    *w++ = kFlag;
    req.size = static_cast<size_t>(w - req.bytes.data());
    return req;
}

std::optional<std::span<const uint8_t>> ReceivedFrame::payload() const {
    if (overflow || content.size() < 3) return std::nullopt;
    const uint16_t reg = dm::crc16Update(0xFFFF, content.data(), content.size());
    if (static_cast<uint16_t>(~reg) != dm::kCrcGoodResult) return std::nullopt;
    return content.first(content.size() - 2);
}

void FrameReceiver::feed(std::span<const uint8_t> bytes) {
    if (rawPos_ >= raw_.size()) {
        raw_.clear();
        rawPos_ = 0;
    }
    raw_.insert(raw_.end(), bytes.begin(), bytes.end());
}

bool FrameReceiver::next(ReceivedFrame& out) {
    while (rawPos_ < raw_.size()) {
        const uint8_t b = raw_[rawPos_++];
        if (b == kFlag) {
            escape_ = false;
            if (partial_.empty() && !overflow_) continue;  // a leading or doubled flag
            done_.swap(partial_);
            partial_.clear();
            out.content = done_;
            out.overflow = overflow_;
            overflow_ = false;
            return true;
        }
        if (b == kEscape && !escape_) {
            escape_ = true;
            continue;
        }
        const uint8_t v = escape_ ? static_cast<uint8_t>(b ^ 0x20) : b;
        escape_ = false;
        if (partial_.size() < kMaxFrameContent)
            partial_.push_back(v);
        else
            overflow_ = true;
    }
    return false;
}

void FrameReceiver::reset() {
    raw_.clear();
    rawPos_ = 0;
    partial_.clear();
    escape_ = false;
    overflow_ = false;
}

std::optional<std::vector<AnnouncedRegion>> parseRegionTable(std::span<const uint8_t> payload) {
    dm::ByteReader r(payload);
    if (r.u8() != kMemDebugInfo) return std::nullopt;
    auto tableLength = be16(r);
    if (!tableLength || *tableLength > r.remaining()) return std::nullopt;
    dm::ByteReader table(r.rest().first(*tableLength));
    std::vector<AnnouncedRegion> regions;
    while (!table.atEnd() && regions.size() < kMaxRegions) {
        AnnouncedRegion reg;
        auto type = table.u8();
        auto base = be32(table);
        auto length = be32(table);
        if (!type || !base || !length) break;  // a cut entry is no entry
        reg.type = *type;
        reg.base = *base;
        reg.length = *length;
        reg.description = cstr(table, kDescriptionMax);
        reg.fileName = cstr(table, kFileNameMax);
        regions.push_back(std::move(reg));
    }
    return regions;
}

std::optional<ReadResponse> parseReadResponse(std::span<const uint8_t> payload) {
    dm::ByteReader r(payload);
    if (r.u8() != kReadResponse) return std::nullopt;
    auto address = be32(r);
    auto length = be16(r);
    if (!address || !length) return std::nullopt;
    auto data = r.bytes(*length);
    if (!data) return std::nullopt;
    return ReadResponse{*address, *data};
}

std::string safeFileName(const std::string& announced, size_t regionNumber) {
    const size_t cut = announced.find_last_of("/\\");
    std::string name = cut == std::string::npos ? announced : announced.substr(cut + 1);
    for (char& c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' ||
            c == '?' || c == '*')
            c = '_';
    }
    // Windows drops trailing dots and spaces; a name of only those would name the folder.
    size_t end = name.size();
    while (end > 0 && (name[end - 1] == '.' || name[end - 1] == ' ')) --end;
    if (end == 0) return "region" + std::to_string(regionNumber) + ".bin";
    return name;
}

}  // namespace kvx::memdump
