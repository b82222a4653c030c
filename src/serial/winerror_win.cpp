#include <windows.h>

#include <string>

#include "serial/WinError.h"

namespace kvx::serial {

std::string systemErrorText(unsigned long code) {
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string s = (n > 0 && text != nullptr) ? std::string(text, n) : std::string();
    if (text != nullptr) ::LocalFree(text);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
    if (s.empty()) s = "error " + std::to_string(code);
    return s;
}

}  // namespace kvx::serial
