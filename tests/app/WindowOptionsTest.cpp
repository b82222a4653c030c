// What both windows take from the command line and the version resource.
#include <gtest/gtest.h>

#include "app/MainDialog.h"

namespace kvx::app {
namespace {

TEST(WindowOptions, FullWindowIsACaseSensitiveSearchAnywhere) {
    const struct {
        const char* commandLine;
        bool full;
    } cases[] = {
        {"", false},       {"-KVX ", true},          {"-DOG 5 -KVX ", true},
        {"-kvx ", false},  {"-KV X", false},         {"C:\\x\\-KVX\\run.sqf ", true},
        {"-KVXDOG ", true}, {"--KVX", true},
    };
    for (const auto& c : cases) EXPECT_EQ(fullWindowOption(c.commandLine), c.full) << c.commandLine;
}

TEST(WindowOptions, VersionTextFromTheFourNumbers) {
    EXPECT_EQ(versionText({1, 0, 0, 1}), "KvxLog Plus - Version 1.0.0.1");
    EXPECT_EQ(versionText({65535, 12, 0, 65535}), "KvxLog Plus - Version 65535.12.0.65535");
}

}  // namespace
}  // namespace kvx::app
