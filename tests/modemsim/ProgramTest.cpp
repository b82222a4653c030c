// kvxlog-modemsim as scripts use it. Skipped when the program has not been built.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "HostLink.h"

extern char** environ;

namespace kvx::modemsim {
namespace {

namespace fs = std::filesystem;

const fs::path kProgram = fs::path(KVX_BINARY_DIR) / "tools" / "modemsim" / "kvxlog-modemsim";

class Program {
public:
    explicit Program(std::vector<std::string> args) {
        args.insert(args.begin(), kProgram.string());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (::pipe(out) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        out_ = ::fdopen(out[0], "r");
    }
    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_) std::fclose(out_);
    }
    std::string line() {
        char buf[512];
        if (!out_ || !std::fgets(buf, sizeof buf, out_)) return {};
        std::string s(buf);
        if (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }
    // Sends `sig` (none: just waits) and returns the exit status, -1 if it did not exit normally.
    int finish(int sig) {
        if (sig != 0) ::kill(pid_, sig);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
};

TEST(ModemProgram, PrintsItsTerminalServesAndEndsOnSignals) {
    if (!fs::exists(kProgram)) GTEST_SKIP() << "kvxlog-modemsim not built";
    static std::atomic<int> n{0};
    const fs::path link = fs::temp_directory_path() / ("kvx-modemsim-prog-" + std::to_string(::getpid()) + "-" + std::to_string(n++));
    for (int sig : {SIGTERM, SIGINT}) {
        Program p({"--link", link.string(), "--answer-after", "2", "--rate", "100"});
        const std::string path = p.line();
        ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;
        EXPECT_EQ(fs::read_symlink(link).string(), path);
        test::HostLink host(link.string());
        ASSERT_TRUE(host.ok());
        ASSERT_TRUE(host.send({0x7D, 0x01}));
        EXPECT_TRUE(host.readFor(200).empty()) << "answered the first try";
        EXPECT_FALSE(host.ask({0x7D, 0x01}, 0x7D).empty());
        EXPECT_EQ(p.finish(sig), 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    }
}

TEST(ModemProgram, RefusesBadOptions) {
    if (!fs::exists(kProgram)) GTEST_SKIP() << "kvxlog-modemsim not built";
    const std::vector<std::vector<std::string>> cases = {
        {"--corrupt", "2"}, {"--rate"}, {"--rate", "fast"}, {"--answer-after", "0"},
        {"--sysfs", "x"},   {"--bogus"}, {"--silent-after", "-1"}, {"--profile", "qualcomm"},
        {"--profile"},      {"--replay"},
    };
    for (const auto& args : cases) {
        Program p(args);
        EXPECT_TRUE(p.line().empty()) << args[0];
        EXPECT_EQ(p.finish(0), 2) << args[0];
    }
    // A capture that cannot be read, or holds nothing to stream, ends it before it serves.
    Program absent({"--replay", "/nonexistent/capture.qmdl"});
    EXPECT_TRUE(absent.line().empty());
    EXPECT_EQ(absent.finish(0), 1);
}

// The profiles as the program offers them: the maker's modem waits for its logging start,
// a plain chipset streams once a mask enables something, a dual-SIM phone wraps its logs.
TEST(ModemProgram, ProfilesDecideWhenAndHowTheModemStreams) {
    if (!fs::exists(kProgram)) GTEST_SKIP() << "kvxlog-modemsim not built";
    // Log mask of equipment 5 (0xD00 items) with 0x5072 set.
    std::vector<uint8_t> mask = {0x73, 0, 0, 0, 3, 0, 0, 0, 5, 0, 0, 0, 0x00, 0x0D, 0, 0};
    mask.resize(mask.size() + 0x0D00 / 8, 0);
    mask[16 + 0x72 / 8] |= 1 << (0x72 % 8);
    struct Case {
        std::vector<std::string> args;
        bool streamsOnMask;
        uint8_t firstByte;
    };
    const Case cases[] = {
        {{}, false, 0x10},
        {{"--profile", "maker"}, false, 0x10},
        {{"--profile", "generic"}, true, 0x10},
        {{"--profile", "multisim"}, true, 0x98},
        {{"--multi-sim"}, true, 0x98},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--rate", "200"});
        Program p(args);
        const std::string path = p.line();
        ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;
        test::HostLink host(path);
        ASSERT_TRUE(host.ok());
        ASSERT_FALSE(host.ask(mask, 0x73).empty());
        auto frames = host.frames(300);
        size_t streamed = 0;
        for (const auto& f : frames) streamed += !f.payload.empty() && f.payload[0] == c.firstByte;
        EXPECT_EQ(streamed > 0, c.streamsOnMask) << (args.size() > 2 ? args[1] : "default");
        if (!c.streamsOnMask) {
            ASSERT_TRUE(host.send({0x4B, 0, 0, 0, 0, 0, 0x05, 0xFF}));
            frames = host.frames(300);
            streamed = 0;
            for (const auto& f : frames) streamed += !f.payload.empty() && f.payload[0] == c.firstByte;
            EXPECT_GT(streamed, 0u);
        }
        EXPECT_EQ(p.finish(SIGTERM), 0);
    }
}

}  // namespace
}  // namespace kvx::modemsim
