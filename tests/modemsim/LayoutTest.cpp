// The packets the simulated modem streams have the layouts of real ones: air-interface
// messages that Wireshark decodes without complaint, and a stream that the program's receive
// path, information decoder and log reader take without a size error in every profile.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "Wireshark.h"
#include "dm/ByteReader.h"
#include "dm/KvxLog.h"
#include "dm/LogReader.h"
#include "info/InfoDecoder.h"
#include "modemsim/DmModel.h"
#include "modemsim/LogBodies.h"
#include "modemsim/Replay.h"
#include "modemsim/Wire.h"
#include "MaskRequests.h"

namespace kvx::modemsim {
namespace {

using test::logMaskSet;

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct TempDir {
    fs::path path;
    TempDir() : path(kvx::testing::makeTempFolder("kvx_layout")) {}
    ~TempDir() { fs::remove_all(path); }
};

// The message of a 0xB0C0 body (packet version 13), read with the bounded reader; the
// channel goes to `channel`. Empty when the header does not hold together.
Bytes rrcOfBody(std::span<const uint8_t> body, uint8_t& channel) {
    dm::ByteReader r(body);
    auto version = r.u8();
    if (!version || *version != kLteRrcPacketVersion || !r.skip(3 + 2 + 4 + 2)) return {};
    auto pdu = r.u8();
    if (!pdu || !r.skip(4)) return {};
    auto len = r.u16();
    if (!len || r.remaining() != *len) return {};
    channel = *pdu;
    auto msg = r.bytes(*len);
    return Bytes(msg->begin(), msg->end());
}

const std::map<uint8_t, std::string> kRrcDissector = {
    {1, "lte-rrc.bcch.bch"}, {2, "lte-rrc.bcch.dl.sch"}, {4, "lte-rrc.pcch"},
    {5, "lte-rrc.dl.ccch"},  {6, "lte-rrc.dl.dcch"},     {7, "lte-rrc.ul.ccch"},
    {8, "lte-rrc.ul.dcch"},
};

// Wireshark reads every message of `msgs` as `dissector` without a malformed packet or an
// error, each as the protocol `protocol` (its short name); `names` must all show up.
void expectDecoded(const std::vector<Bytes>& msgs, const std::string& dissector, const std::string& protocol,
                   const std::set<std::string>& names) {
    TempDir dir;
    const fs::path file = dir.path / "m.pcap";
    test::writeUserPcap(file, msgs);
    const std::string text = test::dissect(file, dissector);
    EXPECT_EQ(test::countOf(text, "Malformed"), 0u) << dissector << "\n" << text;
    EXPECT_EQ(test::countOf(text, "[Expert Info (Error"), 0u) << dissector << "\n" << text;
    EXPECT_EQ(test::countOf(text, "[Protocols in frame: user_dlt:" + protocol + "]"), msgs.size())
        << dissector << "\n" << text;
    for (const auto& n : names) EXPECT_NE(text.find(n), std::string::npos) << dissector << ": " << n << "\n" << text;
}

TEST(RealLayouts, LteRrcBodiesDecodeAsValidRrcMessages) {
    if (!test::haveTshark()) GTEST_SKIP() << "tshark not installed";
    // The bodies as the modem streams them, cut open with the bounded reader.
    DmModel m{profileFor(ProfileKind::Generic)};
    std::vector<Bytes> replies;
    m.handle(logMaskSet(0xB, 0x0A00, {kLteRrcOtaCode}), true, replies);
    std::map<uint8_t, std::vector<Bytes>> byChannel;
    Bytes p;
    StreamKind kind;
    uint32_t seq;
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(m.nextStreamPacket(p, kind, seq));
        ASSERT_EQ(dm::le16At(p, 6).value_or(0), kLteRrcOtaCode);
        uint8_t channel = 0;
        Bytes msg = rrcOfBody(std::span<const uint8_t>(p).subspan(16), channel);
        ASSERT_FALSE(msg.empty()) << "body " << i;
        byChannel[channel].push_back(std::move(msg));
    }
    // Every message kind, with other identities and frame numbers.
    for (uint64_t salt : {0ull, 1ull, 0xFFFFFFFFFFFFFFFFull, 0x123456789ABCDEFull})
        for (auto& msg : lteRrcMessages(ModemProfile{}, salt))
            byChannel[static_cast<uint8_t>(msg.channel)].push_back(msg.bytes);
    const std::map<uint8_t, std::set<std::string>> names = {
        {1, {"BCCH-BCH-Message", "dl-Bandwidth: n100"}},
        {2, {"systemInformationBlockType1", "trackingAreaCode: 2b1a", "freqBandIndicator: 3"}},
        {4, {"paging", "s-TMSI"}},
        {7, {"rrcConnectionRequest", "mo-Signalling"}},
        {6, {"securityModeCommand", "eea2", "eia2", "ueCapabilityEnquiry", "eutra", "rrcConnectionRelease"}},
    };
    EXPECT_EQ(byChannel.size(), names.size());
    for (const auto& [channel, msgs] : byChannel) {
        ASSERT_TRUE(kRrcDissector.count(channel)) << int(channel);
        expectDecoded(msgs, kRrcDissector.at(channel), "lte_rrc",
                      names.count(channel) ? names.at(channel) : std::set<std::string>{});
    }
}

TEST(RealLayouts, NasWcdmaAndGsmBodiesDecodeAsTheirProtocols) {
    if (!test::haveTshark()) GTEST_SKIP() << "tshark not installed";
    ModemProfile prof;
    std::vector<Bytes> nas, umts, gsm;
    for (uint64_t salt = 0; salt < 12; ++salt) {
        for (bool out : {false, true}) {
            const Bytes b = lteNasBody(out, salt);
            ASSERT_GT(b.size(), 4u);
            nas.emplace_back(b.begin() + 4, b.end());
        }
        const Bytes w = wcdmaRrcBody(prof, salt);
        ASSERT_EQ(dm::le16At(w, 2).value_or(0) + 4u, w.size());
        umts.emplace_back(w.begin() + 4, w.end());
        const Bytes g = gsmRrBody(prof, salt);
        ASSERT_EQ(g[2] + 3u, g.size());
        gsm.emplace_back(g.begin() + 3, g.end());
    }
    expectDecoded(nas, "nas-eps", "nas-eps",
                  {"Identity request", "EMM information", "Security mode complete", "Identity response",
                   "IMSI: 310410123456789"});
    expectDecoded(umts, "rrc.ul.ccch", "rrc",
                  {"rrcConnectionRequest", "registration", "tmsi-and-LAI"});
    expectDecoded(gsm, "gsm_a_ccch", "gsm_a.ccch",
                  {"System Information Type 3", "System Information Type 4", "Paging Request Type 1",
                   "Location Area Code (LAC): 0x1a2b"});
}

struct Collect : dm::NotifyTarget {
    std::map<int32_t, std::string> last;
    size_t count = 0;
    void notify(uint32_t, const dm::InfoNotification& n) override {
        last[n.field] = n.text;
        ++count;
    }
};

// Every profile's stream, framed as on the wire, through the program's receive path with the
// information decoder attached, then read back with the log reader.
TEST(RealLayouts, EveryStreamedPacketPassesTheReceivePathInEveryProfile) {
    const std::vector<uint16_t> codes = {kLteRrcOtaCode, kLteNasEmmInCode, kLteNasEmmOutCode, kWcdmaRrcCode,
                                         kGsmRrCode,     kGsmServingCellCode, kGsmDlSignallingCode,
                                         kGsmRlTimeoutCode, kCounterLogCode, 0xB193, 0xB821, 0x4003};
    for (ProfileKind k : {ProfileKind::Maker, ProfileKind::Generic, ProfileKind::MultiSim}) {
        SCOPED_TRACE(static_cast<int>(k));
        DmModel m{profileFor(k)};
        std::vector<Bytes> replies;
        for (uint32_t e : {1u, 4u, 5u, 0xBu}) m.handle(logMaskSet(e, m.profile().logLimits[e], codes), true, replies);
        m.handle(Bytes{0x60, 0x01}, true, replies);
        m.handle(Bytes{0x7D, 0x05, 0, 0, 0x1F, 0, 0, 0}, true, replies);
        if (k == ProfileKind::Maker) m.handle(Bytes{0x4B, 0, 0, 0, 0, 0, 0x05, 0xFF}, true, replies);

        TempDir dir;
        dm::KvxLog engine;
        info::Decoder decoder;
        Collect window;
        engine.setdecoder(&decoder);
        engine.setinfotarget(&window, dm::kInfoMessage, true);
        ASSERT_TRUE(engine.openlog((dir.path / "s.kvx").string()));
        std::map<uint16_t, size_t> made;
        Bytes p, wire;
        StreamKind kind;
        uint32_t seq;
        size_t packets = 0;
        for (int i = 0; i < 4000; ++i) {
            ASSERT_TRUE(m.nextStreamPacket(p, kind, seq));
            size_t at = 0;
            ASSERT_EQ(innerCommand(p, at) == 0x10, kind == StreamKind::Log);
            ASSERT_EQ(p[0] == 0x98, k == ProfileKind::MultiSim && kind == StreamKind::Log);
            if (kind == StreamKind::Log) {
                // Both length fields agree with the packet, as the receive path checks.
                ASSERT_EQ(dm::le16At(p, at + 2).value_or(0), p.size() - at - 4);
                ASSERT_EQ(dm::le16At(p, at + 4).value_or(0), p.size() - at - 4);
                ++made[dm::le16At(p, at + 6).value_or(0)];
            }
            wire.clear();
            appendFrame(wire, p);
            engine.receive(wire);
            ++packets;
        }
        engine.closelog();
        const auto st = engine.getstats();
        EXPECT_EQ(st.sizeErrors, 0u);
        EXPECT_EQ(st.crcErrors, 0u);
        for (uint16_t c : codes) EXPECT_GT(made[c], 0u) << std::hex << c;
        EXPECT_GT(made[kLteRrcOtaCode], made[kLteNasEmmInCode]) << "typical shares";

        const auto log = dm::readLogFile((dir.path / "s.kvx").string());
        ASSERT_EQ(log.status, dm::LogReadStatus::Ok) << dm::describe(log);
        std::map<uint16_t, size_t> logged;
        for (const auto& r : log.records) ++logged[r.code];
        for (uint16_t c : codes) EXPECT_EQ(logged[c], made[c]) << std::hex << c;
        // The GSM items fill the Info Box fields they stand for.
        EXPECT_EQ(window.last[info::kBand], "GSM 900");
        EXPECT_EQ(window.last[info::kRfChannel], "62");
        EXPECT_EQ(window.last[info::kReceivedPower], "-80.000000");
        EXPECT_EQ(window.last[info::kRlTimeoutCount].size(), 1u);
        EXPECT_EQ(std::stoul(window.last[info::kDlSignallingCount]), made[kGsmDlSignallingCode]);
    }
}

// The version reply as the decoder reads it: the 8-character version directory as firmware,
// compile date and time as build date. The GSM status reply gives the configured identity.
TEST(RealLayouts, VersionAndStatusRepliesFillTheInfoBox) {
    DmModel m{ModemProfile{}};
    const Bytes v = m.versionReply();
    EXPECT_EQ(v.size(), 55u);
    Bytes buffer(12, 0);
    buffer.insert(buffer.end(), v.begin(), v.end());
    std::map<int32_t, std::string> f;
    for (const auto& n : info::decodeFields(0x00, buffer)) f[n.field] = n.text;
    EXPECT_EQ(f[info::kFirmware], "OWM71602");
    EXPECT_EQ(f[info::kBuildDate], "Jan 12 2024 10:22:33");
}

}  // namespace
}  // namespace kvx::modemsim
