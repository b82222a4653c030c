// kvxlog export's core: each kind of record back to the packet it came from, framed as on the
// wire; converting the stream again gives the same records (notes apart), for hand-made logs
// of every record kind and for every shared real capture (raw -> .kvx -> raw -> .kvx).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "dm/LogTestSupport.h"
#include "ota/RawExport.h"

namespace kvx::ota {
namespace {

using dmtest::Bytes;

// The records of a log that are not notes: code, time and bytes.
std::vector<Bytes> nonNotes(const dm::LogContents& log) {
    std::vector<Bytes> out;
    for (const auto& r : log.records) {
        if (r.code == dm::kCodeNote) continue;
        const auto b = log.bytes(r);
        out.emplace_back(b.begin(), b.end());
    }
    return out;
}

std::vector<std::string> notes(const dm::LogContents& log) {
    std::vector<std::string> out;
    for (const auto& r : log.records) {
        if (r.code != dm::kCodeNote) continue;
        const auto b = log.body(r);
        out.emplace_back(b.begin(), b.end());
    }
    return out;
}

Bytes exportOf(const dm::LogContents& log, bool wrap, RawExportStats* stats = nullptr) {
    RawExporter ex(wrap);
    Bytes out;
    ex.addLog(log, out);
    if (stats) *stats = ex.stats();
    return out;
}

TEST(RawExport, FramesEscapesAndCrc) {
    // The CRC of 7E 7D is escaped too where it holds a flag or an escape byte.
    const struct {
        Bytes packet;
    } cases[] = {{{0x1D}}, {{0x7E, 0x7D, 0x00}}, {{0x4B, 0x7D, 0x5E, 0x7E}}, {Bytes(5000, 0x7E)}};
    for (const auto& c : cases) {
        Bytes out;
        appendDmFrame(out, c.packet);
        EXPECT_EQ(out, dmtest::wire(c.packet));
    }
    // A CRC byte equal to 0x7E or 0x7D is escaped: search a packet whose CRC holds one.
    bool seen = false;
    for (uint8_t b = 0; b < 255 && !seen; ++b) {
        const Bytes p = {0x10, b};
        const uint16_t crc = dmtest::crcOf(p);
        if ((crc & 0xFF) != 0x7E && (crc & 0xFF) != 0x7D && (crc >> 8) != 0x7E && (crc >> 8) != 0x7D)
            continue;
        seen = true;
        Bytes out;
        appendDmFrame(out, p);
        EXPECT_EQ(out, dmtest::wire(p));
        EXPECT_EQ(out.size(), 2 + 3 + 1 + (b == 0x7E || b == 0x7D ? 1 : 0));
    }
    EXPECT_TRUE(seen);
}

// Every record kind the receive path writes, from packets sent with and without a multi-SIM
// wrapper, out and back in: the same records; and each packet exported as it came.
TEST(RawExport, EveryRecordKindRoundTrip) {
    const Bytes stamp = {1, 2, 3, 4, 5, 6, 7, 8};
    const Bytes logRec = [&] {
        Bytes r = dmtest::header(20, 0xB0C0, stamp);
        dmtest::append(r, Bytes{0x7E, 0x7D, 3, 4, 5, 6, 7, 8});
        return r;
    }();
    const Bytes logPkt = dmtest::logPacket(logRec);
    const Bytes reply = {0x1D, 0x7E, 2, 3, 4, 5, 6, 7, 8};
    const Bytes terse = {0x92, 0, 1, 2, 3};
    const Bytes message = {0x79, 0, 0, 0, 9, 8, 7, 6, 5, 4, 3, 2, 0x41, 0x42};
    // Two events: the second with a short time and a kind 3 payload; the first with kind 1.
    const Bytes events = {0x60, 0,    0,    0x23, 0x21, 1, 2, 3, 4, 5, 6, 7, 8, 0x55,
                          0x11, 0xE0, 0xAA, 0xBB, 2,    9, 9};
    const Bytes shortEvents = {0x60, 0x01, 0x00};  // a reply to the event switch
    Bytes oneF(87, 0x33);
    oneF[0] = 0x1F;
    oneF[1] = 0x05;
    oneF[2] = 0x00;
    auto wrap = [](uint32_t sub, const Bytes& p) {
        Bytes w = {0x98, 1, 0, 0, static_cast<uint8_t>(sub), 0, 0, 0};
        dmtest::append(w, p);
        return w;
    };
    const std::vector<Bytes> packets = {logPkt, reply, terse, message, events, shortEvents, oneF,
                                        wrap(1, logPkt), wrap(1, events), wrap(2, message),
                                        wrap(2, reply), wrap(1, oneF)};
    Bytes raw;
    for (const auto& p : packets) dmtest::append(raw, dmtest::wire(p));
    const auto first = dmtest::convert(raw);
    ASSERT_EQ(first.stats.crcErrors + first.stats.sizeErrors, 0u);
    // log, reply, terse, message, 2 events, short events, 0x1F; wrapped: log, 2 events,
    // message, reply, 0x1F; and three subscription notes.
    ASSERT_EQ(first.log.records.size(), 14u + 3u);
    EXPECT_EQ(notes(first.log),
              (std::vector<std::string>{"Subscription 1", "Subscription 2", "Subscription 1"}));

    RawExportStats stats;
    const Bytes exported = exportOf(first.log, true, &stats);
    const auto second = dmtest::convert(exported);
    EXPECT_EQ(second.stats.crcErrors + second.stats.sizeErrors, 0u);
    EXPECT_EQ(nonNotes(second.log), nonNotes(first.log));
    EXPECT_EQ(notes(second.log), notes(first.log));
    EXPECT_EQ(stats.notes, 3u);
    EXPECT_EQ(stats.frames, 14u);
    EXPECT_EQ(stats.wrapped, 6u);
    EXPECT_EQ(stats.bytes, exported.size());

    // The packets as they came, where one packet gave one record; each event of a report
    // becomes a report of its own, and the 0x1F field the log does not keep is 1.
    Bytes expected;
    for (const Bytes& p : {logPkt, reply, terse, message}) dmtest::append(expected, dmtest::wire(p));
    dmtest::append(expected, dmtest::wire(Bytes{0x60, 11, 0, 0x23, 0x21, 1, 2, 3, 4, 5, 6, 7, 8, 0x55}));
    dmtest::append(expected,
                   dmtest::wire(Bytes{0x60, 13, 0, 0x11, 0x60, 1, 0xAA, 0xBB, 4, 5, 6, 7, 8, 2, 9, 9}));
    dmtest::append(expected, dmtest::wire(shortEvents));
    Bytes oneFOut = oneF;
    oneFOut[1] = 1;
    dmtest::append(expected, dmtest::wire(oneFOut));
    EXPECT_EQ(Bytes(exported.begin(), exported.begin() + static_cast<std::ptrdiff_t>(expected.size())),
              expected);

    // Plainly: the same records, without subscription notes.
    const auto plain = dmtest::convert(exportOf(first.log, false));
    EXPECT_EQ(nonNotes(plain.log), nonNotes(first.log));
    EXPECT_TRUE(notes(plain.log).empty());
}

std::string realPath(const std::string& file) {
    return std::string(KVX_REALDATA_DIR) + "/" + file;
}

// Every shared real capture: raw -> .kvx -> export -> .kvx gives the same records.
TEST(RawExport, RealCapturesRoundTrip) {
    const char* const files[] = {
        "DrexxLaggui_1761147671_MNL-20251022.qmdl", "rayhunter-traces_1741896393-deadsim.qmdl",
        "rayhunter-traces_1749211282-goodsim.qmdl", "rayhunter-traces_1749222138-goodsim.qmdl",
        "mi_examples_attach_sample.mi2log",         "mi_examples_volte_sample.mi2log",
        "mi_unit-test_att.mi2log",                  "mi_unit-test_cmcc.mi2log",
        "mi_unit-test_tmobile.mi2log",              "mi_unit-test_att-iphone.mi2log",
        "scat-test_hwcombos.qmdl",                  "mi_fork_overlink_500KB.mi2log"};
    if (!std::filesystem::exists(realPath(files[0]))) GTEST_SKIP() << "no real captures";
    for (const char* f : files) {
        SCOPED_TRACE(f);
        const auto first = dmtest::convertRawFile(realPath(f));
        ASSERT_EQ(first.log.status, dm::LogReadStatus::Ok);
        const Bytes exported = exportOf(first.log, true);
        // Read as a stream, as `kvxlog export` reads it, in pieces that cut records.
        RawExporter streamed(true);
        Bytes fromStream;
        EXPECT_TRUE(dmtest::streamLogBytes(first.file, 4096, [&](const auto& r, auto bytes) {
            streamed.addRecord(r, bytes, fromStream);
        }));
        EXPECT_TRUE(fromStream == exported);
        dmtest::TempFile raw("qmdl");
        dmtest::writeBytes(raw.path(), exported);
        const auto second = dmtest::convertRawFile(raw.path());
        EXPECT_EQ(second.stats.crcErrors, 0u);
        EXPECT_EQ(second.stats.sizeErrors, 0u);
        const auto a = nonNotes(first.log), b = nonNotes(second.log);
        EXPECT_EQ(a.size(), b.size());
        EXPECT_TRUE(a == b);
    }
}

}  // namespace
}  // namespace kvx::ota
