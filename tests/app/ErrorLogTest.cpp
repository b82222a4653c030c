#include "app/ErrorLog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/TempDir.h"

namespace kvx::app {
namespace {

using kvx::testing::readText;
using kvx::testing::ScopedChdir;
using kvx::testing::TempDir;

std::time_t localTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

struct Recorder {
    std::vector<std::string> boxes;
    int exits = 0;
    ErrorLog log() {
        return ErrorLog([this](const std::string& text) { boxes.push_back(text); },
                        [this] { ++exits; }, [] { return localTime(2009, 5, 14, 9, 3, 27); });
    }
};

TEST(ErrorLogLine, MatchesTheKnownSizeRestartLine) {
    EXPECT_EQ(errorLine(localTime(2009, 5, 14, 9, 3, 27), err::kSize, 20000950, 20000000, 0),
              "Time: 2009/05/14 09:03:27 -- Error 4 occured, parameters: Restarting Logging, "
              "cause = Size. <filesize, limit(bytes)>, 20000950, 20000000, 0.\n");
}

TEST(ErrorLogLine, EveryCodeHasItsMessageAndFatality) {
    struct Case {
        int code;
        const char* message;
        bool fatal;
    };
    const Case cases[] = {
        {0, "No Error", false},
        {1, "Invalid Destination. <dest, file>", true},
        {2, "Restarting Logging, cause = Watchdog. <watchdog, logtimer>", false},
        {3, "Restarting Logging, cause = Timestamp. <new, old>", false},
        {4, "Restarting Logging, cause = Size. <filesize, limit(bytes)>", false},
        {5, "Restarting Logging, cause = Time. <filetime, limit(sec)>", false},
        {6, "Restarting Logging, cause = Manual.", false},
        {7, "Unknown Error", true},
        {-1, "Unknown Error", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_STREQ(errorMessage(c.code), c.message);
        EXPECT_EQ(errorIsFatal(c.code), c.fatal);
        const std::string line = errorLine(localTime(2020, 1, 2, 3, 4, 5), c.code, -7, 0, 99);
        EXPECT_EQ(line, "Time: 2020/01/02 03:04:05 -- Error " + std::to_string(c.code) +
                            " occured, parameters: " + c.message + ", -7, 0, 99.\n");
    }
}

class ErrorLogFile : public ::testing::Test {
  protected:
    TempDir dir_;
    ScopedChdir cd_{dir_.path()};
    Recorder rec_;
};

TEST_F(ErrorLogFile, AppendsOneLinePerEntryAndKeepsEarlierOnes) {
    {
        std::ofstream old(kErrorLogName);
        old << "earlier entry\n";
    }
    ErrorLog log = rec_.log();
    EXPECT_TRUE(log.LogError(err::kWatchdog, 10, 345, 345));
    EXPECT_TRUE(log.LogError(err::kManual, 0, 0, 0));
    EXPECT_EQ(readText(dir_.path() / kErrorLogName),
              "earlier entry\n"
              "Time: 2009/05/14 09:03:27 -- Error 2 occured, parameters: Restarting Logging, "
              "cause = Watchdog. <watchdog, logtimer>, 10, 345, 345.\n"
              "Time: 2009/05/14 09:03:27 -- Error 6 occured, parameters: Restarting Logging, "
              "cause = Manual., 0, 0, 0.\n");
    EXPECT_EQ(rec_.exits, 0);
    EXPECT_TRUE(rec_.boxes.empty());
}

TEST_F(ErrorLogFile, FatalCodesWriteTheirLineThenClose) {
    ErrorLog log = rec_.log();
    EXPECT_TRUE(log.LogError(7, 1, 2, 3));
    EXPECT_EQ(rec_.exits, 1);
    EXPECT_TRUE(log.LogError(err::kInvalidDestination, 0, 0, 0));
    EXPECT_EQ(rec_.exits, 2);
    const std::string text = readText(dir_.path() / kErrorLogName);
    EXPECT_NE(text.find("Error 7 occured, parameters: Unknown Error, 1, 2, 3.\n"),
              std::string::npos);
    EXPECT_NE(
        text.find("Error 1 occured, parameters: Invalid Destination. <dest, file>, 0, 0, 0.\n"),
        std::string::npos);
    EXPECT_TRUE(rec_.boxes.empty());
}

TEST_F(ErrorLogFile, FollowsTheCurrentDirectoryOfEachEntry) {
    ErrorLog log = rec_.log();
    TempDir other;
    log.LogError(err::kSize, 1, 2, 0);
    {
        ScopedChdir there(other.path());
        log.LogError(err::kTime, 61, 60, 0);
    }
    EXPECT_NE(readText(dir_.path() / kErrorLogName).find("Error 4 occured"), std::string::npos);
    EXPECT_EQ(readText(dir_.path() / kErrorLogName).find("Error 5"), std::string::npos);
    EXPECT_NE(readText(other.path() / kErrorLogName).find("Error 5 occured"), std::string::npos);
}

TEST_F(ErrorLogFile, UnwritableLogShowsTheLineAndBothSentencesThenCloses) {
    // Root may write into any folder, so a folder in the file's place stands for a log that
    // cannot be opened; others also get a read-only current directory.
    if (geteuid() == 0) {
        std::filesystem::create_directory(dir_.path() / kErrorLogName);
    } else {
        std::filesystem::permissions(
            dir_.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    }
    ErrorLog log = rec_.log();
    EXPECT_FALSE(log.LogError(err::kWatchdog, 10, 5, 5));
    EXPECT_NE(log.lastErrno(), 0);
    ASSERT_EQ(rec_.boxes.size(), 1u);
    EXPECT_EQ(rec_.boxes[0],
              "Time: 2009/05/14 09:03:27 -- Error 2 occured, parameters: Restarting Logging, "
              "cause = Watchdog. <watchdog, logtimer>, 10, 5, 5.\n"
              "Error logging file could not be opened.  Please record the error information."
              "This application will close.");
    EXPECT_EQ(rec_.exits, 1);
    EXPECT_FALSE(std::filesystem::is_regular_file(dir_.path() / kErrorLogName));
}

}  // namespace
}  // namespace kvx::app
