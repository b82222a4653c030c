#include "modemsim/DloadModel.h"

namespace kvx::modemsim {

namespace {

constexpr uint8_t kAck = 0x02;
constexpr uint8_t kNak = 0x03;
constexpr uint8_t kNoOperation = 0x06;
constexpr uint8_t kParameterRequest = 0x07;
constexpr uint8_t kParameterResponse = 0x08;
constexpr uint8_t kReset = 0x0A;
constexpr uint8_t kMemDebugQuery = 0x10;
constexpr uint8_t kMemDebugInfo = 0x11;
constexpr uint8_t kReadRequest = 0x12;
constexpr uint8_t kReadResponse = 0x13;
// NAK reasons of the download protocol.
constexpr uint8_t kNakInvalidCommand = 0x07;
constexpr uint8_t kNakBadLength = 0x03;
constexpr uint8_t kNakBadAddress = 0x04;

void be16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}
void be32(std::vector<uint8_t>& v, uint32_t x) {
    be16(v, x >> 16);
    be16(v, x);
}

}  // namespace

std::vector<uint8_t> escapeHeavyBytes(size_t size, uint32_t seed) {
    std::vector<uint8_t> out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        switch (x % 4) {
            case 0: out[i] = 0x7E; break;
            case 1: out[i] = 0x7D; break;
            default: out[i] = static_cast<uint8_t>(x >> 8); break;
        }
    }
    return out;
}

std::vector<SimRegion> demoRegions() {
    return {{1, 0x00100000, "CODE_RAM", "CODE_RAM.bin", escapeHeavyBytes(5000, 1)},
            {1, 0x00200000, "EMPTY", "EMPTY.bin", {}},
            {2, 0x80000000, "DDR log buffer", "DDR_LOG.bin", escapeHeavyBytes(70000, 3)}};
}

DloadModel::DloadModel(std::vector<SimRegion> regions) : regions_(std::move(regions)) {}

std::vector<uint8_t> DloadModel::regionTablePayload() const {
    std::vector<uint8_t> entries;
    for (const auto& r : regions_) {
        entries.push_back(r.type);
        be32(entries, r.base);
        be32(entries, static_cast<uint32_t>(r.bytes.size()));
        entries.insert(entries.end(), r.description.begin(), r.description.end());
        entries.push_back(0);
        entries.insert(entries.end(), r.fileName.begin(), r.fileName.end());
        entries.push_back(0);
    }
    std::vector<uint8_t> p{kMemDebugInfo};
    be16(p, static_cast<uint32_t>(entries.size()));
    p.insert(p.end(), entries.begin(), entries.end());
    return p;
}

RequestEffect DloadModel::handle(std::span<const uint8_t> request, bool answer,
                                 std::vector<std::vector<uint8_t>>& replies) {
    if (request.empty()) return RequestEffect::Empty;
    auto reply = [&](std::vector<uint8_t> r) {
        if (!answer) return RequestEffect::Unanswered;
        replies.push_back(std::move(r));
        return RequestEffect::Answered;
    };
    switch (request[0]) {
        case kNoOperation:
            return reply({kAck});
        case kParameterRequest:
            // Protocol version 5, lowest 2, largest write 0x0400, model 0x40, 4-byte device size.
            return reply({kParameterResponse, 0x05, 0x02, 0x04, 0x00, 0x40, 0x04, 0x00, 0x00});
        case kMemDebugQuery:
            return reply(regionTablePayload());
        case kReset:
            ++resets_;
            return reply({kAck});
        case kReadRequest: {
            if (request.size() != 7) return reply({kNak, 0x00, kNakBadLength});
            const uint32_t address = (static_cast<uint32_t>(request[1]) << 24) |
                                     (static_cast<uint32_t>(request[2]) << 16) |
                                     (static_cast<uint32_t>(request[3]) << 8) | request[4];
            const uint32_t length = (static_cast<uint32_t>(request[5]) << 8) | request[6];
            for (const auto& r : regions_) {
                const uint64_t end = static_cast<uint64_t>(r.base) + r.bytes.size();
                if (address < r.base || address + static_cast<uint64_t>(length) > end) continue;
                std::vector<uint8_t> p{kReadResponse};
                be32(p, address);
                be16(p, length);
                const size_t off = address - r.base;
                p.insert(p.end(), r.bytes.begin() + static_cast<ptrdiff_t>(off),
                         r.bytes.begin() + static_cast<ptrdiff_t>(off + length));
                if (answer) ++readsAnswered_;
                return reply(std::move(p));
            }
            return reply({kNak, 0x00, kNakBadAddress});
        }
        default:
            return reply({kNak, 0x00, kNakInvalidCommand});
    }
}

}  // namespace kvx::modemsim
