// The thread rules of capture::Window for a front end whose controls belong to one thread
// (every desktop toolkit): calls from other threads are queued as value copies and run on the
// window's thread in the order made; the caller never waits for that thread. Reads from other
// threads see the last texts and ticks the window's thread had. Engine notifications are
// queued as copies too, at most kMaxQueuedNotes at a time (fields refresh every two seconds, so
// while the window lags far behind newer ones are dropped rather than queued without bound).
//
// A front end derives from it, implements the do* operations over its widgets (called on the
// window's thread only), reports the user's own edits and ticks with remember*, and runs
// runPosted() on its thread whenever the wake function it gave is called.
// Threads: construct on the window's thread; runPosted() there; the rest from any thread.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "capture/Window.h"

namespace kvx::app {

// Calls queued for one thread, run in the order posted; posting never waits for that thread.
class CallQueue {
  public:
    // `wake`: called from the posting thread when the queue turns non-empty.
    explicit CallQueue(std::function<void()> wake) : wake_(std::move(wake)) {}
    void post(std::function<void()> call);
    // Runs every queued call, oldest first (the owning thread).
    void runPosted();

  private:
    std::function<void()> wake_;
    std::mutex mutex_;
    std::deque<std::function<void()>> posted_;
};

class PostedWindow : public capture::Window {
  public:
    static constexpr int kMaxQueuedNotes = 4096;

    // `wake`: called from the posting thread when the queue turns non-empty; the front end
    // then has runPosted() called on its own thread (a posted window message, a queued call).
    explicit PostedWindow(std::function<void()> wake);

    // Runs every queued call, oldest first (the window's thread).
    void runPosted();
    // Queues `call` for the window's thread, even when called there (it then runs after the
    // current handler, never inside it).
    void post(std::function<void()> call);
    bool onWindowThread() const { return std::this_thread::get_id() == windowThread_; }

    // ---- capture::Window ---------------------------------------------------------------------
    bool isChecked(int id) final;
    void setChecked(int id, bool checked) final;
    std::string getText(int id) final;
    void setText(int id, const std::string& text) final;
    void enable(int id, bool on) final;
    void setStatus(const std::string& text) final;
    void messageBox(const std::string& text) final;
    void startTimer(int id, int periodMs) final;
    void stopTimer(int id) final;
    void fireTimerSoon(int id) final;
    void close() final;
    void notify(uint32_t messageId, const dm::InfoNotification& note) final;

  protected:
    // The user changed a control's text or tick (the window's thread): other threads read it.
    void rememberText(int id, const std::string& text);
    void rememberCheck(int id, bool checked);

    // ---- the window's thread only ------------------------------------------------------------
    virtual bool doIsChecked(int id) = 0;
    virtual void doSetChecked(int id, bool checked) = 0;
    virtual std::string doGetText(int id) = 0;
    virtual void doSetText(int id, const std::string& text) = 0;
    virtual void doEnable(int id, bool on) = 0;
    virtual void doSetStatus(const std::string& text) = 0;
    virtual void doMessageBox(const std::string& text) = 0;
    virtual void doStartTimer(int id, int periodMs) = 0;
    virtual void doStopTimer(int id) = 0;
    virtual bool timerRunning(int id) const = 0;
    virtual void onTimer(int id) = 0;  // fireTimerSoon's call, when the timer still runs
    virtual void doClose() = 0;
    virtual void onNotify(const dm::InfoNotification& note) = 0;

  private:
    CallQueue queue_;
    std::thread::id windowThread_;
    std::mutex mutex_;  // the texts and ticks other threads read
    std::map<int, std::string> texts_;
    std::map<int, bool> checks_;
    std::atomic<int> queuedNotes_{0};
};

}  // namespace kvx::app
