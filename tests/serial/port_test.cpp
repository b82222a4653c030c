// The POSIX serial port on pseudo-terminal pairs: names, open failures, line settings,
// bounded reads, wake-ups, hang-ups and the memory-dump tool's port object.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "PtyPair.h"
#include "serial/CommPort.h"
#include "serial/Port.h"

namespace kvx::serial {
namespace {

using test::msSince;
using test::PtyPair;
using Clock = std::chrono::steady_clock;

size_t openDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

struct NameCase {
    const char* name;
    const char* path;  // with "@" standing for the dev folder
};

TEST(PortPath, MapsNamesToDevicePaths) {
    const NameCase cases[] = {
        {"COM7", "@/ttyUSB7"},
        {"\\\\.\\COM7", "@/ttyUSB7"},
        {"7", "@/ttyUSB7"},
        {"COM007", "@/ttyUSB7"},
        {"com12", "@/ttyUSB12"},
        {"/dev/ttyACM0", "/dev/ttyACM0"},
        {"\\\\.\\COM/dev/ttyACM0", "/dev/ttyACM0"},
        {"COM/dev/serial/by-id/usb-Orvanta_KVX-210-if02-port0",
         "/dev/serial/by-id/usb-Orvanta_KVX-210-if02-port0"},
        {"\\\\.\\/dev/pts/3", "/dev/pts/3"},
        {"COM", ""},
        {"\\\\.\\COM", ""},
        {"", ""},
        {"COM7x", ""},
        {"ttyUSB0", ""},
        {"COM-1", ""},
        {"COM12345678901", ""},
    };
    for (const char* root : {"", "/fake/dev/"}) {
        if (*root != '\0') {
            ::setenv("KVXLOG_DEV_ROOT", root, 1);
        } else {
            ::unsetenv("KVXLOG_DEV_ROOT");
        }
        const std::string dev = *root != '\0' ? "/fake/dev" : "/dev";
        for (const auto& c : cases) {
            std::string expected = c.path;
            if (!expected.empty() && expected[0] == '@') expected = dev + expected.substr(1);
            EXPECT_EQ(portPath(c.name), expected) << c.name << " with root '" << root << "'";
        }
    }
    ::unsetenv("KVXLOG_DEV_ROOT");
}

TEST(OpenPort, FailuresLeaveNothingOpenAndSayWhy) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("kvx-port-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto plain = dir / "not-a-tty";
    std::ofstream(plain) << "x";

    struct Case {
        std::string name;
        OpenError error;
        int err;
        std::string path;
    };
    const Case cases[] = {
        {(dir / "absent").string(), OpenError::NotFound, ENOENT, (dir / "absent").string()},
        {"COM", OpenError::NotFound, ENOENT, ""},
        {plain.string(), OpenError::NotATerminal, ENOTTY, plain.string()},
        {"COM" + plain.string(), OpenError::NotATerminal, ENOTTY, plain.string()},
    };
    const size_t before = openDescriptors();
    for (const auto& c : cases) {
        OpenStatus st;
        EXPECT_EQ(openport(c.name, &st), nullptr) << c.name;
        EXPECT_EQ(st.error, c.error) << c.name;
        EXPECT_EQ(st.sysErrno, c.err) << c.name;
        EXPECT_EQ(st.path, c.path) << c.name;
    }
    EXPECT_EQ(openDescriptors(), before);
    std::filesystem::remove_all(dir);
}

TEST(OpenPort, DescribeGivesTheFix) {
    EXPECT_EQ(describe({OpenError::PermissionDenied, EACCES, "/dev/ttyUSB2", {}, false, "dialout"}),
              "Permission denied opening /dev/ttyUSB2: the port belongs to the group dialout; join "
              "it with: sudo usermod -aG dialout $USER (then log out and in again)");
    EXPECT_EQ(describe({OpenError::NotFound, 0, ""}), "Couldn't locate the device");
    EXPECT_NE(describe({OpenError::NotFound, ENOENT, "/dev/ttyUSB9"}).find("/dev/ttyUSB9"),
              std::string::npos);
    EXPECT_NE(describe({OpenError::Busy, EBUSY, "/dev/ttyUSB2"}).find("in use"), std::string::npos);
    EXPECT_NE(describe({OpenError::Other, EIO, "/dev/ttyUSB2"}).find(std::strerror(EIO)),
              std::string::npos);
}

TEST(PosixPort, ConfiguresRaw115200And8N1) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    OpenStatus st;
    auto port = openport(pty.slavePath(), &st);
    ASSERT_NE(port, nullptr) << describe(st);
    EXPECT_EQ(st.error, OpenError::None);
    EXPECT_EQ(port->path(), pty.slavePath());

    // A second descriptor on the same terminal reads back the settings (root passes TIOCEXCL).
    int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) GTEST_SKIP() << "exclusive terminal cannot be inspected as this user";
    termios tio{};
    ASSERT_EQ(::tcgetattr(fd, &tio), 0);
    ::close(fd);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST(PosixPort, SecondOpenIsRefusedAsBusyUntilTheFirstCloses) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    auto first = openport(pty.slavePath());
    ASSERT_NE(first, nullptr);
    const size_t before = openDescriptors();
    OpenStatus st;
    EXPECT_EQ(openport(pty.slavePath(), &st), nullptr);
    EXPECT_EQ(st.error, OpenError::Busy);
    EXPECT_EQ(openDescriptors(), before);
    first.reset();
    EXPECT_NE(openport(pty.slavePath()), nullptr);
}

TEST(PosixPort, BytesTravelBothWays) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    auto port = openport(pty.slavePath());
    ASSERT_NE(port, nullptr);
    const std::vector<uint8_t> out = {0x1D, 0x1C, 0x3B, 0x7E, 0x00, 0x0A, 0x0D, 0x11, 0x13, 0xFF};
    ASSERT_TRUE(port->write(out));
    EXPECT_EQ(pty.receive(), out) << "raw: no translation, no flow-control bytes swallowed";
    ASSERT_TRUE(pty.send(out));
    std::array<uint8_t, kEngineReadSize> buf{};
    EXPECT_EQ(readport(*port, buf.data()), out.size());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), buf.begin()));
}

TEST(PosixPort, BackToBackWritesArriveWhole) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    auto port = openport(pty.slavePath());
    ASSERT_NE(port, nullptr);
    // The purge in front of each write must not eat a frame written just before.
    std::vector<uint8_t> expected;
    for (int i = 0; i < 6; ++i) {
        std::vector<uint8_t> frame(700, static_cast<uint8_t>(i));
        frame.back() = 0x7E;
        ASSERT_TRUE(port->write(frame));
        expected.insert(expected.end(), frame.begin(), frame.end());
    }
    EXPECT_EQ(pty.receive(), expected);
}

TEST(PosixPort, ReadEndsOnTheGapAfterTheFirstBytes) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    auto port = openport(pty.slavePath());
    ASSERT_NE(port, nullptr);
    std::thread modem([&] {
        pty.send({1, 2, 3});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        pty.send({4, 5});
    });
    std::array<uint8_t, kEngineReadSize> buf{};
    const auto t0 = Clock::now();
    const size_t first = port->read(buf);
    const auto firstMs = msSince(t0);
    modem.join();
    EXPECT_EQ(first, 3u);
    EXPECT_LT(firstMs, 280) << "a read returns once the line is quiet after its first bytes";
    EXPECT_EQ(port->read(buf), 2u);
}

TEST(PosixPort, SilentReadWaitsItsTimeOutWithoutDiagnostic) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    auto port = openport(pty.slavePath());
    ASSERT_NE(port, nullptr);
    std::array<uint8_t, 100> buf{};
    ::testing::internal::CaptureStdout();
    const auto t0 = Clock::now();
    EXPECT_EQ(port->read(buf), 0u);
    const auto ms = msSince(t0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_GE(ms, 145) << "100 bytes requested: 150 ms";
    EXPECT_LT(ms, 1000);
    EXPECT_FALSE(port->dead());
}

TEST(PosixPort, WakeEndsABlockedRead) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    std::shared_ptr<Port> port = openport(pty.slavePath());
    ASSERT_NE(port, nullptr);
    std::atomic<int64_t> returnedAt{-1};
    const auto t0 = Clock::now();
    std::thread reader([&] {
        std::array<uint8_t, kEngineReadSize> buf{};  // 2.1 s time-out
        port->read(buf);
        returnedAt.store(msSince(t0));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto wokenAt = msSince(t0);
    port->wake();
    reader.join();
    EXPECT_LT(returnedAt.load() - wokenAt, 500) << "a woken read returns within a few ms";
}

TEST(PosixPort, WakeBeforeAReadIsConsumedByIt) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    auto port = openport(pty.slavePath());
    ASSERT_NE(port, nullptr);
    port->wake();
    port->wake();
    std::array<uint8_t, 200> buf{};
    auto t0 = Clock::now();
    EXPECT_EQ(port->read(buf), 0u);
    EXPECT_LT(msSince(t0), 150);
    t0 = Clock::now();
    EXPECT_EQ(port->read(buf), 0u);
    EXPECT_GE(msSince(t0), 240) << "the wake-ups were used up by one read";
}

TEST(PosixPort, WriteGoesThroughWhileAReadBlocks) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    std::shared_ptr<Port> port = openport(pty.slavePath());
    ASSERT_NE(port, nullptr);
    std::thread reader([&] {
        std::array<uint8_t, kEngineReadSize> buf{};
        port->read(buf);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto t0 = Clock::now();
    EXPECT_TRUE(port->write(std::vector<uint8_t>{0x60, 0x01, 0x9B, 0x7B, 0x7E}));
    EXPECT_EQ(pty.receive(50).size(), 5u);
    EXPECT_LT(msSince(t0), 1000) << "the write does not wait for the read's time-out";
    port->wake();
    reader.join();
}

TEST(PosixPort, HungUpPortReadsNothingWithoutSpinning) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    auto port = openport(pty.slavePath());
    ASSERT_NE(port, nullptr);
    pty.closeMaster();
    std::array<uint8_t, 1> buf{};  // 51 ms time-out per read
    ::testing::internal::CaptureStdout();
    int reads = 0;
    const auto t0 = Clock::now();
    while (msSince(t0) < 1000) {
        EXPECT_EQ(port->read(buf), 0u);
        ++reads;
    }
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(port->dead());
    EXPECT_LE(reads, 40) << "each read waits out its time-out";
    EXPECT_GE(reads, 5);
    EXPECT_EQ(out, "Read error 5!\n") << "the hang-up is reported once";
    EXPECT_FALSE(port->write(std::vector<uint8_t>{0x00}));

    // A wake-up still ends a read on a dead port at once.
    port->wake();
    std::array<uint8_t, kEngineReadSize> big{};
    const auto t1 = Clock::now();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(port->read(big), 0u);
    ::testing::internal::GetCapturedStdout();
    EXPECT_LT(msSince(t1), 500);
}

TEST(CommPort, ReadsWritesAndDrainsOnClose) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    CommPort port;
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.read(nullptr, 0), 0u);
    ASSERT_TRUE(port.open(pty.slavePath())) << describe(port.status());
    const uint8_t hello[] = {0x01, 0x02, 0x7E};
    EXPECT_TRUE(port.write(hello, sizeof hello));
    EXPECT_EQ(pty.receive().size(), 3u);
    ASSERT_TRUE(pty.send({9, 8, 7}));
    uint8_t buf[16] = {};
    EXPECT_EQ(port.read(buf, sizeof buf), 3u);
    EXPECT_EQ(buf[2], 7);

    // A modem still talking: close returns only once a read comes back empty.
    std::atomic<bool> talking{true};
    std::thread modem([&] {
        const auto t0 = Clock::now();
        while (msSince(t0) < 300) {
            pty.send(std::vector<uint8_t>(64, 0x55));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        talking.store(false);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    port.close();
    EXPECT_FALSE(talking.load());
    EXPECT_FALSE(port.isOpen());
    modem.join();
    EXPECT_TRUE(port.open(pty.slavePath())) << "closed for good: the port opens again";
}

TEST(CommPort, OpenFailureKeepsTheReason) {
    CommPort port;
    EXPECT_FALSE(port.open("COM"));
    EXPECT_EQ(port.status().error, OpenError::NotFound);
    EXPECT_FALSE(port.write(reinterpret_cast<const uint8_t*>("x"), 1));
}

}  // namespace
}  // namespace kvx::serial
