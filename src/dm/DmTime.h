// The modem's 8-byte time stamp and wall-clock time.
//
// Bits 16..63 count 1.25 ms steps since the GPS epoch (1980-01-06 00:00:00); the low 16 bits
// count 1/32 chip within the step, 49152 of them to a step, so a modem never sends 49152 or
// more there (the largest in 133,801 real log packets is 49151). A larger low part, from a
// damaged or made-up stamp, is read by the same formula rather than carried into the next
// step. The modems whose captures we hold count in UTC from that epoch (no leap-second
// offset): a capture's first stamp falls within a second of the time its recorder put in the
// file name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kvx::dm {

inline constexpr int64_t kGpsEpochUnix = 315964800;  // 1980-01-06 00:00:00 UTC
inline constexpr uint64_t kDmStepUnits = 49152;      // low-part units in one 1.25 ms step
// One second added to a stamp: 800 steps in the upper 48 bits, the low part unchanged.
inline constexpr uint64_t kDmTicksPerSecond = uint64_t{800} << 16;
inline constexpr int kGpsLeapSeconds = 18;  // GPS ahead of UTC since 2017

// Microseconds since the Unix epoch for a DM time stamp, cut (not rounded) to the microsecond:
// upper 48 bits x 1250 us + low 16 bits x 1250 us / 49152.
int64_t dmTimeToUnixMicros(uint64_t stamp);
// The DM time stamp of a Unix time in microseconds, its low part below 49152 as a modem's is;
// reading it back gives the same microsecond. Times before the GPS epoch give 0.
uint64_t unixMicrosToDmTime(int64_t unixMicros);
// "YYYY-MM-DD HH:MM:SS.mmm" (UTC) for microseconds since the Unix epoch.
std::string formatUtcMillis(int64_t unixMicros);
// Reads "YYYY-MM-DD HH:MM:SS[.fff]" or "YYYY-MM-DDTHH:MM:SS[.fff][Z]" as UTC; nullopt when
// the text is not such a time.
std::optional<int64_t> parseUtcMicros(const std::string& text);

}  // namespace kvx::dm
