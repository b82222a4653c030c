// The engine's sending half against a scripted port: exact request bytes, the query retry
// rules, the bounds on what a modem reports, filter requests in send and file mode, and
// request scripts.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <unistd.h>

#include "ScriptedPort.h"
#include "dm/KvxLog.h"

namespace kvx::dm {
namespace {

using test::Bytes;
using test::frameOf;

std::array<uint32_t, 16> limitsOf(std::initializer_list<std::pair<int, uint32_t>> set) {
    std::array<uint32_t, 16> l{};
    for (auto [e, v] : set) l[static_cast<size_t>(e)] = v;
    return l;
}

class Requests : public ::testing::Test {
  protected:
    void SetUp() override { script = test::scriptPorts(engine); }

    // Connects to a modem answering each query once, as configured.
    bool connectTo(const std::vector<std::pair<uint16_t, uint16_t>>& ranges,
                   const std::array<uint32_t, 16>& limits, uint16_t eventSize) {
        script->replies = {
            frameOf(test::messageRangeReply(ranges, static_cast<uint32_t>(ranges.size()))),
            frameOf(test::logRangeReply(limits)), frameOf(test::eventSizeReply(eventSize))};
        const bool ok = engine.connect(0, "COM3");
        script->writes.clear();
        script->events.clear();
        return ok;
    }

    KvxLog engine;
    std::shared_ptr<test::PortScript> script;
};

const Bytes kMessageQuery = {0x7D, 0x5D, 0x01, 0x72, 0x5E, 0x7E};
const Bytes kEventSizeQuery = {0x81, 0x00, 0x00, 0x00, 0x0B, 0xCD, 0x7E};

TEST_F(Requests, ConnectSendsTheThreeQueriesAndLearnsTheTables) {
    auto limits = limitsOf({{1, 0x0A00}, {4, 0x0B00}, {11, 0x0A00}});
    script->replies = {frameOf(test::messageRangeReply({{0, 120}, {500, 520}}, 2)),
                       frameOf(test::logRangeReply(limits)), frameOf(test::eventSizeReply(0x0BFF))};
    ASSERT_TRUE(engine.connect(0, "COM3"));
    EXPECT_EQ(script->opened, std::vector<std::string>{"COM3"});
    ASSERT_EQ(script->writes.size(), 3u);
    EXPECT_EQ(script->writes[0], kMessageQuery);
    EXPECT_EQ(script->writes[1], frameOf({0x73, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(script->writes[2], kEventSizeQuery);
    ASSERT_EQ(engine.messageranges().size(), 2u);
    EXPECT_EQ(engine.messageranges()[1].first, 500);
    EXPECT_EQ(engine.messageranges()[1].last, 520);
    EXPECT_EQ(engine.loglimits(), limits);
    EXPECT_EQ(engine.eventmasksize(), 0x0BFFu);
    EXPECT_TRUE(engine.portopen());
    engine.close();
    EXPECT_FALSE(engine.portopen());
}

TEST_F(Requests, SilentModemGetsElevenSendsOfTheFirstQuery) {
    EXPECT_FALSE(engine.connect(0, "COM3"));
    ASSERT_EQ(script->writes.size(), 11u);
    for (const auto& w : script->writes) EXPECT_EQ(w, kMessageQuery);
    EXPECT_TRUE(engine.portopen()) << "the port stays open for the caller to close";
}

TEST_F(Requests, TenthResendIsReadButNotExamined) {
    script->replies.assign(10, Bytes{0x13, 0x7E});  // wrong command code
    script->replies.push_back(frameOf(test::messageRangeReply({{0, 1}}, 1)));
    EXPECT_FALSE(engine.connect(0, "COM3"));
    EXPECT_EQ(script->writes.size(), 11u);
    EXPECT_TRUE(script->replies.empty()) << "the eleventh reply is read";
}

TEST_F(Requests, ModemAnsweringTheThirdTimeConnects) {
    script->replies = {
        Bytes{}, Bytes{0x13, 0x7D, 0x01, 0x7E}, frameOf(test::messageRangeReply({{0, 10}}, 1)),
        frameOf(test::logRangeReply(limitsOf({{5, 100}}))), frameOf(test::eventSizeReply(9))};
    EXPECT_TRUE(engine.connect(0, "COM3"));
    EXPECT_EQ(script->writes.size(), 5u);
}

TEST_F(Requests, EventSizeFailureDoesNotFailTheConnection) {
    script->replies = {frameOf(test::messageRangeReply({{0, 10}}, 1)),
                       frameOf(test::logRangeReply(limitsOf({{5, 100}})))};
    EXPECT_TRUE(engine.connect(0, "COM3"));
    EXPECT_EQ(script->writes.size(), 2u + 11u);
}

TEST_F(Requests, LogRangeFailureStopsBeforeTheEventQuery) {
    script->replies = {frameOf(test::messageRangeReply({{0, 10}}, 1))};
    EXPECT_FALSE(engine.connect(0, "COM3"));
    EXPECT_EQ(script->writes.size(), 1u + 11u);
    for (size_t i = 1; i < script->writes.size(); ++i) EXPECT_EQ(script->writes[i][0], 0x73);
}

// Replies checked by the acceptance rules: how many sends each needs before acceptance.
struct ReplyCase {
    const char* name;
    Bytes messageReply;  // unescaped payload; the first reply to the message range query
    size_t sends;        // message range queries sent (11 = never accepted)
    size_t ranges;       // ranges stored when accepted
};

class MessageRangeReplies : public Requests, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(MessageRangeReplies, AcceptanceAndRetries) {
    const auto& c = GetParam();
    script->responder = [&, n = 0](const Bytes& last) mutable -> Bytes {
        if (last == kMessageQuery) return ++n == 1 ? frameOf(c.messageReply) : Bytes{};
        if (last[0] == 0x73) return frameOf(test::logRangeReply(limitsOf({{1, 8}})));
        return frameOf(test::eventSizeReply(1));
    };
    const bool ok = engine.connect(0, "COM3");
    size_t sends = 0;
    for (const auto& w : script->writes) sends += w == kMessageQuery ? 1 : 0;
    EXPECT_EQ(sends, c.sends);
    EXPECT_EQ(ok, c.sends < 11);
    if (ok) {
        EXPECT_EQ(engine.messageranges().size(), c.ranges);
    }
}

Bytes rangesOf(uint32_t count, size_t present) {
    std::vector<std::pair<uint16_t, uint16_t>> r;
    for (size_t i = 0; i < present; ++i)
        r.emplace_back(static_cast<uint16_t>(i * 10), static_cast<uint16_t>(i * 10 + 5));
    return test::messageRangeReply(r, count);
}

Bytes prefixed(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MessageRangeReplies,
    ::testing::Values(ReplyCase{"accepted", rangesOf(3, 3), 1, 3},
                      ReplyCase{"count_zero", rangesOf(0, 0), 1, 0},
                      ReplyCase{"wrong_code", prefixed({0x13}, rangesOf(3, 3)), 11, 0},
                      ReplyCase{"wrong_status_then_4_further",
                                prefixed({0x7D, 0x01, 0x02, 0x00}, rangesOf(2, 2)), 1, 2},
                      ReplyCase{"wrong_sub_nothing_further", {0x7D, 0x02, 0x01, 0x00, 0x01}, 11, 0},
                      ReplyCase{"cut_before_count", {0x7D, 0x01, 0x01, 0x00, 0x01, 0x00}, 11, 0},
                      ReplyCase{"fewer_entries_than_count", rangesOf(5, 4), 11, 0},
                      ReplyCase{"over_255_clipped", rangesOf(300, 300), 1, 255},
                      ReplyCase{"over_255_but_only_10_present", rangesOf(300, 10), 11, 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(Requests, LogRangeReplyIsAcceptedOnItsFirstByteButMustHoldTheLimits) {
    Bytes weird = test::logRangeReply(limitsOf({{2, 16}}));
    weird[4] = 9;  // another operation and status: not looked at
    weird[8] = 1;
    Bytes shortReply(weird.begin(), weird.end() - 4);  // with CRC and flag: 75 bytes
    script->replies = {frameOf(test::messageRangeReply({{0, 1}}, 1)), frameOf(shortReply),
                       frameOf(weird), frameOf(test::eventSizeReply(3))};
    EXPECT_TRUE(engine.connect(0, "COM3"));
    EXPECT_EQ(script->writes.size(), 4u);
    EXPECT_EQ(engine.loglimits()[2], 16u);
}

TEST_F(Requests, EventSizeFoundFourBytesFurther) {
    script->replies = {frameOf(test::messageRangeReply({{0, 1}}, 1)),
                       frameOf(test::logRangeReply({})),
                       frameOf(prefixed({0x81, 0x01, 0x00, 0x00}, test::eventSizeReply(0x123)))};
    EXPECT_TRUE(engine.connect(0, "COM3"));
    EXPECT_EQ(script->writes.size(), 3u);
    EXPECT_EQ(engine.eventmasksize(), 0x123u);
}

TEST_F(Requests, ModemReportedSizesAreBounded) {
    ASSERT_TRUE(
        connectTo({{100, 3000}, {10, 5}}, limitsOf({{0, 40000}, {1, 32768}, {2, 32767}}), 1));
    ASSERT_EQ(engine.messageranges().size(), 2u);
    EXPECT_EQ(engine.messageranges()[0].first, 100);
    EXPECT_EQ(engine.messageranges()[0].last, 100 + kMaxRangeIds - 1)
        << "wide range keeps its first ids";
    EXPECT_EQ(engine.messageranges()[1].last, 5)
        << "a reversed range is kept and skipped when sending";
    EXPECT_EQ(engine.loglimits()[0], kMaxLogItemLimit);
    EXPECT_EQ(engine.loglimits()[1], 32768u);
    EXPECT_EQ(engine.loglimits()[2], 32767u);
}

TEST_F(Requests, FailedPortOpenSendsNothing) {
    script->refuseOpen = true;
    EXPECT_FALSE(engine.connect(0, "COM9"));
    EXPECT_TRUE(script->writes.empty());
    EXPECT_EQ(engine.lastopenstatus().error, serial::OpenError::NotFound);
    EXPECT_FALSE(engine.portopen());
}

TEST_F(Requests, NoPortNameFailsWithoutOpening) {
    EXPECT_FALSE(engine.connect(0, nullptr));
    EXPECT_TRUE(script->opened.empty());
}

TEST_F(Requests, DeviceNotLocatedLeavesTheNameEmpty) {
    engine.setsysfsroot((std::filesystem::temp_directory_path() / "kvx-no-such-sysfs").string());
    EXPECT_FALSE(engine.connect(1, nullptr));
    EXPECT_TRUE(script->opened.empty());
    EXPECT_EQ(engine.lastopenstatus().error, serial::OpenError::NotFound);
    EXPECT_EQ(serial::describe(engine.lastopenstatus()), "Couldn't locate the device");
}

// ---- status, logging on/off ---------------------------------------------------------------

TEST_F(Requests, StatusQueriesHaveTheirPayloads) {
    ASSERT_TRUE(connectTo({{0, 1}}, {}, 1));
    const std::vector<Bytes> payloads = {{0x1C},
                                         {0x7C},
                                         {0x4B, 0x08, 0x01, 0x00},
                                         {0x4B, 0x08, 0x00, 0x00},
                                         {0x4B, 0x0F, 0x00, 0x00},
                                         {0x78, 0x72, 0x50},
                                         {0x1D},
                                         {0x4B, 0x09, 0x00, 0x00},
                                         {0x00},
                                         {0x4B, 0x04, 0x05, 0x00},
                                         {0x4B, 0x04, 0x00, 0x00}};
    for (int kind = -1; kind <= 11; ++kind) engine.statusquery(kind);
    ASSERT_EQ(script->writes.size(), payloads.size());
    for (size_t k = 0; k < payloads.size(); ++k)
        EXPECT_EQ(script->writes[k], frameOf(payloads[k])) << k;
    EXPECT_EQ(script->writes[6], (Bytes{0x1D, 0x1C, 0x3B, 0x7E}));
    EXPECT_EQ(std::count(script->events.begin(), script->events.end(), 'R'), 0)
        << "no reply is waited for";
}

TEST_F(Requests, TimeQueryIsNotRepeatedWhileOutstanding) {
    ASSERT_TRUE(connectTo({{0, 1}}, {}, 1));
    engine.statusquery(6);
    engine.statusquery(6);
    EXPECT_EQ(script->writes.size(), 1u);
    EXPECT_TRUE(engine.timequeryoutstanding());
    engine.cleartimequery();
    engine.statusquery(6);
    EXPECT_EQ(script->writes.size(), 2u);
    engine.startlogging(false, kSourcePort, nullptr);
    script->writes.clear();
    engine.statusquery(6);
    EXPECT_EQ(script->writes.size(), 1u) << "logging stop clears the mark";
    script->replies = {frameOf(test::messageRangeReply({{0, 1}}, 1)),
                       frameOf(test::logRangeReply({})), frameOf(test::eventSizeReply(1))};
    ASSERT_TRUE(engine.connect(0, "COM3"));
    EXPECT_FALSE(engine.timequeryoutstanding()) << "connect clears the mark";
}

TEST_F(Requests, LoggingStartAndStopRequests) {
    ASSERT_TRUE(connectTo({{0, 1}}, {}, 1));
    engine.seteventreporting(true);
    EXPECT_EQ(script->writes.back(), (Bytes{0x60, 0x01, 0x9B, 0x7B, 0x7E}));
    script->writes.clear();
    engine.startlogging(false, kSourcePort, nullptr);
    const std::vector<Bytes> stop = {frameOf({0x4B, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}),
                                     frameOf({0x60, 0x00}),
                                     frameOf({0x7D, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),
                                     frameOf({0x73, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})};
    EXPECT_EQ(script->writes, stop);
    script->writes.clear();
    engine.startlogging(true, kSourcePort, nullptr);
    EXPECT_EQ(script->writes,
              std::vector<Bytes>{frameOf({0x4B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0xFF})});
    script->writes.clear();
    engine.startlogging(true, 7, nullptr);
    EXPECT_TRUE(script->writes.empty());
}

// The parser's state is reset by connect and by a raw-file start: a frame begun before
// must not complete with bytes that come after.
TEST_F(Requests, ConnectAndRawStartResetTheParser) {
    const Bytes frame = frameOf({0x1D});  // 1D 1C 3B 7E, a wrapped packet when whole
    for (int variant = 0; variant < 2; ++variant) {
        engine.receive({frame.data(), 2});
        if (variant == 0) {
            ASSERT_TRUE(connectTo({{0, 1}}, {}, 1));
        } else {
            FILE* raw = std::tmpfile();
            ASSERT_NE(raw, nullptr);
            engine.startlogging(true, kSourceRawFile, raw);
            EXPECT_EQ(engine.dispatch(), 0) << "empty raw file";
            std::fclose(raw);
            engine.startlogging(true, kSourcePort, nullptr);
        }
        engine.receive({frame.data() + 2, 2});
        EXPECT_EQ(engine.getstats().crcErrors, 1u) << variant;
        engine.clearstats();
    }
}

TEST_F(Requests, ConnectDropsAPendingNote) {
    engine.setnote("left over");
    ASSERT_TRUE(connectTo({{0, 1}}, {}, 1));
    engine.dispatch();  // the port is silent: only a pending note could be written
    EXPECT_EQ(engine.getstats().packets, 0u);
    engine.setnote("kept");
    engine.dispatch();
    EXPECT_EQ(engine.getstats().packets, 1u);
}

// ---- filter requests ----------------------------------------------------------------------

TEST_F(Requests, LogMasksFollowTheLimits) {
    ASSERT_TRUE(connectTo({{0, 1}}, limitsOf({{1, 9}, {4, 0}, {5, 20}}), 1));
    const std::vector<MaskItem> items = {{0x1008, 0}, {0x1000, 0},  {0x4001, 0}, {0x5003, 0},
                                         {0x5FFF, 0}, {0x10003, 0}, {-1, 0}};
    engine.sendlogmasks(items, kModeSend, nullptr);
    // e1: limit 9 -> 2 mask bytes (items 0 and 8); e4 limit 0 -> nothing; e5: 20 -> 3 bytes,
    // item 0xFFF lies beyond them and is not sent.
    const std::vector<Bytes> expected = {
        frameOf({0x73, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 0x01, 0x01}),
        frameOf({0x73, 0, 0, 0, 3, 0, 0, 0, 5, 0, 0, 0, 20, 0, 0, 0, 0x08, 0x00, 0x00})};
    EXPECT_EQ(script->writes, expected);
    EXPECT_EQ(std::string(script->events.begin(), script->events.end()), "WRWR")
        << "one dispatch per frame";
}

TEST_F(Requests, EventMaskCoversTheHighestByteInUse) {
    ASSERT_TRUE(connectTo({{0, 1}}, {}, 0x0456));
    engine.sendeventmask({}, kModeSend, nullptr);
    engine.sendeventmask(std::vector<MaskItem>{{3, 0}, {17, 0}, {-5, 0}, {40000, 0}}, kModeSend,
                         nullptr);
    const std::vector<Bytes> expected = {frameOf({0x82, 0, 0, 0, 0x56, 0x04, 0x00}),
                                         frameOf({0x82, 0, 0, 0, 0x56, 0x04, 0x08, 0x00, 0x02})};
    EXPECT_EQ(script->writes, expected);
}

TEST_F(Requests, MessageMasksSetTheLevelBitOfEachIdentifier) {
    ASSERT_TRUE(connectTo({{10, 12}, {20, 19}, {30, 30}}, {}, 1));
    const std::vector<MaskItem> items = {{10, 0}, {11, 9}, {12, 31}, {12, 32}, {30, 4}, {13, 1}};
    engine.sendmessagemasks(items, kModeSend, nullptr);
    Bytes first = {0x7D, 0x04, 10, 0, 12, 0, 0, 0};
    const Bytes masks = {0x01, 0, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0x80};
    first.insert(first.end(), masks.begin(), masks.end());
    const std::vector<Bytes> expected = {frameOf(first),
                                         frameOf({0x7D, 0x04, 30, 0, 30, 0, 0, 0, 0x10, 0, 0, 0})};
    EXPECT_EQ(script->writes, expected) << "the reversed range 20..19 is skipped";
}

TEST_F(Requests, NoRangesMeansNoMessageMasks) {
    ASSERT_TRUE(connectTo({}, {}, 1));
    engine.sendmessagemasks(std::vector<MaskItem>{{1, 1}}, kModeSend, nullptr);
    EXPECT_TRUE(script->writes.empty());
}

// What reaches the modem for ranges and limits wider than one frame: a 1024-id range as
// sub-ranges of 509, 509 and 6 ids, each with its own items' levels; a log limit above what a
// frame holds as the largest count that fits, with the items set.
TEST_F(Requests, MasksWiderThanAFrameReachTheModemInParts) {
    ASSERT_TRUE(connectTo({{0, 5000}, {6000, 6000}}, limitsOf({{0, 32768}, {1, 8}}), 1));
    ASSERT_EQ(engine.messageranges()[0].last, 1023);
    const std::vector<MaskItem> messages = {{5, 0}, {508, 1}, {509, 2}, {1017, 3}, {1018, 4},
                                            {1023, 31}, {6000, 0}};
    engine.sendmessagemasks(messages, kModeSend, nullptr);
    engine.sendlogmasks(std::vector<MaskItem>{{0x0001, 0}, {0x0FFF, 0}}, kModeSend, nullptr);

    struct Part {
        uint16_t first, last;
        std::vector<std::pair<uint16_t, int>> set;  // id, level bit
    };
    const std::vector<Part> parts = {{0, 508, {{5, 0}, {508, 1}}},
                                     {509, 1017, {{509, 2}, {1017, 3}}},
                                     {1018, 1023, {{1018, 4}, {1023, 31}}},
                                     {6000, 6000, {{6000, 0}}}};
    ASSERT_EQ(script->writes.size(), parts.size() + 2);
    for (size_t i = 0; i < parts.size(); ++i) {
        SCOPED_TRACE(i);
        const Part& p = parts[i];
        Bytes payload = {0x7D, 0x04, static_cast<uint8_t>(p.first), static_cast<uint8_t>(p.first >> 8),
                         static_cast<uint8_t>(p.last), static_cast<uint8_t>(p.last >> 8), 0, 0};
        payload.resize(8 + (p.last - p.first + 1u) * 4, 0);
        for (auto [id, level] : p.set) {
            const size_t byte = 8 + (id - p.first) * 4u + static_cast<size_t>(level) / 8;
            payload[byte] = static_cast<uint8_t>(payload[byte] | (1u << (level % 8)));
        }
        EXPECT_EQ(script->writes[i], frameOf(payload));
    }
    Bytes logs = {0x73, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0x68, 0x3F, 0, 0};  // 16232 items
    logs.resize(16 + 16232 / 8, 0);
    logs[16] = 0x02;
    logs[16 + 0xFFF / 8] = 0x80;
    EXPECT_EQ(script->writes[parts.size()], frameOf(logs));
    EXPECT_EQ(script->writes[parts.size() + 1][8], 1) << "then equipment 1";
}

TEST_F(Requests, NvReadOfTheArrayItemCoversIndexZeroToNineteen) {
    ASSERT_TRUE(connectTo({{0, 1}}, {}, 1));
    engine.sendnvread(87, kModeSend, nullptr);
    ASSERT_EQ(script->writes.size(), 20u);
    for (size_t i = 0; i < 20; ++i) {
        Bytes payload(133, 0);
        payload[0] = 0x26;
        payload[1] = 87;
        payload[3] = static_cast<uint8_t>(i);
        EXPECT_EQ(script->writes[i], frameOf(payload)) << i;
    }
    script->writes.clear();
    engine.sendnvread(0x1234, kModeSend, nullptr);
    ASSERT_EQ(script->writes.size(), 1u);
    Bytes payload(133, 0);
    payload[0] = 0x26;
    payload[1] = 0x34;
    payload[2] = 0x12;
    EXPECT_EQ(script->writes[0], frameOf(payload));
}

TEST_F(Requests, OtherModesBuildButNeitherSendNorWrite) {
    ASSERT_TRUE(connectTo({{0, 1}}, limitsOf({{1, 8}}), 1));
    FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    engine.sendnvread(5, 2, out);
    engine.sendlogmasks(std::vector<MaskItem>{{0x1000, 0}}, -1, out);
    engine.sendeventmask({}, 7, out);
    engine.sendmessagemasks({}, 2, out);
    EXPECT_EQ(std::ftell(out), 0);
    std::fclose(out);
    EXPECT_TRUE(script->writes.empty());
}

// ---- request scripts ------------------------------------------------------------------------

class Scripts : public Requests {
  protected:
    void TearDown() override { std::filesystem::remove(path); }
    void writeFile(const Bytes& bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    std::string path = scriptPath();

  private:
    static std::string scriptPath() {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        return (std::filesystem::temp_directory_path() /
                ("kvx-script-" + std::to_string(::getpid()) + "-" + name + ".sqf"))
            .string();
    }
};

TEST_F(Scripts, FileModeWritesWhatSendModeSendsAndReplayResendsIt) {
    ASSERT_TRUE(connectTo({{10, 12}}, limitsOf({{1, 16}}), 8));
    const std::vector<MaskItem> logs = {{0x1003, 0}}, events = {{9, 0}}, msgs = {{11, 2}};
    auto all = [&](int mode, FILE* out) {
        engine.sendnvread(87, mode, out);
        engine.sendlogmasks(logs, mode, out);
        engine.sendeventmask(events, mode, out);
        engine.sendmessagemasks(msgs, mode, out);
    };
    all(kModeSend, nullptr);
    const std::vector<Bytes> sent = script->writes;
    ASSERT_EQ(sent.size(), 23u);

    FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    engine.writescriptheader(out);
    all(kModeFile, out);
    std::fclose(out);

    std::ifstream in(path, std::ios::binary);
    Bytes file((std::istreambuf_iterator<char>(in)), {});
    Bytes expected = {0x76, 0x00, 0x01};
    for (const auto& f : sent) expected.insert(expected.end(), f.begin(), f.end());
    EXPECT_EQ(file, expected);

    // Replayed: the same frames, byte for byte, each followed by one dispatch; bytes after
    // the last terminator stay unsent.
    file.push_back(0x1D);
    writeFile(file);
    script->writes.clear();
    script->events.clear();
    EXPECT_EQ(engine.replayscript(path), 0);
    EXPECT_EQ(script->writes, sent);
    std::string order;
    for (size_t i = 0; i < sent.size(); ++i) order += "WR";
    EXPECT_EQ(std::string(script->events.begin(), script->events.end()), order);
}

struct HeaderCase {
    const char* name;
    Bytes content;
    int result;
    size_t frames;
};

class ScriptHeaders : public Scripts, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(ScriptHeaders, Replay) {
    ASSERT_TRUE(connectTo({{0, 1}}, {}, 1));
    writeFile(GetParam().content);
    EXPECT_EQ(engine.replayscript(path), GetParam().result);
    EXPECT_EQ(script->writes.size(), GetParam().frames);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScriptHeaders,
    ::testing::Values(HeaderCase{"version_2", {0x76, 0x00, 0x02, 0x1D, 0x1C, 0x3B, 0x7E}, 2, 0},
                      HeaderCase{"second_byte_1", {0x76, 0x01, 0x01, 0x1D, 0x1C, 0x3B, 0x7E}, 2, 0},
                      HeaderCase{"not_v", {0x77, 0x00, 0x01, 0x1D, 0x1C, 0x3B, 0x7E}, 2, 0},
                      HeaderCase{"empty_file", {}, 2, 0}, HeaderCase{"lone_v", {0x76}, 0, 0},
                      HeaderCase{"version_0", {0x76, 0x00, 0x00, 0x1D, 0x1C, 0x3B, 0x7E}, 0, 1},
                      HeaderCase{"two_frames", {0x76, 0x00, 0x01, 0x7E, 0x1D, 0x7E}, 0, 2}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(Scripts, MissingFileOrEmptyPathIsOne) {
    EXPECT_EQ(engine.replayscript(""), 1);
    EXPECT_EQ(engine.replayscript(path + ".absent"), 1);
}

TEST_F(Scripts, OverlongFrameIsDroppedNotSplit) {
    ASSERT_TRUE(connectTo({{0, 1}}, {}, 1));
    Bytes content = {0x76, 0x00, 0x01};
    content.insert(content.end(), 5000, 0x11);
    content.push_back(0x7E);
    const Bytes ok = frameOf({0x1D});
    content.insert(content.end(), ok.begin(), ok.end());
    writeFile(content);
    EXPECT_EQ(engine.replayscript(path), 0);
    EXPECT_EQ(script->writes, std::vector<Bytes>{ok});
}

// ---- port life cycle ------------------------------------------------------------------------

// A port whose read blocks until woken, as a silent modem's would for its whole time-out.
class BlockingPort final : public serial::Port {
  public:
    size_t read(std::span<uint8_t>) override {
        reading.store(true);
        while (!woken.load()) std::this_thread::yield();
        return 0;
    }
    bool write(std::span<const uint8_t>) override { return true; }
    void wake() override { woken.store(true); }
    bool dead() const override { return false; }
    const std::string& path() const override { return path_; }
    std::atomic<bool> reading{false}, woken{false};
    std::string path_ = "blocking";
};

TEST(RequestsPort, CloseWakesAReadInProgress) {
    KvxLog engine;
    std::atomic<BlockingPort*> raw{nullptr};
    engine.setportopener(
        [&](const std::string&, serial::OpenStatus*) -> std::unique_ptr<serial::Port> {
            auto p = std::make_unique<BlockingPort>();
            raw.store(p.get());
            return p;
        });
    std::atomic<bool> done{false};
    std::thread connector([&] {
        engine.connect(0, "COM1");
        done.store(true);
    });
    while (raw.load() == nullptr || !raw.load()->reading.load()) std::this_thread::yield();
    // The connector keeps querying after each wake; closing leaves it no port to write to.
    engine.close();
    connector.join();
    EXPECT_TRUE(done.load());
    EXPECT_FALSE(engine.portopen());
}

}  // namespace
}  // namespace kvx::dm
