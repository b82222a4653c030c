// kvxlogplus: the desktop window. Options anywhere on the command line: "-KVX" (the full
// window with the filter panel and tools) and "-DOG <seconds>" (watchdog; 0 turns it off).
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>

#include "MainWindow.h"
#include "MemDebugDialog.h"
#include "version.h"

int main(int argc, char** argv) {
    // Answered before any window (or display) is needed.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("kvxlogplus %s\n", kvx::kVersionText);
            return 0;
        }
    }
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);  // the dialog's end, not its last window, quits

    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += ' ';
        commandLine += argv[i];
    }
    kvx::gui::MainWindow window({commandLine});
    // Created hidden with the main window (it reads its instructions file now) and kept.
    kvx::gui::MemDebugDialog memDebug;
    window.setMemoryDumpWindow(&memDebug);
    window.setClosedHandler([] { QCoreApplication::quit(); });
    window.show();
    return QApplication::exec();
}
