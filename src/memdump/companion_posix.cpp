// Companion applications as processes: /proc/<pid>/comm holds a process's name (cut by the
// kernel to 15 characters), SIGTERM asks it to close as the session's end would.
#include <signal.h>
#include <sys/types.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "memdump/CompanionApps.h"

namespace kvx::memdump {

namespace {

constexpr size_t kCommMax = 15;

class ProcessApps final : public CompanionApps {
  public:
    explicit ProcessApps(std::string procRoot) : root_(std::move(procRoot)) {}

    bool isRunning(const std::string& name) override { return !pidsOf(name).empty(); }

    void askToClose(const std::string& name) override {
        for (pid_t pid : pidsOf(name)) ::kill(pid, SIGTERM);
    }

  private:
    std::vector<pid_t> pidsOf(const std::string& name) const {
        const std::string want = name.substr(0, kCommMax);
        std::vector<pid_t> pids;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(root_, ec)) {
            const std::string dir = entry.path().filename().string();
            if (dir.empty() || dir.size() > 9) continue;
            bool digits = true;
            for (char c : dir) digits = digits && std::isdigit(static_cast<unsigned char>(c)) != 0;
            if (!digits) continue;
            std::ifstream in(entry.path() / "comm");
            std::string comm;
            if (!std::getline(in, comm)) continue;
            if (comm == want) pids.push_back(static_cast<pid_t>(std::stol(dir)));
        }
        return pids;
    }

    std::string root_;
};

}  // namespace

std::unique_ptr<CompanionApps> systemCompanionApps(const std::string& procRoot) {
    return std::make_unique<ProcessApps>(procRoot);
}

}  // namespace kvx::memdump
