#include "app/HeadlessWindow.h"

#include <algorithm>
#include <vector>

namespace kvx::app {

HeadlessWindow::HeadlessWindow(std::FILE* out) : out_(out) {}

bool HeadlessWindow::isChecked(int id) {
    std::lock_guard lock(mutex_);
    auto it = checked_.find(id);
    return it != checked_.end() && it->second;
}

void HeadlessWindow::setChecked(int id, bool checked) {
    std::lock_guard lock(mutex_);
    checked_[id] = checked;
}

std::string HeadlessWindow::getText(int id) {
    std::lock_guard lock(mutex_);
    auto it = texts_.find(id);
    return it == texts_.end() ? std::string() : it->second;
}

void HeadlessWindow::setText(int id, const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        texts_[id] = text;
    }
    if (textObserver_) textObserver_(id, text);
}

void HeadlessWindow::enable(int id, bool on) {
    std::lock_guard lock(mutex_);
    enabled_[id] = on;
}

bool HeadlessWindow::enabled(int id) {
    std::lock_guard lock(mutex_);
    auto it = enabled_.find(id);
    return it != enabled_.end() && it->second;
}

void HeadlessWindow::setPrintStatus(bool on) {
    std::lock_guard lock(mutex_);
    printStatus_ = on;
}

void HeadlessWindow::setStatus(const std::string& text) {
    bool print;
    {
        std::lock_guard lock(mutex_);
        print = printStatus_;
    }
    if (!print || out_ == nullptr) return;
    std::lock_guard lock(printMutex_);
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

void HeadlessWindow::setMessagePrefix(std::string prefix) {
    std::lock_guard lock(printMutex_);
    messagePrefix_ = std::move(prefix);
}

void HeadlessWindow::messageBox(const std::string& text) {
    if (out_ == nullptr) return;
    // Printed at once, from whichever thread: a box never waits for the loop.
    std::lock_guard lock(printMutex_);
    if (messagePrefix_.empty()) {
        std::fputs(text.c_str(), out_);
        if (text.empty() || text.back() != '\n') std::fputc('\n', out_);
    } else {
        size_t at = 0;
        do {
            size_t end = text.find('\n', at);
            if (end == std::string::npos) end = text.size();
            std::fprintf(out_, "%s%.*s\n", messagePrefix_.c_str(), static_cast<int>(end - at),
                         text.data() + at);
            at = end + 1;
        } while (at < text.size());
    }
    std::fflush(out_);
}

void HeadlessWindow::startTimer(int id, int periodMs) {
    std::lock_guard lock(mutex_);
    const auto period = std::chrono::milliseconds(periodMs > 0 ? periodMs : 1);
    timers_[id] = Timer{period, std::chrono::steady_clock::now() + period};
    wake_.notify_all();
}

void HeadlessWindow::stopTimer(int id) {
    std::lock_guard lock(mutex_);
    timers_.erase(id);
}

void HeadlessWindow::fireTimerSoon(int id) {
    post([this, id] {
        if (timerRunning(id) && !closed() && timerHandler_) timerHandler_(id);
    });
}

bool HeadlessWindow::timerRunning(int id) {
    std::lock_guard lock(mutex_);
    return timers_.count(id) != 0;
}

void HeadlessWindow::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    wake_.notify_all();
}

bool HeadlessWindow::closed() {
    std::lock_guard lock(mutex_);
    return closed_;
}

void HeadlessWindow::notify(uint32_t messageId, const dm::InfoNotification& note) {
    if (messageId != dm::kInfoMessage || !notesWanted_.load(std::memory_order_relaxed)) return;
    std::lock_guard lock(mutex_);
    for (auto& waiting : notes_) {
        if (waiting.field == note.field) {
            waiting.text = note.text;
            return;
        }
    }
    // Fields are refreshed every two seconds anyway: while nobody runs the loop, notes of
    // fields beyond the bound are dropped rather than kept without limit.
    if (notes_.size() >= kMaxWaitingFields) return;
    notes_.push_back(note);
    if (notes_.size() == 1) {
        notesDue_ = std::max(std::chrono::steady_clock::now(), notesTaken_ + kNotePeriod);
        wake_.notify_all();
    }
}

void HeadlessWindow::post(std::function<void()> call) {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(call));
    wake_.notify_all();
}

void HeadlessWindow::run() {
    std::unique_lock lock(mutex_);
    while (!closed_) {
        auto next = std::chrono::steady_clock::time_point::max();
        for (const auto& [id, t] : timers_) next = std::min(next, t.due);
        if (!notes_.empty()) next = std::min(next, notesDue_);
        if (posted_.empty()) {
            if (next == std::chrono::steady_clock::time_point::max()) {
                wake_.wait(lock);
            } else {
                wake_.wait_until(lock, next);
            }
        }
        if (closed_) break;

        std::deque<std::function<void()>> calls;
        calls.swap(posted_);
        std::vector<int> due;
        const auto now = std::chrono::steady_clock::now();
        std::vector<dm::InfoNotification> notes;
        if (!notes_.empty() && notesDue_ <= now) {
            notes.swap(notes_);
            notesTaken_ = now;
        }
        for (auto& [id, t] : timers_) {
            if (t.due <= now) {
                due.push_back(id);
                // A late loop does not fire a timer twice to catch up.
                t.due = std::max(t.due + t.period, now + t.period / 2);
            }
        }
        lock.unlock();
        for (auto& call : calls) call();
        if (notifyHandler_) {
            for (const auto& note : notes) notifyHandler_(note);
        }
        for (int id : due) {
            // A handler may have stopped a timer that was due as well.
            bool still;
            {
                std::lock_guard check(mutex_);
                still = timers_.count(id) != 0 && !closed_;
            }
            if (still && timerHandler_) timerHandler_(id);
        }
        lock.lock();
    }
}

}  // namespace kvx::app
