// A modem left streaming by a host that went away (crashed, killed) still lets the next host
// connect: the replies to the connection queries are found among its packets.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "dm/KvxLog.h"
#include "dm/Frame.h"
#include "modemsim/SimModem.h"

namespace kvx::dm {
namespace {

TEST(ConnectSim, FindsTheRepliesAmongTheStreamOfAModemLeftLogging) {
    modemsim::SimModem::Config cfg;
    cfg.packetsPerSecond = 5000;
    modemsim::SimModem modem(cfg);
    ASSERT_EQ(modem.start().error, modemsim::StartError::None);

    {
        // The first host turns logging on with every log code enabled, then vanishes
        // without the stop requests.
        KvxLog first;
        ASSERT_TRUE(first.connect(0, modem.path().c_str()));
        std::vector<MaskItem> all;
        for (int32_t code = 0xB000; code < 0xB200; ++code) all.push_back({code, 0});
        first.sendlogmasks(all, kModeSend, nullptr);
        first.startlogging(true, kSourcePort, nullptr);
        first.close();
    }
    // Nobody reads: the stream fills the terminal and waits there, in front of any reply.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (modem.counters().packetsSent < 20 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(modem.loggingOn());
    ASSERT_GE(modem.counters().packetsSent, 20u);

    KvxLog second;
    EXPECT_TRUE(second.connect(0, modem.path().c_str()));
    EXPECT_EQ(second.messageranges().size(), cfg.profile.messageRanges.size());
    EXPECT_EQ(second.loglimits(), cfg.profile.logLimits);
    second.close();
    modem.stop();
}

}  // namespace
}  // namespace kvx::dm
