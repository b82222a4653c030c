// Packets of modern devices: multi-SIM packets (0x98) logged as the packet they wrap with a
// "Subscription" note where the subscription changes, compressed messages (0x92) kept, and
// every packet that gives no record counted by command code (or kept with keep-all).
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "LogTestSupport.h"

namespace kvx::dm {
namespace {

using dmtest::append;
using dmtest::Bytes;
using dmtest::convert;
using dmtest::Converted;
using dmtest::noteRecord;
using dmtest::packetRecord;
using dmtest::wire;

std::vector<Bytes> recordsOf(const Converted& c) {
    std::vector<Bytes> out;
    for (size_t i = 0; i < c.log.records.size(); ++i) out.push_back(c.record(i));
    return out;
}

// The multi-SIM packet a dual-SIM phone sends for `inner` on subscription `sub`.
Bytes wrapped(uint32_t sub, const Bytes& inner) {
    Bytes p = {0x98, 0x01, 0x00, 0x00, static_cast<uint8_t>(sub), static_cast<uint8_t>(sub >> 8),
               static_cast<uint8_t>(sub >> 16), static_cast<uint8_t>(sub >> 24)};
    append(p, inner);
    return p;
}

Bytes subNote(uint32_t sub) { return noteRecord("Subscription " + std::to_string(sub)); }

Bytes logPacket(uint16_t code, uint8_t seed, size_t length = 40) {
    return dmtest::logPacket(dmtest::modemRecord(length, code, seed));
}

// Every kind of packet the conversion table knows, as a phone might wrap it.
std::vector<std::pair<const char*, Bytes>> innerPackets() {
    Bytes events = {0x60, 0x00, 0x00, 0x23, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 0x34, 0xA1, 9, 9, 0x55};
    Bytes message = {0x79, 0x00, 0x01, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0x10, 0x00, 'h', 'i', 0};
    Bytes converted(87, 0x33);
    converted[0] = 0x1F;
    converted[1] = 0x01;
    return {
        {"log packet", logPacket(0xB0C0, 3)},
        {"log packet with flag and escape bytes", logPacket(0x7E7D, 0x7D, 300)},
        {"log packet with a wrong length", dmtest::logPacket(dmtest::modemRecord(30, 0xB0C1, 1, 31))},
        {"log packet of 2 bytes", {0x10, 0x00}},
        {"reply", {0x4B, 0x08, 0x01, 0x00, 0x11, 0x22}},
        {"compressed message", {0x92, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09}},
        {"one byte", {0x1D}},
        {"event report", events},
        {"short event packet", {0x60, 0x01}},
        {"message", message},
        {"converted 0x1F", converted},
        {"0x1F with zero field", {0x1F, 0x00, 0x00, 0x05}},
    };
}

TEST(MultiSim, WrappedPacketGivesTheRecordsOfThePacketAlone) {
    for (const auto& [what, inner] : innerPackets()) {
        KvxLog plainEngine, wrappedEngine;
        const auto plain = convert({wire(inner)}, &plainEngine);
        const auto wrap = convert({wire(wrapped(2, inner))}, &wrappedEngine);
        std::vector<Bytes> want = {subNote(2)};
        for (const auto& r : recordsOf(plain)) want.push_back(r);
        EXPECT_EQ(recordsOf(wrap), want) << what;
        EXPECT_EQ(wrap.stats.packets, plain.stats.packets + 1) << what;
        EXPECT_EQ(wrap.stats.sizeErrors, plain.stats.sizeErrors) << what;
        EXPECT_EQ(wrap.stats.crcErrors, 0u) << what;
        EXPECT_TRUE(wrappedEngine.notkept().empty()) << what;
    }
}

TEST(MultiSim, SubscriptionNotesWhereTheSubscriptionChanges) {
    const Bytes a = logPacket(0xB0C0, 1), b = logPacket(0xB0C1, 2), c = logPacket(0xB0C2, 3);
    const auto rec = [](const Bytes& packet) { return Bytes(packet.begin() + 4, packet.end()); };
    const struct {
        const char* what;
        std::vector<Bytes> packets;
        std::vector<Bytes> records;
    } cases[] = {
        {"same subscription twice: one note",
         {wrapped(1, a), wrapped(1, b)},
         {subNote(1), rec(a), rec(b)}},
        {"change and change back",
         {wrapped(1, a), wrapped(2, b), wrapped(1, c)},
         {subNote(1), rec(a), subNote(2), rec(b), subNote(1), rec(c)}},
        {"plain packets change nothing",
         {a, wrapped(2, b), c, wrapped(2, a), b},
         {rec(a), subNote(2), rec(b), rec(c), rec(a), rec(b)}},
        {"a large id",
         {wrapped(0xFFFFFFFF, a)},
         {subNote(0xFFFFFFFF), rec(a)}},
        {"a wrapped packet that is not kept writes no note",
         {wrapped(1, a), wrapped(2, {0x14, 0x01}), wrapped(1, b)},
         {subNote(1), rec(a), rec(b)}},
    };
    for (const auto& t : cases) {
        Bytes stream;
        for (const auto& p : t.packets) append(stream, wire(p));
        EXPECT_EQ(recordsOf(convert(stream)), t.records) << t.what;
    }
}

TEST(MultiSim, EveryFileBeginsItsSubscriptionsAfresh) {
    KvxLog engine;
    const Bytes a = logPacket(0xB0C0, 1), b = logPacket(0xB0C1, 2);
    const auto first = convert({wire(wrapped(1, a))}, &engine);
    const auto second = convert({wire(wrapped(1, b))}, &engine);
    EXPECT_EQ(recordsOf(first), (std::vector<Bytes>{subNote(1), Bytes(a.begin() + 4, a.end())}));
    EXPECT_EQ(recordsOf(second), (std::vector<Bytes>{subNote(1), Bytes(b.begin() + 4, b.end())}));
}

TEST(MultiSim, PacketsWithoutRecordAreCountedOrKeptWhole) {
    const Bytes shortWrap = {0x98, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    const Bytes tinyWrap = {0x98, 0x01};
    const Bytes nested = wrapped(1, wrapped(2, logPacket(0xB0C0, 1)));
    const Bytes nestedInner(nested.begin() + 8, nested.end());
    const Bytes wrapped14 = wrapped(2, {0x14, 0x05, 0x06});
    const struct {
        const char* what;
        std::vector<Bytes> packets;
        std::vector<NotKept> counted;
        std::vector<Bytes> keptWhole;  // the records with keep-all
    } cases[] = {
        {"multi-SIM packet without a packet inside", {shortWrap}, {{0x98, 1}}, {packetRecord(shortWrap)}},
        {"multi-SIM packet of 2 bytes", {tinyWrap}, {{0x98, 1}}, {packetRecord(tinyWrap)}},
        {"multi-SIM packet inside another", {nested}, {{0x98, 1}}, {subNote(1), packetRecord(nestedInner)}},
        {"wrapped 0x14: counted by the wrapped code",
         {wrapped14},
         {{0x14, 1}},
         {subNote(2), packetRecord(Bytes{0x14, 0x05, 0x06})}},
        {"codes in ascending order",
         {{0x63, 1}, {0x14}, {0x14, 2}, {0x63}, wrapped14},
         {{0x14, 3}, {0x63, 2}},
         {packetRecord(Bytes{0x63, 1}), packetRecord(Bytes{0x14}), packetRecord(Bytes{0x14, 2}),
          packetRecord(Bytes{0x63}), subNote(2), packetRecord(Bytes{0x14, 0x05, 0x06})}},
    };
    for (const auto& t : cases) {
        Bytes stream;
        for (const auto& p : t.packets) append(stream, wire(p));
        KvxLog engine;
        const auto r = convert({stream}, &engine);
        EXPECT_TRUE(r.log.records.empty()) << t.what;
        EXPECT_EQ(engine.notkept(), t.counted) << t.what;

        KvxLog keeper;
        keeper.setkeepall(true);
        const auto all = convert({stream}, &keeper);
        EXPECT_EQ(recordsOf(all), t.keptWhole) << t.what;
        EXPECT_TRUE(keeper.notkept().empty()) << t.what;
        EXPECT_EQ(all.stats.packets, t.keptWhole.size()) << t.what;
    }
}

TEST(MultiSim, NotKeptSummaryAndItsReset) {
    KvxLog engine;
    EXPECT_EQ(engine.notkeptsummary(), "");
    Bytes stream;
    for (const Bytes& p : std::vector<Bytes>{{0x14}, {0x63}, {0x14}, {0x63}, {0x14}, {0x04, 1}})
        append(stream, wire(p));
    convert({stream}, &engine);
    EXPECT_EQ(engine.notkeptsummary(), "not kept: 0x04 x 1, 0x14 x 3, 0x63 x 2");
    EXPECT_EQ(formatNotKept(std::vector<NotKept>{{0xFF, 70000}}), "0xFF x 70000");
    EXPECT_EQ(formatNotKept({}), "");
    // A new log file's counters start from zero; the counts go on until the next run.
    engine.clearstats();
    EXPECT_EQ(engine.notkept().size(), 3u);
    engine.startlogging(true, kSourceRawFile, nullptr);
    EXPECT_TRUE(engine.notkept().empty());
}

TEST(MultiSim, BadCrcIsReportedAsReceivedAndChangesNoSubscription) {
    const Bytes a = logPacket(0xB0C0, 1), b = logPacket(0xB0C1, 2);
    Bytes bad = wire(wrapped(2, b));
    bad[20] ^= 0x01;  // a body byte, no flag or escape near it
    Bytes stream = wire(wrapped(1, a));
    append(stream, bad);
    append(stream, wire(wrapped(1, b)));
    KvxLog engine;
    const auto r = convert({stream}, &engine);
    Bytes received = dmtest::plainFrame(wrapped(2, b));
    received[20] ^= 0x01;
    const std::vector<Bytes> want = {subNote(1), Bytes(a.begin() + 4, a.end()),
                                     noteRecord("KvxLog DM Error - CRC"), noteRecord(received),
                                     Bytes(b.begin() + 4, b.end())};
    EXPECT_EQ(recordsOf(r), want);
    EXPECT_EQ(r.stats.crcErrors, 1u);
    EXPECT_TRUE(engine.notkept().empty());
}

// The information decoder is handed the wrapped packet as if it had come alone.
class Recorder : public InfoDecoder {
public:
    void decodeInfo(KvxLog&, uint8_t commandCode, std::span<const uint8_t> buffer, NotifyTarget*,
                    uint32_t) override {
        seen.emplace_back(commandCode, Bytes(buffer.begin(), buffer.end()));
    }
    std::vector<std::pair<uint8_t, Bytes>> seen;
};

TEST(MultiSim, InformationDecoderSeesTheWrappedPacket) {
    for (const auto& [what, inner] : innerPackets()) {
        Recorder plainSeen, wrappedSeen;
        KvxLog plainEngine, wrappedEngine;
        plainEngine.setdecoder(&plainSeen);
        wrappedEngine.setdecoder(&wrappedSeen);
        convert({wire(inner)}, &plainEngine);
        convert({wire(wrapped(1, inner))}, &wrappedEngine);
        EXPECT_EQ(wrappedSeen.seen, plainSeen.seen) << what;
    }
}

}  // namespace
}  // namespace kvx::dm
