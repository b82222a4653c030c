// The Info Box, dialog 134: a modeless window of the modem's identity and radio values, one
// read-only field per decoded value (indexes 0-16), each keeping its last text. Created hidden
// without an owner; OK and Cancel only hide it.
// Threads: the window's thread.
#pragma once

#include <windows.h>

#include <array>
#include <string>

namespace kvx::winui {

class InfoBoxWin {
  public:
    static constexpr int kFields = 17;
    // The field edit of each index.
    static const std::array<int, kFields> kFieldIds;

    explicit InfoBoxWin(HINSTANCE instance);
    ~InfoBoxWin();
    InfoBoxWin(const InfoBoxWin&) = delete;
    InfoBoxWin& operator=(const InfoBoxWin&) = delete;

    HWND handle() const { return hwnd_; }
    void show();
    // Index outside 0-16: ignored.
    void setField(int index, const std::string& text);
    std::string field(int index) const;

  private:
    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND hwnd_ = nullptr;
};

}  // namespace kvx::winui
