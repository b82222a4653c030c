#include "modemsim/Replay.h"

#include <fstream>
#include <iterator>

#include "modemsim/Wire.h"

namespace kvx::modemsim {

namespace {

constexpr uint8_t kCmdLog = 0x10;
constexpr uint8_t kCmdEvent = 0x60;
constexpr uint8_t kCmdMessage = 0x79;
constexpr uint8_t kCmdTerseMessage = 0x92;
constexpr uint8_t kCmdMultiSim = 0x98;
constexpr size_t kMultiSimHeader = 8;

uint64_t le64(std::span<const uint8_t> b, size_t off) {
    uint64_t v = 0;
    for (size_t i = 8; i-- > 0;) v = v << 8 | b[off + i];
    return v;
}
void put64(std::span<uint8_t> b, size_t off, uint64_t v) {
    for (size_t i = 0; i < 8; ++i, v >>= 8) b[off + i] = static_cast<uint8_t>(v);
}

// Where the stamp of a log or message packet lies, relative to the packet; 0 for none.
size_t stampOffset(uint8_t command) {
    switch (command) {
        case kCmdLog:
            return 8;  // command, flag, LE16 length, record length, code
        case kCmdMessage:
        case kCmdTerseMessage:
            return 4;
        default:
            return 0;
    }
}

bool streamed(std::span<const uint8_t> payload) {
    size_t inner = 0;
    const uint8_t cmd = innerCommand(payload, inner);
    const size_t n = payload.size() - inner;
    switch (cmd) {
        case kCmdLog:
            return n >= 16;  // packet header and record header
        case kCmdMessage:
        case kCmdTerseMessage:
            return n >= 20;
        case kCmdEvent:
            return n > 3 && forEachEvent(payload.subspan(inner), [](uint16_t, size_t, size_t) {});
        default:
            return false;
    }
}

}  // namespace

uint8_t innerCommand(std::span<const uint8_t> payload, size_t& inner) {
    inner = 0;
    if (payload.empty()) return 0;
    if (payload[0] == kCmdMultiSim && payload.size() > kMultiSimHeader) {
        inner = kMultiSimHeader;
        // One wrapper only: a wrapper inside a wrapper is nothing a modem streams.
        return payload[inner] == kCmdMultiSim ? 0 : payload[inner];
    }
    return payload[0];
}

uint64_t packetStamp(std::span<const uint8_t> payload) {
    size_t inner = 0;
    const uint8_t cmd = innerCommand(payload, inner);
    const auto p = payload.subspan(inner);
    if (const size_t off = stampOffset(cmd); off != 0)
        return p.size() >= off + 8 ? le64(p, off) : 0;
    uint64_t first = 0;
    bool found = false;
    if (cmd == kCmdEvent)
        forEachEvent(p, [&](uint16_t, size_t at, size_t size) {
            if (!found && size == 8) {
                first = le64(p, at);
                found = true;
            }
        });
    return first;
}

void shiftStamps(std::span<uint8_t> payload, uint64_t delta) {
    size_t inner = 0;
    const uint8_t cmd = innerCommand(payload, inner);
    auto p = payload.subspan(inner);
    if (const size_t off = stampOffset(cmd); off != 0) {
        if (p.size() >= off + 8) put64(p, off, le64(p, off) + delta);
        return;
    }
    if (cmd == kCmdEvent) {
        // A short stamp stands for bytes 1-2 of the last full one; it moves with it.
        uint64_t running = 0;
        forEachEvent(p, [&](uint16_t, size_t at, size_t size) {
            if (size == 8) {
                running = le64(p, at);
                put64(p, at, running + delta);
            } else {
                running = (running & ~0xFFFF00ull) | static_cast<uint64_t>(p[at]) << 8 |
                          static_cast<uint64_t>(p[at + 1]) << 16;
                const uint64_t moved = running + delta;
                p[at] = static_cast<uint8_t>(moved >> 8);
                p[at + 1] = static_cast<uint8_t>(moved >> 16);
            }
        });
    }
}

ReplaySource::ReplaySource(std::span<const uint8_t> bytes) {
    RequestDeframer deframer(kMaxFrame);
    deframer.feed(bytes, [&](const DeframedRequest& f) {
        if (!f.crcOk || f.overflow || packets_.size() >= kMaxPackets) return;
        const auto p = f.payload();
        if (streamed(p)) packets_.emplace_back(p.begin(), p.end());
    });
    for (const auto& p : packets_)
        if (const uint64_t s = packetStamp(p); s != 0) {
            origin_ = s;
            break;
        }
}

ReplaySource ReplaySource::fromFile(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return ReplaySource({});
    }
    std::vector<uint8_t> bytes;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        bytes.insert(bytes.end(), buf, buf + in.gcount());
        if (bytes.size() > kMaxFileBytes) {
            error = path + " is larger than 256 MB";
            return ReplaySource({});
        }
    }
    ReplaySource src(bytes);
    if (src.empty()) error = path + " holds no log, event or message packet";
    return src;
}

const std::vector<uint8_t>* ReplaySource::next(uint64_t now) {
    if (packets_.empty()) return nullptr;
    if (cursor_ >= packets_.size()) cursor_ = 0;
    if (cursor_ == 0) base_ = now;
    current_ = packets_[cursor_++];
    // Stamps before the recording's first (a modem whose clock was set back) land on it.
    // Moved by whole 1.25 ms steps, so each low part stays the modem's own (below 49152).
    const uint64_t s = packetStamp(current_);
    const uint64_t stepShift = ((base_ >> 16) - (origin_ >> 16)) << 16;
    if (s != 0) shiftStamps(current_, s >= origin_ ? stepShift : base_ - s);
    ++handedOut_;
    return &current_;
}

}  // namespace kvx::modemsim
