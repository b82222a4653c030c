// Files ending by size and by time, the watchdog's restart and a modem that drops off and
// comes back: timers fired by hand, the clock moved by the test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "app/CaptureFixture.h"
#include "modemsim/FakeSysfs.h"

namespace kvx::app {
namespace {

namespace ctl = capture::ctl;
namespace timer = capture::timer;
using kvx::testing::CaptureFixture;
using kvx::testing::errorLogLines;
using kvx::testing::hasRequest;
using kvx::testing::kStreamLogCode;
using kvx::testing::LogContents;
using kvx::testing::logFiles;
using kvx::testing::readLog;
using kvx::testing::sequences;
using kvx::testing::waitUntil;

constexpr const char* kVersionNote = "KvxLog Plus - Version 1.0.0.1";

// Packets of the fake modem: 23 bytes each on the wire (no byte of them needs escaping).
constexpr uint32_t kPacketsPastOneMb = 1000000 / 23 + 500;

struct ErrorEntry {
    int code;
    long first, second, third;
};

std::vector<ErrorEntry> errorEntries(const std::filesystem::path& dir) {
    std::vector<ErrorEntry> out;
    const std::regex line(R"(^Time: \d{4}/\d\d/\d\d \d\d:\d\d:\d\d -- Error (\d+) occured, )"
                          R"(parameters: .*, (-?\d+), (-?\d+), (-?\d+)\.$)");
    for (const auto& text : errorLogLines(dir)) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(text, m, line)) << text;
        if (m.size() == 5) {
            out.push_back({std::stoi(m[1]), std::stol(m[2]), std::stol(m[3]), std::stol(m[4])});
        }
    }
    return out;
}

// Every file holds the version note first; each but the last ends with the capacity note,
// whose byte count is the one of the matching error-log entry.
void expectRotatedFiles(const std::vector<std::filesystem::path>& files,
                        const std::vector<ErrorEntry>& entries, int code, long limit) {
    ASSERT_EQ(files.size(), entries.size() + 1);
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].filename().string());
        if (i > 0) {
            EXPECT_LT(files[i - 1].filename(), files[i].filename());
        }
        const LogContents log = readLog(files[i]);
        ASSERT_TRUE(log.readable);
        ASSERT_GE(log.records.size(), 2u);
        EXPECT_EQ(log.records.front().text(), kVersionNote);
        if (i + 1 < files.size()) {
            EXPECT_EQ(entries[i].code, code);
            EXPECT_EQ(entries[i].second, limit);
            EXPECT_EQ(entries[i].third, 0);
            if (code == err::kSize) {
                EXPECT_GT(entries[i].first, limit);
                EXPECT_EQ(log.records.back().text(),
                          "Log capacity reached: Filesize = " + std::to_string(entries[i].first) +
                              " Bytes");
            } else {
                EXPECT_GT(entries[i].first, limit);
                EXPECT_EQ(log.records.back().text().rfind("Log capacity reached: Filesize = ", 0),
                          0u);
            }
        } else {
            EXPECT_EQ(log.records.back().text(), "Log manually stopped from UI");
        }
    }
}

// The streamed sequence numbers over all files: 1..n, in order, none twice.
void expectAllPacketsInOrder(const std::vector<std::filesystem::path>& files, uint32_t sent) {
    std::vector<uint32_t> all;
    for (const auto& f : files) {
        auto s = sequences(readLog(f), kStreamLogCode);
        all.insert(all.end(), s.begin(), s.end());
    }
    ASSERT_EQ(all.size(), sent);
    for (uint32_t i = 0; i < sent; ++i) {
        if (all[i] != i + 1) {
            ADD_FAILURE() << "record " << i << " carries sequence " << all[i];
            return;
        }
    }
}

using Rotation = CaptureFixture;

TEST_F(Rotation, ThreeSizeRotationsGiveFourFiles) {
    window_.setText(ctl::kLimit, "1");
    startLogging();
    for (int rotation = 0; rotation < 3; ++rotation) {
        const std::string file = dialog_->currentLogFile();
        line_->stream(kPacketsPastOneMb);
        drain();
        ASSERT_TRUE(window_.fire(timer::kStatus));
        waitNextFile(file);
    }
    line_->stream(100);
    drain();
    ASSERT_TRUE(window_.fire(timer::kStatus));  // below the limit: the file goes on
    dialog_->OnStop();

    const auto files = logFiles(dir_.path());
    const auto entries = errorEntries(dir_.path());
    expectRotatedFiles(files, entries, err::kSize, 1000000);
    expectAllPacketsInOrder(files, line_->sequenceSent());
}

TEST_F(Rotation, TimeLimitEndsAFileAfterItsMinutes) {
    window_.setChecked(ctl::kUnitMb, false);
    window_.setChecked(ctl::kUnitMinutes, true);
    window_.setText(ctl::kLimit, "1");
    startLogging();
    for (int rotation = 0; rotation < 3; ++rotation) {
        const std::string file = dialog_->currentLogFile();
        // A different count per file: the watchdog compares counts across files.
        line_->stream(200 + 10 * static_cast<uint32_t>(rotation));
        drain();
        clockOffset_.store(59);  // 59 or 60 seconds: not more than the limit yet
        ASSERT_TRUE(window_.fire(timer::kStatus));
        EXPECT_EQ(dialog_->currentLogFile(), file);
        clockOffset_.store(61);
        ASSERT_TRUE(window_.fire(timer::kStatus));
        waitNextFile(file);
        clockOffset_.store(0);
    }
    dialog_->OnStop();

    const auto files = logFiles(dir_.path());
    const auto entries = errorEntries(dir_.path());
    expectRotatedFiles(files, entries, err::kTime, 60);
    for (const auto& e : entries) EXPECT_LE(e.first, 63);
    expectAllPacketsInOrder(files, line_->sequenceSent());
}

TEST_F(Rotation, WithoutMultipleFilesNothingEnds) {
    window_.setChecked(ctl::kMultipleFiles, false);
    window_.setChecked(ctl::kUnitMb, false);
    window_.setChecked(ctl::kUnitMinutes, true);
    window_.setText(ctl::kLimit, "1");
    startLogging();
    for (int tick = 0; tick < 4; ++tick) {
        line_->stream(kPacketsPastOneMb / 2);
        drain();
        clockOffset_.store(3600L * (tick + 1));
        ASSERT_TRUE(window_.fire(timer::kStatus));
    }
    dialog_->OnStop();
    EXPECT_EQ(logFiles(dir_.path()).size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(dir_.path() / kErrorLogName));
}

using Watchdog = CaptureFixture;

TEST_F(Watchdog, SilentModemRestartsLoggingAtTheFifthUnchangedTick) {
    startLogging();
    const std::string first = dialog_->currentLogFile();
    line_->stream(40);
    drain();
    const uint32_t packets = engine_.getstats().packets;
    for (int tick = 1; tick <= 5; ++tick) {
        ASSERT_TRUE(window_.fire(timer::kStatus));
        EXPECT_FALSE(std::filesystem::exists(dir_.path() / kErrorLogName)) << "tick " << tick;
    }
    ASSERT_TRUE(window_.fire(timer::kStatus));  // the fifth tick without a new packet

    const auto entries = errorEntries(dir_.path());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].code, err::kWatchdog);
    EXPECT_EQ(entries[0].first, 10);
    EXPECT_EQ(entries[0].second, static_cast<long>(packets));
    EXPECT_EQ(entries[0].third, static_cast<long>(packets));
    ASSERT_EQ(sleeps_.size(), 1u);
    EXPECT_EQ(sleeps_[0], std::chrono::milliseconds(1000));

    // A new worker connected again, sent the filter again and fills a new file.
    EXPECT_EQ(dialog_->state(), UiState::Logging);
    EXPECT_EQ(line_->opens.load(), 2);
    waitNextFile(first);
    EXPECT_EQ(filtersSent_.load(), 2);
    int startRequests = 0;
    for (const auto& r : line_->requests()) {
        if (r == std::vector<uint8_t>{0x4B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0xFF}) {
            ++startRequests;
        }
    }
    EXPECT_EQ(startRequests, 2);
    line_->stream(30);
    drain();
    dialog_->OnStop();

    const auto files = logFiles(dir_.path());
    ASSERT_EQ(files.size(), 2u);
    const auto one = readLog(files[0]);
    ASSERT_FALSE(one.records.empty());
    EXPECT_EQ(one.records.back().text(), "Log manually stopped from UI");
    EXPECT_EQ(sequences(one, kStreamLogCode).size(), 40u);
    EXPECT_EQ(sequences(readLog(files[1]), kStreamLogCode).size(), 30u);
}

TEST_F(Watchdog, PeriodFromTheCommandLine) {
    struct Case {
        const char* line;
        int firesAtTick;  // 0: never within 40 ticks
    };
    const Case cases[] = {{"-DOG 30", 16}, {"-DOG 0", 0}, {"-DOG", 0}, {"-DOG 4", 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        makeDialog(c.line);
        std::filesystem::remove(dir_.path() / kErrorLogName);
        startLogging();
        line_->stream(3);
        drain();
        int firedAt = 0;
        for (int tick = 1; tick <= 40 && firedAt == 0; ++tick) {
            ASSERT_TRUE(window_.fire(timer::kStatus));
            if (std::filesystem::exists(dir_.path() / kErrorLogName)) firedAt = tick;
        }
        EXPECT_EQ(firedAt, c.firesAtTick);
        dialog_->OnStop();
    }
}

// The modem's DM port disappears (as when it is unplugged or resets) and returns.
class Unplug : public CaptureFixture {
  protected:
    void SetUp() override {
        sysfs_ = std::make_unique<modemsim::FakeSysfs>((dir_.path() / "sys").string(),
                                                       (dir_.path() / "dev").string());
        { std::ofstream(dir_.path() / "node"); }
        port_.tty = "ttyUSB2";
        port_.manufacturer = "Orvanta Wireless";
        port_.product = "KVX-210";
        port_.target = (dir_.path() / "node").string();
        ASSERT_TRUE(sysfs_->add(port_));
        setenv("KVXLOG_DEV_ROOT", sysfs_->dev().c_str(), 1);
        CaptureFixture::SetUp();
        dialog_->fillPortCombo();
        dialog_->selectDevice(kDeviceDetected);
    }
    void TearDown() override {
        CaptureFixture::TearDown();
        unsetenv("KVXLOG_DEV_ROOT");
    }
    std::unique_ptr<modemsim::FakeSysfs> sysfs_;
    modemsim::FakeUsbPort port_;
};

TEST_F(Unplug, CaptureWaitsForTheDeviceAndContinuesInANewFile) {
    ASSERT_EQ(window_.text(ctl::kPortCombo).rfind("Detected: ", 0), 0u);
    EXPECT_FALSE(window_.enabled(ctl::kCustomPort));
    startLogging();
    const std::string first = dialog_->currentLogFile();
    line_->stream(100);
    drain();

    line_->dead.store(true);
    sysfs_->remove(port_.tty);
    // The worker's reads on the dead port each wait out their time-out: no spinning.
    const long readsBefore = line_->reads.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(line_->reads.load() - readsBefore, 40);

    // The hang-up is acted on at the next status tick, not after the watchdog's ten seconds.
    ASSERT_TRUE(window_.fire(timer::kStatus));
    ASSERT_EQ(errorEntries(dir_.path()).size(), 1u);
    EXPECT_FALSE(window_.timerRunning(timer::kStatus)) << "no second restart";
    EXPECT_EQ(dialog_->state(), UiState::Waiting);
    EXPECT_TRUE(dialog_->waitingForDevice());
    EXPECT_EQ(window_.timerPeriod(kDeviceWaitTimer), 250);
    EXPECT_TRUE(window_.enabled(ctl::kStop));
    EXPECT_FALSE(window_.enabled(ctl::kStart));

    // Five seconds of polls: nothing runs meanwhile, no worker reads the line.
    const long readsWaiting = line_->reads.load();
    for (int poll = 0; poll < 20; ++poll) ASSERT_TRUE(window_.fire(kDeviceWaitTimer));
    EXPECT_EQ(line_->reads.load(), readsWaiting);
    EXPECT_EQ(dialog_->state(), UiState::Waiting);

    line_->dead.store(false);
    ASSERT_TRUE(sysfs_->add(port_));
    ASSERT_TRUE(window_.fire(kDeviceWaitTimer));
    EXPECT_FALSE(window_.timerRunning(kDeviceWaitTimer));
    EXPECT_EQ(dialog_->state(), UiState::Logging);
    waitNextFile(first);
    line_->stream(50);
    drain();
    dialog_->OnStop();

    const auto files = logFiles(dir_.path());
    ASSERT_EQ(files.size(), 2u);
    const auto one = readLog(files[0]);
    ASSERT_TRUE(one.readable);
    EXPECT_EQ(one.records.front().text(), kVersionNote);
    EXPECT_EQ(one.records.back().text(), "Log manually stopped from UI");
    const auto s1 = sequences(one, kStreamLogCode);
    ASSERT_EQ(s1.size(), 100u);
    EXPECT_EQ(s1.front(), 1u);
    EXPECT_EQ(s1.back(), 100u);
    const auto s2 = sequences(readLog(files[1]), kStreamLogCode);
    ASSERT_EQ(s2.size(), 50u);
    EXPECT_EQ(s2.front(), 101u);
}

TEST_F(Unplug, StopEndsTheWaitForAnAbsentDevice) {
    sysfs_->remove(port_.tty);
    const int opens = line_->opens.load();
    dialog_->OnStart();
    EXPECT_EQ(dialog_->state(), UiState::Waiting);
    EXPECT_EQ(line_->opens.load(), opens) << "nothing is opened while the device is absent";
    dialog_->OnStop();
    EXPECT_EQ(dialog_->state(), UiState::Idle);
    EXPECT_FALSE(window_.timerRunning(kDeviceWaitTimer));
    EXPECT_EQ(window_.text(ctl::kStart), "Start");

    // A cancel from another thread (Ctrl-C) ends the wait at the next poll.
    dialog_->OnStart();
    std::thread([&] { dialog_->cancelDeviceWait(); }).join();
    ASSERT_TRUE(window_.fire(kDeviceWaitTimer));
    EXPECT_EQ(dialog_->state(), UiState::Idle);
    EXPECT_TRUE(logFiles(dir_.path()).empty());
}

// With the watchdog off, a hung-up port still restarts logging at the next status tick: the
// file is closed with its note and the error log says the port was lost.
TEST_F(Unplug, HangUpWithTheWatchdogOffRestartsAsWell) {
    makeDialog("-DOG 0");
    dialog_->fillPortCombo();
    dialog_->selectDevice(kDeviceDetected);
    startLogging();
    const std::string first = dialog_->currentLogFile();
    line_->stream(10);
    drain();
    line_->dead.store(true);
    ASSERT_TRUE(window_.fire(timer::kStatus));
    // The restart finds the line still dead: that failed try is the next line.
    const auto lines = errorLogLines(dir_.path());
    ASSERT_GE(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Error 9 occured, parameters: Restarting Logging, cause = Port lost."),
              std::string::npos)
        << lines[0];
    if (lines.size() > 1) {
        EXPECT_NE(lines[1].find("Error 10 occured"), std::string::npos) << lines[1];
    }
    EXPECT_EQ(readLog(first).records.back().text(), "Log manually stopped from UI");
    line_->dead.store(false);
    dialog_->OnStop();
}

// Start New while the device is away waits for it; when the worker then ends (here: the end
// of a raw input) the window returns to Idle and the wait ends with it.
TEST_F(Unplug, WorkerEndDuringAStartNewWaitReturnsToIdle) {
    const auto fifo = dir_.path() / "in.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Held open for writing so that the worker's open does not block and its reads wait.
    const int writer = ::open(fifo.c_str(), O_RDWR);
    ASSERT_GE(writer, 0);
    window_.setChecked(ctl::kRawFileBox, true);
    window_.setText(ctl::kRawFilePath, fifo.string());
    startLogging();
    sysfs_->remove(port_.tty);
    dialog_->OnStart();  // Start New: the device is away
    EXPECT_TRUE(dialog_->waitingForDevice());
    ::close(writer);  // end of input: the conversion ends
    ASSERT_TRUE(waitUntil([&] { return dialog_->workerExitCode() == capture::kExitNormal; }));
    ASSERT_TRUE(window_.fire(timer::kExitWatch));
    EXPECT_EQ(dialog_->state(), UiState::Idle);
    EXPECT_FALSE(dialog_->waitingForDevice());
    EXPECT_FALSE(window_.timerRunning(kDeviceWaitTimer));
    EXPECT_FALSE(window_.timerRunning(timer::kExitWatch));
    EXPECT_EQ(window_.text(ctl::kStart), "Start");
    EXPECT_FALSE(window_.enabled(ctl::kStop));
    EXPECT_EQ(window_.status(), "Ready");
}

// The port goes away between the presence check and the open: the user hears that the device
// could not be located, then that the modem could not be reached.
TEST_F(Unplug, PortGoneBeforeTheOpenIsNotLocated) {
    dialog_->setStateObserver([&](UiState state) {
        if (state == UiState::Starting) sysfs_->remove(port_.tty);
    });
    dialog_->OnStart();
    EXPECT_EQ(dialog_->state(), UiState::Idle);
    EXPECT_EQ(window_.boxes(), (std::vector<std::string>{"Couldn't locate the device",
                                                         "Could not communicate with the modem"}));
}

}  // namespace
}  // namespace kvx::app
