// Our host against a plain chipset, which streams as soon as a mask enables something: the
// log packets arrive between the replies to the rest of the mask set-up, and connect, the
// filter replay and startlogging must still work with every reply found in the log.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "dm/KvxLog.h"
#include "dm/LogReader.h"
#include "modemsim/SimModem.h"

namespace kvx::modemsim {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct TempDir {
    fs::path path;
    TempDir() {
        char tmpl[] = "/tmp/kvx_generic_XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
};

// Where the replies to the filter's mask requests and the streamed log records lie in a log.
struct Seen {
    size_t logMaskReplies = 0, eventMaskReplies = 0, messageMaskReplies = 0;
    size_t firstReply = SIZE_MAX, lastReply = 0;
    size_t logsBetweenReplies = 0, logsAfterReplies = 0;
};

Seen scan(const dm::LogContents& log) {
    Seen s;
    std::vector<size_t> logs;
    for (size_t i = 0; i < log.records.size(); ++i) {
        const auto& r = log.records[i];
        const auto body = log.body(r);
        if (r.code == dm::kCodePacket && !body.empty()) {
            const bool logMask = body[0] == 0x73 && body.size() > 4 && body[4] == 3;
            const bool eventMask = body[0] == 0x82;
            const bool messageMask = body[0] == 0x7D && body.size() > 1 && body[1] == 0x04;
            s.logMaskReplies += logMask;
            s.eventMaskReplies += eventMask;
            s.messageMaskReplies += messageMask;
            if (logMask || eventMask || messageMask) {
                s.firstReply = std::min(s.firstReply, i);
                s.lastReply = i;
            }
        } else if (r.code == 0xB0C0 || r.code == 0x5072 || r.code == 0x412F || r.code == kCounterLogCode) {
            logs.push_back(i);
        }
    }
    for (size_t i : logs) {
        s.logsBetweenReplies += i > s.firstReply && i < s.lastReply;
        s.logsAfterReplies += i > s.lastReply;
    }
    return s;
}

TEST(HostOnChipset, ConnectFilterReplayAndStartWorkWhileTheStreamRuns) {
    for (ProfileKind kind : {ProfileKind::Maker, ProfileKind::Generic, ProfileKind::MultiSim}) {
        SCOPED_TRACE(static_cast<int>(kind));
        SimModem::Config cfg;
        cfg.profile = profileFor(kind);
        cfg.packetsPerSecond = 3000;
        SimModem modem(cfg);
        ASSERT_EQ(modem.start().error, StartError::None);
        TempDir dir;
        dm::KvxLog engine;
        ASSERT_TRUE(engine.connect(0, modem.path().c_str()));
        ASSERT_TRUE(engine.openlog((dir.path / "g.kvx").string()));

        // The filter as a request script, as the window saves it: log masks, event mask,
        // message masks.
        const std::string script = (dir.path / "f.sqf").string();
        FILE* f = std::fopen(script.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        engine.writescriptheader(f);
        const std::vector<dm::MaskItem> logs = {{0xB0C0, 0}, {0x5072, 0}, {0x412F, 0}, {kCounterLogCode, 0}};
        const std::vector<dm::MaskItem> events = {{5, 0}, {100, 0}};
        const std::vector<dm::MaskItem> messages = {{5000, 2}, {5001, 3}};
        engine.sendlogmasks(logs, 0, f);
        engine.sendeventmask(events, 0, f);
        engine.sendmessagemasks(messages, 0, f);
        std::fclose(f);

        engine.startlogging(false, dm::kSourcePort, nullptr);
        engine.seteventreporting(true);
        ASSERT_EQ(engine.replayscript(script), 0);
        engine.startlogging(true, dm::kSourcePort, nullptr);
        const auto end = std::chrono::steady_clock::now() + 1500ms;
        while (std::chrono::steady_clock::now() < end) engine.dispatch();
        engine.startlogging(false, dm::kSourcePort, nullptr);
        // Drained when a whole read brings nothing.
        for (int i = 0; i < 200 && engine.dispatch() > 0; ++i) {
        }
        engine.closelog();
        engine.close();
        modem.stop();

        const auto st = engine.getstats();
        EXPECT_EQ(st.crcErrors, 0u);
        EXPECT_EQ(st.sizeErrors, 0u);
        const auto log = dm::readLogFile((dir.path / "g.kvx").string());
        ASSERT_EQ(log.status, dm::LogReadStatus::Ok) << dm::describe(log);
        const Seen s = scan(log);
        // Every reply was found: one log mask per equipment with items, one event mask, one
        // message mask per range.
        size_t equipments = 0;
        for (uint32_t l : cfg.profile.logLimits) equipments += l > 0;
        EXPECT_EQ(s.logMaskReplies, equipments);
        EXPECT_EQ(s.eventMaskReplies, 1u);
        EXPECT_EQ(s.messageMaskReplies, cfg.profile.messageRanges.size());
        EXPECT_GT(s.logsAfterReplies, 100u);
        if (kind == ProfileKind::Maker)
            EXPECT_EQ(s.logsBetweenReplies, 0u) << "the maker's modem streams only after logging start";
        else
            EXPECT_GT(s.logsBetweenReplies, 0u) << "a plain chipset streams while the masks are set";
    }
}

}  // namespace
}  // namespace kvx::modemsim
