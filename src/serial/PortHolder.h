// Who holds a serial port open: the processes with a descriptor on the device, found through
// /proc/<pid>/fd, and whether ModemManager runs. What the open errors and `kvxlog ports` name.
// Plain functions over a proc root folder; any thread. On Windows, which names no holder of a
// port, both answers are empty (PortHolder_win.cpp).
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

namespace kvx::serial {

struct PortHolder {
    int pid = 0;
    std::string name;  // the process's command name (/proc/<pid>/comm)
};

// $KVXLOG_PROC_ROOT, else "/proc".
std::string defaultProcRoot();

// The processes that have the device at `devicePath` open, in pid order. A process whose
// descriptors this user may not read (another user's, without privileges) is not seen. The
// scan is bounded: at most kMaxProcesses processes and kMaxDescriptors descriptors each.
std::vector<PortHolder> portHolders(const std::string& devicePath,
                                    const std::string& procRoot = defaultProcRoot());

#ifndef _WIN32
// Whether two stat results (of a port's path and of a descriptor's target) are the same file:
// the same character device whichever node names it, the same inode otherwise.
bool sameOpenFile(const struct stat& a, const struct stat& b);
#endif

inline constexpr int kMaxProcesses = 65536;
inline constexpr int kMaxDescriptors = 65536;

inline constexpr const char* kModemManager = "ModemManager";
// True when a process of that name runs.
bool modemManagerRunning(const std::string& procRoot = defaultProcRoot());

}  // namespace kvx::serial
