// Windows side of os/Files.h, os/Time.h and os/Thread.h. Errors become errno values, as the
// C library of Windows reports its own, so that every caller keeps one error type.
#include <windows.h>
#include <io.h>
#include <pthread.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "os/Files.h"
#include "os/Thread.h"
#include "os/Time.h"

namespace kvx::os {

namespace {

int errnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        default:
            return EIO;
    }
}

std::wstring wide(const std::string& name) {
    if (name.empty()) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), out.data(), n);
    return out;
}

}  // namespace

std::filesystem::path pathOf(const std::string& name) { return wide(name); }

std::string nameOf(const std::filesystem::path& path) {
    const std::wstring& w = path.native();
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
    return out;
}

int openError(const std::string& path) {
    const int error = errno;
    if (error != EACCES) return error;
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
               ? EISDIR
               : error;
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

size_t folderEnd(const std::string& path) {
    const size_t slash = path.find_last_of("/\\:");
    return slash == std::string::npos ? 0 : slash + 1;
}

bool syncFile(int fd) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return false;
    }
    if (FlushFileBuffers(handle)) return true;
    errno = errnoOf(GetLastError());
    return false;
}

// MoveFileEx with MOVEFILE_WRITE_THROUGH has made the new name durable already.
void syncFolder(const std::string&) {}

std::string resolveLinks(const std::string& path) {
    std::error_code ec;
    const auto target = pathOf(path);
    if (!std::filesystem::is_symlink(target, ec)) return path;
    const auto real = std::filesystem::canonical(target, ec);
    return ec ? path : nameOf(real);
}

// A replacement made in the same folder inherits that folder's access rights, as the
// original did; Windows has no owner to copy for an ordinary user.
bool copyOwnerAndMode(int, const std::string&) { return true; }

bool replaceFile(const std::string& from, const std::string& to) {
    if (MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    errno = errnoOf(GetLastError());
    return false;
}

bool truncateFile(int fd, uint64_t size) {
    const int rc = _chsize_s(fd, static_cast<long long>(size));
    if (rc == 0) return true;
    errno = rc;
    return false;
}

int folderWritable(const std::string& folder) {
    const DWORD attributes = GetFileAttributesW(wide(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return errnoOf(GetLastError());
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ENOTDIR;
    // The read-only attribute of a folder does not stop new files in it, so only creating one
    // can tell; the name is this process's and gone at once.
    const std::wstring probe = wide(folder) + L"\\.kvxlog-" + std::to_wstring(GetCurrentProcessId()) +
                               L".probe";
    const HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_EXISTS ? 0 : errnoOf(error);
    }
    CloseHandle(h);
    return 0;
}

const void* mapReadOnly(int fd, size_t size) {
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK) return nullptr;
    const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) return nullptr;
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
    // The view keeps the mapping alive.
    CloseHandle(mapping);
    return view;
}

void unmap(const void* view, size_t) {
    if (view != nullptr) UnmapViewOfFile(view);
}

bool localTime(std::time_t when, std::tm& out) { return localtime_s(&out, &when) == 0; }

bool utcTime(std::time_t when, std::tm& out) { return gmtime_s(&out, &when) == 0; }

std::time_t fromUtc(std::tm& t) { return _mkgmtime(&t); }

void setThreadName(std::thread& thread, const char* name) {
    // SetThreadDescription exists from Windows 10 1607 on: looked up, not linked.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto set = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (set == nullptr) return;
    const std::wstring text(name, name + std::char_traits<char>::length(name));
    set(reinterpret_cast<HANDLE>(pthread_gethandle(thread.native_handle())), text.c_str());
}

int usableCpus() {
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
    int n = 0;
    for (; process != 0; process &= process - 1) ++n;
    return n;
}

}  // namespace kvx::os
