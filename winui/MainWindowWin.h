// The main dialog on Windows: dialog 102 of the resource script, the capture::Window that
// app::MainDialog drives, and the handlers that are the window's own (common file dialogs,
// the filter trees, the settings, the Info Box, the memory-dump tool, minimised painting).
// Every capture decision stays in app::MainDialog; this class maps controls onto it.
//
// Threads: the dialog lives on the thread that calls run(). Calls from other threads (the
// worker, request threads) reach it as posted copies (app::PostedWindow), woken by a posted
// window message; nothing here makes another thread wait for the window.
#pragma once

#include <windows.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "FilterTreeWin.h"
#include "app/MainDialog.h"
#include "app/PostedWindow.h"
#include "dm/KvxLog.h"

namespace kvx::winui {

class InfoBoxWin;
class MemDebugWin;

// The window message that runs the posted calls.
inline constexpr UINT kRunPostedMessage = WM_APP + 1;

// A common file dialog as the window asks for it; the chooser returns the path or nothing.
struct FileRequest {
    bool save = false;
    std::wstring fileName;       // suggested name, may carry a folder
    std::wstring defaultSuffix;  // without the dot
    std::wstring filter;         // "Text|*.txt|..." with '|' between the parts
    bool confirmOverwrite = false;
};

class MainWindowWin final : public app::PostedWindow {
  public:
    struct Options {
        std::string commandLine;  // "-KVX" and "-DOG n" as typed
        bool detectPorts = true;  // look for the modem's DM port at start-up
        // Where the settings are; nullopt: app::settingsPath(). Empty: none.
        std::optional<std::string> settingsLocation;
        // Called once, on the window's thread, when the dialog is first shown and painted.
        std::function<void(MainWindowWin&)> onShown;
    };

    MainWindowWin(HINSTANCE instance, Options options);
    ~MainWindowWin() override;

    // Creates the dialog and runs it until it ends; the dialog's result.
    INT_PTR run();

    // ---- the window's own handlers -----------------------------------------------------------
    void LoadSettings();
    void SaveSettings();
    void OnBrowseLog();
    void OnBrowseFilter();
    void OnBrowseRaw();
    void OnSaveFilters();
    void OnLoadFilters();
    void OnExport();
    // 0 events, 1 log items, 2 messages, 3 NV items; anything else hides them all.
    void showTree(int index);

    HWND handle() const { return hwnd_; }
    app::MainDialog* dialog() { return dialog_.get(); }
    FilterTreeWin* tree(int controlId);
    bool fullWindow() const { return full_; }

  protected:
    // ---- app::PostedWindow -------------------------------------------------------------------
    bool doIsChecked(int id) override;
    void doSetChecked(int id, bool checked) override;
    std::string doGetText(int id) override;
    void doSetText(int id, const std::string& text) override;
    void doEnable(int id, bool on) override;
    void doSetStatus(const std::string& text) override;
    void doMessageBox(const std::string& text) override;
    void doStartTimer(int id, int periodMs) override;
    void doStopTimer(int id) override;
    bool timerRunning(int id) const override;
    void onTimer(int id) override;
    void doClose() override;
    void onNotify(const dm::InfoNotification& note) override;

  private:
    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
    void onInitDialog();
    void onCommand(int id, int code);
    LRESULT onNotifyMessage(const NMHDR& header);
    bool onPaint();
    void layOut();
    void fillPortCombo();
    void updateSaveFilters();
    void refreshTrees();
    std::optional<std::string> chooseFile(const FileRequest& request);
    HWND item(int id) const { return GetDlgItem(hwnd_, id); }

    HINSTANCE instance_;
    Options options_;
    std::string settingsLocation_;
    HWND hwnd_ = nullptr;
    std::atomic<HWND> postTarget_{nullptr};
    HWND status_ = nullptr;
    HICON icon_ = nullptr;
    HICON smallIcon_ = nullptr;
    HIMAGELIST stateImages_ = nullptr;
    bool full_ = false;
    bool ended_ = false;
    std::set<int> timers_;
    std::array<std::unique_ptr<FilterTreeWin>, 4> trees_;  // showTree order
    std::unique_ptr<InfoBoxWin> infoBox_;
    std::unique_ptr<MemDebugWin> memDebug_;

    // The engine outlives the logic that drives it; the logic goes first (it joins the worker).
    std::unique_ptr<dm::KvxLog> engine_;
    std::unique_ptr<app::MainDialog> dialog_;
};

// The four numbers of the program file's fixed file version (zeros when it has none).
std::array<int, 4> programFileVersion();

}  // namespace kvx::winui
