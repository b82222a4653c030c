// kvxlogplus.exe: the KvxLog Plus window on Windows. Runs the main dialog until it ends.
//   kvxlogplus.exe [-KVX] [-DOG SECONDS]
#include <windows.h>

#include <commctrl.h>

#include "MainWindowWin.h"
#include "WinText.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    kvx::winui::MainWindowWin::Options options;
    // Options are looked for anywhere in the command line, with one blank appended.
    options.commandLine = kvx::winui::narrow(commandLine) + " ";
    kvx::winui::MainWindowWin window(instance, options);
    window.run();
    return 0;
}
