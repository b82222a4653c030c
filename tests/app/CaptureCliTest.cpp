// `kvxlog capture` end to end against the simulated modem: file names on stdout, status and
// messages on stderr, Ctrl-C and --duration as Stop, the waiting message and exit statuses;
// the port names of capture and filter save, and the port the settings choose without --port.
// Skipped when the kvxlog program has not been built.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "app/CaptureFixture.h"
#include "app/ChildProcess.h"
#include "modemsim/SimModem.h"

namespace kvx::app {
namespace {

using kvx::testing::readLog;
using kvx::testing::readText;
using kvx::testing::TempDir;
using kvx::testing::waitUntil;
using kvx::testing::Child;
using kvx::testing::kvxlogPath;
using namespace std::chrono_literals;

// A filter file that enables log item 0x1234.
void writeFilterFile(const std::filesystem::path& path) {
    const uint32_t limit = 0x0A00;
    std::vector<uint8_t> p = {0x73, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0};
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(limit >> (8 * i)));
    std::vector<uint8_t> mask((limit + 7) / 8, 0);
    mask[0x234 / 8] |= static_cast<uint8_t>(1u << (0x234 % 8));
    p.insert(p.end(), mask.begin(), mask.end());
    const auto frame = kvx::testing::wireFrame(p);
    std::ofstream out(path, std::ios::binary);
    out.put(0x76).put(0x00).put(0x01);
    out.write(reinterpret_cast<const char*>(frame.data()),
              static_cast<std::streamsize>(frame.size()));
}

class CaptureCli : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(kvxlogPath())) GTEST_SKIP() << "kvxlog not built";
        writeFilterFile(dir_.path() / "f.sqf");
        env_ = {"KVXLOGPLUS_SETTINGS=" + (dir_.path() / "none.ini").string(),
                "KVXLOG_SYSFS_ROOT=" + (dir_.path() / "sys").string()};
    }
    std::vector<std::string> captureArgs(const std::string& port) {
        return {"capture",
                "--port",
                port,
                "--filter",
                (dir_.path() / "f.sqf").string(),
                "-o",
                (dir_.path() / "cap.kvx").string()};
    }
    // The simulated modem of a test: linked as dm0 in the test's folder, streaming `rate`
    // packets a second once logging.
    modemsim::SimModem::Config modemConfig(uint32_t rate) const {
        modemsim::SimModem::Config cfg;
        cfg.linkPath = (dir_.path() / "dm0").string();
        cfg.packetsPerSecond = rate;
        return cfg;
    }
    // The capture named its first file on stdout.
    static bool firstFileNamed(Child& child) {
        return waitUntil([&] { return child.out().find(".kvx\n") != std::string::npos; }, 20000);
    }
    TempDir dir_;
    std::vector<std::string> env_;
};

TEST_F(CaptureCli, CtrlCStopsAndClosesTheLogWithItsNote) {
    auto cfg = modemConfig(300);
    modemsim::SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    Child child(captureArgs(cfg.linkPath), dir_.path(), env_);
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(firstFileNamed(child));
    ASSERT_TRUE(
        waitUntil([&] { return child.err().find(" Bytes: ") != std::string::npos; }, 10000));
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(10s), 0);

    std::string name = child.out();
    ASSERT_FALSE(name.empty());
    name.pop_back();
    EXPECT_EQ(name.find((dir_.path() / "cap-").string()), 0u);
    const auto log = readLog(name);
    ASSERT_TRUE(log.readable);
    ASSERT_GE(log.records.size(), 2u);
    EXPECT_EQ(log.records.front().text(), "KvxLog Plus - Version 1.0.0.1");
    EXPECT_EQ(log.records.back().text(), "Log manually stopped from UI");
    EXPECT_FALSE(kvx::testing::sequences(log, 0x1234).empty());
    EXPECT_NE(child.err().find("Please wait while logging is stopped and the port is flushed...."),
              std::string::npos);
}

TEST_F(CaptureCli, DurationStopsByItself) {
    auto cfg = modemConfig(100);
    modemsim::SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    auto args = captureArgs(cfg.linkPath);
    args.insert(args.end(), {"--duration", "2", "--single-file"});
    Child child(args, dir_.path(), env_);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(30s), 0);
    const auto files = kvx::testing::logFiles(dir_.path());
    ASSERT_EQ(files.size(), 1u);
    const auto log = readLog(files[0]);
    ASSERT_TRUE(log.readable);
    ASSERT_GE(log.records.size(), 2u);
    EXPECT_EQ(log.records.back().text(), "Log manually stopped from UI");
    // Two seconds at 100 packets a second, less the start-up: the stream really arrived, in
    // order and without gaps.
    const auto seq = kvx::testing::sequences(log, 0x1234);
    EXPECT_GE(seq.size(), 50u);
    for (size_t i = 1; i < seq.size(); ++i) ASSERT_EQ(seq[i], seq[i - 1] + 1) << i;
}

TEST_F(CaptureCli, ItemsCheckedInTheCatalogueTreesAreSentAsTheFilter) {
    auto cfg = modemConfig(200);
    modemsim::SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    env_[0] = "KVXLOGPLUS_SETTINGS=" + std::string(KVX_SOURCE_DIR) + "/data/kvxlogplus.ini";
    Child child({"capture", "--port", cfg.linkPath, "--log", "0x5072", "-o",
                 (dir_.path() / "cap.kvx").string(), "--duration", "2", "--single-file"},
                dir_.path(), env_);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(30s), 0) << child.err();

    // Equipment 5's mask carries bit 0x072 (byte 14, bit 2) and no other.
    bool sent = false;
    for (const auto& r : sim.requests()) {
        if (r.payload.size() < 16 || r.payload[0] != 0x73 || r.payload[4] != 3 ||
            r.payload[8] != 5) {
            continue;
        }
        sent = true;
        for (size_t i = 16; i < r.payload.size(); ++i) {
            EXPECT_EQ(r.payload[i], i == 16 + 14 ? 0x04 : 0x00) << "mask byte " << i - 16;
        }
    }
    EXPECT_TRUE(sent);
    const auto files = kvx::testing::logFiles(dir_.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_FALSE(kvx::testing::sequences(readLog(files[0]), 0x5072).empty());
}

TEST_F(CaptureCli, ModemThatCannotBeReachedEndsWithStatusTwo) {
    Child child(captureArgs((dir_.path() / "nothing").string()), dir_.path(), env_);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(30s), 2);
    EXPECT_NE(child.err().find("Could not communicate with the modem\n"), std::string::npos);
    EXPECT_TRUE(kvx::testing::logFiles(dir_.path()).empty());
}

TEST_F(CaptureCli, AbsentDeviceIsAwaitedUntilSigterm) {
    Child child(captureArgs("auto"), dir_.path(), env_);
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(waitUntil([&] { return child.err().find("Waiting") != std::string::npos; }, 10000));
    std::this_thread::sleep_for(600ms);  // a few polls: the message is said once
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(10s), 0);
    const std::string err = child.err();
    EXPECT_EQ(err.find("Waiting"), err.rfind("Waiting"));
    EXPECT_TRUE(kvx::testing::logFiles(dir_.path()).empty());
}

// The modem is unplugged while logging and comes back still booting (silent) before it
// answers again: the hang-up restarts logging at once, each failed restart is one error-log
// line, the capture keeps trying and goes on in a new file, and the run ends with status 0.
TEST_F(CaptureCli, HungUpModemIsRestartedAndRetriedUntilItAnswers) {
    auto cfg = modemConfig(200);
    modemsim::SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    auto args = captureArgs(cfg.linkPath);
    args.insert(args.end(), {"--duration", "40", "--single-file"});
    Child child(args, dir_.path(), env_);
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(firstFileNamed(child));
    std::this_thread::sleep_for(2s);
    ASSERT_TRUE(sim.dropOff());
    std::this_thread::sleep_for(4s);
    sim.setSilent(true);  // back, but still booting
    ASSERT_TRUE(sim.comeBack());
    sim.clearRequests();
    // Some queries go unanswered before it answers.
    ASSERT_TRUE(sim.waitForRequests(2, 30000ms));
    sim.setSilent(false);
    EXPECT_EQ(child.wait(60s), 0) << child.err();

    const std::string errorLog = readText(dir_.path() / "kvxlogplus.errorlog");
    EXPECT_NE(errorLog.find("cause = Watchdog"), std::string::npos) << errorLog;
    // Each failed try is one line: at least the restart's own, while the port was gone.
    EXPECT_NE(errorLog.find("Restart failed, cause = No answer from the modem. <try, next(sec)>, 1,"),
              std::string::npos)
        << errorLog;
    const auto files = kvx::testing::logFiles(dir_.path());
    ASSERT_GE(files.size(), 2u);
    const auto last = readLog(files.back());
    EXPECT_FALSE(kvx::testing::sequences(last, 0x1234).empty()) << "logging went on";
    EXPECT_EQ(last.records.back().text(), "Log manually stopped from UI");
    EXPECT_NE(child.err().find("--- capture summary"), std::string::npos);
    EXPECT_NE(child.err().find("restart(s): watchdog"), std::string::npos) << child.err();
}

// Ctrl-C while a watchdog restart waits on a modem that has fallen silent: the restart's
// queries give up at once instead of running out their sends (some 20 s), and the stop is not
// logged as a failed restart.
TEST_F(CaptureCli, CtrlCDuringARestartOnASilentModemEndsAtOnce) {
    auto cfg = modemConfig(200);
    modemsim::SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    auto args = captureArgs(cfg.linkPath);
    args.insert(args.end(), {"--watchdog", "2", "--single-file"});
    Child child(args, dir_.path(), env_);
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(firstFileNamed(child));
    sim.setSilent(true);
    const auto errorLog = dir_.path() / "kvxlogplus.errorlog";
    ASSERT_TRUE(waitUntil(
        [&] { return readText(errorLog).find("cause = Watchdog") != std::string::npos; }, 20000))
        << child.err();
    // The watchdog's restart is sending its queries into the silence.
    sim.clearRequests();
    ASSERT_TRUE(sim.waitForRequests(2, 30000ms)) << child.err();
    const auto stopped = std::chrono::steady_clock::now();
    child.signal(SIGINT);
    const int status = child.wait(30s);
    const auto took = std::chrono::steady_clock::now() - stopped;
    EXPECT_LT(took, 5s) << child.err();
    // The modem was lost and never came back: the status a restart that gave up has.
    EXPECT_EQ(status, 2) << child.err();
    const std::string rows = readText(errorLog);
    EXPECT_EQ(rows.find("Restart failed"), std::string::npos) << rows;
    const auto files = kvx::testing::logFiles(dir_.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(readLog(files[0]).readable);
}

// The same at the very first connect, to a modem silent from the start: it ends at once, says
// why, and leaves no log.
TEST_F(CaptureCli, CtrlCDuringTheFirstConnectEndsAtOnce) {
    auto cfg = modemConfig(0);
    cfg.silent = true;
    modemsim::SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    Child child(captureArgs(cfg.linkPath), dir_.path(), env_);
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(sim.waitForRequests(2, 30000ms)) << child.err();
    const auto stopped = std::chrono::steady_clock::now();
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(30s), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 5s) << child.err();
    EXPECT_NE(child.err().find("Stopped before the modem answered.\n"), std::string::npos)
        << child.err();
    EXPECT_EQ(child.err().find("Could not communicate"), std::string::npos) << child.err();
    EXPECT_TRUE(kvx::testing::logFiles(dir_.path()).empty());
}

// A modem that answers the filter but never streams (the filter asks only for an NV item):
// the watchdog says that no packet came and how the filter was answered, and the run does
// not end with status 0.
TEST_F(CaptureCli, ModemThatNeverStreamsIsReported) {
    auto cfg = modemConfig(200);
    modemsim::SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    Child child({"capture", "--port", cfg.linkPath, "--nv", "5", "-o",
                 (dir_.path() / "cap.kvx").string(), "--duration", "6", "--watchdog", "2",
                 "--single-file"},
                dir_.path(), env_);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(60s), 7) << child.err();
    const std::string err = child.err();
    EXPECT_NE(err.find("No packet from the modem within the watchdog period (2 s) after the "
                       "filter: "),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(" filter requests were answered."), std::string::npos) << err;
    EXPECT_NE(err.find("kvxlog capture: no packet arrived from the modem"), std::string::npos);
}

// An error log that cannot be written ends the capture as the window closes, with a status of
// its own and the path tried.
TEST_F(CaptureCli, UnwritableErrorLogIsAnErrorWithItsPath) {
    auto cfg = modemConfig(100);
    cfg.silentAfter = 1500ms;  // the watchdog then writes an entry
    modemsim::SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    auto args = captureArgs(cfg.linkPath);
    args.insert(args.end(), {"--duration", "20", "--watchdog", "2", "--error-log", "/dev/full"});
    Child child(args, dir_.path(), env_);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(60s), 8) << child.err();
    EXPECT_NE(child.err().find("could not write the error log /dev/full: No space left on device"),
              std::string::npos)
        << child.err();
    const auto files = kvx::testing::logFiles(dir_.path());
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(readLog(files.front()).records.back().text(), "Log manually stopped from UI")
        << "the log is closed properly";
}

// Without a settings file the shipped catalogue is used, said once; an item no catalogue names
// is sent all the same, with one warning.
TEST_F(CaptureCli, ItemsOutsideTheCatalogueAreSentWithAWarning) {
    auto cfg = modemConfig(200);
    modemsim::SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    Child child({"capture", "--port", cfg.linkPath, "--log", "0x1234", "-o",
                 (dir_.path() / "cap.kvx").string(), "--duration", "2", "--single-file"},
                dir_.path(), env_);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(30s), 0) << child.err();
    const std::string err = child.err();
    EXPECT_NE(err.find("kvxlog: no settings file " + (dir_.path() / "none.ini").string() +
                       " (No such file or directory): kvxlog setup creates it; meanwhile the "
                       "catalogue shipped with kvxlog is used: "),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("log 0x1234 is not in the catalogue of "), std::string::npos) << err;
    const auto files = kvx::testing::logFiles(dir_.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_FALSE(kvx::testing::sequences(readLog(files[0]), 0x1234).empty())
        << "the modem was asked for the item and streamed it";
}

// A log whose records are whole but whose last record is no closing note (a killed capture)
// is listed, said to be incomplete, and given a status of its own.
TEST(DumpCli, LogWithoutItsClosingNoteIsIncomplete) {
    if (!std::filesystem::exists(kvxlogPath())) GTEST_SKIP() << "kvxlog not built";
    TempDir dir;
    const auto path = dir.path() / "cut.kvx";
    {
        dm::KvxLog engine;
        ASSERT_TRUE(engine.openlog(path.string()));
        engine.setnote("KvxLog Plus - Version 1.0.0.1");
        engine.receive(kvx::testing::wireFrame(kvx::testing::logPacket(1)));
        engine.closelog();
    }
    Child child({"dump", path.string()}, dir.path(), {});
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(10s), 9);
    EXPECT_NE(child.out().find("-- incomplete: the log does not end with its closing note\n"),
              std::string::npos)
        << child.out();
}

// A simulated modem at ttyUSB5 of a device folder of the test's own (KVXLOG_DEV_ROOT), so
// that port numbers and COM names reach it.
class PortNames : public CaptureCli {
  protected:
    void SetUp() override {
        CaptureCli::SetUp();
        if (IsSkipped()) return;
        std::filesystem::create_directories(dir_.path() / "dev");
        cfg_.linkPath = (dir_.path() / "dev" / "ttyUSB5").string();
        cfg_.packetsPerSecond = 200;
        sim_ = std::make_unique<modemsim::SimModem>(cfg_);
        ASSERT_EQ(sim_->start().error, modemsim::StartError::None);
        env_.push_back("KVXLOG_DEV_ROOT=" + (dir_.path() / "dev").string());
    }
    void useSettings(const std::string& values) {
        const auto path = dir_.path() / "settings.ini";
        std::ofstream(path) << "[KvxLogPlus]\n" << values;
        env_[0] = "KVXLOGPLUS_SETTINGS=" + path.string();
    }
    modemsim::SimModem::Config cfg_;
    std::unique_ptr<modemsim::SimModem> sim_;
};

TEST_F(PortNames, FilterSaveTakesComNamesAndKeepsTheOldFileOnFailure) {
    const auto out = dir_.path() / "mine.sqf";
    std::ofstream(out) << "my own filter";

    // COM9 names no port: the save fails and the user's file stays as it was.
    Child failed({"filter", "save", out.string(), "--port", "COM9", "--log", "0x5072"}, dir_.path(), env_);
    ASSERT_TRUE(failed.started());
    EXPECT_EQ(failed.wait(30s), 1);
    EXPECT_NE(failed.err().find("Could not communicate with the modem"), std::string::npos);
    EXPECT_EQ(readText(out), "my own filter");

    // COM5 is ttyUSB5, as for capture.
    Child saved({"filter", "save", out.string(), "--port", "COM5", "--log", "0x5072"}, dir_.path(), env_);
    ASSERT_TRUE(saved.started());
    EXPECT_EQ(saved.wait(30s), 0) << saved.err();
    EXPECT_EQ(readText(out).substr(0, 3), std::string("v\0\1", 3));
}

// Without --port, capture and filter save use the port the settings choose, as the window
// restores it: Device 0 with PortPath, else Port; --port overrides the settings.
TEST_F(PortNames, PortChosenInTheSettings) {
    struct Case {
        std::string settings;
        std::vector<std::string> port;
    } cases[] = {
        {"Device=0\nPort=5\n", {}},
        {"Device=0\nPort=9\nPortPath=" + cfg_.linkPath + "\n", {}},
        {"Port=5\n", {}},  // no Device: the custom port, as the window's combo stays on it
        {"Device=0\nPort=9\n", {"--port", "COM5"}},
        {"Device=1\n", {"--port", cfg_.linkPath}},
    };
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        useSettings(c.settings);
        std::vector<std::string> args = {
            "capture",
            "--filter",
            (dir_.path() / "f.sqf").string(),
            "-o",
            (dir_.path() / ("run" + std::to_string(run++) + "-")).string(),
            "--duration",
            "1",
            "--single-file"};
        args.insert(args.end(), c.port.begin(), c.port.end());
        Child capture(args, dir_.path(), env_);
        ASSERT_TRUE(capture.started());
        ASSERT_EQ(capture.wait(30s), 0) << capture.err();
        std::string name = capture.out();
        ASSERT_FALSE(name.empty());
        name.pop_back();
        EXPECT_FALSE(kvx::testing::sequences(readLog(name), 0x1234).empty()) << name;

        const auto out = dir_.path() / "saved.sqf";
        std::filesystem::remove(out);
        std::vector<std::string> save = {"filter", "save", out.string(), "--log", "0x5072"};
        save.insert(save.end(), c.port.begin(), c.port.end());
        Child saved(save, dir_.path(), env_);
        ASSERT_TRUE(saved.started());
        EXPECT_EQ(saved.wait(30s), 0) << saved.err();
        EXPECT_TRUE(std::filesystem::exists(out));
    }
}

// Device 1 is the maker's modem even when a port is stored: capture waits for it, and filter
// save does not find it.
TEST_F(PortNames, DetectedDeviceChosenInTheSettings) {
    useSettings("Device=1\nPort=5\n");
    Child save({"filter", "save", (dir_.path() / "x.sqf").string(), "--log", "0x5072"}, dir_.path(), env_);
    ASSERT_TRUE(save.started());
    EXPECT_EQ(save.wait(30s), 1);
    EXPECT_NE(save.err().find("Couldn't locate the device"), std::string::npos) << save.err();

    Child capture({"capture", "--filter", (dir_.path() / "f.sqf").string(), "-o",
                   (dir_.path() / "cap.kvx").string()},
                  dir_.path(), env_);
    ASSERT_TRUE(capture.started());
    ASSERT_TRUE(
        waitUntil([&] { return capture.err().find("Waiting") != std::string::npos; }, 10000));
    capture.signal(SIGTERM);
    EXPECT_EQ(capture.wait(10s), 0);
    EXPECT_TRUE(kvx::testing::logFiles(dir_.path()).empty());
}

}  // namespace
}  // namespace kvx::app
