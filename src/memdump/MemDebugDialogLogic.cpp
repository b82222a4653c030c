#include "memdump/MemDebugDialogLogic.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kvx::memdump {

// Turns the client's progress and region messages into the dialog's texts.
class MemDebugDialogLogic::Reporter final : public DumpTarget {
  public:
    explicit Reporter(MemDebugView& view) : view_(view) {}
    void progress(const DumpProgress& p) override {
        const auto t = progressTexts(p);
        if (t.state) view_.setText(dlg::kStateText, *t.state);
        if (t.progress) view_.setText(dlg::kProgressText, *t.progress);
        if (t.regions) view_.setText(dlg::kRegionText, *t.regions);
    }
    void regions(const RegionTable& table) override {
        view_.setText(dlg::kRegionText, regionText(table));
    }
    void messageBox(const std::string& text) override { view_.messageBox(text); }

  private:
    MemDebugView& view_;
};

MemDebugDialogLogic::MemDebugDialogLogic(MemDebugView& view, std::unique_ptr<CompanionApps> apps)
    : view_(view), apps_(std::move(apps)) {}

MemDebugDialogLogic::~MemDebugDialogLogic() {
    {
        std::lock_guard lk(mutex_);
        if (client_ != nullptr) client_->abort();
    }
    if (thread_.joinable()) thread_.join();
}

std::string MemDebugDialogLogic::instructionsText(const std::string& contents) {
    std::string text;
    text.reserve(contents.size() + contents.size() / 16);
    for (size_t i = 0; i < contents.size(); ++i) {
        const char c = contents[i];
        if (c == '\r' && i + 1 < contents.size() && contents[i + 1] == '\n') continue;
        if (c == '\n')
            text += "\r\n";
        else
            text += c;
    }
    return text;
}

void MemDebugDialogLogic::init() {
    view_.setText(dlg::kPortEdit, kAutoDetect);
    view_.enable(dlg::kPortEdit, false);
    std::ifstream in(std::filesystem::path(instructionsFolder_) / kInstructionsFile,
                     std::ios::binary);
    if (in) {
        const std::string contents{std::istreambuf_iterator<char>(in), {}};
        view_.setText(dlg::kInstructions, instructionsText(contents));
    }
    view_.setText(dlg::kRegionText, "Regions");
    view_.setText(dlg::kStateText, "State");
    view_.setText(dlg::kProgressText, "Progress");
}

void MemDebugDialogLogic::onSpecifyPortClicked() {
    if (view_.isChecked(dlg::kSpecifyPort)) {
        view_.setText(dlg::kPortEdit, "");
        view_.enable(dlg::kPortEdit, true);
    } else {
        view_.setText(dlg::kPortEdit, kAutoDetect);
        view_.enable(dlg::kPortEdit, false);
    }
}

std::string MemDebugDialogLogic::portFromControls() {
    if (!view_.isChecked(dlg::kSpecifyPort)) return {};
    const std::string text = view_.getText(dlg::kPortEdit);
    size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start])) != 0)
        ++start;
    if (start < text.size() && text[start] == '/') return text.substr(start);
    size_t end = start;
    while (end < text.size() && end - start < 9 &&
           std::isdigit(static_cast<unsigned char>(text[end])) != 0)
        ++end;
    const int number = end > start ? std::stoi(text.substr(start, end - start)) : 0;
    return number > 0 ? "COM" + std::to_string(number) : std::string();
}

bool MemDebugDialogLogic::running() const {
    std::lock_guard lk(mutex_);
    return running_;
}

int MemDebugDialogLogic::lastResult() const {
    std::lock_guard lk(mutex_);
    return lastResult_;
}

bool MemDebugDialogLogic::waitForWorker(std::chrono::milliseconds timeout) {
    std::unique_lock lk(mutex_);
    if (!idle_.wait_for(lk, timeout, [&] { return !workerAlive_; })) return false;
    lk.unlock();
    if (thread_.joinable()) thread_.join();
    return true;
}

void MemDebugDialogLogic::onStart() {
    {
        std::lock_guard lk(mutex_);
        if (running_) return;
    }
    // A worker told to abort by Exit may still be closing its port: let it finish first, so
    // the new dump finds the port free (it is at most one read time-out away).
    if (thread_.joinable()) thread_.join();
    const std::string port = portFromControls();
    {
        std::lock_guard lk(mutex_);
        running_ = true;
        workerAlive_ = true;
    }
    view_.enable(dlg::kReset, false);
    thread_ = std::thread([this, port] { worker(port); });
}

bool MemDebugDialogLogic::onExit() {
    std::unique_lock lk(mutex_);
    if (running_) {
        lk.unlock();
        if (!view_.askYesNo(kExitQuestion)) return false;
        lk.lock();
        if (client_ != nullptr) client_->abort();
        running_ = false;
    }
    lk.unlock();
    view_.hide();
    return true;
}

void MemDebugDialogLogic::onReset() {
    if (running()) return;  // the button is disabled while a dump runs
    if (!view_.askYesNo(kResetQuestion)) return;
    MemDebugClient client;
    if (setup_) setup_(client);
    client.resetOn(portFromControls());
}

void MemDebugDialogLogic::show(const ResultTexts& t) {
    if (t.box) view_.messageBox(*t.box);
    if (t.regions) view_.setText(dlg::kRegionText, *t.regions);
    if (t.state) view_.setText(dlg::kStateText, *t.state);
}

void MemDebugDialogLogic::worker(std::string port) {
    Reporter reporter(view_);
    auto client = std::make_unique<MemDebugClient>();
    if (setup_) setup_(*client);
    client->setTarget(&reporter);
    {
        std::lock_guard lk(mutex_);
        client_ = client.get();
    }
    int result;
    if (apps_ && apps_->isRunning(kUpdater)) apps_->askToClose(kUpdater);
    if (apps_ && apps_->isRunning(kLumeo)) {
        result = kLumeoRunning;
    } else {
        result = client->runOn(port);
    }
    show(resultTexts(result, client->summary()));
    {
        std::lock_guard lk(mutex_);
        client_ = nullptr;
    }
    client.reset();
    {
        std::lock_guard lk(mutex_);
        running_ = false;
        lastResult_ = result;
    }
    view_.enable(dlg::kReset, true);
    {
        std::lock_guard lk(mutex_);
        workerAlive_ = false;
    }
    idle_.notify_all();
}

}  // namespace kvx::memdump
