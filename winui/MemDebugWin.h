// The "KvxMemDebug Tool" window, dialog 142, over the dialog logic of the memory dump
// (memdump::MemDebugDialogLogic), which runs the dump worker and decides every text.
// Modeless, created hidden without an owner and only hidden afterwards.
// Threads: the window's thread; the dump worker's texts, enabling and message boxes are
// posted to it as copies and never make the worker wait.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "app/PostedWindow.h"
#include "memdump/MemDebugDialogLogic.h"

namespace kvx::winui {

class MemDebugWin final : public memdump::MemDebugView {
  public:
    // `apps` null: the system's top-level windows are looked at.
    MemDebugWin(HINSTANCE instance, std::unique_ptr<memdump::CompanionApps> apps = nullptr);
    ~MemDebugWin() override;
    MemDebugWin(const MemDebugWin&) = delete;
    MemDebugWin& operator=(const MemDebugWin&) = delete;

    HWND handle() const { return hwnd_; }
    void show();
    memdump::MemDebugDialogLogic& logic() { return *logic_; }

    // ---- memdump::MemDebugView ---------------------------------------------------------------
    void setText(int id, const std::string& text) override;
    std::string getText(int id) override;
    bool isChecked(int id) override;
    void enable(int id, bool on) override;
    void messageBox(const std::string& text) override;
    bool askYesNo(const std::string& text) override;
    void hide() override;

  private:
    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
    bool onOwnThread() const { return std::this_thread::get_id() == thread_; }

    std::thread::id thread_;
    std::atomic<HWND> hwnd_{nullptr};
    app::CallQueue queue_;
    // Last: it joins a running worker before the window and the queue go.
    std::unique_ptr<memdump::MemDebugDialogLogic> logic_;
};

}  // namespace kvx::winui
