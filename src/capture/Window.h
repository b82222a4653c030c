// The few window operations capture needs: check boxes, edits, enabling, button texts, the
// status pane, message boxes, periodic timers by id, and engine notifications. The desktop
// front end implements it with Qt, the command line and the tests headless.
//
// Threads: every operation may be called from any thread. An implementation hands calls from
// other threads to its own thread as value copies and never makes the caller wait for that
// thread (the worker must not wait on the window while Stop waits on the worker).
// Timer callbacks run on the window's own thread.
#pragma once

#include <string>

#include "dm/Notify.h"

namespace kvx::capture {

// Control ids of the main window that capture reads or changes.
namespace ctl {
inline constexpr int kStart = 1;          // "Start" / "Start New"
inline constexpr int kExit = 2;
inline constexpr int kStop = 1002;
inline constexpr int kBrowseFilter = 1003;
inline constexpr int kFilterPath = 1005;
inline constexpr int kLogPath = 1006;
inline constexpr int kBrowseLog = 1007;
inline constexpr int kLimit = 1016;
inline constexpr int kMultipleFiles = 1017;
inline constexpr int kUnitMb = 1020;
inline constexpr int kUnitMinutes = 1021;
inline constexpr int kSourceFile = 1037;
inline constexpr int kSourceGui = 1038;
inline constexpr int kShowInfo = 1043;
inline constexpr int kCustomPort = 1050;
inline constexpr int kPortCombo = 1057;
inline constexpr int kRawFileBox = 1058;
inline constexpr int kRawFilePath = 1059;
}  // namespace ctl

// Timer ids of the main window.
namespace timer {
inline constexpr int kStatus = 1625;    // 2000 ms: status line, watchdog, capacity
inline constexpr int kRequests = 1626;  // 2000 ms: periodic status requests
inline constexpr int kExitWatch = 1627; // 1000 ms: worker exit watch
}  // namespace timer

class Window : public dm::NotifyTarget {
public:
    ~Window() override = default;

    virtual bool isChecked(int id) = 0;
    virtual void setChecked(int id, bool checked) = 0;
    virtual std::string getText(int id) = 0;
    virtual void setText(int id, const std::string& text) = 0;  // edits and button captions
    virtual void enable(int id, bool on) = 0;
    virtual void setStatus(const std::string& text) = 0;        // status bar pane 0
    virtual void messageBox(const std::string& text) = 0;       // modal, OK button
    virtual void startTimer(int id, int periodMs) = 0;
    virtual void stopTimer(int id) = 0;
    // Any thread: asks the window's thread to run timer `id`'s handler once, soon, if that
    // timer is running then (its period is unchanged). The worker's end uses it so that the
    // exit watch need not wait for its next tick. Windows without it keep the period's delay.
    virtual void fireTimerSoon(int /*id*/) {}
    // Ends the program's main loop (the dialog's end); used by exit paths.
    virtual void close() = 0;
};

}  // namespace kvx::capture
