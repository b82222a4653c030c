// kvxlog memdump end to end: the built program against the simulated modem in download mode,
// found in a fake sysfs tree. Skipped when the program has not been built.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "DumpFixture.h"
#include "modemsim/FakeSysfs.h"

namespace kvx::memdump::test {
namespace {

using modemsim::escapeHeavyBytes;

struct Outcome {
    int status = -1;
    std::string out;
};

class KvxlogMemdump : public DumpTest {
  protected:
    void SetUp() override {
        program = fs::path(KVX_BINARY_DIR) / "cli" / "kvxlog";
        if (!fs::exists(program)) GTEST_SKIP() << "kvxlog not built";
        DumpTest::SetUp();
        tree = std::make_unique<modemsim::FakeSysfs>((base / "sys").string(), (base / "dev").string());
    }
    void TearDown() override {
        modem.reset();
        tree.reset();
        DumpTest::TearDown();
    }

    void startFound(modemsim::SimModemConfig config) {
        config.sysfs.tree = tree.get();
        config.sysfs.port.tty = "ttyUSB3";
        config.sysfs.port.manufacturer = "Orvanta Wireless";
        config.sysfs.port.product = "MGX QDLoader 9008";
        config.sysfs.port.vendorId = modemsim::kDownloadVendorId;
        config.sysfs.port.productId = modemsim::kDownloadProductId;
        startModem(std::move(config));
    }

    std::string command(const std::string& args) const {
        return "KVXLOG_SYSFS_ROOT='" + tree->root() + "' KVXLOG_DEV_ROOT='" + tree->dev() +
               "' exec '" + program.string() + "' memdump " + args;
    }

    // Runs kvxlog memdump; stdout (and stderr with `both`) collected.
    Outcome run(const std::string& args, bool both = false) const {
        const std::string cmd = command(args) + (both ? " 2>&1" : " 2>/dev/null") + " </dev/null";
        Outcome r;
        FILE* p = ::popen(cmd.c_str(), "r");
        if (p == nullptr) return r;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
        const int st = ::pclose(p);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return r;
    }

    fs::path program;
    std::unique_ptr<modemsim::FakeSysfs> tree;
};

std::vector<modemsim::SimRegion> threeRegions() {
    return {{1, 0x00001000, "CODE", "code.bin", escapeHeavyBytes(5000, 21)},
            {1, 0x00200000, "EMPTY", "empty.bin", {}},
            {2, 0x80000000, "DDR", "../ddr.bin", escapeHeavyBytes(70000, 22)}};
}

TEST_F(KvxlogMemdump, DumpsIntoTheFolderAndSummarises) {
    modemsim::SimModemConfig c;
    c.download.regions = threeRegions();
    startFound(std::move(c));
    const auto r = run("-o '" + out.string() + "'");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readFile(out / "code.bin"), regions[0].bytes);
    EXPECT_EQ(readFile(out / "ddr.bin"), regions[2].bytes);
    EXPECT_TRUE(fs::exists(out / "empty.bin"));
    EXPECT_NE(r.out.find("Regions announced: 3"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Reading memory..."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Dump complete: 3 regions, 75000 of 75000 bytes read, 3 files written"),
              std::string::npos)
        << r.out;

    const auto j = run("--json -o '" + out.string() + "'");
    EXPECT_EQ(j.status, 0);
    const auto doc = nlohmann::json::parse(j.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << j.out;
    EXPECT_EQ(doc["result"], "complete");
    EXPECT_EQ(doc["bytes_read"], 75000);
    ASSERT_EQ(doc["files"].size(), 3u);
    EXPECT_EQ(doc["files"][2]["name"], "ddr.bin");
    EXPECT_EQ(doc["files"][2]["complete"], true);
}

TEST_F(KvxlogMemdump, NoModemIsNoCommunication) {
    const auto r = run("-o '" + out.string() + "'", true);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("Could not communicate with modem"), std::string::npos) << r.out;
}

TEST_F(KvxlogMemdump, ResetOnlyWhenConfirmed) {
    startFound({});
    const auto refused = run("--reset", true);
    EXPECT_EQ(refused.status, 1) << refused.out;
    const auto sent = run("--reset --yes --port '" + modem->path() + "'");
    EXPECT_EQ(sent.status, 0) << sent.out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (modem->resetsReceived() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(modem->resetsReceived(), 1u);
}

TEST_F(KvxlogMemdump, InterruptKeepsCompleteFilesAndNamesThePartialOne) {
    modemsim::SimModemConfig c;
    c.download.regions = threeRegions();
    c.download.splitWrites = 6;  // slow enough to be interrupted amid the last region
    c.download.splitGap = modemsim::Millis(20);
    startFound(std::move(c));
    const fs::path log = base / "stdout.txt";
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::string cmd = command("-o '" + out.string() + "' > '" + log.string() + "' 2>&1");
        ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(out / "ddr.bin") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::kill(pid, SIGINT);
    int st = 0;
    ::waitpid(pid, &st, 0);
    const auto logBytes = readFile(log);
    const std::string text(logBytes.begin(), logBytes.end());
    ASSERT_TRUE(WIFEXITED(st)) << text;
    EXPECT_EQ(WEXITSTATUS(st), 5) << text;
    EXPECT_EQ(readFile(out / "code.bin"), regions[0].bytes);
    EXPECT_FALSE(fs::exists(out / "ddr.bin"));
    const auto partial = readFile(out / "ddr.bin.partial");
    EXPECT_GT(partial.size(), 0u);
    EXPECT_LT(partial.size(), regions[2].bytes.size());
    EXPECT_TRUE(std::equal(partial.begin(), partial.end(), regions[2].bytes.begin()));
    EXPECT_NE(text.find("Aborted: 3 regions"), std::string::npos) << text;
    EXPECT_NE(text.find("(incomplete)"), std::string::npos) << text;
}

}  // namespace
}  // namespace kvx::memdump::test
