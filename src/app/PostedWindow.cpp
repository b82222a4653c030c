#include "app/PostedWindow.h"

#include <utility>

namespace kvx::app {

void CallQueue::post(std::function<void()> call) {
    bool wasEmpty;
    {
        std::lock_guard lock(mutex_);
        wasEmpty = posted_.empty();
        posted_.push_back(std::move(call));
    }
    // One wake per empty-to-busy change: runPosted takes the whole queue.
    if (wasEmpty && wake_) wake_();
}

void CallQueue::runPosted() {
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard lock(mutex_);
        calls.swap(posted_);
    }
    for (auto& call : calls) call();
}

PostedWindow::PostedWindow(std::function<void()> wake)
    : queue_(std::move(wake)), windowThread_(std::this_thread::get_id()) {}

void PostedWindow::post(std::function<void()> call) {
    queue_.post(std::move(call));
}

void PostedWindow::runPosted() {
    queue_.runPosted();
}

void PostedWindow::rememberText(int id, const std::string& text) {
    std::lock_guard lock(mutex_);
    texts_[id] = text;
}

void PostedWindow::rememberCheck(int id, bool checked) {
    std::lock_guard lock(mutex_);
    checks_[id] = checked;
}

bool PostedWindow::isChecked(int id) {
    if (onWindowThread()) return doIsChecked(id);
    std::lock_guard lock(mutex_);
    auto it = checks_.find(id);
    return it != checks_.end() && it->second;
}

void PostedWindow::setChecked(int id, bool checked) {
    if (!onWindowThread()) {
        post([this, id, checked] { setChecked(id, checked); });
        return;
    }
    doSetChecked(id, checked);
    rememberCheck(id, doIsChecked(id));
}

std::string PostedWindow::getText(int id) {
    if (onWindowThread()) return doGetText(id);
    std::lock_guard lock(mutex_);
    auto it = texts_.find(id);
    return it == texts_.end() ? std::string() : it->second;
}

void PostedWindow::setText(int id, const std::string& text) {
    if (!onWindowThread()) {
        post([this, id, text] { setText(id, text); });
        return;
    }
    doSetText(id, text);
    rememberText(id, doGetText(id));
}

void PostedWindow::enable(int id, bool on) {
    if (!onWindowThread()) {
        post([this, id, on] { enable(id, on); });
        return;
    }
    doEnable(id, on);
}

void PostedWindow::setStatus(const std::string& text) {
    if (!onWindowThread()) {
        post([this, text] { setStatus(text); });
        return;
    }
    doSetStatus(text);
}

void PostedWindow::messageBox(const std::string& text) {
    if (!onWindowThread()) {
        post([this, text] { messageBox(text); });
        return;
    }
    doMessageBox(text);
}

void PostedWindow::startTimer(int id, int periodMs) {
    if (!onWindowThread()) {
        post([this, id, periodMs] { startTimer(id, periodMs); });
        return;
    }
    doStartTimer(id, periodMs > 0 ? periodMs : 1);
}

void PostedWindow::stopTimer(int id) {
    if (!onWindowThread()) {
        post([this, id] { stopTimer(id); });
        return;
    }
    doStopTimer(id);
}

void PostedWindow::fireTimerSoon(int id) {
    // Queued even on the window's thread, so the handler never runs inside its caller.
    post([this, id] {
        if (timerRunning(id)) onTimer(id);
    });
}

void PostedWindow::close() {
    if (!onWindowThread()) {
        post([this] { close(); });
        return;
    }
    doClose();
}

void PostedWindow::notify(uint32_t messageId, const dm::InfoNotification& note) {
    if (messageId != dm::kInfoMessage) return;
    if (queuedNotes_.fetch_add(1) >= kMaxQueuedNotes) {
        queuedNotes_.fetch_sub(1);
        return;
    }
    post([this, note] {
        queuedNotes_.fetch_sub(1);
        onNotify(note);
    });
}

}  // namespace kvx::app
