// The maker's companion applications a dump must not run beside: looked up by name, and
// asked to close. Windows looks for a top-level window of that window class and posts it
// WM_QUERYENDSESSION (companion_win.cpp); Linux looks for a running process of that name
// (/proc/<pid>/comm) and sends it SIGTERM (companion_posix.cpp); tests use a fake.
#pragma once

#include <memory>
#include <string>

namespace kvx::memdump {

// Names the dialog looks for (Windows: window class names).
inline constexpr const char* kLumeo = "3GLumeo";       // must not run during a dump
inline constexpr const char* kUpdater = "VexUpdater";  // asked to close, not waited for

class CompanionApps {
  public:
    virtual ~CompanionApps() = default;
    // True when an application of that name is running. Any thread.
    virtual bool isRunning(const std::string& name) = 0;
    // Asks every running application of that name to close; returns at once. Any thread.
    virtual void askToClose(const std::string& name) = 0;
};

// Running applications of this system (Linux: the processes of /proc under `procRoot`).
std::unique_ptr<CompanionApps> systemCompanionApps(const std::string& procRoot = "/proc");

}  // namespace kvx::memdump
