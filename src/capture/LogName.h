// Names of output log files: the base log path followed by the local time stamp and ".kvx",
// with every earlier ".kvx" of the name replaced by "-".
#pragma once

#include <ctime>
#include <string>

namespace kvx::capture {

// Shown instead of a stem that would be too long; it cannot be created as a file.
inline constexpr const char* kShortenPath = "***Please shorten the file path***";

// The output name for a file begun at local time `when`.
std::string makeLogName(const std::string& basePath, std::time_t when);

// Suffixes tried for a name another run has taken: "_2" up to this.
inline constexpr int kMaxNameSuffix = 99;
// `name` (ending in ".kvx") with "_<n>" before its extension.
std::string suffixedLogName(const std::string& name, int n);

}  // namespace kvx::capture
