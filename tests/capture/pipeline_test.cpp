// A raw DM file conversion with helper threads (enciphering and writing beside the receive
// path) against the same conversion on one thread: the log files must be equal byte for byte,
// and so must the counters of what was written. Real captures, generated streams with damaged
// and over-long frames, a frame cut at every offset, a stop or a limit part-way, an empty
// input, and a disk that fills up.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "FileSizeLimit.h"
#include "RealDataCounts.h"
#include "dm/LogTestSupport.h"
#include "dm/ScriptedPort.h"

namespace kvx::dm {
namespace {

using dmtest::append;
using dmtest::Bytes;
using dmtest::TempFile;

struct Result {
    Bytes file;
    Stats stats;
    bool ok = true;
    int error = 0;
};

// The same file and the same count of records on it. After a failed write the helper threads
// tell the receive path of it a few batches later, so the errors counted in the input read
// meanwhile are compared only where every write succeeded.
bool sameLog(const Result& a, const Result& b) {
    const bool sameErrors = a.stats.crcErrors == b.stats.crcErrors &&
                            a.stats.sizeErrors == b.stats.sizeErrors &&
                            a.stats.bytes == b.stats.bytes;
    return a.file == b.file && a.stats.packets == b.stats.packets && a.ok == b.ok &&
           a.error == b.error && (!a.ok || sameErrors);
}

// The conversion run's calls on the engine: start note, the file as input, `maxChunks`
// dispatches (all when negative), then the closing note and closelog. A given `outPath` (a
// device) is written but not read back.
Result convertFile(const std::string& rawPath, int threads, int maxChunks = -1,
                   const std::string& closing = "RAW DM file conversion is complete",
                   const std::string& outPath = {}) {
    Result r;
    FILE* in = std::fopen(rawPath.c_str(), "rb");
    if (!in) return r;
    KvxLog e;
    e.setthreads(threads);
    TempFile tmp;
    const std::string& out = outPath.empty() ? tmp.path() : outPath;
    if (e.openlog(out)) {
        e.setnote("RAW DM file conversion starting");
        e.startlogging(true, kSourceRawFile, in);
        for (int n = 0; maxChunks < 0 || n < maxChunks; ++n) {
            if (e.dispatch() == 0 || !e.logwriteok()) break;
        }
        e.setclosingnote(closing);
        e.closelog();
        r.stats = e.getstats();
        r.ok = e.logwriteok();
        r.error = e.logerror();
        if (outPath.empty()) r.file = dmtest::readBytes(out);
    }
    std::fclose(in);
    return r;
}

// Feeds `chunks` to the receive path of an engine whose input is a raw file, so that the
// conversion's threads are in use.
Result convertChunks(const std::vector<Bytes>& chunks, int threads) {
    Result r;
    KvxLog e;
    e.setthreads(threads);
    TempFile out;
    if (!e.openlog(out.path())) return r;
    e.setnote("RAW DM file conversion starting");
    e.startlogging(true, kSourceRawFile, nullptr);
    e.dispatch();  // writes the note and takes the thread count; a file of none reads nothing
    for (const auto& c : chunks) e.receive(c);
    e.closelog();
    r.stats = e.getstats();
    r.file = dmtest::readBytes(out.path());
    return r;
}

// A stream of every kind the receive path meets: log packets of many sizes (with bytes that
// need escapes), event reports, wrapped replies, CRC errors, frames longer than any record,
// empty frames, and bytes after the last flag.
Bytes generated(size_t targetBytes, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out;
    size_t n = 0;
    while (out.size() < targetBytes) {
        const unsigned kind = rng() % 20;
        if (kind < 12) {
            const size_t len = 12 + rng() % 3000;
            Bytes rec = dmtest::modemRecord(len, static_cast<uint16_t>(0xB000 + rng() % 0x800),
                                            static_cast<uint8_t>(rng()));
            for (size_t i = 12; i < rec.size(); i += 1 + rng() % 40) rec[i] = 0x7D + rng() % 2;
            append(out, dmtest::wire(dmtest::logPacket(rec)));
        } else if (kind < 15) {
            Bytes ev = {0x60, 0x00, 0x00};
            for (int k = 0; k < 3; ++k) {
                ev.push_back(0x23);
                ev.push_back(0x81 | static_cast<uint8_t>((rng() % 4) << 5));
                ev.push_back(static_cast<uint8_t>(rng()));
                ev.push_back(static_cast<uint8_t>(rng()));
                const unsigned kindBits = (ev[ev.size() - 3] >> 5) & 3;
                if (kindBits == 3) {
                    ev.push_back(2);
                    ev.push_back(0x7E);
                    ev.push_back(0x7D);
                } else {
                    for (unsigned p = 0; p < kindBits; ++p) ev.push_back(static_cast<uint8_t>(rng()));
                }
            }
            append(out, dmtest::wire(ev));
        } else if (kind < 17) {
            Bytes reply = {0x1C};
            for (int k = 0; k < 40; ++k) reply.push_back(static_cast<uint8_t>(rng()));
            append(out, dmtest::wire(reply));
        } else if (kind == 17) {
            // A damaged frame: one byte of a good one flipped.
            Bytes f = dmtest::wire(dmtest::logPacket(dmtest::modemRecord(100, 0xB0C0, 3)));
            f[20] ^= 0x01;
            append(out, f);
        } else if (kind == 18 && ++n % 8 == 0) {
            // Longer than any record can be: dropped and said so.
            Bytes big(70000, 0x11);
            append(out, big);
            out.push_back(0x7E);
        } else {
            out.push_back(0x7E);  // an empty frame
        }
    }
    append(out, Bytes{0x10, 0x00, 0x05});  // cut off by the end of the input
    return out;
}

TEST(ConversionPipeline, RealCapturesGiveTheSameLogOnEveryThreadCount) {
    const std::filesystem::path dir = KVX_REALDATA_DIR;
    if (!std::filesystem::exists(dir / testdata::kRealCaptures[0].file)) {
        GTEST_SKIP() << "no real captures at " << dir;
    }
    for (const auto& capture : testdata::kRealCaptures) {
        const std::string path = (dir / capture.file).string();
        const Result one = convertFile(path, 1);
        ASSERT_FALSE(one.file.empty()) << capture.file;
        EXPECT_EQ(one.stats.packets, capture.records) << capture.file;
        for (int threads : {2, 3, 8}) {
            EXPECT_TRUE(sameLog(one, convertFile(path, threads)))
                << capture.file << " with " << threads << " threads";
        }
    }
}

TEST(ConversionPipeline, GeneratedStreamsStopsAndLimitsGiveTheSameLog) {
    TempFile raw("raw");
    // Over 2 MB: the ring of batches goes round many times.
    dmtest::writeBytes(raw.path(), generated(2'500'000, 7));
    TempFile empty("empty");
    dmtest::writeBytes(empty.path(), Bytes{});
    struct Case {
        const char* what;
        const std::string* path;
        int chunks;  // dispatches before the closing note; -1: to the end
        const char* closing;
    };
    const Case cases[] = {
        {"whole input", &raw.path(), -1, "RAW DM file conversion is complete"},
        {"Stop after one chunk", &raw.path(), 1, "Log manually stopped from UI"},
        {"Stop part-way", &raw.path(), 700, "Log manually stopped from UI"},
        {"size limit part-way", &raw.path(), 1500, "Log capacity reached: Filesize = 1536000 Bytes"},
        {"Start New part-way", &raw.path(), 2000, "Log manually restarted from UI"},
        {"empty input", &empty.path(), -1, "RAW DM file conversion is complete"},
    };
    for (const auto& c : cases) {
        const Result one = convertFile(*c.path, 1, c.chunks, c.closing);
        ASSERT_FALSE(one.file.empty()) << c.what;
        for (int threads : {2, 4}) {
            const Result more = convertFile(*c.path, threads, c.chunks, c.closing);
            EXPECT_TRUE(sameLog(one, more)) << c.what << " with " << threads << " threads";
        }
        if (c.path == &raw.path() && c.chunks < 0) {
            EXPECT_GT(one.stats.crcErrors, 0u);
            EXPECT_GT(one.stats.sizeErrors, 0u);
        }
    }
    // The empty input: the two notes and nothing else.
    const dmtest::Converted notes = dmtest::Converted{
        dmtest::readLog(convertFile(empty.path(), 2).file), {}, {}};
    ASSERT_EQ(notes.log.records.size(), 2u);
    EXPECT_EQ(notes.text(0), "RAW DM file conversion starting");
    EXPECT_EQ(notes.text(1), "RAW DM file conversion is complete");
}

TEST(ConversionPipeline, AFrameCutAtEveryOffsetGivesTheSameLog) {
    // Some frames ahead, so that the cut ones do not begin the stream; every block goes
    // through a helper thread when the log is closed.
    const Bytes ahead = generated(3'000, 3);
    Bytes frames;
    Bytes rec = dmtest::modemRecord(150, 0xB0C0, 0x7D);
    rec[40] = 0x7E;
    rec[41] = 0x7D;
    append(frames, dmtest::wire(dmtest::logPacket(rec)));
    Bytes bad = dmtest::wire(dmtest::logPacket(dmtest::modemRecord(60, 0xB0C1, 9)));
    bad[15] ^= 0x40;
    append(frames, bad);
    append(frames, dmtest::wire(Bytes{0x60, 0x00, 0x00, 0x23, 0x81, 0x7D, 0x7E}));
    const Result whole = convertChunks({ahead, frames}, 1);
    ASSERT_FALSE(whole.file.empty());
    for (size_t cut = 0; cut <= frames.size(); ++cut) {
        const Bytes first(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(cut));
        const Bytes second(frames.begin() + static_cast<std::ptrdiff_t>(cut), frames.end());
        EXPECT_TRUE(sameLog(whole, convertChunks({ahead, first, second}, 2))) << "cut at " << cut;
    }
}

TEST(ConversionPipeline, AFullDiskLeavesTheSameFileAndCountsTheSameRecords) {
    TempFile raw("raw");
    dmtest::writeBytes(raw.path(), generated(1'500'000, 11));
    struct Case {
        const char* what;
        long limit;  // file size limit in bytes; 0: /dev/full
    };
    const Case cases[] = {{"/dev/full", 0}, {"limit inside the third batch", 150'003},
                          {"limit on a batch boundary", 2 * 65536}};
    for (const auto& c : cases) {
        if (c.limit == 0 && !std::filesystem::exists("/dev/full")) continue;
        auto run = [&](int threads) {
            if (c.limit == 0) return convertFile(raw.path(), threads, -1, "x", "/dev/full");
            test::FileSizeLimit limit(static_cast<rlim_t>(c.limit));
            return convertFile(raw.path(), threads);
        };
        const Result one = run(1);
        EXPECT_FALSE(one.ok) << c.what;
        EXPECT_EQ(one.error, c.limit == 0 ? ENOSPC : EFBIG) << c.what;
        if (c.limit > 0) {
            EXPECT_EQ(one.file.size() % 8, 0u) << c.what;
            EXPECT_LE(one.file.size(), static_cast<size_t>(c.limit)) << c.what;
        }
        for (int threads : {2, 3}) {
            EXPECT_TRUE(sameLog(one, run(threads))) << c.what << " with " << threads << " threads";
        }
    }
}

TEST(ConversionPipeline, LiveDataIsOnTheDiskAfterEveryChunkWhateverTheThreadCount) {
    KvxLog engine;
    engine.setthreads(4);
    auto script = test::scriptPorts(engine);
    engine.connect(0, "COM3");  // no modem answers: the port stays the input all the same
    TempFile out;
    ASSERT_TRUE(engine.openlog(out.path()));
    const Bytes record = dmtest::modemRecord(1500, 0xB0C0, 5);
    size_t stream = 0;
    for (int chunk = 0; chunk < 60; ++chunk) {  // over one batch of blocks
        script->replies.push_back(dmtest::wire(dmtest::logPacket(record)));
        ASSERT_GT(engine.dispatch(), 0);
        stream += record.size();
        // Every whole block of the records so far, and nothing waits in a helper.
        ASSERT_EQ(std::filesystem::file_size(out.path()), stream / 8 * 8) << "chunk " << chunk;
    }
    engine.closelog();
}

}  // namespace
}  // namespace kvx::dm
