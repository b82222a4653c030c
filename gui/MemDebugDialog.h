// The "KvxMemDebug Tool" window: the controls of the memory-dump dialog over the Qt-free
// dialog logic (memdump::MemDebugDialogLogic), which runs the dump worker and decides every
// text. Modeless, created hidden with the main window and only hidden afterwards.
//
// Controls carry their dialog ids as object names ("1061", "1062", ...).
// Threads: the window lives on the GUI thread; the dump worker's texts, enabling and message
// boxes are queued to it as value copies (GuiQueue) and never make the worker wait.
#pragma once

#include <QDialog>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "memdump/MemDebugDialogLogic.h"

namespace kvx::gui {

class GuiQueue;

class MemDebugDialog : public QDialog, public memdump::MemDebugView {
  public:
    // `apps` null: the system's running processes are looked at.
    explicit MemDebugDialog(std::unique_ptr<memdump::CompanionApps> apps = nullptr,
                            QWidget* parent = nullptr);
    ~MemDebugDialog() override;

    memdump::MemDebugDialogLogic& logic() { return *logic_; }

    // ---- memdump::MemDebugView ---------------------------------------------------------------
    void setText(int id, const std::string& text) override;
    std::string getText(int id) override;
    bool isChecked(int id) override;
    void enable(int id, bool on) override;
    void messageBox(const std::string& text) override;
    bool askYesNo(const std::string& text) override;
    void hide() override;

    // Test hooks: message boxes and questions answered without a screen (GUI thread).
    void setMessageSink(std::function<void(const std::string&)> sink) {
        messageSink_ = std::move(sink);
    }
    void setQuestionAnswer(std::function<bool(const std::string&)> answer) {
        questionAnswer_ = std::move(answer);
    }

  protected:
    void reject() override;  // Exit, Escape
    void closeEvent(QCloseEvent* event) override;

  private:
    QWidget* control(int id) const;

    std::map<int, QWidget*> controls_;
    std::unique_ptr<GuiQueue> queue_;
    std::function<void(const std::string&)> messageSink_;
    std::function<bool(const std::string&)> questionAnswer_;
    // Last: it joins a running worker before the controls and the queue go.
    std::unique_ptr<memdump::MemDebugDialogLogic> logic_;
};

}  // namespace kvx::gui
