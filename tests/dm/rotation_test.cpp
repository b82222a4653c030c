// A file closed in the middle of a frame (a size rotation, Start New) loses no packet: the
// frame is completed into the next file, whatever byte the cut falls after.
#include <gtest/gtest.h>

#include "LogTestSupport.h"

namespace kvx::dmtest {
namespace {

TEST(Rotation, FramePartlyReceivedAtCloseEndsUpWholeInTheNextFile) {
    const Bytes first = logPacket(modemRecord(40, 0xB0C0, 3));
    Bytes second = logPacket(modemRecord(300, 0xB193, 9));
    second[30] = 0x7E;  // escapes inside the frame, so some cuts fall right after a 0x7D
    second[31] = 0x7D;
    Bytes stream = wire(first);
    const size_t secondStart = stream.size();
    append(stream, wire(second));

    for (size_t cut = secondStart + 1; cut < stream.size(); ++cut) {
        KvxLog engine;
        TempFile a("a"), b("b");
        ASSERT_TRUE(engine.openlog(a.path()));
        engine.receive({stream.data(), cut});
        engine.closelog();
        ASSERT_TRUE(engine.openlog(b.path()));
        engine.receive({stream.data() + cut, stream.size() - cut});
        engine.closelog();

        const LogContents before = readLog(readBytes(a.path()));
        const LogContents after = readLog(readBytes(b.path()));
        ASSERT_EQ(before.records.size(), 1u) << "cut " << cut;
        ASSERT_EQ(after.records.size(), 1u) << "cut " << cut;
        const auto got = after.bytes(after.records[0]);
        EXPECT_EQ(Bytes(got.begin(), got.end()), Bytes(second.begin() + 4, second.end()))
            << "cut " << cut;
        EXPECT_EQ(engine.getstats().crcErrors, 0u) << "cut " << cut;
    }
}

TEST(Rotation, ANewInputStartsWithAnEmptyParser) {
    // A conversion of a new raw file must not complete a frame left over from the last one.
    const Bytes packet = logPacket(modemRecord(40, 0xB0C0, 3));
    const Bytes stream = wire(packet);
    KvxLog engine;
    TempFile a("a"), b("b"), raw("raw");
    writeBytes(raw.path(), stream);
    ASSERT_TRUE(engine.openlog(a.path()));
    engine.receive({stream.data(), stream.size() / 2});
    engine.closelog();

    ASSERT_TRUE(engine.openlog(b.path()));
    FILE* in = std::fopen(raw.path().c_str(), "rb");
    ASSERT_NE(in, nullptr);
    engine.startlogging(true, kSourceRawFile, in);
    while (engine.dispatch() > 0) {
    }
    engine.closelog();
    std::fclose(in);
    const LogContents log = readLog(readBytes(b.path()));
    ASSERT_EQ(log.records.size(), 1u);
    const auto got = log.bytes(log.records[0]);
    EXPECT_EQ(Bytes(got.begin(), got.end()), Bytes(packet.begin() + 4, packet.end()));
    EXPECT_EQ(engine.getstats().crcErrors, 0u);
}

}  // namespace
}  // namespace kvx::dmtest
