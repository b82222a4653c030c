#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "dm/Frame.h"
#include "modemsim/Wire.h"

namespace kvx::modemsim {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::pair<Bytes, bool>> deframeAll(RequestDeframer& d, const Bytes& wire) {
    std::vector<std::pair<Bytes, bool>> out;
    d.feed(wire, [&](const DeframedRequest& f) {
        auto p = f.payload();
        out.emplace_back(Bytes(p.begin(), p.end()), f.crcOk);
    });
    return out;
}

TEST(ModemWire, AppendFrameGivesTheWorkedWireFrames) {
    const std::vector<std::pair<Bytes, Bytes>> cases = {
        {{0x1D}, {0x1D, 0x1C, 0x3B, 0x7E}},
        {{0x60, 0x01}, {0x60, 0x01, 0x9B, 0x7B, 0x7E}},
        {{0x7D, 0x01}, {0x7D, 0x5D, 0x01, 0x72, 0x5E, 0x7E}},
        {{0x81, 0x00, 0x00, 0x00}, {0x81, 0x00, 0x00, 0x00, 0x0B, 0xCD, 0x7E}},
        {{0x06}, {0x06, 0x4E, 0x95, 0x7E}},
    };
    for (const auto& [payload, wire] : cases) {
        Bytes out{0xAA};  // appends behind what is there
        EXPECT_EQ(appendFrame(out, payload), wire.size());
        EXPECT_EQ(Bytes(out.begin() + 1, out.end()), wire);
    }
}

TEST(ModemWire, AppendFrameAgreesWithTheEngineBuilderAndGoesBeyondIt) {
    std::mt19937 rng(7);
    for (size_t len : {1u, 2u, 100u, 2045u, 2046u, 3000u, 9000u}) {
        Bytes payload(len);
        for (auto& b : payload) b = static_cast<uint8_t>(rng() % 4 == 0 ? 0x7D + rng() % 2 : rng());
        Bytes wire;
        appendFrame(wire, payload);
        if (len <= dm::kMaxPayload) {
            EXPECT_EQ(wire, dm::buildFrame(payload)) << len;
        }
        // Longer frames still deframe to the payload with a good CRC.
        RequestDeframer d(16384);
        auto frames = deframeAll(d, wire);
        ASSERT_EQ(frames.size(), 1u) << len;
        EXPECT_TRUE(frames[0].second) << len;
        EXPECT_EQ(frames[0].first, payload) << len;
    }
}

TEST(ModemWire, DeframerReassemblesAFrameSplitAtEveryPosition) {
    const Bytes a{0x7D, 0x04, 0x7E, 0x00, 0x7D, 0x7D, 0x01};
    const Bytes b{0x4B, 0x08, 0x01, 0x00};
    Bytes wire{0x7E};  // a leading flag, as some hosts send, is an empty frame to skip
    appendFrame(wire, a);
    appendFrame(wire, b);
    for (size_t cutAt = 0; cutAt <= wire.size(); ++cutAt) {
        RequestDeframer d;
        auto first = deframeAll(d, Bytes(wire.begin(), wire.begin() + static_cast<ptrdiff_t>(cutAt)));
        auto second = deframeAll(d, Bytes(wire.begin() + static_cast<ptrdiff_t>(cutAt), wire.end()));
        first.insert(first.end(), second.begin(), second.end());
        ASSERT_EQ(first.size(), 2u) << cutAt;
        EXPECT_EQ(first[0].first, a) << cutAt;
        EXPECT_EQ(first[1].first, b) << cutAt;
        EXPECT_TRUE(first[0].second && first[1].second) << cutAt;
    }
}

TEST(ModemWire, DeframerFlagsBadAndOverlongFramesAndStaysBounded) {
    struct Case {
        const char* name;
        Bytes wire;
        size_t maxFrame;
        bool crcOk;
        bool overflow;
        size_t payloadSize;
    };
    Bytes good;
    appendFrame(good, Bytes{0x1D});
    Bytes flipped = good;
    flipped[0] ^= 0x01;
    Bytes longFrame;
    appendFrame(longFrame, Bytes(100, 0x42));
    const std::vector<Case> cases = {
        {"good", good, 64, true, false, 1},
        {"bit flipped", flipped, 64, false, false, 1},
        {"too short for a CRC", {0x01, 0x7E}, 64, false, false, 1},
        {"escape right before the flag", {0x1D, 0x7D, 0x7E}, 64, false, false, 1},
        {"longer than kept", longFrame, 32, false, true, 30},
    };
    for (const auto& c : cases) {
        RequestDeframer d(c.maxFrame);
        std::vector<DeframedRequest> seen;
        size_t payloadSize = 0;
        d.feed(c.wire, [&](const DeframedRequest& f) {
            seen.push_back(f);
            payloadSize = f.payload().size();
            EXPECT_LE(f.frame.size(), c.maxFrame);
        });
        ASSERT_EQ(seen.size(), 1u) << c.name;
        EXPECT_EQ(seen[0].crcOk, c.crcOk) << c.name;
        EXPECT_EQ(seen[0].overflow, c.overflow) << c.name;
        EXPECT_EQ(payloadSize, c.payloadSize) << c.name;
        // The deframer is clean for the next frame.
        auto after = deframeAll(d, good);
        ASSERT_EQ(after.size(), 1u) << c.name;
        EXPECT_TRUE(after[0].second) << c.name;
    }
}

}  // namespace
}  // namespace kvx::modemsim
