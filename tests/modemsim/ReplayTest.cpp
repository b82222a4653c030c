// The modem streaming a recorded capture: the recording's packets in order, re-timed to now,
// filtered by the masks; and its time stamps, UTC by default or GPS time on request.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "HostLink.h"
#include "dm/ByteReader.h"
#include "dm/DmTime.h"
#include "modemsim/DmModel.h"
#include "modemsim/Replay.h"
#include "modemsim/SimModem.h"
#include "modemsim/Wire.h"
#include "MaskRequests.h"

namespace kvx::modemsim {
namespace {

using test::logMaskSet;

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

const fs::path kReal = fs::path(KVX_REALDATA_DIR);

int64_t nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The code of a log packet (wrapped or not); 0 for anything else.
uint16_t logCode(const Bytes& p) {
    size_t at = 0;
    if (innerCommand(p, at) != 0x10) return 0;
    return dm::le16At(p, at + 6).value_or(0);
}

ReplaySource load(const char* name) {
    std::string error;
    return ReplaySource::fromFile((kReal / name).string(), error);
}

TEST(Replay, CutsRealCapturesIntoTheirStreamedPackets) {
    if (!fs::is_directory(kReal)) GTEST_SKIP() << "real captures not present";
    struct Case {
        const char* file;
        size_t packets;   // log, event and message packets the recording holds
        size_t wrapped;   // of them in multi-SIM wrappers
    };
    const Case cases[] = {
        {"rayhunter-traces_1749211282-goodsim.qmdl", 29, 0},
        {"DrexxLaggui_1761147671_MNL-20251022.qmdl", 218, 0},
        {"scat-test_hwcombos.qmdl", 40, 40},
    };
    for (const auto& c : cases) {
        const ReplaySource src = load(c.file);
        EXPECT_EQ(src.size(), c.packets) << c.file;
        size_t wrapped = 0;
        for (size_t i = 0; i < src.size(); ++i) wrapped += src.packet(i)[0] == 0x98;
        EXPECT_EQ(wrapped, c.wrapped) << c.file;
    }
    std::string error;
    EXPECT_TRUE(ReplaySource::fromFile((kReal / "absent.qmdl").string(), error).empty());
    EXPECT_FALSE(error.empty());
}

TEST(Replay, RetimesEachPassToNowKeepingTheRecordedSpacing) {
    if (!fs::is_directory(kReal)) GTEST_SKIP() << "real captures not present";
    ReplaySource src = load("DrexxLaggui_1761147671_MNL-20251022.qmdl");
    ASSERT_GT(src.size(), 10u);
    std::vector<uint64_t> recorded;
    for (size_t i = 0; i < src.size(); ++i) recorded.push_back(packetStamp(src.packet(i)));
    const uint64_t now = dm::unixMicrosToDmTime(nowMicros());
    for (int pass = 0; pass < 2; ++pass) {
        const uint64_t base = now + static_cast<uint64_t>(pass) * 1000000;
        for (size_t i = 0; i < src.size(); ++i) {
            const Bytes p = *src.next(base);
            const uint64_t s = packetStamp(p);
            if (recorded[i] == 0) continue;
            ASSERT_GE(recorded[i], recorded[0]);
            // Moved by whole 1.25 ms steps: the recorded spacing, and each recorded low part.
            EXPECT_EQ(s, recorded[i] + (((base >> 16) - (recorded[0] >> 16)) << 16)) << "packet " << i;
            EXPECT_LT(s & 0xFFFF, dm::kDmStepUnits) << "packet " << i;
            // Only the stamp moved.
            Bytes back = p;
            shiftStamps(back, recorded[i] - s);
            EXPECT_EQ(back, src.packet(i));
        }
    }
    EXPECT_EQ(src.handedOut(), 2 * src.size());
}

TEST(Replay, TheMasksDecideWhatOfTheRecordingGoesOut) {
    if (!fs::is_directory(kReal)) GTEST_SKIP() << "real captures not present";
    ReplaySource src = load("scat-test_hwcombos.qmdl");
    std::map<uint16_t, size_t> inRecording;
    for (size_t i = 0; i < src.size(); ++i) ++inRecording[logCode(src.packet(i))];
    ASSERT_TRUE(inRecording.count(0xB0CD));

    DmModel m{profileFor(ProfileKind::Generic)};
    m.setReplay(&src);
    std::vector<Bytes> replies;
    Bytes p;
    StreamKind kind;
    uint32_t seq;
    EXPECT_FALSE(m.nextStreamPacket(p, kind, seq)) << "nothing enabled";
    // A code the recording does not hold: one pass finds nothing, then the modem is quiet.
    m.handle(logMaskSet(5, 0x0D00, {0x5072}), true, replies);
    EXPECT_FALSE(m.nextStreamPacket(p, kind, seq));
    EXPECT_FALSE(m.streaming());
    m.handle(logMaskSet(0xB, 0x0A00, {0xB0CD}), true, replies);
    ASSERT_TRUE(m.streaming());
    for (size_t i = 0; i < 3 * inRecording[0xB0CD]; ++i) {
        ASSERT_TRUE(m.nextStreamPacket(p, kind, seq));
        EXPECT_EQ(kind, StreamKind::Log);
        EXPECT_EQ(logCode(p), 0xB0CD);
        EXPECT_EQ(p[0], 0x98) << "the recording's wrapper stays";
        EXPECT_EQ(seq, 0u);
    }
}

// The program streams a recording over its terminal: frames a host reads whole.
TEST(Replay, SimulatedModemStreamsARecordingToAHost) {
    if (!fs::is_directory(kReal)) GTEST_SKIP() << "real captures not present";
    std::string error;
    SimModem::Config cfg;
    cfg.profile = profileFor(ProfileKind::Generic);
    cfg.replay = std::make_shared<ReplaySource>(
        ReplaySource::fromFile((kReal / "rayhunter-traces_1749222138-goodsim.qmdl").string(), error));
    ASSERT_FALSE(cfg.replay->empty()) << error;
    std::set<uint16_t> recorded;
    for (size_t i = 0; i < cfg.replay->size(); ++i) recorded.insert(logCode(cfg.replay->packet(i)));
    ASSERT_TRUE(recorded.count(0xB0C0));
    SimModem modem(cfg);
    ASSERT_EQ(modem.start().error, StartError::None);
    test::HostLink host(modem.path());
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(host.send(logMaskSet(0xB, 0x0A00, {0xB0C0})));
    const uint64_t started = dm::unixMicrosToDmTime(nowMicros());
    size_t logs = 0;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (logs < 200 && std::chrono::steady_clock::now() < end)
        for (const auto& f : host.frames(100)) {
            ASSERT_TRUE(f.crcOk);
            if (f.payload.empty() || f.payload[0] != 0x10) continue;
            EXPECT_EQ(logCode(f.payload), 0xB0C0);
            // Re-timed: stamped now, not when it was recorded.
            EXPECT_GE(packetStamp(f.payload) + 2 * dm::kDmTicksPerSecond, started);
            // Moved in whole steps: the low part stays one a real modem sends.
            EXPECT_LT(packetStamp(f.payload) & 0xFFFF, dm::kDmStepUnits);
            ++logs;
        }
    EXPECT_GE(logs, 200u);
    modem.stop();
}

TEST(ModemTime, StampsCountUtcOrGpsTimeInStepsOfOneAndAQuarterMilliseconds) {
    const int64_t before = nowMicros();
    const uint64_t utc = dmTimestampNow();
    const uint64_t gps = dmTimestampNow(true);
    const int64_t after = nowMicros();
    EXPECT_GE(dm::dmTimeToUnixMicros(utc), before - 1250);
    EXPECT_LE(dm::dmTimeToUnixMicros(utc), after);
    const int64_t ahead = dm::dmTimeToUnixMicros(gps) - dm::dmTimeToUnixMicros(utc);
    EXPECT_NEAR(static_cast<double>(ahead), dm::kGpsLeapSeconds * 1e6, 100000.0);
    // The profile's choice reaches the time stamp reply.
    ModemProfile p;
    p.gpsLeapSeconds = true;
    DmModel m(p);
    std::vector<Bytes> replies;
    m.handle(Bytes{0x1D}, true, replies);
    ASSERT_EQ(replies.size(), 1u);
    const uint64_t stamp = dm::le32At(replies[0], 1).value_or(0) |
                           static_cast<uint64_t>(dm::le32At(replies[0], 5).value_or(0)) << 32;
    EXPECT_NEAR(static_cast<double>(dm::dmTimeToUnixMicros(stamp) - nowMicros()), dm::kGpsLeapSeconds * 1e6,
                1e6);
}

}  // namespace
}  // namespace kvx::modemsim
