// The running program's own file, for finding what is installed beside it.
#pragma once

#include <filesystem>
#include <vector>

namespace kvx::app {

// Absolute paths the running program may be known by, best first (Linux: /proc/self/exe, then
// the path it was started by; Windows: the module's file name). Empty when none can be told.
std::vector<std::filesystem::path> programFiles();

}  // namespace kvx::app
