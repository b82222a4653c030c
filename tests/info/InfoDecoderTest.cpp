#include "info/InfoDecoder.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "dm/Frame.h"

namespace kvx::info {
namespace {

using Bytes = std::vector<uint8_t>;

struct RecordingTarget : dm::NotifyTarget {
    void notify(uint32_t messageId, const dm::InfoNotification& note) override {
        ids.push_back(messageId);
        notes.push_back(note);
    }
    bool wantsLogFields() const override { return logFields; }
    std::vector<uint32_t> ids;
    std::vector<dm::InfoNotification> notes;
    bool logFields = true;
};

// A response as the receive path hands it on: the 12-byte packet record header, then the reply.
Bytes wrapResponse(const Bytes& reply) {
    Bytes b = {static_cast<uint8_t>(12 + reply.size()),
               static_cast<uint8_t>((12 + reply.size()) >> 8),
               0xF0,
               0x1F,
               0,
               0,
               0,
               0,
               0,
               0,
               0,
               0};
    b.insert(b.end(), reply.begin(), reply.end());
    return b;
}

// A log packet: command, flag, 16-bit length, then the log record with a zero time stamp.
Bytes logPacket(uint16_t code, const Bytes& body) {
    const size_t len = 12 + body.size();
    Bytes b = {0x10,
               0x00,
               static_cast<uint8_t>(len),
               static_cast<uint8_t>(len >> 8),
               static_cast<uint8_t>(len),
               static_cast<uint8_t>(len >> 8),
               static_cast<uint8_t>(code),
               static_cast<uint8_t>(code >> 8)};
    b.resize(16, 0);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

class InfoDecoderTest : public ::testing::Test {
  protected:
    std::map<int32_t, std::string> decode(uint8_t cmd, const Bytes& buffer) {
        target.notes.clear();
        target.ids.clear();
        decoder.decodeInfo(engine, cmd, buffer, &target, dm::kInfoMessage);
        std::map<int32_t, std::string> byField;
        for (const auto& n : target.notes) byField[n.field] = n.text;
        for (uint32_t id : target.ids) EXPECT_EQ(id, dm::kInfoMessage);
        return byField;
    }
    std::vector<int32_t> order() const {
        std::vector<int32_t> f;
        for (const auto& n : target.notes) f.push_back(n.field);
        return f;
    }

    dm::KvxLog engine;
    Decoder decoder;
    RecordingTarget target;
};

// A GSM status reply (4B 08 01 00) with the given state bytes.
Bytes gsmStatus(uint8_t call, uint8_t oper, uint8_t sys) {
    Bytes r(32, 0);
    r[0] = 0x4B, r[1] = 0x08, r[2] = 0x01;
    const Bytes imei = {0x3A, 0x55, 0x94, 0x09, 0x06, 0x35, 0x77, 0x09};  // bytes 5-12
    std::copy(imei.begin(), imei.end(), r.begin() + 5);
    const Bytes imsi = {0x29, 0x10, 0x14, 0x32, 0x54, 0x76, 0x98, 0xF0};  // bytes 14-21
    std::copy(imsi.begin(), imsi.end(), r.begin() + 14);
    const Bytes lai = {0x13, 0x00, 0x14, 0x1A, 0x2B};  // bytes 22-26
    std::copy(lai.begin(), lai.end(), r.begin() + 22);
    r[27] = 0x39, r[28] = 0x30;  // cell 12345
    r[29] = call, r[30] = oper, r[31] = sys;
    return r;
}

Bytes version(const std::string& firmware) {
    Bytes r = {0x00};
    for (char c : std::string("Apr 21 2015") + "21:45:40") r.push_back(static_cast<uint8_t>(c));
    r.resize(39, 'x');
    r.insert(r.end(), firmware.begin(), firmware.end());
    return r;
}

// A dual-SIM phone wraps its packets for a subscription (0x98); the receive path hands the
// decoder the packet inside, so the Info Box fills as for a single-SIM modem.
TEST(InfoThroughTheEngine, MultiSimPacketsFillTheSameFields) {
    const Bytes radio = logPacket(0x5072, {0x10, 0xB3, 0x00, 0xFB, 0x05, 0x1A, 0x01});
    const Bytes status = gsmStatus(2, 5, 3);
    auto fields = [](const std::vector<Bytes>& packets) {
        dm::KvxLog engine;
        Decoder decoder;
        RecordingTarget target;
        engine.setdecoder(&decoder);
        engine.setinfotarget(&target, dm::kInfoMessage, true);
        const auto path = std::filesystem::temp_directory_path() /
                          ("kvxinfo-" + std::to_string(::getpid()) + ".kvx");
        EXPECT_TRUE(engine.openlog(path.string()));
        for (const auto& p : packets) engine.receive(dm::buildFrame(p));
        engine.closelog();
        std::filesystem::remove(path);
        std::vector<std::pair<int32_t, std::string>> out;
        for (const auto& n : target.notes) out.emplace_back(n.field, n.text);
        return out;
    };
    auto wrapped = [](uint8_t sub, const Bytes& inner) {
        Bytes p = {0x98, 0x01, 0x00, 0x00, sub, 0x00, 0x00, 0x00};
        p.insert(p.end(), inner.begin(), inner.end());
        return p;
    };
    const auto plain = fields({radio, status});
    ASSERT_EQ(plain.size(), 13u);
    EXPECT_EQ(plain[1], (std::pair<int32_t, std::string>{kBand, "GSM 850"}));
    EXPECT_EQ(fields({wrapped(1, radio), wrapped(2, status)}), plain);
}

TEST_F(InfoDecoderTest, GsmRadioLogItem) {
    struct Case {
        Bytes body;
        std::map<int32_t, std::string> want;
    } cases[] = {
        {{0x00, 0x0B, 0x08, 0xFC, 0x05, 0x1A, 0x01},
         {{kRfChannel, "2816"},
          {kBand, "None"},
          {kReceivedPower, "-63.500000"},
          {kTransmitLevel, "50"},
          {kTimingAdvance, "A1"},
          {kDtx, "On"}}},
        {{0x10, 0xB3, 0x00, 0xFB, 0x1A, 0x00, 0x00},
         {{kRfChannel, "784"},
          {kBand, "GSM 850"},
          {kReceivedPower, "-80.000000"},
          {kTransmitLevel, "A1"},
          {kTimingAdvance, "00"},
          {kDtx, "Off"}}},
        {{0x01, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F},
         {{kRfChannel, "1"},
          {kBand, "Unknown"},
          {kReceivedPower, "-0.062500"},
          {kTransmitLevel, "FF"},
          {kTimingAdvance, "FF"},
          {kDtx, "On"}}},
        {{0x7C, 0x83, 0, 0, 0, 0, 0},
         {{kRfChannel, "892"},
          {kBand, "GSM 900"},
          {kReceivedPower, "-4096.000000"},
          {kTransmitLevel, "00"},
          {kTimingAdvance, "00"},
          {kDtx, "Off"}}},
        {{0x00, 0x90, 0, 0x80, 0, 0, 0}, {{kBand, "PCS"}, {kReceivedPower, "-2048.000000"}}},
        {{0x00, 0xA2, 0, 0, 0, 0, 0}, {{kBand, "DCS"}, {kRfChannel, "512"}}},
    };
    for (const auto& c : cases) {
        auto got = decode(0x10, logPacket(0x5072, c.body));
        for (const auto& [field, text] : c.want) EXPECT_EQ(got[field], text) << "field " << field;
        EXPECT_EQ(order(), (std::vector<int32_t>{10, 9, 11, 12, 13, 14}));
    }
}

TEST_F(InfoDecoderTest, CounterLogItems) {
    EXPECT_EQ(decode(0x10, logPacket(0x5138, {0xFF, 0xFF, 0xFF, 0xFF})),
              (std::map<int32_t, std::string>{{kDlSignallingCount, "-1"}}));
    EXPECT_EQ(decode(0x10, logPacket(0x5138, {0x39, 0x30, 0, 0})),
              (std::map<int32_t, std::string>{{kDlSignallingCount, "12345"}}));
    EXPECT_EQ(decode(0x10, logPacket(0x5139, {0xC8, 0x01})),
              (std::map<int32_t, std::string>{{kRlTimeoutCount, "200"}}));
    EXPECT_TRUE(decode(0x10, logPacket(0x512F, {1, 2, 3, 4, 5, 6, 7})).empty());
}

TEST_F(InfoDecoderTest, GsmStatusFieldsInOrder) {
    auto got = decode(0x4B, wrapResponse(gsmStatus(3, 5, 7)));
    EXPECT_EQ(order(), (std::vector<int32_t>{2, 5, 4, 3, 6, 7, 8}));
    EXPECT_EQ(got[kImei], "35549906053779");
    EXPECT_EQ(got[kCellId], "12345");
    EXPECT_EQ(got[kLocationAreaId], "310 410 1A2B");
    EXPECT_EQ(got[kImsi], "20141234567890F");
    EXPECT_EQ(got[kCallState], "User Allert (Ringing)");
    EXPECT_EQ(got[kOperMode], "Online");
    EXPECT_EQ(got[kSystemMode], "GSM and WCDMA");
}

TEST_F(InfoDecoderTest, StateTablesAndFallbacks) {
    struct Case {
        uint8_t call, oper, sys;
        const char *wantCall, *wantOper, *wantSys;
    } cases[] = {
        {9, 12, 3, "Invalid State", "Invalid Mode", "GSM"},
        {8, 11, 8, "Invalid State", "Invalid Mode", "Invalid Mode"},
        {0, 10, 0, "Idle", "Pseudo Online", "No Service"},
        {7, 8, 255, "Waiting for call to end", "GSM/WCDMA Network Test", "Invalid Mode"},
    };
    for (const auto& c : cases) {
        auto got = decode(0x4B, wrapResponse(gsmStatus(c.call, c.oper, c.sys)));
        EXPECT_EQ(got[kCallState], c.wantCall);
        EXPECT_EQ(got[kOperMode], c.wantOper);
        EXPECT_EQ(got[kSystemMode], c.wantSys);
    }
}

TEST_F(InfoDecoderTest, IdentityFirstNibbleAboveNineShowsOne) {
    Bytes r = gsmStatus(0, 0, 0);
    r[5] = 0xF0;
    r[14] = 0xC9;
    auto got = decode(0x4B, wrapResponse(r));
    EXPECT_EQ(got[kImei], "15549906053779");
    EXPECT_EQ(got[kImsi], "10141234567890F");
}

TEST_F(InfoDecoderTest, OtherSubsystemRepliesAndSubsystemZero) {
    Bytes r = gsmStatus(0, 0, 0);
    r[2] = 2;
    EXPECT_TRUE(decode(0x4B, wrapResponse(r)).empty());
    r[1] = 9, r[2] = 1;
    EXPECT_TRUE(decode(0x4B, wrapResponse(r)).empty());
    for (const Bytes& zero : {Bytes{0x4B, 0x00}, Bytes{0x4B, 0x00, 0x01, 0x00, 1, 2, 3}}) {
        decode(0x4B, wrapResponse(zero));
        ASSERT_EQ(target.notes.size(), 1u);
        EXPECT_EQ(target.notes[0].field, kSubsystemZero);
        EXPECT_EQ(target.notes[0].text, "");
    }
    EXPECT_TRUE(decode(0x15, wrapResponse(gsmStatus(0, 0, 0))).empty());
}

TEST_F(InfoDecoderTest, VersionReply) {
    Bytes withNul = version("FW1.2");
    withNul.push_back(0);
    withNul.push_back('Z');
    auto got = decode(0x00, wrapResponse(withNul));
    EXPECT_EQ(order(), (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(got[kFirmware], "FW1.2");
    EXPECT_EQ(got[kBuildDate], "Apr 21 2015 21:45:40");
    // The firmware field is 8 bytes wide; what follows it (the mobile's binary numbers) is
    // not part of the name, NUL or not.
    EXPECT_EQ(decode(0x00, wrapResponse(version("NO-NUL-TO-END")))[kFirmware], "NO-NUL-T");
    EXPECT_EQ(decode(0x00, wrapResponse(version(std::string(600, 'v'))))[kFirmware], "vvvvvvvv");

    // A reply cut short still sends both texts, each cut where the reply ends, so that the
    // previous modem's texts do not stay on screen.
    const Bytes full = version("FW");  // 41 bytes: date 1-11, time 12-19, name 39-40
    struct Case {
        size_t length;
        std::string firmware, date;
    } cases[] = {
        {41, "FW", "Apr 21 2015 21:45:40"},
        {40, "F", "Apr 21 2015 21:45:40"},
        {39, "", "Apr 21 2015 21:45:40"},
        {20, "", "Apr 21 2015 21:45:40"},
        {19, "", "Apr 21 2015 21:45:4"},
        {15, "", "Apr 21 2015 21:"},
        {12, "", "Apr 21 2015 "},
        {5, "", "Apr  "},
        {1, "", " "},
    };
    for (const auto& c : cases) {
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(c.length));
        got = decode(0x00, wrapResponse(cut));
        EXPECT_EQ(order(), (std::vector<int32_t>{kFirmware, kBuildDate})) << c.length;
        EXPECT_EQ(got[kFirmware], c.firmware) << c.length;
        EXPECT_EQ(got[kBuildDate], c.date) << c.length;
    }
    EXPECT_TRUE(decode(0x00, wrapResponse({})).empty());  // no reply behind the header

    Bytes shortDate = version("x");
    shortDate[5] = 0;  // date "Apr " stops at its NUL
    EXPECT_EQ(decode(0x00, wrapResponse(shortDate))[kBuildDate], "Apr  21:45:40");
}

TEST_F(InfoDecoderTest, NoTargetSendsNothingButClearsTimeQuery) {
    engine.statusquery(6);  // marks the time query outstanding (no port: nothing is sent)
    ASSERT_TRUE(engine.timequeryoutstanding());
    decoder.decodeInfo(engine, 0x00, wrapResponse(version("FW")), nullptr, 0);
    EXPECT_TRUE(engine.timequeryoutstanding());
    decoder.decodeInfo(engine, 0x4B, wrapResponse(gsmStatus(0, 0, 0)), nullptr, 0);
    decoder.decodeInfo(engine, 0x1D, wrapResponse({0x1D, 1, 2, 3, 4, 5, 6, 7, 8}), nullptr, 0);
    EXPECT_FALSE(engine.timequeryoutstanding());
    EXPECT_TRUE(target.notes.empty());
    EXPECT_TRUE(decode(0x1D, wrapResponse({0x1D, 1, 2, 3, 4, 5, 6, 7, 8})).empty());
}

// A target that shows no radio values is not sent those of log packets; replies still come.
TEST_F(InfoDecoderTest, LogFieldsOnlyForATargetThatWantsThem) {
    const Bytes radio = logPacket(0x5072, {0x10, 0xB3, 0x00, 0xFB, 0x05, 0x1A, 0x01});
    ASSERT_FALSE(decode(0x10, radio).empty());
    target.logFields = false;
    EXPECT_TRUE(decode(0x10, radio).empty());
    const auto status = decode(0x4B, wrapResponse(gsmStatus(2, 5, 3)));
    EXPECT_EQ(status.count(kImei), 1u);
    EXPECT_EQ(decode(0x4B, wrapResponse({0x4B, 0x00, 0x00, 0x00})).count(kSubsystemZero), 1u);
}

TEST(InfoLabels, LabelsOfTheInfoBox) {
    EXPECT_EQ(fieldLabel(kFirmware), "Firmware");
    EXPECT_EQ(fieldLabel(kBuildDate), "Build Date");
    EXPECT_EQ(fieldLabel(kImei), "IMEI");
    EXPECT_EQ(fieldLabel(kImsi), "IMSI");
    EXPECT_EQ(fieldLabel(kLocationAreaId), "Location Area ID");
    EXPECT_EQ(fieldLabel(kOperMode), "Phone Oper. Mode");
    EXPECT_EQ(fieldLabel(kRfChannel), "Absolute RF Ch Num *");
    EXPECT_EQ(fieldLabel(kRlTimeoutCount), "RL Timeout Count *");
    EXPECT_EQ(fieldLabel(17), "");
    EXPECT_EQ(fieldLabel(kSubsystemZero), "");
    EXPECT_EQ(fieldLabel(-1), "");
}

// Every prefix of a valid packet decodes inside its bounds (checked by the sanitizers) and
// sends only fields whose bytes are all present, with the same text as the whole packet
// (except the version texts, which legitimately run to the end of what is there).
void checkPrefixes(uint8_t cmd, const Bytes& packet) {
    const auto whole = decodeFields(cmd, packet);
    for (size_t n = 0; n <= packet.size(); ++n) {
        Bytes prefix(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(n));
        for (const auto& note : decodeFields(cmd, prefix)) {
            if (note.field == kFirmware || note.field == kBuildDate) continue;
            auto same = std::find_if(whole.begin(), whole.end(),
                                     [&](const auto& w) { return w.field == note.field; });
            ASSERT_NE(same, whole.end()) << "cmd " << int(cmd) << " length " << n;
            EXPECT_EQ(note.text, same->text) << "cmd " << int(cmd) << " length " << n;
        }
    }
}

TEST(InfoTruncation, EveryPrefixStaysInBounds) {
    checkPrefixes(0x10, logPacket(0x5072, {0x10, 0xB3, 0x00, 0xFB, 0x1A, 0x00, 0x01}));
    checkPrefixes(0x10, logPacket(0x5138, {1, 2, 3, 4}));
    checkPrefixes(0x10, logPacket(0x5139, {7}));
    checkPrefixes(0x4B, wrapResponse(gsmStatus(1, 2, 3)));
    checkPrefixes(0x4B, wrapResponse({0x4B, 0x00, 0x01, 0x00}));
    checkPrefixes(0x00, wrapResponse(version("NONUL")));
    // The full GSM status needs all 32 reply bytes; one short loses only the system mode.
    Bytes cut = wrapResponse(gsmStatus(1, 2, 3));
    cut.pop_back();
    EXPECT_EQ(decodeFields(0x4B, cut).size(), 6u);
}

Bytes readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), {});
}

TEST_F(InfoDecoderTest, RealReplies) {
    const std::filesystem::path dir = std::filesystem::path(KVX_REALDATA_DIR) / "replies";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no real replies";

    auto got = decode(0x00, wrapResponse(readFile(dir / "mi-cmcc_0x00_version.bin")));
    EXPECT_EQ(got[kBuildDate], "Apr 21 2015 21:45:40");
    // The 8-character version directory, without the station class mark (0x3A, ':') and
    // the other numbers behind it.
    EXPECT_EQ(got[kFirmware], "FAAAANUZ");

    got = decode(0x4B, wrapResponse(readFile(dir / "mi-sprint_0x4B0801_gsm_status.bin")));
    EXPECT_EQ(order(), (std::vector<int32_t>{2, 5, 4, 3, 6, 7, 8}));
    ASSERT_EQ(got[kImei].size(), 14u);
    for (char c : got[kImei]) EXPECT_TRUE(c >= '0' && c <= '9') << got[kImei];
    EXPECT_EQ(got[kImsi].size(), 15u);
    EXPECT_EQ(got[kCallState], "Call Connect Delay State");
    EXPECT_EQ(got[kOperMode], "Online");

    EXPECT_TRUE(
        decode(0x4B, wrapResponse(readFile(dir / "mi-sprint_0x4B0800_gsm_version.bin"))).empty());

    // Every reply: only known fields, texts within bounds, and every prefix decodes safely.
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        Bytes reply = readFile(e.path());
        if (reply.empty()) continue;
        const uint8_t cmd = reply[0];
        // A log packet already carries its own header; replies get the record header.
        Bytes buffer = cmd == 0x10 ? reply : wrapResponse(reply);
        for (const auto& n : decodeFields(cmd, buffer)) {
            EXPECT_TRUE((n.field >= 0 && n.field <= 16) || n.field == 18) << e.path();
            EXPECT_LE(n.text.size(), dm::kNotificationTextMax);
        }
        checkPrefixes(cmd, buffer);
    }
}

}  // namespace
}  // namespace kvx::info
