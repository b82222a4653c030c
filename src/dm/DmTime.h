// The modem's 8-byte time stamp and wall-clock time.
//
// Bits 16..63 count 1.25 ms steps since the GPS epoch (1980-01-06 00:00:00); the low 16 bits
// are a fraction of the current step. Read as a whole, the value counts 1/52428800 s. The
// modems whose captures we hold count in UTC from that epoch (no leap-second offset): a
// capture's first stamp falls within a second of the time its recorder put in the file name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kvx::dm {

inline constexpr int64_t kGpsEpochUnix = 315964800;        // 1980-01-06 00:00:00 UTC
inline constexpr uint64_t kDmTicksPerSecond = 52428800;    // 800 steps of 65536
inline constexpr int kGpsLeapSeconds = 18;                  // GPS ahead of UTC since 2017

// Microseconds since the Unix epoch for a DM time stamp.
int64_t dmTimeToUnixMicros(uint64_t stamp);
// The DM time stamp of a Unix time in microseconds; times before the GPS epoch give 0.
uint64_t unixMicrosToDmTime(int64_t unixMicros);
// "YYYY-MM-DD HH:MM:SS.mmm" (UTC) for microseconds since the Unix epoch.
std::string formatUtcMillis(int64_t unixMicros);
// Reads "YYYY-MM-DD HH:MM:SS[.fff]" or "YYYY-MM-DDTHH:MM:SS[.fff][Z]" as UTC; nullopt when
// the text is not such a time.
std::optional<int64_t> parseUtcMicros(const std::string& text);

}  // namespace kvx::dm
