// The Windows serial port. Port names and open failures need no device. The live cases need a
// COM port whose other end sends back every byte it gets (a loopback): KVXLOG_TEST_COM names
// it (tests/win/e2e_wine.sh links one to a pseudo-terminal); without it they are skipped.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "serial/CommPort.h"
#include "serial/Port.h"

namespace kvx::serial {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long long msSince(Clock::time_point t) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - t).count();
}

bool underWine() {
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(WinPortName, DevicePathOfEveryFormCallersGive) {
    const struct {
        const char* name;
        const char* path;
    } cases[] = {
        {"COM7", "\\\\.\\COM7"},
        {"7", "\\\\.\\COM7"},
        {"007", "\\\\.\\COM7"},
        {"COM12", "\\\\.\\COM12"},
        {"\\\\.\\COM12", "\\\\.\\COM12"},
        {"\\\\.\\\\\\.\\COM3", "\\\\.\\COM3"},
        {"\\\\.\\5", "\\\\.\\COM5"},
        {"com256", "\\\\.\\com256"},
        {"CNCA0", "\\\\.\\CNCA0"},
        {"ABCDEFGHIJKLMNO", "\\\\.\\ABCDEFGHIJKLMNO"},
        {"ABCDEFGHIJKLMNOP", ""},  // 16 characters do not fit the device path
        {"COM", ""},
        {"", ""},
        {"C:\\COM1", ""},
        {"/dev/ttyUSB0", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(portPath(c.name), c.path);
    }
}

TEST(WinPortOpen, MissingPortFailsWithTheSystemsWords) {
    OpenStatus status;
    EXPECT_EQ(openport("COM199", &status), nullptr);
    EXPECT_EQ(status.error, OpenError::NotFound);
    EXPECT_EQ(status.path, "\\\\.\\COM199");
    EXPECT_EQ(status.sysErrno, ERROR_FILE_NOT_FOUND);
    EXPECT_NE(describe(status).find("No serial port \\\\.\\COM199"), std::string::npos)
        << describe(status);

    OpenStatus bad;
    EXPECT_EQ(openport("COM", &bad), nullptr);
    EXPECT_EQ(bad.error, OpenError::NotFound);
    EXPECT_EQ(describe(bad), "Couldn't locate the device");

    // What a port another program holds gives on Windows, with the system's own text.
    OpenStatus held;
    held.error = OpenError::Busy;
    held.sysErrno = ERROR_ACCESS_DENIED;
    held.path = "\\\\.\\COM7";
    const std::string text = describe(held);
    EXPECT_EQ(text.rfind("Could not open \\\\.\\COM7: ", 0), 0u) << text;
    EXPECT_NE(text.find("Another program holds the port open"), std::string::npos) << text;
    EXPECT_NE(text.find("ccess"), std::string::npos) << "the system's text for code 5: " << text;
}

class LivePort : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* name = std::getenv("KVXLOG_TEST_COM");
        if (name == nullptr || *name == '\0') GTEST_SKIP() << "KVXLOG_TEST_COM names no loopback port";
        portName = name;
        OpenStatus status;
        port = openport(portName, &status);
        ASSERT_NE(port, nullptr) << describe(status);
    }
    // Reads until `count` bytes came or a read returns none.
    std::vector<uint8_t> readAll(size_t count) {
        std::vector<uint8_t> got;
        std::vector<uint8_t> buffer(kEngineReadSize);
        while (got.size() < count) {
            const size_t n = port->read(buffer);
            if (n == 0) break;
            got.insert(got.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
        }
        return got;
    }

    std::string portName;
    std::unique_ptr<Port> port;
};

TEST_F(LivePort, EveryByteValueComesBackUnchanged) {
    std::vector<uint8_t> bytes;
    for (int round = 0; round < 2; ++round)
        for (int v = 0; v < 256; ++v) bytes.push_back(static_cast<uint8_t>(v));
    bytes.insert(bytes.end(), 64, 0x7E);
    bytes.insert(bytes.end(), 64, 0x7D);
    for (int i = 0; i < 64; ++i) bytes.push_back(i % 2 == 0 ? 0x7D : 0x7E);
    ASSERT_TRUE(port->write(bytes));
    EXPECT_EQ(readAll(bytes.size()), bytes);
}

TEST_F(LivePort, ReadEndsTenMillisecondsAfterTheLastByteNotAtItsTotal) {
    const std::vector<uint8_t> frame = {0x7D, 0x01, 0x02, 0x03, 0x7E};
    ASSERT_TRUE(port->write(frame));
    std::vector<uint8_t> buffer(kEngineReadSize);
    const auto start = Clock::now();
    size_t got = 0;
    while (got < frame.size() && msSince(start) < 3000) got += port->read(buffer);
    const auto took = msSince(start);
    EXPECT_EQ(got, frame.size());
    EXPECT_LT(took, 1000) << "a 2048-byte read with 5 bytes pending took " << took << " ms";
}

TEST_F(LivePort, EmptyReadWaitsOutItsTotalAndReturnsNothing) {
    std::vector<uint8_t> buffer(kEngineReadSize);
    const auto start = Clock::now();
    EXPECT_EQ(port->read(buffer), 0u);
    const auto took = msSince(start);
    // 1 ms per byte requested plus 50 ms.
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 3200);
    std::printf("empty 2048-byte read: %lld ms\n", took);
}

TEST_F(LivePort, WakeEndsAWaitingReadWithinASecond) {
    std::vector<uint8_t> buffer(kEngineReadSize);
    std::atomic<long long> returnedAt{-1};
    const auto start = Clock::now();
    std::thread reader([&] {
        port->read(buffer);
        returnedAt = msSince(start);
    });
    std::this_thread::sleep_for(milliseconds(300));
    const auto wokeAt = msSince(start);
    port->wake();
    reader.join();
    const long long afterWake = returnedAt.load() - wokeAt;
    std::printf("read returned %lld ms after the wake-up\n", afterWake);
    EXPECT_LT(afterWake, 1000);
    // The wake was consumed by that read: the next one waits for data again.
    ASSERT_TRUE(port->write(std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(readAll(3), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(LivePort, WriteFromAnotherThreadWhileAReadWaits) {
    std::vector<uint8_t> buffer(kEngineReadSize);
    size_t got = 0;
    std::thread reader([&] {
        const auto start = Clock::now();
        while (got == 0 && msSince(start) < 3000) got = port->read(buffer);
    });
    std::this_thread::sleep_for(milliseconds(100));
    const auto start = Clock::now();
    EXPECT_TRUE(port->write(std::vector<uint8_t>{0x7E}));
    EXPECT_LT(msSince(start), 500) << "the write waited for the read";
    reader.join();
    EXPECT_EQ(got, 1u);
}

TEST_F(LivePort, CommPortDrainsOnClose) {
    port.reset();
    CommPort comm;
    ASSERT_TRUE(comm.open(portName)) << describe(comm.status());
    std::vector<uint8_t> bytes(3000, 0x55);
    ASSERT_TRUE(comm.write(bytes.data(), bytes.size()));
    std::this_thread::sleep_for(milliseconds(200));
    comm.close();
    EXPECT_FALSE(comm.isOpen());
    // Nothing of it is left for the next opener.
    OpenStatus status;
    port = openport(portName, &status);
    ASSERT_NE(port, nullptr) << describe(status);
    std::vector<uint8_t> buffer(512);
    EXPECT_EQ(port->read(buffer), 0u);
}

TEST_F(LivePort, SecondOpenIsRefused_RealWindowsOnly) {
    if (underWine()) GTEST_SKIP() << "Wine lets a second CreateFile of an open COM port succeed";
    OpenStatus status;
    EXPECT_EQ(openport(portName, &status), nullptr);
    EXPECT_EQ(status.error, OpenError::Busy);
    EXPECT_EQ(status.sysErrno, ERROR_ACCESS_DENIED);
}

}  // namespace
}  // namespace kvx::serial
