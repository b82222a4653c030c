// `kvxlog capture` left alone: a ring of files (--size 1 --ring 3) that keeps exactly the
// newest three whole files with an unbroken packet sequence and never touches a file it did not
// write; a small file system (tmpfs) that --min-free ends cleanly; and the service manager's
// messages under a test NOTIFY_SOCKET: READY=1 after the filter, STATUS=, WATCHDOG=1 while
// packets flow and none once the worker hangs. Skipped when kvxlog has not been built.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <mutex>
#include <thread>

#include "app/CaptureFixture.h"
#include "app/ChildProcess.h"
#include "modemsim/SimModem.h"

namespace kvx::app {
namespace {

namespace fs = std::filesystem;
using kvx::testing::Child;
using kvx::testing::kvxlogPath;
using kvx::testing::readLog;
using kvx::testing::readText;
using kvx::testing::sequences;
using kvx::testing::TempDir;
using kvx::testing::waitUntil;
using namespace std::chrono_literals;

// Seconds of the ring capture: KVX_RING_SECONDS (30 for the acceptance run), else 12.
int ringSeconds() {
    const char* text = std::getenv("KVX_RING_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 12;
}

class Unattended : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(kvxlogPath())) GTEST_SKIP() << "kvxlog not built";
        env_ = {"KVXLOGPLUS_SETTINGS=" + (dir_.path() / "none.ini").string(),
                "KVXLOG_SYSFS_ROOT=" + (dir_.path() / "sys").string()};
    }
    modemsim::SimModem::Config modem(uint32_t rate) {
        modemsim::SimModem::Config cfg;
        cfg.linkPath = (dir_.path() / "dm0").string();
        cfg.packetsPerSecond = rate;
        return cfg;
    }
    std::vector<std::string> errorRows(int code) {
        std::vector<std::string> rows;
        const std::string mark = "-- Error " + std::to_string(code) + " occured";
        for (const auto& line : kvx::testing::errorLogLines(dir_.path()))
            if (line.find(mark) != std::string::npos) rows.push_back(line);
        return rows;
    }
    TempDir dir_;
    std::vector<std::string> env_;
};

TEST_F(Unattended, RingKeepsTheNewestThreeWholeFilesWithAnUnbrokenSequence) {
    // About 1 MB/s: 2600 counter packets of some 390 bytes each a second.
    auto cfg = modem(2600);
    modemsim::SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    const fs::path out = dir_.path() / "out";
    fs::create_directories(out);
    // Named as the capture names its files, older, but not one of its own.
    const fs::path stranger = out / "cap-2000-01-01_00-00-00.kvx";
    std::ofstream(stranger) << "not this capture's";
    const std::string seconds = std::to_string(ringSeconds());
    Child child({"capture", "--port", cfg.linkPath, "--log", "0x1234", "--size", "1", "--ring",
                 "3", "--duration", seconds, "-o", (out / "cap-").string()},
                dir_.path(), env_);
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.wait(std::chrono::seconds(ringSeconds() + 60)), 0) << child.err();

    std::vector<fs::path> kept;
    for (const auto& f : kvx::testing::logFiles(out))
        if (f != stranger) kept.push_back(f);
    ASSERT_EQ(kept.size(), 3u) << child.err();
    EXPECT_EQ(readText(stranger), "not this capture's");

    // Every name the capture printed beyond the three kept ones is gone, each with its row.
    std::vector<std::string> opened;
    std::istringstream names(child.out());
    for (std::string line; std::getline(names, line);) opened.push_back(line);
    ASSERT_GE(opened.size(), 4u) << "the ring never turned";
    const size_t removed = opened.size() - 3;
    for (size_t i = 0; i < removed; ++i) EXPECT_FALSE(fs::exists(opened[i])) << opened[i];
    EXPECT_EQ(errorRows(err::kRemovedRing).size(), removed);
    EXPECT_NE(child.err().find(std::to_string(removed) + " file(s) removed by retention"),
              std::string::npos);

    uint32_t next = 0;
    for (size_t i = 0; i < kept.size(); ++i) {
        SCOPED_TRACE(kept[i].string());
        EXPECT_EQ(kept[i].string(), opened[removed + i]);
        const auto log = readLog(kept[i]);
        ASSERT_TRUE(log.readable);
        ASSERT_GE(log.records.size(), 3u);
        EXPECT_EQ(log.records.front().text().rfind("KvxLog Plus - Version ", 0), 0u);
        const std::string last = log.records.back().text();
        if (i + 1 < kept.size())
            EXPECT_EQ(last.rfind("Log capacity reached: Filesize = ", 0), 0u) << last;
        else
            EXPECT_EQ(last, kStoppedNote);
        const auto seq = sequences(log, 0x1234);
        ASSERT_FALSE(seq.empty());
        if (i > 0) {
            EXPECT_EQ(seq.front(), next) << "lost between files";
        }
        for (size_t k = 1; k < seq.size(); ++k) ASSERT_EQ(seq[k], seq[k - 1] + 1) << k;
        next = seq.back() + 1;
    }
}

// A tmpfs of 64 MB, mounted for the test and unmounted after it.
class SmallDisk {
  public:
    explicit SmallDisk(const fs::path& at) : at_(at) {
        fs::create_directories(at_);
        mounted_ = ::mount("tmpfs", at_.c_str(), "tmpfs", 0, "size=64m") == 0;
        error_ = mounted_ ? 0 : errno;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    int error() const { return error_; }

  private:
    fs::path at_;
    bool mounted_ = false;
    int error_ = 0;
};

TEST_F(Unattended, MinFreeEndsACaptureCleanlyBeforeASmallDiskFills) {
    const fs::path disk = dir_.path() / "disk";
    SmallDisk tmpfs(disk);
    if (!tmpfs.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(tmpfs.error())
                     << "): needs root and a mount namespace that allows it";
    auto cfg = modem(20000);  // some 8 MB/s: the disk is full in seconds
    modemsim::SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    // The budget is larger than the disk: only the free-space floor can act.
    Child child({"capture", "--port", cfg.linkPath, "--log", "0x1234", "--max-total", "1G",
                 "--duration", "120", "-o", (disk / "cap-").string()},
                dir_.path(), env_);
    ASSERT_TRUE(child.started());
    const int status = child.wait(150s);
    EXPECT_EQ(status, 10) << child.err();
    const std::string err = child.err();
    EXPECT_NE(err.find("Free space on " + disk.string() + " (tmpfs) is "), std::string::npos)
        << err;
    EXPECT_EQ(err.find("Could not write"), std::string::npos) << err;
    EXPECT_NE(err.find("ended: free space ran low; exit status 10"), std::string::npos);
    ASSERT_EQ(errorRows(err::kLowSpace).size(), 1u);
    EXPECT_TRUE(errorRows(err::kLogWrite).empty());

    const auto files = kvx::testing::logFiles(disk);
    ASSERT_GE(files.size(), 3u) << "the disk holds three 20 MB files before it runs low";
    for (const auto& f : files) {
        SCOPED_TRACE(f.string());
        const auto log = readLog(f);
        ASSERT_TRUE(log.readable);
        ASSERT_FALSE(log.records.empty());
        const std::string last = log.records.back().text();
        if (f == files.back())
            EXPECT_EQ(last.rfind(std::string(kLowSpaceNote) + " on " + disk.string(), 0), 0u)
                << last;
        else
            EXPECT_EQ(last.rfind("Log capacity reached: ", 0), 0u) << last;
        const auto seq = sequences(log, 0x1234);
        for (size_t k = 1; k < seq.size(); ++k) ASSERT_EQ(seq[k], seq[k - 1] + 1) << k;
    }
    // kvxlog dump reads the last file as complete.
    const fs::path dumpDir = dir_.path() / "dump";
    fs::create_directories(dumpDir);
    Child dump({"dump", "--quiet", files.back().string()}, dumpDir, env_);
    EXPECT_EQ(dump.wait(60s), 0) << dump.err();
}

TEST_F(Unattended, UnderTheJournalEveryLineCarriesItsSeverityAndNoProgressLineIsWritten) {
    auto cfg = modem(300);
    modemsim::SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    // The child's stderr file exists first, so its device and inode can be named.
    std::ofstream(dir_.path() / "stderr.txt").close();
    struct stat st {};
    ASSERT_EQ(::stat((dir_.path() / "stderr.txt").c_str(), &st), 0);
    auto env = env_;
    env.push_back("JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
    Child child({"capture", "--port", cfg.linkPath, "--log", "0x1234", "--duration", "5", "-o",
                 (dir_.path() / "cap-").string()},
                dir_.path(), env);
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.wait(60s), 0) << child.err();
    std::istringstream err(child.err());
    int lines = 0;
    for (std::string line; std::getline(err, line); ++lines) {
        EXPECT_TRUE(line.rfind("<3>", 0) == 0 || line.rfind("<4>", 0) == 0 ||
                    line.rfind("<6>", 0) == 0)
            << line;
        EXPECT_EQ(line.find(" Bytes: "), std::string::npos) << line;
    }
    EXPECT_GE(lines, 5);
    EXPECT_NE(child.err().find("<4>kvxlog: no settings file"), std::string::npos);
    EXPECT_NE(child.err().find("<6>--- capture summary"), std::string::npos);
}

// Datagrams of a test NOTIFY_SOCKET with the time each arrived.
class NotifyListener {
  public:
    explicit NotifyListener(const fs::path& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        std::snprintf(at.sun_path, sizeof at.sun_path, "%s", path.c_str());
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
        timeval wait{0, 100000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        reader_ = std::thread([this] {
            char buffer[4096];
            while (!stop_.load()) {
                const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
                if (n <= 0) continue;
                std::lock_guard lock(mutex_);
                got_.push_back({std::chrono::steady_clock::now(), std::string(buffer, n)});
            }
        });
    }
    ~NotifyListener() {
        stop_.store(true);
        reader_.join();
        ::close(fd_);
    }
    bool bound() const { return bound_; }
    struct Message {
        std::chrono::steady_clock::time_point at;
        std::string text;
    };
    std::vector<Message> messages() {
        std::lock_guard lock(mutex_);
        return got_;
    }
    // Arrival times of the messages holding `line`.
    std::vector<std::chrono::steady_clock::time_point> times(const std::string& line) {
        std::vector<std::chrono::steady_clock::time_point> out;
        for (const auto& m : messages())
            if (("\n" + m.text + "\n").find("\n" + line + "\n") != std::string::npos)
                out.push_back(m.at);
        return out;
    }

  private:
    fs::path path_;
    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Message> got_;
    std::thread reader_;
};

// The thread of `pid` that reads the most: the logging worker on its port.
pid_t busiestReader(pid_t pid) {
    pid_t best = -1;
    long long most = -1;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        const pid_t tid = std::atoi(task.path().filename().c_str());
        if (tid == pid) continue;
        std::ifstream io(task.path() / "io");
        std::string key;
        long long value = 0;
        while (io >> key >> value) {
            if (key == "syscr:" && value > most) {
                most = value;
                best = tid;
            }
        }
    }
    return best;
}

TEST_F(Unattended, ServiceManagerHearsReadyStatusAndAWatchdogThatStopsWhenTheWorkerHangs) {
    NotifyListener listener(dir_.path() / "notify.sock");
    ASSERT_TRUE(listener.bound());
    auto cfg = modem(300);
    modemsim::SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    auto env = env_;
    env.push_back("NOTIFY_SOCKET=" + (dir_.path() / "notify.sock").string());
    env.push_back("WATCHDOG_USEC=20000000");
    Child child({"capture", "--port", cfg.linkPath, "--log", "0x1234", "--watchdog", "4", "-o",
                 (dir_.path() / "cap-").string()},
                dir_.path(), env);
    ASSERT_TRUE(child.started());

    ASSERT_TRUE(waitUntil([&] { return !listener.times("READY=1").empty(); }, 20000))
        << child.err();
    // The filter went out before READY=1: the modem has had its logging start.
    bool filterSent = false;
    for (const auto& r : sim.requests())
        if (kvx::testing::hasRequest(r.payload, {0x4B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05}))
            filterSent = true;
    EXPECT_TRUE(filterSent);

    // Packets flow: WATCHDOG=1 at least every 2 s (with a little slack for a busy machine),
    // STATUS= names the file and its counts.
    std::this_thread::sleep_for(7s);
    const auto ready = listener.times("READY=1").front();
    auto beats = listener.times("WATCHDOG=1");
    ASSERT_GE(beats.size(), 3u);
    auto previous = ready;
    for (const auto& b : beats) {
        EXPECT_LE(b - previous, 2600ms);
        previous = b;
    }
    bool status = false;
    for (const auto& m : listener.messages())
        if (m.text.find("STATUS=" + dir_.path().string() + "/cap-") != std::string::npos &&
            m.text.find(" packets, ") != std::string::npos && m.text.find(" bytes") != std::string::npos)
            status = true;
    EXPECT_TRUE(status);

    // The worker hangs (stopped by the test as a debugger stops one thread).
    const pid_t worker = busiestReader(child.pid());
    ASSERT_GT(worker, 0);
    if (::ptrace(PTRACE_SEIZE, worker, nullptr, nullptr) != 0)
        GTEST_SKIP() << "cannot stop a thread here (ptrace: " << std::strerror(errno) << ")";
    ASSERT_EQ(::ptrace(PTRACE_INTERRUPT, worker, nullptr, nullptr), 0);
    int wstatus = 0;
    ASSERT_EQ(::waitpid(worker, &wstatus, __WALL), worker);
    const auto hung = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(16s);
    const auto hungUntil = std::chrono::steady_clock::now();
    ::ptrace(PTRACE_DETACH, worker, nullptr, nullptr);

    // Some beat while the capture's own watchdog has time to act, then none for over 6 s.
    beats = listener.times("WATCHDOG=1");
    auto last = hung;
    for (const auto& b : beats)
        if (b > hung && b < hungUntil) last = b;
    EXPECT_LE(last - hung, 10s) << "the watchdog was fed long after the worker hung";
    EXPECT_GT(hungUntil - last, 6s);
    auto ms = [](auto d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    };
    std::chrono::steady_clock::duration widest{};
    previous = ready;
    for (const auto& b : beats) {
        if (b > hung) break;
        widest = std::max(widest, b - previous);
        previous = b;
    }
    std::printf("notify: widest WATCHDOG=1 gap while packets flowed %lld ms; last beat %lld ms "
                "after the hang; then none for %lld ms\n",
                static_cast<long long>(ms(widest)), static_cast<long long>(ms(last - hung)),
                static_cast<long long>(ms(hungUntil - last)));

    child.signal(SIGTERM);
    EXPECT_GE(child.wait(30s), 0);
}

}  // namespace
}  // namespace kvx::app
