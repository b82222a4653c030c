// Windows side of Platform.h: the console control handler (SetConsoleCtrlHandler) for
// Ctrl-C, Ctrl-Break and the console window's close, pipes through their handles.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform.h"
#include "os/Files.h"

namespace kvx::cli {

namespace {

// The handler runs on a thread the system starts for each event, so the registry is
// ordinary code behind a mutex.
struct Registry {
    std::mutex mutex;
    std::condition_variable empty;
    std::vector<std::function<void()>*> listeners;
    bool installed = false;
    bool interrupted = false;
    // RemoveOnInterrupt's file, for an interrupt that no listener takes.
    std::wstring removePath;
    int removeFd = -1;
};

Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

BOOL WINAPI onConsoleEvent(DWORD event) {
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    const bool closing = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT ||
                         event == CTRL_SHUTDOWN_EVENT;
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && !closing) return FALSE;
    if (r.listeners.empty()) {
        if (!r.removePath.empty()) {
            // The file is open: it goes once closed (DeleteFile of an open file fails).
            if (r.removeFd >= 0) _close(r.removeFd);
            r.removeFd = -1;
            DeleteFileW(r.removePath.c_str());
            r.removePath.clear();
        }
        return FALSE;  // the default handler ends the process, as without us
    }
    r.interrupted = true;
    for (auto* listener : r.listeners) (*listener)();
    if (closing) {
        // Returning ends the process: wait (within the system's grace time) for the run to
        // write its closing note and end.
        r.empty.wait_for(lock, std::chrono::seconds(10), [&r] { return r.listeners.empty(); });
    }
    return TRUE;
}

void install(Registry& r) {
    if (r.installed) return;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    r.installed = true;
}


HANDLE stdoutPipe() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || GetFileType(out) != FILE_TYPE_PIPE)
        return nullptr;
    return out;
}

}  // namespace

// Windows has no SIGPIPE: a write to a pipe without reader fails (EPIPE, EINVAL) by itself.
void prepareProcess() {}

bool stdoutReaderGone() {
    const HANDLE out = stdoutPipe();
    if (out == nullptr) return false;
    // Asks the pipe about its state without moving data; a pipe whose other end closed
    // answers ERROR_BROKEN_PIPE (or ERROR_NO_DATA while it is being closed).
    if (PeekNamedPipe(out, nullptr, 0, nullptr, nullptr, nullptr)) return false;
    const DWORD error = GetLastError();
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
}

bool waitUnlessStdoutGone(long ms) {
    Sleep(static_cast<DWORD>(ms));
    return stdoutReaderGone();
}

int terminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

std::string executablePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return os::nameOf(path);
        }
        path.resize(path.size() * 2);
    }
}

InterruptListener::InterruptListener(std::function<void()> onInterrupt)
    : onInterrupt_(std::move(onInterrupt)) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    install(r);
    r.listeners.push_back(&onInterrupt_);
}

InterruptListener::~InterruptListener() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase(r.listeners, &onInterrupt_);
    if (r.listeners.empty()) r.empty.notify_all();
}

bool InterruptListener::interrupted() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.interrupted;
}

InterruptsHeld::InterruptsHeld() {}
InterruptsHeld::~InterruptsHeld() {}

RemoveOnInterrupt::RemoveOnInterrupt(const std::string& path, int fd) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    install(r);
    r.removePath = os::pathOf(path).wstring();
    r.removeFd = fd;
}

RemoveOnInterrupt::~RemoveOnInterrupt() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.removePath.clear();
    r.removeFd = -1;
}

int createTempBeside(const std::string& target, std::string& temp) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = target + "." + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(counter.fetch_add(1)) + ".tmp";
        const int fd = _wopen(os::pathOf(name).c_str(),
                              _O_WRONLY | _O_CREAT | _O_EXCL | os::kOpenFlags, _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            temp = std::move(name);
            return fd;
        }
        if (errno != EEXIST) break;
    }
    temp.clear();
    return -1;
}

// Windows has no memory stream: a temporary file that is deleted when closed ("D") and kept
// in the cache while it is small ("T").
TextBuffer::TextBuffer() {
    wchar_t folder[MAX_PATH + 1] = {};
    wchar_t name[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH + 1, folder) != 0 && GetTempFileNameW(folder, L"kvx", 0, name) != 0)
        stream_ = _wfopen(name, L"w+bTD");
}

TextBuffer::~TextBuffer() {
    if (stream_) std::fclose(stream_);
}

std::string TextBuffer::take() {
    std::string text;
    if (!stream_) return text;
    std::fflush(stream_);
    std::rewind(stream_);
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, stream_)) > 0) text.append(chunk, n);
    std::fclose(stream_);
    stream_ = nullptr;
    return text;
}

}  // namespace kvx::cli
