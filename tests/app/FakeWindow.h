// A window for tests: keeps every control's text, tick and enabled state, records each call
// in order, runs timers only when a test fires them, and queues notifications until a test
// delivers them. Thread-safe: the worker calls it too.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "capture/Window.h"

namespace kvx::testing {

class FakeWindow : public capture::Window {
  public:
    struct Call {
        enum Kind { Enable, SetText, SetChecked, Status, Box, StartTimer, StopTimer, Close, FireSoon } kind;
        int id = 0;
        std::string text;
        bool on = false;
    };

    bool isChecked(int id) override {
        std::lock_guard lock(mutex_);
        return checked_[id];
    }
    void setChecked(int id, bool checked) override {
        std::lock_guard lock(mutex_);
        checked_[id] = checked;
        calls_.push_back({Call::SetChecked, id, {}, checked});
    }
    std::string getText(int id) override {
        std::lock_guard lock(mutex_);
        return texts_[id];
    }
    void setText(int id, const std::string& text) override {
        std::lock_guard lock(mutex_);
        texts_[id] = text;
        calls_.push_back({Call::SetText, id, text, false});
    }
    void enable(int id, bool on) override {
        std::lock_guard lock(mutex_);
        enabled_[id] = on;
        calls_.push_back({Call::Enable, id, {}, on});
    }
    void setStatus(const std::string& text) override {
        std::lock_guard lock(mutex_);
        status_ = text;
        statuses_.push_back(text);
        calls_.push_back({Call::Status, 0, text, false});
    }
    void messageBox(const std::string& text) override {
        std::lock_guard lock(mutex_);
        boxes_.push_back(text);
        calls_.push_back({Call::Box, 0, text, false});
        changed_.notify_all();
    }
    void startTimer(int id, int periodMs) override {
        {
            std::lock_guard lock(mutex_);
            timers_[id] = periodMs;
            calls_.push_back({Call::StartTimer, id, std::to_string(periodMs), true});
            changed_.notify_all();
        }
        if (onStartTimer) onStartTimer(id);
    }
    // Recorded only: a test fires timers itself.
    void fireTimerSoon(int id) override {
        std::lock_guard lock(mutex_);
        calls_.push_back({Call::FireSoon, id, {}, false});
        changed_.notify_all();
    }
    void stopTimer(int id) override {
        std::lock_guard lock(mutex_);
        timers_.erase(id);
        calls_.push_back({Call::StopTimer, id, {}, false});
    }
    void close() override {
        std::lock_guard lock(mutex_);
        closed_ = true;
        calls_.push_back({Call::Close, 0, {}, false});
    }
    void notify(uint32_t messageId, const dm::InfoNotification& note) override {
        std::lock_guard lock(mutex_);
        if (messageId == dm::kInfoMessage) notes_.push_back(note);
    }

    // ---- test side -------------------------------------------------------------------------

    // Where fired timers and delivered notifications go (the dialog's handlers).
    std::function<void(int)> onTimer;
    std::function<void(const dm::InfoNotification&)> onNotify;
    // Called (outside the window's lock) on the calling thread after a timer was started.
    std::function<void(int)> onStartTimer;

    // Runs timer `id` once if it is running; false when it is not.
    bool fire(int id) {
        if (!timerRunning(id)) return false;
        if (onTimer) onTimer(id);
        return true;
    }
    // Hands the queued notifications to onNotify, as the window's thread would.
    size_t deliverNotifications() {
        std::deque<dm::InfoNotification> queued;
        {
            std::lock_guard lock(mutex_);
            queued.swap(notes_);
        }
        for (const auto& note : queued) {
            if (onNotify) onNotify(note);
        }
        return queued.size();
    }

    bool timerRunning(int id) const {
        std::lock_guard lock(mutex_);
        return timers_.count(id) != 0;
    }
    int timerPeriod(int id) const {
        std::lock_guard lock(mutex_);
        auto it = timers_.find(id);
        return it == timers_.end() ? 0 : it->second;
    }
    // Waits (up to `ms`) until timer `id` runs; the worker starts 1626 from its own thread.
    bool waitTimer(int id, int ms) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                                 [&] { return timers_.count(id) != 0; });
    }
    bool waitBox(size_t count, int ms) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                                 [&] { return boxes_.size() >= count; });
    }
    bool enabled(int id) const {
        std::lock_guard lock(mutex_);
        auto it = enabled_.find(id);
        return it != enabled_.end() && it->second;
    }
    bool everSet(int id) const {
        std::lock_guard lock(mutex_);
        return enabled_.count(id) != 0;
    }
    std::string text(int id) const {
        std::lock_guard lock(mutex_);
        auto it = texts_.find(id);
        return it == texts_.end() ? std::string() : it->second;
    }
    std::string status() const {
        std::lock_guard lock(mutex_);
        return status_;
    }
    std::vector<std::string> statuses() const {
        std::lock_guard lock(mutex_);
        return statuses_;
    }
    std::vector<std::string> boxes() const {
        std::lock_guard lock(mutex_);
        return boxes_;
    }
    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void clearCalls() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }
    // Every text ever given to control `id`, in order.
    std::vector<std::string> textsOf(int id) const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& c : calls_) {
            if (c.kind == Call::SetText && c.id == id) out.push_back(c.text);
        }
        return out;
    }
    // How often the window was asked to run timer `id` soon.
    size_t fireSoonCount(int id) const {
        std::lock_guard lock(mutex_);
        return static_cast<size_t>(std::count_if(calls_.begin(), calls_.end(), [&](const Call& c) {
            return c.kind == Call::FireSoon && c.id == id;
        }));
    }
    bool closed() const {
        std::lock_guard lock(mutex_);
        return closed_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, bool> checked_;
    std::map<int, std::string> texts_;
    std::map<int, bool> enabled_;
    std::map<int, int> timers_;
    std::string status_;
    std::vector<std::string> statuses_;
    std::vector<std::string> boxes_;
    std::vector<Call> calls_;
    std::deque<dm::InfoNotification> notes_;
    bool closed_ = false;
};

}  // namespace kvx::testing
