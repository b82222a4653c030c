// The health a capture reports to a service manager's watchdog, tick by tick.
#include <gtest/gtest.h>

#include "app/CaptureHealth.h"

namespace kvx::app {
namespace {

using namespace std::chrono_literals;

TEST(CaptureHealth, FedWhilePacketsFlowOrTheCaptureCanStillHelpItself) {
    struct Tick {
        int second;
        CaptureHealth::Sample sample;
        bool healthy;
    };
    const struct {
        const char* what;
        int watchdog;
        std::vector<Tick> ticks;
    } cases[] = {
        {"packets flow", 10, {{0, {"a", 5}, true}, {2, {"a", 9}, true}, {4, {"a", 20}, true}}},
        {"silence within the watchdog's time and two ticks", 10,
         {{0, {"a", 5}, true}, {2, {"a", 5}, true}, {12, {"a", 5}, true}, {14, {"a", 5}, false}}},
        {"watchdog off: two ticks of silence", 0,
         {{0, {"a", 5}, true}, {2, {"a", 5}, true}, {4, {"a", 5}, false}}},
        {"a new file is progress, even with fewer packets", 4,
         {{0, {"a", 50}, true}, {8, {"b", 1}, true}, {14, {"b", 1}, true}, {16, {"b", 1}, false}}},
        {"a restart has five minutes", 4,
         {{0, {"a", 5}, true},
          {10, {"", 0, true}, true},
          {300, {"", 0, true}, true},
          {310, {"", 0, true}, false},
          {312, {"c", 3}, true}}},
        {"a worker Stop could not wake is never healthy", 10,
         {{0, {"a", 5}, true}, {2, {"a", 9, false, true}, false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CaptureHealth health(c.watchdog, 300);
        const auto start = CaptureHealth::Clock::time_point{} + 1000s;
        for (const auto& t : c.ticks)
            EXPECT_EQ(health.tick(t.sample, start + std::chrono::seconds(t.second)), t.healthy)
                << "at " << t.second << " s";
    }
}

}  // namespace
}  // namespace kvx::app
