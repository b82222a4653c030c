// Figures of kvxlogplus.exe's window (Windows; under Wine here): start-up to a shown and
// painted window with the sample catalogue loaded (target: under 1 s), and a click on the
// check image of the root of a 7000-item log tree with every item inserted, hit-test, table
// work and repaint of the tree included (target: under 20 ms). Medians of several runs.
//   kvxlogplus-bench.exe SAMPLE_SETTINGS_FILE WORK_FOLDER
// The settings file is only read (the window is closed without Exit, so nothing is saved).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "MainWindowWin.h"
#include "resource.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kvx::winui::MainWindowWin;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// 7000 log items under 1000 categories, three deep, below one root (as the Qt window's bench).
std::string bigCatalogue(const fs::path& dir) {
    fs::create_directories(dir);
    std::ofstream c(dir / "cat.txt");
    c << "1^\"All log items\"^x^0\n";
    for (int id = 2; id <= 1000; ++id) {
        const int parent = id <= 10 ? 1 : (id <= 100 ? 2 + id % 9 : 11 + id % 90);
        c << id << "^\"Category " << id << "\"^x^" << parent << "\n";
    }
    std::ofstream i(dir / "items.txt");
    std::mt19937 rng(1);
    for (int k = 0; k < 7000; ++k) {
        i << "0x" << std::hex << (0x1000 + k) << std::dec << "^\"Log item " << k << "\"^\""
          << 101 + rng() % 900 << "\"^x\n";
    }
    std::ofstream(dir / "kvxlogplus.ini") << "[KvxLogPlus]\nLOGCAT=cat.txt\nLOGS=items.txt\n";
    return (dir / "kvxlogplus.ini").string();
}

// Milliseconds from the process's creation to now (Wine's own start included).
double sinceProcessStart() {
    FILETIME created, exited, kernel, user, now;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    GetSystemTimeAsFileTime(&now);
    auto ticks = [](FILETIME t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(now) - ticks(created)) / 10000.0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kvxlogplus-bench SAMPLE_SETTINGS_FILE WORK_FOLDER\n");
        return 2;
    }
    HINSTANCE instance = GetModuleHandleW(nullptr);
    const std::string sample = argv[1];
    const fs::path work = argv[2];

    // ---- start-up --------------------------------------------------------------------------
    std::vector<double> startUp;
    double firstFromProcess = 0;
    size_t items = 0;
    for (int run = 0; run < 7; ++run) {
        const auto t0 = Clock::now();
        MainWindowWin::Options options;
        options.commandLine = "-KVX ";
        options.detectPorts = false;
        options.settingsLocation = sample;
        options.onShown = [&](MainWindowWin& w) {
            startUp.push_back(ms(Clock::now() - t0));
            if (run == 0) firstFromProcess = sinceProcessStart();
            items = static_cast<size_t>(w.dialog()->filters().logTable().entryCount());
            w.close();
        };
        MainWindowWin window(instance, options);
        window.run();
    }
    if (items == 0) {
        std::fprintf(stderr, "kvxlogplus-bench: the sample catalogue did not load\n");
        return 1;
    }
    std::printf("start-up to a shown window, sample catalogue (%zu log items): median %.1f ms "
                "of %zu; first run from process creation %.1f ms\n",
                items, median(startUp), startUp.size(), firstFromProcess);

    // ---- root click on a 7000-item tree ------------------------------------------------------
    const std::string big = bigCatalogue(work / "big");
    std::vector<double> clicks, tableWork;
    size_t inserted = 0, checkedAfterFirst = 0;
    int entries = 0;
    MainWindowWin::Options options;
    options.commandLine = "-KVX ";
    options.detectPorts = false;
    options.settingsLocation = big;
    options.onShown = [&](MainWindowWin& w) {
        kvx::winui::FilterTreeWin* tree = w.tree(IDC_LOG_TREE);
        kvx::filters::FilterTable& table = tree->table();
        const kvx::filters::TreeModel& model = *table.tree();
        entries = table.entryCount();
        // Every node inserted, the root and its children expanded: a screen full of rows.
        for (kvx::filters::NodeId n = 1; n < model.handleLimit(); ++n) tree->reveal(n);
        const kvx::filters::NodeId root = model.firstChild(kvx::filters::kNoNode);
        TreeView_Expand(tree->handle(), tree->itemOf(root), TVE_EXPAND);
        for (auto c = model.firstChild(root); c != kvx::filters::kNoNode; c = model.nextSibling(c))
            TreeView_Expand(tree->handle(), tree->itemOf(c), TVE_EXPAND);
        TreeView_EnsureVisible(tree->handle(), tree->itemOf(root));
        UpdateWindow(tree->handle());
        inserted = tree->insertedCount();
        POINT at{};
        if (!tree->stateImageCentre(root, at)) {
            RECT r{};
            const BOOL got = TreeView_GetItemRect(tree->handle(), tree->itemOf(root), &r, TRUE);
            std::fprintf(stderr, "kvxlogplus-bench: no state image found (item rect %d: %ld,%ld "
                                 "to %ld,%ld; visible %d)\n", got, r.left, r.top, r.right,
                         r.bottom, IsWindowVisible(tree->handle()));
            return w.close();
        }
        for (int run = 0; run < 15; ++run) {
            const auto t0 = Clock::now();
            tree->clickAt(at);
            UpdateWindow(tree->handle());
            clicks.push_back(ms(Clock::now() - t0));
            if (run == 0) checkedAfterFirst = table.collectChecked().size();
        }
        // The table's share: the same click without the control's hit test and repaint.
        for (int run = 0; run < 15; ++run) {
            const auto t0 = Clock::now();
            table.click(root, true);
            tableWork.push_back(ms(Clock::now() - t0));
        }
        w.close();
    };
    {
        MainWindowWin window(instance, options);
        window.run();
    }
    if (clicks.empty() || checkedAfterFirst != 7000) {
        std::fprintf(stderr, "kvxlogplus-bench: the root click did not check the 7000 items "
                             "(%zu checked, %zu inserted, %d in the table)\n", checkedAfterFirst,
                     inserted, entries);
        return 1;
    }
    std::printf("root click on a 7000-item tree (%zu items inserted), hit-test to repaint: "
                "median %.2f ms of %zu (min %.2f, max %.2f)\n",
                inserted, median(clicks), clicks.size(), *std::min_element(clicks.begin(), clicks.end()),
                *std::max_element(clicks.begin(), clicks.end()));
    std::printf("  of which the filter table's work (no hit test, no repaint): median %.2f ms\n",
                median(tableWork));
    return 0;
}
