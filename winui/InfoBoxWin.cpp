#include "InfoBoxWin.h"

#include "WinText.h"
#include "resource.h"

namespace kvx::winui {

const std::array<int, InfoBoxWin::kFields> InfoBoxWin::kFieldIds = {
    IDC_INFO_FIRMWARE, IDC_INFO_BUILD_DATE, IDC_INFO_IMEI,  IDC_INFO_IMSI,    IDC_INFO_LAI,
    IDC_INFO_CELL,     IDC_INFO_CALL,       IDC_INFO_OPER,  IDC_INFO_SYSMODE, IDC_INFO_BAND,
    IDC_INFO_ARFCN,    IDC_INFO_RXPOWER,    IDC_INFO_TXLEVEL, IDC_INFO_TA,    IDC_INFO_DTX,
    IDC_INFO_DLSC,     IDC_INFO_RLT};

InfoBoxWin::InfoBoxWin(HINSTANCE instance) {
    hwnd_ = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_INFOBOX), nullptr, dialogProc, 0);
}

InfoBoxWin::~InfoBoxWin() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

INT_PTR CALLBACK InfoBoxWin::dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) return TRUE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        ShowWindow(hwnd, SW_HIDE);
        return TRUE;
    }
    return FALSE;
}

void InfoBoxWin::show() {
    ShowWindow(hwnd_, SW_SHOWDEFAULT);
    SetForegroundWindow(hwnd_);
}

void InfoBoxWin::setField(int index, const std::string& text) {
    if (index < 0 || index >= kFields) return;
    SetDlgItemTextW(hwnd_, kFieldIds[static_cast<size_t>(index)], latin1(text).c_str());
}

std::string InfoBoxWin::field(int index) const {
    if (index < 0 || index >= kFields) return {};
    return windowText(GetDlgItem(hwnd_, kFieldIds[static_cast<size_t>(index)]));
}

}  // namespace kvx::winui
