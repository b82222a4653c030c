// Capture against the simulated modem on a pseudo-terminal: nothing lost across rotations
// while it streams as fast as the terminal carries, a hung modem restarted by the watchdog
// with the filter sent again, status replies in the Info Box, and a modem that drops off and
// comes back.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>

#include "app/CaptureFixture.h"
#include "dm/Frame.h"
#include "info/InfoDecoder.h"
#include "modemsim/FakeSysfs.h"
#include "modemsim/SimModem.h"

namespace kvx::app {
namespace {

namespace ctl = capture::ctl;
namespace timer = capture::timer;
using kvx::testing::CaptureFixture;
using kvx::testing::errorLogLines;
using kvx::testing::logFiles;
using kvx::testing::readLog;
using kvx::testing::sequences;
using kvx::testing::waitUntil;
using modemsim::SimModem;
using namespace std::chrono_literals;

constexpr uint16_t kCode = 0x1234;  // the one log item the filter enables

std::vector<uint8_t> frameOf(const std::vector<uint8_t>& payload) {
    return kvx::testing::wireFrame(payload);
}

// A filter file that enables log item 0x1234 (equipment 1, 0xA00 items in the default profile),
// then sends the `more` requests.
void writeFilterFile(const std::filesystem::path& path,
                     const std::vector<std::vector<uint8_t>>& more = {}) {
    const uint32_t limit = 0x0A00;
    std::vector<uint8_t> p = {0x73, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0};
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(limit >> (8 * i)));
    std::vector<uint8_t> mask((limit + 7) / 8, 0);
    const uint16_t item = kCode & 0x0FFF;
    mask[item / 8] |= static_cast<uint8_t>(1u << (item % 8));
    p.insert(p.end(), mask.begin(), mask.end());
    const auto frame = frameOf(p);
    std::ofstream out(path, std::ios::binary);
    out.put(0x76).put(0x00).put(0x01);
    out.write(reinterpret_cast<const char*>(frame.data()),
              static_cast<std::streamsize>(frame.size()));
    for (const auto& request : more) {
        const auto f = frameOf(request);
        out.write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
    }
}

bool isLogMaskSet(const modemsim::ReceivedRequest& r) {
    return r.payload.size() > 8 && r.payload[0] == 0x73 && r.payload[4] == 3;
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Every streamed record of the files, in file order.
std::vector<uint32_t> allSequences(const std::vector<std::filesystem::path>& files) {
    std::vector<uint32_t> all;
    for (const auto& f : files) {
        auto s = sequences(readLog(f), kCode);
        all.insert(all.end(), s.begin(), s.end());
    }
    return all;
}

void expectOneToN(const std::vector<uint32_t>& all, uint32_t n) {
    ASSERT_EQ(all.size(), n);
    for (uint32_t i = 0; i < n; ++i) {
        if (all[i] != i + 1) {
            ADD_FAILURE() << "record " << i << " carries sequence " << all[i]
                          << " (loss, duplicate or reordering)";
            return;
        }
    }
}

class SimCapture : public CaptureFixture {
  protected:
    void SetUp() override {
        CaptureFixture::SetUp();
        engine_.setportopener(nullptr);     // real ports: the modem's pseudo-terminal
        dialog_->setFilterSender(nullptr);  // the filter file, replayed as the window does
        writeFilterFile(dir_.path() / "f.sqf");
        window_.setText(ctl::kFilterPath, (dir_.path() / "f.sqf").string());
    }

    // Turns the modem's logging off and waits until its last packet is logged: the maker's
    // logging stop, or on a plain chipset every mask off. One request at a time: the port
    // discards output that the modem has not read yet at the next write.
    void quietAndDrain(SimModem& sim, bool plainChipset = false) {
        std::vector<std::vector<uint8_t>> stops = {{0x4B, 0, 0, 0, 1, 0, 0, 0}};
        if (plainChipset) stops = {{0x73, 0, 0, 0, 0, 0, 0, 0}, {0x7D, 0x05, 0, 0, 0, 0, 0, 0}};
        for (const auto& stop : stops) {
            const auto frame = dm::buildFrame(stop);
            engine_.transact(frame.data(), frame.size(), false);
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_TRUE(waitUntil([&] { return !sim.loggingOn(); }));
        uint32_t last = ~0u;
        ASSERT_TRUE(waitUntil(
            [&] {
                const uint32_t now = engine_.getstats().packets;
                const bool stable = now == last;
                last = now;
                std::this_thread::sleep_for(150ms);
                return stable;
            },
            20000));
    }
};

TEST_F(SimCapture, NothingIsLostAcrossSizeRotationsAtFullSpeed) {
    SimModem::Config cfg;
    cfg.linkPath = (dir_.path() / "dm0").string();
    // Faster than the terminal carries: the modem waits for room, as a USB modem does.
    // (Rate 0 would also mean "as fast as possible", but it relies on the terminal's POLLOUT,
    // which a pseudo-terminal does not always signal once its reader has drained it.)
    cfg.packetsPerSecond = 50000;
    SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    window_.setText(ctl::kCustomPort, cfg.linkPath);
    window_.setText(ctl::kLimit, "1");
    startLogging();

    // Ticks every 300 ms until three files have ended by size.
    const auto until = std::chrono::steady_clock::now() + 60s;
    size_t rotations = 0;
    while (rotations < 3 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(300ms);
        const std::string file = dialog_->currentLogFile();
        ASSERT_TRUE(window_.fire(timer::kStatus));
        const size_t entries = std::filesystem::exists(dir_.path() / kErrorLogName)
                                   ? errorLogLines(dir_.path()).size()
                                   : 0;
        if (entries > rotations) {
            rotations = entries;
            waitNextFile(file);
        }
    }
    ASSERT_EQ(rotations, 3u);
    quietAndDrain(sim);
    dialog_->OnStop();

    const auto files = logFiles(dir_.path());
    ASSERT_EQ(files.size(), 4u);
    for (const auto& line : errorLogLines(dir_.path())) {
        EXPECT_NE(line.find("Error 4 occured"), std::string::npos) << line;
    }
    const uint32_t sent = sim.counters().lastSequence;
    EXPECT_GT(sent, 1000u);
    // Every packet the modem sent is in the files, in order, none twice: a frame cut by a
    // rotation is completed into the next file.
    expectOneToN(allSequences(files), sent);
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].filename().string());
        const auto log = readLog(files[i]);
        ASSERT_TRUE(log.readable);
        EXPECT_EQ(log.records.front().text(), "KvxLog Plus - Version 1.0.0.1");
        if (i + 1 < files.size()) {
            EXPECT_EQ(log.records.back().text().rfind("Log capacity reached: Filesize = ", 0), 0u);
        }
        EXPECT_FALSE(sequences(log, kCode).empty());
        for (const auto& r : log.records) EXPECT_NE(r.text(), "KvxLog DM Error - CRC");
    }
}

TEST_F(SimCapture, HungModemIsRestartedByTheWatchdogOnceItHasReset) {
    SimModem::Config cfg;
    cfg.linkPath = (dir_.path() / "dm0").string();
    cfg.packetsPerSecond = 400;
    SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    window_.setText(ctl::kCustomPort, cfg.linkPath);
    startLogging();
    const std::string first = dialog_->currentLogFile();
    ASSERT_TRUE(waitUntil([&] { return sim.counters().lastSequence > 50; }));
    sim.setSilent(true);  // hangs: no stream, no answers
    uint32_t last = ~0u;
    ASSERT_TRUE(waitUntil([&] {
        const uint32_t now = engine_.getstats().packets;
        const bool stable = now == last;
        last = now;
        std::this_thread::sleep_for(150ms);
        return stable;
    }));
    const size_t requestsBefore = sim.requestCount();

    // The hung modem resets itself while the restart pauses between its Stop and its Start
    // (it comes back knowing nothing: logging off, masks clear). A modem that went on
    // streaming instead would bury the connection replies: connect reads one reply per query.
    onSleep_ = [&] {
        sim.dropOff();
        sim.setSilent(false);
        sim.comeBack();
    };
    int ticks = 0;
    while (!std::filesystem::exists(dir_.path() / kErrorLogName) && ticks < 10) {
        ASSERT_TRUE(window_.fire(timer::kStatus));
        ++ticks;
    }
    EXPECT_EQ(ticks, 6) << "a first tick that sees the count, then five unchanged ones";
    EXPECT_EQ(errorLogLines(dir_.path()).size(), 1u);
    ASSERT_EQ(dialog_->state(), UiState::Logging)
        << ::testing::PrintToString(window_.boxes()) << serial::describe(engine_.lastopenstatus());
    waitNextFile(first);
    const uint32_t resumedAt = sim.counters().lastSequence;
    ASSERT_TRUE(waitUntil([&] { return sim.counters().lastSequence > resumedAt + 50; }));
    dialog_->OnStop();

    int maskRequests = 0;
    const auto requests = sim.requests();
    for (size_t i = requestsBefore; i < requests.size(); ++i) {
        maskRequests += isLogMaskSet(requests[i]);
    }
    EXPECT_EQ(maskRequests, 1) << "the new worker sends the filter again";
    const auto files = logFiles(dir_.path());
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(readLog(files[0]).records.back().text(), "Log manually stopped from UI");
    EXPECT_FALSE(sequences(readLog(files[1]), kCode).empty());
}

TEST_F(SimCapture, StatusRequestsFillTheInfoBoxThroughTheWindow) {
    SimModem::Config cfg;
    cfg.linkPath = (dir_.path() / "dm0").string();
    cfg.packetsPerSecond = 100;
    SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    window_.setText(ctl::kCustomPort, cfg.linkPath);
    std::map<int32_t, std::string> shown;
    dialog_->setInfoSink([&](const dm::InfoNotification& n) { shown[n.field] = n.text; });
    startLogging();
    ASSERT_TRUE(window_.waitTimer(timer::kRequests, 5000));
    ASSERT_TRUE(window_.fire(timer::kRequests));
    // Decoded on the worker, queued by the window, handled on this (the window's) thread.
    ASSERT_TRUE(waitUntil([&] {
        window_.deliverNotifications();
        return shown.count(info::kImei) && shown.count(info::kFirmware) &&
               shown.count(info::kReceivedPower);
    }));
    dialog_->OnStop();
    EXPECT_EQ(shown[info::kImei], "49015420323751");
    EXPECT_EQ(shown[info::kSystemMode], "GSM");
    EXPECT_EQ(shown[info::kReceivedPower], "-80.000000");
    EXPECT_EQ(shown.count(18), 0u);
}

// A dual-SIM phone (a plain chipset: it streams as soon as the filter's masks enable
// something): every log packet it sent is in the log, each behind the note of its
// subscription, and every compressed message it sent is there as a packet record.
TEST_F(SimCapture, DualSimPhoneLosesNothingAndKeepsTheSubscriptions) {
    // Log item 0x1234, and messages of subsystem 5 at every level.
    writeFilterFile(dir_.path() / "f.sqf", {{0x7D, 0x04, 5, 0, 5, 0, 0, 0, 0x1F, 0, 0, 0}});
    SimModem::Config cfg;
    cfg.linkPath = (dir_.path() / "dm0").string();
    cfg.packetsPerSecond = 3000;
    cfg.profile = modemsim::profileFor(modemsim::ProfileKind::MultiSim);
    SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    window_.setText(ctl::kCustomPort, cfg.linkPath);
    startLogging();
    ASSERT_TRUE(waitUntil([&] {
        const auto c = sim.counters();
        return c.lastSequence > 400 && c.messagePacketsSent > 30;
    }, 20000));
    quietAndDrain(sim, /*plainChipset=*/true);
    dialog_->OnStop();

    const auto files = logFiles(dir_.path());
    ASSERT_EQ(files.size(), 1u);
    const auto log = readLog(files[0]);
    ASSERT_TRUE(log.readable);
    std::optional<uint32_t> subscription;
    std::vector<uint32_t> logged;
    size_t notes = 0, compressed = 0, plainMessages = 0;
    for (const auto& r : log.records) {
        const std::string text = r.isNote() ? r.text() : "";
        if (text.rfind("Subscription ", 0) == 0) {
            subscription = static_cast<uint32_t>(std::stoul(text.substr(13)));
            ++notes;
        } else if (r.code == kCode && r.body.size() >= 4) {
            const uint32_t seq = r.body[0] | (r.body[1] << 8) | (r.body[2] << 16) |
                                 (static_cast<uint32_t>(r.body[3]) << 24);
            logged.push_back(seq);
            ASSERT_TRUE(subscription) << "log " << seq << " before any subscription note";
            ASSERT_EQ(*subscription, modemsim::multiSimSubscription(seq)) << "log " << seq;
        }
        compressed += r.code == dm::kCodePacket && !r.body.empty() && r.body[0] == 0x92;
        plainMessages += r.code == dm::kCodeMessage;
    }
    const auto sent = sim.counters();
    expectOneToN(logged, sent.lastSequence);
    size_t changes = 0;
    for (uint32_t seq = 1, last = 0; seq <= sent.lastSequence; ++seq) {
        changes += modemsim::multiSimSubscription(seq) != last;
        last = modemsim::multiSimSubscription(seq);
    }
    EXPECT_EQ(notes, changes);
    EXPECT_EQ(compressed, sent.messagePacketsSent);
    EXPECT_EQ(plainMessages, 0u);
    // Everything of the phone was kept; only its refusals (0x13) of the maker's logging
    // switch, which a plain chipset does not know, are not.
    for (const auto& n : engine_.notkept()) EXPECT_EQ(n.code, 0x13) << dm::formatNotKept(engine_.notkept());
}

class SimUnplug : public SimCapture {
  protected:
    void SetUp() override {
        setenv("KVXLOG_DEV_ROOT", (dir_.path() / "dev").c_str(), 1);
        SimCapture::SetUp();
        engine_.setsysfsroot((dir_.path() / "sys").string());
    }
    void TearDown() override {
        SimCapture::TearDown();
        unsetenv("KVXLOG_DEV_ROOT");
    }
};

TEST_F(SimUnplug, ModemDropsOffAndComesBackFiveSecondsLater) {
    modemsim::FakeSysfs sysfs((dir_.path() / "sys").string(), (dir_.path() / "dev").string());
    SimModem::Config cfg;
    cfg.packetsPerSecond = 500;
    cfg.sysfs.tree = &sysfs;
    cfg.sysfs.port.tty = "ttyUSB7";
    cfg.sysfs.port.manufacturer = "Orvanta Wireless";
    cfg.sysfs.port.product = "KVX-210";
    SimModem sim(cfg);
    ASSERT_EQ(sim.start().error, modemsim::StartError::None);
    dialog_->fillPortCombo();
    ASSERT_TRUE(dialog_->portRows()[1].present);
    dialog_->selectDevice(kDeviceDetected);
    startLogging();
    const std::string first = dialog_->currentLogFile();
    ASSERT_TRUE(waitUntil([&] { return sim.counters().lastSequence > 100; }));
    // Bytes still in the terminal when it hangs up are discarded by the kernel, as they are
    // when a USB modem is pulled; so the stream is drained first and every packet the host
    // has received can be looked for in the first file.
    quietAndDrain(sim);
    const uint32_t beforeDrop = sim.counters().lastSequence;
    sim.setComeBackAfter(5000ms);
    ASSERT_TRUE(sim.dropOff());

    // The worker waits on the dead port without spinning.
    double cpu = cpuSeconds();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(cpuSeconds() - cpu, 0.5);

    for (int tick = 0; tick < 6 && dialog_->state() == UiState::Logging; ++tick) {
        ASSERT_TRUE(window_.fire(timer::kStatus));
    }
    ASSERT_EQ(dialog_->state(), UiState::Waiting);
    const auto firstLog = readLog(first);  // closed by the restart's Stop
    ASSERT_TRUE(firstLog.readable);
    EXPECT_EQ(firstLog.records.back().text(), "Log manually stopped from UI");
    const auto before = sequences(firstLog, kCode);
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(before.back(), beforeDrop) << "every packet sent before the drop is in the file";

    const auto until = std::chrono::steady_clock::now() + 15s;
    while (dialog_->state() == UiState::Waiting && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(250ms);
        ASSERT_TRUE(window_.fire(kDeviceWaitTimer));
    }
    ASSERT_EQ(dialog_->state(), UiState::Logging);
    waitNextFile(first);
    ASSERT_TRUE(waitUntil([&] { return sim.counters().lastSequence > beforeDrop + 100; }));
    quietAndDrain(sim);
    dialog_->OnStop();

    const auto files = logFiles(dir_.path());
    ASSERT_EQ(files.size(), 2u);
    const auto after = sequences(readLog(files[1]), kCode);
    ASSERT_FALSE(after.empty());
    EXPECT_GT(after.front(), beforeDrop);
    EXPECT_EQ(after.back(), sim.counters().lastSequence);
    for (size_t i = 1; i < after.size(); ++i) ASSERT_EQ(after[i], after[i - 1] + 1);
    for (size_t i = 1; i < before.size(); ++i) ASSERT_EQ(before[i], before[i - 1] + 1);
}

}  // namespace
}  // namespace kvx::app
