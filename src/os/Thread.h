#pragma once
// Threads as the system's tools see them.
#include <thread>

namespace kvx::os {

// Names a thread for top, perf, debuggers (at most 15 characters are kept on Linux).
void setThreadName(std::thread& thread, const char* name);

// Processors this process may run on (its affinity), at least 1.
int usableCpus();

}  // namespace kvx::os
