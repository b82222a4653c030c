// Real captures of other people's modems, converted as a raw-file run and exported: the
// messages of each kind each file must give (every over-the-air record of them has a known
// layout), and packet times in the year the capture was recorded.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "PcapngRead.h"
#include "dm/LogTestSupport.h"
#include "ota/PcapExport.h"

namespace kvx::ota {
namespace {

struct Expected {
    const char* file;
    uint64_t lteRrc, lteNas, umtsNas, gsmRr, gprs;
};

constexpr Expected kFiles[] = {
    {"DrexxLaggui_1761147671_MNL-20251022.qmdl", 215, 3, 0, 0, 0},
    {"rayhunter-traces_1741896393-deadsim.qmdl", 95, 4, 0, 0, 0},
    {"rayhunter-traces_1749211282-goodsim.qmdl", 25, 4, 0, 0, 0},
    {"rayhunter-traces_1749222138-goodsim.qmdl", 1659, 232, 0, 0, 0},
    {"mi_examples_attach_sample.mi2log", 3044, 539, 0, 0, 0},
    {"mi_examples_volte_sample.mi2log", 2069, 948, 0, 0, 0},
    {"mi_unit-test_att.mi2log", 31, 2, 0, 0, 0},
    {"mi_unit-test_cmcc.mi2log", 4343, 95, 27, 378, 9},
    {"mi_unit-test_tmobile.mi2log", 109, 24, 0, 0, 0},
    {"mi_unit-test_att-iphone.mi2log", 17, 12, 0, 0, 0},
    {"scat-test_hwcombos.qmdl", 0, 0, 0, 0, 0},
    {"mi_fork_overlink_500KB.mi2log", 0, 0, 0, 0, 0},
};

std::string realPath(const char* file) {
    return std::string(KVX_REALDATA_DIR) + "/" + file;
}

uint64_t written(const ExportStats& s, MessageKind k) {
    return s.written[static_cast<size_t>(k)];
}

TEST(OtaRealData, MessagesOfEachCapture) {
    if (!std::filesystem::exists(realPath(kFiles[0].file))) GTEST_SKIP() << "no real captures";
    for (const auto& f : kFiles) {
        SCOPED_TRACE(f.file);
        const auto converted = dmtest::convertRawFile(realPath(f.file));
        ASSERT_FALSE(converted.log.records.empty());
        PcapExporter ex(false);
        std::vector<uint8_t> out;
        ex.addLog(converted.log, out);
        const ExportStats& s = ex.stats();
        EXPECT_EQ(written(s, MessageKind::LteRrc), f.lteRrc);
        EXPECT_EQ(written(s, MessageKind::LteNas), f.lteNas);
        EXPECT_EQ(written(s, MessageKind::UmtsNas), f.umtsNas);
        EXPECT_EQ(written(s, MessageKind::GsmRr), f.gsmRr);
        EXPECT_EQ(written(s, MessageKind::GprsGmmSm), f.gprs);
        EXPECT_EQ(written(s, MessageKind::WcdmaRrc), 0u);
        EXPECT_EQ(s.otaRecords, s.packets());  // nothing skipped
        // With --all every record is a packet.
        PcapExporter all(true);
        out.clear();
        all.addLog(converted.log, out);
        EXPECT_EQ(all.stats().packets(), converted.log.records.size());
        // Read as a stream, as `kvxlog pcap` reads it, in pieces that cut records.
        PcapExporter streamed(true);
        std::vector<uint8_t> fromStream;
        streamed.beginLog();
        EXPECT_TRUE(dmtest::streamLogBytes(converted.file, 4096, [&](const auto& r, auto bytes) {
            streamed.addRecord(r, bytes, fromStream);
        }));
        streamed.endLog(fromStream);
        EXPECT_TRUE(fromStream == out);
    }
}

// The captures' names carry the Unix time they were recorded: the modem's stamps agree.
TEST(OtaRealData, PacketTimesInTheYearRecorded) {
    const struct {
        const char* file;
        int64_t recorded;
        // The first over-the-air record's stamp worked out apart from this code: upper 48
        // bits x 1250 us + low 16 bits x 1250 us / 49152 after 1980-01-06, in microseconds.
        int64_t firstMicros;
    } cases[] = {{"DrexxLaggui_1761147671_MNL-20251022.qmdl", 1761147671, 1761147672045170},
                 {"rayhunter-traces_1741896393-deadsim.qmdl", 1741896393, 1741896393360481}};
    if (!std::filesystem::exists(realPath(cases[0].file))) GTEST_SKIP() << "no real captures";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const auto converted = dmtest::convertRawFile(realPath(c.file));
        PcapExporter ex(false);
        std::vector<uint8_t> out;
        ex.addLog(converted.log, out);
        ASSERT_GT(ex.stats().packets(), 0u);
        int64_t first = -1;
        for (const auto& p : test::parsePcapng(out, false)) {
            const int64_t sec = static_cast<int64_t>(p.micros / 1000000);
            if (first < 0) {
                first = sec;
                EXPECT_EQ(static_cast<int64_t>(p.micros), c.firstMicros);
            }
            const time_t t = sec;
            std::tm tm{};
            gmtime_r(&t, &tm);
            EXPECT_EQ(tm.tm_year + 1900, 2025);
        }
        EXPECT_LT(std::abs(first - c.recorded), 86400);
    }
}

}  // namespace
}  // namespace kvx::ota
