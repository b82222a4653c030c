// The simulated modem's replay of a recorded capture on outside bytes: cutting the capture
// into packets, re-timing them (event reports walked event by event) and the model's mask
// check on what it streams.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "modemsim/DmModel.h"
#include "modemsim/Replay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kvx::modemsim;
    ReplaySource source(std::span<const uint8_t>(data, size));
    for (size_t i = 0; i < source.size(); ++i) {
        const auto& p = source.packet(i);
        if (p.empty() || p.size() > ReplaySource::kMaxFrame) __builtin_trap();
    }
    for (size_t i = 0; i < 2 * source.size() + 1; ++i) {
        const auto* p = source.next(0x0123456789ABCDEFull);
        if (source.empty() != (p == nullptr)) __builtin_trap();
    }
    // Every log code, event and message enabled: whatever the recording holds goes out.
    DmModel model{profileFor(ProfileKind::Generic)};
    std::vector<std::vector<uint8_t>> replies;
    model.handle(std::vector<uint8_t>{0x60, 0x01}, true, replies);
    model.handle(std::vector<uint8_t>{0x7D, 0x05, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, true, replies);
    for (uint8_t e : {0x1, 0x4, 0x5, 0xB}) {
        std::vector<uint8_t> r{0x73, 0, 0, 0, 3, 0, 0, 0, e, 0, 0, 0, 0x00, 0x10, 0, 0};
        r.resize(r.size() + 512, 0xFF);
        model.handle(r, true, replies);
    }
    model.setReplay(&source);
    std::vector<uint8_t> packet;
    StreamKind kind;
    uint32_t seq;
    for (int i = 0; i < 8 && model.nextStreamPacket(packet, kind, seq); ++i)
        if (packet.empty()) __builtin_trap();
    return 0;
}
