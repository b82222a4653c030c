// Output log names: the base path, the local time text and ".kvx", with every earlier
// lower-case ".kvx" replaced by "-", and the hint stem for a base path that is too long.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "capture/LogName.h"

namespace kvx::capture {
namespace {

class LogName : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        std::tm t{};
        t.tm_year = 2009 - 1900;
        t.tm_mon = 4;
        t.tm_mday = 14;
        t.tm_hour = 9;
        t.tm_min = 3;
        t.tm_sec = 27;
        when = ::timegm(&t);
    }
    std::time_t when = 0;
};

TEST_F(LogName, Examples) {
    const std::string stamp = "2009-05-14_09-03-27";
    const struct {
        std::string base, name;
    } cases[] = {
        {"D:\\out\\a.kvx", "D:\\out\\a-" + stamp + ".kvx"},
        {"D:\\x.kvx\\a.kvx", "D:\\x-\\a-" + stamp + ".kvx"},
        {"D:\\out\\a.KVX", "D:\\out\\a.KVX" + stamp + ".kvx"},
        {"C:\\logs\\trial.kvx", "C:\\logs\\trial-" + stamp + ".kvx"},
        {"C:\\logs\\trial", "C:\\logs\\trial" + stamp + ".kvx"},
        {"C:\\logs\\", "C:\\logs\\" + stamp + ".kvx"},
        {"/var/log/modem/", "/var/log/modem/" + stamp + ".kvx"},
        {"", stamp + ".kvx"},
        {"a.kvx.kvx", "a--" + stamp + ".kvx"},
        {"x.kvxlog/a", "x-log/a" + stamp + ".kvx"},
        {".kvx", "-" + stamp + ".kvx"},
        {std::string(489, 'p'), std::string(489, 'p') + stamp + ".kvx"},  // 508 exactly
        {std::string(490, 'p'), "***Please shorten the file path***.kvx"},
        {std::string(1023, 'q'), "***Please shorten the file path***.kvx"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(makeLogName(c.base, when), c.name) << c.base.substr(0, 40);
    }
}

}  // namespace
}  // namespace kvx::capture
