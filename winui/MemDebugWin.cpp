#include "MemDebugWin.h"

#include "MainWindowWin.h"
#include "WinText.h"
#include "resource.h"

namespace kvx::winui {

namespace dlg = memdump::dlg;

MemDebugWin::MemDebugWin(HINSTANCE instance, std::unique_ptr<memdump::CompanionApps> apps)
    : thread_(std::this_thread::get_id()), queue_([this] {
          if (HWND target = hwnd_.load()) PostMessageW(target, kRunPostedMessage, 0, 0);
      }) {
    hwnd_ = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MEMDEBUG), nullptr, dialogProc,
                               reinterpret_cast<LPARAM>(this));
    if (!apps) apps = memdump::systemCompanionApps();
    logic_ = std::make_unique<memdump::MemDebugDialogLogic>(*this, std::move(apps));
    logic_->init();
}

MemDebugWin::~MemDebugWin() {
    logic_.reset();
    HWND window = hwnd_.exchange(nullptr);
    if (window != nullptr) DestroyWindow(window);
}

INT_PTR CALLBACK MemDebugWin::dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        return TRUE;
    }
    auto* self = reinterpret_cast<MemDebugWin*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    return self != nullptr ? self->handle(message, wParam, lParam) : FALSE;
}

INT_PTR MemDebugWin::handle(UINT message, WPARAM wParam, LPARAM) {
    if (message == kRunPostedMessage) {
        queue_.runPosted();
        return TRUE;
    }
    if (message != WM_COMMAND || !logic_) return FALSE;
    switch (LOWORD(wParam)) {
        case IDOK: logic_->onStart(); return TRUE;
        case IDCANCEL: logic_->onExit(); return TRUE;  // Exit, the close box and Escape
        case IDC_MD_RESET: logic_->onReset(); return TRUE;
        case IDC_MD_SPECIFY_PORT:
            if (HIWORD(wParam) == BN_CLICKED) logic_->onSpecifyPortClicked();
            return TRUE;
        default: return FALSE;
    }
}

void MemDebugWin::show() {
    ShowWindow(hwnd_, SW_SHOWDEFAULT);
    SetForegroundWindow(hwnd_);
}

void MemDebugWin::setText(int id, const std::string& text) {
    if (!onOwnThread()) {
        queue_.post([this, id, text] { setText(id, text); });
        return;
    }
    // Region and state texts are built from the modem's bytes.
    SetDlgItemTextW(hwnd_, id, latin1(text).c_str());
}

std::string MemDebugWin::getText(int id) {
    return windowText(GetDlgItem(hwnd_, id));
}

bool MemDebugWin::isChecked(int id) {
    return IsDlgButtonChecked(hwnd_, id) == BST_CHECKED;
}

void MemDebugWin::enable(int id, bool on) {
    if (!onOwnThread()) {
        queue_.post([this, id, on] { enable(id, on); });
        return;
    }
    EnableWindow(GetDlgItem(hwnd_, id), on ? TRUE : FALSE);
}

void MemDebugWin::messageBox(const std::string& text) {
    if (!onOwnThread()) {
        queue_.post([this, text] { messageBox(text); });
        return;
    }
    MessageBoxW(hwnd_, wide(text).c_str(), wide(memdump::kDialogTitle).c_str(), MB_OK);
}

bool MemDebugWin::askYesNo(const std::string& text) {
    return MessageBoxW(hwnd_, wide(text).c_str(), wide(memdump::kDialogTitle).c_str(),
                       MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void MemDebugWin::hide() {
    ShowWindow(hwnd_, SW_HIDE);
}

}  // namespace kvx::winui
