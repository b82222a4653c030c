// Retention of a capture's files: sizes as the command line takes them, the ring, the total
// budget and the free-space floor, on real files in a temporary folder with a fake disk.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/TempDir.h"
#include "capture/Retention.h"

namespace kvx::capture {
namespace {

namespace fs = std::filesystem;
using kvx::testing::TempDir;
using namespace std::chrono_literals;

TEST(ByteSize, ParsesPowersOfThousandAndRejectsTheRest) {
    const struct {
        const char* text;
        std::optional<uint64_t> bytes;
    } cases[] = {
        {"1000", 1000},
        {"500M", 500'000'000},
        {"500MB", 500'000'000},
        {"20G", 20'000'000'000},
        {"20g", 20'000'000'000},
        {"1.5G", 1'500'000'000},
        {"64k", 64'000},
        {"64KB", 64'000},
        {"2T", 2'000'000'000'000},
        {" 7M ", 7'000'000},
        {"0", 0},
        {"", std::nullopt},
        {"M", std::nullopt},
        {"-5M", std::nullopt},
        {"5X", std::nullopt},
        {"5MiB", std::nullopt},
        {"1e9", std::nullopt},
        {"99999999999T", std::nullopt},  // beyond 64 bits
    };
    for (const auto& c : cases) EXPECT_EQ(parseByteSize(c.text), c.bytes) << c.text;
}

TEST(ByteSize, DefaultFloorIsOnePercentCappedAtOneGigabyte) {
    RetentionPolicy policy;
    EXPECT_EQ(minFreeFor(policy, 64 * 1024 * 1024), 671'088u);
    EXPECT_EQ(minFreeFor(policy, 500'000'000'000), 1'000'000'000u);
    policy.minFree = 0;
    EXPECT_EQ(minFreeFor(policy, 500'000'000'000), 0u);
    policy.minFree = 123;
    EXPECT_EQ(minFreeFor(policy, 64), 123u);
}

class RetentionFiles : public ::testing::Test {
  protected:
    std::string make(const std::string& name, size_t bytes) {
        const fs::path p = dir_.path() / name;
        std::ofstream(p, std::ios::binary) << std::string(bytes, 'x');
        return p.string();
    }
    bool exists(const std::string& name) const { return fs::exists(dir_.path() / name); }
    Retention::Probe probe() {
        return [this](const std::string&) -> std::optional<DiskSpace> {
            ++probes_;
            return DiskSpace{free_, total_};
        };
    }
    Retention::Clock clock() {
        return [this] { return now_; };
    }

    TempDir dir_;
    uint64_t free_ = 10'000'000;
    uint64_t total_ = 100'000'000;
    int probes_ = 0;
    std::chrono::steady_clock::time_point now_{};
};

TEST_F(RetentionFiles, RingBudgetAndLowSpaceRemoveOnlyTheOldestFilesOfTheCapture) {
    const struct {
        const char* what;
        int ring;
        uint64_t maxTotal;
        bool newestWritten, lowSpace;
        std::vector<size_t> sizes;          // oldest first; the last one is being written
        std::vector<bool> left;             // which remain
        std::vector<RemovalCause> causes;   // of the removals, in order
    } cases[] = {
        {"ring waits until the newest is written to", 2, 0, false, false, {10, 10, 10},
         {true, true, true}, {}},
        {"ring removes the oldest once it is", 2, 0, true, false, {10, 10, 10},
         {false, true, true}, {RemovalCause::Ring}},
        {"ring under low space does not wait", 2, 0, false, true, {10, 10, 10},
         {false, true, true}, {RemovalCause::LowSpace}},
        {"a ring of one keeps only the newest", 1, 0, true, false, {10, 10, 10},
         {false, false, true}, {RemovalCause::Ring, RemovalCause::Ring}},
        {"within the ring nothing goes", 3, 0, true, true, {10, 10, 10}, {true, true, true}, {}},
        {"budget removes while the total exceeds it", 0, 250, true, false, {100, 100, 100},
         {false, true, true}, {RemovalCause::Total}},
        {"budget at the total keeps all", 0, 300, true, false, {100, 100, 100},
         {true, true, true}, {}},
        {"budget never removes the newest", 0, 50, true, false, {100, 100, 100},
         {false, false, true}, {RemovalCause::Total, RemovalCause::Total}},
        {"ring first, then budget", 2, 150, true, false, {100, 100, 100},
         {false, false, true}, {RemovalCause::Ring, RemovalCause::Total}},
        {"no policy removes nothing", 0, 0, true, true, {10, 10, 10}, {true, true, true}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& e : fs::directory_iterator(dir_.path())) fs::remove(e.path());
        const std::string foreign = make("other.kvx", 5000);
        Retention r({c.ring, c.maxTotal, 0}, probe());
        std::vector<std::string> names;
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            names.push_back(make("cap-" + std::to_string(i) + ".kvx", c.sizes[i]));
            r.fileOpened(names.back());
        }
        const auto removed = r.trim(c.newestWritten, c.lowSpace);
        ASSERT_EQ(removed.size(), c.causes.size());
        for (size_t i = 0; i < removed.size(); ++i) {
            EXPECT_EQ(removed[i].name, names[i]);
            EXPECT_EQ(removed[i].cause, c.causes[i]);
            EXPECT_EQ(removed[i].bytes, c.sizes[i]);
            EXPECT_EQ(removed[i].error, 0);
        }
        for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(fs::exists(names[i]), c.left[i]) << i;
        EXPECT_TRUE(fs::exists(foreign)) << "a file the capture did not open is never removed";
        EXPECT_EQ(r.files().size(), static_cast<size_t>(std::count(c.left.begin(), c.left.end(), true)));
    }
}

TEST_F(RetentionFiles, AFileRemovedByOthersIsForgottenAndAFailedRemovalReported) {
    int calls = 0;
    Retention r({1, 0, 0}, probe(), [&](const std::string&) {
        ++calls;
        return EACCES;
    });
    const std::string a = make("a.kvx", 10), b = make("b.kvx", 10), c = make("c.kvx", 10);
    for (const auto& n : {a, b, c}) r.fileOpened(n);
    fs::remove(a);
    const auto removed = r.trim(true, false);
    ASSERT_EQ(removed.size(), 1u);  // a was already gone: not removed again
    EXPECT_EQ(removed[0].name, b);
    EXPECT_EQ(removed[0].error, EACCES);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(r.files(), std::vector<std::string>{c});
    EXPECT_TRUE(r.trim(true, false).empty()) << "a failed removal is not tried for ever";
}

TEST_F(RetentionFiles, RotationFreesSpaceOnlyWhenTheRingCanLetGoOfEnough) {
    Retention r({2, 0, std::nullopt}, probe());
    r.fileOpened(make("a.kvx", 1000));
    EXPECT_FALSE(r.rotationFrees(1)) << "one file of a ring of two: the next one is kept too";
    r.fileOpened(make("b.kvx", 1000));
    EXPECT_TRUE(r.rotationFrees(1000));
    EXPECT_FALSE(r.rotationFrees(1001)) << "the oldest file would not free what is missing";
    Retention none({0, 10, std::nullopt}, probe());
    none.fileOpened(make("c.kvx", 1000));
    none.fileOpened(make("d.kvx", 1000));
    EXPECT_FALSE(none.rotationFrees(1)) << "a budget does not grow by rotating";
}

TEST_F(RetentionFiles, FreeSpaceIsAskedAsTheRoomAboveTheFloorShrinks) {
    total_ = 100'000'000;  // floor 1 MB by default
    free_ = 5'000'000;
    Retention r({}, probe(), {}, clock());
    EXPECT_FALSE(r.spaceLow(100)) << "no file yet: nothing to ask about";
    EXPECT_EQ(probes_, 0);
    r.fileOpened(make("a.kvx", 0));
    EXPECT_FALSE(r.spaceLow(0));
    EXPECT_EQ(probes_, 1);
    // 4 MB of room: asked again after a quarter of it, 1 MB, has been read.
    EXPECT_FALSE(r.spaceLow(900'000));
    EXPECT_EQ(probes_, 1);
    free_ = 900'000;
    EXPECT_TRUE(r.spaceLow(1'000'001));
    EXPECT_EQ(probes_, 2);
    EXPECT_TRUE(r.spaceLow(1'000'002)) << "while low, every chunk asks";
    EXPECT_EQ(probes_, 3);
    free_ = 50'000'000;
    EXPECT_FALSE(r.spaceLow(1'000'003));
    // Other writers on the disk: at least every 250 ms, whatever this capture read.
    now_ += 100ms;
    EXPECT_FALSE(r.spaceLow(1'000'004));
    EXPECT_EQ(probes_, 4);
    now_ += 200ms;
    free_ = 10;
    EXPECT_TRUE(r.spaceLow(1'000'005));
    EXPECT_EQ(probes_, 5);
    // A new file restarts the counter and is asked about at once.
    free_ = 50'000'000;
    r.fileOpened(make("b.kvx", 0));
    EXPECT_FALSE(r.spaceLow(10));
    EXPECT_EQ(probes_, 6);
    ASSERT_TRUE(r.space());
    EXPECT_EQ(r.space()->floor, 1'000'000u);

    Retention off({0, 0, 0}, probe(), {}, clock());
    off.fileOpened(make("c.kvx", 0));
    free_ = 0;
    EXPECT_FALSE(off.spaceLow(1'000'000)) << "--min-free 0 turns the floor off";
    EXPECT_FALSE(off.space());
}

}  // namespace
}  // namespace kvx::capture
