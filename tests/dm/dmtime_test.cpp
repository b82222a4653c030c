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
        {uint64_t{800} << 16, "1980-01-06 00:00:01.000"},       // 800 steps of 1.25 ms
        {uint64_t{1} << 16, "1980-01-06 00:00:00.001"},         // one step: 1.25 ms
        {uint64_t{3} << 16, "1980-01-06 00:00:00.003"},         // 3.75 ms, cut not rounded
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
    // The low 16 bits are a fraction of a step: half a step is 0.625 ms.
    EXPECT_EQ(dmTimeToUnixMicros(0x8000) - kGpsEpochUnix * 1000000, 625);
    // The largest stamp stays in range.
    EXPECT_GT(dmTimeToUnixMicros(UINT64_MAX), 0);
    EXPECT_EQ(unixMicrosToDmTime(0), 0u);
}

TEST(DmTime, ParsingRefusesWhatIsNotATime) {
    EXPECT_EQ(parseUtcMicros("2025-10-22T15:41:12.5Z"),
              parseUtcMicros("2025-10-22 15:41:12").value() + 500000);
    for (const char* bad : {"", "15:41:12", "2025-02-31 00:00:00", "2025-13-01 00:00:00",
                            "2025-10-22 15:41:12x", "2025-10-22 15:41:12.", "2025-10-22_15:41:12"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(parseUtcMicros(bad).has_value());
    }
}

}  // namespace
}  // namespace kvx::dm
