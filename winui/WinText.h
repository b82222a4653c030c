// Text between the engine (UTF-8) and the wide-character Windows API, and small control helpers.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace kvx::winui {

std::wstring wide(std::string_view utf8);
std::string narrow(std::wstring_view text);
// Bytes shown one for one (modem texts are 8-bit data, not UTF-8).
std::wstring latin1(std::string_view bytes);

std::string windowText(HWND window);
void setWindowText(HWND window, std::string_view utf8);

}  // namespace kvx::winui
