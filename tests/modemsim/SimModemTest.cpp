#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "HostLink.h"
#include "dm/ByteReader.h"
#include "dm/Frame.h"
#include "modemsim/FakeSysfs.h"
#include "modemsim/SimModem.h"
#include "serial/Port.h"

namespace kvx::modemsim {
namespace {

namespace fs = std::filesystem;
using test::HostFrame;
using test::HostLink;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

const Bytes kLoggingStart{0x4B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0xFF};
const Bytes kLoggingStop{0x4B, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
const Bytes kMessageRanges{0x7D, 0x01};

class TempDir {
public:
    TempDir() {
        static std::atomic<int> n{0};
        path_ = fs::temp_directory_path() /
                ("kvx-modemsim-" + std::to_string(::getpid()) + "-" + std::to_string(n++));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

Bytes logMaskSet(uint32_t equipment, uint32_t limit, const std::vector<uint16_t>& codes) {
    Bytes r{0x73, 0, 0, 0, 3, 0, 0, 0};
    for (uint32_t v : {equipment, limit})
        for (int i = 0; i < 4; ++i) r.push_back(static_cast<uint8_t>(v >> (8 * i)));
    Bytes mask((limit + 7) / 8);
    for (uint16_t c : codes) mask[(c & 0xFFF) / 8] |= 1 << (c % 8);
    r.insert(r.end(), mask.begin(), mask.end());
    return r;
}

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Reads until the line has been quiet for 300 ms; false if it never goes quiet.
bool drain(HostLink& host, std::vector<HostFrame>* frames = nullptr) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end) {
        auto bytes = host.readFor(300);
        if (bytes.empty()) return true;
        auto f = host.cut(bytes);
        if (frames) frames->insert(frames->end(), f.begin(), f.end());
    }
    return false;
}

TEST(SimModem, AnswersConnectionQueriesAndLogsRequestsInOrder) {
    TempDir dir;
    SimModem::Config cfg;
    cfg.linkPath = (dir / "modem").string();
    cfg.profile.messageRanges = {{0, 10}, {500, 501}};
    cfg.profile.eventMaskBits = 0x0208;
    SimModem modem(cfg);
    ASSERT_EQ(modem.start().error, StartError::None);
    EXPECT_EQ(modem.start().error, StartError::AlreadyRunning);
    EXPECT_EQ(fs::read_symlink(cfg.linkPath).string(), modem.path());

    HostLink host(cfg.linkPath);
    ASSERT_TRUE(host.ok());
    const Bytes ranges = host.ask(kMessageRanges, 0x7D);
    ASSERT_EQ(ranges.size(), 16u);
    EXPECT_EQ(dm::le32At(ranges, 4), 2u);
    EXPECT_EQ(dm::le16At(ranges, 12), 500);
    const Bytes limits = host.ask({0x73, 0, 0, 0, 1, 0, 0, 0}, 0x73);
    ASSERT_EQ(limits.size(), 76u);
    EXPECT_EQ(dm::le32At(limits, 12 + 4 * 5), 0x0D00u);
    const Bytes events = host.ask({0x81, 0, 0, 0}, 0x81);
    ASSERT_GE(events.size(), 6u);
    EXPECT_EQ(dm::le16At(events, 4), 0x0208);

    Bytes bad = dm::buildFrame(Bytes{0x1D});
    bad[1] ^= 0x40;  // damaged CRC
    ASSERT_TRUE(host.sendRaw(bad));
    EXPECT_TRUE(host.ask({0x00}, 0x00).size() > 40);
    ASSERT_TRUE(modem.waitForRequests(5, 2000ms));

    const auto log = modem.requests();
    ASSERT_EQ(log.size(), 5u);
    const std::vector<std::pair<Bytes, bool>> expected = {
        {kMessageRanges, true}, {{0x73, 0, 0, 0, 1, 0, 0, 0}, true}, {{0x81, 0, 0, 0}, true}, {{0x1D}, false}, {{0x00}, true}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(log[i].payload, expected[i].first) << i;
        EXPECT_EQ(log[i].crcOk, expected[i].second) << i;
        if (i > 0) {
            EXPECT_GE(log[i].when, log[i - 1].when);
        }
    }
    EXPECT_EQ(log[3].effect, RequestEffect::Empty);
    EXPECT_EQ(modem.counters().badRequests, 1u);
    modem.stop();
    EXPECT_FALSE(fs::exists(fs::symlink_status(cfg.linkPath)));
    EXPECT_TRUE(modem.path().empty());
}

TEST(SimModem, StreamsEnabledLogsInOrderWithLargeFramesAndStopsOnRequest) {
    SimModem modem(SimModem::Config{});
    ASSERT_EQ(modem.start().error, StartError::None);
    HostLink host(modem.path());
    ASSERT_TRUE(host.ok());
    const std::set<uint16_t> enabled{0x5072, 0xB0C0, 0x4005, kCounterLogCode};
    for (uint32_t e : {1u, 4u, 5u, 0xBu}) {
        const uint32_t limit = e == 4 ? 0x0B00 : e == 5 ? 0x0D00 : 0x0A00;
        std::vector<uint16_t> codes;
        for (uint16_t c : enabled)
            if ((c >> 12) == e) codes.push_back(c);
        ASSERT_FALSE(host.ask(logMaskSet(e, limit, codes), 0x73).empty());
    }
    ASSERT_TRUE(host.send(kLoggingStart));

    std::vector<HostFrame> frames;
    size_t large = 0, logs = 0;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while ((large < 4 || logs < 300) && std::chrono::steady_clock::now() < end) {
        for (auto& f : host.frames(100)) {
            if (!f.payload.empty() && f.payload[0] == 0x10) {
                ++logs;
                large += f.payload.size() > 2048;
            }
            frames.push_back(std::move(f));
        }
    }
    // An unpaced stream never stalls while the host keeps reading.
    for (int window = 0; window < 5; ++window) {
        auto more = host.frames(100);
        EXPECT_FALSE(more.empty()) << "stalled in window " << window;
        frames.insert(frames.end(), more.begin(), more.end());
    }
    ASSERT_TRUE(host.send(kLoggingStop));
    ASSERT_TRUE(drain(host, &frames)) << "the stream did not end";
    EXPECT_TRUE(modem.waitForRequests(5, 1000ms));
    EXPECT_FALSE(modem.loggingOn());

    // The counter item numbers its packets without gaps; the others carry their own bodies.
    uint32_t expectSeq = 1;
    std::set<uint16_t> seen;
    size_t logsSeen = 0;
    for (const auto& f : frames) {
        ASSERT_TRUE(f.crcOk);
        if (f.payload.empty() || f.payload[0] != 0x10) continue;
        ASSERT_GE(f.payload.size(), 20u);
        ++logsSeen;
        EXPECT_EQ(dm::le16At(f.payload, 2), f.payload.size() - 4);
        seen.insert(*dm::le16At(f.payload, 6));
        if (*dm::le16At(f.payload, 6) != kCounterLogCode) continue;
        ASSERT_EQ(dm::le32At(f.payload, 16), expectSeq) << "loss or duplicate";
        ++expectSeq;
    }
    EXPECT_GE(large, 4u);
    EXPECT_EQ(seen, enabled);
    const auto c = modem.counters();
    EXPECT_EQ(c.lastSequence, expectSeq - 1);
    EXPECT_EQ(c.logPacketsSent, logsSeen);
    EXPECT_EQ(c.packetsSent, c.logPacketsSent);  // nothing else was enabled
    // Nothing more after the stop.
    EXPECT_TRUE(host.readFor(300).empty());
    EXPECT_EQ(modem.counters().packetsSent, c.packetsSent);

    // Packets made but dropped at the stop never cost a number: a new start goes on from
    // the last one the host received.
    ASSERT_TRUE(host.send(kLoggingStart));
    frames = host.frames(300);
    ASSERT_TRUE(host.send(kLoggingStop));
    ASSERT_TRUE(drain(host, &frames));
    size_t again = 0;
    for (const auto& f : frames) {
        if (!f.crcOk || f.payload.size() < 20 || f.payload[0] != 0x10) continue;
        if (*dm::le16At(f.payload, 6) != kCounterLogCode) continue;
        ASSERT_EQ(dm::le32At(f.payload, 16), expectSeq) << "gap across a stop and start";
        ++expectSeq;
        ++again;
    }
    EXPECT_GT(again, 0u);
    EXPECT_EQ(modem.counters().lastSequence, expectSeq - 1);
}

TEST(SimModem, AnswersOnlyFromTheNthIdenticalTry) {
    for (uint32_t n : {1u, 3u}) {
        SimModem::Config cfg;
        cfg.answerAfter = n;
        SimModem modem(cfg);
        ASSERT_EQ(modem.start().error, StartError::None);
        HostLink host(modem.path());
        for (uint32_t t = 1; t < n; ++t) {
            ASSERT_TRUE(host.send(kMessageRanges));
            EXPECT_TRUE(host.readFor(150).empty()) << "try " << t << " of " << n;
        }
        // Another request counts on its own.
        if (n > 1) {
            ASSERT_TRUE(host.send({0x1D}));
            EXPECT_TRUE(host.readFor(150).empty());
        }
        EXPECT_FALSE(host.ask(kMessageRanges, 0x7D).empty()) << n;
        EXPECT_FALSE(host.ask(kMessageRanges, 0x7D).empty()) << n;  // and after it
        modem.setAnswerAfter(1);
        EXPECT_FALSE(host.ask({0x1C}, 0x1C).empty()) << n;
    }
}

TEST(SimModem, SilentModemHearsButSaysNothing) {
    SimModem::Config cfg;
    cfg.silent = true;
    SimModem modem(cfg);
    ASSERT_EQ(modem.start().error, StartError::None);
    HostLink host(modem.path());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(host.send(kMessageRanges));
    ASSERT_TRUE(host.send(logMaskSet(5, 0x0D00, {0x5001})));
    ASSERT_TRUE(host.send(kLoggingStart));
    EXPECT_TRUE(host.readFor(300).empty());
    ASSERT_TRUE(modem.waitForRequests(5, 1000ms));
    EXPECT_FALSE(modem.loggingOn());  // a hung modem acts on nothing

    modem.setSilent(false);
    EXPECT_FALSE(host.ask(kMessageRanges, 0x7D).empty());

    // Falling silent while streaming: the stream stops although logging stays on.
    ASSERT_FALSE(host.ask(logMaskSet(5, 0x0D00, {0x5001}), 0x73).empty());
    ASSERT_TRUE(host.send(kLoggingStart));
    EXPECT_FALSE(host.readFor(2000, 1).empty());
    modem.goSilentAfter(100ms);
    ASSERT_TRUE(drain(host));
    EXPECT_TRUE(modem.loggingOn());
    const uint64_t sent = modem.counters().bytesSent;
    EXPECT_TRUE(host.readFor(300).empty());
    EXPECT_EQ(modem.counters().bytesSent, sent);
    modem.setSilent(false);
    EXPECT_FALSE(host.readFor(2000, 1).empty()) << "stream resumes";
}

TEST(SimModem, DropsOffAndComesBackLikeAnUnpluggedModem) {
    TempDir dir;
    FakeSysfs sysfs((dir / "sys").string(), (dir / "dev").string());
    SimModem::Config cfg;
    cfg.linkPath = (dir / "dm0").string();
    cfg.sysfs.tree = &sysfs;
    cfg.sysfs.port.tty = "ttyUSB7";
    cfg.sysfs.port.manufacturer = "Orvanta Wireless";
    cfg.sysfs.port.product = "KVX-210";
    const fs::path classEntry = dir / "sys" / "class" / "tty" / "ttyUSB7";
    const fs::path devEntry = dir / "dev" / "ttyUSB7";
    SimModem modem(cfg);
    ASSERT_EQ(modem.start().error, StartError::None);
    EXPECT_TRUE(fs::exists(fs::symlink_status(classEntry)));
    EXPECT_EQ(fs::read_symlink(devEntry).string(), modem.path());

    {
        HostLink host(cfg.linkPath);
        ASSERT_FALSE(host.ask(logMaskSet(5, 0x0D00, {0x5001}), 0x73).empty());
        ASSERT_TRUE(host.send(kLoggingStart));
        EXPECT_FALSE(host.readFor(2000, 1).empty());
        ASSERT_TRUE(modem.dropOff());
        // The host's reads end in a hang-up once the buffered bytes are gone.
        for (int i = 0; i < 50 && !host.hungUp(); ++i) host.readFor(100);
        EXPECT_TRUE(host.hungUp());
    }
    EXPECT_FALSE(modem.pluggedIn());
    EXPECT_TRUE(modem.path().empty());
    EXPECT_FALSE(fs::exists(fs::symlink_status(cfg.linkPath)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(classEntry)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(devEntry)));
    EXPECT_FALSE(HostLink(cfg.linkPath).ok());
    EXPECT_EQ(modem.counters().drops, 1u);

    ASSERT_TRUE(modem.comeBack());
    EXPECT_FALSE(modem.path().empty());
    EXPECT_EQ(fs::read_symlink(cfg.linkPath).string(), modem.path());
    EXPECT_TRUE(fs::exists(fs::symlink_status(classEntry)));
    EXPECT_FALSE(modem.loggingOn());  // it woke up knowing nothing
    HostLink host(cfg.linkPath);
    EXPECT_FALSE(host.ask(kMessageRanges, 0x7D).empty());
    EXPECT_TRUE(host.readFor(200).empty()) << "no stream until the host starts logging again";

    // The automatic variant: unplugged, then back by itself.
    modem.setComeBackAfter(300ms);
    ASSERT_TRUE(modem.dropOff());
    EXPECT_TRUE(eventually([&] { return modem.pluggedIn(); }));
    EXPECT_EQ(modem.counters().drops, 2u);
    EXPECT_TRUE(HostLink(cfg.linkPath).ask(kMessageRanges, 0x7D).size() > 0);
}

TEST(SimModem, DropsAfterADelayAndComesBackByItself) {
    SimModem::Config cfg;
    cfg.dropAfter = 150ms;
    cfg.comeBackAfter = 150ms;
    SimModem modem(cfg);
    ASSERT_EQ(modem.start().error, StartError::None);
    const std::string first = modem.path();
    EXPECT_TRUE(eventually([&] { return modem.counters().drops == 1; }));
    EXPECT_TRUE(eventually([&] { return modem.pluggedIn(); }));
    EXPECT_FALSE(modem.path().empty());
    EXPECT_EQ(modem.counters().drops, 1u);  // once only
}

TEST(SimModem, CorruptionDamagesFramesOnlyWhenAsked) {
    for (double share : {0.0, 0.002}) {
        SimModem::Config cfg;
        cfg.corruptShare = share;
        SimModem modem(cfg);
        ASSERT_EQ(modem.start().error, StartError::None);
        HostLink host(modem.path());
        // Ask until the mask reply gets through undamaged.
        for (int i = 0; i < 20 && host.ask(logMaskSet(0xB, 0x0A00, {0xB0C0}), 0x73, 300).empty(); ++i) {
        }
        ASSERT_TRUE(host.send(kLoggingStart));
        size_t bad = 0, total = 0;
        for (int i = 0; i < 50 && total < 400; ++i)
            for (const auto& f : host.frames(100)) {
                ++total;
                bad += !f.crcOk;
            }
        EXPECT_GE(total, 100u) << share;
        if (share == 0.0) {
            EXPECT_EQ(bad, 0u);
        } else {
            EXPECT_GT(bad, 0u);
        }
        modem.setCorruptShare(0.0);
        ASSERT_TRUE(host.send(kLoggingStop));
        ASSERT_TRUE(drain(host));
    }
}

TEST(SimModem, RateLimitsTheStream) {
    SimModem::Config cfg;
    cfg.packetsPerSecond = 20;
    SimModem modem(cfg);
    ASSERT_EQ(modem.start().error, StartError::None);
    HostLink host(modem.path());
    ASSERT_FALSE(host.ask(logMaskSet(5, 0x0D00, {0x5001}), 0x73).empty());
    ASSERT_TRUE(host.send(kLoggingStart));
    size_t logs = 0;
    for (const auto& f : host.frames(500)) logs += !f.payload.empty() && f.payload[0] == 0x10;
    // Unpaced, the terminal carries thousands in this time.
    EXPECT_GE(logs, 1u);
    EXPECT_LE(logs, 60u);
    modem.setPacketsPerSecond(0);
    size_t more = 0;
    for (const auto& f : host.frames(1000)) more += !f.payload.empty() && f.payload[0] == 0x10;
    EXPECT_GT(more, 60u);  // more than the paced rate allows in this time
}

TEST(SimModem, EngineSerialPortTalksToIt) {
    TempDir dir;
    SimModem::Config cfg;
    cfg.linkPath = (dir / "ttyDM").string();
    SimModem modem(cfg);
    ASSERT_EQ(modem.start().error, StartError::None);
    serial::OpenStatus st;
    auto port = serial::openport(cfg.linkPath, &st);
    ASSERT_TRUE(port) << serial::describe(st);
    const Bytes frame = dm::buildFrame(kMessageRanges);
    ASSERT_TRUE(port->write(frame));
    uint8_t buf[serial::kEngineReadSize];
    size_t n = 0;
    for (int i = 0; i < 5 && n == 0; ++i) n = serial::readport(*port, buf);
    n = dm::unescapereply(buf, n);
    ASSERT_GE(n, 8u);
    EXPECT_EQ(buf[0], 0x7D);
    EXPECT_EQ(buf[1], 0x01);
    EXPECT_EQ(buf[2], 0x01);
    // Unplugging is seen by the port.
    ASSERT_TRUE(modem.dropOff());
    for (int i = 0; i < 5 && !port->dead(); ++i) serial::readport(*port, buf);
    EXPECT_TRUE(port->dead());
}

}  // namespace
}  // namespace kvx::modemsim
