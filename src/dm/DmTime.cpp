#include "dm/DmTime.h"

#include <cstdio>
#include <ctime>

#include "os/Time.h"

namespace kvx::dm {

namespace {
constexpr uint64_t kStepMicros = 1250;
}  // namespace

int64_t dmTimeToUnixMicros(uint64_t stamp) {
    const uint64_t steps = stamp >> 16;  // below 2^48: times 1250 stays below 2^59
    const uint64_t units = stamp & 0xFFFF;
    return kGpsEpochUnix * 1000000 + static_cast<int64_t>(steps * kStepMicros) +
           static_cast<int64_t>(units * kStepMicros / kDmStepUnits);
}

uint64_t unixMicrosToDmTime(int64_t unixMicros) {
    const int64_t since = unixMicros - kGpsEpochUnix * 1000000;
    if (since <= 0) return 0;
    const auto us = static_cast<uint64_t>(since);
    const uint64_t steps = us / kStepMicros;
    // Round up so that reading the stamp back gives the same microsecond; 1249 us gives 49113.
    const uint64_t units = (us % kStepMicros * kDmStepUnits + kStepMicros - 1) / kStepMicros;
    return steps << 16 | units;
}

std::string formatUtcMillis(int64_t unixMicros) {
    int64_t seconds = unixMicros / 1000000;
    int64_t micros = unixMicros % 1000000;
    if (micros < 0) {
        micros += 1000000;
        --seconds;
    }
    const auto t = static_cast<time_t>(seconds);
    struct tm tm {};
    if (!os::utcTime(t, tm)) return "?";
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(micros / 1000));
    return text;
}

std::optional<int64_t> parseUtcMicros(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
    char sep = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &y, &mo, &d, &sep, &h, &mi, &s,
                    &used) != 7 ||
        (sep != ' ' && sep != 'T'))
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60 || y < 1970)
        return std::nullopt;
    size_t pos = static_cast<size_t>(used);
    int64_t micros = 0;
    if (pos < text.size() && text[pos] == '.') {
        int64_t scale = 100000;
        ++pos;
        const size_t digits = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            micros += (text[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == digits) return std::nullopt;
    }
    if (pos < text.size() && text[pos] == 'Z') ++pos;
    if (pos != text.size()) return std::nullopt;
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    const time_t t = os::fromUtc(tm);
    // timegm normalises 31 February into March: such a date is not a time.
    struct tm back {};
    if (!os::utcTime(t, back) || back.tm_mday != d || back.tm_mon != mo - 1)
        return std::nullopt;
    return static_cast<int64_t>(t) * 1000000 + micros;
}

}  // namespace kvx::dm
