// Raw DM file conversion through the logging worker, as Start runs it with the raw-file box
// ticked: exit codes and their messages, the notes that open and close a converted log, a
// Stop in the middle of a conversion, and real captures.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "RealDataCounts.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/TempDir.h"
#include "capture/LogName.h"
#include "capture/LoggingWorker.h"
#include "dm/LogTestSupport.h"

namespace kvx::capture {
namespace {

using dmtest::Bytes;

// Records message boxes and edit texts; nothing else of a window matters to a conversion.
class RecordingWindow : public Window {
public:
    bool isChecked(int) override { return false; }
    void setChecked(int, bool) override {}
    std::string getText(int id) override {
        std::lock_guard lock(mutex_);
        return texts_[id];
    }
    void setText(int id, const std::string& text) override {
        std::lock_guard lock(mutex_);
        texts_[id] = text;
    }
    void enable(int, bool) override {}
    void setStatus(const std::string&) override {}
    void messageBox(const std::string& text) override {
        std::lock_guard lock(mutex_);
        boxes_.push_back(text);
    }
    void startTimer(int, int) override {}
    void stopTimer(int) override {}
    void close() override {}
    void notify(uint32_t, const dm::InfoNotification&) override {}

    std::vector<std::string> boxes() {
        std::lock_guard lock(mutex_);
        return boxes_;
    }

private:
    std::mutex mutex_;
    std::map<int, std::string> texts_;
    std::vector<std::string> boxes_;
};

struct Outcome {
    int code = -1;
    std::string name;
    std::vector<std::string> boxes;
    std::string logPathText;
    dm::Stats stats;
};

class Convert : public ::testing::Test {
protected:
    WorkerSettings settings(const std::string& raw, const std::string& base) {
        WorkerSettings s;
        s.rawFile = true;
        s.rawPath = raw;
        s.baseLogPath = base;
        s.version = {1, 0, 0, 1};
        return s;
    }
    Outcome convert(const std::string& raw, const std::string& base) {
        flags.nextFile.store(true);
        LoggingWorker worker(engine, window, flags, settings(raw, base), nullptr);
        Outcome r;
        r.code = worker.run();
        r.name = worker.currentFile();
        r.boxes = window.boxes();
        r.logPathText = window.getText(ctl::kLogPath);
        r.stats = engine.getstats();
        return r;
    }
    std::vector<std::string> notes(const dm::LogContents& log) {
        std::vector<std::string> out;
        for (const auto& r : log.records) {
            auto b = log.body(r);
            if (r.code == dm::kCodeNote) out.emplace_back(b.begin(), b.end());
        }
        return out;
    }

    testing::TempDir dir;
    dm::KvxLog engine;
    RecordingWindow window;
    CaptureFlags flags;
};

TEST_F(Convert, EmptyInputGivesExactlyTheTwoNotes) {
    const auto raw = dir.path() / "empty.raw";
    dmtest::writeBytes(raw.string(), Bytes{});
    const Outcome r = convert(raw.string(), (dir.path() / "out.kvx").string());
    EXPECT_EQ(r.code, kExitNormal);
    EXPECT_TRUE(r.boxes.empty());
    EXPECT_EQ(r.logPathText, r.name);
    EXPECT_EQ(r.name.rfind((dir.path() / "out-").string(), 0), 0u) << r.name;
    const auto log = dm::readLogFile(r.name);
    EXPECT_EQ(log.status, dm::LogReadStatus::Ok);
    ASSERT_EQ(log.records.size(), 2u);
    EXPECT_EQ(notes(log), (std::vector<std::string>{"RAW DM file conversion starting",
                                                    "RAW DM file conversion is complete"}));
    EXPECT_EQ(r.stats.packets, 2u);
    EXPECT_EQ(r.stats.bytes, 0u);
    EXPECT_FALSE(flags.nextFile.load());
    EXPECT_FALSE(flags.loggingActive.load());
}

TEST_F(Convert, MissingInputEndsWithCode4AndLeavesNoLog) {
    const Outcome r = convert((dir.path() / "absent.raw").string(), (dir.path() / "out").string());
    EXPECT_EQ(r.code, kExitRawNotOpened);
    // The fixed text, then the file and the system's reason.
    EXPECT_EQ(r.boxes, std::vector<std::string>{"Could not open input Raw DM file. (" +
                                                (dir.path() / "absent.raw").string() +
                                                ": No such file or directory)\n"});
    EXPECT_FALSE(r.name.empty());
    EXPECT_FALSE(std::filesystem::exists(r.name));
    EXPECT_FALSE(flags.loggingActive.load());
}

// Another run took the name this second: the log gets the next free suffix, and the file
// that was there is left as it was.
TEST_F(Convert, NameTakenByAnotherRunGetsASuffix) {
    const auto raw = dir.path() / "empty.raw";
    dmtest::writeBytes(raw.string(), Bytes{});
    const std::string base = (dir.path() / "out-").string();
    const std::time_t now = std::time(nullptr);
    std::vector<std::string> taken;
    for (std::time_t t = now; t < now + 3; ++t) {
        taken.push_back(makeLogName(base, t));
        dmtest::writeBytes(taken.back(), Bytes{1, 2, 3});
    }
    const Outcome r = convert(raw.string(), base);
    ASSERT_EQ(r.code, kExitNormal);
    ASSERT_EQ(r.name.size(), taken[0].size() + 2) << r.name;
    EXPECT_EQ(r.name.substr(r.name.size() - 6), "_2.kvx");
    EXPECT_EQ(r.logPathText, r.name) << "the edit shows the name written";
    for (const auto& name : taken) EXPECT_EQ(dmtest::readBytes(name), (Bytes{1, 2, 3}));
    EXPECT_EQ(dm::readLogFile(r.name).status, dm::LogReadStatus::Ok);
}

TEST_F(Convert, FolderAsInputIsRefusedAsUnreadable) {
    const Outcome r = convert(dir.path().string(), (dir.path() / "out").string());
    EXPECT_EQ(r.code, kExitRawNotOpened);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_NE(r.boxes[0].find(": Is a directory)"), std::string::npos) << r.boxes[0];
    EXPECT_FALSE(std::filesystem::exists(r.name));
}

TEST_F(Convert, UncreatableOutputEndsWithCode3) {
    const auto raw = dir.path() / "in.raw";
    dmtest::writeBytes(raw.string(), dmtest::wire(Bytes{0x1D, 0x01}));
    // The stem hint names no file that may be created, wherever the run's folder is.
    testing::ScopedChdir here(dir.path());
    const struct {
        std::string base, shown;
    } cases[] = {
        {std::string(490, 'b'), "***Please shorten the file path***.kvx"},
        {(dir.path() / "no-such-folder" / "x").string(), ""},
    };
    for (const auto& c : cases) {
        const Outcome r = convert(raw.string(), c.base);
        EXPECT_EQ(r.code, kExitLogNotCreated) << c.base.substr(0, 30);
        // The hint has no reason to give; a real failure names the file and the reason.
        const std::string box = r.boxes.empty() ? "" : r.boxes.back();
        if (c.shown.empty()) {
            EXPECT_EQ(box.rfind("Could not create output file. (" + c.base, 0), 0u) << box;
            EXPECT_NE(box.find(": No such file or directory)\n"), std::string::npos) << box;
        } else {
            EXPECT_EQ(box, "Could not create output file.\n");
        }
        if (!c.shown.empty()) {
            EXPECT_EQ(r.logPathText, c.shown);
            EXPECT_FALSE(std::filesystem::exists(dir.path() / c.shown));
        }
    }
}

// Stop during a conversion: the input is a pipe fed a chunk at a time, so the stop request
// falls between two known chunks.
TEST_F(Convert, StopEndsTheLogWithTheStopNote) {
    const auto fifo = dir.path() / "input.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Bytes stream;
    size_t framesInOneChunk = 0, framesInTwoChunks = 0;
    for (uint8_t i = 0; stream.size() < 3000; ++i) {
        dmtest::append(stream, dmtest::wire(Bytes{0x1D, i, 0x10, 0x20, 0x30, 0x40, 0x50}));
        framesInOneChunk += stream.size() <= 1024;
        framesInTwoChunks += stream.size() <= 2048;
    }
    flags.nextFile.store(true);
    LoggingWorker worker(engine, window, flags, settings(fifo.string(), (dir.path() / "s").string()),
                         nullptr);
    int code = -1;
    std::thread t([&] { code = worker.run(); });
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, stream.data(), 1024), 1024);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (engine.getstats().bytes < 1024 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Most often the worker waits for the second chunk by now; if it is still on the first,
    // the stop ends the log after the first chunk instead. Both are a correct Stop.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    engine.setclosingnote("Log manually stopped from UI");
    flags.stopRequested.store(true);
    ASSERT_EQ(::write(fd, stream.data() + 1024, 1024), 1024);
    t.join();
    ::close(fd);

    EXPECT_EQ(code, kExitNormal);
    const auto log = dm::readLogFile(worker.currentFile());
    ASSERT_EQ(log.status, dm::LogReadStatus::Ok);
    const size_t chunks = engine.getstats().bytes / 1024;
    ASSERT_TRUE(chunks == 1 || chunks == 2) << engine.getstats().bytes;
    EXPECT_EQ(log.records.size(), (chunks == 2 ? framesInTwoChunks : framesInOneChunk) + 2);
    EXPECT_EQ(notes(log), (std::vector<std::string>{"RAW DM file conversion starting",
                                                    "Log manually stopped from UI"}));
    EXPECT_EQ(log.records.back().code, dm::kCodeNote);
    EXPECT_FALSE(flags.nextFile.load());
}

// Real captures through the product's path give the known counters and stream lengths.
TEST_F(Convert, RealCapturesGiveTheirKnownCounters) {
    const auto& files = testdata::kRealCaptures;
    const std::filesystem::path real = KVX_REALDATA_DIR;
    if (!std::filesystem::exists(real / files[0].file)) GTEST_SKIP() << "no real captures";
    int n = 0;
    for (const auto& f : files) {
        const Outcome r = convert((real / f.file).string(), (dir.path() / ("r" + std::to_string(n++))).string());
        ASSERT_EQ(r.code, kExitNormal) << f.file;
        EXPECT_EQ(r.stats.bytes, f.bytes) << f.file;
        EXPECT_EQ(r.stats.packets, f.records) << f.file;
        EXPECT_EQ(r.stats.crcErrors, f.crcErrors) << f.file;
        EXPECT_EQ(r.stats.sizeErrors, f.sizeErrors) << f.file;
        const auto log = dm::readLogFile(r.name);
        EXPECT_EQ(log.status, dm::LogReadStatus::Ok) << f.file;
        EXPECT_EQ(log.streamLength, f.streamLength) << f.file;
        EXPECT_EQ(notes(log).back(), "RAW DM file conversion is complete") << f.file;
    }
}

}  // namespace
}  // namespace kvx::capture
