// The memory-dump dialog's logic behind a recording view: its texts for every message and
// result, the port controls, the worker against the simulated modem, Start/Exit/Reset while a
// dump runs, and the companion applications.
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "DumpFixture.h"
#include "memdump/MemDebugDialogLogic.h"

namespace kvx::memdump::test {
namespace {

using modemsim::escapeHeavyBytes;

class FakeView : public MemDebugView {
  public:
    void setText(int id, const std::string& text) override {
        std::lock_guard lk(m);
        texts[id] = text;
        history[id].push_back(text);
    }
    std::string getText(int id) override {
        std::lock_guard lk(m);
        return texts[id];
    }
    bool isChecked(int id) override {
        std::lock_guard lk(m);
        return checked.count(id) != 0;
    }
    void enable(int id, bool on) override {
        std::lock_guard lk(m);
        enabled[id] = on;
    }
    void messageBox(const std::string& text) override {
        std::lock_guard lk(m);
        boxes.push_back(text);
    }
    bool askYesNo(const std::string& text) override {
        std::lock_guard lk(m);
        questions.push_back(text);
        return answerYes;
    }
    void hide() override { hidden = true; }

    std::string text(int id) {
        std::lock_guard lk(m);
        return texts[id];
    }
    std::vector<std::string> all(int id) {
        std::lock_guard lk(m);
        return history[id];
    }
    bool isEnabled(int id) {
        std::lock_guard lk(m);
        return enabled[id];
    }

    std::mutex m;
    std::map<int, std::string> texts;
    std::map<int, std::vector<std::string>> history;
    std::map<int, bool> enabled;
    std::set<int> checked;
    std::vector<std::string> boxes, questions;
    bool answerYes = false;
    std::atomic<bool> hidden{false};
};

class FakeApps : public CompanionApps {
  public:
    explicit FakeApps(std::set<std::string> names) : running(std::move(names)) {}
    bool isRunning(const std::string& name) override {
        ++lookups;
        std::lock_guard lk(m);
        return running.count(name) != 0;
    }
    void askToClose(const std::string& name) override {
        std::lock_guard lk(m);
        closeRequests.push_back(name);
    }
    std::mutex m;
    std::set<std::string> running;
    std::vector<std::string> closeRequests;
    std::atomic<int> lookups{0};
};

class DialogTest : public DumpTest {
  protected:
    void makeLogic(std::set<std::string> runningApps = {}) {
        auto fake = std::make_unique<FakeApps>(std::move(runningApps));
        apps = fake.get();
        logic = std::make_unique<MemDebugDialogLogic>(view, std::move(fake));
        logic->setClientSetup([this](MemDebugClient& c) { c.setOutputFolder(out); });
        logic->setInstructionsFolder(base.string());
        logic->init();
    }
    void typePort(const std::string& text) {
        view.checked.insert(dlg::kSpecifyPort);
        logic->onSpecifyPortClicked();
        view.setText(dlg::kPortEdit, text);
    }
    void TearDown() override {
        logic.reset();
        DumpTest::TearDown();
    }

    FakeView view;
    FakeApps* apps = nullptr;
    std::unique_ptr<MemDebugDialogLogic> logic;
};

TEST(DumpTexts, ProgressAndResultTables) {
    const struct {
        int32_t state, counter;
        std::optional<std::string> stateText, progress, regions;
    } progress[] = {
        {0, 0, "Searching for device...", "0%", std::nullopt},
        {1, 0, "Querying device parameters...", "0%", std::nullopt},
        {2, 0, "Querying device parameters...", "0%", ""},
        {3, 1, "Reading memory...", "1 Chunks Read", std::nullopt},
        {3, 129, "Reading memory...", "129 Chunks Read", std::nullopt},
        {4, 100, "Finished", "100%", std::nullopt},
        {5, 100, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : progress) {
        const auto t = progressTexts(DumpProgress{c.state, c.counter});
        EXPECT_EQ(t.state, c.stateText) << c.state;
        EXPECT_EQ(t.progress, c.progress) << c.state;
        EXPECT_EQ(t.regions, c.regions) << c.state;
    }

    const std::string mgx =
        "Attempting to launch the KvxMemDebug tool.  All Mgx clients must be closed to continue.  "
        "Please close Mgx clients and try again.";
    DumpSummary fileFailed;
    fileFailed.message = "Could not create the region file x/code.bin: Permission denied";
    const struct {
        int result;
        DumpSummary summary;
        std::optional<std::string> box, state, regions;
    } results[] = {
        {0, {}, std::nullopt, std::nullopt, std::nullopt},
        {2, {}, std::nullopt, "Could not communicate with modem", mgx},
        {8, {}, std::nullopt, "Could not communicate with modem", mgx},
        {4, {}, std::nullopt, "Protocol Error", std::nullopt},
        {7, {},
         "Attempting to launch the KvxMemDebug tool.  Lumeo must be closed to continue.  Please "
         "close Lumeo and try again.",
         "Could not communicate with modem", std::nullopt},
        {9, fileFailed, std::nullopt, "Failed", fileFailed.message},
        {99, {}, std::nullopt, "Failed", std::nullopt},
    };
    for (const auto& c : results) {
        const auto t = resultTexts(c.result, c.summary);
        EXPECT_EQ(t.box, c.box) << c.result;
        EXPECT_EQ(t.state, c.state) << c.result;
        EXPECT_EQ(t.regions, c.regions) << c.result;
    }

    RegionTable one;
    one.count = 1;
    one.regions[0].description = "CODE";
    one.regions[0].length = 4096;
    EXPECT_EQ(regionText(one), "1.CODE\r\n[Base:0, Length:4096]\r\n");
    one.regions[0].base = 0x80000000;  // signed decimal, as the format prints it
    EXPECT_EQ(regionText(one), "1.CODE\r\n[Base:-2147483648, Length:4096]\r\n");
}

TEST_F(DialogTest, InitialTextsInstructionsAndPortControls) {
    std::ofstream(base / "KvxMemDebug.txt", std::ios::binary) << "Put the modem\nin download mode\r\nthen Start\n";
    makeLogic();
    EXPECT_EQ(view.text(dlg::kInstructions), "Put the modem\r\nin download mode\r\nthen Start\r\n");
    EXPECT_EQ(view.text(dlg::kRegionText), "Regions");
    EXPECT_EQ(view.text(dlg::kStateText), "State");
    EXPECT_EQ(view.text(dlg::kProgressText), "Progress");
    EXPECT_EQ(view.text(dlg::kPortEdit), "AutoDetect");
    EXPECT_FALSE(view.isEnabled(dlg::kPortEdit));
    EXPECT_EQ(logic->portFromControls(), "");

    const struct {
        std::string typed, port;
    } ports[] = {{"7", "COM7"}, {"12abc", "COM12"}, {"abc", ""}, {"", ""},
                 {"0", ""},     {" /dev/ttyACM0", "/dev/ttyACM0"}};
    for (const auto& p : ports) {
        typePort(p.typed);
        EXPECT_TRUE(view.isEnabled(dlg::kPortEdit));
        EXPECT_EQ(logic->portFromControls(), p.port) << p.typed;
    }
    view.checked.clear();
    logic->onSpecifyPortClicked();
    EXPECT_EQ(view.text(dlg::kPortEdit), "AutoDetect");
    EXPECT_FALSE(view.isEnabled(dlg::kPortEdit));

    // No instructions file: the edit stays empty.
    FakeView bare;
    MemDebugDialogLogic other(bare, nullptr);
    other.setInstructionsFolder((base / "nowhere").string());
    other.init();
    EXPECT_EQ(bare.text(dlg::kInstructions), "");
}

TEST_F(DialogTest, DumpShowsChunkCountsRegionsAndFinishes) {
    startModem(std::vector<modemsim::SimRegion>{
        {1, 0x1000, "CODE", "code.bin", escapeHeavyBytes(4000, 1)},
        {1, 0x100000, "BIG", "big.bin", escapeHeavyBytes(129 * 2040 + 100, 2)},
        {1, 0x900000, "EMPTY", "empty.bin", {}}});
    makeLogic();
    typePort(modem->path());
    logic->onStart();
    EXPECT_TRUE(logic->running());
    EXPECT_FALSE(view.isEnabled(dlg::kReset));
    ASSERT_TRUE(logic->waitForWorker(std::chrono::seconds(60)));
    EXPECT_EQ(logic->lastResult(), kDumpFinished);
    EXPECT_FALSE(logic->running());
    EXPECT_TRUE(view.isEnabled(dlg::kReset));
    expectFilesMatch();

    const auto progress = view.all(dlg::kProgressText);
    EXPECT_NE(std::find(progress.begin(), progress.end(), "1 Chunks Read"), progress.end());
    EXPECT_NE(std::find(progress.begin(), progress.end(), "129 Chunks Read"), progress.end());
    EXPECT_EQ(std::count_if(progress.begin(), progress.end(),
                            [](const std::string& s) { return s.find("Chunks") != std::string::npos; }),
              2);
    EXPECT_EQ(view.text(dlg::kProgressText), "100%");
    EXPECT_EQ(view.text(dlg::kStateText), "Finished");
    EXPECT_EQ(view.text(dlg::kRegionText),
              "1.CODE\r\n[Base:4096, Length:4000]\r\n"
              "2.BIG\r\n[Base:1048576, Length:263260]\r\n"
              "3.EMPTY\r\n[Base:9437184, Length:0]\r\n");
    EXPECT_TRUE(view.boxes.empty());
}

TEST_F(DialogTest, StartWhileRunningIsIgnoredAndExitAsksFirst) {
    modemsim::SimModemConfig c;
    c.silent = true;
    startModem(std::move(c));
    makeLogic();
    typePort(modem->path());
    logic->onStart();
    logic->onStart();
    ASSERT_TRUE(modem->waitForRequests(1, modemsim::Millis(5000)));
    EXPECT_EQ(apps->lookups.load(), 2);  // one worker: the updater and Lumeo looked up once

    view.answerYes = false;
    EXPECT_FALSE(logic->onExit());
    EXPECT_FALSE(view.hidden.load());
    EXPECT_TRUE(logic->running());
    EXPECT_EQ(view.questions.back(), std::string(kExitQuestion));

    view.answerYes = true;
    EXPECT_TRUE(logic->onExit());
    EXPECT_TRUE(view.hidden.load());
    EXPECT_FALSE(logic->running());
    ASSERT_TRUE(logic->waitForWorker(std::chrono::seconds(3)));
    EXPECT_EQ(logic->lastResult(), kDumpFinished);
    EXPECT_EQ(view.questions.size(), 2u);

    // Idle: Exit hides without asking.
    view.hidden = false;
    EXPECT_TRUE(logic->onExit());
    EXPECT_TRUE(view.hidden.load());
    EXPECT_EQ(view.questions.size(), 2u);
}

TEST_F(DialogTest, LumeoBlocksTheDumpWithItsMessage) {
    startModem(std::vector<modemsim::SimRegion>{{1, 0, "A", "a.bin", escapeHeavyBytes(10, 1)}});
    makeLogic({"3GLumeo"});
    typePort(modem->path());
    logic->onStart();
    ASSERT_TRUE(logic->waitForWorker(std::chrono::seconds(5)));
    EXPECT_EQ(logic->lastResult(), kLumeoRunning);
    EXPECT_EQ(view.boxes, std::vector<std::string>{kCloseLumeo});
    EXPECT_EQ(view.text(dlg::kStateText), "Could not communicate with modem");
    EXPECT_EQ(modem->requestCount(), 0u);  // the port was never opened
}

TEST_F(DialogTest, UpdaterIsAskedToCloseAndTheDumpGoesOn) {
    startModem(std::vector<modemsim::SimRegion>{{1, 0, "A", "a.bin", escapeHeavyBytes(3000, 1)}});
    makeLogic({"VexUpdater"});
    typePort(modem->path());
    logic->onStart();
    ASSERT_TRUE(logic->waitForWorker(std::chrono::seconds(10)));
    EXPECT_EQ(logic->lastResult(), kDumpFinished);
    EXPECT_EQ(apps->closeRequests, std::vector<std::string>{"VexUpdater"});
    expectFilesMatch();
}

TEST_F(DialogTest, ResetOnlyOnYes) {
    startModem(std::vector<modemsim::SimRegion>{});
    makeLogic();
    typePort(modem->path());
    view.answerYes = false;
    logic->onReset();
    EXPECT_EQ(view.questions, std::vector<std::string>{kResetQuestion});
    view.answerYes = true;
    logic->onReset();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (modem->resetsReceived() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(modem->resetsReceived(), 1u);
    EXPECT_EQ(modem->requestCount(), 1u);
}

}  // namespace
}  // namespace kvx::memdump::test
