// The simulated modem's request path on outside bytes: deframing, every request handler and
// the masks they set, then a few packets of the stream those masks enable.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "modemsim/DmModel.h"
#include "modemsim/Wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kvx::modemsim;
    const std::span<const uint8_t> input(data, size);
    // Small frames too, so that the overflow path is reached by short inputs.
    RequestDeframer deframer(size > 0 && (data[0] & 1) ? 64 : RequestDeframer::kDefaultMaxFrame);
    DmModel model{ModemProfile{}};
    std::vector<std::vector<uint8_t>> replies;
    size_t frames = 0;
    deframer.feed(input, [&](const DeframedRequest& f) {
        if (f.frame.size() > RequestDeframer::kDefaultMaxFrame) __builtin_trap();
        // Bad frames are handled too: the handlers must stand any bytes, checked or not.
        model.handle(f.payload(), (frames++ % 3) != 2, replies);
    });
    for (const auto& r : replies)
        if (r.empty()) __builtin_trap();

    std::vector<uint8_t> packet;
    std::vector<uint8_t> wire;
    StreamKind kind;
    uint32_t seq;
    for (int i = 0; i < 12 && model.nextStreamPacket(packet, kind, seq); ++i) {
        if (packet.empty() || packet.size() > 4096) __builtin_trap();
        wire.clear();
        appendFrame(wire, packet);
        if (wire.back() != 0x7E) __builtin_trap();
    }
    return 0;
}
