// The memory-dump dialog ("KvxMemDebug Tool", dialog 142) without its window: the handlers
// of its controls, the dump worker, and what each progress, region and result message shows.
// A window (the Qt dialog, or a test) implements MemDebugView and forwards its events:
//
//   init()                 once, when the main window creates the dialog (hidden)
//   onSpecifyPortClicked() check box "Specify Port Number" (1061) clicked
//   onStart()              "Start" (1): starts a dump on a worker thread unless one runs
//   onExit()               "Exit" (2), the close box and Escape
//   onReset()              "Reset" (1063)
//
// Threads: the handlers run on the window's (user-interface) thread. The dump worker calls
// MemDebugView::setText, enable and messageBox from its own thread; the view must hand those
// to its thread as value copies and return at once (a Qt view: queued signals), so that the
// worker never waits on the window while the window may wait on the worker. getText,
// isChecked, askYesNo and hide are only ever called on the window's thread.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "memdump/CompanionApps.h"
#include "memdump/DumpTexts.h"
#include "memdump/MemDebugClient.h"

namespace kvx::memdump {

// Control ids of dialog 142.
namespace dlg {
inline constexpr int kStart = 1;
inline constexpr int kExit = 2;
inline constexpr int kSpecifyPort = 1061;  // check box "Specify Port Number"
inline constexpr int kPortEdit = 1062;     // port number, or "AutoDetect" while disabled
inline constexpr int kReset = 1063;
inline constexpr int kRegionText = 1064;   // region list or failure text; initially "Regions"
inline constexpr int kStateText = 1065;    // initially "State"
inline constexpr int kProgressText = 1066; // initially "Progress"
inline constexpr int kInstructions = 1067; // multi-line read-only edit
}  // namespace dlg

inline constexpr const char* kDialogTitle = "KvxMemDebug Tool";
inline constexpr const char* kInstructionsFile = "KvxMemDebug.txt";
inline constexpr const char* kAutoDetect = "AutoDetect";
inline constexpr const char* kExitQuestion =
    "Closing the application will terminate the memory logging process.\nDo you want to exit?";
inline constexpr const char* kResetQuestion =
    "Please do not reset the modem until the log has been collected.\nResetting the modem will "
    "clear the log from the device.\nDo you wish to reset the device?";

// What the dialog logic needs of its window. See the thread rules above.
class MemDebugView {
  public:
    virtual ~MemDebugView() = default;
    virtual void setText(int id, const std::string& text) = 0;  // edits and statics
    virtual std::string getText(int id) = 0;
    virtual bool isChecked(int id) = 0;
    virtual void enable(int id, bool on) = 0;
    virtual void messageBox(const std::string& text) = 0;  // OK button only
    virtual bool askYesNo(const std::string& text) = 0;    // question icon; true on Yes
    virtual void hide() = 0;                               // the dialog ends (hidden, kept)
};

class MemDebugDialogLogic {
  public:
    // `apps` may be null: no companion application is ever found.
    MemDebugDialogLogic(MemDebugView& view, std::unique_ptr<CompanionApps> apps);
    // Aborts a dump still running and waits for its worker.
    ~MemDebugDialogLogic();
    MemDebugDialogLogic(const MemDebugDialogLogic&) = delete;
    MemDebugDialogLogic& operator=(const MemDebugDialogLogic&) = delete;

    // Called on each client a dump or a reset creates, before it is used: the output folder
    // (default: the current working directory), discovery roots, timing.
    void setClientSetup(std::function<void(MemDebugClient&)> setup) { setup_ = std::move(setup); }
    // Where init() looks for the instructions file; default: the current working directory.
    void setInstructionsFolder(std::string folder) { instructionsFolder_ = std::move(folder); }

    void init();
    void onSpecifyPortClicked();
    void onStart();
    // True when the dialog ended (hidden); false when the user chose to keep it open.
    bool onExit();
    void onReset();

    // True from Start until the worker ends, or until a confirmed Exit.
    bool running() const;
    // Waits until no worker exists any more (for tests and shutdown); false on time-out.
    bool waitForWorker(std::chrono::milliseconds timeout);
    // The result of the last dump that ended, -1 before any.
    int lastResult() const;

    // The port for a dump or a reset: when "Specify Port Number" is checked, the decimal
    // number at the start of the edit's text (0 when it begins with none) as COM<n>, or the
    // text itself when it is a device path (begins with '/'); otherwise "" (auto-detect).
    std::string portFromControls();
    // The instructions text: every newline (LF or CR LF) becomes CR LF.
    static std::string instructionsText(const std::string& fileContents);

  private:
    class Reporter;
    void worker(std::string port);
    void show(const ResultTexts& texts);

    MemDebugView& view_;
    std::unique_ptr<CompanionApps> apps_;
    std::function<void(MemDebugClient&)> setup_;
    std::string instructionsFolder_ = ".";

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    bool running_ = false;
    bool workerAlive_ = false;
    MemDebugClient* client_ = nullptr;  // the running worker's client, for abort
    int lastResult_ = -1;
    std::thread thread_;
};

}  // namespace kvx::memdump
