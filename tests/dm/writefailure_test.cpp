// A log on a disk that fills up: the kernel's own faults, a file size limit (EFBIG, with
// SIGXFSZ ignored) and /dev/full (ENOSPC). The failure is noticed at once, the file keeps
// whole blocks only, and the counters count only the records that reached the disk.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <filesystem>

#include "LogTestSupport.h"
#include "dm/KvxLog.h"
#include "dm/LogReader.h"

namespace kvx::dm {
namespace {

using dmtest::Bytes;

// A file size limit for this test process, taken back at the end of the scope.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lower = saved_;
        lower.rlim_cur = bytes;
        ok_ = setrlimit(RLIMIT_FSIZE, &lower) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    bool ok() const { return ok_; }

  private:
    rlimit saved_{};
    void (*oldHandler_)(int) = nullptr;
    bool ok_ = false;
};

// Log packets of `n` records of 200 bytes each, on the wire.
Bytes stream(size_t n) {
    Bytes out;
    for (size_t i = 0; i < n; ++i) {
        dmtest::append(out, dmtest::wire(dmtest::logPacket(
                                dmtest::modemRecord(200, 0xB0C0, static_cast<uint8_t>(i)))));
    }
    return out;
}

TEST(WriteFailure, FileSizeLimitStopsTheLogAtWholeBlocksAndCountsOnlyWhatIsOnDisk) {
    dmtest::TempFile out;
    const Bytes wire = stream(2000);  // about 400 kB of records
    KvxLog engine;
    {
        FileSizeLimit limit(100 * 1000 + 3);  // not a multiple of 8: a block is cut
        ASSERT_TRUE(limit.ok());
        ASSERT_TRUE(engine.openlog(out.path()));
        for (size_t at = 0; at < wire.size() && engine.logwriteok(); at += 1000) {
            const size_t n = std::min<size_t>(1000, wire.size() - at);
            engine.receive(std::span<const uint8_t>(wire.data() + at, n));
        }
        engine.closelog();
    }
    EXPECT_FALSE(engine.logwriteok());
    EXPECT_EQ(engine.logerror(), EFBIG);
    const auto size = std::filesystem::file_size(out.path());
    EXPECT_EQ(size % 8, 0u);
    EXPECT_LE(size, 100u * 1000u);
    EXPECT_GT(size, 90u * 1000u) << "the whole blocks before the limit are kept";
    const LogContents log = readLogFile(out.path());
    // Every record counted is in the file whole; the ones the limit cut off are not counted.
    EXPECT_EQ(engine.getstats().packets, log.records.size());
    EXPECT_GT(log.records.size(), 400u);
}

TEST(WriteFailure, FullDeviceIsNoSpace) {
    KvxLog engine;
    ASSERT_TRUE(engine.openlog("/dev/full"));
    engine.receive(stream(10));
    engine.closelog();
    EXPECT_FALSE(engine.logwriteok());
    EXPECT_EQ(engine.logerror(), ENOSPC);
    EXPECT_EQ(engine.getstats().packets, 0u);
}

TEST(WriteFailure, ExclusiveOpenNeverReplacesALog) {
    dmtest::TempFile out;
    dmtest::writeBytes(out.path(), Bytes{1, 2, 3, 4, 5, 6, 7, 8});
    KvxLog engine;
    EXPECT_FALSE(engine.openlog(out.path(), true));
    EXPECT_EQ(engine.logerror(), EEXIST);
    EXPECT_EQ(dmtest::readBytes(out.path()), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

}  // namespace
}  // namespace kvx::dm
