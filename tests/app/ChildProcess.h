// Test helper: the kvxlog program of this build run as a child process with its output in
// files of a folder, extra environment, signals and a bounded wait for its exit status.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "app/CaptureFixture.h"

extern char** environ;

namespace kvx::testing {

inline std::string kvxlogPath() {
    return std::string(KVX_BINARY_DIR) + "/cli/kvxlog";
}

class Child {
  public:
    Child(const std::vector<std::string>& args, const std::filesystem::path& dir,
          const std::vector<std::string>& env)
        : out_(dir / "stdout.txt"), err_(dir / "stderr.txt") {
        std::vector<char*> argv;
        std::vector<std::string> all = {kvxlogPath()};
        all.insert(all.end(), args.begin(), args.end());
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStrings;
        for (char** e = environ; *e != nullptr; ++e) envStrings.emplace_back(*e);
        envStrings.insert(envStrings.end(), env.begin(), env.end());
        std::vector<char*> envp;
        for (auto& e : envStrings) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void signal(int sig) { kill(pid_, sig); }
    // The exit status, or -1 when it did not end within `timeout`.
    int wait(std::chrono::milliseconds timeout) {
        int status = 0;
        const bool ended = waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
                                     static_cast<int>(timeout.count()));
        if (!ended) return -1;
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string out() const { return readText(out_); }
    std::string err() const { return readText(err_); }

  private:
    std::filesystem::path out_, err_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

}  // namespace kvx::testing
