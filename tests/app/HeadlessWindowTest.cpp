// The command line's window: its loop, timers, queued calls and printed messages, and the
// main dialog running on it with real timers.
#include "app/HeadlessWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/CaptureFixture.h"

namespace kvx::app {
namespace {

namespace ctl = capture::ctl;
namespace timer = capture::timer;
using namespace std::chrono_literals;

// Text printed to a memory stream.
class Printed {
  public:
    Printed() : file_(open_memstream(&buffer_, &size_)) {}
    ~Printed() {
        std::fclose(file_);
        std::free(buffer_);
    }
    std::FILE* file() { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(buffer_, size_);
    }

  private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    std::FILE* file_;
};

// A request from another thread runs a running timer's handler at once, whatever its period;
// a stopped timer's handler is not run.
TEST(HeadlessWindow, FireTimerSoonRunsTheHandlerWithoutWaitingForThePeriod) {
    HeadlessWindow window(nullptr);
    std::atomic<int> runs{0};
    window.setTimerHandler([&](int id) {
        if (id == 7) ++runs;
        window.close();
    });
    window.startTimer(7, 60 * 60 * 1000);
    window.startTimer(8, 60 * 60 * 1000);
    window.stopTimer(8);
    std::thread other([&] {
        window.fireTimerSoon(8);
        window.fireTimerSoon(7);
    });
    // Ends the test should the request be lost, instead of waiting an hour.
    std::thread guard([&] {
        for (int i = 0; i < 500 && !window.closed(); ++i) std::this_thread::sleep_for(10ms);
        window.close();
    });
    const auto began = std::chrono::steady_clock::now();
    window.run();
    other.join();
    guard.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 4s);
}

TEST(HeadlessWindow, KeepsControlStateAndPrintsBoxesAndStatus) {
    Printed out;
    HeadlessWindow w(out.file());
    w.setText(ctl::kLimit, "20");
    w.setChecked(ctl::kMultipleFiles, true);
    w.enable(ctl::kStop, true);
    EXPECT_EQ(w.getText(ctl::kLimit), "20");
    EXPECT_EQ(w.getText(ctl::kLogPath), "");
    EXPECT_TRUE(w.isChecked(ctl::kMultipleFiles));
    EXPECT_FALSE(w.isChecked(ctl::kUnitMb));
    EXPECT_TRUE(w.enabled(ctl::kStop));
    w.messageBox("Could not create output file.\n");
    w.messageBox("Could not communicate with the modem");
    w.setStatus(" Bytes: 1, Packets: 2, Errors: 0 (crc), 0 (size)");
    w.setPrintStatus(false);
    w.setStatus("Ready");
    EXPECT_EQ(out.text(),
              "Could not create output file.\nCould not communicate with the modem\n"
              " Bytes: 1, Packets: 2, Errors: 0 (crc), 0 (size)\n");
}

TEST(HeadlessWindow, RunsTimersPostedCallsAndNotificationsOnItsThread) {
    HeadlessWindow w(nullptr);
    const auto loopThread = std::this_thread::get_id();
    std::atomic<int> fast{0}, slow{0};
    std::vector<int> order;
    bool wrongThread = false;
    std::vector<dm::InfoNotification> notes;
    w.setTimerHandler([&](int id) {
        wrongThread |= std::this_thread::get_id() != loopThread;
        if (id == 1) ++fast;
        if (id == 2) ++slow;
        if (fast.load() >= 6) {
            w.stopTimer(1);
            w.close();
        }
    });
    w.setNotifyHandler([&](const dm::InfoNotification& n) {
        wrongThread |= std::this_thread::get_id() != loopThread;
        notes.push_back(n);
    });
    w.startTimer(1, 20);
    w.startTimer(2, 1000000);
    std::thread other([&] {
        w.notify(dm::kInfoMessage, {5, "16015"});
        w.notify(dm::kInfoMessage + 1, {6, "ignored: another message"});
        w.post([&] {
            wrongThread |= std::this_thread::get_id() != loopThread;
            order.push_back(1);
        });
        w.post([&] { order.push_back(2); });
    });
    w.run();
    other.join();
    EXPECT_FALSE(wrongThread);
    EXPECT_EQ(fast.load(), 6);
    EXPECT_EQ(slow.load(), 0);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].text, "16015");
    EXPECT_FALSE(w.timerRunning(1));
    EXPECT_TRUE(w.timerRunning(2));
    w.run();  // closed: returns at once
}

// Notes that wait for the loop keep only the latest text of each field, in the order the
// fields first came, and at most 64 fields; a note after a delivery comes with the next one.
TEST(HeadlessWindow, WaitingNotificationsKeepTheLatestOfEachField) {
    HeadlessWindow w(nullptr);
    std::vector<std::pair<int32_t, std::string>> delivered;
    w.setNotifyHandler(
        [&](const dm::InfoNotification& n) { delivered.emplace_back(n.field, n.text); });
    for (int i = 0; i < 5000; ++i) {
        const int32_t field = i % 3 == 0 ? 11 : i % 3 == 1 ? 9 : 14;
        w.notify(dm::kInfoMessage, {field, std::to_string(i)});
    }
    w.post([&] { w.close(); });
    w.run();
    EXPECT_EQ(delivered, (std::vector<std::pair<int32_t, std::string>>{
                             {11, "4998"}, {9, "4999"}, {14, "4997"}}));

    HeadlessWindow many(nullptr);
    size_t count = 0;
    many.setNotifyHandler([&](const dm::InfoNotification&) { ++count; });
    for (int32_t field = 0; field < 100; ++field) many.notify(dm::kInfoMessage, {field, "x"});
    many.post([&] { many.close(); });
    many.run();
    EXPECT_EQ(count, 64u);

    // The loop running: a second note soon after a delivery is held for the next one, not lost.
    HeadlessWindow live(nullptr);
    std::vector<std::string> texts;
    live.setNotifyHandler([&](const dm::InfoNotification& n) {
        texts.push_back(n.text);
        if (texts.size() == 1) live.notify(dm::kInfoMessage, {9, "second"});
        if (texts.size() == 2) live.close();
    });
    live.notify(dm::kInfoMessage, {9, "first"});
    std::atomic<bool> done{false};
    std::thread guard([&] {
        for (int i = 0; i < 500 && !done.load(); ++i) std::this_thread::sleep_for(10ms);
        live.close();
    });
    live.run();
    done.store(true);
    guard.join();
    EXPECT_EQ(texts, (std::vector<std::string>{"first", "second"}));
}

// The dialog on the headless window with its real timers: a worker that cannot create its
// file ends with code 3 and the exit watch brings the window back to Idle about a second later.
TEST(HeadlessWindow, DialogReturnsToIdleAfterAWorkerFailure) {
    kvx::testing::TempDir dir;
    kvx::testing::ScopedChdir cd(dir.path());
    auto line = std::make_shared<kvx::testing::FakeModemLine>();
    dm::KvxLog engine;
    kvx::testing::installFakeModem(engine, line);
    Printed out;
    HeadlessWindow w(out.file());
    MainDialog dialog(w, engine, "");
    dialog.setFilterSender([&](const FilterChoice&, int) {
        engine.startlogging(true, dm::kSourcePort, nullptr);
        return true;
    });
    w.setTimerHandler([&](int id) { dialog.OnTimer(id); });
    dialog.OnInitDialog(false);
    w.setText(ctl::kCustomPort, "/dev/fakedm0");
    w.setText(ctl::kLogPath, (dir.path() / "missing" / "cap.kvx").string());
    std::chrono::steady_clock::time_point idleAt{};
    dialog.setStateObserver([&](UiState s) {
        if (s == UiState::Idle && dialog.workerExitCode() == capture::kExitLogNotCreated) {
            idleAt = std::chrono::steady_clock::now();
            w.close();
        }
    });
    const auto began = std::chrono::steady_clock::now();
    w.post([&] { dialog.OnStart(); });
    std::atomic<bool> done{false};
    std::thread guard([&] {
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (!done.load() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(10ms);
        }
        w.close();
    });
    w.run();
    done.store(true);
    guard.join();
    ASSERT_NE(idleAt, std::chrono::steady_clock::time_point{}) << "never returned to Idle";
    EXPECT_LT(idleAt - began, 3s);
    EXPECT_EQ(w.getText(ctl::kStart), "Start");
    EXPECT_FALSE(w.enabled(ctl::kStop));
    EXPECT_NE(out.text().find("Could not create output file. ("), std::string::npos);
    EXPECT_NE(out.text().find("Ready\n"), std::string::npos);
}

}  // namespace
}  // namespace kvx::app
