#include <windows.h>

#include <string>

#include "app/ProgramFile.h"

namespace kvx::app {

std::vector<std::filesystem::path> programFiles() {
    // Long paths are allowed: grow the buffer while the name is cut.
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (n == 0) return {};
        if (n < name.size()) {
            name.resize(n);
            return {std::filesystem::path(name)};
        }
        if (name.size() >= 32768) return {};
        name.resize(name.size() * 2);
    }
}

}  // namespace kvx::app
