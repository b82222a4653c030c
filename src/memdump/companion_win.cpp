// Companion applications as top-level windows of their window class: FindWindow tells whether
// one runs; each such window is posted WM_QUERYENDSESSION, as the session's end would ask it.
#include <windows.h>

#include <string>

#include "memdump/CompanionApps.h"

namespace kvx::memdump {

namespace {

struct ClassSearch {
    const std::string* className;
    int posted = 0;
};

BOOL CALLBACK postIfClass(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<ClassSearch*>(param);
    // Window class names have at most 256 characters.
    char name[257] = {};
    if (::GetClassNameA(window, name, static_cast<int>(sizeof name)) > 0 &&
        *search->className == name) {
        ::PostMessageA(window, WM_QUERYENDSESSION, 0, 0);
        ++search->posted;
    }
    return TRUE;
}

class WindowApps final : public CompanionApps {
  public:
    bool isRunning(const std::string& name) override {
        return ::FindWindowA(name.c_str(), nullptr) != nullptr;
    }

    void askToClose(const std::string& name) override {
        ClassSearch search{&name};
        ::EnumWindows(postIfClass, reinterpret_cast<LPARAM>(&search));
    }
};

}  // namespace

std::unique_ptr<CompanionApps> systemCompanionApps(const std::string& /*procRoot*/) {
    return std::make_unique<WindowApps>();
}

}  // namespace kvx::memdump
