#include "GuiQueue.h"

#include <fcntl.h>
#include <unistd.h>

#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>

namespace kvx::gui {

GuiQueue::GuiQueue(QObject* owner) : owner_(owner), guiThread_(std::this_thread::get_id()) {
    if (::pipe2(pipe_, O_NONBLOCK | O_CLOEXEC) == 0) {
        notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read);
        QObject::connect(notifier_, &QSocketNotifier::activated, owner_, [this] { runPosted(); });
    }
}

GuiQueue::~GuiQueue() {
    delete notifier_;
    for (int fd : pipe_) {
        if (fd >= 0) ::close(fd);
    }
}

void GuiQueue::post(std::function<void()> call) {
    bool wake;
    {
        std::lock_guard lock(mutex_);
        wake = posted_.empty();
        posted_.push_back(std::move(call));
    }
    // One byte per empty-to-busy change; the GUI thread takes the whole queue when it wakes.
    if (!wake) return;
    if (pipe_[1] < 0) {
        QMetaObject::invokeMethod(owner_, [this] { runPosted(); }, Qt::QueuedConnection);
        return;
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(pipe_[1], &byte, 1);
}

void GuiQueue::runPosted() {
    char bytes[64];
    while (pipe_[0] >= 0 && ::read(pipe_[0], bytes, sizeof bytes) > 0) {
    }
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard lock(mutex_);
        calls.swap(posted_);
    }
    for (auto& call : calls) call();
}

}  // namespace kvx::gui
