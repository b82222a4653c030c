// The Windows serial port: the communications functions on a handle opened for overlapped I/O.
// The driver's time-outs bound each read and write as the DM line wants them; a read waits on
// its own completion and on a wake-up event, so Stop ends a waiting read at once instead of
// after up to 2.1 s. The only unit that opens COM ports.
#include <windows.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "serial/Port.h"
#include "serial/WinError.h"

namespace kvx::serial {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Read: 10 ms without a byte after the first one ends it; at most 1 ms per byte requested
// plus 50 ms. Write: at most 10 ms per byte plus 50 ms.
constexpr DWORD kIntervalMs = 10;
constexpr DWORD kReadPerByteMs = 1;
constexpr DWORD kReadFixedMs = 50;
constexpr DWORD kWritePerByteMs = 10;
constexpr DWORD kWriteFixedMs = 50;
// Beyond the driver's own time-out, how long a call waits before cancelling the I/O itself
// (a driver that ignores the time-outs must not hang the worker).
constexpr DWORD kGraceMs = 1000;
// The DM frame terminator, the driver's event character.
constexpr char kEventChar = 0x7E;
// The device path buffer of 20 bytes holds "\\.\", the name and the terminator.
constexpr size_t kMaxPortName = 15;
constexpr std::string_view kDevicePrefix = "\\\\.\\";

DWORD readBudgetMs(size_t count) {
    return static_cast<DWORD>(count) * kReadPerByteMs + kReadFixedMs;
}

// A failed read or write whose line shows no error: the device is gone (unplugged, driver
// stopped) rather than a byte garbled.
bool deviceGone(DWORD code) {
    switch (code) {
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_INVALID_HANDLE:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_BROKEN_PIPE:
        case ERROR_IO_DEVICE:
        case ERROR_NOT_READY:
            return true;
        default:
            return false;
    }
}

class Event {
  public:
    explicit Event(bool manualReset) : h_(::CreateEventA(nullptr, manualReset, FALSE, nullptr)) {}
    ~Event() {
        if (h_ != nullptr) ::CloseHandle(h_);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE get() const { return h_; }

  private:
    HANDLE h_;
};

class WinPort final : public Port {
  public:
    WinPort(HANDLE h, std::string path) : h_(h), path_(std::move(path)) {}
    ~WinPort() override { ::CloseHandle(h_); }

    bool ready() const {
        return readEvent_.get() != nullptr && writeEvent_.get() != nullptr &&
               wakeEvent_.get() != nullptr;
    }

    size_t read(std::span<uint8_t> buffer) override {
        std::lock_guard lock(readMutex_);
        const DWORD requested = static_cast<DWORD>(std::min<size_t>(buffer.size(), MAXDWORD / 2));
        const auto deadline = Clock::now() + milliseconds(readBudgetMs(requested));
        if (dead_.load()) return waitOut(deadline);

        if (const DWORD flags = pendingErrors_.exchange(0) | clearErrors(); flags != 0) {
            std::printf("Read error %d!\n", static_cast<int>(flags));
            std::fflush(stdout);
            return 0;
        }
        if (requested == 0) return 0;

        OVERLAPPED ov{};
        ov.hEvent = readEvent_.get();
        ::ResetEvent(ov.hEvent);
        if (!::ReadFile(h_, buffer.data(), requested, nullptr, &ov)) {
            const DWORD code = ::GetLastError();
            if (code != ERROR_IO_PENDING) return failed(code, 0, deadline);
        }
        HANDLE waits[2] = {readEvent_.get(), wakeEvent_.get()};
        const DWORD woke =
            ::WaitForMultipleObjects(2, waits, FALSE, readBudgetMs(requested) + kGraceMs);
        // Woken, or the driver overran its own time-out: end the read; whatever came stays.
        if (woke != WAIT_OBJECT_0) ::CancelIoEx(h_, &ov);
        DWORD got = 0;
        if (::GetOverlappedResult(h_, &ov, &got, TRUE)) return got;
        const DWORD code = ::GetLastError();
        // A read that timed out (some drivers report it so) or that was cancelled here.
        if (code == ERROR_TIMEOUT || (code == ERROR_OPERATION_ABORTED && woke != WAIT_OBJECT_0))
            return got;
        return failed(code, got, deadline);
    }

    bool write(std::span<const uint8_t> bytes) override {
        std::lock_guard lock(writeMutex_);
        if (dead_.load()) return false;
        // Drop what an earlier, timed-out write left unsent; the input side stays for the
        // reader. Error flags seen here are kept for the next read to report. A purge of an
        // empty queue would change nothing, so it is left out then.
        DWORD errors = 0;
        COMSTAT stat{};
        if (::ClearCommError(h_, &errors, &stat)) {
            pendingErrors_.fetch_or(errors);
            if (stat.cbOutQue > 0) ::PurgeComm(h_, PURGE_TXABORT | PURGE_TXCLEAR);
        } else {
            ::PurgeComm(h_, PURGE_TXABORT | PURGE_TXCLEAR);
        }
        if (bytes.empty()) return true;
        if (bytes.size() > MAXDWORD / kWritePerByteMs) return writeFailed(ERROR_INVALID_PARAMETER);
        const DWORD count = static_cast<DWORD>(bytes.size());

        OVERLAPPED ov{};
        ov.hEvent = writeEvent_.get();
        ::ResetEvent(ov.hEvent);
        if (!::WriteFile(h_, bytes.data(), count, nullptr, &ov)) {
            const DWORD code = ::GetLastError();
            if (code != ERROR_IO_PENDING) return writeFailed(code);
        }
        const DWORD budget = count * kWritePerByteMs + kWriteFixedMs + kGraceMs;
        if (::WaitForSingleObject(writeEvent_.get(), budget) != WAIT_OBJECT_0)
            ::CancelIoEx(h_, &ov);
        DWORD done = 0;
        if (!::GetOverlappedResult(h_, &ov, &done, TRUE)) return writeFailed(::GetLastError());
        if (done < count) return writeFailed(ERROR_TIMEOUT);
        return true;
    }

    void wake() override { ::SetEvent(wakeEvent_.get()); }

    bool dead() const override { return dead_.load(); }
    const std::string& path() const override { return path_; }

  private:
    // Clears and fetches the line's error state (CE_* flags); 0 when the call fails.
    DWORD clearErrors() {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!::ClearCommError(h_, &errors, &stat)) return 0;
        return errors;
    }

    // A read call failed: a line error is reported and absorbed; any other failure means the
    // device is gone, said once. Bytes already read are still handed out.
    size_t failed(DWORD code, DWORD got, Clock::time_point deadline) {
        if (const DWORD flags = clearErrors(); flags != 0) {
            std::printf("Read error %d!\n", static_cast<int>(flags));
            std::fflush(stdout);
            return got;
        }
        if (deviceGone(code)) {
            if (!dead_.exchange(true)) report(code);
        } else {
            report(code);
        }
        if (got > 0) return got;
        return waitOut(deadline);
    }

    // A read that cannot read waits for its deadline or a wake-up, so callers never spin.
    size_t waitOut(Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left > 0) ::WaitForSingleObject(wakeEvent_.get(), static_cast<DWORD>(left) + 1);
        return 0;
    }

    void report(DWORD code) {
        std::printf("Read error %d!\n", static_cast<int>(code));
        std::fflush(stdout);
    }

    bool writeFailed(DWORD code) {
        if (deviceGone(code)) dead_.store(true);
        std::printf("Could not write data (%d)!\n", static_cast<int>(code));
        std::fflush(stdout);
        return false;
    }

    const HANDLE h_;
    const std::string path_;
    Event readEvent_{true};
    Event writeEvent_{true};
    Event wakeEvent_{false};  // auto-reset: one wake-up ends one read
    std::mutex readMutex_;
    std::mutex writeMutex_;
    std::atomic<bool> dead_{false};
    std::atomic<DWORD> pendingErrors_{0};
};

OpenError classify(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST:
            return OpenError::NotFound;
        // A COM port is opened without sharing: Windows refuses a second opener so.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return OpenError::Busy;
        default:
            return OpenError::Other;
    }
}

// Queue sizes, line settings and time-outs. As the DM line has always done, a port whose
// settings cannot be applied still counts as opened: the first step that fails ends it.
void configure(HANDLE h, size_t queueBytes) {
    const DWORD queue = static_cast<DWORD>(queueBytes);
    if (!::SetupComm(h, queue, queue)) return;

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(h, &dcb)) return;
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fAbortOnError = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.EvtChar = kEventChar;
    if (!::SetCommState(h, &dcb)) return;

    COMMTIMEOUTS t{};
    if (!::GetCommTimeouts(h, &t)) return;
    t.ReadIntervalTimeout = kIntervalMs;
    t.ReadTotalTimeoutMultiplier = kReadPerByteMs;
    t.ReadTotalTimeoutConstant = kReadFixedMs;
    t.WriteTotalTimeoutMultiplier = kWritePerByteMs;
    t.WriteTotalTimeoutConstant = kWriteFixedMs;
    ::SetCommTimeouts(h, &t);
}

bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) return false;
    return true;
}

}  // namespace

std::string portPath(std::string_view name) {
    // Callers format "\\.\COM%s" whatever the port edit holds, so the prefix may come twice.
    while (name.substr(0, kDevicePrefix.size()) == kDevicePrefix)
        name.remove_prefix(kDevicePrefix.size());
    std::string device;
    if (allDigits(name)) {
        const size_t first = name.find_first_not_of('0');
        device = "COM" + std::string(first == std::string_view::npos ? "0" : name.substr(first));
    } else {
        device = std::string(name);
    }
    // "COM" alone, a folder or a drive names no port; a longer name does not fit the path.
    if (device.empty() || device.size() > kMaxPortName ||
        device.find_first_of("\\/:") != std::string::npos)
        return {};
    if (device.size() == 3 && (device == "COM" || device == "com")) return {};
    return std::string(kDevicePrefix) + device;
}

std::string describe(const OpenStatus& status) {
    const std::string& p = status.path;
    const DWORD code = static_cast<DWORD>(status.sysErrno);
    switch (status.error) {
        case OpenError::None:
            return "Opened " + p;
        case OpenError::NotFound:
            if (p.empty()) return "Couldn't locate the device";
            return "No serial port " + p +
                   " (is the modem plugged in? Device Manager lists the COM ports under \"Ports "
                   "(COM & LPT)\")";
        case OpenError::Busy:
            return "Could not open " + p + ": " + systemErrorText(code) +
                   " Another program holds the port open (a terminal program, another copy of "
                   "KvxLog Plus, the maker's tools): close it and try again";
        case OpenError::PermissionDenied:
            return "Could not open " + p + ": " + systemErrorText(code);
        case OpenError::NotATerminal:
            return p + " is not a serial port";
        case OpenError::Other:
            break;
    }
    return "Could not open " + p + ": " + systemErrorText(code);
}

std::unique_ptr<Port> openport(std::string_view name, OpenStatus* status, size_t queueBytes) {
    OpenStatus local;
    OpenStatus& st = status != nullptr ? *status : local;
    st = OpenStatus{};
    st.path = portPath(name);
    auto fail = [&](DWORD code) -> std::unique_ptr<Port> {
        st.error = classify(code);
        st.sysErrno = static_cast<int>(code);
        return nullptr;
    };
    if (st.path.empty()) return fail(ERROR_FILE_NOT_FOUND);

    HANDLE h = ::CreateFileA(st.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail(::GetLastError());
    if (::GetFileType(h) != FILE_TYPE_CHAR) {
        ::CloseHandle(h);
        st.error = OpenError::NotATerminal;
        return nullptr;
    }
    configure(h, queueBytes);
    auto port = std::make_unique<WinPort>(h, st.path);
    if (!port->ready()) {
        const DWORD code = ::GetLastError();
        port.reset();
        return fail(code);
    }
    return port;
}

size_t readport(Port& port, uint8_t* buffer) {
    return port.read(std::span<uint8_t>(buffer, kEngineReadSize));
}

void writeport(Port& port, const uint8_t* bytes, size_t count) {
    port.write(std::span<const uint8_t>(bytes, count));
}

}  // namespace kvx::serial
