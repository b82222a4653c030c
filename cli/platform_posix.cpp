// POSIX side of Platform.h.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform.h"

namespace kvx::cli {

namespace {

bool stdoutPollsClosed(int ms) {
    pollfd p{STDOUT_FILENO, 0, 0};
    return ::poll(&p, 1, ms) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// SIGINT and SIGTERM are taken by a thread of their own (sigwait) and handed to every listener
// (several runs go on at once in `kvxlog convert --jobs`). The mask is set before any other
// thread of the run exists so that every thread inherits it.
struct Registry {
    std::mutex mutex;
    std::vector<std::function<void()>*> listeners;
    bool started = false;
    bool interrupted = false;  // a signal came, while a listener lived or between two
};

// Never destroyed: the taker thread may still use it while the process exits.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

// The temporary file of RemoveOnInterrupt, for the handler of a fatal signal.
char gRemovePath[4096];
volatile sig_atomic_t gRemoveSet = 0;
constexpr int kRemoveSignals[] = {SIGINT, SIGTERM, SIGHUP};

void removeAndEnd(int sig) {
    if (gRemoveSet) ::unlink(gRemovePath);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

struct SavedActions {
    struct sigaction actions[std::size(kRemoveSignals)] {};
};

}  // namespace

void prepareProcess() { std::signal(SIGPIPE, SIG_IGN); }

bool stdoutReaderGone() { return stdoutPollsClosed(0); }

bool waitUnlessStdoutGone(long ms) { return stdoutPollsClosed(static_cast<int>(ms)); }

int terminalColumns() {
    if (!::isatty(STDOUT_FILENO)) return 0;
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0) return 0;
    return ws.ws_col;
}

std::string executablePath() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.string();
}

InterruptListener::InterruptListener(std::function<void()> onInterrupt)
    : onInterrupt_(std::move(onInterrupt)) {
    auto old = std::make_shared<sigset_t>();
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, old.get());
    saved_ = old;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.listeners.push_back(&onInterrupt_);
    if (!r.started) {
        // One taker for the life of the process: it waits in sigwait, costs nothing between
        // runs, and never needs waking at the end of one.
        r.started = true;
        std::thread([&r] {
            const sigset_t waitSet = stopSignals();
            for (;;) {
                int sig = 0;
                if (sigwait(&waitSet, &sig) != 0) continue;
                std::lock_guard inner(r.mutex);
                r.interrupted = true;
                for (auto* listener : r.listeners) (*listener)();
            }
        }).detach();
    }
}

InterruptListener::~InterruptListener() {
    Registry& r = registry();
    {
        std::lock_guard lock(r.mutex);
        std::erase(r.listeners, &onInterrupt_);
    }
    pthread_sigmask(SIG_SETMASK, static_cast<const sigset_t*>(saved_.get()), nullptr);
}

bool InterruptListener::interrupted() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.interrupted;
}

InterruptsHeld::InterruptsHeld() {
    auto old = std::make_shared<sigset_t>();
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, old.get());
    saved_ = old;
}

InterruptsHeld::~InterruptsHeld() {
    pthread_sigmask(SIG_SETMASK, static_cast<const sigset_t*>(saved_.get()), nullptr);
}

RemoveOnInterrupt::RemoveOnInterrupt(const std::string& path, int) {
    if (path.size() >= sizeof gRemovePath) return;
    std::memcpy(gRemovePath, path.c_str(), path.size() + 1);
    gRemoveSet = 1;
    auto saved = std::make_shared<SavedActions>();
    struct sigaction sa {};
    sa.sa_handler = removeAndEnd;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < std::size(kRemoveSignals); ++i)
        ::sigaction(kRemoveSignals[i], &sa, &saved->actions[i]);
    saved_ = saved;
}

RemoveOnInterrupt::~RemoveOnInterrupt() {
    gRemoveSet = 0;
    if (!saved_) return;
    const auto* saved = static_cast<const SavedActions*>(saved_.get());
    for (size_t i = 0; i < std::size(kRemoveSignals); ++i)
        ::sigaction(kRemoveSignals[i], &saved->actions[i], nullptr);
}

int createTempBeside(const std::string& target, std::string& temp) {
    temp = target + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        temp.clear();
        return -1;
    }
    // mkstemp makes the file private; the result is an ordinary file of the user's.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0) {
        // It stays private: still the user's own file.
    }
    return fd;
}

TextBuffer::TextBuffer() : stream_(open_memstream(&text_, &size_)) {}

TextBuffer::~TextBuffer() {
    if (stream_) std::fclose(stream_);
    std::free(text_);
}

std::string TextBuffer::take() {
    if (stream_) std::fclose(stream_);
    stream_ = nullptr;
    std::string text = text_ ? std::string(text_, size_) : std::string();
    std::free(text_);
    text_ = nullptr;
    size_ = 0;
    return text;
}

}  // namespace kvx::cli
