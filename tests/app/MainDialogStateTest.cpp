// Capture control through the main dialog: the window states after Start, Start New, Stop and
// each worker exit code, the failure paths, and the command-line and rotation settings.
#include <gtest/gtest.h>

#include "app/CaptureFixture.h"

namespace kvx::app {
namespace {

namespace ctl = capture::ctl;
namespace timer = capture::timer;
using kvx::testing::CaptureFixture;
using kvx::testing::errorLogLines;
using kvx::testing::FakeWindow;
using kvx::testing::logFiles;
using kvx::testing::readLog;
using kvx::testing::waitUntil;

// The controls capture control switches, and what each state shows.
struct Expected {
    bool start, exit, browseFilter, browseLog, stop, multiple, limit, showInfo;
    const char* startText;
};

void expectState(const FakeWindow& w, const Expected& e, const char* where) {
    SCOPED_TRACE(where);
    EXPECT_EQ(w.enabled(ctl::kStart), e.start);
    EXPECT_EQ(w.enabled(ctl::kExit), e.exit);
    EXPECT_EQ(w.enabled(ctl::kBrowseFilter), e.browseFilter);
    EXPECT_EQ(w.enabled(ctl::kBrowseLog), e.browseLog);
    EXPECT_EQ(w.enabled(ctl::kStop), e.stop);
    EXPECT_EQ(w.enabled(ctl::kMultipleFiles), e.multiple);
    EXPECT_EQ(w.enabled(ctl::kLimit), e.limit);
    EXPECT_EQ(w.enabled(ctl::kUnitMb), e.limit);
    EXPECT_EQ(w.enabled(ctl::kUnitMinutes), e.limit);
    EXPECT_EQ(w.enabled(ctl::kShowInfo), e.showInfo);
    EXPECT_EQ(w.text(ctl::kStart), e.startText);
}

constexpr Expected kIdle{true, true, true, true, false, true, true, false, "Start"};
constexpr Expected kLogging{true, false, false, false, true, false, false, true, "Start New"};

using MainDialogState = CaptureFixture;

TEST_F(MainDialogState, InitialisationShowsIdleWithTheRotationDefaults) {
    expectState(window_, kIdle, "after init");
    EXPECT_EQ(window_.status(), "Ready");
    EXPECT_TRUE(window_.isChecked(ctl::kMultipleFiles));
    EXPECT_TRUE(window_.isChecked(ctl::kUnitMb));
    EXPECT_EQ(window_.text(ctl::kLimit), "20");
    EXPECT_TRUE(window_.isChecked(ctl::kSourceFile));
    EXPECT_EQ(window_.text(ctl::kPortCombo), "Custom Port...");
    EXPECT_EQ(dialog_->watchdogSeconds(), 10);
    // Unticking "Use Multiple Log Files" turns the limit controls off while idle.
    window_.setChecked(ctl::kMultipleFiles, false);
    dialog_->OnMultipleFilesClicked();
    EXPECT_FALSE(window_.enabled(ctl::kLimit));
    EXPECT_FALSE(window_.enabled(ctl::kUnitMinutes));
}

TEST_F(MainDialogState, StartStartNewAndStopWalkTheStateTable) {
    startLogging();
    expectState(window_, kLogging, "after Start");
    EXPECT_EQ(window_.timerPeriod(timer::kStatus), 2000);
    EXPECT_EQ(window_.timerPeriod(timer::kExitWatch), 1000);
    EXPECT_TRUE(window_.waitTimer(timer::kRequests, 2000));
    EXPECT_EQ(window_.timerPeriod(timer::kRequests), 2000);
    EXPECT_EQ(dialog_->workerExitCode(), capture::kExitStillRunning);
    const std::string first = dialog_->currentLogFile();
    EXPECT_EQ(window_.text(ctl::kLogPath), first);
    line_->stream(50);
    drain();

    nextSecond();
    dialog_->OnStart();  // Start New
    expectState(window_, kLogging, "after Start New");
    waitNextFile(first);
    const std::string second = dialog_->currentLogFile();
    line_->stream(20);
    drain();
    EXPECT_EQ(line_->opens.load(), 1) << "Start New must neither connect again nor add a worker";

    dialog_->OnStop();
    expectState(window_, kIdle, "after Stop");
    EXPECT_EQ(window_.status(), "Ready");
    EXPECT_EQ(window_.text(ctl::kLogPath), base());
    EXPECT_EQ(dialog_->workerExitCode(), capture::kExitNormal);
    EXPECT_FALSE(window_.timerRunning(timer::kStatus));
    EXPECT_FALSE(window_.timerRunning(timer::kRequests));
    // Stop never shows "Start New", not even for a moment after it began.
    for (const auto& text : window_.textsOf(ctl::kStart)) {
        if (text == "Start New") continue;
        EXPECT_EQ(text, "Start");
    }
    const auto starts = window_.textsOf(ctl::kStart);
    ASSERT_FALSE(starts.empty());
    EXPECT_EQ(starts.back(), "Start");
    // The status "Please wait ..." was shown while Stop ran.
    const auto statuses = window_.statuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(),
                        "Please wait while logging is stopped and the port is flushed...."),
              statuses.end());

    // The exit watch a second later finds code 0 and repeats the idle reset harmlessly.
    EXPECT_TRUE(window_.fire(timer::kExitWatch));
    expectState(window_, kIdle, "after the exit watch");
    EXPECT_FALSE(window_.timerRunning(timer::kExitWatch));

    auto one = readLog(first);
    auto two = readLog(second);
    ASSERT_TRUE(one.readable);
    ASSERT_TRUE(two.readable);
    ASSERT_FALSE(one.records.empty());
    EXPECT_EQ(one.records.front().text(), "KvxLog Plus - Version 1.0.0.1");
    EXPECT_EQ(one.records.back().text(), "Log manually restarted from UI");
    EXPECT_EQ(two.records.front().text(), "KvxLog Plus - Version 1.0.0.1");
    EXPECT_EQ(two.records.back().text(), "Log manually stopped from UI");
    EXPECT_EQ(kvx::testing::sequences(one, kvx::testing::kStreamLogCode).size(), 50u);
    EXPECT_EQ(kvx::testing::sequences(two, kvx::testing::kStreamLogCode).size(), 20u);

    const auto lines = errorLogLines(dir_.path());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Error 6 occured, parameters: Restarting Logging, cause = Manual., "
                            "0, 0, 0."),
              std::string::npos);
}

TEST_F(MainDialogState, StartWithTheCustomRowAndNoPortFails) {
    window_.setText(ctl::kCustomPort, "");
    dialog_->OnStart();
    EXPECT_EQ(window_.boxes(), std::vector<std::string>{"Could not communicate with the modem"});
    EXPECT_EQ(dialog_->state(), UiState::Idle);
    expectState(window_, kIdle, "after the failed Start");
    EXPECT_EQ(window_.status(), "Ready");
    EXPECT_EQ(dialog_->workerExitCode(), -1) << "no worker may run";
    EXPECT_TRUE(logFiles(dir_.path()).empty());
}

TEST_F(MainDialogState, ModemThatDoesNotAnswerFailsAndOpensTheDumpToolAfterSubsystemZero) {
    int dumpShown = 0;
    dialog_->setMemoryDumpHook([&] { ++dumpShown; });
    line_->answer.store(false);
    dialog_->OnEngineNotify({18, ""});
    EXPECT_TRUE(dialog_->flags().memoryDebugSeen.load());
    dialog_->OnStart();
    EXPECT_EQ(window_.boxes(), std::vector<std::string>{"Could not communicate with the modem"});
    expectState(window_, kIdle, "after the failed Start");
    EXPECT_EQ(dumpShown, 1);
}

// Each way a worker ends by itself: the exit watch turns its code into the idle window.
TEST_F(MainDialogState, ExitWatchReturnsToIdleForEveryWorkerCode) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        int code;
        const char* box;
    };
    const std::string empty = (dir_.path() / "empty.raw").string();
    { std::ofstream(empty, std::ios::binary); }
    const Case cases[] = {
        {"raw file converted",
         [&] {
             window_.setChecked(ctl::kRawFileBox, true);
             window_.setText(ctl::kRawFilePath, empty);
         },
         capture::kExitNormal, nullptr},
        {"filter not sent", [&] { filterResult_.store(false); }, capture::kExitFilterNotSent,
         "Could not decode the input file!"},
        {"log not created",
         [&] { window_.setText(ctl::kLogPath, (dir_.path() / "missing" / "x.kvx").string()); },
         capture::kExitLogNotCreated, nullptr},
        {"raw input missing",
         [&] {
             window_.setChecked(ctl::kRawFileBox, true);
             window_.setText(ctl::kRawFilePath, (dir_.path() / "absent.raw").string());
         },
         capture::kExitRawNotOpened, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        makeDialog("");
        c.arrange();
        dialog_->OnStart();
        ASSERT_TRUE(
            waitUntil([&] { return dialog_->workerExitCode() != capture::kExitStillRunning; }));
        EXPECT_EQ(dialog_->workerExitCode(), c.code);
        if (c.box != nullptr) {
            ASSERT_FALSE(window_.boxes().empty());
            EXPECT_EQ(window_.boxes().back(), c.box);
        }
        EXPECT_TRUE(window_.fire(timer::kExitWatch));
        expectState(window_, kIdle, c.name);
        EXPECT_EQ(window_.status(), "Ready");
        EXPECT_FALSE(window_.timerRunning(timer::kStatus));
        EXPECT_FALSE(window_.timerRunning(timer::kRequests));
        EXPECT_FALSE(window_.timerRunning(timer::kExitWatch));
        EXPECT_EQ(dialog_->state(), UiState::Idle);
        window_.setChecked(ctl::kRawFileBox, false);
        window_.setText(ctl::kLogPath, base());
        filterResult_.store(true);
    }
}

TEST_F(MainDialogState, WorkerThatCannotBeWokenIsRecordedAsForcedAndLeftToFinish) {
    line_->setOwnerThread();
    line_->jamWrites.store(true);  // the worker's filter requests block in the port
    dialog_->OnStart();
    ASSERT_TRUE(waitUntil([&] { return filtersSent_.load() == 1; }));
    // Stopped only once the worker is stuck in the port, not while it is on its way there.
    ASSERT_TRUE(waitUntil([&] { return line_->jammedWriters.load() > 0; }));
    const auto before = std::chrono::steady_clock::now();
    dialog_->OnStop();
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_EQ(dialog_->workerExitCode(), capture::kExitForced);
    expectState(window_, kIdle, "after the forced Stop");
    EXPECT_TRUE(window_.fire(timer::kExitWatch));
    EXPECT_FALSE(window_.timerRunning(timer::kExitWatch));
    EXPECT_TRUE(window_.boxes().empty());

    // Once the port lets go, the worker finishes on its own and a new Start works.
    line_->releaseWrites();
    dialog_->OnStart();
    EXPECT_EQ(dialog_->state(), UiState::Logging);
    ASSERT_TRUE(waitUntil([&] { return dialog_->flags().loggingActive.load(); }));
    dialog_->OnStop();
    EXPECT_EQ(dialog_->workerExitCode(), capture::kExitNormal);
}

TEST_F(MainDialogState, StartBetweenFilesIsIgnored) {
    // The worker is still sending the filter: no file is being filled yet.
    line_->setOwnerThread();
    line_->jamWrites.store(true);
    dialog_->OnStart();
    ASSERT_TRUE(waitUntil([&] { return filtersSent_.load() == 1; }));
    window_.clearCalls();
    dialog_->OnStart();
    EXPECT_TRUE(window_.calls().empty()) << "a Start between files changes nothing";
    EXPECT_EQ(line_->opens.load(), 1);
    line_->releaseWrites();
    ASSERT_TRUE(waitUntil([&] { return dialog_->flags().loggingActive.load(); }));
    dialog_->OnStop();
    EXPECT_FALSE(std::filesystem::exists(dir_.path() / kErrorLogName));
}

TEST(MainDialogCommandLine, WatchdogSecondsFromDog) {
    struct Case {
        const char* line;
        int seconds;
    };
    const Case cases[] = {
        {"", 10},
        {"kvxlogplus", 10},
        {"-DOG 30", 30},
        {"-DOG30", 30},
        {"-DOG", 0},
        {"-DOG 0", 0},
        {"x -DOG  7 -KVX", 7},
        {"-DOG abc", 0},
        {"-DOG -5", 0},
        {"-dog 30", 10},
        {"-DOG 99999999999", 2147483647},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(parseWatchdogSeconds(c.line), c.seconds);
    }
}

TEST_F(MainDialogState, RotationSettingsCorrectALimitBelowOne) {
    struct Case {
        const char* edit;
        int limit;
        const char* shown;
    };
    const Case cases[] = {{"0", 1, "1"}, {"-3", 1, "1"},       {"abc", 1, "1"}, {"", 1, "1"},
                          {"5", 5, "5"}, {"12MB", 12, "12MB"}, {" 7", 7, " 7"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.edit);
        window_.setText(ctl::kLimit, c.edit);
        dialog_->ReadRotationSettings();
        EXPECT_EQ(dialog_->limit(), c.limit);
        EXPECT_EQ(window_.text(ctl::kLimit), c.shown);
    }
    window_.setChecked(ctl::kUnitMb, false);
    window_.setChecked(ctl::kUnitMinutes, true);
    window_.setChecked(ctl::kMultipleFiles, false);
    dialog_->ReadRotationSettings();
    EXPECT_EQ(dialog_->limitUnit(), 0);
    EXPECT_FALSE(dialog_->multipleFiles());
}

TEST_F(MainDialogState, StatusLineShowsTheFourCounters) {
    startLogging();
    line_->stream(10);
    drain();
    ASSERT_TRUE(window_.fire(timer::kStatus));
    const dm::Stats s = engine_.getstats();
    EXPECT_EQ(window_.status(), " Bytes: " + std::to_string(s.bytes) + ", Packets: " +
                                    std::to_string(s.packets) + ", Errors: 0 (crc), 0 (size)");
    EXPECT_GE(s.packets, 11u);
    EXPECT_EQ(statusLine({1, 2, 3, 4}), " Bytes: 1, Packets: 3, Errors: 2 (crc), 4 (size)");
    dialog_->OnStop();
}

TEST_F(MainDialogState, InfoFieldsGoToTheSinkAndSubsystemZeroToTheFlag) {
    std::vector<dm::InfoNotification> shown;
    dialog_->setInfoSink([&](const dm::InfoNotification& n) { shown.push_back(n); });
    dialog_->OnEngineNotify({0, "FW1"});
    dialog_->OnEngineNotify({16, "3"});
    dialog_->OnEngineNotify({17, "nothing"});
    dialog_->OnEngineNotify({18, ""});
    dialog_->OnEngineNotify({-1, "nothing"});
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, "FW1");
    EXPECT_EQ(shown[1].field, 16);
    EXPECT_TRUE(dialog_->flags().memoryDebugSeen.load());
}

TEST_F(MainDialogState, RequestTimerSendsOneBatchOfStatusQueries) {
    startLogging();
    ASSERT_TRUE(window_.waitTimer(timer::kRequests, 2000));
    const size_t before = line_->requests().size();
    ASSERT_TRUE(window_.fire(timer::kRequests));
    ASSERT_TRUE(waitUntil([&] { return line_->requests().size() >= before + 6; }));
    const auto reqs = line_->requests();
    const std::vector<std::vector<uint8_t>> expected = {{0x4B, 0x08, 0x01, 0x00},
                                                        {0x4B, 0x0F, 0x00, 0x00},
                                                        {0x4B, 0x04, 0x05, 0x00},
                                                        {0x78, 0x72, 0x50},
                                                        {0x1D},
                                                        {0x00}};
    ASSERT_GE(reqs.size(), before + expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(reqs[before + i], expected[i]);
    dialog_->OnStop();
}

TEST_F(MainDialogState, RequestBatchesNeverOverlap) {
    startLogging();
    ASSERT_TRUE(window_.waitTimer(timer::kRequests, 2000));
    const size_t before = line_->requests().size();
    line_->setOwnerThread();
    line_->jamWrites.store(true);  // the first batch hangs in its first request
    ASSERT_TRUE(window_.fire(timer::kRequests));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(window_.fire(timer::kRequests));  // finds the batch still running
    ASSERT_TRUE(window_.fire(timer::kRequests));
    line_->releaseWrites();
    ASSERT_TRUE(waitUntil([&] { return line_->requests().size() >= before + 6; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(line_->requests().size(), before + 6) << "one batch only";
    // The next tick sends the next batch, without the time query still unanswered.
    ASSERT_TRUE(window_.fire(timer::kRequests));
    ASSERT_TRUE(waitUntil([&] { return line_->requests().size() >= before + 11; }));
    dialog_->OnStop();
}

TEST_F(MainDialogState, RawFileModeSendsNoStatusRequests) {
    const auto raw = dir_.path() / "in.raw";
    {
        // Enough frames that the conversion is still running when the timer fires.
        std::ofstream out(raw, std::ios::binary);
        const auto frame = kvx::testing::wireFrame(kvx::testing::logPacket(1));
        for (int i = 0; i < 200000; ++i) {
            out.write(reinterpret_cast<const char*>(frame.data()),
                      static_cast<std::streamsize>(frame.size()));
        }
    }
    window_.setChecked(ctl::kRawFileBox, true);
    window_.setText(ctl::kRawFilePath, raw.string());
    window_.setChecked(ctl::kMultipleFiles, false);
    dialog_->OnStart();
    ASSERT_TRUE(window_.waitTimer(timer::kRequests, 5000));
    ASSERT_TRUE(window_.fire(timer::kRequests));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(engine_.timequeryoutstanding()) << "no time query (kind 6) was issued";
    EXPECT_EQ(line_->opens.load(), 0) << "no port is opened for a raw file";
    ASSERT_TRUE(
        waitUntil([&] { return dialog_->workerExitCode() == capture::kExitNormal; }, 60000));
    ASSERT_TRUE(window_.fire(timer::kExitWatch));
    EXPECT_EQ(dialog_->state(), UiState::Idle);
    const auto log = readLog(logFiles(dir_.path()).at(0));
    EXPECT_EQ(log.records.front().text(), "RAW DM file conversion starting");
    EXPECT_EQ(log.records.back().text(), "RAW DM file conversion is complete");
    EXPECT_EQ(kvx::testing::sequences(log, kvx::testing::kStreamLogCode).size(), 200000u);
}

TEST_F(MainDialogState, ExitWhileLoggingClosesTheLogFirst) {
    int saved = 0;
    dialog_->setSettingsSaver([&] { ++saved; });
    startLogging();
    const std::string file = dialog_->currentLogFile();
    line_->stream(5);
    drain();
    dialog_->OnExit();
    EXPECT_TRUE(window_.closed());
    EXPECT_EQ(saved, 1);
    EXPECT_EQ(dialog_->workerExitCode(), capture::kExitNormal);
    auto log = readLog(file);
    ASSERT_FALSE(log.records.empty());
    EXPECT_EQ(log.records.back().text(), "Log manually stopped from UI");
}

TEST_F(MainDialogState, UnknownErrorCodeIsWrittenAndClosesTheProgram) {
    startLogging();
    dialog_->LogError(7, 1, 2, 3);
    EXPECT_TRUE(window_.closed());
    EXPECT_TRUE(dialog_->exited());
    EXPECT_EQ(dialog_->state(), UiState::Idle);
    const auto lines = errorLogLines(dir_.path());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("-- Error 7 occured, parameters: Unknown Error, 1, 2, 3."),
              std::string::npos);
}

TEST_F(MainDialogState, UnwritableErrorLogShowsBothSentencesAndCloses) {
    startLogging();
    std::filesystem::create_directory(dir_.path() / kErrorLogName);
    nextSecond();
    dialog_->OnStart();  // Start New writes entry 6
    EXPECT_TRUE(window_.closed());
    ASSERT_FALSE(window_.boxes().empty());
    const std::string box = window_.boxes().back();
    EXPECT_NE(box.find("-- Error 6 occured, parameters: Restarting Logging, cause = Manual., 0, "
                       "0, 0.\nError logging file could not be opened.  Please record the error "
                       "information.This application will close."),
              std::string::npos);
    EXPECT_EQ(dialog_->state(), UiState::Idle);
}

}  // namespace
}  // namespace kvx::app
