#pragma once
// Calendar conversions that the C library spells differently on each system.
#include <ctime>

namespace kvx::os {

// Broken-down local time (the user's time zone) of `when`; false when it has none.
bool localTime(std::time_t when, std::tm& out);
// Broken-down UTC of `when`; false when it has none.
bool utcTime(std::time_t when, std::tm& out);
// Seconds since 1970 of a broken-down UTC time, normalising out-of-range fields (timegm).
std::time_t fromUtc(std::tm& t);

}  // namespace kvx::os
