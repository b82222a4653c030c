// Free space of the file system that holds a path: what retention needs to keep a disk from
// filling. One small interface; the POSIX file reads statvfs and the mount table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kvx::capture {

struct DiskSpace {
    uint64_t freeBytes = 0;   // available to this (unprivileged) user
    uint64_t totalBytes = 0;  // size of the file system
};

// The file system holding `path` (a file or a folder); nullopt when it cannot be asked (errno
// set). Any thread.
std::optional<DiskSpace> diskSpace(const std::string& path);

// The file system holding `path` as messages name it: its mount point and type,
// "/mnt/logs (tmpfs)". Reads the mount table: for messages, not for every probe.
std::string fileSystemName(const std::string& path);

}  // namespace kvx::capture
