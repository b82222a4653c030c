// Test support for memory dumps: a simulated modem in download mode on a pseudo-terminal,
// a fresh output folder, and a target that records everything the client reports.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "memdump/MemDebugClient.h"
#include "modemsim/SimModem.h"

namespace kvx::memdump::test {

namespace fs = std::filesystem;

class RecordingTarget : public DumpTarget {
  public:
    void progress(const DumpProgress& p) override {
        std::lock_guard lk(mutex);
        progresses.push_back(p);
    }
    void regions(const RegionTable& t) override {
        std::lock_guard lk(mutex);
        tables.push_back(t);
    }
    void messageBox(const std::string& text) override {
        std::lock_guard lk(mutex);
        boxes.push_back(text);
    }
    void diagnostic(const std::string& line) override {
        std::lock_guard lk(mutex);
        diagnostics.push_back(line);
    }
    std::vector<int32_t> counters(int32_t state) {
        std::lock_guard lk(mutex);
        std::vector<int32_t> out;
        for (const auto& p : progresses)
            if (p.state == state) out.push_back(p.counter);
        return out;
    }

    std::mutex mutex;
    std::vector<DumpProgress> progresses;
    std::vector<RegionTable> tables;
    std::vector<std::string> boxes;
    std::vector<std::string> diagnostics;
};

inline std::vector<uint8_t> readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class DumpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        base = fs::temp_directory_path() / ("kvx-memdump-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(base);
        out = base / "out";
        fs::create_directories(out);
        client.setTarget(&target);
        client.setOutputFolder(out);
    }
    void TearDown() override {
        modem.reset();
        std::error_code ec;
        fs::permissions(out, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(base, ec);
    }

    void startModem(modemsim::SimModemConfig config) {
        config.download.on = true;
        regions = config.download.regions;
        modem = std::make_unique<modemsim::SimModem>(std::move(config));
        ASSERT_EQ(modem->start().error, modemsim::StartError::None);
    }
    void startModem(std::vector<modemsim::SimRegion> table) {
        modemsim::SimModemConfig c;
        c.download.regions = std::move(table);
        startModem(std::move(c));
    }
    // The lengths asked for by the read requests the modem received, in order.
    std::vector<uint32_t> requestedLengths() const {
        std::vector<uint32_t> lengths;
        for (const auto& r : modem->requests())
            if (r.crcOk && r.payload.size() == 7 && r.payload[0] == 0x12)
                lengths.push_back((static_cast<uint32_t>(r.payload[5]) << 8) | r.payload[6]);
        return lengths;
    }
    void expectFilesMatch() {
        for (const auto& r : regions)
            EXPECT_EQ(readFile(out / r.fileName), r.bytes) << r.fileName;
    }

    fs::path base, out;
    RecordingTarget target;
    MemDebugClient client;
    std::unique_ptr<modemsim::SimModem> modem;
    std::vector<modemsim::SimRegion> regions;
};

}  // namespace kvx::memdump::test
