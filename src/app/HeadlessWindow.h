// A window without a screen, for the command line: it keeps the controls' texts, ticks and
// enabled states, runs an event loop on the thread that calls run() with periodic timers on
// the steady clock, queues calls from other threads (notifications, Stop from a signal thread)
// onto that loop, and prints message boxes and status lines to a stream (stderr).
//
// Threads: every Window operation and post() may be called from any thread; run() on one
// thread, which then runs every timer callback, notification handler and posted call.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "capture/Window.h"

namespace kvx::app {

class HeadlessWindow : public capture::Window {
  public:
    // Message boxes and status lines go to `out` (not owned; stderr by default).
    explicit HeadlessWindow(std::FILE* out = stderr);

    bool isChecked(int id) override;
    void setChecked(int id, bool checked) override;
    std::string getText(int id) override;
    void setText(int id, const std::string& text) override;
    void enable(int id, bool on) override;
    bool enabled(int id);
    void setStatus(const std::string& text) override;
    void messageBox(const std::string& text) override;
    void startTimer(int id, int periodMs) override;
    void stopTimer(int id) override;
    void fireTimerSoon(int id) override;
    void close() override;
    // Kept as a copy and handled on the loop by the notification handler. A field shows only
    // its latest text: notes that come while earlier ones of the same field still wait replace
    // them, and the loop takes the waiting notes together, in the order their fields first
    // came, at most every kNotePeriod (at once after a quiet spell). A modem streaming
    // thousands of decodable packets a second so wakes the loop a few times a second, not for
    // every packet.
    void notify(uint32_t messageId, const dm::InfoNotification& note) override;
    static constexpr std::chrono::milliseconds kNotePeriod{100};

    // ---- the loop ------------------------------------------------------------------------------
    // Handlers run on the loop's thread: timers by id, notifications, texts set (any thread:
    // called on the setting thread, after the text is stored).
    void setTimerHandler(std::function<void(int)> handler) { timerHandler_ = std::move(handler); }
    void setNotifyHandler(std::function<void(const dm::InfoNotification&)> handler) {
        notifyHandler_ = std::move(handler);
    }
    void setTextObserver(std::function<void(int, const std::string&)> observer) {
        textObserver_ = std::move(observer);
    }
    // Status lines are printed only when this is on (default on).
    void setPrintStatus(bool on);
    // Put before each line of a message box (a journal's severity mark, "<3>"); default none.
    void setMessagePrefix(std::string prefix);
    // Engine notifications are handed to the loop only when this is on (default on): a run
    // that shows no Info Box (a conversion) does not pay for them.
    void setNotificationsWanted(bool on) { notesWanted_.store(on); }
    // The radio values of log items are decoded for the window only when this is on (default
    // on): a run that prints no Info Box fields still hears of replies (the subsystem mark).
    void setLogFieldsWanted(bool on) { logFieldsWanted_.store(on); }
    bool wantsLogFields() const override {
        return logFieldsWanted_.load(std::memory_order_relaxed) &&
               notesWanted_.load(std::memory_order_relaxed);
    }

    // Runs `call` on the loop's thread, after the calls posted before it.
    void post(std::function<void()> call);
    // Runs the loop until close(); returns at once when close() came before.
    void run();
    bool closed();
    bool timerRunning(int id);

  private:
    struct Timer {
        std::chrono::milliseconds period;
        std::chrono::steady_clock::time_point due;
    };

    std::FILE* out_;
    std::mutex mutex_;
    std::mutex printMutex_;
    std::condition_variable wake_;
    std::map<int, bool> checked_;
    std::map<int, std::string> texts_;
    std::map<int, bool> enabled_;
    std::map<int, Timer> timers_;
    std::deque<std::function<void()>> posted_;
    bool closed_ = false;
    bool printStatus_ = true;
    std::string messagePrefix_;
    std::atomic<bool> notesWanted_{true};
    std::atomic<bool> logFieldsWanted_{true};
    // Waiting notes, one per field (at most kMaxWaitingFields fields; notes of more are
    // dropped until the loop has taken these), and when the loop takes them.
    static constexpr size_t kMaxWaitingFields = 64;
    std::vector<dm::InfoNotification> notes_;
    std::chrono::steady_clock::time_point notesDue_{};
    std::chrono::steady_clock::time_point notesTaken_{};

    std::function<void(int)> timerHandler_;
    std::function<void(const dm::InfoNotification&)> notifyHandler_;
    std::function<void(int, const std::string&)> textObserver_;
};

}  // namespace kvx::app
