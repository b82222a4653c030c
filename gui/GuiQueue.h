// Calls from other threads to the GUI thread, as value copies: a queue of our own under our own
// lock, woken through a pipe that a socket notifier watches. Posting never waits for the GUI
// thread, calls run in the order posted, and the values cross threads under a lock that the
// thread sanitizer sees (Qt's own queue locks with futexes it cannot).
// Threads: construct and destroy on the GUI thread; post() from any thread.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class QObject;
class QSocketNotifier;

namespace kvx::gui {

class GuiQueue {
  public:
    // `owner` lives on the GUI thread and outlives the queue; posted calls run in its events.
    explicit GuiQueue(QObject* owner);
    ~GuiQueue();
    GuiQueue(const GuiQueue&) = delete;
    GuiQueue& operator=(const GuiQueue&) = delete;

    void post(std::function<void()> call);
    bool onGuiThread() const { return std::this_thread::get_id() == guiThread_; }

  private:
    void runPosted();

    QObject* owner_;
    std::thread::id guiThread_;
    std::mutex mutex_;
    std::deque<std::function<void()>> posted_;
    int pipe_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace kvx::gui
