// The thread rules every desktop front end shares (app::PostedWindow): calls from other threads
// wait in the queue as copies until the window's thread runs it, in order, and never make the
// caller wait; reads from other threads see what the window's thread last had.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/PostedWindow.h"

namespace kvx::app {
namespace {

// Widgets as plain values; each do* call is logged so the order can be checked.
class RecordingWindow final : public PostedWindow {
  public:
    RecordingWindow() : PostedWindow([this] { wakes.fetch_add(1); }) {}

    std::atomic<int> wakes{0};
    std::vector<std::string> calls;
    std::map<int, std::string> texts;
    std::map<int, bool> checks;
    std::set<int> timers;
    std::vector<int> timerRuns;
    std::vector<dm::InfoNotification> notes;

    // The user typing into a control, as the front end reports it.
    void userTypes(int id, const std::string& text) {
        texts[id] = text;
        rememberText(id, text);
    }

  protected:
    bool doIsChecked(int id) override { return checks[id]; }
    void doSetChecked(int id, bool on) override {
        checks[id] = on;
        calls.push_back("check " + std::to_string(id));
    }
    std::string doGetText(int id) override { return texts[id]; }
    void doSetText(int id, const std::string& text) override {
        texts[id] = text;
        calls.push_back("text " + std::to_string(id) + " " + text);
    }
    void doEnable(int id, bool on) override {
        calls.push_back("enable " + std::to_string(id) + (on ? " on" : " off"));
    }
    void doSetStatus(const std::string& text) override { calls.push_back("status " + text); }
    void doMessageBox(const std::string& text) override { calls.push_back("box " + text); }
    void doStartTimer(int id, int ms) override {
        timers.insert(id);
        calls.push_back("start " + std::to_string(id) + " " + std::to_string(ms));
    }
    void doStopTimer(int id) override {
        timers.erase(id);
        calls.push_back("stop " + std::to_string(id));
    }
    bool timerRunning(int id) const override { return timers.count(id) != 0; }
    void onTimer(int id) override { timerRuns.push_back(id); }
    void doClose() override { calls.push_back("close"); }
    void onNotify(const dm::InfoNotification& note) override { notes.push_back(note); }
};

template <typename F>
void onOtherThread(F&& f) {
    std::thread t(std::forward<F>(f));
    t.join();
}

TEST(PostedWindow, CallsFromOtherThreadsWaitAsCopiesAndRunInOrder) {
    RecordingWindow w;
    onOtherThread([&] {
        std::string text = "C:\\logs\\KvxLog-20250313_154000.kvx";
        w.setText(1006, text);
        text = "changed after posting";  // the queue holds its own copy
        w.enable(1002, true);
        w.setStatus(" Bytes: 10, Packets: 1, Errors: 0 (crc), 0 (size)");
        w.messageBox("Could not communicate with the modem");
        w.startTimer(1626, 2000);
        w.setChecked(1017, true);
        w.close();
    });
    EXPECT_TRUE(w.calls.empty()) << "nothing may run on the calling thread";
    EXPECT_EQ(w.wakes.load(), 1) << "one wake per empty-to-busy change";
    w.runPosted();
    const std::vector<std::string> expected = {
        "text 1006 C:\\logs\\KvxLog-20250313_154000.kvx",
        "enable 1002 on",
        "status  Bytes: 10, Packets: 1, Errors: 0 (crc), 0 (size)",
        "box Could not communicate with the modem",
        "start 1626 2000",
        "check 1017",
        "close"};
    EXPECT_EQ(w.calls, expected);
    // Empty again: the next post wakes the window once more.
    onOtherThread([&] { w.enable(1043, false); });
    EXPECT_EQ(w.wakes.load(), 2);
}

TEST(PostedWindow, WindowThreadActsAtOnceAndOtherThreadsReadTheLastValues) {
    RecordingWindow w;
    w.setText(1005, "filter.sqf");
    w.setChecked(1058, true);
    w.userTypes(1050, "12");
    ASSERT_EQ(w.calls.size(), 2u) << "calls on the window's thread are not queued";
    EXPECT_EQ(w.wakes.load(), 0);
    std::string seen1005, seen1050, seenMissing;
    bool ticked = false, unticked = true;
    onOtherThread([&] {
        seen1005 = w.getText(1005);
        seen1050 = w.getText(1050);
        seenMissing = w.getText(4711);
        ticked = w.isChecked(1058);
        unticked = w.isChecked(1017);
    });
    EXPECT_EQ(seen1005, "filter.sqf");
    EXPECT_EQ(seen1050, "12") << "the user's own typing reaches other threads";
    EXPECT_EQ(seenMissing, "");
    EXPECT_TRUE(ticked);
    EXPECT_FALSE(unticked);
}

TEST(PostedWindow, TimerSoonRunsOnlyWhileTheTimerRunsAndNeverInsideTheCaller) {
    RecordingWindow w;
    w.startTimer(1627, 1000);
    w.fireTimerSoon(1627);
    w.fireTimerSoon(1625);  // not running: nothing
    EXPECT_TRUE(w.timerRuns.empty()) << "queued even on the window's thread";
    w.runPosted();
    EXPECT_EQ(w.timerRuns, std::vector<int>{1627});
    w.fireTimerSoon(1627);
    w.stopTimer(1627);  // stopped before the queue runs: the call finds it stopped
    w.runPosted();
    EXPECT_EQ(w.timerRuns, std::vector<int>{1627});
    w.startTimer(1625, 0);
    EXPECT_EQ(w.calls.back(), "start 1625 1") << "a period of 0 still ticks";
}

TEST(PostedWindow, NotificationsAreCopiesAndBoundedWhileTheWindowLags) {
    RecordingWindow w;
    onOtherThread([&] {
        dm::InfoNotification note;
        for (int i = 0; i < PostedWindow::kMaxQueuedNotes + 100; ++i) {
            note.field = i % 17;
            note.text = "IMSI " + std::to_string(i);
            w.notify(dm::kInfoMessage, note);
        }
        note.field = 3;
        w.notify(dm::kInfoMessage + 1, note);  // another message: not ours
    });
    w.runPosted();
    ASSERT_EQ(w.notes.size(), static_cast<size_t>(PostedWindow::kMaxQueuedNotes));
    EXPECT_EQ(w.notes.front().text, "IMSI 0");
    EXPECT_EQ(w.notes.back().text, "IMSI " + std::to_string(PostedWindow::kMaxQueuedNotes - 1));
    // Once handled, room again.
    onOtherThread([&] { w.notify(dm::kInfoMessage, dm::InfoNotification{5, "Cell 17"}); });
    w.runPosted();
    EXPECT_EQ(w.notes.back().text, "Cell 17");
}

}  // namespace
}  // namespace kvx::app
