// The engine against the simulated modem on a pseudo-terminal: what connect learns, the
// query retries at the real time-outs, detection through a fake sysfs tree, unplugging and
// closing the port under a blocked read.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "dm/KvxLog.h"
#include "modemsim/FakeSysfs.h"
#include "modemsim/SimModem.h"

namespace kvx::dm {
namespace {

namespace fs = std::filesystem;
using modemsim::SimModem;
using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

size_t countPayloads(const SimModem& modem, const std::vector<uint8_t>& payload) {
    size_t n = 0;
    for (const auto& r : modem.requests()) n += r.payload == payload ? 1 : 0;
    return n;
}

const std::vector<uint8_t> kMessageQuery = {0x7D, 0x01};

TEST(ConnectSim, LearnsTheConfiguredTables) {
    SimModem::Config cfg;
    cfg.profile.messageRanges = {{0, 5}, {100, 130}, {4000, 4001}};
    cfg.profile.logLimits = {};
    cfg.profile.logLimits[1] = 0x0123;
    cfg.profile.logLimits[15] = 7;
    cfg.profile.eventMaskBits = 0x0456;
    SimModem modem(cfg);
    ASSERT_EQ(modem.start().error, modemsim::StartError::None);

    KvxLog engine;
    ASSERT_TRUE(engine.connect(0, modem.path().c_str()))
        << serial::describe(engine.lastopenstatus());
    const auto ranges = engine.messageranges();
    ASSERT_EQ(ranges.size(), 3u);
    for (size_t i = 0; i < ranges.size(); ++i) {
        EXPECT_EQ(ranges[i].first, cfg.profile.messageRanges[i].first);
        EXPECT_EQ(ranges[i].last, cfg.profile.messageRanges[i].last);
    }
    EXPECT_EQ(engine.loglimits(), cfg.profile.logLimits);
    EXPECT_EQ(engine.eventmasksize(), 0x0456u);
    EXPECT_EQ(modem.requestCount(), 3u);
    engine.close();
    modem.stop();
}

TEST(ConnectSim, ModemAnsweringOnTheThirdTryConnects) {
    SimModem::Config cfg;
    cfg.answerAfter = 3;
    SimModem modem(cfg);
    ASSERT_EQ(modem.start().error, modemsim::StartError::None);
    // Once the first query got through, the modem answers at once again (each try without
    // an answer costs a 2.1 s read).
    std::thread relent([&] {
        if (modem.waitForRequests(3, std::chrono::seconds(10))) modem.setAnswerAfter(1);
    });
    KvxLog engine;
    EXPECT_TRUE(engine.connect(0, modem.path().c_str()));
    relent.join();
    EXPECT_EQ(countPayloads(modem, kMessageQuery), 3u);
    EXPECT_EQ(engine.messageranges().size(), modemsim::defaultMessageRanges().size());
    modem.stop();
}

// Runs at the real time-outs: eleven reads of 2.1 s.
TEST(ConnectSim, SilentModemGetsElevenTriesAndNoConnection) {
    SimModem::Config cfg;
    cfg.silent = true;
    SimModem modem(cfg);
    ASSERT_EQ(modem.start().error, modemsim::StartError::None);
    KvxLog engine;
    EXPECT_FALSE(engine.connect(0, modem.path().c_str()));
    EXPECT_EQ(countPayloads(modem, kMessageQuery), 11u);
    EXPECT_EQ(modem.requestCount(), 11u) << "the later queries are not sent";
    EXPECT_TRUE(engine.portopen());
    engine.close();
    EXPECT_FALSE(engine.portopen());
    modem.stop();
}

TEST(ConnectSim, FoundThroughSysfsAndGoneWhenUnplugged) {
    const fs::path base = fs::temp_directory_path() / ("kvx-simsys-" + std::to_string(::getpid()));
    fs::remove_all(base);
    modemsim::FakeSysfs tree((base / "sys").string(), (base / "dev").string());
    ::setenv("KVXLOG_DEV_ROOT", tree.dev().c_str(), 1);

    SimModem::Config cfg;
    cfg.sysfs.tree = &tree;
    cfg.sysfs.port.tty = "ttyUSB2";
    cfg.sysfs.port.manufacturer = "Orvanta Wireless";
    cfg.sysfs.port.product = "KVX-210";
    SimModem modem(cfg);
    ASSERT_EQ(modem.start().error, modemsim::StartError::None);

    KvxLog engine;
    engine.setsysfsroot(tree.root());
    ASSERT_TRUE(engine.deviceispresent(1));
    std::string detected;
    ASSERT_TRUE(engine.detectport(1, detected));
    EXPECT_EQ(detected, tree.dev() + "/ttyUSB2");
    EXPECT_FALSE(engine.portopen());
    ASSERT_TRUE(engine.connect(1, nullptr));

    ASSERT_TRUE(modem.dropOff());
    EXPECT_FALSE(engine.deviceispresent(1));
    // The engine's port has hung up: a receive step reads nothing, and does not spin.
    const auto t0 = Clock::now();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(engine.dispatch(), 0);
    EXPECT_EQ(engine.dispatch(), 0);
    ::testing::internal::GetCapturedStdout();
    EXPECT_GE(msSince(t0), 2000) << "each read waits out its time-out";
    engine.close();

    ASSERT_TRUE(modem.comeBack());
    EXPECT_TRUE(engine.deviceispresent(1));
    EXPECT_TRUE(engine.connect(1, nullptr));
    engine.close();
    modem.stop();
    ::unsetenv("KVXLOG_DEV_ROOT");
    fs::remove_all(base);
}

TEST(ConnectSim, CloseWakesTheWorkersRead) {
    SimModem modem(SimModem::Config{});
    ASSERT_EQ(modem.start().error, modemsim::StartError::None);
    KvxLog engine;
    ASSERT_TRUE(engine.connect(0, modem.path().c_str()));
    std::atomic<bool> reading{false};
    std::atomic<int64_t> returnedAt{-1};
    const auto t0 = Clock::now();
    std::thread worker([&] {
        reading.store(true);
        engine.dispatch();  // logging is off: the modem sends nothing, the read waits 2.1 s
        returnedAt.store(msSince(t0));
    });
    while (!reading.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int64_t closedAt = msSince(t0);
    engine.close();
    worker.join();
    EXPECT_LT(returnedAt.load() - closedAt, 500);
    EXPECT_FALSE(engine.portopen());
    modem.stop();
}

// The status thread writes while the worker reads: the queries reach the modem whole and
// the worker receives their replies.
TEST(ConnectSim, StatusQueriesWhileTheWorkerReads) {
    SimModem modem(SimModem::Config{});
    ASSERT_EQ(modem.start().error, modemsim::StartError::None);
    KvxLog engine;
    ASSERT_TRUE(engine.connect(0, modem.path().c_str()));
    modem.clearRequests();
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop.load()) engine.dispatch();
    });
    const int batch[] = {2, 4, 9, 5, 6, 8};
    for (int round = 0; round < 3; ++round)
        for (int kind : batch) engine.statusquery(kind);
    EXPECT_TRUE(modem.waitForRequests(16, std::chrono::seconds(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop.store(true);
    engine.wakeinput();
    worker.join();
    size_t good = 0;
    for (const auto& r : modem.requests()) good += r.crcOk ? 1 : 0;
    EXPECT_EQ(good, 16u) << "six kinds three times, the time query only once";
    EXPECT_GT(engine.getstats().packets, 0u) << "replies were received";
    EXPECT_EQ(engine.getstats().crcErrors, 0u);
    engine.close();
    modem.stop();
}

}  // namespace
}  // namespace kvx::dm
