// What the command line needs of the operating system beyond the core's os/ module: the
// process's console and its interrupts. One file per system: platform_posix.cpp (signals,
// poll, /proc) and platform_win.cpp (console control handler, pipes, module file name).
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace kvx::cli {

// Once at start: a write to a closed pipe fails with EPIPE instead of ending the process.
void prepareProcess();

// Whether stdout is a pipe whose reader has gone.
bool stdoutReaderGone();

// Waits `ms` milliseconds, or less when stdout's reader goes away meanwhile; true then.
bool waitUnlessStdoutGone(long ms);

// Columns of the terminal stdout writes to; 0 when it is not one.
int terminalColumns();

// The running program's own file, absolute; empty when the system does not say.
std::string executablePath();

// Ctrl-C and the other requests to end the program: SIGINT and SIGTERM on POSIX; Ctrl-C,
// Ctrl-Break and the closing of the console window on Windows. While at least one listener
// lives, each such request calls every listener, on a thread of its own, and the program goes
// on (the listeners lead it to its end); on POSIX the constructing thread and the threads it
// starts then hold the two signals blocked. A console window being closed gives the program
// the time Windows allows (about 5 s) until the last listener is gone.
class InterruptListener {
  public:
    explicit InterruptListener(std::function<void()> onInterrupt);
    ~InterruptListener();
    InterruptListener(const InterruptListener&) = delete;
    InterruptListener& operator=(const InterruptListener&) = delete;

    // True once an interrupt came while a listener lived, or between two of them.
    static bool interrupted();

  private:
    std::function<void()> onInterrupt_;
    std::shared_ptr<void> saved_;
};

// Interrupts reach listeners only, never the threads started while this lives (POSIX: the
// calling thread blocks SIGINT and SIGTERM, and its new threads inherit that; Windows: the
// console's events never interrupt a thread, so nothing to do).
class InterruptsHeld {
  public:
    InterruptsHeld();
    ~InterruptsHeld();
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;

  private:
    std::shared_ptr<void> saved_;
};

// While it lives, an interrupt that ends the program (no listener) first removes the file at
// `path`, open on `fd`; the program then ends as it would have. One at a time.
class RemoveOnInterrupt {
  public:
    RemoveOnInterrupt(const std::string& path, int fd);
    ~RemoveOnInterrupt();
    RemoveOnInterrupt(const RemoveOnInterrupt&) = delete;
    RemoveOnInterrupt& operator=(const RemoveOnInterrupt&) = delete;

  private:
    std::shared_ptr<void> saved_;
};

// A new file beside `target` (its name plus a unique ending), created exclusively with the
// permissions an ordinary new file gets; its name in `temp`. -1 and errno on failure.
int createTempBeside(const std::string& target, std::string& temp);

// A stream whose text is kept in memory (or a file of its own that goes when closed) and
// taken as a string once writing is done.
class TextBuffer {
  public:
    TextBuffer();
    ~TextBuffer();
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;

    std::FILE* stream() const { return stream_; }
    // Everything written; closes the stream.
    std::string take();

  private:
    std::FILE* stream_ = nullptr;
    char* text_ = nullptr;
    size_t size_ = 0;
};

}  // namespace kvx::cli
