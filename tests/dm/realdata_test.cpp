// Real captures of other people's modems, converted as a raw-file run: the counters and the
// record stream length of each file's known result, and every record equal to an independent
// re-parse of the capture's frames.
#include <gtest/gtest.h>

#include "RealDataCounts.h"

#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "LogTestSupport.h"

namespace kvx::dm {
namespace {

using dmtest::append;
using dmtest::Bytes;

using Expected = testdata::RealCapture;
constexpr const auto& kFiles = testdata::kRealCaptures;

// A second reading of the receive rules, written plainly and byte by byte: frames cut at
// 0x7E, escapes undone, CRC checked, multi-SIM packets unwrapped, each packet turned into its
// records.
struct Reference {
    Bytes stream;
    uint32_t records = 0, crcErrors = 0, sizeErrors = 0;
    uint32_t logPackets = 0, subscriptionNotes = 0;
    long subscription = -1;
    uint8_t eventTime[8] = {};

    void note(const std::string& text) {
        append(stream, dmtest::noteRecord(text));
        ++records;
    }
    void sizeError(unsigned expected, unsigned received) {
        ++sizeErrors;
        note("KvxLog DM Error - size (expected " + std::to_string(expected) + ", received " +
             std::to_string(received) + ")");
    }
    void frame(const Bytes& f) {
        const size_t length = f.size();
        if (static_cast<uint16_t>(~crc16Update(0xFFFF, f.data(), length - 1)) != 0x0F47) {
            ++crcErrors;
            note("KvxLog DM Error - CRC");
            append(stream, dmtest::noteRecord(f));
            ++records;
            return;
        }
        if (length < 4) return;
        if (f[0] == 0x98 && length > 11) {
            const long sub = f[4] | f[5] << 8 | f[6] << 16 | static_cast<long>(f[7]) << 24;
            const Bytes inner(f.begin() + 8, f.end());
            if (inner[0] == 0x98) return;
            if (sub != subscription) {
                note("Subscription " + std::to_string(sub));
                ++subscriptionNotes;
                subscription = sub;
            }
            return packet(inner);
        }
        packet(f);
    }
    void packet(const Bytes& f) {
        const size_t length = f.size();
        const Bytes p(f.begin(), f.end() - 3);
        auto field = [&](size_t at) { return static_cast<unsigned>(p[at] | (p[at + 1] << 8)); };
        switch (p[0]) {
            case 0x10: {
                ++logPackets;
                const Bytes rec(p.begin() + std::min<size_t>(4, p.size()), p.end());
                const unsigned len = rec.size() >= 2 ? static_cast<unsigned>(rec[0] | (rec[1] << 8)) : 0;
                if (rec.size() < 12 || len != rec.size()) return sizeError(len, static_cast<unsigned>(rec.size()));
                append(stream, rec);
                ++records;
                return;
            }
            case 0x00: case 0x15: case 0x1C: case 0x1D: case 0x26: case 0x4B:
            case 0x73: case 0x78: case 0x7C: case 0x7D: case 0x81: case 0x82:
            case 0x92:
                append(stream, dmtest::packetRecord(p));
                ++records;
                return;
            case 0x1F:
                if (p.size() < 3 || field(1) == 0) {
                    append(stream, dmtest::packetRecord(p));
                } else if (length != 90) {
                    return sizeError(96, static_cast<unsigned>(length + 6));
                } else {
                    Bytes r = dmtest::header(96, kCodeConverted1F, Bytes(p.end() - 8, p.end()));
                    r.insert(r.end(), p.begin() + 3, p.end());
                    append(stream, r);
                }
                ++records;
                return;
            case 0x60: {
                if (length < 7) {
                    append(stream, dmtest::packetRecord(p));
                    ++records;
                    return;
                }
                size_t pos = 3;
                bool any = false;
                while (pos < p.size()) {
                    if (p.size() - pos < 2) return sizeError(static_cast<unsigned>(pos + 2), static_cast<unsigned>(p.size()));
                    const unsigned word = field(pos);
                    const size_t timeSize = (word & 0x8000) ? 2 : 8;
                    const unsigned kind = (word >> 13) & 3;
                    size_t at = pos + 2 + timeSize;
                    if (at + (kind == 3) > p.size())
                        return sizeError(static_cast<unsigned>(at + (kind == 3)), static_cast<unsigned>(p.size()));
                    const size_t payload = kind == 3 ? 1u + p[at] : kind;
                    if (at + payload > p.size())
                        return sizeError(static_cast<unsigned>(at + payload), static_cast<unsigned>(p.size()));
                    if (timeSize == 2) {
                        eventTime[1] = p[pos + 2];
                        eventTime[2] = p[pos + 3];
                    } else {
                        std::copy(p.begin() + static_cast<std::ptrdiff_t>(pos + 2),
                                  p.begin() + static_cast<std::ptrdiff_t>(pos + 10), eventTime);
                    }
                    const Bytes time(eventTime, eventTime + 8);
                    Bytes r = dmtest::header(24 + payload, kCodeEvent, time);
                    r.push_back(static_cast<uint8_t>(10 + payload));
                    r.push_back(static_cast<uint8_t>((10 + payload) >> 8));
                    r.push_back(static_cast<uint8_t>(word));
                    r.push_back(static_cast<uint8_t>((word >> 8) & 0x7F));
                    append(r, time);
                    r.insert(r.end(), p.begin() + static_cast<std::ptrdiff_t>(at),
                             p.begin() + static_cast<std::ptrdiff_t>(at + payload));
                    if (!any) ++records;  // one batch per packet
                    any = true;
                    append(stream, r);
                    pos = at + payload;
                }
                return;
            }
            case 0x79: {
                Bytes stamp;
                for (size_t i = 4; i < 12; ++i) stamp.push_back(i < p.size() ? p[i] : 0);
                Bytes r = dmtest::header(12 + p.size(), kCodeMessage, stamp);
                append(r, p);
                append(stream, r);
                ++records;
                return;
            }
            default:
                return;
        }
    }

    static Reference of(const Bytes& raw) {
        Reference ref;
        ref.note("RAW DM file conversion starting");
        Bytes f;
        bool escape = false;
        for (uint8_t b : raw) {
            f.push_back(escape ? static_cast<uint8_t>(b ^ 0x20) : b);
            escape = false;
            if (b == 0x7D) {
                f.pop_back();
                escape = true;
            } else if (b == 0x7E) {
                ref.frame(f);
                f.clear();
            }
        }
        ref.note("RAW DM file conversion is complete");
        return ref;
    }
};

class RealData : public ::testing::TestWithParam<Expected> {};

TEST_P(RealData, ConvertsToTheKnownCountersAndTheFramesRecords) {
    const std::filesystem::path dir = KVX_REALDATA_DIR;
    const auto path = dir / GetParam().file;
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "no real captures at " << dir;
    const Expected& want = GetParam();

    const auto c = dmtest::convertRawFile(path.string());
    EXPECT_EQ(c.stats.bytes, want.bytes);
    EXPECT_EQ(c.stats.packets, want.records);
    EXPECT_EQ(c.stats.crcErrors, want.crcErrors);
    EXPECT_EQ(c.stats.sizeErrors, want.sizeErrors);
    EXPECT_EQ(c.log.status, LogReadStatus::Ok) << describe(c.log);
    EXPECT_EQ(c.log.streamLength, want.streamLength);
    EXPECT_EQ(c.file.size(), (want.streamLength + 7) / 8 * 8);

    const Reference ref = Reference::of(dmtest::readBytes(path.string()));
    EXPECT_EQ(ref.records, want.records);
    EXPECT_EQ(ref.crcErrors, want.crcErrors);
    const Bytes stream = c.stream();
    ASSERT_EQ(stream.size(), ref.stream.size());
    for (size_t i = 0; i < stream.size(); ++i) {
        ASSERT_EQ(stream[i], ref.stream[i]) << "first difference at stream offset " << i;
    }
    // The reader walks the same records the reference built, kind by kind.
    size_t notes = 0, logs = 0;
    for (const auto& r : c.log.records) {
        notes += r.code == kCodeNote;
        logs += std::string(recordKind(r.code)) == "modem log";
    }
    EXPECT_EQ(notes, 2 + 2 * want.crcErrors + want.sizeErrors + ref.subscriptionNotes);
    // Every log packet with a good CRC, wrapped or not, is one modem log record.
    if (want.sizeErrors == 0) {
        EXPECT_EQ(logs, ref.logPackets);
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, RealData, ::testing::ValuesIn(kFiles),
                         [](const ::testing::TestParamInfo<Expected>& param) {
                             std::string name;
                             for (const char* p = param.param.file; *p && *p != '.'; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

}  // namespace
}  // namespace kvx::dm
