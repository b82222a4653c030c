#pragma once
// The few file operations whose form differs between POSIX and Windows. Everything else goes
// through the C library's open/read/write/close, which both have. Failures set errno.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace kvx::os {

// Added to the flags of every open() of ours: child programs do not inherit the descriptor,
// and on Windows the file is in binary mode (no CR LF translation, no end at byte 0x1A).
#ifdef _WIN32
inline constexpr int kOpenFlags = _O_BINARY | _O_NOINHERIT;
#else
inline constexpr int kOpenFlags = O_CLOEXEC;
#endif

// A file name of the program (as the C library's fopen takes it: on Windows in the ANSI code
// page) as a path, and back.
std::filesystem::path pathOf(const std::string& name);
std::string nameOf(const std::filesystem::path& path);

// The errno of an open() of `path` that just failed, as POSIX gives it: EISDIR for a folder
// (Windows refuses to open one with EACCES).
int openError(const std::string& path);

// Position just past the last folder separator of `path` ('/', and '\\' or ':' on Windows),
// 0 when it has none: path.substr(0, folderEnd(path)) is its folder with the separator.
size_t folderEnd(const std::string& path);

// True for a separator of folders on this system.
bool isSeparator(char c);

// Writes what the system holds of the file to the disk (fsync, FlushFileBuffers).
bool syncFile(int fd);

// Best effort: makes a rename or new name inside `folder` ("" is the current one) durable.
void syncFolder(const std::string& folder);

// The file a path names once symbolic links are followed; the path itself when it cannot be
// resolved.
std::string resolveLinks(const std::string& path);

// Gives the file open on `fd` the owner (where allowed) and permissions of the file at
// `original`. False and errno when the permissions could not be set.
bool copyOwnerAndMode(int fd, const std::string& original);

// Renames `from` to `to`, replacing a file of that name in one step.
bool replaceFile(const std::string& from, const std::string& to);

// Cuts the file open on `fd` to `size` bytes.
bool truncateFile(int fd, uint64_t size);

// 0 when files can be created in `folder`, else the errno (ENOENT, ENOTDIR, EACCES...).
int folderWritable(const std::string& folder);

// Read-only view of the first `size` bytes of the file open on `fd`, read ahead in order;
// nullptr when the file cannot be mapped (a pipe, a device). The view outlives the descriptor.
const void* mapReadOnly(int fd, size_t size);
void unmap(const void* view, size_t size);

}  // namespace kvx::os
