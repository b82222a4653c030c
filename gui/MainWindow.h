// The desktop main dialog: the controls of the KvxLog Plus window laid out in dialog units,
// the capture::Window the main dialog's logic drives, and the handlers that are the window's
// own (file dialogs, the filter trees, settings, the Info Box). Every capture decision stays in
// app::MainDialog; this class maps widgets onto it.
//
// Controls carry their dialog ids as object names ("1005", "1057", ...), the status pane is
// "statusPane", the trees "1036", "1024", "1023", "1039".
//
// Threads: the window lives on the GUI thread. Window operations may come from any thread:
// from another thread they are queued to the GUI thread as value copies, in order, and return
// at once (GuiQueue);
// check and text reads from another thread see the last values the GUI thread had.
// Message boxes are opened window-modal and never block the caller.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/MainDialog.h"
#include "capture/Window.h"
#include "dm/KvxLog.h"

class QLabel;
class QStatusBar;
class QTimer;
class QWidget;
class QAbstractButton;

namespace kvx::gui {

class FilterTreeView;
class FilterItemModel;
class GuiQueue;
class InfoBox;

// Control ids of the window that capture does not know.
namespace id {
inline constexpr int kVersion = 1010;
inline constexpr int kSaveFilters = 1004;
inline constexpr int kLoadFilters = 1041;
inline constexpr int kShowCdma = 1047;
inline constexpr int kMessageMask = 1051;
inline constexpr int kEventMask = 1052;
inline constexpr int kLogItemMask = 1053;
inline constexpr int kNvItems = 1054;
inline constexpr int kExport = 1055;
inline constexpr int kFilterSourceGroup = 1056;
inline constexpr int kRawBrowse = 1060;
inline constexpr int kMemDebug = 1069;
inline constexpr int kLogTree = 1036;
inline constexpr int kEventTree = 1024;
inline constexpr int kMessageTree = 1023;
inline constexpr int kNvTree = 1039;
}  // namespace id

// A file dialog as the window asks for it; the chooser returns the chosen path or nothing.
struct FileRequest {
    bool save = false;
    QString fileName;       // suggested name, may carry a folder
    QString defaultSuffix;  // without the dot
    QStringList filters;    // Qt name filters, e.g. "Log Files: (*.kvx)"
    bool confirmOverwrite = false;
};
using FileChooser = std::function<std::optional<QString>(const FileRequest&)>;

class MainWindow : public QDialog, public capture::Window {
  public:
    struct Options {
        std::string commandLine;  // "-KVX" and "-DOG n" as typed
        bool detectPorts = true;  // look for the modem's DM port at start-up
        // The settings file; nullopt: app::settingsPath(). Empty: none.
        std::optional<std::string> settingsPath;
    };

    explicit MainWindow(Options options);
    ~MainWindow() override;

    // ---- capture::Window --------------------------------------------------------------------
    bool isChecked(int id) override;
    void setChecked(int id, bool checked) override;
    std::string getText(int id) override;
    void setText(int id, const std::string& text) override;
    void enable(int id, bool on) override;
    void setStatus(const std::string& text) override;
    void messageBox(const std::string& text) override;
    void startTimer(int id, int periodMs) override;
    void stopTimer(int id) override;
    void fireTimerSoon(int id) override;
    void close() override;
    void notify(uint32_t messageId, const dm::InfoNotification& note) override;

    // ---- the window's own handlers ----------------------------------------------------------
    void LoadSettings();
    void SaveSettings();
    void OnBrowseLog();
    void OnBrowseFilter();
    void OnBrowseRaw();
    void OnSaveFilters();
    void OnLoadFilters();
    void OnExport();
    // Shows tree 0 events, 1 log items, 2 messages, 3 NV items; anything else hides them all.
    void showTree(int index);
    void onTreeClick(int treeId, filters::NodeId node, bool onCheckImage);

    // ---- front-end hooks --------------------------------------------------------------------
    // Replaces the file dialogs (tests, scripted runs).
    void setFileChooser(FileChooser chooser) { chooser_ = std::move(chooser); }
    // Message boxes go here instead of on screen when set (tests); on the GUI thread.
    void setMessageSink(std::function<void(const std::string&)> sink) {
        messageSink_ = std::move(sink);
    }
    // Called once when the dialog has ended (Exit); the application quits there.
    void setClosedHandler(std::function<void()> handler) { closedHandler_ = std::move(handler); }
    // The memory-dump tool, shown by "Run KvxMemDebug..." and by a failed Start after a
    // subsystem-0 reply; without one the button stays disabled.
    void setMemoryDumpWindow(QWidget* window);

    app::MainDialog& dialog() { return *dialog_; }
    dm::KvxLog& engine() { return *engine_; }
    InfoBox& infoBox() { return *infoBox_; }
    FilterTreeView* tree(int treeId) const;
    bool fullWindow() const { return full_; }
    bool ended() const { return ended_; }
    QString statusText() const;
    bool timerActive(int id) const;

  protected:
    void reject() override;  // Escape: Exit
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildControls();
    void wireHandlers();
    void fillPortCombo();
    void onStateChanged(app::UiState state);
    void updateSaveFilters();
    void refreshTrees();
    std::optional<QString> chooseFile(const FileRequest& request);
    bool onGuiThread() const { return std::this_thread::get_id() == guiThread_; }
    void post(std::function<void()> call);
    QWidget* control(int id) const;
    QAbstractButton* button(int id) const;
    void remember(int id, const std::string& text);
    void rememberCheck(int id, bool checked);

    Options options_;
    std::string settingsPath_;
    std::thread::id guiThread_;
    bool full_ = false;
    bool ended_ = false;

    std::map<int, QWidget*> controls_;
    QStatusBar* statusBar_ = nullptr;
    QLabel* statusPane_ = nullptr;
    std::array<FilterTreeView*, 4> trees_{};  // in showTree order: events, logs, messages, NV
    std::array<FilterItemModel*, 4> models_{};
    std::unique_ptr<InfoBox> infoBox_;
    QPointer<QWidget> memoryDump_;
    std::map<int, QTimer*> timers_;

    // What other threads read: the last texts and ticks seen on the GUI thread.
    std::mutex mirrorMutex_;
    std::map<int, std::string> textMirror_;
    std::map<int, bool> checkMirror_;
    std::atomic<int> queuedNotes_{0};
    std::unique_ptr<GuiQueue> queue_;

    FileChooser chooser_;
    std::function<void(const std::string&)> messageSink_;
    std::function<void()> closedHandler_;

    // The engine outlives the logic that drives it; the logic goes first (it joins the worker).
    std::unique_ptr<dm::KvxLog> engine_;
    std::unique_ptr<app::MainDialog> dialog_;
};

}  // namespace kvx::gui
