// The modem's time stamp against wall-clock time, on values worked out by hand.
#include <gtest/gtest.h>

#include "dm/DmTime.h"

namespace kvx::dm {
namespace {

TEST(DmTime, KnownStampsAndTheWayBack) {
    const struct {
        uint64_t stamp;
        const char* utc;
    } cases[] = {
        {0, "1980-01-06 00:00:00.000"},
        {uint64_t{800} << 16, "1980-01-06 00:00:01.000"},  // 800 steps of 1.25 ms
        {uint64_t{1} << 16, "1980-01-06 00:00:00.001"},    // one step: 1.25 ms
        {uint64_t{3} << 16, "1980-01-06 00:00:00.003"},    // 3.75 ms, cut not rounded
        {uint64_t{800} * 86400 << 16, "1980-01-07 00:00:00.000"},
        // 2025-10-22 15:41:12 UTC is 1445182872 s after the epoch.
        {uint64_t{1445182872} * 800 << 16, "2025-10-22 15:41:12.000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.utc);
        const int64_t us = dmTimeToUnixMicros(c.stamp);
        EXPECT_EQ(formatUtcMillis(us), c.utc);
        EXPECT_EQ(parseUtcMicros(c.utc), us / 1000 * 1000);
        EXPECT_EQ(dmTimeToUnixMicros(unixMicrosToDmTime(us)), us);
    }
    // The low 16 bits count 1/49152 of a step: half a step is 0.625 ms.
    EXPECT_EQ(dmTimeToUnixMicros(24576) - kGpsEpochUnix * 1000000, 625);
    // The largest stamp stays in range.
    EXPECT_GT(dmTimeToUnixMicros(UINT64_MAX), 0);
    EXPECT_EQ(unixMicrosToDmTime(0), 0u);
}

// Stamps of real log packets (the times worked out apart from this code: upper 48 bits times
// 1250 us, plus the low 16 bits times 1250 us / 49152, cut to the microsecond).
TEST(DmTime, RealStampsInTheirOwnUnits) {
    const struct {
        uint64_t stamp;
        int64_t unixMicros;
        const char* what;
    } cases[] = {
        {0x10d2fb07b241a2e, 1761147672045170, "DrexxLaggui 1761147671: first 0xB0C0"},
        {0x10d2fb0f48da64b, 1761147710897332, "DrexxLaggui 1761147671: low part 42571"},
        {0x212332f2c, 315964969664057, "rayhunter 1749222138: stamped before its clock was set"},
        {0x2123daa9e, 315964969677360, "rayhunter 1749222138: low part 43678"},
        {0x1BFFF, 315964800002499, "one step and 49151 units: the last unit of the step"},
        {0x1C000, 315964800002500, "49152 units are one whole step"},
        // Never sent by a modem; read by the same formula, not carried into the next step.
        {0x1FFFF, 315964800002916, "one step and 65535 units"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(dmTimeToUnixMicros(c.stamp), c.unixMicros);
        // The way back keeps the microsecond, and its low part is one a modem could send.
        const uint64_t back = unixMicrosToDmTime(c.unixMicros);
        EXPECT_EQ(dmTimeToUnixMicros(back), c.unixMicros);
        EXPECT_LT(back & 0xFFFF, kDmStepUnits);
    }
    // Every microsecond of a step maps to a low part below 49152, and back to itself.
    for (int64_t us = 0; us < 2500; ++us) {
        const uint64_t stamp = unixMicrosToDmTime(kGpsEpochUnix * 1000000 + 1 + us);
        ASSERT_LT(stamp & 0xFFFF, kDmStepUnits) << us;
        ASSERT_EQ(dmTimeToUnixMicros(stamp), kGpsEpochUnix * 1000000 + 1 + us);
    }
}

TEST(DmTime, ParsingRefusesWhatIsNotATime) {
    EXPECT_EQ(parseUtcMicros("2025-10-22T15:41:12.5Z"),
              parseUtcMicros("2025-10-22 15:41:12").value() + 500000);
    for (const char* bad :
         {"", "15:41:12", "2025-02-31 00:00:00", "2025-13-01 00:00:00", "2025-10-22 15:41:12x",
          "2025-10-22 15:41:12.", "2025-10-22_15:41:12"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(parseUtcMicros(bad).has_value());
    }
}

}  // namespace
}  // namespace kvx::dm
