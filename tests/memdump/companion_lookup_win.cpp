// The companion applications as Windows sees them: a top-level window of the class "3GLumeo"
// or "VexUpdater" is found by FindWindow, and asking the updater to close posts it
// WM_QUERYENDSESSION. The test registers windows of those classes itself.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <thread>

#include "memdump/CompanionApps.h"

namespace kvx::memdump {
namespace {

int queriesSeen = 0;

LRESULT CALLBACK companionProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_QUERYENDSESSION) {
        ++queriesSeen;
        return TRUE;
    }
    return ::DefWindowProcA(window, message, w, l);
}

HWND makeWindow(const char* className) {
    WNDCLASSA cls{};
    cls.lpfnWndProc = companionProc;
    cls.hInstance = ::GetModuleHandleA(nullptr);
    cls.lpszClassName = className;
    ::RegisterClassA(&cls);  // a second registration of the class fails harmlessly
    return ::CreateWindowExA(0, className, "companion", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                             nullptr, cls.hInstance, nullptr);
}

// Dispatches what was posted to this thread's windows until `until` holds or 2 s pass.
template <typename Until>
bool pump(Until until) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!until() && std::chrono::steady_clock::now() < deadline) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return until();
}

TEST(CompanionWindows, FoundByClassAndAskedToClose) {
    auto apps = systemCompanionApps();
    EXPECT_FALSE(apps->isRunning(kLumeo));
    EXPECT_FALSE(apps->isRunning(kUpdater));
    apps->askToClose(kUpdater);  // nobody to ask: nothing happens

    HWND updater = makeWindow(kUpdater);
    ASSERT_NE(updater, nullptr);
    EXPECT_TRUE(apps->isRunning(kUpdater));
    EXPECT_FALSE(apps->isRunning(kLumeo)) << "one class is not the other";
    HWND second = makeWindow(kUpdater);
    ASSERT_NE(second, nullptr);

    queriesSeen = 0;
    apps->askToClose(kUpdater);
    EXPECT_TRUE(pump([] { return queriesSeen == 2; })) << "every window of the class is asked";
    EXPECT_TRUE(::IsWindow(updater)) << "asked, not closed: the application decides";

    HWND lumeo = makeWindow(kLumeo);
    ASSERT_NE(lumeo, nullptr);
    EXPECT_TRUE(apps->isRunning(kLumeo));
    ::DestroyWindow(lumeo);
    EXPECT_FALSE(apps->isRunning(kLumeo));
    ::DestroyWindow(updater);
    ::DestroyWindow(second);
    EXPECT_FALSE(apps->isRunning(kUpdater));
}

}  // namespace
}  // namespace kvx::memdump
