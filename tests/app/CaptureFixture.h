// The fixture of the capture tests: one engine on a fake modem port, a fake window whose
// timers the test fires, and a MainDialog, all in a fresh current directory (the error log is
// written there). The filter is sent as the input-file source would, with a script-free
// stand-in: logging stop, then logging start.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/FakeModemPort.h"
#include "app/FakeWindow.h"
#include "app/LogFile.h"
#include "app/MainDialog.h"
#include "app/TempDir.h"

namespace kvx::testing {

inline bool waitUntil(const std::function<bool()>& condition, int ms = 5000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Lines of the error log in the current directory.
inline std::vector<std::string> errorLogLines(const std::filesystem::path& dir) {
    std::vector<std::string> lines;
    std::string text = readText(dir / app::kErrorLogName);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

inline bool hasRequest(const std::vector<uint8_t>& req, std::initializer_list<uint8_t> head) {
    return req.size() >= head.size() && std::equal(head.begin(), head.end(), req.begin());
}

class CaptureFixture : public ::testing::Test {
  protected:
    void SetUp() override { makeDialog(""); }

    void TearDown() override {
        if (dialog_) dialog_.reset();
    }

    void makeDialog(const std::string& commandLine) {
        dialog_.reset();
        installFakeModem(engine_, line_);
        // An empty device tree: no DM port is detected unless a test adds one.
        engine_.setsysfsroot((dir_.path() / "sys").string());
        app::MainDialog::Options options;
        options.sleep = [this](std::chrono::milliseconds ms) {
            sleeps_.push_back(ms);
            if (onSleep_) onSleep_();
        };
        options.clock = [this] { return std::time(nullptr) + clockOffset_.load(); };
        dialog_ = std::make_unique<app::MainDialog>(window_, engine_, commandLine, options);
        dialog_->setFilterSender([this](const app::FilterChoice&, int destination) {
            filtersSent_.fetch_add(1);
            if (!filterResult_.load()) {
                window_.messageBox("Could not decode the input file!");
                return false;
            }
            engine_.startlogging(false, dm::kSourcePort, nullptr);
            if (destination == dm::kModeSend) engine_.startlogging(true, dm::kSourcePort, nullptr);
            return true;
        });
        window_.onTimer = [this](int id) { dialog_->OnTimer(id); };
        window_.onNotify = [this](const dm::InfoNotification& n) { dialog_->OnEngineNotify(n); };
        dialog_->OnInitDialog();
        // A port number: both systems make a port name of it ("\\.\COM7"), unlike a POSIX path.
        window_.setText(capture::ctl::kCustomPort, "7");
        window_.setText(capture::ctl::kLogPath, base());
    }

    std::string base() const { return (dir_.path() / "cap.kvx").string(); }

    // Starts and waits until the worker fills its first file.
    void startLogging() {
        dialog_->OnStart();
        ASSERT_EQ(dialog_->state(), app::UiState::Logging);
        ASSERT_TRUE(waitUntil([&] { return dialog_->flags().loggingActive.load(); }));
    }

    // Waits until every byte the modem queued has been read and the records counted.
    void drain() {
        ASSERT_TRUE(waitUntil([&] { return line_->pendingBytes() == 0; }, 20000));
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }

    // Waits until the worker fills a file other than `previous`.
    void waitNextFile(const std::string& previous) {
        ASSERT_TRUE(waitUntil([&] {
            return dialog_->flags().loggingActive.load() &&
                   !dialog_->flags().stopRequested.load() && dialog_->currentLogFile() != previous;
        }));
    }

    // Moves the wall clock on to a new second, so the next file gets a new name.
    static void nextSecond() {
        const std::time_t now = std::time(nullptr);
        while (std::time(nullptr) == now) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    TempDir dir_;
    ScopedChdir cd_{dir_.path()};
    std::shared_ptr<FakeModemLine> line_ = std::make_shared<FakeModemLine>();
    dm::KvxLog engine_;
    FakeWindow window_;
    std::atomic<long> clockOffset_{0};
    std::vector<std::chrono::milliseconds> sleeps_;
    std::function<void()> onSleep_;  // runs in RestartLogging's pause
    std::atomic<int> filtersSent_{0};
    std::atomic<bool> filterResult_{true};
    std::unique_ptr<app::MainDialog> dialog_;
};

}  // namespace kvx::testing
