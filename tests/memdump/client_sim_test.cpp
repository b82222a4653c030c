// Whole dumps against the simulated modem in download mode on a pseudo-terminal: exact files,
// the modem's faults, hostile names, time-outs, abort, and finding the port.
#include <chrono>
#include <thread>

#include "DumpFixture.h"
#include "modemsim/FakeSysfs.h"

namespace kvx::memdump::test {
namespace {

using modemsim::escapeHeavyBytes;
using modemsim::SimRegion;
using Clock = std::chrono::steady_clock;

std::vector<SimRegion> threeRegions() {
    return {{1, 0x00001000, "CODE", "code.bin", escapeHeavyBytes(5000, 11)},
            {1, 0x00200000, "EMPTY", "empty.bin", {}},
            {2, 0x80000000, "DDR", "ddr.bin", escapeHeavyBytes(70000, 12)}};
}

TEST_F(DumpTest, RegionsOfAnySizeBecomeExactFiles) {
    startModem(threeRegions());
    ASSERT_EQ(client.runOn(modem->path()), kDumpFinished);
    expectFilesMatch();
    EXPECT_TRUE(fs::exists(out / "empty.bin"));

    // 5000 bytes as 2040, 2040 and 920; the empty region asked for with length 0.
    const auto lengths = requestedLengths();
    ASSERT_GE(lengths.size(), 4u);
    EXPECT_EQ(std::vector<uint32_t>(lengths.begin(), lengths.begin() + 4),
              (std::vector<uint32_t>{2040, 2040, 920, 0}));
    EXPECT_EQ(lengths.size(), 4u + (70000 + 2039) / 2040);

    const auto& s = client.summary();
    EXPECT_EQ(s.regions, 3);
    EXPECT_EQ(s.bytesAnnounced, 75000u);
    EXPECT_EQ(s.bytesRead, 75000u);
    ASSERT_EQ(s.files.size(), 3u);
    for (const auto& f : s.files) EXPECT_TRUE(f.complete) << f.name;

    // One region message with the table; read progress 1, 129, ...; then 100 when finished.
    ASSERT_EQ(target.tables.size(), 1u);
    EXPECT_EQ(target.tables[0].count, 3);
    EXPECT_EQ(target.tables[0].regions[2].description, "DDR");
    const auto reading = target.counters(kStateReading);
    ASSERT_FALSE(reading.empty());
    EXPECT_EQ(reading[0], 1);
    for (size_t i = 1; i < reading.size(); ++i) EXPECT_EQ(reading[i], 1 + 128 * int32_t(i));
    EXPECT_EQ(target.counters(kStateFinished), std::vector<int32_t>{100});
    EXPECT_TRUE(target.boxes.empty());
}

TEST_F(DumpTest, CorruptedLateAndSplitResponsesStillGiveExactFiles) {
    const struct {
        const char* what;
        uint32_t corrupt, late, split;
    } cases[] = {
        {"corrupted", 2, 0, 1},
        {"late duplicate", 0, 3, 1},
        {"split in pieces", 0, 0, 4},
        {"all at once", 5, 2, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        modemsim::SimModemConfig config;
        config.download.regions = threeRegions();
        config.download.corruptRead = c.corrupt;
        config.download.lateDuplicateRead = c.late;
        config.download.splitWrites = c.split;
        config.download.splitGap = modemsim::Millis(15);
        startModem(std::move(config));
        RecordingTarget local;
        client.setTarget(&local);
        ASSERT_EQ(client.runOn(modem->path()), kDumpFinished);
        expectFilesMatch();
        EXPECT_EQ(client.summary().bytesRead, 75000u);
        if (c.late != 0) {
            bool dropped = false;
            for (const auto& d : local.diagnostics) dropped |= d.find("dropped") != std::string::npos;
            EXPECT_TRUE(dropped);
        }
        if (c.corrupt != 0) {
            bool checksum = false;
            for (const auto& d : local.diagnostics) checksum |= d.rfind("Checksum Error", 0) == 0;
            EXPECT_TRUE(checksum);
        }
        client.setTarget(&target);
        modem.reset();
        fs::remove_all(out);
        fs::create_directories(out);
    }
}

TEST_F(DumpTest, AnnouncedNamesNeverLeaveTheOutputFolder) {
    startModem(std::vector<SimRegion>{{1, 0x100, "A", "../evil.bin", escapeHeavyBytes(300, 1)},
                                      {1, 0x1000, "B", "/tmp/abs.bin", escapeHeavyBytes(10, 2)},
                                      {1, 0x2000, "C", "..", escapeHeavyBytes(10, 3)},
                                      {1, 0x3000, "D", "evil.bin", escapeHeavyBytes(10, 4)}});
    ASSERT_EQ(client.runOn(modem->path()), kDumpFinished);
    EXPECT_FALSE(fs::exists(base / "evil.bin"));
    EXPECT_EQ(readFile(out / "evil.bin"), regions[0].bytes);
    EXPECT_EQ(readFile(out / "abs.bin"), regions[1].bytes);
    EXPECT_EQ(readFile(out / "region3.bin"), regions[2].bytes);
    // A second region of the same name does not overwrite the first one's file.
    EXPECT_EQ(readFile(out / "evil_4.bin"), regions[3].bytes);
    size_t count = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(out)) ++count;
    EXPECT_EQ(count, 4u);
}

TEST_F(DumpTest, SilentModemEndsAfterTheSearchTimeWithoutMessageBox) {
    modemsim::SimModemConfig config;
    config.silent = true;
    startModem(std::move(config));
    const auto t0 = Clock::now();
    EXPECT_EQ(client.runOn(modem->path()), kNoCommunication);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_GT(ms, 10000);
    EXPECT_LT(ms, 16000);
    EXPECT_TRUE(target.boxes.empty());
    EXPECT_TRUE(client.summary().files.empty());
    for (const auto& p : target.progresses) EXPECT_EQ(p.state, kStateSearching);
}

TEST_F(DumpTest, SilenceAfterTheAcknowledgementShowsTheMessageBox) {
    // Time-outs shortened tenfold; the message is the same.
    MemDebugClient::Timing t;
    t.search = std::chrono::milliseconds(1000);
    t.silence = std::chrono::milliseconds(3000);
    t.pass = std::chrono::milliseconds(315);
    client.setTiming(t);
    modemsim::SimModemConfig config;
    config.download.regions = threeRegions();
    startModem(std::move(config));
    // Falls silent once the modem has acknowledged and announced its regions.
    std::thread hush([&] {
        while (modem->requestCount() < 4) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        modem->setSilent(true);
    });
    const auto t0 = Clock::now();
    const int result = client.runOn(modem->path());
    hush.join();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_EQ(result, kNoCommunication);
    EXPECT_GT(ms, 3000);
    EXPECT_EQ(target.boxes, std::vector<std::string>{"No communication received for 30 seconds.  Aborting"});
    // What was being written is not passed off as a whole region.
    for (const auto& f : client.summary().files) {
        if (f.complete) continue;
        EXPECT_TRUE(fs::exists(f.path));
        EXPECT_EQ(f.path.substr(f.path.size() - 8), ".partial");
    }
}

TEST_F(DumpTest, AcknowledgementAfterSeveralTries) {
    modemsim::SimModemConfig config;
    config.download.regions = threeRegions();
    config.answerAfter = 3;
    startModem(std::move(config));
    MemDebugClient::Timing t;
    t.pass = std::chrono::milliseconds(100);
    client.setTiming(t);
    ASSERT_EQ(client.runOn(modem->path()), kDumpFinished);
    expectFilesMatch();
    size_t noOps = 0;
    for (const auto& r : modem->requests()) noOps += r.payload == std::vector<uint8_t>{0x06};
    EXPECT_GE(noOps, 3u);
}

// Aborts from a target once a given number of bytes is stored.
class AbortingTarget : public RecordingTarget {
  public:
    void bytesStored(uint64_t done, uint64_t) override {
        if (done >= at && client != nullptr) {
            client->abort();
            client = nullptr;
        }
    }
    MemDebugClient* client = nullptr;
    uint64_t at = 0;
};

TEST_F(DumpTest, AbortKeepsCompleteFilesAndMarksThePartialOne) {
    startModem(threeRegions());
    AbortingTarget t;
    t.client = &client;
    t.at = 5000 + 4080;  // inside the third region
    client.setTarget(&t);
    EXPECT_EQ(client.runOn(modem->path()), kDumpFinished);
    const auto& s = client.summary();
    EXPECT_TRUE(s.aborted);
    ASSERT_EQ(s.files.size(), 3u);
    EXPECT_TRUE(s.files[0].complete);
    EXPECT_TRUE(s.files[1].complete);
    EXPECT_FALSE(s.files[2].complete);
    EXPECT_EQ(readFile(out / "code.bin"), regions[0].bytes);
    EXPECT_FALSE(fs::exists(out / "ddr.bin"));
    const auto partial = readFile(out / "ddr.bin.partial");
    EXPECT_EQ(partial.size(), s.files[2].bytes);
    EXPECT_TRUE(std::equal(partial.begin(), partial.end(), regions[2].bytes.begin()));
}

TEST_F(DumpTest, AbortFromAnotherThreadEndsAWaitingRun) {
    modemsim::SimModemConfig config;
    config.silent = true;
    startModem(std::move(config));
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        client.abort();
    });
    const auto t0 = Clock::now();
    EXPECT_EQ(client.runOn(modem->path()), kDumpFinished);
    stopper.join();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(), 3000);
    EXPECT_TRUE(client.summary().aborted);
}

TEST_F(DumpTest, AbortWhileThePortOpensIsNotLost) {
    modemsim::SimModemConfig config;
    config.silent = true;
    startModem(std::move(config));
    client.abort();  // as an Exit that comes before the run has sent anything
    const auto t0 = Clock::now();
    EXPECT_EQ(client.runOn(modem->path()), kDumpFinished);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(), 2000);
    EXPECT_TRUE(client.summary().aborted);
    // Consumed by the run it ended: the next run is not aborted.
    MemDebugClient::Timing t;
    t.search = std::chrono::milliseconds(300);
    t.pass = std::chrono::milliseconds(100);
    client.setTiming(t);
    EXPECT_EQ(client.runOn(modem->path()), kNoCommunication);
    EXPECT_FALSE(client.summary().aborted);
}

TEST_F(DumpTest, UncreatableFileEndsTheRunNamingIt) {
    startModem(threeRegions());
    client.setOutputFolder(base / "missing" / "folder");
    const auto t0 = Clock::now();
    EXPECT_EQ(client.runOn(modem->path()), kOutputFileFailed);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(), 5000);
    const auto& msg = client.summary().message;
    EXPECT_NE(msg.find("code.bin"), std::string::npos) << msg;
    EXPECT_NE(msg.find("No such file or directory"), std::string::npos) << msg;
    // Asked once, not without end.
    EXPECT_EQ(requestedLengths().size(), 1u);
}

TEST_F(DumpTest, EmptyRegionTableFinishesAtOnceAndSaysSo) {
    startModem(std::vector<SimRegion>{});
    EXPECT_EQ(client.runOn(modem->path()), kDumpFinished);
    EXPECT_TRUE(requestedLengths().empty());
    EXPECT_NE(client.summary().message.find("no memory regions"), std::string::npos);
    ASSERT_EQ(target.tables.size(), 1u);
    EXPECT_EQ(target.tables[0].count, 0);
    EXPECT_EQ(target.counters(kStateFinished), std::vector<int32_t>{100});
}

TEST_F(DumpTest, FindsTheDownloadPortByNameOrUsbIdAndResets) {
    modemsim::FakeSysfs tree((base / "sys").string(), (base / "dev").string());
    client.setDiscoveryRoots(tree.root(), tree.dev());
    EXPECT_EQ(client.runOn(""), kPortFailed);
    EXPECT_FALSE(client.resetOn(""));

    const struct {
        const char* product;
        int vid, pid;
        bool found;
    } cases[] = {
        {"MGX Download Port", 0x1f2e, 0x0210, true},
        {"QHSUSB__BULK", modemsim::kDownloadVendorId, modemsim::kDownloadProductId, true},
        {"KVX-210 LTE Modem", 0x1f2e, 0x0210, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.product);
        modemsim::SimModemConfig config;
        config.download.regions = {{1, 0x10, "R", "r.bin", escapeHeavyBytes(3000, 5)}};
        config.sysfs.tree = &tree;
        config.sysfs.port.tty = "ttyUSB4";
        config.sysfs.port.manufacturer = "Orvanta Wireless";
        config.sysfs.port.product = c.product;
        config.sysfs.port.vendorId = c.vid;
        config.sysfs.port.productId = c.pid;
        config.sysfs.port.interfaceClass = 0xff;
        config.sysfs.port.interfaceSubClass = 0xff;
        config.sysfs.port.interfaceProtocol = 0xff;
        startModem(std::move(config));
        EXPECT_EQ(client.findDumpPort().empty(), !c.found);
        if (c.found) {
            EXPECT_EQ(client.run(0), kDumpFinished);
            expectFilesMatch();
            EXPECT_TRUE(client.reset(0));
            const auto deadline = Clock::now() + std::chrono::seconds(2);
            while (modem->resetsReceived() == 0 && Clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(modem->resetsReceived(), 1u);
        } else {
            EXPECT_EQ(client.run(0), kPortFailed);
        }
        modem.reset();
    }
}

}  // namespace
}  // namespace kvx::memdump::test
