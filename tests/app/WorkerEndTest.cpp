// How the window meets a worker's end and the moments around it: the exit watch woken at
// once, the log name left in edit 1006, the start time in place before a status tick can see
// the file, and Stop waiting out a status batch before it writes to the port.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include "app/CaptureFixture.h"

namespace kvx::app {
namespace {

namespace ctl = capture::ctl;
namespace timer = capture::timer;
using kvx::testing::CaptureFixture;
using kvx::testing::errorLogLines;
using kvx::testing::logFiles;
using kvx::testing::readLog;
using kvx::testing::waitUntil;

using WorkerEnd = CaptureFixture;

// A conversion that ends by itself asks the window for the exit watch at once; the idle reset
// then leaves that file's name in edit 1006, and the next Start names its file after the base
// path, not after the name shown.
TEST_F(WorkerEnd, ConversionEndWakesTheExitWatchAndKeepsTheNameShown) {
    const auto raw = dir_.path() / "in.raw";
    { std::ofstream(raw, std::ios::binary); }
    window_.setChecked(ctl::kRawFileBox, true);
    window_.setText(ctl::kRawFilePath, raw.string());
    dialog_->OnStart();
    ASSERT_TRUE(waitUntil([&] { return dialog_->workerExitCode() == capture::kExitNormal; }));
    ASSERT_TRUE(waitUntil([&] { return window_.fireSoonCount(timer::kExitWatch) == 1; }));
    const std::string first = dialog_->currentLogFile();
    ASSERT_TRUE(window_.fire(timer::kExitWatch));
    EXPECT_EQ(dialog_->state(), UiState::Idle);
    EXPECT_EQ(window_.text(ctl::kLogPath), first) << "the name stays until Stop";

    CaptureFixture::nextSecond();
    dialog_->OnStart();
    ASSERT_TRUE(waitUntil([&] { return dialog_->workerExitCode() == capture::kExitNormal; }));
    const std::string second = dialog_->currentLogFile();
    EXPECT_NE(second, first);
    EXPECT_EQ(second.rfind((dir_.path() / "cap-").string(), 0), 0u) << second;
    EXPECT_EQ(second.find(".kvx"), second.size() - 4) << "no name nested in a name: " << second;
    ASSERT_TRUE(window_.fire(timer::kExitWatch));
    EXPECT_EQ(logFiles(dir_.path()).size(), 2u);
}

// The over-long-path hint stays in the edit for the user to read.
TEST_F(WorkerEnd, ShortenPathHintStaysAfterTheWorkerEnds) {
    window_.setText(ctl::kLogPath, (dir_.path() / std::string(490, 'a')).string());
    window_.setChecked(ctl::kRawFileBox, true);
    window_.setText(ctl::kRawFilePath, (dir_.path() / "in.raw").string());
    dialog_->OnStart();
    ASSERT_TRUE(
        waitUntil([&] { return dialog_->workerExitCode() == capture::kExitLogNotCreated; }));
    ASSERT_TRUE(window_.fire(timer::kExitWatch));
    EXPECT_EQ(dialog_->state(), UiState::Idle);
    EXPECT_EQ(window_.text(ctl::kLogPath), "***Please shorten the file path***.kvx");
}

// A status tick that comes between the moment the file counts as being filled and the start
// of its receive loop finds the file's real start time: no rotation, no error-log entry 5.
TEST_F(WorkerEnd, StatusTickRightAfterTheFileOpensSeesItsStartTime) {
    window_.setChecked(ctl::kUnitMb, false);
    window_.setChecked(ctl::kUnitMinutes, true);
    window_.setText(ctl::kLimit, "1");
    std::atomic<bool> ticked{false};
    // The worker starts the request timer just after it set loggingActive: the main thread
    // fires a status tick there, while the worker waits.
    window_.onStartTimer = [&](int id) {
        if (id != timer::kRequests) return;
        waitUntil([&] { return ticked.load(); });
    };
    dialog_->OnStart();
    ASSERT_TRUE(waitUntil([&] { return dialog_->flags().loggingActive.load(); }));
    ASSERT_TRUE(window_.fire(timer::kStatus));
    ticked.store(true);
    EXPECT_FALSE(dialog_->flags().stopRequested.load()) << "the new file was ended at once";
    EXPECT_TRUE(errorLogLines(dir_.path()).empty());
    dialog_->OnStop();
}

// Stop sends its requests only after a status batch still writing has finished, so no frame
// of one is cut by the other's write on the port.
TEST_F(WorkerEnd, StopWaitsOutARunningStatusBatch) {
    startLogging();
    ASSERT_TRUE(window_.waitTimer(timer::kRequests, 2000));
    const size_t before = line_->requests().size();
    line_->setOwnerThread();
    line_->jamWrites.store(true);  // the batch hangs in its first request
    ASSERT_TRUE(window_.fire(timer::kRequests));
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        line_->releaseWrites();
    });
    dialog_->OnStop();
    release.join();
    const auto reqs = line_->requests();
    const std::vector<uint8_t> stop = {0x4B, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    size_t stopAt = 0, lastBatch = 0;
    for (size_t i = before; i < reqs.size(); ++i) {
        if (reqs[i] == stop && stopAt == 0) stopAt = i;
        if (reqs[i] == std::vector<uint8_t>{0x00}) lastBatch = i;  // the batch's last query
    }
    ASSERT_NE(stopAt, 0u);
    ASSERT_NE(lastBatch, 0u);
    EXPECT_GT(stopAt, lastBatch) << "a stop request went out while the batch was writing";
}

}  // namespace
}  // namespace kvx::app
