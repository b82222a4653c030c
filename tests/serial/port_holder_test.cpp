// Who holds a port: the /proc scan on real and fake proc trees, the open errors that name the
// fix (the group to join, the holding process, ModemManager), and a real permission refusal.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "serial/PortHolder.h"
#include "serial/Port.h"
#include "serial/PtyPair.h"

namespace kvx::serial {
namespace {

namespace fs = std::filesystem;

std::string ownName() {
    std::ifstream in("/proc/self/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

TEST(PortHolders, FindsThisProcessOnlyWhileItHoldsThePort) {
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const PortHolder self{static_cast<int>(::getpid()), ownName()};
    auto mine = [&](const std::vector<PortHolder>& hs) {
        for (const auto& h : hs)
            if (h.pid == self.pid) return h.name == self.name;
        return false;
    };
    EXPECT_FALSE(mine(portHolders(pty.slavePath(), "/proc")));
    {
        auto port = openport(pty.slavePath());
        ASSERT_NE(port, nullptr);
        EXPECT_TRUE(mine(portHolders(pty.slavePath(), "/proc")));
    }
    EXPECT_FALSE(mine(portHolders(pty.slavePath(), "/proc")));
    EXPECT_TRUE(portHolders("/nonexistent/ttyUSB9", "/proc").empty());
}

// A USB serial device is the same device under any node; a pseudo-terminal is the same only
// within one devpts instance (a chroot's /dev/pts/1 is not the host's /dev/pts/1).
TEST(PortHolders, SameDeviceAcrossNodesButNotAcrossTerminalInstances) {
    auto chr = [](unsigned major, unsigned minor, dev_t fs) {
        struct stat st{};
        st.st_mode = S_IFCHR | 0660;
        st.st_rdev = makedev(major, minor);
        st.st_dev = fs;
        return st;
    };
    EXPECT_TRUE(sameOpenFile(chr(188, 0, 5), chr(188, 0, 9)));   // ttyUSB0, two nodes
    EXPECT_FALSE(sameOpenFile(chr(188, 0, 5), chr(188, 1, 5)));  // ttyUSB0, ttyUSB1
    EXPECT_TRUE(sameOpenFile(chr(136, 1, 24), chr(136, 1, 24)));
    EXPECT_FALSE(sameOpenFile(chr(136, 1, 24), chr(136, 1, 31)));  // two devpts instances
    EXPECT_FALSE(sameOpenFile(chr(143, 7, 24), chr(143, 7, 31)));
    struct stat file = chr(0, 0, 5);
    file.st_mode = S_IFREG | 0644;
    file.st_ino = 42;
    struct stat other = file;
    EXPECT_TRUE(sameOpenFile(file, other));
    other.st_ino = 43;
    EXPECT_FALSE(sameOpenFile(file, other));
    EXPECT_FALSE(sameOpenFile(file, chr(188, 0, 5)));
}

TEST(PortHolders, FakeProcTreeNamesTheHoldersAndModemManager) {
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const fs::path root = fs::temp_directory_path() / ("kvx-proc-" + std::to_string(::getpid()));
    fs::remove_all(root);
    struct Proc {
        const char* pid;
        const char* comm;
        const char* fdTarget;  // nullptr: no fd folder (a process this user may not look into)
    };
    const std::string other = (root / "other.txt").string();
    fs::create_directories(root);
    std::ofstream(other) << "x";
    const Proc procs[] = {{"812", "ModemManager", pty.slavePath().c_str()},
                          {"77", "minicom", pty.slavePath().c_str()},
                          {"900", "editor", other.c_str()},
                          {"901", "secret", nullptr},
                          {"self", "ignored", pty.slavePath().c_str()}};
    for (const Proc& p : procs) {
        fs::create_directories(root / p.pid);
        std::ofstream(root / p.pid / "comm") << p.comm << "\n";
        if (p.fdTarget == nullptr) continue;
        fs::create_directories(root / p.pid / "fd");
        fs::create_symlink("/dev/null", root / p.pid / "fd" / "0");
        fs::create_symlink(p.fdTarget, root / p.pid / "fd" / "5");
    }
    const auto holders = portHolders(pty.slavePath(), root.string());
    ASSERT_EQ(holders.size(), 2u);
    EXPECT_EQ(holders[0].pid, 77);
    EXPECT_EQ(holders[0].name, "minicom");
    EXPECT_EQ(holders[1].pid, 812);
    EXPECT_EQ(holders[1].name, "ModemManager");
    EXPECT_TRUE(modemManagerRunning(root.string()));
    fs::remove_all(root / "812");
    EXPECT_FALSE(modemManagerRunning(root.string()));
    EXPECT_FALSE(modemManagerRunning((root / "missing").string()));
    fs::remove_all(root);
}

TEST(PortHolders, OpenErrorsNameTheFix) {
    struct Case {
        const char* what;
        OpenStatus status;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const std::string p = "/dev/ttyUSB2";
    const Case cases[] = {
        {"held by ModemManager",
         {OpenError::Busy, EBUSY, p, {{812, "ModemManager"}}, true, ""},
         {"/dev/ttyUSB2 is in use by another program: ModemManager (pid 812)",
          "60-kvxlogplus.rules", "sudo systemctl stop ModemManager"},
         {}},
        {"held by a terminal program",
         {OpenError::Busy, EBUSY, p, {{77, "minicom"}, {78, "cat"}}, false, ""},
         {"in use by another program: minicom (pid 77), cat (pid 78)", "close it"},
         {"ModemManager"}},
        {"holder unseen, ModemManager runs",
         {OpenError::Busy, EBUSY, p, {}, true, ""},
         {"in use", "ModemManager is running", "sudo systemctl stop ModemManager"},
         {"pid"}},
        {"holder unseen",
         {OpenError::Busy, EBUSY, p, {}, false, ""},
         {"in use", "terminal program"},
         {"ModemManager", "pid"}},
        {"a third process beside ModemManager",
         {OpenError::Busy, EBUSY, p, {{77, "minicom"}, {812, "ModemManager"}}, true, ""},
         {"minicom (pid 77), ModemManager (pid 812)", "60-kvxlogplus.rules"},
         {}},
        {"group dialout",
         {OpenError::PermissionDenied, EACCES, p, {}, false, "dialout"},
         {"Permission denied opening /dev/ttyUSB2", "the group dialout",
          "sudo usermod -aG dialout $USER"},
         {"udev"}},
        {"another distribution's group",
         {OpenError::PermissionDenied, EACCES, p, {}, false, "uucp"},
         {"the group uucp", "sudo usermod -aG uucp $USER"},
         {"dialout"}},
        {"only root may open it",
         {OpenError::PermissionDenied, EACCES, p, {}, false, "root"},
         {"60-kvxlogplus.rules", "sudo usermod -aG dialout $USER"},
         {"-aG root"}},
        {"group unknown",
         {OpenError::PermissionDenied, EACCES, p, {}, false, ""},
         {"60-kvxlogplus.rules", "dialout"},
         {}},
    };
    for (const Case& c : cases) {
        const std::string text = describe(c.status);
        for (const auto& s : c.present)
            EXPECT_NE(text.find(s), std::string::npos) << c.what << ": " << text;
        for (const auto& s : c.absent)
            EXPECT_EQ(text.find(s), std::string::npos) << c.what << ": " << text;
    }
}

// A real refusal: a child without root's privileges opens a pseudo-terminal it may not use.
TEST(PortHolders, RefusedOpenNamesTheDeviceGroup) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(::chmod(pty.slavePath().c_str(), 0660), 0);
    struct stat st{};
    ASSERT_EQ(::stat(pty.slavePath().c_str(), &st), 0);
    const group* g = ::getgrgid(st.st_gid);
    ASSERT_NE(g, nullptr);
    const std::string groupName = g->gr_name;

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        const gid_t nogroup = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(nogroup) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
        OpenStatus status;
        const bool opened = openport(pty.slavePath(), &status) != nullptr;
        const std::string text = std::to_string(static_cast<int>(status.error)) + "|" +
                                 status.group + "|" + describe(status);
        [[maybe_unused]] ssize_t n = ::write(fds[1], text.data(), text.size());
        ::_exit(opened ? 2 : 0);
    }
    ::close(fds[1]);
    std::string got;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int wstatus = 0;
    ASSERT_EQ(::waitpid(child, &wstatus, 0), child);
    ASSERT_TRUE(WIFEXITED(wstatus));
    ASSERT_EQ(WEXITSTATUS(wstatus), 0) << "the child could open the port, or not drop root";
    EXPECT_EQ(got.substr(0, got.find('|')),
              std::to_string(static_cast<int>(OpenError::PermissionDenied)));
    EXPECT_NE(got.find("|" + groupName + "|"), std::string::npos) << got;
    EXPECT_NE(got.find("Permission denied opening " + pty.slavePath()), std::string::npos) << got;
}

}  // namespace
}  // namespace kvx::serial
