#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dm/ByteReader.h"
#include "modemsim/DmModel.h"
#include "MaskRequests.h"

namespace kvx::modemsim {
namespace {

using test::logMaskSet;
using test::put32;

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> ask(DmModel& m, const Bytes& req, RequestEffect* effect = nullptr) {
    std::vector<Bytes> replies;
    auto e = m.handle(req, true, replies);
    if (effect) *effect = e;
    return replies;
}

uint32_t le32(const Bytes& b, size_t off) { return dm::le32At(b, off).value_or(0xDEADBEEF); }
uint16_t le16(const Bytes& b, size_t off) { return dm::le16At(b, off).value_or(0xDEAD); }

void put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

Bytes eventMaskSet(uint16_t size, const std::vector<uint16_t>& ids) {
    Bytes mask(1);
    for (uint16_t id : ids) {
        if (id / 8u >= mask.size()) mask.resize(id / 8 + 1);
        mask[id / 8] |= 1 << (id % 8);
    }
    Bytes r{0x82, 0, 0, 0};
    put16(r, size);
    r.insert(r.end(), mask.begin(), mask.end());
    return r;
}
Bytes messageMaskSet(uint16_t first, uint16_t last, const std::vector<std::pair<uint16_t, uint32_t>>& levels) {
    Bytes r{0x7D, 0x04};
    put16(r, first);
    put16(r, last);
    put16(r, 0);
    for (uint32_t id = first; id <= last; ++id) {
        uint32_t v = 0;
        for (auto& [i, l] : levels)
            if (i == id) v = l;
        put32(r, v);
    }
    return r;
}
const Bytes kLoggingStart{0x4B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0xFF};
const Bytes kLoggingStop{0x4B, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
const Bytes kEventsOn{0x60, 0x01};

// Nibble digits as the information panel writes them: low nibble first, then high.
std::string nibbles(const Bytes& b, size_t from, size_t to) {
    static const char* hex = "0123456789ABCDEF";
    std::string s;
    for (size_t i = from; i <= to; ++i) {
        s += hex[b[i] & 0xF];
        s += hex[b[i] >> 4];
    }
    return s;
}

TEST(ModemModel, ConnectionQueriesReportTheConfiguredSizes) {
    ModemProfile custom;
    custom.messageRanges = {{0, 5}, {100, 102}, {7000, 7000}};
    custom.logLimits = {};
    custom.logLimits[5] = 0x123;
    custom.logLimits[0xB] = 9;
    custom.eventMaskBits = 0x0101;
    for (const ModemProfile& p : {ModemProfile{}, custom}) {
        DmModel m(p);
        auto ranges = ask(m, {0x7D, 0x01});
        ASSERT_EQ(ranges.size(), 1u);
        const Bytes& r = ranges[0];
        ASSERT_GE(r.size(), 8u);
        EXPECT_EQ(Bytes(r.begin(), r.begin() + 3), (Bytes{0x7D, 0x01, 0x01}));
        ASSERT_EQ(le32(r, 4), p.messageRanges.size());
        ASSERT_EQ(r.size(), 8 + 4 * p.messageRanges.size());
        for (size_t i = 0; i < p.messageRanges.size(); ++i) {
            EXPECT_EQ(le16(r, 8 + 4 * i), p.messageRanges[i].first);
            EXPECT_EQ(le16(r, 10 + 4 * i), p.messageRanges[i].last);
        }

        auto limits = ask(m, {0x73, 0, 0, 0, 1, 0, 0, 0});
        ASSERT_EQ(limits.size(), 1u);
        ASSERT_EQ(limits[0].size(), 12u + 64u);
        EXPECT_EQ(limits[0][0], 0x73);
        for (size_t e = 0; e < 16; ++e) EXPECT_EQ(le32(limits[0], 12 + 4 * e), p.logLimits[e]) << e;

        auto events = ask(m, {0x81, 0, 0, 0});
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0][0], 0x81);
        EXPECT_EQ(events[0][1], 0x00);
        EXPECT_EQ(le16(events[0], 4), p.eventMaskBits);
    }
    // The default profile looks like a GSM/WCDMA/LTE module.
    ModemProfile d;
    EXPECT_EQ(d.logLimits[1], 0x0A00u);
    EXPECT_EQ(d.logLimits[4], 0x0B00u);
    EXPECT_EQ(d.logLimits[5], 0x0D00u);
    EXPECT_EQ(d.logLimits[0xB], 0x0A00u);
    EXPECT_EQ(d.eventMaskBits, 0x0C00);
}

TEST(ModemModel, EveryStatusQueryKindIsAnswered) {
    struct Case {
        int kind;
        Bytes request;
        Bytes replyStart;
        size_t minLength;
    };
    const std::vector<Case> cases = {
        {0, {0x1C}, {0x1C}, 3},
        {1, {0x7C}, {0x7C, 0x01}, 14},
        {2, {0x4B, 0x08, 0x01, 0x00}, {0x4B, 0x08, 0x01, 0x00}, 32},
        {3, {0x4B, 0x08, 0x00, 0x00}, {0x4B, 0x08, 0x00, 0x00}, 6},
        {4, {0x4B, 0x0F, 0x00, 0x00}, {0x4B, 0x0F, 0x00, 0x00}, 48},
        {5, {0x78, 0x72, 0x50}, {0x78, 0x72, 0x50, 0x00}, 4},
        {6, {0x1D}, {0x1D}, 9},
        {7, {0x4B, 0x09, 0x00, 0x00}, {0x4B, 0x09, 0x00, 0x00}, 6},
        {8, {0x00}, {0x00}, 40},
        {9, {0x4B, 0x04, 0x05, 0x00}, {0x4B, 0x04, 0x05, 0x00}, 6},
        {10, {0x4B, 0x04, 0x00, 0x00}, {0x4B, 0x04, 0x00, 0x00}, 6},
    };
    DmModel m{ModemProfile{}};
    for (const auto& c : cases) {
        RequestEffect effect{};
        auto replies = ask(m, c.request, &effect);
        EXPECT_EQ(effect, RequestEffect::Answered) << c.kind;
        ASSERT_FALSE(replies.empty()) << c.kind;
        const Bytes& r = replies[0];
        ASSERT_GE(r.size(), c.minLength) << c.kind;
        EXPECT_TRUE(std::equal(c.replyStart.begin(), c.replyStart.end(), r.begin())) << c.kind;
    }
    // The log on demand brings the 0x5072 log packet behind its acknowledgement.
    auto lod = ask(m, {0x78, 0x72, 0x50});
    ASSERT_EQ(lod.size(), 2u);
    const Bytes& p = lod[1];
    ASSERT_GE(p.size(), 16u + 7u);
    EXPECT_EQ(p[0], 0x10);
    EXPECT_EQ(le16(p, 2), p.size() - 4);
    EXPECT_EQ(le16(p, 4), p.size() - 4);
    EXPECT_EQ(le16(p, 6), 0x5072);
    // An unknown code is refused, without a packet.
    auto other = ask(m, {0x78, 0x34, 0x12});
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0][3], 1);

    // NV read: the engine's 133-byte request gives a reply of the same layout.
    for (uint8_t index : {0, 7, 19}) {
        Bytes nv{0x26, 87, 0, index};
        nv.resize(133, 0);
        auto r = ask(m, nv);
        ASSERT_EQ(r.size(), 1u);
        ASSERT_EQ(r[0].size(), 133u);
        EXPECT_EQ(r[0][0], 0x26);
        EXPECT_EQ(le16(r[0], 1), 87);
        EXPECT_EQ(r[0][3], index);
        EXPECT_EQ(le16(r[0], 131), 0);  // done
    }
}

TEST(ModemModel, VersionAndGsmStatusDecodeToTheConfiguredIdentity) {
    struct Case {
        const char* name;
        GsmIdentity id;
        const char* location;  // as the information panel shows it
    };
    GsmIdentity twoDigitMnc;
    twoDigitMnc.imei = "356938035643809";
    twoDigitMnc.imsi = "26201987654321";  // 14 digits: ends in the filler
    twoDigitMnc.mcc = "262";
    twoDigitMnc.mnc = "01";
    twoDigitMnc.lac = 0x00FE;
    twoDigitMnc.cellId = 40000;
    twoDigitMnc.callState = 2;
    twoDigitMnc.operatingMode = 5;
    twoDigitMnc.systemMode = 5;
    const std::vector<Case> cases = {
        {"defaults", GsmIdentity{}, "310 410 1A2B"},
        {"two-digit MNC", twoDigitMnc, "262 01F 00FE"},
    };
    for (const auto& c : cases) {
        ModemProfile p;
        p.gsm = c.id;
        DmModel m(p);
        const Bytes s = m.gsmStatusReply();
        ASSERT_EQ(s.size(), 32u) << c.name;
        const std::string imei = std::to_string(s[5] >> 4) + nibbles(s, 6, 12);
        EXPECT_EQ(imei.substr(0, 14), c.id.imei.substr(0, 14)) << c.name;
        std::string imsi = std::to_string(s[14] >> 4) + nibbles(s, 15, 21);
        std::string expectImsi = c.id.imsi;
        if (expectImsi.size() == 14) expectImsi += 'F';
        EXPECT_EQ(imsi, expectImsi) << c.name;
        const std::string d = nibbles(s, 22, 26);
        const std::string lai = d.substr(0, 3) + " " + d.substr(4, 2) + d[3] + " " + d[7] + d[6] + d[9] + d[8];
        EXPECT_EQ(lai, c.location) << c.name;
        EXPECT_EQ(le16(s, 27), c.id.cellId) << c.name;
        EXPECT_EQ(s[29], c.id.callState) << c.name;
        EXPECT_EQ(s[30], c.id.operatingMode) << c.name;
        EXPECT_EQ(s[31], c.id.systemMode) << c.name;
    }

    DmModel m{ModemProfile{}};
    const Bytes v = m.versionReply();
    // Fixed fields: compile date 11, time 8, release date 11, time 8, version directory 8,
    // then station class mark, CAI revision, model, firmware revision (2), slot cycle index,
    // hardware major and minor: 55 bytes, as real modems send.
    ASSERT_EQ(v.size(), 55u);
    EXPECT_EQ(std::string(v.begin() + 1, v.begin() + 12), "Jan 12 2024");
    EXPECT_EQ(std::string(v.begin() + 12, v.begin() + 20), "10:22:33");
    EXPECT_EQ(std::string(v.begin() + 20, v.begin() + 31), "Jan 10 2024");
    EXPECT_EQ(std::string(v.begin() + 31, v.begin() + 39), "08:00:00");
    EXPECT_EQ(std::string(v.begin() + 39, v.begin() + 47), ModemProfile{}.versionDir);
}

TEST(ModemModel, ServingCellBodyCarriesTheRadioValues) {
    ModemProfile p;
    p.cell.arfcn = 784;
    p.cell.band = 11;
    p.cell.rxPowerSixteenths = -1280;
    p.cell.txLevelByte = 0x1A;
    p.cell.timingAdvanceByte = 0x05;
    p.cell.dtx = true;
    DmModel m(p);
    const Bytes pkt = m.servingCellLogPacket();
    ASSERT_GE(pkt.size(), 16u + 7u);
    const Bytes body(pkt.begin() + 16, pkt.end());
    EXPECT_EQ(body[0], 0x10);
    EXPECT_EQ(body[1], 0xB3);
    EXPECT_EQ(le16(body, 2), 0xFB00);
    EXPECT_EQ(body[4], 0x1A);
    EXPECT_EQ(body[5], 0x05);
    EXPECT_EQ(body[6], 1);
}

struct StreamSeen {
    std::set<uint16_t> logCodes;
    std::set<uint16_t> events;
    std::set<uint16_t> messageIds;
    size_t packets = 0;
    bool levelOutsideMask = false;
};

// Walks an event report with the receiver's rules; false when it does not end exactly.
bool walkEvents(const Bytes& p, std::set<uint16_t>& ids) {
    if (p.size() < 3 || le16(p, 1) != p.size() - 3) return false;
    size_t pos = 3;
    while (pos < p.size()) {
        if (pos + 2 > p.size()) return false;
        const uint16_t w = le16(p, pos);
        pos += 2 + ((w & 0x8000) ? 2 : 8);
        const uint32_t kind = (w >> 13) & 3;
        if (kind == 3) {
            if (pos >= p.size()) return false;
            pos += 1 + p[pos];
        } else {
            pos += kind;
        }
        ids.insert(w & 0x0FFF);
    }
    return pos == p.size();
}

StreamSeen pull(DmModel& m, size_t count, const std::map<uint16_t, uint32_t>& levels = {}) {
    StreamSeen s;
    Bytes p;
    StreamKind kind;
    uint32_t seq;
    for (size_t i = 0; i < count && m.nextStreamPacket(p, kind, seq); ++i) {
        ++s.packets;
        if (kind == StreamKind::Log) {
            EXPECT_EQ(p[0], 0x10);
            s.logCodes.insert(le16(p, 6));
        } else if (kind == StreamKind::Event) {
            EXPECT_EQ(p[0], 0x60);
            EXPECT_TRUE(walkEvents(p, s.events));
        } else {
            EXPECT_EQ(p[0], 0x79);
            const uint16_t ssid = le16(p, 14);
            s.messageIds.insert(ssid);
            auto it = levels.find(ssid);
            const uint32_t level = le32(p, 16);
            if (it == levels.end() || (level & it->second) == 0 || std::popcount(level) != 1)
                s.levelOutsideMask = true;
        }
    }
    return s;
}

TEST(ModemModel, OnlyWhatTheMasksEnableIsStreamed) {
    struct Case {
        const char* name;
        std::vector<uint16_t> logs;
        std::vector<uint16_t> events;
        bool eventReporting;
        std::vector<std::pair<uint16_t, uint32_t>> messages;  // within range 5000-5060 or 0-120
    };
    const std::vector<Case> cases = {
        {"logs only", {0x5072, 0x5138, 0x4125, 0xB0C0, 0x19FF}, {}, false, {}},
        {"logs and events", {0x1005}, {5, 1100, 3071}, true, {}},
        {"events without reporting", {0x1005}, {5, 1100}, false, {}},
        {"messages and events", {}, {0, 7}, true, {{5, 0x04}, {5003, 0x18}, {120, 0x80000000}}},
    };
    for (const auto kind : {ProfileKind::Maker, ProfileKind::Generic})
    for (const auto& c : cases) {
        const ModemProfile p = profileFor(kind);
        const bool maker = kind == ProfileKind::Maker;
        DmModel m(p);
        for (uint32_t e = 0; e < 16; ++e)
            if (p.logLimits[e] > 0) ask(m, logMaskSet(e, p.logLimits[e], c.logs));
        // Event reporting on turns every event on; the event mask then narrows them.
        if (c.eventReporting) ask(m, kEventsOn);
        ask(m, eventMaskSet(p.eventMaskBits, c.events));
        std::map<uint16_t, uint32_t> levels;
        for (const auto& r : p.messageRanges) {
            std::vector<std::pair<uint16_t, uint32_t>> inRange;
            for (auto& [id, l] : c.messages)
                if (id >= r.first && id <= r.last) inRange.emplace_back(id, l);
            ask(m, messageMaskSet(r.first, r.last, inRange));
        }
        for (auto& [id, l] : c.messages) levels[id] = l;

        // The maker's modem waits for its logging start; a plain chipset streams at once and
        // does not know that request.
        EXPECT_EQ(pull(m, 50).packets, maker ? 0u : 50u) << c.name << ": before logging start";
        RequestEffect started{};
        ask(m, kLoggingStart, &started);
        EXPECT_EQ(started, maker ? RequestEffect::StateOnly : RequestEffect::BadCommand) << c.name;
        const StreamSeen s = pull(m, 600, levels);
        EXPECT_EQ(s.packets, 600u) << c.name;
        EXPECT_EQ(s.logCodes, std::set<uint16_t>(c.logs.begin(), c.logs.end())) << c.name;
        std::set<uint16_t> wantEvents;
        if (c.eventReporting) wantEvents.insert(c.events.begin(), c.events.end());
        EXPECT_EQ(s.events, wantEvents) << c.name;
        std::set<uint16_t> wantMessages;
        for (auto& [id, l] : c.messages) wantMessages.insert(id);
        EXPECT_EQ(s.messageIds, wantMessages) << c.name;
        EXPECT_FALSE(s.levelOutsideMask) << c.name;
    }
}

TEST(ModemModel, LoggingStopAndAllOffRequestsEndTheStream) {
    struct Case {
        const char* name;
        Bytes enable;
        Bytes request;
        bool streamsAfter;
    };
    const ModemProfile p;
    const std::vector<Case> cases = {
        {"logging stop", logMaskSet(5, 0x0D00, {0x5001}), kLoggingStop, false},
        {"all logging off", logMaskSet(5, 0x0D00, {0x5001}), {0x73, 0, 0, 0, 0, 0, 0, 0}, false},
        {"all messages off", messageMaskSet(0, 120, {{3, 1}}), {0x7D, 0x05, 0, 0, 0, 0, 0, 0}, false},
        {"event reporting off", eventMaskSet(0x0C00, {9}), {0x60, 0x00}, false},
        {"event mask cleared", eventMaskSet(0x0C00, {9}), eventMaskSet(0x0C00, {}), false},
        {"all messages on", logMaskSet(5, 0x0D00, {}), {0x7D, 0x05, 0, 0, 1, 0, 0, 0}, true},
    };
    for (const auto& c : cases) {
        DmModel m(p);
        ask(m, kEventsOn);
        ask(m, eventMaskSet(0x0C00, {}));
        ask(m, c.enable);
        ask(m, kLoggingStart);
        ask(m, c.request);
        EXPECT_EQ(m.streaming(), c.streamsAfter) << c.name;
        EXPECT_EQ(pull(m, 20).packets, c.streamsAfter ? 20u : 0u) << c.name;
    }
}

TEST(ModemModel, CounterPacketsAreNumberedAndOtherLogsAreNot) {
    DmModel m{ModemProfile{}};
    ask(m, logMaskSet(0x1, 0x0A00, {kCounterLogCode}));
    ask(m, logMaskSet(0xB, 0x0A00, {0xB0C0, 0xB193}));
    ask(m, messageMaskSet(0, 120, {{10, 0x6}}));
    ask(m, kLoggingStart);
    Bytes p;
    StreamKind kind;
    uint32_t seq;
    uint32_t expectSeq = 1;
    size_t large = 0;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(m.nextStreamPacket(p, kind, seq));
        if (kind == StreamKind::Log) {
            EXPECT_EQ(le16(p, 2), p.size() - 4);
            EXPECT_EQ(le16(p, 4), p.size() - 4);
            if (le16(p, 6) != kCounterLogCode) {
                EXPECT_EQ(seq, 0u);
                continue;
            }
            ASSERT_EQ(seq, expectSeq++);
            ASSERT_GE(p.size(), 24u);
            EXPECT_EQ(le32(p, 16), seq);  // first body bytes
            EXPECT_EQ(p[20], 0x7E);
            EXPECT_EQ(p[21], 0x7D);
            large += p.size() > 2048;
        } else {
            ASSERT_EQ(kind, StreamKind::Message);
            ASSERT_GE(p.size(), 22u);
            EXPECT_NE(dm::le32At(p, 4).value_or(0) | dm::le32At(p, 8).value_or(0), 0u);  // time stamp
            EXPECT_EQ(p.back(), 0);
            EXPECT_EQ(std::count(p.begin() + 20 + 4 * p[2], p.end(), 0), 2);  // format and file
        }
    }
    EXPECT_GE(large, 3u);
    EXPECT_GT(expectSeq, 100u);
}

// A dual-SIM phone sends the same log packets, each wrapped for its subscription, and its
// messages compressed: the header of an extended message, a hash, the arguments.
TEST(ModemModel, MultiSimProfileWrapsLogsAndCompressesMessages) {
    ModemProfile dual;
    dual.multiSim = true;
    DmModel plain{ModemProfile{}}, m{dual};
    for (DmModel* model : {&plain, &m}) {
        ask(*model, logMaskSet(0x1, 0x0A00, {kCounterLogCode}));
        ask(*model, messageMaskSet(0, 120, {{10, 0x6}}));
        ask(*model, kLoggingStart);
    }
    Bytes p, q;
    StreamKind kind, plainKind;
    uint32_t seq, plainSeq;
    std::set<uint32_t> subscriptions;
    size_t messages = 0;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(m.nextStreamPacket(p, kind, seq));
        ASSERT_TRUE(plain.nextStreamPacket(q, plainKind, plainSeq));
        ASSERT_EQ(kind, plainKind);
        ASSERT_EQ(seq, plainSeq);
        if (kind == StreamKind::Log) {
            ASSERT_EQ(p.size(), q.size() + 8);
            EXPECT_EQ(Bytes(p.begin(), p.begin() + 4), (Bytes{0x98, 0x01, 0x00, 0x00}));
            EXPECT_EQ(le32(p, 4), multiSimSubscription(seq));
            subscriptions.insert(le32(p, 4));
            // The wrapped packet, but for its time stamp (bytes 8-15).
            EXPECT_TRUE(std::equal(q.begin(), q.begin() + 8, p.begin() + 8));
            EXPECT_TRUE(std::equal(q.begin() + 16, q.end(), p.begin() + 24));
        } else {
            ASSERT_EQ(kind, StreamKind::Message);
            ++messages;
            ASSERT_GE(p.size(), 24u);
            EXPECT_EQ(p[0], 0x92);
            EXPECT_EQ(p.size(), 24u + 4 * p[2]);
            EXPECT_EQ(Bytes(p.begin() + 1, p.begin() + 4), Bytes(q.begin() + 1, q.begin() + 4));
            EXPECT_EQ(le16(p, 14), 10u);  // subsystem id
            EXPECT_NE(le32(p, 20), 0u);   // hash
        }
    }
    EXPECT_EQ(subscriptions, (std::set<uint32_t>{1, 2}));
    EXPECT_GT(messages, 10u);
}

TEST(ModemModel, MalformedRequestsAreRefusedLikeAChipsetDoes) {
    struct Case {
        const char* name;
        Bytes request;
        uint8_t replyCode;
        RequestEffect effect;
    };
    Bytes shortNv{0x26, 0x01, 0x00};
    const std::vector<Case> cases = {
        {"unknown command", {0x99, 0x01}, 0x13, RequestEffect::BadCommand},
        {"unknown subsystem", {0x4B, 0x33, 0x01, 0x00}, 0x13, RequestEffect::BadCommand},
        {"short NV read", shortNv, 0x15, RequestEffect::BadLength},
        {"short log config", {0x73, 0x00}, 0x15, RequestEffect::BadLength},
        {"unknown log operation", {0x73, 0, 0, 0, 7, 0, 0, 0}, 0x14, RequestEffect::BadParameters},
        {"reversed message range", {0x7D, 0x04, 9, 0, 1, 0, 0, 0}, 0x14, RequestEffect::BadParameters},
        {"huge message range", {0x7D, 0x04, 0, 0, 0xFF, 0xFF, 0, 0}, 0x14, RequestEffect::BadParameters},
        {"unknown logging action", {0x4B, 0, 0, 0, 2, 0, 0, 0}, 0x14, RequestEffect::BadParameters},
        {"event reporting without a value", {0x60}, 0x15, RequestEffect::BadLength},
        {"log mask of no equipment", logMaskSet(2, 16, {0x2001}), 0x73, RequestEffect::Answered},
    };
    for (const auto& c : cases) {
        DmModel m{ModemProfile{}};
        RequestEffect effect{};
        auto r = ask(m, c.request, &effect);
        EXPECT_EQ(effect, c.effect) << c.name;
        ASSERT_EQ(r.size(), 1u) << c.name;
        EXPECT_EQ(r[0][0], c.replyCode) << c.name;
        if (c.replyCode == 0x13 || c.replyCode == 0x15 || c.replyCode == 0x14) {
            EXPECT_TRUE(std::equal(c.request.begin(), c.request.end(), r[0].begin() + 1)) << c.name;
        }
        EXPECT_TRUE(m.enabledLogCodes().empty()) << c.name;
    }

    // Sizes the host claims beyond the modem's are bounded by what the modem keeps.
    DmModel m{ModemProfile{}};
    Bytes hugeLimit{0x73, 0, 0, 0, 3, 0, 0, 0, 5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x80};
    auto r = ask(m, hugeLimit);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].size(), 20u + 0x0D00 / 8);
    EXPECT_EQ(m.enabledLogCodes(), (std::vector<uint16_t>{0x5000, 0x500F}));
    Bytes bigEvents = eventMaskSet(0xFFFF, {60000});
    auto e = ask(m, bigEvents);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].size(), 6u + 0x0C00 / 8);
    EXPECT_TRUE(m.enabledEvents().empty());

    // A limit that is no multiple of 8: the host's bits past it are not items. The reply
    // echoes the host's count, with the mask as the modem keeps it.
    ModemProfile odd;
    odd.logLimits[4] = 0x0A01;
    DmModel o(odd);
    Bytes lastByte = logMaskSet(4, 0x0A08, {0x4A00, 0x4A01, 0x4A07});
    auto reply = ask(o, lastByte);
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(le32(reply[0], 16), 0x0A08u);
    EXPECT_EQ(reply[0].size(), 20u + (0x0A01 + 7) / 8);
    EXPECT_EQ(o.enabledLogCodes(), (std::vector<uint16_t>{0x4A00}));
}

TEST(ModemModel, AnUnansweredRequestStillChangesTheState) {
    DmModel m{ModemProfile{}};
    std::vector<Bytes> replies;
    EXPECT_EQ(m.handle(logMaskSet(4, 0x0B00, {0x4001}), false, replies), RequestEffect::Unanswered);
    EXPECT_EQ(m.handle(kLoggingStart, false, replies), RequestEffect::StateOnly);
    EXPECT_TRUE(replies.empty());
    EXPECT_EQ(m.enabledLogCodes(), (std::vector<uint16_t>{0x4001}));
    EXPECT_TRUE(m.streaming());
    m.reset();
    EXPECT_FALSE(m.loggingOn());
    EXPECT_TRUE(m.enabledLogCodes().empty());
}

Bytes readReply(const char* name) {
    const std::filesystem::path p = std::filesystem::path(KVX_REALDATA_DIR) / "replies" / name;
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), {});
}

TEST(ModemModel, RepliesShareTheLayoutOfRealModems) {
    if (!std::filesystem::exists(std::filesystem::path(KVX_REALDATA_DIR) / "replies"))
        GTEST_SKIP() << "real captures not present";
    DmModel m{ModemProfile{}};
    struct Case {
        const char* file;
        Bytes request;
        bool sameLength;
    };
    Bytes setMask = logMaskSet(1, 0x0A00, {0x1001});
    const std::vector<Case> cases = {
        {"mi-cmcc_0x1C_diag_version.bin", {0x1C}, true},
        {"mi-cmcc_0x1D_timestamp.bin", {0x1D}, true},
        {"mi-sprint_0x4B0801_gsm_status.bin", {0x4B, 0x08, 0x01, 0x00}, true},
        {"mi-cmcc_0x4B0F_subsys.bin", {0x4B, 0x0F, 0x00, 0x00}, true},
        {"mi-cmcc_0x60_event_report_ctl_resp.bin", {0x60, 0x01}, true},
        {"mi-cmcc_0x7D05_set_all_msg_masks.bin", {0x7D, 0x05, 0, 0, 0, 0, 0, 0}, true},
        {"mi-cmcc_0x73_log_config_disable.bin", {0x73, 0, 0, 0, 0, 0, 0, 0}, true},
        {"mi-cmcc_0x00_version.bin", {0x00}, false},
        {"mi-cmcc_0x7C_ext_build_id.bin", {0x7C}, false},
        {"mi-cmcc_0x73_log_config_setmask_equip1.bin", setMask, false},
    };
    for (const auto& c : cases) {
        const Bytes real = readReply(c.file);
        ASSERT_FALSE(real.empty()) << c.file;
        auto r = ask(m, c.request);
        ASSERT_FALSE(r.empty()) << c.file;
        const Bytes& ours = r[0];
        EXPECT_EQ(ours[0], real[0]) << c.file;
        if (c.sameLength) {
            EXPECT_EQ(ours.size(), real.size()) << c.file;
        }
    }
    // Version: date at 1, time at 12, release date and time behind them, text at 39.
    const Bytes real = readReply("mi-cmcc_0x00_version.bin");
    const Bytes ours = m.versionReply();
    for (const Bytes* v : {&real, &ours}) {
        EXPECT_EQ((*v)[1 + 3], ' ');
        EXPECT_EQ((*v)[12 + 2], ':');
        EXPECT_EQ((*v)[20 + 3], ' ');
        EXPECT_EQ((*v)[31 + 2], ':');
        EXPECT_TRUE(std::isalnum((*v)[39]));
    }
    // Log mask set: status at 8, equipment at 12, limit at 16, then ceil(limit / 8) mask bytes.
    const Bytes realMask = readReply("mi-cmcc_0x73_log_config_setmask_equip1.bin");
    const Bytes ourMask = ask(m, setMask)[0];
    for (const Bytes* v : {&realMask, &ourMask}) {
        EXPECT_EQ(le32(*v, 4), 3u);
        EXPECT_EQ(le32(*v, 8), 0u);
        EXPECT_EQ(le32(*v, 12), 1u);
        EXPECT_EQ(v->size() - 20, (le32(*v, 16) + 7) / 8);
    }
}

}  // namespace
}  // namespace kvx::modemsim

namespace kvx::modemsim {
namespace {

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The requests other hosts send at start-up, answered as real modems and the Linux diag
// driver answer them, byte for byte. Each case runs on a fresh modem after its set-up.
TEST(ModemModel, StartUpRequestsOfOtherHostsAreAnsweredByteForByte) {
    struct Case {
        const char* name;
        ProfileKind profile;
        std::vector<Bytes> setup;
        Bytes request;
        Bytes reply;  // the whole reply payload
    };
    const Bytes wrap{0x98, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
    const Bytes feature{0x7F, 0xFF, 0x03, 0x00};
    const std::vector<Case> cases = {
        {"event reporting on", ProfileKind::Maker, {}, {0x60, 0x01}, {0x60, 0x00, 0x00}},
        {"event reporting off", ProfileKind::Maker, {}, {0x60, 0x00}, {0x60, 0x00, 0x00}},
        {"message build mask", ProfileKind::Maker, {}, {0x7D, 0x02, 0, 0, 2, 0},
         {0x7D, 0x02, 0, 0, 2, 0, 0x01, 0x00, 0x1F, 0, 0, 0, 0x1F, 0, 0, 0, 0x1F, 0, 0, 0}},
        {"message mask query, 6 bytes", ProfileKind::Maker,
         {messageMaskSet(0, 120, {{1, 0x06}})}, {0x7D, 0x03, 0, 0, 1, 0},
         {0x7D, 0x03, 0, 0, 1, 0, 0x01, 0x00, 0, 0, 0, 0, 0x06, 0, 0, 0}},
        {"message mask query of no range", ProfileKind::Maker, {}, {0x7D, 0x03, 0x10, 0x27, 0x10, 0x27},
         {0x7D, 0x03, 0x10, 0x27, 0x10, 0x27, 0x00, 0x00}},
        {"message sub-command 6", ProfileKind::Maker, {}, {0x7D, 0x06}, {0x14, 0x7D, 0x06}},
        {"log mask with no items", ProfileKind::Maker, {}, {0x73, 0, 0, 0, 3, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0},
         {0x73, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0}},
        {"version, multi-SIM", ProfileKind::Maker, {}, concat(wrap, {0x00}),
         concat(wrap, DmModel{ModemProfile{}}.versionReply())},
        {"unknown command, multi-SIM", ProfileKind::Maker, {}, concat(wrap, {0x99}), concat(wrap, {0x13, 0x99})},
        {"multi-SIM without a packet", ProfileKind::Maker, {}, wrap, concat({0x15}, wrap)},
        {"largest request", ProfileKind::Maker, {}, {0x4B, 0x12, 0x55, 0x00}, {0x4B, 0x12, 0x55, 0x00, 0x00, 0x20, 0, 0}},
        {"time stamp source", ProfileKind::Maker, {}, {0x4B, 0x12, 0x1B, 0x02, 0x01},
         {0x4B, 0x12, 0x1B, 0x02, 0x01, 0x00}},
        {"diag ids", ProfileKind::Maker, {}, {0x4B, 0x12, 0x22, 0x02, 0x01},
         {0x4B, 0x12, 0x22, 0x02, 0x01, 0x01, 0x01, 0x06, 'M', 'O', 'D', 'E', 'M', 0x00}},
        {"transport", ProfileKind::Maker, {}, {0x4B, 0x12, 0x23, 0x02}, {0x4B, 0x12, 0x23, 0x02, 0x00}},
        {"diag feature query", ProfileKind::Maker, {}, {0x4B, 0x12, 0x25, 0x02},
         concat({0x4B, 0x12, 0x25, 0x02, 0x01, 0x04}, feature)},
        {"clear all masks", ProfileKind::Maker, {logMaskSet(5, 0x0D00, {0x5001})},
         {0x4B, 0x12, 0x30, 0x02, 0x01}, {0x4B, 0x12, 0x30, 0x02, 0x01, 0x00}},
        {"unknown diag service", ProfileKind::Maker, {}, {0x4B, 0x12, 0x18, 0x02}, {0x13, 0x4B, 0x12, 0x18, 0x02}},
        {"EFS hello", ProfileKind::Maker, {}, {0x4B, 0x13, 0x00, 0x00, 0, 0x20, 0, 0},
         {0x14, 0x4B, 0x13, 0x00, 0x00, 0, 0x20, 0, 0}},
        {"feature query", ProfileKind::Maker, {}, {0x51}, concat({0x51, 0x04, 0x00}, feature)},
        {"feature query, later form", ProfileKind::Maker, {}, {0x75}, concat({0x75, 0x04, 0x00}, feature)},
        {"maker's logging start on a plain chipset", ProfileKind::Generic, {}, kLoggingStart,
         concat({0x13}, kLoggingStart)},
    };
    for (const auto& c : cases) {
        DmModel m{profileFor(c.profile)};
        for (const auto& s : c.setup) ask(m, s);
        const auto r = ask(m, c.request);
        ASSERT_EQ(r.size(), 1u) << c.name;
        EXPECT_EQ(r[0], c.reply) << c.name;
    }
}

// What those requests change: all events on and off, all masks cleared, an empty log mask
// set leaving the mask alone, more items than the modem has.
TEST(ModemModel, StartUpRequestsChangeTheMasksAsRealModemsDo) {
    DmModel m{ModemProfile{}};
    ask(m, kEventsOn);
    EXPECT_EQ(m.enabledEvents().size(), 0x0C00u);
    const auto events = ask(m, {0x81, 0, 0, 0});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], concat({0x81, 0, 0, 0, 0x00, 0x0C}, Bytes(0x0C00 / 8, 0xFF)));
    ask(m, {0x60, 0x00});
    EXPECT_TRUE(m.enabledEvents().empty());

    ask(m, logMaskSet(5, 0x0D00, {0x5001}));
    ask(m, {0x73, 0, 0, 0, 3, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(m.enabledLogCodes(), (std::vector<uint16_t>{0x5001}));
    ask(m, {0x4B, 0x12, 0x30, 0x02, 0x01});
    EXPECT_TRUE(m.enabledLogCodes().empty());

    // 0x1000 items for equipment 1, which has 0xA00: the count comes back as sent, the mask
    // as kept (items beyond 0xA00 dropped).
    Bytes big = logMaskSet(1, 0x1000, {0x1000, 0x1A00, 0x1FFF});
    const auto r = ask(m, big);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(Bytes(r[0].begin(), r[0].begin() + 20),
              (Bytes{0x73, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x00, 0x10, 0, 0}));
    EXPECT_EQ(r[0].size(), 20u + 0x0A00 / 8);
    EXPECT_EQ(m.enabledLogCodes(), (std::vector<uint16_t>{0x1000}));

    // What this build can log: every item of the equipment.
    const auto valid = ask(m, {0x73, 0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0});
    ASSERT_EQ(valid.size(), 1u);
    EXPECT_EQ(valid[0], concat({0x73, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0x00, 0x0D, 0, 0},
                               Bytes(0x0D00 / 8, 0xFF)));
}

}  // namespace
}  // namespace kvx::modemsim
